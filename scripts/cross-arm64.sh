#!/usr/bin/env bash
# Cross-builds tempusd, ex_tikora, horolan-check and the calendar self-check
# for arm64 (a Raspberry Pi with a 64-bit system) and starts each under
# qemu-user: the programs must answer a wrong call with their usage and exit status 1, and
# the self-check must find the calendar's known values.
#
# Usage: bash scripts/cross-arm64.sh     (builds in build-arm64/)
set -euo pipefail
cd "$(dirname "$0")/.."

. scripts/require-packages.sh
require_packages cmake g++-aarch64-linux-gnu qemu-user

build=build-arm64
cmake -S . -B "$build" --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DCMAKE_BUILD_TYPE=Release \
  -DTEMPUS_WERROR=ON -DTEMPUS_TESTS=OFF -DTEMPUS_BENCH=OFF >/dev/null
cmake --build "$build" -j2 --target tempusd ex_tikora horolan-check calendar_selfcheck >/dev/null

arm64() { qemu-aarch64 -L /usr/aarch64-linux-gnu "$@"; }
failed=0
fail() { echo "FAILED: $*"; failed=1; }

for program in "$build/service/tempusd" "$build/oneshot/ex_tikora" "$build/check/horolan-check" \
  "$build/tests/selfcheck/calendar_selfcheck"; do
  readelf -h "$program" | grep -q 'Machine:.*AArch64' || fail "$program is not an arm64 program"
done

# ex_tikora and horolan-check with no device print their usage.
status=0
err=$(arm64 "$build/oneshot/ex_tikora" 2>&1 >/dev/null) || status=$?
[ "$status" -eq 1 ] && grep -q '^Usage :$' <<<"$err" || fail "ex_tikora without argument: status $status, $err"
status=0
err=$(arm64 "$build/check/horolan-check" 2>&1 >/dev/null) || status=$?
[ "$status" -eq 1 ] && grep -q '^Usage: ' <<<"$err" || fail "horolan-check without argument: status $status, $err"

# tempusd rejects an unknown option before it touches a port, logging it in
# its working directory.
scratch=$(mktemp -d /tmp/tempusd-arm64.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
status=0
(cd "$scratch" && arm64 "$OLDPWD/$build/service/tempusd" /X) 2>/dev/null || status=$?
[ "$status" -eq 1 ] && grep -q 'Niepoprawna opcja' "$scratch/dcf.log" || fail "tempusd /X: status $status"

arm64 "$build/tests/selfcheck/calendar_selfcheck" || fail "calendar self-check"

[ "$failed" -eq 0 ] && echo "arm64: tempusd, ex_tikora, horolan-check and the calendar start and answer under qemu-user"
exit "$failed"
