"""kestrovd's page in a real browser: headless Chromium driven through WebDriver, one case a line: what a
tester does, and the keys that kestrovd's library then gives, in order ("down NAME", "up NAME"). COMMAND
starts kestrovd with --http on {port} and its keys on standard output or error as the trace library writes
them ("down 0x1000C arrow-up"), or, with --reader, as a reader of the device reads them ("event TYPE CODE
VALUE SECONDS", tests/reader -t): then the keys are those of the device, timed by its clock, and a hold must
have the device's repeats. {dir} is a scratch folder; {lircport}, a free port for LIRC over TCP, where the
pages of other sites aim too; {ecpport}, one for ECP, pressed over HTTP from here and aimed at by them too; {tls}, with --tls, a certificate and key made for 127.0.0.1, and then the page
is https://. It ends kestrovd with SIGTERM, or, if it has a {stopport}, by a connection there (a virtual
device's), and wants status 0. A failing line prints its replay. Run by /usr/bin/python3, whose are Debian's
selenium modules.
Usage: page.py [-k CASE] [--screenshot FILE] [--reader] [--tls] -- COMMAND..."""
import argparse, http.client, http.server, os, re, shlex, socket, ssl, subprocess, sys, tempfile, threading, time
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.actions import interaction
from selenium.webdriver.common.actions.action_builder import ActionBuilder
from selenium.webdriver.common.actions.pointer_input import PointerInput
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys

parser = argparse.ArgumentParser(usage=__doc__.rsplit("Usage: ", 1)[1])
parser.add_argument("-k", dest="only", default="")
parser.add_argument("--screenshot")
parser.add_argument("--reader", action="store_true")
parser.add_argument("--tls", action="store_true")
parser.add_argument("command", nargs="+")
options = parser.parse_args()


def freePort():
    with socket.socket() as free:
        free.bind(("127.0.0.1", 0))
        return free.getsockname()[1]


port, stopPort, lircPort, ecpPort, scratch = freePort(), freePort(), freePort(), freePort(), tempfile.mkdtemp()
if options.tls:  # a device's own certificate, as the manual page makes it
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-days", "2",
                    "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", f"{scratch}/tls.pem",
                    "-out", f"{scratch}/tls.crt"], check=True, capture_output=True)
    with open(f"{scratch}/tls.pem", "a") as pem:
        pem.write(open(f"{scratch}/tls.crt").read())
    os.chmod(f"{scratch}/tls.pem", 0o600)
web, ws = ("https", "wss") if options.tls else ("http", "ws")
command = [word.replace("{port}", str(port)).replace("{stopport}", str(stopPort)).replace("{dir}", scratch)
           .replace("{lircport}", str(lircPort)).replace("{ecpport}", str(ecpPort)).replace("{tls}", f"{scratch}/tls.pem")
           for word in options.command]
lirc = "{lircport}" in " ".join(options.command)  # LIRC over TCP, here
ecp = "{ecpport}" in " ".join(options.command)
server = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
heard = []  # (when, line) of all that kestrovd and the device print


def listen():
    for line in server.stdout:
        heard.append((time.monotonic(), line.decode(errors="replace").strip()))


threading.Thread(target=listen, daemon=True).start()


def waitFor(test, seconds):
    end = time.monotonic() + seconds
    while not test() and time.monotonic() < end:
        time.sleep(0.02)
    return test()


waitFor(lambda: any("the page at" in line for _, line in heard) or server.poll() is not None, 300)  # a virtual device boots
started = any("the page at" in line for _, line in heard)
token = started and re.search(r"token=(\w+)", next(line for _, line in heard if "the page at" in line)).group(1)
address = f"{web}://127.0.0.1:{port}/?token={token}"
chrome = webdriver.ChromeOptions()
for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--window-size=480,900",
             "--disable-background-networking", "--disable-background-timer-throttling", "--no-first-run",
             *(["--ignore-certificate-errors"] if options.tls else [])):
    chrome.add_argument(flag)
browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=chrome) if started else None
passed = failed = 0


def events(since):  # the reader's key events since then: (code, value, seconds)
    return [(int(m[1]), int(m[2]), float(m[3])) for _, line in heard[since:] if (m := re.match(r"event 1 (\d+) (\d+) ([\d.]+)", line))]


def keys(since):  # ("down NAME" / "up NAME", when) since then: of the trace, or of the reader
    if not options.reader:
        return [(f"{m[1]} {m[2]}", when) for when, line in heard[since:] if (m := re.match(r"(down|up) 0x\w+ (\S+)$", line))]
    return [(f"{'up' if value == 0 else 'down'} {named.get(code, code)}", when) for code, value, when in events(since) if value != 2]


# The buttons' names by their Linux key codes, for the reader: from the page and the kernel's header.
codes = {}
for m in re.finditer(r"#define (KEY_\w+)\s+(0x[0-9a-f]+|\d+|KEY_\w+)", open("/usr/include/linux/input-event-codes.h").read()):
    codes[m[1]] = codes[m[2]] if m[2] in codes else int(m[2], 0)  # KEY_ZOOM is KEY_FULL_SCREEN
named = {}


def check(name, act, want, holdSeconds=None, within=0.1):
    """act(); then the keys want, nothing more; a hold's release holdSeconds after its press, within `within`
    (holdSeconds may be a function, asked after act: a hold as long as act took)."""
    global passed, failed
    if options.only not in name:
        return
    since = len(heard)
    try:
        act()
        said = ""
    except Exception as error:  # a page that broke: the case fails, the others run
        said = f" ({type(error).__name__}: {str(error).splitlines()[0] if str(error) else ''})"
    waitFor(lambda: len(keys(since)) >= len(want), 15)
    time.sleep(0.3 if want else 1)  # for keys that should not come
    got = keys(since)
    holdSeconds = holdSeconds() if callable(holdSeconds) else holdSeconds
    held = got[1][1] - got[0][1] if holdSeconds is not None and len(got) >= 2 else None
    seen = events(since)
    repeats = sum(1 for code, value, _ in seen if value == 2)
    wrong = [k for k, _ in got] != want or said or (held is not None and abs(held - holdSeconds) > within)
    if options.reader and holdSeconds is not None and holdSeconds >= 1:  # the device repeats a held key after 0.5 s
        wrong = wrong or repeats == 0
    if not wrong:
        passed += 1
        return
    failed += 1
    print(f"FAIL: {name}{said}\n  got  {[k for k, _ in got]}" + (f", held {held:.3f} s" if held is not None else "") +
          (f", the reader: {seen}" if options.reader else "") + f"\n  want {want}" +
          (f", held {holdSeconds:.3g} s (within {within})" if holdSeconds is not None else "") +
          f"\n  replay: /usr/bin/python3 {shlex.quote(sys.argv[0])} -k {shlex.quote(name)} -- {shlex.join(options.command)}")


def expect(truth, what):  # the case fails, saying what was wrong
    if not truth:
        raise AssertionError(what)


def button(name):
    return browser.find_element(By.CSS_SELECTOR, f'button[aria-label="{name}"]')


def click(name):
    return lambda: ActionChains(browser).click(button(name)).perform()


def hold(name, seconds):
    return lambda: ActionChains(browser).click_and_hold(button(name)).pause(seconds).release().perform()


def touch(name, seconds):  # a finger, as on a phone
    def act():
        finger = ActionBuilder(browser, mouse=PointerInput(interaction.POINTER_TOUCH, "finger"))
        finger.pointer_action.move_to(button(name)).pointer_down().pause(seconds).pointer_up()
        finger.perform()
    return act


def press(*keyNames, seconds=0.0):  # keys of the keyboard held together for so long, on the page
    def act():
        chain = ActionChains(browser)
        for key in keyNames:
            chain.key_down(key)
        chain.pause(seconds)
        for key in keyNames:
            chain.key_up(key)
        chain.perform()
    return act


def repeatedKey(meanwhile=lambda: None):  # l held, with the browser's own repeats, as a person's key held gives
    stroke = {"key": "l", "code": "KeyL", "windowsVirtualKeyCode": 76, "text": "l"}
    start = time.monotonic()
    browser.execute_cdp_cmd("Input.dispatchKeyEvent", {"type": "keyDown", **stroke})
    for n in range(5):
        time.sleep(0.1)
        if n == 2:
            meanwhile()
        browser.execute_cdp_cmd("Input.dispatchKeyEvent", {"type": "keyDown", "autoRepeat": True, **stroke})
    repeatedKey.held = time.monotonic() - start  # the DevTools round trips count, however slow the machine
    browser.execute_cdp_cmd("Input.dispatchKeyEvent", {"type": "keyUp", **stroke})


def focusAndEnter(name):
    return lambda: (browser.execute_script("arguments[0].focus()", button(name)), press(Keys.ENTER)())


def closedMidHold(quietly=False):
    """A second tab holds power and is closed: its key goes up. Quietly: its socket, not the page, holds it, and says
    nothing as the tab goes, as when the browser is killed."""
    first = browser.current_window_handle
    browser.switch_to.new_window("tab")
    openPage()
    since, start = len(heard), time.monotonic()
    if quietly:
        browser.execute_script("""const s = new WebSocket(arguments[0]);
            s.onopen = () => { s.send('down 36'); setInterval(() => s.send('hold'), 250); }""", f"{ws}://127.0.0.1:{port}/keys")
    else:
        ActionChains(browser).click_and_hold(button("power")).perform()
    waitFor(lambda: keys(since), 5)
    time.sleep(0.5)
    closedMidHold.held = time.monotonic() - start  # from the press until the close begins, however slow the machine
    browser.close()
    browser.switch_to.window(first)


def ownSocket(*messages, path="/keys?token=TOKEN", wait=1.5, then="open closed"):
    """A WebSocket of the page's own origin that sends these, no more; it must have come to `then`."""
    def act():
        browser.execute_script("""const [url, messages] = arguments; const s = new WebSocket(url); document.title = '';
            s.onopen = () => { document.title = 'open'; for (const m of messages) s.send(m.startsWith('binary ') ? new TextEncoder().encode(m.slice(7)) : m); };
            s.onclose = () => { document.title += ' closed'; }""", f"{ws}://127.0.0.1:{port}{path.replace('TOKEN', token)}", list(messages))
        time.sleep(wait)
        expect(browser.title.strip() == then, f"the socket: {browser.title.strip()!r}, want {then!r}")
    return act


def manyPages(count):  # so many pages' sockets from one address, as testers behind one ssh tunnel have
    def act():
        browser.execute_script("""let open = 0; window.many = [];
            for (let i = 0; i < arguments[1]; i++) { const s = new WebSocket(arguments[0]); many.push(s);
                s.onopen = () => { document.title = String(++open); }; }""", f"{ws}://127.0.0.1:{port}/keys", count)
        waitFor(lambda: browser.title == str(count), 5)
        title = browser.title
        browser.execute_script("window.many.forEach(s => s.close())")
        expect(title == str(count), f"{title} of {count} pages connected")
    return act


def reloadMidHold():
    start = time.monotonic()
    ActionChains(browser).click_and_hold(button("menu")).perform()
    time.sleep(0.5)
    reloadMidHold.held = time.monotonic() - start
    openPage()


def otherSite(html):
    """A page of another origin (another port of this machine), served while `browser.get` opens it; its title."""
    class Handler(http.server.BaseHTTPRequestHandler):
        timeout = 2  # the browser's idle preconnections hold up no one
        def do_GET(self):
            self.send_response(200)
            self.send_header("Content-Type", "text/html")
            self.end_headers()
            self.wfile.write(html.encode())
        def log_message(self, *arguments):
            pass
    other = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=other.serve_forever, daemon=True).start()
    browser.get(f"http://127.0.0.1:{other.server_address[1]}/")
    time.sleep(1.5)
    title = browser.title
    other.shutdown()
    openPage()
    return title.strip()


def foreignPage(path="/keys?token=TOKEN"):
    """A page of another origin opens kestrovd's WebSocket, with the token, or with the cookie alone."""
    title = otherSite(f"<script>const s = new WebSocket('{ws}://127.0.0.1:{port}{path.replace('TOKEN', token)}');"
                      "s.onopen = () => { s.send('down 36'); document.title = 'open'; };"
                      "s.onclose = () => { document.title += ' closed'; };</script>")
    expect(title == "closed", f"the other site's socket: {title!r}")


def aimedAtLirc():
    """A page of another origin aims what a browser lets any page send, each carrying a LIRC command, at LIRC's port
    and at a plain listener here that keeps what comes: fetch no-cors, a text/plain form, a WebSocket, an image."""
    heardThere = []
    listener = socket.create_server(("127.0.0.1", 0))
    def keep():
        while True:
            connection, _ = listener.accept()
            connection.settimeout(1)
            try:
                while data := connection.recv(65536):  # the headers, and then the body
                    heardThere.append(data)
            except OSError:
                pass
            connection.close()
    threading.Thread(target=keep, daemon=True).start()
    body = "SEND_ONCE kestrov KEY_POWER\\n"
    ecpAim = lambda at: (f"fetch('http://127.0.0.1:{at}/keypress/Power', {{method: 'POST', mode: 'no-cors'}}).catch(() => 0);"
                         f"const e{at} = document.createElement('form'); e{at}.method = 'POST'; e{at}.target = 'e{at}';"
                         f"e{at}.action = 'http://127.0.0.1:{at}/keydown/Power'; document.body.append(e{at}); e{at}.submit();")
    aim = lambda at: (f"fetch('http://127.0.0.1:{at}/', {{method: 'POST', mode: 'no-cors', body: '{body}'}}).catch(() => 0);"
                      f"new WebSocket('ws://127.0.0.1:{at}/SEND_ONCE kestrov KEY_POWER');"
                      f"new Image().src = 'http://127.0.0.1:{at}/?SEND_ONCE kestrov KEY_POWER';"
                      f"const f{at} = document.createElement('form'); f{at}.method = 'POST'; f{at}.enctype = 'text/plain';"
                      f"f{at}.action = 'http://127.0.0.1:{at}/'; f{at}.target = 'w{at}';"
                      f"const i{at} = document.createElement('input'); i{at}.name = 'SEND_ONCE kestrov KEY_POWER\\nx';"
                      f"f{at}.append(i{at}); document.body.append(f{at}); f{at}.submit();")
    there = listener.getsockname()[1]
    otherSite(f"<body><iframe name='w{lircPort}'></iframe><iframe name='w{there}'></iframe><iframe name='e{ecpPort}'></iframe>"
              f"<iframe name='e{there}'></iframe><script>{aim(lircPort)} {aim(there)}"
              f"{ecpAim(ecpPort) + ecpAim(there) if ecp else ''}</script></body>")
    time.sleep(0.5)
    sent = b"".join(heardThere)
    expect(len(re.findall(rb"SEND_ONCE kestrov KEY_POWER\r?\n", sent)) == 2, f"the browser did not send both bodies: {sent!r}")
    expect(not ecp or len(re.findall(rb"POST /key(press|down)/Power", sent)) == 2, f"the browser did not send ECP's: {sent!r}")


def slowClients():
    """60 connections from another address (127.0.0.2) that send a byte a second; meanwhile the page loads and a
    fresh WebSocket presses, before the 5 s that a request may take have held anyone up."""
    slow = [socket.create_connection(("127.0.0.1", port), source_address=("127.0.0.2", 0)) for _ in range(60)]
    def drip():
        for byte in b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n":
            for connection in slow:
                try:
                    connection.send(bytes([byte]))
                except OSError:
                    pass
            time.sleep(1)
    threading.Thread(target=drip, daemon=True).start()
    time.sleep(1)
    since, start = len(heard), time.monotonic()
    openPage()
    click("select")()
    waitFor(lambda: len(keys(since)) >= 2, 10)
    took = time.monotonic() - start
    for connection in slow:
        connection.close()
    expect(took < 3, f"the page and a press took {took:.1f} s")


def ecpKeys(*paths, pause=0.0):
    """ECP's POSTs, as its clients send them, on one connection, `pause` s apart: each answered 200."""
    def act():
        connection = http.client.HTTPConnection("127.0.0.1", ecpPort, timeout=5)
        for i, path in enumerate(paths):
            time.sleep(pause if i else 0)
            connection.request("POST", path, b"")
            answer = connection.getresponse()
            answer.read()
            expect(answer.status == 200, f"{path}: {answer.status}")
    return act


def responseTo(path, host=None):  # an HTTP request of kestrovd's own, its response
    unchecked = ssl._create_unverified_context()  # the device's own certificate
    connection = (http.client.HTTPSConnection("127.0.0.1", port, timeout=5, context=unchecked) if options.tls else
                  http.client.HTTPConnection("127.0.0.1", port, timeout=5))
    connection.request("GET", path.replace("TOKEN", token), headers={"Host": host or f"127.0.0.1:{port}"})
    return connection.getresponse()


def answers(path, status, host=None, **headers):  # and those headers, as given
    def act():
        got = responseTo(path, host)
        said = {name: got.getheader(name) for name in headers}
        expect(got.status == status and said == headers, f"GET {path} (Host {host}): {got.status} {said}, want {status} {headers}")
    return act


def cookieOnly():  # the page as reloaded: no token in its address, its WebSocket by the cookie
    expect("token" not in browser.current_url, f"the address bar: {browser.current_url}")
    browser.refresh()
    waitFor(lambda: "connected" == browser.find_element(By.CSS_SELECTOR, "[role=status]").text.strip().lower(), 10)
    click("select")()


def withoutCookie(act):  # then the page as before
    def run():
        browser.delete_all_cookies()
        try:
            act()
        finally:
            openPage()
    return run


def logShows(*names):  # the page's log of keys that went in, newest first
    shown = lambda: browser.execute_script(  # read at once: the page drops its oldest lines as keys come
        "return [...document.querySelectorAll('#log li')].map(li => li.innerText)")[:len(names)]
    expect(waitFor(lambda: shown() == list(reversed(names)), 5), f"the page's log: {shown()}")


def irsendShown():  # keys from a LIRC client, on kestrovd's socket here
    subprocess.run(["irsend", "-d", f"{scratch}/lircd", "SEND_ONCE", "kestrov", "KEY_INFO", "KEY_F8", "KEY_EPG", "KEY_OK"],
                   check=True, timeout=10)
    logShows("info", "f8", "guide", "select")


def openPage():
    browser.get(address)
    waitFor(lambda: "connected" == browser.find_element(By.CSS_SELECTOR, "[role=status]").text.strip().lower(), 10)


if started:
    openPage()
    names = [b.get_attribute("aria-label") for b in browser.find_elements(By.CSS_SELECTOR, "button[aria-label]")]
    named = {codes.get(b["c"]): b["n"] for b in browser.execute_script("return buttons")}

    # Each of the 46 buttons clicked: its press and release, in order; held: as long as it is held.
    check("46 buttons, each named once", lambda: expect(len(set(names)) == 46, f"{len(names)} buttons: {names}"), [])
    for name in names:
        check(f"click {name}", click(name), [f"down {name}", f"up {name}"])
    check("hold select 1.5 s", hold("select", 1.5), ["down select", "up select"], 1.5)
    check("hold arrow-up 0.3 s", hold("arrow-up", 0.3), ["down arrow-up", "up arrow-up"], 0.3)
    check("touch play 1 s", touch("play", 1), ["down play", "up play"], 1)
    check("hold power 12 s: 10 s at most", hold("power", 12), ["down power", "up power"], 10, 0.3)

    # The keyboard: live mode's characters and the keys a person reaches for; a key held as long as it is down.
    check("key i, in the page's log", lambda: (press("i")(), logShows("arrow-up")), ["down arrow-up", "up arrow-up"])
    check("key 7", press("7"), ["down 7", "up 7"])
    check("key U", press(Keys.SHIFT, "U"), ["down page-up", "up page-up"])
    check("key space", press(" "), ["down select", "up select"])
    check("key Enter", press(Keys.ENTER), ["down select", "up select"])
    check("key Backspace", press(Keys.BACKSPACE), ["down back", "up back"])
    check("key Escape", press(Keys.ESCAPE), ["down exit", "up exit"])
    check("keys arrows", lambda: [press(k)() for k in (Keys.UP, Keys.DOWN, Keys.LEFT, Keys.RIGHT)],
          ["down arrow-up", "up arrow-up", "down arrow-down", "up arrow-down", "down arrow-left", "up arrow-left",
           "down arrow-right", "up arrow-right"])
    check("keys Page Up, Page Down", lambda: [press(k)() for k in (Keys.PAGE_UP, Keys.PAGE_DOWN)],
          ["down page-up", "up page-up", "down page-down", "up page-down"])
    check("key u: no key of its own", press("u"), [])
    check("key Ctrl-i: the browser's", press(Keys.CONTROL, "i"), [])
    check("key l held 1.5 s", press("l", seconds=1.5), ["down arrow-right", "up arrow-right"], 1.5)
    check("key l repeated by the browser", repeatedKey, ["down arrow-right", "up arrow-right"],
          lambda: repeatedKey.held)
    check("key l repeated, select clicked meanwhile: no l again", lambda: repeatedKey(click("select")),
          ["down arrow-right", "up arrow-right", "down select", "up select"])
    check("Enter on a focused button: that button", focusAndEnter("mute"), ["down mute", "up mute"])

    # A press belongs to its page: a tab closed, a page silent as its network goes, releases it within a second.
    check("tab closed mid-hold: up at once", closedMidHold, ["down power", "up power"], lambda: closedMidHold.held, 0.35)
    check("tab closed mid-hold, quietly", lambda: closedMidHold(True), ["down power", "up power"], lambda: closedMidHold.held, 0.35)
    check("page reloaded mid-hold: up at once", reloadMidHold, ["down menu", "up menu"], lambda: reloadMidHold.held, 0.35)
    check("silent page: released", ownSocket("down 12", wait=2, then="open"), ["down arrow-up", "up arrow-up"], 1.0, 0.5)

    # No one in who does not belong; a malformed message or too many end the connection, pressing nothing.
    check("the page without its token: 403", answers("/", 403), [])
    check("with a wrong token: 403", answers("/?token=0123456789abcdef0123456789abcdef", 403), [])
    check("another name for this machine: 403", answers("/?token=TOKEN", 403, f"rebound.example:{port}"), [])
    cookie = f"kestrovd-{port}={token}; Max-Age=31536000; Path=/; HttpOnly; SameSite=Strict" + ("; Secure" if options.tls else "")
    check("the token's address: to the page, the token a cookie", answers("/?token=TOKEN", 303, Location="/", **{"Set-Cookie": cookie}), [])
    check("the address bar without the token; a reload", cookieOnly, ["down select", "up select"])
    check("12 pages from one address: all connected", manyPages(12), [])
    check("a socket by the page's cookie", ownSocket("down 12", path="/keys", wait=2, then="open"), ["down arrow-up", "up arrow-up"])
    check("no file served", answers("/Page.html?token=TOKEN", 404), [])
    check("another site's page: refused", foreignPage, [])
    check("another site's page, with the cookie alone: refused", lambda: foreignPage("/keys"), [])
    check("a socket without token or cookie: refused", withoutCookie(ownSocket("down 12", path="/keys", then="closed")), [])
    if lirc:
        check("another site's page aims at LIRC's and ECP's ports: nothing pressed", aimedAtLirc, [])
    if ecp:  # ECP from here, through a forwarded port to a virtual device
        check("ECP: keypress Select, Lit_1, on one connection", ecpKeys("/keypress/Select", "/keypress/Lit_%31"),
              ["down select", "up select", "down 1", "up 1"])
        check("ECP: keydown Left held 1.5 s to its keyup", ecpKeys("/keydown/Left", "/keyup/Left", pause=1.5),
              ["down arrow-left", "up arrow-left"], 1.5)
        check("ECP: keydown Up, 12 s: 10 s at most", ecpKeys("/keydown/Up", "/keyup/Up", pause=12),
              ["down arrow-up", "up arrow-up"], 10, 0.3)
    if "{stopport}" not in " ".join(options.command):  # here, where another address is to be had
        check("60 slow connections from 127.0.0.2: the page and a press meanwhile", slowClients, ["down select", "up select"])
    check("a message of no button: closed", ownSocket("down 46"), [])
    check("a message not a page's: closed", ownSocket("down 12 12"), [])
    check("a binary message: closed", ownSocket("binary down 12"), [])
    check("too many messages: closed", ownSocket(*["hold"] * 100), [])
    if os.path.exists(f"{scratch}/lircd"):
        check("irsend's keys, in the page's log", irsendShown,
              ["down info", "up info", "down f8", "up f8", "down guide", "up guide", "down select", "up select"])
    if options.screenshot:  # the README's picture, with keys in its log
        openPage()
        for name in ("menu", "arrow-down", "arrow-down", "select"):
            click(name)()
        time.sleep(0.5)
        browser.save_screenshot(options.screenshot)
else:
    failed += 1
    print(f"FAIL: kestrovd did not start: {shlex.join(command)}: {' | '.join(line for _, line in heard)}")
if browser:
    browser.quit()
if "{stopport}" in " ".join(options.command):
    try:
        socket.create_connection(("127.0.0.1", stopPort), timeout=5).close()
    except OSError:
        server.terminate()
else:
    server.terminate()
try:
    status = server.wait(60)
except subprocess.TimeoutExpired:
    server.kill()
    status = "hung"
if started and status != 0:
    failed += 1
    print(f"FAIL: kestrovd ended with {status} on SIGTERM")
down = {}
for line, _ in keys(0):
    down[line.split()[1]] = line.startswith("down")
if any(down.values()):
    failed += 1
    print(f"FAIL: held down at the end: {[name for name, d in down.items() if d]}")
print(f"{passed} passed, {failed} failed")
sys.exit(failed != 0)
