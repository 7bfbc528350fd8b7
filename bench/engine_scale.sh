#!/usr/bin/env bash
# Engine scale benchmark: installs fping if it is missing, builds the benchmark in an
# optimised build, then runs the floor (a minimal one-thread loop), the engine and fping on
# the same loopback targets and prints the figures of each, with the engine's CPU per echo as
# a ratio to the floor. Needs root (raw sockets). Sends to 127.0.0.0/16 only.
#
#   bench/engine_scale.sh [--hosts N] [--interval MS] [--seconds T] [--timeout MS] [--no-fping]
#
# Defaults: 65,535 hosts every 1,000 ms for 30 s. BUILD_DIR overrides the build directory.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$top/build/bench}

if [ "$(id -u)" -ne 0 ]; then
    echo "engine_scale needs root: raw ICMP sockets" >&2
    exit 1
fi

if ! command -v fping >/dev/null 2>&1; then
    echo "Installing fping"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends fping
fi

if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_TESTS=OFF
fi
cmake --build "$build" --parallel "$(nproc)" --target engine_scale

echo "== engine_scale $*"
"$build/bench/engine_scale" "$@"

# One fping process serves at most about 6,000 targets per second (it will not reuse a
# sequence number within 10 s), so the full run splits fping over several processes, each
# of which also sees every other one's replies. A second run at the largest size one fping
# process serves gives the one-to-one comparison.
hosts=65535
interval=1000
fping=1
args=("$@")
for ((i = 0; i < ${#args[@]}; i++)); do
    case ${args[i]} in
    --hosts) hosts=${args[i + 1]:-$hosts} ;;
    --interval) interval=${args[i + 1]:-$interval} ;;
    --no-fping) fping=0 ;;
    esac
done
single=$((6000 * interval / 1000))
if [ "$fping" -eq 1 ] && [ "$single" -ge 1 ] && [ "$hosts" -gt "$single" ]; then
    echo "== engine_scale $* --hosts $single (one fping process)"
    "$build/bench/engine_scale" "$@" --hosts "$single"
fi
