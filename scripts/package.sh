#!/usr/bin/env bash
# Builds the Debian package from this tree (debian/, with debhelper) into
# build-deb/: tempusd_<version>_<arch>.deb, with the source package and the
# .changes that lintian reads. The tree itself stays clean: the build runs in
# a copy under build-deb/src/.
#
# Usage: bash scripts/package.sh
set -euo pipefail
cd "$(dirname "$0")/.."

. scripts/require-packages.sh
require_packages build-essential debhelper cmake pkg-config libsystemd-dev

out=$PWD/build-deb
version=$(dpkg-parsechangelog -S Version)
src=$out/src/tempusd-$version
rm -rf "$out"
mkdir -p "$src"
# Every file git knows or would add, so uncommitted work is packaged too.
git ls-files -z --cached --others --exclude-standard | tar --null -T - --ignore-failed-read -cf - | tar -xf - -C "$src"

log=$out/build.log
if ! (cd "$src" && DEB_BUILD_OPTIONS="parallel=2 noautodbgsym ${DEB_BUILD_OPTIONS:-}" dpkg-buildpackage -us -uc) >"$log" 2>&1; then
  tail -n 30 "$log"
  echo "package.sh: the package did not build; see $log" >&2
  exit 1
fi
mv "$out"/src/*.deb "$out"/src/*.changes "$out"/src/*.dsc "$out"/src/*.tar.* "$out"/src/*.buildinfo "$out"/
ls "$out"/*.deb
