#!/usr/bin/env bash
# Runs the Windows build under Wine, on a virtual X display.
#
#   run_wine.sh prefix    creates the Wine prefix the other two use (wineboot)
#   run_wine.sh panel     zavik_wintest.exe: templates, window procedures, controls
#   run_wine.sh smoke     zavik.exe starts, shows its window and initial log,
#                         and exits with 0 when its window is closed
#   run_wine.sh imports   zavik.exe is a 32-bit GUI program that imports only
#                         USER32, KERNEL32, WSOCK32, WINMM (and the C runtime)
#
# ZAVIK_WIN32_BIN names the folder of the Windows programs, ZAVIK_WINEPREFIX the
# prefix. Exits 77 (skipped) when the Windows programs have not been built.
set -uo pipefail

mode=${1:?mode}
bin=${ZAVIK_WIN32_BIN:?}
export WINEPREFIX=${ZAVIK_WINEPREFIX:?}
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=" # no Mono or Gecko installers
export WINEARCH=win32
export LC_ALL=C # the ANSI code page 1252

started=$(date +%s%N)
finish() {
    local code=$1
    wineserver -k >/dev/null 2>&1 # ends what is left of this prefix
    local ms=$((($(date +%s%N) - started) / 1000000))
    printf 'wine %s: %d.%d s\n' "$mode" $((ms / 1000)) $((ms % 1000 / 100))
    exit "$code"
}

need() {
    for program in "$@"; do
        if [ ! -f "$bin/$program" ]; then
            echo "skipped: $bin/$program has not been built (build the Windows side first)"
            exit 77
        fi
    done
}

hex() { printf '%s' "$1" | od -An -tx1 -v | tr -d ' \n'; }
# The text that hex digits stand for, with line ends shown as \r and \n.
unhex() {
    local h=$1 i byte
    for ((i = 0; i < ${#h}; i += 2)); do
        byte=${h:i:2}
        case $byte in
        0d) printf '\\r' ;;
        0a) printf '\\n' ;;
        *) printf "\\x$byte" ;;
        esac
    done
}

case "$mode" in
prefix)
    if [ -f "$WINEPREFIX/system.reg" ]; then
        ln -sfn /dev/ptmx "$WINEPREFIX/dosdevices/com9"
        echo "prefix $WINEPREFIX is ready"
        finish 0
    fi
    rm -rf "$WINEPREFIX"
    mkdir -p "$(dirname "$WINEPREFIX")"
    timeout 100 xvfb-run -a wineboot -i
    code=$?
    # Without a window manager on the display, Wine would wait for one on every
    # window it hides: let Wine place the windows itself.
    timeout 30 wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f \
        || code=1
    timeout 30 wineserver -w
    [ -f "$WINEPREFIX/system.reg" ] || code=1
    # A serial device for the test program: every open of COM9 is a new pseudo-terminal.
    ln -sfn /dev/ptmx "$WINEPREFIX/dosdevices/com9" || code=1
    finish $code
    ;;

panel)
    need zavik_wintest.exe
    timeout 100 xvfb-run -a wine "$bin/zavik_wintest.exe"
    finish $?
    ;;

smoke)
    need zavik.exe zavik_probe.exe
    out=$(mktemp)
    timeout 100 xvfb-run -a bash -c '
        wine "$1/zavik.exe" & program=$!
        wine "$1/zavik_probe.exe" 40 --close
        probe=$?
        for _ in $(seq 100); do kill -0 $program 2>/dev/null || break; sleep 0.2; done
        kill $program 2>/dev/null
        wait $program
        echo "wine=$?"
        exit $probe' _ "$bin" >"$out" 2>/dev/null
    code=$?
    failures=0
    value() { sed -n "s/^$1=//p" "$out" | head -1 | tr -d '\r'; }
    expect() { # what, got, want
        if [ "$2" == "$3" ]; then
            echo "ok   $1"
        else
            echo "FAIL $1: got '$2', want '$3'"
            failures=$((failures + 1))
        fi
    }
    if [ $code -ne 0 ]; then
        echo "FAIL the probe ended with $code:"
        cat "$out"
        failures=$((failures + 1))
    fi
    expect "caption bytes" "$(value caption)" "$(hex 'Zavik 0.1')df"
    wide=$(value captionw)
    expect "caption ends in a sharp s" "${wide: -4}" "00df"
    log=$(value log)
    want=$(hex $'Initializing  WinSock...success\r\nInitializing packet event...success\r\n')
    expect "initial log" "$(unhex "$log")" "$(unhex "$want")" # every byte counts
    expect "buttons enabled (Settings, Connect, Listen)" "$(value buttons)" "1 0 0"
    style=$((16#$(value style)0 / 16))
    frame=$((style & 0x00CF0000)) # caption, system menu, minimise, maximise, sizing border
    expect "window style" "$(printf '%08x' $frame)" "$(printf '%08x' $((0x00C00000 | 0x00080000 | 0x00020000)))"
    expect "client area is the panel" "$(value fits | cut -d' ' -f1)" "1"
    expect "exit code after WM_CLOSE" "$(value exit)" "0"
    expect "exit code seen by wine" "$(value wine)" "0"
    rm -f "$out"
    [ $failures -eq 0 ] && finish 0 || finish 1
    ;;

imports)
    need zavik.exe
    objdump=$(command -v i686-w64-mingw32-objdump || command -v objdump)
    headers=$("$objdump" -p "$bin/zavik.exe") || finish 1
    dlls=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers" | tr 'a-z' 'A-Z' | sort | tr '\n' ' ')
    echo "imports: $dlls"
    failures=0
    for dll in $dlls; do
        case "$dll" in
        USER32.DLL | KERNEL32.DLL | WSOCK32.DLL | WINMM.DLL | MSVCRT.DLL) ;;
        *) echo "FAIL unexpected import $dll"; failures=$((failures + 1)) ;;
        esac
    done
    grep -q 'Magic[[:space:]]*010b' <<<"$headers" || { echo "FAIL not PE32"; failures=$((failures + 1)); }
    grep -q 'Subsystem[[:space:]]*00000002' <<<"$headers" ||
        { echo "FAIL not a GUI program"; failures=$((failures + 1)); }
    [ $failures -eq 0 ] && finish 0 || finish 1
    ;;

*)
    echo "unknown mode $mode" >&2
    exit 2
    ;;
esac
