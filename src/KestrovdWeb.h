// kestrovd's page (--http): a remote control in a browser. civetweb serves
// the page and its WebSocket on threads of its own; what a page asks for
// comes to the server's loop as PageEvents on a pipe, so that only the loop
// presses keys, and the loop's keys go back to every page.
#ifndef KESTROVD_WEB_H
#define KESTROVD_WEB_H

#include <cstddef>
#include <netinet/in.h>

// Kestrovd.cpp's, for both faces of the server.
long long nowMs();  // the monotonic clock
// "kestrovd: " and the format's line on standard error; exit status 1.
[[noreturn]] void quit(const char* format, const char* what, const char* why);
// [ADDR:]PORT, on 127.0.0.1 unless an address is given, into `address`; or,
// if `name` takes one, NAME:PORT, the name resolved now and kept there.
// False: neither.
bool findAddress(const char* where, sockaddr_in& address, char (*name)[64]);

struct PageEvent {
    int page;              // the page's connection, numbered from 1
    char action;           // 'd' down, 'u' up, 'h' held still, 'c' closed
    unsigned char button;  // its index in buttons
};

// False when kestrovd was built without its page (no civetweb), whose
// functions below then do nothing.
extern const bool pageBuilt;

// Serves the page at `address`, or at the listening socket `handed` (-1:
// none) that the system handed us, behind a token: random, or the first line
// of tokenFile, which is made with a new one if it is missing; over TLS with
// the certificate and key of tlsFile (null: plain HTTP). A Host of `name`
// (empty: none) is taken as well as addresses. The read end of the events'
// pipe; `shown` is the page's address, token included. Exits with a line on
// standard error when it can't.
int startPages(const sockaddr_in& address, const char* name, int handed, const char* tokenFile, const char* tlsFile,
               char* shown, size_t shownSize);

// A key that went in, as lircd broadcasts it, to every page.
void tellPages(const char* line);

void stopPages();

#endif
