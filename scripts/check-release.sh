#!/usr/bin/env bash
# Builds the release archive of the Windows build with cpack and checks
# that it holds what users need, under a name that carries the version of
# the DLL's version resource.
set -euo pipefail
build="${1:-build/windows}"
version="$(grep -Eo 'PTASPI_VERSION_TEXT "[0-9.]+"' interface/version.rc | grep -Eo '[0-9.]+')"
name="ptaspi-$version-win32"
(cd "$build" && cpack -G ZIP -B package >/dev/null)
archive="$build/package/$name.zip"
[ -f "$archive" ] || { echo "check-release: $archive not built" >&2; exit 1; }
listing="$(cmake -E tar tf "$archive")"
failures=0
for entry in ptaspi32.dll aspitool.exe lib/libptaspi32.dll.a lib/ptaspi32.def \
             include/ptaspi32.h INSTALL.txt LICENSE; do
  if ! grep -qx "$name/$entry" <<<"$listing"; then
    echo "check-release: $name.zip lacks $entry" >&2
    failures=$((failures + 1))
  fi
done
[ "$failures" -eq 0 ] || exit 1
echo "check-release: $archive holds the DLL, the client, the link files, the header, INSTALL.txt and LICENSE"
