"""A configuration of 2,000 keys with lines of 20,000 characters."""
import unittest

from harness import Agent, require_agent


@require_agent
class BigConfiguration(unittest.TestCase):

    def test_two_thousand_keys_and_long_lines(self):
        agent = Agent(self)
        # Long lines first: their later pieces are read as lines of their own.
        config = {"#" + "c" * 19999: "comment", "LONG_VALUE": "v" * 20000,
                  "LONG_KEY_" + "k" * 20000: "1", "FEATURE_REMOTE_ACTION_CMD": "echo " + "x" * 19990}
        config.update(("EXTRA_KEY_%04d" % i, "value %d" % i) for i in range(2000))
        config.update(agent.config, DEVICE_KEEPALIVE_INTERVAL="6")
        agent.config = config
        agent.start()
        agent.assert_serving()
        self.assertIn("keepalive: 6", agent.log())


if __name__ == "__main__":
    unittest.main()
