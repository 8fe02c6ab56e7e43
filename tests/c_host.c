/* c_host.c: the host services of the console mouse server, written in C, as
 * a C server would supply them to client.o (and argsift.o). */
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>

#include "console.h"
#include "moxInt.h"

#include "c_host.h"

options option = {0, 0, "c_host"};
mox_console console = {"/dev/tty0", "latin1", 80, 25};

char c_host_last_report[256];
int c_host_reports;
int c_host_paste_disabled;
int c_host_owner_calls;

void mox_report(int line, const char *file, int severity, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    (void) vsnprintf(c_host_last_report, sizeof c_host_last_report, fmt, ap);
    va_end(ap);
    c_host_reports++;
    fprintf(stderr, "%s:%d [%d] %s\n", file, line, severity, c_host_last_report);
    if (severity == MOX_SEV_FATAL)
        exit(3);
}

int get_console_state(unsigned char *modifiers)
{
    *modifiers = 0x01;
    return 7;
}

int is_console_owner(int vc, uid_t uid)
{
    (void) vc;
    (void) uid;
    c_host_owner_calls++;
    return 0;
}

void selection_disable_paste(void)
{
    c_host_paste_disabled++;
}
