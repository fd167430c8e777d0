#!/usr/bin/env bash
# Builds the gateway and runs it in console mode on a default configuration
# kept under the checkout: run/registry.reg (created on first run), the data
# directory run/data/ with IN and OUT, the receive port 2525, the debug log
# run/debug.log and the event log run/events.log. Type q and Enter to stop.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

. "$top/tools/packages.sh"
ensure_packages cmake g++ make

cmake -S . -B build-run -DCMAKE_BUILD_TYPE=Release -DQLSMTP_TESTS=OFF >/dev/null
cmake --build build-run -j"$(nproc)" --target qlsmtpgw >/dev/null

mkdir -p run/data/IN run/data/OUT
if [ ! -f run/registry.reg ]; then
  cat > run/registry.reg <<REG
REGEDIT4

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvern\\Quillon SMTP Server]
"SmtpRxPort"=dword:000009dd
"SmtpTxPort"=dword:00000019
"ProgramPath"="$top/run/data/"
"DomainName"="fax.localhost"
"MaxOut"=dword:0000000a
"logfile"="$top/run/debug.log"
REG
  echo "Created the settings file run/registry.reg (receive port 2525)."
fi
export QLSMTP_REGISTRY="$top/run/registry.reg"
export QLSMTP_EVENTLOG="$top/run/events.log"
exec "$top/build-run/gateway/qlsmtpgw" m
