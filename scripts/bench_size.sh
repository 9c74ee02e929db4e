#!/bin/bash
# make bench-size: the size of a setup file made from the same payloads by our two forms and
# by the peers: makensis (SetCompressor /SOLID lzma), 7z -t7z -mx9 and 7z -tzip -mm=LZMA -mx9
# (archives without a program in front). Payloads: examples/hello, the i386 Windows DLLs and
# programs that Wine ships, and a mixed payload of about 100 MB made from files that this
# project's packages install (text, images, programs, and byte-identical copies among them).
#
#   scripts/bench_size.sh [PAYLOAD...]    hello, dlls, mixed (default: all three), or
#                                         dllsN: the DLLs' first N MiB by name (a quicker run:
#                                         dlls128, or dlls200, some 200 MB)
#
# Prints one table (Markdown) of sizes in bytes, our solid form's ratio to each peer, and the
# seconds each tool took.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
MKSFX=$ROOT/dist/bin/mksfx
STUBS=$ROOT/dist/share/tessly
WORK=${BENCH_WORK:-$ROOT/build-bench/size}
[ -x "$MKSFX" ] || { echo "bench_size: run 'make' first ($MKSFX is missing)" >&2; exit 1; }
for tool in makensis 7z; do
    command -v $tool >/dev/null || { echo "bench_size: $tool is missing (scripts/setup.sh installs it)" >&2; exit 1; }
done
rm -rf "$WORK"
mkdir -p "$WORK"
export SOURCE_DATE_EPOCH=1700000000

# The solid form's stub; until it is installed, the ZIP stub marked as reading both forms
# stands in for it (the real one is larger by its LZMA decoder).
SOLID_STUB=$STUBS/sfxstub-solid.exe
STUB_NOTE=""
if [ ! -f "$SOLID_STUB" ]; then
    SOLID_STUB=$WORK/solid-stand-in.exe
    python3 - "$STUBS/sfxstub.exe" "$SOLID_STUB" <<'EOF'
import sys
d = bytearray(open(sys.argv[1], 'rb').read())
i = d.find(b'rdk\x01sfx\x02')
d[i + 46] = 3
open(sys.argv[2], 'wb').write(d)
EOF
    STUB_NOTE="(solid stub: the ZIP stub standing in)"
fi

wine_dlls() {
    for d in /usr/lib/i386-linux-gnu/wine/i386-windows /usr/lib/wine/i386-windows; do
        [ -d "$d" ] && { echo "$d"; return; }
    done
    echo "bench_size: no i386 Windows DLLs of Wine found" >&2
    exit 1
}

# Copies files (sorted by name) from the list on stdin into $1 until $2 bytes are reached.
take_until() {
    local to=$1 cap=$2 sum=0 f
    mkdir -p "$to"
    while IFS= read -r f; do
        [ "$sum" -ge "$cap" ] && break
        cp -p "$f" "$to/"
        sum=$((sum + $(stat -c %s "$f")))
    done
}

mixed_payload() {
    local p=$WORK/payload-mixed
    find /usr/share/mingw-w64/include -maxdepth 1 -name '*.h' | LC_ALL=C sort | take_until "$p/text" $((40 << 20))
    mkdir -p "$p/images"
    cp -rp /usr/share/icons/Adwaita "$p/images/"
    find "$(wine_dlls)" -maxdepth 1 -name '*.exe' | LC_ALL=C sort | take_until "$p/programs" $((12 << 20))
    cp -rp "$p/programs" "$p/copies"
    echo "$p"
}

payload_dir() {
    case $1 in
        hello) echo "$ROOT/examples/hello" ;;
        dlls) wine_dlls ;;
        dlls[0-9]*)
            find "$(wine_dlls)" -maxdepth 1 -type f | LC_ALL=C sort | take_until "$WORK/payload-$1" $((${1#dlls} << 20))
            echo "$WORK/payload-$1" ;;
        mixed) mixed_payload ;;
    esac
}

# Runs a command, prints the seconds it took to stderr's file $1.
timed() {
    local t=$1
    shift
    local start=$(date +%s.%N)
    "$@" >/dev/null 2>"$WORK/last.err" || { cat "$WORK/last.err" >&2; return 1; }
    echo "$(date +%s.%N) - $start" | bc >"$t"
}

size() { stat -c %s "$1"; }
ratio() { echo "scale=3; $1 / $2" | bc | sed 's/^\./0./'; }

echo "| payload | input | ours ZIP (level 12) | ours solid | makensis /SOLID lzma | 7z -t7z -mx9 | 7z -tzip LZMA -mx9 | solid : makensis | solid : 7z | solid : 7z zip |"
echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
for name in "${@:-hello dlls mixed}"; do
    for payload in $name; do
        dir=$(payload_dir "$payload")
        out=$WORK/out-$payload
        mkdir -p "$out"
        input=$(find "$dir" -type f -printf '%s\n' | awk '{s += $1} END {print s}')
        timed "$out/t.zip" nice "$MKSFX" build -q --extract-only -o "$out/zip.exe" --compression deflate --level 12 \
            --stub "$STUBS/sfxstub.exe" "$dir"
        timed "$out/t.solid" nice "$MKSFX" build -q --extract-only -o "$out/solid.exe" --compression solid --stub "$SOLID_STUB" "$dir"
        cat >"$out/setup.nsi" <<EOF
SetCompressor /SOLID lzma
OutFile "$out/nsis.exe"
RequestExecutionLevel user
Section
SetOutPath \$TEMP\\bench
File /r "$dir/*"
SectionEnd
EOF
        timed "$out/t.nsis" nice makensis -V1 "$out/setup.nsi"
        (cd "$dir" && timed "$out/t.7z" nice 7z a -t7z -mx9 -bso0 -bsp0 "$out/peer.7z" .)
        (cd "$dir" && timed "$out/t.7zip" nice 7z a -tzip -mm=LZMA -mx9 -bso0 -bsp0 "$out/peer.zip" .)
        z=$(size "$out/zip.exe") s=$(size "$out/solid.exe") n=$(size "$out/nsis.exe")
        a=$(size "$out/peer.7z") b=$(size "$out/peer.zip")
        echo "| $payload | $input | $z | $s | $n | $a | $b | $(ratio $s $n) | $(ratio $s $a) | $(ratio $s $b) |"
        echo "$payload seconds: ZIP $(cat $out/t.zip), solid $(cat $out/t.solid), makensis $(cat $out/t.nsis)," \
             "7z $(cat $out/t.7z), 7z zip $(cat $out/t.7zip) $STUB_NOTE" >&2
    done
done
