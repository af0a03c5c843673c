#!/usr/bin/env bash
# Measures each tool against the least work that produces its output
# (bench_floor, the serial floor: decode both views whole, compose, encode),
# on generated stereo MPOs of 10, 2 and 40 MP and of 640 x 480, then a
# batch of 40 copies of the 10 MP file through the README's xargs recipe
# against one process converting them one after another, and runs the
# microbenchmarks; prints Markdown tables for the README.
#
#   bench/compare.sh [--build DIR] [--pairs N] [--cpu N | --no-pin] [--no-micro]
#
# Tool and floor run alternately, one pair after the other, each on its own
# fresh copy of the input; the figure is the median over the pairs of
# tool time / floor time, so slow drifts of the machine (other jobs, clock
# changes) cancel out. Wall time, processor time and peak resident memory
# come from bench_run; the goals are judged on wall time, the processor-time
# ratio is the steadier one when other jobs compete for the cores.

# Backquotes inside single quotes below are Markdown's, not command substitutions.
# shellcheck disable=SC2016
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build-bench"
pairs=15
cpu=1
pin=yes
micro=yes

usage() {
    echo "usage: bench/compare.sh [--build DIR] [--pairs N] [--cpu N | --no-pin] [--no-micro]" >&2
    exit 2
}

while (($#)); do
    case "$1" in
        --build) [[ $# -ge 2 ]] || usage; build=$2; shift 2 ;;
        --pairs) [[ $# -ge 2 && $2 =~ ^[1-9][0-9]*$ ]] || usage; pairs=$2; shift 2 ;;
        --cpu) [[ $# -ge 2 && $2 =~ ^[0-9]+$ ]] || usage; cpu=$2; shift 2 ;;
        --no-pin) pin=no; shift ;;
        --no-micro) micro=no; shift ;;
        -h | --help) usage ;;
        *) echo "compare.sh: unknown argument $1" >&2; usage ;;
    esac
done

say() { echo "$@" >&2; }
die() { echo "compare.sh: $*" >&2; exit 1; }

# --- Build: optimised and uninstrumented, or the figures mean nothing. -------
configure=(-DCMAKE_BUILD_TYPE=Release -DBUILD_BENCHMARKS=ON -DSANITIZE=OFF -DBUILD_FUZZERS=OFF)
# A folder made here needs no test suite; an existing one keeps its choice.
[[ -f "$build/CMakeCache.txt" ]] || configure+=(-DBUILD_TESTING=OFF)
say "Building in $build ..."
mkdir -p "$build"
build_log="$build/compare-build.log"
if ! { cmake -S "$root" -B "$build" "${configure[@]}" &&
    cmake --build "$build" -j 2 --target brantelix korventale trismoldaven vostrin make_sample_mpo \
        bench_floor bench_micro bench_run; } >"$build_log" 2>&1; then
    cat "$build_log" >&2
    die "the build failed"
fi
bin="$build/bin"

# --- Inputs: camera-sized garden pictures, made once and kept. ---------------
data="$build/bench-data"
mkdir -p "$data"
# Prints the path of the WIDTHxHEIGHT sample, rendering it when missing or
# older than the generator.
sample() {
    local file="$data/garden-$1x$2.mpo"
    if [[ ! -s "$file" || "$bin/make_sample_mpo" -nt "$file" ]]; then
        say "Rendering $1 x $2 stereo sample ..."
        "$bin/make_sample_mpo" --width "$1" --height "$2" "$file.part" >&2
        mv "$file.part" "$file"
    fi
    echo "$file"
}
large=$(sample 3648 2736)  # a 10 MP stereo camera's views
small=$(sample 1632 1224)  # 2 MP
huge=$(sample 7296 5472)   # 40 MP, the largest cameras'
vga=$(sample 640 480)      # the size of the shipped sample

scratch=$(mktemp -d "$build/bench-scratch.XXXXXX")  # same file system as the inputs
trap 'rm -rf "$scratch"' EXIT
run_dir="$scratch/run"

# Tool and floor share one CPU when taskset can pin them, so that neither
# profits from a core the other did not get.
pinning=()
pin_note="not pinned"
if [[ $pin == yes ]] && command -v taskset >/dev/null && taskset -c "$cpu" true 2>/dev/null; then
    pinning=(taskset -c "$cpu")
    pin_note="pinned to CPU $cpu"
fi
runner=("${pinning[@]}" "$bin/bench_run")

# Runs one command on a fresh copy of INPUT as $run_dir/shot.mpo, checks that
# OUTPUT appeared in $run_dir, and appends "SECONDS KIB CPU_SECONDS" to RESULTS.
measure() {
    local input=$1 output=$2 results=$3
    shift 3
    rm -rf "$run_dir"
    mkdir "$run_dir"
    cp "$input" "$run_dir/shot.mpo"
    local line
    line=$("${runner[@]}" "$@") || die "failed ($line): $*"
    [[ -s "$run_dir/$output" ]] || die "no $output from: $*"
    rm -rf "$run_dir"
    echo "${line% *}" >>"$results"
}

# Median of the numbers on standard input.
median() {
    sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) exit 1; print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
# First and third quartile, "Q1-Q3" (nearest rank).
quartiles() {
    sort -g | awk '{ v[NR] = $1 } END { q1 = int((NR + 3) / 4); q3 = int((3 * NR + 3) / 4); printf "%.2f-%.2f", v[q1], v[q3] }'
}

# Goals, by tool and size: the time ratio against the floor, and the peak
# memory of the tool (MiB) or, for the splitter, its ratio to the floor's.
# The composing tools stream rows, so their memory must not grow with the
# picture; at 640 x 480 the start of a process weighs as much as the work.
declare -A time_goal=([korventale-10]=0.50 [trismoldaven-10]=0.50 [vostrin-10]=0.50 [brantelix-10]=1.6
    [korventale-0.3]=1.10 [trismoldaven-0.3]=1.10 [vostrin-0.3]=1.10)
declare -A memory_goal_mib=([korventale-10]=8 [trismoldaven-10]=8 [vostrin-10]=8
    [korventale-40]=8 [trismoldaven-40]=8 [vostrin-40]=8)
declare -A memory_goal_ratio=([brantelix-10]=1.4)

# verdict VALUE GOAL: "yes" when VALUE <= GOAL.
verdict() { awk -v v="$1" -v g="$2" 'BEGIN { print (v <= g) ? "yes" : "no" }'; }

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
rows=()
for size in 10 2 40 0.3; do
    size_pairs=$pairs
    case $size in
        10) input=$large ;;
        2) input=$small ;;
        # The floor holds two 40 MP views and takes seconds: fewer pairs.
        40) input=$huge; size_pairs=$(((pairs + 2) / 3)) ;;
        0.3) input=$vga ;;
    esac
    for tool in korventale trismoldaven vostrin brantelix; do
        case $tool in
            korventale | trismoldaven)
                output=shot_dub.jpg
                [[ $tool == trismoldaven ]] && output=shot_ana.jpg
                floor=(anaglyph "$run_dir/shot.mpo" "$run_dir/floor.jpg")
                floor_out=floor.jpg ;;
            vostrin)
                output=shot.jps
                floor=(jps "$run_dir/shot.mpo" "$run_dir/floor.jps")
                floor_out=floor.jps ;;
            brantelix)
                output=shot_R.jpg
                floor=(split "$run_dir/shot.mpo" "$run_dir/floor")
                floor_out=floor_R.jpg ;;
        esac
        say "$tool against bench_floor ${floor[0]}, $size MP: 1 + $size_pairs pairs ..."
        tool_runs="$scratch/$tool-$size.tool"
        floor_runs="$scratch/$tool-$size.floor"
        : >"$tool_runs"
        : >"$floor_runs"
        for ((p = 0; p <= size_pairs; ++p)); do
            measure "$input" "$output" "$tool_runs" "$bin/$tool" "$run_dir/shot.mpo"
            measure "$input" "$floor_out" "$floor_runs" "$bin/bench_floor" "${floor[@]}"
        done
        # The first pair only warms the caches.
        sed -i 1d "$tool_runs" "$floor_runs"
        ratios=$(paste -d' ' "$tool_runs" "$floor_runs" | awk '{ print $1 / $4 }')
        ratio=$(median <<<"$ratios")
        spread=$(quartiles <<<"$ratios")
        cpu_ratio=$(paste -d' ' "$tool_runs" "$floor_runs" | awk '{ print $3 / $6 }' | median)
        tool_ms=$(awk '{ print $1 * 1000 }' "$tool_runs" | median)
        floor_ms=$(awk '{ print $1 * 1000 }' "$floor_runs" | median)
        tool_kib=$(awk '{ print $2 }' "$tool_runs" | median)
        floor_kib=$(awk '{ print $2 }' "$floor_runs" | median)
        memory=$(awk -v a="$tool_kib" -v b="$floor_kib" 'BEGIN { printf "%.2f", a / b }')
        key="$tool-$size"
        time_check="-"
        memory_check="-"
        if [[ -n ${time_goal[$key]:-} ]]; then
            time_check="<= ${time_goal[$key]}: $(verdict "$ratio" "${time_goal[$key]}")"
        fi
        if [[ -n ${memory_goal_mib[$key]:-} ]]; then
            tool_mib=$(awk -v k="$tool_kib" 'BEGIN { printf "%.2f", k / 1024 }')
            memory_check="<= ${memory_goal_mib[$key]} MiB: $(verdict "$tool_mib" "${memory_goal_mib[$key]}")"
        elif [[ -n ${memory_goal_ratio[$key]:-} ]]; then
            memory_check="<= ${memory_goal_ratio[$key]} x: $(verdict "$memory" "${memory_goal_ratio[$key]}")"
        fi
        rows+=("$(awk -v tool="$tool" -v size="$size" -v floor="${floor[0]}" -v r="$ratio" -v s="$spread" \
            -v tc="$time_check" -v tm="$tool_ms" -v fm="$floor_ms" -v tk="$tool_kib" -v fk="$floor_kib" \
            -v m="$memory" -v mc="$memory_check" -v c="$cpu_ratio" 'BEGIN {
                printf "| `%s` | %s MP | %s | %.2f x (%s) | %s | %.0f / %.0f | %.2f x | %.1f / %.1f | %s x | %s |\n",
                       tool, size, floor, r, s, tc, tm, fm, c, tk / 1024, fk / 1024, m, mc }')")
    done
done

# --- A folder through the README's recipe. ------------------------------------
# 40 copies of the 10 MP file converted by one korventale process, one file
# after another, against the README's xargs recipe exactly as printed there,
# which runs one process per file on every core (not pinned). The figure is
# the ratio of files per second, recipe / one process. Beside it, the same
# for one process per core, each converting its share of the files in one
# run: what the machine's cores give at best, recipe or not (on a virtual
# machine, cores shared with other guests give less than their number).
say "A batch of 40 files, one process against the README's xargs recipe ..."
recipe=$(awk '/^<!-- recipe: xargs -->$/ { marked = 1; next }
    marked && /^```/ { if (inside) exit; inside = 1; next }
    inside { print }' "$root/README.md")
[[ -n $recipe ]] || die "no xargs recipe in README.md"
batch="$scratch/batch"
mkdir -p "$batch/photos"
for ((k = 1; k <= 40; ++k)); do ln "$large" "$batch/photos/shot$k.mpo"; done
batch_runs="$scratch/batch.runs"
: >"$batch_runs"
batch_pairs=$(((pairs + 2) / 3))
clear_outputs() { find "$batch/photos" -name '*_dub.jpg' -delete; }
for ((p = 0; p <= batch_pairs; ++p)); do
    clear_outputs
    one=$(cd "$batch" && "$bin/bench_run" "$bin/korventale" photos/shot*.mpo) || die "one process failed"
    clear_outputs
    # The tools' messages go to standard error in the recipe: kept aside.
    many=$(cd "$batch" && PATH="$bin:$PATH" "$bin/bench_run" /bin/sh -c "$recipe" 2>"$scratch/recipe.log") || {
        cat "$scratch/recipe.log" >&2
        die "the recipe failed"
    }
    [[ $(find "$batch/photos" -name '*_dub.jpg' | wc -l) == 40 ]] || die "the recipe did not convert all 40 files"
    clear_outputs
    # shellcheck disable=SC2016
    shares=$(cd "$batch" && "$bin/bench_run" /bin/bash -c 'files=(photos/shot*.mpo); n=$(nproc)
        for ((c = 0; c < n; ++c)); do
            share=(); for ((k = c; k < ${#files[@]}; k += n)); do share+=("${files[k]}"); done
            "$0" "${share[@]}" >/dev/null &
        done
        wait' "$bin/korventale") || die "one process per core failed"
    echo "${one%% *} ${many%% *} ${shares%% *}" >>"$batch_runs"
done
sed -i 1d "$batch_runs"
batch_ratio=$(awk '{ print $1 / $2 }' "$batch_runs" | median)
cores_ratio=$(awk '{ print $1 / $3 }' "$batch_runs" | median)
batch_one=$(awk '{ print $1 }' "$batch_runs" | median)
batch_many=$(awk '{ print $2 }' "$batch_runs" | median)
batch_row=$(awk -v r="$batch_ratio" -v a="$batch_one" -v b="$batch_many" -v n="$(nproc)" -v c="$cores_ratio" \
    -v ok="$(verdict 1.9 "$batch_ratio")" 'BEGIN {
        printf "| 40 x 10 MP, `korventale` | %.2f x | >= 1.9: %s | %.2f x | %.1f / %.1f s | %d |\n", r, ok, c, a, b, n }')
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

# --- Microbenchmarks on the 10 MP views. --------------------------------------
micro_rows=()
if [[ $micro == yes ]]; then
    say "Microbenchmarks ..."
    csv="$scratch/micro.csv"
    "${pinning[@]}" "$bin/bench_micro" --mpo="$large" --benchmark_repetitions=5 \
        --benchmark_report_aggregates_only=true --benchmark_out="$csv" --benchmark_out_format=csv >&2
    # figure NAME FIELD SCALE: the median aggregate's FIELD (CSV column) times SCALE.
    figure() {
        awk -F, -v name="\"$1_median\"" -v field="$2" -v scale="$3" \
            '$1 == name { printf "%.0f", $field * scale; found = 1 } END { if (!found) print "?" }' "$csv"
    }
    mpix() { figure "$1" 7 1e-6; }         # items_per_second: view pixels
    milliseconds() { figure "$1" 4 1; }   # cpu_time, in ms, like the rates above
    micro_line() { micro_rows+=("| $1 | $2 | $3 |"); }
    dubois=$(mpix BM_DuboisAnaglyphInPlace)
    locator=$(figure BM_Locator 6 1e-6)
    micro_line '`dubois_anaglyph` in place, as `korventale` calls it' "$dubois Mpix/s" \
        ">= 500: $(verdict 500 "$dubois")"
    micro_line '`dubois_anaglyph` into another raster' "$(mpix BM_DuboisAnaglyph) Mpix/s" ""
    micro_line '`dubois_pixel` in a loop (the plain formula)' "$(mpix BM_DuboisPixelLoop) Mpix/s" ""
    micro_line '`colour_anaglyph` in place' "$(mpix BM_ColourAnaglyphInPlace) Mpix/s" ""
    micro_line '`findJPEGs` over a 10 MB stream' "$locator MB/s" ">= 500: $(verdict 500 "$locator")"
    micro_line 'decoding one view from memory' "$(milliseconds BM_DecodeView) ms" ""
    micro_line 'encoding the left view as it is (the anaglyph floor)' "$(milliseconds BM_EncodeLeftView) ms" ""
    micro_line 'encoding the Dubois anaglyph' "$(milliseconds BM_EncodeDuboisAnaglyph) ms" ""
    micro_line 'encoding the colour anaglyph' "$(milliseconds BM_EncodeColourAnaglyph) ms" ""
    micro_line 'encoding the JPS picture' "$(milliseconds BM_EncodeSideBySide) ms" ""
fi

# --- Report. ------------------------------------------------------------------
cpu_model=$(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)
jpeg_version=$(pkg-config --modversion libjpeg 2>/dev/null || echo unknown)
echo
echo "Measured on $cpu_model, $(nproc) cores, Linux $(uname -r), libjpeg-turbo $jpeg_version;" \
    "$pairs pairs per line after a warm-up pair, $pin_note; load average $load_before before, $load_after after."
echo
echo "| tool | views | floor | time ratio, median of pairs (quartiles) | goal met | median ms, tool / floor" \
    "| processor-time ratio | peak MiB, tool / floor | memory ratio | memory goal met |"
echo "|---|---|---|---|---|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
echo
echo "| batch through the README's xargs recipe | files per second, recipe / one process | goal met" \
    "| one process per core / one process | median s, one process / recipe | cores |"
echo "|---|---|---|---|---|---|"
echo "$batch_row"
if ((${#micro_rows[@]})); then
    echo
    echo "| one core (processor time), 3648 x 2736 views | figure | goal met |"
    echo "|---|---|---|"
    printf '%s\n' "${micro_rows[@]}"
fi
