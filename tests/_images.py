"""Bits images drawn by the tests.

An image is a bytearray of width * height bytes, row-major, row 0 at the top; a nonzero byte
is black. Every drawing call clips to the image, so shapes may hang over any edge.
"""

from __future__ import annotations

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
