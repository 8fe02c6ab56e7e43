/* input.cpp: libinput events to plain input records. */
#include "input.h"

#include "mox.h"
#include "moxInt.h"

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <libinput.h>
#include <libudev.h>
#include <linux/input-event-codes.h>
#include <unistd.h>

namespace
{

constexpr const char SRC_FILE[] = "input.cpp";

/* A wheel reports in 120ths of a notch (high-resolution wheels send parts
 * of one); a finger or a held button scrolls in device units. */
constexpr double WHEEL_V120_PER_STEP = 120.0;
constexpr double FINGER_UNITS_PER_STEP = 50.0;

/* The only touch followed on a touchscreen: it acts as the left button. */
constexpr int32_t TOUCH_SLOT_FOLLOWED = 0;

/* What moxd keeps of each pointing device while it is there. */
struct device_record {
    uint8_t held; /* MOX_BUTTON_* bits it holds down */
    int has_middle;
    int touching;              /* a touchscreen's followed finger is down */
    double wheel_x, wheel_y;   /* v120 not yet a step */
    double finger_x, finger_y; /* scroll distance not yet a step */
    struct libinput_device *dev;
    device_record *next; /* the devices open, for a change of settings */
};

device_record *open_devices = nullptr;

struct emit_ctx {
    void (*handler)(void *, const input_event *);
    void *user;
};

/* libinput files its own open failures as information: the first one is
 * said as a warning, since a server that can open no device is useless and
 * an administrator must hear why; the rest only at trace. */
int open_failures = 0;

/* Absolute positions are asked as parts of a screen one unit wide. */
constexpr uint32_t WHOLE_SCREEN = 1;

int open_restricted(const char *path, int flags, void *)
{
    int fd = open(path, flags | O_CLOEXEC);
    if (fd < 0) {
        int saved = errno;
        mox_report(__LINE__, SRC_FILE, open_failures++ == 0 ? MOX_SEV_WARN : MOX_SEV_TRACE,
                   "cannot open input device %s: %s", path, strerror(saved));
        return -saved;
    }
    return fd;
}

void close_restricted(int fd, void *)
{
    (void) close(fd);
}

constexpr libinput_interface DEVICE_ACCESS = {open_restricted, close_restricted};

/* libinput's own messages join the server's log. */
__attribute__((format(printf, 3, 0))) void
log_handler(struct libinput *, enum libinput_log_priority priority, const char *fmt, va_list args)
{
    char text[512];
    (void) vsnprintf(text, sizeof text, fmt, args);
    int severity = MOX_SEV_DETAIL;
    if (priority >= LIBINPUT_LOG_PRIORITY_ERROR)
        severity = MOX_SEV_WARN;
    else if (priority >= LIBINPUT_LOG_PRIORITY_INFO)
        severity = MOX_SEV_TRACE;
    mox_report(__LINE__, "libinput", severity, "%s", text);
}

void setup_log(struct libinput *li)
{
    libinput_log_set_handler(li, log_handler);
    libinput_log_set_priority(li, LIBINPUT_LOG_PRIORITY_INFO);
}

uint64_t ms_of(uint64_t usec)
{
    return usec / 1000;
}

bool is_pointing(struct libinput_device *dev)
{
    return libinput_device_has_capability(dev, LIBINPUT_DEVICE_CAP_POINTER) ||
           libinput_device_has_capability(dev, LIBINPUT_DEVICE_CAP_TOUCH) ||
           libinput_device_has_capability(dev, LIBINPUT_DEVICE_CAP_TABLET_TOOL);
}

/* Applies the settings that were given; the rest keep libinput's defaults. */
void configure(struct libinput_device *dev, const device_settings *s)
{
    if (s->has_speed && libinput_device_config_accel_is_available(dev))
        (void) libinput_device_config_accel_set_speed(dev, s->speed);
    if (s->accel != ACCEL_DEFAULT && libinput_device_config_accel_is_available(dev))
        (void) libinput_device_config_accel_set_profile(
            dev, s->accel == ACCEL_FLAT ? LIBINPUT_CONFIG_ACCEL_PROFILE_FLAT
                                        : LIBINPUT_CONFIG_ACCEL_PROFILE_ADAPTIVE);
    if (s->tap && libinput_device_config_tap_get_finger_count(dev) > 0)
        (void) libinput_device_config_tap_set_enabled(dev, LIBINPUT_CONFIG_TAP_ENABLED);
    if (s->natural_scroll && libinput_device_config_scroll_has_natural_scroll(dev))
        (void) libinput_device_config_scroll_set_natural_scroll_enabled(dev, 1);
    if (s->left_handed && libinput_device_config_left_handed_is_available(dev))
        (void) libinput_device_config_left_handed_set(dev, 1);
    if (s->middle_emulation && libinput_device_config_middle_emulation_is_available(dev))
        (void) libinput_device_config_middle_emulation_set_enabled(
            dev, LIBINPUT_CONFIG_MIDDLE_EMULATION_ENABLED);
    if (s->scroll != SCROLL_DEFAULT) {
        libinput_config_scroll_method method = LIBINPUT_CONFIG_SCROLL_NO_SCROLL;
        if (s->scroll == SCROLL_TWO_FINGER)
            method = LIBINPUT_CONFIG_SCROLL_2FG;
        else if (s->scroll == SCROLL_EDGE)
            method = LIBINPUT_CONFIG_SCROLL_EDGE;
        else if (s->scroll == SCROLL_BUTTON)
            method = LIBINPUT_CONFIG_SCROLL_ON_BUTTON_DOWN;
        if (method == LIBINPUT_CONFIG_SCROLL_NO_SCROLL ||
            (libinput_device_config_scroll_get_methods(dev) & method) != 0)
            (void) libinput_device_config_scroll_set_method(dev, method);
    }
}

input_event blank(int kind, struct libinput_device *dev, uint64_t time_ms)
{
    input_event ev;
    memset(&ev, 0, sizeof ev);
    ev.kind = kind;
    ev.device = dev;
    ev.time_ms = time_ms;
    return ev;
}

/* A button change of dev, passed on only when it changes what dev holds, so
 * that every press has exactly one release. */
void button(const emit_ctx *out, struct libinput_device *dev, device_record *rec, int bit,
            int pressed, uint64_t time_ms)
{
    if (bit == 0 || rec == nullptr)
        return;
    bool holds = (rec->held & bit) != 0;
    if (pressed == (holds ? 1 : 0))
        return;
    if (pressed)
        rec->held |= static_cast<uint8_t>(bit);
    else
        rec->held &= static_cast<uint8_t>(~bit);
    input_event ev = blank(IN_BUTTON, dev, time_ms);
    ev.button = bit;
    ev.pressed = pressed;
    out->handler(out->user, &ev);
}

void place(const emit_ctx *out, struct libinput_device *dev, double fx, double fy, uint64_t time_ms)
{
    input_event ev = blank(IN_PLACE, dev, time_ms);
    ev.fx = fx;
    ev.fy = fy;
    out->handler(out->user, &ev);
}

void track(device_record *rec, struct libinput_device *dev)
{
    rec->dev = dev;
    rec->next = open_devices;
    open_devices = rec;
}

void untrack(device_record *rec)
{
    for (device_record **p = &open_devices; *p != nullptr; p = &(*p)->next) {
        if (*p == rec) {
            *p = rec->next;
            return;
        }
    }
}

void device_added(const emit_ctx *out, struct libinput_device *dev, const device_settings *s)
{
    if (!is_pointing(dev)) {
        mox_report(__LINE__, SRC_FILE, MOX_SEV_DETAIL, "not a pointing device: %s",
                   libinput_device_get_name(dev));
        return;
    }
    device_record *rec = static_cast<device_record *>(calloc(1, sizeof *rec));
    if (rec == nullptr) {
        mox_report(__LINE__, SRC_FILE, MOX_SEV_WARN, "no memory for device %s, ignored",
                   libinput_device_get_name(dev));
        return;
    }
    rec->has_middle = libinput_device_pointer_has_button(dev, BTN_MIDDLE) == 1 ? 1 : 0;
    libinput_device_set_user_data(dev, rec);
    track(rec, dev);
    configure(dev, s);
    input_event ev = blank(IN_ADDED, dev, 0);
    ev.name = libinput_device_get_name(dev);
    ev.has_middle = rec->has_middle;
    out->handler(out->user, &ev);
}

/* A device that goes away lets go of what it held, so that a drag it was
 * making ends as if its buttons had been released. */
void device_removed(const emit_ctx *out, struct libinput_device *dev)
{
    device_record *rec = static_cast<device_record *>(libinput_device_get_user_data(dev));
    if (rec == nullptr)
        return;
    for (int bit = 1; bit <= MOX_BUTTON_EXTRA; bit <<= 1)
        button(out, dev, rec, bit, 0, 0);
    input_event ev = blank(IN_REMOVED, dev, 0);
    ev.name = libinput_device_get_name(dev);
    ev.has_middle = rec->has_middle;
    libinput_device_set_user_data(dev, nullptr);
    untrack(rec);
    free(rec);
    out->handler(out->user, &ev);
}

void scroll(const emit_ctx *out, struct libinput_event *event, device_record *rec)
{
    struct libinput_event_pointer *p = libinput_event_get_pointer_event(event);
    bool wheel = libinput_event_get_type(event) == LIBINPUT_EVENT_POINTER_SCROLL_WHEEL;
    int steps[2] = {0, 0};
    const libinput_pointer_axis axes[2] = {LIBINPUT_POINTER_AXIS_SCROLL_HORIZONTAL,
                                           LIBINPUT_POINTER_AXIS_SCROLL_VERTICAL};
    double *acc[2] = {wheel ? &rec->wheel_x : &rec->finger_x,
                      wheel ? &rec->wheel_y : &rec->finger_y};
    for (int i = 0; i < 2; i++) {
        if (!libinput_event_pointer_has_axis(p, axes[i]))
            continue;
        double v = wheel ? libinput_event_pointer_get_scroll_value_v120(p, axes[i])
                         : libinput_event_pointer_get_scroll_value(p, axes[i]);
        steps[i] = input_steps(acc[i], v, wheel ? WHEEL_V120_PER_STEP : FINGER_UNITS_PER_STEP);
    }
    if (steps[0] == 0 && steps[1] == 0)
        return;
    input_event ev = blank(IN_SCROLL, libinput_event_get_device(event),
                           ms_of(libinput_event_pointer_get_time_usec(p)));
    /* libinput counts down the screen as positive; a wheel turned away from
     * the user counts as positive here, as the evdev wheel does */
    ev.wheel_x = steps[0];
    ev.wheel_y = -steps[1];
    out->handler(out->user, &ev);
}

void pointer(const emit_ctx *out, struct libinput_event *event)
{
    struct libinput_device *dev = libinput_event_get_device(event);
    device_record *rec = static_cast<device_record *>(libinput_device_get_user_data(dev));
    if (rec == nullptr)
        return;
    struct libinput_event_pointer *p = libinput_event_get_pointer_event(event);
    uint64_t t = ms_of(libinput_event_pointer_get_time_usec(p));
    switch (libinput_event_get_type(event)) {
    case LIBINPUT_EVENT_POINTER_MOTION: {
        input_event ev = blank(IN_MOTION, dev, t);
        ev.dx = libinput_event_pointer_get_dx(p);
        ev.dy = libinput_event_pointer_get_dy(p);
        out->handler(out->user, &ev);
        break;
    }
    case LIBINPUT_EVENT_POINTER_MOTION_ABSOLUTE:
        place(out, dev, libinput_event_pointer_get_absolute_x_transformed(p, WHOLE_SCREEN),
              libinput_event_pointer_get_absolute_y_transformed(p, WHOLE_SCREEN), t);
        break;
    case LIBINPUT_EVENT_POINTER_BUTTON:
        button(out, dev, rec, input_button_bit(libinput_event_pointer_get_button(p)),
               libinput_event_pointer_get_button_state(p) == LIBINPUT_BUTTON_STATE_PRESSED, t);
        break;
    case LIBINPUT_EVENT_POINTER_SCROLL_WHEEL:
    case LIBINPUT_EVENT_POINTER_SCROLL_FINGER:
    case LIBINPUT_EVENT_POINTER_SCROLL_CONTINUOUS:
        scroll(out, event, rec);
        break;
    default:
        break; /* the older axis events repeat the scroll events */
    }
}

/* A touchscreen: the first finger places the pointer and holds the left
 * button while it touches. */
void touch(const emit_ctx *out, struct libinput_event *event)
{
    struct libinput_device *dev = libinput_event_get_device(event);
    device_record *rec = static_cast<device_record *>(libinput_device_get_user_data(dev));
    if (rec == nullptr)
        return;
    struct libinput_event_touch *t = libinput_event_get_touch_event(event);
    libinput_event_type type = libinput_event_get_type(event);
    if (type == LIBINPUT_EVENT_TOUCH_FRAME)
        return;
    uint64_t ms = ms_of(libinput_event_touch_get_time_usec(t));
    if (type == LIBINPUT_EVENT_TOUCH_CANCEL) {
        rec->touching = 0;
        button(out, dev, rec, MOX_BUTTON_LEFT, 0, ms);
        return;
    }
    if (libinput_event_touch_get_seat_slot(t) != TOUCH_SLOT_FOLLOWED)
        return;
    if (type == LIBINPUT_EVENT_TOUCH_UP) {
        rec->touching = 0;
        button(out, dev, rec, MOX_BUTTON_LEFT, 0, ms);
        return;
    }
    place(out, dev, libinput_event_touch_get_x_transformed(t, WHOLE_SCREEN),
          libinput_event_touch_get_y_transformed(t, WHOLE_SCREEN), ms);
    if (type == LIBINPUT_EVENT_TOUCH_DOWN) {
        rec->touching = 1;
        button(out, dev, rec, MOX_BUTTON_LEFT, 1, ms);
    }
}

/* A tablet: the tool places the pointer; its tip is the left button, its
 * side buttons the others. */
void tablet(const emit_ctx *out, struct libinput_event *event)
{
    struct libinput_device *dev = libinput_event_get_device(event);
    device_record *rec = static_cast<device_record *>(libinput_device_get_user_data(dev));
    if (rec == nullptr)
        return;
    struct libinput_event_tablet_tool *t = libinput_event_get_tablet_tool_event(event);
    uint64_t ms = ms_of(libinput_event_tablet_tool_get_time_usec(t));
    switch (libinput_event_get_type(event)) {
    case LIBINPUT_EVENT_TABLET_TOOL_AXIS:
    case LIBINPUT_EVENT_TABLET_TOOL_PROXIMITY:
        place(out, dev, libinput_event_tablet_tool_get_x_transformed(t, WHOLE_SCREEN),
              libinput_event_tablet_tool_get_y_transformed(t, WHOLE_SCREEN), ms);
        break;
    case LIBINPUT_EVENT_TABLET_TOOL_TIP:
        place(out, dev, libinput_event_tablet_tool_get_x_transformed(t, WHOLE_SCREEN),
              libinput_event_tablet_tool_get_y_transformed(t, WHOLE_SCREEN), ms);
        button(out, dev, rec, MOX_BUTTON_LEFT,
               libinput_event_tablet_tool_get_tip_state(t) == LIBINPUT_TABLET_TOOL_TIP_DOWN, ms);
        break;
    case LIBINPUT_EVENT_TABLET_TOOL_BUTTON: {
        uint32_t code = libinput_event_tablet_tool_get_button(t);
        int bit =
            code == BTN_STYLUS ? MOX_BUTTON_MIDDLE : (code == BTN_STYLUS2 ? MOX_BUTTON_RIGHT : 0);
        button(out, dev, rec, bit,
               libinput_event_tablet_tool_get_button_state(t) == LIBINPUT_BUTTON_STATE_PRESSED, ms);
        break;
    }
    default:
        break;
    }
}

} // namespace

int input_open_seat(input_source *in, const char *seat, const device_settings *settings)
{
    memset(in, 0, sizeof *in);
    in->settings = *settings;
    in->udev = udev_new();
    if (in->udev == nullptr) {
        mox_report(__LINE__, SRC_FILE, MOX_SEV_WARN, "cannot reach udev: %s", strerror(errno));
        return -1;
    }
    in->li = libinput_udev_create_context(&DEVICE_ACCESS, nullptr, in->udev);
    if (in->li == nullptr) {
        mox_report(__LINE__, SRC_FILE, MOX_SEV_WARN, "cannot start libinput");
        input_close(in);
        return -1;
    }
    setup_log(in->li);
    if (libinput_udev_assign_seat(in->li, seat) != 0) {
        mox_report(__LINE__, SRC_FILE, MOX_SEV_WARN, "cannot use seat %s", seat);
        input_close(in);
        return -1;
    }
    return 0;
}

int input_open_paths(input_source *in, const char *const *paths, int n,
                     const device_settings *settings)
{
    memset(in, 0, sizeof *in);
    in->settings = *settings;
    in->li = libinput_path_create_context(&DEVICE_ACCESS, nullptr);
    if (in->li == nullptr) {
        mox_report(__LINE__, SRC_FILE, MOX_SEV_WARN, "cannot start libinput");
        return -1;
    }
    setup_log(in->li);
    int added = 0;
    for (int i = 0; i < n; i++) {
        if (libinput_path_add_device(in->li, paths[i]) == nullptr)
            mox_report(__LINE__, SRC_FILE, MOX_SEV_WARN, "cannot use input device %s", paths[i]);
        else
            added++;
    }
    return added;
}

int input_fd(const input_source *in)
{
    return in->li != nullptr ? libinput_get_fd(in->li) : -1;
}

void input_dispatch(input_source *in, void (*handler)(void *user, const input_event *ev),
                    void *user)
{
    if (in->li == nullptr)
        return;
    if (libinput_dispatch(in->li) != 0)
        mox_report(__LINE__, SRC_FILE, MOX_SEV_WARN, "reading input: %s", strerror(errno));
    const emit_ctx out = {handler, user};
    struct libinput_event *event;
    while ((event = libinput_get_event(in->li)) != nullptr) {
        libinput_event_type type = libinput_event_get_type(event);
        if (type == LIBINPUT_EVENT_DEVICE_ADDED)
            device_added(&out, libinput_event_get_device(event), &in->settings);
        else if (type == LIBINPUT_EVENT_DEVICE_REMOVED)
            device_removed(&out, libinput_event_get_device(event));
        else if (type >= LIBINPUT_EVENT_POINTER_MOTION &&
                 type <= LIBINPUT_EVENT_POINTER_SCROLL_CONTINUOUS)
            pointer(&out, event);
        else if (type >= LIBINPUT_EVENT_TOUCH_DOWN && type <= LIBINPUT_EVENT_TOUCH_FRAME)
            touch(&out, event);
        else if (type >= LIBINPUT_EVENT_TABLET_TOOL_AXIS &&
                 type <= LIBINPUT_EVENT_TABLET_TOOL_BUTTON)
            tablet(&out, event);
        libinput_event_destroy(event);
    }
}

void input_close(input_source *in)
{
    if (in->li != nullptr) {
        /* release the device records before the context goes */
        struct libinput_event *event;
        (void) libinput_dispatch(in->li);
        while ((event = libinput_get_event(in->li)) != nullptr)
            libinput_event_destroy(event);
        (void) libinput_unref(in->li);
        in->li = nullptr;
    }
    if (in->udev != nullptr) {
        (void) udev_unref(in->udev);
        in->udev = nullptr;
    }
}

namespace
{

/* Puts back libinput's own default for every setting a device has, so
 * that a setting taken out of the options goes away. libinput applies a
 * change of the buttons (left-handed) once none is held. */
void device_defaults(struct libinput_device *dev)
{
    if (libinput_device_config_accel_is_available(dev)) {
        (void) libinput_device_config_accel_set_speed(
            dev, libinput_device_config_accel_get_default_speed(dev));
        (void) libinput_device_config_accel_set_profile(
            dev, libinput_device_config_accel_get_default_profile(dev));
    }
    if (libinput_device_config_tap_get_finger_count(dev) > 0)
        (void) libinput_device_config_tap_set_enabled(
            dev, libinput_device_config_tap_get_default_enabled(dev));
    if (libinput_device_config_scroll_has_natural_scroll(dev))
        (void) libinput_device_config_scroll_set_natural_scroll_enabled(
            dev, libinput_device_config_scroll_get_default_natural_scroll_enabled(dev));
    if (libinput_device_config_left_handed_is_available(dev))
        (void) libinput_device_config_left_handed_set(
            dev, libinput_device_config_left_handed_get_default(dev));
    if (libinput_device_config_middle_emulation_is_available(dev))
        (void) libinput_device_config_middle_emulation_set_enabled(
            dev, libinput_device_config_middle_emulation_get_default_enabled(dev));
    if (libinput_device_config_scroll_get_methods(dev) != 0)
        (void) libinput_device_config_scroll_set_method(
            dev, libinput_device_config_scroll_get_default_method(dev));
}

} // namespace

int input_apply_settings(input_source *in, const device_settings *settings)
{
    in->settings = *settings;
    int n = 0;
    for (device_record *rec = open_devices; rec != nullptr; rec = rec->next, n++) {
        device_defaults(rec->dev);
        configure(rec->dev, settings);
    }
    return n;
}
