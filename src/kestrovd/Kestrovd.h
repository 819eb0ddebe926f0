// What kestrovd's loop (Loop.cpp) and its faces share. The loop holds the
// one key down, its deadlines and the broadcast; the faces, LIRC's
// (Lirc.cpp) and the two over HTTP, the page and ECP (Web.cpp), hand it
// requests for keys and take back its answers and lines. A face reaches the loop
// only through its requests for keys and the helpers (Helpers.cpp): no face calls
// the loop, and the faces call nothing of each other.
#ifndef KESTROVD_H
#define KESTROVD_H

#include <cstddef>
#include <netinet/in.h>
#include <poll.h>
#include <sys/types.h>

// A key that a face asks for, and who asked, so that its answer goes back.
struct KeyRequest {
    char face;             // 'l' LIRC's, 'p' the page, 'e' ECP
    char action;           // 't' tap; 'r' held holdMs, answered when it goes up; 's' held until its stop;
                           // 'x' stop; a page's: 'd' down, 'u' up, 'k' still held, 'c' closed
    unsigned char button;  // its index in buttons
    int who;               // a LIRC client's or a page's number; ECP: the pipe that takes the answer
    long long holdMs;
};
constexpr long long longestHoldMs = 10000;  // a key held longer goes up by itself
constexpr const char* remoteName = "kestrov";  // as LIRC's clients name it

// Helpers.cpp: for the loop and every face.
long long nowMs();  // the monotonic clock
// "kestrovd: " and the format's line on standard error; exit status 1.
[[noreturn]] void quit(const char* format, const char* what, const char* why);
// A line on standard error, given a tenth of a second to go: the server
// waits on no one, a terminal that nobody reads included.
void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Said once, and then at most once a minute however many come.
void sayNowAndThen(long long& saidMs, const char* line);
// [ADDR:]PORT, on 127.0.0.1 unless an address is given, into `address`; or,
// if `name` takes one, NAME:PORT, the name resolved now and kept there.
// False: neither.
bool findAddress(const char* where, sockaddr_in& address, char (*name)[64]);
struct Button;
// The first button in table order with the Linux key so named (case aside,
// as lircd has it), and that key's name; null: none.
const Button* findCode(const char* name, const char** canonical);

// Lirc.cpp: lircd's socket protocol, on Unix sockets and TCP.
void listenAtPath(const char* path, mode_t mode);
void listenWhereClientsLook(mode_t mode);  // where LIRC's clients look by default
void listenAtPort(const char* where);
void listenHanded(int fd);  // a listening socket that the system handed us
int watchLirc(pollfd* ready);  // fills what to wait on: its count
// What came (ready as watchLirc filled it): at most a command a client, its
// keys into `asked`, their count.
int serveLirc(const pollfd* ready, int count, KeyRequest* asked);
long long lircDeadline();  // when a half line ends its client; now: a line waits
// The answer to a client's key: SUCCESS, or ERROR for `refusal`; then `line`.
void replyLirc(int who, const char* refusal, const char* line);
void tellLirc(const char* line, int except);  // a key's line, to every client but one
void describeLirc(char* text, size_t size);    // where LIRC's clients find us
void stopLirc();                              // our own sockets removed
constexpr int mostLircWatched = 8 + 64;       // listeners and clients

// Web.cpp (NoWeb.cpp without civetweb): the page and ECP.
// False when kestrovd was built without them, whose functions below then do nothing.
extern const bool webBuilt;
// Serves the page at `address`, or at the listening socket `handed` (-1:
// none) that the system handed us, behind a token: random, or the first line
// of tokenFile, which is made with a new one if it is missing; over TLS with
// the certificate and key of tlsFile (null: plain HTTP). A Host of `name`
// (empty: none) is taken as well as addresses. `shown` is the page's
// address, token included. Exits with a line on standard error when it can't.
void startPages(const sockaddr_in& address, const char* name, int handed, const char* tokenFile, const char* tlsFile,
                char* shown, size_t shownSize);
// ECP's keys and queries at `address` or at `handed`; `shown` its address.
void startEcp(const sockaddr_in& address, const char* name, int handed, char* shown, size_t shownSize);
int webRequests();  // the read end of the pipe of both faces' requests for keys
void tellPages(const char* line);  // a key that went in, as lircd broadcasts it, to every page
void answerEcp(int who);           // its key is in
void stopWeb();

#endif
