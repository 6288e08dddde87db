"""End-to-end tests of the vtclient binary: a sandboxed VTCLIENT_ROOT, the
simulator's UDP and HTTPS sides, and the wget_https stand-in over TLS. What
the unit tests prove of handlers, scheduling and log lines is not proved
again here, nor what the fault tests prove (tests/faults, signals among them)."""

import os
import re
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "faults"))
from harness import VTCLIENT, Agent, ask, wait_until  # noqa: E402

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
        tmp = self.agent.path("tmp")
        self.start(FEATURE_CONFIG_SUPPORT="1", FEATURE_CONFIG_TIMEOUT="30", FEATURE_CONFIG_SOURCE=tmp + "/device.cfg",
                   FEATURE_CONFIG_FETCH_CMD="echo hostname=router > %s/device.cfg" % tmp,
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
