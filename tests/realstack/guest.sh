#!/bin/bash
# The real-stack guest's main process, started by the initramfs on the host's own root
# (read-only, under a throw-away overlay). Starts udevd, a display and Wine, runs every
# scenario against the virtual receiver, and powers the guest off. It writes to the
# results folder the host shares with it (kx_results= on the kernel command line):
#   guest.log           what happened when: users, hidraw nodes and their access, Wine
#   expected, verdicts  the scenarios to run; one line per scenario run: LABEL PASS|FAIL SECONDS
#   receiver.log        what the receiver saw: plugs, report lengths, updates, commands
#   exchange/           the receiver's control file, and the last image it received
#   RUN/driver.log      the steps KestrixRealStack.exe took and what it saw, per run
#   RUN/trace.log       Wine's trace of the tool in the traced scenario, and its
#   RUN/enumeration.txt summary: the tool's own calls on the receiver
#   screens/*.bmp       screenshots of the tool at each step
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
export HOME=/root LANG=C.UTF-8 WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="

power_off() {
    sync
    echo o >/proc/sysrq-trigger
    sleep 60
}
trap power_off EXIT

for word in $(cat /proc/cmdline); do
    case $word in kx_results=*) RESULTS=${word#kx_results=} ;; esac
done
mount -t 9p -o trans=virtio,version=9p2000.L kxresults "$RESULTS" || exit 1
source "$RESULTS/guest.env" || exit 1

RUN_TIMEOUT=900 # seconds one driver run may take before it is ended
IMAGE="$KX_ROOT/samples/kestrix-release-v1.36.dat"
DRIVER="$KX_BUILD/bin/KestrixRealStack.exe"
TOOL="$KX_BUILD/bin/KestrixUpdater.exe"
USER_NAME=kxuser
USER_ID=1500
# Run as root, one after the other in one run of the driver; the ordinary user's two
# scenarios follow, without and with the README's udev rule.
ROOT_SCENARIOS=(mode1 link mode2 replug update unplug-update failure)

log() { echo "[$(cut -d' ' -f1 /proc/uptime) s] $*" >>"$RESULTS/guest.log"; }
winpath() { printf 'Z:%s' "${1//\//\\}"; }

# --- The guest's system ---------------------------------------------------------------

start_system() {
    mkdir -p /dev/shm /dev/pts
    mount -t tmpfs tmpfs /dev/shm
    mount -t devpts devpts /dev/pts
    # Wine's HID bus learns of devices arriving again after a removal from udevd.
    (exec -a systemd-udevd "$UDEV/bin/udevadm" --daemon) >>"$RESULTS/udevd.log" 2>&1 ||
        log "udevd did not start"
    # Every user's Wine draws on this display (the guest has no other users to keep out).
    local fifo=/tmp/displayfd
    mkfifo "$fifo"
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -ac 3>"$fifo" >/dev/null 2>&1 &
    read -r -t 30 DISPLAY_NUMBER <"$fifo"
    export DISPLAY=":$DISPLAY_NUMBER"
    log "guest up: kernel $(uname -r), udevd and display $DISPLAY started"
}

# Wine as one user, in a prefix, with a persistent server and its background services
# started. The prefix is the build's, where tools/env.sh has switched Wine's HID bus to
# read hidraw as the README tells a person to.
start_wine() { # user prefix
    run_as "$1" env WINEPREFIX="$2" wineserver -p
    run_as "$1" env WINEPREFIX="$2" wine wineboot >/dev/null 2>&1
    log "Wine started for $1 in $2"
}

stop_wine() { # user prefix
    run_as "$1" env WINEPREFIX="$2" wineserver -k
    run_as "$1" env WINEPREFIX="$2" wineserver -w
}

run_as() { # user command...
    local user=$1
    shift
    if [ "$user" = root ]; then
        "$@"
    else
        setpriv --reuid="$USER_ID" --regid="$USER_ID" --init-groups \
            env HOME="/home/$user" USER="$user" LOGNAME="$user" "$@"
    fi
}

# --- The receiver and the runs ---------------------------------------------------------

# One receiver for the whole boot, unplugged until a scenario restarts it as it needs it.
start_receiver() {
    mkdir -p "$EXCHANGE"
    chmod 777 "$EXCHANGE" # the ordinary user's runs command the receiver too
    "$RECEIVER" --vendor "$VENDOR" --product "$PRODUCT" --absent --control "$EXCHANGE/control" \
        --received "$EXCHANGE/received.dat" >"$RESULTS/receiver.log" 2>&1 &
    RECEIVER_PID=$!
}

stop_receiver() {
    kill -TERM "$RECEIVER_PID" 2>/dev/null
    wait "$RECEIVER_PID" 2>/dev/null
}

# Runs scenarios in one KestrixRealStack.exe as a user; their verdicts go to verdicts.
drive() { # run user [--trace CHANNELS] [label=]scenario...
    local run=$1 user=$2 dir="$RESULTS/$1" status
    shift 2
    mkdir -p "$dir"
    chmod 777 "$dir"
    log "run $run as $user: $*"
    run_as "$user" env WINEPREFIX="$(prefix_of "$user")" KX_TEST_OUT="$(winpath "$RESULTS/screens")" \
        timeout "$RUN_TIMEOUT" wine "$DRIVER" --tool "$(winpath "$TOOL")" \
        --image "$(winpath "$IMAGE")" --control "$(winpath "$EXCHANGE/control")" \
        --received "$(winpath "$EXCHANGE/received.dat")" "$@" >"$dir/driver.log" 2>"$dir/trace.log"
    status=$?
    sed -n 's/^VERDICT //p' "$dir/driver.log" | tr -d '\r' >>"$RESULTS/verdicts"
    log "run $run ended with status $status"
    # A run that failed may leave the tool behind: the next one starts Wine afresh.
    if [ $status -ne 0 ]; then
        stop_wine "$user" "$(prefix_of "$user")"
        start_wine "$user" "$(prefix_of "$user")"
    fi
}

prefix_of() { # user
    if [ "$1" = root ]; then echo "$KX_BUILD/wineprefix"; else echo "/home/$1/prefix"; fi
}

# The tool's calls on the receiver as Wine traced them: the interfaces its search saw,
# the receiver's interface opened, and the reads and writes on those handles.
summarise_trace() { # dir
    local path
    path=$(printf 'hid#vid_%04x&pid_%04x' "$VENDOR" "$PRODUCT")
    awk -v path="$path" '
        { thread = substr($0, 1, 4) }
        index($0, "found instance ID") {
            id = $0; sub(/.*found instance ID /, "", id)
            if (!(id in ids)) { ids[id]; print "enumerated " id }
            next
        }
        index($0, "trace:file:CreateFileW L") && index($0, path) {
            opening[thread] = $0; sub(/.*CreateFileW /, "", opening[thread]); next
        }
        index($0, "trace:file:CreateFileW returning") && (thread in opening) {
            handles[$NF]; print "CreateFileW " opening[thread] " -> " $NF
            delete opening[thread]; next
        }
        $1 ~ /trace:file:(Read|Write)File$/ && ($2 in handles) {
            call = $1; sub(/.*:/, "", call); key = call " of " $4 " bytes"
            if (!(key in count)) print call " on the receiver: " $4 " bytes (first one)"
            count[key]++
        }
        END { for (key in count) print count[key] " x " key " on the receiver" }
    ' "$1/trace.log" >"$1/enumeration.txt"
}

# An ordinary user, in the plugdev group, with a Wine prefix of its own: an overlay on
# root's (whose Wine has stopped, so it stays still), so it needs no first-time set-up.
add_user() {
    echo "$USER_NAME:x:$USER_ID:$USER_ID::/home/$USER_NAME:/bin/bash" >>/etc/passwd
    echo "$USER_NAME:x:$USER_ID:" >>/etc/group
    if grep -q '^plugdev:' /etc/group; then
        sed -i "s/^\(plugdev:[^:]*:[^:]*:\)\(.\+\)$/\1\2,$USER_NAME/; s/^\(plugdev:[^:]*:[^:]*:\)$/\1$USER_NAME/" /etc/group
    else
        echo "plugdev:x:46:$USER_NAME" >>/etc/group
    fi
    local home=/home/$USER_NAME
    mkdir -p "$home/prefix" /tmp/userprefix/data /tmp/userprefix/work
    mount -t overlay overlay -o "lowerdir=$KX_BUILD/wineprefix,upperdir=/tmp/userprefix/data,workdir=/tmp/userprefix/work,metacopy=on" \
        "$home/prefix" || log "cannot make the user's prefix"
    # root's server folder is root's: this user's server makes its own.
    rm -f "$home/prefix/wineserver"
    chown -R "$USER_NAME:$USER_NAME" "$home"
    log "user $USER_NAME: $(id $USER_NAME)"
}

# The udev rule of the README, as a person would install it.
install_readme_rule() {
    mkdir -p /etc/udev/rules.d
    sed -n 's/.*`\(KERNEL=="hidraw\*"[^`]*\)`.*/\1/p' "$KX_ROOT/README.md" | head -n 1 \
        >/etc/udev/rules.d/70-kestrix-receiver.rules
    "$UDEV/bin/udevadm" control --reload-rules
    log "README's udev rule installed: $(cat /etc/udev/rules.d/70-kestrix-receiver.rules)"
}

# Every hidraw node, who owns it, and whether the ordinary user can open it. udevd
# applies rules to a node as it appears; this looks once it has settled.
note_access() {
    local node
    "$UDEV/bin/udevadm" settle -t 10
    for node in /dev/hidraw*; do
        [ -e "$node" ] || continue
        if run_as "$USER_NAME" sh -c "exec 3<>$node" 2>/dev/null; then
            log "$(ls -l "$node" | awk '{print $1, $3, $4, $NF}'): $USER_NAME can open it"
        else
            log "$(ls -l "$node" | awk '{print $1, $3, $4, $NF}'): $USER_NAME cannot open it"
        fi
    done
}

guest_main() {
    EXCHANGE="$RESULTS/exchange" # the receiver's control file and the image it received
    mkdir -p "$RESULTS/screens"
    chmod 777 "$RESULTS/screens" # every user's runs take screenshots
    if [ -n "${ONLY_SCENARIOS:-}" ]; then
        read -r -a ROOT_SCENARIOS <<<"$ONLY_SCENARIOS"
        printf '%s\n' "${ROOT_SCENARIOS[@]%%=*}" >"$RESULTS/expected"
    else
        printf '%s\n' "${ROOT_SCENARIOS[@]}" user-no-rule user-rule >"$RESULTS/expected"
    fi
    start_system
    start_receiver
    start_wine root "$(prefix_of root)"
    drive root root --trace trace+setupapi,trace+file,trace+hid "${ROOT_SCENARIOS[@]}"
    summarise_trace "$RESULTS/root"
    stop_wine root "$(prefix_of root)"
    if [ -n "${ONLY_SCENARIOS:-}" ]; then
        stop_receiver
        return
    fi

    add_user
    start_wine "$USER_NAME" "$(prefix_of $USER_NAME)"
    drive no-rule "$USER_NAME" user-no-rule=not-permitted
    note_access
    install_readme_rule
    drive rule "$USER_NAME" user-rule=small-update
    note_access
    stop_receiver
    log "memory: $(awk '/MemTotal/{t=$2}/MemAvailable/{a=$2}END{printf "%d MiB of %d MiB in use", (t-a)/1024, t/1024}' /proc/meminfo)"
}

guest_main
