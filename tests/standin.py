#!/usr/bin/env python3
"""Stand-in for GitHub's API, NuGet's flat container and the download hosts, on 127.0.0.1.

Serves the files under --root by path (the tests write the release documents and archives
there), and made-up bodies under /fault/ for the transfer cases:
  /fault/status/CODE          that status, empty body
  /fault/bytes/N              N bytes (byte i is i % 251) with Content-Length
  /fault/short/N              Content-Length N, then half of it and the connection closes
  /fault/noclen/N             N bytes, no Content-Length, ended by closing the connection
  /fault/chunked/N            N bytes in chunked transfer encoding
  /fault/redirect/N           302 to /fault/bytes/N
  /fault/slow/N               N bytes with Content-Length, 64 KB every 50 ms
  /fault/hang/0               the connection is accepted and the request read; no answer
  /fault/stall/N              Content-Length N, then half of it, then nothing more
  /fault/count/0              the number of requests served before this one
  /fault/headers/0            the request's header lines, as they arrived
  /fault/paths/0              the path of every request served before this one, a line each
A served file F stalls like /fault/hang while a file F.hang exists beside it, and answers as
GitHub does once a network's requests are used up (403, x-ratelimit-remaining 0) while a file
F.ratelimit exists: its content is the epoch second of x-ratelimit-reset.
Standard library only. Loopback only. Ends on SIGTERM.
"""
import argparse
import http.server
import os
import signal
import sys
import time

PATTERN = bytes(i % 251 for i in range(251 * 1024))


def pattern(offset, length):
    out = bytearray()
    while length > 0:
        start = offset % 251
        piece = PATTERN[start:start + min(length, len(PATTERN) - start)]
        out += piece
        offset += len(piece)
        length -= len(piece)
    return bytes(out)


# How long a hanging answer waits: longer than any test, shorter than for ever.
HANG_SECONDS = 300


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    root = "."
    served = 0
    paths = []

    def log_message(self, *args):
        pass

    def hang(self):
        time.sleep(HANG_SECONDS)
        self.close_connection = True

    def send_pattern(self, total, pace=0.0):
        sent = 0
        while sent < total:
            size = min(65536, total - sent)
            self.wfile.write(pattern(sent, size))
            sent += size
            if pace:
                time.sleep(pace)

    def do_GET(self):
        Handler.served += 1
        Handler.paths.append(self.path)
        parts = self.path.split("?")[0].strip("/").split("/")
        try:
            if parts[0] == "fault":
                self.fault(parts[1], int(parts[2]))
            else:
                self.file("/".join(parts))
        except (BrokenPipeError, ConnectionResetError):
            pass

    def fault(self, mode, n):
        if mode in ("count", "headers", "paths"):
            texts = {"count": lambda: str(Handler.served - 1), "headers": lambda: str(self.headers),
                     "paths": lambda: "".join(p + "\n" for p in Handler.paths[:-1])}
            body = texts[mode]().encode()
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
        elif mode == "status":
            self.send_response(n)
            self.send_header("Content-Length", "0")
            self.end_headers()
        elif mode in ("bytes", "slow"):
            self.send_response(200)
            self.send_header("Content-Length", str(n))
            self.end_headers()
            self.send_pattern(n, 0.05 if mode == "slow" else 0.0)
        elif mode == "hang":
            self.hang()
        elif mode == "stall":
            self.send_response(200)
            self.send_header("Content-Length", str(n))
            self.end_headers()
            self.wfile.write(pattern(0, n // 2))
            self.wfile.flush()
            self.hang()
        elif mode == "short":
            self.send_response(200)
            self.send_header("Content-Length", str(n))
            self.end_headers()
            self.wfile.write(pattern(0, n // 2))
            self.close_connection = True
        elif mode == "noclen":
            self.send_response(200)
            self.send_header("Connection", "close")
            self.end_headers()
            self.send_pattern(n)
            self.close_connection = True
        elif mode == "chunked":
            self.send_response(200)
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            sent = 0
            while sent < n:
                size = min(1000, n - sent)
                self.wfile.write(b"%x\r\n" % size + pattern(sent, size) + b"\r\n")
                sent += size
            self.wfile.write(b"0\r\n\r\n")
        elif mode == "redirect":
            self.send_response(302)
            self.send_header("Location", "/fault/bytes/%d" % n)
            self.send_header("Content-Length", "0")
            self.end_headers()
        else:
            self.send_error(400)

    def file(self, relative):
        path = os.path.realpath(os.path.join(self.root, relative))
        if not path.startswith(os.path.realpath(self.root) + os.sep) or not os.path.isfile(path):
            self.send_response(404)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        if os.path.exists(path + ".hang"):
            self.hang()
            return
        if os.path.exists(path + ".ratelimit"):
            with open(path + ".ratelimit") as f:
                reset = f.read().strip()
            body = b'{"message":"API rate limit exceeded for 127.0.0.1."}'
            self.send_response(403)
            self.send_header("x-ratelimit-limit", "60")
            self.send_header("x-ratelimit-remaining", "0")
            self.send_header("x-ratelimit-reset", reset)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
            return
        size = os.path.getsize(path)
        self.send_response(200)
        self.send_header("Content-Length", str(size))
        self.end_headers()
        with open(path, "rb") as f:
            while True:
                block = f.read(1 << 20)
                if not block:
                    break
                self.wfile.write(block)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--root", required=True)
    args = parser.parse_args()
    os.makedirs(args.root, exist_ok=True)
    Handler.root = args.root
    server = http.server.ThreadingHTTPServer(("127.0.0.1", args.port), Handler)
    server.daemon_threads = True
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    server.serve_forever()


if __name__ == "__main__":
    main()
