"""Ways real codes fail that clean scenes do not: whole-image symbols at one pixel a
module with no quiet zone, and the like; each drawn here from a segno matrix."""

from __future__ import annotations

import numpy as np
import pytest
import segno

import halvern

from benchmarks import scenes  # the repository root is on sys.path (conftest)


def matrix(text: str, version: int) -> np.ndarray:
    qr = segno.make_qr(text, version=version, error="m", boost_error=False)
    return np.array(qr.matrix, dtype=np.uint8)


@pytest.mark.parametrize("version", [1, 7, 12, 25, 40])
@pytest.mark.parametrize(("scale", "quiet", "mirrored"), [(1, 0, False), (1, 2, True), (2, 0, False), (3, 1, True)])
def test_whole_image_symbols_read_at_any_pixels_a_module(version: int, scale: int, quiet: int, mirrored: bool) -> None:
    # A screenshot or a generated image: the symbol is the whole image, its finders at
    # the image's edges; one side cut where the quiet zone is kept.
    text = f"whole {version} {scale} {quiet}"
    size = 17 + 4 * version
    modules = np.pad(matrix(text, version), quiet)[:, quiet:]
    image = np.kron(modules.T if mirrored else modules, np.ones((scale, scale), np.uint8))
    (code,) = halvern.read_all(255 - 255 * image)
    assert (code.text, code.mirrored) == (text, mirrored)
    assert code.module_size == pytest.approx(scale, rel=0.15)
    assert np.ptp(np.array(code.position), axis=0) == pytest.approx([size * scale] * 2, abs=scale)


@pytest.mark.parametrize(
    ("condition", "severity", "index"),
    [
        ("whole", "1px q0", 0),  # version 1 in 21 x 21 pixels
        ("nested", "0.7", 6),  # the inner symbol decoded first, the outer's centre inside it
        ("nested", "0.35", 5),  # the inner symbol's centre inside the decoded outer one
        ("dots", "50 rounded", 3),  # dots of half the pitch: the vote's outer points read light
        ("printed", "30% photo", 3),  # module widths jittered and drifting: the fitted grid follows them
        ("warp", "cyl 140", 7),  # a version 2 round a cylinder: its outer columns squeezed
    ],
)
def test_scenes_that_once_failed_read(condition: str, severity: str, index: int) -> None:
    scene = scenes.scene(condition, severity, index)
    assert sorted(c.text for c in halvern.read_all(scene.image)) == sorted(scene.texts)
