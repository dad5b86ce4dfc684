#!/usr/bin/env python3
"""A loopback HTTP server that a test controls, wrapped around the test's command.

    http_peer.py --log FILE -- COMMAND [ARG...]
    http_peer.py --help                           (this text)

Binds 127.0.0.1 on a port the system picks, replaces "{port}" in the command's arguments with it,
runs the command and exits with its status. Every request and every end of a connection is appended
to FILE as one line, so the test can see what reached the server and when the client let go:

    request TARGET       the request line arrived (TARGET exactly as sent)
    answered TARGET      the whole response goes out (written just before it is sent)
    closed TARGET        the client closed the connection after the response

Paths: /now...          answers at once
       /delay/MS...     answers after MS milliseconds (at most 20000)
       /never...        never answers; the connection is held until the client gives up or the
                        command ends
       /stream/MS[/N]   a body of zero bytes without a length, sent as fast as the client takes it
                        for MS milliseconds (at most 60000; 0: 60000), or until N bytes went out;
                        then the server closes and logs "streamed TARGET BYTES"
Other responses carry "Connection: close" and a Content-Length, and the server never closes first,
so "closed" means the client read the answer and released its connection.
"""
import os
import socket
import subprocess
import sys
import threading
import time

BODY = b"orvane-peer\n"
# ORVANE_TIME_SCALE (a whole number, 1 when unset) stretches how long a peer waits for a port or a
# client, where programs run several times slower than those waits were sized for; the holds and
# delays a test asks for are its scenario, and stay as asked.
TIME_SCALE = max(1, int(os.environ.get("ORVANE_TIME_SCALE") or 1))
HOLD_LIMIT_S = 30.0 * TIME_SCALE


def log_line(path, lock, text):
    with lock:
        with open(path, "a", encoding="utf-8") as log:
            log.write(text + "\n")


def serve(conn, log_path, lock, stop):
    conn.settimeout(HOLD_LIMIT_S)
    try:
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = conn.recv(4096)
            if not chunk:
                return
            data += chunk
        line = data.split(b"\r\n", 1)[0].decode("latin-1")
        parts = line.split(" ")
        target = parts[1] if len(parts) >= 2 else ""
        log_line(log_path, lock, "request " + target)
        if target.startswith("/never"):
            stop.wait(HOLD_LIMIT_S)
            return
        if target.startswith("/stream/"):
            # /stream/MS or /stream/MS/BYTES: whichever ends first, MS 0 meaning no limit but the peer's
            # own minute (stretched), which only keeps a forgotten stream from running for good.
            fields = target[len("/stream/"):].split("/")
            numbers = ["".join(c for c in field if c.isdigit()) or "0" for field in fields[:2]]
            ms = min(int(numbers[0]), 60000)
            limit = int(numbers[1]) if len(numbers) > 1 and int(numbers[1]) > 0 else None
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                         b"Connection: close\r\n\r\n")
            chunk = b"\0" * 65536
            sent = 0
            end = time.monotonic() + (ms / 1000.0 if ms else 60.0 * TIME_SCALE)
            while time.monotonic() < end and not stop.is_set() and (limit is None or sent < limit):
                piece = chunk if limit is None else chunk[:min(len(chunk), limit - sent)]
                conn.sendall(piece)
                sent += len(piece)
            log_line(log_path, lock, "streamed %s %d" % (target, sent))
            return
        if target.startswith("/delay/"):
            digits = "".join(c for c in target[len("/delay/"):] if c.isdigit())
            stop.wait(min(int(digits or "0"), 20000) / 1000.0)
        # Written first: a client that has the response finds the line, however soon it looks.
        log_line(log_path, lock, "answered " + target)
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: %d\r\n"
                     b"Connection: close\r\n\r\n" % len(BODY) + BODY)
        while True:
            chunk = conn.recv(4096)
            if not chunk:
                log_line(log_path, lock, "closed " + target)
                return
    except OSError:
        return
    finally:
        conn.close()


def main():
    args = sys.argv[1:]
    if args[:1] == ["--help"]:
        sys.stdout.write(__doc__)
        return 0
    if len(args) < 4 or args[0] != "--log" or args[2] != "--":
        sys.stderr.write(__doc__)
        return 64
    log_path, command = args[1], args[3:]
    open(log_path, "w").close()
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    port = listener.getsockname()[1]
    lock = threading.Lock()
    stop = threading.Event()

    def accept_loop():
        while not stop.is_set():
            try:
                conn, _ = listener.accept()
            except OSError:
                return
            threading.Thread(target=serve, args=(conn, log_path, lock, stop), daemon=True).start()

    threading.Thread(target=accept_loop, daemon=True).start()
    # A proxy from the environment would take loopback requests elsewhere.
    env = {k: v for k, v in os.environ.items() if not k.lower().endswith("_proxy")}
    status = subprocess.call([a.replace("{port}", str(port)) for a in command], env=env)
    stop.set()
    listener.close()
    time.sleep(0.05)
    return status


if __name__ == "__main__":
    sys.exit(main())
