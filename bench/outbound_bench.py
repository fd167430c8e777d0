#!/usr/bin/python3
"""Runs the sending-side benchmarks and their Python peers in one run and
prints a table with each figure beside its peer:

- composition of a queue file naming a 10 MB attachment (bench_compose,
  wall-clock MB/s of the source file) against Python's email package
  encoding the same file (compose_py.py);
- outbound rate in messages per second for 2 KB and 1 MB queue files: the
  gateway in console mode sends queue files left in IN to Postfix's
  smtp-sink, finding the exchanger through nsd over TCP; send_py.py does the
  same work one message at a time (dnspython over TCP, smtplib).

usage: outbound_bench.py BUILD_DIR [--rounds N] [--small N] [--large N]
BUILD_DIR holds gateway/qlsmtpgw and bench/bench_compose."""
import argparse
import json
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "integration"))
from gateway_env import Gateway, NameServer, drop_queue_file, free_port  # noqa: E402

PYTHON = "/usr/bin/python3"
SMTP_SINK = "/usr/sbin/smtp-sink"
ZONES = {"example.test": ["@ IN MX 10 mx1.example.test.", "mx1 IN A 127.0.0.1"]}
MB = 2 ** 20


def queue_file(size):
    """A queue file of about size bytes: header lines and a body of text
    lines, a few of them starting with a dot."""
    head = (b"FROM: Fax Server <faxserver@fax.test>\r\nTO:<<alice@example.test>\r\nSUBJECT: Fax bench\r\n\r\n"
            b"BEGIN BODY\r\n\r\n")
    tail = b"\r\nEND BODY\r\n\r\n"
    lines = []
    total = len(head) + len(tail)
    n = 0
    while total < size:
        line = (b"." if n % 50 == 49 else b"") + b"Line %06d of the fax report: the quick brown fox jumps over." % n
        lines.append(line + b"\r\n")
        total += len(line) + 2
        n += 1
    return head + b"".join(lines) + tail


# ---------------------------------------------------------------- composition

def bench_compose(build_dir, scratch, seconds):
    attachment = os.path.join(scratch, "attachment.bin")
    with open(attachment, "wb") as f:
        f.write(os.urandom(10 * MB))
    work = os.path.join(scratch, "compose")
    os.makedirs(work)
    env = dict(os.environ, QLSMTP_BENCH_DIR=work, QLSMTP_BENCH_ATTACHMENT=attachment)
    out = subprocess.run([os.path.join(build_dir, "bench", "bench_compose"), "--benchmark_format=json",
                          "--benchmark_min_time=%g" % seconds], env=env, capture_output=True, text=True, check=True)
    results = {b["name"].split("/")[0]: b for b in json.loads(out.stdout)["benchmarks"]}
    gateway = {k: v["bytes_per_second"] / MB for k, v in results.items()}
    py = json.loads(subprocess.run([PYTHON, os.path.join(HERE, "compose_py.py"), attachment, scratch, str(seconds * 2)],
                                   capture_output=True, text=True, check=True).stdout)
    return gateway, py


# ------------------------------------------------------------------- outbound

class Sink:
    """smtp-sink on a free port; it must drop root rights to a user."""

    def __init__(self, folder):
        self.port = free_port()
        self.out = open(os.path.join(folder, "smtp-sink.out"), "w+b")
        user = "postfix" if os.geteuid() == 0 else None
        cmd = [SMTP_SINK] + (["-u", user] if user else []) + ["-c", "127.0.0.1:%d" % self.port, "256"]
        self.proc = subprocess.Popen(cmd, stdout=self.out, stderr=subprocess.STDOUT)
        deadline = time.time() + 10
        while time.time() < deadline:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return
            except OSError:
                if self.proc.poll() is not None:
                    break
                time.sleep(0.05)
        self.out.seek(0)
        raise RuntimeError("smtp-sink did not start: %r" % self.out.read())

    def messages(self):
        """The last message count that smtp-sink printed."""
        self.out.flush()
        self.out.seek(0)
        counts = [p for p in self.out.read().replace(b"\r", b" ").split() if p.startswith(b"mesg=")]
        return int(counts[-1][5:]) if counts else 0

    def stop(self):
        self.proc.terminate()
        self.proc.wait(10)
        self.out.close()


def tmp_count(folder):
    return sum(1 for n in os.listdir(folder) if n.endswith(".tmp"))


def gateway_rate(program, ns, sink, content, count):
    g = Gateway(program, extra_values={"SmtpTxPort": sink.port, "DNSName": ns.address, "logfile": ""})
    try:
        for i in range(count):
            drop_queue_file(g.data, "q%05d.tmp" % i, content)
        inbox = g.data + "IN"
        g.start_console()
        first = last = None
        deadline = time.time() + 600
        while time.time() < deadline:
            n = tmp_count(inbox)
            now = time.perf_counter()
            if first is None and n < count:
                first = now
            if n == 0:
                last = now
                break
            time.sleep(0.002)
        left = os.listdir(inbox)
        g.stop()
        if last is None or left:
            raise RuntimeError("gateway left %r in IN" % left[:5])
        # From the first message gone to the last: start-up is not counted.
        return (count - 1) / (last - first)
    finally:
        g.cleanup()


def python_rate(ns, sink, content, count, scratch):
    folder = tempfile.mkdtemp(dir=scratch)
    try:
        for i in range(count):
            with open(os.path.join(folder, "q%05d.tmp" % i), "wb") as f:
                f.write(content)
        out = subprocess.run([PYTHON, os.path.join(HERE, "send_py.py"), folder, "127.0.0.1", str(ns.port),
                              str(sink.port), "fax.test"], capture_output=True, text=True, check=True)
        return json.loads(out.stdout)["msg_s"]
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def bench_outbound(program, scratch, rounds, sizes):
    os.makedirs(os.path.join(scratch, "nsd"))
    ns = NameServer(ZONES, folder=os.path.join(scratch, "nsd")).start()
    sink = Sink(scratch)
    results = {}
    sent = 0
    try:
        for label, size, count in sizes:
            content = queue_file(size)
            gw, py = [], []
            for _ in range(rounds):
                gw.append(gateway_rate(program, ns, sink, content, count))
                py.append(python_rate(ns, sink, content, count, scratch))
                sent += 2 * count
            results[label] = (len(content), count, gw, py)
        time.sleep(1.5)  # smtp-sink prints its counts once a second
        received = sink.messages()
        if received != sent:
            raise RuntimeError("smtp-sink counted %d messages, %d were sent" % (received, sent))
    finally:
        sink.stop()
        ns.stop()
    return results


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build_dir")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--small", type=int, default=400, help="2 KB queue files per round")
    ap.add_argument("--large", type=int, default=30, help="1 MB queue files per round")
    ap.add_argument("--compose-seconds", type=float, default=3.0)
    ap.add_argument("--skip-compose", action="store_true")
    ap.add_argument("--skip-outbound", action="store_true")
    args = ap.parse_args()
    build_dir = os.path.abspath(args.build_dir)
    scratch = tempfile.mkdtemp(prefix="qlsmtp-outbench-")
    rows = []
    try:
        if not args.skip_compose:
            gateway, py = bench_compose(build_dir, scratch, args.compose_seconds)
            rows.append(("compose 10 MB attachment, MB/s", gateway["BM_ComposeMessage"], py["median_mb_s"], 5.0))
            rows.append(("  base64 encoder alone, MB/s", gateway["BM_EncodeBase64"], None, None))
        if not args.skip_outbound:
            sizes = [("2 KB", 2048, args.small), ("1 MB", MB, args.large)]
            res = bench_outbound(os.path.join(build_dir, "gateway", "qlsmtpgw"), scratch, args.rounds, sizes)
            for label, (nbytes, count, gw, py) in res.items():
                rows.append(("outbound %s queue files (%d B, %d x %d), msg/s" % (label, nbytes, args.rounds, count),
                             statistics.median(gw), statistics.median(py), 1.0))
                print("# %s rounds: gateway %s, python %s" % (label, ", ".join("%.1f" % v for v in gw),
                                                             ", ".join("%.1f" % v for v in py)))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)

    print()
    print("%-52s %12s %12s %8s %s" % ("benchmark", "gateway", "python", "ratio", "target"))
    ok = True
    for name, gw, py, target in rows:
        if py is None:
            print("%-52s %12.1f %12s %8s" % (name, gw, "-", "-"))
            continue
        ratio = gw / py
        met = ratio >= target
        ok &= met
        print("%-52s %12.1f %12.1f %7.2fx >= %gx %s" % (name, gw, py, ratio, target, "met" if met else "MISSED"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
