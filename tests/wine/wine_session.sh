#!/usr/bin/env bash
# The Wine session the Windows end-to-end tests run in.
#
#   wine_session.sh probe STATE_DIR          can this machine run Wine at all?
#   wine_session.sh start STATE_DIR PREFIX   the probe, then private Xvfb, Wine
#                                            prefix, wineserver
#   wine_session.sh stop STATE_DIR PREFIX    ends the three
#
# The probe runs Wine's loader, a 32-bit program. Some kernels cannot execute
# 32-bit programs at all ("Exec format error"), and there no Windows program
# runs under Wine. Then STATE_DIR/unavailable holds the probe's own error,
# start and stop exit with 77 (a test skipped) and so does every Wine test;
# where the probe passes, nothing is skipped and every failure counts.
#
# start makes the prefix once (wineboot; a stamp file names the Wine version
# it was made with), hides every serial port Wine finds on the machine from
# COM1 to COM16 (those numbers are then ours: the tests link
# PREFIX/dosdevices/comN to their own pseudo-terminals), starts Xvfb on a
# free display with -noreset and a wineserver that stays up until stop, so
# that Wine's device manager, which rewrites the comN links when a session
# begins, runs once here and never under a test. STATE_DIR/display holds the
# display number.
set -euo pipefail

action=${1:?probe, start or stop}
state=${2:?state directory}
prefix=${3:-}
[[ $action == probe || -n $prefix ]] || { echo "a Wine prefix is needed" >&2; exit 2; }

if [[ -n $prefix ]]; then
  export WINEPREFIX=$prefix
fi
export WINEDEBUG=-all
# No Mono or Gecko: nothing here needs them, and their installers would ask.
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win32

stop_session() {
  if [[ -d $prefix ]]; then
    wineserver -k 2>/dev/null || true
  fi
  if [[ -f "$state/xvfb.pid" ]]; then
    local pid
    pid=$(cat "$state/xvfb.pid")
    if kill -0 "$pid" 2>/dev/null; then
      kill "$pid" || true
    fi
    rm -f "$state/xvfb.pid"
  fi
  rm -f "$state/display"
}

# Runs Wine's 32-bit loader once. 0 where it runs; else 77, with the reason
# in $state/unavailable and on standard output.
probe() {
  mkdir -p "$state"
  rm -f "$state/unavailable"
  local output status=0
  output=$(wine --version 2>&1 </dev/null) || status=$?
  if [[ $status == 0 ]]; then
    echo "Wine runs here: $output"
    return 0
  fi
  local reason
  reason="this machine cannot run Wine's 32-bit programs: $(tail -n 1 <<<"$output") (exit status $status)"
  echo "$reason" >"$state/unavailable"
  echo "Windows tests under Wine skipped: $reason"
  return 77
}

case $action in
  probe)
    probe
    exit
    ;;
  stop)
    if [[ -f $state/unavailable ]]; then
      echo "No Wine session: $(cat "$state/unavailable")"
      exit 77
    fi
    stop_session
    echo "Wine session stopped"
    exit 0
    ;;
  start) ;;
  *)
    echo "unknown action: $action" >&2
    exit 2
    ;;
esac

probe || exit
stop_session
log=$state/session.log
: >"$log"

# Xvfb picks a free display and writes its number to the pipe; it and every
# Wine process started below write to the log, not to the test's output,
# which ctest waits on.
display_pipe=$state/display.fifo
rm -f "$display_pipe"
mkfifo "$display_pipe"
setsid Xvfb -displayfd 9 -noreset -nolisten tcp -screen 0 1366x768x24 \
  9>"$display_pipe" </dev/null >>"$log" 2>&1 &
echo $! >"$state/xvfb.pid"
display=""
if ! read -r -t 20 display <"$display_pipe" || [[ -z $display ]]; then
  rm -f "$display_pipe"
  echo "Xvfb did not start (see $log)" >&2
  cat "$log" >&2
  exit 1
fi
rm -f "$display_pipe"
echo "$display" >"$state/display"
export DISPLAY=:$display

version="$(wine --version) $WINEARCH"
stamp=$prefix/.nictate-prefix
if [[ ! -f $stamp || $(cat "$stamp") != "$version" ]]; then
  rm -rf "$prefix"
  started=$SECONDS
  wineboot -i </dev/null >>"$log" 2>&1
  wineserver -w
  ports=$state/ports.reg
  {
    printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n'
    for n in $(seq 1 16); do printf '"COM%d"=""\r\n' "$n"; done
  } >"$ports"
  wine regedit /S "$(winepath -w "$ports")" </dev/null >>"$log" 2>&1
  wineserver -w
  echo "$version" >"$stamp"
  echo "Wine prefix made in $((SECONDS - started)) s ($version)"
fi

# One session for all the tests: a persistent server, and one program run so
# that Wine's services (and its device manager) are up before any test.
setsid wineserver -p </dev/null >>"$log" 2>&1
wine cmd /c exit 0 </dev/null >>"$log" 2>&1
for n in $(seq 0 16); do
  rm -f "$prefix/dosdevices/com$n"
done
echo "Wine session up: $version, DISPLAY=:$display, WINEPREFIX=$prefix"
