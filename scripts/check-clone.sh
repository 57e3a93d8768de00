#!/usr/bin/env bash
# The README's commands from a clone that other users cannot enter, as root's
# clones in /root are: clones the committed tree into a folder of mode 0700,
# runs the demo there, then builds the tests there and runs an end-to-end test
# of tempusd, of ex_tikora and of the interposer with libfaketime (their
# programs run as nobody when this runs as root).
#
# Usage: bash scripts/check-clone.sh
set -euo pipefail
cd "$(dirname "$0")/.."

private=$(mktemp -d /tmp/tempusd-private.XXXXXX)
trap 'rm -rf "$private"' EXIT
chmod 0700 "$private"
git clone -q . "$private/tempusd"
cd "$private/tempusd"

echo "-- demo in $private/tempusd (mode 0700 above it)"
if ! bash scripts/demo.sh --emulator --seconds 3 >"$private/demo.log" 2>&1 \
    || ! grep -q 'Deinstalacja programu obslugi zegara Horolan zakonczona pomyslnie' "$private/demo.log"; then
  cat "$private/demo.log"
  echo "FAILED: the demo in a private clone" >&2
  exit 1
fi
echo "demo passed"

echo "-- end-to-end tests in the same clone"
cmake -S . -B build -DTEMPUS_TESTS=ON -DTEMPUS_BENCH=OFF >/dev/null
cmake --build build -j2 --target tempus_tests >"$private/build.log" 2>&1 || { tail -n 30 "$private/build.log"; exit 1; }
./build/tests/tempus_tests --gtest_brief=1 --gtest_filter='E2ETempusdSync.ReceiverAheadBySevenSecondsIsStepped:E2EExTikora.SetsTheClockFromWinterAndSummerTelegrams:E2EShimFaketime.*'
