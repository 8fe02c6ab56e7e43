/* sharing.h: the rules that keep the consoles of different users apart,
 * as pure functions over plain values.
 *
 * A console belongs to whoever owns its tty (a login hands /dev/ttyN to the
 * user, a logout gives it back to root). The kernel keeps one selection
 * buffer for every console, so the server remembers who owned the console a
 * selection was made on, and pastes it only where that same user owns both
 * that console and the console shown. Clients are kept by a console only
 * while their user owns it (root's are always kept). */
#ifndef MOXD_SHARING_H
#define MOXD_SHARING_H

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

/* An owner that could not be learnt (no such tty, no access). */
constexpr int64_t OWNER_UNKNOWN = -1;

/* The selection the server made last, as far as pasting it goes. */
struct selection_owner {
    int known;     /* a selection was made and has not been forgotten */
    int vc;        /* the console it was made on */
    int64_t owner; /* who owned that console then */
};

/* 1 when the selection may be pasted into a console whose owner is now
 * target_owner, while the console it came from is owned by source_owner;
 * unknown owners never match. */
int paste_allowed(const selection_owner *sel, int64_t source_owner, int64_t target_owner);

/* 1 when a client whose peer is uid may stay attached to a console owned by
 * owner: root, or the owner himself. */
int client_may_stay(uid_t uid, int64_t owner);

/* The number N of a device name "ttyN" (1 to 63), or 0 for any other name. */
int tty_number(const char *name, size_t len);

/* Bit N set for every /dev/ttyN named by the inotify records in buf (len
 * bytes, as read from an inotify descriptor watching /dev). Records that do
 * not fit in buf are ignored. */
uint64_t tty_changes(const void *buf, size_t len);

/* A cell of a console screen, as the kernel's selection counts (from 1). */
struct screen_cell {
    int x, y;
};

/* Finds a blank cell that is not in the last column in the bytes of a
 * /dev/vcsa device (a header of rows, columns, cursor column and row, then
 * a character and an attribute byte per cell). Selecting that one cell puts
 * a single blank in the kernel's buffer, and clearing it leaves nothing
 * drawn. Returns 1 with the cell in *at, 0 when there is none. */
int blank_cell(const uint8_t *vcsa, size_t len, screen_cell *at);

/* A limit on how many lines of one kind of report the log takes: at most
 * `most` in each window; the rest are counted and said in one line later. */
struct report_gate {
    uint64_t window_ms; /* when the current window began */
    uint32_t shown;     /* lines let through in it */
    uint64_t held;      /* lines held back since the last summary */
};

/* Whether a report made at now_ms may be written. When a new window begins
 * with lines held back from earlier, *summary gets their number (and the
 * count starts again); otherwise *summary is 0. */
int gate_pass(report_gate *g, uint64_t now_ms, uint32_t most, uint64_t window_ms,
              uint64_t *summary);

#endif /* MOXD_SHARING_H */
