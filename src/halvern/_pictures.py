"""The command line's pictures: ``--annotate DIR`` and ``--explain DIR``.

Each source gets one PNG per folder, named after its file (``photo.jpg`` becomes
``photo.png``; a second ``photo`` from another folder ``photo-2.png``). The annotated
picture is made for every source that gave an image, the explanation only for those
without a code. A picture never replaces a file being read in the same run.
"""

from __future__ import annotations

import os
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

from halvern._annotate import PILLOW_HINT, annotate, explain
from halvern._reader import QRCode, Undecoded
from halvern._symbology import SYMBOLOGIES

__all__ = ["Pictures", "check_pictures", "picture_names", "write_pictures"]


@dataclass(frozen=True)
class Pictures:
    """Where the pictures go (None: not made) and the files read, never written over."""

    annotate: str | None = None
    explain: str | None = None
    inputs: frozenset[str] = frozenset()

    @property
    def wanted(self) -> bool:
        return self.annotate is not None or self.explain is not None


def _folder_problem(option: str, folder: str) -> str | None:
    try:
        os.makedirs(folder, exist_ok=True)
    except OSError as exc:
        return f"{option} {folder}: cannot make the folder: {exc.strerror or exc}"
    return None


def check_pictures(annotate_dir: str | None, explain_dir: str | None) -> str | None:
    """Why the picture options cannot be met (no Pillow, one folder for both, a folder
    that cannot be made), or None; the folders are made here."""
    if annotate_dir is None and explain_dir is None:
        return None
    try:
        import PIL  # noqa: F401
    except ImportError:
        option = "--annotate" if annotate_dir is not None else "--explain"
        return f"{option} draws with Pillow: {PILLOW_HINT}"
    if (annotate_dir is not None and explain_dir is not None
            and os.path.abspath(annotate_dir) == os.path.abspath(explain_dir)):
        return "--annotate and --explain need different folders"
    for option, folder in (("--annotate", annotate_dir), ("--explain", explain_dir)):
        problem = _folder_problem(option, folder) if folder is not None else None
        if problem is not None:
            return problem
    return None


def picture_names(stems: Sequence[str]) -> list[str]:
    """A distinct PNG name for each stem, in order: ``a.png``, then ``a-2.png``..."""
    taken: set[str] = set()
    names = []
    for stem in stems:
        name, k = f"{stem}.png", 1
        while name.casefold() in taken:
            k += 1
            name = f"{stem}-{k}.png"
        taken.add(name.casefold())
        names.append(name)
    return names


def _save(picture: Any, folder: str, name: str, inputs: frozenset[str]) -> str | None:
    path = os.path.join(folder, name)
    if os.path.realpath(path) in inputs:
        return f"{path}: not written, it is a file being read"
    try:
        picture.save(path, format="PNG")
    except OSError as exc:
        return f"{path}: cannot write the picture: {exc.strerror or exc}"
    return None


def write_pictures(pictures: Pictures, name: str, image: Any,
                   results: Sequence[QRCode | Undecoded],
                   symbologies: Sequence[str] = SYMBOLOGIES) -> list[str]:
    """Writes the pictures of a source's ``image``, read as ``results``; what went
    wrong, one message each."""
    problems = []
    if pictures.annotate is not None:
        problem = _save(annotate(image, results), pictures.annotate, name, pictures.inputs)
        problems += [problem] if problem else []
    if pictures.explain is not None and not any(isinstance(r, QRCode) for r in results):
        problem = _save(explain(image, symbologies=symbologies), pictures.explain, name,
                        pictures.inputs)
        problems += [problem] if problem else []
    return problems
