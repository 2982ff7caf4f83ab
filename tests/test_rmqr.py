"""rMQR: every size and level decodes from zxing-cpp's writer (its layout, block
structure and count widths); correction stops at half the EC codewords; the reader finds
symbols of every size from their finder in any turn, mirrored and light on dark, beside
QR and Micro QR symbols."""

from __future__ import annotations

import math

import numpy as np
import pytest
import segno

import halvern
from halvern import _engine

from benchmarks.scenes import RMQR_SIZES
from tests.test_engine_read import draw, homography, turned_corners

zxingcpp = pytest.importorskip("zxingcpp")


def rmqr(text: str, index: int, level: str) -> np.ndarray:
    code = zxingcpp.create_barcode(text, zxingcpp.BarcodeFormat.RMQRCode, version=index + 1, ec_level=level)
    modules = (np.array(code.to_image(scale=1, add_quiet_zones=False)) < 128).astype(np.uint8)
    assert modules.shape == RMQR_SIZES[index]
    return modules


def longest(index: int, level: str, alphabet: str) -> tuple[str, np.ndarray]:
    """The longest text of repeated ``alphabet`` that fits, and its symbol."""
    best = None
    for length in range(1, 400, 3):
        text = (alphabet * 100)[:length]
        try:
            best = text, rmqr(text, index, level)
        except (ValueError, AssertionError):
            break
    assert best is not None
    return best


@pytest.mark.parametrize("index", range(len(RMQR_SIZES)))
@pytest.mark.parametrize("level", ["M", "H"])
def test_every_size_and_level_decodes_full(index: int, level: str) -> None:
    alphabet = ("0123456789", "RMQR $%*+-./:", "rmqr bytes~")[index % 3]
    text, modules = longest(index, level, alphabet)
    rows, columns = modules.shape
    decoded = _engine._decode_rmqr(modules.tobytes(), rows, columns)
    assert not isinstance(decoded, int), decoded
    assert b"".join(bytes(s[2]) for s in decoded[4]).decode("ascii") == text
    assert (decoded[1], decoded[-2:]) == ({"M": 1, "H": 3}[level], (rows, columns))


@pytest.mark.parametrize("index", [0, 10, 21, 31])
def test_correction_stops_at_half_the_ec_codewords(index: int) -> None:
    """Flipped modules along the bottom rows, where the codewords' modules lie in
    consecutive pairs of columns: a few are repaired, a whole strip is refused."""
    modules = rmqr("12345", index, "H")
    rows, columns = modules.shape
    damaged = modules.copy()
    damaged[rows - 4, columns // 2: columns // 2 + 2] ^= 1
    assert not isinstance(_engine._decode_rmqr(damaged.tobytes(), rows, columns), int)
    ruined = modules.copy()
    ruined[1: rows - 1, 12: columns - 9] ^= 1
    assert _engine._decode_rmqr(ruined.tobytes(), rows, columns) in (2, 4, 5)


def rect_corners(centre: tuple[float, float], width: float, height: float, degrees: float) -> list[tuple[float, float]]:
    cos, sin = math.cos(math.radians(degrees)), math.sin(math.radians(degrees))
    return [(centre[0] + cos * x - sin * y, centre[1] + sin * x + cos * y)
            for x, y in ((-width / 2, -height / 2), (width / 2, -height / 2), (width / 2, height / 2),
                         (-width / 2, height / 2))]


def draw_rect(canvas: np.ndarray, modules: np.ndarray, corners: list[tuple[float, float]]) -> None:
    """As draw, for a rows x columns matrix."""
    rows, columns = modules.shape
    to_module = np.linalg.inv(homography([(0, 0), (columns, 0), (columns, rows), (0, rows)], corners))
    ys, xs = np.mgrid[0: canvas.shape[0], 0: canvas.shape[1]].astype(np.float64)
    u, v, z = np.tensordot(to_module, np.stack([xs + 0.5, ys + 0.5, np.ones_like(xs)]), axes=1)
    u, v = u / z, v / z
    inside = (u >= 0) & (u < columns) & (v >= 0) & (v < rows)
    canvas[inside] |= modules[v[inside].astype(int), u[inside].astype(int)]


@pytest.mark.parametrize("index", range(0, len(RMQR_SIZES), 3))
@pytest.mark.parametrize("mirrored", [False, True])
def test_read_in_any_turn(index: int, mirrored: bool) -> None:
    degrees = 37.0 * index % 360
    text = f"R{index}"
    modules = rmqr(text, index, "MH"[index % 2])
    rows, columns = modules.shape
    if mirrored:
        modules = modules[:, ::-1].copy()
    side = (columns + 8) * 4
    canvas = np.zeros((side, side), dtype=np.uint8)
    corners = rect_corners((side / 2, side / 2), columns * 4.0, rows * 4.0, degrees)
    draw_rect(canvas, modules, corners)
    (code,) = halvern.read_all(canvas)
    assert (code.text, code.mirrored, code.symbology) == (text, mirrored, "rMQR")
    assert code.version == f"R{rows}x{columns}"
    expected = [corners[1], corners[0], corners[3], corners[2]] if mirrored else corners
    for got, want in zip(code.position, expected, strict=True):
        assert math.dist(got, want) <= 4.0


def test_three_symbologies_in_one_image() -> None:
    canvas = np.zeros((260, 520), dtype=np.uint8)
    draw_rect(canvas, rmqr("rectangle", 19, "M"), rect_corners((260.0, 60.0), 77 * 4.0, 13 * 4.0, 3))
    micro = np.array(segno.make("31337", version="M2", micro=True).matrix, dtype=np.uint8)
    draw(canvas, micro, turned_corners((80.0, 180.0), 13 * 5.0, 20))
    qr = np.array(segno.make_qr("square", version=2).matrix, dtype=np.uint8)
    draw(canvas, qr, turned_corners((380.0, 180.0), 25 * 4.0, 0))
    found = {(c.symbology, c.text) for c in halvern.read_all(canvas)}
    assert found == {("rMQR", "rectangle"), ("Micro QR", "31337"), ("QR", "square")}
    assert [c.text for c in halvern.read_all(canvas, symbologies=["rMQR"])] == ["rectangle"]


def test_light_on_dark_rmqr() -> None:
    canvas = np.zeros((120, 260), dtype=np.uint8)
    draw_rect(canvas, rmqr("dark", 1, "H"), rect_corners((130.0, 60.0), 59 * 4.0, 7 * 4.0, -8))
    (code,) = halvern.read_all(np.where(canvas != 0, 210, 40).astype(np.uint8))
    assert (code.text, code.inverted) == ("dark", True)
