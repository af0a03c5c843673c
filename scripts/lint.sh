#!/bin/sh
# Lints the project's own C and C++ sources: clang-format (the style of
# .clang-format), clang-tidy (the checks of .clang-tidy) and cppcheck. Every
# finding is printed, each tool's are counted at the end, and any finding
# makes the script fail.
#   scripts/lint.sh BUILD_DIR
# BUILD_DIR is a build tree whose compile_commands.json clang-tidy and
# cppcheck read (the project writes one by default); it is configured again
# first, not built. When it does not exist yet, it is configured with clang
# and the benchmarks and fuzzers when they can be, so that their sources are
# checked with their real flags too. Sources that the database does not
# cover are checked with the project's include folders.
# CLANG_FORMAT, CLANG_TIDY and CPPCHECK name other binaries; JOBS sets the
# number of parallel clang-tidy runs (default: the number of cores).
set -eu

if [ $# -ne 1 ]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
fi
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build=$1
jobs=${JOBS:-$(nproc 2>/dev/null || echo 2)}

# The first of the names that is installed (Debian also ships versioned ones).
find_tool() {
    for name in "$@"; do
        if command -v "$name" >/dev/null 2>&1; then
            command -v "$name"
            return 0
        fi
    done
    return 1
}
clang_format=${CLANG_FORMAT:-$(find_tool clang-format clang-format-19 clang-format-18 clang-format-17 \
    clang-format-16 clang-format-15 clang-format-14 || true)}
clang_tidy=${CLANG_TIDY:-$(find_tool clang-tidy clang-tidy-19 clang-tidy-18 clang-tidy-17 clang-tidy-16 \
    clang-tidy-15 clang-tidy-14 || true)}
cppcheck=${CPPCHECK:-$(find_tool cppcheck || true)}
for tool in clang_format clang_tidy cppcheck; do
    eval "path=\$$tool"
    if [ -z "$path" ]; then
        echo "lint: $tool is not installed (Debian: apt-get install clang-format clang-tidy cppcheck)" >&2
        exit 2
    fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM

if [ ! -e "$build" ]; then
    echo "lint: configuring $build for its compile database"
    # With the benchmarks and fuzzers if Google Benchmark and clang are there,
    # with the fuzzers alone, else plainly; a failed attempt leaves no tree.
    configured=no
    for options in "-DBUILD_BENCHMARKS=ON -DBUILD_FUZZERS=ON" "-DBUILD_FUZZERS=ON"; do
        # shellcheck disable=SC2086
        if CC=clang CXX=clang++ cmake -S "$source_dir" -B "$build" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON $options \
            >"$work/configure.log" 2>&1; then
            configured=yes
            break
        fi
        rm -rf "$build"
    done
    if [ "$configured" = no ] &&
        ! cmake -S "$source_dir" -B "$build" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >"$work/configure.log" 2>&1; then
        cat "$work/configure.log" >&2
        exit 2
    fi
elif ! cmake -S "$source_dir" -B "$build" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >"$work/configure.log" 2>&1; then
    # An existing tree is configured again (never replaced), so that its
    # database lists the sources added since.
    cat "$work/configure.log" >&2
    exit 2
fi
build=$(cd "$build" && pwd)
database=$build/compile_commands.json
[ -f "$database" ] || {
    echo "lint: $database is missing: configure with -DCMAKE_EXPORT_COMPILE_COMMANDS=ON" >&2
    exit 2
}

cd "$source_dir"

# The project's own sources: tracked ones, and new ones not yet added (but
# not ignored ones, such as build trees). Outside a git checkout, all of them.
folders="toolkit tools samples tests bench fuzz"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    # shellcheck disable=SC2086
    git ls-files --cached --others --exclude-standard -- $folders
else
    # shellcheck disable=SC2086
    find $folders -type f 2>/dev/null
fi | grep -E '\.(c|cpp|h|hpp)$' | sort -u >"$work/sources"
grep -E '\.(c|cpp)$' "$work/sources" >"$work/units" || true

# Translation units in the database, and those it does not cover.
sed -n 's/^ *"file": "\(.*\)",*$/\1/p' "$database" | sed "s#^$source_dir/##" | sort -u >"$work/known"
comm -12 "$work/units" "$work/known" >"$work/covered"
comm -23 "$work/units" "$work/known" >"$work/uncovered"
include_flags=$(find toolkit tools samples tests/support bench -name '*.hpp' -exec dirname {} \; 2>/dev/null |
    sort -u | sed 's/^/-I/' | tr '\n' ' ')

status=0

echo "== clang-format ($("$clang_format" --version | sed 's/.*version \([0-9.]*\).*/\1/'))"
# shellcheck disable=SC2046
"$clang_format" --dry-run --Werror $(cat "$work/sources") >"$work/format.txt" 2>&1 || status=1
cat "$work/format.txt"

echo "== clang-tidy ($(wc -l <"$work/covered") files from the compile database, $(wc -l <"$work/uncovered") without)"
# One output file per source, so that parallel runs do not mix their lines.
mkdir "$work/tidy"
export clang_tidy build work
# shellcheck disable=SC2016
xargs -P "$jobs" -I{} sh -c '
    out="$work/tidy/$(echo "$1" | tr / _).txt"
    "$clang_tidy" --quiet -p "$build" "$1" >"$out" 2>&1 || echo "clang-tidy failed on $1" >>"$out"
' sh {} <"$work/covered"
while read -r file; do
    case "$file" in
        *.c) flags="-std=c11" ;;
        *) flags="-std=c++17" ;;
    esac
    # shellcheck disable=SC2086
    "$clang_tidy" --quiet "$file" -- $flags $include_flags >"$work/tidy/$(echo "$file" | tr / _).txt" 2>&1 ||
        echo "clang-tidy failed on $file" >>"$work/tidy/$(echo "$file" | tr / _).txt"
done <"$work/uncovered"
# Only the findings and their context; not the "N warnings generated" chatter.
cat "$work"/tidy/*.txt 2>/dev/null | grep -v -E '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$' \
    >"$work/tidy.txt" || true
cat "$work/tidy.txt"
if grep -q -E '(warning|error): |clang-tidy failed' "$work/tidy.txt"; then status=1; fi

echo "== cppcheck ($("$cppcheck" --version))"
# The database's units, and the others by their include folders. System
# headers are not looked into (missingIncludeSystem).
run_cppcheck() {
    "$cppcheck" --enable=warning,performance,portability --error-exitcode=1 --inline-suppr \
        --suppress=missingIncludeSystem --quiet -j "$jobs" \
        '--template={file}:{line}:{column}: {severity}: {message} [{id}]' "$@" >>"$work/cppcheck.txt" 2>&1
}
: >"$work/cppcheck.txt"
# Only the project's own units, should the database hold others (GoogleTest
# built from source).
# shellcheck disable=SC2046
run_cppcheck --project="$database" $(sed "s#^#--file-filter=$source_dir/#" "$work/covered") || status=1
if [ -s "$work/uncovered" ]; then
    # shellcheck disable=SC2046,SC2086
    run_cppcheck --std=c++17 $include_flags $(cat "$work/uncovered") || status=1
fi
cat "$work/cppcheck.txt"

echo "== findings"
printf '%6d clang-format\n' "$(grep -c 'code should be clang-formatted' "$work/format.txt" || true)"
# A finding in a header is reported once per source that includes it; counted once.
grep -E '^[^ ]+:[0-9]+:[0-9]+: (warning|error): .*\[[a-z0-9.,-]+\]$' "$work/tidy.txt" | sort -u |
    sed -E 's/.*\[([^],]+).*\]$/clang-tidy \1/' | sort | uniq -c || true
grep -o -E '\[[A-Za-z0-9_]+\]$' "$work/cppcheck.txt" | sed 's/^/cppcheck /' | sort | uniq -c || true
if [ "$status" -eq 0 ]; then
    echo "lint: clean"
else
    echo "lint: findings above" >&2
fi
exit "$status"
