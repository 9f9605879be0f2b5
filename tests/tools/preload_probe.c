/* Preloaded by a test: appends this process's LD_PRELOAD, one line, to the
 * file named by VIZOR_PROBE_FILE. */
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

__attribute__((constructor)) static void probe(void) {
    const char *path = getenv("VIZOR_PROBE_FILE");
    const char *pre = getenv("LD_PRELOAD");
    if (!path) return;
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    if (pre && write(fd, pre, strlen(pre)) < 0) { /* best effort */
    }
    if (write(fd, "\n", 1) < 0) { /* best effort */
    }
    close(fd);
}
