"""Shared set-up of the end-to-end tests: the gateway in console mode with its
own settings file and data folder, nsd as name server, a fresh Wine prefix,
and a runner that prints one line per test."""
import fcntl
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time

SERVICE = "Quillon SMTP Server"
KEY = r"SOFTWARE\Halvern\Quillon SMTP Server"
ENVELOPE = r"(?i)^ENV\d+\.tmp$"

def free_port(udp_too=False):
    """A free TCP port on 127.0.0.1 (free for UDP too when asked)."""
    while True:
        with socket.socket() as t, socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as u:
            t.bind(("127.0.0.1", 0))
            try:
                return udp_too and u.bind(t.getsockname()) or t.getsockname()[1]
            except OSError:
                pass

def wait_for(predicate, timeout=10.0, step=0.05):
    deadline = time.time() + timeout
    while not predicate():
        if time.time() > deadline:
            return predicate()
        time.sleep(step)
    return True

def read(path, text=False):
    data = open(path, "rb").read() if os.path.exists(path) else b""
    return data.decode("latin-1") if text else data

def build_dir(program):
    return os.environ.get("QLSMTP_BUILD_DIR") or os.path.dirname(os.path.dirname(os.path.abspath(program)))

def greeting(port, timeout=5):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=timeout) as c:
            return c.recv(100)
    except OSError:
        return None

def log(text, started=time.time()):
    print("[%6.1f] %s" % (time.time() - started, text), flush=True)

class Gateway:
    """A gateway with its own settings file, data folder, event and debug
    logs; its console output goes to the file `console`."""

    def __init__(self, program, port=None, domain="fax.test", **values):
        self.program, self.dir = os.path.abspath(program), tempfile.mkdtemp(prefix="qlsmtp-it-")
        self.data, self.out, self.port = self.dir + "/data/", self.dir + "/data/OUT/", port or free_port()
        [os.makedirs(d) for d in (self.data + "IN", self.out)]
        self.registry, self.events, self.debuglog, self.console = (
            self.dir + n for n in ("/registry.reg", "/events.log", "/debug.log", "/console"))
        values = dict({"SmtpRxPort": self.port, "SmtpTxPort": 25, "ProgramPath": self.data, "DomainName": domain,
                       "logfile": self.debuglog, "DNSName": "127.0.0.1:9"}, **values)
        with open(self.registry, "w", newline="") as f:
            f.write("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\%s]\r\n" % KEY + "".join(
                '"%s"=dword:%08x\r\n' % (k, v) if isinstance(v, int) else '"%s"="%s"\r\n' % (k, v)
                for k, v in values.items()))
        self.proc = None

    def set_value(self, name, value):
        """Sets a DWORD while the gateway runs, as the fax server does: under
        the settings file's lock, the file replaced in one step."""
        with open(self.registry + ".lock", "a+") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            entry, text = '"%s"=dword:%08x' % (name, value), read(self.registry, True)
            text, found = re.subn(r'(?mi)^"%s"=dword:\w{8}(?=\r?$)' % name, entry, text)
            if not found:
                text = re.sub(r"(?mi)^\[HKEY_LOCAL_MACHINE\\%s\]\r?\n" % re.escape(KEY),
                              lambda m: m.group(0) + entry + "\r\n", text)
            with open(self.registry + ".tmp.test", "w", newline="", encoding="latin-1") as f:
                f.write(text)
            os.replace(f.name, self.registry)

    def value(self, name):
        m = re.search(r'(?mi)^"%s"=dword:(\w{8})\r?$' % name, read(self.registry, True))
        return int(m.group(1), 16) if m else None

    def env(self, **more):
        return dict({k: v for k, v in os.environ.items() if k not in ("NOTIFY_SOCKET", "INVOCATION_ID")},
                    **dict({"QLSMTP_REGISTRY": self.registry, "QLSMTP_EVENTLOG": self.events}, **more))

    def start(self, **env):
        start = len(read(self.console))
        with open(self.console, "ab") as out:
            self.proc = subprocess.Popen([self.program, "m"], stdin=subprocess.PIPE, stdout=out, stderr=out,
                                         env=self.env(**env))
        assert wait_for(lambda: "Press q to stop" in read(self.console, True)[start:] or self.proc.poll(), 20) \
            and self.proc.poll() is None, "no prompt: %r" % read(self.console, True)[start:]
        return self

    def stop(self):
        self.proc.stdin.write(b"q\n")
        self.proc.stdin.flush()
        try:
            return self.proc.wait(10)
        except subprocess.TimeoutExpired:
            return self.kill()

    def kill(self):
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            return self.proc.wait()

    def files(self, pattern=""):
        return sorted(n for n in os.listdir(self.out) if re.search(pattern, n))

    def cleanup(self):
        self.kill()
        shutil.rmtree(self.dir, ignore_errors=True)

class NameServer:
    """nsd on 127.0.0.1 (UDP and TCP on one free port), authoritative for the
    given zones: zone name -> record lines relative to the zone's origin."""

    def __init__(self, zones):
        import dns.message
        import dns.query
        d, self.port = tempfile.mkdtemp(prefix="qlsmtp-nsd-"), free_port(udp_too=True)
        self.dir, self.address = d, "127.0.0.1:%d" % self.port
        conf = ('server:\n ip-address: 127.0.0.1@%d\n do-ip6: no\n username: ""\n chroot: ""\n server-count: 1\n'
                % self.port + "".join(' %s: "%s/%s"\n' % (k, d, f) for k, f in (
                    ("zonesdir", ""), ("database", "nsd.db"), ("pidfile", "nsd.pid"), ("xfrdfile", "xfrd.state"),
                    ("xfrdir", ""), ("zonelistfile", "zone.list"), ("logfile", "nsd.log"))) +
                "remote-control:\n control-enable: no\n")
        for zone, records in zones.items():
            conf += 'zone:\n name: "%s"\n zonefile: "%s.zone"\n' % (zone, zone)
            with open(os.path.join(d, zone + ".zone"), "w") as f:
                f.write("\n".join(["$ORIGIN %s." % zone, "$TTL 300", "@ IN SOA ns hostmaster 1 3600 600 86400 300",
                                   "@ IN NS ns", "ns IN A 127.0.0.1"] + records) + "\n")
        with open(d + "/nsd.conf", "w") as f:
            f.write(conf)
        self.proc = subprocess.Popen(["/usr/sbin/nsd", "-d", "-c", f.name], stderr=subprocess.DEVNULL)
        query = dns.message.make_query(next(iter(zones)), "SOA")

        def answers():
            try:
                return dns.query.tcp(query, "127.0.0.1", 1, self.port)
            except (OSError, EOFError, dns.exception.DNSException):
                return None
        assert wait_for(answers, 20), "nsd does not answer: " + read(d + "/nsd.log", True)

    def cleanup(self):
        self.proc.terminate()
        self.proc.wait(10)
        shutil.rmtree(self.dir, ignore_errors=True)

class WinePrefix:
    """A fresh Wine prefix with a persistent server. Output goes to files,
    never pipes, which the processes Wine leaves running would hold open.
    The server's debug channels (`server_debug`) and those of the services
    it starts go to `services_log`."""

    def __init__(self, folder, server_debug="-all"):
        self.dir, self.logfile, self.services_log = folder, folder + ".log", folder + ".services.log"
        self.remove()
        os.makedirs(folder)
        # No Mono or Gecko installers; no message boxes unless a test wants them.
        self.env = dict({k: v for k, v in os.environ.items() if k != "DISPLAY"}, WINEPREFIX=folder,
                        WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=", QLSMTP_NO_UI="1")
        self.server_debug = server_debug

    def start(self):
        with open(self.services_log, "ab") as out:
            for cmd in (["wineserver", "-p", "60"], ["wineboot"]):
                assert subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=out, stderr=out, cwd=self.dir,
                                      env=dict(self.env, WINEDEBUG=self.server_debug), timeout=300).returncode == 0

    def wine(self, *args, timeout=120, **env):
        """Runs `wine args` to its end: (exit status, output)."""
        with open(self.dir + ".out", "wb") as out:
            rc = subprocess.run(["wine"] + [str(a) for a in args], stdin=subprocess.DEVNULL, stdout=out, stderr=out,
                                env=dict(self.env, **env), cwd=self.dir, timeout=timeout).returncode
        text = read(out.name).decode("utf-8", "replace").replace("\r\n", "\n")
        with open(self.logfile, "a") as f:
            f.write("$ wine %s -> %d\n%s" % (" ".join(map(str, args)), rc, text))
        return rc, text

    def reg_add(self, name, kind, value, key="HKLM\\" + KEY):
        assert self.wine("reg", "add", key, "/v", name, "/t", kind, "/d", value, "/f")[0] == 0, name

    def reg_query(self, key):
        rc, out = self.wine("reg", "query", key)
        return {m[0]: m[2] for m in re.findall(r"(?m)^\s+(\S+)\s+(REG_\w+)\s+(.*)$", out)} if rc == 0 else None

    def service_state(self):
        m = re.search(r"STATE\s*:\s*(\d+)", self.wine("sc", "query", SERVICE)[1])
        return int(m.group(1)) if m else None

    def unix_path(self, windows_path):
        return os.path.join(self.dir, "drive_c", *windows_path[3:].rstrip("\\").split("\\"))

    def remove(self):
        shutil.rmtree(self.dir, ignore_errors=True)
        [os.remove(f) for f in (self.logfile, self.services_log, self.dir + ".out") if os.path.exists(f)]

    def cleanup(self, ok):
        """Ends the server; removes the prefix after a pass, shows the logs
        after a failure."""
        subprocess.run(["wineserver", "-k"], env=self.env, timeout=60)
        if ok:
            return self.remove()
        print("wine log:\n%s\nservices log:\n%s" % (read(self.logfile, True)[-4000:],
                                                      read(self.services_log, True)[-3000:]))

def run(tests):
    """Runs test functions with the program path; one line each, a count."""
    failed = 0
    for t in tests:
        try:
            t(sys.argv[1])
            print("PASS", t.__name__, flush=True)
        except Exception as e:  # noqa: BLE001 - every failure is reported the same way
            failed += 1
            print("FAIL", t.__name__, ":", repr(e), flush=True)
    print("%d passed, %d failed" % (len(tests) - failed, failed))
    sys.exit(1 if failed else 0)
