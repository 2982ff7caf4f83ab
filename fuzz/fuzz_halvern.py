"""Fuzz harness for halvern._zeltra, the strict restoration, the native decoder and
the native reader with its Python entry points.

Every input is a byte string that is decoded, front to back, into one call: which
function, the bits image (its buffer kind, length, size and content), and the other
arguments, drawn from pools of awkward values (zero and negative sides, sides near
the 32-bit limits, inverted and off-image boxes, NaN, infinities, 1e300, -0.0, even,
odd and huge windows) or from the raw bytes. An exhausted input reads as zeros, so
every byte string is a valid input and a file replays the same call every time.

Each call must return a result of its documented shape or raise one of the
documented exceptions; a bytearray argument must be resizable afterwards (its buffer
export released) and the argument's reference count must not change. Cheap exact
checks of the documented arithmetic (black box, module size, finder score, small
box-grid samplings) are made as well, since they cost little beside the call.

The reader targets draw pictures of at most READ_PIXELS pixels: segno symbols turned,
mirrored, scaled and damaged, noise, planted finders, stripes, 1 x N and N x 1 strips;
laid out at drawn strides in buffers that end with the last pixel; read with drawn
binarizers and flags, or as NumPy arrays of drawn dtypes, channels and strides with
non-finite values. Records must be well formed (finite geometry, decoded ones first,
modules that decode to the record's content), the same picture read packed and strided
must give the same records, a bits picture and its gray twin the same content, and a
symbol drawn cleanly must be read with its payload, corners, orientation and mirroring.

Usage:
    python fuzz/fuzz_halvern.py --replay fuzz/corpus          # run every corpus input once
    python fuzz/fuzz_halvern.py --seconds 60                  # fuzz for a bounded time
    python fuzz/fuzz_halvern.py --seconds 60 --driver random  # without atheris

With atheris installed the fuzzing is coverage-guided by atheris/libFuzzer (the
Python code of the package and of this harness is instrumented; the native module
is not built for coverage, so its paths are reached through the harness's own
branches). Without it, or with --driver random, a seeded random driver mutates the
corpus with the usual libFuzzer-style operations and feeds the same decoder; it writes
each input to ARTIFACTS/current-input before running it, so that a sanitizer abort
leaves the culprit behind. Under a preloaded compiler sanitizer runtime (the CI's
sanitizer stage) use the random driver: libFuzzer's coverage hooks then resolve to
that runtime and atheris runs blind, at a fifth of the speed.
"""

from __future__ import annotations

import argparse
import array
import functools
import math
import os
import random
import re
import struct
import sys
import tempfile
import time
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path

HERE = Path(__file__).resolve().parent
DEFAULT_CORPUS = HERE / "corpus"

MAX_PIXELS = 1 << 16  # largest image a single input builds
# Bound on the work of one sampling call: modules times pixels read per module.
AFFINE_BUDGET = 3_000_000
GRID_BUDGET = 200_000  # modules of one sample_matrix_3x3 call (nine reads each)
MAX_SIZE = 46340  # the largest QR size whose square fits a signed 32-bit length

I32_MIN, I32_MAX = -(2**31), 2**31 - 1
NAN, INF = math.nan, math.inf

# fmt: off
INT_POOL = (
    0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 20, 21, 22, 25, 29, 33, 63, 64, 177, 255, 256,
    257, 1023, 46339, 46340, 46341, 50000, 65535, 65536, 65537, 1 << 30, (1 << 30) + 1,
    I32_MAX, I32_MAX - 1, I32_MAX - 2, -1, -2, -3, -4, -5, -65536, I32_MIN, I32_MIN + 1,
)
SIZE_POOL = tuple(range(-5, 30)) + (33, 37, 41, 45, 57, 101, 177, 178, 300, 46340, 46341, 50000)
WINDOW_POOL = (
    1, 3, 5, 7, 9, 11, 15, 31, 63, 127, 255, 1001, 65535, 65537, 0, -1, -3, 2, 4, 100,
    I32_MAX, I32_MAX - 2, I32_MAX - 1, (1 << 30) + 1, I32_MIN, I32_MIN + 1,
)
FLOAT_POOL = (
    0.0, -0.0, NAN, -NAN, INF, -INF, 1e300, -1e300, 5e-324, -5e-324, 2.2250738585072014e-308,
    0.5, -0.5, 1.0, -1.0, 3.5, 3.4999999999999996, 7.0, 14.0, 100.0, 1e6, -1e6, 1.5e9, -1.5e9,
    2.0**31, -(2.0**31), 2.0**47, -(2.0**47), 2.0**53, 2.0**63, -(2.0**63), 2.0**64, 1e19,
    -1e19, 1e-300, 0.1, 0.49999999999999994, 65535.99999999999,
)
# fmt: on
VARIANCE_POOL = (0.5, 0.25, 0.7, 1.0, 0.0, -0.0, -0.5, NAN, INF, -INF, 1e300, 5e-324, 1e-12, 3.0)
DARK_VALUES = (1, 255, 128, 2, 0x7F)

# Arguments the parser must refuse, by the kind of argument they replace.
BAD_INT = (None, 1.5, "3", b"3", (1,), 2**31, -(2**31) - 1, 2**63, 10**30, 1j)
BAD_DOUBLE = (None, "1.0", b"1", (1.0,), 10**400, -(10**400), 1j)
BAD_BOX = ((0, 0, 1), (0, 0, 1, 1, 1), (0, 0, 1.0, 1), (0, 0, 1, 2**31), 5, None, "abcd", ())
PARSE_ERRORS = (TypeError, OverflowError, BufferError)


class Draw:
    """Reads values from the front of the input; past its end every byte is 0."""

    def __init__(self, data: bytes) -> None:
        self.data = data
        self.pos = 0

    def byte(self) -> int:
        if self.pos >= len(self.data):
            return 0
        value = self.data[self.pos]
        self.pos += 1
        return value

    def raw(self, n: int) -> bytes:
        chunk = self.data[self.pos : self.pos + n]
        self.pos += len(chunk)
        return chunk + bytes(n - len(chunk))

    def uint(self, nbytes: int) -> int:
        return int.from_bytes(self.raw(nbytes), "little")

    def below(self, n: int) -> int:
        if n <= 1:
            return 0
        return self.uint(1 if n <= 256 else 2 if n <= 65536 else 4) % n

    def pick(self, seq):
        return seq[self.below(len(seq))]

    def chance(self, one_in: int) -> bool:
        # Zero bytes (an exhausted input) answer no: the plain case is the default.
        return self.below(one_in) == one_in - 1

    def int32(self) -> int:
        mode = self.below(8)
        if mode < 4:
            return self.pick(INT_POOL)
        if mode == 4:
            return struct.unpack("<i", self.raw(4))[0]
        if mode == 5:
            return self.below(80) - 8
        base = self.pick(INT_POOL)
        return max(I32_MIN, min(I32_MAX, base + self.below(7) - 3))

    def double(self, scale: float = 100.0) -> float:
        mode = self.below(8)
        if mode < 3:
            return self.pick(FLOAT_POOL)
        if mode == 3:
            return struct.unpack("<d", self.raw(8))[0]  # any bit pattern, NaN payloads too
        if mode == 4:
            return float(self.int32())
        if mode == 5:
            return self.below(1 << 16) / 65536.0 * scale  # fractions of 16.16 steps
        return (self.below(1 << 16) - 32768) / 256.0 * (scale / 64.0)


# ------------------------------------------------------------------------- images


def finder_value(x: int, y: int) -> int:
    if x in (0, 6) or y in (0, 6):
        return 1
    if x in (1, 5) or y in (1, 5):
        return 0
    return 1


@functools.cache
def finder_rows(m: int, dark: int) -> tuple[bytes, ...]:
    return tuple(
        b"".join(bytes([dark if finder_value(mx, my) else 0]) * m for mx in range(7))
        for my in range(7)
    )


def paint_finder(img: bytearray, width: int, height: int, ox: int, oy: int, m: int, dark: int):
    """A finder pattern of module m whose top-left corner is (ox, oy), clipped."""
    x0, x1 = max(ox, 0), min(ox + 7 * m, width)
    if x0 >= x1:
        return
    for my, row in enumerate(finder_rows(m, dark)):
        piece = row[x0 - ox : x1 - ox]
        for py in range(max(oy + my * m, 0), min(oy + (my + 1) * m, height)):
            img[py * width + x0 : py * width + x1] = piece


def cross_line(n: int, m: int) -> bytes:
    """Black, white, black x 3, white of m pixels each, repeated over n pixels: every
    3m-run reads 1:1:3:1:1 with its neighbours."""
    period = b"\x01" * m + b"\x00" * m + b"\x01" * (3 * m) + b"\x00" * m
    return (period * (n // len(period) + 1))[:n]


def hostile_overlay(d: Draw, img: bytearray, width: int, height: int, dark: int) -> bytearray:
    """The tiled finders as drawn, or, over them, the images that defeat the finder
    scan's shortcuts: crosses packed edge to edge (a candidate record every few pixels,
    found through the merge grid) or full-height stripes that read 1:1:3:1:1 along
    every row (column walks refused on a centre run taller than a third of the image)."""
    kind = d.below(3)
    if kind == 0:
        return img
    m = 1 + d.below(3)
    row = cross_line(width, m)
    if kind == 1:
        col = cross_line(height, m)
        packed = bytearray(width * height)
        for y in range(height):
            if col[y]:
                packed[y * width : (y + 1) * width] = row
        return packed.translate(bytes([0, dark]) + bytes(254)) if dark != 1 else packed
    cuts = bytearray(row * height)
    for _ in range(d.below(5)):  # white cuts across some columns
        x, y = d.below(width), d.below(height)
        for py in range(y, min(height, y + 1 + d.below(height))):
            cuts[py * width + x] = 0
    return cuts


def image_content(d: Draw, length: int, width: int, height: int) -> bytearray:
    mode = d.below(9)
    dark = d.pick(DARK_VALUES)
    rng = random.Random(d.uint(4))
    if mode == 0:
        img = bytearray(length)
    elif mode == 1:
        img = bytearray([dark]) * length
    elif mode in (2, 3):
        # Random pixels at a drawn density, dark bytes of one value or of many.
        threshold = d.byte()
        table = bytes((dark if mode == 2 else (i | 1)) if i < threshold else 0 for i in range(256))
        img = bytearray(rng.randbytes(length).translate(table))
    elif mode == 4:
        img = bytearray(rng.randbytes(length))  # every byte value
    elif mode == 5 and width > 0 and height > 0 and width * height == length:
        # Finder patterns at drawn positions and module size over light noise.
        noise = d.byte() // 8
        table = bytes(dark if i < noise else 0 for i in range(256))
        img = bytearray(rng.randbytes(length).translate(table))
        m = 1 + d.below(6)
        for _ in range(1 + d.below(4)):
            paint_finder(
                img, width, height, d.below(width + 8) - 4, d.below(height + 8) - 4, m, dark
            )
    elif mode == 6 and width > 0 and height > 0 and width * height == length:
        # Stripes: runs of a fixed length along the rows or the columns.
        period = 1 + d.below(40)
        vertical = d.chance(2)
        if vertical:
            row = bytes(dark if (x // period) % 2 else 0 for x in range(width))
            img = bytearray(row * height)
        else:
            img = bytearray()
            for y in range(height):
                img += bytes([dark if (y // period) % 2 else 0]) * width
    elif mode == 7 and width > 0 and height > 0 and width * height == length:
        # Many small finder patterns: hundreds of candidate centres.
        m = 1 + d.below(2)
        pitch = 7 * m + 2 + d.below(3)
        img = bytearray(length)
        for oy in range(1, min(height, 24 * pitch), pitch):
            for ox in range(1, min(width, 24 * pitch), pitch):
                paint_finder(img, width, height, ox, oy, m, dark)
        img = hostile_overlay(d, img, width, height, dark)
    else:
        img = bytearray(d.raw(min(length, 64)).ljust(length, b"\0"))
    for _ in range(d.below(4)):  # a few single bytes at drawn places
        if length:
            img[d.below(length)] = d.byte()
    return img


def image_dims(d: Draw) -> tuple[int, int, int]:
    """width, height and the buffer length (usually width * height)."""
    mode = d.below(12)
    if mode < 6:
        limit = d.pick((4, 9, 16, 33, 64, 128, 256))
        width, height = 1 + d.below(limit), 1 + d.below(limit)
    elif mode == 6:
        width, height = d.below(9) - 4, d.below(9) - 4
    elif mode == 7:
        n = 1 + d.below(MAX_PIXELS)
        width, height = (n, 1) if d.chance(2) else (1, n)
    elif mode == 8:
        width, height = d.int32(), d.int32()
    elif mode == 9:
        width, height = d.pick(INT_POOL), d.below(6) - 1
        if d.chance(2):
            width, height = height, width
    else:
        width, height = 1 + d.below(300), 1 + d.below(300)
    if (
        width * height > MAX_PIXELS
        and width > 0
        and height > 0
        and width < 65536
        and height < 65536
    ):
        height = max(1, MAX_PIXELS // width)
    product = width * height
    lmode = d.below(16)
    if 0 <= product <= MAX_PIXELS and lmode < 13:
        length = product
    elif lmode == 13 and 0 <= product + 1 <= MAX_PIXELS:
        length = product + 1
    elif lmode == 14 and 1 <= product <= MAX_PIXELS:
        length = product - 1
    else:
        length = d.below(1025)
    return width, height, length


class Buffer:
    """A bits buffer in one of the kinds the functions accept, and its checks."""

    def __init__(self, d: Draw, content: bytearray) -> None:
        self.content = bytes(content)
        self.kind = d.below(7)
        self.base = None
        if self.kind == 0:
            self.obj = bytes(content)
        elif self.kind in (1, 2):
            self.obj = bytearray(content)
        elif self.kind == 3:
            self.obj = memoryview(bytes(content))
        elif self.kind == 4:
            self.base = bytearray(content)
            self.obj = memoryview(self.base)
        elif self.kind == 5:
            self.obj = array.array("B", content)
        else:
            # Items of several bytes: the functions read bytes, whatever the format.
            if len(content) % 2 == 0:
                self.obj = memoryview(bytes(content)).cast("H")
            else:
                self.obj = memoryview(bytes(content))
        self.watch = self.obj if len(content) > 1 else None
        self.refs = sys.getrefcount(self.watch) if self.watch is not None else 0

    def check_released(self, native: bool) -> None:
        if native and self.watch is not None:
            assert sys.getrefcount(self.watch) == self.refs, "argument reference count changed"
        if isinstance(self.obj, bytearray):
            self.obj.append(0)  # BufferError if an export were still held
            del self.obj[-1]
        elif self.base is not None:
            self.obj.release()  # BufferError while the view itself is still exported
            self.base.append(0)
            del self.base[-1]
        elif isinstance(self.obj, array.array):
            self.obj.append(0)
            self.obj.pop()


# ------------------------------------------------------------------ references


def black_bbox(bits: bytes, width: int, height: int):
    flat = bits.translate(bytes([0]) + bytes([1]) * 255)
    first, last = flat.find(1), flat.rfind(1)
    if first < 0:
        return None
    left = next(x for x in range(width) if 1 in flat[x::width])
    right = next(x for x in range(width - 1, -1, -1) if 1 in flat[x::width])
    return (left, first // width, right + 1, last // width + 1)


RUNS = re.compile(rb"(.)\1*", re.DOTALL)


def line_runs(line: bytes) -> list[int]:
    return [m.end() - m.start() for m in RUNS.finditer(line)]


def module_size(bits: bytes, width: int, height: int, box):
    """Low median of the run lengths of ten lines, on the box cut to the image."""
    left, top, right, bottom = box
    left, top = max(left, 0), max(top, 0)
    right, bottom = min(right, width), min(bottom, height)
    if left >= right or top >= bottom:
        return None
    runs: list[int] = []
    for k in range(5):
        y = top + ((bottom - top - 1) * k) // 4
        runs += line_runs(bits[y * width + left : y * width + right])
    for k in range(5):
        x = left + ((right - left - 1) * k) // 4
        runs += line_runs(bits[top * width + x : bottom * width : width])
    kept = sorted(r for r in runs if r > 1) or sorted(runs)
    count = max(len(kept) // 2, 1)
    if count % 2:
        return float(kept[count // 2])
    return (kept[count // 2 - 1] + kept[count // 2]) * 0.5


def finder_score(matrix: bytes, size: int) -> float:
    if size <= 20 or len(matrix) < size * size:
        return 0.0
    matches = 0
    for ox, oy in ((0, 0), (size - 7, 0), (0, size - 7)):
        for y in range(7):
            for x in range(7):
                matches += (matrix[(oy + y) * size + ox + x] != 0) == finder_value(x, y)
    return matches / 147.0


OFFSETS = (1.0 / 6.0, 0.5, 5.0 / 6.0)


def grid_3x3(bits: bytes, width: int, height: int, box, size: int) -> bytes:
    left, top, right, bottom = box
    bw = float(right - left) if right - left > 0 else 1.0
    bh = float(bottom - top) if bottom - top > 0 else 1.0

    def clamp(v: float, n: int) -> int:
        i = int(v)
        return 0 if i < 0 else n - 1 if i >= n else i

    out = bytearray(size * size)
    for my in range(size):
        y0 = (my * bh) / size + top
        y1 = ((my + 1) * bh) / size + top
        rows = [clamp((y1 - y0) * o + y0, height) for o in OFFSETS]
        for mx in range(size):
            x0 = (mx * bw) / size + left
            x1 = ((mx + 1) * bw) / size + left
            cols = [clamp((x1 - x0) * o + x0, width) for o in OFFSETS]
            votes = sum(bits[py * width + px] != 0 for py in rows for px in cols)
            out[my * size + mx] = votes > 4
    return bytes(out)


I64_MIN, I64_MAX = -(2**63), 2**63 - 1


def sat(v: int, lo: int = I64_MIN, hi: int = I64_MAX) -> int:
    return min(max(v, lo), hi)


def trunc64(x: float) -> int:
    """Truncation to signed 64 bits that saturates, NaN giving 0."""
    if math.isnan(x):
        return 0
    if x >= 2.0**63:
        return I64_MAX
    if x < -(2.0**63):
        return I64_MIN
    return int(x)


def axis_weights(c: int, radius: int, n: int) -> list[tuple[int, int]]:
    """(pixel, how many window positions c - radius .. c + radius clamp onto it)."""
    lo, hi = c - radius, c + radius
    first, last = min(max(lo, 0), n - 1), min(max(hi, 0), n - 1)
    if first == last:
        return [(first, hi - lo + 1)]
    return (
        [(first, first - lo + 1)]
        + [(p, 1) for p in range(first + 1, last)]
        + [(last, hi - last + 1)]
    )


def grid_affine(bits: bytes, width: int, height: int, size: int, coords, window: int) -> bytes:
    """The 16.16 grid with every product and sum saturated at the signed 64-bit range."""
    tlx_d, tly_d, hx_d, hy_d, vx_d, vy_d = coords
    d = size - 7.0
    step = trunc64((1.0 / d) * 65536.0)
    k = 3.5 / d
    tlx = trunc64((tlx_d - hx_d * k - vx_d * k) * 65536.0)
    tly = trunc64((tly_d - hy_d * k - vy_d * k) * 65536.0)
    hx, hy, vx, vy = (trunc64(c * 65536.0) for c in (hx_d, hy_d, vx_d, vy_d))
    radius = window >> 1
    out = bytearray()
    for y in range(size):
        line_x = sat(tlx + (sat(y * vx * step) >> 16))
        line_y = sat(tly + (sat(y * vy * step) >> 16))
        for x in range(size):
            cx = sat(sat(sat(line_x + (sat(x * hx * step) >> 16)) + 32768) >> 16, I32_MIN, I32_MAX)
            cy = sat(sat(sat(line_y + (sat(x * hy * step) >> 16)) + 32768) >> 16, I32_MIN, I32_MAX)
            xs = axis_weights(cx, radius, width)
            black = 0
            for py, wy in axis_weights(cy, radius, height):
                row = py * width
                black += wy * sum(wx for px, wx in xs if bits[row + px])
            out.append(2 * black >= window * window)
    return bytes(out)


# ------------------------------------------------------------------------ calls

Z = None  # halvern._zeltra, imported by load()
RESTORE = None
DECODE = None
ENGINE = None
SEGNO = None
NUMPY = None


def load(instrument: bool = False) -> None:
    global Z, RESTORE, DECODE, ENGINE, SEGNO, NUMPY
    if instrument:
        import atheris

        with atheris.instrument_imports(include=["halvern"]):
            import halvern._content
            import halvern._restore
    import halvern._content
    import halvern._engine
    import halvern._restore
    import halvern._zeltra

    Z, RESTORE, DECODE = halvern._zeltra, halvern._restore, halvern._content
    ENGINE = halvern._engine
    try:
        import segno

        SEGNO = segno
    except ImportError:  # the decoder is then fed drawn matrices only
        SEGNO = None
    try:
        import numpy

        NUMPY = numpy
    except ImportError:  # the Python entry points are then left out
        NUMPY = None


def expect_message(exc: BaseException, *messages: str) -> None:
    assert str(exc) in messages, f"unexpected message {exc!r}, wanted one of {messages}"


def is_01(result: bytes, n: int) -> None:
    assert type(result) is bytes, type(result)
    assert len(result) == n, (len(result), n)
    assert result.count(0) + result.count(1) == n, "matrix bytes other than 0 and 1"


def inject_fault(d: Draw, args: list, kinds: str) -> bool:
    """Replaces one argument (or the argument count) by one the parser refuses."""
    if not d.chance(12):
        return False
    choice = d.below(len(kinds) + 1)
    if choice == len(kinds):
        if d.chance(2):
            del args[d.below(len(args)) :]
        else:
            args.append(0)
        return True
    kind = kinds[choice]
    if kind == "y":
        args[choice] = d.pick(("str", None, 5, memoryview(bytes(64))[::2], [0, 1]))
    elif kind == "i":
        args[choice] = d.pick(BAD_INT)
    elif kind == "d":
        args[choice] = d.pick(BAD_DOUBLE)
    else:
        args[choice] = d.pick(BAD_BOX)
    return True


def draw_box(d: Draw, width: int, height: int):
    mode = d.below(8)
    w, h = max(width, 1), max(height, 1)
    if mode < 3:
        left, top = d.below(min(w, 1 << 16)), d.below(min(h, 1 << 16))
        right = left + 1 + d.below(min(w, 1 << 16) - left)
        bottom = top + 1 + d.below(min(h, 1 << 16) - top)
        box = (left, top, right, bottom)
    elif mode == 3:
        box = (0, 0, width, height)
    elif mode == 4:
        x, y = d.below(w + 4) - 2, d.below(h + 4) - 2
        box = (
            (x, y, x - d.below(3), y + d.below(3)) if d.chance(2) else (x, y, x + 3, y - d.below(3))
        )
    elif mode == 5:
        box = (d.below(3 * w) - w, d.below(3 * h) - h, d.below(3 * w) - w, d.below(3 * h) - h)
    else:
        box = (d.int32(), d.int32(), d.int32(), d.int32())
    box = tuple(max(I32_MIN, min(I32_MAX, v)) for v in box)
    return list(box) if d.chance(8) else box  # any sequence of four ints parses


def call_bbox(d: Draw, buf: Buffer, width: int, height: int) -> None:
    args = [buf.obj, width, height]
    faulty = inject_fault(d, args, "yii")
    try:
        result = Z.find_black_bbox_bits(*args)
    except PARSE_ERRORS:
        assert faulty
        return
    except ValueError as exc:
        assert not faulty
        expect_message(exc, "Bits length mismatch.")
        assert width * height != len(buf.content)
        return
    assert not faulty and width * height == len(buf.content)
    if height <= 0 or width <= 0:
        assert result is None
        return
    assert result == black_bbox(buf.content, width, height), result


def call_module_size(d: Draw, buf: Buffer, width: int, height: int) -> None:
    box = draw_box(d, width, height)
    args = [buf.obj, width, height, box]
    faulty = inject_fault(d, args, "yii(")
    try:
        result = Z.estimate_module_size(*args)
    except PARSE_ERRORS:
        assert faulty
        return
    except ValueError as exc:
        assert not faulty
        expect_message(exc, "Bits length mismatch.")
        assert width * height != len(buf.content)
        return
    except (MemoryError, OverflowError):
        assert not faulty
        return
    assert not faulty and width * height == len(buf.content)
    assert result is None or type(result) is float, type(result)
    if width > 0 and height > 0:
        assert result == module_size(buf.content, width, height, box), (result, box)
    else:
        assert result is None


def call_finder(d: Draw, buf: Buffer, width: int, height: int) -> None:
    variance = d.pick(VARIANCE_POOL) if d.chance(2) else d.double(1.0)
    args = [buf.obj, width, height, variance]
    faulty = inject_fault(d, args, "yiid")
    try:
        result = Z.find_finder_centers(*args)
    except PARSE_ERRORS:
        assert faulty
        return
    except ValueError as exc:
        assert not faulty
        if width <= 0 or height <= 0 or width * height != len(buf.content):
            expect_message(exc, "Bits length mismatch.")
        else:
            expect_message(exc, "variance must be > 0.")
            assert variance <= 0.0
        return
    except (MemoryError, OverflowError):
        assert not faulty
        return
    assert not faulty and width > 0 and height > 0 and width * height == len(buf.content)
    assert not variance <= 0.0
    if result is None:
        return
    assert type(result) is tuple and len(result) == 6, result
    assert all(type(v) is float for v in result), result
    # Every centre is a mean of scan points, which lie off the image border.
    for x, y in zip(result[0::2], result[1::2]):
        assert 1.0 <= x <= width - 2 and 1.0 <= y <= height - 2, result


def call_grid(d: Draw, buf: Buffer, width: int, height: int) -> None:
    box = draw_box(d, width, height)
    size = d.pick(SIZE_POOL) if d.chance(2) else d.int32()
    matches = width > 0 and height > 0 and width * height == len(buf.content)
    if matches and 0 <= size <= MAX_SIZE and size * size > GRID_BUDGET:
        size %= 400
    args = [buf.obj, width, height, box, size]
    faulty = inject_fault(d, args, "yii(i")
    try:
        result = Z.sample_matrix_3x3(*args)
    except PARSE_ERRORS:
        assert faulty
        return
    except ValueError as exc:
        assert not faulty
        if not matches:
            expect_message(exc, "Bits length mismatch.")
        elif size < 0:
            expect_message(exc, "QR size must not be negative.")
        else:
            expect_message(exc, "QR size is too large.")
            assert size > MAX_SIZE
        return
    except MemoryError:
        assert not faulty
        return
    assert not faulty and matches and 0 <= size <= MAX_SIZE
    is_01(result, size * size)
    if size * size <= 256:
        assert result == grid_3x3(buf.content, width, height, tuple(box), size), (box, size)


def call_affine(d: Draw, buf: Buffer, width: int, height: int) -> None:
    size = d.pick(SIZE_POOL) if d.chance(2) else d.int32()
    window = (
        d.pick(WINDOW_POOL) if d.chance(2) else (d.int32() if d.chance(4) else 2 * d.below(40) + 1)
    )
    scale = float(max(width, height, 1))
    coords = [d.double(scale) for _ in range(6)]
    if d.chance(3):  # a plausible grid: top-left centre inside, a turned square over the image
        coords[0], coords[1] = d.below(max(width, 1)) + 0.5, d.below(max(height, 1)) + 0.5
        angle = d.below(256) / 256.0 * 2.0 * math.pi
        span = (0.3 + d.below(64) / 32.0) * scale
        shear = (d.below(64) - 32) / 128.0
        coords[2:] = [
            span * math.cos(angle),
            span * math.sin(angle),
            -span * math.sin(angle + shear),
            span * math.cos(angle + shear),
        ]
    matches = width > 0 and height > 0 and width * height == len(buf.content)
    if matches and 8 <= size <= MAX_SIZE and window > 0:
        per_module = min(window, width) * min(window, height) + 4
        if size * size * per_module > AFFINE_BUDGET:
            size = max(8, math.isqrt(AFFINE_BUDGET // per_module))
    args = [buf.obj, width, height, size, *coords, window]
    faulty = inject_fault(d, args, "yiiiddddddi")
    try:
        result = Z.sample_matrix_affine(*args)
    except PARSE_ERRORS:
        assert faulty
        return
    except ValueError as exc:
        assert not faulty
        if size <= 0 or not matches:
            expect_message(exc, "Bits length mismatch.")
        elif size <= 7:
            expect_message(exc, "QR size must be > 7.")
        elif window <= 0 or window % 2 == 0:
            expect_message(exc, "window must be a positive odd integer.")
        else:
            expect_message(exc, "QR size is too large.")
            assert size > MAX_SIZE
        return
    except MemoryError:
        assert not faulty
        return
    assert not faulty and matches and 8 <= size <= MAX_SIZE and window > 0 and window % 2
    is_01(result, size * size)
    if size * size * min(window, width) * min(window, height) <= 20000:
        coords = [float(c) for c in coords]
        assert result == grid_affine(buf.content, width, height, size, coords, window), (
            size,
            coords,
            window,
        )


def call_score(d: Draw, buf: Buffer, width: int, height: int) -> None:
    size = d.pick(SIZE_POOL) if d.chance(2) else d.int32()
    if d.chance(4):  # a real symbol, or a drawn one, whose finder patterns may be intact
        content, size, _ = matrix_source(d)
        matrix = Buffer(d, content)
        score_one(d, matrix, size)
        matrix.check_released(native=True)
    else:
        score_one(d, buf, size)


def score_one(d: Draw, buf: Buffer, size: int) -> None:
    args = [buf.obj, size]
    faulty = inject_fault(d, args, "yi")
    try:
        result = Z.score_finder(*args)
    except PARSE_ERRORS:
        assert faulty
        return
    assert not faulty
    assert type(result) is float and 0.0 <= result <= 1.0, result
    assert round(result * 147) / 147.0 == result, result
    assert result == finder_score(buf.content, size), (result, size)


def matrix_source(d: Draw):
    """A matrix for the restoration and the decoder, and the payload it carries if known."""
    mode = d.below(4)
    if mode == 0 and SEGNO is not None:
        payload = d.raw(d.below(60))
        try:
            symbol = SEGNO.make_qr(
                payload, error=d.pick("lmqh"), mask=d.below(8), mode="byte", boost_error=False
            )
        except ValueError:  # too long for the level; a drawn matrix instead
            symbol = None
        if symbol is not None:
            size = symbol.symbol_size(border=0)[0]
            modules = bytearray(b for row in symbol.matrix for b in row)
            flips = d.below(6) if d.chance(2) else 0
            for _ in range(flips):
                modules[d.below(len(modules))] ^= 1
            return modules, size, payload if flips == 0 else None
    size = d.pick(SIZE_POOL) if d.chance(2) else d.pick((21, 25, 29, 45, 57, 101, 177))
    n = max(size, 0) ** 2 if size <= 177 else 0
    length = n + d.below(3) - 1 if d.chance(2) else d.below(600)
    content = image_content(d, max(length, 0), size, size)
    return content, size, None


def call_restore(d: Draw) -> None:
    content, size, _ = matrix_source(d)
    buf = Buffer(d, content)
    args = [buf.obj, size]
    odd = d.chance(16)
    if odd:  # the delegate hands on any argument tuple unchanged
        args = args[: d.below(2)] if d.chance(2) else args + [0]
    outcomes = []
    for routine in (Z.strict_restore_qr_matrix, RESTORE.strict_restore_qr_matrix):
        try:
            outcomes.append(routine(*args))
        except (ValueError, TypeError) as exc:
            outcomes.append((type(exc), str(exc)))
    buf.check_released(native=False)
    native, python = outcomes
    assert native == python, (native, python)
    if isinstance(native, bytes):
        assert not odd
        is_01(native, size * size)


def call_decode(d: Draw) -> None:
    content, size, payload = matrix_source(d)
    if d.chance(2):
        try:
            content = RESTORE.strict_restore_qr_matrix(bytes(content), size)
        except (ValueError, TypeError):
            pass
    try:
        decoded = DECODE.decode_matrix(bytes(content), size)
    except ValueError:
        assert payload is None, "a clean symbol failed to decode"
        decoded = None
    assert decoded is None or type(decoded).__name__ == "Decoded"
    if decoded is not None:
        assert isinstance(decoded.text, str) and isinstance(decoded.data, bytes)
    if payload is not None:
        assert decoded is not None and decoded.data == payload, (decoded, payload)
    if d.chance(2):
        call_engine_decode(d, content, size)
    if d.chance(2):
        call_parse_segments(d)


def call_engine_decode(d: Draw, content: bytes | bytearray, size: int) -> None:
    # The native entry point on its own, any buffer kind and any size; a copy, so that
    # the watched argument is referenced by this call alone.
    buf = Buffer(d, bytearray(content))
    try:
        result = ENGINE.decode_matrix(buf.obj, size)
    except (ValueError, TypeError, OverflowError, BufferError):
        result = None
    buf.check_released(native=True)
    if result is not None:
        version, level, mask, corrected, segments = result[:5]
        assert 17 + 4 * version == size and 0 <= level < 4 and 0 <= mask < 8 and corrected >= 0
        assert all(isinstance(data, bytes) for _, _, data in segments)


def call_parse_segments(d: Draw) -> None:
    # A random bit stream straight into the segment parser.
    version = 1 + d.below(40)
    data = d.raw(d.below(3000))
    try:
        result = ENGINE._parse_segments(data, version)
    except ValueError as exc:
        assert len(data) > 2956 or str(exc).endswith("."), exc
        return
    assert result[0] == version
    payload = sum(len(segment[2]) for segment in result[4])
    assert payload <= 7168, payload


# ------------------------------------------------------------------ the reader

# Largest picture one reader input builds: a 1 x N strip of noise reads at about
# 420 ms per MP (the rows' fixed cost), 25 ms at this size, a second under the
# sanitizers' debug build; more pixels would only slow the fuzzing.
READ_PIXELS = 1 << 16
READ_ERRORS = (
    "Image width and height must be in 0..2**31-1.",
    "Image stride must be positive and at least the width.",
    "Image pixels must be one byte each.",
    "Image array shape and strides do not match width, height and stride.",
    "Image buffer must be contiguous bytes or a 2-D array.",
    "Image buffer is shorter than (height - 1) * stride + width bytes.",
    "Unknown binarizer.",
)
SIDE_POOL = (0, 1, 2, 3, 7, 21, 64, 255, 256, 1000, 65535, 2**31 - 1, 2**31, -1, -(2**31), 2**62)
BINARIZER_NONE = 3  # the bits image as it is: nonzero dark


@dataclass(frozen=True)
class Picture:
    """A bits image (nonzero dark) with what must be read from it: ``payload`` when the
    symbol is drawn cleanly enough that any reader worth the name decodes it, and the
    geometry it was drawn with."""

    bits: bytes
    width: int
    height: int
    payload: bytes | None = None
    corners: tuple[tuple[float, float], ...] = ()
    module: int = 0
    rotation: int = 0  # clockwise quarter turns
    mirrored: bool = False


def turned(rows: list[list[int]], quarter_turns: int, mirror: bool) -> list[list[int]]:
    """The matrix mirrored (transposed) first, then turned clockwise."""
    if mirror:
        rows = [list(col) for col in zip(*rows)]
    for _ in range(quarter_turns % 4):
        rows = [list(col) for col in zip(*rows[::-1])]
    return rows


def rendered(rows: list[list[int]], module: int, border: int) -> tuple[bytearray, int]:
    """A square bits image of the matrix, ``module`` pixels a module inside ``border``
    light modules; and its side."""
    n = len(rows)
    side = (n + 2 * border) * module
    img = bytearray(side * side)
    for y, row in enumerate(rows):
        line = b"".join(b"\x01" * module if v else b"\x00" * module for v in row)
        start = border * module
        for py in range((border + y) * module, (border + y + 1) * module):
            img[py * side + start : py * side + start + n * module] = line
    return img, side


def symbol_picture(d: Draw) -> Picture | None:
    """A segno symbol, turned or mirrored, at a drawn scale and quiet zone, often damaged
    (pixels flipped, a block wiped, noise); ``payload`` is set only for a clean drawing
    with a full quiet zone and at least two pixels a module."""
    payload = d.raw(d.below(48))
    try:
        symbol = SEGNO.make_qr(
            payload, error=d.pick("lmqh"), mask=d.below(8), mode="byte", boost_error=False
        )
    except ValueError:
        return None
    n = symbol.symbol_size(border=0)[0]
    module, border = 1 + d.below(4), d.below(7)
    if (n + 2 * border) ** 2 * module * module > READ_PIXELS:
        module = max(1, math.isqrt(READ_PIXELS // (n + 2 * border) ** 2))
    rotation, mirror = d.below(4), d.chance(2)
    img, side = rendered(turned([list(r) for r in symbol.matrix], rotation, mirror), module, border)
    damaged = False
    for _ in range(d.below(4) if d.chance(2) else 0):  # single pixels flipped
        img[d.below(len(img))] ^= 1
        damaged = True
    if d.chance(4):  # a block wiped light or dark
        x, y = d.below(side), d.below(side)
        w, h, value = 1 + d.below(side // 3 + 1), 1 + d.below(side // 3 + 1), d.below(2)
        for py in range(y, min(side, y + h)):
            img[py * side + x : py * side + min(side, x + w)] = bytes([value]) * (
                min(side, x + w) - x
            )
        damaged = True
    if d.chance(4):  # salt and pepper at a drawn density
        rng = random.Random(d.uint(4))
        for _ in range(d.below(len(img) // 8 + 1)):
            img[rng.randrange(len(img))] ^= 1
        damaged = True
    lo, hi = border * module, (border + n) * module
    corners = ((lo, lo), (hi, lo), (hi, hi), (lo, hi))
    clean = not damaged and module >= 2 and border >= 4
    return Picture(
        bytes(img), side, side, payload if clean else None, corners, module, rotation, mirror
    )


def reader_picture(d: Draw) -> Picture:
    """A symbol, or any image the low-level targets draw, at reader sizes: extreme
    aspect ratios (1 x N, N x 1) among them."""
    if SEGNO is not None and d.below(3) == 0:
        picture = symbol_picture(d)
        if picture is not None:
            return picture
    mode = d.below(4)
    if mode == 0:
        n = 1 + d.below(READ_PIXELS)
        width, height = (n, 1 + d.below(3)) if d.chance(2) else (1 + d.below(3), n)
        height = min(height, READ_PIXELS // width) if width > height else height
        width = min(width, READ_PIXELS // height)
    elif mode == 1:
        width, height = 1 + d.below(360), 1 + d.below(360)
    else:
        width, height = 1 + d.below(128), 1 + d.below(128)
    return Picture(bytes(image_content(d, width * height, width, height)), width, height)


def as_gray(bits: bytes) -> bytes:
    """The same picture as 8-bit gray: 0 black, 255 white."""
    return bits.translate(bytes([255]) + bytes(255))


def laid_out(pixels: bytes, width: int, height: int, stride: int, filler: int, tail: int) -> bytes:
    """Rows of ``pixels`` at ``stride`` apart, the gaps and ``tail`` extra bytes filled
    with ``filler``; without a tail the buffer ends with the last pixel."""
    out = bytearray([filler]) * ((height - 1) * stride + width + tail)
    if width < height:  # column by column: a 1 x N strip costs one slice, not N
        for x in range(width):
            out[x : x + (height - 1) * stride + 1 : stride] = pixels[x::width]
    else:
        for y in range(height):
            out[y * stride : y * stride + width] = pixels[y * width : (y + 1) * width]
    return bytes(out)


def finite(*values: float) -> bool:
    return all(type(v) is float and math.isfinite(v) for v in values)


def check_decoded_tuple(decoded, size: int) -> None:
    version, level, mask, corrected, segments, fnc1, indicator, append, symbology, model, rows, columns = decoded
    assert symbology in (0, 1, 2) and rows > 0 and columns > 0, decoded[8:]
    if symbology == 0:
        assert 17 + 4 * version == size == rows == columns and model in (1, 2), decoded[:3]
    assert 0 <= level < 4 and 0 <= mask < 8, decoded[:3]
    assert corrected >= 0 and fnc1 in (0, 1, 2), decoded
    for mode, eci, data in segments:
        assert mode in (1, 2, 4, 8, 13) and isinstance(data, bytes), (mode, eci)
        assert eci is None or 0 <= eci < 1_000_000, eci
    if append is not None:
        index, total, parity = append
        assert 0 <= index < total <= 16 and 0 <= parity < 256, append


def check_records(records, keep_errors: bool) -> None:
    """Well-formed records: decoded ones first, finite geometry, modules that decode to
    what the record says."""
    assert type(records) is list
    seen_failure = False
    for rec in records:
        assert type(rec) is ENGINE.Record, rec
        decoded, error, size, modules = rec.decoded, rec.reason, rec.size, rec.sampled
        corners, centres, orientation, module = rec.position, rec.centres, rec.orientation, rec.module_size
        mirrored, inverted, symbology = rec.mirrored, rec.inverted, rec.symbology
        assert symbology in (0, 1, 2), symbology
        if symbology == 0:
            assert 21 <= size <= 177 and size % 4 == 1, size
        assert type(modules) is bytes and len(modules) == size * size
        assert len(corners) == 4 and len(centres) == 3
        assert all(len(p) == 2 and finite(*p) for p in corners + centres), (corners, centres)
        assert finite(orientation, module) and module > 0.0, (orientation, module)
        assert type(mirrored) is bool and type(inverted) is bool
        if rec.modules is not None:
            assert len(rec.modules) == len(modules) and 0.0 <= rec.score <= 1.0, rec
        if decoded is None:
            assert keep_errors and error in ("bad_size", "format", "version", "too_many_errors", "data"), error
            seen_failure = True
            continue
        assert error is None and not seen_failure, "a decoded record after a failed one"
        assert rec.modules is not None and (rec.level, rec.mask) == decoded[1:3], rec
        check_decoded_tuple(decoded, size)
        # The record's modules are the symbol as read: they decode to the same content,
        # unless the read needed its modules' doubts to erase codewords, and then they
        # are beyond errors-only correction.
        try:
            again = ENGINE.decode_matrix(modules, size)
        except ValueError as error:
            assert str(error) == "Too many errors to correct.", error
        else:
            assert again == decoded, "modules do not decode alike"


def near(p: tuple[float, float], q: tuple[float, float], tolerance: float) -> bool:
    return abs(p[0] - q[0]) <= tolerance and abs(p[1] - q[1]) <= tolerance


def check_clean_symbol(picture: Picture, records, inverted: bool) -> None:
    """A clean drawing is read: its payload, its corners within a module, its
    orientation (unmirrored) and its mirroring."""
    found = [
        r
        for r in records
        if r[0] is not None and b"".join(s[2] for s in r[0][4]) == picture.payload
    ]
    assert found, f"clean symbol not read: {picture.payload!r}, {len(records)} records"
    rec = found[0]
    tolerance = picture.module + 1.0
    for corner in picture.corners:
        assert any(near(corner, c, tolerance) for c in rec[4]), (corner, rec[4])
    assert rec[7] == picture.mirrored and rec[8] == inverted, (rec[7], rec[8])
    if not picture.mirrored:
        turn = (rec[6] - 90.0 * picture.rotation) % 360.0
        assert min(turn, 360.0 - turn) < 2.0, (rec[6], picture.rotation)


def native_read(image, width, height, stride, binarizer, try_invert, keep_errors):
    return ENGINE.read(image, width, height, stride, binarizer, try_invert, keep_errors)


def call_read_faulty(d: Draw) -> None:
    """Arguments the binding must refuse with a clear error, or take as an empty image."""
    width, height = d.pick(SIDE_POOL), d.pick(SIDE_POOL)
    stride = d.pick(SIDE_POOL) if d.chance(2) else width + d.below(4) - 1
    length = d.below(300)
    kind = d.below(6)
    base = bytes(d.raw(length))
    image = (
        base,
        bytearray(base),
        memoryview(base)[::2] if length > 1 else memoryview(base),
        memoryview(base).cast("H") if length % 2 == 0 else base,
        d.pick((None, "pixels", 12, [0, 1], 1.5)),
        memoryview(bytes(max(width, 0) * max(height, 0) if 0 <= width * height <= 1024 else 0)),
    )[kind]
    binarizer = d.pick((0, 1, 2, 3, -1, 4, 255, 2**31 - 1))
    try:
        result = native_read(image, width, height, stride, binarizer, d.chance(2), d.chance(2))
    except ValueError as exc:
        expect_message(exc, *READ_ERRORS)
        return
    except (TypeError, OverflowError, BufferError):
        return
    # Accepted: then the arguments really were valid, and an empty image reads as nothing.
    assert 0 <= width < 2**31 and 0 <= height < 2**31 and stride >= max(width, 1), (
        width,
        height,
        stride,
    )
    assert 0 <= binarizer <= 3, binarizer
    check_records(result, True)
    if width == 0 or height == 0:
        assert result == [], result


def call_read(d: Draw) -> None:
    """The native read of a drawn picture, as bits or gray, laid out at a drawn stride,
    with drawn options. The picture read packed and read strided (junk in the gaps) must
    give the same records, a bits picture and its gray twin the same content."""
    if d.chance(8):
        call_read_faulty(d)
        return
    picture = reader_picture(d)
    width, height = picture.width, picture.height
    gray = d.chance(3)
    inverted = gray and d.chance(3)
    pixels = as_gray(picture.bits) if gray else picture.bits
    if gray and picture.payload is None and d.chance(2):
        pixels = picture.bits  # any byte values as gray levels
    if inverted:
        pixels = pixels.translate(bytes(range(255, -1, -1)))
    binarizer = d.below(4)
    if not gray and d.chance(2):
        binarizer = BINARIZER_NONE
    try_invert, keep_errors = not d.chance(4), d.chance(2)
    records = native_read(pixels, width, height, width, binarizer, try_invert, keep_errors)
    check_records(records, keep_errors)
    stride = width + (d.below(9) if d.chance(2) else d.pick((1, 64, 4096)))
    if height * stride > 4 * READ_PIXELS:
        stride = width + 1
    filler, tail = d.byte(), d.below(3) if d.chance(4) else 0
    laid = laid_out(pixels, width, height, stride, filler, tail)
    view = Buffer(d, bytearray(laid)).obj if d.chance(2) else laid
    if isinstance(view, memoryview) and view.itemsize != 1:
        view = laid
    again = native_read(view, width, height, stride, binarizer, try_invert, keep_errors)
    assert again == records, "the stride or the gaps changed the read"
    as_drawn = binarizer != BINARIZER_NONE if gray else binarizer == BINARIZER_NONE
    if picture.payload is not None and as_drawn and (try_invert or not inverted):
        check_clean_symbol(picture, records, inverted)
    if not gray and binarizer == BINARIZER_NONE:
        # Two levels as gray, binarizer auto: taken as they are, so the same content.
        twin = native_read(as_gray(picture.bits), width, height, width, 0, try_invert, keep_errors)
        assert [r[0] for r in twin] == [r[0] for r in records], "bits and gray read differently"


# ---- The Python entry points, on NumPy arrays of every kind

ARRAY_DTYPES = (
    "bool",
    "uint8",
    "uint8",
    "int8",
    "uint16",
    "int32",
    "int64",
    "float16",
    "float32",
    "float64",
    "float64",
    "complex64",
    "datetime64[s]",
)


def dtype_levels(np, dtype: str, rng: random.Random):
    """(dark, light) values of the dtype for a two-level picture."""
    if dtype == "bool":
        return True, False
    if dtype.startswith("float"):
        return rng.choice(((0.0, 1.0), (-3.5, 7.25), (0.0, 255.0), (1e-3, 2e-3)))
    info = np.iinfo(dtype)
    return (info.min, info.max) if rng.random() < 0.5 else (0, 1 if dtype != "uint8" else 255)


def drawn_array(d: Draw, np, picture: Picture):
    """The picture as an array of a drawn dtype, layout and extra channels; and whether
    it still shows the picture faithfully (a bool or two-level array in C or a
    strided layout of the same pixels)."""
    rng = random.Random(d.uint(4))
    dtype = d.pick(ARRAY_DTYPES)
    bits = np.frombuffer(picture.bits, np.uint8).reshape(picture.height, picture.width) != 0
    if dtype.startswith(("complex", "datetime")):
        return bits.astype(dtype), False
    dark, light = dtype_levels(np, dtype, rng)
    if dtype == "bool":
        array = bits.copy()
    elif (dark, light) == (0, 1) and dtype[0] in "iu":
        array = bits.astype(dtype)  # a 0/1 integer array is a bits image
    else:
        array = np.where(bits, np.array(dark, dtype), np.array(light, dtype))
    faithful = True
    if dtype.startswith("float") and d.chance(3):  # non-finite pixels in the quiet zone
        for _ in range(1 + d.below(3)):
            array[0, d.below(picture.width)] = d.pick((math.nan, math.inf, -math.inf))
    layout = d.below(6)
    if layout == 1:  # a crop of a larger array: rows strided
        big = np.zeros((picture.height + 2, picture.width + 3 + d.below(5)), array.dtype)
        big[1 : picture.height + 1, 2 : picture.width + 2] = array
        array = big[1 : picture.height + 1, 2 : picture.width + 2]
    elif layout == 2:  # Fortran order
        array = np.asfortranarray(array)
    elif layout == 3 and not dtype == "bool":  # colour channels
        channels = d.pick((1, 2, 3, 4))
        stacked = np.repeat(array[:, :, None], channels, axis=2)
        if channels in (2, 4):
            stacked[:, :, -1] = np.iinfo(dtype).max if dtype[0] in "iu" else 1.0
        # Colour is gray by its luma (0/1 integers no longer bits); alpha is on a scale
        # of its own: only equal gray channels promise the picture.
        faithful = channels in (1, 3) and not (dtype[0] in "iu" and (dark, light) == (0, 1))
        array = stacked
    elif layout == 4:  # every other pixel of a doubled picture
        doubled = np.repeat(np.repeat(array, 2, axis=0), 2, axis=1)
        array = doubled[::2, ::2]
    elif layout == 5:  # negative strides: the picture turned half a turn
        array = array[::-1, ::-1]
    return array, faithful


def odd_array(d: Draw, np):
    """Arrays the entry points must refuse or take as empty."""
    shape = d.pick(
        ((0, 10), (10, 0), (0, 0), (0,), (7,), (0, 5, 3), (4, 4, 5), (2, 2, 2, 2), (3, 0, 4), ())
    )
    dtype = d.pick(("uint8", "float64", "bool", "complex64", "object", "int32"))
    return np.zeros(shape, dtype)


def check_codes(codes, halvern) -> None:
    assert type(codes) is list
    for code in codes:
        assert type(code) is halvern.QRCode, type(code)
        assert isinstance(code.text, str) and isinstance(code.data, bytes)
        assert all(len(p) == 2 and finite(*p) for p in code.position), code.position
        assert finite(code.orientation, code.module_size) and code.module_size > 0.0
        matrix = code.matrix
        assert len(matrix.modules) == matrix.size * matrix.size and matrix.version == code.version
        assert 0.0 <= matrix.score <= 1.0


def call_api(d: Draw) -> None:
    """halvern.read and read_all on NumPy arrays of drawn dtypes, shapes, strides and
    non-finite values, and on bytes with their sizes."""
    import halvern

    np = NUMPY
    if np is None:
        return
    if d.chance(6):
        array = odd_array(d, np)
        try:
            codes = halvern.read_all(array)
        except (TypeError, ValueError) as exc:
            assert array.size > 0 or array.dtype.kind not in "biuf", (array.shape, exc)
            return
        assert codes == [] and halvern.read(array) is None, (array.shape, array.dtype)
        return
    picture = reader_picture(d)
    array, faithful = drawn_array(d, np, picture)
    options = {
        "try_invert": not d.chance(4),
        "binarizer": d.pick(("auto", "auto", "local", "global", "none")),
    }
    try:
        codes = halvern.read_all(array, **options)
    except TypeError:
        assert array.dtype.kind not in "biuf", array.dtype
        return
    assert array.dtype.kind in "biuf", array.dtype
    check_codes(codes, halvern)
    assert halvern.read_all(array, **options) == codes, "a second read differs"
    best = halvern.read(array, **options)
    assert (best is None) == (not codes) and (best is None or best in codes)
    if options == {"try_invert": True, "binarizer": "auto"} and d.chance(2):
        # read_matrix reads with these options: a decoded symbol's matrix when there is one.
        matrix = halvern.read_matrix(array)
        assert matrix is None or type(matrix) is halvern.QRMatrix
        assert not codes or matrix in [c.matrix for c in codes], "read_matrix missed the codes"
    as_drawn = options["binarizer"] != "none" or array.dtype.kind == "b"
    if faithful and picture.payload is not None and as_drawn:
        texts = [c.data for c in codes]
        assert picture.payload in texts, (picture.payload, texts, array.dtype, array.strides)
    if d.chance(3) and options["binarizer"] in ("auto", "none"):
        # The bits as bytes with their sizes: a bits image, the same content.
        flat = halvern.read_all(
            picture.bits, picture.width, picture.height, try_invert=options["try_invert"]
        )
        plain = halvern.read_all(
            np.frombuffer(picture.bits, np.uint8).reshape(picture.height, picture.width) != 0,
            try_invert=options["try_invert"],
        )
        assert [c.data for c in flat] == [c.data for c in plain], "bytes and bool array differ"


def image_target(call: Callable[[Draw, Buffer, int, int], None]) -> Callable[[Draw], None]:
    """A target that draws a bits image (its size, buffer kind and content), runs
    ``call`` on it and checks that the buffer was released."""

    def run(d: Draw) -> None:
        width, height, length = image_dims(d)
        buf = Buffer(d, image_content(d, length, width, height))
        call(d, buf, width, height)
        buf.check_released(native=True)

    return run


@dataclass(frozen=True)
class Target:
    name: str
    run: Callable[[Draw], None]


# Every entry point fuzzed, chosen by the input's first byte: its value modulo the
# number of targets is the target's index. Each corpus file starts with its target's
# index, so a target appended here leaves every corpus input calling what it called.
# A new target is a function of a Draw (wrapped by image_target when it takes a drawn
# bits image) and one more entry at the end.
TARGETS = (
    Target("bbox", image_target(call_bbox)),
    Target("module_size", image_target(call_module_size)),
    Target("finder", image_target(call_finder)),
    Target("grid", image_target(call_grid)),
    Target("affine", image_target(call_affine)),
    Target("score", image_target(call_score)),
    Target("restore", call_restore),
    Target("decode", call_decode),
    Target("read", call_read),
    Target("read_api", call_api),
)


RUNS_BY_TARGET: dict[str, int] = {t.name: 0 for t in TARGETS}


def one_input(data: bytes) -> None:
    d = Draw(data)
    target = d.pick(TARGETS)
    RUNS_BY_TARGET[target.name] += 1
    target.run(d)


def runs_by_target() -> str:
    return ", ".join(f"{name} {runs}" for name, runs in RUNS_BY_TARGET.items())


# ---------------------------------------------------------------------- drivers

INTERESTING_BYTES = (0, 1, 2, 0x7F, 0x80, 0xFE, 0xFF)


def mutate(rng: random.Random, data: bytes, pool: list[bytes], max_len: int) -> bytes:
    buf = bytearray(data)
    for _ in range(1 + rng.randrange(4)):
        op = rng.randrange(8)
        if op == 0 and buf:
            i = rng.randrange(len(buf))
            buf[i] ^= 1 << rng.randrange(8)
        elif op == 1 and buf:
            buf[rng.randrange(len(buf))] = rng.randrange(256)
        elif op == 2 and buf:
            buf[rng.randrange(len(buf))] = rng.choice(INTERESTING_BYTES)
        elif op == 3:
            i = rng.randrange(len(buf) + 1)
            buf[i:i] = rng.randbytes(1 + rng.randrange(8))
        elif op == 4 and len(buf) > 1:
            i = rng.randrange(len(buf))
            del buf[i : i + 1 + rng.randrange(8)]
        elif op == 5 and buf:
            i = rng.randrange(len(buf))
            j = rng.randrange(len(buf))
            buf[j:j] = buf[i : i + 1 + rng.randrange(8)]
        elif op == 6 and pool:
            other = rng.choice(pool)
            cut = rng.randrange(len(buf) + 1)
            buf = buf[:cut] + other[rng.randrange(len(other) + 1) :]
        else:
            i = rng.randrange(len(buf) + 1)
            buf[i:i] = struct.pack("<i", rng.choice(INT_POOL))
    return bytes(buf[:max_len])


def corpus_files(paths: list[str]) -> list[Path]:
    files: list[Path] = []
    for p in map(Path, paths):
        files += sorted(f for f in p.iterdir() if f.is_file()) if p.is_dir() else [p]
    return files


def replay(paths: list[str]) -> int:
    load()
    files = corpus_files(paths)
    for f in files:
        try:
            one_input(f.read_bytes())
        except Exception:
            print(f"failure on {f}", file=sys.stderr)
            raise
    print(f"replayed {len(files)} inputs, no failure ({runs_by_target()})")
    return 0


def random_driver(seconds: float, seed: int, corpus: Path, artifacts: Path, max_len: int) -> int:
    load()
    rng = random.Random(seed)
    pool = [f.read_bytes() for f in corpus_files([str(corpus)])] if corpus.is_dir() else []
    recent: list[bytes] = []
    artifacts.mkdir(parents=True, exist_ok=True)
    # Written before each call: a sanitizer abort kills the process and leaves it behind.
    current = artifacts / "current-input"
    deadline = time.monotonic() + seconds
    runs = 0
    while time.monotonic() < deadline:
        if pool and rng.random() < 0.8:
            base = rng.choice(pool + recent)
            data = mutate(rng, base, pool, max_len)
        else:
            data = rng.randbytes(rng.randrange(1, 128))
        current.write_bytes(data)
        try:
            one_input(data)
        except Exception:
            crash = artifacts / f"crash-{seed}-{runs}"
            crash.write_bytes(data)
            print(f"failure after {runs} runs, input saved to {crash}", file=sys.stderr)
            raise
        runs += 1
        if rng.random() < 0.05:
            recent.append(data)
            del recent[:-64]
    current.unlink(missing_ok=True)
    print(f"random driver: {runs} executions in {seconds:g} s (seed {seed}), no failure")
    print(f"by target: {runs_by_target()}")
    return 0


def atheris_driver(seconds: float, corpus: Path, artifacts: Path, max_len: int, extra: list[str]):
    """libFuzzer ends the process itself; its closing "Done N runs" line is the count."""
    import atheris

    load(instrument=True)
    atheris.instrument_all()  # coverage of this harness's branches too
    artifacts.mkdir(parents=True, exist_ok=True)
    work = artifacts / "corpus"  # new inputs go here, not among the seeds
    work.mkdir(exist_ok=True)
    argv = [
        sys.argv[0],
        f"-max_total_time={max(int(seconds), 1)}",
        f"-max_len={max_len}",
        f"-artifact_prefix={artifacts}/",
        "-timeout=60",
        "-rss_limit_mb=8192",
        "-print_final_stats=1",
        *extra,
        str(work),
        str(corpus),
    ]
    print(
        f"atheris driver: {seconds:g} s, new inputs in {work}, failures in {artifacts}", flush=True
    )
    atheris.Setup(argv, one_input)
    atheris.Fuzz()


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--replay", nargs="+", metavar="PATH", help="run these inputs once")
    parser.add_argument("--seconds", type=float, help="fuzz for this long")
    parser.add_argument("--driver", choices=("auto", "atheris", "random"), default="auto")
    parser.add_argument("--seed", type=int, default=None, help="seed of the random driver")
    parser.add_argument("--corpus", type=Path, default=DEFAULT_CORPUS)
    parser.add_argument("--artifacts", type=Path, default=None, help="where failing inputs go")
    parser.add_argument("--max-len", type=int, default=4096)
    args, extra = parser.parse_known_args(argv)
    if args.replay:
        return replay(args.replay)
    if args.seconds is None:
        parser.error("give --replay PATH... or --seconds N")
    artifacts = args.artifacts or Path(tempfile.mkdtemp(prefix="zeltra-artifacts-"))
    driver = args.driver
    if driver == "auto":
        try:
            import atheris  # noqa: F401

            driver = "atheris"
        except ImportError:
            driver = "random"
    if driver == "atheris":
        atheris_driver(args.seconds, args.corpus, artifacts, args.max_len, extra)
        return 0
    seed = args.seed if args.seed is not None else int.from_bytes(os.urandom(4), "little")
    return random_driver(args.seconds, seed, args.corpus, artifacts, args.max_len)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
