// The server's host services for the benchmarks: everything answers at once
// and the report formats nothing, so that only the modules' own work and
// their system calls are timed.
#include "console.h"
#include "moxInt.h"

options option = {0, 0, "mox-bench"};
mox_console console = {"/dev/tty0", "latin1", 80, 25};

extern "C" void mox_report(int line, const char *file, int severity, const char *fmt, ...)
{
    (void) line;
    (void) file;
    (void) severity;
    (void) fmt;
}

extern "C" int get_console_state(unsigned char *modifiers)
{
    *modifiers = 0;
    return 1;
}

extern "C" int is_console_owner(int vc, uid_t uid)
{
    (void) vc;
    (void) uid;
    return 1;
}

extern "C" void selection_disable_paste(void) {}
