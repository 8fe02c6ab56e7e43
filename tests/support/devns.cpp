#include "devns.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

bool fail(std::string *why, const char *what)
{
    if (why != nullptr)
        *why = std::string(what) + ": " + strerror(errno);
    return false;
}

bool write_file(const char *path, const char *text)
{
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    ssize_t len = static_cast<ssize_t>(strlen(text));
    bool ok = write(fd, text, static_cast<size_t>(len)) == len;
    close(fd);
    return ok;
}

bool g_root_outside = false;

// Without root, an unprivileged user namespace maps our uid to 0 inside and
// gives the mount capabilities over the new mount namespace.
bool enter_namespaces(std::string *why)
{
    uid_t uid = geteuid();
    gid_t gid = getegid();
    if (uid == 0 && unshare(CLONE_NEWNS) == 0) {
        g_root_outside = true;
        return true;
    }
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
        return fail(why, "no private mount namespace (unshare)");
    char map[64];
    (void) write_file("/proc/self/setgroups", "deny");
    snprintf(map, sizeof map, "0 %u 1", static_cast<unsigned>(uid));
    if (!write_file("/proc/self/uid_map", map))
        return fail(why, "cannot map uid in user namespace");
    snprintf(map, sizeof map, "0 %u 1", static_cast<unsigned>(gid));
    if (!write_file("/proc/self/gid_map", map))
        return fail(why, "cannot map gid in user namespace");
    return true;
}

} // namespace

bool devns_real_root()
{
    return g_root_outside;
}

bool devns_enter(std::string *why)
{
    if (getenv("MOX_TEST_NO_DEVNS") != nullptr) {
        if (why != nullptr)
            *why = "MOX_TEST_NO_DEVNS is set";
        return false;
    }
    if (!enter_namespaces(why))
        return false;
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return fail(why, "cannot make mounts private");

    // Keep handles on the device nodes worth carrying over; the tmpfs will
    // hide the originals.
    static const char *const keep[] = {"null", "zero", "urandom"};
    int kept[3];
    for (int i = 0; i < 3; i++) {
        std::string path = std::string("/dev/") + keep[i];
        kept[i] = open(path.c_str(), O_PATH | O_CLOEXEC);
    }
    if (mount("tmpfs", "/dev", "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=0755,size=1m") != 0)
        return fail(why, "cannot mount tmpfs over /dev");
    for (int i = 0; i < 3; i++) {
        if (kept[i] < 0)
            continue;
        if (!devns_bind_fd(kept[i], keep[i], why))
            return false;
        close(kept[i]);
    }
    if (mkdir("/dev/pts", 0755) != 0)
        return fail(why, "mkdir /dev/pts");
    if (mount("devpts", "/dev/pts", "devpts", MS_NOSUID | MS_NOEXEC,
              "newinstance,ptmxmode=0666,mode=0620") != 0)
        return fail(why, "cannot mount a private devpts");
    if (symlink("pts/ptmx", "/dev/ptmx") != 0)
        return fail(why, "symlink /dev/ptmx");
    return true;
}

bool devns_bind_fd(int fd, const char *name, std::string *why)
{
    std::string target = std::string("/dev/") + name;
    int made = open(target.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
    if (made < 0)
        return fail(why, "cannot create the mount point in /dev");
    close(made);
    char source[64];
    snprintf(source, sizeof source, "/proc/self/fd/%d", fd);
    if (mount(source, target.c_str(), nullptr, MS_BIND, nullptr) != 0)
        return fail(why, "cannot bind a file into /dev");
    return true;
}

int devns_exit_status(int run_result, bool ns_ok, const std::string &why)
{
    if (run_result != 0 || ns_ok)
        return run_result;
    fprintf(stderr, "skipped: no private /dev: %s\n", why.c_str());
    return DEVNS_SKIP_EXIT;
}
