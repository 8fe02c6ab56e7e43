/* host.cpp: EXAMPLE host services for the console mouse server's modules.
 *
 * Example code, not part of the product. A real server routes reports to its
 * log and asks its own console code; this one writes reports to standard
 * error and asks the kernel's virtual-console devices directly. */
#include "host.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/vt.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

options option = {0, 0, "mox-refserver"};
mox_console console = {"/dev/tty0", "ISO-8859-1", 0, 0};

namespace
{

int report_threshold = MOX_SEV_TRACE;
int paste_disabled = 0;

/* /dev/tty0 is the kernel's alias for whichever virtual console is shown. */
constexpr const char *CURRENT_CONSOLE = "/dev/tty0";

/* TIOCLINUX subcode that reads the keyboard's shift state into its argument
 * byte. */
constexpr char TIOCL_GETSHIFTSTATE_CODE = 6;

const char *severity_name(int severity)
{
    switch (severity) {
    case MOX_SEV_DETAIL:
        return "detail";
    case MOX_SEV_TRACE:
        return "trace";
    case MOX_SEV_WARN:
        return "warn";
    case MOX_SEV_REFUSE:
        return "refuse";
    case MOX_SEV_FATAL:
        return "fatal";
    default:
        return "info";
    }
}

int open_current_console(void)
{
    return open(CURRENT_CONSOLE, O_RDONLY | O_NOCTTY | O_CLOEXEC);
}

/* Number of the virtual console on screen, asked of an open console
 * device, or 0 when it cannot be had. */
int active_console_of(int fd)
{
    struct vt_stat vs;
    memset(&vs, 0, sizeof vs);
    return ioctl(fd, VT_GETSTATE, &vs) == 0 ? vs.v_active : 0;
}

int active_console(void)
{
    int fd = open_current_console();
    if (fd < 0)
        return 0;
    int vc = active_console_of(fd);
    (void) close(fd);
    return vc;
}

} // namespace

void host_init(const char *argv0)
{
    if (argv0 != nullptr && argv0[0] != '\0') {
        const char *slash = strrchr(argv0, '/');
        option.progname = slash != nullptr ? slash + 1 : argv0;
    }
    console.max_x = 0;
    console.max_y = 0;
    int fd = open_current_console();
    if (fd < 0)
        return;
    struct winsize ws;
    memset(&ws, 0, sizeof ws);
    if (ioctl(fd, TIOCGWINSZ, &ws) == 0) {
        console.max_x = ws.ws_col;
        console.max_y = ws.ws_row;
    }
    (void) close(fd);
}

void host_set_report_threshold(int severity)
{
    report_threshold = severity;
}

int host_paste_disabled(void)
{
    return paste_disabled;
}

/* One line per report on standard error: program, severity, file:line, text.
 * Formats that lack a line end get one. */
void mox_report(int line, const char *file, int severity, const char *fmt, ...)
{
    if (severity >= report_threshold || severity >= MOX_SEV_FATAL) {
        char text[1024];
        va_list ap;
        va_start(ap, fmt);
        int n = vsnprintf(text, sizeof text, fmt, ap);
        va_end(ap);
        if (n < 0)
            text[0] = '\0';
        size_t len = strlen(text);
        const char *end = len > 0 && text[len - 1] == '\n' ? "" : "\n";
        (void) fprintf(stderr, "%s: [%s] %s:%d: %s%s", option.progname, severity_name(severity),
                       file != nullptr ? file : "?", line, text, end);
        (void) fflush(stderr);
    }
    if (severity >= MOX_SEV_FATAL)
        exit(1);
}

/* The console shown and its keyboard shift state; zeros without a console. */
int get_console_state(unsigned char *modifiers)
{
    *modifiers = 0;
    int fd = open_current_console();
    if (fd < 0)
        return 0;
    int vc = active_console_of(fd);
    /* TIOCLINUX takes the subcode in the byte it then overwrites */
    char arg = TIOCL_GETSHIFTSTATE_CODE;
    if (ioctl(fd, TIOCLINUX, &arg) == 0)
        *modifiers = static_cast<unsigned char>(arg);
    (void) close(fd);
    return vc;
}

/* The owner of the console's tty device owns the console; console 0 stands
 * for the one on screen. No device, no owner. */
int is_console_owner(int vc, uid_t uid)
{
    if (vc < 0)
        return 0;
    char path[32];
    int n = vc == 0 ? active_console() : vc;
    if (n > 0)
        (void) snprintf(path, sizeof path, "/dev/tty%d", n);
    else
        (void) snprintf(path, sizeof path, "/dev/console");
    struct stat st;
    if (stat(path, &st) != 0)
        return 0;
    return st.st_uid == uid ? 1 : 0;
}

void selection_disable_paste(void)
{
    paste_disabled = 1;
}
