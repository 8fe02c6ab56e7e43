/* server.cpp: from input records to clients and the console.
 *
 * Each pointer record moves the pointer in cells, becomes one Mox_Event and
 * is offered to the client stack of the console on screen; when no client
 * finished it, the server's own handling draws, selects, pastes or reports
 * on that console. */
#include "server.h"

#include "client.h"
#include "event.h"
#include "host.h"
#include "moxInt.h"
#include "vt.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

constexpr const char SRC_FILE[] = "server.cpp";

constexpr int DEFAULT_COLS = 80;
constexpr int DEFAULT_ROWS = 25;

int bit_index(int bit)
{
    for (int i = 0; i < BUTTON_BITS; i++)
        if (bit == (1 << i))
            return i;
    return -1;
}

/* Counts devices per button, so that a button held on two devices goes
 * down once and up once. Returns 1 when the merged state changed. */
int button_change(server *s, int bit, int pressed)
{
    int i = bit_index(bit);
    if (i < 0)
        return 0;
    if (pressed) {
        if (s->held[i]++ != 0)
            return 0;
        s->buttons |= static_cast<uint8_t>(bit);
        return 1;
    }
    if (s->held[i] == 0 || --s->held[i] != 0)
        return 0;
    s->buttons &= static_cast<uint8_t>(~bit);
    return 1;
}

int shown_console(const server *s)
{
    if (s->watch_fd >= 0) {
        int n = vt_read_active_watch(s->watch_fd);
        if (n > 0)
            return n;
    }
    int n = s->ctl_fd >= 0 ? vt_active(s->ctl_fd) : -1;
    return n > 0 ? n : 0;
}

/* Takes a descriptor of the console shown for the console operations.
 * Returns 1 when the console is another one than before. */
int follow_console(server *s, int vc)
{
    if (vc == s->con_vc && (s->con_fd >= 0 || vc == 0))
        return 0;
    if (s->con_fd >= 0)
        (void) close(s->con_fd);
    s->con_fd = -1;
    s->con_vc = vc;
    if (vc > 0) {
        int reached = 0;
        s->con_fd = vt_open_shown(&reached);
        if (s->con_fd < 0)
            mox_report(__LINE__, SRC_FILE, MOX_SEV_WARN, "cannot open console %d: %s", vc,
                       strerror(errno));
        else if (reached != vc)
            s->con_vc = reached; /* switched again meanwhile: the one reached is shown */
    }
    /* a selection in progress belongs to the console it started on */
    handling_reset(&s->handling);
    clicks_reset(&s->clicks);
    return 1;
}

/* The descriptor of the console shown stopped answering (it should not: the
 * alias is never hung up): takes a fresh one. 1 when there is one. */
int reopen_console(server *s)
{
    mox_report(__LINE__, SRC_FILE, MOX_SEV_DETAIL,
               "console %d does not answer (%s): opening it again", s->con_vc, strerror(errno));
    int vc = s->con_vc;
    if (s->con_fd >= 0)
        (void) close(s->con_fd);
    s->con_fd = -1;
    s->con_vc = 0;
    (void) follow_console(s, vc);
    return s->con_fd >= 0 ? 1 : 0;
}

/* 1 when the console shown is in text mode and may be drawn on; asked every
 * time, since nothing announces a switch to graphics mode. */
int text_mode(server *s)
{
    if (s->con_fd < 0)
        return 0;
    int graphics = vt_is_graphics(s->con_fd);
    if (graphics < 0 && reopen_console(s))
        graphics = vt_is_graphics(s->con_fd);
    return graphics == 0 ? 1 : 0;
}

int64_t owner_of(int vc)
{
    uid_t uid = 0;
    if (vc < 1 || vt_owner(vc, &uid) != 0)
        return OWNER_UNKNOWN;
    return static_cast<int64_t>(uid);
}

int peer_uid(int fd, uid_t *uid)
{
    ucred cred;
    socklen_t len = sizeof cred;
    if (fd < 0 || getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred)
        return -1;
    *uid = cred.uid;
    return 0;
}

void forget_veto(server *s, int fd)
{
    for (int i = 0; i < s->n_vetoes;) {
        if (s->vetoes[i].fd == fd)
            s->vetoes[i] = s->vetoes[--s->n_vetoes];
        else
            i++;
    }
}

void add_veto(server *s, int fd, int vc)
{
    forget_veto(s, fd);
    if (s->n_vetoes == s->cap_vetoes) {
        int cap = s->cap_vetoes > 0 ? s->cap_vetoes * 2 : 8;
        auto *grown = static_cast<paste_veto *>(realloc(s->vetoes, sizeof(paste_veto) * cap));
        if (grown == nullptr) {
            mox_report(__LINE__, SRC_FILE, MOX_SEV_WARN, "no memory to switch pasting off");
            return;
        }
        s->vetoes = grown;
        s->cap_vetoes = cap;
    }
    s->vetoes[s->n_vetoes++] = {fd, vc};
}

/* Closes a client the server itself lets go of. */
void close_client(server *s, client_info *ci, int vc)
{
    int fd = ci->fd;
    if (fd >= 0)
        (void) close(fd);
    remove_client(ci, vc);
    forget_veto(s, fd);
    if (fd >= 0 && s->client_closed != nullptr)
        s->client_closed(s->closed_ctx, fd);
}

/* Closes the clients of console vc whose user does not own it any more. */
void drop_strangers(server *s, int vc, int64_t owner)
{
    client_info *ci = cinfo[vc];
    while (ci != nullptr) {
        client_info *below = ci->next;
        uid_t uid = 0;
        if (peer_uid(ci->fd, &uid) == 0 && !client_may_stay(uid, owner)) {
            mox_report(__LINE__, SRC_FILE, MOX_SEV_TRACE,
                       "dropping the client at fd %d: uid %d no longer owns console %d", ci->fd,
                       static_cast<int>(uid), vc);
            close_client(s, ci, vc);
        }
        ci = below;
    }
}

/* Replaces the kernel's selection buffer by a single blank, selected on a
 * blank cell of the console shown and cleared at once, so that nothing of
 * it stays on screen. Not on a console in graphics mode, nor where every
 * cell holds text: then it waits for a better moment. */
void scrub_selection(server *s)
{
    int x = 0, y = 0;
    if (!text_mode(s) || !vt_blank_cell(&x, &y) ||
        vt_select(s->con_fd, x, y, x, y, UNIT_CHAR) != 0) {
        s->scrub_pending = 1;
        return;
    }
    (void) vt_clear(s->con_fd);
    s->scrub_pending = 0;
    mox_report(__LINE__, SRC_FILE, MOX_SEV_TRACE, "the selection's text is wiped");
    if (s->events > 0)
        (void) vt_pointer(s->con_fd, s->cells.x, s->cells.y);
}

void forget_selection(server *s)
{
    mox_report(__LINE__, SRC_FILE, MOX_SEV_TRACE,
               "console %d changed hands: its selection is forgotten", s->sel.vc);
    if (s->sel.vc == s->con_vc)
        handling_reset(&s->handling);
    s->sel.known = 0;
    scrub_selection(s);
}

/* A paste only where the selection's user owns both the console it came
 * from and the console shown. */
int paste(server *s)
{
    if (!paste_allowed(&s->sel, owner_of(s->sel.vc), owner_of(s->con_vc))) {
        mox_report(__LINE__, SRC_FILE, MOX_SEV_REFUSE,
                   "paste refused on console %d: the selection is not its owner's", s->con_vc);
        return 0;
    }
    return vt_paste(s->con_fd);
}

/* Notices a new size of the console shown: the pointer stays on screen and
 * every client hears of it. */
void check_size(server *s)
{
    int cols = 0, rows = 0;
    int fd = s->con_fd >= 0 ? s->con_fd : s->ctl_fd;
    if (fd < 0 || vt_size(fd, &cols, &rows) != 0 || cols < 1 || rows < 1)
        return;
    if (cols == console.max_x && rows == console.max_y)
        return;
    console.max_x = cols;
    console.max_y = rows;
    int x = s->cells.x, y = s->cells.y;
    cells_resize(&s->cells, cols, rows);
    mox_report(__LINE__, SRC_FILE, MOX_SEV_TRACE, "console %d is %dx%d now", s->con_vc, cols, rows);
    notify_clients_resize();
    /* a pointer that was off the new screen is drawn where it went */
    if ((x != s->cells.x || y != s->cells.y) && s->events > 0 && text_mode(s))
        (void) vt_pointer(s->con_fd, s->cells.x, s->cells.y);
}

void apply(server *s, const console_op *op)
{
    int got = 0;
    switch (op->kind) {
    case OP_POINTER:
        got = vt_pointer(s->con_fd, op->x1, op->y1);
        break;
    case OP_SELECT:
        if (op->fresh)
            (void) vt_clear(s->con_fd);
        got = vt_select(s->con_fd, op->x1, op->y1, op->x2, op->y2, op->arg);
        if (got == 0) {
            /* the kernel's one buffer now holds text of this console's owner */
            s->sel = {1, s->con_vc, owner_of(s->con_vc)};
            s->scrub_pending = 0;
        }
        break;
    case OP_PASTE:
        got = paste(s);
        break;
    case OP_REPORT:
        got = vt_report(s->con_fd, op->arg, op->x1, op->y1);
        break;
    case OP_WHEEL: {
        uint8_t report[WHEEL_REPORT_LEN];
        int n = handling_wheel_report(op->arg > 0, op->x1, op->y1, report);
        for (int i = 0; i < (op->arg > 0 ? op->arg : -op->arg) && got == 0; i++)
            got = vt_inject(s->con_fd, report, static_cast<size_t>(n));
        break;
    }
    default:
        return;
    }
    if (got != 0)
        mox_report(__LINE__, SRC_FILE, MOX_SEV_DETAIL, "console operation %d on console %d: %s",
                   op->kind, s->con_vc, strerror(errno));
}

/* The server's own handling, on a console in text mode only: a graphical
 * session draws its own pointer and takes its own mouse. */
void default_handling(server *s, const Mox_Event *ev, int button, int moved)
{
    if (!text_mode(s))
        return;
    console_facts facts = {0, 0, 0, s->wheel_reports};
    if ((ev->type & MOX_DOWN) != 0) {
        facts.reporting = vt_mouse_reporting(s->con_fd) > 0 ? 1 : 0;
        facts.paste_off = server_paste_off(s, s->con_vc);
        if (s->scrub_pending)
            scrub_selection(s);
    }
    if (ev->wdy != 0 && s->wheel_reports)
        facts.report_mode = vt_mouse_reporting(s->con_fd);
    console_op op;
    if (handling_event(&s->handling, ev, button, moved, &facts, &op))
        apply(s, &op);
}

/* 1 when the modifiers can matter to the stack for an event of that kind:
 * some client on the way down routes by them (do_client's minMod and maxMod
 * tests) or would receive the record. The walk stops where a client that
 * ignores modifiers finishes the kind without taking it. */
int modifiers_used(const client_info *stack, uint32_t kind)
{
    constexpr uint16_t ALL_MODIFIERS = 0xFF; /* what the shift state can hold */
    for (const client_info *ci = stack; ci != nullptr; ci = ci->next) {
        const Mox_Connect *d = &ci->data;
        if (d->minMod != 0 || (d->maxMod & ALL_MODIFIERS) != ALL_MODIFIERS)
            return 1;
        if ((d->eventMask & kind) != 0)
            return 1;
        if ((d->defaultMask & kind) == 0)
            return 0;
    }
    return 0;
}

void deliver(server *s, const pointer_change *change, int button, int moved)
{
    int vc = s->con_vc;
    /* without word of owners changing, each stack is checked before use */
    if (s->owner_fd < 0 && vc > 0 && vc <= LAST_VC && cinfo[vc] != nullptr)
        drop_strangers(s, vc, owner_of(vc));
    client_info *stack = vc >= 0 && vc <= LAST_VC ? cinfo[vc] : nullptr;
    /* the shift state is asked only where someone looks at it: a client
     * that routes by it or would receive it, and the press, release or
     * wheel that Shift may take from a program */
    uint8_t mods = 0;
    if (modifiers_used(stack, change->kind) || (change->kind & (MOX_DOWN | MOX_UP)) != 0 ||
        change->wdy != 0) {
        int fd = s->con_fd >= 0 ? s->con_fd : s->ctl_fd;
        int shift = fd >= 0 ? vt_shift_state(fd) : -1;
        if (shift > 0)
            mods = static_cast<uint8_t>(shift);
    }
    Mox_Event ev = event_build(change, &s->cells, vc, s->buttons, mods);
    s->events++;
    if (stack != nullptr && do_client(stack, &ev) != 0)
        return;
    default_handling(s, &ev, button, moved);
}

/* The motion gathered in this round, handled as one: one record, one draw. */
void flush_motion(server *s)
{
    if (!s->motion_pending)
        return;
    s->motion_pending = 0;
    pointer_change change = s->motion;
    memset(&s->motion, 0, sizeof s->motion);
    change.kind = event_motion_kind(s->buttons);
    if (change.kind != MOX_MOVE)
        change.clicks = s->press_clicks;
    deliver(s, &change, 0, 1);
}

void pointer_input(server *s, const input_event *in)
{
    /* what moved before this record is handled before it */
    if (in->kind != IN_MOTION && in->kind != IN_PLACE)
        flush_motion(s);
    /* Without switch notices the console is asked each time. A button is
     * never let act on a console that is no longer shown, even when the
     * notice of the switch is still on its way. */
    if ((s->watch_fd < 0 || in->kind == IN_BUTTON) && s->ctl_fd >= 0)
        server_console_changed(s);
    /* Without the resize watch the size is asked each time; with it, a
     * press asks too, for a resize the watch may have missed. */
    if (s->resize_fd < 0 || in->kind == IN_BUTTON)
        check_size(s);
    pointer_change change;
    memset(&change, 0, sizeof change);
    int button = 0;
    int moved = 0;
    switch (in->kind) {
    case IN_MOTION:
    case IN_PLACE:
        if (in->kind == IN_MOTION)
            moved =
                cells_move(&s->cells, in->dx, in->dy, s->cell_w, s->cell_h, &change.dx, &change.dy);
        else /* scaled here, after the size check: the screen may have just changed */
            moved = cells_place(&s->cells, in->fx * s->cells.cols, in->fy * s->cells.rows,
                                &change.dx, &change.dy);
        if (moved) {
            s->motion.dx += change.dx;
            s->motion.dy += change.dy;
            s->motion_pending = 1;
        }
        return;
    case IN_BUTTON:
        if (!button_change(s, in->button, in->pressed))
            return;
        button = in->button;
        if (in->pressed) {
            s->press_clicks = clicks_press(&s->clicks, in->button, s->cells.x, s->cells.y,
                                           in->time_ms, s->click_window_ms);
            change.kind = MOX_DOWN;
        } else {
            change.kind = MOX_UP;
        }
        break;
    case IN_SCROLL:
        change.kind = event_motion_kind(s->buttons);
        change.wdx = in->wheel_x;
        change.wdy = in->wheel_y;
        break;
    default:
        return;
    }
    if (change.kind != MOX_MOVE)
        change.clicks = s->press_clicks;
    deliver(s, &change, button, moved);
}

/* The admitted client on fd, and in *vc the stack that holds it. */
client_info *find_client(int fd, int *vc)
{
    for (int i = 0; i <= LAST_VC; i++) {
        for (client_info *ci = cinfo[i]; ci != nullptr; ci = ci->next) {
            if (ci->fd == fd) {
                *vc = i;
                return ci;
            }
        }
    }
    *vc = -1;
    return nullptr;
}

} // namespace

void server_init(server *s, int cell_w, int cell_h, uint32_t click_window_ms)
{
    memset(s, 0, sizeof *s);
    s->ctl_fd = -1;
    s->watch_fd = -1;
    s->owner_fd = -1;
    s->resize_fd = -1;
    s->con_fd = -1;
    s->sel = {0, 0, OWNER_UNKNOWN};
    s->cell_w = cell_w;
    s->cell_h = cell_h;
    s->click_window_ms = click_window_ms;
    cells_init(&s->cells, DEFAULT_COLS, DEFAULT_ROWS);
    clicks_reset(&s->clicks);
    handling_reset(&s->handling);
}

void server_attach_console(server *s, int ctl_fd, int watch_fd)
{
    s->ctl_fd = ctl_fd;
    s->watch_fd = watch_fd;
    host_set_control_fd(ctl_fd);
    (void) follow_console(s, shown_console(s));
    int cols = 0, rows = 0;
    int fd = s->con_fd >= 0 ? s->con_fd : ctl_fd;
    if (fd >= 0 && vt_size(fd, &cols, &rows) == 0 && cols > 0 && rows > 0) {
        console.max_x = cols;
        console.max_y = rows;
    }
    cells_init(&s->cells, console.max_x, console.max_y);
}

void server_size_noticed(server *s)
{
    check_size(s);
}

void server_console_changed(server *s)
{
    if (!follow_console(s, shown_console(s)))
        return;
    mox_report(__LINE__, SRC_FILE, MOX_SEV_TRACE, "console %d shown", s->con_vc);
    check_size(s);
    /* the pointer goes along, once the mouse has been used */
    if (s->events > 0 && text_mode(s))
        (void) vt_pointer(s->con_fd, s->cells.x, s->cells.y);
    if (s->scrub_pending)
        scrub_selection(s);
}

void server_owners_changed(server *s, uint64_t mask)
{
    for (int vc = 1; vc <= VT_MAX && vc <= LAST_VC; vc++) {
        if ((mask & (uint64_t{1} << vc)) == 0)
            continue;
        int64_t owner = owner_of(vc);
        drop_strangers(s, vc, owner);
        if (s->sel.known && s->sel.vc == vc && owner != s->sel.owner)
            forget_selection(s);
    }
}

void server_client_accepted(server *s, int fd)
{
    forget_veto(s, fd);
}

int server_paste_off(const server *s, int vc)
{
    for (int i = 0; i < s->n_vetoes; i++) {
        if (s->vetoes[i].vc != vc)
            continue;
        int held = 0;
        /* the client must still be there, in whichever stack */
        client_info *ci = find_client(s->vetoes[i].fd, &held);
        if (ci != nullptr)
            return 1;
    }
    return 0;
}

void server_input(server *s, const input_event *ev)
{
    if (ev->kind == IN_ADDED || ev->kind == IN_REMOVED)
        flush_motion(s); /* what moved before a device change is handled first */
    switch (ev->kind) {
    case IN_ADDED:
        if (ev->has_middle)
            s->middle_devices++;
        s->devices++;
        mox_report(__LINE__, SRC_FILE, MOX_SEV_TRACE, "pointing device added: %s",
                   ev->name != nullptr ? ev->name : "?");
        if (s->awaiting_device) {
            /* the warning that none was there has its answer */
            mox_report(__LINE__, SRC_FILE, MOX_SEV_WARN, "first pointing device: %s",
                       ev->name != nullptr ? ev->name : "?");
            s->awaiting_device = 0;
        }
        break;
    case IN_REMOVED:
        if (ev->has_middle && s->middle_devices > 0)
            s->middle_devices--;
        if (s->devices > 0)
            s->devices--;
        mox_report(__LINE__, SRC_FILE, MOX_SEV_TRACE, "pointing device removed: %s",
                   ev->name != nullptr ? ev->name : "?");
        break;
    default:
        pointer_input(s, ev);
        break;
    }
}

void server_input_done(server *s)
{
    flush_motion(s);
}

int server_client_ready(server *s, int fd)
{
    int vc = -1;
    client_info *ci = find_client(fd, &vc);
    if (ci == nullptr)
        return 0;
    (void) host_take_no_paste_request();
    int got = process_client_request(ci, vc, s->cells.x, s->cells.y, s->buttons, s->press_clicks,
                                     server_three_buttons(s));
    if (got > 0 && host_take_no_paste_request())
        add_veto(s, fd, vc > 0 ? vc : s->con_vc); /* console 0: the one shown */
    if (got == 0) {
        remove_client(ci, vc);
        forget_veto(s, fd);
        return 0;
    }
    if (got < 0) {
        /* part of a record: what follows would be read out of step */
        mox_report(__LINE__, SRC_FILE, MOX_SEV_TRACE, "dropping the client at fd %d: broken record",
                   fd);
        (void) close(ci->fd);
        remove_client(ci, vc);
        forget_veto(s, fd);
        return 0;
    }
    return 1;
}

void server_detach_console(server *s)
{
    if (s->con_fd >= 0) {
        if (s->events > 0 && vt_is_graphics(s->con_fd) == 0)
            (void) vt_clear(s->con_fd);
        (void) close(s->con_fd);
    }
    s->con_fd = -1;
    s->con_vc = 0;
    free(s->vetoes);
    s->vetoes = nullptr;
    s->n_vetoes = s->cap_vetoes = 0;
}

int server_three_buttons(const server *s)
{
    return s->middle_devices > 0 ? 1 : 0;
}
