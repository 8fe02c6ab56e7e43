/* input_map.cpp: evdev buttons to event bits, and scroll distances to steps. */
#include "input.h"

#include "mox.h"

#include <cmath>
#include <linux/input-event-codes.h>

int input_button_bit(uint32_t code)
{
    switch (code) {
    case BTN_LEFT:
        return MOX_BUTTON_LEFT;
    case BTN_RIGHT:
        return MOX_BUTTON_RIGHT;
    case BTN_MIDDLE:
        return MOX_BUTTON_MIDDLE;
    case BTN_SIDE:
    case BTN_BACK:
        return MOX_BUTTON_SIDE;
    case BTN_EXTRA:
    case BTN_FORWARD:
        return MOX_BUTTON_EXTRA;
    default:
        return 0;
    }
}

int input_steps(double *acc, double value, double per_step)
{
    if (!std::isfinite(value) || !(per_step > 0.0))
        return 0;
    /* a change of direction drops what was gathered the other way */
    if ((*acc > 0.0 && value < 0.0) || (*acc < 0.0 && value > 0.0))
        *acc = 0.0;
    *acc += value;
    double whole = std::trunc(*acc / per_step);
    constexpr double STEPS_MAX = 1000.0;
    if (whole > STEPS_MAX)
        whole = STEPS_MAX;
    else if (whole < -STEPS_MAX)
        whole = -STEPS_MAX;
    *acc -= whole * per_step;
    if (std::fabs(*acc) >= per_step)
        *acc = 0.0;
    return static_cast<int>(whole);
}
