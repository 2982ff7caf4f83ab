"""Finder detection on planted patterns: every finder found once, at its centre and size,
in any rotation; nothing found on stripes, checkerboards or noise."""

from __future__ import annotations

import itertools
import math

import numpy as np
import pytest

from halvern import _engine

FINDER = np.ones((7, 7), dtype=np.uint8)
FINDER[1:6, 1:6] = 0
FINDER[2:5, 2:5] = 1


def plant(image: np.ndarray, centre: tuple[float, float], module: float, degrees: float,
          stretch: float = 1.0) -> None:
    """Draws a finder turned by ``degrees`` around ``centre``: each pixel takes the module
    under its own centre; ``stretch`` times as long along its second axis."""
    h, w = image.shape
    reach = int(math.ceil(module * max(stretch, 1.0) * 5.5))
    cx, cy = centre
    x0, x1 = max(int(cx) - reach, 0), min(int(cx) + reach, w)
    y0, y1 = max(int(cy) - reach, 0), min(int(cy) + reach, h)
    ys, xs = np.mgrid[y0:y1, x0:x1].astype(np.float64)
    cos, sin = math.cos(math.radians(degrees)), math.sin(math.radians(degrees))
    dx, dy = xs + 0.5 - cx, ys + 0.5 - cy
    u = (cos * dx + sin * dy) / module + 3.5
    v = (-sin * dx + cos * dy) / (module * stretch) + 3.5
    inside = (u >= 0) & (u < 7) & (v >= 0) & (v < 7)
    patch = np.zeros(u.shape, dtype=np.uint8)
    patch[inside] = FINDER[v[inside].astype(int), u[inside].astype(int)]
    image[y0:y1, x0:x1] = np.where(inside, patch, image[y0:y1, x0:x1])


def finders(image: np.ndarray) -> list[tuple[float, float, float, int]]:
    image = np.ascontiguousarray(image, dtype=np.uint8)
    return _engine._find_finders(image, image.shape[1], image.shape[0])


def assert_found_once(found: list[tuple[float, float, float, int]],
                      planted: list[tuple[tuple[float, float], float]]) -> None:
    assert len(found) == len(planted), (found, planted)
    for (cx, cy), module in planted:
        near = [f for f in found if math.hypot(f[0] - cx, f[1] - cy) <= max(0.5 * module, 1.0)]
        assert len(near) == 1, (found, (cx, cy))
        # The shortest chord is within 8% of the side in any rotation; pixels add their own.
        assert near[0][2] == pytest.approx(module, rel=0.2, abs=0.6)


@pytest.mark.parametrize("module", [2, 3, 4, 7, 12])
def test_upright_finder_centre_and_size_are_exact(module: int) -> None:
    image = np.zeros((30 * module, 30 * module), dtype=np.uint8)
    x, y = 5 * module + 1, 9 * module + 3
    image[y : y + 7 * module, x : x + 7 * module] = np.kron(FINDER, np.ones((module, module), np.uint8))
    (found,) = finders(image)
    assert found[:3] == (x + 3.5 * module, y + 3.5 * module, module)
    # Every row of the core matched; the scan takes every other row until the first
    # match, so the core's first row may be passed over.
    assert found[3] in (3 * module - 1, 3 * module)


@pytest.mark.parametrize("seed", range(12))
def test_planted_finders_are_found_in_any_rotation(seed: int) -> None:
    rng = np.random.default_rng(seed)
    image = np.zeros((400, 400), dtype=np.uint8)
    planted: list[tuple[tuple[float, float], float]] = []
    for row in range(3):
        for col in range(3):
            if rng.random() < 0.3:
                continue
            module = float(rng.uniform(2.2, 6.0))
            centre = (col * 130 + 65 + rng.uniform(-10, 10), row * 130 + 65 + rng.uniform(-10, 10))
            plant(image, centre, module, float(rng.uniform(0, 360)))
            planted.append((centre, module))
    assert_found_once(finders(image), planted)


@pytest.mark.parametrize(("stretch", "degrees", "module"), [
    (2.6, 0, 3.4), (2.6, 80, 3.4), (2.2, 60, 3.4), (1 / 2.6, 0, 8.7), (1 / 2.6, 20, 8.7),
    (4.4, 0, 2.5), (4.4, 85, 2.5), (1 / 4.4, 0, 11.0), (1 / 4.4, 10, 11.0),
])
def test_finder_foreshortened_along_one_axis_is_found(stretch: float, degrees: float, module: float) -> None:
    # The far finder of a phone held close at 60 degrees: 3.4 by 8.7 pixels a module; at
    # 70 degrees, 2.5 by 11, where the shorter chord's runs round to whole pixels.
    image = np.zeros((200, 200), dtype=np.uint8)
    plant(image, (80.3, 79.6), module, degrees, stretch)
    (found,) = finders(image)
    assert math.hypot(found[0] - 80.3, found[1] - 79.6) <= 0.75 * min(module, module * stretch)
    assert found[2] == pytest.approx(min(module, module * stretch), rel=0.25)


@pytest.mark.parametrize(("module", "degrees"), [(2.0, 0), (2.0, 20), (2.0, 70), (2.5, 45), (2.5, 135)])
@pytest.mark.parametrize("top", [30.0, 31.3, 32.6, 33.9])
def test_sparse_scan_finds_a_finder_of_two_pixels_a_module(module: float, degrees: float, top: float) -> None:
    # Rows three apart meet a finder the dense scan finds at two pixels a module (at 45
    # degrees, two and a half: at two the walks reject it) at any row phase; the rows
    # about it are then all scanned, as the dense scan does.
    image = np.zeros((80, 80), dtype=np.uint8)
    plant(image, (40.4, top), module, degrees)
    assert_found_once(finders(image), [((40.4, top), module)])
    sparse = _engine._find_finders(image, 80, 80, False, True, True, True)
    assert_found_once(sparse, [((40.4, top), module)])
    assert sparse[0][3] >= finders(image)[0][3]


@pytest.mark.parametrize("degrees", [0, 15, 30, 45, 60, 90, 135, 200, 315])
def test_turned_finder_at_three_pixels_a_module(degrees: float) -> None:
    image = np.zeros((80, 80), dtype=np.uint8)
    plant(image, (40.0, 40.0), 3.0, degrees)
    assert_found_once(finders(image), [((40.0, 40.0), 3.0)])


@pytest.mark.parametrize("bridged", [range(10, 11), range(9, 11), range(10, 12)])
def test_finder_whose_inner_ring_broke_on_its_middle_rows_is_found(bridged: range) -> None:
    # A blurred finder thresholded dark loses its thin light ring where it is thinnest:
    # the core then runs into the outer ring on the middle rows alone.
    image = np.zeros((60, 60), dtype=np.uint8)
    x, y = 20, 15
    image[y : y + 21, x : x + 21] = np.kron(FINDER, np.ones((3, 3), np.uint8))
    for row in bridged:
        image[y + row, x + 15 : x + 18] = 1
    assert_found_once(finders(image), [((x + 10.5, y + 10.5), 3.0)])


@pytest.mark.parametrize("corner", ["top-right", "bottom-left"])
def test_finder_with_dark_surroundings_at_one_corner_is_found(corner: str) -> None:
    # A hard shadow's edge binarized dark and touching a corner of the finder: the
    # diagonal through that corner runs on into it; the other diagonal still holds.
    image = np.zeros((110, 110), dtype=np.uint8)
    x, y, m = 30, 34, 6
    image[y : y + 7 * m, x : x + 7 * m] = np.kron(FINDER, np.ones((m, m), np.uint8))
    if corner == "top-right":
        image[y - 12 : y + 3, x + 7 * m - 2 : x + 7 * m + 20] = 1
    else:
        image[y + 7 * m - 3 : y + 7 * m + 12, x - 20 : x + 2] = 1
    assert_found_once(finders(image), [((x + 3.5 * m, y + 3.5 * m), float(m))])
    # The inverted pass holds its light finders to both diagonals, as a scan told so.
    inverted = np.ascontiguousarray(1 - image)
    assert _engine._find_finders(inverted, 110, 110, True) == []
    assert _engine._find_finders(image, 110, 110, False, True, False) == []


def test_specks_on_every_walk_through_a_large_finder_are_passed_over() -> None:
    # Salt and pepper on a finder of 8 pixels a module: one flipped pixel on the column,
    # the row and both diagonals through its centre, each with the run's colour on both
    # sides. Every row match's walks cross one of them.
    image = np.zeros((90, 90), dtype=np.uint8)
    x, y, m = 17, 13, 8
    image[y : y + 7 * m, x : x + 7 * m] = np.kron(FINDER, np.ones((m, m), np.uint8))
    centre = (x + 3.5 * m, y + 3.5 * m)
    for dx, dy in [(0, -24), (0, 16), (-25, 0), (20, 0), (-20, -20), (20, -20), (-13, 13), (20, 20)]:
        px, py = int(centre[0]) + dx, int(centre[1]) + dy
        image[py, px] ^= 1
    assert_found_once(finders(image), [(centre, float(m))])


@pytest.mark.parametrize("seed", range(8))
def test_light_finders_on_dark_are_those_of_the_inverted_image(seed: int) -> None:
    # One scan finds both polarities; its light-on-dark list must be exactly what a scan
    # of the inverted bits finds, so the inverted pass can skip its own scan.
    rng = np.random.default_rng([seed, 5])
    density = 0.02 if seed % 2 == 0 else 0.3
    image = (rng.random((240, 300)) < density).astype(np.uint8)
    for k in range(4):
        centre = (float(rng.uniform(30, 270)), float(rng.uniform(30, 210)))
        if k % 2 == 0:
            plant(image, centre, float(rng.uniform(2.5, 5.0)), float(rng.uniform(0, 360)))
        else:  # light on dark: planted into the inverse of a dark patch
            module = float(rng.uniform(2.5, 5.0))
            x, y, reach = int(centre[0]), int(centre[1]), int(module * 6)
            image[max(y - reach, 0) : y + reach, max(x - reach, 0) : x + reach] = 1
            inverse = 1 - image
            plant(inverse, centre, module, float(rng.uniform(0, 360)))
            image = 1 - inverse
    image = np.ascontiguousarray(image, dtype=np.uint8)
    inverted = np.ascontiguousarray(1 - image)
    h, w = image.shape
    # (The inverted pass holds its finders to both diagonals, as the scan below.)
    light = _engine._find_finders(image, w, h, True)
    assert light == _engine._find_finders(inverted, w, h, False, True, False)
    assert _engine._find_finders(inverted, w, h, True) == _engine._find_finders(image, w, h, False, True, False)
    if density < 0.1:
        assert light and _engine._find_finders(image, w, h)


def stretched_finders(rng: np.random.Generator, shape: tuple[int, int]) -> np.ndarray:
    """Finders squeezed or stretched along y (a tilted plane), turned, on sparse noise: the
    column walk's step limit then depends on the row it starts from."""
    h, w = shape
    image = (rng.random(shape) < 0.02).astype(np.uint8)
    tall = np.zeros((2 * h, w), dtype=np.uint8)
    for _ in range(6):
        plant(tall, (float(rng.uniform(20, w - 20)), float(rng.uniform(40, 2 * h - 40))),
              float(rng.uniform(2.0, 6.0)), float(rng.uniform(0, 360)))
    squeeze = float(rng.uniform(0.5, 2.0))
    rows = np.clip((np.arange(h) / squeeze * 1.0).astype(int), 0, 2 * h - 1)
    return np.ascontiguousarray(image | tall[rows], dtype=np.uint8)


def rejected_match_images() -> list[np.ndarray]:
    out = [stretched_finders(np.random.default_rng([seed, 9]), (200, 260)) for seed in range(30)]
    for seed in range(4):
        rng = np.random.default_rng([seed, 10])
        scale = int(rng.integers(3, 10))
        out.append(np.kron(rng.random((30, 30)) < 0.5, np.ones((scale, scale))).astype(np.uint8))
        out.append((rng.random((180, 220)) < 0.5).astype(np.uint8))
        # Lines of 5 x 7 glyphs, 3 px a dot, under a blank top: the walks of their light
        # matches up into the blank run out of steps.
        dots = (rng.random((6, 10, 20, 6)) < 0.45) & (np.arange(10)[:, None, None] < 7) & (np.arange(6) < 5)
        page = np.kron(dots.reshape(60, 120), np.ones((3, 3)))
        out.append(np.pad(page, ((60, 10), (10, 10))).astype(np.uint8))
    return out


def test_skipping_rows_below_a_rejected_match_changes_no_finder() -> None:
    # A row match right below one whose walks were rejected is skipped; walking every
    # match must find exactly the same finders, with the same hits, in both polarities.
    # (Stretched finders catch a skip after a column walk that only ran out of steps.)
    for image in rejected_match_images():
        h, w = image.shape
        for inverse in (False, True):
            assert (_engine._find_finders(image, w, h, inverse, True)
                    == _engine._find_finders(image, w, h, inverse, False))


def test_light_on_dark_finder_is_not_a_finder() -> None:
    image = np.ones((60, 60), dtype=np.uint8)
    image[10:38, 10:38] = 1 - np.kron(FINDER, np.ones((4, 4), np.uint8))
    assert finders(image) == []


def stripes(width: int, height: int, runs: list[int], vertical: bool) -> np.ndarray:
    line = np.concatenate([np.full(r, i % 2 == 0, dtype=np.uint8) for i, r in enumerate(runs * 200)])
    line = np.resize(line, width if vertical else height)
    return np.tile(line, (height, 1)) if vertical else np.tile(line[:, None], (1, width))


@pytest.mark.parametrize(
    "image",
    [
        stripes(300, 200, [2, 2, 6, 2, 2, 2], True),
        stripes(300, 200, [5, 5, 15, 5, 5, 5], False),
        np.kron(np.indices((40, 40)).sum(axis=0) % 2, np.ones((3, 3), np.int64)),
        (np.random.default_rng(1).random((200, 200)) < 0.5),
        (np.random.default_rng(2).random((200, 200)) < 0.05),
    ],
    ids=["vertical-finder-stripes", "horizontal-finder-stripes", "checkerboard", "noise-half",
         "noise-sparse"],
)
def test_patterns_without_finders_give_none(image: np.ndarray) -> None:
    assert finders(image) == []


def test_finders_touching_the_image_edge_are_not_invented() -> None:
    image = np.zeros((50, 50), dtype=np.uint8)
    image[0:21, 0:21] = np.kron(FINDER, np.ones((3, 3), np.uint8))
    cut = image[3:, 3:]  # the outer ring cut off on two sides
    found = finders(cut)
    assert all(f[0] > 5 and f[1] > 5 for f in found)


def scan_inputs(rng: np.random.Generator) -> list[np.ndarray]:
    """Rows for the row scan: random bits of any density, random runs, and finder stripes
    at 1 to 5 px/module, at widths across the 64-pixel steps (1, 63-65, 127-129, ...)."""
    widths = [1, 2, 5, 63, 64, 65, 127, 128, 129, 200, 513]
    out = []
    for w in widths:
        out.append((rng.random((4, w)) < rng.random()).astype(np.uint8))
        line = np.repeat(np.arange(w) % 2, rng.integers(1, 12, size=w))[:w]
        out.append(np.tile(line.astype(np.uint8), (2, 1)))
        module = int(rng.integers(1, 6))
        stripe = np.resize(np.repeat(np.array([1, 0, 1, 1, 1, 0, 1, 0], np.uint8), module), w)
        out.append(np.stack([stripe, 1 - stripe]))
    return out


@pytest.mark.parametrize("seed", range(4))
def test_row_scan_matches_the_run_by_run_reference(seed: int) -> None:
    # Runs, one-pixel runs and row matches of both polarities, row by row.
    for image in scan_inputs(np.random.default_rng([seed, 11])):
        h, w = image.shape
        image = np.ascontiguousarray(image)
        assert _engine._row_scan(image, w, h, False) == _engine._row_scan(image, w, h, True)


def test_row_scan_matches_the_reference_on_every_five_runs_up_to_nine_pixels() -> None:
    # Every proportion bound is met with equality somewhere among these (2 x 35 = 70
    # pixels: a total of 35 with a unit run of 2, of 21 with a core of 6, ...), in both
    # colours, each pattern between runs of three that keep it apart.
    runs = np.array(list(itertools.product(range(1, 10), repeat=5)))
    rows = []
    for colour in (1, 0):
        for r in runs:
            values = [1 - colour, colour, 1 - colour, colour, 1 - colour, colour, 1 - colour]
            rows.append(np.repeat(values, [3, *r, 3]))
    width = max(len(r) for r in rows)
    image = np.array([np.pad(r, (0, width - len(r)), mode="edge") for r in rows], dtype=np.uint8)
    h, w = image.shape
    assert _engine._row_scan(image, w, h, False) == _engine._row_scan(image, w, h, True)


@pytest.mark.parametrize("seed", range(4))
def test_dark_only_row_scan_keeps_the_reference_dark_matches(seed: int) -> None:
    # The sparse scan tests dark cores alone, by the parity of the row's runs.
    for image in scan_inputs(np.random.default_rng([seed, 12])):
        h, w = image.shape
        image = np.ascontiguousarray(image)
        dark = [(runs, [m for m in found if m[3] == 1]) for runs, _, found in _engine._row_scan(image, w, h, True)]
        assert [(runs, list(found)) for runs, _, found in _engine._row_scan(image, w, h, False, True)] == dark


def walk_reference(bits: np.ndarray, x: int, y: int, dx: int, dy: int, limit: int, light: int,
                   specks: bool) -> tuple[bool, tuple[int, int, int], bool]:
    """One confirmation walk pixel by pixel: core, ring and outer ring, a lone odd pixel
    inside a run kept in it with ``specks``."""
    h, w = bits.shape
    inside = lambda px, py: 0 <= px < w and 0 <= py < h  # noqa: E731
    counts, state = [0, 0, 0], 0
    for _ in range(limit + 1):
        if not inside(x, y):
            return state == 2 and counts[2] > 0, tuple(counts), False
        dark, expected = int(bits[y, x] != light), int(state != 1)
        speck = (specks and dark != expected and counts[state] > 0 and inside(x + dx, y + dy)
                 and int(bits[y + dy, x + dx] != light) == expected)
        if dark != expected and not speck:
            if state == 2 or counts[state] == 0:
                return state == 2, tuple(counts), False
            state += 1
        counts[state] += 1
        x, y = x + dx, y + dy
    return False, tuple(counts), True


@pytest.mark.parametrize("seed", range(6))
def test_walk_matches_the_pixel_by_pixel_reference(seed: int) -> None:
    # Noise and blocky runs, every direction, starts inside and outside, limits short
    # and long, both polarities, specks on and off.
    rng = np.random.default_rng([seed, 23])
    h, w = int(rng.integers(1, 40)), int(rng.integers(1, 40))
    bits = (rng.random((h, w)) < rng.choice([0.2, 0.5, 0.8])).astype(np.uint8)
    if seed % 2:
        bits = np.repeat(np.repeat(bits, 3, axis=0), 2, axis=1)[:h, :w].copy()
    for _ in range(300):
        x, y = int(rng.integers(-2, w + 2)), int(rng.integers(-2, h + 2))
        dx, dy = (int(v) for v in rng.choice([(1, 0), (-1, 0), (0, 1), (0, -1), (1, 1), (1, -1), (-1, 1), (-1, -1)]))
        limit, light, specks = int(rng.integers(-1, 50)), int(rng.integers(0, 2)), bool(rng.integers(0, 2))
        want = walk_reference(bits, x, y, dx, dy, limit, light, specks)
        assert _engine._walk(bits, w, h, x, y, dx, dy, limit, light, specks) == want


@pytest.mark.parametrize("w", [1, 63, 64, 65, 130, 200])
def test_the_scan_takes_only_zero_one_images(w: int) -> None:
    # A stray level anywhere, in a row's sixty-four byte blocks or its tail, is refused.
    rng = np.random.default_rng(w)
    image = (rng.random((5, w)) < 0.5).astype(np.uint8)
    _engine._row_scan(image, w, 5, False)
    for level in (2, 128, 255):
        stray = image.copy()
        stray[int(rng.integers(0, 5)), int(rng.integers(0, w))] = level
        with pytest.raises(ValueError, match="0 and 1"):
            _engine._row_scan(stray, w, 5, False)
