// The console operations of moxd, answered from fake_vt. Descriptors are
// real (eventfds), so that the server may close them as it closes ttys.
#include "fake_vt.h"

#include "vt.h"

#include <cerrno>
#include <cstdio>
#include <map>
#include <sys/eventfd.h>
#include <unistd.h>

FakeVt fake_vt;

namespace
{

constexpr int CONTROL = 0; // the descriptor that stands for /dev/tty0
std::map<int, int> console_of_fd;

int new_fd(int vc)
{
    int fd = eventfd(0, EFD_CLOEXEC);
    if (fd >= 0)
        console_of_fd[fd] = vc;
    return fd;
}

// The console an operation on fd reaches: /dev/tty0 means the one shown.
int target(int fd)
{
    auto it = console_of_fd.find(fd);
    if (it == console_of_fd.end())
        return -1;
    return it->second == CONTROL ? fake_vt.active : it->second;
}

int record(int fd, const char *what, int x1, int y1, int x2, int y2, int arg)
{
    int vc = target(fd);
    if (vc < 0) {
        errno = EBADF;
        return -1;
    }
    fake_vt.ops.push_back({what, vc, x1, y1, x2, y2, arg});
    return 0;
}

} // namespace

void fake_vt_reset()
{
    fake_vt = FakeVt();
}

int vt_open_control(void)
{
    return new_fd(CONTROL);
}

int vt_open_console(int n)
{
    if (n < 1 || n > VT_MAX) {
        errno = EINVAL;
        return -1;
    }
    fake_vt.opens++;
    return new_fd(n);
}

int vt_open_shown(int *vc)
{
    if (fake_vt.active < 1) {
        errno = ENXIO;
        return -1;
    }
    fake_vt.opens++;
    *vc = fake_vt.active;
    return new_fd(fake_vt.active);
}

int vt_open_owner_watch(void)
{
    errno = ENOENT;
    return -1;
}

uint64_t vt_read_owner_watch(int)
{
    return 0;
}

// The watch never fires by itself: tests call server_size_noticed.
int vt_open_resize_watch(void)
{
    return eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

int vt_read_resize_watch(int fd)
{
    uint64_t n = 0;
    return read(fd, &n, sizeof n) == static_cast<ssize_t>(sizeof n) ? 1 : 0;
}

int vt_blank_cell(int *x, int *y)
{
    if (fake_vt.blank.first < 1)
        return 0;
    *x = fake_vt.blank.first;
    *y = fake_vt.blank.second;
    return 1;
}

int vt_console_path(int n, char *buf, size_t len)
{
    if (n < 1 || n > VT_MAX)
        return -1;
    return snprintf(buf, len, "/dev/tty%d", n) > 0 ? 0 : -1;
}

int vt_active(int ctl_fd)
{
    return target(ctl_fd) < 0 ? -1 : fake_vt.active;
}

int vt_open_active_watch(void)
{
    errno = ENOENT;
    return -1;
}

int vt_read_active_watch(int)
{
    return fake_vt.active;
}

int vt_size(int fd, int *cols, int *rows)
{
    int vc = target(fd);
    if (vc < 0)
        return -1;
    auto it = fake_vt.size.find(vc);
    *cols = it != fake_vt.size.end() ? it->second.first : 80;
    *rows = it != fake_vt.size.end() ? it->second.second : 25;
    return 0;
}

int vt_is_graphics(int fd)
{
    int vc = target(fd);
    return vc < 0 ? -1 : fake_vt.graphics[vc];
}

int vt_shift_state(int fd)
{
    fake_vt.shift_asks++;
    return target(fd) < 0 ? -1 : fake_vt.shift;
}

int vt_mouse_reporting(int fd)
{
    int vc = target(fd);
    return vc < 0 ? -1 : fake_vt.reporting[vc];
}

int vt_select(int fd, int xs, int ys, int xe, int ye, int unit)
{
    return record(fd, "select", xs, ys, xe, ye, unit);
}

int vt_pointer(int fd, int x, int y)
{
    return record(fd, "pointer", x, y, x, y, 0);
}

int vt_clear(int fd)
{
    return record(fd, "clear", 0, 0, 0, 0, 0);
}

int vt_report(int fd, int code, int x, int y)
{
    return record(fd, "report", x, y, x, y, code);
}

int vt_paste(int fd)
{
    return record(fd, "paste", 0, 0, 0, 0, 0);
}

int vt_owner(int n, uid_t *uid)
{
    if (n < 1 || n > VT_MAX)
        return -1;
    auto it = fake_vt.owner.find(n);
    *uid = it != fake_vt.owner.end() ? it->second : 0; // root's until a login
    return 0;
}

// A report written into the console's input: its code and cell, as
// "report" records them, and the number of bytes in x2.
int vt_inject(int fd, const uint8_t *bytes, size_t n)
{
    if (n < 6)
        return record(fd, "inject", 0, 0, static_cast<int>(n), 0, 0);
    return record(fd, "inject", bytes[4] - 32, bytes[5] - 32, static_cast<int>(n), 0,
                  bytes[3] - 32);
}

int vt_load_words(int fd, const uint32_t table[8])
{
    return record(fd, "words", static_cast<int>(table[1]), static_cast<int>(table[2]), 0, 0, 0);
}
