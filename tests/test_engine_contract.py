"""The native read's contract: buffers released once, no reference leaks, reads in
threads agree with reads in turn, bad arguments refused with a clear error."""

from __future__ import annotations

import sys
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
import segno

import halvern
from halvern import _engine


def page(text: str, scale: int = 3) -> np.ndarray:
    modules = np.pad(np.array(segno.make_qr(text, error="m").matrix, dtype=np.uint8), 4)
    return np.kron(modules, np.ones((scale, scale), np.uint8))


def test_a_bytearray_can_grow_after_the_read() -> None:
    image = page("released")
    data = bytearray(image.tobytes())
    (code,) = halvern.read_all(data, image.shape[1], image.shape[0])
    assert code.text == "released"
    data.extend(b"\x00" * 10)  # BufferError if a view were still held


def test_repeated_reads_leak_no_references() -> None:
    image = page("counted")
    halvern.read_all(image)
    before = sys.getrefcount(image)
    for _ in range(50):
        _engine.read(image, image.shape[1], image.shape[0], image.strides[0], 0, True, True)
    assert sys.getrefcount(image) == before


def _sjis_page() -> np.ndarray:
    symbol = segno.make_qr("\u3042".encode("cp932"), mode="byte", error="m")
    return np.kron(np.pad(np.array(symbol.matrix, dtype=np.uint8), 4), np.ones((3, 3), np.uint8))


@pytest.mark.parametrize(("image", "all_codes", "kind"), [
    (page("counted"), False, halvern.QRCode),
    (page("counted"), True, list),
    (np.zeros((40, 40), np.uint8), False, type(None)),
    (_sjis_page(), True, tuple),  # a text for the Python layer's text rule: the records
    (page("counted").astype(bool), False, type(NotImplemented)),
])
def test_read_codes_leaks_nothing_and_owns_its_result(image: np.ndarray, all_codes: bool, kind: type) -> None:
    found = _engine.read_codes(image, None, None, True, True, all_codes)
    assert type(found) is kind
    before, held = sys.getrefcount(image), tracemalloc_peak_free(image, all_codes)
    assert sys.getrefcount(image) == before and held < 4096
    if kind in (halvern.QRCode, list):
        assert sys.getrefcount(found) == 2
        assert (found if kind is halvern.QRCode else found[0]).text == "counted"


def tracemalloc_peak_free(image: np.ndarray, all_codes: bool) -> int:
    """Bytes still traced after 200 more reads whose results were dropped."""
    import gc
    import tracemalloc

    tracemalloc.start()
    try:
        gc.collect()
        start = tracemalloc.get_traced_memory()[0]
        for _ in range(200):
            _engine.read_codes(image, None, None, True, True, all_codes)
        gc.collect()
        return tracemalloc.get_traced_memory()[0] - start
    finally:
        tracemalloc.stop()


def test_reads_in_threads_agree_with_reads_in_turn() -> None:
    images = [page(f"thread {i}", 2 + i % 3) for i in range(8)]
    alone = [[c.text for c in halvern.read_all(im)] for im in images]
    with ThreadPoolExecutor(max_workers=4) as pool:
        together = list(pool.map(lambda im: [c.text for c in halvern.read_all(im)], images * 3))
    assert together == alone * 3


@pytest.mark.parametrize(
    ("args", "error", "message"),
    [
        ((b"\x00" * 99, 10, 10, 10, 0, True, False), ValueError, "shorter"),
        ((b"\x00" * 100, 10, 10, 9, 0, True, False), ValueError, "stride"),
        ((b"\x00" * 100, 10, -10, 10, 0, True, False), ValueError, "height"),
        ((b"\x00" * 100, 10, 10, 10, 4, True, False), ValueError, "binarizer"),
        (("not a buffer", 10, 10, 10, 0, True, False), TypeError, "bytes-like"),
        ((np.zeros((10, 10), np.float32), 10, 10, 40, 0, True, False), ValueError, "one byte"),
    ],
)
def test_bad_arguments_are_refused(args: tuple[object, ...], error: type[Exception], message: str) -> None:
    with pytest.raises(error, match=message):
        _engine.read(*args)


def test_an_empty_image_reads_as_nothing() -> None:
    assert _engine.read(b"", 0, 0, 1, 0, True, True) == []
    assert halvern.read_all(np.zeros((0, 5), np.uint8)) == []


@pytest.mark.parametrize("bad", [np.zeros((4, 4, 4, 4), np.uint8), np.array([["a"]])])
def test_arrays_that_are_not_images_are_refused(bad: np.ndarray) -> None:
    with pytest.raises((TypeError, ValueError), match="Image array"):
        halvern.read_all(bad)
