// kestrovd built without its page and ECP, where there is no civetweb: main
// refuses --http and --ecp, and their sockets handed to it, before anything listens.
#include "Kestrovd.h"

const bool webBuilt = false;

void startPages(const sockaddr_in& /*address*/, const char* /*name*/, int /*handed*/, const char* /*tokenFile*/,
                const char* /*tlsFile*/, char* /*shown*/, size_t /*shownSize*/) {}
void startEcp(const sockaddr_in& /*address*/, const char* /*name*/, int /*handed*/, char* /*shown*/, size_t /*shownSize*/) {}
int webRequests() { return -1; }
void tellPages(const char* /*line*/) {}
void answerEcp(int /*who*/) {}
void stopWeb() {}
