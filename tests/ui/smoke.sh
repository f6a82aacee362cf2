#!/usr/bin/env bash
# The desktop program on a real X server (Xvfb): start it with samples/ in the path box, wait for
# the main window, index through Enter in the path box, close the dialog when the run has ended,
# search through Enter in the word box, grab the screen, open a row's context menu, let a message
# box and the folder chooser paint (each grabbed, and not all one colour), quit with Ctrl+Q. Fails
# on a missing window, a hang, a non-zero exit, or any line on standard error.
#
#   smoke.sh OLMAREST SAMPLES SHOTS_TOOL OUT.png      (needs xvfb-run and xdotool)
set -euo pipefail
prog=$1 samples=$2 shots=$3 png=$4
for tool in xvfb-run xdotool; do
    command -v $tool >/dev/null || { echo "smoke: $tool is missing (apt-get install xvfb xauth xdotool)" >&2; exit 1; }
done

if [ -z "${DISPLAY:-}" ] || [ -z "${SMOKE_INNER:-}" ]; then
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    mkdir -m 700 "$work/run"
    export HOME="$work/home" XDG_DATA_HOME="$work/data" XDG_CONFIG_HOME="$work/config" \
        XDG_RUNTIME_DIR="$work/run" SMOKE_INNER=1 SMOKE_WORK="$work" QT_QPA_PLATFORM=xcb
    exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi

work=$SMOKE_WORK
err="$work/stderr"
fail() { echo "smoke: $*" >&2; [ -s "$err" ] && sed 's/^/smoke: stderr: /' "$err" >&2; kill "$pid" 2>/dev/null; exit 1; }
# Waits up to 30 s for a window whose title matches the pattern; prints its id.
window() {
    for _ in $(seq 300); do
        xdotool search --onlyvisible --name "$1" 2>/dev/null | head -1 && return 0
        sleep 0.1
    done
    return 1
}

"$prog" "$samples" 2>"$err" &
pid=$!
main=$(window '^Olmarest $') || fail "no main window"
data="$XDG_DATA_HOME/olmarest"
[ -s "$data/stopwords.txt" ] || fail "the data directory was not seeded with stopwords.txt"

xdotool windowfocus --sync "$main" key Return
dialog=$(window '^Scanning \.\.\.$') || fail "no scan dialog"
# The run has ended once idx.dat is cut below its 64 MiB mapping with its word table recorded.
for _ in $(seq 300); do
    if [ -f "$data/idx.dat" ] && [ "$(stat -c %s "$data/idx.dat")" -lt 67108864 ] &&
        [ "$(od -An -tu4 -j4 -N4 "$data/idx.dat" | tr -d ' ')" != 0 ]; then
        break
    fi
    sleep 0.1
done
sleep 0.5 # the dialog's timer reports the end
xdotool windowfocus --sync "$dialog" key Return # "&Close", the default button
for _ in $(seq 100); do
    xdotool search --onlyvisible --name '^Scanning' >/dev/null 2>&1 || break
    sleep 0.1
done
xdotool search --onlyvisible --name '^Scanning' >/dev/null 2>&1 && fail "the scan dialog did not close"

xdotool windowfocus --sync "$main" type --delay 20 "lighthouse harbour"
xdotool key Return
sleep 1
QT_QPA_PLATFORM=xcb "$shots" --screen "$png" 2>>"$work/shots.err" || fail "no screenshot"

# Grabs the window with the given title into the work folder; fails when it never shows or never
# paints.
painted() {
    local id
    id=$(window "$1") || fail "no window \"$1\""
    sleep 0.5
    QT_QPA_PLATFORM=xcb "$shots" --window "$id" "$work/$2.png" 2>>"$work/shots.err" || fail "\"$1\" did not paint"
    echo "$id"
}

# A right click on the first row: its context menu (a popup of its own) opens and goes with Escape.
eval "$(xdotool getwindowgeometry --shell "$main")"
menus_before=$(xdotool search --onlyvisible --name '' 2>/dev/null | wc -l)
xdotool mousemove --window "$main" 120 142 click 3
sleep 0.5
menus_after=$(xdotool search --onlyvisible --name '' 2>/dev/null | wc -l)
[ "$menus_after" -gt "$menus_before" ] || fail "no context menu on the first row"
xdotool key Escape
sleep 0.3

# An invalid path in the path box: the message box paints and closes with Enter.
xdotool windowfocus --sync "$main" key ctrl+l 2>/dev/null || true
xdotool mousemove --window "$main" 200 30 click --repeat 3 1
xdotool type --delay 10 "/no/such/folder"
xdotool key Return
box=$(painted '^Invalid Path$' message-box)
xdotool windowfocus --sync "$box" key Return
sleep 0.3

# The folder button: the folder chooser paints and closes with Escape.
xdotool mousemove --window "$main" 493 30 click 1
chooser=$(painted 'Choose the folder to index' folder-chooser)
xdotool windowfocus --sync "$chooser" key Escape
sleep 0.3
xdotool windowfocus --sync "$main" key ctrl+q
for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$pid" 2>/dev/null && fail "the program did not quit"
wait "$pid" || fail "the program exited with status $?"
[ -s "$err" ] && fail "messages on standard error"
echo "smoke: ok (screenshot $png)"
