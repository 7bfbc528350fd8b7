#!/usr/bin/python3
# A tray's watcher on its own, as a desktop's background service keeps it: it outlives the hosts
# (panels) that register with it. With "host": a host that registers and stays until it is ended.
import sys
from gi.repository import Gio, GLib

W, P = "org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher"
XML = f"""<node><interface name="{W}"><method name="RegisterStatusNotifierItem"><arg type="s"/>
</method><method name="RegisterStatusNotifierHost"><arg type="s"/></method><property type="b"
name="IsStatusNotifierHostRegistered" access="read"/></interface></node>"""
bus, hosts = Gio.bus_get_sync(Gio.BusType.SESSION), set()
def call(_, sender, path, interface, method, args, invocation):
    if method == "RegisterStatusNotifierHost":
        hosts.add(sender)
        Gio.bus_watch_name_on_connection(bus, sender, 0, None, lambda *_: hosts.discard(sender))
    invocation.return_value(None)
if sys.argv[1:] == ["host"]:  # registers once the watcher is there, as a panel does
    Gio.bus_watch_name_on_connection(bus, W, 0, lambda *_: bus.call_sync(
        W, P, W, "RegisterStatusNotifierHost", GLib.Variant("(s)", ("host",)), None, 0, -1, None))
else:
    bus.register_object(P, Gio.DBusNodeInfo.new_for_xml(XML).interfaces[0], call,
                        lambda *_: GLib.Variant("b", bool(hosts)), None)
    Gio.bus_own_name_on_connection(bus, W, 0, None, None)
GLib.MainLoop().run()
