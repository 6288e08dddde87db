"""Device commands that never end must not stop the rest of the agent; a
command's kept output is capped; commands inherit no descriptor."""
import glob
import os
import unittest

from harness import BUILD_TYPE, Agent, ask, require_agent, wait_until

OUTPUT_CAP = 1024 * 1024


@require_agent
class EndlessDeviceCommands(unittest.TestCase):

    def test_endless_gps_and_action_commands(self):
        agent = Agent(self, config={
            "FEATURE_GPSDATA_SUPPORT": "1", "FEATURE_GPSDATA_TIMEOUT": "1000",
            "FEATURE_GPSDATA_FETCH_CMD": "sleep 100000", "FEATURE_GPSDATA_TRIGGER_SUPPORT": "1",
            "FEATURE_REMOTE_ACTION_SUPPORT": "1", "FEATURE_REMOTE_ACTION_TIMEOUT": "1000",
            "FEATURE_REMOTE_ACTION_CMD": "sleep", "FEATURE_DEBUG_DUMP_SUPPORT": "1",
            "FEATURE_DEBUG_DUMP_TIMEOUT": "30", "FEATURE_DEBUG_DUMP_CMD": "echo dump of the device"})
        agent.start()
        agent.assert_serving()
        # The feature worker starts a GPS fetch that never ends.
        agent.write("tmp/syncConfig.now", "")
        self.assertTrue(agent.wait_log("Start GPS Submission"), agent.log()[-2000:])
        # A remote action whose command never ends is accepted (the simulator
        # checks the echoed request id), and a second one refused while it runs.
        for request_id, result in ((7, "accepted"), (8, "refused")):
            reply = ask(agent.sim, lambda s: s.action(request_id, ["100000"]))
            self.assertEqual((reply["result"], reply["errors"]), (result, ""))
            self.assertTrue(agent.wait_log("Start action request"))
        # The channel and the debug dump still work.
        agent.assert_serving()
        self.assertEqual(ask(agent.sim, lambda s: s.send_request(5))["result"], "accepted")
        self.assertTrue(wait_until(lambda: agent.wget_calls("dump") >= 1, 20), agent.log()[-2000:])
        self.assertTrue(agent.wait_log("Debug dump finish"))
        self.assertFalse(os.path.exists(agent.path("tmp", "vtclient", "qdms_debug_dump.dump")))
        agent.assert_serving()

    def test_huge_output_is_cut_at_the_cap_and_commands_inherit_no_descriptor(self):
        # 200 MB of text, after a command listed the descriptors it inherited.
        agent = Agent(self, config={"FEATURE_REMOTE_ACTION_SUPPORT": "1", "FEATURE_REMOTE_ACTION_TIMEOUT": "100",
                                    "FEATURE_REMOTE_ACTION_CMD": "ls -l /proc/self/fd > $VTCLIENT_ROOT/fds; "
                                                                 "head -c 200000000 /dev/zero | tr '\\0' x;"})
        agent.start()
        agent.assert_serving()
        idle = agent.memory_kib()
        self.assertEqual(ask(agent.sim, lambda s: s.action(7, ["true"]))["result"], "accepted")
        self.assertTrue(agent.wait_message("Action finish", 60), agent.log()[-2000:])
        peak = agent.memory_kib()
        print("peak RSS with 200 MB of action output: %d KiB against %d KiB idle" % (peak, idle))
        # Apart from the one ls reads the listing through.
        fds = [l.split()[-3] for l in agent.read("fds").splitlines() if " -> " in l and " -> /proc/" not in l]
        self.assertEqual(sorted(fds), ["0", "1", "2"], agent.read("fds"))
        [body] = [open(b, "rb").read() for b in glob.glob(agent.path("wget", "bodies", "action.*"))]
        self.assertIn(b"x" * 1000 + b"\n[output cut after %d bytes]\n" % OUTPUT_CAP, body)
        self.assertLess(len(body), OUTPUT_CAP + 4096)
        if BUILD_TYPE not in ("asan", "tsan"):  # their runtimes keep freed memory in quarantine
            self.assertLessEqual(peak, idle + 4096)
