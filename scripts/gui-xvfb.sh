#!/usr/bin/env bash
# The X server the Login Manager's GUI tests draw on (CI has no display).
#   gui-xvfb.sh start STATE_DIR      start Xvfb on a free display, noted in STATE_DIR
#                                    (with WINEPREFIX set: once that prefix has no desktop
#                                    process without a display)
#   gui-xvfb.sh stop STATE_DIR       stop that Xvfb
#   gui-xvfb.sh run STATE_DIR CMD... run CMD with DISPLAY set to that server
set -euo pipefail
action=${1:?action}
state=${2:?state directory}
shift 2

stop_server() {
  if [ -f "$state/pid" ]; then
    pid=$(cat "$state/pid")
    if kill -0 "$pid" 2>/dev/null; then
      kill "$pid" 2>/dev/null || true
      for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    fi
    rm -f "$state/pid" "$state/display"
  fi
}

# A Wine desktop process started without a display (by wineboot in a new prefix) lives on
# for a few seconds; windows created meanwhile have no driver. Wait until it is gone.
wait_for_headless_desktop() {
  [ -n "${WINEPREFIX:-}" ] || return 0
  for _ in $(seq 150); do
    local busy=""
    for pid in $(pgrep -f 'explorer.exe /desktop' || true); do
      environ=$(tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null || true)
      if grep -qx "WINEPREFIX=$WINEPREFIX" <<<"$environ" && ! grep -q '^DISPLAY=' <<<"$environ"; then
        busy=$pid
      fi
    done
    [ -z "$busy" ] && return 0
    sleep 0.1
  done
  echo "a Wine desktop without display is still running in $WINEPREFIX" >&2
}

case "$action" in
  start)
    mkdir -p "$state"
    stop_server
    wait_for_headless_desktop
    # -displayfd picks a free display and reports it once the server accepts clients.
    setsid Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp \
      3>"$state/display" </dev/null >/dev/null 2>"$state/xvfb.log" &
    echo $! >"$state/pid"
    for _ in $(seq 100); do
      [ -s "$state/display" ] && break
      sleep 0.1
    done
    if [ ! -s "$state/display" ]; then
      echo "Xvfb did not start:" >&2
      cat "$state/xvfb.log" >&2
      stop_server
      exit 1
    fi
    echo "Xvfb on :$(head -n1 "$state/display")"
    ;;
  stop)
    stop_server
    ;;
  run)
    [ -s "$state/display" ] || { echo "no X server: run the manager_display_start test first" >&2; exit 1; }
    DISPLAY=":$(head -n1 "$state/display")"
    export DISPLAY
    exec "$@"
    ;;
  *)
    echo "unknown action $action" >&2
    exit 2
    ;;
esac
