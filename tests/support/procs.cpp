#include "procs.h"

#include <algorithm>
#include <cstdlib>
#include <dirent.h>
#include <grp.h>
#include <unistd.h>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>

bool become_nobody()
{
    return setgroups(0, nullptr) == 0 && setgid(NOBODY_GID) == 0 && setuid(NOBODY_UID) == 0;
}

void close_inherited(int keep_a, int keep_b)
{
    unsigned first = 3;
    int keep[2] = {std::min(keep_a, keep_b), std::max(keep_a, keep_b)};
    for (int k : keep) {
        if (k < static_cast<int>(first))
            continue;
        if (static_cast<unsigned>(k) > first)
            (void) close_range(first, static_cast<unsigned>(k) - 1, 0);
        first = static_cast<unsigned>(k) + 1;
    }
    (void) close_range(first, ~0U, 0);
}

std::vector<std::string> fd_listing()
{
    std::vector<std::string> out;
    DIR *d = opendir("/proc/self/fd");
    if (d == nullptr)
        return out;
    int own = dirfd(d);
    while (const dirent *e = readdir(d)) {
        if (e->d_name[0] == '.' || atoi(e->d_name) == own)
            continue;
        char target[256] = "";
        std::string path = std::string("/proc/self/fd/") + e->d_name;
        ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
        if (n > 0)
            target[n] = '\0';
        out.push_back(std::string(e->d_name) + " -> " + target);
    }
    closedir(d);
    std::sort(out.begin(), out.end());
    return out;
}

long proc_now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

proc proc_spawn(const std::vector<std::string> &args, bool with_stdin, uid_t uid)
{
    proc p;
    int out[2], in[2] = {-1, -1};
    if (pipe2(out, O_CLOEXEC) != 0 || (with_stdin && pipe2(in, O_CLOEXEC) != 0))
        return p;
    p.pid = fork();
    if (p.pid == 0) {
        dup2(out[1], 1);
        dup2(out[1], 2);
        if (with_stdin)
            dup2(in[0], 0);
        else
            close(0);
        if (uid != 0 && (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0))
            _exit(126);
        std::vector<char *> argv;
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    p.out = out[0];
    if (with_stdin) {
        close(in[0]);
        p.in = in[1];
    }
    return p;
}

bool proc_expect(proc &p, const std::string &needle, size_t *from, int timeout_ms)
{
    size_t start = from != nullptr ? *from : 0;
    long deadline = proc_now_ms() + timeout_ms;
    for (;;) {
        size_t at = p.text.find(needle, start);
        if (at != std::string::npos) {
            if (from != nullptr)
                *from = at + needle.size();
            return true;
        }
        long left = deadline - proc_now_ms();
        if (p.eof || left <= 0)
            return false;
        struct pollfd pfd = {p.out, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(left)) <= 0)
            continue;
        char buf[4096];
        ssize_t n = read(p.out, buf, sizeof buf);
        if (n <= 0)
            p.eof = true;
        else
            p.text.append(buf, static_cast<size_t>(n));
    }
}

int proc_finish(proc &p, int timeout_ms)
{
    if (p.pid <= 0)
        return -1;
    if (p.in >= 0) {
        close(p.in);
        p.in = -1;
    }
    long deadline = proc_now_ms() + timeout_ms;
    while (!p.eof && proc_now_ms() < deadline)
        proc_expect(p, std::string(1, '\0'), nullptr, static_cast<int>(deadline - proc_now_ms()));
    int status = -1;
    if (!p.eof)
        kill(p.pid, SIGKILL);
    if (waitpid(p.pid, &status, 0) != p.pid || !p.eof)
        status = -1;
    close(p.out);
    p.pid = -1;
    return status;
}