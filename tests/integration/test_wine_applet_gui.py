#!/usr/bin/env python3
"""The configuration applet under Xvfb and Wine, used as a person would: with
the gateway installed and running in Wine's service manager, a driver
(qlcpldrv.exe) loads qlsmtpcg.cpl as the Control Panel does, types new
values into the dialog and presses OK; the restart question is a real
message box that it answers Yes, and the service then greets on the new
port. A port that is no number keeps the dialog open. Wine's own Control
Panel opens the dialog too. Screenshots of the dialog go into the build
folder (applet/qlsmtpcg-dialog.png, applet/qlsmtpcg-control.png)."""
import os
import re
import shutil
import socket
import subprocess
import sys

from wine_env import WinePrefix, build_dir, free_port, have_wine, log, read_text, wait_for

SERVICE = "Quillon SMTP Server"
SETTINGS_KEY = r"HKLM\SOFTWARE\Halvern\Quillon SMTP Server"
DATA_DIR = "C:\\qlsmtp\\data\\"
TITLE = "Quillon SMTP Server configuration"


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


class Xvfb:
    """A virtual screen on a display number that the server picks itself."""

    def __init__(self):
        r, w = os.pipe()
        self.proc = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", "1024x768x24", "-nolisten",
                                      "tcp"], pass_fds=(w,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(w)
        number = b""
        while not number.endswith(b"\n"):
            chunk = os.read(r, 16)
            assert chunk, "Xvfb did not start"
            number += chunk
        os.close(r)
        self.display = ":" + number.decode().strip()

    def screenshot(self, path):
        subprocess.run(["import", "-display", self.display, "-window", "root", path], check=True, timeout=60)
        log("screenshot %s" % path)

    def stop(self):
        self.proc.terminate()
        self.proc.wait(10)


class AppletTest:
    def __init__(self, program):
        self.program = program
        self.build = build_dir(program)
        self.cpl = os.environ.get("QLSMTP_CPL") or os.path.join(self.build, "applet", "qlsmtpcg.cpl")
        self.driver = os.environ.get("QLSMTP_CPLDRV") or os.path.join(self.build, "tests", "integration",
                                                                       "qlcpldrv.exe")
        self.shots = os.path.dirname(self.cpl)
        self.screen = Xvfb()
        self.prefix = WinePrefix(os.path.join(self.build, "wine-it", "applet"))
        self.prefix.env["DISPLAY"] = self.screen.display

    def sc(self, *args):
        return self.prefix.capture("wine", "sc", *args, timeout=60)

    def state(self):
        rc, out, _ = self.sc("query", SERVICE)
        m = re.search(r"STATE\s*:\s*(\d+)", out)
        return int(m.group(1)) if rc == 0 and m else None

    def values(self):
        rc, out, err = self.prefix.capture("wine", "reg", "query", SETTINGS_KEY)
        assert rc == 0, err
        return {m.group(1): m.group(3) for m in re.finditer(r"^\s+(\S+)\s+(REG_\w+)\s+(.*)$", out, re.M)}

    def greeting(self, port):
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=5) as c:
                return c.recv(100)
        except OSError:
            return None

    def setup(self):
        self.prefix.start()
        rc, _, err = self.prefix.capture("wine", self.program, "i", timeout=60)
        assert "Service Successfully Installed" in err, err
        os.makedirs(self.prefix.unix_path(DATA_DIR))
        self.port = free_port()
        for name, kind, value in (("SmtpRxPort", "REG_DWORD", self.port), ("SmtpTxPort", "REG_DWORD", 25),
                                  ("ProgramPath", "REG_SZ", DATA_DIR), ("DomainName", "REG_SZ", "before.test"),
                                  ("DNSName", "REG_SZ", "ns.test")):
            self.prefix.reg_add(name, kind, value)
        rc, out, err = self.sc("start", SERVICE)
        assert rc == 0, out + err
        assert wait_for(lambda: self.greeting(self.port) == b"220 before.test Service Ready\r\n", 60, 0.5)
        log("gateway running on %d" % self.port)

    def drive(self, shot, *scenario):
        """Runs the driver; takes the screenshot when the dialog is open."""
        out_path = os.path.join(self.prefix.dir, "driver-%s.out" % scenario[0])
        go = os.path.join(self.prefix.dir, "go-%s" % scenario[0])
        env = dict(self.prefix.env)
        env.pop("QLSMTP_NO_UI")  # message boxes are real windows here
        with open(out_path, "wb") as out:
            proc = subprocess.Popen(["wine", self.driver, "run", windows_path(self.cpl)] + list(scenario) +
                                    [windows_path(go)], stdin=subprocess.DEVNULL, stdout=out,
                                    stderr=subprocess.STDOUT, env=env, cwd=self.prefix.dir)
        try:
            assert wait_for(lambda: "OPEN" in read_text(out_path) or proc.poll() is not None, 120, 0.2), \
                read_text(out_path)
            self.screen.screenshot(shot)
            open(go, "w").close()
            rc = proc.wait(400)
        finally:
            if proc.poll() is None:
                proc.kill()
        text = read_text(out_path)
        log("driver %s: %s" % (scenario[0], " / ".join(l for l in text.splitlines() if l[:3] in ("ok ", "FAI",
                                                                                                 "val", "DON"))))
        assert rc == 0 and "DONE\n" in text.replace("\r", ""), text
        return text

    def restart_with_new_values(self):
        new_port = free_port()
        text = self.drive(os.path.join(self.shots, "qlsmtpcg-dialog.png"), "yes", "after.test", str(new_port))
        assert "values before.test|ns.test|%s|%d|25" % (DATA_DIR, self.port) in text, text
        v = self.values()
        assert v["SmtpRxPort"] == hex(new_port) and v["DomainName"] == "after.test", v
        assert self.state() == 4, self.state()
        assert wait_for(lambda: self.greeting(new_port) == b"220 after.test Service Ready\r\n", 30, 0.5)
        self.port = new_port
        log("saved, restarted, greets on %d" % new_port)

    def refuse_port(self):
        rc, out, err = self.sc("stop", SERVICE)
        assert rc == 0, out + err
        assert wait_for(lambda: self.state() == 1, 60, 0.5)
        self.drive(os.path.join(self.shots, "qlsmtpcg-refused.png"), "nan")
        assert self.values()["SmtpRxPort"] == hex(self.port)

    def control_panel(self):
        """Wine's Control Panel opens the dialog."""
        env = dict(self.prefix.env)
        env.pop("QLSMTP_NO_UI")
        log_path = os.path.join(self.prefix.dir, "control.out")
        with open(log_path, "wb") as out:
            proc = subprocess.Popen(["wine", "control", "qlsmtpcg.cpl"], cwd=os.path.dirname(self.cpl), env=env,
                                    stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
        try:
            def shown():
                r = subprocess.run(["xdotool", "search", "--name", TITLE], env=dict(env), capture_output=True)
                return r.returncode == 0 and r.stdout.strip()
            assert wait_for(shown, 120, 0.5), "no dialog from wine control: " + read_text(log_path)[-2000:]
            self.screen.screenshot(os.path.join(self.shots, "qlsmtpcg-control.png"))
            assert self.prefix.run("wine", self.driver, "close", timeout=120) == 0
            proc.wait(60)
        finally:
            if proc.poll() is None:
                proc.kill()
        log("wine control opened the dialog")


def main():
    if len(sys.argv) < 2:
        print("usage: test_wine_applet_gui.py <qlsmtpgw.exe>")
        return 2
    if not have_wine() or not all(shutil.which(p) for p in ("Xvfb", "import", "xdotool")):
        print("skipped: wine, Xvfb, ImageMagick or xdotool missing")
        return 0
    t = AppletTest(os.path.abspath(sys.argv[1]))
    ok = False
    try:
        t.setup()
        t.restart_with_new_values()
        t.refuse_port()
        t.control_panel()
        ok = True
    finally:
        t.prefix.stop()
        t.prefix.cleanup(ok)
        t.screen.stop()
    log("PASS")
    return 0


if __name__ == "__main__":
    sys.exit(main())
