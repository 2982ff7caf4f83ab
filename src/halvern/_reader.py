"""Reading QR codes from images: the public entry points over the native reader.

The whole read (binarizing, finding finder patterns, fitting each symbol's grid,
sampling and decoding, and the fallbacks) is one call into ``halvern._engine`` that
runs without the interpreter lock. This module only turns what callers hold into a
pixel buffer (NumPy arrays are read in place) and the native records into results:
a ``QRCode`` for each symbol that decoded, an ``Undecoded`` with the reason for each
one that was located and did not (kept only when the caller asks for them).
"""

from __future__ import annotations

from dataclasses import dataclass, fields
from collections.abc import Callable, Iterable
from typing import Any, Literal, overload

from halvern import _engine
from halvern._content import (
    FNC1,
    Decoded,
    Segment,
    application_indicator,
    payload,
    segment_texts,
    segments_of,
    short_text,
    summary,
)
from halvern._frozen import maker
from halvern._image import BINARIZERS, Binarizer, as_reader_input, binarizer_mode, plain_arguments
from halvern._symbology import ALL as _ALL
from halvern._symbology import LEVELS, SYMBOLOGIES, identifier, symbology_mask, version_name

__all__ = ["QRCode", "QRMatrix", "Undecoded", "read", "read_all", "read_matrix"]

Point = tuple[float, float]
Quad = tuple[Point, Point, Point, Point]
_NONE = BINARIZERS["none"]

# ---------------------------------------------------------------------------
# Results


def _short_position(position: Quad) -> str:
    return "(" + ", ".join(f"({x:.1f}, {y:.1f})" for x, y in position) + ")"


@dataclass(frozen=True, repr=False)
class QRMatrix:
    """A sampled and restored symbol, with where it was found.

    Attributes:
        modules: ``size * size`` bytes, row-major, 1 dark and 0 light, with the
            function patterns (finders, timing, alignment) restored.
        size: modules per side, 21 to 177.
        version: 1 to 40 (as ``QRCode.version``).
        error_correction: the level of the format information, "L", "M", "Q" or "H".
        mask: the data mask pattern of the format information, 0 to 7.
        score: the share of the 147 finder modules sampled right, 0 to 1.
        centers: the finder centres (top-left, top-right, bottom-left) in pixels.
        module_size: pixels per module.
        symbology: "QR", "Micro QR" or "rMQR".
    """

    modules: bytes
    size: int
    version: int | str
    error_correction: str
    mask: int
    score: float
    centers: tuple[Point, Point, Point]
    module_size: float
    symbology: str = "QR"

    def rows(self) -> list[bytes]:
        """The modules as ``size`` rows of ``size`` bytes, top to bottom."""
        return [self.modules[r * self.size : (r + 1) * self.size] for r in range(self.size)]

    def __repr__(self) -> str:
        return summary("QRMatrix", size=self.size, version=self.version,
                       error_correction=repr(self.error_correction), mask=self.mask,
                       score=f"{self.score:.3f}")


@dataclass(frozen=True, repr=False)
class QRCode:
    """A decoded symbol: its content, how it was stored and where it lies.

    Attributes:
        text: the content as text (see ``halvern.decode_matrix`` for the text rule).
        data: the payload bytes of all segments, concatenated.
        symbology: "QR", "Micro QR" or "rMQR".
        version: as its symbology names it: 1 to 40 for QR, "M1" to "M4" for Micro
            QR, "R7x43" to "R17x139" (rows by columns) for rMQR.
        model: a QR code's model, 1 or 2; None for Micro QR and rMQR.
        error_correction: the level, "L", "M", "Q" or "H".
        mask: the data mask pattern, 0 to 7.
        corrected: codewords fixed by error correction.
        segments: the data segments in order (``halvern.Segment``).
        eci: the first ECI designator announced, None when none was.
        structured_append: ``(index from 0, total, parity)`` of a symbol in a
            structured-append sequence, None otherwise.
        fnc1: "first" (GS1), "second" (an industry application) or None.
        application_indicator: the application indicator of FNC1 in second position,
            None otherwise.
        position: the symbol's corners (top-left, top-right, bottom-right, bottom-left
            as the symbol reads) in the caller's pixels.
        orientation: the direction of the symbol's top edge in degrees, clockwise from
            the image's x axis (the y axis points down).
        mirrored: the symbol was read as its mirror image.
        inverted: the symbol is light on dark.
        module_size: pixels per module.
        matrix: the restored module matrix (``QRMatrix``).
    """

    text: str
    data: bytes
    symbology: str
    version: int | str
    model: int | None
    error_correction: str
    mask: int
    corrected: int
    segments: tuple[Segment, ...]
    eci: int | None
    structured_append: tuple[int, int, int] | None
    fnc1: str | None
    application_indicator: str | None
    position: Quad
    orientation: float
    mirrored: bool
    inverted: bool
    module_size: float
    matrix: QRMatrix

    @property
    def decoded(self) -> Decoded:
        """The content alone, as ``decode_matrix`` gives it."""
        return Decoded(self.text, self.data, self.segments, self.version, self.error_correction,
                       self.mask, self.corrected, self.structured_append, self.fnc1,
                       self.application_indicator, self.symbology, self.model)

    @property
    def symbology_identifier(self) -> str:
        """The symbology identifier a scanner would send before the data: ``]Q0`` for a
        Model 1 symbol, else ``]Q1`` plus 1 when the data announces an ECI, plus 2
        under FNC1 in first position or 4 in second position (``]Q1`` to ``]Q6``)."""
        return identifier(self.model, self.eci is not None, self.fnc1)

    def __repr__(self) -> str:
        return summary("QRCode", text=short_text(self.text), version=self.version,
                       error_correction=repr(self.error_correction),
                       position=_short_position(self.position))


@dataclass(frozen=True, repr=False)
class Undecoded:
    """A symbol that was located but could not be decoded, and why.

    ``read_all(image, return_errors=True)`` gives these beside the codes.

    Attributes:
        reason: why it did not decode, a clause such as "too many errors to correct".
        symbology: "QR", "Micro QR" or "rMQR".
        version: the version its size suggests, as ``QRCode.version``.
        position: its corners, as ``QRCode.position``.
        orientation: as ``QRCode.orientation``.
        mirrored: it was sampled as its mirror image.
        inverted: it is light on dark.
        module_size: pixels per module.
        matrix: the restored module matrix, None when the format information (level
            and mask) is unreadable.
    """

    reason: str
    symbology: str
    version: int | str
    position: Quad
    orientation: float
    mirrored: bool
    inverted: bool
    module_size: float
    matrix: QRMatrix | None

    def __repr__(self) -> str:
        return summary("Undecoded", reason=repr(self.reason), version=self.version,
                       position=_short_position(self.position))


# ---------------------------------------------------------------------------
# The native read


def _image_arguments(image: Any, width: int | None, height: int | None,
                     binarizer: str) -> tuple[Any, int, int, int, int]:
    """The native read's image arguments: the pixels, their width, height and stride
    and the binarizer's number."""
    arguments = plain_arguments(image, width, height) if binarizer == "auto" else None
    if arguments is not None:
        return arguments
    mode = binarizer_mode(binarizer)
    pixels = as_reader_input(image, width, height, uint8_bits=binarizer != "auto")
    return pixels.pixels, pixels.width, pixels.height, pixels.stride, _NONE if pixels.bits else mode


def native_arguments(image: Any, width: int | None, height: int | None, try_invert: bool,
                     binarizer: str) -> tuple[Any, int, int, int, int, bool]:
    """The native read's arguments before ``keep_errors``: the pixels, their width,
    height and stride, the binarizer's number and ``try_invert``."""
    return *_image_arguments(image, width, height, binarizer), bool(try_invert)


def _records(image: Any, width: int | None, height: int | None, try_invert: bool,
             binarizer: str, keep_errors: bool, symbologies: Iterable[str],
             try_harder: bool) -> list[_engine.Record]:
    # The common input (a 2-D uint8 array, bytes with their size) inline: each call and
    # object between the caller and the native read cost a read of a tiny image a tenth
    # of a microsecond or more.
    arguments = plain_arguments(image, width, height) if binarizer == "auto" else None
    if arguments is None:
        arguments = _image_arguments(image, width, height, binarizer)
    return _engine.read(*arguments, bool(try_invert), keep_errors,
                        _ALL if symbologies is SYMBOLOGIES else symbology_mask(symbologies),
                        bool(try_harder))


# ---------------------------------------------------------------------------
# From records to results

# Why a located symbol did not decode, by the native record's reason.
REASONS = {
    "bad_size": "its size is not one a QR code has",
    "format": "the format information is unreadable",
    "version": "the version information does not match the symbol's size",
    "too_many_errors": "too many errors to correct",
    "data": "the data is malformed",
}
_TEXT_REASON = "the text is not valid in its character set"


_qr_matrix = maker(QRMatrix)
_undecoded_result = maker(Undecoded)


def _located_version(record: _engine.Record) -> int | str:
    """The version a located symbol has or its size gives, as its family names it."""
    return version_name(record.symbology, record.version, record.rows, record.size)


def _matrix(record: _engine.Record) -> QRMatrix | None:
    """The restored matrix of a record; None when it has none (the format information of
    a QR symbol unreadable, a Micro QR or rMQR symbol not decoded)."""
    modules, level = record.modules, record.level
    if modules is None or level is None:
        return None
    return _qr_matrix(modules, record.size, _located_version(record), LEVELS[level], record.mask,
                      record.score, record.centres, record.module_size,
                      SYMBOLOGIES[record.symbology])


def _undecoded(record: _engine.Record, reason: str) -> Undecoded:
    return _undecoded_result(reason, SYMBOLOGIES[record.symbology], _located_version(record),
                             record.position, record.orientation,
                             record.mirrored, record.inverted, record.module_size, _matrix(record))


# How each field of a code a read made comes from its record, the record's decoded
# tuple and the texts of its segments: computed on first access, then kept in the code
# as the field. Most callers of a read want the text alone, which is set when the code
# is made; building every field (the segments above all) was most of what a read of a
# small code spent in Python.
_FIELDS_FROM_RECORD: dict[str, Callable[[_engine.Record, tuple[Any, ...], list[str]], Any]] = {
    "data": lambda record, decoded, texts: payload(decoded[4]),
    "symbology": lambda record, decoded, texts: SYMBOLOGIES[record.symbology],
    "version": lambda record, decoded, texts: _located_version(record),
    "model": lambda record, decoded, texts: decoded[9] or None,
    "error_correction": lambda record, decoded, texts: LEVELS[decoded[1]],
    "mask": lambda record, decoded, texts: decoded[2],
    "corrected": lambda record, decoded, texts: decoded[3],
    "segments": lambda record, decoded, texts: segments_of(decoded[4], texts),
    "eci": lambda record, decoded, texts: next((e for _, e, _ in decoded[4] if e is not None), None),
    "structured_append": lambda record, decoded, texts: decoded[7],
    "fnc1": lambda record, decoded, texts: FNC1[decoded[5]],
    "application_indicator": lambda record, decoded, texts: application_indicator(decoded[6]),
    "position": lambda record, decoded, texts: record.position,
    "orientation": lambda record, decoded, texts: record.orientation,
    "mirrored": lambda record, decoded, texts: record.mirrored,
    "inverted": lambda record, decoded, texts: record.inverted,
    "module_size": lambda record, decoded, texts: record.module_size,
    "matrix": lambda record, decoded, texts: _matrix(record),
}
if set(_FIELDS_FROM_RECORD) | {"text"} != {f.name for f in fields(QRCode)}:
    raise TypeError("QRCode fields and the fields made from a record differ.")


class _FromRecord:
    """A field of a code a read made (see _FIELDS_FROM_RECORD). A non-data descriptor:
    the instance's own value, once set, is found first; a code built by its constructor
    holds every field, and this is not consulted."""

    def __init__(self, name: str) -> None:
        self.name = name
        self.compute = _FIELDS_FROM_RECORD[name]

    def __get__(self, code: QRCode | None, owner: type[QRCode] | None = None) -> Any:
        if code is None:
            return self
        state = code.__dict__
        value = state[self.name] = self.compute(*state["_source"])
        return value


for _name in _FIELDS_FROM_RECORD:
    setattr(QRCode, _name, _FromRecord(_name))
_new = object.__new__


def _result(record: _engine.Record) -> QRCode | Undecoded:
    """The code a record holds, or why it holds none."""
    decoded = record.decoded
    if decoded is None:
        reason = record.reason
        assert reason is not None, "a record without a decode names why"
        return _undecoded(record, REASONS[reason])
    try:
        texts = segment_texts(decoded[4])
    except ValueError:
        return _undecoded(record, _TEXT_REASON)
    code = _new(QRCode)
    state = code.__dict__
    state["text"] = "".join(texts)
    state["_source"] = (record, decoded, texts)
    return code


def _corrected(code: QRCode) -> int:
    return code.corrected


# The common read (a C-contiguous 2-D uint8 array, or bytes with their width and
# height; the default binarizer and every family) is one native call that checks the
# input as plain_arguments does and builds the codes as _result does: the layer's frames
# between the caller and the read cost a tiny read 12.8k instructions, the read itself
# 309k. It gives NotImplemented for any other input (checked and converted here), and
# the records as a tuple when a text needs the text rule of _content.
_engine.code_type(QRCode)
_read_codes = _engine.read_codes


# ---------------------------------------------------------------------------
# Public entry points


@overload
def read_all(image: Any, width: int | None = None, height: int | None = None, *,
             try_invert: bool = True, binarizer: Binarizer = "auto",
             return_errors: Literal[False] = False,
             symbologies: Iterable[str] = SYMBOLOGIES, try_harder: bool = True) -> list[QRCode]: ...
@overload
def read_all(image: Any, width: int | None = None, height: int | None = None, *,
             try_invert: bool = True, binarizer: Binarizer = "auto",
             return_errors: bool,
             symbologies: Iterable[str] = SYMBOLOGIES,
             try_harder: bool = True) -> list[QRCode | Undecoded]: ...
def read_all(image: Any, width: int | None = None, height: int | None = None, *,
             try_invert: bool = True, binarizer: Binarizer = "auto",
             return_errors: bool = False, symbologies: Iterable[str] = SYMBOLOGIES,
             try_harder: bool = True) -> list[QRCode] | list[QRCode | Undecoded]:
    """Every QR code in ``image``, an empty list when there is none.

    ``image`` is a bytes-like bits image with its ``width`` and ``height`` (nonzero
    bytes are dark), a NumPy array (0/1 or bool as bits, other values as grayscale,
    3-D as colour), a Pillow image, or a path to an image file. Grayscale is binarized
    with a local threshold (``binarizer="local"``; ``"global"`` for one threshold for
    the whole image, ``"none"`` when any nonzero byte is dark); ``"auto"`` takes an
    image of two levels as it is. ``try_invert`` also looks for light-on-dark codes
    when the image shows no dark-on-light one.

    With ``return_errors=True`` the list also holds an ``Undecoded`` for each symbol
    that was located but could not be decoded, with the reason and its position.

    ``symbologies`` names the families looked for, any of "QR", "Micro QR" and
    "rMQR" (all by default); an unknown name is a ValueError naming it.

    ``try_harder=False`` reads in one pass, for frames of a video stream where the
    next frame comes soon: no light-on-dark pass (``try_invert`` is then ignored), no
    denoised, shrunk or enlarged pass, and no retry of a grid that failed.
    """
    plain = binarizer == "auto" and symbologies is SYMBOLOGIES and not return_errors
    found = _read_codes(image, width, height, try_invert, try_harder, True) if plain else NotImplemented
    if type(found) is list:
        return found
    records = found if type(found) is tuple else _records(
        image, width, height, try_invert, binarizer, bool(return_errors), symbologies, try_harder)
    results = [_result(r) for r in records]
    if return_errors:
        return results
    return [r for r in results if type(r) is QRCode]


def read(image: Any, width: int | None = None, height: int | None = None, *,
         try_invert: bool = True, binarizer: Binarizer = "auto",
         symbologies: Iterable[str] = SYMBOLOGIES, try_harder: bool = True) -> QRCode | None:
    """The most trustworthy QR code in ``image`` (the one that needed the fewest
    corrections), or None; the arguments are those of ``read_all``."""
    found = (_read_codes(image, width, height, try_invert, try_harder, False)
             if binarizer == "auto" and symbologies is SYMBOLOGIES else NotImplemented)
    if found is None or type(found) is QRCode:
        return found
    records = found if type(found) is tuple else _records(
        image, width, height, try_invert, binarizer, False, symbologies, try_harder)
    if len(records) < 2:
        # No symbol, or one (a tiny read's common case, without the list below).
        code = _result(records[0]) if records else None
        return code if type(code) is QRCode else None
    codes = [r for r in map(_result, records) if type(r) is QRCode]
    if len(codes) == 1:
        return codes[0]
    return min(codes, key=_corrected) if codes else None


def read_matrix(image: Any, width: int | None = None, height: int | None = None) -> QRMatrix | None:
    """The restored QR matrix of the code in ``image`` (as for ``read``), or None.

    A symbol whose data decodes is preferred; otherwise the first located symbol whose
    format information is readable is returned.
    """
    results = read_all(image, width, height, return_errors=True)
    codes = [r.matrix for r in results if isinstance(r, QRCode)]
    others = [r.matrix for r in results if isinstance(r, Undecoded) and r.matrix is not None]
    return (codes + others)[0] if codes or others else None
