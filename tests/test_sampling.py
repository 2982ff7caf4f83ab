"""sample_matrix_3x3 (box grid, nine-point vote), sample_matrix_affine (16.16 grid, window vote)."""

from __future__ import annotations

import math
import random
import threading
import time

import pytest

from halvern import _zeltra

BUFFER_KINDS = [bytes, bytearray, memoryview]
I64_MIN, I64_MAX = -(2**63), 2**63 - 1
I32_MIN, I32_MAX = -(2**31), 2**31 - 1
OFFSETS = (1.0 / 6.0, 0.5, 5.0 / 6.0)
INF, NAN = math.inf, math.nan


def random_bits(rng: random.Random, width: int, height: int, density: float = 0.5) -> bytes:
    return bytes(
        rng.choice((1, 128, 255)) if rng.random() < density else 0 for _ in range(width * height)
    )


def clamp(v: int, n: int) -> int:
    return n - 1 if v >= n else max(v, 0)


# ---------------------------------------------------------------- box grid with 3x3 voting


def ref_3x3(bits: bytes, width: int, height: int, box, size: int) -> bytes:
    left, top, right, bottom = box
    bw = float(right - left) if right - left > 0 else 1.0
    bh = float(bottom - top) if bottom - top > 0 else 1.0
    out = bytearray(size * size)
    for my in range(size):
        y0 = (my * bh) / size + top
        y1 = ((my + 1) * bh) / size + top
        for mx in range(size):
            x0 = (mx * bw) / size + left
            x1 = ((mx + 1) * bw) / size + left
            votes = 0
            for oy in OFFSETS:
                py = clamp(int((y1 - y0) * oy + y0), height)
                for ox in OFFSETS:
                    px = clamp(int((x1 - x0) * ox + x0), width)
                    votes += bits[py * width + px] != 0
            out[my * size + mx] = votes > 4
    return bytes(out)


@pytest.mark.parametrize("kind", BUFFER_KINDS)
def test_3x3_one_pixel_cells_give_the_image(kind):
    bits = random_bits(random.Random(1), 21, 21)
    got = _zeltra.sample_matrix_3x3(kind(bits), 21, 21, (0, 0, 21, 21), 21)
    assert got == bytes(b != 0 for b in bits)


def test_3x3_five_of_nine_vote():
    # 63x63, three pixels per module: cell (mx, my) holds (mx + my) % 10 black pixels, so every
    # count from 0 to 9 occurs; the module is dark from five on.
    px = bytearray(63 * 63)
    for my in range(21):
        for mx in range(21):
            cells = [(3 * mx + i % 3, 3 * my + i // 3) for i in range(9)]
            for x, y in cells[: (mx + my) % 10]:
                px[y * 63 + x] = 1
    got = _zeltra.sample_matrix_3x3(bytes(px), 63, 63, (0, 0, 63, 63), 21)
    assert got == bytes((mx + my) % 10 >= 5 for my in range(21) for mx in range(21))


def test_3x3_three_pixel_cells_vote_on_their_own_pixels():
    rng = random.Random(2)
    bits = random_bits(rng, 63, 63)
    got = _zeltra.sample_matrix_3x3(bits, 63, 63, (0, 0, 63, 63), 21)
    for my in range(21):
        for mx in range(21):
            black = sum(
                bits[(3 * my + j) * 63 + 3 * mx + i] != 0 for i in range(3) for j in range(3)
            )
            assert got[my * 21 + mx] == (black >= 5)


# Sample columns (and rows) of modules 0..5 for the box (0, 0, 25, 25) at size 21.
SAMPLES_25 = [(0, 0, 0), (1, 1, 2), (2, 2, 3), (3, 4, 4), (4, 5, 5), (6, 6, 6)]


@pytest.mark.parametrize("axis", ["columns", "rows"])
def test_3x3_sample_positions_in_25_pixel_box(axis):
    # Black lines at a set S of positions: a module is dark exactly when at least two of its
    # three sample lines lie in S (six of nine votes; one line gives only three).
    for s in [{c} for c in range(7)] + [{a, b} for a in range(7) for b in range(a + 1, 7)]:
        if axis == "columns":
            bits = bytes(int(x in s) for y in range(25) for x in range(25))
        else:
            bits = bytes(int(y in s) for y in range(25) for x in range(25))
        got = _zeltra.sample_matrix_3x3(bits, 25, 25, (0, 0, 25, 25), 21)
        for m, samples in enumerate(SAMPLES_25):
            expected = sum(p in s for p in samples) >= 2
            cell = got[m] if axis == "columns" else got[m * 21]
            assert cell == expected, (s, m)


@pytest.mark.parametrize("black", [0, 1])
def test_3x3_empty_box_reads_one_pixel(black):
    px = bytearray(random_bits(random.Random(3), 20, 20))
    px[10 * 20 + 10] = black
    got = _zeltra.sample_matrix_3x3(bytes(px), 20, 20, (10, 10, 10, 10), 7)
    assert got == bytes([black]) * 49


@pytest.mark.parametrize("black", [0, 1])
def test_3x3_box_past_the_image_reads_clamped_corner(black):
    px = bytearray(random_bits(random.Random(4), 20, 20))
    px[19 * 20 + 19] = black
    bits = bytes(px)
    got = _zeltra.sample_matrix_3x3(bits, 20, 20, (15, 15, 30, 30), 5)
    assert got[4 * 5 + 4] == black
    assert got == ref_3x3(bits, 20, 20, (15, 15, 30, 30), 5)


@pytest.mark.parametrize("seed", range(4))
def test_3x3_matches_reference(seed):
    rng = random.Random(100 + seed)
    for _ in range(60):
        width, height = rng.randint(1, 45), rng.randint(1, 45)
        bits = random_bits(rng, width, height, rng.random())
        left, right = rng.randint(-15, width + 5), rng.randint(-5, width + 15)
        top, bottom = rng.randint(-15, height + 5), rng.randint(-5, height + 15)
        if rng.random() < 0.5:  # mostly inside and well-formed
            left, right = sorted((rng.randint(0, width), rng.randint(0, width)))
            top, bottom = sorted((rng.randint(0, height), rng.randint(0, height)))
        box, size = (left, top, right, bottom), rng.randint(0, 30)
        assert _zeltra.sample_matrix_3x3(bits, width, height, box, size) == ref_3x3(
            bits, width, height, box, size
        ), (width, height, box, size)


@pytest.mark.parametrize(
    "box",
    [(I32_MIN, I32_MIN, I32_MAX, I32_MAX), (I32_MAX, 0, I32_MIN, 9), (-(2**30), 3, 2**30 + 5, 2)],
)
def test_3x3_extreme_box_sides_do_not_overflow(box):
    bits = random_bits(random.Random(5), 13, 9)
    assert _zeltra.sample_matrix_3x3(bits, 13, 9, box, 21) == ref_3x3(bits, 13, 9, box, 21)


def test_3x3_size_zero_is_empty():
    assert _zeltra.sample_matrix_3x3(bytes(4), 2, 2, (0, 0, 2, 2), 0) == b""


@pytest.mark.parametrize(
    ("bits", "width", "height", "size", "message"),
    [
        (bytes(99), 10, 10, 5, "Bits length mismatch."),
        (bytes(101), 10, 10, 5, "Bits length mismatch."),
        (b"", 0, 10, 5, "Bits length mismatch."),
        (b"", 10, 0, 5, "Bits length mismatch."),
        (bytes(6), -2, -3, 5, "Bits length mismatch."),
        (b"", 65536, 65536, 5, "Bits length mismatch."),
        (bytes(99), 10, 10, -1, "Bits length mismatch."),  # the image is checked first
        (b"", 0, 0, 46341, "Bits length mismatch."),
        (bytes(100), 10, 10, -1, "QR size must not be negative."),
        (bytes(100), 10, 10, I32_MIN, "QR size must not be negative."),
        (bytes(100), 10, 10, 46341, "QR size is too large."),
        (bytes(100), 10, 10, I32_MAX, "QR size is too large."),
    ],
)
def test_3x3_errors(bits, width, height, size, message):
    buf = bytearray(bits)
    with pytest.raises(ValueError) as err:
        _zeltra.sample_matrix_3x3(buf, width, height, (0, 0, 10, 10), size)
    assert str(err.value) == message
    buf.append(0)  # the export was released


@pytest.mark.parametrize(
    "args",
    [
        ("x" * 4, 2, 2, (0, 0, 2, 2), 8),
        (bytes(4), 2, 2, (0, 0, 2), 8),
        (bytes(4), 2, 2, (0, 0, 2, 2), 8.0),
    ],
)
def test_3x3_bad_arguments(args):
    with pytest.raises(TypeError):
        _zeltra.sample_matrix_3x3(*args)


# ---------------------------------------------------------------- affine grid with window vote


def sat(v: int, lo: int = I64_MIN, hi: int = I64_MAX) -> int:
    return min(max(v, lo), hi)


def trunc64(d: float) -> int:
    if math.isnan(d):
        return 0
    if d >= 2.0**63:
        return I64_MAX
    if d < -(2.0**63):
        return I64_MIN
    return int(d)


def affine_centres(size, tlx_d, tly_d, hx_d, hy_d, vx_d, vy_d, step=None):
    """Rounded sampling pixel (cx, cy) of every module, row-major, in 16.16 fixed point."""
    d = size - 7.0
    if step is None:
        step = trunc64((1.0 / d) * 65536.0)
    k = 3.5 / d
    tlx = trunc64((tlx_d - hx_d * k - vx_d * k) * 65536.0)
    tly = trunc64((tly_d - hy_d * k - vy_d * k) * 65536.0)
    hx, hy, vx, vy = (trunc64(c * 65536.0) for c in (hx_d, hy_d, vx_d, vy_d))
    centres = []
    for y in range(size):
        # Products are formed whole and shifted once; >> on Python ints floors like an
        # arithmetic shift. Saturation stands in for the 64-bit range limit.
        line_x = sat(tlx + (sat(y * vx * step) >> 16))
        line_y = sat(tly + (sat(y * vy * step) >> 16))
        for x in range(size):
            cur_fx = sat(line_x + (sat(x * hx * step) >> 16))
            cur_fy = sat(line_y + (sat(x * hy * step) >> 16))
            cx = sat(sat(cur_fx + 32768) >> 16, I32_MIN, I32_MAX)
            cy = sat(sat(cur_fy + 32768) >> 16, I32_MIN, I32_MAX)
            centres.append((cx, cy))
    return centres


def ref_affine(bits, width, height, size, tlx_d, tly_d, hx_d, hy_d, vx_d, vy_d, window, step=None):
    radius = window >> 1
    out = bytearray()
    for cx, cy in affine_centres(size, tlx_d, tly_d, hx_d, hy_d, vx_d, vy_d, step):
        black = 0
        for yy in range(cy - radius, cy + radius + 1):
            row = clamp(yy, height) * width
            for xx in range(cx - radius, cx + radius + 1):
                black += bits[row + clamp(xx, width)] != 0
        out.append(2 * black >= window * window)
    return bytes(out)


def clamped_counts(c: int, radius: int, n: int) -> list[int]:
    """How many of the positions c - radius .. c + radius clamp to each pixel 0 .. n - 1."""
    lo, hi = c - radius, c + radius
    # Pixel 0 takes every position up to 0, pixel n - 1 every position from n - 1 on.
    return [
        max(0, (hi if p == n - 1 else min(hi, p)) - (lo if p == 0 else max(lo, p)) + 1)
        for p in range(n)
    ]


def affine(bits, width, height, size, tl, h, v, window=1):
    return _zeltra.sample_matrix_affine(bits, width, height, size, *tl, *h, *v, window)


@pytest.mark.parametrize("kind", BUFFER_KINDS)
def test_affine_identity_grid(kind):
    bits = random_bits(random.Random(6), 21, 21)
    got = affine(kind(bits), 21, 21, 21, (3.5, 3.5), (14.0, 0.0), (0.0, 14.0))
    assert got == bytes(b != 0 for b in bits)


def test_affine_210_pixel_grid_samples_every_tenth_pixel():
    bits = random_bits(random.Random(7), 210, 210)
    got = affine(bits, 210, 210, 21, (35.0, 35.0), (140.0, 0.0), (0.0, 140.0))
    assert got == bytes(bits[10 * y * 210 + 10 * x] != 0 for y in range(21) for x in range(21))


@pytest.mark.parametrize(
    ("position", "pixel"),
    [(0.5, 1), (1.5, 2), (2.5, 3), (2.5 - 2.0**-16, 2), (3.0, 3), (3.5 - 2.0**-16, 3), (3.5, 4)],
)
def test_affine_halves_round_up(position, pixel):
    # size 8, unit vectors: module (0, 0) sits 3.5 pitches back from the centre, at `position`.
    bits = bytes(int(x == pixel) for x in range(8))
    got = affine(bits, 8, 1, 8, (position + 3.5, 0.0), (1.0, 0.0), (0.0, 1.0))
    assert got[:2] == bytes([1, 0])


@pytest.mark.parametrize(("centre", "pixel"), [((4.0, 4.0), (1, 1)), ((3.0, 3.0), (0, 0))])
def test_affine_worked_rounding(centre, pixel):
    bits = bytes(int((x, y) == pixel) for y in range(8) for x in range(8))
    assert affine(bits, 8, 8, 8, centre, (1.0, 0.0), (0.0, 1.0))[0] == 1


@pytest.mark.parametrize(
    ("black", "dark"), [({(0, 0)}, 0), ({(0, 0), (1, 0)}, 1), ({(0, 0), (0, 1)}, 1)]
)
def test_affine_window_counts_clamped_positions(black, dark):
    # Window 3 on pixel (0, 0): (0, 0) counts four times, (1, 0) and (0, 1) twice, (1, 1) once.
    bits = bytes(int((x, y) in black) for y in range(8) for x in range(8))
    got = affine(bits, 8, 8, 8, (3.5, 3.5), (1.0, 0.0), (0.0, 1.0), window=3)
    assert got[0] == dark


@pytest.mark.parametrize(
    ("size", "step"), [(8, 65536), (9, 32768), (21, 4681), (25, 3640), (177, 385)]
)
def test_affine_step_is_truncated(size, step):
    # A row vector of about 2**17 pixels magnifies the step: one unit more or less in it moves
    # the last modules by a pixel or two.
    pitch = 2.0**17 / size
    hx_d = pitch * (size - 7)
    tl = (pitch * 3.5 + 0.25, 0.0)
    expected = {cx for cx, _ in affine_centres(size, *tl, hx_d, 0.0, 0.0, 0.0, step)}
    for wrong in (step - 1, step + 1):  # a wrong step lands on a white pixel somewhere
        assert (
            not {cx for cx, _ in affine_centres(size, *tl, hx_d, 0.0, 0.0, 0.0, wrong)} <= expected
        )
    width = max(expected) + 2
    bits = bytes(int(x in expected) for x in range(width))
    got = affine(bits, width, 1, size, tl, (hx_d, 0.0), (0.0, 0.0))
    assert got == bytes([1]) * (size * size)


@pytest.mark.parametrize(
    ("tl", "h", "v", "row"),
    [
        # hx = -1/65536 px: x * hx * step = -4681 x, which floors to -1 or -2; truncating toward
        # zero would keep modules 1..14 on pixel 1.
        ((0.5, 0.0), (-(2.0**-16), 0.0), (0.0, 0.0), [1] + [0] * 20),
        # hx = +1/65536 px: the whole product reaches one unit from x = 15 on; shifting
        # hx * step alone (0) before multiplying by x would never move.
        ((32767.5 / 65536, 0.0), (2.0**-16, 0.0), (0.0, 0.0), [0] * 15 + [1] * 6),
    ],
)
def test_affine_products_shift_once_and_floor(tl, h, v, row):
    bits = bytes([0, 1])
    assert affine(bits, 2, 1, 21, tl, h, v) == bytes(row) * 21
    # The same along the column vector: rows take the pattern.
    got = affine(bits, 2, 1, 21, tl, (0.0, 0.0), h)
    assert got == bytes(b for b in row for _ in range(21))


def test_affine_zero_vectors_read_one_pixel():
    bits = random_bits(random.Random(8), 30, 20)
    got = affine(bits, 30, 20, 25, (12.25, 7.75), (0.0, 0.0), (0.0, 0.0))
    assert got == bytes([bits[8 * 30 + 12] != 0]) * 625


def test_affine_far_outside_point_reads_the_edge():
    bits = random_bits(random.Random(9), 21, 21)
    got = affine(bits, 21, 21, 21, (1e6, 3.5), (14.0, 0.0), (0.0, 14.0))
    assert got == bytes(bits[y * 21 + 20] != 0 for y in range(21) for _ in range(21))
    got = affine(bits, 21, 21, 21, (3.5, -1e6), (14.0, 0.0), (0.0, 14.0), window=5)
    assert got == ref_affine(bits, 21, 21, 21, 3.5, -1e6, 14.0, 0.0, 0.0, 14.0, 5)


def random_grid(rng: random.Random, width: int, height: int, size: int):
    if rng.random() < 0.6:  # a rotated, sheared grid over the image
        pitch = rng.uniform(0.3, 3.0) * max(width, height) / size
        angle = rng.uniform(-math.pi, math.pi)
        shear = rng.uniform(-0.3, 0.3)
        span = pitch * (size - 7)
        h = (span * math.cos(angle), span * math.sin(angle))
        v = (-span * math.sin(angle + shear), span * math.cos(angle + shear))
        tl = (rng.uniform(-0.2, 1.2) * width, rng.uniform(-0.2, 1.2) * height)
    else:  # anywhere, mostly off the image
        scale = 4.0 * max(width, height)
        tl = (rng.uniform(-scale, scale), rng.uniform(-scale, scale))
        h = (rng.uniform(-scale, scale), rng.uniform(-scale, scale))
        v = (rng.uniform(-scale, scale), rng.uniform(-scale, scale))
    return tl, h, v


@pytest.mark.parametrize("seed", range(4))
def test_affine_matches_reference(seed):
    rng = random.Random(200 + seed)
    for _ in range(25):
        width, height = rng.randint(1, 60), rng.randint(1, 60)
        bits = random_bits(rng, width, height, rng.uniform(0.2, 0.8))
        size = rng.randint(8, 30)
        window = rng.choice((1, 1, 3, 5, 7))
        tl, h, v = random_grid(rng, width, height, size)
        got = affine(bits, width, height, size, tl, h, v, window)
        expected = ref_affine(bits, width, height, size, *tl, *h, *v, window)
        assert got == expected, (width, height, size, tl, h, v, window)


EXTREMES = [NAN, INF, -INF, 1e300, -1e300, -0.0, 1.4e14, -1.4e14, 3e9, -3e9, 2.0**47, 5e18]


@pytest.mark.parametrize("value", EXTREMES)
@pytest.mark.parametrize("slot", range(6))
def test_affine_extreme_inputs_saturate(value, slot):
    args = [3.5, 3.5, 14.0, 0.0, 0.0, 14.0]
    args[slot] = value
    bits = random_bits(random.Random(10), 21, 21)
    for window in (1, 3):
        got = _zeltra.sample_matrix_affine(bits, 21, 21, 21, *args, window)
        assert len(got) == 441 and set(got) <= {0, 1}
        assert got == ref_affine(bits, 21, 21, 21, *args, window)


def test_affine_mixed_extreme_inputs_match_reference():
    rng = random.Random(13)
    bits = random_bits(rng, 17, 23)
    for _ in range(60):
        args = [rng.choice(EXTREMES + [rng.uniform(-40.0, 40.0)] * 4) for _ in range(6)]
        window = rng.choice((1, 3))
        got = _zeltra.sample_matrix_affine(bits, 17, 23, 21, *args, window)
        assert got == ref_affine(bits, 17, 23, 21, *args, window), (args, window)


@pytest.mark.parametrize(
    ("tl", "column"), [((INF, 10.0), 20), ((1e300, 10.0), 20), ((-INF, 10.0), 0), ((NAN, 10.0), 0)]
)
@pytest.mark.parametrize("window", [1, 3, 2**31 - 1])
def test_affine_saturated_point_reads_the_clamped_edge(tl, column, window):
    # Zero vectors: every module is sampled at the saturated (or, for NaN, zero) origin, and
    # every window position there clamps onto the edge column.
    line = bytes(int(x == column) for y in range(21) for x in range(21))
    assert affine(line, 21, 21, 8, tl, (0.0, 0.0), (0.0, 0.0), window) == bytes([1]) * 64
    rest = bytes(1 - b for b in line)
    assert affine(rest, 21, 21, 8, tl, (0.0, 0.0), (0.0, 0.0), window) == bytes(64)


def test_affine_huge_window_counts_clamped_positions():
    # A window near the 32-bit limit over a tiny image: each pixel counts as many times as window
    # positions clamp onto it, so the corner pixels carry almost the whole vote.
    rng = random.Random(11)
    for _ in range(6):
        width, height = rng.randint(1, 5), rng.randint(1, 5)
        bits = random_bits(rng, width, height)
        window = rng.choice((2**31 - 1, 2**31 - 3, 2**30 + 1, 99999))
        tl, h, v = (rng.uniform(-3, 8), rng.uniform(-3, 8)), (rng.uniform(-9, 9), 1.0), (0.5, 9.0)
        got = affine(bits, width, height, 8, tl, h, v, window)
        expected = bytearray()
        for cx, cy in affine_centres(8, *tl, *h, *v):
            xs = clamped_counts(cx, window >> 1, width)
            ys = clamped_counts(cy, window >> 1, height)
            black = sum(
                ys[y] * xs[x] for y in range(height) for x in range(width) if bits[y * width + x]
            )
            expected.append(2 * black >= window * window)
        assert got == bytes(expected), (width, height, tl, h, v, window)


def test_affine_releases_the_lock_while_sampling():
    bits = random_bits(random.Random(12), 512, 512)
    # Widen the window until one call lasts long enough to watch another thread during it.
    for window in (61, 121, 241, 481, 961):
        args = (bits, 512, 512, 160, (3.5, 3.5), (500.0, 30.0), (-30.0, 500.0), window)
        start = time.perf_counter()
        affine(*args)
        if time.perf_counter() - start > 0.15:
            break
    else:
        pytest.skip("sampling is too quick to observe other threads")
    count = 0
    stop = threading.Event()

    def counter():
        nonlocal count
        while not stop.is_set():
            count += 1

    thread = threading.Thread(target=counter)
    thread.start()
    try:
        time.sleep(0.05)
        before = count
        start = time.perf_counter()
        affine(*args)
        elapsed = time.perf_counter() - start
        during = count - before
        time.sleep(0.1)
        after_rate = (count - before - during) / 0.1
    finally:
        stop.set()
        thread.join()
    # Holding the lock would leave the counter about one switch interval (5 ms) of progress.
    assert during > 0.1 * after_rate * elapsed, (during, after_rate, elapsed)


@pytest.mark.parametrize(
    ("bits", "width", "height", "size", "window", "message"),
    [
        (bytes(99), 10, 10, 8, 1, "Bits length mismatch."),
        (bytes(101), 10, 10, 8, 1, "Bits length mismatch."),
        (b"", 0, 10, 8, 1, "Bits length mismatch."),
        (b"", 10, 0, 8, 1, "Bits length mismatch."),
        (bytes(6), -2, -3, 8, 1, "Bits length mismatch."),
        (b"", 65536, 65536, 8, 1, "Bits length mismatch."),
        (bytes(100), 10, 10, 0, 1, "Bits length mismatch."),
        (bytes(100), 10, 10, -5, 4, "Bits length mismatch."),
        (bytes(99), 10, 10, 5, 4, "Bits length mismatch."),
        (bytes(100), 10, 10, 7, 1, "QR size must be > 7."),
        (bytes(100), 10, 10, 5, 4, "QR size must be > 7."),
        (bytes(100), 10, 10, 8, 0, "window must be a positive odd integer."),
        (bytes(100), 10, 10, 8, -3, "window must be a positive odd integer."),
        (bytes(100), 10, 10, 8, 4, "window must be a positive odd integer."),
        (bytes(100), 10, 10, 8, I32_MIN, "window must be a positive odd integer."),
        (bytes(100), 10, 10, 46341, 4, "window must be a positive odd integer."),
        (bytes(100), 10, 10, 46341, 1, "QR size is too large."),
        (bytes(100), 10, 10, I32_MAX, 3, "QR size is too large."),
    ],
)
def test_affine_errors(bits, width, height, size, window, message):
    buf = bytearray(bits)
    with pytest.raises(ValueError) as err:
        _zeltra.sample_matrix_affine(buf, width, height, size, 4.0, 4.0, 1.0, 0.0, 0.0, 1.0, window)
    assert str(err.value) == message
    buf.append(0)  # the export was released


def test_affine_size_8_is_accepted():
    assert len(affine(bytes(100), 10, 10, 8, (4.0, 4.0), (1.0, 0.0), (0.0, 1.0))) == 64


@pytest.mark.parametrize(
    "args",
    [
        ("x" * 100, 10, 10, 8, 4.0, 4.0, 1.0, 0.0, 0.0, 1.0, 1),
        (bytes(100), 10, 10, 8.0, 4.0, 4.0, 1.0, 0.0, 0.0, 1.0, 1),
        (bytes(100), 10, 10, 8, 4.0, 4.0, 1.0, 0.0, 0.0, 1.0),
        (bytes(100), 10, 10, 8, "4", 4.0, 1.0, 0.0, 0.0, 1.0, 1),
    ],
)
def test_affine_bad_arguments(args):
    with pytest.raises(TypeError):
        _zeltra.sample_matrix_affine(*args)


def _grid_limits(size: int) -> tuple[float, float]:
    """Vector and origin sizes in pixels where the sampler's 64-bit sums could first
    overflow: around them it changes from running sums to saturating products."""
    step = int((1.0 / (size - 7.0)) * 65536.0)
    return (2.0**62 / (size * step)) / 65536.0, 2.0**61 / 65536.0


@pytest.mark.parametrize("size", [9, 33])
@pytest.mark.parametrize("factor", [0.999999, 1.0, 1.000001])
@pytest.mark.parametrize("slot", range(6))
def test_affine_matches_reference_where_sums_would_overflow(size, factor, slot):
    vector, origin = _grid_limits(size)
    args = [3.5, 3.5, 14.0, 0.0, 0.0, 14.0]
    args[slot] = (origin if slot < 2 else vector) * factor * (-1 if slot % 2 else 1)
    bits = random_bits(random.Random(size + slot), 13, 11)
    for window in (1, 3):
        got = _zeltra.sample_matrix_affine(bits, 13, 11, size, *args, window)
        assert got == ref_affine(bits, 13, 11, size, *args, window)
