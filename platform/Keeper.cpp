// The keeper (Keeper.h). It alone binds its name and writes into the device,
// so the keys of calls at the same time reach readers each as a press
// followed by its release, one key down at a time, paced for all of them
// together; it serves every caller in turn, however many wait; it knows which
// caller holds the key down, so a caller that dies mid-key, even by SIGKILL,
// has its key released at once, and one that is stopped, within a second of
// the longest press.
#include "Keeper.h"
#include "Trace.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <linux/uinput.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

constexpr int maxCallers = 1024;  // more wait to be accepted, as all do when descriptors run out
// The kernel keeps 64 events for each reader of a device and drops them all
// (SYN_DROPPED) when a reader falls behind. Each write is a key event and its
// report; up to 24 events go at once, then one a millisecond: a reader that
// reads every 30 ms finds at most 54 waiting, however many calls send.
constexpr long long burstEvents = 24, eventsPerWrite = 2;
constexpr long long overdueMs = longestPressMs + 1000;  // a press its caller did not end: a stopped caller's

struct Caller {
    int fd;
    unsigned keepSeconds;
    bool sent;  // a key
};

struct Device {
    int fd;
    bool ownRemote;  // our virtual remote, not an existing device
    KeyBits keys;    // the Linux keys it has
} device;
int listener = -1;  // none: no later call can reach this keeper
bool full;          // no descriptor for one more caller: the rest wait until a call ends
Caller callers[maxCallers];
int callerCount;
// The one key down by our hand, as on a remote control; key 0: none.
struct Held {
    unsigned key;
    int caller;       // whose press it is
    long long sinceMs;
} held{0, -1, 0};
unsigned keepSeconds;        // the last call's
long settleMs;
long long bornMs, lastKeyMs, deadlineMs, pacedMs;

// Said to the call that started this keeper, which then says why in a line.
[[noreturn]] void fail(int client, Step step) {
    Setup setup{step, errno};
    send(client, &setup, sizeof setup, MSG_DONTWAIT | MSG_NOSIGNAL);
    _exit(1);
}

// Every call waiting at the name, so that none waits behind a turn of the
// others. Another user's process is turned away: the keys are not for it.
void acceptCallers() {
    while (callerCount < maxCallers && !full) {
        int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        ucred peer{};
        socklen_t size = sizeof peer;
        if (fd < 0) {
            full = errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM;
            return;
        }
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.uid != geteuid()) close(fd);
        else callers[callerCount++] = Caller{fd, keepSeconds, false};
    }
}

bool canAccept() { return listener >= 0 && callerCount < maxCallers && !full; }

// Waits until `untilMs`, taking in the calls that come meanwhile: however
// long the others' keys take, a call that connects is accepted at once.
void waitAccepting(long long untilMs) {
    for (long long left = untilMs - nowMs(); left > 0; left = untilMs - nowMs()) {
        pollfd name{canAccept() ? listener : -1, POLLIN, 0};
        // A second at most: a keeper at work stirs, so its callers wait for it (a settle of 10 s).
        if (poll(&name, 1, static_cast<int>(std::min(left, 1000LL))) > 0) acceptCallers();
    }
}

// A new remote waits for readers to notice it: they miss what it sends before.
void settleRemote() {
    if (device.ownRemote) waitAccepting(bornMs + settleMs);
}

// Waits for room in the readers' buffers (burstEvents). The calls that came
// meanwhile are accepted first, waiting or not: on a busy machine a turn of
// the others can outlast the listen queue (128 before Linux 5.4).
void pace() {
    if (canAccept()) acceptCallers();
    pacedMs = std::max(pacedMs, nowMs());
    waitAccepting(pacedMs - (burstEvents - eventsPerWrite));
    pacedMs += eventsPerWrite;
}

// The key event and its report in one write, so no reader sees one alone. A
// device that takes no more is gone: its callers start a new keeper.
void inject(unsigned key, int value) {
    pace();
    input_event events[2]{};
    events[0].type = EV_KEY;
    events[0].code = static_cast<unsigned short>(key);
    events[0].value = value;
    events[1].type = EV_SYN;
    events[1].code = SYN_REPORT;
    if (write(device.fd, events, sizeof events) != static_cast<ssize_t>(sizeof events)) _exit(1);
    if (value == 0 && key == held.key) held.key = 0;
    lastKeyMs = nowMs();
}

// On an existing device a key may be down by anyone's hand: a keeper killed
// before it released, a real remote held.
bool isDownOnDevice(unsigned key) {
    KeyBits down{};
    return !device.ownRemote && ioctl(device.fd, EVIOCGKEY(sizeof down), down) >= 0 && isSet(down, key);
}

// Every key of the table that the device shows down, up.
void releaseDown() {
    for (const Button& button : buttons)
        for (const LinuxKey& key : button.keys)
            if (key.code != 0 && isDownOnDevice(key.code)) inject(key.code, 0);
}

void releaseHeld() {
    if (held.key != 0) inject(held.key, 0);
}

// A press held past the longest that kestrov makes, by a caller stopped or
// stuck, goes up; its own release then sends nothing. The ms until it is due.
long long releaseOverdue() {
    long long left = held.sinceMs + overdueMs - nowMs();
    if (held.key != 0 && left <= 0) releaseHeld();
    return held.key != 0 ? left : overdueMs;
}

// Readers that lag behind get the settle time to read the last keys, then
// the kernel removes the remote. The caller that asked for it learns that it
// is gone when its connection closes, with this process.
[[noreturn]] void goAway() {
    close(listener);  // a new call makes a new remote from here
    listener = -1;
    if (device.ownRemote) {
        releaseHeld();
        delayEvent(static_cast<long>(lastKeyMs + settleMs - nowMs()));
        ioctl(device.fd, UI_DEV_DESTROY);
    }
    _exit(0);
}

// A call has ended, or was killed, or said what is not a request: its keys
// go up at once. The last one decides how long the device stays; with no
// name, no later call can come.
void endCall(int index) {
    Caller& caller = callers[index];
    if (held.caller == caller.fd) releaseHeld();
    if (caller.sent) lastKeyMs = nowMs();  // its last keys may still be on their way to readers
    keepSeconds = caller.keepSeconds;
    if (callerCount == 1 && (keepSeconds == 0 || listener < 0)) goAway();  // its connection closes as the remote goes
    close(caller.fd);
    full = false;
    caller = callers[--callerCount];
    deadlineMs = nowMs() + static_cast<long long>(keepSeconds) * 1000;
}

const Button* findKey(const Request& request) {
    return request.action == press || request.action == release ? findButton(request.value) : nullptr;
}

// The first of the button's keys that the device has; 0: none.
unsigned linuxKey(const Button& button) {
    for (const LinuxKey& key : button.keys)
        if (key.code != 0 && isSet(device.keys, key.code)) return key.code;
    return 0;
}

// A caller that closed its end gave up on this keeper (it was stopped, say):
// what it asked for then is no longer wanted.
bool hasGone(int fd) {
    pollfd end{fd, POLLIN, 0};
    return poll(&end, 1, 0) > 0 && (end.revents & POLLHUP) != 0;
}

// One message of the caller. True when it was a press that went in: the
// release that the caller sent with it goes next, so that no key waits down
// for a turn of the others, which a reader would take for a key held.
bool serve(int index) {
    Caller& caller = callers[index];
    Request request{};
    ssize_t got = recv(caller.fd, &request, sizeof request, MSG_DONTWAIT | MSG_TRUNC);  // the whole size
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return false;
    const Button* button = got == sizeof request ? findKey(request) : nullptr;
    bool keepRequest = got == sizeof request && request.action == keepFor && request.value <= longestKeepSeconds;
    if (button == nullptr && keepRequest) caller.keepSeconds = request.value;
    if (button == nullptr) {
        if (!keepRequest) endCall(index);
        return false;
    }
    unsigned answer = linuxKey(*button);
    bool pressed = answer != 0 && request.action == press;
    if (pressed) settleRemote();
    if (pressed && hasGone(caller.fd)) {
        endCall(index);
        return false;
    }
    if (pressed) {
        releaseHeld();  // a new key ends the last, as on a receiver; its caller's release then sends nothing
        if (isDownOnDevice(answer)) inject(answer, 0);  // else the kernel takes the press for a repeat
        inject(answer, 1);
        held = Held{answer, caller.fd, lastKeyMs};
        caller.sent = true;
    } else if (answer != 0 && held.key == answer && held.caller == caller.fd) {
        inject(answer, 0);
    }
    if (send(caller.fd, &answer, sizeof answer, MSG_DONTWAIT | MSG_NOSIGNAL) == sizeof answer) return pressed;
    endCall(index);
    return false;
}

[[noreturn]] void keep() {
    for (;;) {
        long long left = deadlineMs - nowMs();
        if (callerCount == 0 && left <= 0) goAway();
        long long wait = std::min(releaseOverdue(), callerCount > 0 ? overdueMs : std::min(left, 3600000LL));
        pollfd ready[maxCallers + 1];
        ready[0] = pollfd{canAccept() ? listener : -1, POLLIN, 0};
        for (int i = 0; i < callerCount; ++i) ready[i + 1] = pollfd{callers[i].fd, POLLIN, 0};
        if (poll(ready, static_cast<nfds_t>(callerCount) + 1, static_cast<int>(wait)) <= 0) continue;
        // Every caller in turn, one key or message each. From the last: ending
        // a call moves the last one, seen already or new, into its place.
        for (int i = callerCount - 1; i >= 0; --i)
            if (ready[i + 1].revents != 0 && serve(i)) serve(i);
        if (ready[0].revents != 0) acceptCallers();
    }
}

// Only the first caller stays open, as 3: an inherited pipe (the tool's
// standard output read by $(...)) would otherwise stay open as long as the
// remote. Standard input, output and error become /dev/null, or closed.
int keepOnly(int client) {
    constexpr int kept = STDERR_FILENO + 1;
    if (client != kept && dup2(client, kept) != kept) fail(client, Step::keeper);
    if (close_range(kept + 1, ~0U, 0) != 0) {  // Linux before 5.9
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        for (rlim_t fd = kept + 1; fd < limit.rlim_cur; ++fd) close(static_cast<int>(fd));
    }
    int none = open("/dev/null", O_RDWR);
    for (int fd = 0; fd <= STDERR_FILENO; ++fd) none >= 0 ? dup2(none, fd) : close(fd);
    if (none > STDERR_FILENO) close(none);
    return kept;
}

// The kernel passes events written to an event node into its device, for
// every reader to see. Such a write succeeds even when the kernel drops the
// event, for a key the device doesn't have, so its keys are read first.
int openDevice(int client, const char* path) {
    int fd = open(path, O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) fail(client, Step::openDevice);
    int version = 0;
    if (ioctl(fd, EVIOCGVERSION, &version) < 0 || ioctl(fd, EVIOCGBIT(EV_KEY, sizeof device.keys), device.keys) < 0)
        fail(client, Step::notInputDevice);
    return fd;
}

// The remote's name and bus: UI_DEV_SETUP since Linux 4.5; where it is
// refused, the older way, a uinput_user_dev written to the descriptor,
// which every kernel since 2.6 takes.
bool describeRemote(int fd) {
    uinput_setup setup{};
    setup.id.bustype = BUS_VIRTUAL;
    std::strncpy(setup.name, "Kestrov remote", sizeof setup.name - 1);
    if (ioctl(fd, UI_DEV_SETUP, &setup) == 0) return true;
    if (errno != EINVAL && errno != ENOTTY) return false;
    uinput_user_dev remote{};
    remote.id = setup.id;
    std::memcpy(remote.name, setup.name, sizeof remote.name);
    return write(fd, &remote, sizeof remote) == static_cast<ssize_t>(sizeof remote);
}

// The first of a button's keys that the kernel takes: one before 2.6.28
// (KEY_MAX 0x1FF) refuses KEY_NUMERIC_n but has KEY_n. 0: none.
unsigned addKey(int fd, const Button& button) {
    for (const LinuxKey& key : button.keys)
        if (key.code != 0 && ioctl(fd, UI_SET_KEYBIT, static_cast<unsigned long>(key.code)) == 0) return key.code;
    return 0;
}

// A remote with a key for every button, the first of its keys wherever the
// kernel has it, that repeats a key held down as a remote-control receiver
// does: first after 500 ms, then every 125 ms.
int createRemote(int client) {
    int fd = open("/dev/uinput", O_WRONLY | O_CLOEXEC | O_NONBLOCK);
    bool made = fd >= 0 && ioctl(fd, UI_SET_EVBIT, EV_KEY) == 0 && ioctl(fd, UI_SET_EVBIT, EV_REP) == 0;
    for (const Button& button : buttons) {
        unsigned key = made ? addKey(fd, button) : 0;
        made = key != 0;
        if (made) device.keys[key / bitsPerLong] |= 1UL << (key % bitsPerLong);
    }
    if (!made || !describeRemote(fd) || ioctl(fd, UI_DEV_CREATE) != 0) fail(client, Step::createRemote);
    input_event repeat[2]{};
    repeat[0].type = repeat[1].type = EV_REP;
    repeat[0].code = REP_DELAY;
    repeat[0].value = 500;
    repeat[1].code = REP_PERIOD;
    repeat[1].value = 125;
    write(fd, repeat, sizeof repeat);
    return fd;
}

}  // namespace

pid_t startKeeper(const Keeping& keeping, int client) noexcept {
    pid_t keeper = fork();
    if (keeper != 0) return keeper;
    // A session of its own: a kill of the caller's process group, a hang-up
    // of its terminal or a time-out's kill don't reach the keeper.
    setsid();
    prctl(PR_SET_NAME, "kestrov-keeper");
    // Wholly the user it serves: a setuid kestrov's real user may not signal it.
    gid_t group = getegid();
    uid_t user = geteuid();
    if (setresgid(group, group, group) != 0 || setresuid(user, user, user) != 0 || chdir("/") != 0)
        fail(client, Step::keeper);
    // Woken by a caller's press, the keeper does not take the processor from
    // it: the caller goes on to send the release and wait, and the keeper then
    // serves both in one turn, one switch a key where there would be two. A
    // press held goes in as soon as its caller waits (at once where another
    // processor is free). Refused (a confined service), the keys still go.
    sched_param policy{};
    sched_setscheduler(0, SCHED_BATCH, &policy);
    sigset_t none;
    sigemptyset(&none);
    for (int number = 1; number < NSIG; ++number) signal(number, number == SIGPIPE ? SIG_IGN : SIG_DFL);
    sigprocmask(SIG_SETMASK, &none, nullptr);  // the tool holds them off around each key
    client = keepOnly(client);
    callers[callerCount++] = Caller{client, keeping.keepSeconds, false};
    // Only the keeper holds the name, so whatever answers there is a keeper
    // at work; a call that finds it taken meets the keeper that took it.
    if (keeping.name != nullptr) {
        listener = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (listener < 0) fail(client, Step::keeper);
        if (bind(listener, reinterpret_cast<const sockaddr*>(keeping.name), keeping.nameSize) != 0)
            fail(client, errno == EADDRINUSE ? Step::nameTaken : Step::keeper);
        if (listen(listener, SOMAXCONN) != 0) fail(client, Step::keeper);
    }
    device.ownRemote = keeping.devicePath == nullptr;
    device.fd = device.ownRemote ? createRemote(client) : openDevice(client, keeping.devicePath);
    Setup ready{Step::ready, 0};
    if (send(client, &ready, sizeof ready, MSG_NOSIGNAL) != sizeof ready) _exit(1);
    settleMs = keeping.settleMs;
    keepSeconds = keeping.keepSeconds;
    bornMs = nowMs();
    lastKeyMs = bornMs - settleMs;  // only keys sent make the remote wait before it goes
    if (!device.ownRemote) releaseDown();  // left so by a keeper that was killed
    keep();
}
