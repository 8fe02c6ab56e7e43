/* mox-names.h: EXAMPLE helpers of mox-client (not
 * part of the product): names of the event kinds of the client protocol, as
 * written on the examples' command lines and printed in their output. */
#ifndef MOX_EXAMPLE_NAMES_H
#define MOX_EXAMPLE_NAMES_H

#include "mox.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{

struct kind_name {
    const char *name;
    uint32_t bit;
};

const kind_name KIND_NAMES[] = {
    {"move", MOX_MOVE},     {"drag", MOX_DRAG},     {"down", MOX_DOWN},     {"up", MOX_UP},
    {"single", MOX_SINGLE}, {"double", MOX_DOUBLE}, {"triple", MOX_TRIPLE}, {"mflag", MOX_MFLAG},
    {"hard", MOX_HARD},     {"enter", MOX_ENTER},   {"leave", MOX_LEAVE},
};

/* Whole-text integer conversion: decimal, 0x hexadecimal or 0 octal. */
[[maybe_unused]] int parse_long(const char *text, long min, long max, long *out)
{
    if (text == nullptr || *text == '\0')
        return 0;
    char *end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 0);
    if (errno != 0 || *end != '\0' || v < min || v > max)
        return 0;
    *out = v;
    return 1;
}

/* Parses "move,down" or "move|down", a number, or "none". Returns 1 and the
 * bits in *mask, or 0 for an unknown name. */
[[maybe_unused]] int parse_kinds(const char *text, uint32_t *mask)
{
    char buf[256];
    if (text == nullptr || strlen(text) >= sizeof buf)
        return 0;
    strcpy(buf, text);
    uint32_t bits = 0;
    char *save = nullptr;
    for (char *word = strtok_r(buf, ",|", &save); word != nullptr;
         word = strtok_r(nullptr, ",|", &save)) {
        long number = 0;
        int found = 0;
        if (strcmp(word, "none") == 0) {
            found = 1;
        } else if (parse_long(word, 0, 0xFFFF, &number)) {
            bits |= static_cast<uint32_t>(number);
            found = 1;
        } else {
            for (const kind_name &k : KIND_NAMES) {
                if (strcmp(word, k.name) == 0) {
                    bits |= k.bit;
                    found = 1;
                }
            }
        }
        if (!found)
            return 0;
    }
    *mask = bits;
    return 1;
}

/* Writes the names of the bits of mask, joined by '|', or "none". */
[[maybe_unused]] const char *format_kinds(uint32_t mask, char *buf, size_t size)
{
    size_t used = 0;
    buf[0] = '\0';
    for (const kind_name &k : KIND_NAMES) {
        if ((mask & k.bit) == 0)
            continue;
        mask &= ~k.bit;
        int n = snprintf(buf + used, size - used, "%s%s", used > 0 ? "|" : "", k.name);
        if (n < 0 || static_cast<size_t>(n) >= size - used)
            return buf;
        used += static_cast<size_t>(n);
    }
    if (mask != 0)
        (void) snprintf(buf + used, size - used, "%s0x%X", used > 0 ? "|" : "", mask);
    else if (used == 0)
        (void) snprintf(buf, size, "none");
    return buf;
}

} // namespace

#endif /* MOX_EXAMPLE_NAMES_H */
