/* conf.h: moxd's settings as the settings file and the command line give
 * them, by the same names.
 *
 * The file holds one setting a line, "name = value", blanks around the name
 * and the value ignored. A line whose first non-blank character is '#' is a
 * comment, as is a blank line; '#' elsewhere is part of the value (word
 * characters may hold it). "device" may be repeated; any other name given
 * twice is a mistake. */
#ifndef MOXD_CONF_H
#define MOXD_CONF_H

#include <cstddef>
#include <cstdint>

constexpr const char CONF_DEFAULT_PATH[] = "/etc/moxd.conf";
constexpr int CONF_MAX_DEVICES = 64;
/* A settings file is a few lines: anything bigger is not one. */
constexpr size_t CONF_MAX_BYTES = 64 * 1024;

/* Each field says "not given" until a setting sets it. */
struct moxd_conf {
    const char *seat; /* null: not given */
    const char *devices[CONF_MAX_DEVICES];
    int n_devices;
    const char *options;    /* the device settings string, null: not given */
    uint32_t click_ms;      /* 0: not given */
    int log_level;          /* -1: not given */
    int wheel_reports;      /* -1: not given, else 0 or 1 */
    const char *word_chars; /* null: not given */
};

void conf_init(moxd_conf *c);

/* Sets the setting called name from value (kept by pointer), checked as the
 * command line checks it; "options" is only checked by its own parser.
 * Returns 0, or -1 with the reason in why. */
int conf_set(moxd_conf *c, const char *name, const char *value, char *why, size_t why_len);

/* Parses a settings file's text, changed in place (the values point into
 * it). Returns 0, or the number of the first line in error with the reason
 * in why. */
int conf_parse(moxd_conf *c, char *text, char *why, size_t why_len);

/* Reads and parses the file at path; *text receives the buffer the values
 * point into (free it when done with c). Returns 0; 1 when there is no such
 * file and missing_ok (c then gives nothing); -1 with one line in msg:
 * "path:line: reason" or "path: reason". */
int conf_load(const char *path, int missing_ok, moxd_conf *c, char **text, char *msg,
              size_t msg_len);

/* Every setting given in top replaces base's; devices as a whole. */
void conf_overlay(moxd_conf *base, const moxd_conf *top);

#endif /* MOXD_CONF_H */
