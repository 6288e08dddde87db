"""The fetch tool missing, failing, or answering garbage."""
import os
import unittest

from harness import Agent, require_agent, wait_until


@require_agent
class FetchToolFaults(unittest.TestCase):

    def test_missing_tool_then_installed(self):
        agent = Agent(self, with_wget=False, speed=10)
        agent.start()
        # No tool: authorisation fails, the agent stays up and keeps trying.
        self.assertTrue(agent.wait_log("Get AUTH Fail", 20), agent.log()[-2000:])
        self.assertTrue(agent.alive())
        agent.install_wget()
        # The next attempt (every 10 s after a failed one) gets the session.
        self.assertTrue(agent.server.wait_keepalives(1, 40), agent.log()[-2000:])
        agent.assert_serving()
        self.assertEqual(agent.leftover_temp_files(), [])

    def test_failing_tool_then_recovering(self):
        agent = Agent(self, speed=10)
        agent.set_wget("fail")
        agent.start()
        self.assertTrue(wait_until(lambda: agent.wget_calls("register") >= 2, 40),
                        agent.log()[-2000:])
        self.assertEqual(agent.server.count("keepalives"), 0)
        agent.set_wget("ok")
        self.assertTrue(agent.server.wait_keepalives(1, 40), agent.log()[-2000:])
        agent.assert_serving()
        self.assertEqual(agent.leftover_temp_files(), [])

    def test_garbage_answers(self):
        agent = Agent(self, config={
            "FEATURE_CONFIG_SUPPORT": "1",
            "FEATURE_CONFIG_TIMEOUT": "30",
            "FEATURE_CONFIG_PATH": "conf",
            "FEATURE_CONFIG_SOURCE": "%s/tmp/config.export",
            "FEATURE_CONFIG_FETCH_CMD": "echo A=1 > %s/tmp/config.export",
        })
        for key in ("FEATURE_CONFIG_SOURCE", "FEATURE_CONFIG_FETCH_CMD"):
            agent.config[key] = agent.config[key] % agent.root
        agent.start()
        agent.assert_serving()
        agent.set_wget("garbage", "conf")
        # Config sync invitation: the answer is random bytes.
        reply = agent.server.ask(1, b"\x00\x00\x00\x02")
        self.assertIsNotNone(reply)
        self.assertTrue(agent.wait_log("Config sync error", 20), agent.log()[-2000:])
        # A garbage authorisation answer leaves the running session alone.
        agent.set_wget("garbage", "register")
        agent.write("tmp/interface.update", "")
        self.assertTrue(agent.wait_log("Get AUTH Fail", 20), agent.log()[-2000:])
        agent.assert_serving()
        self.assertTrue(wait_until(lambda: agent.leftover_temp_files() == [], 10),
                        agent.leftover_temp_files())
        self.assertFalse(os.path.exists(agent.path("tmp", "config.export.tmp")))


if __name__ == "__main__":
    unittest.main()
