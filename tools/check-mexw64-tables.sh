#!/usr/bin/env bash
# Checks a Windows module's export and import tables, as MATLAB would meet
# them: it must export mexFunction and nothing else, and import only from
# the host's libraries (exactly the symbols their .def files list, each
# named LIBRARY inside it) and from Windows itself (KERNEL32 and the C
# runtime). Anything else, e.g. libstdc++-6.dll or libwinpthread-1.dll,
# is a DLL that MATLAB does not ship: the module would not load.
# Usage: check-mexw64-tables.sh MODULE HOST_LIB.def...
set -euo pipefail
module=${1:?usage: check-mexw64-tables.sh MODULE HOST_LIB.def...}
shift
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
system_dlls='^(kernel32\.dll|msvcrt\.dll|ucrtbase\.dll|api-ms-win-crt-[a-z0-9-]+\.dll)$'

tables=$("$objdump" -p "$module")
problems=0
problem() { echo "$module: $*"; problems=$((problems + 1)); }

# Exports: the names under "[Ordinal/Name Pointer] Table".
exports=$(awk '/^\[Ordinal\/Name Pointer\] Table/ {on = 1; next}
               on && NF == 0 {on = 0}
               on {print $NF}' <<<"$tables" | sort)
[ "$exports" = mexFunction ] || {
  [ -n "$exports" ] || problem "exports nothing; mexFunction missing"
  for name in $exports; do
    [ "$name" = mexFunction ] || problem "unexpected export: $name"
  done
}

# Imports: "DLL <name> <symbol>" for every imported symbol.
imports=$(awk '/^\tDLL Name: / {dll = $3; next}
               /^\tvma:/ {next}
               dll != "" && NF == 0 {dll = ""}
               dll != "" {print "DLL", dll, $NF}' <<<"$tables")
declare -A host_symbols=()
for def in "$@"; do
  lib=$(awk 'toupper($1) == "LIBRARY" {print $2}' "$def")
  [ -n "$lib" ] || { echo "$def names no LIBRARY" >&2; exit 2; }
  host_symbols[$lib]=$(sed -e 's/;.*//' "$def" |
    awk 'toupper($1) == "EXPORTS" {on = 1; next} on && NF {print $1}' | sort)
done

for dll in $(awk '{print $2}' <<<"$imports" | sort -u); do
  if [ -n "${host_symbols[$dll]+set}" ]; then
    continue
  elif ! grep -qiE "$system_dlls" <<<"$dll"; then
    problem "unexpected import DLL: $dll"
  fi
done
for lib in "${!host_symbols[@]}"; do
  used=$(awk -v d="$lib" '$2 == d {print $3}' <<<"$imports" | sort)
  extra=$(comm -13 <(echo "${host_symbols[$lib]}") <(echo "$used") | sed '/^$/d')
  missing=$(comm -23 <(echo "${host_symbols[$lib]}") <(echo "$used") | sed '/^$/d')
  for s in $extra; do problem "unexpected import from $lib: $s"; done
  for s in $missing; do problem "listed for $lib but not imported (trim the .def): $s"; done
done

if [ "$problems" -gt 0 ]; then
  echo "$problems problems in the tables of $module"
  exit 1
fi
echo "exports: $exports"
awk '{print $2}' <<<"$imports" | sort | uniq -c | awk '{print "imports from " $2 ": " $1 " symbols"}'
for lib in "${!host_symbols[@]}"; do
  echo "$lib:" ${host_symbols[$lib]}
done
