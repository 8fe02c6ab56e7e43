/* host.cpp: the server's host services and log. */
#include "host.h"

#include "sharing.h"
#include "vt.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/stat.h>

options option = {0, 0, "moxd"};
mox_console console = {VT_CONTROL_PATH, "UTF-8", 80, 25};

namespace
{

int log_level = MOX_SEV_WARN;
int control_fd = -1;
int no_paste_asked = 0;
void (*fatal_hook)(void) = nullptr;
int journal = -1; /* unknown until the first report */

struct level_row {
    int severity;
    const char *name;
    int syslog_priority; /* what the journal files the line under */
};

/* Refusals rank above warnings here: they are what an administrator
 * watching for abuse wants to keep when lowering the noise. */
constexpr level_row LEVELS[] = {
    {MOX_SEV_DETAIL, "detail", 7},  {MOX_SEV_TRACE, "trace", 6}, {MOX_SEV_WARN, "warning", 4},
    {MOX_SEV_REFUSE, "refusal", 5}, {MOX_SEV_FATAL, "fatal", 2},
};

const level_row *level_of(int severity)
{
    for (const level_row &row : LEVELS)
        if (row.severity == severity)
            return &row;
    return nullptr;
}

/* systemd sets JOURNAL_STREAM to "device:inode" of the stream it connected
 * to standard error; only then is the priority prefix understood. */
bool stderr_is_journal(void)
{
    const char *env = getenv("JOURNAL_STREAM");
    if (env == nullptr)
        return false;
    unsigned long long dev = 0, ino = 0;
    if (sscanf(env, "%llu:%llu", &dev, &ino) != 2)
        return false;
    struct stat st;
    if (fstat(2, &st) != 0)
        return false;
    return static_cast<unsigned long long>(st.st_dev) == dev &&
           static_cast<unsigned long long>(st.st_ino) == ino;
}

/* A user may connect in a loop and be refused each time: the log (and the
 * journal's own rate limit behind it, which would then drop the server's
 * other messages too) takes at most this many refusals a minute. */
constexpr uint32_t REFUSALS_PER_WINDOW = 10;
constexpr uint64_t REFUSAL_WINDOW_MS = 60000;
report_gate refusals = {0, 0, 0};

uint64_t monotonic_ms(void)
{
    timespec ts;
    (void) clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

void write_line(int severity, const char *text, const char *file, int line)
{
    if (journal < 0)
        journal = stderr_is_journal() ? 1 : 0;
    const level_row *row = level_of(severity);
    const char *name = row != nullptr ? row->name : "info";
    if (journal == 1)
        (void) fprintf(stderr, "<%d>%s: %s (%s:%d)\n", row != nullptr ? row->syslog_priority : 6,
                       name, text, file != nullptr ? file : "?", line);
    else
        (void) fprintf(stderr, "%s: %s: %s (%s:%d)\n", option.progname, name, text,
                       file != nullptr ? file : "?", line);
    (void) fflush(stderr);
}

void held_refusals(uint64_t held)
{
    if (held == 0)
        return;
    char text[128];
    (void) snprintf(text, sizeof text,
                    "%llu further refusals were not logged (at most %u a minute are)",
                    static_cast<unsigned long long>(held), REFUSALS_PER_WINDOW);
    write_line(MOX_SEV_REFUSE, text, "host.cpp", __LINE__);
}

} // namespace

void host_set_log_level(int severity)
{
    log_level = severity;
}

int host_log_level(void)
{
    return log_level;
}

int host_level_from_name(const char *text)
{
    if (text == nullptr)
        return -1;
    for (const level_row &row : LEVELS)
        if (strcmp(text, row.name) == 0)
            return row.severity;
    if (text[0] >= '2' && text[0] <= '6' && text[1] == '\0')
        return text[0] - '0';
    return -1;
}

const char *host_level_name(int severity)
{
    const level_row *row = level_of(severity);
    return row != nullptr ? row->name : "info";
}

void host_set_control_fd(int fd)
{
    control_fd = fd;
}

int host_take_no_paste_request(void)
{
    int asked = no_paste_asked;
    no_paste_asked = 0;
    return asked;
}

void host_flush_reports(void)
{
    if (MOX_SEV_REFUSE >= log_level)
        held_refusals(refusals.held);
    refusals.held = 0;
}

void host_set_fatal_hook(void (*hook)(void))
{
    fatal_hook = hook;
}

/* One line per report: the text, then where it was made. Formats that end
 * in a line feed have it dropped, so that every report is one line.
 * Refusals pass a rate limit first. */
void mox_report(int line, const char *file, int severity, const char *fmt, ...)
{
    if (severity >= log_level || severity >= MOX_SEV_FATAL) {
        if (severity == MOX_SEV_REFUSE) {
            uint64_t held = 0;
            int pass =
                gate_pass(&refusals, monotonic_ms(), REFUSALS_PER_WINDOW, REFUSAL_WINDOW_MS, &held);
            held_refusals(held);
            if (!pass)
                return;
        }
        char text[1024];
        va_list ap;
        va_start(ap, fmt);
        int n = vsnprintf(text, sizeof text, fmt, ap);
        va_end(ap);
        if (n < 0)
            text[0] = '\0';
        size_t len = strlen(text);
        while (len > 0 && text[len - 1] == '\n')
            text[--len] = '\0';
        write_line(severity, text, file, line);
    }
    if (severity >= MOX_SEV_FATAL) {
        if (fatal_hook != nullptr)
            fatal_hook();
        exit(EXIT_FAILURE);
    }
}

/* The console on screen and the keyboard's shift state; zeros when there is
 * no console to ask. */
int get_console_state(unsigned char *modifiers)
{
    *modifiers = 0;
    if (control_fd < 0)
        return 0;
    int vc = vt_active(control_fd);
    int shift = vt_shift_state(control_fd);
    if (shift > 0)
        *modifiers = static_cast<unsigned char>(shift);
    return vc > 0 ? vc : 0;
}

/* Whoever owns /dev/ttyN owns console N (login hands the tty to the user);
 * console 0 stands for the one on screen. No device, no owner. */
int is_console_owner(int vc, uid_t uid)
{
    int n = vc;
    if (n == 0)
        n = control_fd >= 0 ? vt_active(control_fd) : -1;
    uid_t owner = 0;
    if (n < 1 || vt_owner(n, &owner) != 0)
        return 0;
    return owner == uid ? 1 : 0;
}

/* Called while a client's request is served: the server learns which
 * client asked (host_take_no_paste_request) and switches pasting off for
 * that client's console while it stays. */
void selection_disable_paste(void)
{
    no_paste_asked = 1;
}
