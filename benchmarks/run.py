"""Timings of halvern's native core, its reading pipeline and two peer readers.

    python benchmarks/run.py            # full run, about two minutes
    python benchmarks/run.py --quick    # smoke run, a few seconds

Every image is generated here (segno draws the codes). Each native function of
``halvern._zeltra`` is timed on the bits image itself (a C-contiguous uint8 NumPy array of
0/1, 1 = black, passed through the buffer protocol), next to ``numpy.count_nonzero`` over
the same array: one pass over the memory, the floor of anything that reads every pixel.
The peers (zxing-cpp, OpenCV) get the same image as 0/255 grayscale, 255 = white.
Needs the ``bench`` extra: ``pip install numpy segno zxing-cpp opencv-python-headless``.
"""

from __future__ import annotations

import argparse
import functools
import hashlib
import importlib.metadata
import math
import os
import platform
import statistics
import sys
import threading
import time
from collections.abc import Callable
from typing import Any

import numpy as np
import segno

import halvern
from halvern import _engine, _zeltra

zxingcpp: Any
cv2: Any
try:
    import zxingcpp
except ImportError:  # peers are optional: their rows are left out
    zxingcpp = None
try:
    import cv2
except ImportError:
    cv2 = None

VARIANCE = 0.5
FALLBACK_SIZE = 57


# ---------------------------------------------------------------- timing


class Timer:
    def __init__(self, min_repeats: int, min_time: float, max_time: float) -> None:
        self.min_repeats = min_repeats
        self.min_time = min_time
        self.max_time = max_time

    def median(self, fn: Callable[[], Any]) -> float:
        """Median seconds per call.

        Calls much shorter than a millisecond are timed in batches, so that the clock's
        resolution and the loop's own cost stay small next to what is measured.
        """
        return statistics.median(self.samples(fn))

    def fastest(self, fn: Callable[[], Any]) -> float:
        """Seconds per call of the fastest batch: on a busy machine the least disturbed."""
        return min(self.samples(fn))

    def samples(self, fn: Callable[[], Any]) -> list[float]:
        """Seconds per call of each timed batch."""
        start = time.perf_counter()
        fn()
        first = time.perf_counter() - start
        batch = 1 if first >= 1e-3 else max(1, min(10_000, int(1e-3 / max(first, 1e-7))))
        samples: list[float] = []
        began = time.perf_counter()
        while True:
            t0 = time.perf_counter()
            for _ in range(batch):
                fn()
            samples.append((time.perf_counter() - t0) / batch)
            spent = time.perf_counter() - began
            if len(samples) >= self.min_repeats and (spent >= self.min_time or spent >= self.max_time):
                break
        return samples


def fmt_time(seconds: float) -> str:
    if seconds < 1e-6:
        return f"{seconds * 1e9:7.1f} ns"
    if seconds < 1e-3:
        return f"{seconds * 1e6:7.1f} us"
    if seconds < 1.0:
        return f"{seconds * 1e3:7.2f} ms"
    return f"{seconds:7.3f} s "


# ---------------------------------------------------------------- images


def symbol_modules(version: int, text: str) -> np.ndarray:
    """The symbol's modules without quiet zone, 1 = dark."""
    qr = segno.make_qr(text, version=version, error="m", boost_error=False)
    return np.array([list(row) for row in qr.matrix], dtype=np.uint8)


def place(modules: np.ndarray, scale: int, width: int, height: int) -> np.ndarray:
    """A white width x height bits image with the symbol drawn in its middle."""
    drawn = np.kron(modules, np.ones((scale, scale), dtype=np.uint8))
    image = np.zeros((height, width), dtype=np.uint8)
    top = (height - drawn.shape[0]) // 2
    left = (width - drawn.shape[1]) // 2
    image[top : top + drawn.shape[0], left : left + drawn.shape[1]] = drawn
    return image


def rotated(bits: np.ndarray, degrees: float) -> np.ndarray:
    """The image rotated about its centre, nearest neighbour, outside white; still 0/1."""
    h, w = bits.shape
    a = math.radians(degrees)
    cos, sin = math.cos(a), math.sin(a)
    cx, cy = (w - 1) / 2, (h - 1) / 2
    out = np.zeros_like(bits)
    xs = np.arange(w, dtype=np.float64) - cx
    # Inverse mapping in bands of rows, so the coordinate arrays stay small.
    for y0 in range(0, h, 256):
        ys = np.arange(y0, min(h, y0 + 256), dtype=np.float64)[:, None] - cy
        sx = np.rint(cos * xs + sin * ys + cx).astype(np.int64)
        sy = np.rint(-sin * xs + cos * ys + cy).astype(np.int64)
        inside = (sx >= 0) & (sx < w) & (sy >= 0) & (sy < h)
        band = np.zeros(sx.shape, dtype=np.uint8)
        band[inside] = bits[sy[inside], sx[inside]]
        out[y0 : y0 + band.shape[0]] = band
    return out


def make_images() -> list[tuple[str, np.ndarray, str | None]]:
    text5 = "halvern benchmark, version 5"
    text10 = "halvern benchmark: a version 10 symbol at twenty pixels per module"
    v5 = place(symbol_modules(5, text5), 8, 1000, 1000)
    v10 = place(symbol_modules(10, text10), 20, 4000, 3000)
    rng = np.random.default_rng(20240601)
    noise = (rng.random((1000, 1000)) < 0.5).astype(np.uint8)
    return [
        ("1000x1000, v5 at 8 px/module", v5, text5),
        ("4000x3000, v10 at 20 px/module", v10, text10),
        ("4000x3000, v10 at 20 px/module, rotated 15 deg", rotated(v10, 15.0), text10),
        ("4000x3000, all white", np.zeros((3000, 4000), dtype=np.uint8), None),
        ("1000x1000, random noise p=0.5", noise, None),
    ]


# ---------------------------------------------------------------- grids


def black_run(line: np.ndarray, i: int) -> tuple[int, int]:
    """First and last index of the black run of ``line`` through index i."""
    lo = hi = i
    while lo > 0 and line[lo - 1]:
        lo -= 1
    while hi < len(line) - 1 and line[hi + 1]:
        hi += 1
    return lo, hi


def refine_centre(bits: np.ndarray, x: float, y: float) -> tuple[float, float]:
    """The middle of the finder's centre block through a scan hit, in continuous pixel
    coordinates (pixel i covers [i, i + 1)).

    The scan reports a hit where it met the centre run, near its left end, so the raw
    point is about a module off; the middles of the row and column runs through it are not.
    """
    h, w = bits.shape
    ix, iy = int(x), int(y)
    if not (0 <= ix < w and 0 <= iy < h and bits[iy, ix]):
        return x, y
    for _ in range(2):
        lo, hi = black_run(bits[iy], ix)
        ix = (lo + hi) // 2
        cx = (lo + hi + 1) / 2
        lo, hi = black_run(bits[:, ix], iy)
        iy = (lo + hi) // 2
        cy = (lo + hi + 1) / 2
    return cx, cy


def affine_grid(bits: np.ndarray, centres: tuple[float, ...] | None,
                module: float | None) -> tuple[int, tuple[float, ...], str]:
    """size and (tlx, tly, hx, hy, vx, vy) for sample_matrix_affine.

    From the finder centres when the scan found them (each moved to the middle of its
    centre block): the size from the mean span
    between centres in modules, snapped to 17 + 4 * version, and the origin moved by half
    a pitch so that samples fall on module centres. Otherwise a fixed grid of 57 modules
    over the whole image.
    """
    h, w = bits.shape
    if centres is not None and module:
        tlx, tly, trx, try_, blx, bly = (c for i in (0, 2, 4)
                                         for c in refine_centre(bits, centres[i], centres[i + 1]))
        span = (math.dist((tlx, tly), (trx, try_)) + math.dist((tlx, tly), (blx, bly))) / 2
        version = min(40, max(1, round((span / module + 7 - 17) / 4)))
        size = 17 + 4 * version
        hx, hy, vx, vy = trx - tlx, try_ - tly, blx - tlx, bly - tly
        pitches = size - 7
        ox = tlx + 0.5 * (hx + vx) / pitches - 0.5
        oy = tly + 0.5 * (hy + vy) / pitches - 0.5
        return size, (ox, oy, hx, hy, vx, vy), "from finder centres"
    pitch = min(w, h) / FALLBACK_SIZE
    span = (FALLBACK_SIZE - 7) * pitch
    return FALLBACK_SIZE, (4.0 * pitch - 0.5, 4.0 * pitch - 0.5, span, 0.0, 0.0, span), "fixed"


# ---------------------------------------------------------------- NumPy samplers


def numpy_affine(bits: np.ndarray, size: int, tlx_d: float, tly_d: float, hx_d: float,
                 hy_d: float, vx_d: float, vy_d: float, window: int) -> bytes:
    """The affine sampler's arithmetic vectorised: 16.16 fixed point in int64, clamped
    window positions, dark when 2 * black >= window * window."""
    h, w = bits.shape
    d = size - 7.0
    step = int((1.0 / d) * 65536.0)
    k = 3.5 / d
    tlx = int((tlx_d - hx_d * k - vx_d * k) * 65536.0)
    tly = int((tly_d - hy_d * k - vy_d * k) * 65536.0)
    hx, hy, vx, vy = (int(v * 65536.0) for v in (hx_d, hy_d, vx_d, vy_d))
    idx = np.arange(size, dtype=np.int64)
    line_x = tlx + ((idx * vx * step) >> 16)
    line_y = tly + ((idx * vy * step) >> 16)
    cx = (line_x[:, None] + ((idx * hx * step) >> 16)[None, :] + 32768) >> 16
    cy = (line_y[:, None] + ((idx * hy * step) >> 16)[None, :] + 32768) >> 16
    radius = window >> 1
    flat = bits.reshape(-1)
    black = np.zeros((size, size), dtype=np.int32)
    for dy in range(-radius, radius + 1):
        row = np.clip(cy + dy, 0, h - 1) * w
        for dx in range(-radius, radius + 1):
            black += flat[row + np.clip(cx + dx, 0, w - 1)]
    return (2 * black >= window * window).astype(np.uint8).tobytes()


OFFSETS = (1.0 / 6.0, 0.5, 5.0 / 6.0)


def numpy_3x3(bits: np.ndarray, box: tuple[int, int, int, int], size: int) -> bytes:
    """The box sampler's arithmetic vectorised: cell edges in double, nine samples per
    module truncated and clamped, dark when more than four are black."""
    h, w = bits.shape
    left, top, right, bottom = box
    bw = float(right - left) if right - left > 0 else 1.0
    bh = float(bottom - top) if bottom - top > 0 else 1.0
    m = np.arange(size, dtype=np.float64)
    y0 = (m * bh) / size + top
    y1 = ((m + 1) * bh) / size + top
    x0 = (m * bw) / size + left
    x1 = ((m + 1) * bw) / size + left
    rows = [np.clip(((y1 - y0) * o + y0).astype(np.int64), 0, h - 1) for o in OFFSETS]
    cols = [np.clip(((x1 - x0) * o + x0).astype(np.int64), 0, w - 1) for o in OFFSETS]
    votes = np.zeros((size, size), dtype=np.int32)
    for r in rows:
        sub = bits[r]
        for c in cols:
            votes += sub[:, c]
    return (votes > 4).astype(np.uint8).tobytes()


# ---------------------------------------------------------------- report


def table(rows: list[tuple[str, float | None, str, str]]) -> None:
    print(f"  {'function':<38} {'median':>10} {'x floor':>9}  result")
    for name, seconds, ratio, note in rows:
        shown = fmt_time(seconds) if seconds is not None else "       -  "
        print(f"  {name:<38} {shown} {ratio:>9}  {note}")


def verdict(found: Any, expected: str | None) -> str:
    if found is None:
        return "none" if expected is None else "MISSED"
    if hasattr(found, "text"):
        return "ok" if found.text == expected else f"WRONG {found.text!r}"
    return f"found (v{found.version}, score {found.score:.3f})" if hasattr(found, "version") else "found"


def bench_image(timer: Timer, title: str, bits: np.ndarray, expected: str | None) -> None:
    h, w = bits.shape
    assert bits.flags.c_contiguous and bits.dtype == np.uint8
    gray = np.ascontiguousarray(((1 - bits) * 255).astype(np.uint8))  # 255 = white

    bbox = _zeltra.find_black_bbox_bits(bits, w, h)
    box = bbox if bbox is not None else (0, 0, w, h)
    module = _zeltra.estimate_module_size(bits, w, h, box)
    centres = _zeltra.find_finder_centers(bits, w, h, VARIANCE)
    size, grid, origin = affine_grid(bits, centres, module)
    sampled = _zeltra.sample_matrix_affine(bits, w, h, size, *grid, 1)
    score = _zeltra.score_finder(sampled, size)
    print(f"\n== {title}: bbox {bbox}, module {module}, "
          f"grid size {size} {origin}, finder score {score:.3f}")

    floor = timer.median(lambda: np.count_nonzero(bits))
    rows: list[tuple[str, float | None, str, str]] = [("numpy.count_nonzero (floor)", floor, "1.0", "")]

    def native(name: str, fn: Callable[[], Any], note: str = "") -> float:
        t = timer.median(fn)
        rows.append((name, t, f"{t / floor:.2f}", note))
        return t

    native("find_black_bbox_bits", lambda: _zeltra.find_black_bbox_bits(bits, w, h))
    native("estimate_module_size", lambda: _zeltra.estimate_module_size(bits, w, h, box),
           "box from bbox" if bbox is not None else "full image")
    native("find_finder_centers", lambda: _zeltra.find_finder_centers(bits, w, h, VARIANCE),
           "found" if centres is not None else "none")
    native("sample_matrix_3x3", lambda: _zeltra.sample_matrix_3x3(bits, w, h, box, size),
           f"{size}x{size}")
    for window in (1, 5):
        native(f"sample_matrix_affine w={window}",
               functools.partial(_zeltra.sample_matrix_affine, bits, w, h, size, *grid, window),
               f"{size}x{size}")
    native("score_finder", lambda: _zeltra.score_finder(sampled, size))

    pipeline: dict[str, float] = {}
    for name in ("read_matrix", "read"):
        if hasattr(halvern, name):
            fn = getattr(halvern, name)
            result = fn(bits)
            t = native(f"halvern.{name}", functools.partial(fn, bits), verdict(result, expected))
            pipeline[name] = t

    peers: dict[str, float] = {}
    if zxingcpp is not None:
        qr = zxingcpp.BarcodeFormat.QRCode
        found = zxingcpp.read_barcodes(gray, formats=qr)
        t = timer.median(lambda: zxingcpp.read_barcodes(gray, formats=qr))
        peers["zxing"] = t
        note = "none" if not found else ("ok" if found[0].text == expected else f"WRONG {found[0].text!r}")
        rows.append(("zxingcpp.read_barcodes (QRCode)", t, f"{t / floor:.2f}", note))
    if cv2 is not None:
        detector = cv2.QRCodeDetector()
        ok, _ = detector.detect(gray)
        t = timer.median(lambda: detector.detect(gray))
        peers["opencv"] = t
        rows.append(("cv2.QRCodeDetector().detect", t, f"{t / floor:.2f}", "found" if ok else "none"))
    table(rows)

    ratios = [f"{peer}/{name} {tp / tn:.2f}" for peer, tp in peers.items() for name, tn in pipeline.items()]
    if ratios:
        print("  peers / pipeline: " + ", ".join(ratios))


def bench_samplers(timer: Timer) -> None:
    """The two samplers on the largest grid, native against NumPy, per module."""
    scale, border = 4, 4
    text = "halvern version 40 " * 40
    modules = symbol_modules(40, text)
    size = modules.shape[0]
    bits = place(modules, scale, (size + 2 * border) * scale, (size + 2 * border) * scale)
    h, w = bits.shape
    # Exact geometry: module c is centred on pixel (border + c + 0.5) * scale - 0.5, and
    # the sampler reads column c at tl + (c - 3.5) pitches.
    origin = (border + 4) * scale - 0.5
    span = (size - 7) * scale
    grid = (origin, origin, float(span), 0.0, 0.0, float(span))
    box = (border * scale, border * scale, (border + size) * scale, (border + size) * scale)
    n = size * size
    print(f"\n== samplers on a version-40 grid ({size}x{size} = {n} modules), "
          f"{w}x{h} image at {scale} px/module")
    print(f"  {'sampler':<30} {'native/module':>14} {'numpy/module':>13} {'numpy/native':>13}  same bytes")
    cases: list[tuple[str, Callable[[], bytes], Callable[[], bytes]]] = [
        ("sample_matrix_3x3",
         lambda: _zeltra.sample_matrix_3x3(bits, w, h, box, size),
         lambda: numpy_3x3(bits, box, size)),
    ]
    for window in (1, 3):
        cases.append((f"sample_matrix_affine w={window}",
                      functools.partial(_zeltra.sample_matrix_affine, bits, w, h, size, *grid, window),
                      functools.partial(numpy_affine, bits, size, *grid, window)))
    for name, nat, ref in cases:
        same = nat() == ref()
        tn = timer.median(nat)
        tr = timer.median(ref)
        print(f"  {name:<30} {fmt_time(tn / n):>14} {fmt_time(tr / n):>13} {tr / tn:>13.1f}  "
              f"{'yes' if same else 'NO'}")
    matrix = _zeltra.sample_matrix_affine(bits, w, h, size, *grid, 1)
    print(f"  (matrix equals the symbol: {matrix == modules.tobytes()}, "
          f"finder score {_zeltra.score_finder(matrix, size):.3f})")
    bench_threads(timer, bits, size, grid, box)


def bench_threads(timer: Timer, bits: np.ndarray, size: int, grid: tuple[float, ...],
                  box: tuple[int, int, int, int]) -> None:
    """Same total work on one thread and split over two: only a call that releases the
    interpreter lock can gain.

    Serial and threaded runs alternate and the speed-up is the median of the ratios of
    each pair, so that load from elsewhere on the machine hits both sides alike.
    """
    h, w = bits.shape
    blob = bytes(8_000_000)
    workloads: list[tuple[str, Callable[[], Any]]] = [
        ("sample_matrix_affine w=5",
         lambda: _zeltra.sample_matrix_affine(bits, w, h, size, *grid, 5)),
        ("sample_matrix_3x3 (holds the lock)",
         lambda: _zeltra.sample_matrix_3x3(bits, w, h, box, size)),
        # hashlib hashes a large buffer without the lock: the speed-up the machine allows.
        ("hashlib.sha256 8 MB (machine ceiling)", lambda: hashlib.sha256(blob).digest()),
    ]
    run_time = 0.01 if timer.min_time < 0.2 else 0.05
    print(f"\n== two threads against one, same total work, {os.cpu_count()} CPUs")
    for name, fn in workloads:
        ones, twos, calls = thread_runs(timer, fn, run_time)
        gain = statistics.median(a / b for a, b in zip(ones, twos))
        print(f"  {name:<38} {2 * calls:>5} calls  1 thread {fmt_time(statistics.median(ones))}"
              f"  2 threads {fmt_time(statistics.median(twos))}  speed-up {gain:.2f}x")


def thread_runs(timer: Timer, fn: Callable[[], Any],
                run_time: float) -> tuple[list[float], list[float], int]:
    """Alternating wall times of 2 * calls calls on one thread and calls on each of two."""
    start = time.perf_counter()
    fn()
    calls = max(2, int(run_time / 2 / max(time.perf_counter() - start, 1e-7)))

    def work(n: int = calls) -> None:
        for _ in range(n):
            fn()

    def serial() -> float:
        t0 = time.perf_counter()
        work(2 * calls)
        return time.perf_counter() - t0

    def parallel() -> float:
        threads = [threading.Thread(target=work) for _ in range(2)]
        t0 = time.perf_counter()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        return time.perf_counter() - t0

    serial(), parallel()
    ones: list[float] = []
    twos: list[float] = []
    began = time.perf_counter()
    while len(ones) < timer.min_repeats or time.perf_counter() - began < 2 * timer.min_time:
        ones.append(serial())
        twos.append(parallel())
    return ones, twos, calls


def damaged_codewords(matrix: bytes, version: int, level: str, seed: int) -> bytes:
    """``matrix`` with half the correctable codewords of every block given random values."""
    rng = np.random.default_rng(seed)
    ec, lengths, correctable = _engine._block_layout(version, "LMQH".index(level))
    slots: list[int] = []  # block of each codeword of the interleaved stream
    for i in range(max(lengths)):
        slots += [b for b, n in enumerate(lengths) if i < n]
    slots += list(range(len(lengths))) * ec
    order = _engine._placement(version)
    out = bytearray(matrix)
    for block in range(len(lengths)):
        mine = [k for k, b in enumerate(slots) if b == block]
        for k in rng.choice(mine, size=correctable // 2, replace=False):
            value = int(rng.integers(1, 256))
            for bit in range(8):
                if value >> (7 - bit) & 1:
                    out[order[8 * k + bit]] ^= 1
    return bytes(out)


def bench_decoder(timer: Timer) -> None:
    """Restoring and decoding one symbol, natively and through the Python wrapper, next to
    zxing-cpp's read of the bare symbol (1 px per module, 4-module quiet zone,
    is_pure=True)."""
    level = "H"
    print(f"\n== restoring and decoding one {level} symbol: halvern vs zxing-cpp is_pure=True "
          "(fastest batch of each, the least disturbed by other work)")
    print(f"  {'symbol':<22} {'native':>10} {'+restore':>10} {'python':>10} {'zxing-cpp':>10}  native/zxing")
    for version in (1, 10, 40):
        _, lengths, _ = _engine._block_layout(version, "LMQH".index(level))
        text = ("halvern " * 400)[: sum(lengths) - (2 if version < 10 else 3)]  # a full symbol
        symbol = segno.make_qr(text, version=version, error=level, mode="byte", boost_error=False)
        modules = np.array(symbol.matrix, dtype=np.uint8)
        size = modules.shape[0]
        clean = modules.tobytes()
        for state, matrix in (("clean", clean), ("half damaged", damaged_codewords(clean, version, level, version))):
            expected = halvern.decode_matrix(clean, size).text
            assert halvern.decode_matrix(matrix, size).text == expected
            native = timer.fastest(lambda: _engine.decode_matrix(matrix, size))
            both = timer.fastest(lambda: _engine.decode_matrix(_engine.restore(matrix, size), size))
            python = timer.fastest(lambda: halvern.decode_matrix(matrix, size))
            peer = None
            if zxingcpp is not None:
                grid = np.frombuffer(matrix, dtype=np.uint8).reshape(size, size)
                image = np.full((size + 8, size + 8), 255, dtype=np.uint8)
                image[4:-4, 4:-4] = 255 * (1 - grid)
                found = zxingcpp.read_barcodes(image, is_pure=True)
                assert found and found[0].text == expected, "zxing-cpp misread the symbol"
                peer = timer.fastest(lambda: zxingcpp.read_barcodes(image, is_pure=True))
            ratio = f"{native / peer:8.1%}" if peer else "       -"
            print(f"  {f'{version}-{level} {state}':<22} {fmt_time(native):>10} {fmt_time(both):>10} "
                  f"{fmt_time(python):>10} {fmt_time(peer) if peer else '-':>10}  {ratio}")


def version_of(dist: str) -> str:
    try:
        return importlib.metadata.version(dist)
    except importlib.metadata.PackageNotFoundError:
        return "not installed"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer repeats, for a smoke run")
    args = parser.parse_args(argv)
    timer = Timer(3, 0.02, 0.5) if args.quick else Timer(5, 0.5, 3.0)

    print(f"machine: {platform.machine()} {platform.processor() or ''}".rstrip()
          + f", {os.cpu_count()} CPUs, {platform.system()} {platform.release()}, "
          f"load average {os.getloadavg()[0]:.2f} (other work skews the timings)")
    print(f"python {platform.python_version()}, numpy {np.__version__}, segno {segno.__version__}, "
          f"halvern {getattr(halvern, '__version__', '?')}, zxing-cpp {version_of('zxing-cpp')}, "
          f"opencv {cv2.__version__ if cv2 is not None else 'not installed'}")
    print("times are medians per call; 'x floor' is the time over numpy.count_nonzero's "
          "on the same array")

    started = time.perf_counter()
    for title, bits, expected in make_images():
        bench_image(timer, title, bits, expected)
    bench_samplers(timer)
    bench_decoder(timer)
    print(f"\ntotal {time.perf_counter() - started:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
