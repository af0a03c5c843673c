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

# Installs those of the Debian packages named that are missing (as root).
install_missing() {
    missing=""
    for package in "$@"; do
        dpkg -s "$package" >/dev/null 2>&1 || missing="$missing $package"
    done
    [ -n "$missing" ] || return 0
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
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
