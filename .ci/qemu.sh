#!/usr/bin/env bash
# A second, independent FTDI chip: QEMU's emulated FT232BM under Debian's own kernel, xhci,
# usbfs and ftdi_sio, with Debian's libftdi1 and libusb-1.0 under libkestrune-ftdi.so in the
# guest and kestrune-sim on the host as the display behind the chip. The guest runs
# tests/qemu/checks and reports each on its console; the host resets the display, hangs the
# line up and compares the flash with the image when the guest asks for it.
#
#   .ci/qemu.sh [BUILD_DIR]      (default: build; needs bin/kestrune-cli, bin/kestrune-sim,
#                                 bin/libkestrune-ftdi.so, bin/make_sample_firmware)
#
# QEMU and the kernel are never installed: their packages are fetched with apt-get download
# into BUILD_DIR/qemu/debs and unpacked there. Debian's qemu-system-common depends on a
# library that must not come onto this machine (libbrlapi); only QEMU's braille character
# device uses it, and that module is deleted from the unpacked tree.
# Every step has a time bound; a hung guest fails the stage.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-build}" && pwd)
work=$build/qemu
guest=$here/tests/qemu
start=$SECONDS

say() { echo "qemu: $*"; }
fail() { echo "qemu: FAILED: $*" >&2; exit 1; }
bounded() { timeout --kill-after=5 "$@"; }

for f in kestrune-cli kestrune-sim libkestrune-ftdi.so make_sample_firmware; do
  [ -x "$build/bin/$f" ] || [ -f "$build/bin/$f" ] || fail "$build/bin/$f is not built"
done
if dpkg-query -W -f='${Package} ${Status}\n' 2>/dev/null | grep -i brlapi | grep -q "install ok"; then
  fail "a brlapi package is installed on this machine"
fi

# Packages, fetched once and kept.
mkdir -p "$work/debs"
fetch() { # package...
  (cd "$work/debs" && for p in "$@"; do
     ls "${p}"_*.deb > /dev/null 2>&1 || bounded 300 apt-get download -q "$p" 2>&1 | grep -v unsandboxed || true
     ls "${p}"_*.deb > /dev/null 2>&1 || { echo "qemu: FAILED: cannot fetch $p" >&2; exit 1; }
   done)
}
fetch qemu-system-x86 qemu-system-common qemu-system-data linux-image-amd64
kpkg=$(dpkg-deb -f "$(ls "$work"/debs/linux-image-amd64_*.deb | sort -V | tail -1)" Depends |
       grep -o 'linux-image-[0-9][^ ,]*' | head -1)
fetch "$kpkg"

root=$work/root
if [ ! -e "$root/.unpacked" ]; then
  rm -rf "$root" && mkdir -p "$root"
  for p in qemu-system-x86 qemu-system-common qemu-system-data; do
    dpkg -x "$(ls "$work"/debs/"$p"_*.deb | sort -V | tail -1)" "$root"
  done
  touch "$root/.unpacked"
fi
rm -f "$root"/usr/lib/x86_64-linux-gnu/qemu/chardev-baum.so
kroot=$work/kernel
if [ ! -e "$kroot/.$kpkg" ]; then
  rm -rf "$kroot" && mkdir -p "$kroot"
  dpkg -x "$(ls "$work"/debs/"$kpkg"_*.deb | sort -V | tail -1)" "$kroot"
  touch "$kroot/.$kpkg"
fi
kernel=$(ls "$kroot"/boot/vmlinuz-* | head -1)
modules=$(ls -d "$kroot"/lib/modules/* | head -1)
export QEMU_MODULE_DIR=$root/usr/lib/x86_64-linux-gnu/qemu
qemu=("$root/usr/bin/qemu-system-x86_64" -L "$root/usr/share/qemu" -L /usr/share/seabios
      -L /usr/lib/ipxe/qemu -m 512 -smp 1 -display none -vga none -nic none -no-reboot
      -kernel "$kernel")
say "$("${qemu[0]}" --version | head -1), kernel $(basename "$kernel")"

# The initramfs: busybox, the USB modules in the order they load, the programs with the
# libraries ldd names, the firmware images.
fs=$work/initramfs
rm -rf "$fs" && mkdir -p "$fs"/{bin,proc,sys,dev,tmp,modules,fw,opt/kestrune/bin}
cp /bin/busybox "$fs/bin/busybox"
cp "$guest/init" "$fs/init" && cp "$guest/checks" "$fs/checks"
mkdir -p "$fs/lib" && cp "$guest/chips.sh" "$fs/lib/chips.sh"
find_module() { find "$modules/kernel" -name "$1.ko" -o -name "${1//-/_}.ko" -o -name "${1//_/-}.ko" | head -1; }
load=()
add_module() { # name: after its dependencies
  local name=${1//_/-} file dep
  for m in "${load[@]}"; do [ "$m" = "$name" ] && return; done
  file=$(find_module "$name")
  [ -n "$file" ] || fail "kernel module $1 not found"
  for dep in $(grep -a -o 'depends=[A-Za-z0-9_,-]*' "$file" | head -1 | cut -d= -f2 | tr ',' ' '); do
    add_module "$dep"
  done
  cp "$file" "$fs/modules/$name.ko"
  load+=("$name")
}
add_module xhci-pci
printf '%s\n' "${load[@]}" > "$fs/modules/load"
add_module ftdi_sio # loaded by a check
cp "$build/bin/kestrune-cli" "$build/bin/libkestrune-ftdi.so" "$fs/opt/kestrune/bin/"
for lib in $(ldd "$build/bin/kestrune-cli" "$build/bin/libkestrune-ftdi.so" |
             awk '$2 == "=>" && $3 ~ /^\// {print $3} $1 ~ /^\/.*[^:]$/ {print $1}' | sort -u); do
  mkdir -p "$fs$(dirname "$lib")"
  cp -L "$lib" "$fs$lib"
done
for size in 4096 65536; do
  name=heron-$((size / 1024))k
  "$build/bin/make_sample_firmware" --size $size "$fs/fw/$name.hex" > /dev/null
  # The bytes the flash must hold afterwards, from address 0.
  /usr/bin/python3 - "$fs/fw/$name.hex" "$work/$name.bin" <<'PY'
import sys
mem, base = {}, 0
for line in open(sys.argv[1]):
    b = bytes.fromhex(line.strip()[1:])
    n, addr, kind = b[0], b[1] << 8 | b[2], b[3]
    if kind == 0:
        for i in range(n):
            mem[base + addr + i] = b[4 + i]
    elif kind == 4:
        base = (b[4] << 8 | b[5]) << 16
out = bytearray(b'\xff' * (max(mem) + 1))
for a, v in mem.items():
    out[a] = v
open(sys.argv[2], 'wb').write(out)
PY
done
(cd "$fs" && find . | busybox cpio -o -H newc 2>/dev/null | gzip -1 > "$work/initramfs.gz")
say "initramfs $(du -k "$work/initramfs.gz" | cut -f1) KiB ($((SECONDS - start)) s so far)"

# KVM when it really works: with some hosts' KVM Debian's kernel never leaves its decompressor,
# so KVM counts once the kernel has printed its version, within 10 s.
accel=tcg
if [ -r /dev/kvm ] && [ -w /dev/kvm ]; then
  : > "$work/probe.log"
  bounded 15 "${qemu[@]}" -accel kvm -initrd "$work/initramfs.gz" \
    -append "console=ttyS0 kestrune.probe" -serial "file:$work/probe.log" > /dev/null 2>&1 &
  probe=$!
  for _ in $(seq 50); do
    grep -q "Linux version" "$work/probe.log" && { accel=kvm; break; }
    kill -0 $probe 2> /dev/null || break
    sleep 0.2
  done
  kill $probe 2> /dev/null || true
  wait $probe 2> /dev/null || true
fi
say "accelerator: $accel"

# The display on the host behind the chip. When the guest asks, the chip is unplugged and one
# with QEMU's default serial number (16 characters) plugged in, on a line into a file.
state=$work/state
rm -rf "$state" && mkdir -p "$state"
sim_pid="" qemu_pid="" monitor_pid=""
cleanup() {
  for p in "$qemu_pid" "$sim_pid" "$monitor_pid"; do
    if [ -n "$p" ]; then kill "$p" 2> /dev/null || true; fi
  done
}
trap cleanup EXIT
"$build/bin/kestrune-sim" --state "$state" > "$work/sim.path" 2> "$work/sim.err" &
sim_pid=$!
for _ in $(seq 50); do [ -s "$work/sim.path" ] && break; sleep 0.1; done
pts=$(head -1 "$work/sim.path")
[ -c "$pts" ] || fail "kestrune-sim gave no terminal ($(cat "$work/sim.err"))"
rm -f "$work"/monitor.{in,out} && mkfifo "$work/monitor.in" "$work/monitor.out"
cat "$work/monitor.out" > "$work/monitor.log" &
monitor_pid=$!

console=$work/console.log
: > "$console"
boot=$SECONDS
bounded 330 "${qemu[@]}" -accel "$accel" -initrd "$work/initramfs.gz" \
  -append "console=ttyS0 quiet panic=-1" -serial "file:$console" -monitor "pipe:$work/monitor" \
  -chardev "serial,id=display,path=$pts" -chardev "file,id=spare,path=$work/spare.out" \
  -device qemu-xhci,id=xhci \
  -device usb-serial,id=chip,bus=xhci.0,chardev=display,serial=KS000001 > "$work/qemu.out" 2>&1 &
qemu_pid=$!

# The host's side of the checks, line by line as the console grows.
control() { [ -p "$state/control" ] && bounded 5 sh -c "echo '$1' > '$state/control'" || true; }
declare -A result
armed=0 done_line="" ready=""
while read -r line; do
  line=${line%$'\r'}
  case "$line" in
    @ready*) ready=$((SECONDS - boot)); say "guest ready after $ready s (guest clock ${line#@ready })" ;;
    *"Please reset the device"*) sleep 1; control reset ;;
    # The line hangs up once the flash is under way, whatever the machine's speed.
    *"Updating flash memory: "*)
      percent=${line##*: } percent=${percent%%[!0-9]*}
      if [ $armed = 1 ] && [ "${percent:-0}" -ge 5 ]; then armed=0; control hangup; fi ;;
    @arm-hangup*) armed=1 ;;
    @replug*)
      bounded 5 sh -c "printf 'device_del chip\\n' > '$work/monitor.in'"; sleep 2
      bounded 5 sh -c "printf 'device_add usb-serial,id=chip2,bus=xhci.0,chardev=spare\\n' > '$work/monitor.in'" ;;
    "@compare "*)
      name=${line#@compare }
      if cmp -s "$state/flash.bin" "$work/$name.bin"; then result[$name]=PASS
      else result[$name]="FAIL ($(stat -c %s "$state/flash.bin" 2>/dev/null || echo no) bytes in the flash)"; fi
      say "flash state after $name: ${result[$name]}" ;;
    "CHECK "*) echo "$line" ;;
    @done*) done_line=$line; break ;;
  esac
done < <(bounded 340 tail -n +1 -f "$console" --pid="$qemu_pid")
wait "$qemu_pid" 2> /dev/null || true
qemu_pid=""
stage=$((SECONDS - start))

failures=$(grep -c "^CHECK .* FAIL" "$console" || true)
for name in heron-4k heron-64k; do
  [ "${result[$name]:-missing}" = PASS ] || { echo "CHECK host-flash-$name FAIL ${result[$name]:-never compared}"; failures=$((failures + 1)); }
done
[ -n "$done_line" ] || { say "the guest did not finish; its console ends:"; tail -20 "$console"; failures=$((failures + 1)); }
say "$done_line; boot to a ready bus ${ready:-?} s; stage $stage s ($accel)"
[ "$failures" -eq 0 ] || { say "console: $console"; fail "$failures check(s)"; }
say "passed"
