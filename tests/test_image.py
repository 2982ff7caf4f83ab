"""Turning what callers hold into the reader's input, and binarization."""

from __future__ import annotations

import math
import pathlib
import sys
from collections.abc import Callable
from fractions import Fraction
from typing import Any

import numpy as np
import pytest
import segno
from PIL import Image

import halvern
import halvern._image
from halvern._image import MAX_SIDE, ReaderInput, as_reader_input, binarize

# A small picture: 1 where it is dark.
BITS = np.array(
    [
        [1, 0, 0, 1, 1],
        [0, 1, 0, 0, 1],
        [1, 1, 1, 0, 0],
        [0, 0, 1, 0, 1],
    ],
    dtype=np.uint8,
)
DARK, LIGHT = 25, 215

TEXT = "held any way"
CODE = np.array(list(segno.make(TEXT, error="m", micro=False).matrix_iter(scale=3, border=4)),
                dtype=np.uint8)


def as_gray(bits: np.ndarray, dark: int = DARK, light: int = LIGHT) -> np.ndarray:
    return np.where(bits != 0, dark, light).astype(np.uint8)


def pixels_of(image: ReaderInput) -> np.ndarray:
    """The 2-D picture a reader sees in ``image``, read the way the native code reads it:
    one C-contiguous buffer, pixel (x, y) at byte y * stride + x."""
    view = memoryview(image.pixels)
    assert view.c_contiguous
    flat = np.frombuffer(view.cast("B"), dtype=np.uint8)
    assert image.stride >= image.width
    assert flat.size >= (image.height - 1) * image.stride + image.width
    return np.lib.stride_tricks.as_strided(
        flat, shape=(image.height, image.width), strides=(image.stride, 1), writeable=False
    ).copy()


def dark_pixels(*args: Any) -> np.ndarray:
    """Where the reader's input from ``args`` is dark, gray split by Otsu's threshold."""
    image = as_reader_input(*args)
    pixels = pixels_of(image)
    if not image.bits:
        pixels = np.frombuffer(binarize(pixels), np.uint8).reshape(pixels.shape)
    return pixels != 0


def reference_otsu(gray: np.ndarray) -> int:
    """The first level t that maximises the between-class variance of (<= t, > t)."""
    histogram = np.bincount(gray.ravel(), minlength=256).astype(np.float64)
    levels = np.arange(256, dtype=np.float64)
    best, best_level = -1.0, 0
    for t in range(255):
        below, above = histogram[: t + 1].sum(), histogram[t + 1 :].sum()
        if below == 0 or above == 0:
            continue
        gap = (levels[: t + 1] @ histogram[: t + 1]) / below
        gap -= (levels[t + 1 :] @ histogram[t + 1 :]) / above
        between = below * above * gap * gap
        if between > best:
            best, best_level = between, t
    return best_level


def reference_stretch(values: np.ndarray) -> np.ndarray:
    """Each finite value v as floor(255 (v - low) / (high - low) + 1/2) in exact rational
    arithmetic; NaN and +inf white, -inf black."""
    finite = [Fraction(float(v)) for v in values.ravel() if math.isfinite(v)]
    low, high = min(finite), max(finite)
    out = []
    for v in values.ravel().tolist():
        if math.isnan(v) or v == math.inf:
            out.append(255)
        elif v == -math.inf:
            out.append(0)
        else:
            out.append(math.floor(255 * (Fraction(v) - low) / (high - low) + Fraction(1, 2)))
    return np.array(out, dtype=np.uint8).reshape(values.shape)


# ---------------------------------------------------------------------------
# binarize


def test_otsu_puts_a_lone_middle_level_with_the_nearer_cluster() -> None:
    # 100 pixels at 10, 100 at 250 and one at 100. Counting the 100 with the dark side
    # gives 101 * 100 * (250 - 1100/101)^2 ~ 5.77e8 between-class variance, counting
    # it with the light side 100 * 101 * (25100/101 - 10)^2 ~ 5.75e8: it goes dark.
    gray = bytes([10] * 100 + [250] * 100 + [100])
    bits = binarize(gray, len(gray), 1)
    assert bits == bytes([1] * 100 + [0] * 100 + [1])


@pytest.mark.parametrize("seed", range(6))
def test_otsu_matches_a_plain_reference(seed: int) -> None:
    rng = np.random.default_rng(seed)
    dark = rng.normal(rng.uniform(30, 100), rng.uniform(5, 25), 300)
    light = rng.normal(rng.uniform(140, 220), rng.uniform(5, 25), int(rng.integers(100, 500)))
    gray = np.clip(np.concatenate([dark, light]), 0, 255).astype(np.uint8)
    rng.shuffle(gray)
    gray = gray[: (gray.size // 10) * 10].reshape(10, -1)
    want = (gray <= reference_otsu(gray)).astype(np.uint8)
    assert binarize(gray, gray.shape[1], gray.shape[0]) == want.tobytes()


@pytest.mark.parametrize("threshold", [0, 24, 25, 26, 120, 214, 215, 255])
def test_explicit_threshold_is_inclusive(threshold: int) -> None:
    gray = as_gray(BITS)
    gray[0, 1], gray[1, 0] = 0, 255
    want = (gray <= threshold).astype(np.uint8)
    assert binarize(bytearray(gray.tobytes()), 5, 4, threshold=threshold) == want.tobytes()


@pytest.mark.parametrize("level", [0, 128, 255])
def test_uniform_image_has_no_dark_pixels(level: int) -> None:
    assert binarize(bytes([level]) * 12, 4, 3) == bytes(12)
    assert binarize(bytes([level]) * 12, 4, 3, threshold=level) == bytes([1]) * 12


@pytest.mark.parametrize(
    "gray",
    [
        lambda g: g,
        lambda g: np.pad(g, 3, constant_values=99)[3:-3, 3:-3],
        lambda g: np.repeat(g, 2, axis=1)[:, ::2],
        lambda g: np.ascontiguousarray(g[::-1])[::-1],
        lambda g: g.astype(np.float32) / 255,
        lambda g: g.astype(np.float64) * 1e300,
        lambda g: g.astype(np.uint16) * 257,
        lambda g: np.dstack([g, g, g]),
        lambda g: np.dstack([g, g, g]).astype(np.float64),
        lambda g: Image.fromarray(g),
        lambda g: Image.fromarray(g).convert("RGB"),
    ],
    ids=["uint8", "crop", "strided", "reversed", "float32", "float-huge", "uint16", "rgb",
         "rgb-float", "pillow-L", "pillow-RGB"],
)
def test_binarize_takes_grayscale_however_it_is_held(gray: Callable[[np.ndarray], Any]) -> None:
    assert binarize(gray(as_gray(BITS))) == BITS.tobytes()


@pytest.mark.parametrize(
    ("call", "error", "match"),
    [
        (lambda: binarize(bytes(range(11)), 4, 3), ValueError, "length"),
        (lambda: binarize(bytes(13), 4, 3), ValueError, "length"),
        (lambda: binarize(bytes(12), -4, -3), ValueError, "width must be at least 0"),
        (lambda: binarize(bytes(12)), TypeError, "width and height"),
        (lambda: binarize(as_gray(BITS), 4, 5), ValueError, "shape"),
        (lambda: binarize(as_gray(BITS), threshold=256), ValueError, "threshold"),
        (lambda: binarize(as_gray(BITS), threshold=-1), ValueError, "threshold"),
        (lambda: binarize(as_gray(BITS), binarizer="otsu"), ValueError, "binarizer must be one of"),
    ],
)
def test_binarize_refuses_bad_input(call: Callable[[], object], error: type, match: str) -> None:
    with pytest.raises(error, match=match):
        call()


# ---------------------------------------------------------------------------
# as_reader_input: the buffer contract


@pytest.mark.parametrize("seed", range(12))
def test_uint8_views_read_back_as_the_array_and_rows_stay_in_place(seed: int) -> None:
    rng = np.random.default_rng(seed)
    base = rng.integers(2, 256, size=(int(rng.integers(1, 30)), int(rng.integers(1, 30)), 3),
                        dtype=np.uint8)
    plane = base[..., int(rng.integers(0, 3))] if rng.integers(0, 2) else base[..., 0].copy()
    top, left = int(rng.integers(0, plane.shape[0])), int(rng.integers(0, plane.shape[1]))
    rows = slice(top, None, int(rng.choice([1, 1, 2, -1])))
    columns = slice(left, None, int(rng.choice([1, 1, 3, -1])))
    view = plane[rows, columns]
    if rng.integers(0, 4) == 0:
        view = view.T
    image = as_reader_input(view)
    assert not image.bits
    assert (image.width, image.height) == (view.shape[1], view.shape[0])
    assert np.array_equal(pixels_of(image), view)
    rows_in_place = view.strides[1] == 1 and view.strides[0] >= view.shape[1]
    assert np.shares_memory(image.pixels, plane) == (view.flags.c_contiguous or rows_in_place)


def test_bytes_with_size_are_used_as_they_are() -> None:
    raw = BITS.tobytes()
    image = as_reader_input(raw, 5, 4)
    assert image.pixels is raw
    assert (image.width, image.height, image.stride, image.bits) == (5, 4, 5, True)


def test_non_contiguous_buffer_with_size_is_packed() -> None:
    strided = memoryview(np.repeat(BITS, 2, axis=1)[:, ::2])
    assert not strided.c_contiguous
    assert np.array_equal(pixels_of(as_reader_input(strided, 5, 4)), BITS)
    transposed = memoryview(BITS.T)
    assert pixels_of(as_reader_input(transposed, 4, 5)).tobytes() == BITS.T.tobytes()


@pytest.mark.parametrize(
    ("array", "bits"),
    [
        (BITS.astype(bool), True),
        (BITS, True),
        (BITS.astype(np.int64), True),
        (BITS.astype(np.uint16)[:, ::-1], True),
        (np.zeros((4, 5), np.uint8), True),
        (as_gray(BITS), False),
        (BITS * 255, False),
        (BITS.astype(np.float64), False),
        (BITS.astype(np.int8) - 1, False),
        (BITS.astype(">i4"), True),
        ((BITS.astype(np.int16) - 1).astype(">i2"), False),
        (np.where(BITS != 0, 1, np.iinfo(np.int64).min), False),
        (np.dstack([BITS] * 3), False),
    ],
    ids=["bool", "uint8-01", "int64-01", "uint16-01-reversed", "all-zero", "gray", "0-255",
         "float-01", "int8-minus", "int32-big-endian-01", "int16-big-endian-minus",
         "int64-least", "rgb-01"],
)
def test_bits_are_bool_and_integer_zero_one(array: np.ndarray, bits: bool) -> None:
    image = as_reader_input(array)
    assert image.bits is bits
    if bits:
        assert np.array_equal(pixels_of(image) != 0, array != 0)


@pytest.mark.parametrize("dtype", ["i1", ">i2", "<i4", "i8", ">u2", "u8"])
def test_integer_arrays_are_bits_exactly_when_all_values_are_zero_or_one(dtype: str) -> None:
    rng = np.random.default_rng(16)
    low = -2 if "i" in dtype else 0
    for _ in range(200):
        shape = tuple(int(n) for n in rng.integers(1, 5, size=2))
        array = rng.integers(low, 3, size=shape).astype(dtype)[:, :: int(rng.choice([1, -1]))]
        assert as_reader_input(array).bits is bool(array.min() >= 0 and array.max() <= 1)


@pytest.fixture(params=[7, 1 << 18], ids=["small-blocks", "default-blocks"])
def block_pixels(request: pytest.FixtureRequest, monkeypatch: pytest.MonkeyPatch) -> int:
    """Conversions run in bands of rows; small bands make every test image span many."""
    monkeypatch.setattr(halvern._image, "_BLOCK_PIXELS", request.param)
    return int(request.param)


@pytest.mark.parametrize("seed", range(9))
def test_floats_are_stretched_by_their_finite_range(seed: int, block_pixels: int) -> None:
    rng = np.random.default_rng(seed)
    values = rng.normal(rng.uniform(-1e3, 1e3), rng.uniform(1e-3, 1e3), size=(7, 9))
    if seed % 2:
        values = values.astype(np.float32)
    if seed == 8:
        # Levels 0, 255 and exact halves 0.5, 1.5, ... 60.5: rounding goes up.
        values = rng.permutation(np.r_[0.0, 510.0, np.arange(1.0, 122.0, 2)]).reshape(7, 9)
    holes = rng.random(values.shape) < 0.15
    values[holes] = rng.choice([np.nan, np.inf, -np.inf], size=int(holes.sum()))
    image = as_reader_input(values)
    assert not image.bits
    assert np.array_equal(pixels_of(image), reference_stretch(values.astype(np.float64)))


@pytest.mark.parametrize(
    "values",
    [
        np.array([[-1.7e308, 1.7e308], [0.0, 5e-324]]),
        np.array([[np.nan, np.nan], [np.inf, -np.inf]]),
        np.full((3, 3), 7.5),
        np.array([[np.nan, 3.0], [3.0, np.nan]]),
        np.array([[np.iinfo(np.int64).min, np.iinfo(np.int64).max]]),
        np.array([[0, np.iinfo(np.uint64).max]], dtype=np.uint64),
    ],
    ids=["full-double-range", "nothing-finite", "flat", "flat-with-nan", "int64", "uint64"],
)
def test_extreme_ranges_give_levels_without_warnings(values: np.ndarray) -> None:
    # filterwarnings = error turns any NumPy RuntimeWarning into a failure here.
    levels = pixels_of(as_reader_input(values))
    finite = np.isfinite(values.astype(np.float64))
    if finite.any() and values[finite].min() < values[finite].max():
        assert levels[finite].min() == 0 and levels[finite].max() == 255
    else:
        assert (levels[~np.isneginf(values.astype(np.float64))] == 255).all()


@pytest.mark.parametrize(
    ("array", "tolerance"),
    [
        (np.dstack([as_gray(BITS)] * 3), 0),
        (np.dstack([as_gray(BITS), np.full((4, 5), 255, np.uint8)]), 0),
        (np.random.default_rng(4).integers(0, 256, size=(6, 7, 2), dtype=np.uint8), 0),
        (np.random.default_rng(5).integers(0, 256, size=(6, 7, 3), dtype=np.uint8), 0),
        # Pillow lays each colour on white before taking luma, this code after: one level.
        (np.random.default_rng(3).integers(0, 256, size=(6, 7, 4), dtype=np.uint8), 1),
        (np.random.default_rng(6).integers(0, 65536, size=(6, 7), dtype=np.uint16), 0),
        (np.random.default_rng(7).integers(-(2**31), 2**31, size=(6, 7), dtype=np.int32), 0),
    ],
    ids=["rgb", "la-opaque", "la", "rgb-random", "rgba", "uint16", "int32"],
)
def test_arrays_and_pillow_images_agree_on_gray_levels(
    array: np.ndarray, tolerance: int, block_pixels: int
) -> None:
    from_array = pixels_of(as_reader_input(array)).astype(int)
    from_pillow = pixels_of(as_reader_input(Image.fromarray(array))).astype(int)
    assert np.abs(from_array - from_pillow).max() <= tolerance


# ---------------------------------------------------------------------------
# The same picture however it is held


def _png(tmp_path: pathlib.Path, picture: Image.Image) -> pathlib.Path:
    path = tmp_path / "code.png"
    picture.save(path)
    return path


class _ArrayLike:
    """Not an ndarray, but NumPy reads it as one (as it reads a pandas frame)."""

    def __init__(self, rows: list[list[int]]) -> None:
        self.rows = rows

    def __array__(self, dtype: Any = None, copy: Any = None) -> np.ndarray:
        return np.array(self.rows, dtype=dtype)


def _on_transparent(dark: np.ndarray) -> np.ndarray:
    """Black modules, everything else transparent black: readable only over white."""
    rgba = np.zeros(dark.shape + (4,), np.uint8)
    rgba[..., 3] = dark * 255
    return rgba


def _float_with_holes(dark: np.ndarray) -> np.ndarray:
    """Dark -0.25, light 3.5; NaN and +inf (white) in the quiet zone, -inf (black) in the
    top-left finder's outer ring."""
    values = np.where(dark != 0, -0.25, 3.5)
    values[0, 0], values[1, 0], values[-1, -1] = np.nan, np.inf, np.nan
    values[12, 12] = -np.inf
    assert dark[12, 12] and not dark[0, 0]
    return values


def _bilevel(dark: np.ndarray) -> Image.Image:
    """A mode "1" image (without the dithering that convert("1") applies to gray)."""
    return Image.fromarray(dark == 0)


def _palette_on_transparent(dark: np.ndarray) -> Image.Image:
    """Palette entries 0 and 1 both black, entry 0 transparent: readable only over white."""
    picture = Image.frombytes("P", (dark.shape[1], dark.shape[0]), dark.tobytes())
    picture.putpalette([0, 0, 0, 0, 0, 0])
    picture.info["transparency"] = 0
    return picture


def _crop(dark: np.ndarray) -> np.ndarray:
    canvas = np.full((dark.shape[0] + 10, dark.shape[1] + 16), 7, np.uint8)
    canvas[4:-6, 9:-7] = as_gray(dark)
    return canvas[4:-6, 9:-7]


HOLDINGS: dict[str, Callable[[np.ndarray, pathlib.Path], tuple[Any, ...]]] = {
    "bytes": lambda d, _: (d.tobytes(), d.shape[1], d.shape[0]),
    "bytearray-255": lambda d, _: (bytearray((d * 255).tobytes()), d.shape[1], d.shape[0]),
    "memoryview": lambda d, _: (memoryview(d.tobytes()), d.shape[1], d.shape[0]),
    "nested-list": lambda d, _: (_ArrayLike(d.tolist()),),
    "uint8-bits": lambda d, _: (d.copy(),),
    "bool": lambda d, _: (d.astype(bool),),
    "int64-bits": lambda d, _: (d.astype(np.int64),),
    "uint8-gray": lambda d, _: (as_gray(d),),
    "crop": lambda d, _: (_crop(d),),
    "column-strided": lambda d, _: (np.repeat(as_gray(d), 2, axis=1)[:, ::2],),
    "fortran": lambda d, _: (np.asfortranarray(as_gray(d)),),
    "uint16": lambda d, _: (np.where(d != 0, 1000, 60000).astype(np.uint16),),
    "float-with-nan-and-inf": lambda d, _: (_float_with_holes(d),),
    "float32-unit": lambda d, _: ((1 - d).astype(np.float32),),
    "rgb": lambda d, _: (np.dstack([as_gray(d, 20, 200), as_gray(d, 40, 230), as_gray(d)]),),
    "rgba-transparent": lambda d, _: (_on_transparent(d),),
    "rgba-float-transparent": lambda d, _: (_on_transparent(d) / 255.0,),
    "la-transparent": lambda d, _: (_on_transparent(d)[..., 2:],),
    "pillow-rgba-transparent": lambda d, _: (Image.fromarray(_on_transparent(d)),),
    "pillow-p-transparency": lambda d, _: (_palette_on_transparent(d),),
    "pillow-1": lambda d, _: (_bilevel(d),),
    "pillow-La": lambda d, _: (Image.fromarray(as_gray(d)).convert("LA").convert("La"),),
    "pillow-RGBa": lambda d, _: (Image.fromarray(as_gray(d)).convert("RGBA").convert("RGBa"),),
    "png-path-str": lambda d, t: (str(_png(t, Image.fromarray(_on_transparent(d)))),),
    "png-pathlib-bilevel": lambda d, t: (_png(t, _bilevel(d)),),
    "png-pathlib-palette": lambda d, t: (_png(t, _palette_on_transparent(d)),),
    **{
        f"pillow-{mode}": (lambda mode: lambda d, _: (Image.fromarray(as_gray(d)).convert(mode),))(
            mode
        )
        for mode in ["L", "LA", "P", "PA", "RGB", "RGBA", "RGBX", "CMYK", "YCbCr", "HSV",
                     "LAB", "I", "I;16", "I;16B", "I;16L", "I;16N", "F"]
    },
}


@pytest.mark.parametrize("holding", sorted(HOLDINGS))
def test_same_picture_however_it_is_held(
    holding: str, tmp_path: pathlib.Path, block_pixels: int
) -> None:
    args = HOLDINGS[holding](CODE, tmp_path)
    assert np.array_equal(dark_pixels(*args), CODE != 0)
    code = halvern.read(*args)
    assert code is not None and code.text == TEXT


# ---------------------------------------------------------------------------
# Empty and bad input


@pytest.mark.parametrize("shape", [(0,), (0, 10), (10, 0), (0, 0), (0, 5, 3), (4, 4, 0), (0, 2, 2, 2)])
@pytest.mark.parametrize("dtype", [np.uint8, np.float64, bool])
def test_empty_arrays_are_no_image(shape: tuple[int, ...], dtype: Any) -> None:
    array = np.zeros(shape, dtype=dtype)
    assert as_reader_input(array).empty
    assert halvern.read(array) is None
    assert halvern.read_matrix(array) is None


@pytest.mark.parametrize(
    "args", [(Image.new("L", (0, 7)),), (b"", 0, 0), (bytearray(), 0, 9), (memoryview(b""), 3, 0)]
)
def test_empty_images_are_no_image(args: tuple[Any, ...]) -> None:
    assert as_reader_input(*args).empty
    assert halvern.read(*args) is None


@pytest.mark.parametrize(
    ("args", "error", "match"),
    [
        ((BITS.tobytes(), -5, 4), ValueError, "width must be at least 0, got -5"),
        ((b"", 5, -1), ValueError, "height must be at least 0"),
        ((BITS.tobytes(), 5, 0), ValueError, "length 20 does not match"),
        ((BITS.tobytes(), 2**31, 1), ValueError, "too large"),
        ((b"", MAX_SIDE + 1, MAX_SIDE + 1), ValueError, "too large"),
        ((BITS.tobytes(), 5, 5), ValueError, "length 20 does not match"),
        ((BITS.tobytes(), 5.0, 4), TypeError, "width must be an integer"),
        ((BITS.tobytes(), True, 20), TypeError, "width must be an integer"),
        ((BITS.tobytes(), 5, None), TypeError, "together"),
        ((BITS.tobytes(),), TypeError, "needs its width and height"),
        ((bytearray(BITS.tobytes()),), TypeError, "needs its width and height"),
        (("code.png", 5, 4), TypeError, "not a path"),
        ((BITS.tolist(),), TypeError, "not list"),
        ((7,), TypeError, "not int"),
        ((None,), TypeError, "not NoneType"),
        ((np.zeros(20, np.uint8),), ValueError, "must be 2-D"),
        ((np.zeros((2, 2, 5, 1), np.uint8),), ValueError, "must be 2-D"),
        ((np.zeros((4, 5, 5), np.uint8),), ValueError, "5 channels"),
        ((np.zeros((4, 5), object),), TypeError, "dtype object"),
        ((np.zeros((4, 5), complex),), TypeError, "dtype complex128"),
        ((np.zeros((4, 5), "U1"),), TypeError, "not a number type"),
        ((np.broadcast_to(np.uint8(1), (1, 2**31)),), ValueError, "too large"),
    ],
)
def test_bad_input_is_refused_by_name(args: tuple[Any, ...], error: type, match: str) -> None:
    with pytest.raises(error, match=match):
        as_reader_input(*args)
    with pytest.raises(error, match=match):
        halvern.read(*args)


def test_a_file_that_is_no_image_is_a_value_error(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "notes.png"
    path.write_bytes(b"not a picture at all")
    with pytest.raises(ValueError, match="notes.png: not an image"):
        as_reader_input(path)
    # OSError from Pillow, or the command line loader's ValueError: either names the file.
    with pytest.raises((FileNotFoundError, ValueError), match="missing.png"):
        as_reader_input(tmp_path / "missing.png")


@pytest.mark.parametrize(
    "holding", ["bytes", "bytearray-255", "pillow-L", "pillow-RGBA", "pillow-I;16", "png-path-str"]
)
def test_bytes_and_pillow_images_read_without_numpy(
    holding: str, tmp_path: pathlib.Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    args = HOLDINGS[holding](CODE, tmp_path)
    monkeypatch.setitem(sys.modules, "numpy", None)  # import numpy now fails
    code = halvern.read(*args)
    assert code is not None and code.text == TEXT
    with pytest.raises(TypeError, match="needs NumPy"):
        as_reader_input(Image.new("F", (3, 3)))
