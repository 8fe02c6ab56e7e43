/* words.cpp: the word-character table of the selection. */
#include "words.h"

#include <cstdio>
#include <cstring>

namespace
{

constexpr unsigned char FIRST_PRINTABLE = 0x21; /* '!', the blank excluded */
constexpr unsigned char LAST_PRINTABLE = 0x7E;  /* '~' */

void set_bit(uint32_t table[WORD_TABLE_WORDS], unsigned c)
{
    table[c / 32] |= 1u << (c % 32);
}

} // namespace

int words_table(const char *extra, uint32_t table[WORD_TABLE_WORDS], char *why, size_t why_len)
{
    size_t n = strnlen(extra, WORD_CHARS_MAX + 1);
    if (n > WORD_CHARS_MAX) {
        (void) snprintf(why, why_len, "more than %zu word characters", WORD_CHARS_MAX);
        return -1;
    }
    uint32_t built[WORD_TABLE_WORDS] = {0};
    for (size_t i = 0; i < n; i++) {
        auto c = static_cast<unsigned char>(extra[i]);
        if (c < FIRST_PRINTABLE || c > LAST_PRINTABLE) {
            (void) snprintf(why, why_len,
                            "word characters are printable ASCII other than the blank, "
                            "not byte 0x%02x",
                            c);
            return -1;
        }
        set_bit(built, c);
    }
    for (unsigned c = '0'; c <= '9'; c++)
        set_bit(built, c);
    for (unsigned c = 'A'; c <= 'Z'; c++) {
        set_bit(built, c);
        set_bit(built, c + ('a' - 'A'));
    }
    for (unsigned c = 128; c < 256; c++)
        set_bit(built, c);
    memcpy(table, built, sizeof built);
    return 0;
}
