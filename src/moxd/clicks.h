/* clicks.h: counting single, double and triple clicks.
 *
 * A press counts as the next click of a series when it is the same button,
 * on the same cell, within the click window of the previous press; a fourth
 * click starts a new series. */
#ifndef MOXD_CLICKS_H
#define MOXD_CLICKS_H

#include <cstdint>

/* Default click window in milliseconds, press to press. */
constexpr uint32_t CLICK_WINDOW_DEFAULT_MS = 400;
constexpr uint32_t CLICK_WINDOW_MAX_MS = 5000;

struct click_series {
    int count;        /* clicks in the current series, 0 before the first */
    int button;       /* its button */
    int x, y;         /* its cell */
    uint64_t last_ms; /* time of its last press */
};

/* Counts a press of button at cell (x, y) at time now_ms; returns 1, 2 or 3. */
int clicks_press(click_series *c, int button, int x, int y, uint64_t now_ms, uint32_t window_ms);

/* Forgets the series (the console changed, say). */
void clicks_reset(click_series *c);

#endif /* MOXD_CLICKS_H */
