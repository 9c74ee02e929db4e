#!/usr/bin/env bash
# The Wine session that all Wine tests of a run share: one Xvfb display and one persistent
# wineserver for the prefix below ROOT, so that Wine's own processes (desktop, services) start
# once per run instead of once per test.
#
#   session.sh start ROOT   set up the prefix when needed, start the display and the server
#                           (nothing when a live session is recorded in ROOT/session)
#   session.sh stop ROOT    end exactly the processes that start recorded
#
# ROOT/session holds "display=N" and "xvfb=PID". The tests' harness starts a session of its
# own when none is recorded (a test program run by hand, the on-target benchmark).
set -euo pipefail
cmd=${1:?start or stop}
root=${2:?the harness folder (build/wine)}
prefix=$root/prefix
state=$root/session

# Wine's code pages follow the Unix locale: this one gives ANSI 1252 and OEM 850.
export WINEPREFIX=$prefix WINEDEBUG=-all WINEARCH=win32 LANG=de_DE.UTF-8 LC_ALL=de_DE.UTF-8
# no installer prompts for the .NET and HTML runtimes while the prefix is made
export WINEDLLOVERRIDES="mscoree,mshtml="
unset LANGUAGE

# A virtual desktop makes Wine draw window frames and captions itself (there is no window
# manager on Xvfb) and lets processes end at once instead of waiting on the window manager
# protocol. A crash must not open a dialog that nobody closes. The relay channel, when a test
# turns it on, traces only the calls whose arguments the tests read: the message boxes (their
# style says the icon) and the dialog's icon, from the file's resources or the configuration.
settings='REGEDIT4

[HKEY_CURRENT_USER\Software\Wine\Explorer]
"Desktop"="Default"

[HKEY_CURRENT_USER\Software\Wine\Explorer\Desktops]
"Default"="1024x768"

[HKEY_CURRENT_USER\Software\Wine\WineDbg]
"ShowCrashDialog"=dword:00000000

[HKEY_CURRENT_USER\Software\Wine\Debug]
"RelayInclude"="user32.MessageBoxA;user32.MessageBoxW;user32.LoadImageA;shell32.ExtractIconA;shell32.ExtractIconW"
'

alive() { # pid, program name
  [ -n "$1" ] && [ "$(cat /proc/"$1"/comm 2>/dev/null)" = "$2" ]
}
recorded() { sed -n "s/^$1=//p" "$state" 2>/dev/null || true; }

case $cmd in
start)
  mkdir -p "$root"
  if alive "$(recorded xvfb)" Xvfb; then exit 0; fi
  # -displayfd: Xvfb picks a free display itself and writes its number to fd 3
  rm -f "$root/display"
  setsid Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset \
    3>"$root/display" </dev/null >/dev/null 2>&1 &
  xvfb=$!
  for _ in $(seq 200); do grep -q . "$root/display" 2>/dev/null && break; sleep 0.1; done
  grep -q . "$root/display" || { echo "Xvfb did not start" >&2; exit 1; }
  export DISPLAY=:$(tr -d '\n' <"$root/display")
  # a server left by an earlier session would talk to a display that is gone
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  want="$(wine --version) $(printf '%s' "$settings" | md5sum | cut -c1-8) own-folders"
  if [ "$(cat "$root/prefix.ready" 2>/dev/null)" != "$want" ] || [ ! -f "$prefix/system.reg" ]; then
    rm -rf "$prefix" "$root/prefix.ready"
    wineboot -i >/dev/null 2>&1
    # The user's Desktop, Documents and the like link to the Unix home: folders of their own
    # keep whatever a test extracts there (a picker answered at its root) inside the prefix.
    for link in "$prefix"/drive_c/users/*/*; do
      if [ -L "$link" ]; then rm "$link" && mkdir "$link"; fi
    done
    printf '%s' "$settings" | sed 's/$/\r/' >"$root/settings.reg"
    wine reg import "$(winepath -w "$root/settings.reg" 2>/dev/null)" >/dev/null 2>&1
    # Wine's symbol font draws the caption buttons (read when the server starts)
    cp /usr/share/wine/fonts/marlett.ttf "$prefix/drive_c/windows/Fonts/" 2>/dev/null || true
    wineserver -w >/dev/null 2>&1 || true
    echo "$want" >"$root/prefix.ready"
  fi
  setsid wineserver -p </dev/null >/dev/null 2>&1
  # a new prefix names the folder for temporary files without making it
  wine cmd /c "if not exist %TEMP% mkdir %TEMP%" </dev/null >/dev/null 2>&1
  printf 'display=%s\nxvfb=%s\n' "${DISPLAY#:}" "$xvfb" >"$state"
  ;;
stop)
  xvfb=$(recorded xvfb)
  rm -f "$state"
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  if alive "$xvfb" Xvfb; then kill "$xvfb"; fi
  ;;
*)
  echo "usage: session.sh start|stop ROOT" >&2
  exit 2
  ;;
esac
