# Shared by scripts/run and scripts/test: installs what is missing, builds.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Packages the build and the tests need on a fresh Debian 12.
build_packages=(build-essential cmake ninja-build pkg-config googletest libgtest-dev libgmock-dev
    qt6-base-dev libgl-dev libasound2-dev libssl-dev libcap2-bin clang-format fp-utils file)
test_packages=(python3 python3-aiosmtpd iproute2 xvfb xauth imagemagick locales procps fping
    exim4-daemon-light dovecot-core dovecot-submissiond openssl logrotate openbox xfce4-panel
    dbus-daemon dbus-bin python3-gi xdotool x11-utils desktop-file-utils appstream lintian)

# The program that scripts/run builds and starts; scripts/test builds it too, since only this
# optimisation level shows some of the compiler's warnings, which are errors here.
build_run_tree() {
    build_tree "$top/build/run" Release -DVELMORA_TESTS=OFF -DVELMORA_BENCH=OFF
}

# Installs the named packages that are not installed yet; does nothing otherwise.
ensure_packages() {
    local missing=()
    local p
    for p in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$p")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# build_tree <dir> <build type> [cmake options...] [-- targets...]: configures once, then
# builds the targets named after "--", or everything when none are.
build_tree() {
    local dir=$1 type=$2
    shift 2
    local options=()
    while [ $# -gt 0 ] && [ "$1" != "--" ]; do
        options+=("$1")
        shift
    done
    [ $# -gt 0 ] && shift
    if [ ! -f "$dir/build.ninja" ]; then
        cmake -S "$top" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$type" "${options[@]}"
    fi
    cmake --build "$dir" --parallel "$(nproc)" ${1:+--target "$@"}
}
