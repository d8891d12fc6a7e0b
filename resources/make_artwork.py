#!/usr/bin/env python3
"""Draws the launcher's pictures: the splash background (550 x 313, a mountain tarn in a pine
wood at dusk, with a calm dark band along the bottom edge for the status line on the left and
the site label on the right) and the 8 x 8 close mark. Standard library only.

    make_artwork.py [DIR]     write splash.png and close.png into DIR (default: beside this file)
    make_artwork.py --check   exit 1 unless the committed pictures are exactly what it draws
"""
import math
import os
import struct
import sys
import zlib

WIDTH, HEIGHT = 550, 313
SHORE = 204          # far shore line of the tarn
LAKE_BOTTOM = 262    # near shore
BAND_TOP = 272       # from here down the picture stays dark and calm for text


def clamp(value, low=0.0, high=1.0):
    return low if value < low else high if value > high else value


def mix(a, b, t):
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(3))


def gradient(stops, position):
    for (p0, c0), (p1, c1) in zip(stops, stops[1:]):
        if position <= p1:
            return mix(c0, c1, clamp((position - p0) / (p1 - p0)))
    return stops[-1][1]


class Canvas:
    def __init__(self, width, height):
        self.width, self.height = width, height
        self.rows = [[(0.0, 0.0, 0.0)] * width for _ in range(height)]

    def blend(self, x, y, colour, alpha):
        if 0 <= x < self.width and 0 <= y < self.height and alpha > 0:
            self.rows[y][x] = mix(self.rows[y][x], colour, clamp(alpha))

    def scanlines(self):
        data = bytearray()
        for row in self.rows:
            data.append(0)  # filter type: none
            for r, g, b in row:
                data += bytes((int(clamp(r / 255) * 255 + 0.5), int(clamp(g / 255) * 255 + 0.5),
                               int(clamp(b / 255) * 255 + 0.5)))
        return bytes(data)


class Random:
    """A small linear congruential generator: the same picture on every machine."""

    def __init__(self, seed):
        self.state = seed

    def next(self):
        self.state = (self.state * 1103515245 + 12345) & 0x7FFFFFFF
        return self.state / 0x7FFFFFFF


SKY = [(0, (14, 18, 44)), (80, (40, 40, 86)), (140, (118, 72, 104)), (185, (214, 120, 86)),
       (SHORE, (240, 166, 98))]


def far_ridge(x):
    return 150 + 13 * math.sin(x / 53 + 1) + 8 * math.sin(x / 23 + 2) + 4 * math.sin(x / 9.7)


def near_ridge(x):
    return 176 + 11 * math.sin(x / 71 + 4) + 6 * math.sin(x / 31) + 3 * math.sin(x / 13 + 1)


def pine_half_width(depth, height, width, tiers):
    """Half width of a pine at `depth` pixels below its tip: stacked, drooping tiers."""
    if depth < 0 or depth > height:
        return -1.0
    along = depth / height
    tier = min(int(along * tiers), tiers - 1)
    inside = along * tiers - tier
    spread = width * (0.35 + 0.65 * (tier + 1) / tiers)
    return spread * (0.25 + 0.75 * inside) * along ** 0.35


def draw_pine(canvas, centre, base, height, width, colour, tiers=6):
    top = base - height
    for y in range(max(0, int(top)), min(canvas.height, int(base) + 1)):
        half = pine_half_width(y + 0.5 - top, height, width, tiers)
        half = max(half, width * 0.06)  # the trunk
        for x in range(max(0, int(centre - half - 1)), min(canvas.width, int(centre + half + 2))):
            canvas.blend(x, y, colour, half + 0.5 - abs(x + 0.5 - centre))


# Letters on a 4 x 7 grid as strokes; rounded corners come from the pen.
LETTERS = {
    "T": [((0, 0), (4, 0)), ((2, 0), (2, 7))],
    "A": [((0, 7), (2, 0)), ((2, 0), (4, 7)), ((0.9, 4.6), (3.1, 4.6))],
    "R": [((0, 7), (0, 0)), ((0, 0), (3, 0)), ((3, 0), (4, 1)), ((4, 1), (4, 2.6)), ((4, 2.6), (3, 3.6)),
          ((3, 3.6), (0, 3.6)), ((2.2, 3.6), (4, 7))],
    "N": [((0, 7), (0, 0)), ((0, 0), (4, 7)), ((4, 7), (4, 0))],
    "W": [((0, 0), (0.9, 7)), ((0.9, 7), (2, 2.8)), ((2, 2.8), (3.1, 7)), ((3.1, 7), (4, 0))],
    "O": [((1, 0), (3, 0)), ((3, 0), (4, 1)), ((4, 1), (4, 6)), ((4, 6), (3, 7)), ((3, 7), (1, 7)),
          ((1, 7), (0, 6)), ((0, 6), (0, 1)), ((0, 1), (1, 0))],
    "D": [((0, 0), (0, 7)), ((0, 0), (2.6, 0)), ((2.6, 0), (4, 1.5)), ((4, 1.5), (4, 5.5)),
          ((4, 5.5), (2.6, 7)), ((2.6, 7), (0, 7))],
}


def segment_distance(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    length = dx * dx + dy * dy
    t = clamp(((px - ax) * dx + (py - ay) * dy) / length) if length else 0.0
    return math.hypot(px - (ax + t * dx), py - (ay + t * dy))


def draw_text(canvas, text, left, top, unit, pen, colour, spacing=2.2):
    segments = []
    for index, letter in enumerate(text):
        origin = left + index * (4 + spacing) * unit
        for (ax, ay), (bx, by) in LETTERS[letter]:
            segments.append((origin + ax * unit, top + ay * unit, origin + bx * unit, top + by * unit))
    right = left + len(text) * (4 + spacing) * unit
    for y in range(int(top - pen - 2), int(top + 7 * unit + pen + 2)):
        for x in range(int(left - pen - 2), int(right + pen + 2)):
            d = min(segment_distance(x + 0.5, y + 0.5, *s) for s in segments)
            canvas.blend(x, y, colour, pen + 0.5 - d)


def draw_splash():
    canvas = Canvas(WIDTH, HEIGHT)
    random = Random(20261208)

    # Sky, stars and the moon.
    for y in range(SHORE):
        colour = gradient(SKY, y)
        canvas.rows[y] = [colour] * WIDTH
    for _ in range(140):
        x, y = int(random.next() * WIDTH), int(random.next() * 120)
        canvas.blend(x, y, (255, 244, 220), 0.25 + 0.6 * random.next() * (1 - y / 140))
    moon_x, moon_y, moon_r = 462, 58, 21
    for y in range(0, 140):
        for x in range(360, WIDTH):
            d = math.hypot(x + 0.5 - moon_x, y + 0.5 - moon_y)
            canvas.blend(x, y, (255, 226, 180), 0.35 * math.exp(-max(d - moon_r, 0) / 22))
            canvas.blend(x, y, (252, 240, 214), moon_r + 0.5 - d)
            # A few darker patches make it read as a moon rather than a lamp.
            for cx, cy, r in ((455, 52, 6), (468, 66, 4), (470, 50, 3)):
                patch = r + 0.5 - math.hypot(x + 0.5 - cx, y + 0.5 - cy)
                if d < moon_r:
                    canvas.blend(x, y, (226, 206, 176), 0.6 * clamp(patch))

    # Two mountain ridges fading into the evening haze.
    for ridge, colour in ((far_ridge, (86, 66, 112)), (near_ridge, (44, 38, 70))):
        for x in range(WIDTH):
            top = ridge(x + 0.5)
            for y in range(int(top), SHORE):
                haze = clamp((y - top) / 60) * 0.25
                canvas.blend(x, y, mix(colour, (214, 120, 86), haze), y + 1 - top)

    # The far shore's wood, small pines along the water.
    for _ in range(120):
        x = random.next() * WIDTH
        height = 7 + random.next() * 14
        draw_pine(canvas, x, SHORE + 1, height, height * 0.28, (22, 24, 40), tiers=4)

    # The tarn mirrors everything above its far shore, rippled and darkened.
    for y in range(SHORE + 1, LAKE_BOTTOM):
        depth = y - SHORE
        source = max(0, SHORE - depth)
        shift = int(round(2.2 * math.sin(depth * 0.9) * (0.4 + depth / 60)))
        darken = 0.55 - 0.2 * depth / (LAKE_BOTTOM - SHORE)
        row = canvas.rows[source]
        canvas.rows[y] = [mix((10, 16, 34), row[min(WIDTH - 1, max(0, x + shift))], darken) for x in range(WIDTH)]
    for y in range(SHORE + 2, LAKE_BOTTOM, 2):  # the moon's path on the water
        spread = 3 + (y - SHORE) * 0.45
        for x in range(int(moon_x - spread), int(moon_x + spread) + 1):
            flicker = 0.5 + 0.5 * math.sin(x * 1.7 + y * 3.1)
            canvas.blend(x, y, (250, 226, 180), 0.45 * flicker * (1 - abs(x - moon_x) / spread))
    for y in range(SHORE - 12, SHORE + 14):  # evening mist over the water
        for x in range(WIDTH):
            canvas.blend(x, y, (224, 170, 150), 0.18 * math.exp(-((y - SHORE) / 7) ** 2))

    # The near shore and the forest floor, darkening towards the bottom edge.
    for y in range(LAKE_BOTTOM, HEIGHT):
        colour = gradient([(LAKE_BOTTOM, (26, 30, 34)), (BAND_TOP, (14, 17, 20)), (HEIGHT, (7, 9, 11))], y)
        for x in range(WIDTH):
            canvas.blend(x, y, colour, clamp(y + 1 - (LAKE_BOTTOM + 2 * math.sin(x / 17))))

    # Tall pines framing the picture on both sides.
    for centre, height, width in ((28, 262, 46), (92, 214, 38), (150, 150, 26), (-6, 200, 40),
                                  (522, 252, 44), (470, 196, 36), (420, 138, 24), (556, 214, 40)):
        draw_pine(canvas, centre, BAND_TOP + 14, height, width, (9, 13, 16), tiers=7)

    # The game's name across the sky.
    title, unit = "TARNWOOD", 5.0
    left = (WIDTH - (len(title) * 6.2 - 2.2) * unit) / 2
    draw_text(canvas, title, left + 2, 36, unit, 2.6, (12, 10, 24))
    draw_text(canvas, title, left, 34, unit, 2.4, (242, 214, 150))

    # Keep the band for the status line and the site label quiet.
    for y in range(BAND_TOP, HEIGHT):
        fade = 0.55 * (y - BAND_TOP) / (HEIGHT - BAND_TOP)
        for x in range(WIDTH):
            canvas.blend(x, y, (6, 8, 10), fade)
    return canvas.scanlines(), 2  # RGB


def draw_close_mark():
    """A light diagonal cross on transparent ground, for the splash's close button."""
    size, pen = 8, 0.75
    data = bytearray()
    for y in range(size):
        data.append(0)
        for x in range(size):
            px, py = x + 0.5, y + 0.5
            d = min(segment_distance(px, py, 1, 1, 7, 7), segment_distance(px, py, 7, 1, 1, 7))
            alpha = clamp(pen + 0.5 - d)
            data += bytes((236, 236, 236, int(alpha * 255 + 0.5)))
    return bytes(data), 6  # RGBA


def png(width, height, colour_type, scanlines):
    def chunk(tag, body):
        return struct.pack(">I", len(body)) + tag + body + struct.pack(">I", zlib.crc32(tag + body))

    header = struct.pack(">IIBBBBB", width, height, 8, colour_type, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(scanlines, 9))
            + chunk(b"IEND", b""))


def read_png(path):
    """(IHDR body, decompressed image data) of a PNG file."""
    with open(path, "rb") as f:
        data = f.read()
    position, header, image = 8, b"", b""
    while position < len(data):
        length, tag = struct.unpack(">I4s", data[position:position + 8])
        body = data[position + 8:position + 8 + length]
        if tag == b"IHDR":
            header = body
        elif tag == b"IDAT":
            image += body
        position += 12 + length
    return header, zlib.decompress(image)


PICTURES = {
    "splash.png": (WIDTH, HEIGHT, draw_splash),
    "close.png": (8, 8, draw_close_mark),
}


def main(arguments):
    here = os.path.dirname(os.path.abspath(__file__))
    check = "--check" in arguments
    rest = [a for a in arguments if a != "--check"]
    directory = rest[0] if rest else here
    failed = False
    for name, (width, height, draw) in PICTURES.items():
        scanlines, colour_type = draw()
        path = os.path.join(directory, name)
        if check:
            # Pixels are compared rather than files, so another zlib may pack them differently.
            expected = struct.pack(">IIBBBBB", width, height, 8, colour_type, 0, 0, 0)
            if read_png(path) != (expected, scanlines):
                print(f"{path}: differs from what make_artwork.py draws")
                failed = True
        else:
            with open(path, "wb") as f:
                f.write(png(width, height, colour_type, scanlines))
            print(f"{path}: {width} x {height}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
