#!/usr/bin/env python3
"""Draws the progress window's skin: Update/bg.png, Update/gb.png and Update/textbg.png.

Only the standard library is used: every shape is a signed distance field turned into
anti-aliased coverage, layers are blended in premultiplied alpha, and the PNG files are written
by tools/png.py. Run it from anywhere; it rewrites the three files beside this script.

The images fit the window's frame geometry: bg.png and gb.png are 192 x 192 and share their
centre (96, 96) with the spinner's pivot, so the spinner's arc runs on the track drawn into the
background; textbg.png is 51 pixels wide with the left cap in columns 0-13, a middle in columns
17-28 that stays the same across, and the right cap in columns 37-50.
"""

import math
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tools"))
import png  # noqa: E402
OUT = os.path.join(HERE, "Update")

SIZE = 192
CENTRE = 96.0
TRACK_RADIUS = 70.0
TRACK_HALF_WIDTH = 5.0


class Canvas:
    """A straight list of premultiplied RGBA floats in 0..1, row by row."""

    def __init__(self, width, height):
        self.width = width
        self.height = height
        self.pixels = [(0.0, 0.0, 0.0, 0.0)] * (width * height)

    def paint(self, shade):
        """Blends shade(x, y) -> (r, g, b, a) or None (straight colour) over every pixel."""
        for y in range(self.height):
            for x in range(self.width):
                colour = shade(x + 0.5, y + 0.5)
                if colour is None:
                    continue
                r, g, b, a = colour
                if a <= 0.0:
                    continue
                i = y * self.width + x
                dr, dg, db, da = self.pixels[i]
                keep = 1.0 - a
                self.pixels[i] = (r * a + dr * keep, g * a + dg * keep, b * a + db * keep,
                                  a + da * keep)

    def write_png(self, path):
        image = png.Image(self.width, self.height)
        for i, (r, g, b, a) in enumerate(self.pixels):
            if a <= 0.0:
                continue  # fully transparent pixels stay 0, 0, 0, 0
            straight = [min(1.0, c / a) for c in (r, g, b)]
            image.rgba[i * 4:i * 4 + 3] = bytes(int(round(c * 255)) for c in straight)
            image.rgba[i * 4 + 3] = int(round(min(1.0, a) * 255))
        # No resolution chunk: pixels per metre cannot say 96 dpi exactly, and GDI+ would scale
        # the images by the small difference, blurring them by a pixel.
        png.write_png(image, path, level=9)

def coverage(distance):
    """Anti-aliased coverage of a shape whose signed distance (negative inside) is given."""
    return max(0.0, min(1.0, 0.5 - distance))


def mix(a, b, t):
    return tuple(x + (y - x) * t for x, y in zip(a, b))


def hex_colour(text):
    return tuple(int(text[i:i + 2], 16) / 255.0 for i in (0, 2, 4))


def capsule_distance(px, py, ax, ay, bx, by, radius):
    """Distance to a segment from (ax, ay) to (bx, by) with round ends."""
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)))
    return math.hypot(px - ax - t * dx, py - ay - t * dy) - radius


def clockwise_angle(x, y):
    """Degrees from the +x axis, growing clockwise on screen (y points down), in 0..360."""
    return math.degrees(math.atan2(y - CENTRE, x - CENTRE)) % 360.0


def draw_background():
    """A dark glass disc with a faint rim, the spinner's track and an update badge inside."""
    canvas = Canvas(SIZE, SIZE)
    top, bottom = hex_colour("2c3b57"), hex_colour("111826")
    radius = 93.0

    def disc(x, y):
        d = math.hypot(x - CENTRE, y - CENTRE) - radius
        t = (y - (CENTRE - radius)) / (2 * radius)
        return mix(top, bottom, max(0.0, min(1.0, t))) + (0.86 * coverage(d),)

    def rim(x, y):
        d = abs(math.hypot(x - CENTRE, y - CENTRE) - (radius - 1.0)) - 0.75
        light = 1.0 - max(0.0, min(1.0, (y - 8.0) / 176.0))
        return hex_colour("7f9fd8") + ((0.25 + 0.45 * light) * coverage(d),)

    def track(x, y):
        d = abs(math.hypot(x - CENTRE, y - CENTRE) - TRACK_RADIUS) - TRACK_HALF_WIDTH
        return (1.0, 1.0, 1.0, 0.09 * coverage(d))

    badge_top, badge_bottom = hex_colour("4fb6ff"), hex_colour("2350c8")
    badge_radius = 33.0

    def badge(x, y):
        d = math.hypot(x - CENTRE, y - CENTRE) - badge_radius
        t = (y - (CENTRE - badge_radius)) / (2 * badge_radius)
        return mix(badge_top, badge_bottom, max(0.0, min(1.0, t))) + (coverage(d),)

    def badge_shine(x, y):
        # A soft highlight on the upper half of the badge.
        d = math.hypot(x - CENTRE, y - CENTRE) - (badge_radius - 2.0)
        if d > 0.5 or y > CENTRE:
            return None
        return (1.0, 1.0, 1.0, 0.16 * coverage(d) * (CENTRE - y) / badge_radius)

    def arrow(x, y):
        # A downward arrow: a stem and a chevron, with round ends.
        stem = capsule_distance(x, y, CENTRE, CENTRE - 16, CENTRE, CENTRE + 11, 3.2)
        left = capsule_distance(x, y, CENTRE - 11, CENTRE + 1, CENTRE, CENTRE + 12, 3.2)
        right = capsule_distance(x, y, CENTRE + 11, CENTRE + 1, CENTRE, CENTRE + 12, 3.2)
        return (1.0, 1.0, 1.0, 0.97 * coverage(min(stem, left, right)))

    for layer in (disc, rim, track, badge, badge_shine, arrow):
        canvas.paint(layer)
    return canvas


def draw_spinner():
    """A comet on the track: a 300-degree tail that fades in, a bright round head, a glow."""
    canvas = Canvas(SIZE, SIZE)
    head_angle = 270.0  # the head at the top; turning clockwise, it leads the tail
    sweep = 300.0
    tail_colour, head_colour = hex_colour("2a5fd0"), hex_colour("9af6ff")
    head_x = CENTRE + TRACK_RADIUS * math.cos(math.radians(head_angle))
    head_y = CENTRE + TRACK_RADIUS * math.sin(math.radians(head_angle))

    def glow(x, y):
        d = math.hypot(x - head_x, y - head_y)
        return head_colour + (0.42 * math.exp(-(d * d) / (2 * 7.0 * 7.0)),)

    def arc(x, y):
        ring = abs(math.hypot(x - CENTRE, y - CENTRE) - TRACK_RADIUS) - TRACK_HALF_WIDTH
        if ring > 1.0:
            return None
        behind = (head_angle - clockwise_angle(x, y)) % 360.0
        if behind > sweep:
            return None
        t = 1.0 - behind / sweep  # 0 at the end of the tail, 1 at the head
        return mix(tail_colour, head_colour, t ** 1.5) + (coverage(ring) * t ** 1.8,)

    def head(x, y):
        d = math.hypot(x - head_x, y - head_y) - TRACK_HALF_WIDTH
        return head_colour + (coverage(d),)

    def spark(x, y):
        d = math.hypot(x - head_x, y - head_y) - 2.2
        return (1.0, 1.0, 1.0, 0.9 * coverage(d))

    for layer in (glow, arc, head, spark):
        canvas.paint(layer)
    return canvas


def draw_text_bar():
    """A rounded bar, 51 x 34: caps of radius 13 in columns 0-13 and 37-50, the same
    vertical profile in every other column."""
    width, height = 51, 34
    canvas = Canvas(width, height)
    radius = 13.0
    top, bottom = hex_colour("27375a"), hex_colour("131b2d")

    def box_distance(x, y, inset):
        # Signed distance to the rounded rectangle shrunk by `inset`.
        left, right = inset, width - inset
        up, down = inset, height - inset
        r = radius - inset
        cx = min(max(x, left + r), right - r)
        cy = min(max(y, up + r), down - r)
        return math.hypot(x - cx, y - cy) - r

    def fill(x, y):
        t = y / height
        return mix(top, bottom, t) + (0.84 * coverage(box_distance(x, y, 0.0)),)

    def border(x, y):
        d = abs(box_distance(x, y, 0.5)) - 0.6
        light = 1.0 - y / height
        return hex_colour("86a5e0") + ((0.22 + 0.4 * light) * coverage(d),)

    def shine(x, y):
        # A thin highlight under the top edge.
        d = abs(box_distance(x, y, 2.0)) - 0.5
        if y > height / 2:
            return None
        return (1.0, 1.0, 1.0, 0.10 * coverage(d))

    for layer in (fill, border, shine):
        canvas.paint(layer)
    return canvas


def main():
    os.makedirs(OUT, exist_ok=True)
    draw_background().write_png(os.path.join(OUT, "bg.png"))
    draw_spinner().write_png(os.path.join(OUT, "gb.png"))
    draw_text_bar().write_png(os.path.join(OUT, "textbg.png"))


if __name__ == "__main__":
    main()
