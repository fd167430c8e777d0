#!/usr/bin/env python3
"""The Windows build as a service under Wine's service manager, in a fresh
prefix: install (registration, event-log source, event 420), a second
install refused, `sc start`, a mail with an attachment from smtplib handed
off as envelope, body and attachment files, removal refused while running.
Under Xvfb, the applet is then used as a person would: a driver
(qlcpldrv.exe) loads qlsmtpcg.cpl as the Control Panel does, types a new
domain and port into the dialog (screenshot applet/qlsmtpcg-dialog.png in
the build folder), presses OK and answers the restart question Yes; the
service greets on the new port. Last `sc stop` (port closed, event 428, the
service main ended) and removal (event 421).

Wine keeps no event log: with WINEDEBUG=fixme+advapi,trace+eventlog each
ReportEvent call shows as a fixme line with the type and id, then trace
lines with the insertion strings. services.exe passes its standard error
and debug channels on to the services it starts."""
import os
import re
import shutil
import smtplib
import subprocess
import sys
from email.message import EmailMessage

from gateway_env import KEY, SERVICE, WinePrefix, build_dir, free_port, greeting, log, read, wait_for

EVENT_DEBUG = "fixme+advapi,trace+eventlog"
DATA, DEBUG_LOG = "C:\\qlsmtp\\data\\", "C:\\qlsmtp\\debug.log"
ATTACHMENT = bytes(range(256)) * 3 + b"\x00\r\n.\r\n\x1a"

def events(text):
    """The events in a Wine debug log: (type, id, insertion strings)."""
    found, lines = [], text.splitlines()
    for i, line in enumerate(lines):
        m = re.search(r"^(\w+):fixme:advapi:ReportEventA \(\w+,0x(\w{4}),0x\w{4},0x(\w{8}),\w+,0x(\w{4}),", line)
        if m:
            inserts = [t for t in (re.match(r"%s:\w+:eventlog:ReportEventW L\"(.*)\"$" % m.group(1), later)
                                   for later in lines[i + 1:]) if t][:int(m.group(4), 16)]
            found.append((int(m.group(2), 16), int(m.group(3), 16), [t.group(1) for t in inserts]))
    return found

def said(text):
    """The program's own lines, without Wine's debug channels and notices."""
    return "".join(l + "\n" for l in text.splitlines() if not re.match(
        r"^([0-9a-f]{4}:(fixme|trace|warn|err):|it looks like wine32|multiarch needs|execute \"dpkg|apt-get inst)", l))

def gateway(prefix, mode, expected, event=None):
    rc, out = prefix.wine(prefix.program, mode, timeout=60, WINEDEBUG=EVENT_DEBUG)
    assert (rc, said(out)) == (1, expected) and (not event or event in events(out)), (mode, rc, out[-2000:])
    log("%s: %r" % (mode, expected))

def install(prefix, port):
    gateway(prefix, "i", "Finished: Service Successfully Installed\n", (4, 420, [SERVICE]))
    path = "Z:" + prefix.program.replace("/", "\\")
    v = prefix.reg_query("HKLM\\SYSTEM\\CurrentControlSet\\Services\\" + SERVICE)
    assert [v.get(k) for k in ("Type", "Start", "ErrorControl", "ImagePath", "ObjectName", "DisplayName")] == \
        ["0x10", "0x2", "0x1", path, "LocalSystem", SERVICE], v
    v = prefix.reg_query("HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + SERVICE)
    assert (v.get("EventMessageFile"), v.get("TypesSupported"), prefix.service_state()) == (path, "0x7", 1), v
    gateway(prefix, "I", "Error: Installation: Service Is already installed!! \n")
    os.makedirs(prefix.unix_path(DATA + "IN"))
    os.makedirs(prefix.unix_path(DATA + "OUT"))
    for name, kind, value in (("SmtpRxPort", "REG_DWORD", port), ("SmtpTxPort", "REG_DWORD", 25),
                              ("ProgramPath", "REG_SZ", DATA),
                              ("DomainName", "REG_SZ", "before.test"), ("DNSName", "REG_SZ", "ns.test"),
                              ("logfile", "REG_SZ", DEBUG_LOG)):
        prefix.reg_add(name, kind, value)
    assert prefix.wine("sc", "start", SERVICE)[0] == 0 and wait_for(lambda: prefix.service_state() == 4, 30)

def deliver(prefix, port):
    msg = EmailMessage()
    msg["Subject"] = "Fax through the service"
    msg.set_content("Please fax the attached scan.\n")
    msg.add_attachment(ATTACHMENT, maintype="application", subtype="pdf", filename="scan.pdf")
    with smtplib.SMTP("127.0.0.1", port, timeout=30) as client:  # RUNNING means listening
        assert not client.send_message(msg, "sender@example.org", ["fax@example.com"])
    out = prefix.unix_path(DATA + "OUT") + "/"
    assert wait_for(lambda: len(os.listdir(out)) == 3, 30), os.listdir(out)
    env = [n for n in os.listdir(out) if re.match(r"ENV\d+\.tmp$", n)][0]
    body, att = env[:-4] + ".bdy", [n for n in os.listdir(out) if re.match(r"ATT\d+\.pdf$", n)][0]
    assert "<<%s>>" % body in read(out + env, True) and "<<scan.pdf:%s>>" % att in read(out + env, True)
    assert b"Please fax the attached scan." in read(out + body) and read(out + att) == ATTACHMENT
    log("delivered: %s, %s, %s" % (env, body, att))

def screen():
    """Xvfb on a display number it picks itself: (process, display)."""
    r, w = os.pipe()
    proc = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                            pass_fds=(w,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(w)
    with os.fdopen(r) as f:
        return proc, ":" + f.readline().strip()

def applet(prefix, port):
    """Returns the port the service then listens on."""
    new_port = free_port()
    build, out, go = build_dir(prefix.program), prefix.dir + "/driver.out", prefix.dir + "/go"
    cpl = os.environ.get("QLSMTP_CPL") or os.path.join(build, "applet", "qlsmtpcg.cpl")
    driver = os.environ.get("QLSMTP_CPLDRV") or os.path.join(build, "tests", "integration", "qlcpldrv.exe")
    env = {k: v for k, v in prefix.env.items() if k != "QLSMTP_NO_UI"}  # real message boxes
    with open(out, "wb") as f:
        proc = subprocess.Popen(["wine", driver, "Z:" + cpl.replace("/", "\\"), "after.test", str(new_port),
                                 "Z:" + go.replace("/", "\\")], stdin=subprocess.DEVNULL, stdout=f,
                                stderr=subprocess.STDOUT, env=env, cwd=prefix.dir)
    try:
        assert wait_for(lambda: "OPEN" in read(out, True) or proc.poll() is not None, 120, 0.2), read(out, True)
        subprocess.run(["import", "-display", env["DISPLAY"], "-window", "root", os.path.dirname(cpl) +
                        "/qlsmtpcg-dialog.png"], check=True, timeout=60)
        open(go, "w").close()  # the driver goes on once the screenshot is taken
        assert proc.wait(400) == 0 and "DONE\n" in read(out, True).replace("\r", ""), read(out, True)
    finally:
        proc.kill()
    assert "values before.test|ns.test|%s|%d|25" % (DATA, port) in read(out, True), read(out, True)
    v = prefix.reg_query("HKLM\\" + KEY)
    assert (v["SmtpRxPort"], v["DomainName"], prefix.service_state()) == (hex(new_port), "after.test", 4), v
    assert wait_for(lambda: greeting(new_port) == b"220 after.test Service Ready\r\n", 30, 0.5)
    log("applet: saved, restarted, greets on %d" % new_port)
    return new_port

def stop(prefix, port):
    stops = lambda: events(read(prefix.services_log, True)).count((4, 428, [SERVICE]))  # noqa: E731
    before, logged = stops(), len(read(prefix.unix_path(DEBUG_LOG)))  # the applet's restart stopped it too
    assert prefix.wine("sc", "stop", SERVICE)[0] == 0 and wait_for(lambda: prefix.service_state() == 1, 30, 0.25)
    assert wait_for(lambda: greeting(port, 2) is None, 20), "the port is still open after the stop"
    assert wait_for(lambda: stops() > before, 10), "no event 428"
    # The process ends only after the service main has finished.
    debug, at = read(prefix.unix_path(DEBUG_LOG), True)[logged:], 0
    assert "OnStopService: set the stop event." in debug, debug[-600:]
    for line in ("Smtpservice: Leaving the Service main.", "CService::Exit : Entering .",
                 "CService::Exit : m_ServiceStatusHandle is not NULL.", "CService::Exit : Leaving."):
        at = debug.find(line, at)
        assert at >= 0, "the debug log lacks %r after the stop: %r" % (line, debug[-600:])
    log("STOPPED, port closed, event 428 seen, the service main ended")

def main():
    if not all(map(shutil.which, ("wine", "wineserver", "wineboot"))):
        print("skipped: wine is not installed")
        return 0
    program = os.path.abspath(sys.argv[1])
    prefix = WinePrefix(os.path.join(build_dir(program), "wine-it", "service"), server_debug=EVENT_DEBUG)
    prefix.program, port, ok = program, free_port(), False
    xvfb = all(map(shutil.which, ("Xvfb", "import"))) and screen()
    if xvfb:  # the prefix starts with the display: Wine's desktop draws there
        prefix.env["DISPLAY"] = xvfb[1]
    try:
        prefix.start()
        install(prefix, port)
        deliver(prefix, port)
        gateway(prefix, "u", "Error: Service is RUNNING.First STOP it to uninstall the SERVICE!!\n")
        if xvfb:
            port = applet(prefix, port)
        else:
            log("applet skipped: Xvfb or ImageMagick missing")
        stop(prefix, port)
        gateway(prefix, "u", "Finished: Service Removed !!, Please Reboot To Finish\n", (4, 421, [SERVICE]))
        assert prefix.service_state() is None
        gateway(prefix, "U", "Error: Failed to Locate Installed Service\n")
        ok = True
    finally:
        prefix.cleanup(ok)
        xvfb and xvfb[0].terminate()
    log("PASS")
    return 0

if __name__ == "__main__":
    sys.exit(main())
