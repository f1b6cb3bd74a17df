#!/usr/bin/env bash
# Fetches Debian 12's sg3-utils source package and builds its Windows
# console tools with mingw-w64, once per build folder:
#
#     bash scripts/sg3-tools.sh [BUILD_DIR]     (default: build/sg3-utils)
#
# Prints the folder holding the tools (BUILD_DIR/src) on its last line and
# exits 0; exits 2 when the source package cannot be fetched (no archive
# reachable), 1 on any other failure. A second run finds BUILD_DIR/built
# and does nothing.
#
# The machine's apt configuration is not changed. The deb-src line is
# derived at run time from the machine's own deb entries for its release
# (/etc/apt/sources.list, /etc/apt/sources.list.d/*.list and deb822
# *.sources files), written to a private sources list under BUILD_DIR, and
# apt runs with private lists, cache and source parts:
#   -o Dir::Etc::SourceList=BUILD_DIR/apt/sources.list
#   -o Dir::Etc::SourceParts=BUILD_DIR/apt/sources.list.d   (empty)
#   -o Dir::State::Lists=BUILD_DIR/apt/lists
#   -o Dir::Cache=BUILD_DIR/apt/cache
# `apt-get update` checks the release file's signature with the keyring the
# machine's entry names (or apt's trusted keys), and `apt-get source
# --download-only` checks every file of the package against the hashes of
# that signed Sources index before keeping it; `dpkg-source -x` then checks
# them once more against the .dsc. Nothing is installed, and nothing of
# sg3_utils enters the repository: it all stays under BUILD_DIR.
#
# The package is built as shipped: ./configure --host=i686-w64-mingw32
# --disable-shared && make -k. Tools that do not link are listed in
# BUILD_DIR/unlinked.txt (sg_turs needs nanosleep, which msvcrt lacks).
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
out="${1:-$root/build/sg3-utils}"
mkdir -p "$out"
out="$(cd "$out" && pwd)"
package=sg3-utils

# One build per folder, even when two test runs ask at once.
exec 9>"$out.lock"
flock 9

if [ -f "$out/built" ]; then
  echo "sg3-tools: reusing the tools built in $out/src"
  echo "$out/src"
  exit 0
fi

for tool in apt-get dpkg-source i686-w64-mingw32-gcc make; do
  if ! command -v "$tool" >/dev/null; then
    echo "sg3-tools: $tool is missing (run scripts/setup.sh)" >&2
    exit 1
  fi
done

# shellcheck disable=SC1091
codename="$(. /etc/os-release && echo "${VERSION_CODENAME:-}")"
if [ -z "$codename" ]; then
  echo "sg3-tools: /etc/os-release names no release" >&2
  exit 2
fi

# Prints one deb-src line per deb entry of the machine's own sources that
# serves the release `codename` with the main component, keeping its
# Signed-By keyring.
derive_source_lines() {
  local file
  if [ -f /etc/apt/sources.list ]; then
    grep -hE '^[[:space:]]*deb[[:space:]]' /etc/apt/sources.list || true
  fi
  for file in /etc/apt/sources.list.d/*.list; do
    if [ -f "$file" ]; then grep -hE '^[[:space:]]*deb[[:space:]]' "$file" || true; fi
  done | sed -E 's/^[[:space:]]*deb[[:space:]]+/deb-src /' \
       | awk -v release="$codename" '{
           n = 2; if ($2 ~ /^\[/) { while (n <= NF && $n !~ /\]$/) n++; n++ }
           if ($(n + 1) == release) { for (i = n + 2; i <= NF; i++) if ($i == "main") { print; break } }
         }'
  for file in /etc/apt/sources.list.d/*.sources; do
    [ -f "$file" ] || continue
    # deb822 stanzas are separated by blank lines; fields may not repeat.
    awk -v release="$codename" '
      function flush() {
        if (types ~ /(^|[[:space:]])deb([[:space:]]|$)/ && enabled != "no" &&
            (" " suites " ") ~ (" " release " ") && (" " components " ") ~ / main /) {
          n = split(uris, list, /[[:space:]]+/)
          for (i = 1; i <= n; i++) if (list[i] != "") {
            options = signed != "" ? "[signed-by=" signed "] " : ""
            print "deb-src " options list[i] " " release " main"
          }
        }
        types = uris = suites = components = signed = enabled = ""
      }
      /^[[:space:]]*#/ { next }
      /^[[:space:]]*$/ { flush(); next }
      {
        field = tolower($1); sub(/:$/, "", field)
        value = $0; sub(/^[^:]*:[[:space:]]*/, "", value)
        if (field == "types") types = value
        else if (field == "uris") uris = value
        else if (field == "suites") suites = value
        else if (field == "components") components = value
        else if (field == "signed-by") signed = value
        else if (field == "enabled") enabled = tolower(value)
      }
      END { flush() }' "$file"
  done
}

apt_dir="$out/apt"
rm -rf "$apt_dir"
mkdir -p "$apt_dir/sources.list.d" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
derive_source_lines | sort -u > "$apt_dir/sources.list"
if [ ! -s "$apt_dir/sources.list" ]; then
  echo "sg3-tools: the machine's apt sources have no entry for $codename main" >&2
  exit 2
fi
echo "sg3-tools: private source list:" >&2
sed 's/^/  /' "$apt_dir/sources.list" >&2

apt_options=(
  -o "Dir::Etc::SourceList=$apt_dir/sources.list"
  -o "Dir::Etc::SourceParts=$apt_dir/sources.list.d"
  -o "Dir::State::Lists=$apt_dir/lists"
  -o "Dir::Cache=$apt_dir/cache"
  -o "APT::Sandbox::User=root"
)
started=$(date +%s)
if ! apt-get "${apt_options[@]}" -qq update >&2; then
  echo "sg3-tools: cannot fetch the source index" >&2
  exit 2
fi
source_dir="$out/source"
rm -rf "$source_dir"
mkdir -p "$source_dir"
if ! (cd "$source_dir" && apt-get "${apt_options[@]}" -qq source --download-only "$package" >&2); then
  echo "sg3-tools: cannot fetch the source package $package" >&2
  exit 2
fi
fetched=$(date +%s)
dsc="$(ls "$source_dir"/*.dsc)"
(cd "$source_dir" && dpkg-source --no-copy -x "$dsc" tree >&2)

# The build, in its own folder so that the source tree stays as unpacked.
tree="$source_dir/tree"
(cd "$tree" && ./configure --host=i686-w64-mingw32 --disable-shared -q >&2)
(cd "$tree" && make -k -j2 >"$out/make.log" 2>&1) || true
rm -rf "$out/src"
mkdir -p "$out/src"
cp "$tree"/src/*.exe "$out/src/"
: > "$out/unlinked.txt"
# The programs the package means to build, from its generated Makefile.
for name in $(sed -n '/^bin_PROGRAMS =/,/[^\\]$/p' "$tree/src/Makefile" |
              grep -o '[A-Za-z0-9_]*\$(EXEEXT)' | sed 's/\$(EXEEXT)//'); do
  [ -f "$out/src/$name.exe" ] || echo "$name" >> "$out/unlinked.txt"
done
built=$(date +%s)
{
  echo "package: $(basename "$dsc" .dsc)"
  echo "tools: $(ls "$out/src" | wc -l)"
  echo "unlinked: $(tr '\n' ' ' < "$out/unlinked.txt")"
  echo "fetch_seconds: $((fetched - started))"
  echo "build_seconds: $((built - fetched))"
} > "$out/built"
sed 's/^/sg3-tools: /' "$out/built" >&2
echo "$out/src"
