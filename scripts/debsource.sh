#!/usr/bin/env bash
# Unpacks Debian's source packages into a cache folder, once each: the libraries of the
# Windows build of mksfx (mksfx.exe) are built from them by the Windows tree, as Debian has
# no MinGW builds of them. scripts/setup.sh adds the deb-src lines this needs.
#   debsource.sh DIR PACKAGE...   ->  DIR/PACKAGE/ (the unpacked, patched source)
set -euo pipefail
dir=$1
shift
mkdir -p "$dir"
cd "$dir"
for pkg in "$@"; do
  [ -e "$pkg/.unpacked" ] && continue
  rm -rf "$pkg" "$pkg.part"
  mkdir "$pkg.part"
  if ! (cd "$pkg.part" && apt-get source -qq "$pkg" >log.txt 2>&1); then
    cat "$pkg.part/log.txt" >&2
    echo "debsource: cannot fetch the source package $pkg (deb-src lines: scripts/setup.sh)" >&2
    exit 1
  fi
  src=$(find "$pkg.part" -mindepth 1 -maxdepth 1 -type d | head -n 1)
  [ -n "$src" ] || { echo "debsource: $pkg unpacked to nothing" >&2; exit 1; }
  mv "$src" "$pkg"
  rm -rf "$pkg.part"
  touch "$pkg/.unpacked"
done
