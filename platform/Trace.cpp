// Settings, messages and the trace of both libraries (Trace.h).
#include "Trace.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr long patienceMs = 1000;  // the longest a line waits for room

// Where lines go, written without ever blocking: the descriptor's own flags are
// shared with the shell, so a socket is sent to with MSG_DONTWAIT, and standard
// error, when a terminal or a pipe, is opened again privately, non-blocking,
// as the trace is.
struct Sink {
    int fd;
    bool socket;
    size_t tailSize;  // the end of a line that found no room in time; it goes first
    char tail[512];   // the longest line said
};
Sink standardError{STDERR_FILENO, false, 0, {}};
Sink traceFile{-1, false, 0, {}};  // CASCADE_TRACE's, kept after a failure while its tail is owed
int traceFd = -1;                  // -1: no trace; STDERR_FILENO: standard error; else traceFile's
const char* tracePath = nullptr;   // the file, when it is one
unsigned long droppedLines = 0;    // standard error's, owed a word when it takes lines again

// Writes what it can of the text until the deadline; poll first, for a
// descriptor left blocking where no private one could be had. 0 once it has
// all gone, else the errno that stopped it (EAGAIN: no room in time).
int writeWithin(const Sink& sink, const char*& text, size_t& size, long long deadline) {
    while (size > 0) {
        pollfd output{sink.fd, POLLOUT, 0};
        long long left = deadline - nowMs();
        if (poll(&output, 1, static_cast<int>(left > 0 ? left : 0)) == 0) return EAGAIN;
        ssize_t written = sink.socket ? send(sink.fd, text, size, MSG_DONTWAIT | MSG_NOSIGNAL) : write(sink.fd, text, size);
        if (written > 0) {
            text += written;
            size -= static_cast<size_t>(written);
        } else if (written < 0 && errno != EINTR && errno != EAGAIN) {
            return errno;
        }
    }
    return 0;
}

// The sink's tail, then the line, until the deadline. A terminal may take
// part of a line; the rest becomes the tail, so that no line is left cut. 0
// when the line went or began to; else the errno (EAGAIN: none of it went; a
// tail that fails otherwise is given up). A reader gone raises no SIGPIPE: it
// is held off and taken back unless it was pending already.
int sendLine(Sink& sink, const char* text, size_t size, long long deadline) {
    sigset_t pipeSignal;
    sigset_t previous;
    sigset_t pending;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
    sigpending(&pending);
    bool pendingBefore = sigismember(&pending, SIGPIPE) == 1;
    const char* tail = sink.tail;
    int error = writeWithin(sink, tail, sink.tailSize, deadline);
    if (error != EAGAIN) sink.tailSize = 0;  // gone, or never to go
    std::memmove(sink.tail, tail, sink.tailSize);
    size_t full = size;
    if (error == 0) error = writeWithin(sink, text, size, deadline);
    if (error == EAGAIN && size < full) {
        sink.tailSize = std::min(size, sizeof sink.tail);
        std::memcpy(sink.tail, text, sink.tailSize);
        error = 0;
    }
    timespec none{};
    if (error == EPIPE && !pendingBefore) sigtimedwait(&pipeSignal, nullptr, &none);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return error;
}

// Once standard error has kept a line waiting a second, the lines after it
// don't wait until `catchUp` (now, or a second at exit): they are dropped
// while it is full and counted. When it takes a line again, the end of a cut
// line goes first (the trace's before its own: the trace may be this very
// terminal), then the count.
void writeStandardError(const char* text, size_t size, long long catchUp = nowMs()) {
    if (droppedLines > 0 || standardError.tailSize > 0 || traceFile.tailSize > 0) {
        char notice[128] = "";
        int length = droppedLines == 0 ? 0 : std::snprintf(notice, sizeof notice,
                                   "libCascade: standard error took nothing for a second; %lu lines dropped\n",
                                   droppedLines);
        if (sendLine(traceFile, "", 0, catchUp) != 0 ||
            sendLine(standardError, notice, static_cast<size_t>(length), catchUp) != 0) {
            droppedLines += size > 0 ? 1 : 0;
            return;
        }
        droppedLines = 0;
    }
    if (size > 0 && sendLine(standardError, text, size, nowMs() + patienceMs) == EAGAIN) ++droppedLines;
}

// Standard error's way (Sink), chosen once; where no private descriptor can
// be had (no /proc, a terminal we may not open) it stays poll and write. Only
// a descriptor open for writing is opened again: a setuid tool must not write
// where its user may only read.
void openStandardError() {
    struct stat file {};
    int flags = fcntl(STDERR_FILENO, F_GETFL);
    if (fstat(STDERR_FILENO, &file) != 0 || flags < 0) return;
    standardError.socket = S_ISSOCK(file.st_mode);
    if ((S_ISFIFO(file.st_mode) || S_ISCHR(file.st_mode)) && (flags & O_ACCMODE) != O_RDONLY)
        if (int fd = openHigh("/proc/self/fd/2", O_WRONLY); fd >= 0) standardError.fd = fd;
}

// A trace named after the file that standard error is (/dev/stderr,
// /proc/self/fd/2, another path to it) is standard error itself: a second
// descriptor would repeat the lines said there, and in a file would write at
// an offset of its own, over what the shell writes.
bool isStandardError(const char* path) {
    struct stat named {};
    struct stat error {};
    return stat(path, &named) == 0 && fstat(STDERR_FILENO, &error) == 0 && named.st_dev == error.st_dev &&
           named.st_ino == error.st_ino;
}

// The last chance to say how many lines standard error lost, within a second.
struct Farewell {
    Farewell() = default;
    Farewell(const Farewell&) = delete;
    Farewell& operator=(const Farewell&) = delete;
    ~Farewell() { writeStandardError("", 0, nowMs() + patienceMs); }
} farewell;

size_t formatEvent(char (&line)[64], const char* action, unsigned long code) {
    const Button* button = findButton(code);
    int length = button != nullptr ? std::snprintf(line, sizeof line, "%s 0x%lX %s\n", action, code, button->name)
                                   : std::snprintf(line, sizeof line, "%s 0x%lX\n", action, code);
    return static_cast<size_t>(length);
}

}  // namespace

long long nowMs() noexcept {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
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
    openStandardError();
    tracePath = readSetting("CASCADE_TRACE");
    if (tracePath != nullptr && isStandardError(tracePath)) {
        tracePath = nullptr;
        toStandardError = true;
    }
    traceFd = tracePath != nullptr ? openHigh(tracePath, O_WRONLY | O_APPEND | O_CREAT)
                                   : toStandardError ? STDERR_FILENO : -1;
    traceFile.fd = tracePath != nullptr ? traceFd : -1;
    if (traceFd >= 0 || tracePath == nullptr) return;
    say("cannot open trace %s: %s; tracing to standard error", tracePath, std::strerror(errno));
    traceFd = STDERR_FILENO;
}

bool traceEvent(const char* action, unsigned long code) {
    if (traceFd < 0) return false;
    char line[64];
    size_t size = formatEvent(line, action, code);
    if (traceFd != STDERR_FILENO) {
        int error = sendLine(traceFile, line, size, nowMs() + patienceMs);
        bool begun = error == 0;  // the line is the trace's, its tail owed
        if (begun && traceFile.tailSize == 0) return false;
        // The trace is a side channel: its failure never stops a key.
        if (begun || error == EAGAIN)
            say("trace %s took nothing for a second (its reader fell behind); tracing to standard error from here",
                tracePath);
        else if (error == EPIPE)
            say("the reader of trace %s went away; tracing to standard error", tracePath);
        else
            say("cannot write trace %s: %s; tracing to standard error", tracePath, std::strerror(error));
        if (traceFile.tailSize == 0) close(traceFd);
        traceFd = STDERR_FILENO;
        if (begun) return false;
    }
    writeStandardError(line, size);
    return true;
}

void showEvent(const char* action, unsigned long code) {
    char line[64];
    writeStandardError(line, formatEvent(line, action, code));
}

namespace {
// A handled signal is the program's own affair.
bool isLeftDefault(int number) {
    struct sigaction action {};
    return sigaction(number, nullptr, &action) == 0 && action.sa_handler == SIG_DFL;
}
}  // namespace

sigset_t endingSignals() {
    sigset_t ending;
    sigemptyset(&ending);
    for (int number = 1; number < NSIG; ++number) {
        bool harmless = number == SIGKILL || number == SIGSTOP || number == SIGCHLD || number == SIGCONT ||
                        number == SIGURG || number == SIGWINCH || number == SIGTSTP || number == SIGTTIN || number == SIGTTOU;
        if (!harmless && isLeftDefault(number)) sigaddset(&ending, number);
    }
    return ending;
}

void pauseKey(long milliseconds) {
    if (milliseconds <= 0) return;
    // A stop (Ctrl-Z) ends the pause too: the tool stops with its key up, and
    // goes on with the next key when continued.
    sigset_t ending = endingSignals();
    for (int number : {SIGTSTP, SIGTTIN, SIGTTOU})
        if (isLeftDefault(number)) sigaddset(&ending, number);
    // The tool holds off every signal while a key is down: one that comes is
    // taken here, and raised again to wait, pending, for the release.
    for (long long end = nowMs() + milliseconds, left = milliseconds; left > 0; left = end - nowMs()) {
        timespec wait{static_cast<time_t>(left / 1000), static_cast<long>(left % 1000 * 1000000)};
        int number = sigtimedwait(&ending, nullptr, &wait);
        if (number > 0) {
            raise(number);
            return;
        }
    }
}

void delayEvent(long milliseconds) {
    timespec left{milliseconds / 1000, milliseconds % 1000 * 1000000};
    while (milliseconds > 0 && nanosleep(&left, &left) != 0 && errno == EINTR) {}
}
