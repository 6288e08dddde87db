"""The server falling silent, restarting with a new key and port, replying late."""
import unittest

import vtproto
from harness import Agent, ChannelServer, require_agent, wait_until


@require_agent
class ServerFaults(unittest.TestCase):

    def test_silent_server_then_restart_with_new_key_and_port(self):
        agent = Agent(self, config={"DEVICE_DISCONNECT_TIMEOUT": "70"})
        agent.start()
        agent.assert_serving()
        # The server goes away; a new one answers the next authorisation
        # with another key and another port.
        agent.server.silent = True
        fresh = ChannelServer()
        agent.extra_servers.append(fresh)
        agent.write_auth(fresh)
        # After 70 s of silence the agent re-establishes its session.
        self.assertTrue(agent.wait_log("Reestablish HTTPS + UDP...", 100), agent.log()[-2000:])
        self.assertTrue(fresh.wait_keepalives(1, 30), agent.log()[-3000:])
        agent.assert_serving(fresh)
        self.assertEqual(agent.leftover_temp_files(), [])

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
