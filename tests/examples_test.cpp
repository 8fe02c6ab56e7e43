// End-to-end run of the example server mox-refserver and the example client
// mox-client: real processes on the real control socket /dev/moxctl, inside a
// private mount namespace with its own /dev (entered once in main).
#include "devns.h"
#include "mox.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

bool g_have_ns = false;
std::string g_ns_why;

// Every wait below is bounded by this; a healthy run answers in milliseconds.
constexpr int STEP_TIMEOUT_MS = 5000;
constexpr uid_t NOBODY = 65534;

long now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

struct proc {
    pid_t pid = -1;
    int in = -1;  // its standard input, or -1
    int out = -1; // its standard output and error
    std::string text;
    bool eof = false;
};

// Starts argv with stdout+stderr on a pipe (and stdin on one if asked); a
// non-zero uid switches the child to that user first.
proc spawn(const std::vector<std::string> &args, bool with_stdin, uid_t uid = 0)
{
    proc p;
    int out[2], in[2] = {-1, -1};
    if (pipe2(out, O_CLOEXEC) != 0 || (with_stdin && pipe2(in, O_CLOEXEC) != 0))
        return p;
    p.pid = fork();
    if (p.pid == 0) {
        dup2(out[1], 1);
        dup2(out[1], 2);
        if (with_stdin)
            dup2(in[0], 0);
        else
            close(0);
        if (uid != 0 && (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0))
            _exit(126);
        std::vector<char *> argv;
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    p.out = out[0];
    if (with_stdin) {
        close(in[0]);
        p.in = in[1];
    }
    return p;
}

// Reads p's output until it holds needle (searching from offset *from, which
// moves past the match) or the timeout passes. Returns whether it was found.
bool expect(proc &p, const std::string &needle, size_t *from = nullptr)
{
    size_t start = from != nullptr ? *from : 0;
    long deadline = now_ms() + STEP_TIMEOUT_MS;
    for (;;) {
        size_t at = p.text.find(needle, start);
        if (at != std::string::npos) {
            if (from != nullptr)
                *from = at + needle.size();
            return true;
        }
        long left = deadline - now_ms();
        if (p.eof || left <= 0)
            return false;
        struct pollfd pfd = {p.out, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(left)) <= 0)
            continue;
        char buf[4096];
        ssize_t n = read(p.out, buf, sizeof buf);
        if (n <= 0)
            p.eof = true;
        else
            p.text.append(buf, static_cast<size_t>(n));
    }
}

void send_line(proc &p, const std::string &line)
{
    std::string l = line + "\n";
    ASSERT_EQ(write(p.in, l.data(), l.size()), static_cast<ssize_t>(l.size())) << strerror(errno);
}

// Waits for p to end (its output closed first, all of it read) and returns
// its wait status, or -1 when it outlives the timeout (it is then killed).
int finish(proc &p)
{
    if (p.pid <= 0)
        return -1;
    if (p.in >= 0) {
        close(p.in);
        p.in = -1;
    }
    long deadline = now_ms() + STEP_TIMEOUT_MS;
    while (!p.eof && now_ms() < deadline)
        expect(p, std::string(1, '\0'));
    int status = -1;
    if (!p.eof)
        kill(p.pid, SIGKILL);
    if (waitpid(p.pid, &status, 0) != p.pid || !p.eof)
        status = -1;
    close(p.out);
    p.pid = -1;
    return status;
}

// Lines of text holding needle, in order.
std::vector<std::string> lines_with(const std::string &text, const std::string &needle)
{
    std::vector<std::string> found;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(pos, end - pos);
        if (line.find(needle) != std::string::npos)
            found.push_back(line);
        pos = end + 1;
    }
    return found;
}

class Examples : public ::testing::Test
{
  protected:
    proc server;
    std::vector<proc> clients;

    void SetUp() override
    {
        if (!g_have_ns)
            GTEST_SKIP() << "no private /dev: " << g_ns_why;
    }

    void TearDown() override
    {
        // the server first: its end closes every client's connection
        finish(server);
        for (proc &c : clients)
            finish(c);
    }

    // Starts the server, then waits for it to listen.
    void start_server(std::vector<std::string> args = {})
    {
        args.insert(args.begin(), MOX_REFSERVER_PATH);
        server = spawn(args, true);
        ASSERT_GT(server.pid, 0);
        ASSERT_TRUE(expect(server, "listening on /dev/moxctl")) << server.text;
    }

    // Starts a client and waits for the answer to its button-count request,
    // which proves it admitted and everything it sent before handled.
    proc &start_client(const std::string &name, std::vector<std::string> args, uid_t uid = 0)
    {
        args.insert(args.begin(), {MOX_CLIENT_PATH, "--name", name, "--timeout", "20000"});
        args.insert(args.end(), {"--request", "buttons"});
        clients.push_back(spawn(args, false, uid));
        proc &c = clients.back();
        EXPECT_TRUE(expect(c, "[" + name + "] answer to buttons")) << c.text;
        return c;
    }
};

// Two clients stacked on console 2 like the demo: A on top takes moves only
// without modifiers and passes presses and releases down; B takes moves,
// presses and releases, and keeps "hard" so a release it gets still reaches
// the server's default handling.
TEST_F(Examples, RoutesEventsByMasksAndModifiers)
{
    ASSERT_NO_FATAL_FAILURE(start_server());
    start_client("B", {"--vc", "2", "--events", "move,down,up", "--default", "hard,up"});
    start_client("A", {"--vc", "2", "--events", "move", "--default", "down,up", "--max-mod", "0"});
    send_line(server, "wait clients=2");
    ASSERT_TRUE(expect(server, "wait: 2 client(s)")) << server.text;

    struct step {
        const char *line;
        const char *verdict;
        const char *receiver; // "A", "B" or nobody
    };
    const step steps[] = {
        {"event vc=2 type=move x=1", "finished by a client", "A"},
        {"event vc=2 type=down x=2 buttons=4", "finished by a client", "B"},
        {"event vc=2 type=move x=3 mod=4", "finished by a client", "B"},
        {"event vc=2 type=drag x=4", "finished by a client", nullptr},
        {"event vc=2 type=up x=5", "default handling applies", "B"},
        {"event vc=2 type=single x=6", "finished by a client", nullptr},
        {"event vc=2 type=move|single x=7", "finished by a client", "A"},
        {"event vc=3 type=move x=8", "default handling applies (no client on console 3)", nullptr},
        {"event vc=2 type=enter x=9", "finished by a client", nullptr},
    };
    std::string want_a, want_b;
    size_t from = 0;
    int n = 0;
    for (const step &s : steps) {
        SCOPED_TRACE(s.line);
        send_line(server, s.line);
        ASSERT_TRUE(expect(server, "event " + std::to_string(++n) + ":", &from)) << server.text;
        size_t start = from;
        ASSERT_TRUE(expect(server, "\n", &from)) << server.text;
        std::string line = server.text.substr(start, from - 1 - start);
        std::string verdict = line.substr(line.find("-> ") + 3);
        EXPECT_EQ(verdict.substr(0, verdict.find(';')), s.verdict);
        std::string x = std::string(strstr(s.line, " x=") + 3);
        x = " x=" + x.substr(0, x.find(' ')) + " ";
        if (s.receiver != nullptr)
            (std::string(s.receiver) == "A" ? want_a : want_b) += x;
    }
    send_line(server, "quit");
    ASSERT_EQ(finish(server), 0) << server.text;

    std::string got[2];
    for (int i = 0; i < 2; i++) {
        proc &c = clients[static_cast<size_t>(i)];
        EXPECT_TRUE(expect(c, "server closed the connection")) << c.text;
        for (const std::string &line : lines_with(c.text, "] event ")) {
            size_t at = line.find(" x=");
            got[i] += line.substr(at, line.find(' ', at + 1) - at + 1);
        }
    }
    EXPECT_EQ(got[0], want_b) << clients[0].text;
    EXPECT_EQ(got[1], want_a) << clients[1].text;
    // The modifier state travels with the event: B's move arrived with Ctrl.
    EXPECT_NE(clients[0].text.find("[B] event move console 2 x=3 y=0 dx=0 dy=0 buttons=0x00 "
                                   "mod=0x04"),
              std::string::npos)
        << clients[0].text;
}

TEST_F(Examples, AnswersRequestsAndSwitchesPastingOff)
{
    ASSERT_NO_FATAL_FAILURE(start_server({"--buttons", "2"}));
    send_line(server, "resize cols=100 rows=40");
    send_line(server, "state x=7 y=9 buttons=5 clicks=2");
    send_line(server, "event vc=6 type=move");
    ASSERT_TRUE(expect(server, "no client on console 6); paste on")) << server.text;

    proc &c = start_client("S", {"--vc", "1", "--request", "state", "--request", "nopaste"});
    // No console device in the private /dev: console number and modifiers 0.
    EXPECT_TRUE(expect(c, "[S] answer to buttons: 2 buttons")) << c.text;
    EXPECT_NE(c.text.find("[S] answer to state: console 0 mod=0x00 pointer 7,9 buttons=0x05 "
                          "clicks=2 size 100x40, 2 buttons"),
              std::string::npos)
        << c.text;
    EXPECT_TRUE(expect(server, "disabling pasting per request from virtual console (1)"))
        << server.text;
    send_line(server, "event vc=6 type=move");
    EXPECT_TRUE(expect(server, "no client on console 6); paste off")) << server.text;
}

// A replacement record changes the client's masks in place: the client that
// asked for moves now gets presses only, and moves stop at it.
TEST_F(Examples, ReplacementRecordChangesRouting)
{
    ASSERT_NO_FATAL_FAILURE(start_server());
    proc &c = start_client("R", {"--vc", "7", "--events", "move", "--replace-events", "down"});
    send_line(server, "event vc=7 type=move x=1");
    send_line(server, "event vc=7 type=down x=2");
    send_line(server, "quit");
    ASSERT_EQ(finish(server), 0) << server.text;
    EXPECT_TRUE(expect(c, "server closed the connection after 1 event(s)")) << c.text;
    EXPECT_EQ(lines_with(c.text, "] event ").size(), 1u) << c.text;
    EXPECT_NE(c.text.find("[R] event down console 7 x=2"), std::string::npos) << c.text;
}

// A client that ends, or that sends a broken record, leaves its stack; the
// next event on that console finds no client.
TEST_F(Examples, ClosedOrBrokenClientIsRemoved)
{
    ASSERT_NO_FATAL_FAILURE(start_server());

    // the mox-client way: exit after one event, closing the socket
    proc &c = start_client("C", {"--vc", "4", "--count", "1"});
    send_line(server, "event vc=4 type=move x=1");
    EXPECT_TRUE(expect(server, " on console 4 closed: removed (clients: 0)")) << server.text;
    EXPECT_EQ(finish(c), 0) << c.text;
    send_line(server, "event vc=4 type=move x=2");
    EXPECT_TRUE(expect(server, "no client on console 4)")) << server.text;

    // a raw client: a good connect record, then 5 bytes of a second one
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0) << strerror(errno);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, CONTROL_SOCKET_PATH);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0) << strerror(errno);
    Mox_Connect rec = {};
    rec.eventMask = MOX_MOVE;
    rec.maxMod = 0xFFFF;
    rec.pid = getpid();
    rec.vc = 4;
    ASSERT_EQ(write(fd, &rec, sizeof rec), static_cast<ssize_t>(sizeof rec));
    EXPECT_TRUE(expect(server, " on console 4: events move, default none")) << server.text;
    send_line(server, "event vc=4 type=move x=3");
    Mox_Event ev;
    memset(&ev, 0xAD, sizeof ev);
    struct pollfd pfd = {fd, POLLIN, 0};
    ASSERT_EQ(poll(&pfd, 1, STEP_TIMEOUT_MS), 1);
    ASSERT_EQ(read(fd, &ev, sizeof ev), static_cast<ssize_t>(sizeof ev));
    EXPECT_EQ(ev.type, static_cast<uint32_t>(MOX_MOVE));
    EXPECT_EQ(ev.vc, 4);
    EXPECT_EQ(ev.x, 3);
    EXPECT_EQ(ev.wdx, 0);
    ASSERT_EQ(write(fd, &rec, 5), 5);
    EXPECT_TRUE(expect(server, " on console 4: bad read, dropped (clients: 0)")) << server.text;
    // the server closed its end
    ASSERT_EQ(poll(&pfd, 1, STEP_TIMEOUT_MS), 1);
    EXPECT_EQ(read(fd, &ev, sizeof ev), 0);
    close(fd);
}

TEST_F(Examples, ResizeSignalsEveryClient)
{
    ASSERT_NO_FATAL_FAILURE(start_server());
    start_client("P", {"--vc", "1"});
    start_client("Q", {"--vc", "5"});
    start_client("Z", {"--vc", "0"});
    send_line(server, "resize cols=132 rows=43");
    EXPECT_TRUE(expect(server, "resize: console 132x43, SIGWINCH to 3 client(s)")) << server.text;
    for (proc &c : clients)
        EXPECT_TRUE(expect(c, "] SIGWINCH: the console was resized")) << c.text;
}

// Without root, a client is admitted to a console when it owns that
// console's tty device, and refused otherwise.
TEST_F(Examples, AdmitsUsersByConsoleOwnership)
{
    if (!devns_real_root())
        GTEST_SKIP() << "needs real root to run a client as another user";
    struct stat st;
    if (stat(MOX_CLIENT_PATH, &st) != 0 || (st.st_mode & S_IXOTH) == 0)
        GTEST_SKIP() << "the client binary is not executable by other users";
    // tty devices in the private /dev: tty3 belongs to nobody, tty4 to root
    for (const char *path : {"/dev/tty3", "/dev/tty4"}) {
        int fd = open(path, O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0) << strerror(errno);
        close(fd);
    }
    ASSERT_EQ(chown("/dev/tty3", NOBODY, NOBODY), 0) << strerror(errno);
    ASSERT_NO_FATAL_FAILURE(start_server());

    proc &ok = start_client("N", {"--vc", "3"}, NOBODY);
    EXPECT_TRUE(expect(server, " on console 3: events move|drag|down|up")) << server.text;
    EXPECT_TRUE(expect(ok, "[N] answer to buttons: 3 buttons")) << ok.text;

    const char *const refused[] = {"4", "9", "0"};
    for (const char *vc : refused) {
        SCOPED_TRACE(vc);
        size_t seen = server.text.size();
        clients.push_back(spawn(
            {MOX_CLIENT_PATH, "--name", "X", "--vc", vc, "--request", "buttons"}, false, NOBODY));
        proc &no = clients.back();
        EXPECT_TRUE(expect(server, "connection not admitted (clients: 1)", &seen)) << server.text;
        // refused: the server closes, before or after the request went out
        EXPECT_NE(finish(no), 0) << no.text;
        EXPECT_EQ(no.text.find("] answer to buttons"), std::string::npos) << no.text;
    }
}

// The option string on the server's command line goes through the parser
// as a protocol driver's would: values and present marks (*) are printed.
TEST_F(Examples, ParsesTheDemoProtocolOptions)
{
    struct row {
        const char *options;
        const char *result;
        const char *values;
    };
    const row rows[] = {
        {"dpi=400,swap", "parse_options = 2", "dpi=400* swap=1* rate=100 device=(none)"},
        {"rate=0x10,device=/dev/ttyS0", "parse_options = 2",
         "dpi=0 swap=0 rate=16* device=/dev/ttyS0*"},
        {"dpi=0x10", "parse_options = -1", "dpi=0* swap=0 rate=100 device=(none)"},
        {"dpix=5", "parse_options = -1", "dpi=0 swap=0 rate=100 device=(none)"},
        {"", "parse_options = 0", "dpi=0 swap=0 rate=100 device=(none)"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.options);
        proc p = spawn({MOX_REFSERVER_PATH, "--options", r.options}, true);
        EXPECT_EQ(finish(p), 0) << p.text;
        EXPECT_NE(p.text.find(std::string("options \"") + r.options +
                              "\" for protocol demo: " + r.result + "\n  " + r.values + "\n"),
                  std::string::npos)
            << p.text;
    }
}

} // namespace

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    signal(SIGPIPE, SIG_IGN);
    g_have_ns = devns_enter(&g_ns_why);
    return RUN_ALL_TESTS();
}
