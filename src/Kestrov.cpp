// kestrov: the device's remote control, driven from a shell.
//
//   kestrov               type keys live: one key per character typed, until Q
//   kestrov -k STRING...  send one key per byte of each STRING, in order
//
// Every key goes to the platform as a press followed at once by its release.
// The second character of a u sequence (u1 to u8) is always read from
// standard input, even when the u comes from a key string.
#include "CascadeInput.h"
#include "Keys.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

// The table by byte value, so a key costs one load. Indexing by unsigned
// char keeps bytes 0x80 to 0xFF in range where char is signed.
constexpr std::array<unsigned long, 256> indexKeys() {
    std::array<unsigned long, 256> codes{};
    for (const Key& key : keyTable) codes[static_cast<unsigned char>(key.c)] = key.code;
    return codes;
}
constexpr std::array<unsigned long, 256> keyCodes = indexKeys();

// One byte per read, straight from the descriptor, so whatever follows the
// last character used is left for the next program reading the same input.
// Input that is not ready yet (O_NONBLOCK) is waited for, not taken for its
// end. False at the end of input; a read that fails ends the tool.
bool readCharacter(char& c) {
    for (;;) {
        ssize_t got = read(STDIN_FILENO, &c, 1);
        if (got >= 0) return got == 1;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            pollfd input{STDIN_FILENO, POLLIN, 0};
            poll(&input, 1, -1);
        } else if (errno != EINTR) {
            std::fprintf(stderr, "kestrov: standard input: %s\n", std::strerror(errno));
            std::exit(1);
        }
    }
}

// Sends the key for c, if it has one; true only for the quit key.
bool processKey(char c) {
    if (c == 'Q') return true;
    unsigned long code = keyCodes[static_cast<unsigned char>(c)];
    if (c == 'u') {
        char digit = 0;
        if (readCharacter(digit) && digit >= '1' && digit <= '8')
            code = firstSequenceKey + static_cast<unsigned long>(digit - '1');
    }
    if (code == 0) return false;
    // Every signal that can wait does, while the key is down: the device
    // never sees a press without its release. A pending one acts right after.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &previous);
    CascadeInput::DispatchKeyDown(code);
    CascadeInput::DispatchKeyUp(code);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    return false;
}

void processKeyString(const char* keys) {
    for (; *keys != '\0'; ++keys) processKey(*keys);
}

void showUsage() {
    const char* const lines[] = {"Kestrov " KESTROV_VERSION " by " KESTROV_AUTHOR " -- " KESTROV_HOMEPAGE,
                                 "i, j, k, l, and space for basic navigation and select, capital Q exits", ""};
    for (const char* line : lines) {
        std::puts(line);
        std::fflush(stdout);  // each line out before the terminal is switched, as the next one may never come
    }
}

termios switchedMode;  // the mode live mode set, for putting back after a stop

// A shell with job control puts its own mode back when the tool is stopped;
// on SIGCONT the tool takes character mode again, as it is still reading.
void reapplyMode(int /*signal*/) {
    int saved = errno;
    tcsetattr(STDIN_FILENO, TCSANOW, &switchedMode);
    errno = saved;
}

// Character-at-a-time input: without ICANON a read no longer waits for a
// whole line; VMIN 1 with VTIME 0 returns each byte the moment it arrives,
// with no time-out. Echo, the signal keys and carriage-return translation
// stay as they were. The old mode is not restored when the tool ends.
void disableConsoleBuffering() {
    // Not a terminal: nothing to switch, and a zeroed mode must never be written back.
    if (tcgetattr(STDIN_FILENO, &switchedMode) != 0) return;
    switchedMode.c_lflag &= ~static_cast<tcflag_t>(ICANON);
    switchedMode.c_cc[VTIME] = 0;
    switchedMode.c_cc[VMIN] = 1;
    // The handler first: a stop that lands right after the switch is then
    // still followed by character mode.
    struct sigaction onContinue {};
    onContinue.sa_handler = reapplyMode;
    onContinue.sa_flags = SA_RESTART;
    sigaction(SIGCONT, &onContinue, nullptr);
    tcsetattr(STDIN_FILENO, TCSANOW, &switchedMode);
}

void processKeysLive() {
    showUsage();
    disableConsoleBuffering();
    // The end of input ends the session as Q does: nothing more can be typed.
    char c = 0;
    while (readCharacter(c) && !processKey(c)) {}
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
