"""Ports for the servers the tests and benchmarks start."""

import random
import socket


def free_port():
    """A port free now, below the system's ephemeral range (32768 on): one
    from that range may be handed to any port-0 bind or connect on the machine
    before the server binds it (this system hands some out again and again)."""
    while True:
        with socket.socket() as probe:
            try:
                probe.bind(("127.0.0.1", random.randrange(20000, 32768)))
                return probe.getsockname()[1]
            except OSError:
                pass
