#!/usr/bin/env python3
"""Draws the preview pane's three button glyphs as 256-colour (palette) PNGs.

    tools/draw-preview-glyphs.py [OUTPUT_DIR]     (default: resources/preview)

SHOWPREVIEWBUTTON 16x16: a document page under a magnifying glass.
WORDWRAPBUTTON    18x18: lines of text with a line-return arrow.
SCALEBUTTON       18x18: a framed picture with four arrows pointing at it from the sides.
Index 0 of every palette is transparent. Only the standard library is needed.
"""
import os
import struct
import sys
import zlib

PALETTE = [
    (255, 0, 255),   # 0 transparent
    (0, 0, 0),       # 1 outline
    (255, 255, 255), # 2 paper
    (128, 128, 128), # 3 text lines
    (64, 64, 64),    # 4 dark
    (0, 0, 128),     # 5 arrows
    (160, 200, 240), # 6 lens and sky
    (0, 128, 0),     # 7 hills
    (128, 64, 0),    # 8 handle
    (255, 255, 0),   # 9 sun
    (192, 192, 192), # 10 frame
]
T, K, W, G, D, B, L, H, R, Y, F = range(11)


class Canvas:
    def __init__(self, size):
        self.size = size
        self.px = [[T] * size for _ in range(size)]

    def set(self, x, y, c):
        if 0 <= x < self.size and 0 <= y < self.size:
            self.px[y][x] = c

    def hline(self, x0, x1, y, c):
        for x in range(x0, x1 + 1):
            self.set(x, y, c)

    def vline(self, x, y0, y1, c):
        for y in range(y0, y1 + 1):
            self.set(x, y, c)

    def rect(self, x0, y0, x1, y1, outline, fill=None):
        if fill is not None:
            for y in range(y0, y1 + 1):
                self.hline(x0, x1, y, fill)
        self.hline(x0, x1, y0, outline)
        self.hline(x0, x1, y1, outline)
        self.vline(x0, y0, y1, outline)
        self.vline(x1, y0, y1, outline)

    def line(self, x0, y0, x1, y1, c):
        dx, dy = abs(x1 - x0), -abs(y1 - y0)
        sx, sy = (1 if x0 < x1 else -1), (1 if y0 < y1 else -1)
        err = dx + dy
        while True:
            self.set(x0, y0, c)
            if x0 == x1 and y0 == y1:
                return
            e2 = 2 * err
            if e2 >= dy:
                err += dy
                x0 += sx
            if e2 <= dx:
                err += dx
                y0 += sy

    def disc(self, cx, cy, r, outline, fill):
        for y in range(self.size):
            for x in range(self.size):
                d = ((x - cx) ** 2 + (y - cy) ** 2) ** 0.5
                if d <= r - 0.5:
                    self.set(x, y, fill)
                elif d <= r + 0.5:
                    self.set(x, y, outline)


def write_png(path, canvas):
    raw = b"".join(b"\x00" + bytes(row) for row in canvas.px)

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    palette = PALETTE + [(0, 0, 0)] * (256 - len(PALETTE))
    png = b"\x89PNG\r\n\x1a\n"
    png += chunk(b"IHDR", struct.pack(">IIBBBBB", canvas.size, canvas.size, 8, 3, 0, 0, 0))
    png += chunk(b"PLTE", b"".join(bytes(c) for c in palette))
    png += chunk(b"tRNS", b"\x00")
    png += chunk(b"IDAT", zlib.compress(raw, 9))
    png += chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)


def show_preview():
    c = Canvas(16)
    # The page, with a folded top-right corner and lines of text.
    c.rect(1, 0, 10, 13, K, W)
    c.line(8, 0, 10, 2, K)
    c.set(9, 0, T)
    c.set(10, 0, T)
    c.set(10, 1, T)
    c.hline(8, 9, 2, K)
    c.vline(8, 0, 2, K)
    for y in (3, 5, 7, 9, 11):
        c.hline(3, 7 if y < 7 else 6, y, G)
    # The magnifying glass over its lower right part.
    c.disc(10, 9, 3.5, K, L)
    c.set(9, 8, W)
    c.set(9, 7, W)
    for i in range(4):
        c.set(13 + i, 12 + i, R)
        c.set(12 + i, 12 + i, R)
        c.set(13 + i, 13 + i, D)
    return c


def word_wrap():
    c = Canvas(18)
    # Lines of text, the first running to the right edge.
    c.hline(1, 14, 3, D)
    c.hline(1, 14, 4, D)
    c.hline(1, 6, 8, G)
    c.hline(1, 6, 9, G)
    c.hline(1, 11, 14, D)
    c.hline(1, 11, 15, D)
    # The line-return arrow: down from the first line's end, then back to the left.
    c.vline(15, 3, 10, B)
    c.vline(16, 3, 10, B)
    c.hline(11, 16, 10, B)
    c.hline(11, 16, 11, B)
    # Its head, pointing left: narrowest at the tip.
    for i in range(1, 4):
        c.vline(7 + i, 10 - i + 1, 11 + i - 1, B)
    return c


def scale():
    c = Canvas(18)
    # The framed picture: sky, sun and hills.
    c.rect(5, 5, 12, 12, K, L)
    c.rect(6, 6, 11, 11, F)
    c.rect(7, 7, 10, 10, L, L)
    c.set(9, 7, Y)
    c.hline(7, 10, 10, H)
    c.hline(7, 8, 9, H)
    # Four arrows pointing at it from the sides: a short shaft at the edge, then a head
    # that narrows towards the picture, its tip one pixel short of the frame.
    for shaft, rows in ((0, (1, 2, 3)), (17, (16, 15, 14))):
        c.hline(8, 9, shaft, B)
        for width, row in zip((3, 2, 1), rows):
            c.hline(9 - width, 8 + width, row, B)
    for shaft, cols in ((0, (1, 2, 3)), (17, (16, 15, 14))):
        c.vline(shaft, 8, 9, B)
        for height, col in zip((3, 2, 1), cols):
            c.vline(col, 9 - height, 8 + height, B)
    return c


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "resources", "preview")
    os.makedirs(out, exist_ok=True)
    write_png(os.path.join(out, "SHOWPREVIEWBUTTON.png"), show_preview())
    write_png(os.path.join(out, "WORDWRAPBUTTON.png"), word_wrap())
    write_png(os.path.join(out, "SCALEBUTTON.png"), scale())


if __name__ == "__main__":
    main()
