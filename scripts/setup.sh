#!/usr/bin/env bash
# Installs every Debian package the project needs. Idempotent: returns quickly when all
# packages are present already.
set -euo pipefail

PKGS=(
  build-essential dpkg-dev cmake make pkg-config git
  g++-mingw-w64-i686 binutils-mingw-w64-i686 libz-mingw-w64-dev
  wine wine32 fonts-wine xvfb xauth x11-apps x11-utils imagemagick
  zlib1g-dev libdeflate-dev libpng-dev libimagequant-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev llvm
  unzip zip p7zip-full libarchive-tools python3 fastjar locales strace
  icoutils osslsigncode openssl libssl-dev
  lzma-dev liblzma-dev nsis
  groff-base
)

# The Wine tests run under de_DE.UTF-8 (ANSI code page 1252, OEM code page 850, UTF-8 file
# names on the Unix side); generate that locale once.
ensure_locale() {
  if locale -a 2>/dev/null | grep -ix 'de_DE.utf-\?8' >/dev/null; then return 0; fi
  local sudo=""
  [ "$(id -u)" = 0 ] || sudo="sudo"
  $sudo sed -i 's/^# *\(de_DE.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -qx 'de_DE.UTF-8 UTF-8' /etc/locale.gen || echo 'de_DE.UTF-8 UTF-8' | $sudo tee -a /etc/locale.gen >/dev/null
  $sudo locale-gen >/dev/null
}

# The Windows build of mksfx builds libdeflate, libpng and libimagequant from Debian's source
# packages (scripts/debsource.sh): apt-get source needs deb-src lines for the archive.
SRC_LIST=/etc/apt/sources.list.d/tessly-src.sources
need_src=0
if ! grep -rqs '^Types:.*deb-src\|^deb-src ' /etc/apt/sources.list /etc/apt/sources.list.d/; then need_src=1; fi

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

if [ "$need_i386" = 0 ] && [ "$need_src" = 0 ] && [ "${#missing[@]}" = 0 ]; then
  ensure_locale
  exit 0
fi

SUDO=""
[ "$(id -u)" = 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
if [ "$need_i386" = 1 ]; then
  $SUDO dpkg --add-architecture i386
fi
if [ "$need_src" = 1 ]; then
  . /etc/os-release
  # The release's own sources (the Windows libraries are read-only users of libpng, and
  # libdeflate and libimagequant must match the Linux mksfx's, which the release has).
  printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: %s\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
    "$VERSION_CODENAME" | $SUDO tee "$SRC_LIST" >/dev/null
fi
[ "${#missing[@]}" = 0 ] || echo "setup: installing ${missing[*]}" >&2
$SUDO apt-get update -qq
inst=()
for p in "${missing[@]}"; do
  [ "$p" = wine32 ] && inst+=("wine32:i386") || inst+=("$p")
done
[ "${#inst[@]}" = 0 ] || $SUDO apt-get install -y -qq --no-install-recommends "${inst[@]}" >/dev/null
ensure_locale
