#include <stddef.h>
#include <unistd.h>

void mini_printf(const char *str, int fd);

/* Unbuffered: the bytes reach fd at once, ahead of anything still waiting in
 * the stdio buffer. A failed or short write is not retried. */
void mini_printf(const char *str, int fd)
{
    if (str == nullptr)
        return;
    size_t len = 0;
    while (str[len] != '\0')
        len++;
    ssize_t written = write(fd, str, len);
    (void) written;
}
