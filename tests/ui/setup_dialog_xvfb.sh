#!/usr/bin/env bash
# The Setup dialog tried as a new user would, on a real X server (Xvfb) with real input
# events (XTEST, through xdotool): set a log file, an SMTP server on loopback with two
# recipients in two groups, send a test mail, press OK, exit, start the program again and
# find everything still there. Screenshots of every page go to the output directory.
#
#   tests/ui/setup_dialog_xvfb.sh <velmora binary> <output directory>
#
# Needs: Xvfb, xdotool, xwd (x11-apps), ImageMagick's convert, python3-aiosmtpd. Everything
# it starts runs in a temporary directory of its own and is ended when it ends. The mouse
# positions are those of the dialog laid out on Debian 12's Qt and fonts; the script checks
# the dialog's size first and stops if the layout differs.
set -euo pipefail

bin=$(realpath "$1")
out=$(mkdir -p "$2" && realpath "$2")
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
convert=/usr/bin/convert
for tool in Xvfb xdotool xwd "$convert" /usr/bin/python3; do
    command -v "$tool" > /dev/null || { echo "missing: $tool" >&2; exit 2; }
done

# shellcheck source=xvfb_session.sh
source "$top/tests/ui/xvfb_session.sh"

# The loopback SMTP server of the tests; its first line of output is its port.
mkfifo "$work/smtp.out"
/usr/bin/python3 "$top/tests/mail/smtp_server.py" --host 127.0.0.1 --port 0 \
    --output "$work/mail.jsonl" < /dev/null > "$work/smtp.out" 2> "$work/smtp.err" &
pids+=($!)
read -r -t 20 smtp_port < "$work/smtp.out"
echo "SMTP server on 127.0.0.1:$smtp_port"

shot() {  # shot <name> <window>: the window's area of the screen as a PNG
    local geometry
    geometry=$(xdotool getwindowgeometry --shell "$2")
    eval "$geometry"
    sleep 0.4
    xwd -root -silent | "$convert" xwd:- -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" "png:$out/$1.png"
}
start_program() {
    "$bin" > "$work/velmora.log" 2>&1 &
    velmora_pid=$!
    pids+=($velmora_pid)
    main=$(wait_window "Velmora IPV6") || fail "the main window did not appear"
    xdotool windowfocus --sync "$main"
}
open_setup() {
    xdotool windowfocus --sync "$main"
    xdotool key ctrl+s
    setup=$(wait_window "Setup") || fail "Ctrl+S did not open the Setup dialog"
    eval "$(xdotool getwindowgeometry --shell "$setup")"
    [ "$WIDTH" = 577 ] && [ "$HEIGHT" = 620 ] ||
        fail "the Setup dialog is ${WIDTH}x$HEIGHT, not the 577x620 these positions are for"
    xdotool windowfocus --sync "$setup"
}
# Positions inside the Setup dialog.
tab_general=(46 24)
tab_exec=(109 24)
tab_mail=(160 24)
tab_down=(228 24)
tab_up=(306 24)
log_edit=(290 370)
smtp_edit=(275 85)
add_button=(503 292)
send_test=(73 558)
ok_button=(525 597)
cancel_button=(439 597)

add_recipient() {  # add_recipient <address> <group>
    click "$setup" "${add_button[@]}"
    local dialog
    dialog=$(wait_window "Add Mail") || fail "Add did not open the recipient dialog"
    xdotool windowfocus --sync "$dialog"
    sleep 0.3
    type_text "$1"
    xdotool key Tab ctrl+a
    type_text "$2"
    xdotool key Return  # Enter applies
    for _ in $(seq 50); do
        xdotool search --onlyvisible --name '^Add Mail$' > /dev/null 2>&1 || break
        sleep 0.1
    done
    xdotool windowfocus --sync "$setup"
}

log_file="$work/home/monitor.log"

echo "== first run: a new user sets up logging and mail"
start_program
open_setup
click "$setup" "${log_edit[@]}"
type_text "$log_file"
shot 1-general "$setup"

click "$setup" "${tab_mail[@]}"
click "$setup" "${smtp_edit[@]}"
type_text "127.0.0.1"
xdotool key Tab ctrl+a
type_text "$smtp_port"
xdotool key Tab
type_text "monitor@example.test"
add_recipient "first@example.test" 1
add_recipient "second@example.test" 2
shot 2-mail "$setup"

click "$setup" "${send_test[@]}"
answer=""
for _ in $(seq 100); do
    for w in $(xdotool search --onlyvisible --name '^Velmora IPV6$' 2> /dev/null); do
        [ "$w" != "$main" ] && answer=$w
    done
    [ -n "$answer" ] && break
    sleep 0.1
done
[ -n "$answer" ] || fail "no answer box after Send test Email"
xdotool windowfocus --sync "$answer"
xdotool key Return
grep -q '"rcpt_tos": \["first@example.test", "second@example.test"\]' "$work/mail.jsonl" ||
    fail "the server did not get the test mail for both recipients"
grep -q 'Subject: send a test Email' "$work/mail.jsonl" || fail "the test mail has no subject"
echo "test mail received by the server for both recipients"
xdotool windowfocus --sync "$setup"

click "$setup" "${tab_exec[@]}"
shot 3-exec "$setup"
click "$setup" "${tab_down[@]}"
shot 4-mail-down "$setup"
click "$setup" "${tab_up[@]}"
shot 5-mail-up "$setup"
click "$setup" "${ok_button[@]}"
sleep 0.5
xdotool search --onlyvisible --name '^Setup$' > /dev/null 2>&1 && fail "OK did not close the dialog"
[ -f "$log_file" ] || fail "OK did not open the log file $log_file"
exit_program

echo "== second run: everything is still there"
start_program
open_setup
shot 6-general-again "$setup"
click "$setup" "${tab_mail[@]}"
shot 7-mail-again "$setup"
click "$setup" "${cancel_button[@]}"
hive=$(find "$XDG_CONFIG_HOME" -name '*.hive' | head -1)
[ -n "$hive" ] || fail "no stored setup"
for text in "$log_file" 127.0.0.1 first@example.test second@example.test monitor@example.test; do
    grep -qaF "$text" "$hive" || fail "the stored setup lacks $text"
done
exit_program
echo "PASSED: settings kept across a restart; screenshots in $out"
