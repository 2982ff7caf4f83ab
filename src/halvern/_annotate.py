"""Pictures of a read: where the codes are, and why none was read.

``annotate`` draws each code's outline (its four corners), a mark on its top-left
corner and its text beside it on the image in colour; a symbol that was located but
not decoded is outlined in red with the reason. ``explain`` draws what the reader saw:
the first pass's bits, every finder candidate, each triple of finders it tried and,
for each located symbol, its module centres coloured by how many points over each
agree with its reading.

Images whose longer side is under ``MIN_SIDE`` pixels are enlarged by a whole factor
(nearest neighbour, so modules stay sharp) to leave room for readable text: a point
(x, y) of the image is drawn at (x * s, y * s), pixel edges at integers. Pillow is
needed (``pip install "halvern[image]"``); it is imported when a picture is made.
"""

from __future__ import annotations

import math
import os
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from halvern._files import load_image
from halvern._image import _WIDE_PILLOW_MODES, Binarizer, _is_pillow_image, _packed, as_reader_input
from halvern._reader import QRCode, Undecoded
from halvern._symbology import SYMBOLOGIES
from halvern._trace import DECODED, NO_GRID, STAGES, Trace, TraceSymbol, trace_read

if TYPE_CHECKING:
    from PIL import Image as PILImage

__all__ = ["PILLOW_HINT", "annotate", "explain"]

Point = tuple[float, float]
Colour = tuple[int, int, int]

PILLOW_HINT = 'pip install "halvern[image]"'
MIN_SIDE = 480
MAX_SCALE = 16
# Characters of a code's text shown beside it.
LABEL_TEXT = 40

# annotate: the outline and label box of a code, and of a symbol that did not decode.
CODE, CODE_LABEL = (0, 200, 80), (0, 110, 45)
UNDECODED, UNDECODED_LABEL = (230, 30, 30), (150, 15, 15)
CORNER, TEXT, INK = (255, 200, 0), (255, 255, 255), (0, 0, 0)
# explain: the bits, finders by pass, triples by outcome, modules by confidence.
BIT_LIGHT, BIT_DARK = (250, 250, 250), (80, 80, 80)
FINDER: dict[str, Colour] = {"first": (255, 0, 255), "inverted": (0, 190, 255),
                             "denoised": (255, 140, 0), "shrunk": (150, 90, 255),
                             "enlarged": (0, 160, 120), "global": (200, 120, 60)}
FINDER_NAMES = {"first": "dark on light", "inverted": "light on dark",
                "denoised": "after denoising", "shrunk": "in the image shrunk 4x",
                "enlarged": "in the image enlarged 3x", "global": "through a global threshold"}
TRIPLE_DECODED, TRIPLE_LOCATED, TRIPLE_NO_GRID = (0, 150, 0), (200, 0, 0), (40, 90, 255)
CONFIDENT, DOUBTFUL, UNSURE = (0, 210, 0), (255, 215, 0), (255, 0, 0)


# ---------------------------------------------------------------------------
# Pillow and the picture's frame


def _pillow(what: str) -> Any:
    """The PIL package, or ImportError naming the extra that brings it."""
    try:
        import PIL.Image
        import PIL.ImageDraw
        import PIL.ImageFont
    except ImportError:
        raise ImportError(f"halvern.{what} draws with Pillow: {PILLOW_HINT}") from None
    return PIL


@dataclass(frozen=True)
class _Frame:
    """How image points land on the picture, and the sizes of what is drawn on it."""

    scale: int
    line: int
    font: Any
    text_height: int
    width: int  # the picture's, without a legend
    height: int

    def at(self, p: Point) -> tuple[float, float]:
        """The picture coordinates of image point p (Pillow's are pixel centres)."""
        return p[0] * self.scale - 0.5, p[1] * self.scale - 0.5


def _font(pil: Any, size: int) -> Any:
    try:
        return pil.ImageFont.load_default(size)
    except TypeError:  # Pillow before 10.1: one bitmap size
        return pil.ImageFont.load_default()


def _frame(pil: Any, width: int, height: int) -> _Frame:
    longer = max(width, height, 1)
    scale = max(1, min(MAX_SCALE, math.ceil(MIN_SIDE / longer)))
    side = longer * scale
    font = _font(pil, max(12, min(48, round(side / 40))))
    box = font.getbbox("Ag")
    return _Frame(scale, 2 * round(side / 440) + 1, font, box[3] - box[1], width * scale,
                  height * scale)


def _enlarged(pil: Any, picture: Any, frame: _Frame) -> Any:
    if frame.scale == 1:
        return picture
    size = (picture.width * frame.scale, picture.height * frame.scale)
    return picture.resize(size, pil.Image.Resampling.NEAREST)


# ---------------------------------------------------------------------------
# The image in colour


def _pillow_rgb(pil: Any, image: Any) -> Any | None:
    """A Pillow image as RGB, transparency laid on white; None for the wide and float
    modes, which go the reader's way to 8 bits."""
    if image.mode in _WIDE_PILLOW_MODES or image.mode == "F":
        return None
    if image.mode == "La":
        image = image.convert("LA")
    bands = image.getbands()
    if "A" in bands or "a" in bands or "transparency" in image.info:
        rgba = image.convert("RGBA")
        white = pil.Image.new("RGBA", rgba.size, (255, 255, 255, 255))
        return pil.Image.alpha_composite(white, rgba).convert("RGB")
    return image.convert("RGB")


def _colour_array(pil: Any, image: Any) -> Any | None:
    """A NumPy array of 8-bit colour (RGB or RGBA) as a Pillow image, else None."""
    import numpy as np

    array = np.asarray(image)
    if array.ndim == 3 and array.shape[2] in (3, 4) and array.dtype == np.uint8:
        return _pillow_rgb(pil, pil.Image.fromarray(np.ascontiguousarray(array)))
    return None


def _gray(pil: Any, image: Any, width: int | None, height: int | None) -> Any:
    """The image as the reader takes it, in gray: a bits image black on white."""
    pixels = as_reader_input(image, width, height)
    if pixels.width == 0 or pixels.height == 0:
        return pil.Image.new("RGB", (0, 0))
    data = bytes(memoryview(_packed(pixels)).cast("B"))
    if pixels.bits:
        data = data.translate(bytes([255] + [0] * 255))
    return pil.Image.frombytes("L", (pixels.width, pixels.height), data).convert("RGB")


def _in_colour(pil: Any, image: Any, width: int | None, height: int | None) -> Any:
    if width is None and height is None:
        if isinstance(image, (str, os.PathLike)):  # opened as the reader opens it
            return _in_colour(pil, load_image(image), None, None)
        if _is_pillow_image(image):
            rgb = _pillow_rgb(pil, image)
            if rgb is not None:
                return rgb
        elif hasattr(image, "__array__"):
            rgb = _colour_array(pil, image)
            if rgb is not None:
                return rgb
    return _gray(pil, image, width, height)


# ---------------------------------------------------------------------------
# Labels


def _cut(text: str, limit: int = LABEL_TEXT) -> str:
    """The text on one line (controls as spaces), its first ``limit`` characters."""
    line = "".join(c if c.isprintable() else " " for c in text)
    return line if len(line) <= limit else line[: limit - 3] + "..."


Box = tuple[float, float, float, float]


def _overlaps(a: Box, b: Box) -> bool:
    return a[0] < b[2] and b[0] < a[2] and a[1] < b[3] and b[1] < a[3]


def _label_box(frame: _Frame, corners: Sequence[tuple[float, float]], size: tuple[float, float],
               placed: Sequence[Box]) -> Box:
    """Where a label of ``size`` goes: right above the outline through ``corners``, else
    right below it, else a line further out each way, the first place inside the
    picture clear of the labels ``placed``; above or inside the outline at worst."""
    w, h = size
    xs, ys = [c[0] for c in corners], [c[1] for c in corners]
    gap = 2 * frame.line + 2
    x = min(max(0.0, min(xs)), max(0.0, frame.width - w))
    tops = [y for k in range(4) for y in (min(ys) - gap - h - k * (h + 2), max(ys) + gap + k * (h + 2))]
    inside = [(x, y, x + w, y + h) for y in tops if y >= 0 and y + h <= frame.height]
    for box in inside:
        if not any(_overlaps(box, other) for other in placed):
            return box
    if inside:
        return inside[0]
    y = max(0.0, min(ys))
    return x, y, x + w, y + h


def _label(draw: Any, frame: _Frame, corners: Sequence[tuple[float, float]], text: str,
           fill: Colour, placed: list[Box]) -> None:
    """``text`` in white on a box of ``fill`` beside the outline through ``corners``
    (picture coordinates), clear of the labels ``placed``, which it joins."""
    pad = max(2, frame.text_height // 4)
    left, top, right, _ = draw.textbbox((0, 0), text, font=frame.font)
    box = _label_box(frame, corners, (right - left + 2 * pad, frame.text_height + 2 * pad), placed)
    placed.append(box)
    draw.rectangle((box[0], box[1], box[2] - 1, box[3] - 1), fill=fill)
    draw.text((box[0] + pad - left, box[1] + pad - top), text, fill=TEXT, font=frame.font)


def _result_label(draw: Any, frame: _Frame, item: QRCode | Undecoded, placed: list[Box]) -> None:
    """The code's text, or why the symbol did not decode, beside its outline."""
    points = [frame.at(p) for p in item.position]
    if isinstance(item, QRCode):
        _label(draw, frame, points, _cut(item.text), CODE_LABEL, placed)
    else:
        _label(draw, frame, points, _cut("not decoded: " + item.reason, 60), UNDECODED_LABEL, placed)


# ---------------------------------------------------------------------------
# annotate


def _circle(centre: tuple[float, float], radius: float) -> tuple[int, int, int, int]:
    """Pillow's box of a circle round the pixel nearest ``centre`` (picture
    coordinates): it fills from the box's first pixel to its last, both included, so a
    box of whole pixels is centred on that pixel (a box of halves came out half a pixel
    up and left)."""
    x, y, r = round(centre[0]), round(centre[1]), max(1, round(radius))
    return x - r, y - r, x + r, y + r


def _outline(draw: Any, frame: _Frame, corners: Sequence[Point], colour: Colour) -> list[tuple[float, float]]:
    points = [frame.at(p) for p in corners]
    draw.line([*points, points[0]], fill=colour, width=frame.line, joint="curve")
    return points


def _corner_mark(draw: Any, frame: _Frame, corner: Point) -> None:
    draw.ellipse(_circle(frame.at(corner), 2 * frame.line + 1), fill=CORNER)


def _annotate_one(draw: Any, frame: _Frame, item: QRCode | Undecoded) -> None:
    _outline(draw, frame, item.position, CODE if isinstance(item, QRCode) else UNDECODED)
    _corner_mark(draw, frame, item.position[0])


def _checked_codes(codes: Iterable[QRCode | Undecoded]) -> list[QRCode | Undecoded]:
    if isinstance(codes, (QRCode, Undecoded)):
        raise TypeError("codes must be a list of QRCode or Undecoded, not one result.")
    items = list(codes)
    for item in items:
        if not isinstance(item, (QRCode, Undecoded)):
            raise TypeError(f"codes must hold QRCode or Undecoded results, not {type(item).__name__}.")
    return items


def annotate(image: Any, codes: Iterable[QRCode | Undecoded], width: int | None = None,
             height: int | None = None) -> PILImage.Image:
    """``image`` in colour with each of ``codes`` drawn on it: its outline through its
    four corners, its top-left corner marked, its text (cut to 40 characters) beside
    it; an ``Undecoded`` outlined in red with its reason.

    ``image`` is anything ``read_all`` takes (with ``width`` and ``height`` for a bits
    image) and ``codes`` what it returned for it. Images under 480 pixels a side are
    enlarged by a whole factor. Needs Pillow (``pip install "halvern[image]"``).
    """
    pil = _pillow("annotate")
    items = _checked_codes(codes)
    base = _in_colour(pil, image, width, height)
    frame = _frame(pil, base.width, base.height)
    picture = _enlarged(pil, base, frame)
    draw = pil.ImageDraw.Draw(picture)
    for item in items:
        _annotate_one(draw, frame, item)
    placed: list[Box] = []
    for item in items:
        _result_label(draw, frame, item, placed)
    return picture  # type: ignore[no-any-return]


# ---------------------------------------------------------------------------
# explain: what the reader saw


def _bits_picture(pil: Any, trace: Trace, frame: _Frame) -> Any:
    picture = pil.Image.frombytes("P", (trace.width, trace.height), trace.bits)
    picture.putpalette([*BIT_LIGHT, *BIT_DARK])
    return _enlarged(pil, picture.convert("RGB"), frame)


def _triple_colour(outcome: str) -> Colour:
    if outcome == DECODED:
        return TRIPLE_DECODED
    return TRIPLE_NO_GRID if outcome == NO_GRID else TRIPLE_LOCATED


def _draw_triples(draw: Any, frame: _Frame, trace: Trace) -> None:
    width = max(1, frame.line // 2)
    for triple in trace.triples:
        tl, tr, bl = (frame.at(p) for p in triple.centers)
        draw.line([tr, tl, bl], fill=_triple_colour(triple.outcome), width=width)


def _draw_finders(draw: Any, frame: _Frame, trace: Trace) -> None:
    for finder in trace.finders:
        x, y = frame.at(finder.center)
        colour = FINDER[finder.stage]
        # Later passes ring outside earlier ones: they often find the same finders.
        r = 3.5 * finder.module_size * frame.scale + STAGES.index(finder.stage) * 1.5 * frame.line
        draw.ellipse(_circle((x, y), r), outline=colour, width=frame.line)
        arm = max(3.0, finder.module_size * frame.scale)
        draw.line([(x - arm, y), (x + arm, y)], fill=colour, width=1)
        draw.line([(x, y - arm), (x, y + arm)], fill=colour, width=1)


def confidence_colour(confidence: float) -> Colour:
    """Red at 5 of 9 points agreeing with the module's reading or fewer, yellow at 7,
    green at 9."""
    t = min(1.0, max(0.0, (confidence - 5 / 9) / (4 / 9)))
    low, high = (UNSURE, DOUBTFUL) if t <= 0.5 else (DOUBTFUL, CONFIDENT)
    u = t * 2 if t <= 0.5 else t * 2 - 1
    return tuple(round(a + (b - a) * u) for a, b in zip(low, high, strict=True))  # type: ignore[return-value]


def _grid_corners(grid: TraceSymbol) -> list[Point] | None:
    n = grid.size
    corners = [grid.point(x, y) for x, y in ((0, 0), (n, 0), (n, n), (0, n))]
    return None if any(c is None for c in corners) else [c for c in corners if c is not None]


def _symbol_label(draw: Any, frame: _Frame, symbol: TraceSymbol, placed: list[Box]) -> None:
    corners = _grid_corners(symbol)
    if corners is None:
        return
    where = "" if symbol.stage == "first" else f" ({FINDER_NAMES[symbol.stage]})"
    decoded = symbol.outcome == DECODED
    text = DECODED + where if decoded else f"not decoded{where}: {symbol.outcome}"
    _label(draw, frame, [frame.at(p) for p in corners], _cut(text, 80),
           CODE_LABEL if decoded else UNDECODED_LABEL, placed)


def _draw_grid(draw: Any, frame: _Frame, grid: TraceSymbol) -> None:
    """The grid's outline and its module centres, coloured by confidence."""
    corners = _grid_corners(grid)
    if corners is None:
        return
    _outline(draw, frame, corners, CODE if grid.outcome == DECODED else UNDECODED)
    pitch = math.dist(corners[0], corners[1]) / grid.size * frame.scale
    r = max(1.0, 0.18 * pitch)
    for centre, confidence in grid.centers():
        draw.ellipse(_circle(frame.at(centre), r), fill=confidence_colour(confidence))


# A legend entry: a swatch (a ring, a line or a dot) and its words.
@dataclass(frozen=True)
class _Entry:
    shape: str
    colour: Colour | None
    words: str


def _count(n: int, thing: str, things: str) -> str:
    return f"{n} {thing if n == 1 else things}"


def _summary(trace: Trace) -> str:
    codes = sum(isinstance(r, QRCode) for r in trace.results)
    return ", ".join([_count(len(trace.finders), "finder candidate", "finder candidates"),
                      _count(len(trace.triples), "triple tried", "triples tried"),
                      _count(len(trace.symbols), "symbol located", "symbols located"),
                      _count(codes, "code read", "codes read")])


def _legend_entries(trace: Trace) -> list[list[_Entry]]:
    stages = [s for s in STAGES if any(f.stage == s for f in trace.finders)] or ["first"]
    return [
        [_Entry("text", None, _summary(trace))],
        [_Entry("text", None, "finder candidates:"),
         *(_Entry("ring", FINDER[s], FINDER_NAMES[s]) for s in stages)],
        [_Entry("text", None, "triples tried:"), _Entry("line", TRIPLE_DECODED, DECODED),
         _Entry("line", TRIPLE_LOCATED, "located, not decoded"),
         _Entry("line", TRIPLE_NO_GRID, "no grid held its timing")],
        [_Entry("text", None, "module centres, points agreeing with the reading:"),
         _Entry("dot", CONFIDENT, "9 of 9"), _Entry("dot", DOUBTFUL, "7 of 9"),
         _Entry("dot", UNSURE, "5 of 9 or fewer")],
    ]


def _entry_width(frame: _Frame, entry: _Entry) -> float:
    swatch = 0 if entry.shape == "text" else frame.text_height + frame.text_height // 2
    return swatch + float(frame.font.getlength(entry.words)) + frame.text_height


def _layout(frame: _Frame, rows: list[list[_Entry]], width: int) -> list[list[tuple[float, _Entry]]]:
    """The legend's lines: each entry with its x, wrapped at ``width``."""
    pad = frame.text_height // 2
    lines: list[list[tuple[float, _Entry]]] = []
    for row in rows:
        line: list[tuple[float, _Entry]] = []
        x = float(pad)
        for entry in row:
            w = _entry_width(frame, entry)
            if line and x + w > width:
                lines.append(line)
                line, x = [], float(pad + frame.text_height)
            line.append((x, entry))
            x += w
        lines.append(line)
    return lines


def _swatch(draw: Any, frame: _Frame, entry: _Entry, x: float, y: float) -> float:
    """Draws the entry's swatch at (x, y), the top of its line; the x of its words."""
    if entry.shape == "text" or entry.colour is None:
        return x
    s = frame.text_height
    box = (x, y + 1, x + s, y + s + 1)
    if entry.shape == "ring":
        draw.ellipse(box, outline=entry.colour, width=max(2, frame.line))
    elif entry.shape == "line":
        draw.line([(x, y + s / 2), (x + s, y + s / 2)], fill=entry.colour, width=max(2, frame.line))
    else:
        draw.ellipse((x + s / 4, y + s / 4, x + 3 * s / 4, y + 3 * s / 4), fill=entry.colour)
    return x + s + s // 2


def _with_legend(pil: Any, picture: Any, frame: _Frame, trace: Trace) -> Any:
    width = max(picture.width, MIN_SIDE)  # an empty image still has its legend
    lines = _layout(frame, _legend_entries(trace), width)
    step = frame.text_height + frame.text_height // 2
    height = step * len(lines) + frame.text_height
    out = pil.Image.new("RGB", (width, picture.height + height), (255, 255, 255))
    out.paste(picture, (0, 0))
    draw = pil.ImageDraw.Draw(out)
    top = draw.textbbox((0, 0), "Ag", font=frame.font)[1]
    for i, line in enumerate(lines):
        y = picture.height + frame.text_height // 2 + i * step
        for x, entry in line:
            words_x = _swatch(draw, frame, entry, x, y)
            draw.text((words_x, y - top), entry.words, fill=INK, font=frame.font)
    return out


def explain(image: Any, width: int | None = None, height: int | None = None, *,
            try_invert: bool = True, binarizer: Binarizer = "auto",
            symbologies: Iterable[str] = SYMBOLOGIES) -> PILImage.Image:
    """What the reader saw in ``image``, for a read that found nothing (or less than
    expected): the bits of its first pass, every finder candidate (a ring as wide as a
    finder, coloured by the pass that found it), each triple of finders it tried (lines
    from the top-left to the other two, coloured by how far it got) and, for each
    symbol it located, the outline and the module centres it sampled, coloured by how
    many of nine points over each module agree with its reading (the doubts the decoder
    weighs); a legend below says what is what.

    The arguments are those of ``read_all``. Needs Pillow (``pip install
    "halvern[image]"``).
    """
    pil = _pillow("explain")
    trace = trace_read(image, width, height, try_invert=try_invert, binarizer=binarizer,
                       symbologies=symbologies)
    frame = _frame(pil, trace.width, trace.height)
    picture = _bits_picture(pil, trace, frame)
    draw = pil.ImageDraw.Draw(picture)
    for symbol in trace.symbols:
        _draw_grid(draw, frame, symbol)
    _draw_triples(draw, frame, trace)
    _draw_finders(draw, frame, trace)
    placed: list[Box] = []
    for symbol in trace.symbols:
        _symbol_label(draw, frame, symbol, placed)
    return _with_legend(pil, picture, frame, trace)  # type: ignore[no-any-return]
