#!/bin/bash
# Runs the README's folder recipes exactly as printed there (the fenced block
# after each `<!-- recipe: NAME -->` line) on a generated tree holding what
# camera folders and careless copies hold: .mpo and .MPO files in nested
# folders, names with spaces and a newline, a link to a photo, dangling
# links, a folder named like a photo with a photo inside, a file with a single
# picture and a .jpg. Checks that every convertible file got its outputs,
# byte for byte those of the tool run directly on it, that nothing else in the
# tree was made, changed or removed, that standard output is exactly the list
# of the files that failed and that the final status is non-zero.
#   folder_recipes_test.sh BIN_DIR SOURCE_DIR RECIPE
# RECIPE is xargs, parallel, brantelix or sshlogin; `consistency` instead
# checks that the README holds exactly these recipes and that each manual
# page's example is the xargs recipe for its program. Exits 77 (skipped) when
# a recipe needs GNU parallel and it is not installed.
set -u

if [ $# -ne 3 ]; then
    echo "usage: $0 BIN_DIR SOURCE_DIR RECIPE" >&2
    exit 2
fi
bin=$(cd "$1" && pwd) || exit 2
source_dir=$(cd "$2" && pwd) || exit 2
recipe=$3
readme=$source_dir/README.md
recipes=(xargs parallel brantelix sshlogin)

# Sorting and find's name matching the same way whatever the caller's locale.
export LC_ALL=C

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# The lines of the fenced block that follows the recipe's marker; fails when
# the marker is missing or repeated, or anything but blank lines stands
# between it and the block.
extract_recipe() {
    awk -v marker="<!-- recipe: $1 -->" '
        $0 == marker { found++; state = 1; next }
        state == 1 && /^[[:space:]]*$/ { next }
        state == 1 && /^```/ { state = 2; next }
        state == 1 { bad = 1; state = 0; next }
        state == 2 && /^```[[:space:]]*$/ { state = 0; ended++; next }
        state == 2 { print }
        END { if (bad || found != 1 || ended != 1) exit 3 }' "$readme"
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [ "$recipe" = consistency ]; then
    # Every recipe of the README is run by this test, and no other.
    found=$(sed -n 's/^<!-- recipe: \(.*\) -->$/\1/p' "$readme" | sort | tr '\n' ' ')
    wanted=$(printf '%s\n' "${recipes[@]}" | sort | tr '\n' ' ')
    [ "$found" = "$wanted" ] || fail "README recipes are [$found], the test runs [$wanted]"
    for name in "${recipes[@]}"; do
        extract_recipe "$name" >/dev/null || fail "no single fenced block after <!-- recipe: $name -->"
    done
    # Each page shows the xargs recipe, for its own program, with a prompt.
    xargs_recipe=$(extract_recipe xargs) || exit 1
    for program in brantelix korventale trismoldaven vostrin; do
        page=$source_dir/man/$program.1.in
        shown=$(sed -n '/^\$ find photos/,/^\.EE/p' "$page" | sed '$d' |
            sed 's/\\-/-/g; s/\\(aq/'"'"'/g; s/\\e/\\/g; s/^\$ //; s/^    //')
        expected=$(printf '%s\n' "$xargs_recipe" | sed "s/korventale/$program/g")
        [ "$shown" = "$expected" ] ||
            fail "the example of $program.1.in is not the README's xargs recipe:"$'\n'"$shown"$'\n'"instead of"$'\n'"$expected"
    done
    [ $failures -eq 0 ] || exit 1
    echo "README recipes and manual page examples agree"
    exit 0
fi

case " ${recipes[*]} " in
    *" $recipe "*) ;;
    *) echo "unknown recipe $recipe" >&2; exit 2 ;;
esac
code=$(extract_recipe "$recipe") || {
    echo "README.md has no single fenced block after <!-- recipe: $recipe -->" >&2
    exit 1
}
case "$code" in
    *parallel*)
        if ! parallel --version 2>/dev/null | head -n 1 | grep -q '^GNU parallel'; then
            echo "GNU parallel is not installed: recipe $recipe skipped"
            exit 77
        fi
        ;;
esac

# The tree. A file holding one picture is the first picture of a stereo file,
# as brantelix splits it.
make_tree() {
    local photos=$1/photos scratch=$1/scratch
    mkdir -p "$photos/DCIM/100_3D" "$photos/trip 2024" "$photos/y.mpo" "$scratch" || return 1
    cp "$source_dir/samples/garden.mpo" "$photos/garden.mpo" &&
        cp "$source_dir/samples/garden.mpo" "$photos/trip 2024/beach day.mpo" &&
        "$bin/make_sample_mpo" --width 96 --height 64 "$photos/DCIM/100_3D/DSCF0001.MPO" &&
        "$bin/make_sample_mpo" --width 64 --height 48 --quality 80 "$photos/DCIM/100_3D/DSCF0002.MPO" &&
        "$bin/make_sample_mpo" --width 48 --height 32 "$photos/trip 2024/line"$'\n'"break.mpo" &&
        "$bin/make_sample_mpo" --width 32 --height 32 "$photos/y.mpo/inner.MPO" &&
        ln -s 100_3D/DSCF0002.MPO "$photos/DCIM/link.mpo" &&
        ln -s missing.mpo "$photos/x.mpo" &&
        ln -s nowhere "$photos/DCIM/gone"$'\n'"link.MPO" &&
        "$bin/make_sample_mpo" --width 40 --height 30 "$scratch/one.mpo" &&
        (cd "$scratch" && "$bin/brantelix" one.mpo >/dev/null) &&
        cp "$scratch/one_L.jpg" "$photos/n.mpo" &&
        cp "$scratch/one_L.jpg" "$photos/notes.jpg" &&
        printf 'not a picture\n' >"$photos/trip 2024/notes.mpo" &&
        rm -rf "$scratch"
}

# Files that no tool can convert, and the one that only brantelix can.
unconvertible=("photos/x.mpo" "photos/DCIM/gone"$'\n'"link.MPO" "photos/trip 2024/notes.mpo")
single_picture="photos/n.mpo"
convertible=("photos/garden.mpo" "photos/trip 2024/beach day.mpo" "photos/DCIM/100_3D/DSCF0001.MPO"
    "photos/DCIM/100_3D/DSCF0002.MPO" "photos/DCIM/link.mpo" "photos/trip 2024/line"$'\n'"break.mpo"
    "photos/y.mpo/inner.MPO")

# NUL-separated listing of a tree: every path, with its type.
listing() {
    (cd "$1" && find photos -printf '%y %p\0' | sort -z)
}

# Runs one recipe for one program with one shell in a fresh tree.
run_case() {
    local program=$1 shell=$2 case_code=$3
    local dir run ref
    dir=$work/$program-$(basename "$shell")
    run=$dir/run ref=$dir/ref
    local label="recipe $recipe, $program, $shell"
    mkdir -p "$run" "$ref" "$dir/home"
    make_tree "$run" || { fail "$label: cannot make the tree"; return; }
    cp -a "$run/photos" "$dir/pristine"

    local expected_failures=("${unconvertible[@]}") inputs=("${convertible[@]}")
    if [ "$program" = brantelix ]; then
        inputs+=("$single_picture")
    else
        expected_failures+=("$single_picture")
    fi

    # The program run directly on a copy of each convertible file, in a folder
    # of its own, gives the outputs expected beside the original.
    listing "$run" >"$dir/expected_listing.unsorted"
    local k=0 input base output
    for input in "${inputs[@]}"; do
        k=$((k + 1))
        base=$(basename "$input")
        mkdir "$ref/$k"
        cp -L "$run/$input" "$ref/$k/$base"
        if ! (cd "$ref/$k" && "$bin/$program" "./$base" >/dev/null 2>&1); then
            fail "$label: $program failed on $input run directly"
            continue
        fi
        rm "$ref/$k/$base"
        for output in "$ref/$k"/*; do
            [ -e "$output" ] || { fail "$label: $program wrote nothing for $input"; break; }
            printf 'f %s\0' "$(dirname "$input")/$(basename "$output")" >>"$dir/expected_listing.unsorted"
        done
    done
    sort -z "$dir/expected_listing.unsorted" >"$dir/expected_listing"

    # The recipe, with the built programs first in PATH and nothing of the
    # caller's GNU parallel settings.
    (
        cd "$run" &&
            unset PARALLEL PARALLEL_HOME PARALLEL_RSYNC_OPTS &&
            PATH="$bin:$PATH" HOME="$dir/home" exec "$shell" -c "$case_code"
    ) </dev/null >"$dir/stdout" 2>"$dir/stderr"
    local status=$?

    [ $status -ne 0 ] || fail "$label: status 0 although files failed"

    local expected_stdout=$dir/expected_stdout
    printf '%s\0' "${expected_failures[@]}" | sort -z |
        while IFS= read -r -d '' input; do printf 'failed: %s\n' "$input"; done >"$expected_stdout"
    cmp -s "$expected_stdout" "$dir/stdout" ||
        fail "$label: standard output is not the list of the files that failed:"$'\n'"$(cat "$dir/stdout")"$'\n'"expected:"$'\n'"$(cat "$expected_stdout")"

    k=0
    for input in "${inputs[@]}"; do
        k=$((k + 1))
        for output in "$ref/$k"/*; do
            [ -e "$output" ] || continue
            local written
            written=$run/$(dirname "$input")/$(basename "$output")
            if [ ! -f "$written" ]; then
                fail "$label: no $(basename "$output") for $input"
            elif ! cmp -s "$output" "$written"; then
                fail "$label: $(basename "$output") for $input differs from the one $program writes directly"
            fi
        done
    done

    listing "$run" >"$dir/listing"
    cmp -s "$dir/expected_listing" "$dir/listing" ||
        fail "$label: the tree holds other files than the originals and the outputs:"$'\n'"$(diff <(tr '\0' '\n' <"$dir/expected_listing") <(tr '\0' '\n' <"$dir/listing"))"
    local original
    while IFS= read -r -d '' original; do
        cmp -s "$dir/pristine/$original" "$run/photos/$original" || fail "$label: $original was changed"
    done < <(cd "$dir/pristine" && find . -type f -print0)

    if [ $failures -ne 0 ]; then
        echo "--- standard error of the recipe ($label), last lines:" >&2
        tail -n 30 "$dir/stderr" >&2
    fi
}

# The recipe as printed, for its program. The xargs and parallel recipes are
# printed for korventale and adapted to the other composing programs by
# changing the name, as the README says; the multi-machine recipe runs on this
# machine alone (`--sshlogin :`, where GNU parallel transfers, returns and
# removes nothing).
case "$recipe" in
    xargs | parallel) programs="korventale trismoldaven vostrin" ;;
    brantelix) programs="brantelix" ;;
    sshlogin)
        programs="korventale"
        [ "$(grep -o -e '--sshlogin [^ ]*' <<<"$code" | wc -l)" -eq 1 ] || {
            echo "the sshlogin recipe does not have exactly one --sshlogin" >&2
            exit 1
        }
        code=$(sed -E 's/--sshlogin [^ ]+/--sshlogin :/' <<<"$code")
        ;;
esac
shown=${programs%% *}
[ "$(grep -o "$shown" <<<"$code" | wc -l)" -eq 1 ] || {
    echo "recipe $recipe does not name $shown exactly once" >&2
    exit 1
}
# As printed under both usual shells; adapted, under sh alone.
for program in $programs; do
    shells="sh bash"
    [ "$program" = "$shown" ] || shells="sh"
    for shell in $shells; do
        run_case "$program" "$(command -v "$shell")" "${code//$shown/$program}"
    done
done

if [ $failures -ne 0 ]; then
    echo "recipe $recipe: $failures failed checks" >&2
    exit 1
fi
echo "recipe $recipe: every convertible file converted, the failed ones listed, status non-zero"
