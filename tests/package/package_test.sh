#!/usr/bin/env bash
# The Debian packages: made by CPack from this build, installed and removed
# with dpkg (as root), their files checked, and the systemd unit's command line
# run by hand with a pseudo-terminal as the instance's serial device: it must
# listen on UDP port 3975 and end with 0 on SIGTERM. The packages are removed
# however the test ends.
#
# Usage: package_test.sh <build directory>
set -euo pipefail
build=$1
[[ $(id -u) -eq 0 ]] || { echo "package_test: needs root (dpkg -i)" >&2; exit 1; }
for p in zavik zavik-gtk; do
  if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed"; then
    echo "package_test: $p is installed on this machine; the test would remove it" >&2
    exit 1
  fi
done

work=$(mktemp -d /tmp/zavik_package_XXXXXX)
installed=0
cleanup() {
  if ((installed)); then dpkg -r zavik zavik-gtk >/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "package_test: $*" >&2; exit 1; }

cpack --config "$build/CPackConfig.cmake" -B "$work" -G DEB >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; fail "cpack failed"; }
debs=("$work"/zavik_*.deb)
files=(/usr/bin/zavik /usr/bin/zavik-headless /usr/share/man/man1/zavik.1.gz
       /usr/lib/systemd/system/zavik-listen@.service)
gtk=$(compgen -G "$work/zavik-gtk_*.deb" || true) # a build with the desktop window
if [[ -n $gtk ]]; then
  debs+=("$gtk")
  files+=(/usr/bin/zavik-gtk /usr/share/applications/zavik-gtk.desktop
          /usr/share/icons/hicolor/scalable/apps/zavik.svg)
fi
installed=1
dpkg -i "${debs[@]}" >/dev/null

for f in "${files[@]}"; do [[ -f $f ]] || fail "$f not installed"; done
[[ $(/usr/bin/zavik --version) == "zavik 0.1" ]] || fail "zavik --version"
zcat /usr/share/man/man1/zavik.1.gz | grep -q '^\.SH EXIT STATUS' || fail "man page"
dpkg-deb -f "$work"/zavik_*.deb Depends | grep -q 'libc6' || fail "no Depends from shlibdeps"
[[ -z $gtk ]] || dpkg-deb -f "$gtk" Depends | grep -q 'libgtk-3-0' || fail "zavik-gtk Depends"

unit=/usr/lib/systemd/system/zavik-listen@.service
grep -qx 'DynamicUser=yes' "$unit" || fail "unit: no DynamicUser"
grep -qx 'SupplementaryGroups=dialout' "$unit" || fail "unit: not in dialout"
exec_start=$(sed -n 's/^ExecStart=//p' "$unit")

# The unit's command for the instance of a pseudo-terminal (pts/N: %I is
# /dev/pts/N's name under /dev), run for a few seconds.
python3 - "$exec_start" <<'PY' || fail "the unit's command did not listen"
import errno, os, shlex, socket, subprocess, sys, time
master, slave = os.openpty()
instance = os.ttyname(slave)[len("/dev/"):]
command = shlex.split(sys.argv[1].replace("%I", instance))
print("package_test: running", " ".join(command))
p = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
os.set_blocking(p.stdout.fileno(), False)
out, deadline = b"", time.monotonic() + 10
while b"Listening for connection ..." not in out and time.monotonic() < deadline:
    time.sleep(0.1)
    out += p.stdout.read() or b""
time.sleep(2)  # it keeps listening
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
try:
    s.bind(("0.0.0.0", 3975))
    taken = False
except OSError as e:
    taken = e.errno == errno.EADDRINUSE
p.terminate()
code = p.wait(10)
out += p.stdout.read() or b""
print(out.decode("latin-1"))
sys.exit(0 if b"Listening for connection ..." in out and taken and code == 0 else 1)
PY

installed=0
dpkg -r zavik zavik-gtk >/dev/null
for f in "${files[@]}"; do [[ ! -e $f ]] || fail "$f left after dpkg -r"; done
echo "package_test: installed, listened, removed"
