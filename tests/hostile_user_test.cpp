// The client module against a hostile local user, over the real control
// socket in a private /dev. The user is uid 65534 in a child process: it
// floods the socket with connections that never speak, names other users'
// processes for the resize signal, and opens clients until it holds more
// than its share; the server also runs out of descriptors with clients
// queued. Each attack prints what it measured. Cases that need a second
// user skip without real root.

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "client.h"
#include "client_table.h"
#include "devns.h"
#include "fake_host.h"
#include "moxInt.h"
#include "procs.h"
#include "wire.h"

// How the module signals is counted here; the signals then go on to the
// kernel (every pid signalled in these tests is a process of this test).
// pidfd_open can be made to fail as on a kernel that lacks it. (The C
// library's pidfd header declares these without C linkage in C++, so it is
// not included.)
extern "C" int pidfd_open(pid_t pid, unsigned int flags) noexcept;
extern "C" int pidfd_send_signal(int pidfd, int sig, siginfo_t *info, unsigned int flags) noexcept;

static int g_pidfd_signals = 0;
static int g_kills = 0;
static bool g_no_pidfd = false;

extern "C" int pidfd_open(pid_t pid, unsigned int flags) noexcept
{
    if (g_no_pidfd) {
        errno = ENOSYS;
        return -1;
    }
    return static_cast<int>(syscall(SYS_pidfd_open, pid, flags));
}

extern "C" int pidfd_send_signal(int pidfd, int sig, siginfo_t *info, unsigned int flags) noexcept
{
    if (sig == SIGWINCH)
        g_pidfd_signals++;
    return static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, sig, info, flags));
}

extern "C" int kill(pid_t pid, int sig) noexcept
{
    if (sig == SIGWINCH)
        g_kills++;
    return static_cast<int>(syscall(SYS_kill, pid, sig));
}

namespace
{

bool g_ns_ok = false;
std::string g_ns_why;

constexpr unsigned WATCHDOG_S = 60; // no case may take this long
constexpr int PEER_WAIT_MS = 5000;  // bound on every wait for a child

// The server's mouse in the flood: a 100 Hz timer, read for this long from
// the flood's first connection on.
constexpr int64_t MOUSE_PERIOD_US = 10000;
constexpr int64_t FLOOD_MEASURE_US = 3000000;
constexpr int FLOOD_RING = 32; // silent connections the flooder holds at once

// The number of clients one user may hold, as documented.
constexpr int USER_CLIENT_LIMIT = 32;

void watchdog_fired(int)
{
    static const char msg[] = "hostile_user_test: a call blocked, watchdog fired\n";
    (void) !write(2, msg, sizeof msg - 1);
    _exit(3);
}

int64_t now_us()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

// ---- a child on a string: the puppet -----------------------------------

// A child process with the user ids it was given, acting on the test's
// commands: it holds connections to the control socket, sends records on
// them, and says whether a SIGWINCH reached it (the signal is blocked in it,
// so one sent stays pending until asked about) or whether the kernel lets it
// signal a process. Every command is answered with one byte.
enum : char {
    CMD_CONNECT = 'c',  // connect slot, send a first record naming pid on vc
    CMD_REPLACE = 'r',  // send a replacement record naming pid on slot
    CMD_CLOSE = 'x',    // close slot
    CMD_PENDING = 'p',  // 'Y' when a SIGWINCH arrived since the last ask
    CMD_MAY_KILL = 'k', // 'Y' when kill(pid, 0) is allowed
};
constexpr char ANSWER_YES = 'Y';
constexpr char ANSWER_NO = 'N';
constexpr int PUPPET_SLOTS = 64;

struct Command {
    char op;
    int32_t slot;
    int32_t pid; // 0: the puppet's own pid
    int32_t vc;
};

struct Puppet {
    pid_t pid = -1;
    int cmd = -1; // the test writes commands here
    int ans = -1; // and reads the answers here
};

char obey(const Command &c, int *slots)
{
    bool in_range = c.slot >= 0 && c.slot < PUPPET_SLOTS;
    pid_t named = c.pid != 0 ? c.pid : getpid();
    Mox_Connect r = make_record(MOX_MOVE, 0, 0, 0xFF, named, c.vc);
    switch (c.op) {
    case CMD_CONNECT:
        if (!in_range || (slots[c.slot] = connect_control()) < 0)
            return ANSWER_NO;
        return write(slots[c.slot], &r, sizeof r) == sizeof r ? ANSWER_YES : ANSWER_NO;
    case CMD_REPLACE:
        if (!in_range)
            return ANSWER_NO;
        return write(slots[c.slot], &r, sizeof r) == sizeof r ? ANSWER_YES : ANSWER_NO;
    case CMD_CLOSE:
        if (!in_range)
            return ANSWER_NO;
        return close(slots[c.slot]) == 0 ? ANSWER_YES : ANSWER_NO;
    case CMD_PENDING: {
        sigset_t pending, winch;
        sigpending(&pending);
        bool got = sigismember(&pending, SIGWINCH) == 1;
        sigemptyset(&winch);
        sigaddset(&winch, SIGWINCH);
        timespec none = {0, 0};
        (void) sigtimedwait(&winch, nullptr, &none); // take it: the next ask starts afresh
        return got ? ANSWER_YES : ANSWER_NO;
    }
    case CMD_MAY_KILL:
        return kill(c.pid, 0) == 0 ? ANSWER_YES : ANSWER_NO;
    default:
        return ANSWER_NO;
    }
}

[[noreturn]] void puppet_main(uid_t ruid, uid_t euid, uid_t suid, int cmd, int ans)
{
    close_inherited(cmd, ans);
    bool nobody = ruid == NOBODY_UID && euid == NOBODY_UID && suid == NOBODY_UID;
    if (nobody ? !become_nobody() : setresuid(ruid, euid, suid) != 0)
        _exit(2);
    (void) prctl(PR_SET_PDEATHSIG, SIGKILL); // set after the switch, which clears it
    const char ready = ANSWER_YES;
    if (write(ans, &ready, 1) != 1)
        _exit(2);
    int slots[PUPPET_SLOTS];
    std::fill(slots, slots + PUPPET_SLOTS, -1);
    Command c;
    while (read(cmd, &c, sizeof c) == sizeof c) {
        char a = obey(c, slots);
        if (write(ans, &a, 1) != 1)
            break;
    }
    _exit(0);
}

// ---- descriptor exhaustion --------------------------------------------------

// Takes every descriptor the process may still open: the soft limit is
// lowered to just above the highest open descriptor and the gaps below it
// are filled. release() gives everything back.
struct Exhaustion {
    rlimit saved{};
    std::vector<int> fills;
    bool on = false;

    bool start()
    {
        int highest = 0;
        for (const std::string &line : fd_listing())
            highest = std::max(highest, atoi(line.c_str()));
        if (getrlimit(RLIMIT_NOFILE, &saved) != 0)
            return false;
        rlimit low = saved;
        low.rlim_cur = static_cast<rlim_t>(highest) + 1;
        if (setrlimit(RLIMIT_NOFILE, &low) != 0)
            return false;
        on = true;
        for (;;) {
            int fd = dup(2);
            if (fd < 0)
                return errno == EMFILE;
            fills.push_back(fd);
        }
    }
    void release()
    {
        for (int fd : fills)
            close(fd);
        fills.clear();
        if (on)
            (void) setrlimit(RLIMIT_NOFILE, &saved);
        on = false;
    }
    ~Exhaustion()
    {
        release();
    }
};

// A child that connects `count` clients (each connect waits while the
// listening queue is full) and then waits for the server to close every
// one of them; its exit status is the number it saw closed.
[[noreturn]] void queued_clients_main(int count, unsigned limit_s)
{
    close_inherited();
    alarm(limit_s);
    std::vector<int> socks;
    for (int i = 0; i < count; i++) {
        int s = connect_control();
        if (s >= 0)
            socks.push_back(s);
    }
    int closed = 0;
    for (int s : socks) {
        char c;
        if (readable(s, PEER_WAIT_MS) && read(s, &c, 1) <= 0)
            closed++;
    }
    _exit(closed);
}

// A child of uid 65534 that opens connections as fast as the server takes
// them and never sends a byte, holding the last FLOOD_RING of them.
[[noreturn]] void silent_flood_main()
{
    close_inherited();
    if (!become_nobody())
        _exit(2);
    (void) prctl(PR_SET_PDEATHSIG, SIGKILL);
    int ring[FLOOD_RING];
    std::fill(ring, ring + FLOOD_RING, -1);
    for (unsigned i = 0;; i++) {
        int s = connect_control();
        if (s < 0) {
            (void) poll(nullptr, 0, 1);
            continue;
        }
        int &slot = ring[i % FLOOD_RING];
        if (slot >= 0)
            close(slot);
        slot = s;
    }
}

class HostileUser : public ::testing::Test
{
  protected:
    int lfd = -1;
    std::vector<int> peers;           // client ends held by this process
    std::vector<Puppet> puppets;      // ended by closing their command pipe
    std::vector<pid_t> killed_at_end; // ended with SIGKILL
    std::vector<std::string> fds_before;

    void SetUp() override
    {
        if (!g_ns_ok)
            GTEST_SKIP() << "no private /dev: " << g_ns_why;
        fake_host_reset();
        g_pidfd_signals = g_kills = 0;
        g_no_pidfd = false;
        ASSERT_EQ(linked_clients(), 0);
        lfd = listen_for_clients();
        ASSERT_GE(lfd, 0);
        // Taken once the control socket exists: the module keeps a spare
        // descriptor from then on.
        fds_before = fd_listing();
        alarm(WATCHDOG_S);
    }

    void TearDown() override
    {
        alarm(0);
        g_no_pidfd = false;
        drop_all_clients();
        for (int p : peers)
            close(p);
        for (const Puppet &p : puppets) {
            close(p.cmd);
            close(p.ans);
            (void) waitpid(p.pid, nullptr, 0);
        }
        for (pid_t p : killed_at_end) {
            (void) kill(p, SIGKILL);
            (void) waitpid(p, nullptr, 0);
        }
        if (!g_ns_ok)
            return;
        EXPECT_EQ(fd_listing(), fds_before) << "descriptors leaked";
        if (lfd >= 0)
            close(lfd);
    }

    void need_second_user()
    {
        if (!devns_real_root())
            GTEST_SKIP() << "not real root: no child can become uid 65534";
    }

    // A puppet with these user ids, once it has taken them; SIGWINCH is
    // blocked in it from birth. pid -1 when it could not be had.
    Puppet spawn(uid_t ruid, uid_t euid, uid_t suid)
    {
        Puppet p;
        int cmd[2], ans[2];
        if (pipe2(cmd, O_CLOEXEC) != 0)
            return p;
        if (pipe2(ans, O_CLOEXEC) != 0) {
            close(cmd[0]);
            close(cmd[1]);
            return p;
        }
        sigset_t winch, saved;
        sigemptyset(&winch);
        sigaddset(&winch, SIGWINCH);
        sigprocmask(SIG_BLOCK, &winch, &saved);
        p.pid = fork();
        if (p.pid == 0)
            puppet_main(ruid, euid, suid, cmd[0], ans[1]);
        sigprocmask(SIG_SETMASK, &saved, nullptr);
        close(cmd[0]);
        close(ans[1]);
        p.cmd = cmd[1];
        p.ans = ans[0];
        if (p.pid > 0)
            puppets.push_back(p);
        char ready = 0;
        if (p.pid > 0 && !(readable(p.ans, PEER_WAIT_MS) && read(p.ans, &ready, 1) == 1))
            p.pid = -1; // still ended by TearDown
        return p;
    }

    Puppet spawn_nobody()
    {
        return spawn(NOBODY_UID, NOBODY_UID, NOBODY_UID);
    }

    // Sends one command and waits for its answer (0 when none came).
    char ask(const Puppet &p, char op, int32_t slot = 0, int32_t pid = 0, int32_t vc = 0)
    {
        Command c;
        memset(&c, 0, sizeof c); // no stray padding bytes down the pipe
        c.op = op;
        c.slot = slot;
        c.pid = pid;
        c.vc = vc;
        if (write(p.cmd, &c, sizeof c) != sizeof c)
            return 0;
        char a = 0;
        if (!readable(p.ans, PEER_WAIT_MS) || read(p.ans, &a, 1) != 1)
            return 0;
        return a;
    }

    // The client the puppet just connected, accepted.
    client_info *accept_from(const Puppet &p, int32_t slot, int32_t pid, int32_t vc)
    {
        EXPECT_EQ(ask(p, CMD_CONNECT, slot, pid, vc), ANSWER_YES);
        EXPECT_TRUE(readable(lfd, PEER_WAIT_MS));
        return accept_client_connection(lfd);
    }

    // A record sent on ci's connection, read by the module as the main
    // loop would.
    void serve(client_info *ci)
    {
        ASSERT_TRUE(readable(ci->fd, PEER_WAIT_MS));
        ASSERT_EQ(process_client_request(ci, stack_of(ci), 0, 0, 0, 0, 0), 1);
    }

    // A client of this (root) process, admitted.
    client_info *admit_root(int32_t pid, int32_t vc)
    {
        int s = connect_control();
        EXPECT_GE(s, 0) << strerror(errno);
        if (s < 0)
            return nullptr;
        peers.push_back(s);
        Mox_Connect r = make_record(MOX_MOVE, 0, 0, 0xFF, pid, vc);
        EXPECT_EQ(write(s, &r, sizeof r), static_cast<ssize_t>(sizeof r));
        return accept_client_connection(lfd);
    }
};

// ---- stalling the server ----------------------------------------------------

// uid 65534, who owns no console, floods the control socket with
// connections that never send a byte, for as long as the measurement runs.
// The server's loop reads a 100 Hz timer (its mouse) and accepts whenever
// the socket is readable: from the flood's first connection on, it must
// keep at least 90% of its timer reads and never go 100 ms without one.
TEST_F(HostileUser, SilentFloodLeavesTheMouseRunning)
{
    need_second_user();
    pid_t flooder = fork();
    ASSERT_GE(flooder, 0);
    if (flooder == 0)
        silent_flood_main();
    killed_at_end.push_back(flooder);

    ASSERT_TRUE(readable(lfd, PEER_WAIT_MS)) << "the flood never came";
    const int64_t start = now_us();
    int timer = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
    ASSERT_GE(timer, 0) << strerror(errno);
    itimerspec period = {{0, MOUSE_PERIOD_US * 1000}, {0, MOUSE_PERIOD_US * 1000}};
    ASSERT_EQ(timerfd_settime(timer, 0, &period, nullptr), 0);

    int reads = 0, calls = 0, admitted = 0;
    int64_t last = start, worst_gap = 0;
    for (;;) {
        pollfd p[2] = {{timer, POLLIN, 0}, {lfd, POLLIN, 0}};
        ASSERT_GT(poll(p, 2, PEER_WAIT_MS), 0);
        if ((p[0].revents & POLLIN) != 0) {
            uint64_t ticks;
            ASSERT_EQ(read(timer, &ticks, sizeof ticks), static_cast<ssize_t>(sizeof ticks));
            int64_t t = now_us();
            worst_gap = std::max(worst_gap, t - last);
            last = t;
            reads++;
            if (t - start >= FLOOD_MEASURE_US)
                break;
        }
        if ((p[1].revents & POLLIN) != 0) {
            calls++;
            if (accept_client_connection(lfd) != nullptr)
                admitted++;
            if (fake_host.reports.size() > 4096)
                fake_host.reports.clear();
        }
    }
    close(timer);
    const int64_t expected = (last - start) / MOUSE_PERIOD_US;
    printf("silent flood by uid 65534: %d of %" PRId64 " timer reads (%.1f%%), worst gap %.1f ms, "
           "%d connections refused in %.1f s\n",
           reads, expected, 100.0 * reads / static_cast<double>(expected), worst_gap / 1000.0,
           calls - admitted, (last - start) / 1e6);
    EXPECT_GE(reads * 10, expected * 9) << "fewer than 90% of the mouse's reads";
    EXPECT_LE(worst_gap, 100000) << "the mouse went unread for more than 100 ms";
    EXPECT_EQ(admitted, 0);
    EXPECT_GE(calls, 100) << "the flood was not continuous";
}

// ---- signalling other users' processes ------------------------------------

struct Target {
    const char *name;
    uid_t ruid, euid, suid;
    bool signalled; // by a client of uid 65534
};

// As kill() itself decides: a user may signal a process whose real or saved
// user id is theirs; the effective one does not count.
const Target TARGETS[] = {
    {"root process", 0, 0, 0, false},
    {"another process of the same user", NOBODY_UID, NOBODY_UID, NOBODY_UID, true},
    {"real uid the user's", NOBODY_UID, 0, 0, true},
    {"saved uid the user's", 0, 0, NOBODY_UID, true},
    {"effective uid alone the user's", 0, NOBODY_UID, 0, false},
};

// A console owner of uid 65534 names a root process in its first record,
// then in replacement records its own process and processes of every kind
// of ownership. Only those it could signal itself get the resize signal; a
// root client naming the root process still reaches it. With pidfd_open
// missing, the module falls back to checking and then kill().
TEST_F(HostileUser, ResizeSignalsOnlyTheClientUsersOwnProcesses)
{
    need_second_user();
    fake_host.owner_answer = 1;
    std::vector<Puppet> targets;
    for (const Target &t : TARGETS) {
        targets.push_back(spawn(t.ruid, t.euid, t.suid));
        ASSERT_GT(targets.back().pid, 0);
    }
    const Puppet &root_target = targets[0];

    for (bool no_pidfd : {false, true}) {
        SCOPED_TRACE(no_pidfd ? "without pidfd_open" : "with pidfd_open");
        g_no_pidfd = no_pidfd;
        int &used = no_pidfd ? g_kills : g_pidfd_signals;
        const int &unused = no_pidfd ? g_pidfd_signals : g_kills;
        g_kills = g_pidfd_signals = 0;

        Puppet user = spawn_nobody();
        ASSERT_GT(user.pid, 0);
        client_info *ci = accept_from(user, 0, root_target.pid, 2);
        ASSERT_NE(ci, nullptr);
        EXPECT_EQ(ci->data.pid, root_target.pid); // kept as sent
        notify_clients_resize();
        EXPECT_EQ(ask(root_target, CMD_PENDING), ANSWER_NO) << "named in the first record";
        EXPECT_EQ(ask(user, CMD_PENDING), ANSWER_NO);

        // Its own process.
        ASSERT_EQ(ask(user, CMD_REPLACE, 0, 0, 2), ANSWER_YES);
        serve(ci);
        EXPECT_EQ(ci->data.pid, user.pid);
        notify_clients_resize();
        EXPECT_EQ(ask(user, CMD_PENDING), ANSWER_YES);
        EXPECT_EQ(used, 1);
        EXPECT_EQ(unused, 0);

        for (size_t i = 0; i < targets.size(); i++) {
            const Target &t = TARGETS[i];
            SCOPED_TRACE(t.name);
            ASSERT_EQ(ask(user, CMD_REPLACE, 0, targets[i].pid, 2), ANSWER_YES);
            serve(ci);
            EXPECT_EQ(ci->data.pid, targets[i].pid);
            notify_clients_resize();
            char want = t.signalled ? ANSWER_YES : ANSWER_NO;
            EXPECT_EQ(ask(targets[i], CMD_PENDING), want);
            EXPECT_EQ(ask(user, CMD_MAY_KILL, 0, targets[i].pid), want) << "kill() disagrees";
            EXPECT_EQ(ask(user, CMD_PENDING), ANSWER_NO);
        }

        // A root client may name any process.
        ASSERT_EQ(ask(user, CMD_REPLACE, 0, 0, 2), ANSWER_YES);
        serve(ci);
        client_info *root_ci = admit_root(root_target.pid, 5);
        ASSERT_NE(root_ci, nullptr);
        notify_clients_resize();
        EXPECT_EQ(ask(root_target, CMD_PENDING), ANSWER_YES);
        EXPECT_EQ(ask(user, CMD_PENDING), ANSWER_YES);
        EXPECT_EQ(unused, no_pidfd ? 0 : 1); // the root client's signal is a kill()

        close(root_ci->fd);
        remove_client(root_ci, 5);
        close(ci->fd);
        remove_client(ci, 2);
    }
}

// ---- holding descriptors --------------------------------------------------

// 20 clients queue up while the server has no descriptor left: every call
// takes one of them off the socket and closes it, so the loop settles
// after about one call (and one report) per client instead of spinning.
// Afterwards clients are admitted again, and a second exhaustion is
// handled the same way (the spare descriptor was taken back).
TEST_F(HostileUser, OutOfDescriptorsQueuedClientsAreShedNotSpunOn)
{
    constexpr int QUEUED = 20;
    constexpr unsigned CHILD_LIMIT_S = 10;
    constexpr int64_t WINDOW_US = 1000000;
    for (int round = 0; round < 2; round++) {
        SCOPED_TRACE("exhaustion " + std::to_string(round + 1));
        const int queued = round == 0 ? QUEUED : 3;
        pid_t crowd = fork();
        ASSERT_GE(crowd, 0);
        if (crowd == 0)
            queued_clients_main(queued, CHILD_LIMIT_S);
        ASSERT_TRUE(readable(lfd, PEER_WAIT_MS));

        Exhaustion ex;
        ASSERT_TRUE(ex.start()) << strerror(errno);
        fake_host.reports.clear();
        long calls = 0, reports = 0, admitted = 0;
        std::string first_report;
        const int64_t start = now_us();
        for (int64_t left = WINDOW_US; left > 0; left = WINDOW_US - (now_us() - start)) {
            pollfd p = {lfd, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left / 1000)) <= 0)
                continue;
            calls++;
            if (accept_client_connection(lfd) != nullptr)
                admitted++;
            if (first_report.empty() && !fake_host.reports.empty())
                first_report =
                    std::to_string(fake_host.reports[0].severity) + " " + fake_host.reports[0].text;
            reports += static_cast<long>(fake_host.reports.size());
            fake_host.reports.clear();
        }
        ex.release();
        printf("no descriptors, %d clients queued: %ld calls and %ld reports in one second\n",
               queued, calls, reports);
        int status = 0;
        ASSERT_EQ(waitpid(crowd, &status, 0), crowd);
        ASSERT_TRUE(WIFEXITED(status)) << "the clients were left waiting (status " << status << ")";
        EXPECT_EQ(WEXITSTATUS(status), queued) << "clients never closed by the server";
        EXPECT_EQ(admitted, 0);
        EXPECT_GE(calls, 1);
        EXPECT_LE(calls, 3L * queued);
        EXPECT_LE(reports, 3L * queued);
        EXPECT_EQ(first_report, std::string("4 accept() failed: ") + strerror(EMFILE));

        // With descriptors back, a client is admitted as before.
        client_info *ci = admit_root(0, 1);
        ASSERT_NE(ci, nullptr);
        close(ci->fd);
        remove_client(ci, 1);
    }
}

// One non-root user may hold USER_CLIENT_LIMIT linked clients; the next is
// refused with a report, on whatever console. A client whose connection has
// ended no longer counts, even before it is removed. Root is not limited.
TEST_F(HostileUser, OneUserHoldsAtMostItsShareOfClients)
{
    need_second_user();
    fake_host.owner_answer = 1;
    Puppet user = spawn_nobody();
    ASSERT_GT(user.pid, 0);
    std::vector<client_info *> held;
    for (int i = 0; i < USER_CLIENT_LIMIT + 3; i++) {
        SCOPED_TRACE("client " + std::to_string(i));
        int vc = 1 + i % 3;
        fake_host.reports.clear();
        client_info *ci = accept_from(user, i, 0, vc);
        if (i < USER_CLIENT_LIMIT) {
            ASSERT_NE(ci, nullptr);
            held.push_back(ci);
            continue;
        }
        EXPECT_EQ(ci, nullptr);
        ASSERT_FALSE(fake_host.reports.empty());
        const FakeReport &last = fake_host.reports.back();
        EXPECT_EQ(last.severity, MOX_SEV_REFUSE);
        EXPECT_EQ(last.text, "Too many mox connections by uid 65534 for vc " + std::to_string(vc));
    }
    EXPECT_EQ(linked_clients(), USER_CLIENT_LIMIT);

    // Root: as many as it likes.
    for (int i = 0; i < USER_CLIENT_LIMIT + 8; i++)
        ASSERT_NE(admit_root(0, 4), nullptr) << "root client " << i;

    // One of the user's clients goes: once the module has seen its end
    // (and closed its socket), a new one takes its place.
    client_info *gone = held[0];
    const int gone_vc = stack_of(gone);
    ASSERT_EQ(ask(user, CMD_CLOSE, 0), ANSWER_YES);
    ASSERT_TRUE(readable(gone->fd, PEER_WAIT_MS));
    ASSERT_EQ(process_client_request(gone, gone_vc, 0, 0, 0, 0, 0), 0);
    EXPECT_EQ(gone->fd, -1);
    client_info *again = accept_from(user, USER_CLIENT_LIMIT + 3, 0, 1);
    EXPECT_NE(again, nullptr);
    remove_client(gone, gone_vc);
    EXPECT_EQ(accept_from(user, USER_CLIENT_LIMIT + 4, 0, 1), nullptr);
}

} // namespace

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    signal(SIGPIPE, SIG_DFL);
    signal(SIGALRM, watchdog_fired);
    g_ns_ok = devns_enter(&g_ns_why);
    return devns_exit_status(RUN_ALL_TESTS(), g_ns_ok, g_ns_why);
}
