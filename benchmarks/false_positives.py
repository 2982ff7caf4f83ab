"""False-positive soak: images that hold no readable symbol must give no code.

    python benchmarks/false_positives.py                  # 100,000 images, a few minutes
    python benchmarks/false_positives.py --count 2000     # a quick run
    python benchmarks/false_positives.py --only finder_tiles --count 500

Every image is drawn from (seed, index) alone, so a failure names the one image to
redraw (``--first INDEX --count 1``). The kinds, in turn: noise of many densities,
gray noise, text-like pages, checkerboards, stripes, blob textures, tiles of finder-like
squares, lone finders with timing-like stripes beside them (Micro QR and rMQR
look-alikes), and QR, Micro QR and rMQR symbols whose data was scrambled far past
correction; between them, real symbols with a little damage, which must give their
own text or an Undecoded, never another text. Each image goes through
``halvern.read_all`` with failures kept and every symbology the reader knows on.

The run fails (exit 1) on any code from an image without one and on any wrong text.
"""

from __future__ import annotations

import argparse
import functools
import inspect
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass, field

import numpy as np
import rmqrcode
import segno

import halvern

Picture = tuple[np.ndarray, str | None]  # the image, and the text it may give (None: none)
Rng = np.random.Generator

# ---------------------------------------------------------------- drawing helpers


def side(rng: Rng, low: int = 24, high: int = 480) -> int:
    return int(rng.integers(low, high + 1))


def finder_ring() -> np.ndarray:
    """The 7 x 7 finder: dark ring, light ring, dark 3 x 3 core."""
    i, j = np.indices((7, 7))
    return (np.minimum(np.minimum(i, j), np.minimum(6 - i, 6 - j)) != 1).astype(np.uint8)


def rendered(modules: np.ndarray, rng: Rng, quiet: int = 4) -> np.ndarray:
    """A module matrix as pixels: 2 to 6 a module in a quiet zone, turned by a drawn
    quarter, sometimes mirrored or light on dark."""
    scale = int(rng.integers(2, 7))
    image = np.kron(np.pad(modules.astype(np.uint8), quiet), np.ones((scale, scale), np.uint8))
    image = np.rot90(image, int(rng.integers(4)))
    if rng.random() < 0.2:
        image = image[:, ::-1]
    if rng.random() < 0.15:
        image = 1 - image
    return np.ascontiguousarray(image)


def as_gray(bits: np.ndarray, rng: Rng) -> np.ndarray:
    """Bits as a gray picture: drawn ink and paper levels with sensor noise."""
    ink, paper = int(rng.integers(0, 90)), int(rng.integers(150, 256))
    gray = np.where(bits == 1, ink, paper).astype(np.float64)
    gray += rng.normal(0, rng.uniform(0, 12), bits.shape)
    return np.clip(gray, 0, 255).astype(np.uint8)


def rotated_coordinates(h: int, w: int, rng: Rng) -> tuple[np.ndarray, np.ndarray]:
    angle = rng.uniform(0, np.pi) if rng.random() < 0.5 else 0.0
    y, x = np.indices((h, w), dtype=np.float64)
    return x * np.cos(angle) + y * np.sin(angle), -x * np.sin(angle) + y * np.cos(angle)


# ---------------------------------------------------------------- images without a symbol


def bit_noise(rng: Rng) -> Picture:
    h, w = side(rng, 8, 640), side(rng, 8, 640)
    density = float(rng.choice([0.01, 0.05, 0.1, 0.25, 0.4, 0.5, 0.6, 0.75, 0.9, 0.99]))
    return (rng.random((h, w)) < density).astype(np.uint8), None


def gray_noise(rng: Rng) -> Picture:
    h, w = side(rng, 8, 640), side(rng, 8, 640)
    if rng.random() < 0.5:
        return rng.integers(0, 256, (h, w), dtype=np.uint8), None
    gray = rng.normal(rng.uniform(40, 215), rng.uniform(2, 60), (h, w))
    return np.clip(gray, 0, 255).astype(np.uint8), None


def text_page(rng: Rng) -> Picture:
    """Lines of words of random 5 x 7 glyphs in cells of 6 x 10 dots, 1 to 3 pixels a
    dot, a space now and then."""
    h, w = side(rng, 60, 720), side(rng, 60, 720)
    dot = int(rng.integers(1, 4))
    rows, cols = h // (10 * dot), w // (6 * dot)
    glyphs = (rng.random((rows, cols, 7, 5)) < 0.45) & (rng.random((rows, cols, 1, 1)) > 0.18)
    cells = np.pad(glyphs, ((0, 0), (0, 0), (2, 1), (0, 1)))
    page = cells.transpose(0, 2, 1, 3).reshape(rows * 10, cols * 6).astype(np.uint8)
    page = np.kron(page, np.ones((dot, dot), np.uint8))
    page = np.pad(page, ((0, h - page.shape[0]), (0, w - page.shape[1])))
    return (as_gray(page, rng) if rng.random() < 0.5 else page), None


def checkerboard(rng: Rng) -> Picture:
    h, w = side(rng), side(rng)
    cell = float(rng.integers(1, 17))
    u, v = rotated_coordinates(h, w, rng)
    board = ((np.floor(u / cell) + np.floor(v / cell)) % 2).astype(np.uint8)
    return board, None


def stripes(rng: Rng) -> Picture:
    h, w = side(rng), side(rng)
    period = int(rng.integers(2, 40))
    duty = rng.uniform(0.2, 0.8)
    u, _ = rotated_coordinates(h, w, rng)
    return ((u % period) < duty * period).astype(np.uint8), None


def texture(rng: Rng) -> Picture:
    """Smoothed noise: blobs of a drawn size, thresholded or left gray."""
    h, w = side(rng), side(rng)
    grain = int(rng.integers(2, 24))
    coarse = rng.random((h // grain + 2, w // grain + 2))
    smooth = np.kron(coarse, np.ones((grain, grain)))[:h, :w]
    for axis in (0, 1):  # a box blur of one grain, to round the blobs
        c = np.cumsum(smooth, axis=axis)
        smooth = (np.roll(c, -grain // 2, axis=axis) - np.roll(c, grain // 2, axis=axis)) / grain
    if rng.random() < 0.5:
        return (smooth > np.median(smooth)).astype(np.uint8), None
    span = np.ptp(smooth) or 1.0
    return ((smooth - smooth.min()) / span * 255).astype(np.uint8), None


def finder_tiles(rng: Rng) -> Picture:
    """Finder-like squares on a grid of drawn module and gap, some cells random."""
    module, gap = int(rng.integers(1, 6)), int(rng.integers(0, 9))
    cells = int(rng.integers(2, 10)), int(rng.integers(2, 10))
    pitch = 7 + gap
    grid = np.zeros((cells[0] * pitch + gap, cells[1] * pitch + gap), np.uint8)
    for r in range(cells[0]):
        for c in range(cells[1]):
            block = finder_ring() if rng.random() < 0.8 else (rng.random((7, 7)) < 0.5)
            grid[gap + r * pitch : gap + r * pitch + 7, gap + c * pitch : gap + c * pitch + 7] = block
    if gap and rng.random() < 0.5:  # noise in the gaps
        grid |= (rng.random(grid.shape) < 0.2) & (grid == 0)
    return np.kron(np.pad(grid, 4), np.ones((module, module), np.uint8)), None


def lone_finders(rng: Rng) -> Picture:
    """Finders each with timing-like stripes along their top row and left column and
    random modules elsewhere: Micro QR (square) and rMQR (long) look-alikes."""
    count = int(rng.integers(1, 4))
    tiles = []
    for _ in range(count):
        rows = int(rng.choice([7, 9, 11, 13, 15, 17]))
        cols = rows if rng.random() < 0.5 else int(rng.choice([27, 43, 59, 77, 99]))
        m = (rng.random((rows, cols)) < 0.5).astype(np.uint8)
        m[:8, :8] = 0
        m[:7, :7] = finder_ring()
        m[0, 8:] = np.arange(8, cols) % 2 == 0
        m[8:, 0] = np.arange(8, rows) % 2 == 0
        tiles.append(np.pad(m, 4))
    height = max(t.shape[0] for t in tiles)
    row = np.hstack([np.pad(t, ((0, height - t.shape[0]), (0, 0))) for t in tiles])
    return rendered(row, rng, quiet=0), None


# ---------------------------------------------------------------- symbols

TEXT_CHARS = np.array(list("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789 -./:"))


def random_text(rng: Rng, low: int, high: int) -> str:
    return "".join(rng.choice(TEXT_CHARS, int(rng.integers(low, high + 1))))


def qr_symbol(rng: Rng) -> tuple[np.ndarray, np.ndarray, str]:
    """A QR symbol and the mask of its modules that carry data (finders with their
    format areas and the timing lines kept)."""
    text = random_text(rng, 1, 60)
    qr = segno.make_qr(text, error=str(rng.choice(list("lmqh"))), boost_error=False)
    m = np.array(qr.matrix, np.uint8)
    n = m.shape[0]
    data = np.ones_like(m, bool)
    data[:9, :9] = data[:9, n - 8 :] = data[n - 8 :, :9] = False
    data[6, :] = data[:, 6] = False
    return m, data, text


def micro_symbol(rng: Rng) -> tuple[np.ndarray, np.ndarray, str]:
    text = random_text(rng, 1, 12).upper().replace("/", "")  # alphanumeric fits more
    micro = segno.make_micro(text or "A")
    m = np.array(micro.matrix, np.uint8)
    data = np.ones_like(m, bool)
    data[:9, :9] = False
    data[0, :] = data[:, 0] = False
    return m, data, text or "A"


def rmqr_symbol(rng: Rng) -> tuple[np.ndarray, np.ndarray, str]:
    text = random_text(rng, 1, 30)
    strategy = rng.choice([rmqrcode.FitStrategy.MINIMIZE_WIDTH, rmqrcode.FitStrategy.MINIMIZE_HEIGHT,
                           rmqrcode.FitStrategy.BALANCED])
    level = rng.choice([rmqrcode.ErrorCorrectionLevel.M, rmqrcode.ErrorCorrectionLevel.H])
    symbol = rmqrcode.rMQR.fit(text, ecc=level, fit_strategy=strategy)
    m = np.array(symbol.to_list(with_quiet_zone=False), np.uint8)
    h, w = m.shape
    data = np.zeros_like(m, bool)
    data[1 : h - 1, 12 : w - 6] = True
    return m, data, text


Symbol = tuple[np.ndarray, np.ndarray, str]
SYMBOLS = (qr_symbol, micro_symbol, rmqr_symbol)
# The same symbols every run, drawn once and shared by the images (the encoders take
# 1 to 90 ms a symbol, ten times the read): each image damages its symbol its own way.
POOL_SIZE = 192


@functools.cache
def symbol_pool() -> tuple[Symbol, ...]:
    rng = np.random.default_rng(POOL_SIZE)
    return tuple(SYMBOLS[i % len(SYMBOLS)](rng) for i in range(POOL_SIZE))


def pooled_symbol(rng: Rng) -> Symbol:
    pool = symbol_pool()
    return pool[int(rng.integers(len(pool)))]


def scrambled_symbol(rng: Rng) -> Picture:
    """A symbol whose data modules were each replaced at random: its finders, timing
    and format still stand, its codewords are far past correction."""
    modules, data, _ = pooled_symbol(rng)
    noise = (rng.random(modules.shape) < 0.5).astype(np.uint8)
    modules = np.where(data, noise, modules)
    image = rendered(modules, rng)
    return (as_gray(image, rng) if rng.random() < 0.3 else image), None


def damaged_symbol(rng: Rng) -> Picture:
    """A real symbol with 0 to 12% of its data modules flipped: its own text, an
    Undecoded or nothing, never another text."""
    modules, data, text = pooled_symbol(rng)
    flips = data & (rng.random(modules.shape) < rng.uniform(0, 0.12))
    image = rendered(modules ^ flips, rng)
    return (as_gray(image, rng) if rng.random() < 0.3 else image), text


# ---------------------------------------------------------------- the soak

KINDS: dict[str, Callable[[Rng], Picture]] = {
    "bit_noise": bit_noise,
    "gray_noise": gray_noise,
    "text_page": text_page,
    "checkerboard": checkerboard,
    "stripes": stripes,
    "texture": texture,
    "finder_tiles": finder_tiles,
    "lone_finders": lone_finders,
    "scrambled": scrambled_symbol,
    "damaged": damaged_symbol,
}


def every_symbology() -> dict[str, object]:
    """read_all's arguments that turn every symbology on, where it takes a choice."""
    parameters = inspect.signature(halvern.read_all).parameters
    if "symbologies" not in parameters:
        return {}
    from halvern._symbology import SYMBOLOGIES  # type: ignore[import-not-found]

    return {"symbologies": SYMBOLOGIES}


def draw(kinds: list[str], seed: int, index: int) -> tuple[str, Picture]:
    """Image ``index`` of a run: its kind in turn, its content from (seed, index)."""
    kind = kinds[index % len(kinds)]
    return kind, KINDS[kind](np.random.default_rng([seed, index]))


@dataclass
class Tally:
    images: int = 0
    pixels: int = 0
    seconds: float = 0.0
    codes: int = 0  # results with a text
    undecoded: int = 0
    wrong: list[str] = field(default_factory=list)  # what should not have been read


def soak_one(kind: str, index: int, picture: Picture, tally: Tally, options: dict[str, object]) -> None:
    image, expected = picture
    t0 = time.perf_counter()
    results = halvern.read_all(image, return_errors=True, **options)  # type: ignore[call-overload]
    tally.seconds += time.perf_counter() - t0
    tally.images += 1
    tally.pixels += image.size
    for r in results:
        if isinstance(r, halvern.Undecoded):
            tally.undecoded += 1
            continue
        tally.codes += 1
        if r.text != expected:
            tally.wrong.append(f"{kind} #{index}: read {r.text!r}, "
                               + ("no code there" if expected is None else f"holds {expected!r}"))


def soak(kinds: list[str], seed: int, first: int, count: int) -> dict[str, Tally]:
    tallies = {kind: Tally() for kind in kinds}
    options = every_symbology()
    for index in range(first, first + count):
        kind, picture = draw(kinds, seed, index)
        soak_one(kind, index, picture, tallies[kind], options)
    return tallies


def report(tallies: dict[str, Tally], wall: float) -> int:
    print(f"{'kind':14s} {'images':>8s} {'MP':>8s} {'read s':>8s} {'codes':>7s} "
          f"{'undecoded':>9s} {'wrong':>6s}")
    for kind, t in tallies.items():
        print(f"{kind:14s} {t.images:8d} {t.pixels / 1e6:8.1f} {t.seconds:8.1f} {t.codes:7d} "
              f"{t.undecoded:9d} {len(t.wrong):6d}")
    wrong = [w for t in tallies.values() for w in t.wrong]
    total = sum(t.images for t in tallies.values())
    print(f"{total} images in {wall:.1f} s; {len(wrong)} false or wrong codes")
    for line in wrong[:20]:
        print("  " + line, file=sys.stderr)
    return 1 if wrong else 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--count", type=int, default=100_000, help="images (default 100,000)")
    parser.add_argument("--first", type=int, default=0, help="index of the first image")
    parser.add_argument("--seed", type=int, default=24)
    parser.add_argument("--only", nargs="*", choices=sorted(KINDS), metavar="KIND",
                        help=f"kinds to draw (default all: {', '.join(KINDS)})")
    args = parser.parse_args(argv)
    kinds = args.only or list(KINDS)
    t0 = time.perf_counter()
    tallies = soak(kinds, args.seed, args.first, args.count)
    return report(tallies, time.perf_counter() - t0)


if __name__ == "__main__":
    sys.exit(main())
