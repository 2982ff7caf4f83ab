"""The one place that turns what callers hold into an image for the reader.

Callers hold bytes with a width and a height, NumPy arrays of any dtype, shape and
strides, Pillow images of any mode, or a path to an image file (``-`` for standard
input; ``halvern._files`` reads it, and the command line's files come the same way).
``as_reader_input`` turns each into a ``ReaderInput``: 8-bit pixels with a row stride and a flag saying
whether they are a bits image (nonzero is black) or grayscale (0 is black). A uint8
array whose rows are contiguous is handed on in place; everything else is converted
once. Grayscale of a wider type is stretched onto 0..255 by its finite minimum and
maximum, colour becomes luma (Pillow's weights), and transparency is laid on white, so
a code drawn on a transparent background reads as drawn. Gray is never thresholded
here, a PGM file's no more than an array's: the reader's binarizer does that.

``binarize`` gives the bits that the native binarizer makes of such an image. NumPy and
Pillow are optional: they are imported only when such an object is passed.
"""

from __future__ import annotations

import math
import operator
import os
from collections.abc import Callable
from typing import TYPE_CHECKING, Any, Literal, NamedTuple

from halvern import _engine
from halvern._files import LoadedImage, load_image
from halvern._pnm import PNMImage

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

    UInt8Array = npt.NDArray[np.uint8]
    FloatArray = npt.NDArray[np.float64]

__all__ = [
    "BINARIZERS",
    "MAX_SIDE",
    "Binarizer",
    "ReaderInput",
    "as_reader_input",
    "binarize",
    "binarizer_mode",
]

Binarizer = Literal["auto", "local", "global", "none"]

# Widths, heights and coordinates are 32-bit signed integers in the native code.
MAX_SIDE = 2**31 - 1

# ITU-R 601-2 luma in 16-bit fixed point, rounded: the sums Pillow's convert("L") makes,
# so that a colour array and the same picture as a Pillow image give the same grays.
_LUMA_FIXED = (19595, 38470, 7471)
_LUMA = (0.299, 0.587, 0.114)

# Rows converted at a time: float temporaries of a few megabytes, whatever the image.
_BLOCK_PIXELS = 1 << 18

_WIDE_PILLOW_MODES = frozenset({"I", "I;16", "I;16B", "I;16L", "I;16N"})


# ---------------------------------------------------------------------------
# The reader's input


# A named tuple rather than a frozen dataclass: built on every read, and a frozen
# dataclass's __init__ (one object.__setattr__ a field) cost 1 to 2 us of the 7 us that
# a read of a 21 x 21 image took through Python; a named tuple costs about 0.4 us.
class ReaderInput(NamedTuple):
    """An image as the native reader reads it, in place.

    ``pixels`` exports one C-contiguous buffer (a bytes-like or a NumPy array, readable
    with the ``y*`` format) whose byte ``y * stride + x`` is pixel (x, y); it holds at
    least ``(height - 1) * stride + width`` bytes; ``stride >= max(width, 1)``. With ``bits``
    a nonzero byte is black, otherwise the bytes are gray levels with 0 black.
    ``width == height == 0`` is an empty image: the reader finds nothing in it.
    """

    pixels: Any
    width: int
    height: int
    stride: int
    bits: bool

    @property
    def empty(self) -> bool:
        """True for an image without pixels."""
        return self.width == 0 or self.height == 0


_EMPTY = ReaderInput(b"", 0, 0, 1, False)


def _checked_side(name: str, value: object, least: int = 1) -> int:
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an integer, not bool.")
    try:
        side = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}.") from None
    if side < least:
        raise ValueError(f"{name} must be at least {least}, got {side}.")
    if side > MAX_SIDE:
        raise ValueError(f"{name} {side} is too large (at most {MAX_SIDE}).")
    return side


def _buffer_input(image: object, width: object, height: object, bits: bool) -> ReaderInput:
    """Bytes-like pixels, row-major, with their size given by the caller. A zero side
    with no bytes is an empty image."""
    w, h = _checked_side("width", width, 0), _checked_side("height", height, 0)
    try:
        view = memoryview(image)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(
            f"An image with width and height must be bytes-like, not {type(image).__name__}."
        ) from None
    with view:
        if view.nbytes != w * h:
            raise ValueError(
                f"Image length {view.nbytes} does not match width * height = {w} * {h}."
            )
        pixels = image if view.c_contiguous else view.tobytes()
    if w == 0 or h == 0:
        return _EMPTY
    return ReaderInput(pixels, w, h, w, bits)


# ---------------------------------------------------------------------------
# NumPy arrays


# The array type and the uint8 dtype, once NumPy has been imported for an image: the
# reader's fast path knows its common input by them (see plain_arguments).
_ARRAY_TYPES: tuple[Any, Any] = (None, None)


def _numpy() -> Any:
    global _ARRAY_TYPES
    try:
        import numpy
    except ImportError:
        raise TypeError("Reading this image needs NumPy (pip install numpy).") from None
    _ARRAY_TYPES = (numpy.ndarray, numpy.dtype(numpy.uint8))
    _engine.array_types(*_ARRAY_TYPES)
    return numpy


def _is_array(image: object) -> bool:
    """A NumPy array, or an object that NumPy reads as one (a Pillow image is too, but
    is taken as a picture first)."""
    # __array__ first: asking an ndarray for __array_interface__ builds a dict (8 us).
    return hasattr(image, "__array__") or hasattr(image, "__array_interface__")


def _is_buffer(image: object) -> bool:
    try:
        memoryview(image).release()  # type: ignore[arg-type]
    except TypeError:
        return False
    return True


def _checked_array(array: Any) -> Any:
    """The array itself, or TypeError/ValueError naming what a picture cannot be."""
    if array.dtype.kind not in "biuf":
        raise TypeError(
            f"Image array dtype {array.dtype} is not a number type (bool, integer or float)."
        )
    shape = array.shape
    if array.size == 0:
        return array
    if len(shape) == 3 and shape[2] not in (1, 2, 3, 4):
        raise ValueError(
            f"Image array has {shape[2]} channels; expected 1 to 4 (gray, gray and "
            "alpha, RGB, RGBA)."
        )
    if len(shape) not in (2, 3):
        raise ValueError(
            f"Image array must be 2-D, or 3-D with colour channels last; got shape {shape}."
        )
    if shape[0] > MAX_SIDE or shape[1] > MAX_SIDE:
        raise ValueError(f"Image array of shape {shape} is too large (sides at most {MAX_SIDE}).")
    return array


def _uint8_input(array: UInt8Array, bits: bool) -> ReaderInput:
    """A 2-D uint8 array in place when its rows are contiguous, otherwise a packed copy."""
    height, width = array.shape
    if array.flags.c_contiguous:
        return ReaderInput(array, width, height, width, bits)
    import numpy as np

    row_step, column_step = array.strides
    if column_step == 1 and row_step >= width:
        # A row-strided view (a crop of a larger image): one flat span from the first
        # pixel to the last, read through the stride.
        span = (height - 1) * row_step + width
        flat = np.lib.stride_tricks.as_strided(array, shape=(span,), strides=(1,), writeable=False)
        return ReaderInput(flat, width, height, row_step, bits)
    return ReaderInput(np.ascontiguousarray(array), width, height, width, bits)


def _row_blocks(height: int, width: int) -> list[slice]:
    """Bands of whole rows of about _BLOCK_PIXELS pixels each."""
    step = max(1, _BLOCK_PIXELS // width)
    return [slice(top, min(top + step, height)) for top in range(0, height, step)]


def _blockwise(array: Any, convert: Callable[[Any], Any]) -> UInt8Array:
    """``convert`` applied to bands of rows, gathered into one uint8 image, so that the
    float temporaries stay a few megabytes whatever the image size."""
    import numpy as np

    height, width = array.shape[:2]
    out = np.empty((height, width), np.uint8)
    for rows in _row_blocks(height, width):
        out[rows] = convert(array[rows])
    return out


def _finite_range(array: Any, values_of: Callable[[Any], FloatArray]) -> tuple[float, float] | None:
    """The least and greatest finite value of ``values_of`` over the image, or None."""
    import numpy as np

    low, high = math.inf, -math.inf
    height, width = array.shape[:2]
    for rows in _row_blocks(height, width):
        values = values_of(array[rows])
        finite = values[np.isfinite(values)]
        if finite.size:
            low, high = min(low, float(finite.min())), max(high, float(finite.max()))
    return (low, high) if low <= high else None


def _levels(values: FloatArray, bounds: tuple[float, float] | None) -> UInt8Array:
    """Gray levels 0..255 from the finite range ``bounds``: its low end becomes 0 and
    its high end 255, rounding half up. NaN and +inf are white, -inf black; a flat or
    empty range is white. Halves are subtracted so that a range as wide as the doubles
    cannot overflow."""
    import numpy as np

    with np.errstate(all="ignore"):
        if bounds is not None and bounds[1] > bounds[0]:
            low, high = bounds
            span = high * 0.5 - low * 0.5
            levels = np.floor((values * 0.5 - low * 0.5) / span * 255.0 + 0.5)
        else:
            levels = np.full(values.shape, 255.0)
        finite = np.isfinite(values)
        if not finite.all():
            levels = np.where(finite, levels, np.where(values == -np.inf, 0.0, 255.0))
        return np.clip(levels, 0, 255).astype(np.uint8)


def _stretched(array: Any, values_of: Callable[[Any], FloatArray]) -> UInt8Array:
    """The image ``values_of`` gives, stretched onto 0..255 by its finite range."""
    bounds = _finite_range(array, values_of)
    return _blockwise(array, lambda block: _levels(values_of(block), bounds))


def _as_float(block: Any) -> FloatArray:
    import numpy as np

    with np.errstate(all="ignore"):
        values: FloatArray = block.astype(np.float64)
    return values


def _luma_uint8(colour: UInt8Array) -> UInt8Array:
    """Pillow's luma of RGB(A) or gray-and-alpha uint8 rows, alpha laid on white."""
    import numpy as np

    channels = colour.shape[2]
    luma: npt.NDArray[np.integer[Any]]
    if channels == 2:
        luma = colour[..., 0].astype(np.uint32)
    else:
        red, green, blue = (colour[..., k].astype(np.uint32) for k in range(3))
        weighted = red * _LUMA_FIXED[0] + green * _LUMA_FIXED[1] + blue * _LUMA_FIXED[2]
        luma = (weighted + 0x8000) >> 16
    if channels in (2, 4):
        opacity = colour[..., channels - 1].astype(np.uint32)
        luma = (luma * opacity + 255 * (255 - opacity) + 127) // 255
    out: UInt8Array = luma.astype(np.uint8)
    return out


def _luma_float(colour: Any, white: float) -> FloatArray:
    """Luma of colour rows of any other number type, transparency laid on ``white``.
    Integer alpha runs up to the type's top, other alpha 0..1 (NaN is opaque)."""
    import numpy as np

    channels = colour.shape[2]
    values = _as_float(colour)
    with np.errstate(all="ignore"):
        if channels >= 3:
            luma = values[..., 0] * _LUMA[0] + values[..., 1] * _LUMA[1] + values[..., 2] * _LUMA[2]
        else:
            luma = values[..., 0]
        if channels in (1, 3):
            return luma
        alpha = values[..., channels - 1]
        if colour.dtype.kind in "iu":
            opacity = np.clip(alpha / float(np.iinfo(colour.dtype).max), 0.0, 1.0)
        else:
            opacity = np.where(np.isnan(alpha), 1.0, np.clip(alpha, 0.0, 1.0))
        laid: FloatArray = luma * opacity + white * (1.0 - opacity)
    return laid


def _colour_gray(colour: Any) -> UInt8Array:
    """A colour array (2 to 4 channels last) as 8-bit gray. White under transparency is
    the type's top for integers; for other types 1.0, or the brightest finite luma when
    that is brighter (colour in 0..255 held as floats)."""
    import numpy as np

    if colour.dtype == np.uint8:
        return _blockwise(colour, _luma_uint8)
    if colour.dtype.kind in "iu":
        white = float(np.iinfo(colour.dtype).max)
    else:
        opaque = _finite_range(colour, lambda block: _luma_float(block[..., :-1], 0.0))
        white = max(1.0, opaque[1]) if opaque else 1.0
    return _stretched(colour, lambda block: _luma_float(block, white))


def _is_zero_one(integers: Any) -> bool:
    """True when every value of an integer array is 0 or 1, in one pass: seen as
    unsigned (same width and byte order) a negative value is at least 2**(bits - 1),
    so the unsigned maximum alone answers what a minimum and a maximum did."""
    if integers.dtype.kind == "i":
        integers = integers.view(integers.dtype.str.replace("i", "u"))
    return int(integers.max()) <= 1


def _array_input(array: Any, gray: bool = False, uint8_bits: bool = True) -> ReaderInput:
    """A NumPy array: bool arrays and integer arrays of 0 and 1 are bits images (unless
    ``gray``), uint8 is passed on as it is, anything else is stretched to 0..255. With
    ``uint8_bits`` false a uint8 array is not checked for 0 and 1 and goes as gray: for
    the "auto" binarizer, which reads such an array as bits by itself."""
    array = _checked_array(array)
    if array.size == 0:
        return _EMPTY
    if array.ndim == 3 and array.shape[2] == 1:
        array = array[..., 0]
    if array.ndim == 3:
        return _uint8_input(_colour_gray(array), False)
    # dtype.kind and itemsize rather than comparisons with NumPy types: a few
    # microseconds a call, which a small read notices.
    kind, itemsize = array.dtype.kind, array.dtype.itemsize
    if kind == "u" and itemsize == 1:
        # For "auto" the native reader tells a 0/1 array by itself, in the pass that
        # would have copied it (and then reads it in place); NumPy's maximum cost 0.35 ms
        # of a 12 MP page. The other binarizers need to know here.
        return _uint8_input(array, not gray and uint8_bits and int(array.max()) <= 1)
    import numpy as np

    if kind == "b":
        return _uint8_input(array.view(np.uint8), not gray)
    if not gray and kind in "iu" and _is_zero_one(array):
        return _uint8_input(array.astype(np.uint8), True)
    return _uint8_input(_stretched(array, _as_float), False)


# ---------------------------------------------------------------------------
# Pillow images


def _is_pillow_image(image: object) -> bool:
    return all(hasattr(image, name) for name in ("convert", "size", "mode", "getbands"))


def _pillow_wide_integers(image: Any) -> Any:
    """An I or I;16 image stretched onto 0..255 like an integer array (min to max)."""
    floats = image.convert("F")
    low, high = floats.getextrema()
    scale = 255.0 / (high - low) if high > low else 0.0
    offset = 0.5 - low * scale if high > low else 255.0
    # F to L truncates, hence the 0.5 in the offset: the same rounding as _stretched.
    return floats.point(lambda v: v * scale + offset).convert("L")


def _pillow_gray(image: Any) -> Any:
    """A Pillow image of any mode as an "L" image, transparency laid on white."""
    from PIL import Image

    if image.mode == "LAB":
        return image.getchannel("L")
    if image.mode == "La":
        image = image.convert("LA")  # Pillow converts premultiplied gray to nothing else
    if image.mode in _WIDE_PILLOW_MODES:
        return _pillow_wide_integers(image)
    bands = image.getbands()
    if "A" in bands or "a" in bands or "transparency" in image.info:
        rgba = image.convert("RGBA")
        white = Image.new("RGBA", rgba.size, (255, 255, 255, 255))
        return Image.alpha_composite(white, rgba).convert("L")
    return image.convert("L")


def _pillow_input(image: Any, gray: bool = False) -> ReaderInput:
    width, height = image.size
    if width == 0 or height == 0:
        return _EMPTY
    _checked_side("Image width", width)
    _checked_side("Image height", height)
    if image.mode == "F":
        # Float samples may be NaN or infinite, which Pillow's own scaling cannot skip.
        return _array_input(_numpy().asarray(image), gray)
    return ReaderInput(_pillow_gray(image).tobytes(), width, height, width, False)


# ---------------------------------------------------------------------------
# Image files


def _pnm_input(image: PNMImage) -> ReaderInput:
    """A PBM image as bits, a PGM image as the gray levels it holds: a gray file is
    thresholded by the reader's binarizer, as the same pixels held in an array are."""
    return ReaderInput(image.pixels, image.width, image.height, image.width, image.is_bitmap)


def _loaded_input(image: LoadedImage) -> ReaderInput:
    if isinstance(image, PNMImage):
        return _pnm_input(image)
    return _pillow_input(image)


# ---------------------------------------------------------------------------
# Binarizers


# The reader's binarizers by name, as the native code numbers them.
BINARIZERS: dict[str, int] = {"auto": 0, "local": 1, "global": 2, "none": 3}


def binarizer_mode(name: str) -> int:
    """The native number of the binarizer ``name``; ValueError for a name of none."""
    mode = BINARIZERS.get(name) if isinstance(name, str) else None
    if mode is None:
        raise ValueError(f"binarizer must be one of {', '.join(map(repr, BINARIZERS))}.")
    return mode


def _packed(image: ReaderInput) -> Any:
    """The pixels row after row without gaps: the buffer itself when the stride is the
    width (only NumPy spans have wider strides)."""
    if image.stride == image.width:
        return image.pixels
    np = _numpy()
    rows = np.lib.stride_tricks.as_strided(
        image.pixels, shape=(image.height, image.width), strides=(image.stride, 1), writeable=False
    )
    return np.ascontiguousarray(rows)


def _gray_input(gray: Any, width: int | None, height: int | None) -> ReaderInput:
    """What ``binarize`` takes, every value a gray level."""
    if _is_pillow_image(gray):
        return _pillow_input(gray, gray=True)
    if _is_array(gray) and (array := _numpy().asarray(gray)).ndim >= 2:
        image = _array_input(array, gray=True)
        if (width, height) != (None, None) and (width, height) != (image.width, image.height):
            raise ValueError(
                f"width and height {width} x {height} do not match the array's shape {array.shape}."
            )
        return image
    if width is None or height is None:
        raise TypeError("A bytes-like gray image needs its width and height.")
    return _buffer_input(gray, width, height, bits=False)


# ---------------------------------------------------------------------------
# Entry points


# The native binarizer numbers of the plain inputs: gray for "auto" to tell bits by
# itself, bits read as they are.
_PLAIN_GRAY, _PLAIN_BITS = BINARIZERS["auto"], BINARIZERS["none"]


def plain_arguments(image: Any, width: int | None,
                    height: int | None) -> tuple[Any, int, int, int, int] | None:
    """The native reader's image arguments (pixels, width, height, stride, binarizer
    number) for the common cases, with no check repeated that the native reader makes
    itself: a non-empty C-contiguous 2-D uint8 ndarray (as gray, for the "auto"
    binarizer to tell bits by itself) or bytes with their width and height (as bits);
    None for anything else, which ``as_reader_input`` takes. The full path cost about
    1.5 us of a read of a small array, a ReaderInput between the two 0.3 us more."""
    if width is None:
        array_type, uint8 = _ARRAY_TYPES
        if type(image) is not array_type or image.dtype is not uint8 or image.ndim != 2:
            return None
        h, w = image.shape
        if image.strides != (w, 1) or not (0 < h <= MAX_SIDE and 0 < w <= MAX_SIDE):
            return None
        return image, w, h, w, _PLAIN_GRAY
    if (type(image) is bytes and type(width) is int and type(height) is int
            and 0 < width <= MAX_SIDE and 0 < height <= MAX_SIDE and len(image) == width * height):
        return image, width, height, width, _PLAIN_BITS
    return None


def as_reader_input(image: Any, width: int | None = None, height: int | None = None, *,
                    uint8_bits: bool = True) -> ReaderInput:
    """The caller's image as the reader's input.

    - a bytes-like bits image (``width * height`` bytes, row-major, nonzero is black)
      with its ``width`` and ``height``;
    - a NumPy array, 2-D or 3-D with 1 to 4 channels last (gray, gray and alpha, RGB,
      RGBA), any number type and strides: bool and integer 0/1 arrays are bits images,
      uint8 is gray and passed without a copy when its rows are contiguous, other
      types are stretched from their finite minimum and maximum onto 0..255;
    - a Pillow image of any mode, transparency laid on white;
    - a path (``str`` or ``os.PathLike``) to an image file, ``-`` for standard input,
      or what ``halvern._files`` loaded from one: PBM is bits, PGM gray, the other
      formats Pillow images.

    Empty arrays and images give an empty input. Anything else raises TypeError, and
    sizes out of range or not matching the data raise ValueError. ``uint8_bits`` false
    leaves a uint8 array's 0 and 1 to the reader's "auto" binarizer.
    """
    if width is not None or height is not None:
        if width is None or height is None:
            raise TypeError("width and height must be given together.")
        if isinstance(image, (str, os.PathLike)):
            raise TypeError("width and height go with a bytes-like bits image, not a path.")
        return _buffer_input(image, width, height, bits=True)
    if hasattr(image, "__array__"):  # NumPy arrays (Pillow images have no __array__)
        return _array_input(_numpy().asarray(image), uint8_bits=uint8_bits)
    if isinstance(image, (str, os.PathLike)):
        return _loaded_input(load_image(image))
    if isinstance(image, PNMImage):
        return _pnm_input(image)
    if _is_pillow_image(image):
        return _pillow_input(image)
    if _is_array(image):
        return _array_input(_numpy().asarray(image), uint8_bits=uint8_bits)
    if _is_buffer(image):
        raise TypeError("A bytes-like bits image needs its width and height.")
    raise TypeError(
        "Expected a bytes-like bits image with width and height, a NumPy array, a Pillow "
        f"image or a path, not {type(image).__name__}."
    )


def binarize(gray: Any, width: int | None = None, height: int | None = None,
             threshold: int | None = None, *, binarizer: Binarizer = "global") -> bytes:
    """A packed bits image from grayscale, as the native reader binarizes it: 1 is dark.

    ``gray`` is 8-bit levels (bytes-like) with their ``width`` and ``height``, or a
    NumPy array (any number type, 2-D or colour, any strides; width and height, when
    given, must match its shape) or a Pillow image; those are turned into 8-bit gray
    as for the reader, every value read as a gray level. ``binarizer`` is one of the
    reader's: ``"global"`` (Otsu's threshold for the whole image; a uniform image has no
    dark pixels), ``"local"``, ``"auto"`` or ``"none"``. A ``threshold`` (0..255) given
    instead makes the levels at or below it dark.
    """
    if threshold is not None and not 0 <= threshold <= 255:
        raise ValueError("threshold must be in 0..255.")
    mode = binarizer_mode(binarizer)
    image = _gray_input(gray, width, height)
    if image.empty:
        return b""
    if threshold is not None:
        table = bytes(1 if level <= threshold else 0 for level in range(256))
        return bytes(memoryview(_packed(image)).cast("B")).translate(table)
    bits: bytes = _engine.binarize(image.pixels, image.width, image.height, image.stride, mode)
    return bits
