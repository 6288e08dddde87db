"""The server falling silent, then back with a new key on a new port."""
import unittest

from harness import Agent, ChannelServer, require_agent


@require_agent
class SilentServer(unittest.TestCase):

    def test_silent_server_then_restart_with_new_key_and_port(self):
        agent = Agent(self, config={"DEVICE_DISCONNECT_TIMEOUT": "70"}, speed=10)
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


if __name__ == "__main__":
    unittest.main()
