#!/bin/bash
# Installs the build into temporary folders and checks what lands where: the binaries, the
# systemd unit (accepted by systemd-analyze) and its tmpfiles.d line, the man pages, the
# settings and their sample, the interface descriptions; that an edited usb.ini survives a
# second installation; and the packaging layout (prefix /usr below DESTDIR), where the settings
# go to etc beside usr.
#
#   test_install.sh BUILD_DIR SOURCE_DIR
set -euo pipefail

build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
tmp=$(mktemp -d /tmp/veltrano-install.XXXXXX)
trap 'rm -rf "$tmp"' EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

same() {
    [ -f "$2" ] || fail "missing $2"
    cmp -s "$1" "$2" || fail "$2 differs from $1"
}

# A private mount namespace in which the machine's own folders are read-only, so that an
# installation going astray fails instead of changing the machine.
sealed() {
    unshare -m bash -c '
        set -e
        mount --make-rprivate /
        for dir in /etc /usr /var /opt; do
            if [ -d "$dir" ]; then
                mount --bind "$dir" "$dir"
                mount -o remount,bind,ro "$dir"
            fi
        done
        exec "$@"' sealed "$@"
}

install_into() {
    local prefix=$1 log=$2 installed
    sealed cmake --install "$build" --prefix "$prefix" >"$log" 2>&1 || { cat "$log"; fail "install into $prefix"; }
    # The manifest names the files without DESTDIR.
    while read -r installed; do
        installed=${DESTDIR:-}$installed
        case $installed in
            "$tmp"/*) [ -f "$installed" ] || fail "listed but not installed: $installed" ;;
            *) fail "installed outside the temporary folder: $installed" ;;
        esac
    done <"$build/install_manifest.txt"
}

# --- A custom prefix: everything below it, etc included.
prefix=$tmp/prefix
install_into "$prefix" "$tmp/first.log"

[ -x "$prefix/sbin/veltrano-usb" ] || fail "missing sbin/veltrano-usb"
[ -x "$prefix/bin/veltrano-core-sim" ] || fail "missing bin/veltrano-core-sim"
same "$source/dist/veltrano-usb.8" "$prefix/share/man/man8/veltrano-usb.8"
same "$source/dist/usb.ini" "$prefix/etc/Veltrano/usb.ini"
same "$source/dist/usb.ini" "$prefix/share/doc/veltrano-usb/usb.ini.sample"
same "$source/dist/veltrano-usb.tmpfiles" "$prefix/lib/tmpfiles.d/veltrano-usb.conf"
xmls=("$source"/dbus/*.xml)
[ ${#xmls[@]} -eq 6 ] || fail "expected six interface descriptions, found ${#xmls[@]}"
for xml in "${xmls[@]}"; do
    same "$xml" "$prefix/share/dbus-1/interfaces/$(basename "$xml")"
done

# The man pages read cleanly and their NAME lines feed whatis.
for page in man8/veltrano-usb.8 man1/veltrano-usbctl.1 man1/veltrano-core-sim.1; do
    warnings=$(groff -man -ww -z "$prefix/share/man/$page" 2>&1)
    [ -z "$warnings" ] || fail "man page $page: $warnings"
    lexgrog "$prefix/share/man/$page" >/dev/null || fail "man page $page: no parsable NAME section"
done

# The unit starts the binary of this installation, and systemd takes it as it is; with the
# installed man pages on MANPATH, its Documentation= line is checked too.
unit=$prefix/lib/systemd/system/veltrano-usb.service
[ -f "$unit" ] || fail "missing lib/systemd/system/veltrano-usb.service"
grep -qx "ExecStart=$prefix/sbin/veltrano-usb" "$unit" || fail "ExecStart: $(grep ExecStart= "$unit")"
export MANPATH=$prefix/share/man
if ! verdict=$(systemd-analyze verify "$unit" 2>&1) || [ -n "$verdict" ]; then
    fail "systemd-analyze verify: $verdict"
fi
# It does look at ExecStart: without the binary the same unit is refused.
mv "$prefix/sbin/veltrano-usb" "$tmp/veltrano-usb.moved"
if systemd-analyze verify "$unit" >/dev/null 2>&1; then
    fail "systemd-analyze verify accepted a unit whose ExecStart is missing"
fi
mv "$tmp/veltrano-usb.moved" "$prefix/sbin/veltrano-usb"

# --- A second installation keeps the edited settings and refreshes everything else.
sed -i 's/^Display_Message=0$/Display_Message=1/' "$prefix/etc/Veltrano/usb.ini"
echo "; edited on the machine" >>"$prefix/etc/Veltrano/usb.ini"
cp "$prefix/etc/Veltrano/usb.ini" "$tmp/edited.ini"
echo "stale" >"$prefix/share/doc/veltrano-usb/usb.ini.sample"
install_into "$prefix" "$tmp/second.log"
same "$tmp/edited.ini" "$prefix/etc/Veltrano/usb.ini"
grep -q "Keeping: $prefix/etc/Veltrano/usb.ini" "$tmp/second.log" || fail "no word about the kept usb.ini"
same "$source/dist/usb.ini" "$prefix/share/doc/veltrano-usb/usb.ini.sample"

# --- The packaging layout: prefix /usr staged below DESTDIR. The settings go to /etc, and an
# existing usb.ini there (below DESTDIR) is kept.
stage=$tmp/stage
mkdir -p "$stage/etc/Veltrano"
echo "[SETUP_GENERAL]" >"$stage/etc/Veltrano/usb.ini"
cp "$stage/etc/Veltrano/usb.ini" "$tmp/staged.ini"
DESTDIR=$stage install_into /usr "$tmp/staged.log"
[ -x "$stage/usr/sbin/veltrano-usb" ] || fail "missing usr/sbin/veltrano-usb below DESTDIR"
grep -qx "ExecStart=/usr/sbin/veltrano-usb" "$stage/usr/lib/systemd/system/veltrano-usb.service" \
    || fail "staged unit: $(grep ExecStart= "$stage/usr/lib/systemd/system/veltrano-usb.service")"
same "$tmp/staged.ini" "$stage/etc/Veltrano/usb.ini"
[ ! -e "$stage/usr/etc" ] || fail "settings installed to usr/etc"
same "$source/dist/usb.ini" "$stage/usr/share/doc/veltrano-usb/usb.ini.sample"

echo "install layout: all checks passed"
