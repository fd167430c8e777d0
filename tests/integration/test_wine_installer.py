"""The setup program qlsmtp-setup.exe under Wine, in a fresh prefix: a
silent install (/S) keeps a setting that is already there and writes the
missing defaults, installs the files, and registers and starts the service
through qlsinstall.dll with the installed program; the gateway greets a Linux
client on its receive port and stores a mail sent with smtplib. Installing
again over the running service leaves it running as before. The silent
uninstaller stops and removes the service and the installed files; the
settings and the received mail stay.

Usage: test_wine_installer.py <path of qlsmtpgw.exe> (the setup program is
qlsmtp-setup.exe at the top of the same build folder)."""
import glob
import os
import re
import smtplib
import socket
import sys

from test_wine_service import SERVICE, wine_noise
from wine_env import SETTINGS_KEY, WinePrefix, build_dir, free_port, have_wine, log, wait_for

INSTDIR = "C:\\Program Files\\Quillon SMTP Server"
PROGRAM = INSTDIR + "\\qlsmtpgw.exe"
DATA = INSTDIR + "\\data\\"
HELP = "C:\\windows\\system32\\qlsmtpcg.chm"
SERVICE_KEY = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\" + SERVICE
UNINST_KEY = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quillon SMTP Server"
CPLS_KEY = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Control Panel\\Cpls"


class InstallerTest:
    def __init__(self, program):
        build = build_dir(program)
        self.setup = os.path.join(build, "qlsmtp-setup.exe")
        self.applet = os.path.exists(os.path.join(build, "applet", "qlsmtpcg.cpl"))
        self.help = os.path.exists(os.path.join(build, "applet", "qlsmtpcg.chm"))
        self.prefix = WinePrefix(os.path.join(build, "wine-it", "installer"))
        self.port = free_port()

    def run_quietly(self, *args, timeout=300):
        """Runs a Wine command that should show no message: its exit status."""
        rc, out, err = self.prefix.capture("wine", *args, timeout=timeout)
        said = [l for l in (out + err).splitlines() if l and not wine_noise(l)]
        assert not said, "%s said %r" % (args[0], said)
        return rc

    def query(self, key):
        rc, out, _ = self.prefix.capture("wine", "reg", "query", key)
        values = {}
        for line in out.splitlines() if rc == 0 else []:
            m = re.match(r"^\s+(\S+)\s+(REG_\w+)\s+(.*)$", line)
            if m:
                values[m.group(1)] = m.group(3)
        return rc, values

    def service(self):
        """(state or None when not registered, program path)"""
        rc, out, _ = self.prefix.capture("wine", "sc", "query", SERVICE)
        state = re.search(r"STATE\s*:\s*(\d+)", out)
        # Wine's sc has no qc: the registration's key holds the program.
        path = self.query(SERVICE_KEY)[1].get("ImagePath")
        return int(state.group(1)) if rc == 0 and state else None, path

    def install(self):
        # A value the administrator set before is kept.
        self.prefix.reg_add("SmtpRxPort", "REG_DWORD", self.port)
        assert self.run_quietly(self.setup, "/S") == 0
        for name in ["qlsmtpgw.exe", "qlsinstall.dll", "uninstall.exe"] + (["qlsmtpcg.cpl"] if self.applet else []):
            assert os.path.exists(self.prefix.unix_path(INSTDIR + "\\" + name)), name
        for folder in ("IN", "OUT"):
            assert os.path.isdir(self.prefix.unix_path(DATA + folder)), folder
        _, settings = self.query(SETTINGS_KEY)
        expected = {"SmtpRxPort": "0x%x" % self.port, "SmtpTxPort": "0x19", "MaxOut": "0xa", "ProgramPath": DATA}
        assert {k: settings.get(k) for k in expected} == expected, settings
        self.domain = settings.get("DomainName")
        assert self.domain, settings
        if self.applet:
            assert self.query(CPLS_KEY)[1].get("qlsmtpcg") == INSTDIR + "\\qlsmtpcg.cpl"
        if self.help:
            assert os.path.exists(self.prefix.unix_path(HELP)), HELP
        assert wait_for(lambda: self.service() == (4, PROGRAM), 60, 0.5), "service %r" % (self.service(),)
        log("installed: service RUNNING as %s, settings %r" % (PROGRAM, settings))

    def deliver(self):
        with socket.create_connection(("127.0.0.1", self.port), timeout=30) as c:
            c.settimeout(30)
            greeting = c.recv(200)
        assert greeting == ("220 %s Service Ready\r\n" % self.domain).encode(), greeting
        with smtplib.SMTP("127.0.0.1", self.port, timeout=60) as s:
            s.sendmail("me@example.com", ["fax@" + self.domain], b"Subject: installed\r\n\r\nHello\r\n")
        out = self.prefix.unix_path(DATA + "OUT")
        assert wait_for(lambda: glob.glob(out + "/ENV*.tmp"), 60), os.listdir(out)
        log("delivered: %s" % sorted(os.listdir(out)))

    def reinstall(self):
        """Installing again over the running service replaces it in place."""
        assert self.run_quietly(self.setup, "/S") == 0
        assert wait_for(lambda: self.service() == (4, PROGRAM), 60, 0.5), "service %r" % (self.service(),)
        assert self.query(SETTINGS_KEY)[1].get("SmtpRxPort") == "0x%x" % self.port
        with socket.create_connection(("127.0.0.1", self.port), timeout=30) as c:
            c.settimeout(30)
            assert c.recv(200).startswith(b"220 ")
        log("installed again: service RUNNING and greeting")

    def uninstall(self):
        # The uninstaller runs a copy of itself from the temporary folder and
        # returns at once: wait for its effects.
        assert self.run_quietly(INSTDIR + "\\uninstall.exe", "/S") == 0
        installed = [self.prefix.unix_path(INSTDIR + "\\" + n)
                     for n in ("qlsmtpgw.exe", "qlsinstall.dll", "qlsmtpcg.cpl", "uninstall.exe")]
        installed.append(self.prefix.unix_path(HELP))
        assert wait_for(lambda: not any(os.path.exists(p) for p in installed), 120, 0.5), \
            [p for p in installed if os.path.exists(p)]
        assert self.service() == (None, None), self.service()
        assert self.query(UNINST_KEY)[0] != 0, "the uninstall entry stays"
        assert "qlsmtpcg" not in self.query(CPLS_KEY)[1]
        assert self.query(SETTINGS_KEY)[1].get("SmtpRxPort") == "0x%x" % self.port, "the settings went"
        assert glob.glob(self.prefix.unix_path(DATA + "OUT") + "/ENV*.tmp"), "the received mail went"
        log("uninstalled: service and files gone, settings and mail kept")


def main():
    if len(sys.argv) < 2:
        print("usage: test_wine_installer.py <qlsmtpgw.exe>")
        return 2
    if not have_wine():
        print("skipped: wine is not installed")
        return 0
    t = InstallerTest(os.path.abspath(sys.argv[1]))
    if not os.path.exists(t.setup):
        print("skipped: %s is not built (makensis missing)" % t.setup)
        return 0
    ok = False
    try:
        t.prefix.start()
        log("prefix ready")
        t.install()
        t.deliver()
        t.reinstall()
        t.uninstall()
        ok = True
    finally:
        t.prefix.stop()
        t.prefix.cleanup(ok)
    log("PASS")
    return 0


if __name__ == "__main__":
    sys.exit(main())
