#!/usr/bin/env bash
# Installs what the tests need (Debian packages) and runs every test:
#   native   - Linux build, unit and integration tests (ctest)
#   asan     - unit tests under AddressSanitizer and UndefinedBehaviorSanitizer
#   windows  - mingw-w64 cross build, unit and integration tests under Wine
#   fuzz     - each libFuzzer target for a short time (clang, sanitizers)
#   package  - the Debian package: built with CPack, checked with lintian,
#              installed, used and purged on this machine (as root)
# QLSMTP_STAGES picks stages (default: all); QLSMTP_FUZZ_SECONDS sets the
# time per fuzz target (default 30).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
stages=${QLSMTP_STAGES:-"native asan windows fuzz package"}
fuzz_seconds=${QLSMTP_FUZZ_SECONDS:-30}
jobs=$(nproc)

packages=(cmake make g++ clang libclang-rt-14-dev googletest libgtest-dev libgmock-dev
          python3 python3-aiosmtpd python3-dnspython swaks nsd postfix
          mingw-w64 g++-mingw-w64-x86-64-posix wine64 wine xvfb
          imagemagick fp-utils-3.2.2
          nsis lintian dpkg-dev adduser systemd)
# shellcheck source=tools/packages.sh
. "$top/tools/packages.sh"
ensure_packages "${packages[@]}"

run_ctest() {  # build dir, extra ctest args
  local dir=$1; shift
  ctest --test-dir "$dir" --output-on-failure -j2 "$@"
}

for stage in $stages; do
  echo "=== $stage"
  case $stage in
    native)
      cmake -S . -B build-test -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
      cmake --build build-test -j"$jobs"
      run_ctest build-test
      ;;
    asan)
      cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DQLSMTP_SANITIZE=ON >/dev/null
      cmake --build build-asan -j"$jobs"
      ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        run_ctest build-asan -E '^integration_'
      ;;
    windows)
      cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
            -DCMAKE_BUILD_TYPE=Release >/dev/null
      cmake --build build-win -j"$jobs"
      run_ctest build-win
      ;;
    fuzz)
      cmake -S . -B build-fuzz -DQLSMTP_FUZZ=ON -DQLSMTP_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
            -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
      cmake --build build-fuzz -j"$jobs"
      for f in build-fuzz/fuzz/fuzz_*; do
        [ -x "$f" ] || continue
        name=$(basename "$f")
        corpus="build-fuzz/corpus/$name"
        mkdir -p "$corpus"
        seeds=()
        [ -d "fuzz/corpus/$name" ] && seeds=("fuzz/corpus/$name")
        echo "--- $name for ${fuzz_seconds}s"
        "$f" -max_total_time="$fuzz_seconds" -rss_limit_mb=2048 -max_len=65536 -print_final_stats=1 \
             "$corpus" "${seeds[@]}" 2>&1 | tail -n 12
      done
      ;;
    package)
      cmake -S . -B build-pkg -DCMAKE_BUILD_TYPE=Release -DQLSMTP_TESTS=OFF >/dev/null
      cmake --build build-pkg -j"$jobs"
      rm -f build-pkg/*.deb
      (cd build-pkg && cpack -G DEB)
      /usr/bin/python3 tests/packaging/test_deb_package.py build-pkg/qlsmtp_*_amd64.deb
      ;;
    *) echo "unknown stage $stage" >&2; exit 2 ;;
  esac
done
echo "All test stages passed: $stages"
