"""Someone on the path who is not the server: datagrams spoofed from the
server's address while the server is gone, a flood, and a replay of a
recorded session."""
import time
import unittest

from harness import Agent, Spoofer, ask, clock_can_run_fast, require_agent, wait_keepalives, wait_until

# Agent seconds per real second. The channel's threads tick once a real
# second, and a re-authorisation starts a process: at a faster clock these
# alone would eat the 10 agent seconds a new session may take.
SPEED = 5
NEEDS_FAST_CLOCK = "needs libfaketime inside the agent: minutes of agent time"
DISCONNECT = 70
WRAP = 0xFFFFFFFF  # the restart mark


@require_agent
class ChannelAttacks(unittest.TestCase):

    @unittest.skipUnless(clock_can_run_fast(), NEEDS_FAST_CLOCK)
    def test_spoofed_datagrams_never_keep_a_dead_session(self):
        # The server falls silent and a new one (new key, new port) answers the
        # next authorisation; meanwhile the device's port gets datagrams that
        # fail the header or the key, or the device's own keepalive sent back
        # to it (it decrypts and names the device). None is a sign of the
        # server's life: the new server is in use within disconnect_timeout + 10 s.
        cases = [  # kind, datagrams, over agent seconds
            ("garbage", 5, 100),       # one every 20 s
            ("wrongkey", 5, 100),
            ("garbage", 100000, DISCONNECT),
            ("echo", 40, 100),         # twice within every 5 s
        ]
        moved = []
        for kind, count, seconds in cases:
            with self.subTest(kind=kind, count=count):
                agent = Agent(self, config={"DEVICE_DISCONNECT_TIMEOUT": str(DISCONNECT)}, speed=SPEED)
                agent.start()
                agent.assert_serving()
                old = agent.sim
                old.answer_keepalives = False
                silent_from = time.monotonic()
                fresh = agent.new_simulator()
                spoofer = Spoofer(self, old, kind, count, seconds / SPEED)
                spoofer.start()
                self.assertTrue(wait_keepalives(fresh, 1, (DISCONNECT + 10) / SPEED - (time.monotonic() - silent_from)),
                                agent.log()[-2000:])
                moved.append((kind, count, (time.monotonic() - silent_from) * SPEED))
                spoofer.stop()
                agent.assert_serving(fresh)
                self.assertEqual(agent.leftover_temp_files(), [])
                agent.stop()
        print("\nagent seconds from the server's silence to the new server (limit %d):" % (DISCONNECT + 10))
        for kind, count, seconds in moved:
            print("  %-8s %6d  %.0f" % (kind, count, seconds))

    @unittest.skipUnless(clock_can_run_fast(), NEEDS_FAST_CLOCK)
    def test_replayed_restart_mark_and_reboot_run_nothing(self):
        agent = Agent(self, config={"FEATURE_REBOOT_SUPPORT": "1", "FEATURE_REBOOT_ACTION_CMD": "echo >> reboots"},
                      speed=SPEED)
        agent.start()
        agent.assert_serving()  # its invitation carried the restart mark
        sim = agent.sim
        self.assertIn(WRAP, sim.requests)
        reboot = ask(sim, lambda s: s.send_request(3))
        self.assertEqual(reboot["result"], "accepted")
        self.assertTrue(wait_until(lambda: agent.read("reboots").count("\n") == 1, 20), agent.log()[-2000:])
        # No new session (the socket stays and reads both), then the recording.
        agent.set_wget("fail", "register")
        sim.replay_request(WRAP)
        sim.replay_request(reboot["seq"])
        # A minute later the held-back line counts the refused reboot.
        refused = lambda: "Decrypt err 0, Seq err 1" in agent.log()
        wait_until(lambda: refused() or agent.read("reboots").count("\n") > 1, 60 / SPEED + 30)
        self.assertEqual(agent.read("reboots").count("\n"), 1)
        self.assertTrue(refused(), agent.log()[-2000:])

    def test_wrong_key_flood_leaves_the_settings_lines_in_the_log(self):
        agent = Agent(self, config={"DEVICE_LOG_FILE_SIZE": "16384", "DEVICE_LOG_NUM_FILE": "3"})
        agent.start()
        agent.assert_serving()
        self.assertIn("] bl size: 10", agent.log())
        agent.sim.flood("wrongkey", 20000)
        agent.assert_serving()
        self.assertTrue("] bl size: 10" in agent.log(), agent.log()[-2000:])


if __name__ == "__main__":
    unittest.main()
