// kestrov-record: a session on a real remote control, written as a shell
// script that plays it again with kestrov.
//
//   kestrov-record [-n COUNT] DEVICE >session.sh   record until a signal, or COUNT presses
//   kestrov-record                                 list the devices with keys of our buttons
//
// DEVICE is an input event node (/dev/input/eventN) or a device's name as
// /proc/bus/input/devices gives it. The device is not grabbed: it goes on
// working while it is recorded. Each key's line goes out, flushed, once the
// key is released, so the script is whole at every moment.
#include "Buttons.h"
#include "Keys.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <fcntl.h>
#include <linux/input.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr long long heldMs = 500;           // held this long, a key repeats on a remote
constexpr long long longestHoldMs = 10000;  // the most CASCADE_HOLD_MS takes
// What a line of the script takes besides its pause, on the device: a call
// of kestrov into its kept remote and the sleep's own start (50 to 60 ms on
// the virtual device); the pauses leave it out.
constexpr long long callMs = 50;
constexpr long long keptMs = 60000;  // how long kestrov keeps its remote after a call
constexpr const char* devicesPath = "/proc/bus/input/devices";
constexpr const char* listRemedy = "kestrov-record alone lists the input devices";

// Keys that remotes have and our buttons don't, for the comments; others go by number.
#define NAME(key) {key, #key}
constexpr LinuxKey otherKeys[] = {NAME(KEY_VOLUMEUP), NAME(KEY_VOLUMEDOWN), NAME(KEY_RED), NAME(KEY_GREEN),
                                  NAME(KEY_YELLOW), NAME(KEY_BLUE), NAME(KEY_HOME), NAME(KEY_TV)};
#undef NAME

// A press on its way into the script, which takes presses in their order.
struct Press {
    unsigned key;       // the Linux key; 0: a note that events were lost
    long long downMs;   // the event's time
    long long upMs;     // -1: still down
    bool repeated;      // by the device
};
constexpr int mostPending = 64;  // more, and the first is taken as released
Press pending[mostPending];
int pendingCount = 0;
long long lastCallMs = -1;  // the press of the last key written as a call, and the hold it replays
long long lastHoldMs = 0;
long presses = 0, pressLimit = 0;  // written, and -n's (0: none)
volatile sig_atomic_t stopped = 0;

// The first button in table order with this key among its keys.
const Button* findButtonOf(unsigned key) {
    for (const Button& button : buttons)
        for (const LinuxKey& linuxKey : button.keys)
            if (linuxKey.code == key && key != 0) return &button;
    return nullptr;
}

// The key's name from either table; null: none.
const char* findName(unsigned key) {
    for (const Button& button : buttons)
        for (const LinuxKey& linuxKey : button.keys)
            if (linuxKey.code == key) return linuxKey.name;
    for (const LinuxKey& linuxKey : otherKeys)
        if (linuxKey.code == key) return linuxKey.name;
    return nullptr;
}

// A script that can't be written whole is no script: status 1 at once.
void flushScript() {
    if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) return;
    std::fprintf(stderr, "kestrov-record: cannot write the script: %s; it is not whole\n", std::strerror(errno));
    std::_Exit(1);
}

void writeComment(unsigned key, const char* what) {
    const char* name = findName(key);
    if (name != nullptr) std::printf("# %s%s\n", name, what);
    else std::printf("# key %u%s\n", key, what);
}

// The button's character for kestrov: select as a rather than a space,
// which a shell would split on; f1 to f8 as u. 0: none.
char findCharacter(const Button& button) {
    if (button.code >= firstSequenceKey) return 'u';
    for (const Key& key : keyTable)
        if (key.code == button.code && key.c != ' ') return key.c;
    return 0;
}

// The pause since the last call, less what that call's hold and the call
// itself take; then the call, held as long as the key was when it was held.
void writeCall(const Press& press, const Button& button, char c) {
    long long holdMs = press.upMs - press.downMs;
    holdMs = press.repeated || holdMs >= heldMs ? (holdMs < longestHoldMs ? holdMs : longestHoldMs) : 0;
    long long pauseMs = press.downMs - lastCallMs - lastHoldMs - callMs;
    if (lastCallMs >= 0 && pauseMs > keptMs / 2) {  // the remote outlasts the pause, for the programs reading it
        std::printf("CASCADE_KEEP_S=%lld kestrov -k ''\n", pauseMs / 1000 + keptMs / 1000);
        pauseMs -= callMs;
    }
    if (lastCallMs >= 0 && pauseMs > 0) std::printf("sleep %lld.%03lld\n", pauseMs / 1000, pauseMs % 1000);
    lastCallMs = press.downMs;
    lastHoldMs = holdMs;
    if (c == 'u') std::printf("echo %lu | ", button.code - firstSequenceKey + 1);
    if (holdMs > 0) std::printf("CASCADE_HOLD_MS=%lld ", holdMs);
    std::printf(c == '\n' ? "kestrov -k '\n'\n" : "kestrov -k %c\n", c);
}

void writePress(const Press& press) {
    const Button* button = findButtonOf(press.key);
    char c = button != nullptr ? findCharacter(*button) : '\0';
    if (press.key == 0) {
        std::puts("# events were lost here (SYN_DROPPED); the keys down were read again");
    } else if (press.upMs < 0) {
        writeComment(press.key, " still down at the end");
    } else if (c == 0) {
        writeComment(press.key, "");
    } else {
        writeCall(press, *button, c);
    }
    flushScript();
    presses += press.key != 0 ? 1 : 0;
}

// The presses in order up to the first still down; with `all`, every one.
void writePending(bool all) {
    int written = 0;
    for (; written < pendingCount && (all || pending[written].upMs >= 0); ++written) {
        if (pressLimit > 0 && presses == pressLimit) break;
        writePress(pending[written]);
    }
    pendingCount -= written;
    std::memmove(pending, pending + written, sizeof(Press) * static_cast<size_t>(pendingCount));
}

void addPress(unsigned key, long long ms) {
    if (pendingCount == mostPending) {
        pending[0].upMs = ms;
        writePending(false);
    }
    if (pendingCount < mostPending) pending[pendingCount++] = Press{key, ms, key != 0 ? -1 : ms, false};
}

Press* findDown(unsigned key) {
    for (int i = 0; i < pendingCount; ++i)
        if (pending[i].key == key && pending[i].upMs < 0) return &pending[i];
    return nullptr;
}

// After SYN_DROPPED: keys down as the device has them now, and a note. The
// events still waiting to be read are in that state already, so they go
// unread: taken after it, they would put the keys of now before older ones.
void readKeysAgain(int fd, long long ms) {
    input_event unread[64];
    while (read(fd, unread, sizeof unread) > 0) {}
    KeyBits down{};
    ioctl(fd, EVIOCGKEY(sizeof down), down);
    for (int i = 0; i < pendingCount; ++i)
        if (pending[i].upMs < 0 && !isSet(down, pending[i].key)) pending[i].upMs = ms;
    addPress(0, ms);
    for (unsigned key = 1; key < KEY_CNT; ++key)
        if (isSet(down, key) && findDown(key) == nullptr) addPress(key, ms);
}

bool dropping = false;  // events until the next SYN_REPORT are lost

// False once the device's keys were read again: the rest of the events read
// with this one are older than that.
bool takeEvent(int fd, const input_event& event) {
    long long ms = static_cast<long long>(event.input_event_sec) * 1000 + event.input_event_usec / 1000;
    Press* down = event.type == EV_KEY ? findDown(event.code) : nullptr;
    if (event.type == EV_SYN && event.code == SYN_DROPPED) {
        dropping = true;
    } else if (event.type == EV_SYN && event.code == SYN_REPORT && dropping) {
        dropping = false;
        readKeysAgain(fd, ms);
        writePending(false);
        return false;
    } else if (dropping || event.type != EV_KEY || (down == nullptr) != (event.value == 1)) {
        return true;  // a release or repeat of a key down before the recording began
    } else if (event.value == 1) {
        addPress(event.code, ms);
    } else if (event.value == 2) {
        down->repeated = true;
    } else {
        down->upMs = ms;
    }
    writePending(false);
    return true;
}

void stop(int /*signal*/) { stopped = 1; }

// SIGINT, SIGTERM and SIGHUP end the recording; they are let in only while
// it waits for the device, so none cuts a line. Only SIGHUP stays ignored
// when it is (nohup); a shell starts a background job with SIGINT ignored,
// and the script that started it must still be able to stop it. A reader of
// the script gone is a write that fails, not SIGPIPE. The mask to wait with.
sigset_t catchStops() {
    sigset_t stops;
    sigset_t waiting;
    sigemptyset(&stops);
    struct sigaction onStop {};
    onStop.sa_handler = stop;
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction before {};
        sigaction(signal, nullptr, &before);
        if (signal != SIGHUP || before.sa_handler != SIG_IGN) sigaction(signal, &onStop, nullptr);
        sigaddset(&stops, signal);
    }
    signal(SIGPIPE, SIG_IGN);
    sigprocmask(SIG_BLOCK, &stops, &waiting);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigdelset(&waiting, signal);
    return waiting;
}

int record(int fd, const char* path) {
    sigset_t waiting = catchStops();
    int clock = CLOCK_MONOTONIC;  // a clock set meanwhile doesn't stretch a pause
    ioctl(fd, EVIOCSCLOCKID, &clock);
    char name[256] = "";
    char where[256];
    ioctl(fd, EVIOCGNAME(sizeof name - 1), name);
    std::snprintf(where, sizeof where, "%s", path);
    for (char* text : {name, where})  // a line feed in a name would make a command of the rest
        for (; *text != '\0'; ++text)
            if (static_cast<unsigned char>(*text) < ' ') *text = '?';
    // The first call makes the kept remote, so that the first key doesn't wait for it.
    std::printf("#!/bin/sh\n# The keys of \"%s\" (%s), recorded by kestrov-record\nkestrov -k ''\n", name, where);
    flushScript();
    while (stopped == 0 && (pressLimit == 0 || presses < pressLimit)) {
        pollfd device{fd, POLLIN, 0};
        input_event events[64];
        ssize_t got = ppoll(&device, 1, nullptr, &waiting) > 0 ? read(fd, events, sizeof events) : 0;
        if (got < 0 && errno != EAGAIN && errno != EINTR) {
            const char* why = std::strerror(errno);
            writePending(true);
            std::fprintf(stderr, "kestrov-record: %s went away (%s); the script ends with its last key\n", path, why);
            return 1;
        }
        for (ssize_t i = 0; i < got / static_cast<ssize_t>(sizeof(input_event)) && takeEvent(fd, events[i]); ++i) {}
    }
    writePending(true);
    return 0;
}

struct InputDevice {
    char name[256];
    bool typable;   // a name without control characters, which a terminal would obey
    char node[32];  // /dev/input/eventN; empty: none
    int buttons;    // how many of our buttons it has a key for
};

bool isTypable(const char* name) {
    for (; *name != '\0'; ++name)
        if (static_cast<unsigned char>(*name) < ' ' || *name == '\x7f') return false;
    return true;
}

int countButtons(const char* hex) {
    KeyBits words{};  // as /proc gives them: the last holds keys 0 and up
    KeyBits keys{};
    size_t count = 0;
    char* end = nullptr;
    for (const char* at = hex; count < sizeof words / sizeof *words; at = end) {
        words[count] = std::strtoul(at, &end, 16);
        if (end == at) break;
        ++count;
    }
    for (size_t i = 0; i < count; ++i) keys[i] = words[count - 1 - i];
    int found = 0;
    for (const Button& button : buttons) {
        bool has = false;
        for (const LinuxKey& key : button.keys) has = has || (key.code != 0 && isSet(keys, key.code));
        found += has ? 1 : 0;
    }
    return found;
}

// The next device of /proc/bus/input/devices; false after the last.
bool readDevice(FILE* devices, InputDevice& device) {
    device = InputDevice{};
    char line[1024];
    bool any = false;
    while (std::fgets(line, sizeof line, devices) != nullptr && line[0] != '\n') {
        any = true;
        line[std::strcspn(line, "\n")] = '\0';
        if (char* quote = std::strrchr(line, '"'); std::strncmp(line, "N: Name=\"", 9) == 0) {
            *quote = '\0';
            std::snprintf(device.name, sizeof device.name, "%.*s", static_cast<int>(sizeof device.name - 1), line + 9);
            // A line feed in the name ends the line early: the rest is on the next ones.
            device.typable = quote > line + 8 && isTypable(device.name);
        }
        if (std::strncmp(line, "B: KEY=", 7) == 0) device.buttons = countButtons(line + 7);
        if (std::strncmp(line, "H: Handlers=", 12) == 0)
            for (const char* word = std::strtok(line + 12, " "); word != nullptr; word = std::strtok(nullptr, " "))
                if (std::strncmp(word, "event", 5) == 0) std::snprintf(device.node, sizeof device.node, "/dev/input/%s", word);
    }
    return any;
}

// The text as sh reads it back: in single quotes, each ' as '\''.
void writeQuoted(const char* text) {
    std::fputc('\'', stderr);
    for (; *text != '\0'; ++text) *text == '\'' ? std::fputs("'\\''", stderr) : std::fputc(*text, stderr);
    std::fputc('\'', stderr);
}

int listDevices() {
    FILE* devices = std::fopen(devicesPath, "re");
    InputDevice device{};
    InputDevice example{};
    std::fputs("kestrov-record: name the device to record, by its node or its name:\n", stderr);
    while (devices != nullptr && readDevice(devices, device)) {
        if (device.buttons == 0 || device.node[0] == '\0') continue;
        if (device.typable) std::fprintf(stderr, "  %-18s \"%s\"", device.node, device.name);
        else std::fprintf(stderr, "  %-18s (a name with control characters: use the node)", device.node);
        std::fprintf(stderr, ", %d of our %zu buttons\n", device.buttons, sizeof buttons / sizeof *buttons);
        example = device;
    }
    if (example.node[0] == '\0') {
        std::fprintf(stderr, "  none has keys of our buttons (see %s)\n", devicesPath);
    } else {
        std::fputs("for example: kestrov-record ", stderr);
        writeQuoted(example.typable ? example.name : example.node);
        std::fputs(" >session.sh\n", stderr);
    }
    if (devices != nullptr) std::fclose(devices);
    return 2;
}

// The node of the device so named; of several, the one with most of our buttons.
bool findNode(const char* name, char (&node)[32]) {
    FILE* devices = std::fopen(devicesPath, "re");
    InputDevice device{};
    int most = -1;
    while (devices != nullptr && readDevice(devices, device))
        if (device.typable && std::strcmp(device.name, name) == 0 && device.node[0] != '\0' && device.buttons > most) {
            most = device.buttons;
            std::memcpy(node, device.node, sizeof node);
        }
    if (devices != nullptr) std::fclose(devices);
    return most >= 0;
}

int refuse(const char* what, const char* why, const char* remedy) {
    std::fprintf(stderr, "kestrov-record: %s: %s (%s)\n", what, why, remedy);
    return -1;
}

// DEVICE opened for reading, without blocking (a FIFO would wait for a
// writer) and without grabbing it; -1 after a line that says why. It is a
// device's name unless it is the path of a character device: a name may hold
// a slash, and a file of the current folder may be named like a device.
int openInput(const char* device, char (&node)[32]) {
    struct stat file {};
    const char* path = device;
    bool isNode = stat(device, &file) == 0 && S_ISCHR(file.st_mode);
    if (!isNode && findNode(device, node)) path = node;
    else if (!isNode && std::strchr(device, '/') == nullptr && stat(device, &file) != 0)
        return refuse(device, "no input device has this name or path", listRemedy);
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    int version = 0;
    if (fd < 0)
        return refuse(path, std::strerror(errno),
                      errno == EACCES || errno == EPERM
                          ? "run as root or as a member of its group, input on most systems, or give your user "
                            "read access with a udev rule"
                          : listRemedy);
    if (fstat(fd, &file) != 0 || !S_ISCHR(file.st_mode) || ioctl(fd, EVIOCGVERSION, &version) != 0) {
        close(fd);
        return refuse(path, "not an input device", listRemedy);
    }
    return fd;
}

// 0 unless the text is a whole number above 0.
long readCount(const char* text) {
    char* end = nullptr;
    long count = std::strtol(text, &end, 10);
    return *end == '\0' && count > 0 ? count : 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    opterr = 0;
    int option = 0;
    while ((option = getopt(argc, argv, "n:")) == 'n' && (pressLimit = readCount(optarg)) > 0) {}
    if (option != -1 || optind + 1 < argc) {
        std::fputs("kestrov-record: usage: kestrov-record [-n COUNT] [DEVICE] >SCRIPT\n", stderr);
        return 2;
    }
    if (optind == argc) return listDevices();
    char node[32] = "";
    int fd = openInput(argv[optind], node);
    return fd < 0 ? 2 : record(fd, node[0] != '\0' ? node : argv[optind]);
}
