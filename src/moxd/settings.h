/* settings.h: the pointing devices' settings, given as one option string
 * such as "speed=0.4,tap,natural-scroll" and parsed by argsift.
 *
 *   speed=S            pointer acceleration speed, -1 (slow) to 1 (fast)
 *   accel=flat|adaptive acceleration profile
 *   tap                touchpads: tap to click
 *   natural-scroll     content follows the fingers (and the wheel) instead
 *   left-handed        left and right buttons swapped
 *   middle-emulation   left and right pressed together act as middle
 *   scroll=two-finger|edge|button|none   touchpads' scroll method
 *   cell-width=N       device units (about 1/1000 inch) per console column
 *   cell-height=N      device units per console row
 * Settings not given keep libinput's defaults for each device. */
#ifndef MOXD_SETTINGS_H
#define MOXD_SETTINGS_H

/* The protocol name argsift shows in complaints about the string. */
constexpr const char SETTINGS_PROTOCOL[] = "libinput";

constexpr int CELL_WIDTH_DEFAULT = 8;
constexpr int CELL_HEIGHT_DEFAULT = 16;
constexpr int CELL_SIZE_MAX = 10000;

enum accel_choice : int { ACCEL_DEFAULT = 0, ACCEL_ADAPTIVE, ACCEL_FLAT };
enum scroll_choice : int {
    SCROLL_DEFAULT = 0,
    SCROLL_TWO_FINGER,
    SCROLL_EDGE,
    SCROLL_BUTTON,
    SCROLL_NONE
};

struct device_settings {
    int has_speed;
    double speed;
    int accel;            /* accel_choice */
    int tap;              /* 1: switch tapping on */
    int natural_scroll;   /* 1: switch natural scrolling on */
    int left_handed;      /* 1: swap the buttons */
    int middle_emulation; /* 1: switch middle-button emulation on */
    int scroll;           /* scroll_choice */
    int cell_width;       /* device units per column */
    int cell_height;      /* device units per row */
};

void settings_defaults(device_settings *s);

/* Parses text (may be null) into s. Complaints go through mox_report.
 * Returns the number of errors found (0 when everything was understood);
 * s keeps its earlier value for every setting in error. */
int settings_parse(device_settings *s, const char *text);

#endif /* MOXD_SETTINGS_H */
