#!/usr/bin/env python3
"""Loopback peers that keep requests in flight, for the in-flight test and benchmark.

    inflight_peers.py [--hold-ms MS] -- COMMAND [ARG...]
    inflight_peers.py --help                      (this text)

Binds 127.0.0.1 on the services' fixed ports and runs COMMAND. The tips peer reads every datagram and
never answers. The game-platform peer accepts every connection at once, reads what comes, and closes
each connection MS milliseconds (default 5000) after it was accepted, without sending a byte. One
thread serves both, so ten thousand connections cost it no more than a few.
"""
import os
import selectors
import socket
import subprocess
import sys
import threading
import time

# ORVANE_TIME_SCALE (a whole number, 1 when unset) stretches how long a peer waits for a port or a
# client, where programs run several times slower than those waits were sized for; the holds and
# delays a test asks for are its scenario, and stay as asked.
TIME_SCALE = max(1, int(os.environ.get("ORVANE_TIME_SCALE") or 1))
HOST = "127.0.0.1"


def bind_when_free(sock, address, seconds=30):
    deadline = time.monotonic() + seconds * TIME_SCALE
    while True:
        try:
            sock.bind(address)
            return
        except OSError:
            if time.monotonic() >= deadline:
                raise
            time.sleep(0.25)


def serve(tips, game, hold_s, stop):
    sel = selectors.DefaultSelector()
    sel.register(tips, selectors.EVENT_READ, "tips")
    sel.register(game, selectors.EVENT_READ, "listen")
    closing = []  # (deadline, connection), in order of acceptance
    while not stop.is_set():
        now = time.monotonic()
        while closing and closing[0][0] <= now:
            _, conn = closing.pop(0)
            try:
                sel.unregister(conn)
            except (KeyError, ValueError):
                pass
            conn.close()
        timeout = max(0.0, closing[0][0] - now) if closing else 0.2
        for key, _ in sel.select(min(timeout, 0.2)):
            if key.data == "tips":
                try:
                    tips.recvfrom(65536)
                except OSError:
                    pass
            elif key.data == "listen":
                for _ in range(256):
                    try:
                        conn, _ = game.accept()
                    except BlockingIOError:
                        break
                    conn.setblocking(False)
                    sel.register(conn, selectors.EVENT_READ, "conn")
                    closing.append((time.monotonic() + hold_s, conn))
            else:
                try:
                    if not key.fileobj.recv(65536):
                        sel.unregister(key.fileobj)
                except OSError:
                    sel.unregister(key.fileobj)


def main():
    args = sys.argv[1:]
    if args[:1] == ["--help"]:
        sys.stdout.write(__doc__)
        return 0
    hold_ms = 5000
    if args[:1] == ["--hold-ms"]:
        hold_ms = int(args[1])
        args = args[2:]
    if args[:1] != ["--"] or len(args) < 2:
        sys.stderr.write(__doc__)
        return 2
    tips = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    tips.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
    bind_when_free(tips, (HOST, 6667))
    tips.setblocking(False)
    game = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    game.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    bind_when_free(game, (HOST, 13390))
    game.listen(4096)
    game.setblocking(False)
    stop = threading.Event()
    thread = threading.Thread(target=serve, args=(tips, game, hold_ms / 1000.0, stop), daemon=True)
    thread.start()
    status = subprocess.call(args[1:])
    stop.set()
    return status


if __name__ == "__main__":
    sys.exit(main())
