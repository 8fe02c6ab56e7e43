// Support for test programs that run inside the amd64 test guest
// (tests/vm/run-vm.sh guest): virtual input devices, QEMU's own PS/2 mouse,
// the virtual consoles read back through /dev/vcsaN, console programs,
// programs under test and other users. Everything that touches a device
// first checks guest_inside() and fails (errno EPERM) anywhere else, so that
// a build host's consoles are never drawn on, selected on or switched.
//
// Functions that can fail return false (or -1) and print one line saying
// what failed to standard error; errno is kept from the failing call.
// Console coordinates count from 1, column 1 the left edge and row 1 the top,
// as the kernel's selection counts them.
#pragma once

#include <linux/input.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

struct libevdev;
struct libevdev_uinput;
struct libinput;
struct udev;

// ---- the guest itself -----------------------------------------------------

// True only inside the test guest: its /init leaves /run/mox-guest and the
// runner puts "mox.guest=1" on the kernel's command line; both must be there.
bool guest_inside();

// Milliseconds of CLOCK_MONOTONIC, for deadlines.
long guest_now_ms();

// Has QEMU's monitor carry out COMMAND: writes "@@MOX MONITOR COMMAND" to the
// console, which the runner forwards. Only mouse_move, mouse_button and
// sendkey are carried out; nothing answers, so the caller waits for the
// effect (on the PS/2 mouse's event node, say).
bool guest_monitor(const std::string &command);

// QEMU's PS/2 mouse: move by dx, dy (and dz wheel steps), or hold the
// buttons of mask (1 left, 2 right, 4 middle; 0 releases all).
bool qemu_mouse_move(int dx, int dy, int dz = 0);
bool qemu_mouse_buttons(int mask);
// QEMU's keyboard: key (QEMU's name: "shift", "ctrl", "alt", "a", ...)
// pressed and held for hold_ms (at most 9999), then released.
bool qemu_hold_key(const char *key, int hold_ms);

// ---- virtual input devices (uinput, through libevdev) ----------------------

enum vdev_kind {
    VDEV_MOUSE,    // relative; left, middle, right; vertical and horizontal wheel
    VDEV_TABLET,   // absolute ABS_X/ABS_Y 0..VDEV_ABS_MAX and buttons, like QEMU's usb-tablet
    VDEV_TOUCHPAD, // multi-touch, five slots, 0..VDEV_PAD_MAX_X/Y at 10 units a mm
    VDEV_KEYBOARD  // the modifier keys and letters: the console's keyboard takes it
};

constexpr int VDEV_ABS_MAX = 32767;
constexpr int VDEV_PAD_MAX_X = 1000;
constexpr int VDEV_PAD_MAX_Y = 700;

struct vdev {
    libevdev *dev = nullptr;
    libevdev_uinput *ui = nullptr;
    vdev_kind kind = VDEV_MOUSE;
    std::string name;
    std::string node; // /dev/input/eventN
    int fingers = 0;  // touchpad: fingers down
    int next_tracking_id = 1;
};

// Creates a device of that kind named name (a default name for nullptr);
// its event node exists when this returns.
bool vdev_create(vdev *d, vdev_kind kind, const char *name = nullptr);
// Relative motion (mouse).
bool vdev_move(vdev *d, int dx, int dy);
// Absolute position (tablet: 0..VDEV_ABS_MAX; touchpad: see vdev_touch).
bool vdev_move_to(vdev *d, int x, int y);
// A button (BTN_LEFT, BTN_MIDDLE, BTN_RIGHT) pressed or released, or both.
bool vdev_button(vdev *d, unsigned code, bool down);
bool vdev_click(vdev *d, unsigned code);
// A key (KEY_LEFTSHIFT, KEY_LEFTCTRL, ...) pressed or released; the console
// keyboard counts it in its shift state, as a real keyboard's.
bool vdev_key(vdev *d, unsigned code, bool down);
// Wheel detents in evdev's sense: vertical > 0 away from the user (up),
// horizontal > 0 to the right.
bool vdev_wheel(vdev *d, int vertical, int horizontal);
// Touchpad: fingers (1 to 3) down side by side, the first at x, y (moved
// there when already down); vdev_lift takes every finger up.
bool vdev_touch(vdev *d, int fingers, int x, int y);
bool vdev_lift(vdev *d);
// Touchpad: fingers down at x0, y0, then moved to x1, y1 in steps frames at
// a real touchpad's frame rate (12 ms apart), left down.
bool vdev_swipe(vdev *d, int fingers, int x0, int y0, int x1, int y1, int steps);
// The device goes away (unplugged); d can be created again.
void vdev_destroy(vdev *d);

// ---- event nodes -------------------------------------------------------------

// The names QEMU's PS/2 mouse (once psmouse has probed it) and keyboard have.
extern const char QEMU_PS2_MOUSE[];
extern const char QEMU_KEYBOARD[];

// Unbinds psmouse from the PS/2 port (the mouse's device goes away), or
// binds it again and waits up to timeout_ms for its event node.
bool ps2_mouse_attach(bool attached, int timeout_ms = 10000);

// The /dev/input/eventN of the device called name, waiting up to timeout_ms
// for it to appear; "" when none did.
std::string input_node_by_name(const char *name, int timeout_ms);

struct evdev_reader {
    int fd = -1;
    libevdev *dev = nullptr;
};

bool evdev_open(evdev_reader *r, const std::string &node);
// The next event (SYN_REPORT included), waiting up to timeout_ms.
bool evdev_next(evdev_reader *r, input_event *ev, int timeout_ms);
// Adds up the relative events of code (REL_X, ...) until their sum reaches
// want (in want's direction) or timeout_ms passes; returns the sum.
int evdev_sum_rel(evdev_reader *r, unsigned code, int want, int timeout_ms);
// Waits for EV_KEY code with that value (1 press, 0 release).
bool evdev_wait_key(evdev_reader *r, unsigned code, int value, int timeout_ms);
void evdev_close(evdev_reader *r);

// ---- libinput with its udev backend (what the server uses) -----------------

struct li_event {
    int type = 0; // enum libinput_event_type
    std::string device;
    double dx = 0, dy = 0;           // POINTER_MOTION (accelerated)
    double x = 0, y = 0;             // POINTER_MOTION_ABSOLUTE, mapped onto 0..10000
    uint32_t button = 0;             // POINTER_BUTTON: BTN_LEFT, ...
    bool pressed = false;            // POINTER_BUTTON
    double wheel_v = 0, wheel_h = 0; // POINTER_SCROLL_*: v120 (wheel) or value; > 0 down/right
    int tap_fingers = 0;             // DEVICE_ADDED: > 0 for a touchpad
    bool pointer = false;            // DEVICE_ADDED: has the pointer capability
};

constexpr double LI_ABS_SPAN = 10000.0;

struct li_watch {
    udev *u = nullptr;
    libinput *li = nullptr;
};

// A libinput context on seat0 of the udev backend; the devices present are
// announced by DEVICE_ADDED events like those plugged in later.
bool li_open(li_watch *w);
// Reads events until one of type (from the device called device, unless
// nullptr) comes, up to timeout_ms; others are passed over.
bool li_wait(li_watch *w, int type, const char *device, li_event *got, int timeout_ms);
void li_close(li_watch *w);

// ---- the consoles ------------------------------------------------------------

// One screen as /dev/vcsaN shows it.
struct screen {
    int rows = 0, cols = 0;
    int cursor_x = 0, cursor_y = 0; // from 1
    std::vector<std::string> text;  // rows of characters
    std::vector<std::string> attr;  // one attribute byte per cell, same shape
};

// The attribute of an empty console cell: light grey on black.
constexpr uint8_t ATTR_NORMAL = 0x07;

// Decodes the bytes of /dev/vcsaN: a header of rows, columns, cursor column
// and row (from 0), then a character and an attribute byte per cell.
bool screen_parse(const uint8_t *bytes, size_t n, screen *s);
bool screen_read(int vc, screen *s);
// Reads console vc's screen until done(screen) holds, up to timeout_ms;
// between reads it sleeps until the kernel announces a change of the screen
// (poll on /dev/vcsaN), so it sees a pointer or selection as soon as it is
// drawn. *s holds the last screen read, also when done never held.
bool screen_wait(int vc, const std::function<bool(const screen &)> &done, screen *s,
                 int timeout_ms);
// A cell's character or attribute; 0 / -1 outside the screen.
char screen_char(const screen &s, int x, int y);
int screen_attr(const screen &s, int x, int y);
// True when attr is normal with foreground and background swapped, as the
// kernel's selection and pointer draw a cell.
bool attr_inverted(uint8_t attr, uint8_t normal = ATTR_NORMAL);
struct cell {
    int x, y;
    bool operator==(const cell &o) const
    {
        return x == o.x && y == o.y;
    }
};
std::vector<cell> screen_inverted(const screen &s, uint8_t normal = ATTR_NORMAL);
// The characters of the inverted cells in reading order, a '\n' where the
// next one is on a later row.
std::string screen_inverted_text(const screen &s, uint8_t normal = ATTR_NORMAL);
// The screen as text, trailing blanks of each row dropped, inverted runs
// between open and close (reverse video on a terminal by default).
std::string screen_render(const screen &s, const char *open = "\033[7m",
                          const char *close = "\033[27m", uint8_t normal = ATTR_NORMAL);

// Opens /dev/ttyN (N = vc; 0 is the active console) with O_NOCTTY and
// O_CLOEXEC added; -1 on failure and outside the guest.
int console_open(int vc, int flags);
// Writes text; each '\n' goes out as "\r\n", whatever the terminal's mode.
bool console_write(int vc, const std::string &text);
// Blank screen and scroll-back, cursor home, normal attributes.
bool console_clear(int vc);
// VT_ACTIVATE, then VT_WAITACTIVE bounded by timeout_ms.
bool console_switch(int vc, int timeout_ms = 5000);
// The active console (VT_GETSTATE), -1 on failure.
int console_active();
// VT_RESIZE on /dev/tty0: every console gets the size.
bool console_resize(int cols, int rows);
// TIOCGWINSZ of /dev/ttyN.
bool console_size(int vc, int *cols, int *rows);
// KDSETMODE / KDGETMODE (KD_TEXT, KD_GRAPHICS); console_mode is -1 on failure.
bool console_set_mode(int vc, int mode);
int console_mode(int vc);
bool console_chown(int vc, uid_t uid, gid_t gid);
// What a getty does at its start (and so at every logout): a child process
// makes /dev/ttyN its controlling terminal (taken by force) and calls
// vhangup(); every descriptor of the tty opened before is hung up.
bool console_hangup(int vc);

// TIOCLINUX on /dev/ttyN. Selections act on the active console; a mouse
// report and a paste go to the input of /dev/ttyN itself.
bool sel_set(int vc, int xs, int ys, int xe, int ye, int mode);
bool sel_paste(int vc);
int sel_mouse_reporting(int vc); // -1 on failure
int sel_shift_state(int vc);     // -1 on failure

// A console program: a child process that opens /dev/ttyN (as uid when not
// 0) in raw mode, optionally switches mouse reporting on (ESC [ ? 1000 h),
// and hands back every byte it reads from its input.
struct console_app {
    pid_t pid = -1;
    int vc = 0;
    int to_app = -1;   // closed to stop it
    int from_app = -1; // what it reads
    std::string got;
};

bool app_start(console_app *a, int vc, bool mouse_report, uid_t uid = 0);
// Waits until got holds at least n bytes / contains bytes.
bool app_wait_bytes(console_app *a, size_t n, int timeout_ms);
bool app_wait_for(console_app *a, const std::string &bytes, int timeout_ms);
// Switches reporting off again if it switched it on, restores the
// terminal's mode and ends; true when it ended cleanly.
bool app_stop(console_app *a);

// ---- programs under test and other users -------------------------------------

enum proc_stream { PROC_ERR, PROC_OUT };

struct guest_proc {
    pid_t pid = -1;
    int pidfd = -1;
    int out_fd = -1, err_fd = -1;
    std::string out, err;              // all captured so far
    size_t out_seen = 0, err_seen = 0; // where the next proc_wait_line looks
    bool ended = false;
    int status = 0; // wait status once ended
};

// Starts argv[0] (a path) with standard input from /dev/null and standard
// output and error captured, as uid (and its group) when not 0; with
// no_stdio, descriptors 0, 1 and 2 closed instead (nothing is captured).
bool proc_start(guest_proc *p, const std::vector<std::string> &argv, uid_t uid = 0,
                bool no_stdio = false);
// Waits up to timeout_ms for a complete line containing text on the stream,
// after the lines earlier calls matched; the line (without '\n') is stored
// in *line when given.
bool proc_wait_line(guest_proc *p, const std::string &text, int timeout_ms,
                    proc_stream stream = PROC_ERR, std::string *line = nullptr);
// Takes in what the program writes during timeout_ms (or until it ends).
void proc_collect(guest_proc *p, int timeout_ms);
bool proc_signal(guest_proc *p, int sig);
// Waits for the end (output read to its end too); p->status holds it.
bool proc_wait_exit(guest_proc *p, int timeout_ms);
// SIGTERM, then SIGKILL when it has not ended within timeout_ms; the status.
int proc_stop(guest_proc *p, int timeout_ms);

constexpr uid_t NOBODY_UID = 65534;
constexpr gid_t NOGROUP_GID = 65534;

// Runs fn in a child process switched to uid and gid (no supplementary
// groups) and gives its result (0 to 125), or -1 when the child could not
// switch, crashed or ran past timeout_ms.
int run_as(uid_t uid, gid_t gid, const std::function<int()> &fn, int timeout_ms = 10000);

// run_as in the background: fn gets the child's end of a socket pair (the
// other end is chan) to write notes on; it reads end of file there once
// run_as_wait, which gives the result as run_as does, is called.
struct guest_child {
    pid_t pid = -1;
    int chan = -1;
};
bool run_as_start(guest_child *c, uid_t uid, gid_t gid, const std::function<int(int chan)> &fn);
// One note of n bytes, waited for up to timeout_ms.
bool run_as_read(guest_child *c, void *buf, size_t n, int timeout_ms);
int run_as_wait(guest_child *c, int timeout_ms);
