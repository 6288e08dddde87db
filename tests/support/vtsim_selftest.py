#!/usr/bin/python3
"""Self-test of the simulator: it must flag every fault of a device's packets, or
the channel tests' "no errors" would prove nothing. A scripted device talks to it."""
import os
import socket
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "faults"))
from harness import SERIAL, Simulator, wait_until  # noqa: E402
from vtsim.wire import RESTART_SEQ, Message, build_packet, parse_packet  # noqa: E402


class SimulatorTest(unittest.TestCase):
    def test_every_fault_of_the_device_is_reported(self):
        sim = Simulator(SERIAL, key="k" * 16, workdir=tempfile.mkdtemp(prefix="vtsim-test-"))
        sim.start()
        self.addCleanup(sim.stop)
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(sock.close)
        sock.settimeout(10)
        sock.connect(("127.0.0.1", sim.udp_port))

        def send(message, key="k" * 16):  # on a fixed vector, so that every outcome is fixed
            sock.send(build_packet(SERIAL, key, message.encode(), iv=b"qrstuvwxyzabcdef"))

        send(Message(1, RESTART_SEQ, RESTART_SEQ, 0, 0))
        sock.recv(2048)  # its answer to a session's start, which every test of the agent reads
        seq, msg_id, _ = sim.action(0x01020304, ["ls", ""])
        self.assertEqual(parse_packet(sock.recv(2048), SERIAL, sim.key)[0].payload,
                         bytes.fromhex("01020304") + b"\x02\x02ls\x00")
        cases = [  # what the device sends, the error word expected
            (Message(1, 0, 0, 0, 0), ""),
            (Message(1, 5, 5, 0, 0), "seq-skip"),
            (Message(0x0003, 6, 6, 0, 0), "flags"),
            (Message(0, 7, 7, 2, 3, bytes(12)), "gps-form"),
            (Message(1, 8, 7, 0, 0), "id-reused"),
            (Message(1, 9, 3, 0, 0), "id"),
            (Message(0x0101, seq, msg_id, 1, 4, b"\1\2\3\5"), "payload"),
            (Message(0x0101, seq, msg_id, 1, 4, b"\1\2\3\4"), "second-reply"),
            (Message(0x0101, 99, 99, 1, 1), "unmatched"),
        ]
        for message, _ in cases:
            send(message)
        sock.send(b"junk")
        send(Message(1, 10, 10, 0, 0), key="x" * 16)  # the wrong key fails the padding
        wait_until(lambda: len(sim.received) >= len(cases) + 3, 10, 0.01)
        errors = [r["errors"].split(",") for r in sim.received[1:]]
        self.assertEqual(len(errors), len(cases) + 2)
        for fault, got in zip([f for _, f in cases] + ["short", "decrypt"], errors):
            self.assertIn(fault, got, errors)


unittest.main()
