// The rest of the server around the client module, for its protocol fuzzer:
// console state, console ownership, the paste switch and the console record
// (mox_report and option come from fake_host.cpp). Also the stand-in for
// kill: the program is linked with -Wl,--wrap=kill, so the module's resize
// signals land here and no fuzzed pid ever reaches a real process.
#include "client_host.h"

#include "client.h"
#include "console.h"
#include "moxInt.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/types.h>
#include <unistd.h>

mox_console console = {"/dev/tty0", "latin1", 80, 25};

int host_owner_answer = 0;
int host_paste_disabled = 0;
pid_t host_signalled[HOST_SIGNAL_LOG];
int host_signal_count = 0;

extern "C" int get_console_state(unsigned char *modifiers)
{
    *modifiers = HOST_MODIFIERS;
    return HOST_CONSOLE_VC;
}

extern "C" int is_console_owner(int vc, uid_t uid)
{
    (void) uid;
    if (vc < 0 || vc > LAST_VC) // the module asks only about consoles it admits to
        abort();
    return host_owner_answer;
}

extern "C" void selection_disable_paste(void)
{
    host_paste_disabled++;
}

extern "C" int __real_kill(pid_t pid, int sig);
extern "C" int __wrap_kill(pid_t pid, int sig);

// Resize signals are logged, never sent. A pid of 0 or below would have hit
// a process group or every process, and any other signal to another process
// is none of the module's business: both are findings. A signal to this
// process itself (the fuzzing engine's own) goes on to the kernel.
extern "C" int __wrap_kill(pid_t pid, int sig)
{
    if (pid <= 0)
        abort();
    if (sig != SIGWINCH) {
        if (pid != getpid())
            abort();
        return __real_kill(pid, sig);
    }
    if (host_signal_count < HOST_SIGNAL_LOG)
        host_signalled[host_signal_count] = pid;
    host_signal_count++;
    return 0;
}
