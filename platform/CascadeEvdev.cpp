// The evdev library: libCascade.so that puts every key event into the Linux
// input system, into the event device CASCADE_DEVICE names or else into a
// virtual remote of our own (/dev/uinput), made at load and removed at exit.
// CASCADE_TRACE and CASCADE_DELAY_MS work as in the trace library. Events that
// can't go in go to standard error as trace lines, after one line says why.
#include "CascadeInput.h"
#include "Trace.h"

#include <climits>
#include <linux/input.h>
#include <linux/uinput.h>
#include <sys/ioctl.h>

namespace {

constexpr unsigned bitsPerLong = sizeof(unsigned long) * CHAR_BIT;
constexpr const char* uinputPath = "/dev/uinput";

const int traceFd = openTrace(-1);
// The kernel keeps 64 events for each reader of a device and drops the rest
// (SYN_DROPPED) when the reader falls behind, as it may while a key string
// goes out in one burst; a millisecond after each event lets readers keep up.
const long delayMs = readMilliseconds("CASCADE_DELAY_MS", 1);
// How long readers get to notice our remote, and to read it before it goes.
const long settleMs = readMilliseconds("CASCADE_SETTLE_MS", 200);

// The event device named by CASCADE_DEVICE; none: our own remote.
const char* nameDevice() noexcept {
    const char* path = std::getenv("CASCADE_DEVICE");
    return path != nullptr && *path != '\0' ? path : nullptr;
}
const char* const devicePath = nameDevice();

unsigned long keyBits[KEY_MAX / bitsPerLong + 1];  // the Linux keys where the events go

bool hasKey(unsigned key) { return (keyBits[key / bitsPerLong] >> (key % bitsPerLong) & 1UL) != 0; }

int fallBack(const char* failure, const char* path, const char* reason, const char* remedy) noexcept {
    dprintf(STDERR_FILENO, "libCascade: %s %s: %s (%s); tracing to standard error\n", failure, path, reason, remedy);
    return -1;
}

const char* remedyFor(int error, const char* otherwise) {
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

// A remote with every key of the table. Programs notice a new input device
// only a while after it appears (udev, libinput, a reader opening its new
// node), and miss what it sent before, so the first key waits until then.
int createRemote() noexcept {
    int fd = openHigh(uinputPath, O_WRONLY);
    bool made = fd >= 0 && ioctl(fd, UI_SET_EVBIT, EV_KEY) == 0;
    for (const Button& button : buttons) {
        made = made && ioctl(fd, UI_SET_KEYBIT, static_cast<unsigned long>(button.linuxKey)) == 0;
        keyBits[button.linuxKey / bitsPerLong] |= 1UL << (button.linuxKey % bitsPerLong);
    }
    uinput_setup setup{};
    setup.id.bustype = BUS_VIRTUAL;
    std::snprintf(setup.name, sizeof setup.name, "Kestrov remote");
    made = made && ioctl(fd, UI_DEV_SETUP, &setup) == 0 && ioctl(fd, UI_DEV_CREATE) == 0;
    if (!made) {
        int error = errno;
        if (fd >= 0) close(fd);
        return fallBack("cannot create a virtual remote through", uinputPath, std::strerror(error),
                        remedyFor(error, "load the uinput module, or name an input event device in CASCADE_DEVICE"));
    }
    delayEvent(settleMs);
    return fd;
}

// Where the events go; -1: only standard error. Our remote goes at exit, after
// a wait if it sent keys: a reader that lags behind loses what it hasn't read.
struct Output {
    int fd;
    const char* path;
    bool sent;
    ~Output() {
        if (fd < 0) return;
        if (devicePath == nullptr) {
            if (sent) delayEvent(settleMs);
            ioctl(fd, UI_DEV_DESTROY);
        }
        close(fd);
    }
};
Output output{devicePath != nullptr ? openDevice(devicePath) : createRemote(),
              devicePath != nullptr ? devicePath : uinputPath, false};

// Whether the events of a key can go in. Said once per load, not once per
// key: the line says that the other keys missing go to standard error too.
bool toldOfMissingKey = false;

bool canInject(unsigned long code, const Button* button) {
    if (output.fd < 0) return false;
    if (button != nullptr && hasKey(button->linuxKey)) return true;
    if (toldOfMissingKey) return false;
    toldOfMissingKey = true;
    if (button == nullptr)
        dprintf(STDERR_FILENO, "libCascade: key 0x%lX has no Linux key (add one to platform/Buttons.h); "
                "tracing the keys that can't go in to standard error\n", code);
    else
        dprintf(STDERR_FILENO, "libCascade: %s has no %s for 0x%lX, button %s (unset CASCADE_DEVICE for "
                "a virtual remote with every key); tracing the keys it lacks to standard error\n",
                output.path, button->linuxName, code, button->name);
    return false;
}

// Both events of one call in one write: no reader sees the key without its
// report. True when they went in.
bool inject(const Button& button, int value) {
    input_event events[2]{};
    events[0].type = EV_KEY;
    events[0].code = button.linuxKey;
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

void dispatch(const char* action, unsigned long code, int value) {
    const Button* button = findButton(code);
    bool injected = canInject(code, button) && inject(*button, value);
    if (!traceEvent(traceFd, action, code) && !injected) traceEvent(STDERR_FILENO, action, code);
    delayEvent(delayMs);
}

}  // namespace

void CascadeInput::DispatchKeyDown(unsigned long key) { dispatch("down", key, 1); }

void CascadeInput::DispatchKeyUp(unsigned long key) { dispatch("up", key, 0); }
