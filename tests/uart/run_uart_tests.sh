#!/usr/bin/env bash
# The library through the kernel's real 8250 serial driver: uart_guest runs in
# a small QEMU machine (software CPU) whose only UART is served by velsim on
# the host, and uart_rig.py checks QEMU's trace of the UART's registers: line
# settings and divisor, the bytes sent against the expected frames and against
# velsim's decoded frames, the RTS-low windows of the A-series protocol with
# their pauses, DTR and RTS on open and close, the data read back and the
# time-out of a silent controller.
#
# usage: tests/uart/run_uart_tests.sh [BUILD_DIR]     (default: build)
#
# Needs qemu-system-x86_64, python3, dpkg-deb and apt-get (Debian or Ubuntu,
# x86_64) and a build with bin/uart_guest. The first run downloads a Debian
# cloud kernel and busybox-static with `apt-get download` into
# BUILD_DIR/uart-cache (unpacked there, never installed); later runs work
# offline from that cache.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:-$here/../../build}" && pwd)"
cache="$build/uart-cache"
work="$build/uart-work"

die() {
  echo "run_uart_tests.sh: $*" >&2
  exit 1
}

[[ "$(uname -m)" == x86_64 ]] || die "needs an x86_64 host (the guest runs this host's libraries)"
for tool in qemu-system-x86_64 python3 dpkg-deb apt-get ldd; do
  command -v "$tool" >/dev/null || die "$tool not found (apt-get install qemu-system-x86 python3)"
done
for f in bin/uart_guest bin/velsim lib/libveldrv.so.1; do
  [[ -e "$build/$f" ]] || die "$build/$f missing: build first (cmake --preset default && cmake --build --preset default)"
done

# The virtio modules the guest's console needs, with what they depend on
# (from each module's "depends=" field), in load order.
module_order() {
  local dir="$1" name dep
  declare -A seen=()
  visit() {
    local file deps
    [[ -n "${seen[$1]:-}" ]] && return
    seen[$1]=1
    file="$(find "$dir" -name "$1.ko" -print -quit)"
    [[ -n "$file" ]] || die "kernel module $1 not found in the kernel package"
    deps="$(tr '\0' '\n' <"$file" | sed -n 's/^depends=//p' | tr ',' ' ')"
    for dep in $deps; do visit "$dep"; done
    echo "$file"
  }
  for name in virtio_pci virtio_console; do visit "$name"; done
}

# Which cloud kernel the Debian archive offers now: the metapackage's dependency.
kernel_package() {
  apt-cache depends linux-image-cloud-amd64 2>/dev/null |
    sed -n 's/^ *Depends: \(linux-image-[^ ]*-cloud-amd64\)$/\1/p' | head -n 1
}

fetch() {
  local tmp="$cache.tmp" kpkg log
  rm -rf "$tmp"
  mkdir -p "$tmp/debs"
  log="$tmp/fetch.log"
  echo "=== fetching the guest's kernel and busybox (once, into $cache)"
  kpkg="$(kernel_package)"
  if [[ -z "$kpkg" ]] || ! (cd "$tmp/debs" && apt-get download busybox-static "$kpkg-unsigned") >>"$log" 2>&1; then
    # Package lists missing or out of date.
    apt-get update -qq >>"$log" 2>&1 || die "apt-get update failed (see $log)"
    kpkg="$(kernel_package)"
    [[ -n "$kpkg" ]] || die "no linux-image-cloud-amd64 in the package lists"
    (cd "$tmp/debs" && apt-get download busybox-static "$kpkg-unsigned") >>"$log" 2>&1 ||
      die "apt-get download failed (see $log)"
  fi
  for deb in "$tmp"/debs/*.deb; do dpkg-deb -x "$deb" "$tmp/unpacked"; done
  mkdir -p "$tmp/modules"
  cp "$tmp"/unpacked/boot/vmlinuz-* "$tmp/vmlinuz"
  cp "$tmp/unpacked/bin/busybox" "$tmp/busybox"
  module_order "$tmp/unpacked/lib/modules" | while read -r m; do
    cp "$m" "$tmp/modules/"
    basename "$m" >>"$tmp/modules/order"
  done
  (cd "$tmp/debs" && ls) >"$tmp/packages"
  rm -rf "$tmp/debs" "$tmp/unpacked"
  rm -rf "$cache"
  mv "$tmp" "$cache"
}

if [[ ! -s "$cache/vmlinuz" || ! -s "$cache/busybox" || ! -s "$cache/modules/order" ]]; then
  fetch
fi
echo "=== guest: $(tr '\n' ' ' <"$cache/packages")"

# The initramfs: busybox, the virtio modules, an init script, uart_guest and
# the shared libraries it needs at the paths ldd finds them (libveldrv.so.1
# of this build included).
rm -rf "$work"
mkdir -p "$work/root"/{bin,dev,proc,sys,lib/modules}
root="$work/root"
cp "$cache/busybox" "$root/bin/busybox"
cp "$cache"/modules/*.ko "$cache/modules/order" "$root/lib/modules/"
cp "$build/bin/uart_guest" "$root/bin/uart_guest"
ldd "$build/bin/uart_guest" | sed -n 's/.*=> \(\/[^ ]*\) .*/\1/p; s/^[[:space:]]*\(\/[^ ]*\) (.*/\1/p' |
  while read -r lib; do
    mkdir -p "$root$(dirname "$lib")"
    cp -L "$lib" "$root$lib"
  done
[[ -e "$root$build/lib/libveldrv.so.1" ]] || die "ldd does not resolve libveldrv.so.1 to $build/lib"

cat >"$root/init" <<'EOF'
#!/bin/busybox sh
# The kernel passes UART_FAMILY (fx or a) from its command line.
/bin/busybox --install -s /bin
mount -t devtmpfs dev /dev
mount -t proc proc /proc
for m in $(cat /lib/modules/order); do insmod "/lib/modules/$m"; done
i=0
while [ ! -e /dev/hvc0 ] && [ $i -lt 200 ]; do sleep 0.05; i=$((i + 1)); done
exec >/dev/hvc0 2>&1
# The guest's ttyS0 is the UART under test; name it explicitly.
VELDRV_COM1=/dev/ttyS0 /bin/uart_guest --family "$UART_FAMILY" --mark-port 0x3f8
echo "uart_guest exit $?"
poweroff -f
EOF
chmod +x "$root/init"
(cd "$root" && find . | "$cache/busybox" cpio -o -H newc 2>/dev/null) >"$work/initramfs.cpio"

python3 "$here/uart_rig.py" --kernel "$cache/vmlinuz" --initramfs "$work/initramfs.cpio" \
  --velsim "$build/bin/velsim" --work "$work"
