// Runs the built kestrov against the stand-in library, through pipes and on
// a pseudo-terminal, and reads back the key events it dispatched. The binary
// comes from KESTROV_BIN (default: this build's) and runs under
// KESTROV_EMULATOR when that is set, so the same cases test a cross build.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Events = std::vector<std::string>;
const auto deadline = std::chrono::seconds(20);

// The key table, kept apart from the tool's: a character's position is its
// code less 0x10000; 0x10024 has no character. Space and q share codes with
// a and e; u and Q are not single keys.
const std::string keysByCode("0123456789\n ikjlUOJLFBPApsEfbzxrmneo\0WX", 39);

unsigned long modelKey(unsigned char c) {
    if (c == 'a' || c == 'q') return modelKey(c == 'a' ? ' ' : 'e');
    size_t at = c == 0 ? std::string::npos : keysByCode.find(static_cast<char>(c));
    return at == std::string::npos ? 0 : 0x10000 + at;
}

Events pressed(const std::vector<unsigned long>& codes) {
    Events events;
    for (unsigned long code : codes) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%lX", code);
        events.push_back(std::string("down ") + hex);
        events.push_back(std::string("up ") + hex);
    }
    return events;
}

std::string env(const char* name, const std::string& otherwise) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : otherwise;
}

std::string usage() {
    return env("KESTROV_BANNER", KESTROV_BANNER) +
           "\ni, j, k, l, and space for basic navigation and select, capital Q exits\n\n";
}

std::string scratch(const char* name) {
    static int count = 0;
    return testing::TempDir() + "kestrov-" + std::to_string(getpid()) + "-" + std::to_string(++count) + name;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The events in a trace, without the button names.
Events parseEvents(const std::string& text) {
    Events events;
    std::istringstream lines(text);
    for (std::string action, code, rest; lines >> action >> code && std::getline(lines, rest);)
        events.push_back(action + " " + code);
    return events;
}

Events readEvents(const std::string& trace) { return parseEvents(slurp(trace)); }

[[noreturn]] void execTool(const std::vector<std::string>& args, const std::string& trace, const char* delayMs) {
    setenv("CASCADE_TRACE", trace.c_str(), 1);
    if (delayMs != nullptr) setenv("CASCADE_DELAY_MS", delayMs, 1);
    rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    std::vector<std::string> words;
    std::istringstream emulator(env("KESTROV_EMULATOR", ""));
    for (std::string word; emulator >> word;) words.push_back(word);
    words.push_back(env("KESTROV_BIN", KESTROV_BIN));
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
}

bool awaitTrue(const std::function<bool()>& ready) {
    for (auto end = std::chrono::steady_clock::now() + deadline; !ready();)
        if (std::chrono::steady_clock::now() > end) return false;
        else std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return true;
}

// The wait status, or -1 after killing a child that hung.
int awaitExit(pid_t pid) {
    int status = -1;
    if (!awaitTrue([&] { return waitpid(pid, &status, WNOHANG) == pid; })) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return -1;
    }
    return status;
}

struct Result {
    int status;
    std::string out, err;
    Events events;
};

// Runs kestrov with input on standard input (closed when there is none),
// standard output to a file or closed, and the trace where asked.
Result run(const std::vector<std::string>& args, const std::optional<std::string>& input,
           bool closeOutput = false, std::string trace = scratch(".trace")) {
    std::string in = scratch(".in"), out = scratch(".out"), err = scratch(".err");
    std::ofstream(in, std::ios::binary) << input.value_or("");
    pid_t pid = fork();
    if (pid == 0) {
        int fds[] = {open(in.c_str(), O_RDONLY | O_CLOEXEC), open(out.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600),
                     open(err.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600)};
        for (int fd = 0; fd < 3; ++fd) dup2(fds[fd], fd);
        if (!input) close(STDIN_FILENO);
        if (closeOutput) close(STDOUT_FILENO);
        execTool(args, trace, nullptr);
    }
    Result result{awaitExit(pid), slurp(out), slurp(err), readEvents(trace)};
    for (const std::string& path : {trace, in, out, err}) unlink(path.c_str());
    return result;
}

// On a terminal the tool runs as a shell would run it: in a foreground
// process group of its own, under a session leader that waits for it, so
// that a stop signal is not discarded as it would be for an orphaned group.
// The leader exits 128 + the signal that killed the tool, or 100 if it stopped.
[[noreturn]] void superviseTool(const std::vector<std::string>& args, const std::string& trace, const char* delayMs) {
    pid_t tool = fork();
    if (tool == 0) {
        setpgid(0, 0);
        signal(SIGTTOU, SIG_IGN);
        tcsetpgrp(STDIN_FILENO, getpid());
        signal(SIGTTOU, SIG_DFL);
        execTool(args, trace, delayMs);
    }
    int status = 0;
    waitpid(tool, &status, WUNTRACED);
    if (WIFSTOPPED(status)) kill(tool, SIGKILL);
    _exit(WIFSTOPPED(status) ? 100 : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status));
}

// kestrov on a pseudo-terminal, with the terminal's screen kept as it is read.
struct Terminal {
    int master = -1;
    pid_t pid = -1;
    std::string trace = scratch(".trace"), screen;
    termios initial{};

    explicit Terminal(const std::vector<std::string>& args = {}, const char* delayMs = nullptr) {
        int probe = -1, slave = -1;
        openpty(&probe, &slave, nullptr, nullptr, nullptr);  // the system's default terminal mode
        tcgetattr(slave, &initial);
        close(probe), close(slave);
        pid = forkpty(&master, nullptr, &initial, nullptr);
        if (pid == 0) superviseTool(args, trace, delayMs);
    }
    ~Terminal() {
        if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
        close(master);
        unlink(trace.c_str());
    }
    void type(const std::string& keys) const { ASSERT_EQ(write(master, keys.data(), keys.size()), ssize_t(keys.size())); }
    termios mode() const {
        termios now{};
        tcgetattr(master, &now);
        return now;
    }
    bool await(const std::function<bool()>& ready) {
        return awaitTrue([&] {
            char bytes[256];
            for (pollfd input{master, POLLIN, 0}; poll(&input, 1, 0) > 0 && (input.revents & POLLIN);) {
                ssize_t got = read(master, bytes, sizeof bytes);
                if (got <= 0) break;
                screen.append(bytes, size_t(got));
            }
            return ready();
        });
    }
    bool awaitEvents(size_t count) {
        return await([&] { return readEvents(trace).size() >= count; });
    }
    int awaitOutcome() const {
        int status = awaitExit(pid);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    bool awaitCharacterMode() {
        return await([&] { return (mode().c_lflag & ICANON) == 0; });
    }
};

// What the tool should do, worked out from the key table and the argument
// rules alone: the exit status and the keys, reading input as the tool would.
std::pair<int, std::vector<unsigned long>> model(const std::vector<std::string>& args, const std::string& input) {
    std::vector<unsigned long> keys;
    size_t next = 0;
    auto press = [&](unsigned char c) {
        unsigned long code = modelKey(c);
        if (c == 'u' && next < input.size() && input[next] >= '1' && input[next] <= '8')
            code = 0x10027 + static_cast<unsigned long>(input[next] - '1');
        next += c == 'u' && next < input.size();
        if (code != 0) keys.push_back(code);
        return c == 'Q';
    };
    if (args.empty()) {
        while (next < input.size() && !press(static_cast<unsigned char>(input[next++]))) {}
        return {0, keys};
    }
    std::vector<const std::string*> strings;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i].rfind("-k", 0) != 0) continue;
        if (++i == args.size()) return {2, {}};
        strings.push_back(&args[i]);
    }
    for (const std::string* keyString : strings)
        for (char c : *keyString) press(static_cast<unsigned char>(c));
    return {0, keys};
}

std::string quote(const std::string& bytes) {
    std::string quoted = "$'";
    for (char byte : bytes) {
        auto c = static_cast<unsigned char>(byte);
        char hex[8];
        std::snprintf(hex, sizeof hex, std::isalnum(c) || c == '-' ? "%c" : "\\x%02X", c);
        quoted += hex;
    }
    return quoted + "'";
}

// One run: its exit status, its keys, and that it printed only what it should.
void expectRun(const std::vector<std::string>& args, const std::optional<std::string>& input,
               const std::vector<unsigned long>& keys, int status = 0, bool closeOutput = false) {
    Result result = run(args, input, closeOutput);
    std::string replay = input ? "printf %s " + quote(*input) + " | kestrov" : "kestrov <&-";
    for (const std::string& arg : args) replay += " " + quote(arg);
    EXPECT_TRUE(WIFEXITED(result.status) && WEXITSTATUS(result.status) == status) << result.status << "\n" << replay;
    EXPECT_EQ(result.events, pressed(keys)) << replay;
    EXPECT_EQ(result.out, args.empty() && !closeOutput ? usage() : "") << replay;
    EXPECT_EQ(result.err, status == 2 ? "kestrov: option -k needs a key string\n" : "") << replay;
}

void expectModel(const std::vector<std::string>& args, const std::string& input, bool closeOutput = false) {
    auto [status, keys] = model(args, input);
    expectRun(args, input, keys, status, closeOutput);
}

}  // namespace

TEST(KeyString, SendsEveryByteAsItsOwnKeyAndNothingForTheRest) {
    std::string all;
    for (int c = 1; c < 256; ++c) all += static_cast<char>(c);
    expectModel({"-k", all}, "");
}

struct Case {
    std::vector<std::string> args;
    const char* input;
    std::vector<unsigned long> keys;
};

void PrintTo(const Case& c, std::ostream* out) {
    for (const std::string& arg : c.args) *out << testing::PrintToString(arg) << ' ';
    *out << "< " << (c.input != nullptr ? testing::PrintToString(std::string(c.input)) : "(closed)");
}

class Scan : public testing::TestWithParam<Case> {};

TEST_P(Scan, SendsTheKeysInOrder) {
    const Case& c = GetParam();
    expectRun(c.args, c.input != nullptr ? std::optional<std::string>(c.input) : std::nullopt, c.keys);
}

INSTANTIATE_TEST_SUITE_P(Cases, Scan, testing::Values(
    Case{{"-k", "ilil"}, "", {0x1000C, 0x1000F, 0x1000C, 0x1000F}},
    Case{{"-k", ""}, "", {}},
    Case{{"-h"}, "", {}},
    Case{{"x"}, "ilQ", {}},
    Case{{"-k", "abc", "-k", "12"}, "", {0x1000B, 0x1001C, 0x10001, 0x10002}},
    Case{{"-kfoo", "5"}, "", {0x10005}},
    Case{{"-k", "-k"}, "", {0x1000D}},
    Case{{"x", "-k", "3", "y"}, "", {0x10003}},
    Case{{"--k", "3", "-K", "3", "", "-"}, "", {}},
    Case{{"-k", "iQl"}, "", {0x1000C, 0x1000F}},
    Case{{"-k", "u3"}, "5", {0x1002B, 0x10003}},
    Case{{"-k", "u3"}, "", {0x10003}},
    Case{{"-k", "u3"}, nullptr, {0x10003}},
    Case{{"-k", "u1u8"}, "18", {0x10027, 0x10001, 0x1002E, 0x10008}},
    Case{{"-k", "uuuu"}, "9u0Q", {}},
    Case{{"-k", "\r\t\x1b\x7f\x80\xa0\xff"}, "", {}},
    // live mode on a pipe or a file: up to Q or the end
    Case{{}, "ilQx", {0x1000C, 0x1000F}},
    Case{{}, "il", {0x1000C, 0x1000F}},
    Case{{}, "", {}},
    Case{{}, nullptr, {}},
    Case{{}, "u1u9uuQ", {0x10027}},
    Case{{}, "uQl Q", {0x1000F, 0x1000B}},
    Case{{}, "u", {}},
    Case{{}, "\x80i\xffu\xb1u\xd1l\xd1Q", {0x1000C, 0x1000F}},  // 0xB1 and 0xD1 are not 1 and Q
    Case{{}, "\x1b[A\r\nqQq", {0x10017, 0x1000A, 0x10022}}));

TEST(KeyString, RefusesATrailingKeyOptionBeforeSendingAnything) {
    for (std::vector<std::string> args : {std::vector<std::string>{"-k"}, {"-k", "il", "-kx"}, {"x", "-k"}})
        expectRun(args, "", {}, 2);
}

TEST(LiveTerminal, SwitchesOnlyToCharacterModeAndSendsEachKeyAsTyped) {
    Terminal terminal;
    std::string shown = std::regex_replace(usage(), std::regex("\n"), "\r\n");
    ASSERT_TRUE(terminal.await([&] { return terminal.screen.size() >= shown.size(); })) << terminal.screen;
    EXPECT_EQ(terminal.screen, shown);
    ASSERT_TRUE(terminal.awaitCharacterMode());
    termios now = terminal.mode(), was = terminal.initial;
    EXPECT_EQ(now.c_lflag, was.c_lflag & ~tcflag_t(ICANON));
    EXPECT_EQ(now.c_iflag, was.c_iflag);
    EXPECT_EQ(now.c_oflag, was.c_oflag);
    EXPECT_EQ(now.c_cflag, was.c_cflag);
    EXPECT_TRUE((now.c_lflag & ECHO) && (now.c_lflag & ISIG) && (now.c_iflag & ICRNL));
    EXPECT_EQ(now.c_cc[VMIN], 1);
    EXPECT_EQ(now.c_cc[VTIME], 0);
    now.c_cc[VMIN] = was.c_cc[VMIN], now.c_cc[VTIME] = was.c_cc[VTIME];
    EXPECT_EQ(std::string(std::begin(now.c_cc), std::end(now.c_cc)), std::string(std::begin(was.c_cc), std::end(was.c_cc)));

    terminal.type("l");  // no Enter: the key goes out on its own
    ASSERT_TRUE(terminal.awaitEvents(2));
    terminal.type("\r\x1b[AqQ");
    EXPECT_EQ(terminal.awaitOutcome(), 0);
    EXPECT_EQ(readEvents(terminal.trace), pressed({0x1000F, 0x1000A, 0x10017, 0x10022}));
    terminal.await([] { return true; });  // what the terminal still holds
    EXPECT_EQ(terminal.screen.find(shown, 1), std::string::npos) << "usage shown twice";
    EXPECT_EQ(terminal.mode().c_lflag & ICANON, 0u) << "terminal mode restored";
}

struct Interrupt {
    std::vector<std::string> args;
    std::string typed;  // a signal key typed at the terminal, or empty to kill()
    int signal;
};

void PrintTo(const Interrupt& interrupt, std::ostream* out) {
    *out << (interrupt.args.empty() ? "live" : "key string") << ", signal " << interrupt.signal;
}

class KeyDown : public testing::TestWithParam<Interrupt> {};

TEST_P(KeyDown, ASignalWaitsForTheReleaseThenTakesEffect) {
    const Interrupt& interrupt = GetParam();
    Terminal terminal(interrupt.args, "500");
    if (interrupt.args.empty()) {
        ASSERT_TRUE(terminal.awaitCharacterMode());
        terminal.type("l");
    }
    ASSERT_TRUE(terminal.awaitEvents(1));
    if (interrupt.typed.empty()) kill(-tcgetpgrp(terminal.master), interrupt.signal);
    else terminal.type(interrupt.typed);
    EXPECT_EQ(terminal.awaitOutcome(), interrupt.signal == SIGTSTP ? 100 : 128 + interrupt.signal);
    EXPECT_EQ(readEvents(terminal.trace), pressed({0x1000F}));
}

INSTANTIATE_TEST_SUITE_P(Signals, KeyDown, testing::Values(
    Interrupt{{}, "\x03", SIGINT},
    Interrupt{{}, "\x1c", SIGQUIT},
    Interrupt{{}, "\x1a", SIGTSTP},
    Interrupt{{}, "", SIGTERM},
    Interrupt{{"-k", "l"}, "", SIGHUP},
    Interrupt{{"-k", "l"}, "", SIGINT}));

TEST(LiveTerminal, InterruptWhileWaitingForInputEndsAtOnce) {
    Terminal terminal;
    ASSERT_TRUE(terminal.awaitCharacterMode());
    terminal.type("\x03");
    EXPECT_EQ(terminal.awaitOutcome(), 128 + SIGINT);
    EXPECT_EQ(readEvents(terminal.trace), Events{});
}

TEST(Randomized, AgreesWithTheModel) {
    std::mt19937 random(std::stoul(env("KESTROV_SEED", "20261207")));
    const int cases = std::stoi(env("KESTROV_CASES", "3000"));
    const std::vector<std::string> lookalikes{"-k", "-k", "-k", "-K", "--k", "-kx", "-", ""};
    const std::string favoured = "uQ0123456789ilu\n ";
    auto bytes = [&](size_t most) {
        std::string text(random() % (most + 1), '\0');
        for (char& c : text) c = random() % 2 ? favoured[random() % favoured.size()] : static_cast<char>(1 + random() % 255);
        return text;
    };
    for (int i = 0; i < cases && !HasFailure(); ++i) {
        std::vector<std::string> args(random() % 7);
        for (std::string& arg : args) arg = random() % 2 ? lookalikes[random() % lookalikes.size()] : bytes(6);
        expectModel(args, bytes(8));
    }
    std::cout << cases << " random cases, seed " << env("KESTROV_SEED", "20261207") << "\n";
}

TEST(Faults, LongAndManyKeyStringsAndAClosedOutput) {
    std::string longest;  // the kernel's limit for one argument, less its NUL
    while (longest.size() < 32 * size_t(sysconf(_SC_PAGESIZE)) - 1) longest += "il\x80 u"[longest.size() % 5];
    expectModel({"-k", longest}, "3");
    std::vector<std::string> many;
    for (int i = 0; i < 5000; ++i) many.insert(many.end(), {"-k", i % 2 ? "l" : "\xff" "i"});
    expectModel(many, "");
    expectModel({}, "ilQx", true);
}

TEST(Faults, ATraceThatCannotBeOpenedIsReportedOnceAndTracedToStandardError) {
    Result result = run({"-k", "il"}, "", false, "/nonexistent/trace");
    std::string first = result.err.substr(0, result.err.find('\n') + 1);
    EXPECT_EQ(first, "libCascade: cannot open trace /nonexistent/trace: No such file or directory; "
                     "tracing to standard error\n");
    EXPECT_EQ(parseEvents(result.err.substr(first.size())), pressed({0x1000C, 0x1000F}));
    EXPECT_EQ(result.status, 0);
}
