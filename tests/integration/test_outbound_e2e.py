#!/usr/bin/env python3
"""Sending by the built gateway with real peers: nsd answers the MX queries
over TCP and an aiosmtpd server receives the mail. A queue file dropped into
IN arrives with its body and attachments intact, a rejected recipient ends
as the .ERR file after five attempts with an event naming the reply, and a domain without MX record is
reached at its own address. Scripted receivers check the waits: a reply to
the end of the data after 40 s is awaited, and a receiver that stops reading
fails the attempt within the send time-out while other mail goes on."""
import email
import os
import random
import socket
import threading
import time

from aiosmtpd.controller import Controller

from gateway_env import Gateway, NameServer, drop_queue_file, free_port, run, wait_for

ZONES = {
    "example.test": ["@ IN MX 10 mx1.example.test.", "mx1 IN A 127.0.0.1"],
    # Known to the system's host lookup too: an A record and no MX.
    "localhost": ["@ IN A 127.0.0.1"],
}


class Receiver:
    """aiosmtpd on 127.0.0.1; keeps every message, counts RCPT commands and
    answers RCPT with rcpt_reply when that is set."""

    def __init__(self, rcpt_reply=None):
        self.messages = []
        self.rcpts = 0
        self.lock = threading.Lock()
        self.rcpt_reply = rcpt_reply
        self.port = free_port()
        self.controller = Controller(self, hostname="127.0.0.1", port=self.port)

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        with self.lock:
            self.rcpts += 1
        if self.rcpt_reply:
            return self.rcpt_reply
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        with self.lock:
            self.messages.append((session.host_name, envelope.mail_from, list(envelope.rcpt_tos),
                                  envelope.original_content))
        return "250 OK"

    def __enter__(self):
        self.controller.start()
        return self

    def __exit__(self, *exc):
        self.controller.stop()


class ScriptedReceiver:
    """A plain SMTP receiver on 127.0.0.1, one thread per connection. After
    354, behave(recipient) says what it does: "ok", a number of seconds to
    wait before the reply to the end of the data, or "stall" (reads nothing
    more). notes holds (time, event, recipient) with the events "connect",
    "354" and "data" (the end of the data seen)."""

    def __init__(self, behave):
        self.behave = behave
        self.notes = []
        self.lock = threading.Lock()
        self.done = threading.Event()
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(8)
        self.port = self.sock.getsockname()[1]
        threading.Thread(target=self.accept, daemon=True).start()

    def note(self, event, rcpt=None):
        with self.lock:
            self.notes.append((time.time(), event, rcpt))

    def seen(self, event, rcpt=None):
        with self.lock:
            return [t for t, e, r in self.notes if e == event and (rcpt is None or r == rcpt)]

    def accept(self):
        while not self.done.is_set():
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            self.note("connect")
            threading.Thread(target=self.serve, args=(conn,), daemon=True).start()

    def serve(self, conn):
        with conn, conn.makefile("rb") as f:
            conn.sendall(b"220 rx.test ready\r\n")
            rcpt = None
            for line in f:
                verb = line[:4].upper()
                if verb == b"QUIT":
                    conn.sendall(b"221 bye\r\n")
                    return
                if verb == b"RCPT":
                    rcpt = line.split(b"<", 1)[-1].split(b">")[0].decode().lower()
                if verb != b"DATA":
                    conn.sendall(b"250 ok\r\n")
                    continue
                conn.sendall(b"354 go ahead\r\n")
                self.note("354", rcpt)
                how = self.behave(rcpt)
                if how == "stall":
                    self.done.wait()
                    return
                for data in f:
                    if data == b".\r\n":
                        break
                self.note("data", rcpt)
                if how != "ok":
                    self.done.wait(how)
                conn.sendall(b"250 queued\r\n")

    def close(self):
        self.done.set()
        self.sock.close()


class Setup:
    """Name server, receiver and a gateway whose send port is the receiver's."""

    def __init__(self, program, rcpt_reply=None, receiver=None):
        self.ns = NameServer(ZONES)
        self.rx = self.gw = None
        try:
            self.ns.start()
            self.rx = receiver or Receiver(rcpt_reply).__enter__()
            self.gw = Gateway(program, extra_values={"SmtpTxPort": self.rx.port, "DNSName": self.ns.address})
        except BaseException:
            self.cleanup()
            raise

    def in_files(self):
        return sorted(os.listdir(self.gw.data + "IN"))

    def events(self):
        try:
            with open(self.gw.events, errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def debug_log(self):
        try:
            with open(self.gw.debuglog, errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def cleanup(self):
        if self.gw:
            self.gw.cleanup()
        if isinstance(self.rx, ScriptedReceiver):
            self.rx.close()
        elif self.rx:
            self.rx.__exit__()
        self.ns.cleanup()


def queue_file(to_line, body_lines, attachments=()):
    lines = [b"FROM: Fax Server <faxserver@fax.test>", to_line, b"SUBJECT: Fax 4711 sent", b"",
             b"BEGIN BODY", b""] + list(body_lines) + [b"", b"END BODY", b""]
    if attachments:
        lines += [b"BEGIN ATTACH"] + [b"<<%s:%s>>" % a for a in attachments] + [b"END ATTACH"]
    return b"".join(l + b"\r\n" for l in lines)


def test_message_with_attachments_arrives_intact(program):
    s = Setup(program)
    try:
        s.gw.start_console()
        binary = b"GIF89a" + random.Random(435).randbytes(5000) + bytes(range(256))
        text = b"first line\r\n.dot line\r\nTO:<<x@y>\r\n\r\nno line end at the end"
        with open(s.gw.data + "IN/fax1.gif", "wb") as f:
            f.write(binary)
        with open(s.gw.data + "IN/fax1.txt", "wb") as f:
            f.write(text)
        body = [b"Your fax to +49 30 1234 was sent.", b".a line that starts with a dot", b"..two dots",
                b".", b"", b"last line"]
        drop_queue_file(s.gw.data, "fax1.tmp",
                        queue_file(b"TO:<<alice@example.test>", body,
                                   [(b"report.gif", b"fax1.gif"), (b"notes.txt", b"fax1.txt")]))
        # The gateway polls IN every 10 s.
        assert wait_for(lambda: s.rx.messages and not s.in_files(), timeout=25), (s.in_files(), s.rx.messages)

        assert len(s.rx.messages) == 1, s.rx.messages
        helo, mail_from, rcpts, content = s.rx.messages[0]
        assert (helo, mail_from) == ("fax.test", "fax.test"), (helo, mail_from)
        assert [r.lower() for r in rcpts] == ["alice@example.test"], rcpts
        msg = email.message_from_bytes(content)
        assert msg["To"] == "<alice@example.test>" and msg["Subject"] == "Fax 4711 sent", content[:300]
        assert msg.get_content_type() == "multipart/mixed" and not msg.defects, msg.defects
        parts = msg.get_payload()
        assert len(parts) == 3, [p.get_content_type() for p in parts]
        assert parts[0].get_content_type() == "text/plain"
        assert parts[0].get_payload(decode=True) == b"".join(l + b"\r\n" for l in body), parts[0].get_payload()
        for part, name, ctype, data in ((parts[1], "report.gif", "image/gif", binary),
                                        (parts[2], "notes.txt", "application/octet-stream", text)):
            assert (part.get_filename(), part.get_content_type()) == (name, ctype), part.items()
            assert part.get_payload(decode=True) == data, name
    finally:
        s.cleanup()


def test_rejected_recipient_set_aside_after_five_attempts(program):
    s = Setup(program, rcpt_reply="550 5.1.1 No such user")
    try:
        drop_queue_file(s.gw.data, "rej.tmp", queue_file(b"TO:<bob@example.test>", [b"hello"]))
        s.gw.start_console()
        assert wait_for(lambda: s.in_files() == ["REJ.ERR"], timeout=25), s.in_files()
        assert s.rx.rcpts == 5 and not s.rx.messages, (s.rx.rcpts, s.rx.messages)
        events = [l for l in s.events().splitlines() if l.startswith("437 ")]
        assert len(events) == 1 and events[0].startswith("437 error ") and "435 " not in s.events(), s.events()
        assert s.gw.data + "IN/rej.tmp" in events[0] and s.gw.data + "IN/REJ.ERR" in events[0], events
        # The event names the receiver's reply, not a missing receiver.
        assert events[0].endswith("replied to RCPT: 550 5.1.1 No such user"), events
    finally:
        s.cleanup()


def test_domain_without_mx_uses_its_address(program):
    s = Setup(program)
    try:
        drop_queue_file(s.gw.data, "nomx.tmp", queue_file(b"to:<carol@localhost>", [b"no exchanger"]))
        s.gw.start_console()
        assert wait_for(lambda: s.rx.messages and not s.in_files(), timeout=25), (s.in_files(), s.rx.messages)
        _, _, rcpts, content = s.rx.messages[0]
        assert [r.lower() for r in rcpts] == ["carol@localhost"], rcpts
        body = email.message_from_bytes(content).get_payload()[0].get_payload(decode=True)
        assert body == b"no exchanger\r\n", body
        log = s.debug_log()
        assert "SMTP Out -- No MX Rec, Using domain name" in log and "SMTP Out -- MX Rec Found" not in log, log[-2000:]
    finally:
        s.cleanup()


def test_reply_to_the_end_of_the_data_after_40_s(program):
    """The receiver takes 40 s to answer the end of the data, longer than any
    other reply may take: the message goes once and the queue file is gone."""
    s = Setup(program, receiver=ScriptedReceiver(lambda rcpt: 40))
    try:
        drop_queue_file(s.gw.data, "slow.tmp", queue_file(b"TO:<slow@example.test>", [b"take your time"]))
        s.gw.start_console()
        assert wait_for(lambda: not s.in_files(), timeout=90), (s.in_files(), s.rx.notes)
        assert len(s.rx.seen("data")) == 1 and len(s.rx.seen("354")) == 1, s.rx.notes
        assert "437 " not in s.events() and "435 " not in s.events(), s.events()
    finally:
        s.cleanup()


SEND_TIMEOUT_S = 3


def test_receiver_that_stops_reading_fails_within_the_send_time_out(program):
    """A receiver stops reading after 354 with megabytes still to come. The
    attempt fails once no byte has been taken for the send time-out
    (shortened to 3 s), the queue file that arrived meanwhile is delivered
    right after, and the stalled file is given up after five attempts."""
    rx = ScriptedReceiver(lambda rcpt: "stall" if rcpt == "stall@example.test" else "ok")
    s = Setup(program, receiver=rx)
    try:
        big = [b"%06d " % i + b"x" * 64 for i in range(120000)]  # 8 MB, more than the socket buffers take
        drop_queue_file(s.gw.data, "stall.tmp", queue_file(b"TO:<stall@example.test>", big))
        os.environ["QLSMTP_SEND_TIMEOUT_MS"] = str(SEND_TIMEOUT_S * 1000)
        try:
            s.gw.start_console()
        finally:
            del os.environ["QLSMTP_SEND_TIMEOUT_MS"]
        assert wait_for(lambda: rx.seen("354", "stall@example.test"), timeout=30), rx.notes
        drop_queue_file(s.gw.data, "next.tmp", queue_file(b"TO:<next@example.test>", [b"not held up"]))
        assert wait_for(lambda: rx.seen("data", "next@example.test"), timeout=SEND_TIMEOUT_S + 20), rx.notes
        stalled = rx.seen("354", "stall@example.test")
        delivered = rx.seen("data", "next@example.test")[0]
        # The next connection after the stalled one came once the send gave up.
        gave_up = [t for t in rx.seen("connect") if t > stalled[0]][0]
        assert gave_up - stalled[0] < SEND_TIMEOUT_S + 5, (gave_up - stalled[0], rx.notes)
        assert delivered - stalled[0] < SEND_TIMEOUT_S + 10 and len(stalled) <= 2, rx.notes
        # Given up after five stalled attempts, with the reason.
        assert wait_for(lambda: s.in_files() == ["STALL.ERR"], timeout=8 * (SEND_TIMEOUT_S + 5)), s.in_files()
        assert len(rx.seen("354", "stall@example.test")) == 5 and not rx.seen("data", "stall@example.test")
        events = [l for l in s.events().splitlines() if l.startswith("437 ")]
        assert len(events) == 1 and "took no data for %d s" % SEND_TIMEOUT_S in events[0], s.events()
    finally:
        s.cleanup()


if __name__ == "__main__":
    run([test_message_with_attachments_arrives_intact, test_rejected_recipient_set_aside_after_five_attempts,
         test_domain_without_mx_uses_its_address, test_reply_to_the_end_of_the_data_after_40_s,
         test_receiver_that_stops_reading_fails_within_the_send_time_out])
