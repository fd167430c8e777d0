#!/usr/bin/env bash
# Builds the gateway, bench_decode (Release, benchmarks on) and the GMime
# driver, and runs the receiving-side benchmarks beside their peers in one
# run; prints one table.
#   QLSMTP_BENCH_BUILD  build folder (default: build-bench next to bench/)
#   further arguments go to inbound_bench.py (--rounds, --seconds, --small,
#   --medium, --large, --skip-decode, --skip-inbound)
# Needs the Debian packages postfix (only its smtp-source and smtp-sink are used; the mail
# daemon is neither started nor left running), python3-aiosmtpd,
# libgmime-3.0-dev, pkg-config and libbenchmark-dev; missing ones are
# installed when running as root.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${QLSMTP_BENCH_BUILD:-$top/build-bench}

# shellcheck source=tools/packages.sh
. "$top/tools/packages.sh"
ensure_packages postfix python3-aiosmtpd libgmime-3.0-dev pkg-config libbenchmark-dev cmake g++ gcc

# GCC 12 gives a false -Wrestrict at -O3 inside std::string concatenation.
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQLSMTP_BENCH=ON -DQLSMTP_TESTS=OFF \
      -DCMAKE_CXX_FLAGS=-Wno-restrict >/dev/null
cmake --build "$build" -j2 --target qlsmtpgw bench_decode
# shellcheck disable=SC2046
gcc -O2 -Wall -Wextra -Werror -o "$build/bench/decode_gmime" "$top/bench/decode_gmime.c" \
    $(pkg-config --cflags --libs gmime-3.0)
exec /usr/bin/python3 "$top/bench/inbound_bench.py" "$build" "$@"
