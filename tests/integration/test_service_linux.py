#!/usr/bin/env python3
"""The gateway's service mode on Linux: the test plays systemd."""
import os
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


def test_systemd_ready_stop(program):
    g = Gateway(program)
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
        assert greeting == b"220 fax.test Service Ready\r\n", greeting
        proc.send_signal(signal.SIGTERM)
        msg = sock.recv(256)
        assert msg == b"STOPPING=1", msg
        assert proc.wait(20) == 1, proc.returncode
        events = open(g.events).read()
        assert "428 information The Quillon SMTP Server was stopped by the Control panel.\n" in events, events
    finally:
        sock.close()
        g.cleanup()


def test_install_and_remove_unit(program):
    g = Gateway(program)
    units = tempfile.mkdtemp(prefix="qlsmtp-units-")
    env = g.env(QLSMTP_UNIT_DIR=units)
    unit = os.path.join(units, "quillon-smtp-server.service")
    try:
        p = subprocess.run([program, "i"], env=env, capture_output=True, timeout=30)
        assert p.returncode == 1
        assert p.stderr.decode() == "Finished: Service Successfully Installed\n", p.stderr
        text = open(unit).read()
        assert 'ExecStart="%s"' % os.path.realpath(program) in text, text
        assert "SuccessExitStatus=1" in text and "Type=notify" in text, text
        assert 'Environment="QLSMTP_REGISTRY=%s"' % g.registry in text, text
        assert "420 information The Quillon SMTP Server  was installed.\n" in open(g.events).read()
        reg = open(g.registry).read()
        assert "EventLog\\Application\\Quillon SMTP Server]" in reg and '"TypesSupported"=dword:00000007' in reg, reg

        p = subprocess.run([program, "-I"], env=env, capture_output=True, timeout=30)
        assert p.stderr.decode() == "Error: Installation: Service Is already installed!! \n", p.stderr

        p = subprocess.run([program, "u"], env=env, capture_output=True, timeout=30)
        assert p.returncode == 1
        assert p.stderr.decode() == "Finished: Service Removed !!, Please Reboot To Finish\n", p.stderr
        assert not os.path.exists(unit)
        assert "421 information The Quillon SMTP Server was removed.\n" in open(g.events).read()

        p = subprocess.run([program, "U"], env=env, capture_output=True, timeout=30)
        assert p.stderr.decode() == "Error: Failed to Locate Installed Service\n", p.stderr

        env["QLSMTP_UNIT_DIR"] = os.path.join(units, "missing")
        p = subprocess.run([program, "i"], env=env, capture_output=True, timeout=30)
        assert p.stderr.decode() == "Error: Failed to Open NT Service Manager\n", p.stderr
    finally:
        os.system("rm -rf '%s'" % units)
        g.cleanup()


if __name__ == "__main__":
    run([test_not_started_by_systemd, test_systemd_ready_stop, test_install_and_remove_unit])
