/* c_mox_client.c: a client program written in C. It includes the library's
 * header as an installed program would, <mox/mox-client.h>, links
 * libmox-client with the C compiler alone, and drives one connection through
 * it against client.o (with the host of c_host.c) in this same process:
 * admission, an event, a request and its answer, a replacement, closing.
 * Exit 0 on success, 77 when no private /dev can be had, 1 on a failure. */
#define _GNU_SOURCE
#include <mox/mox-client.h>

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "client.h"

#include "c_host.h"
#include "c_check.h"

static void exercise(void)
{
    Mox_Connect rec;
    mox_connection conn;
    Mox_Event ev, got;
    client_info *ci;
    int lfd, r;

    r = mox_connect_defaults(&rec);
    CHECK(r == MOX_OK || (r == MOX_ERROR && errno == ENOTTY));
    CHECK(rec.pid == (int32_t) getpid());
    rec.vc = 2;

    lfd = listen_for_clients();
    CHECK(lfd >= 0);
    CHECK(mox_open(&conn, &rec, NULL, MOX_NONBLOCK) == MOX_OK);
    ci = accept_client_connection(lfd);
    CHECK(ci != NULL && cinfo[2] == ci);
    if (ci == NULL)
        return;
    CHECK(memcmp(&ci->data, &rec, sizeof rec) == 0);

    /* Nothing yet, then one routed move. */
    CHECK(mox_read_event(&conn, &got) == MOX_AGAIN && errno == EAGAIN);
    memset(&ev, 0, sizeof ev);
    ev.type = MOX_MOVE;
    ev.vc = 2;
    ev.x = 12;
    ev.wdy = -1;
    /* delivered, and by the default masks the server still draws the pointer */
    CHECK(do_client(cinfo[2], &ev) == 0);
    CHECK(mox_wait_event(&conn, &got, 2000) == MOX_OK);
    CHECK(memcmp(&got, &ev, sizeof ev) == 0);

    /* A button-count request: the host reports console 7, three buttons. */
    CHECK(mox_request(&conn, REQ_BUTTON_COUNT) == MOX_OK);
    CHECK(process_client_request(ci, 2, 0, 0, 0, 0, 1) == 1);
    CHECK(mox_wait_event(&conn, &got, 2000) == MOX_OK);
    CHECK(got.type == 3);

    /* A replacement record, then the program leaves. */
    rec.eventMask = MOX_DOWN;
    CHECK(mox_replace(&conn, &rec) == MOX_OK);
    CHECK(process_client_request(ci, 2, 0, 0, 0, 0, 1) == 1);
    CHECK(ci->data.eventMask == MOX_DOWN);
    CHECK(mox_close(&conn) == MOX_OK && conn.fd == -1);
    CHECK(process_client_request(ci, 2, 0, 0, 0, 0, 1) == 0);
    CHECK(strcmp(c_host_last_report, "Closing") == 0);
    remove_client(ci, 2);
    CHECK(cinfo[2] == NULL);
    close(lfd);
}

int main(void)
{
    if (!private_dev())
        return 77;
    exercise();
    if (failures != 0) {
        fprintf(stderr, "%d check(s) failed\n", failures);
        return 1;
    }
    printf("ok\n");
    return 0;
}
