#!/bin/sh
# The Wine prefix of a test run ($WINEPREFIX): `start` makes it fresh and
# leaves a persistent Wine server running for the tests; `stop` ends it.
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
  # A server that stays up for the whole run: one started on demand ends a
  # few seconds after its last client, and a client starting in that moment
  # dies with "recvmsg: Connection reset by peer".
  wineserver -p >/dev/null 2>&1
  # Wine's own background programs start with the first client and then live
  # as long as the server: started here, they hold no test's output open.
  wineboot >/dev/null 2>&1
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
