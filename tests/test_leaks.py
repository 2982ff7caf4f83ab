"""Every exit of every native function gives back what it took.

Each function is driven through its success paths (a tuple, a float, bytes, None) and through
each of its refusals (parse errors after the buffer was taken, length mismatches, the
argument checks of its own), including the paths that grow a scratch array. Over thousands
of such calls the reference counts of the arguments do not move, each result is owned by
the caller alone, traced memory (every interpreter allocator, PyMem_Malloc included) stays
flat, and so does the process's resident size.
"""

from __future__ import annotations

import gc
import os
import sys
import tracemalloc

import pytest

from halvern import _restore, _zeltra


def draw_finder(img: bytearray, width: int, x: int, y: int, module: int) -> None:
    """A 7 x 7 module finder pattern with its top-left corner at (x, y)."""
    for my in range(7):
        ring = min(my, 6 - my)
        for mx in range(7):
            dark = ring != 1 and min(mx, 6 - mx) != 1
            for py in range(y + my * module, y + (my + 1) * module):
                start = py * width + x + mx * module
                img[start : start + module] = bytes([dark]) * module


def finders_image(width: int, height: int, corners, module: int) -> bytes:
    img = bytearray(width * height)
    for x, y in corners:
        draw_finder(img, width, x, y, module)
    return bytes(img)


# Three finder patterns: a box, a module size and three centres.
CODE_W = CODE_H = 64
CODE = finders_image(CODE_W, CODE_H, [(4, 4), (42, 4), (4, 42)], 2)
# 17 x 17 one-pixel finder patterns: 289 candidate centres, past the first 256 records.
TILED_W = TILED_H = 156
TILED = finders_image(
    TILED_W, TILED_H, [(2 + 9 * i, 2 + 9 * j) for i in range(17) for j in range(17)], 1
)
# Two-pixel stripes: 1500 runs in the five rows, past the first 256 run entries.
STRIPES_W, STRIPES_H = 600, 5
STRIPES = bytes(((x // 2) % 2) for _ in range(STRIPES_H) for x in range(STRIPES_W))
WHITE = bytes(16 * 16)


def qr_matrix() -> bytes:
    """A version 1 symbol drawn module by module: finders, timing and a valid format word."""
    import segno

    symbol = segno.make_qr("leak", error="m", version=1, mask=3)
    return bytes(b for row in symbol.matrix for b in row)


IMAGES = {
    "code": (CODE, CODE_W, CODE_H),
    "tiled": (TILED, TILED_W, TILED_H),
    "stripes": (STRIPES, STRIPES_W, STRIPES_H),
    "white": (WHITE, 16, 16),
    "empty": (b"", 7, 0),
}
NAN, INF = float("nan"), float("inf")
GRID = (11.0, 11.0, 38.0, 0.0, 0.0, 38.0)
ONES = (1.0,) * 6

# (label, function, image, arguments after the bits, expected outcome); an image's width
# and height come first unless the arguments replace them (a tuple starting with "wh").
CASES = [
    ("bbox box", "find_black_bbox_bits", "code", (), tuple),
    ("bbox white", "find_black_bbox_bits", "white", (), None),
    ("bbox zero height", "find_black_bbox_bits", "empty", (), None),
    ("bbox parse", "find_black_bbox_bits", "white", ("wh", 16, 16.0), TypeError),
    ("bbox overflow", "find_black_bbox_bits", "white", ("wh", 16, 2**40), OverflowError),
    ("size float", "estimate_module_size", "code", ((4, 4, 60, 60),), float),
    ("size grows runs", "estimate_module_size", "stripes", ((0, 0, 600, 5),), float),
    ("size empty box", "estimate_module_size", "white", ((5, 5, 5, 9),), None),
    ("size off image", "estimate_module_size", "white", ((20, 20, 40, 40),), None),
    ("size clipped box", "estimate_module_size", "code", ((-9, -9, 99, 99),), float),
    ("size short box", "estimate_module_size", "white", ((0, 0, 1),), TypeError),
    ("size mismatch", "estimate_module_size", "white", ("wh", 16, 15, (0, 0, 9, 9)), ValueError),
    ("finder tuple", "find_finder_centers", "code", (0.5,), tuple),
    ("finder grows", "find_finder_centers", "tiled", (0.5,), tuple),
    ("finder none", "find_finder_centers", "white", (0.5,), None),
    ("finder nan", "find_finder_centers", "white", (NAN,), None),
    ("finder variance", "find_finder_centers", "white", (-0.0,), ValueError),
    ("finder sides", "find_finder_centers", "empty", ("wh", 0, 5, 0.5), ValueError),
    ("finder parse", "find_finder_centers", "white", ("0.5",), TypeError),
    ("3x3 bytes", "sample_matrix_3x3", "code", ((4, 4, 60, 60), 21), bytes),
    ("3x3 inverted box", "sample_matrix_3x3", "white", ((9, 9, 2, 2), 8), bytes),
    ("3x3 negative size", "sample_matrix_3x3", "white", ((0, 0, 16, 16), -3), ValueError),
    ("3x3 huge size", "sample_matrix_3x3", "white", ((0, 0, 16, 16), 46341), ValueError),
    ("3x3 zero sides", "sample_matrix_3x3", "empty", ("wh", 0, 0, (0, 0, 1, 1), 2), ValueError),
    ("3x3 parse", "sample_matrix_3x3", "white", ((0, 0, 16, 16), None), TypeError),
    ("affine bytes", "sample_matrix_affine", "code", (21, *GRID, 3), bytes),
    (
        "affine extreme",
        "sample_matrix_affine",
        "code",
        (9, NAN, INF, -1e300, 1e300, -0.0, INF, 2**31 - 1),
        bytes,
    ),
    ("affine size", "sample_matrix_affine", "white", (7, *ONES, 1), ValueError),
    ("affine window", "sample_matrix_affine", "white", (21, *ONES, 4), ValueError),
    ("affine huge size", "sample_matrix_affine", "white", (50000, *ONES, 1), ValueError),
    ("affine parse", "sample_matrix_affine", "white", (21, *ONES, 1.0), TypeError),
    ("score float", "score_finder", "matrix", (21,), float),
    ("score small", "score_finder", "matrix", (20,), float),
    ("score short", "score_finder", "short", (21,), float),
    ("score parse", "score_finder", "matrix", (2**31,), OverflowError),
]
IDS = [c[0] for c in CASES]
KINDS = ["bytes", "bytearray", "memoryview"]


def build(image: str, tail: tuple, kind: str) -> tuple:
    """The arguments of one call, with a new buffer object that only this test holds."""
    if image in ("matrix", "short"):
        data, head = bytes(441 if image == "matrix" else 440), ()
    else:
        data, width, height = IMAGES[image]
        head = (width, height)
    if tail[:1] == ("wh",):
        head, tail = (), tail[1:]
    if kind == "bytes":
        buf = bytes(bytearray(data))
    elif kind == "bytearray":
        buf = bytearray(data)
    else:
        buf = memoryview(bytearray(data))
    return (buf, *head, *tail)


def run(name, args, outcome):
    fn = getattr(_zeltra, name)
    if isinstance(outcome, type) and issubclass(outcome, BaseException):
        with pytest.raises(outcome):
            fn(*args)
        return None
    result = fn(*args)
    assert (result is None) if outcome is None else (type(result) is outcome)
    return result


def watched(args):
    """The arguments whose count only this test can change: everything but small ints."""
    return [
        a
        for a in args
        if not (type(a) is int and -5 <= a <= 256) and not (type(a) is bytes and len(a) < 2)
    ]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("label,name,image,tail,outcome", CASES, ids=IDS)
def test_argument_counts_and_result_ownership(label, name, image, tail, outcome, kind):
    args = build(image, tail, kind)
    keep = watched(args)
    before = [sys.getrefcount(a) for a in keep]
    # Garbage left by earlier tests (cycles through tracebacks) is collected first: the
    # collector freeing it inside the loop moved None's count by hundreds.
    gc.collect()
    none_before = sys.getrefcount(None)
    for _ in range(300):
        result = run(name, args, outcome)
        if result is not None and result != b"":
            # Held by `result` and by getrefcount's argument, nowhere else.
            assert sys.getrefcount(result) == 2, label
    del result
    assert [sys.getrefcount(a) for a in keep] == before, label
    # A missing or extra reference to None would move its count by about one per call.
    assert abs(sys.getrefcount(None) - none_before) < 100
    if isinstance(args[0], memoryview):
        args[0].release()  # BufferError while an export of the view is still held
    elif isinstance(args[0], bytearray):
        args[0].extend(b"\0")  # BufferError for a bytearray still exported


def memory_round(reps: int) -> None:
    for _, name, image, tail, outcome in CASES:
        args = build(image, tail, "bytearray")
        for _ in range(reps):
            run(name, args, outcome)


def test_traced_memory_stays_flat():
    memory_round(3)  # warm caches, free lists, first-call allocations
    gc.collect()
    tracemalloc.start()
    try:
        memory_round(3)
        gc.collect()
        start, _ = tracemalloc.get_traced_memory()
        memory_round(60)  # about 2000 calls on every path
        gc.collect()
        end, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    # A leaked run list (1 KiB), candidate array (10 KiB), result or exception per call would
    # add megabytes.
    assert end - start < 64 * 1024, end - start


def resident_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.skipif(
    "asan" in os.environ.get("LD_PRELOAD", ""),
    reason="the address sanitizer holds freed memory in quarantine",
)
def test_resident_size_stays_flat_over_many_calls():
    memory_round(20)
    gc.collect()
    before = resident_bytes()
    memory_round(600)  # about 20000 calls
    gc.collect()
    growth = resident_bytes() - before
    # A candidate array (10 KiB) leaked on the finder paths would add tens of MiB, a run
    # list (1 KiB) on the module-size paths four; flat code moves by a few pages.
    assert growth < 3 * 1024 * 1024, growth


def test_restore_delegate_keeps_counts_and_memory():
    matrix = qr_matrix()
    good = bytearray(matrix)
    unreadable = bytearray(441)  # no format word can be read
    calls = [
        ((good, 21), bytes),
        ((unreadable, 21), ValueError),
        ((good, 22), ValueError),
        ((good,), TypeError),
        ((memoryview(good).cast("B", (21, 21)), 21), bytes),
    ]
    expected = _restore.strict_restore_qr_matrix(bytes(matrix), 21)
    keep = [a for args, _ in calls for a in watched(args)]
    before = [sys.getrefcount(a) for a in keep]

    def round_(reps):
        for args, outcome in calls:
            for _ in range(reps):
                if outcome is bytes:
                    result = _zeltra.strict_restore_qr_matrix(*args)
                    assert result == expected
                    assert sys.getrefcount(result) == 2
                else:
                    with pytest.raises(outcome):
                        _zeltra.strict_restore_qr_matrix(*args)

    round_(3)
    gc.collect()
    tracemalloc.start()
    try:
        start, _ = tracemalloc.get_traced_memory()
        round_(300)
        gc.collect()
        end, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert end - start < 64 * 1024, end - start
    assert [sys.getrefcount(a) for a in keep] == before
    calls[-1][0][0].release()
    good.extend(b"\0")
    unreadable.extend(b"\0")
