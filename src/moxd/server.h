/* server.h: moxd's state and what it does with each input record, client
 * and console change. The main loop (main.cpp) owns the descriptors and
 * calls these; everything the console sees goes through vt.h. */
#ifndef MOXD_SERVER_H
#define MOXD_SERVER_H

#include "cells.h"
#include "clicks.h"
#include "handling.h"
#include "input.h"

#include <cstdint>

constexpr int BUTTON_BITS = 8;

struct server {
    int ctl_fd;   /* /dev/tty0, for asking which console is shown */
    int watch_fd; /* sysfs file naming the console shown, or -1 */
    int con_vc;   /* the console shown, 0 when unknown */
    int con_fd;   /* its tty, for the console operations, or -1 */
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
    int wheel_reports;     /* the wheel may be reported to console programs */
};

/* Starts with no console; cell size and click window as given. */
void server_init(server *s, int cell_w, int cell_h, uint32_t click_window_ms);

/* Takes the console control device and, when given, the sysfs watch, and
 * learns which console is shown and its size. */
void server_attach_console(server *s, int ctl_fd, int watch_fd);

/* Another console may be shown now (the watch fired): follows it, draws the
 * pointer there and tells clients when the size differs. */
void server_console_changed(server *s);

/* One record from the input devices. */
void server_input(server *s, const input_event *ev);

/* A client's socket is readable: serves one record. Returns 0 when the
 * client is gone (removed, its socket closed), 1 otherwise. */
int server_client_ready(server *s, int fd);

/* Hides the pointer and lets go of the console. */
void server_detach_console(server *s);

/* 1 when some device present has a middle button. */
int server_three_buttons(const server *s);

#endif /* MOXD_SERVER_H */
