#!/bin/bash
# The shipped programs carry Debian's hardening: PIE, stack protector, fortified calls, full
# RELRO and BIND_NOW, as hardening-check (devscripts) reads them from the binaries. Control-flow
# protection (-fcf-protection) is not among Debian 12's default flags, so it is not asked for.
#   test_hardening.sh BIN_DIR [hardening-check options...]
set -euo pipefail
bin=$1
shift
hardening-check --nocfprotection "$@" "$bin/veltrano-usb" "$bin/veltrano-core-sim"
# veltrano-usbctl is built with the same flags, but the compiler proves the bounds of each of its
# few fortifiable calls (memcpy, memmove, read), so none needs a checked variant and
# hardening-check would read "only unprotected functions found".
hardening-check --nocfprotection --nofortify "$@" "$bin/veltrano-usbctl"
