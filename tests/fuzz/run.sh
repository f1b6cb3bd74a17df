#!/bin/sh
# Builds the inquiry data fuzz target with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs it on its seed corpus for the given
# number of seconds (default 60). Exits non-zero on any finding.
set -eu

seconds=${1:-60}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
out=${FUZZ_BUILD_DIR:-$root/build/discovery-fuzz}
mkdir -p "$out/objects" "$out/corpus" "$out/findings"

flags="-m32 -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all
       -fno-exceptions -fno-rtti -Wall -Wextra -Werror -Wno-zero-length-array
       -I$root/sim/include -I$root -I$root/include"

# The library's sources first, without a main, then the target itself.
for source in discovery/inquiry_walk.cpp discovery/device_table.cpp \
              discovery/host_adapter_tables.cpp; do
    object="$out/objects/$(basename "$source" .cpp).o"
    clang++ $flags -fsanitize=fuzzer-no-link -c "$root/$source" -o "$object"
done
clang++ $flags -c "$here/platform_stubs.cpp" -o "$out/objects/platform_stubs.o"
clang++ $flags "$here/inquiry_data_fuzz.cpp" "$out"/objects/*.o -o "$out/inquiry_data_fuzz"

# New inputs go to a scratch corpus; the seeds in the tree are only read.
"$out/inquiry_data_fuzz" -max_total_time="$seconds" -max_len=4100 -timeout=10 \
    -artifact_prefix="$out/findings/" "$out/corpus" "$here/corpus/inquiry_data"
