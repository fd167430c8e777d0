#!/usr/bin/env python3
"""Sending by the built gateway with real peers: nsd answers the MX query
over TCP and aiosmtpd receives. A queue file arrives with its body (dot-
stuffed on the wire) and attachments intact. (Retries, setting aside and
the choice of exchanger are checked against scripted peers by
smtp_out_tests.)"""
import email
import os
import random

from aiosmtpd.controller import Controller

from gateway_env import Gateway, NameServer, free_port, read, run, wait_for

class Receiver:
    """aiosmtpd's handler: keeps the messages."""

    def __init__(self):
        self.messages = []

    async def handle_DATA(self, server, session, envelope):
        self.messages.append((session.host_name, envelope.mail_from, envelope.rcpt_tos, envelope.original_content))
        return "250 OK"

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

if __name__ == "__main__":
    run([test_message_with_attachments_arrives_intact])
