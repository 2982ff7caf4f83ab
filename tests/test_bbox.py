"""find_black_bbox_bits: the box of all black pixels."""

import random

import pytest

from halvern._zeltra import find_black_bbox_bits


def reference_bbox(bits, width, height):
    xs = [i % width for i, b in enumerate(bits) if b]
    ys = [i // width for i, b in enumerate(bits) if b]
    if not xs:
        return None
    return (min(xs), min(ys), max(xs) + 1, max(ys) + 1)


@pytest.mark.parametrize(
    "width,height", [(5, 4), (0, 7), (7, 0), (0, 0), (-3, 0), (1, 1)]
)
def test_white_or_empty_images_have_no_box(width, height):
    assert find_black_bbox_bits(bytes(max(width * height, 0)), width, height) is None


@pytest.mark.parametrize("x,y", [(0, 0), (4, 2), (16, 0), (0, 9), (16, 9)])
@pytest.mark.parametrize("value", [1, 128, 255])
def test_single_pixel(x, y, value):
    width, height = 17, 10
    bits = bytearray(width * height)
    bits[y * width + x] = value
    assert find_black_bbox_bits(bits, width, height) == (x, y, x + 1, y + 1)


def test_last_row_and_last_column_reach_the_far_edges():
    width, height = 13, 6
    bits = bytearray(width * height)
    bits[(height - 1) * width + 3] = 1
    bits[2 * width + width - 1] = 1
    assert find_black_bbox_bits(bits, width, height) == (3, 2, width, height)


def test_negative_sides_with_matching_product_give_none():
    # -2 * -3 == 6: the length matches, but an image of no rows holds no pixel.
    assert find_black_bbox_bits(bytes([1] * 6), -2, -3) is None


def test_black_only_inside_known_box_keeps_rows():
    # Rows whose black pixels all lie strictly inside the box found so far still
    # count for top and bottom.
    width, height = 40, 5
    bits = bytearray(width * height)
    bits[0 * width + 2] = bits[0 * width + 37] = 1
    bits[4 * width + 20] = 1
    assert find_black_bbox_bits(bits, width, height) == (2, 0, 38, 5)


@pytest.mark.parametrize("seed", range(40))
def test_matches_reference_on_sparse_random_images(seed):
    rng = random.Random(seed)
    width, height = rng.randint(1, 70), rng.randint(1, 30)
    bits = bytearray(width * height)
    for _ in range(rng.randint(0, 6)):
        bits[rng.randrange(width * height)] = rng.choice([1, 7, 255])
    assert find_black_bbox_bits(bytes(bits), width, height) == reference_bbox(bits, width, height)
