// The keeper: a process of its own that holds the device where the evdev
// library's keys go, so that one virtual remote serves every call of a user
// and no kill or stop of a caller leaves a key down. Callers talk to it over
// a Unix socket (SOCK_SEQPACKET): one Request a message, and each press and
// release is answered once it is in the device.
#ifndef CASCADE_KEEPER_H
#define CASCADE_KEEPER_H

#include "Buttons.h"

#include <linux/input.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

struct Request {
    unsigned action;  // keepFor, press or release
    unsigned value;   // seconds to keep the device after the call; a key code (0x1000C)
};
// keepFor is said first by a call that meets the keeper at its name, and has
// no answer. A key's answer is the Linux key that went in, 0 when the device
// has none for the button.
enum : unsigned { keepFor = 'K', press = 'D', release = 'U' };

constexpr unsigned longestKeepSeconds = 31536000;  // a year
constexpr long longestPressMs = 10000;  // CASCADE_HOLD_MS and CASCADE_DELAY_MS at their most

// The keeper's first word to the call that started it: ready, or the step
// that failed, with its errno.
enum class Step : unsigned { ready, nameTaken, keeper, openDevice, notInputDevice, createRemote };
struct Setup {
    Step step;
    int error;
};

struct Keeping {
    const char* devicePath;    // null: a virtual remote of our own
    const sockaddr_un* name;   // where later calls meet it; null: none can
    socklen_t nameSize;
    long settleMs;             // readers' time to notice a new remote, and to read it before it goes
    unsigned keepSeconds;      // how long the device stays after the last call
};

// Forks the keeper, which answers on `client` with a Setup and then serves
// it. The keeper's pid in the caller (-1: none); the keeper never returns.
pid_t startKeeper(const Keeping& keeping, int client) noexcept;

#endif
