// The guest itself: how a program knows it runs there, and the line on the
// console through which it asks QEMU's monitor to move the PS/2 mouse.
#include "guest.h"
#include "guest_private.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

constexpr char MARKER_PATH[] = "/run/mox-guest";
constexpr char CMDLINE_WORD[] = "mox.guest=1";
// The console is the guest's serial line, which the runner reads.
constexpr char CONSOLE_PATH[] = "/dev/console";
constexpr size_t MAX_COMMAND = 200;

bool read_small_file(const char *path, std::string *text)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buf[4096];
    ssize_t n = read(fd, buf, sizeof buf);
    close(fd);
    if (n < 0)
        return false;
    text->assign(buf, static_cast<size_t>(n));
    return true;
}

bool has_word(const std::string &line, const char *word)
{
    size_t len = strlen(word);
    for (size_t at = line.find(word); at != std::string::npos; at = line.find(word, at + 1)) {
        bool starts = at == 0 || line[at - 1] == ' ';
        bool ends = at + len == line.size() || line[at + len] == ' ' || line[at + len] == '\n';
        if (starts && ends)
            return true;
    }
    return false;
}

} // namespace

bool guest_fail(const char *what)
{
    int saved = errno;
    fprintf(stderr, "guest: %s: %s\n", what, strerror(saved));
    errno = saved;
    return false;
}

bool guest_refuse(const char *what)
{
    if (guest_inside())
        return true;
    errno = EPERM;
    fprintf(stderr, "guest: %s: refused outside the test guest\n", what);
    return false;
}

bool guest_inside()
{
    std::string marker, cmdline;
    return read_small_file(MARKER_PATH, &marker) && read_small_file("/proc/cmdline", &cmdline) &&
           has_word(cmdline, CMDLINE_WORD);
}

long guest_now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int guest_left_ms(long deadline)
{
    long left = deadline - guest_now_ms();
    return left > 0 ? static_cast<int>(left) : 0;
}

bool guest_monitor(const std::string &command)
{
    if (!guest_refuse("monitor command"))
        return false;
    if (command.empty() || command.size() > MAX_COMMAND ||
        command.find_first_of("\r\n") != std::string::npos) {
        errno = EINVAL;
        return guest_fail("monitor command must be one short line");
    }
    std::string line = "@@MOX MONITOR " + command + "\n";
    int fd = open(CONSOLE_PATH, O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return guest_fail("open /dev/console");
    // One write keeps the line whole among the other writers of the console.
    ssize_t n = write(fd, line.data(), line.size());
    close(fd);
    if (n != static_cast<ssize_t>(line.size()))
        return guest_fail("write the monitor line");
    return true;
}

bool qemu_mouse_move(int dx, int dy, int dz)
{
    char cmd[64];
    if (dz != 0)
        snprintf(cmd, sizeof cmd, "mouse_move %d %d %d", dx, dy, dz);
    else
        snprintf(cmd, sizeof cmd, "mouse_move %d %d", dx, dy);
    return guest_monitor(cmd);
}

bool qemu_mouse_buttons(int mask)
{
    return guest_monitor("mouse_button " + std::to_string(mask));
}

bool qemu_hold_key(const char *key, int hold_ms)
{
    return guest_monitor(std::string("sendkey ") + key + " " + std::to_string(hold_ms));
}

int guest_wait_readable(int fd, int timeout_ms)
{
    struct pollfd p = {fd, POLLIN, 0};
    for (;;) {
        int n = poll(&p, 1, timeout_ms);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        return n > 0 ? 1 : 0;
    }
}

int guest_pidfd(pid_t pid)
{
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

bool guest_reap(pid_t pid, int timeout_ms, int *status)
{
    int pidfd = guest_pidfd(pid);
    bool ended = pidfd >= 0 && guest_wait_readable(pidfd, timeout_ms) > 0;
    if (pidfd >= 0)
        close(pidfd);
    if (!ended)
        kill(pid, SIGKILL);
    *status = 0;
    while (waitpid(pid, status, 0) < 0 && errno == EINTR) {
    }
    return ended;
}
