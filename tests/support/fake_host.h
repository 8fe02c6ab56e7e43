// A stand-in for the console mouse server around its modules: records every
// mox_report, answers get_console_state and is_console_owner from a script
// and counts the calls, and defines the records `option` and `console`.
#pragma once

#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

// Exit status of a process whose module made a fatal report: the fake
// mox_report prints "fatal: FILE: TEXT" on stderr and ends the process with
// it, so fatal paths are checked with death tests.
constexpr int FAKE_HOST_FATAL_EXIT = 86;

struct FakeReport {
    int severity;
    std::string file;
    std::string text;
    int line;
};

struct FakeHost {
    std::vector<FakeReport> reports;

    // get_console_state answers with console_vc and writes modifiers.
    int console_vc = 0;
    unsigned char modifiers = 0;
    int console_state_calls = 0;

    // is_console_owner answers owner_answer and logs (vc, uid) of each call.
    int owner_answer = 0;
    std::vector<std::pair<int, uid_t>> owner_calls;

    int paste_disabled = 0; // calls of selection_disable_paste
};

extern FakeHost fake_host;

// Clears the recorded calls and restores the default answers, option and
// console (80 by 25).
void fake_host_reset();
