/* event.h: the one place that builds the Mox_Event records moxd sends. */
#ifndef MOXD_EVENT_H
#define MOXD_EVENT_H

#include "cells.h"
#include "mox.h"

#include <cstdint>

/* What happened to the pointer, before it becomes a record. */
struct pointer_change {
    uint32_t kind; /* MOX_MOVE, MOX_DRAG, MOX_DOWN or MOX_UP */
    int clicks;    /* the click count of the press it belongs to, 0 for moves */
    int dx, dy;    /* cells moved */
    int wdx, wdy;  /* wheel steps: right, and away from the user */
};

/* The record for change at the pointer's cell p on console vc, with the
 * buttons held after it and the keyboard's modifiers. Presses, releases and
 * drags carry MOX_SINGLE, MOX_DOUBLE or MOX_TRIPLE for their click count;
 * the margin bits tell which screen edges the pointer is on. */
Mox_Event event_build(const pointer_change *change, const pointer_cells *p, int vc, uint8_t buttons,
                      uint8_t modifiers);

/* MOX_DRAG while any button is held, else MOX_MOVE. */
uint32_t event_motion_kind(uint8_t buttons);

#endif /* MOXD_EVENT_H */
