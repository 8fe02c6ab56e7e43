/* argsift.h: the table-driven parser of protocol option strings such as
 * "dpi=400,swap". */
#ifndef MOX_ARGSIFT_H
#define MOX_ARGSIFT_H

#ifdef __cplusplus
extern "C" {
#endif

typedef enum option_type {
    OPT_END = 0,   /* closes a table */
    OPT_BOOL = 1,  /* flag, no argument: stores value through iptr */
    OPT_INT = 2,   /* integer: decimal, 0x hexadecimal or 0 octal */
    OPT_DEC = 3,   /* integer, decimal only */
    OPT_STRING = 4 /* text: stores a malloc'd copy through sptr */
} option_type;

/* One row of an option table; a table ends with an OPT_END row. */
typedef struct option_helper {
    const char *name;
    option_type type;
    union {
        int *iptr;   /* OPT_BOOL, OPT_INT, OPT_DEC */
        char **sptr; /* OPT_STRING: the caller frees the stored copy */
    } u;
    int value;   /* what an OPT_BOOL row stores */
    int present; /* 1 once the option was seen in the last parse */
} option_helper;

/* Parses opts (may be null), items split at sep (NUL: one item), against the
 * table info; proto names the protocol in complaints. Returns the number of
 * rows matched, or minus the number of errors when there were any. */
int parse_options(const char *proto, const char *opts, char sep, option_helper *info);

/* The present flag of the row matching name; 0, with a complaint, when no
 * row matches. */
int is_option_present(option_helper *info, const char *name);

/* 1 when opts holds no option at all, else 0 (with complaints). */
int check_no_options(const char *proto, const char *opts, char sep);

#ifdef __cplusplus
}
#endif

#endif /* MOX_ARGSIFT_H */
