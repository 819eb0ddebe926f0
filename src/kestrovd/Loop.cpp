// kestrovd: the device's remote control on the network. It speaks the socket
// protocol of lircd, LIRC's daemon, so that irsend, irw and every LIRC client
// press the device's keys, through libCascade.so as kestrov does; serves a
// page where a browser presses and holds them; and takes the HTTP keys of
// Roku's External Control Protocol (ECP), which scripts and automation tools speak.
//
//   kestrovd [--socket PATH] [--permission MODE] [--listen [ADDR:]PORT]
//            [--http [ADDR:]PORT] [--token-file FILE] [--tls FILE] [--ecp [ADDR:]PORT]
//
// Started by the system (socket activation), it listens where it is handed
// sockets instead: a Unix or TCP one for LIRC's clients, one named "http"
// for the page, one named "ecp" for ECP.
//
// This is the loop: one remote, whose keys every face asks for (Kestrovd.h).
// One key is down at a time, as on a remote control: a new key ends the
// last. A held key goes up at its stop, the next key, the server's end or
// after 10 s; a page's, as long as its button is held, and when its page
// goes. Every key that goes in is broadcast to every LIRC client and page.
#include "Buttons.h"
#include "CascadeInput.h"
#include "Kestrovd.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <initializer_list>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr long long pageSilenceMs = 1000;  // a page holding a key says so every 250 ms; silent, it has gone

// The one key down, as on a remote control; button null: none.
struct Held {
    const Button* button;
    long long untilMs;
    char startedBy;     // the face whose SEND_START or keydown it is, which its stop ends; 0: none
    KeyRequest owed;    // a LIRC client's SEND_ONCE with repeats, answered as it goes up, and its line (face 0: none)
    int page;           // the page holding it; 0: none
    long long heardMs;  // when that page last said so
} held{nullptr, 0, 0, {}, 0, 0};
// The last hold that the server or another face ended (at 10 s, for
// another key, by ECP's keyup), not its own stop: that stop, from any
// connection, as irsend sends it, then succeeds, as the hold it asks to end is over.
const Button* letGo;

int wakeUp[2] = {-1, -1};  // written by the signal handler, read by the loop
volatile sig_atomic_t ending = 0;

// The face that asked gets its answer: LIRC's client its reply and then the
// key's line, ECP its 200. A page asks for no answer.
void answer(const KeyRequest& request, const char* refusal, const char* line) {
    if (request.face == 'l') replyLirc(request.who, refusal, line);
    else if (request.face == 'e') answerEcp(request.who);
}

// The key's line, as lircd broadcasts it.
void writeLine(const Button& button, char (&line)[80]) {
    std::snprintf(line, sizeof line, "%016lx 00 %s %s\n", button.code, button.keys[0].name, remoteName);
}

// The key's line to every LIRC client and page; a LIRC client that asked
// gets it after its reply.
void broadcast(const Button& button, const KeyRequest& request, char (&line)[80]) {
    writeLine(button, line);
    tellLirc(line, request.face == 'l' ? request.who : 0);
    tellPages(line);
}

void releaseHeld() {
    if (held.button == nullptr) return;
    CascadeInput::DispatchKeyUp(held.button->code);
    if (held.startedBy != 0) letGo = held.button;
    char line[80];
    writeLine(*held.button, line);
    held.button = nullptr;
    held.page = 0;
    answer(held.owed, nullptr, line);
    held.owed = KeyRequest{};
}

// A new key ends the last, as on a receiver.
void pressDown(const Button& button, const KeyRequest& request, char (&line)[80]) {
    releaseHeld();
    CascadeInput::DispatchKeyDown(button.code);
    broadcast(button, request, line);
}

// A tap, a key held for its time, or one held until its stop.
void pressKey(const KeyRequest& request) {
    const Button& button = buttons[request.button];
    char line[80];
    if (request.action == 's') letGo = nullptr;  // a new hold: only the one it ends is let go
    pressDown(button, request, line);
    if (request.action == 't') {
        CascadeInput::DispatchKeyUp(button.code);
        return answer(request, nullptr, line);
    }
    bool started = request.action == 's';
    held = Held{&button, nowMs() + request.holdMs, started ? request.face : '\0', started ? KeyRequest{} : request, 0, 0};
    if (started) answer(request, nullptr, line);  // a hold for its time is answered as it goes up
}

// A stop of the key held until its stop, or of one let go: a success.
// Another face's stop leaves the hold's own to succeed too (irsend's
// SEND_STOP after ECP's keyup). Stopping nothing, or another key, is refused.
void stopKey(const KeyRequest& request) {
    const Button* button = &buttons[request.button];
    bool holds = held.button == button && held.startedBy != 0;
    bool own = holds && held.startedBy == request.face;
    if (holds) releaseHeld();
    if (holds || letGo == button) {
        if (!holds || own) letGo = nullptr;
        return answer(request, nullptr, "");
    }
    answer(request, held.button == nullptr || held.startedBy == 0 ? "not repeating" : "specified code does not match", "");
}

// What a page asks: a button down until it says up, goes or falls silent.
void takePageRequest(const KeyRequest& request) {
    const Button& button = buttons[request.button];
    bool holds = held.button != nullptr && held.page == request.who;
    if (request.action == 'k' && holds) held.heardMs = nowMs();
    if (holds && (request.action == 'c' || (request.action == 'u' && held.button == &button))) releaseHeld();
    if (request.action != 'd') return;
    char line[80];
    pressDown(button, request, line);
    long long now = nowMs();
    held = Held{&button, now + longestHoldMs, 0, {}, request.who, now};
}

void take(const KeyRequest& request) {
    if (request.face == 'p') takePageRequest(request);
    else if (request.action == 'x') stopKey(request);
    else pressKey(request);
}

// Both HTTP faces' requests, as they came.
void takeWebRequests(int fd) {
    KeyRequest request{};
    while (read(fd, &request, sizeof request) == sizeof request) take(request);
}

// When the held key goes up by itself: its time, or its page's silence.
long long heldUntil() {
    if (held.page != 0 && held.heardMs + pageSilenceMs < held.untilMs) return held.heardMs + pageSilenceMs;
    return held.untilMs;
}

void serveAll(int webFd) {
    while (ending == 0) {
        pollfd ready[2 + mostLircWatched];
        ready[0] = pollfd{wakeUp[0], POLLIN, 0};
        ready[1] = pollfd{webFd, POLLIN, 0};
        int count = 2 + watchLirc(ready + 2);
        long long next = lircDeadline();
        if (held.button != nullptr && heldUntil() < next) next = heldUntil();
        long long wait = next - nowMs();
        if (poll(ready, static_cast<nfds_t>(count), static_cast<int>(wait > 0 ? wait : 0)) < 0 && errno != EINTR)
            return say("cannot wait for clients: %s", std::strerror(errno));
        if (held.button != nullptr && nowMs() >= heldUntil()) releaseHeld();
        if (ready[1].revents != 0) takeWebRequests(webFd);
        KeyRequest asked[mostLircWatched];
        int keys = serveLirc(ready + 2, count - 2, asked);
        for (int i = 0; i < keys; ++i) take(asked[i]);
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

// The sockets that the system hands a service it starts (sd_listen_fds(3)):
// LISTEN_FDS of them from descriptor 3, for this process (LISTEN_PID), named
// by LISTEN_FDNAMES. Each is a listening stream socket, taken as it is:
// "http" the page's, "ecp" ECP's, any other LIRC's. Their count; the page's
// and ECP's in `page` and `ecp`.
constexpr int firstHanded = 3;
void takeListening(int fd) {
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
}

int takeHanded(int& page, int& ecp) {
    const char* pid = std::getenv("LISTEN_PID");
    const char* count = std::getenv("LISTEN_FDS");
    char* end = nullptr;
    long handed = count != nullptr ? std::strtol(count, &end, 10) : 0;
    if (pid == nullptr || std::strtol(pid, nullptr, 10) != getpid() || end == count || *end != '\0' || handed <= 0) return 0;
    if (handed > 10) quit("handed %s sockets: %s", count, "10 at the most");
    char names[256] = "";
    std::snprintf(names, sizeof names, "%s", std::getenv("LISTEN_FDNAMES") != nullptr ? std::getenv("LISTEN_FDNAMES") : "");
    char* name = names;
    for (int fd = firstHanded; fd < firstHanded + handed; ++fd) {
        char* next = std::strchr(name, ':');
        if (next != nullptr) *next++ = '\0';
        takeListening(fd);
        int* web = std::strcmp(name, "http") == 0 ? &page : std::strcmp(name, "ecp") == 0 ? &ecp : nullptr;
        if (web != nullptr && *web >= 0) quit("handed two sockets named %s%s", name, "");
        if (web != nullptr) *web = fd;
        else listenHanded(fd);
        name = next != nullptr ? next : names + std::strlen(names);
    }
    for (const char* variable : {"LISTEN_PID", "LISTEN_FDS", "LISTEN_FDNAMES"}) unsetenv(variable);  // not the keeper's
    return static_cast<int>(handed);
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
    const char* ecp;
    bool given;  // any place to listen at, or the socket's mode
};
bool readOptions(int argc, char* argv[], Places& places) {
    const option options[] = {{"socket", required_argument, nullptr, 's'},     {"permission", required_argument, nullptr, 'p'},
                              {"listen", required_argument, nullptr, 'l'},     {"http", required_argument, nullptr, 'h'},
                              {"token-file", required_argument, nullptr, 't'}, {"tls", required_argument, nullptr, 'T'},
                              {"ecp", required_argument, nullptr, 'e'},        {nullptr, 0, nullptr, 0}};
    long mode = 0660;
    char* end = nullptr;
    bool usable = true;
    for (int option = 0; (option = getopt_long(argc, argv, "s:p:l:h:t:T:e:", options, nullptr)) != -1;) {
        places.given = places.given || std::strchr("splhe", option) != nullptr;
        if (option == 's') places.path = optarg;
        else if (option == 'l') places.port = optarg;
        else if (option == 'h') places.http = optarg;
        else if (option == 't') places.tokenFile = optarg;
        else if (option == 'T') places.tlsFile = optarg;
        else if (option == 'e') places.ecp = optarg;
        else if (option != 'p' || (mode = std::strtol(optarg, &end, 8), *end != '\0' || mode < 0 || mode > 0777)) usable = false;
    }
    places.mode = static_cast<mode_t>(mode);
    return usable && optind == argc;
}

// The page's or ECP's address from the command line (`given`, for --OPTION), or none: the system's socket.
sockaddr_in readWebAddress(const char* option, const char* given, char (&name)[64]) {
    sockaddr_in address{};
    if (given == nullptr || findAddress(given, address, &name)) return address;
    const char* port = std::strcmp(option, "ecp") == 0 ? "8060" : "8080";
    char line[160];
    std::snprintf(line, sizeof line, "--%s %.60s: not [ADDR:]PORT or NAME:PORT of this machine, as %s or 192.168.1.2:%s",
                  option, given, port, port);
    quit("%s%s", line, "");
}

}  // namespace

int main(int argc, char* argv[]) {
    Places places{};
    int pageSocket = -1;
    int ecpSocket = -1;
    bool usable = readOptions(argc, argv, places);
    int handed = usable ? takeHanded(pageSocket, ecpSocket) : 0;
    bool page = places.http != nullptr || pageSocket >= 0;
    bool ecp = places.ecp != nullptr || ecpSocket >= 0;
    // The system's unit names the page's token file for when the page's socket is enabled too.
    if (!usable || ((places.tokenFile != nullptr || places.tlsFile != nullptr) && !page && handed == 0)) {
        std::fputs("kestrovd: usage: kestrovd [--socket PATH] [--permission MODE] [--listen [ADDR:]PORT]\n"
                   "                         [--http [ADDR:]PORT] [--token-file FILE] [--tls FILE] [--ecp [ADDR:]PORT]\n",
                   stderr);
        return 2;
    }
    if (handed > 0 && places.given) {
        std::fputs("kestrovd: the system hands this kestrovd its sockets: give their places and modes in its socket "
                   "units, not as --socket, --permission, --listen, --http or --ecp\n", stderr);
        return 2;
    }
    if (!webBuilt && (page || ecp)) {
        std::fputs("kestrovd: the page and ECP were not built into this kestrovd: build it with civetweb "
                   "(apt-get install libcivetweb-dev), or leave out --http and --ecp\n", stderr);
        return 2;
    }
    refuseHolds();
    catchEnds();
    if (handed == 0 && places.path != nullptr) listenAtPath(places.path, places.mode);
    else if (handed == 0) listenWhereClientsLook(places.mode);
    if (places.port != nullptr) listenAtPort(places.port);
    char pageAddress[160] = "";
    char ecpAddress[80] = "";
    if (page) {
        char name[64] = "";
        sockaddr_in address = readWebAddress("http", places.http, name);
        startPages(address, name, pageSocket, places.tokenFile, places.tlsFile, pageAddress, sizeof pageAddress);
    }
    if (ecp) {
        char ecpName[64] = "";
        sockaddr_in address = readWebAddress("ecp", places.ecp, ecpName);
        startEcp(address, ecpName, ecpSocket, ecpAddress, sizeof ecpAddress);
    }
    char where[512];
    describeLirc(where, sizeof where);
    std::printf("kestrovd: remote %s\n", where);
    if (page) std::printf("kestrovd: the page at %s\n", pageAddress);
    if (ecp) std::printf("kestrovd: ECP at %s\n", ecpAddress);
    std::fflush(stdout);
    serveAll(webRequests());
    releaseHeld();
    stopWeb();
    stopLirc();
    return 0;
}
