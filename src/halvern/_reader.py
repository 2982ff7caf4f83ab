"""The reading pipeline: from a bits image to a restored (and decoded) QR symbol.

The native module measures and samples; this module chains its calls. The finder scan
gives three centres; they are refined here, put into their roles geometrically (the
scan's own corner pick only knows upright codes), and turn into a handful of candidate
grids: neighbouring versions, both chiralities (a mirrored code reads as the transpose)
and, for upright codes, the box grid. Candidates are ranked by finder score and timing
pattern; a grid that strict restoration accepts and whose data decodes wins. When the
image as it is gives nothing, its black box is flipped, so that the code's missing corner
becomes the bottom-right one that the corner pick expects, and then denoised.
"""

from __future__ import annotations

import math
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

from halvern import _zeltra
from halvern._content import Decoded, decode_matrix
from halvern._image import BitsImage, as_bits_image
from halvern._restore import format_info, strict_restore_qr_matrix

__all__ = ["QRCode", "QRMatrix", "read", "read_matrix"]

Point = tuple[float, float]

FINDER_VARIANCE = 0.5
# Share of timing modules that must alternate for a grid to be believed; a wrong
# version drifts off the timing pattern within a few modules.
MIN_TIMING_AGREEMENT = 0.75
# A grid whose finders score this and whose timing patterns agree this well is tried
# before any other grid is sampled.
CONVINCING_SCORE = 0.9
CLEAN_TIMING = 0.95


@dataclass(frozen=True)
class QRMatrix:
    """A sampled and restored symbol, with where it was found."""

    modules: bytes  # size * size bytes, 1 dark, 0 light
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
    """A decoded symbol: its content and the matrix it was read from."""

    decoded: Decoded
    matrix: QRMatrix

    @property
    def text(self) -> str:
        return self.decoded.text

    @property
    def data(self) -> bytes:
        return self.decoded.data

    @property
    def version(self) -> int:
        return self.decoded.version

    @property
    def error_correction(self) -> str:
        return self.decoded.error_correction

    @property
    def mask(self) -> int:
        return self.decoded.mask

    @property
    def corrected(self) -> int:
        return self.decoded.corrected


_TO_BIT = bytes([0]) + bytes([1]) * 255


class _Pixels:
    """Run searches along rows and columns for the Python-side measurements.

    Each line is copied once as 0/1 bytes, so that a run's end is one bytes.find
    instead of a pixel-by-pixel walk. Outside the image reads white; a white run ends
    at the image edge.
    """

    def __init__(self, image: BitsImage) -> None:
        self.data = memoryview(image.bits).cast("B")
        self.width = image.width
        self.height = image.height
        self._lines: dict[tuple[bool, int], bytes] = {}

    def _line(self, horizontal: bool, index: int) -> bytes:
        key = (horizontal, index)
        line = self._lines.get(key)
        if line is None:
            w = self.width
            raw = self.data[index * w : (index + 1) * w] if horizontal else self.data[index::w]
            line = self._lines[key] = bytes(raw).translate(_TO_BIT)
        return line

    def black(self, x: int, y: int) -> bool:
        if 0 <= x < self.width and 0 <= y < self.height:
            return self.data[y * self.width + x] != 0
        return False

    def run_end(self, x: int, y: int, dx: int, dy: int, black: bool) -> tuple[int, int]:
        """First pixel from (x, y) along (dx, dy), a unit step, whose colour is not
        ``black``."""
        horizontal = dy == 0
        index, pos, step = (y, x, dx) if horizontal else (x, y, dy)
        if not 0 <= index < (self.height if horizontal else self.width):
            return x, y
        line = self._line(horizontal, index)
        if not 0 <= pos < len(line):
            return x, y
        stop = b"\x00" if black else b"\x01"
        if step > 0:
            end = line.find(stop, pos)
            if end < 0:
                end = len(line)
        else:
            end = line.rfind(stop, 0, pos + 1)
        return (end, y) if horizontal else (x, end)


def _refine_centre(px: _Pixels, point: Point) -> Point:
    """Centre of the finder's core through ``point``, as continuous coordinates.

    The scan reports the left end of a core run; alternating row and column midpoints
    converge to the core's centre, also for a rotated finder.
    """
    x, y = int(point[0]), int(point[1])
    if not px.black(x, y):
        return point[0] + 0.5, point[1] + 0.5
    cx, cy = x + 0.5, y + 0.5
    for _ in range(3):
        left, _ = px.run_end(x, y, -1, 0, True)
        right, _ = px.run_end(x, y, 1, 0, True)
        cx = (left + right + 1) / 2
        x = int(cx)
        _, top = px.run_end(x, y, 0, -1, True)
        _, bottom = px.run_end(x, y, 0, 1, True)
        cy = (top + bottom + 1) / 2
        y = int(cy)
        if not px.black(x, y):
            break
    return cx, cy


def _finder_chord(px: _Pixels, centre: Point, dx: int, dy: int) -> int:
    """Pixels across the whole finder (core, light ring, dark ring) through its centre."""
    ends = []
    for sign in (-1, 1):
        x, y = int(centre[0]), int(centre[1])
        for colour in (True, False, True):
            x, y = px.run_end(x, y, sign * dx, sign * dy, colour)
        ends.append((x, y))
    (x0, y0), (x1, y1) = ends
    return abs(x1 - x0) + abs(y1 - y0) - 1


def _module_size(px: _Pixels, centres: list[Point], angle: float) -> float:
    """Pixels per module from the finders' chords, corrected for the code's rotation."""
    # A row through the centre of a square turned by a (folded into 0..45 degrees)
    # crosses it over side / cos(a) pixels.
    folded = angle % (math.pi / 2)
    slant = math.cos(min(folded, math.pi / 2 - folded))
    chords = [_finder_chord(px, c, 1, 0) for c in centres]
    chords += [_finder_chord(px, c, 0, 1) for c in centres]
    chords.sort()
    middle = chords[1:-1]
    return sum(middle) / len(middle) * slant / 7.0


def _roles(points: list[Point]) -> list[tuple[Point, Point, Point]] | None:
    """(top-left, top-right, bottom-left) orders of three finder centres, the regular
    chirality first, or None when they do not form the right-angled L of a symbol."""
    best: tuple[float, Point, Point, Point, float, float] | None = None
    for i in range(3):
        corner, a, b = points[i], points[(i + 1) % 3], points[(i + 2) % 3]
        ax, ay = a[0] - corner[0], a[1] - corner[1]
        bx, by = b[0] - corner[0], b[1] - corner[1]
        la, lb = math.hypot(ax, ay), math.hypot(bx, by)
        if la == 0 or lb == 0:
            return None
        cos = (ax * bx + ay * by) / (la * lb)
        if best is None or abs(cos) < best[0]:
            best = (abs(cos), corner, a, b, ax * by - ay * bx, la / lb)
    assert best is not None
    cos, corner, a, b, cross, ratio = best
    if cos > 0.3 or not 0.7 < ratio < 1.0 / 0.7:
        return None
    # In image coordinates (y down) an upright symbol has cross(tr - tl, bl - tl) > 0.
    regular = (corner, a, b) if cross > 0 else (corner, b, a)
    return [regular, (regular[0], regular[2], regular[1])]


def _timing_agreement(modules: bytes, size: int) -> float:
    """Share of the two timing patterns' modules that alternate as they must."""
    good = total = 0
    for i in range(8, size - 8):
        expected = 1 if i % 2 == 0 else 0
        good += (modules[6 * size + i] != 0) == expected
        good += (modules[i * size + 6] != 0) == expected
        total += 2
    return good / total if total else 0.0


def _window_for(module: float) -> int:
    """An odd voting window well inside one module, so noise is voted away."""
    window = int(module * 0.6)
    if window % 2 == 0:
        window -= 1
    return max(window, 1)


@dataclass(frozen=True)
class _Candidate:
    modules: bytes
    size: int
    score: float
    timing: float
    roles: tuple[Point, Point, Point]
    module: float


def _affine_candidate(image: BitsImage, roles: tuple[Point, Point, Point], size: int,
                      module: float) -> _Candidate:
    tl, tr, bl = roles
    hx, hy = tr[0] - tl[0], tr[1] - tl[1]
    vx, vy = bl[0] - tl[0], bl[1] - tl[1]
    pitches = size - 7
    # The sampler reads module column c at tl + (c - 3.5) pitches and rounds to a pixel
    # index; shifting by half a pitch (and back by half a pixel) lands on module centres.
    ox = tl[0] + 0.5 * (hx + vx) / pitches - 0.5
    oy = tl[1] + 0.5 * (hy + vy) / pitches - 0.5
    modules = _zeltra.sample_matrix_affine(
        image.bits, image.width, image.height, size, ox, oy, hx, hy, vx, vy, _window_for(module)
    )
    return _Candidate(modules, size, _zeltra.score_finder(modules, size),
                      _timing_agreement(modules, size), roles, module)


Box = tuple[int, int, int, int]


class _BlackBox:
    """The image's black box, measured on first use: a clean read never needs it."""

    def __init__(self, image: BitsImage) -> None:
        self._image = image
        self._box: Box | None = None
        self._known = False

    def get(self) -> Box | None:
        if not self._known:
            image = self._image
            self._box = _zeltra.find_black_bbox_bits(image.bits, image.width, image.height)
            self._known = True
        return self._box


def _box_candidate(image: BitsImage, black_box: _BlackBox | None,
                   roles: tuple[Point, Point, Point], size: int,
                   module: float) -> _Candidate | None:
    """The box grid, for a code upright in the image whose black box is the symbol."""
    tl, tr, bl = roles
    if abs(tr[1] - tl[1]) > module * 0.5 or abs(bl[0] - tl[0]) > module * 0.5:
        return None
    if tr[0] < tl[0] or bl[1] < tl[1]:
        return None
    box = black_box.get() if black_box is not None else None
    if box is None:
        return None
    expected = (tl[0] - 3.5 * module, tl[1] - 3.5 * module,
                tr[0] + 3.5 * module, bl[1] + 3.5 * module)
    if any(abs(got - want) > module for got, want in zip(box, expected)):
        return None
    modules = _zeltra.sample_matrix_3x3(image.bits, image.width, image.height, box, size)
    return _Candidate(modules, size, _zeltra.score_finder(modules, size),
                      _timing_agreement(modules, size), roles, module)


def _candidate_sizes(roles: tuple[Point, Point, Point], module: float) -> list[int]:
    tl, tr, bl = roles
    span = (math.dist(tl, tr) + math.dist(tl, bl)) / 2
    estimate = (span / module + 7 - 17) / 4
    nearest = min(max(round(estimate), 1), 40)
    versions = sorted({v for v in (nearest, nearest - 1, nearest + 1) if 1 <= v <= 40},
                      key=lambda v: abs(v - estimate))
    return [17 + 4 * v for v in versions]


def _candidates(image: BitsImage, box: _BlackBox | None = None) -> Iterator[_Candidate]:
    """Candidate grids of the code the finder scan sees, most likely first.

    The nearest version in the regular chirality comes first when its grid is clean
    (the usual case, and then the only grid sampled); the rest, neighbouring versions,
    the other chirality and the box grid, follow ranked by finder score and timing.
    """
    found = _zeltra.find_finder_centers(image.bits, image.width, image.height, FINDER_VARIANCE)
    if found is None:
        return
    px = _Pixels(image)
    points = [_refine_centre(px, (found[i], found[i + 1])) for i in (0, 2, 4)]
    orders = _roles(points)
    if orders is None:
        return
    tl, tr, _ = orders[0]
    module = _module_size(px, points, math.atan2(tr[1] - tl[1], tr[0] - tl[0]))
    if module < 1.0:
        return
    sizes = _candidate_sizes(orders[0], module)
    first = _affine_candidate(image, orders[0], sizes[0], module)
    clean = first.score >= CONVINCING_SCORE and first.timing >= CLEAN_TIMING
    if clean:
        yield first
    candidates = [] if clean else [first]
    for size in sizes:
        for roles in orders:
            if size != sizes[0] or roles is not orders[0]:
                candidates.append(_affine_candidate(image, roles, size, module))
        boxed = _box_candidate(image, box, orders[0], size, module)
        if boxed is not None:
            candidates.append(boxed)
    believable = [c for c in candidates if c.timing >= MIN_TIMING_AGREEMENT]
    # Stable sort: on equal ranks the nearer version and the regular chirality stay first.
    believable.sort(key=lambda c: c.score + c.timing, reverse=True)
    yield from believable


@dataclass(frozen=True)
class _View:
    """A cropped and possibly flipped copy of the caller's image, and the way back."""

    image: BitsImage
    left: int
    top: int
    flip_x: bool
    flip_y: bool

    def to_caller(self, point: Point) -> Point:
        x, y = point
        if self.flip_x:
            x = self.image.width - x
        if self.flip_y:
            y = self.image.height - y
        return x + self.left, y + self.top


def _cropped(image: BitsImage, box: Box, margin: int) -> _View:
    left, top = max(box[0] - margin, 0), max(box[1] - margin, 0)
    right, bottom = min(box[2] + margin, image.width), min(box[3] + margin, image.height)
    if (left, top, right, bottom) == (0, 0, image.width, image.height):
        return _View(image, 0, 0, False, False)
    data = memoryview(image.bits).cast("B")
    w = image.width
    rows = b"".join(data[y * w + left : y * w + right] for y in range(top, bottom))
    return _View(BitsImage(rows, right - left, bottom - top), left, top, False, False)


def _flipped_views(view: _View) -> Iterator[_View]:
    """The view mirrored left-right, top-bottom and both, made one at a time."""
    data = bytes(memoryview(view.image.bits).cast("B"))
    w, h = view.image.width, view.image.height
    rows = [data[y * w : (y + 1) * w] for y in range(h)]
    for fx, fy in ((True, False), (False, True), (True, True)):
        ordered = reversed(rows) if fy else rows
        flipped = b"".join(r[::-1] for r in ordered) if fx else b"".join(ordered)
        yield _View(BitsImage(flipped, w, h), view.left, view.top, fx, fy)


# Pixels of the largest image that is denoised at full resolution; larger ones are
# denoised at half (or quarter) resolution, which keeps modules of 4 pixels and more.
FULL_RESOLUTION_DENOISE = 2_500_000


def _denoised(image: BitsImage, pitch: int) -> BitsImage:
    """A majority-filtered copy of the image, one pixel per ``pitch`` pixels.

    Noise breaks the exact runs that the finder scan measures. The affine sampler on a
    grid of one pixel per module is a window-majority filter; with a power-of-two span
    the 16.16 step is exact, so module (x, y) is the window around pixel
    (pitch * x, pitch * y).
    """
    out_w = -(-image.width // pitch)
    out_h = -(-image.height // pitch)
    span = 1 << max(out_w, out_h, 2).bit_length()
    size = span + 7
    window = pitch + 1 if pitch % 2 == 0 else pitch + 2
    span_px = float(span * pitch)
    grid = _zeltra.sample_matrix_affine(image.bits, image.width, image.height, size,
                                        3.5 * pitch, 3.5 * pitch, span_px, 0.0, 0.0, span_px,
                                        window)
    rows = b"".join(grid[y * size : y * size + out_w] for y in range(out_h))
    return BitsImage(rows, out_w, out_h)


def _denoised_candidates(cropped: _View, pitch: int) -> Iterator[tuple[_Candidate, _View]]:
    """Candidates found on the denoised crop and its flips.

    The crop is denoised once and the result flipped (cheaper than denoising every
    flipped view). At full resolution the grids are sampled on the denoised copy
    itself; at lower resolution the centres go back to the crop and are sampled there.
    A grid only depends on which finder takes which role, not on the view it came from.
    """
    small = _View(_denoised(cropped.image, pitch), 0, 0, False, False)
    for view in (small, *_flipped_views(small)):
        for cand in _candidates(view.image):
            if pitch == 1:
                yield cand, _View(view.image, cropped.left, cropped.top, view.flip_x,
                                  view.flip_y)
                continue
            tl, tr, bl = ((x * pitch, y * pitch) for x, y in map(view.to_caller, cand.roles))
            scaled = _affine_candidate(cropped.image, (tl, tr, bl), cand.size,
                                       cand.module * pitch)
            if scaled.timing >= MIN_TIMING_AGREEMENT:
                yield scaled, cropped


def _restored(cand: _Candidate, view: _View) -> QRMatrix | None:
    try:
        restored = strict_restore_qr_matrix(cand.modules, cand.size)
    except ValueError:
        return None
    fmt = format_info(restored, cand.size)
    centers = tuple(view.to_caller(p) for p in cand.roles)
    return QRMatrix(restored, cand.size, (cand.size - 17) // 4, fmt.error_correction,
                    fmt.mask, cand.score, centers, cand.module)  # type: ignore[arg-type]


def _stages(image: BitsImage) -> Iterator[Iterator[tuple[_Candidate, _View]]]:
    """Candidates stage by stage, each stage built only when asked for: the image as it
    is (the only pass a clean upright code needs), then its black box cropped and
    flipped three ways, then those views denoised."""
    if image.width <= 0 or image.height <= 0:
        return
    black_box = _BlackBox(image)
    whole = _View(image, 0, 0, False, False)
    yield ((cand, whole) for cand in _candidates(image, black_box))
    box = black_box.get()
    if box is None:
        return
    cropped = _cropped(image, box, margin=2)
    for view in _flipped_views(cropped):
        yield ((cand, view) for cand in _candidates(view.image))
    pitch = 1
    while cropped.image.width * cropped.image.height > FULL_RESOLUTION_DENOISE * pitch * pitch:
        pitch *= 2
    yield _denoised_candidates(cropped, pitch)


def _readings(image: BitsImage) -> Iterator[tuple[QRMatrix, Decoded | None]]:
    """Restored grids with their decoded content, most trustworthy first.

    Restoration alone is weak evidence: a misplaced or mirrored grid often carries
    format bits within reach of some valid word. So grids whose data also decodes come
    first, a convincing one at once; the rest follow by finder score.
    """
    weak: list[tuple[QRMatrix, Decoded]] = []
    undecodable: list[QRMatrix] = []
    for stage in _stages(image):
        for cand, view in stage:
            matrix = _restored(cand, view)
            if matrix is None:
                continue
            try:
                decoded = decode_matrix(matrix.modules, matrix.size)
            except ValueError:
                undecodable.append(matrix)
                continue
            if matrix.score >= CONVINCING_SCORE:
                yield matrix, decoded
            else:
                weak.append((matrix, decoded))
    weak.sort(key=lambda pair: pair[0].score, reverse=True)
    yield from weak
    undecodable.sort(key=lambda matrix: matrix.score, reverse=True)
    for matrix in undecodable:
        yield matrix, None


def read_matrix(image: Any, width: int | None = None, height: int | None = None) -> QRMatrix | None:
    """The restored QR matrix of the code in ``image``, or None when none is found.

    ``image`` is a bytes-like bits image with its ``width`` and ``height`` (nonzero
    bytes are black), a 2-D NumPy array (0/1 or bool as bits, any other values as
    grayscale) or a Pillow image; grayscale is binarized with Otsu's threshold.
    Among the grids that strict restoration accepts, one whose data also decodes is
    preferred; otherwise the best-scoring one is returned.
    """
    bits = as_bits_image(image, width, height)
    for matrix, _ in _readings(bits):
        return matrix
    return None


def read(image: Any, width: int | None = None, height: int | None = None) -> QRCode | None:
    """The decoded QR code in ``image`` (as for read_matrix), or None."""
    bits = as_bits_image(image, width, height)
    for matrix, decoded in _readings(bits):
        if decoded is None:
            return None
        return QRCode(decoded, matrix)
    return None
