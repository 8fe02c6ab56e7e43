// Tests of libmox-client over real Unix sockets: against a real server made
// of client.o and the fake host in a private /dev (so /dev/moxctl is ours),
// and against raw socketpairs where the bytes must arrive in chosen pieces.
// The library's objects are linked in directly, so that its hidden pure
// steps can be fed invented devices, and its reads, polls and sends can be
// made to fail on demand through wrapped calls.

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <linux/sockios.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "client.h"
#include "client_table.h"
#include "console.h"
#include "devns.h"
#include "fake_host.h"
#include "mox-client.h"
#include "terminal.h"
#include "wire.h"

// Failures on demand for one descriptor: the next N reads or polls of it
// give EINTR; the next send on it goes out short, then fails if asked.
static int g_eintr_read_fd = -1, g_eintr_reads = 0;
static int g_eintr_poll_fd = -1, g_eintr_polls = 0;
static int g_short_send_fd = -1, g_short_send_bytes = 0, g_short_send_then_errno = 0;
static int g_reads_of_fd = -1, g_read_calls = 0;

extern "C" {
ssize_t __real_read(int fd, void *buf, size_t n);
int __real_poll(struct pollfd *fds, nfds_t n, int timeout);
ssize_t __real_send(int fd, const void *buf, size_t n, int flags);
ssize_t __wrap_read(int fd, void *buf, size_t n);
int __wrap_poll(struct pollfd *fds, nfds_t n, int timeout);
ssize_t __wrap_send(int fd, const void *buf, size_t n, int flags);
}

ssize_t __wrap_read(int fd, void *buf, size_t n)
{
    if (fd == g_reads_of_fd)
        g_read_calls++;
    if (fd == g_eintr_read_fd && g_eintr_reads > 0) {
        g_eintr_reads--;
        errno = EINTR;
        return -1;
    }
    return __real_read(fd, buf, n);
}

int __wrap_poll(struct pollfd *fds, nfds_t n, int timeout)
{
    if (n == 1 && fds[0].fd == g_eintr_poll_fd && g_eintr_polls > 0) {
        g_eintr_polls--;
        errno = EINTR;
        return -1;
    }
    return __real_poll(fds, n, timeout);
}

ssize_t __wrap_send(int fd, const void *buf, size_t n, int flags)
{
    if (fd != g_short_send_fd)
        return __real_send(fd, buf, n, flags);
    if (g_short_send_bytes > 0) {
        size_t part = static_cast<size_t>(g_short_send_bytes);
        g_short_send_bytes = 0;
        return __real_send(fd, buf, part < n ? part : n, flags);
    }
    if (g_short_send_then_errno != 0) {
        errno = g_short_send_then_errno;
        return -1;
    }
    return __real_send(fd, buf, n, flags);
}

namespace
{

bool g_ns_ok = false;
std::string g_ns_why;

constexpr int PEER_WAIT_MS = 2000; // bound on every wait for a peer
constexpr uid_t NOBODY = 65534;

long long now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

Mox_Event make_event(uint32_t type, int16_t x, int32_t clicks)
{
    Mox_Event ev;
    memset(&ev, 0, sizeof ev);
    ev.buttons = 0x05;
    ev.modifiers = 0x00;
    ev.vc = 3;
    ev.dx = -2;
    ev.dy = 7;
    ev.x = x;
    ev.y = static_cast<int16_t>(-x);
    ev.type = type;
    ev.clicks = clicks;
    ev.margin = MOX_RGT;
    ev.wdx = 0x1234; // every byte differs from the next record's
    ev.wdy = static_cast<int16_t>(clicks);
    return ev;
}

mox_connection conn_on(int fd)
{
    mox_connection c;
    memset(&c, 0xAD, sizeof c);
    c.fd = fd;
    c.held = 0;
    return c;
}

ssize_t pending(int fd)
{
    char buf[512];
    ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT | MSG_PEEK);
    return n < 0 ? 0 : n;
}

// Waits until the peer of fd has read everything written to fd (SIOCOUTQ
// counts the bytes it has not read yet); false when it does not.
bool wait_taken(int fd)
{
    for (int i = 0; i < 2 * PEER_WAIT_MS; i++) {
        int unread = 0;
        if (ioctl(fd, SIOCOUTQ, &unread) != 0)
            return false;
        if (unread == 0)
            return true;
        (void) poll(nullptr, 0, 1);
    }
    return false;
}

void set_nonblock(int fd)
{
    ASSERT_EQ(fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK), 0) << strerror(errno);
}

struct sockpair {
    int lib = -1;  // the program's end, read by the library
    int peer = -1; // the server's end, written by the test
    sockpair()
    {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0) {
            lib = sv[0];
            peer = sv[1];
        }
    }
    ~sockpair()
    {
        for (int fd : {lib, peer})
            if (fd >= 0)
                close(fd);
    }
};

// What a program in a child process saw, sent back to the test.
struct child_report {
    int result;
    int err;
    Mox_Event ev;
    Mox_Connect rec;
};

// Runs body in a child process (its stdio left as is) and returns its report;
// a child that sends none in time is killed and counts as a failure.
bool run_child(const std::function<child_report()> &body, child_report *out)
{
    int pfd[2];
    if (pipe2(pfd, O_CLOEXEC) != 0)
        return false;
    pid_t child = fork();
    if (child == 0) {
        close(pfd[0]);
        child_report r = body();
        _exit(write(pfd[1], &r, sizeof r) == sizeof r ? 0 : 1);
    }
    close(pfd[1]);
    bool ok = readable(pfd[0], 10 * PEER_WAIT_MS) && read(pfd[0], out, sizeof *out) == sizeof *out;
    close(pfd[0]);
    if (!ok)
        kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    return ok;
}

// ---- the console of the calling terminal -------------------------------

TEST(LibTerminal, OnlyVirtualConsoleDevicesCount)
{
    struct Case {
        uint32_t major, minor;
        int vc;
    } cases[] = {
        {4, 1, 1},   {4, 7, 7},       {4, 63, 63}, {4, 0, 0}, // tty0 names no console
        {4, 64, 0},  {4, 255, 0},     {4, 300, 0},            // serial lines
        {5, 1, 0},   {136, 1, 0},     {3, 1, 0},   {1, 3, 0}, // console, pty, old pty, null
        {260, 1, 0}, {4 + 256, 1, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.major) + ":" + std::to_string(c.minor));
        EXPECT_EQ(vt_of_device(c.major, c.minor), c.vc);
        // The same device as /proc prints it.
        int64_t nr = (c.minor & 0xFF) | ((c.major & 0xFFF) << 8) | ((c.minor & ~0xFFu) << 12);
        EXPECT_EQ(vt_of_tty_nr(nr), c.major < 4096 ? c.vc : 0);
    }
    // Minor 257 has the low byte of tty1: the high bits must be decoded too.
    EXPECT_EQ(vt_of_tty_nr(0x401 | (0x100 << 12)), 0);
    EXPECT_EQ(vt_of_tty_nr(0), 0);
    EXPECT_EQ(vt_of_tty_nr(-1), 0);
    EXPECT_EQ(vt_of_tty_nr(INT64_C(0x100000401)), 0);
}

TEST(LibTerminal, TtyNrIsTheSeventhFieldOfStat)
{
    struct Case {
        const char *text;
        int found;
        int64_t tty_nr;
    } cases[] = {
        {"1234 (bash) S 1 1234 1234 1025 1234 4194560 100", 1, 1025},
        {"77 (a) b (c)) R 1 2 3 34817 -1 0", 1, 34817}, // parentheses in the name
        {"5 () S 1 1 1 1026 0", 1, 1026},
        {"9 (x) S 1 2 3 0 -1", 1, 0},
        {"9 (x) S 1 2 3 -5 0", 1, -5},
        {"9 (x) S 1 2 3 1025", 0, 0}, // cut off: the number may go on
        {"9 (x) S 1 2", 0, 0},
        {"9 (x) S 1 2 3 1a25 0", 0, 0},
        {"9 (x) S  1 2 3 1025 0", 0, 0}, // an empty field
        {"9 (x)S 1 2 3 1025 0", 0, 0},
        {"9 x S 1 2 3 1025 0", 0, 0},
        {"9 (x) S 1 2 3 123456789012 0", 0, 0},
        {"", 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        int64_t got = -77;
        EXPECT_EQ(tty_nr_of_stat(c.text, strlen(c.text), &got), c.found);
        EXPECT_EQ(got, c.found ? c.tty_nr : -77);
    }
    // The length is honoured: no byte past it is read.
    const char line[] = "1 (x) S 1 2 3 1025 0";
    int64_t got = 0;
    EXPECT_EQ(tty_nr_of_stat(line, strlen("1 (x) S 1 2 3 10"), &got), 0);
}

// mox_terminal_console in a child with a new session (no controlling
// terminal) whose standard descriptors are fds[0..2].
child_report console_with(const int fds[3])
{
    child_report r{};
    if (!run_child(
            [&] {
                child_report c{};
                (void) setsid();
                for (int i = 0; i < 3; i++)
                    (void) dup2(fds[i], i);
                c.result = mox_terminal_console();
                c.err = errno;
                c.result = c.result < 0 ? -c.err : c.result;
                c.err = mox_connect_defaults(&c.rec);
                c.ev.clicks = getpid();
                return c;
            },
            &r))
        r.result = 9999;
    return r;
}

TEST(LibTerminal, NoVirtualConsoleIsENOTTY)
{
    int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    ASSERT_GE(null_fd, 0);
    int pfd[2];
    ASSERT_EQ(pipe2(pfd, O_CLOEXEC), 0);
    char tmpl[] = "/tmp/mox-lib-XXXXXX";
    int file = mkstemp(tmpl);
    ASSERT_GE(file, 0);
    unlink(tmpl);
    const int sets[][3] = {{null_fd, null_fd, null_fd}, {pfd[0], pfd[1], file}};
    for (const auto &fds : sets) {
        child_report r = console_with(fds);
        EXPECT_EQ(r.result, -ENOTTY);
        // The defaults are filled all the same, with console 0.
        EXPECT_EQ(r.err, MOX_ERROR);
        EXPECT_EQ(r.rec.vc, 0);
        EXPECT_EQ(r.rec.pid, r.ev.clicks);
        EXPECT_EQ(r.rec.eventMask, MOX_MOVE | MOX_DRAG | MOX_DOWN | MOX_UP);
        EXPECT_EQ(r.rec.defaultMask, MOX_MOVE | MOX_HARD);
        EXPECT_EQ(r.rec.minMod, 0);
        EXPECT_EQ(r.rec.maxMod, 0xFFFF);
    }
    close(null_fd);
    close(pfd[0]);
    close(pfd[1]);
    close(file);
    EXPECT_EQ(mox_connect_defaults(nullptr), MOX_ERROR);
    EXPECT_EQ(errno, EINVAL);
}

TEST(LibTerminal, PseudoTerminalAsControllingTerminalIsNoConsole)
{
    if (!g_ns_ok)
        GTEST_SKIP() << "no private /dev/pts: " << g_ns_why;
    child_report r{};
    ASSERT_TRUE(run_child(
        [] {
            child_report c{};
            c.result = 9999;
            int null_fd = open("/dev/null", O_RDWR);
            int master = posix_openpt(O_RDWR | O_NOCTTY);
            if (null_fd < 0 || master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
                setsid() < 0)
                return c;
            const char *name = ptsname(master);
            int slave = name != nullptr ? open(name, O_RDWR) : -1; // becomes the ctty
            if (slave < 0)
                return c;
            for (int i = 0; i < 3; i++)
                (void) dup2(null_fd, i);
            struct stat st;
            c.ev.clicks = fstat(slave, &st) == 0 ? static_cast<int32_t>(major(st.st_rdev)) : 0;
            c.result = mox_terminal_console();
            c.err = errno;
            return c;
        },
        &r));
    EXPECT_NE(r.ev.clicks, 4) << "the pty should not have the consoles' major";
    EXPECT_EQ(r.result, MOX_ERROR);
    EXPECT_EQ(r.err, ENOTTY);
}

// Nodes of the consoles' major made in the private /dev and opened with
// O_PATH: their device number is seen, yet the console driver is never
// entered (O_PATH neither opens the device nor lets anything write to it).
TEST(LibTerminal, VirtualConsoleOnAStandardDescriptor)
{
    if (!g_ns_ok)
        GTEST_SKIP() << "no private /dev: " << g_ns_why;
    if (!devns_real_root())
        GTEST_SKIP() << "device nodes need real root";
    struct Node {
        const char *path;
        unsigned minor;
    } nodes[] = {{"/dev/tty3", 3},
                 {"/dev/tty7", 7},
                 {"/dev/tty63", 63},
                 {"/dev/tty0", 0},
                 {"/dev/ttyS0", 64}};
    int fd[5];
    for (int i = 0; i < 5; i++) {
        (void) unlink(nodes[i].path);
        ASSERT_EQ(mknod(nodes[i].path, S_IFCHR | 0600, makedev(4, nodes[i].minor)), 0)
            << strerror(errno);
        fd[i] = open(nodes[i].path, O_PATH | O_CLOEXEC);
        ASSERT_GE(fd[i], 0) << strerror(errno);
    }
    int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    ASSERT_GE(null_fd, 0);
    const int tty3 = fd[0], tty7 = fd[1], tty63 = fd[2], tty0 = fd[3], ttyS0 = fd[4];
    struct Case {
        const char *name;
        int fds[3];
        int vc;
    } cases[] = {
        {"stdin", {tty7, null_fd, null_fd}, 7},
        {"stdout", {null_fd, tty63, null_fd}, 63},
        {"stderr", {null_fd, null_fd, tty3}, 3},
        {"stdin first", {tty3, tty7, tty63}, 3},
        {"tty0 passed over", {tty0, null_fd, tty7}, 7},
        {"serial line passed over", {ttyS0, tty3, null_fd}, 3},
        {"none", {tty0, ttyS0, null_fd}, -ENOTTY},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        child_report r = console_with(c.fds);
        EXPECT_EQ(r.result, c.vc);
        EXPECT_EQ(r.rec.vc, c.vc > 0 ? c.vc : 0);
        EXPECT_EQ(r.err, c.vc > 0 ? MOX_OK : MOX_ERROR);
    }
    for (int f : fd)
        close(f);
    close(null_fd);
    for (const Node &n : nodes)
        unlink(n.path);
}

// ---- against the server ---------------------------------------------------

class Lib : public ::testing::Test
{
  protected:
    int lfd = -1;
    std::deque<mox_connection> conns; // stable addresses

    void SetUp() override
    {
        if (!g_ns_ok)
            GTEST_SKIP() << "no private /dev: " << g_ns_why;
        fake_host_reset();
        lfd = listen_for_clients();
        ASSERT_GE(lfd, 0);
    }
    void TearDown() override
    {
        drop_all_clients();
        for (mox_connection &c : conns)
            if (c.fd >= 0)
                mox_close(&c);
        if (lfd >= 0)
            close(lfd);
    }

    // Runs mox_query(like, code) in a child process while this process
    // serves; meanwhile() runs in the loop until it returns true.
    child_report query_served(const Mox_Connect &like, int32_t code, int timeout_ms,
                              const std::function<bool()> &meanwhile, bool answer = true)
    {
        child_report r{};
        r.result = 9999;
        int pfd[2];
        if (pipe2(pfd, O_CLOEXEC) != 0)
            return r;
        pid_t child = fork();
        if (child == 0) {
            child_report k{};
            k.result = mox_query(nullptr, &like, code, &k.ev, timeout_ms);
            k.err = errno;
            _exit(write(pfd[1], &k, sizeof k) == sizeof k ? 0 : 1);
        }
        close(pfd[1]);
        bool done = false;
        serve_until(
            [&] {
                done = meanwhile() && readable(pfd[0], 0);
                return done;
            },
            answer);
        if (done && read(pfd[0], &r, sizeof r) != sizeof r)
            r.result = 9998;
        close(pfd[0]);
        waitpid(child, nullptr, 0);
        return r;
    }

    // Opens a connection with r through the library and lets the server
    // accept it; returns the server's record (null when refused).
    client_info *attach(const Mox_Connect &r, mox_connection **conn, int flags = 0)
    {
        conns.emplace_back();
        *conn = &conns.back();
        EXPECT_EQ(mox_open(*conn, &r, nullptr, flags), MOX_OK) << strerror(errno);
        return accept_client_connection(lfd);
    }

    // The server's main loop: accepts programs and handles what they send
    // (unless answer is false), until done() holds or the wait ends.
    void serve_until(const std::function<bool()> &done, bool answer = true)
    {
        const long long deadline = now_ms() + 5 * PEER_WAIT_MS;
        while (!done() && now_ms() < deadline) {
            std::vector<pollfd> fds{{lfd, POLLIN, 0}};
            std::vector<std::pair<client_info *, int>> who;
            for (int vc = 0; vc <= LAST_VC; vc++) {
                for (client_info *ci = cinfo[vc]; ci != nullptr; ci = ci->next) {
                    fds.push_back({ci->fd, POLLIN, 0});
                    who.emplace_back(ci, vc);
                }
            }
            if (poll(fds.data(), fds.size(), 20) <= 0)
                continue;
            if (fds[0].revents != 0)
                (void) accept_client_connection(lfd);
            for (size_t i = 0; i < who.size() && answer; i++) {
                if (fds[i + 1].revents == 0)
                    continue;
                int r = process_client_request(who[i].first, who[i].second, 11, 12, 1, 2, 1);
                if (r == -1)
                    close(who[i].first->fd);
                if (r != 1)
                    remove_client(who[i].first, who[i].second);
            }
        }
    }
};

Mox_Connect rec(uint16_t ev, uint16_t def, uint16_t min, uint16_t max, int32_t pid, int32_t vc)
{
    return make_record(ev, def, min, max, pid, vc);
}

TEST_F(Lib, AdmitsTheDefaultRecord)
{
    Mox_Connect r;
    memset(&r, 0xAD, sizeof r);
    int res = mox_connect_defaults(&r); // the test's own terminal decides vc
    ASSERT_TRUE(res == MOX_OK || (res == MOX_ERROR && errno == ENOTTY)) << strerror(errno);
    ASSERT_TRUE(r.vc >= 0 && r.vc <= 63);
    mox_connection *c = nullptr;
    client_info *ci = attach(r, &c);
    ASSERT_NE(ci, nullptr);
    EXPECT_EQ(cinfo[r.vc], ci);
    EXPECT_EQ(memcmp(&ci->data, &r, sizeof r), 0);
    EXPECT_EQ(ci->data.pid, getpid());
    EXPECT_EQ(fcntl(c->fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    EXPECT_EQ(fcntl(c->fd, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(c->held, 0u);
    EXPECT_EQ(fake_host.reports.back().text, "Pid " + std::to_string(getpid()) + ", vc " +
                                                 std::to_string(r.vc) +
                                                 ", ev 0F, def 101, minm 00, maxm FFFF");
}

TEST_F(Lib, AdmitsExplicitRecords)
{
    const Mox_Connect recs[] = {
        rec(MOX_MOVE, 0, 0, 0xFF, 100, 0),
        rec(MOX_DOWN | MOX_UP, MOX_HARD | MOX_UP, 0x04, 0x0F, 101, 5),
        rec(0x7FF, 0x7FF, 0xFFFF, 0, -3, 64),
    };
    for (const Mox_Connect &r : recs) {
        SCOPED_TRACE("vc " + std::to_string(r.vc));
        mox_connection *c = nullptr;
        client_info *ci = attach(r, &c, MOX_NONBLOCK);
        ASSERT_NE(ci, nullptr);
        EXPECT_EQ(cinfo[r.vc], ci);
        EXPECT_EQ(memcmp(&ci->data, &r, sizeof r), 0);
        EXPECT_EQ(fcntl(c->fd, F_GETFL) & O_NONBLOCK, O_NONBLOCK);
        EXPECT_EQ(pending(ci->fd), 0) << "more than the first record was sent";
    }
}

TEST_F(Lib, OpensAtAGivenPathAndWithoutAFirstRecord)
{
    const char *path = "/dev/other-moxctl";
    int other = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(other, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, path);
    (void) unlink(path);
    ASSERT_EQ(bind(other, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0) << strerror(errno);
    ASSERT_EQ(listen(other, 5), 0);

    mox_connection c = conn_on(-1);
    const Mox_Connect r = rec(MOX_MOVE, 0, 0, 0xFF, 42, 9);
    ASSERT_EQ(mox_open(&c, &r, path, 0), MOX_OK) << strerror(errno);
    int s = accept4(other, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(s, 0);
    Mox_Connect got;
    ASSERT_TRUE(readable(s, PEER_WAIT_MS));
    ASSERT_EQ(read(s, &got, sizeof got), 16);
    EXPECT_EQ(memcmp(&got, &r, sizeof r), 0);
    EXPECT_EQ(mox_close(&c), MOX_OK);
    close(s);

    // No record: the connection only, the first record sent by the caller.
    ASSERT_EQ(mox_open(&c, nullptr, path, 0), MOX_OK) << strerror(errno);
    s = accept4(other, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(s, 0);
    EXPECT_FALSE(readable(s, 50)) << "something was sent";
    ASSERT_EQ(mox_send(&c, &r), MOX_OK);
    ASSERT_TRUE(readable(s, PEER_WAIT_MS));
    EXPECT_EQ(read(s, &got, sizeof got), 16);
    EXPECT_EQ(memcmp(&got, &r, sizeof r), 0);
    mox_close(&c);
    close(s);
    close(other);
    unlink(path);
}

TEST_F(Lib, OpenFailuresLeaveNoDescriptor)
{
    const std::string too_long(sizeof(sockaddr_un::sun_path), 'x');
    int plain = open("/dev/plain-file", O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
    ASSERT_GE(plain, 0);
    close(plain);
    const Mox_Connect r = rec(MOX_MOVE, 0, 0, 0xFF, 1, 1);
    struct Case {
        const char *name;
        const char *path;
        int flags;
        int err;
    } cases[] = {
        {"unknown flag", nullptr, 2, EINVAL},
        {"path too long", too_long.c_str(), 0, ENAMETOOLONG},
        {"empty path", "", 0, ENOENT},
        {"nothing there", "/dev/nothing", 0, ENOENT},
        {"nothing there, non-blocking", "/dev/nothing", MOX_NONBLOCK, ENOENT},
        {"no socket there", "/dev/plain-file", 0, ECONNREFUSED},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        mox_connection conn = conn_on(12345);
        errno = 0;
        EXPECT_EQ(mox_open(&conn, &r, c.path, c.flags), MOX_ERROR);
        EXPECT_EQ(errno, c.err) << strerror(errno);
        EXPECT_EQ(conn.fd, -1);
    }
    EXPECT_EQ(mox_open(nullptr, &r, nullptr, 0), MOX_ERROR);
    EXPECT_EQ(errno, EINVAL);
    unlink("/dev/plain-file");
    EXPECT_FALSE(readable(lfd, 0)) << "a failed open reached the server";
}

TEST_F(Lib, RefusedProgramSeesTheStreamEnd)
{
    mox_connection *c = nullptr;
    EXPECT_EQ(attach(rec(MOX_MOVE, 0, 0, 0xFF, 1, 65), &c), nullptr);
    Mox_Event ev;
    EXPECT_EQ(mox_read_event(c, &ev), MOX_END);

    // Refused with a request still unread: the kernel says reset instead.
    mox_connection *d = nullptr;
    conns.emplace_back();
    d = &conns.back();
    const Mox_Connect r = rec(MOX_MOVE, 0, 0, 0xFF, 1, -1);
    ASSERT_EQ(mox_open(d, &r, nullptr, 0), MOX_OK);
    ASSERT_EQ(mox_request(d, REQ_BUTTON_COUNT), MOX_OK);
    EXPECT_EQ(accept_client_connection(lfd), nullptr);
    EXPECT_EQ(mox_wait_event(d, &ev, PEER_WAIT_MS), MOX_ERROR);
    EXPECT_EQ(errno, ECONNRESET);
}

TEST_F(Lib, EventsArriveWholeInOrderAndOneAtATime)
{
    mox_connection *c = nullptr;
    client_info *ci = attach(rec(MOX_MOVE | MOX_DOWN, 0, 0, 0xFF, 1, 3), &c, MOX_NONBLOCK);
    ASSERT_NE(ci, nullptr);
    Mox_Event sent[] = {make_event(MOX_MOVE, 10, 0), make_event(MOX_DOWN | MOX_SINGLE, 11, 1),
                        make_event(MOX_MOVE, -12, 2)};
    for (Mox_Event &ev : sent)
        ASSERT_EQ(do_client(cinfo[3], &ev), 1);
    for (size_t i = 0; i < 3; i++) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(readable(c->fd, PEER_WAIT_MS));
        Mox_Event got;
        ASSERT_EQ(mox_read_event(c, &got), MOX_OK);
        EXPECT_EQ(memcmp(&got, &sent[i], sizeof got), 0);
        // The next records stay in the socket, where poll sees them.
        EXPECT_EQ(pending(c->fd), static_cast<ssize_t>((2 - i) * sizeof(Mox_Event)));
    }
    Mox_Event canary;
    memset(&canary, 0xAD, sizeof canary);
    Mox_Event ev = canary;
    EXPECT_EQ(mox_read_event(c, &ev), MOX_AGAIN);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(memcmp(&ev, &canary, sizeof ev), 0);
}

// A relay between a program and the server at path, which passes the
// server's bytes on in pieces of the given sizes (taken in turn), each only
// once the program has read the one before. It ends when either side does.
pid_t spawn_relay(const char *path, const std::vector<size_t> &pieces)
{
    int l = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, path);
    (void) unlink(path);
    if (l < 0 || bind(l, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        listen(l, 1) != 0)
        return -1;
    pid_t child = fork();
    if (child != 0) {
        close(l);
        return child;
    }
    int prog = accept4(l, nullptr, nullptr, SOCK_CLOEXEC);
    int srv = connect_control();
    size_t next = 0;
    for (;;) {
        pollfd p[2] = {{prog, POLLIN, 0}, {srv, POLLIN, 0}};
        if (poll(p, 2, 5 * PEER_WAIT_MS) <= 0)
            _exit(1);
        char buf[256];
        for (int side = 0; side < 2; side++) {
            if (p[side].revents == 0)
                continue;
            ssize_t n = read(p[side].fd, buf, sizeof buf);
            if (n <= 0)
                _exit(0);
            if (side == 0) {
                (void) !write(srv, buf, static_cast<size_t>(n));
                continue;
            }
            for (size_t at = 0; at < static_cast<size_t>(n);) {
                size_t len = std::min(pieces[next++ % pieces.size()], n - at);
                if (write(prog, buf + at, len) != static_cast<ssize_t>(len) || !wait_taken(prog))
                    _exit(2);
                at += len;
            }
        }
    }
}

// The server's events reach the program in pieces that straddle records.
TEST_F(Lib, ServerEventsInPiecesReadWhole)
{
    const char *relay = "/dev/relay-moxctl";
    for (int flags : {0, MOX_NONBLOCK}) {
        SCOPED_TRACE(flags ? "non-blocking" : "blocking");
        pid_t child = spawn_relay(relay, {1, 13, 9, 7});
        ASSERT_GT(child, 0);
        conns.emplace_back();
        mox_connection *c = &conns.back();
        const Mox_Connect r = rec(MOX_MOVE, 0, 0, 0xFF, 1, 8);
        ASSERT_EQ(mox_open(c, &r, relay, flags), MOX_OK) << strerror(errno);
        client_info *ci = accept_client_connection(lfd);
        ASSERT_NE(ci, nullptr);
        Mox_Event evs[3] = {make_event(MOX_MOVE, 1, 1), make_event(MOX_MOVE, 2, 2),
                            make_event(MOX_MOVE, 3, 3)};
        int again = 0;
        for (Mox_Event &ev : evs) {
            ASSERT_EQ(do_client(cinfo[8], &ev), 1);
            Mox_Event got;
            int res;
            while ((res = mox_read_event(c, &got)) == MOX_AGAIN && readable(c->fd, PEER_WAIT_MS))
                again++;
            ASSERT_EQ(res, MOX_OK) << strerror(errno);
            EXPECT_EQ(memcmp(&got, &ev, sizeof ev), 0);
        }
        EXPECT_EQ(again > 0, flags != 0) << again;
        mox_close(c);
        int status = -1;
        waitpid(child, &status, 0);
        EXPECT_EQ(status, 0);
        close(ci->fd);
        remove_client(ci, 8);
    }
    unlink(relay);
}

// ---- pieces, interrupted reads, ends and errors on raw socketpairs -------

TEST(LibRead, EveryPieceOfARecordIsKeptUntilTheRestComes)
{
    const Mox_Event ev = make_event(MOX_DRAG, 300, 7);
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(&ev);
    for (size_t cut = 1; cut < sizeof ev; cut++) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        sockpair sp;
        ASSERT_GE(sp.lib, 0);
        set_nonblock(sp.lib);
        mox_connection c = conn_on(sp.lib);
        Mox_Event got;
        ASSERT_EQ(write(sp.peer, bytes, cut), static_cast<ssize_t>(cut));
        EXPECT_EQ(mox_read_event(&c, &got), MOX_AGAIN);
        EXPECT_EQ(errno, EAGAIN);
        EXPECT_EQ(c.held, cut);
        // A third piece in between, where there is room for one.
        size_t mid = cut + (sizeof ev - cut) / 2;
        if (mid > cut) {
            ASSERT_EQ(write(sp.peer, bytes + cut, mid - cut), static_cast<ssize_t>(mid - cut));
            EXPECT_EQ(mox_read_event(&c, &got), MOX_AGAIN);
            EXPECT_EQ(c.held, mid);
        }
        ASSERT_EQ(write(sp.peer, bytes + mid, sizeof ev - mid),
                  static_cast<ssize_t>(sizeof ev - mid));
        ASSERT_EQ(mox_read_event(&c, &got), MOX_OK);
        EXPECT_EQ(memcmp(&got, &ev, sizeof ev), 0);
        EXPECT_EQ(c.held, 0u);
    }
}

TEST(LibRead, RecordsAndAHalfInOneWrite)
{
    sockpair sp;
    set_nonblock(sp.lib);
    Mox_Event evs[4] = {make_event(MOX_MOVE, 1, 1), make_event(MOX_UP, 2, 2),
                        make_event(MOX_DOWN, 3, 3), make_event(MOX_DRAG, 4, 4)};
    const size_t first = 2 * sizeof(Mox_Event) + 14;
    ASSERT_EQ(write(sp.peer, evs, first), static_cast<ssize_t>(first));
    mox_connection c = conn_on(sp.lib);
    Mox_Event got;
    for (int i = 0; i < 2; i++) {
        ASSERT_EQ(mox_read_event(&c, &got), MOX_OK);
        EXPECT_EQ(memcmp(&got, &evs[i], sizeof got), 0);
    }
    EXPECT_EQ(mox_read_event(&c, &got), MOX_AGAIN);
    // The rest of the third record and all of the fourth in one write: the
    // wait takes the rest only, and the fourth stays in the socket.
    const size_t rest = sizeof evs - first;
    ASSERT_EQ(write(sp.peer, reinterpret_cast<char *>(evs) + first, rest),
              static_cast<ssize_t>(rest));
    ASSERT_EQ(mox_wait_event(&c, &got, PEER_WAIT_MS), MOX_OK);
    EXPECT_EQ(memcmp(&got, &evs[2], sizeof got), 0);
    EXPECT_EQ(pending(sp.lib), static_cast<ssize_t>(sizeof(Mox_Event)));
    ASSERT_EQ(mox_read_event(&c, &got), MOX_OK);
    EXPECT_EQ(memcmp(&got, &evs[3], sizeof got), 0);
}

TEST(LibRead, BlockingReadWaitsForTheRest)
{
    const Mox_Event ev = make_event(MOX_MOVE | MOX_DRAG, -1, 99);
    for (size_t cut : {1u, 14u, 27u}) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        sockpair sp;
        pid_t writer = fork();
        ASSERT_GE(writer, 0);
        if (writer == 0) {
            const char *bytes = reinterpret_cast<const char *>(&ev);
            if (write(sp.peer, bytes, cut) != static_cast<ssize_t>(cut))
                _exit(1);
            // The rest only once the reader has taken the first piece.
            if (!wait_taken(sp.peer))
                _exit(2);
            _exit(write(sp.peer, bytes + cut, sizeof ev - cut) ==
                          static_cast<ssize_t>(sizeof ev - cut)
                      ? 0
                      : 3);
        }
        mox_connection c = conn_on(sp.lib);
        g_reads_of_fd = sp.lib;
        g_read_calls = 0;
        Mox_Event got;
        EXPECT_EQ(mox_read_event(&c, &got), MOX_OK);
        g_reads_of_fd = -1;
        EXPECT_EQ(memcmp(&got, &ev, sizeof ev), 0);
        EXPECT_GE(g_read_calls, 2) << "the record did not come in pieces";
        int status = -1;
        waitpid(writer, &status, 0);
        EXPECT_EQ(status, 0);
    }
}

TEST(LibRead, InterruptedReadsAndPollsAreRetried)
{
    sockpair sp;
    const Mox_Event ev = make_event(MOX_UP, 5, 6);
    ASSERT_EQ(write(sp.peer, &ev, sizeof ev), 28);
    mox_connection c = conn_on(sp.lib);
    Mox_Event got;
    g_eintr_read_fd = sp.lib;
    g_eintr_reads = 3;
    EXPECT_EQ(mox_read_event(&c, &got), MOX_OK);
    EXPECT_EQ(g_eintr_reads, 0);
    EXPECT_EQ(memcmp(&got, &ev, sizeof ev), 0);

    ASSERT_EQ(write(sp.peer, &ev, sizeof ev), 28);
    g_eintr_reads = 2;
    g_eintr_poll_fd = sp.lib;
    g_eintr_polls = 2;
    EXPECT_EQ(mox_wait_event(&c, &got, PEER_WAIT_MS), MOX_OK);
    EXPECT_EQ(g_eintr_polls, 0);
    EXPECT_EQ(g_eintr_reads, 0);
    EXPECT_EQ(memcmp(&got, &ev, sizeof ev), 0);
    g_eintr_read_fd = g_eintr_poll_fd = -1;
}

int g_alarm_fd = -1;
const Mox_Event *g_alarm_rest = nullptr;
volatile sig_atomic_t g_alarms = 0;

void finish_record_on_alarm(int)
{
    g_alarms = g_alarms + 1;
    (void) !write(g_alarm_fd, reinterpret_cast<const char *>(g_alarm_rest) + 10, 18);
}

TEST(LibRead, RealSignalDuringABlockingRead)
{
    sockpair sp;
    const Mox_Event ev = make_event(MOX_DOWN, 8, 9);
    ASSERT_EQ(write(sp.peer, &ev, 10), 10);
    g_alarm_fd = sp.peer;
    g_alarm_rest = &ev;
    g_alarms = 0;
    struct sigaction sa = {}, old = {};
    sa.sa_handler = finish_record_on_alarm;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0; // no SA_RESTART: the blocked read ends with EINTR
    ASSERT_EQ(sigaction(SIGALRM, &sa, &old), 0);
    struct itimerval t = {};
    t.it_value.tv_usec = 50000;
    ASSERT_EQ(setitimer(ITIMER_REAL, &t, nullptr), 0);
    mox_connection c = conn_on(sp.lib);
    Mox_Event got;
    EXPECT_EQ(mox_read_event(&c, &got), MOX_OK);
    EXPECT_EQ(g_alarms, 1);
    EXPECT_EQ(memcmp(&got, &ev, sizeof ev), 0);
    sigaction(SIGALRM, &old, nullptr);
}

TEST(LibRead, EndOfStreamNoRecordYetAndErrorsApart)
{
    Mox_Event canary;
    memset(&canary, 0xAD, sizeof canary);
    Mox_Event got = canary;
    {
        sockpair sp; // closed at once, blocking
        close(sp.peer);
        sp.peer = -1;
        mox_connection c = conn_on(sp.lib);
        EXPECT_EQ(mox_read_event(&c, &got), MOX_END);
        EXPECT_EQ(mox_wait_event(&c, &got, PEER_WAIT_MS), MOX_END);
    }
    {
        sockpair sp; // closed inside a record, non-blocking
        set_nonblock(sp.lib);
        mox_connection c = conn_on(sp.lib);
        EXPECT_EQ(mox_read_event(&c, &got), MOX_AGAIN);
        EXPECT_EQ(errno, EAGAIN);
        ASSERT_EQ(write(sp.peer, &canary, 10), 10);
        close(sp.peer);
        sp.peer = -1;
        errno = 0;
        EXPECT_EQ(mox_read_event(&c, &got), MOX_ERROR);
        EXPECT_EQ(errno, EPROTO);
        EXPECT_EQ(c.held, 0u);
        EXPECT_EQ(mox_read_event(&c, &got), MOX_END);
    }
    {
        sockpair sp; // no record within the wait
        mox_connection c = conn_on(sp.lib);
        ASSERT_EQ(write(sp.peer, &canary, 5), 5);
        EXPECT_EQ(mox_wait_event(&c, &got, 30), MOX_AGAIN);
        EXPECT_EQ(errno, ETIMEDOUT);
        EXPECT_EQ(c.held, 5u);
        EXPECT_EQ(mox_wait_event(&c, &got, 0), MOX_AGAIN);
    }
    // A descriptor that cannot be read: the system's error comes through.
    int dir = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(dir, 0);
    mox_connection c = conn_on(dir);
    EXPECT_EQ(mox_read_event(&c, &got), MOX_ERROR);
    EXPECT_EQ(errno, EISDIR);
    close(dir);
    c = conn_on(-1);
    EXPECT_EQ(mox_read_event(&c, &got), MOX_ERROR);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(mox_wait_event(&c, &got, 0), MOX_ERROR);
    EXPECT_EQ(errno, EBADF);
    c = conn_on(0);
    c.held = 28; // a damaged record
    EXPECT_EQ(mox_read_event(&c, &got), MOX_ERROR);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(mox_read_event(nullptr, &got), MOX_ERROR);
    EXPECT_EQ(errno, EINVAL);
    c = conn_on(0);
    EXPECT_EQ(mox_read_event(&c, nullptr), MOX_ERROR);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(memcmp(&got, &canary, sizeof got), 0) << "a failed read wrote the event";
}

// ---- requests, answers, replacement ---------------------------------------

TEST_F(Lib, RequestsAndTheirAnswers)
{
    fake_host.console_vc = 6;
    fake_host.modifiers = 0x02;
    console.max_x = 132;
    console.max_y = 43;
    mox_connection *c = nullptr;
    client_info *ci = attach(rec(0, 0, 0, 0xFF, 77, 6), &c);
    ASSERT_NE(ci, nullptr);
    const Mox_Connect before = ci->data;

    ASSERT_EQ(mox_request(c, REQ_STATE), MOX_OK);
    ASSERT_EQ(process_client_request(ci, 6, 40, 12, 0x04, 2, 1), 1);
    Mox_Event ans;
    ASSERT_EQ(mox_wait_event(c, &ans, PEER_WAIT_MS), MOX_OK);
    EXPECT_EQ(ans.vc, 6);
    EXPECT_EQ(ans.modifiers, 0x02);
    EXPECT_EQ(ans.x, 40);
    EXPECT_EQ(ans.y, 12);
    EXPECT_EQ(ans.buttons, 0x04);
    EXPECT_EQ(ans.clicks, 2);
    EXPECT_EQ(ans.dx, 132);
    EXPECT_EQ(ans.dy, 43);
    EXPECT_EQ(ans.type, 3u);

    ASSERT_EQ(mox_request(c, REQ_BUTTON_COUNT), MOX_OK);
    ASSERT_EQ(process_client_request(ci, 6, 0, 0, 0, 0, 0), 1);
    ASSERT_EQ(mox_wait_event(c, &ans, PEER_WAIT_MS), MOX_OK);
    EXPECT_EQ(ans.type, 2u);

    for (int32_t code : {static_cast<int32_t>(REQ_NO_PASTE), 2}) {
        SCOPED_TRACE(code);
        ASSERT_EQ(mox_request(c, code), MOX_OK);
        ASSERT_EQ(process_client_request(ci, 6, 0, 0, 0, 0, 1), 1);
        EXPECT_EQ(mox_wait_event(c, &ans, 50), MOX_AGAIN) << "answered";
    }
    EXPECT_EQ(fake_host.paste_disabled, 1);
    EXPECT_EQ(memcmp(&ci->data, &before, sizeof before), 0) << "a request replaced the record";
}

TEST_F(Lib, ReplacementRecord)
{
    mox_connection *c = nullptr;
    client_info *ci = attach(rec(MOX_MOVE, 0, 0, 0xFF, 5, 2), &c);
    ASSERT_NE(ci, nullptr);
    const Mox_Connect r = rec(MOX_DOWN, MOX_HARD | MOX_DOWN, 0x01, 0x0F, 6, 9);
    ASSERT_EQ(mox_replace(c, &r), MOX_OK);
    ASSERT_EQ(process_client_request(ci, 2, 0, 0, 0, 0, 1), 1);
    EXPECT_EQ(memcmp(&ci->data, &r, sizeof r), 0);
    EXPECT_EQ(cinfo[2], ci);

    // pid 0 would be read as a request: refused, and nothing goes out.
    Mox_Connect req_like = r;
    req_like.pid = 0;
    EXPECT_EQ(mox_replace(c, &req_like), MOX_ERROR);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(mox_replace(c, nullptr), MOX_ERROR);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(mox_send(c, nullptr), MOX_ERROR);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(pending(ci->fd), 0);
}

// A query asks on a connection of its own: the program's events keep going
// to its event connection meanwhile, and the answer is never among them.
TEST_F(Lib, QueryOnAConnectionOfItsOwn)
{
    console.max_x = 100;
    mox_connection *c = nullptr;
    client_info *ci = attach(rec(MOX_MOVE | MOX_DRAG, 0, 0, 0xFF, getpid(), 4), &c);
    ASSERT_NE(ci, nullptr);
    const Mox_Connect like = rec(MOX_MOVE, 0, 0, 0xFF, getpid(), 4);

    for (int32_t code : {REQ_STATE, REQ_BUTTON_COUNT, REQ_NO_PASTE}) {
        SCOPED_TRACE(code);
        // While the query's connection is on top of stack 4, a drag (which
        // looks like an answer) still goes to the program's own connection.
        bool routed = false;
        child_report r = query_served(like, code, 5 * PEER_WAIT_MS, [&] {
            if (!routed && cinfo[4] != ci) {
                Mox_Event drag = make_event(MOX_DRAG, 1, 1);
                EXPECT_EQ(do_client(cinfo[4], &drag), 1);
                routed = true;
            }
            return cinfo[4] == ci; // the query's connection has gone
        });
        EXPECT_EQ(r.result, MOX_OK) << strerror(r.err);
        EXPECT_TRUE(routed);
        if (code == REQ_STATE) {
            EXPECT_EQ(r.ev.dx, 100);
            EXPECT_EQ(r.ev.x, 11);
            EXPECT_EQ(r.ev.clicks, 2);
        }
        if (code != REQ_NO_PASTE) {
            EXPECT_EQ(r.ev.type, 3u);
        }
        Mox_Event got;
        ASSERT_EQ(mox_wait_event(c, &got, PEER_WAIT_MS), MOX_OK);
        EXPECT_EQ(got.type, static_cast<uint32_t>(MOX_DRAG));
        EXPECT_EQ(got.wdx, 0x1234) << "the answer went to the event connection";
        EXPECT_FALSE(readable(c->fd, 0));
    }
    EXPECT_EQ(fake_host.paste_disabled, 1);
    EXPECT_EQ(cinfo[4], ci);
    EXPECT_EQ(ci->next, nullptr) << "a query connection stayed";
}

TEST_F(Lib, QueryRefusedUnansweredOrMisused)
{
    const auto always = [] { return true; };
    child_report r = query_served(rec(0, 0, 0, 0, 1, 65), REQ_STATE, 5 * PEER_WAIT_MS, always);
    EXPECT_EQ(r.result, MOX_END) << strerror(r.err);

    r = query_served(rec(0, 0, 0, 0, 1, 1), REQ_BUTTON_COUNT, 100, always, false);
    EXPECT_EQ(r.result, MOX_AGAIN);
    EXPECT_EQ(r.err, ETIMEDOUT);

    Mox_Event ev;
    const Mox_Connect like = rec(0, 0, 0, 0, 1, 1);
    EXPECT_EQ(mox_query(nullptr, nullptr, REQ_STATE, &ev, 0), MOX_ERROR);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(mox_query(nullptr, &like, REQ_STATE, nullptr, 0), MOX_ERROR);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(mox_query("/dev/nothing", &like, REQ_NO_PASTE, nullptr, 0), MOX_ERROR);
    EXPECT_EQ(errno, ENOENT);
}

// ---- a server whose queue of connections is full --------------------------

// A listener that never accepts, its queue filled (Linux queues backlog + 1).
// Calls that promise not to wait, or to wait a bounded time, must still come
// back, with their own answer; each runs in a child, so a hang fails.
TEST(LibOpen, FullServerQueueKeepsEveryPromise)
{
    char dir[] = "/tmp/mox-full-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr) << strerror(errno);
    const std::string path = std::string(dir) + "/moxctl";
    const Mox_Connect r = make_record(MOX_MOVE, 0, 0, 0xFF, 3, 1);
    // A query for code with timeout_ms; timeout_ms -2 stands for a
    // non-blocking open, whose result counts only when it left no descriptor.
    const struct Case {
        int timeout_ms;
        int32_t code;
    } cases[] = {{-2, 0}, {300, REQ_STATE}, {0, REQ_BUTTON_COUNT}, {300, REQ_NO_PASTE}};
    for (int backlog : {0, 1}) {
        SCOPED_TRACE("backlog " + std::to_string(backlog));
        struct sockaddr_un a = {};
        a.sun_family = AF_UNIX;
        strcpy(a.sun_path, path.c_str());
        const auto *sa = reinterpret_cast<const struct sockaddr *>(&a);
        int l = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_EQ(bind(l, sa, sizeof a), 0) << strerror(errno);
        ASSERT_EQ(listen(l, backlog), 0) << strerror(errno);
        std::vector<int> queued;
        while (queued.size() < 64) {
            int s = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (connect(s, sa, sizeof a) != 0) {
                EXPECT_EQ(errno, EAGAIN) << strerror(errno);
                close(s);
                break;
            }
            queued.push_back(s);
        }
        EXPECT_EQ(queued.size(), static_cast<size_t>(backlog + 1));
        for (const Case &c : cases) {
            SCOPED_TRACE("timeout " + std::to_string(c.timeout_ms));
            const bool open = c.timeout_ms == -2;
            child_report got = {};
            ASSERT_TRUE(run_child(
                [&] {
                    child_report out = {};
                    mox_connection m = conn_on(12345);
                    out.result = open ? mox_open(&m, &r, path.c_str(), MOX_NONBLOCK)
                                      : mox_query(path.c_str(), &r, c.code, &out.ev, c.timeout_ms);
                    out.err = open && m.fd != -1 ? EBADFD : errno;
                    return out;
                },
                &got))
                << "the call was still waiting";
            EXPECT_EQ(got.result, open ? MOX_ERROR : MOX_AGAIN);
            EXPECT_EQ(got.err, open ? EAGAIN : ETIMEDOUT) << strerror(got.err);
        }
        // One accepted makes room: a non-blocking open goes through at once.
        int taken = accept(l, nullptr, nullptr);
        mox_connection c;
        EXPECT_EQ(mox_open(&c, &r, path.c_str(), MOX_NONBLOCK), MOX_OK) << strerror(errno);
        for (int fd : queued)
            close(fd);
        close(taken);
        mox_close(&c);
        close(l);
        unlink(path.c_str());
    }
    rmdir(dir);
}

// ---- sending ----------------------------------------------------------------

TEST(LibSend, DeadServerGivesEPIPENotSIGPIPE)
{
    signal(SIGPIPE, SIG_DFL);
    sockpair sp;
    close(sp.peer);
    sp.peer = -1;
    mox_connection c = conn_on(sp.lib);
    const Mox_Connect r = make_record(MOX_MOVE, 0, 0, 0xFF, 3, 1);
    EXPECT_EQ(mox_send(&c, &r), MOX_ERROR);
    EXPECT_EQ(errno, EPIPE);
    EXPECT_EQ(mox_replace(&c, &r), MOX_ERROR);
    EXPECT_EQ(errno, EPIPE);
    EXPECT_EQ(mox_request(&c, REQ_STATE), MOX_ERROR);
    EXPECT_EQ(errno, EPIPE);
}

TEST(LibSend, FullSocketTakesWholeRecordsOnly)
{
    sockpair sp;
    int small = 1; // the kernel rounds it up to its least buffer
    ASSERT_EQ(setsockopt(sp.lib, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    set_nonblock(sp.lib);
    mox_connection c = conn_on(sp.lib);
    int32_t sent = 0;
    int r = MOX_OK;
    while (sent < 100000 && (r = mox_request(&c, sent)) == MOX_OK)
        sent++;
    ASSERT_EQ(r, MOX_ERROR) << "the socket never filled";
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_GT(sent, 0);
    // Every record the server can read is whole, in order, and there are
    // exactly as many as were reported sent.
    set_nonblock(sp.peer);
    int32_t got = 0;
    Mox_Connect rec_in;
    ssize_t n;
    while ((n = read(sp.peer, &rec_in, sizeof rec_in)) == 16) {
        EXPECT_EQ(rec_in.pid, 0);
        ASSERT_EQ(rec_in.vc, got);
        got++;
    }
    EXPECT_EQ(n, -1) << "a record was cut";
    EXPECT_EQ(got, sent);
    EXPECT_EQ(mox_request(&c, REQ_STATE), MOX_OK) << "room again once read";
}

TEST(LibSend, ShortSendIsCompletedOrEndsTheStream)
{
    const Mox_Connect r = make_record(MOX_DOWN, MOX_UP, 1, 2, 33, 4);
    {
        sockpair sp;
        mox_connection c = conn_on(sp.lib);
        g_short_send_fd = sp.lib;
        g_short_send_bytes = 5;
        g_short_send_then_errno = 0;
        EXPECT_EQ(mox_send(&c, &r), MOX_OK);
        g_short_send_fd = -1;
        Mox_Connect got;
        ASSERT_EQ(read(sp.peer, &got, sizeof got), 16);
        EXPECT_EQ(memcmp(&got, &r, sizeof r), 0);
    }
    {
        // The rest cannot follow: the server must see the stream end after
        // the broken record rather than later records out of step.
        sockpair sp;
        mox_connection c = conn_on(sp.lib);
        g_short_send_fd = sp.lib;
        g_short_send_bytes = 5;
        g_short_send_then_errno = ENOBUFS;
        EXPECT_EQ(mox_send(&c, &r), MOX_ERROR);
        EXPECT_EQ(errno, ENOBUFS);
        g_short_send_fd = -1;
        char buf[32];
        EXPECT_EQ(read(sp.peer, buf, sizeof buf), 5);
        EXPECT_EQ(read(sp.peer, buf, sizeof buf), 0);
    }
}

// ---- a program that is not root ----------------------------------------------

TEST_F(Lib, UnprivilegedProgramIsAdmittedByConsoleOwnership)
{
    if (!devns_real_root())
        GTEST_SKIP() << "not real root: cannot switch a child to uid 65534";
    for (int owner : {1, 0}) {
        SCOPED_TRACE("is_console_owner answers " + std::to_string(owner));
        fake_host_reset();
        fake_host.owner_answer = owner;
        int pfd[2], ready[2];
        ASSERT_EQ(pipe2(pfd, O_CLOEXEC), 0);
        ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            child_report k{};
            if (setgroups(0, nullptr) != 0 || setgid(NOBODY) != 0 || setuid(NOBODY) != 0)
                _exit(2);
            mox_connection conn;
            Mox_Connect r = make_record(MOX_MOVE, 0, 0, 0xFF, getpid(), 7);
            k.result = mox_open(&conn, &r, nullptr, 0);
            (void) !write(ready[1], "x", 1);
            if (k.result == MOX_OK)
                k.result = mox_wait_event(&conn, &k.ev, 5 * PEER_WAIT_MS);
            k.err = errno;
            _exit(write(pfd[1], &k, sizeof k) == sizeof k ? 0 : 1);
        }
        close(pfd[1]);
        close(ready[1]);
        ASSERT_TRUE(readable(ready[0], PEER_WAIT_MS)) << "the program did not connect";
        close(ready[0]);
        client_info *ci = accept_client_connection(lfd);
        ASSERT_EQ(fake_host.owner_calls.size(), 1u);
        EXPECT_EQ(fake_host.owner_calls[0].first, 7);
        EXPECT_EQ(fake_host.owner_calls[0].second, NOBODY);
        Mox_Event ev = make_event(MOX_MOVE, 21, 0);
        if (owner) {
            ASSERT_NE(ci, nullptr);
            EXPECT_EQ(do_client(cinfo[7], &ev), 1);
        } else {
            EXPECT_EQ(ci, nullptr);
        }
        child_report k{};
        ASSERT_TRUE(readable(pfd[0], 10 * PEER_WAIT_MS));
        ASSERT_EQ(read(pfd[0], &k, sizeof k), static_cast<ssize_t>(sizeof k));
        close(pfd[0]);
        int status = -1;
        waitpid(child, &status, 0);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(k.result, owner ? MOX_OK : MOX_END) << strerror(k.err);
        if (owner) {
            EXPECT_EQ(memcmp(&k.ev, &ev, sizeof ev), 0);
        }
    }
}

// ---- closing ------------------------------------------------------------------

TEST_F(Lib, CloseEndsTheConnectionOnce)
{
    mox_connection *c = nullptr;
    client_info *ci = attach(rec(MOX_MOVE, 0, 0, 0xFF, 1, 1), &c);
    ASSERT_NE(ci, nullptr);
    c->held = 3;
    EXPECT_EQ(mox_close(c), MOX_OK);
    EXPECT_EQ(c->fd, -1);
    EXPECT_EQ(c->held, 0u);
    ASSERT_TRUE(readable(ci->fd, PEER_WAIT_MS));
    EXPECT_EQ(process_client_request(ci, 1, 0, 0, 0, 0, 1), 0);
    EXPECT_EQ(fake_host.reports.back().text, "Closing");
    remove_client(ci, 1);

    EXPECT_EQ(mox_close(c), MOX_ERROR);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(mox_close(nullptr), MOX_ERROR);
    EXPECT_EQ(errno, EINVAL);
    Mox_Event ev;
    EXPECT_EQ(mox_read_event(c, &ev), MOX_ERROR);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(mox_request(c, REQ_STATE), MOX_ERROR);
    EXPECT_EQ(errno, EBADF);
}

} // namespace

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    g_ns_ok = devns_enter(&g_ns_why);
    return RUN_ALL_TESTS();
}
