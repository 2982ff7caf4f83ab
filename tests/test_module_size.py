"""estimate_module_size: low median of the run lengths of five rows and five columns of a box."""

from __future__ import annotations

import itertools
import random

import pytest

from halvern import _zeltra

BUFFER_KINDS = [bytes, bytearray, memoryview]


def image(rows: list[list[int]]) -> tuple[bytes, int, int]:
    return bytes(v for row in rows for v in row), len(rows[0]), len(rows)


def run_lengths(line: list[int]) -> list[int]:
    runs, run = [], 1
    for prev, cur in itertools.pairwise(line):
        if cur == prev:
            run += 1
        else:
            runs.append(run)
            run = 1
    runs.append(run)
    return runs


def reference(bits: bytes, width: int, height: int, box: tuple[int, int, int, int]) -> float | None:
    """Literal low median; a box reaching outside the image is clipped to it first."""
    left, top, right, bottom = box
    left, top, right, bottom = max(left, 0), max(top, 0), min(right, width), min(bottom, height)
    if left >= right or top >= bottom:
        return None
    ys = [top + (bottom - top - 1) * k // 4 for k in range(5)]
    xs = [left + (right - left - 1) * k // 4 for k in range(5)]
    runs: list[int] = []
    for y in ys:
        runs += run_lengths([bits[y * width + x] for x in range(left, right)])
    for x in xs:
        runs += run_lengths([bits[y * width + x] for y in range(top, bottom)])
    kept = sorted([r for r in runs if r > 1] or [r for r in runs if r > 0])
    median_count = len(kept) // 2 or 1
    if median_count % 2:
        size = float(kept[median_count // 2])
    else:
        size = (kept[median_count // 2 - 1] + kept[median_count // 2]) * 0.5
    return None if size < 1.0 else size


def random_image(
    rng: random.Random, width: int, height: int, values=(0, 1), runs: tuple[int, int] = (1, 6)
) -> bytes:
    """Rows of random runs; many rows repeat the previous one so columns get long runs too."""
    rows: list[bytearray] = []
    for _ in range(height):
        if rows and rng.random() < 0.6:
            row = bytearray(rows[-1])
            for _ in range(rng.randrange(3)):
                row[rng.randrange(width)] = rng.choice(values)
        else:
            row = bytearray()
            while len(row) < width:
                row += bytes([rng.choice(values)]) * rng.randint(*runs)
            del row[width:]
        rows.append(row)
    return b"".join(rows)


def stripes(run_pattern: list[int], repeats: int, height: int) -> tuple[bytes, int, int]:
    row: list[int] = []
    for i in range(repeats):
        for j, run in enumerate(run_pattern):
            row += [(i * len(run_pattern) + j) % 2] * run
    return image([row] * height)


TEN_BY_TWO = [0] * 10
# Each case was worked out by hand: the kept runs and their low median are in the comment.
KNOWN = [
    # one pixel: ten runs of 1, all kept as none exceeds 1; median_count 5 -> r2
    (image([[1]]), 1.0),
    # rows 0,1,3,5,7 give 2,4,2; columns give 8 five times; 20 runs -> (r4 + r5) * 0.5
    (image([[0, 0, 1, 1, 1, 1, 0, 0]] * 8), 2.0),
    (image([[1] * 21] * 21), 21.0),
    (image([[(x + y) % 2 for x in range(10)] for y in range(10)]), 1.0),
    # rows 0,0,0,0,1 give 10 five times; columns 0,2,4,6,9 give 2 five times -> (r4 + r5) * 0.5
    (image([TEN_BY_TWO, TEN_BY_TWO]), 2.0),
    (image([[1, 1, 255, 255]]), 2.0),
    (image([[1, 1, 1, 1]]), 4.0),
    # one row of runs 2,3,4,5 scanned five times, columns all 1 -> 20 kept, (2 + 3) * 0.5
    (image([[0, 0, 1, 1, 1, 0, 0, 0, 0, 1, 1, 1, 1, 1]]), 2.5),
    # row 0 (10) four times, row 1 gives 7,3, only column 9 keeps a 2 -> 7 kept, r1 = 3
    (image([TEN_BY_TWO, [1] * 7 + [0] * 3]), 3.0),
    # row 1 gives 3,7; columns 0 and 2 give 2 -> [2,2,3,7,10,10,10,10], (r1 + r2) * 0.5
    (image([TEN_BY_TWO, [0, 0, 0] + [1] * 7]), 2.5),
    # row 1 gives 9 (and a dropped 1); column 9 gives 2 -> [2,9,10,10,10,10], r1 = 9
    (image([TEN_BY_TWO, [1] * 9 + [0]]), 9.0),
    # 5x5 with one black pixel at (1,1): eight lines of 5, two lines 1,1,3 -> 10 kept, r2 = 5
    (image([[int((x, y) == (1, 1)) for x in range(5)] for y in range(5)]), 5.0),
    # a black 2x2 block at (1,1): six runs of 5, eight runs of 2 -> 14 kept, r3 = 2
    (image([[int(1 <= x <= 2 and 1 <= y <= 2) for x in range(5)] for y in range(5)]), 2.0),
]


@pytest.mark.parametrize("kind", BUFFER_KINDS)
@pytest.mark.parametrize(("img", "expected"), KNOWN)
def test_known_results(img, expected, kind):
    bits, width, height = img
    box = (0, 0, width, height)
    assert reference(bits, width, height, box) == expected
    assert _zeltra.estimate_module_size(kind(bits), width, height, box) == expected


def test_run_list_growth_past_256_runs():
    # Runs 2,3,3,3 repeated across a 1100 x 1 row: the five scans of row 0 give 500 twos and
    # 1500 threes, the columns only dropped 1s. median_count 1000 puts r499 = 2 and r500 = 3
    # together, so a single lost or extra run moves the result.
    bits, width, height = stripes([2, 3, 3, 3], 100, 1)
    assert _zeltra.estimate_module_size(bits, width, height, (0, 0, width, height)) == 2.5
    # Same rows stacked: every column now adds a run of 3, moving the median to 3.0.
    bits, width, height = stripes([2, 3, 3, 3], 100, 3)
    assert _zeltra.estimate_module_size(bits, width, height, (0, 0, width, height)) == 3.0


def test_run_list_growth_matches_reference():
    rng = random.Random(22)
    for width, height in ((1500, 40), (33, 2000), (1024, 1024)):
        bits = random_image(rng, width, height, runs=(1, 4))
        box = (rng.randrange(8), rng.randrange(8), width - rng.randrange(8), height)
        assert _zeltra.estimate_module_size(bits, width, height, box) == reference(
            bits, width, height, box
        )


@pytest.mark.parametrize("seed", range(6))
def test_matches_reference_on_random_images(seed):
    rng = random.Random(seed)
    for _ in range(80):
        width, height = rng.randint(1, 70), rng.randint(1, 70)
        values = rng.choice([(0, 1), (0, 1), (0, 1, 255), (0, 7, 255, 1)])
        runs = rng.choice([(1, 1), (1, 2), (1, 4), (2, 9), (3, 20), (5, 12)])
        bits = random_image(rng, width, height, values, runs)
        if rng.random() < 0.6:
            left, right = sorted(rng.sample(range(width + 1), 2)) if width > 1 else (0, 1)
            top, bottom = sorted(rng.sample(range(height + 1), 2)) if height > 1 else (0, 1)
        else:  # partly or wholly outside, empty or inverted boxes
            left, right = rng.randint(-20, width + 5), rng.randint(-5, width + 20)
            top, bottom = rng.randint(-20, height + 5), rng.randint(-5, height + 20)
        box = (left, top, right, bottom)
        got = _zeltra.estimate_module_size(bits, width, height, box)
        assert got == reference(bits, width, height, box), (width, height, box, bits)


@pytest.mark.parametrize("box", [(5, 5, 5, 9), (5, 5, 9, 5), (9, 5, 5, 9), (5, 9, 9, 5)])
def test_empty_or_inverted_box_is_none(box):
    assert _zeltra.estimate_module_size(bytes(100), 10, 10, box) is None


@pytest.mark.parametrize(
    ("box", "inside"),
    [
        ((-5, -5, 100, 100), (0, 0, 21, 21)),
        ((-3, 4, 12, 30), (0, 4, 12, 21)),
        ((10, -2147483648, 2147483647, 15), (10, 0, 21, 15)),
    ],
)
def test_box_reaching_outside_is_clipped(box, inside):
    rng = random.Random(repr(box))
    bits = random_image(rng, 21, 21)
    expected = reference(bits, 21, 21, inside)
    assert expected is not None
    assert _zeltra.estimate_module_size(bits, 21, 21, box) == expected


@pytest.mark.parametrize(
    ("bits", "width", "height", "box"),
    [
        (bytes(441), 21, 21, (21, 0, 30, 21)),  # wholly right of the image
        (bytes(441), 21, 21, (-9, -9, 0, 0)),  # wholly above-left
        (bytes(441), 21, 21, (0, 21, 21, 40)),
        (b"", 0, 5, (0, 0, 5, 5)),
        (b"", 5, 0, (0, 0, 5, 5)),
        (bytes(6), -2, -3, (-5, -5, 5, 5)),  # negative sides whose product matches
    ],
)
def test_box_outside_image_or_degenerate_image_is_none(bits, width, height, box):
    assert _zeltra.estimate_module_size(bits, width, height, box) is None


@pytest.mark.parametrize(
    ("bits", "width", "height", "box"),
    [
        (bytes(99), 10, 10, (0, 0, 10, 10)),
        (bytes(101), 10, 10, (0, 0, 10, 10)),
        (bytes(99), 10, 10, (5, 5, 5, 5)),  # the length is tested before the box
        (b"", 65536, 65536, (0, 0, 1, 1)),  # the product wraps to 0 in 32 bits
    ],
)
def test_length_mismatch(bits, width, height, box):
    buf = bytearray(bits)
    with pytest.raises(ValueError, match=r"^Bits length mismatch\.$"):
        _zeltra.estimate_module_size(buf, width, height, box)
    buf.append(0)  # the export was released


@pytest.mark.parametrize(
    "args",
    [
        ("x" * 4, 2, 2, (0, 0, 2, 2)),
        (bytes(4), 2, 2, (0, 0, 2)),
        (bytes(4), 2, 2, (0, 0, 2, 2, 2)),
        (bytes(4), 2.0, 2, (0, 0, 2, 2)),
        (bytes(4), 2, 2),
    ],
)
def test_bad_arguments(args):
    with pytest.raises(TypeError):
        _zeltra.estimate_module_size(*args)
