// kestrovd's helpers (Kestrovd.h), for its loop and every face.
#include "Kestrovd.h"
#include "Buttons.h"

#include <arpa/inet.h>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <netdb.h>
#include <strings.h>
#include <unistd.h>

long long nowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void quit(const char* format, const char* what, const char* why) {
    std::fprintf(stderr, "kestrovd: ");
    std::fprintf(stderr, format, what, why);
    std::fputc('\n', stderr);
    std::exit(1);
}

void say(const char* format, ...) {  // NOLINT(cert-dcl50-cpp): printf is the clearest way to say it
    char line[512] = "kestrovd: ";
    size_t prefix = std::strlen(line);
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(line + prefix, sizeof line - prefix - 1, format, arguments);
    va_end(arguments);
    std::strcat(line, "\n");
    pollfd error{STDERR_FILENO, POLLOUT, 0};
    if (poll(&error, 1, 100) > 0 && write(STDERR_FILENO, line, std::strlen(line)) < 0) {}
}

// A web page can make many of what is said so.
void sayNowAndThen(long long& saidMs, const char* line) {
    if (saidMs != 0 && nowMs() - saidMs < 60000) return;
    saidMs = nowMs();
    say("%s (said at most once a minute)", line);
}

bool findAddress(const char* where, sockaddr_in& address, char (*name)[64]) {
    address = sockaddr_in{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const char* colon = std::strrchr(where, ':');
    char host[64] = "";
    if (colon != nullptr) std::snprintf(host, sizeof host, "%.*s", static_cast<int>(colon - where), where);
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (colon != nullptr && inet_pton(AF_INET, host, &address.sin_addr) != 1) {
        if (name == nullptr || getaddrinfo(host, nullptr, &hints, &found) != 0) return false;
        address.sin_addr = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
        freeaddrinfo(found);
        std::snprintf(*name, sizeof *name, "%s", host);
    }
    char* end = nullptr;
    long port = std::strtol(colon != nullptr ? colon + 1 : where, &end, 10);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return *end == '\0' && port >= 1 && port <= 65535;
}

const Button* findCode(const char* name, const char** canonical) {
    for (const Button& button : buttons)
        for (const LinuxKey& key : button.keys)
            if (key.code != 0 && strcasecmp(key.name, name) == 0) {
                *canonical = key.name;
                return &button;
            }
    return nullptr;
}
