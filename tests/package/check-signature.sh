#!/usr/bin/env bash
# The tool in the package carries an Authenticode signature that verifies against the
# authority the build signed for, and the same file with one byte changed does not.
#   check-signature.sh EXE BUILD_DIR
set -uo pipefail
exe=$1
build=$2
authority=$(cat "$build/signing/verify-with.txt" 2>/dev/null) || {
    echo "the build recorded no signing (no $build/signing/verify-with.txt)"
    exit 1
}
verify() { # file: osslsigncode's verdict on it
    if [ -n "$authority" ]; then
        osslsigncode verify -CAfile "$authority" -in "$1" 2>&1
    else
        osslsigncode verify -in "$1" 2>&1
    fi
}

out=$(verify "$exe") || {
    printf 'the packaged tool does not verify:\n%s\n' "$out"
    exit 1
}
grep -q "digest algorithm *: *SHA256" <<<"$out" || {
    printf 'not signed with SHA-256:\n%s\n' "$out"
    exit 1
}
echo "the packaged tool verifies"

# One byte in the middle of the program changed, as a tampered copy would have it.
copy=$(mktemp --suffix=.exe)
trap 'rm -f "$copy"' EXIT
cp "$exe" "$copy"
offset=$(($(stat -c %s "$copy") / 2))
byte=$(od -An -tu1 -j "$offset" -N1 "$copy" | tr -d ' ')
printf "\\$(printf %03o $((byte ^ 0xFF)))" | dd of="$copy" bs=1 seek="$offset" conv=notrunc status=none
if out=$(verify "$copy"); then
    printf 'a copy with byte %d changed still verifies:\n%s\n' "$offset" "$out"
    exit 1
fi
echo "a copy with byte $offset changed does not verify"
