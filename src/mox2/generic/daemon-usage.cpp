/* The usage text goes straight to descriptor 1, one write a line. This file
 * does not see the daemon's option record, so it declares what it uses. */
void mini_printf(const char *str, int fd);
void usage(void);

void usage(void)
{
    mini_printf("mox2-daemon: written by Quillane\n", 1);
    mini_printf("\n", 1);
    mini_printf("  -c <cconfig>: specify configuration directory\n", 1);
    mini_printf("  -f:           fork into background after startup \n", 1);
}
