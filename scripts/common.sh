# Shared by scripts/test and scripts/bake: install what is missing, then configure and build.

# Installs the Debian packages given as arguments that are not installed yet; runs apt-get update
# only when something is missing. Failures to install optional data are the caller's to judge.
install_missing() {
    local missing=()
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
}

# Node and npm from Debian unless a node is already installed (another distribution's nodejs
# package brings its own npm, and Debian's npm package would conflict with it).
install_missing_node() {
    command -v node >/dev/null || install_missing nodejs
    command -v npm >/dev/null || install_missing npm
}

BUILD_PACKAGES=(cmake ninja-build g++ googletest libgtest-dev zlib1g-dev libpng-dev)

# configure_and_build DIR [cmake args...] [-- build targets...]
configure_and_build() {
    local dir=$1; shift
    local cfg=() targets=()
    while [ $# -gt 0 ]; do
        if [ "$1" = "--" ]; then shift; targets=("$@"); break; fi
        cfg+=("$1"); shift
    done
    cmake -S "$ROOT" -B "$dir" -G Ninja "${cfg[@]}" >/dev/null
    if [ ${#targets[@]} -gt 0 ]; then
        cmake --build "$dir" --target "${targets[@]}"
    else
        cmake --build "$dir"
    fi
}
