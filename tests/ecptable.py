#!/usr/bin/env python3
"""ECP's key table (src/kestrovd/EcpKeys.h) against what kestrovd presses for each name, in lower case and in upper
case, and against the manual page's table: each name its button, by the Linux key that Buttons.h gives it, or a 404
with its reason, nothing pressed. Usage: ecptable.py MANPAGE -- HOW-TO-RUN-KESTROVD..."""
import os, re, socket, subprocess, sys, tempfile, time, urllib.error, urllib.request

here = os.path.dirname(os.path.abspath(__file__))
manual, command = sys.argv[1], sys.argv[3:]
table = re.findall(r'^    \{"(\w+)", (?:"(KEY_\w+)", nullptr|nullptr, "([^"]+)")\},$', open(f"{here}/../src/kestrovd/EcpKeys.h").read(), re.M)
buttons = open(f"{here}/../platform/Buttons.h").read()
rows = open(manual).read().replace("\\(em", "-").replace("\\(aq", "'").splitlines()
with socket.socket() as free:
    free.bind(("127.0.0.1", 0))
    port = free.getsockname()[1]
scratch = tempfile.mkdtemp()
trace = f"{scratch}/trace"
server = subprocess.Popen(command + ["--socket", f"{scratch}/lircd", "--ecp", str(port)], stdout=subprocess.PIPE,
                          env=dict(os.environ, CASCADE_TRACE=trace))
while not server.stdout.readline().startswith(b"kestrovd: ECP at"):
    pass


def press(name):  # the status, the body, and the trace's lines of it
    since = os.path.getsize(trace) if os.path.exists(trace) else 0
    try:
        answer = urllib.request.urlopen(urllib.request.Request(f"http://127.0.0.1:{port}/keypress/{name}", b"", method="POST"))
        status, body = answer.status, answer.read().decode()
    except urllib.error.HTTPError as refused:
        status, body = refused.code, refused.read().decode()
    time.sleep(0.05)  # the trace's line written
    with open(trace) if os.path.exists(trace) else open(os.devnull) as lines:
        lines.seek(since)
        return status, body, " | ".join(line.strip() for line in lines)


passed = failed = 0
for i, (name, key, why) in enumerate(table):
    found = re.search(r'\{(0x[0-9A-F]+), "([^"]+)", \{[^}]*KEY\(' + (key or "none") + r'\)', buttons)
    row = f"{name}\t{key}\t{found[2]}" if key else f"{name}\t-\t{why}"
    for asked in (name.lower(), name.upper()):
        want = (200, "", f"down {found[1]} {found[2]} | up {found[1]} {found[2]}") if key else (404, f"no button for {asked}: {why}\n", "")
        got = press(asked)
        passed += got == want and row in rows
        if got != want or row not in rows:
            failed += 1
            print(f"FAIL: curl -d '' http://127.0.0.1:{port}/keypress/{asked}\n  got  {got}\n  want {want}"
                  f"{'' if row in rows else ', and the manual page has no row ' + repr(row)}")
server.terminate()
server.wait()
print(f"{passed} passed, {failed} failed")
sys.exit(failed != 0 or len(table) < 30)
