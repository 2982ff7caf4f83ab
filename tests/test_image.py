"""Binarization and the conversion of callers' images into bits images."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np
import pytest
from PIL import Image

from halvern._image import as_bits_image, binarize

# A small picture: 1 where it is dark.
BITS = np.array(
    [
        [1, 0, 0, 1, 1],
        [0, 1, 0, 0, 1],
        [1, 1, 1, 0, 0],
        [0, 0, 1, 0, 1],
    ],
    dtype=np.uint8,
)
DARK, LIGHT = 25, 215


def as_gray(bits: np.ndarray, dark: int = DARK, light: int = LIGHT) -> np.ndarray:
    return np.where(bits != 0, dark, light).astype(np.uint8)


def reference_otsu(gray: np.ndarray) -> int:
    """The first level t that maximises the between-class variance of (<= t, > t)."""
    histogram = np.bincount(gray.ravel(), minlength=256).astype(np.float64)
    levels = np.arange(256, dtype=np.float64)
    best, best_level = -1.0, 0
    for t in range(255):
        below, above = histogram[: t + 1].sum(), histogram[t + 1 :].sum()
        if below == 0 or above == 0:
            continue
        gap = (levels[: t + 1] @ histogram[: t + 1]) / below
        gap -= (levels[t + 1 :] @ histogram[t + 1 :]) / above
        between = below * above * gap * gap
        if between > best:
            best, best_level = between, t
    return best_level


# ---------------------------------------------------------------------------
# binarize


def test_otsu_puts_a_lone_middle_level_with_the_nearer_cluster() -> None:
    # 100 pixels at 10, 100 at 250 and one at 100. Counting the 100 with the dark side
    # gives 101 * 100 * (250 - 1100/101)^2 ~ 5.77e8 between-class variance, counting
    # it with the light side 100 * 101 * (25100/101 - 10)^2 ~ 5.75e8: it goes dark.
    gray = bytes([10] * 100 + [250] * 100 + [100])
    bits = binarize(gray, len(gray), 1)
    assert bits == bytes([1] * 100 + [0] * 100 + [1])


def test_otsu_on_two_clusters_splits_between_them() -> None:
    gray = as_gray(BITS)
    assert binarize(gray.tobytes(), 5, 4) == BITS.tobytes()


@pytest.mark.parametrize("seed", range(6))
def test_otsu_matches_a_plain_reference(seed: int) -> None:
    rng = np.random.default_rng(seed)
    dark = rng.normal(rng.uniform(30, 100), rng.uniform(5, 25), 300)
    light = rng.normal(rng.uniform(140, 220), rng.uniform(5, 25), int(rng.integers(100, 500)))
    gray = np.clip(np.concatenate([dark, light]), 0, 255).astype(np.uint8)
    rng.shuffle(gray)
    gray = gray[: (gray.size // 10) * 10].reshape(10, -1)
    want = (gray <= reference_otsu(gray)).astype(np.uint8)
    assert binarize(gray, gray.shape[1], gray.shape[0]) == want.tobytes()


@pytest.mark.parametrize("threshold", [0, 24, 25, 26, 120, 214, 215, 255])
def test_explicit_threshold_is_inclusive(threshold: int) -> None:
    gray = as_gray(BITS)
    gray[0, 1], gray[1, 0] = 0, 255
    want = (gray <= threshold).astype(np.uint8)
    assert binarize(bytearray(gray.tobytes()), 5, 4, threshold=threshold) == want.tobytes()


@pytest.mark.parametrize("level", [0, 128, 255])
def test_uniform_image_has_no_dark_pixels(level: int) -> None:
    assert binarize(bytes([level]) * 12, 4, 3) == bytes(12)


def test_uniform_image_with_explicit_threshold_follows_it() -> None:
    assert binarize(bytes([40]) * 6, 3, 2, threshold=40) == bytes([1]) * 6
    assert binarize(bytes([40]) * 6, 3, 2, threshold=39) == bytes(6)


@pytest.mark.parametrize(("length", "width", "height"), [(11, 4, 3), (13, 4, 3), (0, 1, 1)])
def test_length_mismatch_is_refused(length: int, width: int, height: int) -> None:
    with pytest.raises(ValueError, match="length"):
        binarize(bytes(range(length)), width, height)


@pytest.mark.parametrize("threshold", [-1, 256, 1000])
def test_threshold_out_of_range_is_refused(threshold: int) -> None:
    with pytest.raises(ValueError, match="threshold"):
        binarize(as_gray(BITS).tobytes(), 5, 4, threshold=threshold)


# ---------------------------------------------------------------------------
# as_bits_image


def test_bytes_with_size_are_used_as_they_are() -> None:
    raw = BITS.tobytes()
    image = as_bits_image(raw, 5, 4)
    assert image.bits is raw
    assert (image.width, image.height) == (5, 4)


@pytest.mark.parametrize(("width", "height"), [(5, None), (None, 4)])
def test_width_and_height_go_together(width: int | None, height: int | None) -> None:
    with pytest.raises(TypeError):
        as_bits_image(BITS.tobytes(), width, height)


@pytest.mark.parametrize("thing", [BITS.tobytes(), BITS.tolist(), 7, "image", None])
def test_unsupported_object_is_refused(thing: object) -> None:
    with pytest.raises(TypeError):
        as_bits_image(thing)


def test_contiguous_uint8_bits_are_not_copied() -> None:
    array = BITS.copy()
    image = as_bits_image(array)
    assert np.shares_memory(image.bits, array)
    assert (image.width, image.height) == (5, 4)


def test_bool_array_reads_as_bits() -> None:
    image = as_bits_image(BITS.astype(bool))
    assert bytes(image.bits) == BITS.tobytes()


@pytest.mark.parametrize(
    "view",
    [
        lambda a: a[:, ::2],
        lambda a: a.T,
        lambda a: np.asfortranarray(a),
    ],
    ids=["strided", "transposed", "fortran"],
)
def test_non_contiguous_bits_are_copied_in_row_order(
    view: Callable[[np.ndarray], np.ndarray],
) -> None:
    array = BITS.copy()
    sliced = view(array)
    image = as_bits_image(sliced)
    assert not np.shares_memory(image.bits, array)
    assert (image.width, image.height) == (sliced.shape[1], sliced.shape[0])
    assert bytes(memoryview(image.bits)) == np.ascontiguousarray(sliced).tobytes()


@pytest.mark.parametrize(
    "array",
    [
        as_gray(BITS),
        as_gray(BITS, dark=0, light=255),
        np.where(BITS != 0, 1000, 60000).astype(np.uint16),
        np.where(BITS != 0, 0, 4095).astype(np.int32),  # 12-bit sensor values
        np.where(BITS != 0, 30.0, 200.0),
        np.stack([as_gray(BITS, 20, 200), as_gray(BITS, 40, 230), as_gray(BITS, 10, 210)], axis=2),
        np.dstack([as_gray(BITS)] * 3 + [np.full(BITS.shape, 255, np.uint8)]),  # RGBA
    ],
    ids=["gray", "gray-0-255", "uint16", "int32-12bit", "float64", "rgb", "rgba"],
)
def test_grayscale_and_colour_arrays_are_binarized(array: np.ndarray) -> None:
    image = as_bits_image(array)
    assert (image.width, image.height) == (5, 4)
    assert bytes(memoryview(image.bits)) == BITS.tobytes()


@pytest.mark.parametrize("shape", [(20,), (2, 2, 5, 1)])
def test_arrays_of_other_ranks_are_refused(shape: tuple[int, ...]) -> None:
    with pytest.raises(ValueError):
        as_bits_image(np.zeros(shape, dtype=np.uint8))


@pytest.mark.parametrize("mode", ["L", "1", "RGB", "RGBA", "P", "LA", "I", "F"])
def test_pillow_modes_are_binarized(mode: str) -> None:
    picture = Image.fromarray(as_gray(BITS)).convert(mode)
    image = as_bits_image(picture)
    assert (image.width, image.height) == (5, 4)
    assert bytes(memoryview(image.bits)) == BITS.tobytes()


def test_pillow_bilevel_black_is_dark() -> None:
    # Mode "1" keeps 0 for black and 255 for white, whatever the share of either.
    mostly_dark = np.ones((4, 5), dtype=np.uint8)
    mostly_dark[0, 0] = 0
    picture = Image.fromarray(mostly_dark == 0)
    assert picture.mode == "1"
    assert bytes(as_bits_image(picture).bits) == mostly_dark.tobytes()


def test_pillow_sixteen_bit_image_uses_its_whole_range() -> None:
    picture = Image.fromarray(np.where(BITS != 0, 1000, 60000).astype(np.uint16))
    assert bytes(as_bits_image(picture).bits) == BITS.tobytes()


@pytest.mark.parametrize(
    ("dtype", "dark", "light"),
    [(np.int64, 1, 0), (np.uint16, 1, 0), (np.float64, 0.1, 0.9), (np.float32, 0.0, 1.0)],
)
def test_wide_arrays_keep_their_meaning(dtype: Any, dark: float, light: float) -> None:
    # Integer 0/1 is bits (1 black); any other range is gray, darker values black.
    pattern = np.zeros((4, 5), np.uint8)
    pattern[1:3, 2:4] = 1
    if dark == 1 and light == 0:
        values = pattern.astype(dtype)
    else:
        values = np.where(pattern == 1, dark, light).astype(dtype)
    assert bytes(as_bits_image(values).bits) == pattern.tobytes()
