// LD_PRELOAD: uinput as a kernel before 4.5 has it, refusing UI_DEV_SETUP.
#include <cerrno>
#include <cstdarg>
#include <dlfcn.h>
#include <linux/uinput.h>

extern "C" int ioctl(int fd, unsigned long request, ...) {
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    if (request == UI_DEV_SETUP) {
        errno = EINVAL;
        return -1;
    }
    static auto* real = reinterpret_cast<int (*)(int, unsigned long, ...)>(dlsym(RTLD_NEXT, "ioctl"));
    return real(fd, request, argument);
}
