"""Reading QR codes from images: the public entry points over the native reader.

The whole read (binarizing, finding finder patterns, fitting each symbol's grid,
sampling and decoding, and the fallbacks) is one call into ``halvern._engine`` that
runs without the interpreter lock. This module only turns what callers hold into a
pixel buffer (NumPy arrays are read in place) and the native records into results.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Literal

from halvern import _engine, _zeltra
from halvern._content import Decoded, Segment, decoded_from_native

__all__ = ["QRCode", "QRMatrix", "read", "read_all", "read_matrix"]

Point = tuple[float, float]
Quad = tuple[Point, Point, Point, Point]
Binarizer = Literal["auto", "local", "global", "none"]

_BINARIZERS: dict[str, int] = {"auto": 0, "local": 1, "global": 2, "none": 3}
_NONE = _BINARIZERS["none"]
_LEVELS = {0: "M", 1: "L", 2: "H", 3: "Q"}  # the format's level indicator bits

# ---------------------------------------------------------------------------
# Results


@dataclass(frozen=True)
class QRMatrix:
    """A sampled and restored symbol, with where it was found."""

    modules: bytes  # size * size bytes, 1 dark, 0 light; function patterns restored
    size: int
    version: int
    error_correction: str
    mask: int
    score: float  # share of the 147 finder modules sampled right
    centers: tuple[Point, Point, Point]  # top-left, top-right, bottom-left, in pixels
    module_size: float  # pixels per module

    def rows(self) -> list[bytes]:
        return [self.modules[r * self.size : (r + 1) * self.size] for r in range(self.size)]


@dataclass(frozen=True)
class QRCode:
    """A decoded symbol: its content, how it was stored and where it lies.

    ``position`` holds the symbol's corners (top-left, top-right, bottom-right,
    bottom-left as the symbol reads) in the caller's pixels; ``orientation`` is the
    direction of its top edge in degrees, clockwise from the image's x axis (the y
    axis points down); ``mirrored`` says it was read as its mirror image, ``inverted``
    light on dark.
    """

    text: str
    data: bytes
    version: int
    error_correction: str  # "L", "M", "Q" or "H"
    mask: int
    corrected: int  # codewords fixed by error correction
    segments: tuple[Segment, ...]
    eci: int | None  # the first ECI designator announced, None when none was
    structured_append: tuple[int, int, int] | None  # (index from 0, total, parity)
    fnc1: str | None  # "first" (GS1) or "second"
    application_indicator: str | None
    position: Quad
    orientation: float
    mirrored: bool
    inverted: bool
    module_size: float  # pixels per module
    matrix: QRMatrix

    @property
    def decoded(self) -> Decoded:
        """The content alone, as ``decode_matrix`` gives it."""
        return Decoded(self.text, self.data, self.segments, self.version, self.error_correction,
                       self.mask, self.corrected, self.structured_append, self.fnc1,
                       self.application_indicator)


@dataclass(frozen=True)
class _Record:
    """One symbol the native reader located, decoded or not."""

    decoded: tuple[Any, ...] | None
    error: int
    size: int
    sampled: bytes
    position: Quad
    centers: tuple[Point, Point, Point]
    orientation: float
    mirrored: bool
    inverted: bool
    module_size: float


# ---------------------------------------------------------------------------
# Image input


def _array_pixels(array: Any, binarizer: str) -> tuple[Any, int]:
    """A 2-D uint8 array the reader can take in place, and its binarizer override."""
    import numpy as np

    if array.ndim == 3:
        array = np.rint(array[..., :3].mean(axis=2))
    if array.ndim != 2:
        raise ValueError("Image array must be 2-D (or 3-D with colour channels).")
    if array.dtype == np.bool_:
        return array.view(np.uint8), _NONE
    if array.dtype.kind not in "uif":
        raise TypeError("Image array must hold numbers or booleans.")
    if array.dtype == np.uint8:
        # "auto" itself takes levels 0 and 1 as bits; the other binarizers are told.
        if binarizer != "auto" and array.size and int(array.max()) <= 1:
            return array, _NONE
        return array, -1
    if array.size and array.dtype.kind in "iu" and int(array.min()) >= 0 and int(array.max()) <= 1:
        return array.astype(np.uint8), _NONE
    # Other ranges (16-bit, float 0..1, ...) are stretched onto 0..255.
    values = array.astype(np.float64)
    if values.size and not np.isfinite(values).all():
        raise ValueError("Image array holds NaN or infinite values.")
    low = float(values.min()) if values.size else 0.0
    high = float(values.max()) if values.size else 0.0
    scale = 255.0 / (high - low) if high > low else 0.0
    return np.clip(np.rint((values - low) * scale), 0, 255).astype(np.uint8), -1


def _pixels(image: Any, width: int | None, height: int | None,
            binarizer: str) -> tuple[Any, int, int, int, int]:
    """(buffer, width, height, row stride, binarizer override or -1) for the native read."""
    if width is not None or height is not None:
        if width is None or height is None:
            raise TypeError("width and height must be given together.")
        width, height = int(width), int(height)
        return image, width, height, max(width, 1), _NONE
    # Not __array_interface__: asking a NumPy array for it builds a dict (8 us, more
    # than the native read of a small code spends finding its finders).
    if hasattr(image, "ndim") and hasattr(image, "dtype") and hasattr(image, "strides"):
        array, override = _array_pixels(image, binarizer)
        if array.strides[1] != 1 or array.strides[0] < max(array.shape[1], 1):
            import numpy as np

            array = np.ascontiguousarray(array)
        height, width = array.shape
        return array, width, height, max(array.strides[0], width, 1), override
    if hasattr(image, "convert") and hasattr(image, "size") and hasattr(image, "mode"):
        if image.mode in ("I", "I;16", "I;16B", "I;16L", "F"):
            try:
                import numpy as np
            except ImportError:
                raise TypeError("Reading 16-bit or float Pillow images needs NumPy.") from None
            return _pixels(np.asarray(image), None, None, binarizer)
        width, height = image.size
        return image.convert("L").tobytes(), width, height, max(width, 1), -1
    raise TypeError(
        "Expected a bytes-like bits image with width and height, a NumPy array or a Pillow image."
    )


def _records(image: Any, width: int | None, height: int | None, try_invert: bool,
             binarizer: str, keep_errors: bool) -> list[_Record]:
    if binarizer not in _BINARIZERS:
        raise ValueError(f"binarizer must be one of {', '.join(map(repr, _BINARIZERS))}.")
    buffer, w, h, stride, override = _pixels(image, width, height, binarizer)
    mode = override if override >= 0 else _BINARIZERS[binarizer]
    raw = _engine.read(buffer, w, h, stride, mode, bool(try_invert), keep_errors)
    return [_Record(*item) for item in raw]


# ---------------------------------------------------------------------------
# From records to results


def _matrix(record: _Record, decoded: Decoded | None) -> QRMatrix | None:
    """The restored matrix of a record; None when its format information is unreadable."""
    try:
        restored = _engine.restore(record.sampled, record.size)
    except ValueError:
        return None
    if decoded is not None:
        level, mask = decoded.error_correction, decoded.mask
    else:
        data, _ = _engine.format_info(record.sampled, record.size)
        level, mask = _LEVELS[data >> 3], data & 7
    return QRMatrix(restored, record.size, (record.size - 17) // 4, level, mask,
                    _zeltra.score_finder(record.sampled, record.size), record.centers,
                    record.module_size)


def _code(record: _Record) -> QRCode | None:
    if record.decoded is None:
        return None
    try:
        decoded = decoded_from_native(record.decoded)
    except ValueError:
        return None  # a segment's bytes are not text of its character set
    matrix = _matrix(record, decoded)
    if matrix is None:
        return None
    eci = next((s.eci for s in decoded.segments if s.eci is not None), None)
    return QRCode(decoded.text, decoded.data, decoded.version, decoded.error_correction,
                  decoded.mask, decoded.corrected, decoded.segments, eci,
                  decoded.structured_append, decoded.fnc1, decoded.application_indicator,
                  record.position, record.orientation, record.mirrored, record.inverted,
                  record.module_size, matrix)


# ---------------------------------------------------------------------------
# Public entry points


def read_all(image: Any, width: int | None = None, height: int | None = None, *,
             try_invert: bool = True, binarizer: Binarizer = "auto") -> list[QRCode]:
    """Every QR code in ``image``, an empty list when there is none.

    ``image`` is a bytes-like bits image with its ``width`` and ``height`` (nonzero
    bytes are dark), a 2-D NumPy array (0/1 or bool as bits, other values as
    grayscale, 3-D as colour), or a Pillow image. Grayscale is binarized with a local
    threshold (``binarizer="local"``; ``"global"`` for one threshold for the whole
    image, ``"none"`` when any nonzero byte is dark); ``"auto"`` takes an image of two
    levels as it is. ``try_invert`` also looks for light-on-dark codes when the image
    shows no dark-on-light one.
    """
    codes = [_code(r) for r in _records(image, width, height, try_invert, binarizer, False)]
    return [c for c in codes if c is not None]


def read(image: Any, width: int | None = None, height: int | None = None, *,
         try_invert: bool = True, binarizer: Binarizer = "auto") -> QRCode | None:
    """The most trustworthy QR code in ``image`` (the one that needed the fewest
    corrections), or None; the arguments are those of ``read_all``."""
    codes = read_all(image, width, height, try_invert=try_invert, binarizer=binarizer)
    return min(codes, key=lambda c: c.corrected) if codes else None


def read_matrix(image: Any, width: int | None = None, height: int | None = None) -> QRMatrix | None:
    """The restored QR matrix of the code in ``image`` (as for ``read``), or None.

    A symbol whose data decodes is preferred; otherwise the first located symbol whose
    format information is readable is returned.
    """
    records = _records(image, width, height, True, "auto", True)
    for record in records:
        if record.decoded is not None:
            code = _code(record)
            if code is not None:
                return code.matrix
    for record in records:
        if record.decoded is None:
            matrix = _matrix(record, None)
            if matrix is not None:
                return matrix
    return None
