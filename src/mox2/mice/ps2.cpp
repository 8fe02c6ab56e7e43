#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <termios.h>
#include <unistd.h>

#include "mox2-daemon.h"

namespace
{

/* PS/2 mouse commands. The mouse acknowledges each command byte with ACK;
 * a reset is followed, once the self-test ends, by the test result (0xAA)
 * and the device id (0x00 for a standard mouse); identify is followed by the
 * id alone. */
constexpr uint8_t PS2_CMD_RESET = 0xFF;
constexpr uint8_t PS2_CMD_GET_ID = 0xF2;

/* Time given to the device after the exchange before its input is flushed. */
constexpr useconds_t SETTLE_DELAY_US = 30000;

/* A mouse answers a command within milliseconds; one that has not answered
 * within a second is not going to, and the run must not hang on it. */
constexpr int REPLY_TIMEOUT_MS = 1000;
/* A packet only comes when the mouse moves or a button changes: give the
 * user a few seconds. */
constexpr int PACKET_TIMEOUT_MS = 5000;

/* Standard 3-byte packet. Byte 0: bit 0 left, bit 1 right, bit 2 middle,
 * bit 3 always set, bits 4-5 sign of X/Y, bits 6-7 overflow. Bytes 1 and 2
 * are the X and Y movement. Only the button bits are looked at here. */
constexpr size_t PS2_PACKET_LEN = 3;
constexpr uint8_t PS2_BTN_LEFT = 0x01;
constexpr uint8_t PS2_BTN_RIGHT = 0x02;
constexpr uint8_t PS2_BTN_MIDDLE = 0x04;

/* One read of up to len bytes that waits at most timeout_ms for the device
 * to become readable. A time-out counts as a failed read (-1). An invalid
 * descriptor goes straight to read, which fails at once: poll would ignore
 * a negative descriptor and sleep for the whole time-out instead. */
ssize_t read_within(int fd, void *buf, size_t len, int timeout_ms)
{
    if (fd >= 0) {
        struct pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, timeout_ms) <= 0)
            return -1;
    }
    return read(fd, buf, len);
}

void send_byte(int fd, uint8_t byte)
{
    ssize_t written = write(fd, &byte, 1);
    (void) written;
}

} // namespace

/* Reset and identify, printing each reply byte as it is read. ibuf keeps its
 * last value across a failed read; it starts at 0 so that a read that got
 * nothing prints 0. */
int mox2_open_ps2(int fd)
{
    uint8_t obuf;
    uint8_t ibuf = 0;

    obuf = PS2_CMD_RESET;
    send_byte(fd, obuf);
    (void) read_within(fd, &ibuf, 1, REPLY_TIMEOUT_MS);
    printf("RX: %#hhx\n", ibuf);

    obuf = PS2_CMD_GET_ID;
    send_byte(fd, obuf);
    (void) read_within(fd, &ibuf, 1, REPLY_TIMEOUT_MS);
    printf("ST: %#hhx\n", ibuf);

    (void) read_within(fd, &ibuf, 1, REPLY_TIMEOUT_MS);
    printf("DI: %#hhx\n", ibuf);

    usleep(SETTLE_DELAY_US);
    /* Drop reply bytes still queued so that they are not taken for the
     * packet. The kernel's /dev/psaux is no terminal and refuses this
     * (ENOTTY); it discards stale replies on each new command itself. */
    (void) tcflush(fd, TCIFLUSH);
    return 0;
}

/* Reads one packet (a short read leaves the rest zero) and writes one line
 * per button held, left, right, middle, straight to descriptor 1. */
int mox2_decode_ps2(int fd)
{
    uint8_t packet[PS2_PACKET_LEN] = {0, 0, 0};
    (void) read_within(fd, packet, sizeof packet, PACKET_TIMEOUT_MS);

    if (packet[0] & PS2_BTN_LEFT)
        mini_printf("left!\n", 1);
    if (packet[0] & PS2_BTN_RIGHT)
        mini_printf("right!\n", 1);
    if (packet[0] & PS2_BTN_MIDDLE)
        mini_printf("middle!\n", 1);
    return 1;
}
