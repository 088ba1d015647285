#!/usr/bin/env bash
# Fails when any built x86-64 object under the given folder holds a fused
# multiply-add instruction: results must come from separately rounded
# products and sums, so a contracted a*b+c is a wrong answer, not a speed-up.
set -euo pipefail
root=${1:?usage: check-no-fma.sh BUILD_DIR}
checked=0
bad=0
while IFS= read -r -d '' f; do
  case "$f" in
    */CMakeFiles/[0-9]*/*|*/wineprefix/*) continue ;;  # compiler probes and Wine itself, not ours
    *.mexw64|*.dll|*.exe) dump=x86_64-w64-mingw32-objdump ;;
    *) dump=objdump ;;
  esac
  command -v "$dump" >/dev/null || continue
  # Only files objdump recognises as x86-64 code.
  "$dump" -f "$f" 2>/dev/null | grep -q 'x86-64' || continue
  checked=$((checked + 1))
  n=$("$dump" -d --no-show-raw-insn "$f" 2>/dev/null | grep -cE '\svf(n)?m(add|sub|addsub|subadd)[0-9a-z]*\s' || true)
  if [ "$n" -gt 0 ]; then
    echo "FMA instructions in $f: $n"
    "$dump" -d --no-show-raw-insn "$f" | grep -E '\svf(n)?m(add|sub|addsub|subadd)[0-9a-z]*\s' | head -n 5
    bad=$((bad + 1))
  fi
done < <(find "$root" -type f \( -name '*.o' -o -name '*.obj' -o -name '*.a' -o -name '*.so' \
           -o -name '*.mex' -o -name '*.mexa64' -o -name '*.mexw64' -o -name '*.dll' -o -name '*.exe' \
           -o -perm -u+x \) -print0)
echo "scanned $checked x86-64 files, $bad with FMA"
[ "$checked" -gt 0 ] || { echo "nothing scanned under $root" >&2; exit 1; }
[ "$bad" -eq 0 ]
