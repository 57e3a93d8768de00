#!/usr/bin/env bash
# Tries the package's units under a real systemd: boots Debian 12 in a
# systemd-nspawn container (which never holds CAP_SYS_TIME, so nothing in it
# can set a clock), installs the package scripts/package.sh built, and starts
# the units there against the receiver emulator on a pseudo-terminal linked
# to /dev/term/a:
#   tempusd.service   the emulator agreeing with the clock: ready after the
#                     start's cycle, the last synchronisation in `systemctl
#                     status`, dcf.log in the journal, tempusd /Q exits 0, no
#                     "not our child"; 5 s apart the clock cannot be set and
#                     /Q exits 1; the stop removes the registry;
#   tempusd-refclock  beside a chronyd -x of the check's own: a sample reaches
#                     chronyd's SOCK socket, the unit is ready with the last
#                     sample in its status, its process runs SCHED_FIFO at
#                     the unit's priority;
#   silent receiver   time-sync.target and logrotate.timer wait for
#                     tempusd-wait.service's bound (shortened by a drop-in),
#                     not longer; tempusd /Q exits 1 and the service runs on;
#   after a kill      kill -KILL of the main process: a new start within
#                     RestartSec, the leftover registration removed, /Q 0;
#                     systemctl stop then leaves the unit inactive, not failed.
#
# The container's tree is built once with debootstrap (a few minutes, from the
# machine's own Debian mirror) and kept in $TEMPUS_SYSTEMD_CACHE
# (/var/cache/tempusd-systemd), the package's dependencies added to it as the
# package gains them; each run boots a fresh copy of it, so no run
# sees another's state. The container has no network of its own and is always
# powered off at the end, also when a check fails.
#
# The units run as shipped, with no drop-in: systemd in the container sees
# /sys read-only and treats device units as unsupported, so their
# Wants=/After=dev-term-a.device fail at once and hold no start (no udev is
# there to announce the device).
#
# Usage (as root): bash scripts/check-systemd.sh [build-deb/tempusd_VERSION_ARCH.deb]
set -euo pipefail
cd "$(dirname "$0")/.."

. scripts/require-packages.sh
require_packages systemd-container debootstrap

deb=$(realpath "${1:-$(ls build-deb/tempusd_*.deb 2>/dev/null | head -n 1)}" 2>/dev/null) || true
[ -f "${deb:-}" ] || { echo "check-systemd.sh: no package; run scripts/package.sh first" >&2; exit 1; }

cache=${TEMPUS_SYSTEMD_CACHE:-/var/cache/tempusd-systemd}
suite=bookworm
tree=$cache/$suite
run=$cache/run
root=$run/root
machine=tempusd-check
# Written into the tree when it is complete; a tree made by another recipe is made again.
recipe="2 $suite minbase systemd systemd-sysv dbus procps util-linux chrony logrotate"

dcf_log=$root/var/log/tempusd/dcf.log
registry_key=0x0000db4e
TEXT_STARTED='Synchronizacja czasu rozpoczeta.'
TEXT_INSTALLED='Instalacja programu obslugi zegara Horolan zakonczona pomyslnie'
TEXT_REMOVED='Deinstalacja programu obslugi zegara Horolan zakonczona pomyslnie.'
TEXT_SET='Nastapila synchronizacja zegara systemowego.'
TEXT_NOT_SET='Nie mozna ustawic zegara systemowego.'
TEXT_NO_TELEGRAM='Nie mozna odczytac zegara Horolan w przewidywanym momencie.'
TEXT_SAMPLE='Przekazano probke czasu serwerowi NTP. Przesuniecie o'

nspawn_pid=
init_pid=

# --- the container's tree ------------------------------------------------------

# The machine's own mirror for the suite, or nothing (debootstrap's default).
debian_mirror() {
  {
    awk -v s="$suite" '/^URIs:/ {u = $2} /^Suites:/ {for (i = 2; i <= NF; i++) if ($i == s) print u}' \
      /etc/apt/sources.list.d/*.sources 2>/dev/null
    awk -v s="$suite" '$1 == "deb" {sub(/ \[[^]]*\]/, ""); if ($3 == s) print $2}' \
      /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null
  } | head -n 1 || true
}

build_tree() {
  [ "$(cat "$tree/.tempusd-recipe" 2>/dev/null)" = "$recipe" ] && return 0
  local fresh=$cache/$suite.new log=$cache/debootstrap.log mirror
  mirror=$(debian_mirror)
  echo "-- building the container's tree in $tree (once; log: $log)"
  rm -rf "$fresh" "$tree"
  if ! debootstrap --variant=minbase --include=systemd,systemd-sysv,dbus,procps \
      "$suite" "$fresh" ${mirror:+"$mirror"} >"$log" 2>&1; then
    tail -n 20 "$log"
    echo "check-systemd.sh: debootstrap failed; see $log" >&2
    exit 1
  fi
  # chrony's package would start its daemon: every start is refused while
  # installing, and its unit stays disabled (in a container without
  # CAP_SYS_TIME its condition skips it anyway).
  printf '#!/bin/sh\nexit 101\n' >"$fresh/usr/sbin/policy-rc.d"
  chmod 755 "$fresh/usr/sbin/policy-rc.d"
  if ! { chroot "$fresh" apt-get update -qq &&
      DEBIAN_FRONTEND=noninteractive chroot "$fresh" apt-get install -y -qq --no-install-recommends chrony util-linux logrotate &&
      chroot "$fresh" systemctl disable chrony.service; } >>"$log" 2>&1; then
    tail -n 20 "$log"
    echo "check-systemd.sh: installing into the tree failed; see $log" >&2
    exit 1
  fi
  rm -f "$fresh/usr/sbin/policy-rc.d"
  echo "$recipe" >"$fresh/.tempusd-recipe"
  mv "$fresh" "$tree"
}

# The package's dependencies go into the kept tree (network is there only
# now, before the boot), so a later run finds them; starts are refused while
# installing, as above.
install_depends() {
  local log=$cache/depends.log status=0
  printf '#!/bin/sh\nexit 101\n' >"$tree/usr/sbin/policy-rc.d"
  chmod 755 "$tree/usr/sbin/policy-rc.d"
  DEBIAN_FRONTEND=noninteractive chroot "$tree" apt-get satisfy -y -qq --no-install-recommends \
    "$(dpkg-deb -f "$deb" Depends)" >"$log" 2>&1 || status=$?
  rm -f "$tree/usr/sbin/policy-rc.d"
  if [ "$status" -ne 0 ]; then
    tail -n 20 "$log"
    echo "check-systemd.sh: the package's dependencies do not install; see $log" >&2
    exit 1
  fi
}

# A fresh copy of the tree; the package itself is installed under systemd.
prepare_run() {
  rm -rf "$run"
  mkdir -p "$run"
  cp -a --reflink=auto "$tree" "$root"
  cp "$deb" "$root/var/tmp/tempusd.deb"
}

# --- the container ---------------------------------------------------------------

# Runs a command inside the container, in a clean environment. nsenter -a
# keeps this machine's capabilities: CAP_SYS_TIME leaves the bounding set
# before anything runs in there, so no command entered can set the clock.
inside() {
  nsenter -t "$init_pid" -a setpriv --bounding-set=-sys_time -- /usr/bin/env -i -C / \
    PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 SYSTEMD_PAGER= SYSTEMD_COLORS=0 "$@"
}

boot() {
  # No D-Bus or machined on the host is needed: not registered, no scope of
  # its own (--keep-unit). The lock stays with this script, not the container.
  systemd-nspawn -D "$root" --machine="$machine" --register=no --keep-unit --private-network \
    --link-journal=no --console=passive -b >"$run/nspawn.log" 2>&1 9>&- &
  nspawn_pid=$!
  echo "$nspawn_pid" >"$run/nspawn.pid"
  for _ in $(seq 100); do
    init_pid=$(ps -o pid= --ppid "$nspawn_pid" | tr -d ' ' | head -n 1) || true
    [ -n "$init_pid" ] && [ "$(cat "/proc/$init_pid/comm" 2>/dev/null)" = systemd ] && break
    init_pid=
    kill -0 "$nspawn_pid" 2>/dev/null || break
    sleep 0.2
  done
  # systemctl cannot reach the manager for the first moments of the boot.
  local state=
  for _ in $(seq 180); do
    [ -n "$init_pid" ] || break
    state=$(inside systemctl is-system-running 2>/dev/null) || true
    case "$state" in running|degraded) break ;; esac
    sleep 0.5
  done
  if [ -z "$init_pid" ] || ! [[ "$state" =~ ^(running|degraded)$ ]]; then
    tail -n 40 "$run/nspawn.log"
    [ -n "$init_pid" ] && inside systemctl --failed --no-legend
    echo "check-systemd.sh: the container did not boot" >&2
    return 1
  fi
  # Bit 25 of the bounding set is CAP_SYS_TIME: with it the units could set
  # the host's clock. Never go on then.
  local bounding
  bounding=$(awk '/^CapBnd:/ {print $2}' "/proc/$init_pid/status")
  if [ $((0x$bounding >> 25 & 1)) -ne 0 ]; then
    echo "check-systemd.sh: the container holds CAP_SYS_TIME (CapBnd $bounding); stopping" >&2
    return 1
  fi
  # Nor may a command entered from here.
  bounding=$(inside awk '/^CapBnd:/ {print $2}' /proc/self/status)
  if [ $((0x$bounding >> 25 & 1)) -ne 0 ]; then
    echo "check-systemd.sh: a command entered in the container holds CAP_SYS_TIME (CapBnd $bounding); stopping" >&2
    return 1
  fi
}

poweroff() {
  [ -n "$nspawn_pid" ] || return 0
  if kill -0 "$nspawn_pid" 2>/dev/null; then
    if [ -n "$init_pid" ]; then inside systemctl poweroff --no-block >/dev/null 2>&1 || true; fi
    for _ in $(seq 60); do
      kill -0 "$nspawn_pid" 2>/dev/null || break
      sleep 0.5
    done
    if kill -0 "$nspawn_pid" 2>/dev/null; then
      echo "check-systemd.sh: the container did not power off; killing it" >&2
      kill -TERM "$nspawn_pid" 2>/dev/null || true
      sleep 5
      kill -KILL "$nspawn_pid" 2>/dev/null || true
    fi
  fi
  wait "$nspawn_pid" 2>/dev/null || true
  nspawn_pid=
  # nspawn leaves this behind where the host's /run is no tmpfs.
  rmdir "/run/systemd/nspawn/propagate/$machine" 2>/dev/null || true
}

# A container a killed run left running (its pid file is in the run folder).
stop_leftover() {
  local pid
  pid=$(cat "$run/nspawn.pid" 2>/dev/null) || return 0
  if tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -qF -- "-D $root "; then
    echo "-- stopping the container a previous run left (pid $pid)"
    # SIGTERM asks nspawn to shut the container down in order.
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 30); do
      kill -0 "$pid" 2>/dev/null || return 0
      sleep 0.5
    done
    kill -KILL "$pid" 2>/dev/null || true
  fi
}

cleanup() {
  poweroff
  rm -rf "$run"
}

# --- helpers of the checks ---------------------------------------------------------

why=
fail() { why="$*"; return 1; }

state_of() { inside systemctl show -P ActiveState "$1"; }

expect_state() { # UNIT STATE
  local now
  now=$(state_of "$1")
  [ "$now" = "$2" ] || fail "$1 is $now/$(inside systemctl show -P SubState "$1"), not $2"
}

# grep reads all of its input (no -q in a pipe): a writer cut short would fail the pipe.
has() { grep -F -- "$1" >/dev/null; }

registry_present() { inside ipcs -s | grep -i "^$registry_key " >/dev/null; }

log_mark() { if [ -f "$dcf_log" ]; then wc -l <"$dcf_log"; else echo 0; fi; }

log_since() { [ -f "$dcf_log" ] && tail -n +"$(($1 + 1))" "$dcf_log"; true; }

wait_log() { # MARK TEXT SECONDS
  local deadline=$((SECONDS + $3))
  until log_since "$1" | has "$2"; do
    [ "$SECONDS" -lt "$deadline" ] || fail "dcf.log: no \"$2\" within $3 s"  || return
    sleep 0.5
  done
}

# The emulator as a transient unit, a new one for each start.
start_emulator() {
  inside systemctl stop check-emu.service >/dev/null 2>&1 || true
  inside rm -f /dev/term/a
  inside mkdir -p /dev/term
  inside systemd-run -q --unit=check-emu --collect --service-type=exec \
    /usr/bin/horolan-emu --link /dev/term/a "$@" || fail "the emulator did not start" || return
  for _ in $(seq 50); do
    inside test -L /dev/term/a && return 0
    sleep 0.1
  done
  fail "the emulator made no /dev/term/a"
}

stop_service() { # UNIT: stopped cleanly, registry and process gone
  inside timeout 30 systemctl stop "$1" || fail "systemctl stop $1 failed" || return
  expect_state "$1" inactive || return
  [ "$(inside systemctl show -P Result "$1")" = success ] || fail "$1: Result=$(inside systemctl show -P Result "$1")" || return
  ! registry_present || fail "the registry ($registry_key) is still there after stopping $1" || return
  ! inside pgrep -x tempusd >/dev/null || fail "a tempusd process is left after stopping $1"
}

# Between checks: nothing of the last one running, no registration left.
reset_container() {
  inside systemctl stop tempusd.service tempusd-wait.service tempusd-refclock.service check-emu.service \
    check-chronyd.service check-fifo.service >/dev/null 2>&1 || true
  inside systemctl reset-failed >/dev/null 2>&1 || true
  if registry_present; then inside /usr/sbin/tempusd /D >/dev/null 2>&1 || true; fi
}

diagnose() { # UNIT...
  local unit
  for unit in "$@"; do
    echo "---- systemctl status $unit"
    inside systemctl status --no-pager -l --lines=0 "$unit" || true
    echo "---- journalctl -u $unit"
    inside journalctl -b -u "$unit" --no-pager -o short-precise | tail -n 40 || true
  done
  echo "---- dcf.log"
  [ -f "$dcf_log" ] && tail -n 30 "$dcf_log"
  echo "---- ipcs -s"
  inside ipcs -s || true
}

status_text=
expect_status() { # UNIT TEXT: the unit's status line, as systemctl status shows it, holds TEXT
  status_text=$(inside systemctl show -P StatusText "$1")
  [[ "$status_text" == *"$2"* ]] || fail "$1's status is \"$status_text\", without \"$2\""
}

expect_query() { # STATUS: what tempusd /Q exits with
  local got=0
  inside /usr/sbin/tempusd /Q >"$run/query.out" 2>&1 || got=$?
  [ "$got" = "$1" ] || fail "tempusd /Q exits $got, not $1: $(tr '\n' ' ' <"$run/query.out")"
}

# --- the checks --------------------------------------------------------------------------

check_install() {
  diag_units=(tempusd.service tempusd-refclock.service)
  inside dpkg -i /var/tmp/tempusd.deb >"$run/dpkg.log" 2>&1 || fail "dpkg -i: $(tail -n 5 "$run/dpkg.log")" || return
  local unit
  for unit in tempusd.service tempusd-refclock.service; do
    expect_state "$unit" inactive || return
    [ "$(inside systemctl is-enabled "$unit")" = disabled ] || fail "$unit is enabled by the installation" || return
  done
  summary="the package installs under systemd; neither unit enabled or started"
}

check_sets_clock() {
  diag_units=(tempusd.service check-emu.service)
  start_emulator || return
  local mark began took
  mark=$(log_mark)
  began=$(date +%s%N)
  inside timeout 200 systemctl start tempusd.service || fail "systemctl start tempusd failed" || return
  took=$((($(date +%s%N) - began) / 1000000))
  [ "$took" -lt 30000 ] || fail "the start took $took ms (waiting for dev-term-a.device?)" || return
  expect_state tempusd.service active || return
  inside pgrep -x tempusd >/dev/null || fail "no tempusd process runs" || return
  registry_present || fail "no registry ($registry_key) while tempusd runs" || return
  log_since "$mark" | has "$TEXT_STARTED" || fail "dcf.log lacks \"$TEXT_STARTED\"" || return
  log_since "$mark" | has "$TEXT_INSTALLED (/C1 /S /T10)." || fail "dcf.log lacks the success line" || return
  # The emulator agrees with the clock: no difference, nothing logged for it.
  ! log_since "$mark" | grep -F -e "$TEXT_SET" -e "$TEXT_NOT_SET" >/dev/null \
    || fail "the cycle logged a correction with the emulator agreeing" || return
  expect_query 0 || return
  expect_status tempusd.service "Ostatnia synchronizacja " || return
  inside journalctl -b -u tempusd.service --no-pager | has "$TEXT_INSTALLED (/C1 /S /T10)." \
    || fail "the journal lacks dcf.log's success line" || return
  stop_service tempusd.service || return
  log_since "$mark" | has "$TEXT_REMOVED" || fail "dcf.log lacks \"$TEXT_REMOVED\"" || return

  # 5 s apart: the correction is tried and refused, as the container cannot
  # set a clock. The unit runs on and /Q says that the clock is not kept.
  start_emulator --offset 5 || return
  mark=$(log_mark)
  inside systemctl start --no-block tempusd.service
  wait_log "$mark" "$TEXT_NOT_SET" 30 || return
  sleep 1
  ! log_since "$mark" | has "$TEXT_SET" || fail "a clock-setting call succeeded in the container" || return
  expect_state tempusd.service active || return
  expect_query 1 || return
  stop_service tempusd.service || return
  ! inside journalctl -b -u tempusd.service --no-pager | has "not our child" \
    || fail "systemd does not supervise tempusd as its own child" || return
  summary="ready after ${took} ms, status \"$status_text\", /Q 0, dcf.log in the journal;"
  summary+=" 5 s apart: \"$TEXT_NOT_SET\", /Q 1; stop removes the registry"
}

check_refclock() {
  diag_units=(tempusd-refclock.service check-chronyd.service check-emu.service chrony.service)
  inside sh -c 'mkdir -p /run/check-chronyd && chown _chrony:_chrony /run/check-chronyd && cat >/run/check-chronyd/chrony.conf' <<'EOF'
cmdport 0
port 0
bindcmdaddress /
pidfile /run/check-chronyd/chronyd.pid
logdir /run/check-chronyd
log refclocks
refclock SOCK /run/chrony.dcf.sock refid DCF poll 2 filter 1
EOF
  # -x: never touches the clock; it drops to _chrony after making the socket.
  inside systemd-run -q --unit=check-chronyd --collect --service-type=exec \
    /usr/sbin/chronyd -x -d -u _chrony -f /run/check-chronyd/chrony.conf || fail "chronyd did not start" || return
  for _ in $(seq 50); do
    inside test -S /run/chrony.dcf.sock && break
    sleep 0.1
  done
  inside test -S /run/chrony.dcf.sock || fail "chronyd made no /run/chrony.dcf.sock" || return
  start_emulator || return
  local mark
  mark=$(log_mark)
  inside timeout 200 systemctl start tempusd-refclock.service || fail "systemctl start tempusd-refclock failed" || return
  expect_state tempusd-refclock.service active || return
  [ "$(state_of chrony.service)" != active ] || fail "chrony.service runs in the container" || return
  log_since "$mark" | has "$TEXT_INSTALLED (/C1 /T1 /N/run/chrony.dcf.sock)." \
    || fail "dcf.log lacks the success line" || return
  wait_log "$mark" "$TEXT_SAMPLE" 15 || return
  expect_query 0 || return
  expect_status tempusd-refclock.service "Ostatnia probka dla serwera NTP " || return
  inside journalctl -b -u tempusd-refclock.service --no-pager | has "$TEXT_SAMPLE" \
    || fail "the journal lacks dcf.log's sample line" || return
  local rows
  rows=$(inside cat /run/check-chronyd/refclocks.log 2>/dev/null | grep -c ' DCF ' || true)
  [ "$rows" -gt 0 ] || fail "chronyd's refclocks.log has no DCF sample" || return
  check_scheduling tempusd-refclock.service || return
  stop_service tempusd-refclock.service || return
  inside systemctl stop check-chronyd.service
  summary="active beside chronyd -x, \"$(log_since "$mark" | grep -F "$TEXT_SAMPLE" | head -n 1 | sed 's/^.*:- //')\"$scheduling"
}

# When the unit asks for a real-time policy, its process must run with it.
scheduling=
check_scheduling() { # UNIT
  local policy priority want pid
  policy=$(inside systemctl show -P CPUSchedulingPolicy "$1")
  case "$policy" in
    1|fifo) want=SCHED_FIFO ;;
    2|rr) want=SCHED_RR ;;
    *) scheduling=; return 0 ;;
  esac
  priority=$(inside systemctl show -P CPUSchedulingPriority "$1")
  pid=$(inside systemctl show -P MainPID "$1")
  inside chrt -p "$pid" | has "policy: $want" || fail "$1 asks for $want, its process $pid: $(inside chrt -p "$pid")" || return
  inside chrt -p "$pid" | grep -E "scheduling priority: $priority\$" >/dev/null ||
    fail "$1 asks for priority $priority, its process $pid: $(inside chrt -p "$pid")" || return
  want="$want $priority"
  # Under it tempusd locks the pages it uses, where the limit allows its
  # mapped size: the unit's LimitMEMLOCK=, unless systemd may not raise the
  # limit (a container without CAP_SYS_RESOURCE keeps its host's).
  local locked limit size
  locked=$(inside awk '/^VmLck:/ {print $2}' "/proc/$pid/status")
  size=$(inside awk '/^VmSize:/ {print $2}' "/proc/$pid/status")
  limit=$(inside awk '/^Max locked memory/ {print int($4 / 1024)}' "/proc/$pid/limits")
  if [ "${limit:-0}" -ge "${size:-0}" ]; then
    [ "${locked:-0}" -gt 0 ] || fail "$1 runs $want with room to lock its $size kB, but locked nothing" || return
    locked="$locked kB"
  else
    locked="none (limit $limit kB, below its $size kB)"
  fi
  scheduling=", $want, memory locked: $locked"
}

# A receiver that never answers at boot: the start's cycle fails after about
# 80 s, and tempusd-wait.service holds time-sync.target (and the timers
# after it) back for its bound only, here shortened by the drop-in the
# documentation tells admins to write.
wait_bound=20
check_silent_receiver() {
  diag_units=(tempusd.service tempusd-wait.service time-sync.target logrotate.timer check-emu.service)
  inside mkdir -p /run/systemd/system/tempusd-wait.service.d
  printf '[Service]\nTimeoutStartSec=%s\n' "$wait_bound" \
    | inside tee /run/systemd/system/tempusd-wait.service.d/bound.conf >/dev/null
  inside systemctl daemon-reload
  # Other checks' starts reached the target; it must wait for this one.
  inside systemctl stop time-sync.target logrotate.timer
  expect_state time-sync.target inactive || return
  start_emulator --silent || return
  local mark began reached
  mark=$(log_mark)
  began=$SECONDS
  inside systemctl start --no-block tempusd.service logrotate.timer
  sleep 3
  expect_state tempusd.service activating || return
  expect_state time-sync.target inactive || return
  expect_state logrotate.timer inactive || return
  until [ "$(state_of time-sync.target)" = active ]; do
    [ $((SECONDS - began)) -lt $((wait_bound + 15)) ] || fail "time-sync.target not reached $((SECONDS - began)) s after the start" || return
    sleep 0.5
  done
  reached=$((SECONDS - began))
  [ "$reached" -ge "$wait_bound" ] || fail "time-sync.target reached after $reached s, before the bound of $wait_bound s" || return
  expect_state logrotate.timer active || return
  [ "$(inside systemctl show -P Result tempusd-wait.service)" = timeout ] \
    || fail "tempusd-wait.service: Result=$(inside systemctl show -P Result tempusd-wait.service)" || return
  wait_log "$mark" "$TEXT_NO_TELEGRAM" 150 || return
  local waited=0
  until [ "$(state_of tempusd.service)" = active ]; do
    [ "$waited" -lt 30 ] || fail "tempusd.service is not active after the start's cycle" || return
    sleep 0.5; waited=$((waited + 1))
  done
  ! log_since "$mark" | has "$TEXT_SET" || fail "a clock-setting call succeeded in the container" || return
  expect_query 1 || return
  inside journalctl -b -u tempusd.service --no-pager | has "$TEXT_NO_TELEGRAM" \
    || fail "the journal lacks dcf.log's \"$TEXT_NO_TELEGRAM\"" || return
  local status
  status=$(inside systemctl show -P StatusText tempusd.service)
  stop_service tempusd.service || return
  inside rm -rf /run/systemd/system/tempusd-wait.service.d
  inside systemctl daemon-reload
  summary="time-sync.target and logrotate.timer after $reached s (bound $wait_bound s), tempusd-wait timed out;"
  summary+=" the start's cycle failed, the unit runs on: \"$status\", /Q 1"
}

# The kernel's OOM killer ends a process with SIGKILL: the unit starts the
# service again, and the registration the killed process left does not
# refuse the new start.
check_restart() {
  diag_units=(tempusd.service check-emu.service)
  start_emulator || return
  inside timeout 200 systemctl start tempusd.service || fail "systemctl start tempusd failed" || return
  local first second began took
  first=$(inside systemctl show -P MainPID tempusd.service)
  [ "$first" != 0 ] || fail "no MainPID" || return
  began=$SECONDS
  inside kill -KILL "$first"
  until second=$(inside systemctl show -P MainPID tempusd.service)
    [ "$second" != 0 ] && [ "$second" != "$first" ] && [ "$(state_of tempusd.service)" = active ]; do
    [ $((SECONDS - began)) -lt 60 ] || fail "no new start within 60 s of the kill ($(state_of tempusd.service))" || return
    sleep 0.5
  done
  took=$((SECONDS - began))
  registry_present || fail "no registry after the new start" || return
  expect_query 0 || return
  local restarts
  restarts=$(inside systemctl show -P NRestarts tempusd.service)
  stop_service tempusd.service || return
  sleep 2
  expect_state tempusd.service inactive || return
  summary="killed process $first, process $second running $took s later (restarts $restarts), /Q 0; stopped: inactive"
}

# --- running them ------------------------------------------------------------------------

passed=0
failed=0
run_check() { # NAME FUNCTION
  summary='' why='' diag_units=()
  reset_container
  if "$2"; then
    echo "ok   $1: $summary"
    passed=$((passed + 1))
  else
    echo "FAIL $1: $why"
    diagnose "${diag_units[@]}"
    failed=$((failed + 1))
  fi
}

mkdir -p "$cache"
exec 9>"$cache/lock"
flock -w 900 9 || { echo "check-systemd.sh: another run holds $cache/lock" >&2; exit 1; }
stop_leftover
build_tree
install_depends
trap cleanup EXIT
trap 'exit 130' INT TERM
prepare_run
started=$SECONDS
boot
echo "-- container up in $((SECONDS - started)) s ($(inside systemctl --version | head -n 1))"
run_check "install" check_install
run_check "tempusd.service" check_sets_clock
run_check "tempusd-refclock.service" check_refclock
run_check "silent receiver" check_silent_receiver
run_check "after a kill" check_restart
echo "systemd: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
