// Child processes for tests: started with their output on a pipe, read until
// a text shows up, and waited for, every wait bounded.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

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
