"""The Windows build as a service under Wine's service manager, in a fresh
prefix: install (service registration and event-log source), a second
install refused, settings written with `wine reg add`, `sc start` to
RUNNING, a message with an attachment delivered from Linux with smtplib and
handed off as envelope, body and attachment files, an interrogation (sent
by the helper qlsvcctl.exe, since Wine's sc.exe cannot) that leaves it
running, removal refused while it runs, `sc stop` to STOPPED with event 428
and the process ended after its service main, removal, removal of a missing
service; and the program started from a prompt without an argument.

Wine keeps no event log: with WINEDEBUG=fixme+advapi,trace+eventlog each
ReportEvent call shows as a fixme line with the type and id, then the
insertion strings. The service runs under services.exe, which inherits the
standard error and debug channels of the wineboot that started it.

Usage: test_wine_service.py <path of qlsmtpgw.exe>"""
import os
import re
import smtplib
import socket
import subprocess
import sys
import time
from email.message import EmailMessage

from wine_env import WinePrefix, build_dir, free_port, have_wine, log, wait_for

SERVICE = "Quillon SMTP Server"
SERVICE_KEY = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\" + SERVICE
SERVICE_CURRENT_KEY = "HKLM\\SYSTEM\\CurrentControlSet\\Control\\ServiceCurrent"
EVENTLOG_KEY = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + SERVICE
EVENT_DEBUG = "fixme+advapi,trace+eventlog"
DOMAIN = "fax.wine.test"
DATA_DIR = "C:\\qlsmtp\\data\\"
DEBUG_LOG = "C:\\qlsmtp\\debug.log"
ATTACHMENT = bytes(range(256)) * 3 + b"\x00\r\n.\r\n\x1a"
# FormatMessage's text for 1063 (the program was not started by the service
# manager): Wine's, and Windows'.
NOT_A_SERVICE_TEXTS = ("Service controller connect failed.",
                       "The service process could not connect to the service controller.")

EVENT_TYPES = {"error": 0x0001, "warning": 0x0002, "information": 0x0004}


def events(text):
    """The events in a Wine debug log: (type, id, insertion strings)."""
    found = []
    lines = text.splitlines()
    for i, line in enumerate(lines):
        m = re.search(r"fixme:advapi:ReportEventA \([0-9A-Fa-f]+,0x([0-9a-f]{4}),0x[0-9a-f]{4},0x([0-9a-f]{8}),"
                      r"[0-9A-Fa-f]+,0x([0-9a-f]{4}),", line)
        if not m:
            continue
        count = int(m.group(3), 16)
        thread = line.split(":", 1)[0]
        inserts = []
        for later in lines[i + 1:]:
            if len(inserts) == count:
                break
            t = re.match(r"%s:(?:trace|warn|err):eventlog:ReportEventW L\"(.*)\"$" % thread, later)
            if t:
                inserts.append(t.group(1))
        found.append((int(m.group(1), 16), int(m.group(2), 16), inserts))
    return found


def wine_noise(line):
    """Lines of Wine's own on a program's standard error: debug channels,
    and the notice of a missing 32-bit Wine that comes with them."""
    return bool(re.match(r"^[0-9a-f]{4}:(fixme|trace|warn|err):", line)) or line in WINE32_NOTICE


WINE32_NOTICE = {
    "it looks like wine32 is missing, you should install it.",
    "multiarch needs to be enabled first.  as root, please",
    'execute "dpkg --add-architecture i386 && apt-get update &&',
    'apt-get install wine32:i386"',
}


def has_event(text, kind, event_id, inserts):
    return (EVENT_TYPES[kind], event_id, inserts) in events(text)


class ServiceTest:
    def __init__(self, program):
        self.program = program
        self.windows_path = "Z:" + program.replace("/", "\\")
        self.svcctl = os.environ.get("QLSMTP_SVCCTL") or os.path.join(
            build_dir(program), "tests", "integration", "qlsvcctl.exe")
        self.prefix = WinePrefix(os.path.join(build_dir(program), "wine-it", "service"),
                                 server_debug=EVENT_DEBUG, separate_services_log=True)

    def gateway(self, mode, event_debug=False, boxes=False):
        """Runs the program in install or remove mode: (status, message
        lines, Wine debug text). With boxes, as a user runs it: message
        boxes asked for, which Wine cannot show without a display."""
        env = self.prefix.env
        if event_debug:
            self.prefix.env = dict(env, WINEDEBUG=EVENT_DEBUG)
        if boxes:
            self.prefix.env = {k: v for k, v in self.prefix.env.items() if k != "QLSMTP_NO_UI"}
        try:
            rc, _, err = self.prefix.capture("wine", self.program, mode, timeout=60)
        finally:
            self.prefix.env = env
        messages = "".join(l + "\n" for l in err.splitlines() if not wine_noise(l))
        return rc, messages, err

    def expect_messages(self, mode, expected, event=None, boxes=False):
        rc, messages, debug = self.gateway(mode, event_debug=event is not None, boxes=boxes)
        assert rc == 1, "%s: exit status %d, expected 1" % (mode, rc)
        assert messages == expected, "%s: messages %r, expected %r" % (mode, messages, expected)
        if event:
            assert has_event(debug, *event), "%s: no event %r in %r" % (mode, event, events(debug))
        log("%s: %r" % (mode, messages))

    def sc(self, *args):
        return self.prefix.capture("wine", "sc", *args, timeout=60)

    def state(self):
        """The service's state from `sc query`: a number, or the error text."""
        rc, out, err = self.sc("query", SERVICE)
        m = re.search(r"STATE\s*:\s*(\d+)", out)
        if rc != 0 or not m:
            return "sc query %d: %s%s" % (rc, out, err)
        return int(m.group(1))

    def wait_state(self, state, timeout):
        assert wait_for(lambda: self.state() == state, timeout, 0.25), \
            "state %r, expected %d" % (self.state(), state)

    def reg_values(self, key):
        rc, out, err = self.prefix.capture("wine", "reg", "query", key)
        assert rc == 0, "reg query %s: %d %s" % (key, rc, err)
        values = {}
        for line in out.splitlines():
            m = re.match(r"^\s+(\S+)\s+(REG_\w+)\s+(.*)$", line)
            if m:
                values[m.group(1)] = (m.group(2), m.group(3))
        return values

    def service_count(self):
        """The number of service processes services.exe has started so far
        (the value that names the control pipe of the newest one)."""
        rc, out, _ = self.prefix.capture("wine", "reg", "query", SERVICE_CURRENT_KEY)
        m = re.search(r"REG_DWORD\s+(0x[0-9a-fA-F]+)", out) if rc == 0 else None
        return int(m.group(1), 16) if m else None

    def wait_services_settled(self, quiet=3.0, timeout=60):
        """Waits until services.exe has started no service process for
        `quiet` seconds. Wine's boot goes on starting driver services after
        wineboot returns, and a program that asks for the dispatcher while a
        service process is starting is handed that process's control pipe."""
        deadline = time.time() + timeout
        last, since = self.service_count(), time.time()
        while time.time() - since < quiet:
            assert time.time() < deadline, "services still starting after %ds" % timeout
            time.sleep(0.25)
            now = self.service_count()
            if now != last:
                last, since = now, time.time()
        return last

    def start_prompt_run(self):
        """The program from a prompt without an argument; Wine's dispatcher
        fails only after about ten seconds, so this runs meanwhile."""
        self.prompt_services = self.wait_services_settled()
        self.prompt_out = open(self.prefix.dir + ".prompt", "wb+")
        self.prompt = subprocess.Popen(["wine", self.program], stdin=subprocess.DEVNULL,
                                       stdout=self.prompt_out, stderr=self.prompt_out, env=self.prefix.env,
                                       cwd=self.prefix.dir)

    def finish_prompt_run(self):
        """(exit status or None when it had to be killed, output)"""
        try:
            rc = self.prompt.wait(60)
        except subprocess.TimeoutExpired:
            self.prompt.kill()
            self.prompt.wait()
            rc = None
        self.prompt_out.seek(0)
        text = self.prompt_out.read().decode("utf-8", "replace").replace("\r\n", "\n")
        self.prompt_out.close()
        os.remove(self.prefix.dir + ".prompt")
        return rc, text

    def check_prompt_run(self):
        rc, text = self.finish_prompt_run()
        if "Startup Message" not in text:
            # Wine hands the control pipe of a service process that is just
            # starting to whichever process asks first; the program then
            # ends silently (or waits). Not a finding about the program: run
            # it again once nothing is starting.
            log("prompt run without its messages (status %r, services %r -> %r): run again" %
                (rc, self.prompt_services, self.service_count()))
            self.start_prompt_run()
            rc, text = self.finish_prompt_run()
        assert rc == 1, "from a prompt: exit status %r: %r" % (rc, text)
        lines = [l for l in text.splitlines() if not wine_noise(l)]
        assert lines[:1] == ["Startup Message: Command prompt:Service will about to start"], repr(text)
        assert len(lines) == 2 and lines[1].startswith("Error: "), repr(text)
        assert lines[1][len("Error: "):] in NOT_A_SERVICE_TEXTS, repr(text)
        log("from a prompt: %r, status 1" % lines)

    def install(self):
        self.expect_messages("i", "Finished: Service Successfully Installed\n",
                             event=("information", 420, [SERVICE]))
        v = self.reg_values(SERVICE_KEY)
        expected = {"Type": ("REG_DWORD", "0x10"), "Start": ("REG_DWORD", "0x2"),
                    "ErrorControl": ("REG_DWORD", "0x1"), "ImagePath": ("REG_SZ", self.windows_path),
                    "ObjectName": ("REG_SZ", "LocalSystem"), "DisplayName": ("REG_SZ", SERVICE)}
        for name, value in expected.items():
            assert v.get(name) == value, "service %s: %r, expected %r" % (name, v.get(name), value)
        rc, out, _ = self.sc("query", SERVICE)
        assert rc == 0 and re.search(r"TYPE\s*:\s*10\s+WIN32_OWN_PROCESS", out), out
        assert self.state() == 1, out
        v = self.reg_values(EVENTLOG_KEY)
        assert v.get("EventMessageFile") == ("REG_EXPAND_SZ", self.windows_path), v
        assert v.get("TypesSupported") == ("REG_DWORD", "0x7"), v
        log("registered: automatic, own process, %s; event-log source" % self.windows_path)
        # A box that cannot be shown is written to the console instead.
        self.expect_messages("I", "Error: Installation: Service Is already installed!! \n", boxes=True)

    def configure(self):
        self.port = free_port()
        self.data = self.prefix.unix_path(DATA_DIR)
        for sub in ("IN", "OUT"):
            os.makedirs(os.path.join(self.data, sub))
        self.prefix.reg_add("SmtpRxPort", "REG_DWORD", self.port)
        self.prefix.reg_add("ProgramPath", "REG_SZ", DATA_DIR)
        self.prefix.reg_add("DomainName", "REG_SZ", DOMAIN)
        self.prefix.reg_add("logfile", "REG_SZ", DEBUG_LOG)
        log("settings: port %d, data %s" % (self.port, DATA_DIR))

    def start(self):
        rc, out, err = self.sc("start", SERVICE)
        assert rc == 0, "sc start: %d %s%s" % (rc, out, err)
        self.wait_state(4, 30)
        log("RUNNING")

    def deliver(self):
        msg = EmailMessage()
        msg["From"] = "sender@example.org"
        msg["To"] = "fax@example.com"
        msg["Subject"] = "Fax through the service"
        msg.set_content("Please fax the attached scan.\n")
        msg.add_attachment(ATTACHMENT, maintype="application", subtype="pdf", filename="scan.pdf")
        # RUNNING means listening: no retry loop.
        with smtplib.SMTP("127.0.0.1", self.port, timeout=30) as client:
            refused = client.send_message(msg)
        assert not refused, refused
        out = os.path.join(self.data, "OUT")

        def names(pattern):
            return sorted(n for n in os.listdir(out) if re.match(pattern, n, re.IGNORECASE))

        assert wait_for(lambda: names(r"^ENV\d+\.tmp$"), 30), "no envelope in OUT: %r" % os.listdir(out)
        env_name = names(r"^ENV\d+\.tmp$")[0]
        stem = env_name[:-4]
        with open(os.path.join(out, env_name), "rb") as f:
            envelope = f.read().decode("latin-1")
        body_name = stem + ".bdy"
        assert body_name in os.listdir(out), os.listdir(out)
        with open(os.path.join(out, body_name), "rb") as f:
            assert b"Please fax the attached scan." in f.read()
        attachments = names(r"^ATT\d+\.pdf$")
        assert len(attachments) == 1, os.listdir(out)
        with open(os.path.join(out, attachments[0]), "rb") as f:
            assert f.read() == ATTACHMENT, "attachment %s differs" % attachments[0]
        assert "<<%s>>" % body_name in envelope, envelope
        assert "<<scan.pdf:%s>>" % attachments[0] in envelope, envelope
        log("delivered: %s, %s, %s" % (env_name, body_name, attachments[0]))

    def interrogate(self):
        # Wine's sc.exe has no interrogate: a helper built beside the tests
        # sends SERVICE_CONTROL_INTERROGATE (4) through ControlService.
        rc, out, err = self.prefix.capture("wine", self.svcctl, "4", SERVICE, timeout=60)
        assert rc == 0, "interrogate: %d %s%s" % (rc, out, err)
        assert out.strip() == "STATE : 4", "interrogate answered %r" % out
        assert self.state() == 4, "state %r after the interrogation" % self.state()
        with socket.create_connection(("127.0.0.1", self.port), timeout=10) as c:
            c.settimeout(10)
            assert c.recv(100).startswith(b"220 "), "no greeting after the interrogation"
        log("interrogated: still RUNNING and greeting")

    def stop(self):
        rc, out, err = self.sc("stop", SERVICE)
        assert rc == 0, "sc stop: %d %s%s" % (rc, out, err)
        self.wait_state(1, 30)

        # The process ended with the service: nothing listens any more.
        def closed():
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=2).close()
                return False
            except OSError:
                return True

        assert wait_for(closed, 20), "the port is still open after the stop"
        assert wait_for(lambda: has_event(self.prefix.services_text(), "information", 428, [SERVICE]), 10), \
            "no event 428: %r" % events(self.prefix.services_text())
        # The process ends only after the service main has finished: its
        # last lines are in the debug log, in order (the handler's lines may
        # come between them).
        with open(self.prefix.unix_path(DEBUG_LOG), "rb") as f:
            debug = f.read().decode("latin-1")
        assert "OnStopService: set the stop event." in debug, debug[-600:]
        at = 0
        for line in ("Smtpservice: Leaving the Service main.", "CService::Exit : Entering .",
                     "CService::Exit : m_ServiceStatusHandle is not NULL.", "CService::Exit : Leaving."):
            found = debug.find(line, at)
            assert found >= 0, "debug log lacks %r after the stop; it ends %r" % (line, debug[-600:])
            at = found + len(line)
        log("STOPPED, port closed, event 428 seen, the service main ended")

    def remove_while_running(self):
        self.expect_messages("u", "Error: Service is RUNNING.First STOP it to uninstall the SERVICE!!\n")
        assert self.state() == 4, "removal refused, yet the state is %r" % self.state()


def main():
    if len(sys.argv) < 2:
        print("usage: test_wine_service.py <qlsmtpgw.exe>")
        return 2
    if not have_wine():
        print("skipped: wine is not installed")
        return 0
    t = ServiceTest(os.path.abspath(sys.argv[1]))
    assert os.path.exists(t.svcctl), "the control helper %s is not built" % t.svcctl
    ok = False
    try:
        log("making the prefix %s" % t.prefix.dir)
        t.prefix.start()
        log("prefix ready")
        t.start_prompt_run()
        t.install()
        t.configure()
        t.check_prompt_run()
        t.start()
        t.deliver()
        t.interrogate()
        t.remove_while_running()
        t.stop()
        t.expect_messages("u", "Finished: Service Removed !!, Please Reboot To Finish\n",
                          event=("information", 421, [SERVICE]))
        assert isinstance(t.state(), str), "still registered after the removal: state %r" % t.state()
        t.expect_messages("U", "Error: Failed to Locate Installed Service\n")
        ok = True
    finally:
        if getattr(t, "prompt", None) and t.prompt.poll() is None:
            t.prompt.kill()
            t.prompt.wait()
        t.prefix.stop()
        t.prefix.cleanup(ok, debug_log=DEBUG_LOG)
    log("PASS")
    return 0


if __name__ == "__main__":
    sys.exit(main())
