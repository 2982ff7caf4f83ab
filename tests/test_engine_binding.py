"""The decoder's entry points in halvern._engine: argument checks, buffers released,
reference counts unchanged, and concurrent decodes that agree with a serial run."""

from __future__ import annotations

import sys
import threading
from collections.abc import Callable
from functools import lru_cache
from typing import Any

import pytest
import segno

from halvern import _engine


@lru_cache(maxsize=None)
def matrix(text: str, version: int, error: str = "M") -> bytes:
    rows = segno.make_qr(text, version=version, error=error, boost_error=False).matrix
    return bytes(v for row in rows for v in row)


ENTRY_POINTS: dict[str, Callable[..., Any]] = {
    "decode_matrix": _engine.decode_matrix,
    "format_info": _engine.format_info,
    "version_info": _engine.version_info,
    "restore": _engine.restore,
}

BUFFERS: dict[str, Callable[[bytes], Any]] = {
    "bytes": lambda m: bytes(m),
    "bytearray": bytearray,
    "memoryview": lambda m: memoryview(bytearray(m)),
}


def outcome(fn: Callable[..., Any], *args: Any) -> Any:
    try:
        return fn(*args)
    except (ValueError, TypeError) as error:
        return type(error), str(error)


@pytest.mark.parametrize("name", ENTRY_POINTS)
@pytest.mark.parametrize(
    ("args", "error", "message"),
    [
        ((b"\x00" * 441, 20), ValueError, "Not a QR symbol size."),
        ((b"\x00" * 441, 2**62), ValueError, "Not a QR symbol size."),
        ((b"\x00" * 441, 2**200), ValueError, "Not a QR symbol size."),
        ((b"\x00" * 441, True), ValueError, "Not a QR symbol size."),
        ((b"\x00" * 441, 21.0), ValueError, "Not a QR symbol size."),
        ((b"\x00" * 440, 21), ValueError, None),
        (([0] * 441, 21), TypeError, None),
        ((b"\x00" * 441,), TypeError, None),
    ],
)
def test_bad_arguments_are_refused(
    name: str, args: tuple[Any, ...], error: type[Exception], message: str | None
) -> None:
    with pytest.raises(error) as caught:
        ENTRY_POINTS[name](*args)
    if message is not None:
        assert str(caught.value) == message


@pytest.mark.parametrize("name", ENTRY_POINTS)
@pytest.mark.parametrize("kind", BUFFERS)
@pytest.mark.parametrize("version", [2, 9])
def test_buffers_are_released_and_counts_unchanged(name: str, kind: str, version: int) -> None:
    size = 17 + 4 * version
    for content in (matrix("released", version), bytes(size * size)):
        buffer = BUFFERS[kind](content)
        first = outcome(ENTRY_POINTS[name], buffer, size)
        before = sys.getrefcount(buffer)
        none_before = sys.getrefcount(None)
        for _ in range(200):
            assert outcome(ENTRY_POINTS[name], buffer, size) == first
        assert sys.getrefcount(buffer) == before
        # A missing or extra reference to None would move its count by one per call.
        assert abs(sys.getrefcount(None) - none_before) < 50
        if isinstance(buffer, memoryview):
            buffer.release()  # BufferError while an export is still held
        elif isinstance(buffer, bytearray):
            buffer.extend(b"\0")


def test_decoded_tuple_owns_its_parts() -> None:
    result = _engine.decode_matrix(matrix("owned", 9), 53)
    version, level, mask, corrected, segments, fnc1, application, append, *family = result
    assert (version, corrected, fnc1, application, append) == (9, 0, 0, None, None)
    assert family == [0, 2, 53, 53]  # QR, Model 2, rows and columns
    assert [(mode, eci, data) for mode, eci, data in segments] == [(4, None, b"owned")]
    assert sys.getrefcount(segments[0][2]) == 3  # the tuple, `segments`' item, the argument


def test_concurrent_decodes_agree_with_a_serial_run() -> None:
    # Versions 7 and up are decoded without the lock: every thread must still get exactly
    # its own symbol's result, refusals included.
    inputs = [(matrix(f"thread {i} " * (i + 1), 7 + 5 * i), 45 + 20 * i) for i in range(6)]
    inputs.append((bytes(57 * 57), 57))
    expected = [outcome(_engine.decode_matrix, m, s) for m, s in inputs]
    assert all(isinstance(e, tuple) and len(e) == 12 for e in expected[:-1])
    start = threading.Barrier(len(inputs))
    failures: list[int] = []

    def worker(index: int) -> None:
        start.wait()
        for _ in range(150):
            for k in (index, (index + 1) % len(inputs)):
                if outcome(_engine.decode_matrix, *inputs[k]) != expected[k]:
                    failures.append(k)

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=worker, args=(i,)) for i in range(len(inputs))]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)
    assert not failures
