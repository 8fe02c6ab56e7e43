/* install_client.c: the least client program, built against an installed
 * tree with nothing but the C compiler and pkg-config's flags for
 * mox-client. It runs without privileges: the library it loads fills a
 * default record and reports a missing control socket as an error.
 *   install_client MISSING_SOCKET_PATH
 * Exit 0 on success, 1 on a failure. */
#include <mox/mox-client.h>

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    Mox_Connect rec;
    mox_connection conn;
    int r, err;

    if (argc != 2) {
        fprintf(stderr, "usage: install_client MISSING_SOCKET_PATH\n");
        return 1;
    }
    /* ENOTTY: this terminal is no virtual console, and vc is 0 */
    r = mox_connect_defaults(&rec);
    if (!(r == MOX_OK || (r == MOX_ERROR && errno == ENOTTY)) || rec.pid != (int32_t) getpid()) {
        fprintf(stderr, "mox_connect_defaults: %d, pid %d\n", r, (int) rec.pid);
        return 1;
    }
    memset(&conn, 0xAD, sizeof conn);
    r = mox_open(&conn, &rec, argv[1], 0);
    err = errno;
    if (r != MOX_ERROR || err != ENOENT || conn.fd != -1) {
        fprintf(stderr, "mox_open on %s: %d, %s, fd %d\n", argv[1], r, strerror(err), conn.fd);
        return 1;
    }
    printf("ok: mox_open on %s: %s\n", argv[1], strerror(err));
    return 0;
}
