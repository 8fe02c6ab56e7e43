/* words.h: the characters a double click takes as one word.
 *
 * The kernel's selection keeps one bit per character code, loaded with
 * TIOCL_SELLOADLUT (vt.h): a word is a run of cells whose characters have
 * their bit set. Letters and digits always count; a setting lists the other
 * characters that do, each one for itself (no ranges: "a-z" is the three
 * characters 'a', '-' and 'z'). Codes from 128 up always count: the kernel
 * (6.1) takes every non-ASCII cell as part of a word whatever the table
 * says, so the table says the same. */
#ifndef MOXD_WORDS_H
#define MOXD_WORDS_H

#include <cstddef>
#include <cstdint>

/* Terminal emulators' word characters besides letters and digits: a path,
 * a URL with its query, user@host:dir and an e-mail address are one word. */
constexpr const char WORD_CHARS_DEFAULT[] = "-#%&+,./:=?@_~";
/* The kernel's own table: letters, digits and these. */
constexpr const char WORD_CHARS_KERNEL[] = "-./_";
/* Printable ASCII holds 94 characters: a longer setting repeats some. */
constexpr size_t WORD_CHARS_MAX = 94;
constexpr int WORD_TABLE_WORDS = 8;

/* Builds the table of letters, digits, non-ASCII codes and the characters
 * of extra (printable ASCII other than the blank, at most WORD_CHARS_MAX).
 * Returns 0, or -1 with the reason in why (the table is then untouched). */
int words_table(const char *extra, uint32_t table[WORD_TABLE_WORDS], char *why, size_t why_len);

#endif /* MOXD_WORDS_H */
