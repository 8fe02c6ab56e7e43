// The rest of the server around the client module, for its protocol fuzzer:
// console state, console ownership, the paste switch and the console record
// (mox_report and option come from fake_host.cpp). Also the stand-ins for
// the calls that signal: the program is linked with -Wl,--wrap for kill,
// pidfd_open and pidfd_send_signal, so the module's resize signals land here
// and no fuzzed pid ever reaches a real process. (A client of root signals
// with kill; one of another user, when the fuzzer does not run as root,
// through a pidfd once the process is found to be its user's.)
#include "client_host.h"

#include "client.h"
#include "console.h"
#include "moxInt.h"

#include <errno.h>
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
extern "C" int __real_pidfd_open(pid_t pid, unsigned int flags);
extern "C" int __wrap_pidfd_open(pid_t pid, unsigned int flags);
extern "C" int __wrap_pidfd_send_signal(int pidfd, int sig, siginfo_t *info, unsigned int flags);

namespace
{

void log_signal(pid_t pid)
{
    if (host_signal_count < HOST_SIGNAL_LOG)
        host_signalled[host_signal_count] = pid;
    host_signal_count++;
}

// The pid behind each pidfd the module opened, by descriptor number.
constexpr int PIDFD_TABLE = 1024;
pid_t pidfd_pid[PIDFD_TABLE];

} // namespace

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
    log_signal(pid);
    return 0;
}

// A real pidfd (the module reads the process's status next), remembered
// with its pid. A pid of 0 or below names no single process: a finding.
extern "C" int __wrap_pidfd_open(pid_t pid, unsigned int flags)
{
    if (pid <= 0)
        abort();
    int fd = __real_pidfd_open(pid, flags);
    if (fd >= PIDFD_TABLE) {
        close(fd);
        errno = EMFILE;
        return -1;
    }
    if (fd >= 0)
        pidfd_pid[fd] = pid;
    return fd;
}

// Logged as the pid it was opened for, never sent.
extern "C" int __wrap_pidfd_send_signal(int pidfd, int sig, siginfo_t *info, unsigned int flags)
{
    if (pidfd < 0 || pidfd >= PIDFD_TABLE || pidfd_pid[pidfd] <= 0 || sig != SIGWINCH ||
        info != nullptr || flags != 0)
        abort();
    log_signal(pidfd_pid[pidfd]);
    return 0;
}
