/* vt.h: the operations moxd performs on the Linux virtual consoles.
 *
 * Every VT, KD and TIOCLINUX ioctl of the server is here, each behind a
 * named function. Cells count from 1, as the kernel's selection does.
 * Functions that ask return the answer or -1 (errno set); functions that
 * act return 0 or -1. */
#ifndef MOXD_VT_H
#define MOXD_VT_H

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

/* The kernel's alias of the console on screen; VT_GETSTATE asked on it tells
 * which one that is. */
constexpr const char VT_CONTROL_PATH[] = "/dev/tty0";
/* Names the active console ("tty3"); the kernel wakes pollers of this file
 * (POLLPRI) whenever another console is shown. */
constexpr const char VT_ACTIVE_PATH[] = "/sys/class/tty/tty0/active";
constexpr int VT_MAX = 63; /* highest virtual console number */

int vt_open_control(void);
/* Opens /dev/ttyN (1..VT_MAX) for the console operations below. */
int vt_open_console(int n);
/* Opens the console shown, for the console operations below, through its
 * alias /dev/tty0: such a descriptor stays tied to the console that was
 * shown when it was opened, and is never hung up (a logout's vhangup kills
 * every descriptor of /dev/ttyN opened before it). *vc gets the console it
 * reached. */
int vt_open_shown(int *vc);
/* Writes "/dev/ttyN" into buf; 0, or -1 when n is out of range. */
int vt_console_path(int n, char *buf, size_t len);

/* Number of the console on screen, asked through the control device. */
int vt_active(int ctl_fd);
/* Opens the sysfs file that names the console on screen, for polling. */
int vt_open_active_watch(void);
/* Reads the console number from that file again; -1 when unreadable. */
int vt_read_active_watch(int fd);

int vt_size(int fd, int *cols, int *rows);
/* 1 when a graphical session owns the console (KD_GRAPHICS), 0 in text mode. */
int vt_is_graphics(int fd);
/* The keyboard's shift state: bit 0 Shift, 1 AltGr, 2 Control, 3 Alt, ... */
int vt_shift_state(int fd);
/* Non-zero when the program on the console on screen asked for mouse reports. */
int vt_mouse_reporting(int fd);

/* Selects from (xs, ys) to (xe, ye) by unit (0 characters, 1 words, 2 lines). */
int vt_select(int fd, int xs, int ys, int xe, int ye, int unit);
/* Draws the kernel's pointer on cell (x, y), removing it from where it was. */
int vt_pointer(int fd, int x, int y);
/* Hides the pointer and the highlight of the selection (its text stays). */
int vt_clear(int fd);
/* Puts ESC [ M (32+code) (32+x) (32+y) into the input of fd's console. */
int vt_report(int fd, int code, int x, int y);
/* Puts the selected text into the input of fd's console. */
int vt_paste(int fd);

/* The owner of /dev/ttyN in *uid; 0, or -1 when there is no such device. */
int vt_owner(int n, uid_t *uid);

/* Watches /dev for changes of owner (a login or logout chowns /dev/ttyN);
 * the descriptor is readable when one came. */
int vt_open_owner_watch(void);
/* Reads what the watch collected: bit N set for each /dev/ttyN changed. */
uint64_t vt_read_owner_watch(int fd);

/* Starts a thread that waits in VT_WAITEVENT for console resizes (the
 * kernel announces them, for any console, nowhere else a poll could see)
 * and returns an eventfd that becomes readable after each one; -1 when the
 * thread or its descriptor cannot be had. A resize made between two waits
 * of the thread is missed: whoever relies on it asks again when it may
 * matter more (a switch, a button). Start it with the signals the process
 * takes through a signalfd blocked: the thread inherits the mask. */
int vt_open_resize_watch(void);
/* Reads the watch: 1 when a resize came, 0 when none did, -1 when the thread
 * has stopped (VT_WAITEVENT refused): the size must be asked again each time. */
int vt_read_resize_watch(int fd);

/* A blank cell of the console shown that is not in its last column, read
 * from /dev/vcsa; 1 with it in *x, *y, 0 when there is none or no access. */
int vt_blank_cell(int *x, int *y);

/* Puts the n bytes into the input of fd's console with TIOCSTI, one call per
 * byte, back to back: nothing the server does comes between them, but keys
 * typed in the same microseconds can. 0, or -1 at the first byte refused. */
int vt_inject(int fd, const uint8_t *bytes, size_t n);
/* Loads the word-character table of the selection (TIOCL_SELLOADLUT): one
 * bit per character code, 256 bits. The table is global to all consoles
 * and stays after the server ends. */
int vt_load_words(int fd, const uint32_t table[8]);

#endif /* MOXD_VT_H */
