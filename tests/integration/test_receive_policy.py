#!/usr/bin/env python3
"""The receive policy with real clients: smtplib from an allowed and a refused
address (127.0.0.2 stands for a foreign network), swaks with an allowed and a
refused sender and an over-size message; each refusal is in the reply, the
event log and the debug log, and a refused message leaves nothing in OUT."""
import smtplib
import subprocess

from gateway_env import ENVELOPE, Gateway, read, run, wait_for

SERVICE = "The Quillon SMTP Server"

def test_clients(program):
    g = Gateway(program, AllowedClients="127.0.0.1/32, bad-entry").start()
    try:
        try:
            smtplib.SMTP("127.0.0.1", g.port, source_address=("127.0.0.2", 0), timeout=10)
            raise AssertionError("a client outside AllowedClients was greeted")
        except smtplib.SMTPConnectError as e:
            assert (e.smtp_code, e.smtp_error) == (554, b"5.7.1 127.0.0.2 may not send faxes through this gateway")
        with smtplib.SMTP("127.0.0.1", g.port, source_address=("127.0.0.1", 0), timeout=10) as s:
            s.sendmail("me@example.org", ["fax@fax.test"], "Subject: allowed\r\n\r\ntext\r\n")
        assert wait_for(lambda: g.files(ENVELOPE), 20), g.files()
        assert read(g.events, True) == "443 warning %s refused the client 127.0.0.2: its address is in none of the " \
            "networks of AllowedClients.\n" % SERVICE, read(g.events, True)
        log = read(g.debuglog, True)
        assert 'AllowedClients: entry "bad-entry" is not understood' in log and "Client 127.0.0.2 is not" in log, log
    finally:
        g.cleanup()

def swaks(g, sender, body="text"):
    return subprocess.run(["swaks", "--server", "127.0.0.1:%d" % g.port, "--from", sender, "--to", "fax@fax.test",
                           "--body", body, "--timeout", "20"], capture_output=True, text=True, timeout=60)

def test_senders_and_size(program):
    g = Gateway(program, AllowedSenders="*@Allowed.example", MaxMessageSize=2000).start()
    try:
        assert swaks(g, "Me@allowed.EXAMPLE").returncode == 0 and wait_for(lambda: g.files(ENVELOPE), 20)
        handed_off = g.files()
        refused = swaks(g, "spam@other.example")
        assert refused.returncode != 0 and "<** 550 5.7.1 Sender spam@other.example may not send faxes through " \
            "this gateway" in refused.stdout, refused.stdout
        large = swaks(g, "me@allowed.example", "x" * 3000)
        assert large.returncode != 0 and "<** 552 5.3.4 Message larger than 2000 bytes" in large.stdout, large.stdout
        assert g.files() == handed_off, g.files()  # nothing stored, nothing left of the large one
        assert read(g.events, True) == (
            "444 warning %s refused the sender spam@other.example of the client 127.0.0.1: the address matches none "
            "of the patterns of AllowedSenders.\n445 warning %s discarded a message of the client 127.0.0.1 that was "
            "larger than 2000 bytes, the limit of MaxMessageSize.\n" % (SERVICE, SERVICE)), read(g.events, True)
    finally:
        g.cleanup()

if __name__ == "__main__":
    run([test_clients, test_senders_and_size])
