"""Layout geometry and strict restoration, checked against matrices drawn by segno."""

from __future__ import annotations

import random
from functools import lru_cache

import numpy as np
import pytest
import segno

from halvern import _engine
from halvern._restore import (
    FormatInfo,
    format_info,
    strict_restore_qr_matrix,
    version_info,
)
from tests._layout import (
    FORMAT_CODEWORDS,
    alignment_positions,
    format_positions,
    function_mask,
    size_for_version,
    version_for_size,
    version_positions,
)

# Total codewords per version, and the remainder bits that pad the data region.
TOTAL_CODEWORDS = (
    26, 44, 70, 100, 134, 172, 196, 242, 292, 346, 404, 466, 532, 581, 655, 733, 815, 901, 991,
    1085, 1156, 1258, 1364, 1474, 1588, 1706, 1828, 1921, 2051, 2185, 2323, 2465, 2611, 2761, 2876,
    3034, 3196, 3362, 3532, 3706,
)  # fmt: skip


def remainder_bits(version: int) -> int:
    for last, bits in ((1, 0), (6, 7), (13, 0), (20, 3), (27, 4), (34, 3), (40, 0)):
        if version <= last:
            return bits
    raise AssertionError(version)


MASK_PATTERNS = (
    lambda i, j: (i + j) % 2 == 0,
    lambda i, j: i % 2 == 0,
    lambda i, j: j % 3 == 0,
    lambda i, j: (i + j) % 3 == 0,
    lambda i, j: (i // 2 + j // 3) % 2 == 0,
    lambda i, j: (i * j) % 2 + (i * j) % 3 == 0,
    lambda i, j: ((i * j) % 2 + (i * j) % 3) % 2 == 0,
    lambda i, j: ((i + j) % 2 + (i * j) % 3) % 2 == 0,
)


@lru_cache(maxsize=None)
def qr(version: int, level: str = "M", mask: int = 0, data: str = "halvern") -> tuple[bytes, int]:
    rows = segno.make_qr(data, version=version, error=level, mask=mask, boost_error=False).matrix
    return bytes(v for row in rows for v in row), len(rows)


def flipped(matrix: bytes, size: int, cells: list[tuple[int, int]]) -> bytes:
    out = bytearray(matrix)
    for r, c in cells:
        out[r * size + c] ^= 1
    return bytes(out)


def written(matrix: bytes, size: int, cells: tuple[tuple[int, int], ...], word: int) -> bytes:
    out = bytearray(matrix)
    for bit, (r, c) in enumerate(cells):
        out[r * size + c] = (word >> bit) & 1
    return bytes(out)


def read(matrix: bytes, size: int, cells: tuple[tuple[int, int], ...]) -> int:
    return sum(matrix[r * size + c] << bit for bit, (r, c) in enumerate(cells))


VERSION_MISMATCH = r"^Version information does not match the size\.$"

# A 15-bit word at least 4 bit errors from every format codeword: unreadable.
GARBAGE_FORMAT = next(
    w for w in range(1 << 15) if min((w ^ cw).bit_count() for cw in FORMAT_CODEWORDS) >= 4
)


# ---- layout ---------------------------------------------------------------------------------


@pytest.mark.parametrize("version", range(1, 41))
def test_data_module_count_matches_capacity(version: int) -> None:
    size = size_for_version(version)
    data_modules = size * size - sum(function_mask(size))
    assert data_modules == 8 * TOTAL_CODEWORDS[version - 1] + remainder_bits(version)


@pytest.mark.parametrize("version", range(2, 41))
def test_alignment_positions_shape(version: int) -> None:
    coords = alignment_positions(version)
    assert len(coords) == version // 7 + 2
    assert coords[0] == 6 and coords[-1] == size_for_version(version) - 7
    steps = {b - a for a, b in zip(coords[1:], coords[2:])}
    assert len(steps) <= 1 and all(s % 2 == 0 for s in steps)


@pytest.mark.parametrize(
    ("version", "expected"),
    [
        (1, ()),
        (2, (6, 18)),
        (7, (6, 22, 38)),
        (32, (6, 34, 60, 86, 112, 138)),  # first gap 28, wider than the rest
        (38, (6, 32, 58, 84, 110, 136, 162)),
        (40, (6, 30, 58, 86, 114, 142, 170)),
    ],
)
def test_alignment_positions_known(version: int, expected: tuple[int, ...]) -> None:
    assert alignment_positions(version) == expected


@pytest.mark.parametrize("version", [1, 2, 7, 14, 40])
def test_function_mask_against_mask_patterns(version: int) -> None:
    # Across the eight masks of one message, data modules change exactly as
    # the mask patterns do, and non-format function modules never change.
    size = size_for_version(version)
    symbols = [qr(version, "L", k)[0] for k in range(8)]
    fmask = function_mask(size)
    format_cells = {rc for copy in format_positions(size) for rc in copy}
    for i in range(size):
        for j in range(size):
            pattern = [MASK_PATTERNS[k](i, j) ^ MASK_PATTERNS[0](i, j) for k in range(8)]
            seen = [symbols[k][i * size + j] ^ symbols[0][i * size + j] for k in range(8)]
            if not any(pattern) or (i, j) in format_cells:
                continue
            assert seen == (pattern if not fmask[i * size + j] else [0] * 8), (i, j)


@pytest.mark.parametrize("size", [20, 22, 178, 0, -3, 17, 181, True, 21.0, "21", None])
def test_not_a_size(size: object) -> None:
    with pytest.raises(ValueError, match=r"^Not a QR symbol size\.$"):
        version_for_size(size)  # type: ignore[arg-type]
    with pytest.raises(ValueError, match=r"^Not a QR symbol size\.$"):
        strict_restore_qr_matrix(bytes(177 * 177), size)  # type: ignore[arg-type]


# ---- restoration ----------------------------------------------------------------------------

CONFIGS = [
    (1, "L", 0), (1, "H", 7), (2, "M", 3), (7, "Q", 1), (10, "H", 5), (40, "L", 6), (40, "Q", 2)
]  # fmt: skip


@pytest.mark.parametrize("level", "LMQH")
@pytest.mark.parametrize("mask", range(8))
def test_format_info_every_codeword(level: str, mask: int) -> None:
    assert format_info(*qr(1, level, mask)) == FormatInfo(level, mask, 0)


@pytest.mark.parametrize("version", range(7, 41))
def test_version_info_every_codeword(version: int) -> None:
    assert version_info(*qr(version)) == 0


def damage(kind: str, matrix: bytes, size: int) -> bytes:
    first, second = format_positions(size)
    coords = alignment_positions(version_for_size(size))
    top_right, bottom_left = version_positions(size)
    a = coords[-1] if coords else 0
    alignment = [(a, a), (a - 2, a + 1), (a + 1, a - 2)] if coords else []
    if len(coords) > 2:
        alignment.append((coords[1] + 1, a))
    flips = {
        "none": [],
        "finders": [(r, c) for r in range(7) for c in range(7)] + [(size - 1, 0), (3, size - 4)],
        "separators": [(7, 0), (3, 7), (size - 8, 5), (7, size - 1)],
        "timing": [(6, 8), (6, size - 9), (9, 6), (size // 2, 6)],
        "alignment": alignment,
        "dark": [(size - 8, 8)],
        "format-3-errors": [first[0], first[7], first[14]],
        "format-first-lost": [],
        "format-second-lost": [first[3], first[9]],
        "version-bits": [*top_right[::8], *bottom_left],
    }[kind]
    if kind.endswith("lost"):
        matrix = written(matrix, size, first if "first" in kind else second, GARBAGE_FORMAT)
    return flipped(matrix, size, flips)


DAMAGE = ["none", "finders", "separators", "timing", "alignment", "dark", "format-3-errors",
          "format-first-lost", "format-second-lost", "version-bits"]  # fmt: skip


@pytest.mark.parametrize("kind", DAMAGE)
@pytest.mark.parametrize(("version", "level", "mask"), CONFIGS)
def test_function_damage_is_repaired(kind: str, version: int, level: str, mask: int) -> None:
    matrix, size = qr(version, level, mask)
    data_cells = [(i // size, i % size) for i, f in enumerate(function_mask(size)) if not f]
    data_flips = data_cells[:: len(data_cells) // 23]
    noisy = damage(kind, flipped(matrix, size, data_flips), size)
    assert strict_restore_qr_matrix(noisy, size) == flipped(matrix, size, data_flips)
    info = format_info(noisy, size)
    assert (info.error_correction, info.mask) == (level, mask)
    assert version_info(noisy, size) == (3 if kind == "version-bits" and version >= 7 else 0)


def as_2d(matrix: bytes, order: str = "C") -> np.ndarray:
    size = int(len(matrix) ** 0.5)
    return np.frombuffer(matrix, dtype=np.uint8).reshape(size, size).copy(order=order)


BUFFER_KINDS = {
    "bytes": bytes,
    "bytearray": bytearray,
    "memoryview": memoryview,
    "numpy-2d": as_2d,
    "numpy-bool": lambda m: as_2d(m).astype(bool),
    "numpy-fortran": lambda m: as_2d(m, "F"),  # not C-contiguous, same logical rows
    "dark-is-255": lambda m: bytes(255 * v for v in m),
    "longer": lambda m: m + b"\x01" * 50,
}


@pytest.mark.parametrize("kind", BUFFER_KINDS)
def test_buffer_kinds(kind: str) -> None:
    matrix, size = qr(7, "H", 4)
    assert strict_restore_qr_matrix(BUFFER_KINDS[kind](matrix), size) == matrix


def test_numpy_integer_size() -> None:
    matrix, size = qr(2)
    assert strict_restore_qr_matrix(matrix, np.int64(size)) == matrix  # type: ignore[arg-type]


def test_wide_items_are_refused() -> None:
    matrix, size = qr(1)
    with pytest.raises(TypeError):
        strict_restore_qr_matrix(np.frombuffer(matrix, dtype=np.uint8).astype(np.int32), size)


def test_short_buffer() -> None:
    matrix, size = qr(2)
    for fn in (strict_restore_qr_matrix, format_info, version_info):
        with pytest.raises(ValueError, match=r"^Matrix is shorter than size \* size\.$"):
            fn(matrix[:-1], size)


@pytest.mark.parametrize("version", [1, 7, 40])
def test_both_format_copies_unreadable(version: int) -> None:
    matrix, size = qr(version, "Q", 3)
    first, second = format_positions(size)
    broken = written(written(matrix, size, first, GARBAGE_FORMAT), size, second, GARBAGE_FORMAT)
    for fn in (strict_restore_qr_matrix, format_info):
        with pytest.raises(ValueError, match=r"^Format information is unreadable\.$"):
            fn(broken, size)
    # Four errors in one copy are too many even with the other copy gone.
    four = flipped(written(matrix, size, second, GARBAGE_FORMAT), size, list(first[:4]))
    with pytest.raises(ValueError, match=r"^Format information is unreadable\.$"):
        strict_restore_qr_matrix(four, size)


@pytest.mark.parametrize(("version", "other"), [(7, 8), (10, 40), (40, 39)])
def test_version_info_of_another_version(version: int, other: int) -> None:
    matrix, size = qr(version)
    other_matrix, other_size = qr(other)
    other_word = read(other_matrix, other_size, version_positions(other_size)[0])
    top_right, bottom_left = version_positions(size)
    one_wrong = written(matrix, size, top_right, other_word)
    assert strict_restore_qr_matrix(one_wrong, size) == matrix
    both_wrong = written(one_wrong, size, bottom_left, other_word)
    four_errors_each = flipped(matrix, size, [*top_right[:4], *bottom_left[4:8]])
    for broken in (both_wrong, four_errors_each):
        for fn in (strict_restore_qr_matrix, version_info):
            with pytest.raises(ValueError, match=VERSION_MISMATCH):
                fn(broken, size)


@pytest.mark.parametrize(
    ("errors_first", "errors_second", "winner"),
    [(0, 0, 0), (2, 2, 0), (3, 3, 0), (1, 0, 1), (3, 2, 1), (2, 3, 0), (4, 3, 1), (3, 4, 0)],
)
def test_format_copy_tie_rule(errors_first: int, errors_second: int, winner: int) -> None:
    # Two different formats, one per copy; the copy with fewer errors wins, the first on a tie.
    matrix_a, size = qr(2, "L", 1)
    matrix_b, _ = qr(2, "H", 6)
    first, second = format_positions(size)
    mixed = written(matrix_a, size, second, read(matrix_b, size, second))
    mixed = flipped(mixed, size, list(first[:errors_first]) + list(second[:errors_second]))
    expected, level, mask = [(matrix_a, "L", 1), (matrix_b, "H", 6)][winner]
    errors = (errors_first, errors_second)[winner]
    assert format_info(mixed, size) == FormatInfo(level, mask, errors)
    restored = strict_restore_qr_matrix(mixed, size)
    for copy in (first, second):
        assert read(restored, size, copy) == read(expected, size, copy)


# ---- information words on their own ---------------------------------------------------------


def bch(data: int, generator: int) -> int:
    check_bits = generator.bit_length() - 1
    remainder = data << check_bits
    for bit in range(remainder.bit_length() - 1, check_bits - 1, -1):
        if remainder >> bit & 1:
            remainder ^= generator << (bit - check_bits)
    return data << check_bits | remainder


VERSION_CODEWORDS = {v: bch(v, 0b1111100100101) for v in range(7, 41)}


def test_every_format_word_decodes_to_the_nearest_codeword() -> None:
    decoded = _engine._format_words()
    for word in range(1 << 15):
        errors, data = min(((word ^ cw).bit_count(), d) for d, cw in enumerate(FORMAT_CODEWORDS))
        assert decoded[word] == (data if errors <= 3 else -1), word


def test_version_words_decode_within_three_bit_errors() -> None:
    rng = random.Random(18)
    words = [rng.randrange(1 << 18) for _ in range(3000)]
    for codeword in VERSION_CODEWORDS.values():
        for errors in range(5):
            words.append(codeword ^ sum(1 << b for b in rng.sample(range(18), errors)))
    for word in words:
        errors, version = min(((word ^ cw).bit_count(), v) for v, cw in VERSION_CODEWORDS.items())
        assert _engine._version_word(word) == (version if errors <= 3 else 0), word
