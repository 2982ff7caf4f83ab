"""The grid stage: the homography against a NumPy solve, the sampler against a
module-by-module Python walk, the alignment search on planted patterns, the fitted
grid against the module centres a drifting printer drew."""

from __future__ import annotations

import math

import numpy as np
import pytest
import segno

from halvern import _engine

Point = tuple[float, float]


def solve_homography(src: np.ndarray, dst: np.ndarray) -> np.ndarray:
    """The 3x3 matrix (last entry 1) with dst ~ H @ (src, 1), from the 8x8 linear system."""
    rows, rhs = [], []
    for (x, y), (u, v) in zip(src, dst, strict=True):
        rows.append([x, y, 1, 0, 0, 0, -u * x, -u * y])
        rows.append([0, 0, 0, x, y, 1, -v * x, -v * y])
        rhs += [u, v]
    return np.append(np.linalg.solve(np.array(rows), np.array(rhs)), 1.0).reshape(3, 3)


def apply(h: np.ndarray | tuple[float, ...], p: Point) -> Point:
    m = np.asarray(h, dtype=np.float64).reshape(3, 3)
    x, y, w = m @ np.array([p[0], p[1], 1.0])
    return x / w, y / w


def random_quad(rng: np.random.Generator, spread: float) -> np.ndarray:
    base = np.array([[0, 0], [1, 0], [1, 1], [0, 1]], dtype=np.float64) * rng.uniform(20, 400)
    return base + rng.uniform(-spread, spread, (4, 2)) + rng.uniform(-50, 500, 2)


@pytest.mark.parametrize("seed", range(40))
def test_homography_matches_a_linear_solve(seed: int) -> None:
    rng = np.random.default_rng(seed)
    src, dst = random_quad(rng, 5.0), random_quad(rng, 60.0)
    native = _engine._homography(tuple(src.ravel()), tuple(dst.ravel()))
    assert native is not None
    assert np.allclose(np.reshape(native, (3, 3)), solve_homography(src, dst), rtol=1e-7, atol=1e-9)
    for s, d in zip(src, dst, strict=True):
        assert apply(native, tuple(s)) == pytest.approx(tuple(d), abs=1e-6)


@pytest.mark.parametrize(
    "dst",
    [(0, 0, 1, 1, 2, 2, 3, 3), (0, 0, 10, 0, 10, 0, 0, 10), (5, 5, 5, 5, 5, 5, 5, 5)],
    ids=["collinear", "repeated-corner", "one-point"],
)
def test_degenerate_quad_has_no_homography(dst: tuple[float, ...]) -> None:
    assert _engine._homography((0, 0, 1, 0, 1, 1, 0, 1), tuple(float(v) for v in dst)) is None


def sample_reference(bits: np.ndarray, h: tuple[float, ...], size: int, module: float) -> np.ndarray:
    """Each module's centre (and, from 3 px a module, four points a quarter module off it
    by a weighted vote in which the centre counts twice) looked up in the image."""
    height, width = bits.shape

    def dark(at: Point) -> int:
        m = np.asarray(h, dtype=np.float64).reshape(3, 3)
        x, y, w = m @ np.array([at[0], at[1], 1.0])
        if not w > 1e-12:
            return 0  # on or behind the horizon
        x, y = x / w, y / w
        if not (0 <= x < width and 0 <= y < height):
            return 0
        return int(bits[int(y), int(x)] != 0)

    out = np.zeros((size, size), dtype=np.uint8)
    for r in range(size):
        for c in range(size):
            x, y = c + 0.5, r + 0.5
            vote = dark((x, y))
            if module >= 3.0:
                vote = 2 * vote + sum(dark((x + dx, y + dy))
                                      for dy in (-0.25, 0.25) for dx in (-0.25, 0.25))
                vote = int(vote >= 3)
            out[r, c] = vote
    return out


@pytest.mark.parametrize("seed", range(10))
def test_sampling_matches_a_module_by_module_walk(seed: int) -> None:
    rng = np.random.default_rng(seed)
    bits = (rng.random((150, 170)) < 0.5).astype(np.uint8)
    size = int(rng.choice([21, 25, 33]))
    src = np.array([[0, 0], [size, 0], [size, size], [0, size]], dtype=np.float64)
    dst = random_quad(rng, 30.0) * 0.4 - 20  # may hang over the image's edges
    h = tuple(solve_homography(src, dst).ravel())
    module = float(rng.choice([1.5, 3.0, 5.0]))
    native = _engine._sample_grid(bits, 170, 150, h, size, module)
    assert np.array_equal(np.frombuffer(native, np.uint8).reshape(size, size),
                          sample_reference(bits, h, size, module))


def test_sampling_an_upright_grid_recovers_the_modules() -> None:
    rng = np.random.default_rng(4)
    modules = (rng.random((25, 25)) < 0.5).astype(np.uint8)
    image = np.pad(np.kron(modules, np.ones((4, 4), np.uint8)), 8)
    h = (4.0, 0.0, 8.0, 0.0, 4.0, 8.0, 0.0, 0.0, 1.0)
    got = _engine._sample_grid(image, image.shape[1], image.shape[0], h, 25, 4.0)
    assert np.frombuffer(got, np.uint8).reshape(25, 25).tolist() == modules.tolist()


ALIGNMENT = np.ones((5, 5), dtype=np.uint8)
ALIGNMENT[1:4, 1:4] = 0
ALIGNMENT[2, 2] = 1


@pytest.mark.parametrize(("module", "offset"), [(2, (3, -2)), (3, (0, 0)), (5, (-7, 6)), (8, (10, 4))])
def test_alignment_pattern_is_found_near_its_prediction(module: int, offset: tuple[int, int]) -> None:
    rng = np.random.default_rng(module)
    image = (rng.random((200, 200)) < 0.02).astype(np.uint8)  # sparse specks around it
    x, y = 80 + offset[0], 90 + offset[1]
    image[y - module : y + 6 * module, x - module : x + 6 * module] = 0  # light surround
    image[y : y + 5 * module, x : x + 5 * module] = np.kron(ALIGNMENT, np.ones((module, module), np.uint8))
    centre = (x + 2.5 * module, y + 2.5 * module)
    found = _engine._find_alignment(image, 200, 200, 80 + 2.5 * module, 90 + 2.5 * module,
                                    float(module), 6.0 * module)
    assert found is not None
    assert math.dist(found, centre) <= 0.5


def test_no_alignment_pattern_in_an_empty_window() -> None:
    image = np.zeros((100, 100), dtype=np.uint8)
    image[:, 50:] = 1
    assert _engine._find_alignment(image, 100, 100, 30.0, 30.0, 4.0, 20.0) is None


def alignment_reference(bits: np.ndarray, px: float, py: float, module: float,
                        radius: float) -> tuple[float, float] | None:
    """The whole window in raster order; the nearest pattern to (px, py), the first on a
    tie: the plain form of the native search, which goes outward from the prediction."""
    h, w = bits.shape

    def core_and_gap(x: int, y: int, dx: int, dy: int, limit: int) -> tuple[int, int] | None:
        core = gap = 0
        for _ in range(limit + 1):
            if not (0 <= x < w and 0 <= y < h):
                return None
            dark = bits[y, x] != 0
            if gap == 0 and dark:
                core += 1
            elif not dark:
                gap += 1
            else:
                return core, gap
            x, y = x + dx, y + dy
        return None

    def within(run: float) -> bool:
        return 0.4 * module <= run <= 1.8 * module

    def ring(x: int, y: int, dx: int, dy: int) -> float | None:
        limit = int(4 * module) + 2
        back, ahead = core_and_gap(x, y, -dx, -dy, limit), core_and_gap(x, y, dx, dy, limit)
        if back is None or ahead is None:
            return None
        if not (within(back[0] + ahead[0] - 1) and within(back[1]) and within(ahead[1])):
            return None
        return (ahead[0] - back[0]) / 2.0

    x0, x1 = int(max(px - radius, 0.0)), int(min(px + radius, float(w)))
    y0, y1 = int(max(py - radius, 0.0)), int(min(py + radius, float(h)))
    best, found = radius * radius, None
    for y in range(y0, y1):
        x = x0
        while x < x1:
            if bits[y, x] == 0:
                x += 1
                continue
            start = x
            while x < x1 and bits[y, x] != 0:
                x += 1
            if not within(x - start):
                continue
            cx = (start + x) // 2
            if ring(cx, y, 1, 0) is None or (dy_off := ring(cx, y, 0, 1)) is None:
                continue
            cy = y + 0.5 + dy_off
            if (dx_off := ring(cx, int(cy), 1, 0)) is None:
                continue
            p = (cx + 0.5 + dx_off, cy)
            d = (p[0] - px) * (p[0] - px) + (p[1] - py) * (p[1] - py)
            if d < best:
                best, found = d, p
    return found


@pytest.mark.parametrize("seed", range(40))
def test_alignment_search_finds_what_the_whole_window_holds(seed: int) -> None:
    # Several patterns (and specks) in the window, the prediction anywhere: the nearest
    # one wins, the first in raster order on a tie, whatever order the rows are searched.
    rng = np.random.default_rng([seed, 3])
    module = int(rng.integers(2, 7))
    image = (rng.random((120, 140)) < rng.choice([0.0, 0.03, 0.3])).astype(np.uint8)
    for _ in range(int(rng.integers(1, 6))):
        x, y = int(rng.integers(0, 140 - 5 * module)), int(rng.integers(0, 120 - 5 * module))
        image[y : y + 5 * module, x : x + 5 * module] = np.kron(ALIGNMENT, np.ones((module, module), np.uint8))
    px, py = float(rng.uniform(-10, 150)), float(rng.uniform(-10, 130))
    radius = float(rng.uniform(3, 80))
    # Searched with the drawn module or one misjudged by up to a third, not a whole
    # number of pixels: the runs' bounds fall between pixel counts.
    searched = module * float(rng.choice([1.0, rng.uniform(0.7, 1.35)]))
    image *= np.uint8(rng.choice([1, 128, 255]))  # any byte but 0 is dark
    got = _engine._find_alignment(image, 140, 120, px, py, searched, radius)
    assert got == alignment_reference(image, px, py, searched, radius)


@pytest.mark.parametrize(("px", "py", "radius"), [(50.0, -2.7, 3.0), (-2.7, 50.0, 3.0), (50.0, 122.5, 3.0),
                                                  (70.0, -1e12, 2e12), (1e300, 60.0, 5.0)])
def test_alignment_window_at_or_past_the_edge_reads_nothing_outside(px: float, py: float,
                                                                    radius: float) -> None:
    # Windows thinner than a pixel at an edge, and predictions far outside int's range:
    # nothing outside the image is read (the sanitizer build checks), the answer is the
    # whole window's.
    image = np.ones((120, 140), dtype=np.uint8)
    got = _engine._find_alignment(image, 140, 120, px, py, 3.0, radius)
    assert got == alignment_reference(image, px, py, 3.0, radius)


def printed_with_drift(version: int, ppm: int = 5, quiet: int = 4) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """A symbol whose module edges drift (0.4 module, a sine across it) and jitter (0.15
    either way) along both axes, as bits: (matrix, bits, true module centres n x n x 2)."""
    rng = np.random.default_rng(version)
    qr = segno.make_qr(f"fit {version}", version=version, error="m", boost_error=False)
    matrix = np.array(qr.matrix, dtype=np.uint8)
    n = matrix.shape[0]
    k = np.arange(n + 1, dtype=float)
    edges = [k + 0.4 * np.sin(np.pi * k / n) + rng.uniform(-0.15, 0.15, n + 1) for _ in range(2)]
    pixel = (np.arange((n + 2 * quiet) * ppm) + 0.5) / ppm - quiet
    col, row = (np.searchsorted(e, pixel) - 1 for e in edges)
    inside = ((row >= 0) & (row < n))[:, None] & ((col >= 0) & (col < n))[None, :]
    bits = np.where(inside, matrix[np.clip(row, 0, n - 1)][:, np.clip(col, 0, n - 1)], 0).astype(np.uint8)
    cx, cy = ((e[:-1] + e[1:]) / 2 for e in edges)
    return matrix, bits, (np.stack(np.meshgrid(cx, cy), -1) + quiet) * ppm


@pytest.mark.parametrize("version", [2, 10, 20])
def test_fitted_grid_follows_drifting_module_widths(version: int) -> None:
    # Started from the affine map through the three finder centres, the fitted grid
    # puts the module centres within a tenth or so of a module of where they are
    # drawn, and reads the matrix as drawn, where the start is a third of a module off
    # on average and misreads modules by the hundred from version 10.
    matrix, bits, truth = printed_with_drift(version)
    n, ppm = matrix.shape[0], 5
    a, b, c = truth[3, 3], truth[3, n - 4], truth[n - 4, 3]
    ex, ey = (b - a) / (n - 7), (c - a) / (n - 7)
    origin = a - 3.5 * ex - 3.5 * ey
    h = (ex[0], ey[0], origin[0], ex[1], ey[1], origin[1], 0.0, 0.0, 1.0)
    modules, points = _engine._fit_grid(bits, bits.shape[1], bits.shape[0], h, n)
    fitted = np.frombuffer(points).reshape(n, n, 2)
    start = np.stack(np.meshgrid(np.arange(n) + 0.5, np.arange(n) + 0.5), -1) @ np.array([ex, ey]) + origin
    off = np.hypot(*(fitted - truth).transpose(2, 0, 1)).mean() / ppm
    off_start = np.hypot(*(start - truth).transpose(2, 0, 1)).mean() / ppm
    assert off < 0.15 and off < 0.6 * off_start
    wrong = np.count_nonzero(np.frombuffer(modules, np.uint8).reshape(n, n) != matrix)
    assert wrong <= n * n // 100


def test_fitted_grid_refuses_a_grid_that_reads_no_format() -> None:
    noise = np.random.default_rng(1).integers(0, 2, (200, 200), dtype=np.uint8)
    assert _engine._fit_grid(noise, 200, 200, (6.0, 0, 10, 0, 6.0, 10, 0, 0, 1.0), 29) is None


@pytest.mark.parametrize("flipped, fits", [(3, True), (4, False)])
def test_fitted_grid_starts_only_where_both_format_copies_agree(flipped: int, fits: bool) -> None:
    # Noise reads one copy within a bit of some format word now and then; both copies
    # reading the same word is what a symbol shows. Up to three bits of the copy by the
    # top-right finder may be off; four refuse the fit.
    matrix = np.array(segno.make_qr("both copies", version=5, error="m").matrix, dtype=np.uint8)
    n, ppm, quiet = matrix.shape[0], 4, 4
    matrix[8, n - flipped:] ^= 1
    bits = np.kron(np.pad(matrix, quiet), np.ones((ppm, ppm), np.uint8))
    h = (float(ppm), 0.0, quiet * ppm, 0.0, float(ppm), quiet * ppm, 0.0, 0.0, 1.0)
    assert (_engine._fit_grid(bits, bits.shape[1], bits.shape[0], h, n) is not None) == fits


class PlainFit:
    """The fitted grid's knot moves and shifts as plain arithmetic: every module's five
    cost points taken through the whole map, every region summed in full."""

    def __init__(self, bits: np.ndarray, size: int, knots: np.ndarray, expected: np.ndarray) -> None:
        self.bits, self.size, self.knot = bits, size, knots.copy()
        self.n = knots.shape[0]
        self.step = size / (self.n - 1)
        self.expected = expected
        self.shift_u, self.shift_v = np.zeros(size), np.zeros(size)

    def axis(self, shift: np.ndarray, v: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        inside = (v >= 0) & (v < self.size)
        g = np.where(inside, v + shift[np.where(inside, v, 0).astype(int)], v) / self.step
        cell = np.clip(np.floor(g), 0.0, self.n - 2)
        return cell.astype(int), g - cell

    def dark(self, x: np.ndarray, y: np.ndarray) -> np.ndarray:
        (i, fx), (j, fy) = self.axis(self.shift_u, x), self.axis(self.shift_v, y)
        k, fx, fy = self.knot, fx[:, None], fy[:, None]
        top = k[j, i] + (k[j, i + 1] - k[j, i]) * fx
        bottom = k[j + 1, i] + (k[j + 1, i + 1] - k[j + 1, i]) * fx
        p = top + (bottom - top) * fy
        h, w = self.bits.shape
        inside = (p[:, 0] >= 0) & (p[:, 1] >= 0) & (p[:, 0] < w) & (p[:, 1] < h)
        px, py = (np.where(inside, p[:, a], 0).astype(int) for a in (0, 1))
        return inside & (self.bits[py, px] != 0)

    def cost(self, c0: int, c1: int, r0: int, r1: int) -> int:
        c0, r0, c1, r1 = max(c0, -1), max(r0, -1), min(c1, self.size + 1), min(r1, self.size + 1)
        if c0 >= c1 or r0 >= r1:
            return 0
        r, c = (a.ravel() for a in np.meshgrid(np.arange(r0, r1), np.arange(c0, c1), indexing="ij"))
        x, y, reach = c + 0.5, r + 0.5, 1.0 / 3.0
        dark = sum(self.dark(px, py).astype(int) for px, py in
                   ((x, y), (x - reach, y), (x + reach, y), (x, y - reach), (x, y + reach)))
        inside = (c >= 0) & (r >= 0) & (c < self.size) & (r < self.size)
        want = np.where(inside, self.expected[np.clip(r, 0, self.size - 1), np.clip(c, 0, self.size - 1)], 3)
        costs = np.select([want == 3, want == 2, want == 1], [dark, np.minimum(dark, 5 - dark), 2 * (5 - dark)], 2 * dark)
        return int(costs.sum())

    def move_knot(self, i: int, j: int, move: float) -> bool:
        s, n = self.step, self.n
        c0, c1 = math.floor((i - 1) * s) - 1, math.ceil((i + 1) * s) + 1
        r0, r1 = math.floor((j - 1) * s) - 1, math.ceil((j + 1) * s) + 1
        i0, i1, j0, j1 = max(i - 1, 0), min(i + 1, n - 1), max(j - 1, 0), min(j + 1, n - 1)
        ex = (self.knot[j, i1] - self.knot[j, i0]) * (1.0 / ((i1 - i0) * s))
        ey = (self.knot[j1, i] - self.knot[j0, i]) * (1.0 / ((j1 - j0) * s))
        start = self.knot[j, i].copy()
        best, best_at = self.cost(c0, c1, r0, r1), start
        for m in (ex * move, ex * -move, ey * move, ey * -move):
            self.knot[j, i] = start + m
            cost = self.cost(c0, c1, r0, r1)
            if cost < best:
                best, best_at = cost, self.knot[j, i].copy()
        self.knot[j, i] = best_at
        return bool((best_at != start).any())

    def fit_shifts(self, across: bool) -> None:
        shift = self.shift_u if across else self.shift_v
        def line(k: int) -> int:
            return self.cost(k, k + 1, 0, self.size) if across else self.cost(0, self.size, k, k + 1)
        for k in range(self.size):
            start = shift[k]
            best, best_at = line(k), start
            for step in range(-3, 4):
                s = start + 0.1 * step
                if step == 0 or abs(s) > 0.5:
                    continue
                shift[k] = s
                cost = line(k)
                if cost < best:
                    best, best_at = cost, s
            shift[k] = best_at

    def fit(self) -> None:
        for move in (0.5, 0.25, 0.125):
            for _ in range(2):
                moved = False
                for j in range(self.n):
                    for i in range(self.n):
                        moved = self.move_knot(i, j, move) or moved
                if not moved:
                    break
        for _ in range(2):
            self.fit_shifts(True)
            self.fit_shifts(False)


@pytest.mark.parametrize("version, ppm, hang, seed", [(1, 4, 0, 0), (2, 5, 0, 1), (4, 3, 0, 2), (1, 4, 12, 3)])
def test_fitted_searches_match_the_plain_fit(version: int, ppm: int, hang: int, seed: int) -> None:
    # A symbol drawn with jittered module edges, the lattice placed off by up to half a
    # module at every knot (`hang` pixels of it over the image's top-left edge), the
    # expected modules those of the drawing in a random half, data in the rest: the
    # fit's knots and shifts are the plain fit's to the last bit.
    rng = np.random.default_rng(seed)
    matrix = np.array(segno.make_qr("fit " * version, version=version, error="l").matrix, dtype=np.uint8)
    n = matrix.shape[0]
    edges = np.cumsum(rng.uniform(0.75, 1.25, n + 8)) * ppm
    col, row = (np.searchsorted(edges, np.arange(int(edges[-1])) + 0.5) - 4 for _ in range(2))
    inside = ((row >= 0) & (row < n))[:, None] & ((col >= 0) & (col < n))[None, :]
    bits = np.where(inside, matrix[np.clip(row, 0, n - 1)][:, np.clip(col, 0, n - 1)], 0).astype(np.uint8)
    if rng.random() < 0.5:
        bits ^= (rng.random(bits.shape) < 0.05).astype(np.uint8)
    bits = np.ascontiguousarray(bits[hang:, hang:])
    knots = min(max(2 + n // 6, 3), 16)
    at = np.arange(knots) * (n / (knots - 1))
    lattice = np.stack(np.meshgrid(at, at), -1) * ppm + edges[3] - hang
    lattice += rng.uniform(-0.5, 0.5, lattice.shape) * ppm
    expected = np.where(rng.random((n, n)) < 0.5, matrix, 2).astype(np.uint8)
    plain = PlainFit(bits, n, lattice, expected)
    plain.fit()
    got = _engine._fit_searches(bits, bits.shape[1], bits.shape[0], n, knots, lattice.tobytes(), expected.tobytes())
    fitted, shift_u, shift_v = (np.frombuffer(b) for b in got)
    assert np.array_equal(fitted.reshape(knots, knots, 2), plain.knot)
    assert np.array_equal(shift_u, plain.shift_u) and np.array_equal(shift_v, plain.shift_v)
    assert not np.array_equal(plain.knot, lattice) and (plain.shift_u != 0).any()
