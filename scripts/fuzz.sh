#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) in build-fuzz/ and runs them, one
# after the other or only the one named, each on a scratch corpus that starts from its checked-in
# corpus fuzz/corpus/NAME/. At the end the findings are merged back into that corpus, which
# keeps only inputs that add coverage.
#   scripts/fuzz.sh [NAME]      FUZZ_SECONDS (default 300) per target, FUZZ_MAX_LEN (4096)
set -euo pipefail
cd "$(dirname "$0")/.."
# An extraction that fails unwinds without releasing what the abandoned steps held (the
# program ends right after), so leak reports would stop every run on the first bad input.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0}

BUILD=${FUZZ_BUILD:-build-fuzz}
SECONDS_EACH=${FUZZ_SECONDS:-300}
MAX_LEN=${FUZZ_MAX_LEN:-4096}

targets=()
if [ -n "${1:-}" ]; then
  targets=("$1")
else
  for f in fuzz/*.cpp; do targets+=("$(basename "$f" .cpp)"); done
fi

CC=clang CXX=clang++ cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTESSLY_FUZZ=ON -DTESSLY_WINDOWS=OFF >/dev/null
cmake --build "$BUILD" -j 2 --target "${targets[@]/#/fuzz_}"

for t in "${targets[@]}"; do
  corpus=fuzz/corpus/$t
  work=$BUILD/corpus-$t
  merged=$BUILD/merged-$t
  mkdir -p "$corpus" "$work"
  echo "fuzz: $t for ${SECONDS_EACH}s"
  (cd "$BUILD" && nice -n 10 "./fuzz_$t" -jobs=1 -workers=1 -max_len="$MAX_LEN" \
     -max_total_time="$SECONDS_EACH" -print_final_stats=1 -detect_leaks=0 "corpus-$t" "../$corpus")
  rm -rf "$merged"
  mkdir -p "$merged"
  "$BUILD/fuzz_$t" -merge=1 -detect_leaks=0 -max_len="$MAX_LEN" "$merged" "$corpus" "$work" 2>"$BUILD/merge-$t.log"
  rm -rf "$corpus"
  mv "$merged" "$corpus"
  echo "fuzz: $t corpus now $(ls "$corpus" | wc -l) files, $(du -sk "$corpus" | cut -f1) KiB"
done
