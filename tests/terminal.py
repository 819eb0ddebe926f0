#!/usr/bin/python3
"""Live mode at a terminal, as a person uses it: kestrov runs under a shell
with job control on a pseudo-terminal (pexpect), the terminal's own signal
characters stop or end it, and its key events are read off the screen.

Usage: tests/terminal.py [--shell COMMAND] [--] KESTROV...
  KESTROV: how to run kestrov (with an emulator before it, if need be)
  --shell: the interactive shell to drive (default bash with job control);
           a virtual device's console gives the guest kernel's terminal
Each case line: the command typed at the prompt; what is typed next, one
step at a time (a key waits for its press to show, ^C, ^\\ and Q for the
prompt, ^Z for the stop); the keys that must come out; the exit status.
"""
import argparse, os, re, sys, tempfile
import pexpect

CASES = [
    ("kestrov",                           ["l", "\r", "\x1b[A", "q", "Q"], "arrow-right enter audio exit", 0),
    ("kestrov",                           ["^C"],                       "", 130),
    ("CASCADE_DELAY_MS=500 kestrov",      ["l", "^C"],                  "arrow-right", 130),
    ("CASCADE_DELAY_MS=500 kestrov",      ["l", "^\\"],                 "arrow-right", 131),
    ("CASCADE_DELAY_MS=500 kestrov",      ["l", "^Z", "fg", "i", "Q"],  "arrow-right arrow-up", 0),
    ("CASCADE_DELAY_MS=500 kestrov -k l", ["^C"],                       "arrow-right", 130),
]
PROMPT = "[kestrov-test]$ "
CONTROL = {"^C": "\x03", "^\\": "\x1c", "^Z": "\x1a"}

options = argparse.ArgumentParser()
options.add_argument("--shell", default="bash --norc --noprofile --noediting -i")
options.add_argument("kestrov", nargs="+")
args = options.parse_args()
bin = tempfile.mkdtemp()
with open(os.path.join(bin, "kestrov"), "w") as wrapper:
    wrapper.write('#!/bin/sh\nexec %s "$@"\n' % " ".join(args.kestrov))
os.chmod(os.path.join(bin, "kestrov"), 0o755)
shell = pexpect.spawn(args.shell, encoding="latin-1", timeout=30, dimensions=(50, 200),
                      env={**os.environ, "PATH": bin + ":" + os.environ["PATH"], "TERM": "dumb"})
shell.expect(r"[#$] ", timeout=120)  # the shell's own prompt: what is typed before it may be lost
# The trace on the screen, whichever library: the evdev library keeps none unless asked.
shell.sendline("export CASCADE_TRACE=/dev/tty; PS1='[kestrov-''test]$ '")
shell.expect_exact(PROMPT)
passed = failed = 0


def events(screen):
    return re.findall(r"(down|up) 0x[0-9A-F]+ ([\w-]+)", screen)


def run(command):
    """Runs a shell command and returns what it printed."""
    shell.sendline(command)
    shell.expect_exact(PROMPT)
    return re.split(r"\n|\^J", shell.before, 1)[-1].replace("\r", "")  # ^J: a line end echoed without ICANON


def report(what, ok, details):
    global passed, failed
    passed, failed = passed + ok, failed + (not ok)
    if not ok:
        print("FAIL: %s\n  %s" % (what, details.replace("\n", "\n  ")))


def session(command, steps):
    """Runs command and types the steps; returns the screen and the exit status."""
    shell.sendline(command)
    screen = ""
    for step in [""] + steps:
        if step == "fg":
            shell.sendline("fg")
            continue
        shell.send(CONTROL.get(step, step))
        if step in ("^C", "^\\", "Q"):
            shell.expect_exact(PROMPT)
        elif step == "^Z":
            shell.expect("Stopped.*" + re.escape(PROMPT))
        elif step == "" and "-k" not in command:
            shell.expect_exact("capital Q exits")
        else:
            shell.expect(r"down 0x")
        screen += shell.before + shell.after
    return screen, int(re.search(r"status=(\d+)", run("echo status=$?")).group(1))


for command, steps, keys, status in CASES:
    try:
        run("stty sane")
        screen, got = session(command, steps)
        want = [(action, key) for key in keys.split() for action in ("down", "up")]
        report("%s, typing %r" % (command, steps), events(screen) == want and got == status,
               "keys %s\nwant %s\nstatus %d, want %d" % (events(screen), want, got, status))
    except pexpect.TIMEOUT:
        report("%s, typing %r" % (command, steps), False, "timed out; the screen:\n" + shell.before)
        shell.sendcontrol("c")
        shell.expect_exact(PROMPT)

# Only three things change, and stay changed: canonical input, VMIN and VTIME.
run("stty sane min 5 time 3")
before = run("stty -a")
session("kestrov", ["Q"])
after = run("stty -a")
switched = before.replace(" icanon", " -icanon").replace("min = 5", "min = 1").replace("time = 3", "time = 0")
report("kestrov switches only to character mode", after == switched and before != switched,
       "before: %s\nafter:  %s" % (before, after))
# What is typed after Q is left for the shell.
run("stty sane")
run("kestrov\rlQecho typed-''ahead")
shell.expect_exact(PROMPT)  # the shell's next prompt, after it ran what was typed ahead
report("typing ahead after Q", "typed-ahead" in shell.before, shell.before)

print("%d passed, %d failed" % (passed, failed))
sys.exit(failed > 0)
