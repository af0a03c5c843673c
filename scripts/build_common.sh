# The opening that the packaging scripts (windows.sh, web.sh) share, sourced
# by them with their arguments: checks for the one argument, BUILD_DIR, and
# sets `build` (its absolute path), `source_dir`, `samples_dir`, `jobs`,
# `tools`, and the helpers below. `script` is the caller's name for its
# messages.
if [ $# -ne 1 ]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
fi
script=$(basename "$0")
mkdir -p "$1"
build=$(cd "$1" && pwd)
source_dir=$(cd "$(dirname "$0")/.." && pwd)
samples_dir=$source_dir/../shared/samples/mpo
jobs=$(nproc)
tools="brantelix korventale trismoldaven vostrin"
started=$(date +%s)

fail() {
    echo "$script: $*" >&2
    exit 1
}

step() {
    echo "== $* ($(($(date +%s) - started)) s)"
}

# Updates Debian's package lists, with the options given to apt-get. A
# mirror caught in the middle of its sync refuses a list now and then ("File
# has unexpected size"): tried three times, half a minute apart, then gone on
# with the lists that came, since an install or a download that needs a
# missing one fails by name anyway.
update_package_lists() {
    for list_attempt in 1 2 3; do
        apt-get "$@" update && return 0
        [ "$list_attempt" -eq 3 ] || sleep 30
    done
    echo "$script: some of Debian's package lists could not be fetched; going on with the others" >&2
}

# Installs those of the Debian packages named that are missing (as root).
install_missing() {
    missing=""
    for package in "$@"; do
        dpkg -s "$package" >/dev/null 2>&1 || missing="$missing $package"
    done
    [ -n "$missing" ] || return 0
    export DEBIAN_FRONTEND=noninteractive
    update_package_lists -qq
    # shellcheck disable=SC2086
    apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends $missing >/dev/null
}

# The native Linux programs, in $build/linux, that the packed ones are
# compared with.
build_native_tools() {
    step "native Linux build"
    cmake -S "$source_dir" -B "$build/linux" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
        >"$build/linux.configure.log"
    # shellcheck disable=SC2086
    cmake --build "$build/linux" -j "$jobs" --target $tools
}
