#!/usr/bin/env bash
# Inspects the built Windows DLL: PE32 for i386, the two exports by name at
# ordinals 1 and 2 without decoration, a plain `ret` (the caller pops) at the
# end of both, and imports from KERNEL32, ADVAPI32, USER32 and msvcrt only.
set -euo pipefail
build="${1:-build/windows}"
dll="$build/ptaspi32.dll"
objdump=i686-w64-mingw32-objdump
failures=0
fail() { echo "check-dll: $*" >&2; failures=$((failures + 1)); }

[ -f "$dll" ] || { echo "check-dll: $dll not found" >&2; exit 1; }
[ -f "$build/libptaspi32.dll.a" ] || fail "import library libptaspi32.dll.a not found"

headers="$($objdump -f "$dll")"
grep -q "file format pei-i386" <<<"$headers" || fail "not a PE32 i386 image"
grep -q "architecture: i386" <<<"$headers" || fail "architecture is not i386"

private="$($objdump -p "$dll")"

# The export table as objdump prints it: the ordinal base, then rows of the
# "[Ordinal/Name Pointer] Table" such as "	[   0] GetASPI32SupportInfo",
# whose bracketed number is the ordinal less the base.
base="$(grep -Eo 'Ordinal Base [0-9]+' <<<"$private" | awk '{print $3}' | head -n 1)"
[ -n "$base" ] || fail "no export table"
exports="$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$private" \
  | grep -E '^\s+\[ *[0-9]+\] ' | sed -E 's/^\s+\[ *([0-9]+)\] +(.*)$/\1 \2/' \
  | awk -v base="${base:-0}" '{print $1 + base, $2}')"
for pair in "1 GetASPI32SupportInfo" "2 SendASPI32Command"; do
  grep -qx "$pair" <<<"$exports" || fail "export ${pair#* } not by name at ordinal ${pair%% *}"
done
count="$(grep -c . <<<"$exports" || true)"
[ "$count" -eq 2 ] || fail "expected exactly 2 exports, found $count: $exports"
if grep -Eq '@[0-9]+$| _' <<<"$exports"; then fail "decorated export names: $exports"; fi

imports="$(grep -E '^\s+DLL Name:' <<<"$private" | awk '{print toupper($3)}' | sort -u)"
for dllname in $imports; do
  case "$dllname" in
    KERNEL32.DLL|ADVAPI32.DLL|USER32.DLL|MSVCRT.DLL) ;;
    *) fail "unexpected import from $dllname" ;;
  esac
done

# Each export returns with a plain ret (cdecl: the caller pops), never ret $n.
disassembly="$($objdump -d --no-show-raw-insn "$dll")"
for name in GetASPI32SupportInfo SendASPI32Command; do
  body="$(awk -v n="<_$name>:" '$2 == n {on=1; next} on && /^$/ {exit} on {print}' <<<"$disassembly")"
  [ -n "$body" ] || { fail "no disassembly for $name"; continue; }
  grep -Eq '\sret\s+\$' <<<"$body" && fail "$name pops its own arguments (ret \$n)"
  grep -Eq '\sret\s*$' <<<"$body" || fail "$name has no plain ret"
done

# The version resource names the file under its own name.
grep -q "\.rsrc" <<<"$($objdump -h "$dll")" || fail "no resource section"
strings -el "$dll" | grep -qx "ptaspi32.dll" || fail "version resource lacks OriginalFilename ptaspi32.dll"

# The client beside the DLL needs nothing but KERNEL32 and the C runtime,
# and loads the library at run time rather than importing it.
tool="$build/aspitool.exe"
if [ -f "$tool" ]; then
  tool_imports="$($objdump -p "$tool" | grep -E '^\s+DLL Name:' | awk '{print toupper($3)}' | sort -u)"
  for dllname in $tool_imports; do
    case "$dllname" in
      KERNEL32.DLL|MSVCRT.DLL) ;;
      *) fail "aspitool.exe imports from $dllname" ;;
    esac
  done
else
  fail "$tool not found"
fi

if [ "$failures" -gt 0 ]; then
  exit 1
fi
echo "check-dll: $dll passes (PE32 i386, exports 1 GetASPI32SupportInfo and 2 SendASPI32Command, plain ret, imports: $(echo $imports))"
