// A remote-control receiver of the kind a device has: a uinput device with
// the Linux keys given as numbers, which repeats a key held down (EV_REP),
// there until killed. Usage: receiver KEY...
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/uinput.h>
#include <sys/ioctl.h>
#include <unistd.h>

int main(int argc, char* argv[]) {
    int fd = open("/dev/uinput", O_WRONLY);
    ioctl(fd, UI_SET_EVBIT, EV_KEY);
    ioctl(fd, UI_SET_EVBIT, EV_REP);
    for (int i = 1; i < argc; ++i) ioctl(fd, UI_SET_KEYBIT, std::strtoul(argv[i], nullptr, 10));
    uinput_setup setup{};
    std::strncpy(setup.name, "Test receiver", sizeof setup.name - 1);
    if (ioctl(fd, UI_DEV_SETUP, &setup) != 0 || ioctl(fd, UI_DEV_CREATE) != 0) return 1;
    pause();
}
