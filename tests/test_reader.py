"""End-to-end reading: segno symbols drawn into images, moved, turned, mirrored, tilted and
speckled, then read back.

Every scene knows where its three finder centres truly are, in continuous pixel
coordinates (pixel x spans x .. x + 1), so the reported centres are checked as well as
the matrix and the text.
"""

from __future__ import annotations

import math
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import numpy as np
import pytest
import segno
from PIL import Image

import halvern

Point = tuple[float, float]
Transform = Callable[[Point], Point]

QUIET = 4  # modules of light margin around a symbol


@dataclass(frozen=True)
class Scene:
    image: np.ndarray  # uint8 bits, 1 black
    symbol: np.ndarray  # the encoder's matrix, size x size
    text: str
    centres: tuple[Point, Point, Point]  # true top-left, top-right, bottom-left finder centres
    scale: int


def encode(text: str, version: int, error: str, mask: int) -> tuple[segno.QRCode, np.ndarray]:
    qr = segno.make_qr(text, version=version, error=error, mask=mask, boost_error=False)
    return qr, np.array(qr.matrix, dtype=np.uint8)


def draw(text: str, version: int, error: str, mask: int, scale: int,
         canvas: tuple[int, int] | None = None, at: tuple[int, int] | None = None) -> Scene:
    """The symbol at ``scale`` pixels per module, its top-left corner at ``at`` = (x, y)
    in a ``canvas`` = (width, height); by default centred with the quiet zone."""
    _, symbol = encode(text, version, error, mask)
    size = symbol.shape[0]
    code = np.kron(symbol, np.ones((scale, scale), dtype=np.uint8))
    side = (size + 2 * QUIET) * scale
    width, height = canvas if canvas is not None else (side, side)
    x, y = at if at is not None else ((width - code.shape[1]) // 2, (height - code.shape[0]) // 2)
    image = np.zeros((height, width), dtype=np.uint8)
    image[y : y + size * scale, x : x + size * scale] = code
    near, far = 3.5 * scale, (size - 3.5) * scale
    centres = ((x + near, y + near), (x + far, y + near), (x + near, y + far))
    return Scene(image, symbol, text, centres, scale)


def moved(scene: Scene, image: np.ndarray, where: Transform) -> Scene:
    tl, tr, bl = scene.centres
    centres = (where(tl), where(tr), where(bl))
    return Scene(np.ascontiguousarray(image), scene.symbol, scene.text, centres, scene.scale)


def quarter_turned(scene: Scene, turns: int) -> Scene:
    """Turned counter-clockwise by ``turns`` quarters (as np.rot90)."""
    for _ in range(turns):
        width = scene.image.shape[1]

        def where(p: Point, width: int = width) -> Point:
            # np.rot90 sends column x to row width - 1 - x, so point x to width - x.
            return (p[1], width - p[0])

        scene = moved(scene, np.rot90(scene.image), where)
    return scene


def mirrored(scene: Scene) -> Scene:
    return moved(scene, scene.image.T, lambda p: (p[1], p[0]))


def tilted(scene: Scene, degrees: float) -> Scene:
    """Turned by ``degrees`` into a canvas that holds every corner, each output pixel
    taking the source pixel under its centre (nearest neighbour)."""
    h, w = scene.image.shape
    side = math.ceil(math.hypot(w, h)) + 2
    cos, sin = math.cos(math.radians(degrees)), math.sin(math.radians(degrees))
    ys, xs = np.mgrid[0:side, 0:side].astype(np.float64)
    dx, dy = xs + 0.5 - side / 2, ys + 0.5 - side / 2
    sx = np.floor(cos * dx + sin * dy + w / 2).astype(np.int64)
    sy = np.floor(-sin * dx + cos * dy + h / 2).astype(np.int64)
    inside = (sx >= 0) & (sx < w) & (sy >= 0) & (sy < h)
    image = np.zeros((side, side), dtype=np.uint8)
    image[inside] = scene.image[sy[inside], sx[inside]]

    def where(p: Point) -> Point:
        ux, uy = p[0] - w / 2, p[1] - h / 2
        return (cos * ux - sin * uy + side / 2, sin * ux + cos * uy + side / 2)

    return moved(scene, image, where)


def speckled(scene: Scene, share: float, seed: int) -> Scene:
    flips = np.random.default_rng(seed).random(scene.image.shape) < share
    return moved(scene, scene.image ^ flips.astype(np.uint8), lambda p: p)


def data_modules(version: int) -> int:
    """Modules left for codewords and remainder bits once the function patterns are placed."""
    count = (16 * version + 128) * version + 64
    if version >= 2:
        per_side = version // 7 + 2
        count -= (25 * per_side - 10) * per_side - 55
    if version >= 7:
        count -= 36
    return count


def modules_of(matrix: halvern.QRMatrix) -> np.ndarray:
    return np.frombuffer(matrix.modules, dtype=np.uint8).reshape(matrix.size, matrix.size)


def assert_centres_near(found: tuple[Point, Point, Point], scene: Scene) -> None:
    for got, want in zip(found, scene.centres, strict=True):
        assert math.dist(got, want) <= scene.scale, (found, scene.centres)


def assert_reads_exactly(scene: Scene) -> None:
    matrix = halvern.read_matrix(scene.image)
    assert matrix is not None
    assert matrix.size == scene.symbol.shape[0]
    assert np.array_equal(modules_of(matrix), scene.symbol)
    assert_centres_near(matrix.centers, scene)


def assert_reads_text(scene: Scene) -> None:
    code = halvern.read(scene.image)
    assert code is not None
    assert code.text == scene.text


# ---------------------------------------------------------------------------
# Clean upright symbols: every version band, level and mask, scales 2 to 20.

CLEAN = [
    ("HELLO", 1, "l", 0, 2),
    ("halvern", 1, "h", 7, 20),
    ("0123456789", 2, "m", 3, 3),
    ("Version five, quartile", 5, "q", 5, 4),
    ("https://example.org/seven", 7, "h", 1, 5),
    ("ten " * 8, 10, "m", 6, 3),
    ("fourteen", 14, "l", 2, 2),
    ("twenty-five", 25, "q", 4, 2),
    ("the largest symbol", 40, "h", 6, 2),
    ("eight pixels", 3, "q", 2, 8),
]


@pytest.mark.parametrize(("text", "version", "error", "mask", "scale"), CLEAN)
def test_clean_symbol_reads_as_encoded(text: str, version: int, error: str, mask: int,
                                       scale: int) -> None:
    scene = draw(text, version, error, mask, scale)
    matrix = halvern.read_matrix(scene.image)
    assert matrix is not None
    assert (matrix.version, matrix.error_correction, matrix.mask) == (version, error.upper(), mask)
    assert np.array_equal(modules_of(matrix), scene.symbol)
    assert matrix.score == 1.0
    assert matrix.module_size == pytest.approx(scale, rel=0.1)
    assert_centres_near(matrix.centers, scene)

    code = halvern.read(scene.image)
    assert code is not None
    assert (code.text, code.data) == (text, text.encode())
    assert (code.version, code.error_correction, code.mask) == (version, error.upper(), mask)
    assert code.corrected == 0


@pytest.mark.parametrize(
    ("canvas", "at"),
    [
        ((150, 120), (0, 0)),  # no quiet zone at all on the top and left
        ((150, 120), (150 - 99, 120 - 99)),  # flush with the bottom-right corner
        ((300, 200), (16, 84)),  # quiet zone only, against the left edge, low
        ((300, 200), (190, 10)),  # far right, near the top
    ],
)
def test_symbol_off_centre_or_at_an_edge(canvas: tuple[int, int], at: tuple[int, int]) -> None:
    scene = draw("position", 4, "m", 4, 3, canvas=canvas, at=at)  # 33 modules: 99 px
    assert_reads_exactly(scene)
    assert_reads_text(scene)


# ---------------------------------------------------------------------------
# Orientation: the reader gives the symbol as encoded, however it lies in the image.

TURNED = [
    ("quarter", 2, "l", 0, 4),
    ("HELLO WORLD 123", 3, "q", 5, 6),
    ("version nine, turned around", 9, "h", 3, 3),
]



@pytest.mark.parametrize(("turns", "text", "version", "error", "mask", "scale"),
                         [pytest.param(t, *c, id=f"{t * 90}-v{c[1]}")
                          for t in (1, 2, 3) for c in TURNED])
def test_quarter_turned_symbol_decodes(turns: int, text: str, version: int, error: str,
                                       mask: int, scale: int) -> None:
    assert_reads_text(quarter_turned(draw(text, version, error, mask, scale), turns))


@pytest.mark.parametrize(
    ("turns", "text", "version", "error", "mask", "scale"),
    [pytest.param(t, *c, id=f"{t * 90}-v{c[1]}") for t in (1, 2, 3) for c in TURNED],
)
def test_quarter_turned_symbol_restores_as_encoded(turns: int, text: str, version: int,
                                                   error: str, mask: int, scale: int) -> None:
    assert_reads_exactly(quarter_turned(draw(text, version, error, mask, scale), turns))


@pytest.mark.parametrize(("text", "version", "error", "mask", "scale"), TURNED)
def test_mirrored_symbol_decodes(text: str, version: int, error: str, mask: int,
                                 scale: int) -> None:
    assert_reads_text(mirrored(draw(text, version, error, mask, scale)))


@pytest.mark.parametrize(("text", "version", "error", "mask", "scale"),
                         TURNED)
def test_mirrored_symbol_restores_unmirrored(text: str, version: int, error: str, mask: int,
                                             scale: int) -> None:
    # A mirror image of a symbol is its transpose; reading it the right way round
    # gives back the encoder's matrix, not the transpose seen in the image.
    assert_reads_exactly(mirrored(draw(text, version, error, mask, scale)))


@pytest.mark.parametrize(
    ("degrees", "version", "scale"),
    [(5, 2, 4), (-8, 5, 5), (12, 3, 6), (-15, 7, 4), (20, 1, 8), (-20, 4, 6), (17, 10, 4)],
)
def test_slightly_tilted_symbol_reads_as_encoded(degrees: float, version: int, scale: int) -> None:
    scene = tilted(draw(f"tilt {degrees}", version, "m", version % 8, scale), degrees)
    assert_reads_exactly(scene)
    assert_reads_text(scene)


# ---------------------------------------------------------------------------
# Salt-and-pepper noise: the grid must still be found, and error correction mends the rest.

@pytest.mark.parametrize(
    ("share", "seed", "version", "error", "scale"),
    [(0.005, 1, 2, "l", 6), (0.005, 2, 5, "q", 5), (0.01, 3, 3, "m", 6), (0.01, 4, 7, "h", 4),
     pytest.param(0.01, 5, 1, "q", 8)],
)
def test_speckled_symbol_reads_with_few_modules_off(share: float, seed: int, version: int,
                                                    error: str, scale: int) -> None:
    scene = speckled(draw(f"noisy {seed}", version, error, seed % 8, scale), share, seed)
    matrix = halvern.read_matrix(scene.image)
    assert matrix is not None
    assert matrix.size == scene.symbol.shape[0]
    off = int(np.count_nonzero(modules_of(matrix) != scene.symbol))
    assert off <= 0.02 * data_modules(version)
    assert_centres_near(matrix.centers, scene)
    assert_reads_text(scene)


# ---------------------------------------------------------------------------
# What callers may pass.

def _gray(bits: np.ndarray) -> np.ndarray:
    return np.where(bits != 0, 0, 255).astype(np.uint8)


def _with_size(bits: np.ndarray) -> tuple[int, int]:
    return bits.shape[1], bits.shape[0]


def _kinds() -> list[tuple[str, Callable[[np.ndarray], tuple[Any, ...]]]]:
    return [
        ("bytes", lambda b: (b.tobytes(), *_with_size(b))),
        ("bytearray", lambda b: (bytearray(b.tobytes()), *_with_size(b))),
        ("memoryview", lambda b: (memoryview(b.tobytes()), *_with_size(b))),
        ("numpy-bits", lambda b: (b,)),
        ("numpy-255-as-black", lambda b: ((b * 255).astype(np.uint8) ^ 255,)),
        ("numpy-bool", lambda b: (b.astype(bool),)),
        ("numpy-gray", lambda b: (_gray(b),)),
        ("numpy-gray-low-contrast", lambda b: (np.where(b != 0, 90, 160).astype(np.uint8),)),
        ("pillow-L", lambda b: (Image.fromarray(_gray(b)),)),
        ("pillow-1", lambda b: (Image.fromarray(b == 0),)),
        ("pillow-RGB", lambda b: (Image.fromarray(_gray(b)).convert("RGB"),)),
    ]


@pytest.mark.parametrize(("kind", "make"), _kinds(), ids=[k for k, _ in _kinds()])
def test_every_input_kind_reads_the_same(kind: str,
                                         make: Callable[[np.ndarray], tuple[Any, ...]]) -> None:
    scene = draw("kinds", 2, "q", 6, 3)
    args = make(scene.image)
    matrix = halvern.read_matrix(*args)
    assert matrix is not None
    assert np.array_equal(modules_of(matrix), scene.symbol)
    code = halvern.read(*args)
    assert code is not None and code.text == "kinds"


def _single_finder() -> np.ndarray:
    image = np.zeros((60, 60), dtype=np.uint8)
    image[10:38, 10:38] = 1  # a 7-module finder at 4 px per module
    image[14:34, 14:34] = 0
    image[18:30, 18:30] = 1
    return image


def _symbol_without_bottom_left_finder() -> np.ndarray:
    scene = draw("two finders", 2, "m", 0, 4)
    size = scene.symbol.shape[0]
    image = scene.image.copy()
    top = (QUIET + size - 8) * 4
    image[top : top + 32, QUIET * 4 : QUIET * 4 + 32] = 0
    return image


@pytest.mark.parametrize(
    "image",
    [
        np.zeros((80, 80), dtype=np.uint8),
        np.ones((80, 80), dtype=np.uint8),
        (np.random.default_rng(7).random((120, 120)) < 0.5).astype(np.uint8),
        (np.random.default_rng(8).random((120, 120)) < 0.02).astype(np.uint8),
        _single_finder(),
        _symbol_without_bottom_left_finder(),
    ],
    ids=["blank", "black", "noise-half", "noise-sparse", "single-finder", "two-finders"],
)
def test_no_symbol_gives_none(image: np.ndarray) -> None:
    assert halvern.read_matrix(image) is None
    assert halvern.read(image) is None


@pytest.mark.parametrize(
    ("bits", "width", "height"),
    [(b"\x01", 1, 1), (b"\x00", 1, 1), (b"", 0, 0), (b"", 0, 5), (b"", 5, 0)],
)
def test_tiny_image_gives_none(bits: bytes, width: int, height: int) -> None:
    assert halvern.read_matrix(bits, width, height) is None
    assert halvern.read(bits, width, height) is None
