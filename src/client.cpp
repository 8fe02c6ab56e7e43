/* client.cpp: the control socket of the console mouse server and the clients
 * attached to it.
 *
 * Client programs connect to CONTROL_SOCKET_PATH and send 16-byte Mox_Connect
 * records; the first one names the console they attach to. Admitted clients
 * sit in one stack per console (newest on top), receive the mouse events of
 * that console as 28-byte Mox_Event records and may ask for the console
 * state. The server's main loop drives everything: nothing here blocks on a
 * client for longer than FIRST_RECORD_WAIT_MS, and all the waiting together
 * stays within a small share of the time, whoever connects (see the
 * allowance below).
 *
 * The socket is open to every local user and the server runs as root, so
 * what a client sends is never trusted: its first record is read under the
 * time allowance, one user holds at most USER_CLIENT_LIMIT clients, the
 * resize signal reaches only processes the client's user could signal
 * itself, and a server out of descriptors still takes queued connections
 * off the socket. */

#include "client.h"
#include "console.h"
#include "moxInt.h"

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

/* The C library's pidfd header declares these without C linkage when read
 * by a C++ compiler, which would leave the object needing mangled names;
 * they are declared here as the C functions they are. */
extern "C" int pidfd_open(pid_t pid, unsigned int flags) noexcept;
extern "C" int pidfd_send_signal(int pidfd, int sig, siginfo_t *info, unsigned int flags) noexcept;

client_info *cinfo[LAST_VC + 1];

namespace
{

/* Reports name this file, without directories. */
constexpr const char SRC_FILE[] = "client.cpp";

constexpr int LISTEN_BACKLOG = 5;
constexpr mode_t SOCKET_MODE = 0777; /* any user may connect; admission decides */

/* The bound address covers the family field and the path without its NUL. */
constexpr socklen_t CONTROL_ADDR_LEN =
    static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + sizeof CONTROL_SOCKET_PATH - 1);
static_assert(CONTROL_ADDR_LEN == 13, "control socket address is 13 bytes");

/* A connecting client must send its first record within this time: the
 * first read happens in the server's only thread, so a silent client would
 * otherwise stop every console's mouse. Clients write their record right
 * after connecting, so it is nearly always there already; this covers one
 * that writes a little later (50 ms is fine) while staying under 100 ms, so
 * that one wait never holds the mouse for longer than that. */
constexpr int FIRST_RECORD_WAIT_MS = 75;

/* One wait per connection is not enough of a bound: a user who connects
 * over and over without writing would make the waits follow each other and
 * freeze the mouse for as long as they keep at it. So the waiting is paid
 * for out of one allowance, a token bucket in microseconds shared by every
 * connection: it holds at most one whole wait and fills at 25 ms per second.
 * On a quiet server a late client gets the whole FIRST_RECORD_WAIT_MS; in a
 * flood of silent connections the module waits at most 75 ms plus 2.5% of
 * the time, and refuses the rest at once (a client that has written its
 * record before being accepted does not need the allowance). A new control
 * socket starts with a full allowance. */
constexpr int64_t WAIT_ALLOWANCE_MAX_US = FIRST_RECORD_WAIT_MS * 1000;
constexpr int64_t WAIT_REFILL_DIVISOR = 40; /* 1 us of waiting per 40 us: 25 ms/s */
static_assert(WAIT_ALLOWANCE_MAX_US / 1000 == FIRST_RECORD_WAIT_MS, "one whole wait");

/* The clients one user other than root may hold at once. Console owners run
 * a handful (a selection helper, an editor or two per console); 32 is
 * generous for that, yet keeps any one user far from the server's
 * descriptor limit (1024 by default). Root is not limited: the server's own
 * tools may hold many. */
constexpr int USER_CLIENT_LIMIT = 32;

/* /proc/PID/status, read far enough to hold its Uid line (the name before
 * it is at most 64 bytes escaped). */
constexpr size_t STATUS_READ_MAX = 1024;
constexpr size_t STATUS_PATH_MAX = 32;

/* Event kinds routed by eventMask: move, drag, down, up, enter, leave. The
 * click-count and flag bits travel with an event but never select a client. */
constexpr uint32_t ROUTED_KINDS = MOX_MOVE | MOX_DRAG | MOX_DOWN | MOX_UP | MOX_ENTER | MOX_LEAVE;
static_assert(ROUTED_KINDS == 0x60F, "routed kinds");

/* Button counts carried in the type field of a request's answer. */
constexpr uint8_t BUTTONS_TWO = 2;
constexpr uint8_t BUTTONS_THREE = 3;

/* The answer to state and button-count requests. Kept for the whole run: a
 * field a request does not refresh keeps its last value. */
Mox_Event reply_event;

/* The waiting allowance: what is left, and when it was last topped up
 * (-1: not yet, the allowance is full). */
int64_t wait_allowance_us = WAIT_ALLOWANCE_MAX_US;
int64_t allowance_stamp_us = -1;

/* A descriptor held in reserve for the moment the server has no other: see
 * shed_queued_connection. -1 when none could be had; it is then tried for
 * again at each accept, once listen_for_clients has asked for it. */
int reserve_fd = -1;
bool reserve_wanted = false;

bool vc_in_table(int vc)
{
    return vc >= 0 && vc <= LAST_VC;
}

/* Writes one event without waiting and without SIGPIPE. A 28-byte send on a
 * stream socket is queued whole or refused whole, so a client whose buffer
 * is full loses this record and never sees part of one; a gone peer only
 * makes the send fail. */
void send_event(int fd, const Mox_Event *ev)
{
    (void) send(fd, ev, sizeof *ev, MSG_NOSIGNAL | MSG_DONTWAIT);
}

/* One read of a whole record, no retry: 1 = record, 0 = end of stream,
 * -1 = failure or short read (the bytes read are lost). */
int get_data(int fd, Mox_Connect *data)
{
    ssize_t got = read(fd, data, sizeof *data);
    if (got == 0)
        return 0;
    if (got == static_cast<ssize_t>(sizeof *data))
        return 1;
    return -1;
}

int64_t now_us()
{
    timespec now;
    (void) clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

/* True once fd has something to read (data, end of stream or an error)
 * within timeout_ms. */
bool wait_readable(int fd, int timeout_ms)
{
    const int64_t deadline = now_us() + static_cast<int64_t>(timeout_ms) * 1000;
    for (;;) {
        int64_t left_us = deadline - now_us();
        int left = left_us > 0 ? static_cast<int>((left_us + 999) / 1000) : 0;
        pollfd pfd = {fd, POLLIN, 0};
        int ready = poll(&pfd, 1, left);
        if (ready > 0)
            return true;
        if (ready == 0 || errno != EINTR || left == 0)
            return false;
    }
}

/* Tops the allowance up for the time gone by and returns how long the next
 * wait may be, in whole milliseconds. */
int allowed_wait_ms()
{
    int64_t now = now_us();
    if (allowance_stamp_us >= 0) {
        int64_t gained = (now - allowance_stamp_us) / WAIT_REFILL_DIVISOR;
        wait_allowance_us += gained;
        if (wait_allowance_us > WAIT_ALLOWANCE_MAX_US)
            wait_allowance_us = WAIT_ALLOWANCE_MAX_US;
    }
    allowance_stamp_us = now;
    return static_cast<int>(wait_allowance_us / 1000);
}

/* Pays for a wait out of the allowance. */
void charge_wait(int64_t spent_us)
{
    wait_allowance_us -= spent_us;
    if (wait_allowance_us < 0)
        wait_allowance_us = 0;
}

/* The first record of a new connection. A client writes it as soon as it
 * has connected, so it is nearly always queued by the time it is accepted:
 * a read that does not wait takes it without the poll, which only a client
 * that has not written yet pays for, out of the allowance. Nothing is
 * consumed by the refused non-waiting read, so it is still one read of
 * whatever the client sent. */
int get_first_record(int fd, Mox_Connect *data)
{
    ssize_t got = recv(fd, data, sizeof *data, MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        int wait_ms = allowed_wait_ms();
        if (wait_ms > FIRST_RECORD_WAIT_MS)
            wait_ms = FIRST_RECORD_WAIT_MS;
        int64_t start = now_us();
        bool ready = wait_readable(fd, wait_ms);
        charge_wait(now_us() - start);
        if (!ready)
            return -1;
        return get_data(fd, data);
    }
    if (got == 0)
        return 0;
    return got == static_cast<ssize_t>(sizeof *data) ? 1 : -1;
}

/* The peer's credentials on a connected socket: 0, or the error number
 * (EINVAL for an answer of the wrong size). */
int peer_credentials(int fd, ucred *cred)
{
    memset(cred, 0, sizeof *cred);
    socklen_t len = sizeof *cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, cred, &len) < 0)
        return errno;
    return len == sizeof *cred ? 0 : EINVAL;
}

/* The linked clients whose peer is uid, counted up to enough. A client
 * whose socket the module has closed (fd -1) holds nothing any more. */
int clients_of_user(uid_t uid, int enough)
{
    int n = 0;
    for (int vc = 0; vc <= LAST_VC; vc++) {
        for (const client_info *ci = cinfo[vc]; ci != nullptr; ci = ci->next) {
            ucred cred;
            if (ci->fd < 0 || peer_credentials(ci->fd, &cred) != 0 || cred.uid != uid)
                continue;
            if (++n >= enough)
                return n;
        }
    }
    return n;
}

/* Root may attach to any console; anyone else only to a console they own. */
bool may_attach(uid_t uid, int vc)
{
    return uid == 0 || is_console_owner(vc, uid) != 0;
}

client_info *refuse(client_info *ci, int fd)
{
    free(ci);
    (void) close(fd);
    return nullptr;
}

void take_reserve()
{
    if (reserve_fd < 0 && reserve_wanted)
        reserve_fd = eventfd(0, EFD_CLOEXEC);
}

/* accept fails with EMFILE or ENFILE before it takes a connection off the
 * queue: the listening socket stays readable and a main loop that polls it
 * would call again at once, for as long as the shortage lasts. So the
 * reserve descriptor is given up for a moment, the waiting connection
 * accepted on its number and closed (its client sees the end of stream),
 * and the reserve taken again: each call then settles one queued client. */
void shed_queued_connection(int fd)
{
    pollfd pfd = {fd, POLLIN, 0};
    if (reserve_fd < 0 || poll(&pfd, 1, 0) != 1)
        return;
    (void) close(reserve_fd);
    reserve_fd = -1;
    int cfd = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (cfd >= 0)
        (void) close(cfd);
    take_reserve();
}

/* The real and saved user ids of process pid, from its status file; false
 * when it cannot be read (no such process, no /proc, no descriptor). The
 * process name on the line before is escaped by the kernel, so the first
 * "Uid:" line is the real one. */
bool process_uids(pid_t pid, uid_t *real, uid_t *saved)
{
    char path[STATUS_PATH_MAX];
    (void) snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char text[STATUS_READ_MAX + 1];
    ssize_t got = read(fd, text, STATUS_READ_MAX);
    (void) close(fd);
    if (got <= 0)
        return false;
    text[got] = '\0';
    const char *p = strstr(text, "\nUid:");
    if (p == nullptr)
        return false;
    p += strlen("\nUid:");
    /* "Uid:" real, effective, saved, file system */
    unsigned long long ids[3];
    for (unsigned long long &id : ids) {
        char *end = nullptr;
        errno = 0;
        id = strtoull(p, &end, 10);
        if (end == p || errno != 0 || id > UINT32_MAX)
            return false;
        p = end;
    }
    *real = static_cast<uid_t>(ids[0]);
    *saved = static_cast<uid_t>(ids[2]);
    return true;
}

/* kill()'s own rule for an unprivileged sender: the target's real or saved
 * user id is the sender's. (SO_PEERCRED gives the peer's effective uid.) */
bool user_may_signal(uid_t uid, pid_t pid)
{
    uid_t real, saved;
    return process_uids(pid, &real, &saved) && (real == uid || saved == uid);
}

/* Sends SIGWINCH to the process a client named, if its user may signal it.
 *
 * The check and the signal must concern one process: a pid can be reused
 * once its process has ended and been reaped. pidfd_open pins the process
 * that holds pid now; its status is read next and the signal goes through
 * the pidfd, which fails if that process has been reaped meanwhile. So the
 * signal reaches only the process that held pid when it was opened, and only
 * when the status read while it still held pid showed it as the user's.
 * Where the kernel has no pidfd_open the check is made on the pid and
 * followed by kill(): the pid would have to be freed and handed out again
 * between the two calls to go astray. Whatever fails (no process, no /proc,
 * no descriptor free) means no signal. Root clients name any process, as
 * root could signal it anyway. */
void signal_resize(const client_info *ci)
{
    const pid_t pid = ci->data.pid;
    ucred cred;
    if (ci->fd < 0 || peer_credentials(ci->fd, &cred) != 0)
        return;
    if (cred.uid == 0) {
        (void) kill(pid, SIGWINCH);
        return;
    }
    int pidfd = pidfd_open(pid, 0);
    if (pidfd < 0) {
        /* EINVAL: a thread's id rather than a process's */
        if ((errno == ENOSYS || errno == EINVAL) && user_may_signal(cred.uid, pid))
            (void) kill(pid, SIGWINCH);
        return;
    }
    if (user_may_signal(cred.uid, pid))
        (void) pidfd_send_signal(pidfd, SIGWINCH, nullptr, 0);
    (void) close(pidfd);
}

} // namespace

/* Creates the control socket afresh, open to every user, and returns the
 * listening descriptor. A socket left by an earlier run is replaced. The
 * allowance for waiting starts full, and the reserve descriptor is taken
 * here if it is not held yet. */
int listen_for_clients(void)
{
    (void) unlink(CONTROL_SOCKET_PATH);

    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        mox_report(__LINE__, SRC_FILE, MOX_SEV_FATAL, "socket()");
        return -1;
    }

    sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    static_assert(sizeof CONTROL_SOCKET_PATH <= sizeof addr.sun_path, "path fits");
    memcpy(addr.sun_path, CONTROL_SOCKET_PATH, sizeof CONTROL_SOCKET_PATH);
    if (bind(fd, reinterpret_cast<const sockaddr *>(&addr), CONTROL_ADDR_LEN) < 0) {
        mox_report(__LINE__, SRC_FILE, MOX_SEV_FATAL, "Problem binding %s", CONTROL_SOCKET_PATH);
        (void) close(fd);
        return -1;
    }

    (void) chmod(CONTROL_SOCKET_PATH, SOCKET_MODE);
    (void) listen(fd, LISTEN_BACKLOG);
    wait_allowance_us = WAIT_ALLOWANCE_MAX_US;
    allowance_stamp_us = -1;
    reserve_wanted = true;
    take_reserve();
    return fd;
}

/* Accepts one client from the listening socket fd and admits it, or refuses
 * it (closing its socket). The returned record belongs to cinfo. */
client_info *accept_client_connection(int fd)
{
    sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    socklen_t addr_len = sizeof addr;
    take_reserve(); /* if it was lost at the last shortage */
    int cfd = accept4(fd, reinterpret_cast<sockaddr *>(&addr), &addr_len, SOCK_CLOEXEC);
    if (cfd < 0) {
        int err = errno;
        mox_report(__LINE__, SRC_FILE, MOX_SEV_WARN, "accept() failed: %s", strerror(err));
        if (err == EMFILE || err == ENFILE)
            shed_queued_connection(fd);
        return nullptr;
    }
    mox_report(__LINE__, SRC_FILE, MOX_SEV_TRACE, "Connecting at fd %i", cfd);

    client_info *ci = static_cast<client_info *>(malloc(sizeof *ci));
    if (ci == nullptr) {
        mox_report(__LINE__, SRC_FILE, MOX_SEV_FATAL, "I couln't get any memory! I die! :(");
        (void) close(cfd);
        return nullptr;
    }
    memset(ci, 0, sizeof *ci);

    /* Silent, closed and short first records are turned away without a word. */
    if (get_first_record(cfd, &ci->data) != 1)
        return refuse(ci, cfd);

    int vc = ci->data.vc;
    if (vc > LAST_VC) {
        mox_report(__LINE__, SRC_FILE, MOX_SEV_REFUSE, "Request on vc %i > %i", vc, LAST_VC);
        return refuse(ci, cfd);
    }
    if (vc < 0)
        return refuse(ci, cfd);

    ucred cred;
    int err = peer_credentials(cfd, &cred);
    if (err != 0) {
        mox_report(__LINE__, SRC_FILE, MOX_SEV_WARN, "getsockopt(SO_PEERCRED): %s", strerror(err));
        return refuse(ci, cfd);
    }
    mox_report(__LINE__, SRC_FILE, MOX_SEV_DETAIL, "peer socket uid = %d",
               static_cast<int>(cred.uid));

    if (!may_attach(cred.uid, vc)) {
        mox_report(__LINE__, SRC_FILE, MOX_SEV_REFUSE,
                   "Failed mox connect attempt by uid %d for vc %d", static_cast<int>(cred.uid),
                   vc);
        return refuse(ci, cfd);
    }
    if (cred.uid != 0 && clients_of_user(cred.uid, USER_CLIENT_LIMIT) >= USER_CLIENT_LIMIT) {
        mox_report(__LINE__, SRC_FILE, MOX_SEV_REFUSE,
                   "Too many mox connections by uid %d for vc %d", static_cast<int>(cred.uid), vc);
        return refuse(ci, cfd);
    }

    ci->fd = cfd;
    ci->next = cinfo[vc];
    cinfo[vc] = ci;
    mox_report(__LINE__, SRC_FILE, MOX_SEV_DETAIL,
               "Pid %i, vc %i, ev %02X, def %02X, minm %02X, maxm %02X", ci->data.pid, vc,
               static_cast<unsigned>(ci->data.eventMask),
               static_cast<unsigned>(ci->data.defaultMask), static_cast<unsigned>(ci->data.minMod),
               static_cast<unsigned>(ci->data.maxMod));
    return ci;
}

/* Unlinks ci from stack vc and frees it; its socket is left to the caller. */
void remove_client(client_info *ci, int vc)
{
    if (!vc_in_table(vc) || cinfo[vc] == nullptr)
        return;
    if (cinfo[vc] == ci) {
        cinfo[vc] = ci->next;
        free(ci);
        return;
    }
    for (client_info *above = cinfo[vc]; above->next != nullptr; above = above->next) {
        if (above->next == ci) {
            above->next = ci->next;
            free(ci);
            return;
        }
    }
}

/* Reads one record from ci's socket: a replacement connect record (pid set)
 * or a request (pid 0, code in vc). 1 = handled, 0 = the client closed and
 * its socket is closed now (fd set to -1, so that the number, which the
 * next connection may get, is not the record's any more), -1 = out-of-range
 * vc or a failed/short read. */
int process_client_request(client_info *ci, int vc, int x, int y, int buttons, int clicks,
                           int three_button_mouse)
{
    Mox_Event &event = reply_event;
    Mox_Connect rec;

    mox_report(__LINE__, SRC_FILE, MOX_SEV_TRACE, "Request on %i (console %i)", ci->fd, vc);
    if (vc > LAST_VC)
        return -1;
    if (vc == -1) {
        mox_report(__LINE__, SRC_FILE, MOX_SEV_FATAL, "Unknown fd selected");
        return -1;
    }

    int got = get_data(ci->fd, &rec);
    if (got == 0) {
        mox_report(__LINE__, SRC_FILE, MOX_SEV_TRACE, "Closing");
        (void) close(ci->fd);
        ci->fd = -1;
        return 0;
    }
    if (got < 0)
        return -1;

    /* A record with a pid is a new connect record; it is kept as it stands
     * and does not move the client to another stack. The pid is checked
     * when it is signalled. */
    if (rec.pid != 0) {
        ci->data = rec;
        return 1;
    }

    switch (rec.vc) {
    case REQ_STATE:
        event.vc = static_cast<uint16_t>(get_console_state(&event.modifiers));
        event.x = static_cast<int16_t>(x);
        event.y = static_cast<int16_t>(y);
        event.buttons = static_cast<uint8_t>(buttons);
        event.clicks = clicks;
        event.dx = static_cast<int16_t>(console.max_x);
        event.dy = static_cast<int16_t>(console.max_y);
        [[fallthrough]];
    case REQ_BUTTON_COUNT:
        event.type = three_button_mouse == 1 ? BUTTONS_THREE : BUTTONS_TWO;
        send_event(ci->fd, &event);
        return 1;
    case REQ_NO_PASTE:
        selection_disable_paste();
        mox_report(__LINE__, SRC_FILE, MOX_SEV_TRACE,
                   "disabling pasting per request from virtual console (%d)", vc);
        return 1;
    default:
        return 1;
    }
}

/* Offers event to the stack whose top is top, newest client first. The first
 * client that fits by modifiers decides: it receives the event if it wants
 * the kind, stops it if the kind is none of its default business, and
 * otherwise lets the client below decide. 1 = finished with, 0 = the
 * server's own handling applies. */
int do_client(client_info *top, Mox_Event *event)
{
    const uint32_t mods = event->modifiers;
    for (client_info *ci = top; ci != nullptr; ci = ci->next) {
        const Mox_Connect *d = &ci->data;
        const uint32_t need = d->minMod;
        if ((need & mods) != need)
            continue;
        if ((mods & ~static_cast<uint32_t>(d->maxMod)) != 0)
            continue;
        int res = (d->defaultMask & event->type) == 0 ? 1 : 0;
        if ((d->eventMask & (event->type & ROUTED_KINDS)) != 0) {
            send_event(ci->fd, event);
            return (d->defaultMask & MOX_HARD) != 0 ? res : 1;
        }
        if (res == 1)
            return 1;
    }
    return 0;
}

/* Tells every client process that the console changed size: console 0
 * first, each stack from the top. A pid of 0 or below would address a
 * process group or every process, so such records are passed over; any
 * other pid is signalled only if the client's user may signal it. */
void notify_clients_resize(void)
{
    for (int vc = 0; vc <= LAST_VC; vc++) {
        for (const client_info *ci = cinfo[vc]; ci != nullptr; ci = ci->next) {
            if (ci->data.pid > 0)
                signal_resize(ci);
        }
    }
}
