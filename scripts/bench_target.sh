#!/usr/bin/env bash
# On-target benchmark (`make bench-target`): the real stub under Wine with /AUTO against a
# plain extractor for Windows built with zlib (bench/windows/plain_extract.c). Both do the
# whole job on the same self-extracting file, made by dist/bin/mksfx with the command
# "cmd /c exit 0": extract into a temporary folder, run the command there, delete the folder.
# The inputs are real files from this system:
#   corpus   at least BENCH_MB (220) megabytes and 5,000 files in their folders
#   flat     20,000 small files in one folder
#   spread   the same 20,000 files over 20 folders
# and, against a peer's installer (makensis, `SetCompressor /SOLID lzma`, run with /S; it
# extracts into its own temporary folder, runs the same command there and removes the
# folder), our file in the form mksfx picks, run with /SILENT:
#   dlls     the i386 DLLs and programs that Wine ships
#   mixed    the corpus's files, unpacked into a folder
# Each case runs BENCH_PAIRS (3) pairs in turn and prints both medians and their ratio.
#   BENCH_CASES="corpus flat spread" picks the cases; BUILD (build) is the build tree;
#   BENCH_DESKTOP=cold lets every run start Wine's desktop process anew (see on_target.cpp).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/bench_corpus.sh

BUILD=${BUILD:-build}
WORK=$BUILD/bench-target
MKSFX=dist/bin/mksfx
COMMAND="cmd /c exit 0"
[ -x "$MKSFX" ] || { echo "bench_target: $MKSFX is missing (run make first)" >&2; exit 1; }
cmake --build "$BUILD" -j 2 --target on_target >/dev/null
cmake --build "$BUILD/win" --target plain_extract >/dev/null

# peer_case CASE: makes our file and the peer's installer of the case's folder, and prints
# "OURS,PEER".
peer_case() {
  local case=$1 folder
  command -v makensis >/dev/null || { echo "bench_target: makensis is not installed" >&2; exit 1; }
  case $case in
    dlls) folder=$(dirname "$(find /usr/lib -path '*/wine/i386-windows/kernel32.dll' | head -n 1)") ;;
    mixed)
      folder=$WORK/mixed
      if [ ! -d "$folder" ]; then
        local zip=$WORK/corpus-${BENCH_MB:-220}.zip
        [ -s "$zip" ] || bench_corpus_zip "$zip" "${BENCH_MB:-220}" 5000
        mkdir -p "$folder" && unzip -qq -o "$zip" -d "$folder"
      fi ;;
  esac
  "$MKSFX" build -q -o "$WORK/$case.exe" --command "$COMMAND" "$folder" >&2
  if [ ! -s "$WORK/$case-peer.exe" ]; then
    cat > "$WORK/$case-peer.nsi" <<EOF
Unicode true
SetCompressor /SOLID lzma
OutFile "$(realpath "$WORK")/$case-peer.exe"
RequestExecutionLevel user
SilentInstall silent
Section
  InitPluginsDir
  SetOutPath "\$PLUGINSDIR\\job"
  File /r "$(realpath "$folder")/*"
  ExecWait '$COMMAND'
  SetOutPath "\$TEMP"
  RMDir /r "\$PLUGINSDIR\\job"
SectionEnd
EOF
    makensis -V1 "$WORK/$case-peer.nsi" >&2
  fi
  echo "$(realpath "$WORK/$case.exe"),$(realpath "$WORK/$case-peer.exe")"
}

mkdir -p "$WORK"
inputs=()
for case in ${BENCH_CASES:-corpus flat spread}; do
  case $case in
    corpus) zip=$WORK/corpus-${BENCH_MB:-220}.zip ;;
    flat | spread) zip=$WORK/$case-20000.zip ;;
    dlls | mixed)
      inputs+=("$case=$(peer_case "$case")")
      continue ;;
    *) echo "bench_target: unknown case $case" >&2; exit 2 ;;
  esac
  if [ ! -s "$zip" ]; then
    case $case in
      corpus) bench_corpus_zip "$zip" "${BENCH_MB:-220}" 5000 ;;
      flat) bench_small_zip "$zip" 20000 1 ;;
      spread) bench_small_zip "$zip" 20000 20 ;;
    esac
  fi
  # Made afresh every time: the file carries the stub being measured.
  "$MKSFX" build -o "$WORK/$case.exe" --command "$COMMAND" "$zip" >/dev/null
  inputs+=("$case=$(realpath "$WORK/$case.exe")")
done

# A fresh Wine session: one that had served the Wine tests and hours of manual runs answered
# the stub's window requests more slowly. With 20,000 files in one folder the stub took 1.10
# and 1.20 times the plain extractor's time in such a session, and 0.99 in a fresh one.
bash tests/wine/session.sh stop "$BUILD/wine"

"$BUILD/bench/on_target" "${BENCH_PAIRS:-3}" "$(realpath "$BUILD/win/benchprogs/plain_extract.exe")" \
  "$COMMAND" "${inputs[@]}"
