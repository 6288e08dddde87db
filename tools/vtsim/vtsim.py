#!/usr/bin/python3
"""vtsim: a management server for the agent's real-time channel, on loopback.

    tools/vtsim/vtsim.py --serial 00AABBCC0011 [--key 16CHARS] [--workdir DIR]

It prints "ready udp=... https=... ca=..." first. Point the agent's
VANTOR_HOST at the https address, trust the ca file through
WGET_HTTPS_CA_FILE, and type commands (help lists them): invite 2, reboot,
action 7 ls -l, bad key 20, ... Every packet in either direction is printed
and checked; invalid ones show their faults in errors=.
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from vtsim.cli import main  # noqa: E402

sys.exit(main())
