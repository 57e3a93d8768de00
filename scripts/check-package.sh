#!/usr/bin/env bash
# Checks the Debian package scripts/package.sh built, never installing it (its
# service would set this machine's clock): the file list, lintian over the
# package and its source, and from the package unpacked with dpkg -x the
# units (systemd-analyze verify), the logrotate file (logrotate -d) and the
# man pages (groff).
#
# Usage: bash scripts/check-package.sh [build-deb/tempusd_VERSION_ARCH.changes]
set -euo pipefail
cd "$(dirname "$0")/.."

. scripts/require-packages.sh
require_packages lintian logrotate groff-base systemd

changes=${1:-$(ls build-deb/tempusd_*.changes)}
deb=$(dirname "$changes")/$(awk '/^Files:/ {f = 1; next} f && /\.deb$/ {print $5}' "$changes")
unpacked=$(mktemp -d /tmp/tempusd-deb.XXXXXX)
trap 'rm -rf "$unpacked"' EXIT
failed=0
fail() { echo "FAILED: $*"; failed=1; }

echo "-- file list of $deb"
listing=$(dpkg-deb -c "$deb")
for entry in \
    '-rwxr-xr-x ./usr/sbin/tempusd' \
    '-rwxr-xr-x ./usr/sbin/ex_tikora' \
    '-rwxr-xr-x ./usr/bin/horolan-emu' \
    '-rwxr-xr-x ./usr/bin/horolan-check' \
    '-rwxr-xr-x ./usr/bin/tempusd-report' \
    '-rwxr-xr-x ./usr/sbin/tempusd-setup' \
    '-rw-r--r-- ./usr/share/man/man8/tempusd.8.gz' \
    '-rw-r--r-- ./usr/share/man/man8/ex_tikora.8.gz' \
    '-rw-r--r-- ./usr/share/man/man1/horolan-emu.1.gz' \
    '-rw-r--r-- ./usr/share/man/man1/horolan-check.1.gz' \
    '-rw-r--r-- ./usr/share/man/man1/tempusd-report.1.gz' \
    '-rw-r--r-- ./usr/share/man/man8/tempusd-setup.8.gz' \
    '-rw-r--r-- ./lib/systemd/system/tempusd.service' \
    '-rw-r--r-- ./lib/systemd/system/tempusd-refclock.service' \
    '-rw-r--r-- ./lib/systemd/system/tempusd-wait.service' \
    '-rw-r--r-- ./etc/logrotate.d/tempusd' \
    '-rw-r--r-- ./usr/share/doc/tempusd/examples/99-horolan.rules' \
    '-rw-r--r-- ./usr/share/doc/tempusd/copyright' \
    '-rw-r--r-- ./usr/share/doc/tempusd/changelog.gz' \
    'drwxr-xr-x ./var/log/tempusd/'; do
  awk '{print $1, $6}' <<<"$listing" | grep -qxF -- "$entry" || fail "not in the package: $entry"
done
dpkg-deb -f "$deb" Depends | grep -q libc6 || fail "no shared-library dependencies"
dpkg-deb -f "$deb" Depends | grep -q python3-matplotlib || fail "tempusd-report's matplotlib not a dependency"

echo "-- lintian"
status=0
tags=$(lintian --fail-on error "$changes" 2>&1) || status=$?
grep -v 'running with root privileges' <<<"$tags" || true
[ "$status" -eq 0 ] || fail "lintian reports errors"

dpkg -x "$deb" "$unpacked/root"

echo "-- tempusd-setup --help"
# The script as unpacked, by the interpreter it names (nothing is probed).
"$unpacked/root/usr/sbin/tempusd-setup" --help >/dev/null || fail "tempusd-setup does not start"

echo "-- systemd-analyze verify"
# verify --root wants a whole system under the root; so the units are checked
# in place of the installed ones, their program path pointed at the unpacked
# one, and any complaint (verify itself exits 0 on most) counts.
mkdir "$unpacked/units"
for unit in "$unpacked"/root/lib/systemd/system/*.service; do
  sed "s|/usr/sbin/tempusd|$unpacked/root/usr/sbin/tempusd|g" "$unit" >"$unpacked/units/${unit##*/}"
done
complaints=$(MANPATH=$unpacked/root/usr/share/man systemd-analyze verify "$unpacked"/units/*.service 2>&1) \
  || fail "systemd-analyze verify failed"
[ -z "$complaints" ] || fail "systemd-analyze verify: $complaints"

echo "-- logrotate -d"
rotation=$(logrotate -d -s "$unpacked/logrotate.state" "$unpacked/root/etc/logrotate.d/tempusd" 2>&1) \
  || fail "logrotate refuses the file: $rotation"
grep -q 'rotating pattern: /var/log/tempusd/dcf.log' <<<"$rotation" || fail "logrotate: $rotation"
grep -qi 'error' <<<"$rotation" && fail "logrotate: $rotation"

# The chrony line shown beside the refclock unit is the one the README and tempusd(8) give.
chrony_line=$(sed -n 's/^#   \(refclock SOCK .*\)$/\1/p' "$unpacked"/units/tempusd-refclock.service)
grep -qxF "    $chrony_line" README.md || fail "tempusd-refclock.service shows \"$chrony_line\", not the README's chrony line"

echo "-- groff -man -ww -z"
for page in "$unpacked"/root/usr/share/man/man*/*.gz; do
  warnings=$(zcat "$page" | groff -man -ww -z 2>&1)
  [ -z "$warnings" ] || fail "${page##*/}: $warnings"
done

[ "$failed" -eq 0 ] && echo "package: files, lintian, units, log rotation and man pages in order"
exit "$failed"
