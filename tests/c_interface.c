/* c_interface.c: a server written in C. It includes every public header,
 * links client.o with the C compiler alone and drives one client through the
 * control socket: admission, a request, one routed event, closing.
 * Exit 0 on success, 77 when no private /dev can be had, 1 on a failure. */
#define _GNU_SOURCE
#include <errno.h>
#include <poll.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "argsift.h"
#include "client.h"
#include "console.h"
#include "mox-client.h"
#include "mox.h"
#include "moxInt.h"

#include "c_host.h"
#include "c_check.h"

static int connect_control(void)
{
    struct sockaddr_un addr;
    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    if (s < 0)
        return -1;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, CONTROL_SOCKET_PATH);
    if (connect(s, (struct sockaddr *) &addr, sizeof addr) != 0) {
        close(s);
        return -1;
    }
    return s;
}

static int read_event(int fd, Mox_Event *ev)
{
    struct pollfd p;
    p.fd = fd;
    p.events = POLLIN;
    p.revents = 0;
    return poll(&p, 1, 2000) == 1 && read(fd, ev, sizeof *ev) == (ssize_t) sizeof *ev;
}

static void exercise_client(void)
{
    Mox_Connect hello = {MOX_MOVE | MOX_DOWN, 0, 0, 0xFF, 0, 1};
    Mox_Connect req = {0, 0, 0, 0, 0, REQ_STATE};
    Mox_Event ev, got;
    client_info *ci;
    int lfd, s;

    hello.pid = (int32_t) getpid();
    lfd = listen_for_clients();
    CHECK(lfd >= 0);
    s = connect_control();
    CHECK(s >= 0);
    CHECK(write(s, &hello, sizeof hello) == (ssize_t) sizeof hello);
    ci = accept_client_connection(lfd);
    CHECK(ci != NULL && cinfo[1] == ci);
    if (ci == NULL)
        return;
    CHECK(c_host_owner_calls == 0); /* we run as root of the namespace */
    CHECK(strncmp(c_host_last_report, "Pid ", 4) == 0);

    /* A state request: console 7, modifiers 1, size 80 by 25, three buttons. */
    CHECK(write(s, &req, sizeof req) == (ssize_t) sizeof req);
    CHECK(process_client_request(ci, 1, 3, 4, 1, 0, 1) == 1);
    CHECK(read_event(s, &got));
    CHECK(got.vc == 7 && got.modifiers == 1 && got.dx == 80 && got.dy == 25);
    CHECK(got.x == 3 && got.y == 4 && got.buttons == 1 && got.type == 3);

    /* One routed event. */
    memset(&ev, 0, sizeof ev);
    ev.type = MOX_DOWN;
    ev.buttons = 4;
    ev.vc = 1;
    CHECK(do_client(cinfo[1], &ev) == 1);
    CHECK(read_event(s, &got));
    CHECK(memcmp(&got, &ev, sizeof ev) == 0);

    /* The client leaves. */
    close(s);
    CHECK(process_client_request(ci, 1, 0, 0, 0, 0, 1) == 0);
    CHECK(strcmp(c_host_last_report, "Closing") == 0);
    remove_client(ci, 1);
    CHECK(cinfo[1] == NULL);
    close(lfd);
}

#if defined(MOX_HAVE_ARGSIFT) && MOX_HAVE_ARGSIFT
/* The option-string parser, linked into the same C server, as a protocol
 * driver would call it: the table is built with C initialisers. */
static void exercise_argsift(void)
{
    int dpi = -1;
    int swap = 0;
    char *dev = NULL;
    option_helper table[] = {
        {"dpi", OPT_DEC, {.iptr = &dpi}, 0, 0},
        {"swap", OPT_BOOL, {.iptr = &swap}, 1, 0},
        {"dev", OPT_STRING, {.sptr = &dev}, 0, 0},
        {NULL, OPT_END, {NULL}, 0, 0},
    };
    CHECK(parse_options("c-proto", "dpi=400,swap,dev=/dev/ttyS0", ',', table) == 3);
    CHECK(dpi == 400 && swap == 1);
    CHECK(dev != NULL && strcmp(dev, "/dev/ttyS0") == 0);
    CHECK(is_option_present(table, "swap") == 1);
    free(dev);

    int before = c_host_reports;
    CHECK(check_no_options("c-proto", "rate=5", ',') == 0);
    CHECK(c_host_reports == before + 2);
    CHECK(strcmp(c_host_last_report, "c_host: Continuing despite errors in option parsing") == 0);
}
#endif

int main(void)
{
    if (!private_dev())
        return 77;
    exercise_client();
#if defined(MOX_HAVE_ARGSIFT) && MOX_HAVE_ARGSIFT
    exercise_argsift();
#endif
    if (failures != 0) {
        fprintf(stderr, "%d check(s) failed\n", failures);
        return 1;
    }
    printf("ok\n");
    return 0;
}
