// moxd's cost per pointer event, measured in the amd64 test guest (it needs
// uinput devices and a console), beside the floor of the same work done bare.
//
// One motion of a virtual mouse, from the device to a client's socket:
//  - floor: read the event from the device's node, one TIOCLINUX ioctl (the
//    pointer drawn), one send of the 28-byte record on a Unix stream socket,
//    done by a bare server process blocked on the device (and, for
//    reference, the same calls made in this process, with no wake-up);
//  - moxd: the real server reading the device through libinput, drawing the
//    pointer and sending the record to a client that leaves moves to it too.
// All include the harness's own share: the uinput write that makes the
// event and the receive of the 28 bytes. Then the pointer alone, seen on the
// screen, with and without a client that never reads or one that floods the
// server with requests, and an idle server's wake-ups over ten seconds.

#include <benchmark/benchmark.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/input.h>
#include <linux/tiocl.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "guest.h"
#include "mox.h"
#include "wire.h"

namespace
{

constexpr int COLS = 80;
constexpr int WAIT_MS = 10000;
constexpr int CELL = 8;         // device units per column with flat acceleration
constexpr int POINTER_ROW = 13; // the pointer starts on the middle row
constexpr int IDLE_SECONDS = 10;

vdev g_served; // the device moxd reads (--device)
vdev g_bare;   // the device the floor reads itself
guest_proc g_server;
int g_x = 0; // the pointer's column as the server has it

// The next column and the motion to it: back and forth between two cells.
int step()
{
    int dx = g_x >= COLS / 2 + 1 ? -CELL : CELL;
    g_x += dx / CELL;
    return dx;
}

// A receive that gives up after WAIT_MS: a lost event fails the
// measurement instead of hanging it.
void bound_receive(int fd)
{
    timeval tv = {WAIT_MS / 1000, 0};
    (void) setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

// A client on console 1; answers its button-count request to prove it is in.
int client(uint16_t events, uint16_t defaults)
{
    int fd = connect_control();
    if (fd >= 0)
        bound_receive(fd);
    Mox_Connect r[2] = {};
    r[0].eventMask = events;
    r[0].defaultMask = defaults;
    r[0].maxMod = 0xFFFF;
    r[0].pid = getpid();
    r[0].vc = 1;
    r[1].vc = REQ_BUTTON_COUNT;
    Mox_Event answer;
    if (fd < 0 || send(fd, r, sizeof r, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof r) ||
        recv(fd, &answer, sizeof answer, MSG_WAITALL) != static_cast<ssize_t>(sizeof answer)) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

bool setup()
{
    if (!guest_inside())
        return false;
    if (!console_resize(COLS, 25) || !console_switch(1) || !console_clear(1) ||
        !vdev_create(&g_served, VDEV_MOUSE, "mox bench mouse") ||
        !vdev_create(&g_bare, VDEV_MOUSE, "mox bench bare mouse"))
        return false;
    // At its default log level: a server that logs every request would fill
    // the pipe this program does not read while it measures.
    if (!proc_start(&g_server,
                    {MOXD_PATH, "--device", g_served.node, "--options", "accel=flat,speed=0"}))
        return false;
    for (long deadline = guest_now_ms() + WAIT_MS;; (void) poll(nullptr, 0, 20)) {
        int fd = connect_control();
        if (fd >= 0) {
            close(fd);
            break;
        }
        if (guest_now_ms() > deadline) {
            fprintf(stderr, "moxd did not start\n");
            return false;
        }
    }
    g_x = COLS / 2;
    return true;
}

// The kernel's pointer drawn on cell (x, POINTER_ROW) of tty's console.
int draw_pointer(int tty, int x)
{
    struct __attribute__((packed)) {
        uint8_t code;
        tiocl_selection sel;
    } arg = {TIOCL_SETSEL,
             {static_cast<unsigned short>(x), POINTER_ROW, static_cast<unsigned short>(x),
              POINTER_ROW, TIOCL_SELPOINTER}};
    return ioctl(tty, TIOCLINUX, &arg);
}

// Moves the served mouse until the client's record for it arrives.
bool served_motion(int fd)
{
    if (!vdev_move(&g_served, step(), 0))
        return false;
    Mox_Event ev;
    return recv(fd, &ev, sizeof ev, MSG_WAITALL) == static_cast<ssize_t>(sizeof ev);
}

void BM_Floor_ReadIoctlSend(benchmark::State &state)
{
    int node = open(g_bare.node.c_str(), O_RDONLY | O_CLOEXEC);
    int tty = console_open(1, O_RDWR);
    int pair[2] = {-1, -1};
    if (node < 0 || tty < 0 || socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        state.SkipWithError("cannot open the floor's device, console or sockets");
        return;
    }
    int x = COLS / 2;
    for (auto _ : state) {
        int dx = x > COLS / 2 ? -CELL : CELL;
        x += dx / CELL;
        if (!vdev_move(&g_bare, dx, 0)) {
            state.SkipWithError("uinput write failed");
            break;
        }
        input_event in[2]; // the motion and its SYN_REPORT, read at once
        ssize_t got = read(node, in, sizeof in);
        int drawn = draw_pointer(tty, x);
        Mox_Event ev{};
        ev.x = static_cast<int16_t>(x);
        ev.type = MOX_MOVE;
        ssize_t sent = send(pair[0], &ev, sizeof ev, MSG_NOSIGNAL | MSG_DONTWAIT);
        ssize_t back = recv(pair[1], &ev, sizeof ev, MSG_WAITALL);
        if (got <= 0 || drawn != 0 || sent != sizeof ev || back != sizeof ev) {
            state.SkipWithError("a step of the floor failed");
            break;
        }
    }
    close(node);
    close(tty);
    close(pair[0]);
    close(pair[1]);
}
BENCHMARK(BM_Floor_ReadIoctlSend)->UseRealTime()->MinTime(2.0);

// The floor as a server: another process blocked on the device's node
// reads the event, draws the pointer with one ioctl and sends the record,
// which the measuring side receives, as moxd's client does.
void BM_Floor_BareServer(benchmark::State &state)
{
    int pair[2] = {-1, -1};
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        state.SkipWithError("no socket pair");
        return;
    }
    // opened before the fork: no event may come before the server reads
    int node = open(g_bare.node.c_str(), O_RDONLY | O_CLOEXEC);
    int tty = console_open(1, O_RDWR);
    bound_receive(pair[1]);
    pid_t server = fork();
    if (server == 0) {
        int x = COLS / 2;
        for (;;) {
            input_event in[2];
            if (node < 0 || tty < 0 || read(node, in, sizeof in) <= 0)
                _exit(1);
            x += in[0].value > 0 ? 1 : -1;
            (void) draw_pointer(tty, x);
            Mox_Event ev{};
            ev.x = static_cast<int16_t>(x);
            ev.type = MOX_MOVE;
            if (send(pair[0], &ev, sizeof ev, MSG_NOSIGNAL | MSG_DONTWAIT) != sizeof ev)
                _exit(1);
        }
    }
    int x = COLS / 2;
    for (auto _ : state) {
        int dx = x > COLS / 2 ? -CELL : CELL;
        x += dx / CELL;
        Mox_Event ev;
        if (!vdev_move(&g_bare, dx, 0) ||
            recv(pair[1], &ev, sizeof ev, MSG_WAITALL) != static_cast<ssize_t>(sizeof ev)) {
            state.SkipWithError("the bare server did not answer");
            break;
        }
    }
    kill(server, SIGKILL);
    waitpid(server, nullptr, 0);
    close(pair[0]);
    close(pair[1]);
    close(node);
    close(tty);
}
BENCHMARK(BM_Floor_BareServer)->UseRealTime()->MinTime(2.0);

// The client takes moves and leaves them to the server too (hard), so the
// pointer is drawn for every record the client gets.
void BM_Moxd_MotionToClient(benchmark::State &state)
{
    int fd = client(MOX_MOVE, MOX_MOVE | MOX_HARD);
    if (fd < 0) {
        state.SkipWithError("the client was not admitted");
        return;
    }
    for (auto _ : state) {
        if (!served_motion(fd)) {
            state.SkipWithError("no record for a motion");
            break;
        }
    }
    close(fd);
}
BENCHMARK(BM_Moxd_MotionToClient)->UseRealTime()->MinTime(2.0);

// The pointer alone, seen on the screen: the cell's attribute byte in
// /dev/vcsa1 read until it shows the pointer.
bool pointer_at(int vcsa, int x)
{
    long offset = 4 + 2L * ((POINTER_ROW - 1) * COLS + (x - 1)) + 1;
    for (long deadline = guest_now_ms() + WAIT_MS; guest_now_ms() < deadline;) {
        uint8_t attr = 0;
        if (pread(vcsa, &attr, 1, offset) == 1 && attr_inverted(attr))
            return true;
    }
    return false;
}

// A client beside the pointer: 0 none; 1 one on top that takes every move
// (leaving it to the server too) and never reads; 2 one on another console
// that sends state requests as fast as it can and never reads the answers.
void BM_Moxd_Pointer(benchmark::State &state)
{
    int vcsa = open("/dev/vcsa1", O_RDONLY | O_CLOEXEC);
    int sink = -1;
    pid_t flooder = -1;
    if (state.range(0) == 1)
        sink = client(MOX_MOVE, MOX_MOVE | MOX_HARD);
    if (state.range(0) == 2) {
        flooder = fork();
        if (flooder == 0) {
            int fd = connect_control();
            Mox_Connect r = {};
            r.pid = getpid();
            r.vc = 2;
            (void) send(fd, &r, sizeof r, MSG_NOSIGNAL);
            Mox_Connect req = {};
            req.vc = REQ_STATE;
            for (;;)
                (void) send(fd, &req, sizeof req, MSG_NOSIGNAL);
        }
    }
    if (vcsa < 0 || (state.range(0) == 1 && sink < 0) || (state.range(0) == 2 && flooder < 0)) {
        state.SkipWithError("cannot set up");
        return;
    }
    // the screen is clean and the pointer on it before timing starts
    if (!vdev_move(&g_served, step(), 0) || !pointer_at(vcsa, g_x)) {
        state.SkipWithError("no pointer on the screen");
        return;
    }
    for (auto _ : state) {
        if (!vdev_move(&g_served, step(), 0) || !pointer_at(vcsa, g_x)) {
            state.SkipWithError("the pointer did not move");
            break;
        }
    }
    if (flooder > 0) {
        kill(flooder, SIGKILL);
        waitpid(flooder, nullptr, 0);
    }
    if (sink >= 0)
        close(sink);
    close(vcsa);
    state.SetLabel(state.range(0) == 0   ? "alone"
                   : state.range(0) == 1 ? "beside a client that never reads"
                                         : "beside a client flooding requests");
}
BENCHMARK(BM_Moxd_Pointer)->Arg(0)->Arg(1)->Arg(2)->UseRealTime()->MinTime(2.0);

long voluntary_switches(pid_t pid)
{
    std::string path = "/proc/" + std::to_string(pid) + "/status";
    FILE *f = fopen(path.c_str(), "r");
    long total = -1;
    char line[256];
    while (f != nullptr && fgets(line, sizeof line, f) != nullptr)
        if (sscanf(line, "voluntary_ctxt_switches: %ld", &total) == 1)
            break;
    if (f != nullptr)
        fclose(f);
    return total;
}

// Wake-ups of an idle server: counted by the kernel, over ten seconds.
void BM_Moxd_IdleWakeups(benchmark::State &state)
{
    long woke = 0;
    for (auto _ : state) {
        long before = voluntary_switches(g_server.pid);
        (void) poll(nullptr, 0, IDLE_SECONDS * 1000);
        woke = voluntary_switches(g_server.pid) - before;
    }
    state.counters["wakeups"] = static_cast<double>(woke);
    state.counters["seconds"] = IDLE_SECONDS;
}
BENCHMARK(BM_Moxd_IdleWakeups)->Iterations(1)->UseRealTime();

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (!guest_inside()) {
        fprintf(stderr, "bench_moxd runs only inside the test guest (scripts/bench.sh)\n");
        return 77;
    }
    if (!setup())
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    (void) proc_stop(&g_server, WAIT_MS);
    if (getenv("BENCH_SERVER_LOG") != nullptr)
        fprintf(stderr, "%s", g_server.err.c_str());
    vdev_destroy(&g_served);
    vdev_destroy(&g_bare);
    return 0;
}
