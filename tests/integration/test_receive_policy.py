#!/usr/bin/env python3
"""The receive policy with real clients: smtplib from an allowed and a refused
address (127.0.0.2 stands for a foreign network), swaks with an allowed and a
refused sender and an over-size message, each refusal in the reply, the event
and debug logs, nothing left of a refused message; qlsmtpcg setting the
limits; Postfix as a relay from a refused address bouncing with our reason."""
import os
import shutil
import smtplib
import socket
import subprocess
import tempfile

from gateway_env import ENVELOPE, Gateway, free_port, read, run, wait_for

EVENT = "%d warning The Quillon SMTP Server %s\n"
REFUSED = "may not send faxes through this gateway"

def test_clients(program):
    g = Gateway(program, AllowedClients="127.0.0.1/32, bad-entry").start()
    try:
        try:
            smtplib.SMTP("127.0.0.1", g.port, source_address=("127.0.0.2", 0), timeout=10)
            raise AssertionError("a client outside AllowedClients was greeted")
        except smtplib.SMTPConnectError as e:
            assert (e.smtp_code, e.smtp_error) == (554, b"5.7.1 127.0.0.2 " + REFUSED.encode())
        with socket.create_connection(("127.0.0.1", g.port), timeout=5, source_address=("127.0.0.2", 0)) as c:
            assert c.recv(100).startswith(b"554 ") and c.recv(10) == b""  # closed at once, not at the time-out
        with smtplib.SMTP("127.0.0.1", g.port, source_address=("127.0.0.1", 0), timeout=10) as s:
            s.sendmail("me@example.org", ["fax@fax.test"], "Subject: allowed\r\n\r\ntext\r\n")
        assert wait_for(lambda: g.files(ENVELOPE), 20), g.files()
        assert read(g.events, True) == 2 * (EVENT % (443, "refused the client 127.0.0.2: its address is in none of "
                                                     "the networks of AllowedClients.")), read(g.events, True)
        log = read(g.debuglog, True)
        assert 'AllowedClients: entry "bad-entry" is not understood' in log and "Client 127.0.0.2 is not" in log, log
    finally:
        g.cleanup()

def test_senders_and_size(program):
    """The limits set with qlsmtpcg, which refuses an entry the gateway would not understand."""
    g, qlsmtpcg = Gateway(program), os.path.join(os.path.dirname(os.path.dirname(program)), "applet", "qlsmtpcg")
    cg = [qlsmtpcg, "--allowed-senders", "*@Allowed.example", "--max-message-size", "2000"]

    def swaks(sender, body="text"):
        return subprocess.run(["swaks", "--server", "127.0.0.1:%d" % g.port, "--from", sender, "--to", "fax@fax.test",
                               "--body", body, "--timeout", "20"], capture_output=True, text=True, timeout=60)
    try:
        assert subprocess.run(cg[:2] + ["*@x nobody"], env=g.env(QLSMTP_UNIT_DIR=g.dir), capture_output=True).returncode
        assert subprocess.run(cg, env=g.env(QLSMTP_UNIT_DIR=g.dir), capture_output=True).returncode == 0
        g.start()
        assert swaks("Me@allowed.EXAMPLE").returncode == 0 and wait_for(lambda: g.files(ENVELOPE), 20)
        handed_off, refused, large = g.files(), swaks("spam@other.example"), swaks("me@allowed.example", "x" * 3000)
        assert refused.returncode and "<** 550 5.7.1 Sender spam@other.example " + REFUSED in refused.stdout
        assert large.returncode and "<** 552 5.3.4 Message larger than 2000 bytes" in large.stdout, large.stdout
        assert g.files() == handed_off, g.files()  # nothing stored, nothing left of the large one
        assert "Message from me@allowed.example larger than MaxMessageSize (2000 bytes)" in read(g.debuglog, True)
        saved, _, events = read(g.events, True).partition("\n")  # one save: the refused one saved nothing
        assert saved.startswith("436 ") and events == EVENT % (
            444, "refused the sender spam@other.example of the client 127.0.0.1: the address matches none of the "
            "patterns of AllowedSenders.") + EVENT % (445, "discarded a message of the client 127.0.0.1 that was "
                                                      "larger than 2000 bytes, the limit of MaxMessageSize."), events
    finally:
        g.cleanup()

def test_postfix_relay_from_a_refused_address(program):
    """A Postfix instance of its own (postfix/*.cf beside this script; needs root)."""
    if os.geteuid() != 0:
        return print("skipped: a Postfix instance needs root")
    g, d, port = Gateway(program, AllowedClients="127.0.0.1/32").start(), tempfile.mkdtemp(), free_port()
    maillog = lambda: read(d + "/maillog", True)  # noqa: E731
    try:
        os.chmod(d, 0o755)
        [os.makedirs(d + sub) for sub in ("/queue", "/data")]
        shutil.chown(d + "/data", "postfix")
        for name in ("main.cf", "master.cf"):
            with open(d + "/" + name, "w") as f:
                f.write(read(os.path.join(os.path.dirname(__file__), "postfix", name), True).format(
                    d=d, gateway=g.port, port=port))
        subprocess.run(["postfix", "-c", d, "start"], check=True, capture_output=True, timeout=60)
        assert wait_for(lambda: "daemon started" in maillog(), 20), maillog()
        with smtplib.SMTP("127.0.0.1", port, timeout=10) as s:
            s.sendmail("me@sender.test", ["fax@fax.test"], "Subject: via the relay\r\n\r\ntext\r\n")
        assert wait_for(lambda: "status=bounced" in maillog(), 30) and "to=<fax@fax.test>, relay=127.0.0.1[127.0.0." \
            "1]:%d, " % g.port in maillog() and "dsn=5.7.1, status=bounced (host 127.0.0.1[127.0.0.1] refused to talk " \
            "to me: 554 5.7.1 127.0.0.2 %s)" % REFUSED in maillog() and not g.files(), maillog()
    finally:
        subprocess.run(["postfix", "-c", d, "stop"], capture_output=True, timeout=60)
        g.cleanup()
        shutil.rmtree(d, ignore_errors=True)

if __name__ == "__main__":
    run([test_clients, test_senders_and_size, test_postfix_relay_from_a_refused_address])
