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

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <libevdev/libevdev-uinput.h>
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
#include <vector>

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

// Starts the server at path and waits until it answers.
bool server_start(const char *path)
{
    // At its default log level: a server that logs every request would fill
    // the pipe this program does not read while it measures.
    if (!proc_start(&g_server,
                    {path, "--device", g_served.node, "--options", "accel=flat,speed=0"}))
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

bool setup()
{
    if (!guest_inside())
        return false;
    if (!console_resize(COLS, 25) || !console_switch(1) || !console_clear(1) ||
        !vdev_create(&g_served, VDEV_MOUSE, "mox bench mouse") ||
        !vdev_create(&g_bare, VDEV_MOUSE, "mox bench bare mouse"))
        return false;
    // BENCH_MOXD=PATH: another build of the server (an earlier one, to compare)
    const char *path = getenv("BENCH_MOXD");
    return server_start(path != nullptr ? path : MOXD_PATH);
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
pid_t floor_start(int sock);

void BM_Floor_BareServer(benchmark::State &state)
{
    int pair[2] = {-1, -1};
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        state.SkipWithError("no socket pair");
        return;
    }
    bound_receive(pair[1]);
    pid_t server = floor_start(pair[0]);
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
bool pointer_at(int vcsa, int x, int wait_ms = WAIT_MS)
{
    long offset = 4 + 2L * ((POINTER_ROW - 1) * COLS + (x - 1)) + 1;
    for (long deadline = guest_now_ms() + wait_ms; guest_now_ms() < deadline;) {
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

// ---- streams: the floor, moxd and moxd with a client, frame by frame ------------
//
// The same relative-mouse streams for each: 2000 frames at 1 kHz, each
// crossing a cell and waited for on the screen (latency: the uinput write
// to the pointer's cell inverted in /dev/vcsa1); 5000 frames in bursts of
// 25 written back to back (latency: the burst's last write to its last
// cell shown; 25 frames are 50 events, within the 64 that evdev keeps for
// a reader, so none is dropped while the server waits for the CPU); and a fast mouse, frames every
// 125 us (8 kHz) in bursts of 10 ms with 20 ms between them, one second of motion in all. CPU is
// the server's own (all its threads: /proc/PID/schedstat, in ns).

enum target_kind : int { T_FLOOR, T_MOXD, T_MOXD_CLIENT, T_FLOOR_SEND };
enum stream_kind : int { S_1KHZ, S_BURSTS, S_8KHZ };
constexpr int BURST = 25;
constexpr int LOST_MS = 1000; // a burst's last cell not shown by then: frames were lost
constexpr int SWEEP_FROM = 10, SWEEP_TO = 70; // columns the pointer sweeps

// The next column of a pointer sweeping between SWEEP_FROM and SWEEP_TO,
// and the motion to it in device units.
int sweep(int *x, int *dir)
{
    if (*x >= SWEEP_TO)
        *dir = -1;
    else if (*x <= SWEEP_FROM)
        *dir = 1;
    *x += *dir;
    return *dir * CELL;
}

// One frame (the motion and its SYN_REPORT) in one write.
bool write_frame(vdev *d, int dx)
{
    input_event ev[2] = {};
    ev[0].type = EV_REL;
    ev[0].code = REL_X;
    ev[0].value = dx;
    ev[1].type = EV_SYN;
    ev[1].code = SYN_REPORT;
    return write(libevdev_uinput_get_fd(d->ui), ev, sizeof ev) == static_cast<ssize_t>(sizeof ev);
}

// CPU time of every thread of pid so far, in ns.
long long cpu_ns(pid_t pid)
{
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    long long total = 0;
    DIR *tasks = opendir(dir.c_str());
    while (tasks != nullptr) {
        dirent *e = readdir(tasks);
        if (e == nullptr)
            break;
        if (e->d_name[0] == '.')
            continue;
        FILE *f = fopen((dir + "/" + e->d_name + "/schedstat").c_str(), "r");
        long long ns = 0;
        if (f != nullptr && fscanf(f, "%lld", &ns) == 1)
            total += ns;
        if (f != nullptr)
            fclose(f);
    }
    if (tasks != nullptr)
        closedir(tasks);
    return total;
}

// The user and system clock ticks of pid so far (/proc/PID/stat, every
// thread), for the kernel's share of its CPU time.
void cpu_ticks(pid_t pid, long *user, long *sys)
{
    *user = *sys = 0;
    FILE *f = fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    char buf[1024];
    size_t got = f != nullptr ? fread(buf, 1, sizeof buf - 1, f) : 0;
    if (f != nullptr)
        fclose(f);
    buf[got] = '\0';
    const char *after = strrchr(buf, ')'); // the name may hold spaces
    if (after != nullptr)
        (void) sscanf(after + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld", user, sys);
}

long long now_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

void sleep_until(long long ns)
{
    timespec ts = {static_cast<time_t>(ns / 1000000000LL), static_cast<long>(ns % 1000000000LL)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

// A process that reads everything that arrives on fd until it closes, as a
// client that keeps up does.
pid_t reader_start(int fd)
{
    pid_t pid = fork();
    if (pid == 0) {
        char buf[4096];
        while (recv(fd, buf, sizeof buf, 0) > 0) {
        }
        _exit(0);
    }
    return pid;
}

// A client process on moxd that takes every move (leaving it to the server
// too) and reads its records; started once it is admitted.
pid_t client_start()
{
    int ready[2];
    if (pipe(ready) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        close(ready[0]);
        int fd = client(MOX_MOVE, MOX_MOVE | MOX_HARD);
        if (fd < 0)
            _exit(1);
        timeval none = {0, 0};
        (void) setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none);
        (void) write(ready[1], "y", 1);
        char buf[4096];
        while (recv(fd, buf, sizeof buf, 0) > 0) {
        }
        _exit(0);
    }
    close(ready[1]);
    char c = 0;
    bool in = pid > 0 && read(ready[0], &c, 1) == 1;
    close(ready[0]);
    if (!in && pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return -1;
    }
    return pid;
}

// The floor as a server: reads one frame at a time from the device, draws
// the pointer with one ioctl per frame and, with a socket, sends the record.
pid_t floor_start(int sock)
{
    int node = open(g_bare.node.c_str(), O_RDONLY | O_CLOEXEC);
    int tty = console_open(1, O_RDWR);
    pid_t pid = fork();
    if (pid == 0) {
        int x = COLS / 2;
        for (;;) {
            input_event in[2];
            if (node < 0 || tty < 0 || read(node, in, sizeof in) <= 0)
                _exit(1);
            x += in[0].value > 0 ? 1 : -1;
            (void) draw_pointer(tty, x);
            if (sock >= 0) {
                Mox_Event ev{};
                ev.x = static_cast<int16_t>(x);
                ev.type = MOX_MOVE;
                (void) send(sock, &ev, sizeof ev, MSG_NOSIGNAL | MSG_DONTWAIT);
            }
        }
    }
    close(node);
    close(tty);
    return pid;
}

struct stream_target {
    vdev *dev;
    int *x; // the pointer's column as this server has it
    int dir;
    pid_t server;     // whose CPU counts
    pid_t helpers[2]; // client or reader, floor process: stopped after
    int floor_x;      // the floor starts in the middle every time
};

// moxd's pointer taken to the left edge, where its column is known whatever
// an earlier run left behind or frames were lost.
bool moxd_from_left_edge(stream_target *t)
{
    int vcsa = open("/dev/vcsa1", O_RDONLY | O_CLOEXEC);
    bool known = vcsa >= 0 && write_frame(t->dev, -CELL * COLS * 2) && pointer_at(vcsa, 1);
    if (vcsa >= 0)
        close(vcsa);
    g_x = 1;
    return known;
}

bool target_start(int kind, stream_target *t)
{
    *t = {};
    t->helpers[0] = t->helpers[1] = -1;
    t->dir = 1;
    if (kind == T_MOXD || kind == T_MOXD_CLIENT) {
        t->dev = &g_served;
        t->x = &g_x;
        t->server = g_server.pid;
        if (kind == T_MOXD_CLIENT && (t->helpers[0] = client_start()) < 0)
            return false;
        return moxd_from_left_edge(t);
    }
    t->dev = &g_bare;
    t->floor_x = COLS / 2;
    t->x = &t->floor_x;
    int pair[2] = {-1, -1};
    if (kind == T_FLOOR_SEND) {
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
            return false;
        t->helpers[0] = reader_start(pair[1]);
    }
    t->server = t->helpers[1] = floor_start(pair[0]);
    if (pair[0] >= 0) {
        close(pair[0]);
        close(pair[1]);
    }
    return t->server > 0;
}

void target_stop(stream_target *t)
{
    for (pid_t p : t->helpers) {
        if (p > 0) {
            kill(p, SIGKILL);
            waitpid(p, nullptr, 0);
        }
    }
}

// Writes one frame and, unless later is set, waits for its cell on screen.
bool frame_and_wait(stream_target *t, int vcsa, bool wait)
{
    if (!write_frame(t->dev, sweep(t->x, &t->dir)))
        return false;
    return !wait || pointer_at(vcsa, *t->x);
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

const char *const TARGET_NAMES[] = {"floor", "moxd", "moxd+client", "floor+send"};
const char *const STREAM_NAMES[] = {"1kHz", "bursts", "8kHz bursts"};

void BM_Stream(benchmark::State &state)
{
    int kind = static_cast<int>(state.range(0));
    int stream = static_cast<int>(state.range(1));
    int vcsa = open("/dev/vcsa1", O_RDONLY | O_CLOEXEC);
    stream_target t;
    if (vcsa < 0 || !target_start(kind, &t)) {
        state.SkipWithError("cannot start the target");
        return;
    }
    // the pointer is on the screen before timing starts
    if (!frame_and_wait(&t, vcsa, true)) {
        state.SkipWithError("no pointer on the screen");
        target_stop(&t);
        return;
    }
    std::vector<double> lat_us;
    int frames = 0;
    int lost = 0; // 8 kHz bursts whose last cell was never shown
    long long motion_ns = 0;
    long long cpu = 0;
    long user0 = 0, sys0 = 0, user1 = 0, sys1 = 0;
    for (auto _ : state) {
        cpu_ticks(t.server, &user0, &sys0);
        long long cpu0 = cpu_ns(t.server);
        bool ok = true;
        if (stream == S_1KHZ) {
            long long start = now_ns();
            for (int i = 0; i < 2000 && ok; i++) {
                sleep_until(start + i * 1000000LL);
                long long t0 = now_ns();
                ok = frame_and_wait(&t, vcsa, true);
                lat_us.push_back(static_cast<double>(now_ns() - t0) / 1000.0);
            }
            frames = 2000;
            motion_ns = 2000 * 1000000LL;
        } else if (stream == S_BURSTS) {
            for (int b = 0; b < 5000 / BURST && ok; b++) {
                for (int i = 0; i < BURST - 1 && ok; i++)
                    ok = frame_and_wait(&t, vcsa, false);
                long long t0 = now_ns();
                ok = ok && frame_and_wait(&t, vcsa, true);
                lat_us.push_back(static_cast<double>(now_ns() - t0) / 1000.0);
            }
            frames = 5000;
        } else {
            for (int b = 0; b < 100 && ok; b++) {
                long long start = now_ns();
                for (int i = 0; i < 80 && ok; i++) {
                    sleep_until(start + i * 125000LL);
                    ok = frame_and_wait(&t, vcsa, false);
                }
                long long t0 = now_ns();
                // frames lost (the device's buffer of 64 events overflowed
                // while the server waited for the CPU) are counted; moxd is
                // then taken to a known cell, the floor cannot be
                if (ok && !pointer_at(vcsa, *t.x, LOST_MS)) {
                    lost++;
                    ok = t.x == &g_x && moxd_from_left_edge(&t);
                    continue;
                }
                lat_us.push_back(static_cast<double>(now_ns() - t0) / 1000.0);
                sleep_until(start + 30000000LL);
            }
            frames = 8000;
            motion_ns = 100 * 10000000LL;
        }
        cpu = cpu_ns(t.server) - cpu0;
        cpu_ticks(t.server, &user1, &sys1);
        if (!ok) {
            state.SkipWithError("the pointer did not follow");
            break;
        }
    }
    target_stop(&t);
    close(vcsa);
    state.counters["lat_p50_us"] = percentile(lat_us, 0.5);
    state.counters["lat_p99_us"] = percentile(lat_us, 0.99);
    state.counters["cpu_per_1000_us"] = static_cast<double>(cpu) / frames;
    long ticks = (user1 - user0) + (sys1 - sys0);
    state.counters["kernel_pct"] = ticks > 0 ? 100.0 * static_cast<double>(sys1 - sys0) / ticks : 0;
    if (stream == S_8KHZ)
        state.counters["lost_bursts"] = lost;
    if (stream == S_8KHZ)
        state.counters["cpu_per_motion_s_ms"] = static_cast<double>(cpu) / (motion_ns / 1000);
    state.SetLabel(std::string(TARGET_NAMES[kind]) + ", " + STREAM_NAMES[stream]);
}
BENCHMARK(BM_Stream)
    ->ArgsProduct({{T_FLOOR, T_MOXD, T_MOXD_CLIENT, T_FLOOR_SEND}, {S_1KHZ, S_BURSTS, S_8KHZ}})
    ->Iterations(1)
    ->UseRealTime();

// System calls per frame: strace -c attached to the server (every thread)
// over 1000 frames at 1 kHz, each waited for on the screen. Only where
// strace was copied into the guest (scripts/bench.sh does it).
constexpr char STRACE[] = "/usr/bin/strace";

void BM_SyscallsPerFrame(benchmark::State &state)
{
    int kind = static_cast<int>(state.range(0));
    int vcsa = open("/dev/vcsa1", O_RDONLY | O_CLOEXEC);
    stream_target t;
    if (access(STRACE, X_OK) != 0) {
        state.SkipWithError("no strace in the guest");
        return;
    }
    if (vcsa < 0 || !target_start(kind, &t) || !frame_and_wait(&t, vcsa, true)) {
        state.SkipWithError("cannot start the target");
        return;
    }
    const char out[] = "/tmp/bench-strace.txt";
    double per_frame = -1;
    for (auto _ : state) {
        guest_proc tracer;
        if (!proc_start(&tracer, {STRACE, "-c", "-f", "-o", out, "-p", std::to_string(t.server)}) ||
            !proc_wait_line(&tracer, "attached", WAIT_MS)) {
            state.SkipWithError("strace did not attach");
            break;
        }
        (void) poll(nullptr, 0, 300);
        constexpr int FRAMES = 1000;
        bool ok = true;
        long long start = now_ns();
        for (int i = 0; i < FRAMES && ok; i++) {
            sleep_until(start + i * 1000000LL);
            ok = frame_and_wait(&t, vcsa, true);
        }
        (void) proc_signal(&tracer, SIGINT);
        (void) proc_wait_exit(&tracer, WAIT_MS);
        FILE *f = fopen(out, "r");
        char line[256];
        // the table itself on request: it would break the JSON on the console
        bool table = getenv("BENCH_SYSCALL_TABLES") != nullptr;
        if (table)
            fprintf(stderr, "== system calls of %s over %d frames\n", TARGET_NAMES[kind], FRAMES);
        while (f != nullptr && fgets(line, sizeof line, f) != nullptr) {
            if (table)
                fputs(line, stderr);
            double pct = 0, secs = 0;
            long usecs = 0, calls = 0;
            if (strstr(line, "total") != nullptr &&
                sscanf(line, "%lf %lf %ld %ld", &pct, &secs, &usecs, &calls) == 4)
                per_frame = static_cast<double>(calls) / FRAMES;
        }
        if (f != nullptr)
            fclose(f);
        if (!ok)
            state.SkipWithError("the pointer did not follow");
    }
    target_stop(&t);
    close(vcsa);
    state.counters["syscalls_per_frame"] = per_frame;
    state.SetLabel(TARGET_NAMES[kind]);
}
BENCHMARK(BM_SyscallsPerFrame)->DenseRange(T_FLOOR, T_FLOOR_SEND)->Iterations(1)->UseRealTime();

// Voluntary context switches of every thread of pid.
long voluntary_switches(pid_t pid)
{
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    long total = 0;
    DIR *tasks = opendir(dir.c_str());
    if (tasks == nullptr)
        return -1;
    for (dirent *e; (e = readdir(tasks)) != nullptr;) {
        if (e->d_name[0] == '.')
            continue;
        FILE *f = fopen((dir + "/" + e->d_name + "/status").c_str(), "r");
        char line[256];
        long n = 0;
        while (f != nullptr && fgets(line, sizeof line, f) != nullptr)
            if (sscanf(line, "voluntary_ctxt_switches: %ld", &n) == 1)
                break;
        total += n;
        if (f != nullptr)
            fclose(f);
    }
    closedir(tasks);
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
