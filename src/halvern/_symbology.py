"""The symbol families halvern reads, how each names its versions, and the numbers of a
QR symbol that the Python layer needs, each written once: the error-correction levels
as the native code numbers them and as the format information stores them, and the
sizes of the versions.

The native reader reports a family as a number (0 QR, 1 Micro QR, 2 rMQR) and takes
the families to search for as a mask of ``1 << number``. A QR code's version is its
number (1 to 40), a Micro QR code's "M1" to "M4", and an rMQR code's its size in
modules, "R{rows}x{columns}" ("R13x77").

The symbology identifier (``]Q`` and a modifier digit) tells a receiving system how
to take the data: 0 for a Model 1 symbol; otherwise 1, plus 1 when the data announces
an ECI, plus 2 under FNC1 in first position or 4 under FNC1 in second position.
"""

from __future__ import annotations

import operator
from collections.abc import Iterable

__all__ = [
    "LEVELS",
    "SYMBOLOGIES",
    "checked_size",
    "identifier",
    "matrix_buffer",
    "size_for_version",
    "symbology_mask",
    "version_for_size",
    "version_name",
]

SYMBOLOGIES = ("QR", "Micro QR", "rMQR")
ALL = (1 << len(SYMBOLOGIES)) - 1

_FNC1_MODIFIER = {None: 0, "first": 2, "second": 4}


def symbology_mask(names: Iterable[str]) -> int:
    """The native reader's mask of the families ``names`` lists; TypeError when it is a
    single string or holds something else, ValueError naming the unknown names or when
    it names none."""
    if isinstance(names, str):
        raise TypeError(f"symbologies must be a collection of names, such as [{names!r}].")
    try:
        chosen = list(names)
    except TypeError:
        raise TypeError("symbologies must be a collection of names.") from None
    strange = [n for n in chosen if not isinstance(n, str) or n not in SYMBOLOGIES]
    if strange:
        known = ", ".join(map(repr, SYMBOLOGIES))
        raise ValueError(f"Unknown symbologies {', '.join(map(repr, strange))}; known: {known}.")
    if not chosen:
        raise ValueError("symbologies names none.")
    mask = 0
    for name in chosen:
        mask |= 1 << SYMBOLOGIES.index(name)
    return mask


def version_name(symbology: int, version: int, rows: int, columns: int) -> int | str:
    """A version as its family names it: 7, "M3" or "R13x77"."""
    if symbology == 0:
        return version
    if symbology == 1:
        return f"M{version}"
    return f"R{rows}x{columns}"


def identifier(model: int | None, eci: bool, fnc1: str | None) -> str:
    """The symbology identifier of a symbol: ``]Q0`` for Model 1, else ``]Q1`` to
    ``]Q6`` by its ECI and FNC1 use."""
    if model == 1:
        return "]Q0"
    return f"]Q{1 + int(eci) + _FNC1_MODIFIER[fnc1]}"


# ---------------------------------------------------------------------------
# QR levels and sizes

# The levels in the native decoder's numbering, 0 to 3.
LEVELS = ("L", "M", "Q", "H")

MIN_VERSION, MAX_VERSION = 1, 40


def size_for_version(version: int) -> int:
    """Modules per side of a symbol of ``version``: 21 for version 1, four more a version."""
    return 17 + 4 * version


def version_for_size(size: int) -> int:
    """The version of a symbol ``size`` modules wide (a size ``checked_size`` passes)."""
    return (size - 17) // 4


def checked_size(size: object) -> int:
    """``size`` as a plain int, after checking that a symbol has that width.

    bool is an int subclass, but True is never a meaningful symbol size; __index__
    lets NumPy integers through.
    """
    if isinstance(size, bool):
        raise ValueError("Not a QR symbol size.")
    try:
        n = operator.index(size)  # type: ignore[arg-type]
    except TypeError:
        raise ValueError("Not a QR symbol size.") from None
    version = version_for_size(n)
    if not MIN_VERSION <= version <= MAX_VERSION or size_for_version(version) != n:
        raise ValueError("Not a QR symbol size.")
    return n


def matrix_buffer(matrix: object) -> memoryview | bytes:
    """``matrix`` as a contiguous buffer of one-byte items; TypeError for anything else."""
    try:
        view = memoryview(matrix)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError("Matrix must support the buffer protocol.") from None
    if view.itemsize != 1:
        raise TypeError("Matrix must hold one byte per module.")
    return view if view.c_contiguous else view.tobytes()

