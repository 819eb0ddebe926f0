// Stand-in for the device's libCascade.so, for PCs and tests. Each key
// event becomes one line, "down 0x1000F arrow-right" or "up 0x1000F arrow-right",
// written with a single write(2) the moment it happens: to the file named
// by CASCADE_TRACE (appended, created if missing), else to standard error.
// CASCADE_DELAY_MS makes every call take that long, like a slow platform.
#include "CascadeInput.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace {

struct Button {
    unsigned long code;
    const char* name;
};

// What each code stands for on a remote control; 0x10024 has no button.
constexpr Button buttons[] = {
    {0x10000, "0"}, {0x10001, "1"}, {0x10002, "2"}, {0x10003, "3"},
    {0x10004, "4"}, {0x10005, "5"}, {0x10006, "6"}, {0x10007, "7"},
    {0x10008, "8"}, {0x10009, "9"},
    {0x1000A, "enter"}, {0x1000B, "select"},
    {0x1000C, "arrow-up"}, {0x1000D, "arrow-down"}, {0x1000E, "arrow-left"}, {0x1000F, "arrow-right"},
    {0x10010, "page-up"}, {0x10011, "page-down"},
    {0x10012, "previous"}, {0x10013, "next"},
    {0x10014, "fast-forward"}, {0x10015, "rewind"},
    {0x10016, "pause"}, {0x10017, "audio"}, {0x10018, "play"}, {0x10019, "stop"},
    {0x1001A, "guide"}, {0x1001B, "favourites"}, {0x1001C, "back"},
    {0x1001D, "zoom"}, {0x1001E, "text"}, {0x1001F, "record"},
    {0x10020, "menu"}, {0x10021, "info"}, {0x10022, "exit"}, {0x10023, "options"},
    {0x10025, "power"}, {0x10026, "mute"},
    {0x10027, "f1"}, {0x10028, "f2"}, {0x10029, "f3"}, {0x1002A, "f4"},
    {0x1002B, "f5"}, {0x1002C, "f6"}, {0x1002D, "f7"}, {0x1002E, "f8"},
};

const char* nameButton(unsigned long code) {
    for (const Button& button : buttons)
        if (button.code == code) return button.name;
    return nullptr;
}

int openTrace() {
    const char* path = std::getenv("CASCADE_TRACE");
    if (path == nullptr || *path == '\0') return STDERR_FILENO;
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
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
    const char* delay = std::getenv("CASCADE_DELAY_MS");
    return delay != nullptr ? std::strtol(delay, nullptr, 10) : 0;
}

void traceKey(const char* action, unsigned long code) {
    static const int fd = openTrace();
    static const long delayMs = readDelayMs();
    char line[64];
    const char* name = nameButton(code);
    int length = name != nullptr ? std::snprintf(line, sizeof line, "%s 0x%lX %s\n", action, code, name)
                                 : std::snprintf(line, sizeof line, "%s 0x%lX\n", action, code);
    // An event the trace file refused still shows, on standard error.
    auto size = static_cast<size_t>(length);
    if (write(fd, line, size) != length && fd != STDERR_FILENO)
        (void)!write(STDERR_FILENO, line, size);
    timespec left{delayMs / 1000, delayMs % 1000 * 1000000};
    while (delayMs > 0 && nanosleep(&left, &left) != 0 && errno == EINTR) {}
}

}  // namespace

void CascadeInput::DispatchKeyDown(unsigned long key) { traceKey("down", key); }
void CascadeInput::DispatchKeyUp(unsigned long key) { traceKey("up", key); }
