#!/usr/bin/env python3
"""Cuts the program's window out of an XWD screen dump (the framebuffer file Xvfb keeps with
-fbdir), saves it as a PNG and checks what it shows: a black background, the red 6x6
black-hole marker at the centre of the 1920x1080 frame, and particles drawn only in the
galaxy's colours.

With --scaled, the window may have any size: the 1920x1080 frame must be shown whole,
scaled into it with its aspect kept and black bars beside or above and below it, the marker
at the centre of that picture. Given FULL.png, a screenshot of the same paused frame at
1920x1080 (from a run without --scaled), every particle seen there must light the screen
pixel it lands on when scaled, and every lit pixel must come from one.

usage: screenshot.py [--scaled] SCREEN.xwd X Y WIDTH HEIGHT OUT.png [FULL.png]
Pure Python (struct and zlib): no imaging library needed.
"""
import math
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


def read_png(path):
    """Reads back a PNG that write_png wrote: (width, height, rows)."""
    with open(path, "rb") as f:
        data = f.read()
    width, height = struct.unpack(">II", data[16:24])
    raw = zlib.decompress(data[41:data.index(b"IEND") - 8])
    stride = 1 + 3 * width
    return width, height, [raw[y * stride + 1:(y + 1) * stride] for y in range(height)]


def picture_rect(width, height):
    """Where a letterboxed 1920x1080 frame lies in a width x height output, as SDL places it:
    (left, top, picture width, picture height), the left or top possibly half a pixel in."""
    if abs(1920 / 1080 - width / height) < 0.0001:
        return 0.0, 0.0, float(width), float(height)
    if 1920 / 1080 > width / height:
        shown = math.floor(1080 * width / 1920)
        return 0.0, (height - shown) / 2, float(width), float(shown)
    shown = math.floor(1920 * height / 1080)
    return (width - shown) / 2, 0.0, float(shown), float(height)


def check_scaled(rows, width, height, full):
    def pixel(x, y):
        return tuple(rows[y][3 * x:3 * x + 3])

    failures = []
    left, top, shown_w, shown_h = picture_rect(width, height)
    scale = shown_w / 1920
    inside_x = range(math.ceil(left), math.floor(left + shown_w))
    inside_y = range(math.ceil(top), math.floor(top + shown_h))
    red = []
    bands = {"left": 0, "right": 0, "top": 0, "bottom": 0}
    for y in range(height):
        for x in range(width):
            c = pixel(x, y)
            if c not in (BLACK, RED, GOLD, BLUE_GREY, BLUE_WHITE):
                failures.append(f"({x}, {y}) is {c}, outside the palette")
                continue
            if x not in inside_x or y not in inside_y:
                # The bars must be black; a pixel the picture's border half covers may not.
                in_border = (math.floor(left) <= x < math.ceil(left + shown_w) and
                             math.floor(top) <= y < math.ceil(top + shown_h))
                if c != BLACK and not in_border:
                    failures.append(f"the bar at ({x}, {y}) is {c}, not black")
                continue
            if c == RED:
                red.append((x, y))
            elif c != BLACK:
                u, v = (x - left) / shown_w, (y - top) / shown_h
                bands["left"] += u < 0.1
                bands["right"] += u > 0.9
                bands["top"] += v < 0.1
                bands["bottom"] += v > 0.9
    if not red:
        failures.append("no red marker")
    else:
        xs, ys = [p[0] for p in red], [p[1] for p in red]
        mid_x, mid_y = (min(xs) + max(xs) + 1) / 2, (min(ys) + max(ys) + 1) / 2
        want_x, want_y = left + shown_w / 2, top + shown_h / 2
        if abs(mid_x - want_x) > 1.5 or abs(mid_y - want_y) > 1.5:
            failures.append(f"the marker's centre is ({mid_x}, {mid_y}), "
                            f"not the picture's centre ({want_x}, {want_y})")
        side = 6 * scale
        if max(xs) - min(xs) + 1 > side + 2 or max(ys) - min(ys) + 1 > side + 2:
            failures.append(f"the marker spans {max(xs) - min(xs) + 1}x{max(ys) - min(ys) + 1}"
                            f" pixels, expected about {side:.1f}")
    # The whole frame is in view: the galaxy's outskirts reach every side of the picture.
    for band, count in bands.items():
        if count < 5:
            failures.append(f"only {count} particle pixels along the picture's {band} side")

    if full is not None:
        _, _, full_rows = full
        lit_small = set()
        for y in inside_y:
            for x in inside_x:
                if pixel(x, y) not in (BLACK, RED):
                    lit_small.add((x, y))
        landed = set()
        missing = 0
        for y in range(1080):
            for x in range(1920):
                c = tuple(full_rows[y][3 * x:3 * x + 3])
                if c in (BLACK, RED):
                    continue
                # The screen pixel that frame pixel lands on, and its neighbours (rounding).
                sx = math.floor(left + (x + 0.5) * scale)
                sy = math.floor(top + (y + 0.5) * scale)
                near = [(sx + i, sy + j) for i in (-1, 0, 1) for j in (-1, 0, 1)]
                if any(p in lit_small for p in near):
                    landed.update(p for p in near if p in lit_small)
                elif not (956 <= x <= 963 and 536 <= y <= 543):  # beside the marker
                    missing += 1
        if missing:
            failures.append(f"{missing} particles of the full-size frame are not seen scaled")
        # Particles under the full-size marker may show beside the smaller one, and those
        # within a pixel of the frame's last column or row, which an OpenGL renderer rounds
        # out of the full-size frame, along the picture's far sides.
        centre_x, centre_y = left + shown_w / 2, top + shown_h / 2
        reach = 4 + 3 * scale
        stray = [(x, y) for (x, y) in lit_small - landed
                 if (abs(x + 0.5 - centre_x) > reach or abs(y + 0.5 - centre_y) > reach) and
                 x != inside_x[-1] and y != inside_y[-1]]
        if stray:
            failures.append(f"{len(stray)} lit pixels come from no particle of the full-size "
                            f"frame: {sorted(stray)[:5]}")
    print(f"{width}x{height}: picture {shown_w:.0f}x{shown_h:.0f} at ({left}, {top}), "
          f"{len(red)} red pixels, sides {bands}")
    return failures


def main():
    args = sys.argv[1:]
    scaled = bool(args) and args[0] == "--scaled"
    if scaled:
        args = args[1:]
    if len(args) not in ((6, 7) if scaled else (6,)):
        sys.exit(__doc__)
    path, out = args[0], args[5]
    left, top, width, height = (int(v) for v in args[1:5])
    screen_w, screen_h, screen = read_xwd(path)
    if left < 0 or top < 0 or left + width > screen_w or top + height > screen_h:
        sys.exit(f"window {width}x{height}+{left}+{top} is not inside the screen")
    rows = [screen[top + y][3 * left:3 * (left + width)] for y in range(height)]
    write_png(out, rows, width, height)
    if scaled:
        failures = check_scaled(rows, width, height, read_png(args[6]) if len(args) == 7 else None)
        for failure in failures[:20]:
            print("FAIL:", failure)
        return 1 if failures else 0

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
