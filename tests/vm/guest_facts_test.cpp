// Runs inside the amd64 test guest (tests/vm/run-vm.sh guest): the kernel's
// console selection, mouse reporting, resizing, switching and display modes,
// and input devices seen through evdev and libinput's udev backend, checked
// straight against the kernel, with the guest support library doing the
// work. The console mouse server relies on every one of these.
#include "guest.h"

#include <gtest/gtest.h>
#include <libinput.h>
#include <linux/kd.h>
#include <linux/keyboard.h>
#include <linux/tiocl.h>

#include <cerrno>
#include <cstdlib>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

// Every wait is bounded by this; the guest answers in milliseconds, but
// software emulation on a busy machine can be slow.
constexpr int STEP_MS = 5000;
// A wait that is meant to run out.
constexpr int QUIET_MS = 300;
constexpr int COLS = 80, ROWS = 25;
constexpr char TEXT[] = "alpha beta gamma\nsecond line here\n";

// Console 1 active, in text mode, at the usual size, blank but for text.
void fresh_console(int vc, const char *text = TEXT)
{
    ASSERT_TRUE(console_switch(vc));
    ASSERT_TRUE(console_set_mode(vc, KD_TEXT));
    int cols = 0, rows = 0;
    ASSERT_TRUE(console_size(vc, &cols, &rows));
    if (cols != COLS || rows != ROWS) {
        ASSERT_TRUE(console_resize(COLS, ROWS));
    }
    ASSERT_TRUE(console_clear(vc));
    ASSERT_TRUE(console_write(vc, text));
}

std::string right_trimmed(std::string s)
{
    std::string out;
    size_t start = 0;
    for (size_t end; start <= s.size(); start = end + 1) {
        end = s.find('\n', start);
        if (end == std::string::npos)
            end = s.size();
        std::string line = s.substr(start, end - start);
        line.erase(line.find_last_not_of(' ') + 1);
        out += (start == 0 ? "" : "\n") + line;
    }
    return out;
}

// A new device of that kind (named name, or by default), once libinput has
// announced it: its DEVICE_ADDED event in *added.
bool plug(li_watch *w, vdev *d, vdev_kind kind, const char *name, li_event *added)
{
    return vdev_create(d, kind, name) &&
           li_wait(w, LIBINPUT_EVENT_DEVICE_ADDED, d->name.c_str(), added, STEP_MS);
}

std::string report(int button, int x, int y)
{
    return std::string("\033[M") + static_cast<char>(32 + button) + static_cast<char>(32 + x) +
           static_cast<char>(32 + y);
}

// ---- the console -------------------------------------------------------------------

TEST(ConsoleFacts, ScreenReadsBackWhatWasWritten)
{
    fresh_console(1);
    screen s;
    ASSERT_TRUE(screen_read(1, &s));
    EXPECT_EQ(s.cols, COLS);
    EXPECT_EQ(s.rows, ROWS);
    EXPECT_EQ(right_trimmed(s.text[0]), "alpha beta gamma");
    EXPECT_EQ(right_trimmed(s.text[1]), "second line here");
    EXPECT_EQ(screen_char(s, 7, 1), 'b');
    EXPECT_EQ(s.cursor_x, 1);
    EXPECT_EQ(s.cursor_y, 3);
    EXPECT_EQ(screen_attr(s, 1, 1), ATTR_NORMAL);
    EXPECT_TRUE(screen_inverted(s).empty());
}

struct selection_row {
    const char *name;
    int mode, xs, ys, xe, ye;
    const char *highlighted; // trailing blanks of each row dropped
    const char *pasted;
};

TEST(ConsoleFacts, SelectionHighlightsAndPastes)
{
    const selection_row rows[] = {
        {"characters", TIOCL_SELCHAR, 1, 1, 5, 1, "alpha", "alpha"},
        {"characters backwards", TIOCL_SELCHAR, 5, 1, 1, 1, "alpha", "alpha"},
        {"a word", TIOCL_SELWORD, 8, 1, 8, 1, "beta", "beta"},
        {"a line", TIOCL_SELLINE, 3, 2, 3, 2, "second line here", "second line here\r"},
        {"across rows", TIOCL_SELCHAR, 7, 1, 6, 2, "beta gamma\nsecond", "beta gamma\rsecond"},
    };
    for (const selection_row &r : rows) {
        SCOPED_TRACE(r.name);
        fresh_console(1);
        console_app app;
        ASSERT_TRUE(app_start(&app, 1, false));
        ASSERT_TRUE(sel_set(1, r.xs, r.ys, r.xe, r.ye, r.mode)) << strerror(errno);
        screen s;
        ASSERT_TRUE(screen_read(1, &s));
        EXPECT_EQ(right_trimmed(screen_inverted_text(s)), r.highlighted);
        // The kernel's selection swaps the colours of each cell it covers.
        EXPECT_EQ(screen_attr(s, r.xs, r.ys), 0x70);
        ASSERT_TRUE(sel_paste(1)) << strerror(errno);
        EXPECT_TRUE(app_wait_for(&app, r.pasted, STEP_MS)) << "read: " << app.got;
        EXPECT_TRUE(app_wait_bytes(&app, strlen(r.pasted) + 1, QUIET_MS) == false)
            << "more than the selection: " << app.got;
        EXPECT_TRUE(app_stop(&app));
    }
}

TEST(ConsoleFacts, PointerDrawsOneCellAndClearHidesIt)
{
    fresh_console(1);
    screen s;
    ASSERT_TRUE(sel_set(1, 3, 2, 3, 2, TIOCL_SELPOINTER));
    ASSERT_TRUE(screen_read(1, &s));
    EXPECT_EQ(screen_inverted(s), (std::vector<cell>{{3, 2}}));
    // Drawn elsewhere, the old cell comes back as it was.
    ASSERT_TRUE(sel_set(1, 40, 10, 40, 10, TIOCL_SELPOINTER));
    ASSERT_TRUE(screen_read(1, &s));
    EXPECT_EQ(screen_inverted(s), (std::vector<cell>{{40, 10}}));
    ASSERT_TRUE(sel_set(1, 0, 0, 0, 0, TIOCL_SELCLEAR));
    ASSERT_TRUE(screen_read(1, &s));
    EXPECT_TRUE(screen_inverted(s).empty());
}

TEST(ConsoleFacts, ScreenWaitWakesOnEachChange)
{
    fresh_console(1);
    // Drawn by the predicate itself between two reads: the change notice
    // stays raised until the next read.
    int calls = 0;
    screen s;
    EXPECT_TRUE(screen_wait(
        1,
        [&calls](const screen &now) {
            if (++calls == 1)
                return !sel_set(1, 5, 5, 5, 5, TIOCL_SELPOINTER);
            return screen_inverted(now) == std::vector<cell>{{5, 5}};
        },
        &s, STEP_MS));
    EXPECT_EQ(calls, 2);

    // Drawn by another process while the wait sleeps in poll.
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    pid_t drawer = fork();
    if (drawer == 0) {
        char c;
        _exit(read(go[0], &c, 1) == 1 && sel_set(1, 6, 6, 6, 6, TIOCL_SELPOINTER) ? 0 : 1);
    }
    ASSERT_GT(drawer, 0);
    calls = 0;
    EXPECT_TRUE(screen_wait(
        1,
        [&](const screen &now) {
            if (++calls == 1)
                return write(go[1], "g", 1) != 1;
            return screen_inverted(now) == std::vector<cell>{{6, 6}};
        },
        &s, STEP_MS));
    int status = 0;
    waitpid(drawer, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    close(go[0]);
    close(go[1]);
    // A condition that never holds ends the wait at its limit.
    EXPECT_FALSE(screen_wait(
        1, [](const screen &) { return false; }, &s, QUIET_MS));
    EXPECT_EQ(screen_inverted(s), (std::vector<cell>{{6, 6}}));
    ASSERT_TRUE(sel_set(1, 0, 0, 0, 0, TIOCL_SELCLEAR));
}

TEST(ConsoleFacts, PointerOverSelectionCancelsItsCell)
{
    fresh_console(1);
    ASSERT_TRUE(sel_set(1, 1, 1, 5, 1, TIOCL_SELCHAR));
    ASSERT_TRUE(sel_set(1, 3, 1, 3, 1, TIOCL_SELPOINTER));
    screen s;
    ASSERT_TRUE(screen_read(1, &s));
    EXPECT_EQ(screen_inverted(s), (std::vector<cell>{{1, 1}, {2, 1}, {4, 1}, {5, 1}}));
    // Moving the pointer away shows the whole selection again.
    ASSERT_TRUE(sel_set(1, 1, 20, 1, 20, TIOCL_SELPOINTER));
    ASSERT_TRUE(screen_read(1, &s));
    EXPECT_EQ(screen_inverted_text(s), "alpha\n ");
    ASSERT_TRUE(sel_set(1, 0, 0, 0, 0, TIOCL_SELCLEAR));
}

TEST(ConsoleFacts, MouseReportReachesTheApplication)
{
    fresh_console(1);
    console_app app;
    ASSERT_TRUE(app_start(&app, 1, true));
    EXPECT_NE(sel_mouse_reporting(1), 0);
    // b: 0 left, 1 middle, 2 right, 3 release.
    for (int b = 0; b <= 3; b++) {
        SCOPED_TRACE(b);
        app.got.clear();
        ASSERT_TRUE(sel_set(1, 3, 2, 3, 2, TIOCL_SELMOUSEREPORT + b)) << strerror(errno);
        EXPECT_TRUE(app_wait_for(&app, report(b, 3, 2), STEP_MS)) << "read: " << app.got;
    }
    // A report leaves the screen as it was.
    screen s;
    ASSERT_TRUE(screen_read(1, &s));
    EXPECT_TRUE(screen_inverted(s).empty());
    EXPECT_TRUE(app_stop(&app));
    EXPECT_EQ(sel_mouse_reporting(1), 0);
}

TEST(ConsoleFacts, NoReportingUnlessTheApplicationAsks)
{
    fresh_console(1);
    console_app app;
    ASSERT_TRUE(app_start(&app, 1, false));
    EXPECT_EQ(sel_mouse_reporting(1), 0);
    EXPECT_TRUE(app_stop(&app));
}

TEST(ConsoleFacts, ShiftStateAnswersInTheSubcodeByte)
{
    fresh_console(1);
    // No key is held: a subcode left in place would read as 6.
    EXPECT_EQ(sel_shift_state(1), 0);
}

TEST(ConsoleFacts, ShiftHeldOnQemusKeyboardShowsInTheShiftState)
{
    std::string node = input_node_by_name(QEMU_KEYBOARD, STEP_MS);
    ASSERT_FALSE(node.empty()) << "no \"" << QEMU_KEYBOARD << "\"";
    evdev_reader r;
    ASSERT_TRUE(evdev_open(&r, node));
    // Held long enough for the check below on a slow machine.
    ASSERT_TRUE(qemu_hold_key("shift", 1500));
    // The console's keyboard handler has seen the key by the time evdev
    // hands it out: both get it in the same pass.
    ASSERT_TRUE(evdev_wait_key(&r, KEY_LEFTSHIFT, 1, STEP_MS));
    EXPECT_EQ(sel_shift_state(1), 1 << KG_SHIFT);
    ASSERT_TRUE(evdev_wait_key(&r, KEY_LEFTSHIFT, 0, STEP_MS));
    EXPECT_EQ(sel_shift_state(1), 0);
    evdev_close(&r);
}

TEST(ConsoleFacts, ResizeReachesEveryConsole)
{
    fresh_console(1);
    ASSERT_TRUE(console_resize(90, 30)) << strerror(errno);
    for (int vc : {0, 1, 2}) {
        SCOPED_TRACE(vc);
        int cols = 0, rows = 0;
        ASSERT_TRUE(console_size(vc, &cols, &rows));
        EXPECT_EQ(cols, 90);
        EXPECT_EQ(rows, 30);
    }
    screen s;
    ASSERT_TRUE(screen_read(1, &s));
    EXPECT_EQ(s.cols, 90);
    EXPECT_EQ(s.rows, 30);
    ASSERT_TRUE(console_resize(COLS, ROWS));
    int cols = 0, rows = 0;
    ASSERT_TRUE(console_size(1, &cols, &rows));
    EXPECT_EQ(cols, COLS);
    EXPECT_EQ(rows, ROWS);
}

TEST(ConsoleFacts, SwitchingMovesTheSelectionToTheNewConsole)
{
    fresh_console(1);
    fresh_console(2, "on the second console\n");
    EXPECT_EQ(console_active(), 2);
    ASSERT_TRUE(sel_set(2, 1, 1, 2, 1, TIOCL_SELCHAR));
    screen s1, s2;
    ASSERT_TRUE(screen_read(2, &s2));
    ASSERT_TRUE(screen_read(1, &s1));
    EXPECT_EQ(screen_inverted_text(s2), "on");
    EXPECT_TRUE(screen_inverted(s1).empty());
    ASSERT_TRUE(sel_set(2, 0, 0, 0, 0, TIOCL_SELCLEAR));
    ASSERT_TRUE(console_switch(1));
    EXPECT_EQ(console_active(), 1);
}

TEST(ConsoleFacts, GraphicsModeIsPerConsole)
{
    fresh_console(1);
    ASSERT_TRUE(console_set_mode(2, KD_GRAPHICS)) << strerror(errno);
    EXPECT_EQ(console_mode(2), KD_GRAPHICS);
    EXPECT_EQ(console_mode(1), KD_TEXT);
    ASSERT_TRUE(console_set_mode(2, KD_TEXT));
    EXPECT_EQ(console_mode(2), KD_TEXT);
}

// ---- the runner ----------------------------------------------------------------------

TEST(RunnerFacts, FilesAndEnvironmentArePassedIn)
{
    // guest.cmake names a program and a folder of this build and a setting.
    EXPECT_EQ(access(GUEST_HELPER_PATH, X_OK), 0) << GUEST_HELPER_PATH;
    EXPECT_EQ(access(GUEST_SUPPORT_DIR "/guest.h", R_OK), 0) << GUEST_SUPPORT_DIR;
    const char *setting = getenv("MOX_GUEST_SETTING");
    EXPECT_STREQ(setting ? setting : "(none)", "passed in");
    EXPECT_EQ(getuid(), 0u);
    EXPECT_TRUE(guest_inside());
}

// ---- other users ----------------------------------------------------------------------

TEST(UserFacts, NobodyOpensOnlyTheConsoleItOwns)
{
    fresh_console(1);
    struct stat before;
    ASSERT_EQ(stat("/dev/tty2", &before), 0);
    ASSERT_TRUE(console_chown(2, NOBODY_UID, NOGROUP_GID));
    int result = run_as(NOBODY_UID, NOGROUP_GID, [] {
        if (getuid() != NOBODY_UID)
            return 1;
        int own = open("/dev/tty2", O_RDWR | O_NOCTTY);
        if (own < 0)
            return 2;
        close(own);
        int other = open("/dev/tty3", O_RDWR | O_NOCTTY);
        if (other >= 0)
            return 3;
        return errno == EACCES ? 0 : 4;
    });
    EXPECT_EQ(result, 0) << "1 wrong user, 2 own console refused, 3 other console opened, "
                            "4 other refusal";
    // A console program of that user, likewise.
    console_app app;
    EXPECT_TRUE(app_start(&app, 2, false, NOBODY_UID));
    EXPECT_TRUE(app_stop(&app));
    errno = 0;
    EXPECT_FALSE(app_start(&app, 3, false, NOBODY_UID));
    EXPECT_EQ(errno, EACCES);
    ASSERT_TRUE(console_chown(2, before.st_uid, before.st_gid));
}

TEST(UserFacts, RunAsGivesTheResultAndCatchesAHang)
{
    EXPECT_EQ(run_as(NOBODY_UID, NOGROUP_GID, [] { return 7; }), 7);
    EXPECT_EQ(run_as(
                  NOBODY_UID, NOGROUP_GID,
                  [] {
                      pause();
                      return 0;
                  },
                  QUIET_MS),
              -1);
}

// ---- programs under test ------------------------------------------------------------------

TEST(ProcFacts, StartWatchSignalStop)
{
    guest_proc p;
    ASSERT_TRUE(proc_start(&p, {GUEST_HELPER_PATH}));
    std::string line;
    ASSERT_TRUE(proc_wait_line(&p, "helper ready", STEP_MS, PROC_ERR, &line)) << p.err;
    EXPECT_NE(line.find("uid=0"), std::string::npos) << line;
    EXPECT_TRUE(proc_wait_line(&p, "helper output", STEP_MS, PROC_OUT));
    for (int sig : {SIGUSR1, SIGUSR2, SIGUSR1}) {
        SCOPED_TRACE(sig);
        ASSERT_TRUE(proc_signal(&p, sig));
        EXPECT_TRUE(proc_wait_line(&p, "got signal " + std::to_string(sig), STEP_MS)) << p.err;
    }
    // A line already matched is not matched again.
    EXPECT_FALSE(proc_wait_line(&p, "helper ready", QUIET_MS));
    int status = proc_stop(&p, STEP_MS);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_NE(p.err.find("stopping\n"), std::string::npos) << p.err;
    EXPECT_FALSE(proc_signal(&p, SIGUSR1));
}

TEST(ProcFacts, ExitStatusKillAndOtherUser)
{
    guest_proc p;
    ASSERT_TRUE(proc_start(&p, {GUEST_HELPER_PATH, "--exit", "3"}));
    ASSERT_TRUE(proc_wait_exit(&p, STEP_MS));
    EXPECT_TRUE(WIFEXITED(p.status) && WEXITSTATUS(p.status) == 3) << p.status;

    guest_proc stubborn;
    ASSERT_TRUE(proc_start(&stubborn, {GUEST_HELPER_PATH, "--ignore-term"}));
    ASSERT_TRUE(proc_wait_line(&stubborn, "helper ready", STEP_MS));
    ASSERT_TRUE(proc_signal(&stubborn, SIGTERM));
    ASSERT_TRUE(proc_wait_line(&stubborn, "got signal 15", STEP_MS)) << stubborn.err;
    // It outlives SIGTERM: proc_stop ends it with SIGKILL.
    int status = proc_stop(&stubborn, QUIET_MS);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;

    guest_proc nobody;
    ASSERT_TRUE(proc_start(&nobody, {GUEST_HELPER_PATH}, NOBODY_UID));
    EXPECT_TRUE(proc_wait_line(&nobody, "uid=65534", STEP_MS)) << nobody.err;
    proc_stop(&nobody, STEP_MS);

    guest_proc missing;
    ASSERT_TRUE(proc_start(&missing, {"/nonexistent/program"}));
    ASSERT_TRUE(proc_wait_exit(&missing, STEP_MS));
    EXPECT_TRUE(WIFEXITED(missing.status) && WEXITSTATUS(missing.status) == 127);
    EXPECT_NE(missing.err.find("exec /nonexistent/program"), std::string::npos) << missing.err;
}

// ---- input devices ---------------------------------------------------------------------------

TEST(InputFacts, UinputMouseThroughLibinput)
{
    li_watch w;
    ASSERT_TRUE(li_open(&w));
    vdev mouse;
    li_event e;
    ASSERT_TRUE(plug(&w, &mouse, VDEV_MOUSE, nullptr, &e));
    EXPECT_TRUE(e.pointer);
    EXPECT_EQ(e.tap_fingers, 0);

    ASSERT_TRUE(vdev_move(&mouse, 10, 0));
    ASSERT_TRUE(li_wait(&w, LIBINPUT_EVENT_POINTER_MOTION, mouse.name.c_str(), &e, STEP_MS));
    EXPECT_GT(e.dx, 0);
    EXPECT_EQ(e.dy, 0);
    ASSERT_TRUE(vdev_move(&mouse, 0, -10));
    ASSERT_TRUE(li_wait(&w, LIBINPUT_EVENT_POINTER_MOTION, mouse.name.c_str(), &e, STEP_MS));
    EXPECT_EQ(e.dx, 0);
    EXPECT_LT(e.dy, 0);

    for (unsigned button : {BTN_LEFT, BTN_MIDDLE, BTN_RIGHT}) {
        SCOPED_TRACE(button);
        for (bool down : {true, false}) {
            ASSERT_TRUE(vdev_button(&mouse, button, down));
            ASSERT_TRUE(
                li_wait(&w, LIBINPUT_EVENT_POINTER_BUTTON, mouse.name.c_str(), &e, STEP_MS));
            EXPECT_EQ(e.button, button);
            EXPECT_EQ(e.pressed, down);
        }
    }

    struct wheel_row {
        int vertical, horizontal;
        double want_v, want_h;
    };
    // One detent is 120; libinput counts down and right as positive.
    for (const wheel_row &r : {wheel_row{-1, 0, 120, 0}, wheel_row{1, 0, -120, 0},
                               wheel_row{0, 1, 0, 120}, wheel_row{0, -2, 0, -240}}) {
        SCOPED_TRACE(std::to_string(r.vertical) + "," + std::to_string(r.horizontal));
        ASSERT_TRUE(vdev_wheel(&mouse, r.vertical, r.horizontal));
        ASSERT_TRUE(
            li_wait(&w, LIBINPUT_EVENT_POINTER_SCROLL_WHEEL, mouse.name.c_str(), &e, STEP_MS));
        EXPECT_EQ(e.wheel_v, r.want_v);
        EXPECT_EQ(e.wheel_h, r.want_h);
    }

    vdev_destroy(&mouse);
    EXPECT_TRUE(li_wait(&w, LIBINPUT_EVENT_DEVICE_REMOVED, mouse.name.c_str(), &e, STEP_MS));
    li_close(&w);
}

TEST(InputFacts, HotPlugMidDragAndAnotherDevice)
{
    li_watch w;
    ASSERT_TRUE(li_open(&w));
    vdev first, second;
    li_event e;
    ASSERT_TRUE(plug(&w, &first, VDEV_MOUSE, "mox first mouse", &e));
    ASSERT_TRUE(vdev_button(&first, BTN_LEFT, true));
    ASSERT_TRUE(li_wait(&w, LIBINPUT_EVENT_POINTER_BUTTON, "mox first mouse", &e, STEP_MS));
    ASSERT_TRUE(vdev_move(&first, 5, 5));
    ASSERT_TRUE(li_wait(&w, LIBINPUT_EVENT_POINTER_MOTION, "mox first mouse", &e, STEP_MS));
    // Unplugged with the button held: libinput itself releases the button
    // before it reports the device gone.
    vdev_destroy(&first);
    ASSERT_TRUE(li_wait(&w, LIBINPUT_EVENT_POINTER_BUTTON, "mox first mouse", &e, STEP_MS));
    EXPECT_EQ(e.button, static_cast<uint32_t>(BTN_LEFT));
    EXPECT_FALSE(e.pressed);
    EXPECT_TRUE(li_wait(&w, LIBINPUT_EVENT_DEVICE_REMOVED, "mox first mouse", &e, STEP_MS));

    ASSERT_TRUE(plug(&w, &second, VDEV_MOUSE, "mox second mouse", &e));
    ASSERT_TRUE(vdev_click(&second, BTN_RIGHT));
    ASSERT_TRUE(li_wait(&w, LIBINPUT_EVENT_POINTER_BUTTON, "mox second mouse", &e, STEP_MS));
    EXPECT_EQ(e.button, static_cast<uint32_t>(BTN_RIGHT));
    vdev_destroy(&second);
    li_close(&w);
}

TEST(InputFacts, AbsolutePointerSpansTheRange)
{
    li_watch w;
    ASSERT_TRUE(li_open(&w));
    vdev tablet;
    li_event e;
    ASSERT_TRUE(plug(&w, &tablet, VDEV_TABLET, nullptr, &e));
    EXPECT_TRUE(e.pointer);
    struct abs_row {
        int x, y;
        double want_x, want_y;
    };
    const double span = LI_ABS_SPAN;
    for (const abs_row &r :
         {abs_row{VDEV_ABS_MAX / 2, VDEV_ABS_MAX / 4, span / 2, span / 4}, abs_row{0, 0, 0, 0},
          abs_row{VDEV_ABS_MAX, VDEV_ABS_MAX, span, span}, abs_row{VDEV_ABS_MAX, 0, span, 0}}) {
        SCOPED_TRACE(std::to_string(r.x) + "," + std::to_string(r.y));
        ASSERT_TRUE(vdev_move_to(&tablet, r.x, r.y));
        ASSERT_TRUE(
            li_wait(&w, LIBINPUT_EVENT_POINTER_MOTION_ABSOLUTE, tablet.name.c_str(), &e, STEP_MS));
        EXPECT_NEAR(e.x, r.want_x, 1.0);
        EXPECT_NEAR(e.y, r.want_y, 1.0);
    }
    ASSERT_TRUE(vdev_click(&tablet, BTN_LEFT));
    ASSERT_TRUE(li_wait(&w, LIBINPUT_EVENT_POINTER_BUTTON, tablet.name.c_str(), &e, STEP_MS));
    EXPECT_EQ(e.button, static_cast<uint32_t>(BTN_LEFT));
    vdev_destroy(&tablet);
    li_close(&w);
}

TEST(InputFacts, TouchpadMovesAndScrolls)
{
    li_watch w;
    ASSERT_TRUE(li_open(&w));
    vdev pad;
    li_event e;
    ASSERT_TRUE(plug(&w, &pad, VDEV_TOUCHPAD, nullptr, &e));
    EXPECT_TRUE(e.pointer);
    EXPECT_EQ(e.tap_fingers, 3);

    // One finger 20 mm to the right.
    ASSERT_TRUE(vdev_swipe(&pad, 1, 200, 300, 400, 300, 20));
    ASSERT_TRUE(li_wait(&w, LIBINPUT_EVENT_POINTER_MOTION, pad.name.c_str(), &e, STEP_MS));
    EXPECT_GT(e.dx, 0);
    ASSERT_TRUE(vdev_lift(&pad));

    // Two fingers upwards: finger scrolling (natural scrolling is off, so
    // the content moves down: a negative value).
    ASSERT_TRUE(vdev_swipe(&pad, 2, 300, 500, 300, 250, 25));
    ASSERT_TRUE(li_wait(&w, LIBINPUT_EVENT_POINTER_SCROLL_FINGER, pad.name.c_str(), &e, STEP_MS));
    EXPECT_LT(e.wheel_v, 0);
    ASSERT_TRUE(vdev_lift(&pad));
    vdev_destroy(&pad);
    li_close(&w);
}

TEST(InputFacts, QemuPs2MouseThroughTheMonitor)
{
    std::string node = input_node_by_name(QEMU_PS2_MOUSE, STEP_MS);
    ASSERT_FALSE(node.empty()) << "no \"" << QEMU_PS2_MOUSE << "\"";
    evdev_reader r;
    ASSERT_TRUE(evdev_open(&r, node));
    // The runner carries out mouse and key commands only: were this one
    // carried out, the guest would end here and every later check with it.
    ASSERT_TRUE(guest_monitor("quit"));
    ASSERT_TRUE(qemu_mouse_move(10, 0));
    EXPECT_EQ(evdev_sum_rel(&r, REL_X, 10, STEP_MS), 10);
    ASSERT_TRUE(qemu_mouse_move(0, 7));
    EXPECT_EQ(evdev_sum_rel(&r, REL_Y, 7, STEP_MS), 7);
    // QEMU's wheel: a positive step is up, one detent away from the user.
    ASSERT_TRUE(qemu_mouse_move(0, 0, 1));
    EXPECT_EQ(evdev_sum_rel(&r, REL_WHEEL, 1, STEP_MS), 1);
    ASSERT_TRUE(qemu_mouse_move(0, 0, -1));
    EXPECT_EQ(evdev_sum_rel(&r, REL_WHEEL, -1, STEP_MS), -1);
    struct button_row {
        int mask;
        unsigned code;
    };
    for (const button_row &b :
         {button_row{1, BTN_LEFT}, button_row{2, BTN_RIGHT}, button_row{4, BTN_MIDDLE}}) {
        SCOPED_TRACE(b.mask);
        ASSERT_TRUE(qemu_mouse_buttons(b.mask));
        EXPECT_TRUE(evdev_wait_key(&r, b.code, 1, STEP_MS));
        ASSERT_TRUE(qemu_mouse_buttons(0));
        EXPECT_TRUE(evdev_wait_key(&r, b.code, 0, STEP_MS));
    }
    evdev_close(&r);
}

TEST(InputFacts, QemuPs2MouseThroughLibinput)
{
    li_watch w;
    ASSERT_TRUE(li_open(&w));
    li_event e;
    // Present since boot: announced when the context starts.
    ASSERT_TRUE(li_wait(&w, LIBINPUT_EVENT_DEVICE_ADDED, QEMU_PS2_MOUSE, &e, STEP_MS));
    EXPECT_TRUE(e.pointer);
    ASSERT_TRUE(qemu_mouse_move(20, 0));
    ASSERT_TRUE(li_wait(&w, LIBINPUT_EVENT_POINTER_MOTION, QEMU_PS2_MOUSE, &e, STEP_MS));
    EXPECT_GT(e.dx, 0);
    ASSERT_TRUE(qemu_mouse_buttons(1));
    ASSERT_TRUE(li_wait(&w, LIBINPUT_EVENT_POINTER_BUTTON, QEMU_PS2_MOUSE, &e, STEP_MS));
    EXPECT_EQ(e.button, static_cast<uint32_t>(BTN_LEFT));
    EXPECT_TRUE(e.pressed);
    ASSERT_TRUE(qemu_mouse_buttons(0));
    ASSERT_TRUE(li_wait(&w, LIBINPUT_EVENT_POINTER_BUTTON, QEMU_PS2_MOUSE, &e, STEP_MS));
    EXPECT_FALSE(e.pressed);
    li_close(&w);
}

TEST(InputFacts, MonitorRefusesWhatIsNotOneLine)
{
    EXPECT_FALSE(guest_monitor(""));
    EXPECT_FALSE(guest_monitor("mouse_move 1 1\nquit"));
    EXPECT_FALSE(guest_monitor(std::string(500, 'x')));
}

} // namespace
