#!/usr/bin/env python3
"""Kill -9 soak of the receiving side: in each round concurrent clients send
messages with attachments and unique tokens, and the gateway is killed with
SIGKILL at a random moment and started again. Every 10 rounds and at the end
a clean start finishes the hand-offs; then OUT is checked and emptied: each
acknowledged message has exactly one complete envelope whose body and
attachments equal what was sent, and no file is left that none names.
Usage: soak_kill9.py PROGRAM [--rounds N] [--clients N] [--seed N]"""
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
from gateway_env import ENVELOPE, Gateway, read, wait_for  # noqa: E402

def make_message(rng, token):
    """The message and what the fax server must see: (body, [(name, data)])."""
    lines = ["Body of " + token] + ["line %d %s" % (i, "x" * rng.randrange(120)) for i in range(rng.randrange(1, 40))]
    lines[1:1] = [".a line that begins with a dot"] * (rng.random() < 0.3)
    text = "\r\n".join(lines).encode()
    atts = [("%s-%d.bin" % (token, i), token.encode() + rng.randbytes(rng.choice([rng.randrange(2000), rng.randrange(
        2000, 70000), rng.randrange(70000, 400000)]))) for i in range(rng.randrange(1, 4))]
    parts = [b"Content-Type: text/plain\r\n\r\n" + text + b"\r\n"] + [
        b"Content-Type: application/octet-stream; name=\"%s\"\r\nContent-Transfer-Encoding: base64\r\n\r\n%s"
        % (name.encode(), base64.encodebytes(data).replace(b"\n", b"\r\n")) for name, data in atts]
    return b"Subject: soak %s\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"=b\"\r\n\r\n" % \
        token.encode() + b"".join(b"--=b\r\n" + p for p in parts) + b"--=b--\r\n", (text, atts)

def client(port, rng, prefix, sent, acknowledged, stop):
    n = 0
    while not stop.is_set():
        try:
            with smtplib.SMTP("127.0.0.1", port, timeout=20) as s:
                for n in range(n + 1, n + 1 + rng.randrange(1, 4)):
                    token = "%s-%d" % (prefix, n)
                    msg, sent[token] = make_message(rng, token)
                    s.sendmail("soak@example.org", ["fax@example.com"], msg)
                    acknowledged.add(token)
        except (OSError, smtplib.SMTPException):
            stop.wait(0.05)

def check_out(g, sent, acknowledged, figures):
    """Checks OUT against the messages sent, then empties it."""
    seen, named = {}, set()
    for env in g.files(ENVELOPE):
        text = read(g.out + env, True)
        token = (re.findall(r"(?m)^SUBJECT:soak (\S+)\r$", text) or [None])[0]
        body = re.findall(r"\r\nBEGIN BODY\r\n<<(ENV\d+\.bdy)>>\r\nEND BODY\r\n\r\n", text)
        listed = re.findall(r"(?m)^<<(.*):(ATT\d+\.\w*)>>\r$", text)
        named.update([env] + body + [a for _, a in listed])
        got = [read(g.out + b).rstrip(b"\r\n") for b in body], [(n, read(g.out + a)) for n, a in listed]
        if token not in sent or not text.endswith(("END BODY\r\n\r\n", "END ATTACH\r\n")) or \
                got != ([sent[token][0].rstrip(b"\r\n")], sent[token][1]):
            figures["broken"] += 1
            print("broken envelope %s: %r" % (env, text[:300]))
        else:
            seen.setdefault(token, []).append(env)
    for token in acknowledged | set(seen):
        count = len(seen.get(token, []))
        if count != 1:
            figures["lost" if count == 0 else "duplicated"] += 1
            print("%s: %s %r" % ("lost" if count == 0 else "duplicated", token, seen.get(token)))
    orphans = set(g.files()) - named
    if orphans:
        figures["orphans"] += len(orphans)
        print("orphans: %r" % sorted(orphans)[:20])
    figures["acknowledged"] += len(acknowledged)
    figures["unacknowledged_delivered"] += len(set(seen) - acknowledged)
    [os.remove(g.out + n) for n in g.files()]
    sent.clear()
    acknowledged.clear()

def main():
    ap = argparse.ArgumentParser()
    for name, default in (("--rounds", 30), ("--clients", 4), ("--seed", random.randrange(1 << 30))):
        ap.add_argument(name, type=int, default=default)
    ap.add_argument("program")
    args = ap.parse_args()
    print("seed %d" % args.seed)
    rng, figures = random.Random(args.seed), dict.fromkeys(("acknowledged", "lost", "duplicated", "broken",
                                                            "orphans", "unacknowledged_delivered"), 0)
    g, sent, acknowledged, started = Gateway(args.program), {}, set(), time.time()
    try:
        for r in range(1, args.rounds + 1):
            g.start()
            stop = threading.Event()
            threads = [threading.Thread(target=client, args=(g.port, random.Random(rng.random()), "r%dc%d" % (r, c),
                                                             sent, acknowledged, stop)) for c in range(args.clients)]
            [t.start() for t in threads]
            time.sleep(rng.uniform(0.02, 1.5))
            g.kill()
            stop.set()
            [t.join() for t in threads]
            if r % 10 == 0 or r == args.rounds:
                g.start()  # a clean start ends what the kills left
                if not wait_for(lambda: not g.files(r"\.(qmx|qmx\.out|part)$"), timeout=120):
                    print("hand-offs not finished: %r" % g.files()[:20])
                g.stop()
                check_out(g, sent, acknowledged, figures)
                print("after %d rounds (%.0f s): %s" % (r, time.time() - started, figures), flush=True)
    finally:
        g.cleanup()
    print("soak: rounds %d acknowledged %d lost %d duplicated %d broken %d orphans %d (unacknowledged but "
          "delivered %d)" % ((args.rounds,) + tuple(figures.values())))
    sys.exit(figures["acknowledged"] == 0 or sum(figures[k] for k in ("lost", "duplicated", "broken", "orphans")) > 0)

if __name__ == "__main__":
    main()
