#!/usr/bin/env python3
"""The fax server's side of the exchange with the gateway, on Linux.

    faxserver-example.py send TO_ADDRESS "Subject" "body text" [FILE...]
        writes a queue file into IN for the gateway to send
    faxserver-example.py collect
        lists (and removes, with --remove) the envelopes the gateway left in OUT
    faxserver-example.py hold | release
        sets or clears FileNameUse, which holds back the gateway's hand-offs

The settings file is the one the gateway uses (QLSMTP_REGISTRY, default
/var/lib/qlsmtp/registry.reg); the data directory is its ProgramPath value.
"""
import fcntl
import os
import re
import shutil
import sys
import tempfile

KEY = r"[HKEY_LOCAL_MACHINE\SOFTWARE\Halvern\Quillon SMTP Server]"


def registry_path():
    return os.environ.get("QLSMTP_REGISTRY", "/var/lib/qlsmtp/registry.reg")


def read_value(name):
    """Reads a value from the settings file: no lock is needed to read."""
    with open(registry_path(), encoding="latin-1") as f:
        in_key = False
        for line in f:
            line = line.strip()
            if line.startswith("["):
                in_key = line.lower() == KEY.lower()
            elif in_key and line.lower().startswith('"%s"=' % name.lower()):
                v = line.split("=", 1)[1]
                if v.startswith("dword:"):
                    return int(v[6:], 16)
                return v[1:-1].replace('\\"', '"').replace("\\\\", "\\")
    return None


def set_dword(name, value):
    """Changes a value: under the flock of <file>.lock, write a new file and
    rename it over the old one."""
    path = registry_path()
    with open(path + ".lock", "a") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        with open(path, encoding="latin-1", newline="") as f:
            lines = f.read().split("\r\n")
        out, in_key, done = [], False, False
        for line in lines:
            s = line.strip()
            if s.startswith("["):
                if in_key and not done:
                    out.insert(len(out) - (1 if out and out[-1] == "" else 0), '"%s"=dword:%08x' % (name, value))
                    done = True
                in_key = s.lower() == KEY.lower()
            elif in_key and s.lower().startswith('"%s"=' % name.lower()):
                line, done = '"%s"=dword:%08x' % (name, value), True
            out.append(line)
        if not done:
            while out and out[-1] == "":
                out.pop()
            out += ['"%s"=dword:%08x' % (name, value), ""]
        fd, tmp = tempfile.mkstemp(dir=os.path.dirname(path) or ".")
        with os.fdopen(fd, "w", encoding="latin-1", newline="") as f:
            f.write("\r\n".join(out))
        os.rename(tmp, path)


def send(to, subject, body, files):
    data = data_directory()
    in_dir = os.path.join(data, "IN")
    lines = ["TO:<%s>" % to, "SUBJECT:%s" % subject, "", "BEGIN BODY", ""]
    lines += body.split("\n")
    lines += ["", "END BODY", ""]
    if files:
        lines.append("BEGIN ATTACH")
        for f in files:
            name = os.path.basename(f)
            shutil.copy(f, os.path.join(in_dir, name))
            lines.append("<<%s:%s>>" % (name, name))
        lines.append("END ATTACH")
    # Write under a name the gateway ignores, holding the file exclusively,
    # and give it its .tmp name only when it is complete.
    partial = os.path.join(in_dir, "fax%d.new" % os.getpid())
    with open(partial, "w", newline="") as f:
        fcntl.flock(f, fcntl.LOCK_EX)
        f.write("\r\n".join(lines) + "\r\n")
        f.flush()
        os.fsync(f.fileno())
        os.rename(partial, partial[:-4] + ".tmp")
    print("queued", partial[:-4] + ".tmp")


def collect(remove):
    out_dir = os.path.join(data_directory(), "OUT")
    for name in sorted(os.listdir(out_dir)):
        if not re.fullmatch(r"ENV\d+\.tmp", name):
            continue
        env = os.path.join(out_dir, name)
        text = open(env, encoding="latin-1").read()
        print("==", name)
        print(text.replace("\r\n", "\n"), end="")
        files = re.findall(r"<<[^\r\n]*:([^:\r\n]*)>>", text)
        if remove:
            for f in files:
                p = os.path.join(out_dir, f)
                if os.path.exists(p):
                    os.remove(p)
            os.remove(env)


def data_directory():
    """The data directory from the settings; exits with a message when the
    settings file or its ProgramPath cannot be read."""
    try:
        data = read_value("ProgramPath")
    except OSError as e:
        sys.exit("faxserver-example.py: cannot read the settings file %s (%s); name it in QLSMTP_REGISTRY, "
                 "e.g. QLSMTP_REGISTRY=run/registry.reg for the settings of tools/run.sh" %
                 (registry_path(), e.strerror))
    if not data:
        sys.exit("faxserver-example.py: the settings file %s has no ProgramPath" % registry_path())
    return data


def main(argv):
    if len(argv) >= 4 and argv[0] == "send":
        send(argv[1], argv[2], argv[3], argv[4:])
    elif argv[:1] == ["collect"]:
        collect("--remove" in argv)
    elif argv[:1] in (["hold"], ["release"]):
        data_directory()  # the settings file must be there
        set_dword("FileNameUse", 1 if argv[0] == "hold" else 0)
    else:
        print(__doc__)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
