// Settings, messages and the trace of both libraries (Trace.h).
#include "Trace.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

constexpr long patienceMs = 1000;  // the longest a line waits for room

int traceFd = -1;                 // -1: no trace; STDERR_FILENO: standard error
const char* tracePath = nullptr;  // the file, when it is one
unsigned long droppedLines = 0;   // standard error's, owed a word when it takes lines again


// Writes the whole text, waiting at most waitMs for room: poll first, so that
// a descriptor that blocks (standard error, shared with the shell) never
// does. A reader gone raises no SIGPIPE: it is held off and taken back
// unless it was pending already. 0, or the errno that stopped it (EAGAIN:
// no room in time).
int writeWithin(int fd, const char* text, size_t size, long waitMs) {
    sigset_t pipeSignal;
    sigset_t previous;
    sigset_t pending;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
    sigpending(&pending);
    bool pendingBefore = sigismember(&pending, SIGPIPE) == 1;
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    int error = 0;
    while (size > 0 && error == 0) {
        pollfd output{fd, POLLOUT, 0};
        long left = waitMs - millisecondsSince(start);
        if (poll(&output, 1, static_cast<int>(left > 0 ? left : 0)) == 0) {
            error = EAGAIN;
        } else if (ssize_t written = write(fd, text, size); written >= 0) {
            text += written;
            size -= static_cast<size_t>(written);
        } else if (errno != EINTR && errno != EAGAIN) {
            error = errno;
        }
    }
    timespec none{};
    if (error == EPIPE && !pendingBefore) sigtimedwait(&pipeSignal, nullptr, &none);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return error;
}

// Once standard error has kept a line waiting a second, the lines after it
// don't wait: they are dropped while it is full and counted, and the count
// is the first thing said when it takes a line again.
void writeStandardError(const char* text, size_t size) {
    if (droppedLines > 0) {
        char notice[128];
        int length = std::snprintf(notice, sizeof notice,
                                   "libCascade: standard error took nothing for a second; %lu lines dropped\n",
                                   droppedLines);
        if (writeWithin(STDERR_FILENO, notice, static_cast<size_t>(length), 0) != 0) {
            droppedLines += size > 0 ? 1 : 0;
            return;
        }
        droppedLines = 0;
    }
    if (size > 0 && writeWithin(STDERR_FILENO, text, size, patienceMs) == EAGAIN) ++droppedLines;
}

// The last chance to say how many lines standard error lost.
struct Farewell {
    Farewell() = default;
    Farewell(const Farewell&) = delete;
    Farewell& operator=(const Farewell&) = delete;
    ~Farewell() { writeStandardError("", 0); }
} farewell;

size_t formatEvent(char (&line)[64], const char* action, unsigned long code) {
    const Button* button = findButton(code);
    int length = button != nullptr ? std::snprintf(line, sizeof line, "%s 0x%lX %s\n", action, code, button->name)
                                   : std::snprintf(line, sizeof line, "%s 0x%lX\n", action, code);
    return static_cast<size_t>(length);
}

}  // namespace

long millisecondsSince(const timespec& start) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
}

const char* readSetting(const char* name) noexcept {
    const char* value = secure_getenv(name);
    if (value == nullptr && std::getenv(name) != nullptr)
        say("%s ignored: this process has more privilege than its user (setuid, setgid or capabilities)", name);
    return value != nullptr && *value != '\0' ? value : nullptr;
}

long readNumber(const char* name, long fallback, long most, const char* unit) noexcept {
    const char* text = readSetting(name);
    if (text == nullptr) return fallback;
    long value = 0;
    const char* digit = text;
    for (; *digit >= '0' && *digit <= '9' && value <= most; ++digit) value = value * 10 + (*digit - '0');
    if (*digit == '\0' && value <= most) return value;
    say("%s=%s is not 0 to %ld %s; using %ld", name, text, most, unit, fallback);
    return fallback;
}

int aboveStandardStreams(int fd) noexcept {
    if (fd < 0 || fd > STDERR_FILENO) return fd;
    int high = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    int error = errno;
    close(fd);
    errno = error;
    return high;
}

int openHigh(const char* path, int flags) noexcept {
    return aboveStandardStreams(open(path, flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644));
}

void say(const char* format, ...) noexcept {  // NOLINT(cert-dcl50-cpp)
    char line[512] = "libCascade: ";
    size_t prefix = std::strlen(line);
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(line + prefix, sizeof line - prefix - 1, format, arguments);
    va_end(arguments);
    size_t size = std::strlen(line);  // cut to fit when it is longer
    line[size] = '\n';
    writeStandardError(line, size + 1);
}

void openTrace(bool toStandardError) noexcept {
    tracePath = readSetting("CASCADE_TRACE");
    traceFd = tracePath != nullptr ? openHigh(tracePath, O_WRONLY | O_APPEND | O_CREAT)
                                   : toStandardError ? STDERR_FILENO : -1;
    if (traceFd >= 0 || tracePath == nullptr) return;
    say("cannot open trace %s: %s; tracing to standard error", tracePath, std::strerror(errno));
    traceFd = STDERR_FILENO;
}

bool traceEvent(const char* action, unsigned long code) {
    if (traceFd < 0) return false;
    char line[64];
    size_t size = formatEvent(line, action, code);
    if (traceFd != STDERR_FILENO) {
        int error = writeWithin(traceFd, line, size, patienceMs);
        if (error == 0) return false;
        // The trace is a side channel: its failure never stops a key.
        if (error == EAGAIN)
            say("trace %s took nothing for a second (its reader fell behind); tracing to standard error from here",
                tracePath);
        else if (error == EPIPE)
            say("the reader of trace %s went away; tracing to standard error", tracePath);
        else
            say("cannot write trace %s: %s; tracing to standard error", tracePath, std::strerror(error));
        close(traceFd);
        traceFd = STDERR_FILENO;
    }
    writeStandardError(line, size);
    return true;
}

void showEvent(const char* action, unsigned long code) {
    char line[64];
    writeStandardError(line, formatEvent(line, action, code));
}

void delayEvent(long milliseconds) {
    timespec left{milliseconds / 1000, milliseconds % 1000 * 1000000};
    while (milliseconds > 0 && nanosleep(&left, &left) != 0 && errno == EINTR) {}
}
