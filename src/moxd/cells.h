/* cells.h: the pointer's position in character cells.
 *
 * The console is a grid of cols x rows cells, counted from 1 as the kernel's
 * selection counts them: column 1 is the left edge, row 1 the top. Relative
 * devices move the pointer in device units (libinput's normalised pixels);
 * motion smaller than a cell is kept and added to the next, so that slow
 * movement still gets somewhere. Absolute devices place it directly. */
#ifndef MOXD_CELLS_H
#define MOXD_CELLS_H

#include <cstdint>

struct pointer_cells {
    int x, y;       /* current cell, 1..cols and 1..rows */
    int cols, rows; /* screen size, at least 1 each */
    double rem_x;   /* device units not yet worth a whole cell */
    double rem_y;
};

/* Starts at the middle of a cols x rows screen. */
void cells_init(pointer_cells *p, int cols, int rows);

/* The screen changed size: keeps the pointer on it. Sizes below 1 count as 1. */
void cells_resize(pointer_cells *p, int cols, int rows);

/* Relative motion of dx, dy device units with cells of cell_w x cell_h units.
 * Stores the cells actually moved (after clamping at the edges) in *step_x,
 * *step_y and returns 1 when the pointer changed cell, else 0. Motion pushing
 * against an edge is dropped, so that moving back responds at once. */
int cells_move(pointer_cells *p, double dx, double dy, double cell_w, double cell_h, int *step_x,
               int *step_y);

/* Absolute placement: col_pos in [0, cols) and row_pos in [0, rows) are the
 * device's position scaled onto the screen (out-of-range values are clamped).
 * Same results as cells_move. */
int cells_place(pointer_cells *p, double col_pos, double row_pos, int *step_x, int *step_y);

/* The Mox_Margin bits of the edges the pointer is on. */
uint32_t cells_margins(const pointer_cells *p);

#endif /* MOXD_CELLS_H */
