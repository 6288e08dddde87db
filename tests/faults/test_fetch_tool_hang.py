"""The fetch tool hanging past its time-out: killed, and the agent goes on."""
import unittest

import vtproto
from harness import Agent, require_agent, wait_until


@require_agent
class HangingFetchTool(unittest.TestCase):

    def test_tool_hanging_past_its_timeout(self):
        agent = Agent(self)
        agent.start()
        agent.assert_serving()
        # Re-authorise through the interface update file while the tool hangs.
        agent.set_wget("hang", "register")
        agent.write("tmp/interface.update", "")
        self.assertTrue(wait_until(lambda: agent.wget_calls("register") >= 2, 20))
        agent.set_wget("ok", "register")
        # The hung run must be given up (the tool's own limit is 10 s) so that
        # the channel goes on; a later attempt succeeds again.
        self.assertTrue(agent.wait_log("Reestablish success", 60), agent.log()[-3000:])
        agent.assert_serving()
        self.assertEqual(agent.leftover_temp_files(), [])

    def test_tool_hanging_in_a_feature_exchange(self):
        agent = Agent(self, config={
            "FEATURE_CONFIG_SUPPORT": "1",
            "FEATURE_CONFIG_TIMEOUT": "100",
            "FEATURE_CONFIG_PATH": "conf",
            "FEATURE_CONFIG_FETCH_CMD": "echo A=1 > $VTCLIENT_ROOT/tmp/config.export",
        })
        agent.config["FEATURE_CONFIG_SOURCE"] = agent.path("tmp", "config.export")
        agent.set_wget("hang", "conf")
        agent.start()
        agent.assert_serving()
        self.assertEqual(agent.server.ask(1, b"\x00\x00\x00\x02")[0], vtproto.REPLY_OK)
        self.assertTrue(wait_until(lambda: agent.wget_calls("conf") >= 1, 20))
        # The channel goes on while the feature worker waits for the tool...
        agent.assert_serving()
        # ...which is given up 5 s after its own 30 s limit.
        self.assertTrue(agent.wait_log("Config sync error", 60), agent.log()[-2000:])
        self.assertTrue(wait_until(lambda: agent.leftover_temp_files() == [], 10),
                        agent.leftover_temp_files())


if __name__ == "__main__":
    unittest.main()
