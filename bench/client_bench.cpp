// The client-connection module against the system calls that move its bytes.
//
// Event delivery (do_client) is set beside a bare send() of the same 28 bytes
// with the same flags on the same kind of socket (a connected Unix stream
// pair); admission (accept_client_connection) beside a bare accept() plus one
// 16-byte read() of a record the client wrote before the accept. The program
// runs in a private mount namespace so that /dev/moxctl is its own.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "client.h"
#include "devns.h"

namespace
{

// Events sent between two drains of the receiving end: far below what a
// Unix stream socket's send buffer holds in 28-byte messages, so no send
// ever meets a full buffer (the drain checks that every byte arrived).
constexpr int DRAIN_EVERY = 32;

// The console every benchmark client attaches to.
constexpr int BENCH_VC = 1;

// Clients passed over by modifiers before the one that takes the event.
constexpr int PASSED_OVER = 64;

// Clients already linked for the second admission measurement.
constexpr int LINKED_MANY = 1000;

// The listening socket of the bare accept, beside the module's.
constexpr const char BARE_PATH[] = "/dev/moxbare";

int g_listen_fd = -1; // the module's /dev/moxctl
int g_bare_fd = -1;   // a plain listener of the same kind

Mox_Event move_event()
{
    Mox_Event ev;
    memset(&ev, 0, sizeof ev);
    ev.vc = BENCH_VC;
    ev.dx = 1;
    ev.x = 10;
    ev.y = 5;
    ev.type = MOX_MOVE;
    ev.modifiers = 0x01; // shift held
    return ev;
}

Mox_Connect connect_record(uint16_t min_mod, uint16_t max_mod)
{
    Mox_Connect rec;
    memset(&rec, 0, sizeof rec);
    rec.eventMask = MOX_MOVE | MOX_DOWN | MOX_UP;
    rec.defaultMask = 0;
    rec.minMod = min_mod;
    rec.maxMod = max_mod;
    rec.pid = static_cast<int32_t>(getpid());
    rec.vc = BENCH_VC;
    return rec;
}

bool stream_pair(int fds[2])
{
    return socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0;
}

// Reads everything sent since the last drain; false when a byte is missing,
// which would mean a send was refused and the figure is not a delivery.
bool drain(int fd, size_t expected)
{
    char buf[DRAIN_EVERY * sizeof(Mox_Event)];
    while (expected > 0) {
        ssize_t got = recv(fd, buf, expected < sizeof buf ? expected : sizeof buf, MSG_DONTWAIT);
        if (got <= 0)
            return false;
        expected -= static_cast<size_t>(got);
    }
    return true;
}

// Runs one delivery per iteration and drains the receiver every DRAIN_EVERY
// events with the clock stopped. deliver() returns false on a wrong result.
template <typename Deliver> void deliver_loop(benchmark::State &state, int rx_fd, Deliver deliver)
{
    int pending = 0;
    for (auto _ : state) {
        if (!deliver()) {
            state.SkipWithError("wrong delivery result");
            return;
        }
        if (++pending == DRAIN_EVERY) {
            state.PauseTiming();
            bool ok = drain(rx_fd, pending * sizeof(Mox_Event));
            pending = 0;
            state.ResumeTiming();
            if (!ok) {
                state.SkipWithError("an event was not delivered whole");
                return;
            }
        }
    }
    if (!drain(rx_fd, pending * sizeof(Mox_Event)))
        state.SkipWithError("an event was not delivered whole");
    state.SetItemsProcessed(state.iterations());
}

// The floor: the one system call that moves an event.
void BM_BareSend(benchmark::State &state)
{
    int fds[2];
    if (!stream_pair(fds)) {
        state.SkipWithError("socketpair failed");
        return;
    }
    Mox_Event ev = move_event();
    deliver_loop(state, fds[1], [&] {
        return send(fds[0], &ev, sizeof ev, MSG_NOSIGNAL | MSG_DONTWAIT) ==
               static_cast<ssize_t>(sizeof ev);
    });
    close(fds[0]);
    close(fds[1]);
}

// A stack whose bottom client takes the event, under passed_over clients
// that the walk must pass over by modifiers: half of them need a modifier
// that is not held, half forbid the one that is, so both tests are taken.
client_info *build_stack(int passed_over, int taker_fd, std::vector<client_info *> *all)
{
    client_info *top = nullptr;
    for (int i = 0; i <= passed_over; i++) {
        auto *ci = static_cast<client_info *>(malloc(sizeof(client_info)));
        bool taker = i == 0;
        uint16_t min_mod = taker || i % 2 == 0 ? 0 : 0x04; // 0x04: ctrl, not held
        uint16_t max_mod = taker || i % 2 != 0 ? 0xFF : 0x00;
        ci->data = connect_record(min_mod, max_mod);
        ci->fd = taker ? taker_fd : -1; // never written to: a send there would fail loudly
        ci->next = top;
        top = ci;
        all->push_back(ci);
    }
    return top;
}

void BM_DoClient(benchmark::State &state)
{
    const int passed_over = static_cast<int>(state.range(0));
    int fds[2];
    if (!stream_pair(fds)) {
        state.SkipWithError("socketpair failed");
        return;
    }
    std::vector<client_info *> all;
    client_info *top = build_stack(passed_over, fds[0], &all);
    Mox_Event ev = move_event();
    // The taker wants moves and has no default kinds: the event is finished.
    deliver_loop(state, fds[1], [&] { return do_client(top, &ev) == 1; });
    for (client_info *ci : all)
        free(ci);
    close(fds[0]);
    close(fds[1]);
}

// The walk alone: the same passed-over clients and no taker below them, so
// no system call is made and do_client falls off the bottom (0).
void BM_DoClientWalkOnly(benchmark::State &state)
{
    std::vector<client_info *> all;
    client_info *top = build_stack(static_cast<int>(state.range(0)), -1, &all);
    all.front()->data.minMod = 0x80; // the would-be taker does not fit either
    Mox_Event ev = move_event();
    for (auto _ : state) {
        int r = do_client(top, &ev);
        benchmark::DoNotOptimize(r);
        if (r != 0) {
            state.SkipWithError("a client took the event");
            break;
        }
    }
    for (client_info *ci : all)
        free(ci);
}

// Admission is timed in the thread's CPU time, which counts the system calls'
// kernel work but not the time other processes hold the CPU: on a loaded
// machine wall time mostly measures the neighbours. Reading that clock is
// itself a system call; its cost inside an empty interval is measured once
// and taken off every interval.
double g_clock_cost_s = 0.0;

double cpu_now_s()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void calibrate_clock()
{
    constexpr int SAMPLES = 2001;
    std::vector<double> empty(SAMPLES);
    for (double &d : empty) {
        double t0 = cpu_now_s();
        d = cpu_now_s() - t0;
    }
    std::nth_element(empty.begin(), empty.begin() + SAMPLES / 2, empty.end());
    g_clock_cost_s = empty[SAMPLES / 2];
}

// A client that connects without waiting and writes its first record before
// the server accepts; -1 when the connection could not be made.
int connect_and_send(const char *path, const Mox_Connect *rec)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path);
    if (connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0 ||
        write(fd, rec, sizeof *rec) != static_cast<ssize_t>(sizeof *rec)) {
        close(fd);
        return -1;
    }
    return fd;
}

// Clients admitted through the module and left linked on BENCH_VC, with
// both ends of their sockets open, as a busy server would hold them.
struct linked_clients {
    std::vector<client_info *> records;
    std::vector<int> peers;
};

bool link_clients(int count, linked_clients *linked)
{
    Mox_Connect rec = connect_record(0, 0xFF);
    for (int i = 0; i < count; i++) {
        int peer = connect_and_send(CONTROL_SOCKET_PATH, &rec);
        if (peer < 0)
            return false;
        client_info *ci = accept_client_connection(g_listen_fd);
        if (ci == nullptr) {
            close(peer);
            return false;
        }
        linked->records.push_back(ci);
        linked->peers.push_back(peer);
    }
    return true;
}

void unlink_clients(linked_clients *linked)
{
    for (client_info *ci : linked->records) {
        int fd = ci->fd;
        remove_client(ci, BENCH_VC);
        close(fd);
    }
    for (int fd : linked->peers)
        close(fd);
    linked->records.clear();
    linked->peers.clear();
}

// Admission: one client per iteration, connected and its record written
// before the clock starts. Only the admitting call is timed; admit() returns
// the server's end of the connection (or -1) and release() closes it.
template <typename Admit, typename Release>
void admit_loop(benchmark::State &state, const char *path, Admit admit, Release release)
{
    linked_clients linked;
    if (!link_clients(static_cast<int>(state.range(0)), &linked)) {
        state.SkipWithError("could not link the clients already present");
        unlink_clients(&linked);
        return;
    }
    Mox_Connect rec = connect_record(0, 0xFF);
    for (auto _ : state) {
        int peer = connect_and_send(path, &rec);
        if (peer < 0) {
            state.SkipWithError("connect failed");
            break;
        }
        double t0 = cpu_now_s();
        auto admitted = admit();
        double t1 = cpu_now_s();
        bool ok = release(admitted);
        close(peer);
        if (!ok) {
            state.SkipWithError("admission failed");
            break;
        }
        state.SetIterationTime(t1 - t0 - g_clock_cost_s);
    }
    unlink_clients(&linked);
}

int bare_accept()
{
    sockaddr_un addr;
    socklen_t len = sizeof addr;
    return accept(g_bare_fd, reinterpret_cast<sockaddr *>(&addr), &len);
}

bool bare_release(int fd)
{
    return fd >= 0 && close(fd) == 0;
}

// The floor: accept the connection and read the record that is waiting.
void BM_BareAcceptRead(benchmark::State &state)
{
    admit_loop(
        state, BARE_PATH,
        [] {
            int fd = bare_accept();
            Mox_Connect rec;
            if (fd >= 0 && read(fd, &rec, sizeof rec) != static_cast<ssize_t>(sizeof rec)) {
                close(fd);
                return -1;
            }
            return fd;
        },
        bare_release);
}

// The floor plus the system calls admission cannot do without or chose to
// make: the bounded wait for the first record, then the peer credentials.
// Their differences from the floor are the shares of those calls.
void BM_BareAcceptPollRead(benchmark::State &state)
{
    admit_loop(
        state, BARE_PATH,
        [] {
            int fd = bare_accept();
            pollfd pfd = {fd, POLLIN, 0};
            Mox_Connect rec;
            if (fd >= 0 && (poll(&pfd, 1, 500) != 1 ||
                            read(fd, &rec, sizeof rec) != static_cast<ssize_t>(sizeof rec))) {
                close(fd);
                return -1;
            }
            return fd;
        },
        bare_release);
}

void BM_BareAcceptReadCred(benchmark::State &state)
{
    admit_loop(
        state, BARE_PATH,
        [] {
            int fd = bare_accept();
            Mox_Connect rec;
            ucred cred;
            socklen_t cred_len = sizeof cred;
            if (fd >= 0 && (read(fd, &rec, sizeof rec) != static_cast<ssize_t>(sizeof rec) ||
                            getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &cred_len) != 0)) {
                close(fd);
                return -1;
            }
            return fd;
        },
        bare_release);
}

void BM_AcceptClientConnection(benchmark::State &state)
{
    admit_loop(
        state, CONTROL_SOCKET_PATH, [] { return accept_client_connection(g_listen_fd); },
        [](client_info *ci) {
            if (ci == nullptr)
                return false;
            int fd = ci->fd;
            remove_client(ci, BENCH_VC);
            return close(fd) == 0;
        });
}

BENCHMARK(BM_BareSend);
BENCHMARK(BM_DoClient)->ArgName("passed_over")->Arg(0)->Arg(PASSED_OVER);
BENCHMARK(BM_DoClientWalkOnly)->ArgName("passed_over")->Arg(PASSED_OVER);
BENCHMARK(BM_BareAcceptRead)->ArgName("linked")->Arg(0)->Arg(LINKED_MANY)->UseManualTime();
BENCHMARK(BM_BareAcceptPollRead)->ArgName("linked")->Arg(0)->UseManualTime();
BENCHMARK(BM_BareAcceptReadCred)->ArgName("linked")->Arg(0)->UseManualTime();
BENCHMARK(BM_AcceptClientConnection)->ArgName("linked")->Arg(0)->Arg(LINKED_MANY)->UseManualTime();

int bare_listener(const char *path)
{
    (void) unlink(path);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path);
    if (bind(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0 ||
        listen(fd, 5) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

} // namespace

int main(int argc, char **argv)
{
    // /dev/moxctl lives in this process's own /dev, never the machine's.
    std::string why;
    if (!devns_enter(&why)) {
        fprintf(stderr, "bench_client: %s\n", why.c_str());
        return 77;
    }
    // Both ends of every linked client stay open: twice LINKED_MANY and some.
    rlimit lim = {4096, 4096};
    if (setrlimit(RLIMIT_NOFILE, &lim) != 0)
        fprintf(stderr, "bench_client: setrlimit: %s (the linked cases may skip)\n",
                strerror(errno));

    g_listen_fd = listen_for_clients();
    g_bare_fd = bare_listener(BARE_PATH);
    if (g_listen_fd < 0 || g_bare_fd < 0) {
        fprintf(stderr, "bench_client: no listening socket: %s\n", strerror(errno));
        return 1;
    }

    calibrate_clock();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
