/* moxInt.h: what the server's modules take from the server around them. */
#ifndef MOX_INT_H
#define MOX_INT_H

#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Severities of mox_report. */
enum {
    MOX_SEV_DETAIL = 2, /* connection details */
    MOX_SEV_TRACE = 3,  /* requests, connections, closing */
    MOX_SEV_WARN = 4,   /* failed system calls, option-string complaints */
    MOX_SEV_REFUSE = 5, /* refused connections */
    MOX_SEV_FATAL = 6   /* the server cannot go on: mox_report does not return */
};

/* The server's global settings. */
typedef struct options {
    int autodetect;
    int run_status;
    const char *progname; /* prefix of option-string complaints */
} options;

extern options option;

/* Records one message; line and file (without directories) locate the call.
 * At MOX_SEV_FATAL it ends the process. */
void mox_report(int line, const char *file, int severity, const char *fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 4, 5)))
#endif
    ;

/* Returns the console number to report and writes the modifier state. */
int get_console_state(unsigned char *modifiers);

/* Non-zero when user uid owns virtual console vc. */
int is_console_owner(int vc, uid_t uid);

/* Switches pasting off in the server's selection facility. */
void selection_disable_paste(void);

#ifdef __cplusplus
}
#endif

#endif /* MOX_INT_H */
