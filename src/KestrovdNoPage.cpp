// kestrovd built without its page, where there is no civetweb: main refuses
// --http, and a page's socket handed to it, before anything listens.
#include "KestrovdWeb.h"

const bool pageBuilt = false;

int startPages(const sockaddr_in& /*address*/, const char* /*name*/, int /*handed*/, const char* /*tokenFile*/,
               const char* /*tlsFile*/, char* /*shown*/, size_t /*shownSize*/) {
    return -1;
}

void tellPages(const char* /*line*/) {}

void stopPages() {}
