"""Pictures of a read: the native trace, annotate's and explain's geometry, --annotate
and --explain, and the README's picture."""

from __future__ import annotations

import builtins
import math
import re
import shlex
import sys
from pathlib import Path

import numpy as np
import pytest
import segno
from PIL import Image

import halvern
from benchmarks.scenes import scene
from halvern import _annotate, _engine
from halvern._trace import TraceSymbol, trace_read
from halvern.__main__ import main

README = Path(__file__).resolve().parents[1] / "README.md"
QUIET, PPM = 4, 5


def code_pixels(text: str = "annotate me", version: int = 3, damage: bool = False,
                light_on_dark: bool = False) -> np.ndarray:
    """A gray code at PPM pixels a module; ``damage`` noises its data region."""
    matrix = np.array(segno.make_qr(text, version=version, error="m").matrix, np.uint8)
    bits = np.kron(np.pad(matrix, QUIET), np.ones((PPM, PPM), np.uint8))
    if damage:
        lo, hi = (QUIET + 9) * PPM, (QUIET + len(matrix)) * PPM
        bits[lo:hi, lo:hi] = np.random.default_rng(7).integers(0, 2, (hi - lo, hi - lo))
    return (255 * (bits if light_on_dark else 1 - bits)).astype(np.uint8)


def finder_centres(version: int = 3) -> list[tuple[float, float]]:
    near, far = (QUIET + 3.5) * PPM, (QUIET + 17 + 4 * version - 3.5) * PPM
    return [(near, near), (far, near), (near, far)]


def colour_mask(picture: Image.Image, colour: tuple[int, int, int]) -> np.ndarray:
    return np.all(np.asarray(picture.convert("RGB")) == colour, axis=2)


def segment_distance(p: np.ndarray, a: tuple[float, float], b: tuple[float, float]) -> np.ndarray:
    a_, d = np.array(a), np.array(b) - np.array(a)
    t = np.clip(((p - a_) @ d) / (d @ d), 0.0, 1.0)
    return np.linalg.norm(p - (a_ + t[:, None] * d), axis=1)


# ---------------------------------------------------------------------------
# The native trace


TRACED = {
    "clean": lambda: code_pixels(),
    "damaged": lambda: code_pixels(damage=True),
    "light on dark, damaged": lambda: code_pixels(damage=True, light_on_dark=True),
    "tilted": lambda: scene("tilt", "30", index=1).image,
    "salt and pepper": lambda: scene("salt-pepper", "10", index=0).image,
    "multi": lambda: scene("multi", "5", index=0).image,
    "blank": lambda: np.full((64, 80), 255, np.uint8),
}


@pytest.mark.parametrize("name", TRACED)
def test_trace_leaves_the_read_alone(name) -> None:
    image = np.ascontiguousarray(TRACED[name]())
    h, w = image.shape
    for keep in (False, True):
        records, trace = _engine.read_traced(image, w, h, w, 0, True, keep)
        assert records == _engine.read(image, w, h, w, 0, True, keep)
        bits, finders, _, symbols = trace
        assert bits == _engine._binarize(image, w, h, w, 0)[0]
        first = sorted(f[:4] for f in finders if f[4] == 0)
        assert first == sorted(_engine._find_finders(bits, w, h))
        grids = [TraceSymbol(*s[:3], "first", "") for s in symbols]
        for record in records:  # each one located, on the corners it reports
            size, corners = record[2], record[4]
            assert any(g.size == size and math.dist(g.point(0, 0), corners[0]) < 1e-6
                       and math.dist(g.point(size, size), corners[2]) < 1e-6 for g in grids)


def agreement(bits: np.ndarray, grid, c: int, r: int) -> int:
    """The trace's module confidence, the slow way: the module read as the sampler does
    from 3 pixels a module (its centre twice and four points a quarter module off), then
    how many of nine points a third of a module apart agree with it."""
    def dark(dx: float, dy: float) -> bool:
        p = grid.point(c + 0.5 + dx, r + 0.5 + dy)
        inside = p is not None and 0 <= p[0] < bits.shape[1] and 0 <= p[1] < bits.shape[0]
        return bool(inside and bits[int(p[1]), int(p[0])])

    votes = 2 * dark(0, 0) + sum(dark(dx, dy) for dx in (-0.25, 0.25) for dy in (-0.25, 0.25))
    third = (-1 / 3, 0, 1 / 3)
    return sum(dark(dx, dy) == (votes >= 3) for dy in third for dx in third)


@pytest.mark.parametrize("light_on_dark", [False, True])
def test_trace_of_a_failed_read(light_on_dark) -> None:
    trace = trace_read(code_pixels(damage=True, light_on_dark=light_on_dark))
    stage = "inverted" if light_on_dark else "first"
    located = [s for s in trace.symbols if s.stage == stage]
    assert located and located[0].outcome == "too many errors to correct"
    seen = [t for t in trace.triples if t.stage == stage]
    assert seen and seen[0].outcome == located[0].outcome
    assert all(min(math.dist(c, e) for c in seen[0].centers) < 1 for e in finder_centres())
    bits = np.frombuffer(trace.bits, np.uint8).reshape(trace.height, trace.width)
    if light_on_dark:  # the first pass's bits, inverted as the inverted pass reads them
        bits = 1 - bits
    grid = located[0]
    expected = [agreement(bits, grid, c, r) for r in range(grid.size) for c in range(grid.size)]
    assert list(grid.confidence) == expected
    assert 0 < expected.count(9) < len(expected)


# ---------------------------------------------------------------------------
# annotate


def outline_check(picture: Image.Image, item, scale: float, colour) -> None:
    """Every pixel of the outline's colour lies on an edge through the item's corners,
    within half the line and a pixel; each corner is reached within a pixel (the
    top-left one is under its mark, whose middle is the corner within a pixel)."""
    corners = [(x * scale, y * scale) for x, y in item.position]
    line = _annotate._frame(_annotate._pillow("annotate"), picture.width, picture.height).line
    ys, xs = np.nonzero(colour_mask(picture, colour))
    centres = np.column_stack([xs + 0.5, ys + 0.5])
    edges = [segment_distance(centres, corners[i], corners[(i + 1) % 4]) for i in range(4)]
    assert np.min(edges, axis=0).max() <= line / 2 + 1
    for corner in corners[1:]:
        assert np.linalg.norm(centres - corner, axis=1).min() <= line / 2 + 1
    my, mx = np.nonzero(colour_mask(picture, _annotate.CORNER))
    assert math.dist((mx.mean() + 0.5, my.mean() + 0.5), corners[0]) <= 1


ANNOTATED = {
    "clean": lambda: code_pixels(),
    "rotated": lambda: scene("rotation", "any", index=0).image,
    "tilted": lambda: scene("tilt", "30", index=0).image,
    "mirrored": lambda: scene("mirrored", "turned", index=0).image,
    "damaged": lambda: code_pixels(damage=True),
}


@pytest.mark.parametrize("name", ANNOTATED)
def test_annotate_outlines_each_code_on_its_corners(name) -> None:
    image = ANNOTATED[name]()
    results = halvern.read_all(image, return_errors=True)
    assert len(results) == 1
    picture = halvern.annotate(image, results)
    scale = picture.width / image.shape[1]
    assert scale == int(scale) and picture.height == image.shape[0] * scale
    decoded = isinstance(results[0], halvern.QRCode)
    assert decoded == (name != "damaged")
    outline_check(picture, results[0], scale, _annotate.CODE if decoded else _annotate.UNDECODED)
    label = _annotate.CODE_LABEL if decoded else _annotate.UNDECODED_LABEL
    assert colour_mask(picture, label).sum() > 100


def colour_code(tmp_path: Path) -> dict[str, tuple]:
    """One code drawn in blue on yellow, as each kind of input annotate takes."""
    gray = code_pixels()
    rgb = np.where(gray[..., None] == 0, np.uint8([20, 40, 160]), np.uint8([250, 230, 90]))
    path = tmp_path / "code.png"
    Image.fromarray(rgb).save(path)
    bits = (gray == 0).astype(np.uint8)
    return {"pillow": (Image.fromarray(rgb), None), "array": (rgb, None), "path": (path, None),
            "rgba array": (np.dstack([rgb, np.full(gray.shape, 255, np.uint8)]), None),
            "bits": (bits.tobytes(), bits.shape)}


@pytest.mark.parametrize("kind", ["pillow", "array", "path", "rgba array", "bits"])
def test_annotate_keeps_the_image_in_colour(tmp_path, kind) -> None:
    image, shape = colour_code(tmp_path)[kind]
    size = {} if shape is None else {"width": shape[1], "height": shape[0]}
    codes = halvern.read_all(image, size.get("width"), size.get("height"))
    picture = np.asarray(halvern.annotate(image, codes, **size))
    scale = picture.shape[1] // code_pixels().shape[1]
    paper = picture[scale * 2, -scale * 2]
    ink = picture[int((QUIET + 3.5) * PPM * scale), int((QUIET + 3.5) * PPM * scale)]
    if kind == "bits":
        assert tuple(paper) == (255, 255, 255) and tuple(ink) == (0, 0, 0)
    else:
        assert tuple(paper) == (250, 230, 90) and tuple(ink) == (20, 40, 160)


@pytest.mark.parametrize("codes", [halvern.read(code_pixels()), [object()]],
                         ids=["one result", "not a result"])
def test_annotate_refuses_what_is_not_a_list_of_results(codes) -> None:
    with pytest.raises(TypeError, match="QRCode or Undecoded"):
        halvern.annotate(code_pixels(), codes)


# ---------------------------------------------------------------------------
# explain


def ring_coverage(picture: Image.Image, colour, centre, radius: float) -> float:
    """The share of 72 points round the ring with a pixel of ``colour`` within 2 pixels."""
    mask = colour_mask(picture, colour)
    hit = 0
    for k in range(72):
        a = 2 * math.pi * k / 72
        x, y = centre[0] + radius * math.cos(a) - 0.5, centre[1] + radius * math.sin(a) - 0.5
        window = mask[max(0, round(y) - 2): round(y) + 3, max(0, round(x) - 2): round(x) + 3]
        hit += bool(window.any())
    return hit / 72


@pytest.mark.parametrize("light_on_dark", [False, True])
def test_explain_shows_the_finder_candidates_and_module_centres(light_on_dark) -> None:
    image = code_pixels(damage=True, light_on_dark=light_on_dark)
    assert halvern.read(image) is None
    picture = halvern.explain(image)
    scale = picture.width / image.shape[1]
    assert picture.height > image.shape[0] * scale  # the legend below
    colour = _annotate.FINDER["inverted" if light_on_dark else "first"]
    for x, y in finder_centres():
        assert ring_coverage(picture, colour, (x * scale, y * scale), 3.5 * PPM * scale) > 0.8
    grid = trace_read(image).symbols[-1]  # drawn last, over any other pass's grid
    pixels = np.asarray(picture)
    for r in range(9, grid.size - 9):
        for c in range(9, grid.size - 9):
            x, y = grid.point(c + 0.5, r + 0.5)
            shown = tuple(pixels[int(y * scale), int(x * scale)])
            assert shown == _annotate.confidence_colour(grid.confidence[r * grid.size + c] / 9)


def test_explain_of_a_blank_page_shows_the_bits_alone() -> None:
    picture = halvern.explain(np.full((60, 90), 255, np.uint8))
    top = np.asarray(picture)[: 60 * picture.width // 90]
    assert (top == _annotate.BIT_LIGHT).all()


def test_an_empty_image_has_an_empty_picture_and_a_legend() -> None:
    empty = np.zeros((0, 7), np.uint8)
    assert halvern.annotate(empty, []).size == (0, 0)
    legend = halvern.explain(empty)
    assert legend.width == _annotate.MIN_SIDE and legend.height > 0


# ---------------------------------------------------------------------------
# Without Pillow, and the command line


@pytest.fixture
def no_pillow(monkeypatch):
    real = builtins.__import__

    def refuse(name, *args, **kwargs):
        if name == "PIL" or name.startswith("PIL."):
            raise ImportError(f"No module named {name!r}")
        return real(name, *args, **kwargs)

    for name in [n for n in sys.modules if n == "PIL" or n.startswith("PIL.")]:
        monkeypatch.delitem(sys.modules, name)
    monkeypatch.setattr(builtins, "__import__", refuse)


@pytest.mark.parametrize("draw", [lambda i: halvern.annotate(i, []), halvern.explain])
def test_without_pillow_the_pictures_name_the_extra(no_pillow, draw) -> None:
    with pytest.raises(ImportError, match=re.escape('pip install "halvern[image]"')):
        draw(code_pixels())


def save(path: Path, pixels: np.ndarray) -> str:
    path.parent.mkdir(parents=True, exist_ok=True)
    Image.fromarray(pixels).save(path)
    return str(path)


def test_cli_writes_the_pictures(tmp_path, capsys) -> None:
    good = save(tmp_path / "in" / "code.png", code_pixels())
    twin = save(tmp_path / "in" / "more" / "code.png", code_pixels("twin"))
    bad = save(tmp_path / "in" / "bad.png", code_pixels(damage=True))
    status = main(["--annotate", str(tmp_path / "a"), "--explain", str(tmp_path / "e"),
                   good, twin, bad])
    assert status == 1 and "Traceback" not in capsys.readouterr().err
    assert sorted(p.name for p in (tmp_path / "a").iterdir()) == ["bad.png", "code-2.png", "code.png"]
    assert [p.name for p in (tmp_path / "e").iterdir()] == ["bad.png"]
    with Image.open(tmp_path / "a" / "code-2.png") as picture:
        outline_check(picture, halvern.read(twin), picture.width / code_pixels().shape[1],
                      _annotate.CODE)
    with Image.open(tmp_path / "e" / "bad.png") as picture:
        assert colour_mask(picture, _annotate.FINDER["first"]).any()


@pytest.mark.parametrize(("arguments", "message"), [
    (["--annotate", "{in}"], "not written, it is a file being read"),
    (["--annotate", "{out}", "--explain", "{out}"], "need different folders"),
    (["--annotate", "{in}/code.png/x"], "cannot make the folder"),
])
def test_cli_picture_errors(tmp_path, capsys, arguments, message) -> None:
    good = save(tmp_path / "in" / "code.png", code_pixels())
    folders = {"in": str(tmp_path / "in"), "out": str(tmp_path / "out")}
    status = main([a.format(**folders) for a in arguments] + [good])
    assert status == 2 and message in capsys.readouterr().err


def test_cli_without_pillow(no_pillow, tmp_path, capsys) -> None:
    assert main(["--explain", str(tmp_path / "e"), "--demo"]) == 2
    assert 'pip install "halvern[image]"' in capsys.readouterr().err
    assert not (tmp_path / "e").exists()


def test_readme_picture_is_what_its_command_draws(tmp_path, capsys, monkeypatch) -> None:
    text = README.read_text(encoding="utf-8")
    command = re.search(r"^(halvern --annotate \S+ \S+)$", text, re.MULTILINE)
    assert command is not None
    _, option, folder, source = shlex.split(command[1])
    shown = re.search(r"!\[[^]]*\]\(([^)]+)\)", text)
    assert shown is not None and shown[1] == f"{folder}/{Path(source).stem}.png"
    monkeypatch.chdir(README.parent)
    main([option, str(tmp_path), source])
    capsys.readouterr()
    with Image.open(tmp_path / Path(shown[1]).name) as drawn, Image.open(README.parent / shown[1]) as kept:
        assert drawn.size == kept.size
        difference = np.abs(np.asarray(drawn, np.int16) - np.asarray(kept.convert("RGB"), np.int16))
        assert (difference.max(axis=2) > 0).mean() < 0.01
