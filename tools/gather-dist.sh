#!/usr/bin/env bash
# Gathers the Octave package and the Windows bundle that the Linux and the
# Windows builds wrote into one folder, with SHA256SUMS covering every other
# file in it, and checks the sums. The folder is emptied first, so nothing
# stale (an older version) is left beside the new files.
# Usage: gather-dist.sh OUT_DIR LINUX_BUILD_DIR WINDOWS_BUILD_DIR
set -euo pipefail
out=${1:?usage: gather-dist.sh OUT_DIR LINUX_BUILD_DIR WINDOWS_BUILD_DIR}
linux=${2:?usage: gather-dist.sh OUT_DIR LINUX_BUILD_DIR WINDOWS_BUILD_DIR}
windows=${3:?usage: gather-dist.sh OUT_DIR LINUX_BUILD_DIR WINDOWS_BUILD_DIR}

shopt -s nullglob
tarballs=("$linux"/dist/quillmere-*.tar.gz)
zips=("$windows"/dist/quillmere-*-win64.zip)
if [ ${#tarballs[@]} -ne 1 ] || [ ${#zips[@]} -ne 1 ]; then
  echo "expected one Octave package in $linux/dist and one Windows bundle in $windows/dist," \
       "found: ${tarballs[*]:-none} / ${zips[*]:-none}" >&2
  exit 1
fi
version=$(basename "${tarballs[0]}" .tar.gz)
if [ "$(basename "${zips[0]}" -win64.zip)" != "$version" ]; then
  echo "the two builds disagree on the version: ${tarballs[0]} and ${zips[0]}" >&2
  exit 1
fi

rm -rf "$out"
mkdir -p "$out"
cp "${tarballs[0]}" "${zips[0]}" "$out"/
(
  cd "$out"
  files=(*)
  sha256sum -- "${files[@]}" > SHA256SUMS
  sha256sum --quiet -c SHA256SUMS
)
echo "$out:"
ls -l "$out"
