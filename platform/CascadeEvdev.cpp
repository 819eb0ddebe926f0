// The evdev library: libCascade.so that puts every key event into the Linux
// input system, into a virtual remote of our own (/dev/uinput) or into the
// event device CASCADE_DEVICE names; a button goes as the first of its Linux
// keys (Buttons.h) that the device has. A keeper process holds the device
// (Keeper.h) and serves every call of its user, and keeps our remote
// CASCADE_KEEP_S seconds after the last call, so that later calls find it
// ready and readers that open a device once keep receiving. CASCADE_TRACE and
// CASCADE_DELAY_MS work as in the trace library. Events that can't go in go
// to standard error as trace lines, after one line says why.
#include "CascadeInput.h"
#include "Keeper.h"
#include "Trace.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <fcntl.h>
#include <linux/uinput.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr const char* uinputPath = "/dev/uinput";
constexpr long patienceMs = 1000;  // the longest the keeper may take to answer

// Read when the library is loaded, before the tool holds off any signal.
const char* loadSettings() noexcept {
    openTrace(false);
    return readSetting("CASCADE_DEVICE");
}
const char* const devicePath = loadSettings();  // none: our own remote
const char* const outputPath = devicePath != nullptr ? devicePath : uinputPath;
// The kernel keeps 64 events for each reader of a device and drops the rest
// (SYN_DROPPED) when the reader falls behind, as it may while a key string
// goes out in one burst; a millisecond after each event lets readers keep up.
const long delayMs = readMilliseconds("CASCADE_DELAY_MS", 1);
// How long readers get to notice our remote, and to read it before it goes.
const long settleMs = readMilliseconds("CASCADE_SETTLE_MS", 200);
// Long enough for the pauses of a script between its steps; short enough
// that a remote made by one call is gone soon after.
const long keepSeconds = readNumber("CASCADE_KEEP_S", 60, 31536000, "seconds");

Device output{-1, devicePath == nullptr, settleMs, {}};  // made by this call when it finds no keeper

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
    if (ioctl(fd, EVIOCGVERSION, &version) < 0 || ioctl(fd, EVIOCGBIT(EV_KEY, sizeof output.keys), output.keys) < 0) {
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
// kernel has it.
int createRemote() noexcept {
    int fd = openHigh(uinputPath, O_WRONLY);
    bool made = fd >= 0 && ioctl(fd, UI_SET_EVBIT, EV_KEY) == 0;
    for (const Button& button : buttons) {
        unsigned key = made ? addKey(fd, button) : 0;
        made = key != 0;
        if (made) output.keys[key / bitsPerLong] |= 1UL << (key % bitsPerLong);
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
    return fd;
}

// The meeting point of a user's calls for one device: an abstract socket
// name, which leaves no file behind. Any user may bind any such name, so both
// ends check that the other runs as their own effective user. 0: none (a
// device that isn't there: the call makes its own keeper, which says why).
socklen_t nameMeetingPoint(sockaddr_un& address) {
    struct stat node {};
    address.sun_family = AF_UNIX;
    char* name = address.sun_path + 1;
    size_t room = sizeof address.sun_path - 1;
    int length = devicePath == nullptr      ? std::snprintf(name, room, "kestrov/%u/remote", geteuid())
                 : stat(devicePath, &node) == 0 ? std::snprintf(name, room, "kestrov/%u/device/%lu", geteuid(),
                                                                static_cast<unsigned long>(node.st_rdev))
                                                : -1;
    return length > 0 ? static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + static_cast<size_t>(length)) : 0;
}

uid_t peerOf(int fd) {
    ucred peer{};
    socklen_t size = sizeof peer;
    return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 ? peer.uid : static_cast<uid_t>(-1);
}

// No call to the keeper waits longer than `milliseconds`; above the standard
// streams, where the tool's own writes can't land on it.
int patient(int fd, long milliseconds) {
    timeval wait{static_cast<time_t>(milliseconds / 1000), static_cast<suseconds_t>(milliseconds % 1000 * 1000)};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
    return aboveStandardStreams(fd);
}

int openSocket() { return patient(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0), patienceMs); }

// The keeper's answer (Keeper.h); -1 when it gives none.
long ask(int keeper, unsigned action, unsigned value) {
    Request request{action, value};
    unsigned answer = 0;
    if (send(keeper, &request, sizeof request, MSG_NOSIGNAL) != sizeof request ||
        recv(keeper, &answer, sizeof answer, 0) != sizeof answer)
        return -1;
    return answer;
}

// Says how long to keep the device after this call. A remote younger than
// the settle time waits the rest: programs notice a new input device only a
// while after it appears (udev, libinput, a reader opening its new node) and
// miss what it sent before.
int greet(int keeper) {
    long age = keeper >= 0 ? ask(keeper, keepFor, static_cast<unsigned>(keepSeconds)) : -1;
    if (age < 0 && keeper >= 0) close(keeper);
    if (age >= 0 && devicePath == nullptr) delayEvent(settleMs - age);
    return age >= 0 ? keeper : -1;
}

// This call makes the device and starts its keeper, which serves the callers
// that `listener` (-1: none) accepts too.
int startOwnKeeper(int listener) {
    output.fd = devicePath != nullptr ? openDevice(devicePath) : createRemote();
    int ends[2] = {-1, -1};
    bool started = output.fd >= 0 && socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) == 0 &&
                   startKeeper(output, listener, ends[1], static_cast<unsigned>(keepSeconds));
    if (output.fd >= 0 && !started)
        say("cannot start a keeper for %s: %s; tracing to standard error", outputPath, std::strerror(errno));
    for (int fd : {output.fd, listener, ends[1], started ? -1 : ends[0]})
        if (fd >= 0) close(fd);
    return started ? greet(patient(ends[0], patienceMs)) : -1;
}

// A connection to the keeper of this user's device, starting one when there
// is none; -1 after a line that says why the keys go to standard error.
int reachKeeper() noexcept {
    sockaddr_un address{};
    socklen_t size = nameMeetingPoint(address);
    const auto* at = reinterpret_cast<const sockaddr*>(&address);
    for (long long deadline = nowMs() + patienceMs; size > 0 && nowMs() < deadline;) {
        int keeper = openSocket();
        if (connect(keeper, at, size) == 0) {
            if (uid_t peer = peerOf(keeper); peer != geteuid()) {
                close(keeper);
                say("uid %d, another user, holds the name of the keeper for %s; this call makes a keeper of its own",
                    static_cast<int>(peer), outputPath);
                return startOwnKeeper(-1);
            }
            if ((keeper = greet(keeper)) >= 0) return keeper;
            continue;  // one that was going away: the next one is new
        }
        bool none = errno == ECONNREFUSED;
        close(keeper);
        int listener = none ? openSocket() : -1;
        if (listener >= 0 && bind(listener, at, size) == 0 && listen(listener, SOMAXCONN) == 0)
            return startOwnKeeper(listener);
        if (listener >= 0) close(listener);
        delayEvent(1);  // another call is starting the keeper: it listens in a moment
    }
    if (size > 0) say("the keeper of %s did not answer for a second; this call makes a keeper of its own", outputPath);
    return startOwnKeeper(-1);
}

// The connection to the keeper; at the end of the call the keeper ends it,
// after removing our remote when the call keeps it for 0 seconds.
struct Connection {
    int fd;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection() {
        if (fd < 0) return;
        shutdown(fd, SHUT_WR);
        char end = 0;
        patient(fd, settleMs + patienceMs);
        for (ssize_t got = 1; got > 0 || (got < 0 && errno == EINTR);) got = recv(fd, &end, sizeof end, 0);
        close(fd);
    }
};
Connection connection{reachKeeper()};

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
        "tracing the keys it lacks to standard error", outputPath, names, code, button->name);
}

// The Linux key that went in: 0 when the device has none for the button, -1
// when the event goes to standard error. A keeper gone (killed, or its
// device removed) is replaced once, so that no key is lost without a word.
long sendKey(unsigned action, unsigned long code) {
    for (int attempt = 0; connection.fd >= 0; ++attempt) {
        long key = ask(connection.fd, action, static_cast<unsigned>(code));
        if (key >= 0) return key;
        close(connection.fd);
        connection.fd = -1;
        if (attempt > 0)
            return fallBack("cannot send key events through the keeper of", outputPath, "it went away again", "see above");
        say("the keeper of %s went away; starting a new one", outputPath);
        connection.fd = reachKeeper();
    }
    return -1;
}

// Nothing that may wait goes between a press and its release: the press's
// trace line goes out after the release has gone in.
unsigned long heldKey = 0;

void dispatch(const char* action, unsigned long code, unsigned what) {
    const Button* button = findButton(code);
    long key = connection.fd < 0 ? -1 : button == nullptr ? 0 : sendKey(what, code);
    if (key == 0) tellOfMissingKey(code, button);
    if (key > 0 && what == press) {
        heldKey = code;
    } else {
        if (heldKey != 0) traceEvent("down", heldKey);
        heldKey = 0;
        if (!traceEvent(action, code) && key <= 0) showEvent(action, code);
    }
    delayEvent(delayMs);
}

}  // namespace

void CascadeInput::DispatchKeyDown(unsigned long key) { dispatch("down", key, press); }

void CascadeInput::DispatchKeyUp(unsigned long key) { dispatch("up", key, release); }
