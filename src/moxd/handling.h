/* handling.h: the server's own handling of a pointer event, which applies
 * when no client finished the event: the pointer drawn on the console,
 * selection with the left button (a double click selects words, a triple
 * click lines), extension with the right button, paste with the middle one,
 * and mouse reports to a console program that asked for them, the wheel
 * included.
 *
 * Pure logic: it says what to do to the console as one operation, which the
 * console code carries out. */
#ifndef MOXD_HANDLING_H
#define MOXD_HANDLING_H

#include "mox.h"

#include <cstdint>

/* Selection units, the kernel's own codes for them. */
enum sel_unit : int { UNIT_CHAR = 0, UNIT_WORD = 1, UNIT_LINE = 2 };

/* Mouse report codes: the kernel turns them into ESC [ M (32+code) x y. */
enum report_code : int { REPORT_LEFT = 0, REPORT_MIDDLE = 1, REPORT_RIGHT = 2, REPORT_RELEASE = 3 };

enum console_op_kind : int {
    OP_POINTER = 1, /* draw the pointer at (x1, y1) */
    OP_SELECT,      /* select from (x1, y1) to (x2, y2) by unit */
    OP_PASTE,       /* paste the selection into the console's input */
    OP_REPORT,      /* report code at (x1, y1) to the console program */
    OP_WHEEL        /* arg wheel notches (> 0 away from the user) at (x1, y1) to it */
};

struct console_op {
    int kind;
    int x1, y1, x2, y2;
    int arg;   /* OP_SELECT: a sel_unit; OP_REPORT: a report_code */
    int fresh; /* OP_SELECT: the first of a gesture: hide the pointer first */
};

/* What the console tells about itself at the time of the event. */
struct console_facts {
    int reporting;     /* the console program switched on mouse reporting */
    int paste_off;     /* a client switched pasting off */
    int report_mode;   /* wheel events: TIOCL_GETMOUSEREPORTING's answer */
    int wheel_reports; /* the setting: wheel notches may be reported */
};

/* TIOCL_GETMOUSEREPORTING's answers: off, X10 (ESC [ ? 9 h: presses only,
 * no wheel in that protocol) and normal tracking (ESC [ ? 1000 h). */
constexpr int MOUSE_MODE_X10 = 1;
constexpr int MOUSE_MODE_NORMAL = 2;

/* The xterm report of a wheel notch: ESC [ M, 32 + 64 (away from the user)
 * or 32 + 65 (towards), 32 + column, 32 + row. One byte holds a position up
 * to 223; beyond it the position is clamped to 223. */
constexpr int WHEEL_REPORT_LEN = 6;
constexpr int WHEEL_CODE_AWAY = 64;
constexpr int WHEEL_CODE_TOWARD = 65;
constexpr int REPORT_CELL_MAX = 223;
/* Notches reported for one event at most: a wheel spun hard still leaves
 * room in the console's input queue (4 KiB) for what the user types. */
constexpr int WHEEL_NOTCHES_MAX = 10;

/* Writes the report of one notch (away: non-zero for a notch away from the
 * user) at cell (x, y) into out. Returns WHEEL_REPORT_LEN. */
int handling_wheel_report(int away, int x, int y, uint8_t out[WHEEL_REPORT_LEN]);

/* Keyboard shift state bit for Shift (the kernel's KG_SHIFT). */
constexpr uint8_t MODIFIER_SHIFT = 1u << 0;

struct handling_state {
    int has_anchor; /* a selection was started on this console */
    int anchor_x;   /* where it started */
    int anchor_y;
    int unit;         /* its unit: a sel_unit */
    int dragging;     /* MOX_BUTTON_LEFT or _RIGHT while it follows the pointer, else 0 */
    int selected;     /* the current gesture has selected already */
    uint8_t reported; /* buttons whose press went to the console program */
};

/* Forgets the selection in progress (another console is shown). */
void handling_reset(handling_state *s);

/* Handles ev (kind in its type, position, modifiers, click count), where
 * button is the MOX_BUTTON_* bit that went down or up (0 for motion) and
 * moved says whether the pointer changed cell. Returns 1 with the operation
 * in *op, or 0 when the console is left alone. */
int handling_event(handling_state *s, const Mox_Event *ev, int button, int moved,
                   const console_facts *facts, console_op *op);

#endif /* MOXD_HANDLING_H */
