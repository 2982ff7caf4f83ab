"""What a read saw: the native reader's trace as values, for ``halvern.explain``.

``_engine.read_traced`` is the read ``halvern.read_all`` makes, with the trace option
on: besides the records it gives the first pass's bits, every finder candidate of
every pass, each triple of finders a pass tried and how far it got, and each symbol
a pass located (decoded or not, reported or not) with the grid it was sampled through
and how far the points over each module agree with its reading (the decoder's doubts). A read without the option does none of
this work.
"""

from __future__ import annotations

from collections.abc import Iterable
from dataclasses import dataclass
from typing import Any, Literal

from halvern import _engine
from halvern._reader import REASONS, QRCode, Undecoded, _result, native_arguments
from halvern._symbology import ALL, SYMBOLOGIES, symbology_mask

__all__ = ["Trace", "TraceFinder", "TraceSymbol", "TraceTriple", "trace_read"]

Point = tuple[float, float]
Quad = tuple[Point, Point, Point, Point]
Stage = Literal["first", "inverted", "denoised", "shrunk", "enlarged", "global"]

# The passes of a read by the trace's number: the first over the bits, light finders
# on dark in the inverted bits, the bits after a 3x3 majority, the image shrunk 4x, the
# small image enlarged 3x, the gray image through one threshold for all of it.
STAGES: tuple[Stage, ...] = ("first", "inverted", "denoised", "shrunk", "enlarged", "global")
DECODED = "decoded"
NO_GRID = "no grid of it held its timing pattern"
# Confidence of a module: how many of nine points over its middle (the points of the
# decoder's doubts) agree with its reading, 0 to 9.
CONFIDENCE_SCALE = 9


@dataclass(frozen=True)
class TraceFinder:
    """A finder candidate: its centre and module size in the image's pixels, the row
    matches merged into it and the pass that found it."""

    center: Point
    module_size: float
    hits: int
    stage: Stage


@dataclass(frozen=True)
class TraceTriple:
    """Three finders a pass tried as one symbol (top-left, top-right, bottom-left as it
    ranked them) and how far it got: "decoded", why its best grid did not decode, or
    that no grid of it held its timing pattern."""

    centers: tuple[Point, Point, Point]
    cost: float
    stage: Stage
    outcome: str


@dataclass(frozen=True)
class TraceSymbol:
    """A symbol a pass located, and how far it got ("decoded" or why not).

    ``module_to_image`` (3x3, row-major) maps module coordinates (module (c, r) spans
    c..c+1, r..r+1) to the image's pixels; ``confidence`` holds a byte per module,
    row-major in the grid's frame: how many of nine points over its middle agree with
    its reading (0 to 9).
    """

    module_to_image: tuple[float, ...]
    size: int
    confidence: bytes
    stage: Stage
    outcome: str

    def point(self, x: float, y: float) -> Point | None:
        """The image point of module point (x, y); None beyond the horizon."""
        m = self.module_to_image
        w = m[6] * x + m[7] * y + m[8]
        if not w > 1e-12:
            return None
        return (m[0] * x + m[1] * y + m[2]) / w, (m[3] * x + m[4] * y + m[5]) / w

    def centers(self) -> list[tuple[Point, float]]:
        """Each module's centre in the image with its confidence (0 to 1), row by row;
        modules whose centre maps beyond the horizon are left out."""
        out = []
        for r in range(self.size):
            for c in range(self.size):
                p = self.point(c + 0.5, r + 0.5)
                if p is not None:
                    out.append((p, self.confidence[r * self.size + c] / CONFIDENCE_SCALE))
        return out


@dataclass(frozen=True)
class Trace:
    """A read and what it saw: ``results`` as ``read_all(..., return_errors=True)``
    gives them, ``bits`` the first pass's bits (``width * height`` bytes, 1 dark), the
    finder candidates, triples and symbols of every pass (the first 64 symbols)."""

    width: int
    height: int
    bits: bytes
    finders: tuple[TraceFinder, ...]
    triples: tuple[TraceTriple, ...]
    symbols: tuple[TraceSymbol, ...]
    results: tuple[QRCode | Undecoded, ...]


def _outcome(reason: str) -> str:
    # A triple whose grids all failed the timing check is reported as of no QR size.
    if reason == "none":
        return DECODED
    return NO_GRID if reason == "bad_size" else REASONS[reason]


def _finder(raw: tuple[float, float, float, int, int]) -> TraceFinder:
    x, y, module, hits, stage = raw
    return TraceFinder((x, y), module, hits, STAGES[stage])


def _triple(raw: tuple[Any, float, int, str]) -> TraceTriple:
    centers, cost, stage, outcome = raw
    return TraceTriple(centers, cost, STAGES[stage], _outcome(outcome))


def _symbol(raw: tuple[tuple[float, ...], int, bytes, int, str]) -> TraceSymbol:
    h, size, confidence, stage, outcome = raw
    return TraceSymbol(h, size, confidence, STAGES[stage], _outcome(outcome))


def trace_read(image: Any, width: int | None = None, height: int | None = None, *,
               try_invert: bool = True, binarizer: str = "auto",
               symbologies: Iterable[str] = SYMBOLOGIES) -> Trace:
    """``read_all(image, width, height, return_errors=True, ...)`` with what it saw."""
    mask = ALL if symbologies is SYMBOLOGIES else symbology_mask(symbologies)
    arguments = native_arguments(image, width, height, try_invert, binarizer)
    records, (bits, finders, triples, symbols) = _engine.read_traced(*arguments, True, mask)
    return Trace(arguments[1], arguments[2], bits, tuple(map(_finder, finders)),
                 tuple(map(_triple, triples)), tuple(map(_symbol, symbols)),
                 tuple(map(_result, records)))
