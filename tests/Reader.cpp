// A reader that reads the input device on its standard input every 30 ms, as
// a busy user interface may, first in line for the processor so that it keeps
// to that; it writes the events to standard output and ends when the device
// goes. The events are stamped by the monotonic clock, as /proc/timer_list's
// "now" is, so that bench/session reads a key's way off them. With -t, a
// line an event, "event TYPE CODE VALUE SECONDS", as it comes, for a test on
// another machine. Usage: reader [-t] <DEVICE
#include <cstdio>
#include <cstring>
#include <ctime>
#include <linux/input.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

int main(int argc, char* argv[]) {
    input_event events[64];
    int clock = CLOCK_MONOTONIC;
    bool text = argc > 1 && std::strcmp(argv[1], "-t") == 0;
    ioctl(STDIN_FILENO, EVIOCSCLOCKID, &clock);
    setpriority(PRIO_PROCESS, 0, -20);
    for (ssize_t got = 0; got >= 0; usleep(30000)) {
        if ((got = read(STDIN_FILENO, events, sizeof events)) <= 0) continue;
        for (size_t i = 0; text && i < static_cast<size_t>(got) / sizeof *events; ++i)
            std::printf("event %u %u %d %ld.%06ld\n", events[i].type, events[i].code, events[i].value,
                        static_cast<long>(events[i].input_event_sec), static_cast<long>(events[i].input_event_usec));
        if (text ? std::fflush(stdout) != 0 : write(STDOUT_FILENO, events, static_cast<size_t>(got)) != got) return 1;
    }
}
