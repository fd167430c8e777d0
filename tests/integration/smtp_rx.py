"""Helpers of the reception tests: a scripted SMTP client, the files that
reception leaves in OUT, and settings changes made the way the fax server
makes them (under the settings file's lock, replaced atomically)."""
import fcntl
import os
import re
import socket

from gateway_env import wait_for  # noqa: F401 (tests take it from here)

KEY = r"[HKEY_LOCAL_MACHINE\SOFTWARE\Halvern\Quillon SMTP Server]"


def trace(helo, domain):
    return ("Received: from %s by %s ; \r\n" % (helo, domain)).encode()


def set_reg_dword(g, name, value):
    """Sets a DWORD value in the gateway's settings file while it runs."""
    with open(g.registry + ".lock", "a+") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        with open(g.registry, newline="") as f:
            lines = f.read().splitlines()
        entry = '"%s"=dword:%08x' % (name, value)
        pattern = re.compile(r'^"%s"=' % re.escape(name), re.IGNORECASE)
        start = next(i for i, l in enumerate(lines) if l.strip().lower() == KEY.lower())
        end = next((i for i in range(start + 1, len(lines)) if lines[i].startswith("[")), len(lines))
        for i in range(start + 1, end):
            if pattern.match(lines[i]):
                lines[i] = entry
                break
        else:
            while end > start + 1 and not lines[end - 1].strip():
                end -= 1
            lines.insert(end, entry)
        tmp = g.registry + ".tmp.test"
        with open(tmp, "w", newline="") as f:
            f.write("\r\n".join(lines) + "\r\n")
        os.replace(tmp, g.registry)


def get_reg_dword(g, name):
    with open(g.registry, newline="") as f:
        for line in f.read().splitlines():
            m = re.match(r'^"%s"=dword:([0-9a-fA-F]{8})$' % re.escape(name), line.strip(), re.IGNORECASE)
            if m:
                return int(m.group(1), 16)
    return None


def hold_handoff(g):
    """Keeps every hand-off waiting, as the fax server does while it still
    collects an envelope: received messages then stay as raw message files."""
    set_reg_dword(g, "FileNameUse", 1)


def out_path(g, name):
    return os.path.join(g.data, "OUT", name)


def raw_files(g):
    return sorted(n for n in os.listdir(g.data + "OUT") if n.lower().endswith(".qmx"))


def part_files(g):
    return sorted(n for n in os.listdir(g.data + "OUT") if n.lower().endswith(".part"))


def records(g):
    """Hand-off records: present only while a hand-off is under way."""
    return sorted(n for n in os.listdir(g.data + "OUT") if n.lower().endswith(".qmx.out"))


def envelopes(g):
    return sorted(n for n in os.listdir(g.data + "OUT") if re.match(r"(?i)^ENV\d+\.tmp$", n))


def read(path):
    with open(path, "rb") as f:
        return f.read()


class Script:
    """A client that sends exact bytes and checks exact replies."""

    def __init__(self, port, timeout=10):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.buf = b""

    def read_line(self):
        while b"\n" not in self.buf:
            chunk = self.sock.recv(4096)
            if not chunk:
                raise AssertionError("connection closed; got %r" % self.buf)
            self.buf += chunk
        line, self.buf = self.buf.split(b"\n", 1)
        return line + b"\n"

    def expect(self, reply):
        got = self.read_line()
        if got != reply:
            raise AssertionError("expected %r, got %r" % (reply, got))

    def send(self, data):
        self.sock.sendall(data)

    def command(self, line, reply):
        self.send(line)
        self.expect(reply)

    def up_to_data(self, domain, helo=b"script.example"):
        self.expect(b"220 " + domain.encode() + b" Service Ready\r\n")
        self.command(b"HELO " + helo + b"\r\n", b"250 " + domain.encode() + b" " + helo + b"\r\n")
        self.command(b"MAIL FROM:<sender@example.org>\r\n", b"250 OK  FROM:<sender@example.org> \r\n")
        self.command(b"RCPT TO:<fax@example.com>\r\n", b"250 OK  TO:<fax@example.com> \r\n")
        self.command(b"DATA\r\n", b"354 Start mail input, end with <CRLF>.<CRLF>\r\n")

    def close(self):
        self.sock.close()
