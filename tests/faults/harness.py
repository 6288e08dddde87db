"""The one harness of the end-to-end and fault tests: an Agent is the real vtclient in a
sandbox (VTCLIENT_ROOT) against a Simulator (tools/vtsim) on 127.0.0.1, with the real
wget_https over TLS or fake_wget_https.sh, steered through files under wget/. Every
process runs in a session of its own, stopped by its pid; every wait is bounded."""
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
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools", "vtsim"))
from vtsim import Simulator  # noqa: E402

SERIAL = "00AABBCC0011"
VTCLIENT = os.environ.get("VTCLIENT_BIN", "")
WGET_HTTPS = os.environ.get("WGET_HTTPS_BIN", "")
FAKE_WGET = os.path.join(HERE, "..", "support", "fake_wget_https.sh")
BUILD_TYPE = os.environ.get("VTCLIENT_BUILD_TYPE", "").lower()
SANITIZED = BUILD_TYPE in ("asan", "tsan")
TSAN = BUILD_TYPE == "tsan"  # libfaketime's waits look like double locks to it: no faked clock there
FAKETIME_LIB = "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1"
# Put before the agent's command (qemu for a MIPS build); everything else stays
# native. An emulator run with "-U LD_PRELOAD" takes libfaketime itself.
EXEC_PREFIX = shlex.split(os.environ.get("VTCLIENT_EXEC", ""))
FAKETIME_IN_EMULATOR = "-U" in EXEC_PREFIX and "LD_PRELOAD" in EXEC_PREFIX
FAST_CLOCK = not TSAN and (not EXEC_PREFIX or FAKETIME_IN_EMULATOR)
# Files the agent's exchanges create and must remove again.
TEMP_FILE_PATTERN = re.compile(r"^(udps_.*\.(in|header|dump)|debug_dump\.(in|header|tmp)|"
                               r"action_tmp|qdms_debug_dump\.dump|ISP_tmp)$")
SANITIZER_REPORT = re.compile(r"ERROR: (Address|Leak|Thread)Sanitizer|WARNING: ThreadSanitizer|runtime error:")
require_agent = unittest.skipUnless(VTCLIENT and os.access(VTCLIENT, os.X_OK), "VTCLIENT_BIN names no vtclient")


def agent_is_big_endian():  # VTCLIENT_BIG_ENDIAN=1/0, else the agent's ELF header (EI_DATA)
    if os.environ.get("VTCLIENT_BIG_ENDIAN"):
        return os.environ["VTCLIENT_BIG_ENDIAN"] == "1"
    with open(VTCLIENT, "rb") if os.path.isfile(VTCLIENT) else open(os.devnull, "rb") as f:
        return f.read(6) in (b"\x7fELF\x01\x02", b"\x7fELF\x02\x02")


RECORD_ORDER = ">" if agent_is_big_endian() else "<"  # of the device's event files


def wait_until(condition, timeout, interval=0.05):
    """Polls condition until it is true or timeout seconds pass; returns its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


def received(sim, what):
    return [r for r in list(sim.received) if r.get("what") == what]


def ask(sim, send, timeout=20.0, resend=2.0):
    """Sends a request (send(sim) calls a simulator sender), again with a fresh seq and
    the same id every resend seconds; the first reply's record, or None."""
    deadline = time.monotonic() + timeout
    seq, msg_id, _ = send(sim)
    seqs = [seq]
    reply = lambda: next((r for r in list(sim.received) if r.get("seq") in seqs and "result" in r), None)
    while not wait_until(reply, max(0.0, min(resend, deadline - time.monotonic())), 0.01):
        if time.monotonic() >= deadline:
            return None
        seqs.append(sim.retransmit(msg_id)[0])
    return reply()


class Agent:
    """One vtclient in a sandbox, with its simulator and fetch tool. speed: the wall
    clock runs that many times faster (libfaketime), so that its time-outs pass in
    moments while monotonic waits stay real; where libfaketime cannot go, at real speed."""

    def __init__(self, test, config=None, tool="fake", speed=None):
        self.test, self.proc, self.sims, self.env = test, None, [], {}
        self.root = tempfile.mkdtemp(prefix="vtclient-test-")
        for sub in ("etc", "tmp", "spool", "bin", "wget/bodies", "var/run"):
            os.makedirs(self.path(sub))
        test.addCleanup(self.cleanup)
        self.sim = self.new_simulator()
        if tool == "real" and WGET_HTTPS:
            os.symlink(WGET_HTTPS, self.path("bin", "wget_https"))
        elif tool == "fake":
            shutil.copy(FAKE_WGET, self.path("bin", "wget_https"))
        self.config = {
            "VANTOR_HOST": "127.0.0.1:%d" % self.sim.web.port, "UDP_REG_PATH": "udps/register",
            "DEVICE_SERIAL": SERIAL, "DEVICE_MODEL": "RT100", "DEVICE_VARIANT": "EU", "DEVICE_FIRMWARE": "1.2.3",
            "DEVICE_KEEPALIVE_INTERVAL": "5", "DEVICE_LOG_FILE_SIZE": "0", "FEATURE_CONFIG_PATH": "api/config",
            "FEATURE_EVENT_SPOOL": self.path("spool") + "/", "FEATURE_REPORT_PATH": "api/report",
            "FEATURE_EVENT_PATH": "api/event", "FEATURE_REMOTE_ACTION_PATH": "api/action",
            "FEATURE_DEBUG_DUMP_PATH": "api/dump"}
        self.config.update(config or {})
        fast = speed and not TSAN and not EXEC_PREFIX  # a test may set its own faketime before start
        self.faketime = {"FAKETIME": "+0 x%d" % speed, "DONT_FAKE_MONOTONIC": "1"} if fast else None

    def path(self, *parts):
        return os.path.join(self.root, *parts)  # an absolute part stays as it is

    def private(self, name):  # in a directory only the agent's user may enter, as a device keeps such files
        folder = self.path("var", "lib", "vtclient")
        os.makedirs(folder, mode=0o700, exist_ok=True)
        return os.path.join(folder, name)

    def write(self, rel, content):
        with open(self.path(rel), "wb" if isinstance(content, bytes) else "w") as f:
            f.write(content)
    def write_config(self):
        self.write("etc/vtclient.cfg", "".join("%s=%s\n" % kv for kv in self.config.items()))

    def small_disk(self, rel):  # a 64 KiB tmpfs mounted at rel for this test; skips it where none can be
        os.makedirs(self.path(rel))
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", self.path(rel)],
                          stderr=subprocess.DEVNULL).returncode != 0:
            self.test.skipTest("cannot mount a small tmpfs here")
        self.test.addCleanup(subprocess.run, ["umount", "-l", self.path(rel)])
        return self.path(rel)

    def new_simulator(self):  # on fresh ports with a fresh key, named by the fake tool's registration answer
        sim = Simulator(SERIAL, workdir=self.path("sim%d" % len(self.sims)))
        sim.start()
        self.sims.append(sim)
        self.write("wget/answer.register", "302 Found\n%s\n127.0.0.1\n%d\n" % (sim.key, sim.udp_port))
        return sim

    def set_wget(self, mode, kind=None):  # how the fake tool answers (ok, fail, hang, garbage), for one URL kind or all
        self.write(self.path("wget", "mode" + ("." + kind if kind else "")), mode)
    def wget_calls(self, kind=None):
        return len([c for c in self.read("wget/calls").split() if kind is None or c == kind])
    def bodies(self, kind):  # what the fake tool uploaded for a URL kind, oldest first
        return [self.read("wget/bodies/" + n) for n in sorted(os.listdir(self.path("wget", "bodies")))
                if n.startswith(kind + ".")]

    def start(self, args=(), cpus=None):
        """Starts vtclient, its configuration written from config unless that is None;
        cpus: a taskset CPU list to pin it to (taskset execs: same pid)."""
        if self.config is not None:
            self.write_config()
        env = dict(os.environ, VTCLIENT_ROOT=self.root, WGET_HTTPS_CA_FILE=self.sim.web.ca_file,
                   PATH=self.path("bin") + ":/usr/bin:/bin", **self.env)
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"  # libfaketime first
        if self.faketime is not None:
            if EXEC_PREFIX and not FAKETIME_IN_EMULATOR:
                self.test.skipTest("needs libfaketime inside the agent, which runs under %s" % EXEC_PREFIX[0])
            env.update(self.faketime, LD_PRELOAD=FAKETIME_LIB)
        with open(self.path("stdout"), "wb") as out, open(self.path("stderr"), "wb") as err:
            self.proc = subprocess.Popen((["taskset", "-c", cpus] if cpus else []) + EXEC_PREFIX + [VTCLIENT] +
                                         list(args), cwd=self.root, env=env, stdout=out, stderr=err,
                                         start_new_session=True)

    def alive(self):
        return self.proc is not None and self.proc.poll() is None
    def signal(self, sig):
        os.kill(self.proc.pid, sig or signal.SIGTERM)

    def stop(self, timeout=15):
        """SIGTERM to the process group (a command that never ends goes too), then
        SIGKILL to what is left; returns the agent's exit status."""
        for sig in (signal.SIGTERM, signal.SIGKILL) if self.proc else ():
            try:
                os.killpg(self.proc.pid, sig)
                self.proc.wait(timeout)
            except (ProcessLookupError, subprocess.TimeoutExpired):
                pass
        return self.proc and self.proc.returncode

    def terminate(self, sig=None):
        """Sends sig (SIGTERM) to the agent alone, as procd and systemd do: it exits with 0 within 5 s."""
        self.signal(sig)
        self.test.assertTrue(wait_until(lambda: self.proc.poll() is not None, 5.0), self.log()[-2000:])
        self.test.assertEqual(self.proc.returncode, 0, self.read("stderr")[-2000:])

    def session_processes(self):  # live processes left in the agent's session (a zombie may wait for init)
        ps = subprocess.run(["ps", "-s", str(self.proc.pid), "-o", "pid=,stat="], capture_output=True, text=True)
        return [int(p) for p, st in map(str.split, ps.stdout.splitlines()) if int(p) != self.proc.pid and st[0] != "Z"]

    def memory_kib(self):  # peak RSS
        with open("/proc/%d/status" % self.proc.pid) as f:
            return next(int(l.split()[1]) for l in f if l.startswith("VmHWM:"))

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

    def read(self, rel):  # a sandbox file's text; "" when it is missing or no regular file (a FIFO)
        try:
            fd = os.open(self.path(rel), os.O_RDONLY | os.O_NONBLOCK)
        except FileNotFoundError:
            return ""
        with open(fd, "rb") as f:
            return f.read().decode("latin-1") if stat.S_ISREG(os.fstat(fd).st_mode) else ""

    def log(self):  # rotated files first
        live = (self.config or {}).get("DEVICE_LOG_PATH", self.path("tmp", "udp_client.log"))
        return "".join(self.read(n) for n in ["%s.%d" % (live, i) for i in range(9, -1, -1)] + [live])

    def log_messages(self):  # without the time, pid and level prefix
        parts = [line.split("] ", 3) for line in self.log().splitlines()]
        return [p[3] if len(p) == 4 else "] ".join(p) for p in parts]

    def count(self, message):  # lines whose message is exactly message
        return self.log_messages().count(message)
    def check(self, condition, timeout=30):  # condition comes true within timeout, else fails with the log's tail
        self.test.assertTrue(wait_until(condition, timeout), self.log()[-2000:])
    def expect(self, text, timeout=30, count=1):
        self.check(lambda: self.log().count(text) >= count, timeout)

    def leftover_temp_files(self):  # exchange files left in the private directory or in /tmp
        private = self.path("tmp", "vtclient")
        names = os.listdir(self.path("tmp")) + (os.listdir(private) if os.path.isdir(private) else [])
        return sorted(n for n in names if TEMP_FILE_PATTERN.match(n))

    def assert_serving(self, sim=None, timeout=20):
        """The agent is alive, a keepalive has reached this server (the first of a session
        is sent at once, maybe before this call), and an invitation is answered now."""
        sim = sim or self.sim
        self.test.assertTrue(self.alive(), "vtclient died:\n" + self.read("stderr")[-2000:])
        self.test.assertTrue(wait_until(lambda: received(sim, "keepalive"), timeout),
                             "no keepalive reached the server\n" + self.log()[-3000:])
        reply = ask(sim, lambda s: s.invite(0x8), timeout)  # bit 3 means nothing: refused at once
        self.test.assertIsNotNone(reply, "the invitation went unanswered\n" + self.log()[-3000:])
        self.test.assertEqual(reply["result"], "refused")

    def started(self, config=None):  # with more configuration; checks it serves
        self.config.update(config or {})
        self.start()
        self.assert_serving()
        return self

    def accepts(self, send):  # a request the agent must accept
        self.test.assertEqual(ask(self.sim, send)["result"], "accepted")


def event_record(code, stamp, text):  # 140 bytes in the agent's byte order
    return struct.pack(RECORD_ORDER + "ii132s", code, stamp, text)


def uploaded_events(agent):  # the event numbers in every event upload the fake tool answered
    return [int(n) for body in agent.bodies("event") for n in re.findall(r"event number (\d+)", body)]


def drop_event(spool, index):  # one event file written the way producers should: whole, then renamed
    with open(os.path.join(spool, "ev%06d.part" % index), "wb") as f:
        f.write(event_record(100 + index % 7, 1700000000 + index, ("event number %d" % index).encode()))
    os.rename(f.name, os.path.join(spool, "ev%06d.event" % index))


def spooled_events(agent):
    return [n for n in os.listdir(agent.path("spool")) if n.endswith(".event")]
