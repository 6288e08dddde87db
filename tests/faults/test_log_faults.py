"""The log path unwritable, and the log disk full."""
import os
import signal
import subprocess
import unittest

from harness import Agent, require_agent, wait_until


@require_agent
class LogFaults(unittest.TestCase):

    def test_unwritable_log_path(self):
        agent = Agent(self)
        agent.config["DEVICE_LOG_PATH"] = agent.path("no-such-dir", "udp_client.log")
        agent.start()
        agent.assert_serving()
        # The lines go to standard error instead, with the usual prefix.
        self.assertTrue(wait_until(lambda: "] [info] " in agent.read("stderr"), 10))
        self.assertFalse(os.path.exists(agent.path("no-such-dir")))

    def test_log_disk_full(self):
        agent = Agent(self)
        disk = agent.path("logdisk")
        os.makedirs(disk)
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", disk],
                                 stderr=subprocess.DEVNULL).returncode == 0
        if not mounted:
            self.skipTest("cannot mount a small tmpfs here")
        self.addCleanup(subprocess.run, ["umount", "-l", disk])
        self.addCleanup(agent.stop)
        # Small rotation size so that rotation also happens on the full disk.
        agent.config["DEVICE_LOG_PATH"] = os.path.join(disk, "udp_client.log")
        agent.config["DEVICE_LOG_FILE_SIZE"] = "8000"
        agent.config["DEVICE_LOG_NUM_FILE"] = "3"
        agent.start()
        agent.assert_serving()
        filler = os.path.join(disk, "filler")
        subprocess.run(["dd", "if=/dev/zero", "of=" + filler, "bs=1k"], stderr=subprocess.DEVNULL)
        # Debug mode makes every packet a log line: the full disk is hit hard.
        agent.signal(signal.SIGUSR2)
        for _ in range(2):
            agent.assert_serving()
        os.unlink(filler)
        # With room again, logging resumes.
        agent.signal(signal.SIGUSR2)
        self.assertTrue(wait_until(lambda: "Debug mode OFF" in agent.log(), 10),
                        agent.log()[-1000:])
        agent.assert_serving()


if __name__ == "__main__":
    unittest.main()
