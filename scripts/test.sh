#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test:
#   0. clang-format over every source file,
#   1. unit tests under AddressSanitizer and UndefinedBehaviorSanitizer (clang),
#   2. the libFuzzer targets, a few seconds each (clang),
#   3. clang-tidy over every unit of the programs, the platform layer and the emulator,
#   4. the Debian package, built and checked unpacked (never installed on this
#      machine), then installed in a QEMU virtual machine whose own clock its
#      units really set, against the emulator here (scripts/check-vm.sh),
#   5. tempusd, ex_tikora and horolan-check cross-built for arm64 and started under qemu-user,
#   6. the demo and end-to-end tests in a clone under a folder of mode 0700,
#   7. the whole suite, unit and end-to-end, in a warnings-as-errors build that
#      also builds every layer as a shared library with -z defs (a call from a
#      lower layer up into a higher one fails there); tempusd-report's tests
#      among them, its page rendered by headless Chromium.
set -euo pipefail
cd "$(dirname "$0")/.."

. scripts/require-packages.sh
require_packages cmake g++ clang clang-tidy clang-format libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev \
  faketime util-linux procps chrony git build-essential debhelper lintian logrotate groff-base systemd \
  g++-aarch64-linux-gnu qemu-user pkg-config libsystemd-dev python3-prometheus-client python3-matplotlib \
  chromium qemu-system-x86 debootstrap e2fsprogs

jobs=2

echo "== clang-format"
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror
echo "clean"

echo "== sanitizer build: unit tests under ASan+UBSan"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
  -DTEMPUS_SANITIZE=ON -DTEMPUS_WERROR=ON -DTEMPUS_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs" --target tempus_tests
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ./build-asan/tests/tempus_tests --gtest_filter='-E2E*:*RealTime*' --gtest_brief=1

echo "== fuzz targets"
cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
  -DTEMPUS_FUZZ=ON -DTEMPUS_BENCH=OFF >/dev/null
cmake --build build-fuzz -j"$jobs" --target fuzz_targets
for f in build-fuzz/tests/fuzz/fuzz_*; do
  [ -x "$f" ] || continue
  echo "-- $f"
  "$f" -max_total_time=4 -print_final_stats=0 2>&1 | tail -n 2
done

echo "== main build"
# The demo may have configured build/ without the test and benchmark parts.
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTEMPUS_WERROR=ON -DTEMPUS_TESTS=ON -DTEMPUS_BENCH=ON >/dev/null
cmake --build build -j"$jobs"

echo "== clang-tidy"
tidy_log=build/clang-tidy.log
if ! git ls-files 'calendar/*.cpp' 'timesvc/*.cpp' 'link/*.cpp' 'service/*.cpp' 'check/*.cpp' 'oneshot/*.cpp' \
    'platform/*.cpp' 'emulator/*.cpp' | xargs -n4 -P"$jobs" clang-tidy -p build --quiet >"$tidy_log" 2>&1; then
  grep -v 'warnings generated' "$tidy_log"
  exit 1
fi
echo "clean"

echo "== Debian package"
bash scripts/package.sh
bash scripts/check-package.sh

echo "== the units under systemd in a virtual machine"
bash scripts/check-vm.sh

echo "== arm64 build under qemu-user"
bash scripts/cross-arm64.sh

echo "== a clone others cannot enter"
bash scripts/check-clone.sh

echo "== every test"
ctest --test-dir build -j"$jobs" --output-on-failure
