#!/usr/bin/env bash
# Fails unless each given module holds the AVX2 and the AVX-512F sweep
# kernels (instructions on ymm and on zmm registers): a module built without
# them runs the slower paths only, with no other sign of it. Prints the
# counts. With --same, the modules (built by different routes from the same
# sources with the same compiler) must also have the same functions holding
# ymm and zmm instructions: the same kernels, compiled for the same
# instruction sets. (Not the same counts: the routes' own flags, such as
# Octave's -fstack-protector-strong, move a few register spills.)
# Usage: check-vector-kernels.sh [--same] MODULE...
set -euo pipefail
same=0
if [ "${1:-}" = --same ]; then same=1; shift; fi
[ $# -gt 0 ] || { echo "usage: check-vector-kernels.sh [--same] MODULE..." >&2; exit 2; }
bad=0
first=""
for module in "$@"; do
  case "$module" in
    *.mexw64|*.dll|*.exe) dump=x86_64-w64-mingw32-objdump ;;
    *) dump=objdump ;;
  esac
  if [ ! -f "$module" ]; then
    echo "$module: no such file"
    bad=$((bad + 1))
    continue
  fi
  code=$("$dump" -d --no-show-raw-insn "$module")
  ymm=$(grep -c '%ymm' <<<"$code" || true)
  zmm=$(grep -c '%zmm' <<<"$code" || true)
  echo "$module: $ymm instructions on ymm (AVX2), $zmm on zmm (AVX-512F)"
  if [ "$ymm" -eq 0 ] || [ "$zmm" -eq 0 ]; then
    echo "$module: a vector kernel is missing"
    bad=$((bad + 1))
  fi
  if [ "$same" -eq 1 ]; then
    kernels=$(awk '/^[0-9a-f]+ <.*>:$/ { fn = $2 }
                   /%ymm/ { y[fn] = 1 } /%zmm/ { z[fn] = 1 }
                   END { for (f in y) print "ymm " f; for (f in z) print "zmm " f }' <<<"$code" |
              sort)
    if [ -z "$first" ]; then
      first="$kernels"
      firstModule="$module"
    elif [ "$first" != "$kernels" ]; then
      echo "$module: functions on ymm or zmm differ from $firstModule's:"
      diff <(echo "$first") <(echo "$kernels") || true
      bad=$((bad + 1))
    fi
  fi
done
[ "$bad" -eq 0 ]
