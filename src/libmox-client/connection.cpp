// connection.cpp: a program's connection to the control socket: attaching,
// reading whole events, sending records, asking on a connection of its own.
//
// The stream carries nothing but fixed records: 16-byte Mox_Connect from the
// program, 28-byte Mox_Event from the server, without any framing. A record
// cut in two would shift every later one, so events are taken whole (a
// partial one waits in the connection record) and records are sent whole.
#pragma GCC visibility push(default)
#include "mox-client.h"
#pragma GCC visibility pop

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace
{

constexpr size_t EVENT_SIZE = sizeof(Mox_Event);
constexpr size_t RECORD_SIZE = sizeof(Mox_Connect);
static_assert(EVENT_SIZE == 28, "the server writes 28-byte events");
static_assert(RECORD_SIZE == 16, "the server reads 16-byte records");
static_assert(sizeof(mox_connection::part) == EVENT_SIZE, "room for one event");

// When only part of a record went out, the rest must follow or the server
// reads every later record shifted. A Unix socket takes a 16-byte record
// whole or not at all in practice; this bound only keeps a program from
// hanging for ever on a server that stopped reading in that instant.
constexpr int SEND_REST_TIMEOUT_MS = 1000;

// Masks of a query connection: it wants every modifier held and allows none,
// so no event ever fits it and the routing passes it over.
constexpr uint16_t QUERY_MIN_MOD = 0xFFFF;
constexpr uint16_t QUERY_MAX_MOD = 0;

int fail(int err)
{
    errno = err;
    return MOX_ERROR;
}

long long now_ms()
{
    struct timespec ts;
    (void) clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Milliseconds left until deadline (-1: none) as a poll timeout.
int left_ms(long long deadline)
{
    if (deadline < 0)
        return -1;
    long long left = deadline - now_ms();
    return left <= 0 ? 0 : static_cast<int>(left);
}

// Checks the arguments every stream function shares: 1 when conn can be
// used, else 0 with errno set.
int usable(const mox_connection *conn)
{
    if (conn == nullptr || conn->held >= EVENT_SIZE) {
        errno = EINVAL;
        return 0;
    }
    if (conn->fd < 0) {
        errno = EBADF;
        return 0;
    }
    return 1;
}

enum read_step { STEP_DONE, STEP_MORE, STEP_END, STEP_AGAIN, STEP_FAILED };

// One read towards the event being assembled in conn, never past its end, so
// that the next record stays in the socket where poll sees it. A read that a
// signal interrupted is retried.
read_step read_some(mox_connection *conn)
{
    for (;;) {
        ssize_t n = read(conn->fd, conn->part + conn->held, EVENT_SIZE - conn->held);
        if (n > 0) {
            conn->held += static_cast<uint32_t>(n);
            return conn->held == EVENT_SIZE ? STEP_DONE : STEP_MORE;
        }
        if (n == 0) {
            if (conn->held == 0)
                return STEP_END;
            conn->held = 0; // the rest of that record will never come
            errno = EPROTO;
            return STEP_FAILED;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            errno = EAGAIN;
            return STEP_AGAIN;
        }
        return STEP_FAILED;
    }
}

int take_event(mox_connection *conn, Mox_Event *ev)
{
    memcpy(ev, conn->part, EVENT_SIZE);
    conn->held = 0;
    return MOX_OK;
}

// Waits until fd can take more bytes; 1 when it can, else 0 with errno set.
int wait_writable(int fd, long long deadline)
{
    for (;;) {
        struct pollfd p = {fd, POLLOUT, 0};
        int ready = poll(&p, 1, left_ms(deadline));
        if (ready > 0)
            return 1;
        if (ready == 0) {
            errno = ETIMEDOUT;
            return 0;
        }
        if (errno != EINTR)
            return 0;
    }
}

// Connects fd to the server. A Unix socket's connect waits while the
// server's queue of connections it has not accepted yet is full. On a
// non-blocking socket it fails with EAGAIN instead and leaves nothing in
// progress: the kernel keeps no half-made connection (poll reports the
// socket writable at once and SO_ERROR stays 0), so there is nothing to wait
// for with poll. A wait with a deadline (>= 0) is bounded by SO_SNDTIMEO,
// which the kernel applies to that wait too, ending it with EAGAIN. A signal
// that cuts the wait short leaves the socket unconnected, and the wait goes
// on for the time left. Returns 1 when connected, else 0 with errno set.
int connect_by(int fd, const struct sockaddr_un *addr, socklen_t len, long long deadline)
{
    for (;;) {
        if (deadline >= 0) {
            const int left = left_ms(deadline);
            struct timeval tv = {left / 1000, (left % 1000) * 1000};
            if (left == 0)
                tv.tv_usec = 1; // 0 means no limit; this is one kernel tick at most
            if (setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0)
                return 0;
        }
        if (connect(fd, reinterpret_cast<const struct sockaddr *>(addr), len) == 0)
            return 1;
        if (errno != EINTR)
            return 0;
    }
}

// mox_open with a deadline for the connect (-1: none). On a failure errno
// is EAGAIN when the server's queue stayed full.
int open_by(mox_connection *conn, const Mox_Connect *rec, const char *path, int flags,
            long long deadline)
{
    if (conn == nullptr)
        return fail(EINVAL);
    conn->fd = -1;
    conn->held = 0;
    if ((flags & ~MOX_NONBLOCK) != 0)
        return fail(EINVAL);
    if (path == nullptr)
        path = CONTROL_SOCKET_PATH;

    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    const size_t len = strlen(path);
    if (len >= sizeof addr.sun_path)
        return fail(ENAMETOOLONG);
    if (len == 0)
        return fail(ENOENT); // an empty path names no file
    memcpy(addr.sun_path, path, len + 1);
    const socklen_t addr_len =
        static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + len + 1);

    const int nonblock = (flags & MOX_NONBLOCK) != 0 ? SOCK_NONBLOCK : 0;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | nonblock, 0);
    if (fd < 0)
        return MOX_ERROR;
    conn->fd = fd;
    // A fresh connection has room for the first record, so a non-blocking
    // socket does not refuse it for want of room.
    if (!connect_by(fd, &addr, addr_len, deadline) ||
        (rec != nullptr && mox_send(conn, rec) != MOX_OK)) {
        int err = errno == EWOULDBLOCK ? EAGAIN : errno;
        (void) close(fd);
        conn->fd = -1;
        return fail(err);
    }
    return MOX_OK;
}

} // namespace

int mox_open(mox_connection *conn, const Mox_Connect *rec, const char *path, int flags)
{
    return open_by(conn, rec, path, flags, -1);
}

int mox_read_event(mox_connection *conn, Mox_Event *ev)
{
    if (!usable(conn))
        return MOX_ERROR;
    if (ev == nullptr)
        return fail(EINVAL);
    for (;;) {
        switch (read_some(conn)) {
        case STEP_DONE:
            return take_event(conn, ev);
        case STEP_MORE:
            continue;
        case STEP_END:
            return MOX_END;
        case STEP_AGAIN:
            return MOX_AGAIN;
        case STEP_FAILED:
            return MOX_ERROR;
        }
    }
}

int mox_wait_event(mox_connection *conn, Mox_Event *ev, int timeout_ms)
{
    if (!usable(conn))
        return MOX_ERROR;
    if (ev == nullptr)
        return fail(EINVAL);
    const long long deadline = timeout_ms < 0 ? -1 : now_ms() + timeout_ms;
    for (;;) {
        struct pollfd p = {conn->fd, POLLIN, 0};
        int ready = poll(&p, 1, left_ms(deadline));
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return MOX_ERROR;
        }
        if (ready == 0) {
            errno = ETIMEDOUT;
            return MOX_AGAIN;
        }
        switch (read_some(conn)) {
        case STEP_DONE:
            return take_event(conn, ev);
        case STEP_MORE:
        case STEP_AGAIN: // readable, yet taken by someone else first
            continue;
        case STEP_END:
            return MOX_END;
        case STEP_FAILED:
            return MOX_ERROR;
        }
    }
}

int mox_send(mox_connection *conn, const Mox_Connect *rec)
{
    if (!usable(conn))
        return MOX_ERROR;
    if (rec == nullptr)
        return fail(EINVAL);
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(rec);
    size_t sent = 0;
    long long deadline = -1;
    while (sent < RECORD_SIZE) {
        // MSG_NOSIGNAL: a server that has gone gives EPIPE, not SIGPIPE.
        ssize_t n = send(conn->fd, bytes + sent, RECORD_SIZE - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        const bool full = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        if (full && sent == 0)
            return fail(EAGAIN); // nothing went out: the caller may try again
        if (full) {
            if (deadline < 0)
                deadline = now_ms() + SEND_REST_TIMEOUT_MS;
            if (wait_writable(conn->fd, deadline))
                continue;
        } else if (n == 0) {
            errno = EIO;
        }
        if (sent > 0) {
            // Half a record is out and the rest cannot follow: end the
            // stream, so the server sees a broken record rather than later
            // records read out of step.
            int err = errno;
            (void) shutdown(conn->fd, SHUT_WR);
            errno = err;
        }
        return MOX_ERROR;
    }
    return MOX_OK;
}

int mox_replace(mox_connection *conn, const Mox_Connect *rec)
{
    if (rec == nullptr || rec->pid == 0)
        return fail(EINVAL); // with pid 0 the server would read a request
    return mox_send(conn, rec);
}

int mox_request(mox_connection *conn, int32_t code)
{
    Mox_Connect req;
    memset(&req, 0, sizeof req);
    req.pid = 0; // marks the record as a request, whose code travels in vc
    req.vc = code;
    return mox_send(conn, &req);
}

int mox_query(const char *path, const Mox_Connect *attach, int32_t code, Mox_Event *answer,
              int timeout_ms)
{
    const bool answered = code == REQ_STATE || code == REQ_BUTTON_COUNT;
    if (attach == nullptr || (answered && answer == nullptr))
        return fail(EINVAL);
    Mox_Connect first = *attach;
    first.eventMask = 0;
    first.defaultMask = 0;
    first.minMod = QUERY_MIN_MOD;
    first.maxMod = QUERY_MAX_MOD;

    // The time covers the whole query, the connect included.
    const long long deadline = timeout_ms < 0 ? -1 : now_ms() + timeout_ms;
    mox_connection q;
    if (open_by(&q, &first, path, 0, deadline) != MOX_OK) {
        if (errno != EAGAIN)
            return MOX_ERROR;
        errno = ETIMEDOUT; // the server's queue stayed full all that time
        return MOX_AGAIN;
    }
    int r = mox_request(&q, code);
    if (r == MOX_OK && answered) {
        Mox_Event got;
        r = mox_wait_event(&q, &got, left_ms(deadline));
        if (r == MOX_OK)
            memcpy(answer, &got, sizeof got);
    }
    // A server that refuses the connection closes it at once: before the
    // request went out, or with the request unread, which the kernel reports
    // as a reset rather than an end.
    if (r == MOX_ERROR && (errno == EPIPE || errno == ECONNRESET))
        r = MOX_END;
    int err = errno;
    (void) mox_close(&q);
    errno = err;
    return r;
}

int mox_close(mox_connection *conn)
{
    if (conn == nullptr)
        return fail(EINVAL);
    const int fd = conn->fd;
    conn->fd = -1;
    conn->held = 0;
    if (fd < 0)
        return fail(EBADF);
    // Linux releases the descriptor even when close reports EINTR, so it is
    // never closed a second time.
    if (close(fd) != 0 && errno == EBADF)
        return MOX_ERROR;
    return MOX_OK;
}
