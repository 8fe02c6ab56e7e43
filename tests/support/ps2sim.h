// A simulated PS/2 mouse for running a program end to end: the mouse sits on
// the master side of a pseudo-terminal whose slave (raw: no echo, no
// translation, so 0xFF passes) appears at /dev/psaux inside a private mount
// namespace that only the program's process sees.
//
// By default the mouse answers as the kernel's /dev/psaux does: a reset 0xFF
// with 0xFA 0xAA 0x00, an identify 0xF2 with 0xFA 0x00, any other command
// with 0xFA; each new command byte first discards reply bytes the program has
// not read yet. The packet goes out once the program has flushed its input
// queue (tcflush TCIFLUSH), which the master sees through packet mode, so no
// timing is guessed. Every wait is bounded by the run's deadline.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct ps2sim_mouse {
    // Reply bytes per command byte; a command missing here gets default_reply.
    std::map<uint8_t, std::vector<uint8_t>> replies;
    std::vector<uint8_t> default_reply;
    // Each command byte first drops the replies still queued (kernel psaux);
    // false keeps them, so the program reads stale bytes.
    bool discard = true;
    // false: the mouse never answers and never sends a packet.
    bool answers = true;
    // Sent after the program's input flush; empty: no packet at all.
    std::vector<uint8_t> packet;
};

// The mouse as the kernel's /dev/psaux presents it, with packet 0x08 0 0 (no
// button down, no movement).
ps2sim_mouse ps2sim_default_mouse();

enum class ps2sim_stream {
    inherit, // the program writes to our own descriptor
    pipe,    // captured through a pipe
    pty,     // captured through a second raw pseudo-terminal (isatty is true)
};

struct ps2sim_run {
    std::string program;           // path to execute (PATH is searched)
    std::vector<std::string> argv; // argv[0] as the program sees it, then its arguments
    ps2sim_mouse mouse = ps2sim_default_mouse();
    bool device = true; // false: the namespace has no /dev/psaux at all
    ps2sim_stream out = ps2sim_stream::pipe;
    ps2sim_stream err = ps2sim_stream::pipe;
    int deadline_ms = 20000; // the program is killed after this
};

struct ps2sim_result {
    bool ran = false;          // the program was executed
    bool no_namespace = false; // no private mount namespace could be had
    std::string setup_error;   // why the program did not run
    bool exited = false;       // ended by itself with exit_code
    int exit_code = -1;
    int term_signal = 0;           // the signal that ended it, if any
    bool killed = false;           // the deadline passed and it was killed
    std::string out, err;          // captured streams (pipe or pty)
    std::vector<uint8_t> received; // every byte the program wrote to the device
    bool packet_sent = false;
};

// Runs the program against the mouse and waits for its end (or the deadline).
// Returns false when it could not be started; result->setup_error says why
// and result->no_namespace tells a missing namespace from other faults.
bool ps2sim_run_program(const ps2sim_run &run, ps2sim_result *result);

// "ff f2": bytes as lower-case hex separated by blanks.
std::string ps2sim_hex(const std::vector<uint8_t> &bytes);
