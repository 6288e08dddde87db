"""The agent's main job, shown to a person.

Runs vtclient in a sandbox (VTCLIENT_ROOT) against the management-server
simulator, with the wget_https stand-in speaking real TLS to the
simulator's HTTPS side. A sample configuration turns the features on, and a
short script of server requests and device events walks through what the
agent does: authorisation, keepalives, an invitation and its configuration
sync, a remote action and its uploaded output, a GPS report, and an
event-log upload after SIGUSR1. Ends by itself after a bounded time or on
Ctrl-C, stopping the agent by its pid.

    /usr/bin/python3 scripts/demo.py --vtclient BUILD/daemon/vtclient \
        --wget-https BUILD/tools/wget_https/wget_https [--seconds 75]
"""

import argparse
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(REPO, "tools", "vtsim"))

from vtsim import Simulator  # noqa: E402

SERIAL = "1234-5678-ABCD"        # as the device's label shows it
PACKED_SERIAL = "12345678ABCD"   # as the agent sends it
PRIVATE = "/var/lib/vtclient"    # root's own directory, mode 0700, in the sandbox
START = time.monotonic()
OUT_LOCK = threading.Lock()


def say(who, text):
    with OUT_LOCK:
        print("%5.1fs  %-6s %s" % (time.monotonic() - START, who, text), flush=True)


def sample_config(root, web_port):
    """Every feature on, with device commands that stand in for the real ones."""
    return {
        "VANTOR_HOST": "127.0.0.1:%d" % web_port,
        "UDP_REG_PATH": "udps/register",
        "DEVICE_SERIAL": SERIAL,
        "DEVICE_MODEL": "RT100",
        "DEVICE_VARIANT": "EU",
        "DEVICE_FIRMWARE": "2.4.1",
        "DEVICE_KEEPALIVE_INTERVAL": "10",
        "DEVICE_LOG_FILE_SIZE": "0",
        "FEATURE_CONFIG_SUPPORT": "1",
        "FEATURE_CONFIG_PATH": "api/config",
        "FEATURE_CONFIG_TIMEOUT": "60",
        # The device's configuration lives in a directory of root's alone,
        # never straight in the shared /tmp.
        "FEATURE_CONFIG_SOURCE": root + PRIVATE + "/running.cfg",
        "FEATURE_CONFIG_FETCH_CMD": "printf 'hostname=router\\nwifi_ssid=guest\\n' > %s%s/running.cfg" % (root, PRIVATE),
        "FEATURE_CONFIG_APPLY_CMD": "cp %s%s/running.cfg %s/tmp/applied.cfg" % (root, PRIVATE, root),
        "FEATURE_REMOTE_ACTION_SUPPORT": "1",
        "FEATURE_REMOTE_ACTION_PATH": "api/action",
        "FEATURE_REMOTE_ACTION_TIMEOUT": "60",
        "FEATURE_REMOTE_ACTION_CMD": "echo ping",
        "FEATURE_GPSDATA_SUPPORT": "1",
        "FEATURE_GPSDATA_TIMEOUT": "30",
        "FEATURE_GPSDATA_FETCH_CMD": "echo 1 $(date +%s) 51.5014 -0.1419",
        "FEATURE_GPSDATA_TRIGGER_SUPPORT": "1",
        "FEATURE_GPSDATA_TRIGGER_FILE": root + "/tmp/gps.now",
        "FEATURE_EVENT_SUPPORT": "1",
        "FEATURE_EVENT_PATH": "api/event",
        "FEATURE_EVENT_SPOOL": root + "/spool/",
    }


class Demo:
    def __init__(self, args):
        self.args = args
        self.root = tempfile.mkdtemp(prefix="vtclient-demo-")
        for sub in ("etc", "tmp", "bin", "spool", "sim", "var/run"):
            os.makedirs(os.path.join(self.root, sub))
        os.makedirs(self.root + PRIVATE, mode=0o700)
        os.symlink(os.path.abspath(args.wget_https), os.path.join(self.root, "bin", "wget_https"))
        self.sim = Simulator(PACKED_SERIAL, workdir=os.path.join(self.root, "sim"))
        self.sim.listeners.append(self.on_event)
        self.agent = None
        self.stop = threading.Event()
        self.log_offset = 0

    # What the server sees, in words.
    def on_event(self, name, f):
        what = f.get("what", "")
        if name == "recv":
            if what == "keepalive":
                say("server", "<- keepalive seq=%s" % f.get("seq"))
            elif what == "gps":
                stamp, lat, lon, valid = f.get("gps", "0,0,0,0").split(",")
                say("server", "<- GPS report lat=%.6f lon=%.6f valid=%s" % (int(lat) / 1e6, int(lon) / 1e6, valid))
            elif "result" in f:
                say("server", "<- reply to seq=%s: %s" % (f.get("seq"), f.get("result")))
            if f.get("errors"):
                say("server", "   !! packet check failed: %s" % f.get("errors"))
        elif name == "send" and what not in ("keepalive-reply",):
            say("server", "-> %s seq=%s payload=%s" % (what, f.get("seq"), f.get("payload", "")))
        elif name == "https":
            if f.get("path") == "/api/config":
                # The first sync brings a new configuration; the next one confirms it.
                self.sim.web.script("api/config", "200 OK", b"")
            say("server", "<- HTTPS %s %s (%s bytes) answered %s" % (f.get("method"), f.get("path"),
                                                                  f.get("len"), f.get("status")))

    def show_agent_log(self):
        path = os.path.join(self.root, "tmp", "udp_client.log")
        while not self.stop.is_set():
            try:
                with open(path, encoding="latin-1") as f:
                    f.seek(self.log_offset)
                    chunk = f.read()
                    self.log_offset = f.tell()
                for line in chunk.splitlines():
                    if line.strip():
                        say("agent", line.split("] ", 2)[-1])
            except FileNotFoundError:
                pass
            self.stop.wait(0.2)

    def wait(self, condition, timeout):
        deadline = time.monotonic() + timeout
        while not self.stop.is_set() and time.monotonic() < deadline:
            if condition():
                return True
            time.sleep(0.1)
        return False

    def pause(self, seconds):
        """Waits, but ends the demo as soon as the agent is gone."""
        deadline = time.monotonic() + seconds
        while not self.stop.is_set() and time.monotonic() < deadline:
            if self.agent is not None and self.agent.poll() is not None:
                say("demo", "vtclient ended with status %d" % self.agent.returncode)
                self.stop.set()
                return
            self.stop.wait(min(0.5, max(0.0, deadline - time.monotonic())))

    def web(self, path):
        return [r for r in list(self.sim.web.requests) if r.path == path]

    def run(self):
        self.sim.start()
        self.sim.web.script("api/config", "302 Found", b"hostname=router\nwifi_ssid=guest\nntp=pool.ntp.org\n")
        config = sample_config(self.root, self.sim.web.port)
        with open(os.path.join(self.root, "etc", "vtclient.cfg"), "w") as f:
            f.write("# vtclient sample configuration (demo)\n")
            f.writelines("%s=%s\n" % kv for kv in config.items())
        say("demo", "sandbox %s" % self.root)
        say("demo", "simulator: UDP 127.0.0.1:%d, HTTPS 127.0.0.1:%d" % (self.sim.udp_port, self.sim.web.port))

        env = dict(os.environ, VTCLIENT_ROOT=self.root, WGET_HTTPS_CA_FILE=self.sim.web.ca_file,
                   PATH=os.path.join(self.root, "bin") + ":" + os.environ.get("PATH", "/usr/bin:/bin"))
        self.agent = subprocess.Popen([os.path.abspath(self.args.vtclient)], env=env,
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        say("demo", "vtclient started, pid %d" % self.agent.pid)
        threading.Thread(target=self.show_agent_log, daemon=True).start()

        steps = [
            ("authorisation and the first keepalive", self.step_connect),
            ("configuration sync invitation", self.step_invitation),
            ("remote action", self.step_action),
            ("GPS report", self.step_gps),
            ("event-log upload after SIGUSR1", self.step_event_log),
        ]
        for title, step in steps:
            if self.stop.is_set() or self.agent.poll() is not None:
                break
            say("demo", "=== %s ===" % title)
            step()
        if not self.stop.is_set():
            remaining = self.args.seconds - (time.monotonic() - START)
            if remaining > 0:
                say("demo", "=== keepalives until the %d s are up (Ctrl-C ends it sooner) ===" % self.args.seconds)
                self.pause(remaining)

    def step_connect(self):
        if not self.wait(lambda: self.sim.peer is not None, 20):
            say("demo", "the agent did not reach the simulator")
            return
        self.pause(1)

    def step_invitation(self):
        self.sim.invite(0x2)
        self.wait(lambda: len(self.web("/api/config")) >= 2, 20)
        self.pause(1)
        applied = os.path.join(self.root, "tmp", "applied.cfg")
        if os.path.exists(applied):
            with open(applied) as f:
                say("demo", "configuration applied on the device: %s" % f.read().strip().replace("\n", ", "))

    def step_action(self):
        self.sim.action(4711, ["-c", "1", "127.0.0.1"])
        if self.wait(lambda: self.web("/api/action"), 20):
            body = self.web("/api/action")[0].body
            marker = b'name="response"\r\n\r\n'
            output = body[body.find(marker) + len(marker):].split(b"\r\n---")[0] if marker in body else body
            say("demo", "uploaded action output: %r" % output.decode("latin-1"))
        self.pause(2)

    def step_gps(self):
        with open(os.path.join(self.root, "tmp", "gps.now"), "w"):
            pass
        say("demo", "created the GPS trigger file")
        self.wait(lambda: any(r.get("what") == "gps" for r in list(self.sim.received)), 15)
        self.pause(1)

    def step_event_log(self):
        record = struct.pack("=ii132s", 3, int(time.time()), b"WAN link up")
        tmp = os.path.join(self.root, "spool", "0001.tmp")
        with open(tmp, "wb") as f:
            f.write(record)
        os.rename(tmp, os.path.join(self.root, "spool", "0001.event"))
        say("demo", "spooled one event, sending SIGUSR1 to pid %d" % self.agent.pid)
        self.agent.send_signal(signal.SIGUSR1)
        self.wait(lambda: self.web("/api/event"), 15)
        self.pause(1)

    def shutdown(self):
        self.stop.set()
        if self.agent is not None and self.agent.poll() is None:
            say("demo", "stopping vtclient (SIGTERM to pid %d)" % self.agent.pid)
            self.agent.send_signal(signal.SIGTERM)
            try:
                status = self.agent.wait(timeout=15)
                say("demo", "vtclient left with status %d" % status)
            except subprocess.TimeoutExpired:
                self.agent.kill()
                self.agent.wait()
        time.sleep(0.3)
        self.show_remaining_log()
        self.sim.stop()
        if self.args.keep:
            say("demo", "sandbox kept: %s" % self.root)
        else:
            shutil.rmtree(self.root, ignore_errors=True)

    def show_remaining_log(self):
        path = os.path.join(self.root, "tmp", "udp_client.log")
        try:
            with open(path, encoding="latin-1") as f:
                f.seek(self.log_offset)
                for line in f.read().splitlines():
                    if line.strip():
                        say("agent", line.split("] ", 2)[-1])
        except FileNotFoundError:
            pass


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--vtclient", required=True)
    parser.add_argument("--wget-https", required=True)
    parser.add_argument("--seconds", type=int, default=75, help="how long the demo runs")
    parser.add_argument("--keep", action="store_true", help="keep the sandbox afterwards")
    args = parser.parse_args()
    demo = Demo(args)
    # Ctrl-C and SIGTERM both end the demo through the same clean path.
    signal.signal(signal.SIGTERM, lambda *_: demo.stop.set())
    # Ctrl-C works even when started from a shell that ignores SIGINT for its children.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        demo.run()
    except KeyboardInterrupt:
        say("demo", "interrupted")
    finally:
        demo.shutdown()
    return 0


if __name__ == "__main__":
    sys.exit(main())
