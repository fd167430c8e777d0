#!/usr/bin/python3
"""Python peer of bench_decode: Python's email package parses a message file
and writes every leaf part, decoded, to a file in a scratch folder; a part
with a Content-MD5 header has its digest checked. Repeats for at least the
given time and prints {"mb_s": rate of the input file, "runs": n}.

usage: decode_py.py MESSAGE OUT_FOLDER SECONDS"""
import base64
import email
import hashlib
import json
import os
import sys
import time


def decode_once(path, out):
    with open(path, "rb") as f:
        msg = email.message_from_binary_file(f)
    mismatches = 0
    for i, part in enumerate(p for p in msg.walk() if not p.is_multipart()):
        data = part.get_payload(decode=True)
        with open(os.path.join(out, "part%d" % i), "wb") as f:
            f.write(data)
        expected = part.get("Content-MD5")
        if expected and base64.b64encode(hashlib.md5(data).digest()).decode() != expected.strip():
            mismatches += 1
    return mismatches


def main():
    path, out, seconds = sys.argv[1], sys.argv[2], float(sys.argv[3])
    size = os.path.getsize(path)
    decode_once(path, out)  # warm-up
    runs = 0
    start = time.perf_counter()
    while True:
        if decode_once(path, out):
            sys.exit("digest mismatch")
        runs += 1
        elapsed = time.perf_counter() - start
        if elapsed >= seconds:
            break
    print(json.dumps({"mb_s": size * runs / elapsed / 2 ** 20, "runs": runs}))


if __name__ == "__main__":
    main()
