#!/usr/bin/env python3
"""Draws the program's bitmaps and writes them as 16-colour BMP files into src/res/bitmaps/.

The resource script includes the files this writes; run it again after changing a drawing:

    python3 scripts/bitmaps.py [output folder]

Standard library only. Every picture is drawn with whole pixels of palette colours (no smoothing),
so that a colour key such as the spinner's pure blue matches exactly.
"""

import math
import os
import struct
import sys

# One palette for every bitmap. Index 0 is the spinner's transparent colour.
PALETTE = [
    (0, 0, 255),      # 0 pure blue: spinner background, the colour key of the progress window
    (255, 0, 255),    # 1 bright magenta: the spinner's leading dot
    (96, 0, 112),     # 2 dark purple: the spinner's trailing dot
    (40, 40, 56),     # 3 dark grey: the spinner's resting dots
    (255, 255, 255),  # 4 white
    (0, 0, 0),        # 5 black
    (0, 0, 128),      # 6 dark blue
    (200, 0, 0),      # 7 red
    (0, 160, 0),      # 8 green
    (0, 96, 160),     # 9 steel blue
    (0, 160, 176),    # 10 teal
    (128, 128, 128),  # 11 grey
    (192, 192, 192),  # 12 light grey
    (230, 140, 0),    # 13 amber
    (255, 255, 0),    # 14 yellow
    (128, 0, 0),      # 15 dark red
]
BLUE, MAGENTA, PURPLE, DOT, WHITE, BLACK, DARK_BLUE, RED, GREEN, STEEL, TEAL, GREY, LIGHT_GREY, AMBER, \
    YELLOW, DARK_RED = range(16)


def new_image(width, height, colour):
    return [[colour] * width for _ in range(height)]


def fill_disc(image, cx, cy, radius, colour):
    height, width = len(image), len(image[0])
    for y in range(height):
        for x in range(width):
            if (x + 0.5 - cx) ** 2 + (y + 0.5 - cy) ** 2 <= radius * radius:
                image[y][x] = colour


def fill_rect(image, x0, y0, x1, y1, colour):
    for y in range(max(y0, 0), min(y1, len(image))):
        for x in range(max(x0, 0), min(x1, len(image[0]))):
            image[y][x] = colour


def draw_line(image, x0, y0, x1, y1, colour, thickness=1):
    steps = max(abs(x1 - x0), abs(y1 - y0), 1)
    for i in range(steps + 1):
        x = x0 + (x1 - x0) * i / steps
        y = y0 + (y1 - y0) * i / steps
        fill_rect(image, int(round(x)), int(round(y)), int(round(x)) + thickness, int(round(y)) + thickness, colour)


def write_bmp(path, image):
    """A BITMAPFILEHEADER, a BITMAPINFOHEADER for 4 bits per pixel, 16 palette entries, and the
    rows bottom-up, each padded to four bytes."""
    height, width = len(image), len(image[0])
    row_bytes = ((width * 4 + 31) // 32) * 4
    rows = []
    for y in range(height - 1, -1, -1):
        row = bytearray(row_bytes)
        for x in range(width):
            index = image[y][x]
            if x % 2 == 0:
                row[x // 2] |= index << 4
            else:
                row[x // 2] |= index
        rows.append(bytes(row))
    pixels = b"".join(rows)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in PALETTE)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 4, 0, len(pixels), 2835, 2835, 16, 16)
    offset = 14 + len(info) + len(palette)
    header = struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset)
    with open(path, "wb") as f:
        f.write(header + info + palette + pixels)


# --- The spinner ---------------------------------------------------------------------------------

def spinner_frame(frame):
    """Eight dots on a ring; the bright dot stands at position `frame` (0 = top, counted clockwise)
    and the purple one just behind it."""
    image = new_image(32, 32, BLUE)
    for position in range(8):
        angle = math.radians(45 * position)
        cx = 16 + 10.5 * math.sin(angle)
        cy = 16 - 10.5 * math.cos(angle)
        colour = DOT
        if position == frame:
            colour = MAGENTA
        elif position == (frame - 1) % 8:
            colour = PURPLE
        fill_disc(image, cx, cy, 3.2, colour)
    return image


# --- Lettering for the logos ---------------------------------------------------------------------

GLYPHS = {
    "A": ["01110", "10001", "10001", "11111", "10001", "10001", "10001"],
    "B": ["11110", "10001", "10001", "11110", "10001", "10001", "11110"],
    "E": ["11111", "10000", "10000", "11110", "10000", "10000", "11111"],
    "I": ["11111", "00100", "00100", "00100", "00100", "00100", "11111"],
    "K": ["10001", "10010", "10100", "11000", "10100", "10010", "10001"],
    "L": ["10000", "10000", "10000", "10000", "10000", "10000", "11111"],
    "N": ["10001", "11001", "10101", "10011", "10001", "10001", "10001"],
    "O": ["01110", "10001", "10001", "10001", "10001", "10001", "01110"],
    "Q": ["01110", "10001", "10001", "10001", "10101", "10010", "01101"],
    "R": ["11110", "10001", "10001", "11110", "10100", "10010", "10001"],
    "S": ["01111", "10000", "10000", "01110", "00001", "00001", "11110"],
    "T": ["11111", "00100", "00100", "00100", "00100", "00100", "00100"],
    "U": ["10001", "10001", "10001", "10001", "10001", "10001", "01110"],
    "V": ["10001", "10001", "10001", "10001", "10001", "01010", "00100"],
    "Y": ["10001", "10001", "01010", "00100", "00100", "00100", "00100"],
    " ": ["00000"] * 7,
}


def text_width(text, scale):
    """Pixels from the first letter's left edge to the last letter's right edge."""
    return len(text) * 6 * scale - scale


def draw_text(image, x, y, text, scale, colour):
    for ch in text:
        for row, bits in enumerate(GLYPHS[ch]):
            for col, bit in enumerate(bits):
                if bit == "1":
                    fill_rect(image, x + col * scale, y + row * scale, x + (col + 1) * scale,
                              y + (row + 1) * scale, colour)
        x += 6 * scale


def maker_logo():
    """The notebook maker's logo, 225 x 64: the maker's name, which its working folder carries
    ("__Korvane_Update"), beside a stylised open notebook."""
    image = new_image(225, 64, WHITE)
    # An open notebook: screen and keyboard deck.
    fill_rect(image, 8, 10, 50, 40, STEEL)
    fill_rect(image, 11, 13, 47, 37, TEAL)
    fill_rect(image, 4, 42, 54, 48, GREY)
    fill_rect(image, 2, 48, 56, 50, DARK_BLUE)
    name = "KORVANE"
    draw_text(image, 64, 14, name, 3, DARK_BLUE)
    fill_rect(image, 64, 42, 64 + text_width(name, 3), 45, AMBER)
    return image


def vendor_logo():
    """The BIOS vendor's logo, 154 x 64: an invented name over a chip outline."""
    image = new_image(154, 64, WHITE)
    fill_rect(image, 4, 12, 38, 46, DARK_RED)
    fill_rect(image, 8, 16, 34, 42, RED)
    for i in range(4):
        fill_rect(image, 0, 15 + 8 * i, 4, 18 + 8 * i, GREY)
        fill_rect(image, 38, 15 + 8 * i, 42, 18 + 8 * i, GREY)
    draw_text(image, 46, 10, "QUELLBYTE", 2, BLACK)
    draw_text(image, 46, 30, "BIOS", 3, DARK_RED)
    return image


# --- Bitmaps the program carries but never shows -------------------------------------------------

def blue_disc():
    image = new_image(32, 32, RED)
    fill_disc(image, 16, 16, 12, BLUE)
    return image


def green_check():
    image = new_image(16, 16, WHITE)
    draw_line(image, 2, 8, 6, 12, GREEN, 2)
    draw_line(image, 6, 12, 13, 3, GREEN, 2)
    return image


def blue_arrow():
    image = new_image(16, 16, WHITE)
    fill_rect(image, 2, 6, 9, 10, DARK_BLUE)
    for i in range(6):
        fill_rect(image, 9 + i, 2 + i, 10 + i, 14 - i, DARK_BLUE)
    return image


# File name, drawing. The resource ids are given in the resource script.
BITMAPS = [("spinner%d.bmp" % frame, spinner_frame(frame)) for frame in range(8)] + [
    ("logo_maker.bmp", maker_logo()),
    ("logo_bios.bmp", vendor_logo()),
    ("disc.bmp", blue_disc()),
    ("check.bmp", green_check()),
    ("arrow.bmp", blue_arrow()),
]


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "src", "res", "bitmaps")
    os.makedirs(out, exist_ok=True)
    for name, image in BITMAPS:
        write_bmp(os.path.join(out, name), image)
    return 0


if __name__ == "__main__":
    sys.exit(main())
