"""How often each reader gets the text right on camera-like scenes, condition by condition.

    python benchmarks/accuracy.py                 # full set, a few minutes
    python benchmarks/accuracy.py --quick         # smoke set
    python benchmarks/accuracy.py --only blur --only tilt --seed 3 --misses
    python benchmarks/accuracy.py --fast          # halvern with try_harder=False

Every scene comes from ``scenes.py`` (drawn from the seed; nothing is downloaded) and goes to
each reader as the same 2-D uint8 grayscale array, 0 black. A symbol counts as read when its
text is among the reader's outputs for the image (texts compared as multisets: two equal
symbols need two equal outputs). Outputs on an image without a symbol are false positives;
outputs on other images that match none of its texts are wrong texts. halvern is called
through ``read_all`` when it has one, else ``read``; zxing-cpp through ``read_barcodes``
(``--fast``: with ``try_harder=False``, the one pass for video frames) restricted to the
scene's symbology (QR codes, Micro QR or rMQR; QR codes on images without
a symbol) with its default settings; OpenCV through
``QRCodeDetector().detectAndDecodeMulti`` (empty strings, its "detected but not decoded",
are not outputs). Peers that are not installed show as n/a (the ``bench`` extra has them).
Each reader runs in a process of its own and is timed there; a call that takes longer than
``--limit`` seconds is stopped and scored as reading nothing, like one that raises.
"""

from __future__ import annotations

import argparse
import importlib.metadata
import importlib.util
import multiprocessing
import os
import platform
import sys
import time
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field
from multiprocessing.connection import Connection
from typing import Any

import numpy as np

import halvern

if __package__:  # imported as benchmarks.accuracy (the tests)
    from .scenes import Scene, conditions, describe, generate, score
else:  # run as a script from benchmarks/
    from scenes import Scene, conditions, describe, generate, score

# A reader: the image and the symbology its scene holds (which only zxing-cpp is told) to
# the texts read.
Reader = Callable[[np.ndarray, str], list[str]]


# ---------------------------------------------------------------- readers


def _halvern_reader(**options: Any) -> Reader:
    read_all = getattr(halvern, "read_all", None)
    if read_all is not None:
        return lambda image, _: [code.text for code in read_all(image, **options)]

    def read_one(image: np.ndarray, _: str) -> list[str]:
        code = halvern.read(image, **options)
        return [] if code is None else [code.text]

    return read_one


def _halvern_fast_reader() -> Reader:
    return _halvern_reader(try_harder=False)


def _zxing_reader() -> Reader | None:
    zxingcpp: Any
    try:
        import zxingcpp
    except ImportError:
        return None
    formats = {"QR": zxingcpp.BarcodeFormat.QRCode, "Micro QR": zxingcpp.BarcodeFormat.MicroQRCode,
               "rMQR": zxingcpp.BarcodeFormat.RMQRCode}
    return lambda image, kind: [r.text for r in zxingcpp.read_barcodes(image, formats=formats[kind])]


def _opencv_reader() -> Reader | None:
    try:
        import cv2
    except ImportError:
        return None
    detector = cv2.QRCodeDetector()

    def read(image: np.ndarray, _: str) -> list[str]:
        _, texts, _, _ = detector.detectAndDecodeMulti(image)
        return [t for t in (texts or ()) if t]

    return read


# The readers in table order, each made where it runs (in its own process).
READERS: dict[str, Callable[[], Reader | None]] = {
    "halvern": _halvern_reader,
    "halvern fast": _halvern_fast_reader,
    "zxing-cpp": _zxing_reader,
    "OpenCV": _opencv_reader,
}
MODULES = {"halvern": "halvern", "halvern fast": "halvern", "zxing-cpp": "zxingcpp", "OpenCV": "cv2"}


def installed(name: str) -> bool:
    return importlib.util.find_spec(MODULES[name]) is not None


def run_reader(reader: Reader, image: np.ndarray, kind: str = "QR") -> tuple[list[str] | None, float, str]:
    """The reader's texts (None when it raised), its time, and the error if any."""
    start = time.perf_counter()
    try:
        found: list[str] | None = list(reader(image, kind))
        error = ""
    except Exception as exc:  # a reader that raises on a scene is scored as reading nothing
        found, error = None, f"{type(exc).__name__}: {exc}"
    return found, time.perf_counter() - start, error


def _serve(name: str, conn: Connection) -> None:
    """A reader's process: (image, symbology) in, (texts or None, seconds, error) out, until
    None."""
    reader = READERS[name]()
    if reader is None:
        raise ImportError(f"{name} is not installed")
    while (request := conn.recv()) is not None:
        conn.send(run_reader(reader, *request))


class ReaderProcess:
    """One reader in a process of its own, so that a call that does not return can be
    stopped: OpenCV 5.1 spent 13 minutes on one 12 MP page (page/4/1, seed 0) before
    failing an assertion."""

    def __init__(self, name: str) -> None:
        self.name = name
        self._start()

    def _start(self) -> None:
        context = multiprocessing.get_context("spawn")
        self.conn, child = context.Pipe()
        self.process = context.Process(target=_serve, args=(self.name, child), daemon=True)
        self.process.start()
        child.close()

    def _restart(self) -> None:
        self.process.kill()
        self.process.join()
        self.conn.close()
        self._start()

    def read(self, image: np.ndarray, limit: float, kind: str = "QR") -> tuple[list[str] | None, float, str]:
        """As run_reader; a call past ``limit`` seconds is stopped and counts as raising."""
        self.conn.send((image, kind))
        if self.conn.poll(limit):
            try:
                result: tuple[list[str] | None, float, str] = self.conn.recv()
                return result
            except EOFError:
                self._restart()
                return None, 0.0, "the reader's process died"
        self._restart()
        return None, limit, f"stopped after {limit:g} s"

    def close(self) -> None:
        self.conn.send(None)
        self.process.join(5)
        if self.process.is_alive():
            self.process.kill()
            self.process.join()


# ---------------------------------------------------------------- scoring


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
    misses: list[str] = field(default_factory=list)  # scenes with a symbol not read
    strays: list[str] = field(default_factory=list)  # scenes with an output no symbol holds

    def add(self, scene: Scene, found: list[str] | None, seconds: float) -> None:
        """Counts one scene; ``found`` None means the reader raised."""
        self.images += 1
        self.seconds += seconds
        self.symbols += len(scene.texts)
        self.errors += found is None
        result = score(scene, found or [])
        self.read += result.read
        if result.read < len(scene.texts):
            self.misses.append(scene.name)
        if result.unexpected:
            self.strays.append(scene.name)
        if scene.texts:
            self.wrong_texts += result.unexpected
        else:
            self.false_positive_images += result.unexpected > 0

    def merge(self, other: Tally) -> None:
        self.symbols += other.symbols
        self.read += other.read
        self.images += other.images
        self.false_positive_images += other.false_positive_images
        self.wrong_texts += other.wrong_texts
        self.errors += other.errors
        self.seconds += other.seconds
        self.misses.extend(other.misses)
        self.strays.extend(other.strays)


# Tallies of every reader (None: not installed) for one group of scenes.
Column = dict[str, Tally | None]


def _merged(columns: Iterable[Column], names: list[str]) -> Column:
    out: Column = {n: Tally() for n in names}
    for column in columns:
        for n in names:
            t, total = column[n], out[n]
            out[n] = None if t is None or total is None else total
            if t is not None and total is not None:
                total.merge(t)
    return out


# ---------------------------------------------------------------- table


def _share(t: Tally | None) -> str:
    if t is None:
        return "n/a"
    return f"{100.0 * t.read / t.symbols:5.1f}%" if t.symbols else "-"


def _false_positives(t: Tally | None) -> str:
    return "n/a" if t is None else f"{t.false_positive_images}/{t.images}"


def _cells(column: Column, names: list[str], cell: Callable[[Tally], str]) -> list[str]:
    return ["n/a" if column[n] is None else cell(column[n]) for n in names]  # type: ignore[arg-type]


def _row(label: str, severity: str, count: str, cells: list[str]) -> str:
    return f"{label:<12} {severity:<12} {count:>7}  " + "  ".join(f"{c:>10}" for c in cells)


def _size(column: Column) -> Tally:
    return next(t for t in column.values() if t is not None)


def print_table(names: list[str], groups: dict[tuple[str, str], Column]) -> None:
    """Rows per condition and severity, then per condition, then the totals."""
    print(_row("condition", "severity", "symbols", names))
    by_condition: dict[str, list[Column]] = {}
    for (cond, sev), column in groups.items():
        if cond not in by_condition:
            print(f"\n# {cond}: {describe(cond)}")
        by_condition.setdefault(cond, []).append(column)
        if cond == "none":
            cells = [_false_positives(column[n]) for n in names]
            print(_row(cond, sev, f"{_size(column).images} img", cells))
        else:
            print(_row(cond, sev, str(_size(column).symbols), [_share(column[n]) for n in names]))
    print("\n# by condition")
    for cond, columns in by_condition.items():
        if cond != "none":
            merged = _merged(columns, names)
            print(_row(cond, "all", str(_size(merged).symbols), [_share(merged[n]) for n in names]))
    total = _merged(groups.values(), names)
    none = _merged(by_condition.get("none", []), names)
    print()
    print(_row("all symbols", "", str(_size(total).symbols), [_share(total[n]) for n in names]))
    if "none" in by_condition:
        cells = [_false_positives(none[n]) for n in names]
        print(_row("false pos.", "images", str(_size(none).images), cells))
    print(_row("wrong texts", "on symbols", "", _cells(total, names, lambda t: str(t.wrong_texts))))
    print(_row("errors", "or stopped", "", _cells(total, names, lambda t: str(t.errors))))
    print(_row("time", "seconds", "", _cells(total, names, lambda t: f"{t.seconds:.2f}")))


def _version(dist: str) -> str:
    try:
        return importlib.metadata.version(dist)
    except importlib.metadata.PackageNotFoundError:
        return "not installed"


def print_header(args: argparse.Namespace) -> None:
    print(f"# {' '.join(['python'] + sys.argv)}")
    print(f"# seed {args.seed}, {'quick' if args.quick else 'full'} set"
          + (f", only {', '.join(args.only)}" if args.only else "")
          + (", halvern with try_harder=False" if args.fast else ""))
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
                        help="list the scenes on which each reader missed a symbol or"
                             " returned a text that no symbol holds")
    parser.add_argument("--limit", type=float, default=20.0,
                        help="seconds a reader may spend on one image before it is stopped"
                             " and scored as reading nothing (default 20)")
    parser.add_argument("--fast", action="store_true",
                        help="halvern in its fast mode (try_harder=False) in place of its default")
    args = parser.parse_args(argv)
    print_header(args)
    sys.stdout.flush()

    names = [n for n in READERS if n != ("halvern" if args.fast else "halvern fast")]
    available = {n: ReaderProcess(n) if installed(n) else None for n in names}
    groups: dict[tuple[str, str], Column] = {}
    errors: list[str] = []
    started = time.perf_counter()
    drawing = 0.0
    clock = time.perf_counter()
    for scene in generate(args.seed, args.quick, tuple(args.only)):
        drawing += time.perf_counter() - clock
        if (scene.condition, scene.severity) not in groups:
            print(f"{scene.condition} {scene.severity} ...", file=sys.stderr, flush=True)
        column = groups.setdefault((scene.condition, scene.severity),
                                   {n: None if r is None else Tally() for n, r in available.items()})
        for name, process in available.items():
            tally = column[name]
            if process is None or tally is None:
                continue
            found, seconds, error = process.read(scene.image, args.limit, scene.symbology)
            if error:
                errors.append(f"{name} on {scene.name}: {error}")
            tally.add(scene, found, seconds)
        clock = time.perf_counter()
    for process in available.values():
        if process is not None:
            process.close()

    print_table(names, groups)
    total = _merged(groups.values(), names)
    print(f"\n# {_size(total).images} images, drawn in {drawing:.1f} s;"
          f" whole run {time.perf_counter() - started:.1f} s")
    for line in errors:
        print(f"# error: {line}")
    if args.misses:
        for name in names:
            t = total[name]
            if t is not None:
                print(f"\n# {name} missed: {' '.join(t.misses) or 'nothing'}")
                print(f"# {name} returned a text no symbol holds: {' '.join(t.strays) or 'never'}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
