"""Geometry of QR model 2 symbols, written out plainly: the reference that the
native decoder's tables, placement and restoration are checked against.

Coordinates are (row, col) with (0, 0) the top-left module; a matrix is
row-major, module (row, col) at index ``row * size + col``.
"""

from __future__ import annotations

import operator
from functools import lru_cache

Position = tuple[int, int]

MIN_VERSION = 1
MAX_VERSION = 40
FORMAT_BITS = 15
VERSION_BITS = 18
# Version information only exists from this version on.
FIRST_VERSION_WITH_VERSION_INFO = 7

# Row/column coordinates of alignment pattern centres, indexed by version - 1.
# Every pair (a, b) from a row is a centre, except the three that would sit on
# a finder pattern.
ALIGNMENT_POSITIONS: tuple[tuple[int, ...], ...] = (
    (),
    (6, 18),
    (6, 22),
    (6, 26),
    (6, 30),
    (6, 34),
    (6, 22, 38),
    (6, 24, 42),
    (6, 26, 46),
    (6, 28, 50),
    (6, 30, 54),
    (6, 32, 58),
    (6, 34, 62),
    (6, 26, 46, 66),
    (6, 26, 48, 70),
    (6, 26, 50, 74),
    (6, 30, 54, 78),
    (6, 30, 56, 82),
    (6, 30, 58, 86),
    (6, 34, 62, 90),
    (6, 28, 50, 72, 94),
    (6, 26, 50, 74, 98),
    (6, 30, 54, 78, 102),
    (6, 28, 54, 80, 106),
    (6, 32, 58, 84, 110),
    (6, 30, 58, 86, 114),
    (6, 34, 62, 90, 118),
    (6, 26, 50, 74, 98, 122),
    (6, 30, 54, 78, 102, 126),
    (6, 26, 52, 78, 104, 130),
    (6, 30, 56, 82, 108, 134),
    (6, 34, 60, 86, 112, 138),
    (6, 30, 58, 86, 114, 142),
    (6, 34, 62, 90, 118, 146),
    (6, 30, 54, 78, 102, 126, 150),
    (6, 24, 50, 76, 102, 128, 154),
    (6, 28, 54, 80, 106, 132, 158),
    (6, 32, 58, 84, 110, 136, 162),
    (6, 26, 54, 82, 110, 138, 166),
    (6, 30, 58, 86, 114, 142, 170),
)


def _as_size(size: object) -> int:
    # bool is an int subclass, but True is never a meaningful symbol size;
    # __index__ lets NumPy integers through.
    if isinstance(size, bool):
        raise ValueError("Not a QR symbol size.")
    try:
        return operator.index(size)  # type: ignore[arg-type]
    except TypeError:
        raise ValueError("Not a QR symbol size.") from None


def version_for_size(size: int) -> int:
    """Version (1..40) of a symbol ``size`` modules wide.

    Raises ValueError("Not a QR symbol size.") for anything else, including
    non-integers and bools.
    """
    n = _as_size(size)
    if n < 21 or n > 177 or (n - 17) % 4:
        raise ValueError("Not a QR symbol size.")
    return (n - 17) // 4


def size_for_version(version: int) -> int:
    """Width in modules of a symbol of ``version`` (1..40)."""
    if isinstance(version, bool) or not MIN_VERSION <= operator.index(version) <= MAX_VERSION:
        raise ValueError("Not a QR version.")
    return 17 + 4 * operator.index(version)


def alignment_positions(version: int) -> tuple[int, ...]:
    """Row/column coordinates of the alignment centres of ``version``."""
    size_for_version(version)
    return ALIGNMENT_POSITIONS[version - 1]


def alignment_centres(version: int) -> tuple[Position, ...]:
    """Centres (row, col) of the alignment patterns actually drawn."""
    coords = alignment_positions(version)
    if not coords:
        return ()
    first, last = coords[0], coords[-1]
    finder_corners = {(first, first), (first, last), (last, first)}
    return tuple(
        (r, c) for r in coords for c in coords if (r, c) not in finder_corners
    )


def finder_origins(size: int) -> tuple[Position, Position, Position]:
    """Top-left modules of the top-left, top-right and bottom-left finders."""
    return ((0, 0), (0, size - 7), (size - 7, 0))


def dark_module_position(size: int) -> Position:
    """The module that is always dark, just above the bottom-left format copy."""
    return (size - 8, 8)


@lru_cache(maxsize=None)
def format_positions(size: int) -> tuple[tuple[Position, ...], tuple[Position, ...]]:
    """The two copies of the 15 format bits, as (first, second).

    Entry ``i`` of a copy holds bit ``i`` of the masked 15-bit format word,
    bit 0 being the least significant (the last BCH check bit) and bit 14 the
    most significant (the high error-correction-level bit).

    First copy, around the top-left finder: bits 0-5 down column 8 (rows
    0-5), bit 6 at (7, 8), bit 7 at (8, 8), bit 8 at (8, 7), bits 9-14 along
    row 8 from column 5 back to column 0 (skipping the timing row/column 6).

    Second copy: bits 0-7 along row 8 from column size-1 back to size-8
    (below the top-right finder), bits 8-14 down column 8 from row size-7 to
    size-1 (beside the bottom-left finder).
    """
    version_for_size(size)
    first = (
        [(i, 8) for i in range(6)]
        + [(7, 8), (8, 8), (8, 7)]
        + [(8, 14 - i) for i in range(9, 15)]
    )
    second = [(8, size - 1 - i) for i in range(8)] + [
        (size - 15 + i, 8) for i in range(8, 15)
    ]
    return tuple(first), tuple(second)


@lru_cache(maxsize=None)
def version_positions(size: int) -> tuple[tuple[Position, ...], tuple[Position, ...]]:
    """The two copies of the 18 version bits, as (top-right, bottom-left).

    Entry ``i`` holds bit ``i`` of the 18-bit version word, bit 0 the least
    significant (the last BCH check bit), bits 12-17 the version number.
    Top-right block (rows 0-5, columns size-11..size-9): bit i at
    (i // 3, size - 11 + i % 3). The bottom-left block is its transpose:
    bit i at (size - 11 + i % 3, i // 3).

    Both are empty for versions below 7, which carry no version information.
    """
    if version_for_size(size) < FIRST_VERSION_WITH_VERSION_INFO:
        return (), ()
    top_right = tuple((i // 3, size - 11 + i % 3) for i in range(VERSION_BITS))
    bottom_left = tuple((c, r) for r, c in top_right)
    return top_right, bottom_left


def _bch_codeword(data: int, generator: int) -> int:
    """``data`` followed by the remainder of its polynomial division by ``generator``."""
    check_bits = generator.bit_length() - 1
    remainder = data << check_bits
    while remainder.bit_length() > check_bits:
        remainder ^= generator << (remainder.bit_length() - generator.bit_length())
    return (data << check_bits) | remainder


# Indexed by the 5 data bits (level bits, then the 3 mask bits), as stored in the
# symbol, i.e. after the XOR mask that keeps a valid word from being all light.
FORMAT_CODEWORDS: tuple[int, ...] = tuple(
    _bch_codeword(data, 0b10100110111) ^ 0b101010000010010 for data in range(32)
)


def _mark(mask: bytearray, size: int, row: int, col: int, height: int, width: int) -> None:
    for r in range(row, row + height):
        mask[r * size + col : r * size + col + width] = b"\x01" * width


@lru_cache(maxsize=None)
def function_mask(size: int) -> bytes:
    """size*size bytes, 1 for every function module and 0 for data modules.

    Function modules: finders with their separators, timing patterns,
    alignment patterns, the dark module, both format copies and, from version
    7, both version copies.
    """
    version = version_for_size(size)
    mask = bytearray(size * size)
    # Finder plus separator is an 8x8 square in each of the three corners.
    _mark(mask, size, 0, 0, 8, 8)
    _mark(mask, size, 0, size - 8, 8, 8)
    _mark(mask, size, size - 8, 0, 8, 8)
    _mark(mask, size, 6, 8, 1, size - 16)
    _mark(mask, size, 8, 6, size - 16, 1)
    for r, c in alignment_centres(version):
        _mark(mask, size, r - 2, c - 2, 5, 5)
    dr, dc = dark_module_position(size)
    mask[dr * size + dc] = 1
    for copy in format_positions(size) + version_positions(size):
        for r, c in copy:
            mask[r * size + c] = 1
    return bytes(mask)
