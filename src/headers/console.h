/* console.h: the server's view of the text console. */
#ifndef MOX_CONSOLE_H
#define MOX_CONSOLE_H

#ifdef __cplusplus
extern "C" {
#endif

typedef struct mox_console {
    const char *device;  /* console device path */
    const char *charset; /* character set name */
    int max_x;           /* columns */
    int max_y;           /* rows */
} mox_console;

extern mox_console console;

#ifdef __cplusplus
}
#endif

#endif /* MOX_CONSOLE_H */
