// terminal.cpp: the default connect record, and the console of the calling
// terminal, found from device numbers alone: a terminal is never opened,
// written to or asked anything here.
#include "terminal.h"

#pragma GCC visibility push(default)
#include "mox-client.h"
#pragma GCC visibility pop

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace
{

// The virtual consoles are character devices of major 4, minors 1 to 63;
// minor 0 is /dev/tty0 and minors 64 and up are the serial lines ttyS*.
constexpr uint32_t VT_MAJOR = 4;
constexpr uint32_t VT_FIRST = 1;
constexpr uint32_t VT_LAST = 63;

// tty_nr is the fifth field after the command name, counted from 0: state (a
// letter), ppid, pgrp, session, tty_nr.
constexpr int TTY_NR_FIELD = 4;
// Enough for the fields up to tty_nr whatever the command name (at most 64
// bytes in /proc, parentheses included) and the numbers before it.
constexpr size_t STAT_READ_MAX = 512;

constexpr uint16_t DEFAULT_EVENTS = MOX_MOVE | MOX_DRAG | MOX_DOWN | MOX_UP;
constexpr uint16_t DEFAULT_HANDLING = MOX_MOVE | MOX_HARD;
constexpr uint16_t ANY_MODIFIER = 0xFFFF;

int vt_of_fd(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode))
        return 0;
    return vt_of_device(major(st.st_rdev), minor(st.st_rdev));
}

// The console of the controlling terminal, read from /proc/self/stat; 0 when
// there is none, it is no virtual console, or /proc cannot be read.
int vt_of_controlling_terminal()
{
    int fd = open("/proc/self/stat", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    char text[STAT_READ_MAX];
    size_t got = 0;
    for (;;) {
        ssize_t n = read(fd, text + got, sizeof text - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
        if (got == sizeof text)
            break;
    }
    (void) close(fd);
    int64_t tty_nr = 0;
    return tty_nr_of_stat(text, got, &tty_nr) ? vt_of_tty_nr(tty_nr) : 0;
}

} // namespace

int vt_of_device(uint32_t major_nr, uint32_t minor_nr)
{
    if (major_nr != VT_MAJOR || minor_nr < VT_FIRST || minor_nr > VT_LAST)
        return 0;
    return static_cast<int>(minor_nr);
}

int vt_of_tty_nr(int64_t tty_nr)
{
    // The kernel's encoding of a device number in 32 bits: the minor's low
    // byte in bits 0-7, the major in bits 8-19, the minor's other bits above.
    if (tty_nr <= 0 || tty_nr > INT64_C(0xFFFFFFFF))
        return 0;
    const uint32_t dev = static_cast<uint32_t>(tty_nr);
    const uint32_t major_nr = (dev >> 8) & 0xFFFu;
    const uint32_t minor_nr = (dev & 0xFFu) | ((dev >> 12) & 0xFFF00u);
    return vt_of_device(major_nr, minor_nr);
}

int tty_nr_of_stat(const char *text, size_t len, int64_t *tty_nr)
{
    size_t at = len;
    while (at > 0 && text[at - 1] != ')')
        at--;
    if (at == 0)
        return 0;
    // at is just past the last ')'; walk the blank-separated fields after it.
    for (int field = 0; field <= TTY_NR_FIELD; field++) {
        if (at >= len || text[at] != ' ')
            return 0;
        at++;
        const size_t start = at;
        while (at < len && text[at] != ' ')
            at++;
        if (at == start)
            return 0;
        if (field < TTY_NR_FIELD)
            continue;
        // The field must end before the text does: a cut-off number is no number.
        if (at == len)
            return 0;
        int64_t value = 0;
        size_t i = start;
        const bool negative = text[i] == '-';
        if (negative)
            i++;
        if (i == at || at - i > 10)
            return 0;
        for (; i < at; i++) {
            if (text[i] < '0' || text[i] > '9')
                return 0;
            value = value * 10 + (text[i] - '0');
        }
        *tty_nr = negative ? -value : value;
        return 1;
    }
    return 0;
}

int mox_terminal_console(void)
{
    for (int fd = 0; fd <= 2; fd++) {
        int vc = vt_of_fd(fd);
        if (vc != 0)
            return vc;
    }
    int vc = vt_of_controlling_terminal();
    if (vc != 0)
        return vc;
    errno = ENOTTY;
    return MOX_ERROR;
}

int mox_connect_defaults(Mox_Connect *rec)
{
    if (rec == nullptr) {
        errno = EINVAL;
        return MOX_ERROR;
    }
    memset(rec, 0, sizeof *rec);
    rec->eventMask = DEFAULT_EVENTS;
    rec->defaultMask = DEFAULT_HANDLING;
    rec->minMod = 0;
    rec->maxMod = ANY_MODIFIER;
    rec->pid = static_cast<int32_t>(getpid());
    const int vc = mox_terminal_console();
    if (vc < 0)
        return MOX_ERROR; // errno ENOTTY, from the search; vc stays 0
    rec->vc = vc;
    return MOX_OK;
}
