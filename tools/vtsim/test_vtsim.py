#!/usr/bin/python3
"""Self-test of the simulator: a scripted device on loopback talks to it."""

import os
import socket
import ssl
import struct
import sys
import tempfile
import unittest
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from vtsim import Simulator, wire  # noqa: E402

SERIAL = "00AABBCC0011"


class Device:
    """Just enough of a device to exercise the simulator."""

    def __init__(self, sim):
        self.sim = sim
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.settimeout(2)
        self.sock.connect(("127.0.0.1", sim.udp_port))

    def send(self, message, key=None):
        self.sock.send(wire.build_packet(SERIAL, key or self.sim.key, message.encode()))

    def receive(self):
        data = self.sock.recv(2048)
        message, errors = wire.parse_packet(data, SERIAL, self.sim.key)
        return message, errors

    def close(self):
        self.sock.close()


class SimulatorTest(unittest.TestCase):
    def setUp(self):
        self.sim = Simulator(SERIAL, key="k" * 16, workdir=tempfile.mkdtemp(prefix="vtsim-test-"))
        self.events = []
        self.sim.listeners.append(lambda name, fields: self.events.append((name, fields)))
        self.sim.start()
        self.device = Device(self.sim)

    def tearDown(self):
        self.device.close()
        self.sim.stop()

    def test_crc_check_value(self):
        self.assertEqual(wire.crc32(b"123456789"), 0xCBF43926)
        self.assertEqual(wire.crc32(b""), 0)

    def test_empty_message_makes_82_byte_packet(self):
        packet = wire.build_packet(SERIAL, "k" * 16, wire.Message(1, 0, 0, 0, 0).encode())
        self.assertEqual(len(packet), 82)
        self.assertEqual(struct.unpack_from(">H", packet, 32)[0], 2)

    def test_keepalive_answered_and_checked(self):
        self.device.send(wire.Message(1, wire.RESTART_SEQ, wire.RESTART_SEQ, 0, 0))
        reply, errors = self.device.receive()
        self.assertEqual(errors, [])
        self.assertEqual((reply.flags, reply.seq, reply.id, reply.code), (0x0101, wire.RESTART_SEQ, wire.RESTART_SEQ, 0))
        self.device.send(wire.Message(1, 0, 0, 0, 0))
        self.device.receive()
        self.device.send(wire.Message(1, 5, 5, 0, 0))  # a gap in the device's numbers
        self.device.receive()
        self.assertEqual([r["errors"] for r in self.sim.received], ["", "", "seq-skip"])

    def test_device_faults_are_reported(self):
        cases = [
            (wire.Message(0x0003, wire.RESTART_SEQ, wire.RESTART_SEQ, 0, 0), "flags"),
            (wire.Message(0, 0, 0, 2, 3, b"\0" * 12), "gps-form"),
            (wire.Message(1, 1, 7, 0, 0), "id"),
            (wire.Message(0x0101, 99, 99, 1, 1), "unmatched"),
        ]
        for message, fault in cases:
            self.device.send(message)
        self.device.sock.send(b"junk")
        self.device.send(wire.Message(1, 2, 2, 0, 0), key="x" * 16)
        self._wait(lambda: len(self.sim.received) == 6)
        for (_, fault), record in zip(cases, self.sim.received):
            self.assertIn(fault, record["errors"].split(","))
        self.assertEqual(self.sim.received[4]["errors"], "short")
        # A wrong key now and then leaves valid-looking padding; the CRC catches those.
        wrong_key = set(self.sim.received[5]["errors"].split(","))
        self.assertTrue(wrong_key & {"decrypt", "crc"}, wrong_key)

    def test_request_reply_matched_with_latency(self):
        self.device.send(wire.Message(1, wire.RESTART_SEQ, wire.RESTART_SEQ, 0, 0))
        self.device.receive()
        seq, msg_id, waiter = self.sim.action(0x01020304, ["ls", ""])
        request, errors = self.device.receive()
        self.assertEqual(errors, [])
        self.assertEqual((request.seq, request.code), (wire.RESTART_SEQ, 0x0104))
        self.assertEqual(request.payload, bytes.fromhex("01020304") + b"\x02\x02ls\x00")
        self.device.send(wire.Message(0x0101, seq, msg_id, 1, 4, b"\1\2\3\4"))
        self.assertTrue(waiter.wait(2))
        record = self.sim.received[-1]
        self.assertEqual(record["errors"], "")
        self.assertGreaterEqual(record["latency_us"], 0)

    def test_bad_packets_are_sent_as_asked(self):
        self.device.send(wire.Message(1, wire.RESTART_SEQ, wire.RESTART_SEQ, 0, 0))
        self.device.receive()
        for kind in Simulator.BAD_KINDS:
            data = self.sim.bad_packet(kind)
            self.assertEqual(self.device.sock.recv(2048), data)
            if kind in ("short", "magic", "kind", "length", "namelen-short", "namelen-long", "serial", "garbage"):
                continue
            _, errors = wire.parse_packet(data, SERIAL, self.sim.key)
            self.assertNotEqual(errors, [], kind)

    def test_registration_page_redirects_with_credentials(self):
        context = ssl.create_default_context(cafile=self.sim.web.ca_file)
        body = ("serial=%s&model=M&variant=V&version=1.0&time=1" % SERIAL).encode()
        url = "https://127.0.0.1:%d/udps/register" % self.sim.web.port

        class NoRedirect(urllib.request.HTTPRedirectHandler):
            def redirect_request(self, *args):
                return None

        opener = urllib.request.build_opener(urllib.request.HTTPSHandler(context=context), NoRedirect)
        with self.assertRaises(urllib.error.HTTPError) as caught:
            opener.open(url, body, timeout=5)
        self.assertEqual(caught.exception.code, 302)
        lines = caught.exception.read().decode().splitlines()
        self.assertEqual(lines, ["k" * 16, "127.0.0.1", str(self.sim.udp_port)])
        https = [f for n, f in self.events if n == "https"]
        self.assertEqual(https[0]["errors"], "")

    def _wait(self, predicate, timeout=3.0):
        import time
        end = time.monotonic() + timeout
        while not predicate():
            if time.monotonic() > end:
                self.fail("condition not met in time")
            time.sleep(0.01)


if __name__ == "__main__":
    unittest.main()
