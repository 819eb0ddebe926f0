#!/usr/bin/python3
"""A LIRC client that misbehaves on purpose, for tests/lirc.sh: it connects to
the socket (or HOST:PORT over TCP), sends each TEXT (Python escapes: \\n, \\0) a tenth of a second apart,
then prints what came back until the server is quiet for half a second, line
feeds as |, and "(closed)" if the server closed the connection.
  --crowd N   first opens N more connections, kept open and idle
  --deaf N    sends the texts N times and never reads (prints nothing)
  --hang      after the texts, waits up to 15 s for the server to close
  --stay S    then stays connected S seconds more
  --from ADDR connects over TCP from that address (127.0.0.2: another machine's)
  --drip S    sends the texts a byte at a time, S seconds apart
Usage: lircpeer.py SOCKET|HOST:PORT [--from ADDR] [--crowd N] [--deaf N] [--hang] [--stay S] [--drip S] TEXT..."""
import socket
import sys
import time

args = sys.argv[1:]
path = args.pop(0)


def option(name, default):  # the value after --NAME, both taken out of args
    if name not in args:
        return default
    at = args.index(name)
    del args[at]
    return args.pop(at)


crowd, deaf = int(option('--crowd', 0)), int(option('--deaf', 0))
stay, source, drip = float(option('--stay', 0)), option('--from', '127.0.0.1'), float(option('--drip', 0))
hang = '--hang' in args
texts = [a.encode('latin-1').decode('unicode_escape').encode('latin-1') for a in args if a != '--hang']
texts = [bytes([byte]) for text in texts for byte in text] if drip else texts


def connect():
    if ':' not in path:
        peer = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        peer.connect(path)
        return peer
    host, port = path.rsplit(':', 1)
    return socket.create_connection((host, int(port)), source_address=(source, 0))


others = [connect() for _ in range(crowd)]
peer = connect()
if deaf:
    peer.settimeout(5)
    try:
        for _ in range(deaf):
            for text in texts:
                peer.sendall(text)
    except OSError:
        pass
    sys.exit(0)
got = b''
for text in texts:
    try:
        peer.sendall(text)
    except OSError:  # closed already: what it said comes below
        break
    time.sleep(drip or 0.1)
peer.settimeout(15 if hang else 0.5)
try:
    while True:
        data = peer.recv(65536)
        got += data if data else b'(closed)'
        if not data:
            break
        peer.settimeout(15 if hang else 0.5)
except socket.timeout:
    pass
except ConnectionResetError:  # closed with what we sent still unread
    got += b'(closed)'
print(got.decode('latin-1').replace('\n', '|'), flush=True)
time.sleep(stay)
