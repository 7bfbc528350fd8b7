#!/usr/bin/env bash
# The tray icon on a real D-Bus tray (StatusNotifierItem): xfce4-panel's notification area
# under Xvfb, on a session bus of its own, the host's calls made with dbus-send. The icon's
# menu is the tray menu, refreshed before it shows; after the window is closed the host's
# click (Activate) brings it back maximized; the menu's Open and Exit work.
#   tests/app/dbus_tray_xvfb.sh <velmora binary>     (exits 77, skipped, when a tool is missing)
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
# The panel's configuration: one panel with the notification area alone.
mkdir -p "$XDG_CONFIG_HOME/xfce4/xfconf/xfce-perchannel-xml"
cat > "$XDG_CONFIG_HOME/xfce4/xfconf/xfce-perchannel-xml/xfce4-panel.xml" << 'EOF'
<channel name="xfce4-panel" version="1.0"><property name="configver" type="int" value="2"/>
<property name="panels" type="array"><value type="int" value="1"/><property name="panel-1"
type="empty"><property name="plugin-ids" type="array"><value type="int" value="1"/></property>
</property></property><property name="plugins" type="empty"><property name="plugin-1"
type="string" value="systray"/></property></channel>
EOF
xfce4-panel --disable-wm-check > "$work/panel.log" 2>&1 &
pids+=($!)

call() {  # call <destination> <path> <method> [arguments...]: the reply, literally
    dbus-send --session --print-reply=literal --dest="$1" "$2" "${@:3}" 2> /dev/null
}
watcher() { call org.kde.StatusNotifierWatcher /StatusNotifierWatcher \
    org.freedesktop.DBus.Properties.Get string:org.kde.StatusNotifierWatcher "string:$1"; }
until_ok() {  # until_ok <command...>: tries for 15 s
    for _ in $(seq 150); do "$@" > /dev/null 2>&1 && return 0; sleep 0.1; done
    return 1
}
menu() {  # the items of the icon's menu, one a line: id:label:enabled, a separator as "-"
    call "$item" /MenuBar com.canonical.dbusmenu.GetLayout int32:0 int32:-1 \
        array:string:type,label,enabled | awk '/^ *int32 [0-9]+$/ { id = $2 }
        /^ *enabled / { on = $NF } /^ *type .*separator/ { print "-" }
        /^ *label / { sub(/^ *label +variant +/, ""); sub(/ *\)$/, ""); print id ":" $0 ":" on }'
}
click_item() { call "$item" /MenuBar com.canonical.dbusmenu.Event \
    "int32:$(menu | grep -F ":$1:" | cut -d: -f1)" string:clicked variant:int32:0 uint32:0; }
host_up() { watcher IsStatusNotifierHostRegistered | grep -q true; }
registered() { watcher RegisteredStatusNotifierItems | grep -q :; }
refreshed() { call "$item" /MenuBar com.canonical.dbusmenu.AboutToShow int32:0 > /dev/null &&
    menu | grep -q "$1"; }
viewable() { xwininfo -id "$main" | grep -q IsViewable; }
hidden() { xwininfo -id "$main" | grep -q IsUnMapped; }
ended() { ! kill -0 "$velmora_pid"; }
close_window() {  # File > Close, with the keys
    xdotool windowfocus --sync "$main" key alt+f Up Up Return
    until_ok hidden || fail "File > Close did not hide the window"
}

until_ok host_up || fail "the panel's notification area did not start"
QT_QPA_PLATFORM=xcb "$bin" > "$work/velmora.log" 2>&1 &
velmora_pid=$!
pids+=($velmora_pid)
main=$(wait_window "Velmora IPV6") || fail "no main window"
until_ok registered || fail "the icon was not registered with the host"
item=$(watcher RegisteredStatusNotifierItems | grep -o ':[0-9.]*' | head -1)
call "$item" /StatusNotifierItem org.freedesktop.DBus.Properties.Get \
    string:org.kde.StatusNotifierItem string:Menu | grep -q /MenuBar || fail "no menu exported"
# The host asks for the menu's layout as it is about to show it.
refreshed ":S_tart Service:" || fail "no menu to show"
items="Open(_O):true|Gorvath  Home Page(_T):true|About  Velmora IPV6(_A)...:true|-|S_tart Service"
[ "$(menu | cut -d: -f2- | paste -sd'|')" = "$items:true|Sto_p Service:false|-|E_xit:true" ] ||
    fail "not the tray menu: $(menu | paste -sd'|')"
click_item "S_tart Service"
until_ok refreshed ":S_tart Service:false" || fail "not refreshed: $(menu | paste -sd'|')"
menu | grep -q ":Sto_p Service:true" || fail "Stop Service not enabled while the service runs"

close_window
call "$item" /StatusNotifierItem org.kde.StatusNotifierItem.Activate int32:0 int32:0
until_ok viewable || fail "the host's click did not bring the window back"
xprop -id "$main" _NET_WM_STATE | grep MAXIMIZED_HORZ | grep -q MAXIMIZED_VERT || fail "not maximized"
close_window
click_item "Open(_O)"
until_ok viewable || fail "the menu's Open did not bring the window back"
click_item "E_xit"
until_ok ended || fail "the menu's Exit did not end the program"
wait "$velmora_pid" || fail "the program ended with status $?"
echo "D-Bus tray: the tray menu, the click, Open and Exit work"
