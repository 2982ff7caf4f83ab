"""Ways real codes fail that clean scenes do not: whole-image symbols at one pixel a
module with no quiet zone, and the like; each drawn here from a segno matrix."""

from __future__ import annotations

import numpy as np
import pytest
import segno

import halvern
from halvern import _engine

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


def drawn_at(modules: np.ndarray, scale: float, angle: int) -> tuple[np.ndarray, np.ndarray]:
    """The symbol filling an image at `scale` pixels a module (no quiet zone), turned by
    `angle` right angles, each pixel dark where the symbol covers half of it or more, as
    a scaled screenshot thresholds; with the transform from module to image points."""
    n = modules.shape[0]
    side = int(np.ceil(n * scale))
    sub = (np.arange(side * 8) + 0.5) / 8 / scale
    cell = np.minimum(sub.astype(int), n - 1)
    inside = sub < n
    turned = np.rot90(modules, angle)
    cover = (turned[cell][:, cell] & inside[:, None] & inside[None, :]).reshape(side, 8, side, 8).mean(axis=(1, 3))
    # Module (c, r) of the unturned symbol: np.rot90 turns counterclockwise.
    c, s_ = [(1, 0), (0, 1), (-1, 0), (0, -1)][angle]
    half = n * scale / 2
    h = np.array([[c * scale, s_ * scale, 0.0], [-s_ * scale, c * scale, 0.0], [0.0, 0.0, 1.0]])
    h[:2, 2] = np.array([half, half]) - h[:2, :2] @ np.array([n / 2, n / 2])
    return np.ascontiguousarray(cover >= 0.5, dtype=np.uint8), h


def corners_through(h: np.ndarray | tuple[float, ...], n: int) -> np.ndarray:
    m = np.asarray(h, dtype=float).reshape(3, 3)
    p = m @ np.array([[0, n, n, 0], [0, 0, n, n], [1, 1, 1, 1]], dtype=float)
    return (p[:2] / p[2]).T


@pytest.mark.parametrize(("version", "scale", "angle"), [(7, 1.25, 0), (12, 1.25, 1), (25, 1.4, 2), (40, 1.25, 3)])
def test_edge_fit_places_the_grid_of_a_fractional_scale_to_a_fraction_of_a_module(
        version: int, scale: float, angle: int) -> None:
    # Started up to half a module off at a corner (a fifth of a module shifted and a
    # little too large), as finder centres rounded to the pixel leave it, the fit reads
    # the symbol as drawn, which the start misreads by the hundred, its corners within
    # a tenth of a module or so of the drawn ones.
    modules = matrix(f"edges {version}", version)
    n = modules.shape[0]
    bits, truth = drawn_at(modules, scale, angle)
    grow = 1 + 0.3 / n
    start = truth @ np.array([[grow, 0.0, 0.2 + n / 2 * (1 - grow)], [0.0, grow, -0.2 + n / 2 * (1 - grow)],
                              [0.0, 0.0, 1.0]])
    args = (bits, bits.shape[1], bits.shape[0])
    fitted = _engine._fit_to_edges(*args, tuple(start.ravel()), n, scale)
    assert fitted is not None
    off = np.hypot(*(corners_through(fitted, n) - corners_through(truth, n)).T) / scale
    assert off.mean() < 0.15 and off.max() < 0.3
    read = [np.frombuffer(_engine._sample_grid(*args, tuple(h), n, 0.0), np.uint8).reshape(n, n)
            for h in (fitted, tuple(start.ravel()))]
    assert np.count_nonzero(read[0] != modules) <= n * n // 1000 and np.count_nonzero(read[1] != modules) > 100


def test_edge_fit_refuses_an_image_without_edges() -> None:
    blank = np.zeros((100, 100), np.uint8)
    assert _engine._fit_to_edges(blank, 100, 100, (1.25, 0, 0, 0, 1.25, 0, 0, 0, 1.0), 65, 1.25) is None


@pytest.mark.parametrize("version", [12, 25, 40])
def test_whole_image_symbols_read_at_a_fractional_pixels_a_module(version: int) -> None:
    # A screenshot scaled by 1.25: module edges fall inside pixels, which the threshold
    # rounds either way, and module centres an eighth of a pixel from a neighbour's.
    text = f"zoomed {version}"
    bits, _ = drawn_at(matrix(text, version), 1.25, version % 4)
    assert [c.text for c in halvern.read_all(255 - 255 * bits)] == [text]


@pytest.mark.parametrize(
    ("condition", "severity", "index"),
    [
        ("whole", "1px q0", 0),  # version 1 in 21 x 21 pixels
        ("whole", "1.25px q0", 4),  # a version 12 at 1.25 px a module: read through its edges
        ("whole", "1.25px q0", 6),  # a version 25 so
        ("nested", "0.7", 6),  # the inner symbol decoded first, the outer's centre inside it
        ("nested", "0.35", 5),  # the inner symbol's centre inside the decoded outer one
        ("dots", "50 rounded", 3),  # dots of half the pitch: the vote's outer points read light
        ("printed", "30% photo", 3),  # module widths jittered and drifting: the fitted grid follows them
        ("warp", "cyl 140", 7),  # a version 2 round a cylinder: its outer columns squeezed
        ("printed", "20% scan", 6),  # jittered widths: the fitted grid started from the edge fit
        ("warp", "cyl 140", 3),  # a version 2 round a cylinder, its fitted grid started so
    ],
)
def test_scenes_that_once_failed_read(condition: str, severity: str, index: int) -> None:
    scene = scenes.scene(condition, severity, index)
    assert sorted(c.text for c in halvern.read_all(scene.image)) == sorted(scene.texts)
