#!/bin/sh
# Runs in the guest before systemd (from scripts/vm/init, this run's disk
# mounted on /run/vm): installs the package of this run and sets this boot
# up as an administrator would, following the README; vm.boot= on the
# kernel's command line names the boot.
set -eu
seed=/run/vm
boot=$(sed -n 's/.*vm\.boot=\([a-z]*\).*/\1/p' /proc/cmdline)

# No service may start while installing.
printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
chmod 755 /usr/sbin/policy-rc.d
dpkg -i "$seed/tempusd.deb"
rm /usr/sbin/policy-rc.d
for unit in tempusd.service tempusd-refclock.service; do
  echo "$unit $(systemctl is-enabled "$unit" || true)"
done >/var/log/vm-installed

cp "$seed/vm-agent.service" "$seed/vm-clock.service" /etc/systemd/system/
systemctl enable vm-agent.service vm-clock.service

# The receiver's rule: the package's example, the matching line uncommented.
# The setup boots start from the package alone, as a new user does.
if [ "${boot#setup}" = "$boot" ]; then
  sed -n 's/^#\(SUBSYSTEM=="tty", KERNEL=="ttyS0".*\)/\1/p' /usr/share/doc/tempusd/examples/99-horolan.rules |
    sed 's/ttyS0/ttyS1/' >/etc/udev/rules.d/99-horolan.rules
fi

case "$boot" in
  clock)
    systemctl enable tempusd.service
    ;;
  silent)
    systemctl enable tempusd.service
    mkdir -p /etc/systemd/system/tempusd-wait.service.d
    cp "$seed/tempusd-wait-30s.conf" /etc/systemd/system/tempusd-wait.service.d/
    ;;
  refclock)
    # A machine that kept its clock with tempusd.service before, turned over
    # to chronyd as the README tells: chrony.conf's line, the poll matched to
    # the emulator's fast pace (a telegram every 4 s instead of every
    # minute), tempusd.service disabled, chrony and the refclock enabled.
    systemctl enable tempusd.service
    echo 'refclock SOCK /run/chrony.dcf.sock refid DCF poll 2 filter 1 precision 1e-3 offset 0.0' \
      >>/etc/chrony/chrony.conf
    systemctl disable tempusd.service
    systemctl enable chrony.service tempusd-refclock.service
    ;;
  setupchrony)
    # chrony as its package leaves it: enabled, running without sources.
    systemctl enable chrony.service
    ;;
esac
