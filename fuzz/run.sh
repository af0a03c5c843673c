#!/bin/sh
# Builds the fuzzers with clang and the sanitizers, writes the seed corpus, then
# fuzzes for SECONDS each: the locator and the splitter in-process with
# libFuzzer, then the composing tools as whole programs with tool_fuzz.
# Exits non-zero when anything was found; the inputs that failed are kept in
# BUILD/fuzz-findings.
#
#     fuzz/run.sh SECONDS
#
# FUZZ_BUILD_DIR  build folder (default build-fuzz, beside the sources)
# FUZZ_SEED       seed of the mutations (default 1): the same seed repeats
#                 the same tool_fuzz inputs
# FUZZ_TARGETS    which to run (default "locator splitter tools")
set -eu
cd "$(dirname "$0")/.."

if [ $# -ne 1 ] || ! [ "$1" -gt 0 ] 2>/dev/null; then
    echo "usage: fuzz/run.sh SECONDS" >&2
    exit 2
fi
seconds=$1
build=${FUZZ_BUILD_DIR:-build-fuzz}
seed=${FUZZ_SEED:-1}
targets=${FUZZ_TARGETS:-locator splitter tools}

CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DSANITIZE=ON -DBUILD_FUZZERS=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target locator_fuzzer splitter_fuzzer make_fuzz_seeds tool_fuzz

# The seeds are regenerated every time; the corpora that the fuzzers grew
# from them are kept between runs in the build folder.
seeds=$build/fuzz-seeds
findings=$build/fuzz-findings
rm -rf "$seeds" "$findings"
mkdir -p "$seeds" "$findings"
"$build/bin/make_fuzz_seeds" "$seeds"

# Any sanitizer report ends a run with a failure.
export ASAN_OPTIONS=detect_leaks=1:halt_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

failed=""
for target in $targets; do
    case $target in
        locator | splitter)
            corpus=$build/fuzz-corpus/$target
            mkdir -p "$corpus"
            echo "== ${target}_fuzzer, $seconds s"
            # Inputs may grow a little beyond the largest seed, enough for
            # more pictures than the start table holds.
            if ! "$build/bin/${target}_fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
                -max_len=8192 -seed="$seed" -print_final_stats=1 \
                -artifact_prefix="$findings/$target-" "$corpus" "$seeds" 2>"$build/fuzz-$target.log"; then
                tail -n 40 "$build/fuzz-$target.log"
                failed="$failed $target"
            fi
            grep -E '^(Done|stat::number_of_executed_units)' "$build/fuzz-$target.log" || true
            ;;
        tools)
            echo "== tool_fuzz, $seconds s"
            "$build/bin/tool_fuzz" --bin "$build/bin" --seeds "$seeds" --findings "$findings/tools" \
                --seconds "$seconds" --seed "$seed" || failed="$failed tools"
            ;;
        *)
            echo "fuzz/run.sh: unknown target $target" >&2
            exit 2
            ;;
    esac
done

if [ -n "$failed" ]; then
    echo "fuzz/run.sh: findings in:$failed (inputs in $findings)"
    exit 1
fi
echo "fuzz/run.sh: no findings"
