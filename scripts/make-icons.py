#!/usr/bin/env python3
"""make-icons.py: draws the program's icons and the tool-button strip into ui/res/.

    Tollgate.ico   program icon (16, 20, 24, 32 and 48 pixels, 32-bit with alpha)
    TrayOn.ico     tray, server started   (16, 20, 24 and 32 pixels, 32-bit with alpha)
    TrayOff.ico    tray, server stopped   (16, 20, 24 and 32 pixels, 32-bit with alpha)
    TrayOn16.ico   tray, server started   (16, 20, 24 and 32 pixels, 16 colours, for systems without
                   alpha icons)
    TrayOff16.ico  tray, server stopped   (the same sizes, 16 colours)
    Tools.bmp      three 16x16 tool-button images (add, remove, modify), magenta = transparent

The pictures are shapes sampled 4x4 per pixel, so edges are smooth in the alpha icons. The
started and stopped states differ in colour and in shape (the stopped icon carries a red bar),
so they can be told apart at 16x16 without relying on colour alone. The tray shows small icons,
whose size follows the display's scaling (16 pixels at 100 %, 20 at 125 %, 24 at 150 %, 32 at
200 %): every tray icon carries an image drawn for each of those sizes. Standard library only; run
again after changing a shape and commit the files.
"""
import os
import struct
import sys

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "ui", "res")

# Colours (r, g, b).
WHITE = (255, 255, 255)
GREEN = (24, 150, 52)
GREEN_DARK = (10, 95, 30)
GREY = (128, 128, 128)
GREY_DARK = (72, 72, 72)
RED = (210, 24, 24)
BLUE = (30, 90, 180)
BLUE_DARK = (15, 50, 115)
YELLOW = (245, 200, 40)
BLACK = (0, 0, 0)
MAGENTA = (255, 0, 255)


def circle(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def rect(x0, y0, x1, y1):
    return lambda x, y: x0 <= x < x1 and y0 <= y < y1


def render(size, layers, ss=4):
    """layers: list of (shape(x, y) in 0..16 units, colour). Returns rows of (r, g, b, a)."""
    scale = 16.0 / size
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(ss):
                for sx in range(ss):
                    x = (px + (sx + 0.5) / ss) * scale
                    y = (py + (sy + 0.5) / ss) * scale
                    colour = None
                    for shape, c in layers:
                        if shape(x, y):
                            colour = c
                    if colour is not None:
                        acc[0] += colour[0]
                        acc[1] += colour[1]
                        acc[2] += colour[2]
                        acc[3] += 1
            n = ss * ss
            if acc[3]:
                row.append((round(acc[0] / acc[3]), round(acc[1] / acc[3]), round(acc[2] / acc[3]),
                            round(255 * acc[3] / n)))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def letter_t():
    # A bold "T" in the middle of a 16-unit square.
    return [(rect(4, 3.5, 12, 6), WHITE), (rect(6.75, 3.5, 9.25, 12.5), WHITE)]


def tray_layers(started):
    if started:
        return [(circle(8, 8, 7.6), GREEN_DARK), (circle(8, 8, 6.6), GREEN)] + letter_t()
    # Stopped: grey disc and a red "no entry" bar across the bottom, unmistakable at 16x16.
    return ([(circle(8, 8, 7.6), GREY_DARK), (circle(8, 8, 6.6), GREY)] + letter_t()
            + [(rect(1, 10.5, 15, 15), WHITE), (rect(2, 11.5, 14, 14), RED)])


def program_layers():
    return [(circle(8, 8, 7.6), BLUE_DARK), (circle(8, 8, 6.6), BLUE)] + letter_t() + \
        [(rect(4, 12.5, 6, 14), YELLOW), (rect(7, 12.5, 9, 14), YELLOW), (rect(10, 12.5, 12, 14), YELLOW)]


def and_mask(rows, size):
    stride = ((size + 31) // 32) * 4
    out = b""
    for row in reversed(rows):
        bits = bytearray(stride)
        for x, p in enumerate(row):
            if p[3] < 128:
                bits[x // 8] |= 0x80 >> (x % 8)
        out += bytes(bits)
    return out


def image_32(rows, size):
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b"".join(struct.pack("BBBB", p[2], p[1], p[0], p[3]) for row in reversed(rows) for p in row)
    return header + pixels + and_mask(rows, size)


# The 16 colours of the standard VGA palette, for the icons of systems without alpha icons.
VGA = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128), (0, 128, 128),
       (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0), (0, 0, 255),
       (255, 0, 255), (0, 255, 255), (255, 255, 255)]


def nearest_vga(c):
    return min(range(16), key=lambda i: sum((a - b) ** 2 for a, b in zip(VGA[i], c)))


def image_4(rows, size):
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b"".join(struct.pack("BBBB", c[2], c[1], c[0], 0) for c in VGA)
    stride = ((size * 4 + 31) // 32) * 4
    pixels = b""
    for row in reversed(rows):
        line = bytearray(stride)
        for x, p in enumerate(row):
            index = nearest_vga(p[:3]) if p[3] >= 128 else 0
            line[x // 2] |= index << (4 if x % 2 == 0 else 0)
        pixels += bytes(line)
    return header + palette + pixels + and_mask(rows, size)


def write_ico(name, images):
    """images: list of (size, colour count for the directory, bits per pixel, data)."""
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, colours, bpp, data in images:
        out += struct.pack("<BBBBHHII", size % 256, size % 256, colours, 0, 1, bpp, len(data), offset)
        offset += len(data)
    for _, _, _, data in images:
        out += data
    with open(os.path.join(OUT, name), "wb") as f:
        f.write(out)


def tool_layers(kind):
    if kind == "add":  # green plus
        return [(rect(6.5, 2.5, 9.5, 13.5), GREEN_DARK), (rect(2.5, 6.5, 13.5, 9.5), GREEN_DARK),
                (rect(7.25, 3.25, 8.75, 12.75), GREEN), (rect(3.25, 7.25, 12.75, 8.75), GREEN)]
    if kind == "remove":  # red minus
        return [(rect(2.5, 6.5, 13.5, 9.5), (140, 10, 10)), (rect(3.25, 7.25, 12.75, 8.75), RED)]
    # modify: a yellow pencil, tip at the bottom left
    def band(lo, hi, t0, t1):
        return lambda x, y: lo <= (16 - x + y) <= hi and t0 <= (16 - x - y) <= t1
    return [(band(8, 18, -3, 3), BLACK), (band(9, 17, -2, 2), YELLOW),
            (band(6, 9.5, -3, 3), (220, 120, 120)), (band(18, 24, -3, 3), (230, 200, 160)),
            (band(21.5, 24, -1.2, 1.2), BLACK)]


def write_tools_bmp(name):
    # 24-bit BMP (version 3 header), 48x16: hard edges on magenta, which the image list masks.
    width, height = 48, 16
    images = [render(16, tool_layers(k), ss=1) for k in ("add", "remove", "modify")]
    stride = (width * 3 + 3) & ~3
    pixels = b""
    for y in reversed(range(height)):
        line = bytearray()
        for i in range(3):
            for p in images[i][y]:
                c = p[:3] if p[3] >= 128 else MAGENTA
                line += bytes((c[2], c[1], c[0]))
        line += bytes(stride - len(line))
        pixels += bytes(line)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    head = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(pixels), 0, 0, 14 + len(info))
    with open(os.path.join(OUT, name), "wb") as f:
        f.write(head + info + pixels)


# The small-icon sizes of 100, 125, 150 and 200 % display scaling.
TRAY_SIZES = (16, 20, 24, 32)


def main():
    os.makedirs(OUT, exist_ok=True)
    write_ico("Tollgate.ico", [(n, 0, 32, image_32(render(n, program_layers()), n)) for n in (16, 20, 24, 32, 48)])
    for started, name in ((True, "TrayOn"), (False, "TrayOff")):
        write_ico(name + ".ico", [(n, 0, 32, image_32(render(n, tray_layers(started)), n)) for n in TRAY_SIZES])
        write_ico(name + "16.ico",
                  [(n, 16, 4, image_4(render(n, tray_layers(started), ss=1), n)) for n in TRAY_SIZES])
    write_tools_bmp("Tools.bmp")
    return 0


if __name__ == "__main__":
    sys.exit(main())
