// Process and descriptor helpers for tests: the unprivileged user that
// connecting children become, a listing of the open descriptors, and child
// programs started with their output on a pipe, read until a text shows up
// and waited for, every wait bounded.
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

// Every wait below is bounded by this; a healthy program answers in
// milliseconds.
constexpr int PROC_STEP_TIMEOUT_MS = 5000;

struct proc {
    pid_t pid = -1;
    int in = -1;  // its standard input, or -1
    int out = -1; // its standard output and error, together
    std::string text;
    bool eof = false;
};

// Starts args (args[0] a path) with stdout+stderr on a pipe (and stdin on one
// if asked); a non-zero uid switches the child to that user first.
proc proc_spawn(const std::vector<std::string> &args, bool with_stdin, uid_t uid = 0);

// Reads p's output until it holds needle (searching from offset *from, which
// moves past the match) or the time passes. Returns whether it was found.
bool proc_expect(proc &p, const std::string &needle, size_t *from = nullptr,
                 int timeout_ms = PROC_STEP_TIMEOUT_MS);

// Waits for p to end (its output read to the end) and returns its wait
// status, or -1 when it outlives the timeout (it is then killed).
int proc_finish(proc &p, int timeout_ms = PROC_STEP_TIMEOUT_MS);

long proc_now_ms();
