// The trace that both libraries keep: one line per key event, "down 0x1000F
// arrow-right" or "up 0x1000F arrow-right", written with a single write(2)
// the moment it happens, appended to the file named by CASCADE_TRACE.
// CASCADE_DELAY_MS makes every event take that long, like a slow platform.
// Both are read when the library is loaded, before the tool holds off any
// signal, so nothing here can leave the tool waiting where it can't be stopped.
#ifndef CASCADE_TRACE_H
#define CASCADE_TRACE_H

#include "Buttons.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr long maxDelayMs = 10000;

// The trace's descriptor; `otherwise` when CASCADE_TRACE is unset, standard
// error when it can't be opened. O_NONBLOCK: a FIFO without a reader is
// refused at once instead of waiting for one, and a stalled reader costs an
// event on standard error, never a hang.
int openTrace(int otherwise) {
    const char* path = std::getenv("CASCADE_TRACE");
    if (path == nullptr || *path == '\0') return otherwise;
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
    if (fd < 0) {
        dprintf(STDERR_FILENO, "libCascade: cannot open trace %s: %s; tracing to standard error\n",
                path, std::strerror(errno));
        return STDERR_FILENO;
    }
    // With a standard stream closed the trace would take its number, and
    // the tool's own reads or writes would land on it.
    if (fd <= STDERR_FILENO) {
        int high = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        close(fd);
        fd = high >= 0 ? high : STDERR_FILENO;
    }
    return fd;
}

long readDelayMs() {
    const char* text = std::getenv("CASCADE_DELAY_MS");
    if (text == nullptr || *text == '\0') return 0;
    char* end = nullptr;
    errno = 0;
    long delay = std::strtol(text, &end, 10);
    if (errno == 0 && *end == '\0' && delay >= 0 && delay <= maxDelayMs) return delay;
    dprintf(STDERR_FILENO, "libCascade: CASCADE_DELAY_MS=%s is not 0 to %ld milliseconds; no delay\n",
            text, maxDelayMs);
    return 0;
}

void traceEvent(int fd, const char* action, unsigned long code) {
    if (fd < 0) return;
    char line[64];
    const Button* button = findButton(code);
    int length = button != nullptr ? std::snprintf(line, sizeof line, "%s 0x%lX %s\n", action, code, button->name)
                                   : std::snprintf(line, sizeof line, "%s 0x%lX\n", action, code);
    // An event the trace file refused still shows, on standard error.
    auto size = static_cast<size_t>(length);
    if (write(fd, line, size) != length && fd != STDERR_FILENO)
        (void)!write(STDERR_FILENO, line, size);
}

void delayEvent(long delayMs) {
    timespec left{delayMs / 1000, delayMs % 1000 * 1000000};
    while (delayMs > 0 && nanosleep(&left, &left) != 0 && errno == EINTR) {}
}

}  // namespace

#endif
