/* client.h: the client-connection module of the console mouse server.
 *
 * The server's main loop calls listen_for_clients once, then
 * accept_client_connection whenever the listening socket is readable,
 * process_client_request whenever an admitted client's socket is readable
 * (remove_client after a 0), do_client for each mouse event and
 * notify_clients_resize after the console changed size. */
#ifndef MOX_CLIENT_H
#define MOX_CLIENT_H

#include "mox.h"

#ifdef __cplusplus
extern "C" {
#endif

#define LAST_VC 64 /* highest virtual console number with a client stack */

/* One admitted client. Allocated with malloc on admission, owned by cinfo
 * while linked, freed by remove_client (which never closes fd). */
typedef struct client_info {
    Mox_Connect data;         /* the client's current connect record */
    int fd;                   /* its connected socket */
    struct client_info *next; /* the client below it in the stack, or null */
} client_info;

/* One stack per console, top first: the newest client is consulted first. */
extern client_info *cinfo[LAST_VC + 1];

/* Creates CONTROL_SOCKET_PATH afresh (mode 0777) and returns the listening
 * socket. No socket or no bind is fatal. The module also keeps one spare
 * descriptor from the first call on, for accepting when none is left. */
int listen_for_clients(void);

/* Accepts one connection on the listening socket fd, reads the client's first
 * record and admits it by console range, peer credentials, console ownership
 * and the number of clients its user already holds. The wait for a first
 * record is short and its total over time bounded. Returns the new record,
 * already on top of its console's stack, or null when the accept failed or
 * the client was refused (its socket then closed). When the accept failed
 * for want of descriptors, the waiting connection has been closed. */
client_info *accept_client_connection(int fd);

/* Unlinks ci from stack vc (where the caller found it) and frees it. Does
 * nothing when ci is not in that stack or vc is not 0..LAST_VC. */
void remove_client(client_info *ci, int vc);

/* Reads one record from ci's socket and acts on it. vc is the stack in which
 * the caller found ci, or -1 when none holds it (fatal). Returns 1 when
 * handled, 0 when the client closed (its socket is now closed and ci->fd is
 * -1; remove it), -1 on a failed or short read (ci stays linked, its socket
 * open). */
int process_client_request(client_info *ci, int vc, int x, int y, int buttons, int clicks,
                           int three_button_mouse);

/* Offers event to the stack whose top is cinfo. Returns 1 when the event is
 * finished with, 0 when the server's default handling applies to it. */
int do_client(client_info *cinfo, Mox_Event *event);

/* Sends SIGWINCH to the process of every admitted client, console 0 first:
 * to the pid its record names, when that is above 0 and the client's user
 * may signal that process (any, for root). */
void notify_clients_resize(void);

#ifdef __cplusplus
}
#endif

#endif /* MOX_CLIENT_H */
