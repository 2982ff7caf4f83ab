"""How fast halvern reads every kind of image, next to zxing-cpp, OpenCV and one pass over memory.

    python benchmarks/run.py            # full run, a few minutes
    python benchmarks/run.py --quick    # smoke run, under a minute (1 MP at most)
    python benchmarks/run.py --clock wall   # wall time instead of processor time
    python benchmarks/run.py --only small --only scaling   # some classes only

Every image is drawn here from a fixed seed (segno renders the codes, ``scenes.py`` the
camera-like scenes; nothing is downloaded). Per class of image it prints the median time per
image of each reader beside how many images it got right, halvern's time over each reader's
in both modes (below 1: halvern is faster), and each time over the floor's; a table of both
modes against zxing-cpp's two settings per class, and a summary that checks every speed
target, close the run. Readers:

- ``halvern.read``: bilevel images as the 0/1 uint8 array (1 = black), scenes as grayscale;
- ``halvern.read fast``: the same with ``try_harder=False`` (one pass, no fallbacks);
- ``_engine.read``: the native reader called directly with the options ``halvern.read``
  passes (the difference is halvern's Python layer);
- zxing-cpp with its default settings, restricted to QR codes;
- zxing-cpp with its fastest settings for the input: on bilevel images ``Binarizer.BoolCast``
  (zero reads as black: the 0/255 image below is fed as it is) and no rotate, invert or
  downscale tries; on grayscale the default binarizer with the three tries off;
- OpenCV ``QRCodeDetector().detectAndDecode``;
- ``numpy.count_nonzero`` over the array halvern reads: one pass over memory, the floor.

The peers get bilevel images as 0/255 grayscale, 0 = black. Readers are timed round robin on
each image, by default on the process's processor-time clock, so that load from elsewhere on
the machine hits them alike and the ratios of one run stay meaningful when the absolute times
do not. An image counts as read when a text the
reader returns is the one drawn; on pages without a code, when the reader returns nothing.
Needs the ``bench`` extra: ``pip install ".[bench]"`` (numpy, segno, Pillow, zxing-cpp, OpenCV).
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
import subprocess
import sys
import threading
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import segno

import halvern
from halvern import _engine
from halvern._content import decoded_from_native

zxingcpp: Any
cv2: Any
try:
    import zxingcpp
except ImportError:  # peers are optional: their columns are left out
    zxingcpp = None
try:
    import cv2

    cv2.utils.logging.setLogLevel(cv2.utils.logging.LOG_LEVEL_ERROR)  # errors only: its warnings on ECI symbols would litter the tables
    # One thread, as the other readers use: OpenCV's pool keeps its workers spinning for a
    # while after a call, and on the processor clock that time was charged to whatever
    # was timed next (halvern.read after OpenCV in every round: 448 us on small codes
    # where it takes 222 us).
    cv2.setNumThreads(1)
except ImportError:
    cv2 = None

SEED = 20261209
QUIET = 4
# Byte capacity of versions 1 to 40 at level M, for texts that fill a symbol.
BYTES_M = (14, 26, 42, 62, 84, 106, 122, 152, 180, 213, 251, 287, 331, 362, 412, 450, 504, 560,
           624, 666, 711, 779, 857, 911, 997, 1059, 1125, 1190, 1264, 1370, 1452, 1538, 1628,
           1722, 1809, 1911, 1989, 2099, 2213, 2331)
PRINTABLE = np.frombuffer(b"".join(bytes([c]) for c in range(33, 127)), dtype=np.uint8)


# ---------------------------------------------------------------- timing


# Processor time of the whole process is the default clock of every per-image time (the
# thread benchmark always uses the wall clock): on a machine shared with other work, wall
# time also counts the time a reader waited for a core, and the ratios drift with the load;
# the process clock still counts every thread a reader starts (OpenCV's pool included).
CLOCKS: dict[str, Callable[[], float]] = {"cpu": time.process_time, "wall": time.perf_counter}


@dataclass(frozen=True)
class Budget:
    """How long to time one image: at least ``rounds`` rounds and ``min_time`` seconds, at
    most ``max_time`` (wall time); a call slower than ``single`` keeps its first run as its
    one sample. Calls are timed on ``clock``."""

    rounds: int
    min_time: float
    max_time: float
    single: float
    clock: Callable[[], float] = CLOCKS["cpu"]


def batch_size(first: float) -> int:
    """Calls per sample: short calls are timed in batches of about a millisecond, so that
    the clock's resolution and the loop's own cost stay small next to what is measured."""
    return 1 if first >= 1e-3 else max(1, min(10_000, int(1e-3 / max(first, 1e-7))))


def measure(calls: dict[str, Callable[[], Any]], budget: Budget) -> dict[str, float]:
    """Median seconds per call of each callable, timed round robin, each batch after one
    untimed call."""
    clock = budget.clock
    firsts: dict[str, float] = {}
    for name, fn in calls.items():
        t0 = clock()
        fn()
        firsts[name] = clock() - t0
    samples: dict[str, list[float]] = {name: [] for name in calls}
    timed = {name: fn for name, fn in calls.items() if firsts[name] < budget.single}
    batches = {name: batch_size(firsts[name]) for name in timed}
    began = time.perf_counter()
    rounds = 0
    while timed:
        for name, fn in timed.items():
            n = batches[name]
            # One untimed call first: the reader timed before left the caches full of its
            # own data, and that cost came out of whoever came next (halvern.read, first
            # in a round, 258 us with the peers beside it and 185 us alone).
            fn()
            t0 = clock()
            for _ in range(n):
                fn()
            samples[name].append((clock() - t0) / n)
        rounds += 1
        spent = time.perf_counter() - began
        if (rounds >= budget.rounds and spent >= budget.min_time) or spent >= budget.max_time:
            break
    return {name: statistics.median(samples[name]) if samples[name] else firsts[name] for name in calls}


def fmt_time(seconds: float | None) -> str:
    if seconds is None or math.isnan(seconds):
        return "-"
    if seconds < 1e-6:
        return f"{seconds * 1e9:.0f} ns"
    if seconds < 1e-3:
        return f"{seconds * 1e6:.1f} us"
    if seconds < 1.0:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds:.2f} s"


def fmt_ratio(a: float | None, b: float | None) -> str:
    if a is None or b is None or b <= 0:
        return "-"
    r = a / b
    return f"{r:.3g}" if r < 100 else f"{r:.0f}"


# ---------------------------------------------------------------- images


@dataclass(frozen=True)
class Sample:
    """One image as each reader gets it. ``bits`` is the 0/1 image of a bilevel picture
    (None for a scene); ``gray`` the same picture as 0..255, 0 black. ``texts`` are the
    codes drawn on it; empty on a page without a code."""

    name: str
    gray: np.ndarray
    bits: np.ndarray | None
    texts: tuple[str, ...]
    group: str = ""

    @property
    def pixels(self) -> np.ndarray:
        """What halvern and the floor read."""
        return self.bits if self.bits is not None else self.gray


def bilevel(name: str, bits: np.ndarray, texts: tuple[str, ...], group: str = "") -> Sample:
    gray = np.where(bits != 0, 0, 255).astype(np.uint8)
    return Sample(name, gray, np.ascontiguousarray(bits, dtype=np.uint8), texts, group)


def random_text(rng: np.random.Generator, length: int) -> str:
    return PRINTABLE[rng.integers(0, len(PRINTABLE), size=length)].tobytes().decode("ascii")


def symbol_modules(text: str, version: int, error: str = "m") -> np.ndarray:
    """The symbol's modules without quiet zone, 1 = dark."""
    qr = segno.make_qr(text, version=version, error=error, boost_error=False, mode="byte")
    return np.array(qr.matrix, dtype=np.uint8)


def with_quiet_zone(modules: np.ndarray, scale: int) -> np.ndarray:
    """The symbol drawn at ``scale`` px/module inside its 4-module quiet zone."""
    return np.kron(np.pad(modules, QUIET), np.ones((scale, scale), dtype=np.uint8))


def rotated(bits: np.ndarray, degrees: float) -> np.ndarray:
    """The image turned about its centre, nearest neighbour, outside white; still 0/1."""
    h, w = bits.shape
    a = math.radians(degrees)
    cos, sin = math.cos(a), math.sin(a)
    cx, cy = (w - 1) / 2, (h - 1) / 2
    xs = np.arange(w, dtype=np.float64)[None, :] - cx
    ys = np.arange(h, dtype=np.float64)[:, None] - cy
    sx = np.rint(cos * xs + sin * ys + cx).astype(np.int64)
    sy = np.rint(-sin * xs + cos * ys + cy).astype(np.int64)
    inside = (sx >= 0) & (sx < w) & (sy >= 0) & (sy < h)
    out = np.zeros_like(bits)
    out[inside] = bits[sy[inside], sx[inside]]
    return out


def turned_side(side: int, degrees: float) -> int:
    """The side of a square that holds a square of ``side`` pixels turned by ``degrees``."""
    if not degrees:
        return side
    a = math.radians(degrees)
    return int(math.ceil(side * (abs(math.cos(a)) + abs(math.sin(a))))) + 2


def turned_patch(drawn: np.ndarray, degrees: float) -> np.ndarray:
    """``drawn`` turned, on the smallest white square that holds every corner."""
    side = turned_side(max(drawn.shape), degrees)
    square = np.zeros((side, side), dtype=np.uint8)
    top, left = (side - drawn.shape[0]) // 2, (side - drawn.shape[1]) // 2
    square[top : top + drawn.shape[0], left : left + drawn.shape[1]] = drawn
    return rotated(square, degrees)


def paste(page: np.ndarray, patch: np.ndarray, top: int, left: int) -> None:
    page[top : top + patch.shape[0], left : left + patch.shape[1]] = patch


def flip_noise(rng: np.random.Generator, bits: np.ndarray, share: float) -> np.ndarray:
    """``bits`` with a ``share`` of its pixels flipped."""
    return bits ^ noise_page(rng, bits.shape, share)


def noise_page(rng: np.random.Generator, shape: tuple[int, int], share: float) -> np.ndarray:
    """Each pixel black with probability ``share`` (in steps of 1/1000); drawn as uint16 so
    that a 24 MP page needs 48 MB rather than a float array of 192 MB."""
    return (rng.integers(0, 1000, size=shape, dtype=np.uint16) < round(share * 1000)).astype(np.uint8)


def text_page(rng: np.random.Generator, shape: tuple[int, int]) -> np.ndarray:
    """A printed page: lines of random 5 x 7 glyphs at 3 px per dot, 18 x 30 px per
    character cell, 18% of cells blank as spaces, a 20 px margin."""
    h, w = shape
    dot, cell_w, cell_h, margin = 3, 6, 10, 20
    rows, cols = max(0, (h - 2 * margin) // (cell_h * dot)), max(0, (w - 2 * margin) // (cell_w * dot))
    glyphs = rng.integers(0, 100, size=(rows, cols, 7, 5), dtype=np.uint8) < 45
    glyphs &= (rng.integers(0, 100, size=(rows, cols, 1, 1), dtype=np.uint8) >= 18)
    cells = np.zeros((rows, cols, cell_h, cell_w), dtype=np.uint8)
    cells[:, :, :7, :5] = glyphs
    dots = cells.transpose(0, 2, 1, 3).reshape(rows * cell_h, cols * cell_w)
    drawn = dots.repeat(dot, axis=0).repeat(dot, axis=1)
    page = np.zeros(shape, dtype=np.uint8)
    page[margin : margin + drawn.shape[0], margin : margin + drawn.shape[1]] = drawn
    return page


def page_shape(megapixels: float) -> tuple[int, int]:
    """Height and width of a 4:3 page of about this many pixels."""
    width = int(round(math.sqrt(megapixels * 1e6 * 4 / 3)))
    return int(round(width * 3 / 4)), width


def code_page(shape: tuple[int, int], text: str, version: int, scale: int,
              degrees: float) -> np.ndarray:
    """A white page with one symbol in its middle; ValueError when it does not fit."""
    drawn = with_quiet_zone(symbol_modules(text, version), scale)
    patch = turned_patch(drawn, degrees) if degrees else drawn
    if patch.shape[0] > shape[0] or patch.shape[1] > shape[1]:
        raise ValueError(f"a v{version} symbol at {scale} px/module does not fit {shape[1]}x{shape[0]}")
    page = np.zeros(shape, dtype=np.uint8)
    paste(page, patch, (shape[0] - patch.shape[0]) // 2, (shape[1] - patch.shape[1]) // 2)
    return page


def fitting_version(shape: tuple[int, int], scale: int, degrees: float, largest: int) -> int:
    """The largest version up to ``largest`` whose symbol, turned, fits the page."""
    for version in range(largest, 0, -1):
        if turned_side((17 + 4 * version + 2 * QUIET) * scale, degrees) <= min(shape):
            return version
    raise ValueError(f"no symbol at {scale} px/module fits {shape[1]}x{shape[0]}")


def blank_page(kind: str, shape: tuple[int, int], rng: np.random.Generator) -> np.ndarray:
    """A page without a code: white, text, noise-5 or noise-50 (percent black)."""
    if kind == "white":
        return np.zeros(shape, dtype=np.uint8)
    if kind == "text":
        return text_page(rng, shape)
    if kind.startswith("noise-"):
        return noise_page(rng, shape, int(kind.removeprefix("noise-")) / 100)
    raise ValueError(f"unknown page kind {kind!r}")


def small_code(rng: np.random.Generator, index: int) -> Sample:
    """A small bilevel image with one code: version 1-10, 2-9 px/module, sides 100-600 px;
    by index upright, turned 10 degrees, or upright with 1% of pixels flipped."""
    variant = ("upright", "turned 10", "noise 1%")[index % 3]
    degrees = 10.0 if variant == "turned 10" else 0.0
    while True:
        version = int(rng.integers(1, 11))
        scale = int(rng.integers(2, 10))
        need = turned_side((17 + 4 * version + 2 * QUIET) * scale, degrees)
        if need <= 600:
            break
    width, height = (int(rng.integers(max(100, need), 601)) for _ in range(2))
    capacity = BYTES_M[version - 1]
    text = random_text(rng, int(rng.integers(capacity // 2, capacity + 1)))
    drawn = with_quiet_zone(symbol_modules(text, version), scale)
    patch = turned_patch(drawn, degrees) if degrees else drawn
    page = np.zeros((height, width), dtype=np.uint8)
    paste(page, patch, int(rng.integers(0, height - patch.shape[0] + 1)),
          int(rng.integers(0, width - patch.shape[1] + 1)))
    if variant == "noise 1%":
        page = flip_noise(rng, page, 0.01)
    return bilevel(f"v{version} {scale} px/module {width}x{height} {variant}", page, (text,), variant)


def small_codes(count: int, seed: int = SEED) -> list[Sample]:
    rng = np.random.default_rng([seed, 1])
    return [small_code(rng, i) for i in range(count)]


def page_text(version: int) -> str:
    return random_text(np.random.default_rng([SEED, 2, version]), BYTES_M[version - 1] * 3 // 4)


def coded_pages(megapixels: Sequence[float]) -> list[Sample]:
    """Bilevel pages with one code at 8 and 20 px/module, upright and turned 15 degrees: a
    version-5 symbol, or the largest that fits when turned (version 2 at 20 px/module on
    1 MP)."""
    out = []
    for mp in megapixels:
        shape = page_shape(mp)
        for scale in (8, 20):
            version = fitting_version(shape, scale, 15.0, 5)
            text = page_text(version)
            for degrees in (0.0, 15.0):
                name = f"{mp:g} MP, v{version} at {scale} px/module, {'turned 15' if degrees else 'upright'}"
                page = code_page(shape, text, version, scale, degrees)
                out.append(bilevel(name, page, (text,), f"{mp:g} MP"))
    return out


PAGE_KINDS = ("white", "text", "noise-5", "noise-50")


def blank_pages(megapixels: Sequence[float], seed: int = SEED) -> list[Sample]:
    out = []
    for mp in megapixels:
        for k, kind in enumerate(PAGE_KINDS):
            rng = np.random.default_rng([seed, 3, k, int(mp * 1000)])
            out.append(bilevel(f"{mp:g} MP {kind}", blank_page(kind, page_shape(mp), rng), (), kind))
    return out


def camera_scenes(quick: bool) -> list[Sample]:
    """Hand-held photos (the generator's "camera" condition: any angle, tilt, blur, uneven
    light, noise and JPEG together), four of each severity, and one scene per severity of
    each single-symbol camera condition; every third of those in the quick run. Grayscale,
    0 black, straight from the scene generator."""
    here = os.path.dirname(os.path.abspath(__file__))
    if here not in sys.path:
        sys.path.insert(0, here)
    from scenes import scene, severities  # beside this file; imported late as it needs Pillow

    chosen = ("rotation", "mirrored", "tilt", "bend", "blur", "gradient", "vignette", "shadow",
              "contrast", "noise", "jpeg", "inverted")
    picks = [(c, s, 0) for c in chosen for s in severities(c)]
    photos = [("camera", s, i) for s in severities("camera") for i in range(1 if quick else 4)]
    picks = photos + (picks[::3] if quick else picks)
    out = []
    for condition, severity, index in picks:
        drawn = scene(condition, severity, index, SEED)
        gray = np.ascontiguousarray(drawn.image, dtype=np.uint8)
        out.append(Sample(drawn.name, gray, None, drawn.texts, condition))
    return out


# ---------------------------------------------------------------- readers


@dataclass(frozen=True)
class Reader:
    """A reader under test: ``call`` gives the timed call on an image, ``texts`` what its
    result says (None for the floor, which reads nothing)."""

    name: str
    call: Callable[[Sample], Callable[[], Any]]
    texts: Callable[[Any], list[str]] | None


def halvern_texts(result: Any) -> list[str]:
    return [] if result is None else [result.text]


# The native reader's binarizer codes, as halvern.read passes them: a 0/1 array is read as
# it is ("none"), grayscale with the automatic choice.
ENGINE_NONE, ENGINE_AUTO = 3, 0


def engine_call(sample: Sample) -> Callable[[], Any]:
    """The native read with the options halvern.read gives it, without the Python layer
    (input checks, result objects): the difference of the two columns is that layer."""
    px = sample.pixels
    h, w = px.shape
    mode = ENGINE_NONE if sample.bits is not None else ENGINE_AUTO
    return functools.partial(_engine.read, px, w, h, w, mode, True, False)


def engine_texts(records: Any) -> list[str]:
    """Texts of the native reader's decoded records, by halvern's own text rule."""
    return [decoded_from_native(record[0]).text for record in records if record[0] is not None]


def zxing_default(sample: Sample) -> Callable[[], Any]:
    return functools.partial(zxingcpp.read_barcodes, sample.gray, formats=zxingcpp.BarcodeFormat.QRCode)


def zxing_fastest(sample: Sample) -> Callable[[], Any]:
    options: dict[str, Any] = {"try_rotate": False, "try_invert": False, "try_downscale": False}
    if sample.bits is not None:
        options["binarizer"] = zxingcpp.Binarizer.BoolCast
    return functools.partial(zxingcpp.read_barcodes, sample.gray,
                             formats=zxingcpp.BarcodeFormat.QRCode, **options)


def zxing_texts(found: Any) -> list[str]:
    return [r.text for r in found]


def opencv_call(sample: Sample) -> Callable[[], Any]:
    return functools.partial(cv2.QRCodeDetector().detectAndDecode, sample.gray)


def opencv_texts(found: Any) -> list[str]:
    """detectAndDecode's text; empty is its "nothing decoded"."""
    return [found[0]] if found[0] else []


HALVERN = "halvern.read"
FAST = "halvern.read fast"
ENGINE = "_engine.read"
ZX_DEFAULT = "zxing-cpp default"
ZX_FAST = "zxing-cpp fastest"
OPENCV = "OpenCV"
FLOOR = "count_nonzero"


def readers() -> list[Reader]:
    out = [Reader(HALVERN, lambda s: functools.partial(halvern.read, s.pixels), halvern_texts),
           Reader(FAST, lambda s: functools.partial(halvern.read, s.pixels, try_harder=False), halvern_texts)]
    out.append(Reader(ENGINE, engine_call, engine_texts))
    if zxingcpp is not None:
        out.append(Reader(ZX_DEFAULT, zxing_default, zxing_texts))
        out.append(Reader(ZX_FAST, zxing_fastest, zxing_texts))
    if cv2 is not None:
        out.append(Reader(OPENCV, opencv_call, opencv_texts))
    out.append(Reader(FLOOR, lambda s: functools.partial(np.count_nonzero, s.pixels), None))
    return out


def is_read(sample: Sample, texts: list[str]) -> bool:
    """A code is read when a returned text is one drawn; a page without one when nothing
    is returned."""
    return any(t in sample.texts for t in texts) if sample.texts else not texts


# ---------------------------------------------------------------- classes


@dataclass
class Outcome:
    """Per reader, the median time of each image and whether it was read."""

    times: dict[str, list[float]] = field(default_factory=dict)
    ok: dict[str, list[bool]] = field(default_factory=dict)

    def median(self, reader: str) -> float | None:
        return statistics.median(self.times[reader]) if self.times.get(reader) else None

    def successes(self, reader: str) -> int | None:
        return sum(self.ok[reader]) if reader in self.ok else None


def swallowing(fn: Callable[[], Any]) -> Callable[[], Any]:
    """``fn`` with its exception turned into None: a reader that raises on an image is
    still timed on it (and counted as not reading it)."""
    def call() -> Any:
        try:
            return fn()
        except Exception:  # noqa: BLE001 - reported once by run_images
            return None
    return call


def run_images(samples: Sequence[Sample], budget: Budget, chosen: Sequence[Reader]) -> Outcome:
    outcome = Outcome()
    for sample in samples:
        calls = {r.name: r.call(sample) for r in chosen}
        for r in chosen:
            if r.texts is None:
                continue
            try:
                read = is_read(sample, r.texts(calls[r.name]()))
            except Exception as error:  # noqa: BLE001 - a reader's failure is a result here
                print(f"  {r.name} raised on {sample.name}: {type(error).__name__}: {error}")
                calls[r.name] = swallowing(calls[r.name])
                read = False
            outcome.ok.setdefault(r.name, []).append(read)
        for name, seconds in measure(calls, budget).items():
            outcome.times.setdefault(name, []).append(seconds)
    return outcome


def subset(outcome: Outcome, keep: Sequence[bool]) -> Outcome:
    def pick(values: list[Any]) -> list[Any]:
        return [v for v, k in zip(values, keep) if k]

    return Outcome({r: pick(v) for r, v in outcome.times.items()}, {r: pick(v) for r, v in outcome.ok.items()})


def print_class(outcome: Outcome, count: int) -> None:
    """Median per image of each reader beside its successes, halvern's (both modes) over
    it, it over the floor."""
    hal, fast, floor = outcome.median(HALVERN), outcome.median(FAST), outcome.median(FLOOR)
    print(f"  {'reader':<20} {'median':>10} {'read':>8} {'halvern/x':>10} {'fast/x':>8} {'x/floor':>9}")
    for reader in outcome.times:
        t = outcome.median(reader)
        ok = outcome.successes(reader)
        print(f"  {reader:<20} {fmt_time(t):>10} {'' if ok is None else f'{ok}/{count}':>8} "
              f"{fmt_ratio(hal, t):>10} {fmt_ratio(fast, t):>8} {fmt_ratio(t, floor):>9}")


def print_per_image(samples: Sequence[Sample], outcome: Outcome) -> None:
    """One line per image: each reader's time, '!' after it when the image was not read."""
    names = list(outcome.times)
    width = max(len(s.name) for s in samples)
    short = {HALVERN: "halvern", FAST: "hal-fast", ENGINE: "engine", ZX_DEFAULT: "zx-default",
             ZX_FAST: "zx-fastest", OPENCV: "opencv", FLOOR: "floor"}
    print(f"  {'image':<{width}} " + " ".join(f"{short.get(n, n):>11}" for n in names)
          + f" {'hal/floor':>9} {'fast/zx-fast':>12}")
    for i, sample in enumerate(samples):
        cells = []
        for n in names:
            mark = "" if n not in outcome.ok or outcome.ok[n][i] else "!"
            cells.append(f"{fmt_time(outcome.times[n][i]) + mark:>11}")
        hal, fast = outcome.times[HALVERN][i], outcome.times[FAST][i]
        zx_fast = outcome.times.get(ZX_FAST, [None] * len(samples))[i]
        print(f"  {sample.name:<{width}} " + " ".join(cells)
              + f" {fmt_ratio(hal, outcome.times[FLOOR][i]):>9} {fmt_ratio(fast, zx_fast):>12}")
    print("  ('!' after a time: that reader did not read the image; on a page without a code, "
          "it returned something)")


# ---------------------------------------------------------------- restoring and decoding


LEVEL_INDEX = {"l": 0, "m": 1, "q": 2, "h": 3}


def stream_owners(version: int, level: str) -> list[int]:
    """The block of each codeword in transmission order: data codewords interleaved block
    by block (short blocks drop out of the last column), then the EC codewords."""
    ec, data, _ = _engine._block_layout(version, LEVEL_INDEX[level])
    owners = [b for i in range(max(data)) for b, n in enumerate(data) if i < n]
    return owners + [b for _ in range(ec) for b in range(len(data))]


def damaged(modules: np.ndarray, version: int, level: str, rng: np.random.Generator) -> tuple[np.ndarray, int]:
    """The symbol with half the codewords each block may have corrected given random
    values (a random nonzero byte added to each), and how many codewords that is."""
    _, _, correctable = _engine._block_layout(version, LEVEL_INDEX[level])
    placement = _engine._placement(version)
    owners = stream_owners(version, level)
    flat = modules.reshape(-1).copy()
    total = 0
    for block in range(max(owners) + 1):
        mine = [k for k, b in enumerate(owners) if b == block]
        for k in rng.choice(mine, size=correctable // 2, replace=False):
            value = int(rng.integers(1, 256))
            for bit in range(8):
                if value >> bit & 1:
                    flat[placement[8 * int(k) + bit]] ^= 1
            total += 1
    return flat.reshape(modules.shape), total


@dataclass(frozen=True)
class DecodeCase:
    name: str
    modules: np.ndarray
    text: str


def full_text(version: int, level: str, rng: np.random.Generator) -> str:
    """A byte-mode text that fills the symbol: its data codewords less the mode and count
    header (12 bits below version 10, 20 from it)."""
    _, data, _ = _engine._block_layout(version, LEVEL_INDEX[level])
    return random_text(rng, sum(data) - (2 if version < 10 else 3))


def decode_cases(level: str = "h") -> list[DecodeCase]:
    """Versions 1, 10 and 40 at level H, filled: clean, and with half the correctable
    codewords of every block damaged."""
    rng = np.random.default_rng([SEED, 4])
    out = []
    for version in (1, 10, 40):
        text = full_text(version, level, rng)
        modules = symbol_modules(text, version, level)
        out.append(DecodeCase(f"v{version}-{level.upper()} clean", modules, text))
        broken, count = damaged(modules, version, level, rng)
        out.append(DecodeCase(f"v{version}-{level.upper()} {count} codewords damaged", broken, text))
    return out


def halvern_decode(matrix: bytes, size: int) -> halvern.Decoded:
    return halvern.decode_matrix(halvern.strict_restore_qr_matrix(matrix, size), size)


def engine_decode(matrix: bytes, size: int) -> tuple[Any, ...]:
    return _engine.decode_matrix(_engine.restore(matrix, size), size)


# What each decoder's result says, for the check (outside the timed call).
DECODED_TEXTS: dict[str, Callable[[Any], list[str]]] = {
    "halvern": lambda decoded: [decoded.text],
    "engine": lambda decoded: [decoded_from_native(decoded).text],
    "zxing": zxing_texts,
}


def decodes_to(fn: Callable[[], Any], texts: Callable[[Any], list[str]], expected: str) -> bool:
    try:
        return texts(fn()) == [expected]
    except ValueError:  # the decoders' "does not decode"
        return False


def bench_decoding(budget: Budget) -> dict[str, float]:
    """Restoring and decoding one symbol from its module matrix (through the public API,
    and natively), against zxing-cpp's is_pure read of the bare symbol at 1 px/module in its
    4-module quiet zone; returns the worst ratio to zxing-cpp of each."""
    print("\n== restoring and decoding one symbol, against zxing-cpp is_pure=True on the bare symbol")
    print(f"  {'symbol':<32} {'halvern':>10} {'_engine':>10} {'zxing pure':>11} {'hal/zx':>7} "
          f"{'eng/zx':>7}  read")
    worst: dict[str, float] = {}
    for case in decode_cases():
        size = case.modules.shape[0]
        matrix = case.modules.tobytes()
        image = np.where(np.pad(case.modules, QUIET) != 0, 0, 255).astype(np.uint8)
        calls: dict[str, Callable[[], Any]] = {"halvern": functools.partial(halvern_decode, matrix, size),
                                               "engine": functools.partial(engine_decode, matrix, size)}
        if zxingcpp is not None:
            calls["zxing"] = functools.partial(zxingcpp.read_barcodes, image,
                                               formats=zxingcpp.BarcodeFormat.QRCode, is_pure=True)
        marks = " ".join(f"{n}:{'ok' if decodes_to(fn, DECODED_TEXTS[n], case.text) else 'FAILED'}"
                         for n, fn in calls.items())
        t = measure(calls, budget)
        zx = t.get("zxing")
        for name in ("halvern", "engine"):
            if zx:
                worst[name] = max(worst.get(name, 0.0), t[name] / zx)
        print(f"  {case.name:<32} {fmt_time(t['halvern']):>10} {fmt_time(t['engine']):>10} "
              f"{fmt_time(zx):>11} {fmt_ratio(t['halvern'], zx):>7} {fmt_ratio(t['engine'], zx):>7}  {marks}")
    return worst


# ---------------------------------------------------------------- scaling


def bench_scaling(sizes: Sequence[float], budget: Budget) -> dict[str, dict[str, float]]:
    """halvern (and the native reader) on pages of growing size: ms per MP of each kind and
    the time of the largest over the one half its size; returns those ratios per reader.
    The code is a version-5 symbol at 4 px/module, so that it fits the smallest page. All
    sizes of one kind are timed round robin together, so that the ratio of two sizes comes
    from the same stretch of machine load."""
    kinds = ("code",) + PAGE_KINDS
    text = page_text(5)
    names = [HALVERN, ENGINE]
    chosen = [r for r in readers() if r.name in names + [FLOOR]]
    times: dict[tuple[str, str, float], float] = {}
    for k, kind in enumerate(kinds):
        calls: dict[str, Callable[[], Any]] = {}
        for mp in sizes:
            shape = page_shape(mp)
            rng = np.random.default_rng([SEED, 5, k, int(mp * 1000)])
            bits = code_page(shape, text, 5, 4, 0.0) if kind == "code" else blank_page(kind, shape, rng)
            sample = Sample(kind, bits, bits, ())  # halvern and the floor read the bits only
            calls.update({f"{r.name}|{mp}": r.call(sample) for r in chosen})
        for key, t in measure(calls, budget).items():
            name, mp = key.split("|")
            times[(name, kind, float(mp))] = t
        del calls
    top, half = sizes[-1], sizes[-1] / 2
    growth: dict[str, dict[str, float]] = {}
    for name in names + [FLOOR]:
        print(f"\n== scaling, {name}: ms per MP (page of h x w pixels, 4:3)")
        print(f"  {'MP':>6} {'h x w':>12} " + " ".join(f"{k:>10}" for k in kinds))
        for mp in sizes:
            h, w = page_shape(mp)
            px = h * w / 1e6
            print(f"  {mp:>6g} {f'{h}x{w}':>12} "
                  + " ".join(f"{times[(name, k, mp)] * 1e3 / px:>10.3g}" for k in kinds))
        if half in sizes:
            growth[name] = {k: times[(name, k, top)] / times[(name, k, half)] for k in kinds}
            print(f"  {f'{top:g}/{half:g} MP':>19} "
                  + " ".join(f"{growth[name][k]:>9.2f}x" for k in kinds)
                  + f"   (pixels {page_px(top) / page_px(half):.2f}x)")
    return growth


def page_px(mp: float) -> int:
    h, w = page_shape(mp)
    return h * w


# ---------------------------------------------------------------- threads


def throughput_gain(work: Callable[[int], None], count: int, pairs: int) -> float:
    """Median over alternating runs of (one thread on ``count`` items) / (two threads on
    half each), wall time."""
    def serial() -> float:
        t0 = time.perf_counter()
        for i in range(count):
            work(i)
        return time.perf_counter() - t0

    def parallel() -> float:
        halves = [range(0, count, 2), range(1, count, 2)]
        threads = [threading.Thread(target=lambda r=r: [work(i) for i in r]) for r in halves]
        t0 = time.perf_counter()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        return time.perf_counter() - t0

    serial(), parallel()
    return statistics.median(serial() / parallel() for _ in range(pairs))


def long_batch(work: Callable[[int], None], count: int, seconds: float) -> int:
    """How many items of the cycle of ``count`` take about ``seconds`` on one thread: the
    batch of 32 images was 10 ms of work, and starting two threads and the last one's
    wait for the lock were a good part of what its speed-up measured."""
    t0 = time.perf_counter()
    for i in range(count):
        work(i)
    once = max(time.perf_counter() - t0, 1e-6)
    return count * max(1, math.ceil(seconds / once))


def bench_threads(batch: Sequence[Sample], pairs: int, seconds: float) -> dict[str, float]:
    """Throughput of two threads against one on the same long batch (the images over and
    over, about ``seconds`` of work on one thread), and the machine's own ceiling
    (hashlib hashes a large buffer without the interpreter lock)."""
    print(f"\n== two threads against one: {len(batch)} images repeated to about {seconds:g} s of work on "
          f"one thread, {os.cpu_count()} CPUs, median of {pairs} alternating runs")
    out = {}
    chosen = [r for r in readers() if r.name in (HALVERN, ENGINE, ZX_FAST)]
    for reader in chosen:
        calls = [reader.call(s) for s in batch]

        def work(i: int, calls: list[Callable[[], Any]] = calls) -> None:
            calls[i % len(calls)]()

        count = long_batch(work, len(calls), seconds)
        out[reader.name] = gain = throughput_gain(work, count, pairs)
        print(f"  {reader.name:<34} speed-up {gain:.2f}x  ({count} reads a run)")
    blob = bytes(8_000_000)

    def digest(i: int) -> None:
        hashlib.sha256(blob).digest()

    count = long_batch(digest, 16, seconds)
    ceiling = throughput_gain(digest, count, pairs)
    print(f"  {'hashlib.sha256 8 MB (ceiling)':<34} speed-up {ceiling:.2f}x  ({count} hashes a run)")
    out["ceiling"] = ceiling
    return out


# ---------------------------------------------------------------- memory


PROBE_ENV = {"MALLOC_MMAP_THRESHOLD_": str(64 * 1024)}


def probe_image(kind: str, megapixels: float) -> Sample:
    shape = page_shape(megapixels)
    if kind == "code":
        text = page_text(5)
        return bilevel(kind, code_page(shape, text, 5, 8, 0.0), (text,))
    return bilevel(kind, blank_page(kind, shape, np.random.default_rng([SEED, 6])), ())


def vm_kb(field_name: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field_name + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"{field_name} missing from /proc/self/status")


def probe(reader: str, kind: str, megapixels: float) -> None:
    """In a fresh process: the resident high-water mark a read adds, in bytes per pixel.

    Every allocation of 64 kB or more is its own mmap (MALLOC_MMAP_THRESHOLD_, set by the
    parent), so that memory freed while drawing the image goes back to the system and the
    read's scratch cannot hide in it; the kernel's peak is reset (clear_refs 5) just
    before the read. Pages of scratch never touched do not count: they cost nothing.
    """
    sample = probe_image(kind, megapixels)
    tiny = np.zeros((21, 21), dtype=np.uint8)
    call = next(r for r in readers() if r.name == reader).call
    call(bilevel("tiny", tiny, ()))()  # first-call costs (imports, tables) before the baseline
    fn = call(sample)
    with open("/proc/self/clear_refs", "w") as refs:
        refs.write("5")
    base = vm_kb("VmRSS")
    fn()
    peak = vm_kb("VmHWM")
    print((peak - base) * 1024 / sample.pixels.size)


def bench_memory(cases: Sequence[tuple[str, float]]) -> dict[str, float]:
    """Peak scratch memory of one read per pixel, each case in its own process."""
    print("\n== peak memory of one read: resident high-water mark added by the call, bytes per pixel")
    names = [HALVERN, ENGINE]
    print(f"  {'page':<18} " + " ".join(f"{n:>14}" for n in names))
    worst: dict[str, float] = {}
    env = dict(os.environ, **PROBE_ENV)
    for kind, mp in cases:
        cells = []
        for name in names:
            done = subprocess.run([sys.executable, os.path.abspath(__file__), "--probe", name, kind, str(mp)],
                                  capture_output=True, text=True, env=env, check=False)
            if done.returncode != 0:
                cells.append("failed")
                print(done.stderr.strip().splitlines()[-1:], file=sys.stderr)
                continue
            per_px = float(done.stdout.split()[-1])
            worst[name] = max(worst.get(name, 0.0), per_px)
            cells.append(f"{per_px:.3f}")
        print(f"  {f'{mp:g} MP {kind}':<18} " + " ".join(f"{c:>14}" for c in cells))
    return worst


# ---------------------------------------------------------------- fixed cost


def bench_fixed_cost(budget: Budget) -> dict[str, float]:
    """The cost of a call that has almost nothing to read: a white 21 x 21 image, and a
    version-1 symbol at 1 px/module with its quiet zone (29 x 29)."""
    print("\n== fixed cost of a call on a tiny image")
    text = "fixed cost"
    samples = [bilevel("21x21 white", np.zeros((21, 21), dtype=np.uint8), ()),
               bilevel("29x29 v1 at 1 px/module", with_quiet_zone(symbol_modules(text, 1), 1), (text,))]
    chosen = readers()
    outcome = run_images(samples, budget, chosen)
    print_per_image(samples, outcome)
    return {name: outcome.times[name][0] for name in outcome.times}


# ---------------------------------------------------------------- targets


@dataclass(frozen=True)
class Check:
    target: str
    value: float | None  # the measured figure, None when it could not be measured
    limit: float
    unit: str
    at_most: bool = True  # the figure must be at most the limit (else at least)
    note: str = ""

    def verdict(self) -> str:
        if self.value is None or math.isnan(self.value):
            return "not measured"
        met = self.value <= self.limit if self.at_most else self.value >= self.limit
        if met:
            return "met"
        if self.limit == 0:  # a difference of counts
            return f"MISSED by {abs(self.value):g}"
        factor = self.value / self.limit if self.at_most else self.limit / max(self.value, 1e-12)
        return f"MISSED by {factor:.2f}x"


def print_summary(checks: Sequence[Check]) -> None:
    print("\n== targets (ratios from this run)")
    for c in checks:
        sign = "<=" if c.at_most else ">="
        shown = "-" if c.value is None else f"{c.value:.3g}{c.unit}"
        print(f"  {c.target:<58} {shown:>10} (target {sign} {c.limit:g}{c.unit})  {c.verdict()}"
              + (f"  {c.note}" if c.note else ""))


def ratio_of(outcome: Outcome, a: str, b: str) -> float | None:
    ta, tb = outcome.median(a), outcome.median(b)
    return None if ta is None or tb is None or tb <= 0 else ta / tb


def worst_ratio(outcome: Outcome, a: str, b: str) -> float | None:
    if a not in outcome.times or b not in outcome.times:
        return None
    return max(x / y for x, y in zip(outcome.times[a], outcome.times[b]))


def who(reader: str) -> str:
    return {HALVERN: "halvern", FAST: "halvern fast"}.get(reader, "_engine")


# Each mode of halvern against the zxing-cpp setting it is held to: the default against
# zxing-cpp's default, try_harder=False against zxing-cpp's fastest.
MODES = ((HALVERN, ZX_DEFAULT), (FAST, ZX_FAST))


@dataclass(frozen=True)
class ModeRow:
    """One class's outcome, for the table of both modes."""

    label: str
    count: int
    outcome: Outcome


def mode_checks(row: ModeRow, worst: bool = False) -> list[Check]:
    """Each mode's time over its zxing-cpp setting's (the median, or with ``worst`` the
    worst image) at most 0.5, and its read count at least that setting's."""
    checks = []
    for ours, peer in MODES:
        ratio = worst_ratio(row.outcome, ours, peer) if worst else ratio_of(row.outcome, ours, peer)
        checks.append(Check(f"{row.label}: {who(ours)} / {peer}{', worst' if worst else ''}",
                            ratio, 0.5, ""))
        ok, theirs = row.outcome.successes(ours), row.outcome.successes(peer)
        checks.append(Check(f"{row.label}: {who(ours)} read count - {peer}'s",
                            None if ok is None or theirs is None else ok - theirs, 0, "",
                            at_most=False, note=f"({ok} against {theirs} of {row.count})"))
    return checks


def print_modes(rows: Sequence[ModeRow]) -> None:
    """Per class: both modes and both zxing-cpp settings, median time and images read."""
    names = [HALVERN, FAST, ZX_DEFAULT, ZX_FAST]
    print("\n== both modes against zxing-cpp, per class: median per image (images read)")
    print(f"  {'class':<24} " + " ".join(f"{n:>20}" for n in names)
          + f" {'default/zx-def':>15} {'fast/zx-fast':>13}")
    for row in rows:
        cells = []
        for n in names:
            ok = row.outcome.successes(n)
            cells.append(f"{fmt_time(row.outcome.median(n))} ({'-' if ok is None else ok}/{row.count})")
        ratios = [fmt_ratio(row.outcome.median(a), row.outcome.median(b)) for a, b in MODES]
        print(f"  {row.label:<24} " + " ".join(f"{c:>20}" for c in cells)
              + f" {ratios[0]:>15} {ratios[1]:>13}")


# ---------------------------------------------------------------- main


def header(clock_name: str) -> None:
    def version_of(dist: str) -> str:
        try:
            return importlib.metadata.version(dist)
        except importlib.metadata.PackageNotFoundError:
            return "not installed"

    print(f"machine: {platform.machine()} {platform.processor() or ''}".rstrip()
          + f", {os.cpu_count()} CPUs, {platform.system()} {platform.release()}, "
          f"load average {os.getloadavg()[0]:.2f} (other work skews absolute times; ratios hold better)")
    print(f"python {platform.python_version()}, numpy {np.__version__}, segno {segno.__version__}, "
          f"halvern {getattr(halvern, '__version__', '?')}, zxing-cpp {version_of('zxing-cpp')}, "
          f"opencv {cv2.__version__ if cv2 is not None else 'not installed'}")
    print(f"times are medians per image of the {clock_name} clock"
          f"{' (processor time of the process, all threads)' if clock_name == 'cpu' else ''}; "
          "halvern/x below 1 means halvern is faster than x; 'read' counts images read right")


def class_small(chosen: Sequence[Reader], ours: Sequence[str], budget: Budget, quick: bool,
                rows: list[ModeRow]) -> list[Check]:
    small = small_codes(15 if quick else 60)
    print(f"\n== small bilevel codes: {len(small)} images, versions 1-10, 2-9 px/module, 100-600 px, "
          "upright / turned 10 / 1% noise")
    outcome = run_images(small, budget, chosen)
    print_class(outcome, len(small))
    for variant in ("upright", "turned 10", "noise 1%"):
        part = subset(outcome, [s.group == variant for s in small])
        print(f"    {variant:<10} " + ", ".join(f"{r.name} {fmt_time(part.median(r.name))}"
                                               for r in chosen if r.name != FLOOR))
    row = ModeRow("small codes", len(small), outcome)
    rows.append(row)
    return mode_checks(row) + [Check(f"small codes: {who(n)} / zxing-cpp fastest",
                                     ratio_of(outcome, n, ZX_FAST), 0.5, "") for n in ours]


def class_scenes(chosen: Sequence[Reader], budget: Budget, quick: bool, rows: list[ModeRow]) -> list[Check]:
    scenes = camera_scenes(quick)
    print(f"\n== camera-like grayscale scenes: {len(scenes)} from scenes.py (seed {SEED}), "
          f"{min(s.gray.size for s in scenes) / 1e6:.2f}-{max(s.gray.size for s in scenes) / 1e6:.2f} MP")
    outcome = run_images(scenes, budget, chosen)
    print_class(outcome, len(scenes))
    for label, keep in (("photos", [s.group == "camera" for s in scenes]),
                        ("one-condition", [s.group != "camera" for s in scenes])):
        part = subset(outcome, keep)
        print(f"    {label:<13} " + ", ".join(f"{r.name} {fmt_time(part.median(r.name))} "
                                              f"({part.successes(r.name)}/{sum(keep)})"
                                              for r in chosen if r.name != FLOOR))
    row = ModeRow("camera scenes", len(scenes), outcome)
    rows.append(row)
    return mode_checks(row)


def class_pages(chosen: Sequence[Reader], ours: Sequence[str], budget: Budget,
                quick: bool, rows: list[ModeRow]) -> list[Check]:
    """Pages with one code, then pages without."""
    pages = coded_pages((1,) if quick else (1, 12))
    print(f"\n== bilevel pages with one code ({len(pages)})")
    outcome = run_images(pages, budget, chosen)
    print_per_image(pages, outcome)
    largest = "1 MP" if quick else "12 MP"
    big = subset(outcome, [s.group == largest for s in pages])
    # The bound the issue sets for a 12 MP bilevel page with one code: a read at most half
    # again the time of one pass over its pixels (count_nonzero), on each of the pages.
    checks = [Check(f"{largest} page with a code: {who(n)} / floor, worst", worst_ratio(big, n, FLOOR), 1.5, "")
              for n in ours]
    rows.append(ModeRow("pages with a code", len(pages), outcome))
    checks += mode_checks(rows[-1], worst=True)
    blanks = blank_pages((1,) if quick else (1, 12))
    print(f"\n== bilevel pages without a code ({len(blanks)})")
    outcome = run_images(blanks, budget, chosen)
    print_per_image(blanks, outcome)
    checks += [Check(f"pages without a code: {who(n)} / zxing-cpp fastest, worst",
                     worst_ratio(outcome, n, ZX_FAST), 1.0, "") for n in ours]
    for sample in blanks:  # each kind of page is a class of its own
        keep = [s is sample for s in blanks]
        rows.append(ModeRow(f"no code: {sample.name}", 1, subset(outcome, keep)))
        checks += mode_checks(rows[-1])
    return checks


def class_scaling(ours: Sequence[str], budget: Budget, quick: bool) -> list[Check]:
    sizes = (0.1, 0.5, 1.0, 2.0) if quick else (0.1, 0.5, 1.0, 3.0, 6.0, 12.0, 24.0)
    growth = bench_scaling(sizes, budget)
    checks = []
    for n in ours:
        if n in growth:
            kind = max(growth[n], key=lambda k: growth[n][k])
            checks.append(Check(f"linear: {who(n)} {sizes[-1]:g} MP / {sizes[-1] / 2:g} MP, worst kind",
                                growth[n][kind], 2.2, "x", note=f"({kind})"))
    return checks


def class_decoding(budget: Budget) -> list[Check]:
    worst = bench_decoding(budget)
    return [Check(f"restore + decode: {who(n)} / zxing-cpp is_pure, worst", worst[key], 0.25, "")
            for n, key in ((HALVERN, "halvern"), (ENGINE, "engine")) if key in worst]


def class_threads(ours: Sequence[str], batch: Sequence[Sample], quick: bool) -> list[Check]:
    gains = bench_threads(batch, 2 if quick else 5, 0.2 if quick else 0.5)
    ceiling = gains["ceiling"]
    # Below 1.5x even hashing gains little: the machine has no second core to give, and a
    # reader that releases the lock cannot show it.
    busy = "; no second core free, not measurable here" if ceiling < 1.5 else ""
    return [Check(f"two threads: {who(n)} throughput over one thread", gains.get(n), 1.8, "x",
                  at_most=False, note=f"(machine ceiling {ceiling:.2f}x: {gains[n] / ceiling:.2f} of it{busy})")
            for n in ours]


def class_fixed_cost(ours: Sequence[str], budget: Budget) -> list[Check]:
    fixed = bench_fixed_cost(budget)
    return [Check(f"fixed cost, 21x21 white: {who(n)}", fixed[n] * 1e6, 10.0, " us") for n in ours]


def class_memory(ours: Sequence[str], quick: bool) -> list[Check]:
    cases = [(k, mp) for mp in ((1.0,) if quick else (1.0, 12.0)) for k in ("code",) + PAGE_KINDS]
    peaks = bench_memory(cases)
    return [Check(f"peak scratch memory: {who(n)}, worst page", peaks.get(n), 2.0, " B/px") for n in ours]


CLASSES = ("small", "scenes", "pages", "scaling", "decoding", "threads", "fixed", "memory")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer and smaller images, under a minute")
    parser.add_argument("--only", action="append", choices=CLASSES, metavar="CLASS",
                        help=f"run only this class (repeatable): {', '.join(CLASSES)}")
    parser.add_argument("--clock", choices=sorted(CLOCKS), default="cpu",
                        help="time per image as processor time of the process (default) or wall time")
    parser.add_argument("--probe", nargs=3, metavar=("READER", "KIND", "MP"), help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.probe:
        probe(args.probe[0], args.probe[1], float(args.probe[2]))
        return 0
    quick = args.quick
    clock = CLOCKS[args.clock]
    small_budget = Budget(2, 0.0, 0.05, 0.3, clock) if quick else Budget(3, 0.02, 0.3, 1.0, clock)
    page_budget = Budget(1, 0.0, 0.3, 0.3, clock) if quick else Budget(3, 0.2, 2.0, 1.0, clock)
    started = time.perf_counter()
    header(args.clock)
    chosen = readers()
    ours = [r.name for r in chosen if r.name in (HALVERN, ENGINE)]
    wanted = set(args.only or CLASSES)
    checks: list[Check] = []
    rows: list[ModeRow] = []
    if "small" in wanted:
        checks += class_small(chosen, ours, small_budget, quick, rows)
    if "scenes" in wanted:
        checks += class_scenes(chosen, small_budget, quick, rows)
    if "pages" in wanted:
        checks += class_pages(chosen, ours, page_budget, quick, rows)
    if "scaling" in wanted:
        scaling_budget = Budget(1, 0.0, 1.0, 1.0, clock) if quick else Budget(3, 0.5, 6.0, 3.0, clock)
        checks += class_scaling(ours, scaling_budget, quick)
    if "decoding" in wanted:
        checks += class_decoding(small_budget)
    if "threads" in wanted:
        checks += class_threads(ours, small_codes(30) + coded_pages((1,))[:2], quick)
    if "fixed" in wanted:
        checks += class_fixed_cost(ours, small_budget)
    if "memory" in wanted:
        checks += class_memory(ours, quick)
    if rows:
        print_modes(rows)
    print_summary(checks)
    print(f"\ntotal {time.perf_counter() - started:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
