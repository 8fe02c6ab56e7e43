/* sharing.cpp: who may paste what where, which clients a console keeps,
 * and how often refusals are written down. */
#include "sharing.h"

#include <cstring>
#include <sys/inotify.h>

namespace
{

constexpr int TTY_FIRST = 1;
constexpr int TTY_LAST = 63;
constexpr uint8_t BLANK = ' ';
constexpr size_t VCSA_HEADER = 4; /* rows, columns, cursor column, cursor row */

/* The kernel's inotify record: a fixed header, then len bytes of name,
 * padded with zeros. */
static_assert(sizeof(inotify_event) == 16, "inotify record header is 16 bytes");
static_assert(offsetof(inotify_event, wd) == 0, "wd first");
static_assert(offsetof(inotify_event, mask) == 4, "mask at 4");
static_assert(offsetof(inotify_event, cookie) == 8, "cookie at 8");
static_assert(offsetof(inotify_event, len) == 12, "len at 12");

} // namespace

int paste_allowed(const selection_owner *sel, int64_t source_owner, int64_t target_owner)
{
    if (!sel->known || sel->owner == OWNER_UNKNOWN)
        return 0;
    return source_owner == sel->owner && target_owner == sel->owner ? 1 : 0;
}

int client_may_stay(uid_t uid, int64_t owner)
{
    return uid == 0 || static_cast<int64_t>(uid) == owner ? 1 : 0;
}

int tty_number(const char *name, size_t len)
{
    /* "tty" and one or two digits, no leading zero: tty0 is the alias of the
     * console shown, not a console of its own */
    if (len < 4 || len > 5 || memcmp(name, "tty", 3) != 0 || name[3] == '0')
        return 0;
    int n = 0;
    for (size_t i = 3; i < len; i++) {
        if (name[i] < '0' || name[i] > '9')
            return 0;
        n = n * 10 + (name[i] - '0');
    }
    return n >= TTY_FIRST && n <= TTY_LAST ? n : 0;
}

uint64_t tty_changes(const void *buf, size_t len)
{
    const auto *bytes = static_cast<const uint8_t *>(buf);
    uint64_t mask = 0;
    size_t at = 0;
    while (len - at >= sizeof(inotify_event)) {
        inotify_event head;
        memcpy(&head, bytes + at, sizeof head);
        at += sizeof head;
        if (head.len > len - at)
            break;
        const char *name = reinterpret_cast<const char *>(bytes + at);
        size_t name_len = strnlen(name, head.len);
        int n = tty_number(name, name_len);
        if (n > 0)
            mask |= uint64_t{1} << n;
        at += head.len;
    }
    return mask;
}

int blank_cell(const uint8_t *vcsa, size_t len, screen_cell *at)
{
    if (len < VCSA_HEADER)
        return 0;
    size_t rows = vcsa[0], cols = vcsa[1];
    if (rows == 0 || cols < 2)
        return 0;
    size_t cells = (len - VCSA_HEADER) / 2;
    if (cells > rows * cols)
        cells = rows * cols;
    for (size_t i = 0; i < cells; i++) {
        size_t col = i % cols;
        if (col + 1 == cols)
            continue; /* a blank run up to the last column is stored as "\r" */
        if (vcsa[VCSA_HEADER + 2 * i] == BLANK) {
            at->x = static_cast<int>(col) + 1;
            at->y = static_cast<int>(i / cols) + 1;
            return 1;
        }
    }
    return 0;
}

int gate_pass(report_gate *g, uint64_t now_ms, uint32_t most, uint64_t window_ms, uint64_t *summary)
{
    *summary = 0;
    if (g->window_ms == 0 || now_ms < g->window_ms || now_ms - g->window_ms >= window_ms) {
        *summary = g->held;
        g->held = 0;
        g->window_ms = now_ms == 0 ? 1 : now_ms;
        g->shown = 0;
    }
    if (g->shown < most) {
        g->shown++;
        return 1;
    }
    g->held++;
    return 0;
}
