/* clicks.cpp: click series. */
#include "clicks.h"

constexpr int MAX_CLICKS = 3;

int clicks_press(click_series *c, int button, int x, int y, uint64_t now_ms, uint32_t window_ms)
{
    /* device times only go forward; a clock step back starts a new series */
    bool in_time = c->count > 0 && now_ms >= c->last_ms && now_ms - c->last_ms <= window_ms;
    if (in_time && c->count < MAX_CLICKS && c->button == button && c->x == x && c->y == y)
        c->count++;
    else
        c->count = 1;
    c->button = button;
    c->x = x;
    c->y = y;
    c->last_ms = now_ms;
    return c->count;
}

void clicks_reset(click_series *c)
{
    c->count = 0;
    c->button = 0;
    c->x = 0;
    c->y = 0;
    c->last_ms = 0;
}
