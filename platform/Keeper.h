// The keeper: a process of its own that holds the device where the evdev
// library's keys go, so that one virtual remote serves every call of a user
// and no kill of a caller leaves a key down. Callers talk to it over a Unix
// socket (SOCK_SEQPACKET), one Request a message, one unsigned answer each.
#ifndef CASCADE_KEEPER_H
#define CASCADE_KEEPER_H

#include "Buttons.h"

#include <climits>
#include <linux/input.h>

constexpr unsigned bitsPerLong = sizeof(unsigned long) * CHAR_BIT;
using KeyBits = unsigned long[KEY_MAX / bitsPerLong + 1];

inline bool isSet(const KeyBits& bits, unsigned key) {
    return (bits[key / bitsPerLong] >> (key % bitsPerLong) & 1UL) != 0;
}

struct Request {
    unsigned action;  // keepFor, press or release
    unsigned value;   // seconds to keep the device after the call; a key code (0x1000C)
};
// keepFor is said once, first; its answer is the device's age in ms. A key's
// answer is the Linux key that went in, 0 when the device has none for it.
enum : unsigned { keepFor = 'K', press = 'D', release = 'U' };

struct Device {
    int fd;
    bool ownRemote;  // our virtual remote, not an existing device
    long settleMs;   // how long readers get to read the last keys before the remote goes
    KeyBits keys;    // the Linux keys it has
};

// Starts the keeper for the device `made` in a new session, serving `client`
// and the callers that `listener` (-1: none) accepts, and keeping the device
// `keepFor` seconds after the last call, unless a call says otherwise. In the
// caller it returns whether the keeper started; the keeper never returns.
bool startKeeper(const Device& made, int listener, int client, unsigned keepFor) noexcept;

#endif
