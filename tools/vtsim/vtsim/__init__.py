"""Management-server simulator for the agent's real-time channel.

    from vtsim import Simulator
    sim = Simulator(serial="00AABBCC0011")
    sim.start()            # HTTPS registration page + UDP server on 127.0.0.1
    ...                    # point the agent at sim.web.port / trust sim.web.ca_file
    sim.invite(0x2)        # config sync invitation; replies land in sim.received
    sim.stop()

The command-line tool (vtsim.py) drives the same object from typed commands.
"""

from .server import Simulator  # noqa: F401
from . import wire  # noqa: F401
