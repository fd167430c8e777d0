#!/usr/bin/env python3
"""The gateway's service mode on Linux: the test plays systemd."""
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

from gateway_env import Gateway, run, wait_for


def test_not_started_by_systemd(program):
    g = Gateway(program)
    try:
        p = subprocess.run([program], env=g.env(), capture_output=True, timeout=30)
        assert p.returncode == 1, p.returncode
        err = p.stderr.decode()
        assert "Startup Message: Command prompt:Service will about to start" in err, err
        assert "Error: The service process could not connect to the service controller." in err, err
        assert not os.listdir(g.data + "OUT")
    finally:
        g.cleanup()


SAMPLE_SETTINGS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "samples", "qlsmtp-linux.reg")


def use_sample_settings(g):
    """The sample settings file of the tree, as an operator edits it: the
    data directory, port, debug log and name server changed."""
    values = {"ProgramPath": '"%s"' % g.data, "SmtpRxPort": "dword:%08x" % g.port,
              "logfile": '"%s"' % g.debuglog, "DNSName": '"127.0.0.1:9"'}
    lines = []
    for line in open(SAMPLE_SETTINGS).read().splitlines():
        name = line.lstrip(";").split("=", 1)[0].strip('"')
        lines.append('"%s"=%s' % (name, values[name]) if "=" in line and name in values else line)
    with open(g.registry, "w") as f:
        f.write("\n".join(lines) + "\n")


def test_systemd_ready_stop(program):
    g = Gateway(program)
    use_sample_settings(g)
    notify_path = os.path.join(g.dir, "notify.sock")
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sock.bind(notify_path)
    sock.settimeout(20)
    try:
        proc = subprocess.Popen([program], env=g.env(NOTIFY_SOCKET=notify_path), stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        msg = sock.recv(256)
        assert msg == b"READY=1", msg
        # Ready means listening.
        with socket.create_connection(("127.0.0.1", g.port), timeout=5) as c:
            greeting = c.recv(100)
        assert greeting == b"220 fax.example.com Service Ready\r\n", greeting
        proc.send_signal(signal.SIGTERM)
        msg = sock.recv(256)
        assert msg == b"STOPPING=1", msg
        assert proc.wait(20) == 1, proc.returncode
        events = open(g.events).read()
        assert "428 information The Quillon SMTP Server was stopped by the Control panel.\n" in events, events
    finally:
        sock.close()
        g.cleanup()


def notify_socket(g):
    path = os.path.join(g.dir, "notify.sock")
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sock.bind(path)
    sock.settimeout(20)
    return sock, path


def notifications(sock):
    """The messages that are waiting on the notify socket."""
    sock.setblocking(False)
    got = []
    try:
        while True:
            got.append(sock.recv(256))
    except BlockingIOError:
        pass
    sock.settimeout(20)
    return got


def test_missing_settings(program):
    """Each missing required value is named at start, and the gateway does
    not start: no prompt, no readiness."""
    for values, missing in (
            (None, ["ProgramPath", "DomainName"]),
            ({"ProgramPath": ""}, ["ProgramPath"]),
            ({"DomainName": "x" * 80}, ["DomainName"])):
        g = Gateway(program, extra_values=values)
        if values is None:
            os.remove(g.registry)
        sock, notify_path = notify_socket(g)
        try:
            for env in (g.env(), g.env(NOTIFY_SOCKET=notify_path)):
                mode = "m" if "NOTIFY_SOCKET" not in env else ""
                p = subprocess.run([program] + ([mode] if mode else []), env=env, capture_output=True,
                                   input=b"q\n", timeout=30)
                assert p.returncode == 1, p.returncode
                assert b"Press q" not in p.stdout, p.stdout
                expected = "".join("The Quillon SMTP Server cannot start: the required setting %s is missing, empty "
                                   "or longer than 79 characters in %s.\n" % (name, g.registry) for name in missing)
                assert p.stderr.decode() == expected, (mode, p.stderr)
                events = open(g.events).read()
                assert events == "".join("439 error " + line for line in expected.splitlines(True)), events
                os.remove(g.events)
            assert notifications(sock) == [], "a gateway without its settings reported ready"
            assert os.path.exists(g.registry) == (values is not None)
        finally:
            sock.close()
            g.cleanup()


def test_port_in_use(program):
    """A receive port held by another program: reported, sending runs, and
    the port is bound once it is free."""
    holder = socket.socket()
    holder.bind(("0.0.0.0", 0))
    holder.listen(1)
    g = Gateway(program, port=holder.getsockname()[1])
    sock, notify_path = notify_socket(g)
    err = open(os.path.join(g.dir, "stderr"), "w+")
    try:
        proc = subprocess.Popen([program], env=g.env(NOTIFY_SOCKET=notify_path), stdout=subprocess.DEVNULL,
                                stderr=err)
        assert sock.recv(256) == b"READY=1"
        event = "438 error The Quillon SMTP Server cannot receive mail: port %d could not be bound " \
                "(Address already in use). It tries again every 10 seconds.\n" % g.port
        assert open(g.events).read() == event, open(g.events).read()
        assert wait_for(lambda: "SMTPOut::SMTPMainThread() begin." in open(g.debuglog, errors="replace").read())
        holder.close()
        greeting = []

        def greets():
            try:
                with socket.create_connection(("127.0.0.1", g.port), timeout=5) as c:
                    greeting.append(c.recv(100))
                return True
            except OSError:
                return False

        assert wait_for(greets, 30, 0.2), "the port was not bound again"
        assert greeting == [b"220 fax.test Service Ready\r\n"], greeting
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(20) == 1
        err.seek(0)
        assert err.read() == event[len("438 error "):] + \
            "The Quillon SMTP Server now receives mail on port %d.\n" % g.port
    finally:
        holder.close()
        err.close()
        sock.close()
        g.cleanup()


def test_stop_before_the_handler(program):
    """A SIGTERM that is already waiting when the program starts stops it."""
    g = Gateway(program)
    sock, notify_path = notify_socket(g)

    def term_waiting():
        signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGTERM])
        os.kill(os.getpid(), signal.SIGTERM)

    try:
        proc = subprocess.Popen([program], env=g.env(NOTIFY_SOCKET=notify_path), stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, preexec_fn=term_waiting)
        try:
            assert proc.wait(20) == 1
        finally:
            proc.kill()
        # Held until the service can take it, the stop comes at once; a
        # start-up that completes in that moment may still report ready.
        got = notifications(sock)
        assert got in ([b"STOPPING=1"], [b"READY=1", b"STOPPING=1"]), got
        assert "428 information" in open(g.events).read()
    finally:
        sock.close()
        g.cleanup()


FAKE_SYSTEMCTL = """#!/bin/sh
# Plays systemctl: logs its arguments; "show" answers from the file
# active-state.
echo "$*" >> "$(dirname "$0")/systemctl.log"
case "$1" in
  show) cat "$(dirname "$0")/active-state" 2>/dev/null || echo inactive ;;
  enable) [ ! -e "$(dirname "$0")/refuse" ] ;;
esac
"""


def verify_unit(unit):
    """systemd-analyze verify of a written unit; skipped where it is absent."""
    analyze = shutil.which("systemd-analyze")
    if not analyze:
        print("SKIP systemd-analyze verify: systemd-analyze is not installed")
        return
    p = subprocess.run([analyze, "verify", unit], capture_output=True, text=True, timeout=60)
    assert p.returncode == 0, "systemd-analyze verify %s: %s%s" % (unit, p.stdout, p.stderr)


def test_install_and_remove_unit(program):
    g = Gateway(program)
    units = tempfile.mkdtemp(prefix="qlsmtp-units-")
    fake = os.path.join(units, "systemctl")
    with open(fake, "w") as f:
        f.write(FAKE_SYSTEMCTL)
    os.chmod(fake, 0o755)
    calls = os.path.join(units, "systemctl.log")
    # Paths as an operator may give them: relative to the current folder,
    # the settings file in a folder that does not exist yet.
    env = g.env(QLSMTP_UNIT_DIR="units/", QLSMTP_REGISTRY="state/registry.reg", QLSMTP_EVENTLOG="events.log",
                QLSMTP_SYSTEMCTL=fake)
    unit = os.path.join(units, "units", "quillon-smtp-server.service")
    os.mkdir(os.path.dirname(unit))
    registry = os.path.join(units, "state", "registry.reg")
    events = os.path.join(units, "events.log")

    def gw(mode, **more):
        p = subprocess.run([program, mode], env=dict(env, **more), cwd=units, capture_output=True, timeout=30)
        assert p.returncode == 1, p.returncode
        return p.stderr.decode()

    def systemctl_calls():
        if not os.path.exists(calls):
            return []
        with open(calls) as f:
            lines = f.read().splitlines()
        os.remove(calls)
        return [l for l in lines if not l.startswith("show ")]  # queries change nothing

    try:
        assert gw("i") == "Finished: Service Successfully Installed\n"
        text = open(unit).read()
        assert 'ExecStart="%s"' % os.path.realpath(program) in text, text
        assert "SuccessExitStatus=1" in text and "Type=notify" in text and "StateDirectory=qlsmtp" in text, text
        assert 'Environment="QLSMTP_REGISTRY=%s"' % registry in text, text
        assert 'Environment="QLSMTP_EVENTLOG=%s"' % events in text, text
        verify_unit(unit)
        # A unit outside systemd's folders is enabled by its path.
        assert systemctl_calls() == ["daemon-reload", "enable " + unit]
        assert "420 information The Quillon SMTP Server  was installed.\n" in open(events).read()
        reg = open(registry).read()
        assert "EventLog\\Application\\Quillon SMTP Server]" in reg and '"TypesSupported"=dword:00000007' in reg, reg

        assert gw("-I") == "Error: Installation: Service Is already installed!! \n"

        # A running service keeps its unit.
        with open(os.path.join(units, "active-state"), "w") as f:
            f.write("active\n")
        assert gw("u") == "Error: Service is RUNNING.First STOP it to uninstall the SERVICE!!\n"
        assert os.path.exists(unit)
        os.remove(os.path.join(units, "active-state"))
        systemctl_calls()

        assert gw("u") == "Finished: Service Removed !!, Please Reboot To Finish\n"
        assert not os.path.exists(unit)
        calls_made = systemctl_calls()
        assert calls_made[-2:] == ["disable quillon-smtp-server.service", "daemon-reload"], calls_made
        assert "421 information The Quillon SMTP Server was removed.\n" in open(events).read()

        assert gw("U") == "Error: Failed to Locate Installed Service\n"

        # A failing install leaves nothing behind: systemctl refuses to
        # enable, or the event-log source cannot be written.
        shutil.rmtree(os.path.join(units, "state"))
        open(os.path.join(units, "refuse"), "w").close()
        assert gw("i") == "Error: Failed to Install NT Service\n"
        assert not os.path.exists(unit) and not os.path.exists(os.path.join(units, "state"))
        os.remove(os.path.join(units, "refuse"))
        assert gw("i", QLSMTP_REGISTRY=units) == "Error: Unable to Install Event Log for the Service\n"
        assert not os.path.exists(unit)

        assert gw("i", QLSMTP_UNIT_DIR="missing") == "Error: Failed to Open NT Service Manager\n"
    finally:
        shutil.rmtree(units, ignore_errors=True)
        g.cleanup()


if __name__ == "__main__":
    run([test_not_started_by_systemd, test_systemd_ready_stop, test_missing_settings, test_port_in_use,
         test_stop_before_the_handler, test_install_and_remove_unit])
