// The server services the parser needs, for the fuzzer: every report is
// really formatted, so a format that disagrees with its arguments shows up
// under the sanitizers; a fatal report ends the process as the server's does.
#include "moxInt.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

options option = {0, 0, "moxd"};

extern "C" void mox_report(int line, const char *file, int severity, const char *fmt, ...)
{
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n < 0 || line <= 0 || file == nullptr || strchr(file, '/') != nullptr)
        abort();
    if (severity < MOX_SEV_DETAIL || severity > MOX_SEV_FATAL)
        abort();
    if (severity == MOX_SEV_FATAL) {
        fprintf(stderr, "%s:%d: %s\n", file, line, buf);
        abort();
    }
}
