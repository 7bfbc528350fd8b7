#!/usr/bin/env bash
# The Debian package made by CPack from this build tree, unpacked into a throwaway root:
# everything where a desktop looks for it and valid for its checker, the maintainer script
# giving the program its raw sockets, and the program started from there under Xvfb opening
# its installed help on F1. Exit 77 (skipped): a tool missing.
set -euo pipefail
build=$(realpath "$1")
for tool in cpack dpkg-deb desktop-file-validate appstreamcli getcap identify Xvfb xdotool xprop; do
    command -v "$tool" > /dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done
source "$(dirname "${BASH_SOURCE[0]}")/ui/xvfb_session.sh"

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" > "$work/cpack.log" 2>&1 ||
    fail "cpack: $(cat "$work/cpack.log")"
root=$work/root share=$work/root/usr/share
dpkg-deb -x "$work"/out/velmora_*.deb "$root" && dpkg-deb -e "$work"/out/velmora_*.deb "$work/control"

[ -x "$root/usr/bin/velmora" ] || fail "no program in usr/bin"
for page in index hosts settings events files log commands; do
    [ -f "$share/velmora/help/$page.html" ] || fail "no help page $page.html"
done
[ ! -f "$build/Velmora.chm" ] || [ -f "$share/velmora/help/Velmora.chm" ] || fail "no Velmora.chm"
entry=$share/applications/velmora.desktop
desktop-file-validate "$entry" || fail "the application entry is not valid"
for key in Exec=velmora Icon=velmora StartupWMClass=velmora; do
    grep -qx "$key" "$entry" || fail "the application entry has no $key"
done
for size in 16 32 48 64 128; do
    [ "$(identify -format %m%wx%h "$share/icons/hicolor/${size}x$size/apps/velmora.png")" = \
        "PNG${size}x$size" ] || fail "no ${size}x$size icon"
done
appstreamcli validate --no-net "$share"/metainfo/*.metainfo.xml || fail "invalid metainfo"
grep -q '<launchable type="desktop-id">velmora.desktop<' "$share"/metainfo/*.metainfo.xml ||
    fail "the metainfo names no application entry"
[ -f "$share/doc/velmora/README.md" ] && [ -f "$share/doc/velmora/copyright" ] || fail "no docs"

DPKG_ROOT=$root sh "$work/control/postinst" configure
getcap "$root/usr/bin/velmora" | grep -q "cap_net_raw=ep" || fail "postinst gave no cap_net_raw"

# The desktop's opener and its query for a viewer of compiled help (there is none) are ours.
mkdir "$work/bin"
printf '#!/bin/sh\necho "$@" > %s/opened\n' "$work" > "$work/bin/xdg-open"
printf '#!/bin/sh\n' > "$work/bin/xdg-mime"
chmod +x "$work/bin/xdg-open" "$work/bin/xdg-mime"
PATH=$work/bin:$PATH QT_QPA_PLATFORM=xcb "$root/usr/bin/velmora" > "$work/velmora.log" 2>&1 &
velmora_pid=$! && pids+=($velmora_pid)
main=$(wait_window "Velmora IPV6") || fail "no main window: $(cat "$work/velmora.log")"
xprop -id "$main" WM_CLASS | grep -q '= "velmora",' || fail "window class: $(xprop -id "$main")"
xdotool windowfocus --sync "$main" key F1
for _ in $(seq 100); do [ -s "$work/opened" ] && break || sleep 0.1; done
[ "$(cat "$work/opened" 2> /dev/null)" = "$share/velmora/help/index.html" ] ||
    fail "F1 opened '$(cat "$work/opened" 2> /dev/null)', not the installed help"
exit_program
echo "package: installed files valid, capability set, installed help found"
