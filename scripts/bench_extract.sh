#!/usr/bin/env bash
# Extraction benchmark: `mksfx extract` against Info-ZIP `unzip -qq -o -d` on the same
# self-extracting file of real files from this system (at least BENCH_MB megabytes and 5,000
# files: documentation, translations, libraries, programs), each as a whole process, in
# BENCH_RUNS (5) runs each. Prints the CPU time (user + system) of each and their ratio, then
# the system calls of each, counted in one more run under `strace -c -f`.
#   scripts/bench_extract.sh     MKSFX (default build-bench/tools/mksfx), STUB (the stub
#                                image; default the first of build/win, build-bench/win),
#                                BENCH_DIR (default build-bench/extract), BENCH_MB (220)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/bench_corpus.sh

MKSFX=${MKSFX:-build-bench/tools/mksfx}
if [ -z "${STUB:-}" ]; then
  for s in build/win/sfxstub.exe build-bench/win/sfxstub.exe; do
    [ -e "$s" ] && { STUB=$s; break; }
  done
fi
STUB=${STUB:-build/win/sfxstub.exe}
WORK=${BENCH_DIR:-build-bench/extract}
WANT_MB=${BENCH_MB:-220}

for tool in "$MKSFX" "$STUB"; do
  [ -e "$tool" ] || { echo "bench_extract: $tool is missing (run make first)" >&2; exit 1; }
done
command -v unzip >/dev/null || { echo "bench_extract: unzip is not installed" >&2; exit 1; }
command -v zip >/dev/null || { echo "bench_extract: zip is not installed" >&2; exit 1; }
command -v strace >/dev/null || { echo "bench_extract: strace is not installed" >&2; exit 1; }

mkdir -p "$WORK"
archive=$WORK/corpus-$WANT_MB.zip
sfx=$WORK/corpus-$WANT_MB.exe
if [ ! -s "$sfx" ]; then
  bench_corpus_zip "$archive" "$WANT_MB" 5000
  "$MKSFX" build -o "$sfx" --stub "$STUB" --extract-only "$archive" >/dev/null
fi
size=$(stat -c %s "$sfx")

# CPU time of one whole process (user + system of the child), in seconds.
cpu() {
  python3 - "$@" <<'EOF'
import resource, subprocess, sys
subprocess.run(sys.argv[1:], check=False, stdout=subprocess.DEVNULL)
r = resource.getrusage(resource.RUSAGE_CHILDREN)
print("%.3f %.3f %.3f" % (r.ru_utime, r.ru_stime, r.ru_utime + r.ru_stime))
EOF
}

# Every run starts from the same state: the disk synced and, where the benchmark may (as
# root), the page cache dropped and the file read back (both read it from the cache). And no
# run follows the deletion of another's files: ext4 without a journal, as on this kind of
# machine, passes over every inode freed in the last minute when it creates a file. Each run
# writes into a folder of its own, and all of them go at the end. (With the folders deleted
# between runs, three runs of each went from 0.4 to 6 s of system time.)
settle() {
  sync
  if [ -w /proc/sys/vm/drop_caches ]; then echo 1 >/proc/sys/vm/drop_caches; fi
  cat "$sfx" >/dev/null
}

# BENCH_RUNS (5) runs of each, in turn; each tool's run with the median CPU time counts.
# The system time of both depends on the file system's state: ext4 without a journal passes
# over every inode freed in the last minutes (by anybody on the disk) when it looks for a
# free one. Right after an extraction was deleted, that search took 14-15% of the samples of
# some runs, of either tool, and under 1% of the others, in no order that we could find. The
# median of five absorbs two such runs; each round also swaps which tool goes first.
runs=${BENCH_RUNS:-5} ours_runs="" peer_runs=""
rm -rf "$WORK/runs" && mkdir -p "$WORK/runs"
run_ours() { settle; ours_runs+="$(cpu "$MKSFX" extract "$sfx" "$WORK/runs/ours-$1")"$'\n'; }
run_peer() { settle; peer_runs+="$(cpu unzip -qq -o -d "$WORK/runs/peer-$1" "$sfx")"$'\n'; }
for ((i = 1; i <= runs; ++i)); do
  if ((i % 2)); then run_ours $i; run_peer $i; else run_peer $i; run_ours $i; fi
done
median() { sort -n -k3 | sed -n "$(((runs + 1) / 2))p" | cut -d' ' -f1,2; }
read -r ou os < <(printf %s "$ours_runs" | median)
read -r pu ps < <(printf %s "$peer_runs" | median)
ours=$WORK/runs/ours-1 peer=$WORK/runs/peer-1

# Both must have produced the same files.
if ! diff -r -q "$ours" "$peer" >/dev/null; then
  echo "bench_extract: the two extractions differ" >&2
  exit 1
fi
files=$(find "$ours" -type f | wc -l)
bytes=$(du -sb "$ours" | cut -f1)
rm -rf "$WORK/runs"
ours=$WORK/ours peer=$WORK/peer
rm -rf "$ours" "$peer"

# The same two runs again under strace, which slows them down: only the counts are kept.
strace -c -f -o "$WORK/calls-ours.txt" "$MKSFX" extract "$sfx" "$ours" >/dev/null
strace -c -f -o "$WORK/calls-peer.txt" unzip -qq -o -d "$peer" "$sfx"
rm -rf "$ours" "$peer"

python3 - "$ou" "$os" "$pu" "$ps" "$files" "$bytes" "$size" "$WORK"/calls-{ours,peer}.txt <<'EOF'
import sys
ou, os_, pu, ps = map(float, sys.argv[1:5])
files, size_out, size_in = int(sys.argv[5]), int(sys.argv[6]), int(sys.argv[7])

def calls(path):
    """The call counts of a `strace -c` summary, by system call, with "total"."""
    counts = {}
    for line in open(path):
        f = line.split()
        if len(f) >= 5 and f[3].isdigit() and f[0][0].isdigit():
            counts[f[-1]] = int(f[3])
    return counts
ours, peer = ou + os_, pu + ps
print("extract: %d files, %.1f MB out of a %.1f MB self-extracting file" %
      (files, size_out / 1e6, size_in / 1e6))
print("  mksfx extract     user %6.3f s  sys %6.3f s  cpu %6.3f s" % (ou, os_, ours))
print("  unzip -qq -o -d   user %6.3f s  sys %6.3f s  cpu %6.3f s" % (pu, ps, peer))
print("  ratio (ours / unzip): %.3f (user time alone: %.3f)" %
      (ours / peer if peer else float("nan"), ou / pu if pu else float("nan")))
ours_calls, peer_calls = calls(sys.argv[8]), calls(sys.argv[9])
print("system calls (strace -c -f):")
print("  mksfx extract %9d" % ours_calls["total"])
print("  unzip         %9d" % peer_calls["total"])
print("  ratio (ours / unzip): %.3f" % (ours_calls["total"] / peer_calls["total"]))
top = sorted((n for n in ours_calls if n != "total"), key=lambda n: -ours_calls[n])[:6]
print("  most frequent:" + "".join("  %s %d/%d" % (n, ours_calls[n], peer_calls.get(n, 0))
                                   for n in top) + "  (ours/unzip)")
EOF
