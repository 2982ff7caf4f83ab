"""Turning what callers hold (bytes, NumPy arrays, Pillow images) into bits images.

A bits image is ``width * height`` bytes, row-major, nonzero meaning black. NumPy and
Pillow are optional: they are imported only when such an object is passed.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

__all__ = ["BitsImage", "as_bits_image", "binarize", "otsu_threshold"]


@dataclass(frozen=True)
class BitsImage:
    """A bits image: ``bits`` is any buffer of ``width * height`` bytes."""

    bits: Any
    width: int
    height: int


def _histogram(gray: Any) -> list[int]:
    try:
        import numpy as np
    except ImportError:
        data = bytes(memoryview(gray).cast("B"))
        return [data.count(bytes([v])) for v in range(256)]
    flat = np.frombuffer(memoryview(gray).cast("B"), dtype=np.uint8)
    return np.bincount(flat, minlength=256).tolist()


def otsu_threshold(histogram: list[int]) -> int:
    """The gray level t that best splits levels <= t from levels > t (Otsu's method).

    A histogram with a single level gives that level, so a uniform image is all dark
    at or below it; callers treat such an image as having no code either way.
    """
    total = sum(histogram)
    weighted_total = sum(level * count for level, count in enumerate(histogram))
    best_level, best_between = 0, -1.0
    below = 0
    weighted_below = 0
    for level, count in enumerate(histogram):
        below += count
        weighted_below += level * count
        above = total - below
        if below == 0 or above == 0:
            continue
        mean_gap = weighted_below / below - (weighted_total - weighted_below) / above
        between = below * above * mean_gap * mean_gap
        if between > best_between:
            best_level, best_between = level, between
    if best_between < 0:
        levels = [level for level, count in enumerate(histogram) if count]
        return levels[0] if levels else 0
    return best_level


def binarize(gray: Any, width: int, height: int, threshold: int | None = None) -> bytes:
    """A bits image from 8-bit grayscale: levels at or below the threshold become 1 (dark).

    ``threshold`` defaults to Otsu's global threshold of the image. A uniform image has
    no dark pixels.
    """
    view = memoryview(gray).cast("B")
    if len(view) != width * height:
        raise ValueError("Gray image length does not match width * height.")
    histogram = _histogram(view)
    if threshold is None:
        if sum(1 for count in histogram if count) < 2:
            return bytes(len(view))
        threshold = otsu_threshold(histogram)
    if not 0 <= threshold <= 255:
        raise ValueError("threshold must be in 0..255.")
    table = bytes(1 if level <= threshold else 0 for level in range(256))
    return bytes(view).translate(table)


def _from_numpy(array: Any) -> BitsImage:
    import numpy as np

    if array.ndim == 3:
        array = array[..., :3].mean(axis=2)
    if array.ndim != 2:
        raise ValueError("Image array must be 2-D (or 3-D with colour channels).")
    height, width = array.shape
    if array.dtype == np.bool_:
        array = array.view(np.uint8)
    if array.dtype == np.uint8 and (array.size == 0 or int(array.max()) <= 1):
        # Already a bits image; a C-contiguous one is passed on without a copy.
        return BitsImage(np.ascontiguousarray(array), width, height)
    if array.size and array.dtype.kind in "iu" and int(array.min()) >= 0 and int(array.max()) <= 1:
        # 0/1 in a wider integer type (np.array of Python ints gives int64).
        return BitsImage(np.ascontiguousarray(array, dtype=np.uint8), width, height)
    if array.dtype != np.uint8:
        # Stretch other ranges (16-bit, float 0..1, ...) onto 0..255 before binarizing.
        values = array.astype(np.float64)
        low = float(values.min()) if values.size else 0.0
        high = float(values.max()) if values.size else 0.0
        scale = 255.0 / (high - low) if high > low else 0.0
        array = np.clip(np.rint((values - low) * scale), 0, 255).astype(np.uint8)
    gray = np.ascontiguousarray(array)
    return BitsImage(binarize(gray, width, height), width, height)


def _from_pillow(image: Any) -> BitsImage:
    width, height = image.size
    if image.mode == "1":
        gray = image.convert("L").tobytes()
        return BitsImage(binarize(gray, width, height, threshold=127), width, height)
    if image.mode in ("I", "I;16", "I;16B", "I;16L", "F"):
        # Wide modes would be clipped by a plain conversion to 8 bits.
        try:
            import numpy as np
        except ImportError:
            raise TypeError("Reading 16-bit or float Pillow images needs NumPy.") from None
        return _from_numpy(np.asarray(image))
    gray = image.convert("L").tobytes()
    return BitsImage(binarize(gray, width, height), width, height)


def as_bits_image(image: Any, width: int | None = None, height: int | None = None) -> BitsImage:
    """Normalises a caller's image.

    - a bytes-like bits image with ``width`` and ``height`` is used as it is;
    - a 2-D NumPy array of 0 and 1 (or bool) is a bits image, passed without a copy when
      it is C-contiguous uint8; any other array is grayscale (3-D: colour) and binarized;
    - a Pillow image is converted to grayscale and binarized.
    """
    if width is not None or height is not None:
        if width is None or height is None:
            raise TypeError("width and height must be given together.")
        return BitsImage(image, int(width), int(height))
    if hasattr(image, "__array_interface__") and hasattr(image, "ndim"):
        return _from_numpy(image)
    if hasattr(image, "convert") and hasattr(image, "size") and hasattr(image, "mode"):
        return _from_pillow(image)
    raise TypeError(
        "Expected a bytes-like bits image with width and height, a NumPy array or a Pillow image."
    )
