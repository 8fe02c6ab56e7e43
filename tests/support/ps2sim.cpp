#include "ps2sim.h"

#include "devns.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace
{

constexpr uint8_t PS2_CMD_RESET = 0xFF;
constexpr uint8_t PS2_CMD_GET_ID = 0xF2;
constexpr uint8_t PS2_ACK = 0xFA;
constexpr uint8_t PS2_BAT_OK = 0xAA;
constexpr uint8_t PS2_ID_MOUSE = 0x00;
constexpr uint8_t PS2_PACKET_IDLE = 0x08; // bit 3 is always set in byte 0

// Once the program has ended, its output is drained for at most this long (a
// descendant that kept the pipe open must not hold the caller).
constexpr int DRAIN_AFTER_EXIT_MS = 2000;
// Without a pidfd the end of the program is noticed by polling this often.
constexpr int EXIT_CHECK_MS = 10;

// The first byte of the status pipe tells the parent what failed in the child.
constexpr char SETUP_NO_NAMESPACE = 'N';
constexpr char SETUP_OTHER = 'E';
constexpr char SETUP_PTY = 'P';

long now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

// One end of a stream given to the program: the descriptor the child makes its
// 1 or 2, and the one the parent reads (-1 when the stream is inherited).
struct stream_ends {
    int child = -1;
    int parent = -1;
};

bool open_raw_pty(int *master, int *slave, std::string *why)
{
    *master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (*master < 0) {
        *why = std::string("posix_openpt: ") + strerror(errno);
        return false;
    }
    char name[128];
    if (grantpt(*master) != 0 || unlockpt(*master) != 0 ||
        ptsname_r(*master, name, sizeof name) != 0) {
        *why = std::string("pty slave: ") + strerror(errno);
        close(*master);
        return false;
    }
    *slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    struct termios tio;
    if (*slave < 0 || tcgetattr(*slave, &tio) != 0) {
        *why = std::string("open pty slave: ") + strerror(errno);
        close(*master);
        if (*slave >= 0)
            close(*slave);
        return false;
    }
    // Raw: no echo, no line editing, no CR/NL translation, 8 bits clean.
    cfmakeraw(&tio);
    if (tcsetattr(*slave, TCSANOW, &tio) != 0) {
        *why = std::string("tcsetattr: ") + strerror(errno);
        close(*master);
        close(*slave);
        return false;
    }
    return true;
}

bool open_stream(ps2sim_stream kind, stream_ends *ends, std::string *why)
{
    if (kind == ps2sim_stream::inherit)
        return true;
    if (kind == ps2sim_stream::pipe) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            *why = std::string("pipe: ") + strerror(errno);
            return false;
        }
        ends->parent = fds[0];
        ends->child = fds[1];
        return true;
    }
    return open_raw_pty(&ends->parent, &ends->child, why);
}

void close_fd(int *fd)
{
    if (*fd >= 0)
        close(*fd);
    *fd = -1;
}

[[noreturn]] void child_fail(int status_fd, char kind, const std::string &why)
{
    std::string msg = kind + why;
    ssize_t n = send(status_fd, msg.data(), msg.size(), MSG_NOSIGNAL);
    (void) n;
    _exit(127);
}

// Hands the mouse's ends of the pty to the parent.
bool send_pty(int status_fd, int master, int slave)
{
    char tag = SETUP_PTY;
    struct iovec iov = {&tag, 1};
    union {
        struct cmsghdr align;
        char buf[CMSG_SPACE(2 * sizeof(int))];
    } control;
    memset(&control, 0, sizeof control);
    struct msghdr msg = {};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control.buf;
    msg.msg_controllen = sizeof control.buf;
    struct cmsghdr *cm = CMSG_FIRSTHDR(&msg);
    cm->cmsg_level = SOL_SOCKET;
    cm->cmsg_type = SCM_RIGHTS;
    cm->cmsg_len = CMSG_LEN(2 * sizeof(int));
    int fds[2] = {master, slave};
    memcpy(CMSG_DATA(cm), fds, sizeof fds);
    return sendmsg(status_fd, &msg, MSG_NOSIGNAL) == 1;
}

// Runs in the forked child: wires the streams, builds the private /dev with
// the mouse's pty in it and executes the program. The pty is made here, after
// the namespace is entered, because a bind mount takes its source only from
// the caller's own mount namespace; its master goes back to the parent.
// Failures are reported on status_fd (close-on-exec, so a successful exec
// leaves the parent reading end of file).
[[noreturn]] void child_main(const ps2sim_run &run, const stream_ends &out, const stream_ends &err,
                             int status_fd)
{
    if (out.child >= 0 && dup2(out.child, 1) < 0)
        child_fail(status_fd, SETUP_OTHER, std::string("dup2: ") + strerror(errno));
    if (err.child >= 0 && dup2(err.child, 2) < 0)
        child_fail(status_fd, SETUP_OTHER, std::string("dup2: ") + strerror(errno));

    std::string why;
    if (!devns_enter(&why))
        child_fail(status_fd, SETUP_NO_NAMESPACE, why);
    if (run.device) {
        int master, slave;
        if (!open_raw_pty(&master, &slave, &why))
            child_fail(status_fd, SETUP_OTHER, why);
        if (!devns_bind_fd(slave, "psaux", &why))
            child_fail(status_fd, SETUP_OTHER, why);
        // Packet mode is on before the program can write its first command,
        // so every byte it writes is seen as data and every flush as status.
        int one = 1;
        if (ioctl(master, TIOCPKT, &one) != 0 ||
            fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK) != 0)
            child_fail(status_fd, SETUP_OTHER, std::string("packet mode: ") + strerror(errno));
        if (!send_pty(status_fd, master, slave))
            child_fail(status_fd, SETUP_OTHER, std::string("sendmsg: ") + strerror(errno));
    }

    std::vector<char *> argv;
    for (const std::string &arg : run.argv)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    execvp(run.program.c_str(), argv.data());
    child_fail(status_fd, SETUP_OTHER, "exec " + run.program + ": " + strerror(errno));
}

// The mouse's side of the dialogue, fed by what the master reads.
//
// The kernel drops unread replies at the moment a new command is written.
// A pty cannot do that: the program may read a stale byte before the mouse
// has even seen the command. So the mouse, like a real one, answers with the
// ACK at once and holds the rest of the reply; it hands over the next held
// byte only once the program has read the previous one and is blocked waiting
// (so any command it meant to send first has been written), and drops what it
// still holds when a new command comes. Whether the program has read is seen
// from its read counter in /proc; where that cannot be read, the held bytes go
// out after HOLD_MAX_MS.
struct mouse_state {
    const ps2sim_mouse *mouse;
    pid_t pid;
    int master;
    ps2sim_result *result;
    std::deque<uint8_t> held; // reply bytes not yet handed over
    long rchar_at_feed;       // the program's read counter when the last byte went out
    long fed_at;              // when the last byte went out (ms)
    long quiet_since;         // first time the program was seen waiting (ms), or -1
};

constexpr int HOLD_MAX_MS = 500;
// The program must have been seen waiting this long, with no command from it
// on the master, before a held byte goes out: its last write has then
// certainly reached the master.
constexpr int QUIET_MS = 3;
// How often the program's state is looked at while bytes are held.
constexpr int HOLD_CHECK_MS = 1;

// Bytes read so far by the process, or -1 when /proc does not tell.
long read_counter(pid_t pid)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/io", static_cast<int>(pid));
    FILE *f = fopen(path, "re");
    if (f == nullptr)
        return -1;
    long value = -1;
    char line[128];
    while (fgets(line, sizeof line, f) != nullptr)
        if (sscanf(line, "rchar: %ld", &value) == 1)
            break;
    fclose(f);
    return value;
}

// True when the process sleeps in a system call (poll, read, nanosleep...).
bool waiting_in_syscall(pid_t pid)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/syscall", static_cast<int>(pid));
    FILE *f = fopen(path, "re");
    if (f == nullptr)
        return false;
    long nr = -1;
    bool known = fscanf(f, "%ld", &nr) == 1;
    fclose(f);
    return known && nr >= 0;
}

void send_bytes(int fd, const std::vector<uint8_t> &bytes)
{
    if (bytes.empty())
        return;
    ssize_t n = write(fd, bytes.data(), bytes.size());
    (void) n;
}

void feed_byte(mouse_state *st, long now)
{
    uint8_t b = st->held.front();
    st->held.pop_front();
    st->rchar_at_feed = read_counter(st->pid);
    st->fed_at = now;
    st->quiet_since = -1;
    ssize_t n = write(st->master, &b, 1);
    (void) n;
}

// Called on every turn of the loop while bytes are held.
void feed_held(mouse_state *st, bool master_quiet)
{
    long now = now_ms();
    if (now - st->fed_at >= HOLD_MAX_MS) {
        feed_byte(st, now);
        return;
    }
    long rchar = read_counter(st->pid);
    bool ready = master_quiet && rchar >= 0 && st->rchar_at_feed >= 0 &&
                 rchar > st->rchar_at_feed && waiting_in_syscall(st->pid);
    if (!ready) {
        st->quiet_since = -1;
        return;
    }
    if (st->quiet_since < 0)
        st->quiet_since = now;
    else if (now - st->quiet_since >= QUIET_MS)
        feed_byte(st, now);
}

// Reads one chunk from the master in packet mode: a leading TIOCPKT_DATA byte
// is followed by the bytes the program wrote; any other leading byte is a
// status word standing alone. Returns the read's result.
ssize_t read_master(int master, std::deque<uint8_t> *data, int *status)
{
    uint8_t buf[256];
    ssize_t n = read(master, buf, sizeof buf);
    *status = 0;
    if (n <= 0)
        return n;
    if (buf[0] == TIOCPKT_DATA)
        data->insert(data->end(), buf + 1, buf + n);
    else
        *status = buf[0];
    return n;
}

void answer_command(mouse_state *st, uint8_t cmd)
{
    const ps2sim_mouse &m = *st->mouse;
    if (!m.answers)
        return;
    auto it = m.replies.find(cmd);
    const std::vector<uint8_t> &reply = it != m.replies.end() ? it->second : m.default_reply;
    if (!m.discard) {
        // Everything at once: what the program does not read stays queued.
        send_bytes(st->master, reply);
        return;
    }
    st->held.assign(reply.begin(), reply.end());
    if (!st->held.empty())
        feed_byte(st, now_ms());
}

void serve_master(mouse_state *st)
{
    std::deque<uint8_t> pending;
    int status = 0;
    ssize_t n = read_master(st->master, &pending, &status);
    if (n <= 0)
        return;
    if ((status & TIOCPKT_FLUSHREAD) != 0 && st->mouse->answers) {
        // The program has dropped its stale input: what the mouse still held
        // would have been dropped with it, and the packet now comes after
        // the flush, as a real movement would.
        st->held.clear();
        if (!st->result->packet_sent && !st->mouse->packet.empty()) {
            send_bytes(st->master, st->mouse->packet);
            st->result->packet_sent = true;
        }
    }
    for (uint8_t cmd : pending) {
        st->result->received.push_back(cmd);
        answer_command(st, cmd);
    }
}

// Appends what fd has to *into; closes it at end of file (EIO on a pty
// master once the program's side is closed).
void serve_stream(int *fd, std::string *into)
{
    char buf[4096];
    ssize_t n = read(*fd, buf, sizeof buf);
    if (n > 0)
        into->append(buf, static_cast<size_t>(n));
    else if (n == 0 || (errno != EAGAIN && errno != EINTR))
        close_fd(fd);
}

void record_status(int wstatus, ps2sim_result *result)
{
    if (WIFEXITED(wstatus)) {
        result->exited = true;
        result->exit_code = WEXITSTATUS(wstatus);
    } else if (WIFSIGNALED(wstatus)) {
        result->term_signal = WTERMSIG(wstatus);
    }
}

// Reads the child's status channel up to its end of file, which means the
// exec happened; takes the mouse's pty ends on the way.
bool await_exec(int status_fd, long deadline, int *master, int *slave, ps2sim_result *result)
{
    std::string msg;
    for (;;) {
        int left = static_cast<int>(deadline - now_ms());
        struct pollfd pfd = {status_fd, POLLIN, 0};
        if (left <= 0 || poll(&pfd, 1, left) <= 0) {
            result->setup_error = "the child neither executed nor failed in time";
            return false;
        }
        char buf[512];
        struct iovec iov = {buf, sizeof buf};
        union {
            struct cmsghdr align;
            char buf[CMSG_SPACE(2 * sizeof(int))];
        } control;
        struct msghdr mh = {};
        mh.msg_iov = &iov;
        mh.msg_iovlen = 1;
        mh.msg_control = control.buf;
        mh.msg_controllen = sizeof control.buf;
        ssize_t n = recvmsg(status_fd, &mh, MSG_CMSG_CLOEXEC);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        struct cmsghdr *cm = CMSG_FIRSTHDR(&mh);
        if (buf[0] == SETUP_PTY && cm != nullptr && cm->cmsg_type == SCM_RIGHTS &&
            cm->cmsg_len == CMSG_LEN(2 * sizeof(int))) {
            int fds[2];
            memcpy(fds, CMSG_DATA(cm), sizeof fds);
            *master = fds[0];
            *slave = fds[1];
            continue;
        }
        msg.append(buf, static_cast<size_t>(n));
    }
    if (msg.empty())
        return true;
    result->no_namespace = msg[0] == SETUP_NO_NAMESPACE;
    result->setup_error = msg.substr(1);
    return false;
}

} // namespace

ps2sim_mouse ps2sim_default_mouse()
{
    ps2sim_mouse m;
    m.replies[PS2_CMD_RESET] = {PS2_ACK, PS2_BAT_OK, PS2_ID_MOUSE};
    m.replies[PS2_CMD_GET_ID] = {PS2_ACK, PS2_ID_MOUSE};
    m.default_reply = {PS2_ACK};
    m.packet = {PS2_PACKET_IDLE, 0x00, 0x00};
    return m;
}

std::string ps2sim_hex(const std::vector<uint8_t> &bytes)
{
    std::string text;
    for (uint8_t b : bytes) {
        char hex[4];
        snprintf(hex, sizeof hex, "%02x", b);
        if (!text.empty())
            text += ' ';
        text += hex;
    }
    return text;
}

bool ps2sim_run_program(const ps2sim_run &run, ps2sim_result *result)
{
    *result = ps2sim_result{};
    const long deadline = now_ms() + run.deadline_ms;

    int master = -1, slave = -1;
    stream_ends out, err;
    int status_sock[2] = {-1, -1};
    bool ok = open_stream(run.out, &out, &result->setup_error) &&
              open_stream(run.err, &err, &result->setup_error);
    if (ok && socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, status_sock) != 0) {
        result->setup_error = std::string("socketpair: ") + strerror(errno);
        ok = false;
    }
    pid_t pid = ok ? fork() : -1;
    if (ok && pid < 0)
        result->setup_error = std::string("fork: ") + strerror(errno);
    if (pid == 0) {
        close(status_sock[0]);
        child_main(run, out, err, status_sock[1]);
    }
    close_fd(&status_sock[1]);
    close_fd(&out.child);
    close_fd(&err.child);
    if (pid > 0 && !await_exec(status_sock[0], deadline, &master, &slave, result)) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }
    close_fd(&status_sock[0]);
    if (pid < 0) {
        close_fd(&master);
        close_fd(&slave);
        close_fd(&out.parent);
        close_fd(&err.parent);
        return false;
    }
    result->ran = true;

    for (int *fd : {&out.parent, &err.parent})
        if (*fd >= 0)
            (void) fcntl(*fd, F_SETFL, fcntl(*fd, F_GETFL) | O_NONBLOCK);
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));

    mouse_state st = {&run.mouse, pid, master, result, {}, -1, 0, -1};
    bool ended = false;
    long drain_until = deadline;
    for (;;) {
        long now = now_ms();
        if (ended && (now >= drain_until || (out.parent < 0 && err.parent < 0)))
            break;
        if (!ended && now >= deadline) {
            kill(pid, SIGKILL);
            int wstatus;
            waitpid(pid, &wstatus, 0);
            result->killed = true;
            record_status(wstatus, result);
            break;
        }
        struct pollfd pfd[4] = {{master, POLLIN | POLLPRI, 0},
                                {out.parent, POLLIN, 0},
                                {err.parent, POLLIN, 0},
                                {ended ? -1 : pidfd, POLLIN, 0}};
        int wait = static_cast<int>((ended ? drain_until : deadline) - now);
        if (pidfd < 0 && !ended && wait > EXIT_CHECK_MS)
            wait = EXIT_CHECK_MS;
        if (!st.held.empty() && wait > HOLD_CHECK_MS)
            wait = HOLD_CHECK_MS;
        if (poll(pfd, 4, wait) < 0 && errno != EINTR)
            break;
        if (pfd[0].revents != 0)
            serve_master(&st);
        else if (!st.held.empty() && !ended)
            feed_held(&st, true);
        if (pfd[1].revents != 0)
            serve_stream(&out.parent, &result->out);
        if (pfd[2].revents != 0)
            serve_stream(&err.parent, &result->err);
        if (!ended) {
            int wstatus;
            if (waitpid(pid, &wstatus, WNOHANG) == pid) {
                record_status(wstatus, result);
                ended = true;
                drain_until = now_ms() + DRAIN_AFTER_EXIT_MS;
                // Bytes written just before the end are still to be recorded.
                while (true) {
                    struct pollfd mp = {master, POLLIN | POLLPRI, 0};
                    if (poll(&mp, 1, 0) <= 0)
                        break;
                    serve_master(&st);
                }
            }
        }
    }
    close_fd(&pidfd);
    close_fd(&master);
    close_fd(&slave);
    close_fd(&out.parent);
    close_fd(&err.parent);
    return true;
}
