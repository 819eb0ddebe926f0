// A remote-control receiver of the kind a device has: a uinput device with
// the Linux keys given as numbers ("buttons": all of platform/Buttons.h, in
// order), a scan code (MSC_SCAN) before each key, and a key held down
// repeated (EV_REP), there until killed. Keys given as KEY:HOLD:PAUSE are
// pressed in turn from a second on, held HOLD ms, then PAUSE ms to the next,
// and repeated as remotes do, after 500 ms, then every 125 ms (else the
// kernel's 250 and 33, and readers see no EV_REP event). Options first: the
// device's name (else "Test receiver") and the ms before a repeat.
// Usage: receiver [name=NAME] [delay=MS] KEY[:HOLD:PAUSE]...
#include "Buttons.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/uinput.h>
#include <sys/ioctl.h>
#include <unistd.h>

int fd;

void emit(unsigned type, unsigned code, int value) {
    input_event event{};
    event.type = static_cast<unsigned short>(type);
    event.code = static_cast<unsigned short>(code);
    event.value = value;
    write(fd, &event, sizeof event);
}

// The key added to the device, or, when `play`, pressed if `times` is :HOLD:PAUSE.
void take(unsigned key, const char* times, bool play) {
    if (!play) ioctl(fd, UI_SET_KEYBIT, key);
    char* pause = nullptr;
    long holdMs = play && *times == ':' ? std::strtol(times + 1, &pause, 10) : -1;
    for (int value = 1; holdMs >= 0 && value >= 0; --value) {
        emit(EV_MSC, MSC_SCAN, static_cast<int>(key));
        emit(EV_KEY, key, value);
        emit(EV_SYN, SYN_REPORT, 0);
        usleep(static_cast<useconds_t>(value == 1 ? holdMs : *pause == ':' ? std::atol(pause + 1) : 0) * 1000);
    }
}

void takeArgument(const char* argument, bool play) {
    char* times = nullptr;
    auto key = static_cast<unsigned>(std::strtoul(argument, &times, 10));
    if (std::strncmp(argument, "buttons", 7) != 0) return take(key, times, play);
    for (const Button& button : buttons)
        for (const LinuxKey& linuxKey : button.keys)
            if (linuxKey.code != 0) take(linuxKey.code, argument + 7, play);
}

int main(int argc, char* argv[]) {
    fd = open("/dev/uinput", O_WRONLY);
    ioctl(fd, UI_SET_EVBIT, EV_KEY);
    ioctl(fd, UI_SET_EVBIT, EV_REP);
    ioctl(fd, UI_SET_EVBIT, EV_MSC);
    ioctl(fd, UI_SET_MSCBIT, MSC_SCAN);
    const char* name = "Test receiver";
    int delayMs = 500;
    int first = 1;
    for (; first < argc && std::strchr(argv[first], '=') != nullptr; ++first) {
        if (std::strncmp(argv[first], "name=", 5) == 0) name = argv[first] + 5;
        if (std::strncmp(argv[first], "delay=", 6) == 0) delayMs = std::atoi(argv[first] + 6);
    }
    bool plays = false;
    for (int i = first; i < argc; ++i) {
        takeArgument(argv[i], false);
        plays = plays || std::strchr(argv[i], ':') != nullptr;
    }
    uinput_setup setup{};
    std::strncpy(setup.name, name, sizeof setup.name - 1);
    if (ioctl(fd, UI_DEV_SETUP, &setup) != 0 || ioctl(fd, UI_DEV_CREATE) != 0) return 1;
    if (plays) {
        emit(EV_REP, REP_DELAY, delayMs);
        emit(EV_REP, REP_PERIOD, 125);
        sleep(1);
    }
    for (int i = first; plays && i < argc; ++i) takeArgument(argv[i], true);
    pause();
}
