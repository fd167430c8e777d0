"""Shared helpers of the integration tests: a scratch settings file and data
directory, and the gateway started in console mode on a free port."""
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Gateway:
    """A gateway with its own settings, data directory and logs."""

    def __init__(self, program, port=None, extra_values=None, domain="fax.test"):
        self.program = os.path.abspath(program)
        self.dir = tempfile.mkdtemp(prefix="qlsmtp-it-")
        self.data = os.path.join(self.dir, "data") + "/"
        os.makedirs(self.data + "IN")
        os.makedirs(self.data + "OUT")
        self.port = port or free_port()
        self.registry = os.path.join(self.dir, "registry.reg")
        self.events = os.path.join(self.dir, "events.log")
        self.debuglog = os.path.join(self.dir, "debug.log")
        values = {
            "SmtpRxPort": self.port,
            "SmtpTxPort": 25,
            "ProgramPath": self.data,
            "DomainName": domain,
            "logfile": self.debuglog,
            "DNSName": "127.0.0.1:9",
        }
        values.update(extra_values or {})
        self.write_registry(values)
        self.proc = None

    def write_registry(self, values):
        lines = ["REGEDIT4", "", r"[HKEY_LOCAL_MACHINE\SOFTWARE\Halvern\Quillon SMTP Server]"]
        for k, v in values.items():
            if isinstance(v, int):
                lines.append('"%s"=dword:%08x' % (k, v))
            else:
                lines.append('"%s"="%s"' % (k, v.replace("\\", "\\\\").replace('"', '\\"')))
        with open(self.registry, "w", newline="") as f:
            f.write("\r\n".join(lines) + "\r\n")

    def env(self, **more):
        e = dict(os.environ)
        e["QLSMTP_REGISTRY"] = self.registry
        e["QLSMTP_EVENTLOG"] = self.events
        e.pop("NOTIFY_SOCKET", None)
        e.pop("INVOCATION_ID", None)
        e.update(more)
        return e

    def start_console(self, timeout=20):
        self.proc = subprocess.Popen([self.program, "m"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=self.env())
        deadline = time.time() + timeout
        line = self.proc.stdout.readline()
        while b"Press q to stop the gateway" not in line:
            if not line or time.time() > deadline:
                raise AssertionError("the gateway did not print its prompt: %r" % line)
            line = self.proc.stdout.readline()
        return self

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.stdin.write(b"q\n")
            self.proc.stdin.flush()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        return self.proc.returncode if self.proc else None

    def kill(self):
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()

    def out_files(self):
        return sorted(os.listdir(self.data + "OUT"))

    def cleanup(self):
        self.kill()
        shutil.rmtree(self.dir, ignore_errors=True)


def wait_for(predicate, timeout=10.0, step=0.05):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


def run(tests):
    """Runs test functions; prints one line each and a closing count."""
    program = sys.argv[1]
    failed = 0
    for t in tests:
        try:
            t(program)
            print("PASS", t.__name__)
        except Exception as e:  # noqa: BLE001 - report every failure the same way
            failed += 1
            print("FAIL", t.__name__, ":", repr(e))
    print("%d passed, %d failed" % (len(tests) - failed, failed))
    sys.exit(1 if failed else 0)
