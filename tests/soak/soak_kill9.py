#!/usr/bin/env python3
"""Kill -9 soak of the receiving side: rounds of concurrent clients sending
messages with attachments and unique tokens, the gateway killed with SIGKILL
at a random moment in each round and started again.

Every few rounds, and at the end, the gateway is started cleanly, left to
finish its hand-offs and stopped; then OUT is checked: each message that got
"250 Mail Received OK" has exactly one complete envelope whose body and
attachments equal what was sent, every envelope is complete, and no other
file is left. The checked files are then removed, as the fax server would
collect them.

Usage: soak_kill9.py PROGRAM [--rounds N] [--clients N] [--seed N]
Prints one line of figures and exits non-zero when anything is lost,
duplicated, broken or left over."""
import argparse
import base64
import os
import random
import re
import smtplib
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "integration"))
from gateway_env import Gateway, wait_for  # noqa: E402

DOMAIN = "soak.example.com"
CHECK_EVERY = 10


def make_message(rng, token):
    """A multipart message: a text body and one to three binary attachments.
    Returns the bytes and what the fax server must see (body, attachments)."""
    lines = ["Body of %s" % token] + ["line %d %s" % (i, "x" * rng.randrange(0, 120)) for i in range(rng.randrange(1, 40))]
    if rng.random() < 0.3:
        lines.insert(1, ".a line that begins with a dot")
    text = "\r\n".join(lines)
    attachments = []
    parts = []
    for i in range(rng.randrange(1, 4)):
        size = rng.choice([rng.randrange(0, 2000), rng.randrange(2000, 70000), rng.randrange(70000, 400000)])
        data = token.encode() + rng.randbytes(size)
        name = "%s-%d.bin" % (token, i)
        attachments.append((name, data))
        b64 = base64.encodebytes(data).replace(b"\n", b"\r\n")
        parts.append(b"--=b\r\nContent-Type: application/octet-stream; name=\"" + name.encode() +
                     b"\"\r\nContent-Transfer-Encoding: base64\r\n\r\n" + b64)
    msg = (b"From: soak@example.org\r\nTo: fax@example.com\r\nSubject: soak " + token.encode() +
           b"\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"=b\"\r\n\r\n"
           b"--=b\r\nContent-Type: text/plain\r\n\r\n" + text.encode() + b"\r\n" + b"".join(parts) + b"--=b--\r\n")
    return msg, (text.encode(), attachments)


class Sent:
    """Messages sent and the ones acknowledged, shared by the client threads."""

    def __init__(self):
        self.lock = threading.Lock()
        self.expected = {}  # token -> (body, attachments)
        self.acknowledged = set()


def client(port, rng, prefix, sent, stop):
    n = 0
    while not stop.is_set():
        try:
            with smtplib.SMTP("127.0.0.1", port, timeout=20) as s:
                for _ in range(rng.randrange(1, 4)):
                    n += 1
                    token = "%s-%d" % (prefix, n)
                    msg, expect = make_message(rng, token)
                    with sent.lock:
                        sent.expected[token] = expect
                    s.sendmail("soak@example.org", ["fax@example.com"], msg)
                    with sent.lock:
                        sent.acknowledged.add(token)
                s.quit()
        except (OSError, smtplib.SMTPException):
            if stop.wait(0.05):
                return


def out_dir(g):
    return os.path.join(g.data, "OUT")


def busy(g):
    """A hand-off or a reception is still under way."""
    return any(n.endswith((".qmx", ".qmx.out", ".part")) for n in os.listdir(out_dir(g)))


def check_out(g, sent, figures):
    """Checks OUT against the messages sent, then empties it."""
    folder = out_dir(g)
    names = set(os.listdir(folder))
    seen = {}
    referenced = set()
    for env in sorted(n for n in names if re.match(r"^ENV\d+\.tmp$", n)):
        with open(os.path.join(folder, env), "rb") as f:
            text = f.read().decode("latin-1")
        m = re.search(r"(?m)^SUBJECT:soak (\S+)\r$", text)
        body = re.search(r"\r\nBEGIN BODY\r\n<<(ENV\d+\.bdy)>>\r\nEND BODY\r\n\r\n", text)
        listed = re.findall(r"(?m)^<<(.*):(ATT\d+\.\w*)>>\r$", text)
        complete = body is not None and (text.endswith("END BODY\r\n\r\n") or text.endswith("END ATTACH\r\n"))
        referenced.add(env)
        if body:
            referenced.add(body.group(1))
        referenced.update(a for _, a in listed)
        token = m.group(1) if m else None
        if token is None or token not in sent.expected or not complete:
            figures["broken"] += 1
            print("broken envelope %s: %r" % (env, text[:300]))
            continue
        seen.setdefault(token, []).append(env)
        want_body, want_atts = sent.expected[token]
        try:
            with open(os.path.join(folder, body.group(1)), "rb") as f:
                got_body = f.read()
            got_atts = []
            for name, att in listed:
                with open(os.path.join(folder, att), "rb") as f:
                    got_atts.append((name, f.read()))
        except OSError as e:
            figures["broken"] += 1
            print("envelope %s names a missing file: %s" % (env, e))
            continue
        if got_body.rstrip(b"\r\n") != want_body.rstrip(b"\r\n") or got_atts != want_atts:
            figures["broken"] += 1
            print("envelope %s of %s differs from what was sent" % (env, token))
    for token in sent.acknowledged:
        count = len(seen.get(token, []))
        if count == 0:
            figures["lost"] += 1
            print("lost: %s" % token)
        elif count > 1:
            figures["duplicated"] += 1
            print("duplicated: %s %r" % (token, seen[token]))
    for token, envs in seen.items():
        if token not in sent.acknowledged:
            figures["unacknowledged_delivered"] += 1
            if len(envs) > 1:
                figures["duplicated"] += 1
                print("duplicated (unacknowledged): %s %r" % (token, envs))
    orphans = sorted(names - referenced)
    if orphans:
        figures["orphans"] += len(orphans)
        print("orphans: %r" % orphans[:20])
    figures["acknowledged"] += len(sent.acknowledged)
    for n in names:
        os.remove(os.path.join(folder, n))
    sent.expected.clear()
    sent.acknowledged.clear()


def settle_and_check(g, sent, figures):
    """A clean start: the gateway ends what the crash left, then stops."""
    g.start_console()
    if not wait_for(lambda: not busy(g), timeout=120):
        print("hand-offs not finished: %r" % sorted(os.listdir(out_dir(g)))[:20])
    g.stop()
    check_out(g, sent, figures)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("program")
    ap.add_argument("--rounds", type=int, default=30)
    ap.add_argument("--clients", type=int, default=4)
    ap.add_argument("--seed", type=int, default=None)
    ap.add_argument("--max-kill-delay", type=float, default=1.5)
    args = ap.parse_args()
    seed = args.seed if args.seed is not None else random.randrange(1 << 30)
    print("seed %d" % seed)
    rng = random.Random(seed)
    figures = dict(rounds=0, acknowledged=0, lost=0, duplicated=0, broken=0, orphans=0,
                   unacknowledged_delivered=0)
    g = Gateway(args.program, domain=DOMAIN)
    sent = Sent()
    started = time.time()
    try:
        for r in range(args.rounds):
            g.start_console()
            stop = threading.Event()
            threads = [threading.Thread(target=client, args=(g.port, random.Random(rng.random()), "r%dc%d" % (r, c),
                                                             sent, stop))
                       for c in range(args.clients)]
            for t in threads:
                t.start()
            time.sleep(rng.uniform(0.02, args.max_kill_delay))
            g.kill()
            stop.set()
            for t in threads:
                t.join()
            figures["rounds"] += 1
            if (r + 1) % CHECK_EVERY == 0 or r + 1 == args.rounds:
                settle_and_check(g, sent, figures)
                print("after %d rounds (%.0f s): %s" % (r + 1, time.time() - started, figures), flush=True)
    finally:
        g.cleanup()
    bad = figures["lost"] + figures["duplicated"] + figures["broken"] + figures["orphans"]
    print("soak: rounds %(rounds)d acknowledged %(acknowledged)d lost %(lost)d duplicated %(duplicated)d "
          "broken %(broken)d orphans %(orphans)d (unacknowledged but delivered %(unacknowledged_delivered)d)" % figures)
    print("%.1f s" % (time.time() - started))
    sys.exit(1 if bad or figures["acknowledged"] == 0 else 0)


if __name__ == "__main__":
    main()
