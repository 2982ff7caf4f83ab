"""The native read's image arguments: what it refuses, with which message, and that a
buffer exactly as long as the last pixel is read, whatever the stride."""

from __future__ import annotations

import numpy as np
import pytest
import segno

from halvern import _engine

SHORT = "Image buffer is shorter than (height - 1) * stride + width bytes."
SIDES = "Image width and height must be in 0..2**31-1."
STRIDE = "Image stride must be positive and at least the width."


@pytest.mark.parametrize(
    ("image", "width", "height", "stride", "message"),
    [
        (bytes(299), 3, 100, 3, SHORT),
        # (height - 1) * stride past 64 bits: wrapped, it came to 3 and -2**63 + 3 bytes.
        (bytes(300), 3, 5, 2**62, SHORT),
        (bytes(300), 3, 255, 2**62, SHORT),
        (bytes(300), 3, 2**31 - 1, 2**33, SHORT),
        (bytes(300), 3, 3, 2**63 - 1, SHORT),
        (bytes(300), 2**31 - 1, 2, 2**62, SHORT),
        (bytes(9), 3, 3, 2, STRIDE),
        (bytes(9), 3, 3, 0, STRIDE),
        (b"", 0, 5, 0, STRIDE),
        (bytes(9), -1, 3, 3, SIDES),
        (bytes(9), 3, 2**31, 3, SIDES),
        (memoryview(bytes(18)).cast("H"), 3, 3, 3, "Image pixels must be one byte each."),
        (
            memoryview(bytes(18))[::2],
            3,
            3,
            3,
            "Image buffer must be contiguous bytes or a 2-D array.",
        ),
        (
            np.zeros((3, 4), np.uint8),
            3,
            3,
            3,
            "Image array shape and strides do not match width, height and stride.",
        ),
        (
            np.zeros((3, 4), np.uint8)[:, :3],
            3,
            3,
            3,
            "Image array shape and strides do not match width, height and stride.",
        ),
    ],
)
def test_bad_image_arguments_are_refused(image, width, height, stride, message):
    with pytest.raises(ValueError) as info:
        _engine.read(image, width, height, stride, 0, True, True)
    assert str(info.value) == message


@pytest.mark.parametrize(
    ("width", "height", "stride"),
    [(0, 0, 1), (0, 2**31 - 1, 1), (2**31 - 1, 0, 2**31 - 1), (5, 0, 2**62)],
)
def test_an_image_without_pixels_reads_as_nothing(width, height, stride):
    assert _engine.read(b"", width, height, stride, 0, True, True) == []


@pytest.mark.parametrize("gap", [1, 5, 64, 1000])
@pytest.mark.parametrize("filler", [0, 255])
def test_rows_apart_read_like_packed_rows(gap, filler):
    # The gaps between rows hold junk and the buffer ends with the last pixel: neither
    # may change what is read.
    modules = np.array(segno.make_qr("stride", error="m").matrix, np.uint8)
    bits = np.pad(np.kron(modules, np.ones((3, 3), np.uint8)), 12)
    height, width = bits.shape
    stride = width + gap
    laid = np.full((height, stride), filler, np.uint8)
    laid[:, :width] = bits
    exact = laid.tobytes()[: (height - 1) * stride + width]
    packed = _engine.read(bits.tobytes(), width, height, width, 3, True, True)
    assert [b"".join(s[2] for s in r[0][4]) for r in packed] == [b"stride"]
    assert _engine.read(exact, width, height, stride, 3, True, True) == packed
    with pytest.raises(ValueError, match="shorter"):
        _engine.read(exact[:-1], width, height, stride, 3, True, True)
