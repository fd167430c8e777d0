#!/usr/bin/env python3
"""Reception by the built gateway in console mode: a stop with a client
connected, and accepts that fail for want of file descriptors. (What is
stored is checked by smtp_in_tests, and with smtplib by the soak.)"""
import os
import resource
import socket

from gateway_env import Gateway, greeting, read, run, wait_for

DOMAIN = "fax.example.com"
HELLO = b"220 fax.example.com Service Ready\r\n"

def test_stop_with_a_client_connected(program):
    g = Gateway(program, domain=DOMAIN).start()
    try:
        with socket.create_connection(("127.0.0.1", g.port), timeout=10) as c:
            assert c.recv(100) == HELLO and g.stop() == 1 and c.recv(100) == b"", read(g.console)
    finally:
        g.cleanup()

def test_accept_survives_running_out_of_descriptors(program):
    """An accept that fails for want of file descriptors is tried again."""
    g, clients = Gateway(program, domain=DOMAIN).start(), []
    try:
        # One session first, with descriptors to spare: the sanitizers'
        # checks of a new thread need descriptors of their own.
        assert greeting(g.port) == HELLO
        soft, hard = resource.prlimit(g.proc.pid, resource.RLIMIT_NOFILE)
        in_use = len(os.listdir("/proc/%d/fd" % g.proc.pid))
        resource.prlimit(g.proc.pid, resource.RLIMIT_NOFILE, (in_use + 2, hard))  # room for two connections
        clients = [socket.create_connection(("127.0.0.1", g.port), timeout=10) for _ in range(4)]
        assert [c.recv(100) for c in clients[:2]] == [HELLO] * 2
        wait_for(lambda: False, 0.5)  # accepts now fail with "too many open files"
        resource.prlimit(g.proc.pid, resource.RLIMIT_NOFILE, (soft, hard))
        assert [c.recv(100) for c in clients[2:]] == [HELLO] * 2 and greeting(g.port) == HELLO
    finally:
        [c.close() for c in clients]
        g.cleanup()

if __name__ == "__main__":
    run([test_stop_with_a_client_connected, test_accept_survives_running_out_of_descriptors])
