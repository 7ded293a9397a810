#!/bin/bash
# The two Debian packages of this build, made with one cpack run and handled by the machine's own
# dpkg in a private mount namespace whose /etc, /usr, /var and /run are overlays (the machine's
# files and package database stay as they are): they install with the conffile, the log folder
# and deb-systemd-helper's records; an upgrade over themselves keeps an edited usb.ini, an
# enablement and the family's own log folder; a purge leaves nothing of theirs behind; and the
# maintainer scripts work on DPKG_ROOT instead of / when dpkg installs into another root.
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
service=$(ls "$tmp"/pack/veltrano-usb_*_*.deb)
tools=$(ls "$tmp"/pack/veltrano-usb-tools_*_*.deb)
[ "$(ls "$tmp"/pack/*.deb | wc -l)" -eq 2 ] || { ls "$tmp"/pack; exit 1; }
echo "packages: $(basename "$service") $(basename "$tools")"

mkdir -p "$tmp/root"
unshare -m bash -s "$tmp/root" "$service" "$tools" <<'INNER'
set -euo pipefail
root=$1
service=$2
tools=$3
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
status() {
    dpkg-query ${2:+--admindir="$2/var/lib/dpkg"} -W -f='${db:Status-Status}' "$1" 2>/dev/null || true
}
mount --make-rprivate /
for dir in etc usr var; do
    mkdir -p "$root/$dir" "$root/.work-$dir"
    mount -t overlay overlay -o "lowerdir=/$dir,upperdir=$root/$dir,workdir=$root/.work-$dir" "/$dir"
done
# No systemd in here: the scripts skip what needs a running one.
mount -t tmpfs tmpfs /run
# A machine that ran the service has its own settings, logs and records: the packages meet none
# of them. Removing them from the overlays leaves the machine's files as they are.
[ "$(findmnt -n -o FSTYPE /etc)" = overlay ] && [ "$(findmnt -n -o FSTYPE /var)" = overlay ] || fail "no overlay"
wants=/etc/systemd/system/multi-user.target.wants/veltrano-usb.service
records=/var/lib/systemd/deb-systemd-helper-enabled
rm -rf /etc/Veltrano /var/log/Veltrano "$wants" "$records"/veltrano-usb.service.dsh-also \
    "$records"/multi-user.target.wants/veltrano-usb.service

# Everything each package ships, as dpkg lists it, with the folders it alone owns.
service_files=(/usr/sbin/veltrano-usb /usr/bin/veltrano-usbctl
               /usr/lib/systemd/system/veltrano-usb.service /usr/lib/tmpfiles.d/veltrano-usb.conf
               /etc/Veltrano/usb.ini /usr/share/man/man8/veltrano-usb.8.gz
               /usr/share/man/man1/veltrano-usbctl.1.gz /usr/share/doc/veltrano-usb/usb.ini.sample
               /usr/share/doc/veltrano-usb/copyright /usr/share/doc/veltrano-usb/changelog.gz
               /usr/share/dbus-1/interfaces/com.Quorvik.Veltrano.Runtime.xml)
tools_files=(/usr/bin/veltrano-core-sim /usr/share/man/man1/veltrano-core-sim.1.gz
             /usr/share/doc/veltrano-usb-tools/copyright /usr/share/doc/veltrano-usb-tools/changelog.gz)

# --- Installation: each file in its package; the log folder made; the unit not enabled, but
# recorded, so that a purge can undo an enablement made later.
dpkg -i "$service" "$tools" >/dev/null
for package in veltrano-usb veltrano-usb-tools; do
    [ "$(status $package)" = installed ] || fail "$package not installed"
done
for file in "${service_files[@]}"; do
    [ "$(dpkg -S "$file" | cut -d: -f1)" = veltrano-usb ] || fail "not from veltrano-usb: $file"
    [ -f "$file" ] || fail "missing after install: $file"
done
for file in "${tools_files[@]}"; do
    [ "$(dpkg -S "$file" | cut -d: -f1)" = veltrano-usb-tools ] || fail "not from veltrano-usb-tools: $file"
    [ -f "$file" ] || fail "missing after install: $file"
done
dpkg-query -W -f='${Conffiles}\n' veltrano-usb | grep -q '^ /etc/Veltrano/usb.ini ' || fail "usb.ini is not a conffile"
/usr/sbin/veltrano-usb --version | grep -q '^veltrano-usb ' || fail "installed daemon does not run"
[ "$(stat -c '%U:%G %a' /var/log/Veltrano)" = "root:root 755" ] || fail "log folder: $(stat -c '%U:%G %a' /var/log/Veltrano)"
grep -qx "$wants" "$records/veltrano-usb.service.dsh-also" || fail "no record of the unit's symlink"
[ ! -e "$wants" ] || fail "the installation enabled the unit"

# --- Upgrade over itself, after an integrator enabled the unit, edited usb.ini and handed the
# log folder to the family.
systemctl --root=/ --quiet enable veltrano-usb.service
[ -L "$wants" ] || fail "systemctl enable made no symlink"
echo "Use_Session_Bus=0 # edited on the board" >>/etc/Veltrano/usb.ini
chown nobody:nogroup /var/log/Veltrano
chmod 0770 /var/log/Veltrano
dpkg -i "$service" "$tools" >/dev/null </dev/null
for package in veltrano-usb veltrano-usb-tools; do
    [ "$(status $package)" = installed ] || fail "$package not installed after the upgrade"
done
grep -q 'edited on the board' /etc/Veltrano/usb.ini || fail "the upgrade replaced the edited usb.ini"
[ "$(stat -c '%U:%G %a' /var/log/Veltrano)" = "nobody:nogroup 770" ] || fail "log folder re-owned: $(stat -c '%U:%G %a' /var/log/Veltrano)"
[ -L "$wants" ] || fail "the upgrade disabled the unit"

# --- Purge: the packages' files, the service's logs and the enablement go; the family's log
# folder and its other files stay.
echo line >/var/log/Veltrano/usb.log
echo line >/var/log/Veltrano/usb.log.1
echo line >/var/log/Veltrano/core.log
dpkg --purge veltrano-usb veltrano-usb-tools >/dev/null
for package in veltrano-usb veltrano-usb-tools; do
    case $(status $package) in "" | not-installed) ;; *) fail "$package still known to dpkg" ;; esac
done
for file in "${service_files[@]}" "${tools_files[@]}" /var/log/Veltrano/usb.log /var/log/Veltrano/usb.log.1 \
    "$wants" "$records/veltrano-usb.service.dsh-also" "$records/multi-user.target.wants/veltrano-usb.service"; do
    [ ! -e "$file" ] && [ ! -L "$file" ] || fail "left after purge: $file"
done
for dir in /etc/Veltrano /usr/share/doc/veltrano-usb /usr/share/doc/veltrano-usb-tools; do
    [ ! -e "$dir" ] || fail "left after purge: $dir"
done
[ -f /var/log/Veltrano/core.log ] || fail "the purge took the family's log folder"

# --- Another root (DPKG_ROOT): the scripts make the log folder and their records there, not here.
other=$root/other
mkdir -p "$other/var/lib/dpkg/info" "$other/var/lib/dpkg/updates"
touch "$other/var/lib/dpkg/status"
# Its package database is empty: the dependencies are there, but unknown to it.
dpkg --root="$other" --force-script-chrootless --force-depends -i "$service" >"$root/other.log" 2>&1 ||
    { cat "$root/other.log"; fail "install into DPKG_ROOT"; }
[ "$(status veltrano-usb "$other")" = installed ] || fail "not installed into DPKG_ROOT"
[ -d "$other/var/log/Veltrano" ] || fail "no log folder below DPKG_ROOT"
[ -f "$other$records/veltrano-usb.service.dsh-also" ] || fail "no record below DPKG_ROOT"
[ ! -e "$records/veltrano-usb.service.dsh-also" ] || fail "record made outside DPKG_ROOT"
dpkg --root="$other" --force-script-chrootless --purge veltrano-usb >/dev/null
[ ! -e "$other$records/veltrano-usb.service.dsh-also" ] || fail "record left below DPKG_ROOT"
echo "installed both packages, upgraded them over themselves keeping usb.ini, the enablement and the log folder, purged; DPKG_ROOT honoured"
INNER
