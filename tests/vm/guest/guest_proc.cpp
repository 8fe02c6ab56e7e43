// Programs under test in the guest (the server, a client): started with their
// output captured, waited for line by line, signalled and stopped; and pieces
// of a test run as another user.
#include "guest.h"
#include "guest_private.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

// Exit codes of a child that could not become what was asked.
constexpr int CHILD_NO_USER = 126;
constexpr int CHILD_NO_EXEC = 127;
constexpr int MAX_RESULT = 125;
// Once a program has ended, the rest of its output is already in the pipes.
constexpr int DRAIN_MS = 2000;
constexpr int KILL_WAIT_MS = 5000;

bool drop_to(uid_t uid, gid_t gid)
{
    return setgroups(0, nullptr) == 0 && setgid(gid) == 0 && setuid(uid) == 0;
}

// Reads what is there on fd into text; closes fd (sets it to -1) at its end.
void pump(int *fd, std::string *text)
{
    char buf[4096];
    while (*fd >= 0) {
        ssize_t n = read(*fd, buf, sizeof buf);
        if (n > 0) {
            text->append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return;
        close(*fd);
        *fd = -1;
    }
}

// Waits up to timeout_ms for output or the end, and takes what came.
void step(guest_proc *p, int timeout_ms)
{
    struct pollfd fds[3] = {{p->out_fd, POLLIN, 0}, {p->err_fd, POLLIN, 0}, {p->pidfd, POLLIN, 0}};
    if (p->ended)
        fds[2].fd = -1;
    if (fds[0].fd < 0 && fds[1].fd < 0 && fds[2].fd < 0)
        return;
    if (poll(fds, 3, timeout_ms) < 0 && errno != EINTR)
        return;
    pump(&p->out_fd, &p->out);
    pump(&p->err_fd, &p->err);
    if (!p->ended && (fds[2].revents & POLLIN)) {
        int status;
        if (waitpid(p->pid, &status, WNOHANG) == p->pid) {
            p->ended = true;
            p->status = status;
        }
    }
}

bool find_line(guest_proc *p, const std::string &text, proc_stream stream, std::string *line)
{
    const std::string &buf = stream == PROC_ERR ? p->err : p->out;
    size_t &seen = stream == PROC_ERR ? p->err_seen : p->out_seen;
    size_t start = seen;
    for (size_t end; (end = buf.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string one = buf.substr(start, end - start);
        if (one.find(text) != std::string::npos) {
            seen = end + 1;
            if (line != nullptr)
                *line = one;
            return true;
        }
    }
    return false;
}

} // namespace

bool proc_start(guest_proc *p, const std::vector<std::string> &argv, uid_t uid, bool no_stdio)
{
    if (!guest_refuse("start a program"))
        return false;
    if (argv.empty()) {
        errno = EINVAL;
        return guest_fail("start a program without a name");
    }
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return guest_fail("pipe");
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return guest_fail("pipe");
    }
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        for (int fd : {out[0], out[1], err[0], err[1]})
            close(fd);
        return guest_fail("fork");
    }
    if (pid == 0) {
        // A group of its own: a signal meant for the test does not reach it.
        setpgid(0, 0);
        if (no_stdio) {
            // The pipes close on exec: the caller sees both streams end.
            for (int fd = 0; fd < 3; fd++)
                close(fd);
        } else {
            int null = open("/dev/null", O_RDONLY);
            if (null < 0 || dup2(null, 0) < 0 || dup2(out[1], 1) < 0 || dup2(err[1], 2) < 0)
                _exit(CHILD_NO_EXEC);
        }
        if (uid != 0 && !drop_to(uid, uid))
            _exit(CHILD_NO_USER);
        execv(args[0], args.data());
        dprintf(2, "exec %s: %s\n", args[0], strerror(errno));
        _exit(CHILD_NO_EXEC);
    }
    close(out[1]);
    close(err[1]);
    *p = guest_proc{};
    p->pid = pid;
    p->pidfd = guest_pidfd(pid);
    p->out_fd = out[0];
    p->err_fd = err[0];
    (void) fcntl(p->out_fd, F_SETFL, O_NONBLOCK);
    (void) fcntl(p->err_fd, F_SETFL, O_NONBLOCK);
    if (p->pidfd < 0) {
        guest_fail("pidfd_open");
        kill(pid, SIGKILL);
        proc_wait_exit(p, KILL_WAIT_MS);
        return false;
    }
    return true;
}

bool proc_wait_line(guest_proc *p, const std::string &text, int timeout_ms, proc_stream stream,
                    std::string *line)
{
    long deadline = guest_now_ms() + timeout_ms;
    for (;;) {
        pump(&p->out_fd, &p->out);
        pump(&p->err_fd, &p->err);
        if (find_line(p, text, stream, line))
            return true;
        int fd = stream == PROC_ERR ? p->err_fd : p->out_fd;
        if (fd < 0 || guest_left_ms(deadline) == 0)
            return false;
        step(p, guest_left_ms(deadline));
    }
}

void proc_collect(guest_proc *p, int timeout_ms)
{
    long deadline = guest_now_ms() + timeout_ms;
    do
        step(p, guest_left_ms(deadline));
    while ((p->out_fd >= 0 || p->err_fd >= 0) && guest_left_ms(deadline) > 0);
}

bool proc_signal(guest_proc *p, int sig)
{
    if (p->pid <= 0 || p->ended) {
        errno = ESRCH;
        return guest_fail("signal a program that has ended");
    }
    // Through the pidfd: never a recycled pid.
    if (syscall(SYS_pidfd_send_signal, p->pidfd, sig, nullptr, 0) != 0)
        return guest_fail("pidfd_send_signal");
    return true;
}

bool proc_wait_exit(guest_proc *p, int timeout_ms)
{
    long deadline = guest_now_ms() + timeout_ms;
    while (!p->ended) {
        if (p->pidfd < 0) {
            int status;
            if (waitpid(p->pid, &status, 0) == p->pid) {
                p->ended = true;
                p->status = status;
            }
            break;
        }
        if (guest_left_ms(deadline) == 0)
            return false;
        step(p, guest_left_ms(deadline));
    }
    long drain = guest_now_ms() + DRAIN_MS;
    while ((p->out_fd >= 0 || p->err_fd >= 0) && guest_left_ms(drain) > 0)
        step(p, guest_left_ms(drain));
    for (int *fd : {&p->out_fd, &p->err_fd, &p->pidfd}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
    return p->ended;
}

int proc_stop(guest_proc *p, int timeout_ms)
{
    if (p->pid <= 0)
        return -1;
    if (!p->ended && proc_signal(p, SIGTERM) && proc_wait_exit(p, timeout_ms))
        return p->status;
    if (!p->ended) {
        kill(p->pid, SIGKILL);
        proc_wait_exit(p, KILL_WAIT_MS);
    }
    proc_wait_exit(p, 0);
    return p->status;
}

bool run_as_start(guest_child *c, uid_t uid, gid_t gid, const std::function<int(int chan)> &fn)
{
    *c = guest_child{};
    if (!guest_refuse("run as another user"))
        return false;
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return guest_fail("socketpair");
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        close(pair[0]);
        close(pair[1]);
        return guest_fail("fork");
    }
    if (pid == 0) {
        close(pair[0]);
        if (!drop_to(uid, gid))
            _exit(CHILD_NO_USER);
        int r = fn(pair[1]);
        fflush(nullptr);
        _exit(r < 0 || r > MAX_RESULT ? MAX_RESULT : r);
    }
    close(pair[1]);
    c->pid = pid;
    c->chan = pair[0];
    return true;
}

// The child writes each note in one piece: it arrives whole.
bool run_as_read(guest_child *c, void *buf, size_t n, int timeout_ms)
{
    return c->chan >= 0 && guest_wait_readable(c->chan, timeout_ms) > 0 &&
           read(c->chan, buf, n) == static_cast<ssize_t>(n);
}

int run_as_wait(guest_child *c, int timeout_ms)
{
    if (c->pid <= 0)
        return -1;
    if (c->chan >= 0)
        close(c->chan);
    int status = 0;
    bool ended = guest_reap(c->pid, timeout_ms, &status);
    *c = guest_child{};
    if (!ended || !WIFEXITED(status) || WEXITSTATUS(status) == CHILD_NO_USER)
        return -1;
    return WEXITSTATUS(status);
}

int run_as(uid_t uid, gid_t gid, const std::function<int()> &fn, int timeout_ms)
{
    guest_child c;
    if (!run_as_start(&c, uid, gid, [&](int) { return fn(); }))
        return -1;
    return run_as_wait(&c, timeout_ms);
}
