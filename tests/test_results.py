"""The result types as users meet them: symbols located but not decoded, short reprs,
documented fields, and a public API that ``__all__`` and the README list in full."""

from __future__ import annotations

import dataclasses
import inspect
import math
import re
from pathlib import Path

import numpy as np
import pytest
import segno

import halvern

SCALE = 4
QUIET = 4
README = Path(__file__).resolve().parents[1] / "README.md"


def modules(text: str | bytes, version: int, error: str = "m", **kw: object) -> np.ndarray:
    qr = segno.make_qr(text, version=version, error=error, boost_error=False, **kw)
    return np.array(qr.matrix, dtype=np.uint8)


def smudged(symbol: np.ndarray, seed: int = 5) -> np.ndarray:
    """The symbol with half the modules of its middle band flipped: the finders and the
    format information stay, the data is beyond repair."""
    out = symbol.copy()
    n = out.shape[0]
    band = out[9 : n - 9, 9:]
    band ^= (np.random.default_rng(seed).random(band.shape) < 0.5).astype(np.uint8)
    return out


def image_of(*symbols: np.ndarray) -> np.ndarray:
    """The symbols side by side, each in its quiet zone, SCALE pixels a module."""
    side = max(s.shape[0] for s in symbols) + 2 * QUIET
    tiles = [np.pad(s, ((QUIET, side - s.shape[0] - QUIET), (QUIET, QUIET))) for s in symbols]
    return np.kron(np.hstack(tiles), np.ones((SCALE, SCALE), dtype=np.uint8))


def corners_at(x_modules: int, size: int) -> list[tuple[float, float]]:
    x0, y0 = x_modules * SCALE, QUIET * SCALE
    side = size * SCALE
    return [(x0, y0), (x0 + side, y0), (x0 + side, y0 + side), (x0, y0 + side)]


# ---------------------------------------------------------------------------
# Located but not decoded


@pytest.mark.parametrize(
    ("damaged", "reason", "version", "level"),
    [
        (lambda: smudged(modules("smudged beyond repair", 3, "l")), "too many errors to correct",
         3, "L"),
        # UTF-8 announced, bytes that are not UTF-8: the stream decodes, the text does not.
        (lambda: modules(b"\xff\xfe\xfd", 2, "m", eci=True, encoding="utf-8"),
         "the text is not valid in its character set", 2, "M"),
    ],
    ids=["too-many-errors", "charset"],
)
def test_undecodable_symbol_is_reported_with_reason_and_place(damaged, reason, version,
                                                               level) -> None:
    symbol = damaged()
    image = image_of(symbol)
    assert halvern.read_all(image) == []
    assert halvern.read(image) is None
    (failure,) = halvern.read_all(image, return_errors=True)
    assert isinstance(failure, halvern.Undecoded)
    assert (failure.reason, failure.version) == (reason, version)
    size = symbol.shape[0]
    for got, want in zip(failure.position, corners_at(QUIET, size), strict=True):
        assert math.dist(got, want) <= 2.0
    assert failure.orientation == pytest.approx(0.0, abs=1.0)
    assert not failure.inverted and failure.module_size == pytest.approx(SCALE, abs=0.3)
    assert failure.matrix is not None
    assert (failure.matrix.size, failure.matrix.error_correction) == (size, level)
    assert halvern.read_matrix(image) == failure.matrix


def test_codes_and_failures_of_one_image() -> None:
    good = modules("readable", 2, "m")
    bad = smudged(modules("smudged beyond repair", 3, "l"))
    image = image_of(good, bad)
    plain = halvern.read_all(image)
    results = halvern.read_all(image, return_errors=True)
    assert [c.text for c in plain] == ["readable"]
    assert [type(r) for r in results] == [halvern.QRCode, halvern.Undecoded]
    assert results[0] == plain[0]
    second_x = 3 * QUIET + good.shape[0]
    assert math.dist(results[1].position[0], corners_at(second_x, bad.shape[0])[0]) <= 2.0
    # The readable symbol's matrix wins over the failure's.
    assert halvern.read_matrix(image) == plain[0].matrix


def test_clean_image_gives_no_failures() -> None:
    image = image_of(modules("clean", 4, "q"))
    assert halvern.read_all(image, return_errors=True) == halvern.read_all(image)


# ---------------------------------------------------------------------------
# Short reprs

LONG_TEXT = "x" * 2000 + "END"


def long_results() -> dict[str, object]:
    image = image_of(modules(LONG_TEXT, 40, "l"))
    (code,) = halvern.read_all(image)
    (failure,) = halvern.read_all(image_of(smudged(modules("damaged", 3, "l"))),
                                  return_errors=True)
    return {"code": code, "matrix": code.matrix, "decoded": code.decoded,
            "segment": code.segments[0], "undecoded": failure}


@pytest.fixture(scope="module")
def results() -> dict[str, object]:
    return long_results()


@pytest.mark.parametrize("kind", ["code", "matrix", "decoded", "segment", "undecoded"])
def test_repr_is_short(results, kind) -> None:
    text = repr(results[kind])
    assert len(text) <= 200, text
    assert text.startswith(type(results[kind]).__name__ + "(")
    assert "END" not in text and "\\x00" not in text and "\\x01" not in text


@pytest.mark.parametrize("kind", ["code", "decoded", "segment"])
def test_repr_shows_the_start_of_the_text(results, kind) -> None:
    assert "'" + "x" * 40 + "'..." in repr(results[kind])


def test_repr_of_a_short_text_is_whole() -> None:
    code = halvern.read(image_of(modules("short 'quoted'", 2)))
    assert code is not None
    assert repr("short 'quoted'") in repr(code) and "..." not in repr(code)


# ---------------------------------------------------------------------------
# Public API and its documentation

PUBLIC = [n for n in halvern.__all__ if n != "__version__"]


def test_all_lists_every_public_name() -> None:
    defined = {n for n, v in vars(halvern).items()
               if not n.startswith("_") and not inspect.ismodule(v)}
    assert defined == set(PUBLIC)
    assert all(hasattr(halvern, n) for n in halvern.__all__)


@pytest.mark.parametrize("name", PUBLIC)
def test_public_name_is_in_the_readme(name) -> None:
    assert re.search(rf"`(halvern\.)?{name}[`(]", README.read_text(encoding="utf-8"))


@pytest.mark.parametrize("name", PUBLIC)
def test_public_name_is_documented(name) -> None:
    obj = getattr(halvern, name)
    assert (obj.__doc__ or "").strip()
    if dataclasses.is_dataclass(obj):
        undocumented = [f.name for f in dataclasses.fields(obj)
                        if f"    {f.name}:" not in obj.__doc__]
        assert undocumented == []
    if inspect.isclass(obj):
        members = [m for n, m in vars(obj).items()
                   if not n.startswith("_") and (inspect.isfunction(m) or isinstance(m, property))]
        assert all((m.__doc__ or "").strip() for m in members)
