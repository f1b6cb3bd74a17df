#!/bin/sh
# Builds the fuzz targets with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs each on its seed corpus for the given
# number of seconds (default 60), or for FUZZ_RUNS inputs when that is set.
# FUZZ_TARGETS names the targets to build and run (default: all of them).
# The PE loader's target also takes as seeds the project's own Windows
# images wherever the build has made them (stripped of their symbols).
# Exits non-zero on any finding.
# FUZZ_JOBS targets run at once (default: one per processor).
set -eu

seconds=${1:-60}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
out=${FUZZ_BUILD_DIR:-$root/build/fuzz}
targets=${FUZZ_TARGETS:-"inquiry_data registry_scan machine_file srb pe_image"}
compiler="clang++"
if command -v ccache >/dev/null 2>&1; then compiler="ccache clang++"; fi
mkdir -p "$out"

common="-m32 -std=c++17 -g -O1 -fsanitize=address,undefined -fno-sanitize-recover=all
        -Wall -Wextra -Werror -Wno-zero-length-array -I$root/sim/include -I$root -I$root/include"
# The library is built as it ships: no exceptions, no RTTI.
library="$common -fno-exceptions -fno-rtti -fsanitize=fuzzer-no-link"
# The simulator realigns its frames, since Windows code calls it with the
# stack aligned to 4 bytes only. Its 64-bit interlocked functions take the
# operands a program gives them, which i386 aligns to 4 bytes only; the
# locked compare-exchange is correct there, so clang's warning is off.
simulator="$common -fsanitize=fuzzer-no-link -mstackrealign -Wno-atomic-alignment"

# Returns nothing: compiles each source (relative to the root) with the
# given flags into the folder, in parallel.
compile() {
    folder=$1 flags=$2
    shift 2
    mkdir -p "$out/$folder"
    for source in "$@"; do echo "$source"; done |
        xargs -P 2 -I{} sh -c 'o="$1/$(echo "$2" | tr / _).o"; '"$compiler"' $3 -c "$4/$2" -o "$o"' \
            sh "$out/$folder" {} "$flags" "$root"
}

# Returns nothing: compiles the whole simulator, with its built-in machine,
# into "$out/sim".
compile_simulator() {
    [ -z "${simulator_compiled:-}" ] || return 0
    simulator_compiled=1
    printf '// Generated from machines/default.json.\nnamespace sim {\nextern const char DefaultMachineJson[] = R"ptaspi_machine(%s)ptaspi_machine";\n}\n' \
        "$(cat "$root/machines/default.json")" > "$out/default_machine_text.cpp"
    compile sim "$simulator" $(cd "$root" && find sim -name '*.cpp' | sort)
    $compiler $simulator -c "$out/default_machine_text.cpp" -o "$out/sim/default_machine_text.o"
}

# Returns nothing: links a target from its source and the objects given.
link() {
    name=$1
    shift
    $compiler $common -fsanitize=fuzzer "$here/$name.cpp" "$@" -o "$out/$name"
}

for target in $targets; do
    case $target in
    inquiry_data)
        compile inquiry_data "$library" discovery/inquiry_walk.cpp discovery/device_table.cpp \
            discovery/host_adapter_tables.cpp tests/fuzz/platform_stubs.cpp
        link inquiry_data_fuzz "$out"/inquiry_data/*.o ;;
    registry_scan)
        compile registry_scan "$library" discovery/host_adapters.cpp \
            discovery/host_adapter_tables.cpp discovery/discovery_open.cpp tests/fuzz/platform_stubs.cpp
        link registry_scan_fuzz "$out"/registry_scan/*.o ;;
    machine_file)
        compile machine_file "$simulator" sim/machine/machine_file.cpp \
            sim/machine/machine_reader.cpp sim/machine/machine_registry_edits.cpp \
            sim/machine/machine_releases.cpp
        link machine_file_fuzz "$out"/machine_file/*.o ;;
    srb)
        # The whole simulator and library, linked in: the target loads
        # nothing, it calls DllMain itself. The simulator's iscsi units
        # need libiscsi, though the fixed machine has none.
        compile_simulator
        compile srb_library "$library" $(cd "$root" && ls interface/*.cpp discovery/*.cpp execution/*.cpp)
        link srb_fuzz "$out"/sim/*.o "$out"/srb_library/*.o -liscsi -lpthread -ldl -latomic ;;
    pe_image)
        # The loader binds imports to the simulator's own functions, so
        # the whole simulator is linked in; nothing of it is called.
        compile_simulator
        link pe_image_fuzz "$out"/sim/*.o -liscsi -lpthread -ldl -latomic
        mkdir -p "$out/seeds/pe_image"
        strip=$(command -v i686-w64-mingw32-strip || true)
        for image in "$root/build/linux/fixtures/pe_probe.dll" "$root/build/windows/ptaspi32.dll" \
            "$root/build/windows/aspitool.exe"; do
            [ -r "$image" ] || continue
            seed="$out/seeds/pe_image/$(basename "$image")"
            if [ -n "$strip" ]; then "$strip" -o "$seed" "$image"; else cp "$image" "$seed"; fi
        done ;;
    *) echo "unknown fuzz target $target" >&2; exit 2 ;;
    esac
done

# New inputs go to a scratch corpus; the seeds in the tree are only read.
# Each target runs in one process on one processor, so FUZZ_JOBS targets
# (default: one per processor) run at once; each one's output is printed
# when its batch ends.
jobs=${FUZZ_JOBS:-$(nproc 2>/dev/null || echo 1)}
failed=
batch=
# Returns nothing: waits for the targets of the batch, prints their output,
# and notes the ones that failed.
finish_batch() {
    for entry in $batch; do
        pid=${entry%%:*} target=${entry#*:}
        if ! wait "$pid"; then failed="$failed $target"; fi
        echo "== fuzz: $target"
        cat "$out/logs/$target.log"
    done
    batch=
}
mkdir -p "$out/logs"
count=0
for target in $targets; do
    mkdir -p "$out/corpus/$target" "$out/findings/$target"
    if [ -n "${FUZZ_RUNS:-}" ]; then limit="-runs=$FUZZ_RUNS"; else limit="-max_total_time=$seconds"; fi
    # A PE image is as long as its sections, the other inputs are short.
    max_len=4100
    if [ "$target" = pe_image ]; then max_len=1048576; fi
    seeds=
    if [ -d "$out/seeds/$target" ]; then seeds="$out/seeds/$target"; fi
    "$out/${target}_fuzz" $limit -max_len=$max_len -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$out/findings/$target/" "$out/corpus/$target" "$here/corpus/$target" $seeds \
        >"$out/logs/$target.log" 2>&1 &
    batch="$batch $!:$target"
    count=$((count + 1))
    if [ $((count % jobs)) -eq 0 ]; then finish_batch; fi
done
finish_batch
if [ -n "$failed" ]; then
    echo "fuzz: findings or failures in:$failed (inputs under $out/findings)" >&2
    exit 1
fi
