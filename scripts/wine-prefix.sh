#!/usr/bin/env bash
# wine-prefix.sh create|stop PREFIX [win7|win10]
# create: makes (or reuses) a Wine prefix for the tests, sets it up and keeps its wineserver running,
#         and writes the folders it gives its programs to PREFIX/quorvel-folders (see below). With
#         QUORVEL_WINE_TEMPLATE set, a new prefix is a copy of that prefix (booted once, then kept).
# stop:   ends the prefix's wineserver.
set -euo pipefail
action=$1
export WINEPREFIX=$2
version=${3:-win10}
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

boot() {  # boot PREFIX: a new prefix, its wineserver ended (so its registry is on disk)
  # wineboot needs no display; keep it from trying one.
  DISPLAY= WINEPREFIX=$1 wineboot -i >/dev/null 2>&1 || true
  WINEPREFIX=$1 wineserver -w
}

copy_template() {  # copy_template TEMPLATE: the prefix as a copy of TEMPLATE, booted first if new
  # Booting takes tens of processor seconds; a copy of a booted prefix takes one. Whoever comes
  # first boots the template, the others wait for it.
  mkdir -p "$1"
  (
    flock 9
    [ -f "$1/system.reg" ] || boot "$1"
  ) 9>"$1.lock"
  # system.reg last: a copy cut short is copied again next time.
  find "$1" -mindepth 1 -maxdepth 1 ! -name system.reg -exec cp -a -t "$WINEPREFIX" {} +
  cp -a "$1/system.reg" "$WINEPREFIX/system.reg"
}

case "$action" in
create)
  mkdir -p "$WINEPREFIX"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    if [ -n "${QUORVEL_WINE_TEMPLATE:-}" ]; then
      copy_template "$QUORVEL_WINE_TEMPLATE"
    else
      boot "$WINEPREFIX"
    fi
  fi
  # A persistent wineserver makes every later start fast (~0.1 s instead of seconds). It outlives
  # this script, so it must not hold the caller's output open (CTest would wait for it).
  wineserver -p </dev/null >/dev/null 2>&1 || true  # already running: fine
  reg_file=$(mktemp --suffix=.reg)
  cat >"$reg_file" <<REG
REGEDIT4

[HKEY_CURRENT_USER\\Software\\Wine]
"Version"="$version"

; Without a display, Wine 9 and later try the Wayland driver next, and libwayland complains on
; stderr about XDG_RUNTIME_DIR; X11 only makes a display-less run as quiet as on Wine 8.
[HKEY_CURRENT_USER\\Software\\Wine\\Drivers]
"Graphics"="x11"

[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]
"Managed"="N"

[HKEY_CURRENT_USER\\Software\\Wine\\WineDbg]
"ShowCrashDialog"=dword:00000000
REG
  DISPLAY= wine regedit /S "$(winepath -w "$reg_file" 2>/dev/null || echo "$reg_file")" >/dev/null 2>&1
  rm -f "$reg_file"
  # The temporary and local application data folders, as the prefix's programs get them: Wine 8
  # keeps the temporary folder in C:\users\<user>\Temp, Wine 10 where Windows does
  # (C:\users\<user>\AppData\Local\Temp). Lines: both as Windows paths, then both as Unix paths.
  folders=$(DISPLAY= wine cmd /c 'echo %TEMP%&echo %LOCALAPPDATA%' </dev/null 2>/dev/null | tr -d '\r')
  mapfile -t windows <<<"$folders"
  [ ${#windows[@]} -eq 2 ] && [ -n "${windows[0]}" ] && [ -n "${windows[1]}" ] || {
    echo "wine-prefix.sh: the prefix did not say its folders (got '$folders')" >&2
    exit 1
  }
  printf '%s\n' "${windows[@]}" >"$WINEPREFIX/quorvel-folders.new"
  winepath -u "${windows[@]}" 2>/dev/null | xargs -d '\n' realpath -m >>"$WINEPREFIX/quorvel-folders.new"
  mv "$WINEPREFIX/quorvel-folders.new" "$WINEPREFIX/quorvel-folders"
  ;;
stop)
  wineserver -k 2>/dev/null || true
  ;;
*)
  echo "usage: $0 create|stop PREFIX [win7|win10]" >&2
  exit 2
  ;;
esac
