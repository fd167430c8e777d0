#!/usr/bin/env python3
"""The Debian package on this machine (as root; systemd need not be PID 1):
lintian without errors, dpkg -i, the files, the system user and the unit
(systemd-analyze verify), the installed gateway run in console mode as the
service would run (user qlsmtp, only CAP_NET_BIND_SERVICE) against the
installed default settings and delivering one mail; settings kept by a
reinstall and by removal; purge leaves nothing behind.

Usage: test_deb_package.py <path of the .deb>"""
import glob
import grp
import os
import pwd
import re
import smtplib
import socket
import stat
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "integration"))
from gateway_env import free_port, run, wait_for  # noqa: E402

PACKAGE = "qlsmtp"
STATE = "/var/lib/qlsmtp"
SETTINGS = STATE + "/registry.reg"
DATA = STATE + "/data/"
UNIT = "/lib/systemd/system/quillon-smtp-server.service"
WANTS = "/etc/systemd/system/multi-user.target.wants/quillon-smtp-server.service"
GATEWAY = "/usr/sbin/qlsmtpgw"
SETTINGS_COMMAND = "/usr/bin/qlsmtpcg"


def sh(*args, ok=True):
    p = subprocess.run(list(args), stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=300)
    if ok:
        assert p.returncode == 0, "%s: %d\n%s%s" % (" ".join(args), p.returncode, p.stdout, p.stderr)
    return p


def installed():
    p = sh("dpkg-query", "-W", "-f=${db:Status-Status}", PACKAGE, ok=False)
    return p.returncode == 0 and p.stdout not in ("", "not-installed")


def port_free(port):
    """No one listens on the port (connections of earlier runs may linger)."""
    with socket.socket() as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind(("0.0.0.0", port))
            return True
        except OSError:
            return False


def check_lintian(deb):
    p = sh("lintian", "--fail-on", "error", deb, ok=False)
    print(p.stdout + p.stderr, end="")
    assert p.returncode == 0 and not re.search(r"^E: ", p.stdout, re.M), "lintian found errors"


def check_installed_files():
    assert os.access(GATEWAY, os.X_OK)
    user = pwd.getpwnam("qlsmtp")
    assert user.pw_uid < 1000 and user.pw_shell.endswith("nologin"), user
    group = grp.getgrnam("qlsmtp")
    for d in (DATA, DATA + "IN", DATA + "OUT"):
        st = os.stat(d)
        assert (st.st_uid, st.st_gid) == (user.pw_uid, group.gr_gid), d
        assert st.st_mode & (stat.S_IWGRP | stat.S_ISGID) == stat.S_IWGRP | stat.S_ISGID, (d, oct(st.st_mode))
    with open(SETTINGS, newline="") as f:
        text = f.read()
    for line in ('"SmtpRxPort"=dword:00000019', '"ProgramPath"="%s"' % DATA):
        assert line + "\r\n" in text, text
    unit = open(UNIT).read()
    for line in ("Type=notify", "SuccessExitStatus=1", "User=qlsmtp", "StateDirectory=qlsmtp",
                 "AmbientCapabilities=CAP_NET_BIND_SERVICE", "ExecStart=" + GATEWAY):
        assert line + "\n" in unit, line
    assert os.path.islink(WANTS), "the service is not enabled"
    sh("systemd-analyze", "verify", UNIT)
    if os.path.exists(SETTINGS_COMMAND):
        shown = sh(SETTINGS_COMMAND).stdout
        assert DATA in shown, shown


def deliver_one_mail():
    """The installed gateway as the unit runs it, in console mode."""
    port = 25
    if not port_free(port):
        # Something else serves SMTP here: the installed file, another port.
        port = free_port()
        text = open(SETTINGS, newline="").read().replace("dword:00000019", "dword:%08x" % port, 1)
        with open(SETTINGS, "w", newline="") as f:
            f.write(text)
        print("port 25 busy; the gateway listens on %d" % port)
    env = {k: v for k, v in os.environ.items() if k not in ("QLSMTP_REGISTRY", "NOTIFY_SOCKET", "INVOCATION_ID")}
    proc = subprocess.Popen(["setpriv", "--reuid=qlsmtp", "--regid=qlsmtp", "--init-groups",
                             "--inh-caps=+net_bind_service", "--ambient-caps=+net_bind_service", GATEWAY, "m"],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env,
                            cwd="/")
    try:
        assert b"Press q to stop the gateway" in proc.stdout.read(27)
        assert wait_for(lambda: not port_free(port), 20), "the gateway does not listen on %d" % port
        with smtplib.SMTP("127.0.0.1", port, timeout=30) as s:
            s.sendmail("me@example.com", ["fax@localhost"], b"Subject: package test\r\n\r\nHello\r\n")
        assert wait_for(lambda: glob.glob(DATA + "OUT/ENV*.tmp"), 30), os.listdir(DATA + "OUT")
        envelope = glob.glob(DATA + "OUT/ENV*.tmp")[0]
        text = open(envelope, errors="replace").read()
        assert re.search(r"^SUBJECT:\s*package test$", text, re.M), text
        assert os.stat(envelope).st_uid == pwd.getpwnam("qlsmtp").pw_uid
        proc.stdin.write(b"q\n")
        proc.stdin.flush()
        assert proc.wait(20) == 1
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    # The fax server takes the files; purge then finds the folders empty.
    for f in os.listdir(DATA + "OUT"):
        os.remove(DATA + "OUT/" + f)


def test_package(deb):
    assert os.geteuid() == 0, "run as root"
    assert not installed(), "%s is installed already; purge it first" % PACKAGE
    check_lintian(deb)
    try:
        sh("dpkg", "-i", deb)
        check_installed_files()
        deliver_one_mail()
        # Reinstalling (as an upgrade does) and removing keep the settings.
        with open(SETTINGS, "a", newline="") as f:
            f.write('"DomainName"="kept.example"\r\n')
        sh("dpkg", "-i", deb)
        sh("dpkg", "-r", PACKAGE)
        assert not any(os.path.exists(p) for p in (GATEWAY, SETTINGS_COMMAND, UNIT))
        assert '"DomainName"="kept.example"' in open(SETTINGS).read()
    finally:
        sh("dpkg", "--purge", PACKAGE, ok=False)
    left = [p for p in (STATE, UNIT, GATEWAY, WANTS) if os.path.lexists(p)]
    assert not left and not installed(), left


if __name__ == "__main__":
    run([test_package])
