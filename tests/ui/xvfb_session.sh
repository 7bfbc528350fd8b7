# Sourced by the scripts that try the program on a real X server with real input events
# (Xvfb and xdotool). It makes a temporary directory `work`, starts Xvfb on a display
# nobody uses, points DISPLAY there and XDG_CONFIG_HOME, XDG_RUNTIME_DIR and HOME into the
# directory, and removes it at exit after ending, newest first, every process whose id the
# script adds to `pids`. Then the helpers below.
#
# Needs: Xvfb and xdotool.

work=$(mktemp -d /tmp/velmora-xvfb.XXXXXX)
pids=()
cleanup() {
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill "${pids[$i]}" 2> /dev/null || true
        wait "${pids[$i]}" 2> /dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

# A display number nobody uses, from `display` when the script sets one.
display=${display:-$((100 + $$ % 400))}
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do
    display=$((display + 1))
done
Xvfb ":$display" -screen 0 1280x1024x24 -nolisten tcp > "$work/xvfb.log" 2>&1 &
pids+=($!)
export DISPLAY=":$display"
for _ in $(seq 100); do
    xdotool getmouselocation > /dev/null 2>&1 && break
    sleep 0.1
done

mkdir -p "$work/config" "$work/runtime" "$work/home"
chmod 700 "$work/runtime"
export XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work/runtime" HOME="$work/home"

fail() {
    echo "FAILED: $*" >&2
    exit 1
}
wait_window() {  # wait_window <exact title>: the id of the visible window of that title
    timeout 15 xdotool search --sync --onlyvisible --name "^$1\$" | head -1
}
click() {  # click <window> <x> <y> [button]
    xdotool mousemove --window "$1" "$2" "$3" click "${4:-1}"
    sleep 0.2
}
type_text() {
    xdotool type --delay 15 "$1"
}
# Ends the program started as $velmora_pid, whose main window is $main, with Ctrl+X.
exit_program() {
    xdotool windowfocus --sync "$main"
    xdotool key ctrl+x
    for _ in $(seq 150); do
        kill -0 "$velmora_pid" 2> /dev/null || break
        sleep 0.1
    done
    kill -0 "$velmora_pid" 2> /dev/null && fail "Ctrl+X did not end the program"
    wait "$velmora_pid" || true
}
