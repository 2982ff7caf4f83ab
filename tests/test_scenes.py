"""The scene generator, and halvern's floor on the scenes it reads today.

The floor: a scene of each condition that halvern reads completely now (clean bilevel from
2 to 20 px/module, right-angle and small turns, mirrored, mild blur, noise, low contrast,
vignette, JPEG, sparse salt-and-pepper, a small code on a 12 MP page) and no output at all
on images without a symbol.
A rebuilt reader has to keep all of it. Deselect with -m "not scenes".
"""

from __future__ import annotations

import math
from typing import Any

import numpy as np
import pytest
import segno

import halvern
from benchmarks import scenes as sc

pytestmark = pytest.mark.scenes

SEED = 7

# (condition, severity) pairs read completely today: the regression floor.
# Each was read 18 out of 18 times (seeds 0, 1, 7; scenes 0-5) before the native reader.
FLOOR = [
    ("scale", "2"), ("scale", "3"), ("scale", "4"), ("scale", "6"), ("scale", "10"), ("scale", "20"),
    ("rotation", "right-angle"), ("rotation", "small"),
    ("mirrored", "upright"), ("mirrored", "turned"),
    ("blur", "0.1"), ("blur", "0.2"),
    ("noise", "8"), ("noise", "20"),
    ("contrast", "0.3"), ("contrast", "0.15"), ("contrast", "0.08"),
    ("vignette", "0.6"), ("vignette", "0.35"), ("gradient", "2:1"),
    ("jpeg", "90"), ("jpeg", "60"), ("jpeg", "30"),
    ("salt-pepper", "1"),
    ("page", "4"),
    ("closeup", "50"), ("closeup", "60"),
]


def halvern_texts(image: np.ndarray) -> list[str]:
    """Every text halvern returns: read_all once the reader has it, read until then."""
    read_all = getattr(halvern, "read_all", None)
    if read_all is not None:
        return [code.text for code in read_all(image)]
    code = halvern.read(image)
    return [] if code is None else [code.text]


# ---------------------------------------------------------------- geometry helpers


def homography_from_corners(quad: sc.Quad, n: int) -> np.ndarray:
    """The 3 x 3 map taking module corners (0,0), (n,0), (n,n), (0,n) to ``quad`` (DLT)."""
    src = [(0.0, 0.0), (n, 0.0), (n, n), (0.0, n)]
    rows, rhs = [], []
    for (u, v), (x, y) in zip(src, quad, strict=True):
        rows.append([u, v, 1, 0, 0, 0, -u * x, -v * x])
        rows.append([0, 0, 0, u, v, 1, -u * y, -v * y])
        rhs += [x, y]
    h = np.linalg.solve(np.array(rows, dtype=float), np.array(rhs, dtype=float))
    return np.append(h, 1.0).reshape(3, 3)


def sample_modules(image: np.ndarray, quad: sc.Quad, n: int) -> np.ndarray:
    """Dark (True) or light at every module centre, by the nearest pixel, thresholded half
    way between the symbol's dark and light levels."""
    h = homography_from_corners(quad, n)
    v, u = np.mgrid[0:n, 0:n] + 0.5
    w = h[2, 0] * u + h[2, 1] * v + h[2, 2]
    x = (h[0, 0] * u + h[0, 1] * v + h[0, 2]) / w
    y = (h[1, 0] * u + h[1, 1] * v + h[1, 2]) / w
    xi = np.clip(np.floor(x).astype(int), 0, image.shape[1] - 1)
    yi = np.clip(np.floor(y).astype(int), 0, image.shape[0] - 1)
    values = image[yi, xi]
    lo, hi = np.percentile(values, [5, 95])
    return values < (lo + hi) / 2


def decode_at_corners(scene: sc.Scene, index: int, inverted: bool = False,
                      mirrored: bool = False) -> str:
    n = 17 + 4 * scene.versions[index]
    dark = sample_modules(scene.image, scene.corners[index], n)
    if inverted:
        dark = ~dark
    if mirrored:
        dark = dark[:, ::-1]
    return halvern.decode_matrix(dark.astype(np.uint8).tobytes(), n).text


# ---------------------------------------------------------------- generator


@pytest.mark.parametrize("condition", [c for c in sc.conditions() if c != "page"])
def test_scene_is_a_function_of_its_seed(condition: str) -> None:
    severity = sc.severities(condition)[-1]
    if condition == "none":
        severity = "noise"  # a white page is the same for every seed
    first = sc.scene(condition, severity, 1, seed=SEED)
    again = sc.scene(condition, severity, 1, seed=SEED)
    other = sc.scene(condition, severity, 1, seed=SEED + 1)
    assert first.image.dtype == np.uint8 and first.image.ndim == 2
    assert np.array_equal(first.image, again.image) and first.texts == again.texts
    assert first.corners == again.corners
    assert first.image.shape != other.image.shape or not np.array_equal(first.image, other.image)


def test_scene_does_not_depend_on_what_was_drawn_before() -> None:
    alone = sc.scene("blur", "0.2", 3, seed=SEED)
    listed = [s for s in sc.scenes("blur", count=4, seed=SEED) if s.name == alone.name]
    assert len(listed) == 1
    assert np.array_equal(listed[0].image, alone.image) and listed[0].texts == alone.texts


@pytest.mark.parametrize(("condition", "severity", "index"), [
    ("scale", "2", 0), ("scale", "6", 1), ("scale", "20", 2),
    ("rotation", "45", 0), ("rotation", "any", 1),
    ("tilt", "40", 0), ("tilt", "40", 1), ("tilt", "20", 2),
    ("camera", "mild", 0),
    ("multi", "10", 0), ("multi", "4 touching", 0),
    ("jpeg", "90", 0),
])
def test_corners_locate_the_symbol_that_holds_the_text(condition: str, severity: str, index: int) -> None:
    # Sampling the module centres through the stated corners and decoding them, with no
    # finder search at all, gives back every text the scene claims.
    scene = sc.scene(condition, severity, index, seed=SEED)
    assert len(scene.texts) == len(scene.corners) == len(scene.versions) >= 1
    if condition == "multi":
        assert len(scene.texts) == int(severity.split()[0])
    height, width = scene.image.shape
    for i, text in enumerate(scene.texts):
        assert all(0 <= x <= width and 0 <= y <= height for x, y in scene.corners[i])
        assert decode_at_corners(scene, i) == text


@pytest.mark.parametrize(("condition", "severity"), [("inverted", "turned"), ("inverted", "on-dark"),
                                                      ("mirrored", "turned")])
def test_inverted_and_mirrored_symbols_are_drawn_so(condition: str, severity: str) -> None:
    scene = sc.scene(condition, severity, 0, seed=SEED)
    inverted, mirrored = condition == "inverted", condition == "mirrored"
    assert decode_at_corners(scene, 0, inverted, mirrored) == scene.texts[0]
    # Read the plain way, the flipped symbol does not decode.
    with pytest.raises(ValueError):
        decode_at_corners(scene, 0)


@pytest.mark.parametrize("axis", ["x", "y"])
@pytest.mark.parametrize("tilt", [10.0, 25.0, 40.0])
def test_tilt_foreshortens_as_a_pinhole_camera_does(axis: str, tilt: float) -> None:
    # A square of side s whose plane is tilted by t at distance f: the edges nearest and
    # farthest from the camera, at depths f -+ (s/2) sin t, are imaged in the ratio of
    # those depths, and both stay parallel to the axis of the tilt.
    n, ppm, focal = 25, 4.0, 2.5
    h = sc.symbol_homography(n, ppm, (300.0, 200.0), 0.0, tilt, axis, focal)
    u = np.array([0.0, n, n, 0.0])
    v = np.array([0.0, 0.0, n, n])
    w = h[2, 0] * u + h[2, 1] * v + h[2, 2]
    x = (h[0, 0] * u + h[0, 1] * v + h[0, 2]) / w
    y = (h[1, 0] * u + h[1, 1] * v + h[1, 2]) / w
    if axis == "x":
        first, second = abs(x[1] - x[0]), abs(x[2] - x[3])  # top and bottom edges
        assert y[0] == pytest.approx(y[1]) and y[2] == pytest.approx(y[3])
    else:
        first, second = abs(y[3] - y[0]), abs(y[2] - y[1])  # left and right edges
        assert x[0] == pytest.approx(x[3]) and x[1] == pytest.approx(x[2])
    half = 0.5 * math.sin(math.radians(tilt)) / focal
    assert max(first, second) / min(first, second) == pytest.approx((1 + half) / (1 - half), rel=1e-9)
    centre = (h @ np.array([n / 2, n / 2, 1.0]))
    assert centre[:2] / centre[2] == pytest.approx([300.0, 200.0])


@pytest.mark.parametrize("severity", ["2", "6", "20"])
def test_clean_upright_scenes_are_bilevel(severity: str) -> None:
    scene = sc.scene("scale", severity, 0, seed=SEED)
    assert set(np.unique(scene.image).tolist()) == {0, 255}


@pytest.mark.parametrize("severity", ["45", "any"])
def test_turned_symbols_have_grey_edges_and_keep_their_ink(severity: str) -> None:
    # Area averaging: a pixel cut by a module edge takes the share of ink it holds, so the
    # edges are grey and the image holds exactly the ink of the dark modules.
    scene = sc.scene("rotation", severity, 0, seed=SEED)
    image = scene.image
    grey = (image > 0) & (image < 255)
    assert 0.02 < grey.mean() < 0.6
    assert len(np.unique(image[grey])) >= 8
    n = 17 + 4 * scene.versions[0]
    (x0, y0), (x1, y1) = scene.corners[0][:2]
    ppm = math.hypot(x1 - x0, y1 - y0) / n
    dark_modules = int(sample_modules(image, scene.corners[0], n).sum())
    ink = float((255 - image.astype(np.float64)).sum() / 255)
    assert ink == pytest.approx(dark_modules * ppm * ppm, rel=0.01)


@pytest.mark.parametrize("mode", sc.MODES)
@pytest.mark.parametrize("version", [1, 9, 10, 27, 40])
def test_symbol_text_fills_the_version_it_asks_for(mode: str, version: int) -> None:
    # The capacity worked out for a version is what segno can store in it: a full text
    # fits, one more unit does not (the mode and count headers change at 10 and 27).
    rng = np.random.default_rng(version)
    level = sc.EC_LEVELS[version % 4]
    symbol = sc._make_symbol(rng, version, level, mode, fill=1.0)
    assert symbol.version == version and symbol.modules.shape == (17 + 4 * version,) * 2
    units = sc._capacity_units(sc._capacity_bits(version, level, mode), mode)
    encoded = symbol.text.encode("utf-8") if mode == "eci-utf8" else symbol.text
    if mode == "eci-utf8":
        assert units - 4 < len(encoded) <= units and any(ord(c) > 127 for c in symbol.text)
        extra = "x" * (units - len(encoded) + 1)
    else:
        assert len(encoded) == units
        extra = symbol.text[0]
    grown: Any = None
    try:
        grown = sc._encode(symbol.text + extra, version, level, mode)
    except segno.DataOverflowError:
        pass
    assert grown is None or grown.version != version
    modules = symbol.modules.astype(np.uint8).tobytes()
    assert halvern.decode_matrix(modules, 17 + 4 * version).text == symbol.text


def test_unknown_condition_and_severity_are_refused() -> None:
    with pytest.raises(ValueError, match="unknown condition"):
        sc.scene("fog", "1")
    with pytest.raises(ValueError, match="unknown severity"):
        sc.scene("blur", "3")


@pytest.mark.parametrize(("texts", "found", "read", "unexpected"), [
    (("a", "b"), ["b", "a"], 2, 0),
    (("a", "a"), ["a"], 1, 0),
    (("a",), ["a", "a"], 1, 1),
    (("a", "b"), ["c"], 0, 1),
    ((), ["a"], 0, 1),
    ((), [], 0, 0),
])
def test_score_matches_texts_as_multisets(texts: tuple[str, ...], found: list[str],
                                          read: int, unexpected: int) -> None:
    scene = sc.Scene("t", "none", "white", np.zeros((1, 1), np.uint8), texts)
    assert sc.score(scene, found) == sc.Score(read, unexpected)


# ---------------------------------------------------------------- halvern's floor


@pytest.mark.parametrize(("condition", "severity"), FLOOR)
def test_halvern_reads_what_it_read_before(condition: str, severity: str) -> None:
    scene = sc.scene(condition, severity, 0, seed=SEED)
    assert sorted(halvern_texts(scene.image)) == sorted(scene.texts)


# Closeups: far finders foreshortened 4:1 (two or three pixels a module across them),
# and triples whose sides in modules cannot tell the corner finder; none read before.
@pytest.mark.parametrize(("severity", "index"), [("50", 2), ("50", 7), ("70", 5), ("70", 6)])
def test_steep_closeups_are_read(severity: str, index: int) -> None:
    scene = sc.scene("closeup", severity, index, seed=0)
    assert sorted(halvern_texts(scene.image)) == sorted(scene.texts)


# Glowing light-on-dark displays whose finders the local threshold breaks into the
# screen's pixel texture: read through the global threshold's pass, none before it.
@pytest.mark.parametrize(("severity", "index"), [("qz", 1), ("qz", 4), ("2", 3)])
def test_glowing_displays_read_through_one_threshold(severity: str, index: int) -> None:
    scene = sc.scene("display", severity, index, seed=0)
    assert sorted(halvern_texts(scene.image)) == sorted(scene.texts)
    assert halvern.read_all(scene.image, binarizer="local") == []


@pytest.mark.parametrize("severity", sc.severities("none"))
def test_halvern_finds_nothing_where_there_is_no_symbol(severity: str) -> None:
    scene = sc.scene("none", severity, 0, seed=SEED)
    assert scene.texts == () and scene.corners == ()
    assert halvern_texts(scene.image) == []


# ---------------------------------------------------------------- the table's arithmetic


@pytest.mark.parametrize(("texts", "found", "expected"), [
    # (read, misses, wrong texts, false-positive images, errors)
    (("a", "b"), ["a", "b"], (2, 0, 0, 0, 0)),
    (("a", "b"), ["a", "x"], (1, 1, 1, 0, 0)),
    (("a", "b"), None, (0, 1, 0, 0, 1)),
    ((), ["x", "y"], (0, 0, 0, 1, 0)),
    ((), [], (0, 0, 0, 0, 0)),
])
def test_tally_tells_misses_wrong_texts_and_false_positives_apart(
        texts: tuple[str, ...], found: list[str] | None, expected: tuple[int, ...]) -> None:
    from benchmarks import accuracy

    scene = sc.Scene("c/s/0", "c", "s", np.zeros((1, 1), np.uint8), texts)
    tally = accuracy.Tally()
    tally.add(scene, found, 0.5)
    total = accuracy.Tally()
    total.merge(tally)
    total.merge(tally)
    assert (tally.read, len(tally.misses), tally.wrong_texts, tally.false_positive_images,
            tally.errors) == expected
    assert (total.symbols, total.read, total.images, total.seconds) == (
        2 * len(texts), 2 * expected[0], 2, 1.0)


# ---------------------------------------------------------------- the ways real codes fail


def dark_sides(image: np.ndarray) -> int:
    """How many of the image's four border lines hold a dark pixel."""
    lines = (image[0], image[-1], image[:, 0], image[:, -1])
    return sum(bool((line < 128).any()) for line in lines)


@pytest.mark.parametrize(("severity", "sides"), [("1px q0", 4), ("3px q0", 4), ("1px cut", 1),
                                                 ("2px cut", 1), ("1px q1", 0), ("3px q2", 0)])
def test_whole_symbols_reach_the_image_edge_where_the_quiet_zone_is_cut(severity: str, sides: int) -> None:
    scene = sc.scene("whole", severity, 2, seed=SEED)
    assert dark_sides(scene.image) == sides
    assert decode_at_corners(scene, 0) == scene.texts[0]


def quad_area(points: np.ndarray) -> float:
    x, y = points[:, 0], points[:, 1]
    return 0.5 * abs(float(np.dot(x, np.roll(y, -1)) - np.dot(y, np.roll(x, -1))))


def through(h: np.ndarray, u: np.ndarray, v: np.ndarray) -> np.ndarray:
    w = h[2, 0] * u + h[2, 1] * v + h[2, 2]
    return np.stack([(h[0, 0] * u + h[0, 1] * v + h[0, 2]) / w, (h[1, 0] * u + h[1, 1] * v + h[1, 2]) / w], 1)


@pytest.mark.parametrize("severity", sc.severities("closeup"))
def test_closeups_shrink_the_far_finder_and_cut_the_quiet_zone(severity: str) -> None:
    scene = sc.scene("closeup", severity, 1, seed=SEED)
    n = 17 + 4 * scene.versions[0]
    h = homography_from_corners(scene.corners[0], n)
    square = np.array([0.0, 7.0, 7.0, 0.0]), np.array([0.0, 0.0, 7.0, 7.0])
    areas = [quad_area(through(h, square[0] + du, square[1] + dv))
             for du, dv in ((0, 0), (n - 7, 0), (0, n - 7))]
    assert 1.5 < math.sqrt(max(areas) / min(areas)) <= 3.0 + 1e-6
    height, width = scene.image.shape
    inside = [0 <= x <= width and 0 <= y <= height for x, y in scene.corners[0]]
    ring = np.linspace(-sc.QUIET, n + sc.QUIET, 40)
    edge = through(h, np.concatenate([ring, ring, np.full(40, -4.0), np.full(40, n + 4.0)]),
                   np.concatenate([np.full(40, -4.0), np.full(40, n + 4.0), ring, ring]))
    cut = (edge[:, 0] < 0) | (edge[:, 0] > width) | (edge[:, 1] < 0) | (edge[:, 1] > height)
    assert all(inside) and cut.any()


@pytest.mark.parametrize("spread", [0.1, 0.3])
def test_printed_module_widths_are_jittered_and_drift(spread: float) -> None:
    n = 57
    edges = sc._jittered_edges(np.random.default_rng(int(spread * 10)), n, spread)
    widths = np.diff(edges)
    drift_slope = 2.0 * spread * 2 * math.pi / n
    assert edges[sc.QUIET] == 0.0 and edges[sc.QUIET + n] == n
    assert np.all(np.abs(widths - 1.0) <= spread + drift_slope)
    assert np.abs(widths - 1.0).max() > spread / 2
    assert np.abs(edges - np.arange(-sc.QUIET, n + sc.QUIET + 1)).max() > spread


@pytest.mark.parametrize("amplitude", [0.5, 2.0])
def test_warp_moves_modules_by_the_amplitude_and_inverts(amplitude: float) -> None:
    n = 17 + 4 * 9
    surface = sc._warp_surface(sc._wave_field(np.random.default_rng(5), n, amplitude))
    v, u = np.mgrid[0 : n : 33j, 0 : n : 33j]
    x, y = surface.forward(u, v)
    back = surface.inverse(x, y)
    assert np.allclose(back[0], u, atol=1e-6) and np.allclose(back[1], v, atol=1e-6)
    shown = surface.inverse(u, v)  # the module seen at each page point of the symbol
    assert np.hypot(shown[0] - u, shown[1] - v).max() == pytest.approx(amplitude, rel=1e-9)


@pytest.mark.parametrize("style", ["bullseye", "rounded"])
@pytest.mark.parametrize("diameter", [0.5, 0.9])
def test_dots_are_round_with_gaps_and_finders_are_designed(style: str, diameter: float) -> None:
    symbol = sc._make_symbol(np.random.default_rng(3), 5)
    n = symbol.modules.shape[0]
    marks = sc._dots(diameter, style, 1.5)(symbol.modules, sc._Look(0.0, 1.0))
    v, u = np.mgrid[0:n, 0:n].astype(np.float64)
    data = np.ones((n, n), dtype=bool)
    data[:8, :8] = data[:8, n - 8 :] = data[n - 8 :, :8] = False
    r = 0.49 * diameter / math.sqrt(2.0)
    assert np.array_equal(marks(u + 0.5 + r, v + 0.5 - r)[data] == 0, symbol.modules[data])
    assert np.all(marks(u + 0.5 + 0.51 * diameter, v + 0.5)[data & ~np.roll(symbol.modules, -1, 1)] == 1)
    assert np.all(marks(u, v)[data] == 1)  # the gaps where four modules meet
    for cu, cv in ((3.5, 3.5), (n - 3.5, 3.5), (3.5, n - 3.5)):
        ring, gap, corner = marks(np.array([cu, cu, cu - 3.4]), np.array([cv - 3.0, cv - 2.0, cv - 3.4]))
        assert (ring, gap, corner) == (0.0, 1.0, 1.0)


@pytest.mark.parametrize("severity", sc.severities("display"))
def test_display_bezel_hides_one_corner_and_no_finder(severity: str) -> None:
    n = 37
    cu, cv, radius = sc._bezel(np.random.default_rng(11), n, severity)
    v, u = np.mgrid[0:8, 0:8].astype(np.float64)
    for du, dv in ((0, 0), (n - 8, 0), (0, n - 8)):
        assert np.all(np.hypot(u + du - cu, v + dv - cv) <= radius)
    corners = np.array([(0, 0), (n, 0), (0, n), (n, n)], dtype=np.float64)
    outside = np.hypot(corners[:, 0] - cu, corners[:, 1] - cv) > radius
    if severity != "qz":
        depth = float(severity)
        rim = np.hypot(n - depth - cu, n - depth - cv)
        assert rim == pytest.approx(radius) and list(outside) == [False, False, False, True]
    else:
        assert not outside.any()


@pytest.mark.parametrize("severity", sc.severities("nested"))
def test_nested_symbol_lies_in_the_outer_data_area_and_both_read(severity: str) -> None:
    scene = sc.scene("nested", severity, 0, seed=SEED)
    assert len(scene.texts) == 2 and scene.versions[0] > scene.versions[1]
    n, m = (17 + 4 * version for version in scene.versions)
    to_outer = np.linalg.inv(homography_from_corners(scene.corners[0], n))
    grid = np.linspace(-sc.QUIET, m + sc.QUIET, 25)
    inner = through(homography_from_corners(scene.corners[1], m), *np.meshgrid(grid, grid))
    cells = np.floor(through(to_outer, inner[:, 0].ravel(), inner[:, 1].ravel())).astype(int)
    cu, cv = cells[:, 0], cells[:, 1]
    assert np.all((cu >= 0) & (cu < n) & (cv >= 0) & (cv < n) & (cu != 6) & (cv != 6))
    assert not np.any(((cu < 9) | (cu >= n - 8)) & (cv < 9)) and not np.any((cu < 9) & (cv >= n - 8))
    assert [decode_at_corners(scene, i) for i in (0, 1)] == list(scene.texts)
