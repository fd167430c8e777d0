#!/usr/bin/env python3
"""The gateway killed (SIGKILL) in the middle of receptions and hand-offs and
restarted: an acknowledged message is handed off exactly once, with its
body and attachment, and nothing is left of an unacknowledged one."""
import base64
import os
import re
import socket
import time

from gateway_env import ENVELOPE, Gateway, greeting, read, run, wait_for

OK = b"250 Mail Received OK\r\n"

def session(g, helo=b"script.example"):
    """A connection up to DATA (the replies are the unit tests' business); returns the socket."""
    c = socket.create_connection(("127.0.0.1", g.port), timeout=10)
    c.sendall(b"HELO %s\r\nMAIL FROM:<s@example.org>\r\nRCPT TO:<fax@example.com>\r\nDATA\r\n" % helo)
    f = c.makefile("rb")  # nothing follows the 354 until the data end, so it reads no further
    got = [f.readline() for _ in range(5)]
    assert got[0].startswith(b"220 ") and got[4].startswith(b"354 "), got
    return c

def mail(subject, text, name, payload):
    return (b"Subject: %s\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n"
            b"Content-Type: text/plain\r\n\r\n%s\r\n--b\r\nContent-Type: application/octet-stream; name=%s\r\n"
            b"Content-Transfer-Encoding: base64\r\n\r\n%s--b--\r\n.\r\n"
            % (subject, text, name, base64.encodebytes(payload).replace(b"\n", b"\r\n")))

def check_handed_off_once(g, subject, body, name, payload):
    """One envelope naming the body file and the attachment; nothing else of
    the reception left in OUT."""
    assert wait_for(lambda: g.files(ENVELOPE) and not g.files(r"\.(qmx|qmx\.out|part)$"), 30), g.files()
    env = g.files(ENVELOPE)
    assert len(env) == 1, "handed off more than once: %r" % env
    text, bdy = read(g.out + env[0], True), env[0][:-4] + ".bdy"
    listed = re.findall(r"(?m)^<<(.*):(ATT\d+\.\w*)>>\r$", text)
    assert g.files() == sorted([env[0], bdy] + [a for _, a in listed]), g.files()
    assert re.search(r"(?m)^SUBJECT:%s\r$" % subject, text) and "\r\nBEGIN BODY\r\n<<%s>>\r\n" % bdy in text, text
    assert read(g.out + bdy) == body and [n for n, _ in listed] == [name], (read(g.out + bdy), listed)
    assert read(g.out + listed[0][1]) == payload

def test_killed_while_receiving_and_while_the_hand_off_waits(program):
    """The fax server holds FileNameUse: the hand-off of an acknowledged
    message waits and its session answers nothing; a second message is in
    the middle of its data. Killed, the flag cleared, restarted twice: the
    first is handed off once, nothing is left of the second."""
    g = Gateway(program).start()
    try:
        g.set_value("FileNameUse", 1)
        payload = bytes(range(256)) * 40
        done = session(g)
        done.sendall(mail(b"acknowledged", b"..dot\r\nthe fax text", b"fax.pdf", payload))
        assert done.recv(100) == OK and g.files(r"\.qmx$"), g.files()  # flushed under its final name before 250
        done.sendall(b"NOOP\r\n")
        done.settimeout(1.5)
        try:
            reply = done.recv(100)
        except socket.timeout:
            reply = None
        assert reply is None and not g.files(ENVELOPE) and g.value("FileNameUse") == 1, (reply, g.files())
        partial = session(g, b"partial.example")
        partial.sendall(b"Subject: never acknowledged\r\n\r\n" + b"part of the body\r\n" * 5000)
        assert wait_for(lambda: g.files(r"\.part$")), g.files()
        g.kill()
        g.set_value("FileNameUse", 0)
        for _ in range(2):
            g.start()
            check_handed_off_once(g, "acknowledged", b".dot\r\nthe fax text", "fax.pdf", payload)
            assert wait_for(lambda: g.value("FileNameUse") == 0) and g.stop() == 1  # cleared after the files
    finally:
        g.cleanup()

def test_killed_while_an_attachment_is_written(program):
    """Killed while the hand-off writes a large attachment under the flag
    FileNameUseAtt it set itself: the restarted gateway greets at once,
    clears the flag, undoes the partial hand-off and hands off once."""
    g = Gateway(program).start()
    try:
        payload = os.urandom(24 * 1024 * 1024)
        c = session(g)
        c.sendall(mail(b"big", b"see attached", b"big.bin", payload))
        assert c.recv(100) == OK
        assert wait_for(lambda: g.value("FileNameUseAtt") == 1, timeout=20, step=0.001), "never writing"
        g.kill()
        assert g.value("FileNameUseAtt") == 1
        started = time.time()
        g.start()
        assert greeting(g.port, max(0.1, 2 - (time.time() - started))) == b"220 fax.test Service Ready\r\n"
        check_handed_off_once(g, "big", b"see attached", "big.bin", payload)
        assert wait_for(lambda: g.value("FileNameUseAtt") == 0)
    finally:
        g.cleanup()

if __name__ == "__main__":
    run([test_killed_while_receiving_and_while_the_hand_off_waits, test_killed_while_an_attachment_is_written])
