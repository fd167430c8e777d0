#!/usr/bin/env bash
# Builds the gateway and bench_compose (Release, benchmarks on) and runs the
# sending-side benchmarks beside their Python peers; prints one table.
#   QLSMTP_BENCH_BUILD  build folder (default: build-bench next to bench/)
#   further arguments go to outbound_bench.py (--rounds, --small, --large, ...)
# Needs the Debian packages nsd, postfix (only its smtp-sink is used; the
# mail daemon is neither started nor needed), python3-dnspython and
# libbenchmark-dev; missing ones are installed when running as root.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${QLSMTP_BENCH_BUILD:-$top/build-bench}

# shellcheck source=tools/packages.sh
. "$top/tools/packages.sh"
ensure_packages nsd postfix python3-dnspython libbenchmark-dev cmake g++

cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQLSMTP_BENCH=ON -DQLSMTP_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target qlsmtpgw bench_compose
exec /usr/bin/python3 "$top/bench/outbound_bench.py" "$build" "$@"
