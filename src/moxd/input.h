/* input.h: pointing devices through libinput.
 *
 * libinput does the device work (quirks, acceleration, touchpad tapping and
 * scrolling, tablets and touchscreens); this file turns its events into
 * plain records for the server, in console cells where the device is
 * absolute. Either every device of a udev seat, hot-plugged as they come
 * and go, or exactly the event devices named. */
#ifndef MOXD_INPUT_H
#define MOXD_INPUT_H

#include "settings.h"

#include <cstdint>

struct libinput;
struct udev;

enum input_kind : int {
    IN_MOTION = 1, /* relative motion: dx, dy in device units */
    IN_PLACE,      /* absolute position: fx, fy as parts of the screen */
    IN_BUTTON,     /* button (a MOX_BUTTON_* bit) pressed or released */
    IN_SCROLL,     /* wheel_x, wheel_y steps */
    IN_ADDED,      /* a pointing device arrived: name, has_middle */
    IN_REMOVED     /* it went away (its held buttons were released first) */
};

struct input_event {
    int kind;
    uint64_t time_ms;
    const void *device; /* which device, for as long as it is there */
    double dx, dy;
    double fx, fy; /* in [0, 1): the part of the screen's width and height */
    int button;
    int pressed;
    int wheel_x;      /* steps right */
    int wheel_y;      /* steps away from the user (up) */
    const char *name; /* IN_ADDED, IN_REMOVED */
    int has_middle;   /* IN_ADDED, IN_REMOVED: the device has a middle button */
};

struct input_source {
    struct libinput *li;
    struct udev *udev;
    device_settings settings;
};

/* Every pointing device of the udev seat, now and as they are plugged in.
 * 0, or -1 with a report. */
int input_open_seat(input_source *in, const char *seat, const device_settings *settings);

/* Exactly the event devices at paths (n of them). Returns the number added;
 * each one that cannot be used is reported. */
int input_open_paths(input_source *in, const char *const *paths, int n,
                     const device_settings *settings);

/* The descriptor to poll for input; readable when input_dispatch has work. */
int input_fd(const input_source *in);

/* Reads what the devices sent and calls handler for each record. Absolute
 * positions come as parts of the screen, to be scaled by whoever knows its
 * size when the record is handled. */
void input_dispatch(input_source *in, void (*handler)(void *user, const input_event *ev),
                    void *user);

void input_close(input_source *in);

/* New settings for the devices open now and those that come later, applied
 * without closing any (held buttons stay held). Returns the devices changed. */
int input_apply_settings(input_source *in, const device_settings *settings);

/* The MOX_BUTTON_* bit of an evdev button code, or 0 for buttons not passed on. */
int input_button_bit(uint32_t code);

/* Turns a wheel's v120 units, or a finger's scroll distance, into whole
 * steps: *acc keeps what is not yet a step. Returns the steps. */
int input_steps(double *acc, double value, double per_step);

#endif /* MOXD_INPUT_H */
