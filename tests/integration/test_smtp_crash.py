#!/usr/bin/env python3
"""The gateway killed (SIGKILL) in the middle of a reception and restarted:
an acknowledged message is kept and handed off once, the data of an
unacknowledged one are gone.

Each scenario is one function. An acknowledged message must end as exactly
one envelope with its body and attachment files, and no raw message file."""
import base64
import os
import re
import socket
import time

from gateway_env import Gateway, run
from smtp_rx import (Script, envelopes, get_reg_dword, hold_handoff, out_path, part_files, raw_files, read, records,
                     set_reg_dword, wait_for)

DOMAIN = "fax.example.com"


def start(g):
    g.start_console()
    return g


def kill_and_restart(g):
    g.kill()
    return start(g)


def check_nothing_kept(g):
    """No trace of an unacknowledged message: no data, no raw message file,
    no envelope. The data file goes once the hand-off worker has run after
    the restart."""
    assert wait_for(lambda: not part_files(g)), "data of an unacknowledged message left: %r" % part_files(g)
    assert not raw_files(g), "an unacknowledged message was kept: %r" % raw_files(g)
    assert not envelopes(g), "an unacknowledged message was handed off: %r" % envelopes(g)


def check_handed_off_once(g, subject, body, attachments=()):
    """The acknowledged message survived: exactly one envelope naming its
    body file and its attachments (given name, content), and nothing else
    of the reception left in OUT."""
    assert wait_for(lambda: envelopes(g) and not raw_files(g) and not records(g)), \
        "not handed off: %r" % os.listdir(g.data + "OUT")
    env = envelopes(g)
    assert len(env) == 1, "handed off more than once: %r" % env
    bdy = env[0][:-4] + ".bdy"
    listed = [(name, att) for name, att in re.findall(r"(?m)^<<(.*):(ATT\d+\.\w*)>>\r$", read(out_path(g, env[0])).decode())]
    assert sorted(g.out_files()) == sorted([env[0], bdy] + [a for _, a in listed]), g.out_files()
    text = read(out_path(g, env[0])).decode("latin-1")
    assert re.search(r"(?m)^SUBJECT:" + re.escape(subject) + "\r$", text), text
    assert "\r\nBEGIN BODY\r\n<<%s>>\r\nEND BODY\r\n" % bdy in text, text
    assert read(out_path(g, bdy)) == body, "body file %r, expected %r" % (read(out_path(g, bdy)), body)
    assert [n for n, _ in listed] == [n for n, _ in attachments], (listed, attachments)
    for (_, att), (_, content) in zip(listed, attachments):
        assert read(out_path(g, att)) == content, att


def scenario_killed_during_data(program):
    """Killed while the client is still sending the data (not acknowledged)."""
    g = start(Gateway(program, domain=DOMAIN))
    try:
        c = Script(g.port)
        c.up_to_data(DOMAIN)
        c.send(b"Subject: never acknowledged\r\n\r\n" + b"part of the body\r\n" * 5000)
        assert wait_for(lambda: part_files(g)), "no data file while receiving: %r" % os.listdir(g.data + "OUT")
        assert not raw_files(g), "unacknowledged data under the raw message file name: %r" % raw_files(g)
        kill_and_restart(g)
        c.close()
        check_nothing_kept(g)
        # The restarted gateway serves as usual.
        c = Script(g.port)
        c.up_to_data(DOMAIN)
        c.command(b"after restart\r\n.\r\n", b"250 Mail Received OK\r\n")
        c.close()
    finally:
        g.cleanup()


def scenario_killed_after_acknowledgement(program):
    """Killed after "250 Mail Received OK" and before the hand-off has
    completed (the hand-off is held back by the fax server's in-use flag)."""
    g = start(Gateway(program, domain=DOMAIN))
    try:
        hold_handoff(g)
        subject = "acknowledged before the crash"
        body = b"Subject: " + subject.encode() + b"\r\n\r\n..dot\r\nbody\r\n"
        c = Script(g.port)
        c.up_to_data(DOMAIN)
        c.command(body + b".\r\n", b"250 Mail Received OK\r\n")
        # The acknowledged message is on disk under its final name at once.
        assert raw_files(g), "acknowledged but no raw message file: %r" % os.listdir(g.data + "OUT")
        kill_and_restart(g)
        c.close()
        check_handed_off_once(g, subject, b".dot\r\nbody\r\n")
        # A second restart hands nothing off again.
        g.stop()
        start(g)
        check_handed_off_once(g, subject, b".dot\r\nbody\r\n")
    finally:
        g.cleanup()


def scenario_partial_and_acknowledged_together(program):
    """One acknowledged message and one in the middle of its data when the
    gateway dies: only the acknowledged one is kept."""
    g = start(Gateway(program, domain=DOMAIN))
    try:
        hold_handoff(g)
        done = Script(g.port)
        done.up_to_data(DOMAIN, b"done.example")
        done.command(b"Subject: complete\r\n\r\nok\r\n.\r\n", b"250 Mail Received OK\r\n")
        partial = Script(g.port)
        partial.up_to_data(DOMAIN, b"partial.example")
        partial.send(b"Subject: partial\r\n\r\n" + b"x" * 70000 + b"\r\n")
        assert wait_for(lambda: part_files(g)), os.listdir(g.data + "OUT")
        kill_and_restart(g)
        done.close()
        partial.close()
        check_handed_off_once(g, "complete", b"ok\r\n")
    finally:
        g.cleanup()


def scenario_killed_while_handoff_waits(program):
    """The fax server holds FileNameUse: the hand-off waits after the 250
    reply. Killed there, the flag cleared and the gateway restarted, the
    message is handed off once, attachment included."""
    g = start(Gateway(program, domain=DOMAIN))
    try:
        set_reg_dword(g, "FileNameUse", 1)
        payload = bytes(range(256)) * 40
        b64 = base64.encodebytes(payload).replace(b"\n", b"\r\n")
        msg = (b"From: crash@example.org\r\nSubject: held by the flag\r\nTo: fax@example.com\r\nMIME-Version: 1.0\r\n"
               b"Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nContent-Type: text/plain\r\n\r\n"
               b"the fax text\r\n--b\r\nContent-Type: application/pdf; name=fax.pdf\r\n"
               b"Content-Transfer-Encoding: base64\r\n\r\n" + b64 + b"--b--\r\n")
        c = Script(g.port)
        c.up_to_data(DOMAIN)
        c.command(msg + b".\r\n", b"250 Mail Received OK\r\n")
        # The session waits on the flag: it neither hands off nor answers.
        c.send(b"NOOP\r\n")
        assert not wait_for(lambda: envelopes(g), timeout=1.5), envelopes(g)
        assert raw_files(g), os.listdir(g.data + "OUT")
        c.sock.settimeout(0.2)
        try:
            reply = c.sock.recv(100)
        except socket.timeout:
            reply = None
        assert reply is None, "the session answered while its hand-off waits: %r" % reply
        g.kill()
        c.close()
        set_reg_dword(g, "FileNameUse", 0)
        start(g)
        check_handed_off_once(g, "held by the flag", b"the fax text", [("fax.pdf", payload)])
        assert get_reg_dword(g, "FileNameUse") == 0
    finally:
        g.cleanup()


def scenario_killed_while_attachment_written(program):
    """Killed while the hand-off writes a large attachment, FileNameUseAtt
    set by the gateway itself: the restarted gateway greets at once, clears
    the flag it left, undoes the partial hand-off and hands the message off
    once."""
    g = start(Gateway(program, domain=DOMAIN))
    try:
        payload = os.urandom(24 * 1024 * 1024)
        b64 = base64.encodebytes(payload).replace(b"\n", b"\r\n")
        msg = (b"Subject: big attachment\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n"
               b"--b\r\nContent-Type: text/plain\r\n\r\nsee attached\r\n--b\r\n"
               b"Content-Type: application/octet-stream; name=big.bin\r\nContent-Transfer-Encoding: base64\r\n\r\n"
               + b64 + b"--b--\r\n")
        c = Script(g.port)
        c.up_to_data(DOMAIN)
        c.command(msg + b".\r\n", b"250 Mail Received OK\r\n")
        assert wait_for(lambda: get_reg_dword(g, "FileNameUseAtt") == 1, timeout=20, step=0.001), "never writing"
        g.kill()
        c.close()
        assert get_reg_dword(g, "FileNameUseAtt") == 1
        started = time.time()
        start(g)
        greeted = Script(g.port)
        greeted.sock.settimeout(max(0.1, 2 - (time.time() - started)))
        greeted.expect(b"220 " + DOMAIN.encode() + b" Service Ready\r\n")
        greeted.close()
        check_handed_off_once(g, "big attachment", b"see attached", [("big.bin", payload)])
        assert get_reg_dword(g, "FileNameUseAtt") == 0
    finally:
        g.cleanup()


if __name__ == "__main__":
    run([scenario_killed_during_data, scenario_killed_after_acknowledgement,
         scenario_partial_and_acknowledged_together, scenario_killed_while_handoff_waits,
         scenario_killed_while_attachment_written])
