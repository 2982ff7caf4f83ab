"""Camera-like and scanner-like test scenes with QR codes, drawn here from a seed.

    from benchmarks.scenes import conditions, generate, scene, scenes, score, severities
    for s in scenes("blur", count=3, seed=1, severity="0.33"):   # or every severity
        print(s.name, s.image.shape, s.texts, s.versions, s.corners)
    score(scene("tilt", "40", index=2), texts_a_reader_returned)  # Score(read, unexpected)

(Scripts in benchmarks/ import it as ``scenes``; tests/conftest.py puts the repository root
on sys.path for ``benchmarks.scenes``.)

A scene is an 8-bit grayscale image (a 2-D uint8 NumPy array, 0 black) and the texts of the
symbols it holds, in no particular order; a reader is scored on the multiset of texts it
returns. Each condition is a named family of distortions with a few severities; the scenes of
one (condition, severity, index) depend only on the seed, never on what else was generated, so
that ``--only`` runs and the full table give the same images.

How a symbol is drawn: segno encodes a random text (numeric, alphanumeric, byte, kanji or
UTF-8 behind an ECI; versions 1 to 40, every error-correction level) into its module matrix.
A placement maps module coordinates (u to the right, v down, the symbol in [0, n) x [0, n),
its quiet zone 4 modules wide around it) to image pixels: a homography (in-plane rotation, a
3-D tilt seen by a pinhole camera) or a cylinder, after an optional move of the modules on
the page (a printer's jittered widths, fabric, a code nested in another). The marks are
square modules, or any reflectance over module coordinates (round dots and designed
finders, running ink, a screen's pixel grid behind a bezel). Every output pixel is
sampled ss x ss times through the inverse map and averaged, so that edges are grey as a
lens makes them. The scene is drawn as reflectance (1 paper, 0 ink), then lit (gradient,
vignette, shadow), blurred, scaled to 8 bits, and given sensor noise and JPEG compression.

Needs NumPy, segno and Pillow (the ``bench`` or ``test`` extra); nothing is downloaded.
"""

from __future__ import annotations

import hashlib
import io
import math
from collections import Counter
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass
from typing import Any

import numpy as np
import segno
from segno import consts as segno_consts

__all__ = [
    "Scene",
    "Score",
    "conditions",
    "describe",
    "generate",
    "scene",
    "scenes",
    "score",
    "severities",
    "symbol_homography",
]

Point = tuple[float, float]
Quad = tuple[Point, Point, Point, Point]
Map = Callable[[np.ndarray, np.ndarray], tuple[np.ndarray, np.ndarray]]
Marks = Callable[[np.ndarray, np.ndarray], np.ndarray]  # module (u, v) -> reflectance

QUIET = 4
PAPER = 0.92  # reflectance of paper and ink in camera scenes; clean scenes use 1 and 0
INK = 0.06
EC_LEVELS = ("L", "M", "Q", "H")
MODES = ("numeric", "alphanumeric", "byte", "kanji", "eci-utf8")
# The widest symbol drawn outside the page scenes, in pixels: it keeps a scene a fraction of
# a second to draw and to read (v40 at 20 px/module would be 3700 px square).
MAX_SYMBOL_PX = 1100


@dataclass(frozen=True)
class Scene:
    """One test image and what it holds.

    ``corners`` has one quad per symbol, in the order of ``texts``: the image positions
    (x right, y down, pixel edges at integers) of the module-grid corners (0, 0), (n, 0),
    (n, n), (0, n), the symbol's own top-left, top-right, bottom-right and bottom-left
    as drawn (a mirrored symbol is drawn from its flipped matrix).
    """

    name: str
    condition: str
    severity: str
    image: np.ndarray
    texts: tuple[str, ...]
    corners: tuple[Quad, ...] = ()
    versions: tuple[int, ...] = ()
    symbology: str = "QR"  # what the symbols are: "QR", "Micro QR" or "rMQR"


@dataclass(frozen=True)
class _Symbol:
    text: str
    version: int
    modules: np.ndarray  # n x n bool, True dark


@dataclass(frozen=True)
class _Placement:
    to_image: Map  # module (u, v) -> pixel (x, y)
    to_module: Map  # pixel (x, y) -> module (u, v)


@dataclass(frozen=True)
class _Look:
    """How a symbol is printed: reflectance of its dark and light modules."""

    dark: float = INK
    light: float = PAPER
    inverted: bool = False


# Makes a symbol's marks from its module matrix and look (round dots, ink spread, a screen).
MarksMaker = Callable[[np.ndarray, _Look], Marks]


# ---------------------------------------------------------------- content


# Character-count indicator bits for versions 1-9, 10-26, 27-40.
_COUNT_BITS = {
    "numeric": (10, 12, 14),
    "alphanumeric": (9, 11, 13),
    "byte": (8, 16, 16),
    "kanji": (8, 10, 12),
}
_ALNUM = segno_consts.ALPHANUMERIC_CHARS.decode("ascii")
_PRINTABLE = "".join(chr(c) for c in range(32, 127))
# UTF-8 text of one to four bytes a character; every ECI text starts outside ASCII.
_UTF8_WIDE = (
    "äöüßéèêàçñøåÆŒ€£¥©°±µ"
    "αβγδεζηθλμπσφψωΩ"
    "дежзийклмнопрстуфя"
    "東京大阪日本語漢字中文한국어ひらがなカタカナ"
    "✓★♥☀→⚙😀🎉"
)
_UTF8_POOL = "abcdefghijklmnopqrstuvwxyz0123456789 .,-" + _UTF8_WIDE


def _kanji_pool() -> str:
    """Level-1 kanji (Shift JIS lead bytes 0x89-0x97), every one a kanji-mode character."""
    chars = []
    for lead in range(0x89, 0x98):
        for trail in (*range(0x40, 0x7F), *range(0x80, 0xFD)):
            try:
                chars.append(bytes((lead, trail)).decode("shift_jis"))
            except UnicodeDecodeError:
                continue
    return "".join(chars)


_KANJI = _kanji_pool()


def _capacity_bits(version: int, level: str, mode: str) -> int:
    """Data bits left for characters after the mode and count headers (and the ECI header)."""
    capacity: Any = segno_consts.SYMBOL_CAPACITY  # data bits by version and level index
    total = int(capacity[version][segno_consts.ERROR_MAPPING[level]])
    band = 0 if version <= 9 else 1 if version <= 26 else 2
    if mode == "eci-utf8":
        return total - 4 - 8 - 4 - _COUNT_BITS["byte"][band]
    return total - 4 - _COUNT_BITS[mode][band]


def _capacity_units(bits: int, mode: str) -> int:
    """Characters (bytes for byte and ECI modes) that fit in ``bits``."""
    if mode == "numeric":
        rest = bits % 10
        return bits // 10 * 3 + (2 if rest >= 7 else 1 if rest >= 4 else 0)
    if mode == "alphanumeric":
        return bits // 11 * 2 + (1 if bits % 11 >= 6 else 0)
    if mode == "kanji":
        return bits // 13
    return bits // 8


def _random_text(rng: np.random.Generator, mode: str, units: int) -> str:
    """A text of at most ``units`` characters (UTF-8 bytes for eci-utf8) in ``mode``."""
    pool = {"numeric": "0123456789", "alphanumeric": _ALNUM, "byte": _PRINTABLE, "kanji": _KANJI}
    if mode in pool:
        chars = pool[mode]
        return "".join(chars[i] for i in rng.integers(0, len(chars), size=units))
    text = [_UTF8_WIDE[int(rng.integers(0, len(_UTF8_WIDE)))]]
    used = len(text[0].encode("utf-8"))
    while True:
        ch = _UTF8_POOL[int(rng.integers(0, len(_UTF8_POOL)))]
        size = len(ch.encode("utf-8"))
        if used + size > units:
            return "".join(text)
        text.append(ch)
        used += size


def _encode(text: str, version: int, level: str, mode: str) -> segno.QRCode:
    if mode == "eci-utf8":
        return segno.make_qr(text, version=version, error=level, mode="byte", encoding="utf-8",
                             eci=True, boost_error=False)
    return segno.make_qr(text, version=version, error=level, mode=mode, boost_error=False)


def _make_symbol(rng: np.random.Generator, version: int, level: str | None = None,
                 mode: str | None = None, fill: float | None = None) -> _Symbol:
    """A symbol of exactly ``version``; the text fills a random share of its capacity."""
    level = level or EC_LEVELS[int(rng.integers(0, 4))]
    mode = mode or MODES[int(rng.integers(0, len(MODES)))]
    units = _capacity_units(_capacity_bits(version, level, mode), mode)
    share = float(rng.uniform(0.3, 1.0)) if fill is None else fill
    # Four bytes hold any first ECI character; the smallest ECI capacity (1-H) is six.
    want = max(4 if mode == "eci-utf8" else 1, int(units * share))
    while True:
        text = _random_text(rng, mode, want)
        try:
            qr = _encode(text, version, level, mode)
        except segno.DataOverflowError:  # only if the capacity above were wrong; shrink
            want = max(1, want - max(1, want // 20))
            continue
        return _Symbol(text, version, np.array(qr.matrix, dtype=bool))


def _max_version(ppm: float, limit_px: int = MAX_SYMBOL_PX) -> int:
    modules = int(limit_px / ppm) - 2 * QUIET
    return max(1, min(40, (modules - 17) // 4))


def _pick_version(rng: np.random.Generator, ppm: float) -> int:
    """A version up to what fits MAX_SYMBOL_PX at ``ppm``, small ones more often (log-uniform)."""
    top = _max_version(ppm)
    return int(min(top, math.floor(math.exp(rng.uniform(0.0, math.log(top + 1))))))


# ---------------------------------------------------------------- placements


def _homography_maps(h: np.ndarray) -> _Placement:
    inv = np.linalg.inv(h)

    def apply(m: np.ndarray) -> Map:
        def mapped(x: np.ndarray, y: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
            w = m[2, 0] * x + m[2, 1] * y + m[2, 2]
            return (m[0, 0] * x + m[0, 1] * y + m[0, 2]) / w, (m[1, 0] * x + m[1, 1] * y + m[1, 2]) / w
        return mapped

    return _Placement(apply(h), apply(inv))


def symbol_homography(n: int, ppm: float, centre: Point, angle_deg: float = 0.0,
                      tilt_deg: float = 0.0, tilt_axis: str = "x",
                      focal_symbols: float = 2.5, rows: int | None = None) -> np.ndarray:
    """3 x 3 map from module coordinates to pixels: the symbol, ``ppm`` pixels per module at
    its centre, turned by ``angle_deg`` in its plane, then the plane tilted by ``tilt_deg``
    about the image's x or y axis and seen by a pinhole camera whose focal length is
    ``focal_symbols`` symbol widths, its centre at ``centre``; ``rows`` (n by default) is the
    module rows of a rectangular symbol n columns wide."""
    half, half_rows = n / 2.0, (n if rows is None else rows) / 2.0
    to_plane = np.array([[ppm, 0.0, -half * ppm], [0.0, ppm, -half_rows * ppm], [0.0, 0.0, 1.0]])
    a = math.radians(angle_deg)
    spin = np.array([[math.cos(a), -math.sin(a), 0.0], [math.sin(a), math.cos(a), 0.0], [0.0, 0.0, 1.0]])
    t = math.radians(tilt_deg)
    c, s = math.cos(t), math.sin(t)
    if tilt_axis == "x":
        rot = np.array([[1.0, 0.0, 0.0], [0.0, c, -s], [0.0, s, c]])
    else:
        rot = np.array([[c, 0.0, s], [0.0, 1.0, 0.0], [-s, 0.0, c]])
    focal = focal_symbols * n * ppm
    # Plane point (X, Y, 0) -> camera (R [X Y 0] + [0 0 f]); columns r1, r2, t of [R | t].
    extrinsic = np.column_stack([rot[:, 0], rot[:, 1], [0.0, 0.0, focal]])
    camera = np.array([[focal, 0.0, centre[0]], [0.0, focal, centre[1]], [0.0, 0.0, 1.0]])
    h = camera @ extrinsic @ spin @ to_plane
    return h / h[2, 2]


def _cylinder_placement(n: int, ppm: float, centre: Point, angle_deg: float,
                        arc_deg: float) -> _Placement:
    """The symbol wrapped round a cylinder whose axis runs along its columns, seen from afar
    (orthographic), the quiet zone's width spanning ``arc_deg`` of the cylinder, then turned
    by ``angle_deg`` in the image."""
    width = (n + 2 * QUIET) * ppm
    radius = width / math.radians(arc_deg)
    a = math.radians(angle_deg)
    ca, sa = math.cos(a), math.sin(a)
    half = n / 2.0

    def to_image(u: np.ndarray, v: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        dx = radius * np.sin((u - half) * ppm / radius)
        dy = (v - half) * ppm
        return centre[0] + ca * dx - sa * dy, centre[1] + sa * dx + ca * dy

    def to_module(x: np.ndarray, y: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        rx, ry = x - centre[0], y - centre[1]
        dx = ca * rx + sa * ry
        dy = -sa * rx + ca * ry
        # Points beyond the cylinder's silhouette map outside the symbol.
        s = np.where(np.abs(dx) < radius, radius * np.arcsin(np.clip(dx / radius, -1.0, 1.0)), np.inf)
        return s / ppm + half, dy / ppm + half

    return _Placement(to_image, to_module)


@dataclass(frozen=True)
class _Surface:
    """A smooth move of the modules on the page: ``forward`` takes module coordinates to
    page coordinates (the same units), ``inverse`` takes them back."""

    forward: Map
    inverse: Map


def _on_surface(base: _Placement, surface: _Surface) -> _Placement:
    """The placement of a symbol whose modules are first moved by ``surface``."""

    def to_image(u: np.ndarray, v: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        return base.to_image(*surface.forward(u, v))

    def to_module(x: np.ndarray, y: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        return surface.inverse(*base.to_module(x, y))

    return _Placement(to_image, to_module)


def _outline(placement: _Placement, n: int, margin: float,
             rows: int | None = None) -> tuple[np.ndarray, np.ndarray]:
    """Image points along the border of the module square (n wide, ``rows`` high when
    given) grown by ``margin`` modules."""
    m = n if rows is None else rows
    t = np.linspace(-margin, n + margin, 33)
    s = np.linspace(-margin, m + margin, 33)
    u = np.concatenate([t, np.full_like(s, n + margin), t, np.full_like(s, -margin)])
    v = np.concatenate([np.full_like(t, -margin), s, np.full_like(t, m + margin), s])
    return placement.to_image(u, v)


def _corners(placement: _Placement, n: int, rows: int | None = None) -> Quad:
    m = n if rows is None else rows
    x, y = placement.to_image(np.array([0.0, n, n, 0.0]), np.array([0.0, 0.0, m, m]))
    pts = [(float(px), float(py)) for px, py in zip(x, y, strict=True)]
    return (pts[0], pts[1], pts[2], pts[3])


# ---------------------------------------------------------------- rendering


def _supersampling(ppm: float) -> int:
    """Samples per pixel side: at least ~12 per module side, so that edges grade smoothly."""
    return int(min(8, max(2, math.ceil(12.0 / ppm))))


def _draw_symbol(canvas: np.ndarray, symbol: _Symbol, placement: _Placement, ppm: float,
                 look: _Look, marks: Marks | None = None) -> Quad:
    """Composites the symbol and its quiet zone onto the reflectance ``canvas`` (in place),
    each pixel the mean of ss x ss samples through the inverse map; returns its corners.
    ``marks`` gives the reflectance at module coordinates instead of square modules."""
    rows, n = symbol.modules.shape
    height, width = canvas.shape
    ox, oy = _outline(placement, n, QUIET, rows)
    x0 = max(0, int(math.floor(float(np.min(ox)))) - 1)
    x1 = min(width, int(math.ceil(float(np.max(ox)))) + 1)
    y0 = max(0, int(math.floor(float(np.min(oy)))) - 1)
    y1 = min(height, int(math.ceil(float(np.max(oy)))) + 1)
    if x0 >= x1 or y0 >= y1:
        return _corners(placement, n, rows)
    ss = _supersampling(ppm)
    padded = np.zeros((rows + 2 * QUIET + 2, n + 2 * QUIET + 2), dtype=bool)
    padded[QUIET + 1 : QUIET + 1 + rows, QUIET + 1 : QUIET + 1 + n] = symbol.modules
    dark_value, light_value = (look.light, look.dark) if look.inverted else (look.dark, look.light)
    offsets = (np.arange(ss) + 0.5) / ss
    sx = (np.arange(x0, x1)[:, None] + offsets[None, :]).ravel()
    rows_per_chunk = max(1, 400_000 // max(1, sx.size * ss))
    for r0 in range(y0, y1, rows_per_chunk):
        r1 = min(y1, r0 + rows_per_chunk)
        sy = (np.arange(r0, r1)[:, None] + offsets[None, :]).ravel()
        gx, gy = np.meshgrid(sx, sy)
        u, v = placement.to_module(gx, gy)
        with np.errstate(invalid="ignore"):
            inside = np.isfinite(u) & np.isfinite(v)
            inside &= (u >= -QUIET) & (u < n + QUIET) & (v >= -QUIET) & (v < rows + QUIET)
        # Samples outside the quiet zone land on the padding ring at index 0 (light).
        iu = np.floor(np.where(inside, u, -QUIET - 0.5)).astype(np.int64) + QUIET + 1
        iv = np.floor(np.where(inside, v, -QUIET - 0.5)).astype(np.int64) + QUIET + 1
        if marks is None:
            value = np.where(padded[iv, iu], dark_value, light_value) * inside
        else:
            value = marks(np.where(inside, u, -QUIET - 0.5), np.where(inside, v, -QUIET - 0.5)) * inside
        shape = (r1 - r0, ss, x1 - x0, ss)
        cover = inside.reshape(shape).mean(axis=(1, 3))
        mean = value.reshape(shape).mean(axis=(1, 3))
        patch = canvas[r0:r1, x0:x1]
        patch *= 1.0 - cover
        patch += mean
    return _corners(placement, n, rows)


def _gaussian_blur(image: np.ndarray, sigma: float) -> np.ndarray:
    """Separable Gaussian blur, edges extended; a no-op for sigma <= 0."""
    if sigma <= 0:
        return image
    radius = max(1, int(math.ceil(3.0 * sigma)))
    taps = np.exp(-0.5 * (np.arange(-radius, radius + 1) / sigma) ** 2)
    taps /= taps.sum()
    out = image
    for axis in (0, 1):
        padded = np.pad(out, [(radius, radius) if a == axis else (0, 0) for a in (0, 1)], mode="edge")
        size = out.shape[axis]
        acc = np.zeros_like(out)
        for k, w in enumerate(taps):
            acc += w * (padded[k : k + size] if axis == 0 else padded[:, k : k + size])
        out = acc
    return out


def _to_uint8(image: np.ndarray) -> np.ndarray:
    return np.clip(np.rint(image * 255.0), 0, 255).astype(np.uint8)


def _jpeg(image: np.ndarray, quality: int) -> np.ndarray:
    from PIL import Image

    buf = io.BytesIO()
    Image.fromarray(image, mode="L").save(buf, format="JPEG", quality=quality)
    buf.seek(0)
    with Image.open(buf) as decoded:
        return np.array(decoded.convert("L"), dtype=np.uint8)


# ---------------------------------------------------------------- lighting


def _gradient(shape: tuple[int, int], rng: np.random.Generator, ratio: float) -> np.ndarray:
    """Light falling linearly from 1 to 1/ratio across the image in a random direction."""
    h, w = shape
    a = rng.uniform(0, 2 * math.pi)
    y, x = np.mgrid[0:h, 0:w].astype(np.float64)
    t = (x - w / 2) * math.cos(a) + (y - h / 2) * math.sin(a)
    span = abs(w * math.cos(a)) + abs(h * math.sin(a))
    t = t / max(span, 1.0) + 0.5
    return 1.0 - (1.0 - 1.0 / ratio) * np.clip(t, 0.0, 1.0)


def _vignette(shape: tuple[int, int], rng: np.random.Generator, floor: float) -> np.ndarray:
    """Light falling off as cos^4 would, to ``floor`` in the corners, centre a little off."""
    h, w = shape
    cx = w / 2 * (1 + rng.uniform(-0.2, 0.2))
    cy = h / 2 * (1 + rng.uniform(-0.2, 0.2))
    y, x = np.mgrid[0:h, 0:w].astype(np.float64)
    r2 = ((x - cx) ** 2 + (y - cy) ** 2) / (max(cx, w - cx) ** 2 + max(cy, h - cy) ** 2)
    return 1.0 - (1.0 - floor) * r2


def _shadow(shape: tuple[int, int], rng: np.random.Generator, depth: float,
            through: Point) -> np.ndarray:
    """A hard shadow: light times ``depth`` on one side of a line through near ``through``,
    the edge about a pixel soft."""
    h, w = shape
    a = rng.uniform(0, 2 * math.pi)
    px = through[0] + rng.uniform(-0.15, 0.15) * w
    py = through[1] + rng.uniform(-0.15, 0.15) * h
    y, x = np.mgrid[0:h, 0:w].astype(np.float64)
    d = (x - px) * math.cos(a) + (y - py) * math.sin(a)
    return depth + (1.0 - depth) * np.clip(d + 0.5, 0.0, 1.0)


# ---------------------------------------------------------------- scene assembly


@dataclass(frozen=True)
class _Shot:
    """Everything applied after the symbols are drawn, in this order."""

    light: np.ndarray | None = None  # multiplies reflectance
    blur: float = 0.0  # Gaussian sigma in pixels
    noise: float = 0.0  # Gaussian sigma in 8-bit levels
    jpeg: int | None = None
    salt_pepper: float = 0.0  # share of pixels forced to black or white


def _develop(canvas: np.ndarray, shot: _Shot, rng: np.random.Generator) -> np.ndarray:
    image = canvas if shot.light is None else canvas * shot.light
    image = _gaussian_blur(image, shot.blur)
    if shot.noise > 0:
        image = image + rng.normal(0.0, shot.noise / 255.0, size=image.shape)
    out = _to_uint8(image)
    if shot.salt_pepper > 0:
        hit = rng.random(out.shape) < shot.salt_pepper
        out[hit] = np.where(rng.random(int(hit.sum())) < 0.5, 0, 255).astype(np.uint8)
    if shot.jpeg is not None:
        out = _jpeg(out, shot.jpeg)
    return out


def _single(rng: np.random.Generator, ppm: float, *, angle: float | None = None,
            tilt: float = 0.0, tilt_axis: str = "x", bend_arc: float = 0.0,
            mirrored: bool = False, look: _Look = _Look(), margin: float | None = None,
            paper: float = PAPER, integer_grid: bool = False, version: int | None = None,
            surface: _Surface | None = None,
            marks: MarksMaker | None = None,
            symbol: _Symbol | None = None) -> tuple[np.ndarray, _Symbol, Quad]:
    """A canvas (reflectance) holding one symbol, its centre at the canvas centre, with a
    random margin of paper around the quiet zone. ``angle`` None picks a right-angle
    orientation with a few degrees of jitter. ``surface`` moves the modules on the page
    before the placement; ``marks`` makes the symbol's marks from its matrix and look; ``symbol``
    (a Micro QR or rMQR symbol) is drawn instead of a QR symbol."""
    symbol = symbol or _make_symbol(rng, _pick_version(rng, ppm) if version is None else version)
    if mirrored:
        symbol = _Symbol(symbol.text, symbol.version, symbol.modules[:, ::-1].copy())
    rows, n = symbol.modules.shape
    if angle is None:
        angle = 90.0 * int(rng.integers(0, 4)) + float(rng.uniform(-4.0, 4.0))
    margin = float(rng.uniform(1.0, 8.0)) if margin is None else margin
    extent = (n + 2 * QUIET + 2 * margin) * ppm
    if tilt:
        extent *= 1.35
    if integer_grid:
        # An upright symbol on whole pixels: every module exactly ppm x ppm pixels.
        left = int(margin) * int(ppm)
        side = 2 * left + (n + 2 * QUIET) * int(ppm)
        centre = (left + QUIET * ppm + n * ppm / 2.0,) * 2
    else:
        side = int(math.ceil(abs(math.cos(math.radians(angle))) * extent
                             + abs(math.sin(math.radians(angle))) * extent))
        centre = (side / 2.0 + float(rng.uniform(-0.5, 0.5)), side / 2.0 + float(rng.uniform(-0.5, 0.5)))
    canvas = np.full((side, side), paper, dtype=np.float64)
    if bend_arc:
        placement = _cylinder_placement(n, ppm, centre, angle, bend_arc)
    else:
        h = symbol_homography(n, ppm, centre, angle, tilt, tilt_axis, rows=rows)
        placement = _homography_maps(h)
    if surface is not None:
        placement = _on_surface(placement, surface)
    drawn = None if marks is None else marks(symbol.modules, look)
    quad = _draw_symbol(canvas, symbol, placement, ppm, look, drawn)
    return canvas, symbol, quad


def _scene(name: str, condition: str, severity: str, image: np.ndarray,
           placed: list[tuple[_Symbol, Quad]], symbology: str = "QR") -> Scene:
    return Scene(name, condition, severity, image, tuple(s.text for s, _ in placed),
                 tuple(q for _, q in placed), tuple(s.version for s, _ in placed), symbology)


# ---------------------------------------------------------------- conditions

# A builder's result: the image and each symbol with its corners.
Drawn = tuple[np.ndarray, list[tuple[_Symbol, Quad]]]
Builder = Callable[[np.random.Generator, str], Drawn]


def _camera_ppm(rng: np.random.Generator) -> float:
    return float(rng.uniform(4.0, 7.0))


def _build_scale(rng: np.random.Generator, severity: str) -> Drawn:
    ppm = float(severity)
    canvas, symbol, quad = _single(rng, ppm, angle=0.0, look=_Look(0.0, 1.0), paper=1.0,
                                   integer_grid=True, margin=float(rng.integers(1, 6)))
    return _to_uint8(canvas), [(symbol, quad)]


def _build_rotation(rng: np.random.Generator, severity: str) -> Drawn:
    base = {"right-angle": 90.0 * int(rng.integers(1, 4)), "45": 45.0 + 90.0 * int(rng.integers(0, 4)),
            "small": float(rng.choice([-1, 1]) * rng.uniform(5.0, 20.0)),
            "any": float(rng.uniform(0.0, 360.0))}[severity]
    canvas, symbol, quad = _single(rng, float(rng.uniform(3.0, 8.0)), angle=base,
                                   look=_Look(0.0, 1.0), paper=1.0)
    return _to_uint8(canvas), [(symbol, quad)]


def _build_mirrored(rng: np.random.Generator, severity: str) -> Drawn:
    angle = 0.0 if severity == "upright" else None
    canvas, symbol, quad = _single(rng, float(rng.uniform(3.0, 8.0)), angle=angle, mirrored=True,
                                   look=_Look(0.0, 1.0), paper=1.0)
    return _to_uint8(canvas), [(symbol, quad)]


def _build_tilt(rng: np.random.Generator, severity: str) -> Drawn:
    tilt = float(severity) * float(rng.choice([-1, 1]))
    axis = "x" if rng.random() < 0.5 else "y"
    canvas, symbol, quad = _single(rng, _camera_ppm(rng), angle=90.0 * int(rng.integers(0, 4)),
                                   tilt=tilt, tilt_axis=axis)
    return _develop(canvas, _Shot(blur=0.5), rng), [(symbol, quad)]


def _build_bend(rng: np.random.Generator, severity: str) -> Drawn:
    canvas, symbol, quad = _single(rng, _camera_ppm(rng), bend_arc=float(severity))
    return _develop(canvas, _Shot(blur=0.5), rng), [(symbol, quad)]


def _build_blur(rng: np.random.Generator, severity: str) -> Drawn:
    ppm = _camera_ppm(rng)
    canvas, symbol, quad = _single(rng, ppm)
    return _develop(canvas, _Shot(blur=float(severity) * ppm), rng), [(symbol, quad)]


def _build_gradient(rng: np.random.Generator, severity: str) -> Drawn:
    canvas, symbol, quad = _single(rng, _camera_ppm(rng))
    ratio = float(severity.split(":")[0])
    light = _gradient(canvas.shape, rng, ratio)
    return _develop(canvas, _Shot(light=light, blur=0.5), rng), [(symbol, quad)]


def _build_vignette(rng: np.random.Generator, severity: str) -> Drawn:
    canvas, symbol, quad = _single(rng, _camera_ppm(rng), margin=float(rng.uniform(0.5, 2.0)))
    light = _vignette(canvas.shape, rng, float(severity))
    return _develop(canvas, _Shot(light=light, blur=0.5), rng), [(symbol, quad)]


def _build_shadow(rng: np.random.Generator, severity: str) -> Drawn:
    canvas, symbol, quad = _single(rng, _camera_ppm(rng))
    centre = (canvas.shape[1] / 2.0, canvas.shape[0] / 2.0)
    light = _shadow(canvas.shape, rng, float(severity), centre)
    return _develop(canvas, _Shot(light=light, blur=0.5), rng), [(symbol, quad)]


def _build_contrast(rng: np.random.Generator, severity: str) -> Drawn:
    # Dark grey on light grey: the two levels centred on mid-grey, ``severity`` apart.
    gap = float(severity)
    mid = float(rng.uniform(0.45, 0.6))
    look = _Look(mid - gap / 2, mid + gap / 2)
    canvas, symbol, quad = _single(rng, _camera_ppm(rng), look=look, paper=mid + gap / 2)
    return _develop(canvas, _Shot(blur=0.5, noise=2.0), rng), [(symbol, quad)]


def _build_noise(rng: np.random.Generator, severity: str) -> Drawn:
    canvas, symbol, quad = _single(rng, _camera_ppm(rng))
    return _develop(canvas, _Shot(blur=0.5, noise=float(severity)), rng), [(symbol, quad)]


def _build_jpeg(rng: np.random.Generator, severity: str) -> Drawn:
    canvas, symbol, quad = _single(rng, float(rng.uniform(3.0, 5.0)))
    return _develop(canvas, _Shot(blur=0.6, noise=3.0, jpeg=int(severity)), rng), [(symbol, quad)]


def _build_salt_pepper(rng: np.random.Generator, severity: str) -> Drawn:
    canvas, symbol, quad = _single(rng, float(rng.integers(3, 8)), angle=0.0, look=_Look(0.0, 1.0),
                                   paper=1.0, integer_grid=True, margin=float(rng.integers(1, 6)))
    return _develop(canvas, _Shot(salt_pepper=float(severity) / 100.0), rng), [(symbol, quad)]


def _build_inverted(rng: np.random.Generator, severity: str) -> Drawn:
    angle = 0.0 if severity == "upright" else None
    look = _Look(inverted=True)
    canvas, symbol, quad = _single(rng, _camera_ppm(rng), angle=angle, look=look,
                                   paper=INK if severity == "on-dark" else PAPER)
    return _develop(canvas, _Shot(blur=0.5, noise=2.0), rng), [(symbol, quad)]


def _build_multi(rng: np.random.Generator, severity: str) -> Drawn:
    count = int(severity.split()[0])
    touching = severity.endswith("touching")
    ppm = float(rng.uniform(3.0, 5.0))
    if touching:
        # One version, right-angle orientations, quiet zones edge to edge: each symbol's
        # quiet zone is the only white between it and its neighbours.
        version = int(rng.integers(1, 6))
        versions = [version] * count
    else:
        versions = [int(rng.integers(1, 8)) for _ in range(count)]
    cols = int(math.ceil(math.sqrt(count)))
    rows = int(math.ceil(count / cols))
    widest = max(17 + 4 * v for v in versions) + 2 * QUIET
    pitch = widest * ppm if touching else widest * ppm * 1.45
    pad = 2 * ppm
    canvas = np.full((int(rows * pitch + 2 * pad) + 1, int(cols * pitch + 2 * pad) + 1), PAPER)
    placed = []
    for i, version in enumerate(versions):
        symbol = _make_symbol(rng, version)
        n = symbol.modules.shape[0]
        r, c = divmod(i, cols)
        centre = (pad + (c + 0.5) * pitch, pad + (r + 0.5) * pitch)
        angle = 90.0 * int(rng.integers(0, 4))
        if not touching:
            angle += float(rng.uniform(-30.0, 30.0))
        h = symbol_homography(n, ppm, centre, angle)
        placed.append((symbol, _draw_symbol(canvas, symbol, _homography_maps(h), ppm, _Look())))
    return _develop(canvas, _Shot(blur=0.4, noise=2.0), rng), placed


def _build_camera(rng: np.random.Generator, severity: str) -> Drawn:
    """A hand-held photo: any angle, some tilt, a soft lens, uneven light, noise and JPEG."""
    hard = severity == "hard"
    ppm = float(rng.uniform(2.5, 4.5) if hard else rng.uniform(3.0, 6.0))
    tilt = float(rng.uniform(15.0, 35.0) if hard else rng.uniform(0.0, 20.0)) * float(rng.choice([-1, 1]))
    canvas, symbol, quad = _single(rng, ppm, angle=float(rng.uniform(0.0, 360.0)), tilt=tilt,
                                   tilt_axis="x" if rng.random() < 0.5 else "y")
    light = _gradient(canvas.shape, rng, 2.5 if hard else 1.5)
    if hard:
        light = light * _vignette(canvas.shape, rng, 0.6)
    shot = _Shot(light=light, blur=(0.25 if hard else 0.12) * ppm, noise=10.0 if hard else 4.0,
                 jpeg=50 if hard else 80)
    return _develop(canvas, shot, rng), [(symbol, quad)]


def _build_page(rng: np.random.Generator, severity: str) -> Drawn:
    """A 4000 x 3000 (12 MP) page with one small symbol somewhere on it."""
    ppm = float(severity)
    canvas = np.full((3000, 4000), PAPER)
    symbol = _make_symbol(rng, int(rng.integers(1, 5)))
    n = symbol.modules.shape[0]
    reach = (n / 2 + QUIET) * ppm * 1.5
    centre = (float(rng.uniform(reach, 4000 - reach)), float(rng.uniform(reach, 3000 - reach)))
    h = symbol_homography(n, ppm, centre, float(rng.uniform(-10.0, 10.0)))
    quad = _draw_symbol(canvas, symbol, _homography_maps(h), ppm, _Look())
    return _develop(canvas, _Shot(blur=0.5, noise=3.0), rng), [(symbol, quad)]


def _glyph_page(rng: np.random.Generator, shape: tuple[int, int]) -> np.ndarray:
    """Lines of random 5 x 7 glyphs at 3 px per dot, words separated by spaces."""
    h, w = shape
    page = np.full(shape, PAPER)
    dot, pitch_x, pitch_y = 3, 18, 30
    for top in range(20, h - 21 - pitch_y, pitch_y):
        for left in range(20, w - 20 - pitch_x, pitch_x):
            if rng.random() < 0.18:
                continue
            glyph = rng.random((7, 5)) < 0.45
            page[top : top + 21, left : left + 15][np.kron(glyph, np.ones((dot, dot), dtype=bool))] = INK
    return page


def _texture(rng: np.random.Generator, shape: tuple[int, int]) -> np.ndarray:
    """Photo-like random texture: octaves of smoothly upscaled noise, strongest coarse."""
    from PIL import Image

    h, w = shape
    out = np.zeros(shape)
    for octave in range(1, 7):
        cells = 2 ** octave
        small = rng.random((cells * h // w + 2, cells + 2)).astype(np.float32)
        big = Image.fromarray(small, mode="F").resize((w, h), Image.Resampling.BICUBIC)
        out += np.asarray(big, dtype=np.float64) / (1.6 ** octave)
    out -= out.min()
    return out / max(float(out.max()), 1e-9)


def _build_none(rng: np.random.Generator, severity: str) -> Drawn:
    shape = (600, 800)
    h, w = shape
    if severity == "white":
        return np.full(shape, 255, dtype=np.uint8), []
    if severity == "noise":
        return rng.integers(0, 256, size=shape, dtype=np.uint8), []
    if severity == "glyphs":
        return _develop(_glyph_page(rng, shape), _Shot(blur=0.5, noise=2.0), rng), []
    y, x = np.mgrid[0:h, 0:w]
    if severity == "checkerboard":
        size = int(rng.integers(3, 16))
        board = ((x // size + y // size) % 2).astype(np.float64)
        return _develop(INK + (PAPER - INK) * board, _Shot(), rng), []
    if severity == "stripes":
        a = rng.uniform(0, math.pi)
        period = float(rng.uniform(4.0, 20.0))
        stripes = (((x * math.cos(a) + y * math.sin(a)) / period) % 1.0 < 0.5).astype(np.float64)
        return _develop(INK + (PAPER - INK) * stripes, _Shot(blur=0.5), rng), []
    return _develop(_texture(rng, shape), _Shot(noise=3.0), rng), []


# ---------------------------------------------------------------- ways real codes fail
# Drawn after the photographed and scanned codes that readers miss: symbols that fill the
# image, steep close-ups, printed grids, warped surfaces, designed marks, displays, nesting.


def _dark_at(modules: np.ndarray, iu: np.ndarray, iv: np.ndarray) -> np.ndarray:
    """Whether module (iu, iv) is dark; modules outside the symbol are light."""
    n = modules.shape[0]
    inside = (iu >= 0) & (iu < n) & (iv >= 0) & (iv < n)
    return modules[np.clip(iv, 0, n - 1), np.clip(iu, 0, n - 1)] & inside


def _reflectance(dark: np.ndarray, look: _Look) -> np.ndarray:
    dark_value, light_value = (look.light, look.dark) if look.inverted else (look.dark, look.light)
    return np.where(dark, dark_value, light_value)


def _cell(u: np.ndarray, v: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    return np.floor(u).astype(np.int64), np.floor(v).astype(np.int64)


def _spread(gain: float) -> MarksMaker:
    """Square modules whose ink runs ``gain`` modules past their edges (dot gain; negative
    thins the ink), the corners rounded as running ink rounds them."""

    def make(modules: np.ndarray, look: _Look) -> Marks:
        def marks(u: np.ndarray, v: np.ndarray) -> np.ndarray:
            iu, iv = _cell(u, v)
            fu, fv = u - iu, v - iv
            dark = _dark_at(modules, iu, iv)
            # Only samples within the gain of their module's edge can change.
            edge = np.flatnonzero(np.minimum(np.minimum(fu, 1.0 - fu), np.minimum(fv, 1.0 - fv)) < abs(gain))
            iu, iv, fu, fv = (a.ravel()[edge] for a in (iu, iv, fu, fv))
            reach = np.zeros(edge.size, dtype=bool)
            for du in (-1, 0, 1):
                for dv in (-1, 0, 1):
                    gap_u = fu if du < 0 else 1.0 - fu if du > 0 else 0.0
                    gap_v = fv if dv < 0 else 1.0 - fv if dv > 0 else 0.0
                    other = _dark_at(modules, iu + du, iv + dv)
                    reach |= (np.hypot(gap_u, gap_v) < abs(gain)) & (other if gain > 0 else ~other)
            flat = dark.ravel()
            flat[edge] = flat[edge] | reach if gain > 0 else flat[edge] & ~reach
            return _reflectance(dark, look)
        return marks

    return make


def _rounded_square(x: np.ndarray, y: np.ndarray, half: float, radius: float) -> np.ndarray:
    """Inside the square of half-side ``half`` round (0, 0), its corners rounded."""
    r = min(radius, half)
    qx = np.maximum(np.abs(x) - (half - r), 0.0)
    qy = np.maximum(np.abs(y) - (half - r), 0.0)
    return np.hypot(qx, qy) <= r


def _finder_mark(x: np.ndarray, y: np.ndarray, style: str, corner: float) -> np.ndarray:
    """A designed finder round its centre: concentric rings (bullseye) or rounded squares."""
    if style == "bullseye":
        r = np.hypot(x, y)
        return ((r <= 3.5) & (r > 2.5)) | (r <= 1.5)
    ring = _rounded_square(x, y, 3.5, corner) & ~_rounded_square(x, y, 2.5, max(0.0, corner - 1.0))
    return ring | _rounded_square(x, y, 1.5, corner * 1.5 / 3.5)


def _dots(diameter: float, style: str, corner: float) -> MarksMaker:
    """Round dots of ``diameter`` modules for modules, designed finders."""

    def make(modules: np.ndarray, look: _Look) -> Marks:
        n = modules.shape[0]
        centres = ((3.5, 3.5), (n - 3.5, 3.5), (3.5, n - 3.5))

        def marks(u: np.ndarray, v: np.ndarray) -> np.ndarray:
            iu, iv = _cell(u, v)
            dark = _dark_at(modules, iu, iv) & (np.hypot(u - iu - 0.5, v - iv - 0.5) <= diameter / 2)
            for cx, cy in centres:
                box = (np.abs(u - cx) < 4.0) & (np.abs(v - cy) < 4.0)
                dark[box] = _finder_mark(u[box] - cx, v[box] - cy, style, corner)
            return _reflectance(dark, look)
        return marks

    return make


def _screen(pixels: float, depth: float, bezel: tuple[float, float, float]) -> MarksMaker:
    """A screen of ``pixels`` screen pixels per module, the dark grid between its pixels
    dimming them by up to ``depth`` (it beats with the camera's pixels as moiré), behind a
    round bezel (centre u, v and radius in modules) that hides what lies outside it."""
    cu, cv, radius = bezel

    def make(modules: np.ndarray, look: _Look) -> Marks:
        def marks(u: np.ndarray, v: np.ndarray) -> np.ndarray:
            shown = _reflectance(_dark_at(modules, *_cell(u, v)), look)
            grid = (1.0 - depth * np.sin(math.pi * u * pixels) ** 2) * (1.0 - depth * np.sin(math.pi * v * pixels) ** 2)
            return np.where(np.hypot(u - cu, v - cv) <= radius, shown * grid, 0.0)
        return marks

    return make


def _affine_surface(scale: float, angle_deg: float, pivot: Point, to: Point) -> _Surface:
    """Modules scaled by ``scale`` and turned by ``angle_deg`` round ``pivot``, which lands on ``to``."""
    a = math.radians(angle_deg)
    c, s = math.cos(a), math.sin(a)

    def forward(u: np.ndarray, v: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        du, dv = u - pivot[0], v - pivot[1]
        return to[0] + scale * (c * du - s * dv), to[1] + scale * (s * du + c * dv)

    def inverse(x: np.ndarray, y: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        dx, dy = (x - to[0]) / scale, (y - to[1]) / scale
        return pivot[0] + c * dx + s * dy, pivot[1] - s * dx + c * dy

    return _Surface(forward, inverse)


def _jittered_edges(rng: np.random.Generator, n: int, spread: float) -> np.ndarray:
    """Positions of the module edges -QUIET .. n + QUIET along one axis of a printed symbol:
    each edge off by up to half ``spread`` (a printer's dots: widths off by up to
    ``spread``), on a slow drift of up to twice ``spread`` modules that builds up across
    the symbol (the feed); the symbol's own edges stay at 0 and n."""
    k = np.arange(-QUIET, n + QUIET + 1, dtype=np.float64)
    jitter = 0.5 * spread * rng.uniform(-1.0, 1.0, size=k.size)
    jitter[[QUIET, QUIET + n]] = 0.0
    return k + jitter + 2.0 * spread * np.sin(math.pi * int(rng.integers(1, 3)) * k / n)


def _printed_surface(rng: np.random.Generator, n: int, spread: float) -> _Surface:
    """Columns and rows of modules printed at jittered, drifting widths."""
    grid = np.arange(-QUIET, n + QUIET + 1, dtype=np.float64)
    cols, rows = _jittered_edges(rng, n, spread), _jittered_edges(rng, n, spread)

    def forward(u: np.ndarray, v: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        return np.interp(u, grid, cols), np.interp(v, grid, rows)

    def inverse(x: np.ndarray, y: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        return (np.interp(x, cols, grid, left=-np.inf, right=np.inf),
                np.interp(y, rows, grid, left=-np.inf, right=np.inf))

    return _Surface(forward, inverse)


def _wave_field(rng: np.random.Generator, n: int, amplitude: float) -> Map:
    """A smooth displacement of the page (fabric, folds): four plane waves a half to one
    quiet-zone width long, scaled so that the largest move on the symbol is ``amplitude``."""
    size = n + 2 * QUIET
    heading, push, phase = (rng.uniform(0.0, 2 * math.pi, 4) for _ in range(3))
    length = rng.uniform(0.5, 1.0, 4) * size
    weight = rng.uniform(0.5, 1.0, 4)

    def raw(x: np.ndarray, y: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        dx, dy = np.zeros_like(x), np.zeros_like(y)
        for k in range(4):
            wave = weight[k] * np.sin(2 * math.pi * (x * math.cos(heading[k]) + y * math.sin(heading[k]))
                                      / length[k] + phase[k])
            dx, dy = dx + wave * math.cos(push[k]), dy + wave * math.sin(push[k])
        return dx, dy

    probe = np.linspace(0.0, n, 33)
    ex, ey = raw(*np.meshgrid(probe, probe))
    scale = amplitude / max(float(np.hypot(ex, ey).max()), 1e-9)

    def field(x: np.ndarray, y: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        dx, dy = raw(x, y)
        return scale * dx, scale * dy

    return field


def _warp_surface(field: Map) -> _Surface:
    """The page point p shows module p + field(p); modules find their page point by
    fixed-point iteration, which converges as the field changes slowly."""

    def inverse(x: np.ndarray, y: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        dx, dy = field(x, y)
        return x + dx, y + dy

    def forward(u: np.ndarray, v: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        x, y = u, v
        for _ in range(40):
            dx, dy = field(x, y)
            x, y = u - dx, v - dy
        return x, y

    return _Surface(forward, inverse)


def _photo(canvas: np.ndarray, rng: np.random.Generator, blur: float, jpeg: int = 85) -> np.ndarray:
    """A phone's photo of the reflectance: uneven light, ``blur`` px, sensor noise, JPEG."""
    shot = _Shot(light=_gradient(canvas.shape, rng, 1.5), blur=blur, noise=3.0, jpeg=jpeg)
    return _develop(canvas, shot, rng)


def _tilt(rng: np.random.Generator, most: float) -> dict[str, Any]:
    return {"tilt": float(rng.uniform(-most, most)), "tilt_axis": "x" if rng.random() < 0.5 else "y"}


def _build_whole(rng: np.random.Generator, severity: str) -> Drawn:
    """A symbol filling the image, as screenshots, crops and generated images hold one: on
    whole pixels at any right angle (or scaled by a zoom of 1.25 or 1.5, the edges grey),
    the same quiet zone on every side, or none on one."""
    pixels, quiet = severity.split()
    ppm = float(pixels.removesuffix("px"))
    symbol = _make_symbol(rng, int(rng.integers(1, 41)))
    n = symbol.modules.shape[0]
    if quiet == "cut":
        sides = [int(q) for q in rng.integers(1, 5, size=4)]
        sides[int(rng.integers(0, 4))] = 0
    else:
        sides = [int(quiet.removeprefix("q"))] * 4
    left, top, right, bottom = sides
    look = _Look(0.0, 1.0) if rng.random() < 0.5 else _Look(float(rng.uniform(0.0, 0.25)),
                                                            float(rng.uniform(0.75, 1.0)))
    canvas = np.full((math.ceil((n + top + bottom) * ppm), math.ceil((n + left + right) * ppm)), look.light)
    h = symbol_homography(n, ppm, ((left + n / 2) * ppm, (top + n / 2) * ppm), 90.0 * int(rng.integers(0, 4)))
    quad = _draw_symbol(canvas, symbol, _homography_maps(h), ppm, look)
    return _to_uint8(canvas), [(symbol, quad)]


def _closeup_frame(h: np.ndarray, n: int, margins: np.ndarray) -> tuple[float, float, float, float]:
    """Left, top, right and bottom of the frame that shows ``margins`` modules of page
    beyond the symbol on those sides (the outline at that margin just inside)."""
    placement = _homography_maps(h)
    xs = [_outline(placement, n, float(m))[0] for m in margins[[0, 2]]]
    ys = [_outline(placement, n, float(m))[1] for m in margins[[1, 3]]]
    return float(np.min(xs[0])), float(np.min(ys[0])), float(np.max(xs[1])), float(np.max(ys[1]))


def _nearest_depth(h: np.ndarray, n: int, margin: float) -> float:
    """Depth of the nearest corner of the page ``margin`` modules round the symbol, over
    the depth of the symbol's centre (the map's third row is proportional to depth)."""
    u = np.array([-margin, n + margin, n + margin, -margin])
    v = np.array([-margin, -margin, n + margin, n + margin])
    depth = h[2, 0] * u + h[2, 1] * v + h[2, 2]
    return float(depth.min() / (h[2, 0] * n / 2 + h[2, 1] * n / 2 + h[2, 2]))


def _finder_scales(h: np.ndarray, n: int) -> list[float]:
    """Pixels per module (the root of the imaged area of one) at the three finders' centres."""
    scales = []
    for u, v in ((3.5, 3.5), (n - 3.5, 3.5), (3.5, n - 3.5)):
        x, y = _homography_maps(h).to_image(np.array([u, u + 1.0, u]), np.array([v, v, v + 1.0]))
        scales.append(math.sqrt(abs((x[1] - x[0]) * (y[2] - y[0]) - (x[2] - x[0]) * (y[1] - y[0]))))
    return scales


def _spread_of(values: list[float]) -> float:
    return max(values) / min(values)


def _build_closeup(rng: np.random.Generator, severity: str) -> Drawn:
    """A phone held close to the page and steeply: a short focal length, so that the far
    finder comes out a fraction of the near one's size, the frame cutting into the quiet
    zone on one or two sides, the lens a little soft."""
    near_ppm = float(rng.uniform(9.0, 15.0))  # modules at the near finder
    symbol = _make_symbol(rng, int(min(10, math.floor(math.exp(rng.uniform(0.0, math.log(11.0)))))))
    n = symbol.modules.shape[0]
    tilt = float(severity) * float(rng.choice([-1, 1]))
    angle, axis = float(rng.uniform(0.0, 360.0)), "x" if rng.random() < 0.5 else "y"
    margins = rng.uniform(4.5, 6.0, size=4)
    margins[rng.choice(4, size=int(rng.integers(1, 3)), replace=False)] = rng.uniform(0.0, 2.0)
    focal = float(rng.uniform(0.6, 1.0))
    # As close as keeps the framed page well in front of the camera (depth over a third of
    # the centre's; closer, the near edge would grow without bound) and the far finder at
    # a third of the near one's size or more.
    h = symbol_homography(n, 1.0, (0.0, 0.0), angle, tilt, axis, focal)
    while _nearest_depth(h, n, float(margins.max())) < 1.0 / 3.0 or _spread_of(_finder_scales(h, n)) > 3.0:
        focal *= 1.1
        h = symbol_homography(n, 1.0, (0.0, 0.0), angle, tilt, axis, focal)
    ppm = near_ppm / max(_finder_scales(h, n))
    h = symbol_homography(n, ppm, (0.0, 0.0), angle, tilt, axis, focal)
    left, top, right, bottom = _closeup_frame(h, n, margins)
    h = symbol_homography(n, ppm, (-left, -top), angle, tilt, axis, focal)
    canvas = np.full((int(math.ceil(bottom - top)), int(math.ceil(right - left))), PAPER)
    quad = _draw_symbol(canvas, symbol, _homography_maps(h), ppm, _Look())
    return _photo(canvas, rng, float(rng.uniform(0.1, 0.2)) * ppm, 80), [(symbol, quad)]


def _build_printed(rng: np.random.Generator, severity: str) -> Drawn:
    """Printed with module widths off by up to the severity and drifting, the ink running
    or thin; then scanned and thresholded, or photographed."""
    share, how = severity.split()
    photo = how == "photo"
    ppm = float(rng.uniform(4.0, 7.0) if photo else rng.uniform(2.5, 5.0))
    version = _pick_version(rng, ppm)
    surface = _printed_surface(rng, 17 + 4 * version, int(share.removesuffix("%")) / 100.0)
    ink = _spread(float(rng.uniform(-0.05, 0.2)))
    if photo:
        canvas, symbol, quad = _single(rng, ppm, version=version, surface=surface, marks=ink, **_tilt(rng, 20.0))
        return _photo(canvas, rng, float(rng.uniform(0.4, 0.8)), 80), [(symbol, quad)]
    canvas, symbol, quad = _single(rng, ppm, angle=float(rng.uniform(-3.0, 3.0)), version=version,
                                   surface=surface, marks=ink)
    scan = _develop(canvas, _Shot(blur=float(rng.uniform(0.5, 0.9)), noise=4.0), rng)
    return np.where(scan < int(rng.integers(100, 156)), 0, 255).astype(np.uint8), [(symbol, quad)]


def _build_warp(rng: np.random.Generator, severity: str) -> Drawn:
    """On fabric or folded paper (a smooth displacement of up to the severity, modules), or
    round a strongly curved object (``cyl`` degrees of arc), the symbol turned on it."""
    ppm = _camera_ppm(rng)
    if severity.startswith("cyl"):
        arc = float(severity.split()[1])
        version = _pick_version(rng, ppm)
        n = 17 + 4 * version
        turn = _affine_surface(1.0, float(rng.uniform(-5.0, 5.0)), (n / 2, n / 2), (n / 2, n / 2))
        canvas, symbol, quad = _single(rng, ppm, bend_arc=arc, version=version, surface=turn)
    else:
        amplitude = float(severity)
        # Room for the waves: a symbol at least 16 modules per module of displacement.
        low = max(1, math.ceil((16.0 * amplitude + 13.0 - 17.0) / 4.0))
        top = max(low, _max_version(ppm))
        version = int(min(top, math.floor(math.exp(rng.uniform(math.log(low), math.log(top + 1))))))
        surface = _warp_surface(_wave_field(rng, 17 + 4 * version, amplitude))
        canvas, symbol, quad = _single(rng, ppm, version=version, surface=surface, **_tilt(rng, 15.0))
    return _photo(canvas, rng, float(rng.uniform(0.5, 0.8))), [(symbol, quad)]


def _build_dots(rng: np.random.Generator, severity: str) -> Drawn:
    """A designed code: round dots of the severity's share of the pitch for modules, finders
    drawn as rounded squares or concentric rings."""
    share, style = severity.split()
    marks = _dots(int(share) / 100.0, style, float(rng.uniform(1.0, 2.5)))
    canvas, symbol, quad = _single(rng, float(rng.uniform(4.0, 8.0)), marks=marks, **_tilt(rng, 20.0))
    return _photo(canvas, rng, float(rng.uniform(0.4, 0.8))), [(symbol, quad)]


def _bezel(rng: np.random.Generator, n: int, severity: str) -> tuple[float, float, float]:
    """A round bezel's centre and radius (modules) cutting one corner: through the quiet
    zone at any corner, or ``severity`` modules deep into the corner that has no finder."""
    if severity == "qz":
        corner = (float(n * rng.integers(0, 2)), float(n * rng.integers(0, 2)))
        depth = float(rng.uniform(-3.5, -1.0))
    else:
        corner, depth = (float(n), float(n)), float(severity)
    half = n / 2.0
    reach = (half - depth) * math.sqrt(2.0)  # symbol centre to where the rim crosses the diagonal
    # Far enough out that the symbol's other corners stay inside the rim.
    shift = max(0.0, (n * n / 2.0 - reach * reach) / (2.0 * reach)) * float(rng.uniform(1.1, 1.6)) + 1.0
    kx, ky = (corner[0] - half) / (half * math.sqrt(2.0)), (corner[1] - half) / (half * math.sqrt(2.0))
    return half - kx * shift, half - ky * shift, reach + shift


def _build_display(rng: np.random.Generator, severity: str) -> Drawn:
    """A code shown light on dark by a screen: overexposed and glowing, its pixel grid
    beating with the camera's, one corner hidden by a round bezel."""
    ppm = float(rng.uniform(4.0, 7.0))
    # Phones and watches show tickets and payment codes: small versions.
    version = int(min(10, math.floor(math.exp(rng.uniform(0.0, math.log(11.0))))))
    n = 17 + 4 * version
    screen = _screen(ppm / float(rng.uniform(0.8, 1.6)), float(rng.uniform(0.3, 0.7)), _bezel(rng, n, severity))
    look = _Look(0.03, 1.0, inverted=True)
    canvas, symbol, quad = _single(rng, ppm, version=version, look=look, paper=0.03, marks=screen,
                                   **_tilt(rng, 25.0))
    glow = _gaussian_blur(canvas, float(rng.uniform(0.5, 1.5)) * ppm)
    canvas = canvas * float(rng.uniform(1.0, 2.0)) + float(rng.uniform(0.3, 1.0)) * glow
    return _photo(canvas, rng, float(rng.uniform(0.5, 0.9)), 80), [(symbol, quad)]


def _function_cells(version: int) -> np.ndarray:
    """The modules a nested symbol must leave alone: finders with their separators and
    format information, timing patterns, version information. (Alignment patterns sit
    among the data; one under a nested symbol is lost like the data there.)"""
    n = 17 + 4 * version
    cells = np.zeros((n, n), dtype=bool)
    cells[:9, :9] = cells[:9, n - 8 :] = cells[n - 8 :, :9] = True
    cells[6, :] = cells[:, 6] = True
    if version >= 7:
        cells[:6, n - 11 : n - 8] = cells[n - 11 : n - 8, :6] = True
    return cells


def _nest(rng: np.random.Generator, version: int, side: float) -> tuple[float, float] | None:
    """Top-left (u, v) of a square of ``side`` modules on data modules only, or None."""
    cells = _function_cells(version)
    n = cells.shape[0]
    for _ in range(200):
        u, v = (float(c) for c in rng.uniform(0.0, n - side, size=2))
        if not cells[int(v) : int(math.ceil(v + side)), int(u) : int(math.ceil(u + side))].any():
            return u, v
    return None


def _build_nested(rng: np.random.Generator, severity: str) -> Drawn:
    """A small code printed, with its quiet zone, in the data area of a large one (level H,
    the small one covering about a tenth of it); both are meant to be read."""
    pitch = float(severity)  # the inner symbol's module, in the outer's modules
    inner = _make_symbol(rng, int(rng.integers(1, 4)))
    m = inner.modules.shape[0]
    turn = 90.0 * int(rng.integers(0, 4)) + float(rng.uniform(-3.0, 3.0))
    side = (m + 2 * QUIET) * pitch * (abs(math.cos(math.radians(turn))) + abs(math.sin(math.radians(turn))))
    version = min(40, max(1, math.ceil((side / math.sqrt(0.1) - 17) / 4)) + int(rng.integers(0, 3)))
    while (spot := _nest(rng, version, side)) is None and version < 40:
        version += 1
    assert spot is not None, "a nested symbol fits any outer symbol of twice its side"
    outer = _make_symbol(rng, version, level="H")
    n = outer.modules.shape[0]
    inner_ppm = float(rng.uniform(2.5, 4.0))
    ppm = inner_ppm / pitch
    tilt = _tilt(rng, 20.0)
    side_px = int(math.ceil((n + 2 * QUIET + 2 * float(rng.uniform(1.0, 4.0))) * ppm * 1.35))
    canvas = np.full((side_px, side_px), PAPER)
    h = symbol_homography(n, ppm, (side_px / 2.0, side_px / 2.0), 90.0 * int(rng.integers(0, 4))
                          + float(rng.uniform(-10.0, 10.0)), tilt["tilt"], tilt["tilt_axis"])
    placement = _homography_maps(h)
    quad = _draw_symbol(canvas, outer, placement, ppm, _Look())
    box = (spot[0] + side / 2, spot[1] + side / 2)
    inside = _on_surface(placement, _affine_surface(pitch, turn, (m / 2, m / 2), box))
    inner_quad = _draw_symbol(canvas, inner, inside, inner_ppm, _Look())
    return _photo(canvas, rng, float(rng.uniform(0.4, 0.7))), [(outer, quad), (inner, inner_quad)]

# ---------------------------------------------------------------- Micro QR and rMQR
# The QR code's relatives in the conditions that matter most to a reader that finds them
# from a single finder pattern: size, turn, tilt, blur, noise, and several in one image.

_MICRO_LEVELS: dict[str, tuple[str | None, ...]] = {
    "M1": (None,), "M2": ("L", "M"), "M3": ("L", "M"), "M4": ("L", "M", "Q")}
_MICRO_MODES = {"M1": ("numeric",), "M2": ("numeric", "alphanumeric"),
                "M3": ("numeric", "alphanumeric", "byte", "kanji"),
                "M4": ("numeric", "alphanumeric", "byte", "kanji")}
Encoder = Callable[[str], Any]


def _filled(rng: np.random.Generator, mode: str, encode: Encoder) -> tuple[str, Any]:
    """A text in ``mode`` filling a random share (30-100%) of what ``encode`` takes, and
    its symbol: the capacity is the longest prefix of a long random text that encodes."""
    pool = _random_text(rng, mode, 512)
    low, high = 1, len(pool)
    while low < high:
        mid = (low + high + 1) // 2
        try:
            encode(pool[:mid])
            low = mid
        except (segno.DataOverflowError, ValueError):
            high = mid - 1
    text = pool[: max(1, int(low * float(rng.uniform(0.3, 1.0))))]
    return text, encode(text)


def _make_micro(rng: np.random.Generator) -> _Symbol:
    """A Micro QR symbol of a random version, level and mode."""
    version = ("M1", "M2", "M3", "M4")[int(rng.integers(0, 4))]
    level = _MICRO_LEVELS[version][int(rng.integers(0, len(_MICRO_LEVELS[version])))]
    mode = _MICRO_MODES[version][int(rng.integers(0, len(_MICRO_MODES[version])))]

    def encode(text: str) -> Any:
        return segno.make(text, version=version, error=level, mode=mode, micro=True, boost_error=False)

    text, qr = _filled(rng, mode, encode)
    return _Symbol(text, int(version[1]), np.array(qr.matrix, dtype=bool))



# rMQR sizes in the order of their version numbers (zxing-cpp's writer takes the number).
RMQR_SIZES = tuple((r, c) for r, cs in ((7, (43, 59, 77, 99, 139)), (9, (43, 59, 77, 99, 139)),
                                        (11, (27, 43, 59, 77, 99, 139)), (13, (27, 43, 59, 77, 99, 139)),
                                        (15, (43, 59, 77, 99, 139)), (17, (43, 59, 77, 99, 139)))
                   for c in cs)


def _make_rmqr(rng: np.random.Generator) -> _Symbol:
    """An rMQR symbol of a random size, level and mode, drawn by zxing-cpp's writer (the
    rmqrcode package leaves out data codewords of symbols whose blocks differ in length)."""
    import zxingcpp

    index = int(rng.integers(0, len(RMQR_SIZES)))
    level = "MH"[int(rng.integers(0, 2))]
    mode = ("numeric", "alphanumeric", "byte")[int(rng.integers(0, 3))]

    def encode(text: str) -> Any:
        code = zxingcpp.create_barcode(text, zxingcpp.BarcodeFormat.RMQRCode, version=index + 1, ec_level=level)
        modules = np.array(code.to_image(scale=1, add_quiet_zones=False)) < 128
        if modules.shape != RMQR_SIZES[index]:  # the writer took a larger size
            raise ValueError(f"{text!r} does not fit R{RMQR_SIZES[index]}")
        return modules

    text, modules = _filled(rng, mode, encode)
    return _Symbol(text, index + 1, modules)


_RELATIVES: dict[str, Callable[[np.random.Generator], _Symbol]] = {"micro": _make_micro, "rmqr": _make_rmqr}


def _relative_multi(rng: np.random.Generator, count: int, make: Callable[[np.random.Generator], _Symbol]
                    ) -> Drawn:
    """``count`` symbols on a grid, each turned freely, 3-5 px a module."""
    ppm = float(rng.uniform(3.0, 5.0))
    symbols = [make(rng) for _ in range(count)]
    cols = int(math.ceil(math.sqrt(count)))
    rows = int(math.ceil(count / cols))
    pitch = (max(max(s.modules.shape) for s in symbols) + 2 * QUIET) * ppm * 1.45
    canvas = np.full((int(rows * pitch) + 1, int(cols * pitch) + 1), PAPER)
    placed = []
    for i, symbol in enumerate(symbols):
        r, c = divmod(i, cols)
        h = symbol_homography(symbol.modules.shape[1], ppm, ((c + 0.5) * pitch, (r + 0.5) * pitch),
                              float(rng.uniform(0.0, 360.0)), rows=symbol.modules.shape[0])
        placed.append((symbol, _draw_symbol(canvas, symbol, _homography_maps(h), ppm, _Look())))
    return _develop(canvas, _Shot(blur=0.4, noise=2.0), rng), placed


def _relative_builder(kind: str, condition: str) -> Builder:
    """The builder of one condition for the symbols of ``kind`` (a key of _RELATIVES)."""
    make = _RELATIVES[kind]

    def build(rng: np.random.Generator, severity: str) -> Drawn:
        if condition == "multi":
            return _relative_multi(rng, int(severity), make)
        symbol = make(rng)
        clean = {"look": _Look(0.0, 1.0), "paper": 1.0}
        if condition == "scale":
            canvas, symbol, quad = _single(rng, float(severity), angle=0.0, integer_grid=True,
                                           margin=float(rng.integers(1, 6)), symbol=symbol, **clean)
            return _to_uint8(canvas), [(symbol, quad)]
        if condition == "rotation":
            angle = {"right-angle": 90.0 * int(rng.integers(1, 4)),
                     "45": 45.0 + 90.0 * int(rng.integers(0, 4)),
                     "any": float(rng.uniform(0.0, 360.0))}[severity]
            canvas, symbol, quad = _single(rng, float(rng.uniform(3.0, 8.0)), angle=angle, symbol=symbol,
                                           mirrored=bool(rng.random() < 0.5), **clean)
            return _to_uint8(canvas), [(symbol, quad)]
        ppm = _camera_ppm(rng)
        shot = _Shot(blur=0.5)
        tilt = 0.0
        if condition == "tilt":
            tilt = float(severity) * float(rng.choice([-1, 1]))
        elif condition == "blur":
            shot = _Shot(blur=float(severity) * ppm)
        else:
            shot = _Shot(blur=0.5, noise=float(severity))
        canvas, symbol, quad = _single(rng, ppm, angle=float(rng.uniform(0.0, 360.0)), tilt=tilt,
                                       tilt_axis="x" if rng.random() < 0.5 else "y", symbol=symbol,
                                       look=_Look(inverted=bool(rng.random() < 0.25)))
        return _develop(canvas, shot, rng), [(symbol, quad)]

    return build


# The relatives' conditions: (condition, severities, what they measure).
_RELATIVE_CONDITIONS = (
    ("scale", ("2", "3", "4", "6", "10"), "clean bilevel, upright, px/module"),
    ("rotation", ("right-angle", "45", "any"), "clean, turned in the plane, half mirrored"),
    ("tilt", ("10", "20", "30", "40"), "plane tilted about x or y, degrees, any turn, a quarter light on dark"),
    ("blur", ("0.1", "0.2", "0.33"), "Gaussian sigma, modules, any turn"),
    ("noise", ("8", "20", "40"), "Gaussian sigma, 8-bit levels, any turn"),
    ("multi", ("2", "5", "10"), "symbols per image, any turn"),
)


@dataclass(frozen=True)
class _Condition:
    name: str
    severities: tuple[str, ...]
    build: Builder
    count: int  # scenes per severity in the full set
    quick: int  # and in the quick set
    about: str
    symbology: str = "QR"


_CONDITIONS = (
    _Condition("scale", ("2", "3", "4", "6", "10", "20"), _build_scale, 8, 2,
               "clean bilevel, upright, px/module"),
    _Condition("rotation", ("right-angle", "small", "45", "any"), _build_rotation, 8, 2,
               "clean, turned in the plane (small: 5-20 deg)"),
    _Condition("mirrored", ("upright", "turned"), _build_mirrored, 8, 2, "clean, mirror image"),
    _Condition("tilt", ("10", "20", "30", "40"), _build_tilt, 8, 2,
               "plane tilted about the x or y axis, degrees"),
    _Condition("bend", ("60", "100"), _build_bend, 8, 2,
               "wrapped round a cylinder, degrees of arc"),
    _Condition("blur", ("0.1", "0.2", "0.33"), _build_blur, 8, 2, "Gaussian sigma, modules"),
    _Condition("gradient", ("2:1", "3:1"), _build_gradient, 8, 2, "linear illumination ratio"),
    _Condition("vignette", ("0.6", "0.35"), _build_vignette, 8, 2, "light left in the corners"),
    _Condition("shadow", ("0.5", "0.3"), _build_shadow, 8, 2, "hard shadow edge, light left"),
    _Condition("contrast", ("0.3", "0.15", "0.08"), _build_contrast, 8, 2,
               "reflectance gap between dark and light grey"),
    _Condition("noise", ("8", "20", "40"), _build_noise, 8, 2, "Gaussian sigma, 8-bit levels"),
    _Condition("jpeg", ("90", "60", "30"), _build_jpeg, 8, 2, "JPEG quality, 3-5 px/module"),
    _Condition("salt-pepper", ("1", "5", "10"), _build_salt_pepper, 8, 2,
               "percent of pixels flipped to black or white, bilevel"),
    _Condition("inverted", ("upright", "turned", "on-dark"), _build_inverted, 8, 2,
               "light on dark (on-dark: dark page around the quiet zone)"),
    _Condition("multi", ("2", "5", "10", "4 touching"), _build_multi, 4, 1,
               "symbols per image, mixed orientations"),
    _Condition("camera", ("mild", "hard"), _build_camera, 8, 2,
               "any angle, tilt, blur, uneven light, noise and JPEG together"),
    _Condition("page", ("4", "3"), _build_page, 2, 1, "12 MP page, one small symbol, px/module"),
    _Condition("whole", (*(f"{p}px {q}" for p in (3, 2) for q in ("q2", "q1", "cut", "q0")),
                         "1.5px q0", "1.25px q0", *(f"1px {q}" for q in ("q2", "q1", "cut", "q0"))),
               _build_whole, 8, 1,
               "symbol filling the image: px/module, quiet zone modules (cut: none on one side)"),
    _Condition("closeup", ("50", "60", "70"), _build_closeup, 8, 1,
               "phone close and steep: tilt degrees, short focal length, frame cuts the quiet zone"),
    _Condition("printed", ("10% scan", "20% scan", "30% scan", "10% photo", "20% photo", "30% photo"),
               _build_printed, 8, 1,
               "module widths jittered and drifting, ink spread; thresholded scan or photo"),
    _Condition("warp", ("0.5", "1", "2", "cyl 140", "cyl 180"), _build_warp, 8, 1,
               "smooth page displacement, modules; cylinder, degrees of arc, symbol turned on it"),
    _Condition("dots", ("90 rounded", "70 rounded", "50 rounded", "90 bullseye", "70 bullseye",
                        "50 bullseye"), _build_dots, 8, 1,
               "round modules, diameter % of pitch; rounded-square or bullseye finders"),
    _Condition("display", ("qz", "2", "4"), _build_display, 8, 1,
               "light on dark screen, glow, moire; round bezel cuts the quiet zone or N modules"),
    _Condition("nested", ("0.7", "0.5", "0.35"), _build_nested, 8, 1,
               "small code in a large one's data area: inner module pitch, outer modules"),
    _Condition("none", ("white", "noise", "glyphs", "checkerboard", "stripes", "texture"),
               _build_none, 3, 1, "no symbol: any output is a false positive"),
)
_CONDITIONS += tuple(
    _Condition(f"{kind}-{name}", sevs, _relative_builder(kind, name), 8, 2, about, symbology)
    for kind, symbology in (("micro", "Micro QR"), ("rmqr", "rMQR"))
    for name, sevs, about in _RELATIVE_CONDITIONS)
_BY_NAME = {c.name: c for c in _CONDITIONS}


# ---------------------------------------------------------------- public entry points


@dataclass(frozen=True)
class Score:
    """A reader's outputs on one scene: symbols whose text it returned, and outputs that
    match no symbol (on an image without a symbol, every output)."""

    read: int
    unexpected: int


def score(scene: Scene, found: Iterable[str]) -> Score:
    """Scores the texts a reader returned for ``scene``, as multisets: two equal symbols
    need two equal outputs, and each output is used for one symbol only."""
    expected, got = Counter(scene.texts), Counter(found)
    return Score(sum((expected & got).values()), sum((got - expected).values()))


def conditions() -> tuple[str, ...]:
    """Names of the scene families, in table order."""
    return tuple(c.name for c in _CONDITIONS)


def severities(condition: str) -> tuple[str, ...]:
    """The severities of ``condition``, mildest first."""
    return _condition(condition).severities


def describe(condition: str) -> str:
    """One line on what the condition's severities measure."""
    return _condition(condition).about


def _condition(name: str) -> _Condition:
    try:
        return _BY_NAME[name]
    except KeyError:
        raise ValueError(f"unknown condition {name!r}; known: {', '.join(conditions())}") from None


def _rng(seed: int, condition: str, severity: str, index: int) -> np.random.Generator:
    """A generator for one scene, from a stable digest (never Python's salted hash())."""
    digest = hashlib.sha256(f"{condition}/{severity}/{index}".encode()).digest()
    return np.random.default_rng([seed, int.from_bytes(digest[:8], "little")])


def scene(condition: str, severity: str, index: int = 0, seed: int = 0) -> Scene:
    """Scene number ``index`` of ``condition`` at ``severity``; the same for the same arguments."""
    family = _condition(condition)
    if severity not in family.severities:
        known = ", ".join(family.severities)
        raise ValueError(f"unknown severity {severity!r} for {condition}; known: {known}")
    image, placed = family.build(_rng(seed, condition, severity, index), severity)
    return _scene(f"{condition}/{severity}/{index}", condition, severity, image, placed, family.symbology)


def scenes(condition: str, count: int = 1, seed: int = 0, severity: str | None = None) -> Iterator[Scene]:
    """``count`` scenes of ``condition`` per severity (every severity when None)."""
    chosen = severities(condition) if severity is None else (severity,)
    for sev in chosen:
        for index in range(count):
            yield scene(condition, sev, index, seed)


def generate(seed: int = 0, quick: bool = False, only: tuple[str, ...] = ()) -> Iterator[Scene]:
    """The benchmark's scene list, in table order: every condition (or those in ``only``),
    every severity, the full or the quick count of each."""
    for family in _CONDITIONS:
        if only and family.name not in only:
            continue
        yield from scenes(family.name, family.quick if quick else family.count, seed)
