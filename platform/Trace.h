// What both of our libraries share: their settings, their messages and the
// trace, one line per key event ("down 0x1000F arrow-right"). They live in a
// process that holds off every signal while a key is down, may run setuid,
// and may have a standard error that nobody reads, so nothing here waits
// longer than a second, raises SIGPIPE or trusts the environment of a
// privileged process; a failure is said in one line and the keys go on.
#ifndef CASCADE_TRACE_H
#define CASCADE_TRACE_H

#include "Buttons.h"

#include <csignal>

// A CASCADE_* variable; null when unset or empty, and in a process with more
// privilege than its user (setuid, setgid, file capabilities), where it
// would let any user name files for root to open.
const char* readSetting(const char* name) noexcept;

// A number from CASCADE_*: digits only, 0 to `most`; `fallback` when unset,
// and after one line on standard error when the value is anything else.
long readNumber(const char* name, long fallback, long most, const char* unit) noexcept;
inline long readMilliseconds(const char* name, long fallback) noexcept {
    return readNumber(name, fallback, 10000, "milliseconds");
}

// Opens path without ever blocking (a FIFO without a reader is refused at
// once) and above the standard streams: with one of them closed, the file
// would take its number and the tool's own reads or writes would land on it.
int openHigh(const char* path, int flags) noexcept;
int aboveStandardStreams(int fd) noexcept;  // the same for a descriptor made otherwise

// One line on standard error, "libCascade: " first.
void say(const char* format, ...) noexcept __attribute__((format(printf, 1, 2)));  // NOLINT(cert-dcl50-cpp): printf is the clearest way to say it

// Opens CASCADE_TRACE; without it, the trace is standard error when
// `toStandardError`, else nowhere.
void openTrace(bool toStandardError) noexcept;

// The event's line on the trace; true when that is standard error, so that
// a caller who owes the line there too doesn't write it twice.
bool traceEvent(const char* action, unsigned long code);

// The event's line on standard error.
void showEvent(const char* action, unsigned long code);

void delayEvent(long milliseconds);  // none when 0 or less
// The signals that would end the process as it stands: those left to their
// default action that ends it.
sigset_t endingSignals();
// A key's pause, a press held or the wait after a release: `milliseconds`,
// or less when a signal that would end or stop the process comes (it acts
// once the tool lets it in, the key released).
void pauseKey(long milliseconds);
long long nowMs() noexcept;  // CLOCK_MONOTONIC, in milliseconds

#endif
