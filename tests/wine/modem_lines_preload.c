/* Test-only: modem lines for pseudo-terminals under Wine.
 *
 * Wine's serial emulation reads and sets the modem lines with TIOCMGET,
 * TIOCMSET, TIOCMBIS and TIOCMBIC. A pseudo-terminal has no modem lines and
 * refuses them, and Wine then fails EscapeCommFunction and turns every
 * WaitCommEvent into an immediate return with an empty mask. Loaded with
 * LD_PRELOAD into the Wine process, this answers those four requests on
 * pseudo-terminal slaves as a UART with a connected device would: DTR and
 * RTS are remembered per terminal, CTS, DSR and carrier are on.
 *
 * With DRAVEL_WINE_MODEM_LOG=FILE every change of DTR or RTS is appended to
 * FILE as "<device> DTR=<0|1> RTS=<0|1>", so a test can see the lines the
 * program under test drives. Any other request, and any other kind of file,
 * goes to the real ioctl untouched. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

typedef int (*ioctl_fn)(int, unsigned long, ...);

enum { kTerminals = 64 };

static struct {
    dev_t device;
    int lines; /* TIOCM_DTR | TIOCM_RTS as set */
} terminals[kTerminals];
static int terminal_count;
static pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;

static int is_pty_slave(int fd, dev_t *device)
{
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode)) return 0;
    const unsigned int major_number = major(info.st_rdev);
    if (major_number < 136 || major_number > 143) return 0;
    *device = info.st_rdev;
    return 1;
}

/* The remembered lines of a terminal; a terminal seen first has both raised,
 * as a UART's are after its first open. Called with the mutex held. */
static int *lines_of(dev_t device)
{
    for (int i = 0; i < terminal_count; ++i) {
        if (terminals[i].device == device) return &terminals[i].lines;
    }
    const int slot = terminal_count < kTerminals ? terminal_count++ : kTerminals - 1;
    terminals[slot].device = device;
    terminals[slot].lines = TIOCM_DTR | TIOCM_RTS;
    return &terminals[slot].lines;
}

static void log_change(int fd, int before, int after)
{
    const char *path = getenv("DRAVEL_WINE_MODEM_LOG");
    if (path == NULL || *path == '\0' || before == after) return;
    char link[64];
    char name[256];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, name, sizeof name - 1);
    name[n > 0 ? n : 0] = '\0';
    FILE *out = fopen(path, "a");
    if (out == NULL) return;
    fprintf(out, "%s DTR=%d RTS=%d\n", name, (after & TIOCM_DTR) != 0, (after & TIOCM_RTS) != 0);
    fclose(out);
}

int ioctl(int fd, unsigned long request, ...)
{
    static ioctl_fn real;
    if (real == NULL) real = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
    va_list args;
    va_start(args, request);
    void *argument = va_arg(args, void *);
    va_end(args);

    dev_t device;
    const int modem = request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC;
    if (!modem || argument == NULL || !is_pty_slave(fd, &device)) return real(fd, request, argument);

    const int outputs = TIOCM_DTR | TIOCM_RTS;
    int *value = (int *)argument;
    pthread_mutex_lock(&mutex);
    int *lines = lines_of(device);
    const int before = *lines;
    switch (request) {
    case TIOCMGET: *value = *lines | TIOCM_CTS | TIOCM_DSR | TIOCM_CAR; break;
    case TIOCMSET: *lines = *value & outputs; break;
    case TIOCMBIS: *lines |= *value & outputs; break;
    case TIOCMBIC: *lines &= ~(*value & outputs); break;
    }
    const int after = *lines;
    pthread_mutex_unlock(&mutex);
    log_change(fd, before, after);
    return 0;
}
