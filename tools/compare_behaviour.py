#!/usr/bin/env python3
"""Black-box record of what the gateway does with a set of inputs, to show
that two builds behave alike.

  generate N DIR               N varied MIME messages (seeded) as DIR/NNNNN.eml
  run BINARY MSGDIR OUTFILE    sends each message by SMTP, dumps replies, files and logs
  session BINARY CORPUS OUTFILE  sends each corpus file as a client's raw bytes
  diff A B                     prints the first differences; exit 1 when they differ

The dump holds, per input: the SMTP replies; every file the gateway wrote in
OUT (name, size, sha256; the envelope and body files in full); the console,
debug-log and event-log lines it wrote meanwhile, with source line numbers
and scratch paths taken out. Finally what is left in the fragment store."""
import base64
import difflib
import hashlib
import os
import quopri
import random
import re
import select
import shutil
import smtplib
import socket
import subprocess
import sys
import tempfile
import threading
import time


SEED = 20261207
SHARDS = 8
IDLE_POLL = "smtp_out.cpp - SMTP out --- No Messages to send\r\n"
WORDS = ["fax", "page", "Zürich", "=equals", "tab\tstop", "--dash", ".dot", "résumé", "x" * 90, "From", "ok"]


# ---------------------------------------------------------------- generate

def text(r, size):
    out, n = [], 0
    while n < size:
        line = " ".join(r.choice(WORDS) for _ in range(r.randint(0, 14)))
        if r.random() < 0.03:
            line = r.choice([".", "..", "--", "--b", "-- ", "=", "\x01\x1b", "a" * r.randint(900, 3000)]) + line
        out.append(line)
        n += len(line) + 2
    return ("\r\n".join(out) + "\r\n").encode("utf-8")


def blob(r, size):
    return r.randbytes(size) if r.random() < 0.6 else text(r, size)


def b64(r, data):
    s = base64.b64encode(data).decode()
    width = r.choice([76, 76, 64, 4, 1000])
    s = "\r\n".join(s[i:i + width] for i in range(0, len(s), width))
    flaw = r.randrange(12)
    if flaw == 0: s = s.rstrip("=")                       # padding missing
    elif flaw == 1: s += "=="                             # padding doubled
    elif flaw == 2: s = s[:-r.randint(1, 3)]              # cut inside the last quantum
    elif flaw == 3:                                       # stray characters
        i = r.randrange(len(s) + 1)
        s = s[:i] + r.choice(["*", " ", "!\r\n", "\t", "-", "é"]) + s[i:]
    elif flaw == 4: s += "\r\nAAAA after padding"
    return s.encode("utf-8") + b"\r\n"


def qp(r, data):
    s = quopri.encodestring(data.replace(b"\r\n", b"\n")).replace(b"\n", b"\r\n")
    flaw = r.randrange(10)
    if flaw == 0: s += b"=ZZ=0D=0a=4"                     # bad and odd escapes
    elif flaw == 1: s = s.rstrip(b"\r\n") + b"="          # "=" at the very end
    elif flaw == 2: s = s.replace(b"=\r\n", b"=  \r\n")   # blanks after "="
    elif flaw == 3: s = s.replace(b"=\r\n", b"")          # long lines
    return s if s.endswith(b"\n") else s + b"\r\n"


NAMES = ["report.pdf", "archive.tar.gz", "README", "report.final.pdf", "a b.txt", "../../etc/passwd",
         "c:\\win\\x.exe", "con", "na<m>e:.t*t", "x.\x01yz", "dup.txt", "dup.txt", ".hidden", "x." + "e" * 200,
         "=?utf-8?B?w6TDtsO8LnR4dA==?=", "=?iso-8859-1?Q?caf=E9.doc?=", "Grüße.doc"]


def name_params(r):
    """Content-Type and Content-Disposition parameter text naming the part."""
    n = r.choice(NAMES)
    style = r.randrange(7)
    if style == 0: return "", ""
    if style == 1: return '; name="%s"' % n, ""
    if style == 2: return "", '; filename="%s"' % n.replace('"', '\\"')
    if style == 3: return "", "; filename=%s (comment)" % n.replace(" ", "_")
    if style == 4: return "", "; filename*=utf-8''%s" % "".join("%%%02X" % b for b in n.encode())
    if style == 5: return "", '; filename*0="part"; filename*1="%s"' % n
    return '; name="%s"' % n, '; FileName = "%s"' % r.choice(NAMES)


def leaf(r, size):
    ctype = r.choice(["text/plain", "text/plain; charset=utf-8", "text/html", "application/octet-stream",
                      "image/png", "application/pdf", "TEXT/Plain", "text/x-odd (c)", "audio/basic", ""])
    data = text(r, size) if ctype.lower().startswith("text") else blob(r, size)
    enc = r.choice(["base64", "base64", "quoted-printable", "7bit", "8bit", "binary", "", "BASE64 (c)",
                    "x-uuencode", "Quoted-Printable"])
    body = b64(r, data) if enc.lower().startswith("base64") else qp(r, data) if enc.lower().startswith("quoted") else data
    tparam, dparam = name_params(r)
    h = []
    if ctype: h.append("Content-Type: " + ctype + tparam)
    if enc: h.append("Content-Transfer-Encoding: " + enc)
    if dparam or r.random() < 0.2: h.append("Content-Disposition: " + r.choice(["attachment", "inline"]) + dparam)
    if r.random() < 0.25:
        good = base64.b64encode(hashlib.md5(data).digest()).decode()
        h.append("Content-MD5: " + r.choice([good, good, good + " (c)", good[:-3] + "AA==", "bogus"]))
    return "\r\n".join(h).encode() + b"\r\n\r\n" + body


def headers(r, subject=None):
    h = []
    if r.random() < 0.9: h.append("From: %s" % r.choice(["Ann <ann@example.org>", "(c) bob@example.org", " ",
                                                          "carol@example.org (Carol)", "\x01ctl@example.org"]))
    to = r.choice(["fax@fax.test", " a@fax.test, b@fax.test", "x@fax.test,\r\n\ty@fax.test,z@fax.test",
                   "+1555\x07000@fax.test", ",,", "a@b:c@d"])
    subj = subject or r.choice(["hello", "=?utf-8?Q?Gr=C3=BC=C3=9Fe?=", "folded\r\n continued", "bell\x07 tab\t",
                                "", "x" * 300])
    parts = [("To: " + to) if r.random() < 0.85 else None, ("Subject: " + subj) if r.random() < 0.85 else None]
    if r.random() < 0.3: parts.reverse()
    h += [p for p in parts if p is not None]
    if r.random() < 0.2: h.append("Cc: c@fax.test, d@fax.test")
    if r.random() < 0.1: h.append(r.choice(["to: lower@fax.test", "TO : spaced@fax.test", "X-Long: " + "y" * 2000,
                                            "X-Folded: a\r\n\tb\r\n c", "Bad header line"]))
    h.append("X-Case: %d" % r.randrange(10 ** 6))
    return "\r\n".join(h).encode("utf-8", "surrogateescape") + b"\r\n"


def entity(r, depth, size):
    """One body part: a leaf, a multipart, or an enclosed message."""
    kind = r.randrange(10) if depth < 4 else 0
    if kind <= 4:
        return leaf(r, size)
    if kind == 9:
        return b"Content-Type: message/rfc822\r\n\r\n" + headers(r) + entity(r, depth + 1, size)
    sub = r.choice(["mixed", "alternative", "digest", "related", "appledouble", "parallel"])
    b = r.choice(["b%d" % depth, "=_%d_%s" % (depth, "q" * r.randint(1, 80)), "b%d x" % depth])
    head = "Content-Type: multipart/%s; boundary=\"%s\"" % (sub, b)
    if r.random() < 0.03: head = "Content-Type: multipart/mixed"  # no boundary: any "--" line splits
    if r.random() < 0.05: head += "\r\nContent-Transfer-Encoding: base64"
    out = [head.encode() + b"\r\n\r\n", b"preamble\r\n" if r.random() < 0.5 else b""]
    for _ in range(r.randint(0, 4)):
        inner = entity(r, depth + 1, size // 3 + 1)
        if sub == "digest" and r.random() < 0.6:
            inner = r.choice([b"", b"\r\n"]) + headers(r) + b"\r\n" + text(r, 200)  # entries default to message/rfc822
        out.append(b"--" + b.encode() + r.choice([b"", b"  ", b"trailing"]) + b"\r\n" + inner)
    if r.random() < 0.85:
        out.append(b"--" + b.encode() + b"--\r\n" + (b"epilogue\r\n" if r.random() < 0.5 else b""))
    return b"".join(out)


def deep(r, levels):
    head, tail = [], []
    for i in range(levels):
        head.append(b'Content-Type: multipart/mixed; boundary="d%d"\r\n\r\n--d%d\r\n' % (i, i))
        tail.insert(0, b"\r\n--d%d--\r\n" % i)
    return b"".join(head) + leaf(r, 300) + b"".join(tail)


def partial_set(r, n):
    """Mails carrying the fragments of one message, shuffled; sometimes one lost or bad."""
    whole = headers(r) + b"Message-ID: <whole%d@x>\r\n" % n + entity(r, 1, r.randint(200, 9000))
    k = r.randint(1, 4)
    cut = sorted(r.sample(range(1, len(whole)), k - 1)) if k > 1 else []
    pieces = [whole[a:b] for a, b in zip([0] + cut, cut + [len(whole)])]
    ident = r.choice(["id%d" % n, "a/b:c%d" % n, "%d-very-long-identifier" % n, "\"q %d\"" % n])
    mails = []
    for i, piece in enumerate(pieces, 1):
        params = "id=%s; number=%d" % (ident, i)
        if i == k or r.random() < 0.3: params += "; total=%d" % k
        if r.random() < 0.04: params = r.choice(["number=1; total=1", "id=z%d; number=0" % n, "id=y%d" % n,
                                                 "id=%s; number=%d; total=%d" % (ident, k + 1, k)])
        mails.append(headers(r, "part %d" % i) + b"Content-Type: message/partial; " + params.encode() +
                     b"\r\n\r\n" + piece)
    r.shuffle(mails)
    if k > 1 and r.random() < 0.3: mails.pop()             # one never arrives
    return mails


def generate(count, folder):
    r = random.Random(SEED)
    os.makedirs(folder, exist_ok=True)
    made = 0
    while made < count:
        size = r.choice([0, 40, 300, 2000, 9000]) if r.random() < 0.97 else r.randint(50000, 300000)
        roll = r.random()
        if roll < 0.06: mails = partial_set(r, made)
        elif roll < 0.08: mails = [headers(r) + deep(r, r.choice([62, 63, 64, 65, 200]))]
        elif roll < 0.2: mails = [headers(r) + b"\r\n" + text(r, size)]
        elif roll < 0.22: mails = [headers(r) + b"Content-Type: message/external-body\r\n\r\nx\r\n"]
        else: mails = [headers(r) + entity(r, 0, size)]
        for m in mails[:count - made]:
            if r.random() < 0.02: m = m.replace(b"\r\n", b"\n")  # bare line feeds
            with open(os.path.join(folder, "%05d.eml" % made), "wb") as f:
                f.write(m)
            made += 1


# ---------------------------------------------------------------- run

class Gateway:
    """A console-mode gateway on a free port with its own settings file, data
    folder and logs; fixed here so that a dump depends on the binary only."""

    def __init__(self, program):
        self.program, self.dir = os.path.abspath(program), tempfile.mkdtemp(prefix="qlsmtp-cmp-")
        self.data = os.path.join(self.dir, "data") + "/"
        os.makedirs(self.data + "IN")
        os.makedirs(self.data + "OUT")
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            self.port = s.getsockname()[1]
        self.registry, self.events, self.debuglog = (os.path.join(self.dir, n)
                                                     for n in ("registry.reg", "events.log", "debug.log"))
        values = {"SmtpRxPort": self.port, "SmtpTxPort": 25, "ProgramPath": self.data, "DomainName": "fax.test",
                  "logfile": self.debuglog, "DNSName": "127.0.0.1:9"}
        lines = ["REGEDIT4", "", r"[HKEY_LOCAL_MACHINE\SOFTWARE\Halvern\Quillon SMTP Server]"]
        lines += ['"%s"=dword:%08x' % (k, v) if isinstance(v, int) else '"%s"="%s"' % (k, v)
                  for k, v in values.items()]
        with open(self.registry, "w", newline="") as f:
            f.write("\r\n".join(lines) + "\r\n")
        self.proc = None

    def start_console(self, env, timeout=20):
        env = dict({k: v for k, v in os.environ.items() if k not in ("NOTIFY_SOCKET", "INVOCATION_ID")},
                   QLSMTP_REGISTRY=self.registry, QLSMTP_EVENTLOG=self.events, **env)
        self.proc = subprocess.Popen([self.program, "m"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=env)
        fd, deadline, seen = self.proc.stdout.fileno(), time.time() + timeout, b""
        while b"Press q to stop the gateway" not in seen:
            ready = select.select([fd], [], [], max(0.0, deadline - time.time()))[0]
            chunk = os.read(fd, 4096) if ready else b""
            if not chunk:
                raise AssertionError("the gateway did not print its prompt within %d s: %r" % (timeout, seen))
            seen += chunk

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.stdin.write(b"q\n")
            self.proc.stdin.flush()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        return self.proc.returncode if self.proc else None

    def cleanup(self):
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


class Recorder:
    """A gateway on a free port with scratch folders, and what each input makes it write."""

    def __init__(self, binary):
        self.gw = Gateway(binary)
        self.tmp = os.path.join(self.gw.dir, "tmp")  # its fragment store
        os.makedirs(self.tmp)
        self.gw.start_console({"TMP": self.tmp})
        self.console = {"out": bytearray(), "err": bytearray()}
        self.seen = {"out": 0, "err": 0, "debug": 0, "events": 0}
        for key, pipe in (("out", self.gw.proc.stdout), ("err", self.gw.proc.stderr)):
            threading.Thread(target=self.pump, args=(key, pipe), daemon=True).start()
        self.settle(False)
        self.take_logs()  # start-up lines are not an input's

    def pump(self, key, pipe):
        for chunk in iter(lambda: os.read(pipe.fileno(), 65536), b""):
            self.console[key] += chunk

    def sizes(self):
        def size(p):
            try:
                return os.path.getsize(p)
            except OSError:
                return -1
        files = [os.path.join(self.gw.data, "OUT", n) for n in os.listdir(self.gw.data + "OUT")]
        return (len(self.console["out"]), len(self.console["err"]), size(self.gw.debuglog), size(self.gw.events),
                sorted((p, size(p)) for p in files))

    def ended(self):
        """True once the session's thread has logged its end."""
        try:
            with open(self.gw.debuglog, "rb") as f:
                f.seek(self.seen["debug"])
                return b"ClientThreadEntry : Leaving ." in f.read()
        except OSError:
            return False

    def settle(self, session=True, quiet=0.12, limit=20.0):
        """Waits until the session thread has ended, no raw message is left
        in OUT, the console shows the decoding of a handed-off message (it is
        written by a thread of its own) and nothing has grown for `quiet` s."""
        end, last, since = time.time() + limit, None, time.time()
        while time.time() < end:
            if self.gw.proc.poll() is not None:
                return ["  the gateway ended: %r" % self.gw.proc.returncode]
            now = self.sizes()
            busy = any(p.endswith(".qmx") or re.search(r"ENV\d+$", p) for p, _ in now[4]) or session and not self.ended()
            if any(p.endswith(".tmp") for p, _ in now[4]):
                busy = busy or b"headers len : " not in self.console["out"][self.seen["out"]:]
            if now != last or busy:
                last, since = now, time.time()
            elif time.time() - since >= quiet:
                return []
            time.sleep(0.02)
        return ["  still busy after %d s" % limit]

    def take_logs(self):
        """New console, debug-log and event-log lines. Debug records (a record is
        "<line> <file> - <text>" and may span lines) lose the source line number;
        the accepting thread's records are put first, as they interleave freely
        with those of the session; the outbound side's idle polls, which come
        with the clock, are left out."""
        lines = []
        for key, path in (("out", None), ("err", None), ("debug", self.gw.debuglog), ("events", self.gw.events)):
            data = bytes(self.console[key]) if path is None else open(path, "rb").read() if os.path.exists(path) else b""
            new, self.seen[key] = data[self.seen[key]:], len(data)
            new = new.decode("latin-1").replace(self.gw.dir, "$DIR")
            if key == "debug":
                recs = [m.replace("\r\n", "|") for m in re.split(r"(?m)^\d+ (?=\S+ - )", new)
                        if m and m != IDLE_POLL]
                lines += ["  debug: %r" % m for m in sorted(recs, key=lambda m: "AcceptConnections:" not in m)]
            else:
                lines += ["  %s: %r" % (key, line) for line in new.splitlines()]
        return lines

    def take_files(self):
        lines, out = [], self.gw.data + "OUT/"
        for name in sorted(os.listdir(out)):
            data = open(out + name, "rb").read()
            lines.append("  file %s %d %s" % (name, len(data), hashlib.sha256(data).hexdigest()))
            if name.startswith("ENV") or name.endswith(".imp"):
                lines += ["    | %r" % l for l in data.decode("latin-1").split("\n")]
            os.remove(out + name)  # as the fax server takes them
        return lines

    def record(self, title, replies):
        late = self.settle()
        return ["== " + title] + ["  reply %r" % (x,) for x in replies] + late + self.take_files() + self.take_logs()

    def finish(self, title="fragment store left"):
        lines, store = ["== " + title], self.tmp
        for folder, _, files in sorted(os.walk(store)):
            for name in sorted(files):
                data = open(os.path.join(folder, name), "rb").read()
                lines.append("  %s %d %s" % (os.path.relpath(os.path.join(folder, name), store), len(data),
                                             hashlib.sha256(data).hexdigest()))
        lines.append("  exit %r" % self.gw.stop())
        lines += self.take_logs()
        self.gw.cleanup()
        return lines


def call(replies, f, *args):
    try:
        res = f(*args)
    except smtplib.SMTPResponseException as e:
        res = (e.smtp_code, e.smtp_error)
    except (smtplib.SMTPException, OSError) as e:
        res = ("exception", type(e).__name__)
    replies.append(res)
    return res


def send_mail(port, data, rcpts):
    replies = []
    s = smtplib.SMTP(local_hostname="cmp.example", timeout=60)
    if call(replies, s.connect, "127.0.0.1", port)[0] == 220:
        call(replies, s.helo, "cmp.example")
        call(replies, s.mail, "sender@example.org")
        for rc in rcpts:
            call(replies, s.rcpt, rc)
        if call(replies, s.data, data)[0] == 250:
            call(replies, s.quit)
    s.close()
    return replies


def run(binary, msgdir, outfile):
    """The messages in SHARDS runs of consecutive ones, each through its own
    gateway; they go side by side, as one message takes mostly waiting."""
    names = sorted(os.listdir(msgdir))
    size = -(-len(names) // SHARDS)
    dumps = [[] for _ in range(0, len(names), size)]

    def shard(k):
        rec = Recorder(binary)
        for i in range(k * size, min(len(names), (k + 1) * size)):
            data = open(os.path.join(msgdir, names[i]), "rb").read()
            rcpts = ["fax@fax.test"] + (["other@fax.test"] if i % 7 == 0 else [])
            dumps[k] += rec.record(names[i], send_mail(rec.gw.port, data, rcpts))
        dumps[k] += rec.finish("shard %d: fragment store left" % k)
    threads = [threading.Thread(target=shard, args=(k,)) for k in range(len(dumps))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    write(outfile, sum(dumps, []))


def raw_session(port, data):
    """The client's bytes as sent, its side then closed; every reply byte read."""
    with socket.create_connection(("127.0.0.1", port), timeout=30) as s:
        def writer():
            s.sendall(data)
            s.shutdown(socket.SHUT_WR)
        t = threading.Thread(target=writer)
        t.start()
        got = b"".join(iter(lambda: s.recv(65536), b""))
        t.join()
    return got.decode("latin-1").split("\r\n")


def session(binary, corpus, outfile):
    rec, dump = Recorder(binary), []
    for name in sorted(os.listdir(corpus)):
        dump += rec.record(name, raw_session(rec.gw.port, open(os.path.join(corpus, name), "rb").read()))
    write(outfile, dump + rec.finish())


def write(outfile, lines):
    with open(outfile, "w", encoding="utf-8", newline="\n") as f:
        f.write("\n".join(lines) + "\n")


# ---------------------------------------------------------------- diff

def sections(path):
    order, parts = [], {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            if line.startswith("== ") or not order:
                order.append(line.rstrip("\n"))
                parts[order[-1]] = []
            parts[order[-1]].append(line)
    return order, parts


def diff(a, b, shown=5):
    """Compares the dumps input by input; shows the first few differing inputs."""
    (oa, pa), (ob, pb) = sections(a), sections(b)
    titles = oa + [t for t in ob if t not in pa]
    bad = [t for t in titles if pa.get(t) != pb.get(t)]
    for t in bad[:shown]:
        sys.stdout.writelines(list(difflib.unified_diff(pa.get(t, []), pb.get(t, []), a, b, n=2))[:60])
    print("%d of %d inputs differ" % (len(bad), len(titles)))
    return 1 if bad else 0


def main(argv):
    cmd = argv[1] if len(argv) > 1 else ""
    if cmd == "generate" and len(argv) == 4: return generate(int(argv[2]), argv[3]) or 0
    if cmd == "run" and len(argv) == 5: return run(*argv[2:]) or 0
    if cmd == "session" and len(argv) == 5: return session(*argv[2:]) or 0
    if cmd == "diff" and len(argv) == 4: return diff(*argv[2:])
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
