// The floors kestrov is measured against: the least a program can do for
// the same job, linked against the same libraries as kestrov (bench/run
// checks it): libCascade.so and the C library, no C++ runtime.
//   floor                 start and exit
//   floor keys STRING     one press and release per byte, the code precomputed
//   floor live            the terminal in kestrov's mode; per byte read, the
//                         trace line written to $CASCADE_TRACE, until Q
#include "CascadeInput.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

int main(int argc, char* argv[]) {
    if (argc == 3 && std::strcmp(argv[1], "keys") == 0) {
        for (const char* key = argv[2]; *key != '\0'; ++key) {
            CascadeInput::DispatchKeyDown(0x1000F);
            CascadeInput::DispatchKeyUp(0x1000F);
        }
    } else if (argc == 2 && std::strcmp(argv[1], "live") == 0) {
        termios mode{};
        tcgetattr(STDIN_FILENO, &mode);
        mode.c_lflag &= ~static_cast<tcflag_t>(ICANON);
        mode.c_cc[VTIME] = 0;
        mode.c_cc[VMIN] = 1;
        tcsetattr(STDIN_FILENO, TCSANOW, &mode);
        int trace = open(std::getenv("CASCADE_TRACE"), O_WRONLY | O_APPEND);
        static const char line[] = "down 0x1000F arrow-right\n";
        for (char c = 0; read(STDIN_FILENO, &c, 1) == 1 && c != 'Q';)
            if (write(trace, line, sizeof line - 1) < 0) return 1;
    }
    return 0;
}
