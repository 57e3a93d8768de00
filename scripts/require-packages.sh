# Sourced by the project's scripts: require_packages PKG... installs the Debian
# packages that are missing (as root), or prints the line to run and exits.
#
# No service may start while installing: chrony's package would otherwise
# start a chronyd that controls the machine's clock. A policy-rc.d that
# refuses every start (exit 101) is put in place for the install, unless one
# is there already, and taken away afterwards; chrony's unit is then disabled
# so that a later boot does not start it either. The tests run their own
# chronyd, unprivileged and with -x.
require_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages. Run as root first:"
    echo "  apt-get update && apt-get install -y ${missing[*]}"
    exit 1
  fi
  echo "== installing ${missing[*]} (service starts refused)"
  local policy=/usr/sbin/policy-rc.d own_policy=0 status=0
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\n# Put here by require-packages.sh for one install.\nexit 101\n' >"$policy"
    chmod 755 "$policy"
    own_policy=1
  fi
  apt-get update -qq || status=$?
  if [ "$status" -eq 0 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null || status=$?
  fi
  [ "$own_policy" -eq 1 ] && rm -f "$policy"
  [ "$status" -eq 0 ] || exit "$status"
  for p in "${missing[@]}"; do
    if [ "$p" = chrony ] && command -v systemctl >/dev/null; then
      systemctl disable chrony.service >/dev/null 2>&1 || true
    fi
  done
}
