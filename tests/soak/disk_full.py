#!/usr/bin/env python3
"""The receiving side on a full file system: OUT is a small tmpfs (or, where
mounting a tmpfs is refused, a loop-mounted ext4 image). Messages are sent
until it is full and beyond. No message gets "250" unless it reaches OUT
whole; while full, a message that cannot be stored is refused with "451";
once the fax server has collected the envelopes, the gateway hands off the
messages whose hand-off failed, and accepts new ones, without a restart.

Needs root for the mount; exits 77 (skipped) with a message otherwise.
The gateway retries failed hand-offs every QLSMTP_RETRY_SECONDS (2 here)."""
import base64
import os
import re
import shutil
import smtplib
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "integration"))
from gateway_env import Gateway, wait_for  # noqa: E402

SKIP = 77
SIZE = 2 * 1024 * 1024
ATTACHMENT = 600 * 1024
LOCAL_ERROR = b"Requested action aborted: local error in processing"


def mount_small(folder, scratch):
    """Mounts a SIZE file system on folder; the unmount command, or None."""
    r = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%d" % SIZE, "tmpfs", folder], capture_output=True)
    if r.returncode == 0:
        return ["umount", folder]
    image = os.path.join(scratch, "out.img")
    with open(image, "wb") as f:
        f.truncate(4 * 1024 * 1024)
    if subprocess.run(["mkfs.ext4", "-q", "-F", "-m", "0", image], capture_output=True).returncode == 0 and \
            subprocess.run(["mount", "-o", "loop", image, folder], capture_output=True).returncode == 0:
        return ["umount", folder]
    print("SKIP: neither a tmpfs nor a loop-mounted image could be mounted: %s" % r.stderr.decode().strip())
    return None


def message(token, size):
    data = token.encode() * (size // len(token) + 1)
    data = data[:size]
    b64 = base64.encodebytes(data).replace(b"\n", b"\r\n")
    msg = (b"From: full@example.org\r\nTo: fax@example.com\r\nSubject: full " + token.encode() +
           b"\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n"
           b"--b\r\nContent-Type: text/plain\r\n\r\ntext of " + token.encode() + b"\r\n"
           b"--b\r\nContent-Type: application/octet-stream; name=\"" + token.encode() + b".bin\"\r\n"
           b"Content-Transfer-Encoding: base64\r\n\r\n" + b64 + b"--b--\r\n")
    return msg, data


def send(port, msg):
    """The reply to the end of the data: (code, text)."""
    with smtplib.SMTP("127.0.0.1", port, timeout=30) as s:
        try:
            s.sendmail("full@example.org", ["fax@example.com"], msg)
            return 250, b""
        except smtplib.SMTPDataError as e:
            return e.smtp_code, e.smtp_error


def collect(out, into, sent):
    """Takes every envelope with its files out of OUT, as the fax server
    does, and checks that each is whole. Returns the tokens found."""
    found = []
    for env in sorted(n for n in os.listdir(out) if re.match(r"^ENV\d+\.tmp$", n)):
        with open(os.path.join(out, env), "rb") as f:
            text = f.read().decode("latin-1")
        token = re.search(r"(?m)^SUBJECT:full (\S+)\r$", text).group(1)
        body = re.search(r"<<(ENV\d+\.bdy)>>", text).group(1)
        listed = re.findall(r"(?m)^<<(.*):(ATT\d+\.\w*)>>\r$", text)
        assert text.endswith("END ATTACH\r\n"), "envelope %s not complete: %r" % (env, text)
        assert [n for n, _ in listed] == [token + ".bin"], (env, listed)
        with open(os.path.join(out, listed[0][1]), "rb") as f:
            assert f.read() == sent[token], "attachment of %s not whole" % token
        with open(os.path.join(out, body), "rb") as f:
            assert f.read().rstrip(b"\r\n") == b"text of " + token.encode(), body
        for name in (env, body, listed[0][1]):
            shutil.move(os.path.join(out, name), os.path.join(into, name))
        found.append(token)
    return found


def main():
    program = sys.argv[1]
    if os.geteuid() != 0:
        print("SKIP: mounting a small file system needs root")
        sys.exit(SKIP)
    os.environ["QLSMTP_RETRY_SECONDS"] = "2"
    g = Gateway(program, domain="full.example.com")
    out = g.data + "OUT"
    collected = tempfile.mkdtemp(prefix="qlsmtp-collected-")
    umount = mount_small(out, g.dir)
    if umount is None:
        g.cleanup()
        sys.exit(SKIP)
    try:
        g.start_console()
        sent, acknowledged, refused = {}, [], []
        for i in range(8):
            token = "m%d" % i
            msg, data = message(token, ATTACHMENT)
            sent[token] = data
            code, text = send(g.port, msg)
            if code == 250:
                acknowledged.append(token)
            else:
                assert code == 451 and text == LOCAL_ERROR, (code, text)
                refused.append(token)
        print("acknowledged %r, refused %r" % (acknowledged, refused))
        assert refused, "the file system never filled"
        assert len(acknowledged) >= 2, acknowledged
        # Whatever is in OUT as an envelope is whole; the acknowledged rest
        # waits as raw message files.
        wait_for(lambda: not any(n.endswith((".part", ".qmx.out")) for n in os.listdir(out)), timeout=10)
        raw = [n for n in os.listdir(out) if n.endswith(".qmx")]
        delivered = collect(out, collected, sent)
        assert len(delivered) + len(raw) == len(acknowledged), (delivered, raw, acknowledged)
        assert raw, "no hand-off failed for want of space: %r" % os.listdir(out)
        events = open(g.events).read() if os.path.exists(g.events) else ""
        assert re.search(r"(?m)^440 error ", events), events
        # Space is free again: the kept messages are handed off without a
        # restart, the failure reported once each, and new mail is taken.
        for _ in range(20):
            if not wait_for(lambda: not any(n.endswith(".qmx") for n in os.listdir(out)), timeout=15):
                break
            delivered += collect(out, collected, sent)
            if sorted(delivered) == sorted(acknowledged):
                break
        delivered += collect(out, collected, sent)
        assert sorted(delivered) == sorted(acknowledged), (delivered, acknowledged, os.listdir(out))
        msg, data = message("after", 1000)
        sent["after"] = data
        assert send(g.port, msg)[0] == 250
        assert wait_for(lambda: any(n.startswith("ENV") for n in os.listdir(out)), timeout=15)
        wait_for(lambda: not any(n.endswith((".qmx", ".qmx.out")) for n in os.listdir(out)), timeout=15)
        assert collect(out, collected, sent) == ["after"]
        assert os.listdir(out) == [] or os.listdir(out) == ["lost+found"], os.listdir(out)
        events = open(g.events).read()
        failed = re.findall(r"(?m)^440 error .*", events)
        assert len(failed) == len(set(failed)) >= len(raw), "one event per failed message: %r" % failed
        assert len(re.findall(r"(?m)^441 ", events)) == len(failed), events
        g.stop()
        print("PASS disk_full: %d acknowledged, %d refused while full, %d handed off after space was freed"
              % (len(acknowledged), len(refused), len(raw)))
    finally:
        g.kill()
        subprocess.run(umount, capture_output=True)
        shutil.rmtree(collected, ignore_errors=True)
        g.cleanup()


if __name__ == "__main__":
    main()
