"""The PBM/PGM reader: known answers from images written here, and every malformation."""

from __future__ import annotations

import math
import random
import re
import tracemalloc
from fractions import Fraction

import pytest

import halvern._pnm
from halvern._image import as_reader_input
from halvern._pnm import DEFAULT_MAX_PIXELS, PLAIN_SLICE, PNMError, parse_pnm


def random_bits(width: int, height: int, seed: int) -> list[list[int]]:
    rng = random.Random(seed)
    return [[rng.randrange(2) for _ in range(width)] for _ in range(height)]


def random_gray(width: int, height: int, maxval: int, seed: int) -> list[list[int]]:
    rng = random.Random(seed)
    rows = [[rng.randrange(maxval + 1) for _ in range(width)] for _ in range(height)]
    rows[0][0], rows[-1][-1] = 0, maxval  # both ends of the range, always
    return rows


def p1(rows: list[list[int]], header: bytes | None = None) -> bytes:
    head = header if header is not None else b"P1\n%d %d\n" % (len(rows[0]), len(rows))
    return head + b"\n".join(b" ".join(b"%d" % v for v in row) for row in rows) + b"\n"


def p4(rows: list[list[int]], header: bytes | None = None) -> bytes:
    head = header if header is not None else b"P4\n%d %d\n" % (len(rows[0]), len(rows))
    raster = bytearray()
    for row in rows:
        padded = row + [0] * (-len(row) % 8)
        for i in range(0, len(padded), 8):
            raster.append(sum(bit << (7 - j) for j, bit in enumerate(padded[i : i + 8])))
    return head + bytes(raster)


def p2(rows: list[list[int]], maxval: int) -> bytes:
    head = b"P2\n%d %d\n%d\n" % (len(rows[0]), len(rows), maxval)
    return head + b"\n".join(b" ".join(b"%d" % v for v in row) for row in rows) + b"\n"


def p5(rows: list[list[int]], maxval: int) -> bytes:
    head = b"P5\n%d %d\n%d\n" % (len(rows[0]), len(rows), maxval)
    depth = 1 if maxval < 256 else 2
    return head + b"".join(v.to_bytes(depth, "big") for row in rows for v in row)


def flat(rows: list[list[int]]) -> bytes:
    return bytes(v for row in rows for v in row)


def to_8bit(rows: list[list[int]], maxval: int) -> bytes:
    """Each sample at the nearest of 0..255, halves rounded up."""
    return bytes(int(Fraction(v * 255, maxval) + Fraction(1, 2)) for row in rows for v in row)


@pytest.mark.parametrize("height", [5, 40])  # rows unpacked one by one, or columns
@pytest.mark.parametrize("width", [1, 7, 8, 9, 13, 16, 23])
def test_p4_rows_ignore_padding_bits(width: int, height: int) -> None:
    rows = random_bits(width, height, seed=width)
    data = bytearray(p4(rows))
    stride = -(-width // 8)
    if width % 8:
        for end in range(len(data), len(data) - stride * height, -stride):
            data[end - 1] |= (1 << (-width % 8)) - 1  # padding bits set: they must not leak in
    image = parse_pnm(bytes(data))
    assert (image.magic, image.width, image.height) == ("P4", width, height)
    assert image.pixels == flat(rows) and image.is_bitmap


@pytest.mark.parametrize("width", [1, 5, 12])
def test_p1_known_answer(width: int) -> None:
    rows = random_bits(width, 4, seed=100 + width)
    assert parse_pnm(p1(rows)).pixels == flat(rows)


def test_p1_digits_need_no_separators() -> None:
    assert parse_pnm(b"P1 3 2 011\n10\n0").pixels == bytes([0, 1, 1, 1, 0, 0])


@pytest.mark.parametrize(
    "header",
    [
        b"P4\n# made by hand\n5 2\n",
        b"P4 #c\n5#c\n#c\n 2\n",
        b"P4\r\n5\r\n2\n",
        b"P4 5 2#comment before the single separator\n",
        b"P4\t5\x0b2\x0c",
    ],
)
def test_header_whitespace_and_comments(header: bytes) -> None:
    rows = [[1, 0, 1, 1, 0], [0, 1, 0, 0, 1]]
    assert parse_pnm(p4(rows, header)).pixels == flat(rows)


def test_p4_raster_byte_that_looks_like_whitespace() -> None:
    # The raster starts right after one separator, even when its first bytes are "\n#".
    rows = [[0, 0, 0, 0, 1, 0, 1, 0], [0, 0, 1, 0, 0, 0, 1, 1]]  # 0x0A, 0x23
    assert parse_pnm(p4(rows)).pixels == flat(rows)


def test_comments_inside_a_plain_raster() -> None:
    image = parse_pnm(b"P2 2 2 255\n0 # dark\n255\n# a line\n128 7\n")
    assert image.pixels == bytes([0, 255, 128, 7])


@pytest.mark.parametrize("maxval", [1, 2, 15, 100, 255])
@pytest.mark.parametrize("writer", [p2, p5], ids=["P2", "P5"])
def test_narrow_gray_scaled_to_8_bit(writer, maxval: int) -> None:
    rows = random_gray(6, 5, maxval, seed=maxval)
    image = parse_pnm(writer(rows, maxval))
    assert image.maxval == maxval
    assert image.pixels == to_8bit(rows, maxval)


@pytest.mark.parametrize("maxval", [256, 1000, 4095, 65535])
@pytest.mark.parametrize("writer", [p2, p5], ids=["P2", "P5"])
def test_wide_gray_scaled_to_8_bit(writer, maxval: int) -> None:
    rows = random_gray(7, 3, maxval, seed=maxval)
    rows[1][:3] = [255, 256, maxval // 2]  # a high byte alone would misread these
    assert parse_pnm(writer(rows, maxval)).pixels == to_8bit(rows, maxval)


def test_gray_reaches_the_reader_as_its_levels() -> None:
    # Not thresholded on the way: the reader's binarizer sees the levels.
    rows = [[10, 240, 240, 10], [240, 10, 10, 240]]
    image = as_reader_input(parse_pnm(p5(rows, 255)))
    assert not image.bits and bytes(image.pixels) == bytes(rows[0] + rows[1])


def test_data_after_the_first_image_is_ignored() -> None:
    rows = [[1, 0, 1]]
    assert parse_pnm(p4(rows) + p4([[0, 0, 0]])).pixels == flat(rows)


@pytest.mark.parametrize(
    ("data", "message"),
    [
        (b"", "empty file"),
        (b"P4", "no width"),
        (b"P4 8", "no height"),
        (b"P5 8 1", "no maxval"),
        (b"P4 8 1", "no pixel data"),
        (b"P4 8 2\n\x00", "truncated pixel data"),
        (b"P4 9 2\n\x00\x00\x00", "truncated pixel data"),
        (b"P5 2 2 255\n\x00\x00\x00", "truncated pixel data"),
        (b"P5 2 2 65535\n" + b"\x00" * 7, "truncated pixel data"),
        (b"P1 3 2\n0 1 0 1", "truncated pixel data"),
        (b"P2 3 2 255\n0 1 0 1 2 3 4 5"[:-6], "truncated pixel data"),
        (b"P4 100000 100000\n", "too large"),
        (b"P4 268435457 1\n", "too large"),
        (b"P4 99999999999999999999999 1\n", "too large"),
        (b"P4 0 5\n", "no pixels"),
        (b"P5 5 0 255\n", "no pixels"),
        (b"P5 1 1 0\n\x00", "maxval"),
        (b"P2 1 1 65536\n0", "maxval"),
        (b"P4 ten 1\n", "width is not a number"),
        (b"P4 -1 1\n", "width is not a number"),
        (b"P5 1 1 2.5\n", "maxval is not a number"),
        (b"P1 2 1\n0 2", "0 or 1"),
        (b"P2 2 1 255\n0 x", "not a number"),
        (b"P2 2 1 15\n0 16", "exceeds maxval"),
        (b"P2 2 1 15\n0 1234567890123", "exceeds maxval"),
        (b"P5 2 1 15\n\x00\x10", "exceeds maxval"),
        (b"P5 1 1 1000\n\x03\xe9", "exceeds maxval"),
        (b"Hello, this is not an image.\n", "not a PBM or PGM image"),
        (b"P1ease read me", "not a PBM or PGM image"),
        (b"\x89PNG\r\n\x1a\n\x00\x00", "not a PBM or PGM image"),
        (b"P6 1 1 255\n\x00\x00\x00", "PPM"),
    ],
)
def test_malformed_data_is_refused(data: bytes, message: str) -> None:
    with pytest.raises(PNMError, match=message):
        parse_pnm(data)


@pytest.mark.parametrize("header", [b"P5 %d %d 255\n", b"P2 %d %d 255\n", b"P1 %d %d\n",
                                    b"P4 %d %d\n"])
def test_claimed_size_is_refused_before_allocating(header: bytes) -> None:
    # Just under the pixel limit, so only the file size check stands in the way.
    side = math.isqrt(DEFAULT_MAX_PIXELS)
    tracemalloc.start()
    try:
        with pytest.raises(PNMError, match="truncated pixel data"):
            parse_pnm(header % (side, side) + b"0 " * 100)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 1 << 20


# ---------------------------------------------------------------------------------------------
# Plain rasters are parsed a slice at a time: the slices must not cut a token or a comment.


def plain_reference(data: bytes, count: int) -> list[bytes]:
    """The raster's first ``count`` tokens, written plainly: comments out, then split."""
    pos = 0
    for _ in range(3):  # "P?", "w h" and the maxval (P2) or a comment (P1), one a line
        pos = data.index(b"\n", pos) + 1
    return re.sub(rb"#[^\r\n]*", b" ", data[pos:]).split()[:count]


def noisy_plain(rng: random.Random, magic: bytes, samples: list[int]) -> bytes:
    """Samples with random separators, CR and LF line ends and comments of every length,
    some longer than a slice, many of them crossing a slice boundary."""
    out = [b"%s\n%d 1\n%s" % (magic, len(samples), b"65535\n" if magic == b"P2" else b"# c\n")]
    for value in samples:
        out.append(b"%d" % value)
        roll = rng.random()
        if roll < 0.01:
            out.append(b"#" + b"x # " * rng.randrange(SMALL_SLICE // 2) + rng.choice((b"\n", b"\r")))
        elif roll < 0.02:
            out.append(b" #" + b"c" * rng.randrange(200) + rng.choice((b"\n", b"\r", b"\r\n")))
        elif roll < 0.03:
            out.append(b"\t\v\f" * rng.randrange(1, 3))
        elif magic == b"P2" or roll < 0.5:
            out.append(rng.choice((b" ", b"  ", b"\n", b"\r\n")))
    return b"".join(out)


SMALL_SLICE = 4096


@pytest.mark.parametrize("magic", [b"P1", b"P2"])
def test_plain_slices_match_a_whole_parse(magic: bytes, monkeypatch) -> None:
    monkeypatch.setattr(halvern._pnm, "PLAIN_SLICE", SMALL_SLICE)
    rng = random.Random(magic[1])
    for _ in range(5):
        count = rng.randrange(2_000, 12_000)
        top = 1 if magic == b"P1" else 65535
        samples = [rng.randrange(top + 1) for _ in range(count)]
        data = noisy_plain(rng, magic, samples)
        assert len(data) > 4 * SMALL_SLICE
        tokens = plain_reference(data, count)
        if magic == b"P1":
            # Digits need no separators: the reference joins the tokens into one per pixel.
            tokens = list(b"".join(tokens)[:count])
            assert parse_pnm(data).pixels == bytes(t - 48 for t in tokens)
        else:
            assert parse_pnm(data).pixels == to_8bit([[int(t) for t in tokens]], 65535)


@pytest.mark.parametrize("maxval", [255, 65535])
def test_plain_parse_memory_follows_the_pixels(maxval: int) -> None:
    # Split whole, the tokens alone took about 40 bytes a sample.
    count = 200_000
    data = b"P2 %d 1 %d\n" % (count, maxval) + b"%d \n" % maxval * count
    tracemalloc.start()
    try:
        image = parse_pnm(data)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert image.pixels == bytes([255]) * count
    assert peak < 6 * count + 24 * PLAIN_SLICE


def test_long_header_padding_is_skipped() -> None:
    # A megabyte of whitespace and comments before every field.
    pad = (b" \n" + b"# " + b"c" * 1000 + b"\n") * 500
    data = b"P5" + pad + b"2" + pad + b"1" + pad + b"255\n\x00\xff"
    assert parse_pnm(data).pixels == b"\x00\xff"


@pytest.mark.parametrize(("width", "height", "limit", "ok"),
                         [(10, 10, 100, True), (10, 10, 99, False), (1, 1, 1, True)])
def test_pixel_limit_is_the_callers(width: int, height: int, limit: int, ok: bool) -> None:
    data = p5([[7] * width for _ in range(height)], 255)
    if ok:
        assert parse_pnm(data, limit).width == width
    else:
        with pytest.raises(PNMError, match=rf"too large: {width}x{height} pixels \(at most {limit}\)"):
            parse_pnm(data, limit)


def test_header_token_of_a_million_digits() -> None:
    with pytest.raises(PNMError, match="width is too large"):
        parse_pnm(b"P4 " + b"9" * 1_000_000 + b" 1\n")
