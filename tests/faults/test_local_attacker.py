"""A local unprivileged user (nobody, through setpriv) against the agent.

The sandbox's /tmp and spool have mode 1777, like a device's /tmp. The
attacker plants files, links, FIFOs and a squatted private directory at
the names the agent uses, and forces re-authorisation through the
interface update file. Nothing here depends on fs.protected_symlinks,
fs.protected_regular or fs.protected_fifos: every plant is made before the
agent touches the name, or at a name the agent only ever replaces.
"""
import json
import os
import signal
import struct
import subprocess
import time
import unittest

from harness import Agent, ask, require_agent, spooled_events, uploaded_events, wait_until

NOBODY = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "/usr/bin/python3", "-c"]

# Run as nobody: plants [kind, path, link target] items with a umask of 0.
PLANT = """
import json, os, sys
os.umask(0)
for kind, path, target in json.loads(sys.argv[1]):
    if kind == "file":
        os.close(os.open(path, os.O_CREAT | os.O_WRONLY, 0o666))
    elif kind == "link":
        os.symlink(target, path)
    elif kind == "fifo":
        os.mkfifo(path, 0o666)
    elif kind == "dir":
        os.mkdir(path, 0o777)
"""

# Run as nobody: prints every file under the given trees whose first MiB
# holds the secret (never blocking on a FIFO, never following a link).
SEARCH = """
import os, sys
secret = sys.argv[1].encode()
for top in sys.argv[2:]:
    for d, _, names in os.walk(top):
        for n in names:
            try:
                fd = os.open(os.path.join(d, n), os.O_RDONLY | os.O_NONBLOCK | os.O_NOFOLLOW)
            except OSError:
                continue
            try:
                if secret in os.read(fd, 1 << 20):
                    print(os.path.join(d, n))
            except OSError:
                pass
            os.close(fd)
"""


def as_nobody(script, *args):
    done = subprocess.run(NOBODY + [script] + list(args), capture_output=True, text=True, timeout=60,
                          cwd="/")
    if done.returncode != 0:
        raise AssertionError("attacker script failed: " + done.stderr)
    return done.stdout


def shared_agent(test, config):
    """An agent whose /tmp and spool are open to every user, like a device's."""
    agent = Agent(test, config=config)
    os.chmod(agent.root, 0o755)
    for shared in ("tmp", "spool"):
        os.chmod(agent.path(shared), 0o1777)
    return agent


def plant(agent, items):
    as_nobody(PLANT, json.dumps([[k, agent.path(p), agent.path(t) if t else ""] for k, p, t in items]))


def drop_status_event(agent):
    with open(agent.path("spool", "status.event"), "wb") as f:
        f.write(struct.pack("=ii132s", 5, 1700000000, b"event number 9999"))


@require_agent
class LocalAttacker(unittest.TestCase):

    def test_planted_names_give_away_nothing_and_change_nothing(self):
        agent = shared_agent(self, {"FEATURE_EVENT_SUPPORT": "1", "FEATURE_REMOTE_ACTION_SUPPORT": "1",
                                    "FEATURE_REMOTE_ACTION_TIMEOUT": "60",
                                    "FEATURE_REMOTE_ACTION_CMD": "echo secret-action-output"})
        agent.write("etc/victim", "precious")
        plant(agent, [
            # The exchange files' old shared names, pre-created for reading.
            ("file", "tmp/udps_auth.dump", None), ("file", "tmp/udps_conf.in", None),
            ("file", "tmp/action_tmp", None),
            # The private directory's name, squatted, with a file waiting inside.
            ("dir", "tmp/vtclient", None), ("file", "tmp/vtclient/udps_auth.dump", None),
            # Links from the names others read to a root-owned file.
            ("link", "tmp/interface.using", "etc/victim"), ("link", "tmp/qrms_eventlog.log", "etc/victim"),
            # Spool entries that are no event files.
            ("fifo", "spool/a-fifo.event", None), ("link", "spool/b-link.event", "etc/victim"),
        ])
        agent.start()
        agent.assert_serving()
        # Forced re-authorisation: the key is fetched again while the plants wait.
        plant(agent, [("file", "tmp/interface.update", None)])
        self.assertTrue(wait_until(lambda: agent.wget_calls("register") >= 2, 30), agent.log()[-2000:])
        drop_status_event(agent)
        agent.signal(signal.SIGUSR1)
        self.assertTrue(wait_until(lambda: 9999 in uploaded_events(agent) and not spooled_events(agent), 30),
                        agent.log()[-2000:])
        self.assertEqual(ask(agent.sim, lambda s: s.action(9, ["x"]))["result"], "accepted")
        self.assertTrue(wait_until(lambda: agent.wget_calls("action") >= 1, 30), agent.log()[-2000:])

        leaked = as_nobody(SEARCH, agent.sim.key, agent.path("tmp"), agent.path("spool"))
        self.assertEqual(leaked, "", "the session key reached the attacker")
        self.assertEqual(as_nobody(SEARCH, "secret-action-output", agent.path("tmp")), "")
        self.assertEqual(agent.read("etc/victim"), "precious")
        for name, content in (("tmp/interface.using", ""), ("tmp/qrms_eventlog.log", "000")):
            self.assertFalse(os.path.islink(agent.path(name)), name)
            self.assertEqual(agent.read(name), content, name)
        for name in ("tmp/udps_auth.dump", "tmp/udps_conf.in", "tmp/action_tmp", "tmp/vtclient/udps_auth.dump"):
            self.assertEqual(os.path.getsize(agent.path(name)), 0, name + " was written")
        self.assertEqual(os.listdir(agent.path("spool")), [])
        self.assertIn("Private directory %s is not safe" % agent.path("tmp", "vtclient"), agent.log())
        agent.assert_serving()

    def test_fifo_at_each_fixed_name_blocks_nothing(self):
        # Each run: a FIFO at one fixed name, then the work that uses it, a
        # request answered afterwards, and the seconds from SIGTERM to exit.
        names = ["tmp/udp_client.log", "tmp/interface.using", "tmp/interface.update",
                 "tmp/qrms_eventlog.log", "spool/fifo.event"]
        figures = []
        for name in names:
            with self.subTest(name=name):
                agent = shared_agent(self, {"FEATURE_EVENT_SUPPORT": "1"})
                plant(agent, [("fifo", name, None)])
                agent.start()
                agent.assert_serving()
                plant(agent, [("file", "tmp/interface.update", None)] if name != "tmp/interface.update" else [])
                self.assertTrue(wait_until(lambda: agent.wget_calls("register") >= 2, 30))
                drop_status_event(agent)
                agent.signal(signal.SIGUSR1)
                self.assertTrue(wait_until(lambda: 9999 in uploaded_events(agent), 30))
                self.assertTrue(wait_until(lambda: not os.path.exists(agent.path("spool", "fifo.event")), 10))
                agent.assert_serving()
                start = time.monotonic()
                agent.signal(signal.SIGTERM)
                agent.proc.wait(30)
                figures.append((name, time.monotonic() - start))
                self.assertLessEqual(figures[-1][1], 5.0, name)
        print("\nseconds from SIGTERM to exit, FIFO at:")
        for name, seconds in figures:
            print("  %-24s %.2f" % (name, seconds))


if __name__ == "__main__":
    unittest.main()
