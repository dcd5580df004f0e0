#!/usr/bin/env bash
# Runs a command on a virtual X display of its own: Xvfb picks a free display
# number and reports it (-displayfd), so parallel runs never meet. No window
# manager runs. GTK is set alike on every machine: its default theme, no
# accessibility bus, settings in memory, and a GTK critical message aborts
# the program.
set -uo pipefail
command -v Xvfb >/dev/null || { echo "FAIL Xvfb is missing (Debian package xvfb)"; exit 1; }

dir=$(mktemp -d)
trap 'kill $server 2>/dev/null; wait $server 2>/dev/null; rm -rf "$dir"' EXIT
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$dir/display" 2>"$dir/xvfb.log" &
server=$!
for _ in $(seq 200); do
    [ -s "$dir/display" ] && break
    kill -0 $server 2>/dev/null || break
    sleep 0.05
done
if [ ! -s "$dir/display" ]; then
    echo "FAIL Xvfb did not start:"
    cat "$dir/xvfb.log"
    exit 1
fi

export DISPLAY=":$(cat "$dir/display")"
export GTK_THEME=Adwaita NO_AT_BRIDGE=1 GSETTINGS_BACKEND=memory G_DEBUG=fatal-criticals
export XDG_RUNTIME_DIR=$dir LC_ALL=C.UTF-8
"$@"
