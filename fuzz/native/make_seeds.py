"""Writes the native fuzz targets' seed corpus (fuzz/native/corpus/TARGET/NAME).

Each seed is laid out as its target reads its input (see the header of each file in
targets/): segno symbols as matrices, as bits pictures and as gray pictures, and bit
streams of every segment kind written here. Small on purpose: the fuzzer grows the
corpus itself; the seeds only start it where the engine's deep paths are.

    python fuzz/native/make_seeds.py
"""

from __future__ import annotations

import random
import struct
from collections.abc import Callable
from pathlib import Path

import segno

CORPUS = Path(__file__).resolve().parent / "corpus"
QUIET = 4
Matrix = list[list[int]]


def packed_bits(values: list[int]) -> bytes:
    values = values + [0] * (-len(values) % 8)
    return bytes(sum(v << (7 - j) for j, v in enumerate(values[i:i + 8]))
                 for i in range(0, len(values), 8))


def qr(text: str, version: int, error: str, **kw: object) -> Matrix:
    symbol = segno.make_qr(text, version=version, error=error, boost_error=False, **kw)
    return [list(row) for row in symbol.matrix]


def framed(matrix: Matrix, quiet: int = QUIET) -> Matrix:
    side = len(matrix[0]) + 2 * quiet
    blank = [[0] * side for _ in range(quiet)]
    return blank + [[0] * quiet + row + [0] * quiet for row in matrix] + blank


def side_by_side(*matrices: Matrix) -> Matrix:
    tiles = [framed(m) for m in matrices]
    height = max(len(t) for t in tiles)
    tiles = [t + [[0] * len(t[0])] * (height - len(t)) for t in tiles]
    return [sum((t[r] for t in tiles), []) for r in range(height)]


def smudged(matrix: Matrix, seed: int) -> Matrix:
    """The data area past the finders flipped at random: located, never decoded."""
    rng = random.Random(seed)
    n = len(matrix)
    return [[v ^ (rng.random() < 0.5) if 9 <= r < n - 9 and c >= 9 else v
             for c, v in enumerate(row)] for r, row in enumerate(matrix)]


def flags(invert: bool = True, keep: bool = True, binarizer: int = 0) -> int:
    return int(invert) | int(keep) << 1 | binarizer << 2


def bits_seed(canvas: Matrix, scale: int, pad: int, flag: int) -> bytes:
    header = bytes([flag, scale - 1]) + struct.pack("<H", len(canvas[0]) - 1) + bytes([pad])
    return header + packed_bits([v for row in canvas for v in row])


def gray_seed(canvas: Matrix, scale: int, pad: int, flag: int,
              level: Callable[[int, int, int], int]) -> bytes:
    header = bytes([flag, scale - 1]) + struct.pack("<H", len(canvas[0]) - 1) + bytes([pad, 0x5A])
    return header + bytes(level(x, y, v) for y, row in enumerate(canvas) for x, v in enumerate(row))


def matrix_seed(matrix: Matrix, family: int = 0, size_index: int | None = None) -> bytes:
    """Family 0 QR, 1 Micro QR, 2 rMQR (its size index in the engine's table, which is
    rmqrcode's order)."""
    if size_index is None:
        size_index = (len(matrix) - 17) // 4 - 1
    return bytes([family, size_index]) + packed_bits([v for row in matrix for v in row])


def micro_seed(text: str, version: str) -> bytes:
    m = [list(row) for row in segno.make_micro(text, version=version).matrix]
    return matrix_seed(m, 1, (len(m) - 11) // 2)


def rmqr_seed(text: str, name: str) -> bytes:
    import rmqrcode
    from rmqrcode.format.rmqr_versions import rMQRVersions

    symbol = rmqrcode.rMQR(name, rmqrcode.ErrorCorrectionLevel.M)
    symbol.add_segment(text)
    symbol.make()
    return matrix_seed(symbol.to_list(with_quiet_zone=False), 2, list(rMQRVersions).index(name))


class Stream:
    """A data bit stream written field by field (version 1-9 count widths)."""

    COUNT_BITS = {1: 10, 2: 9, 4: 8, 8: 8, 13: 8}
    ALPHANUMERIC = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ $%*+-./:"

    def __init__(self) -> None:
        self.bits: list[int] = []

    def put(self, value: int, width: int) -> Stream:
        self.bits += [(value >> (width - 1 - i)) & 1 for i in range(width)]
        return self

    def numeric(self, digits: str) -> Stream:
        self.put(1, 4).put(len(digits), self.COUNT_BITS[1])
        for i in range(0, len(digits), 3):
            group = digits[i:i + 3]
            self.put(int(group), {3: 10, 2: 7, 1: 4}[len(group)])
        return self

    def alphanumeric(self, text: str) -> Stream:
        self.put(2, 4).put(len(text), self.COUNT_BITS[2])
        values = [self.ALPHANUMERIC.index(c) for c in text]
        for i in range(0, len(values) - 1, 2):
            self.put(values[i] * 45 + values[i + 1], 11)
        if len(values) % 2:
            self.put(values[-1], 6)
        return self

    def byte(self, data: bytes) -> Stream:
        self.put(4, 4).put(len(data), self.COUNT_BITS[4])
        for b in data:
            self.put(b, 8)
        return self

    def kanji(self, values: list[int]) -> Stream:
        self.put(8, 4).put(len(values), self.COUNT_BITS[8])
        for v in values:
            self.put(v, 13)
        return self

    def hanzi(self, values: list[int]) -> Stream:
        self.put(13, 4).put(1, 4).put(len(values), self.COUNT_BITS[13])
        for v in values:
            self.put(v, 13)
        return self

    def seed(self, version: int = 1) -> bytes:
        self.put(0, 4)
        return bytes([version - 1, 0]) + packed_bits(self.bits)


def symbols() -> list[tuple[str, Matrix]]:
    return [
        ("v1-M-byte", qr("halvern", 1, "m")),
        ("v2-Q-numeric", qr("31415926535897932384", 2, "q")),
        ("v3-H-alphanumeric", qr("HALVERN FUZZ $%*+-./:", 3, "h")),
        ("v5-L-kanji", qr("点茗", 5, "l")),
        ("v7-M-version-info", qr("version information from seven on", 7, "m")),
        ("v2-L-eci", qr("Grüße", 2, "l", eci=True, encoding="utf-8")),
    ]


def mask_pattern_only() -> Matrix:
    """A version 2 symbol whose data modules are mask 0's pattern (a checkerboard): the
    codewords unmask to zeros, which the decoder must refuse (a soak finding)."""
    matrix = qr("x", 2, "m", mask=0)
    n = len(matrix)
    frame = [[r < 9 and (c < 9 or c >= n - 8) or (r >= n - 8 and c < 9) or r == 6 or c == 6
              or (16 <= r <= 20 and 16 <= c <= 20) for c in range(n)] for r in range(n)]
    return [[v if frame[r][c] else int((r + c) % 2 == 0) for c, v in enumerate(row)]
            for r, row in enumerate(matrix)]


def structured_append() -> Matrix:
    parts = segno.make_sequence("a structured append sequence", version=1, error="l")
    return [list(row) for row in parts[0].matrix]


def write_seeds() -> dict[str, int]:
    seeds: dict[str, dict[str, bytes]] = {t: {} for t in
                                           ("read_bits", "read_gray", "decode_matrix", "parse_segments")}
    matrices = symbols() + [("v1-L-structured-append", structured_append()),
                            ("regress-v2-mask-pattern-only", mask_pattern_only())]
    for name, matrix in matrices:
        seeds["decode_matrix"][name] = matrix_seed(matrix)
    seeds["decode_matrix"] |= {
        "micro-M2": micro_seed("31415", "M2"), "micro-M4": micro_seed("halvern micro", "M4"),
        "rmqr-R7x59": rmqr_seed("halvern", "R7x59"), "rmqr-R13x77": rmqr_seed("rectangular", "R13x77"),
    }
    one, three = qr("halvern", 1, "m"), qr("HALVERN FUZZ $%*+-./:", 3, "h")
    inverted = [[1 - v for v in row] for row in framed(one)]
    mirrored = [list(row) for row in zip(*framed(qr("31415926535897932384", 2, "q")))]
    seeds["read_bits"] |= {
        "v1-scale-3": bits_seed(framed(one), 3, 5, flags()),
        "two-symbols": bits_seed(side_by_side(one, three), 2, 0, flags(keep=False)),
        "light-on-dark": bits_seed(inverted, 2, 3, flags()),
        "mirrored": bits_seed(mirrored, 3, 0, flags()),
        "smudged-kept": bits_seed(framed(smudged(three, 7)), 3, 1, flags()),
    }
    seeds["read_gray"] |= {
        "v1-two-levels": gray_seed(framed(one), 3, 7, flags(), lambda x, y, v: 40 if v else 200),
        "v3-lit-from-one-side": gray_seed(framed(three), 2, 0, flags(binarizer=1),
                                          lambda x, y, v: (20 if v else 150) + 2 * x),
        "v1-light-on-dark-global": gray_seed(inverted, 4, 2, flags(binarizer=2),
                                             lambda x, y, v: 60 if v else 230),
    }
    seeds["parse_segments"] |= {
        "mixed": Stream().numeric("0123456789").alphanumeric("AB%C").byte(b"\x00\xff").seed(),
        "eci-byte": Stream().put(7, 4).put(26, 8).byte("é".encode()).seed(),
        "kanji-hanzi": Stream().kanji([0, 0x1ABC]).hanzi([0, 0x0A00]).seed(2),
        "fnc1-second": Stream().put(9, 4).put(37, 8).alphanumeric("01%%9").seed(),
        "structured-append": Stream().put(3, 4).put(0x12A5, 16).byte(b"part").seed(),
    }
    counts = {}
    for target, files in seeds.items():
        folder = CORPUS / target
        folder.mkdir(parents=True, exist_ok=True)
        for name, data in files.items():
            (folder / name).write_bytes(data)
        counts[target] = len(files)
    return counts


if __name__ == "__main__":
    for target, count in write_seeds().items():
        print(f"{target}: {count} seeds")
