#!/usr/bin/env bash
# Installs the build into a prefix of its own and has systemd check the installed units: their
# syntax, their dependencies and that the programs they start exist there.
# usage: verify_units.sh BUILD_DIR   (exit 77: skipped)
set -euo pipefail
build=${1:?usage: $0 BUILD_DIR}
if ! command -v systemd-analyze >/dev/null; then
  echo "SKIP: systemd-analyze is not installed (Debian package systemd)"
  exit 77
fi
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
units="$prefix/lib/systemd/system"
for program in bin/velmora bin/inserter-sink bin/lnsd sbin/corvid-adapter; do
  [ -x "$prefix/$program" ] || { echo "FAIL: $program was not installed"; exit 1; }
done
grep -qx "ExecStart=$prefix/bin/velmora --headless" "$units/velmora.service" ||
  { echo "FAIL: velmora.service does not start $prefix/bin/velmora"; exit 1; }
# verify prints its findings on standard error and fails on errors; warnings count as failures too.
findings=$(systemd-analyze verify "$units/velmora.service" "$units/velmora-corvid-adapter.service" 2>&1) ||
  { echo "FAIL: $findings"; exit 1; }
if [ -n "$findings" ]; then echo "FAIL: $findings"; exit 1; fi
echo "units verified: $(ls "$units" | tr "\n" " ")"
