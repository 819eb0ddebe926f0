// The keeper (Keeper.h). It alone writes into the device, so the keys of
// calls at the same time reach readers each as a press followed by its
// release; it knows which caller holds which key down, so a caller that dies
// mid-key, even by SIGKILL, has its keys released at once.
#include "Keeper.h"
#include "Trace.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <linux/uinput.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int maxCallers = 256;  // more wait to be accepted
constexpr int deviceFd = 3, listenerFd = 4, firstCallerFd = 5;

struct Caller {
    int fd;
    unsigned keepSeconds;
    bool sent;  // a key
};

Device device;
bool listening;
Caller callers[maxCallers];
int callerCount;
int holder[KEY_CNT];       // the caller whose press holds each key down; -1: none
unsigned keepSeconds;      // the last call's
long long bornMs, lastKeyMs, deadlineMs;

// The key event and its report in one write, so no reader sees one alone. A
// device that takes no more is gone: its callers start a new keeper.
void inject(unsigned key, int value) {
    input_event events[2]{};
    events[0].type = EV_KEY;
    events[0].code = static_cast<unsigned short>(key);
    events[0].value = value;
    events[1].type = EV_SYN;
    events[1].code = SYN_REPORT;
    if (write(deviceFd, events, sizeof events) != static_cast<ssize_t>(sizeof events)) _exit(1);
    holder[key] = -1;
    lastKeyMs = nowMs();
}

// Down by our hand, or, on an existing device, by anyone's (a keeper killed
// before it released, a real remote held).
bool isDown(unsigned key) {
    KeyBits down{};
    return holder[key] >= 0 ||
           (!device.ownRemote && ioctl(deviceFd, EVIOCGKEY(sizeof down), down) >= 0 && isSet(down, key));
}

// Every key of the table that is down and held by `caller` (-1: by anyone), up.
void releaseKeys(int caller) {
    for (const Button& button : buttons)
        for (const LinuxKey& key : button.keys)
            if (key.code != 0 && (caller < 0 ? isDown(key.code) : holder[key.code] == caller)) inject(key.code, 0);
}

// Readers that lag behind get the settle time to read the last keys, then
// the kernel removes the remote. The caller that asked for it learns that it
// is gone when its connection closes, with this process.
[[noreturn]] void goAway() {
    close(listenerFd);  // a new call makes a new remote from here
    if (device.ownRemote) {
        releaseKeys(-1);
        delayEvent(static_cast<long>(lastKeyMs + device.settleMs - nowMs()));
        ioctl(deviceFd, UI_DEV_DESTROY);
    }
    _exit(0);
}

// A call has ended, or was killed, or said what is not a request: its keys
// go up at once. The last one decides how long the device stays.
void endCall(int index) {
    Caller& caller = callers[index];
    releaseKeys(caller.fd);
    if (caller.sent) lastKeyMs = nowMs();  // its last keys may still be on their way to readers
    keepSeconds = caller.keepSeconds;
    if (callerCount == 1 && keepSeconds == 0) goAway();  // its connection closes as the remote goes
    close(caller.fd);
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

void serve(int index) {
    Caller& caller = callers[index];
    Request request{};
    ssize_t got = recv(caller.fd, &request, sizeof request, MSG_DONTWAIT | MSG_TRUNC);  // the whole size
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;
    const Button* button = got == sizeof request ? findKey(request) : nullptr;
    if (button == nullptr && (got != sizeof request || request.action != keepFor)) return endCall(index);
    unsigned answer = 0;
    if (button == nullptr) {
        caller.keepSeconds = request.value;
        answer = static_cast<unsigned>(std::min(nowMs() - bornMs, 1000000LL));
    } else if ((answer = linuxKey(*button)) != 0 && request.action == press) {
        if (isDown(answer)) inject(answer, 0);  // another call's press ends here, as a press would on a remote
        inject(answer, 1);
        holder[answer] = caller.fd;
        caller.sent = true;
    } else if (answer != 0 && holder[answer] == caller.fd) {
        inject(answer, 0);
    }
    if (send(caller.fd, &answer, sizeof answer, MSG_DONTWAIT | MSG_NOSIGNAL) != sizeof answer) endCall(index);
}

void acceptCaller() {
    int fd = accept4(listenerFd, nullptr, nullptr, SOCK_CLOEXEC);
    ucred peer{};
    socklen_t size = sizeof peer;
    if (fd < 0) return;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.uid != geteuid()) {
        close(fd);  // another user's process: the keys of this one are not for it
        return;
    }
    callers[callerCount++] = Caller{fd, keepSeconds, false};
}

[[noreturn]] void keep() {
    for (;;) {
        long long left = deadlineMs - nowMs();
        if (callerCount == 0 && left <= 0) goAway();
        pollfd ready[maxCallers + 1];
        ready[0] = pollfd{listening && callerCount < maxCallers ? listenerFd : -1, POLLIN, 0};
        for (int i = 0; i < callerCount; ++i) ready[i + 1] = pollfd{callers[i].fd, POLLIN, 0};
        int timeout = callerCount > 0 ? -1 : static_cast<int>(left < 3600000 ? left : 3600000);
        if (poll(ready, static_cast<nfds_t>(callerCount) + 1, timeout) <= 0) continue;
        // From the last: ending a call moves the last one into its place.
        for (int i = callerCount - 1; i >= 0; --i)
            if (ready[i + 1].revents != 0) serve(i);
        if (ready[0].revents != 0) acceptCaller();
    }
}

// Only the device, the listener and the first caller stay open, as 3, 4 and
// 5: an inherited pipe (the tool's standard output read by $(...)) would
// otherwise stay open as long as the remote.
void keepOnly(int remote, int listener, int caller) {
    int kept[] = {remote, listener, caller};
    for (int& fd : kept) fd = fd < 0 ? -1 : fcntl(fd, F_DUPFD, firstCallerFd + 1);  // out of the way
    for (int i = 0; i < 3; ++i) {
        if (kept[i] >= 0) dup2(kept[i], deviceFd + i);
        else close(deviceFd + i);
    }
    if (close_range(firstCallerFd + 1, ~0U, 0) != 0) {  // Linux before 5.9
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        for (rlim_t fd = firstCallerFd + 1; fd < limit.rlim_cur; ++fd) close(static_cast<int>(fd));
    }
    int none = open("/dev/null", O_RDWR);
    for (int fd = 0; fd < 3; ++fd) dup2(none, fd);
    close(none);
}

}  // namespace

bool startKeeper(const Device& made, int listener, int client, unsigned keepFor) noexcept {
    pid_t keeper = fork();
    if (keeper != 0) return keeper > 0;
    // A session of its own: a kill of the caller's process group, a hang-up
    // of its terminal or a time-out's kill don't reach the keeper.
    setsid();
    prctl(PR_SET_NAME, "kestrov-keeper");
    // Wholly the user it serves: a setuid kestrov's real user may not signal it.
    gid_t group = getegid();
    uid_t user = geteuid();
    if (setresgid(group, group, group) != 0 || setresuid(user, user, user) != 0 || chdir("/") != 0) _exit(1);
    sigset_t none;
    sigemptyset(&none);
    for (int number = 1; number < NSIG; ++number) signal(number, number == SIGPIPE ? SIG_IGN : SIG_DFL);
    sigprocmask(SIG_SETMASK, &none, nullptr);  // the tool holds them off around each key
    keepOnly(made.fd, listener, client);
    device = made;
    listening = listener >= 0;
    callers[callerCount++] = Caller{firstCallerFd, keepFor, false};
    for (int& caller : holder) caller = -1;
    keepSeconds = keepFor;
    bornMs = nowMs();
    lastKeyMs = bornMs - device.settleMs;  // only keys sent make the remote wait before it goes
    if (!device.ownRemote) releaseKeys(-1);  // left down by a keeper that was killed
    keep();
}
