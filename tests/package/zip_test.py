#!/usr/bin/env python3
"""The Windows zip: made by CPack from the 32-bit build, it holds zavik.exe (a
32-bit Windows GUI program) and README.txt with Windows line ends, in a folder
named for the release.

Usage: zip_test.py <the 32-bit build directory>"""
import glob
import struct
import subprocess
import sys
import tempfile
import zipfile

build = sys.argv[1]
with tempfile.TemporaryDirectory() as out:
    subprocess.run(["cpack", "--config", build + "/CPackConfig.cmake", "-B", out, "-G", "ZIP"],
                   check=True, stdout=subprocess.DEVNULL)
    (path,) = glob.glob(out + "/zavik-*-windows-x86.zip")
    folder = path[len(out) + 1:-len(".zip")]
    with zipfile.ZipFile(path) as z:
        names = sorted(n for n in z.namelist() if not n.endswith("/"))
        assert names == [folder + "/README.txt", folder + "/zavik.exe"], names
        exe = z.read(folder + "/zavik.exe")
        readme = z.read(folder + "/README.txt")

pe = struct.unpack_from("<I", exe, 0x3C)[0]
assert exe[:2] == b"MZ" and exe[pe:pe + 4] == b"PE\0\0", "not a PE file"
assert struct.unpack_from("<H", exe, pe + 4)[0] == 0x14C, "not i386"
assert struct.unpack_from("<H", exe, pe + 24 + 68)[0] == 2, "not the GUI subsystem"
lines = readme.split(b"\r\n")
assert len(lines) > 10 and all(b"\n" not in line and b"\r" not in line for line in lines), \
    "README.txt lines must end with CR LF"
assert b"@PROJECT_VERSION@" not in readme
print("zip ok:", folder, len(exe), "bytes of zavik.exe,", len(lines) - 1, "lines of README.txt")
