// kestrovd: the device's remote control on the network. It speaks the socket
// protocol of lircd, LIRC's daemon, so that irsend, irw and every LIRC client
// press the device's keys, through libCascade.so as kestrov does.
//
//   kestrovd [--socket PATH] [--permission MODE] [--listen [ADDR:]PORT]
//            [--http [ADDR:]PORT] [--token-file FILE] [--tls FILE]
//
// Started by the system (socket activation), it listens where it is handed
// sockets instead: a Unix or TCP one for LIRC's clients, one named "http"
// for the page.
//
// One remote, "kestrov", whose codes are the Linux key names of Buttons.h.
// One key is down at a time, as on a remote control: a new key ends the
// last. A held key goes up at its SEND_STOP, the next key, the server's end
// or after 10 s. With --http a page in a browser holds keys too, each as
// long as the button is held, and goes up when its page goes. Every key that
// goes in is broadcast to every client and page. A client can hold up no
// other: nothing here waits on one.
#include "Buttons.h"
#include "CascadeInput.h"
#include "KestrovdWeb.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <getopt.h>
#include <initializer_list>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr const char* remoteName = "kestrov";
constexpr int mostClients = 64;
constexpr int mostFromOneAddress = 8;   // over TCP, so that no one address holds the others off
constexpr size_t longestLine = 1024;     // a command, its line feed included
constexpr size_t mostOwed = 16384;       // replies and broadcasts a client may leave unread
constexpr long long lineWaitMs = 10000;  // from a line's first byte to its end
constexpr long long longestHoldMs = 10000;
constexpr long long firstRepeatMs = 500, repeatMs = 125;  // a receiver's repeats of a held key
constexpr long long pageSilenceMs = 1000;  // a page holding a key says so every 250 ms; silent, it has gone

struct Client {
    int fd;
    char line[longestLine];
    size_t lineSize;
    long long lineSinceMs;  // when its first byte came
    char owed[mostOwed];    // what it has not taken yet
    size_t owedSize;
    char from[INET6_ADDRSTRLEN];  // a TCP client's address; empty: on a Unix socket
};
Client clients[mostClients];
int clientCount;

// The one key down, as on a remote control; button null: none.
struct Held {
    const Button* button;
    long long untilMs;
    bool started;  // by SEND_START: its SEND_STOP ends it
    int owedTo;    // the client owed a SUCCESS when it goes up (SEND_ONCE with repeats); -1: none
    char command[longestLine];
    int page;            // the page holding it; 0: none
    long long heardMs;   // when that page last said so
    char told[80];       // its broadcast line, owed to owedTo after its SUCCESS
} held{nullptr, 0, false, -1, "", 0, 0, ""};
// The last SEND_START that the server ended (at 10 s, for another key), not
// its SEND_STOP: that SEND_STOP, from any connection, as irsend sends it,
// then succeeds, as the hold it asks to end is over.
const Button* letGo;

// Where LIRC's clients come in: our own Unix sockets and ports, or those
// the system handed us, which stay as they are when we go.
constexpr int mostListeners = 8;
struct Listener {
    int fd;
    const char* path;  // our own socket's, removed at exit if still ours; null: none
    dev_t device;
    ino_t made;
};
Listener listeners[mostListeners];
int listenerCount;

int wakeUp[2] = {-1, -1};  // written by the signal handler, read by the loop
bool outOfFiles;           // no descriptor for one more client: the next waits until one goes
volatile sig_atomic_t ending = 0;

// A line on standard error, given a tenth of a second to go: the server
// waits on no one, a terminal that nobody reads included.
void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
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

Client* findClient(int fd) {
    for (int i = 0; i < clientCount; ++i)
        if (clients[i].fd == fd && fd >= 0) return &clients[i];
    return nullptr;
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

// The first button in table order with the Linux key so named (case aside,
// as lircd has it), and that key's name; null: none.
const Button* findCode(const char* name, const char** canonical) {
    for (const Button& button : buttons)
        for (const LinuxKey& key : button.keys)
            if (key.code != 0 && strcasecmp(key.name, name) == 0) {
                *canonical = key.name;
                return &button;
            }
    return nullptr;
}

// The key's line to every client and page but its sender, which gets it
// after its reply: no line comes between a command and its reply.
void broadcast(const Button& button, int sender, char (&line)[80]) {
    std::snprintf(line, sizeof line, "%016lx 00 %s %s\n", button.code, button.keys[0].name, remoteName);
    for (int i = 0; i < clientCount; ++i)
        if (clients[i].fd != sender) owe(clients[i], "%s", line);
    tellPages(line);
}

void releaseHeld() {
    if (held.button == nullptr) return;
    CascadeInput::DispatchKeyUp(held.button->code);
    if (held.started) letGo = held.button;
    held.button = nullptr;
    held.page = 0;
    if (Client* client = findClient(held.owedTo)) {
        succeed(*client, held.command);
        owe(*client, "%s", held.told);
    }
    held.owedTo = -1;
}

// A new key ends the last, as on a receiver.
void pressDown(const Button& button, int sender, char (&line)[80]) {
    releaseHeld();
    CascadeInput::DispatchKeyDown(button.code);
    broadcast(button, sender, line);
}

// Held 0 ms, it is a tap.
void pressKey(const Button& button, long long holdMs, bool started, Client& client, const char* command) {
    char line[80];
    if (started) letGo = nullptr;  // a new hold: only the one it ends is let go
    pressDown(button, client.fd, line);
    if (holdMs == 0) {
        CascadeInput::DispatchKeyUp(button.code);
    } else {
        held.button = &button;
        held.untilMs = nowMs() + holdMs;
        held.started = started;
        held.owedTo = started ? -1 : client.fd;
        std::snprintf(held.command, sizeof held.command, "%s", command);
        std::snprintf(held.told, sizeof held.told, "%s", line);
    }
    if (holdMs != 0 && !started) return;  // its reply, and then its line, when it goes up
    succeed(client, command);
    owe(client, "%s", line);
}

// What a page asks: a button down until it says up, goes or falls silent.
void takePageEvent(const PageEvent& event) {
    const Button& button = buttons[event.button];
    bool holds = held.button != nullptr && held.page == event.page;
    if (event.action == 'h' && holds) held.heardMs = nowMs();
    if (holds && (event.action == 'c' || (event.action == 'u' && held.button == &button))) releaseHeld();
    if (event.action != 'd') return;
    char line[80];
    pressDown(button, -1, line);
    long long now = nowMs();
    held = Held{&button, now + longestHoldMs, false, -1, "", event.page, now, ""};
}

void takePageEvents(int pageEvents) {
    PageEvent event{};
    while (read(pageEvents, &event, sizeof event) == sizeof event) takePageEvent(event);
}

// When the held key goes up by itself: its time, or its page's silence.
long long heldUntil() {
    if (held.page != 0 && held.heardMs + pageSilenceMs < held.untilMs) return held.heardMs + pageSilenceMs;
    return held.untilMs;
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

void sendOnce(Client& client, const char* line, const Words& words) {
    const char* name = nullptr;
    const Button* button = findNamed(client, line, words, 4, &name);
    long long holdMs = readRepeats(words.count == 4 ? words.word[3] : nullptr);
    if (button != nullptr && holdMs == -1) refuse(client, line, "bad send packet (reps/eol)");
    else if (button != nullptr && holdMs == -2) {  // lircd's words, for a count no 10 s hold holds
        char reason[80];
        std::snprintf(reason, sizeof reason, "too many repeats: \"%.40s\" > \"%lld\"", words.word[3], mostRepeats);
        refuse(client, line, reason);
    } else if (button != nullptr) {
        pressKey(*button, holdMs, false, client, line);
    }
}

void sendStart(Client& client, const char* line, const Words& words) {
    const char* name = nullptr;
    if (const Button* button = findNamed(client, line, words, 3, &name)) pressKey(*button, longestHoldMs, true, client, line);
}

void sendStop(Client& client, const char* line, const Words& words) {
    const char* name = nullptr;
    const Button* button = findNamed(client, line, words, 3, &name);
    if (button == nullptr) return;
    bool holds = held.button == button && held.started;
    if (holds) releaseHeld();
    if (holds || letGo == button) {
        letGo = nullptr;
        return succeed(client, line);
    }
    if (held.button == nullptr || !held.started) return refuse(client, line, "not repeating");
    refuse(client, line, "specified code does not match");
}

// Scripts for IR blasters choose the transmitters first; the device is the
// one transmitter.
void setTransmitters(Client& client, const char* line, const Words& /*words*/) { succeed(client, line); }

// LIST: the remote; LIST kestrov: a line a button, its code and first name;
// LIST kestrov CODE: that code's line.
void list(Client& client, const char* line, const Words& words) {
    const char* name = nullptr;
    if (words.count == 1) return answer(client, line, remoteName);
    if (words.count > 2 || strcasecmp(words.word[1], remoteName) != 0) {
        if (const Button* button = findNamed(client, line, words, 3, &name))
            owe(client, "BEGIN\n%s\nSUCCESS\nDATA\n1\n%016lx %s\nEND\n", line, button->code, name);
        return;
    }
    owe(client, "BEGIN\n%s\nSUCCESS\nDATA\n%zu\n", line, sizeof buttons / sizeof *buttons);
    for (const Button& button : buttons) owe(client, "%016lx %s\n", button.code, button.keys[0].name);
    owe(client, "END\n");
}

void version(Client& client, const char* line, const Words& /*words*/) { answer(client, line, "kestrovd " KESTROV_VERSION); }

struct Directive {
    const char* name;
    void (*run)(Client& client, const char* line, const Words& words);
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
// lircd takes them. False: HTTP, which is not run.
bool runCommand(Client& client, const char* line) {
    Words words{};
    split(line, words);
    if (isHttp(words)) return false;
    const Directive* found = nullptr;
    for (const Directive& directive : directives)
        if (words.count > 0 && strcasecmp(directive.name, words.word[0]) == 0) found = &directive;
    if (words.count == 0) refuse(client, line, "bad send packet");
    else if (found != nullptr) found->run(client, line, words);
    else refuse(client, line, "unknown directive", words.word[0]);
    return true;
}

// Said once, and then at most once a minute, however many come: a web page
// can make many.
void sayNowAndThen(long long& saidMs, const char* line) {
    if (saidMs != 0 && nowMs() - saidMs < 60000) return;
    saidMs = nowMs();
    say("%s (said at most once a minute)", line);
}

void dropClient(int index, const char* why) {
    Client& client = clients[index];
    if (why != nullptr) say("%s; closed it", why);
    if (client.fd >= 0) close(client.fd);
    if (held.owedTo == client.fd) held.owedTo = -1;
    outOfFiles = false;
    client = clients[--clientCount];
}

bool isOwed(const Client& client) { return held.owedTo == client.fd && client.fd >= 0; }

// A whole line, bytes that no LIRC client sends, or too long a line: the
// first is run, the others end the connection. False when the client went.
bool takeLine(int index) {
    Client& client = clients[index];
    if (isOwed(client)) return true;  // its next line waits for the reply it is owed, as lircd's would
    char* end = static_cast<char*>(std::memchr(client.line, '\n', client.lineSize));
    if (end == nullptr && client.lineSize == longestLine) {
        refuse(client, "", "line too long");
        flush(client);
        dropClient(index, "a client sent a line longer than 1024 bytes");
        return false;
    }
    if (end == nullptr) return true;
    *end = '\0';
    for (const char* at = client.line; at < end; ++at)
        if ((static_cast<unsigned char>(*at) < ' ' && *at != '\t' && *at != '\r') || *at == '\x7f') {
            dropClient(index, "a client sent bytes that are not a command");
            return false;
        }
    if (!runCommand(client, client.line)) {
        static long long saidMs = 0;
        dropClient(index, nullptr);
        sayNowAndThen(saidMs, "a client sent HTTP, as a browser does for a web page: closed it, nothing it sent run");
        return false;
    }
    client.lineSize -= static_cast<size_t>(end + 1 - client.line);
    std::memmove(client.line, end + 1, client.lineSize);
    client.lineSinceMs = nowMs();
    return true;
}

bool hasLine(const Client& client) { return std::memchr(client.line, '\n', client.lineSize) != nullptr; }

// What came from the client, and at most one line of it run, so that a
// client that sends much holds up no other.
void serve(int index, short events) {
    Client& client = clients[index];
    if ((events & POLLOUT) != 0) flush(client);
    if ((events & (POLLHUP | POLLERR)) != 0 && hasLine(client) && isOwed(client)) return dropClient(index, nullptr);
    if ((events & (POLLIN | POLLHUP | POLLERR)) != 0 && !hasLine(client)) {
        ssize_t got = recv(client.fd, client.line + client.lineSize, longestLine - client.lineSize, MSG_DONTWAIT);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) return dropClient(index, nullptr);
        if (got > 0 && client.lineSize == 0) client.lineSinceMs = nowMs();
        client.lineSize += got > 0 ? static_cast<size_t>(got) : 0;
    }
    takeLine(index);
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
    client.lineSize = client.owedSize = 0;
    std::strcpy(client.from, from);
}

// A line half sent and left so, or a held key's time: what the loop waits for.
long long nextDeadline() {
    long long next = held.button != nullptr ? heldUntil() : nowMs() + 3600000;
    for (int i = 0; i < clientCount; ++i) {
        if (hasLine(clients[i]) && !isOwed(clients[i])) return nowMs();
        if (clients[i].lineSize > 0 && clients[i].lineSinceMs + lineWaitMs < next) next = clients[i].lineSinceMs + lineWaitMs;
    }
    return next;
}

// Every client in turn, from the last: dropping one moves the last into its
// place. A half line left so for lineWaitMs ends its client.
void serveClients(const pollfd* ready, int count) {
    for (int i = count - 1; i >= 0; --i) {
        const Client& client = clients[i];
        if (client.lineSize > 0 && !hasLine(client) && nowMs() >= client.lineSinceMs + lineWaitMs)
            dropClient(i, "a client sent half a line and nothing for 10 s");
        else if (ready[i].revents != 0 || hasLine(client))
            serve(i, ready[i].revents);
    }
}

// What the loop waits on: a signal, the pages, the listeners, every client;
// the clients dropped as they took nothing go first. Their count (poll
// takes no more than the limit on descriptors).
int watch(pollfd (&ready)[2 + mostListeners + mostClients], int pageEvents) {
    for (int i = clientCount - 1; i >= 0; --i)
        if (clients[i].fd < 0) dropClient(i, nullptr);
    ready[0] = pollfd{wakeUp[0], POLLIN, 0};
    ready[1] = pollfd{pageEvents, POLLIN, 0};
    for (int i = 0; i < listenerCount; ++i) ready[i + 2] = pollfd{outOfFiles ? -1 : listeners[i].fd, POLLIN, 0};
    pollfd* watched = ready + 2 + listenerCount;
    for (int i = 0; i < clientCount; ++i)
        watched[i] = pollfd{clients[i].fd, static_cast<short>((isOwed(clients[i]) ? 0 : POLLIN) | (clients[i].owedSize > 0 ? POLLOUT : 0)), 0};
    return 2 + listenerCount + clientCount;
}

void serveAll(int pageEvents) {
    while (ending == 0) {
        pollfd ready[2 + mostListeners + mostClients];
        int count = watch(ready, pageEvents);
        long long wait = nextDeadline() - nowMs();
        if (poll(ready, static_cast<nfds_t>(count), static_cast<int>(wait > 0 ? wait : 0)) < 0 && errno != EINTR)
            return say("cannot wait for clients: %s", std::strerror(errno));
        if (held.button != nullptr && nowMs() >= heldUntil()) releaseHeld();
        if (ready[1].revents != 0) takePageEvents(pageEvents);
        serveClients(ready + 2 + listenerCount, count - 2 - listenerCount);
        for (int i = 2; i < 2 + listenerCount; ++i)
            if (ready[i].revents != 0) acceptClient(ready[i].fd);
    }
}

void wake(int /*signal*/) {
    int saved = errno;
    ending = 1;
    if (write(wakeUp[1], "", 1) < 0) {}
    errno = saved;
}

// SIGTERM, SIGINT and SIGHUP end the server, whole: its key released, its
// socket removed. A client gone is a send that fails, not SIGPIPE.
void catchEnds() {
    if (pipe2(wakeUp, O_CLOEXEC | O_NONBLOCK) != 0) wakeUp[0] = wakeUp[1] = -1;
    struct sigaction onEnd {};
    onEnd.sa_handler = wake;
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) sigaction(signal, &onEnd, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

Listener& addListener(int fd, const char* path) {
    if (listenerCount == mostListeners) quit("more than %s places to listen at%s", "8", "");
    Listener& listener = listeners[listenerCount++];
    listener = Listener{fd, path, 0, 0};
    return listener;
}

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

// The sockets that the system hands a service it starts (sd_listen_fds(3)):
// LISTEN_FDS of them from descriptor 3, for this process (LISTEN_PID), named
// by LISTEN_FDNAMES. Each is a listening stream socket, taken as it is:
// "http" the page's, any other LIRC's. Their count; the page's in `page`.
constexpr int firstHanded = 3;
int takeHanded(int& page) {
    const char* pid = std::getenv("LISTEN_PID");
    const char* count = std::getenv("LISTEN_FDS");
    char* end = nullptr;
    long handed = count != nullptr ? std::strtol(count, &end, 10) : 0;
    if (pid == nullptr || std::strtol(pid, nullptr, 10) != getpid() || end == count || *end != '\0' || handed <= 0) return 0;
    if (handed > mostListeners + 1) quit("handed %s sockets: %s", count, "9 at the most");
    char names[256] = "";
    std::snprintf(names, sizeof names, "%s", std::getenv("LISTEN_FDNAMES") != nullptr ? std::getenv("LISTEN_FDNAMES") : "");
    char* name = names;
    for (int fd = firstHanded; fd < firstHanded + handed; ++fd) {
        char* next = std::strchr(name, ':');
        if (next != nullptr) *next++ = '\0';
        int type = 0;
        int listening = 0;
        socklen_t size = sizeof type;
        bool stream = getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) == 0 && type == SOCK_STREAM;
        size = sizeof listening;
        char number[12];
        std::snprintf(number, sizeof number, "%d", fd);
        if (!stream || getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0 || listening == 0)
            quit("handed descriptor %s%s, not a listening stream socket (give its unit ListenStream=)", number, "");
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        if (std::strcmp(name, "http") == 0 && page >= 0) quit("handed two sockets named %s%s", "http", "");
        if (std::strcmp(name, "http") == 0) page = fd;
        else addListener(fd, nullptr);
        name = next != nullptr ? next : names + std::strlen(names);
    }
    for (const char* variable : {"LISTEN_PID", "LISTEN_FDS", "LISTEN_FDNAMES"}) unsetenv(variable);  // not the keeper's
    return static_cast<int>(handed);
}

// Where a listener is, for the start line: its path, or its address and port.
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

// A hold of the library's own would hold the server up with each key.
void refuseHolds() {
    for (const char* name : {"CASCADE_HOLD_MS", "CASCADE_DELAY_MS"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0' && std::strcmp(value, "0") != 0)
            quit("%s is set: each key would hold the server up%s; unset it (SEND_ONCE's REPEATS hold a key)", name, "");
    }
}

// What the command line says; false: it says nothing that reads.
struct Places {
    const char* path;
    mode_t mode;
    const char* port;
    const char* http;
    const char* tokenFile;
    const char* tlsFile;
    bool given;  // any place to listen at, or the socket's mode
};
bool readOptions(int argc, char* argv[], Places& places) {
    const option options[] = {{"socket", required_argument, nullptr, 's'},     {"permission", required_argument, nullptr, 'p'},
                              {"listen", required_argument, nullptr, 'l'},     {"http", required_argument, nullptr, 'h'},
                              {"token-file", required_argument, nullptr, 't'}, {"tls", required_argument, nullptr, 'T'},
                              {nullptr, 0, nullptr, 0}};
    long mode = 0660;
    char* end = nullptr;
    bool usable = true;
    for (int option = 0; (option = getopt_long(argc, argv, "s:p:l:h:t:T:", options, nullptr)) != -1;) {
        places.given = places.given || option == 's' || option == 'p' || option == 'l' || option == 'h';
        if (option == 's') places.path = optarg;
        else if (option == 'l') places.port = optarg;
        else if (option == 'h') places.http = optarg;
        else if (option == 't') places.tokenFile = optarg;
        else if (option == 'T') places.tlsFile = optarg;
        else if (option != 'p' || (mode = std::strtol(optarg, &end, 8), *end != '\0' || mode < 0 || mode > 0777)) usable = false;
    }
    places.mode = static_cast<mode_t>(mode);
    return usable && optind == argc;
}

// The start line, where LIRC's clients find us, and the page's address.
void sayWhere(const char* page) {
    std::printf("kestrovd: remote %s %s", remoteName, listenerCount == 0 ? "on the page only" : "at ");
    for (int i = 0; i < listenerCount; ++i) {
        char place[sizeof(sockaddr_storage)] = "";
        describe(listeners[i].fd, place, sizeof place);
        std::printf("%s%s", i == 0 ? "" : i + 1 == listenerCount ? " and " : ", ", place);
    }
    std::printf("\n");
    if (page != nullptr) std::printf("kestrovd: the page at %s\n", page);
    std::fflush(stdout);
}

// Our own sockets, if still ours and not a newer server's; never a handed one.
void removeOwnSockets() {
    for (int i = 0; i < listenerCount; ++i) {
        struct stat file {};
        const Listener& listener = listeners[i];
        if (listener.path != nullptr && stat(listener.path, &file) == 0 && file.st_dev == listener.device &&
            file.st_ino == listener.made)
            unlink(listener.path);
    }
}

}  // namespace

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

int main(int argc, char* argv[]) {
    Places places{};
    int pageSocket = -1;
    bool usable = readOptions(argc, argv, places);
    int handed = usable ? takeHanded(pageSocket) : 0;
    bool page = places.http != nullptr || pageSocket >= 0;
    if (!usable || ((places.tokenFile != nullptr || places.tlsFile != nullptr) && !page)) {
        std::fputs("kestrovd: usage: kestrovd [--socket PATH] [--permission MODE] [--listen [ADDR:]PORT]\n"
                   "                         [--http [ADDR:]PORT] [--token-file FILE] [--tls FILE]\n", stderr);
        return 2;
    }
    if (handed > 0 && places.given) {
        std::fputs("kestrovd: the system hands this kestrovd its sockets: give their places and modes in its socket "
                   "units, not as --socket, --permission, --listen or --http\n", stderr);
        return 2;
    }
    if (!pageBuilt && page) {
        std::fputs("kestrovd: the page was not built into this kestrovd: build it with civetweb "
                   "(apt-get install libcivetweb-dev), or leave out --http\n", stderr);
        return 2;
    }
    refuseHolds();
    catchEnds();
    if (handed == 0 && places.path != nullptr) listenAtPath(places.path, places.mode);
    else if (handed == 0) listenWhereClientsLook(places.mode);
    if (places.port != nullptr) listenAtPort(places.port);
    char address[160] = "";
    int pageEvents = -1;
    if (page) {
        sockaddr_in pages{};
        char name[64] = "";
        if (places.http != nullptr && !findAddress(places.http, pages, &name))
            quit("--http %s: %s", places.http, "not [ADDR:]PORT or NAME:PORT of this machine, as 8080 or 192.168.1.2:8080");
        pageEvents = startPages(pages, name, pageSocket, places.tokenFile, places.tlsFile, address, sizeof address);
    }
    sayWhere(pageEvents >= 0 ? address : nullptr);
    serveAll(pageEvents);
    releaseHeld();
    stopPages();
    removeOwnSockets();
    return 0;
}
