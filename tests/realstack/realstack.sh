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
# [label=]scenario, so one scenario can run several times), and of the ordinary user's
# two, those named (user-no-rule, user-rule): for chasing one of them.
# KX_REALSTACK_SCENARIOS=large-update sends a 1 MiB image, which ./test does not.
#
# On a fresh machine it fetches what it needs, and says nothing when it is all there:
# the Debian packages qemu-system-x86, busybox-static, kmod (modinfo, and the library
# udevadm needs), g++ (for the receiver) and cpio, and Debian's current kernel (for the
# uhid, hidraw, 9p and overlay modules) and udev (for udevd in the guest) unpacked under
# BUILD_DIR/realstack. It needs the build and its Wine prefix (./test makes both). It runs
# as any user; one that is not root needs sudo only to install missing packages or to
# refresh a package index that names a kernel the archive no longer has.
#
# QEMU runs in the background; on every way out (the end, an error, Ctrl-C, a kill) it is
# ended by its process id. The guest must end by powering off, without a kernel panic.
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
case " ${KX_REALSTACK_SCENARIOS:-} " in *large-update*) GUEST_TIMEOUT=7200 ;; esac
# modinfo lives in the system's folders, which an ordinary user's PATH may leave out.
PATH=$PATH:/usr/sbin:/sbin

say() { kx_say "realstack: $*"; }
fail() {
    say "$*"
    exit 1
}

# The modules the guest loads for the host's root over 9p (virtio), the writable layer
# over it (overlay) and the receiver (uhid, the generic HID driver). The modules these
# need are read from the modules themselves, so the list fits the kernel of the day.
GUEST_MODULES=(virtio_pci 9pnet_virtio 9p overlay uhid hid-generic)

# The kernel package linux-image-amd64 stands for, by the package index as it is now.
kernel_package() {
    apt-cache depends linux-image-amd64 2>/dev/null |
        sed -n 's/^ *Depends: \(linux-image-[0-9].*-amd64\)$/\1/p' | head -n 1
}

refresh_package_index() {
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        sudo -n true 2>/dev/null || {
            say "the package index is out of date, and refreshing it needs root: run 'sudo apt-get update' once"
            return 1
        }
        sudo=(sudo -n)
    fi
    "${sudo[@]}" apt-get update -qq >/dev/null 2>&1 || { say "apt-get update failed"; return 1; }
}

# Downloads the kernel and udev packages into the folder given; prints the kernel's name.
download_guest_packages() {
    local debs=$1 kernel
    kernel=$(kernel_package)
    if [ -n "$kernel" ] && (cd "$debs" && apt-get download -qq "$kernel" udev) >/dev/null 2>&1; then
        echo "$kernel"
        return 0
    fi
    # The index names a kernel the archive has moved on from (or none): read it afresh,
    # and the kernel's name from it.
    say "cannot download ${kernel:-a kernel}: refreshing the package index"
    refresh_package_index || return 1
    kernel=$(kernel_package)
    [ -n "$kernel" ] || { say "no kernel package behind linux-image-amd64"; return 1; }
    rm -f "$debs"/*.deb
    (cd "$debs" && apt-get download -qq "$kernel" udev) >/dev/null 2>&1 ||
        { say "cannot download $kernel and udev"; return 1; }
    echo "$kernel"
}

# The guest's modules and every module they need, in an order to load them: fills
# LOAD_ORDER from the unpacked kernel package's module tree.
declare -A MODULE_FILE=() MODULE_SEEN=()
LOAD_ORDER=()
BUILTIN=
resolve_modules() { # tree
    local builtin file name m
    builtin=$(find "$1" -name modules.builtin | head -n 1)
    [ -n "$builtin" ] || fail "the kernel package $KERNEL has no modules.builtin"
    BUILTIN=$(sed 's#.*/##; s/\.ko$//; s/-/_/g' "$builtin")
    while IFS= read -r file; do
        name=${file##*/}
        name=${name%%.ko*}
        MODULE_FILE[${name//-/_}]=$file
    done < <(find "$1" -name '*.ko' -o -name '*.ko.*')
    for m in "${GUEST_MODULES[@]}"; do
        add_module "$m" "the guest"
    done
}

add_module() { # module needed-by
    local name=${1//-/_} dep
    [ -n "${MODULE_SEEN[$name]:-}" ] && return 0
    MODULE_SEEN[$name]=1
    if [ -z "${MODULE_FILE[$name]:-}" ]; then
        grep -qx "$name" <<<"$BUILTIN" && return 0
        fail "the kernel $KERNEL has no module $1 (needed by $2), neither built in nor loadable: GUEST_MODULES in realstack.sh does not fit it"
    fi
    for dep in $(modinfo -F depends "${MODULE_FILE[$name]}" | tr , ' '); do
        add_module "$dep" "$1"
    done
    LOAD_ORDER+=("$name")
}

# The kernel and udev packages, unpacked: only the kernel image, the modules the guest
# loads (uncompressed, for busybox's insmod) with the order to load them in, and udevadm
# (which is also udevd) are kept. SYSTEM/complete names the kernel package and version.
fetch_guest_system() {
    [ -f "$SYSTEM/complete" ] && [ -f "$SYSTEM/modules/order" ] && return 0
    say "Fetching Debian's kernel and udev for the guest (once)..."
    local debs="$RS/debs" unpacked="$RS/debs/unpacked" name file version
    rm -rf "$SYSTEM" "$debs"
    mkdir -p "$SYSTEM/modules" "$unpacked"
    KERNEL=$(download_guest_packages "$debs") || fail "cannot fetch the guest's kernel"
    version=$(dpkg-deb -f "$debs/$KERNEL"_*.deb Version) || fail "cannot read $KERNEL's version"
    dpkg-deb --fsys-tarfile "$debs/$KERNEL"_*.deb |
        tar -x -C "$unpacked" --wildcards './boot/vmlinuz-*' '*/modules/*' ||
        fail "cannot unpack $KERNEL"
    cp "$unpacked"/boot/vmlinuz-* "$SYSTEM/vmlinuz" || fail "no kernel image in $KERNEL"
    resolve_modules "$unpacked"
    for name in "${LOAD_ORDER[@]}"; do
        file=${MODULE_FILE[$name]}
        case $file in
        *.ko) cp "$file" "$SYSTEM/modules/$name.ko" ;;
        *.ko.xz) xz -dc "$file" >"$SYSTEM/modules/$name.ko" ;;
        *.ko.zst) zstd -qdc "$file" >"$SYSTEM/modules/$name.ko" ;;
        *.ko.gz) gzip -dc "$file" >"$SYSTEM/modules/$name.ko" ;;
        *) false ;;
        esac || fail "cannot unpack the module $name ($file) of $KERNEL"
    done
    printf '%s\n' "${LOAD_ORDER[@]}" >"$SYSTEM/modules/order"
    dpkg-deb -x "$debs"/udev_*.deb "$SYSTEM/udev" || fail "cannot unpack udev"
    [ -x "$SYSTEM/udev/bin/udevadm" ] || fail "no udevadm in the udev package"
    ! ldd "$SYSTEM/udev/bin/udevadm" | grep 'not found' ||
        fail "udevadm needs libraries this machine lacks"
    echo "$KERNEL $version" >"$SYSTEM/complete"
    rm -rf "$debs"
}

build_receiver() {
    if [ ! -f "$RS/receiver/build.ninja" ]; then
        cmake -S "$KX_ROOT/sim/uhid" -B "$RS/receiver" -G Ninja -DCMAKE_CXX_COMPILER=g++ \
            >/dev/null || return 1
    fi
    cmake --build "$RS/receiver" | grep -v '^\[\|^ninja: no work' >&2
    [ -x "$RS/receiver/kx-uhid-receiver" ] && "$RS/receiver/kx-uhid-receiver-test" >/dev/null
}

# busybox, the init script and the modules; rebuilt every run (it takes a moment).
build_initramfs() {
    local root="$RS/initramfs"
    rm -rf "$root"
    mkdir -p "$root"/{bin,modules,proc,sys,dev,lower,upper,newroot}
    cp /bin/busybox "$root/bin/busybox"
    cp "$HERE/initramfs-init" "$root/init"
    cp "$SYSTEM"/modules/*.ko "$SYSTEM/modules/order" "$root/modules/"
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

QEMU_PID=
WATCHDOG_PID=

running() { # pid: there, and not yet a zombie
    local state
    state=$(cut -d' ' -f3 "/proc/$1/stat" 2>/dev/null) && [ "$state" != Z ]
}

# On every way out, QEMU and the watchdog are ended by their process ids: QEMU, started
# in the background, does not get the terminal's Ctrl-C.
end_guest() {
    local pid i
    for pid in $WATCHDOG_PID $QEMU_PID; do
        kill -TERM "$pid" 2>/dev/null || continue
        for i in $(seq 50); do
            running "$pid" || break
            sleep 0.1
        done
        kill -KILL "$pid" 2>/dev/null
    done
    WATCHDOG_PID= QEMU_PID=
}
trap end_guest EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

boot_guest() {
    # The guest gets a /tmp of its own: a checkout or build there is carried over.
    local keep= dir
    for dir in "$KX_ROOT" "$KX_BUILD"; do
        case "$dir/" in /tmp/*) keep=${keep:+$keep,}$dir ;; esac
    done
    qemu-system-x86_64 "${QEMU_ACCEL[@]}" -m 3072 -smp 2 \
        -nodefaults -no-user-config -display none -no-reboot -monitor none \
        -serial "file:$RESULTS/console.log" \
        -kernel "$SYSTEM/vmlinuz" -initrd "$RS/initrd.gz" \
        -append "$KERNEL_ARGS kx_guest=$HERE/guest.sh kx_results=$RESULTS${keep:+ kx_keep=$keep}" \
        -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
        -virtfs "local,path=$RESULTS,mount_tag=kxresults,security_model=none" \
        </dev/null >"$RESULTS/qemu.log" 2>&1 &
    QEMU_PID=$!
    sleep "$GUEST_TIMEOUT" &
    WATCHDOG_PID=$!
    local ended= status
    wait -n -p ended "$QEMU_PID" "$WATCHDOG_PID"
    status=$?
    if [ "$ended" != "$QEMU_PID" ]; then
        say "the guest did not power off within $GUEST_TIMEOUT s: QEMU is stopped"
        status=124
    fi
    end_guest
    return $status
}

# The guest powered off of itself: QEMU ended with status 0, the kernel said so, and it
# did not panic (which, with -no-reboot, also ends QEMU with status 0).
ended_cleanly() { # QEMU's status
    local console="$RESULTS/console.log"
    if [ "$1" -ne 0 ]; then
        say "QEMU ended with status $1: $(tail -n 3 "$RESULTS/qemu.log" | tr '\n' ' ')"
        return 1
    elif grep -q 'Kernel panic' "$console"; then
        say "the guest's kernel panicked:"
        grep -B 2 -A 4 'Kernel panic' "$console" >&2
        return 1
    elif ! grep -q 'reboot: Power down' "$console"; then
        say "the guest ended without powering off; its console ends:"
        tail -n 10 "$console" >&2
        return 1
    fi
}

prepared=$(date +%s)
kx_ensure_packages qemu-system-x86 busybox-static kmod g++ cpio ||
    fail "cannot install the guest's packages"
[ -x "$KX_BUILD/bin/KestrixUpdater.exe" ] && [ -x "$KX_BUILD/bin/KestrixRealStack.exe" ] ||
    fail "build the tool first (./test does)"
[ -f "$KX_BUILD/wineprefix/system.reg" ] || fail "no Wine prefix in $KX_BUILD (./test makes it)"
fetch_guest_system
say "guest kernel: $(cat "$SYSTEM/complete")"
build_receiver || fail "cannot build the virtual receiver, or its own checks failed"
build_initramfs || fail "cannot build the initramfs"
rm -rf "$RESULTS"
mkdir -p "$RESULTS"
write_guest_env

started=$(date +%s)
boot_guest
status=$?
say "prepared in $((started - prepared)) s, the guest ran $(($(date +%s) - started)) s (QEMU status $status)"
clean=1
ended_cleanly "$status" || clean=0

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

[ -s "$RESULTS/stopped" ] && say "the runs ended early: $(cat "$RESULTS/stopped")"
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
printf '%-16s %s\n' "power-off" "$([ $clean = 1 ] && echo PASS || echo FAIL)"
[ $clean = 1 ] || failed=1
exit $failed
