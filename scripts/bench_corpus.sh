# Sourced by the benchmark scripts: ZIP archives of real files from this system, with names
# kept to characters that no tool rewrites.

# bench_corpus_zip ZIP MB FILES: regular files from documentation, translations, libraries
# and programs, in that order and by path within each, until both MB megabytes and FILES
# files are reached (many small files in many folders, some large ones), with their paths.
# Of names that differ only in case (one file on Windows) the first is taken.
bench_corpus_zip() {
  local zip=$1 want=$(($2 * 1024 * 1024)) min=$3
  for root in /usr/share/doc /usr/share/locale /usr/lib/x86_64-linux-gnu /usr/bin; do
    find "$root" -xdev -type f -size -20M -readable -printf '%s\t%p\n' 2>/dev/null |
      sort -t "$(printf '\t')" -k2
  done | grep -v "$(printf '\t')"'.*[^A-Za-z0-9._/+-]' |
    awk -F '\t' -v want="$want" -v min="$min" \
      'seen[tolower($2)]++ || done { next }
       { total += $1; n++; print $2; done = total >= want && n >= min }' > "$zip.files"
  rm -f "$zip"
  zip -q -X -9 "$zip" -@ < "$zip.files"
}

# bench_small_zip ZIP COUNT FOLDERS: COUNT small files (under 16 KiB) in one folder, or in
# FOLDERS folders d00, d01, ... of equal share; each named by its number and own name.
bench_small_zip() {
  local zip=$1 count=$2 folders=$3
  find /usr/share /usr/include /usr/lib -xdev -type f -size -16k -readable 2>/dev/null |
    grep -v '[^A-Za-z0-9._/+-]' | sort | awk -v n="$count" 'NR <= n' > "$zip.files"
  rm -f "$zip"
  python3 - "$zip" "$count" "$folders" <<'EOF'
import os, sys, zipfile
zip_path, count, folders = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
per_folder = -(-count // folders)
with zipfile.ZipFile(zip_path, "w", zipfile.ZIP_DEFLATED, compresslevel=9) as z:
    for i, line in enumerate(open(zip_path + ".files")):
        path = line.rstrip("\n")
        name = "%05d-%s" % (i, os.path.basename(path))
        if folders > 1:
            name = "d%02d/%s" % (i // per_folder, name)
        z.write(path, name)
EOF
}
