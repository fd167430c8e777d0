#!/usr/bin/env python3
"""The Debian package on this machine (as root; systemd need not run):
lintian without errors, dpkg -i, the files, the system user, the unit; the
installed gateway run as the unit runs it (user qlsmtp, only
CAP_NET_BIND_SERVICE) delivers a mail; reinstall and removal keep the
settings; purge leaves nothing behind. Usage: test_deb_package.py DEB"""
import glob
import grp
import os
import pwd
import re
import smtplib
import stat
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "integration"))
from gateway_env import free_port, greeting, read, run, wait_for  # noqa: E402

STATE, SETTINGS, DATA = "/var/lib/qlsmtp", "/var/lib/qlsmtp/registry.reg", "/var/lib/qlsmtp/data/"
UNIT = "/lib/systemd/system/quillon-smtp-server.service"
WANTS = "/etc/systemd/system/multi-user.target.wants/quillon-smtp-server.service"
GATEWAY, SETTINGS_COMMAND = "/usr/sbin/qlsmtpgw", "/usr/bin/qlsmtpcg"

def sh(*args, ok=True):
    p = subprocess.run(args, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=300)
    assert p.returncode == 0 or not ok, "%s: %d\n%s%s" % (" ".join(args), p.returncode, p.stdout, p.stderr)
    return p

def installed():
    return sh("dpkg-query", "-W", "-f=${db:Status-Status}", "qlsmtp", ok=False).stdout not in ("", "not-installed")

def check_installed_files():
    user, group = pwd.getpwnam("qlsmtp"), grp.getgrnam("qlsmtp")
    assert os.access(GATEWAY, os.X_OK) and user.pw_uid < 1000 and user.pw_shell.endswith("nologin"), user
    for d in (DATA, DATA + "IN", DATA + "OUT"):
        st = os.stat(d)
        assert (st.st_uid, st.st_gid, st.st_mode & (stat.S_IWGRP | stat.S_ISGID)) == \
            (user.pw_uid, group.gr_gid, stat.S_IWGRP | stat.S_ISGID), (d, oct(st.st_mode))
    text = read(SETTINGS, True)
    assert '"SmtpRxPort"=dword:00000019\r\n' in text and '"ProgramPath"="%s"\r\n' % DATA in text, text
    for line in ("Type=notify", "SuccessExitStatus=1", "User=qlsmtp", "StateDirectory=qlsmtp",
                 "AmbientCapabilities=CAP_NET_BIND_SERVICE", "ExecStart=" + GATEWAY):
        assert line + "\n" in read(UNIT, True), line
    assert os.path.islink(WANTS), "the service is not enabled"
    sh("systemd-analyze", "verify", UNIT)
    if os.path.exists(SETTINGS_COMMAND):
        assert DATA in sh(SETTINGS_COMMAND).stdout

def deliver_one_mail():
    """The installed gateway as the unit runs it, in console mode."""
    port = 25
    if greeting(port):  # something else serves SMTP here: another port
        port = free_port()
        with open(SETTINGS, "w", newline="") as f:
            f.write(read(SETTINGS, True).replace("dword:00000019", "dword:%08x" % port, 1))
        print("port 25 busy; the gateway listens on %d" % port)
    env = {k: v for k, v in os.environ.items() if k not in ("QLSMTP_REGISTRY", "NOTIFY_SOCKET", "INVOCATION_ID")}
    proc = subprocess.Popen(["setpriv", "--reuid=qlsmtp", "--regid=qlsmtp", "--init-groups",
                             "--inh-caps=+net_bind_service", "--ambient-caps=+net_bind_service", GATEWAY, "m"],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env, cwd="/")
    try:
        assert b"Press q" in proc.stdout.read(27) and wait_for(lambda: greeting(port), 20)
        with smtplib.SMTP("127.0.0.1", port, timeout=30) as s:
            s.sendmail("me@example.com", ["fax@localhost"], b"Subject: package test\r\n\r\nHello\r\n")
        assert wait_for(lambda: glob.glob(DATA + "OUT/ENV*.tmp"), 30), os.listdir(DATA + "OUT")
        envelope = glob.glob(DATA + "OUT/ENV*.tmp")[0]
        assert re.search(r"(?m)^SUBJECT:\s*package test\r?$", read(envelope, True)), read(envelope)
        assert os.stat(envelope).st_uid == pwd.getpwnam("qlsmtp").pw_uid
        proc.stdin.write(b"q\n")
        proc.stdin.flush()
        assert proc.wait(20) == 1
    finally:
        proc.kill()
        proc.wait()
    for f in os.listdir(DATA + "OUT"):  # the fax server takes the files
        os.remove(DATA + "OUT/" + f)

def test_package(deb):
    assert os.geteuid() == 0 and not installed(), "run as root, with qlsmtp not installed"
    p = sh("lintian", "--fail-on", "error", deb, ok=False)
    print(p.stdout + p.stderr, end="")
    assert p.returncode == 0 and not re.search(r"(?m)^E: ", p.stdout), "lintian found errors"
    try:
        sh("dpkg", "-i", deb)
        check_installed_files()
        deliver_one_mail()
        with open(SETTINGS, "a", newline="") as f:
            f.write('"DomainName"="kept.example"\r\n')
        sh("dpkg", "-i", deb)  # as an upgrade does
        sh("dpkg", "-r", "qlsmtp")
        assert not any(os.path.exists(p) for p in (GATEWAY, SETTINGS_COMMAND, UNIT))
        assert '"DomainName"="kept.example"' in read(SETTINGS, True)
    finally:
        sh("dpkg", "--purge", "qlsmtp", ok=False)
    left = [p for p in (STATE, UNIT, GATEWAY, WANTS) if os.path.lexists(p)]
    assert not left and not installed(), left

if __name__ == "__main__":
    run([test_package])
