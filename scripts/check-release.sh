#!/usr/bin/env bash
# Builds the release archive of the Windows build with cpack and checks
# that it holds what users need, under a name that carries the version of
# the DLL's version resource.
set -euo pipefail
build="${1:-build/windows}"
ntrun="${2:-build/linux/tools/ntrun}"
client="${3:-build/linux/tools/aspitool}"
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

# The archive's own programs, unpacked into an empty folder and run by
# ntrun from another empty folder: aspitool.exe must print what the Linux
# client prints, and the DLL it loads must be the one beside it, so that
# without that DLL it fails.
if [ ! -x "$ntrun" ]; then
  echo "check-release: $ntrun not built (cmake --build --preset linux), archive not run" >&2
  exit 1
fi
ntrun="$(realpath "$ntrun")"
unpacked="$(mktemp -d)"
elsewhere="$(mktemp -d)"
trap 'rm -rf "$unpacked" "$elsewhere"' EXIT
(cd "$unpacked" && cmake -E tar xf "$OLDPWD/$archive")
program="$unpacked/$name/aspitool.exe"
run() { (cd "$elsewhere" && "$ntrun" "$program" "$@"); }
if ! run scan >"$elsewhere/scan.txt" 2>"$elsewhere/scan.err"; then
  echo "check-release: the archive's aspitool.exe scan failed:" >&2
  cat "$elsewhere/scan.err" >&2
  exit 1
fi
if ! diff <("$client" scan | grep -v '^machine: ') <(tr -d '\r' <"$elsewhere/scan.txt") >&2; then
  echo "check-release: the archive's aspitool.exe scan differs from the Linux client's" >&2
  exit 1
fi
if ! run read 0:0:0 0 2 >"$elsewhere/read.txt" 2>&1; then
  echo "check-release: the archive's aspitool.exe read failed:" >&2
  cat "$elsewhere/read.txt" >&2
  exit 1
fi
mv "$unpacked/$name/ptaspi32.dll" "$unpacked/$name/ptaspi32.dll.away"
if run scan >/dev/null 2>&1; then
  echo "check-release: the archive's aspitool.exe ran without the DLL beside it: it loads one from elsewhere" >&2
  exit 1
fi
echo "check-release: the archive's aspitool.exe scans and reads under ntrun, on the DLL beside it only"
