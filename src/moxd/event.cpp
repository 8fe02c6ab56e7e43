/* event.cpp: building the records sent to clients. */
#include "event.h"

namespace
{

int16_t clamp16(int v)
{
    return static_cast<int16_t>(v < INT16_MIN ? INT16_MIN : (v > INT16_MAX ? INT16_MAX : v));
}

uint32_t click_bit(int clicks)
{
    switch (clicks) {
    case 1:
        return MOX_SINGLE;
    case 2:
        return MOX_DOUBLE;
    case 3:
        return MOX_TRIPLE;
    default:
        return 0;
    }
}

} // namespace

Mox_Event event_build(const pointer_change *change, const pointer_cells *p, int vc, uint8_t buttons,
                      uint8_t modifiers)
{
    Mox_Event ev{};
    ev.buttons = buttons;
    ev.modifiers = modifiers;
    ev.vc = static_cast<uint16_t>(vc < 0 ? 0 : vc);
    ev.dx = clamp16(change->dx);
    ev.dy = clamp16(change->dy);
    ev.x = clamp16(p->x);
    ev.y = clamp16(p->y);
    ev.type = change->kind;
    if (change->kind != MOX_MOVE) {
        ev.type |= click_bit(change->clicks);
        ev.clicks = change->clicks;
    }
    ev.margin = cells_margins(p);
    ev.wdx = clamp16(change->wdx);
    ev.wdy = clamp16(change->wdy);
    return ev;
}

uint32_t event_motion_kind(uint8_t buttons)
{
    return buttons != 0 ? MOX_DRAG : MOX_MOVE;
}
