# Sourced by scripts/test and scripts/demo: the Debian packages the build, the
# tests and the demo need, and a function that installs those that are
# missing (only those, and only when something is missing).

kavo_packages=(
    cmake ninja-build g++ clang clang-format libclang-rt-14-dev
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64
    libasio-dev nlohmann-json3-dev libssl-dev googletest util-linux
)

# Installs the missing packages with apt-get (through sudo when not root).
# With "node" as its argument Node.js and npm are needed too.
install_missing() {
    local missing=() package
    for package in "${kavo_packages[@]}"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$package")
        fi
    done
    # Node.js may come from elsewhere than Debian; only its absence matters.
    if [ "${1:-}" = node ] && { ! command -v node >/dev/null || ! command -v npm >/dev/null; }; then
        missing+=(nodejs npm)
    fi
    if [ ${#missing[@]} -gt 0 ]; then
        echo "== installing: ${missing[*]}"
        local sudo=""
        [ "$(id -u)" -ne 0 ] && sudo=sudo
        $sudo apt-get update -q || return 1
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends \
            "${missing[@]}" || return 1
    fi
}
