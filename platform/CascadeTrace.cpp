// The trace library: libCascade.so for PCs and tests. Every key event
// becomes one line of the trace (Trace.h), on standard error unless
// CASCADE_TRACE names a file. Each press lasts CASCADE_HOLD_MS, or
// CASCADE_DELAY_MS when that is longer.
#include "CascadeInput.h"
#include "Trace.h"

namespace {

// Read when the library is loaded, before the tool holds off any signal.
long loadSettings() noexcept {
    openTrace(true);
    return readMilliseconds("CASCADE_DELAY_MS", 0);
}
const long delayMs = loadSettings();
const long holdMs = readMilliseconds("CASCADE_HOLD_MS", 0);

}  // namespace

void CascadeInput::DispatchKeyDown(unsigned long key) {
    traceEvent("down", key);
    pauseKey(holdMs > delayMs ? holdMs : delayMs);
}

void CascadeInput::DispatchKeyUp(unsigned long key) {
    traceEvent("up", key);
    pauseKey(delayMs);
}
