// LD_PRELOAD: uinput as a kernel before 2.6.28 has it: no UI_DEV_SETUP (4.5)
// and no keys above KEY_MAX 0x1FF, such as KEY_NUMERIC_0.
#include <cerrno>
#include <cstdarg>
#include <dlfcn.h>
#include <linux/uinput.h>

extern "C" int ioctl(int fd, unsigned long request, ...) {
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    if (request == UI_DEV_SETUP || (request == UI_SET_KEYBIT && reinterpret_cast<unsigned long>(argument) > 0x1FF)) {
        errno = EINVAL;
        return -1;
    }
    static auto* real = reinterpret_cast<int (*)(int, unsigned long, ...)>(dlsym(RTLD_NEXT, "ioctl"));
    return real(fd, request, argument);
}
