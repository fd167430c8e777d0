"""The Windows build in console mode under Wine: the sample settings file
of the tree imported with the registry editor into a fresh prefix and the
port set with `wine reg add`, the gateway started with `m`, a client from
Linux greeted on the configured port, and `q` ending the program with
status 1.

Usage: test_wine_console.py <path of qlsmtpgw.exe>"""
import os
import socket
import subprocess
import sys

from wine_env import WinePrefix, build_dir, free_port, have_wine, log, read_until

DOMAIN = "fax.example.com"  # the sample's
SAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "samples", "qlsmtp-windows.reg")
PROMPT = b"Press q to stop the gateway"


def check_greeting(sock):
    """The gateway's first words to a client: the SMTP greeting."""
    expected = ("220 %s Service Ready\r\n" % DOMAIN).encode()
    sock.settimeout(10)
    data = b""
    while not data.endswith(b"\r\n"):
        chunk = sock.recv(256)
        if not chunk:
            break
        data += chunk
    assert data == expected, "greeting %r, expected %r" % (data, expected)
    return "SMTP greeting"


def main():
    if len(sys.argv) < 2:
        print("usage: test_wine_console.py <qlsmtpgw.exe>")
        return 2
    if not have_wine():
        print("skipped: wine is not installed")
        return 0
    program = os.path.abspath(sys.argv[1])
    prefix = WinePrefix(os.path.join(build_dir(program), "wine-it", "console"))
    gateway = None
    ok = False
    try:
        log("making the prefix %s" % prefix.dir)
        prefix.start()

        port = free_port()
        data_dir = "C:\\qlsmtp\\"  # the sample's
        for sub in ("IN", "OUT"):
            os.makedirs(os.path.join(prefix.unix_path(data_dir), sub))
        log("settings: the sample, port %d" % port)
        sample = "Z:" + os.path.realpath(SAMPLE).replace("/", "\\")
        assert prefix.run("wine", "regedit", "/S", sample) == 0, "regedit refused the sample"
        prefix.reg_add("SmtpRxPort", "REG_DWORD", port)
        prefix.reg_add("logfile", "REG_SZ", "C:\\qlsmtp\\debug.log")

        log("starting the gateway in console mode")
        with open(prefix.logfile, "ab") as err:
            gateway = subprocess.Popen(["wine", program, "m"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                       stderr=err, env=prefix.env, cwd=prefix.dir)
        read_until(gateway, PROMPT, 60)
        log("prompt seen; connecting to 127.0.0.1:%d" % port)

        with socket.create_connection(("127.0.0.1", port), timeout=10) as client:
            log("greeted with the %s" % check_greeting(client))

        gateway.stdin.write(b"q\n")
        gateway.stdin.flush()
        status = gateway.wait(60)
        assert status == 1, "exit status %d, expected 1" % status
        log("stopped with status 1")
        ok = True
    finally:
        if gateway and gateway.poll() is None:
            gateway.kill()
            gateway.wait()
        prefix.stop()
        prefix.cleanup(ok, debug_log="C:\\qlsmtp\\debug.log")
    print("PASS")
    return 0


if __name__ == "__main__":
    sys.exit(main())
