#!/usr/bin/env python3
"""Sending by the built gateway with real peers: nsd answers the MX query
over TCP and aiosmtpd receives. A queue file arrives with its body (dot-
stuffed on the wire) and attachments intact; with SmartHost a mail goes to
the relay without an MX lookup; with RetryMinutes the attempts of a file
are spaced while other files go on, and a permanent refusal sets a file
aside at once. (Attempts in a row, setting aside and the choice of exchanger
are checked against scripted peers by smtp_out_tests.)"""
import email
import os
import random
import time

from aiosmtpd.controller import Controller

from gateway_env import Gateway, NameServer, free_port, read, run, wait_for

class Receiver:
    """aiosmtpd's handler: keeps the messages."""

    def __init__(self):
        self.messages = []

    async def handle_DATA(self, server, session, envelope):
        self.messages.append((session.host_name, envelope.mail_from, envelope.rcpt_tos, envelope.original_content))
        return "250 OK"

class ScriptedReceiver(Receiver):
    """Answers RCPT from a list of replies per address, then 250, and notes
    (time, address, reply code or "delivered") of each RCPT and delivery."""

    def __init__(self, replies):
        super().__init__()
        self.replies, self.log = replies, []

    async def handle_RCPT(self, server, session, envelope, address, options):
        address, replies = address.lower(), self.replies.get(address.lower())
        reply = replies.pop(0) if replies else "250 OK"
        self.log.append((time.time(), address, reply[:3]))
        envelope.rcpt_tos += [address] if reply[0] == "2" else []
        return reply

    async def handle_DATA(self, server, session, envelope):
        self.log.append((time.time(), envelope.rcpt_tos[0], "delivered"))
        return await super().handle_DATA(server, session, envelope)

def queue(g, name, rcpt):
    with open(g.data + "IN/" + name + ".part", "wb") as f:
        f.write(b"TO:<<%s>\r\nSUBJECT: Fax\r\n\r\nBEGIN BODY\r\n\r\nsent\r\n\r\nEND BODY\r\n" % rcpt.encode())
    os.rename(f.name, g.data + "IN/" + name + ".tmp")

def test_message_with_attachments_arrives_intact(program):
    binary = b"GIF89a" + random.Random(435).randbytes(5000) + bytes(range(256))
    text = b"first line\r\n.dot line\r\nTO:<<x@y>\r\n\r\nno line end at the end"
    body = [b"Your fax to +49 30 1234 was sent.", b".a line that starts with a dot", b"..two dots", b".", b"", b"end"]
    ns, rx = NameServer({"example.test": ["@ IN MX 10 mx1.example.test.", "mx1 IN A 127.0.0.1"]}), Receiver()
    controller = Controller(rx, hostname="127.0.0.1", port=free_port())
    controller.start()
    g = Gateway(program, SmtpTxPort=controller.port, DNSName=ns.address)
    try:
        lines = [b"FROM: Fax Server <faxserver@fax.test>", b"TO:<<alice@example.test>", b"SUBJECT: Fax 4711 sent",
                 b"", b"BEGIN BODY", b""] + body + [b"", b"END BODY", b"", b"BEGIN ATTACH",
                                                    b"<<report.gif:fax1.gif>>", b"<<notes.txt:fax1.txt>>", b"END ATTACH"]
        open(g.data + "IN/fax1.gif", "wb").write(binary)
        open(g.data + "IN/fax1.txt", "wb").write(text)
        # Written under another name and renamed, as the fax server does.
        open(g.data + "IN/q.part", "wb").write(b"".join(l + b"\r\n" for l in lines))
        os.rename(g.data + "IN/q.part", g.data + "IN/q.tmp")
        g.start()
        assert wait_for(lambda: os.listdir(g.data + "IN") == [], 25), os.listdir(g.data + "IN") + [read(g.events)]
    finally:
        g.cleanup()
        controller.stop()
        ns.cleanup()
    (helo, mail_from, rcpts, content), = rx.messages
    assert (helo, mail_from, [r.lower() for r in rcpts]) == ("fax.test", "fax.test", ["alice@example.test"])
    msg = email.message_from_bytes(content)
    assert (msg["To"], msg["Subject"], msg.get_content_type(), msg.defects) == \
        ("<alice@example.test>", "Fax 4711 sent", "multipart/mixed", [])
    parts = [(p.get_filename(), p.get_content_type(), p.get_payload(decode=True)) for p in msg.get_payload()]
    assert parts == [(None, "text/plain", b"".join(l + b"\r\n" for l in body)), ("report.gif", "image/gif", binary),
                     ("notes.txt", "application/octet-stream", text)], parts

def test_smarthost_takes_the_mail_without_mx_lookup(program):
    # The name server has no answer for example.test, and SmtpTxPort is closed.
    ns, rx = NameServer({"other.test": ["mx IN A 127.0.0.1"]}), Receiver()
    controller = Controller(rx, hostname="127.0.0.1", port=free_port())
    controller.start()
    g = Gateway(program, SmtpTxPort=free_port(), DNSName=ns.address, SmartHost="localhost:%d" % controller.port)
    try:
        queue(g, "q", "alice@example.test")
        g.start()
        assert wait_for(lambda: os.listdir(g.data + "IN") == [], 25), os.listdir(g.data + "IN") + [read(g.events)]
        log = read(g.debuglog, True)
        assert "SMTP Out -- Smarthost localhost port %d" % controller.port in log and "Get Address" not in log, log
    finally:
        g.cleanup()
        controller.stop()
        ns.cleanup()
    assert [[r.lower() for r in m[2]] for m in rx.messages] == [["alice@example.test"]], rx.messages

def test_retries_spaced_while_other_files_go_on(program):
    # 0.05 minutes: 3 s before the second and each later attempt.
    rx = ScriptedReceiver({"slow@example.test": ["451 busy", "451 busy"], "gone@example.test": ["550 no such user"]})
    controller = Controller(rx, hostname="127.0.0.1", port=free_port())
    controller.start()
    g = Gateway(program, SmartHost="127.0.0.1:%d" % controller.port, RetryMinutes="0.05 0.05")
    try:
        queue(g, "slow", "slow@example.test")
        queue(g, "gone", "gone@example.test")
        g.start()
        assert wait_for(lambda: any(e[1] == "slow@example.test" for e in rx.log), 20), rx.log
        # Added during the first wait, and sent before the third attempt.
        queue(g, "fast", "fast@example.test")
        assert wait_for(lambda: os.listdir(g.data + "IN") == ["GONE.ERR"] and len(rx.messages) == 2, 30), \
            os.listdir(g.data + "IN") + rx.log
        events = read(g.events, True)
    finally:
        g.cleanup()
        controller.stop()
    slow = [t for t, a, r in rx.log if a == "slow@example.test" and r != "delivered"]
    fast = [t for t, a, r in rx.log if a == "fast@example.test" and r == "delivered"]
    assert [r for t, a, r in rx.log if a == "gone@example.test"] == ["550"] and "460 " in events, (rx.log, events)
    assert len(slow) == 3 and min(b - a for a, b in zip(slow, slow[1:])) > 2.5 and slow[0] < fast[0] < slow[2], rx.log

if __name__ == "__main__":
    run([test_message_with_attachments_arrives_intact, test_smarthost_takes_the_mail_without_mx_lookup,
         test_retries_spaced_while_other_files_go_on])
