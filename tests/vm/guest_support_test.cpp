// The guest support library's own logic, on the build host: decoding
// /dev/vcsa screens, finding the cells drawn inverted, and the check that
// keeps every device function away from any machine but the test guest.
// Nothing here opens a device.
#include "guest.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

constexpr uint8_t INV = 0x70; // ATTR_NORMAL with its colours swapped

// The bytes /dev/vcsaN would give for rows of text (padded with blanks) and
// the cells given as inverted.
std::vector<uint8_t> vcsa(int cols, const std::vector<std::string> &rows,
                          const std::vector<cell> &inverted = {}, int cx = 0, int cy = 0)
{
    std::vector<uint8_t> b = {static_cast<uint8_t>(rows.size()), static_cast<uint8_t>(cols),
                              static_cast<uint8_t>(cx), static_cast<uint8_t>(cy)};
    for (size_t y = 0; y < rows.size(); y++) {
        for (int x = 0; x < cols; x++) {
            char c =
                static_cast<size_t>(x) < rows[y].size() ? rows[y][static_cast<size_t>(x)] : ' ';
            bool inv = false;
            for (const cell &i : inverted)
                inv = inv || (i.x == x + 1 && i.y == static_cast<int>(y) + 1);
            b.push_back(static_cast<uint8_t>(c));
            b.push_back(inv ? INV : ATTR_NORMAL);
        }
    }
    return b;
}

screen parsed(const std::vector<uint8_t> &b)
{
    screen s;
    EXPECT_TRUE(screen_parse(b.data(), b.size(), &s));
    return s;
}

TEST(GuestScreen, ParsesHeaderCellsAndCursor)
{
    screen s = parsed(vcsa(6, {"ab", "cdef", ""}, {}, 4, 1));
    EXPECT_EQ(s.rows, 3);
    EXPECT_EQ(s.cols, 6);
    EXPECT_EQ(s.cursor_x, 5);
    EXPECT_EQ(s.cursor_y, 2);
    EXPECT_EQ(s.text[1], "cdef  ");
    EXPECT_EQ(screen_char(s, 1, 1), 'a');
    EXPECT_EQ(screen_char(s, 4, 2), 'f');
    EXPECT_EQ(screen_attr(s, 6, 3), ATTR_NORMAL);
    struct outside {
        int x, y;
    };
    for (outside o : {outside{0, 1}, outside{1, 0}, outside{7, 1}, outside{1, 4}}) {
        SCOPED_TRACE(std::to_string(o.x) + "," + std::to_string(o.y));
        EXPECT_EQ(screen_char(s, o.x, o.y), '\0');
        EXPECT_EQ(screen_attr(s, o.x, o.y), -1);
    }
}

TEST(GuestScreen, RefusesShortOrEmptyInput)
{
    std::vector<uint8_t> whole = vcsa(4, {"abcd", "efgh"});
    struct row {
        const char *name;
        std::vector<uint8_t> bytes;
    };
    std::vector<uint8_t> cut(whole.begin(), whole.end() - 1);
    const row rows[] = {
        {"nothing", {}},           {"header only", {2, 4, 0, 0}}, {"one byte short", cut},
        {"no rows", {0, 4, 0, 0}}, {"no columns", {2, 0, 0, 0}},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        screen s;
        s.rows = 99;
        EXPECT_FALSE(screen_parse(r.bytes.data(), r.bytes.size(), &s));
        EXPECT_EQ(s.rows, 0);
    }
}

TEST(GuestScreen, InvertedCellsAndTheirText)
{
    screen s =
        parsed(vcsa(8, {"alpha be", "second", "third"}, {{7, 1}, {8, 1}, {1, 2}, {2, 2}, {3, 3}}));
    EXPECT_EQ(screen_inverted(s), (std::vector<cell>{{7, 1}, {8, 1}, {1, 2}, {2, 2}, {3, 3}}));
    EXPECT_EQ(screen_inverted_text(s), "be\nse\ni");
    EXPECT_TRUE(screen_inverted(parsed(vcsa(3, {"abc"}))).empty());
    EXPECT_EQ(screen_inverted_text(parsed(vcsa(3, {"abc"}))), "");
}

TEST(GuestScreen, InversionSwapsColoursOnly)
{
    struct row {
        uint8_t attr, normal;
        bool inverted;
    };
    const row rows[] = {
        {0x70, 0x07, true}, {0x07, 0x07, false}, {0x77, 0x07, false},
        {0x96, 0xe1, true}, {0x1e, 0xe1, false}, {0x9e, 0x99, false},
        {0xf8, 0x8f, true}, {0x00, 0x00, false}, // nothing to swap: never taken for inverted
    };
    for (const row &r : rows) {
        SCOPED_TRACE(std::to_string(r.attr) + " over " + std::to_string(r.normal));
        EXPECT_EQ(attr_inverted(r.attr, r.normal), r.inverted);
    }
}

TEST(GuestScreen, RenderMarksInvertedRunsAndTrimsRows)
{
    screen s = parsed(vcsa(10, {"alpha beta", "x", "", "ab"}, {{7, 1}, {8, 1}, {3, 2}, {4, 2}}));
    EXPECT_EQ(screen_render(s, "[", "]"), "alpha [be]ta\nx [  ]\n\nab\n");
    EXPECT_EQ(screen_render(s), "alpha \033[7mbe\033[27mta\nx \033[7m  \033[27m\n\nab\n");
}

// ---- the guest check -----------------------------------------------------------

TEST(GuestCheck, BuildHostIsNotTheGuest)
{
    EXPECT_FALSE(guest_inside());
    // The same check guards every function that touches a device; these two
    // would do no harm here even without it.
    guest_proc p;
    errno = 0;
    EXPECT_FALSE(proc_start(&p, {"/bin/true"}));
    EXPECT_EQ(errno, EPERM);
    vdev d;
    errno = 0;
    EXPECT_FALSE(vdev_create(&d, VDEV_MOUSE));
    EXPECT_EQ(errno, EPERM);
    EXPECT_EQ(run_as(NOBODY_UID, NOGROUP_GID, [] { return 0; }), -1);
}

bool write_text(const char *path, const char *text)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    ssize_t len = static_cast<ssize_t>(strlen(text));
    bool ok = write(fd, text, static_cast<size_t>(len)) == len;
    close(fd);
    return ok;
}

// In a child in a private mount namespace: a tmpfs over /run and, when
// cmdline is given, a file bound over /proc/cmdline. Exit status: 0 guest,
// 1 not the guest, 77 namespace or mounts not available.
int check_in_namespace(bool marker, const char *cmdline)
{
    pid_t pid = fork();
    if (pid == 0) {
        if (geteuid() != 0 || unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0)
            _exit(77);
        if (marker && !write_text("/run/mox-guest", "test\n"))
            _exit(77);
        if (cmdline != nullptr &&
            (!write_text("/run/cmdline", cmdline) ||
             mount("/run/cmdline", "/proc/cmdline", nullptr, MS_BIND, nullptr) != 0))
            _exit(77);
        _exit(guest_inside() ? 0 : 1);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

TEST(GuestCheck, NeedsBothTheMarkerAndTheKernelWord)
{
    struct row {
        const char *name;
        bool marker;
        const char *cmdline;
        int want;
    };
    const row rows[] = {
        {"marker and word", true, "console=ttyS0 mox.guest=1\n", 0},
        {"word first", true, "mox.guest=1 quiet\n", 0},
        {"marker alone", true, nullptr, 1},
        {"word alone", false, "console=ttyS0 mox.guest=1\n", 1},
        {"word with another value", true, "mox.guest=10\n", 1},
        {"word inside another", true, "xmox.guest=1\n", 1},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        int got = check_in_namespace(r.marker, r.cmdline);
        if (got == 77)
            GTEST_SKIP() << "needs root and a private mount namespace";
        EXPECT_EQ(got, r.want);
    }
}

} // namespace
