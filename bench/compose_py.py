#!/usr/bin/python3
"""Peer of bench_compose: Python's email package builds the same mail (text
body and the file as a base64 attachment) and writes it to a file, as the
gateway's composition does. Prints one JSON line with the best and median
wall-clock rates in MB/s (MB = 2**20 bytes) of the source file encoded.

usage: compose_py.py ATTACHMENT SCRATCH_DIR [SECONDS]"""
import json
import os
import statistics
import sys
import time
from email.generator import BytesGenerator
from email.mime.application import MIMEApplication
from email.mime.multipart import MIMEMultipart
from email.mime.text import MIMEText


def compose(source, out_path):
    with open(source, "rb") as f:
        data = f.read()
    msg = MIMEMultipart()
    msg["From"] = "Fax Server <faxserver@fax.test>"
    msg["To"] = "<alice@example.test>"
    msg["Subject"] = "bench"
    msg.attach(MIMEText("The attachment holds the fax.\r\n"))
    part = MIMEApplication(data)  # base64 by default
    part.add_header("Content-Disposition", "attachment", filename="fax.bin")
    msg.attach(part)
    with open(out_path, "wb") as f:
        BytesGenerator(f, mangle_from_=False).flatten(msg, linesep="\r\n")


def main():
    source, scratch = sys.argv[1], sys.argv[2]
    seconds = float(sys.argv[3]) if len(sys.argv) > 3 else 5.0
    size = os.path.getsize(source)
    out_path = os.path.join(scratch, "compose_py.eml")
    times = []
    deadline = time.perf_counter() + seconds
    while len(times) < 3 or time.perf_counter() < deadline:
        t = time.perf_counter()
        compose(source, out_path)
        times.append(time.perf_counter() - t)
    composed = os.path.getsize(out_path)
    os.remove(out_path)
    mb = size / 2 ** 20
    print(json.dumps({"runs": len(times), "best_mb_s": mb / min(times), "median_mb_s": mb / statistics.median(times),
                      "composed_bytes": composed}))


if __name__ == "__main__":
    main()
