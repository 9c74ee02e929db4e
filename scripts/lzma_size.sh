#!/usr/bin/env bash
# The code size of the two LZMA decoders the solid stub could carry, compiled for the stub
# (MinGW-w64 i686 at the stub's flags, cmake/windows.cmake, without link-time optimisation):
# ours (lzma/decode.cpp, with its feed and sink glue) and the SDK's LzmaDec.c from Debian's
# lzma-dev (the decoder alone, without the glue a stub would add around it).
#   lzma_size.sh BUILD   (a host build tree, for generated/messages.h)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build-bench}
OUT=$(mktemp -d)
trap 'rm -rf "$OUT"' EXIT
FLAGS=(-Os -mpreferred-stack-boundary=2 -march=i386 -mtune=i686 -fno-asynchronous-unwind-tables
       -fno-unwind-tables -fno-stack-protector -fno-ident -ffunction-sections -fomit-frame-pointer
       -mno-stack-arg-probe -malign-data=abi -fno-optimize-sibling-calls)
i686-w64-mingw32-g++ "${FLAGS[@]}" -fno-exceptions -fno-rtti -I. -I"$BUILD" -c lzma/decode.cpp -o "$OUT/ours.o"
i686-w64-mingw32-gcc "${FLAGS[@]}" -c /usr/include/lzma/LzmaDec.c -o "$OUT/sdk.o"
size_of() {  # code and constant data: every section but the debug ones
  i686-w64-mingw32-size -A "$1" | awk '$1 ~ /^\.(text|rdata|data|bss)/ {s += $2} END {print s}'
}
printf "LZMA decoder code for the stub (i686, -Os): ours %s bytes, LzmaDec.c %s bytes\n" \
  "$(size_of "$OUT/ours.o")" "$(size_of "$OUT/sdk.o")"
