#!/usr/bin/env bash
# Fuzz targets (tools/fuzz/) of the LE loader, the PMW1 loader and the stream decoder
# (libFuzzer with AddressSanitizer and UndefinedBehaviorSanitizer, 32-bit).
#   fuzz.sh smoke [SECONDS]     build, a short run of each target from the stored
#                               corpus, then replay the corpus and every stored crash
#   fuzz.sh campaign SECONDS    build, run each target SECONDS long (one after the
#                               other), keep new crashes, minimise the stored corpus
#   fuzz.sh replay              build, replay the stored corpus and crashes only
set -euo pipefail

mode=${1:-smoke}
seconds=${2:-5}
root=$(cd "$(dirname "$0")/.." && pwd)
out=${FUZZ_BUILD:-$root/build-fuzz}
targets=(le pmw1 unpack)
cxx=${FUZZ_CXX:-clang++-14}
# AddressSanitizer's runtime does not start under the user-mode emulator that
# runs 32-bit programs on kernels without their own 32-bit support
# (scripts/run-i386.sh): there the targets keep UndefinedBehaviorSanitizer and
# libFuzzer's own crash and hang detection.
sanitizers=address,undefined
if bash "$root/scripts/run-i386.sh" --emulated; then
    sanitizers=undefined
    echo "fuzz: 32-bit programs run under an emulator here, where AddressSanitizer cannot start;" \
        "the targets are built with UndefinedBehaviorSanitizer only"
fi

build() {
    mkdir -p "$out/obj-$sanitizers"
    local flags=(-m32 -std=c++20 -g -O1 -I"$root" -fno-sanitize-recover=all)
    local objs=()
    for src in loader/file_io.cpp loader/identify.cpp loader/le.cpp loader/pmw1.cpp \
        loader/placement.cpp loader/unpack.cpp tools/fuzz/fuzz_support.cpp; do
        local obj="$out/obj-$sanitizers/$(basename "$src" .cpp).o"
        if [ ! -e "$obj" ] || [ "$root/$src" -nt "$obj" ] || [ -n "$(find "$root/loader" "$root/tools/fuzz" -name '*.h' -newer "$obj")" ]; then
            "$cxx" "${flags[@]}" -fsanitize=fuzzer-no-link,$sanitizers -c "$root/$src" -o "$obj"
        fi
        objs+=("$obj")
    done
    for t in "${targets[@]}"; do
        "$cxx" "${flags[@]}" -fsanitize=fuzzer,$sanitizers "$root/tools/fuzz/${t}_fuzz.cpp" \
            "${objs[@]}" -Wl,--wrap=malloc,--wrap=calloc,--wrap=free -lmd -o "$out/${t}_fuzz"
    done
    # The seeds come from the image writers, built without sanitizers.
    if [ ! -d "$out/seeds" ] || [ "$root/tools/fuzz/make_seeds.cpp" -nt "$out/seeds" ]; then
        "$cxx" -m32 -std=c++20 -O1 -I"$root" "$root/tools/fuzz/make_seeds.cpp" \
            "$root/tools/image_writer.cpp" "$root/tools/pmw1_pack.cpp" \
            "$root/tools/sample_bytes.cpp" -o "$out/make_seeds"
        rm -rf "$out/seeds"
        "$out/make_seeds" "$out/seeds"
    fi
}

max_len() {
    case $1 in
    unpack) echo 8192 ;;
    *) echo 16384 ;;
    esac
}

# Every input that ever found a fault, and the stored corpus, once each.
replay() {
    for t in "${targets[@]}"; do
        local crashes=()
        for c in "$root/tests/fuzz/crashes/$t"/*; do
            [ -f "$c" ] && crashes+=("$c")
        done
        if [ ${#crashes[@]} -gt 0 ]; then
            "$out/${t}_fuzz" "${crashes[@]}" >"$out/replay-$t.log" 2>&1 ||
                { cat "$out/replay-$t.log"; echo "fuzz: $t: a stored crash fails again"; exit 1; }
        fi
        mkdir -p "$root/tests/fuzz/corpus/$t"
        "$out/${t}_fuzz" -runs=0 "$root/tests/fuzz/corpus/$t" >>"$out/replay-$t.log" 2>&1 ||
            { tail -30 "$out/replay-$t.log"; echo "fuzz: $t: the stored corpus fails"; exit 1; }
        echo "fuzz: $t: ${#crashes[@]} stored crash(es) and the corpus replayed clean"
    done
}

# One run of a target; new crashes are copied into the tree.
run() {
    local t=$1 time=$2 work=$3
    mkdir -p "$work" "$out/artifacts/$t" "$root/tests/fuzz/crashes/$t" "$root/tests/fuzz/corpus/$t"
    local status=0
    "$out/${t}_fuzz" -max_total_time="$time" -max_len="$(max_len "$t")" -rss_limit_mb=1024 \
        -print_final_stats=1 -artifact_prefix="$out/artifacts/$t/" \
        "$work" "$root/tests/fuzz/corpus/$t" "$out/seeds/$t" >"$out/$t.log" 2>&1 || status=$?
    grep -E "stat::number_of_executed_units|^(==|SUMMARY)" "$out/$t.log" | sed "s/^/fuzz: $t: /" || true
    for a in "$out/artifacts/$t"/*; do
        [ -e "$a" ] || continue
        cp "$a" "$root/tests/fuzz/crashes/$t/"
        echo "fuzz: $t: kept $(basename "$a") in tests/fuzz/crashes/$t"
    done
    if [ "$status" -ne 0 ]; then
        tail -40 "$out/$t.log"
        echo "fuzz: $t failed (status $status); log in $out/$t.log"
        return 1
    fi
}

build
case $mode in
smoke)
    for t in "${targets[@]}"; do
        rm -rf "$out/smoke/$t"
        run "$t" "$seconds" "$out/smoke/$t"
    done
    replay
    ;;
campaign)
    failed=0
    for t in "${targets[@]}"; do
        run "$t" "$seconds" "$out/corpus/$t" || failed=1
        # The stored corpus: the campaign's inputs minimised to the coverage.
        rm -rf "$out/merged/$t" && mkdir -p "$out/merged/$t"
        "$out/${t}_fuzz" -merge=1 -max_len="$(max_len "$t")" "$out/merged/$t" \
            "$root/tests/fuzz/corpus/$t" "$out/corpus/$t" >"$out/merge-$t.log" 2>&1
        rm -rf "$root/tests/fuzz/corpus/$t" && cp -r "$out/merged/$t" "$root/tests/fuzz/corpus/$t"
        echo "fuzz: $t: stored corpus $(ls "$root/tests/fuzz/corpus/$t" | wc -l) inputs"
    done
    exit $failed
    ;;
replay) replay ;;
*)
    echo "usage: fuzz.sh smoke [SECONDS] | campaign SECONDS | replay" >&2
    exit 2
    ;;
esac
