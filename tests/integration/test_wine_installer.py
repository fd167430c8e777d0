#!/usr/bin/env python3
"""The setup program qlsmtp-setup.exe (top of the build folder) under Wine in
a fresh prefix: a silent install (/S) keeps a setting already there, writes
the missing defaults, installs the files, registers and starts the service
(qlsinstall.dll), which stores a mail sent with smtplib; installing again
leaves it running; the silent uninstaller removes service and files and
keeps the settings and the mail."""
import glob
import os
import shutil
import smtplib
import sys

from gateway_env import KEY, SERVICE, WinePrefix, build_dir, free_port, greeting, log, wait_for
from test_wine_service import said

DIR, HELP = "C:\\Program Files\\Quillon SMTP Server\\", "C:\\windows\\system32\\qlsmtpcg.chm"
CPLS = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Control Panel\\Cpls"

def main():
    build = build_dir(os.path.abspath(sys.argv[1]))
    setup = os.path.join(build, "qlsmtp-setup.exe")
    if not shutil.which("wine") or not os.path.exists(setup):
        print("skipped: no wine, or %s not built (makensis missing)" % setup)
        return 0
    applet = [n for n in ("qlsmtpcg.cpl", "qlsmtpcg.chm") if os.path.exists(os.path.join(build, "applet", n))]
    prefix, port, ok = WinePrefix(os.path.join(build, "wine-it", "installer")), free_port(), False
    files = [prefix.unix_path(DIR + n) for n in ["qlsmtpgw.exe", "qlsinstall.dll", "uninstall.exe"] + applet[:1]]
    mail = lambda: glob.glob(prefix.unix_path(DIR + "data\\OUT") + "/ENV*.tmp")  # noqa: E731

    def quietly(*args):  # runs a Wine command that must say nothing
        rc, out = prefix.wine(*args, timeout=300)
        assert rc == 0 and not said(out).strip(), (args, rc, out)

    def running():  # Wine's sc has no qc: the registration's key holds it (own process, started at boot)
        key = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\" + SERVICE
        return wait_for(lambda: (prefix.service_state(), [(prefix.reg_query(key) or {}).get(k) for k in (
            "ImagePath", "Type", "Start")]) == (4, [DIR + "qlsmtpgw.exe", "0x10", "0x2"]), 60, 0.5)

    try:
        prefix.start()
        prefix.reg_add("SmtpRxPort", "REG_DWORD", port)  # set by the administrator before
        quietly(setup, "/S")
        assert all(map(os.path.exists, files + [prefix.unix_path(DIR + "data\\" + n) for n in ("IN", "OUT")]))
        v = prefix.reg_query("HKLM\\" + KEY)
        assert [v.get(k) for k in ("SmtpRxPort", "SmtpTxPort", "MaxOut", "ProgramPath")] == \
            [hex(port), "0x19", "0xa", DIR + "data\\"] and v.get("DomainName"), v
        assert not applet or (prefix.reg_query(CPLS) or {}).get("qlsmtpcg") == DIR + "qlsmtpcg.cpl"
        assert "qlsmtpcg.chm" not in applet or os.path.exists(prefix.unix_path(HELP))
        assert running() and greeting(port, 30) == b"220 %s Service Ready\r\n" % v["DomainName"].encode()
        with smtplib.SMTP("127.0.0.1", port, timeout=60) as s:
            s.sendmail("me@example.com", ["fax@example.com"], b"Subject: installed\r\n\r\nHello\r\n")
        assert wait_for(mail, 60)
        log("installed: service RUNNING, mail stored, settings %r" % v)
        quietly(setup, "/S")  # again, over the running service
        assert running() and prefix.reg_query("HKLM\\" + KEY)["SmtpRxPort"] == hex(port) and greeting(port, 30)
        # The uninstaller runs a copy of itself and returns at once.
        quietly(DIR + "uninstall.exe", "/S")
        assert wait_for(lambda: not any(map(os.path.exists, files + [prefix.unix_path(HELP)])), 120, 0.5)
        assert prefix.service_state() is None and "qlsmtpcg" not in (prefix.reg_query(CPLS) or {})
        assert prefix.reg_query("HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + SERVICE) is None
        assert prefix.reg_query("HKLM\\" + KEY)["SmtpRxPort"] == hex(port) and mail(), "settings or mail went"
        log("uninstalled: service and files gone, settings and mail kept")
        ok = True
    finally:
        prefix.cleanup(ok)
    log("PASS")
    return 0

if __name__ == "__main__":
    sys.exit(main())
