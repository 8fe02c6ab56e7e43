// Input devices in the guest: virtual ones made through libevdev's uinput
// API, event nodes read through libevdev, and a libinput context on the udev
// backend, the way the server sees devices.
#include "guest.h"
#include "guest_private.h"

#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>
#include <libinput.h>
#include <libudev.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <ctime>
#include <unistd.h>

const char QEMU_PS2_MOUSE[] = "ImExPS/2 Generic Explorer Mouse";
const char QEMU_KEYBOARD[] = "AT Translated Set 2 keyboard";

namespace
{

// pid.codes, the open-source vendor id, with products of our own: no quirk
// of libinput or udev's hardware database matches them.
constexpr uint16_t VDEV_VENDOR = 0x1209;
constexpr uint16_t VDEV_PRODUCT[] = {0x6d01, 0x6d02, 0x6d03, 0x6d04};
constexpr const char *VDEV_DEFAULT_NAME[] = {"mox virtual mouse", "mox virtual tablet",
                                             "mox virtual touchpad", "mox virtual keyboard"};
constexpr int PAD_SLOTS = 5;
constexpr int PAD_RESOLUTION = 10; // units per mm
constexpr int PAD_FINGER_GAP = 150;
constexpr int MAX_FINGERS = 3;
// Touchpads send a frame every 7 to 14 ms.
constexpr long PAD_FRAME_MS = 12;

bool fail_rc(int rc, const char *what)
{
    errno = -rc;
    return guest_fail(what);
}

void enable_abs(libevdev *dev, unsigned code, int max, int resolution)
{
    struct input_absinfo abs = {};
    abs.minimum = 0;
    abs.maximum = max;
    abs.resolution = resolution;
    libevdev_enable_event_code(dev, EV_ABS, code, &abs);
}

void describe(libevdev *dev, vdev_kind kind)
{
    if (kind == VDEV_KEYBOARD) {
        for (unsigned k : {KEY_LEFTSHIFT, KEY_RIGHTSHIFT, KEY_LEFTCTRL, KEY_LEFTALT, KEY_A, KEY_B,
                           KEY_ENTER, KEY_SPACE})
            libevdev_enable_event_code(dev, EV_KEY, k, nullptr);
        return;
    }
    for (unsigned b : {BTN_LEFT, BTN_RIGHT, BTN_MIDDLE})
        libevdev_enable_event_code(dev, EV_KEY, b, nullptr);
    switch (kind) {
    case VDEV_MOUSE:
        for (unsigned r : {REL_X, REL_Y, REL_WHEEL, REL_HWHEEL})
            libevdev_enable_event_code(dev, EV_REL, r, nullptr);
        break;
    case VDEV_TABLET:
        // QEMU's usb-tablet: two absolute axes with no resolution, buttons
        // and a wheel.
        enable_abs(dev, ABS_X, VDEV_ABS_MAX, 0);
        enable_abs(dev, ABS_Y, VDEV_ABS_MAX, 0);
        libevdev_enable_event_code(dev, EV_REL, REL_WHEEL, nullptr);
        break;
    case VDEV_TOUCHPAD:
        // libinput takes a device for a touchpad when it has finger tools,
        // BTN_TOUCH and axes with a resolution (a physical size).
        enable_abs(dev, ABS_X, VDEV_PAD_MAX_X, PAD_RESOLUTION);
        enable_abs(dev, ABS_Y, VDEV_PAD_MAX_Y, PAD_RESOLUTION);
        enable_abs(dev, ABS_MT_SLOT, PAD_SLOTS - 1, 0);
        enable_abs(dev, ABS_MT_TRACKING_ID, 65535, 0);
        enable_abs(dev, ABS_MT_POSITION_X, VDEV_PAD_MAX_X, PAD_RESOLUTION);
        enable_abs(dev, ABS_MT_POSITION_Y, VDEV_PAD_MAX_Y, PAD_RESOLUTION);
        for (unsigned b : {BTN_TOUCH, BTN_TOOL_FINGER, BTN_TOOL_DOUBLETAP, BTN_TOOL_TRIPLETAP})
            libevdev_enable_event_code(dev, EV_KEY, b, nullptr);
        libevdev_enable_property(dev, INPUT_PROP_POINTER);
        break;
    case VDEV_KEYBOARD:
        break;
    }
}

bool emit(vdev *d, unsigned type, unsigned code, int value)
{
    int rc = libevdev_uinput_write_event(d->ui, type, code, value);
    return rc == 0 || fail_rc(rc, "write a uinput event");
}

bool frame(vdev *d)
{
    return emit(d, EV_SYN, SYN_REPORT, 0);
}

bool usable(vdev *d, const char *what)
{
    if (d->ui != nullptr)
        return true;
    errno = ENODEV;
    return guest_fail(what);
}

std::string device_name_of(const std::string &node)
{
    int fd = open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return "";
    libevdev *dev = nullptr;
    std::string name;
    if (libevdev_new_from_fd(fd, &dev) == 0) {
        const char *n = libevdev_get_name(dev);
        name = n ? n : "";
        libevdev_free(dev);
    }
    close(fd);
    return name;
}

std::string scan_inputs(const char *name)
{
    DIR *dir = opendir("/dev/input");
    if (dir == nullptr)
        return "";
    std::string found;
    while (struct dirent *de = readdir(dir)) {
        if (strncmp(de->d_name, "event", 5) != 0)
            continue;
        std::string node = std::string("/dev/input/") + de->d_name;
        if (device_name_of(node) == name) {
            found = node;
            break;
        }
    }
    closedir(dir);
    return found;
}

int open_restricted(const char *path, int flags, void *)
{
    int fd = open(path, flags | O_CLOEXEC);
    return fd < 0 ? -errno : fd;
}

void close_restricted(int fd, void *)
{
    close(fd);
}

const struct libinput_interface LI_INTERFACE = {open_restricted, close_restricted};

void fill(libinput_event *e, li_event *got)
{
    *got = li_event{};
    got->type = libinput_event_get_type(e);
    libinput_device *dev = libinput_event_get_device(e);
    got->device = libinput_device_get_name(dev);
    // Asked of any other kind of event, libinput complains of a client bug.
    bool is_pointer = got->type >= LIBINPUT_EVENT_POINTER_MOTION &&
                      got->type <= LIBINPUT_EVENT_POINTER_SCROLL_CONTINUOUS;
    libinput_event_pointer *p = is_pointer ? libinput_event_get_pointer_event(e) : nullptr;
    switch (libinput_event_get_type(e)) {
    case LIBINPUT_EVENT_DEVICE_ADDED:
        got->tap_fingers = libinput_device_config_tap_get_finger_count(dev);
        got->pointer = libinput_device_has_capability(dev, LIBINPUT_DEVICE_CAP_POINTER) != 0;
        break;
    case LIBINPUT_EVENT_POINTER_MOTION:
        got->dx = libinput_event_pointer_get_dx(p);
        got->dy = libinput_event_pointer_get_dy(p);
        break;
    case LIBINPUT_EVENT_POINTER_MOTION_ABSOLUTE:
        got->x = libinput_event_pointer_get_absolute_x_transformed(p, LI_ABS_SPAN);
        got->y = libinput_event_pointer_get_absolute_y_transformed(p, LI_ABS_SPAN);
        break;
    case LIBINPUT_EVENT_POINTER_BUTTON:
        got->button = libinput_event_pointer_get_button(p);
        got->pressed = libinput_event_pointer_get_button_state(p) == LIBINPUT_BUTTON_STATE_PRESSED;
        break;
    case LIBINPUT_EVENT_POINTER_SCROLL_WHEEL:
        if (libinput_event_pointer_has_axis(p, LIBINPUT_POINTER_AXIS_SCROLL_VERTICAL))
            got->wheel_v = libinput_event_pointer_get_scroll_value_v120(
                p, LIBINPUT_POINTER_AXIS_SCROLL_VERTICAL);
        if (libinput_event_pointer_has_axis(p, LIBINPUT_POINTER_AXIS_SCROLL_HORIZONTAL))
            got->wheel_h = libinput_event_pointer_get_scroll_value_v120(
                p, LIBINPUT_POINTER_AXIS_SCROLL_HORIZONTAL);
        break;
    case LIBINPUT_EVENT_POINTER_SCROLL_FINGER:
    case LIBINPUT_EVENT_POINTER_SCROLL_CONTINUOUS:
        if (libinput_event_pointer_has_axis(p, LIBINPUT_POINTER_AXIS_SCROLL_VERTICAL))
            got->wheel_v =
                libinput_event_pointer_get_scroll_value(p, LIBINPUT_POINTER_AXIS_SCROLL_VERTICAL);
        if (libinput_event_pointer_has_axis(p, LIBINPUT_POINTER_AXIS_SCROLL_HORIZONTAL))
            got->wheel_h =
                libinput_event_pointer_get_scroll_value(p, LIBINPUT_POINTER_AXIS_SCROLL_HORIZONTAL);
        break;
    default:
        break;
    }
}

} // namespace

// ---- virtual devices -----------------------------------------------------------

bool vdev_create(vdev *d, vdev_kind kind, const char *name)
{
    if (!guest_refuse("create a uinput device"))
        return false;
    vdev_destroy(d);
    d->kind = kind;
    d->name = name ? name : VDEV_DEFAULT_NAME[kind];
    d->dev = libevdev_new();
    if (d->dev == nullptr)
        return guest_fail("libevdev_new");
    libevdev_set_name(d->dev, d->name.c_str());
    libevdev_set_id_bustype(d->dev, BUS_USB);
    libevdev_set_id_vendor(d->dev, VDEV_VENDOR);
    libevdev_set_id_product(d->dev, VDEV_PRODUCT[kind]);
    libevdev_set_id_version(d->dev, 1);
    describe(d->dev, kind);
    int rc = libevdev_uinput_create_from_device(d->dev, LIBEVDEV_UINPUT_OPEN_MANAGED, &d->ui);
    if (rc != 0) {
        d->ui = nullptr;
        vdev_destroy(d);
        return fail_rc(rc, "create a uinput device");
    }
    const char *node = libevdev_uinput_get_devnode(d->ui);
    if (node == nullptr) {
        vdev_destroy(d);
        errno = ENOENT;
        return guest_fail("find the event node of a uinput device");
    }
    d->node = node;
    // devtmpfs makes the node before uinput answers; the name proves that
    // the node is the new device's.
    if (device_name_of(d->node) != d->name) {
        vdev_destroy(d);
        errno = ENOENT;
        return guest_fail("see the new device's event node");
    }
    return true;
}

bool vdev_move(vdev *d, int dx, int dy)
{
    if (!usable(d, "move a virtual device"))
        return false;
    return (dx == 0 || emit(d, EV_REL, REL_X, dx)) && (dy == 0 || emit(d, EV_REL, REL_Y, dy)) &&
           frame(d);
}

bool vdev_move_to(vdev *d, int x, int y)
{
    if (!usable(d, "move a virtual device"))
        return false;
    return emit(d, EV_ABS, ABS_X, x) && emit(d, EV_ABS, ABS_Y, y) && frame(d);
}

bool vdev_button(vdev *d, unsigned code, bool down)
{
    if (!usable(d, "press a button"))
        return false;
    return emit(d, EV_KEY, code, down ? 1 : 0) && frame(d);
}

bool vdev_key(vdev *d, unsigned code, bool down)
{
    if (!usable(d, "press a key"))
        return false;
    return emit(d, EV_KEY, code, down ? 1 : 0) && frame(d);
}

bool vdev_click(vdev *d, unsigned code)
{
    return vdev_button(d, code, true) && vdev_button(d, code, false);
}

bool vdev_wheel(vdev *d, int vertical, int horizontal)
{
    if (!usable(d, "turn a wheel"))
        return false;
    return (vertical == 0 || emit(d, EV_REL, REL_WHEEL, vertical)) &&
           (horizontal == 0 || emit(d, EV_REL, REL_HWHEEL, horizontal)) && frame(d);
}

bool vdev_touch(vdev *d, int fingers, int x, int y)
{
    if (!usable(d, "touch a touchpad"))
        return false;
    if (fingers < 1 || fingers > MAX_FINGERS) {
        errno = EINVAL;
        return guest_fail("touch with 1 to 3 fingers");
    }
    for (int slot = 0; slot < MAX_FINGERS; slot++) {
        bool was_down = slot < d->fingers;
        bool down = slot < fingers;
        if (!was_down && !down)
            continue;
        if (!emit(d, EV_ABS, ABS_MT_SLOT, slot))
            return false;
        if (!down) {
            if (!emit(d, EV_ABS, ABS_MT_TRACKING_ID, -1))
                return false;
            continue;
        }
        if (!was_down && !emit(d, EV_ABS, ABS_MT_TRACKING_ID, d->next_tracking_id++))
            return false;
        if (!emit(d, EV_ABS, ABS_MT_POSITION_X, x + slot * PAD_FINGER_GAP) ||
            !emit(d, EV_ABS, ABS_MT_POSITION_Y, y))
            return false;
    }
    bool ok = emit(d, EV_ABS, ABS_X, x) && emit(d, EV_ABS, ABS_Y, y) &&
              emit(d, EV_KEY, BTN_TOUCH, 1) && emit(d, EV_KEY, BTN_TOOL_FINGER, fingers == 1) &&
              emit(d, EV_KEY, BTN_TOOL_DOUBLETAP, fingers == 2) &&
              emit(d, EV_KEY, BTN_TOOL_TRIPLETAP, fingers == 3) && frame(d);
    d->fingers = fingers;
    return ok;
}

bool vdev_swipe(vdev *d, int fingers, int x0, int y0, int x1, int y1, int steps)
{
    if (steps < 1) {
        errno = EINVAL;
        return guest_fail("swipe in at least one step");
    }
    if (!vdev_touch(d, fingers, x0, y0))
        return false;
    for (int i = 1; i <= steps; i++) {
        // A finger's frames come at the touchpad's rate; libinput drops
        // motion faster than a finger can move as a jump of the sensor.
        struct timespec frame_gap = {0, PAD_FRAME_MS * 1000000L};
        while (nanosleep(&frame_gap, &frame_gap) != 0 && errno == EINTR) {
        }
        if (!vdev_touch(d, fingers, x0 + (x1 - x0) * i / steps, y0 + (y1 - y0) * i / steps))
            return false;
    }
    return true;
}

bool vdev_lift(vdev *d)
{
    if (!usable(d, "lift fingers"))
        return false;
    for (int slot = 0; slot < d->fingers; slot++) {
        if (!emit(d, EV_ABS, ABS_MT_SLOT, slot) || !emit(d, EV_ABS, ABS_MT_TRACKING_ID, -1))
            return false;
    }
    d->fingers = 0;
    return emit(d, EV_KEY, BTN_TOUCH, 0) && emit(d, EV_KEY, BTN_TOOL_FINGER, 0) &&
           emit(d, EV_KEY, BTN_TOOL_DOUBLETAP, 0) && emit(d, EV_KEY, BTN_TOOL_TRIPLETAP, 0) &&
           frame(d);
}

void vdev_destroy(vdev *d)
{
    if (d->ui != nullptr)
        libevdev_uinput_destroy(d->ui);
    if (d->dev != nullptr)
        libevdev_free(d->dev);
    d->ui = nullptr;
    d->dev = nullptr;
    d->node.clear();
    d->fingers = 0;
}

// ---- event nodes -----------------------------------------------------------------

std::string input_node_by_name(const char *name, int timeout_ms)
{
    if (!guest_refuse("look for an input device"))
        return "";
    long deadline = guest_now_ms() + timeout_ms;
    // Watch the folder before the first look, so that a node made between
    // the look and the wait still wakes the wait.
    int in = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (in >= 0 && inotify_add_watch(in, "/dev/input", IN_CREATE | IN_ATTRIB) < 0) {
        close(in);
        in = -1;
    }
    std::string node = scan_inputs(name);
    while (node.empty() && in >= 0 && guest_left_ms(deadline) > 0) {
        if (guest_wait_readable(in, guest_left_ms(deadline)) <= 0)
            break;
        char buf[4096];
        while (read(in, buf, sizeof buf) > 0) {
        }
        node = scan_inputs(name);
    }
    if (in >= 0)
        close(in);
    return node;
}

bool ps2_mouse_attach(bool attached, int timeout_ms)
{
    // The i8042's ports: serio0 the keyboard's, serio1 the AUX port with the
    // mouse. drvctl takes "none" (unbind) or a driver's name.
    static const char drvctl[] = "/sys/bus/serio/devices/serio1/drvctl";
    if (!guest_refuse("bind or unbind the PS/2 mouse"))
        return false;
    const std::string word = attached ? "psmouse" : "none";
    int fd = open(drvctl, O_WRONLY | O_CLOEXEC);
    ssize_t n = fd >= 0 ? write(fd, word.data(), word.size()) : -1;
    if (fd >= 0)
        close(fd);
    if (n != static_cast<ssize_t>(word.size()))
        return guest_fail("write /sys/bus/serio/devices/serio1/drvctl");
    if (attached && input_node_by_name(QEMU_PS2_MOUSE, timeout_ms).empty()) {
        errno = ETIMEDOUT;
        return guest_fail("wait for the PS/2 mouse");
    }
    return true;
}

bool evdev_open(evdev_reader *r, const std::string &node)
{
    if (!guest_refuse("open an event node"))
        return false;
    evdev_close(r);
    r->fd = open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (r->fd < 0)
        return guest_fail(("open " + node).c_str());
    int rc = libevdev_new_from_fd(r->fd, &r->dev);
    if (rc != 0) {
        r->dev = nullptr;
        evdev_close(r);
        return fail_rc(rc, "libevdev_new_from_fd");
    }
    return true;
}

bool evdev_next(evdev_reader *r, input_event *ev, int timeout_ms)
{
    long deadline = guest_now_ms() + timeout_ms;
    for (;;) {
        int rc = libevdev_next_event(r->dev, LIBEVDEV_READ_FLAG_NORMAL, ev);
        if (rc == LIBEVDEV_READ_STATUS_SUCCESS)
            return true;
        if (rc == LIBEVDEV_READ_STATUS_SYNC) {
            // Events were dropped: take the device's state back in sync.
            while (libevdev_next_event(r->dev, LIBEVDEV_READ_FLAG_SYNC, ev) ==
                   LIBEVDEV_READ_STATUS_SYNC) {
            }
            continue;
        }
        if (rc != -EAGAIN)
            return fail_rc(rc, "read an input event");
        if (guest_wait_readable(r->fd, guest_left_ms(deadline)) <= 0)
            return false;
    }
}

int evdev_sum_rel(evdev_reader *r, unsigned code, int want, int timeout_ms)
{
    long deadline = guest_now_ms() + timeout_ms;
    int sum = 0;
    input_event ev;
    while ((want >= 0 ? sum < want : sum > want) && evdev_next(r, &ev, guest_left_ms(deadline))) {
        if (ev.type == EV_REL && ev.code == code)
            sum += ev.value;
    }
    return sum;
}

bool evdev_wait_key(evdev_reader *r, unsigned code, int value, int timeout_ms)
{
    long deadline = guest_now_ms() + timeout_ms;
    input_event ev;
    while (evdev_next(r, &ev, guest_left_ms(deadline))) {
        if (ev.type == EV_KEY && ev.code == code && ev.value == value)
            return true;
    }
    return false;
}

void evdev_close(evdev_reader *r)
{
    if (r->dev != nullptr)
        libevdev_free(r->dev);
    if (r->fd >= 0)
        close(r->fd);
    r->dev = nullptr;
    r->fd = -1;
}

// ---- libinput ----------------------------------------------------------------------

bool li_open(li_watch *w)
{
    if (!guest_refuse("open a libinput context"))
        return false;
    li_close(w);
    w->u = udev_new();
    if (w->u == nullptr)
        return guest_fail("udev_new");
    w->li = libinput_udev_create_context(&LI_INTERFACE, nullptr, w->u);
    if (w->li == nullptr) {
        li_close(w);
        return guest_fail("libinput_udev_create_context");
    }
    if (libinput_udev_assign_seat(w->li, "seat0") != 0) {
        li_close(w);
        return guest_fail("libinput_udev_assign_seat");
    }
    return true;
}

bool li_wait(li_watch *w, int type, const char *device, li_event *got, int timeout_ms)
{
    long deadline = guest_now_ms() + timeout_ms;
    for (;;) {
        if (libinput_dispatch(w->li) != 0)
            return guest_fail("libinput_dispatch");
        while (libinput_event *e = libinput_get_event(w->li)) {
            bool match =
                static_cast<int>(libinput_event_get_type(e)) == type &&
                (device == nullptr ||
                 strcmp(libinput_device_get_name(libinput_event_get_device(e)), device) == 0);
            if (match)
                fill(e, got);
            libinput_event_destroy(e);
            if (match)
                return true;
        }
        if (guest_wait_readable(libinput_get_fd(w->li), guest_left_ms(deadline)) <= 0)
            return false;
    }
}

void li_close(li_watch *w)
{
    if (w->li != nullptr)
        libinput_unref(w->li);
    if (w->u != nullptr)
        udev_unref(w->u);
    w->li = nullptr;
    w->u = nullptr;
}
