#!/usr/bin/env python3
"""The gateway killed (SIGKILL) in the middle of a reception and restarted:
an acknowledged message is kept and handed off once, the data of an
unacknowledged one are gone.

Each scenario is one function. While the gateway has no hand-off the raw
message file stays in OUT; once it hands off, an acknowledged message must
appear as exactly one envelope instead. check_handed_off_once accepts
either, so the scenarios hold before and after the hand-off is wired in."""
import os
import re

from gateway_env import Gateway, run
from smtp_rx import Script, envelopes, hold_handoff, out_path, part_files, raw_files, read, trace, wait_for

DOMAIN = "fax.example.com"


def start(g):
    g.start_console()
    return g


def kill_and_restart(g):
    g.kill()
    return start(g)


def check_nothing_kept(g):
    """No trace of an unacknowledged message: no data, no raw message file,
    no envelope."""
    assert not part_files(g), "data of an unacknowledged message left: %r" % part_files(g)
    assert not raw_files(g), "an unacknowledged message was kept: %r" % raw_files(g)
    assert not envelopes(g), "an unacknowledged message was handed off: %r" % envelopes(g)


def check_handed_off_once(g, raw_contents, subject):
    """The acknowledged message survived the restart: either still as its raw
    message file (no hand-off in this build), or handed off exactly once."""
    assert wait_for(lambda: raw_files(g) or envelopes(g)), "the message is lost: %r" % os.listdir(g.data + "OUT")
    assert not part_files(g), part_files(g)
    env = envelopes(g)
    if env:
        assert len(env) == 1, "handed off more than once: %r" % env
        assert not raw_files(g), "raw message file left after the hand-off: %r" % raw_files(g)
        text = read(out_path(g, env[0])).decode("latin-1")
        assert re.search(r"(?im)^SUBJECT:.*" + re.escape(subject), text), text
    else:
        raw = raw_files(g)
        assert len(raw) == 1, raw
        stored = read(out_path(g, raw[0]))
        assert stored == raw_contents, "stored %r\nexpected %r" % (stored, raw_contents)


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
        expected = trace("script.example", DOMAIN) + b"Subject: " + subject.encode() + b"\r\n\r\n.dot\r\nbody\r\n"
        check_handed_off_once(g, expected, subject)
        # A second restart hands nothing off again.
        g.stop()
        start(g)
        check_handed_off_once(g, expected, subject)
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
        check_handed_off_once(g, trace("done.example", DOMAIN) + b"Subject: complete\r\n\r\nok\r\n", "complete")
    finally:
        g.cleanup()


if __name__ == "__main__":
    run([scenario_killed_during_data, scenario_killed_after_acknowledgement,
         scenario_partial_and_acknowledged_together])
