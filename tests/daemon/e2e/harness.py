"""Runs the real vtclient binary in a sandbox against the simulator.

An Agent owns one temporary VTCLIENT_ROOT with the device's identity files,
a configuration file and a spool directory, a Simulator (UDP and HTTPS
sides on 127.0.0.1) and the vtclient process. Waiting is always for a
condition with a bounded time-out; every process started is stopped by pid.
"""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", ".."))
sys.path.insert(0, os.path.join(REPO, "tools", "vtsim"))

from vtsim import Simulator  # noqa: E402

SERIAL = "00AABBCC0011"
FAKETIME_LIB = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1"

# Paths of the built programs, given by the test runner.
VTCLIENT = os.environ.get("VTCLIENT_BIN", os.path.join(REPO, "build", "default", "daemon", "vtclient"))
WGET_HTTPS = os.environ.get("WGET_HTTPS_BIN", "")


def wait_for(condition, timeout=10.0, step=0.05):
    """True as soon as condition() holds, False after timeout seconds."""
    deadline = time.monotonic() + timeout
    while True:
        if condition():
            return True
        if time.monotonic() >= deadline:
            return False
        time.sleep(step)


def base_config(sim, **extra):
    """A configuration that reaches the simulator; extra keys are added or replace."""
    keys = {
        "VANTOR_HOST": "127.0.0.1:%d" % sim.web.port,
        "UDP_REG_PATH": "udps/register",
        "DEVICE_SERIAL": SERIAL,
        "DEVICE_MODEL": "RT100",
        "DEVICE_VARIANT": "EU",
        "DEVICE_FIRMWARE": "1.2.3",
        "DEVICE_LOG_FILE_SIZE": "0",
        "FEATURE_CONFIG_PATH": "api/config",
        "FEATURE_REPORT_PATH": "api/report",
        "FEATURE_EVENT_PATH": "api/event",
        "FEATURE_REMOTE_ACTION_PATH": "api/action",
        "FEATURE_DEBUG_DUMP_PATH": "api/dump",
    }
    keys.update(extra)
    return "".join("%s=%s\n" % (k, v) for k, v in keys.items() if v is not None)


class Agent:
    """One sandbox, one simulator, one vtclient process."""

    def __init__(self, workdir=None):
        self.root = tempfile.mkdtemp(prefix="vtclient-e2e-")
        for sub in ("etc", "tmp", "bin", "usr/bin", "var/run", "spool"):
            os.makedirs(os.path.join(self.root, sub), exist_ok=True)
        self.sim = Simulator(SERIAL, workdir=workdir or os.path.join(self.root, "sim"))
        self.events = []
        self.sim.listeners.append(lambda name, fields: self.events.append((name, dict(fields))))
        self.sim.start()
        self.proc = None
        self.stdout_path = os.path.join(self.root, "stdout.txt")
        self.stderr_path = os.path.join(self.root, "stderr.txt")
        self.faketime_file = None
        self.bin_dir = os.path.join(self.root, "bin")
        if WGET_HTTPS:
            os.symlink(WGET_HTTPS, os.path.join(self.bin_dir, "wget_https"))

    # ----- sandbox -----

    def path(self, device_path):
        return os.path.join(self.root, device_path.lstrip("/"))

    def write(self, device_path, content, mode=None):
        path = self.path(device_path)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb" if isinstance(content, bytes) else "w") as f:
            f.write(content)
        if mode is not None:
            os.chmod(path, mode)
        return path

    def configure(self, **extra):
        self.write("/etc/vtclient.cfg", base_config(self.sim, **extra))

    def log_text(self):
        try:
            with open(self.path("/tmp/udp_client.log"), encoding="latin-1") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def log_messages(self):
        """Messages of the log lines, without the time, pid and level prefix."""
        out = []
        for line in self.log_text().splitlines():
            parts = line.split("] ", 3)
            out.append(parts[3] if len(parts) == 4 else line)
        return out

    def log_lines(self):
        return self.log_text().splitlines()

    def count(self, message):
        return sum(1 for m in self.log_messages() if m == message)

    def wait_message(self, message, timeout=10.0, count=1):
        return wait_for(lambda: self.count(message) >= count, timeout)

    def wait_containing(self, text, timeout=10.0):
        return wait_for(lambda: any(text in m for m in self.log_messages()), timeout)

    # ----- simulator -----

    def web_requests(self, path):
        return [r for r in list(self.sim.web.requests) if r.path == "/" + path.lstrip("/")]

    def replies(self, seq):
        return [r for r in list(self.sim.received) if r.get("seq") == seq and "result" in r]

    def received(self, what):
        return [r for r in list(self.sim.received) if r.get("what") == what]

    def wait_connected(self, timeout=15.0):
        """The device's first keepalive reached the simulator."""
        return wait_for(lambda: self.sim.peer is not None, timeout)

    # ----- process -----

    def start(self, args=(), faketime=None):
        env = dict(os.environ)
        env["VTCLIENT_ROOT"] = self.root
        env["PATH"] = self.bin_dir + ":" + env.get("PATH", "/usr/bin:/bin")
        env["WGET_HTTPS_CA_FILE"] = self.sim.web.ca_file
        if faketime is not None:
            self.faketime_file = os.path.join(self.root, "faketime.rc")
            with open(self.faketime_file, "w") as f:
                f.write(faketime + "\n")
            env["LD_PRELOAD"] = FAKETIME_LIB
            env["FAKETIME_TIMESTAMP_FILE"] = self.faketime_file
            env["FAKETIME_NO_CACHE"] = "1"
            env["FAKETIME_DONT_RESET"] = "1"
            # Only the wall clock steps; a device's monotonic clock never does.
            env["DONT_FAKE_MONOTONIC"] = "1"
            # A sanitizer build wants its runtime first; libfaketime is preloaded before it.
            env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"
        self.started = time.monotonic()
        with open(self.stdout_path, "wb") as out, open(self.stderr_path, "wb") as err:
            self.proc = subprocess.Popen([VTCLIENT] + list(args), env=env, stdout=out, stderr=err)
        return self.proc

    def set_faketime(self, offset):
        with open(self.faketime_file, "w") as f:
            f.write(offset + "\n")

    def run(self, args=(), timeout=20):
        """Starts vtclient and waits for it to end; returns its exit status."""
        self.start(args)
        return self.proc.wait(timeout=timeout)

    def stdout(self):
        with open(self.stdout_path, "rb") as f:
            return f.read().decode("latin-1")

    def stderr(self):
        with open(self.stderr_path, "rb") as f:
            return f.read().decode("latin-1")

    def signal(self, number):
        self.proc.send_signal(number)

    def stop(self, timeout=15):
        """SIGTERM, then SIGKILL if it does not leave; returns the exit status."""
        if self.proc is None or self.proc.poll() is not None:
            return None if self.proc is None else self.proc.returncode
        self.proc.send_signal(signal.SIGTERM)
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            return None

    def close(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.sim.stop()
        if os.environ.get("VTCLIENT_E2E_KEEP"):
            print("sandbox kept:", self.root, file=sys.stderr)
        else:
            shutil.rmtree(self.root, ignore_errors=True)
