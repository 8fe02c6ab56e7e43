/* mox2-daemon: shared declarations of the new-generation mouse daemon. */
#ifndef MOX2_DAEMON_H
#define MOX2_DAEMON_H

/* The daemon's option record; one instance, `opts`, serves the process. */
struct mox2_options {
    const char *cconfig; /* configuration directory; never owns heap memory */
};

extern mox2_options opts;

/* Start-up steps, called once each by main in this order. Each yields
 * non-zero to go on and 0 to stop the run with exit status 1. */
void set_defaults(void);
int commandline(int argc, char **argv);
int read_config(const char *cconfig);
int mice_handler(void);

/* Writes the usage text to descriptor 1. */
void usage(void);

/* Writes the NUL-terminated `str` to `fd` in one unbuffered write; a null
 * `str` writes nothing, an empty one issues a zero-length write. */
void mini_printf(const char *str, int fd);

/* PS/2 dialogue on an open /dev/psaux descriptor: reset and identify the
 * mouse, printing each reply byte (always yields 0); then read one packet
 * and print the buttons it shows down (always yields 1). */
int mox2_open_ps2(int fd);
int mox2_decode_ps2(int fd);

#endif
