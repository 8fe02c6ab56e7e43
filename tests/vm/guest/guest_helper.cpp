// A small program for the guest's own tests of starting, watching and
// stopping programs: says who it is, then reports each signal it gets.
//   guest_helper [--exit N] [--ignore-term]
// Standard error: "helper ready pid=P uid=U", then "got signal N" for each
// SIGUSR1, SIGUSR2 or SIGHUP, and "stopping" on SIGTERM (exit status 0).
// Standard output: "helper output". --exit N ends at once with status N;
// --ignore-term leaves SIGTERM without effect (only SIGKILL ends it).
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <unistd.h>

int main(int argc, char **argv)
{
    bool ignore_term = false;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--exit") == 0 && i + 1 < argc)
            return atoi(argv[i + 1]);
        if (strcmp(argv[i], "--ignore-term") == 0)
            ignore_term = true;
    }
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGUSR1, SIGUSR2, SIGHUP, SIGTERM})
        sigaddset(&set, sig);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    printf("helper output\n");
    fflush(stdout);
    fprintf(stderr, "helper ready pid=%d uid=%u\n", static_cast<int>(getpid()),
            static_cast<unsigned>(getuid()));
    for (;;) {
        int sig = sigwaitinfo(&set, nullptr);
        if (sig < 0)
            continue;
        if (sig == SIGTERM && !ignore_term) {
            fprintf(stderr, "stopping\n");
            return 0;
        }
        fprintf(stderr, "got signal %d\n", sig);
    }
}
