#!/usr/bin/env bash
# A second look at the product code, as three tests (tests/CMakeLists.txt registers them):
#   clang_build  clang builds KestrixUpdater.exe and KestrixUpdaterSim.exe into BUILD/clang
#                (cmake/clang-mingw-w64-x86_64.cmake, the same warnings as GCC, -Werror);
#                the shipped exe must import exactly the DLLs the GCC build's does, and the
#                simulated build must take the walk-through's whole update (./run's driver)
#   tidy         clang-tidy (.clang-tidy) over app/, ui/, update/, link/ and framework/
#   cppcheck     cppcheck over the same files
# Both analysers read each file with the flags the clang build compiles it with.
#
#   analysis.sh clang_build|tidy|cppcheck SOURCE BUILD VENDOR_ID PRODUCT_ID WINE
set -uo pipefail
what=$1 src=$2 build=$3 vid=$4 pid=$5 wine=$6
clang_dir=$build/clang
product_db=$clang_dir/product

say() { printf '%s\n' "$*"; }

# Configures the clang build when it has not been, with the receiver's numbers of the
# main build; a configured one regenerates itself when the project's CMake files or
# source lists have changed.
configure() {
    if [ ! -f "$clang_dir/build.ninja" ]; then
        cmake -S "$src" -B "$clang_dir" -G Ninja \
            -DCMAKE_TOOLCHAIN_FILE="$src/cmake/clang-mingw-w64-x86_64.cmake" \
            -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
            -DKESTRIX_VENDOR_ID="$vid" -DKESTRIX_PRODUCT_ID="$pid" >/dev/null || return 1
    fi
    cmake --build "$clang_dir" --target build.ninja >/dev/null
}

# The compile commands of the product's own files (once each: the fuzzer compiles some
# of them again with other flags) in $product_db/compile_commands.json. Debian's clang-tidy
# and cppcheck both bring python3.
product_commands() {
    configure || return 1
    mkdir -p "$product_db"
    /usr/bin/python3 - "$clang_dir/compile_commands.json" "$product_db/compile_commands.json" "$src" <<'EOF'
import json, os, re, sys
commands, out, src = json.load(open(sys.argv[1])), sys.argv[2], os.path.realpath(sys.argv[3])
product = re.compile(re.escape(src) + r'/(app|ui|update|link|framework)/')
chosen = {}
for c in commands:
    f = os.path.realpath(os.path.join(c['directory'], c['file']))
    if product.match(f) and 'KestrixFuzz.dir' not in c.get('output', c.get('command', '')):
        chosen.setdefault(f, c)
json.dump(list(chosen.values()), open(out, 'w'), indent=1)
print(len(chosen), 'product files')
sys.exit(0 if chosen else 1)
EOF
}

# A Linux path as Wine's programs see it.
winpath() { local p; p=$(readlink -f "$1"); printf 'Z:%s' "${p//\//\\}"; }

imports() { x86_64-w64-mingw32-objdump -p "$1" | sed -n 's/^\s*DLL Name: //p' | tr A-Z a-z | sort; }

clang_build() {
    configure || return 1
    cmake --build "$clang_dir" -j2 --target KestrixUpdater KestrixUpdaterSim || return 1
    local gcc_imports clang_imports
    gcc_imports=$(imports "$build/bin/KestrixUpdater.exe") || return 1
    clang_imports=$(imports "$clang_dir/bin/KestrixUpdater.exe") || return 1
    if [ "$gcc_imports" != "$clang_imports" ]; then
        say "The clang-built KestrixUpdater.exe imports other DLLs than the GCC-built one:"
        diff <(say "$gcc_imports") <(say "$clang_imports")
        return 1
    fi
    say "The clang-built KestrixUpdater.exe imports what the GCC-built one does:" $clang_imports
    local out=$clang_dir/walkthrough
    rm -rf "$out" && mkdir -p "$out"
    "$wine" "$build/bin/KestrixWalkthrough.exe" "$(winpath "$clang_dir/bin/KestrixUpdaterSim.exe")" \
        "$(winpath "$src/samples/kestrix-release-v1.36.dat")" "$(winpath "$out")"
}

tidy() {
    product_commands || return 1
    # Two files at a time, the output of each kept together; any finding fails the run
    # (.clang-tidy makes every warning an error).
    run-clang-tidy -quiet -j 2 -p "$product_db" | sed 's/\x1b\[[0-9;]*m//g' ||
        { say "clang-tidy: findings above"; return 1; }
    say "clang-tidy: no findings"
}

cppcheck_product() {
    product_commands || return 1
    cppcheck --project="$product_db/compile_commands.json" --platform=win64 --library=windows \
        --std=c++17 --enable=warning,performance,portability --inline-suppr --error-exitcode=1 \
        --quiet --template='{file}:{line}:{column}: {severity}: {message} [{id}]' ||
        { say "cppcheck: findings above"; return 1; }
    say "cppcheck: no findings"
}

case $what in
clang_build) clang_build ;;
tidy) tidy ;;
cppcheck) cppcheck_product ;;
*) say "unknown check: $what" >&2; exit 2 ;;
esac
