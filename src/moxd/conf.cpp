/* conf.cpp: the settings file and the checks shared with the command line. */
#include "conf.h"

#include "clicks.h"
#include "host.h"
#include "words.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

bool blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r';
}

/* The text between from and to, blanks at both ends cut off. */
char *trim(char *from, char *to)
{
    while (from < to && blank(*from))
        from++;
    while (to > from && blank(to[-1]))
        to--;
    *to = '\0';
    return from;
}

bool given(const moxd_conf *c, const char *name)
{
    return (strcmp(name, "seat") == 0 && c->seat != nullptr) ||
           (strcmp(name, "options") == 0 && c->options != nullptr) ||
           (strcmp(name, "click-time") == 0 && c->click_ms != 0) ||
           (strcmp(name, "log-level") == 0 && c->log_level >= 0) ||
           (strcmp(name, "wheel-reports") == 0 && c->wheel_reports >= 0) ||
           (strcmp(name, "word-chars") == 0 && c->word_chars != nullptr);
}

int set_click(moxd_conf *c, const char *value, char *why, size_t why_len)
{
    char *end = nullptr;
    errno = 0;
    long ms = strtol(value, &end, 10);
    if (end == value || *end != '\0' || errno != 0 || ms < 1 ||
        ms > static_cast<long>(CLICK_WINDOW_MAX_MS)) {
        (void) snprintf(why, why_len, "click-time takes 1 to %u milliseconds, not \"%s\"",
                        CLICK_WINDOW_MAX_MS, value);
        return -1;
    }
    c->click_ms = static_cast<uint32_t>(ms);
    return 0;
}

/* Reads at most CONF_MAX_BYTES of fd into a fresh string of *len bytes;
 * null on failure (errno set; EFBIG when the file is larger). */
char *read_text(int fd, size_t *len)
{
    char *text = static_cast<char *>(malloc(CONF_MAX_BYTES + 1));
    size_t have = 0;
    while (text != nullptr && have <= CONF_MAX_BYTES) {
        ssize_t n = read(fd, text + have, CONF_MAX_BYTES + 1 - have);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0) {
                text[have] = '\0';
                *len = have;
                return text;
            }
            break;
        }
        have += static_cast<size_t>(n);
    }
    if (text != nullptr && have > CONF_MAX_BYTES)
        errno = EFBIG;
    free(text);
    return nullptr;
}

} // namespace

void conf_init(moxd_conf *c)
{
    memset(c, 0, sizeof *c);
    c->log_level = -1;
    c->wheel_reports = -1;
}

int conf_set(moxd_conf *c, const char *name, const char *value, char *why, size_t why_len)
{
    if (strcmp(name, "device") == 0) {
        if (c->n_devices == CONF_MAX_DEVICES) {
            (void) snprintf(why, why_len, "at most %d devices", CONF_MAX_DEVICES);
            return -1;
        }
        if (value[0] != '/') {
            (void) snprintf(why, why_len, "device takes a path, not \"%s\"", value);
            return -1;
        }
        c->devices[c->n_devices++] = value;
        return 0;
    }
    if (strcmp(name, "seat") == 0) {
        if (value[0] == '\0') {
            (void) snprintf(why, why_len, "seat takes a name");
            return -1;
        }
        c->seat = value;
        return 0;
    }
    if (strcmp(name, "options") == 0) {
        c->options = value;
        return 0;
    }
    if (strcmp(name, "click-time") == 0)
        return set_click(c, value, why, why_len);
    if (strcmp(name, "log-level") == 0) {
        c->log_level = host_level_from_name(value);
        if (c->log_level >= 0)
            return 0;
        (void) snprintf(why, why_len, "unknown log level \"%s\"", value);
        return -1;
    }
    if (strcmp(name, "wheel-reports") == 0) {
        if (strcmp(value, "on") == 0 || strcmp(value, "off") == 0) {
            c->wheel_reports = strcmp(value, "on") == 0 ? 1 : 0;
            return 0;
        }
        (void) snprintf(why, why_len, "wheel-reports is on or off, not \"%s\"", value);
        return -1;
    }
    if (strcmp(name, "word-chars") == 0) {
        uint32_t table[WORD_TABLE_WORDS];
        if (words_table(value, table, why, why_len) != 0)
            return -1;
        c->word_chars = value;
        return 0;
    }
    (void) snprintf(why, why_len, "unknown setting \"%s\"", name);
    return -1;
}

int conf_parse(moxd_conf *c, char *text, char *why, size_t why_len)
{
    int line = 0;
    char *next = text;
    while (*next != '\0') {
        line++;
        char *start = next;
        char *end = strchr(start, '\n');
        if (end == nullptr)
            end = start + strlen(start);
        next = *end == '\n' ? end + 1 : end;
        char *content = trim(start, end);
        if (content[0] == '\0' || content[0] == '#')
            continue;
        char *eq = strchr(content, '=');
        if (eq == nullptr) {
            (void) snprintf(why, why_len, "expected \"name = value\", not \"%.40s\"", content);
            return line;
        }
        char *name = trim(content, eq);
        char *value = trim(eq + 1, eq + 1 + strlen(eq + 1));
        /* a second value for a setting is a mistake, except for devices */
        if (given(c, name)) {
            (void) snprintf(why, why_len, "%s is set twice", name);
            return line;
        }
        if (conf_set(c, name, value, why, why_len) != 0)
            return line;
    }
    return 0;
}

int conf_load(const char *path, int missing_ok, moxd_conf *c, char **text, char *msg,
              size_t msg_len)
{
    conf_init(c);
    *text = nullptr;
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0 && errno == ENOENT && missing_ok)
        return 1;
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0 && !S_ISREG(st.st_mode)) {
        (void) close(fd);
        (void) snprintf(msg, msg_len, "%s: not a regular file", path);
        return -1;
    }
    size_t len = 0;
    char *buf = fd >= 0 ? read_text(fd, &len) : nullptr;
    int err = errno;
    if (fd >= 0)
        (void) close(fd);
    if (buf == nullptr) {
        (void) snprintf(msg, msg_len, "%s: %s", path,
                        err == EFBIG ? "larger than a settings file can be" : strerror(err));
        return -1;
    }
    if (strlen(buf) != len) {
        free(buf);
        (void) snprintf(msg, msg_len, "%s: holds a NUL byte: not a text file", path);
        return -1;
    }
    char why[160];
    int line = conf_parse(c, buf, why, sizeof why);
    if (line != 0) {
        free(buf);
        conf_init(c);
        (void) snprintf(msg, msg_len, "%s:%d: %s", path, line, why);
        return -1;
    }
    *text = buf;
    return 0;
}

void conf_overlay(moxd_conf *base, const moxd_conf *top)
{
    if (top->seat != nullptr)
        base->seat = top->seat;
    if (top->n_devices > 0) {
        memcpy(base->devices, top->devices, sizeof base->devices);
        base->n_devices = top->n_devices;
    }
    if (top->options != nullptr)
        base->options = top->options;
    if (top->click_ms != 0)
        base->click_ms = top->click_ms;
    if (top->log_level >= 0)
        base->log_level = top->log_level;
    if (top->wheel_reports >= 0)
        base->wheel_reports = top->wheel_reports;
    if (top->word_chars != nullptr)
        base->word_chars = top->word_chars;
}
