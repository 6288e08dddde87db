"""The server replying late, repeating itself, or sending stale requests."""
import unittest

import vtproto
from harness import Agent, require_agent, wait_until


@require_agent
class ServerFaults(unittest.TestCase):

    def test_late_replies(self):
        agent = Agent(self)
        agent.start()
        agent.assert_serving()
        # Every keepalive reply arrives 3 s late: the agent retransmits, the
        # late replies match nothing, and the channel stays up.
        agent.server.reply_delay = 3.0
        self.assertTrue(agent.server.wait_keepalives(4, 40))
        reply = agent.server.ask(1, b"\x00\x00\x00\x08", timeout=20)
        self.assertIsNotNone(reply)
        self.assertEqual(reply[0], vtproto.REPLY_FAIL)
        agent.server.reply_delay = 0.0
        agent.assert_serving()
        self.assertNotIn("Reestablish HTTPS", agent.log())

    def test_duplicate_and_stale_requests(self):
        agent = Agent(self)
        agent.start()
        agent.assert_serving()
        # The same request twice with one id, then one with an old seq.
        server = agent.server
        with server.cond:
            seq = server.next_seq
            server.next_seq += 1
        msg = vtproto.make_message(vtproto.REPLY_WANTED, seq, seq, 1, 1, b"\x00\x00\x00\x08")
        server._send(msg)
        server._send(msg)
        stale = vtproto.make_message(vtproto.REPLY_WANTED, 0, 77, 1, 1, b"\x00\x00\x00\x08")
        server._send(stale)
        self.assertTrue(wait_until(lambda: seq in server.replies, 10))
        agent.assert_serving()


if __name__ == "__main__":
    unittest.main()
