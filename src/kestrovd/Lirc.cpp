// kestrovd's LIRC face (Kestrovd.h): the socket protocol of lircd, LIRC's
// daemon, on Unix sockets and TCP, so that irsend, irw and every LIRC client
// press the device's keys. One remote, "kestrov", whose codes are the Linux
// key names of Buttons.h. A command's key goes to the loop; its reply comes
// back when the key is in, and the client's next command waits for it, as
// lircd's would. A client can hold up no other: nothing here waits on one.
#include "Buttons.h"
#include "Kestrovd.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr int mostClients = 64;
constexpr int mostFromOneAddress = 8;   // over TCP, so that no one address holds the others off
constexpr size_t longestLine = 1024;     // a command, its line feed included
constexpr size_t mostOwed = 16384;       // replies and broadcasts a client may leave unread
constexpr long long lineWaitMs = 10000;  // from a line's first byte to its end
constexpr long long firstRepeatMs = 500, repeatMs = 125;  // a receiver's repeats of a held key

struct Client {
    int fd;
    int id;  // numbered from 1, never reused, so that a late reply finds no other
    char line[longestLine];
    size_t lineSize;
    long long lineSinceMs;  // when its first byte came
    char owed[mostOwed];    // what it has not taken yet
    size_t owedSize;
    char from[INET6_ADDRSTRLEN];  // a TCP client's address; empty: on a Unix socket
    bool waits;                   // for its key's reply: its next command waits too
    char command[longestLine];    // the command that reply answers
};
Client clients[mostClients];
int clientCount;
int lastId;

// Where LIRC's clients come in: our own Unix sockets and ports, or those
// the system handed us, which stay as they are when we go.
constexpr int mostListeners = 8;
static_assert(mostLircWatched == mostListeners + mostClients, "what the loop waits on");
struct Listener {
    int fd;
    const char* path;  // our own socket's, removed at exit if still ours; null: none
    dev_t device;
    ino_t made;
};
Listener listeners[mostListeners];
int listenerCount;
bool outOfFiles;  // no descriptor for one more client: the next waits until one goes

// What the client has not taken yet, as much as it takes now.
void flush(Client& client) {
    ssize_t sent = client.owedSize > 0 ? send(client.fd, client.owed, client.owedSize, MSG_DONTWAIT | MSG_NOSIGNAL) : 0;
    if (sent <= 0) return;
    client.owedSize -= static_cast<size_t>(sent);
    std::memmove(client.owed, client.owed + sent, client.owedSize);
}

// Text for the client; one that leaves mostOwed unread is dropped (fd -1).
void owe(Client& client, const char* format, ...) __attribute__((format(printf, 2, 3)));
void owe(Client& client, const char* format, ...) {  // NOLINT(cert-dcl50-cpp): as say
    if (client.fd < 0) return;
    va_list arguments;
    va_start(arguments, format);
    int length = std::vsnprintf(client.owed + client.owedSize, mostOwed - client.owedSize, format, arguments);
    va_end(arguments);
    if (length >= 0 && client.owedSize + static_cast<size_t>(length) < mostOwed) {
        client.owedSize += static_cast<size_t>(length);
        return flush(client);
    }
    say("a client took nothing of %zu bytes; closed it", mostOwed);
    close(client.fd);
    client.fd = -1;
}

// lircd's reply: the command as received, SUCCESS or ERROR, the data.
void succeed(Client& client, const char* command) { owe(client, "BEGIN\n%s\nSUCCESS\nEND\n", command); }
void answer(Client& client, const char* command, const char* data) {
    owe(client, "BEGIN\n%s\nSUCCESS\nDATA\n1\n%s\nEND\n", command, data);
}
// The reason, and the word it is about, as lircd says it: unknown remote: "tv".
void refuse(Client& client, const char* command, const char* reason, const char* word = nullptr) {
    owe(client, "BEGIN\n%s\nERROR\nDATA\n1\n%s%s%.40s%s\nEND\n", command, reason, word != nullptr ? ": \"" : "",
        word != nullptr ? word : "", word != nullptr ? "\"" : "");
}

// REPEATS as a hold: until the last of them on a receiver, and half a
// repeat more; at most 10 s, so at most 76 repeats. -1: not a number; -2:
// more than that.
constexpr long long mostRepeats = (longestHoldMs - firstRepeatMs - repeatMs / 2) / repeatMs + 1;
long long readRepeats(const char* text) {
    long long repeats = 0;
    for (const char* digit = text; digit != nullptr && *digit != '\0'; ++digit) {
        if (*digit < '0' || *digit > '9') return -1;
        repeats = repeats <= mostRepeats ? repeats * 10 + (*digit - '0') : repeats;
    }
    if (repeats > mostRepeats) return -2;
    return repeats == 0 ? 0 : firstRepeatMs + (repeats - 1) * repeatMs + repeatMs / 2;
}

// A command's words, split on white space as lircd splits them.
struct Words {
    char text[longestLine];
    const char* word[5];  // the fifth: any more
    int count;
};
void split(const char* line, Words& words) {
    std::snprintf(words.text, sizeof words.text, "%s", line);
    words.count = 0;
    for (char* at = std::strtok(words.text, " \t\r"); at != nullptr; at = std::strtok(nullptr, " \t\r"))
        words.word[words.count < 5 ? words.count++ : 4] = at;
}

// The button that REMOTE CODE names, with no more than `most` words; null
// once the client is told why not.
const Button* findNamed(Client& client, const char* line, const Words& words, int most, const char** name) {
    const Button* button = words.count > 2 ? findCode(words.word[2], name) : nullptr;
    if (words.count == 1) refuse(client, line, "remote missing");
    else if (strcasecmp(words.word[1], remoteName) != 0) refuse(client, line, "unknown remote", words.word[1]);
    else if (words.count == 2) refuse(client, line, "code missing");
    else if (button == nullptr) refuse(client, line, "unknown command", words.word[2]);
    else if (words.count > most) refuse(client, line, "bad send packet (trailing ws)");
    else return button;
    return nullptr;
}

// The key for the loop; the client's reply waits for it.
bool ask(Client& client, const char* line, const Button* button, char action, long long holdMs, KeyRequest& asked) {
    if (button == nullptr) return false;
    asked = KeyRequest{'l', action, static_cast<unsigned char>(button - buttons), client.id, holdMs};
    client.waits = true;
    std::snprintf(client.command, sizeof client.command, "%s", line);
    return true;
}

bool sendOnce(Client& client, const char* line, const Words& words, KeyRequest& asked) {
    const char* name = nullptr;
    const Button* button = findNamed(client, line, words, 4, &name);
    long long holdMs = readRepeats(words.count == 4 ? words.word[3] : nullptr);
    if (button != nullptr && holdMs == -1) refuse(client, line, "bad send packet (reps/eol)");
    else if (button != nullptr && holdMs == -2) {  // lircd's words, for a count no 10 s hold holds
        char reason[80];
        std::snprintf(reason, sizeof reason, "too many repeats: \"%.40s\" > \"%lld\"", words.word[3], mostRepeats);
        refuse(client, line, reason);
    } else {
        return ask(client, line, button, holdMs == 0 ? 't' : 'r', holdMs, asked);
    }
    return false;
}

bool sendStart(Client& client, const char* line, const Words& words, KeyRequest& asked) {
    const char* name = nullptr;
    return ask(client, line, findNamed(client, line, words, 3, &name), 's', longestHoldMs, asked);
}

bool sendStop(Client& client, const char* line, const Words& words, KeyRequest& asked) {
    const char* name = nullptr;
    return ask(client, line, findNamed(client, line, words, 3, &name), 'x', 0, asked);
}

// Scripts for IR blasters choose the transmitters first; the device is the
// one transmitter.
bool setTransmitters(Client& client, const char* line, const Words& /*words*/, KeyRequest& /*asked*/) {
    succeed(client, line);
    return false;
}

// LIST: the remote; LIST kestrov: a line a button, its code and first name;
// LIST kestrov CODE: that code's line.
bool list(Client& client, const char* line, const Words& words, KeyRequest& /*asked*/) {
    const char* name = nullptr;
    if (words.count == 1) {
        answer(client, line, remoteName);
    } else if (words.count > 2 || strcasecmp(words.word[1], remoteName) != 0) {
        if (const Button* button = findNamed(client, line, words, 3, &name))
            owe(client, "BEGIN\n%s\nSUCCESS\nDATA\n1\n%016lx %s\nEND\n", line, button->code, name);
    } else {
        owe(client, "BEGIN\n%s\nSUCCESS\nDATA\n%zu\n", line, sizeof buttons / sizeof *buttons);
        for (const Button& button : buttons) owe(client, "%016lx %s\n", button.code, button.keys[0].name);
        owe(client, "END\n");
    }
    return false;
}

bool version(Client& client, const char* line, const Words& /*words*/, KeyRequest& /*asked*/) {
    answer(client, line, "kestrovd " KESTROV_VERSION);
    return false;
}

// Each directive answers at once, or asks the loop for a key (true).
struct Directive {
    const char* name;
    bool (*run)(Client& client, const char* line, const Words& words, KeyRequest& asked);
};
constexpr Directive directives[] = {
    {"SEND_ONCE", sendOnce}, {"SEND_START", sendStart}, {"SEND_STOP", sendStop}, {"LIST", list}, {"VERSION", version},
    {"SET_TRANSMITTERS", setTransmitters},
};

// A line of HTTP: a request line (METHOD TARGET HTTP/1.1) or a header
// (Name: value). Any web page can make a browser send one to any port, its
// body a LIRC command (cross-protocol scripting); no LIRC client sends one,
// and no directive has a colon.
bool isHttp(const Words& words) {
    return words.count > 0 && (std::strchr(words.word[0], ':') != nullptr ||
                               (words.count >= 3 && strncasecmp(words.word[2], "HTTP/", 5) == 0));
}

// One command line; the directive, remote and code whatever their case, as
// lircd takes them. 'h': HTTP, which is not run; 'k': a key asked for; 0: answered.
char runCommand(Client& client, const char* line, KeyRequest& asked) {
    Words words{};
    split(line, words);
    if (isHttp(words)) return 'h';
    const Directive* found = nullptr;
    for (const Directive& directive : directives)
        if (words.count > 0 && strcasecmp(directive.name, words.word[0]) == 0) found = &directive;
    if (words.count == 0) refuse(client, line, "bad send packet");
    else if (found != nullptr) return found->run(client, line, words, asked) ? 'k' : '\0';
    else refuse(client, line, "unknown directive", words.word[0]);
    return '\0';
}

void dropClient(int index, const char* why) {
    Client& client = clients[index];
    if (why != nullptr) say("%s; closed it", why);
    if (client.fd >= 0) close(client.fd);
    outOfFiles = false;
    client = clients[--clientCount];
}

bool hasLine(const Client& client) { return std::memchr(client.line, '\n', client.lineSize) != nullptr; }

// A whole line, bytes that no LIRC client sends, or too long a line: the
// first is run, the others end the connection. True: a key asked for.
bool takeLine(int index, KeyRequest& asked) {
    Client& client = clients[index];
    if (client.waits) return false;  // its next line waits for the reply it is owed, as lircd's would
    char* end = static_cast<char*>(std::memchr(client.line, '\n', client.lineSize));
    if (end == nullptr && client.lineSize == longestLine) {
        refuse(client, "", "line too long");
        flush(client);
        dropClient(index, "a client sent a line longer than 1024 bytes");
        return false;
    }
    if (end == nullptr) return false;
    *end = '\0';
    for (const char* at = client.line; at < end; ++at)
        if ((static_cast<unsigned char>(*at) < ' ' && *at != '\t' && *at != '\r') || *at == '\x7f') {
            dropClient(index, "a client sent bytes that are not a command");
            return false;
        }
    char ran = runCommand(client, client.line, asked);
    if (ran == 'h') {
        static long long saidMs = 0;
        dropClient(index, nullptr);
        sayNowAndThen(saidMs, "a client sent HTTP, as a browser does for a web page: closed it, nothing it sent run");
        return false;
    }
    client.lineSize -= static_cast<size_t>(end + 1 - client.line);
    std::memmove(client.line, end + 1, client.lineSize);
    client.lineSinceMs = nowMs();
    return ran == 'k';
}

// What came from the client, and at most one line of it run, so that a
// client that sends much holds up no other.
bool serve(int index, short events, KeyRequest& asked) {
    Client& client = clients[index];
    if ((events & POLLOUT) != 0) flush(client);
    if ((events & (POLLHUP | POLLERR)) != 0 && hasLine(client) && client.waits) {
        dropClient(index, nullptr);
        return false;
    }
    if ((events & (POLLIN | POLLHUP | POLLERR)) != 0 && !hasLine(client)) {
        ssize_t got = recv(client.fd, client.line + client.lineSize, longestLine - client.lineSize, MSG_DONTWAIT);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
            dropClient(index, nullptr);
            return false;
        }
        if (got > 0 && client.lineSize == 0) client.lineSinceMs = nowMs();
        client.lineSize += got > 0 ? static_cast<size_t>(got) : 0;
    }
    return takeLine(index, asked);
}

// An ERROR that says why, to a client that is then closed unserved.
void turnAway(int fd, const char* why) {
    char refusal[160];
    int length = std::snprintf(refusal, sizeof refusal, "BEGIN\n\nERROR\nDATA\n1\n%s\nEND\n", why);
    if (send(fd, refusal, static_cast<size_t>(length), MSG_DONTWAIT | MSG_NOSIGNAL) < 0) {}
    close(fd);
}

// The address of a TCP client, as text; empty for a Unix socket's.
void readAddress(const sockaddr_storage& address, char (&text)[INET6_ADDRSTRLEN]) {
    text[0] = '\0';
    if (address.ss_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&address)->sin_addr, text, sizeof text);
    else if (address.ss_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&address)->sin6_addr, text, sizeof text);
}

// Takes in a client, or tells it why not and closes it.
void acceptClient(int listener) {
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    int fd = accept4(listener, reinterpret_cast<sockaddr*>(&address), &size, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0 && errno != EAGAIN && errno != EINTR) {
        outOfFiles = errno == EMFILE || errno == ENFILE;
        say("cannot take a client: %s%s", std::strerror(errno), outOfFiles ? " (raise the limit: ulimit -n)" : "");
    }
    if (fd < 0) return;
    if (clientCount == mostClients) {
        turnAway(fd, "too many clients: 64 at once");
        return say("a client came while 64 were connected; told it so and closed it");
    }
    char from[INET6_ADDRSTRLEN];
    readAddress(address, from);
    int same = 0;
    for (int i = 0; i < clientCount; ++i) same += from[0] != '\0' && std::strcmp(clients[i].from, from) == 0 ? 1 : 0;
    if (same == mostFromOneAddress) {
        static long long saidMs = 0;
        char why[96];
        std::snprintf(why, sizeof why, "too many clients from %s: 8 at once", from);
        turnAway(fd, why);
        return sayNowAndThen(saidMs, "a client came from an address that had 8 connected; told it so and closed it");
    }
    Client& client = clients[clientCount++];
    client.fd = fd;
    client.id = ++lastId;
    client.lineSize = client.owedSize = 0;
    client.waits = false;
    std::strcpy(client.from, from);
}

Client* findClient(int id) {
    for (int i = 0; i < clientCount; ++i)
        if (clients[i].id == id && clients[i].fd >= 0) return &clients[i];
    return nullptr;
}

Listener& addListener(int fd, const char* path) {
    if (listenerCount == mostListeners) quit("more than %s places to listen at%s", "8", "");
    Listener& listener = listeners[listenerCount++];
    listener = Listener{fd, path, 0, 0};
    return listener;
}

// Where a listener is: its path, or its address and port.
void describe(int fd, char* text, size_t size) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    char host[INET6_ADDRSTRLEN] = "";
    const auto* inet = reinterpret_cast<const sockaddr_in*>(&address);
    const auto* inet6 = reinterpret_cast<const sockaddr_in6*>(&address);
    if (address.ss_family == AF_UNIX) std::snprintf(text, size, "%s", reinterpret_cast<const sockaddr_un*>(&address)->sun_path);
    else if (address.ss_family == AF_INET && inet_ntop(AF_INET, &inet->sin_addr, host, sizeof host) != nullptr)
        std::snprintf(text, size, "%s:%u", host, ntohs(inet->sin_port));
    else if (address.ss_family == AF_INET6 && inet_ntop(AF_INET6, &inet6->sin6_addr, host, sizeof host) != nullptr)
        std::snprintf(text, size, "[%s]:%u", host, ntohs(inet6->sin6_port));
}

}  // namespace

// lircd's socket, where LIRC's clients look by default; its folder made if
// need be. A socket where nothing answers any more is a stale one, replaced;
// anything else there stays, and the server with it does not start.
void listenAtPath(const char* path, mode_t mode) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof address.sun_path) quit("%s: %s (give a shorter --socket)", path, "too long a path");
    std::strcpy(address.sun_path, path);
    char folder[sizeof address.sun_path];
    std::strcpy(folder, path);
    for (char* slash = std::strchr(folder + 1, '/'); slash != nullptr; slash = std::strchr(slash + 1, '/')) {
        *slash = '\0';
        if (mkdir(folder, 0755) != 0 && errno != EEXIST) quit("cannot make %s: %s", folder, std::strerror(errno));
        *slash = '/';
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    struct stat file {};
    if (fd >= 0 && lstat(path, &file) == 0) {
        if (!S_ISSOCK(file.st_mode)) quit("%s: %s; remove it, or give another --socket", path, "not a socket");
        int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
            quit("something answers at %s%s (lircd?): stop it, or give another --socket", path, "");
        close(probe);
        unlink(path);
    }
    mode_t before = umask(0177);  // none but us until chmod says who
    bool bound = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    umask(before);
    if (!bound || chmod(path, mode) != 0 || listen(fd, SOMAXCONN) != 0 || stat(path, &file) != 0)
        quit("cannot listen at %s: %s", path, std::strerror(errno));
    Listener& listener = addListener(fd, path);
    listener.device = file.st_dev;
    listener.made = file.st_ino;
}

// LIRC's clients look at /run/lirc/lircd as Debian builds them, and at
// /var/run/lirc/lircd as LIRC builds them by default: both, where /var/run
// is not a link to /run.
void listenWhereClientsLook(mode_t mode) {
    listenAtPath("/run/lirc/lircd", mode);
    struct stat there {};
    if (stat("/var/run/lirc/lircd", &there) == 0 && there.st_dev == listeners[0].device && there.st_ino == listeners[0].made)
        return;
    if (stat("/var/run", &there) == 0 && S_ISDIR(there.st_mode)) listenAtPath("/var/run/lirc/lircd", mode);
}

void listenAtPort(const char* where) {
    sockaddr_in address{};
    if (!findAddress(where, address, nullptr)) quit("--listen %s: %s", where, "not [ADDR:]PORT, as 8765 or 192.168.1.2:8765");
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, SOMAXCONN) != 0)
        quit("cannot listen at %s: %s", where, std::strerror(errno));
    addListener(fd, nullptr);
}

void listenHanded(int fd) { addListener(fd, nullptr); }

// The listeners, then every client: those dropped as they took nothing go
// first. A client whose reply is owed is not read (its next command waits).
int watchLirc(pollfd* ready) {
    for (int i = clientCount - 1; i >= 0; --i)
        if (clients[i].fd < 0) dropClient(i, nullptr);
    for (int i = 0; i < listenerCount; ++i) ready[i] = pollfd{outOfFiles ? -1 : listeners[i].fd, POLLIN, 0};
    for (int i = 0; i < clientCount; ++i)
        ready[listenerCount + i] = pollfd{clients[i].fd, static_cast<short>((clients[i].waits ? 0 : POLLIN) |
                                                                            (clients[i].owedSize > 0 ? POLLOUT : 0)), 0};
    return listenerCount + clientCount;
}

// Every client in turn, from the last: dropping one moves the last into its
// place. A half line left so for lineWaitMs ends its client. Then new ones.
int serveLirc(const pollfd* ready, int count, KeyRequest* asked) {
    int listening = listenerCount;
    int keys = 0;
    for (int i = count - listening - 1; i >= 0; --i) {
        const Client& client = clients[i];
        const pollfd& seen = ready[listening + i];
        if (client.lineSize > 0 && !hasLine(client) && nowMs() >= client.lineSinceMs + lineWaitMs)
            dropClient(i, "a client sent half a line and nothing for 10 s");
        else if ((seen.revents != 0 || hasLine(client)) && serve(i, seen.revents, asked[keys]))
            ++keys;
    }
    for (int i = 0; i < listening; ++i)
        if (ready[i].revents != 0) acceptClient(ready[i].fd);
    return keys;
}

// A line half sent and left so: when it ends its client.
long long lircDeadline() {
    long long next = nowMs() + 3600000;
    for (int i = 0; i < clientCount; ++i) {
        if (hasLine(clients[i]) && !clients[i].waits) return nowMs();
        if (clients[i].lineSize > 0 && clients[i].lineSinceMs + lineWaitMs < next) next = clients[i].lineSinceMs + lineWaitMs;
    }
    return next;
}

// The reply first, then the key's line: no line comes between a command and its reply.
void replyLirc(int who, const char* refusal, const char* line) {
    Client* client = findClient(who);
    if (client == nullptr) return;  // gone meanwhile
    client->waits = false;
    if (refusal != nullptr) refuse(*client, client->command, refusal);
    else succeed(*client, client->command);
    owe(*client, "%s", line);
}

void tellLirc(const char* line, int except) {
    for (int i = 0; i < clientCount; ++i)
        if (clients[i].id != except) owe(clients[i], "%s", line);
}

void describeLirc(char* text, size_t size) {
    std::snprintf(text, size, "%s %s", remoteName, listenerCount == 0 ? "with no socket for LIRC's clients" : "at ");
    for (int i = 0; i < listenerCount; ++i) {
        char place[sizeof(sockaddr_storage)] = "";
        describe(listeners[i].fd, place, sizeof place);
        size_t used = std::strlen(text);
        std::snprintf(text + used, size - used, "%s%s", i == 0 ? "" : i + 1 == listenerCount ? " and " : ", ", place);
    }
}

// Our own sockets, if still ours and not a newer server's; never a handed one.
void stopLirc() {
    for (int i = 0; i < listenerCount; ++i) {
        struct stat file {};
        const Listener& listener = listeners[i];
        if (listener.path != nullptr && stat(listener.path, &file) == 0 && file.st_dev == listener.device &&
            file.st_ino == listener.made)
            unlink(listener.path);
    }
}
