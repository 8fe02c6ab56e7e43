/* main.cpp: moxd, the console mouse server.
 *
 * One thread, one epoll loop, a small handler per source: the input devices
 * (libinput's descriptor), the control socket and each admitted client, the
 * sysfs file that announces console switches, the watch of the ttys'
 * owners, the resize watch (an eventfd written by a thread that waits for
 * the kernel's resize events) and the signals (a signalfd): SIGTERM and
 * SIGINT stop it, SIGHUP reads the settings file again. Nothing wakes the
 * server while no input arrives. */
#include "argsift.h"
#include "budget.h"
#include "client.h"
#include "clicks.h"
#include "conf.h"
#include "host.h"
#include "input.h"
#include "mox.h"
#include "moxInt.h"
#include "server.h"
#include "settings.h"
#include "vt.h"
#include "words.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <getopt.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

namespace
{

constexpr const char SRC_FILE[] = "main.cpp";
constexpr const char DEFAULT_SEAT[] = "seat0";
constexpr int MAX_DEVICES = CONF_MAX_DEVICES;
constexpr int EPOLL_BATCH = 32;

enum source_tag : uint32_t {
    TAG_SIGNAL = 1,
    TAG_INPUT,
    TAG_WATCH,
    TAG_OWNERS,
    TAG_LISTEN,
    TAG_CLIENT,
    TAG_RESUME, /* clients that used up their budget may be read again */
    TAG_RESIZE  /* a console changed size */
};

/* What the loop keeps of each client, by its descriptor. */
struct client_slot {
    record_budget budget;
    int paused; /* not read until budget_resume_ms */
};

struct command_line {
    moxd_conf given;    /* what it sets, by the settings file's names */
    const char *config; /* --config, or null for the default file */
};

struct daemon_state {
    int ep;
    int sig_fd;
    int listen_fd;
    int watch_fd;
    int owner_fd;
    int ctl_fd;
    int resume_fd;      /* timerfd, armed only while a client is paused */
    client_slot *slots; /* indexed by descriptor */
    int n_slots;
    input_source in;
    server srv;
    int stop;
    const command_line *cl;
    moxd_conf started; /* the settings at start: seat and devices stay */
    char *start_text;  /* the settings file read at start, which they point into */
    int words_loaded;  /* the word table was loaded: put the kernel's back */
};

daemon_state *running = nullptr; /* for the fatal-report hook */

void usage(FILE *out)
{
    (void) fprintf(
        out,
        "usage: moxd [options]\n"
        "The console mouse server: a pointer, selection and paste on the Linux text\n"
        "console, mouse events for programs through %s.\n"
        "\n"
        "  -d, --device PATH     use exactly this event device (repeatable); without it\n"
        "                        every pointing device of the seat, hot-plugged\n"
        "  -s, --seat NAME       udev seat to take devices from (%s)\n"
        "  -o, --options TEXT    device settings, comma-separated: speed=-1..1,\n"
        "                        accel=flat|adaptive, tap, natural-scroll, left-handed,\n"
        "                        middle-emulation, scroll=two-finger|edge|button|none,\n"
        "                        cell-width=N, cell-height=N (device units per cell)\n"
        "  -c, --click-time MS   presses closer than this make double and triple\n"
        "                        clicks (%u)\n"
        "  -l, --log-level LEVEL detail, trace, warning, refusal or fatal (warning)\n"
        "  -w, --word-chars TEXT characters a double click takes as part of a word,\n"
        "                        besides letters and digits (%s)\n"
        "      --wheel-reports on|off  the wheel to programs in mouse mode (on)\n"
        "  -f, --config PATH     the settings file (%s); the options above override it\n"
        "  -h, --help            this text\n"
        "  -V, --version         the version\n",
        CONTROL_SOCKET_PATH, DEFAULT_SEAT, CLICK_WINDOW_DEFAULT_MS, WORD_CHARS_DEFAULT,
        CONF_DEFAULT_PATH);
}

/* What the command line asks for. */
enum cl_outcome : int { CL_RUN, CL_DONE, CL_BAD };

/* A setting the command line gives, checked as the settings file's are.
 * The click time's complaint names the option as it is written there. */
bool given_setting(command_line *cl, int letter, const char *value)
{
    static const struct {
        int letter;
        const char *name;
        const char *prefix;
    } names[] = {{'c', "click-time", "--"},
                 {'l', "log-level", ""},
                 {'w', "word-chars", ""},
                 {'W', "wheel-reports", ""}};
    for (const auto &n : names) {
        if (n.letter != letter)
            continue;
        char why[160];
        if (conf_set(&cl->given, n.name, value, why, sizeof why) == 0)
            return true;
        (void) fprintf(stderr, "moxd: %s%s\n", n.prefix, why);
        return false;
    }
    return false;
}

cl_outcome read_command_line(int argc, char **argv, command_line *cl)
{
    static const struct option longopts[] = {
        {"device", required_argument, nullptr, 'd'},
        {"seat", required_argument, nullptr, 's'},
        {"options", required_argument, nullptr, 'o'},
        {"click-time", required_argument, nullptr, 'c'},
        {"log-level", required_argument, nullptr, 'l'},
        {"word-chars", required_argument, nullptr, 'w'},
        {"wheel-reports", required_argument, nullptr, 'W'},
        {"config", required_argument, nullptr, 'f'},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    memset(cl, 0, sizeof *cl);
    conf_init(&cl->given);
    int c;
    while ((c = getopt_long(argc, argv, "d:s:o:c:l:w:f:hV", longopts, nullptr)) != -1) {
        switch (c) {
        case 'd':
            if (cl->given.n_devices == MAX_DEVICES) {
                (void) fprintf(stderr, "moxd: at most %d devices\n", MAX_DEVICES);
                return CL_BAD;
            }
            cl->given.devices[cl->given.n_devices++] = optarg;
            break;
        case 's':
            cl->given.seat = optarg;
            break;
        case 'o':
            cl->given.options = optarg;
            break;
        case 'c':
        case 'l':
        case 'w':
        case 'W':
            if (!given_setting(cl, c, optarg))
                return CL_BAD;
            break;
        case 'f':
            cl->config = optarg;
            break;
        case 'h':
            usage(stdout);
            return CL_DONE;
        case 'V':
            (void) printf("moxd %s\n", MOXD_VERSION);
            return CL_DONE;
        default:
            usage(stderr);
            return CL_BAD;
        }
    }
    if (optind < argc) {
        (void) fprintf(stderr, "moxd: unexpected argument \"%s\"\n", argv[optind]);
        return CL_BAD;
    }
    return CL_RUN;
}

/* True when a server answers on the control socket already. */
bool another_server(void)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, CONTROL_SOCKET_PATH, sizeof CONTROL_SOCKET_PATH);
    bool answered = connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0;
    (void) close(fd);
    return answered;
}

int watch(daemon_state *d, int fd, source_tag tag, uint32_t events)
{
    epoll_event ev;
    memset(&ev, 0, sizeof ev);
    ev.events = events;
    ev.data.u64 = (static_cast<uint64_t>(tag) << 32) | static_cast<uint32_t>(fd);
    return epoll_ctl(d->ep, EPOLL_CTL_ADD, fd, &ev);
}

uint64_t now_ms(void)
{
    timespec ts;
    (void) clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

/* The slot of descriptor fd, the table grown to hold it; null without
 * memory (the client is then served without a budget). */
client_slot *slot_of(daemon_state *d, int fd)
{
    if (fd < 0)
        return nullptr;
    if (fd >= d->n_slots) {
        int n = d->n_slots > 0 ? d->n_slots : 64;
        while (n <= fd)
            n *= 2;
        auto *grown = static_cast<client_slot *>(realloc(d->slots, sizeof(client_slot) * n));
        if (grown == nullptr)
            return nullptr;
        memset(grown + d->n_slots, 0, sizeof(client_slot) * (n - d->n_slots));
        d->slots = grown;
        d->n_slots = n;
    }
    return &d->slots[fd];
}

/* Arms the resume timer for the earliest paused client, or disarms it. */
void arm_resume(daemon_state *d)
{
    uint64_t first = 0;
    for (int fd = 0; fd < d->n_slots; fd++) {
        uint64_t at = budget_resume_ms(&d->slots[fd].budget);
        if (d->slots[fd].paused && (first == 0 || at < first))
            first = at;
    }
    itimerspec when;
    memset(&when, 0, sizeof when);
    if (first != 0) {
        when.it_value.tv_sec = static_cast<time_t>(first / 1000);
        when.it_value.tv_nsec = static_cast<long>(first % 1000) * 1000000L;
    }
    (void) timerfd_settime(d->resume_fd, TFD_TIMER_ABSTIME, &when, nullptr);
}

void input_record(void *user, const input_event *ev)
{
    server_input(static_cast<server *>(user), ev);
}

/* Everything the devices have sent, handled as one round. */
void read_input(daemon_state *d)
{
    input_dispatch(&d->in, input_record, &d->srv);
    server_input_done(&d->srv);
}

/* The server closed a client by itself: its slot is free again. */
void client_closed(void *ctx, int fd)
{
    auto *d = static_cast<daemon_state *>(ctx);
    if (fd >= 0 && fd < d->n_slots)
        memset(&d->slots[fd], 0, sizeof d->slots[fd]);
}

void accept_client(daemon_state *d)
{
    client_info *ci = accept_client_connection(d->listen_fd);
    if (ci == nullptr)
        return;
    server_client_accepted(&d->srv, ci->fd);
    client_slot *slot = slot_of(d, ci->fd);
    if (slot != nullptr)
        memset(slot, 0, sizeof *slot);
    if (watch(d, ci->fd, TAG_CLIENT, EPOLLIN) != 0) {
        mox_report(__LINE__, SRC_FILE, MOX_SEV_WARN, "cannot watch the client at fd %d: %s", ci->fd,
                   strerror(errno));
        int fd = ci->fd;
        for (int vc = 0; vc <= LAST_VC; vc++)
            remove_client(ci, vc);
        (void) close(fd);
    }
}

void reload(daemon_state *d);

void handle(daemon_state *d, const epoll_event *ev)
{
    auto tag = static_cast<source_tag>(ev->data.u64 >> 32);
    int fd = static_cast<int>(ev->data.u64 & 0xFFFFFFFFu);
    switch (tag) {
    case TAG_SIGNAL: {
        signalfd_siginfo si;
        if (read(fd, &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
            if (si.ssi_signo == SIGHUP) {
                reload(d);
                break;
            }
            mox_report(__LINE__, SRC_FILE, MOX_SEV_TRACE, "signal %u: stopping", si.ssi_signo);
            d->stop = 1;
        }
        break;
    }
    case TAG_INPUT:
        read_input(d);
        break;
    case TAG_RESIZE:
        if (vt_read_resize_watch(fd) < 0) {
            mox_report(__LINE__, SRC_FILE, MOX_SEV_TRACE,
                       "the resize watch stopped; asking the size at each event");
            (void) epoll_ctl(d->ep, EPOLL_CTL_DEL, fd, nullptr);
            (void) close(fd);
            d->srv.resize_fd = -1;
        }
        server_size_noticed(&d->srv);
        break;
    case TAG_WATCH:
        server_console_changed(&d->srv);
        break;
    case TAG_OWNERS:
        server_owners_changed(&d->srv, vt_read_owner_watch(fd));
        break;
    case TAG_LISTEN:
        accept_client(d);
        break;
    case TAG_CLIENT: {
        client_slot *slot = slot_of(d, fd);
        int within = slot != nullptr ? budget_take(&slot->budget, now_ms()) : 1;
        if (server_client_ready(&d->srv, fd) == 0) {
            (void) epoll_ctl(d->ep, EPOLL_CTL_DEL, fd, nullptr);
        } else if (!within) {
            /* the rest waits in the client's socket until its next second */
            (void) epoll_ctl(d->ep, EPOLL_CTL_DEL, fd, nullptr);
            slot->paused = 1;
            mox_report(__LINE__, SRC_FILE, MOX_SEV_TRACE,
                       "client at fd %d sent %u records in a second: paused", fd,
                       RECORDS_PER_SECOND);
            arm_resume(d);
        }
        break;
    }
    case TAG_RESUME: {
        uint64_t expirations;
        (void) read(fd, &expirations, sizeof expirations);
        uint64_t now = now_ms();
        for (int c = 0; c < d->n_slots; c++) {
            client_slot *slot = &d->slots[c];
            if (!slot->paused || budget_resume_ms(&slot->budget) > now)
                continue;
            slot->paused = 0;
            slot->budget.used = 0;
            if (watch(d, c, TAG_CLIENT, EPOLLIN) != 0)
                mox_report(__LINE__, SRC_FILE, MOX_SEV_WARN, "cannot watch the client at fd %d: %s",
                           c, strerror(errno));
        }
        arm_resume(d);
        break;
    }
    }
}

void restore_words(daemon_state *d);

/* Leaves the consoles and the socket as they were before the server came. */
void tidy(daemon_state *d)
{
    server_detach_console(&d->srv);
    restore_words(d);
    for (int vc = 0; vc <= LAST_VC; vc++) {
        while (cinfo[vc] != nullptr) {
            client_info *ci = cinfo[vc];
            if (ci->fd >= 0)
                (void) close(ci->fd);
            remove_client(ci, vc);
        }
    }
    if (d->listen_fd >= 0) {
        (void) close(d->listen_fd);
        (void) unlink(CONTROL_SOCKET_PATH);
        d->listen_fd = -1;
    }
    input_close(&d->in);
    free(d->slots);
    d->slots = nullptr;
    d->n_slots = 0;
    if (d->owner_fd >= 0)
        (void) close(d->owner_fd);
    d->owner_fd = -1;
    host_flush_reports();
}

void tidy_on_fatal(void)
{
    if (running != nullptr)
        tidy(running);
}

/* Blocks the termination signals and SIGHUP for the signalfd; a client that
 * goes away mid-write must not end the server. */
int signals(void)
{
    (void) signal(SIGPIPE, SIG_IGN);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    if (sigprocmask(SIG_BLOCK, &set, nullptr) != 0)
        return -1;
    return signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

int open_input(daemon_state *d, const moxd_conf *cl, const device_settings *settings)
{
    if (cl->n_devices == 0)
        return input_open_seat(&d->in, cl->seat, settings);
    return input_open_paths(&d->in, cl->devices, cl->n_devices, settings) > 0 ? 0 : -1;
}

int run(daemon_state *d)
{
    epoll_event batch[EPOLL_BATCH];
    while (!d->stop) {
        int n = epoll_wait(d->ep, batch, EPOLL_BATCH, -1);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            mox_report(__LINE__, SRC_FILE, MOX_SEV_WARN, "epoll_wait: %s", strerror(errno));
            return EXIT_FAILURE;
        }
        /* What the consoles became comes first, so that input is handled
         * against the console shown and its owner now; then the input,
         * never kept waiting behind clients; then the rest. */
        for (int pass = 0; pass < 3; pass++) {
            for (int i = 0; i < n && !d->stop; i++) {
                uint64_t tag = batch[i].data.u64 >> 32;
                int rank = tag == TAG_WATCH || tag == TAG_OWNERS || tag == TAG_RESIZE
                               ? 0
                               : (tag == TAG_INPUT ? 1 : 2);
                if (rank == pass)
                    handle(d, &batch[i]);
            }
        }
    }
    return EXIT_SUCCESS;
}

/* Descriptors 0 to 2 closed at start would be taken by the first files
 * opened, a console among them, and the log would land on its screen. */
void hold_standard_descriptors(void)
{
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        int got = open("/dev/null", O_RDWR);
        if (got >= 0 && got != fd) {
            (void) dup2(got, fd);
            (void) close(got);
        }
    }
}

/* The settings file named on the command line (which must exist), or the
 * default one (which may be missing). */
int load_conf(const command_line *cl, moxd_conf *file, char **text, char *msg, size_t len)
{
    const char *path = cl->config != nullptr ? cl->config : CONF_DEFAULT_PATH;
    return conf_load(path, cl->config == nullptr, file, text, msg, len) < 0 ? -1 : 0;
}

/* The settings in use: the file's, each one the command line gives in its
 * place, the defaults for the rest. */
void settle(moxd_conf *use, const moxd_conf *file, const command_line *cl)
{
    *use = *file;
    conf_overlay(use, &cl->given);
    if (use->seat == nullptr)
        use->seat = DEFAULT_SEAT;
    if (use->click_ms == 0)
        use->click_ms = CLICK_WINDOW_DEFAULT_MS;
    if (use->log_level < 0)
        use->log_level = MOX_SEV_WARN;
    if (use->wheel_reports < 0)
        use->wheel_reports = 1;
    if (use->word_chars == nullptr)
        use->word_chars = WORD_CHARS_DEFAULT;
}

void load_words(daemon_state *d, const char *chars)
{
    uint32_t table[WORD_TABLE_WORDS];
    char why[160];
    if (words_table(chars, table, why, sizeof why) != 0 || vt_load_words(d->ctl_fd, table) != 0) {
        mox_report(__LINE__, SRC_FILE, MOX_SEV_WARN, "cannot load the word characters: %s",
                   strerror(errno));
        return;
    }
    d->words_loaded = 1;
}

/* The kernel's own table back: it outlives the server otherwise. */
void restore_words(daemon_state *d)
{
    uint32_t table[WORD_TABLE_WORDS];
    char why[160];
    if (d->words_loaded && words_table(WORD_CHARS_KERNEL, table, why, sizeof why) == 0)
        (void) vt_load_words(d->ctl_fd, table);
    d->words_loaded = 0;
}

/* What a reload may change while clients stay, buttons stay held and the
 * selection stays: everything but the seat and the devices. */
void apply_conf(daemon_state *d, const moxd_conf *use, const device_settings *settings)
{
    host_set_log_level(use->log_level);
    d->srv.click_window_ms = use->click_ms;
    d->srv.wheel_reports = use->wheel_reports;
    d->srv.cell_w = settings->cell_width;
    d->srv.cell_h = settings->cell_height;
    load_words(d, use->word_chars);
}

bool same_devices(const moxd_conf *a, const moxd_conf *b)
{
    if (strcmp(a->seat, b->seat) != 0 || a->n_devices != b->n_devices)
        return false;
    for (int i = 0; i < a->n_devices; i++)
        if (strcmp(a->devices[i], b->devices[i]) != 0)
            return false;
    return true;
}

void reload(daemon_state *d)
{
    moxd_conf file;
    char *text = nullptr;
    char msg[320];
    if (load_conf(d->cl, &file, &text, msg, sizeof msg) != 0) {
        mox_report(__LINE__, SRC_FILE, MOX_SEV_WARN, "reload: %s; the settings in use are kept",
                   msg);
        return;
    }
    moxd_conf use;
    settle(&use, &file, d->cl);
    device_settings settings;
    settings_defaults(&settings);
    (void) settings_parse(&settings, use.options);
    apply_conf(d, &use, &settings);
    int devices = input_apply_settings(&d->in, &settings);
    if (!same_devices(&use, &d->started))
        mox_report(__LINE__, SRC_FILE, MOX_SEV_WARN,
                   "reload: the seat and the devices change only at a restart; still using %s",
                   d->started.n_devices > 0 ? "the devices named at start" : d->started.seat);
    mox_report(__LINE__, SRC_FILE, MOX_SEV_TRACE,
               "reload: settings applied (click time %u ms, word characters \"%s\", wheel "
               "reports %s, %d devices)",
               use.click_ms, use.word_chars, use.wheel_reports ? "on" : "off", devices);
    free(text);
}

} // namespace

int main(int argc, char **argv)
{
    hold_standard_descriptors();
    static command_line cl;
    cl_outcome asked = read_command_line(argc, argv, &cl);
    if (asked != CL_RUN)
        return asked == CL_DONE ? EXIT_SUCCESS : EXIT_FAILURE;
    moxd_conf file, use;
    char *file_text = nullptr;
    char msg[320];
    if (load_conf(&cl, &file, &file_text, msg, sizeof msg) != 0) {
        (void) fprintf(stderr, "moxd: %s\n", msg);
        return EXIT_FAILURE;
    }
    settle(&use, &file, &cl);
    host_set_log_level(use.log_level);

    if (geteuid() != 0) {
        (void) fprintf(stderr,
                       "moxd: must run as root: it draws on the consoles, reads the input "
                       "devices and owns %s\n",
                       CONTROL_SOCKET_PATH);
        return EXIT_FAILURE;
    }

    device_settings settings;
    settings_defaults(&settings);
    (void) settings_parse(&settings, use.options);

    if (another_server()) {
        (void) fprintf(stderr, "moxd: another server is already listening on %s; not starting\n",
                       CONTROL_SOCKET_PATH);
        return EXIT_FAILURE;
    }

    static daemon_state d;
    d.ep = d.sig_fd = d.listen_fd = d.watch_fd = d.owner_fd = d.ctl_fd = d.resume_fd = -1;
    server_init(&d.srv, settings.cell_width, settings.cell_height, use.click_ms);
    d.srv.client_closed = client_closed;
    d.srv.closed_ctx = &d;
    d.srv.wheel_reports = use.wheel_reports;
    d.cl = &cl;
    d.started = use;
    d.start_text = file_text;

    d.ctl_fd = vt_open_control();
    if (d.ctl_fd < 0 || vt_active(d.ctl_fd) < 0) {
        (void) fprintf(stderr, "moxd: no virtual console to work on (%s: %s)\n", VT_CONTROL_PATH,
                       strerror(errno));
        return EXIT_FAILURE;
    }
    d.watch_fd = vt_open_active_watch();
    if (d.watch_fd < 0)
        mox_report(__LINE__, SRC_FILE, MOX_SEV_TRACE,
                   "%s: %s; asking which console is shown at each event", VT_ACTIVE_PATH,
                   strerror(errno));
    server_attach_console(&d.srv, d.ctl_fd, d.watch_fd);
    d.owner_fd = vt_open_owner_watch();
    if (d.owner_fd < 0)
        mox_report(__LINE__, SRC_FILE, MOX_SEV_TRACE,
                   "cannot watch the owners of the consoles (%s); asking them at each event",
                   strerror(errno));

    if (open_input(&d, &use, &settings) != 0) {
        (void) fprintf(stderr, "moxd: no input devices to read (see the warnings above)\n");
        return EXIT_FAILURE;
    }

    d.sig_fd = signals();
    d.ep = epoll_create1(EPOLL_CLOEXEC);
    d.resume_fd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    if (d.sig_fd < 0 || d.ep < 0 || d.resume_fd < 0) {
        (void) fprintf(stderr, "moxd: cannot set up the event loop: %s\n", strerror(errno));
        input_close(&d.in);
        return EXIT_FAILURE;
    }
    running = &d;
    host_set_fatal_hook(tidy_on_fatal);
    d.listen_fd = listen_for_clients();

    int failed = watch(&d, d.sig_fd, TAG_SIGNAL, EPOLLIN);
    failed |= watch(&d, input_fd(&d.in), TAG_INPUT, EPOLLIN);
    failed |= watch(&d, d.listen_fd, TAG_LISTEN, EPOLLIN);
    failed |= watch(&d, d.resume_fd, TAG_RESUME, EPOLLIN);
    if (d.watch_fd >= 0 && watch(&d, d.watch_fd, TAG_WATCH, EPOLLPRI | EPOLLERR) != 0) {
        (void) close(d.watch_fd);
        d.watch_fd = -1;
        d.srv.watch_fd = -1;
    }
    if (d.owner_fd >= 0 && watch(&d, d.owner_fd, TAG_OWNERS, EPOLLIN) != 0) {
        (void) close(d.owner_fd);
        d.owner_fd = -1;
    }
    d.srv.owner_fd = d.owner_fd;
    /* after signals(): the thread keeps the signals blocked */
    int resize_fd = vt_open_resize_watch();
    if (resize_fd >= 0 && watch(&d, resize_fd, TAG_RESIZE, EPOLLIN) != 0)
        resize_fd = -1; /* left open: the thread still writes to it */
    if (resize_fd < 0)
        mox_report(__LINE__, SRC_FILE, MOX_SEV_TRACE,
                   "no resize watch (%s); asking the size at each event", strerror(errno));
    d.srv.resize_fd = resize_fd;
    if (failed != 0) {
        (void) fprintf(stderr, "moxd: cannot set up the event loop: %s\n", strerror(errno));
        tidy(&d);
        return EXIT_FAILURE;
    }

    load_words(&d, use.word_chars);
    mox_report(__LINE__, SRC_FILE, MOX_SEV_TRACE, "listening on %s, console %d (%dx%d)",
               CONTROL_SOCKET_PATH, d.srv.con_vc, console.max_x, console.max_y);
    /* The devices present at start are queued inside libinput already, with
     * nothing on its descriptor to say so. */
    read_input(&d);
    if (d.srv.devices == 0) {
        if (use.n_devices == 0)
            mox_report(__LINE__, SRC_FILE, MOX_SEV_WARN,
                       "no pointing device on seat %s yet; waiting for one", use.seat);
        else
            mox_report(__LINE__, SRC_FILE, MOX_SEV_WARN,
                       "none of the devices given is a pointing device");
        d.srv.awaiting_device = 1;
    }
    (void) sd_notify(0, "READY=1");
    int status = run(&d);
    (void) sd_notify(0, "STOPPING=1");
    tidy(&d);
    running = nullptr;
    free(d.start_text);
    return status;
}
