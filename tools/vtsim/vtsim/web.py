"""The management server's HTTPS side: the registration page and the
feature requests (configuration sync, reports, event log, action output,
debug dump, extension information).

The registration page answers "302 Found" with three body lines: the session
key, the UDP host and the UDP port. Any other path answers what the script
says for it (default "200 OK" with an empty body). Every request is kept,
with its body, for the tests to inspect.

The certificate is made with the openssl command, once per work directory;
the agent's fetch tool trusts it through WGET_HTTPS_CA_FILE.
"""

import http.server
import os
import ssl
import subprocess
import threading
import urllib.parse


def make_certificate(workdir):
    """Self-signed certificate for 127.0.0.1 and localhost; returns (cert, key)."""
    cert = os.path.join(workdir, "vtsim-cert.pem")
    key = os.path.join(workdir, "vtsim-key.pem")
    if not (os.path.exists(cert) and os.path.exists(key)):
        subprocess.run(
            ["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
             "-nodes", "-keyout", key, "-out", cert, "-days", "30", "-subj", "/CN=127.0.0.1",
             "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost"],
            check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return cert, key


class WebRequest:
    """One HTTPS request as received, with the answer given."""

    def __init__(self, number, method, path, headers, body, status):
        self.number = number
        self.method = method
        self.path = path
        self.headers = headers
        self.body = body
        self.status = status

    def form(self):
        """The URL-encoded fields of the body, values kept as sent."""
        fields = {}
        for part in self.body.decode("latin-1").split("&"):
            name, _, value = part.partition("=")
            fields[name] = value
        return fields


class WebSide:
    """Threaded HTTPS server on 127.0.0.1."""

    def __init__(self, sim, workdir, registration_path, port=0):
        self.sim = sim
        self.registration_path = "/" + registration_path.lstrip("/")
        # "ok": a valid redirect; "plain": 200 without redirect; "broken":
        # a redirect with a short key line; "down": answers 500; "rekey": a
        # valid redirect with a fresh key, as a restarted server gives.
        self.auth_mode = "ok"
        self.scripts = {}  # path -> (status line, body bytes)
        self.requests = []
        self.lock = threading.Lock()
        cert, key = make_certificate(workdir)
        self.ca_file = cert
        handler = self._handler_class()
        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", port), handler)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        self.httpd.socket = context.wrap_socket(self.httpd.socket, server_side=True)
        self.port = self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)

    def start(self):
        self.thread.start()

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()

    def script(self, path, status, body=b""):
        with self.lock:
            self.scripts["/" + path.lstrip("/")] = (status, body)

    def _answer(self, method, path, headers, body):
        url_path = urllib.parse.urlsplit(path).path
        if url_path == self.registration_path:
            status, answer = self._registration(body)
        else:
            with self.lock:
                status, answer = self.scripts.get(url_path, ("200 OK", b""))
        with self.lock:
            request = WebRequest(len(self.requests) + 1, method, url_path, headers, body, status)
            self.requests.append(request)
        self.sim.on_web_request(request)
        return status, answer

    def _registration(self, body):
        mode = self.auth_mode
        if mode == "plain":
            return "200 OK", b"welcome\n"
        if mode == "down":
            return "500 Internal Server Error", b""
        if mode == "rekey":
            self.sim.rekey()
        key = self.sim.key[:8] if mode == "broken" else self.sim.key
        lines = "%s\n127.0.0.1\n%d\n" % (key, self.sim.udp_port)
        self.sim.on_registration()
        return "302 Found", lines.encode()

    def _handler_class(self):
        side = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.0"

            def _serve(self):
                length = int(self.headers.get("Content-Length") or 0)
                body = self.rfile.read(length) if length else b""
                status, answer = side._answer(self.command, self.path, dict(self.headers), body)
                code, _, reason = status.partition(" ")
                self.send_response(int(code), reason or None)
                self.send_header("Content-Type", "text/plain")
                self.send_header("Content-Length", str(len(answer)))
                self.end_headers()
                self.wfile.write(answer)

            do_POST = _serve
            do_GET = _serve

            def log_message(self, *args):
                pass

        return Handler
