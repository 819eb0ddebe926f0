// Another process at a keeper's meeting point, an abstract Unix socket name.
// Usage: peer NAME HEX     sends those bytes and prints the answer, "closed", or "no answer" after 3 s
//        peer NAME         holds the name and prints the size of what it is sent
//        peer NAME listen  holds the name and never accepts
//        peer NAME bind    holds the name and never listens
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

int main(int argc, char* argv[]) {
    sockaddr_un at{};
    at.sun_family = AF_UNIX;
    std::strncpy(at.sun_path + 1, argv[1], sizeof at.sun_path - 2);
    auto size = static_cast<socklen_t>(sizeof at.sun_family + 1 + std::strlen(argv[1]));
    auto* address = reinterpret_cast<sockaddr*>(&at);
    int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    unsigned char bytes[64];
    bool holds = argc < 3 || std::strcmp(argv[2], "listen") == 0 || std::strcmp(argv[2], "bind") == 0;
    if (holds) {
        if (bind(fd, address, size) != 0 || (argc < 3 || argv[2][0] == 'l' ? listen(fd, 8) : 0) != 0) return 1;
        if (argc == 3) pause();
        for (int caller = 0; (caller = accept(fd, nullptr, nullptr)) >= 0; close(caller))
            for (ssize_t got = 0; (got = recv(caller, bytes, sizeof bytes, 0)) > 0;) std::printf("sent %zd bytes\n", got);
        return 1;
    }
    size_t length = 0;
    for (const char* hex = argv[2]; hex[0] != '\0' && length < sizeof bytes; hex += 2)
        std::sscanf(hex, "%2hhx", &bytes[length++]);
    unsigned answer = 0;
    timeval patience{3, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    if (connect(fd, address, size) != 0) return 1;
    send(fd, bytes, length, MSG_NOSIGNAL);
    ssize_t got = recv(fd, &answer, sizeof answer, 0);
    if (got == sizeof answer) std::printf("answer %u\n", answer);
    // Closed before our bytes came, or after with them unread: a reset.
    else std::puts(got == 0 || errno == ECONNRESET ? "closed" : "no answer");
}
