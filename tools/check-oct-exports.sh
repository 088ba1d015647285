#!/usr/bin/env bash
# Fails unless every oct-file under the given folder shows exactly one
# defined dynamic symbol: G<name>, the installer through which Octave finds
# the function <name> of <name>.oct. Anything else shown (the mx functions,
# mexFunction, the core) could clash with Octave's own names or another
# module's.
set -euo pipefail
root=${1:?usage: check-oct-exports.sh FOLDER}
checked=0
bad=0
while IFS= read -r -d '' f; do
  checked=$((checked + 1))
  name=$(basename "$f" .oct)
  shown=$(nm -D --defined-only "$f" | awk '{print $NF}' | sort)
  if [ "$shown" != "G$name" ]; then
    echo "$f shows: $(tr '\n' ' ' <<<"$shown")(expected G$name alone)"
    bad=$((bad + 1))
  fi
done < <(find "$root" -name '*.oct' -type f -print0)
echo "checked $checked oct-files, $bad showing more or less than their installer"
[ "$checked" -gt 0 ] || { echo "no oct-file under $root" >&2; exit 1; }
[ "$bad" -eq 0 ]
