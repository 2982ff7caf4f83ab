"""How often each reader gets the text right on camera-like scenes, condition by condition.

    python benchmarks/accuracy.py                 # full set, a few minutes
    python benchmarks/accuracy.py --quick         # smoke set
    python benchmarks/accuracy.py --only blur --only tilt --seed 3 --misses

Every scene comes from ``scenes.py`` (drawn from the seed; nothing is downloaded) and goes to
each reader as the same 2-D uint8 grayscale array, 0 black. A symbol counts as read when its
text is among the reader's outputs for the image (texts compared as multisets: two equal
symbols need two equal outputs). Outputs on an image without a symbol are false positives;
outputs on other images that match none of its texts are wrong texts. halvern is called
through ``read_all`` when it has one, else ``read``; zxing-cpp through ``read_barcodes``
restricted to QR codes with its default settings; OpenCV through
``QRCodeDetector().detectAndDecodeMulti`` (empty strings, its "detected but not decoded",
are not outputs). Peers that are not installed show as n/a (the ``bench`` extra has them).
"""

from __future__ import annotations

import argparse
import importlib.metadata
import os
import platform
import sys
import time
from collections import Counter
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field
from typing import Any

import numpy as np

import halvern
from scenes import Scene, conditions, describe, generate

Reader = Callable[[np.ndarray], list[str]]


# ---------------------------------------------------------------- readers


def _halvern_reader() -> Reader:
    read_all = getattr(halvern, "read_all", None)
    if read_all is not None:
        return lambda image: [code.text for code in read_all(image)]

    def read_one(image: np.ndarray) -> list[str]:
        code = halvern.read(image)
        return [] if code is None else [code.text]

    return read_one


def _zxing_reader() -> Reader | None:
    try:
        import zxingcpp
    except ImportError:
        return None
    qr = zxingcpp.BarcodeFormat.QRCode
    return lambda image: [r.text for r in zxingcpp.read_barcodes(image, formats=qr)]


def _opencv_reader() -> Reader | None:
    try:
        import cv2
    except ImportError:
        return None
    detector = cv2.QRCodeDetector()

    def read(image: np.ndarray) -> list[str]:
        _, texts, _, _ = detector.detectAndDecodeMulti(image)
        return [t for t in (texts or ()) if t]

    return read


def readers() -> dict[str, Reader | None]:
    """The readers in table order; None for a peer that is not installed."""
    return {"halvern": _halvern_reader(), "zxing-cpp": _zxing_reader(), "OpenCV": _opencv_reader()}


# ---------------------------------------------------------------- scoring


def matched(expected: Iterable[str], found: Iterable[str]) -> int:
    """Symbols whose text is among the outputs, each output used once."""
    return sum((Counter(expected) & Counter(found)).values())


def unexpected(expected: Iterable[str], found: Iterable[str]) -> int:
    """Outputs that match no symbol of the image (each symbol absorbing one output)."""
    return sum((Counter(found) - Counter(expected)).values())


@dataclass
class Tally:
    """One reader's results on a group of scenes."""

    symbols: int = 0
    read: int = 0
    images: int = 0
    false_positive_images: int = 0
    wrong_texts: int = 0
    errors: int = 0
    seconds: float = 0.0
    misses: list[str] = field(default_factory=list)

    def add(self, scene: Scene, found: list[str] | None, seconds: float) -> None:
        self.images += 1
        self.seconds += seconds
        self.symbols += len(scene.texts)
        if found is None:
            self.errors += 1
            found = []
        hits = matched(scene.texts, found)
        self.read += hits
        if hits < len(scene.texts):
            self.misses.append(scene.name)
        if not scene.texts and found:
            self.false_positive_images += 1
        elif scene.texts:
            self.wrong_texts += unexpected(scene.texts, found)


def run_reader(reader: Reader, image: np.ndarray) -> tuple[list[str] | None, float, str]:
    """The reader's texts (None when it raised), its time, and the error if any."""
    start = time.perf_counter()
    try:
        found: list[str] | None = list(reader(image))
        error = ""
    except Exception as exc:  # a reader that raises on a scene is scored as reading nothing
        found, error = None, f"{type(exc).__name__}: {exc}"
    return found, time.perf_counter() - start, error


# ---------------------------------------------------------------- table


def _share(t: Tally | None) -> str:
    if t is None:
        return "n/a"
    if t.symbols == 0:
        return "-"
    return f"{100.0 * t.read / t.symbols:5.1f}%"


def _fp(t: Tally | None) -> str:
    return "n/a" if t is None else f"{t.false_positive_images}/{t.images}"


def _row(label: str, severity: str, count: str, cells: list[str]) -> str:
    return f"{label:<12} {severity:<12} {count:>7}  " + "  ".join(f"{c:>10}" for c in cells)


def print_table(names: list[str], groups: dict[tuple[str, str], dict[str, Tally | None]],
                totals: dict[str, Tally | None]) -> None:
    print(_row("condition", "severity", "symbols", names))
    current = ""
    per_condition: dict[str, dict[str, Tally | None]] = {}
    for (cond, sev), tallies in groups.items():
        first = next(t for t in tallies.values() if t is not None)
        if cond != current:
            if current:
                print()
            print(f"# {cond}: {describe(cond)}")
            current = cond
        if cond == "none":
            cells = [_fp(tallies[n]) for n in names]
            print(_row(cond, sev, f"{first.images}img", cells))
        else:
            print(_row(cond, sev, str(first.symbols), [_share(tallies[n]) for n in names]))
        merged = per_condition.setdefault(cond, {})
        for n in names:
            t = tallies[n]
            if t is None:
                merged[n] = None
                continue
            m = merged.setdefault(n, Tally())
            if m is not None:
                m.symbols += t.symbols
                m.read += t.read
    print()
    print("# by condition")
    for cond, merged in per_condition.items():
        if cond == "none":
            continue
        first = next(t for t in merged.values() if t is not None)
        print(_row(cond, "all", str(first.symbols), [_share(merged[n]) for n in names]))
    print()
    first_total = next(t for t in totals.values() if t is not None)
    print(_row("all symbols", "", str(first_total.symbols), [_share(totals[n]) for n in names]))
    fp = {n: next((g[n] for (c, _), g in groups.items() if c == "none"), None) for n in names}
    if any(c == "none" for c, _ in groups):
        fp_all = {n: _sum_none(groups, n) for n in names}
        print(_row("false pos.", "images", "", [_fp(fp_all[n]) for n in names]))
    del fp
    print(_row("wrong texts", "on symbols", "", ["n/a" if totals[n] is None else str(totals[n].wrong_texts) for n in names]))  # type: ignore[union-attr]
    print(_row("errors", "raised", "", ["n/a" if totals[n] is None else str(totals[n].errors) for n in names]))  # type: ignore[union-attr]
    print(_row("time", "seconds", "", ["n/a" if totals[n] is None else f"{totals[n].seconds:.2f}" for n in names]))  # type: ignore[union-attr]


def _sum_none(groups: dict[tuple[str, str], dict[str, Tally | None]], name: str) -> Tally | None:
    out = Tally()
    for (cond, _), tallies in groups.items():
        t = tallies[name]
        if cond != "none":
            continue
        if t is None:
            return None
        out.images += t.images
        out.false_positive_images += t.false_positive_images
    return out


def _version(dist: str) -> str:
    try:
        return importlib.metadata.version(dist)
    except importlib.metadata.PackageNotFoundError:
        return "not installed"


def print_header(args: argparse.Namespace) -> None:
    print(f"# {' '.join(['python'] + sys.argv)}")
    print(f"# seed {args.seed}, {'quick' if args.quick else 'full'} set"
          + (f", only {', '.join(args.only)}" if args.only else ""))
    print(f"# halvern {halvern.__version__} ({'read_all' if hasattr(halvern, 'read_all') else 'read'}),"
          f" zxing-cpp {_version('zxing-cpp')}, opencv-python-headless {_version('opencv-python-headless')},"
          f" numpy {np.__version__}, segno {_version('segno')}, Pillow {_version('pillow')}")
    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else float("nan")
    print(f"# Python {platform.python_version()} on {platform.machine()}, {os.cpu_count()} cpus,"
          f" load {load:.2f}, {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}")
    print()


# ---------------------------------------------------------------- main


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a small smoke set")
    parser.add_argument("--seed", type=int, default=0, help="scene seed (default 0)")
    parser.add_argument("--only", action="append", default=[], choices=conditions(),
                        metavar="CONDITION", help="only this condition (repeatable)")
    parser.add_argument("--misses", action="store_true",
                        help="list the scenes on which each reader missed a symbol")
    args = parser.parse_args(argv)
    print_header(args)

    available = readers()
    names = list(available)
    groups: dict[tuple[str, str], dict[str, Tally | None]] = {}
    totals: dict[str, Tally | None] = {n: (Tally() if r is not None else None) for n, r in available.items()}
    errors: list[str] = []
    started = time.perf_counter()
    drawing = 0.0
    clock = time.perf_counter()
    for scene in generate(args.seed, args.quick, tuple(args.only)):
        drawing += time.perf_counter() - clock
        group = groups.setdefault((scene.condition, scene.severity),
                                  {n: (Tally() if r is not None else None) for n, r in available.items()})
        for name, reader in available.items():
            if reader is None:
                continue
            found, seconds, error = run_reader(reader, scene.image)
            if error:
                errors.append(f"{name} on {scene.name}: {error}")
            for tally in (group[name], totals[name]):
                assert tally is not None
                tally.add(scene, found, seconds)
        clock = time.perf_counter()

    print_table(names, groups, totals)
    print(f"\n# {sum(g[names[0]].images for g in groups.values() if g[names[0]] is not None)} images,"  # type: ignore[union-attr]
          f" drawn in {drawing:.1f} s; whole run {time.perf_counter() - started:.1f} s")
    for line in errors:
        print(f"# error: {line}")
    if args.misses:
        for name in names:
            total = totals[name]
            if total is not None:
                print(f"\n# {name} missed: {' '.join(total.misses) or 'nothing'}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
