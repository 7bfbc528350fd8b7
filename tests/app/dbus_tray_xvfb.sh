#!/usr/bin/env bash
# The icon on a real D-Bus tray: xfce4-panel's notification area alone, under Xvfb, on a bus of
# its own, dbus-send making the host's calls: the icon's menu is the tray menu, the host's click
# brings the closed window back maximized, Open and Exit work. Then a watcher that outlives its
# host, as a desktop's background service: the hidden window comes back minimized when the host
# goes. Exit 77 (skipped): a tool missing.
set -euo pipefail
bin=$(realpath "$1")
for tool in Xvfb xdotool xwininfo xprop xfce4-panel dbus-daemon dbus-send; do
    command -v "$tool" > /dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done
display=228
source "$(dirname "${BASH_SOURCE[0]}")/../ui/xvfb_session.sh"
export DBUS_SESSION_BUS_ADDRESS="unix:path=$work/bus" NO_AT_BRIDGE=1
dbus-daemon --session --nofork --address="$DBUS_SESSION_BUS_ADDRESS" 2> /dev/null &
pids+=($!)
mkdir -p "$XDG_CONFIG_HOME/xfce4/xfconf/xfce-perchannel-xml"
echo '<channel name="xfce4-panel" version="1.0"><property name="panels" type="array"><value
type="int" value="1"/><property name="panel-1" type="empty"><property name="plugin-ids" type=
"array"><value type="int" value="1"/></property></property></property><property name="plugins"
type="empty"><property name="plugin-1" type="string" value="systray"/></property></channel>' \
    > "$XDG_CONFIG_HOME/xfce4/xfconf/xfce-perchannel-xml/xfce4-panel.xml"
xfce4-panel --disable-wm-check > "$work/panel.log" 2>&1 &
panel=$! && pids+=($!)

call() { dbus-send --session --print-reply=literal --dest="$1" "$2" "${@:3}" 2> /dev/null; }
get() { call "$1" "$2" org.freedesktop.DBus.Properties.Get "string:$3" "string:$4"; }
w=org.kde.StatusNotifierWatcher
items() { get $w /StatusNotifierWatcher $w RegisteredStatusNotifierItems | grep -o ':[0-9.]*'; }
until_ok() {  # until_ok <shell command>: tries it for 15 s
    for _ in $(seq 150); do eval "$1" > /dev/null 2>&1 && return 0 || sleep 0.1; done; false
}
menu() {  # the menu as the host is about to show it, one item a line: id:label:enabled or "-"
    call "$item" /MenuBar com.canonical.dbusmenu.AboutToShow int32:0 > /dev/null
    call "$item" /MenuBar com.canonical.dbusmenu.GetLayout int32:0 int32:-1 array:string: |
        awk '/^ *int32 [0-9]+$/ { id = $2 } /^ *enabled / { on = $NF } /separator/ { print "-" }
        /^ *label / { sub(/^ *label +variant +/, ""); sub(/ *\)$/, ""); print id ":" $0 ":" on }'
}
click_item() { call "$item" /MenuBar com.canonical.dbusmenu.Event \
    "int32:$(menu | grep -F ":$1:" | cut -d: -f1)" string:clicked variant:int32:0 uint32:0; }
shown="xwininfo -id \$main | grep -q IsViewable"
close_window() { xdotool windowfocus --sync "$main" key alt+f Up Up Return; until_ok "! $shown"; }

until_ok "get $w /StatusNotifierWatcher $w IsStatusNotifierHostRegistered | grep -q true" ||
    fail "the panel's notification area did not start"
QT_QPA_PLATFORM=xcb "$bin" > "$work/velmora.log" 2>&1 &
velmora_pid=$! && pids+=($velmora_pid)
main=$(wait_window "Velmora IPV6") || fail "no main window"
until_ok items && item=$(items | head -1) || fail "the icon did not reach the host"
get "$item" /StatusNotifierItem org.kde.StatusNotifierItem Menu | grep -q /MenuBar || fail "no menu"
want="Open(_O):true|Gorvath  Home Page(_T):true|About  Velmora IPV6(_A)...:true|-|S_tart Service"
[ "$(menu | cut -d: -f2- | paste -sd'|')" = "$want:true|Sto_p Service:false|-|E_xit:true" ] ||
    fail "not the tray menu: $(menu | paste -sd'|')"
close_window || fail "File > Close did not hide the window"
call "$item" /StatusNotifierItem org.kde.StatusNotifierItem.Activate int32:0 int32:0
until_ok "$shown" || fail "the host's click did not bring the window back"
xprop -id "$main" _NET_WM_STATE | grep HORZ | grep -q MAXIMIZED_VERT || fail "not maximized"
close_window && click_item "Open(_O)" && until_ok "$shown" || fail "the menu's Open did not show it"
click_item "E_xit"
until_ok "! kill -0 $velmora_pid" && wait "$velmora_pid" || fail "Exit did not end the program"

host="get $w /StatusNotifierWatcher $w IsStatusNotifierHostRegistered | grep -q true"
kill "$panel" && until_ok "! $host" || fail "the panel did not end"
watcher=$(dirname "$0")/status_notifier_watcher.py
"$watcher" & pids+=($!)
"$watcher" host & host_pid=$! && pids+=($!)
until_ok "$host" || fail "no host on the watcher"
QT_QPA_PLATFORM=xcb "$bin" > "$work/velmora.log" 2>&1 & pids+=($!)
main=$(wait_window "Velmora IPV6") && close_window || fail "the window was not hidden"
kill "$host_pid" && until_ok "$shown" || fail "the window did not come back when the host went"
xprop -id "$main" WM_HINTS | grep -q Iconic || fail "the window came back not minimized"
