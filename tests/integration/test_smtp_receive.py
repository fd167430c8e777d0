#!/usr/bin/env python3
"""Reception by the built gateway in console mode with real clients (smtplib,
swaks): the raw message file holds exactly the trace line and the data."""
import os
import resource
import shutil
import smtplib
import socket
import subprocess

from gateway_env import Gateway, greeting, read, run, wait_for

DOMAIN = "fax.example.com"
HELLO = b"220 fax.example.com Service Ready\r\n"
TRACE = b"Received: from %s by fax.example.com ; \r\n"
# Lines that need transparency, a bare-LF line end and 8-bit bytes.
BODY = b"Subject: t\r\n\r\n.leading dot\r\n..two dots\r\n.\r\nbare lf\n.\nend of line . \r\n\xe9t\xe9\r\nlast"

def test_smtplib_and_swaks(program):
    g = Gateway(program, domain=DOMAIN).start()
    g.set_value("FileNameUse", 1)  # the fax server holds the hand-off: raw message files stay

    def raw_files(count):
        assert wait_for(lambda: len(g.files(r"\.qmx$")) == count) and not g.files(r"\.part$"), g.files()
        return sorted(read(g.out + n) for n in g.files(r"\.qmx$"))
    try:
        s = smtplib.SMTP("127.0.0.1", g.port, local_hostname="smtplib.example", timeout=10)
        assert s.sendmail("sender@example.org", ["fax@example.com"], BODY) == {} and not s.does_esmtp
        s.close()  # no QUIT: the held hand-off keeps the session from reading it
        assert raw_files(1) == [TRACE % b"smtplib.example" + BODY + b"\r\n"]
        with open(g.dir + "/body.eml", "wb") as f:
            f.write(BODY.split(b"bare lf")[0] + b"last")  # swaks would change the bare LF
        p = subprocess.run([shutil.which("swaks") or "swaks", "--server", "127.0.0.1", "--port", str(g.port),
                            "--helo", "swaks.example", "--from", "s@example.org", "--to", "fax@example.com",
                            "--data", "@" + f.name, "--timeout", "10", "--drop-after", "DOT"],
                           capture_output=True, text=True, errors="replace", timeout=60)
        assert p.returncode == 0 and "<** 500 Syntax Error, Command Unknown." in p.stdout \
            and "<-  250 Mail Received OK" in p.stdout, p.stdout + p.stderr
        # swaks ends the last line with CR LF before the terminator.
        assert raw_files(2) == sorted([TRACE % b"smtplib.example" + BODY + b"\r\n",
                                       TRACE % b"swaks.example" + read(f.name) + b"\r\n"])
    finally:
        g.cleanup()

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
    run([test_smtplib_and_swaks, test_stop_with_a_client_connected, test_accept_survives_running_out_of_descriptors])
