// terminal.h: inside libmox-client, the pure steps behind mox_terminal_console,
// kept apart so that tests can feed them invented devices and /proc lines.
// Hidden from the library's users.
#pragma once

#include <cstddef>
#include <cstdint>

// The virtual console number (1 to 63) of the character device (major,
// minor), or 0 when it is another device: /dev/tty0 (the console on screen,
// whichever it is), the serial lines on minors 64 and up, or anything else.
int vt_of_device(uint32_t major, uint32_t minor);

// Same, for a device number as /proc/<pid>/stat prints it (tty_nr).
int vt_of_tty_nr(int64_t tty_nr);

// Finds the seventh field, tty_nr, of a /proc/<pid>/stat text of len bytes
// (not NUL-terminated). The second field, the command name in parentheses,
// may itself hold blanks and parentheses, so the fields are counted from its
// last ')'. Returns 1 with *tty_nr set, or 0 when the text has no such field.
int tty_nr_of_stat(const char *text, size_t len, int64_t *tty_nr);
