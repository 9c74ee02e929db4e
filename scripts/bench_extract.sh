#!/usr/bin/env bash
# Extraction benchmark: `mksfx extract` against Info-ZIP `unzip -qq -o -d` on the same
# self-extracting file of at least 100 MB of real files from this system (documentation,
# programs, libraries, translations), each as a whole process, one run after a warm-up read.
# Prints the CPU time (user + system) of each and their ratio.
#   scripts/bench_extract.sh     MKSFX (default build-bench/tools/mksfx), STUB (the stub
#                                image; default the first of build/win, build-bench/win),
#                                BENCH_DIR (default build-bench/extract), BENCH_MB (110)
set -euo pipefail
cd "$(dirname "$0")/.."

MKSFX=${MKSFX:-build-bench/tools/mksfx}
if [ -z "${STUB:-}" ]; then
  for s in build/win/sfxstub.exe build-bench/win/sfxstub.exe; do
    [ -e "$s" ] && { STUB=$s; break; }
  done
fi
STUB=${STUB:-build/win/sfxstub.exe}
WORK=${BENCH_DIR:-build-bench/extract}
WANT_MB=${BENCH_MB:-110}

for tool in "$MKSFX" "$STUB"; do
  [ -e "$tool" ] || { echo "bench_extract: $tool is missing (run make first)" >&2; exit 1; }
done
command -v unzip >/dev/null || { echo "bench_extract: unzip is not installed" >&2; exit 1; }
command -v zip >/dev/null || { echo "bench_extract: zip is not installed" >&2; exit 1; }

mkdir -p "$WORK"
archive=$WORK/input.zip
sfx=$WORK/bench.exe
if [ ! -s "$sfx" ]; then
  # Regular files from a few system folders, in a stable order, until the size is reached.
  list=$WORK/files.txt
  # Names are kept to characters that neither tool rewrites.
  find /usr/share/doc /usr/bin /usr/lib/x86_64-linux-gnu /usr/share/locale -xdev -type f \
      -size -20M -readable -printf '%s %p\n' 2>/dev/null | grep -v '[^A-Za-z0-9._/+ -]' |
    sort -k2 > "$list.all"
  awk -v want=$((WANT_MB * 1024 * 1024)) '{ total += $1; print $2; if (total >= want) exit }' \
    "$list.all" > "$list"
  rm -f "$archive"
  zip -q -X -9 "$archive" -@ < "$list"
  "$MKSFX" build -o "$sfx" --stub "$STUB" --command setup.exe "$archive" >/dev/null
fi
size=$(stat -c %s "$sfx")

# CPU time of one whole process (user + system of the child), in seconds.
cpu() {
  python3 - "$@" <<'EOF'
import resource, subprocess, sys
subprocess.run(sys.argv[1:], check=False, stdout=subprocess.DEVNULL)
r = resource.getrusage(resource.RUSAGE_CHILDREN)
print("%.3f %.3f" % (r.ru_utime, r.ru_stime))
EOF
}

cat "$sfx" >/dev/null  # warm the page cache for both
ours=$WORK/ours peer=$WORK/peer
rm -rf "$ours" "$peer"
read -r ou os < <(cpu "$MKSFX" extract "$sfx" "$ours")
read -r pu ps < <(cpu unzip -qq -o -d "$peer" "$sfx")

# Both must have produced the same files.
if ! diff -r -q "$ours" "$peer" >/dev/null; then
  echo "bench_extract: the two extractions differ" >&2
  exit 1
fi
files=$(find "$ours" -type f | wc -l)
bytes=$(du -sb "$ours" | cut -f1)
rm -rf "$ours" "$peer"

python3 - "$ou" "$os" "$pu" "$ps" "$files" "$bytes" "$size" <<'EOF'
import sys
ou, os_, pu, ps = map(float, sys.argv[1:5])
files, size_out, size_in = int(sys.argv[5]), int(sys.argv[6]), int(sys.argv[7])
ours, peer = ou + os_, pu + ps
print("extract: %d files, %.1f MB out of a %.1f MB self-extracting file" %
      (files, size_out / 1e6, size_in / 1e6))
print("  mksfx extract     user %6.3f s  sys %6.3f s  cpu %6.3f s" % (ou, os_, ours))
print("  unzip -qq -o -d   user %6.3f s  sys %6.3f s  cpu %6.3f s" % (pu, ps, peer))
print("  ratio (ours / unzip): %.3f" % (ours / peer if peer else float("nan")))
EOF
