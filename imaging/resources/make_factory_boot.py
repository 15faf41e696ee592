#!/usr/bin/env python3
"""Draws the built-in factory boot picture (1024 x 768) as a binary PPM on standard output.

A calm slate-blue backdrop with a soft glow and a lens-like ring: no text, no logo, so it
suits every reseller. Encode it as a baseline JPEG with 2 x 2 luminance sampling:

    python3 make_factory_boot.py > boot.ppm
    cjpeg -quality 85 -sample 2x2,1x1,1x1 -baseline -optimize boot.ppm > factory_boot.jpg
"""
import math
import sys

W, H = 1024, 768
CX, CY = 512.0, 350.0


def smooth(edge0, edge1, x):
    t = min(1.0, max(0.0, (x - edge0) / (edge1 - edge0)))
    return t * t * (3.0 - 2.0 * t)


def pixel(x, y):
    # Vertical gradient, deep slate at the top to a lighter blue-grey at the bottom.
    t = y / (H - 1)
    r = 22 + 26 * t
    g = 30 + 32 * t
    b = 42 + 40 * t
    dx, dy = x - CX, y - CY
    d = math.hypot(dx, dy)
    # Soft cool glow behind the ring.
    glow = math.exp(-(d / 330.0) ** 2)
    r += 30 * glow
    g += 42 * glow
    b += 56 * glow
    # Lens ring: a bright thin rim and a darker inner disc with a faint highlight.
    rim = smooth(5.0, 2.0, abs(d - 150.0))
    inner = smooth(146.0, 140.0, d)
    r = r * (1 - 0.35 * inner)
    g = g * (1 - 0.35 * inner)
    b = b * (1 - 0.30 * inner)
    hl = inner * math.exp(-(((x - (CX - 48)) / 40.0) ** 2 + ((y - (CY - 52)) / 28.0) ** 2))
    r += 70 * hl + 150 * rim
    g += 80 * hl + 165 * rim
    b += 95 * hl + 180 * rim
    # A thin horizon line under the ring.
    line = smooth(1.6, 0.4, abs(y - 590.0)) * smooth(360.0, 200.0, abs(x - CX))
    r += 60 * line
    g += 70 * line
    b += 80 * line
    return bytes(max(0, min(255, int(v + 0.5))) for v in (r, g, b))


def main():
    out = sys.stdout.buffer
    out.write(b"P6\n%d %d\n255\n" % (W, H))
    for y in range(H):
        out.write(b"".join(pixel(x, y) for x in range(W)))


if __name__ == "__main__":
    main()
