// Drives the client module as the server's main loop does, with the traffic
// of up to eight hostile clients taken from the input.
//
// The input is a list of steps; each starts with an opcode byte and takes
// the bytes it needs after it (missing bytes read as 0):
//   connect      a client connects to our own listening socket (an abstract
//                Unix address) and, before the module accepts it, sends a
//                first record (any vc, any pid), a short one, nothing at all
//                before closing, a record and then its close, or a record
//                followed by more bytes; then accept_client_connection
//   send         raw bytes from one client, then one main-loop pass
//   record       a request (any code) or a replacement record, then a pass
//   close        a client sends part of a record, or nothing, and closes
//   event        an event offered to a stack (do_client), when not empty
//   resize       notify_clients_resize
//   drop         the server drops a client: close its socket, remove_client
//   stray remove remove_client with a stack the client is not in
// A main-loop pass calls process_client_request on every admitted client
// whose socket is readable, with the stack it was found in, removes it after
// a 0 and drops it after a -1 when that client was marked so.
//
// Checked after every step: the table holds exactly the admitted clients,
// each in the stack it was admitted to; an event reaches at most one client,
// whole, one that wants its kind and fits by modifiers; a reply reaches only
// the client that asked, 28 bytes, with the button count asked for; resize
// signals go to exactly the linked clients with a positive pid, in table
// order (client_host.cpp aborts on any pid <= 0); when the fuzzer is not
// root, to those of them whose process is the fuzzer's user's. At the end
// every client is removed: the table must be empty and no descriptor may be
// left open.
#include "client.h"
#include "client_host.h"
#include "console.h"
#include "fuzz_target.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace
{

constexpr int SLOTS = 8;
constexpr int ROUTED_KINDS = 0x60F;
constexpr int MAX_STEPS = 256;

struct Slot {
    client_info *ci; // the module's record, null when the slot is free
    int stack;       // the stack of cinfo it was admitted to
    int peer;        // the client's end, -1 once the client closed it
    bool drop_on_failure;
};

Slot slots[SLOTS];
int listen_fd = -1;

// Pointer state passed to process_client_request, as the server would.
int ptr_x, ptr_y, ptr_buttons, ptr_clicks, three_buttons;

void check(bool ok)
{
    if (!ok)
        abort();
}

struct Input {
    const uint8_t *p;
    size_t left;

    uint8_t u8()
    {
        if (left == 0)
            return 0;
        --left;
        return *p++;
    }
    uint16_t u16()
    {
        uint16_t lo = u8();
        uint16_t hi = u8();
        return static_cast<uint16_t>(lo | hi << 8);
    }
    int32_t i32()
    {
        uint32_t v = u16();
        v |= static_cast<uint32_t>(u16()) << 16;
        int32_t out;
        memcpy(&out, &v, sizeof out);
        return out;
    }
    void bytes(void *dst, size_t n)
    {
        uint8_t *d = static_cast<uint8_t *>(dst);
        for (size_t i = 0; i < n; ++i)
            d[i] = u8();
    }
};

int open_fds()
{
    DIR *d = opendir("/proc/self/fd");
    check(d != nullptr);
    int n = 0;
    while (const dirent *e = readdir(d))
        if (e->d_name[0] != '.')
            ++n;
    closedir(d);
    return n; // includes the directory's own descriptor, every time
}

void open_listener()
{
    if (listen_fd >= 0)
        return;
    listen_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    check(listen_fd >= 0);
    sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    // abstract address: sun_path[0] is NUL, nothing appears in the file system
    int len = snprintf(addr.sun_path + 1, sizeof addr.sun_path - 1, "mox-client-fuzz-%d",
                       static_cast<int>(getpid()));
    socklen_t alen = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + len);
    check(bind(listen_fd, reinterpret_cast<sockaddr *>(&addr), alen) == 0);
    check(listen(listen_fd, SLOTS) == 0);
}

int connect_peer()
{
    sockaddr_un addr;
    socklen_t alen = sizeof addr;
    check(getsockname(listen_fd, reinterpret_cast<sockaddr *>(&addr), &alen) == 0);
    int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    check(s >= 0);
    check(connect(s, reinterpret_cast<sockaddr *>(&addr), alen) == 0);
    return s;
}

void put(int fd, const void *buf, size_t n)
{
    if (n > 0)
        check(send(fd, buf, n, MSG_NOSIGNAL | MSG_DONTWAIT) == static_cast<ssize_t>(n));
}

// Everything waiting on a client's end, without blocking.
size_t drain(int fd, uint8_t *buf, size_t cap)
{
    size_t got = 0;
    while (got < cap) {
        ssize_t n = recv(fd, buf + got, cap - got, MSG_DONTWAIT);
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    return got;
}

bool readable(int fd)
{
    pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1;
}

bool in_stack(const client_info *ci, int vc)
{
    for (const client_info *c = cinfo[vc]; c != nullptr; c = c->next)
        if (c == ci)
            return true;
    return false;
}

// The table holds exactly the live slots' records, each in its own stack.
void check_table()
{
    int linked = 0;
    for (int vc = 0; vc <= LAST_VC; ++vc) {
        int depth = 0;
        for (const client_info *c = cinfo[vc]; c != nullptr; c = c->next) {
            check(++depth <= SLOTS); // no cycle
            bool known = false;
            for (const Slot &s : slots)
                if (s.ci == c && s.stack == vc)
                    known = true;
            check(known);
            ++linked;
        }
    }
    int live = 0;
    for (const Slot &s : slots)
        if (s.ci != nullptr)
            ++live;
    check(linked == live);
}

// Nobody has bytes waiting that were not accounted for.
void check_quiet()
{
    uint8_t buf[64];
    for (const Slot &s : slots)
        if (s.ci != nullptr && s.peer >= 0)
            check(drain(s.peer, buf, sizeof buf) == 0);
}

Mox_Connect make_record(Input &in)
{
    Mox_Connect r;
    r.eventMask = in.u16();
    r.defaultMask = in.u16();
    r.minMod = in.u16();
    r.maxMod = in.u16();
    switch (in.u8() % 6) {
    case 0:
        r.pid = in.i32();
        break;
    case 1:
        r.pid = 0;
        break;
    case 2:
        r.pid = -1;
        break;
    case 3:
        r.pid = INT_MIN;
        break;
    default:
        r.pid = 1 + in.u8();
        break;
    }
    switch (in.u8() % 8) {
    case 0:
        r.vc = in.i32();
        break;
    case 1:
        r.vc = -1;
        break;
    case 2:
        r.vc = LAST_VC + 1;
        break;
    case 3:
        r.vc = INT_MIN;
        break;
    case 4:
        r.vc = INT_MAX;
        break;
    default:
        r.vc = in.u8() % (LAST_VC + 1);
        break;
    }
    return r;
}

void release(Slot &s)
{
    if (s.peer >= 0)
        close(s.peer);
    s = Slot{nullptr, -1, -1, false};
}

// The server drops a client: its socket is the caller's to close.
void drop(Slot &s)
{
    close(s.ci->fd);
    remove_client(s.ci, s.stack);
    check(!in_stack(s.ci, s.stack));
    release(s);
}

// One pass of the main loop over the admitted clients.
void serve()
{
    for (Slot &s : slots) {
        if (s.ci == nullptr || !readable(s.ci->fd))
            continue;
        // sit on the table as the main loop does: find the stack holding it
        check(in_stack(s.ci, s.stack));
        int r = process_client_request(s.ci, s.stack, ptr_x, ptr_y, ptr_buttons, ptr_clicks,
                                       three_buttons);
        check(r == 1 || r == 0 || r == -1);
        if (r == 0) {
            remove_client(s.ci, s.stack);
            release(s);
            continue;
        }
        if (r == -1 && s.drop_on_failure) {
            drop(s);
            continue;
        }
        if (s.peer < 0)
            continue;
        uint8_t buf[2 * sizeof(Mox_Event)];
        size_t n = drain(s.peer, buf, sizeof buf);
        check(n == 0 || (r == 1 && n == sizeof(Mox_Event)));
        if (n == sizeof(Mox_Event)) {
            Mox_Event ev;
            memcpy(&ev, buf, sizeof ev);
            check(ev.type == (three_buttons == 1 ? 3u : 2u));
            check(ev.margin == 0 && ev.wdx == 0 && ev.wdy == 0);
        }
    }
    check_quiet();
}

Slot *live_slot(Input &in)
{
    Slot &s = slots[in.u8() % SLOTS];
    return s.ci != nullptr ? &s : nullptr;
}

void step_connect(Input &in)
{
    int free_slot = -1;
    for (int i = 0; i < SLOTS && free_slot < 0; ++i)
        if (slots[i].ci == nullptr)
            free_slot = i;
    uint8_t kind = in.u8();
    Mox_Connect rec = make_record(in);
    bool drop_flag = (kind & 0x80) != 0;
    host_owner_answer = (kind & 0x40) != 0;
    if (free_slot < 0)
        return;

    int peer = connect_peer();
    // The client's bytes (or its close) are there before the accept, so the
    // module's wait for a first record never runs out.
    switch (kind % 6) {
    case 0:
        put(peer, &rec, sizeof rec);
        break;
    case 1:
        put(peer, &rec, 1 + in.u8() % (sizeof rec - 1));
        break; // short
    case 2:
        close(peer);
        peer = -1;
        break; // nothing
    case 3:    // record, then gone
        put(peer, &rec, sizeof rec);
        close(peer);
        peer = -1;
        break;
    default: { // a record followed at once by more
        uint8_t more[40];
        size_t n = 1 + in.u8() % sizeof more;
        in.bytes(more, n);
        put(peer, &rec, sizeof rec);
        put(peer, more, n);
        break;
    }
    }

    client_info *ci = accept_client_connection(listen_fd);
    bool admissible = (kind % 6 == 0 || kind % 6 == 3 || kind % 6 >= 4) && rec.vc >= 0 &&
                      rec.vc <= LAST_VC && (getuid() == 0 || host_owner_answer);
    check((ci != nullptr) == admissible);
    if (ci == nullptr) {
        if (peer >= 0) {
            // refused: the module has closed its end
            uint8_t buf[8];
            pollfd p = {peer, POLLIN, 0};
            check(poll(&p, 1, 0) == 1 && recv(peer, buf, sizeof buf, MSG_DONTWAIT) <= 0);
            close(peer);
        }
        return;
    }
    check(cinfo[rec.vc] == ci && memcmp(&ci->data, &rec, sizeof rec) == 0);
    slots[free_slot] = Slot{ci, rec.vc, peer, drop_flag};
}

void step_send(Input &in)
{
    Slot *s = live_slot(in);
    uint8_t buf[48];
    size_t n = in.u8() % sizeof buf;
    in.bytes(buf, n);
    three_buttons = in.u8() % 3;
    if (s != nullptr && s->peer >= 0)
        put(s->peer, buf, n);
}

void step_record(Input &in)
{
    Slot *s = live_slot(in);
    Mox_Connect rec = make_record(in);
    uint8_t how = in.u8();
    if (how & 1) { // a request: pid 0, a known code most of the time
        rec.pid = 0;
        if (how & 2)
            rec.vc = (how >> 2) % 5;
    }
    three_buttons = (how >> 5) % 3;
    if (s == nullptr || s->peer < 0)
        return;
    bool behind = readable(s->ci->fd); // earlier bytes still unread
    put(s->peer, &rec, sizeof rec);
    if (rec.pid == 0 || behind)
        return; // the main-loop pass serves it
    // a replacement record changes the record and leaves the client where
    // it is; serve it here to see that
    check(readable(s->ci->fd));
    int r = process_client_request(s->ci, s->stack, ptr_x, ptr_y, ptr_buttons, ptr_clicks,
                                   three_buttons);
    check(r == 1 && memcmp(&s->ci->data, &rec, sizeof rec) == 0 && in_stack(s->ci, s->stack));
}

void step_close(Input &in)
{
    Slot *s = live_slot(in);
    uint8_t part[sizeof(Mox_Connect)];
    size_t n = in.u8() % sizeof part;
    in.bytes(part, n);
    if (s == nullptr || s->peer < 0)
        return;
    put(s->peer, part, n);
    close(s->peer);
    s->peer = -1;
}

void step_event(Input &in)
{
    uint8_t which = in.u8();
    int vc = which % (LAST_VC + 1);
    if (which >= 0xC0) { // most often a stack somebody is on
        const Slot &s = slots[which % SLOTS];
        if (s.ci != nullptr)
            vc = s.stack;
    }
    Mox_Event ev;
    in.bytes(&ev, sizeof ev);
    if (cinfo[vc] == nullptr)
        return; // the main loop offers events to non-empty stacks only
    ptr_x = ev.x;
    ptr_y = ev.y;
    ptr_buttons = ev.buttons;
    ptr_clicks = ev.clicks;

    int r = do_client(cinfo[vc], &ev);
    check(r == 0 || r == 1);

    int receivers = 0;
    for (const Slot &s : slots) {
        if (s.ci == nullptr || s.peer < 0)
            continue;
        uint8_t buf[2 * sizeof(Mox_Event)];
        size_t n = drain(s.peer, buf, sizeof buf);
        if (n == 0)
            continue;
        ++receivers;
        check(n == sizeof ev && memcmp(buf, &ev, sizeof ev) == 0);
        check(s.stack == vc);
        const Mox_Connect &d = s.ci->data;
        check((d.minMod & ev.modifiers) == d.minMod);
        check((ev.modifiers & ~static_cast<unsigned>(d.maxMod)) == 0);
        check((d.eventMask & ev.type & ROUTED_KINDS) != 0);
        // a receiver lets the event on to the server only with MOX_HARD
        bool hard = (d.defaultMask & MOX_HARD) != 0 && (d.defaultMask & ev.type) != 0;
        check(r == (hard ? 0 : 1));
    }
    check(receivers <= 1);
}

void step_resize()
{
    pid_t want[HOST_SIGNAL_LOG];
    int n = 0;
    for (int vc = 0; vc <= LAST_VC; ++vc)
        for (const client_info *c = cinfo[vc]; c != nullptr; c = c->next)
            if (c->data.pid > 0 && n < HOST_SIGNAL_LOG)
                want[n++] = c->data.pid;
    host_signal_count = 0;
    notify_clients_resize();
    if (geteuid() == 0) {
        check(host_signal_count == n && memcmp(want, host_signalled, n * sizeof want[0]) == 0);
        return;
    }
    // Not root: only the pids that turned out to be this user's processes
    // are signalled, still in table order.
    check(host_signal_count <= n);
    int k = 0;
    for (int i = 0; i < host_signal_count && i < HOST_SIGNAL_LOG; ++i) {
        while (k < n && want[k] != host_signalled[i])
            ++k;
        check(k < n);
        ++k;
    }
}

void step_drop(Input &in)
{
    Slot *s = live_slot(in);
    if (s != nullptr)
        drop(*s);
}

void step_stray_remove(Input &in)
{
    Slot *s = live_slot(in);
    uint8_t how = in.u8();
    if (s == nullptr)
        return;
    int vc;
    switch (how % 4) {
    case 0:
        vc = -1;
        break;
    case 1:
        vc = LAST_VC + 1 + how;
        break;
    case 2:
        vc = INT_MIN;
        break;
    default:
        vc = (s->stack + 1 + how % LAST_VC) % (LAST_VC + 1);
        break;
    }
    remove_client(s->ci, vc);
    check(in_stack(s->ci, s->stack)); // still linked, still alive
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    open_listener();
    const int fds_before = open_fds();
    for (Slot &s : slots)
        s = Slot{nullptr, -1, -1, false};
    ptr_x = ptr_y = ptr_buttons = ptr_clicks = three_buttons = 0;

    Input in{data, size};
    for (int n = 0; n < MAX_STEPS && in.left > 0; ++n) {
        switch (in.u8() % 8) {
        case 0:
            step_connect(in);
            break;
        case 1:
            step_send(in);
            break;
        case 2:
            step_record(in);
            break;
        case 3:
            step_close(in);
            break;
        case 4:
            step_event(in);
            break;
        case 5:
            step_resize();
            break;
        case 6:
            step_drop(in);
            break;
        default:
            step_stray_remove(in);
            break;
        }
        serve();
        check_table();
    }

    // Everyone goes: the server drops what is still linked.
    for (int vc = 0; vc <= LAST_VC; ++vc) {
        while (cinfo[vc] != nullptr) {
            client_info *ci = cinfo[vc];
            bool known = false;
            for (Slot &s : slots)
                if (s.ci == ci) {
                    known = true;
                    check(s.stack == vc);
                    drop(s);
                }
            check(known);
        }
    }
    for (Slot &s : slots)
        check(s.ci == nullptr);
    check(open_fds() == fds_before);
    return 0;
}
