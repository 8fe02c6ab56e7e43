/* mox-refserver.cpp: EXAMPLE console mouse server loop (not the product).
 *
 * The client and argsift modules belong inside a console mouse server; this
 * program is the least server that drives them the way its main loop does,
 * so that they can be seen and tested without it. Mouse events and console
 * resizes are not read from a mouse: they come as text lines on standard
 * input (see usage() and the manual page mox-refserver(1)).
 *
 * One poll loop watches the listening socket, every admitted client and
 * standard input. Clients are always served before the next input line, and a
 * "wait" or "sleep" line holds input back while clients go on being served,
 * which keeps a scripted run deterministic. */
#include "argsift.h"
#include "client.h"
#include "console.h"
#include "mox.h"
#include "moxInt.h"

#include "../common/mox-names.h"
#include "../host/host.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <getopt.h>
#include <poll.h>
#include <unistd.h>

namespace
{

/* Bound on the descriptors watched per round: the example serves at most this
 * many clients at once; further ones stay queued in their sockets. */
constexpr int MAX_POLLED_CLIENTS = 256;
/* A "wait" line without ms= gives up after this long, so that a script whose
 * clients never come still ends. */
constexpr long DEFAULT_WAIT_MS = 5000;
constexpr size_t INPUT_LINE_MAX = 4096;

/* The demo protocol's option table, as a mouse protocol driver would hold it. */
int opt_dpi = 0;
int opt_swap = 0;
int opt_rate = 100;
char *opt_device = nullptr;
option_helper demo_options[] = {
    {"dpi", OPT_DEC, {&opt_dpi}, 0, 0},   {"swap", OPT_BOOL, {&opt_swap}, 1, 0},
    {"rate", OPT_INT, {&opt_rate}, 0, 0}, {"device", OPT_STRING, {nullptr}, 0, 0},
    {nullptr, OPT_END, {nullptr}, 0, 0},
};

struct server_state {
    int listen_fd;
    int three_button; /* 1 when the simulated mouse has three buttons */
    /* pointer state handed to process_client_request ("state" lines) */
    int x, y, buttons, clicks;
    long events;
    int input_open;
    char input[INPUT_LINE_MAX + 1];
    size_t input_len;
    long line_no;
    /* input held back by "wait clients=N" or "sleep MS" */
    int wait_clients; /* -1: not waiting for a client count */
    long hold_until;  /* monotonic ms; 0: not holding */
    int quit;
};

long now_ms(void)
{
    struct timespec ts;
    (void) clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int count_clients(void)
{
    int n = 0;
    for (int vc = 0; vc <= LAST_VC; vc++)
        for (client_info *ci = cinfo[vc]; ci != nullptr; ci = ci->next)
            n++;
    return n;
}

/* Finds the admitted client on fd; *vc receives the stack that holds it. */
client_info *find_client(int fd, int *vc)
{
    for (int i = 0; i <= LAST_VC; i++) {
        for (client_info *ci = cinfo[i]; ci != nullptr; ci = ci->next) {
            if (ci->fd == fd) {
                *vc = i;
                return ci;
            }
        }
    }
    *vc = -1;
    return nullptr;
}

void usage(FILE *out)
{
    (void) fprintf(out,
                   "usage: mox-refserver [options] < script\n"
                   "An example server loop for the client and argsift modules: it listens on\n"
                   "%s and takes mouse events from standard input.\n"
                   "\n"
                   "  --options TEXT    parse TEXT against the demo protocol's option table\n"
                   "                    (dpi: decimal, swap: flag, rate: integer, device: text)\n"
                   "  --protocol NAME   protocol name used in option complaints (demo)\n"
                   "  --buttons 2|3     button count of the simulated mouse (3)\n"
                   "  --log-level N     print module reports of severity N and above (3)\n"
                   "  --help            this text\n"
                   "\n"
                   "Input lines (keys may be left out; numbers: decimal, 0x hex, 0 octal):\n"
                   "  event vc=N type=KINDS x= y= dx= dy= buttons= mod= clicks= margin=\n"
                   "        KINDS: move,drag,down,up,single,double,triple,mflag,hard,enter,\n"
                   "        leave joined by ',' or '|', or a number\n"
                   "  state x= y= buttons= clicks=   pointer state for state requests\n"
                   "  resize cols=N rows=N           console resized: clients get SIGWINCH\n"
                   "  wait clients=N [ms=T]          serve clients until N are admitted\n"
                   "  sleep MS                       serve clients for MS milliseconds\n"
                   "  quit                           end (so does the end of input)\n"
                   "  # comment\n",
                   CONTROL_SOCKET_PATH);
}

void show_options(const char *proto, const char *text)
{
    int result = parse_options(proto, text, ',', demo_options);
    (void) printf("options \"%s\" for protocol %s: parse_options = %d\n", text, proto, result);
    (void) printf(
        "  dpi=%d%s swap=%d%s rate=%d%s device=%s%s\n", opt_dpi, demo_options[0].present ? "*" : "",
        opt_swap, demo_options[1].present ? "*" : "", opt_rate, demo_options[2].present ? "*" : "",
        opt_device != nullptr ? opt_device : "(none)", demo_options[3].present ? "*" : "");
}

/* Splits "key=value" and converts value; complains on standard error. */
int key_value(server_state *s, char *word, const char **key, long *value)
{
    char *eq = strchr(word, '=');
    if (eq == nullptr) {
        (void) fprintf(stderr, "%s: line %ld: expected key=value, got \"%s\"\n", option.progname,
                       s->line_no, word);
        return 0;
    }
    *eq = '\0';
    *key = word;
    if (strcmp(word, "type") == 0) {
        uint32_t mask = 0;
        if (!parse_kinds(eq + 1, &mask)) {
            (void) fprintf(stderr, "%s: line %ld: bad event type \"%s\"\n", option.progname,
                           s->line_no, eq + 1);
            return 0;
        }
        *value = static_cast<long>(mask);
        return 1;
    }
    if (!parse_long(eq + 1, -32768, 0x7FFFFFFF, value)) {
        (void) fprintf(stderr, "%s: line %ld: bad number in %s=%s\n", option.progname, s->line_no,
                       word, eq + 1);
        return 0;
    }
    return 1;
}

/* One "key=value" a line may carry, and where its value goes. */
struct line_key {
    const char *name;
    long *value;
};

/* Reads the words of rest into the values of keys (a table closed by a null
 * name); keys not given keep their values. 0, with a complaint, on a word
 * that is no key=value or names no key of the table. */
int read_keys(server_state *s, char *rest, const line_key *keys)
{
    char *save = nullptr;
    for (char *w = strtok_r(rest, " \t\r", &save); w != nullptr;
         w = strtok_r(nullptr, " \t\r", &save)) {
        const char *key = nullptr;
        long v = 0;
        if (!key_value(s, w, &key, &v))
            return 0;
        const line_key *k = keys;
        while (k->name != nullptr && strcmp(k->name, key) != 0)
            k++;
        if (k->name == nullptr) {
            (void) fprintf(stderr, "%s: line %ld: unknown key \"%s\"\n", option.progname,
                           s->line_no, key);
            return 0;
        }
        *k->value = v;
    }
    return 1;
}

void do_event(server_state *s, char *rest)
{
    long vc = 0, type = 0, x = 0, y = 0, dx = 0, dy = 0, buttons = 0, mod = 0, clicks = 0,
         margin = 0;
    const line_key keys[] = {{"vc", &vc},
                             {"type", &type},
                             {"x", &x},
                             {"y", &y},
                             {"dx", &dx},
                             {"dy", &dy},
                             {"buttons", &buttons},
                             {"mod", &mod},
                             {"clicks", &clicks},
                             {"margin", &margin},
                             {nullptr, nullptr}};
    if (!read_keys(s, rest, keys))
        return;
    if (vc < 0 || vc > LAST_VC) {
        (void) fprintf(stderr, "%s: line %ld: console %ld out of range 0..%d\n", option.progname,
                       s->line_no, vc, LAST_VC);
        return;
    }
    Mox_Event ev;
    memset(&ev, 0, sizeof ev);
    ev.vc = static_cast<uint16_t>(vc);
    ev.type = static_cast<uint32_t>(type);
    ev.x = static_cast<int16_t>(x);
    ev.y = static_cast<int16_t>(y);
    ev.dx = static_cast<int16_t>(dx);
    ev.dy = static_cast<int16_t>(dy);
    ev.buttons = static_cast<uint8_t>(buttons);
    ev.modifiers = static_cast<uint8_t>(mod);
    ev.clicks = static_cast<int32_t>(clicks);
    ev.margin = static_cast<uint32_t>(margin);
    s->events++;
    char kinds[128];
    (void) printf("event %ld: console %ld %s x=%d y=%d buttons=0x%02X mod=0x%02X -> ", s->events,
                  vc, format_kinds(ev.type, kinds, sizeof kinds), ev.x, ev.y, ev.buttons,
                  ev.modifiers);
    /* An empty stack has no client to ask: the default handling applies. */
    if (cinfo[vc] == nullptr)
        (void) printf("default handling applies (no client on console %ld)", vc);
    else if (do_client(cinfo[vc], &ev) == 0)
        (void) printf("default handling applies");
    else
        (void) printf("finished by a client");
    (void) printf("; paste %s\n", host_paste_disabled() ? "off" : "on");
}

void do_state(server_state *s, char *rest)
{
    long x = s->x, y = s->y, buttons = s->buttons, clicks = s->clicks;
    const line_key keys[] = {
        {"x", &x}, {"y", &y}, {"buttons", &buttons}, {"clicks", &clicks}, {nullptr, nullptr}};
    if (!read_keys(s, rest, keys))
        return;
    s->x = static_cast<int>(x);
    s->y = static_cast<int>(y);
    s->buttons = static_cast<int>(buttons);
    s->clicks = static_cast<int>(clicks);
    (void) printf("state: pointer %d,%d buttons=0x%02X clicks=%d\n", s->x, s->y, s->buttons,
                  s->clicks);
}

void do_resize(server_state *s, char *rest)
{
    long cols = console.max_x, rows = console.max_y;
    const line_key keys[] = {{"cols", &cols}, {"rows", &rows}, {nullptr, nullptr}};
    if (!read_keys(s, rest, keys))
        return;
    console.max_x = static_cast<int>(cols);
    console.max_y = static_cast<int>(rows);
    (void) printf("resize: console %dx%d, SIGWINCH to %d client(s)\n", console.max_x, console.max_y,
                  count_clients());
    (void) fflush(stdout);
    notify_clients_resize();
}

void do_wait(server_state *s, char *rest)
{
    long want = -1, ms = DEFAULT_WAIT_MS;
    const line_key keys[] = {{"clients", &want}, {"ms", &ms}, {nullptr, nullptr}};
    if (!read_keys(s, rest, keys))
        return;
    if (want < 0) {
        (void) fprintf(stderr, "%s: line %ld: wait needs clients=N\n", option.progname, s->line_no);
        return;
    }
    s->wait_clients = static_cast<int>(want);
    s->hold_until = now_ms() + ms;
}

void do_line(server_state *s, char *line)
{
    s->line_no++;
    char *save = nullptr;
    char *cmd = strtok_r(line, " \t\r", &save);
    if (cmd == nullptr || cmd[0] == '#')
        return;
    char *rest = save != nullptr ? save : const_cast<char *>("");
    if (strcmp(cmd, "event") == 0) {
        do_event(s, rest);
    } else if (strcmp(cmd, "state") == 0) {
        do_state(s, rest);
    } else if (strcmp(cmd, "resize") == 0) {
        do_resize(s, rest);
    } else if (strcmp(cmd, "wait") == 0) {
        do_wait(s, rest);
    } else if (strcmp(cmd, "sleep") == 0) {
        long ms = 0;
        char *arg = strtok_r(nullptr, " \t\r", &save);
        if (!parse_long(arg, 0, 600000, &ms))
            (void) fprintf(stderr, "%s: line %ld: sleep needs milliseconds\n", option.progname,
                           s->line_no);
        else
            s->hold_until = now_ms() + ms;
    } else if (strcmp(cmd, "quit") == 0) {
        s->quit = 1;
    } else {
        (void) fprintf(stderr, "%s: line %ld: unknown command \"%s\"\n", option.progname,
                       s->line_no, cmd);
    }
}

int holding(const server_state *s)
{
    return s->hold_until != 0;
}

/* Ends a wait or sleep whose condition is met or whose time is up. */
void check_hold(server_state *s)
{
    if (!holding(s))
        return;
    int n = count_clients();
    if (s->wait_clients >= 0 && n == s->wait_clients) {
        (void) printf("wait: %d client(s)\n", n);
    } else if (now_ms() < s->hold_until) {
        return;
    } else if (s->wait_clients >= 0) {
        (void) printf("wait: timed out with %d client(s)\n", n);
    }
    s->wait_clients = -1;
    s->hold_until = 0;
}

/* Runs the complete lines buffered so far, stopping at a hold or quit. At the
 * end of input a last line without its line end is run too. */
void run_input(server_state *s)
{
    while (!holding(s) && !s->quit && s->input_len > 0) {
        char *nl = static_cast<char *>(memchr(s->input, '\n', s->input_len));
        if (nl == nullptr && s->input_open && s->input_len < INPUT_LINE_MAX)
            return;
        size_t len = nl != nullptr ? static_cast<size_t>(nl - s->input) : s->input_len;
        s->input[len] = '\0';
        do_line(s, s->input);
        size_t used = nl != nullptr ? len + 1 : s->input_len;
        memmove(s->input, s->input + used, s->input_len - used);
        s->input_len -= used;
        check_hold(s);
    }
}

void read_input(server_state *s)
{
    ssize_t n = read(STDIN_FILENO, s->input + s->input_len, INPUT_LINE_MAX - s->input_len);
    if (n > 0)
        s->input_len += static_cast<size_t>(n);
    else if (n == 0 || (errno != EINTR && errno != EAGAIN))
        s->input_open = 0;
}

void serve_client(server_state *s, int fd)
{
    int vc = -1;
    client_info *ci = find_client(fd, &vc);
    if (ci == nullptr)
        return; /* dropped earlier in this round */
    int r = process_client_request(ci, vc, s->x, s->y, s->buttons, s->clicks, s->three_button);
    if (r == 1)
        return;
    if (r == 0) {
        /* the module closed the socket at the end of stream */
        remove_client(ci, vc);
        (void) printf("client fd %d on console %d closed: removed (clients: %d)\n", fd, vc,
                      count_clients());
    } else {
        /* a failed or short read: this server gives up on the client */
        (void) close(ci->fd);
        remove_client(ci, vc);
        (void) printf("client fd %d on console %d: bad read, dropped (clients: %d)\n", fd, vc,
                      count_clients());
    }
}

void accept_one(server_state *s)
{
    client_info *ci = accept_client_connection(s->listen_fd);
    if (ci == nullptr) {
        (void) printf("connection not admitted (clients: %d)\n", count_clients());
        return;
    }
    char ev[128], def[128];
    (void) printf("admitted fd %d on console %d: events %s, default %s, mods 0x%02X..0x%02X "
                  "(clients: %d)\n",
                  ci->fd, ci->data.vc, format_kinds(ci->data.eventMask, ev, sizeof ev),
                  format_kinds(ci->data.defaultMask, def, sizeof def), ci->data.minMod,
                  ci->data.maxMod, count_clients());
}

void serve(server_state *s)
{
    struct pollfd fds[2 + MAX_POLLED_CLIENTS];
    while (!s->quit) {
        run_input(s);
        if (s->quit || (!s->input_open && s->input_len == 0 && !holding(s)))
            break;
        nfds_t n = 0;
        fds[n++] = {s->listen_fd, POLLIN, 0};
        int input_slot = -1;
        if (s->input_open && !holding(s)) {
            input_slot = static_cast<int>(n);
            fds[n++] = {STDIN_FILENO, POLLIN, 0};
        }
        nfds_t first_client = n;
        for (int vc = 0; vc <= LAST_VC; vc++)
            for (client_info *ci = cinfo[vc]; ci != nullptr && n < 2 + MAX_POLLED_CLIENTS;
                 ci = ci->next)
                fds[n++] = {ci->fd, POLLIN, 0};
        int timeout = -1;
        if (holding(s)) {
            long left = s->hold_until - now_ms();
            timeout = left > 0 ? static_cast<int>(left) : 0;
        }
        (void) fflush(stdout);
        int ready = poll(fds, n, timeout);
        if (ready < 0 && errno != EINTR) {
            perror("poll");
            break;
        }
        if (ready > 0) {
            /* clients first: their requests are answered before the next line */
            for (nfds_t i = first_client; i < n; i++)
                if (fds[i].revents != 0)
                    serve_client(s, fds[i].fd);
            if (fds[0].revents != 0)
                accept_one(s);
            if (input_slot >= 0 && fds[input_slot].revents != 0)
                read_input(s);
        }
        check_hold(s);
    }
}

} // namespace

int main(int argc, char **argv)
{
    host_init(argv[0]);
    /* writes to a client that has gone away must not end the server */
    (void) signal(SIGPIPE, SIG_IGN);
    setvbuf(stdout, nullptr, _IOLBF, 0);

    static const struct option longopts[] = {
        {"options", required_argument, nullptr, 'o'},
        {"protocol", required_argument, nullptr, 'p'},
        {"buttons", required_argument, nullptr, 'b'},
        {"log-level", required_argument, nullptr, 'l'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    const char *opt_text = nullptr;
    const char *proto = "demo";
    server_state s;
    memset(&s, 0, sizeof s);
    s.three_button = 1;
    s.input_open = 1;
    s.wait_clients = -1;
    demo_options[3].u.sptr = &opt_device;
    int c;
    long v;
    while ((c = getopt_long(argc, argv, "o:p:b:l:h", longopts, nullptr)) != -1) {
        switch (c) {
        case 'o':
            opt_text = optarg;
            break;
        case 'p':
            proto = optarg;
            break;
        case 'b':
            if (!parse_long(optarg, 2, 3, &v)) {
                (void) fprintf(stderr, "%s: --buttons takes 2 or 3\n", option.progname);
                return 1;
            }
            s.three_button = v == 3 ? 1 : 0;
            break;
        case 'l':
            if (!parse_long(optarg, 0, 6, &v)) {
                (void) fprintf(stderr, "%s: --log-level takes 0 to 6\n", option.progname);
                return 1;
            }
            host_set_report_threshold(static_cast<int>(v));
            break;
        case 'h':
            usage(stdout);
            return 0;
        default:
            usage(stderr);
            return 1;
        }
    }
    if (optind < argc) {
        usage(stderr);
        return 1;
    }
    if (opt_text != nullptr)
        show_options(proto, opt_text);

    s.listen_fd = listen_for_clients();
    (void) printf("listening on %s (console %dx%d, %d buttons)\n", CONTROL_SOCKET_PATH,
                  console.max_x, console.max_y, s.three_button ? 3 : 2);
    serve(&s);
    (void) printf("end of input: %ld event(s), %d client(s) left\n", s.events, count_clients());
    (void) fflush(stdout);
    (void) close(s.listen_fd);
    (void) unlink(CONTROL_SOCKET_PATH);
    free(opt_device);
    return 0;
}
