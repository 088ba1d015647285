#!/usr/bin/env bash
# Runs a cross-built Windows program under Wine with a private, quiet prefix.
# Usage: wine-run.sh PREFIX_DIR PROGRAM.exe [ARGS...]
set -euo pipefail
prefix=${1:?usage: wine-run.sh PREFIX_DIR PROGRAM [ARGS...]}
shift
mkdir -p "$prefix"
export WINEPREFIX
WINEPREFIX=$(cd "$prefix" && pwd)
export WINEDEBUG=-all
export WINEARCH=win64
# No Mono or Gecko installers: nothing here needs .NET or HTML.
export WINEDLLOVERRIDES="mscoree,mshtml="
export DISPLAY=
wine=$(command -v wine)
# One-time prefix set-up, serialised so parallel tests do not race on it.
if [ ! -f "$WINEPREFIX/.quillmere-ready" ]; then
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.quillmere-ready" ]; then
      "$wine" wineboot --init >/dev/null 2>&1 || true
      wineserver -w 2>/dev/null || true
      touch "$WINEPREFIX/.quillmere-ready"
    fi
  ) 9>"$WINEPREFIX.lock"
fi
# Now and then a client loses its connection to a wineserver that is starting
# or stopping ("wine client error: ... recvmsg: Connection reset by peer")
# before the program has run at all. That says nothing about the program, so
# such a run is tried again, at most twice; any other failure stands.
errors=$(mktemp)
trap 'rm -f "$errors"' EXIT
for attempt in 1 2 3; do
  status=0
  "$wine" "$@" 2>"$errors" || status=$?
  if [ "$status" -ne 0 ] && [ "$attempt" -lt 3 ] && grep -q "wine client error" "$errors"; then
    echo "wine-run.sh: wine lost its server (attempt $attempt), running again" >&2
    sleep 1
    continue
  fi
  cat "$errors" >&2
  exit "$status"
done
