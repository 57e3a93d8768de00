#!/usr/bin/env bash
# Shows tempusd at work without a receiver and without touching the clock.
#
# With no receiver at /dev/term/a, this builds what is missing, starts the
# receiver emulator on a pseudo-terminal (its clock a few seconds ahead, one
# "minute" lasting one second), and runs the real tempusd /S /T1 under the
# test interposer: /dev/term/a is mapped to the emulator's line, the registry
# uses a private key, and every clock-setting call is written to a file
# instead of being made. tempusd runs as nobody when started as root (from
# copies in the scratch folder, as nobody may not enter the clone). After
# ~10 s it removes the service with /D, shows the log and the recorded clock
# calls, and cleans everything up.
#
# With a receiver attached it only prints how to run the real service;
# --emulator runs the demonstration anyway (the receiver is left alone).
#
# Usage: bash scripts/demo.sh [--emulator] [--seconds N]
set -euo pipefail
cd "$(dirname "$0")/.."

force_emulator=0
watch_seconds=10
while [ $# -gt 0 ]; do
  case "$1" in
    --emulator) force_emulator=1 ;;
    --seconds) shift; watch_seconds=${1:?--seconds needs a number} ;;
    -h|--help) sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "demo.sh: unknown argument $1 (try --help)" >&2; exit 2 ;;
  esac
  shift
done

build=${TEMPUS_DEMO_BUILD_DIR:-build}
tempusd_bin=$build/service/tempusd
emu_bin=$build/emulator/horolan-emu
shim_lib=$build/tests/shim/libtempus_shim.so

if [ -e /dev/term/a ] && [ "$force_emulator" -eq 0 ]; then
  cat <<EOF
A receiver is attached at /dev/term/a. This demo does not set the clock.
To run the real service (it sets this machine's clock), install the package:

  bash scripts/package.sh && sudo dpkg -i build-deb/tempusd_*.deb
  sudo systemctl enable --now tempusd     # log: /var/log/tempusd/dcf.log

See README.md and man tempusd for the udev rule and the reference-clock unit.

To see the demonstration on the emulator instead: bash scripts/demo.sh --emulator
EOF
  exit 0
fi

say() { printf '\n== %s\n' "$*"; }

# --- build what is missing ----------------------------------------------------
. scripts/require-packages.sh
require_packages cmake g++ util-linux procps

build_log=$(mktemp /tmp/tempusd-demo-build.XXXXXX)
say "building tempusd, the receiver emulator and the interposer (log: $build_log)"
# A new build folder gets only what the demo needs (no GoogleTest, no Google
# Benchmark); one the test command configured stays as it is.
configure=(cmake -S . -B "$build")
[ -e "$build/CMakeCache.txt" ] || configure+=(-DTEMPUS_TESTS=OFF -DTEMPUS_BENCH=OFF)
if ! { "${configure[@]}" && cmake --build "$build" -j2 --target tempusd horolan-emu tempus_shim; } \
    >"$build_log" 2>&1; then
  tail -n 30 "$build_log"
  echo "demo.sh: build failed; see $build_log" >&2
  exit 1
fi
rm -f "$build_log"
for f in "$tempusd_bin" "$emu_bin" "$shim_lib"; do
  [ -e "$f" ] || { echo "demo.sh: $f was not built" >&2; exit 1; }
done
tempusd_bin=$(realpath "$tempusd_bin")
emu_bin=$(realpath "$emu_bin")
shim_lib=$(realpath "$shim_lib")

# --- scratch directory, private registry key, cleanup ---------------------------
scratch=$(mktemp -d /tmp/tempusd-demo.XXXXXX)
chmod 0777 "$scratch"   # tempusd runs as nobody and writes dcf.log here

key_in_use() { ipcs -s 2>/dev/null | awk '{print $1}' | grep -qix "$(printf '0x%08x' "$1")"; }
key=$(( 700000000 + RANDOM * 32768 + RANDOM ))
while key_in_use "$key"; do key=$(( key + 1 )); done

emu_pid=
background_pid=

# The pid the registry set records (the background process), or nothing.
recorded_pid() {
  local semid
  semid=$(ipcs -s 2>/dev/null | awk -v k="$(printf '0x%08x' "$key")" 'tolower($1) == k {print $2}')
  [ -n "$semid" ] || return 0
  ipcs -s -i "$semid" 2>/dev/null | awk '$1 == "0" && NF >= 5 {print $5}'
}

cleanup() {
  set +e
  [ -n "$background_pid" ] || background_pid=$(recorded_pid)
  if [ -n "$background_pid" ] && [ "$(cat "/proc/$background_pid/comm" 2>/dev/null)" = tempusd ]; then
    kill -9 "$background_pid" 2>/dev/null
  fi
  if key_in_use "$key"; then ipcrm -S "$key" 2>/dev/null; fi
  if [ -n "$emu_pid" ]; then kill "$emu_pid" 2>/dev/null; wait "$emu_pid" 2>/dev/null; fi
  rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# nobody runs tempusd and loads the interposer from copies it can reach.
if [ "$(id -u)" -eq 0 ]; then
  install -d -m 0755 "$scratch/bin"
  install -m 0755 "$tempusd_bin" "$shim_lib" "$scratch/bin/"
  tempusd_bin=$scratch/bin/${tempusd_bin##*/}
  shim_lib=$scratch/bin/${shim_lib##*/}
fi

# --- the emulated receiver ----------------------------------------------------
offset=4
say "starting the receiver emulator: $offset s ahead of this machine, one minute = 1 s"
"$emu_bin" --offset "$offset" --minute-ms 1000 --log "$scratch/emulator.log" \
  >"$scratch/emulator.out" 2>"$scratch/emulator.err" &
emu_pid=$!
line=
for _ in $(seq 50); do
  line=$(head -n 1 "$scratch/emulator.out" 2>/dev/null || true)
  [ -n "$line" ] && break
  sleep 0.1
done
if [ -z "$line" ]; then
  cat "$scratch/emulator.err" >&2
  echo "demo.sh: the emulator did not start" >&2
  exit 1
fi
echo "receiver line: $line (tempusd opens it as /dev/term/a)"

# --- tempusd under the interposer ---------------------------------------------
run_tempusd() {
  local as_user=()
  if [ "$(id -u)" -eq 0 ]; then
    as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups --inh-caps=-all --bounding-set=-sys_time --)
  fi
  (cd "$scratch" && "${as_user[@]}" env \
      LD_PRELOAD="$shim_lib" \
      TEMPUS_SHIM_TERM_A="$line" \
      TEMPUS_SHIM_SEM_KEY="$key" \
      TEMPUS_SHIM_CLOCK_LOG="$scratch/clock-calls.log" \
      "$tempusd_bin" "$@")
}

say "tempusd /S /T1   (as $( [ "$(id -u)" -eq 0 ] && echo nobody || id -un ), working directory $scratch, registry key $key)"
set +e
run_tempusd /S /T1
status=$?
set -e
echo "exit status $status (0 = installed; the background process keeps running)"
[ "$status" -eq 0 ] || { cat "$scratch/dcf.log" 2>/dev/null; exit 1; }
for _ in $(seq 50); do
  background_pid=$(recorded_pid)
  [ -n "$background_pid" ] && [ "$background_pid" != 0 ] && break
  sleep 0.1
done
echo "background process: pid ${background_pid:-?}"

say "dcf.log, growing for $watch_seconds s (a telegram every second)"
shown=0
for _ in $(seq "$watch_seconds"); do
  total=$(wc -l <"$scratch/dcf.log")
  if [ "$total" -gt "$shown" ]; then
    tail -n "+$((shown + 1))" "$scratch/dcf.log" | head -n "$((total - shown))"
    shown=$total
  fi
  sleep 1
done

say "clock calls tempusd made, as the interposer recorded them (never made for real)"
if [ -s "$scratch/clock-calls.log" ]; then
  head -n 5 "$scratch/clock-calls.log"
  n=$(wc -l <"$scratch/clock-calls.log")
  [ "$n" -le 5 ] || echo "... $n in all"
  echo "(the system clock never moves, so every telegram finds the same $offset s again)"
else
  echo "(none)"
fi

say "tempusd /Q   (how the service keeps the clock; exit 0: synchronised lately)"
set +e
run_tempusd /Q
echo "exit status $?"
set -e

say "tempusd /D"
set +e
run_tempusd /D
status=$?
set -e
echo "exit status $status (a removal always ends with 2)"
sleep 0.3
if [ -n "$background_pid" ] && [ -d "/proc/$background_pid" ] \
    && [ "$(awk '{print $3}' "/proc/$background_pid/stat" 2>/dev/null)" != Z ]; then
  echo "background process $background_pid is STILL RUNNING"
else
  echo "background process ${background_pid:-?} has ended"
fi
key_in_use "$key" && echo "registry set $key is STILL THERE" || echo "registry set removed"

say "final dcf.log"
cat "$scratch/dcf.log"

say "cleaning up (emulator stopped, $scratch removed)"
