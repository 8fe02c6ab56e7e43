#include "fake_host.h"

#include <cstdarg>
#include <cstdio>
#include <unistd.h>

#include "console.h"
#include "moxInt.h"

FakeHost fake_host;

options option = {0, 0, "mox"};
mox_console console = {"/dev/tty0", "latin1", 80, 25};

void fake_host_reset()
{
    fake_host = FakeHost();
    option = options{0, 0, "mox"};
    console = mox_console{"/dev/tty0", "latin1", 80, 25};
}

extern "C" void mox_report(int line, const char *file, int severity, const char *fmt, ...)
{
    char text[512];
    va_list ap;
    va_start(ap, fmt);
    (void) vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    fake_host.reports.push_back(FakeReport{severity, file, text, line});
    if (severity == MOX_SEV_FATAL) {
        fprintf(stderr, "fatal: %s: %s\n", file, text);
        fflush(stderr);
        _exit(FAKE_HOST_FATAL_EXIT);
    }
}

extern "C" int get_console_state(unsigned char *modifiers)
{
    fake_host.console_state_calls++;
    *modifiers = fake_host.modifiers;
    return fake_host.console_vc;
}

extern "C" int is_console_owner(int vc, uid_t uid)
{
    fake_host.owner_calls.emplace_back(vc, uid);
    return fake_host.owner_answer;
}

extern "C" void selection_disable_paste(void)
{
    fake_host.paste_disabled++;
}
