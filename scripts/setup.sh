#!/usr/bin/env bash
# Installs every Debian package the project needs. Idempotent: returns quickly when all
# packages are present already.
set -euo pipefail

PKGS=(
  build-essential cmake make pkg-config git
  g++-mingw-w64-i686 binutils-mingw-w64-i686
  wine wine32 xvfb xauth x11-apps imagemagick
  zlib1g-dev libdeflate-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev llvm
  unzip zip p7zip-full libarchive-tools python3 fastjar
)

need_i386=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then need_i386=1; fi

missing=()
for p in "${PKGS[@]}"; do
  q="$p"
  [ "$p" = wine32 ] && q="wine32:i386"
  if ! dpkg-query -W -f='${Status}' "$q" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ "$need_i386" = 0 ] && [ "${#missing[@]}" = 0 ]; then
  exit 0
fi

SUDO=""
[ "$(id -u)" = 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
if [ "$need_i386" = 1 ]; then
  $SUDO dpkg --add-architecture i386
fi
echo "setup: installing ${missing[*]}" >&2
$SUDO apt-get update -qq
inst=()
for p in "${missing[@]}"; do
  [ "$p" = wine32 ] && inst+=("wine32:i386") || inst+=("$p")
done
$SUDO apt-get install -y -qq --no-install-recommends "${inst[@]}" >/dev/null
