#!/usr/bin/env bash
# UI load benchmark: builds it in an optimised build, then runs the whole application
# offscreen on loopback hosts and prints the event-loop latency, the engine messages
# handled per second, whether any was lost, CPU and peak RSS. Needs root (raw sockets).
# Sends to 127.0.0.0/8 only.
#
#   bench/ui_load.sh [--hosts N] [--interval MS] [--seconds T] [--timeout MS]
#
# Defaults: 65,535 hosts every 1,000 ms for 60 s. BUILD_DIR overrides the build directory.
#
# Nothing in the kernel needs raising: echo replies are not among the ICMP types that
# net.ipv4.icmp_ratemask limits, and the kernel never rate-limits ICMP on the loopback
# device; the engine raises its own socket buffers (root may exceed net.core.rmem_max).
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$top/build/bench}

if [ "$(id -u)" -ne 0 ]; then
    echo "ui_load needs root: raw ICMP sockets" >&2
    exit 1
fi

if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_TESTS=OFF
fi
cmake --build "$build" --parallel "$(nproc)" --target ui_load

echo "== ui_load $*"
"$build/bench/ui_load" "$@"
