/* c_host.h: what the C host records for the C test program. */
#ifndef MOX_C_HOST_H
#define MOX_C_HOST_H

extern char c_host_last_report[256]; /* text of the latest mox_report */
extern int c_host_reports;           /* number of reports so far */
extern int c_host_paste_disabled;    /* calls of selection_disable_paste */
extern int c_host_owner_calls;       /* calls of is_console_owner */

#endif
