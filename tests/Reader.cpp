// A reader that reads the input device on its standard input every 30 ms, as
// a busy user interface may, first in line for the processor so that it keeps
// to that; it writes the events to standard output and ends when the device
// goes. The events are stamped by the monotonic clock, as /proc/timer_list's
// "now" is, so that bench/session reads a key's way off them. Usage: reader <DEVICE
#include <ctime>
#include <linux/input.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

int main() {
    char events[4096];
    int clock = CLOCK_MONOTONIC;
    ioctl(STDIN_FILENO, EVIOCSCLOCKID, &clock);
    setpriority(PRIO_PROCESS, 0, -20);
    for (ssize_t got = 0; got >= 0; usleep(30000))
        if ((got = read(STDIN_FILENO, events, sizeof events)) > 0 && write(STDOUT_FILENO, events, static_cast<size_t>(got)) != got) return 1;
}
