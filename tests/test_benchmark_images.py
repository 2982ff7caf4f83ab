"""The speed benchmark's images: drawn the same from the same seed, and holding what they claim."""

from __future__ import annotations

import re
from types import ModuleType

import numpy as np
import pytest

import halvern
from halvern import _engine

@pytest.fixture(scope="module")
def run() -> ModuleType:
    from benchmarks import run as module  # the repository root is on sys.path (conftest)

    return module


def symbol_box(bits: np.ndarray) -> np.ndarray:
    """The black pixels' bounding box cut out of the image."""
    rows, cols = np.flatnonzero(bits.any(axis=1)), np.flatnonzero(bits.any(axis=0))
    return bits[rows[0] : rows[-1] + 1, cols[0] : cols[-1] + 1]


def test_small_codes_are_drawn_from_the_seed(run: ModuleType) -> None:
    first, again, other = run.small_codes(6), run.small_codes(6), run.small_codes(6, seed=1)
    assert [s.name for s in first] == [s.name for s in again]
    assert all(np.array_equal(a.bits, b.bits) and a.texts == b.texts for a, b in zip(first, again))
    assert [s.texts for s in first] != [s.texts for s in other]


def test_small_codes_hold_their_symbol(run: ModuleType) -> None:
    samples = run.small_codes(12)
    assert {s.group for s in samples} == {"upright", "turned 10", "noise 1%"}
    for sample in samples:
        h, w = sample.bits.shape
        assert 100 <= min(h, w) and max(h, w) <= 600
        assert sample.bits.dtype == np.uint8 and set(np.unique(sample.bits)) <= {0, 1}
        assert np.array_equal(sample.gray == 0, sample.bits == 1)
        version, scale = map(int, re.match(r"v(\d+) (\d+) px/module", sample.name).groups())
        expected = run.symbol_modules(sample.texts[0], version)
        if sample.group == "turned 10":  # whole: the dark area of the symbol, within 3%
            assert abs(int(sample.bits.sum()) / (int(expected.sum()) * scale * scale) - 1) < 0.03
        if sample.group != "upright":
            continue
        box = symbol_box(sample.bits)
        assert np.array_equal(box[::scale, ::scale], expected)
        assert np.array_equal(box, np.kron(expected, np.ones((scale, scale), dtype=np.uint8)))


@pytest.mark.parametrize("degrees", [10.0, 15.0, 45.0])
def test_turned_symbol_loses_no_corner(run: ModuleType, degrees: float) -> None:
    drawn = run.with_quiet_zone(run.symbol_modules("corner", 3), 6)
    patch = run.turned_patch(drawn, degrees)
    # Nearest-neighbour turning keeps the dark area within 3% (2.3% at 45 degrees); a cut
    # corner would not: one finder holds about 8% of a version-3 symbol's dark modules.
    assert abs(int(patch.sum()) / int(drawn.sum()) - 1) < 0.03
    assert patch[0].sum() == patch[-1].sum() == patch[:, 0].sum() == patch[:, -1].sum() == 0


def test_pages_have_their_size_and_density(run: ModuleType) -> None:
    shape = run.page_shape(0.1)
    assert abs(shape[0] * shape[1] - 100_000) < 1000 and abs(shape[1] / shape[0] - 4 / 3) < 0.01
    pages = {s.group: s.bits for s in run.blank_pages((0.1,))}
    again = {s.group: s.bits for s in run.blank_pages((0.1,))}
    assert all(np.array_equal(pages[k], again[k]) for k in pages)
    assert pages["white"].sum() == 0
    assert abs(pages["noise-5"].mean() - 0.05) < 0.005 and abs(pages["noise-50"].mean() - 0.5) < 0.01
    assert 0.1 < pages["text"].mean() < 0.4
    with pytest.raises(ValueError, match="does not fit"):
        run.code_page((300, 400), "too big", 10, 8, 0.0)


@pytest.mark.parametrize(("version", "level"), [(1, "h"), (10, "h"), (40, "h"), (7, "m")])
def test_damage_is_half_of_what_each_block_may_have_corrected(run: ModuleType, version: int,
                                                              level: str) -> None:
    text = run.full_text(version, level, np.random.default_rng(version))
    modules = run.symbol_modules(text, version, level)
    broken, count = run.damaged(modules, version, level, np.random.default_rng(7))
    _, blocks, correctable = _engine._block_layout(version, run.LEVEL_INDEX[level])
    assert count == len(blocks) * (correctable // 2) > 0
    changed = (broken != modules).reshape(-1)[np.array(_engine._placement(version))]
    assert int(changed.reshape(-1, 8).any(axis=1).sum()) == count
    size = modules.shape[0]
    decoded = _engine.decode_matrix(broken.tobytes(), size)
    assert decoded[3] == count  # every damaged codeword was corrected, none more
    assert run.engine_texts([(decoded,)]) == [text]


@pytest.mark.parametrize("kind", ["near_symbols", "near_small_symbols", "finder_scales", "lone_finders"])
def test_retry_images_locate_symbols_and_decode_none(kind: str) -> None:
    from benchmarks import worst_case

    bits = worst_case.RETRY_KINDS[kind](500, 400)
    assert bits.shape == (400, 500) and set(np.unique(bits)) == {0, 1}
    results = halvern.read_all(bits, return_errors=True)
    assert not any(isinstance(r, halvern.QRCode) for r in results)
    if kind == "near_symbols":  # each tile has a QR symbol's frame: located, never read
        assert len(results) >= 3
