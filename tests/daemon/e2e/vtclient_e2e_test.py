"""End-to-end tests of the vtclient binary: a sandboxed VTCLIENT_ROOT, the
simulator's UDP and HTTPS sides, and the wget_https stand-in over TLS."""

import os
import re
import signal
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "faults"))
from harness import VTCLIENT, Agent, event_record, received, wait_until  # noqa: E402

USAGE = ("Vantor UDP Client daemon for real time protocol\n"
         "REV $Name:  $\n\n"
         "Usage: {0} [-v]\n"
         "-v:\tshow version\n")


class AgentTest(unittest.TestCase):
    def setUp(self):
        self.agent = Agent(self, tool="real")

    def start(self, **config):
        self.agent.config.update(config)
        self.agent.start()
        self.assertTrue(wait_until(lambda: self.agent.sim.peer, 30), "no keepalive reached the simulator")

    def request_and_wait(self, send, timeout=10.0):
        """Sends a request; returns its reply record, or None when none came.

        A notice is sent right after it: the channel answers requests in the
        order they came, so once the notice is answered, a missing reply to
        the first request means none will come."""
        seq, _, _ = send(self.agent.sim)
        _, _, notice_answered = self.agent.sim.notice(1, 1)
        self.assertTrue(notice_answered.wait(timeout), "notice not answered")
        return next((r for r in list(self.agent.sim.received) if r.get("seq") == seq and "result" in r), None)

    def assert_uploaded(self, path, *parts):
        """The feature upload to path arrived once, its body holding every part."""
        self.assertTrue(wait_until(lambda: self.agent.web_requests(path), 30), path + " not uploaded")
        body = self.agent.web_requests(path)[0].body
        for part in parts:
            self.assertIn(part, body)


class CommandLineAndConfiguration(AgentTest):
    def test_usage_for_v_and_for_any_other_option(self):
        for args in (["-v"], ["-x"], ["-v", "extra"]):
            self.assertEqual(self.agent.run(args), 0)
            self.assertEqual(self.agent.read("stdout"), USAGE.format(VTCLIENT))
            # The configuration is never read: no line was logged at all.
            self.assertEqual(self.agent.log(), "")

    def test_missing_or_comment_only_configuration(self):
        self.agent.config = None
        for content in (None, "# only a comment\n#KEY=value\n\n"):
            if content is not None:
                self.agent.write("etc/vtclient.cfg", content)
            self.assertEqual(self.agent.run(), 0)
            self.assertIn("Config file err", self.agent.log_messages())
            self.assertIn("[err] Config file err", self.agent.log())
            os.unlink(self.agent.path("tmp/udp_client.log"))

    def test_settings_lines_in_order_and_refused_keepalive(self):
        self.start(DEVICE_KEEPALIVE_INTERVAL="60", FEATURE_CONFIG_TRIGGER_SUPPORT="2")
        refused = "Set KEEPALIVE INTERVAL error, set to default(25)."
        self.assertTrue(self.agent.wait_message(refused))
        root = self.agent.root
        expected = ["log enable: 1", "log file: %s/tmp/udp_client.log" % root, "log size: 0",
                    "log num: 4", "keepalive: 60", "disconnect: 70", "bl size: 10",
                    "interface: %s/tmp/interface.update" % root,
                    "config trigger: 2 [%s/tmp/syncConfig.now]" % root,
                    "gps trigger: 0 [%s/tmp/syncConfig.now]" % root]
        prefixes = tuple(e.split(": ")[0] + ": " for e in expected)
        messages = self.agent.log_messages()
        self.assertEqual([m for m in messages if m.startswith(prefixes)], expected)
        # The build comes first, at level 6, and leaves the settings lines as they are.
        self.assertRegex(messages[0], r"^vtclient %s( \(.+\))?$" % re.escape(os.environ["VTCLIENT_VERSION"]))
        self.assertIn("[info] " + messages[0], self.agent.log())
        self.assertEqual(messages[1], expected[0])
        self.assertLess(messages.index(expected[-1]), messages.index(refused))
        self.assertIn("[notice] keepalive: 60", self.agent.log())
        self.assertEqual(self.agent.stop(), 0)

    def test_keepalive_zero_is_the_default_without_a_fallback_line(self):
        self.start(DEVICE_KEEPALIVE_INTERVAL="0", DEVICE_DISCONNECT_TIMEOUT="700")
        self.assertTrue(self.agent.wait_message("Set DISCONNECT TIMEOUT error, set to default(70)."))
        self.assertIn("keepalive: 25", self.agent.log_messages())
        self.assertEqual(self.agent.count("Set KEEPALIVE INTERVAL error, set to default(25)."), 0)
        self.assertEqual(self.agent.stop(), 0)


def feature_config(agent, **extra):
    """Every feature switched on, each with a command that leaves a trace."""
    tmp = agent.path("tmp")
    keys = dict(
        FEATURE_CONFIG_SUPPORT="1", FEATURE_CONFIG_TIMEOUT="30", FEATURE_CONFIG_SOURCE=agent.private("device.cfg"),
        FEATURE_CONFIG_FETCH_CMD="echo hostname=router > %s" % agent.private("device.cfg"),
        FEATURE_FIRMWARE_SUPPORT="1", FEATURE_FIRMWARE_TIMEOUT="30",
        FEATURE_FIRMWARE_ACTION_CMD="echo fw >> %s/firmware.runs" % tmp,
        FEATURE_REBOOT_SUPPORT="1", FEATURE_REBOOT_ACTION_CMD="echo reboot >> %s/reboot.runs" % tmp,
        FEATURE_REMOTE_ACTION_SUPPORT="1", FEATURE_REMOTE_ACTION_TIMEOUT="30",
        FEATURE_REMOTE_ACTION_CMD="printf '<%s>'",
        FEATURE_DEBUG_DUMP_SUPPORT="1", FEATURE_DEBUG_DUMP_TIMEOUT="30",
        FEATURE_DEBUG_DUMP_CMD="echo dump-of-the-device",
        FEATURE_GPSDATA_SUPPORT="1", FEATURE_GPSDATA_TIMEOUT="30",
        FEATURE_GPSDATA_FETCH_CMD="echo 1 1700000000 51.5 -0.1278")
    keys.update(extra)
    return keys


class ServerRequests(AgentTest):
    def test_invitation_masks_and_debug_dump(self):
        self.start(**feature_config(self.agent, FEATURE_UPISPD_SUPPORT="0"))
        # 0x3: firmware only.
        self.assertEqual(self.request_and_wait(lambda s: s.invite(0x3))["result"], "accepted")
        self.assertTrue(self.agent.wait_message("Firmware Thread is going to sleep"))
        self.assertEqual(self.agent.count("Start configuration sync ..."), 0)
        # 0x2: configuration sync, uploaded to the server.
        self.assertEqual(self.request_and_wait(lambda s: s.invite(0x2))["result"], "accepted")
        self.assert_uploaded("api/config", b'name="config"; filename="masterconfig"', b"hostname=router\n")
        self.assertTrue(self.agent.wait_message("Config Thread is going to sleep"))
        # 0x8: no meaning, refused.
        self.assertEqual(self.request_and_wait(lambda s: s.invite(0x8))["result"], "refused")
        self.assertIn("Recv Feature Invitation: 0x00000008", self.agent.log_messages())
        # 0x4 with the extension off: ignored, no reply at all.
        self.assertIsNone(self.request_and_wait(lambda s: s.invite(0x4)))
        self.assertIn("Extension invitation IGNORE", self.agent.log_messages())
        self.assertEqual(self.agent.read("tmp/firmware.runs"), "fw\n")
        self.assertEqual(self.request_and_wait(lambda s: s.send_request(5))["result"], "accepted")
        self.assert_uploaded("api/dump", b'filename="debug_dump"', b"dump-of-the-device\n")
        self.assertTrue(self.agent.wait_message("Debug dump finish"))
        self.assertEqual(self.agent.stop(), 0)

    def test_reboot_while_busy_gets_no_reply(self):
        self.start(**feature_config(self.agent, FEATURE_FIRMWARE_ACTION_CMD="sleep 3"))
        self.assertEqual(self.request_and_wait(lambda s: s.invite(0x1))["result"], "accepted")
        self.assertIsNone(self.request_and_wait(lambda s: s.send_request(3)))
        self.assertTrue(self.agent.wait_message("Firmware Thread is going to sleep"))
        self.assertEqual(self.request_and_wait(lambda s: s.send_request(3))["result"], "accepted")
        self.assertTrue(self.agent.wait_message("Reboot Thread is going to sleep"))
        self.assertEqual(self.agent.read("tmp/reboot.runs"), "reboot\n")
        self.assertEqual(self.agent.stop(), 0)

    def test_actions_one_at_a_time_each_uploaded_once(self):
        self.start(**feature_config(self.agent, FEATURE_REMOTE_ACTION_CMD="sleep 2; printf '<%s>'"))
        action = lambda request_id, args: self.request_and_wait(lambda s: s.action(request_id, args))
        self.assertEqual(action(77, ["a", "b c; touch x"])["result"], "accepted")
        # A second action is refused until the first has finished.
        self.assertEqual(action(2, ["x"])["result"], "refused")
        # Each argument reached the command as one word, never as shell text.
        self.assert_uploaded("api/action", b'name="action_id"\r\n\r\n77\r\n',
                             b'name="response"\r\n\r\n<a><b c; touch x>\r\n')
        self.assertTrue(self.agent.wait_message("Action finish"))
        self.assertFalse(os.path.exists(self.agent.path("tmp/vtclient/action_tmp")))
        self.assertEqual(action(3, ["y"])["result"], "accepted")
        self.assertTrue(self.agent.wait_message("Action finish", count=2))
        self.assertEqual(len(self.agent.web_requests("api/action")), 2)
        self.assertEqual(self.agent.stop(), 0)

    def test_statistics_go_through_the_daemon_callback(self):
        self.start()
        # The first report comes when the request thread next wakes up: a
        # request wakes it at once, else its idle wait of 5 s runs out.
        self.request_and_wait(lambda s: s.invite(0x8))
        self.assertTrue(self.agent.wait_message("UDP Client App statistic", timeout=30))
        messages = self.agent.log_messages()
        i = messages.index("UDP Client App statistic")
        for line, prefix in zip(messages[i + 1:], ("\tPeer recv:  ", "\tLocal recv: ", "\tHeader err: ")):
            self.assertTrue(line.startswith(prefix), line)
        self.assertEqual(self.agent.count("UDP Client Library statistic"), 0)
        self.assertEqual(self.agent.stop(), 0)


class Scheduling(AgentTest):
    def test_automatic_start_without_and_with_spread(self):
        for delta, latest in (("0", 3), ("3", 5)):
            with self.subTest(delta=delta):
                agent = Agent(self, tool="real")
                agent.config.update(feature_config(agent, FEATURE_CONFIG_AUTO_START="1",
                                                   FEATURE_CONFIG_AUTO_START_TIME="3",
                                                   FEATURE_CONFIG_AUTO_START_DELTA=delta))
                agent.start()
                self.assertTrue(agent.wait_message("Start configuration sync ...", timeout=20))
                elapsed = time.monotonic() - agent.started
                # A loaded machine can only make it later.
                self.assertGreaterEqual(elapsed, 2.0)
                self.assertLessEqual(elapsed, latest + 4)
                self.assertEqual(agent.stop(), 0)

    def test_automatic_repeat(self):
        self.start(**feature_config(self.agent, FEATURE_GPSDATA_AUTO_START="1",
                                    FEATURE_GPSDATA_AUTO_REPEAT="1",
                                    FEATURE_GPSDATA_AUTO_REPEAT_INTERVAL="1"))
        self.assertTrue(wait_until(lambda: len(received(self.agent.sim, "gps")) >= 3, 30))
        self.assertEqual(received(self.agent.sim, "gps")[0]["gps"], "1700000000,51500000,-127800,1")
        self.assertEqual(self.agent.stop(), 0)

    def test_trigger_files(self):
        self.start(**feature_config(self.agent, FEATURE_CONFIG_TRIGGER_SUPPORT="1",
                                    FEATURE_GPSDATA_TRIGGER_SUPPORT="1",
                                    FEATURE_GPSDATA_TRIGGER_FILE=self.agent.path("tmp/gps.now")))
        self.agent.write("tmp/gps.now", "")
        self.assertTrue(self.agent.wait_message("Trigger GPS submission"))
        self.assertTrue(wait_until(lambda: received(self.agent.sim, "gps"), 30))
        self.assertFalse(os.path.exists(self.agent.path("tmp/gps.now")))
        self.agent.write("tmp/syncConfig.now", "")
        self.assertTrue(self.agent.wait_message("Trigger config sync"))
        self.assertTrue(wait_until(lambda: self.agent.web_requests("api/config"), 30))
        self.assertEqual(self.agent.stop(), 0)

    def test_shared_default_trigger_file_fires_config_only(self):
        self.start(**feature_config(self.agent, FEATURE_CONFIG_TRIGGER_SUPPORT="1",
                                    FEATURE_GPSDATA_TRIGGER_SUPPORT="1"))
        self.agent.write("tmp/syncConfig.now", "")
        self.assertTrue(self.agent.wait_message("Config Thread is going to sleep"))
        self.assertEqual(self.agent.count("Trigger GPS submission"), 0)
        self.assertEqual(received(self.agent.sim, "gps"), [])
        self.assertEqual(self.agent.stop(), 0)

    def test_unsupported_due_feature_does_not_block_the_others(self):
        self.start(**feature_config(self.agent, FEATURE_GPSDATA_SUPPORT="0",
                                    FEATURE_GPSDATA_TRIGGER_SUPPORT="1",
                                    FEATURE_GPSDATA_TRIGGER_FILE=self.agent.path("tmp/gps.now"),
                                    FEATURE_CONFIG_TRIGGER_SUPPORT="1",
                                    FEATURE_CONFIG_TRIGGER_FILE=self.agent.path("tmp/cfg.now")))
        self.agent.write("tmp/gps.now", "")
        self.assertTrue(self.agent.wait_message("Trigger GPS submission"))
        self.agent.write("tmp/cfg.now", "")
        self.assertTrue(self.agent.wait_message("Config Thread is going to sleep"))
        self.assertEqual(self.agent.count("GPS Thread is going to sleep"), 0)
        self.assertEqual(self.agent.stop(), 0)

    def test_interface_update_file_reauthorises(self):
        # The clock runs ten times faster: the next authorisation may start
        # 10 s after the last one.
        self.agent = Agent(self, tool="real", speed=10)
        self.start()
        registrations = lambda: self.agent.web_requests("udps/register")
        self.assertEqual(len(registrations()), 1)
        self.agent.write("tmp/interface.update", "")
        self.assertTrue(self.agent.wait_message("Interface update"))
        self.assertTrue(wait_until(lambda: len(registrations()) >= 2, 30))
        self.assertFalse(os.path.exists(self.agent.path("tmp/interface.update")))
        self.assertEqual(self.agent.stop(), 0)


class Signals(AgentTest):
    def test_sigusr1_uploads_the_event_spool(self):
        self.start(**feature_config(self.agent))
        self.agent.write("spool/b.event", event_record(7, 1700000001, b"link down"))
        self.agent.write("spool/notes.txt", "keep")
        self.agent.signal(signal.SIGUSR1)
        self.assert_uploaded("api/event", b'name="num"\r\n\r\n1\r\n', b'name="event1_content"\r\n\r\nlink down\r\n')
        self.assertIn("Send event log", self.agent.log_messages())
        self.assertTrue(wait_until(lambda: not os.path.exists(self.agent.path("spool/b.event")), 10))
        self.assertTrue(os.path.exists(self.agent.path("spool/notes.txt")))
        self.assertEqual(self.agent.stop(), 0)

    def test_sigusr2_toggles_debug_lines(self):
        self.start()
        # The flag flips in the signal handler; the line saying so comes with
        # the next pass of the supervision loop, up to a second later.
        quiet = self.agent.log()
        self.agent.signal(signal.SIGUSR2)
        self.assertTrue(self.agent.wait_message("Debug mode ON"))
        self.assertNotIn("[debug]", quiet)
        # An invitation and its reply are logged as debug lines now...
        self.assertEqual(self.request_and_wait(lambda s: s.invite(0x8))["result"], "refused")
        self.assertTrue(wait_until(lambda: "[debug]" in self.agent.log().split("Debug mode ON", 1)[1], 10))
        self.agent.signal(signal.SIGUSR2)
        self.assertTrue(self.agent.wait_message("Debug mode OFF"))
        # ...and after OFF no longer.
        self.assertEqual(self.request_and_wait(lambda s: s.invite(0x8))["result"], "refused")
        self.assertNotIn("[debug]", self.agent.log().split("Debug mode OFF", 1)[1])

    def test_sigterm_and_sigint_leave_in_order_within_ten_seconds(self):
        for sig in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(signal=sig):
                agent = Agent(self, tool="real")
                agent.config.update(feature_config(agent))
                agent.start()
                self.assertTrue(wait_until(lambda: agent.sim.peer, 30))
                agent.signal(sig)
                start = time.monotonic()
                self.assertEqual(agent.proc.wait(15), 0, agent.read("stderr"))
                self.assertLess(time.monotonic() - start, 10.0)
                messages = agent.log_messages()
                order = ["Feature thread joined", "Report thread joined", "Sender Joined",
                         "Receiver Joined", "Punch hole Joined", "Command handler Joined"]
                positions = [messages.index(m) for m in order]
                self.assertEqual(positions, sorted(positions))

    def test_sighup_starts_a_new_cycle_with_the_changed_configuration(self):
        self.start(DEVICE_KEEPALIVE_INTERVAL="20")
        self.assertIn("keepalive: 20", self.agent.log_messages())
        self.agent.config["DEVICE_KEEPALIVE_INTERVAL"] = "30"
        self.agent.write("etc/vtclient.cfg", "".join("%s=%s\n" % kv for kv in self.agent.config.items()))
        self.agent.signal(signal.SIGHUP)
        self.assertTrue(self.agent.wait_message("keepalive: 30", timeout=30))
        self.assertTrue(self.agent.wait_message("Command handler Joined"))
        self.assertTrue(wait_until(lambda: len(self.agent.web_requests("udps/register")) >= 2, 30))
        self.assertTrue(self.agent.alive())
        self.assertEqual(self.agent.stop(), 0, self.agent.read("stderr"))


if __name__ == "__main__":
    unittest.main()
