// Private /dev for tests: the calling process moves into a mount namespace of
// its own and gets a fresh tmpfs over /dev, so that files such as /dev/psaux
// and /dev/moxctl can be created there without touching the machine's /dev.
#pragma once

#include <string>

// Exit status of a test program none of whose cases could run for want of
// the private /dev: the SKIP_RETURN_CODE of its CTest test.
constexpr int DEVNS_SKIP_EXIT = 77;

// Enters a private mount namespace (an unprivileged user namespace as well
// when not root) and mounts a tmpfs over /dev holding null, zero, urandom, a
// private devpts at /dev/pts and /dev/ptmx. Returns true on success; on
// failure *why says what could not be had and the caller should skip. With
// MOX_TEST_NO_DEVNS set in the environment it fails at once, so that a run
// without the namespace can be tried anywhere.
bool devns_enter(std::string *why);

// The exit status of a test program whose cases need the private /dev, from
// the result of RUN_ALL_TESTS: that result when the namespace was had or a
// case failed, else DEVNS_SKIP_EXIT (saying why on standard error), so that
// such a run shows as skipped rather than passed.
int devns_exit_status(int run_result, bool ns_ok, const std::string &why);

// Makes the file open on fd appear at /dev/NAME (a bind mount); only valid
// after devns_enter. Returns true on success, else *why says why.
bool devns_bind_fd(int fd, const char *name, std::string *why);

// True when the process runs as real root (not root of a user namespace),
// so it can switch a child to another uid.
bool devns_real_root();
