"""try_harder=False: one pass and nothing more. An image the first pass reads gives the
same results in both modes; an image that only a fallback or a retry reads is read by
the default mode alone."""

from __future__ import annotations

from collections.abc import Callable

import numpy as np
import pytest
import segno

import halvern
from benchmarks import scenes as sc
from halvern.__main__ import main
from tests.test_erasures import blotted

TEXT = "try harder"


def drawn(version: int, scale: int, text: str = TEXT) -> np.ndarray:
    modules = np.array(segno.make_qr(text, version=version, error="m", boost_error=False).matrix, np.uint8)
    return np.kron(np.pad(modules, 4), np.ones((scale, scale), np.uint8))


def light_on_dark() -> np.ndarray:
    return 1 - drawn(2, 4)


def speckled() -> np.ndarray:
    # A tenth of the pixels flipped at 4 px/module: the one pass reads too many errors.
    bits = drawn(2, 4)
    flip = np.random.default_rng(3).random(bits.shape) < 0.1
    return np.where(flip, 1 - bits, bits).astype(np.uint8)


def blots() -> np.ndarray:
    return blotted(3, "Q", 10, 0)[0]


def one_pixel_a_module() -> np.ndarray:
    return drawn(2, 1)


def texts(image: np.ndarray, **options: bool) -> list[str]:
    return [code.text for code in halvern.read_all(image, **options)]


@pytest.mark.parametrize("make", [light_on_dark, speckled, blots, one_pixel_a_module])
def test_only_the_default_mode_reads_what_needs_a_fallback(make: Callable[[], np.ndarray]) -> None:
    image = make()
    expected = "ERASED BLOTS" if make is blots else TEXT
    assert texts(image) == [expected]
    assert texts(image, try_harder=False) == []
    assert halvern.read(image, try_harder=False) is None


def two_codes() -> np.ndarray:
    page = np.zeros((200, 420), np.uint8)
    for left, code in ((10, drawn(2, 4)), (200, drawn(4, 4, "second"))):
        page[10 : 10 + code.shape[0], left : left + code.shape[1]] = code
    return page


@pytest.mark.parametrize("image", [drawn(1, 3), drawn(7, 2), (1 - np.rot90(drawn(3, 5))) * 255, two_codes()],
                         ids=["v1", "v7", "gray turned", "two codes"])
def test_what_the_first_pass_reads_is_the_same_in_both_modes(image: np.ndarray) -> None:
    default = halvern.read_all(image, return_errors=True)
    assert default and all(isinstance(r, halvern.QRCode) for r in default)
    assert halvern.read_all(image, return_errors=True, try_harder=False) == default


@pytest.mark.parametrize("shift", range(3))
@pytest.mark.parametrize("version", [1, 4])
def test_the_one_pass_reads_two_pixels_a_module_at_any_row_phase(version: int, shift: int) -> None:
    # The fast scan's rows are three apart until one meets a finder: each phase of the
    # rows against the symbol must still read, with the records of the default mode.
    image = np.pad(drawn(version, 2), ((shift, 0), (0, 0)))
    fast = halvern.read_all(image, return_errors=True, try_harder=False)
    assert [r.text for r in fast] == [TEXT]
    assert fast == halvern.read_all(image, return_errors=True)


@pytest.mark.parametrize(("severity", "index"), [("50", 1), ("60", 0), ("70", 6)])
def test_the_one_pass_reads_steep_closeups(severity: str, index: int) -> None:
    # The far finder's triple is found by the pass itself, not by a retry: a phone held
    # close and steep over a video frame reads in the fast mode as in the default one.
    scene = sc.scene("closeup", severity, index, seed=0)
    assert texts(scene.image, try_harder=False) == texts(scene.image) == list(scene.texts)


@pytest.mark.parametrize(("argv", "status"), [([], 0), (["--fast"], 1)])
def test_the_command_line_reads_in_one_pass_with_fast(tmp_path, capsys, argv: list[str],
                                                      status: int) -> None:
    bits = light_on_dark()
    path = tmp_path / "inverted.pgm"
    path.write_bytes(b"P5 %d %d 255\n" % bits.shape[::-1] + ((1 - bits) * 255).astype(np.uint8).tobytes())
    assert main([*argv, str(path)]) == status
    assert (TEXT in capsys.readouterr().out) == (status == 0)
