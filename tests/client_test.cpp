// Tests of the client-connection module over real Unix sockets, with real
// connecting processes, inside a private /dev (so /dev/moxctl is ours).

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "client.h"
#include "client_table.h"
#include "console.h"
#include "devns.h"
#include "fake_host.h"
#include "wire.h"
#include "moxInt.h"

// Every kill the module makes goes through here while kill_log_on is set,
// then on to the kernel: the order of resize signals is then exact.
static bool kill_log_on = false;
static std::vector<std::pair<pid_t, int>> kill_log;

extern "C" int kill(pid_t pid, int sig) noexcept
{
    if (kill_log_on)
        kill_log.emplace_back(pid, sig);
    return static_cast<int>(syscall(SYS_kill, pid, sig));
}

// Failures the kernel or the allocator rarely give on demand: the binary is
// linked with --wrap for these calls, and a test switches a failure on for
// the one call it makes into the module. Only allocations of the size of a
// client record fail: the test's own bookkeeping (the fake host's report log)
// must still get memory, also where the C++ library's allocations are
// wrapped too (static links).
static size_t fail_alloc_size = 0;
static int fail_getsockopt_errno = 0;

extern "C" {
void *__real_malloc(size_t size);
void *__real_calloc(size_t count, size_t size);
int __real_getsockopt(int fd, int level, int name, void *value, socklen_t *len);
void *__wrap_malloc(size_t size);
void *__wrap_calloc(size_t count, size_t size);
int __wrap_getsockopt(int fd, int level, int name, void *value, socklen_t *len);
}

void *__wrap_malloc(size_t size)
{
    return fail_alloc_size != 0 && size == fail_alloc_size ? nullptr : __real_malloc(size);
}

void *__wrap_calloc(size_t count, size_t size)
{
    bool fail = fail_alloc_size != 0 && count * size == fail_alloc_size;
    return fail ? nullptr : __real_calloc(count, size);
}

int __wrap_getsockopt(int fd, int level, int name, void *value, socklen_t *len)
{
    if (fail_getsockopt_errno != 0 && level == SOL_SOCKET && name == SO_PEERCRED) {
        errno = fail_getsockopt_errno;
        return -1;
    }
    return __real_getsockopt(fd, level, name, value, len);
}

namespace
{

bool g_ns_ok = false;
std::string g_ns_why;

constexpr int PEER_WAIT_MS = 2000; // bound on every wait for a peer's bytes

Mox_Connect rec(uint16_t ev, uint16_t def, uint16_t min, uint16_t max, int32_t pid, int32_t vc)
{
    return make_record(ev, def, min, max, pid, vc);
}

Mox_Connect attach(int vc, int32_t pid = 4242)
{
    return rec(MOX_MOVE, 0, 0, 0xFF, pid, vc);
}

Mox_Connect request(int32_t code)
{
    return rec(0, 0, 0, 0, 0, code);
}

// Number of bytes waiting on fd without blocking (0 when none).
ssize_t pending(int fd)
{
    char buf[256];
    ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT | MSG_PEEK);
    return n < 0 ? 0 : n;
}

// True when the peer of fd has closed: end of stream within the wait.
bool peer_closed(int fd)
{
    char c;
    return readable(fd, PEER_WAIT_MS) && read(fd, &c, 1) == 0;
}

bool fd_open(int fd)
{
    return fcntl(fd, F_GETFD) != -1;
}

std::vector<std::string> texts()
{
    std::vector<std::string> out;
    for (const FakeReport &r : fake_host.reports)
        out.push_back(std::to_string(r.severity) + " " + r.text);
    return out;
}

class Client : public ::testing::Test
{
  protected:
    int lfd = -1;
    std::vector<int> peers;

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
        for (int p : peers)
            close(p);
        if (lfd >= 0)
            close(lfd);
    }

    // Connects (as this process, root), sends the record and accepts it.
    // *peer gets the client's end of the connection.
    client_info *admit(const Mox_Connect &r, int *peer = nullptr)
    {
        int s = connect_control();
        EXPECT_GE(s, 0) << strerror(errno);
        peers.push_back(s);
        EXPECT_EQ(write(s, &r, sizeof r), static_cast<ssize_t>(sizeof r));
        if (peer != nullptr)
            *peer = s;
        return accept_client_connection(lfd);
    }
};

// ---- the control socket -------------------------------------------------

TEST_F(Client, SocketIsStreamAtItsPathOpenToAllAndReplacesStaleFile)
{
    close(lfd);
    // A plain file left behind at the path, as by a crashed server.
    ASSERT_EQ(unlink(CONTROL_SOCKET_PATH), 0);
    int stale = open(CONTROL_SOCKET_PATH, O_CREAT | O_WRONLY | O_TRUNC, 0600);
    ASSERT_GE(stale, 0) << strerror(errno);
    close(stale);

    lfd = listen_for_clients();
    ASSERT_GE(lfd, 0);
    struct stat st;
    ASSERT_EQ(stat(CONTROL_SOCKET_PATH, &st), 0) << strerror(errno);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0777u);

    int type = 0, listening = 0;
    socklen_t len = sizeof type;
    ASSERT_EQ(getsockopt(lfd, SOL_SOCKET, SO_TYPE, &type, &len), 0);
    EXPECT_EQ(type, SOCK_STREAM);
    len = sizeof listening;
    ASSERT_EQ(getsockopt(lfd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len), 0);
    EXPECT_EQ(listening, 1);

    sockaddr_un addr{};
    len = sizeof addr;
    ASSERT_EQ(getsockname(lfd, reinterpret_cast<sockaddr *>(&addr), &len), 0);
    EXPECT_STREQ(addr.sun_path, "/dev/moxctl");

    // The socket of an earlier run is replaced too: clients reach the new one.
    int old = lfd;
    lfd = listen_for_clients();
    ASSERT_GE(lfd, 0);
    close(old);
    int s = connect_control();
    ASSERT_GE(s, 0) << strerror(errno);
    peers.push_back(s);
    EXPECT_TRUE(readable(lfd, PEER_WAIT_MS));
    EXPECT_TRUE(fake_host.reports.empty());
}

// ---- admission ----------------------------------------------------------

TEST_F(Client, RootIsAdmittedWithoutOwnerCheckAndReported)
{
    fake_host.owner_answer = 0; // would refuse anyone it is asked about
    Mox_Connect r = rec(0x0F, 0x110, 0x01, 0xFF, 1234, 3);
    client_info *ci = admit(r);
    ASSERT_NE(ci, nullptr);
    EXPECT_EQ(cinfo[3], ci);
    EXPECT_EQ(ci->next, nullptr);
    EXPECT_EQ(memcmp(&ci->data, &r, sizeof r), 0);
    EXPECT_TRUE(fd_open(ci->fd));
    EXPECT_EQ(fcntl(ci->fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    EXPECT_TRUE(fake_host.owner_calls.empty());

    std::vector<std::string> want = {
        "3 Connecting at fd " + std::to_string(ci->fd),
        "2 peer socket uid = 0",
        "2 Pid 1234, vc 3, ev 0F, def 110, minm 01, maxm FF",
    };
    EXPECT_EQ(texts(), want);
    for (const FakeReport &rep : fake_host.reports)
        EXPECT_EQ(rep.file, "client.cpp");
}

TEST_F(Client, ConsoleRangeDecidesBeforeCredentials)
{
    struct Case {
        int32_t vc;
        bool admitted;
        const char *refusal; // report after the connection line, or null
    } cases[] = {
        {0, true, nullptr},
        {64, true, nullptr},
        {65, false, "5 Request on vc 65 > 64"},
        {INT_MAX, false, "5 Request on vc 2147483647 > 64"},
        {-1, false, nullptr},
        {INT_MIN, false, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("vc " + std::to_string(c.vc));
        fake_host_reset();
        int peer = -1;
        client_info *ci = admit(attach(c.vc), &peer);
        if (c.admitted) {
            ASSERT_NE(ci, nullptr);
            EXPECT_EQ(cinfo[c.vc], ci);
            continue;
        }
        EXPECT_EQ(ci, nullptr);
        EXPECT_TRUE(peer_closed(peer)) << "refused socket left open";
        ASSERT_FALSE(fake_host.reports.empty());
        EXPECT_EQ(fake_host.reports.size(), c.refusal ? 2u : 1u);
        if (c.refusal) {
            EXPECT_EQ(texts()[1], c.refusal);
        }
    }
    for (int vc = 1; vc < LAST_VC; vc++)
        EXPECT_EQ(cinfo[vc], nullptr);
}

TEST_F(Client, ShortOrMissingFirstRecordIsRefusedSilently)
{
    // 10 bytes of a record, then the client waits.
    int s = connect_control();
    ASSERT_GE(s, 0);
    peers.push_back(s);
    Mox_Connect r = attach(1);
    ASSERT_EQ(write(s, &r, 10), 10);
    EXPECT_EQ(accept_client_connection(lfd), nullptr);
    EXPECT_TRUE(peer_closed(s));
    ASSERT_EQ(fake_host.reports.size(), 1u);
    EXPECT_EQ(fake_host.reports[0].text.rfind("Connecting at fd ", 0), 0u);

    // Connected and closed again before sending anything.
    fake_host_reset();
    s = connect_control();
    ASSERT_GE(s, 0);
    close(s);
    EXPECT_EQ(accept_client_connection(lfd), nullptr);
    EXPECT_EQ(fake_host.reports.size(), 1u);
    // Nothing was read, so nothing may be linked, on any console (an unfilled
    // record would name console 0).
    for (int vc = 0; vc <= LAST_VC; vc++)
        EXPECT_EQ(cinfo[vc], nullptr) << "vc " << vc;
}

TEST_F(Client, FailedAcceptIsReportedAndYieldsNone)
{
    // A descriptor that is no socket, then a socket that is not listening.
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    struct Case {
        int fd;
        int err;
    } cases[] = {{-1, EBADF}, {sv[0], EINVAL}};
    for (const Case &c : cases) {
        SCOPED_TRACE("fd " + std::to_string(c.fd));
        fake_host_reset();
        EXPECT_EQ(accept_client_connection(c.fd), nullptr);
        EXPECT_EQ(texts(),
                  std::vector<std::string>{std::string("4 accept() failed: ") + strerror(c.err)});
    }
    close(sv[0]);
    close(sv[1]);
    for (int vc = 0; vc <= LAST_VC; vc++)
        EXPECT_EQ(cinfo[vc], nullptr) << "vc " << vc;
}

TEST_F(Client, NoSocketOrNoBindIsFatal)
{
    // No descriptor left for the socket.
    EXPECT_EXIT(
        {
            rlimit none;
            none.rlim_cur = none.rlim_max = 0;
            (void) setrlimit(RLIMIT_NOFILE, &none);
            (void) listen_for_clients();
            _exit(0);
        },
        ::testing::ExitedWithCode(FAKE_HOST_FATAL_EXIT), "fatal: client.cpp: socket\\(\\)");

    // A non-empty directory at the path: it cannot be unlinked nor bound over.
    close(lfd);
    lfd = -1;
    (void) unlink(CONTROL_SOCKET_PATH); // the child above already removed it
    ASSERT_EQ(mkdir(CONTROL_SOCKET_PATH, 0755), 0) << strerror(errno);
    const std::string inner = std::string(CONTROL_SOCKET_PATH) + "/x";
    int f = open(inner.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(f, 0) << strerror(errno);
    close(f);
    EXPECT_EXIT((void) listen_for_clients(), ::testing::ExitedWithCode(FAKE_HOST_FATAL_EXIT),
                "fatal: client.cpp: Problem binding /dev/moxctl");
    ASSERT_EQ(unlink(inner.c_str()), 0);
    ASSERT_EQ(rmdir(CONTROL_SOCKET_PATH), 0);
}

TEST_F(Client, NoMemoryForANewClientIsFatal)
{
    int s = connect_control();
    ASSERT_GE(s, 0);
    peers.push_back(s);
    const Mox_Connect r = attach(1);
    ASSERT_EQ(write(s, &r, sizeof r), static_cast<ssize_t>(sizeof r));
    EXPECT_EXIT(
        {
            fail_alloc_size = sizeof(client_info);
            (void) accept_client_connection(lfd);
            fail_alloc_size = 0;
            _exit(0);
        },
        ::testing::ExitedWithCode(FAKE_HOST_FATAL_EXIT),
        "fatal: client.cpp: I couln't get any memory! I die! :\\(");
}

TEST_F(Client, FailedPeerCredentialsRefuseTheClient)
{
    int s = connect_control();
    ASSERT_GE(s, 0);
    peers.push_back(s);
    const Mox_Connect r = attach(2);
    ASSERT_EQ(write(s, &r, sizeof r), static_cast<ssize_t>(sizeof r));
    fail_getsockopt_errno = ENOPROTOOPT;
    client_info *ci = accept_client_connection(lfd);
    fail_getsockopt_errno = 0;
    EXPECT_EQ(ci, nullptr);
    EXPECT_EQ(cinfo[2], nullptr);
    ASSERT_EQ(fake_host.reports.size(), 2u);
    EXPECT_EQ(fake_host.reports[1].severity, 4);
    EXPECT_EQ(fake_host.reports[1].text,
              std::string("getsockopt(SO_PEERCRED): ") + strerror(ENOPROTOOPT));
    EXPECT_TRUE(peer_closed(s));
}

TEST_F(Client, SilentClientCannotHoldTheServer)
{
    int s = connect_control();
    ASSERT_GE(s, 0);
    peers.push_back(s);
    // A watchdog, not a speed check: without a bound the accept never ends.
    EXPECT_EXIT(
        {
            alarm(5);
            _exit(accept_client_connection(lfd) == nullptr ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_TRUE(peer_closed(s)); // the copy accepted and refused it

    // The same in this process: refused, closed, nothing but the connection line.
    int s2 = connect_control();
    ASSERT_GE(s2, 0);
    peers.push_back(s2);
    EXPECT_EQ(accept_client_connection(lfd), nullptr);
    EXPECT_TRUE(peer_closed(s2));
    EXPECT_EQ(fake_host.reports.size(), 1u);
}

// The module's documented bound on one wait for a first record.
constexpr int FIRST_RECORD_WAIT_MS = 75;

// A client connects and a child writes its first record delay_ms later,
// while the module is accepting it. *took_ms: how long the accept took.
client_info *accept_late_record(int lfd, int delay_ms, std::vector<int> *peers, long *took_ms)
{
    int s = connect_control();
    EXPECT_GE(s, 0);
    peers->push_back(s);
    pid_t child = fork();
    EXPECT_GE(child, 0);
    if (child == 0) {
        (void) poll(nullptr, 0, delay_ms); // the delay under test
        Mox_Connect r = attach(6);
        _exit(write(s, &r, sizeof r) == sizeof r ? 0 : 1);
    }
    timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    client_info *ci = accept_client_connection(lfd);
    clock_gettime(CLOCK_MONOTONIC, &t1);
    *took_ms = (t1.tv_sec - t0.tv_sec) * 1000L + (t1.tv_nsec - t0.tv_nsec) / 1000000L;
    int status = 0;
    waitpid(child, &status, 0);
    return ci;
}

TEST_F(Client, ClientSendingShortlyAfterConnectIsAdmitted)
{
    long took = 0;
    client_info *ci = accept_late_record(lfd, 50, &peers, &took);
    ASSERT_NE(ci, nullptr);
    EXPECT_EQ(cinfo[6], ci);
}

// A record that comes long after the bound finds the connection refused:
// the accept gave up before the record was written.
TEST_F(Client, ClientSendingAfterTheWaitIsRefusedBeforeItsRecordComes)
{
    constexpr int LATE_MS = 300;
    long took = 0;
    client_info *ci = accept_late_record(lfd, LATE_MS, &peers, &took);
    EXPECT_EQ(ci, nullptr);
    EXPECT_EQ(cinfo[6], nullptr);
    EXPECT_LT(took, LATE_MS - 50) << "the wait outlasted the bound";
    EXPECT_TRUE(peer_closed(peers.back()));
}

// Silent clients one after another: only the first gets a whole wait, the
// rest share what the module allows itself over time.
TEST_F(Client, SilentClientsShareOneAllowanceOfWaiting)
{
    constexpr int SILENT = 10;
    long total = 0;
    for (int i = 0; i < SILENT; i++) {
        int s = connect_control();
        ASSERT_GE(s, 0);
        peers.push_back(s);
        timespec t0, t1;
        clock_gettime(CLOCK_MONOTONIC, &t0);
        EXPECT_EQ(accept_client_connection(lfd), nullptr);
        clock_gettime(CLOCK_MONOTONIC, &t1);
        total += (t1.tv_sec - t0.tv_sec) * 1000L + (t1.tv_nsec - t0.tv_nsec) / 1000000L;
        EXPECT_TRUE(peer_closed(s));
    }
    printf("%d silent clients in a row held the accepts for %ld ms in all\n", SILENT, total);
    EXPECT_LT(total, 3 * FIRST_RECORD_WAIT_MS);
}

// A child that becomes uid/gid 65534, connects and sends its record, then
// waits for the server to drop the connection. Returns its pid.
pid_t spawn_unprivileged(const Mox_Connect &r, int ready_pipe)
{
    pid_t child = fork();
    if (child != 0)
        return child;
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
        _exit(2);
    int s = connect_control();
    if (s < 0)
        _exit(3);
    if (write(s, &r, sizeof r) != sizeof r)
        _exit(4);
    char c = 1;
    (void) write(ready_pipe, &c, 1);
    (void) readable(s, 5000);
    _exit(0);
}

TEST_F(Client, NonRootPeerNeedsToOwnTheConsole)
{
    if (!devns_real_root())
        GTEST_SKIP() << "not real root: cannot switch a child to uid 65534";
    for (int answer : {0, 1}) {
        SCOPED_TRACE("is_console_owner answers " + std::to_string(answer));
        fake_host_reset();
        fake_host.owner_answer = answer;
        int pfd[2];
        ASSERT_EQ(pipe(pfd), 0);
        pid_t child = spawn_unprivileged(attach(7, 777), pfd[1]);
        ASSERT_GT(child, 0);
        close(pfd[1]);
        ASSERT_TRUE(readable(pfd[0], PEER_WAIT_MS)) << "child did not connect";
        close(pfd[0]);

        client_info *ci = accept_client_connection(lfd);
        ASSERT_EQ(fake_host.owner_calls.size(), 1u);
        EXPECT_EQ(fake_host.owner_calls[0].first, 7);
        EXPECT_EQ(fake_host.owner_calls[0].second, 65534u);
        std::vector<std::string> got = texts();
        ASSERT_EQ(got.size(), 3u);
        EXPECT_EQ(got[1], "2 peer socket uid = 65534");
        if (answer == 0) {
            EXPECT_EQ(ci, nullptr);
            EXPECT_EQ(got[2], "5 Failed mox connect attempt by uid 65534 for vc 7");
            EXPECT_EQ(cinfo[7], nullptr);
        } else {
            ASSERT_NE(ci, nullptr);
            EXPECT_EQ(got[2], "2 Pid 777, vc 7, ev 01, def 00, minm 00, maxm FF");
            EXPECT_EQ(cinfo[7], ci);
            close(ci->fd); // lets the child end
            remove_client(ci, 7);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
}

// ---- the stacks ---------------------------------------------------------

TEST_F(Client, StackOrderAndRemoval)
{
    client_info *a = admit(attach(3, 1));
    client_info *b = admit(attach(3, 2));
    client_info *c = admit(attach(3, 3));
    client_info *other = admit(attach(4, 9));
    ASSERT_TRUE(a && b && c && other);
    EXPECT_EQ(cinfo[3], c);
    EXPECT_EQ(c->next, b);
    EXPECT_EQ(b->next, a);
    EXPECT_EQ(a->next, nullptr);

    remove_client(b, 3); // the middle one
    EXPECT_EQ(cinfo[3], c);
    EXPECT_EQ(c->next, a);
    EXPECT_EQ(a->next, nullptr);

    // Wrong stack, out-of-range stacks, empty stack: nothing changes or is freed.
    remove_client(other, 3);
    remove_client(other, 65);
    remove_client(other, -1);
    remove_client(other, INT_MIN);
    remove_client(other, 5);
    EXPECT_EQ(cinfo[4], other);
    EXPECT_EQ(other->data.pid, 9); // still a live record (ASan checks the read)
    EXPECT_EQ(cinfo[3], c);
    EXPECT_EQ(c->next, a);

    remove_client(c, 3); // the top
    EXPECT_EQ(cinfo[3], a);
    EXPECT_EQ(a->next, nullptr);
    EXPECT_TRUE(fd_open(a->fd)); // removal never closes
}

// ---- requests -----------------------------------------------------------

Mox_Event read_event(int fd, bool *ok)
{
    Mox_Event ev;
    memset(&ev, 0xAD, sizeof ev);
    *ok = readable(fd, PEER_WAIT_MS) && read(fd, &ev, sizeof ev) == sizeof ev;
    return ev;
}

bool g_state_requested = false;

// Runs first in this file: the reply event is module state for the whole run.
TEST_F(Client, ButtonCountBeforeAnyStateIsZeroButType)
{
    if (g_state_requested)
        GTEST_SKIP() << "a state reply was already sent in this process";
    int peer = -1;
    client_info *ci = admit(attach(2), &peer);
    ASSERT_NE(ci, nullptr);
    // Three buttons only for exactly 1: any other value is a two-button mouse.
    for (int three : {0, 1, 2, -1, 3, INT_MAX, INT_MIN}) {
        SCOPED_TRACE("three_button_mouse " + std::to_string(three));
        fake_host.reports.clear();
        Mox_Connect q = request(REQ_BUTTON_COUNT);
        ASSERT_EQ(write(peer, &q, sizeof q), 16);
        EXPECT_EQ(process_client_request(ci, 2, 11, 12, 7, 2, three), 1);
        bool ok = false;
        Mox_Event ev = read_event(peer, &ok);
        ASSERT_TRUE(ok);
        unsigned char want[28] = {};
        want[12] = three == 1 ? 3 : 2;
        EXPECT_EQ(memcmp(&ev, want, sizeof want), 0);
        EXPECT_EQ(texts(), std::vector<std::string>{"3 Request on " + std::to_string(ci->fd) +
                                                    " (console 2)"});
    }
    EXPECT_EQ(fake_host.console_state_calls, 0);
}

TEST_F(Client, StateReplyCarriesConsoleSizeAndState)
{
    g_state_requested = true;
    console.max_x = 132;
    console.max_y = 70000; // only the low 16 bits travel
    fake_host.console_vc = 0x10005;
    fake_host.modifiers = 0x0C;
    int peer = -1;
    client_info *ci = admit(attach(5), &peer);
    ASSERT_NE(ci, nullptr);

    Mox_Connect q = request(REQ_STATE);
    ASSERT_EQ(write(peer, &q, sizeof q), 16);
    EXPECT_EQ(process_client_request(ci, 5, 40, 0x12345, 0x1F1, -3, 1), 1);
    bool ok = false;
    Mox_Event ev = read_event(peer, &ok);
    ASSERT_TRUE(ok);
    const unsigned char want[28] = {
        0xF1, 0x0C, 0x05, 0x00,             // buttons, modifiers, vc
        0x84, 0x00, 0x70, 0x11,             // dx = 132, dy = 70000 & 0xFFFF
        0x28, 0x00, 0x45, 0x23,             // x = 40, y = 0x2345
        0x03, 0x00, 0x00, 0x00,             // type: three buttons
        0xFD, 0xFF, 0xFF, 0xFF,             // clicks = -3
        0x00, 0x00, 0x00, 0x00, 0, 0, 0, 0, // margin, wdx, wdy
    };
    EXPECT_EQ(memcmp(&ev, want, sizeof want), 0);
    EXPECT_EQ(fake_host.console_state_calls, 1);

    // A later button-count request keeps the state fields and changes type.
    ASSERT_EQ(write(peer, &(q = request(REQ_BUTTON_COUNT)), 16), 16);
    EXPECT_EQ(process_client_request(ci, 5, 0, 0, 0, 0, 0), 1);
    Mox_Event ev2 = read_event(peer, &ok);
    ASSERT_TRUE(ok);
    unsigned char want2[28];
    memcpy(want2, want, sizeof want2);
    want2[12] = 2;
    EXPECT_EQ(memcmp(&ev2, want2, sizeof want2), 0);
    EXPECT_EQ(fake_host.console_state_calls, 1);
}

TEST_F(Client, NoPasteAndUnlistedCodes)
{
    int peer = -1;
    client_info *ci = admit(attach(4), &peer);
    ASSERT_NE(ci, nullptr);
    const std::string line = "3 Request on " + std::to_string(ci->fd) + " (console 4)";

    fake_host.reports.clear();
    Mox_Connect q = request(REQ_NO_PASTE);
    ASSERT_EQ(write(peer, &q, sizeof q), 16);
    EXPECT_EQ(process_client_request(ci, 4, 0, 0, 0, 0, 1), 1);
    EXPECT_EQ(fake_host.paste_disabled, 1);
    EXPECT_EQ(texts(), (std::vector<std::string>{
                           line, "3 disabling pasting per request from virtual console (4)"}));

    for (int32_t code : {2, 4, -5, INT_MAX}) {
        SCOPED_TRACE(code);
        fake_host.reports.clear();
        q = request(code);
        ASSERT_EQ(write(peer, &q, sizeof q), 16);
        EXPECT_EQ(process_client_request(ci, 4, 0, 0, 0, 0, 1), 1);
        EXPECT_EQ(texts(), std::vector<std::string>{line});
    }
    EXPECT_FALSE(readable(peer, 50)) << "an unanswered request was answered";
    EXPECT_EQ(fake_host.paste_disabled, 1);
    EXPECT_EQ(fake_host.console_state_calls, 0);
    EXPECT_EQ(memcmp(&ci->data, &(q = attach(4)), sizeof q), 0);
}

TEST_F(Client, RecordWithPidReplacesConnectRecordInPlace)
{
    int peer = -1;
    client_info *ci = admit(attach(2), &peer);
    ASSERT_NE(ci, nullptr);
    fake_host.reports.clear();
    Mox_Connect r = rec(MOX_DOWN | MOX_UP, MOX_HARD, 0x04, 0x0F, 555, 9);
    ASSERT_EQ(write(peer, &r, sizeof r), 16);
    EXPECT_EQ(process_client_request(ci, 2, 0, 0, 0, 0, 1), 1);
    EXPECT_EQ(memcmp(&ci->data, &r, sizeof r), 0);
    EXPECT_EQ(cinfo[2], ci);
    EXPECT_EQ(cinfo[9], nullptr);
    EXPECT_TRUE(fake_host.owner_calls.empty());
    EXPECT_EQ(fake_host.reports.size(), 1u);
    EXPECT_FALSE(readable(peer, 20));

    // Any non-zero pid makes a connect record, a negative one too.
    Mox_Connect r2 = rec(MOX_MOVE, 0, 0, 0xFF, -1, 70);
    ASSERT_EQ(write(peer, &r2, sizeof r2), 16);
    EXPECT_EQ(process_client_request(ci, 2, 0, 0, 0, 0, 1), 1);
    EXPECT_EQ(memcmp(&ci->data, &r2, sizeof r2), 0);
    EXPECT_EQ(cinfo[2], ci);
}

TEST_F(Client, RequestOutsideTheTableAndFailedReads)
{
    int peer = -1;
    client_info *ci = admit(attach(8), &peer);
    ASSERT_NE(ci, nullptr);
    Mox_Connect q = request(REQ_STATE);
    ASSERT_EQ(write(peer, &q, sizeof q), 16);

    fake_host.reports.clear();
    EXPECT_EQ(process_client_request(ci, 65, 0, 0, 0, 0, 1), -1);
    EXPECT_EQ(texts(),
              std::vector<std::string>{"3 Request on " + std::to_string(ci->fd) + " (console 65)"});
    EXPECT_EQ(pending(ci->fd), 16) << "the record must stay unread";

    EXPECT_EXIT(process_client_request(ci, -1, 0, 0, 0, 0, 1),
                ::testing::ExitedWithCode(FAKE_HOST_FATAL_EXIT),
                "fatal: client.cpp: Unknown fd selected");

    // Drain it, then send a short record: -1, still linked, socket open.
    g_state_requested = true;
    ASSERT_EQ(process_client_request(ci, 8, 0, 0, 0, 0, 1), 1);
    bool ok = false;
    (void) read_event(peer, &ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(write(peer, &q, 5), 5);
    EXPECT_EQ(process_client_request(ci, 8, 0, 0, 0, 0, 1), -1);
    EXPECT_EQ(cinfo[8], ci);
    EXPECT_TRUE(fd_open(ci->fd));
}

TEST_F(Client, PeerCloseClosesTheSocket)
{
    int peer = -1;
    client_info *ci = admit(attach(1), &peer);
    ASSERT_NE(ci, nullptr);
    int fd = ci->fd;
    close(peer);
    peers.pop_back();
    fake_host.reports.clear();
    EXPECT_EQ(process_client_request(ci, 1, 0, 0, 0, 0, 1), 0);
    EXPECT_FALSE(fd_open(fd));
    EXPECT_EQ(ci->fd, -1) << "the record keeps a closed descriptor";
    EXPECT_EQ(texts(), (std::vector<std::string>{
                           "3 Request on " + std::to_string(fd) + " (console 1)", "3 Closing"}));
    EXPECT_EQ(cinfo[1], ci); // removal is the caller's step

    // A client accepted before the removal may get the same number: the
    // closed record no longer claims it.
    client_info *next = admit(attach(2));
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next->fd, fd);
    EXPECT_EQ(ci->fd, -1);
    remove_client(ci, 1);
    EXPECT_EQ(cinfo[1], nullptr);
    EXPECT_EQ(cinfo[2], next);
}

// ---- routing ------------------------------------------------------------

struct ClientSetup {
    uint16_t ev, def, min, max;
};

struct RouteCase {
    const char *name;
    std::vector<ClientSetup> stack; // top first
    uint32_t type;
    uint8_t mods;
    int result;
    int receiver; // index in stack, or -1
};

TEST(ClientRouting, OneClientDecides)
{
    constexpr uint16_t ALL = 0xFFFF;
    const RouteCase cases[] = {
        {"wanted kind delivered", {{MOX_MOVE, 0, 0, 0xFF}}, MOX_MOVE, 0, 1, 0},
        {"minMod held", {{MOX_MOVE, 0, 0x04, 0xFF}}, MOX_MOVE, 0x05, 1, 0},
        {"minMod partly held passes over", {{MOX_MOVE, 0, 0x06, 0xFF}}, MOX_MOVE, 0x04, 0, -1},
        {"minMod missing passes over", {{MOX_MOVE, 0, 0x04, 0xFF}}, MOX_MOVE, 0x01, 0, -1},
        {"modifier outside maxMod", {{MOX_MOVE, 0, 0, 0x01}}, MOX_MOVE, 0x03, 0, -1},
        {"minMod above bit 7 never fits", {{ALL, 0, 0x100, ALL}}, MOX_MOVE, 0xFF, 0, -1},
        {"stopped undelivered", {{0, 0, 0, 0xFF}, {MOX_MOVE, 0, 0, 0xFF}}, MOX_MOVE, 0, 1, -1},
        {"handed on to the client below",
         {{MOX_DOWN, MOX_MOVE, 0, 0xFF}, {MOX_MOVE, 0, 0, 0xFF}},
         MOX_MOVE,
         0,
         1,
         1},
        {"passed over by modifiers",
         {{MOX_MOVE, 0, 0x02, 0xFF}, {MOX_MOVE, 0, 0, 0xFF}},
         MOX_MOVE,
         0,
         1,
         1},
        {"hard: delivered, default still applies",
         {{MOX_MOVE, MOX_MOVE | MOX_HARD, 0, 0xFF}},
         MOX_MOVE,
         0,
         0,
         0},
        {"hard without the kind in defaultMask",
         {{MOX_MOVE, MOX_HARD | MOX_DOWN, 0, 0xFF}},
         MOX_MOVE,
         0,
         1,
         0},
        {"kind in defaultMask without hard", {{MOX_MOVE, MOX_MOVE, 0, 0xFF}}, MOX_MOVE, 0, 1, 0},
        {"single alone reaches nobody", {{ALL, 0, 0, 0xFF}}, MOX_SINGLE, 0, 1, -1},
        {"single alone, in defaultMask",
         {{ALL, MOX_SINGLE, 0, 0xFF}, {ALL, MOX_SINGLE, 0, 0xFF}},
         MOX_SINGLE,
         0,
         0,
         -1},
        {"click bits ride along", {{MOX_UP, 0, 0, 0xFF}}, MOX_UP | MOX_DOUBLE, 0, 1, 0},
        {"enter routed", {{MOX_ENTER, 0, 0, 0xFF}}, MOX_ENTER, 0, 1, 0},
        {"leave routed", {{MOX_LEAVE, 0, 0, 0xFF}}, MOX_LEAVE, 0, 1, 0},
        {"mflag not routed", {{MOX_MFLAG, MOX_MFLAG, 0, 0xFF}}, MOX_MFLAG, 0, 0, -1},
        {"empty-handed stack falls off",
         {{0, MOX_DRAG, 0, 0xFF}, {0, MOX_DRAG, 0, 0xFF}},
         MOX_DRAG,
         0,
         0,
         -1},
    };
    for (const RouteCase &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<int> peer_fds;
        std::vector<client_info> nodes(c.stack.size());
        for (size_t i = 0; i < c.stack.size(); i++) {
            int sv[2];
            ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
            const ClientSetup &s = c.stack[i];
            nodes[i].data = rec(s.ev, s.def, s.min, s.max, 100 + static_cast<int>(i), 0);
            nodes[i].fd = sv[0];
            nodes[i].next = i + 1 < c.stack.size() ? &nodes[i + 1] : nullptr;
            peer_fds.push_back(sv[1]);
        }
        Mox_Event ev{};
        ev.type = c.type;
        ev.modifiers = c.mods;
        ev.x = 17;
        ev.clicks = 2;
        ev.margin = MOX_TOP;
        EXPECT_EQ(do_client(&nodes[0], &ev), c.result);
        for (size_t i = 0; i < nodes.size(); i++) {
            SCOPED_TRACE("client " + std::to_string(i));
            if (static_cast<int>(i) == c.receiver) {
                Mox_Event got;
                ASSERT_EQ(recv(peer_fds[i], &got, sizeof got, MSG_DONTWAIT), 28);
                EXPECT_EQ(memcmp(&got, &ev, sizeof ev), 0);
            }
            EXPECT_EQ(pending(peer_fds[i]), 0);
            close(peer_fds[i]);
            close(nodes[i].fd);
        }
    }
}

TEST(ClientRouting, DeadPeerDoesNotEndTheServer)
{
    signal(SIGPIPE, SIG_DFL);
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    client_info ci{};
    ci.data = rec(MOX_MOVE, 0, 0, 0xFF, 1, 0);
    ci.fd = sv[0];
    // A request left behind by a client that then went away: its answer
    // goes to a closed peer.
    Mox_Connect q = request(REQ_BUTTON_COUNT);
    ASSERT_EQ(write(sv[1], &q, sizeof q), 16);
    close(sv[1]);
    fake_host_reset();
    EXPECT_EQ(process_client_request(&ci, 0, 0, 0, 0, 0, 1), 1);
    Mox_Event ev{};
    ev.type = MOX_MOVE;
    EXPECT_EQ(do_client(&ci, &ev), 1);
    EXPECT_EQ(do_client(&ci, &ev), 1);
    close(sv[0]);
}

TEST(ClientRouting, NonReadingPeerLosesWholeRecordsOnly)
{
    int slow[2], fast[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, slow), 0);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fast), 0);
    client_info idle{}, reader{};
    idle.data = rec(MOX_MOVE, 0, 0, 0xFF, 1, 0);
    idle.fd = slow[0];
    reader.data = idle.data;
    reader.fd = fast[0];

    // Watchdog: a blocking write would hang here for good.
    alarm(10);
    constexpr int32_t SENT = 5000; // far more than a socket buffer holds
    for (int32_t i = 0; i < SENT; i++) {
        Mox_Event ev{};
        ev.type = MOX_MOVE;
        ev.clicks = i;
        ev.x = static_cast<int16_t>(i);
        ev.y = static_cast<int16_t>(~i);
        ev.wdx = static_cast<int16_t>(i * 7);
        ASSERT_EQ(do_client(&idle, &ev), 1);
        if (i % 1000 == 0) {
            // Another console's client still gets its events meanwhile.
            ASSERT_EQ(do_client(&reader, &ev), 1);
            Mox_Event got;
            ASSERT_EQ(recv(fast[1], &got, sizeof got, MSG_DONTWAIT), 28) << i;
            EXPECT_EQ(got.clicks, i);
        }
    }
    alarm(0);

    // The idle client sees only whole records, each intact, in order.
    std::vector<char> bytes;
    char buf[4096];
    ssize_t n;
    while ((n = recv(slow[1], buf, sizeof buf, MSG_DONTWAIT)) > 0)
        bytes.insert(bytes.end(), buf, buf + n);
    ASSERT_EQ(bytes.size() % sizeof(Mox_Event), 0u);
    size_t count = bytes.size() / sizeof(Mox_Event);
    EXPECT_GT(count, 0u);
    EXPECT_LT(count, static_cast<size_t>(SENT)) << "the buffer never filled";
    int32_t last = -1;
    for (size_t k = 0; k < count; k++) {
        Mox_Event ev;
        memcpy(&ev, &bytes[k * sizeof ev], sizeof ev);
        ASSERT_GT(ev.clicks, last);
        ASSERT_EQ(ev.x, static_cast<int16_t>(ev.clicks));
        ASSERT_EQ(ev.y, static_cast<int16_t>(~ev.clicks));
        ASSERT_EQ(ev.wdx, static_cast<int16_t>(ev.clicks * 7));
        last = ev.clicks;
    }
    // Once read, the idle client receives again.
    Mox_Event ev{};
    ev.type = MOX_MOVE;
    ev.clicks = SENT;
    EXPECT_EQ(do_client(&idle, &ev), 1);
    EXPECT_EQ(pending(slow[1]), 28);
    for (int fd : {slow[0], slow[1], fast[0], fast[1]})
        close(fd);
}

// ---- resize -------------------------------------------------------------

volatile sig_atomic_t g_own_winch = 0;

void count_own_winch(int)
{
    g_own_winch = g_own_winch + 1;
}

// A child that waits for SIGWINCH and then writes its tag to out.
pid_t spawn_winch_child(char tag, int out)
{
    pid_t child = fork();
    if (child != 0)
        return child;
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGWINCH);
    timespec limit = {5, 0};
    if (sigtimedwait(&set, nullptr, &limit) == SIGWINCH)
        (void) write(out, &tag, 1);
    _exit(0);
}

TEST_F(Client, ResizeSignalsEveryClientProcessInTableOrder)
{
    struct sigaction sa = {}, old = {};
    sa.sa_handler = count_own_winch;
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(sigaction(SIGWINCH, &sa, &old), 0);
    // Children inherit the blocked signal, so none can be lost before it waits.
    sigset_t block, saved;
    sigemptyset(&block);
    sigaddset(&block, SIGWINCH);
    sigprocmask(SIG_BLOCK, &block, &saved);
    int pfd[2];
    ASSERT_EQ(pipe(pfd), 0);
    pid_t a = spawn_winch_child('a', pfd[1]);
    pid_t b = spawn_winch_child('b', pfd[1]);
    pid_t c = spawn_winch_child('c', pfd[1]);
    pid_t d = spawn_winch_child('d', pfd[1]);
    sigprocmask(SIG_SETMASK, &saved, nullptr);
    close(pfd[1]);

    ASSERT_NE(admit(attach(5, b)), nullptr);
    ASSERT_NE(admit(attach(5, c)), nullptr); // above b
    ASSERT_NE(admit(attach(64, d)), nullptr);
    ASSERT_NE(admit(attach(1, a)), nullptr);
    ASSERT_NE(admit(attach(0, 0)), nullptr);  // pid 0: this process group
    ASSERT_NE(admit(attach(2, -1)), nullptr); // pid -1: every process

    kill_log.clear();
    kill_log_on = true;
    notify_clients_resize();
    kill_log_on = false;
    std::vector<std::pair<pid_t, int>> want = {
        {a, SIGWINCH}, {c, SIGWINCH}, {b, SIGWINCH}, {d, SIGWINCH}};
    EXPECT_EQ(kill_log, want);

    std::string tags;
    char buf[8];
    while (tags.size() < 4 && readable(pfd[0], PEER_WAIT_MS)) {
        ssize_t n = read(pfd[0], buf, sizeof buf);
        if (n <= 0)
            break;
        tags.append(buf, static_cast<size_t>(n));
    }
    std::sort(tags.begin(), tags.end());
    EXPECT_EQ(tags, "abcd");
    for (pid_t p : {a, b, c, d})
        waitpid(p, nullptr, 0);
    close(pfd[0]);
    EXPECT_EQ(g_own_winch, 0) << "a pid <= 0 was signalled";
    sigaction(SIGWINCH, &old, nullptr);
}

} // namespace

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    g_ns_ok = devns_enter(&g_ns_why);
    return devns_exit_status(RUN_ALL_TESTS(), g_ns_ok, g_ns_why);
}
