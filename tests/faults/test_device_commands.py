"""Device commands that never end must not stop the rest of the agent."""
import os
import unittest

from harness import Agent, ask, require_agent, wait_until


@require_agent
class EndlessDeviceCommands(unittest.TestCase):

    def test_endless_gps_and_action_commands(self):
        agent = Agent(self, config={
            "FEATURE_GPSDATA_SUPPORT": "1",
            "FEATURE_GPSDATA_TIMEOUT": "1000",
            "FEATURE_GPSDATA_FETCH_CMD": "sleep 100000",
            "FEATURE_GPSDATA_TRIGGER_SUPPORT": "1",
            "FEATURE_REMOTE_ACTION_SUPPORT": "1",
            "FEATURE_REMOTE_ACTION_TIMEOUT": "1000",
            "FEATURE_REMOTE_ACTION_CMD": "sleep",
            "FEATURE_DEBUG_DUMP_SUPPORT": "1",
            "FEATURE_DEBUG_DUMP_TIMEOUT": "30",
            "FEATURE_DEBUG_DUMP_CMD": "echo dump of the device",
        })
        agent.start()
        agent.assert_serving()
        # The feature worker starts a GPS fetch that never ends.
        agent.write("tmp/syncConfig.now", "")
        self.assertTrue(agent.wait_log("Start GPS Submission"), agent.log()[-2000:])
        # A remote action whose command never ends is accepted (the simulator
        # checks the echoed request id)...
        reply = ask(agent.sim, lambda s: s.action(7, ["100000"]))
        self.assertEqual((reply["result"], reply["errors"]), ("accepted", ""))
        self.assertTrue(agent.wait_log("Start action request"))
        # ...and a second one is refused while it runs.
        reply = ask(agent.sim, lambda s: s.action(8, ["1"]))
        self.assertEqual((reply["result"], reply["errors"]), ("refused", ""))
        # The channel and the debug dump still work.
        agent.assert_serving()
        self.assertEqual(ask(agent.sim, lambda s: s.send_request(5))["result"], "accepted")
        self.assertTrue(wait_until(lambda: agent.wget_calls("dump") >= 1, 20), agent.log()[-2000:])
        self.assertTrue(agent.wait_log("Debug dump finish"))
        self.assertFalse(os.path.exists(agent.path("tmp", "vtclient", "qdms_debug_dump.dump")))
        agent.assert_serving()


if __name__ == "__main__":
    unittest.main()
