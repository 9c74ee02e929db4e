#!/usr/bin/env bash
# Builds the benchmarks (bench/NAME_bench.cpp) optimised in build-bench/ and runs each one.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${BENCH_BUILD:-build-bench}
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DTESSLY_WINDOWS=OFF >/dev/null
benches=()
for f in bench/*_bench.cpp; do benches+=("$(basename "$f" .cpp)"); done
cmake --build "$BUILD" -j 2 --target "${benches[@]}"
for b in "${benches[@]}"; do
  echo "== $b"
  "$BUILD/bench/$b" "$@"
done

# The code size of the LZMA decoders for the stub.
bash scripts/lzma_size.sh "$BUILD"

# Whole processes: `mksfx extract` against Info-ZIP unzip.
cmake --build "$BUILD" -j 2 --target mksfx
MKSFX="$BUILD/tools/mksfx" bash scripts/bench_extract.sh
