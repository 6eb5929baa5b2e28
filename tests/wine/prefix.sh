#!/bin/sh
# The Wine prefix of a test run ($WINEPREFIX): `start` makes it fresh and
# leaves a Wine server running for the tests; `stop` ends the server.
# The prefix is made whole by wineboot before anything is placed in it: a
# dosdevices folder made by hand first leaves Wine spinning.
set -u
case "${1:-}" in
start)
  wineserver -k >/dev/null 2>&1
  rm -rf "$WINEPREFIX"
  log="$(mktemp)"
  if ! wineboot -i >"$log" 2>&1 || [ ! -d "$WINEPREFIX/dosdevices" ]; then
    tail -n 20 "$log"
    rm -f "$log"
    echo "wineboot could not make $WINEPREFIX"
    exit 1
  fi
  rm -f "$log"
  wineserver -w
  ;;
stop)
  wineserver -k >/dev/null 2>&1
  exit 0
  ;;
*)
  echo "usage: prefix.sh start|stop" >&2
  exit 2
  ;;
esac
