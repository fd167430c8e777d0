#!/usr/bin/env python3
"""MIME messages (mime/*.eml, sent in name order with smtplib) through the
running gateway: the files each hand-off adds to OUT are listed - the
envelope verbatim, every other file with its size and MD5, and the warnings
the gateway printed meanwhile - and compared with mime/*.out. The three
message/partial fragments are joined from the gateway's TMP folder.
QLSMTP_UPDATE=1 writes the listings instead."""
import glob
import hashlib
import os
import re
import smtplib
import sys

from gateway_env import ENVELOPE, Gateway, read, run, wait_for

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "mime")

def listing(g, added, warnings):
    envelope = [n for n in added if re.match(ENVELOPE, n)]
    text = "".join("== %s\n%s" % (n, read(g.out + n, True).replace("\r\n", "\n")) for n in envelope)
    return text + "".join("== %s %d %s\n" % (n, len(read(g.out + n)), hashlib.md5(read(g.out + n)).hexdigest())
                          for n in added if n not in envelope) + warnings

def test_messages(program):
    g = Gateway(program, domain="fax.example.com")
    os.makedirs(g.dir + "/tmp")
    g.start(TMP=g.dir + "/tmp")  # message/partial fragments wait under TMP/parts
    failed = []
    try:
        for eml in sorted(glob.glob(HERE + "/*.eml")):
            before, console = set(g.files()), len(read(g.console))
            with smtplib.SMTP("127.0.0.1", g.port, local_hostname="e2e.example", timeout=60) as s:
                assert s.sendmail("sender@example.org", ["fax@fax.example.com"], read(eml)) == {}
            # QUIT is answered once the hand-off has finished.
            assert wait_for(lambda: not g.files(r"\.(qmx|part)$")), g.files()
            warnings = "".join(re.findall(r"warning: .*\n", read(g.console, True)[console:])).replace(g.out, "OUT/")
            got = listing(g, sorted(set(g.files()) - before, key=lambda n: (not re.match(ENVELOPE, n), n)), warnings)
            if os.environ.get("QLSMTP_UPDATE"):
                with open(eml[:-4] + ".out", "w", encoding="latin-1") as f:
                    f.write(got)
            elif got != read(eml[:-4] + ".out", True):
                failed.append(os.path.basename(eml))
                print("%s: got\n%s" % (eml, got))
        assert not failed, failed
        assert os.listdir(g.dir + "/tmp/parts") == [], "fragments left after joining"
    finally:
        g.cleanup()

if __name__ == "__main__":
    run([test_messages])
