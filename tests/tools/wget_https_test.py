"""The wget_https stand-in against a local HTTPS server: what it sends and writes,
and that it fails, writing nothing, when it cannot trust the server, would write
through a link, or waits past its time-out. WGET_HTTPS_BIN names the program."""
import http.server
import os
import ssl
import subprocess
import tempfile
import threading
import time
import unittest

TOOL = os.environ.get("WGET_HTTPS_BIN", "")
BUILD_TYPE = os.environ.get("VTCLIENT_BUILD_TYPE", "").lower()
# Under ThreadSanitizer the stand-in's libcurl now and then polls past its time-out without end.
TSAN = BUILD_TYPE == "tsan"
MiB = 1024 * 1024


def make_certificate(d):  # self-signed for 127.0.0.1 alone: trusted as its own CA, "localhost" is another name
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                    "-days", "3", "-keyout", "key.pem", "-out", "ca.pem", "-subj", "/CN=test server",
                    "-addext", "subjectAltName=IP:127.0.0.1"], cwd=d, check=True, capture_output=True)


class Server:
    """Answers every request with self.answer (the status after "HTTP/1.1 ", a line feed, the body; "hang":
    never) and keeps each request as b"METHOD PATH\\r\\n" + header lines + b"\\r\\n" + body."""

    def __init__(self, d):
        self.answer, self.requests, server = b"200 OK\n", [], self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
                head = "".join(f"{k}: {v}\r\n" for k, v in self.headers.items())
                server.requests.append(f"{self.command} {self.path}\r\n{head}\r\n".encode("latin-1") + body)
                status, _, rest = server.answer.partition(b"\n")
                if status == b"hang":
                    time.sleep(30)
                    return
                self.wfile.write(b"HTTP/1.1 %s\r\nContent-Length: %d\r\nConnection: close\r\n\r\n%s"
                                 % (status, len(rest), rest))

            def log_message(self, *args):
                pass

        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(os.path.join(d, "ca.pem"), os.path.join(d, "key.pem"))
        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.httpd.daemon_threads = True
        self.httpd.socket = context.wrap_socket(self.httpd.socket, server_side=True)
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()

    def url(self, path):
        return "https://127.0.0.1:%d/%s" % (self.httpd.server_address[1], path)


@unittest.skipUnless(TOOL and os.access(TOOL, os.X_OK), "WGET_HTTPS_BIN names no wget_https")
class WgetHttps(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        cls.d = cls.dir.name
        make_certificate(cls.d)
        cls.good = Server(cls.d)

    @classmethod
    def tearDownClass(cls):
        cls.good.httpd.shutdown()
        cls.dir.cleanup()

    def path(self, name, text=None):
        p = os.path.join(self.d, name)
        if text is not None:
            with open(p, "wb") as f:
                f.write(text)
        return p

    def run_tool(self, url, body, out, *extra, ca="ca.pem", timeout="-T10", prefix=()):
        env = dict(os.environ)
        env.pop("WGET_HTTPS_CA_FILE", None)
        if ca:
            env["WGET_HTTPS_CA_FILE"] = self.path(ca)
        args = [*prefix, TOOL, "-q", timeout, "-f" + body, "-O" + out, url, *extra]
        return subprocess.run(args, env=env, timeout=120, stdin=subprocess.DEVNULL).returncode

    def test_request_and_answer_pass_whole_and_any_status_exits_zero(self):
        data = b"a\0b\r\n"
        body, out = self.path("body", data), self.path("out")
        header = self.path("hdr", b"Content-Type: multipart/form-data; boundary=--7d38f60708\r\nX-Note: two words\r\n")
        self.good.requests.clear()
        self.good.answer = b"302\n" + data  # no phrase sent: the standard one is written
        self.assertEqual(self.run_tool(self.good.url("h"), body, out, "-e" + header), 0)
        with open(out, "rb") as f:
            self.assertEqual(f.read(), b"302 Found\n" + data)
        self.assertEqual(os.stat(out).st_mode & 0o777, 0o600)
        self.assertEqual(self.run_tool(self.good.url("form"), body, out), 0)  # without a header file: a form
        first, second = self.good.requests
        self.assertTrue(first.startswith(b"POST /h\r\n"))
        self.assertIn(b"boundary=--7d38f60708\r\nX-Note: two words\r\n", first)
        self.assertEqual(first.split(b"\r\n\r\n", 1)[1], data)
        self.assertIn(b"\r\nContent-Type: application/x-www-form-urlencoded\r\n", second)

    def test_fails_untrusted_through_links_or_past_its_time_out_and_writes_nothing(self):
        body, out, victim = self.path("body", b"a=b"), self.path("none-out"), self.path("victim", b"precious")
        link = self.path("link")
        if not os.path.lexists(link):
            os.symlink(victim, link)
        good = self.good.url
        rows = [  # url, body, output, CA file, timed (-T1, and the server reads the request but never answers)
            (good("x").replace("127.0.0.1", "localhost"), body, out, "ca.pem", False),  # trusted, for another name
            (good("x"), body, out, None, False),  # the test CA is unknown to the system store
            (good("m"), body, link, "ca.pem", False),
            ("http://" + good("x")[8:], body, out, "ca.pem", False),
            (good("u"), self.path("no-body"), out, "ca.pem", False),
            (good("hang"), body, out, "ca.pem", True),
        ]
        for url, body_file, output, ca, timed in rows:
            if timed and TSAN:
                continue
            with self.subTest(url=url, output=output):
                self.good.requests.clear()
                self.good.answer = b"hang" if timed else b"200 OK\n"
                start = time.monotonic()
                self.assertNotEqual(self.run_tool(url, body_file, output, ca=ca, timeout="-T1" if timed else "-T10"), 0)
                self.assertTrue(not timed or time.monotonic() - start < 5)
                self.assertFalse(os.path.exists(out))
                with open(victim, "rb") as f:
                    self.assertEqual(f.read(), b"precious")
                if ca != "ca.pem" or "localhost" in url:  # nothing reached a server it could not trust
                    self.assertEqual(self.good.requests, [])

    @unittest.skipUnless(os.path.exists("/usr/bin/time"), "no GNU time")
    def test_stops_past_its_answer_bound(self):
        body, out, peak, peaks = self.path("body", b"a=b"), self.path("out"), self.path("peak"), []
        for answer, status in ((b"small", 0), ((b"K=" + b"v" * 61 + b"\n") * (150 * MiB // 64), 6)):
            self.good.answer = b"200 OK\n" + answer
            # GNU time starts the tool afresh: a child of this process would
            # count the Python image it was forked from as its own peak.
            self.assertEqual(self.run_tool(self.good.url("x"), body, out, timeout="-T60",
                                           prefix=("/usr/bin/time", "-f", "%M", "-o", peak)), status)
            with open(peak) as f:
                peaks.append(int(f.read().split()[-1]))
            self.assertEqual(os.path.exists(out), status == 0)
            if status == 0:
                os.unlink(out)
        if BUILD_TYPE not in ("asan", "tsan"):  # the figures of a sanitizer say little
            self.assertLessEqual(peaks[1], peaks[0] + 4 * 1024)
