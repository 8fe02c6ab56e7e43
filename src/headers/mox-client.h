/* mox-client.h: libmox-client, the client side of the /dev/moxctl protocol.
 *
 * A program attaches to a virtual console with one Mox_Connect record and then
 * reads the Mox_Event records the server routes to it:
 *
 *     Mox_Connect rec;
 *     mox_connection conn;
 *     Mox_Event ev;
 *     if (mox_connect_defaults(&rec) < 0 && errno != ENOTTY)
 *         fail();                       // ENOTTY: no console found, vc is 0
 *     if (mox_open(&conn, &rec, NULL, 0) != MOX_OK)
 *         fail();
 *     while (mox_read_event(&conn, &ev) == MOX_OK)
 *         use(&ev);                     // MOX_END: the server closed
 *     mox_close(&conn);
 *
 * Results are small integers: MOX_OK (1) for success, MOX_END (0) when the
 * server ended the stream, MOX_ERROR (-1) for a failure with errno set, and
 * MOX_AGAIN (-2) when no whole record is there yet (errno EAGAIN, or
 * ETIMEDOUT for a wait that ran out). Nothing here keeps hidden state: every
 * function works on the records it is given, and a program may hold any number
 * of connections. Every descriptor is close-on-exec; every send is either
 * whole or reported as failed, and never raises SIGPIPE. */
#ifndef MOX_CLIENT_LIBRARY_H
#define MOX_CLIENT_LIBRARY_H

#include "mox.h"

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Results of the functions below. */
#define MOX_OK 1
#define MOX_END 0
#define MOX_ERROR (-1)
#define MOX_AGAIN (-2)

/* Flags of mox_open. */
#define MOX_NONBLOCK 1 /* mox_open does not wait, and the socket stays non-blocking */

/* One connection to the server. All fields may be read; only the functions
 * below change them. fd is the socket to watch for POLLIN in the caller's own
 * poll loop. held counts the bytes of an event that has only partly arrived;
 * they wait in part until the rest comes. Because no more than one record is
 * ever taken from the socket at a time, a whole record never waits here: poll
 * on fd tells the whole truth about what can be read. */
typedef struct mox_connection {
    int fd;                                /* connected socket; -1 when closed */
    uint32_t held;                         /* bytes of part in use, 0 to 27 */
    unsigned char part[sizeof(Mox_Event)]; /* the start of a partly read event */
} mox_connection;

/* Fills *rec with what suits a typical program: events MOX_MOVE, MOX_DRAG,
 * MOX_DOWN and MOX_UP; default handling MOX_MOVE | MOX_HARD, so the server
 * still draws the pointer for the moves the program receives, while every
 * press, release and drag it receives is its own; any modifiers (minMod 0,
 * maxMod 0xFFFF); this process's pid (the one the server signals with SIGWINCH
 * when the console is resized); and the console of mox_terminal_console.
 * Returns MOX_OK; or MOX_ERROR with errno ENOTTY when the calling terminal is
 * no virtual console, *rec being filled all the same with vc 0; or MOX_ERROR
 * with errno EINVAL for a null rec. */
int mox_connect_defaults(Mox_Connect *rec);

/* The virtual console (1 to 63) of the calling terminal: the first of standard
 * input, output and error that is a virtual console device /dev/ttyN, else the
 * process's controlling terminal when that is one. Nothing is opened but
 * /proc/self/stat, and no terminal is written to or controlled. Returns N, or
 * MOX_ERROR with errno ENOTTY when none of them is a virtual console. */
int mox_terminal_console(void);

/* Connects *conn to the control socket at path (CONTROL_SOCKET_PATH when path
 * is null) and, when rec is not null, sends rec as the first record, which
 * attaches the program to console rec->vc. With rec null only the connection
 * is made, and the caller sends the first record itself with mox_send. flags
 * is 0 or MOX_NONBLOCK. With flags 0 the connect waits, without a limit, while
 * the server's queue of connections it has not accepted yet is full. With
 * MOX_NONBLOCK nothing waits: the connect, the first record and every later
 * call on the socket are non-blocking, and a full queue fails at once with
 * errno EAGAIN (no connection stays in progress; try again later). Returns
 * MOX_OK with conn->fd open; or MOX_ERROR with errno set (from socket or
 * connect, from the send, or EINVAL for a null conn or unknown flags,
 * ENAMETOOLONG for a path too long for a socket address, ENOENT for an empty
 * one), conn->fd being -1 then. The server does not answer an attachment: a
 * refused program (a console outside 0 to 64, or one its user does not own)
 * sees the stream end at its first read. */
int mox_open(mox_connection *conn, const Mox_Connect *rec, const char *path, int flags);

/* Takes the next event from the stream into *ev, whole: from a blocking
 * socket it waits until all 28 bytes are there, retrying reads that a signal
 * interrupted; from a non-blocking socket it keeps the bytes that have come
 * in conn and asks again later. Returns MOX_OK with *ev set; MOX_END when the
 * server closed the connection (or refused the program); MOX_AGAIN with errno
 * EAGAIN when a non-blocking socket has no whole record yet; MOX_ERROR with
 * errno set when the read failed: EPROTO when the stream ended inside a record
 * (those bytes are dropped), ECONNRESET when the server closed the connection
 * without reading all the program had sent (as when it refuses a program that
 * sent more than its first record), EBADF for a closed connection.
 * *ev is only written on MOX_OK. */
int mox_read_event(mox_connection *conn, Mox_Event *ev);

/* As mox_read_event, waiting at most timeout_ms milliseconds for the whole
 * record (-1: no limit), on a blocking or a non-blocking socket alike. Returns
 * MOX_AGAIN with errno ETIMEDOUT when the time ran out first; the bytes that
 * came meanwhile stay in conn. */
int mox_wait_event(mox_connection *conn, Mox_Event *ev, int timeout_ms);

/* Sends one 16-byte record as it is: the first record after mox_open with a
 * null rec, a replacement, or a request. Returns MOX_OK when all 16 bytes went
 * out, else MOX_ERROR with errno set (EPIPE once the server has gone, EAGAIN
 * when a non-blocking socket has no room for the whole record). A record is
 * never left half sent on a working connection: when the rest of one cannot
 * follow its start, the sending side is shut, so the server reads a broken
 * record and the end rather than later records out of step. */
int mox_send(mox_connection *conn, const Mox_Connect *rec);

/* Replaces the program's whole record at the server: new masks and pid; the
 * console stays the one attached to, whatever rec->vc says. rec->pid must not
 * be 0, which would make the record a request: that gives MOX_ERROR with errno
 * EINVAL and nothing is sent. Otherwise as mox_send. */
int mox_replace(mox_connection *conn, const Mox_Connect *rec);

/* Sends request code (REQ_STATE, REQ_BUTTON_COUNT or REQ_NO_PASTE). Results
 * as mox_send.
 *
 * The server answers REQ_STATE and REQ_BUTTON_COUNT with one Mox_Event in the
 * same stream as the events, where it stands after every event the server
 * had routed to the program before it read the request. Nothing in the record
 * marks it as an answer: its type is the button count, 2 or 3, which is also
 * how a drag looks. So the answer is the next record read only when no event
 * can be routed to the program meanwhile (its eventMask is 0); otherwise ask
 * with mox_query, which cannot be mistaken. In a state
 * answer, vc is the console on screen, modifiers the modifier state, x, y,
 * buttons and clicks the pointer's state, dx and dy the console's columns and
 * rows, and type the button count; margin, wdx and wdy are 0. A button-count
 * answer sets type and repeats the other fields of the server's last state
 * answer, to whichever client that went. REQ_NO_PASTE and unknown codes get
 * no answer. */
int mox_request(mox_connection *conn, int32_t code);

/* Asks the server request code on a connection of its own, so the answer
 * cannot be confused with an event: that connection attaches like attach (to
 * console attach->vc with attach->pid; the same admission rules apply) but
 * with masks that no event ever fits, sends the request, waits for the
 * answer when code is REQ_STATE or REQ_BUTTON_COUNT, and closes. All of it,
 * the connect included, takes at most timeout_ms milliseconds (-1: no limit),
 * rounded up to the kernel's clock tick. path as in mox_open. Returns MOX_OK
 * (*answer set when an answer was due); MOX_END when the server closed the
 * connection without answering (it refused the attachment); MOX_AGAIN with
 * errno ETIMEDOUT when no answer came in time, or the server's queue of
 * connections stayed full all that time; MOX_ERROR with errno set on a
 * failure. */
int mox_query(const char *path, const Mox_Connect *attach, int32_t code, Mox_Event *answer,
              int timeout_ms);

/* Closes the connection: the server sees the stream end and drops the
 * program. conn->fd becomes -1 and held 0. Returns MOX_OK, or MOX_ERROR with
 * errno EBADF when it was not open (EINVAL for a null conn). */
int mox_close(mox_connection *conn);

#ifdef __cplusplus
}
#endif

#endif /* MOX_CLIENT_LIBRARY_H */
