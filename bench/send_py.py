#!/usr/bin/python3
"""Peer of the gateway's outbound engine: the same work done in Python, one
message at a time. For every queue file (*.tmp) of a folder: read it, build
the mail with the email package (header lines, text body, base64
attachments), look the recipient domain's MX up over TCP with dnspython (the
exchange's address from the additional section, else an A query), deliver
with smtplib to the given port, and delete the queue file. Prints one JSON
line: messages, seconds, messages per second.

usage: send_py.py QUEUE_DIR DNS_HOST DNS_PORT SMTP_PORT HELO_NAME"""
import json
import os
import smtplib
import sys
import time
from email.mime.application import MIMEApplication
from email.mime.multipart import MIMEMultipart
from email.mime.text import MIMEText

import dns.message
import dns.query
import dns.rdatatype


def parse_queue_file(data):
    lines = data.split(b"\r\n")
    headers, body, attachments = [], [], []
    i = 0
    while i < len(lines) and b"BEGIN BODY" not in lines[i]:
        if lines[i]:
            headers.append(lines[i].decode("latin-1"))
        i += 1
    i += 2
    while i < len(lines) and b"END BODY" not in lines[i]:
        body.append(lines[i])
        i += 1
    if body and body[-1] == b"":
        body.pop()
    for line in lines[i + 1:]:
        if b"END ATTACH" in line:
            break
        if line.startswith(b"<<") and b":" in line:
            name, _, rest = line[2:].partition(b":")
            attachments.append((name.decode("latin-1"), rest.split(b">>")[0].decode("latin-1")))
    return headers, b"".join(l + b"\r\n" for l in body), attachments


def mx_address(domain, dns_host, dns_port):
    reply = dns.query.tcp(dns.message.make_query(domain, "MX"), dns_host, port=dns_port, timeout=30)
    for rrset in reply.answer:
        if rrset.rdtype == dns.rdatatype.MX:
            exchange = min(rrset, key=lambda r: r.preference).exchange
            for extra in reply.additional:
                if extra.rdtype == dns.rdatatype.A and extra.name == exchange:
                    return extra[0].address
            a = dns.query.tcp(dns.message.make_query(exchange, "A"), dns_host, port=dns_port, timeout=30)
            for rr in a.answer:
                if rr.rdtype == dns.rdatatype.A:
                    return rr[0].address
    return domain


def send_one(path, folder, dns_host, dns_port, smtp_port, helo):
    with open(path, "rb") as f:
        headers, body, attachments = parse_queue_file(f.read())
    msg = MIMEMultipart()
    rcpt = None
    for h in headers:
        name, _, value = h.partition(":")
        msg[name] = value.strip().replace("<<", "<")
        if name.upper() == "TO":
            rcpt = value.strip().lstrip("<").split(">")[0]
    msg.attach(MIMEText(body.decode("latin-1"), "plain", "us-ascii" if body.isascii() else "latin-1"))
    for show, source in attachments:
        with open(os.path.join(folder, source), "rb") as f:
            part = MIMEApplication(f.read())
        part.add_header("Content-Disposition", "attachment", filename=show)
        msg.attach(part)
    host = mx_address(rcpt.split("@")[-1], dns_host, dns_port)
    with smtplib.SMTP(host, smtp_port, local_hostname=helo, timeout=35) as s:
        s.sendmail(helo, [rcpt], msg.as_bytes())
    os.remove(path)
    for _, source in attachments:
        os.remove(os.path.join(folder, source))


def main():
    folder, dns_host, dns_port, smtp_port, helo = sys.argv[1:6]
    names = sorted(n for n in os.listdir(folder) if n.endswith(".tmp"))
    t = time.perf_counter()
    for n in names:
        send_one(os.path.join(folder, n), folder, dns_host, int(dns_port), int(smtp_port), helo)
    seconds = time.perf_counter() - t
    print(json.dumps({"messages": len(names), "seconds": seconds, "msg_s": len(names) / seconds}))


if __name__ == "__main__":
    main()
