// LD_PRELOAD: a Ctrl-Z that lands the moment the terminal's mode has been set.
#include <csignal>
#include <dlfcn.h>
#include <termios.h>

extern "C" int tcsetattr(int fd, int action, const termios* mode) noexcept {
    static auto* real = reinterpret_cast<int (*)(int, int, const termios*)>(dlsym(RTLD_NEXT, "tcsetattr"));
    static bool stopped = false;
    int result = real(fd, action, mode);
    if (!stopped) {
        stopped = true;  // before the stop: SIGCONT's handler may set the mode again
        raise(SIGTSTP);
    }
    return result;
}
