// moxd as an administrator meets it on the command line: help, version,
// refusals with one clear line and status 1. Runs the real program, but only
// where it cannot reach a console: before its checks let it near one, or in
// a private /dev that has none.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "devns.h"
#include "mox.h"
#include "procs.h"
#include "wire.h"

namespace
{

bool g_ns_ok = false;
std::string g_ns_why;
constexpr uid_t NOBODY = 65534;

struct outcome {
    int status; // exit status, or -1
    std::string text;
};

outcome run(const std::vector<std::string> &args, uid_t uid = 0)
{
    std::vector<std::string> argv = {MOXD_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    proc p = proc_spawn(argv, false, uid);
    int st = proc_finish(p);
    return {st >= 0 && WIFEXITED(st) ? WEXITSTATUS(st) : -1, p.text};
}

int count_lines(const std::string &text)
{
    int n = 0;
    for (char c : text)
        n += c == '\n';
    return n;
}

TEST(MoxdCommandLine, HelpVersionAndMistakes)
{
    outcome help = run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.text.find("usage: moxd [options]"), std::string::npos) << help.text;
    EXPECT_NE(help.text.find("--click-time MS"), std::string::npos);

    outcome version = run({"-V"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.text, std::string("moxd ") + MOXD_VERSION + "\n");

    const struct {
        std::vector<std::string> args;
        const char *says;
    } mistakes[] = {
        {{"--bogus"}, "unrecognized option '--bogus'"},
        {{"--click-time", "0"}, "moxd: --click-time takes 1 to 5000 milliseconds, not \"0\""},
        {{"--click-time", "12x"}, "not \"12x\""},
        {{"-c", "5001"}, "not \"5001\""},
        {{"--log-level", "loud"}, "moxd: unknown log level \"loud\""},
        {{"stray"}, "moxd: unexpected argument \"stray\""},
        {{"-d"}, "requires an argument"},
        {{"--wheel-reports", "maybe"}, "moxd: wheel-reports is on or off, not \"maybe\""},
        {{"--word-chars", "a b"}, "moxd: word characters are printable ASCII"},
        {{"--config", "/nonexistent/moxd.conf"},
         "moxd: /nonexistent/moxd.conf: No such file or directory\n"},
    };
    for (const auto &m : mistakes) {
        SCOPED_TRACE(m.args[0]);
        outcome o = run(m.args);
        EXPECT_EQ(o.status, 1);
        EXPECT_NE(o.text.find(m.says), std::string::npos) << o.text;
    }
}

// A bad settings file stops the start with one line naming file and line,
// before the server goes near a console.
TEST(MoxdCommandLine, BadSettingsFileIsOneLine)
{
    char path[] = "/tmp/moxd-cli-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0) << strerror(errno);
    const char text[] = "# settings\nseat = seat0\nlog-level = loud\n";
    ASSERT_EQ(write(fd, text, sizeof text - 1), static_cast<ssize_t>(sizeof text - 1));
    close(fd);
    outcome o = run({"--config", path});
    unlink(path);
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.text, std::string("moxd: ") + path + ":3: unknown log level \"loud\"\n");
}

TEST(MoxdCommandLine, NeedsRoot)
{
    if (getuid() != 0)
        GTEST_SKIP() << "needs root to run the server as another user";
    outcome o = run({}, NOBODY);
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.text, "moxd: must run as root: it draws on the consoles, reads the input devices "
                      "and owns /dev/moxctl\n");
}

// In the private /dev: no console device at all.
class MoxdPrivateDev : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        if (!g_ns_ok)
            GTEST_SKIP() << g_ns_why;
        if (getuid() != 0)
            GTEST_SKIP() << "the server checks for root first";
        // The server must never meet a real console from this machine's tests.
        ASSERT_NE(access("/dev/tty0", F_OK), 0) << "a console device in the private /dev";
        ASSERT_EQ(errno, ENOENT);
        unlink(CONTROL_SOCKET_PATH);
    }
};

TEST_F(MoxdPrivateDev, WithoutAConsoleItSaysSoAndLeavesNoSocket)
{
    outcome o = run({"--options", "speed=2,tap,bogus"});
    EXPECT_EQ(o.status, 1);
    // complaints about the settings, then the one line that ends it
    EXPECT_NE(o.text.find("moxd: warning: moxd: Uknown option \"bogus\" for protocol \"libinput\""),
              std::string::npos)
        << o.text;
    EXPECT_NE(o.text.find("moxd: warning: moxd: Invalid argument \"2\" for option \"speed\""),
              std::string::npos)
        << o.text;
    EXPECT_NE(o.text.find("moxd: no virtual console to work on (/dev/tty0: No such file or "
                          "directory)\n"),
              std::string::npos)
        << o.text;
    EXPECT_NE(access(CONTROL_SOCKET_PATH, F_OK), 0) << "no socket without a server";

    outcome quiet = run({"--log-level", "fatal", "--options", "bogus"});
    EXPECT_EQ(quiet.status, 1);
    EXPECT_EQ(count_lines(quiet.text), 1) << quiet.text;
}

TEST_F(MoxdPrivateDev, SecondInstanceDoesNotStealTheSocket)
{
    int first = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(first, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, CONTROL_SOCKET_PATH, sizeof CONTROL_SOCKET_PATH);
    ASSERT_EQ(bind(first, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0) << strerror(errno);
    ASSERT_EQ(listen(first, 5), 0);

    outcome o = run({});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.text, "moxd: another server is already listening on /dev/moxctl; not starting\n");

    // the first server's socket is still the one at the path
    int c = connect_control();
    EXPECT_GE(c, 0) << strerror(errno);
    EXPECT_TRUE(readable(first, 1000));
    if (c >= 0)
        close(c);
    close(first);
    unlink(CONTROL_SOCKET_PATH);

    // a socket file left by a server that died is no reason to refuse
    int stale = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    close(stale);
    outcome o2 = run({});
    EXPECT_EQ(o2.status, 1);
    EXPECT_EQ(o2.text.find("another server"), std::string::npos) << o2.text;
    EXPECT_NE(o2.text.find("no virtual console"), std::string::npos) << o2.text;
    unlink(CONTROL_SOCKET_PATH);
}

} // namespace

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    g_ns_ok = devns_enter(&g_ns_why);
    return RUN_ALL_TESTS();
}
