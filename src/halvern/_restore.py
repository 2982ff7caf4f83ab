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

from halvern import _engine
from halvern._symbology import LEVELS, matrix_buffer

__all__ = ["FormatInfo", "format_info", "strict_restore_qr_matrix", "version_info"]


@dataclass(frozen=True)
class FormatInfo:
    """Decoded format information of a symbol.

    Attributes:
        error_correction: the level, "L", "M", "Q" or "H".
        mask: the data mask pattern, 0 to 7.
        errors: bit errors corrected in the copy that was used.
    """

    error_correction: str
    mask: int
    errors: int


def format_info(matrix: object, size: int) -> FormatInfo:
    """Error-correction level, mask and bit errors of the better format copy.

    Each copy is decoded to the nearest codeword; a copy more than 3 bit
    errors from every codeword is unreadable. The copy with fewer errors wins,
    the first copy (around the top-left finder) on a tie.

    Raises ValueError: "Not a QR symbol size.", "Matrix is shorter than
    size * size." or "Format information is unreadable.". Version
    information is not examined.
    """
    level, mask, errors = _engine.format_info(matrix_buffer(matrix), size)
    return FormatInfo(LEVELS[level], mask, errors)


def version_info(matrix: object, size: int) -> int:
    """Fewest bit errors between a version information copy and the version of ``size``.

    Versions 1 to 6 carry no version information and give 0. Raises
    ValueError: "Not a QR symbol size.", "Matrix is shorter than size *
    size." or "Version information does not match the size." when neither
    copy is within 3 bit errors of the expected word.
    """
    errors: int = _engine.version_info(matrix_buffer(matrix), size)
    return errors


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
    if type(matrix) is not bytes:
        # As decode_matrix: the native call takes any contiguous buffer and checks the size.
        matrix = matrix_buffer(matrix)
    restored: bytes = _engine.restore(matrix, size)
    return restored
