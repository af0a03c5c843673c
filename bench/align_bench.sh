#!/usr/bin/env bash
# The alignment benchmark: mpoalign against the floor of an independent
# evaluator and against the published method implemented plainly
# (bench/align_eval.cpp), on the camera pairs of ../shared/samples/mpo as shot
# and on the W3 pair with its right view turned, scaled and moved by known
# amounts; then mpoalign's time and peak memory against korventale's on the
# W3 pair (10 MP), one process and one per core. Prints Markdown tables.
#   bench/align_bench.sh [--build DIR] [--runs N]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build-bench"
runs=5
while (($#)); do
    case "$1" in
        --build) build=$2; shift 2 ;;
        --runs) runs=$2; shift 2 ;;
        *) echo "usage: bench/align_bench.sh [--build DIR] [--runs N]" >&2; exit 2 ;;
    esac
done
samples="$root/../shared/samples/mpo"
[[ -d "$samples" ]] || { echo "align_bench: no camera files in $samples" >&2; exit 1; }
mkdir -p "$build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_BENCHMARKS=ON >"$build/align-bench-build.log" 2>&1
cmake --build "$build" -j 2 --target mpoalign korventale align_eval bench_run >>"$build/align-bench-build.log" 2>&1
bin="$build/bin"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "| pair | as shot: mean / p95 | floor: mean / p95 | mpoalign: mean / p95 | plain method: mean / p95 | kept: mpoalign / plain |"
echo "|---|---|---|---|---|---|"
row() {  # NAME FILE UNIT_WIDTH
    local name=$1 file=$2 unit=$3
    cp "$file" "$work/p.mpo"
    read -r _ m p fm fp < <("$bin/align_eval" measure "$work/p.mpo" "$unit")
    local kept
    kept=$("$bin/mpoalign" "$work/p.mpo" 2>&1 >/dev/null | sed -n 's/.*kept (\([0-9]*\) %.*/\1/p')
    read -r _ am ap _ _ < <("$bin/align_eval" measure "$work/p_aligned.mpo" "$unit")
    local plain
    plain=$("$bin/align_eval" plain "$work/p.mpo" "$work/plain.mpo" | awk '{ printf "%.0f", 100 * $2 }')
    read -r _ pm pp _ _ < <("$bin/align_eval" measure "$work/plain.mpo" "$unit")
    echo "| $name | $m / $p | $fm / $fp | $am / $ap | $pm / $pp | $kept % / $plain % |"
}
for pair in fujifilm_w3:3648 3ds_frozenpond:640 3ds_sugarshack:640 panasonic_gx8:1824; do
    row "${pair%%:*}" "$samples/${pair%%:*}.mpo" "${pair##*:}"
done
for distortion in "1.2 1.02 30" "-2 0.97 -40" "0.5 1.01 15"; do
    read -r degrees scale shift <<<"$distortion"
    "$bin/align_eval" distort "$samples/fujifilm_w3.mpo" "$work/d.mpo" "$degrees" "$scale" "$shift"
    row "W3, right view $degrees degrees, x $scale, $shift px" "$work/d.mpo" 3648
done

echo
echo "| W3 pair (10 MP) | wall time, median | processor time, median | peak memory |"
echo "|---|---|---|---|"
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
for tool in korventale mpoalign; do
    : >"$work/times"
    for ((k = 0; k < runs; ++k)); do
        cp "$samples/fujifilm_w3.mpo" "$work/w3.mpo"
        "$bin/bench_run" "$bin/$tool" "$work/w3.mpo" 2>/dev/null >>"$work/times"
    done
    wall=$(cut -d' ' -f1 "$work/times" | median)
    cpu=$(cut -d' ' -f3 "$work/times" | median)
    peak=$(cut -d' ' -f2 "$work/times" | sort -n | tail -n 1)
    printf '| `%s` | %.2f s | %.2f s | %.0f MiB |\n' "$tool" "$wall" "$cpu" "$(echo "$peak / 1024" | bc -l)"
done
cores=$(nproc)
for ((k = 0; k < 2 * cores; ++k)); do cp "$samples/fujifilm_w3.mpo" "$work/c$k.mpo"; done
start=$(date +%s.%N)
for ((k = 0; k < 2 * cores; ++k)); do "$bin/mpoalign" "$work/c$k.mpo" >/dev/null 2>&1; done
one=$(echo "$(date +%s.%N) - $start" | bc)
start=$(date +%s.%N)
for ((c = 0; c < cores; ++c)); do "$bin/mpoalign" "$work/c$((2 * c)).mpo" "$work/c$((2 * c + 1)).mpo" >/dev/null 2>&1 & done
wait
many=$(echo "$(date +%s.%N) - $start" | bc)
echo
echo "$((2 * cores)) W3 pairs: one process $one s, one process per core ($cores) $many s"
