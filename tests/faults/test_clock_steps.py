"""Running on past 2038, then the wall clock stepped back an hour and forward
a day under the running agent; the first pass on one CPU."""
import datetime
import re
import signal
import unittest

from harness import TSAN, Agent, require_agent, wait_until


@require_agent
@unittest.skipIf(TSAN, "no faked clock under ThreadSanitizer")
class ClockSteps(unittest.TestCase):

    def test_past_2038(self):
        # Run against a 32-bit build too: VTCLIENT_EXEC names its emulator.
        start = 2 ** 31 - 128  # 2038-01-19 03:12:00 UTC, 128 s before a signed 32-bit count overflows
        # Planned before the boundary, due after it, then every minute.
        agent = Agent(self, config={
            "FEATURE_CONFIG_SUPPORT": "1", "FEATURE_CONFIG_AUTO_START": "1", "FEATURE_CONFIG_AUTO_START_TIME": "150",
            "FEATURE_CONFIG_AUTO_REPEAT": "1", "FEATURE_CONFIG_AUTO_REPEAT_INTERVAL": "60",
            "FEATURE_CONFIG_TIMEOUT": "600",
        })
        agent.write("faketime", "@2038-01-19 03:12:00 x10\n")
        agent.faketime = {"FAKETIME_TIMESTAMP_FILE": agent.path("faketime"), "FAKETIME_CACHE_DURATION": "1",
                          "DONT_FAKE_MONOTONIC": "1", "TZ": "UTC"}
        agent.started({"FEATURE_CONFIG_SOURCE": agent.private("config.export"),
                       "FEATURE_CONFIG_FETCH_CMD": "echo A=1 > " + agent.private("config.export")})
        # The time each configuration upload carried (none yet in a body still being copied).
        uploads = lambda: sorted(int(t) for body in agent.bodies("config")
                                 for t in re.findall(r'name="time"\r\n\r\n(-?\d+)\r\n', body))
        # Five simulated minutes on, syncs still run every minute.
        agent.check(lambda: any(t >= start + 300 for t in uploads()), 120)
        self.assertGreaterEqual(uploads()[0], start + 150, "the first sync came early: %s" % uploads())
        # Every log line carries its true time, past the boundary too.
        stamps = [datetime.datetime.strptime(line[1:line.index("]")], "%a %b %d %H:%M:%S %Z %Y")
                  .replace(tzinfo=datetime.timezone.utc).timestamp()
                  for line in agent.log().splitlines() if line.startswith("[")]
        self.assertTrue(all(start <= t < start + 3600 for t in stamps), agent.log()[-3000:])
        self.assertGreaterEqual(max(stamps), start + 300)
        # Then only the wall clock steps, back an hour and forward a day; the
        # monotonic clock never does on a device. What the scheduler makes of a
        # step, its own tests prove.
        for when in ("2038-01-19 02:12:00", "2038-01-20 03:12:00", "2038-01-19 03:12:00"):
            agent.write("faketime", "@%s x10\n" % when)
            agent.assert_serving(timeout=40)
        agent.check(lambda: agent.leftover_temp_files() == [], 10)  # a sync may be under way

    def test_first_pass_on_one_cpu_runs_each_due_feature_once(self):
        # Start time 0 makes config sync, the report and GPS due on the very
        # first pass of the supervision loop, before the workers may have
        # reached their first wait: the hand-over must not be lost on one CPU.
        starts = ["Start configuration sync ...", "Start device reporting ...", "Start GPS Submission"]
        config = dict(FEATURE_GPSDATA_SUPPORT="1", FEATURE_GPSDATA_AUTO_START="1", FEATURE_GPSDATA_TIMEOUT="60",
                      FEATURE_GPSDATA_FETCH_CMD="echo 1 1700000000 48.5 -10.25", FEATURE_CONFIG_SUPPORT="1",
                      FEATURE_CONFIG_AUTO_START="1", FEATURE_CONFIG_TIMEOUT="30", FEATURE_CONFIG_FETCH_CMD="true",
                      FEATURE_REPORT_SUPPORT="1", FEATURE_REPORT_AUTO_START="1", FEATURE_REPORT_AUTO_REPEAT="1",
                      FEATURE_REPORT_AUTO_REPEAT_INTERVAL="3600", FEATURE_REPORT_TIMEOUT="30")
        for _ in range(2):  # 20 tries, 10 at a time
            agents = [Agent(self, config=config) for _ in range(10)]
            for agent in agents:
                agent.start(cpus="0")
            done = [wait_until(lambda a=agent: a.count("GPS Thread is going to sleep"), 20) for agent in agents]
            # GPS followed config sync on a later pass; a pass more shows no repeat.
            wait_until(lambda: agents[-1].count("Start GPS Submission") >= 2, 1.5)
            self.assertEqual([d and [a.count(s) for s in starts] for a, d in zip(agents, done)], [[1, 1, 1]] * 10)
            for agent in agents:
                agent.signal(signal.SIGTERM)
