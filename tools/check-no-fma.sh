#!/usr/bin/env bash
# Fails when any built x86-64 or AArch64 object under the given folder holds a
# fused multiply-add instruction: results must come from separately rounded
# products and sums, so a contracted a*b+c is a wrong answer, not a speed-up.
set -euo pipefail
root=${1:?usage: check-no-fma.sh BUILD_DIR}
x86_fma='\svf(n)?m(add|sub|addsub|subadd)[0-9a-z]*\s'
# Scalar fmadd/fmsub/fnmadd/fnmsub and vector fmla/fmls.
arm_fma='\s(f(n)?m(add|sub)|fml[as](l2?)?)\s'
checked=0
bad=0
while IFS= read -r -d '' f; do
  case "$f" in
    */CMakeFiles/[0-9]*/*|*/wineprefix/*) continue ;;  # compiler probes and Wine itself, not ours
    *.mexw64|*.dll|*.exe) dumps=(x86_64-w64-mingw32-objdump) ;;
    *) dumps=(objdump aarch64-linux-gnu-objdump) ;;
  esac
  dump="" pattern=""
  for d in "${dumps[@]}"; do
    command -v "$d" >/dev/null || continue
    # Only files objdump recognises as code of one of the two targets.
    header=$("$d" -f "$f" 2>/dev/null || true)
    if grep -q 'x86-64' <<<"$header"; then dump=$d pattern=$x86_fma; break; fi
    if grep -q 'aarch64' <<<"$header"; then dump=$d pattern=$arm_fma; break; fi
  done
  [ -n "$dump" ] || continue
  checked=$((checked + 1))
  n=$("$dump" -d --no-show-raw-insn "$f" 2>/dev/null | grep -cE "$pattern" || true)
  if [ "$n" -gt 0 ]; then
    echo "FMA instructions in $f: $n"
    "$dump" -d --no-show-raw-insn "$f" | grep -E "$pattern" | head -n 5
    bad=$((bad + 1))
  fi
done < <(find "$root" -type f \( -name '*.o' -o -name '*.obj' -o -name '*.a' -o -name '*.so' \
           -o -name '*.mex' -o -name '*.oct' -o -name '*.mexa64' -o -name '*.mexw64' -o -name '*.dll' -o -name '*.exe' \
           -o -perm -u+x \) -print0)
echo "scanned $checked x86-64 and AArch64 files, $bad with FMA"
[ "$checked" -gt 0 ] || { echo "nothing scanned under $root" >&2; exit 1; }
[ "$bad" -eq 0 ]
