#!/bin/bash
# Runs the test suite against each mutant (a small deliberate fault) and
# reports whether a test found it. Usage:
#   tests/mutants/run.sh [build-dir] [mutant files...]
# A mutant file holds a comment line, "file: <path>", the exact original
# lines prefixed with "-" and their replacement prefixed with "+". The
# block is looked for in the named file, else in every tracked source file;
# it must occur exactly once, or the mutant is reported "stale".
# One line per mutant: name, killed/survived/stale/build-error, the first
# failing test, seconds. The tree is always restored, even when interrupted.
set -u
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD="$ROOT/build-mutants"
if [ $# -gt 0 ] && [[ "$1" != *.mutant ]]; then BUILD=$(realpath -m "$1"); shift; fi
if [ $# -gt 0 ]; then MUTANTS=("$@"); else MUTANTS=("$ROOT"/tests/mutants/*.mutant); fi
BACKUP=$(mktemp)
MUTATED=$(mktemp)
TARGET=""
restore() {
    [ -n "$TARGET" ] || return 0
    if ! cat "$BACKUP" > "$ROOT/$TARGET" || ! cmp -s "$BACKUP" "$ROOT/$TARGET"; then
        echo "run.sh: could not restore $TARGET (original kept in $BACKUP)" >&2
        exit 2
    fi
    TARGET=""
}
trap 'restore; rm -f "$BACKUP" "$MUTATED"' EXIT
trap 'exit 130' INT TERM HUP

# Finds mutant $1's file: prints its path, or nothing when stale, and leaves
# the file's text in $BACKUP and the mutated text in $MUTATED.
locate() {
    python3 - "$ROOT" "$1" "$BACKUP" "$MUTATED" <<'PY'
import subprocess, sys
root, mutant, backup, mutated = sys.argv[1:5]
named, old, new = None, [], []
for line in open(mutant, encoding="utf-8").read().split("\n"):
    if line.startswith("file:"): named = line[5:].strip()
    elif line.startswith("-"): old.append(line[1:])
    elif line.startswith("+"): new.append(line[1:])
block = "\n" + "\n".join(old) + "\n"
def hits(path):
    try: text = "\n" + open(f"{root}/{path}", encoding="utf-8", newline="").read()
    except OSError: return 0, ""
    return (text.count(block), text) if old else (0, text)
count, text = hits(named) if named else (0, "")
target = named
if count == 0:
    files = subprocess.run(["git", "-C", root, "ls-files", "gateway", "platform", "common"],
                           capture_output=True, text=True).stdout.split()
    found = [(f, *hits(f)) for f in files]
    found = [x for x in found if x[1] > 0]
    count = sum(x[1] for x in found)
    if count == 1: target, _, text = found[0]
if count != 1: sys.exit(0)
open(backup, "w", encoding="utf-8", newline="").write(text[1:])
changed = text.replace(block, "\n" + "\n".join(new) + "\n", 1)
open(mutated, "w", encoding="utf-8", newline="").write(changed[1:])
print(target)
PY
}

mkdir -p "$BUILD"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQLSMTP_TESTS=ON > "$BUILD/mutant-configure.log" 2>&1 ||
    { echo "run.sh: configure failed, see $BUILD/mutant-configure.log" >&2; exit 0; }
printf '%-40s %-12s %-36s %s\n' mutant result first-failing-test seconds
for m in "${MUTANTS[@]}"; do
    name=$(basename "$m" .mutant)
    start=$SECONDS
    failing="-"
    TARGET=$(locate "$m")
    if [ -z "$TARGET" ]; then
        result=stale
    elif ! cat "$MUTATED" > "$ROOT/$TARGET"; then
        result=stale
    elif ! cmake --build "$BUILD" -j2 > "$BUILD/mutant-build.log" 2>&1; then
        result=build-error
    elif ctest --test-dir "$BUILD" -j2 --stop-on-failure --timeout 300 > "$BUILD/mutant-test.log" 2>&1; then
        result=survived
    else
        result=killed
        failing=$(grep -E 'Test +#[0-9]+: ' "$BUILD/mutant-test.log" | grep -vE 'Passed|Skipped' |
                  head -n 1 | sed -E 's/.*Test +#[0-9]+: ([^ ]+).*/\1/')
        [ -n "$failing" ] || failing="(no test ran)"
    fi
    restore
    printf '%-40s %-12s %-36s %d\n' "$name" "$result" "$failing" $((SECONDS - start))
done
exit 0
