#!/bin/bash
# The Debian package of this build, made with cpack and handled by the machine's own dpkg in a
# private mount namespace whose /etc, /usr, /var and /run are overlays (the machine's files and
# package database stay as they are): it installs with its conffile, upgrades over itself
# keeping an edited usb.ini, and purges without leaving a file of its own behind.
#
#   test_package.sh BUILD_DIR
set -euo pipefail

build=$(cd "$1" && pwd)
tmp=$(mktemp -d /tmp/veltrano-package.XXXXXX)
trap 'rm -rf "$tmp"' EXIT

cpack -G DEB -B "$tmp/pack" --config "$build/CPackConfig.cmake" >"$tmp/cpack.log" || {
    cat "$tmp/cpack.log"
    exit 1
}
deb=$(ls "$tmp"/pack/veltrano-usb_*_*.deb)
echo "package: $(basename "$deb")"

mkdir -p "$tmp/root"
unshare -m bash -s "$tmp/root" "$deb" <<'INNER'
set -euo pipefail
root=$1
deb=$2
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
mount --make-rprivate /
for dir in etc usr var; do
    mkdir -p "$root/$dir" "$root/.work-$dir"
    mount -t overlay overlay -o "lowerdir=/$dir,upperdir=$root/$dir,workdir=$root/.work-$dir" "/$dir"
done
# No systemd to reload from in here.
mount -t tmpfs tmpfs /run
# A machine that ran the service has its own settings and logs: the package meets none of
# them. Removing them from the overlays leaves the machine's files as they are.
[ "$(findmnt -n -o FSTYPE /etc)" = overlay ] && [ "$(findmnt -n -o FSTYPE /var)" = overlay ] || fail "no overlay"
rm -rf /etc/Veltrano /var/log/Veltrano

# Everything the package ships, as dpkg lists it, with the folders it alone owns.
files=(/usr/sbin/veltrano-usb /usr/bin/veltrano-usbctl /usr/bin/veltrano-core-sim
       /usr/lib/systemd/system/veltrano-usb.service /etc/Veltrano/usb.ini
       /usr/share/man/man8/veltrano-usb.8.gz /usr/share/man/man1/veltrano-usbctl.1.gz
       /usr/share/man/man1/veltrano-core-sim.1.gz /usr/share/doc/veltrano-usb/usb.ini.sample
       /usr/share/doc/veltrano-usb/copyright /usr/share/doc/veltrano-usb/changelog.gz
       /usr/share/dbus-1/interfaces/com.Quorvik.Veltrano.Runtime.xml)

dpkg -i "$deb" >/dev/null
[ "$(dpkg-query -W -f='${db:Status-Status}' veltrano-usb)" = installed ] || fail "not installed"
for file in "${files[@]}"; do
    [ -f "$file" ] || fail "missing after install: $file"
done
dpkg-query -W -f='${Conffiles}\n' veltrano-usb | grep -q '^ /etc/Veltrano/usb.ini ' || fail "usb.ini is not a conffile"
/usr/sbin/veltrano-usb --version | grep -q '^veltrano-usb ' || fail "installed daemon does not run"

echo "Use_Session_Bus=0 # edited on the board" >>/etc/Veltrano/usb.ini
dpkg -i "$deb" >/dev/null </dev/null
[ "$(dpkg-query -W -f='${db:Status-Status}' veltrano-usb)" = installed ] || fail "not installed after upgrade"
grep -q 'edited on the board' /etc/Veltrano/usb.ini || fail "the upgrade replaced the edited usb.ini"

mkdir -p /var/log/Veltrano
echo line >/var/log/Veltrano/usb.log
echo line >/var/log/Veltrano/usb.log.1
dpkg --purge veltrano-usb >/dev/null
[ -z "$(dpkg-query -W -f='${db:Status-Status}' veltrano-usb 2>/dev/null)" ] \
    || [ "$(dpkg-query -W -f='${db:Status-Status}' veltrano-usb)" = not-installed ] || fail "still known to dpkg"
for file in "${files[@]}" /var/log/Veltrano/usb.log /var/log/Veltrano/usb.log.1; do
    [ ! -e "$file" ] || fail "left after purge: $file"
done
for dir in /etc/Veltrano /usr/share/doc/veltrano-usb /var/log/Veltrano; do
    [ ! -e "$dir" ] || fail "left after purge: $dir"
done
echo "installed, upgraded over itself keeping usb.ini, purged"
INNER
