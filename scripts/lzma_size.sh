#!/usr/bin/env bash
# The code size of the two LZMA decoders the solid stub could carry, compiled for the stub
# (MinGW-w64 i686 at the stub's flags, cmake/windows.cmake): ours (lzma/decode.cpp, with its
# feed and sink glue) and the SDK's LzmaDec.c from Debian's lzma-dev. Twice: each object on
# its own (LzmaDec.c without any glue), and each linked as the stub links (link-time
# optimisation, unused sections dropped) into a bare program that calls DecodeLzma, the SDK's
# behind the least glue that joins it to the feed and the sink; the size of that program
# without a decoder is taken off.
#   lzma_size.sh BUILD   (a host build tree, for generated/messages.h)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build-bench}
OUT=$(mktemp -d)
trap 'rm -rf "$OUT"' EXIT
FLAGS=(-Os -mpreferred-stack-boundary=2 -march=i386 -mtune=i686 -fno-asynchronous-unwind-tables
       -fno-unwind-tables -fno-stack-protector -fno-ident -ffunction-sections -fomit-frame-pointer
       -mno-stack-arg-probe -malign-data=abi -fno-optimize-sibling-calls)
LINK=(-flto -nostdlib -nostartfiles -Wl,--entry=_EntryPoint -Wl,--gc-sections -s
      -Wl,--file-alignment=512 -Wl,--disable-reloc-section)
CXX=(i686-w64-mingw32-g++ "${FLAGS[@]}" -fno-exceptions -fno-rtti -I. -I"$BUILD")
size_of() {  # code and data: every section but the debug ones
  i686-w64-mingw32-size -A "$1" | awk '$1 ~ /^\.(text|rdata|data|bss)/ {s += $2} END {print s}'
}

"${CXX[@]}" -c lzma/decode.cpp -o "$OUT/ours.o"
i686-w64-mingw32-gcc "${FLAGS[@]}" -c /usr/include/lzma/LzmaDec.c -o "$OUT/sdk.o"
printf "LZMA decoder objects for the stub (i686, -Os): ours %s bytes, LzmaDec.c %s bytes\n" \
  "$(size_of "$OUT/ours.o")" "$(size_of "$OUT/sdk.o")"

cat > "$OUT/none.cpp" <<'SRC'
#include "base/feed.h"
unsigned char* volatile gp; volatile DWORD gn;
extern "C" int EntryPoint(void) { return gn; }
SRC
cat > "$OUT/ours.cpp" <<'SRC'
#include "base/feed.h"
#include "lzma/lzma.h"
unsigned char* volatile gp; volatile DWORD gn;
DWORD TakeMemberRun(unsigned char** run) { *run = gp; return gn; }
void WriteOutput(const unsigned char* b, DWORD c) { gp = (unsigned char*)b; gn = c; }
extern "C" int EntryPoint(void) { static unsigned char props[5]; return DecodeLzma(props, gn); }
SRC
cat > "$OUT/sdk.c" <<'SRC'
#include <windows.h>
#include "/usr/include/lzma/LzmaDec.h"
unsigned char* volatile gp; volatile DWORD gn;
DWORD TakeMemberRun(unsigned char** run) { *run = gp; return gn; }
void WriteOutput(const unsigned char* b, DWORD c) { gp = (unsigned char*)b; gn = c; }
static void* A(void* p, size_t n) { return GlobalAlloc(GMEM_FIXED, n); }
static void F(void* p, void* a) { if (a) GlobalFree(a); }
static ISzAlloc alloc = {A, F};
int DecodeLzma(const unsigned char* props, unsigned long long size) {
    static CLzmaDec dec;
    if (LzmaDec_Allocate(&dec, props, 5, &alloc) != SZ_OK) return 2;
    LzmaDec_Init(&dec);
    unsigned char* in = 0; DWORD inLeft = 0;
    while (size) {
        if (!inLeft) inLeft = TakeMemberRun(&in);
        if (dec.dicPos == dec.dicBufSize) dec.dicPos = 0;
        SizeT start = dec.dicPos, room = dec.dicBufSize - start;
        SizeT limit = room < size ? dec.dicBufSize : start + (SizeT)size, taken = inLeft;
        ELzmaStatus status;
        if (LzmaDec_DecodeToDic(&dec, limit, in, &taken, LZMA_FINISH_END, &status) != SZ_OK) return 1;
        in += taken, inLeft -= taken;
        if (dec.dicPos == start && !taken) return 1;
        WriteOutput(dec.dic + start, dec.dicPos - start);
        size -= dec.dicPos - start;
    }
    return inLeft || TakeMemberRun(&in) ? 1 : 0;
}
int EntryPoint(void) { static unsigned char props[5]; return DecodeLzma(props, gn); }
SRC
"${CXX[@]}" "$OUT/none.cpp" "${LINK[@]}" -o "$OUT/none.exe" -lkernel32 -lgcc
"${CXX[@]}" -flto "$OUT/ours.cpp" lzma/decode.cpp "${LINK[@]}" -o "$OUT/ours.exe" -lkernel32 -lgcc
i686-w64-mingw32-gcc "${FLAGS[@]}" -flto "$OUT/sdk.c" /usr/include/lzma/LzmaDec.c "${LINK[@]}" \
  -o "$OUT/sdk.exe" -lkernel32 -lgcc
base=$(size_of "$OUT/none.exe")
printf "Linked as the stub links, with the glue: ours %s bytes, LzmaDec.c %s bytes\n" \
  "$(( $(size_of "$OUT/ours.exe") - base ))" "$(( $(size_of "$OUT/sdk.exe") - base ))"
