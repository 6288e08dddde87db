"""End-to-end tests of the vtclient binary: a sandboxed VTCLIENT_ROOT, the
simulator's UDP and HTTPS sides, and the wget_https stand-in over TLS. What
the unit tests prove of handlers, scheduling and log lines is not proved
again here, nor what the fault tests prove (tests/faults, signals among them)."""

import json
import os
import re
import signal
import socket
import stat
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "faults"))
from harness import (BUILD_TYPE, EXEC_PREFIX, FAKETIME_LIB, VTCLIENT, Agent, ask, clock_can_run_fast,  # noqa: E402
                     wait_until)

USAGE = "Vantor UDP Client daemon for real time protocol\nREV $Name:  $\n\nUsage: {0} [-v]\n-v:\tshow version\n"


class AgentTest(unittest.TestCase):
    def setUp(self):
        self.agent = Agent(self, tool="real")

    def start(self, agent=None, **config):
        agent = agent or self.agent
        agent.config.update(config)
        agent.start()
        self.assertTrue(wait_until(lambda: agent.sim.peer, 30), "no keepalive reached the simulator")
        return agent

    def assert_uploaded(self, path, *parts):
        """The feature upload to path arrived once, its body holding every part."""
        self.assertTrue(wait_until(lambda: self.agent.web_requests(path), 30), path + " not uploaded")
        for part in parts:
            self.assertIn(part, self.agent.web_requests(path)[0].body)


class CommandLineAndConfiguration(AgentTest):
    def test_usage_for_v_and_for_any_other_option(self):
        for args in (["-v"], ["-x"], ["-v", "extra"]):
            self.assertEqual(self.agent.run(args), 0)
            self.assertEqual(self.agent.read("stdout"), USAGE.format(VTCLIENT))
            self.assertEqual(self.agent.log(), "")  # the configuration is never read

    def test_missing_or_comment_only_configuration(self):
        self.agent.config = None
        for content in (None, "# only a comment\n#KEY=value\n\n"):
            if content is not None:
                self.agent.write("etc/vtclient.cfg", content)
            self.assertEqual(self.agent.run(), 0)
            self.assertIn("[err] Config file err", self.agent.log())
            os.unlink(self.agent.path("tmp/udp_client.log"))

    def test_settings_lines_in_order_with_their_fallbacks(self):
        root = self.agent.root
        expected = ["log enable: 1", "log file: %s/tmp/udp_client.log" % root, "log size: 0", "log num: 4",
                    "keepalive: 60", "disconnect: 70", "bl size: 10", "interface: %s/tmp/interface.update" % root,
                    "config trigger: 2 [%s/tmp/syncConfig.now]" % root, "gps trigger: 0 [%s/tmp/syncConfig.now]" % root]
        refused = "Set KEEPALIVE INTERVAL error, set to default(25)."
        # 2,000 keys and lines of 20,000 characters come first: their later pieces are lines of their own.
        big = {"#" + "c" * 19999: "comment", "LONG_VALUE": "v" * 20000, "LONG_KEY_" + "k" * 20000: "1",
               "FEATURE_REMOTE_ACTION_CMD": "echo " + "x" * 19990}
        big.update(("EXTRA_KEY_%04d" % i, "value %d" % i) for i in range(2000))
        self.agent.config = dict(big, **self.agent.config)
        self.start(DEVICE_KEEPALIVE_INTERVAL="60", FEATURE_CONFIG_TRIGGER_SUPPORT="2")
        self.assertTrue(self.agent.wait_message(refused))
        messages = self.agent.log_messages()
        self.assertEqual([m for m in messages if m.startswith(tuple(e.split(": ")[0] + ": " for e in expected))],
                         expected)
        # The build comes first, at level 6; the statistics are the daemon's own.
        self.assertRegex(messages[0], r"^vtclient %s( \(.+\))?$" % re.escape(os.environ["VTCLIENT_VERSION"]))
        self.assertIn("[info] " + messages[0], self.agent.log())
        self.assertEqual(messages[1], expected[0])
        self.assertLess(messages.index(expected[-1]), messages.index(refused))
        self.assertIn("[notice] keepalive: 60", self.agent.log())
        self.assertTrue(self.agent.wait_message("UDP Client App statistic"))
        self.assertEqual(self.agent.count("UDP Client Library statistic"), 0)
        self.assertEqual(self.agent.stop(), 0)
        # Keepalive 0 takes the default without a line; a disconnect time-out of 700 has one.
        agent = self.start(Agent(self, tool="real"), DEVICE_KEEPALIVE_INTERVAL="0", DEVICE_DISCONNECT_TIMEOUT="700")
        self.assertTrue(agent.wait_message("Set DISCONNECT TIMEOUT error, set to default(70)."))
        self.assertIn("keepalive: 25", agent.log_messages())
        self.assertEqual(agent.count(refused), 0)


class ServerRequests(AgentTest):
    def test_requests_run_their_work_through_the_real_tool(self):
        self.start(FEATURE_CONFIG_SUPPORT="1", FEATURE_CONFIG_TIMEOUT="30", FEATURE_CONFIG_SOURCE=self.agent.private("device.cfg"),
                   FEATURE_CONFIG_FETCH_CMD="echo hostname=router > " + self.agent.private("device.cfg"),
                   FEATURE_REMOTE_ACTION_SUPPORT="1", FEATURE_REMOTE_ACTION_TIMEOUT="30",
                   FEATURE_REMOTE_ACTION_CMD="printf '<%s>'")
        self.assertEqual(ask(self.agent.sim, lambda s: s.invite(0x2))["result"], "accepted")
        self.assert_uploaded("api/config", b'name="config"; filename="masterconfig"', b"hostname=router\n")
        self.assertEqual(ask(self.agent.sim, lambda s: s.action(77, ["a", "b c; touch x"]))["result"], "accepted")
        # Each argument reached the command as one word, never as shell text.
        self.assert_uploaded("api/action", b'name="action_id"\r\n\r\n77\r\n',
                             b'name="response"\r\n\r\n<a><b c; touch x>\r\n')
        self.assertTrue(self.agent.wait_message("Action finish"))
        self.assertEqual(self.agent.leftover_temp_files(), [])
        self.assertEqual(self.agent.stop(), 0)


class StatusSnapshot(AgentTest):
    """The status snapshot, vtclient-status's exit status and the service
    manager's status lines through the agent's states."""

    def status(self, agent, faketime=None):
        """vtclient-status (the agent under that name): (exit status, first line of its summary)."""
        link = agent.path("bin", "vtclient-status")
        if not os.path.lexists(link):
            os.symlink(VTCLIENT, link)
        env = dict(os.environ, VTCLIENT_ROOT=agent.root, TZ="UTC")
        if faketime:
            env.update(LD_PRELOAD=FAKETIME_LIB, FAKETIME=faketime)
        run = subprocess.run(EXEC_PREFIX + [link], env=env, capture_output=True, text=True, timeout=30)
        return run.returncode, (run.stdout or run.stderr).split("\n")[0]

    def snapshot(self, agent):
        try:
            with open(agent.path("var/run/vtclient/status.json")) as f:
                return json.load(f)
        except FileNotFoundError:
            return None

    def wait_snapshot(self, agent, condition, timeout=60):
        """Waits for a snapshot that meets condition; checks the file and that it
        never holds the session key the simulator handed out."""
        found = wait_until(lambda: (lambda s: s if s and condition(s) else None)(self.snapshot(agent)), timeout)
        self.assertIsNotNone(found, "snapshot never got there; last: %s\n%s" % (self.snapshot(agent), agent.log()[-2000:]))
        with open(agent.path("var/run/vtclient/status.json")) as f:
            self.assertNotIn(agent.sim.key, f.read())
        for path, mode in (("var/run/vtclient", 0o755), ("var/run/vtclient/status.json", 0o644)):
            self.assertEqual(stat.S_IMODE(os.lstat(agent.path(path)).st_mode), mode, path)
        return found

    def notify_socket(self, agent):
        """A socket standing in for systemd's; returns a function giving the messages so far."""
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.addCleanup(sock.close)
        sock.bind(agent.path("notify.sock"))
        sock.setblocking(False)
        agent.env["NOTIFY_SOCKET"] = agent.path("notify.sock")
        messages = []

        def drain():
            while True:
                try:
                    messages.append(sock.recv(4096).decode())
                except BlockingIOError:
                    return messages
        return drain

    def test_states_in_snapshot_status_exit_and_notify_lines(self):
        # The wall clock runs ten times faster where it can: the server's
        # silence passes in seconds.
        agent = self.agent = Agent(self, tool="real", speed=10)
        tmp = agent.path("tmp")
        agent.config.update(
            FEATURE_CONFIG_SUPPORT="1", FEATURE_CONFIG_TIMEOUT="600", FEATURE_CONFIG_SOURCE=tmp + "/device.cfg",
            FEATURE_CONFIG_FETCH_CMD="while [ ! -e %s/go ]; do sleep 0.05; done; echo a=b > %s/device.cfg" % (tmp, tmp),
            FEATURE_FIRMWARE_SUPPORT="1", FEATURE_FIRMWARE_TIMEOUT="600", FEATURE_FIRMWARE_AUTO_RETRY="0",
            FEATURE_FIRMWARE_ACTION_CMD="false")
        notices = self.notify_socket(agent)
        agent.start()
        sim = agent.sim
        self.assertTrue(wait_until(lambda: sim.peer, 30), "no keepalive reached the simulator")
        udp = "127.0.0.1:%d" % sim.udp_port
        feature = lambda name, result: lambda s: s["features"][name]["result"] == result

        def go():
            agent.write("tmp/go", "")

        def silence():
            sim.answer_keepalives = False
            sim.web.auth_mode = "down"

        # (what happens, what the snapshot then shows, vtclient-status: exit, first line)
        rows = [
            (None, lambda s: s["channel"]["state"] == "connected", 0, "vtclient is connected"),
            (lambda: sim.invite(0x2), feature("config_sync", "running"), 0, "vtclient is connected"),
            (go, feature("config_sync", "succeeded"), 0, "vtclient is connected"),
            (lambda: sim.invite(0x1), feature("firmware", "failed"), 0, "vtclient is connected"),
            (silence, lambda s: s["channel"]["state"] == "re-establishing" and
             s["last_error"]["message"] == "Get AUTH Fail", 1,
             "vtclient is running but not connected (re-establishing)"),
        ]
        for action, shows, code, line in rows:
            with self.subTest(line=line, shows=shows):
                if action:
                    action()
                snap = self.wait_snapshot(agent, shows, timeout=120)
                self.assertEqual(self.status(agent), (code, line))
        self.assertEqual((snap["schema"], snap["agent"]["pid"], snap["agent"]["cycle_reason"]),
                         (1, agent.proc.pid, "start"))
        self.assertEqual((snap["channel"]["server_host"], snap["channel"]["server_port"], snap["channel"]["sessions"]),
                         ("127.0.0.1", sim.udp_port, 1))
        self.assertGreater(snap["channel"]["statistics"]["local_recv"], 0)
        config_sync = snap["features"]["config_sync"]
        self.assertLessEqual(config_sync["last_start"], config_sync["last_end"])

        # Stopped: first frozen (its snapshot ages), then gone.
        os.kill(agent.proc.pid, signal.SIGSTOP)
        # A reader with its clock moved on (not under a sanitizer, whose
        # runtime keeps libfaketime from the reader's clock).
        if clock_can_run_fast() and not BUILD_TYPE.startswith(("asan", "tsan")):
            later = time.strftime("@%Y-%m-%d %H:%M:%S", time.gmtime(snap["written"] + 121))
            self.assertEqual(self.status(agent, faketime=later)[0], 2)
        os.kill(agent.proc.pid, signal.SIGKILL)
        agent.proc.wait(15)
        self.assertEqual(self.status(agent)[0], 2)
        self.assertEqual(self.snapshot(agent)["channel"]["state"], "re-establishing")

        lines = notices()
        self.assertEqual(lines[0], "READY=1")
        self.assertEqual(lines[1], "STATUS=authorising with " + agent.config["VANTOR_HOST"])
        self.assertRegex(lines[2], r"^STATUS=connected to %s via Default since \w{3} \w{3} \d\d " % re.escape(udp))
        self.assertEqual(lines[3:], ["STATUS=re-establishing the session with " + udp])

        # Authorisation refused from the start, then a clean stop.
        agent = Agent(self, tool="real")
        notices = self.notify_socket(agent)
        agent.sim.web.auth_mode = "plain"
        agent.start()
        snap = self.wait_snapshot(agent, lambda s: s["last_error"] is not None)
        self.assertEqual((snap["channel"]["state"], snap["last_error"]["message"]), ("authorising", "Get AUTH Fail"))
        self.assertEqual(self.status(agent), (1, "vtclient is running but not connected (authorising)"))
        self.assertEqual(agent.stop(), 0)
        self.assertEqual(self.snapshot(agent)["channel"]["state"], "stopped")
        self.assertEqual(self.status(agent)[0], 2)
        self.assertEqual(notices(), ["READY=1", "STATUS=authorising with " + agent.config["VANTOR_HOST"],
                                     "STATUS=stopped", "STOPPING=1"])

