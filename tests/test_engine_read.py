"""The whole read: symbols drawn through known transforms (perspective, any rotation,
mirrored, inverted, several per image, side by side) come back with their text, their
corners and their orientation; images without a code give nothing."""

from __future__ import annotations

import math

import numpy as np
import pytest
import segno

import halvern
from halvern import _engine

from benchmarks import scenes  # the repository root is on sys.path (conftest)
from tests._layout import format_positions

Point = tuple[float, float]




def symbol(text: str, version: int, error: str = "m") -> np.ndarray:
    qr = segno.make_qr(text, version=version, error=error, boost_error=False)
    return np.array(qr.matrix, dtype=np.uint8)


def homography(src: list[Point], dst: list[Point]) -> np.ndarray:
    rows, rhs = [], []
    for (x, y), (u, v) in zip(src, dst, strict=True):
        rows.append([x, y, 1, 0, 0, 0, -u * x, -u * y])
        rows.append([0, 0, 0, x, y, 1, -v * x, -v * y])
        rhs += [u, v]
    return np.append(np.linalg.solve(np.array(rows), np.array(rhs)), 1.0).reshape(3, 3)


def draw(canvas: np.ndarray, modules: np.ndarray, corners: list[Point]) -> None:
    """Draws ``modules`` (1 dark) into the 0/1 canvas so that the symbol's corners
    (top-left, top-right, bottom-right, bottom-left) land on ``corners``; each pixel takes
    the module under its centre. Dark pixels only: the canvas is the quiet zone."""
    n = modules.shape[0]
    to_module = np.linalg.inv(homography([(0, 0), (n, 0), (n, n), (0, n)], corners))
    h, w = canvas.shape
    ys, xs = np.mgrid[0:h, 0:w].astype(np.float64)
    u, v, z = np.tensordot(to_module, np.stack([xs + 0.5, ys + 0.5, np.ones_like(xs)]), axes=1)
    u, v = u / z, v / z
    inside = (u >= 0) & (u < n) & (v >= 0) & (v < n)
    canvas[inside] |= modules[v[inside].astype(int), u[inside].astype(int)]


def turned_corners(centre: Point, side: float, degrees: float) -> list[Point]:
    cos, sin = math.cos(math.radians(degrees)), math.sin(math.radians(degrees))
    half = side / 2
    return [(centre[0] + cos * x - sin * y, centre[1] + sin * x + cos * y)
            for x, y in ((-half, -half), (half, -half), (half, half), (-half, half))]


def assert_corners_near(found: tuple[Point, ...], expected: list[Point], tolerance: float) -> None:
    for got, want in zip(found, expected, strict=True):
        assert math.dist(got, want) <= tolerance, (found, expected)


# ---------------------------------------------------------------------------
# Geometry


@pytest.mark.parametrize("degrees", range(0, 360, 15))
def test_full_circle_of_rotation(degrees: int) -> None:
    modules = symbol(f"turned {degrees}", 3)
    corners = turned_corners((150.0, 150.0), 29 * 5.0, degrees)
    canvas = np.zeros((300, 300), dtype=np.uint8)
    draw(canvas, modules, corners)
    (code,) = halvern.read_all(canvas)
    assert code.text == f"turned {degrees}"
    assert not code.mirrored
    assert (code.orientation - degrees + 180) % 360 - 180 == pytest.approx(0, abs=2)
    assert_corners_near(code.position, corners, 5.0)
    assert code.module_size == pytest.approx(5.0, rel=0.1)
    assert np.array_equal(np.frombuffer(code.matrix.modules, np.uint8).reshape(29, 29), modules)


PERSPECTIVE = [
    # (version, corners of the symbol): a sheet seen from below, from a side, twisted.
    (2, [(60, 50), (230, 70), (250, 260), (40, 240)]),
    (4, [(50, 40), (260, 40), (230, 230), (80, 230)]),
    (7, [(40, 40), (300, 70), (300, 250), (40, 290)]),
    (10, [(50, 60), (310, 40), (330, 320), (30, 300)]),
    (1, [(40, 40), (200, 60), (190, 190), (50, 210)]),
]


@pytest.mark.parametrize(("version", "corners"), PERSPECTIVE)
def test_symbol_in_perspective(version: int, corners: list[Point]) -> None:
    modules = symbol(f"perspective {version}", version, "l")
    canvas = np.zeros((360, 360), dtype=np.uint8)
    draw(canvas, modules, corners)
    (code,) = halvern.read_all(canvas)
    assert code.text == f"perspective {version}"
    assert_corners_near(code.position, corners, 0.75 * code.module_size)
    assert np.array_equal(np.frombuffer(code.matrix.modules, np.uint8).reshape(modules.shape), modules)


@pytest.mark.parametrize("degrees", [0, 45, 100, 270])
def test_mirrored_symbol_reads_and_says_so(degrees: int) -> None:
    modules = symbol("mirror image", 2)
    canvas = np.zeros((240, 240), dtype=np.uint8)
    draw(canvas, modules.T, turned_corners((120.0, 120.0), 25 * 5.0, degrees))
    (code,) = halvern.read_all(canvas)
    assert (code.text, code.mirrored) == ("mirror image", True)
    assert np.array_equal(np.frombuffer(code.matrix.modules, np.uint8).reshape(25, 25), modules)


# ---------------------------------------------------------------------------
# Polarity, options, input


def gray_of(bits: np.ndarray, dark: int = 30, light: int = 220) -> np.ndarray:
    return np.where(bits != 0, dark, light).astype(np.uint8)


def test_light_on_dark_symbol_is_read_inverted() -> None:
    canvas = np.zeros((200, 200), dtype=np.uint8)
    draw(canvas, symbol("inverted", 2), turned_corners((100.0, 100.0), 100.0, 20))
    light_on_dark = gray_of(1 - canvas)
    (code,) = halvern.read_all(light_on_dark)
    assert (code.text, code.inverted) == ("inverted", True)
    assert halvern.read_all(light_on_dark, try_invert=False) == []
    assert halvern.read(gray_of(canvas)).inverted is False


@pytest.mark.parametrize("binarizer", ["auto", "local", "global", "none"])
def test_every_binarizer_reads_a_clean_symbol(binarizer: str) -> None:
    canvas = np.zeros((160, 160), dtype=np.uint8)
    draw(canvas, symbol("binarizers", 3), turned_corners((80.0, 80.0), 29 * 4.0, 10))
    image = canvas if binarizer == "none" else gray_of(canvas)
    code = halvern.read(image, binarizer=binarizer)  # type: ignore[arg-type]
    assert code is not None and code.text == "binarizers"


@pytest.mark.parametrize("binarizer", ["auto", "local", "global", "none"])
@pytest.mark.parametrize("crop", [False, True])
def test_a_zero_one_uint8_array_is_bits_for_every_binarizer(binarizer: str, crop: bool) -> None:
    # 1 is black in a 0/1 array: "auto" tells so in the native reader (in place, or
    # through its two levels for a crop), the others by the array's maximum.
    canvas = np.zeros((170, 180), dtype=np.uint8)
    draw(canvas, symbol("zero one", 2), turned_corners((90.0, 85.0), 25 * 4.0, 20))
    image = canvas[5:165, 7:175] if crop else canvas
    code = halvern.read(image, binarizer=binarizer)  # type: ignore[arg-type]
    assert code is not None and code.text == "zero one" and not code.inverted


# A 0/1 page (width 250: rows end in a stretch the scan takes byte by byte) whose symbol
# spans rows 40 to 200; the scan takes every other row above it and every row through
# its finders.
@pytest.mark.parametrize("height", [240, 241])
@pytest.mark.parametrize("where", [(0, 0), (1, 249), (2, 130), (60, 70), (61, 200), (-2, 5), (-1, 249)])
@pytest.mark.parametrize("value", [2, 255])
@pytest.mark.parametrize("try_harder", [True, False])
def test_a_byte_neither_0_nor_1_anywhere_makes_the_read_that_of_a_gray_image(
        height: int, where: tuple[int, int], value: int, try_harder: bool) -> None:
    # The bits test runs inside the row scan, on the rows it reads and those it skips; a
    # padded copy is never taken as bits and reads as any gray image does (its levels 0,
    # 1 and 2 or 255: the symbol, light on dark there, is read inverted).
    canvas = np.zeros((height, 250), dtype=np.uint8)
    draw(canvas, symbol("one byte", 2), [(45.0, 40.0), (205.0, 40.0), (205.0, 200.0), (45.0, 200.0)])
    clean = _engine.read(canvas, 250, height, 250, 0, True, True, 7, try_harder)
    canvas[where] = value
    padded = np.zeros((height, 256), dtype=np.uint8)
    padded[:, :250] = canvas
    records = _engine.read(canvas, 250, height, 250, 0, True, True, 7, try_harder)
    assert records == _engine.read(padded[:, :250], 250, height, 256, 0, True, True, 7, try_harder)
    assert records != clean


def test_unknown_binarizer_is_refused() -> None:
    with pytest.raises(ValueError, match="binarizer"):
        halvern.read(np.zeros((10, 10), np.uint8), binarizer="otsu")  # type: ignore[arg-type]


def test_a_slice_is_read_in_place_in_its_own_coordinates() -> None:
    canvas = np.zeros((300, 400), dtype=np.uint8)
    corners = turned_corners((250.0, 170.0), 25 * 4.0, 30)
    draw(canvas, symbol("sliced", 2), corners)
    gray = gray_of(canvas)
    view = gray[50:, 100:390]
    assert not view.flags.c_contiguous
    (code,) = halvern.read_all(view)
    assert code.text == "sliced"
    assert_corners_near(code.position, [(x - 100, y - 50) for x, y in corners], 4.0)


# ---------------------------------------------------------------------------
# Several symbols


def test_every_symbol_of_a_page_is_read_once() -> None:
    rng = np.random.default_rng(11)
    canvas = np.zeros((600, 600), dtype=np.uint8)
    texts = []
    for row in range(3):
        for col in range(3):
            text = f"code {row} {col}"
            version = int(rng.integers(1, 6))
            side = (17 + 4 * version) * float(rng.uniform(2.5, 4.0))
            centre = (col * 200 + 100 + rng.uniform(-10, 10), row * 200 + 100 + rng.uniform(-10, 10))
            draw(canvas, symbol(text, version), turned_corners(centre, side, float(rng.uniform(0, 360))))
            texts.append(text)
    assert sorted(c.text for c in halvern.read_all(canvas)) == sorted(texts)


@pytest.mark.parametrize("gap", [4, 8])
def test_symbols_side_by_side_with_touching_quiet_zones(gap: int) -> None:
    module = 3
    modules = [symbol(f"neighbour {i}", 2) for i in range(4)]
    side = 25 * module
    canvas = np.zeros((2 * side + (gap + 8) * module, 2 * side + (gap + 8) * module), dtype=np.uint8)
    for i, m in enumerate(modules):
        x = 4 * module + (i % 2) * (side + gap * module)
        y = 4 * module + (i // 2) * (side + gap * module)
        canvas[y : y + side, x : x + side] = np.kron(m, np.ones((module, module), np.uint8))
    assert sorted(c.text for c in halvern.read_all(canvas)) == [f"neighbour {i}" for i in range(4)]


def test_read_prefers_the_symbol_needing_fewest_corrections() -> None:
    canvas = np.zeros((200, 400), dtype=np.uint8)
    clean, damaged = symbol("clean", 2, "h"), symbol("damaged", 2, "h")
    damaged[10:14, 12:20] ^= 1  # a smudge over data modules
    draw(canvas, damaged, [(20, 40), (145, 40), (145, 165), (20, 165)])
    draw(canvas, clean, [(230, 40), (355, 40), (355, 165), (230, 165)])
    assert sorted(c.text for c in halvern.read_all(canvas)) == ["clean", "damaged"]
    code = halvern.read(canvas)
    assert code is not None and (code.text, code.corrected) == ("clean", 0)


# ---------------------------------------------------------------------------
# Nothing to read


def _glyphs(seed: int) -> np.ndarray:
    """Lines of small blocky glyphs, like printed text."""
    rng = np.random.default_rng(seed)
    image = np.zeros((300, 400), dtype=np.uint8)
    for top in range(10, 290, 18):
        x = 10
        while x < 380:
            w = int(rng.integers(4, 10))
            image[top : top + 12, x : x + w] = rng.random((12, w)) < 0.45
            x += w + int(rng.integers(2, 6))
    return image


@pytest.mark.parametrize(
    "image",
    [
        np.zeros((300, 300), dtype=np.uint8),
        np.random.default_rng(1).integers(0, 256, (300, 300)).astype(np.uint8),
        (np.random.default_rng(2).random((300, 300)) < 0.5).astype(np.uint8),
        _glyphs(3),
        np.kron(np.indices((75, 75)).sum(axis=0) % 2, np.ones((4, 4), np.uint8)).astype(np.uint8),
        np.tile(np.resize(np.repeat([1, 0, 1, 0, 1, 0], [3, 3, 9, 3, 3, 3]), 300), (300, 1)).astype(np.uint8),
    ],
    ids=["blank", "gray-noise", "bits-noise", "glyphs", "checkerboard", "finder-stripes"],
)
def test_no_code_gives_an_empty_list(image: np.ndarray) -> None:
    assert halvern.read_all(image) == []
    assert halvern.read(image) is None


# ---------------------------------------------------------------------------
# Camera-like scenes


@pytest.mark.parametrize(
    ("condition", "severity"),
    [("rotation", "45"), ("mirrored", "turned"), ("inverted", "on-dark"), ("multi", "4 touching"),
     ("salt-pepper", "5"), ("blur", "0.33"), ("gradient", "3:1"), ("none", "glyphs"),
     ("none", "checkerboard")],
)
def test_scenes_read_their_texts(condition: str, severity: str) -> None:
    for scene in scenes.scenes(condition, count=2, seed=7, severity=severity):
        found = sorted(c.text for c in halvern.read_all(scene.image))
        assert found == sorted(scene.texts), scene.name


@pytest.mark.parametrize(
    ("condition", "severity", "index", "seed"),
    [
        ("camera", "hard", 0, 0),  # a finder's thin light ring thresholded away on its middle row
        ("camera", "hard", 1, 0),  # version 35 measured as 33 under perspective: its version blocks tell
        ("tilt", "10", 4, 0),  # version 1 with its fourth corner estimated 0.6 module out
        ("shadow", "0.3", 1, 0),  # a code filling the frame with half of it in a hard shadow
        ("shadow", "0.5", 0, 20261209),  # a shadowed finder blackened by the lit blocks beside it
        ("camera", "hard", 2, 0),  # sensor noise in large dark modules, which must not be split
    ],
)
def test_scenes_that_once_failed_read(condition: str, severity: str, index: int, seed: int) -> None:
    scene = scenes.scene(condition, severity, index, seed=seed)
    assert [c.text for c in halvern.read_all(scene.image)] == list(scene.texts)


@pytest.mark.parametrize("scale", [2, 3])
def test_a_symbol_among_noise_reads_in_the_first_pass(scale: int) -> None:
    # Its rows are specky beside it, and scanned every other one: a finder of two pixels
    # a module still matches on enough of them.
    from halvern._trace import trace_read

    page = (np.random.default_rng(scale).random((400, 600)) < 0.5).astype(np.uint8)
    drawn = np.kron(np.pad(symbol("specky rows", 2, "m"), 4), np.ones((scale, scale), np.uint8))
    page[100 : 100 + drawn.shape[0], 150 : 150 + drawn.shape[1]] = drawn
    trace = trace_read(page)
    assert [(s.stage, s.outcome) for s in trace.symbols] == [("first", "decoded")]
    assert [c.text for c in trace.results] == ["specky rows"]


def test_the_denoised_pass_keeps_finders_that_match_on_many_rows() -> None:
    # Half-dark noise clumped by the 3x3 majority passes as finders on a few rows each;
    # a finder the majority mended matches on twice its module in pixels or more.
    from halvern._trace import trace_read

    denoised = [f for seed in range(2, 6)
                for f in trace_read((np.random.default_rng(seed).random((800, 800)) < 0.5).astype(np.uint8)).finders
                if f.stage == "denoised"]
    assert denoised and all(f.hits >= f.module_size for f in denoised)
    for index in (1, 3):  # 10% salt and pepper at four pixels a module
        scene = scenes.scene("salt-pepper", "10", index)
        trace = trace_read(scene.image)
        assert [s.stage for s in trace.symbols if s.outcome == "decoded"] == ["denoised"]
        assert [c.text for c in trace.results] == list(scene.texts)


# ---------------------------------------------------------------------------
# Located but not decoded


def test_a_symbol_beyond_repair_is_reported_with_its_reason_and_place() -> None:
    modules = symbol("smudged beyond repair", 3, "l")
    modules[9:20, 9:] ^= (np.random.default_rng(5).random((11, 20)) < 0.5).astype(np.uint8)
    corners = turned_corners((120.0, 120.0), 29 * 5.0, 30)
    canvas = np.zeros((240, 240), dtype=np.uint8)
    draw(canvas, modules, corners)
    assert halvern.read_all(canvas) == []
    (record,) = _engine.read(canvas, 240, 240, 240, 0, True, True)
    assert (record.decoded, record.reason, record.size) == (None, "too_many_errors", 29)
    assert_corners_near(record.position, corners, 5.0)
    assert np.array_equal(np.frombuffer(record.sampled, np.uint8).reshape(29, 29), modules)
    matrix = halvern.read_matrix(canvas)
    assert matrix is not None and (matrix.version, matrix.error_correction) == (3, "L")


@pytest.mark.parametrize("damage", [0.0, 0.5, 1.0])
def test_a_record_holds_what_the_matrix_steps_give_from_its_sampled_modules(damage: float) -> None:
    # A clean symbol, one beyond repair and one whose format copies are gone: the record's
    # restored modules, level, mask and finder score are those of restore, format_info
    # and the step API's score_finder on the modules it sampled.
    from halvern import _zeltra

    modules = symbol("records", 7, "q")
    rng = np.random.default_rng(7)
    modules[9:36, 9:36] ^= (rng.random((27, 27)) < damage / 2).astype(np.uint8)
    if damage == 1.0:  # both format copies a word 4 bits or more from every codeword
        word = _engine._format_words().index(-1)
        for copy in format_positions(45):
            for bit, (row, col) in enumerate(copy):
                modules[row, col] = (word >> bit) & 1
    canvas = np.zeros((300, 300), dtype=np.uint8)
    draw(canvas, modules, turned_corners((150.0, 150.0), 45 * 5.0, 20))
    (record,) = _engine.read(canvas, 300, 300, 300, 0, True, True)
    sampled, size = record.sampled, record.size
    if damage == 1.0:
        assert (record.reason, record.modules, record.level, record.score) == ("format", None, None, None)
        return
    level, mask, _ = _engine.format_info(sampled, size)
    assert record.modules == _engine.restore(sampled, size)
    assert (record.level, record.mask, record.version) == (level, mask, 7)
    assert record.score == _zeltra.score_finder(sampled, size)
    assert (record.reason is None) == (damage == 0.0)


@pytest.mark.parametrize("scale", [8, 20, 40])
def test_large_modules_under_uneven_light_and_sensor_noise(scale: int) -> None:
    # Noise alone spans 40 levels in a block: taken for contrast it turned the inside of
    # large modules and the quiet zone into salt and pepper.
    modules = np.pad(symbol("large modules", 2), 4)
    ink = np.kron(modules, np.ones((scale, scale), np.uint8))
    xs = np.arange(ink.shape[1])[None, :]
    light = np.where(ink != 0, 40.0, 210.0) * (0.6 + 0.4 * xs / ink.shape[1])
    noisy = light + np.random.default_rng(scale).normal(0, 8, ink.shape)
    image = np.clip(noisy, 0, 255).astype(np.uint8)
    assert [c.text for c in halvern.read_all(image)] == ["large modules"]


# Symbols that bend


def bent(modules: np.ndarray, ppm: float, arc_degrees: float) -> np.ndarray:
    """The symbol (1 dark, quiet zone included) wrapped round a cylinder whose axis runs
    along its columns, seen from afar: the quiet zone's width spans ``arc_degrees``, and
    columns crowd together towards both edges as the sine of their angle."""
    n = modules.shape[0]
    radius = n * ppm / math.radians(arc_degrees)
    side = int(n * ppm + 16)
    ys, xs = np.mgrid[0:side, 0:side].astype(np.float64)
    u = radius * np.arcsin(np.clip((xs + 0.5 - side / 2) / radius, -1.0, 1.0)) / ppm + n / 2
    v = (ys + 0.5 - side / 2) / ppm + n / 2
    inside = (u >= 0) & (u < n) & (v >= 0) & (v < n)
    canvas = np.zeros(ys.shape, np.uint8)
    canvas[inside] = modules[v[inside].astype(int), u[inside].astype(int)]
    return canvas


@pytest.mark.parametrize(("version", "ppm", "arc"), [(17, 4.0, 80.0), (22, 4.0, 60.0), (30, 3.0, 80.0),
                                                     (40, 3.0, 60.0)])
def test_symbol_wrapped_round_a_cylinder_is_followed_between_its_alignment_patterns(
        version: int, ppm: float, arc: float) -> None:
    # Each of these drifts off every single perspective transform through the finders and
    # an alignment pattern (none of them read with one), by up to a module at the edges.
    text = f"bent {version}"
    modules = np.pad(symbol(text, version, "l"), 4)
    assert [c.text for c in halvern.read_all(bent(modules, ppm, arc))] == [text]


@pytest.mark.parametrize(("scale", "sigma"), [(60, 25.0), (100, 25.0), (150, 8.0)])
def test_very_large_noisy_modules_are_read_shrunk_and_placed_in_the_callers_pixels(
        scale: int, sigma: float) -> None:
    # At full size the local threshold turns the inside of these modules into salt and
    # pepper (none of them read without the shrunk pass).
    modules = np.pad(symbol("large modules", 2), 4)
    ink = np.kron(modules, np.ones((scale, scale), np.uint8))
    xs = np.arange(ink.shape[1])[None, :]
    light = np.where(ink != 0, 40.0, 210.0) * (0.6 + 0.4 * xs / ink.shape[1])
    noisy = light + np.random.default_rng(scale).normal(0, sigma, ink.shape)
    (code,) = halvern.read_all(np.clip(noisy, 0, 255).astype(np.uint8))
    assert code.text == "large modules"
    assert code.module_size == pytest.approx(scale, rel=0.03)
    n = modules.shape[0] - 8
    assert_corners_near(code.position, [(4 * scale + x * n * scale, 4 * scale + y * n * scale)
                                        for x, y in ((0, 0), (1, 0), (1, 1), (0, 1))], scale / 4)
