/* mox.h: the records of the /dev/moxctl client protocol.
 *
 * A client program connects to CONTROL_SOCKET_PATH (a Unix stream socket)
 * and writes 16-byte Mox_Connect records; the server writes 28-byte
 * Mox_Event records back. There is no header, length, magic or version:
 * every record is read and written whole, in the layout pinned below
 * (little-endian, no padding), on every build. */
#ifndef MOX_H
#define MOX_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifdef __cplusplus
#define MOX_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define MOX_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "the client protocol records travel in little-endian byte order"
#endif

#define CONTROL_SOCKET_PATH "/dev/moxctl"

/* Event kinds, the bits of Mox_Event.type and of the client's masks. */
typedef enum Mox_Etype {
    MOX_MOVE = 1,
    MOX_DRAG = 2,
    MOX_DOWN = 4,
    MOX_UP = 8,
    MOX_SINGLE = 16,
    MOX_DOUBLE = 32,
    MOX_TRIPLE = 64,
    MOX_MFLAG = 128,
    MOX_HARD = 256, /* in defaultMask: a delivered event may still go on to the server */
    MOX_ENTER = 512,
    MOX_LEAVE = 1024
} Mox_Etype;

/* Screen margins the pointer touches, the bits of Mox_Event.margin. */
typedef enum Mox_Margin { MOX_TOP = 1, MOX_BOT = 2, MOX_LFT = 4, MOX_RGT = 8 } Mox_Margin;

/* Bits of Mox_Event.buttons: the buttons held once the event has happened. */
enum {
    MOX_BUTTON_RIGHT = 1,
    MOX_BUTTON_MIDDLE = 2,
    MOX_BUTTON_LEFT = 4,
    MOX_BUTTON_SIDE = 8,  /* back, or a fourth button */
    MOX_BUTTON_EXTRA = 16 /* forward, or a fifth button */
};

/* Request codes, carried in Mox_Connect.vc of a record whose pid is 0. */
enum {
    REQ_STATE = 0,        /* answered with one Mox_Event: console state */
    REQ_BUTTON_COUNT = 1, /* answered with one Mox_Event: type = 2 or 3 */
    REQ_NO_PASTE = 3      /* switches pasting off; no answer */
};

/* Client to server, 16 bytes. The first record on a connection attaches the
 * client to console vc; a later one replaces it when pid is non-zero, and is
 * a request (code in vc) when pid is 0. */
typedef struct Mox_Connect {
    uint16_t eventMask;   /* Mox_Etype kinds the client wants delivered */
    uint16_t defaultMask; /* kinds the server's default handling still gets */
    uint16_t minMod;      /* modifier bits that must all be held */
    uint16_t maxMod;      /* modifier bits that may be held */
    int32_t pid;          /* process signalled on resize; 0 = request */
    int32_t vc;           /* console 0..64, or the request code */
} Mox_Connect;

MOX_STATIC_ASSERT(sizeof(Mox_Connect) == 16, "Mox_Connect is 16 bytes");
MOX_STATIC_ASSERT(offsetof(Mox_Connect, eventMask) == 0, "eventMask at 0");
MOX_STATIC_ASSERT(offsetof(Mox_Connect, defaultMask) == 2, "defaultMask at 2");
MOX_STATIC_ASSERT(offsetof(Mox_Connect, minMod) == 4, "minMod at 4");
MOX_STATIC_ASSERT(offsetof(Mox_Connect, maxMod) == 6, "maxMod at 6");
MOX_STATIC_ASSERT(offsetof(Mox_Connect, pid) == 8, "pid at 8");
MOX_STATIC_ASSERT(offsetof(Mox_Connect, vc) == 12, "vc at 12");

/* Server to client, 28 bytes: one mouse event, or the answer to a request
 * (then dx, dy carry the console size and type the button count). */
typedef struct Mox_Event {
    uint8_t buttons;   /* button state */
    uint8_t modifiers; /* keyboard modifier state */
    uint16_t vc;       /* console number */
    int16_t dx;        /* horizontal change */
    int16_t dy;        /* vertical change */
    int16_t x;         /* pointer column */
    int16_t y;         /* pointer row */
    uint32_t type;     /* Mox_Etype bits */
    int32_t clicks;    /* click count */
    uint32_t margin;   /* Mox_Margin bits */
    int16_t wdx;       /* wheel, horizontal */
    int16_t wdy;       /* wheel, vertical */
} Mox_Event;

MOX_STATIC_ASSERT(sizeof(Mox_Event) == 28, "Mox_Event is 28 bytes");
MOX_STATIC_ASSERT(offsetof(Mox_Event, buttons) == 0, "buttons at 0");
MOX_STATIC_ASSERT(offsetof(Mox_Event, modifiers) == 1, "modifiers at 1");
MOX_STATIC_ASSERT(offsetof(Mox_Event, vc) == 2, "vc at 2");
MOX_STATIC_ASSERT(offsetof(Mox_Event, dx) == 4, "dx at 4");
MOX_STATIC_ASSERT(offsetof(Mox_Event, dy) == 6, "dy at 6");
MOX_STATIC_ASSERT(offsetof(Mox_Event, x) == 8, "x at 8");
MOX_STATIC_ASSERT(offsetof(Mox_Event, y) == 10, "y at 10");
MOX_STATIC_ASSERT(offsetof(Mox_Event, type) == 12, "type at 12");
MOX_STATIC_ASSERT(offsetof(Mox_Event, clicks) == 16, "clicks at 16");
MOX_STATIC_ASSERT(offsetof(Mox_Event, margin) == 20, "margin at 20");
MOX_STATIC_ASSERT(offsetof(Mox_Event, wdx) == 24, "wdx at 24");
MOX_STATIC_ASSERT(offsetof(Mox_Event, wdy) == 26, "wdy at 26");

#ifdef __cplusplus
}
#endif

#endif /* MOX_H */
