#!/usr/bin/env python3
"""Draws the launcher's pictures: the icon (16, 24, 32 and 48 pixels as 32-bit images with
alpha, 256 pixels as PNG) and the two banners (160x80 and 280x55, 24 bits per pixel), each
banner also at twice the size for 200 % displays (drawn at that size, not enlarged). Standard
library only; BMP, PNG and ICO bytes are written here. Run from anywhere:
python3 scripts/make-art.py  (writes into res/)."""

import math
import struct
import zlib
from pathlib import Path

RES = Path(__file__).resolve().parents[1] / "res"

FELT_DARK = (10, 52, 32)
FELT_LIGHT = (32, 112, 68)
GOLD = (212, 175, 85)
CARD = (250, 248, 240)
CARD_EDGE = (120, 120, 120)
RED = (196, 30, 42)
INK = (24, 24, 32)
NAVY = (22, 34, 92)


# Suit shapes as implicit tests on coordinates in [-1, 1] (y grows downwards).
def heart(x, y):
    y = -y
    if y > -0.05:
        return (x + 0.42) ** 2 + (y - 0.28) ** 2 < 0.2 or (x - 0.42) ** 2 + (y - 0.28) ** 2 < 0.2
    return abs(x) < 0.84 * (y + 0.95) and y > -0.95


def spade(x, y):
    body = heart(x, -y - 0.15)
    stem = abs(x) < 0.1 + 0.25 * max(0.0, y - 0.45) and 0.2 < y < 0.95
    return body or stem


def diamond(x, y):
    return abs(x) / 0.7 + abs(y) < 0.95


def club(x, y):
    r2 = 0.09
    lobes = ((x ** 2 + (y + 0.42) ** 2) < r2 or ((x + 0.36) ** 2 + (y - 0.1) ** 2) < r2
             or ((x - 0.36) ** 2 + (y - 0.1) ** 2) < r2)
    stem = abs(x) < 0.08 + 0.25 * max(0.0, y - 0.45) and 0.0 < y < 0.95
    return lobes or stem or (abs(x) < 0.15 and abs(y + 0.05) < 0.2)


SUITS = [(spade, INK), (heart, RED), (diamond, RED), (club, INK)]


class Card:
    """A playing card: centre, size, rotation in degrees, and a suit drawn large in its middle
    and small in two corners."""

    def __init__(self, cx, cy, w, h, angle, suit, corner=True, edge=0.9):
        self.cx, self.cy, self.w, self.h = cx, cy, w, h
        self.edge = edge
        a = math.radians(angle)
        self.cos, self.sin = math.cos(a), math.sin(a)
        self.shape, self.colour = SUITS[suit]
        self.corner = corner

    def colour_at(self, x, y):
        dx, dy = x - self.cx, y - self.cy
        u = dx * self.cos + dy * self.sin
        v = -dx * self.sin + dy * self.cos
        hw, hh = self.w / 2, self.h / 2
        r = min(hw, hh) * 0.18  # rounded corners
        qx, qy = abs(u) - (hw - r), abs(v) - (hh - r)
        outside = math.hypot(max(qx, 0), max(qy, 0)) + min(max(qx, qy), 0) - r
        if outside > 0:
            return None
        if outside > -self.edge:
            return CARD_EDGE
        s = min(hw, hh) * 0.62
        if self.shape(u / s, v / s):
            return self.colour
        if self.corner:
            cs = min(hw, hh) * 0.2
            for ox, oy in ((-hw + cs * 1.5, -hh + cs * 1.7), (hw - cs * 1.5, hh - cs * 1.7)):
                if self.shape((u - ox) / cs, (v - oy) / cs):
                    return self.colour
        return CARD


def felt(x, y, w, h):
    d = math.hypot((x - w * 0.4) / w, (y - h * 0.45) / h) * 1.6
    t = max(0.0, min(1.0, d))
    base = [FELT_LIGHT[i] + (FELT_DARK[i] - FELT_LIGHT[i]) * t for i in range(3)]
    grain = ((int(x * 7.3) ^ int(y * 5.1)) & 3) - 1.5  # a faint cloth texture
    return tuple(max(0, min(255, c + grain)) for c in base)


def render(w, h, cards, background, border=None, samples=3, scale=1):
    """RGB rows, top row first, supersampled samples x samples per pixel. w, h, the cards and
    the border are in design pixels; the picture has scale times as many pixels each way."""
    rows = []
    for py in range(h * scale):
        row = []
        for px in range(w * scale):
            acc = [0.0, 0.0, 0.0]
            for sy in range(samples):
                for sx in range(samples):
                    x = (px + (sx + 0.5) / samples) / scale
                    y = (py + (sy + 0.5) / samples) / scale
                    c = None
                    for card in reversed(cards):  # the last card lies on top
                        c = card.colour_at(x, y)
                        if c is not None:
                            break
                    if c is None:
                        c = background(x, y)
                    for i in range(3):
                        acc[i] += c[i]
            n = samples * samples
            pixel = tuple(int(round(a / n)) for a in acc)
            b = border[0] * scale if border else 0
            if border and (px < b or py < b or px >= w * scale - b or py >= h * scale - b):
                pixel = border[1]
            row.append(pixel)
        rows.append(row)
    return rows


def bmp24(rows):
    h, w = len(rows), len(rows[0])
    stride = (w * 3 + 3) & ~3
    pixels = bytearray()
    for row in reversed(rows):  # bottom-up
        line = bytearray()
        for r, g, b in row:
            line += bytes((b, g, r))
        line += b"\0" * (stride - len(line))
        pixels += line
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    header = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(pixels), 0, 0, 14 + len(info))
    return header + info + pixels


def icon_pixels(size):
    """RGBA rows of one icon image: a card whose edge coverage becomes alpha."""
    card = Card(size / 2, size / 2, size * 0.72, size * 0.94, -8, 0, corner=size >= 32,
                edge=max(0.9, size / 40))
    samples = 4
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            acc, hits = [0, 0, 0], 0
            for sy in range(samples):
                for sx in range(samples):
                    c = card.colour_at(px + (sx + 0.5) / samples, py + (sy + 0.5) / samples)
                    if c is not None:
                        hits += 1
                        for i in range(3):
                            acc[i] += c[i]
            if hits == 0:
                row.append((0, 0, 0, 0))
                continue
            row.append(tuple(a // hits for a in acc) + (255 * hits // (samples * samples),))
        rows.append(row)
    return rows


def icon_dib(rows):
    """A 32-bit DIB with alpha and its AND mask (set where fully transparent), as an .ico
    holds it for the smaller sizes."""
    size = len(rows)
    xor = bytearray()
    for row in reversed(rows):
        for r, g, b, a in row:
            xor += bytes((b, g, r, a))
    and_stride = ((size + 31) // 32) * 4
    andm = bytearray()
    for row in reversed(rows):
        bits = bytearray(and_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        andm += bits
    info = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(xor) + len(andm), 0, 0,
                       0, 0)
    return info + xor + andm


def png(rows):
    """An RGBA PNG: 8 bits per channel, no filtering."""
    h, w = len(rows), len(rows[0])
    raw = b"".join(b"\0" + b"".join(bytes(p) for p in row) for row in rows)

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def ico(sizes):
    """The .ico: 256 pixels as PNG (as Windows expects that size), the others as DIBs."""
    images = [png(icon_pixels(s)) if s >= 256 else icon_dib(icon_pixels(s)) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for s, data in zip(sizes, images):
        dim = 0 if s >= 256 else s  # 0 stands for 256
        out += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(images)


def main():
    # Patch window: four cards fanned out on the felt, with a gold frame.
    w, h = 160, 80
    fan = [Card(48 + i * 22, 44 + abs(i - 1.5) * 3, 34, 48, -21 + i * 14, i) for i in range(4)]
    for scale, name in ((1, "banner_patch.bmp"), (2, "banner_patch_2x.bmp")):
        patch = render(w, h, fan, lambda x, y: felt(x, y, w, h), border=(1, GOLD), scale=scale)
        (RES / name).write_bytes(bmp24(patch))

    # Server window: a long table edge with a row of cards dealt from left to right.
    w, h = 280, 55
    deal = [Card(150 + i * 27, 28, 26, 38, -6 + i * 4, i % 4) for i in range(5)]
    deal.insert(0, Card(40, 28, 26, 38, 12, 1))
    deal.insert(0, Card(24, 29, 26, 38, -10, 0))
    for scale, name in ((1, "banner_servers.bmp"), (2, "banner_servers_2x.bmp")):
        servers = render(w, h, deal, lambda x, y: felt(x, y, w, h), border=(1, GOLD),
                         scale=scale)
        (RES / name).write_bytes(bmp24(servers))

    (RES / "vtlauncher.ico").write_bytes(ico([16, 24, 32, 48, 256]))
    print("wrote", ", ".join(p.name for p in sorted(RES.glob("*.*")) if p.suffix in
                            (".bmp", ".ico")))


if __name__ == "__main__":
    main()
