// kestrovd's faces over HTTP (Kestrovd.h), both served by civetweb on
// threads of its own: the page and ECP. What they ask for goes to the loop
// as requests for keys on a pipe, so that only the loop presses keys.
//
// The page is one file, Page.html, embedded at build time; its buttons come from Buttons.h and Keys.h as it
// is served, so that the page and the tool never disagree. No one gets in
// who does not belong: every request needs the token; the Host must be an
// address or the name the server was started with, since any other name
// would let another site's page in through DNS rebinding; the WebSocket
// takes only the page's own Origin, so that no page of another site presses
// keys through a tester's browser. Sizes and rates are bounded, and nothing
// a page sends reaches a file: no folder is served.
//
// ECP carries no token: it takes no request that a web page can make (one
// with an Origin, or with a Host that is a name), so that only programs
// press its keys, and it listens on loopback unless told.
#include "Buttons.h"
#include "EcpKeys.h"
#include "Kestrovd.h"
#include "Keys.h"

#include <arpa/inet.h>
#include <cerrno>
#include <civetweb.h>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <initializer_list>
#include <pthread.h>
#include <strings.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

#include "KestrovdPage.h"  // pageText[]: Page.html, its bytes

constexpr int mostPages = 16;  // pages connected at once; civetweb gives each a thread
constexpr int workers = 32;  // 16 for pages, 8 for an address that sends nothing useful, 8 more
// Connections open at once from one address, pages aside, and from all:
// civetweb gives each a worker, and a client that sends nothing useful
// holds its worker for the 5 s a request may take, so that one address
// never holds more than a third of them.
constexpr int mostFromOneAddress = 8, mostConnections = 64;
constexpr size_t longestMessage = 16;
// A page holding a key says so four times a second; a person presses a few keys a second.
constexpr long long burstMessages = 40, messagesPerSecond = 20;
constexpr long long burstRequests = 40, requestsPerSecond = 10;  // from everyone: a page is loaded by a person
// ECP: each idle connection that a client keeps holds a worker, 15 s at
// most (a keydown's keyup comes within 10 s), so that no one address holds
// more than a third of them; keys from everyone at a
// script's pace, far above a person's; a body (ECP's are empty) at most so long.
constexpr int ecpWorkers = 24;
constexpr long long burstKeys = 60, keysPerSecond = 30;
constexpr long long longestBody = 1024;
constexpr int answerWaitMs = 2000;  // the loop answers in a few ms: its key is in

// A rate: so many at once, so many a second after; in thousandths, so that
// it needs no floating point (which MIPS takes from libgcc_s).
struct Bucket {
    long long allowance;
    long long countedMs;
};

struct Page {
    mg_connection* connection;
    int id;
    Bucket messages;
};
Page pages[mostPages];
int pageCount;
int lastId;
pthread_mutex_t pagesLock = PTHREAD_MUTEX_INITIALIZER;
Bucket requests;
pthread_mutex_t requestsLock = PTHREAD_MUTEX_INITIALIZER;
int events[2] = {-1, -1};  // requests for keys, to the server's loop
int lines[2] = {-1, -1};   // keys that went in, from the loop to the pages
pthread_t teller;
char token[65];
char ownName[64];  // the name the page was started with, if not an address
char ecpName[64];  // and ECP
char lastWord[256];  // civetweb's last complaint, said if it can't start
mg_context* server;     // the page's
mg_context* ecpServer;
int* starting;          // civetweb is starting: its bind is of this face's listening socket
int handedSocket = -1;  // the system's listening socket for it, until civetweb binds
int pageListener = -1, ecpListener = -1;  // civetweb's listening sockets
Bucket keys;
pthread_mutex_t keysLock = PTHREAD_MUTEX_INITIALIZER;
char deviceInfo[2048];  // ECP's /query/device-info
struct Visitor {  // a connection civetweb took, while it is open
    int fd;
    ino_t socket;
    int listener;  // the face's: each has its share
    char address[INET_ADDRSTRLEN];
    unsigned port;
    bool page;  // a page's WebSocket, which the pages' own bound holds
};
Visitor visitors[mostConnections];
pthread_mutex_t visitorsLock = PTHREAD_MUTEX_INITIALIZER;
bool tls;               // https:// and wss://

// An address, as a Host header gives it (127.0.0.1:8080, [::1]:8080),
// localhost, which no other site's name resolves to through the browser, or
// `name`, the one the face was started with.
bool isAddress(const char* host, const char* name) {
    char given[64];
    if (host == nullptr || std::strlen(host) >= sizeof given) return false;
    std::strcpy(given, host);
    unsigned char address[16];
    char* end = given[0] == '[' ? std::strchr(given, ']') : std::strchr(given, ':');
    if (end != nullptr && (given[0] != '[' || end[1] == ':' || end[1] == '\0')) *end = '\0';
    const char* bare = given[0] == '[' ? given + 1 : given;
    return inet_pton(given[0] == '[' ? AF_INET6 : AF_INET, bare, address) == 1 || strcasecmp(bare, "localhost") == 0 ||
           (name[0] != '\0' && strcasecmp(bare, name) == 0);
}

// Compared in constant time.
bool isToken(const char* given) {
    unsigned char differs = std::strlen(given) != std::strlen(token) ? 1 : 0;
    for (size_t i = 0; token[i] != '\0'; ++i) differs |= static_cast<unsigned char>(given[i] ^ token[i]);
    return differs == 0;
}

// The cookie's name, kestrovd-PORT, PORT as the browser sees it (a tunnel's
// or a forwarded one): a cookie is a host's, whatever its port.
void nameCookie(const mg_connection* connection, char (&name)[32]) {
    const char* host = mg_get_header(connection, "Host");
    const char* colon = host != nullptr ? std::strrchr(host, ':') : nullptr;
    bool port = colon != nullptr && std::strchr(colon, ']') == nullptr && colon[1] != '\0' &&
                std::strspn(colon + 1, "0123456789") == std::strlen(colon + 1) && std::strlen(colon + 1) <= 5;
    std::snprintf(name, sizeof name, "kestrovd-%s", port ? colon + 1 : tls ? "443" : "80");
}

// The token of the query; or else of the cookie that the page's address,
// taken once, set. Where: 'q' the query, 'c' the cookie, 0 neither.
char findToken(const mg_connection* connection) {
    const char* query = mg_get_request_info(connection)->query_string;
    const char* cookies = mg_get_header(connection, "Cookie");
    char given[sizeof token] = "";
    char cookieName[32];
    nameCookie(connection, cookieName);
    if (query != nullptr && mg_get_var(query, std::strlen(query), "token", given, sizeof given) > 0) return isToken(given) ? 'q' : '\0';
    if (cookies != nullptr && mg_get_cookie(cookies, cookieName, given, sizeof given) > 0) return isToken(given) ? 'c' : '\0';
    return '\0';
}

bool belongs(const mg_connection* connection) {
    return isAddress(mg_get_header(connection, "Host"), ownName) && findToken(connection) != 0;
}

// The page's own origin: its scheme and the Host it was asked of.
bool isOwnOrigin(const mg_connection* connection) {
    const char* origin = mg_get_header(connection, "Origin");
    const char* host = mg_get_header(connection, "Host");
    const char* scheme = tls ? "https://" : "http://";
    size_t length = std::strlen(scheme);
    return origin != nullptr && host != nullptr && std::strncmp(origin, scheme, length) == 0 && std::strcmp(origin + length, host) == 0;
}

// The buttons as the page's script takes them: name, first Linux key, the
// characters of live mode that type it, the hint shown.
void writeButtons(mg_connection* connection) {
    mg_printf(connection, "[");
    for (const Button& button : buttons) {
        char typed[8] = "";  // none of them needs escaping in JSON
        size_t count = 0;
        for (const Key& key : keyTable)
            if (key.code == button.code && key.c != '\n' && count < sizeof typed - 1) typed[count++] = key.c;
        char hint[24];
        std::snprintf(hint, sizeof hint, "%s", typed[0] == ' ' ? "space" : typed);
        if (button.code >= firstSequenceKey) std::snprintf(hint, sizeof hint, "u%lu", button.code - firstSequenceKey + 1);
        mg_printf(connection, "%s{\"n\":\"%s\",\"c\":\"%s\",\"k\":\"%s\",\"h\":\"%s\"}", &button == buttons ? "" : ",",
                  button.name, button.keys[0].name, typed, hint);
    }
    mg_printf(connection, "]");
}

// The address with its token, taken once: the token becomes a cookie, only
// for this server, never for a script or another site, and the address bar,
// its history and a shared screen are left with the page's address alone.
int servePage(mg_connection* connection, void* /*unused*/) {
    char found = isAddress(mg_get_header(connection, "Host"), ownName) ? findToken(connection) : '\0';
    if (found == 0) {
        mg_send_http_error(connection, 403, "%s", "Forbidden: open the address that kestrovd printed, its token included.");
        return 403;
    }
    if (found == 'q') {
        char cookieName[32];
        nameCookie(connection, cookieName);
        mg_printf(connection, "HTTP/1.1 303 See Other\r\nLocation: /\r\nSet-Cookie: %s=%s; Max-Age=31536000; Path=/; HttpOnly; "
                              "SameSite=Strict%s\r\nCache-Control: no-store\r\nReferrer-Policy: no-referrer\r\n"
                              "Content-Length: 0\r\nConnection: close\r\n\r\n", cookieName, token, tls ? "; Secure" : "");
        return 303;
    }
    const char* marker = std::strstr(pageText, "/*BUTTONS*/[]");
    mg_printf(connection, "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nCache-Control: no-store\r\n"
                          "X-Content-Type-Options: nosniff\r\nX-Frame-Options: DENY\r\nReferrer-Policy: no-referrer\r\n"
                          "Content-Security-Policy: default-src 'none'; script-src 'unsafe-inline'; style-src "
                          "'unsafe-inline'; connect-src 'self'\r\nConnection: close\r\n\r\n");
    mg_write(connection, pageText, static_cast<size_t>(marker - pageText));
    writeButtons(connection);
    mg_printf(connection, "%s", marker + std::strlen("/*BUTTONS*/[]"));
    return 200;
}

int acceptSocket(const mg_connection* connection, void* /*unused*/) {
    pthread_mutex_lock(&pagesLock);
    bool room = pageCount < mostPages;
    pthread_mutex_unlock(&pagesLock);
    return belongs(connection) && isOwnOrigin(connection) && room ? 0 : 1;
}

// A page, which no longer counts as its address's: testers behind one
// address (an ssh tunnel's) may each have theirs.
void openSocket(mg_connection* connection, void* /*unused*/) {
    pthread_mutex_lock(&pagesLock);
    if (pageCount < mostPages) pages[pageCount++] = Page{connection, ++lastId, {burstMessages * 1000, nowMs()}};
    pthread_mutex_unlock(&pagesLock);
    const mg_request_info* request = mg_get_request_info(connection);
    pthread_mutex_lock(&visitorsLock);
    for (Visitor& visitor : visitors)
        if (visitor.fd >= 0 && visitor.port == static_cast<unsigned>(request->remote_port) &&
            std::strcmp(visitor.address, request->remote_addr) == 0)
            visitor.page = true;
    pthread_mutex_unlock(&visitorsLock);
}

Page* findPage(const mg_connection* connection) {
    for (int i = 0; i < pageCount; ++i)
        if (pages[i].connection == connection) return &pages[i];
    return nullptr;
}

// "down N", "up N" (N: the button's index) or "hold"; false: malformed.
bool readMessage(const char* data, size_t size, KeyRequest& event) {
    char text[longestMessage + 1];
    std::memcpy(text, data, size);
    text[size] = '\0';
    event.action = 'k';
    if (std::strcmp(text, "hold") == 0) return true;
    const char* number = std::strncmp(text, "down ", 5) == 0 ? text + 5 : std::strncmp(text, "up ", 3) == 0 ? text + 3 : nullptr;
    if (number == nullptr || *number < '0' || *number > '9') return false;  // strtoul would take " 1" and "+1"
    char* end = nullptr;
    unsigned long index = std::strtoul(number, &end, 10);
    event.action = text[0];  // 'd' or 'u'
    event.button = static_cast<unsigned char>(index);
    return *end == '\0' && index < sizeof buttons / sizeof *buttons;
}

// One more, if the rate allows it now.
bool spend(Bucket& bucket, long long burst, long long perSecond) {
    long long now = nowMs();
    bucket.allowance += (now - bucket.countedMs) * perSecond;
    bucket.allowance = bucket.allowance < burst * 1000 ? bucket.allowance : burst * 1000;
    bucket.countedMs = now;
    if (bucket.allowance < 1000) return false;
    bucket.allowance -= 1000;
    return true;
}

// Every request, before it is read further: too many too fast get 429.
int countRequest(mg_connection* connection) {
    pthread_mutex_lock(&requestsLock);
    bool allowed = spend(requests, burstRequests, requestsPerSecond);
    pthread_mutex_unlock(&requestsLock);
    if (allowed) return 0;
    mg_send_http_error(connection, 429, "%s", "Too many requests: wait a second.");
    return 429;
}

void tell(const KeyRequest& event) {
    if (write(events[1], &event, sizeof event) < 0) {}  // the loop is gone: we are ending
}

// A text message that reads, from a page within its rate, goes to the loop;
// anything else ends the connection (0).
int takeMessage(mg_connection* connection, int bits, char* data, size_t size, void* /*unused*/) {
    int opcode = bits & 0xf;
    if (opcode == MG_WEBSOCKET_OPCODE_PING || opcode == MG_WEBSOCKET_OPCODE_PONG) return 1;
    KeyRequest event{'p', 'k', 0, 0, 0};
    bool good = opcode == MG_WEBSOCKET_OPCODE_TEXT && size <= longestMessage && readMessage(data, size, event);
    pthread_mutex_lock(&pagesLock);
    Page* page = findPage(connection);
    good = good && page != nullptr && spend(page->messages, burstMessages, messagesPerSecond);
    event.who = page != nullptr ? page->id : 0;
    pthread_mutex_unlock(&pagesLock);
    if (good) tell(event);
    return good ? 1 : 0;
}

// A page closed or reloaded lets go of its key at once (one whose network
// went falls silent instead, which the loop sees).
void closeSocket(const mg_connection* connection, void* /*unused*/) {
    pthread_mutex_lock(&pagesLock);
    Page* page = findPage(connection);
    KeyRequest event{'p', 'c', 0, page != nullptr ? page->id : 0, 0};
    if (page != nullptr) *page = pages[--pageCount];
    pthread_mutex_unlock(&pagesLock);
    if (event.who != 0) tell(event);
}

// The lines of keys that went in, to every page, whole lines a message;
// here, so that a page slow to take them holds up no key.
void* tellLines(void* /*unused*/) {
    char text[512];
    size_t kept = 0;  // the start of a line, its end still to come
    for (ssize_t got = 0; (got = read(lines[0], text + kept, sizeof text - kept)) > 0;) {
        kept += static_cast<size_t>(got);
        size_t whole = kept;
        while (whole > 0 && text[whole - 1] != '\n') --whole;
        pthread_mutex_lock(&pagesLock);
        for (int i = 0; i < pageCount && whole > 0; ++i)
            mg_websocket_write(pages[i].connection, MG_WEBSOCKET_OPCODE_TEXT, text, whole);
        pthread_mutex_unlock(&pagesLock);
        kept -= whole;
        std::memmove(text, text + whole, kept);
    }
    return nullptr;
}

int keepWord(const mg_connection* /*unused*/, const char* message) {
    std::snprintf(lastWord, sizeof lastWord, "%s", message);
    return 1;  // said only if the server can't start
}

void makeToken() {
    unsigned char random[16];
    if (getrandom(random, sizeof random, 0) != sizeof random) quit("%s: %s", "cannot make a token", "no randomness");
    for (size_t i = 0; i < sizeof random; ++i) std::snprintf(token + 2 * i, 3, "%02x", random[i]);
}

// A secret that others may read or change is refused, as whoever reads it
// may press the device's keys.
void refuseShared(int fd, const char* what, const char* path, const char* remedy) {
    struct stat file {};
    if (fstat(fd, &file) != 0) quit("cannot read %s: %s", path, std::strerror(errno));
    if ((file.st_mode & (S_IRWXG | S_IRWXO)) == 0) return;
    char line[400];
    std::snprintf(line, sizeof line, "%s %s may be read or changed by others (mode %04o): chmod 600 it%s", what, path,
                  static_cast<unsigned>(file.st_mode & 07777), remedy);
    quit("%s%s", line, "");
}

// The certificate and key for --tls, their owner's only.
void checkTls(const char* path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) quit("cannot read the TLS file %s: %s", path, std::strerror(errno));
    refuseShared(fd, "the TLS file", path, "");
    close(fd);
}

// A token file that is missing is made, owner only, with a new token, so
// that the page's address outlives a restart; one that others may read or
// change is refused, as they would have the keys.
void readToken(const char* tokenFile) {
    if (tokenFile == nullptr) return makeToken();
    int fd = open(tokenFile, O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        makeToken();
        char line[sizeof token + 1];
        int length = std::snprintf(line, sizeof line, "%s\n", token);
        fd = open(tokenFile, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 || write(fd, line, static_cast<size_t>(length)) != length || fsync(fd) != 0) {
            if (fd >= 0) unlink(tokenFile);
            quit("cannot make the token file %s: %s", tokenFile, std::strerror(errno));
        }
        close(fd);
        return;
    }
    if (fd < 0) quit("cannot read the token file %s: %s", tokenFile, std::strerror(errno));
    refuseShared(fd, "the token file", tokenFile, ", or remove it for a new token");
    char line[128] = "";
    ssize_t got = read(fd, line, sizeof line - 1);
    close(fd);
    line[got > 0 ? got : 0] = '\0';
    line[std::strcspn(line, "\r\n")] = '\0';
    size_t length = std::strlen(line);
    if (length < 16 || length >= sizeof token ||
        std::strspn(line, "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_.~") != length)
        quit("%s: %s", tokenFile, "its first line is no token: 16 to 64 letters, digits, -, _, . or ~");
    std::strcpy(token, line);
}

// The connection `fd` from `address`, if it and everyone may have one
// more. civetweb says when it closes a connection only of those that made a
// request, so a connection counts as long as its descriptor is its socket.
bool admit(int fd, int listener, const sockaddr_in& peer) {
    char address[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address);
    pthread_mutex_lock(&visitorsLock);
    int same = 0;
    Visitor* free = nullptr;
    for (Visitor& visitor : visitors) {
        struct stat file {};
        bool open = visitor.fd >= 0 && fstat(visitor.fd, &file) == 0 && file.st_ino == visitor.socket;
        if (!open) {
            visitor.fd = -1;
            free = &visitor;
        }
        same += open && !visitor.page && visitor.listener == listener && std::strcmp(visitor.address, address) == 0 ? 1 : 0;
    }
    struct stat file {};
    bool room = free != nullptr && same < mostFromOneAddress && fstat(fd, &file) == 0;
    if (room) {
        *free = Visitor{fd, file.st_ino, listener, "", ntohs(peer.sin_port), false};
        std::snprintf(free->address, sizeof free->address, "%s", address);
    }
    pthread_mutex_unlock(&visitorsLock);
    return room;
}

// ECP's answer: a status, and a line of why or the body asked for.
int reply(mg_connection* connection, int status, const char* body, const char* allow = nullptr,
          const char* type = "text/plain; charset=utf-8") {
    char length[24];
    std::snprintf(length, sizeof length, "%zu", std::strlen(body));
    mg_response_header_start(connection, status);
    if (body[0] != '\0') mg_response_header_add(connection, "Content-Type", type, -1);
    mg_response_header_add(connection, "Content-Length", length, -1);
    if (allow != nullptr) mg_response_header_add(connection, "Allow", allow, -1);
    mg_response_header_send(connection);
    mg_write(connection, body, std::strlen(body));
    return status;
}

// What the device is, as ECP's clients ask before they press: a serial
// number that stays on this machine (from its machine-id, not the id
// itself, or else its name) and what it can do, which is keys alone.
void describeDevice() {
    char seed[128] = "";
    int fd = open("/etc/machine-id", O_RDONLY | O_CLOEXEC);
    ssize_t got = fd >= 0 ? read(fd, seed, sizeof seed - 1) : -1;
    if (fd >= 0) close(fd);
    char name[65] = "";
    gethostname(name, sizeof name - 1);
    name[std::strspn(name, "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-")] = '\0';  // for XML
    if (got <= 0) std::snprintf(seed, sizeof seed, "%s", name);
    uint64_t hash = 14695981039346656037ULL;  // FNV-1a
    for (const char* at = seed; *at != '\0'; ++at) hash = (hash ^ static_cast<unsigned char>(*at)) * 1099511628211ULL;
    char serial[16];
    std::snprintf(serial, sizeof serial, "%012llX", static_cast<unsigned long long>(hash >> 16));
    std::snprintf(deviceInfo, sizeof deviceInfo, "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<device-info>\n"
        "\t<udn>kestrov-%s</udn>\n\t<serial-number>%s</serial-number>\n\t<device-id>%s</device-id>\n"
        "\t<vendor-name>Kestrov</vendor-name>\n\t<model-name>kestrovd</model-name>\n\t<model-number>kestrovd</model-number>\n"
        "\t<friendly-device-name>kestrov on %s</friendly-device-name>\n\t<friendly-model-name>Kestrov remote</friendly-model-name>\n"
        "\t<default-device-name>kestrov on %s</default-device-name>\n\t<user-device-name>kestrov on %s</user-device-name>\n"
        "\t<software-version>%s</software-version>\n\t<software-build>0</software-build>\n\t<power-mode>PowerOn</power-mode>\n"
        "\t<is-tv>false</is-tv>\n\t<is-stick>false</is-stick>\n\t<supports-find-remote>false</supports-find-remote>\n"
        "\t<supports-suspend>false</supports-suspend>\n\t<supports-private-listening>false</supports-private-listening>\n"
        "\t<headphones-connected>false</headphones-connected>\n\t<supports-ecs-textedit>false</supports-ecs-textedit>\n"
        "\t<supports-ecs-microphone>false</supports-ecs-microphone>\n\t<supports-wake-on-wlan>false</supports-wake-on-wlan>\n"
        "\t<has-play-on-roku>false</has-play-on-roku>\n\t<search-enabled>false</search-enabled>\n"
        "\t<voice-search-enabled>false</voice-search-enabled>\n\t<developer-enabled>false</developer-enabled>\n"
        "</device-info>\n", serial, serial, serial, name, name, name, KESTROV_VERSION);
}

constexpr const char* appsList = "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<apps>\n</apps>\n";
constexpr const char* activeApp = "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<active-app>\n\t<app>kestrov</app>\n</active-app>\n";

// The button that ECP's name, or a Linux key's, names; null, and why, if none.
const Button* findEcpKey(const char* name, const char** why) {
    const char* canonical = nullptr;
    *why = nullptr;
    for (const EcpKey& key : ecpKeys)
        if (strcasecmp(key.name, name) == 0) {
            *why = key.why;
            return key.key != nullptr ? findCode(key.key, &canonical) : nullptr;
        }
    return findCode(name, &canonical);
}

// The key to the loop; answered once its platform calls have returned.
int pressEcp(mg_connection* connection, char action, const Button& button) {
    int answer[2];
    if (pipe2(answer, O_CLOEXEC) != 0) return reply(connection, 503, "cannot reach the remote: no pipe; try again\n");
    KeyRequest request{'e', action, static_cast<unsigned char>(&button - buttons), answer[1], longestHoldMs};
    if (write(events[1], &request, sizeof request) != sizeof request) close(answer[1]);  // the loop is gone: we are ending
    pollfd done{answer[0], POLLIN, 0};
    char byte = 0;
    bool in = poll(&done, 1, answerWaitMs) > 0 && read(answer[0], &byte, 1) == 1;
    close(answer[0]);
    return in ? reply(connection, 200, "") : reply(connection, 503, "the remote did not answer: kestrovd is ending\n");
}

// Its body, which ECP's clients leave empty, read and let go; false: too long.
bool skipBody(mg_connection* connection) {
    char sink[256];
    long long read = 0;
    if (mg_get_request_info(connection)->content_length > longestBody) return false;
    for (int got = 0; read <= longestBody && (got = mg_read(connection, sink, sizeof sink)) > 0;) read += got;
    return read <= longestBody;
}

// A key with no button: 404, and why.
int refuseKey(mg_connection* connection, const char* name, const char* why) {
    char shown[41] = "";  // the name as asked, what prints of it
    for (size_t i = 0; i < sizeof shown - 1 && name[i] != '\0'; ++i) shown[i] = name[i] >= ' ' && name[i] < '\x7f' ? name[i] : '?';
    char line[200];
    std::snprintf(line, sizeof line, "no button for %s: %s\n", shown,
                  why != nullptr ? why : "ECP's names and the Linux keys' (KEY_OK) are in kestrovd(1)");
    return reply(connection, 404, line);
}

struct Verb {
    const char* path;
    char action;
};
constexpr Verb verbs[] = {{"/keypress/", 't'}, {"/keydown/", 's'}, {"/keyup/", 'x'}};
struct Query {
    const char* path;
    const char* body;
};
const Query queries[] = {{"/query/device-info", deviceInfo}, {"/query/apps", appsList}, {"/query/active-app", activeApp}};

// Every ECP request: within the rate, from no web page; a key by POST, a query by GET.
int serveEcp(mg_connection* connection) {
    const mg_request_info* request = mg_get_request_info(connection);
    pthread_mutex_lock(&keysLock);
    bool allowed = spend(keys, burstKeys, keysPerSecond);
    pthread_mutex_unlock(&keysLock);
    if (!allowed) return reply(connection, 429, "too many requests: at most 30 a second\n");
    if (mg_get_header(connection, "Origin") != nullptr || !isAddress(mg_get_header(connection, "Host"), ecpName))
        return reply(connection, 403,
                     "ECP takes no request that a web page can make: send no Origin, and a Host that is an address\n");
    if (!skipBody(connection)) {
        mg_disable_connection_keep_alive(connection);
        return reply(connection, 413, "a body of 1024 bytes at most: ECP's are empty\n");
    }
    const char* path = request->local_uri != nullptr ? request->local_uri : "";
    bool post = std::strcmp(request->request_method, "POST") == 0;
    for (const Query& query : queries)
        if (std::strcmp(path, query.path) == 0)
            return std::strcmp(request->request_method, "GET") != 0 ? reply(connection, 405, "a query is a GET\n", "GET")
                                                                     : reply(connection, 200, query.body, nullptr, "text/xml; charset=utf-8");
    for (const Verb& verb : verbs) {
        size_t length = std::strlen(verb.path);
        if (std::strncmp(path, verb.path, length) != 0) continue;
        if (!post) return reply(connection, 405, "a key is a POST\n", "POST");
        const char* why = nullptr;
        const Button* button = findEcpKey(path + length, &why);
        return button != nullptr ? pressEcp(connection, verb.action, *button) : refuseKey(connection, path + length, why);
    }
    return reply(connection, 404, "no such path: ECP's are /keypress/KEY, /keydown/KEY, /keyup/KEY and /query/...\n");
}

}  // namespace

const bool webBuilt = true;

// civetweb makes and binds a listening socket of its own. Where the system
// handed us the face's (socket activation), that one takes its place as
// civetweb binds, so that the requests that waited in it are served.
// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name): glibc's names are reserved ones
extern "C" int bind(int fd, const sockaddr* address, socklen_t size) noexcept {
    if (starting != nullptr) *starting = fd;
    if (starting != nullptr && handedSocket >= 0 && dup2(handedSocket, fd) == fd) {
        close(handedSocket);
        handedSocket = -1;
        return 0;
    }
    return static_cast<int>(syscall(SYS_bind, fd, address, size));
}

// civetweb accepts every connection that comes; one from an address that
// has its share, or when all are taken, is told so and closed before it
// takes a worker.
// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name): as bind
extern "C" int accept(int fd, sockaddr* address, socklen_t* size) {
    int accepted = accept4(fd, address, size, 0);
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    if (accepted < 0 || (fd != pageListener && fd != ecpListener) ||
        getpeername(accepted, reinterpret_cast<sockaddr*>(&peer), &length) != 0 || admit(accepted, fd, peer))
        return accepted;
    char from[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &peer.sin_addr, from, sizeof from);
    char refusal[200];
    int text = std::snprintf(refusal, sizeof refusal, "too many connections from %s: %d at once, %d from all\n", from,
                             mostFromOneAddress, mostConnections);
    char head[160];
    int headSize = std::snprintf(head, sizeof head, "HTTP/1.1 429 Too Many Requests\r\nContent-Type: text/plain\r\n"
                                 "Content-Length: %d\r\nConnection: close\r\n\r\n", text);
    if (send(accepted, head, static_cast<size_t>(headSize), MSG_DONTWAIT | MSG_NOSIGNAL) < 0 ||
        send(accepted, refusal, static_cast<size_t>(text), MSG_DONTWAIT | MSG_NOSIGNAL) < 0) {}
    close(accepted);
    errno = EAGAIN;
    return -1;
}

// civetweb 1.15 looks OpenSSL's functions up by name as it loads it, for
// --tls, and asks for SSL_get_peer_certificate, which OpenSSL 3 has only as
// SSL_get1_peer_certificate, the same function: without it civetweb calls a
// null pointer at the first handshake.
// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name): as bind
extern "C" void* dlsym(void* handle, const char* name) noexcept {
    using Lookup = void* (*)(void*, const char*);
    auto real = reinterpret_cast<Lookup>(dlvsym(RTLD_NEXT, "dlsym", "GLIBC_2.34"));  // looked up each time: rare
    bool renamed = tls && std::strcmp(name, "SSL_get_peer_certificate") == 0;
    return real != nullptr ? real(handle, renamed ? "SSL_get1_peer_certificate" : name) : nullptr;
}

// The pipe of requests for keys, to the loop, and the pages' lines, from it: once, for both faces.
void openPipes() {
    if (events[0] >= 0) return;
    if (pipe2(events, O_CLOEXEC) != 0 || pipe2(lines, O_CLOEXEC) != 0) quit("%s: %s", "cannot serve the web", "no pipe");
    fcntl(events[0], F_SETFL, O_NONBLOCK);
    fcntl(lines[1], F_SETFL, O_NONBLOCK);
    for (Visitor& visitor : visitors) visitor.fd = -1;
    mg_init_library(MG_FEATURES_WEBSOCKET | (tls ? MG_FEATURES_TLS : 0));  // OpenSSL only when asked
}

// Where civetweb is to listen, as it takes it ("127.0.0.1:8080", s: TLS),
// the host and port of that (the handed socket's, if any), its workers.
struct Place {
    char ports[80];
    char host[INET_ADDRSTRLEN];
    unsigned port;
    char threads[8];
};
Place findPlace(const sockaddr_in& address, int handed, const char* face, bool secure, int threads) {
    Place place{};
    sockaddr_in where = address;
    socklen_t size = sizeof where;
    handedSocket = handed;
    // civetweb, as Debian builds it, serves IPv4 alone
    if (handed >= 0 && (getsockname(handed, reinterpret_cast<sockaddr*>(&where), &size) != 0 || where.sin_family != AF_INET))
        quit("the %s socket is not IPv4: give it an address such as %s (ListenStream=)", face,
             std::strcmp(face, "ECP's") == 0 ? "127.0.0.1:8060" : "127.0.0.1:8080");
    inet_ntop(AF_INET, &where.sin_addr, place.host, sizeof place.host);
    place.port = ntohs(where.sin_port);
    std::snprintf(place.ports, sizeof place.ports, "%s:%u%s", place.host, place.port, secure ? "s" : "");
    std::snprintf(place.threads, sizeof place.threads, "%d", threads);
    return place;
}

// civetweb started on `listener`'s socket, with the signals that end the
// server left to its loop; every request is counted first, under `lock`,
// so that none that waited in a handed socket is served before its handler is set.
mg_context* startCivetweb(const mg_callbacks& callbacks, const char** options, int& listener, const char* ports) {
    sigset_t ends;
    sigset_t before;
    sigemptyset(&ends);
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&ends, signal);
    pthread_sigmask(SIG_BLOCK, &ends, &before);
    starting = &listener;
    lastWord[0] = '\0';
    mg_context* started = mg_start(&callbacks, nullptr, options);
    starting = nullptr;
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (started == nullptr) quit("cannot serve at %s: %s", ports, lastWord[0] != '\0' ? lastWord : "civetweb failed");
    return started;
}

void startPages(const sockaddr_in& address, const char* name, int handed, const char* tokenFile, const char* tlsFile,
                char* shown, size_t shownSize) {
    readToken(tokenFile);
    tls = tlsFile != nullptr;
    if (tls) checkTls(tlsFile);
    std::snprintf(ownName, sizeof ownName, "%s", name);
    Place place = findPlace(address, handed, "page's", tls, workers);
    openPipes();
    requests = Bucket{burstRequests * 1000, nowMs()};
    const char* options[] = {"listening_ports", place.ports, "num_threads", place.threads, "request_timeout_ms", "5000",
                             "enable_keep_alive", "no", "max_request_size", "4096", "enable_websocket_ping_pong", "yes",
                             "websocket_timeout_ms", "5000", tls ? "ssl_certificate" : nullptr, tlsFile,
                             "ssl_protocol_version", "4", nullptr};  // 4: TLS 1.2 and later
    mg_callbacks callbacks{};
    callbacks.log_message = keepWord;
    callbacks.begin_request = countRequest;
    pthread_mutex_lock(&requestsLock);
    server = startCivetweb(callbacks, options, pageListener, place.ports);
    if (pthread_create(&teller, nullptr, tellLines, nullptr) != 0) quit("%s: %s", "cannot serve the page", "no thread");
    mg_set_request_handler(server, "/$", servePage, nullptr);
    mg_set_websocket_handler(server, "/keys$", acceptSocket, openSocket, takeMessage, closeSocket, nullptr);
    pthread_mutex_unlock(&requestsLock);
    std::snprintf(shown, shownSize, "%s://%s:%u/?token=%s", tls ? "https" : "http", name[0] != '\0' ? name : place.host,
                  place.port, token);
}

// A line dropped when 64 KiB of them wait: the pages have stopped taking them.
void tellPages(const char* line) {
    if (lines[1] >= 0 && write(lines[1], line, std::strlen(line)) < 0) {}
}

void startEcp(const sockaddr_in& address, const char* name, int handed, char* shown, size_t shownSize) {
    std::snprintf(ecpName, sizeof ecpName, "%s", name);
    Place place = findPlace(address, handed, "ECP's", false, ecpWorkers);
    openPipes();
    describeDevice();
    keys = Bucket{burstKeys * 1000, nowMs()};
    const char* options[] = {"listening_ports", place.ports, "num_threads", place.threads, "request_timeout_ms", "5000",
                             "enable_keep_alive", "yes", "keep_alive_timeout_ms", "15000", "max_request_size", "4096",
                             nullptr};
    mg_callbacks callbacks{};
    callbacks.log_message = keepWord;
    callbacks.begin_request = serveEcp;
    ecpServer = startCivetweb(callbacks, options, ecpListener, place.ports);
    std::snprintf(shown, shownSize, "http://%s:%u/", name[0] != '\0' ? name : place.host, place.port);
}

int webRequests() { return events[0]; }

// A byte on the pipe that the request's thread waits on; closed here, as it was handed to the loop.
void answerEcp(int who) {
    if (write(who, "", 1) < 0) {}  // the thread gave up waiting: its client was told
    close(who);
}

void stopWeb() {
    if (ecpServer != nullptr) mg_stop(ecpServer);
    if (server == nullptr) return;
    close(lines[1]);
    pthread_join(teller, nullptr);
    mg_stop(server);
}
