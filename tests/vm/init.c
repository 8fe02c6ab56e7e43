/* init.c: the /init of the test guest.
 *
 * Runs as process 1 of a small Linux guest whose whole root file system is
 * the initramfs: it mounts what the programs need, loads the input drivers,
 * starts udev when the guest carries it, runs every program named in
 * /mox/run.list one after the other and powers the machine off. Everything
 * it has to say goes to the console (the serial line) as lines starting with
 * "@@MOX ", which the host reads:
 *
 *   @@MOX MOUSE ready ms=N            /sys/class/input/mouse0 appeared
 *   @@MOX UDEV ready ms=N             udevd runs, every device is settled
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
 * program has ended.
 *
 * Optional files of the initramfs:
 *   /mox/modules.list   kernel modules to load, in order, one a line:
 *                       PATH [TAB PARAMETERS]; without it /psmouse.ko is
 *                       loaded with the bare protocol
 *   /mox/guest          marks the test guest: /run becomes a tmpfs holding
 *                       the marker /run/mox-guest, which test programs look
 *                       for before they touch a console, and udevd is
 *                       started when the guest has it
 *   /mox/env            NAME=VALUE lines added to every program's
 *                       environment */
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

enum {
    MAX_LINE = 4096,
    MAX_ARGS = 64,
    FIXED_ENV = 5,
    MAX_ENV = 32,
    MOUSE_WAIT_MS = 5000,
    /* udevd answers on its control socket within a second even under
     * emulation; the coldplug of the guest's devices takes about two. */
    UDEVD_START_MS = 10000,
    UDEV_STEP_MS = 60000,
};

static const char GUEST_MARKER[] = "/run/mox-guest";
static const char UDEVD_PATH[] = "/lib/systemd/systemd-udevd";
static const char UDEVADM_PATH[] = "/bin/udevadm";

/* The programs' environment: a fixed part and the lines of /mox/env. */
static char *program_env[FIXED_ENV + MAX_ENV + 1] = {"PATH=/bin:/sbin:/usr/bin:/usr/sbin",
                                                     "HOME=/root",
                                                     "TMPDIR=/tmp",
                                                     "GTEST_COLOR=no",
                                                     "TERM=dumb",
                                                     NULL};

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

/* Waits for the first mouse (a PS/2 mouse once psmouse is loaded) and says
 * how long it took. */
static void wait_for_mouse(void)
{
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

static void load_module(const char *path, const char *params)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        say("@@MOX NOTE open %s: %s\n", path, strerror(errno));
        return;
    }
    if (syscall(SYS_finit_module, fd, params, 0) != 0 && errno != EEXIST)
        say("@@MOX NOTE finit_module %s: %s\n", path, strerror(errno));
    close(fd);
}

/* Options given to the kernel command line do not reach a module loaded by
 * hand, so they come with each module here. Without a list, psmouse.ko (it
 * has no dependencies) is loaded with the bare protocol, which skips the
 * probes for extended mice so that the mouse appears at once. */
static void load_drivers(void)
{
    FILE *list = fopen("/mox/modules.list", "re");
    if (!list) {
        struct stat st;
        if (stat("/psmouse.ko", &st) == 0)
            load_module("/psmouse.ko", "proto=bare");
        wait_for_mouse();
        return;
    }
    char line[MAX_LINE];
    while (fgets(line, sizeof line, list)) {
        line[strcspn(line, "\r\n")] = '\0';
        if (line[0] == '\0' || line[0] == '#')
            continue;
        char *tab = strchr(line, '\t');
        const char *params = "";
        if (tab) {
            *tab = '\0';
            params = tab + 1;
        }
        load_module(line, params);
    }
    fclose(list);
    wait_for_mouse();
}

/* Runs argv to its end with its output on the console; its wait status, or
 * -1 when it could not start or ran past limit_ms (then it is killed). */
static int run_to_end(char *const argv[], long limit_ms)
{
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        execve(argv[0], argv, program_env);
        say("@@MOX NOTE exec %s: %s\n", argv[0], strerror(errno));
        _exit(127);
    }
    long start = now_ms();
    int st;
    for (;;) {
        pid_t w = waitpid(pid, &st, WNOHANG);
        if (w == pid)
            return st;
        if (w < 0 && errno != EINTR)
            return -1;
        if (now_ms() - start > limit_ms) {
            kill(pid, SIGKILL);
            waitpid(pid, &st, 0);
            return -1;
        }
        pause_ms(2);
    }
}

/* udevd builds the device database that libinput reads and sends the
 * events of devices added later. It runs in a session of its own (so that
 * the clean-up after each program does not reach it), logging to
 * /run/udevd.log; then every device present is announced again and
 * settled before the first program starts. */
static void start_udev(void)
{
    struct stat st;
    if (stat(UDEVD_PATH, &st) != 0)
        return;
    long start = now_ms();
    pid_t pid = fork();
    if (pid < 0) {
        say("@@MOX NOTE fork for udevd: %s\n", strerror(errno));
        return;
    }
    if (pid == 0) {
        setsid();
        int in = open("/dev/null", O_RDONLY);
        int log = open("/run/udevd.log", O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (in < 0 || log < 0)
            _exit(125);
        dup2(in, 0);
        dup2(log, 1);
        dup2(log, 2);
        char *argv[] = {(char *) UDEVD_PATH, NULL};
        execve(argv[0], argv, program_env);
        _exit(127);
    }
    while (stat("/run/udev/control", &st) != 0) {
        if (now_ms() - start > UDEVD_START_MS) {
            say("@@MOX UDEV missing ms=%ld (see /run/udevd.log)\n", now_ms() - start);
            return;
        }
        pause_ms(5);
    }
    char *subsystems[] = {(char *) UDEVADM_PATH, "trigger", "--action=add", "--type=subsystems",
                          NULL};
    char *devices[] = {(char *) UDEVADM_PATH, "trigger", "--action=add", "--type=devices", NULL};
    char *settle[] = {(char *) UDEVADM_PATH, "settle", "--timeout=60", NULL};
    char *const *steps[] = {subsystems, devices, settle};
    for (size_t i = 0; i < sizeof steps / sizeof steps[0]; i++) {
        int rc = run_to_end(steps[i], UDEV_STEP_MS);
        if (rc == -1 || !WIFEXITED(rc) || WEXITSTATUS(rc) != 0) {
            say("@@MOX UDEV failed step=%s %s ms=%ld\n", steps[i][1], steps[i][2],
                now_ms() - start);
            return;
        }
    }
    say("@@MOX UDEV ready ms=%ld\n", now_ms() - start);
}

/* The test guest: /run is a tmpfs (udev keeps its database there) with the
 * marker that tells test programs they run here and not on a build host. */
static void setup_guest(void)
{
    struct stat st;
    if (stat("/mox/guest", &st) != 0)
        return;
    if (mount("tmpfs", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0)
        say("@@MOX NOTE mount tmpfs on /run: %s\n", strerror(errno));
    int fd = open(GUEST_MARKER, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        say("@@MOX NOTE create %s: %s\n", GUEST_MARKER, strerror(errno));
        return;
    }
    static const char text[] = "mox test guest\n";
    if (write(fd, text, sizeof text - 1) != (ssize_t) (sizeof text - 1))
        say("@@MOX NOTE write %s: %s\n", GUEST_MARKER, strerror(errno));
    close(fd);
}

/* NAME=VALUE lines of /mox/env join the programs' environment. */
static void read_env(void)
{
    FILE *f = fopen("/mox/env", "re");
    if (!f)
        return;
    char line[MAX_LINE];
    int n = FIXED_ENV;
    while (n < FIXED_ENV + MAX_ENV && fgets(line, sizeof line, f)) {
        line[strcspn(line, "\r\n")] = '\0';
        if (strchr(line, '=') == NULL)
            continue;
        char *copy = strdup(line);
        if (copy)
            program_env[n++] = copy;
    }
    program_env[n] = NULL;
    fclose(f);
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
        execve(e->argv[0], e->argv, program_env);
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
    read_env();
    setup_guest();
    load_drivers();
    start_udev();
    run_list("/mox/run.list");
    say("@@MOX DONE\n");
    sync();
    reboot(RB_POWER_OFF);
    /* Process 1 must not end: the kernel would panic. */
    for (;;)
        pause();
}
