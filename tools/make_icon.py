#!/usr/bin/env python3
"""Draws Zavik's program icon: two consoles joined by a Z-shaped link cable.

Writes one 32 x 32 image in the 16 standard Windows colours as an .ico file
(default: src/ui/win32/zavik.ico). Run with --preview to print the picture.
With --desktop [DIR] it writes the same picture for Linux desktops instead
(default: src/ui/gtk/icons): PNG images of 32, 64 and 256 pixels, each pixel
of the icon a square block, and an SVG image of square cells.
"""
import struct
import sys
import zlib
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
PNG_SIZES = (32, 64, 256)

SIZE = 32
# The 16-colour palette, as (red, green, blue).
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
BLACK, NAVY, SILVER, GRAY, RED, LIME, YELLOW, BLUE, WHITE = 0, 4, 7, 8, 9, 10, 11, 12, 15
CLEAR = None  # transparent

CHARS = {CLEAR: ".", BLACK: "k", NAVY: "n", SILVER: "s", GRAY: "g", RED: "r", LIME: "l",
         YELLOW: "y", BLUE: "b", WHITE: "w"}


def new_canvas():
    return [[CLEAR] * SIZE for _ in range(SIZE)]


def fill(canvas, x0, y0, x1, y1, colour):
    for y in range(y0, y1 + 1):
        for x in range(x0, x1 + 1):
            canvas[y][x] = colour


def frame(canvas, x0, y0, x1, y1, colour):
    for x in range(x0, x1 + 1):
        canvas[y0][x] = canvas[y1][x] = colour
    for y in range(y0, y1 + 1):
        canvas[y][x0] = canvas[y][x1] = colour


def console(canvas, x0, y0):
    """A console seen from above, 12 x 9: body, lid, power light, two ports."""
    x1, y1 = x0 + 11, y0 + 8
    fill(canvas, x0, y0, x1, y1, SILVER)
    frame(canvas, x0, y0, x1, y1, BLACK)
    # the round lid, drawn as an octagon
    fill(canvas, x0 + 4, y0 + 1, x0 + 7, y0 + 5, GRAY)
    fill(canvas, x0 + 3, y0 + 2, x0 + 8, y0 + 4, GRAY)
    canvas[y0 + 3][x0 + 5] = canvas[y0 + 3][x0 + 6] = WHITE
    # power light and the two controller ports
    canvas[y0 + 2][x0 + 1] = LIME
    fill(canvas, x0 + 2, y0 + 7, x0 + 4, y0 + 7, NAVY)
    fill(canvas, x0 + 7, y0 + 7, x0 + 9, y0 + 7, NAVY)
    # highlight along the top and left edges
    for x in range(x0 + 1, x1):
        if canvas[y0 + 1][x] == SILVER:
            canvas[y0 + 1][x] = WHITE


def zig(canvas):
    """The Z: two bars and a diagonal, yellow with a black outline."""
    body = set()
    for x in range(5, 27):
        body.update({(x, 12), (x, 13), (x, 18), (x, 19)})
    # the diagonal from the top bar's right end to the bottom bar's left end,
    # a band seven pixels wide that moves left row by row
    for y in range(14, 18):
        centre = round(22 - (y - 14) * 14 / 3)
        for x in range(centre - 3, centre + 4):
            body.add((x, y))
    # outline first, then the body over it
    for (x, y) in body:
        for dx in (-1, 0, 1):
            for dy in (-1, 0, 1):
                if 0 <= x + dx < SIZE and 0 <= y + dy < SIZE:
                    canvas[y + dy][x + dx] = BLACK
    for (x, y) in body:
        canvas[y][x] = YELLOW
    # the cable leaves through the bars' ends
    for y in range(10, 11):
        canvas[y][24] = BLUE
        canvas[y][25] = BLUE
    for y in range(21, 22):
        canvas[y][6] = BLUE
        canvas[y][7] = BLUE


def draw():
    canvas = new_canvas()
    console(canvas, 19, 1)
    console(canvas, 1, 22)
    zig(canvas)
    return canvas


def ico_bytes(canvas):
    header = struct.pack("<HHH", 0, 1, 1)
    # XOR image: 4 bits per pixel, rows bottom-up, each row 16 bytes.
    pixels = bytearray()
    for y in reversed(range(SIZE)):
        row = [c if c is not None else BLACK for c in canvas[y]]
        for x in range(0, SIZE, 2):
            pixels.append((row[x] << 4) | row[x + 1])
    # AND mask: 1 bit per pixel, 1 = transparent, rows bottom-up, 4 bytes each.
    mask = bytearray()
    for y in reversed(range(SIZE)):
        bits = 0
        for x in range(SIZE):
            bits = (bits << 1) | (1 if canvas[y][x] is None else 0)
        mask += bits.to_bytes(4, "big")
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in PALETTE)
    info = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 4, 0,
                       len(pixels) + len(mask), 0, 0, 16, 0)
    image = info + palette + bytes(pixels) + bytes(mask)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 16, 0, 1, 4, len(image), 6 + 16)
    return header + entry + image


def png_bytes(canvas, size):
    """RGBA, each icon pixel a block of size / 32 pixels square."""
    scale = size // SIZE
    rows = bytearray()
    for y in range(size):
        rows.append(0)  # no filter
        for x in range(size):
            c = canvas[y // scale][x // scale]
            rows += bytes((0, 0, 0, 0)) if c is None else bytes(PALETTE[c] + (255,))

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
            + chunk(b"IDAT", zlib.compress(bytes(rows), 9)) + chunk(b"IEND", b""))


def svg_text(canvas):
    """One rectangle per run of a colour along a row."""
    rects = []
    for y, row in enumerate(canvas):
        x = 0
        while x < SIZE:
            c, start = row[x], x
            while x < SIZE and row[x] == c:
                x += 1
            if c is not None:
                rects.append('<rect x="%d" y="%d" width="%d" height="1" fill="#%02x%02x%02x"/>'
                             % ((start, y, x - start) + PALETTE[c]))
    return ('<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" viewBox="0 0 %d %d" '
            'shape-rendering="crispEdges">\n%s\n</svg>\n' % (SIZE, SIZE, SIZE, SIZE, "\n".join(rects)))


def write(path, data):
    path.write_bytes(data)
    print(f"wrote {path} ({path.stat().st_size} bytes)")


def main(argv):
    canvas = draw()
    if "--preview" in argv:
        for row in canvas:
            print("".join(CHARS[c] for c in row))
        return 0
    paths = [a for a in argv if not a.startswith("--")]
    if "--desktop" in argv:
        folder = Path(paths[0]) if paths else ROOT / "src/ui/gtk/icons"
        folder.mkdir(parents=True, exist_ok=True)
        for size in PNG_SIZES:
            write(folder / f"zavik-{size}.png", png_bytes(canvas, size))
        write(folder / "zavik.svg", svg_text(canvas).encode("ascii"))
        return 0
    write(Path(paths[0]) if paths else ROOT / "src/ui/win32/zavik.ico", ico_bytes(canvas))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
