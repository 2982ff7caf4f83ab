"""Bits images drawn by the tests.

An image is a bytearray of width * height bytes, row-major, row 0 at the top; a nonzero byte
is black. Every drawing call clips to the image, so shapes may hang over any edge.
"""

from __future__ import annotations

import random
from collections.abc import Sequence


def blank(width: int, height: int) -> bytearray:
    """An all-white image."""
    return bytearray(width * height)


def fill_rect(img: bytearray, width: int, x: int, y: int, w: int, h: int, value: int = 1) -> None:
    """Set the pixels x <= px < x + w, y <= py < y + h that lie inside the image to `value`."""
    height = len(img) // width
    lo, hi = max(x, 0), min(x + w, width)
    if lo >= hi:
        return
    for py in range(max(y, 0), min(y + h, height)):
        img[py * width + lo : py * width + hi] = bytes([value]) * (hi - lo)


def draw_finder_runs(
    img: bytearray,
    width: int,
    x: int,
    y: int,
    hruns: Sequence[int],
    vruns: Sequence[int],
    value: int = 1,
) -> None:
    """A finder pattern with its top-left corner at (x, y), cut into five column bands hruns
    wide and five row bands vruns high; a line through its centre crosses runs of exactly those
    lengths. The band ring between the outer ring and the centre block is drawn white."""
    top = y
    for j, band_h in enumerate(vruns):
        left = x
        for i, band_w in enumerate(hruns):
            ring = min(i, j, 4 - i, 4 - j)
            fill_rect(img, width, left, top, band_w, band_h, 0 if ring == 1 else value)
            left += band_w
        top += band_h


def draw_finder(
    img: bytearray, width: int, x: int, y: int, module: int = 1, value: int = 1
) -> None:
    """The 7 x 7 module finder pattern, top-left corner at (x, y), each module `module` pixels
    square."""
    runs = (module, module, 3 * module, module, module)
    draw_finder_runs(img, width, x, y, runs, runs, value)


# Hostile scenes for the finder scan: crowds of candidate records, column walks cut
# short by the height limit, runs of every length.


def pattern_line(rng: random.Random, length: int) -> list[int]:
    """A line of runs cycling through one finder-like 1:1:3:1:1 pattern of a random module,
    with random white gaps between patterns; 1 black, 0 white."""
    module = rng.choice((1, 1, 2, 3))
    runs = [module, module, 3 * module, module, module]
    line = []
    while len(line) < length + 8:
        jitter = rng.random() < 0.3
        runs_now = [max(1, r + rng.choice((-1, 0, 0, 0, 1)) * jitter) for r in runs]
        for k, run in enumerate(runs_now):
            line += [1 if k % 2 == 0 else 0] * run
        line += [0] * rng.choice((0, 0, 1, 1, 2, 5))
    offset = rng.randrange(8)
    return line[offset : offset + length]


def lattice_scene(rng: random.Random, width: int, height: int) -> bytearray:
    """Finder-like crosses packed edge to edge: the product of a row line and a column line."""
    row, col = pattern_line(rng, width), pattern_line(rng, height)
    return bytearray(r & c for c in col for r in row)


def tiles_scene(rng: random.Random, width: int, height: int) -> bytearray:
    """Whole finder patterns on a grid, some turned into bigger ones, so that hits with a
    large module meet crowds of small records."""
    img = blank(width, height)
    module = rng.choice((1, 1, 2))
    period = 7 * module + rng.choice((0, 1, 1, 2))
    shift = rng.randrange(period)
    for y in range(-shift, height, period):
        for x in range(-shift, width, period):
            draw_finder(img, width, x, y, module)
    for _ in range(rng.randint(0, 2)):
        big = rng.randint(3, 6)
        draw_finder(img, width, rng.randint(-3, width - 4), rng.randint(-3, height - 4), big)
    return img


def stripes_scene(rng: random.Random, width: int, height: int) -> bytearray:
    """Full-height stripes whose rows read 1:1:3:1:1, with white cuts across some columns:
    centre runs taller than a third of the image next to runs that pass the column test."""
    row = pattern_line(rng, width)
    img = bytearray(row * height)
    for _ in range(rng.randint(0, 6)):
        x, y = rng.randrange(width), rng.randrange(height)
        cut = rng.choice((1, 1, 2, height // 4))
        fill_rect(img, width, x, y, rng.randint(1, 6), cut, 0)
    if rng.random() < 0.5:
        # Whole white bands make stacks of shorter stripes.
        for _ in range(rng.randint(1, 3)):
            fill_rect(img, width, 0, rng.randrange(height), width, rng.randint(1, 3), 0)
    return img


def checker_scene(rng: random.Random, width: int, height: int) -> bytearray:
    cell = rng.randint(1, 4)
    dx, dy = rng.randrange(cell), rng.randrange(cell)
    return bytearray(((x + dx) // cell + (y + dy) // cell) & 1
                     for y in range(height) for x in range(width))
