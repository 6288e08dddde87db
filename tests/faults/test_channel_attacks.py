"""Someone on the path who is not the server: datagrams spoofed from the
server's address while the server is gone, and a flood."""
import time
import unittest

from harness import Agent, clock_can_run_fast, received, require_agent, wait_until

DISCONNECT = 70
SPEED = 10  # agent seconds per real second


@require_agent
class ChannelAttacks(unittest.TestCase):

    @unittest.skipUnless(clock_can_run_fast(), "needs libfaketime inside the agent: minutes of agent time")
    def test_spoofed_datagrams_never_keep_a_dead_session(self):
        # The server falls silent and a new one (new key, new port) answers the
        # next authorisation, while datagrams keep coming from the old one's
        # address: ones that fail the key or the header, one every 40 agent
        # seconds (fewer than the 20 in a row that end a session by
        # themselves) or a flood, or the device's own keepalive sent back to
        # it twice within every 5 agent seconds (it decrypts and names the
        # device). Were any a sign of the server's life, the agent would keep
        # the dead session as long as they come; so it must reach the new
        # server while they still come. The silence takes 7 real seconds; the
        # bound allows for a loaded machine.
        moved = []
        for kind, burst, every in (("wrongkey", 1, 4.0), ("garbage", 100, 0.05), ("echo", 2, 0.4)):
            with self.subTest(kind=kind):
                agent = Agent(self, config={"DEVICE_DISCONNECT_TIMEOUT": str(DISCONNECT)}, speed=SPEED)
                agent.start()
                agent.assert_serving()
                old, deadline, sent = agent.sim, time.monotonic() + 60, 0
                old.answer_keepalives = False
                silent_from = time.monotonic()
                fresh = agent.new_simulator()
                while not wait_until(lambda: received(fresh, "keepalive"), every) and time.monotonic() < deadline:
                    sent += burst
                    old.flood(kind, burst)
                self.assertTrue(received(fresh, "keepalive"), agent.log()[-2000:])
                self.assertGreater(sent, 0)
                moved.append((kind, sent, (time.monotonic() - silent_from) * SPEED))
                agent.assert_serving(fresh)
                self.assertEqual(agent.leftover_temp_files(), [])
                agent.stop()
        print("\nagent seconds from the server's silence to the new server (limit %d):" % (DISCONNECT + 10))
        for kind, count, seconds in moved:
            print("  %-8s %6d  %.0f" % (kind, count, seconds))

    def test_wrong_key_flood_leaves_the_settings_lines_in_the_log(self):
        agent = Agent(self, config={"DEVICE_LOG_FILE_SIZE": "16384", "DEVICE_LOG_NUM_FILE": "3"})
        agent.start()
        agent.assert_serving()
        self.assertIn("] bl size: 10", agent.log())
        agent.sim.flood("wrongkey", 20000)
        agent.assert_serving()
        self.assertIn("] bl size: 10", agent.log())
