#!/usr/bin/env python3
"""The gateway's service mode on Linux: the test plays systemd (the notify
socket, SIGTERM) and, for install and removal, systemctl."""
import os
import shutil
import signal
import socket
import subprocess

from gateway_env import Gateway, greeting, read, run, wait_for

SAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "samples", "qlsmtp-linux.reg")
STOPPED = "428 information The Quillon SMTP Server was stopped by the Control panel.\n"

def service(g, **popen):
    """The gateway started as systemd starts it: (process, notify socket)."""
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sock.bind(g.dir + "/notify.sock")
    sock.settimeout(20)
    popen = dict({"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}, **popen)
    return subprocess.Popen([g.program], env=g.env(NOTIFY_SOCKET=g.dir + "/notify.sock"), **popen), sock

def test_ready_and_stop_with_the_sample_settings(program):
    """The tree's sample settings file, as an operator edits it."""
    g = Gateway(program)
    values = {"ProgramPath": '"%s"' % g.data, "SmtpRxPort": "dword:%08x" % g.port, "logfile": '"%s"' % g.debuglog,
              "DNSName": '"127.0.0.1:9"'}
    with open(g.registry, "w") as f:
        for line in read(SAMPLE, True).splitlines():
            name = line.lstrip(";").split("=", 1)[0].strip('"')
            f.write(('"%s"=%s' % (name, values[name]) if "=" in line and name in values else line) + "\n")
    proc, sock = service(g)
    try:
        assert sock.recv(256) == b"READY=1"
        assert greeting(g.port) == b"220 fax.example.com Service Ready\r\n"  # ready means listening
        proc.send_signal(signal.SIGTERM)
        assert sock.recv(256) == b"STOPPING=1" and proc.wait(20) == 1 and STOPPED in read(g.events, True)
    finally:
        proc.kill()
        g.cleanup()

def test_missing_settings(program):
    """Each missing required value is named; the gateway neither prompts nor
    reports ready."""
    for values, missing in ((None, ["ProgramPath", "DomainName"]), ({"ProgramPath": ""}, ["ProgramPath"]),
                            ({"DomainName": "x" * 80}, ["DomainName"])):
        g = Gateway(program, **(values or {}))
        values or os.remove(g.registry)
        expected = "".join("The Quillon SMTP Server cannot start: the required setting %s is missing, empty or "
                           "longer than 79 characters in %s.\n" % (name, g.registry) for name in missing)
        try:
            for args, env in (([program, "m"], g.env()), ([program], g.env(NOTIFY_SOCKET=g.dir + "/notify.sock"))):
                p = subprocess.run(args, env=env, capture_output=True, input=b"q\n", timeout=30)
                assert (p.returncode, p.stdout, p.stderr.decode()) == (1, b"", expected), (args, p)
                assert read(g.events, True) == expected.replace("The Quillon", "439 error The Quillon")
                os.remove(g.events)
        finally:
            g.cleanup()

def test_port_in_use(program):
    """A receive port held by another program: reported, sending runs, and
    the port is bound once it is free."""
    holder = socket.create_server(("0.0.0.0", 0))
    g = Gateway(program, port=holder.getsockname()[1])
    proc, sock = service(g, stderr=open(g.dir + "/stderr", "w"))
    event = "438 error The Quillon SMTP Server cannot receive mail: port %d could not be bound " \
            "(Address already in use). It tries again every 10 seconds.\n" % g.port
    try:
        assert sock.recv(256) == b"READY=1" and read(g.events, True) == event
        assert wait_for(lambda: "SMTPOut::SMTPMainThread() begin." in read(g.debuglog, True))
        holder.close()
        assert wait_for(lambda: greeting(g.port) == b"220 fax.test Service Ready\r\n", 30, 0.2)
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(20) == 1 and read(g.dir + "/stderr", True) == event[10:] + \
            "The Quillon SMTP Server now receives mail on port %d.\n" % g.port
    finally:
        holder.close()
        proc.kill()
        g.cleanup()

FAKE_SYSTEMCTL = """#!/bin/sh
echo "$*" >> "${0%/*}/calls"
case "$1" in
  show) cat "${0%/*}/active-state" 2>/dev/null || echo inactive ;;
  enable) [ ! -e "${0%/*}/refuse" ] ;;
esac
"""

def test_install_and_remove_unit(program):
    """Paths relative to the current folder, the settings file's folder not
    there yet; systemctl is played by a script that logs its calls."""
    g = Gateway(program)
    d, unit = g.dir + "/", g.dir + "/units/quillon-smtp-server.service"
    open(d + "systemctl", "w").write(FAKE_SYSTEMCTL)
    os.chmod(d + "systemctl", 0o755)
    os.mkdir(d + "units")

    def gw(mode, **more):
        env = g.env(QLSMTP_UNIT_DIR="units/", QLSMTP_REGISTRY="state/registry.reg", QLSMTP_EVENTLOG="ev.log",
                    QLSMTP_SYSTEMCTL=d + "systemctl")
        p = subprocess.run([program, mode], env=dict(env, **more), cwd=d, capture_output=True, text=True, timeout=30)
        calls = [l for l in read(d + "calls", True).splitlines() if not l.startswith("show ")]
        open(d + "calls", "w").close()
        return p.returncode == 1 and p.stderr, calls

    try:
        # A unit outside systemd's folders is enabled by its path.
        assert gw("i") == ("Finished: Service Successfully Installed\n", ["daemon-reload", "enable " + unit])
        for line in ('ExecStart="%s"' % os.path.realpath(program), "SuccessExitStatus=1", "Type=notify",
                     "StateDirectory=qlsmtp", 'Environment="QLSMTP_REGISTRY=%sstate/registry.reg"' % d,
                     'Environment="QLSMTP_EVENTLOG=%sev.log"' % d):
            assert line + "\n" in read(unit, True), (line, read(unit))
        p = shutil.which("systemd-analyze") and subprocess.run(["systemd-analyze", "verify", unit], text=True,
                                                               capture_output=True, timeout=60)
        assert not p or p.returncode == 0, p.stdout + p.stderr
        assert "420 information The Quillon SMTP Server  was installed.\n" in read(d + "ev.log", True)
        assert '"TypesSupported"=dword:00000007' in read(d + "state/registry.reg", True)
        assert gw("-I")[0] == "Error: Installation: Service Is already installed!! \n"
        open(d + "active-state", "w").write("active\n")
        assert gw("u")[0] == "Error: Service is RUNNING.First STOP it to uninstall the SERVICE!!\n"
        os.remove(d + "active-state")
        assert gw("u") == ("Finished: Service Removed !!, Please Reboot To Finish\n",
                           ["disable quillon-smtp-server.service", "daemon-reload"]) and not os.path.exists(unit)
        assert "421 information The Quillon SMTP Server was removed.\n" in read(d + "ev.log", True)
        assert gw("U")[0] == "Error: Failed to Locate Installed Service\n"
        # A failing install leaves nothing behind.
        shutil.rmtree(d + "state")
        open(d + "refuse", "w").close()
        assert gw("i")[0] == "Error: Failed to Install NT Service\n" and not os.path.exists(d + "state")
        os.remove(d + "refuse")
        assert gw("i", QLSMTP_REGISTRY=d)[0] == "Error: Unable to Install Event Log for the Service\n"
        assert gw("i", QLSMTP_UNIT_DIR="missing")[0] == "Error: Failed to Open NT Service Manager\n"
        assert not os.path.exists(unit)
    finally:
        g.cleanup()

if __name__ == "__main__":
    run([test_ready_and_stop_with_the_sample_settings, test_missing_settings, test_port_in_use,
         test_install_and_remove_unit])
