#!/usr/bin/python3
"""Live mode and signals at a terminal, under a shell with job control (pexpect). A case: the command;
what is typed, step by step (keys wait for a press to show; "$ command", ^C, ^\\ and Q for the prompt;
^Z, or nothing, for the stop; (^Z, S): a second into a hold, the key up and the tool stopped within S seconds);
the keys, read off the screen; the exit status. Live mode shows its usage once.
Usage: tests/terminal.py [SHELL...] -- KESTROV...   (default bash; tools/vm: the virtual device's console)"""
import io, os, re, signal, sys, time
import pexpect

# Only three things change, and stay changed: canonical input, VMIN and VTIME.
MODE = ("stty min 5 time 3; stty -a | sed 's/ icanon/ -icanon/; s/min = 5/min = 1/; s/time = 3/time = 0/' "
        ">/tmp/mode.$$; kestrov; stty -a | cmp -s - /tmp/mode.$$; s=$?; rm /tmp/mode.$$; (exit $s)")
HELD = "CASCADE_DELAY_MS=500 kestrov"  # each press and each release takes 500 ms
HOLD = "CASCADE_HOLD_MS=5000 kestrov"  # each press held 5 s
STOPPED = "LD_PRELOAD=%s/libStopAfterSwitch.so kestrov" % os.environ.get("KESTROV_HELPERS", "/tests")  # Ctrl-Z at the switch
# Nobody reads the terminal (stopped by ^S, or not) for 4.5 s before ^Q: kill -TERM ends the tool within the 2 s promised
# (a watchdog kills it 3 s on). Keys None: some are dropped, but every line is whole, bar the last, which a kill may cut.
IS = "$(printf %3000s | tr ' ' i)"
KILLED = ("(CASCADE_TRACE= CASCADE_DEVICE=/dev/null CASCADE_DELAY_MS=%d kestrov -k %s & k=$!; "  # lines on standard error
          "sleep 0.5; kill -TERM $k; (sleep 3; kill -KILL $k 2>&-) & wait $k)")
CASES = [
    (MODE,                  ["l", "\r", "\x1b[A", "q", "Q"],    "arrow-right enter audio exit", 0),
    ("kestrov",             ["iQfalse\r"],                      "arrow-up", 1),  # typed ahead: for the shell
    ("kestrov",             ["^C"],                             "", 130),
    (HELD,                  ["l", "^C"],                        "arrow-right", 130),
    (HELD,                  ["l", "^\\"],                       "arrow-right", 131),
    (HELD,                  ["l", "^Z", "fg\ri", "Q"],          "arrow-right arrow-up", 0),
    (STOPPED,               ["", "fg\ri", "Q"],                "arrow-up", 0),
    (HOLD + " -k il",       [("^Z", 0.1), "fg\r"],              "arrow-up arrow-right", 0),  # the rest of the hold not held
    (HELD + " -k l",        ["^C"],                             "arrow-right", 130),
    (HELD + " -k l &",      ["$ kill -ALRM %1; wait %1"],        "arrow-right", 142),
    (HELD + " -k l &",      ["$ kill -TERM %1; wait %1"],        "arrow-right", 143),
    (KILLED % (0, IS),      ["^Q"],                             None, 143),
    (KILLED % (1, IS),      ["^S", "^Q"],                       None, 143),  # 2 ms a key: stopped before it fills
    ("{ sleep 5.5; echo 1; } | kestrov -k %s -k u" % IS, ["^Q"], None, 0),
]
PROMPT = re.escape("[kestrov-test]$ ")
USAGE = r"Kestrov [\d.]+ by .+ -- \S+\r+\ni, j, k, l, and space for basic navigation and select, capital Q exits\r+\n\r+\n"
AWAIT = {"^C": PROMPT, "^Q": PROMPT, "^\\": PROMPT, "Q": PROMPT, "^Z": "Stopped.*" + PROMPT, "": "Stopped.*" + PROMPT}

command = " ".join(sys.argv[1:sys.argv.index("--")]) or "bash --norc --noprofile --noediting -i"
# A job started in the background ignores SIGINT and SIGQUIT, and so would every shell and job it starts.
shell = pexpect.spawn(command, encoding="latin-1", timeout=30, dimensions=(50, 200), env={**os.environ, "TERM": "dumb"},
                      preexec_fn=lambda: [signal.signal(s, signal.SIG_DFL) for s in (signal.SIGINT, signal.SIGQUIT)])
shell.expect(r"[#$] ", timeout=120)  # the shell's own prompt: what is typed before it may be lost
shell.sendline("alias kestrov='%s'; export CASCADE_TRACE=/dev/tty; PS1='[kestrov-''test]$ '" % " ".join(sys.argv[sys.argv.index("--") + 1:]))
shell.expect(PROMPT)
failed = 0
for command, steps, keys, status in CASES:
    shell.sendline("stty sane; " + command)
    shell.logfile_read = screen = io.StringIO()
    try:
        shell.expect("down 0x" if "-k" in command else USAGE)
        for step in steps:
            step, within = step if isinstance(step, tuple) else (step, None)
            time.sleep(4.5 if step == "^Q" else 1 if within else 0)
            shell.sendcontrol(step[1]) if step[:1] == "^" else shell.send(step[2:] + "\r" if step[:2] == "$ " else step)
            within and shell.expect("up 0x", timeout=within)
            step == "^S" or shell.expect(AWAIT.get(step, PROMPT if step[:2] == "$ " else "down 0x"), timeout=within or -1)
        shell.sendline("echo status=$?")
        shell.expect(r"status=(\d+)\r")
        lines = [line for line in re.split(r"\r*\n", screen.getvalue()) if " 0x" in line][:-1]
        got = (re.findall(r"(down|up) 0x[0-9A-F]+ ([\w-]+)", screen.getvalue()) if keys is not None else
               [line for line in lines if not re.fullmatch(r"(down|up) 0x[0-9A-F]+ [\w-]+", line)],
               int(shell.match.group(1)), screen.getvalue().count("Q exits"))
        shell.expect(PROMPT)
    except (pexpect.TIMEOUT, pexpect.EOF):
        got = ("no answer", shell.before)
    want = ([(action, key) for key in (keys or "").split() for action in ("down", "up")], status, int("-k" not in command))
    if got != want:
        failed += 1
        print("FAIL: %s, typing %r\n  got  %s\n  want %s" % (command, steps, got, want))
print("%d passed, %d failed" % (len(CASES) - failed, failed))
sys.exit(failed > 0)
