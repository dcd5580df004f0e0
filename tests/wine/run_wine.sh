#!/usr/bin/env bash
# Runs the Windows builds under Wine, on a virtual X display. The shipped
# program is the 32-bit one; the same sources built for 64-bit Windows are run
# too, so that hosts whose kernel runs no 32-bit processes still test them.
#
#   run_wine.sh host           which builds this host runs, found by starting each
#                              build's Wine loader; fails when it runs neither
#   run_wine.sh ARCH prefix    creates the Wine prefix of ARCH (win32 or win64)
#   run_wine.sh ARCH panel     zavik_wintest.exe: templates, window procedures,
#                              controls, the port thread's Windows side
#   run_wine.sh ARCH smoke     zavik.exe starts, shows its window and initial log,
#                              and exits with 0 when its window is closed
#   run_wine.sh ARCH session   whole link sessions of zavik.exe with its simulated
#                              console, worked through its window by zavik_driver.exe,
#                              against zavik-headless and against another zavik.exe
#   run_wine.sh imports        the shipped zavik.exe is a 32-bit i386 GUI program that
#                              imports only USER32, KERNEL32, WSOCK32, WINMM and msvcrt
#   run_wine.sh summary        per build, how many Wine checks ran and passed
#   run_wine.sh demo           scripts/demo --windows: tools/demo.py with side A played
#                              by zavik.exe, the 32-bit build or else the 64-bit one
#
# An ARCH that this host cannot run (its loader fails with "Exec format error")
# is reported and not run (exit 77); a missing program or loader is a failure.
#
# Environment:
#   ZAVIK_WINE_DIR       prefixes and results (default build/native/tests/wine)
#   ZAVIK_WIN32_BIN      the 32-bit programs (default build/win32/bin)
#   ZAVIK_WIN64_BIN      the 64-bit programs (default build/win64/bin)
#   ZAVIK_HEADLESS       zavik-headless (default build/native/bin/zavik-headless)
#   ZAVIK_WINE32_LOADER  Wine's 32-bit loader (default /usr/lib/wine/wine)
#   ZAVIK_WINE64_LOADER  Wine's 64-bit loader (default /usr/lib/wine/wine64); point
#                        either at a program built for another machine to see how
#                        a host that cannot run it is handled
#   ZAVIK_SKIP_WINE=1    skips everything but the static checks, and says so
set -uo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
dir=${ZAVIK_WINE_DIR:-$root/build/native/tests/wine}
results=$dir/results
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=" # no Mono or Gecko installers
export LC_ALL=C # the ANSI code page 1252

started=$(date +%s%N)
finish() { # code, what ran
    local code=$1
    shift
    [ -n "${WINEPREFIX:-}" ] && wineserver -k >/dev/null 2>&1 # ends what is left of this prefix
    local ms=$((($(date +%s%N) - started) / 1000000))
    printf 'wine %s: %d.%d s\n' "$*" $((ms / 1000)) $((ms % 1000 / 100))
    exit "$code"
}

bits() { [ "$1" == win32 ] && echo 32 || echo 64; }
loader_of() {
    if [ "$1" == win32 ]; then echo "${ZAVIK_WINE32_LOADER:-/usr/lib/wine/wine}"; else
        echo "${ZAVIK_WINE64_LOADER:-/usr/lib/wine/wine64}"; fi
}
bin_of() {
    if [ "$1" == win32 ]; then echo "${ZAVIK_WIN32_BIN:-$root/build/win32/bin}"; else
        echo "${ZAVIK_WIN64_BIN:-$root/build/win64/bin}"; fi
}

# Starts the loader of an ARCH. 0: it runs; 1: this host cannot execute it (the
# reason on standard output); 2: it is missing or broken.
probe() {
    local loader out code
    loader=$(loader_of "$1")
    if [ ! -x "$loader" ]; then
        echo "no Wine loader at $loader"
        return 2
    fi
    out=$("$loader" --version 2>&1)
    code=$?
    [ $code -eq 0 ] && return 0
    out=$(tail -1 <<<"$out" | sed "s/^.*: line [0-9]*: //")
    echo "$out"
    [ $code -eq 126 ] && grep -q 'Exec format error' <<<"$out" && return 1
    return 2
}

skip_if_asked() {
    if [ "${ZAVIK_SKIP_WINE:-}" == 1 ]; then
        echo "skipped on request (ZAVIK_SKIP_WINE=1)"
        exit 77
    fi
}

need() {
    local program
    for program in "$@"; do
        if [ ! -f "$program" ]; then
            echo "FAIL $program is missing (scripts/build builds it)"
            exit 1
        fi
    done
}

# Records how many checks of a run ran and passed, for the summary.
record() { # name ran passed
    mkdir -p "$results"
    echo "$2 $3" >"$results/$1"
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

# A virtual display of its own: other runs on this machine use theirs.
xvfb=(xvfb-run -a -n $((100 + $$ % 800)))

mode=${1:?mode}
case "$mode" in
host)
    skip_if_asked
    mkdir -p "$results"
    rm -f "$results"/win32-* "$results"/win64-*
    command -v xvfb-run >/dev/null || { echo "FAIL xvfb-run is missing"; exit 1; }
    runs=()
    failures=0
    for arch in win64 win32; do
        reason=$(probe $arch)
        case $? in
        0) echo "$arch: this host runs $(bits $arch)-bit Windows programs under Wine"; runs+=($arch) ;;
        1) echo "$arch: this host cannot run $(bits $arch)-bit programs: $reason"
           echo "$reason" >"$results/$arch-unable" ;;
        *) echo "FAIL $arch: $reason"; failures=$((failures + 1)) ;;
        esac
    done
    if [ ${#runs[@]} -eq 0 ]; then
        echo "FAIL this host runs neither the 32-bit nor the 64-bit Windows build under Wine"
        exit 1
    fi
    [ $failures -eq 0 ] && exit 0 || exit 1
    ;;
imports)
    program=$(bin_of win32)/zavik.exe
    need "$program"
    objdump=i686-w64-mingw32-objdump
    command -v $objdump >/dev/null || { echo "FAIL $objdump is missing"; finish 1 imports; }
    headers=$($objdump -p "$program") || finish 1 imports
    dlls=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers" | tr 'a-z' 'A-Z' | sort | tr '\n' ' ')
    ran=0
    failures=0
    expect() { # what, condition result
        ran=$((ran + 1))
        if [ "$2" -eq 0 ]; then echo "ok   $1"; else echo "FAIL $1"; failures=$((failures + 1)); fi
    }
    grep -q 'file format pei-i386' <<<"$headers"
    expect "a program for i386" $?
    grep -q 'Magic[[:space:]]*010b' <<<"$headers"
    expect "PE32" $?
    grep -q 'Subsystem[[:space:]]*00000002' <<<"$headers"
    expect "GUI subsystem" $?
    others=$(tr ' ' '\n' <<<"$dlls" | grep -v -x -E 'USER32.DLL|KERNEL32.DLL|WSOCK32.DLL|WINMM.DLL|MSVCRT.DLL|')
    [ -z "$others" ] && [ -n "$dlls" ]
    expect "imports only USER32, KERNEL32, WSOCK32, WINMM, msvcrt (it imports: $dlls)" $?
    record imports $ran $((ran - failures))
    [ $failures -eq 0 ] && finish 0 imports || finish 1 imports
    ;;
demo)
    arch=""
    for candidate in win32 win64; do
        if reason=$(probe $candidate); then arch=$candidate; break; fi
        echo "$candidate: $reason"
    done
    [ -n "$arch" ] || { echo "this host runs neither Windows build under Wine"; exit 1; }
    "$0" $arch prefix >/dev/null || { echo "the Wine prefix of $arch could not be made"; exit 1; }
    echo "zavik.exe: the $(bits $arch)-bit build"
    export WINEPREFIX=$dir/prefix-$arch WINEARCH=$arch
    "${xvfb[@]}" python3 "$root/tools/demo.py" "${ZAVIK_HEADLESS:-$root/build/native/bin/zavik-headless}" \
        --windows "$(loader_of $arch)" "$(bin_of $arch)"
    finish $? demo
    ;;
summary)
    if [ "${ZAVIK_SKIP_WINE:-}" == 1 ]; then
        echo "Wine: skipped on request (ZAVIK_SKIP_WINE=1)"
    fi
    total() { # files... -> "ran passed"
        local ran=0 passed=0 r p f
        for f in "$@"; do
            [ -f "$f" ] || continue
            read -r r p <"$f"
            ran=$((ran + r))
            passed=$((passed + p))
        done
        echo "$ran $passed"
    }
    code=0
    for arch in win64 win32; do
        [ "${ZAVIK_SKIP_WINE:-}" == 1 ] && continue
        if [ -f "$results/$arch-unable" ]; then
            echo "Wine, $arch: not run, this host cannot run $(bits $arch)-bit programs ($(cat "$results/$arch-unable"))"
            continue
        fi
        read -r ran passed < <(total "$results/$arch-panel" "$results/$arch-smoke" "$results/$arch-session")
        read -r pr pp < <(total "$results/$arch-panel")
        read -r sr sp < <(total "$results/$arch-smoke")
        read -r er ep < <(total "$results/$arch-session")
        echo "Wine, $arch: $ran checks ran, $passed passed (test program: $pp of $pr groups;" \
            "zavik.exe: $sp of $sr; link sessions: $ep of $er)"
        [ -f "$results/$arch-measured" ] && sed 's/^/  measured, /' "$results/$arch-measured"
        [ "$ran" -gt 0 ] && [ "$ran" -eq "$passed" ] || code=1
    done
    read -r ran passed < <(total "$results/imports")
    echo "zavik.exe, static: $ran checks ran, $passed passed"
    [ "$ran" -gt 0 ] && [ "$ran" -eq "$passed" ] || code=1
    exit $code
    ;;
esac

# The modes of one build.
arch=$mode
mode=${2:?mode}
[ "$arch" == win32 ] || [ "$arch" == win64 ] || { echo "unknown build $arch" >&2; exit 2; }
skip_if_asked
reason=$(probe "$arch")
case $? in
0) ;;
1) echo "not run: this host cannot run $(bits "$arch")-bit programs: $reason"; exit 77 ;;
*) echo "FAIL $reason"; exit 1 ;;
esac
loader=$(loader_of "$arch")
bin=$(bin_of "$arch")
export WINEPREFIX=$dir/prefix-$arch
export WINEARCH=$arch

case "$mode" in
prefix)
    if [ ! -f "$WINEPREFIX/zavik-ready" ]; then
        rm -rf "$WINEPREFIX"
        mkdir -p "$dir"
        timeout 100 "${xvfb[@]}" "$loader" wineboot -i
        code=$?
        # Without a window manager on the display, Wine would wait for one on every
        # window it hides: let Wine place the windows itself.
        timeout 30 "$loader" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f \
            || code=1
        timeout 30 wineserver -w
        [ -f "$WINEPREFIX/system.reg" ] || code=1
        [ $code -eq 0 ] || finish $code "$arch prefix"
        touch "$WINEPREFIX/zavik-ready"
    fi
    # A serial device for the test program: every open of COM9 is a new pseudo-terminal.
    ln -sfn /dev/ptmx "$WINEPREFIX/dosdevices/com9" || finish 1 "$arch prefix"
    # Wine's own fonts (Debian's fonts-wine), MS Sans Serif among them, where
    # Windows keeps its fonts: Debian's Wine does not put them into a prefix.
    fonts=/usr/share/wine/fonts
    if [ ! -f $fonts/sserife.fon ]; then
        echo "FAIL $fonts/sserife.fon is missing (Debian package fonts-wine)"
        finish 1 "$arch prefix"
    fi
    ln -sf "$fonts"/* "$WINEPREFIX/drive_c/windows/Fonts/" || finish 1 "$arch prefix"
    echo "prefix $WINEPREFIX is ready"
    finish 0 "$arch prefix"
    ;;

panel)
    need "$bin/zavik_wintest.exe"
    out=$(mktemp)
    timeout 100 "${xvfb[@]}" "$loader" "$bin/zavik_wintest.exe" >"$out" 2>&1
    code=$?
    cat "$out"
    passed=$(sed -n 's/^\([0-9]*\) passed, \([0-9]*\) failed.*/\1/p' "$out" | tail -1)
    failed=$(sed -n 's/^\([0-9]*\) passed, \([0-9]*\) failed.*/\2/p' "$out" | tail -1)
    if [ -z "$passed" ]; then # it ended before its count: one group more ran
        passed=$(grep -c '^ok   ' "$out")
        failed=1
    fi
    record "$arch-panel" $((passed + failed)) "$passed"
    rm -f "$out"
    finish $code "$arch panel"
    ;;

smoke)
    need "$bin/zavik.exe" "$bin/zavik_driver.exe"
    out=$(mktemp)
    # The driver reads the window (probe), then closes it (end of its input).
    printf 'probe\n' | timeout 100 "${xvfb[@]}" "$loader" "$bin/zavik_driver.exe" "$bin/zavik.exe" \
        2>"$out" >/dev/null
    code=$?
    ran=0
    failures=0
    value() { sed -n 's/^probe //p' "$out" | tr ' ' '\n' | sed -n "s/^$1=//p" | head -1 | tr -d '\r'; }
    expect() { # what, got, want
        ran=$((ran + 1))
        if [ "$2" == "$3" ]; then
            echo "ok   $1"
        else
            echo "FAIL $1: got '$2', want '$3'"
            failures=$((failures + 1))
        fi
    }
    expect "the driver found the window, and zavik.exe exited with 0 when it was closed" "$code" 0
    [ $code -eq 0 ] || cat "$out"
    expect "caption bytes" "$(value caption)" "$(hex 'Zavik 0.1')df"
    wide=$(value captionw)
    expect "caption ends in a sharp s" "${wide: -4}" "00df"
    log=$(value log)
    want=$(hex $'Initializing  WinSock...success\r\nInitializing packet event...success\r\n')
    expect "initial log" "$(unhex "$log")" "$(unhex "$want")" # every byte counts
    expect "buttons enabled (Settings, Connect, Listen)" "$(value buttons)" "1,0,0"
    style=$((16#$(value style)0 / 16))
    frame=$((style & 0x00CF0000)) # caption, system menu, minimise, maximise, sizing border
    expect "window style" "$(printf '%08x' $frame)" "$(printf '%08x' $((0x00C00000 | 0x00080000 | 0x00020000)))"
    expect "client area is the panel" "$(value fits | cut -d' ' -f1)" "1"
    record "$arch-smoke" $ran $((ran - failures))
    rm -f "$out"
    [ $failures -eq 0 ] && finish 0 "$arch smoke" || finish 1 "$arch smoke"
    ;;

session)
    headless=${ZAVIK_HEADLESS:-$root/build/native/bin/zavik-headless}
    need "$bin/zavik.exe" "$bin/zavik_driver.exe" "$headless"
    out=$(mktemp)
    rm -f "$results/$arch-measured"
    mkdir -p "$results"
    ZAVIK_WINE_MEASURED=$results/$arch-measured timeout 400 "${xvfb[@]}" \
        python3 "$root/tests/wine/session_test.py" "$loader" "$bin" "$headless" >"$out" 2>&1
    code=$?
    cat "$out"
    ran=$(sed -n 's/^Ran \([0-9]*\) tests\{0,1\} in .*/\1/p' "$out")
    failed=$(grep -o -E '(failures|errors)=[0-9]+' "$out" | cut -d= -f2 | awk '{ n += $1 } END { print n + 0 }')
    if [ -z "$ran" ]; then # it ended before its count: the sessions count as one failed
        ran=1
        failed=1
    fi
    record "$arch-session" "$ran" $((ran - ${failed:-0}))
    rm -f "$out"
    finish $code "$arch session"
    ;;

*)
    echo "unknown mode $mode" >&2
    exit 2
    ;;
esac
