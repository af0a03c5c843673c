#!/bin/bash
# Runs the README's folder recipes exactly as printed there (the fenced block
# after each `<!-- recipe: NAME -->` line) on a generated tree holding what
# camera folders and careless copies hold: .mpo and .MPO files in nested
# folders, names with spaces and a newline, a link to a photo, dangling
# links, a folder named like a photo with a photo inside, a file with a single
# picture and a .jpg. Checks that every convertible file got its outputs,
# byte for byte those of the tool run directly on it, that nothing else in the
# tree was made, changed or removed, that standard output is exactly the list
# of the files that failed and that the final status is non-zero. The
# sshlogin recipe runs over ssh to two machines that the script starts, and
# again with one of them lost in the middle of the run.
#   folder_recipes_test.sh BIN_DIR SOURCE_DIR RECIPE [EMULATOR...]
# RECIPE is xargs, parallel, brantelix, sshlogin or exif (which runs both
# exiftool recipes on the camera files); `cmd` runs the Windows recipe with
# the Windows programs of BIN_DIR under EMULATOR (Wine) instead;
# `consistency` checks that the README holds exactly these recipes and the
# PowerShell one (which cannot run here), and that each manual page's
# examples are the xargs, cmd and exiftool recipes for its program. Exits 77
# (skipped) when a recipe needs GNU parallel and it is not installed, sshd
# cannot run, or exiftool or the camera files are missing.
set -u

if [ $# -lt 3 ]; then
    echo "usage: $0 BIN_DIR SOURCE_DIR RECIPE [EMULATOR...]" >&2
    exit 2
fi
bin=$(cd "$1" && pwd) || exit 2
source_dir=$(cd "$2" && pwd) || exit 2
recipe=$3
emulator=("${@:4}")
readme=$source_dir/README.md
recipes=(xargs parallel brantelix sshlogin exif exif-folder)
windows_recipes=(cmd powershell)

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
    wanted=$(printf '%s\n' "${recipes[@]}" "${windows_recipes[@]}" | sort | tr '\n' ' ')
    [ "$found" = "$wanted" ] || fail "README recipes are [$found], the test knows [$wanted]"
    for name in "${recipes[@]}" "${windows_recipes[@]}"; do
        extract_recipe "$name" >/dev/null || fail "no single fenced block after <!-- recipe: $name -->"
    done
    # Each page shows the xargs recipe, for its own program, with a prompt,
    # and in its Windows text the cmd recipe.
    xargs_recipe=$(extract_recipe xargs) || exit 1
    cmd_recipe=$(extract_recipe cmd) || exit 1
    for program in brantelix korventale trismoldaven vostrin; do
        page=$source_dir/man/$program.1.in
        shown=$(sed -n '/^\$ find photos/,/^\.EE/p' "$page" | sed '$d' |
            sed 's/\\-/-/g; s/\\(aq/'"'"'/g; s/\\e/\\/g; s/^\$ //; s/^    //')
        expected=$(printf '%s\n' "$xargs_recipe" | sed "s/korventale/$program/g")
        [ "$shown" = "$expected" ] ||
            fail "the example of $program.1.in is not the README's xargs recipe:"$'\n'"$shown"$'\n'"instead of"$'\n'"$expected"
        shown=$(sed -n '/^\.\\" The README.s cmd recipe/,/^\.EE/p' "$page" | sed '1,2d; $d')
        expected=$(printf '%s\n' "$cmd_recipe" | sed "s/korventale/$program/g")
        [ "$shown" = "$expected" ] ||
            fail "the Windows example of $program.1.in is not the README's cmd recipe:"$'\n'"$shown"
    done
    # The composing programs' pages show the exif recipe, for their program
    # and output, over two lines.
    exif_recipe=$(extract_recipe exif) || exit 1
    for program in korventale:_dub.jpg trismoldaven:_ana.jpg vostrin:.jps; do
        suffix=${program#*:} program=${program%%:*}
        shown=$(sed -n "/^\\\$ $program shot.mpo/,/^\\.EE/p" "$source_dir/man/$program.1.in" | sed '$d' |
            sed 's/\\-/-/g; s/^\$ //' | sed -e ':a' -e '/\\e$/{N;s/ \\e\n *\(.\)/ \1/;ba' -e '}')
        expected=${exif_recipe//korventale/$program}
        expected=${expected//_dub.jpg/$suffix}
        [ "$shown" = "$expected" ] ||
            fail "the exiftool example of $program.1.in is not the README's exif recipe:"$'\n'"$shown"$'\n'"instead of"$'\n'"$expected"
    done
    [ $failures -eq 0 ] || exit 1
    echo "README recipes and manual page examples agree"
    exit 0
fi

# The cmd recipe as a batch file run by Wine's cmd, the Windows programs found
# through Wine's PATH, on a tree with spaces and accents in its names, a
# folder named like a photo, a file that korventale refuses (a single
# picture) and one it skips (mixed case, status 0).
if [ "$recipe" = cmd ]; then
    [ ${#emulator[@]} -gt 0 ] || { echo "the cmd recipe runs under an emulator (Wine)" >&2; exit 2; }
    code=$(extract_recipe cmd) || exit 1
    run=$work/run photos=$work/run/photos sample=$source_dir/samples/garden.mpo
    mkdir -p "$photos/trip 2024" "$photos/été/y.mpo" "$work/ref" || exit 1
    cp "$sample" "$photos/garden.mpo" && cp "$sample" "$photos/trip 2024/beach day.mpo" &&
        cp "$sample" "$photos/été/Ωmega.MPO" && cp "$sample" "$photos/été/y.mpo/inner.mpo" &&
        cp "$sample" "$photos/x.Mpo" && cp "$sample" "$photos/notes.jpg" &&
        head -c 4096 "$sample" >"$photos/été/coupé.mpo" && cp "$sample" "$work/ref/garden.mpo" || exit 1
    (cd "$work/ref" && "${emulator[@]}" "$bin/korventale.exe" garden.mpo) </dev/null >/dev/null 2>&1
    listing() { (cd "$run" && find photos | LC_ALL=C sort); }
    {
        listing
        printf 'photos/%s\n' garden_dub.jpg "trip 2024/beach day_dub.jpg" été/Ωmega_dub.jpg été/y.mpo/inner_dub.jpg
    } | LC_ALL=C sort >"$work/expected_listing"
    printf '%s\r\n' "$code" >"$run/convert.cmd"

    (cd "$run" && WINEPATH="Z:${bin//\//\\}" exec "${emulator[@]}" cmd /c convert.cmd) \
        </dev/null >"$work/stdout" 2>"$work/stderr"
    status=$?
    [ $status -ne 0 ] || fail "status 0 although a file failed"
    # Wine's cmd names the files from photos on (real Windows from the drive),
    # and writes a redirected list in the ANSI code page.
    expected='failed: photos\été\coupé.mpo'
    shown=$(tr -d '\r' <"$work/stdout" | sed 's/^failed: .*\\photos\\/failed: photos\\/')
    [ "$shown" = "$expected" ] || [ "$shown" = "$(iconv -f UTF-8 -t CP1252 <<<"$expected")" ] ||
        fail "standard output is not the list of the files that failed:"$'\n'"$(cat "$work/stdout")"
    listing | cmp -s "$work/expected_listing" - ||
        fail "the tree holds other files than the originals and the outputs:"$'\n'"$(listing | diff "$work/expected_listing" -)"
    for output in garden_dub.jpg "trip 2024/beach day_dub.jpg" été/Ωmega_dub.jpg été/y.mpo/inner_dub.jpg; do
        cmp -s "$work/ref/garden_dub.jpg" "$photos/$output" || fail "$output differs from the one korventale writes directly"
    done
    if [ $failures -ne 0 ]; then
        echo "--- standard error of the recipe, last lines:" >&2
        tail -n 30 "$work/stderr" >&2
        exit 1
    fi
    echo "recipe cmd: every convertible file converted, the failed one listed, status non-zero"
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

# The sshlogin recipe's machines need sshd, which logs in as their own users
# only when run by root, and namespaces, Linux's, to keep them to themselves:
# the script enters new network and mount namespaces once it knows they can be
# had.
if [ "$recipe" = sshlogin ] && [ -z "${FOLDER_RECIPES_NAMESPACES:-}" ]; then
    why=""
    [ "$(id -u)" -eq 0 ] || why="it needs root to log in as the machines' own users"
    for program in sshd ssh ssh-keygen rsync unshare ip; do
        PATH=$PATH:/usr/sbin command -v "$program" >/dev/null || why="$program is not installed"
    done
    [ -n "$why" ] || unshare --net --mount true 2>/dev/null || why="namespaces cannot be made here"
    if [ -n "$why" ]; then
        echo "sshd cannot run: $why: recipe $recipe skipped"
        exit 77
    fi
    rm -rf "$work"
    FOLDER_RECIPES_NAMESPACES=1 PATH=$PATH:/usr/sbin exec unshare --net --mount bash "$0" "$@"
fi
recipe_env=()

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
# prepare_case PROGRAM DIR LABEL [EXTRA]: a fresh tree in DIR/run for PROGRAM
# with EXTRA more copies of a photo, its pristine copy, and in DIR/ref/K the
# outputs that PROGRAM writes run directly on a copy of the K-th of
# case_inputs, in a folder of its own. Sets case_inputs and case_refused.
prepare_case() {
    local program=$1 dir=$2 label=$3 extra=${4:-0}
    mkdir -p "$dir/run" "$dir/ref" "$dir/home"
    make_tree "$dir/run" || { fail "$label: cannot make the tree"; return 1; }
    case_refused=("${unconvertible[@]}") case_inputs=("${convertible[@]}")
    local k
    for ((k = 1; k <= extra; k++)); do
        cp "$dir/run/photos/DCIM/100_3D/DSCF0001.MPO" "$dir/run/photos/DCIM/copy $k.MPO" || return 1
        case_inputs+=("photos/DCIM/copy $k.MPO")
    done
    cp -a "$dir/run/photos" "$dir/pristine"
    listing "$dir/run" >"$dir/original_listing"
    if [ "$program" = brantelix ]; then
        case_inputs+=("$single_picture")
    else
        case_refused+=("$single_picture")
    fi
    local input base
    k=0
    for input in "${case_inputs[@]}"; do
        k=$((k + 1))
        base=$(basename "$input")
        mkdir "$dir/ref/$k"
        cp -L "$dir/run/$input" "$dir/ref/$k/$base"
        (cd "$dir/ref/$k" && "$bin/$program" "./$base" >/dev/null 2>&1) ||
            fail "$label: $program failed on $input run directly"
        rm "$dir/ref/$k/$base"
        [ -n "$(ls -A "$dir/ref/$k")" ] || fail "$label: $program wrote nothing for $input"
    done
}

# The recipe in $1/run with the built programs first in PATH, nothing of the
# caller's GNU parallel settings and the assignments of recipe_env.
run_recipe() {
    local dir=$1 shell=$2 case_code=$3
    (
        cd "$dir/run" &&
            unset PARALLEL PARALLEL_HOME PARALLEL_RSYNC_OPTS &&
            exec env "${recipe_env[@]}" PATH="$bin:$PATH" HOME="$dir/home" "$shell" -c "$case_code"
    ) </dev/null >"$dir/stdout" 2>>"$dir/stderr"
}

# Checks a finished run against its failure list (the remaining arguments):
# standard output is that list, every other input has its outputs, byte for
# byte those of the program run directly, the tree holds nothing else and the
# originals are unchanged.
check_case() {
    local dir=$1 label=$2 status=$3
    shift 3
    local -A listed=()
    local input
    for input in "$@"; do listed[$input]=1; done
    [ "$status" -ne 0 ] || fail "$label: status 0 although files failed"

    printf '%s\0' "$@" | sort -z |
        while IFS= read -r -d '' input; do printf 'failed: %s\n' "$input"; done >"$dir/expected_stdout"
    cmp -s "$dir/expected_stdout" "$dir/stdout" ||
        fail "$label: standard output is not the list of the files that failed:"$'\n'"$(cat "$dir/stdout")"$'\n'"expected:"$'\n'"$(cat "$dir/expected_stdout")"

    cp "$dir/original_listing" "$dir/expected_listing.unsorted"
    local k=0 output written
    for input in "${case_inputs[@]}"; do
        k=$((k + 1))
        [ -z "${listed[$input]:-}" ] || continue
        for output in "$dir/ref/$k"/*; do
            [ -e "$output" ] || continue
            written=$(dirname "$input")/$(basename "$output")
            printf 'f %s\0' "$written" >>"$dir/expected_listing.unsorted"
            if [ ! -f "$dir/run/$written" ]; then
                fail "$label: no $(basename "$output") for $input"
            elif ! cmp -s "$output" "$dir/run/$written"; then
                fail "$label: $(basename "$output") for $input differs from the one written directly"
            fi
        done
    done
    sort -z "$dir/expected_listing.unsorted" >"$dir/expected_listing"
    listing "$dir/run" >"$dir/listing"
    cmp -s "$dir/expected_listing" "$dir/listing" ||
        fail "$label: the tree holds other files than the originals and the outputs:"$'\n'"$(diff <(tr '\0' '\n' <"$dir/expected_listing") <(tr '\0' '\n' <"$dir/listing"))"
    local original
    while IFS= read -r -d '' original; do
        cmp -s "$dir/pristine/$original" "$dir/run/photos/$original" || fail "$label: $original was changed"
    done < <(cd "$dir/pristine" && find . -type f -print0)

    if [ $failures -ne 0 ]; then
        echo "--- standard error of the recipe ($label), last lines:" >&2
        tail -n 30 "$dir/stderr" >&2
    fi
}

# Runs one recipe for one program with one shell in a fresh tree.
run_case() {
    local program=$1 shell=$2 case_code=$3
    local dir=$work/$program-$(basename "$shell") label="recipe $recipe, $program, $shell"
    prepare_case "$program" "$dir" "$label" || return
    run_recipe "$dir" "$shell" "$case_code"
    check_case "$dir" "$label" $? "${case_refused[@]}"
}

# The machines of the sshlogin recipe, alpha on 127.0.0.2 and beta on
# 127.0.0.3: an sshd each, logging in with a key made here to a user of its
# own whose home folder is $work/NAME/home, with the programs in its PATH. The
# users exist only in a copy of /etc/passwd mounted over it, and everything
# runs in the network and mount namespaces that the script re-entered itself
# in, so no traffic leaves them. Each sshd is the first process of a PID
# namespace of its own, with a /proc of its own (the sanitizers read their
# process there): killing it ends every job of its machine at once, as when
# the machine is lost.
machine_names=(alpha beta)
declare -A machine_pid=()

# /run/sshd, where sshd confines its unprivileged half, is made on a /run of
# this mount namespace's own.
start_machines() {
    ip link set lo up &&
        mount -t tmpfs -o mode=755 tmpfs /run && mkdir -m 755 /run/sshd &&
        chmod 711 "$work" && mkdir -m 755 "$work/bin" &&
        cp "$bin"/brantelix "$bin"/korventale "$bin"/trismoldaven "$bin"/vostrin "$work/bin/" &&
        cp /etc/passwd "$work/passwd" &&
        ssh-keygen -q -t ed25519 -N '' -f "$work/client_key" || return 1
    local name uid=61000 k=1
    for name in "${machine_names[@]}"; do
        k=$((k + 1))
        while getent passwd "$uid" >/dev/null || getent group "$uid" >/dev/null; do uid=$((uid + 1)); done
        local address=127.0.0.$k home=$work/$name/home
        mkdir -p -m 755 "$work/$name/bin" "$home" "$work/$name/state" &&
            chown "$uid:$uid" "$home" "$work/$name/state" &&
            echo "$name:x:$uid:$uid::$home:/bin/sh" >>"$work/passwd" &&
            ssh-keygen -q -t ed25519 -N '' -f "$work/$name/host_key" || return 1
        echo "$address $(cut -d ' ' -f 1,2 "$work/$name/host_key.pub")" >>"$work/known_hosts"
        cat >"$work/$name/sshd_config" <<CONFIG
ListenAddress $address:22
HostKey $work/$name/host_key
PidFile none
AuthorizedKeysFile $work/client_key.pub
AllowUsers $name
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
PrintMotd no
MaxStartups 100
SetEnv PATH=$work/$name/bin:$work/bin:/usr/bin:/bin
CONFIG
        printf 'Host %s\n    HostName %s\n    User %s\n' "$name" "$address" "$name" >>"$work/ssh_config"
        uid=$((uid + 1))
    done
    cat >>"$work/ssh_config" <<CONFIG
Host *
    IdentityFile $work/client_key
    IdentitiesOnly yes
    IdentityAgent none
    UserKnownHostsFile $work/known_hosts
    GlobalKnownHostsFile /dev/null
    StrictHostKeyChecking yes
    BatchMode yes
    LogLevel ERROR
CONFIG
    mount --bind "$work/passwd" /etc/passwd || return 1
    for name in "${machine_names[@]}"; do
        unshare --pid --fork --mount-proc --kill-child "$(command -v sshd)" -D -f "$work/$name/sshd_config" -E "$work/$name/log" &
        machine_pid[$name]=$!
    done
    # However long a busy machine takes to start them.
    for name in "${machine_names[@]}"; do
        until grep -q '^Server listening' "$work/$name/log" 2>/dev/null; do
            kill -0 "${machine_pid[$name]}" 2>/dev/null || { cat "$work/$name/log" >&2; return 1; }
            sleep 0.1
        done
        ssh -F "$work/ssh_config" "$name" true </dev/null || { cat "$work/$name/log" >&2; return 1; }
    done
}

stop_machine() {
    [ -n "${machine_pid[$1]:-}" ] || return 0
    kill -KILL "${machine_pid[$1]}" 2>/dev/null
    wait "${machine_pid[$1]}" 2>/dev/null
    unset "machine_pid[$1]"
}

stop_machines() {
    local name
    for name in "${machine_names[@]}"; do stop_machine "$name"; done
}

# Whether the copy of $2 to the machine that was to convert it, in the run
# whose standard error is $1/stderr, found no folder to land in: GNU
# parallel's --cleanup of another job of the same folder on that machine
# removes the folder, empty for a moment, as the copy arrives, and rsync's
# receiver then cannot make its temporary file there. The recipe rightly
# lists such a file; which ones it hits, if any, depends on timing alone.
copy_lost_its_folder() {
    local input=${2//$'\n'/\\#012}
    grep -F -- "/$(dirname "$input")/.$(basename "$input")." "$1/stderr" |
        grep -q '^rsync: \[receiver\] mkstemp ".*" failed: No such file or directory'
}

# Files listed as failed by the sshlogin recipe run in $1: todo.lst less
# done.lst, which must hold the files refused and may hold only those of the
# rest (a link, which is sent as a link, fails on another machine unless the
# file it points to is there too, as when that machine converts it at the
# same time) and those whose copy lost its folder. Then the rest of the run
# is checked as for the other recipes.
check_ssh_run() {
    local dir=$1 label=$2 status=$3 allowed=$4 input case_listed=()
    local -A listed=()
    while IFS= read -r -d '' input; do
        listed[$input]=1
        case_listed+=("$input")
    done < <(cd "$dir/run" && comm -z -23 todo.lst done.lst)
    for input in "${case_refused[@]}"; do
        [ -n "${listed[$input]:-}" ] || fail "$label: $input was refused but is not listed"
    done
    for input in "${case_listed[@]}"; do
        case " ${case_refused[*]} $allowed " in
            *" $input "*) ;;
            *) copy_lost_its_folder "$dir" "$input" || fail "$label: $input is listed as failed" ;;
        esac
    done
    check_case "$dir" "$label" "$status" "${case_listed[@]}"
    echo "$label: ${#case_listed[@]} listed as failed"
}

homes_empty() {
    local label=$1 name left
    shift
    for name in "$@"; do
        left=$(cd "$work/$name/home" && find . -mindepth 1 | head -n 5)
        [ -z "$left" ] || fail "$label: left in $name's home folder:"$'\n'"$left"
    done
}

# The recipe as printed, on alpha, beta and this machine. Then on alpha and
# beta alone (this machine would convert the files that the others are slow
# to take) with alpha lost once it has converted a file: its copies after
# that stall, and the test kills the machine once every job it runs is
# stalled, one of them given after the first came back. Until then beta's
# copies wait, so that however the busy machine schedules the two, beta
# cannot take every file before alpha has stalled in all its jobs; the test
# waits for events only. The files whose output was on its way back must
# then be listed, the others converted by beta, and a second run over the
# list, alpha still lost, must convert the rest.
sshlogin_cases() {
    local code=$1 shell status
    shell=$(command -v sh)
    local dir=$work/machines label="recipe sshlogin on alpha, beta and this machine"
    prepare_case korventale "$dir" "$label" || return
    recipe_env=("PARALLEL_SSH=ssh -F $work/ssh_config")
    run_recipe "$dir" "$shell" "$code"
    check_ssh_run "$dir" "$label" $? photos/DCIM/link.mpo
    homes_empty "$label" "${machine_names[@]}"

    code=$(sed -E 's|--sshlogin [^ ]+|--sshlogin 4/alpha,4/beta|' <<<"$code")
    dir=$work/lost label="recipe sshlogin, alpha lost"
    prepare_case korventale "$dir" "$label" 8 || return
    cat >"$work/alpha/bin/rsync" <<STANDIN
#!/bin/sh
# Once a picture has been sent back, every copy to or from this machine
# stalls, as when it dies in the middle of one.
for last; do :; done
if [ -d "$work/alpha/state/first" ]; then
    printf '%s\\0' "\$last" >>"$work/alpha/state/stalled"
    exec sleep 600
fi
case " \$* " in
*" --sender "*) [ ! -f "\$last" ] || mkdir "$work/alpha/state/first" 2>/dev/null ;;
esac
exec /usr/bin/rsync "\$@"
STANDIN
    cat >"$work/beta/bin/rsync" <<STANDIN
#!/bin/sh
while [ ! -e "$work/beta/state/alpha-lost" ]; do sleep 0.1; done
exec /usr/bin/rsync "\$@"
STANDIN
    chmod 755 "$work/alpha/bin/rsync" "$work/beta/bin/rsync"
    run_recipe "$dir" "$shell" "$code" &
    local recipe_pid=$!
    local slots
    slots=$(grep -o '[0-9]*/alpha' <<<"$code" | cut -d / -f 1)
    slots=${slots:-1}
    until [ "$(tr -cd '\0' 2>/dev/null <"$work/alpha/state/stalled" | wc -c)" -ge "$slots" ]; do
        kill -0 $recipe_pid 2>/dev/null || break
        sleep 0.1
    done
    kill -0 $recipe_pid 2>/dev/null || fail "$label: the run ended before alpha stalled in every job it was given"
    stop_machine alpha
    touch "$work/beta/state/alpha-lost"
    wait $recipe_pid
    status=$?
    # Listed may be only the files whose output was on its way back.
    local -A stalled=()
    local returning allowed=photos/DCIM/link.mpo input
    while IFS= read -r -d '' returning; do stalled[${returning#./}]=1; done <"$work/alpha/state/stalled"
    for input in "${case_inputs[@]}"; do
        returning=$(basename "${input%.*}")_dub.jpg
        [ -z "${stalled[$returning]:-}" ] || allowed+=" $input"
    done
    check_ssh_run "$dir" "$label" $status "$allowed"

    label="$label, second run over the list"
    (cd "$dir/run" && comm -z -23 todo.lst done.lst >again.lst && mv again.lst todo.lst)
    : >"$dir/stderr"
    run_recipe "$dir" "$shell" "${code#*$'\n'}"
    check_ssh_run "$dir" "$label" $? photos/DCIM/link.mpo
    homes_empty "$label" beta
}

# The camera's tags that the exif recipes copy, and those they must not.
exif_copied=(DateTimeOriginal CreateDate ModifyDate SubSecTimeOriginal OffsetTimeOriginal Make Model LensModel
    GPSLatitude GPSLongitude)
exif_left_out=(Orientation ThumbnailImage)

# Checks OUTPUT, the picture that REFERENCE is with the tags of SOURCE added:
# the tags are the camera's, and the bytes are REFERENCE's with one Exif
# segment (APP1) after its JFIF segment (APP0).
check_exif_output() {
    local source=$1 reference=$2 output=$3 label=$4
    [ "$(exiftool -s3 -f "${exif_copied[@]/#/-}" "$output")" = "$(exiftool -s3 -f "${exif_copied[@]/#/-}" "$source")" ] ||
        fail "$label: the tags of $(basename "$output") are not the camera's"
    [ -n "$(exiftool -s3 -DateTimeOriginal "$output")" ] || fail "$label: no date in $(basename "$output")"
    [ -z "$(exiftool -s3 "${exif_left_out[@]/#/-}" "$output")" ] ||
        fail "$label: $(basename "$output") has a thumbnail or an orientation"
    local head added
    head=$((4 + $(od -A n -t u1 -j 4 -N 2 "$reference" | awk '{ print $1 * 256 + $2 }')))
    added=$(($(wc -c <"$output") - $(wc -c <"$reference")))
    if ! cmp -s -n "$head" "$reference" "$output" ||
        [ "$(od -A n -t x1 -j "$head" -N 2 "$output")" != " ff e1" ] ||
        ! cmp -s <(tail -c +$((head + 1)) "$reference") <(tail -c +$((head + added + 1)) "$output"); then
        fail "$label: $(basename "$output") is not the tool's picture with an Exif segment added"
    fi
}

# The exif recipes on real camera files: the single-file one on one of them,
# the folder one on a tree of them, in a folder whose name holds a dot (the
# output's name keeps it), with two that the tool refuses, one of which has
# an older output beside it.
exif_cases() {
    local samples=$source_dir/../shared/samples/mpo
    if [ ! -d "$samples" ]; then
        echo "no camera files in $samples: recipe $recipe skipped"
        exit 77
    fi
    if ! command -v exiftool >/dev/null; then
        echo "exiftool is not installed: recipe $recipe skipped"
        exit 77
    fi
    local single folder
    single=$(extract_recipe exif) && folder=$(extract_recipe exif-folder) || {
        echo "README.md has no single fenced block after each exif recipe's marker" >&2
        exit 1
    }
    local dir=$work/exif label="recipe exif" name k=0
    local cameras=(3ds_sugarshack.mpo 3ds_frozenpond.mpo fujifilm_w3.mpo panasonic_gx8.mpo samsung_nx1000_64px.mpo)
    mkdir -p "$dir/one/run" "$dir/one/home" "$dir/run/photos/trip 2024.06" "$dir/home" "$dir/ref"
    cp "$samples/3ds_sugarshack.mpo" "$dir/one/run/shot.mpo" &&
        (cd "$dir/ref" && cp "$samples/3ds_sugarshack.mpo" shot.mpo && "$bin/korventale" shot.mpo >/dev/null) ||
        fail "$label: korventale failed on 3ds_sugarshack.mpo run directly"
    run_recipe "$dir/one" sh "$single" || fail "$label: status $? for a file it converts"
    check_exif_output "$samples/3ds_sugarshack.mpo" "$dir/ref/shot_dub.jpg" "$dir/one/run/shot_dub.jpg" "$label"

    label="recipe exif-folder"
    # None of the camera files holds a place: the last gets one, as from a
    # camera with GPS.
    for name in "${cameras[@]}"; do
        k=$((k + 1))
        cp "$samples/$name" "$dir/run/photos/trip 2024.06/$k $name"
        [ $k -lt ${#cameras[@]} ] || exiftool -q -overwrite_original -GPSLatitude=48.8584 -GPSLatitudeRef=N \
            -GPSLongitude=2.2945 -GPSLongitudeRef=E "$dir/run/photos/trip 2024.06/$k $name"
        (cd "$dir/ref" && cp "../run/photos/trip 2024.06/$k $name" "$k.mpo" && "$bin/korventale" "$k.mpo" >/dev/null) ||
            fail "$label: korventale failed on $name run directly"
    done
    cp "$samples/3ds_sugarshack_frame_size.mpo" "$dir/run/photos/frame.MPO"
    cp "$samples/iphone_primary_gainmap.mpo" "$dir/run/photos/gainmap.mpo"
    cp "$dir/ref/1_dub.jpg" "$dir/run/photos/gainmap_dub.jpg"
    run_recipe "$dir" sh "$folder"
    [ $? -ne 0 ] || fail "$label: status 0 although files failed"
    [ "$(cat "$dir/stdout")" = $'failed: photos/frame.MPO\nfailed: photos/gainmap.mpo' ] ||
        fail "$label: standard output is not the list of the files that failed:"$'\n'"$(cat "$dir/stdout")"
    cmp -s "$dir/ref/1_dub.jpg" "$dir/run/photos/gainmap_dub.jpg" ||
        fail "$label: the output beside a refused file was changed"
    [ ! -e "$dir/run/photos/frame_dub.jpg" ] || fail "$label: an output was written for a refused file"
    k=0
    for name in "${cameras[@]}"; do
        k=$((k + 1))
        check_exif_output "$dir/ref/$k.mpo" "$dir/ref/${k}_dub.jpg" "$dir/run/photos/trip 2024.06/$k ${name%.mpo}_dub.jpg" \
            "$label, $name"
    done
    [ $failures -eq 0 ] || tail -n 30 "$dir/stderr" >&2
}

# The recipe as printed, for its program. The xargs and parallel recipes are
# printed for korventale and adapted to the other composing programs by
# changing the name, as the README says.
case "$recipe" in
    xargs | parallel) programs="korventale trismoldaven vostrin" ;;
    *) programs=$(grep -o -w -e brantelix -e korventale <<<"$code" | head -n 1) ;;
esac
shown=${programs%% *}
[ "$(grep -o "$shown" <<<"$code" | wc -l)" -eq 1 ] || {
    echo "recipe $recipe does not name $shown exactly once" >&2
    exit 1
}
if [ "$recipe" = exif ] || [ "$recipe" = exif-folder ]; then
    exif_cases
elif [ "$recipe" = sshlogin ]; then
    trap 'stop_machines; rm -rf "$work"' EXIT
    start_machines || { echo "the machines could not be started" >&2; exit 1; }
    sshlogin_cases "$code"
else
    # As printed under both usual shells; adapted, under sh alone.
    for program in $programs; do
        shells="sh bash"
        [ "$program" = "$shown" ] || shells="sh"
        for shell in $shells; do
            run_case "$program" "$(command -v "$shell")" "${code//$shown/$program}"
        done
    done
fi

if [ $failures -ne 0 ]; then
    echo "recipe $recipe: $failures failed checks" >&2
    exit 1
fi
echo "recipe $recipe: every convertible file converted, the failed ones listed, status non-zero"
