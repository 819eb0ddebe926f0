// The trace library: libCascade.so for PCs and tests. Every key event
// becomes one line of the trace (Trace.h), on standard error unless
// CASCADE_TRACE names a file.
#include "CascadeInput.h"
#include "Trace.h"

namespace {

const int traceFd = openTrace(STDERR_FILENO);
const long delayMs = readMilliseconds("CASCADE_DELAY_MS", 0);

}  // namespace

void CascadeInput::DispatchKeyDown(unsigned long key) {
    traceEvent(traceFd, "down", key);
    delayEvent(delayMs);
}

void CascadeInput::DispatchKeyUp(unsigned long key) {
    traceEvent(traceFd, "up", key);
    delayEvent(delayMs);
}
