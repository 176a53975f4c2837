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
  /fault/sent/0               the body bytes sent before this request, in all
  /fault/reset/N              Content-Length N, then half of it and a TCP reset
  /fault/chunkcut/N           chunked, a JSON document of about N/2 bytes, cut off without its end
                              or the last chunk
  /fault/once503/N            the first request of this path and query: 503; later ones: bytes
  /fault/cutonce/N            the first request of this path and query: short; later ones: bytes
  /fault/resetonce/N          the first request of this path and query: half, a pause, then a
                              TCP reset; later ones: bytes
/fault/bytes, /fault/cutonce, /fault/resetonce and served files honour "Range: bytes=N-" (206, or 416 past the end).
A served file F stalls like /fault/hang while a file F.hang exists beside it, and answers as
GitHub does once a network's requests are used up (403, x-ratelimit-remaining 0) while a file
F.ratelimit exists: its content is the epoch second of x-ratelimit-reset. While F.stall exists,
F's answer stops half way and hangs; while F.norange exists, F's answer ignores Range. While
F.status exists, F answers with the status it holds, and a Retry-After of the second number
if there is one ("429 3600"). While
F.tls exists, F answers 302 to the same path over HTTPS on the next port, where the same files
are served with a throwaway certificate for 127.0.0.1 (ROOT/tls/cert.der, for the tests to
trust).
While a file "faults" exists in the root, the first request of every served path outside git/
meets the fault it names: "chunked-cut" (documents are sent chunked, as GitHub's API does, and
the first answer stops half way without its last chunk), "reset" (half, then a TCP reset),
"503" (status 503), "half" (archives only: half of the Content-Length, then the connection
closes). Writing another fault, or the same again, starts over.
The git repository under git/ is served over smart HTTP, as GitHub serves it, through git's own
`git http-backend`. The faults file may also say what happens to the answers that carry a pack
(a fetch's, a clone's): "git-stall" (every one stops after its first bytes and hangs),
"git-stall-once" (the first one does), "git-cut" (every one closes half way) or "git-slow" (each
comes at about 1 MB/s).

The services listen on 127.0.0.1 (the tests' own requests) and on --services (the address
setup.exe's endpoints name). /fault/direct/0 stops the latter, so that nothing listens there,
and /fault/direct/1 starts it again. On --proxy-port a proxy passes requests on to the
services: CONNECT host:port is tunnelled to this machine's port, an absolute URL is answered
as the services would answer its path, and /proxy.pac is a PAC file that names the proxy.
While a file "proxy-signin" exists in the root the proxy answers 407 instead. /fault/passed/0
lists what it passed, a line each ("CONNECT 127.0.0.3:18790", "GET http://...").
Standard library only. Loopback only. Ends on SIGTERM.
"""
import argparse
import gzip
import http.server
import os
import re
import signal
import socket
import ssl
import struct
import subprocess
import sys
import threading
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
    tls_port = 0
    over_tls = False
    served = 0
    paths = []
    sent = 0
    lock = threading.Lock()
    # The paths whose first request met the fault, and the fault they met.
    faulted = set()
    fault_text = None

    def log_message(self, *args):
        pass

    def hang(self):
        time.sleep(HANG_SECONDS)
        self.close_connection = True

    def write(self, data):
        self.wfile.write(data)
        with Handler.lock:
            Handler.sent += len(data)

    def send_pattern(self, total, pace=0.0, offset=0):
        sent = 0
        while sent < total:
            size = min(65536, total - sent)
            self.write(pattern(offset + sent, size))
            sent += size
            if pace:
                time.sleep(pace)

    def empty(self, status, headers=()):
        """An answer without a body."""
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def reset(self):
        """Ends the connection with a TCP reset instead of a close."""
        self.wfile.flush()
        self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.connection.close()
        self.close_connection = True

    def range_start(self):
        """The N of "Range: bytes=N-", or None."""
        match = re.fullmatch(r"bytes=(\d+)-", self.headers.get("Range", "").strip())
        return int(match.group(1)) if match else None

    def first_time(self, key):
        with Handler.lock:
            if key in Handler.faulted:
                return False
            Handler.faulted.add(key)
            return True

    def send_ranged(self, size, send_body, ignore_range=False):
        """Answers with all of a body of size bytes, or the range asked for. send_body(offset,
        length) writes that part of it."""
        start = None if ignore_range else self.range_start()
        if start is not None and start >= size:
            self.empty(416, [("Content-Range", "bytes */%d" % size)])
            return
        if start is None:
            self.send_response(200)
            self.send_header("Content-Length", str(size))
            self.end_headers()
            send_body(0, size)
            return
        self.send_response(206)
        self.send_header("Content-Range", "bytes %d-%d/%d" % (start, size - 1, size))
        self.send_header("Content-Length", str(size - start))
        self.end_headers()
        send_body(start, size - start)

    def do_POST(self):
        self.do_GET()

    def git_body(self):
        """The request's body, gzip undone. git's requests here are small: it sends them with a
        length (chunked only past its 1 MiB http.postBuffer)."""
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        if self.headers.get("Content-Encoding", "") in ("gzip", "x-gzip"):
            body = gzip.decompress(body)
        return body

    def git_backend(self, relative, query):
        body = self.git_body() if self.command == "POST" else b""
        if os.path.exists(os.path.join(self.root, relative) + ".hang"):
            self.hang()
            return
        env = dict(os.environ, GIT_PROJECT_ROOT=os.path.join(self.root, "git"),
                   GIT_HTTP_EXPORT_ALL="1", PATH_INFO="/" + relative.split("/", 1)[1],
                   QUERY_STRING=query, REQUEST_METHOD=self.command, REMOTE_ADDR="127.0.0.1",
                   CONTENT_TYPE=self.headers.get("Content-Type", ""),
                   CONTENT_LENGTH=str(len(body)))
        if self.headers.get("Git-Protocol"):
            env["GIT_PROTOCOL"] = self.headers["Git-Protocol"]
        answer = subprocess.run(["git", "http-backend"], input=body, env=env,
                                capture_output=True).stdout
        head, _, payload = answer.partition(b"\r\n\r\n")
        status = 200
        headers = []
        for line in head.decode("latin-1").split("\r\n"):
            name, _, value = line.partition(": ")
            if name.lower() == "status":
                status = int(value.split()[0])
            elif name:
                headers.append((name, value))
        fault = None
        if b"want " in body:  # the answer carries a pack: /fault/paths/0 says so
            with Handler.lock:
                Handler.paths.append(self.path + " (pack)")
            fault = self.git_fault()
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(payload)))
        self.end_headers()
        if fault in ("git-stall", "git-stall-once"):
            self.write(payload[:16384])
            self.wfile.flush()
            self.hang()
        elif fault == "git-cut":
            self.write(payload[:len(payload) // 2])
            self.close_connection = True
        else:
            for at in range(0, len(payload), 65536):
                self.write(payload[at:at + 65536])
                if fault == "git-slow":
                    self.wfile.flush()
                    time.sleep(0.0625)  # 64 KB at a time: about 1 MB/s

    def git_fault(self):
        """The fault an answer with a pack meets, or None."""
        text = self.faults_text()
        if text == "git-stall-once":
            return text if self.first_time("git-pack") else None
        return text if text in ("git-stall", "git-cut", "git-slow") else None

    def do_GET(self):
        if self.path.startswith("http://"):
            self.path = "/" + self.path.split("/", 3)[3] if self.path.count("/") >= 3 else "/"
        Handler.served += 1
        Handler.paths.append(self.path)
        parts = self.path.split("?")[0].strip("/").split("/")
        try:
            if parts[0] == "git":
                self.git_backend("/".join(parts), self.path.partition("?")[2])
            elif parts[0] == "fault":
                self.fault(parts[1], int(parts[2]))
            else:
                self.file("/".join(parts))
        except (BrokenPipeError, ConnectionResetError):
            pass

    def fault(self, mode, n):
        if mode == "direct":
            Services.switch(n == 1)
            mode, n = "count", 0
        if mode in ("count", "headers", "paths", "sent", "passed"):
            texts = {"count": lambda: str(Handler.served - 1), "headers": lambda: str(self.headers),
                     "paths": lambda: "".join(p + "\n" for p in Handler.paths[:-1]),
                     "sent": lambda: str(Handler.sent),
                     "passed": lambda: "".join(p + "\n" for p in ProxyHandler.passed)}
            body = texts[mode]().encode()
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
        elif mode == "status":
            self.empty(n)
        elif mode == "bytes" or mode in ("cutonce", "resetonce") and not self.first_time(self.path):
            self.send_ranged(n, lambda offset, length: self.send_pattern(length, 0, offset))
        elif mode == "slow":
            self.send_response(200)
            self.send_header("Content-Length", str(n))
            self.end_headers()
            self.send_pattern(n, 0.05)
        elif mode == "once503" and self.first_time(self.path):
            self.fault("status", 503)
        elif mode == "once503":
            self.fault("bytes", n)
        elif mode in ("reset", "resetonce"):
            self.send_response(200)
            self.send_header("Content-Length", str(n))
            self.end_headers()
            self.send_pattern(n // 2)
            if mode == "resetonce":
                # After the client has read it all and waits for more: a read that fails.
                self.wfile.flush()
                time.sleep(0.5)
            self.reset()
        elif mode == "chunkcut":
            self.send_response(200)
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            half = b'{"data":"' + b"x" * (n // 2) + b'",'
            self.write(b"%x\r\n" % len(half) + half + b"\r\n")
            self.close_connection = True
        elif mode == "hang":
            self.hang()
        elif mode == "stall":
            self.send_response(200)
            self.send_header("Content-Length", str(n))
            self.end_headers()
            self.write(pattern(0, n // 2))
            self.wfile.flush()
            self.hang()
        elif mode in ("short", "cutonce"):
            self.send_response(200)
            self.send_header("Content-Length", str(n))
            self.end_headers()
            self.send_pattern(n // 2)
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
            self.empty(302, [("Location", "/fault/bytes/%d" % n)])
        else:
            self.send_error(400)

    def faults_text(self):
        """What the faults file says, or None; a new or rewritten one starts over."""
        faults = os.path.join(self.root, "faults")
        if not os.path.exists(faults):
            return None
        with open(faults) as f:
            text = f.read().strip()
        stamp = (text, os.stat(faults).st_mtime_ns)
        with Handler.lock:
            if stamp != Handler.fault_text:
                Handler.fault_text = stamp
                Handler.faulted = set()
        return text

    def fault_now(self, relative):
        """The fault this request meets, or None."""
        text = self.faults_text()
        if text is None:
            return None
        archive = relative.endswith((".zip", ".nupkg"))
        if text == "half" and not archive or text == "chunked-cut" and archive:
            return None
        if text == "chunked-cut":
            return "chunked-cut" if self.first_time(relative) else "chunked"
        return text if self.first_time(relative) else None

    def file(self, relative):
        path = os.path.realpath(os.path.join(self.root, relative))
        if not path.startswith(os.path.realpath(self.root) + os.sep) or not os.path.isfile(path):
            self.empty(404)
            return
        if not self.over_tls and os.path.exists(path + ".tls"):
            location = "https://127.0.0.1:%d/%s" % (self.tls_port, relative)
            self.empty(302, [("Location", location)])
            return
        if os.path.exists(path + ".hang"):
            self.hang()
            return
        if os.path.exists(path + ".status"):
            with open(path + ".status") as f:
                words = f.read().split()
            self.empty(int(words[0]), [("Retry-After", after) for after in words[1:2]])
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
            self.write(body)
            return
        with open(path, "rb") as f:
            content = f.read()
        fault = self.fault_now(relative)
        if fault == "503":
            self.fault("status", 503)
            return
        if fault in ("chunked", "chunked-cut"):
            self.send_response(200)
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            body = content if fault == "chunked" else content[:len(content) // 2]
            for at in range(0, len(body), 1000):
                piece = body[at:at + 1000]
                self.write(b"%x\r\n" % len(piece) + piece + b"\r\n")
            if fault == "chunked":
                self.write(b"0\r\n\r\n")
            else:
                self.close_connection = True
            return
        stall = os.path.exists(path + ".stall")
        if fault in ("reset", "half") or stall:
            self.send_response(200)
            self.send_header("Content-Length", str(len(content)))
            self.end_headers()
            self.write(content[:len(content) // 2])
            if stall:
                self.wfile.flush()
                self.hang()
            elif fault == "reset":
                self.reset()
            else:
                self.close_connection = True
            return

        def send_body(offset, length):
            for at in range(offset, offset + length, 1 << 20):
                self.write(content[at:min(at + (1 << 20), offset + length)])

        self.send_ranged(len(content), send_body, os.path.exists(path + ".norange"))


class TlsHandler(Handler):
    over_tls = True


class Services:
    """The services on the address setup.exe's endpoints name, which a test can take away."""
    address = None
    server = None
    lock = threading.Lock()

    @classmethod
    def switch(cls, on):
        with cls.lock:
            if on and cls.server is None:
                cls.server = http.server.ThreadingHTTPServer(cls.address, Handler)
                cls.server.daemon_threads = True
                threading.Thread(target=cls.server.serve_forever, daemon=True).start()
            elif not on and cls.server is not None:
                cls.server.shutdown()
                cls.server.server_close()
                cls.server = None


class ProxyHandler(Handler):
    """A company's proxy in front of the services: it passes what it is asked for to them."""
    passed = []
    port = 0

    def refused(self):
        if not os.path.exists(os.path.join(self.root, "proxy-signin")):
            return False
        self.empty(407, [("Proxy-Authenticate", 'Basic realm="corp"')])
        return True

    def do_GET(self):
        if self.path == "/proxy.pac":
            body = b'function FindProxyForURL(url, host) { return "PROXY 127.0.0.1:%d"; }' % self.port
            self.send_response(200)
            self.send_header("Content-Type", "application/x-ns-proxy-autoconfig")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
            return
        if self.refused():
            return
        with Handler.lock:
            ProxyHandler.passed.append("GET " + self.path)
        Handler.do_GET(self)

    def do_POST(self):
        if self.refused():
            return
        with Handler.lock:
            ProxyHandler.passed.append("POST " + self.path)
        Handler.do_GET(self)

    def do_CONNECT(self):
        if self.refused():
            return
        with Handler.lock:
            ProxyHandler.passed.append("CONNECT " + self.path)
        port = int(self.path.rsplit(":", 1)[1])
        try:
            upstream = socket.create_connection(("127.0.0.1", port))
        except OSError:
            self.send_error(502)
            return
        self.send_response(200, "Connection established")
        self.end_headers()
        self.wfile.flush()

        def pipe(source, sink):
            try:
                while True:
                    data = source.recv(65536)
                    if not data:
                        break
                    sink.sendall(data)
            except OSError:
                pass
            finally:
                try:
                    sink.shutdown(socket.SHUT_WR)
                except OSError:
                    pass

        back = threading.Thread(target=pipe, args=(upstream, self.connection), daemon=True)
        back.start()
        pipe(self.connection, upstream)
        back.join()
        upstream.close()
        self.close_connection = True


# A certificate made for this run alone: nothing outside the test prefix ever trusts it.
def serve_tls(root, port):
    folder = os.path.join(root, "tls")
    os.makedirs(folder, exist_ok=True)
    key, pem = os.path.join(folder, "key.pem"), os.path.join(folder, "cert.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                    "-out", pem, "-days", "2", "-subj", "/CN=127.0.0.1",
                    "-addext", "subjectAltName=DNS:127.0.0.1,IP:127.0.0.1"],
                   check=True, capture_output=True)
    subprocess.run(["openssl", "x509", "-in", pem, "-outform", "der",
                    "-out", os.path.join(folder, "cert.der")], check=True)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(pem, key)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", port), TlsHandler)
    server.daemon_threads = True
    server.socket = context.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--root", required=True)
    parser.add_argument("--services", default="127.0.0.3")
    parser.add_argument("--proxy-port", type=int, default=0)
    args = parser.parse_args()
    os.makedirs(args.root, exist_ok=True)
    Handler.root = args.root
    Handler.tls_port = args.port + 1
    serve_tls(args.root, args.port + 1)
    Services.address = (args.services, args.port)
    Services.switch(True)
    if args.proxy_port:
        ProxyHandler.port = args.proxy_port
        proxy = http.server.ThreadingHTTPServer(("127.0.0.1", args.proxy_port), ProxyHandler)
        proxy.daemon_threads = True
        threading.Thread(target=proxy.serve_forever, daemon=True).start()
    server = http.server.ThreadingHTTPServer(("127.0.0.1", args.port), Handler)
    server.daemon_threads = True
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    server.serve_forever()


if __name__ == "__main__":
    main()
