"""The Windows build in console mode under Wine: settings written with
`wine reg add` into a fresh prefix, the gateway started with `m`, a client
from Linux greeted on the configured port, and `q` ending the program with
status 1.

Usage: test_wine_console.py <path of qlsmtpgw.exe>"""
import os
import select
import shutil
import socket
import subprocess
import sys
import time

SETTINGS_KEY = r"HKLM\SOFTWARE\Halvern\Quillon SMTP Server"
DOMAIN = "fax.wine.test"
PROMPT = b"Press q to stop the gateway"


def log(text):
    print("[%6.1f] %s" % (time.time() - START, text), flush=True)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def check_greeting(sock):
    """The gateway's first words to a client: the SMTP greeting."""
    expected = ("220 %s Service Ready\r\n" % DOMAIN).encode()
    sock.settimeout(10)
    data = b""
    while not data.endswith(b"\r\n"):
        chunk = sock.recv(256)
        if not chunk:
            break
        data += chunk
    assert data == expected, "greeting %r, expected %r" % (data, expected)
    return "SMTP greeting"


class WinePrefix:
    """A fresh Wine prefix under the build folder with a persistent server."""

    def __init__(self, folder):
        self.dir = folder
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        self.logfile = folder + ".log"
        self.env = dict(os.environ)
        self.env.pop("DISPLAY", None)
        self.env.update({
            "WINEPREFIX": folder,
            "WINEDEBUG": "-all",
            # No Mono or Gecko installers in a prefix for a console program.
            "WINEDLLOVERRIDES": "mscoree,mshtml=",
            "QLSMTP_NO_UI": "1",
        })

    def run(self, *args, timeout=120):
        """Runs a Wine command to its end. Its output goes to the log file:
        processes that Wine leaves running would hold a pipe open."""
        with open(self.logfile, "ab") as out:
            r = subprocess.run(list(args), stdin=subprocess.DEVNULL, stdout=out, stderr=out,
                               env=self.env, cwd=self.dir, timeout=timeout)
        return r.returncode

    def start(self):
        assert self.run("wineserver", "-p", "60") == 0, "wineserver did not start"
        assert self.run("wineboot", timeout=300) == 0, "wineboot failed"

    def reg_add(self, name, kind, value):
        rc = self.run("wine", "reg", "add", SETTINGS_KEY, "/v", name, "/t", kind, "/d", str(value), "/f")
        assert rc == 0, "wine reg add %s failed: %d" % (name, rc)

    def unix_path(self, windows_path):
        assert windows_path[:3].upper() == "C:\\"
        return os.path.join(self.dir, "drive_c", *windows_path[3:].rstrip("\\").split("\\"))

    def stop(self):
        self.run("wineserver", "-k", timeout=60)

    def log_text(self):
        try:
            with open(self.logfile, "rb") as f:
                return f.read().decode("utf-8", "replace")[-4000:]
        except OSError:
            return ""


def read_until(proc, marker, timeout):
    """Reads the program's standard output until marker appears."""
    fd = proc.stdout.fileno()
    seen = b""
    deadline = time.time() + timeout
    while marker not in seen:
        left = deadline - time.time()
        if left <= 0:
            raise AssertionError("no %r within %d s; output so far %r" % (marker, timeout, seen))
        ready, _, _ = select.select([fd], [], [], left)
        if ready:
            chunk = os.read(fd, 4096)
            if not chunk:
                raise AssertionError("output ended before %r: %r (exit %r)" % (marker, seen, proc.poll()))
            seen += chunk
    return seen


def main():
    if len(sys.argv) < 2:
        print("usage: test_wine_console.py <qlsmtpgw.exe>")
        return 2
    if not shutil.which("wine") or not shutil.which("wineserver") or not shutil.which("wineboot"):
        print("skipped: wine is not installed")
        return 0
    program = os.path.abspath(sys.argv[1])
    build = os.environ.get("QLSMTP_BUILD_DIR") or os.path.dirname(os.path.dirname(program))
    prefix = WinePrefix(os.path.join(build, "wine-it", "console"))
    gateway = None
    ok = False
    try:
        log("making the prefix %s" % prefix.dir)
        prefix.start()

        port = free_port()
        data_dir = "C:\\qlsmtp\\data\\"
        for sub in ("IN", "OUT"):
            os.makedirs(os.path.join(prefix.unix_path(data_dir), sub))
        log("settings: port %d, data %s" % (port, data_dir))
        prefix.reg_add("SmtpRxPort", "REG_DWORD", port)
        prefix.reg_add("ProgramPath", "REG_SZ", data_dir)
        prefix.reg_add("DomainName", "REG_SZ", DOMAIN)
        prefix.reg_add("logfile", "REG_SZ", "C:\\qlsmtp\\debug.log")

        log("starting the gateway in console mode")
        with open(prefix.logfile, "ab") as err:
            gateway = subprocess.Popen(["wine", program, "m"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                       stderr=err, env=prefix.env, cwd=prefix.dir)
        read_until(gateway, PROMPT, 60)
        log("prompt seen; connecting to 127.0.0.1:%d" % port)

        with socket.create_connection(("127.0.0.1", port), timeout=10) as client:
            log("greeted with the %s" % check_greeting(client))

        gateway.stdin.write(b"q\n")
        gateway.stdin.flush()
        status = gateway.wait(60)
        assert status == 1, "exit status %d, expected 1" % status
        log("stopped with status 1")
        ok = True
    finally:
        if gateway and gateway.poll() is None:
            gateway.kill()
            gateway.wait()
        prefix.stop()
        if ok:
            shutil.rmtree(prefix.dir, ignore_errors=True)
            try:
                os.remove(prefix.logfile)
            except OSError:
                pass
        else:
            debug = prefix.unix_path("C:\\qlsmtp\\debug.log")
            if os.path.exists(debug):
                with open(debug, "rb") as f:
                    print("debug log:\n" + f.read().decode("latin-1")[-3000:])
            print("wine log (%s):\n%s" % (prefix.logfile, prefix.log_text()))
    print("PASS")
    return 0


START = time.time()
if __name__ == "__main__":
    sys.exit(main())
