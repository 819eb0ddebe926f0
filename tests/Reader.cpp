// A reader that reads the input device on its standard input every 30 ms, as
// a busy user interface may, first in line for the processor so that it keeps
// to that; it writes the events to standard output and ends when the device
// goes. Usage: reader <DEVICE
#include <sys/resource.h>
#include <unistd.h>

int main() {
    char events[4096];
    setpriority(PRIO_PROCESS, 0, -20);
    for (ssize_t got = 0; got >= 0; usleep(30000))
        if ((got = read(STDIN_FILENO, events, sizeof events)) > 0 && write(STDOUT_FILENO, events, static_cast<size_t>(got)) != got) return 1;
}
