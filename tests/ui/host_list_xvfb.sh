#!/usr/bin/env bash
# The host list tried as a new user would, on a real X server (Xvfb) with real input events
# (XTEST, through xdotool): add a host by name (localhost), add a range of ten loopback
# addresses, start the service, sort by loss rate, move a row, suspend one, stop the
# service and delete two, then exit, start again and find the list as it was left. A
# screenshot of the screen after each step goes to the output directory; look at them.
#
#   tests/ui/host_list_xvfb.sh <velmora binary> <output directory>
#
# Needs root (raw sockets, a network namespace), Xvfb, xdotool, ImageMagick's import and
# unshare. The program runs in a network namespace of its own, made by unshare and gone
# with it, whose loopback drops every answer of 127.0.0.15, so one host of the range loses
# every request and the sort by loss rate has something to show. Everything it starts runs
# in a temporary directory of its own and is ended when it ends. The mouse positions are
# those of the dialogs laid out on Debian 12's Qt and fonts; the script checks each dialog's
# size first and stops if the layout differs.
set -euo pipefail

bin=$(realpath "$1")
out=$(mkdir -p "$2" && realpath "$2")
for tool in Xvfb xdotool import unshare ip; do
    command -v "$tool" > /dev/null || { echo "missing: $tool" >&2; exit 2; }
done
[ "$(id -u)" -eq 0 ] || { echo "needs root: raw sockets and a network namespace" >&2; exit 2; }

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# shellcheck source=xvfb_session.sh
source "$top/tests/ui/xvfb_session.sh"

shot() {  # shot <name>: the whole screen as a PNG
    sleep 0.4
    import -window root "$out/$1.png"
    echo "screenshot $1.png"
}
wait_gone() {  # wait_gone <exact title>: true once no visible window has that title
    for _ in $(seq 50); do
        xdotool search --onlyvisible --name "^$1\$" > /dev/null 2>&1 || return 0
        sleep 0.1
    done
    return 1
}
field() {  # field <window> <x> <y> <text>: replaces the text of an input
    click "$1" "$2" "$3"
    xdotool key ctrl+a
    type_text "$4"
}
start_program() {
    # lo up; the answers of 127.0.0.15 are routed nowhere (a rule ahead of the local table).
    unshare --net -- sh -c 'ip link set lo up &&
        ip rule add pref 10 from 127.0.0.15 blackhole &&
        ip rule del pref 0 && ip rule add pref 20 lookup local && exec "$0"' "$bin" \
        > "$work/velmora.log" 2>&1 &
    velmora_pid=$!
    pids+=($velmora_pid)
    main=$(wait_window "Velmora IPV6") || fail "the main window did not appear"
    # No window manager maximizes it: give it the screen.
    xdotool windowmove --sync "$main" 0 0 windowsize --sync "$main" 1280 1000
    xdotool windowfocus --sync "$main"
}
# open_dialog <key> <title> <width> <height> [<x> <y>]...: sets $dialog. Each x y is where
# an input of the dialog must be (a white pixel), so a changed layout stops the script.
open_dialog() {
    local key=$1 title=$2 width=$3 height=$4 pixel
    shift 4
    xdotool windowfocus --sync "$main"
    xdotool key "$key"
    dialog=$(wait_window "$title") || fail "$key did not open the $title dialog"
    eval "$(xdotool getwindowgeometry --shell "$dialog")"
    [ "$WIDTH" = "$width" ] && [ "$HEIGHT" = "$height" ] ||
        fail "the $title dialog is ${WIDTH}x$HEIGHT, not the ${width}x$height these positions are for"
    sleep 0.3
    while [ $# -ge 2 ]; do
        pixel=$(import -window root -crop "1x1+$((X + $1))+$((Y + $2))" -depth 8 txt:- | tail -1)
        [[ "$pixel" == *"(255,255,255)"* ]] ||
            fail "no input at $1,$2 of the $title dialog: its layout changed"
        shift 2
    done
    xdotool windowfocus --sync "$dialog"
}
press_add() {  # press_add <x> <y> <title>: the dialog must close
    click "$dialog" "$1" "$2"
    wait_gone "$3" || fail "Add did not close the $3 dialog (refused input?)"
    xdotool windowfocus --sync "$main"
}

# Positions in the main window (at 0,0, 1280 wide): row r of the host list is at
# y = row0 + r * row_height; the header's "Lost rate" column.
row0=93
row_height=18
lost_rate_header=(1170 75)
row_x=150
row() { echo $((row0 + $1 * row_height)); }

# The state image of host list row r, read off the screen: green (up), yellow (changing),
# red (down), none (no row there), or the colour's value.
icon() {
    local pixel r g b
    pixel=$(import -window root -crop "1x1+12+$(row "$1")" -depth 8 txt:- | tail -1)
    IFS=', ' read -r r g b <<< "$(sed -E 's/^[^(]*\(([0-9]+),([0-9]+),([0-9]+).*/\1 \2 \3/' <<< "$pixel")"
    if [ "$r" -ge 250 ] && [ "$g" -ge 250 ] && [ "$b" -ge 250 ]; then
        echo none
    elif [ "$g" -ge 180 ] && [ "$r" -le 100 ]; then
        echo green
    elif [ "$r" -ge 200 ] && [ "$g" -ge 180 ] && [ "$b" -le 150 ]; then
        echo yellow
    elif [ "$r" -ge 200 ] && [ "$g" -le 120 ]; then
        echo red
    else
        echo "$r,$g,$b"
    fi
}
wait_icons() {  # wait_icons <what> <row> <colour> [<row> <colour>...]: all at once, or fail
    local what=$1 i ok
    shift
    local want=("$@")
    for _ in $(seq 100); do
        ok=1
        for ((i = 0; i < ${#want[@]}; i += 2)); do
            [ "$(icon "${want[i]}")" = "${want[i + 1]}" ] || ok=0
        done
        [ "$ok" = 1 ] && return 0
        sleep 0.2
    done
    for ((i = 0; i < ${#want[@]}; i += 2)); do
        echo "row ${want[i]}: $(icon "${want[i]}"), wanted ${want[i + 1]}" >&2
    done
    fail "$what"
}

# Positions in the Add IP dialog (468x638).
ip_name=(270 50)
ip_hostname_radio=(30 424)
ip_hostname_edit=(290 424)
ip_add=(330 615)
# Positions in the Add IP Range dialog (468x610): the four fields of each address.
range_first_y=424
range_end_y=452
range_fields_x=(148 192 236 280)
range_name=(270 50)
range_interval=(140 298)
range_timeout=(140 338)
range_add=(330 587)

address() {  # address <y> <a> <b> <c> <d>
    local y=$1 i
    shift
    for i in 0 1 2 3; do
        field "$dialog" "${range_fields_x[$i]}" "$y" "$1"
        shift
    done
}

echo "== first run: a new user builds a host list"
start_program
shot 0-empty

open_dialog ctrl+a "Add IP" 468 638 "${ip_name[@]}"
click "$dialog" "${ip_name[@]}"
type_text "This computer"
click "$dialog" "${ip_hostname_radio[@]}"
click "$dialog" "${ip_hostname_edit[@]}"
type_text "localhost"
press_add "${ip_add[@]}" "Add IP"
shot 1-added-localhost

open_dialog ctrl+r "Add IP Range" 468 610 "${range_name[@]}" "${range_interval[@]}" \
    "${range_timeout[@]}" "${range_fields_x[0]}" "$range_first_y" "${range_fields_x[3]}" \
    "$range_end_y"
address "$range_first_y" 127 0 0 10
address "$range_end_y" 127 0 0 19
click "$dialog" "${range_name[@]}"
type_text "Loopback range"
# Short interval and time-out, so the silent host shows its losses within seconds.
field "$dialog" "${range_interval[@]}" 200
field "$dialog" "${range_timeout[@]}" 300
shot 2-range-dialog
press_add "${range_add[@]}" "Add IP Range"
shot 3-added-range

xdotool key ctrl+t  # Start Service
# Rows: 0 localhost, 1 to 10 the range; row 6 is 127.0.0.15, which never gets an answer.
wait_icons "the hosts did not come up, or the silent one did not go down" \
    0 green 1 green 6 red 10 green 11 none
shot 4-monitoring

click "$main" "${lost_rate_header[@]}"
wait_icons "the first click on Lost rate did not put the silent host last" 0 green 9 green 10 red
shot 5-sorted-by-loss-ascending
click "$main" "${lost_rate_header[@]}"
wait_icons "the second click on Lost rate did not put the silent host first" 0 red 1 green 10 green
shot 6-sorted-by-loss-descending

click "$main" "$row_x" "$(row 5)"
xdotool key ctrl+u  # Move Up
shot 7-row-5-moved-up

click "$main" "$row_x" "$(row 2)"
click "$main" "$row_x" "$(row 2)" 3  # the item menu
sleep 0.3
xdotool key u  # S&uspend the selected items
sleep 0.3
click "$main" "$row_x" "$(row 9)"  # away from the suspended row, so its grey shows
shot 8-row-2-suspended

xdotool key ctrl+p  # Stop Service: Delete is for a stopped service
click "$main" "$row_x" "$(row 7)"
xdotool keydown ctrl
click "$main" "$row_x" "$(row 8)"
xdotool keyup ctrl
shot 9-two-selected
xdotool key Delete
wait_icons "Delete did not remove the two rows" 8 green 9 none 10 none
shot 10-two-deleted
exit_program

echo "== second run: the list is as it was left"
start_program
# Same order; the suspended host (row 2) gets no requests, so it stays "changing" while
# the others, localhost last (it asks every second), come up.
wait_icons "the list did not come back as it was left" 1 green 3 green 8 green 9 none 2 yellow
shot 11-after-restart
hive=$(find "$XDG_CONFIG_HOME" -name '*.hive' | head -1)
[ -n "$hive" ] || fail "no stored setup"
for text in "This computer" localhost "Loopback range"; do
    grep -qaF "$text" "$hive" || fail "the stored setup lacks $text"
done
exit_program
echo "DONE: look at the screenshots in $out"
