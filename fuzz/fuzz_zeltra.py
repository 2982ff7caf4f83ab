"""Fuzz harness for halvern._zeltra, the strict restoration and the native decoder.

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

Usage:
    python fuzz/fuzz_zeltra.py --replay fuzz/corpus          # run every corpus input once
    python fuzz/fuzz_zeltra.py --seconds 60                  # fuzz for a bounded time
    python fuzz/fuzz_zeltra.py --seconds 60 --driver random  # without atheris

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


def load(instrument: bool = False) -> None:
    global Z, RESTORE, DECODE, ENGINE, SEGNO
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


IMAGE_CALLS = (call_bbox, call_module_size, call_finder, call_grid, call_affine, call_score)


def one_input(data: bytes) -> None:
    d = Draw(data)
    choice = d.below(len(IMAGE_CALLS) + 2)
    if choice == len(IMAGE_CALLS):
        call_restore(d)
        return
    if choice == len(IMAGE_CALLS) + 1:
        call_decode(d)
        return
    width, height, length = image_dims(d)
    buf = Buffer(d, image_content(d, length, width, height))
    IMAGE_CALLS[choice](d, buf, width, height)
    buf.check_released(native=True)


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
    print(f"replayed {len(files)} inputs, no failure")
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
