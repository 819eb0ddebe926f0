// The evdev library: libCascade.so that puts every key event into the Linux
// input system, into the event device CASCADE_DEVICE names or else into a
// virtual remote of our own (/dev/uinput), made at load and removed at exit;
// a button goes as the first of its Linux keys (Buttons.h) that the device
// has. CASCADE_TRACE and CASCADE_DELAY_MS work as in the trace library. Events
// that can't go in go to standard error as trace lines, after one line says why.
#include "CascadeInput.h"
#include "Trace.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <iterator>
#include <fcntl.h>
#include <linux/input.h>
#include <linux/uinput.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr unsigned bitsPerLong = sizeof(unsigned long) * CHAR_BIT;
constexpr const char* uinputPath = "/dev/uinput";
using KeyBits = unsigned long[KEY_MAX / bitsPerLong + 1];

bool isSet(const KeyBits& bits, unsigned key) { return (bits[key / bitsPerLong] >> (key % bitsPerLong) & 1UL) != 0; }

// Read when the library is loaded, before the tool holds off any signal.
const char* loadSettings() noexcept {
    openTrace(false);
    return readSetting("CASCADE_DEVICE");
}
const char* const devicePath = loadSettings();  // none: our own remote
// The kernel keeps 64 events for each reader of a device and drops the rest
// (SYN_DROPPED) when the reader falls behind, as it may while a key string
// goes out in one burst; a millisecond after each event lets readers keep up.
const long delayMs = readMilliseconds("CASCADE_DELAY_MS", 1);
// How long readers get to notice our remote, and to read it before it goes.
const long settleMs = readMilliseconds("CASCADE_SETTLE_MS", 200);

KeyBits keyBits;  // the Linux keys of the device where the events go

int fallBack(const char* failure, const char* path, const char* reason, const char* remedy) noexcept {
    say("%s %s: %s (%s); tracing to standard error", failure, path, reason, remedy);
    return -1;
}

const char* remedyFor(int error, const char* otherwise) noexcept {
    return error == EACCES || error == EPERM ? "run as root, or give your user write access to it with a udev rule"
                                             : otherwise;
}

// The kernel passes events written to an event node into its device, for
// every reader to see. Such a write succeeds even when the kernel drops the
// event, for a key the device doesn't have, so its keys are read first.
int openDevice(const char* path) noexcept {
    const char* remedy = "name an input event device, /dev/input/eventN, or unset CASCADE_DEVICE for a virtual remote";
    int fd = openHigh(path, O_WRONLY);
    if (fd < 0) return fallBack("cannot open", path, std::strerror(errno), remedyFor(errno, remedy));
    int version = 0;
    if (ioctl(fd, EVIOCGVERSION, &version) < 0 || ioctl(fd, EVIOCGBIT(EV_KEY, sizeof keyBits), keyBits) < 0) {
        close(fd);
        return fallBack("cannot use", path, "not an input device", remedy);
    }
    return fd;
}

// The remote's name and bus: UI_DEV_SETUP since Linux 4.5; where it is
// refused, the older way, a uinput_user_dev written to the descriptor,
// which every kernel since 2.6 takes.
bool describeRemote(int fd) noexcept {
    uinput_setup setup{};
    setup.id.bustype = BUS_VIRTUAL;
    std::strncpy(setup.name, "Kestrov remote", sizeof setup.name - 1);
    if (ioctl(fd, UI_DEV_SETUP, &setup) == 0) return true;
    if (errno != EINVAL && errno != ENOTTY) return false;
    uinput_user_dev device{};
    device.id = setup.id;
    std::memcpy(device.name, setup.name, sizeof device.name);
    return write(fd, &device, sizeof device) == static_cast<ssize_t>(sizeof device);
}

// The first of a button's keys that the kernel takes: one before 2.6.28
// (KEY_MAX 0x1FF) refuses KEY_NUMERIC_n but has KEY_n. 0: none.
unsigned addKey(int fd, const Button& button) noexcept {
    for (const LinuxKey& key : button.keys)
        if (key.code != 0 && ioctl(fd, UI_SET_KEYBIT, static_cast<unsigned long>(key.code)) == 0) return key.code;
    return 0;
}

// A remote with a key for every button, the first of its keys wherever the
// kernel has it. Programs notice a new input device only a while after it
// appears (udev, libinput, a reader opening its new node), and miss what it
// sent before, so the first key waits.
int createRemote() noexcept {
    int fd = openHigh(uinputPath, O_WRONLY);
    bool made = fd >= 0 && ioctl(fd, UI_SET_EVBIT, EV_KEY) == 0;
    for (const Button& button : buttons) {
        unsigned key = made ? addKey(fd, button) : 0;
        made = key != 0;
        if (made) keyBits[key / bitsPerLong] |= 1UL << (key % bitsPerLong);
    }
    made = made && describeRemote(fd) && ioctl(fd, UI_DEV_CREATE) == 0;
    if (!made) {
        int error = errno;
        if (fd >= 0) close(fd);
        // No node, or none behind it: the module isn't there. Anything else
        // (an old kernel refusing a key, say) no module would mend.
        bool noModule = error == ENOENT || error == ENODEV || error == ENXIO;
        return fallBack("cannot create a virtual remote through", uinputPath, std::strerror(error),
                        remedyFor(error, noModule ? "load the uinput module" : "name an input event device in CASCADE_DEVICE"));
    }
    delayEvent(settleMs);
    return fd;
}

// A signal that ends the tool skips its wait before the remote goes, and the
// kernel removes a device, with all that its readers have not read yet, as
// soon as its last descriptor closes. So a child keeps one: once the tool is
// gone (its end of the pipe closes), the child releases every key, waits as
// the tool would have and ends. After a normal end the remote is gone
// already, the release fails and the child ends at once. It ignores the
// signals that a terminal or a time-out sends the tool's whole group.
int keepRemote(int remote) noexcept {
    int ends[2];
    if (remote < 0 || pipe2(ends, O_CLOEXEC) != 0) return -1;
    pid_t keeper = fork();
    if (keeper != 0) {
        close(ends[0]);
        if (keeper > 0) return ends[1];
        say("cannot keep the virtual remote for its readers after a signal: %s", std::strerror(errno));
        close(ends[1]);
        return -1;
    }
    for (int number = 1; number < NSIG; ++number) std::signal(number, SIG_IGN);
    for (int fd = 0; fd < 1024; ++fd)  // not the tool's streams: their readers wait for their end
        if (fd != remote && fd != ends[0]) close(fd);
    char byte = 0;
    while (read(ends[0], &byte, 1) < 0 && errno == EINTR) {}
    // Every key of the table, up: the kernel passes on only those that are down.
    input_event releases[std::size(buttons) * std::size(buttons[0].keys) + 1]{};
    input_event* release = releases;
    for (const Button& button : buttons)
        for (const LinuxKey& key : button.keys) {
            release->type = EV_KEY;
            release++->code = key.code;
        }
    release->type = EV_SYN;  // SYN_REPORT
    if (write(remote, releases, sizeof releases) == static_cast<ssize_t>(sizeof releases)) delayEvent(settleMs);
    _exit(0);
}

// Where the events go; -1: only standard error. Our remote goes at exit, after
// a wait if it sent keys: a reader that lags behind loses what it hasn't read.
struct Output {
    int fd;
    const char* path;
    int keeper;
    bool sent;
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;
    ~Output() {
        if (fd < 0) return;
        if (devicePath == nullptr) {
            if (sent) delayEvent(settleMs);
            ioctl(fd, UI_DEV_DESTROY);
            if (keeper >= 0) close(keeper);
        }
        close(fd);
    }
};

Output openOutput() noexcept {
    if (devicePath != nullptr) return Output{openDevice(devicePath), devicePath, -1, false};
    int fd = createRemote();
    return Output{fd, uinputPath, keepRemote(fd), false};
}
Output output = openOutput();

// The Linux key for a button where the events go: the first of its keys
// that the device has; 0 when it has none of them.
unsigned linuxKey(const Button& button) {
    for (const LinuxKey& key : button.keys)
        if (key.code != 0 && isSet(keyBits, key.code)) return key.code;
    return 0;
}

// Said once per load, not once per key: the line says that the other keys
// missing go to standard error too.
bool toldOfMissingKey = false;

void tellOfMissingKey(unsigned long code, const Button* button) {
    if (toldOfMissingKey) return;
    toldOfMissingKey = true;
    if (button == nullptr) {
        say("key 0x%lX has no Linux key (add one to platform/Buttons.h); "
            "tracing the keys that can't go in to standard error", code);
        return;
    }
    char names[64] = "";
    for (const LinuxKey& key : button->keys)
        if (key.code != 0)
            std::snprintf(names + std::strlen(names), sizeof names - std::strlen(names), "%s%s",
                          names[0] != '\0' ? " or " : "", key.name);
    say("%s has no %s for 0x%lX, button %s (unset CASCADE_DEVICE for a virtual remote with every key); "
        "tracing the keys it lacks to standard error", output.path, names, code, button->name);
}

// Both events of one call in one write: no reader sees the key without its
// report. True when they went in.
bool inject(unsigned key, int value) {
    input_event events[2]{};
    events[0].type = EV_KEY;
    events[0].code = static_cast<unsigned short>(key);
    events[0].value = value;
    events[1].type = EV_SYN;
    events[1].code = SYN_REPORT;
    if (write(output.fd, events, sizeof events) == static_cast<ssize_t>(sizeof events)) {
        output.sent = true;
        return true;
    }
    // Gone for good (ENODEV: the device went away): the rest goes to standard error.
    fallBack("cannot write key events to", output.path, std::strerror(errno), "is the device still there?");
    close(output.fd);
    output.fd = -1;
    return false;
}

// A key that an existing device shows down (left so by a tool killed with
// SIGKILL, say) would make the kernel take the press for a repeat and drop
// it: released first, every press is seen as one.
void releaseIfDown(unsigned key) {
    KeyBits down{};
    if (devicePath != nullptr && ioctl(output.fd, EVIOCGKEY(sizeof down), down) >= 0 && isSet(down, key))
        inject(key, 0);
}

void dispatch(const char* action, unsigned long code, int value) {
    const Button* button = findButton(code);
    unsigned key = output.fd >= 0 && button != nullptr ? linuxKey(*button) : 0;
    if (key == 0 && output.fd >= 0) tellOfMissingKey(code, button);
    if (key != 0 && value == 1) releaseIfDown(key);
    bool injected = key != 0 && output.fd >= 0 && inject(key, value);
    if (!traceEvent(action, code) && !injected) showEvent(action, code);
    delayEvent(delayMs);
}

}  // namespace

void CascadeInput::DispatchKeyDown(unsigned long key) { dispatch("down", key, 1); }

void CascadeInput::DispatchKeyUp(unsigned long key) { dispatch("up", key, 0); }
