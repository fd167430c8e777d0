#!/usr/bin/python3
"""Runs the receiving-side benchmarks and their peers in one run and prints a
table with each figure beside its peer:

- decode throughput in MB/s of input: a 10 MB base64 attachment with its
  Content-MD5 check, and a 1 MB quoted-printable text, through the gateway's
  decoder (bench_decode), GMime (decode_gmime) and Python's email package
  (decode_py.py), each writing the decoded parts into a scratch folder on a
  tmpfs, so that the decoders and not the disk are measured; beside the
  base64 case, our MD5 alone and our base64 decoding alone over the same
  bytes, and the limit they set together, 1 / (1 / md5 + 1 / base64);
- inbound rate in messages per second of the whole gateway in console mode,
  for 2 KB, 100 KB and 5 MB messages from Postfix's smtp-source with 20
  concurrent clients and a new connection per message, beside aiosmtpd
  (inbound_aiosmtpd.py) taking the same load; the data directory on a tmpfs
  (/dev/shm) and on disk (/var/tmp). On the tmpfs, Postfix's smtp-sink takes
  the load too: it stores nothing, so its rate is the limit. The gateway's rate counts the whole
  hand-off: every message is decoded into its envelope and body files
  before its client's QUIT is answered.

Each figure is the median of --rounds runs; gateway and peers take turns.
Beside the rates: the gateway's peak resident size at each message size
(20 sessions at once), and with --baseline PROGRAM an earlier build's rates
measured in turn with this one.

usage: inbound_bench.py BUILD_DIR [--rounds N] [--seconds S] [--small N] [--medium N] [--large N]
                        [--baseline PROGRAM]
BUILD_DIR holds gateway/qlsmtpgw, bench/bench_decode and bench/decode_gmime."""
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
from gateway_env import Gateway, free_port, wait_for  # noqa: E402

PYTHON = "/usr/bin/python3"
SMTP_SOURCE = "/usr/sbin/smtp-source"
SMTP_SINK = "/usr/sbin/smtp-sink"
TMPFS = "/dev/shm"
DISK = "/var/tmp"
MB = 2 ** 20


# ------------------------------------------------------------------ decoding

def bench_decode(build_dir, scratch, rounds, seconds):
    """{case: {"gateway": [...], "gmime": [...], "python": [...]}} in MB/s."""
    work = os.path.join(scratch, "decode")
    out = os.path.join(scratch, "decode-out")
    os.makedirs(out)
    cases = {"base64": ("BM_DecodeBase64Attachment", "base64.qmx"),
             "qp": ("BM_DecodeQuotedPrintable", "qp.qmx")}
    rates = {c: {"gateway": [], "gmime": [], "python": []} for c in cases}
    rates["base64"].update({"md5": [], "b64": [], "limit": []})
    for _ in range(rounds):
        # Three repetitions of each, run in a random order, and each one's
        # median: the decode and the parts of its limit see the same noise.
        res = subprocess.run([os.path.join(build_dir, "bench", "bench_decode"), "--benchmark_format=json",
                              "--benchmark_min_time=%g" % (seconds / 3), "--benchmark_repetitions=3",
                              "--benchmark_enable_random_interleaving=true"],
                             env=dict(os.environ, QLSMTP_BENCH_DIR=work), capture_output=True, text=True, check=True)
        runs = {}
        for b in json.loads(res.stdout)["benchmarks"]:
            if b.get("run_type") != "iteration":
                continue
            if b.get("error_occurred"):
                raise RuntimeError("%s: %s" % (b["name"], b.get("error_message")))
            runs.setdefault(b["name"].split("/")[0], []).append(b["bytes_per_second"] / MB)
        rate = {name: statistics.median(r) for name, r in runs.items()}
        # The limit of the base64 case: our MD5 and our base64 decoding one
        # after the other, each alone over the same bytes, in this run.
        md5, b64 = rate["BM_Md5Alone"], rate["BM_Base64Alone"]
        rates["base64"]["md5"].append(md5)
        rates["base64"]["b64"].append(b64)
        rates["base64"]["limit"].append(1 / (1 / md5 + 1 / b64))
        for case, (name, message) in cases.items():
            rates[case]["gateway"].append(rate[name])
            path = os.path.join(work, message)
            for peer, cmd in (("gmime", [os.path.join(build_dir, "bench", "decode_gmime")]),
                              ("python", [PYTHON, os.path.join(HERE, "decode_py.py")])):
                res = subprocess.run(cmd + [path, out, str(seconds)], capture_output=True, text=True, check=True)
                rates[case][peer].append(json.loads(res.stdout)["mb_s"])
    return rates


# ------------------------------------------------------------------- inbound

def smtp_source(port, size, count):
    """Sends count messages of size bytes with 20 sessions; seconds taken."""
    cmd = [SMTP_SOURCE, "-c", "-s", "20", "-m", str(count), "-l", str(size), "-f", "bench@example.org",
           "-t", "fax@fax.test", "-S", "inbound bench", "-M", "bench.example", "127.0.0.1:%d" % port]
    os.sync()  # no write-back of an earlier run in this one
    start = time.perf_counter()
    res = subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, timeout=1800)
    elapsed = time.perf_counter() - start
    if res.returncode != 0:
        raise RuntimeError("smtp-source failed: %s" % res.stderr.strip()[-300:])
    return elapsed


def gateway_rate(program, base, size, count):
    tempfile.tempdir = base  # settings file and data directory on this file system
    try:
        g = Gateway(program, logfile="")
    finally:
        tempfile.tempdir = None
    try:
        g.start()
        elapsed = smtp_source(g.port, size, count)
        envelopes = len(g.files(r"^ENV.*\.tmp$"))
        if envelopes != count:
            raise RuntimeError("gateway: %d envelopes for %d messages" % (envelopes, count))
        return count / elapsed, peak_resident_mb(g.proc.pid)
    finally:
        if g.proc:
            g.stop()
        g.cleanup()


def peak_resident_mb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    return 0.0


def aiosmtpd_rate(base, size, count):
    folder = tempfile.mkdtemp(prefix="qlsmtp-aiosmtpd-", dir=base)
    port = free_port()
    proc = subprocess.Popen([PYTHON, os.path.join(HERE, "inbound_aiosmtpd.py"), folder, str(port)],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        if proc.stdout.readline().strip() != "ready":
            raise RuntimeError("aiosmtpd did not start")
        elapsed = smtp_source(port, size, count)
        kept = sum(1 for n in os.listdir(folder) if n.endswith(".msg"))
        if kept != count:
            raise RuntimeError("aiosmtpd: %d messages kept of %d" % (kept, count))
        return count / elapsed
    finally:
        proc.stdin.close()
        try:
            proc.wait(20)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        shutil.rmtree(folder, ignore_errors=True)


def smtp_sink_rate(size, count):
    port = free_port()
    cmd = [SMTP_SINK] + (["-u", "nobody"] if os.geteuid() == 0 else []) + ["127.0.0.1:%d" % port, "256"]
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    try:
        if not wait_for(lambda: proc.poll() is not None or connects(port)) or proc.poll() is not None:
            raise RuntimeError("smtp-sink did not start: %s" % proc.stderr.read().strip()[-300:])
        return count / smtp_source(port, size, count)
    finally:
        proc.terminate()
        proc.wait(20)


def connects(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False


def bench_inbound(program, rounds, sizes, baseline=None):
    """{(label, place): (count, {"gateway": [rates], "aiosmtpd": [...], "smtp-sink": [...] on tmpfs,
    "before": [...] with a baseline, "peak MB": [...]})}"""
    results = {}
    for place, base in (("tmpfs", TMPFS), ("disk", DISK)):
        for label, size, count in sizes:
            rates = {"gateway": [], "aiosmtpd": [], "peak MB": []}
            if place == "tmpfs":
                rates["smtp-sink"] = []
            if baseline:
                rates["before"] = []
            for _ in range(rounds):
                rate, peak = gateway_rate(program, base, size, count)
                rates["gateway"].append(rate)
                rates["peak MB"].append(peak)
                if baseline:
                    rates["before"].append(gateway_rate(baseline, base, size, count)[0])
                rates["aiosmtpd"].append(aiosmtpd_rate(base, size, count))
                if "smtp-sink" in rates:
                    rates["smtp-sink"].append(smtp_sink_rate(size, count))
            results[(label, place)] = (count, rates)
            print("# inbound %s on %s: %s" % (label, place, "; ".join(
                "%s %s" % (k, ", ".join("%.1f" % v for v in r)) for k, r in rates.items())), flush=True)
    return results


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build_dir")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--seconds", type=float, default=3.0, help="minimum time of each decode measurement")
    ap.add_argument("--small", type=int, default=2000, help="2 KB messages per run")
    ap.add_argument("--medium", type=int, default=400, help="100 KB messages per run")
    ap.add_argument("--large", type=int, default=40, help="5 MB messages per run")
    ap.add_argument("--skip-decode", action="store_true")
    ap.add_argument("--skip-inbound", action="store_true")
    ap.add_argument("--baseline", help="an earlier qlsmtpgw binary, measured in turn beside this one")
    args = ap.parse_args()
    build_dir = os.path.abspath(args.build_dir)
    scratch = tempfile.mkdtemp(prefix="qlsmtp-inbench-", dir=TMPFS)
    rows, peaks, ok = [], [], True
    try:
        if not args.skip_decode:
            rates = bench_decode(build_dir, scratch, args.rounds, args.seconds)
            for case, title in (("base64", "decode 10 MB base64 + MD5, MB/s"), ("qp", "decode 1 MB quoted-printable, MB/s")):
                r = {k: statistics.median(v) for k, v in rates[case].items()}
                print("# %s: %s" % (case, "; ".join("%s %s" % (k, ", ".join("%.1f" % x for x in v))
                                                    for k, v in rates[case].items())), flush=True)
                rows.append((title, r["gateway"], "GMime", r["gmime"], 2.0))
                rows.append(("", r["gateway"], "Python email", r["python"], 10.0))
                if case == "base64":
                    rows.append(("", r["gateway"], "MD5 alone", r["md5"], None))
                    rows.append(("", r["gateway"], "base64 alone", r["b64"], None))
                    rows.append(("", r["gateway"], "limit", r["limit"], 0.8))
        if not args.skip_inbound:
            sizes = [("2 KB", 2048, args.small), ("100 KB", 100 * 1024, args.medium), ("5 MB", 5 * MB, args.large)]
            res = bench_inbound(os.path.join(build_dir, "gateway", "qlsmtpgw"), args.rounds, sizes, args.baseline)
            for (label, place), (count, rates) in res.items():
                gw = statistics.median(rates["gateway"])
                # On disk the gateway flushes as aiosmtpd (made to flush) does;
                # on the tmpfs smtp-sink, which stores nothing, is the limit.
                target = 1.5 if place == "disk" and label != "5 MB" else None
                rows.append(("inbound %s on %s (%d msgs), msg/s" % (label, place, count), gw,
                             "aiosmtpd", statistics.median(rates["aiosmtpd"]), target))
                if "smtp-sink" in rates:
                    rows.append(("", gw, "smtp-sink", statistics.median(rates["smtp-sink"]),
                                 1.0 if label != "5 MB" else None))
                if "before" in rates:
                    rows.append(("", gw, "before", statistics.median(rates["before"]),
                                 1.0 if label == "5 MB" and place == "tmpfs" else None))
                peaks.append((label, place, max(rates["peak MB"])))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)

    print()
    for label, place, peak in peaks:
        met = peak <= 16 or label != "5 MB"
        ok &= met
        print("gateway peak resident size, %s on %s (20 sessions): %.1f MB%s" % (
            label, place, peak, "  <= 16 MB %s" % ("met" if met else "MISSED") if label == "5 MB" else ""))
    print("%-42s %10s  %-13s %10s %8s  %s" % ("benchmark", "gateway", "peer", "peer's", "ratio", "target"))
    for title, gw, peer, value, target in rows:
        ratio = gw / value
        verdict = ""
        if target is not None:
            met = ratio >= target
            ok &= met
            verdict = ">= %gx %s" % (target, "met" if met else "MISSED")
        print("%-42s %10.1f  %-13s %10.1f %7.2fx  %s" % (title, gw, peer, value, ratio, verdict))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
