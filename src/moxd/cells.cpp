/* cells.cpp: pointer motion in character cells. */
#include "cells.h"

#include "mox.h"

#include <cmath>

namespace
{

int clamp_int(int v, int lo, int hi)
{
    return v < lo ? lo : (v > hi ? hi : v);
}

/* Moves one axis by whole cells out of the accumulated remainder. */
int step_axis(int *pos, double *rem, double delta, double cell, int limit)
{
    if (!(cell > 0.0) || !std::isfinite(delta))
        return 0;
    *rem += delta;
    double whole = std::trunc(*rem / cell);
    /* a wild device value must not overflow the int below */
    if (whole > limit)
        whole = limit;
    else if (whole < -limit)
        whole = -limit;
    int want = *pos + static_cast<int>(whole);
    *rem -= whole * cell;
    int got = clamp_int(want, 1, limit);
    if (got != want)
        *rem = 0.0; /* pressing against the edge: forget the excess */
    int moved = got - *pos;
    *pos = got;
    return moved;
}

int place_axis(int *pos, double where, int limit)
{
    int cell = 1;
    if (std::isfinite(where) && where > 0.0)
        cell = where >= limit ? limit : static_cast<int>(where) + 1;
    int moved = cell - *pos;
    *pos = cell;
    return moved;
}

} // namespace

void cells_init(pointer_cells *p, int cols, int rows)
{
    p->cols = cols < 1 ? 1 : cols;
    p->rows = rows < 1 ? 1 : rows;
    p->x = (p->cols + 1) / 2;
    p->y = (p->rows + 1) / 2;
    p->rem_x = 0.0;
    p->rem_y = 0.0;
}

void cells_resize(pointer_cells *p, int cols, int rows)
{
    p->cols = cols < 1 ? 1 : cols;
    p->rows = rows < 1 ? 1 : rows;
    p->x = clamp_int(p->x, 1, p->cols);
    p->y = clamp_int(p->y, 1, p->rows);
}

int cells_move(pointer_cells *p, double dx, double dy, double cell_w, double cell_h, int *step_x,
               int *step_y)
{
    *step_x = step_axis(&p->x, &p->rem_x, dx, cell_w, p->cols);
    *step_y = step_axis(&p->y, &p->rem_y, dy, cell_h, p->rows);
    return *step_x != 0 || *step_y != 0;
}

int cells_place(pointer_cells *p, double col_pos, double row_pos, int *step_x, int *step_y)
{
    p->rem_x = 0.0;
    p->rem_y = 0.0;
    *step_x = place_axis(&p->x, col_pos, p->cols);
    *step_y = place_axis(&p->y, row_pos, p->rows);
    return *step_x != 0 || *step_y != 0;
}

uint32_t cells_margins(const pointer_cells *p)
{
    uint32_t m = 0;
    if (p->y == 1)
        m |= MOX_TOP;
    if (p->y == p->rows)
        m |= MOX_BOT;
    if (p->x == 1)
        m |= MOX_LFT;
    if (p->x == p->cols)
        m |= MOX_RGT;
    return m;
}
