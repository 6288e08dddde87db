"""Runs the real vtclient in a sandbox against the simulator (tools/vtsim).

An Agent owns a temporary VTCLIENT_ROOT (configuration, the agent's /tmp,
an event spool, bin/ with the fetch tool), a Simulator on 127.0.0.1 and the
vtclient process. The fetch tool is either the real wget_https stand-in,
talking TLS to the simulator's HTTPS side, or fake_wget_https, which the
test steers through files to fail, hang or answer garbage.

Every process runs in a session of its own and is stopped by its pid (the
whole group, so a device command that never ends goes too). Waits poll a
condition with a bounded time-out; nothing sleeps to synchronise.
"""
import os
import re
import shlex
import shutil
import signal
import stat
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools", "vtsim"))
from vtsim import Simulator  # noqa: E402

SERIAL = "00AABBCC0011"
VTCLIENT = os.environ.get("VTCLIENT_BIN", "")
WGET_HTTPS = os.environ.get("WGET_HTTPS_BIN", "")
FAKETIME_LIB = "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1"
# A command put before the agent's own (shell words), for instance
# "qemu-mips-static -L /usr/mips-linux-gnu" for an agent built for big-endian
# MIPS. The simulator, the fetch tool and the device commands stay native.
# libfaketime cannot be preloaded into an emulated program; a dynamically
# linked emulator that keeps it out of the program's environment
# ("qemu-mips -L /usr/mips-linux-gnu -U LD_PRELOAD") takes it itself and
# answers the program's clock calls with the faked clock.
EXEC_PREFIX = shlex.split(os.environ.get("VTCLIENT_EXEC", ""))
FAKETIME_IN_EMULATOR = "-U" in EXEC_PREFIX and "LD_PRELOAD" in EXEC_PREFIX


def clock_can_run_fast():
    """Whether libfaketime can speed up the agent's clock: not under
    ThreadSanitizer, nor in an emulator that cannot take it."""
    return not under_thread_sanitizer() and (not EXEC_PREFIX or FAKETIME_IN_EMULATOR)


def agent_is_big_endian():
    """Whether the agent, and so the device's own programs, keep records
    big-endian: VTCLIENT_BIG_ENDIAN=1/0, else the agent's ELF header."""
    if os.environ.get("VTCLIENT_BIG_ENDIAN"):
        return os.environ["VTCLIENT_BIG_ENDIAN"] == "1"
    try:
        with open(VTCLIENT, "rb") as f:
            head = f.read(6)
    except OSError:
        return sys.byteorder == "big"
    return head[:4] == b"\x7fELF" and head[5] == 2  # EI_DATA: ELFDATA2MSB


# Byte order of the records the device's programs write (event files).
RECORD_ORDER = ">" if agent_is_big_endian() else "<"

# Files the agent's exchanges create in its private directory and must remove again.
TEMP_FILE_PATTERN = re.compile(r"^(udps_.*\.(in|header|dump)|debug_dump\.(in|header|tmp)|"
                               r"action_tmp|qdms_debug_dump\.dump|ISP_tmp)$")
# First lines of AddressSanitizer, LeakSanitizer, UBSan and ThreadSanitizer reports.
SANITIZER_REPORT = re.compile(r"ERROR: (Address|Leak|Thread)Sanitizer|WARNING: ThreadSanitizer|"
                              r"runtime error:")


def wait_until(condition, timeout, interval=0.05):
    """Polls condition until it is true or timeout seconds pass; returns its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


def under_thread_sanitizer():
    """libfaketime's own condition-variable waits are invisible to
    ThreadSanitizer, which then reports double locks that are not there:
    no faked clock under a ThreadSanitizer build."""
    return os.environ.get("VTCLIENT_BUILD_TYPE", "").lower() == "tsan"


def require_agent(cls):
    """Skips a test class when no vtclient binary is known."""
    if not (VTCLIENT and os.access(VTCLIENT, os.X_OK)):
        return unittest.skip("VTCLIENT_BIN does not name a vtclient")(cls)
    return cls


def received(sim, what):
    return [r for r in list(sim.received) if r.get("what") == what]


def wait_keepalives(sim, more, timeout):
    start = len(received(sim, "keepalive"))
    return wait_until(lambda: len(received(sim, "keepalive")) >= start + more, timeout)


def ask(sim, send, timeout=20.0, resend=2.0):
    """Sends a request (send(sim) is one of the simulator's senders) and
    retransmits it, fresh seq and same id, every resend seconds until the
    device replies to any of them. Returns the reply's record, or None."""
    deadline = time.monotonic() + timeout
    seqs = []
    reply = lambda: next((r for r in list(sim.received) if r.get("seq") in seqs and "result" in r), None)
    while not seqs or time.monotonic() < deadline:
        seq, msg_id, _ = sim.retransmit(msg_id) if seqs else send(sim)
        seqs.append(seq)
        if wait_until(reply, max(0.0, min(resend, deadline - time.monotonic())), 0.01):
            return reply()
    return None


class Spoofer(threading.Thread):
    """Datagrams that are not the server's (a kind of Simulator.flood) sent
    from the server's address to the device's port: count of them, spread
    evenly over seconds, or fewer when stopped first."""

    def __init__(self, test, sim, kind, count, seconds):
        super().__init__(daemon=True)
        self.sim, self.kind, self.count, self.seconds = sim, kind, count, seconds
        self.stopped = threading.Event()
        test.addCleanup(self.stop)

    def run(self):
        batches = min(self.count, 200)
        for i in range(batches):
            if self.stopped.wait(self.seconds / batches):
                return
            self.sim.flood(self.kind, self.count * (i + 1) // batches - self.count * i // batches)

    def stop(self):
        self.stopped.set()
        if self.is_alive():
            self.join()


class Agent:
    """One vtclient in a sandbox, with its simulator and fetch tool."""

    def __init__(self, test, config=None, tool="fake", speed=None, faketime=None):
        self.test = test
        self.root = tempfile.mkdtemp(prefix="vtclient-test-")
        for sub in ("etc", "tmp", "spool", "bin", "wget/bodies"):
            os.makedirs(self.path(sub), exist_ok=True)
        self.proc = None
        self.sims = []
        test.addCleanup(self.cleanup)
        self.sim = self.new_simulator()
        if tool == "real" and WGET_HTTPS:
            os.symlink(WGET_HTTPS, self.path("bin", "wget_https"))
        elif tool == "fake":
            self.install_wget()
        self.config = {
            "VANTOR_HOST": "127.0.0.1:%d" % self.sim.web.port, "UDP_REG_PATH": "udps/register",
            "DEVICE_SERIAL": SERIAL, "DEVICE_MODEL": "RT100", "DEVICE_VARIANT": "EU",
            "DEVICE_FIRMWARE": "1.2.3", "DEVICE_KEEPALIVE_INTERVAL": "5", "DEVICE_LOG_FILE_SIZE": "0",
            "FEATURE_EVENT_SPOOL": self.path("spool") + "/",
            "FEATURE_CONFIG_PATH": "api/config", "FEATURE_REPORT_PATH": "api/report",
            "FEATURE_EVENT_PATH": "api/event", "FEATURE_REMOTE_ACTION_PATH": "api/action",
            "FEATURE_DEBUG_DUMP_PATH": "api/dump",
        }
        self.config.update(config or {})
        # faketime: an environment for libfaketime. speed: the wall clock runs
        # that many times faster, so wall-clock time-outs (silence, retry waits)
        # pass in moments while monotonic waits stay real. Tests keep their
        # limits long enough for real speed, which ThreadSanitizer builds run at.
        # libfaketime cannot be preloaded into an emulated agent: there, as
        # under ThreadSanitizer, the clock runs at real speed.
        self.faketime = faketime
        if speed and faketime is None and not under_thread_sanitizer() and not EXEC_PREFIX:
            self.faketime = {"FAKETIME": "+0 x%d" % speed, "DONT_FAKE_MONOTONIC": "1"}

    # -- sandbox -----------------------------------------------------------
    def path(self, *parts):
        return os.path.join(self.root, *parts)  # an absolute part stays as it is

    def private(self, name):
        """A path in a directory only the agent's user may enter: where a
        device keeps a file the agent writes or uploads (its configuration
        source, its report), never straight in the shared /tmp."""
        folder = self.path("var", "run", "vtclient")
        os.makedirs(folder, mode=0o700, exist_ok=True)
        return os.path.join(folder, name)

    def write(self, rel, content):
        with open(self.path(rel), "wb" if isinstance(content, bytes) else "w") as f:
            f.write(content)

    def new_simulator(self):
        """A simulator on fresh ports with a fresh key; the fake tool's
        registration answer names it."""
        sim = Simulator(SERIAL, workdir=self.path("sim%d" % len(self.sims)))
        sim.start()
        self.sims.append(sim)
        self.write("wget/answer.register", "302 Found\n%s\n127.0.0.1\n%d\n" % (sim.key, sim.udp_port))
        return sim

    def install_wget(self):
        shutil.copy(os.path.join(HERE, "fake_wget_https"), self.path("bin", "wget_https"))

    def set_wget(self, mode, kind=None):
        """How the fake tool answers (ok, fail, hang, garbage), for one URL kind or all."""
        name = "wget/mode" + ("." + kind if kind else "")
        if mode != "ok":
            self.write(name, mode)
        elif os.path.exists(self.path(name)):
            os.unlink(self.path(name))

    def wget_calls(self, kind=None):
        try:
            with open(self.path("wget", "calls")) as f:
                return len([c for c in f.read().split() if kind is None or c == kind])
        except FileNotFoundError:
            return 0

    def web_requests(self, path):
        """Requests the real tool made to the simulator's HTTPS side."""
        return [r for r in list(self.sim.web.requests) if r.path == "/" + path]

    # -- the process -------------------------------------------------------
    def start(self, args=(), cpus=None):
        """Starts vtclient; its configuration file is written from config
        unless config is None. cpus: a taskset CPU list to pin it to."""
        if self.config is not None:
            self.write("etc/vtclient.cfg", "".join("%s=%s\n" % kv for kv in self.config.items()))
        env = dict(os.environ, VTCLIENT_ROOT=self.root, WGET_HTTPS_CA_FILE=self.sim.web.ca_file,
                   PATH=self.path("bin") + ":/usr/bin:/bin")
        # A sanitizer runtime wants to come first; libfaketime is preloaded before it.
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"
        if self.faketime is not None:
            if EXEC_PREFIX and not FAKETIME_IN_EMULATOR:
                self.test.skipTest("needs libfaketime inside the agent, which runs under %s" % EXEC_PREFIX[0])
            env.update(self.faketime, LD_PRELOAD=FAKETIME_LIB)
        self.started = time.monotonic()
        with open(self.path("stdout"), "wb") as out, open(self.path("stderr"), "wb") as err:
            pin = ["taskset", "-c", cpus] if cpus else []  # taskset execs: same pid
            self.proc = subprocess.Popen(pin + EXEC_PREFIX + [VTCLIENT] + list(args), cwd=self.root, env=env,
                                         stdout=out, stderr=err, start_new_session=True)

    def run(self, args=(), timeout=20):
        """Starts vtclient and waits for it to end; returns its exit status."""
        self.start(args)
        return self.proc.wait(timeout)

    def alive(self):
        return self.proc is not None and self.proc.poll() is None

    def signal(self, sig):
        os.kill(self.proc.pid, sig or signal.SIGTERM)

    def stop(self, timeout=15):
        """SIGTERM to the process group (a device command that never ends
        goes too), then SIGKILL; returns the exit status (None when killed)."""
        if self.proc is None:
            return None
        status = self.proc.poll()
        if status is None:
            os.killpg(self.proc.pid, signal.SIGTERM)
            try:
                status = self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait()
        try:
            os.killpg(self.proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        return status

    def terminate(self, sig=None, timeout=30):
        """Sends sig to the agent alone (as procd and systemd do) and returns
        the seconds until it exited, or None when it did not within timeout."""
        sent = time.monotonic()
        os.kill(self.proc.pid, sig or signal.SIGTERM)
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            return None
        return time.monotonic() - sent

    def session_processes(self):
        """Pids of the live processes still in the agent's session (what it
        started); a killed one may stay a zombie until init reaps it."""
        found = []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open("/proc/%s/stat" % pid) as f:
                    fields = f.read().rsplit(")", 1)[1].split()
            except (FileNotFoundError, ProcessLookupError, IndexError):
                continue
            if int(fields[3]) == self.proc.pid and int(pid) != self.proc.pid and fields[0] != "Z":
                found.append(int(pid))
        return found

    def memory_kib(self, field="VmHWM"):
        """A /proc/<pid>/status memory figure of the agent (VmHWM: peak RSS)."""
        with open("/proc/%d/status" % self.proc.pid) as f:
            return next(int(l.split()[1]) for l in f if l.startswith(field + ":"))

    def cleanup(self):
        self.stop()
        for sim in self.sims:
            sim.stop()
        reports = [l for l in self.read("stderr").splitlines() if SANITIZER_REPORT.search(l)]
        if os.environ.get("VTCLIENT_TEST_KEEP") or reports:
            print("sandbox kept:", self.root, file=sys.stderr)
        else:
            shutil.rmtree(self.root, ignore_errors=True)
        self.test.assertEqual(reports, [], "the agent's sanitizer reported faults")

    # -- observations ------------------------------------------------------
    def read(self, rel):
        """A sandbox file's text ("" when it is missing or no regular file,
        such as a FIFO planted at the log path): stdout, stderr, a log..."""
        try:
            fd = os.open(self.path(rel), os.O_RDONLY | os.O_NONBLOCK)
        except FileNotFoundError:
            return ""
        with open(fd, "rb") as f:
            return f.read().decode("latin-1") if stat.S_ISREG(os.fstat(fd).st_mode) else ""

    def log(self):
        """The log, rotated files first."""
        live = (self.config or {}).get("DEVICE_LOG_PATH", self.path("tmp", "udp_client.log"))
        names = ["%s.%d" % (live, i) for i in range(9, -1, -1)] + [live]
        return "".join(self.read(n) for n in names)

    def log_messages(self):
        """Messages of the log lines, without the time, pid and level prefix."""
        parts = [line.split("] ", 3) for line in self.log().splitlines()]
        return [p[3] if len(p) == 4 else "] ".join(p) for p in parts]

    def count(self, message):
        return self.log_messages().count(message)

    def wait_log(self, text, timeout=30, count=1):
        """Waits until text occurs count times in the log."""
        return wait_until(lambda: self.log().count(text) >= count, timeout, 0.1)

    def wait_message(self, message, timeout=30, count=1):
        """Waits until a log line's message is exactly message, count times."""
        return wait_until(lambda: self.count(message) >= count, timeout, 0.1)

    def leftover_temp_files(self):
        """Exchange files left in the private directory, or anywhere in /tmp."""
        private = self.path("tmp", "vtclient")
        names = os.listdir(self.path("tmp")) + (os.listdir(private) if os.path.isdir(private) else [])
        return sorted(n for n in names if TEMP_FILE_PATTERN.match(n))

    def assert_serving(self, sim=None, timeout=20):
        """The agent is alive, keeps its channel and answers an invitation."""
        sim = sim or self.sim
        self.test.assertTrue(self.alive(), "vtclient died:\n" + self.read("stderr")[-2000:])
        self.test.assertTrue(wait_keepalives(sim, 1, timeout),
                             "no keepalive reached the server\n" + self.log()[-3000:])
        # Bit 3 of the mask means nothing to the agent: it refuses at once.
        reply = ask(sim, lambda s: s.invite(0x8), timeout)
        self.test.assertIsNotNone(reply, "the invitation went unanswered\n" + self.log()[-3000:])
        self.test.assertEqual(reply["result"], "refused")


def event_record(code, stamp, text):
    """A 140-byte event record in the agent's byte order."""
    return struct.pack(RECORD_ORDER + "ii132s", code, stamp, text)


def drop_event(spool, index):
    """Writes one event record the way producers should: whole, then renamed."""
    record = event_record(100 + index % 7, 1700000000 + index, ("event number %d" % index).encode())
    tmp = os.path.join(spool, "ev%06d.part" % index)
    with open(tmp, "wb") as f:
        f.write(record)
    os.rename(tmp, os.path.join(spool, "ev%06d.event" % index))


def uploaded_events(agent):
    """The event numbers in every event upload the fake tool answered so far."""
    found = []
    bodies = agent.path("wget", "bodies")
    for name in os.listdir(bodies):
        if name.startswith("event."):
            with open(os.path.join(bodies, name), "rb") as f:
                found += [int(n) for n in re.findall(rb"event number (\d+)", f.read())]
    return found


def spooled_events(agent):
    return [n for n in os.listdir(agent.path("spool")) if n.endswith(".event")]
