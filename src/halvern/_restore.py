"""Strict restoration of sampled QR matrices and their format/version information.

A sampled matrix is row-major, one byte per module, nonzero meaning dark.
Restoration rewrites every function module to the value an encoder would
have drawn and keeps every data module as sampled, so the decoder sees clean
structure and only the data-bit errors that error correction must handle.
"Strict" means that when the format or version information cannot be read
with confidence the functions raise ValueError rather than guess.

The ``size`` argument must be an int (anything with ``__index__``, such as a
NumPy integer, is accepted; bool is not). Every other value, as well as a
width that no symbol has, raises ValueError("Not a QR symbol size.").
The matrix may be any object supporting the buffer protocol with one byte per
item (bytes, bytearray, memoryview, a NumPy uint8 or bool array of any shape,
as long as it is C-contiguous or can be copied); other item sizes raise
TypeError.
"""

from __future__ import annotations

from dataclasses import dataclass
from functools import lru_cache

from halvern._layout import (
    FIRST_VERSION_WITH_VERSION_INFO,
    MAX_VERSION,
    alignment_centres,
    dark_module_position,
    finder_origins,
    format_positions,
    function_mask,
    version_for_size,
    version_positions,
)

__all__ = ["FormatInfo", "format_info", "strict_restore_qr_matrix", "version_info"]

FORMAT_GENERATOR = 0b10100110111
VERSION_GENERATOR = 0b1111100100101
# XORed onto the format word so that no valid word is all light.
FORMAT_XOR_MASK = 0b101010000010010
# Both codes have a minimum distance of 7 (format) and 8 (version): up to 3
# bit errors decode to a unique codeword.
MAX_BIT_ERRORS = 3

# The two error-correction bits of the format word, indexed by their value.
LEVEL_FOR_BITS = ("M", "L", "H", "Q")

# 0 for light bytes, 1 for every other byte value.
_TO_BIT = bytes([0]) + bytes([1]) * 255


def _bch_codeword(data: int, generator: int) -> int:
    """``data`` followed by the remainder of its polynomial division by ``generator``."""
    check_bits = generator.bit_length() - 1
    remainder = data << check_bits
    while remainder.bit_length() > check_bits:
        remainder ^= generator << (remainder.bit_length() - generator.bit_length())
    return (data << check_bits) | remainder


# Indexed by the 5 data bits (level bits, then the 3 mask bits), as stored
# in the symbol, i.e. after the XOR mask.
FORMAT_CODEWORDS: tuple[int, ...] = tuple(
    _bch_codeword(data, FORMAT_GENERATOR) ^ FORMAT_XOR_MASK for data in range(32)
)

# Indexed by version; entries below version 7 are unused (None).
VERSION_CODEWORDS: tuple[int | None, ...] = tuple(
    _bch_codeword(v, VERSION_GENERATOR) if v >= FIRST_VERSION_WITH_VERSION_INFO else None
    for v in range(MAX_VERSION + 1)
)


@dataclass(frozen=True)
class FormatInfo:
    """Decoded format information of a symbol."""

    error_correction: str  # "L", "M", "Q" or "H"
    mask: int  # data mask pattern, 0..7
    errors: int  # bit errors corrected in the copy that was used


def _modules(matrix: object, size: int) -> bytes:
    """The first size*size bytes of ``matrix`` as 0/1 values."""
    n = size * size
    with memoryview(matrix) as view:  # type: ignore[arg-type]
        if view.itemsize != 1:
            raise TypeError("Matrix must hold one byte per module.")
        if view.nbytes < n:
            raise ValueError("Matrix is shorter than size * size.")
        if view.ndim == 1:
            raw = bytes(view[:n])
        elif view.c_contiguous:
            with view.cast("B") as flat:
                raw = bytes(flat[:n])
        else:
            raw = view.tobytes()[:n]
    return raw.translate(_TO_BIT)


def _read_word(modules: bytes, size: int, positions: tuple[tuple[int, int], ...]) -> int:
    """The integer whose bit i is the module at ``positions[i]``."""
    word = 0
    for bit, (r, c) in enumerate(positions):
        word |= modules[r * size + c] << bit
    return word


def _nearest_format(word: int) -> tuple[int, int]:
    """(data bits, bit errors) of the format codeword closest to ``word``."""
    errors, data = min(((word ^ cw).bit_count(), data) for data, cw in enumerate(FORMAT_CODEWORDS))
    return data, errors


def _decode_format_bits(modules: bytes, size: int) -> tuple[int, int]:
    """(data bits, bit errors) of the better-reading format copy."""
    best: tuple[int, int] | None = None
    for positions in format_positions(size):
        data, errors = _nearest_format(_read_word(modules, size, positions))
        # Strictly fewer errors to replace: the first copy wins ties.
        if errors <= MAX_BIT_ERRORS and (best is None or errors < best[1]):
            best = (data, errors)
    if best is None:
        raise ValueError("Format information is unreadable.")
    return best


def _version_errors(modules: bytes, size: int) -> int:
    """Fewest bit errors between a version copy and the word ``size`` implies."""
    version = version_for_size(size)
    expected = VERSION_CODEWORDS[version]
    if expected is None:
        return 0
    errors = min(
        (_read_word(modules, size, positions) ^ expected).bit_count()
        for positions in version_positions(size)
    )
    if errors > MAX_BIT_ERRORS:
        raise ValueError("Version information does not match the size.")
    return errors


def _set(pattern: bytearray, size: int, row: int, col: int, values: list[list[int]]) -> None:
    for dr, line in enumerate(values):
        start = (row + dr) * size + col
        pattern[start : start + len(line)] = bytes(line)


def _square_ring_pattern(width: int, rings: tuple[int, ...]) -> list[list[int]]:
    """A width x width square whose value at Chebyshev distance d from the centre is rings[d]."""
    centre = width // 2
    return [
        [rings[max(abs(r - centre), abs(c - centre))] for c in range(width)]
        for r in range(width)
    ]


_FINDER = _square_ring_pattern(7, (1, 1, 0, 1))
_ALIGNMENT = _square_ring_pattern(5, (1, 0, 1))


@lru_cache(maxsize=None)
def _ideal_fixed_pattern(size: int) -> bytes:
    """Function modules that do not depend on the format; format modules left light."""
    version = version_for_size(size)
    pattern = bytearray(size * size)  # separators are light, so they need no drawing
    for r, c in finder_origins(size):
        _set(pattern, size, r, c, _FINDER)
    for i in range(8, size - 8):
        # The timing patterns are dark on even coordinates.
        pattern[6 * size + i] = pattern[i * size + 6] = 1 - i % 2
    for r, c in alignment_centres(version):
        _set(pattern, size, r - 2, c - 2, _ALIGNMENT)
    dr, dc = dark_module_position(size)
    pattern[dr * size + dc] = 1
    word = VERSION_CODEWORDS[version]
    if word is not None:
        for positions in version_positions(size):
            for bit, (r, c) in enumerate(positions):
                pattern[r * size + c] = (word >> bit) & 1
    return bytes(pattern)


@lru_cache(maxsize=None)
def _merge_masks(size: int) -> tuple[int, int]:
    """(data-module selector, ideal fixed pattern), both as big-endian integers of 0/1 bytes.

    Integer AND/OR over the whole matrix is the fastest merge pure Python has.
    """
    mask = function_mask(size)
    keep = int.from_bytes(mask.translate(bytes([1, 0]) + bytes(254)), "big")
    ideal = int.from_bytes(_ideal_fixed_pattern(size), "big")
    return keep, ideal


@lru_cache(maxsize=None)
def _format_indices(size: int) -> tuple[tuple[int, ...], ...]:
    return tuple(tuple(r * size + c for r, c in copy) for copy in format_positions(size))


def _checked_size(size: object) -> int:
    """``size`` as a plain int, after checking that a symbol has that width."""
    return 17 + 4 * version_for_size(size)  # type: ignore[arg-type]


def format_info(matrix: object, size: int) -> FormatInfo:
    """Error-correction level, mask and bit errors of the better format copy.

    Each copy is decoded to the nearest codeword; a copy more than 3 bit
    errors from every codeword is unreadable. The copy with fewer errors wins,
    the first copy (around the top-left finder) on a tie.

    Raises ValueError: "Not a QR symbol size.", "Matrix is shorter than
    size * size." or "Format information is unreadable.". Version
    information is not examined.
    """
    size = _checked_size(size)
    modules = _modules(matrix, size)
    data, errors = _decode_format_bits(modules, size)
    return FormatInfo(LEVEL_FOR_BITS[data >> 3], data & 0b111, errors)


def version_info(matrix: object, size: int) -> int:
    """Fewest bit errors between a version information copy and the version of ``size``.

    Versions 1 to 6 carry no version information and give 0. Raises
    ValueError: "Not a QR symbol size.", "Matrix is shorter than size *
    size." or "Version information does not match the size." when neither
    copy is within 3 bit errors of the expected word.
    """
    size = _checked_size(size)
    return _version_errors(_modules(matrix, size), size)


def strict_restore_qr_matrix(matrix: object, size: int) -> bytes:
    """``matrix`` with every function module rewritten to its ideal value.

    Returns size*size bytes of 0/1: finders, separators, timing, alignment
    patterns, the dark module, both format copies (re-encoded from the
    decoded format) and, from version 7, both version copies are ideal;
    every data module is copied from ``matrix``.

    Raises ValueError: "Not a QR symbol size.", "Matrix is shorter than
    size * size.", "Format information is unreadable." or, from version 7,
    "Version information does not match the size.". Raises TypeError when
    ``matrix`` is not a buffer of one-byte items.
    """
    size = _checked_size(size)
    modules = _modules(matrix, size)
    data, _ = _decode_format_bits(modules, size)
    _version_errors(modules, size)
    keep, ideal = _merge_masks(size)
    n = size * size
    restored = bytearray(((int.from_bytes(modules, "big") & keep) | ideal).to_bytes(n, "big"))
    word = FORMAT_CODEWORDS[data]
    for indices in _format_indices(size):
        for bit, index in enumerate(indices):
            restored[index] = (word >> bit) & 1
    return bytes(restored)
