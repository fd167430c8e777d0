"""Shared helpers of the integration tests: a scratch settings file and data
directory, and the gateway started in console mode on a free port."""
import os
import select
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
        # A gateway that hangs at start fails the test instead of hanging it.
        fd = self.proc.stdout.fileno()
        deadline = time.time() + timeout
        seen = b""
        while b"Press q to stop the gateway" not in seen:
            ready = select.select([fd], [], [], max(0.0, deadline - time.time()))[0]
            chunk = os.read(fd, 4096) if ready else b""
            if not chunk:
                raise AssertionError("the gateway did not print its prompt within %d s: %r" % (timeout, seen))
            seen += chunk
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


def free_port_pair():
    """A port free for TCP and UDP at once, as a name server binds both."""
    for _ in range(50):
        with socket.socket() as t:
            t.bind(("127.0.0.1", 0))
            port = t.getsockname()[1]
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as u:
                try:
                    u.bind(("127.0.0.1", port))
                except OSError:
                    continue
        return port
    raise AssertionError("no free TCP and UDP port")


def drop_queue_file(data_dir, name, content):
    """Leaves a queue file in IN the way the fax server does: written under
    another name, then renamed to its .tmp name in one step."""
    folder = os.path.join(data_dir, "IN")
    part = os.path.join(folder, name + ".part")
    with open(part, "wb") as f:
        f.write(content)
    os.rename(part, os.path.join(folder, name))


class NameServer:
    """nsd on 127.0.0.1 (UDP and TCP on one free port), authoritative for
    the given zones. zones maps a zone name to its record lines, written
    relative to the zone's origin; an SOA and an NS record are added."""

    PROGRAM = "/usr/sbin/nsd"

    def __init__(self, zones, folder=None):
        self.own_dir = folder is None
        self.dir = folder or tempfile.mkdtemp(prefix="qlsmtp-nsd-")
        self.port = free_port_pair()
        self.address = "127.0.0.1:%d" % self.port
        self.proc = None
        self.conf = os.path.join(self.dir, "nsd.conf")
        lines = ["server:",
                 "    ip-address: 127.0.0.1@%d" % self.port,
                 "    port: %d" % self.port,
                 "    do-ip6: no",
                 # Stays root: no change of user or root into folders it could not read.
                 '    username: ""',
                 '    chroot: ""',
                 '    zonesdir: "%s"' % self.dir,
                 '    database: "%s"' % os.path.join(self.dir, "nsd.db"),
                 '    pidfile: "%s"' % os.path.join(self.dir, "nsd.pid"),
                 '    xfrdfile: "%s"' % os.path.join(self.dir, "xfrd.state"),
                 '    xfrdir: "%s"' % self.dir,
                 '    zonelistfile: "%s"' % os.path.join(self.dir, "zone.list"),
                 '    logfile: "%s"' % os.path.join(self.dir, "nsd.log"),
                 "    server-count: 1",
                 "    verbosity: 1",
                 "remote-control:",
                 "    control-enable: no"]
        for zone, records in zones.items():
            zone = zone.rstrip(".")
            zonefile = zone + ".zone"
            lines += ["zone:", '    name: "%s"' % zone, '    zonefile: "%s"' % zonefile]
            body = ["$ORIGIN %s." % zone, "$TTL 300",
                    "@ IN SOA ns.%s. hostmaster.%s. 1 3600 600 86400 300" % (zone, zone),
                    "@ IN NS ns.%s." % zone,
                    "ns IN A 127.0.0.1"] + list(records)
            with open(os.path.join(self.dir, zonefile), "w") as f:
                f.write("\n".join(body) + "\n")
        with open(self.conf, "w") as f:
            f.write("\n".join(lines) + "\n")

    def start(self, timeout=20):
        if not os.path.exists(self.PROGRAM):
            raise AssertionError("nsd is not installed (Debian package nsd)")
        check = subprocess.run(["/usr/sbin/nsd-checkconf", self.conf], capture_output=True, text=True)
        if check.returncode != 0:
            raise AssertionError("nsd-checkconf refused the config: " + check.stdout + check.stderr)
        self.proc = subprocess.Popen([self.PROGRAM, "-d", "-c", self.conf], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        deadline = time.time() + timeout
        while time.time() < deadline:
            if self.proc.poll() is not None:
                raise AssertionError("nsd ended at start:\n" + self.log())
            if self.answers_tcp():
                return self
            time.sleep(0.05)
        raise AssertionError("nsd did not answer over TCP:\n" + self.log())

    def answers_tcp(self):
        """True when a query for the SOA of the first zone gets an answer
        over TCP."""
        zone = next(iter(self.zones())) if self.zones() else "."
        q = bytearray(b"\x12\x34\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00")
        for label in zone.split("."):
            q += bytes([len(label)]) + label.encode()
        q += b"\x00\x00\x06\x00\x01"
        try:
            with socket.create_connection(("127.0.0.1", self.port), timeout=1) as s:
                s.sendall(len(q).to_bytes(2, "big") + q)
                return len(s.recv(2)) == 2
        except OSError:
            return False

    def zones(self):
        with open(self.conf) as f:
            return [l.split('"')[1] for l in f if l.strip().startswith("name:")]

    def log(self):
        try:
            with open(os.path.join(self.dir, "nsd.log")) as f:
                return f.read()
        except OSError:
            return ""

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()

    def cleanup(self):
        self.stop()
        if self.own_dir:
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
