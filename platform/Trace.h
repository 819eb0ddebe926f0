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

// Internal to the one file of each library that includes it.
namespace {  // NOLINT(cert-dcl59-cpp)

constexpr long maxMilliseconds = 10000;

// Opens path without ever blocking (O_NONBLOCK: a FIFO without a reader is
// refused at once instead of waiting for one, and a stalled reader costs an
// event on standard error, never a hang), and above the standard streams:
// with one closed, the file would take its number and the tool's own reads or
// writes would land on it.
int openHigh(const char* path, int flags) noexcept {
    int fd = open(path, flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
    if (fd < 0 || fd > STDERR_FILENO) return fd;
    int high = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    int error = errno;
    close(fd);
    errno = error;
    return high;
}

// The trace's descriptor; `otherwise` when CASCADE_TRACE is unset, standard
// error when it can't be opened.
int openTrace(int otherwise) noexcept {
    const char* path = std::getenv("CASCADE_TRACE");
    if (path == nullptr || *path == '\0') return otherwise;
    int fd = openHigh(path, O_WRONLY | O_APPEND | O_CREAT);
    if (fd < 0) {
        dprintf(STDERR_FILENO, "libCascade: cannot open trace %s: %s; tracing to standard error\n",
                path, std::strerror(errno));
        return STDERR_FILENO;
    }
    return fd;
}

// A time from the environment variable `name`: `fallback` when it is unset,
// and, after one line on standard error, when it is not 0 to maxMilliseconds.
long readMilliseconds(const char* name, long fallback) noexcept {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') return fallback;
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 10);
    if (errno == 0 && *end == '\0' && value >= 0 && value <= maxMilliseconds) return value;
    dprintf(STDERR_FILENO, "libCascade: %s=%s is not 0 to %ld milliseconds; using %ld\n",
            name, text, maxMilliseconds, fallback);
    return fallback;
}

// True when the line went to standard error, so a caller that owes it there
// too doesn't write it twice.
bool traceEvent(int fd, const char* action, unsigned long code) {
    if (fd < 0) return false;
    char line[64];
    const Button* button = findButton(code);
    int length = button != nullptr ? std::snprintf(line, sizeof line, "%s 0x%lX %s\n", action, code, button->name)
                                   : std::snprintf(line, sizeof line, "%s 0x%lX\n", action, code);
    // An event the trace file refused still shows, on standard error.
    auto size = static_cast<size_t>(length);
    if (write(fd, line, size) == length || fd == STDERR_FILENO) return fd == STDERR_FILENO;
    (void)!write(STDERR_FILENO, line, size);
    return true;
}

void delayEvent(long delayMs) {
    timespec left{delayMs / 1000, delayMs % 1000 * 1000000};
    while (delayMs > 0 && nanosleep(&left, &left) != 0 && errno == EINTR) {}
}

}  // namespace

#endif
