// The evdev library: libCascade.so that puts every key event into the Linux
// input system, into a virtual remote of our own (/dev/uinput) or into the
// event device CASCADE_DEVICE names; a button goes as the first of its Linux
// keys (Buttons.h) that the device has. A keeper process holds the device
// (Keeper.h) and serves every call of its user, and keeps our remote
// CASCADE_KEEP_S seconds after the last call, so that later calls find it
// ready and readers that open a device once keep receiving. CASCADE_TRACE,
// CASCADE_DELAY_MS and CASCADE_HOLD_MS work as in the trace library. Events
// that can't go in go to standard error as trace lines, after one line says why.
#include "CascadeInput.h"
#include "Keeper.h"
#include "Trace.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr const char* uinputPath = "/dev/uinput";
constexpr long nameWaitMs = 300;  // a connect that waits this long meets a listener that never accepts
// A keeper serves its callers in turn and paces their keys (Keeper.cpp), so
// an answer may wait behind many; but a keeper at work sleeps every few ms.
// One stopped is seen at once; one that has not stirred for this long, stuck.
constexpr long stillMs = 10000;

// Read when the library is loaded, before the tool holds off any signal.
const char* loadSettings() noexcept {
    openTrace(false);
    return readSetting("CASCADE_DEVICE");
}
const char* const devicePath = loadSettings();  // none: our own remote
const char* const outputPath = devicePath != nullptr ? devicePath : uinputPath;
const long delayMs = readMilliseconds("CASCADE_DELAY_MS", 0);
const long holdMs = readMilliseconds("CASCADE_HOLD_MS", 0);
// How long readers get to notice our remote, and to read it before it goes.
const long settleMs = readMilliseconds("CASCADE_SETTLE_MS", 200);
// Long enough for the pauses of a script between its steps; short enough
// that a remote made by one call is gone soon after.
const long keepSeconds = readNumber("CASCADE_KEEP_S", 60, static_cast<long>(longestKeepSeconds), "seconds");

void fallBack(const char* failure, const char* path, const char* reason, const char* remedy) noexcept {
    say("%s %s: %s (%s); tracing to standard error", failure, path, reason, remedy);
}

bool isOutOfFiles(int error) noexcept { return error == EMFILE || error == ENFILE; }
constexpr const char* filesRemedy = "raise the limit on open files: ulimit -n";

const char* remedyFor(int error, const char* otherwise) noexcept {
    if (isOutOfFiles(error)) return filesRemedy;
    return error == EACCES || error == EPERM ? "run as root, or give your user write access to it with a udev rule"
                                             : otherwise;
}

// The keeper this call sends to; fd -1: none, the keys go to standard error.
struct Keeper {
    int fd;
    pid_t pid;
    bool named;     // others reach it too, and it stays CASCADE_KEEP_S seconds
    bool answered;  // a key
};
constexpr Keeper noKeeper{-1, 0, false, false};

// What /proc says of a process: stopped by its user, it answers nothing
// until continued; at work, it sleeps or is switched out again and again.
// Unreadable: taken as running, its switches never changing.
struct Pulse {
    bool stopped;
    long long switches;
};
Pulse feelPulse(pid_t pid) {
    char path[32];
    char status[4096] = "";
    std::snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd >= 0 && read(fd, status, sizeof status - 1) < 0) status[0] = '\0';
    if (fd >= 0) close(fd);
    Pulse pulse{false, 0};
    const char* state = std::strstr(status, "\nState:\t");  // the name before it can't fake one: line feeds are escaped
    pulse.stopped = state != nullptr && (state[8] == 'T' || state[8] == 't');
    for (const char* field : {"\nvoluntary_ctxt_switches:", "\nnonvoluntary_ctxt_switches:"})
        if (const char* at = std::strstr(status, field); at != nullptr)
            pulse.switches += std::strtoll(at + std::strlen(field), nullptr, 10);
    return pulse;
}

// The tool holds off every signal while its key is down. While the call only
// waits for its turn, one that would end the process ends it at once: the
// keeper injects nothing for a call that has gone, and releases a key it
// pressed. The mask to wait with.
sigset_t lettingEndingSignalsIn() {
    sigset_t mask;
    sigset_t ending = endingSignals();
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    for (int number = 1; number < NSIG; ++number)
        if (sigismember(&ending, number) == 1) sigdelset(&mask, number);
    return mask;
}

enum class Silence { none, gone, stopped };

// Reads `size` bytes of the keeper's answer, for as long as the keeper is at
// work. gone: it closed; stopped: it is stopped, or still for stillMs. Each
// look at /proc waits longer than the last, up to a second, so that many
// calls waiting their turn leave the processor to the keeper.
Silence await(const Keeper& from, void* answer, size_t size) {
    Pulse last{false, -1};
    sigset_t mask;
    for (long long stirred = nowMs(), slice = 100;; slice = std::min(slice * 2, 1000LL)) {
        ssize_t got = recv(from.fd, answer, size, MSG_DONTWAIT);
        if (got == static_cast<ssize_t>(size)) return Silence::none;
        if (got >= 0 || (errno != EAGAIN && errno != EINTR)) return Silence::gone;
        pollfd ready{from.fd, POLLIN, 0};
        timespec wait{static_cast<time_t>(slice / 1000), static_cast<long>(slice % 1000 * 1000000)};
        bool looked = last.switches >= 0;
        if (ppoll(&ready, 1, &wait, looked ? &mask : nullptr) != 0) continue;
        if (!looked) mask = lettingEndingSignalsIn();  // only once the call waits: the look costs
        Pulse pulse = feelPulse(from.pid);
        if (pulse.switches != last.switches) stirred = nowMs();
        if (pulse.stopped || nowMs() - stirred > stillMs) return Silence::stopped;
        last = pulse;
    }
}

// A send or a connect gives up after `milliseconds`, where the keeper's queue
// is full; above the standard streams, where the tool's own writes can't land.
int patient(int fd, long milliseconds) {
    if (fd < 0) return fd;
    timeval wait{static_cast<time_t>(milliseconds / 1000), static_cast<suseconds_t>(milliseconds % 1000 * 1000)};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
    return aboveStandardStreams(fd);
}

Keeper cannotStart(int error) {
    if (isOutOfFiles(error))
        say("cannot start a keeper for %s: %s (%s); tracing to standard error", outputPath, std::strerror(error), filesRemedy);
    else
        say("cannot start a keeper for %s: %s; tracing to standard error", outputPath, std::strerror(error));
    return noKeeper;
}

// The line that says why the keeper could not set itself up.
void tellSetupFailure(const Setup& setup) {
    const char* remedy = "name an input event device, /dev/input/eventN, or unset CASCADE_DEVICE for a virtual remote";
    const char* reason = std::strerror(setup.error);
    bool noModule = setup.error == ENOENT || setup.error == ENODEV || setup.error == ENXIO;
    if (setup.step == Step::openDevice)
        fallBack("cannot open", outputPath, reason, remedyFor(setup.error, remedy));
    else if (setup.step == Step::notInputDevice)
        fallBack("cannot use", outputPath, "not an input device", remedy);
    else if (setup.step == Step::createRemote)  // no node, or none behind it: the module isn't there
        fallBack("cannot create a virtual remote through", uinputPath, reason,
                 remedyFor(setup.error, noModule ? "load the uinput module" : "name an input event device in CASCADE_DEVICE"));
    else
        cannotStart(setup.error);
}

// Starts a keeper for this call, at the name when given, and waits until it
// has the device. fd -2: another call's keeper took the name first.
Keeper startOwnKeeper(const sockaddr_un* name, socklen_t nameSize) {
    int ends[2] = {-1, -1};
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) return cannotStart(errno);
    pid_t pid = startKeeper(Keeping{devicePath, name, nameSize, settleMs, static_cast<unsigned>(keepSeconds)}, ends[1]);
    int error = errno;
    close(ends[1]);
    Keeper started{patient(ends[0], 1000), pid, name != nullptr, false};
    Setup setup{Step::keeper, 0};
    Silence silence = pid > 0 ? await(started, &setup, sizeof setup) : Silence::gone;
    if (silence == Silence::none && setup.step == Step::ready) return started;
    close(started.fd);
    if (pid < 0) return cannotStart(error);
    if (silence == Silence::stopped && name != nullptr) {
        say("the keeper of %s (pid %d) stopped answering; this call goes on with a keeper of its own", outputPath,
            static_cast<int>(pid));
        return startOwnKeeper(nullptr, 0);
    }
    if (silence != Silence::stopped) waitpid(pid, nullptr, 0);  // it has said its last word
    if (silence != Silence::none) {
        say("cannot start a keeper for %s: it %s before it had the device; tracing to standard error", outputPath,
            silence == Silence::stopped ? "was stopped" : "ended");
        return noKeeper;
    }
    if (setup.step == Step::nameTaken) return Keeper{-2, 0, false, false};
    tellSetupFailure(setup);
    return noKeeper;
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

// The keeper of this user's device, met at its name or started at it; a
// keeper of this call's own when something else holds the name.
Keeper reachKeeper() noexcept {
    sockaddr_un address{};
    socklen_t size = nameMeetingPoint(address);
    const auto* at = reinterpret_cast<const sockaddr*>(&address);
    // Three tries: the name may be taken by the keeper of another call, which
    // listens in a moment, or by what never listens.
    for (int tries = 0; size > 0 && tries < 3; ++tries) {
        int fd = patient(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0), nameWaitMs);
        if (fd < 0) return cannotStart(errno);
        if (connect(fd, at, size) == 0) {
            ucred peer{};
            socklen_t peerSize = sizeof peer;
            getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &peerSize);
            Request hello{keepFor, static_cast<unsigned>(keepSeconds)};
            bool stopped = peer.uid == geteuid() && feelPulse(peer.pid).stopped;
            if (peer.uid == geteuid() && !stopped && send(fd, &hello, sizeof hello, MSG_NOSIGNAL) == sizeof hello)
                return Keeper{fd, peer.pid, true, false};
            close(fd);
            if (peer.uid != geteuid())
                say("uid %d, another user, holds the name of the keeper for %s; this call makes a keeper of its own",
                    static_cast<int>(peer.uid), outputPath);
            else if (stopped)
                say("the keeper of %s (pid %d) is stopped; this call makes a keeper of its own (kill -CONT %d lets it go on)",
                    outputPath, static_cast<int>(peer.pid), static_cast<int>(peer.pid));
            else
                continue;  // one going away: the next one is new
            return startOwnKeeper(nullptr, 0);
        }
        int error = errno;
        close(fd);
        if (error != ECONNREFUSED) break;  // a listener that never accepts: its queue is full
        Keeper started = startOwnKeeper(&address, size);
        if (started.fd != -2) return started;
        delayEvent(5);
    }
    if (size > 0)
        say("something holds the name of the keeper for %s and does not answer; this call makes a keeper of its own",
            outputPath);
    return startOwnKeeper(nullptr, 0);
}

Keeper keeper = reachKeeper();

// At the end of the call the keeper releases its keys; a call that keeps the
// remote for 0 seconds returns once it is gone.
struct Goodbye {
    Goodbye() = default;
    Goodbye(const Goodbye&) = delete;
    Goodbye& operator=(const Goodbye&) = delete;
    ~Goodbye() {
        if (keeper.fd < 0) return;
        if (keeper.named && keepSeconds == 0) {
            shutdown(keeper.fd, SHUT_WR);
            char end = 0;
            pollfd gone{keeper.fd, POLLIN, 0};
            for (long long deadline = nowMs() + settleMs + 1000; nowMs() < deadline;) {
                ssize_t got = poll(&gone, 1, 100) > 0 ? recv(keeper.fd, &end, sizeof end, MSG_DONTWAIT) : 1;
                if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) break;
            }
        }
        close(keeper.fd);
    }
} goodbye;

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

// The events of a key that went to the keeper, or not: a press goes at once,
// without waiting for its answer, which comes with its release's, so a key
// costs the caller one switch to the keeper and back. A press goes alone:
// its release may come much later (kestrovd holds keys).
struct Event {
    unsigned action;
    unsigned long code;
    // The Linux key that went in; 0: the device has none for it; -1: standard
    // error; -2: asked, the answer to come; -3: the asking failed.
    long key;
};
Event events[2];
int eventCount;

// The keeper gone, the answer's wait says so.
void ask(Event& event) {
    Request request{event.action, static_cast<unsigned>(event.code)};
    event.key = send(keeper.fd, &request, sizeof request, MSG_NOSIGNAL) == sizeof request ? -2 : -3;
}

void sendEvent(unsigned action, unsigned long code) {
    Event& event = events[eventCount++];
    event = Event{action, code, keeper.fd < 0 ? -1 : findButton(code) == nullptr ? 0 : -2};
    if (event.key == -2) ask(event);
}

// A keeper that is gone, or stopped, is left, its connection closed first,
// so that a stopped one, continued, sends nothing more for this call; the
// events it did not answer go to a new keeper. One that closed before it
// answered anything was going away as this call came: a new one is met in
// silence.
bool replaceKeeper(Silence silence, int& tries) {
    close(keeper.fd);
    keeper.fd = -1;
    if (++tries > 2) {
        fallBack("cannot send key events through the keeper of", outputPath, "it went away again", "see above");
        return false;
    }
    if (silence == Silence::stopped)
        say("the keeper of %s (pid %d) stopped answering; this call goes on with a keeper of its own", outputPath,
            static_cast<int>(keeper.pid));
    else if (keeper.answered)
        say("the keeper of %s went away; starting a new one", outputPath);
    keeper = silence == Silence::stopped ? startOwnKeeper(nullptr, 0) : reachKeeper();
    return keeper.fd >= 0;
}

// Every event's answer, or a new keeper's for those a keeper gone or stopped
// did not answer.
void collectAnswers() {
    int tries = 0;
    for (int i = 0; i < eventCount; ++i) {
        if (events[i].key >= -1) continue;
        unsigned answer = 0;
        Silence silence = events[i].key == -3 ? Silence::gone : await(keeper, &answer, sizeof answer);
        if (silence == Silence::none) {
            events[i].key = answer;
            keeper.answered = true;
            continue;
        }
        bool replaced = replaceKeeper(silence, tries);
        for (int j = i; j < eventCount; ++j)
            if (events[j].key < -1 && replaced) ask(events[j]);
            else if (events[j].key < -1) events[j].key = -1;
        --i;
    }
}

// Every event's answer, then its line: nothing that may wait goes between a
// press and its release.
void settle() {
    collectAnswers();
    for (int i = 0; i < eventCount; ++i) {
        const char* action = events[i].action == press ? "down" : "up";
        if (events[i].key == 0) tellOfMissingKey(events[i].code, findButton(events[i].code));
        if (!traceEvent(action, events[i].code) && events[i].key <= 0) showEvent(action, events[i].code);
    }
    eventCount = 0;
}

}  // namespace

// A press that is held, or followed by a pause, is in the device before it.
void CascadeInput::DispatchKeyDown(unsigned long key) {
    sendEvent(press, key);
    long pause = std::max(holdMs, delayMs);
    if (pause == 0) return;
    settle();
    pauseKey(pause);
}

void CascadeInput::DispatchKeyUp(unsigned long key) {
    sendEvent(release, key);
    settle();
    pauseKey(delayMs);
}
