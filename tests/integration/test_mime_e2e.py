#!/usr/bin/env python3
"""End to end: varied MIME messages are sent with smtplib through the running
gateway, and the files it hands off in OUT are compared with an independent
decoding of the same message by Python's email package.

For every mail: the envelope's FROM:/SUBJECT:/TO: lines, its body block and
its attachment block; the body file holds the text parts without a file
name; each attachment equals its payload byte for byte (base64 parts of a
non-text type, saved in binary mode) or after CR LF normalisation (saved in
text mode, where every line end must be CR LF). Nothing else is left in OUT.
Prints one PASS/FAIL line per message and a closing count."""
import base64
import email
import email.charset
import email.encoders
import email.policy
import hashlib
import os
import random
import re
import smtplib
import sys
import threading
import traceback
from email.mime.application import MIMEApplication
from email.mime.base import MIMEBase
from email.mime.image import MIMEImage
from email.mime.message import MIMEMessage
from email.mime.multipart import MIMEMultipart
from email.mime.text import MIMEText

from gateway_env import Gateway, wait_for

DOMAIN = "fax.example.com"
HELO = "e2e.example"
CRLF = email.policy.compat32.clone(linesep="\r\n")
RNG = random.Random(20240611)

QP_UTF8 = email.charset.Charset("utf-8")
QP_UTF8.body_encoding = email.charset.QP


def blob(n):
    return bytes(RNG.getrandbits(8) for _ in range(n))


def prose(lines, width=60):
    words = ["fax", "Zürich", "page", "=equals", "tab\tstop", "résumé", "line", "dot.", "--dash", "ok"]
    return "\n".join(" ".join(RNG.choice(words) for _ in range(width // 6)) for _ in range(lines)) + "\n"


def heads(m, frm="Alice Sender <alice@example.org>", to="fax@fax.example.com", subject=None, **more):
    """Sets the usual headers in this order, with an X-Case field last so
    that the recipient fields are never the last of the block."""
    m["From"] = frm
    m["To"] = to
    m["Subject"] = subject or "case %s" % more.get("case", "")
    for k, v in more.items():
        if k != "case":
            m[k.replace("_", "-")] = v
    m["X-Case"] = more.get("case", "x")
    return m


def as_bytes(m):
    return m.as_bytes(policy=CRLF)


def attachment(maintype, subtype, data, name=None, md5=None, encode="base64", disposition=True):
    if maintype == "text":
        part = MIMEText(data, subtype, QP_UTF8 if encode == "qp" else "utf-8")
    else:
        part = MIMEBase(maintype, subtype)
        part.set_payload(data)
        if encode == "base64":
            email.encoders.encode_base64(part)
        else:
            part["Content-Transfer-Encoding"] = encode
    if name is not None and disposition:
        part.add_header("Content-Disposition", "attachment", filename=name)
    elif name is not None:
        part.set_param("name", name)
    if md5 is not None:
        part["Content-MD5"] = md5
    return part


def md5_of(data):
    return base64.b64encode(hashlib.md5(data).digest()).decode()


# ------------------------------------------------------------------ messages

def msg_plain_7bit():
    # To before Subject; lines that need dot transparency.
    m = MIMEText("Dear fax,\n.\n..two dots\n.leading dot\nlast line\n", "plain", "us-ascii")
    return [as_bytes(heads(m, case="plain"))]


def msg_to_after_subject():
    m = MIMEText("The To header follows the Subject.\n")
    m["From"] = "Bob <bob@example.org>"
    m["Subject"] = "to after subject"
    m["To"] = "a@fax.example.com, b@fax.example.com"
    m["X-Case"] = "to-after-subject"
    return [as_bytes(m)]


def msg_cc_lines():
    m = MIMEText("Copies.\n")
    heads(m, to="one@fax.example.com,two@fax.example.com", case="cc")
    m["Cc"] = "three@fax.example.com, four@fax.example.com"
    m["X-Trailer"] = "cc is not last"
    raw = as_bytes(m)
    # A folded Cc: its line break must become a blank, never a line of its own.
    folded = raw.replace(b"Cc: three@fax.example.com, four", b"Cc: three@fax.example.com,\r\n\tfour")
    assert folded != raw
    return [folded]


def msg_to_is_last_header():
    m = MIMEText("To is the last field.\n")
    m["From"] = "carol@example.org"
    m["Subject"] = "to last"
    m["To"] = "x@fax.example.com, y@fax.example.com"
    return [as_bytes(m)]


def msg_qp_text():
    text = prose(30, 140) + "trailing blanks   \nx=y and 100% \u00fcber\n"
    m = MIMEText(text, "plain", QP_UTF8)
    return [as_bytes(heads(m, case="qp-text"))]


def msg_base64_text():
    m = MIMEText(prose(40), "plain", "utf-8")  # utf-8 bodies go out in base64
    assert m["Content-Transfer-Encoding"] == "base64"
    return [as_bytes(heads(m, case="base64-text"))]


def msg_latin1_8bit():
    m = MIMEText("", "plain", "iso-8859-1")
    del m["Content-Transfer-Encoding"]
    m["Content-Transfer-Encoding"] = "8bit"
    m.set_payload("Gr\xfc\xdfe aus K\xf6ln, \xe7a va?\n".encode("latin-1").decode("ascii", "surrogateescape"))
    return [as_bytes(heads(m, case="latin1-8bit"))]


def msg_html_only():
    m = MIMEText("<html><body><p>Only HTML, quoted-printable: \u00e9t\u00e9</p></body></html>\n", "html", QP_UTF8)
    return [as_bytes(heads(m, case="html"))]


def msg_alternative():
    m = MIMEMultipart("alternative")
    m.attach(MIMEText("plain version\n"))
    m.attach(MIMEText("<p>html version</p>\n", "html"))
    return [as_bytes(heads(m, case="alternative"))]


def msg_mixed_binary():
    m = MIMEMultipart()
    m.attach(MIMEText("See the attachments.\n"))
    m.attach(MIMEApplication(blob(50000), "pdf", Name="scan.pdf"))
    img = MIMEImage(blob(3000), "png")
    img.add_header("Content-Disposition", "attachment", filename="logo.png")
    m.attach(img)
    return [as_bytes(heads(m, case="mixed-binary"))]


def msg_nested_mixed():
    inner_alt = MIMEMultipart("alternative")
    inner_alt.attach(MIMEText("first text\n"))
    inner_alt.attach(MIMEText("<b>first html</b>\n", "html"))
    inner_mixed = MIMEMultipart("mixed")
    inner_mixed.attach(MIMEText("second text\n"))
    inner_mixed.attach(attachment("text", "plain", "notes with a name\n", "notes.txt"))
    inner_mixed.attach(attachment("application", "zip", blob(7000), "bundle.zip"))
    m = MIMEMultipart()
    m.attach(inner_alt)
    m.attach(inner_mixed)
    m.attach(attachment("image", "jpeg", blob(4000), "photo.jpeg"))
    m.attach(MIMEText("closing text\n"))
    return [as_bytes(heads(m, case="nested"))]


def msg_rfc822():
    inner = MIMEMultipart()
    inner["From"] = "Dave <dave@example.net>"
    inner["To"] = "inner@fax.example.com"
    inner["Subject"] = "forwarded"
    inner["Date"] = "Mon, 10 Jun 2024 10:00:00 +0000"
    inner.attach(MIMEText("inner text\n"))
    inner.attach(attachment("application", "octet-stream", blob(2048), "inner.bin"))
    m = MIMEMultipart()
    m.attach(MIMEText("A message is attached.\n"))
    m.attach(MIMEMessage(inner))
    return [as_bytes(heads(m, case="rfc822"))]


def msg_digest():
    # Entries without Content-Type are messages by default in a digest.
    b = "digest-boundary-42"
    entries = []
    for i in range(3):
        ct = "Content-Type: message/rfc822\r\n" if i == 1 else ""
        entries.append("--%s\r\n%s\r\nFrom: member%d@example.org\r\nTo: list@fax.example.com\r\nSubject: entry %d\r\n"
                       "X-Entry: %d\r\n\r\nEntry %d text.\r\nSecond line.\r\n" % (b, ct, i, i, i, i))
    raw = ("From: list@example.org\r\nTo: fax@fax.example.com\r\nSubject: digest\r\nMIME-Version: 1.0\r\n"
           "Content-Type: multipart/digest; boundary=\"%s\"\r\n\r\npreamble\r\n" % b
           + "".join(entries) + "--%s--\r\nepilogue\r\n" % b)
    return [raw.encode()]


def msg_md5_ok():
    data = blob(20000)
    text = "checked text\nsecond line\n"
    m = MIMEMultipart()
    m.attach(MIMEText("Digests attached.\n"))
    m.attach(attachment("application", "octet-stream", data, "data.bin", md5=md5_of(data)))
    # The digest of text is taken over its canonical form, CR LF line ends.
    m.attach(attachment("text", "plain", text, "check.txt", md5=md5_of(text.replace("\n", "\r\n").encode()),
                        encode="qp"))
    return [as_bytes(heads(m, case="md5-ok"))]


def msg_md5_bad():
    data = blob(5000)
    m = MIMEMultipart()
    m.attach(MIMEText("This digest does not match.\n"))
    m.attach(attachment("application", "octet-stream", data, "bad.bin", md5=md5_of(data + b"x")))
    return [as_bytes(heads(m, case="md5-bad"))]


ODD_NAMES = ["report.final.pdf", "README", "archive.tar.gz", "my file (1).doc", "x:..\\..\\secret.doc>>",
             ".profile", "semi;colon=.txt", 'say "hi".txt', "a<b>.c:d"]


def msg_odd_names():
    m = MIMEMultipart()
    m.attach(MIMEText("Odd names.\n"))
    for i, name in enumerate(ODD_NAMES):
        m.attach(attachment("application", "octet-stream", blob(100 + i), name))
    m.attach(attachment("image", "tiff", blob(300), "scan.TIFF", disposition=False))  # name= only
    m.attach(attachment("application", "octet-stream", blob(64)))  # no name at all
    return [as_bytes(heads(m, case="odd-names"))]


def msg_text_attachments():
    m = MIMEMultipart()
    m.attach(MIMEText("Text saved as files.\n"))
    csv = MIMEBase("text", "csv")
    csv.set_payload("a,b\r\n1,2\r\n3,4\r\n".encode())
    email.encoders.encode_base64(csv)
    csv.add_header("Content-Disposition", "attachment", filename="table.csv")
    m.attach(csv)
    m.attach(attachment("application", "x-sh", "#!/bin/sh\necho fax\n", "script.sh", encode="7bit"))
    m.attach(attachment("text", "plain", prose(5), "letter.txt", encode="qp"))
    return [as_bytes(heads(m, case="text-attachments"))]


def msg_no_text_no_attachment():
    raw = ("From: empty@example.org\r\nTo: fax@fax.example.com\r\nSubject: nothing inside\r\nMIME-Version: 1.0\r\n"
           "Content-Type: multipart/mixed; boundary=\"nothing\"\r\n\r\nonly a preamble\r\n--nothing--\r\n")
    return [raw.encode()]


def msg_large():
    m = MIMEMultipart()
    m.attach(MIMEText(prose(5000)))
    m.attach(attachment("application", "octet-stream", blob(2 * 1024 * 1024), "big.dat"))
    return [as_bytes(heads(m, case="large"))]


def msg_boundary_like_lines():
    # The first line is a delimiter (no preamble), the first part has no
    # headers, text lines look like delimiters, the last part ends without
    # a line end of its own.
    raw = ("From: e@example.org\r\nTo: fax@fax.example.com\r\nSubject: boundary-like lines\r\n"
           "Content-Type: multipart/mixed; boundary=outer\r\n\r\n"
           "--outer\r\n\r\n--not-a-delimiter\r\n-- \r\nsignature\r\n- -outer\r\n"
           "--outer\r\nContent-Type: text/plain\r\n\r\nsecond part without final line end"
           "\r\n--outer--\r\n")
    return [raw.encode()]


PARTIAL_ID = "e2e-partial-3of3@example.test"


def partial_mails():
    """One message split into three message/partial mails after RFC 2046,
    the total given on the last one only; sent in the order 3, 1, 2.
    Returns the mails in sending order and the message the gateway joins."""
    inner = MIMEMultipart()
    inner.attach(MIMEText(prose(60)))
    inner.attach(attachment("application", "octet-stream", blob(30000), "joined.bin"))
    inner["Message-ID"] = "<whole@example.test>"
    whole = as_bytes(inner)
    head, body = whole.split(b"\r\n\r\n", 1)
    # The first fragment carries the Content- fields and Message-ID of the
    # message; the rest of its headers come from the first enclosing mail.
    inner_head = b"".join(l + b"\r\n" for l in head.split(b"\r\n")
                          if re.match(rb"(?i)(content-|message-id:)", l))
    lines = body.split(b"\r\n")
    third = len(lines) // 3
    chunks = [b"\r\n".join(lines[:third]) + b"\r\n", b"\r\n".join(lines[third:2 * third]) + b"\r\n",
              b"\r\n".join(lines[2 * third:])]
    if not chunks[2].endswith(b"\r\n"):
        chunks[2] += b"\r\n"
    mails = {}
    for n in (1, 2, 3):
        total = "; total=3" if n == 3 else ""
        outer = ("From: Erin <erin@example.org>\r\nTo: fax@fax.example.com\r\nSubject: split in three\r\n"
                 "X-Fragment: %d\r\nMIME-Version: 1.0\r\nMessage-ID: <frag%d@example.test>\r\n"
                 "Content-Type: message/partial; id=\"%s\"; number=%d%s\r\n\r\n" % (n, n, PARTIAL_ID, n, total)).encode()
        mails[n] = outer + (inner_head + b"\r\n" if n == 1 else b"") + chunks[n - 1]
    outer1 = mails[1].split(b"\r\n\r\n", 1)[0]
    kept = b"".join(l + b"\r\n" for l in outer1.split(b"\r\n") if not re.match(rb"(?i)(content-|message-id:)", l))
    joined = kept + inner_head + b"\r\n" + body
    return [mails[3], mails[1], mails[2]], joined


# ------------------------------------------------------------------ expectation

class Expected:
    def __init__(self):
        self.lines = []        # envelope header lines
        self.body = b""        # text parts without a file name
        self.attachments = []  # (given name, payload, binary mode, md5 expected to fail)


def value_after_comments(v):
    v = v.lstrip(" \t")
    while v.startswith("("):
        depth, i = 0, 0
        while i < len(v):
            if v[i] == "\\":
                i += 1
            elif v[i] == "(":
                depth += 1
            elif v[i] == ")":
                depth -= 1
                if depth == 0:
                    break
            i += 1
        v = v[i + 1:].lstrip(" \t")
    return v


def envelope_lines(msg, exp):
    """Sender, subject and recipient lines of one header block."""
    items = msg.raw_items() if hasattr(msg, "raw_items") else msg.items()
    items = list(items)
    subject_seen = False
    for i, (name, value) in enumerate(items):
        value = value.replace("\r\n", "\n")
        first = value.split("\n")[0]
        n = name.lower()
        if n in ("from", "subject"):
            v = value_after_comments(first)
            if v:
                exp.lines.append("%s:%s" % (n.upper(), v))
            subject_seen = subject_seen or n == "subject"
        elif n in ("to", "cc"):
            if n == "to" and subject_seen:
                exp.lines.append("TO: " + first)
            # A recipient field is only written when another field follows.
            if i < len(items) - 1:
                for piece in (" " + value).split(","):
                    exp.lines.append("TO:" + piece.replace("\n", " "))


def expect(msg, exp):
    envelope_lines(msg, exp)
    ctype = msg.get_content_type()
    if ctype == "message/rfc822":
        expect(msg.get_payload(0), exp)
    elif ctype.startswith("message/"):
        return  # fragments are joined by the gateway; other kinds are skipped
    elif ctype.startswith("multipart/"):
        parts = msg.get_payload()
        for part in parts if isinstance(parts, list) else []:  # text only: no body part at all
            expect(part, exp)
    elif ctype.startswith("text/") and msg.get_filename() is None:
        exp.body += msg.get_payload(decode=True)
    else:
        binary = not ctype.startswith("text/") and msg.get("Content-Transfer-Encoding", "").strip().lower() == "base64"
        md5 = msg.get("Content-MD5")
        payload = msg.get_payload(decode=True)
        bad = md5 is not None and md5_of(payload if binary else payload.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")) != md5.strip()
        exp.attachments.append((msg.get_filename() or "", payload, binary, bad))


def expectation(raw):
    exp = Expected()
    expect(email.message_from_bytes(raw), exp)
    return exp


def listed_name(given):
    return re.sub(r"[\x00-\x1f\x7f:<>]", "_", given)


def extension(given):
    dot = given.find(".")
    return "" if dot < 0 else re.sub(r"[^A-Za-z0-9_-]", "", given[dot + 1:dot + 4])


def normalise(data):
    return data.replace(b"\r\n", b"\n")


# ------------------------------------------------------------------ checking

class Run:
    def __init__(self, program):
        self.g = Gateway(program, domain=DOMAIN)
        self.tmp = os.path.join(self.g.dir, "tmp")
        os.makedirs(self.tmp)
        os.environ["TMP"] = self.tmp  # message/partial fragments go under TMP/parts
        self.g.start_console()
        self.stderr = []
        self.readers = [threading.Thread(target=self.drain, args=(s, sink), daemon=True)
                        for s, sink in ((self.g.proc.stdout, []), (self.g.proc.stderr, self.stderr))]
        for r in self.readers:
            r.start()
        self.out = self.g.data + "OUT/"
        self.corrupted_expected = set()
        self.intact_expected = set()

    @staticmethod
    def drain(stream, sink):
        for line in stream:
            sink.append(line.decode("latin-1"))

    def send(self, raw):
        """Delivers one mail and returns the files it added to OUT."""
        before = set(os.listdir(self.out))
        s = smtplib.SMTP("127.0.0.1", self.g.port, local_hostname=HELO, timeout=60)
        try:
            refused = s.sendmail("sender@example.org", ["fax@" + DOMAIN], raw)
            assert refused == {}, refused
            s.quit()  # answered once the hand-off has finished
        finally:
            s.close()
        assert wait_for(lambda: not [n for n in os.listdir(self.out) if n.endswith((".qmx", ".part"))]), \
            "raw message file left: %r" % os.listdir(self.out)
        return sorted(set(os.listdir(self.out)) - before)

    def check(self, raw, exp):
        """Compares the files of one hand-off with the expectation."""
        added = self.send(raw)
        envs = [n for n in added if re.fullmatch(r"ENV\d+\.tmp", n)]
        assert len(envs) == 1, "envelopes added: %r" % added
        env = envs[0]
        body_name = env[:-4] + ".bdy"
        text = open(self.out + env, "rb").read().decode("latin-1")
        listed = re.findall(r"^<<(.*)>>\r$", text.split("BEGIN ATTACH\r\n", 1)[1], re.M) if "BEGIN ATTACH" in text else []
        att_files = [l.rsplit(":", 1)[1] for l in listed]
        expected_text = "".join(l + "\r\n" for l in exp.lines) + "\r\nBEGIN BODY\r\n<<%s>>\r\nEND BODY\r\n\r\n" % body_name
        if exp.attachments:
            expected_text += "BEGIN ATTACH\r\n" + "".join(
                "<<%s:%s>>\r\n" % (listed_name(a[0]), f) for a, f in zip(exp.attachments, att_files)) + "END ATTACH\r\n"
        assert text == expected_text, "envelope\n%s\nexpected\n%s" % (text, expected_text)
        assert len(att_files) == len(exp.attachments), (att_files, [a[0] for a in exp.attachments])
        assert sorted(added) == sorted([env, body_name] + att_files), "files added: %r" % added

        body = open(self.out + body_name, "rb").read()
        self.check_text_mode(body_name, body)
        assert normalise(body) == normalise(exp.body), "body %r\nexpected %r" % (body[:300], exp.body[:300])

        for (given, payload, binary, bad), name in zip(exp.attachments, att_files):
            assert re.fullmatch(r"ATT\d+\." + re.escape(extension(given)), name), (given, name)
            data = open(self.out + name, "rb").read()
            if binary:
                assert data == payload, "%s (%s) differs from its payload" % (name, given)
            else:
                self.check_text_mode(name, data)
                assert normalise(data) == normalise(payload), "%s (%s): %r\nexpected %r" % (name, given, data[:200],
                                                                                           payload[:200])
            (self.corrupted_expected if bad else self.intact_expected).add(name)
        return env

    @staticmethod
    def check_text_mode(name, data):
        assert b"\n" not in data.replace(b"\r\n", b""), "%s has line ends other than CR LF" % name

    def corrupted_warnings(self):
        return set(re.findall(r"warning: .*[/\\](ATT\d+\.\w*) was corrupted in transit", "".join(self.stderr)))

    def finish(self):
        self.g.stop()
        for r in self.readers:
            r.join(5)

    def cleanup(self):
        self.g.cleanup()


def only_headers(raw):
    """What a single fragment hands off: its mail's header lines, no body
    text, no attachment."""
    exp = Expected()
    envelope_lines(email.message_from_bytes(raw), exp)
    return exp


def case_partial(run):
    mails, joined = partial_mails()
    parts_dir = os.path.join(run.tmp, "parts")
    for i, raw in enumerate(mails[:2]):
        run.check(raw, only_headers(raw))
        # Fragments wait in one directory for the missing one.
        stored = os.listdir(parts_dir) if os.path.isdir(parts_dir) else []
        assert len(stored) == 1, "fragment directories after fragment %d: %r" % (i, stored)
    last = mails[2]
    exp = only_headers(last)
    whole = expectation(joined)
    exp.lines += whole.lines
    exp.body, exp.attachments = whole.body, whole.attachments
    assert whole.attachments and whole.body
    run.check(last, exp)
    assert os.listdir(parts_dir) == [], "fragments left after joining: %r" % os.listdir(parts_dir)


MESSAGES = [msg_plain_7bit, msg_to_after_subject, msg_cc_lines, msg_to_is_last_header, msg_qp_text,
            msg_base64_text, msg_latin1_8bit, msg_html_only, msg_alternative, msg_mixed_binary, msg_nested_mixed,
            msg_rfc822, msg_digest, msg_md5_ok, msg_md5_bad, msg_odd_names, msg_text_attachments,
            msg_no_text_no_attachment, msg_large, msg_boundary_like_lines]


def main():
    run = Run(sys.argv[1])
    results = []
    try:
        for build in MESSAGES:
            name = build.__name__[4:]
            try:
                for raw in build():
                    run.check(raw, expectation(raw))
                results.append([name, None])
            except Exception as e:  # noqa: BLE001 - every failure is reported the same way
                traceback.print_exc()
                results.append([name, repr(e)])
        try:
            case_partial(run)
            results.append(["partial_3_1_2", None])
        except Exception as e:  # noqa: BLE001
            traceback.print_exc()
            results.append(["partial_3_1_2", repr(e)])
        run.finish()
        # A digest mismatch only warns, naming the file it kept.
        warned = run.corrupted_warnings()

        if warned != run.corrupted_expected:
            for r in results:
                if r[0] in ("md5_ok", "md5_bad") and r[1] is None:
                    r[1] = "corrupted-in-transit warnings for %r, expected for %r" % (sorted(warned),
                                                                                    sorted(run.corrupted_expected))
    finally:
        run.cleanup()
    failed = 0
    for name, error in results:
        if error is None:
            print("PASS", name)
        else:
            failed += 1
            print("FAIL", name, ":", error)
    print("%d passed, %d failed" % (len(results) - failed, failed))
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
