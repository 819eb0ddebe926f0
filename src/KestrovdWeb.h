// kestrovd's page (--http): a remote control in a browser. civetweb serves
// the page and its WebSocket on threads of its own; what a page asks for
// comes to the server's loop as PageEvents on a pipe, so that only the loop
// presses keys, and the loop's keys go back to every page.
#ifndef KESTROVD_WEB_H
#define KESTROVD_WEB_H

#include <cstddef>

struct PageEvent {
    int page;              // the page's connection, numbered from 1
    char action;           // 'd' down, 'u' up, 'h' held still, 'c' closed
    unsigned char button;  // its index in buttons
};

// Serves the page at [ADDR:]PORT (127.0.0.1 unless an address is given)
// behind a token, random or the first line of tokenFile. The read end of
// the events' pipe; `shown` is the page's address, token included. Exits
// with a line on standard error when it can't.
int startPages(const char* where, const char* tokenFile, char* shown, size_t shownSize);

// A key that went in, as lircd broadcasts it, to every page.
void tellPages(const char* line);

void stopPages();

#endif
