"""Hostile arrays and sizes through the public ``halvern.read``: no warning, no stray
exception type, no image blanked by one bad pixel.
"""

from __future__ import annotations

import numpy as np
import pytest
import segno

import halvern

TEXT = "one bad pixel"

def float_code(dtype: type = np.float64, channels: int = 0) -> np.ndarray:
    """The symbol as float gray, 0.0 dark and 1.0 light, 4 pixels a module, quiet zone
    of 4 modules; with ``channels`` a 3-D array of that many equal channels."""
    modules = np.array(segno.make_qr(TEXT, error="m").matrix, dtype=np.float64)
    gray = np.pad(np.kron(1.0 - modules, np.ones((4, 4))), 16, constant_values=1.0)
    if channels:
        gray = np.repeat(gray[:, :, None], channels, axis=2)
    return gray.astype(dtype)


def test_float_code_reads() -> None:
    # The image the tests below spoil is itself readable.
    code = halvern.read(float_code())
    assert code is not None and code.text == TEXT


# (row, column) of the spoiled pixels: a quiet-zone corner, and one inside the symbol.
SPOTS = [[(0, 0)], [(0, 0), (40, 41), (2, 90)]]


@pytest.mark.parametrize("spots", SPOTS, ids=["corner", "three"])
@pytest.mark.parametrize(
    "value",
    [np.nan, np.inf, -np.inf],
    ids=["nan", "inf", "-inf"],
)
@pytest.mark.parametrize(("dtype", "channels"), [(np.float64, 0), (np.float32, 0),
                                                 (np.float64, 3)],
                         ids=["f8", "f4", "f8-rgb"])
def test_non_finite_pixels_are_ignored_when_scaling(spots, value, dtype, channels) -> None:
    image = float_code(dtype, channels)
    for row, col in spots:
        image[row, col] = value
    code = halvern.read(image)  # any NumPy RuntimeWarning is an error here
    assert code is not None and code.text == TEXT


@pytest.mark.parametrize(
    "fill",
    [np.nan, np.inf, pytest.param(0.5, id="uniform")],
    ids=["nan", "inf", "uniform"],
)
def test_image_without_finite_contrast_gives_none(fill) -> None:
    assert halvern.read(np.full((60, 60), fill)) is None


@pytest.mark.parametrize(
    "shape",
    [(0, 10), (10, 0), (0, 0), (0,), (0, 0, 3), (0, 5, 3), (5, 0, 4)],
    ids=str,
)
@pytest.mark.parametrize("dtype", [np.uint8, np.bool_, np.uint16, np.float64],
                         ids=lambda d: np.dtype(d).name)
def test_empty_arrays_of_any_shape_give_none(shape, dtype) -> None:
    assert halvern.read(np.zeros(shape, dtype=dtype)) is None


@pytest.mark.parametrize(
    ("width", "height"),
    [
        (2**31, 1),
        (1, 2**31),
        (2**31, 0),
        (2**64, 1),
        (-1, 1),
        (10, -10),
    ],
    ids=str,
)
def test_sizes_out_of_range_are_value_errors(width, height) -> None:
    with pytest.raises(ValueError):
        halvern.read(b"", width, height)


@pytest.mark.parametrize(("width", "height"), [(0, 0), (0, 5), (5, 0)], ids=str)
def test_empty_bits_image_gives_none(width, height) -> None:
    assert halvern.read(b"", width, height) is None
