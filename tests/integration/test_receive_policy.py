#!/usr/bin/env python3
"""The receive policy with real clients: smtplib from an allowed and a refused
address (127.0.0.2 stands for a foreign network), swaks with an allowed and a
refused sender and an over-size message; each refusal is in the reply, the
event log and the debug log, and a refused message leaves nothing in OUT.
Last, Postfix as a relay in front of the gateway, from a refused address,
bounces the mail with the gateway's reason."""
import os
import shutil
import smtplib
import socket
import subprocess
import tempfile

from gateway_env import ENVELOPE, Gateway, free_port, read, run, wait_for

SERVICE = "The Quillon SMTP Server"

def test_clients(program):
    g = Gateway(program, AllowedClients="127.0.0.1/32, bad-entry").start()
    try:
        try:
            smtplib.SMTP("127.0.0.1", g.port, source_address=("127.0.0.2", 0), timeout=10)
            raise AssertionError("a client outside AllowedClients was greeted")
        except smtplib.SMTPConnectError as e:
            assert (e.smtp_code, e.smtp_error) == (554, b"5.7.1 127.0.0.2 may not send faxes through this gateway")
        with socket.create_connection(("127.0.0.1", g.port), timeout=5, source_address=("127.0.0.2", 0)) as c:
            assert c.recv(100).startswith(b"554 ") and c.recv(10) == b""  # closed at once, not at the time-out
        with smtplib.SMTP("127.0.0.1", g.port, source_address=("127.0.0.1", 0), timeout=10) as s:
            s.sendmail("me@example.org", ["fax@fax.test"], "Subject: allowed\r\n\r\ntext\r\n")
        assert wait_for(lambda: g.files(ENVELOPE), 20), g.files()
        assert read(g.events, True) == 2 * ("443 warning %s refused the client 127.0.0.2: its address is in none of "
                                            "the networks of AllowedClients.\n" % SERVICE), read(g.events, True)
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
        assert "Message from me@allowed.example larger than MaxMessageSize (2000 bytes)" in read(g.debuglog, True)
        assert read(g.events, True) == (
            "444 warning %s refused the sender spam@other.example of the client 127.0.0.1: the address matches none "
            "of the patterns of AllowedSenders.\n445 warning %s discarded a message of the client 127.0.0.1 that was "
            "larger than 2000 bytes, the limit of MaxMessageSize.\n" % (SERVICE, SERVICE)), read(g.events, True)
    finally:
        g.cleanup()

def test_settings_command(program):
    """qlsmtpcg sets, shows and removes the limits, and refuses an entry the
    gateway would not understand, saving nothing then."""
    g = Gateway(program)
    qlsmtpcg = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(program))), "applet", "qlsmtpcg")

    def cg(*args):
        r = subprocess.run([qlsmtpcg] + list(args), capture_output=True, text=True, timeout=60, env=g.env(
            QLSMTP_UNIT_DIR=g.dir))
        return r.returncode, r.stdout[r.stdout.find("Send port"):].split("\n")[1:], r.stderr
    try:
        assert cg("--allowed-clients", "10.0.0.0/8, 192.0.2.0/24", "--allowed-senders", "*@example.org",
                  "--max-message-size", "500000")[0] == 0
        assert cg()[:2] == (0, ["Allowed clients: 10.0.0.0/8, 192.0.2.0/24", "Allowed senders: *@example.org",
                                "Largest message: 500000 bytes", ""])
        rc, _, err = cg("--allowed-senders", "*@example.org nobody", "--domain", "changed.test")
        assert rc == 1 and "Not understood: nobody" in err and "changed.test" not in read(g.registry, True)
        assert cg("--allowed-clients", "", "--allowed-senders", "", "--max-message-size", "0")[0] == 0
        assert cg()[:2] == (0, [""]) and "Allowed" not in read(g.registry, True) and g.value("MaxMessageSize") is None
    finally:
        g.cleanup()

# A Postfix instance of its own (needs root), relaying everything to the
# gateway from 127.0.0.2; its log is the file `maillog`.
POSTFIX_MAIN = """compatibility_level = 3.6
queue_directory = {d}/queue
data_directory = {d}/data
maillog_file = {d}/maillog
maillog_file_prefixes = {d}
myhostname = relay.test
mydestination =
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
mynetworks = 127.0.0.0/8
relayhost = [127.0.0.1]:{gateway}
smtp_bind_address = 127.0.0.2
smtp_skip_5xx_greeting = no
alias_maps =
alias_database =
smtp_tls_security_level = none
smtputf8_enable = no
"""
POSTFIX_SERVICES = """127.0.0.1:{port} inet n - n - - smtpd
cleanup unix n - n - 0 cleanup
qmgr unix n - n 300 1 qmgr
rewrite unix - - n - - trivial-rewrite
bounce unix - - n - 0 bounce
defer unix - - n - 0 bounce
trace unix - - n - 0 bounce
smtp unix - - n - - smtp
relay unix - - n - - smtp
error unix - - n - - error
retry unix - - n - - error
proxymap unix - - n - - proxymap
anvil unix - - n - 1 anvil
scache unix - - n - 1 scache
flush unix n - n 1000? 0 flush
verify unix - - n - 1 verify
showq unix n - n - - showq
postlog unix-dgram n - n - 1 postlogd
"""

def test_postfix_relay_from_a_refused_address(program):
    if os.geteuid() != 0:
        print("skipped: a Postfix instance needs root")
        return
    g, d = Gateway(program, AllowedClients="127.0.0.1/32").start(), tempfile.mkdtemp(prefix="qlsmtp-postfix-")
    port = free_port()
    try:
        os.chmod(d, 0o755)
        os.makedirs(d + "/queue")
        os.makedirs(d + "/data")
        shutil.chown(d + "/data", "postfix")
        with open(d + "/main.cf", "w") as f:
            f.write(POSTFIX_MAIN.format(d=d, gateway=g.port))
        with open(d + "/master.cf", "w") as f:
            f.write(POSTFIX_SERVICES.format(port=port))
        subprocess.run(["postfix", "-c", d, "start"], check=True, capture_output=True, timeout=60)
        assert wait_for(lambda: subprocess.run(["postfix", "-c", d, "status"], capture_output=True).returncode == 0
                        and "daemon started" in read(d + "/maillog", True), 20), read(d + "/maillog", True)
        with smtplib.SMTP("127.0.0.1", port, timeout=10) as s:
            s.sendmail("me@sender.test", ["fax@fax.test"], "Subject: via the relay\r\n\r\ntext\r\n")
        assert wait_for(lambda: "status=bounced" in read(d + "/maillog", True), 30), read(d + "/maillog", True)
        assert "to=<fax@fax.test>, relay=127.0.0.1[127.0.0.1]:%d, " % g.port in read(d + "/maillog", True)
        assert "dsn=5.7.1, status=bounced (host 127.0.0.1[127.0.0.1] refused to talk to me: 554 5.7.1 127.0.0.2 " \
            "may not send faxes through this gateway)" in read(d + "/maillog", True), read(d + "/maillog", True)
        assert not g.files(), g.files()
    finally:
        subprocess.run(["postfix", "-c", d, "stop"], capture_output=True, timeout=60)
        g.cleanup()
        shutil.rmtree(d, ignore_errors=True)

if __name__ == "__main__":
    run([test_clients, test_senders_and_size, test_settings_command, test_postfix_relay_from_a_refused_address])
