/* vt.cpp: virtual console ioctls. */
#include "vt.h"

#include "sharing.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/kd.h>
#include <linux/tiocl.h>
#include <linux/vt.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

/* TIOCLINUX takes a subcode byte; TIOCL_SETSEL follows it with five 16-bit
 * values, packed right after it. */
struct __attribute__((packed)) setsel_arg {
    uint8_t subcode;
    uint16_t xs, ys, xe, ye; /* cells, from 1 */
    uint16_t mode;
};
static_assert(sizeof(setsel_arg) == 11, "TIOCL_SETSEL argument is 11 bytes");
static_assert(offsetof(setsel_arg, xs) == 1, "xs follows the subcode");
static_assert(offsetof(setsel_arg, ys) == 3, "ys at 3");
static_assert(offsetof(setsel_arg, xe) == 5, "xe at 5");
static_assert(offsetof(setsel_arg, ye) == 7, "ye at 7");
static_assert(offsetof(setsel_arg, mode) == 9, "mode at 9");
static_assert(sizeof(tiocl_selection) == 10, "the kernel's selection record");

constexpr unsigned int TTY_MAJOR_NUMBER = 4;
/* The screen of the console shown: a 4-byte header, then a character and an
 * attribute byte per cell (at most 255 x 255 cells). */
constexpr const char SHOWN_SCREEN_PATH[] = "/dev/vcsa";
constexpr size_t SCREEN_BYTES_MAX = 4 + 2 * 255 * 255;
constexpr const char DEVICES_PATH[] = "/dev";
/* Room for a burst of inotify records; more simply stay for the next read. */
constexpr size_t WATCH_READ_BYTES = 4096;

/* Added to the resize watch's count when its thread stops: far above any
 * number of resizes. */
constexpr uint64_t RESIZE_WATCH_ENDED = uint64_t{1} << 40;

struct resize_watch {
    int tty;   /* /dev/tty0, where VT_WAITEVENT is asked */
    int event; /* the eventfd the loop watches */
};

/* The resize thread: one blocking VT_WAITEVENT after another. */
void *wait_for_resizes(void *arg)
{
    auto *w = static_cast<resize_watch *>(arg);
    uint64_t one = 1;
    for (;;) {
        vt_event ev;
        memset(&ev, 0, sizeof ev);
        ev.event = VT_EVENT_RESIZE;
        if (ioctl(w->tty, VT_WAITEVENT, &ev) == 0) {
            (void) write(w->event, &one, sizeof one);
        } else if (errno != EINTR) {
            uint64_t ended = RESIZE_WATCH_ENDED;
            (void) write(w->event, &ended, sizeof ended);
            (void) close(w->tty);
            free(w);
            return nullptr;
        }
    }
}

uint16_t cell(int v)
{
    return v < 1 ? 1 : (v > UINT16_MAX ? UINT16_MAX : static_cast<uint16_t>(v));
}

int setsel(int fd, int xs, int ys, int xe, int ye, int mode)
{
    setsel_arg arg;
    arg.subcode = TIOCL_SETSEL;
    arg.xs = cell(xs);
    arg.ys = cell(ys);
    arg.xe = cell(xe);
    arg.ye = cell(ye);
    arg.mode = static_cast<uint16_t>(mode);
    return ioctl(fd, TIOCLINUX, &arg) < 0 ? -1 : 0;
}

/* Subcodes that answer through their argument overwrite the subcode byte. */
int ask_byte(int fd, uint8_t subcode)
{
    uint8_t arg = subcode;
    if (ioctl(fd, TIOCLINUX, &arg) < 0)
        return -1;
    return arg;
}

int open_tty(const char *path)
{
    /* O_NOCTTY: the console must never become the server's terminal */
    return open(path, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
}

} // namespace

int vt_open_control(void)
{
    return open_tty(VT_CONTROL_PATH);
}

int vt_console_path(int n, char *buf, size_t len)
{
    if (n < 1 || n > VT_MAX)
        return -1;
    int got = snprintf(buf, len, "/dev/tty%d", n);
    return got > 0 && static_cast<size_t>(got) < len ? 0 : -1;
}

int vt_open_console(int n)
{
    char path[32];
    if (vt_console_path(n, path, sizeof path) < 0) {
        errno = EINVAL;
        return -1;
    }
    return open_tty(path);
}

int vt_open_shown(int *vc)
{
    int fd = open_tty(VT_CONTROL_PATH);
    if (fd < 0)
        return -1;
    /* TIOCGDEV names the console behind the alias: major 4, minor N */
    unsigned int dev = 0;
    int n = -1;
    if (ioctl(fd, TIOCGDEV, &dev) == 0 && major(dev) == TTY_MAJOR_NUMBER)
        n = static_cast<int>(minor(dev));
    else
        n = vt_active(fd); /* a kernel without TIOCGDEV: the console asked for */
    if (n < 1 || n > VT_MAX) {
        (void) close(fd);
        errno = ENXIO;
        return -1;
    }
    *vc = n;
    return fd;
}

int vt_active(int ctl_fd)
{
    struct vt_stat vs;
    memset(&vs, 0, sizeof vs);
    if (ioctl(ctl_fd, VT_GETSTATE, &vs) < 0)
        return -1;
    return vs.v_active;
}

int vt_open_active_watch(void)
{
    return open(VT_ACTIVE_PATH, O_RDONLY | O_CLOEXEC);
}

int vt_read_active_watch(int fd)
{
    char buf[16];
    ssize_t got = pread(fd, buf, sizeof buf - 1, 0);
    if (got <= 3)
        return -1;
    buf[got] = '\0';
    if (strncmp(buf, "tty", 3) != 0)
        return -1;
    char *end = nullptr;
    long n = strtol(buf + 3, &end, 10);
    if (end == buf + 3 || n < 1 || n > VT_MAX)
        return -1;
    return static_cast<int>(n);
}

int vt_size(int fd, int *cols, int *rows)
{
    struct winsize ws;
    memset(&ws, 0, sizeof ws);
    if (ioctl(fd, TIOCGWINSZ, &ws) < 0)
        return -1;
    *cols = ws.ws_col;
    *rows = ws.ws_row;
    return 0;
}

int vt_is_graphics(int fd)
{
    int mode = KD_TEXT;
    if (ioctl(fd, KDGETMODE, &mode) < 0)
        return -1;
    return mode == KD_GRAPHICS ? 1 : 0;
}

int vt_shift_state(int fd)
{
    return ask_byte(fd, TIOCL_GETSHIFTSTATE);
}

int vt_mouse_reporting(int fd)
{
    return ask_byte(fd, TIOCL_GETMOUSEREPORTING);
}

int vt_select(int fd, int xs, int ys, int xe, int ye, int unit)
{
    if (unit != TIOCL_SELCHAR && unit != TIOCL_SELWORD && unit != TIOCL_SELLINE) {
        errno = EINVAL;
        return -1;
    }
    return setsel(fd, xs, ys, xe, ye, unit);
}

int vt_pointer(int fd, int x, int y)
{
    return setsel(fd, x, y, x, y, TIOCL_SELPOINTER);
}

int vt_clear(int fd)
{
    return setsel(fd, 1, 1, 1, 1, TIOCL_SELCLEAR);
}

int vt_report(int fd, int code, int x, int y)
{
    return setsel(fd, x, y, x, y, TIOCL_SELMOUSEREPORT | (code & TIOCL_SELBUTTONMASK));
}

int vt_paste(int fd)
{
    uint8_t arg = TIOCL_PASTESEL;
    return ioctl(fd, TIOCLINUX, &arg) < 0 ? -1 : 0;
}

int vt_owner(int n, uid_t *uid)
{
    char path[32];
    if (vt_console_path(n, path, sizeof path) < 0)
        return -1;
    struct stat st;
    if (stat(path, &st) != 0)
        return -1;
    *uid = st.st_uid;
    return 0;
}

int vt_open_owner_watch(void)
{
    int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0)
        return -1;
    /* a chown or chmod of a file in /dev; writes and reads are not wanted */
    if (inotify_add_watch(fd, DEVICES_PATH, IN_ATTRIB) < 0) {
        int saved = errno;
        (void) close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

uint64_t vt_read_owner_watch(int fd)
{
    alignas(inotify_event) unsigned char buf[WATCH_READ_BYTES];
    uint64_t mask = 0;
    for (;;) {
        ssize_t got = read(fd, buf, sizeof buf);
        if (got <= 0)
            break;
        mask |= tty_changes(buf, static_cast<size_t>(got));
    }
    return mask;
}

int vt_open_resize_watch(void)
{
    auto *w = static_cast<resize_watch *>(malloc(sizeof(resize_watch)));
    if (w == nullptr)
        return -1;
    w->tty = open(VT_CONTROL_PATH, O_RDONLY | O_NOCTTY | O_CLOEXEC);
    w->event = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    int fd = w->event;
    /* every signal blocked in the thread, whatever the caller's mask */
    sigset_t all, was;
    sigfillset(&all);
    pthread_attr_t attr;
    pthread_t thread;
    int started = -1;
    if (w->tty >= 0 && fd >= 0 && pthread_attr_init(&attr) == 0) {
        (void) pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        (void) pthread_attr_setstacksize(&attr, PTHREAD_STACK_MIN + 16384);
        (void) pthread_sigmask(SIG_SETMASK, &all, &was);
        started = pthread_create(&thread, &attr, wait_for_resizes, w);
        (void) pthread_sigmask(SIG_SETMASK, &was, nullptr);
        (void) pthread_attr_destroy(&attr);
    }
    if (started != 0) {
        if (started > 0)
            errno = started;
        int saved = errno;
        if (w->tty >= 0)
            (void) close(w->tty);
        if (fd >= 0)
            (void) close(fd);
        free(w);
        errno = saved;
        return -1;
    }
    return fd;
}

int vt_read_resize_watch(int fd)
{
    uint64_t count = 0;
    if (read(fd, &count, sizeof count) != static_cast<ssize_t>(sizeof count))
        return 0;
    return count >= RESIZE_WATCH_ENDED ? -1 : 1;
}

int vt_blank_cell(int *x, int *y)
{
    int fd = open(SHOWN_SCREEN_PATH, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    auto *bytes = static_cast<uint8_t *>(malloc(SCREEN_BYTES_MAX));
    ssize_t got = bytes != nullptr ? pread(fd, bytes, SCREEN_BYTES_MAX, 0) : -1;
    (void) close(fd);
    screen_cell at = {0, 0};
    int found = got > 0 ? blank_cell(bytes, static_cast<size_t>(got), &at) : 0;
    free(bytes);
    if (found) {
        *x = at.x;
        *y = at.y;
    }
    return found;
}

int vt_inject(int fd, const uint8_t *bytes, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        char c = static_cast<char>(bytes[i]);
        if (ioctl(fd, TIOCSTI, &c) < 0)
            return -1;
    }
    return 0;
}

namespace
{

/* TIOCL_SELLOADLUT's argument: the subcode byte in a 32-bit word (the
 * kernel ignores bytes 1-3 and reads the table from byte 4 on), then the
 * table, bit c of word c / 32 for character code c. */
struct loadlut_arg {
    uint8_t subcode;
    uint8_t unused[3];
    uint32_t table[8];
};
static_assert(sizeof(loadlut_arg) == 36, "TIOCL_SELLOADLUT argument is 36 bytes");
static_assert(offsetof(loadlut_arg, table) == 4, "the table starts at byte 4");

} // namespace

int vt_load_words(int fd, const uint32_t table[8])
{
    loadlut_arg arg;
    memset(&arg, 0, sizeof arg);
    arg.subcode = TIOCL_SELLOADLUT;
    memcpy(arg.table, table, sizeof arg.table);
    return ioctl(fd, TIOCLINUX, &arg) < 0 ? -1 : 0;
}
