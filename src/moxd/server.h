/* server.h: moxd's state and what it does with each input record, client
 * and console change. The main loop (main.cpp) owns the descriptors and
 * calls these; everything the console sees goes through vt.h. */
#ifndef MOXD_SERVER_H
#define MOXD_SERVER_H

#include "cells.h"
#include "clicks.h"
#include "event.h"
#include "handling.h"
#include "input.h"
#include "sharing.h"

#include <cstdint>

constexpr int BUTTON_BITS = 8;

/* A client that asked to switch pasting off, and the console it holds. */
struct paste_veto {
    int fd;
    int vc;
};

struct server {
    int ctl_fd;   /* /dev/tty0, for asking which console is shown */
    int watch_fd; /* sysfs file naming the console shown, or -1 */
    int owner_fd; /* inotify watch of the ttys' owners, or -1 */
    /* eventfd of the resize watch, or -1: the size is then asked at every
     * pointer record */
    int resize_fd;
    int con_vc; /* the console shown, 0 when unknown */
    int con_fd; /* a descriptor of it for the console operations, or -1 */
    pointer_cells cells;
    click_series clicks;
    handling_state handling;
    uint8_t buttons;            /* held on any device */
    uint16_t held[BUTTON_BITS]; /* devices holding each button */
    int press_clicks;           /* click count of the last press */
    uint32_t click_window_ms;
    double cell_w, cell_h; /* device units per cell */
    int middle_devices;    /* devices present with a middle button */
    long events;           /* records built, for the log */
    int devices;           /* pointing devices present */
    int awaiting_device;   /* none was there: say when the first comes */
    selection_owner sel;   /* who may have the selection pasted */
    int scrub_pending;     /* the kernel's buffer still holds a forgotten selection */
    int motion_pending;    /* cells moved in this round, not yet handled */
    pointer_change motion; /* their deltas summed */
    paste_veto *vetoes;    /* clients that switched pasting off */
    int n_vetoes, cap_vetoes;
    /* told of every client the server closes by itself */
    void (*client_closed)(void *ctx, int fd);
    void *closed_ctx;
    int wheel_reports; /* the wheel may be reported to console programs */
};

/* Starts with no console; cell size and click window as given. */
void server_init(server *s, int cell_w, int cell_h, uint32_t click_window_ms);

/* Takes the console control device and, when given, the sysfs watch, and
 * learns which console is shown and its size. */
void server_attach_console(server *s, int ctl_fd, int watch_fd);

/* Another console may be shown now (the watch fired): follows it, draws the
 * pointer there and tells clients when the size differs. */
void server_console_changed(server *s);

/* The owners of the consoles in mask (bit N for console N) may have changed
 * (a login or a logout): clients whose user no longer owns their console
 * are closed (root's stay), and a selection made on such a console is
 * forgotten and, where that leaves no trace, wiped from the kernel. */
void server_owners_changed(server *s, uint64_t mask);

/* A new client came on descriptor fd: nothing earlier on that number
 * applies to it. */
void server_client_accepted(server *s, int fd);

/* 1 while a client attached to console vc (or one that asked while vc was
 * shown, from console 0) has switched pasting off there. */
int server_paste_off(const server *s, int vc);

/* One record from the input devices. Motion is gathered: the records of one
 * round of reading that only move the pointer are handled together, as one
 * motion to the last cell (their deltas summed), when a record of another
 * kind comes or at server_input_done. */
void server_input(server *s, const input_event *ev);

/* The records read in one round are all in: the motion gathered is handled
 * (drawn once, one record to clients). */
void server_input_done(server *s);

/* The resize watch fired: the size of the console shown is asked again, and
 * clients are told when it changed. */
void server_size_noticed(server *s);

/* A client's socket is readable: serves one record. Returns 0 when the
 * client is gone (removed, its socket closed), 1 otherwise. */
int server_client_ready(server *s, int fd);

/* Hides the pointer and lets go of the console; the server's own memory. */
void server_detach_console(server *s);

/* 1 when some device present has a middle button. */
int server_three_buttons(const server *s);

#endif /* MOXD_SERVER_H */
