#!/usr/bin/env python3
"""Sending by the built gateway with real peers: nsd answers the MX queries
over TCP and aiosmtpd receives. A queue file arrives with its body (dot-
stuffed on the wire) and attachments intact; a rejected recipient is tried
five times, then set aside as .ERR with one event naming the reply; a domain
without MX record is reached at its address."""
import email
import os
import random

from aiosmtpd.controller import Controller

from gateway_env import Gateway, NameServer, free_port, read, run, wait_for

ZONES = {"example.test": ["@ IN MX 10 mx1.example.test.", "mx1 IN A 127.0.0.1"],
         "localhost": ["@ IN A 127.0.0.1"]}  # an A record and no MX

class Receiver:
    """aiosmtpd's handler: keeps the messages, counts RCPT commands."""

    def __init__(self, rcpt_reply):
        self.messages, self.rcpts, self.rcpt_reply = [], 0, rcpt_reply

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        self.rcpts += 1
        envelope.rcpt_tos.append(address)
        return self.rcpt_reply

    async def handle_DATA(self, server, session, envelope):
        self.messages.append((session.host_name, envelope.mail_from, envelope.rcpt_tos, envelope.original_content))
        return "250 OK"

def send(program, to, body, atts=(), rcpt_reply="250 OK"):
    """Sends one queue file (the attachments' files are written beside it)
    until IN holds nothing or only an .ERR file: (receiver, IN, events, debug
    log)."""
    ns, rx = NameServer(ZONES), Receiver(rcpt_reply)
    controller = Controller(rx, hostname="127.0.0.1", port=free_port())
    controller.start()
    g = Gateway(program, SmtpTxPort=controller.port, DNSName=ns.address)
    try:
        lines = [b"FROM: Fax Server <faxserver@fax.test>", to, b"SUBJECT: Fax 4711 sent", b"", b"BEGIN BODY", b""] + \
            body + [b"", b"END BODY", b""] + ([b"BEGIN ATTACH"] + [b"<<%s:%s>>" % (n, f) for n, f, _ in atts] +
                                              [b"END ATTACH"] if atts else [])
        for _, name, data in atts:
            open(g.data + "IN/" + name.decode(), "wb").write(data)
        # Written under another name and renamed, as the fax server does.
        open(g.data + "IN/q.part", "wb").write(b"".join(l + b"\r\n" for l in lines))
        os.rename(g.data + "IN/q.part", g.data + "IN/q.tmp")
        g.start()
        assert wait_for(lambda: os.listdir(g.data + "IN") in ([], ["Q.ERR"]), 25), os.listdir(g.data + "IN")
        return rx, os.listdir(g.data + "IN"), read(g.events, True).replace(g.data, "/"), read(g.debuglog, True)
    finally:
        g.cleanup()
        controller.stop()
        ns.cleanup()

def test_message_with_attachments_arrives_intact(program):
    binary = b"GIF89a" + random.Random(435).randbytes(5000) + bytes(range(256))
    text = b"first line\r\n.dot line\r\nTO:<<x@y>\r\n\r\nno line end at the end"
    body = [b"Your fax to +49 30 1234 was sent.", b".a line that starts with a dot", b"..two dots", b".", b"", b"end"]
    rx = send(program, b"TO:<<alice@example.test>", body,
              [(b"report.gif", b"fax1.gif", binary), (b"notes.txt", b"fax1.txt", text)])[0]
    (helo, mail_from, rcpts, content), = rx.messages
    assert (helo, mail_from, [r.lower() for r in rcpts]) == ("fax.test", "fax.test", ["alice@example.test"])
    msg = email.message_from_bytes(content)
    assert (msg["To"], msg["Subject"], msg.get_content_type(), msg.defects) == \
        ("<alice@example.test>", "Fax 4711 sent", "multipart/mixed", [])
    parts = [(p.get_filename(), p.get_content_type(), p.get_payload(decode=True)) for p in msg.get_payload()]
    assert parts == [(None, "text/plain", b"".join(l + b"\r\n" for l in body)), ("report.gif", "image/gif", binary),
                     ("notes.txt", "application/octet-stream", text)], parts

def test_rejected_recipient_set_aside_after_five_attempts(program):
    rx, files, events, _ = send(program, b"TO:<bob@example.test>", [b"hello"], rcpt_reply="550 5.1.1 No such user")
    assert files == ["Q.ERR"] and rx.rcpts == 5 and not rx.messages, (files, rx.rcpts)
    gave_up = [l for l in events.splitlines() if l.startswith("437 ")]
    assert len(gave_up) == 1 and "435 " not in events and gave_up[0].startswith("437 error ") and \
        "/IN/q.tmp" in gave_up[0] and "/IN/Q.ERR" in gave_up[0] and \
        gave_up[0].endswith("replied to RCPT: 550 5.1.1 No such user"), events

def test_domain_without_mx_uses_its_address(program):
    rx, _, _, log = send(program, b"to:<carol@localhost>", [b"no exchanger"])
    (_, _, rcpts, content), = rx.messages
    assert [r.lower() for r in rcpts] == ["carol@localhost"], rcpts
    assert email.message_from_bytes(content).get_payload()[0].get_payload(decode=True) == b"no exchanger\r\n"
    assert "SMTP Out -- No MX Rec, Using domain name" in log and "SMTP Out -- MX Rec Found" not in log

if __name__ == "__main__":
    run([test_message_with_attachments_arrives_intact, test_rejected_recipient_set_aside_after_five_attempts,
         test_domain_without_mx_uses_its_address])
