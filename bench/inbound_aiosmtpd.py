#!/usr/bin/python3
"""aiosmtpd peer of the gateway's inbound benchmark: receives mail on
127.0.0.1:PORT and keeps each message as the gateway does before its 250
reply: written under a temporary name, flushed to stable storage, renamed
to <n>.msg and the folder flushed too. The file work runs in a thread pool,
so the event loop goes on serving the other clients meanwhile.

usage: inbound_aiosmtpd.py FOLDER PORT
Prints "ready" once it listens and serves until standard input closes."""
import asyncio
import itertools
import os
import sys
import threading

from aiosmtpd.controller import Controller


class Store:
    def __init__(self, folder):
        self.folder = folder
        self.numbers = itertools.count()
        self.lock = threading.Lock()

    def keep(self, data):
        with self.lock:
            n = next(self.numbers)
        part = os.path.join(self.folder, "%d.part" % n)
        with open(part, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.rename(part, os.path.join(self.folder, "%d.msg" % n))
        fd = os.open(self.folder, os.O_RDONLY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)

    async def handle_DATA(self, server, session, envelope):
        await asyncio.get_running_loop().run_in_executor(None, self.keep, envelope.original_content)
        return "250 Message accepted"


def main():
    folder, port = sys.argv[1], int(sys.argv[2])
    controller = Controller(Store(folder), hostname="127.0.0.1", port=port)
    controller.start()
    print("ready", flush=True)
    try:
        sys.stdin.read()
    finally:
        controller.stop()


if __name__ == "__main__":
    main()
