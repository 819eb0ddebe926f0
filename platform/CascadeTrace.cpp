// The trace library: libCascade.so for PCs and tests. Every key event
// becomes one line of the trace (Trace.h), on standard error unless
// CASCADE_TRACE names a file.
#include "CascadeInput.h"
#include "Trace.h"

namespace {

// Read when the library is loaded, before the tool holds off any signal.
long loadSettings() noexcept {
    openTrace(true);
    return readMilliseconds("CASCADE_DELAY_MS", 0);
}
const long delayMs = loadSettings();

}  // namespace

void CascadeInput::DispatchKeyDown(unsigned long key) {
    traceEvent("down", key);
    delayEvent(delayMs);
}

void CascadeInput::DispatchKeyUp(unsigned long key) {
    traceEvent("up", key);
    delayEvent(delayMs);
}
