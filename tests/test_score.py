"""score_finder: share of the 147 corner-window modules that match the finder pattern."""

from __future__ import annotations

import random

import pytest

from halvern import _zeltra

BUFFER_KINDS = [bytes, bytearray, memoryview]


def finder(x: int, y: int) -> int:
    if x in (0, 6) or y in (0, 6):
        return 1
    if x in (1, 5) or y in (1, 5):
        return 0
    return 1


def windows(size: int) -> list[tuple[int, int]]:
    """Every (row, column) of the top-left, top-right and bottom-left windows."""
    cells = []
    for ox, oy in ((0, 0), (size - 7, 0), (0, size - 7)):
        cells += [(oy + y, ox + x) for y in range(7) for x in range(7)]
    return cells


def reference(matrix: bytes, size: int) -> float:
    if size <= 20 or len(matrix) < size * size:
        return 0.0
    matches = 0
    for ox, oy in ((0, 0), (size - 7, 0), (0, size - 7)):
        for y in range(7):
            for x in range(7):
                val = 1 if matrix[(oy + y) * size + ox + x] else 0
                matches += val == finder(x, y)
    return matches / 147.0


def perfect(size: int, fill: int = 0) -> bytearray:
    m = bytearray([fill]) * (size * size)
    for ox, oy in ((0, 0), (size - 7, 0), (0, size - 7)):
        for y in range(7):
            for x in range(7):
                m[(oy + y) * size + ox + x] = finder(x, y)
    return m


def transpose(matrix: bytes, size: int) -> bytes:
    return bytes(matrix[c * size + r] for r in range(size) for c in range(size))


@pytest.mark.parametrize("kind", BUFFER_KINDS)
@pytest.mark.parametrize("size", [21, 25, 57, 177])
def test_uniform_matrices(size, kind):
    assert _zeltra.score_finder(kind(bytes(size * size)), size) == 48 / 147 == 0.32653061224489793
    dark = bytes([1]) * (size * size)
    assert _zeltra.score_finder(kind(dark), size) == 99 / 147 == 0.673469387755102


@pytest.mark.parametrize("dark", [1, 255, 128])
def test_any_nonzero_byte_is_dark(dark):
    m = bytes(dark * b for b in perfect(21, fill=1))
    assert _zeltra.score_finder(m, 21) == 1.0


@pytest.mark.parametrize("fill", [0, 1, 77])
def test_perfect_windows_score_one_whatever_else(fill):
    m = perfect(29, fill)
    rng, cells = random.Random(fill), set(windows(29))
    for i in range(len(m)):
        if (i // 29, i % 29) not in cells:
            m[i] = rng.randrange(256)
    assert _zeltra.score_finder(bytes(m), 29) == 1.0


def test_one_flipped_module_in_a_window():
    for size in (21, 22):
        for r, c in windows(size):
            m = perfect(size)
            m[r * size + c] ^= 1
            assert _zeltra.score_finder(bytes(m), size) == 146 / 147 == 0.9931972789115646


def test_flip_outside_the_windows_is_ignored():
    for r in range(21 - 7, 21):
        for c in range(21 - 7, 21):  # the bottom-right corner is never read
            m = perfect(21)
            m[r * 21 + c] ^= 1
            assert _zeltra.score_finder(bytes(m), 21) == 1.0


def test_transposition_leaves_the_score():
    rng = random.Random(1)
    for _ in range(40):
        size = rng.randint(21, 40)
        m = bytes(rng.randrange(2) for _ in range(size * size))
        assert _zeltra.score_finder(transpose(m, size), size) == _zeltra.score_finder(m, size)


def test_matches_reference_on_random_matrices():
    rng = random.Random(2)
    for _ in range(300):
        size = rng.randint(15, 60)
        m = perfect(size, fill=rng.randrange(2))
        for _ in range(rng.randrange(60)):  # damage some modules, windows and elsewhere
            m[rng.randrange(len(m))] = rng.choice((0, 1, 2, 255))
        extra = rng.choice((0, 0, -1, 3, 100))
        tail = bytes(rng.randrange(2) for _ in range(max(extra, 0)))
        buf = bytes(m[: len(m) + extra] if extra < 0 else m + tail)
        assert _zeltra.score_finder(buf, size) == reference(buf, size), (size, extra)


def test_longer_buffer_reads_only_the_matrix():
    rng = random.Random(3)
    m = bytes(rng.randrange(2) for _ in range(441))
    for tail in (bytes(10), bytes([1]) * 10, bytes(1000)):
        assert _zeltra.score_finder(m + tail, 21) == _zeltra.score_finder(m, 21) == reference(m, 21)


@pytest.mark.parametrize(
    ("matrix", "size"),
    [
        (bytes(perfect(21))[:-1], 21),  # one byte short
        (b"", 21),
        (bytes(perfect(20)), 20),  # below 21 nothing is scored
        (bytes(perfect(21)), 20),
        (bytes([1]) * 400, 20),
        (bytes(441), -21),
        (bytes(441), -(2**31)),
        (bytes(441), 0),
        (bytes(441), 50000),
        (bytes(441), 46341),  # the square leaves the signed 32-bit range
        (bytes(131073), 65537),  # the square wraps to 131073 in 32 bits
        (bytes(441), 2**31 - 1),  # the square wraps to 1 in 32 bits
    ],
)
def test_nothing_to_score(matrix, size):
    assert _zeltra.score_finder(matrix, size) == 0.0


def test_buffer_released():
    buf = bytearray(perfect(21))
    assert _zeltra.score_finder(buf, 21) == 1.0
    buf.append(0)
    with pytest.raises(TypeError):
        _zeltra.score_finder(buf, 21.0)
    buf.append(0)


@pytest.mark.parametrize(
    "args", [("x" * 441, 21), (bytes(441),), (bytes(441), 21, 0), (bytes(441), "21")]
)
def test_bad_arguments(args):
    with pytest.raises(TypeError):
        _zeltra.score_finder(*args)
