// A remote-control receiver of the kind a device has: a uinput device with
// the Linux keys given as numbers, a scan code (MSC_SCAN) before each key, and
// a key held down repeated (EV_REP), there until killed. A key given as
// KEY:HOLD:PAUSE is also pressed, in turn, from a second after the start:
// held HOLD ms, then PAUSE ms until the next one; a receiver that plays
// repeats after 500 ms, then every 125 ms, as remotes do (else the kernel's
// 250 and 33, and no EV_REP events for readers that expect only keys).
// "buttons" stands for every Linux key of platform/Buttons.h, in its order.
// Usage: receiver KEY[:HOLD:PAUSE]...
#include "Buttons.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/uinput.h>
#include <sys/ioctl.h>
#include <unistd.h>

int fd;

void emit(unsigned short type, unsigned code, int value) {
    input_event event{};
    event.type = type;
    event.code = static_cast<unsigned short>(code);
    event.value = value;
    write(fd, &event, sizeof event);
}

void waitMs(long ms) {
    timespec wait{ms / 1000, ms % 1000 * 1000000};
    nanosleep(&wait, nullptr);
}

// The key added to the device, or pressed when `play` and timed.
void take(unsigned key, long hold, long pause, bool play) {
    if (!play) ioctl(fd, UI_SET_KEYBIT, key);
    for (int value = 1; play && hold >= 0 && value >= 0; --value) {
        emit(EV_MSC, MSC_SCAN, static_cast<int>(key));
        emit(EV_KEY, key, value);
        emit(EV_SYN, SYN_REPORT, 0);
        waitMs(value == 1 ? hold : pause);
    }
}

void takeArgument(const char* argument, bool play) {
    char* times = nullptr;
    auto key = static_cast<unsigned>(std::strtoul(argument, &times, 10));
    bool all = std::strncmp(times, "buttons", 7) == 0;
    times += all ? 7 : 0;
    long hold = *times == ':' ? std::strtol(times + 1, &times, 10) : -1;
    long pause = *times == ':' ? std::strtol(times + 1, &times, 10) : 0;
    for (const Button& button : buttons)
        for (const LinuxKey& linuxKey : button.keys)
            if (all && linuxKey.code != 0) take(linuxKey.code, hold, pause, play);
    if (!all) take(key, hold, pause, play);
}

int main(int argc, char* argv[]) {
    fd = open("/dev/uinput", O_WRONLY);
    ioctl(fd, UI_SET_EVBIT, EV_KEY);
    ioctl(fd, UI_SET_EVBIT, EV_REP);
    ioctl(fd, UI_SET_EVBIT, EV_MSC);
    ioctl(fd, UI_SET_MSCBIT, MSC_SCAN);
    bool plays = false;
    for (int i = 1; i < argc; ++i) {
        takeArgument(argv[i], false);
        plays = plays || std::strchr(argv[i], ':') != nullptr;
    }
    uinput_setup setup{};
    std::strncpy(setup.name, "Test receiver", sizeof setup.name - 1);
    if (ioctl(fd, UI_DEV_SETUP, &setup) != 0 || ioctl(fd, UI_DEV_CREATE) != 0) return 1;
    if (plays) {
        emit(EV_REP, REP_DELAY, 500);
        emit(EV_REP, REP_PERIOD, 125);
        waitMs(1000);
    }
    for (int i = 1; plays && i < argc; ++i) takeArgument(argv[i], true);
    pause();
}
