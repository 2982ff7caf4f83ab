"""The command line over many files: folders walked for image files, files read on
several threads with the results kept in input order, and a progress bar on standard
error.

The reader releases the interpreter lock for the whole read (and Pillow while it
decodes), so threads read files side by side; results are handed back in the order of
the files so that the output does not depend on ``--jobs``.
"""

from __future__ import annotations

import contextlib
import importlib
import os
import time
from collections import deque
from collections.abc import Callable, Iterable, Iterator
from concurrent.futures import Future, ThreadPoolExecutor
from typing import Any, TextIO, TypeVar

__all__ = ["IMAGE_SUFFIXES", "Progress", "folder_images", "in_order", "progress_bar"]

Item = TypeVar("Item")
Result = TypeVar("Result")

# The extensions of the formats the command reads (PNM itself, the rest through
# Pillow); in a folder every other file is skipped without a word.
IMAGE_SUFFIXES = frozenset({
    ".pbm", ".pgm", ".ppm", ".pnm", ".pam",
    ".png", ".jpg", ".jpeg", ".jpe", ".jfif", ".gif", ".bmp", ".dib", ".tif", ".tiff",
    ".webp", ".tga", ".qoi",
})
# Batches of fewer files finish before a bar would tell anything.
PROGRESS_MIN_FILES = 10
# The built-in bar is redrawn at most this often (seconds): a folder of small files is
# read at thousands a second.
REDRAW_SECONDS = 0.1
BAR_WIDTH = 24

# ---------------------------------------------------------------------------
# Folders


def is_image_name(name: str) -> bool:
    return os.path.splitext(name)[1].lower() in IMAGE_SUFFIXES


def folder_images(folder: str) -> tuple[list[str], list[str]]:
    """The image files under ``folder`` (recursively, by extension, sorted by name within
    each folder, subfolders after the folder's own files), and a message for each
    subfolder that could not be listed. Links to folders are not followed, so that a
    link back up cannot make the walk endless."""
    problems: list[str] = []

    def failed(exc: OSError) -> None:
        problems.append(f"{exc.filename}: cannot list the folder: {exc.strerror or exc}")

    found: list[str] = []
    for root, dirs, files in os.walk(folder, onerror=failed):
        dirs.sort()
        found.extend(os.path.join(root, name) for name in sorted(files) if is_image_name(name))
    return found, problems


# ---------------------------------------------------------------------------
# Reading on several threads


def in_order(work: Callable[[Item], Result], items: Iterable[Item], jobs: int) -> Iterator[Result]:
    """``work(item)`` for each item, in the items' order, computed on ``jobs`` threads
    with at most twice that many items read ahead of the one handed back."""
    if jobs <= 1:
        yield from map(work, items)
        return
    with ThreadPoolExecutor(max_workers=jobs, thread_name_prefix="halvern") as pool:
        pending: deque[Future[Result]] = deque()
        try:
            for item in items:
                pending.append(pool.submit(work, item))
                if len(pending) >= 2 * jobs:
                    yield pending.popleft().result()
            while pending:
                yield pending.popleft().result()
        finally:
            for future in pending:
                future.cancel()


# ---------------------------------------------------------------------------
# Progress


class Progress:
    """No progress shown: the interface the bars below share."""

    @contextlib.contextmanager
    def paused(self) -> Iterator[None]:
        """A scope in which other output may be written: the bar is cleared first."""
        yield

    def advance(self) -> None:
        """One more file done."""

    def close(self) -> None:
        """Removes the bar."""


class TextProgress(Progress):
    """A one-line bar redrawn in place with carriage returns."""

    def __init__(self, total: int, stream: TextIO) -> None:
        self.total = total
        self.stream = stream
        self.done = 0
        self.shown = ""
        self.drawn_at = 0.0

    def _write(self, text: str) -> None:
        self.stream.write(text)
        self.stream.flush()

    def _clear(self) -> None:
        if self.shown:
            self._write("\r" + " " * len(self.shown) + "\r")
            self.shown = ""

    def _draw(self) -> None:
        filled = BAR_WIDTH * self.done // max(self.total, 1)
        line = (f"halvern: [{'#' * filled}{'.' * (BAR_WIDTH - filled)}] "
                f"{self.done}/{self.total} files")
        self._write("\r" + line)
        self.shown = line
        self.drawn_at = time.monotonic()

    @contextlib.contextmanager
    def paused(self) -> Iterator[None]:
        self._clear()
        yield

    def advance(self) -> None:
        self.done += 1
        if (not self.shown or self.done == self.total
                or time.monotonic() - self.drawn_at >= REDRAW_SECONDS):
            self._draw()

    def close(self) -> None:
        self._clear()


class TqdmProgress(Progress):
    """tqdm's bar, when tqdm is installed."""

    def __init__(self, total: int, stream: TextIO, tqdm: Any) -> None:
        self.stream = stream
        self.bar = tqdm(total=total, file=stream, unit="file", leave=False, dynamic_ncols=True)

    @contextlib.contextmanager
    def paused(self) -> Iterator[None]:
        with self.bar.external_write_mode(file=self.stream):
            yield

    def advance(self) -> None:
        self.bar.update(1)

    def close(self) -> None:
        self.bar.close()


def progress_bar(total: int, stream: TextIO, wanted: bool = True) -> Progress:
    """A bar for ``total`` files on ``stream`` when it is a terminal and the batch is
    long: tqdm's when it is installed, else a built-in one; otherwise none."""
    if not wanted or total < PROGRESS_MIN_FILES or not stream.isatty():
        return Progress()
    try:
        tqdm = importlib.import_module("tqdm").tqdm
    except ImportError:
        return TextProgress(total, stream)
    return TqdmProgress(total, stream, tqdm)
