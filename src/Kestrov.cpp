// kestrov: the device's remote control, driven from a shell.
//
//   kestrov               type keys live: one key per character typed, until Q
//   kestrov -k STRING...  send one key per byte of each STRING, in order
//
// Every key goes to the platform as a press followed at once by its release.
// The second character of a u sequence (u1 to u8) is always read from
// standard input, even when the u comes from a key string.
#include "CascadeInput.h"

#include <array>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <termios.h>
#include <unistd.h>

namespace {

struct Key {
    char c;
    unsigned long code;
};

// Every character with a key of its own; 'u' and 'Q' are handled in processKey.
constexpr Key keyTable[] = {
    {'0', 0x10000}, {'1', 0x10001}, {'2', 0x10002}, {'3', 0x10003}, {'4', 0x10004},
    {'5', 0x10005}, {'6', 0x10006}, {'7', 0x10007}, {'8', 0x10008}, {'9', 0x10009},
    {'\n', 0x1000A}, {' ', 0x1000B}, {'a', 0x1000B},
    {'i', 0x1000C}, {'k', 0x1000D}, {'j', 0x1000E}, {'l', 0x1000F},
    {'U', 0x10010}, {'O', 0x10011}, {'J', 0x10012}, {'L', 0x10013},
    {'F', 0x10014}, {'B', 0x10015}, {'P', 0x10016}, {'A', 0x10017},
    {'p', 0x10018}, {'s', 0x10019}, {'E', 0x1001A}, {'f', 0x1001B},
    {'b', 0x1001C}, {'z', 0x1001D}, {'x', 0x1001E}, {'r', 0x1001F},
    {'m', 0x10020}, {'n', 0x10021}, {'e', 0x10022}, {'q', 0x10022},
    {'o', 0x10023}, {'W', 0x10025}, {'X', 0x10026},
};
constexpr unsigned long firstSequenceKey = 0x10027;  // u1; u8 is 0x1002E

// The table by byte value, so a key costs one load. Indexing by unsigned
// char keeps bytes 0x80 to 0xFF in range where char is signed.
constexpr std::array<unsigned long, 256> indexKeys() {
    std::array<unsigned long, 256> codes{};
    for (const Key& key : keyTable) codes[static_cast<unsigned char>(key.c)] = key.code;
    return codes;
}
constexpr std::array<unsigned long, 256> keyCodes = indexKeys();

// Signals that would end or stop the process wait while a key is down, so
// the device never sees a press without its release.
sigset_t makeDeferredSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    for (int signal : {SIGINT, SIGQUIT, SIGHUP, SIGTERM, SIGTSTP, SIGPIPE}) sigaddset(&signals, signal);
    return signals;
}

// Sends the key for c, if it has one; true only for the quit key.
bool processKey(char c) {
    if (c == 'Q') return true;
    unsigned long code = keyCodes[static_cast<unsigned char>(c)];
    if (c == 'u') {
        char digit = 0;
        if (std::cin.get(digit) && digit >= '1' && digit <= '8')
            code = firstSequenceKey + static_cast<unsigned long>(digit - '1');
    }
    if (code == 0) return false;
    static const sigset_t deferred = makeDeferredSignals();
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &deferred, &previous);
    CascadeInput::DispatchKeyDown(code);
    CascadeInput::DispatchKeyUp(code);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    return false;
}

void processKeyString(const char* keys) {
    for (; *keys != '\0'; ++keys) processKey(*keys);
}

void showUsage() {
    std::cout << "Kestrov " KESTROV_VERSION " by " KESTROV_AUTHOR " -- " KESTROV_HOMEPAGE << std::endl;
    std::cout << "i, j, k, l, and space for basic navigation and select, capital Q exits" << std::endl;
    std::cout << std::endl;
}

// Character-at-a-time input: without ICANON a read no longer waits for a
// whole line; VMIN 1 with VTIME 0 returns each byte the moment it arrives,
// with no time-out. Echo, the signal keys and carriage-return translation
// stay as they were. The old mode is not restored when the tool ends.
void disableConsoleBuffering() {
    termios mode{};
    // Not a terminal: nothing to switch, and a zeroed mode must never be written back.
    if (tcgetattr(STDIN_FILENO, &mode) != 0) return;
    mode.c_lflag &= ~static_cast<tcflag_t>(ICANON);
    mode.c_cc[VTIME] = 0;
    mode.c_cc[VMIN] = 1;
    tcsetattr(STDIN_FILENO, TCSANOW, &mode);
}

void processKeysLive() {
    showUsage();
    disableConsoleBuffering();
    // End of input or a read error ends the session as Q does: nothing more can be typed.
    char c = 0;
    while (std::cin.get(c) && !processKey(c)) {}
}

// Only the first two bytes count: -kx and -keys are -k too.
bool isKeyOption(const char* arg) { return arg[0] == '-' && arg[1] == 'k'; }

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 2) {
        processKeysLive();
        return 0;
    }
    // The argument after a -k is its key string, whatever it looks like. A
    // -k without one is refused before any key goes out, so a cut-off command
    // line never sends half of its keys.
    for (int i = 1; i < argc; ++i) {
        if (isKeyOption(argv[i]) && ++i == argc) {
            std::fputs("kestrov: option -k needs a key string\n", stderr);
            return 2;
        }
    }
    for (int i = 1; i < argc; ++i)
        if (isKeyOption(argv[i])) processKeyString(argv[++i]);
    return 0;
}
