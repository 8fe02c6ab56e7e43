/* mox-client.cpp: EXAMPLE client program of the console mouse server (not
 * part of the product).
 *
 * It connects to the control socket, attaches to a console with a Mox_Connect
 * record built from its command line, may replace that record and send
 * requests, then prints every Mox_Event it receives as one line, and a line
 * for every SIGWINCH (the server's notice that the console was resized).
 * Every line starts with "[NAME] " so that the output of several clients can
 * be told apart. See the manual page mox-client(1).
 *
 * The protocol itself is spoken by libmox-client: this program is one of its
 * users, as any other client program would be. */
#include <mox/mox-client.h>

#include "../common/mox-names.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <getopt.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace
{

constexpr int EXIT_TIMEOUT = 2;
constexpr int MAX_REQUESTS = 16;
/* A request's answer comes straight back from the server's loop; this bound
 * only keeps a client of a dead server from waiting for ever. */
constexpr int REPLY_TIMEOUT_MS = 5000;

const char *name = "client";

struct client_options {
    const char *socket_path;
    Mox_Connect connect;
    int have_vc; /* --vc given; else the console of the calling terminal */
    int replace; /* send a replacement record after connecting */
    Mox_Connect replacement;
    int requests[MAX_REQUESTS];
    int n_requests;
    long count;   /* exit after this many events; 0: no limit */
    long timeout; /* exit after this many ms; 0: no limit */
};

long now_ms(void)
{
    struct timespec ts;
    (void) clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void usage(FILE *out)
{
    (void) fprintf(out,
                   "usage: mox-client [options]\n"
                   "An example client of the console mouse server's control socket.\n"
                   "\n"
                   "  --name NAME          prefix of every output line (client)\n"
                   "  --socket PATH        control socket (%s)\n"
                   "  --vc N               console to attach to, 1 to 63 (default: the\n"
                   "                       console of this terminal)\n"
                   "  --events KINDS       kinds to receive (move,drag,down,up)\n"
                   "  --default KINDS      kinds the server still handles itself (none)\n"
                   "  --min-mod N          modifier bits that must be held (0)\n"
                   "  --max-mod N          modifier bits that may be held (0xFFFF)\n"
                   "  --pid N              process to signal on resize (this one)\n"
                   "  --replace-events KINDS, --replace-default KINDS\n"
                   "                       then send a replacement record with these masks\n"
                   "  --request REQ        then send a request: state, buttons, nopaste or a\n"
                   "                       number; repeatable, sent in order, each answer\n"
                   "                       awaited before the next request\n"
                   "  --count N            exit after N events\n"
                   "  --timeout MS         exit (status 2) after MS milliseconds\n"
                   "  --help               this text\n"
                   "KINDS: move,drag,down,up,single,double,triple,mflag,hard,enter,leave\n"
                   "joined by ',' or '|', a number, or none.\n",
                   CONTROL_SOCKET_PATH);
}

void print_event(const Mox_Event *ev)
{
    char kinds[128], margin[64];
    size_t used = 0;
    margin[0] = '\0';
    static const char *const margins[] = {"top", "bottom", "left", "right"};
    for (int i = 0; i < 4; i++) {
        if ((ev->margin & (1u << i)) != 0) {
            int n =
                snprintf(margin + used, sizeof margin - used, "%s%s", used ? "|" : "", margins[i]);
            used += n > 0 ? static_cast<size_t>(n) : 0;
        }
    }
    (void) printf("[%s] event %s console %u x=%d y=%d dx=%d dy=%d buttons=0x%02X mod=0x%02X "
                  "clicks=%d margin=%s\n",
                  name, format_kinds(ev->type, kinds, sizeof kinds), ev->vc, ev->x, ev->y, ev->dx,
                  ev->dy, ev->buttons, ev->modifiers, ev->clicks, used ? margin : "none");
}

int parse_request(const char *text, int *code)
{
    long v = 0;
    if (strcmp(text, "state") == 0)
        *code = REQ_STATE;
    else if (strcmp(text, "buttons") == 0)
        *code = REQ_BUTTON_COUNT;
    else if (strcmp(text, "nopaste") == 0)
        *code = REQ_NO_PASTE;
    else if (parse_long(text, -2147483647L - 1, 2147483647L, &v))
        *code = static_cast<int>(v);
    else
        return 0;
    return 1;
}

/* Sends one request; the two that are answered wait for their answer, taken
 * to be the next record read. */
int send_request(mox_connection *conn, int code)
{
    if (mox_request(conn, code) != MOX_OK) {
        (void) printf("[%s] request %d not sent: %s\n", name, code, strerror(errno));
        return 0;
    }
    if (code != REQ_STATE && code != REQ_BUTTON_COUNT) {
        (void) printf("[%s] sent request %d (%s)\n", name, code,
                      code == REQ_NO_PASTE ? "no paste" : "no answer expected");
        return 1;
    }
    Mox_Event ev;
    if (mox_wait_event(conn, &ev, REPLY_TIMEOUT_MS) != MOX_OK) {
        (void) printf("[%s] no answer to request %d\n", name, code);
        return 0;
    }
    if (code == REQ_BUTTON_COUNT)
        (void) printf("[%s] answer to buttons: %u buttons\n", name, ev.type);
    else
        (void) printf("[%s] answer to state: console %u mod=0x%02X pointer %d,%d buttons=0x%02X "
                      "clicks=%d size %dx%d, %u buttons\n",
                      name, ev.vc, ev.modifiers, ev.x, ev.y, ev.buttons, ev.clicks, ev.dx, ev.dy,
                      ev.type);
    return 1;
}

int parse_args(int argc, char **argv, client_options *o)
{
    static const struct option longopts[] = {
        {"name", required_argument, nullptr, 'n'},
        {"socket", required_argument, nullptr, 's'},
        {"vc", required_argument, nullptr, 'v'},
        {"events", required_argument, nullptr, 'e'},
        {"default", required_argument, nullptr, 'd'},
        {"min-mod", required_argument, nullptr, 'm'},
        {"max-mod", required_argument, nullptr, 'M'},
        {"pid", required_argument, nullptr, 'p'},
        {"replace-events", required_argument, nullptr, 'E'},
        {"replace-default", required_argument, nullptr, 'D'},
        {"request", required_argument, nullptr, 'r'},
        {"count", required_argument, nullptr, 'c'},
        {"timeout", required_argument, nullptr, 't'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    int have_replace_events = 0, have_replace_default = 0;
    uint32_t replace_events = 0, replace_default = 0, mask = 0;
    long v = 0;
    int c;
    while ((c = getopt_long(argc, argv, "n:s:v:e:d:m:M:p:E:D:r:c:t:h", longopts, nullptr)) != -1) {
        int ok = 1;
        switch (c) {
        case 'n':
            name = optarg;
            break;
        case 's':
            o->socket_path = optarg;
            break;
        case 'v':
            ok = parse_long(optarg, -2147483647L - 1, 2147483647L, &v);
            o->connect.vc = static_cast<int32_t>(v);
            o->have_vc = 1;
            break;
        case 'e':
            ok = parse_kinds(optarg, &mask);
            o->connect.eventMask = static_cast<uint16_t>(mask);
            break;
        case 'd':
            ok = parse_kinds(optarg, &mask);
            o->connect.defaultMask = static_cast<uint16_t>(mask);
            break;
        case 'm':
        case 'M':
            ok = parse_long(optarg, 0, 0xFFFF, &v);
            if (c == 'm')
                o->connect.minMod = static_cast<uint16_t>(v);
            else
                o->connect.maxMod = static_cast<uint16_t>(v);
            break;
        case 'p':
            ok = parse_long(optarg, -2147483647L - 1, 2147483647L, &v);
            o->connect.pid = static_cast<int32_t>(v);
            break;
        case 'E':
            ok = parse_kinds(optarg, &replace_events);
            have_replace_events = 1;
            break;
        case 'D':
            ok = parse_kinds(optarg, &replace_default);
            have_replace_default = 1;
            break;
        case 'r':
            ok = o->n_requests < MAX_REQUESTS && parse_request(optarg, &o->requests[o->n_requests]);
            o->n_requests++;
            break;
        case 'c':
            ok = parse_long(optarg, 0, 0x7FFFFFFF, &o->count);
            break;
        case 't':
            ok = parse_long(optarg, 0, 0x7FFFFFFF, &o->timeout);
            break;
        case 'h':
            usage(stdout);
            exit(0);
        default:
            ok = 0;
            break;
        }
        if (!ok) {
            if (c != '?')
                (void) fprintf(stderr, "mox-client: bad value for -%c: \"%s\"\n", c,
                               optarg != nullptr ? optarg : "");
            return 0;
        }
    }
    if (optind < argc)
        return 0;
    if (have_replace_events || have_replace_default) {
        o->replace = 1;
        o->replacement = o->connect;
        if (have_replace_events)
            o->replacement.eventMask = static_cast<uint16_t>(replace_events);
        if (have_replace_default)
            o->replacement.defaultMask = static_cast<uint16_t>(replace_default);
        /* pid 0 would turn the record into a request */
        if (o->replacement.pid == 0) {
            (void) fprintf(stderr, "mox-client: a replacement record needs a non-zero pid\n");
            return 0;
        }
    }
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    client_options o;
    memset(&o, 0, sizeof o);
    o.socket_path = CONTROL_SOCKET_PATH;
    o.connect.eventMask = MOX_MOVE | MOX_DRAG | MOX_DOWN | MOX_UP;
    o.connect.maxMod = 0xFFFF;
    o.connect.pid = static_cast<int32_t>(getpid());
    if (!parse_args(argc, argv, &o)) {
        usage(stderr);
        return 1;
    }
    /* Without --vc, the console this program runs on: the one its user is
     * logged in on and owns, so the server admits it there. */
    if (!o.have_vc) {
        Mox_Connect defaults;
        if (mox_connect_defaults(&defaults) != MOX_OK) {
            (void) fprintf(stderr,
                           "mox-client: this terminal is no virtual console (/dev/ttyN): run "
                           "it on one, or name a console with --vc N\n");
            return 1;
        }
        o.connect.vc = defaults.vc;
    }

    /* SIGWINCH arrives through a descriptor, so the loop can take every
     * event already in the socket before it reports the signal */
    sigset_t winch;
    sigemptyset(&winch);
    sigaddset(&winch, SIGWINCH);
    (void) sigprocmask(SIG_BLOCK, &winch, nullptr);
    int sig_fd = signalfd(-1, &winch, SFD_CLOEXEC);
    if (sig_fd < 0) {
        perror("mox-client: signalfd");
        return 1;
    }
    long deadline = o.timeout > 0 ? now_ms() + o.timeout : 0;

    mox_connection conn;
    if (mox_open(&conn, nullptr, o.socket_path, 0) != MOX_OK) {
        (void) printf("[%s] cannot connect to %s: %s\n", name, o.socket_path, strerror(errno));
        return 1;
    }
    char ev_names[128], def_names[128];
    if (mox_send(&conn, &o.connect) != MOX_OK) {
        (void) printf("[%s] cannot send the connect record: %s\n", name, strerror(errno));
        return 1;
    }
    (void) printf("[%s] connected: console %d, events %s, default %s, mods 0x%02X..0x%02X\n", name,
                  o.connect.vc, format_kinds(o.connect.eventMask, ev_names, sizeof ev_names),
                  format_kinds(o.connect.defaultMask, def_names, sizeof def_names),
                  o.connect.minMod, o.connect.maxMod);
    if (o.replace) {
        if (mox_replace(&conn, &o.replacement) != MOX_OK)
            return 1;
        (void) printf("[%s] replaced record: events %s, default %s\n", name,
                      format_kinds(o.replacement.eventMask, ev_names, sizeof ev_names),
                      format_kinds(o.replacement.defaultMask, def_names, sizeof def_names));
    }
    for (int i = 0; i < o.n_requests; i++)
        if (!send_request(&conn, o.requests[i]))
            return 1;

    long events = 0;
    for (;;) {
        if (o.count > 0 && events >= o.count) {
            (void) printf("[%s] got %ld event(s), exiting\n", name, events);
            break;
        }
        int timeout = -1;
        if (deadline != 0) {
            long left = deadline - now_ms();
            if (left <= 0) {
                (void) printf("[%s] timeout after %ld event(s)\n", name, events);
                return EXIT_TIMEOUT;
            }
            timeout = static_cast<int>(left);
        }
        struct pollfd p[2] = {{conn.fd, POLLIN, 0}, {sig_fd, POLLIN, 0}};
        int ready = poll(p, 2, timeout);
        if (ready < 0 && errno != EINTR) {
            perror("mox-client: poll");
            return 1;
        }
        if (ready <= 0)
            continue;
        if (p[0].revents != 0) {
            Mox_Event ev;
            /* the rest of a record that has begun to arrive is awaited
             * until the deadline at most */
            int wait_ms = -1;
            if (deadline != 0) {
                long left = deadline - now_ms();
                wait_ms = left > 0 ? static_cast<int>(left) : 0;
            }
            int r = mox_wait_event(&conn, &ev, wait_ms);
            if (r == MOX_END) {
                (void) printf("[%s] server closed the connection after %ld event(s)\n", name,
                              events);
                break;
            }
            if (r != MOX_OK) {
                (void) printf("[%s] read failed after %ld event(s)\n", name, events);
                return 1;
            }
            events++;
            print_event(&ev);
            continue; /* every queued event before the signal's line */
        }
        if (p[1].revents != 0) {
            struct signalfd_siginfo si;
            if (read(sig_fd, &si, sizeof si) == static_cast<ssize_t>(sizeof si))
                (void) printf("[%s] SIGWINCH: the console was resized\n", name);
        }
    }
    (void) mox_close(&conn);
    return 0;
}
