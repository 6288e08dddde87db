#!/usr/bin/python3
"""Local HTTPS test server: records every request, answers from a script.

Usage:
    /usr/bin/python3 https_test_server.py DIR [--cert good|self-signed|wrong-host]

DIR is a working directory that the server and the test share:

    DIR/ca.pem          the test CA; point WGET_HTTPS_CA_FILE at it to trust
                        the server (made with the `openssl` command on first use
                        and reused by later servers started on the same DIR)
    DIR/port            written (atomically) once the server listens on
                        127.0.0.1; holds the port number. Wait for this file.
    DIR/requests.jsonl  one JSON object per request received, appended in
                        order of arrival:
                          {"method": "POST", "path": "/x",
                           "path_b64": ..., "headers_b64": ..., "body_b64": ...}
                        headers_b64 is the raw header block ("Name: value\\r\\n"
                        per line, as received); body_b64 the exact body bytes.
    DIR/script.json     what to answer; read again for every request:
                          {"default": RESPONSE, "queue": [RESPONSE, ...]}
                        A request takes the first queued RESPONSE whose "path"
                        (if it has one) equals the request path; that entry is
                        removed. Without a match the "default" answers (200 OK,
                        empty body, when the file or the key is missing).
                        RESPONSE fields, all optional:
                          "status": 200            status code
                          "reason_b64": ...        reason phrase; absent: the
                                                   standard one; "" : none at all
                                                   ("HTTP/1.1 302" alone)
                          "body_b64": ...          body bytes
                          "path": "/x"             only for this request path
                          "delay": 0.0             seconds to wait before answering
                          "hang": false            never answer (until killed)
                        Write the file atomically (temporary name + rename).

Certificates (--cert): "good" is issued by the test CA for 127.0.0.1 and
localhost; "self-signed" is a certificate for the same names that no CA
issued; "wrong-host" is issued by the test CA for wrong.example only. The
last two must be refused by a client that trusts only DIR/ca.pem.

The server stops when it is sent SIGTERM (tests stop it by its pid).
Network: it listens on 127.0.0.1 only, on a port the system chooses.
"""

import argparse
import base64
import http.server
import json
import os
import signal
import socketserver
import ssl
import subprocess
import sys
import threading
import time


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


EC_KEY = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]


def make_ca(d):
    if os.path.exists(os.path.join(d, "ca.pem")):
        return
    openssl("req", "-x509", *EC_KEY, "-keyout", "ca.key", "-out", "ca.tmp",
            "-days", "3", "-subj", "/CN=vtclient test CA",
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=d)
    os.rename(os.path.join(d, "ca.tmp"), os.path.join(d, "ca.pem"))


def make_server_cert(d, kind):
    key, cert = f"{kind}.key", f"{kind}.pem"
    if os.path.exists(os.path.join(d, cert)):
        return os.path.join(d, cert), os.path.join(d, key)
    names = "DNS:wrong.example" if kind == "wrong-host" else "IP:127.0.0.1,DNS:localhost"
    ext = f"{kind}.ext"
    with open(os.path.join(d, ext), "w") as f:
        f.write(f"subjectAltName={names}\nbasicConstraints=CA:FALSE\n"
                "extendedKeyUsage=serverAuth\n")
    if kind == "self-signed":
        openssl("req", "-x509", *EC_KEY, "-keyout", key, "-out", cert + ".tmp",
                "-days", "3", "-subj", "/CN=127.0.0.1",
                "-addext", f"subjectAltName={names}", cwd=d)
    else:
        openssl("req", "-new", *EC_KEY, "-keyout", key, "-out", f"{kind}.csr",
                "-subj", "/CN=vtclient test server", cwd=d)
        openssl("x509", "-req", "-in", f"{kind}.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                "-CAcreateserial", "-days", "3", "-extfile", ext, "-out", cert + ".tmp", cwd=d)
    os.rename(os.path.join(d, cert + ".tmp"), os.path.join(d, cert))
    return os.path.join(d, cert), os.path.join(d, key)


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def make_handler(workdir, lock):
    requests_path = os.path.join(workdir, "requests.jsonl")
    script_path = os.path.join(workdir, "script.json")

    def next_response(path):
        with lock:
            try:
                with open(script_path) as f:
                    script = json.load(f)
            except (OSError, ValueError):
                script = {}
            queue = script.get("queue", [])
            for i, entry in enumerate(queue):
                if entry.get("path") in (None, path):
                    del queue[i]
                    tmp = script_path + ".srv"
                    with open(tmp, "w") as f:
                        json.dump(script, f)
                    os.rename(tmp, script_path)
                    return entry
            return script.get("default", {})

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, fmt, *args):
            pass

        def handle_any(self):
            length = int(self.headers.get("Content-Length", "0") or 0)
            body = self.rfile.read(length) if length > 0 else b""
            record = {
                "method": self.command,
                "path": self.path,
                "path_b64": base64.b64encode(self.path.encode("latin-1")).decode(),
                "headers_b64": base64.b64encode(
                    "".join(f"{k}: {v}\r\n" for k, v in self.headers.items())
                    .encode("latin-1")).decode(),
                "body_b64": base64.b64encode(body).decode(),
            }
            with lock:
                with open(requests_path, "a") as f:
                    f.write(json.dumps(record) + "\n")
            response = next_response(self.path)
            if response.get("hang"):
                while True:
                    time.sleep(3600)
            delay = float(response.get("delay", 0))
            if delay > 0:
                time.sleep(delay)
            status = int(response.get("status", 200))
            if "reason_b64" in response:
                reason = base64.b64decode(response["reason_b64"]).decode("latin-1")
            else:
                reason = self.responses.get(status, ("",))[0]
            payload = base64.b64decode(response.get("body_b64", ""))
            line = f"HTTP/1.1 {status} {reason}" if reason else f"HTTP/1.1 {status}"
            self.wfile.write((line + "\r\n").encode("latin-1"))
            self.wfile.write(f"Content-Length: {len(payload)}\r\n".encode())
            self.wfile.write(b"Connection: close\r\n\r\n")
            self.wfile.write(payload)
            self.wfile.flush()
            self.close_connection = True

        do_GET = do_POST = do_PUT = do_DELETE = do_HEAD = handle_any

    return Handler


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("workdir")
    parser.add_argument("--cert", choices=["good", "self-signed", "wrong-host"], default="good")
    args = parser.parse_args()
    workdir = os.path.abspath(args.workdir)
    os.makedirs(workdir, exist_ok=True)

    make_ca(workdir)
    cert, key = make_server_cert(workdir, args.cert)

    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    server = Server(("127.0.0.1", 0), make_handler(workdir, threading.Lock()))
    server.socket = context.wrap_socket(server.socket, server_side=True)

    signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
    port_tmp = os.path.join(workdir, "port.tmp")
    with open(port_tmp, "w") as f:
        f.write(str(server.server_address[1]))
    os.rename(port_tmp, os.path.join(workdir, "port"))
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
