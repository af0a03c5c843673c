#!/bin/sh
# Builds the fuzzers with clang and the sanitizers, against a libjpeg-turbo
# built the same way from Debian's source (so that libFuzzer sees the
# decoder's and encoder's branches and the sanitizers check their every
# access), writes the seed corpora, then fuzzes each target in-process with
# libFuzzer for SECONDS: the locator, the splitter's per-file work and the
# composing tools' per-file work. Exits non-zero when anything was found; the
# inputs that failed are kept in BUILD/fuzz-findings.
#
#     fuzz/run.sh SECONDS
#
# FUZZ_BUILD_DIR  build folder (default build-fuzz, beside the sources)
# FUZZ_SEED       libFuzzer's seed (default 1): the same seed and corpus
#                 repeat the same run
# FUZZ_TARGETS    which to run (default "locator splitter compose")
set -eu
cd "$(dirname "$0")/.."

if [ $# -ne 1 ] || ! [ "$1" -gt 0 ] 2>/dev/null; then
    echo "usage: fuzz/run.sh SECONDS" >&2
    exit 2
fi
seconds=$1
build=${FUZZ_BUILD_DIR:-build-fuzz}
seed=${FUZZ_SEED:-1}
targets=${FUZZ_TARGETS:-locator splitter compose}
mkdir -p "$build"
build=$(cd "$build" && pwd)
sanitize="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"

# libjpeg-turbo, once per build folder: static, with coverage and the
# sanitizers, and without its SIMD code, which neither could see into.
jpeg=$build/deps/libjpeg-fuzz
if [ ! -f "$jpeg/lib/libjpeg.a" ]; then
    jpeg_source=$(scripts/libjpeg_source.sh "$build/deps")
    echo "== libjpeg-turbo for fuzzing"
    CC=clang CFLAGS="$sanitize -fsanitize=fuzzer-no-link -g" cmake -S "$jpeg_source" -B "$build/deps/build-fuzz" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_TURBOJPEG=OFF \
        -DWITH_SIMD=OFF >"$build/deps/build-fuzz.log"
    cmake --build "$build/deps/build-fuzz" -j "$(nproc)" --target jpeg-static >>"$build/deps/build-fuzz.log"
    mkdir -p "$jpeg/lib" "$jpeg/include"
    cp "$jpeg_source/jpeglib.h" "$jpeg_source/jerror.h" "$jpeg_source/jmorecfg.h" \
        "$build/deps/build-fuzz/jconfig.h" "$jpeg/include/"
    cp "$build/deps/build-fuzz/libjpeg.a" "$jpeg/lib/"
fi

CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DSANITIZE=ON -DBUILD_FUZZERS=ON -DBUILD_TESTING=OFF \
    -DJPEG_INCLUDE_DIR="$jpeg/include" -DJPEG_LIBRARY_RELEASE="$jpeg/lib/libjpeg.a" >/dev/null
cmake --build "$build" -j "$(nproc)" --target locator_fuzzer splitter_fuzzer compose_fuzzer make_fuzz_seeds

# The seeds are regenerated every time; the corpora that the fuzzers grew
# from them are kept between runs in the build folder.
seeds=$build/fuzz-seeds
findings=$build/fuzz-findings
rm -rf "$seeds" "$findings"
mkdir -p "$seeds/plain" "$seeds/compose" "$findings"
"$build/bin/make_fuzz_seeds" "$seeds/plain" "$seeds/compose"

# Any sanitizer report ends a run with a failure.
export ASAN_OPTIONS=detect_leaks=1:halt_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

failed=""
for target in $targets; do
    case $target in
        locator | splitter) target_seeds=$seeds/plain ;;
        compose) target_seeds=$seeds/compose ;;
        *)
            echo "fuzz/run.sh: unknown target $target" >&2
            exit 2
            ;;
    esac
    corpus=$build/fuzz-corpus/$target
    log=$build/fuzz-$target.log
    mkdir -p "$corpus"
    echo "== ${target}_fuzzer, $seconds s"
    # Inputs may grow a little beyond the largest seed, enough for more
    # pictures than the start table holds. The memory bound is libFuzzer's
    # default, said here: a run above it is a finding. The tools' diagnostics
    # on standard error, thousands a second, are discarded; libFuzzer's log
    # and the sanitizers' reports (the failed checks' too) stay.
    if ! "$build/bin/${target}_fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -max_len=8192 -seed="$seed" -dict=fuzz/jpeg.dict -print_final_stats=1 -close_fd_mask=2 \
        -artifact_prefix="$findings/$target-" "$corpus" "$target_seeds" 2>"$log"; then
        tail -n 40 "$log"
        failed="$failed $target"
    fi
    grep -E '^(Done|stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss_mb)' "$log" || true
done

if [ -n "$failed" ]; then
    echo "fuzz/run.sh: findings in:$failed (inputs in $findings)"
    exit 1
fi
echo "fuzz/run.sh: no findings"
