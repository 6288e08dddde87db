"""The fetch tool missing, failing, answering garbage, or hanging past its time-out."""
import os
import unittest

from harness import Agent, ask, received, require_agent, wait_until



def config_agent(test, timeout, **keys):
    agent = Agent(test, config={"FEATURE_CONFIG_SUPPORT": "1", "FEATURE_CONFIG_TIMEOUT": timeout}, **keys)
    agent.config["FEATURE_CONFIG_SOURCE"] = agent.private("config.export")
    agent.config["FEATURE_CONFIG_FETCH_CMD"] = "echo A=1 > " + agent.private("config.export")
    agent.start()
    agent.assert_serving()
    return agent


@require_agent
class FetchToolFaults(unittest.TestCase):

    def test_missing_then_failing_then_working_tool(self):
        # The clock runs ten times faster: the next authorisation may start
        # 10 s after a failed one.
        agent = Agent(self, tool=None, speed=10)
        agent.start()
        self.assertTrue(agent.wait_log("Get AUTH Fail"), agent.log()[-2000:])
        agent.set_wget("fail")
        agent.install_wget()
        self.assertTrue(wait_until(lambda: agent.wget_calls("register") >= 2, 40), agent.log()[-2000:])
        self.assertTrue(agent.alive())
        self.assertEqual(received(agent.sim, "keepalive"), [])
        agent.set_wget("ok")
        agent.assert_serving(timeout=40)
        self.assertEqual(agent.leftover_temp_files(), [])

    def test_garbage_answers(self):
        agent = config_agent(self, "300", speed=10)
        agent.set_wget("garbage", "config")
        self.assertEqual(ask(agent.sim, lambda s: s.invite(0x2))["result"], "accepted")
        self.assertTrue(agent.wait_log("Config sync error"), agent.log()[-2000:])
        # A garbage authorisation answer leaves the running session alone.
        agent.set_wget("garbage", "register")
        agent.write("tmp/interface.update", "")
        self.assertTrue(agent.wait_log("Get AUTH Fail"), agent.log()[-2000:])
        agent.assert_serving()
        self.assertTrue(wait_until(lambda: agent.leftover_temp_files() == [], 10), agent.leftover_temp_files())
        self.assertEqual(os.listdir(agent.private("")), ["config.export"])

    def test_tool_hanging_past_its_time_out(self):
        # The tool's own limits are 10 s for authorisation and 30 s for a
        # feature exchange; a run still going 5 s later is killed. Both hang
        # at once here, so the waits overlap.
        agent = config_agent(self, "100")
        agent.set_wget("hang", "config")
        self.assertEqual(ask(agent.sim, lambda s: s.invite(0x2))["result"], "accepted")
        self.assertTrue(wait_until(lambda: agent.wget_calls("config") >= 1, 20))
        agent.assert_serving()  # the channel goes on while the feature worker waits
        # Re-authorisation hangs too; the channel must get past it.
        agent.set_wget("hang", "register")
        agent.write("tmp/interface.update", "")
        self.assertTrue(wait_until(lambda: agent.wget_calls("register") >= 2, 20))
        agent.set_wget("ok", "register")
        self.assertTrue(agent.wait_log("Reestablish success", 60), agent.log()[-3000:])
        agent.assert_serving()
        self.assertTrue(agent.wait_log("Config sync error", 60), agent.log()[-2000:])
        self.assertTrue(wait_until(lambda: agent.leftover_temp_files() == [], 10), agent.leftover_temp_files())
