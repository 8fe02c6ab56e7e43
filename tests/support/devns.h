// Private /dev for tests: the calling process moves into a mount namespace of
// its own and gets a fresh tmpfs over /dev, so that files such as /dev/psaux
// and /dev/moxctl can be created there without touching the machine's /dev.
#pragma once

#include <string>

// Enters a private mount namespace (an unprivileged user namespace as well
// when not root) and mounts a tmpfs over /dev holding null, zero, urandom, a
// private devpts at /dev/pts and /dev/ptmx. Returns true on success; on
// failure *why says what could not be had and the caller should skip.
bool devns_enter(std::string *why);

// Makes the file open on fd appear at /dev/NAME (a bind mount); only valid
// after devns_enter. Returns true on success, else *why says why.
bool devns_bind_fd(int fd, const char *name, std::string *why);

// True when the process runs as real root (not root of a user namespace),
// so it can switch a child to another uid.
bool devns_real_root();
