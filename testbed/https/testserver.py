#!/usr/bin/env python3
"""Local HTTP and HTTPS test server (standard library only, loopback only, never shipped).

  testserver.py start STATE_DIR CERT_DIR   starts in the background on free ports of 127.0.0.1,
                                           writes STATE_DIR/ports ("http=N", "https=N",
                                           "other=N", a second plain port: another origin, and
                                           "slowtls=N", the HTTPS server behind a relay that
                                           passes the server's bytes on one every 500 ms)
  testserver.py stop STATE_DIR             ends it
  testserver.py serve STATE_DIR CERT_DIR   runs in the foreground

Every request, whatever its method (any token) and path, is appended to STATE_DIR/requests.log
before it is answered, as one line of tab-separated fields: method, path, Content-Type header
("-" when absent), "tls" or "plain", the body in hex, the port it came to, the client's port (a
new one means a new connection) and the request's Connection header ("-" when absent). An answer
after which the connection ends (a request asking so among them) says "Connection: close". Paths:
  /status/<code>[?body=<text>]   that status, with the text as body (none for 204 and 304)
  /bytes?size=<n>                200 with n bytes: every 97th is NUL, the others printable
  /text?body=<text>              200 with that text
  /failfirst?n=<n>&key=<k>[&how=alternate|garbage]
                                 the first n requests with that key fail (status 202; 202 and
                                 203 in turn; or a reply that is no HTTP), then 200
                                 "answered after <n>"
  /delay?ms=<n>                  200 after n milliseconds
  /echo                          200 with the request body
  /silent?s=<n>                  reads the request, answers nothing for n seconds (at most 30),
                                 then closes the connection
  /drip?n=<n>&ms=<m>             200 with a body of n bytes (at most 600), one byte every m
                                 milliseconds; stops when the client goes
  /redirect?to=<url>             302 to that URL
  /driphead?ms=<m>               200 "ok", its status line and headers one byte every m ms
  /cutoff?announce=<n>&send=<m>  200 announcing n bytes, m of them sent, then the connection is
                                 reset
  /peer                          200 with the client's port: a new one means a new connection
"""
import os, signal, socket, ssl, struct, sys, threading, time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import urlsplit, parse_qs

STATE = None
LOCK = threading.Lock()
COUNTS = {}


def pattern(size):
    return bytes(0 if i % 97 == 0 else 32 + i % 95 for i in range(size))


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # Headers and body go out in separate writes: with Nagle's algorithm the body would wait
    # for the client's delayed acknowledgement (about 40 ms a request).
    disable_nagle_algorithm = True

    def log_message(self, *args):
        pass

    def handle_any(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        parts = urlsplit(self.path)
        query = {k: v[0] for k, v in parse_qs(parts.query, keep_blank_values=True).items()}
        record = [self.command, self.path, self.headers.get("Content-Type", "-"),
                  "tls" if isinstance(self.connection, ssl.SSLSocket) else "plain", body.hex(),
                  str(self.server.server_address[1]), str(self.client_address[1]),
                  self.headers.get("Connection", "-")]
        with LOCK:
            with open(os.path.join(STATE, "requests.log"), "a") as log:
                log.write("\t".join(record) + "\n")
        path = parts.path
        if path.startswith("/status/"):
            code = int(path[len("/status/"):])
            self.reply(code, b"" if code in (204, 304) else query.get("body", "").encode("latin-1"))
        elif path == "/bytes":
            self.reply(200, pattern(int(query.get("size", "0"))))
        elif path == "/text":
            self.reply(200, query.get("body", "").encode("latin-1"))
        elif path == "/failfirst":
            key = query.get("key", "")
            with LOCK:
                COUNTS[key] = COUNTS.get(key, 0) + 1
                seen = COUNTS[key]
            failures = int(query.get("n", "0"))
            if seen <= failures:
                if query.get("how") == "alternate":
                    self.reply(202 if seen % 2 else 203, b"not yet")
                    return
                if query.get("how") == "garbage":
                    self.wfile.write(b"this is no HTTP\r\n\r\n")
                    self.close_connection = True
                    return
                self.reply(202, b"not yet")
            else:
                self.reply(200, ("answered after %d" % failures).encode())
        elif path == "/delay":
            time.sleep(int(query.get("ms", "0")) / 1000.0)
            self.reply(200, b"late")
        elif path == "/echo":
            self.reply(200, body)
        elif path == "/silent":
            time.sleep(min(float(query.get("s", "0")), 30.0))
            self.close_connection = True
        elif path == "/drip":
            size = min(int(query.get("n", "0")), 600)
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(size))
            self.end_headers()
            try:
                for _ in range(size):
                    self.wfile.write(b"d")
                    self.wfile.flush()
                    time.sleep(int(query.get("ms", "1000")) / 1000.0)
            except (BrokenPipeError, ConnectionResetError):
                pass
            self.close_connection = True
        elif path == "/driphead":
            head = b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 2\r\n\r\n"
            try:
                for i in range(len(head)):
                    self.wfile.write(head[i:i + 1])
                    self.wfile.flush()
                    time.sleep(int(query.get("ms", "500")) / 1000.0)
                self.wfile.write(b"ok")
            except (BrokenPipeError, ConnectionResetError):
                pass
            self.close_connection = True
        elif path == "/cutoff":
            # Fewer bytes than the framing promises: a Content-Length (its text as given), or a
            # chunked body that ends before its last (empty) chunk; then a reset, or with
            # how=fin an orderly end.
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            data = pattern(int(query.get("send", "10")))
            if "chunked" in query:
                self.send_header("Transfer-Encoding", "chunked")
                self.end_headers()
                self.wfile.write(b"%x\r\n" % len(data) + data + b"\r\n")
            else:
                self.send_header("Content-Length", query.get("announce", "100000"))
                self.end_headers()
                self.wfile.write(data)
            self.wfile.flush()
            if query.get("how") != "fin":
                # The client learns nothing of the missing bytes.
                self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.connection.close()
            self.close_connection = True
        elif path == "/keepopen":
            # A server that ignores the request's "Connection: close": it answers without saying
            # it closes, and keeps the connection for another request.
            self.close_connection = False
            self.reply(200, str(self.client_address[1]).encode())
        elif path == "/peer":
            self.reply(200, str(self.client_address[1]).encode())
        elif path == "/redirect":
            self.send_response(302)
            self.send_header("Location", query.get("to", "/"))
            self.send_header("Content-Length", "0")
            self.end_headers()
        else:
            self.reply(404, b"no such test path")

    def end_headers(self):
        # A connection that ends after this answer says so, as servers do: the client must not
        # keep it for a later request and meet it closed (a POST is not sent again then).
        if self.close_connection:
            self.send_header("Connection", "close")
        super().end_headers()

    def reply(self, code, body):
        self.send_response(code)
        if code not in (204, 304):
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if code not in (204, 304):
            self.wfile.write(body)

    do_GET = do_POST = do_PUT = do_DELETE = do_HEAD = handle_any

    def __getattr__(self, name):
        # Any other method token is answered the same way.
        if name.startswith("do_"):
            return self.handle_any
        raise AttributeError(name)


def relay_slowly(client, target_port):
    """Passes the client's bytes on at once and the server's one every 500 ms."""
    try:
        server = socket.create_connection(("127.0.0.1", target_port))
    except OSError:
        client.close()
        return

    def upstream():
        try:
            while True:
                data = client.recv(4096)
                if not data:
                    break
                server.sendall(data)
        except OSError:
            pass
        # The client went: so does the server's side, which ends the dripping below.
        try:
            server.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    threading.Thread(target=upstream, daemon=True).start()
    try:
        while True:
            byte = server.recv(1)
            if not byte:
                break
            client.sendall(byte)
            time.sleep(0.5)
    except OSError:
        pass
    for s in (client, server):
        try:
            s.close()
        except OSError:
            pass


def serve_slow_relay(listener, target_port):
    while True:
        client, _ = listener.accept()
        threading.Thread(target=relay_slowly, args=(client, target_port), daemon=True).start()


def serve(state, certs):
    global STATE
    STATE = state
    os.makedirs(state, exist_ok=True)
    plain = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    secure = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    other = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(os.path.join(certs, "server.pem"), os.path.join(certs, "server.key"))
    # The handshake in each connection's own thread: a client that drips it must not hold the
    # accepting thread (and every other client) meanwhile.
    secure.socket = context.wrap_socket(secure.socket, server_side=True, do_handshake_on_connect=False)
    for server in (plain, secure, other):
        server.daemon_threads = True
        threading.Thread(target=server.serve_forever, daemon=True).start()
    slow = socket.socket()
    slow.bind(("127.0.0.1", 0))
    slow.listen(8)
    threading.Thread(target=serve_slow_relay, args=(slow, secure.server_address[1]), daemon=True).start()
    with open(os.path.join(state, "ports.tmp"), "w") as f:
        f.write("http=%d\nhttps=%d\nother=%d\nslowtls=%d\n" % (plain.server_address[1], secure.server_address[1],
                                                               other.server_address[1], slow.getsockname()[1]))
    os.replace(os.path.join(state, "ports.tmp"), os.path.join(state, "ports"))
    signal.signal(signal.SIGTERM, lambda *a: sys.exit(0))
    while True:
        time.sleep(3600)


def start(state, certs):
    os.makedirs(state, exist_ok=True)
    for name in ("ports", "requests.log"):
        try:
            os.remove(os.path.join(state, name))
        except FileNotFoundError:
            pass
    pid = os.fork()
    if pid == 0:
        os.setsid()
        devnull = os.open(os.devnull, os.O_RDWR)
        for fd in (0, 1, 2):
            os.dup2(devnull, fd)
        serve(state, certs)
        os._exit(0)
    with open(os.path.join(state, "pid"), "w") as f:
        f.write(str(pid))
    deadline = time.time() + 20
    while not os.path.exists(os.path.join(state, "ports")):
        if time.time() > deadline:
            sys.exit("testserver: did not start")
        time.sleep(0.05)


def stop(state):
    try:
        with open(os.path.join(state, "pid")) as f:
            os.kill(int(f.read()), signal.SIGTERM)
    except (FileNotFoundError, ProcessLookupError, ValueError):
        pass


if __name__ == "__main__":
    command = sys.argv[1] if len(sys.argv) > 1 else ""
    if command == "start" and len(sys.argv) == 4:
        start(sys.argv[2], sys.argv[3])
    elif command == "serve" and len(sys.argv) == 4:
        serve(sys.argv[2], sys.argv[3])
    elif command == "stop" and len(sys.argv) == 3:
        stop(sys.argv[2])
    else:
        sys.exit(__doc__)
