#!/usr/bin/env python3
"""The qlsmtpcg command on Linux against a settings file and data directory
in a temporary folder, with no systemd unit installed; the gateway then
starts with what it saved."""
import os
import socket
import subprocess
import tempfile

from gateway_env import Gateway, free_port, run, wait_for


def qlsmtpcg(program):
    return os.path.join(os.environ.get("QLSMTP_BUILD_DIR") or os.path.dirname(os.path.dirname(program)),
                        "applet", "qlsmtpcg")


def command(g, *args):
    units = tempfile.mkdtemp(prefix="qlsmtp-units-", dir=g.dir)
    p = subprocess.run([qlsmtpcg(g.program)] + list(args), env=g.env(QLSMTP_UNIT_DIR=units),
                       stdin=subprocess.DEVNULL, capture_output=True, timeout=30)
    return p.returncode, p.stdout.decode(), p.stderr.decode()


def test_show_save_and_run(program):
    g = Gateway(program)
    try:
        rc, out, err = command(g)
        assert rc == 0 and err == "", (rc, err)
        assert out == ("Domain name: fax.test\nDNS server: 127.0.0.1:9\nData directory: %s\nReceive port: %d\n"
                       "Send port: 25\n" % (g.data, g.port)), out

        new_data = os.path.join(g.dir, "new data")
        os.makedirs(new_data)
        port = free_port()
        rc, out, err = command(g, "--domain", "mail.example.org", "--data-dir", new_data, "--rx-port", str(port))
        assert rc == 0, (rc, err)
        assert err == ("qlsmtpcg: Quillon SMTP Server service is not installed; "
                       "the settings are saved directly\n"), err
        assert sorted(os.listdir(new_data)) == ["IN", "OUT"]
        text = open(g.registry).read()
        assert '"ProgramPath"="%s/"' % new_data in text and '"SmtpRxPort"=dword:%08x' % port in text, text
        assert open(g.events).read().startswith("436 information The Configuration module changed"), g.events

        # The gateway reads what was saved.
        g.port = port
        g.start_console()
        with socket.create_connection(("127.0.0.1", port), timeout=10) as c:
            assert c.recv(100) == b"220 mail.example.org Service Ready\r\n"
        g.stop()
    finally:
        g.cleanup()


def test_refusals(program):
    g = Gateway(program)
    try:
        before = open(g.registry).read()
        for args, message in (
                (["--rx-port", "0"], "Please enter an integer between 1 and 65535."),
                (["--tx-port", "smtp"], "Please enter a positive integer."),
                (["--domain", "d" * 80], "Please enter no more than 79 characters."),
                (["--data-dir", "/" + "p" * 79], "Please enter no more than 79 characters.")):
            rc, _, err = command(g, *args)
            assert rc == 1 and err == "qlsmtpcg: %s\n" % message, (args, rc, err)
            assert open(g.registry).read() == before, args
        # A folder that cannot be entered is kept; the rest is saved.
        rc, _, err = command(g, "--data-dir", os.path.join(g.dir, "missing"), "--dns", "ns.example.org")
        assert rc == 0 and "qlsmtpcg: Invalid path, configuration data will not be saved\n" in err, (rc, err)
        text = open(g.registry).read()
        assert '"ProgramPath"="%s"' % g.data in text and '"DNSName"="ns.example.org"' in text, text
    finally:
        g.cleanup()


if __name__ == "__main__":
    run([test_show_save_and_run, test_refusals])
