"""The symbol families halvern reads, how each names its versions, and the one fact of
a QR symbol the Python layer holds: the names of the error-correction levels, in the
native code's numbering (the native side owns the rest: which sizes a symbol has, the
format bits of each level; it checks every size it is given).

The native reader reports a family as a number (0 QR, 1 Micro QR, 2 rMQR) and takes
the families to search for as a mask of ``1 << number``. A QR code's version is its
number (1 to 40), a Micro QR code's "M1" to "M4", and an rMQR code's its size in
modules, "R{rows}x{columns}" ("R13x77").

The symbology identifier (``]Q`` and a modifier digit) tells a receiving system how
to take the data: 0 for a Model 1 symbol; otherwise 1, plus 1 when the data announces
an ECI, plus 2 under FNC1 in first position or 4 under FNC1 in second position.
"""

from __future__ import annotations

from collections.abc import Iterable

__all__ = [
    "LEVELS",
    "SYMBOLOGIES",
    "identifier",
    "matrix_buffer",
    "symbology_mask",
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
# QR levels and matrices

# The levels in the native decoder's numbering, 0 to 3.
LEVELS = ("L", "M", "Q", "H")


def matrix_buffer(matrix: object) -> memoryview | bytes:
    """``matrix`` as a contiguous buffer of one-byte items; TypeError for anything else."""
    try:
        view = memoryview(matrix)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError("Matrix must support the buffer protocol.") from None
    if view.itemsize != 1:
        raise TypeError("Matrix must hold one byte per module.")
    return view if view.c_contiguous else view.tobytes()

