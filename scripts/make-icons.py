#!/usr/bin/env python3
"""Draws Corvane's window icon and the four rule status icons (16 x 16 RGBA
PNG files under resources/images/), and the same window icon at the larger
sizes of the desktop's icon theme (resources/linux/icons/hicolor/, installed
with the program). Uses the standard library only, so the images can be
regenerated anywhere:

    scripts/make-icons.py

Shapes are described by signed distance functions on a 16 x 16 canvas and
rendered at any size with supersampling per pixel (8 x 8 at 16 pixels, at
least 4 x 4 at larger sizes), which gives smooth edges.
"""

import math
import os
import struct
import zlib

SIZE = 16
SAMPLES = 8


def png(pixels):
    """Encodes rows of (r, g, b, a) tuples (a square image) as a PNG file."""

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    raw = b"".join(b"\x00" + bytes(c for px in row for c in px) for row in pixels)
    header = struct.pack(">IIBBBBB", len(pixels), len(pixels), 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


# Signed distances: negative inside the shape, positive outside.

def circle(cx, cy, r):
    return lambda x, y: math.hypot(x - cx, y - cy) - r


def ring(cx, cy, r, width):
    return lambda x, y: abs(math.hypot(x - cx, y - cy) - r) - width / 2


def segment(ax, ay, bx, by, width):
    def distance(x, y):
        dx, dy = bx - ax, by - ay
        t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)))
        return math.hypot(x - (ax + t * dx), y - (ay + t * dy)) - width / 2
    return distance


def rounded_rect(x0, y0, x1, y1, radius):
    cx, cy = (x0 + x1) / 2, (y0 + y1) / 2
    hx, hy = (x1 - x0) / 2 - radius, (y1 - y0) / 2 - radius

    def distance(x, y):
        qx, qy = abs(x - cx) - hx, abs(y - cy) - hy
        outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
        return outside + min(max(qx, qy), 0.0) - radius
    return distance


def arc(cx, cy, r, width, start_deg, end_deg):
    """A ring segment between two angles (degrees, 0 = right, counter-clockwise
    with y pointing up on screen)."""
    def distance(x, y):
        angle = math.degrees(math.atan2(cy - y, x - cx)) % 360
        lo, hi = start_deg % 360, end_deg % 360
        inside = lo <= angle <= hi if lo <= hi else (angle >= lo or angle <= hi)
        if inside:
            return abs(math.hypot(x - cx, y - cy) - r) - width / 2
        ends = []
        for a in (start_deg, end_deg):
            px = cx + r * math.cos(math.radians(a))
            py = cy - r * math.sin(math.radians(a))
            ends.append(math.hypot(x - px, y - py) - width / 2)
        return min(ends)
    return distance


def union(*shapes):
    return lambda x, y: min(s(x, y) for s in shapes)


def render(layers, size=SIZE):
    """layers: list of (shape, (r, g, b, a)) painted bottom to top on the
    SIZE x SIZE canvas, rendered at size x size pixels."""
    scale = SIZE / size
    samples = max(4, SAMPLES * SIZE // size)
    pixels = []
    for py in range(size):
        row = []
        for px in range(size):
            r = g = b = a = 0.0  # premultiplied
            for shape, colour in layers:
                hits = 0
                for sy in range(samples):
                    for sx in range(samples):
                        x = (px + (sx + 0.5) / samples) * scale
                        y = (py + (sy + 0.5) / samples) * scale
                        if shape(x, y) <= 0:
                            hits += 1
                coverage = hits / (samples * samples) * colour[3] / 255
                r = colour[0] * coverage + r * (1 - coverage)
                g = colour[1] * coverage + g * (1 - coverage)
                b = colour[2] * coverage + b * (1 - coverage)
                a = 255 * coverage + a * (1 - coverage)
            if a > 0:
                row.append((round(r * 255 / a), round(g * 255 / a), round(b * 255 / a), round(a)))
            else:
                row.append((0, 0, 0, 0))
        pixels.append(row)
    return pixels


WHITE = (255, 255, 255, 255)
C = SIZE / 2


def inactive():
    # A hollow grey ring: nothing happens.
    return [(circle(C, C, 6.6), (236, 236, 236, 255)),
            (ring(C, C, 6.0, 1.6), (128, 128, 128, 255))]


def active_restricting():
    # A red disc with a white bar, like a "limit" sign: something is held back.
    return [(circle(C, C, 7.2), (200, 40, 40, 255)),
            (rounded_rect(3.5, 6.6, 12.5, 9.4, 0.8), WHITE)]


def active_not_restricting():
    # A green disc with a white tick: the rule holds, nothing to restrain.
    return [(circle(C, C, 7.2), (40, 150, 60, 255)),
            (union(segment(4.4, 8.4, 7.0, 11.0, 1.9), segment(7.0, 11.0, 11.8, 5.2, 1.9)), WHITE)]


def delayed():
    # An amber clock face: the rule waits for its delay.
    return [(circle(C, C, 7.2), (230, 150, 0, 255)),
            (circle(C, C, 5.4), WHITE),
            (union(segment(C, C, C, 4.0, 1.5), segment(C, C, 11.0, C, 1.5)), (120, 70, 0, 255))]


def main_window():
    # A blue tile with a white gauge whose needle sits low: processor use held down.
    return [(rounded_rect(0.5, 0.5, 15.5, 15.5, 3.0), (30, 90, 170, 255)),
            (arc(C, 10.5, 5.5, 1.8, 0, 180), WHITE),
            (segment(C, 10.5, 4.6, 8.2, 1.6), (255, 200, 60, 255)),
            (circle(C, 10.5, 1.4), (255, 200, 60, 255))]


# The theme sizes of the window icon beside its 16 x 16 image, which is
# installed as the theme's 16 x 16 icon.
THEME_SIZES = (32, 48, 64, 128, 256)
APP_ID = "app.corvane.Corvane"


def main():
    resources = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "resources")
    images = {
        "images/mainwindow.png": (main_window(), SIZE),
        "images/status/inactive.png": (inactive(), SIZE),
        "images/status/activerestricting.png": (active_restricting(), SIZE),
        "images/status/activenotrestricting.png": (active_not_restricting(), SIZE),
        "images/status/delayed.png": (delayed(), SIZE),
    }
    for size in THEME_SIZES:
        name = "linux/icons/hicolor/%dx%d/apps/%s.png" % (size, size, APP_ID)
        images[name] = (main_window(), size)
    for name, (layers, size) in images.items():
        path = os.path.normpath(os.path.join(resources, name))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as out:
            out.write(png(render(layers, size)))
        print(path)


if __name__ == "__main__":
    main()
