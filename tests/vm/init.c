/* init.c: the /init of the test guest.
 *
 * Runs as process 1 of a small Linux guest whose whole root file system is
 * the initramfs: it mounts what the programs need, loads the PS/2 mouse
 * driver, runs every program named in /mox/run.list one after the other and
 * powers the machine off. Everything it has to say goes to the console (the
 * serial line) as lines starting with "@@MOX ", which the host reads:
 *
 *   @@MOX MOUSE ready ms=N            /sys/class/input/mouse0 appeared
 *   @@MOX BEGIN NAME                  NAME is being started
 *   @@MOX OPENED NAME PATH            NAME has PATH open (watch= entries)
 *   @@MOX OUT NAME / @@MOX ERR NAME   its standard output / error follow,
 *   @@MOX HEX-OUT NAME HEX...         and the same bytes in hexadecimal
 *   @@MOX STATUS NAME exit=N ms=M     how it ended (or signal=N, timeout)
 *   @@MOX DONE                        the list is finished
 *
 * /mox/run.list has one program per line, fields separated by tabs:
 *   NAME  TIMEOUT-SECONDS  FLAGS  PATH  [ARG...]
 * FLAGS is "-" or a comma-separated list of: watch=PATH (announce when the
 * program has PATH open), split (standard error kept apart from standard
 * output), hex (also print the output in hexadecimal). Standard output and
 * error go to files in /tmp, never to a terminal, and are printed once the
 * program has ended. */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

enum { MAX_LINE = 4096, MAX_ARGS = 64, MOUSE_WAIT_MS = 5000 };

static void say(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

static void say(const char *fmt, ...)
{
    char buf[MAX_LINE];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n < 0)
        return;
    if ((size_t) n >= sizeof buf)
        n = sizeof buf - 1;
    const char *p = buf;
    while (n > 0) {
        ssize_t w = write(1, p, (size_t) n);
        if (w <= 0) {
            if (w < 0 && errno == EINTR)
                continue;
            return;
        }
        p += w;
        n -= (int) w;
    }
}

static long now_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

static void pause_ms(long ms)
{
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

static void mount_one(const char *src, const char *dir, const char *type, const char *data)
{
    mkdir(dir, 0755);
    if (mount(src, dir, type, MS_NOSUID, data) != 0)
        say("@@MOX NOTE mount %s on %s: %s\n", type, dir, strerror(errno));
}

/* The kernel gives process 1 the console only when the initramfs holds
 * /dev/console; open it from devtmpfs so that that is not needed. */
static void setup_mounts(void)
{
    mkdir("/dev", 0755);
    mount("devtmpfs", "/dev", "devtmpfs", 0, NULL);
    int fd = open("/dev/console", O_RDWR | O_NOCTTY);
    if (fd >= 0) {
        dup2(fd, 0);
        dup2(fd, 1);
        dup2(fd, 2);
        if (fd > 2)
            close(fd);
    }
    mount_one("proc", "/proc", "proc", NULL);
    mount_one("sysfs", "/sys", "sysfs", NULL);
    mount_one("devpts", "/dev/pts", "devpts", "gid=5,mode=620,ptmxmode=666");
    mount_one("tmpfs", "/dev/shm", "tmpfs", "mode=1777");
    /* The initramfs root is itself writable memory: /tmp and /run are plain
     * folders in it. A tmpfs over them would hide the programs, which sit
     * at the absolute paths of the build folder, wherever that is (under
     * /tmp, for one). */
    mkdir("/tmp", 01777);
    chmod("/tmp", 01777);
    mkdir("/run", 0755);
}

/* psmouse.ko has no dependencies. Options given to the kernel command line
 * do not reach a module loaded by hand, so they are passed here: the bare
 * protocol skips the probes for extended mice and the mouse appears at
 * once. */
static void load_mouse_driver(void)
{
    int fd = open("/psmouse.ko", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        if (syscall(SYS_finit_module, fd, "proto=bare", 0) != 0)
            say("@@MOX NOTE finit_module psmouse.ko: %s\n", strerror(errno));
        close(fd);
    }
    long start = now_ms();
    struct stat st;
    while (stat("/sys/class/input/mouse0", &st) != 0) {
        if (now_ms() - start > MOUSE_WAIT_MS) {
            say("@@MOX MOUSE missing ms=%ld\n", now_ms() - start);
            return;
        }
        pause_ms(5);
    }
    say("@@MOX MOUSE ready ms=%ld\n", now_ms() - start);
}

struct entry {
    char *name;
    long timeout_s;
    const char *watch;
    int split;
    int hex;
    char *argv[MAX_ARGS + 1];
};

/* Splits one list line in place; 0 when it is malformed. */
static int parse_entry(char *line, struct entry *e)
{
    char *field[MAX_ARGS + 4];
    int n = 0;
    char *save = NULL;
    for (char *f = strtok_r(line, "\t", &save); f && n < MAX_ARGS + 4;
         f = strtok_r(NULL, "\t", &save))
        field[n++] = f;
    if (n < 4)
        return 0;
    memset(e, 0, sizeof *e);
    e->name = field[0];
    e->timeout_s = strtol(field[1], NULL, 10);
    if (e->timeout_s <= 0)
        e->timeout_s = 60;
    if (strcmp(field[2], "-") != 0) {
        char *fsave = NULL;
        for (char *f = strtok_r(field[2], ",", &fsave); f; f = strtok_r(NULL, ",", &fsave)) {
            if (strncmp(f, "watch=", 6) == 0)
                e->watch = f + 6;
            else if (strcmp(f, "split") == 0)
                e->split = 1;
            else if (strcmp(f, "hex") == 0)
                e->hex = 1;
        }
    }
    int a = 0;
    for (int i = 3; i < n && a < MAX_ARGS; i++)
        e->argv[a++] = field[i];
    e->argv[a] = NULL;
    return 1;
}

/* True when process pid has path open on one of its descriptors. */
static int has_open(pid_t pid, const char *path)
{
    char dir[64];
    snprintf(dir, sizeof dir, "/proc/%d/fd", (int) pid);
    DIR *d = opendir(dir);
    if (!d)
        return 0;
    int found = 0;
    struct dirent *de;
    while (!found && (de = readdir(d)) != NULL) {
        char target[256];
        if (de->d_name[0] == '.')
            continue;
        ssize_t n = readlinkat(dirfd(d), de->d_name, target, sizeof target - 1);
        if (n > 0) {
            target[n] = '\0';
            found = strcmp(target, path) == 0;
        }
    }
    closedir(d);
    return found;
}

static void print_file(const char *label, const char *name, const char *path, int hex)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    say("@@MOX %s %s\n", label, name);
    if (fd < 0)
        return;
    char buf[4096];
    ssize_t n;
    char last = '\n';
    while ((n = read(fd, buf, sizeof buf)) > 0) {
        ssize_t off = 0;
        while (off < n) {
            ssize_t w = write(1, buf + off, (size_t) (n - off));
            if (w <= 0)
                break;
            off += w;
        }
        last = buf[n - 1];
    }
    if (last != '\n')
        say("\n@@MOX NOTE %s of %s has no final newline\n", label, name);
    if (hex) {
        lseek(fd, 0, SEEK_SET);
        say("@@MOX HEX-%s %s ", label, name);
        static const char digits[] = "0123456789abcdef";
        char hexbuf[2 * sizeof buf];
        while ((n = read(fd, buf, sizeof buf)) > 0) {
            for (ssize_t i = 0; i < n; i++) {
                hexbuf[2 * i] = digits[(unsigned char) buf[i] >> 4];
                hexbuf[2 * i + 1] = digits[(unsigned char) buf[i] & 15];
            }
            ssize_t w = write(1, hexbuf, (size_t) (2 * n));
            (void) w;
        }
        say("\n");
    }
    close(fd);
}

static void run_entry(struct entry *e, int index)
{
    char out_path[64], err_path[64];
    snprintf(out_path, sizeof out_path, "/tmp/.mox-out-%d", index);
    snprintf(err_path, sizeof err_path, "/tmp/.mox-err-%d", index);

    say("@@MOX BEGIN %s\n", e->name);
    long start = now_ms();
    pid_t pid = fork();
    if (pid < 0) {
        say("@@MOX STATUS %s fork-failed ms=0\n", e->name);
        return;
    }
    if (pid == 0) {
        setpgid(0, 0);
        int in = open("/dev/null", O_RDONLY);
        int out = open(out_path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
        int err = e->split ? open(err_path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644) : out;
        if (in < 0 || out < 0 || err < 0)
            _exit(125);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        if (chdir("/tmp") != 0)
            _exit(125);
        char *envp[] = {"PATH=/bin:/sbin:/usr/bin:/usr/sbin",
                        "HOME=/root",
                        "TMPDIR=/tmp",
                        "GTEST_COLOR=no",
                        "TERM=dumb",
                        NULL};
        execve(e->argv[0], e->argv, envp);
        dprintf(2, "exec %s: %s\n", e->argv[0], strerror(errno));
        _exit(127);
    }
    setpgid(pid, pid);

    int watched = e->watch == NULL;
    int status = 0;
    int ended = 0, timed_out = 0;
    while (!ended) {
        pid_t w;
        int st;
        /* Process 1 also reaps whatever the program left behind. */
        while ((w = waitpid(-1, &st, WNOHANG)) > 0) {
            if (w == pid) {
                status = st;
                ended = 1;
            }
        }
        if (ended)
            break;
        if (!watched && has_open(pid, e->watch)) {
            watched = 1;
            say("@@MOX OPENED %s %s\n", e->name, e->watch);
        }
        if (now_ms() - start > e->timeout_s * 1000L) {
            timed_out = 1;
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        pause_ms(watched ? 20 : 1);
    }
    long ms = now_ms() - start;
    kill(-pid, SIGKILL); /* helpers left in its process group */

    print_file("OUT", e->name, out_path, e->hex);
    if (e->split)
        print_file("ERR", e->name, err_path, e->hex);
    if (timed_out)
        say("@@MOX STATUS %s timeout ms=%ld\n", e->name, ms);
    else if (WIFEXITED(status))
        say("@@MOX STATUS %s exit=%d ms=%ld\n", e->name, WEXITSTATUS(status), ms);
    else
        say("@@MOX STATUS %s signal=%d ms=%ld\n", e->name, WTERMSIG(status), ms);
    unlink(out_path);
    unlink(err_path);
}

static void run_list(const char *path)
{
    FILE *f = fopen(path, "re");
    if (!f) {
        say("@@MOX NOTE no %s: %s\n", path, strerror(errno));
        return;
    }
    char line[MAX_LINE];
    int index = 0;
    while (fgets(line, sizeof line, f)) {
        line[strcspn(line, "\r\n")] = '\0';
        if (line[0] == '\0' || line[0] == '#')
            continue;
        struct entry e;
        if (!parse_entry(line, &e)) {
            say("@@MOX NOTE malformed line in %s\n", path);
            continue;
        }
        run_entry(&e, index++);
    }
    fclose(f);
}

int main(void)
{
    setup_mounts();
    say("@@MOX INIT word=%u\n", (unsigned) (8 * sizeof(long)));
    load_mouse_driver();
    run_list("/mox/run.list");
    say("@@MOX DONE\n");
    sync();
    reboot(RB_POWER_OFF);
    /* Process 1 must not end: the kernel would panic. */
    for (;;)
        pause();
}
