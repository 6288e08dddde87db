#!/usr/bin/python3
"""Local HTTPS test server on 127.0.0.1: records every request, answers from a script.

Usage: /usr/bin/python3 https_test_server.py DIR [--cert good|self-signed|wrong-host]

DIR/ca.pem          the test CA (made with `openssl` on first use, then reused)
DIR/port            written atomically once the server listens
DIR/requests.jsonl  one {"method", "path_hex", "headers_hex", "body_hex"} per request
DIR/script.json     {"default": ANSWER, "queue": [ANSWER, ...]}, read for every request;
                    each request takes (and removes) the first queued ANSWER, else the default.
                    ANSWER: {"status": 200, "reason_hex": absent = standard phrase,
                    "" = none, "body_hex": "", "hang": false}
"good" is issued by the test CA for 127.0.0.1; "self-signed" has no issuer; "wrong-host"
is issued for wrong.example. Stops on SIGTERM.
"""

import argparse
import http.server
import json
import os
import signal
import socketserver
import ssl
import subprocess
import threading
import time

EC_KEY = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]


def openssl(d, *args):
    subprocess.run(["openssl", *args], cwd=d, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def make_certs(d, kind):
    # Made under temporary names and renamed, so that servers sharing DIR never see half a file.
    if not os.path.exists(os.path.join(d, "ca.pem")):
        openssl(d, "req", "-x509", *EC_KEY, "-keyout", "ca.key", "-out", "ca.tmp", "-days", "3",
                "-subj", "/CN=vtclient test CA", "-addext", "basicConstraints=critical,CA:TRUE",
                "-addext", "keyUsage=critical,keyCertSign,cRLSign")
        os.rename(os.path.join(d, "ca.tmp"), os.path.join(d, "ca.pem"))
    key, cert = f"{kind}.key", f"{kind}.pem"
    if not os.path.exists(os.path.join(d, cert)):
        names = "DNS:wrong.example" if kind == "wrong-host" else "IP:127.0.0.1,DNS:localhost"
        if kind == "self-signed":
            openssl(d, "req", "-x509", *EC_KEY, "-keyout", key, "-out", cert + ".tmp", "-days",
                    "3", "-subj", "/CN=127.0.0.1", "-addext", f"subjectAltName={names}")
        else:
            with open(os.path.join(d, f"{kind}.ext"), "w") as f:
                f.write(f"subjectAltName={names}\nbasicConstraints=CA:FALSE\n"
                        "extendedKeyUsage=serverAuth\n")
            openssl(d, "req", "-new", *EC_KEY, "-keyout", key, "-out", f"{kind}.csr",
                    "-subj", "/CN=vtclient test server")
            openssl(d, "x509", "-req", "-in", f"{kind}.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                    "-CAcreateserial", "-days", "3", "-extfile", f"{kind}.ext",
                    "-out", cert + ".tmp")
        os.rename(os.path.join(d, cert + ".tmp"), os.path.join(d, cert))
    return os.path.join(d, cert), os.path.join(d, key)


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True


def make_handler(d, lock):
    def next_answer():
        path = os.path.join(d, "script.json")
        try:
            with open(path) as f:
                script = json.load(f)
        except (OSError, ValueError):
            return {}
        if not script.get("queue"):
            return script.get("default", {})
        answer = script["queue"].pop(0)
        with open(path + ".srv", "w") as f:
            json.dump(script, f)
        os.rename(path + ".srv", path)
        return answer

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, fmt, *args):
            pass

        def handle_any(self):
            length = int(self.headers.get("Content-Length", "0") or 0)
            body = self.rfile.read(length) if length > 0 else b""
            headers = "".join(f"{k}: {v}\r\n" for k, v in self.headers.items())
            record = {"method": self.command, "path_hex": self.path.encode("latin-1").hex(),
                      "headers_hex": headers.encode("latin-1").hex(), "body_hex": body.hex()}
            with lock:
                with open(os.path.join(d, "requests.jsonl"), "a") as f:
                    f.write(json.dumps(record) + "\n")
                answer = next_answer()
            while answer.get("hang"):
                time.sleep(3600)
            status = int(answer.get("status", 200))
            if "reason_hex" in answer:
                reason = bytes.fromhex(answer["reason_hex"]).decode("latin-1")
            else:
                reason = self.responses.get(status, ("",))[0]
            payload = bytes.fromhex(answer.get("body_hex", ""))
            line = f"HTTP/1.1 {status} {reason}" if reason else f"HTTP/1.1 {status}"
            self.wfile.write(f"{line}\r\nContent-Length: {len(payload)}\r\n"
                             "Connection: close\r\n\r\n".encode("latin-1") + payload)
            self.wfile.flush()
            self.close_connection = True

        do_GET = do_POST = do_PUT = handle_any

    return Handler


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("workdir")
    parser.add_argument("--cert", choices=["good", "self-signed", "wrong-host"], default="good")
    args = parser.parse_args()
    d = os.path.abspath(args.workdir)
    os.makedirs(d, exist_ok=True)
    cert, key = make_certs(d, args.cert)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    server = Server(("127.0.0.1", 0), make_handler(d, threading.Lock()))
    server.socket = context.wrap_socket(server.socket, server_side=True)
    signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
    with open(os.path.join(d, "port.tmp"), "w") as f:
        f.write(str(server.server_address[1]))
    os.rename(os.path.join(d, "port.tmp"), os.path.join(d, "port"))
    server.serve_forever()


if __name__ == "__main__":
    main()
