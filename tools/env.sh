# Shared by ./test and ./run: installs what the build needs, configures and builds,
# and starts (and later stops) the display and the Wine server the program runs on.
# Source it; it defines functions only.

KX_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
KX_BUILD="$KX_ROOT/build"
KX_PACKAGES=(cmake ninja-build g++-mingw-w64-x86-64 wine wine64 xvfb x11-utils googletest imagemagick
    osslsigncode openssl clang lld clang-tidy cppcheck)

kx_say() { printf '%s\n' "$*" >&2; }

# Installs the Debian packages that are missing (those given, else KX_PACKAGES); silent
# when all are present.
kx_ensure_packages() {
    local missing=() p
    [ $# -gt 0 ] || set -- "${KX_PACKAGES[@]}"
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    kx_say "Installing: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    export DEBIAN_FRONTEND=noninteractive
    "${sudo[@]}" apt-get update -qq >/dev/null &&
        "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null ||
        { kx_say "Package installation failed: ${missing[*]}"; return 1; }
}

kx_build() {
    if [ ! -f "$KX_BUILD/build.ninja" ]; then
        cmake -S "$KX_ROOT" -B "$KX_BUILD" -G Ninja \
            -DCMAKE_TOOLCHAIN_FILE="$KX_ROOT/cmake/mingw-w64-x86_64.cmake" >/dev/null || return 1
    fi
    cmake --build "$KX_BUILD" "$@"
}

KX_STARTED_XVFB=
KX_STARTED_WINESERVER=

# Starts Xvfb on a free display when there is no display; Xvfb picks the number
# itself (-displayfd), so several runs on one machine never collide.
kx_start_display() {
    [ -n "${DISPLAY:-}" ] && return 0
    local fifo n=
    fifo=$(mktemp -u)
    mkfifo "$fifo"
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
    KX_STARTED_XVFB=$!
    read -r -t 20 n <"$fifo"
    rm -f "$fifo"
    if [ -z "$n" ]; then
        kx_say "Xvfb did not start"
        return 1
    fi
    export DISPLAY=":$n"
}

kx_wineserver() {
    if command -v wineserver >/dev/null 2>&1; then wineserver "$@"
    else /usr/lib/wine/wineserver "$@"; fi
}

# A Wine prefix inside build/, created once, and a persistent wineserver so each
# program start costs milliseconds instead of seconds. $1: "virtual" runs the programs
# in a Wine virtual desktop (the tests), anything else on the real desktop.
kx_start_wine() {
    export WINEPREFIX="$KX_BUILD/wineprefix"
    export WINEDEBUG=-all
    export WINEARCH=win64
    # No Mono or Gecko installer prompts: the program needs neither.
    export WINEDLLOVERRIDES="mscoree,mshtml="
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        kx_say "Creating the Wine prefix (once)..."
        mkdir -p "$WINEPREFIX"
        wine wineboot -i >/dev/null 2>&1 </dev/null || true
    fi
    kx_wineserver -p >/dev/null 2>&1 || true
    KX_STARTED_WINESERVER=1
    local restart=
    if ! kx_wine_desktop_is "${1:-real}"; then
        kx_wine_set_desktop "${1:-real}"
        restart=1
    fi
    if ! kx_wine_reads_hidraw; then
        kx_wine_read_hidraw
        restart=1
    fi
    # Read by Wine's debugger at each crash: nothing to restart for it.
    kx_wine_shows_no_crash_dialog || kx_wine_show_no_crash_dialog
    if [ -n "$restart" ]; then
        # The desktop and the HID bus read their settings when they start: start Wine afresh.
        kx_wineserver -k >/dev/null 2>&1 || true
        kx_wineserver -w >/dev/null 2>&1 || true
        kx_wineserver -p >/dev/null 2>&1 || true
    fi
    # Programs start at 96 DPI: the display-scale tests give their child processes
    # another DPI for as long as those run, and a run killed meanwhile would leave it.
    wine reg delete 'HKCU\Control Panel\Desktop' /v LogPixels /f >/dev/null 2>&1 </dev/null || true
    # Start Wine's background services now, detached from our output: started by a
    # test instead, they would inherit CTest's pipes and keep it waiting.
    wine wineboot >/dev/null 2>&1 </dev/null || true
}

# Tests run in a Wine virtual desktop: its windows are not top-level X windows, so
# hiding one does not wait for a window manager that Xvfb does not have (Wine waits up
# to 2 s for each), and focus and the foreground window behave as on Windows. The
# program run for a person uses the real desktop instead.
KX_DESKTOP_KEY='HKCU\Software\Wine\Explorer'

kx_wine_desktop_is() {
    local current=real
    wine reg query "$KX_DESKTOP_KEY" /v Desktop >/dev/null 2>&1 </dev/null && current=virtual
    [ "$current" = "$1" ]
}

kx_wine_set_desktop() {
    if [ "$1" = virtual ]; then
        wine reg add "$KX_DESKTOP_KEY" /v Desktop /d Default /f >/dev/null 2>&1 </dev/null
        wine reg add "$KX_DESKTOP_KEY\\Desktops" /v Default /d 1280x1024 /f >/dev/null 2>&1 </dev/null
    else
        wine reg delete "$KX_DESKTOP_KEY" /v Desktop /f >/dev/null 2>&1 </dev/null
    fi
    return 0
}

# Wine 8's HID bus reads hidraw devices (a receiver plugged into this machine, or the
# virtual one of the real-stack test) only with its SDL bus switched off: with SDL on it
# never starts its udev bus, whether or not SDL is installed. The README tells people
# who run the tool under Wine to do the same.
KX_WINEBUS_KEY='HKLM\System\CurrentControlSet\Services\winebus'

kx_wine_reads_hidraw() {
    wine reg query "$KX_WINEBUS_KEY" /v 'Enable SDL' 2>/dev/null </dev/null | grep -q 'REG_DWORD *0x0'
}

kx_wine_read_hidraw() {
    wine reg add "$KX_WINEBUS_KEY" /v 'Enable SDL' /t REG_DWORD /d 0 /f >/dev/null 2>&1 </dev/null
    return 0
}

# A program that crashes ends at once, Wine's backtrace of it on standard error, instead
# of waiting in Wine's crash dialog for someone to close it (under a test, until its
# time-out, with what it printed lost).
KX_WINEDBG_KEY='HKCU\Software\Wine\WineDbg'

kx_wine_shows_no_crash_dialog() {
    wine reg query "$KX_WINEDBG_KEY" /v ShowCrashDialog 2>/dev/null </dev/null | grep -q 'REG_DWORD *0x0'
}

kx_wine_show_no_crash_dialog() {
    wine reg add "$KX_WINEDBG_KEY" /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1 </dev/null
    return 0
}

kx_stop_all() {
    if [ -n "$KX_STARTED_WINESERVER" ]; then
        kx_wineserver -k >/dev/null 2>&1 || true
        kx_wineserver -w >/dev/null 2>&1 || true
    fi
    if [ -n "$KX_STARTED_XVFB" ]; then
        kill "$KX_STARTED_XVFB" 2>/dev/null || true
        wait "$KX_STARTED_XVFB" 2>/dev/null || true
        unset DISPLAY
    fi
}
