// mox2-daemon end to end: the built program runs in a private mount namespace
// against a simulated PS/2 mouse at /dev/psaux; its standard output, standard
// error, exit status and the bytes it wrote to the device are checked exactly.
// mini_printf is also tested on its own.
#include "ps2sim.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

void mini_printf(const char *str, int fd);

namespace
{

const std::string USAGE = "mox2-daemon: written by Quillane\n"
                          "\n"
                          "  -c <cconfig>: specify configuration directory\n"
                          "  -f:           fork into background after startup \n";
// The default mouse: the identify's ACK is read as ST once the kernel-like
// mouse has dropped the rest of the reset reply.
const std::string PROBE_DEFAULT = "RX: 0xfa\nST: 0xfa\nDI: 0\n";
const std::string PROBE_NOTHING = "RX: 0\nST: 0\nDI: 0\n";
const std::vector<uint8_t> RESET_THEN_IDENTIFY = {0xFF, 0xF2};

// Generous: a normal run takes tens of milliseconds, the slowest (a mouse that
// never answers) the daemon's own time-outs, about 8 s.
constexpr int DEADLINE_MS = 30000;

std::string repeat(const std::string &text, int times)
{
    std::string out;
    for (int i = 0; i < times; i++)
        out += text;
    return out;
}

ps2sim_run daemon_run(const std::vector<std::string> &args, const char *argv0 = "mox2-daemon")
{
    ps2sim_run run;
    run.program = MOX2_DAEMON_PATH;
    run.argv.push_back(argv0);
    run.argv.insert(run.argv.end(), args.begin(), args.end());
    run.deadline_ms = DEADLINE_MS;
    return run;
}

std::string describe(const ps2sim_result &res)
{
    return "exit " + std::to_string(res.exit_code) + ", signal " + std::to_string(res.term_signal) +
           (res.killed ? ", killed at the deadline" : "") + "\nstdout: " + res.out +
           "\nstderr: " + res.err;
}

// Runs the daemon; skips the test when no namespace can be had, and asserts
// that it ran and ended by itself.
#define RUN_DAEMON(run, res)                                                                       \
    do {                                                                                           \
        ps2sim_run_program((run), &(res));                                                         \
        if ((res).no_namespace)                                                                    \
            GTEST_SKIP() << "no private mount namespace for /dev/psaux: " << (res).setup_error;    \
        ASSERT_TRUE((res).ran) << (res).setup_error;                                               \
        ASSERT_TRUE((res).exited) << describe(res);                                                \
    } while (0)

TEST(DaemonCommandLine, UsageOncePerOptionThenDeviceStep)
{
    struct Case {
        const char *name;
        std::vector<std::string> args;
        const char *argv0;
        int usages;
        std::string err;
    };
    const Case cases[] = {
        {"no arguments", {}, "mox2-daemon", 0, ""},
        {"-c with a directory", {"-c", "/some/dir"}, "mox2-daemon", 1, ""},
        {"-f twice", {"-f", "-f"}, "mox2-daemon", 2, ""},
        {"unknown option", {"-x"}, "mox2-daemon", 1, "mox2-daemon: invalid option -- 'x'\n"},
        {"-c missing its argument",
         {"-c"},
         "mox2-daemon",
         1,
         "mox2-daemon: option requires an argument -- 'c'\n"},
        {"diagnostic names argv[0]",
         {"-x"},
         "/opt/m2/daemon",
         1,
         "/opt/m2/daemon: invalid option -- 'x'\n"},
        {"-fc: f, then c missing its argument",
         {"-fc"},
         "mox2-daemon",
         2,
         "mox2-daemon: option requires an argument -- 'c'\n"},
        {"-c takes -f as its directory", {"-c", "-f"}, "mox2-daemon", 1, ""},
        {"operands are passed over", {"extra", "-f", "more"}, "mox2-daemon", 1, ""},
        {"two unknown options and -f",
         {"-x", "-y", "-f"},
         "mox2-daemon",
         3,
         "mox2-daemon: invalid option -- 'x'\nmox2-daemon: invalid option -- 'y'\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ps2sim_result res;
        RUN_DAEMON(daemon_run(c.args, c.argv0), res);
        // The usage text is written directly, the probe lines at exit (pipe).
        EXPECT_EQ(res.out, repeat(USAGE, c.usages) + PROBE_DEFAULT);
        EXPECT_EQ(res.err, c.err);
        EXPECT_EQ(res.exit_code, 1);
        EXPECT_EQ(res.received, RESET_THEN_IDENTIFY) << ps2sim_hex(res.received);
    }
}

TEST(DaemonPacket, ButtonLinesFromByteZero)
{
    struct Case {
        uint8_t byte0;
        std::string lines;
    };
    const Case cases[] = {
        {0x09, "left!\n"},                  // bit 3 is not looked at
        {0x0F, "left!\nright!\nmiddle!\n"}, // always in this order
        {0x08, ""},                         // no button down
        {0x0A, "right!\n"},
        {0x0C, "middle!\n"},
        {0xF8, ""},                         // sign and overflow bits only
        {0x07, "left!\nright!\nmiddle!\n"}, // bit 3 clear changes nothing
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::Message() << "packet byte 0x" << std::hex << int(c.byte0));
        ps2sim_run run = daemon_run({});
        // Movement bytes that would read as buttons if taken for byte 0.
        run.mouse.packet = {c.byte0, 0x07, 0x07};
        ps2sim_result res;
        RUN_DAEMON(run, res);
        EXPECT_TRUE(res.packet_sent);
        EXPECT_EQ(res.out, c.lines + PROBE_DEFAULT);
        EXPECT_EQ(res.err, "");
        EXPECT_EQ(res.exit_code, 1);
    }
}

TEST(DaemonMouse, ProbeLinesAndFlush)
{
    struct Case {
        const char *name;
        void (*script)(ps2sim_mouse *);
        std::string out;
    };
    const Case cases[] = {
        {"kernel psaux: stale reset reply dropped by the identify",
         [](ps2sim_mouse *m) {
             m->packet = {0x09, 0, 0};
         },
         "left!\n" + PROBE_DEFAULT},
        // Without the daemon's flush the queued identify reply FA 00 would be
        // read as the packet and print "right!".
        {"left-overs kept: the flush drops them before the packet",
         [](ps2sim_mouse *m) {
             m->discard = false;
             m->packet = {0x09, 0, 0};
         },
         "left!\nRX: 0xfa\nST: 0xaa\nDI: 0\n"},
        // Stray bytes after the id: read as a packet they would press all three.
        {"extra bytes after the identify reply are flushed",
         [](ps2sim_mouse *m) {
             m->replies[0xF2] = {0xFA, 0x00, 0x0F, 0x01, 0x01};
         },
         PROBE_DEFAULT},
        {"a wheel mouse id prints in hex with its prefix",
         [](ps2sim_mouse *m) {
             m->replies[0xF2] = {0xFA, 0x03};
         },
         "RX: 0xfa\nST: 0xfa\nDI: 0x3\n"},
        // Both identify reads time out (1 s each): ibuf keeps the last reply.
        {"identify unanswered: the last byte read is printed again",
         [](ps2sim_mouse *m) {
             m->replies[0xF2] = {};
             m->packet = {0x0A, 0, 0};
         },
         "right!\nRX: 0xfa\nST: 0xfa\nDI: 0xfa\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ps2sim_run run = daemon_run({});
        c.script(&run.mouse);
        ps2sim_result res;
        RUN_DAEMON(run, res);
        EXPECT_EQ(res.out, c.out);
        EXPECT_EQ(res.err, "");
        EXPECT_EQ(res.exit_code, 1);
        EXPECT_EQ(res.received, RESET_THEN_IDENTIFY) << ps2sim_hex(res.received);
    }
}

// The button lines bypass stdio; the probe lines sit in its buffer, which is
// flushed at exit on a pipe and at each newline on a terminal.
TEST(DaemonOutput, OrderOnPipeAndTerminal)
{
    struct Case {
        const char *name;
        ps2sim_stream out;
        std::string expected;
    };
    const Case cases[] = {
        {"pipe: button lines before the probe lines", ps2sim_stream::pipe,
         USAGE + "left!\nmiddle!\n" + PROBE_DEFAULT},
        {"terminal: program order", ps2sim_stream::pty, USAGE + PROBE_DEFAULT + "left!\nmiddle!\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ps2sim_run run = daemon_run({"-f"});
        run.out = c.out;
        run.mouse.packet = {0x0D, 0, 0};
        ps2sim_result res;
        RUN_DAEMON(run, res);
        EXPECT_EQ(res.out, c.expected);
        EXPECT_EQ(res.err, "");
        EXPECT_EQ(res.exit_code, 1);
    }
}

TEST(DaemonDevice, MissingDeviceFailsAtOnce)
{
    ps2sim_run run = daemon_run({});
    run.device = false;
    // Every read fails at once on the invalid descriptor; the deadline stays
    // below the time-outs (1 s per reply, 5 s for the packet) that a daemon
    // waiting on the device would run into.
    run.deadline_ms = 4000;
    ps2sim_result res;
    RUN_DAEMON(run, res);
    EXPECT_EQ(res.out, PROBE_NOTHING);
    EXPECT_EQ(res.err, "");
    EXPECT_EQ(res.exit_code, 1);
    EXPECT_TRUE(res.received.empty());
}

TEST(DaemonDevice, SilentMouseEndsByItself)
{
    ps2sim_run run = daemon_run({});
    run.mouse.answers = false;
    run.mouse.packet.clear();
    ps2sim_result res;
    RUN_DAEMON(run, res);
    EXPECT_FALSE(res.killed);
    EXPECT_EQ(res.out, PROBE_NOTHING);
    EXPECT_EQ(res.err, "");
    EXPECT_EQ(res.exit_code, 1);
    EXPECT_EQ(res.received, RESET_THEN_IDENTIFY) << ps2sim_hex(res.received);
}

// A SOCK_SEQPACKET socket keeps write boundaries, zero-length ones included,
// so each write of mini_printf arrives as one message.
TEST(MiniPrintf, OneWritePerCall)
{
    static const char embedded_nul[] = {'a', 'b', '\0', 'c', 'd', '\0'};
    const std::string long_text(3000, 'z');
    struct Case {
        const char *name;
        const char *str;
        std::vector<std::string> messages;
    };
    const Case cases[] = {
        {"null writes nothing", nullptr, {}},
        {"empty string: one zero-length write", "", {""}},
        {"a button line", "left!\n", {"left!\n"}},
        {"stops at the first NUL", embedded_nul, {"ab"}},
        {"a long text in one write", long_text.c_str(), {long_text}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv), 0) << strerror(errno);
        mini_printf(c.str, sv[0]);
        std::vector<std::string> got;
        char buf[8192];
        for (;;) {
            // The writer stays open, so 0 is a zero-length message, not the end.
            ssize_t n = recv(sv[1], buf, sizeof buf, MSG_DONTWAIT);
            if (n < 0) {
                EXPECT_EQ(errno, EAGAIN) << strerror(errno);
                break;
            }
            got.emplace_back(buf, static_cast<size_t>(n));
        }
        EXPECT_EQ(got, c.messages);
        close(sv[0]);
        close(sv[1]);
    }
}

} // namespace
