"""Runs the real vtclient in a sandbox against a scripted server.

A sandbox is a temporary VTCLIENT_ROOT holding the configuration file, the
agent's /tmp, an event spool and a bin/ directory with the fetch-tool
stand-in (fake_wget_https). The UDP side of the server is ChannelServer, a
small thread that speaks the wire format (vtproto) and can be told to fall
silent, answer late or move to a new port and key.

Every process is started in a session of its own and stopped by its pid
(the whole process group, so a device command that never ends goes too).
Waits poll a condition with a bounded time-out; nothing sleeps to sync.
"""
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest

import vtproto

HERE = os.path.dirname(os.path.abspath(__file__))
SERIAL = "12345678ABCD"

# Files the agent's exchanges create under /tmp and must remove again.
TEMP_FILE_PATTERN = re.compile(
    r"^(udps_.*\.(in|header|dump)|debug_dump\.(in|header|tmp)|action_tmp|"
    r"qdms_debug_dump\.dump|ISP_tmp)$")


# First lines of AddressSanitizer, LeakSanitizer, UBSan and ThreadSanitizer reports.
SANITIZER_REPORT = re.compile(r"ERROR: (Address|Leak)Sanitizer|WARNING: ThreadSanitizer|"
                              r"runtime error:|ERROR: ThreadSanitizer")


def wait_until(condition, timeout, interval=0.05):
    """Polls condition until it is true; returns its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


class ChannelServer:
    """The management server's UDP side, as far as the tests need it."""

    def __init__(self, serial=SERIAL, key=None):
        self.serial = serial
        self.key = key or vtproto.random_key()
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.settimeout(0.1)
        self.port = self.sock.getsockname()[1]
        self.silent = False
        self.reply_delay = 0.0
        self.peer = None
        self.keepalives = 0
        self.datagrams = 0
        self.gps = []
        self.replies = {}
        self.next_seq = 0xFFFFFFFF
        self.cond = threading.Condition()
        self.running = True
        self.thread = threading.Thread(target=self._loop, daemon=True)
        self.thread.start()

    def close(self):
        self.running = False
        self.thread.join(2)
        self.sock.close()

    def _send(self, message):
        if self.peer:
            try:
                self.sock.sendto(vtproto.make_packet(self.serial, self.key, message), self.peer)
            except OSError:
                pass

    def _loop(self):
        while self.running:
            try:
                data, addr = self.sock.recvfrom(2048)
            except socket.timeout:
                continue
            except OSError:
                return
            with self.cond:
                self.datagrams += 1
                if self.silent:
                    continue
                self.peer = addr
            opened = vtproto.open_packet(data, self.key)
            if not opened:
                continue
            msg = vtproto.parse_message(opened[1])
            if not msg:
                continue
            flags, seq, mid, cat, typ, payload = msg
            with self.cond:
                if vtproto.is_reply(flags):
                    self.replies[seq] = (flags, payload)
                elif cat == 0:
                    self.keepalives += 1
                elif cat == 2 and typ == 3:
                    self.gps.append(vtproto.gps_fields(payload))
                self.cond.notify_all()
            if not vtproto.is_reply(flags) and flags & vtproto.REPLY_WANTED:
                reply = vtproto.make_message(vtproto.REPLY_OK, seq, mid, cat, typ)
                if self.reply_delay:
                    threading.Timer(self.reply_delay, self._send, (reply,)).start()
                else:
                    self._send(reply)

    def count(self, what):
        with self.cond:
            return getattr(self, what) if what != "gps" else len(self.gps)

    def wait_keepalives(self, more, timeout):
        start = self.count("keepalives")
        return wait_until(lambda: self.count("keepalives") >= start + more, timeout)

    def ask(self, mtype, payload=b"", timeout=10.0, resend=2.0):
        """Sends a server request (category 1) until the device answers.

        Returns the reply's (flags, payload), or None. Every transmission has a
        fresh seq and the same id, as the protocol prescribes."""
        mid = None
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with self.cond:
                seq = self.next_seq
                self.next_seq = (self.next_seq + 1) & 0xFFFFFFFF
            mid = seq if mid is None else mid
            self._send(vtproto.make_message(vtproto.REPLY_WANTED, seq, mid, 1, mtype, payload))
            until = min(deadline, time.monotonic() + resend)
            with self.cond:
                while seq not in self.replies and time.monotonic() < until:
                    self.cond.wait(0.05)
                if seq in self.replies:
                    return self.replies[seq]
        return None


class Agent:
    """One vtclient in a sandbox, with its server and fetch tool."""

    DEFAULT_CONFIG = {
        "DEVICE_SERIAL": SERIAL,
        "DEVICE_MODEL": "VT100",
        "DEVICE_VARIANT": "EU",
        "DEVICE_FIRMWARE": "1.2.3",
        "DEVICE_KEEPALIVE_INTERVAL": "5",
        "DEVICE_LOG_FILE_SIZE": "4000000",
        "VANTOR_HOST": "127.0.0.1",
        "UDP_REG_PATH": "udps/register",
    }

    def __init__(self, test, config=None, faketime=None, with_wget=True, speed=None):
        self.test = test
        self.root = tempfile.mkdtemp(prefix="vtfault-")
        for sub in ("etc", "tmp", "spool", "bin", "wget/bodies"):
            os.makedirs(os.path.join(self.root, sub), exist_ok=True)
        self.server = ChannelServer()
        self.write_auth(self.server)
        if with_wget:
            self.install_wget()
        self.config = dict(self.DEFAULT_CONFIG)
        self.config["FEATURE_EVENT_SPOOL"] = self.path("spool") + "/"
        self.config.update(config or {})
        self.faketime = faketime
        if speed and faketime is None and not under_thread_sanitizer():
            # The agent's wall clock runs `speed` times faster, so its
            # time-outs (silence, retry waits) pass in moments; its
            # monotonic waits stay real. Tests keep time-outs long enough
            # for real speed, which ThreadSanitizer builds run at.
            self.faketime = {"FAKETIME": "+0 x%d" % speed, "DONT_FAKE_MONOTONIC": "1"}
        self.proc = None
        self.stopped = False
        self.extra_servers = []
        test.addCleanup(self.cleanup)

    # -- sandbox files ------------------------------------------------------
    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def write(self, rel, text, mode="w"):
        with open(self.path(rel), mode) as f:
            f.write(text)

    def write_auth(self, server):
        self.write("wget/answer.register",
                   "302 Found\n%s\n127.0.0.1\n%d\n" % (server.key, server.port))

    def install_wget(self):
        shutil.copy(os.path.join(HERE, "fake_wget_https"), self.path("bin", "wget_https"))

    def remove_wget(self):
        os.unlink(self.path("bin", "wget_https"))

    def set_wget(self, mode, kind=None):
        name = "wget/mode" + ("." + kind if kind else "")
        if mode == "ok":
            if os.path.exists(self.path(name)):
                os.unlink(self.path(name))
        else:
            self.write(name, mode)

    def wget_calls(self, kind=None):
        try:
            with open(self.path("wget", "calls")) as f:
                calls = f.read().split()
        except FileNotFoundError:
            return 0
        return len([c for c in calls if kind is None or c == kind])

    def write_config(self):
        lines = ["%s=%s\n" % (k, v) for k, v in self.config.items()]
        self.write("etc/vtclient.cfg", "".join(lines))

    # -- the process --------------------------------------------------------
    def start(self):
        self.write_config()
        env = dict(os.environ)
        env["VTCLIENT_ROOT"] = self.root
        env["PATH"] = self.path("bin") + ":/usr/bin:/bin"
        # ASan wants to be first in the library list; libfaketime is preloaded.
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"
        cmd = [os.environ.get("VTCLIENT_BIN", "vtclient")]
        if self.faketime is not None:
            env.update(self.faketime)
            env["LD_PRELOAD"] = "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1"
        self.stdout = open(self.path("stdout"), "wb")
        self.stderr = open(self.path("stderr"), "wb")
        self.proc = subprocess.Popen(cmd, cwd=self.root, env=env, stdout=self.stdout,
                                     stderr=self.stderr, start_new_session=True)

    def alive(self):
        return self.proc is not None and self.proc.poll() is None

    def signal(self, sig):
        os.kill(self.proc.pid, sig)

    def stop(self):
        if self.proc is None or self.stopped:
            return
        self.stopped = True
        if self.proc.poll() is None:
            try:
                os.killpg(self.proc.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            try:
                # An orderly teardown joins the channel's threads (up to ~5 s).
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait(5)
        # Children left in the group (a device command that never ends).
        try:
            os.killpg(self.proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.stdout.close()
        self.stderr.close()

    def sanitizer_reports(self):
        """Sanitizer findings in the agent's standard error (sanitizer builds)."""
        if self.proc is None:
            return []
        text = self.stderr_text()
        return [line for line in text.splitlines() if SANITIZER_REPORT.search(line)]

    def cleanup(self):
        self.stop()
        self.server.close()
        for s in self.extra_servers:
            s.close()
        reports = self.sanitizer_reports()
        if os.environ.get("VTFAULT_KEEP") or reports:
            print("sandbox kept:", self.root)
        else:
            shutil.rmtree(self.root, ignore_errors=True)
        self.test.assertEqual(reports, [], "the agent's sanitizer reported faults")

    # -- observations -------------------------------------------------------
    def log(self):
        text = ""
        log_path = self.config.get("DEVICE_LOG_PATH", self.path("tmp", "udp_client.log"))
        for p in sorted(self._log_files(log_path), reverse=True):
            with open(p, errors="replace") as f:
                text += f.read()
        return text

    @staticmethod
    def _log_files(live):
        found = [live] if os.path.exists(live) else []
        for i in range(9, -1, -1):
            if os.path.exists("%s.%d" % (live, i)):
                found.insert(0, "%s.%d" % (live, i))
        return found

    def stderr_text(self):
        if not self.stderr.closed:
            self.stderr.flush()
        with open(self.path("stderr"), errors="replace") as f:
            return f.read()

    def wait_log(self, text, timeout, count=1):
        return wait_until(lambda: self.log().count(text) >= count, timeout, 0.2)

    def leftover_temp_files(self):
        return sorted(n for n in os.listdir(self.path("tmp")) if TEMP_FILE_PATTERN.match(n))

    # -- common checks ------------------------------------------------------
    def assert_serving(self, server=None, timeout=20):
        """The agent is alive, keeps its channel and answers an invitation."""
        server = server or self.server
        self.test.assertTrue(self.alive(), "vtclient died:\n" + self.stderr_text()[-2000:])
        self.test.assertTrue(server.wait_keepalives(1, timeout),
                             "no keepalive reached the server\n" + self.log()[-3000:])
        # Bit 3 of the mask means nothing to the agent: it refuses at once.
        reply = server.ask(1, b"\x00\x00\x00\x08", timeout=timeout)
        self.test.assertIsNotNone(reply, "the invitation went unanswered\n" + self.log()[-3000:])
        self.test.assertEqual(reply[0], vtproto.REPLY_FAIL)


def under_thread_sanitizer():
    """libfaketime's own condition-variable waits are invisible to
    ThreadSanitizer, which then reports false double locks: no faked clock
    under a ThreadSanitizer build."""
    return os.environ.get("VTCLIENT_BUILD_TYPE", "").lower() == "tsan"


def require_agent(cls):
    """Skips a test class when no vtclient binary is known."""
    binary = os.environ.get("VTCLIENT_BIN", "")
    if not (binary and os.access(binary, os.X_OK)):
        return unittest.skip("VTCLIENT_BIN does not name a vtclient")(cls)
    return cls
