#!/usr/bin/python3
"""Local HTTPS test server on 127.0.0.1: answers what the test queued, keeps every request.
Usage: /usr/bin/python3 https_test_server.py DIR [--cert=good|wrong-host]
DIR/ca.pem: the test CA; "good" is issued by it for 127.0.0.1, "wrong-host" for wrong.example.
DIR/port: written once the server listens. DIR/answer.N: queued answers, taken (and removed)
in order of N; DIR/answer answers the rest. First line: what follows "HTTP/1.1 " ("302 Found",
"302"), or "hang"; then the body. DIR/request.N: request N (from 1) as received: "METHOD
PATH\r\n", header lines, "\r\n", body."""
import contextlib
import http.server
import io
import itertools
import os
import signal
import ssl
import subprocess
import sys
import threading
import time

d = sys.argv[1]
names = "DNS:wrong.example" if sys.argv[2:] == ["--cert=wrong-host"] else "IP:127.0.0.1,DNS:localhost"
for args in (["-keyout", "ca.key", "-out", "ca.pem", "-subj", "/CN=vtclient test CA", "-addext",
              "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign"],
             ["-keyout", "leaf.key", "-out", "leaf.pem", "-subj", "/CN=test server", "-CA", "ca.pem", "-CAkey", "ca.key",
              "-addext", "subjectAltName=" + names, "-addext", "basicConstraints=CA:FALSE",
              "-addext", "extendedKeyUsage=serverAuth"]):
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                    "-days", "3", *args], cwd=d, check=True, capture_output=True)
lock, numbers = threading.Lock(), itertools.count(1)


class Handler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
        with lock:
            record = os.path.join(d, "request.%d" % next(numbers))
            with open(record + ".tmp", "wb") as f:
                lines = "".join(f"{k}: {v}\r\n" for k, v in self.headers.items())
                f.write(f"{self.command} {self.path}\r\n{lines}\r\n".encode("latin-1") + body)
            os.rename(record + ".tmp", record)
            queued = sorted((n for n in os.listdir(d) if n.startswith("answer.")), key=lambda n: int(n[7:]))
            path = os.path.join(d, queued[0] if queued else "answer")
            answer = open(path, "rb") if os.path.exists(path) else io.BytesIO(b"200 OK")
            if queued:
                os.remove(path)
        with answer, contextlib.suppress(OSError):  # the client may hang up
            head = answer.readline().rstrip(b"\n")
            while head == b"hang":
                time.sleep(3600)
            size = answer.seek(0, os.SEEK_END) - answer.seek(len(head) + 1)
            self.wfile.write(b"HTTP/1.1 %s\r\nContent-Length: %d\r\nConnection: close\r\n\r\n" % (head, max(size, 0)))
            self.wfile.write(answer.read())

    do_GET = do_POST

    def log_message(self, *args):
        pass


context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(os.path.join(d, "leaf.pem"), os.path.join(d, "leaf.key"))
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.socket = context.wrap_socket(server.socket, server_side=True)
signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
with open(os.path.join(d, "port.tmp"), "w") as f:
    f.write(str(server.server_address[1]))
os.rename(os.path.join(d, "port.tmp"), os.path.join(d, "port"))
server.serve_forever()
