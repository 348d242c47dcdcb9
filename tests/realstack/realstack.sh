#!/usr/bin/env bash
# The real-stack test. Boots one Linux guest in QEMU whose root is this machine's own
# filesystem (read-only, under a throw-away overlay), makes the receiver a virtual USB HID
# device there (kx-uhid-receiver on the kernel's uhid), and runs the shipped
# KestrixUpdater.exe under Wine against it, driven by KestrixRealStack.exe the way a
# person would: every scenario in guest.sh, in one boot. Prints each scenario's verdict
# and log; exits 0 only when every scenario passed.
#
#   tests/realstack/realstack.sh [BUILD_DIR]      (default: build/ of this checkout)
#
# KX_REALSTACK_SCENARIOS="failure f2=failure ..." runs only these scenarios, as root (each
# [label=]scenario, so one scenario can run several times): for chasing one of them.
#
# On a fresh machine it fetches what it needs, and says nothing when it is all there:
# the Debian packages qemu-system-x86, busybox-static, kmod (the library udevadm needs),
# g++ (for the receiver) and cpio, and Debian's kernel (for uhid, hidraw, 9p and overlay
# modules) and udev (for udevd in the guest) unpacked under BUILD_DIR/realstack. It needs
# the build and its Wine prefix (./test makes both).
set -uo pipefail
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$HERE/../../tools/env.sh"
[ $# -gt 0 ] && KX_BUILD=$(cd "$1" && pwd)
RS="$KX_BUILD/realstack"
SYSTEM="$RS/system"
RESULTS="$RS/results"

# Software emulation: this machine's KVM cannot run a stock kernel, and without SMAP
# off every Wine process in the guest is killed by a kernel oops.
QEMU_ACCEL=(-accel tcg,thread=multi -cpu max,-smap)
# The guest runs only this test: without the CPU-flaw mitigations (a page-table switch on
# every system call, which software emulation pays dearly for) the run takes about a
# quarter less time.
KERNEL_ARGS="console=ttyS0 quiet loglevel=4 panic=-1 mitigations=off rdinit=/init"
GUEST_TIMEOUT=1800 # seconds from boot to power-off before the guest is given up

say() { kx_say "realstack: $*"; }
fail() {
    say "$*"
    exit 1
}

# The kernel and udev packages, unpacked: only the kernel image, the modules the guest
# loads, and udevadm (which is also udevd) are kept.
GUEST_MODULES=(virtio_ring virtio virtio_pci_legacy_dev virtio_pci_modern_dev virtio_pci
    netfs fscache 9pnet 9pnet_virtio 9p overlay hid uhid hid-generic)

fetch_guest_system() {
    [ -f "$SYSTEM/complete" ] && return 0
    say "Fetching Debian's kernel and udev for the guest (once)..."
    local debs="$RS/debs" kernel
    rm -rf "$SYSTEM" "$debs"
    mkdir -p "$SYSTEM/modules" "$debs"
    kernel=$(apt-cache depends linux-image-amd64 2>/dev/null |
        sed -n 's/^ *Depends: \(linux-image-[0-9].*-amd64\)$/\1/p' | head -n 1)
    [ -n "$kernel" ] || fail "no kernel package found behind linux-image-amd64"
    if ! (cd "$debs" && apt-get download -qq "$kernel" udev >/dev/null 2>&1); then
        # A stale package index names files the mirror no longer has.
        apt-get update -qq >/dev/null 2>&1 || sudo apt-get update -qq >/dev/null 2>&1
        (cd "$debs" && apt-get download -qq "$kernel" udev >/dev/null 2>&1) ||
            fail "cannot download $kernel and udev"
    fi
    local unpacked="$debs/unpacked" m found
    mkdir -p "$unpacked"
    dpkg-deb --fsys-tarfile "$debs"/linux-image-*.deb |
        tar -x -C "$unpacked" --wildcards './boot/vmlinuz-*' '*/kernel/drivers/virtio/*' \
            '*/kernel/fs/*' '*/kernel/net/9p/*' '*/kernel/drivers/hid/*' ||
        fail "cannot unpack $kernel"
    cp "$unpacked"/boot/vmlinuz-* "$SYSTEM/vmlinuz" || fail "no kernel image in $kernel"
    for m in "${GUEST_MODULES[@]}"; do
        found=$(find "$unpacked" -name "$m.ko" | head -n 1)
        [ -n "$found" ] || fail "no module $m in $kernel"
        cp "$found" "$SYSTEM/modules/"
    done
    dpkg-deb -x "$debs"/udev_*.deb "$SYSTEM/udev" || fail "cannot unpack udev"
    [ -x "$SYSTEM/udev/bin/udevadm" ] || fail "no udevadm in the udev package"
    ! ldd "$SYSTEM/udev/bin/udevadm" | grep 'not found' ||
        fail "udevadm needs libraries this machine lacks"
    echo "$kernel" >"$SYSTEM/complete"
    rm -rf "$debs"
}

build_receiver() {
    if [ ! -f "$RS/receiver/build.ninja" ]; then
        cmake -S "$KX_ROOT/sim/uhid" -B "$RS/receiver" -G Ninja -DCMAKE_CXX_COMPILER=g++ \
            >/dev/null || return 1
    fi
    cmake --build "$RS/receiver" | grep -v '^\[\|^ninja: no work' >&2
    [ -x "$RS/receiver/kx-uhid-receiver" ]
}

# busybox, the init script and the modules; rebuilt every run (it takes a moment).
build_initramfs() {
    local root="$RS/initramfs"
    rm -rf "$root"
    mkdir -p "$root"/{bin,modules,proc,sys,dev,lower,upper,newroot}
    cp /bin/busybox "$root/bin/busybox"
    cp "$HERE/initramfs-init" "$root/init"
    cp "$SYSTEM"/modules/*.ko "$root/modules/"
    (cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$RS/initrd.gz"
}

# A variable of the build's CMake cache.
cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$KX_BUILD/CMakeCache.txt"; }

write_guest_env() {
    cat >"$RESULTS/guest.env" <<EOF
KX_ROOT='$KX_ROOT'
KX_BUILD='$KX_BUILD'
RS='$RS'
RESULTS='$RESULTS'
UDEV='$SYSTEM/udev'
RECEIVER='$RS/receiver/kx-uhid-receiver'
VENDOR='$(cache_value KESTRIX_VENDOR_ID)'
PRODUCT='$(cache_value KESTRIX_PRODUCT_ID)'
ONLY_SCENARIOS='${KX_REALSTACK_SCENARIOS:-}'
EOF
}

boot_guest() {
    # The guest gets a /tmp of its own: a checkout or build there is carried over.
    local keep= dir
    for dir in "$KX_ROOT" "$KX_BUILD"; do
        case "$dir/" in /tmp/*) keep=${keep:+$keep,}$dir ;; esac
    done
    timeout "$GUEST_TIMEOUT" qemu-system-x86_64 "${QEMU_ACCEL[@]}" -m 3072 -smp 2 \
        -nodefaults -no-user-config -display none -no-reboot -monitor none \
        -serial "file:$RESULTS/console.log" \
        -kernel "$SYSTEM/vmlinuz" -initrd "$RS/initrd.gz" \
        -append "$KERNEL_ARGS kx_guest=$HERE/guest.sh kx_results=$RESULTS${keep:+ kx_keep=$keep}" \
        -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
        -virtfs "local,path=$RESULTS,mount_tag=kxresults,security_model=none" \
        </dev/null >"$RESULTS/qemu.log" 2>&1
}

prepared=$(date +%s)
kx_ensure_packages qemu-system-x86 busybox-static kmod g++ cpio ||
    fail "cannot install the guest's packages"
[ -x "$KX_BUILD/bin/KestrixUpdater.exe" ] && [ -x "$KX_BUILD/bin/KestrixRealStack.exe" ] ||
    fail "build the tool first (./test does)"
[ -f "$KX_BUILD/wineprefix/system.reg" ] || fail "no Wine prefix in $KX_BUILD (./test makes it)"
fetch_guest_system
build_receiver || fail "cannot build the virtual receiver"
build_initramfs || fail "cannot build the initramfs"
rm -rf "$RESULTS"
mkdir -p "$RESULTS"
write_guest_env

started=$(date +%s)
boot_guest
status=$?
say "prepared in $((started - prepared)) s, the guest ran $(($(date +%s) - started)) s (QEMU status $status)"

# Screenshots go where ./test turns the build's screenshots into PNG files.
if [ -d "$RESULTS/screens" ]; then
    mkdir -p "$KX_BUILD/screens"
    cp "$RESULTS"/screens/*.bmp "$KX_BUILD/screens/" 2>/dev/null
fi

show() { # title file
    [ -s "$2" ] || return 0
    printf '\n--- %s\n' "$1"
    tr -d '\r' <"$2"
}
show "guest" "$RESULTS/guest.log"
show "the tool's calls on the receiver (Wine's trace of the real exe)" \
    "$RESULTS/root/enumeration.txt"
for run in root no-rule rule; do
    show "driver, run $run" "$RESULTS/$run/driver.log"
done
show "receiver" "$RESULTS/receiver.log"

if [ ! -f "$RESULTS/expected" ]; then
    say "the guest did not start its scenarios; its console:"
    tail -n 40 "$RESULTS/console.log"
    exit 1
fi
printf '\n--- verdicts\n'
failed=0
while read -r name; do
    verdict=$(awk -v name="$name" '$1 == name { print $2 " (" $3 " s)" }' "$RESULTS/verdicts" 2>/dev/null)
    printf '%-16s %s\n' "$name" "${verdict:-NOT RUN}"
    case $verdict in PASS*) ;; *) failed=1 ;; esac
done <"$RESULTS/expected"
exit $failed
