#!/usr/bin/env python3
"""Cuts the program's window out of an XWD screen dump (the framebuffer file Xvfb keeps with
-fbdir), saves it as a PNG and checks what it shows: a black background, the red 6x6
black-hole marker at the centre of the 1920x1080 frame, and particles drawn only in the
galaxy's colours.

usage: screenshot.py SCREEN.xwd X Y WIDTH HEIGHT OUT.png
Pure Python (struct and zlib): no imaging library needed.
"""
import struct
import sys
import zlib

BLACK = (0, 0, 0)
RED = (255, 0, 0)
GOLD = (255, 200, 0)
BLUE_GREY = (80, 80, 100)
BLUE_WHITE = (200, 220, 255)


def read_xwd(path):
    """Returns (width, height, rows) with rows a list of bytes objects, 3 bytes per pixel."""
    with open(path, "rb") as f:
        data = f.read()
    # The header is 25 unsigned 32-bit fields in most-significant-byte-first order.
    fields = struct.unpack(">25I", data[:100])
    (header_size, _version, pixmap_format, depth, width, height, _xoffset, byte_order,
     _bitmap_unit, _bit_order, _pad, bits_per_pixel, bytes_per_line, _visual_class,
     red_mask, green_mask, blue_mask, _bits_per_rgb, _map_entries, ncolors) = fields[:20]
    if pixmap_format != 2 or bits_per_pixel not in (24, 32) or depth < 24:
        sys.exit(f"unsupported XWD: format {pixmap_format}, depth {depth}, bpp {bits_per_pixel}")
    start = header_size + 12 * ncolors  # pixels follow the window name and the colour map
    step = bits_per_pixel // 8
    order = "little" if byte_order == 0 else "big"

    def shift(mask):
        return (mask & -mask).bit_length() - 1

    shifts = (shift(red_mask), shift(green_mask), shift(blue_mask))
    rows = []
    for y in range(height):
        line = data[start + y * bytes_per_line:start + y * bytes_per_line + width * step]
        out = bytearray(width * 3)
        for x in range(width):
            value = int.from_bytes(line[x * step:(x + 1) * step], order)
            out[3 * x] = (value & red_mask) >> shifts[0]
            out[3 * x + 1] = (value & green_mask) >> shifts[1]
            out[3 * x + 2] = (value & blue_mask) >> shifts[2]
        rows.append(bytes(out))
    return width, height, rows


def write_png(path, rows, width, height):
    def chunk(kind, payload):
        body = kind + payload
        return struct.pack(">I", len(payload)) + body + struct.pack(">I", zlib.crc32(body))

    raw = b"".join(b"\x00" + row for row in rows)  # filter type 0 on every row
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(raw, 9)))
        f.write(chunk(b"IEND", b""))


def main():
    if len(sys.argv) != 7:
        sys.exit(__doc__)
    path, out = sys.argv[1], sys.argv[6]
    left, top, width, height = (int(v) for v in sys.argv[2:6])
    screen_w, screen_h, screen = read_xwd(path)
    if left < 0 or top < 0 or left + width > screen_w or top + height > screen_h:
        sys.exit(f"window {width}x{height}+{left}+{top} is not inside the screen")
    rows = [screen[top + y][3 * left:3 * (left + width)] for y in range(height)]
    write_png(out, rows, width, height)

    def pixel(x, y):
        return tuple(rows[y][3 * x:3 * x + 3])

    failures = []
    counts = {}
    for y in range(height):
        row = rows[y]
        for x in range(width):
            c = tuple(row[3 * x:3 * x + 3])
            counts[c] = counts.get(c, 0) + 1

    # The marker: exactly the 6x6 square from (957, 537) to (962, 542), and nothing else red.
    for y in range(537, 543):
        for x in range(957, 963):
            if pixel(x, y) != RED:
                failures.append(f"marker pixel ({x}, {y}) is {pixel(x, y)}")
    for x, y in ((956, 540), (963, 540), (960, 536), (960, 543)):
        if pixel(x, y) == RED:
            failures.append(f"red outside the marker at ({x}, {y})")
    if counts.get(RED, 0) != 36:
        failures.append(f"{counts.get(RED, 0)} red pixels, expected the marker's 36")

    total = width * height
    black = counts.get(BLACK, 0)
    if black < 0.8 * total:
        failures.append(f"only {black} of {total} pixels are black background")
    for corner in ((0, 0), (width - 1, 0), (0, height - 1), (width - 1, height - 1)):
        if pixel(*corner) not in (BLACK, BLUE_GREY, BLUE_WHITE):
            failures.append(f"corner {corner} is {pixel(*corner)}")
    others = {c: n for c, n in counts.items() if c not in (BLACK, RED, GOLD, BLUE_GREY, BLUE_WHITE)}
    if others:
        failures.append(f"colours outside the palette: {sorted(others.items())[:8]}")
    # Bulge and disk stars (one solar mass) and halo stars (ten, outside the inner zone).
    if counts.get(BLUE_WHITE, 0) < 1000:
        failures.append(f"only {counts.get(BLUE_WHITE, 0)} pale blue-white particle pixels")
    if counts.get(BLUE_GREY, 0) < 50:
        failures.append(f"only {counts.get(BLUE_GREY, 0)} blue-grey halo particle pixels")

    print(f"{width}x{height}: black {black}, blue-white {counts.get(BLUE_WHITE, 0)}, "
          f"blue-grey {counts.get(BLUE_GREY, 0)}, gold {counts.get(GOLD, 0)}, "
          f"red {counts.get(RED, 0)}; saved {out}")
    for failure in failures:
        print("FAIL:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
