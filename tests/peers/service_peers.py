#!/usr/bin/env python3
"""Loopback stand-ins for the tips service (UDP 6667) and the game-platform service (TCP 13390).

Usage: service_peers.py [--tips] [--game] [--as-services] -- COMMAND [ARG...]
       service_peers.py --help      (this text)

Binds the chosen peers on 127.0.0.1, runs COMMAND (a Lua test in the stand-in host), and exits with
its status. The test steers each exchange through the values it sends: a tips pid, or a game name,
that starts with "@" picks a behaviour; any other request is answered with the hex of the exact bytes
the peer received, so the test can check the wire format from the callback it gets.

--as-services answers those other requests as the services would, for a person to read: a tips
request with the tip identifier T-PID-CID, a game-platform request with its player's active games,
"Harbor Kings, Tolu Racing (NAME, TYPE)". The "@" behaviours stay as they are.

Tips pids:   @hex:HEX (reply those bytes)  @size:N (N bytes)  @empty  @silent  @delay:MS:TEXT
             @count:MARK (how many datagrams held MARK)  @find:MARK (hex of the last one that did)
             @len:MARK, @tail:MARK (its length, the hex of its last 8 bytes)
Game names:  @answer @middle @nogames @l0 @split @close-after-header @close-mid-body @all-ones
             @over-max @at-max @overrun @games-last @never and @stall (type = ms to hold before closing;
             @stall sends the first 128 KiB of a 16 MiB answer)
             @delay:TEXT (type = ms before answering TEXT) @count:MARK
             @long (type = answer length, by default the longest a 16 MiB body holds)
             @keepalive (the timer of the client's socket, "KIND DUE", from /proc/net/tcp)
             @bad-long (type = ms to hold: 4 MiB of small items, then an item that runs past the body's
             end, and the rest of the declared 16 MiB body never sent)
"""

import errno
import os
import socket
import struct
import subprocess
import sys
import threading
import time

# ORVANE_TIME_SCALE (a whole number, 1 when unset) stretches how long a peer waits for a port or a
# client, where programs run several times slower than those waits were sized for; the holds and
# delays a test asks for are its scenario, and stay as asked.
TIME_SCALE = max(1, int(os.environ.get("ORVANE_TIME_SCALE") or 1))
HOST = "127.0.0.1"
TIPS_PORT = 6667
GAME_PORT = 13390
MAX_BODY = 16 * 1024 * 1024

lock = threading.Lock()
as_services = False  # --as-services
tips_log = []   # every datagram, as received
game_log = []   # every request (header and body), as received


def count_and_last(log, marker):
    """Requests that hold marker, leaving out the queries that ask about it."""
    queries = (b"@count:", b"@find:", b"@len:", b"@tail:")
    hits = [entry for entry in log if marker in entry and not any(q in entry for q in queries)]
    return len(hits), (hits[-1] if hits else None)


# ---- tips ---------------------------------------------------------------------------------------

TIPS_PREFIX = b"request=tips&pid="


def tips_reply(datagram):
    """The reply to one datagram: (delay in seconds, bytes or None for no reply)."""
    if not datagram.startswith(TIPS_PREFIX + b"@"):
        if as_services and datagram.startswith(TIPS_PREFIX):
            pid, _, cid = datagram[len(TIPS_PREFIX):].rstrip(b"\0").partition(b"&cid=")
            return 0, b"T-" + pid + b"-" + cid
        return 0, datagram.hex().encode()
    directive = datagram[len(TIPS_PREFIX):].split(b"&cid=", 1)[0].decode("latin-1")
    verb, _, rest = directive.partition(":")
    if verb == "@hex":
        return 0, bytes.fromhex(rest)
    if verb == "@size":
        n = int(rest)
        return 0, (b"0123456789" * (n // 10 + 1))[:n]
    if verb == "@empty":
        return 0, b""
    if verb == "@silent":
        return 0, None
    if verb == "@delay":
        ms, _, text = rest.partition(":")
        return int(ms) / 1000.0, text.encode()
    if verb in ("@count", "@find", "@len", "@tail"):
        with lock:
            count, last = count_and_last(tips_log, rest.encode())
        if verb == "@count":
            return 0, str(count).encode()
        if last is None:
            return 0, b"none"
        if verb == "@len":
            return 0, str(len(last)).encode()
        return 0, (last if verb == "@find" else last[-8:]).hex().encode()
    return 0, b"unknown directive " + directive.encode()


def serve_tips(sock):
    while True:
        datagram, sender = sock.recvfrom(65536)
        with lock:
            tips_log.append(datagram)
        delay, reply = tips_reply(datagram)
        if reply is None:
            continue

        def send(reply=reply, sender=sender, delay=delay):
            time.sleep(delay)
            sock.sendto(reply, sender)

        threading.Thread(target=send, daemon=True).start()


# ---- game platform ------------------------------------------------------------------------------

def item(data):
    return struct.pack(">I", len(data)) + data


def items(*values):
    return b"".join(item(v) for v in values)


def header(length):
    return b"\xAA" * 12 + struct.pack(">I", length)  # words 0 to 2 are not examined by the client


def receive_exactly(conn, n):
    data = b""
    while len(data) < n:
        chunk = conn.recv(n - len(data))
        if not chunk:
            raise ConnectionError("request cut short")
        data += chunk
    return data


def parse_items(body):
    values, p = [], 0
    while p + 4 <= len(body):
        (k,) = struct.unpack(">I", body[p:p + 4])
        values.append(body[p + 4:p + 4 + k])
        p += 4 + k
    return values


def tcp_timer(address):
    """The timer running on the TCP socket of this network namespace bound to address and connected to
    the game port, as "KIND DUE" from /proc/net/tcp: kind 2 is keep-alive, due in hundredths of a second."""
    host, port = address
    local = "%s:%04X" % (socket.inet_aton(host)[::-1].hex().upper(), port)
    with open("/proc/net/tcp") as table:
        for line in table.readlines()[1:]:
            fields = line.split()
            if fields[1] == local and fields[2].endswith(":%04X" % GAME_PORT):
                kind, due = fields[5].split(":")
                return "%d %d" % (int(kind, 16), int(due, 16))
    return "none"


long_bodies = {}


def long_body(n):
    with lock:
        if n not in long_bodies:
            long_bodies[n] = items(b"games", b"a" * n)
        return long_bodies[n]


small_items_made = {}


def small_items(size):
    """About size bytes of 12-byte items."""
    with lock:
        if size not in small_items_made:
            small_items_made[size] = item(b"12345678") * (size // 12)
        return small_items_made[size]


def hold(conn, seconds):
    """Keeps the connection open until the client closes it or the time is up."""
    conn.settimeout(seconds)
    try:
        while conn.recv(4096):
            pass
    except (socket.timeout, OSError):
        pass


def game_exchange(conn):
    head = receive_exactly(conn, 16)
    (length,) = struct.unpack(">I", head[12:16])
    body = receive_exactly(conn, length)
    request = head + body
    with lock:
        game_log.append(request)
    values = parse_items(body)
    name = values[1] if len(values) > 1 else b""
    kind = values[3] if len(values) > 3 else b""

    def reply(payload):
        conn.sendall(header(len(payload)) + payload)

    if not name.startswith(b"@"):
        if as_services:
            reply(items(b"games", b"Harbor Kings, Tolu Racing (" + name + b", " + kind + b")"))
        else:
            reply(items(b"games", request.hex().encode()))
        return
    verb, _, rest = name.decode("latin-1").partition(":")
    if verb == "@answer":
        reply(bytes.fromhex("0000000567616d657300000003313233"))
    elif verb == "@middle":
        reply(items(b"abc", b"games", b"ok"))
    elif verb == "@nogames":
        reply(items(b"abc", b"Games", b"x", b"games ", b"y"))
    elif verb == "@l0":
        reply(b"")
    elif verb == "@split":
        whole = header(len(items(b"games", b"split-ok"))) + items(b"games", b"split-ok")
        for piece in (whole[:7], whole[7:16], whole[16:21], whole[21:]):
            conn.sendall(piece)
            time.sleep(0.2)
    elif verb == "@close-after-header":
        conn.sendall(header(20))
    elif verb == "@close-mid-body":
        payload = items(b"games", b"never-whole")
        conn.sendall(header(len(payload)) + payload[:9])
    elif verb == "@all-ones":
        conn.sendall(b"\x00" * 12 + b"\xFF\xFF\xFF\xFF" + items(b"games", b"bad"))
        hold(conn, 5 * TIME_SCALE)
    elif verb == "@over-max":
        # A whole, well-formed body one byte over the bound: a client that read it would find an answer.
        payload = items(b"games", b"too-big")
        conn.sendall(header(MAX_BODY + 1))
        try:
            conn.sendall(payload + b"\x00" * (MAX_BODY + 1 - len(payload)))
        except OSError:
            pass
        hold(conn, 20 * TIME_SCALE)
    elif verb == "@at-max":
        tail = items(b"games", b"at-max")
        padding = item(b"p" * (MAX_BODY - len(tail) - 4))
        reply(padding + tail)
    elif verb == "@stall":
        # A long reply declared whose answer is declared long too, its first 128 KiB sent, then
        # nothing until the hold ends (type = ms).
        answer_length = MAX_BODY - len(item(b"games")) - 4
        conn.sendall(header(MAX_BODY) + item(b"games") + struct.pack(">I", answer_length) + b"a" * (128 * 1024))
        hold(conn, int(kind or b"0") / 1000.0)
    elif verb == "@long":
        # An answer of type bytes, by default the longest a 16 MiB body holds, sent as fast as it is read.
        # Tens of them at once share one body.
        payload = long_body(int(kind) if kind else MAX_BODY - len(item(b"games")) - 4)
        conn.sendall(header(len(payload)))
        conn.sendall(payload)
    elif verb == "@keepalive":
        # The client's side of this connection as the system shows it, once the request is acknowledged.
        time.sleep(0.3)
        reply(items(b"games", tcp_timer(conn.getpeername()).encode()))
    elif verb == "@bad-long":
        conn.sendall(header(MAX_BODY) + small_items(4 * 1024 * 1024) + struct.pack(">I", MAX_BODY) + b"x" * 1024)
        hold(conn, int(kind or b"0") / 1000.0)
    elif verb == "@huge":
        conn.sendall(header(0x7FFFFFF0))
        hold(conn, 20 * TIME_SCALE)
    elif verb == "@overrun":
        reply(items(b"games") + struct.pack(">I", 50) + b"abc")
    elif verb == "@games-last":
        reply(items(b"abc", b"games"))
    elif verb == "@never":
        hold(conn, int(kind or b"0") / 1000.0)
    elif verb == "@delay":
        time.sleep(int(kind or b"0") / 1000.0)
        reply(items(b"games", rest.encode()))
    elif verb == "@count":
        with lock:
            count, _ = count_and_last(game_log, rest.encode())
        reply(items(b"games", str(count).encode()))
    else:
        reply(items(b"games", b"unknown directive"))


def serve_game(server):
    while True:
        conn, _ = server.accept()

        def run(conn=conn):
            with conn:
                try:
                    game_exchange(conn)
                except OSError:
                    pass

        threading.Thread(target=run, daemon=True).start()


def bind_when_free(sock, address, seconds=30):
    """Another run of the peers (a test that just ended, a second checkout) may still hold the fixed
    port for a moment; wait for it, within a bound, instead of failing the test outright."""
    deadline = time.monotonic() + seconds * TIME_SCALE
    while True:
        try:
            sock.bind(address)
            return
        except OSError as error:
            if error.errno != errno.EADDRINUSE or time.monotonic() >= deadline:
                raise
            time.sleep(0.25)


def main():
    argv = sys.argv[1:]
    # Only the options before "--" are the peers'; what follows is the command's own.
    if "--help" in (argv[:argv.index("--")] if "--" in argv else argv):
        print(__doc__)
        return 0
    if "--" not in argv:
        print(__doc__, file=sys.stderr)
        return 2
    split = argv.index("--")
    options, command = argv[:split], argv[split + 1:]
    global as_services
    as_services = "--as-services" in options
    if "--tips" in options:
        tips = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        bind_when_free(tips, (HOST, TIPS_PORT))
        threading.Thread(target=serve_tips, args=(tips,), daemon=True).start()
    if "--game" in options:
        game = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        game.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        bind_when_free(game, (HOST, GAME_PORT))
        # Room for every connection a test opens at once (2000 stalled replies), as far as the
        # kernel's somaxconn allows (4096 by default): where this process accepts slowly, a full
        # queue holds handshakes back, and past the kernel's retries resets them, which no test asks for.
        game.listen(4096)
        threading.Thread(target=serve_game, args=(game,), daemon=True).start()
    sys.stdout.flush()
    return subprocess.call(command)


if __name__ == "__main__":
    sys.exit(main())
