"""The server replying late, repeating itself or sending stale requests.
(Falling silent and coming back with a new key on a new port, while others
send datagrams: test_channel_attacks.)"""
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


if __name__ == "__main__":
    unittest.main()
