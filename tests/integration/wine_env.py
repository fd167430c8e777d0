"""Helpers of the Wine integration tests: a fresh prefix under the build
folder with a persistent server, Wine commands run with their output in
files, and the gateway's settings written with `wine reg add`."""
import os
import select
import shutil
import subprocess
import time

from gateway_env import free_port, wait_for  # noqa: F401 (tests take them from here)

SETTINGS_KEY = r"HKLM\SOFTWARE\Halvern\Quillon SMTP Server"

START = time.time()


def log(text):
    print("[%6.1f] %s" % (time.time() - START, text), flush=True)


def have_wine():
    return all(shutil.which(p) for p in ("wine", "wineserver", "wineboot"))


def build_dir(program):
    return os.environ.get("QLSMTP_BUILD_DIR") or os.path.dirname(os.path.dirname(program))


class WinePrefix:
    """A fresh Wine prefix with a persistent server.

    Every command's output goes to files, never to pipes: the processes that
    Wine leaves running (services.exe, winedevice, explorer, the services it
    starts) would hold a pipe open. The server and wineboot write to
    `services_log`; the processes that services.exe starts inherit that
    standard error, so a service's debug channels (`server_debug`) show up
    there."""

    def __init__(self, folder, server_debug="-all", separate_services_log=False):
        self.dir = folder
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        self.logfile = folder + ".log"
        self.services_log = folder + ".services.log" if separate_services_log else self.logfile
        for f in {self.logfile, self.services_log}:
            if os.path.exists(f):
                os.remove(f)
        self.server_debug = server_debug
        self.env = dict(os.environ)
        self.env.pop("DISPLAY", None)
        self.env.update({
            "WINEPREFIX": folder,
            "WINEDEBUG": "-all",
            # No Mono or Gecko installers in a prefix for a console program.
            "WINEDLLOVERRIDES": "mscoree,mshtml=",
            "QLSMTP_NO_UI": "1",
        })
        self.started = False

    def run(self, *args, timeout=120):
        """Runs a Wine command to its end; its output goes to the log file."""
        with open(self.logfile, "ab") as out:
            r = subprocess.run(list(args), stdin=subprocess.DEVNULL, stdout=out, stderr=out,
                               env=self.env, cwd=self.dir, timeout=timeout)
        return r.returncode

    def capture(self, *args, timeout=120):
        """Runs a Wine command to its end: (exit status, stdout, stderr) as
        text, with Windows line ends turned into "\\n"."""
        out_path, err_path = self.dir + ".out", self.dir + ".err"
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            r = subprocess.run(list(args), stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                               env=self.env, cwd=self.dir, timeout=timeout)
        texts = []
        for p in (out_path, err_path):
            with open(p, "rb") as f:
                texts.append(f.read().decode("utf-8", "replace").replace("\r\n", "\n"))
            os.remove(p)
        with open(self.logfile, "ab") as f:
            f.write(("$ %s -> %d\n%s%s" % (" ".join(args), r.returncode, texts[0], texts[1])).encode())
        return r.returncode, texts[0], texts[1]

    def start(self):
        env = dict(self.env, WINEDEBUG=self.server_debug)
        with open(self.services_log, "ab") as out:
            for cmd, limit in ((["wineserver", "-p", "60"], 60), (["wineboot"], 300)):
                rc = subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=out, stderr=out, env=env,
                                    cwd=self.dir, timeout=limit).returncode
                assert rc == 0, "%s failed: %d" % (cmd[0], rc)
                self.started = True

    def reg_add(self, name, kind, value, key=SETTINGS_KEY):
        rc = self.run("wine", "reg", "add", key, "/v", name, "/t", kind, "/d", str(value), "/f")
        assert rc == 0, "wine reg add %s failed: %d" % (name, rc)

    def unix_path(self, windows_path):
        assert windows_path[:3].upper() == "C:\\"
        return os.path.join(self.dir, "drive_c", *windows_path[3:].rstrip("\\").split("\\"))

    def stop(self):
        if self.started:
            self.run("wineserver", "-k", timeout=60)

    def services_text(self):
        return read_text(self.services_log)

    def log_text(self, tail=4000):
        return read_text(self.logfile)[-tail:]

    def cleanup(self, ok, debug_log=None):
        """Removes the prefix after a pass; prints the logs after a failure."""
        if ok:
            shutil.rmtree(self.dir, ignore_errors=True)
            for f in {self.logfile, self.services_log}:
                try:
                    os.remove(f)
                except OSError:
                    pass
            return
        if debug_log and os.path.exists(self.unix_path(debug_log)):
            print("debug log:\n" + read_text(self.unix_path(debug_log))[-3000:])
        print("wine log (%s):\n%s" % (self.logfile, self.log_text()))
        if self.services_log != self.logfile:
            print("services log (%s):\n%s" % (self.services_log, self.services_text()[-3000:]))


def read_text(path):
    try:
        with open(path, "rb") as f:
            return f.read().decode("utf-8", "replace")
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
