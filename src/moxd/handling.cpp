/* handling.cpp: selection, paste, pointer and mouse reports. */
#include "handling.h"

namespace
{

void put(console_op *op, int kind, int x1, int y1, int x2, int y2, int arg)
{
    op->fresh = 0;
    op->kind = kind;
    op->x1 = x1;
    op->y1 = y1;
    op->x2 = x2;
    op->y2 = y2;
    op->arg = arg;
}

int report_code_of(int button)
{
    switch (button) {
    case MOX_BUTTON_LEFT:
        return REPORT_LEFT;
    case MOX_BUTTON_MIDDLE:
        return REPORT_MIDDLE;
    case MOX_BUTTON_RIGHT:
        return REPORT_RIGHT;
    default:
        return -1;
    }
}

/* The anchor and the pointer's cell, in the unit of the selection. The
 * kernel draws the pointer and the selection alike, by inverting cells, so
 * the pointer left on a selected cell would make it look unselected: the
 * first selection of a gesture hides the pointer, and the pointer comes
 * back with the next plain move. */
int select_to(handling_state *s, const Mox_Event *ev, console_op *op)
{
    put(op, OP_SELECT, s->anchor_x, s->anchor_y, ev->x, ev->y, s->unit);
    op->fresh = s->selected ? 0 : 1;
    s->selected = 1;
    return 1;
}

int press(handling_state *s, const Mox_Event *ev, int button, const console_facts *facts,
          console_op *op)
{
    /* A program that reads the mouse gets the press, unless Shift asks for
     * the selection instead, as terminal emulators do. */
    int code = report_code_of(button);
    if (facts->reporting && (ev->modifiers & MODIFIER_SHIFT) == 0 && code >= 0) {
        s->reported |= static_cast<uint8_t>(button);
        put(op, OP_REPORT, ev->x, ev->y, ev->x, ev->y, code);
        return 1;
    }
    switch (button) {
    case MOX_BUTTON_LEFT:
        s->selected = 0;
        s->has_anchor = 1;
        s->anchor_x = ev->x;
        s->anchor_y = ev->y;
        s->dragging = MOX_BUTTON_LEFT;
        /* A single click only sets the anchor: the selection (and with it
         * the text a middle click pastes) changes once the pointer drags. */
        if (ev->clicks >= 3) {
            s->unit = UNIT_LINE;
            return select_to(s, ev, op);
        }
        if (ev->clicks == 2) {
            s->unit = UNIT_WORD;
            return select_to(s, ev, op);
        }
        s->unit = UNIT_CHAR;
        return 0;
    case MOX_BUTTON_RIGHT:
        if (!s->has_anchor)
            return 0;
        s->dragging = MOX_BUTTON_RIGHT;
        s->selected = 0;
        return select_to(s, ev, op);
    case MOX_BUTTON_MIDDLE:
        if (facts->paste_off)
            return 0;
        put(op, OP_PASTE, ev->x, ev->y, ev->x, ev->y, 0);
        return 1;
    default:
        return 0;
    }
}

int release(handling_state *s, const Mox_Event *ev, int button, console_op *op)
{
    if (s->dragging == button)
        s->dragging = 0;
    if ((s->reported & button) != 0) {
        /* the release goes where its press went, Shift or not */
        s->reported &= static_cast<uint8_t>(~button);
        put(op, OP_REPORT, ev->x, ev->y, ev->x, ev->y, REPORT_RELEASE);
        return 1;
    }
    return 0;
}

/* The kernel's own reports carry four button bits, so a wheel cannot go
 * through them: a program in normal tracking mode gets the xterm wheel
 * report written into its input instead, one per notch. Never in X10 mode
 * (its protocol has no wheel) nor with reporting off, where the shell would
 * read the bytes as typed text; Shift keeps the wheel for the console, as
 * it keeps the buttons. */
int wheel(const Mox_Event *ev, const console_facts *facts, console_op *op)
{
    if (!facts->wheel_reports || facts->report_mode != MOUSE_MODE_NORMAL ||
        (ev->modifiers & MODIFIER_SHIFT) != 0)
        return 0;
    int notches = ev->wdy > WHEEL_NOTCHES_MAX
                      ? WHEEL_NOTCHES_MAX
                      : (ev->wdy < -WHEEL_NOTCHES_MAX ? -WHEEL_NOTCHES_MAX : ev->wdy);
    put(op, OP_WHEEL, ev->x, ev->y, ev->x, ev->y, notches);
    return 1;
}

uint8_t report_cell(int v)
{
    return static_cast<uint8_t>(32 + (v < 1 ? 1 : (v > REPORT_CELL_MAX ? REPORT_CELL_MAX : v)));
}

} // namespace

int handling_wheel_report(int away, int x, int y, uint8_t out[WHEEL_REPORT_LEN])
{
    out[0] = 0x1B;
    out[1] = '[';
    out[2] = 'M';
    out[3] = static_cast<uint8_t>(32 + (away ? WHEEL_CODE_AWAY : WHEEL_CODE_TOWARD));
    out[4] = report_cell(x);
    out[5] = report_cell(y);
    return WHEEL_REPORT_LEN;
}

void handling_reset(handling_state *s)
{
    s->has_anchor = 0;
    s->anchor_x = 0;
    s->anchor_y = 0;
    s->unit = UNIT_CHAR;
    s->dragging = 0;
    s->selected = 0;
    s->reported = 0;
}

int handling_event(handling_state *s, const Mox_Event *ev, int button, int moved,
                   const console_facts *facts, console_op *op)
{
    if ((ev->type & MOX_DOWN) != 0)
        return press(s, ev, button, facts, op);
    if ((ev->type & MOX_UP) != 0)
        return release(s, ev, button, op);
    if (ev->wdy != 0)
        return wheel(ev, facts, op);
    if ((ev->type & (MOX_MOVE | MOX_DRAG)) == 0 || !moved)
        return 0;
    /* While a selection follows the pointer its end shows where the pointer
     * is; the pointer itself is drawn again on the next plain move. */
    if (s->dragging != 0 && (ev->buttons & s->dragging) != 0)
        return select_to(s, ev, op);
    put(op, OP_POINTER, ev->x, ev->y, ev->x, ev->y, 0);
    return 1;
}
