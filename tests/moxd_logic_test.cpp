// The logic of moxd that needs no device, as tables: motion to cells, click
// series, the records built, the default handling (pointer, selection,
// paste, mouse reports) and the device settings string.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "budget.h"
#include "cells.h"
#include "clicks.h"
#include "event.h"
#include "fake_host.h"
#include "handling.h"
#include "input.h"
#include "moxInt.h"
#include "settings.h"
#include "sharing.h"
#include "words.h"

#include <sys/inotify.h>

#include <linux/input-event-codes.h>

namespace
{

struct Move {
    double dx, dy;
    int x, y;   // cell after the move
    int sx, sy; // cells moved
};

// 80x25 screen, cells of 8x16 units, starting at the middle (40, 13).
TEST(Cells, RelativeMotionAccumulatesAndClamps)
{
    const struct {
        const char *what;
        std::vector<Move> moves;
    } cases[] = {
        {"below a cell, then enough to make one",
         {{5, 0, 40, 13, 0, 0}, {2.9, 0, 40, 13, 0, 0}, {0.2, 0, 41, 13, 1, 0}}},
        {"slow movement still gets somewhere",
         {{1, 1, 40, 13, 0, 0},
          {1, 1, 40, 13, 0, 0},
          {1, 1, 40, 13, 0, 0},
          {1, 1, 40, 13, 0, 0},
          {1, 1, 40, 13, 0, 0},
          {1, 1, 40, 13, 0, 0},
          {1, 1, 40, 13, 0, 0},
          {1, 1, 41, 13, 1, 0}}},
        {"negative motion", {{-8, -16, 39, 12, -1, -1}, {-7.5, 0, 39, 12, 0, 0}}},
        {"several cells at once", {{8 * 5 + 3, 16 * 2, 45, 15, 5, 2}}},
        {"clamped at the right and bottom edges", {{8 * 100, 16 * 100, 80, 25, 40, 12}}},
        {"clamped at the left and top edges", {{-8 * 100, -16 * 100, 1, 1, -39, -12}}},
        // the excess against an edge is dropped: moving back responds at once
        {"back from the edge at once", {{8 * 100, 0, 80, 13, 40, 0}, {-8, 0, 79, 13, -1, 0}}},
        {"remainder kept across a change of sign",
         {{6, 0, 40, 13, 0, 0}, {-3, 0, 40, 13, 0, 0}, {5, 0, 41, 13, 1, 0}}},
        {"huge values stay on the screen", {{1e300, -1e300, 80, 1, 40, -12}}},
        {"non-numbers are ignored",
         {{std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(), 40,
           13, 0, 0}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        pointer_cells p;
        cells_init(&p, 80, 25);
        for (size_t i = 0; i < c.moves.size(); i++) {
            SCOPED_TRACE(i);
            const Move &m = c.moves[i];
            int sx = 99, sy = 99;
            int changed = cells_move(&p, m.dx, m.dy, 8, 16, &sx, &sy);
            EXPECT_EQ(p.x, m.x);
            EXPECT_EQ(p.y, m.y);
            EXPECT_EQ(sx, m.sx);
            EXPECT_EQ(sy, m.sy);
            EXPECT_EQ(changed, m.sx != 0 || m.sy != 0);
        }
    }
}

TEST(Cells, AbsolutePositionsCoverTheWholeScreen)
{
    // libinput scales a device's range onto [0, cols): its left edge is 0,
    // its right edge just below cols.
    const struct {
        double col, row;
        int x, y;
    } cases[] = {
        {0.0, 0.0, 1, 1},     {79.999, 24.999, 80, 25}, {80.0, 25.0, 80, 25},
        {0.999, 0.999, 1, 1}, {1.0, 1.0, 2, 2},         {39.5, 12.2, 40, 13},
        {-3.0, -0.5, 1, 1},   {1e9, 1e9, 80, 25},       {std::nan(""), std::nan(""), 1, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.col << "," << c.row);
        pointer_cells p;
        cells_init(&p, 80, 25);
        p.rem_x = 5; // an absolute device forgets relative remainders
        int sx = 0, sy = 0;
        cells_place(&p, c.col, c.row, &sx, &sy);
        EXPECT_EQ(p.x, c.x);
        EXPECT_EQ(p.y, c.y);
        EXPECT_EQ(sx, c.x - 40);
        EXPECT_EQ(sy, c.y - 13);
        EXPECT_EQ(p.rem_x, 0.0);
    }
}

TEST(Cells, ResizeKeepsThePointerOnScreenAndMarginsFollow)
{
    pointer_cells p;
    cells_init(&p, 80, 25);
    int sx, sy;
    cells_move(&p, 1e6, 1e6, 8, 16, &sx, &sy);
    EXPECT_EQ(cells_margins(&p), static_cast<uint32_t>(MOX_BOT | MOX_RGT));
    cells_resize(&p, 40, 10);
    EXPECT_EQ(p.x, 40);
    EXPECT_EQ(p.y, 10);
    cells_resize(&p, 0, -5); // nonsense sizes count as one cell
    EXPECT_EQ(p.x, 1);
    EXPECT_EQ(p.y, 1);
    EXPECT_EQ(cells_margins(&p), static_cast<uint32_t>(MOX_TOP | MOX_BOT | MOX_LFT | MOX_RGT));
    cells_resize(&p, 80, 25);
    cells_move(&p, -1e6, 8 * 3, 8, 16, &sx, &sy);
    EXPECT_EQ(cells_margins(&p), static_cast<uint32_t>(MOX_LFT));
    cells_place(&p, 30, 0, &sx, &sy);
    EXPECT_EQ(cells_margins(&p), static_cast<uint32_t>(MOX_TOP));
}

TEST(Clicks, SeriesBySameButtonCellAndWindow)
{
    struct Press {
        int button, x, y;
        uint64_t t;
        int want;
    };
    const struct {
        const char *what;
        std::vector<Press> presses;
    } cases[] = {
        {"single, double, triple, then a new series",
         {{4, 1, 1, 1000, 1}, {4, 1, 1, 1200, 2}, {4, 1, 1, 1400, 3}, {4, 1, 1, 1500, 1}}},
        {"the window is press to press, inclusive",
         {{4, 1, 1, 1000, 1}, {4, 1, 1, 1400, 2}, {4, 1, 1, 1801, 1}}},
        {"another button starts a series", {{4, 1, 1, 1000, 1}, {1, 1, 1, 1100, 1}}},
        {"another cell starts a series", {{4, 1, 1, 1000, 1}, {4, 2, 1, 1100, 1}}},
        {"time going back starts a series", {{4, 1, 1, 1000, 1}, {4, 1, 1, 900, 1}}},
        {"the first press at time 0", {{4, 1, 1, 0, 1}, {4, 1, 1, 10, 2}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        click_series s;
        clicks_reset(&s);
        for (const Press &p : c.presses)
            EXPECT_EQ(clicks_press(&s, p.button, p.x, p.y, p.t, 400), p.want) << "at " << p.t;
    }
    click_series s;
    clicks_reset(&s);
    clicks_press(&s, 4, 1, 1, 1000, 400);
    clicks_reset(&s);
    EXPECT_EQ(clicks_press(&s, 4, 1, 1, 1100, 400), 1) << "a reset forgets the series";
}

TEST(Event, KindsClicksAndMargins)
{
    pointer_cells p;
    cells_init(&p, 80, 25);
    int sx, sy;
    cells_place(&p, 0, 12.5, &sx, &sy); // (1, 13): left margin
    const struct {
        const char *what;
        pointer_change change;
        uint8_t buttons;
        uint32_t type;
        int clicks;
    } cases[] = {
        {"move", {MOX_MOVE, 2, 1, -1, 0, 0}, 0, MOX_MOVE, 0},
        {"press", {MOX_DOWN, 1, 0, 0, 0, 0}, MOX_BUTTON_LEFT, MOX_DOWN | MOX_SINGLE, 1},
        {"second press", {MOX_DOWN, 2, 0, 0, 0, 0}, MOX_BUTTON_LEFT, MOX_DOWN | MOX_DOUBLE, 2},
        {"drag of a triple click",
         {MOX_DRAG, 3, 1, 0, 0, 0},
         MOX_BUTTON_LEFT,
         MOX_DRAG | MOX_TRIPLE,
         3},
        {"release", {MOX_UP, 1, 0, 0, 0, 0}, 0, MOX_UP | MOX_SINGLE, 1},
        {"wheel", {MOX_MOVE, 0, 0, 0, -2, 3}, 0, MOX_MOVE, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Mox_Event ev = event_build(&c.change, &p, 7, c.buttons, 0x05);
        EXPECT_EQ(ev.type, c.type);
        EXPECT_EQ(ev.clicks, c.clicks);
        EXPECT_EQ(ev.buttons, c.buttons);
        EXPECT_EQ(ev.modifiers, 0x05);
        EXPECT_EQ(ev.vc, 7);
        EXPECT_EQ(ev.x, 1);
        EXPECT_EQ(ev.y, 13);
        EXPECT_EQ(ev.dx, c.change.dx);
        EXPECT_EQ(ev.dy, c.change.dy);
        EXPECT_EQ(ev.wdx, c.change.wdx);
        EXPECT_EQ(ev.wdy, c.change.wdy);
        EXPECT_EQ(ev.margin, static_cast<uint32_t>(MOX_LFT));
    }
    EXPECT_EQ(event_motion_kind(0), static_cast<uint32_t>(MOX_MOVE));
    EXPECT_EQ(event_motion_kind(MOX_BUTTON_RIGHT), static_cast<uint32_t>(MOX_DRAG));
    pointer_change huge = {MOX_MOVE, 0, 100000, -100000, 40000, -40000};
    Mox_Event ev = event_build(&huge, &p, 1, 0, 0);
    EXPECT_EQ(ev.dx, INT16_MAX);
    EXPECT_EQ(ev.dy, INT16_MIN);
    EXPECT_EQ(ev.wdx, INT16_MAX);
    EXPECT_EQ(ev.wdy, INT16_MIN);
}

// One step of the default handling: what happened, and what the console
// must do (kind 0: nothing).
struct Step {
    uint32_t type;
    int button; // MOX_BUTTON_* that changed
    uint8_t buttons;
    int clicks;
    int x, y;
    int moved;
    uint8_t mods;
    int reporting;
    int paste_off;
    console_op want;
};

constexpr int L = MOX_BUTTON_LEFT, M = MOX_BUTTON_MIDDLE, R = MOX_BUTTON_RIGHT;
constexpr uint32_t DN = MOX_DOWN, UP = MOX_UP, MV = MOX_MOVE, DR = MOX_DRAG;
constexpr console_op NONE = {0, 0, 0, 0, 0, 0, 0};

console_op ptr(int x, int y)
{
    return {OP_POINTER, x, y, x, y, 0, 0};
}
// fresh: the first selection of a gesture, which hides the pointer first
console_op sel(int x1, int y1, int x2, int y2, int unit, int fresh = 0)
{
    return {OP_SELECT, x1, y1, x2, y2, unit, fresh};
}
console_op rep(int x, int y, int code)
{
    return {OP_REPORT, x, y, x, y, code, 0};
}
console_op paste(int x, int y)
{
    return {OP_PASTE, x, y, x, y, 0, 0};
}

TEST(Handling, SelectionPasteAndReports)
{
    const struct {
        const char *what;
        std::vector<Step> steps;
    } cases[] = {
        {"moves draw the pointer; a move within the cell draws nothing",
         {{MV, 0, 0, 0, 5, 5, 1, 0, 0, 0, ptr(5, 5)}, {MV, 0, 0, 0, 5, 5, 0, 0, 0, 0, NONE}}},
        {"press and drag select characters; release ends it",
         {{DN, L, L, 1, 3, 2, 0, 0, 0, 0, NONE},
          {DR, 0, L, 1, 4, 2, 1, 0, 0, 0, sel(3, 2, 4, 2, UNIT_CHAR, 1)},
          {DR, 0, L, 1, 7, 3, 1, 0, 0, 0, sel(3, 2, 7, 3, UNIT_CHAR)},
          {UP, L, 0, 1, 7, 3, 0, 0, 0, 0, NONE},
          {MV, 0, 0, 0, 8, 3, 1, 0, 0, 0, ptr(8, 3)}}},
        {"dragging backwards keeps the anchor",
         {{DN, L, L, 1, 10, 5, 0, 0, 0, 0, NONE},
          {DR, 0, L, 1, 2, 4, 1, 0, 0, 0, sel(10, 5, 2, 4, UNIT_CHAR, 1)}}},
        {"double click selects a word, and drags by words",
         {{DN, L, L, 1, 6, 1, 0, 0, 0, 0, NONE},
          {UP, L, 0, 1, 6, 1, 0, 0, 0, 0, NONE},
          {DN, L, L, 2, 6, 1, 0, 0, 0, 0, sel(6, 1, 6, 1, UNIT_WORD, 1)},
          {DR, 0, L, 2, 20, 1, 1, 0, 0, 0, sel(6, 1, 20, 1, UNIT_WORD)}}},
        {"triple click selects a line",
         {{DN, L, L, 3, 6, 4, 0, 0, 0, 0, sel(6, 4, 6, 4, UNIT_LINE, 1)},
          {DR, 0, L, 3, 6, 6, 1, 0, 0, 0, sel(6, 4, 6, 6, UNIT_LINE)}}},
        {"right button extends from the anchor, in its unit",
         {{DN, L, L, 2, 6, 1, 0, 0, 0, 0, sel(6, 1, 6, 1, UNIT_WORD, 1)},
          {UP, L, 0, 2, 6, 1, 0, 0, 0, 0, NONE},
          {MV, 0, 0, 0, 30, 2, 1, 0, 0, 0, ptr(30, 2)},
          {DN, R, R, 1, 30, 2, 0, 0, 0, 0, sel(6, 1, 30, 2, UNIT_WORD, 1)},
          {DR, 0, R, 1, 31, 2, 1, 0, 0, 0, sel(6, 1, 31, 2, UNIT_WORD)},
          {UP, R, 0, 1, 31, 2, 0, 0, 0, 0, NONE}}},
        {"right button with nothing selected does nothing",
         {{DN, R, R, 1, 3, 3, 0, 0, 0, 0, NONE}, {DR, 0, R, 1, 4, 3, 1, 0, 0, 0, ptr(4, 3)}}},
        {"middle button pastes, unless pasting is off",
         {{DN, M, M, 1, 3, 3, 0, 0, 0, 0, paste(3, 3)},
          {UP, M, 0, 1, 3, 3, 0, 0, 0, 0, NONE},
          {DN, M, M, 1, 3, 3, 0, 0, 0, 1, NONE}}},
        {"a program that asked for reports gets presses and releases",
         {{DN, L, L, 1, 3, 2, 0, 0, 1, 0, rep(3, 2, REPORT_LEFT)},
          {DR, 0, L, 1, 4, 2, 1, 0, 1, 0, ptr(4, 2)},
          {UP, L, 0, 1, 4, 2, 0, 0, 1, 0, rep(4, 2, REPORT_RELEASE)},
          {DN, M, M, 1, 4, 2, 0, 0, 1, 0, rep(4, 2, REPORT_MIDDLE)},
          {UP, M, 0, 1, 4, 2, 0, 0, 1, 0, rep(4, 2, REPORT_RELEASE)},
          {DN, R, R, 1, 4, 2, 0, 0, 1, 0, rep(4, 2, REPORT_RIGHT)},
          {UP, R, 0, 1, 4, 2, 0, 0, 1, 0, rep(4, 2, REPORT_RELEASE)}}},
        {"Shift gives the selection back",
         {{DN, L, L, 1, 3, 2, 0, MODIFIER_SHIFT, 1, 0, NONE},
          {DR, 0, L, 1, 5, 2, 1, MODIFIER_SHIFT, 1, 0, sel(3, 2, 5, 2, UNIT_CHAR, 1)},
          {UP, L, 0, 1, 5, 2, 0, MODIFIER_SHIFT, 1, 0, NONE}}},
        {"a reported press is released to the program even with Shift down",
         {{DN, L, L, 1, 3, 2, 0, 0, 1, 0, rep(3, 2, REPORT_LEFT)},
          {UP, L, 0, 1, 3, 2, 0, MODIFIER_SHIFT, 1, 0, rep(3, 2, REPORT_RELEASE)}}},
        {"a release whose press was not reported is not reported",
         {{DN, L, L, 1, 3, 2, 0, 0, 0, 0, NONE}, {UP, L, 0, 1, 3, 2, 0, 0, 1, 0, NONE}}},
        {"side buttons are not reported and select nothing",
         {{DN, MOX_BUTTON_SIDE, MOX_BUTTON_SIDE, 1, 3, 2, 0, 0, 1, 0, NONE},
          {DN, MOX_BUTTON_EXTRA, MOX_BUTTON_EXTRA, 1, 3, 2, 0, 0, 0, 0, NONE}}},
        {"a drag whose press went elsewhere draws the pointer",
         {{DR, 0, L, 1, 9, 9, 1, 0, 0, 0, ptr(9, 9)}, {UP, L, 0, 1, 9, 9, 0, 0, 0, 0, NONE}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        handling_state s;
        handling_reset(&s);
        for (size_t i = 0; i < c.steps.size(); i++) {
            SCOPED_TRACE(i);
            const Step &st = c.steps[i];
            Mox_Event ev{};
            ev.type = st.type;
            ev.buttons = st.buttons;
            ev.clicks = st.clicks;
            ev.x = static_cast<int16_t>(st.x);
            ev.y = static_cast<int16_t>(st.y);
            ev.modifiers = st.mods;
            console_facts facts = {st.reporting, st.paste_off, 0, 1};
            console_op op = {-1, -1, -1, -1, -1, -1, -1};
            int n = handling_event(&s, &ev, st.button, st.moved, &facts, &op);
            if (st.want.kind == 0) {
                EXPECT_EQ(n, 0);
                continue;
            }
            ASSERT_EQ(n, 1);
            EXPECT_EQ(op.kind, st.want.kind);
            EXPECT_EQ(op.x1, st.want.x1);
            EXPECT_EQ(op.y1, st.want.y1);
            if (op.kind == OP_SELECT) {
                EXPECT_EQ(op.x2, st.want.x2);
                EXPECT_EQ(op.y2, st.want.y2);
            }
            if (op.kind == OP_SELECT || op.kind == OP_REPORT) {
                EXPECT_EQ(op.arg, st.want.arg);
            }
            EXPECT_EQ(op.fresh, st.want.fresh);
        }
    }
}

TEST(Handling, ResetForgetsTheSelection)
{
    handling_state s;
    handling_reset(&s);
    Mox_Event ev{};
    ev.type = MOX_DOWN;
    ev.buttons = L;
    ev.clicks = 1;
    ev.x = 2;
    ev.y = 2;
    console_facts facts = {0, 0, 0, 0};
    console_op op;
    handling_event(&s, &ev, L, 0, &facts, &op);
    handling_reset(&s); // another console is shown
    ev.type = MOX_DRAG;
    ev.x = 5;
    ASSERT_EQ(handling_event(&s, &ev, 0, 1, &facts, &op), 1);
    EXPECT_EQ(op.kind, OP_POINTER);
    ev.type = MOX_DOWN;
    ev.buttons = R;
    ev.clicks = 1;
    EXPECT_EQ(handling_event(&s, &ev, R, 0, &facts, &op), 0) << "no anchor to extend from";
}

// A wheel notch goes to a program in normal tracking mode as the xterm
// report, unless the setting is off, Shift is held or the mode has no wheel.
TEST(Handling, WheelReportsOnlyInNormalTracking)
{
    const struct {
        const char *what;
        int wdy, mode, setting;
        uint8_t mods;
        int notches; // 0: the console is left alone
    } cases[] = {
        {"a notch away", 1, MOUSE_MODE_NORMAL, 1, 0, 1},
        {"two notches towards", -2, MOUSE_MODE_NORMAL, 1, 0, -2},
        {"a wild spin is bounded", 500, MOUSE_MODE_NORMAL, 1, 0, WHEEL_NOTCHES_MAX},
        {"X10 mode has no wheel", 1, MOUSE_MODE_X10, 1, 0, 0},
        {"reporting off: the shell would read garbage", 1, 0, 1, 0, 0},
        {"the setting off", 1, MOUSE_MODE_NORMAL, 0, 0, 0},
        {"Shift keeps the wheel", 1, MOUSE_MODE_NORMAL, 1, MODIFIER_SHIFT, 0},
        {"the mode could not be asked", 1, -1, 1, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        handling_state s;
        handling_reset(&s);
        Mox_Event ev{};
        ev.type = MOX_MOVE;
        ev.x = 7;
        ev.y = 3;
        ev.wdy = static_cast<int16_t>(c.wdy);
        ev.modifiers = c.mods;
        console_facts facts = {0, 0, c.mode, c.setting};
        console_op op = {-1, -1, -1, -1, -1, -1, -1};
        int n = handling_event(&s, &ev, 0, 0, &facts, &op);
        EXPECT_EQ(n, c.notches != 0);
        if (n == 1) {
            EXPECT_EQ(op.kind, OP_WHEEL);
            EXPECT_EQ(op.arg, c.notches);
            EXPECT_EQ(op.x1, 7);
            EXPECT_EQ(op.y1, 3);
        }
    }

    const struct {
        int away, x, y;
        const char *bytes;
    } reports[] = {
        {1, 1, 1, "\033[M`!!"},
        {0, 80, 25, "\033[Map9"},
        {1, 223, 223, "\033[M`\377\377"},
        {0, 300, 224, "\033[Ma\377\377"}, // clamped: one byte holds 32 + 223 at most
        {1, 0, -5, "\033[M`!!"},
    };
    for (const auto &r : reports) {
        uint8_t out[WHEEL_REPORT_LEN + 1] = {0, 0, 0, 0, 0, 0, 0xAD};
        ASSERT_EQ(handling_wheel_report(r.away, r.x, r.y, out), WHEEL_REPORT_LEN);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(out), WHEEL_REPORT_LEN), r.bytes)
            << r.x << "," << r.y;
        EXPECT_EQ(out[WHEEL_REPORT_LEN], 0xAD);
    }
}

// The word-character table: letters, digits and non-ASCII codes always, the
// setting's characters one by one; the kernel's own table from its four.
TEST(Words, TableFromTheSetting)
{
    constexpr uint32_t ALL = 0xFFFFFFFF;
    const struct {
        const char *chars;
        int result;
        uint32_t want[WORD_TABLE_WORDS];
    } cases[] = {
        {WORD_CHARS_KERNEL, 0, {0, 0x03FFE000, 0x87FFFFFE, 0x07FFFFFE, ALL, ALL, ALL, ALL}},
        {WORD_CHARS_DEFAULT, 0, {0, 0xA7FFF868, 0x87FFFFFF, 0x47FFFFFE, ALL, ALL, ALL, ALL}},
        {"", 0, {0, 0x03FF0000, 0x07FFFFFE, 0x07FFFFFE, ALL, ALL, ALL, ALL}},
        {"a-z!!", 0, {0, 0x03FF2002, 0x07FFFFFE, 0x07FFFFFE, ALL, ALL, ALL, ALL}}, // no ranges
        {"a b", -1, {}},
        {"\t", -1, {}},
        {"\x7f", -1, {}},
        {"\xc3\xa9", -1, {}}, // non-ASCII counts always; it is no setting
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.chars);
        uint32_t table[WORD_TABLE_WORDS];
        memset(table, 0xAD, sizeof table);
        char why[160] = "";
        ASSERT_EQ(words_table(c.chars, table, why, sizeof why), c.result) << why;
        for (int i = 0; i < WORD_TABLE_WORDS; i++)
            EXPECT_EQ(table[i], c.result == 0 ? c.want[i] : 0xADADADADu) << "word " << i;
        EXPECT_EQ(why[0] != '\0', c.result != 0) << why;
    }
    std::string longest(WORD_CHARS_MAX, '~');
    uint32_t table[WORD_TABLE_WORDS];
    char why[160];
    EXPECT_EQ(words_table(longest.c_str(), table, why, sizeof why), 0);
    EXPECT_EQ(words_table((longest + "~").c_str(), table, why, sizeof why), -1);
}

TEST(Budget, RecordsPerClientPerSecond)
{
    record_budget b{};
    uint64_t t = 5000;
    for (uint32_t i = 1; i < RECORDS_PER_SECOND; i++)
        ASSERT_EQ(budget_take(&b, t + i), 1) << "record " << i;
    EXPECT_EQ(budget_take(&b, t + 500), 0) << "the last record of the budget";
    EXPECT_EQ(budget_resume_ms(&b), t + 1 + BUDGET_WINDOW_MS) << "a second after the first";
    // a new second, a new budget
    EXPECT_EQ(budget_take(&b, t + 1 + BUDGET_WINDOW_MS), 1);
    EXPECT_EQ(b.used, 1u);
    // a few records a second never run out
    record_budget calm{};
    for (int second = 0; second < 5; second++)
        for (int i = 0; i < 10; i++)
            EXPECT_EQ(budget_take(&calm, 100000 + second * 1000 + i * 90), 1);
    // a clock that went back starts a new second rather than stalling
    record_budget back{};
    for (uint32_t i = 0; i < RECORDS_PER_SECOND; i++)
        budget_take(&back, 9000);
    EXPECT_EQ(budget_take(&back, 100), 1);
}

TEST(Sharing, TtyNamesAndInotifyRecords)
{
    const struct {
        const char *name;
        int n;
    } names[] = {{"tty1", 1},  {"tty63", 63}, {"tty64", 0}, {"tty0", 0},  {"tty07", 0},
                 {"ttyS0", 0}, {"tty", 0},    {"vcsa1", 0}, {"tty123", 0}};
    for (const auto &c : names)
        EXPECT_EQ(tty_number(c.name, strlen(c.name)), c.n) << c.name;

    // records as the kernel writes them: names padded with zeros; the last
    // one cut short by the buffer's end is ignored
    std::vector<uint8_t> buf;
    auto put = [&](const char *name, uint32_t padded) {
        inotify_event head{1, IN_ATTRIB, 0, padded};
        const auto *h = reinterpret_cast<const uint8_t *>(&head);
        buf.insert(buf.end(), h, h + sizeof head);
        std::vector<uint8_t> field(padded, 0);
        memcpy(field.data(), name, strlen(name));
        buf.insert(buf.end(), field.begin(), field.end());
    };
    put("tty3", 16);
    put("null", 16);
    put("tty12", 16);
    EXPECT_EQ(tty_changes(buf.data(), buf.size()), (uint64_t{1} << 3) | (uint64_t{1} << 12));
    put("tty5", 16);
    EXPECT_EQ(tty_changes(buf.data(), buf.size() - 1), (uint64_t{1} << 3) | (uint64_t{1} << 12));
    EXPECT_EQ(tty_changes(buf.data(), 7), 0u);
}

TEST(Sharing, BlankCellForWipingTheSelection)
{
    // 2 rows of 3 columns; cells as (character, attribute)
    const struct {
        const char *text; // 6 characters, row by row
        size_t cut;       // bytes read, 0 for all
        int found, x, y;
    } cases[] = {
        {"a bcde", 0, 1, 2, 1}, {"ab  cd", 0, 1, 1, 2}, {"abcd e", 0, 1, 2, 2},
        {"ab cd ", 0, 0, 0, 0}, // blanks only in the last column
        {"xyzxyz", 0, 0, 0, 0}, {"a bcde", 9, 1, 2, 1}, {"a bcde", 7, 0, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<uint8_t> vcsa = {2, 3, 0, 0};
        for (int i = 0; i < 6; i++) {
            vcsa.push_back(static_cast<uint8_t>(c.text[i]));
            vcsa.push_back(0x07);
        }
        screen_cell at{0, 0};
        EXPECT_EQ(blank_cell(vcsa.data(), c.cut != 0 ? c.cut : vcsa.size(), &at), c.found);
        EXPECT_EQ(at.x, c.x);
        EXPECT_EQ(at.y, c.y);
    }
}

TEST(Sharing, RefusalsAreLoggedAtARate)
{
    report_gate g{};
    uint64_t summary = 99;
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(gate_pass(&g, 1000 + i, 3, 60000, &summary), 1);
    for (int i = 0; i < 500; i++)
        EXPECT_EQ(gate_pass(&g, 2000 + i, 3, 60000, &summary), 0);
    EXPECT_EQ(summary, 0u);
    EXPECT_EQ(gate_pass(&g, 61000, 3, 60000, &summary), 1) << "a new window";
    EXPECT_EQ(summary, 500u) << "the held lines are counted once";
    EXPECT_EQ(gate_pass(&g, 61001, 3, 60000, &summary), 1);
    EXPECT_EQ(summary, 0u);
}

TEST(InputMap, ButtonsAndScrollSteps)
{
    const struct {
        uint32_t code;
        int bit;
    } buttons[] = {{BTN_LEFT, MOX_BUTTON_LEFT},
                   {BTN_RIGHT, MOX_BUTTON_RIGHT},
                   {BTN_MIDDLE, MOX_BUTTON_MIDDLE},
                   {BTN_SIDE, MOX_BUTTON_SIDE},
                   {BTN_BACK, MOX_BUTTON_SIDE},
                   {BTN_EXTRA, MOX_BUTTON_EXTRA},
                   {BTN_FORWARD, MOX_BUTTON_EXTRA},
                   {BTN_TASK, 0},
                   {BTN_TOUCH, 0},
                   {0, 0}};
    for (const auto &b : buttons)
        EXPECT_EQ(input_button_bit(b.code), b.bit) << "code " << b.code;

    const struct {
        const char *what;
        std::vector<double> values;
        std::vector<int> steps;
    } scrolls[] = {
        {"whole notches", {120, 240, -120}, {1, 2, -1}},
        {"high-resolution parts add up", {30, 30, 30, 30, 60}, {0, 0, 0, 1, 0}},
        {"a change of direction drops the gathered part", {90, -30, -90}, {0, 0, -1}},
        {"non-numbers do nothing", {std::nan(""), 120}, {0, 1}},
        {"a wild value is bounded", {1e300}, {1000}},
    };
    for (const auto &s : scrolls) {
        SCOPED_TRACE(s.what);
        double acc = 0;
        for (size_t i = 0; i < s.values.size(); i++)
            EXPECT_EQ(input_steps(&acc, s.values[i], 120), s.steps[i]) << "value " << i;
    }
}

TEST(Settings, NamesValuesAndComplaints)
{
    const struct {
        const char *text;
        int errors;
        const char *want; // the settings as text, see below
        std::vector<std::string> reports;
    } cases[] = {
        {nullptr, 0, "speed=- accel=0 tap=0 nat=0 left=0 mid=0 scroll=0 cell=8x16", {}},
        {"speed=0.4,tap,natural-scroll,left-handed,middle-emulation",
         0,
         "speed=0.40 accel=0 tap=1 nat=1 left=1 mid=1 scroll=0 cell=8x16",
         {}},
        {"accel=flat,scroll=edge,cell-width=10,cell-height=20",
         0,
         "speed=- accel=2 tap=0 nat=0 left=0 mid=0 scroll=2 cell=10x20",
         {}},
        // blanks around '=' are skipped; an item that begins with one names nothing
        {"speed = -1, accel=flat",
         1,
         "speed=-1.00 accel=0 tap=0 nat=0 left=0 mid=0 scroll=0 cell=8x16",
         {"moxd: Uknown option \" accel=flat\" for protocol \"libinput\"\n",
          "moxd: Continuing despite errors in option parsing"}},
        {"speed=1.5",
         1,
         "speed=- accel=0 tap=0 nat=0 left=0 mid=0 scroll=0 cell=8x16",
         {"moxd: Invalid argument \"1.5\" for option \"speed\""}},
        {"speed=fast,accel=quick,scroll=sideways",
         3,
         "speed=- accel=0 tap=0 nat=0 left=0 mid=0 scroll=0 cell=8x16",
         {"moxd: Invalid argument \"fast\" for option \"speed\"",
          "moxd: Invalid argument \"quick\" for option \"accel\"",
          "moxd: Invalid argument \"sideways\" for option \"scroll\""}},
        {"cell-width=0,cell-height=20000",
         2,
         "speed=- accel=0 tap=0 nat=0 left=0 mid=0 scroll=0 cell=8x16",
         {"moxd: Invalid argument \"0\" for option \"cell-width\"",
          "moxd: Invalid argument \"20000\" for option \"cell-height\""}},
        // a name that begins like another is still told apart
        {"tapping",
         1,
         "speed=- accel=0 tap=0 nat=0 left=0 mid=0 scroll=0 cell=8x16",
         {"moxd: Uknown option \"tapping\" for protocol \"libinput\"\n"}},
        {"speed=-1,scroll=two-finger,scroll=none",
         0,
         "speed=-1.00 accel=0 tap=0 nat=0 left=0 mid=0 scroll=1 cell=8x16",
         {"moxd: option \"scroll=none\" has already been seen, ignored (\"libinput\")\n"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text != nullptr ? c.text : "(none)");
        fake_host_reset();
        option.progname = "moxd";
        device_settings s;
        settings_defaults(&s);
        EXPECT_EQ(settings_parse(&s, c.text), c.errors);
        char got[160];
        char speed[16] = "-";
        if (s.has_speed)
            snprintf(speed, sizeof speed, "%.2f", s.speed);
        snprintf(got, sizeof got,
                 "speed=%s accel=%d tap=%d nat=%d left=%d mid=%d scroll=%d cell=%dx%d", speed,
                 s.accel, s.tap, s.natural_scroll, s.left_handed, s.middle_emulation, s.scroll,
                 s.cell_width, s.cell_height);
        EXPECT_EQ(std::string(got), c.want);
        for (const std::string &want : c.reports) {
            bool found = false;
            for (const FakeReport &r : fake_host.reports)
                if (r.severity == 4 && r.text.compare(0, want.size(), want) == 0)
                    found = true;
            EXPECT_TRUE(found) << "no report beginning " << want;
        }
        if (c.reports.empty()) {
            EXPECT_TRUE(fake_host.reports.empty());
        }
    }
}

} // namespace
