"""Checks the channel's packets against the simulator's codec (tools/vtsim), written
apart from ours (cipher from the cryptography package, CRC from zlib). The last argument
is the vtrp_interop_driver program; any before it are the emulator of a cross build."""
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "vtsim"))
from vtsim import wire  # noqa: E402
from vtsim.wire import Message  # noqa: E402

SERIAL = "VT0123456789"
KEY = "k3y-of-sixteen!!and-more"  # only the first 16 characters count
failures = []


def run(*args):
    return subprocess.run([*sys.argv[1:], *map(str, args)], check=True, capture_output=True, text=True).stdout.strip()


def packet(message_bytes, serial=SERIAL, key=KEY, kind=2):
    return wire.build_packet(serial, key, message_bytes, iv=b"abcdefghijklmnop", kind=kind)


def patch(data, at, new):
    return data[:at] + new + data[at + len(new):]


# Ours, decrypted by theirs: name, key, message, packet length (keepalives, GPS and replies: the client test's).
for name, key, m, size in [
    (SERIAL, KEY, Message(0x0001, 3, 3, 2, 1, bytes(16)), 98),
    (SERIAL, KEY, Message(0x0001, 1, 2, 2, 9, bytes(i * 7 & 255 for i in range(495))), 562),
    ("ABCDEFGHIJKLMNOPQRSTUVWXY", KEY, Message(1, 1, 1, 0, 0), 82),  # no terminator
    (SERIAL, "abc", Message(1, 1, 1, 0, 0), 82),  # a short key is zero-padded
]:
    pkt = bytes.fromhex(run("compose", name, key, m.flags, m.seq, m.id, m.category, m.type, m.payload.hex() or "-"))
    got, errors = wire.parse_packet(pkt, name, key)
    fields = got and (got.flags, got.seq, got.id, got.code, got.payload)
    if len(pkt) != size or errors != [] or fields != (m.flags, m.seq, m.id, m.code, m.payload):
        failures.append("compose %s %s %04x: %d bytes, %s, %r" % (name, key, m.code, len(pkt), errors, fields))

# Theirs, decoded by ours: what, packet, key, verdict.
msg = Message(0x0001, 42, 41, 1, 1, b"\0\0\0\x12").encode()
good, ok = packet(msg), "ok 1 42 41 1 1 00000012"
for label, pkt, key, verdict in [
    ("good", good, KEY, ok),
    ("no key", good, "-", "decrypt failed"),
    ("largest", packet(Message(1, 1, 1, 1, 4, bytes(495)).encode()), KEY, "ok 1 1 1 1 4 " + "00" * 495),
    ("35 bytes", good[:35], KEY, "too short"),
    ("36 bytes", good[:36], KEY, "bad length"),
    ("magic", patch(good, 0, b"vtuq"), KEY, "bad magic"),
    ("kind 1", packet(msg, kind=1), KEY, "bad kind"),
    ("kind 0x0102", patch(good, 4, b"\1\2"), KEY, "bad kind"),
    ("a byte more", good + b"\0", KEY, "bad length"),
    ("block count one more", patch(good, 33, bytes([good[33] + 1])), KEY, "bad length"),
    ("33 blocks", packet(Message(1, 1, 1, 1, 1, bytes(496)).encode()), KEY, "bad length"),
    ("zero blocks", patch(good[:50], 32, b"\0\0"), KEY, "decrypt failed"),
    ("name length 7", patch(good, 6, b"\7"), KEY, "bad name"),
    ("name length 26", patch(good, 6, b"\x1a"), KEY, "bad name"),
    ("other serial", packet(msg, serial="VT0123456780"), KEY, "bad name"),
    # The name compares like C text, up to its length byte.
    ("name prefix of serial", patch(good, 6, b"\x08"), KEY, ok),
    ("name ends with serial", patch(good, 6, b"\x0d"), KEY, ok),
    ("name runs past serial", patch(patch(good, 6, b"\x0d"), 19, b"X"), KEY, "bad name"),
    ("wrong key, bad padding", packet(msg, key="0" * 16), KEY, "decrypt failed"),
    ("crc", packet(Message(1, 42, 41, 1, 1).encode(crc=1)), KEY, "crc mismatch"),
    ("empty message", packet(b""), KEY, "short message"),
    ("15-byte message", packet(msg[:15]), KEY, "short message"),
]:
    got = run("decode", SERIAL, key, pkt.hex())
    if got != verdict:
        failures.append("decode %s: got %r" % (label, got))
if run("compose", SERIAL, "-", 1, 1, 1, 0, 0, "-") != "null":
    failures.append("compose without a key gives a packet")
print("\n".join(failures) or "wire interoperability: all checks passed")
sys.exit(1 if failures else 0)
