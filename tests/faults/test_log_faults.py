"""The log disk full."""
import os
import signal
import subprocess
import unittest

from harness import Agent, require_agent, wait_until


@require_agent
class LogFaults(unittest.TestCase):

    def test_log_disk_full(self):
        agent = Agent(self, config={"DEVICE_LOG_FILE_SIZE": "8000", "DEVICE_LOG_NUM_FILE": "3"})
        disk = agent.small_disk("logdisk")
        self.addCleanup(agent.stop)
        # A small rotation size: files rotate on the full disk too.
        agent.config["DEVICE_LOG_PATH"] = os.path.join(disk, "udp_client.log")
        agent.start()
        agent.assert_serving()
        filler = os.path.join(disk, "filler")
        subprocess.run(["dd", "if=/dev/zero", "of=" + filler, "bs=1k"], stderr=subprocess.DEVNULL)
        # Debug mode makes every packet a log line: the full disk is hit hard.
        agent.signal(signal.SIGUSR2)
        # A pass that takes the interface update file has seen debug mode on.
        agent.write("tmp/interface.update", "")
        self.assertTrue(wait_until(lambda: not os.path.exists(agent.path("tmp/interface.update")), 30))
        for _ in range(2):
            agent.assert_serving()
        os.unlink(filler)
        # With room again, logging resumes.
        agent.signal(signal.SIGUSR2)
        self.assertTrue(wait_until(lambda: "Debug mode OFF" in agent.log(), 10), agent.log()[-1000:])
        agent.assert_serving()
