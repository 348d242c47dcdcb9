#!/bin/bash
# The real-stack guest's main process, started by the initramfs on the host's own root
# (read-only, under a throw-away overlay). Starts udevd, a display and Wine, runs every
# scenario against the virtual receiver, and powers the guest off. It writes to the
# results folder the host shares with it (kx_results= on the kernel command line):
#   guest.log           what happened when: users, hidraw nodes and their access, Wine
#   expected, verdicts  the scenarios to run; one line per scenario run: LABEL PASS|FAIL SECONDS
#   stopped             why the runs ended early, when they did
#   receiver.log        what the receiver saw: plugs, report lengths, updates, commands
#   exchange/           at the end: the receiver's control folder, with the last image it
#                       received (during the runs it is in the guest's own /tmp)
#   RUN/driver.log      the steps KestrixRealStack.exe took and what it saw, per run
#   RUN/trace.log       Wine's trace of the tool in the traced scenario, and its
#   RUN/enumeration.txt summary: the tool's own calls on the receiver
#   screens/*.bmp       screenshots of the tool at each step
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
export HOME=/root LANG=C.UTF-8 WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="

# This script is the guest's first process: its end would be a kernel panic. Once the
# power-off has been asked for, the host's root (every program but bash's own commands)
# may be gone, so it waits with bash's read on a pipe that no one writes to.
mkfifo /run/kx-never && exec 9<>/run/kx-never
pause() { read -r -t "$1" -u 9 _; } # seconds

power_off() {
    stop_receiver
    sync
    echo o >/proc/sysrq-trigger
    while :; do pause 60; done
}
trap power_off EXIT

for word in $(cat /proc/cmdline); do
    case $word in kx_results=*) RESULTS=${word#kx_results=} ;; esac
done
mount -t 9p -o trans=virtio,version=9p2000.L kxresults "$RESULTS" || exit 1
source "$RESULTS/guest.env" || exit 1

RUN_TIMEOUT=900 # seconds one driver run may take before it is ended
case " $ONLY_SCENARIOS " in *large-update*) RUN_TIMEOUT=6000 ;; esac
IMAGE="$KX_ROOT/samples/kestrix-release-v1.36.dat"
DRIVER="$KX_BUILD/bin/KestrixRealStack.exe"
TOOL="$KX_BUILD/bin/KestrixUpdater.exe"
EXCHANGE=/tmp/exchange # the receiver's control file, and the image it received
USER_NAME=kxuser
USER_ID=1500
# Run as root, one after the other in one run of the driver; the ordinary user's two
# scenarios follow, without and with the README's udev rule.
ROOT_SCENARIOS=(mode1 link mode2 replug update unplug-update failure)
USER_SCENARIOS=(user-no-rule user-rule)

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

# A Wine prefix for a user: the build's (where tools/env.sh has switched Wine's HID bus to
# read hidraw as the README tells a person to), under an overlay whose writable layer is
# the guest's own, every file of it the user's. Wine runs only on a prefix its user owns,
# and the build's belongs to whoever built it on the host; nothing goes back to it.
make_prefix() { # user
    local dir=/tmp/prefixes/$1
    mkdir -p "$dir/data" "$dir/work" "$dir/prefix"
    mount -t overlay overlay -o "lowerdir=$KX_BUILD/wineprefix,upperdir=$dir/data,workdir=$dir/work,metacopy=on" \
        "$dir/prefix" || { log "cannot make $1's Wine prefix"; return 1; }
    # The server's folder of whoever made the prefix: this user's server makes its own.
    rm -f "$dir/prefix/wineserver"
    find "$dir/prefix" ! -user "$1" -exec chown -h "$1:$1" {} +
}

prefix_of() { # user
    echo "/tmp/prefixes/$1/prefix"
}

# Wine as one user, in its prefix, with a persistent server and its background services
# started.
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
# Its control folder is the guest's own: nothing the runs and the receiver tell each other
# goes through the shared folder, only the receiver's log.
start_receiver() {
    mkdir -p "$EXCHANGE"
    chmod 777 "$EXCHANGE" # the ordinary user's runs command the receiver too
    "$RECEIVER" --vendor "$VENDOR" --product "$PRODUCT" --absent --control "$EXCHANGE/control" \
        --received "$EXCHANGE/received.dat" >"$RESULTS/receiver.log" 2>&1 &
    RECEIVER_PID=$!
    pause 0.5
    receiver_alive || stop_runs "the receiver did not start: $(tail -n 2 "$RESULTS/receiver.log")"
}

receiver_alive() {
    [ -n "${RECEIVER_PID:-}" ] && kill -0 "$RECEIVER_PID" 2>/dev/null
}

# Ends the receiver by its process id, waiting up to 5 s for it to unplug and finish its
# log; a receiver that does not end by then is killed.
stop_receiver() {
    [ -n "${RECEIVER_PID:-}" ] || return 0
    kill -TERM "$RECEIVER_PID" 2>/dev/null
    local i
    for i in $(seq 50); do
        [ -d "/proc/$RECEIVER_PID" ] && [ "$(cut -d' ' -f3 "/proc/$RECEIVER_PID/stat")" != Z ] || break
        pause 0.1
    done
    kill -KILL "$RECEIVER_PID" 2>/dev/null
    wait "$RECEIVER_PID" 2>/dev/null
    RECEIVER_PID=
}

# No more runs: the reason goes to the results, and the receiver and the runs' verdicts
# say the rest.
STOPPED=
stop_runs() { # why
    STOPPED=1
    log "the runs end here: $1"
    echo "$1" >>"$RESULTS/stopped"
}

# Runs scenarios in one KestrixRealStack.exe as a user; their verdicts go to verdicts.
# Status 3 of the driver: the receiver failed a command, and nothing after it can be
# trusted.
drive() { # run user [--trace CHANNELS] [label=]scenario...
    local run=$1 user=$2 dir="$RESULTS/$1" status
    shift 2
    [ -z "$STOPPED" ] || return 0
    mkdir -p "$dir"
    chmod 777 "$dir"
    log "run $run as $user: $*"
    run_as "$user" env WINEPREFIX="$(prefix_of "$user")" KX_TEST_OUT="$(winpath "$RESULTS/screens")" \
        timeout "$RUN_TIMEOUT" wine "$DRIVER" --tool "$(winpath "$TOOL")" \
        --image "$(winpath "$IMAGE")" --control "$(winpath "$EXCHANGE/control")" \
        --receiver-log "$(winpath "$RESULTS/receiver.log")" \
        --received "$(winpath "$EXCHANGE/received.dat")" "$@" >"$dir/driver.log" 2>"$dir/trace.log"
    status=$?
    sed -n 's/^VERDICT //p' "$dir/driver.log" | tr -d '\r' >>"$RESULTS/verdicts"
    log "run $run ended with status $status"
    # The tool's own account of its updates (README: the update history).
    find "$(prefix_of "$user")/drive_c/users" -name history.log -exec cp {} "$dir/" \; 2>/dev/null
    if [ $status -eq 3 ]; then
        stop_runs "run $run: $(sed -n 's/.*RECEIVER FAILED: //p' "$dir/driver.log" | tr -d '\r')"
    elif ! receiver_alive; then
        stop_runs "the receiver has ended: $(tail -n 2 "$RESULTS/receiver.log" | tr '\n' ' ')"
    fi
    # A run that failed may leave the tool behind: the next one starts Wine afresh.
    if [ $status -ne 0 ] && [ -z "$STOPPED" ]; then
        stop_wine "$user" "$(prefix_of "$user")"
        start_wine "$user" "$(prefix_of "$user")"
    fi
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
        index($0, "trace:file:CreateFileW L") {
            if (index($0, path)) {
                opening[thread] = $0; sub(/.*CreateFileW /, "", opening[thread])
            } else {
                other[thread] # another file: a handle value it gets is not the receiver
            }
            next
        }
        index($0, "trace:file:CreateFileW returning") && (thread in opening) {
            handles[$NF]; print "CreateFileW " opening[thread] " -> " $NF
            delete opening[thread]; next
        }
        index($0, "trace:file:CreateFileW returning") && (thread in other) {
            delete handles[$NF]; delete other[thread]; next
        }
        $1 ~ /trace:file:(Read|Write)File$/ && ($2 in handles) {
            call = $1; sub(/.*:/, "", call); key = call " of " $4 " bytes"
            if (!(key in count)) print call " on the receiver: " $4 " bytes (first one)"
            count[key]++
        }
        END { for (key in count) print count[key] " x " key " on the receiver" }
    ' "$1/trace.log" >"$1/enumeration.txt"
}

# The traced tool read and wrote the receiver in mode 1 only in reports of 64 bytes, as
# it handed them to the system: Wine cuts a longer write down to the report's length, so
# the receiver never sees it.
check_traced_lengths() { # dir
    local wrong
    wrong=$(awk '/^[0-9]+ x (Read|Write)File of / && $5 != 64' "$1/enumeration.txt")
    if ! grep -q '^[0-9]* x WriteFile of ' "$1/enumeration.txt"; then
        echo "report-lengths FAIL 0" >>"$RESULTS/verdicts"
        log "the trace shows no write of the tool's on the receiver"
    elif [ -n "$wrong" ]; then
        echo "report-lengths FAIL 0" >>"$RESULTS/verdicts"
        log "the tool's reads and writes on the receiver in mode 1 not of 64 bytes: $wrong"
    else
        echo "report-lengths PASS 0" >>"$RESULTS/verdicts"
    fi
}

# The files the ordinary user's runs read: on the host they may be their owner's alone
# (in a home folder of mode 0700, say). In the guest, where root's changes stay in the
# throw-away layer, everyone may read them and pass through the folders above them.
open_to_everyone() { # path...
    local path dir
    for path; do
        find "$path" -maxdepth 0 ! -perm -o=r -exec chmod o+r {} +
        dir=$(dirname "$path")
        find "$dir" -maxdepth 0 ! -perm -o=rx -exec chmod o+rx {} +
        while dir=$(dirname "$dir") && [ "$dir" != / ]; do
            find "$dir" -maxdepth 0 ! -perm -o=x -exec chmod o+x {} +
        done
    done
}

# An ordinary user, in the plugdev group, with a Wine prefix of its own.
add_user() {
    echo "$USER_NAME:x:$USER_ID:$USER_ID::/home/$USER_NAME:/bin/bash" >>/etc/passwd
    echo "$USER_NAME:x:$USER_ID:" >>/etc/group
    if grep -q '^plugdev:' /etc/group; then
        sed -i "s/^\(plugdev:[^:]*:[^:]*:\)\(.\+\)$/\1\2,$USER_NAME/; s/^\(plugdev:[^:]*:[^:]*:\)$/\1$USER_NAME/" /etc/group
    else
        echo "plugdev:x:46:$USER_NAME" >>/etc/group
    fi
    local home=/home/$USER_NAME
    mkdir -p "$home"
    chown "$USER_NAME:$USER_NAME" "$home"
    open_to_everyone "$DRIVER" "$TOOL" "$IMAGE"
    make_prefix "$USER_NAME"
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

# The scenarios of this boot: all, or those KX_REALSTACK_SCENARIOS names (the user's
# by their run's name). The root run's scenarios go to ROOT_RUN, the user's to USER_RUNS.
plan_runs() {
    local word
    ROOT_RUN=() USER_RUNS=()
    if [ -z "${ONLY_SCENARIOS:-}" ]; then
        ROOT_RUN=("${ROOT_SCENARIOS[@]}")
        USER_RUNS=("${USER_SCENARIOS[@]}")
    else
        for word in $ONLY_SCENARIOS; do
            case $word in
            user-no-rule | user-rule) USER_RUNS+=("$word") ;;
            *) ROOT_RUN+=("$word") ;;
            esac
        done
    fi
    {
        for word in "${ROOT_RUN[@]}"; do echo "${word%%=*}"; done
        case " ${ROOT_RUN[*]} " in *" mode1 "*) echo report-lengths ;; esac
        for word in "${USER_RUNS[@]}"; do echo "$word"; done
    } >"$RESULTS/expected"
}

guest_main() {
    mkdir -p "$RESULTS/screens"
    chmod 777 "$RESULTS/screens" # every user's runs take screenshots
    plan_runs
    start_system
    start_receiver
    if [ ${#ROOT_RUN[@]} -gt 0 ] && [ -z "$STOPPED" ]; then
        make_prefix root
        start_wine root "$(prefix_of root)"
        drive root root --trace trace+setupapi,trace+file,trace+hid "${ROOT_RUN[@]}"
        summarise_trace "$RESULTS/root"
        case " ${ROOT_RUN[*]} " in *" mode1 "*) [ -n "$STOPPED" ] || check_traced_lengths "$RESULTS/root" ;; esac
        stop_wine root "$(prefix_of root)"
    fi
    if [ ${#USER_RUNS[@]} -gt 0 ] && [ -z "$STOPPED" ]; then
        add_user
        start_wine "$USER_NAME" "$(prefix_of $USER_NAME)"
        local run
        for run in "${USER_RUNS[@]}"; do
            case $run in
            user-no-rule) drive no-rule "$USER_NAME" user-no-rule=not-permitted ;;
            user-rule)
                install_readme_rule
                drive rule "$USER_NAME" user-rule=permitted-update
                ;;
            esac
            note_access
        done
    fi
    stop_receiver
    cp -r "$EXCHANGE" "$RESULTS/exchange" 2>/dev/null
    log "memory: $(awk '/MemTotal/{t=$2}/MemAvailable/{a=$2}END{printf "%d MiB of %d MiB in use", (t-a)/1024, t/1024}' /proc/meminfo)"
}

guest_main
