// Helpers shared by the files of the guest support library.
#pragma once

#include <sys/types.h>

// Prints "guest: what: <errno text>" to standard error; false, errno kept.
bool guest_fail(const char *what);
// True inside the test guest; elsewhere prints why what is refused, sets
// errno to EPERM and gives false.
bool guest_refuse(const char *what);
// Milliseconds left until deadline (a guest_now_ms value), never negative.
int guest_left_ms(long deadline);
// A descriptor for process pid (pidfd_open), -1 on failure.
int guest_pidfd(pid_t pid);
// Waits up to timeout_ms for the child pid to end, kills it when it has not,
// and reaps it; *status gets its wait status. True when it ended in time.
bool guest_reap(pid_t pid, int timeout_ms, int *status);
// Polls fd for input up to timeout_ms: 1 readable (or hung up), 0 not in
// time, -1 on error.
int guest_wait_readable(int fd, int timeout_ms);
