#!/usr/bin/env python3
"""Reception by the built gateway in console mode: real SMTP clients deliver,
and the raw message file holds exactly the trace line and the data."""
import os
import resource
import shutil
import socket
import smtplib
import subprocess
import sys
import tempfile
import threading
import time

from gateway_env import Gateway, run
from smtp_rx import (Script, get_reg_dword, hold_handoff, out_path, part_files, raw_files, read, trace,
                     wait_for)

DOMAIN = "fax.example.com"


def started(program):
    g = Gateway(program, domain=DOMAIN).start_console()
    hold_handoff(g)
    return g


def only_raw_file(g):
    assert wait_for(lambda: len(raw_files(g)) == 1), "raw message files: %r" % os.listdir(g.data + "OUT")
    assert not part_files(g), part_files(g)
    return read(out_path(g, raw_files(g)[0]))


def test_smtplib_delivery(program):
    g = started(program)
    try:
        # Lines that need transparency, a bare-LF line end and 8-bit bytes.
        msg = (b"Subject: smtplib\r\n\r\n.leading dot\r\n..two dots\r\n.\r\n"
               b"bare lf\n.\nend of line . \r\n\xe9t\xe9\r\nlast line")
        s = smtplib.SMTP("127.0.0.1", g.port, local_hostname="smtplib.example", timeout=10)
        try:
            refused = s.sendmail("sender@example.org", ["fax@example.com"], msg)
            assert refused == {}, refused
            # EHLO was refused and HELO used instead.
            assert not s.does_esmtp
        finally:
            s.close()  # no QUIT: a held hand-off keeps the session from reading it
        stored = only_raw_file(g)
        expected = trace("smtplib.example", DOMAIN) + msg + b"\r\n"
        assert stored == expected, "stored %r\nexpected %r" % (stored, expected)
    finally:
        g.cleanup()


def test_swaks_delivery(program):
    swaks = shutil.which("swaks")
    assert swaks, "swaks is not installed (Debian package swaks)"
    g = started(program)
    try:
        body = b"Subject: swaks\r\n\r\n.leading dot\r\n..two dots\r\n.\r\nlast"
        path = os.path.join(g.dir, "body.eml")
        with open(path, "wb") as f:
            f.write(body)
        p = subprocess.run([swaks, "--server", "127.0.0.1", "--port", str(g.port), "--helo", "swaks.example",
                            "--from", "sender@example.org", "--to", "fax@example.com", "--data", "@" + path,
                            "--timeout", "10", "--drop-after", "DOT"], capture_output=True, timeout=60)
        out = p.stdout.decode(errors="replace")
        assert p.returncode == 0, out + p.stderr.decode(errors="replace")
        assert "<** 500 Syntax Error, Command Unknown." in out and "-> HELO swaks.example" in out, out
        assert "<-  250 Mail Received OK" in out, out
        stored = only_raw_file(g)
        # swaks ends the last line with CR LF before the terminator.
        expected = trace("swaks.example", DOMAIN) + body + b"\r\n"
        assert stored == expected, "stored %r\nexpected %r" % (stored, expected)
    finally:
        g.cleanup()


def test_twenty_parallel_clients(program):
    g = started(program)
    try:
        n = 20
        barrier = threading.Barrier(n, timeout=30)
        errors = []

        def client(i):
            try:
                s = smtplib.SMTP("127.0.0.1", g.port, local_hostname="c%d.example" % i, timeout=30)
                try:
                    s.helo("c%d.example" % i)
                    s.mail("sender%d@example.org" % i)
                    s.rcpt("fax@example.com")
                    barrier.wait()  # all 20 connected and about to send DATA
                    code, reply = s.data(b"Subject: parallel %d\r\n\r\nbody %d\r\n" % (i, i))
                    if code != 250:
                        errors.append((i, code, reply))
                finally:
                    s.close()
            except Exception as e:  # noqa: BLE001 - collected and reported below
                errors.append((i, repr(e)))

        threads = [threading.Thread(target=client, args=(i,)) for i in range(n)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        assert not errors, errors
        assert wait_for(lambda: len(raw_files(g)) == n), raw_files(g)
        stored = sorted(read(out_path(g, f)) for f in raw_files(g))
        expected = sorted(trace("c%d.example" % i, DOMAIN) + b"Subject: parallel %d\r\n\r\nbody %d\r\n" % (i, i)
                          for i in range(n))
        assert stored == expected, "the raw message files do not hold one message each"
        assert get_reg_dword(g, "TmpIndex") == n, get_reg_dword(g, "TmpIndex")
    finally:
        g.cleanup()


def test_raw_file_cannot_be_created(program):
    g = started(program)
    try:
        os.rmdir(g.data + "OUT")
        with smtplib.SMTP("127.0.0.1", g.port, local_hostname="c.example", timeout=10) as s:
            try:
                s.sendmail("sender@example.org", ["fax@example.com"], b"Subject: lost\r\n\r\nbody\r\n")
                raise AssertionError("the message was acknowledged without a file")
            except smtplib.SMTPDataError as e:
                assert e.smtp_code == 451, e
                assert e.smtp_error == b"Requested action aborted: local error in processing", e
            # The session waits for the next MAIL.
            assert s.mail("sender@example.org")[0] == 250
        assert os.listdir(g.data) == ["IN"], os.listdir(g.data)
    finally:
        g.cleanup()


def test_stop_with_a_client_connected(program):
    g = Gateway(program, domain=DOMAIN).start_console()
    try:
        c = Script(g.port)
        c.expect(b"220 " + DOMAIN.encode() + b" Service Ready\r\n")
        c.command(b"HELO a\r\n", b"250 " + DOMAIN.encode() + b" a\r\n")
        code = g.stop()
        err = g.proc.stderr.read().decode(errors="replace")
        assert code == 1, "exit status %r; stderr: %s" % (code, err)
        assert c.sock.recv(100) == b"", "the connection was not closed"
        c.close()
    finally:
        g.cleanup()


def test_queue_file_held_by_another_process(program):
    """A queue file that another process holds with flock (as the fax server
    does while writing it) is passed over. The file manager's side runs in the
    unit test program, which the gateway's own tests build beside it."""
    build = os.environ.get("QLSMTP_BUILD_DIR") or os.path.dirname(os.path.dirname(os.path.abspath(program)))
    tests = os.path.join(build, "tests", "smtp_out_tests")
    assert os.path.exists(tests), "unit test program not built: " + tests
    d = tempfile.mkdtemp(prefix="qlsmtp-peer-")
    holder = None
    try:
        data = os.path.join(d, "data") + "/"
        os.makedirs(data + "IN")
        os.makedirs(data + "OUT")
        for name in ("a.tmp", "b.tmp", "c.tmp"):
            with open(data + "IN/" + name, "w") as f:
                f.write("TO: fax@example.com\r\n")
        holder = subprocess.Popen(
            [sys.executable, "-c",
             "import fcntl,sys,time\n"
             "f=open(sys.argv[1])\n"
             "fcntl.flock(f, fcntl.LOCK_EX)\n"
             "print('held', flush=True)\n"
             "time.sleep(120)\n", data + "IN/b.tmp"], stdout=subprocess.PIPE)
        assert holder.stdout.readline().strip() == b"held"
        env = dict(os.environ, QLSMTP_PEER_DATA=data, QLSMTP_PEER_HELD="b.tmp",
                   QLSMTP_REGISTRY=os.path.join(d, "registry.reg"))
        p = subprocess.run([tests, "--gtest_filter=CFileManPeer.*"], env=env, capture_output=True, timeout=120)
        out = p.stdout.decode(errors="replace")
        assert p.returncode == 0, out
        assert "[  PASSED  ] 1 test" in out and "SKIPPED" not in out, out
        assert "a.tmp" in out and "c.tmp" in out, out
    finally:
        if holder:
            holder.kill()
            holder.wait()
        shutil.rmtree(d, ignore_errors=True)


def test_accept_survives_running_out_of_descriptors(program):
    """An accept that fails for want of file descriptors is tried again; it
    does not end accepting for good."""
    g = Gateway(program, domain=DOMAIN).start_console()
    clients = []
    try:
        pid = g.proc.pid
        soft, hard = resource.prlimit(pid, resource.RLIMIT_NOFILE)
        in_use = len(os.listdir("/proc/%d/fd" % pid))
        # Room for two connections only.
        resource.prlimit(pid, resource.RLIMIT_NOFILE, (in_use + 2, hard))
        greeting = b"220 " + DOMAIN.encode() + b" Service Ready\r\n"
        for _ in range(4):
            clients.append(socket.create_connection(("127.0.0.1", g.port), timeout=10))
        for c in clients[:2]:
            assert c.recv(100) == greeting
        time.sleep(0.5)  # accepts now fail with "too many open files"
        resource.prlimit(pid, resource.RLIMIT_NOFILE, (soft, hard))
        for c in clients[2:]:
            got = c.recv(100)
            assert got == greeting, "a waiting client was not served after the shortage: %r" % got
        with socket.create_connection(("127.0.0.1", g.port), timeout=10) as c:
            assert c.recv(100) == greeting
    finally:
        for c in clients:
            c.close()
        g.cleanup()


if __name__ == "__main__":
    run([test_smtplib_delivery, test_swaks_delivery, test_twenty_parallel_clients, test_raw_file_cannot_be_created,
         test_stop_with_a_client_connected, test_queue_file_held_by_another_process,
         test_accept_survives_running_out_of_descriptors])
