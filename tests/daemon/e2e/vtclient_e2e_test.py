"""End-to-end tests of the vtclient binary: a sandboxed VTCLIENT_ROOT, the
simulator's UDP and HTTPS sides, and the wget_https stand-in over TLS."""

import os
import re
import signal
import struct
import time
import unittest

from harness import Agent, wait_for

USAGE = ("Vantor UDP Client daemon for real time protocol\n"
         "REV $Name:  $\n\n"
         "Usage: {0} [-v]\n"
         "-v:\tshow version\n")

SETTINGS_PREFIXES = ["log enable: ", "log file: ", "log size: ", "log num: ", "keepalive: ",
                     "disconnect: ", "bl size: ", "interface: ", "config trigger: ", "gps trigger: "]


class AgentTest(unittest.TestCase):
    def setUp(self):
        self.agent = Agent()

    def tearDown(self):
        self.agent.close()

    def start(self, faketime=None, **config):
        self.agent.configure(**config)
        self.agent.start(faketime=faketime)
        self.assertTrue(self.agent.wait_connected(), "no keepalive reached the simulator")

    def request_and_wait(self, send, timeout=10.0):
        """Sends a request; returns its reply record, or None when none came.

        A notice is sent right after it: the channel answers requests in the
        order they came, so once the notice is answered, a missing reply to
        the first request means none will come."""
        seq, _, _ = send()
        nseq, _, _ = self.agent.sim.notice(1, 1)
        self.assertTrue(wait_for(lambda: self.agent.replies(nseq), timeout), "notice not answered")
        replies = self.agent.replies(seq)
        return replies[0] if replies else None


class CommandLineAndConfiguration(AgentTest):
    def test_usage_for_v_and_for_any_other_option(self):
        self.agent.configure()
        for args in (["-v"], ["-x"], ["-v", "extra"]):
            status = self.agent.run(args)
            self.assertEqual(status, 0)
            self.assertEqual(self.agent.stdout(), USAGE.format(self.agent.proc.args[0]))
            # The configuration is never read: no line was logged at all.
            self.assertEqual(self.agent.log_text(), "")

    def test_missing_or_comment_only_configuration(self):
        for content in (None, "# only a comment\n#KEY=value\n\n"):
            if content is None:
                if os.path.exists(self.agent.path("/etc/vtclient.cfg")):
                    os.unlink(self.agent.path("/etc/vtclient.cfg"))
            else:
                self.agent.write("/etc/vtclient.cfg", content)
            status = self.agent.run()
            self.assertEqual(status, 0)
            self.assertIn("Config file err", self.agent.log_messages())
            self.assertIn("[err] Config file err", self.agent.log_text())
            os.unlink(self.agent.path("/tmp/udp_client.log"))

    def test_settings_lines_in_order_and_refused_keepalive(self):
        self.start(DEVICE_KEEPALIVE_INTERVAL="60", FEATURE_CONFIG_TRIGGER_SUPPORT="2")
        self.assertTrue(self.agent.wait_message("Set KEEPALIVE INTERVAL error, set to default(25)."))
        messages = self.agent.log_messages()
        settings = [m for m in messages if any(m.startswith(p) for p in SETTINGS_PREFIXES)]
        self.assertEqual([s.split(": ")[0] + ": " for s in settings], SETTINGS_PREFIXES)
        root = self.agent.root
        self.assertEqual(settings, [
            "log enable: 1", "log file: %s/tmp/udp_client.log" % root, "log size: 0", "log num: 4",
            "keepalive: 60", "disconnect: 70", "bl size: 10",
            "interface: %s/tmp/interface.update" % root,
            "config trigger: 2 [%s/tmp/syncConfig.now]" % root,
            "gps trigger: 0 [%s/tmp/syncConfig.now]" % root])
        self.assertLess(messages.index("gps trigger: 0 [%s/tmp/syncConfig.now]" % root),
                        messages.index("Set KEEPALIVE INTERVAL error, set to default(25)."))
        self.assertIn("[notice] keepalive: 60", self.agent.log_text())
        self.assertEqual(self.agent.stop(), 0)

    def test_keepalive_zero_is_the_default_without_a_fallback_line(self):
        self.start(DEVICE_KEEPALIVE_INTERVAL="0", DEVICE_DISCONNECT_TIMEOUT="700")
        self.assertTrue(self.agent.wait_message("Set DISCONNECT TIMEOUT error, set to default(70)."))
        self.assertIn("keepalive: 25", self.agent.log_messages())
        self.assertEqual(self.agent.count("Set KEEPALIVE INTERVAL error, set to default(25)."), 0)
        self.assertEqual(self.agent.stop(), 0)


def feature_config(agent, **extra):
    """Every feature switched on, each with a command that leaves a trace."""
    root = agent.root
    keys = {
        "FEATURE_CONFIG_SUPPORT": "1",
        "FEATURE_CONFIG_TIMEOUT": "30",
        "FEATURE_CONFIG_SOURCE": root + "/tmp/device.cfg",
        "FEATURE_CONFIG_FETCH_CMD": "echo hostname=router > %s/tmp/device.cfg" % root,
        "FEATURE_FIRMWARE_SUPPORT": "1",
        "FEATURE_FIRMWARE_TIMEOUT": "30",
        "FEATURE_FIRMWARE_ACTION_CMD": "echo fw >> %s/tmp/firmware.runs" % root,
        "FEATURE_REBOOT_SUPPORT": "1",
        "FEATURE_REBOOT_ACTION_CMD": "echo reboot >> %s/tmp/reboot.runs" % root,
        "FEATURE_REMOTE_ACTION_SUPPORT": "1",
        "FEATURE_REMOTE_ACTION_TIMEOUT": "30",
        "FEATURE_REMOTE_ACTION_CMD": "printf '<%s>'",
        "FEATURE_DEBUG_DUMP_SUPPORT": "1",
        "FEATURE_DEBUG_DUMP_TIMEOUT": "30",
        "FEATURE_DEBUG_DUMP_CMD": "echo dump-of-the-device",
        "FEATURE_GPSDATA_SUPPORT": "1",
        "FEATURE_GPSDATA_TIMEOUT": "30",
        "FEATURE_GPSDATA_FETCH_CMD": "echo 1 1700000000 51.5 -0.1278",
        "FEATURE_EVENT_SPOOL": root + "/spool/",
    }
    keys.update(extra)
    return keys


class ServerRequests(AgentTest):
    def test_invitation_masks(self):
        self.start(**feature_config(self.agent, FEATURE_UPISPD_SUPPORT="0"))
        sim = self.agent.sim
        # 0x3: firmware only.
        reply = self.request_and_wait(lambda: sim.invite(0x3))
        self.assertEqual(reply["result"], "accepted")
        self.assertTrue(self.agent.wait_message("Firmware Thread is going to sleep"))
        self.assertEqual(self.agent.count("Start configuration sync ..."), 0)
        # 0x2: configuration sync, uploaded to the server.
        reply = self.request_and_wait(lambda: sim.invite(0x2))
        self.assertEqual(reply["result"], "accepted")
        self.assertTrue(wait_for(lambda: self.agent.web_requests("api/config")))
        body = self.agent.web_requests("api/config")[0].body
        self.assertIn(b'name="config"; filename="masterconfig"', body)
        self.assertIn(b"hostname=router\n", body)
        self.assertTrue(self.agent.wait_message("Config Thread is going to sleep"))
        # 0x8: no meaning, refused.
        reply = self.request_and_wait(lambda: sim.invite(0x8))
        self.assertEqual(reply["result"], "refused")
        self.assertIn("Recv Feature Invitation: 0x00000008", self.agent.log_messages())
        # 0x4 with the extension off: ignored, no reply at all.
        self.assertIsNone(self.request_and_wait(lambda: sim.invite(0x4)))
        self.assertIn("Extension invitation IGNORE", self.agent.log_messages())
        with open(self.agent.path("/tmp/firmware.runs")) as f:
            self.assertEqual(f.read(), "fw\n")
        self.assertEqual(self.agent.stop(), 0)

    def test_reboot_while_busy_gets_no_reply(self):
        root = self.agent.root
        self.start(**feature_config(self.agent, FEATURE_FIRMWARE_ACTION_CMD="sleep 3"))
        sim = self.agent.sim
        self.assertEqual(self.request_and_wait(lambda: sim.invite(0x1))["result"], "accepted")
        self.assertIsNone(self.request_and_wait(lambda: sim.send_request(3)))
        self.assertTrue(self.agent.wait_message("Firmware Thread is going to sleep"))
        self.assertEqual(self.request_and_wait(lambda: sim.send_request(3))["result"], "accepted")
        self.assertTrue(self.agent.wait_message("Reboot Thread is going to sleep"))
        with open(os.path.join(root, "tmp/reboot.runs")) as f:
            self.assertEqual(f.read(), "reboot\n")
        self.assertEqual(self.agent.stop(), 0)

    def test_remote_action_output_is_uploaded_once(self):
        self.start(**feature_config(self.agent))
        sim = self.agent.sim
        reply = self.request_and_wait(lambda: sim.action(77, ["a", "b c; touch /tmp/x"]))
        self.assertEqual(reply["result"], "accepted")
        self.assertTrue(wait_for(lambda: self.agent.web_requests("api/action")))
        body = self.agent.web_requests("api/action")[0].body
        self.assertIn(b'name="action_id"\r\n\r\n77\r\n', body)
        # Each argument reached the command as one word, never as shell text.
        self.assertIn(b'name="response"\r\n\r\n<a><b c; touch /tmp/x>\r\n', body)
        self.assertTrue(self.agent.wait_message("Action finish"))
        self.assertFalse(os.path.exists(self.agent.path("/tmp/action_tmp")))
        self.assertEqual(self.agent.count("Action finish"), 1)
        self.assertEqual(self.agent.stop(), 0)

    def test_second_action_is_refused_until_the_first_is_joined(self):
        self.start(**feature_config(self.agent, FEATURE_REMOTE_ACTION_CMD="sleep 2; echo slow"))
        sim = self.agent.sim
        self.assertEqual(self.request_and_wait(lambda: sim.action(1, ["x"]))["result"], "accepted")
        self.assertEqual(self.request_and_wait(lambda: sim.action(2, ["x"]))["result"], "refused")
        self.assertTrue(self.agent.wait_message("Action finish"))
        self.assertEqual(self.request_and_wait(lambda: sim.action(3, ["y"]))["result"], "accepted")
        self.assertTrue(self.agent.wait_message("Action finish", count=2))
        self.assertEqual(len(self.agent.web_requests("api/action")), 2)
        self.assertEqual(self.agent.stop(), 0)

    def test_debug_dump_is_uploaded(self):
        self.start(**feature_config(self.agent))
        sim = self.agent.sim
        self.assertEqual(self.request_and_wait(lambda: sim.send_request(5))["result"], "accepted")
        self.assertTrue(wait_for(lambda: self.agent.web_requests("api/dump")))
        body = self.agent.web_requests("api/dump")[0].body
        self.assertIn(b'filename="debug_dump"', body)
        self.assertIn(b"dump-of-the-device\n", body)
        self.assertTrue(self.agent.wait_message("Debug dump finish"))
        self.assertEqual(self.agent.stop(), 0)

    def test_statistics_go_through_the_daemon_callback(self):
        self.start()
        self.assertTrue(self.agent.wait_message("UDP Client App statistic", timeout=15))
        messages = self.agent.log_messages()
        i = messages.index("UDP Client App statistic")
        self.assertTrue(messages[i + 1].startswith("\tPeer recv:  "))
        self.assertTrue(messages[i + 2].startswith("\tLocal recv: "))
        self.assertTrue(messages[i + 3].startswith("\tHeader err: "))
        self.assertEqual(self.agent.count("UDP Client Library statistic"), 0)
        self.assertEqual(self.agent.stop(), 0)


class Scheduling(AgentTest):
    def config_sync_times(self):
        return [r for r in self.agent.events if r[0] == "https" and r[1].get("path") == "/api/config"]

    def test_automatic_start_without_and_with_spread(self):
        for delta, latest in (("0", 3), ("3", 5)):
            with self.subTest(delta=delta):
                agent = Agent()
                try:
                    agent.configure(**feature_config(agent, FEATURE_CONFIG_AUTO_START="1",
                                                     FEATURE_CONFIG_AUTO_START_TIME="3",
                                                     FEATURE_CONFIG_AUTO_START_DELTA=delta))
                    agent.start()
                    self.assertTrue(agent.wait_message("Start configuration sync ...", timeout=15))
                    elapsed = time.monotonic() - agent.started
                    self.assertGreaterEqual(elapsed, 2.0)
                    self.assertLessEqual(elapsed, latest + 2.5)
                    self.assertEqual(agent.stop(), 0)
                finally:
                    agent.close()

    def test_automatic_repeat(self):
        self.start(**feature_config(self.agent, FEATURE_GPSDATA_AUTO_START="1",
                                    FEATURE_GPSDATA_AUTO_REPEAT="1",
                                    FEATURE_GPSDATA_AUTO_REPEAT_INTERVAL="1"))
        self.assertTrue(wait_for(lambda: len(self.agent.received("gps")) >= 3, 15))
        gps = self.agent.received("gps")[0]
        self.assertEqual(gps["gps"], "1700000000,51500000,-127800,1")
        self.assertEqual(self.agent.stop(), 0)

    def test_trigger_files(self):
        root = self.agent.root
        self.start(**feature_config(self.agent, FEATURE_CONFIG_TRIGGER_SUPPORT="1",
                                    FEATURE_GPSDATA_TRIGGER_SUPPORT="1",
                                    FEATURE_GPSDATA_TRIGGER_FILE=root + "/tmp/gps.now"))
        self.agent.write("/tmp/gps.now", "")
        self.assertTrue(self.agent.wait_message("Trigger GPS submission"))
        self.assertTrue(wait_for(lambda: self.agent.received("gps")))
        self.assertFalse(os.path.exists(self.agent.path("/tmp/gps.now")))
        self.agent.write("/tmp/syncConfig.now", "")
        self.assertTrue(self.agent.wait_message("Trigger config sync"))
        self.assertTrue(wait_for(lambda: self.agent.web_requests("api/config")))
        self.assertEqual(self.agent.stop(), 0)

    def test_shared_default_trigger_file_fires_config_only(self):
        self.start(**feature_config(self.agent, FEATURE_CONFIG_TRIGGER_SUPPORT="1",
                                    FEATURE_GPSDATA_TRIGGER_SUPPORT="1"))
        self.agent.write("/tmp/syncConfig.now", "")
        self.assertTrue(self.agent.wait_message("Config Thread is going to sleep"))
        self.assertEqual(self.agent.count("Trigger GPS submission"), 0)
        self.assertEqual(self.agent.received("gps"), [])
        self.assertEqual(self.agent.stop(), 0)

    def test_unsupported_due_feature_does_not_block_the_others(self):
        self.start(**feature_config(self.agent, FEATURE_GPSDATA_SUPPORT="0",
                                    FEATURE_GPSDATA_TRIGGER_SUPPORT="1",
                                    FEATURE_GPSDATA_TRIGGER_FILE=self.agent.root + "/tmp/gps.now",
                                    FEATURE_CONFIG_TRIGGER_SUPPORT="1",
                                    FEATURE_CONFIG_TRIGGER_FILE=self.agent.root + "/tmp/cfg.now"))
        self.agent.write("/tmp/gps.now", "")
        self.assertTrue(self.agent.wait_message("Trigger GPS submission"))
        self.agent.write("/tmp/cfg.now", "")
        self.assertTrue(self.agent.wait_message("Config Thread is going to sleep"))
        self.assertEqual(self.agent.count("GPS Thread is going to sleep"), 0)
        self.assertEqual(self.agent.stop(), 0)

    def test_interface_update_file_reauthorises(self):
        self.start()
        registrations = lambda: self.agent.web_requests("udps/register")
        self.assertEqual(len(registrations()), 1)
        self.agent.write("/tmp/interface.update", "")
        self.assertTrue(self.agent.wait_message("Interface update"))
        self.assertTrue(wait_for(lambda: len(registrations()) >= 2, 15))
        self.assertFalse(os.path.exists(self.agent.path("/tmp/interface.update")))
        self.assertEqual(self.agent.stop(), 0)

    # libfaketime's own condition-variable waits are invisible to
    # ThreadSanitizer, which then reports double locks that are not there.
    @unittest.skipIf(os.environ.get("VTCLIENT_BUILD_TYPE", "").lower() == "tsan",
                     "no faked clock under ThreadSanitizer")
    def test_clock_set_back_makes_scheduled_features_due(self):
        self.start(faketime="+0", DEVICE_KEEPALIVE_INTERVAL="5",
                   **feature_config(self.agent, FEATURE_FIRMWARE_AUTO_START="1",
                                    FEATURE_FIRMWARE_AUTO_START_TIME="3600"))
        self.assertTrue(self.agent.wait_message("Feature Thread Started"))
        self.assertEqual(self.agent.count("Start firmware upgrade ..."), 0)
        self.agent.set_faketime("-3600")
        self.assertTrue(self.agent.wait_message("Start firmware upgrade ...", timeout=10))
        self.assertTrue(self.agent.wait_message("Firmware Thread is going to sleep"))
        # The channel keeps going on the stepped clock.
        before = len(self.agent.received("keepalive"))
        self.assertTrue(wait_for(lambda: len(self.agent.received("keepalive")) > before, 15))
        # A wait taken across the step must not last the hour out.
        self.assertEqual(self.agent.stop(), 0)


class Signals(AgentTest):
    def test_sigusr1_uploads_the_event_spool(self):
        self.start(**feature_config(self.agent))
        record = struct.pack("=ii132s", 7, 1700000001, b"link down")
        self.agent.write("/spool/b.event", record)
        self.agent.write("/spool/notes.txt", "keep")
        self.agent.signal(signal.SIGUSR1)
        self.assertTrue(wait_for(lambda: self.agent.web_requests("api/event")))
        body = self.agent.web_requests("api/event")[0].body
        self.assertIn(b'name="num"\r\n\r\n1\r\n', body)
        self.assertIn(b'name="event1_content"\r\n\r\nlink down\r\n', body)
        self.assertIn("Send event log", self.agent.log_messages())
        self.assertTrue(wait_for(lambda: not os.path.exists(self.agent.path("/spool/b.event"))))
        self.assertTrue(os.path.exists(self.agent.path("/spool/notes.txt")))
        self.assertEqual(self.agent.stop(), 0)

    def test_sigusr2_toggles_debug_lines(self):
        self.start(DEVICE_KEEPALIVE_INTERVAL="5")
        self.assertFalse(any("[debug]" in l for l in self.agent.log_lines()))
        self.agent.signal(signal.SIGUSR2)
        self.assertTrue(self.agent.wait_message("Debug mode ON"))
        self.assertTrue(wait_for(lambda: "[debug]" in self.agent.log_text(), 15))
        self.agent.signal(signal.SIGUSR2)
        self.assertTrue(self.agent.wait_message("Debug mode OFF"))
        lines = self.agent.log_lines()
        on = next(i for i, l in enumerate(lines) if l.endswith("Debug mode ON"))
        off = next(i for i, l in enumerate(lines) if l.endswith("Debug mode OFF"))
        self.assertFalse(any("[debug]" in l for l in lines[:on]))
        self.assertTrue(any("[debug]" in l for l in lines[on:off]))
        # After OFF: keepalives go on, without debug lines.
        before = len(self.agent.received("keepalive"))
        self.assertTrue(wait_for(lambda: len(self.agent.received("keepalive")) > before, 15))
        self.assertFalse(any("[debug]" in l for l in self.agent.log_lines()[off + 1:]))
        self.assertEqual(self.agent.stop(), 0)

    def test_sigterm_leaves_in_order_within_ten_seconds(self):
        self.start(**feature_config(self.agent))
        self.agent.signal(signal.SIGTERM)
        start = time.monotonic()
        status = self.agent.proc.wait(timeout=15)
        self.assertLess(time.monotonic() - start, 10.0)
        self.assertEqual(status, 0, self.agent.stderr())
        messages = self.agent.log_messages()
        order = ["Feature thread joined", "Report thread joined", "Sender Joined", "Receiver Joined",
                 "Punch hole Joined", "Command handler Joined"]
        positions = [messages.index(m) for m in order]
        self.assertEqual(positions, sorted(positions))
        self.assertNotIn("LeakSanitizer", self.agent.stderr())

    def test_sigint_leaves_too(self):
        self.start()
        self.agent.signal(signal.SIGINT)
        self.assertEqual(self.agent.proc.wait(timeout=15), 0, self.agent.stderr())

    def test_sighup_starts_a_new_cycle_with_the_changed_configuration(self):
        self.start(DEVICE_KEEPALIVE_INTERVAL="20")
        self.assertIn("keepalive: 20", self.agent.log_messages())
        self.agent.configure(DEVICE_KEEPALIVE_INTERVAL="30")
        self.agent.signal(signal.SIGHUP)
        self.assertTrue(self.agent.wait_message("keepalive: 30", timeout=15))
        self.assertTrue(self.agent.wait_message("Command handler Joined"))
        self.assertTrue(wait_for(lambda: len(self.agent.web_requests("udps/register")) >= 2, 15))
        self.assertIsNone(self.agent.proc.poll())
        self.assertEqual(self.agent.stop(), 0, self.agent.stderr())


if __name__ == "__main__":
    unittest.main()
