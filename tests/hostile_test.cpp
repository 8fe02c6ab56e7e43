// The client module under hostile and crowded clients, over the real control
// socket in a private /dev: a thousand clients on every console, clients that
// never read, that send nothing, that vanish mid-record or mid-stream, and
// malformed first records and requests. Each case stops by itself (a
// watchdog alarm turns a blocked call into a failure) and ends with every
// record removed, the table empty and exactly the descriptors it started
// with.

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "client.h"
#include "client_table.h"
#include "devns.h"
#include "fake_host.h"
#include "moxInt.h"
#include "procs.h"
#include "wire.h"

// The module's resize signals are logged here and never sent: the pids in
// these tests are made up. Any other signal goes on to the kernel.
static std::vector<pid_t> winch_log;

extern "C" int kill(pid_t pid, int sig) noexcept
{
    if (sig == SIGWINCH) {
        winch_log.push_back(pid);
        return 0;
    }
    return static_cast<int>(syscall(SYS_kill, pid, sig));
}

namespace
{

bool g_ns_ok = false;
std::string g_ns_why;

constexpr int CROWD = 1000;
constexpr int CONSOLES = LAST_VC + 1;
constexpr int SILENT_CLIENTS = 5;
constexpr unsigned WATCHDOG_S = 30; // no case may take this long
constexpr int PEER_WAIT_MS = 2000;

void watchdog_fired(int)
{
    static const char msg[] = "hostile_test: a call blocked, watchdog fired\n";
    (void) !write(2, msg, sizeof msg - 1);
    _exit(3);
}

Mox_Connect rec(uint16_t ev, uint16_t def, uint16_t min, uint16_t max, int32_t pid, int32_t vc)
{
    return make_record(ev, def, min, max, pid, vc);
}

Mox_Event move_event(int vc, uint8_t modifiers, int16_t x)
{
    Mox_Event ev{};
    ev.vc = static_cast<uint16_t>(vc);
    ev.modifiers = modifiers;
    ev.x = x;
    ev.dx = 1;
    ev.type = MOX_MOVE;
    return ev;
}

bool send_all(int fd, const void *buf, size_t n)
{
    return send(fd, buf, n, MSG_NOSIGNAL) == static_cast<ssize_t>(n);
}

// Everything waiting on fd, read without blocking.
std::string drain(int fd)
{
    std::string out;
    char buf[4096];
    for (;;) {
        ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n <= 0)
            break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

// True when the server has closed its end: end of stream (or a reset).
bool server_closed(int peer)
{
    pollfd p = {peer, POLLIN, 0};
    if (poll(&p, 1, PEER_WAIT_MS) != 1)
        return false;
    char c;
    return recv(peer, &c, 1, MSG_DONTWAIT) <= 0;
}

class Hostile : public ::testing::Test
{
  protected:
    int lfd = -1;
    std::vector<int> peers; // client ends still open
    std::vector<std::string> fds_before;

    void SetUp() override
    {
        if (!g_ns_ok)
            GTEST_SKIP() << "no private /dev: " << g_ns_why;
        fake_host_reset();
        winch_log.clear();
        ASSERT_EQ(linked_clients(), 0);
        lfd = listen_for_clients();
        ASSERT_GE(lfd, 0);
        // Taken once the control socket exists: the module keeps a spare
        // descriptor from then on.
        fds_before = fd_listing();
        alarm(WATCHDOG_S);
    }

    // The server drops whatever is still linked (closing the sockets itself,
    // as remove_client never does), then the clients go. Nothing may be left.
    void TearDown() override
    {
        alarm(0);
        drop_all_clients();
        for (int p : peers)
            close(p);
        if (!g_ns_ok)
            return;
        EXPECT_EQ(fd_listing(), fds_before) << "descriptors leaked";
        if (lfd >= 0)
            close(lfd);
    }

    int new_peer()
    {
        int s = connect_control();
        EXPECT_GE(s, 0) << strerror(errno);
        if (s >= 0)
            peers.push_back(s);
        return s;
    }

    void close_peer(int s)
    {
        for (size_t i = 0; i < peers.size(); i++) {
            if (peers[i] == s) {
                peers.erase(peers.begin() + static_cast<long>(i));
                break;
            }
        }
        close(s);
    }

    // A client sends bytes (all of them before the accept) and is accepted.
    client_info *connect_with(const void *bytes, size_t n, int *peer)
    {
        int s = new_peer();
        *peer = s;
        if (s < 0)
            return nullptr;
        EXPECT_TRUE(n == 0 || send_all(s, bytes, n));
        return accept_client_connection(lfd);
    }

    // Removes a client the test admitted, as the main loop does after its
    // socket ended (process_client_request already closed it).
    void remove_closed(client_info *ci)
    {
        int vc = stack_of(ci);
        ASSERT_GE(vc, 0);
        remove_client(ci, vc);
        EXPECT_EQ(stack_of(ci), -1);
    }
};

// Every descriptor the crowd needs: both ends of each connection.
bool raise_fd_limit(rlim_t want, std::string *why)
{
    rlimit lim;
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0) {
        *why = strerror(errno);
        return false;
    }
    if (lim.rlim_cur >= want)
        return true;
    if (lim.rlim_max < want)
        lim.rlim_max = want; // root may raise the hard limit
    lim.rlim_cur = want;
    if (setrlimit(RLIMIT_NOFILE, &lim) != 0) {
        *why = "cannot raise RLIMIT_NOFILE to " + std::to_string(want) + ": " + strerror(errno);
        return false;
    }
    return true;
}

// ---- a crowd on every console ----------------------------------------------

// A thousand clients across the 65 consoles; within a stack each client
// holds one modifier value exactly (minMod == maxMod), so an event carrying
// that value is the business of that client alone, wherever it sits in the
// stack. Each client is sent 1 to 3 events tagged with its number and must
// find exactly those on its socket; the resize notice reaches all of them in
// table order.
TEST_F(Hostile, ThousandClientsOnAllConsolesEachGetTheirOwnEvents)
{
    std::string why;
    if (!raise_fd_limit(2 * CROWD + 256, &why))
        GTEST_SKIP() << why;

    struct Member {
        client_info *ci;
        int peer;
        int vc;
        uint8_t mods;
        int events;
    };
    std::vector<Member> crowd;
    crowd.reserve(CROWD);
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < CROWD; i++) {
        int vc = i % CONSOLES;
        uint8_t mods = static_cast<uint8_t>(i / CONSOLES);
        Mox_Connect r = rec(MOX_MOVE | MOX_DRAG, 0, mods, mods, 10000 + i, vc);
        int peer;
        client_info *ci = connect_with(&r, sizeof r, &peer);
        ASSERT_NE(ci, nullptr) << "client " << i << " refused";
        ASSERT_EQ(cinfo[vc], ci);
        crowd.push_back(Member{ci, peer, vc, mods, 1 + i % 3});
    }
    auto admitted = std::chrono::steady_clock::now();
    ASSERT_EQ(linked_clients(), CROWD);

    // Rounds of events: round k reaches every client with more than k events.
    for (int round = 0; round < 3; round++) {
        for (int i = 0; i < CROWD; i++) {
            const Member &m = crowd[static_cast<size_t>(i)];
            if (m.events <= round)
                continue;
            Mox_Event ev = move_event(m.vc, m.mods, static_cast<int16_t>(i));
            ASSERT_EQ(do_client(cinfo[m.vc], &ev), 1) << "client " << i;
        }
    }
    for (int i = 0; i < CROWD; i++) {
        const Member &m = crowd[static_cast<size_t>(i)];
        std::string got = drain(m.peer);
        ASSERT_EQ(got.size(), m.events * sizeof(Mox_Event)) << "client " << i;
        for (int k = 0; k < m.events; k++) {
            Mox_Event ev;
            memcpy(&ev, got.data() + k * sizeof ev, sizeof ev);
            EXPECT_EQ(ev.x, i);
            EXPECT_EQ(ev.vc, m.vc);
            EXPECT_EQ(ev.modifiers, m.mods);
        }
    }
    auto routed = std::chrono::steady_clock::now();

    // Resize: console 0 first, each stack from its newest client down.
    notify_clients_resize();
    std::vector<pid_t> want;
    for (int vc = 0; vc < CONSOLES; vc++)
        for (int i = CROWD - 1; i >= 0; i--)
            if (crowd[static_cast<size_t>(i)].vc == vc)
                want.push_back(10000 + i);
    EXPECT_EQ(winch_log, want);

    // Everybody leaves; the server sees each end of stream and removes them.
    for (const Member &m : crowd)
        close_peer(m.peer);
    for (const Member &m : crowd) {
        ASSERT_TRUE(readable(m.ci->fd, PEER_WAIT_MS));
        ASSERT_EQ(process_client_request(m.ci, m.vc, 0, 0, 0, 0, 0), 0);
        remove_closed(m.ci);
    }
    EXPECT_EQ(linked_clients(), 0);
    auto done = std::chrono::steady_clock::now();

    using ms = std::chrono::milliseconds;
    auto span = [](auto a, auto b) { return std::chrono::duration_cast<ms>(b - a).count(); };
    printf("crowd of %d clients on %d consoles: admitted in %lld ms, events routed and "
           "checked in %lld ms, all gone in %lld ms\n",
           CROWD, CONSOLES, static_cast<long long>(span(start, admitted)),
           static_cast<long long>(span(admitted, routed)),
           static_cast<long long>(span(routed, done)));
}

// ---- clients that never read --------------------------------------------

// A client on console 1 never reads while events flow to it and to a reader
// on console 2. Its socket buffer fills; the server drops its events (whole
// records only) and never waits, and the reader gets every one of its own.
TEST_F(Hostile, ClientThatNeverReadsHoldsNobodyUp)
{
    constexpr int EVENTS = 20000; // far beyond any socket buffer
    Mox_Connect deaf_rec = rec(MOX_MOVE, 0, 0, 0xFF, 0, 1);
    Mox_Connect reader_rec = rec(MOX_MOVE, 0, 0, 0xFF, 0, 2);
    int deaf, reader;
    client_info *deaf_ci = connect_with(&deaf_rec, sizeof deaf_rec, &deaf);
    client_info *reader_ci = connect_with(&reader_rec, sizeof reader_rec, &reader);
    ASSERT_NE(deaf_ci, nullptr);
    ASSERT_NE(reader_ci, nullptr);

    size_t reader_bytes = 0;
    bool reader_ok = true;
    for (int i = 0; i < EVENTS; i++) {
        Mox_Event to_deaf = move_event(1, 0, static_cast<int16_t>(i));
        Mox_Event to_reader = move_event(2, 0, static_cast<int16_t>(i));
        ASSERT_EQ(do_client(cinfo[1], &to_deaf), 1);
        ASSERT_EQ(do_client(cinfo[2], &to_reader), 1);
        std::string got = drain(reader);
        reader_bytes += got.size();
        Mox_Event ev;
        if (got.size() != sizeof ev) {
            reader_ok = false;
            continue;
        }
        memcpy(&ev, got.data(), sizeof ev);
        reader_ok = reader_ok && ev.x == static_cast<int16_t>(i) && ev.vc == 2;
    }
    EXPECT_TRUE(reader_ok);
    EXPECT_EQ(reader_bytes, EVENTS * sizeof(Mox_Event));

    // The deaf client got a prefix of its events, whole records, then none.
    std::string queued = drain(deaf);
    EXPECT_EQ(queued.size() % sizeof(Mox_Event), 0u);
    EXPECT_GT(queued.size(), 0u);
    EXPECT_LT(queued.size(), EVENTS * sizeof(Mox_Event)) << "its buffer never filled";
    for (size_t k = 0; k + sizeof(Mox_Event) <= queued.size(); k += sizeof(Mox_Event)) {
        Mox_Event ev;
        memcpy(&ev, queued.data() + k, sizeof ev);
        ASSERT_EQ(ev.x, static_cast<int16_t>(k / sizeof ev)) << "records out of order at " << k;
    }

    // A request's reply to a full socket is dropped the same way: the
    // queue then holds only events (type MOX_MOVE), no reply (type 3).
    Mox_Connect ask = rec(0, 0, 0, 0, 0, REQ_STATE);
    for (int i = 0; i < EVENTS; i++) {
        Mox_Event ev = move_event(1, 0, 0);
        ASSERT_EQ(do_client(cinfo[1], &ev), 1);
    }
    ASSERT_TRUE(send_all(deaf, &ask, sizeof ask));
    ASSERT_TRUE(readable(deaf_ci->fd, PEER_WAIT_MS));
    EXPECT_EQ(process_client_request(deaf_ci, 1, 1, 2, 0, 0, 1), 1);
    queued = drain(deaf);
    EXPECT_LT(queued.size(), EVENTS * sizeof(Mox_Event));
    for (size_t k = 0; k + sizeof(Mox_Event) <= queued.size(); k += sizeof(Mox_Event)) {
        Mox_Event ev;
        memcpy(&ev, queued.data() + k, sizeof ev);
        ASSERT_EQ(ev.type, static_cast<uint32_t>(MOX_MOVE)) << "at " << k;
    }
    EXPECT_EQ(linked_clients(), 2);
}

// ---- clients that send nothing --------------------------------------------

// Silent clients in a row: each is refused (the first after a whole wait,
// the others once the module's allowance for waiting is spent) without a
// report beyond its connection line, and an admitted client goes on being
// served between them.
TEST_F(Hostile, SilentClientsAreRefusedOneAfterAnother)
{
    Mox_Connect r = rec(MOX_MOVE, 0, 0, 0xFF, 0, 5);
    int good;
    client_info *ci = connect_with(&r, sizeof r, &good);
    ASSERT_NE(ci, nullptr);
    for (int i = 0; i < SILENT_CLIENTS; i++) {
        SCOPED_TRACE("silent client " + std::to_string(i));
        fake_host.reports.clear();
        int silent = new_peer();
        ASSERT_GE(silent, 0);
        EXPECT_EQ(accept_client_connection(lfd), nullptr);
        ASSERT_EQ(fake_host.reports.size(), 1u);
        EXPECT_EQ(fake_host.reports[0].text.rfind("Connecting at fd ", 0), 0u);
        EXPECT_TRUE(server_closed(silent));
        close_peer(silent);

        Mox_Event ev = move_event(5, 0, static_cast<int16_t>(i));
        EXPECT_EQ(do_client(cinfo[5], &ev), 1);
        EXPECT_EQ(drain(good).size(), sizeof ev);
    }
    EXPECT_EQ(linked_clients(), 1);
}

// ---- clients that vanish --------------------------------------------------

TEST_F(Hostile, ClientsThatVanishMidRecordOrMidStream)
{
    Mox_Connect r = rec(MOX_MOVE, 0, 0, 0xFF, 0, 6);
    int peer;

    // Half a first record, then gone: refused silently.
    {
        int s = new_peer();
        ASSERT_TRUE(send_all(s, &r, sizeof r / 2));
        close_peer(s);
        fake_host.reports.clear();
        EXPECT_EQ(accept_client_connection(lfd), nullptr);
        EXPECT_EQ(fake_host.reports.size(), 1u);
    }
    // Gone before sending anything: refused silently.
    {
        int s = new_peer();
        close_peer(s);
        EXPECT_EQ(accept_client_connection(lfd), nullptr);
    }
    // A whole first record, then gone before the accept: admitted, and its
    // end of stream is the next thing the server reads.
    {
        int s = new_peer();
        ASSERT_TRUE(send_all(s, &r, sizeof r));
        close_peer(s);
        client_info *ci = accept_client_connection(lfd);
        ASSERT_NE(ci, nullptr);
        Mox_Event ev = move_event(6, 0, 1);
        EXPECT_EQ(do_client(cinfo[6], &ev), 1); // to a gone peer: no SIGPIPE
        ASSERT_TRUE(readable(ci->fd, PEER_WAIT_MS));
        EXPECT_EQ(process_client_request(ci, 6, 0, 0, 0, 0, 0), 0);
        remove_closed(ci);
    }
    // Half a request, then gone: a short read, then the end of stream.
    {
        client_info *ci = connect_with(&r, sizeof r, &peer);
        ASSERT_NE(ci, nullptr);
        Mox_Connect ask = rec(0, 0, 0, 0, 0, REQ_STATE);
        ASSERT_TRUE(send_all(peer, &ask, sizeof ask / 2));
        close_peer(peer);
        ASSERT_TRUE(readable(ci->fd, PEER_WAIT_MS));
        EXPECT_EQ(process_client_request(ci, 6, 0, 0, 0, 0, 0), -1);
        EXPECT_EQ(stack_of(ci), 6); // still linked, the caller decides
        ASSERT_TRUE(readable(ci->fd, PEER_WAIT_MS));
        EXPECT_EQ(process_client_request(ci, 6, 0, 0, 0, 0, 0), 0);
        remove_closed(ci);
    }
    // Gone while events flow to it and to the client below it: the events
    // go on (to nobody), the other client is untouched, the server lives.
    // Its unread events make its end of stream a reset: the read fails and
    // the server drops it.
    {
        Mox_Connect below = rec(MOX_DRAG, 0, 0, 0xFF, 0, 6);
        Mox_Connect top = rec(MOX_MOVE, MOX_DRAG, 0, 0xFF, 0, 6);
        int below_peer;
        client_info *below_ci = connect_with(&below, sizeof below, &below_peer);
        ASSERT_NE(below_ci, nullptr);
        client_info *ci = connect_with(&top, sizeof top, &peer);
        ASSERT_NE(ci, nullptr);
        for (int i = 0; i < 100; i++) {
            if (i == 50)
                close_peer(peer);
            Mox_Event ev = move_event(6, 0, static_cast<int16_t>(i));
            EXPECT_EQ(do_client(cinfo[6], &ev), 1);
        }
        Mox_Event drag = move_event(6, 0, 7);
        drag.type = MOX_DRAG;
        EXPECT_EQ(do_client(cinfo[6], &drag), 1);
        EXPECT_EQ(drain(below_peer).size(), sizeof drag);
        ASSERT_TRUE(readable(ci->fd, PEER_WAIT_MS));
        EXPECT_EQ(process_client_request(ci, 6, 0, 0, 0, 0, 0), -1);
        EXPECT_EQ(stack_of(ci), 6);
        close(ci->fd);
        remove_closed(ci);
        EXPECT_EQ(cinfo[6], below_ci);
    }
}

// ---- malformed records ----------------------------------------------------

TEST_F(Hostile, MalformedFirstRecordsAreRefused)
{
    struct Case {
        const char *name;
        size_t bytes; // how much of the record is sent
        int32_t vc;
        int32_t pid;
        bool admitted;
        const char *report; // the refusal's report, or none
    };
    const Case cases[] = {
        {"one byte", 1, 3, 100, false, nullptr},
        {"half", 8, 3, 100, false, nullptr},
        {"fifteen bytes", 15, 3, 100, false, nullptr},
        {"vc -1", 16, -1, 100, false, nullptr},
        {"vc -64", 16, -64, 100, false, nullptr},
        {"vc INT_MIN", 16, INT_MIN, 100, false, nullptr},
        {"vc 65", 16, 65, 100, false, "Request on vc 65 > 64"},
        {"vc INT_MAX", 16, INT_MAX, 100, false, "Request on vc 2147483647 > 64"},
        {"pid 0", 16, 3, 0, true, nullptr},
        {"pid -1", 16, 64, -1, true, nullptr},
        {"pid INT_MIN", 16, 0, INT_MIN, true, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fake_host.reports.clear();
        Mox_Connect r = rec(MOX_MOVE, 0, 0, 0xFF, c.pid, c.vc);
        int peer;
        client_info *ci = connect_with(&r, c.bytes, &peer);
        EXPECT_EQ(ci != nullptr, c.admitted);
        if (ci == nullptr) {
            EXPECT_TRUE(server_closed(peer));
            close_peer(peer);
            size_t want = c.report != nullptr ? 2 : 1;
            ASSERT_EQ(fake_host.reports.size(), want);
            if (c.report != nullptr) {
                EXPECT_EQ(fake_host.reports[1].severity, MOX_SEV_REFUSE);
                EXPECT_EQ(fake_host.reports[1].text, c.report);
            }
        } else {
            EXPECT_EQ(stack_of(ci), c.vc);
        }
    }
    EXPECT_EQ(linked_clients(), 3);
    // Admitted with a pid of 0 or below, they are never signalled.
    notify_clients_resize();
    EXPECT_TRUE(winch_log.empty());
}

TEST_F(Hostile, MalformedRequestsLeaveTheClientServed)
{
    Mox_Connect r = rec(MOX_MOVE, 0, 0, 0xFF, 321, 4);
    int peer;
    client_info *ci = connect_with(&r, sizeof r, &peer);
    ASSERT_NE(ci, nullptr);

    struct Case {
        const char *name;
        size_t bytes;
        Mox_Connect record;
        int result;
        size_t reply;
    };
    const Case cases[] = {
        {"short request", 5, rec(0, 0, 0, 0, 0, REQ_STATE), -1, 0},
        {"code -1", 16, rec(0, 0, 0, 0, 0, -1), 1, 0},
        {"code 2", 16, rec(0, 0, 0, 0, 0, 2), 1, 0},
        {"code 65", 16, rec(0, 0, 0, 0, 0, 65), 1, 0},
        {"code INT_MIN", 16, rec(0, 0, 0, 0, 0, INT_MIN), 1, 0},
        {"state", 16, rec(0, 0, 0, 0, 0, REQ_STATE), 1, sizeof(Mox_Event)},
        {"replacement with pid -1, vc -5", 16, rec(0xFFFF, 0xFFFF, 0, 0, -1, -5), 1, 0},
        {"button count", 16, rec(0, 0, 0, 0, 0, REQ_BUTTON_COUNT), 1, sizeof(Mox_Event)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(send_all(peer, &c.record, c.bytes));
        ASSERT_TRUE(readable(ci->fd, PEER_WAIT_MS));
        EXPECT_EQ(process_client_request(ci, 4, 1, 2, 3, 4, 1), c.result);
        EXPECT_EQ(stack_of(ci), 4);
        EXPECT_EQ(drain(peer).size(), c.reply);
    }
    // The replacement took: pid -1 is passed over at the resize.
    EXPECT_EQ(ci->data.pid, -1);
    EXPECT_EQ(ci->data.vc, -5);
    notify_clients_resize();
    EXPECT_TRUE(winch_log.empty());

    // A request found in no valid stack is not read at all.
    Mox_Connect ask = rec(0, 0, 0, 0, 0, REQ_STATE);
    ASSERT_TRUE(send_all(peer, &ask, sizeof ask));
    EXPECT_EQ(process_client_request(ci, LAST_VC + 1, 0, 0, 0, 0, 0), -1);
    EXPECT_EQ(process_client_request(ci, INT_MAX, 0, 0, 0, 0, 0), -1);
    EXPECT_TRUE(readable(ci->fd, PEER_WAIT_MS));
    EXPECT_EQ(process_client_request(ci, 4, 0, 0, 0, 0, 0), 1);
    EXPECT_EQ(drain(peer).size(), sizeof(Mox_Event));

    // remove_client with a stack that does not hold the client, or outside
    // the table, frees nothing.
    for (int vc : {-1, 3, 5, LAST_VC + 1, INT_MIN, INT_MAX}) {
        remove_client(ci, vc);
        EXPECT_EQ(stack_of(ci), 4) << "vc " << vc;
    }
}

} // namespace

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    // A write to a gone client must not end the process: keep the default
    // (fatal) SIGPIPE so such a write would show.
    signal(SIGPIPE, SIG_DFL);
    signal(SIGALRM, watchdog_fired);
    g_ns_ok = devns_enter(&g_ns_why);
    return devns_exit_status(RUN_ALL_TESTS(), g_ns_ok, g_ns_why);
}
