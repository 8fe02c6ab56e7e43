// The guest half of ./scripts/demo.sh: moxd at work on a real Linux console
// inside the amd64 test guest. It writes some text on console 1, starts the
// server and an example client, drives a virtual mouse and tablet as a hand
// would, and prints what a person at the console would see: the screen (the
// selection and the pointer in reverse video), the text a middle click
// pasted, and the records the client program received.

#include <cstdio>
#include <cstring>
#include <linux/input-event-codes.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "guest.h"

namespace
{

constexpr int COLS = 80;
constexpr int ROWS = 25;
constexpr int WAIT_MS = 8000;
constexpr int SHOWN_ROWS = 6;
constexpr int BUTTON_GAP_MS = 60; // a hand's click, beyond libinput's bounce filter

const char *const TEXT[] = {
    "Welcome to the Linux console.",
    "moxd gives it a mouse: point, select, paste.",
    "Programs ask /dev/moxctl for mouse events.",
};

vdev g_tablet, g_mouse;

int tablet_value(int cell, int n)
{
    return static_cast<int>(((cell - 1) * 2 + 1) * (VDEV_ABS_MAX + 1L) / (2L * n));
}

bool point(int x, int y)
{
    return vdev_move_to(&g_tablet, tablet_value(x, COLS), tablet_value(y, ROWS));
}

void pause_ms(int ms)
{
    (void) poll(nullptr, 0, ms);
}

bool press(unsigned code, bool down)
{
    bool ok = vdev_button(&g_tablet, code, down);
    pause_ms(BUTTON_GAP_MS);
    return ok;
}

bool click(unsigned code)
{
    return press(code, true) && press(code, false);
}

// Waits until the screen shows what ok says, then prints its first rows.
bool show(const char *caption, bool (*ok)(const screen &))
{
    screen s;
    bool seen = screen_wait(1, ok, &s, WAIT_MS);
    std::string text = screen_render(s);
    printf("\n%s\n", caption);
    int row = 0;
    size_t at = 0;
    while (row < SHOWN_ROWS && at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        printf("  | %s\n", text.substr(at, end - at).c_str());
        at = end + 1;
        row++;
    }
    if (!seen)
        printf("  (not seen within %d ms)\n", WAIT_MS);
    return seen;
}

int fail(const char *what)
{
    fprintf(stderr, "moxd_demo: %s\n", what);
    return 1;
}

} // namespace

int main()
{
    if (!guest_inside()) {
        fprintf(stderr, "moxd_demo runs only inside the test guest (./scripts/demo.sh)\n");
        return 77;
    }
    if (!console_resize(COLS, ROWS) || !console_switch(1) || !console_clear(1))
        return fail("cannot prepare console 1");
    for (const char *line : TEXT)
        if (!console_write(1, std::string(line) + "\n"))
            return fail("cannot write on console 1");
    if (!vdev_create(&g_mouse, VDEV_MOUSE, "demo mouse") ||
        !vdev_create(&g_tablet, VDEV_TABLET, "demo tablet"))
        return fail("cannot make the virtual devices");

    printf("== moxd on console 1 of a real Linux kernel (amd64, under QEMU)\n");
    guest_proc server;
    if (!proc_start(&server, {MOXD_PATH, "--log-level", "trace"}) ||
        !proc_wait_line(&server, "listening on /dev/moxctl", WAIT_MS))
        return fail("moxd did not start");
    std::string line;
    for (const char *name : {"demo mouse", "demo tablet"}) {
        server.err_seen = 0;
        if (!proc_wait_line(&server, std::string("pointing device added: ") + name, WAIT_MS,
                            PROC_ERR, &line))
            return fail("moxd did not take the virtual devices");
    }
    printf("moxd started; among its devices: the virtual mouse and tablet, and QEMU's own\n"
           "PS/2 mouse (%s)\n",
           QEMU_PS2_MOUSE);

    // A program on console 1 that wants presses and releases, and leaves
    // every event to the server too, so that selecting still works.
    guest_proc client;
    if (!proc_start(&client, {MOX_CLIENT_PATH, "--name", "client", "--vc", "1", "--events",
                              "down,up", "--default", "move,drag,down,up,hard", "--request",
                              "buttons", "--timeout", "30000"}) ||
        !proc_wait_line(&client, "[client] answer to buttons", WAIT_MS, PROC_OUT))
        return fail("the example client was not admitted");
    printf("mox-client attached to console 1 (presses and releases, all left to the server "
           "too)\n");

    point(20, 1);
    show("The tablet puts the pointer on column 20, row 1:", [](const screen &s) {
        return screen_inverted(s) == std::vector<cell>{{20, 1}};
    });

    point(16, 1);
    pause_ms(BUTTON_GAP_MS);
    press(BTN_LEFT, true);
    point(28, 1);
    press(BTN_LEFT, false);
    show("Pressed on \"Linux\", dragged to the end of \"console\", released: the selection",
         [](const screen &s) { return screen_inverted_text(s) == "Linux console"; });

    console_app app;
    if (!app_start(&app, 1, false))
        return fail("cannot start the reader on console 1");
    click(BTN_MIDDLE);
    app_wait_for(&app, "Linux console", WAIT_MS);
    printf("\nA middle click pasted into the console's input (as read by a program there):\n"
           "  \"%s\"\n",
           app.got.c_str());

    point(18, 2);
    pause_ms(BUTTON_GAP_MS);
    click(BTN_LEFT);
    click(BTN_LEFT);
    show("A double click on \"mouse\" selects the word:",
         [](const screen &s) { return screen_inverted_text(s) == "mouse"; });

    point(4, 3);
    pause_ms(BUTTON_GAP_MS);
    click(BTN_LEFT);
    click(BTN_LEFT);
    click(BTN_LEFT);
    show("A triple click selects the whole line:",
         [](const screen &s) { return screen_inverted(s).size() == static_cast<size_t>(COLS); });
    app.got.clear();
    click(BTN_MIDDLE);
    app_wait_for(&app, "events.", WAIT_MS);
    printf("\nPasted: \"%s\" (a line ends in a carriage return)\n",
           std::string(app.got).replace(app.got.find('\r'), 1, "\\r").c_str());
    app_stop(&app);

    int status = proc_stop(&server, WAIT_MS);
    struct stat st;
    bool socket_gone = stat("/dev/moxctl", &st) != 0;
    screen after;
    bool hidden = screen_read(1, &after) && screen_inverted(after).empty();
    proc_wait_exit(&client, WAIT_MS);
    printf("\nWhat the client program printed (one line per record it received):\n");
    size_t at = 0;
    while (at < client.out.size()) {
        size_t end = client.out.find('\n', at);
        if (end == std::string::npos)
            end = client.out.size();
        printf("  %s\n", client.out.substr(at, end - at).c_str());
        at = end + 1;
    }
    printf("\nSIGTERM: moxd ended with status %d, /dev/moxctl %s, the pointer and the\n"
           "highlight %s.\n",
           WIFEXITED(status) ? WEXITSTATUS(status) : -1, socket_gone ? "removed" : "STILL THERE",
           hidden ? "gone from the screen" : "STILL ON THE SCREEN");
    vdev_destroy(&g_mouse);
    vdev_destroy(&g_tablet);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 && socket_gone && hidden ? 0 : 1;
}
