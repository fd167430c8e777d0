#!/usr/bin/env python3
"""The receiving side on a full file system: OUT is a small tmpfs (or a
loop-mounted ext4 image). Messages are sent until it is full and beyond: no
"250" unless the message reaches OUT whole, "451" for one that cannot be
stored; a raw message file whose hand-off failed is kept, and once the fax
server has collected the envelopes it is handed off (retried every 2 s
here) and new mail taken, without a restart. Needs root (else exit 77)."""
import base64
import os
import re
import shutil
import smtplib
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "integration"))
from gateway_env import ENVELOPE, Gateway, read, wait_for  # noqa: E402

def mount_small(folder, image):
    """Mounts a small file system on folder; False when none can be."""
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%d" % (2 << 20), "tmpfs", folder]).returncode == 0:
        return True
    open(image, "wb").truncate(4 << 20)
    return subprocess.run(["mkfs.ext4", "-q", "-F", "-m", "0", image]).returncode == 0 and \
        subprocess.run(["mount", "-o", "loop", image, folder]).returncode == 0

def send(g, token, size):
    """Sends a message with a text and an attachment of size bytes: the
    reply to its data (code, text) and the attachment."""
    data = (token.encode() * size)[:size]
    msg = (b"Subject: full %s\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n"
           b"Content-Type: text/plain\r\n\r\ntext of %s\r\n--b\r\nContent-Type: application/octet-stream; "
           b"name=\"%s.bin\"\r\nContent-Transfer-Encoding: base64\r\n\r\n%s--b--\r\n"
           % (token.encode(), token.encode(), token.encode(), base64.encodebytes(data).replace(b"\n", b"\r\n")))
    with smtplib.SMTP("127.0.0.1", g.port, timeout=30) as s:
        try:
            s.sendmail("full@example.org", ["fax@example.com"], msg)
            return (250, b""), data
        except smtplib.SMTPDataError as e:
            return (e.smtp_code, e.smtp_error), data

def collect(g, into, sent):
    """Takes every envelope with its files out of OUT, as the fax server
    does, checking that each is whole. Returns the tokens found."""
    found = []
    for env in g.files(ENVELOPE):
        text = read(g.out + env, True)
        token = re.search(r"(?m)^SUBJECT:full (\S+)\r$", text).group(1)
        body = re.search(r"<<(ENV\d+\.bdy)>>", text).group(1)
        listed = re.findall(r"(?m)^<<(.*):(ATT\d+\.\w*)>>\r$", text)
        assert text.endswith("END ATTACH\r\n") and [n for n, _ in listed] == [token + ".bin"], (env, text)
        assert read(g.out + listed[0][1]) == sent[token], "attachment of %s not whole" % token
        assert read(g.out + body).rstrip(b"\r\n") == b"text of " + token.encode(), body
        for name in (env, body, listed[0][1]):
            shutil.move(g.out + name, into)
        found.append(token)
    return found

def main():
    g = Gateway(sys.argv[1])
    os.mkdir(g.dir + "/collected")
    if os.geteuid() != 0 or not mount_small(g.out, g.dir + "/out.img"):
        g.cleanup()
        print("SKIP: no small file system could be mounted (needs root)")
        sys.exit(77)
    try:
        g.start(QLSMTP_RETRY_SECONDS="2")
        sent, acknowledged, refused = {}, [], []
        for token in ("m%d" % i for i in range(8)):
            reply, sent[token] = send(g, token, 600 * 1024)
            (acknowledged if reply[0] == 250 else refused).append(token)
            assert reply in ((250, b""), (451, b"Requested action aborted: local error in processing")), reply
        print("acknowledged %r, refused %r" % (acknowledged, refused))
        assert refused and len(acknowledged) >= 2, "the file system never filled"
        # The acknowledged messages not handed off wait as raw message files.
        wait_for(lambda: not g.files(r"\.(part|qmx\.out)$"))
        raw = g.files(r"\.qmx$")
        delivered = collect(g, g.dir + "/collected", sent)
        assert raw and len(delivered) + len(raw) == len(acknowledged), (delivered, raw, acknowledged)
        assert re.search(r"(?m)^440 error ", read(g.events, True)), read(g.events, True)
        # Space is free again: the kept messages go without a restart.
        for _ in range(20):
            if sorted(delivered) == sorted(acknowledged) or not wait_for(lambda: not g.files(r"\.qmx$"), 15):
                break
            delivered += collect(g, g.dir + "/collected", sent)
        delivered += collect(g, g.dir + "/collected", sent)
        assert sorted(delivered) == sorted(acknowledged), (delivered, acknowledged, g.files())
        reply, sent["after"] = send(g, "after", 1000)
        assert reply[0] == 250 and wait_for(lambda: g.files(ENVELOPE) and not g.files(r"\.qmx"), 15)
        assert collect(g, g.dir + "/collected", sent) == ["after"] and g.files("^(?!lost\\+found$)") == []
        failed = re.findall(r"(?m)^440 error .*", read(g.events, True))
        assert len(failed) == len(set(failed)) >= len(raw), "one event per failed message: %r" % failed
        assert len(re.findall(r"(?m)^441 ", read(g.events, True))) == len(failed)
        assert g.stop() == 1
        print("PASS disk_full: %d acknowledged, %d refused while full, %d handed off after space was freed"
              % (len(acknowledged), len(refused), len(raw)))
    finally:
        g.kill()
        subprocess.run(["umount", g.out], capture_output=True)
        g.cleanup()

if __name__ == "__main__":
    main()
