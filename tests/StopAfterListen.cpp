// LD_PRELOAD: a process stopped the moment it listens, as its user may stop
// it, holding the name it listens at.
#include <csignal>
#include <dlfcn.h>
#include <sys/socket.h>

extern "C" int listen(int fd, int backlog) noexcept {
    static auto* real = reinterpret_cast<int (*)(int, int)>(dlsym(RTLD_NEXT, "listen"));
    int result = real(fd, backlog);
    raise(SIGSTOP);
    return result;
}
