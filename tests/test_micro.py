"""Micro QR: every version, level and mask decodes from segno's matrices; error
correction stops at each symbol's limit; the reader finds symbols from their lone finder
in any turn, mirrored, light on dark and next to a QR code, and the symbology mask skips
them; pages without a symbol stay without a result."""

from __future__ import annotations

import math
import random

import numpy as np
import pytest
import segno

import halvern
from halvern import _engine

from tests.test_engine_read import draw, turned_corners

# Symbol number of each designator: version, level, (data bits, EC codewords, correctable).
MICRO = {
    "M1": (20, 2, 0), "M2-L": (40, 5, 1), "M2-M": (32, 6, 2), "M3-L": (84, 6, 2),
    "M3-M": (68, 8, 4), "M4-L": (128, 8, 3), "M4-M": (112, 10, 5), "M4-Q": (80, 14, 7),
}
MODES = {"numeric": "0123456789", "alphanumeric": "ABC XYZ$%*+-./:09", "byte": "abc~!{}", "kanji": "漢字点"}


def micro(text: str, designator: str, mask: int, mode: str | None = None) -> np.ndarray:
    version, _, level = designator.partition("-")
    qr = segno.make(text, version=version, error=level or None, mask=mask, mode=mode, micro=True,
                    boost_error=False)
    assert qr.designator == designator
    return np.array(qr.matrix, dtype=np.uint8)


def payload(decoded: tuple[object, ...]) -> bytes:
    segments = decoded[4]
    return b"".join(bytes(s[2]) for s in segments)  # type: ignore[attr-defined]


def fill(rng: random.Random, designator: str, mode: str) -> tuple[str, np.ndarray]:
    """The longest random text in ``mode`` that fits, and its symbol."""
    best = None
    for length in range(1, 40):
        text = "".join(rng.choice(MODES[mode]) for _ in range(length))
        try:
            best = text, micro(text, designator, rng.randrange(4), mode)
        except (segno.DataOverflowError, ValueError, AssertionError):
            break
    assert best is not None
    return best


# The modes each version has: M1 numeric, M2 also alphanumeric, M3 and M4 all four.
SYMBOL_MODES = [(d, m) for d in MICRO for m in list(MODES)[: {"1": 1, "2": 2}.get(d[1], 4)]]


@pytest.mark.parametrize(("designator", "mode"), SYMBOL_MODES)
def test_every_symbol_decodes_full(designator: str, mode: str) -> None:
    text, modules = fill(random.Random(f"{designator}{mode}"), designator, mode)
    assert len(text) >= 2
    decoded = _engine._decode_micro(modules.tobytes(), modules.shape[0])
    assert not isinstance(decoded, int), decoded
    expected = text.encode("shift_jis" if mode == "kanji" else "latin-1")
    assert payload(decoded) == expected
    assert decoded[0] == int(designator[1])


@pytest.mark.parametrize(("designator", "mask"), [(d, m) for d in MICRO for m in range(4)])
def test_correction_stops_at_the_limit(designator: str, mask: int) -> None:
    """Up to `correctable` damaged EC codewords are repaired, one more is refused."""
    modules = micro("1", designator, mask)
    size = modules.shape[0]
    data_bits, ec, correctable = MICRO[designator]
    # Data modules in placement order: two-column strips from the right, upward first.
    order = []
    for strip, right in enumerate(range(size - 1, 0, -2)):
        rows = range(size - 1, -1, -1) if strip % 2 == 0 else range(size)
        order += [(r, c) for r in rows for c in (right, right - 1)
                  if not (r <= 8 and c <= 8) and r != 0 and c != 0]
    for damaged in (correctable, correctable + 1):
        broken = modules.copy()
        for k in range(damaged):  # one bit of each of the last EC codewords
            r, c = order[data_bits + 8 * (ec - 1 - k)]
            broken[r, c] ^= 1
        decoded = _engine._decode_micro(broken.tobytes(), size)
        if damaged <= correctable:
            assert not isinstance(decoded, int) and decoded[3] == damaged
        else:
            assert decoded == 4  # too many errors


@pytest.mark.parametrize("degrees", range(0, 360, 30))
@pytest.mark.parametrize("mirrored", [False, True])
def test_read_in_any_turn(degrees: int, mirrored: bool) -> None:
    designator = ("M1", "M2-L", "M3-M", "M4-Q")[degrees // 30 % 4]
    text = str(10 + degrees)
    modules = micro(text, designator, degrees // 90)
    n = modules.shape[0]
    corners = turned_corners((100.0, 100.0), n * 4.0, degrees)
    canvas = np.zeros((200, 200), dtype=np.uint8)
    draw(canvas, modules.T if mirrored else modules, corners)
    (code,) = halvern.read_all(canvas)
    assert (code.text, code.mirrored) == (text, mirrored)
    # A mirror image's own top edge runs down the drawing's left edge.
    turn = degrees + (90 if mirrored else 0)
    assert (code.orientation - turn + 180) % 360 - 180 == pytest.approx(0, abs=3)
    for got, want in zip(code.position, corners if not mirrored else
                         [corners[0], corners[3], corners[2], corners[1]], strict=True):
        assert math.dist(got, want) <= 4.0


def test_finder_square_matches_the_drawing() -> None:
    modules = micro("12345", "M2-L", 0)
    corners = turned_corners((60.0, 60.0), 13 * 5.0, 20)
    canvas = np.zeros((120, 120), dtype=np.uint8)
    draw(canvas, modules, corners)
    # The finder's outer corners: module points (0, 0), (7, 0), (7, 7), (0, 7).
    (tl, tr, _, bl) = (np.array(p) for p in corners)
    u, v = (tr - tl) / 13, (bl - tl) / 13
    expected = [tl, tl + 7 * u, tl + 7 * u + 7 * v, tl + 7 * v]
    centre = tl + 3.5 * (u + v)
    square = _engine._finder_square(canvas.tobytes(), 120, 120, float(centre[0]), float(centre[1]), 5.0)
    assert square is not None
    # Increasing angle around the centre, starting anywhere: match the first corner.
    start = min(range(4), key=lambda k: math.dist(square[k], expected[0]))
    for k in range(4):
        assert math.dist(square[(start + k) % 4], expected[k]) <= 1.0


def test_micro_and_qr_in_one_image_and_the_symbology_mask() -> None:
    canvas = np.zeros((200, 360), dtype=np.uint8)
    draw(canvas, micro("4711", "M2-L", 1), turned_corners((60.0, 100.0), 13 * 5.0, 35))
    qr = np.array(segno.make_qr("beside", version=2, error="m").matrix, dtype=np.uint8)
    draw(canvas, qr, turned_corners((250.0, 100.0), 25 * 5.0, 0))
    assert sorted(c.text for c in halvern.read_all(canvas)) == ["4711", "beside"]
    h, w = canvas.shape
    for mask, expected in ((1, [0]), (2, [1]), (3, [0, 1]), (4, [])):
        records = _engine.read(canvas.tobytes(), w, h, w, 3, True, False, mask)
        assert sorted(r[10] for r in records) == expected


def test_light_on_dark_micro_symbol() -> None:
    canvas = np.zeros((120, 120), dtype=np.uint8)
    draw(canvas, micro("A1", "M2-L", 2, "alphanumeric"), turned_corners((60.0, 60.0), 13 * 4.0, 70))
    (code,) = halvern.read_all(np.where(canvas != 0, 220, 30).astype(np.uint8))
    assert (code.text, code.inverted) == ("A1", True)


@pytest.mark.parametrize("seed", range(6))
def test_pages_without_a_symbol_read_nothing(seed: int) -> None:
    """Finder-like specks in noise, blocks and lone finders with random surroundings:
    the timing, format and error checks refuse them all."""
    rng = np.random.default_rng(seed)
    block = 1 + seed % 4
    cells = (rng.random((300 // block, 300 // block)) < 0.5).astype(np.uint8)
    page = np.kron(cells, np.ones((block, block), dtype=np.uint8))
    finder = np.ones((7, 7), dtype=np.uint8)
    finder[1:6, 1:6] = 0
    finder[2:5, 2:5] = 1
    for k in range(8):  # lone finders, each with a separator, in random surroundings
        y, x = (int(v) for v in rng.integers(10, page.shape[0] - 50, 2))
        scale = 2 + k % 3
        page[y - scale: y + 8 * scale, x - scale: x + 8 * scale] = 0
        page[y: y + 7 * scale, x: x + 7 * scale] = np.kron(finder, np.ones((scale, scale), dtype=np.uint8))
    assert halvern.read_all(page) == []
