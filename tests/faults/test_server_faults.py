"""The server replying late, repeating itself, sending stale requests, or
falling silent and coming back with a new key on a new port."""
import unittest

from harness import Agent, ask, require_agent, wait_keepalives, wait_until


@require_agent
class ServerFaults(unittest.TestCase):

    def test_late_replies(self):
        agent = Agent(self)
        agent.start()
        agent.assert_serving()
        # Every keepalive reply arrives 3 s late, yet still before the agent
        # would retransmit: the channel stays up and never re-establishes.
        agent.sim.keepalive_delay = 3.0
        self.assertTrue(wait_keepalives(agent.sim, 2, 30))
        self.assertEqual(ask(agent.sim, lambda s: s.invite(0x8))["result"], "refused")
        agent.sim.keepalive_delay = 0.0
        agent.assert_serving()
        self.assertNotIn("Reestablish HTTPS", agent.log())

    def test_duplicate_and_stale_requests(self):
        agent = Agent(self)
        agent.start()
        agent.assert_serving()
        # The same request twice with one seq and id, then one with an old seq.
        sim = agent.sim
        seq, _, _ = sim.invite(0x8)
        sim.invite(0x8, seq=seq, msg_id=seq)
        sim.invite(0x8, seq=0, msg_id=77)
        self.assertTrue(wait_until(lambda: [r for r in sim.received if r.get("seq") == seq and "result" in r], 10))
        agent.assert_serving()

    def test_silent_server_then_restart_with_new_key_and_port(self):
        agent = Agent(self, config={"DEVICE_DISCONNECT_TIMEOUT": "70"}, speed=10)
        agent.start()
        agent.assert_serving()
        # The server goes away; a new one answers the next authorisation
        # with another key and another port.
        agent.sim.answer_keepalives = False
        fresh = agent.new_simulator()
        # After 70 s of silence the agent re-establishes its session.
        self.assertTrue(agent.wait_log("Reestablish HTTPS + UDP...", 100), agent.log()[-2000:])
        agent.assert_serving(fresh, timeout=30)
        self.assertEqual(agent.leftover_temp_files(), [])


if __name__ == "__main__":
    unittest.main()
