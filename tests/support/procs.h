// Process and descriptor helpers for tests: the unprivileged user that
// connecting children become, and a listing of the open descriptors.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

// The user and group that unprivileged peers run as.
constexpr uid_t NOBODY_UID = 65534;
constexpr gid_t NOBODY_GID = 65534;

// Drops every group and becomes uid/gid 65534 for good. For a child of a
// real-root process; false (errno set) when the switch failed.
bool become_nobody();

// In a forked child: closes every descriptor above standard error except
// keep_a and keep_b (-1: none), so that the child holds no copy of its
// parent's sockets and pipes (whose ends would then never see a close).
void close_inherited(int keep_a = -1, int keep_b = -1);

// "fd -> target" for every open descriptor of the process, sorted.
std::vector<std::string> fd_listing();
