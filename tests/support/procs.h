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

// "fd -> target" for every open descriptor of the process, sorted.
std::vector<std::string> fd_listing();
