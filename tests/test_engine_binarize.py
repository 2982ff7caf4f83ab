"""The native binarizer against a plain NumPy version of each mode, on random images of
awkward sizes, and read in place from strided NumPy slices."""

from __future__ import annotations

import numpy as np
import pytest

from halvern import _engine

AUTO, LOCAL, GLOBAL, NONE = 0, 1, 2, 3
BLOCK = 8
MIN_CONTRAST = 24
WINDOW = 2
HISTOGRAM_ROW_STEP = 8  # the local threshold's histogram counts every eighth row


def otsu(hist: np.ndarray) -> int:
    total = float(hist.sum())
    weighted_total = float((np.arange(256) * hist).sum())
    best, best_between = -1, -1.0
    below = weighted_below = 0.0
    for v in range(256):
        below += float(hist[v])
        weighted_below += v * float(hist[v])
        above = total - below
        if below == 0 or above == 0:
            continue
        gap = weighted_below / below - (weighted_total - weighted_below) / above
        between = below * above * gap * gap
        if between > best_between:
            best, best_between = v, between
    if best >= 0:
        return best
    return int(np.flatnonzero(hist)[0])


def global_limit(gray: np.ndarray, bilevel: bool) -> int:
    hist = np.bincount(gray.ravel(), minlength=256)
    levels = np.flatnonzero(hist)
    if len(levels) < 2:
        return 0
    return int(levels[0]) + 1 if bilevel else otsu(hist) + 1


def contrast_floor(hist: np.ndarray, split: int, spans: np.ndarray) -> int:
    """The least span of a contrasting block: twice the lower eighth
    of the block spans, at most half the gap between the mean levels below and above
    the split, at least 24."""
    ordered = np.sort(spans.ravel())
    eighth = int(ordered[(len(ordered) + 7) // 8 - 1])
    floor = 2 * eighth
    below = weighted_below = above = weighted_above = 0.0
    for v in range(256):
        n = float(hist[v])
        if v <= split:
            below += n
            weighted_below += v * n
        else:
            above += n
            weighted_above += v * n
    if below > 0 and above > 0:
        floor = min(floor, int((weighted_above / above - weighted_below / below) / 2.0))
    return max(MIN_CONTRAST, floor)


def local_reference(gray: np.ndarray) -> np.ndarray:
    """Block means of the contrasting 8x8 blocks averaged over 5x5 blocks; the global
    threshold (of every eighth row) where no block around is contrasting. A block is
    contrasting when its levels span at least the contrast floor; a block spanning twice
    the floor is split at the middle of its own levels where the average would make it
    all dark or all light."""
    h, w = gray.shape
    rows, cols = -(-h // BLOCK), -(-w // BLOCK)
    limits = np.zeros((rows, cols), dtype=np.int64)
    means = np.zeros((rows, cols), dtype=np.int64)
    lows = np.zeros((rows, cols), dtype=np.int64)
    highs = np.zeros((rows, cols), dtype=np.int64)
    for by in range(rows):
        for bx in range(cols):
            block = gray[by * BLOCK : (by + 1) * BLOCK, bx * BLOCK : (bx + 1) * BLOCK].astype(np.int64)
            means[by, bx] = block.sum() // block.size
            lows[by, bx], highs[by, bx] = block.min(), block.max()
    spans = highs - lows
    sampled = gray[::HISTOGRAM_ROW_STEP]
    fallback = global_limit(sampled, False)
    hist = np.bincount(sampled.ravel(), minlength=256)
    floor = contrast_floor(hist, otsu(hist), spans)
    contrasting = spans >= floor
    for by in range(rows):
        for bx in range(cols):
            window = np.s_[max(by - WINDOW, 0) : by + WINDOW + 1, max(bx - WINDOW, 0) : bx + WINDOW + 1]
            n = int(contrasting[window].sum())
            total = int(means[window][contrasting[window]].sum())
            limit = fallback if n == 0 else -(-total // n)
            low, high = int(lows[by, bx]), int(highs[by, bx])
            if high - low >= 2 * floor and (limit > high or limit <= low):
                limit = (low + high + 1) // 2  # never all dark or all light
            limits[by, bx] = limit
    per_pixel = np.repeat(np.repeat(limits, BLOCK, axis=0), BLOCK, axis=1)[:h, :w]
    return (gray < per_pixel).astype(np.uint8)


def native(gray: np.ndarray, mode: int) -> tuple[np.ndarray, bool]:
    bits, bilevel = _engine._binarize(gray, gray.shape[1], gray.shape[0], gray.strides[0], mode)
    return np.frombuffer(bits, dtype=np.uint8).reshape(gray.shape), bilevel


def random_gray(rng: np.random.Generator, h: int, w: int) -> np.ndarray:
    """Smooth light with dark blobs and noise: contrasting and uniform blocks side by side."""
    ys, xs = np.mgrid[0:h, 0:w]
    light = 120 + 100 * np.sin(xs / (5 + 20 * rng.random())) * np.cos(ys / (5 + 20 * rng.random()))
    ink = rng.random((h, w)) < rng.random() * 0.5
    image = light - ink * rng.integers(0, 120) + rng.normal(0, rng.random() * 10, (h, w))
    return np.clip(np.rint(image), 0, 255).astype(np.uint8)


SHAPES = [(1, 1), (7, 9), (8, 8), (17, 30), (64, 63), (101, 75), (9, 16), (23, 129)]


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize(("h", "w"), SHAPES)
def test_local_threshold_matches_reference(seed: int, h: int, w: int) -> None:
    gray = random_gray(np.random.default_rng(seed * 100 + h + w), h, w)
    bits, bilevel = native(gray, LOCAL)
    assert not bilevel
    assert np.array_equal(bits, local_reference(gray))


@pytest.mark.parametrize("seed", range(4))
def test_global_threshold_is_otsu(seed: int) -> None:
    gray = random_gray(np.random.default_rng(seed), 50, 70)
    bits, _ = native(gray, GLOBAL)
    assert np.array_equal(bits, (gray < global_limit(gray, False)).astype(np.uint8))


@pytest.mark.parametrize(("low", "high"), [(0, 255), (1, 2), (90, 160), (200, 201), (254, 255)])
@pytest.mark.parametrize("width", [1, 8, 41])
def test_two_levels_are_taken_as_they_are(low: int, high: int, width: int) -> None:
    pattern = np.random.default_rng(low).random((33, width)) < 0.3
    gray = np.where(pattern, low, high).astype(np.uint8)
    bits, bilevel = native(gray, AUTO)
    assert bilevel
    assert np.array_equal(bits, pattern.astype(np.uint8))


def test_levels_zero_and_one_are_a_bits_image() -> None:
    pattern = (np.random.default_rng(0).random((20, 30)) < 0.3).astype(np.uint8)
    bits, bilevel = native(pattern, AUTO)
    assert bilevel
    assert np.array_equal(bits, pattern)


@pytest.mark.parametrize("position", [0, 7, 8, 15, 31, 32, 63, 69, 70, 299, 699])
def test_a_third_level_anywhere_makes_the_image_gray(position: int) -> None:
    gray = np.where(np.random.default_rng(1).random((10, 70)) < 0.5, 0, 255).astype(np.uint8)
    gray.flat[position] = 128
    assert not native(gray, AUTO)[1]


@pytest.mark.parametrize("position", [1, 31, 32, 39, 69, 70, 139, 230, 698])
@pytest.mark.parametrize("third", [False, True])
def test_a_level_first_seen_after_uniform_pixels(position: int, third: bool) -> None:
    gray = np.full((10, 70), 200, np.uint8)
    gray.flat[position] = 30
    if third:
        gray.flat[-1] = 100
    bits, bilevel = native(gray, AUTO)
    assert bilevel is not third
    if not third:
        assert np.array_equal(bits, (gray == 30).astype(np.uint8))


def test_auto_thresholds_grayscale_locally() -> None:
    gray = random_gray(np.random.default_rng(5), 40, 40)
    assert np.array_equal(native(gray, AUTO)[0], local_reference(gray))


@pytest.mark.parametrize("value", [0, 1, 128, 255])
@pytest.mark.parametrize("mode", [AUTO, LOCAL, GLOBAL])
def test_uniform_image_has_no_dark_pixel(value: int, mode: int) -> None:
    gray = np.full((20, 30), value, dtype=np.uint8)
    assert not native(gray, mode)[0].any()


def test_none_makes_every_nonzero_byte_dark() -> None:
    gray = np.random.default_rng(3).integers(0, 4, (25, 35)).astype(np.uint8)
    bits, bilevel = native(gray, NONE)
    assert bilevel
    assert np.array_equal(bits, (gray != 0).astype(np.uint8))


@pytest.mark.parametrize("mode", [AUTO, LOCAL, GLOBAL, NONE])
def test_a_strided_slice_reads_as_its_copy(mode: int) -> None:
    big = random_gray(np.random.default_rng(9), 90, 120)
    view = big[5:77, 13:101]
    assert not view.flags.c_contiguous
    assert np.array_equal(native(view, mode)[0], native(np.ascontiguousarray(view), mode)[0])


@pytest.mark.parametrize(
    ("args", "message"),
    [
        ((b"\x00" * 10, 4, 3, 4, AUTO), "shorter"),
        ((b"\x00" * 12, 4, 3, 3, AUTO), "stride"),
        ((b"\x00" * 12, -1, 3, 4, AUTO), "width"),
        ((b"\x00" * 12, 4, 3, 4, 7), "binarizer"),
        ((np.zeros((3, 4), np.uint8), 5, 3, 5, AUTO), "shape"),
        ((np.zeros((3, 4), np.uint16), 4, 3, 8, AUTO), "one byte"),
        ((np.zeros((3, 4, 2), np.uint8), 4, 3, 8, AUTO), "contiguous bytes or a 2-D"),
    ],
)
def test_bad_image_arguments_raise(args: tuple[object, ...], message: str) -> None:
    with pytest.raises(ValueError, match=message):
        _engine._binarize(*args)


def majority_reference(bits: np.ndarray) -> np.ndarray:
    """Each pixel the majority (5 of 9) of its 3x3 neighbourhood, outside counting light."""
    padded = np.pad(bits.astype(np.int64), 1)
    h, w = bits.shape
    votes = sum(padded[dy : dy + h, dx : dx + w] for dy in range(3) for dx in range(3))
    return (votes >= 5).astype(np.uint8)


@pytest.mark.parametrize("seed", range(8))
@pytest.mark.parametrize(("h", "w"), [(1, 1), (1, 9), (5, 1), (4, 7), (3, 8), (7, 16), (33, 41), (64, 129)])
@pytest.mark.parametrize("in_place", [True, False])
def test_denoise_is_the_three_by_three_majority(seed: int, h: int, w: int, in_place: bool) -> None:
    # Eight pixels a step in the native pass; every row length, tails included.
    rng = np.random.default_rng([seed, h, w])
    bits = (rng.random((h, w)) < rng.choice([0.05, 0.5, 0.95])).astype(np.uint8)
    got = np.frombuffer(_engine._denoise(bits, w, h, in_place), dtype=np.uint8).reshape(h, w)
    assert np.array_equal(got, majority_reference(bits))


@pytest.mark.parametrize(("h", "w"), [(4, 4), (9, 13), (16, 37), (23, 64), (8, 200), (12, 263)])
@pytest.mark.parametrize("bits", [False, True])
def test_shrink_is_the_mean_of_four_by_four_blocks(h: int, w: int, bits: bool) -> None:
    rng = np.random.default_rng(h * w)
    levels = (rng.random((h, w)) < 0.4) * rng.integers(1, 256, size=(h, w)) if bits else rng.integers(0, 256, (h, w))
    image = levels.astype(np.uint8)
    blocks = image[: h // 4 * 4, : w // 4 * 4].reshape(h // 4, 4, w // 4, 4).astype(np.int64)
    sums = 255 * (16 - (blocks != 0).sum(axis=(1, 3))) if bits else blocks.sum(axis=(1, 3))
    shrunk = np.frombuffer(_engine._shrink(image, w, h, bits), dtype=np.uint8).reshape(h // 4, w // 4)
    assert np.array_equal(shrunk, (sums + 8) // 16)
