#!/usr/bin/python3
"""Checks the channel's packets against an implementation of our own in Python.

The cipher comes from the cryptography package and the CRC from zlib, so
nothing here shares code with the C++ codec. The C++ side is reached through
the vtrp_interop_driver program given as the last argument; any arguments
before it are the emulator that runs it in a cross build.
"""
import os
import struct
import subprocess
import sys
import zlib

from cryptography.hazmat.primitives import padding
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

DRIVER = sys.argv[1:]
SERIAL = "VT0123456789"
KEY = "k3y-of-sixteen!!and-more"
AES_KEY = KEY.encode()[:16]
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL:", what)


def run(*args):
    out = subprocess.run([*DRIVER, *map(str, args)], check=True, capture_output=True, text=True)
    return out.stdout.strip()


def hexof(data):
    return data.hex() if data else "-"


def encrypt(plain, iv, key=AES_KEY):
    padder = padding.PKCS7(128).padder()
    enc = Cipher(algorithms.AES(key), modes.CBC(iv)).encryptor()
    return enc.update(padder.update(plain) + padder.finalize()) + enc.finalize()


def decrypt(cipher, iv, key=AES_KEY):
    dec = Cipher(algorithms.AES(key), modes.CBC(iv)).decryptor()
    padded = dec.update(cipher) + dec.finalize()
    unpadder = padding.PKCS7(128).unpadder()
    return unpadder.update(padded) + unpadder.finalize()


def message(flags, seq, ident, category, mtype, payload, crc_fix=0):
    body = struct.pack(">HIIBB", flags, seq, ident, category, mtype) + payload
    return struct.pack(">I", (zlib.crc32(body) ^ crc_fix) & 0xFFFFFFFF) + body


def packet(msg, name=SERIAL, kind=2, iv=b"abcdefghijklmnop", key=AES_KEY, blocks=None,
           name_length=None):
    cipher = encrypt(msg, iv, key)
    name_bytes = name.encode()[:25].ljust(25, b"\0")
    count = len(cipher) // 16 if blocks is None else blocks
    nl = len(name.encode()) & 0xFF if name_length is None else name_length
    return b"vtup" + struct.pack(">HB", kind, nl) + name_bytes + struct.pack(">H", count) + iv + cipher


def check_our_packet(label, pkt, flags, seq, ident, category, mtype, payload, name=SERIAL):
    kind, name_length = struct.unpack(">HB", pkt[4:7])
    check((pkt[0:4], kind, name_length) == (b"vtup", 2, len(name) & 0xFF), label + ": magic, kind, name length")
    check(pkt[7:32] == name.encode()[:25].ljust(25, b"\0"), label + ": name")
    blocks = struct.unpack(">H", pkt[32:34])[0]
    check(len(pkt) == 50 + 16 * blocks, label + ": block count")
    iv = pkt[34:50]
    check(all(ord("a") <= b <= ord("z") for b in iv), label + ": IV letters")
    plain = decrypt(pkt[50:], iv)
    check(len(pkt) - 50 == (len(plain) // 16 + 1) * 16, label + ": padding length")
    check(struct.unpack(">I", plain[:4])[0] == zlib.crc32(plain[4:]), label + ": CRC")
    got = struct.unpack(">HIIBB", plain[4:16])
    check(got == (flags, seq, ident, category, mtype), label + ": header %r" % (got,))
    check(plain[16:] == payload, label + ": payload")


def test_our_packets_decrypt():
    cases = [
        ("keepalive", 0x0001, 0xFFFFFFFF, 0xFFFFFFFF, 0, 0, b"", 82),
        ("gps", 0, 7, 7, 2, 3, bytes(range(13)), 82),
        ("action reply", 0x8101, 5, 4, 1, 4, b"\x01\x02\x03\x04", 82),
        ("largest", 0x0001, 1, 2, 2, 9, os.urandom(495), 562),
        ("two blocks exactly", 0x0001, 3, 3, 2, 1, bytes(16), 98),
    ]
    for label, flags, seq, ident, category, mtype, payload, size in cases:
        pkt = bytes.fromhex(run("compose", SERIAL, KEY, flags, seq, ident, category, mtype,
                                hexof(payload)))
        check(len(pkt) == size, label + ": size %d" % len(pkt))
        check_our_packet(label, pkt, flags, seq, ident, category, mtype, payload)
    # A reply built in host order and converted must look the same on the wire.
    pkt = bytes.fromhex(run("reply", SERIAL, KEY, 0x0101, 300, 299, 1, 1, "-"))
    check_our_packet("host-order reply", pkt, 0x0101, 300, 299, 1, 1, b"")
    # Identity of exactly 25 characters: no terminator in the name field.
    long_name = "ABCDEFGHIJKLMNOPQRSTUVWXY"
    pkt = bytes.fromhex(run("compose", long_name, KEY, 1, 1, 1, 0, 0, "-"))
    check_our_packet("25-character name", pkt, 1, 1, 1, 0, 0, b"", name=long_name)
    # Two packets of one message differ.
    check(len({run("compose", SERIAL, KEY, 1, 1, 1, 0, 0, "-") for _ in range(2)}) == 2,
          "two packets of one message differ")
    check(run("compose", SERIAL, "-", 1, 1, 1, 0, 0, "-") == "null", "no key gives no packet")


def decode(pkt):
    return run("decode", SERIAL, KEY, hexof(pkt))


def test_their_packets_decode():
    payload = struct.pack(">I", 0x12)
    msg = message(0x0001, 42, 41, 1, 1, payload)
    good = packet(msg)
    check(decode(good) == "ok 1 42 41 1 1 00000012", "python packet decodes: " + decode(good))
    big = message(0x0001, 1, 1, 1, 4, os.urandom(495))
    check(decode(packet(big)).startswith("ok 1 1 1 1 4 "), "largest python packet decodes")

    wrong_key = packet(msg, key=b"0000000000000000")
    damage = [
        ("35 bytes", good[:35], {"too short"}),
        ("magic", b"vtuq" + good[4:], {"bad magic"}),
        ("kind 1", packet(msg, kind=1), {"bad kind"}),
        ("length", good + b"\0", {"bad length"}),
        ("blocks field", good[:33] + bytes([good[33] + 1]) + good[34:], {"bad length"}),
        ("33 blocks", packet(message(1, 1, 1, 1, 1, bytes(512))), {"bad length"}),
        ("name length 7", packet(msg, name_length=7), {"bad name"}),
        ("name length 26", packet(msg, name_length=26), {"bad name"}),
        ("other serial", packet(msg, name="VT0123456780"), {"bad name"}),
        ("wrong key", wrong_key, {"decrypt failed", "crc mismatch"}),
        ("crc", packet(message(0x0001, 42, 41, 1, 1, payload, crc_fix=1)), {"crc mismatch"}),
        ("short message", packet(b"tooshort"), {"short message"}),
    ]
    for label, pkt, verdicts in damage:
        got = decode(pkt)
        check(got in verdicts, "%s: got %r" % (label, got))
    check(run("decode", SERIAL, "-", hexof(good)) == "decrypt failed", "no key: decrypt failed")


if __name__ == "__main__":
    test_our_packets_decrypt()
    test_their_packets_decode()
    print("%d failure(s)" % len(failures) if failures else "wire interoperability: all checks passed")
    sys.exit(1 if failures else 0)
