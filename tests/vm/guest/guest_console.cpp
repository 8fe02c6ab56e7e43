// The guest's virtual consoles: the screen read back through /dev/vcsaN,
// text written to /dev/ttyN, switching, resizing and display modes, the
// kernel's selection (TIOCLINUX), and a console program reading its input.
#include "guest.h"
#include "guest_private.h"

#include <linux/kd.h>
#include <linux/tiocl.h>
#include <linux/vt.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace
{

// /dev/vcsaN: rows, columns, cursor column, cursor row, then per cell the
// character and the attribute byte.
constexpr size_t VCSA_HEADER = 4;
constexpr int MAX_VC = 63;

// TIOCLINUX takes the subcode in the first byte and, for TIOCL_SETSEL, the
// selection right after it, unaligned.
struct __attribute__((packed)) sel_request {
    uint8_t subcode;
    struct tiocl_selection sel;
};
static_assert(sizeof(struct tiocl_selection) == 10, "five unsigned shorts");
static_assert(sizeof(sel_request) == 11, "subcode byte, then the selection");
static_assert(offsetof(sel_request, sel) == 1, "the selection follows the subcode");

constexpr char MOUSE_REPORT_ON[] = "\033[?1000h";
constexpr char MOUSE_REPORT_OFF[] = "\033[?1000l";
constexpr char CLEAR_SCREEN[] = "\033[0m\033[H\033[2J\033[3J";
// A console program is running once it said so; this bounds a broken one.
constexpr int APP_START_MS = 5000;
constexpr int APP_STOP_MS = 5000;
// The console program's first byte back: ready, or failed with the errno
// that follows in the next byte.
constexpr char APP_READY = 'R';
constexpr char APP_FAILED = 'E';

// The cell as the kernel's selection draws it on a colour console: the
// foreground and background colours swapped, intensity and blink kept.
uint8_t invert_attr(uint8_t a)
{
    return static_cast<uint8_t>((a & 0x88) | ((a & 0x70) >> 4) | ((a & 0x07) << 4));
}

bool valid_vc(int vc, const char *what)
{
    if (vc >= 0 && vc <= MAX_VC)
        return true;
    errno = EINVAL;
    return guest_fail(what);
}

std::string tty_path(int vc)
{
    return "/dev/tty" + std::to_string(vc);
}

bool write_all(int fd, const char *p, size_t n)
{
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// One ioctl on /dev/ttyN, with the descriptor's life around it.
int tty_ioctl(int vc, unsigned long request, void *arg, const char *what)
{
    int fd = console_open(vc, O_RDWR);
    if (fd < 0)
        return -1;
    int rc = ioctl(fd, request, arg);
    int saved = errno;
    close(fd);
    errno = saved;
    if (rc < 0)
        guest_fail(what);
    return rc;
}

void on_alarm(int) {}

// VT_WAITACTIVE sleeps until the switch is done; a timer's signal (no
// restart) ends a wait that would never end.
bool wait_active(int fd, int vc, int timeout_ms)
{
    struct sigaction sa = {}, old = {};
    sa.sa_handler = on_alarm;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGALRM, &sa, &old);
    struct itimerval t = {}, off = {};
    t.it_value.tv_sec = timeout_ms / 1000;
    t.it_value.tv_usec = (timeout_ms % 1000) * 1000;
    setitimer(ITIMER_REAL, &t, nullptr);
    int rc = ioctl(fd, VT_WAITACTIVE, vc);
    int saved = errno;
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &old, nullptr);
    errno = saved;
    return rc == 0;
}

// Reads what is there from fd into text; false at end of file or on error.
bool take_available(int fd, std::string *text)
{
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            text->append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return n < 0 && errno == EAGAIN;
    }
}

// The console program itself (in the child): relays its terminal's input
// until the parent closes its end of to_app.
[[noreturn]] void app_failed(int from_app)
{
    char report[2] = {APP_FAILED, static_cast<char>(errno)};
    (void) write_all(from_app, report, sizeof report);
    _exit(1);
}

[[noreturn]] void app_main(int vc, bool mouse_report, uid_t uid, int to_app, int from_app)
{
    if (uid != 0 && (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0))
        app_failed(from_app);
    int tty = open(tty_path(vc).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (tty < 0)
        app_failed(from_app);
    struct termios saved, raw;
    if (tcgetattr(tty, &saved) != 0)
        app_failed(from_app);
    raw = saved;
    cfmakeraw(&raw);
    if (tcsetattr(tty, TCSANOW, &raw) != 0)
        app_failed(from_app);
    (void) tcflush(tty, TCIFLUSH);
    if (mouse_report && !write_all(tty, MOUSE_REPORT_ON, sizeof MOUSE_REPORT_ON - 1))
        app_failed(from_app);
    if (!write_all(from_app, &APP_READY, 1))
        _exit(1);
    struct pollfd fds[2] = {{tty, POLLIN, 0}, {to_app, POLLIN, 0}};
    char buf[256];
    for (;;) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[0].revents & POLLIN) {
            ssize_t n = read(tty, buf, sizeof buf);
            if (n > 0 && !write_all(from_app, buf, static_cast<size_t>(n)))
                break;
        }
        if (fds[1].revents != 0) {
            ssize_t n = read(to_app, buf, sizeof buf);
            if (n <= 0)
                break;
        }
    }
    if (mouse_report)
        (void) write_all(tty, MOUSE_REPORT_OFF, sizeof MOUSE_REPORT_OFF - 1);
    (void) tcsetattr(tty, TCSANOW, &saved);
    _exit(0);
}

} // namespace

// ---- the screen ------------------------------------------------------------------

bool screen_parse(const uint8_t *bytes, size_t n, screen *s)
{
    *s = screen{};
    if (n < VCSA_HEADER) {
        errno = EINVAL;
        return false;
    }
    int rows = bytes[0], cols = bytes[1];
    size_t cells = static_cast<size_t>(rows) * static_cast<size_t>(cols);
    if (rows == 0 || cols == 0 || n < VCSA_HEADER + 2 * cells) {
        errno = EINVAL;
        return false;
    }
    s->rows = rows;
    s->cols = cols;
    s->cursor_x = bytes[2] + 1;
    s->cursor_y = bytes[3] + 1;
    const uint8_t *p = bytes + VCSA_HEADER;
    for (int y = 0; y < rows; y++) {
        std::string text(static_cast<size_t>(cols), ' '), attr(static_cast<size_t>(cols), '\0');
        for (int x = 0; x < cols; x++, p += 2) {
            text[static_cast<size_t>(x)] = static_cast<char>(p[0]);
            attr[static_cast<size_t>(x)] = static_cast<char>(p[1]);
        }
        s->text.push_back(text);
        s->attr.push_back(attr);
    }
    return true;
}

namespace
{

// Opens /dev/vcsaN, making the console first when it does not exist yet.
int open_vcsa(int vc)
{
    if (!guest_refuse("read a console") || !valid_vc(vc, "read a console"))
        return -1;
    std::string path = "/dev/vcsa" + std::to_string(vc);
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT && vc > 0) {
        // The console is made (with its vcsa node) when its tty is opened.
        int tty = console_open(vc, O_RDONLY);
        if (tty >= 0)
            close(tty);
        fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    }
    if (fd < 0)
        guest_fail(("open " + path).c_str());
    return fd;
}

// The largest /dev/vcsaN: a 4-byte header, then two bytes a cell of at most
// 255 x 255 cells.
constexpr size_t VCSA_BYTES_MAX = 4 + 2 * 255 * 255;

// The whole screen from the start of an open /dev/vcsaN, in one read: every
// read clears the change notice, even one at the end of the file, so a
// second read would lose a change made between the two.
bool read_vcsa(int fd, screen *s)
{
    std::string bytes(VCSA_BYTES_MAX + 1, '\0');
    ssize_t n = pread(fd, bytes.data(), bytes.size(), 0);
    if (n < 0)
        return guest_fail("read /dev/vcsa");
    bytes.resize(static_cast<size_t>(n));
    if (!screen_parse(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(), s))
        return guest_fail("decode /dev/vcsa");
    return true;
}

} // namespace

bool screen_read(int vc, screen *s)
{
    int fd = open_vcsa(vc);
    if (fd < 0)
        return false;
    bool ok = read_vcsa(fd, s);
    close(fd);
    return ok;
}

bool screen_wait(int vc, const std::function<bool(const screen &)> &done, screen *s, int timeout_ms)
{
    long deadline = guest_now_ms() + timeout_ms;
    int fd = open_vcsa(vc);
    if (fd < 0)
        return false;
    bool ok = false;
    // A read clears the change notice; a change after it raises POLLPRI.
    // No notice in time means no change: the screen is not read again.
    while (read_vcsa(fd, s) && !(ok = done(*s))) {
        struct pollfd p = {fd, POLLPRI, 0};
        int n = poll(&p, 1, guest_left_ms(deadline));
        if (n == 0 || (n < 0 && errno != EINTR))
            break;
    }
    close(fd);
    return ok;
}

char screen_char(const screen &s, int x, int y)
{
    if (x < 1 || y < 1 || x > s.cols || y > s.rows)
        return '\0';
    return s.text[static_cast<size_t>(y - 1)][static_cast<size_t>(x - 1)];
}

int screen_attr(const screen &s, int x, int y)
{
    if (x < 1 || y < 1 || x > s.cols || y > s.rows)
        return -1;
    return static_cast<uint8_t>(s.attr[static_cast<size_t>(y - 1)][static_cast<size_t>(x - 1)]);
}

bool attr_inverted(uint8_t attr, uint8_t normal)
{
    return attr != normal && attr == invert_attr(normal);
}

std::vector<cell> screen_inverted(const screen &s, uint8_t normal)
{
    std::vector<cell> cells;
    for (int y = 1; y <= s.rows; y++) {
        for (int x = 1; x <= s.cols; x++) {
            if (attr_inverted(static_cast<uint8_t>(screen_attr(s, x, y)), normal))
                cells.push_back(cell{x, y});
        }
    }
    return cells;
}

std::string screen_inverted_text(const screen &s, uint8_t normal)
{
    std::string text;
    int last_row = 0;
    for (const cell &c : screen_inverted(s, normal)) {
        if (last_row != 0 && c.y != last_row)
            text += '\n';
        text += screen_char(s, c.x, c.y);
        last_row = c.y;
    }
    return text;
}

std::string screen_render(const screen &s, const char *open, const char *close, uint8_t normal)
{
    std::string out;
    for (int y = 1; y <= s.rows; y++) {
        int last = 0; // the last cell worth showing: not blank, or inverted
        for (int x = 1; x <= s.cols; x++) {
            bool inv = attr_inverted(static_cast<uint8_t>(screen_attr(s, x, y)), normal);
            if (inv || screen_char(s, x, y) != ' ')
                last = x;
        }
        bool in_run = false;
        for (int x = 1; x <= last; x++) {
            bool inv = attr_inverted(static_cast<uint8_t>(screen_attr(s, x, y)), normal);
            if (inv != in_run)
                out += inv ? open : close;
            in_run = inv;
            out += screen_char(s, x, y);
        }
        if (in_run)
            out += close;
        out += '\n';
    }
    return out;
}

// ---- the consoles ------------------------------------------------------------------

int console_open(int vc, int flags)
{
    if (!guest_refuse("open a console") || !valid_vc(vc, "open a console"))
        return -1;
    std::string path = tty_path(vc);
    int fd = open(path.c_str(), flags | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        guest_fail(("open " + path).c_str());
    return fd;
}

bool console_write(int vc, const std::string &text)
{
    std::string out;
    for (char c : text) {
        if (c == '\n')
            out += '\r';
        out += c;
    }
    int fd = console_open(vc, O_WRONLY);
    if (fd < 0)
        return false;
    bool ok = write_all(fd, out.data(), out.size());
    int saved = errno;
    close(fd);
    errno = saved;
    return ok || guest_fail("write to a console");
}

bool console_clear(int vc)
{
    return console_write(vc, CLEAR_SCREEN);
}

bool console_switch(int vc, int timeout_ms)
{
    if (vc < 1) {
        errno = EINVAL;
        return guest_fail("switch to console 0");
    }
    int fd = console_open(0, O_RDWR);
    if (fd < 0)
        return false;
    bool ok = ioctl(fd, VT_ACTIVATE, vc) == 0;
    if (!ok)
        guest_fail("VT_ACTIVATE");
    else if (!(ok = wait_active(fd, vc, timeout_ms)))
        guest_fail("VT_WAITACTIVE");
    int saved = errno;
    close(fd);
    errno = saved;
    return ok;
}

int console_active()
{
    struct vt_stat st = {};
    if (tty_ioctl(0, VT_GETSTATE, &st, "VT_GETSTATE") < 0)
        return -1;
    return st.v_active;
}

bool console_resize(int cols, int rows)
{
    struct vt_sizes sz = {};
    sz.v_rows = static_cast<unsigned short>(rows);
    sz.v_cols = static_cast<unsigned short>(cols);
    return tty_ioctl(0, VT_RESIZE, &sz, "VT_RESIZE") == 0;
}

bool console_size(int vc, int *cols, int *rows)
{
    struct winsize ws = {};
    if (tty_ioctl(vc, TIOCGWINSZ, &ws, "TIOCGWINSZ") < 0)
        return false;
    *cols = ws.ws_col;
    *rows = ws.ws_row;
    return true;
}

bool console_set_mode(int vc, int mode)
{
    int fd = console_open(vc, O_RDWR);
    if (fd < 0)
        return false;
    int rc = ioctl(fd, KDSETMODE, mode);
    int saved = errno;
    close(fd);
    errno = saved;
    return rc == 0 || guest_fail("KDSETMODE");
}

int console_mode(int vc)
{
    int mode = -1;
    if (tty_ioctl(vc, KDGETMODE, &mode, "KDGETMODE") < 0)
        return -1;
    return mode;
}

bool console_chown(int vc, uid_t uid, gid_t gid)
{
    if (!guest_refuse("change a console's owner") || !valid_vc(vc, "change a console's owner"))
        return false;
    return chown(tty_path(vc).c_str(), uid, gid) == 0 || guest_fail("chown a console");
}

bool console_hangup(int vc)
{
    if (!guest_refuse("hang up a console") || !valid_vc(vc, "hang up a console"))
        return false;
    pid_t pid = fork();
    if (pid < 0)
        return guest_fail("fork");
    if (pid == 0) {
        // The hang-up signals the session of the tty: this one.
        signal(SIGHUP, SIG_IGN);
        if (setsid() < 0)
            _exit(1);
        int fd = open(tty_path(vc).c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0 || ioctl(fd, TIOCSCTTY, 1) != 0)
            _exit(2);
        _exit(vhangup() == 0 ? 0 : 3);
    }
    int status = 0;
    if (!guest_reap(pid, APP_STOP_MS, &status) || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        errno = EIO;
        return guest_fail(("hang up " + tty_path(vc)).c_str());
    }
    return true;
}

// ---- the kernel's selection ----------------------------------------------------------

bool sel_set(int vc, int xs, int ys, int xe, int ye, int mode)
{
    sel_request req = {};
    req.subcode = TIOCL_SETSEL;
    req.sel.xs = static_cast<unsigned short>(xs);
    req.sel.ys = static_cast<unsigned short>(ys);
    req.sel.xe = static_cast<unsigned short>(xe);
    req.sel.ye = static_cast<unsigned short>(ye);
    req.sel.sel_mode = static_cast<unsigned short>(mode);
    return tty_ioctl(vc, TIOCLINUX, &req, "TIOCL_SETSEL") == 0;
}

bool sel_paste(int vc)
{
    uint8_t subcode = TIOCL_PASTESEL;
    return tty_ioctl(vc, TIOCLINUX, &subcode, "TIOCL_PASTESEL") == 0;
}

// The answer of these two overwrites the subcode byte.
int sel_mouse_reporting(int vc)
{
    uint8_t arg = TIOCL_GETMOUSEREPORTING;
    if (tty_ioctl(vc, TIOCLINUX, &arg, "TIOCL_GETMOUSEREPORTING") < 0)
        return -1;
    return arg;
}

int sel_shift_state(int vc)
{
    uint8_t arg = TIOCL_GETSHIFTSTATE;
    if (tty_ioctl(vc, TIOCLINUX, &arg, "TIOCL_GETSHIFTSTATE") < 0)
        return -1;
    return arg;
}

// ---- a console program -------------------------------------------------------------------

bool app_start(console_app *a, int vc, bool mouse_report, uid_t uid)
{
    if (!guest_refuse("start a console program") || !valid_vc(vc, "start a console program"))
        return false;
    int to[2], from[2];
    if (pipe2(to, O_CLOEXEC) != 0)
        return guest_fail("pipe");
    if (pipe2(from, O_CLOEXEC) != 0) {
        close(to[0]);
        close(to[1]);
        return guest_fail("pipe");
    }
    pid_t pid = fork();
    if (pid < 0) {
        for (int fd : {to[0], to[1], from[0], from[1]})
            close(fd);
        return guest_fail("fork");
    }
    if (pid == 0) {
        close(to[1]);
        close(from[0]);
        app_main(vc, mouse_report, uid, to[0], from[1]);
    }
    close(to[0]);
    close(from[1]);
    *a = console_app{};
    a->pid = pid;
    a->vc = vc;
    a->to_app = to[1];
    a->from_app = from[0];
    (void) fcntl(a->from_app, F_SETFL, O_NONBLOCK);
    bool ready = app_wait_bytes(a, 1, APP_START_MS) && a->got[0] == APP_READY;
    if (!ready) {
        int why = ETIMEDOUT;
        if (!a->got.empty() && a->got[0] == APP_FAILED && app_wait_bytes(a, 2, APP_START_MS))
            why = static_cast<unsigned char>(a->got[1]);
        app_stop(a);
        errno = why;
        return guest_fail(("start a console program on " + tty_path(vc)).c_str());
    }
    a->got.erase(0, 1);
    return true;
}

bool app_wait_bytes(console_app *a, size_t n, int timeout_ms)
{
    long deadline = guest_now_ms() + timeout_ms;
    for (;;) {
        bool open = take_available(a->from_app, &a->got);
        if (a->got.size() >= n)
            return true;
        if (!open || guest_wait_readable(a->from_app, guest_left_ms(deadline)) <= 0)
            return false;
    }
}

bool app_wait_for(console_app *a, const std::string &bytes, int timeout_ms)
{
    long deadline = guest_now_ms() + timeout_ms;
    for (;;) {
        bool open = take_available(a->from_app, &a->got);
        if (a->got.find(bytes) != std::string::npos)
            return true;
        if (!open || guest_wait_readable(a->from_app, guest_left_ms(deadline)) <= 0)
            return false;
    }
}

bool app_stop(console_app *a)
{
    if (a->pid < 0)
        return false;
    if (a->to_app >= 0)
        close(a->to_app);
    a->to_app = -1;
    int status = 0;
    bool ended = guest_reap(a->pid, APP_STOP_MS, &status);
    (void) take_available(a->from_app, &a->got);
    close(a->from_app);
    a->from_app = -1;
    a->pid = -1;
    return ended && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
