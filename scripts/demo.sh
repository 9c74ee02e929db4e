#!/usr/bin/env bash
# make demo: packs examples/hello into a self-extracting file with the installed mksfx, runs
# it under Wine with /AUTO (on $DISPLAY when there is one, else on a private Xvfb), and tells
# what happened: where it extracted to, what it ran, that the folder is gone again, and
# where the screenshot taken during the run is. Before that it takes the pictures of the
# dialog and the About box that README.md shows.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$root/build}
dist=${DIST:-$root/dist}
mksfx=$dist/bin/mksfx
work=$build/demo
export WINEPREFIX=${DEMO_WINEPREFIX:-$work/wineprefix}
export WINEDEBUG=-all
# No Mono or Gecko installers on the first start of the prefix.
export WINEDLLOVERRIDES="mscoree,mshtml="
if locale -a 2>/dev/null | grep -qix 'de_DE.utf-\?8'; then export LC_ALL=de_DE.UTF-8; fi

say() { printf '%s\n' "$*"; }
die() { printf 'demo: %s\n' "$*" >&2; exit 1; }

[ -x "$mksfx" ] || die "$mksfx is missing (run 'make' first)"
command -v wine >/dev/null || die "wine is not installed (run 'make setup')"

rm -rf "$work/stage" "$work/report.txt" "$work/hello-setup.exe"
mkdir -p "$work/stage"

# 1. The example: its setup program is built from source, its readme is copied.
i686-w64-mingw32-gcc -Os -s -mwindows -o "$work/stage/hellosetup.exe" \
  "$root/examples/hello/src/hellosetup.c"
cp "$root/examples/hello/readme.txt" "$work/stage/"

# 2. Pack it.
"$mksfx" build -q -o "$work/hello-setup.exe" --project "$root/examples/hello/hello.mksfx" \
  "$work/stage/hellosetup.exe" "$work/stage/readme.txt"
say "packed:      $work/hello-setup.exe ($(stat -c %s "$work/hello-setup.exe") bytes)"

# 3. A display: the user's when it answers, else a private Xvfb that goes away with us.
xvfb_pid=
cleanup() { [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true; }
trap cleanup EXIT
if [ -n "${DISPLAY:-}" ] && xwininfo -root >/dev/null 2>&1; then
  say "display:     $DISPLAY (yours)"
else
  n=90
  while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
  Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb_pid=$!
  export DISPLAY=":$n"
  for _ in $(seq 50); do xwininfo -root >/dev/null 2>&1 && break; sleep 0.1; done
  say "display:     $DISPLAY (private Xvfb)"
fi

# A new prefix takes a while once; Wine draws the window frames itself, so the captions
# show even where no window manager runs.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  say "wine:        preparing $WINEPREFIX (once)"
  wineboot -i >/dev/null 2>&1 || true
fi
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null 2>&1 || true
# Wine's symbol font draws the caption buttons; the packaged copy is not always found.
fonts=$WINEPREFIX/drive_c/windows/Fonts
if [ -f /usr/share/wine/fonts/marlett.ttf ] && [ ! -f "$fonts/marlett.ttf" ]; then
  cp /usr/share/wine/fonts/marlett.ttf "$fonts/"
  wineserver -w >/dev/null 2>&1 || true   # let this prefix's server end: it reads fonts at start
fi

# 4. Pictures of the dialog and of the About box over it. The tests' driver opens them and
# reports each window with its place on the screen; each is captured while the driver waits.
driver=$build/win/testprogs/windriver.exe
shoot() { # file, left, top, right, bottom
  import -window root -crop "$(($4 - $2))x$(($5 - $3))+$2+$3" +repage "$work/$1"
}
if [ -f "$driver" ]; then
  printf '%s\n' "start \"$(winepath -w "$work/hello-setup.exe" 2>/dev/null | sed 's/\\/\\\\/g')\"" \
    "wait kind=dialog timeout=30000" "sleep ms=2000" "click id=112" "wait kind=msgbox timeout=10000" \
    "sleep ms=2000" "click id=1" "gone" "wait kind=dialog" "click id=2" "exit timeout=15000" \
    >"$work/pictures.txt"
  shots=()
  while IFS=$'\t' read -r kind _ fields; do
    [ "$kind" = window ] || continue
    IFS=, read -r l t r b < <(printf '%s\n' "$fields" | tr '\t' '\n' | sed -n 's/^rect=//p')
    case ${#shots[@]} in
    0) shoot dialog-idle.png "$l" "$t" "$r" "$b"; shots=("$l" "$t" "$r" "$b") ;;
    4) # the About box with the dialog around it
      m=12
      shoot dialog-about.png $(( (l < shots[0] ? l : shots[0]) - m )) $(( (t < shots[1] ? t : shots[1]) - m )) \
        $(( (r > shots[2] ? r : shots[2]) + m )) $(( (b > shots[3] ? b : shots[3]) + m ))
      shots+=(done) ;;
    esac
  done < <(wine "$driver" "$(winepath -w "$work/pictures.txt" 2>/dev/null)" 2>/dev/null)
  say "pictures:    $work/dialog-idle.png, $work/dialog-about.png"
fi

# 5. Run it. hellosetup writes what it saw to HELLO_REPORT as it starts.
report=$work/report.txt
export HELLO_REPORT
HELLO_REPORT=$(winepath -w "$report" 2>/dev/null)
start=$(date +%s)
wine "$work/hello-setup.exe" /AUTO >/dev/null 2>&1 &
sfx_pid=$!
for _ in $(seq 600); do
  [ -s "$report" ] && break
  kill -0 "$sfx_pid" 2>/dev/null || break
  sleep 0.1
done
[ -s "$report" ] || die "the setup program did not start (no report at $report)"

# 6. A screenshot while the setup program shows its window over the dialog.
sleep 1.5
shot=$work/demo-run.png
import -window root "$work/screen.png"
read -r width height < <(identify -format '%w %h\n' "$work/screen.png")
if [ "$width" -gt 700 ] && [ "$height" -gt 600 ]; then
  # The dialog sits in the middle of the screen and the setup program just below it.
  convert "$work/screen.png" -crop "680x420+$(((width - 680) / 2))+$((height / 2 - 130))" \
    +repage "$shot"
  rm -f "$work/screen.png"
else
  mv "$work/screen.png" "$shot"
fi

# 7. Wait for the self-extractor to finish (the setup program closes itself).
for _ in $(seq 600); do kill -0 "$sfx_pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$sfx_pid" 2>/dev/null; then
  kill "$sfx_pid" 2>/dev/null || true
  die "the self-extractor did not end within a minute"
fi
wait "$sfx_pid" && code=0 || code=$?

folder=$(sed -n 's/^folder: //p' "$report" | tr -d '\r')
cmdline=$(sed -n 's/^command line: //p' "$report" | tr -d '\r')
files=$(sed -n 's/^files: //p' "$report" | tr -d '\r')
unix_folder=$(winepath -u "$folder" 2>/dev/null)
say "extracted:   $folder ($unix_folder)"
say "files:       $files"
say "ran:         $cmdline"
if [ -e "$unix_folder" ]; then
  say "folder:      STILL THERE"
  status=1
else
  say "folder:      gone again"
  status=0
fi
say "finished:    after $(($(date +%s) - start)) s, exit code $code"
say "screenshot:  $shot"
exit $status
