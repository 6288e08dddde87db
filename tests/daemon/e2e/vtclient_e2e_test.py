"""End-to-end tests of the vtclient binary on the fault tests' harness, with the
real wget_https over TLS: the command line, the settings lines, the states in the
status snapshot, vtclient-status and the service manager's notifications."""
import json
import os
import re
import select
import signal
import socket
import stat
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "faults"))
from harness import EXEC_PREFIX, FAKETIME_LIB, FAST_CLOCK, SANITIZED, VTCLIENT, Agent, wait_until  # noqa: E402

SNAPSHOT = "var/run/vtclient/status.json"
USAGE = "Vantor UDP Client daemon for real time protocol\nREV $Name:  $\n\nUsage: {0} [-v]\n-v:\tshow version\n"


class CommandLineAndConfiguration(unittest.TestCase):

    def test_usage_settings_lines_and_a_missing_or_empty_configuration(self):
        agent = Agent(self, tool="real", config={"DEVICE_KEEPALIVE_INTERVAL": "60", "DEVICE_DISCONNECT_TIMEOUT": "700",
                                                 "FEATURE_CONFIG_TRIGGER_SUPPORT": "2"})
        for args in (["-v"], ["-x"], ["-v", "extra"]):  # the configuration is never read
            agent.start(args)
            self.assertEqual((agent.proc.wait(20), agent.read("stdout"), agent.log()), (0, USAGE.format(VTCLIENT), ""))
        # The settings lines in order, then their fallbacks.
        lines = [l.format(agent.root) for l in [
            "log enable: 1", "log file: {0}/tmp/udp_client.log", "log size: 0", "log num: 4", "keepalive: 60",
            "disconnect: 700", "bl size: 10", "interface: {0}/tmp/interface.update",
            "config trigger: 2 [{0}/tmp/syncConfig.now]", "gps trigger: 0 [{0}/tmp/syncConfig.now]",
            "Set KEEPALIVE INTERVAL error, set to default(25).", "Set DISCONNECT TIMEOUT error, set to default(70)."]]
        agent.start()
        agent.expect(lines[-1])
        messages = agent.log_messages()
        self.assertEqual([m for m in messages if m in lines], lines)
        # The build comes first, at level 6, then the settings at level 5.
        self.assertRegex(messages[0], r"^vtclient %s( \(.+\))?$" % re.escape(os.environ["VTCLIENT_VERSION"]))
        self.assertEqual(messages[1], lines[0])
        self.assertIn("[info] %s\n" % messages[0], agent.log())
        self.assertIn("[notice] keepalive: 60\n", agent.log())
        self.assertEqual(agent.stop(), 0)
        agent.config = None
        os.unlink(agent.path("etc/vtclient.cfg"))
        for content in (None, "# only a comment\n#KEY=value\n\n"):
            os.unlink(agent.path("tmp/udp_client.log"))
            if content is not None:
                agent.write("etc/vtclient.cfg", content)
            agent.start()
            self.assertEqual(agent.proc.wait(20), 0)
            self.assertIn("[err] Config file err", agent.log())


class StatusSnapshot(unittest.TestCase):

    def status(self, agent, faketime=None):  # vtclient-status: (exit status, first line of its summary)
        env = dict(os.environ, VTCLIENT_ROOT=agent.root, TZ="UTC", **(
            {"LD_PRELOAD": FAKETIME_LIB, "FAKETIME": faketime} if faketime else {}))
        run = subprocess.run(EXEC_PREFIX + [agent.path("bin", "vtclient-status")], env=env, capture_output=True,
                             text=True, timeout=30)
        return run.returncode, (run.stdout or run.stderr).split("\n")[0]

    def test_states_in_snapshot_status_exit_and_notify_lines(self):
        # The wall clock runs ten times faster where it can: the server's silence passes in seconds.
        agent = Agent(self, tool="real", speed=10)
        os.symlink(VTCLIENT, agent.path("bin", "vtclient-status"))  # the agent's program, started by that name
        tmp = agent.path("tmp")
        agent.config.update(
            FEATURE_CONFIG_SUPPORT="1", FEATURE_CONFIG_TIMEOUT="600", FEATURE_CONFIG_SOURCE=tmp + "/device.cfg",
            FEATURE_CONFIG_FETCH_CMD="while [ ! -e %s/go ]; do sleep 0.05; done; echo a=b > %s/device.cfg" % (tmp, tmp),
            FEATURE_FIRMWARE_SUPPORT="1", FEATURE_FIRMWARE_TIMEOUT="600", FEATURE_FIRMWARE_AUTO_RETRY="0",
            FEATURE_FIRMWARE_ACTION_CMD="false", FEATURE_REMOTE_ACTION_SUPPORT="1",
            FEATURE_REMOTE_ACTION_TIMEOUT="600", FEATURE_REMOTE_ACTION_CMD="printf '<%s>'")
        # systemd's notification socket, stood in for.
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.addCleanup(sock.close)
        sock.bind(agent.path("notify.sock"))
        agent.env["NOTIFY_SOCKET"] = agent.path("notify.sock")
        sim, udp = agent.sim, "127.0.0.1:%d" % agent.sim.udp_port
        sim.web.auth_mode = "plain"  # the authorisation is refused until the first row is seen
        agent.start()
        feature = lambda name, result: lambda s: s["features"][name]["result"] == result

        def silence():
            sim.answer_keepalives = False
            sim.web.auth_mode = "down"

        connected = "vtclient is connected"
        rows = [  # what happens, what the snapshot then shows, vtclient-status: exit, first line
            (None, lambda s: s["channel"]["state"] == "authorising" and (s["last_error"] or {}).get("message") ==
             "Get AUTH Fail", 1, "vtclient is running but not connected (authorising)"),
            (lambda: setattr(sim.web, "auth_mode", "ok"), lambda s: s["channel"]["state"] == "connected", 0, connected),
            (lambda: sim.invite(0x2), feature("config_sync", "running"), 0, connected),
            (lambda: agent.write("tmp/go", ""), feature("config_sync", "succeeded"), 0, connected),
            (lambda: sim.invite(0x1), feature("firmware", "failed"), 0, connected),
            (lambda: sim.action(77, ["a", "b c"]), feature("remote_action", "succeeded"), 0, connected),
            (silence, lambda s: s["channel"]["state"] == "re-establishing", 1,
             "vtclient is running but not connected (re-establishing)"),
        ]
        snapshot = lambda: json.loads(agent.read(SNAPSHOT) or "null")
        for action, shows, code, line in rows:  # each snapshot with its modes and no session key
            with self.subTest(line=line, shows=shows):
                if action:
                    action()
                snap = wait_until(lambda: snapshot() if snapshot() and shows(snapshot()) else None, 120)
                self.assertIsNotNone(snap, "snapshot never got there: %s\n%s" % (snapshot(), agent.log()[-2000:]))
                self.assertNotIn(agent.sim.key, agent.read(SNAPSHOT))
                for path, mode in ((os.path.dirname(SNAPSHOT), 0o755), (SNAPSHOT, 0o644)):
                    self.assertEqual(stat.S_IMODE(os.lstat(agent.path(path)).st_mode), mode, path)
                self.assertEqual(self.status(agent), (code, line))
        channel, config_sync = snap["channel"], snap["features"]["config_sync"]
        self.assertEqual((snap["schema"], snap["agent"]["pid"], snap["agent"]["cycle_reason"], channel["server_host"],
                          channel["server_port"], channel["sessions"], channel["statistics"]["local_recv"] > 0,
                          config_sync["last_start"] <= config_sync["last_end"]),
                         (1, agent.proc.pid, "start", "127.0.0.1", sim.udp_port, 1, True, True))

        # Frozen, its snapshot ages for a reader with its clock moved on (not
        # under a sanitizer, whose runtime keeps libfaketime from the reader's clock).
        if FAST_CLOCK and not SANITIZED:
            os.kill(agent.proc.pid, signal.SIGSTOP)
            later = time.strftime("@%Y-%m-%d %H:%M:%S", time.gmtime(snap["written"] + 121))
            self.assertEqual(self.status(agent, faketime=later)[0], 2)
            os.kill(agent.proc.pid, signal.SIGCONT)
        # Then stopped: gone.
        self.assertEqual(agent.stop(), 0)
        self.assertEqual(json.loads(agent.read(SNAPSHOT))["channel"]["state"], "stopped")
        self.assertEqual(self.status(agent)[0], 2)
        lines = [sock.recv(4096).decode() for _ in iter(lambda: select.select([sock], [], [], 0)[0], [])]
        self.assertEqual(lines[:2], ["READY=1", "STATUS=authorising with " + agent.config["VANTOR_HOST"]])
        self.assertRegex(lines[2], r"^STATUS=connected to %s via Default since \w{3} \w{3} \d\d " % re.escape(udp))
        self.assertEqual(lines[3:], ["STATUS=re-establishing the session with " + udp, "STATUS=stopped", "STOPPING=1"])
