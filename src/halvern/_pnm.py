"""A reader of PBM (P1, P4) and PGM (P2, P5) images, with no dependency.

Files come from anywhere, so every malformation is a ``PNMError`` with a message that
says what is wrong, and a header is checked against the size of the file before any
pixel buffer is made: a few bytes that claim a gigapixel image cost nothing.
"""

from __future__ import annotations

import os
import re
import sys
from array import array
from collections.abc import Iterable
from dataclasses import dataclass

__all__ = ["PNMError", "PNMImage", "is_pnm", "parse_pnm", "read_bytes", "read_pnm"]

WHITESPACE = b" \t\n\v\f\r"
MAGICS = (b"P1", b"P2", b"P4", b"P5")
OTHER_NETPBM = {b"P3": "PPM", b"P6": "PPM", b"P7": "PAM"}
# Beyond this many pixels an image is refused outright: 2**28 bytes is already far more
# than any photograph of a QR code needs.
MAX_PIXELS = 1 << 28
MAX_MAXVAL = 65535
# Files are read whole; this bound keeps a device like /dev/zero from eating memory. It
# is well above the largest binary image MAX_PIXELS allows.
MAX_FILE_BYTES = 1 << 30
# Ten digits cover every width that could pass MAX_PIXELS; longer tokens are refused
# before int() sees them.
MAX_TOKEN_DIGITS = 10
_COMMENT = re.compile(rb"#[^\r\n]*")
# Each PBM byte holds eight pixels, most significant bit first, 1 meaning black.
_BIT_EXPANSION = tuple(bytes((byte >> (7 - i)) & 1 for i in range(8)) for byte in range(256))


class PNMError(ValueError):
    """A file that is not a readable PBM or PGM image; the message says why."""


@dataclass(frozen=True)
class PNMImage:
    """A decoded PBM or PGM image.

    ``pixels`` has one byte per pixel, row-major: for PBM 1 is black and 0 white (a bits
    image already); for PGM it is gray scaled to 0 (black) .. 255 (white).
    """

    magic: str
    width: int
    height: int
    maxval: int  # 1 for PBM
    pixels: bytes

    @property
    def is_bitmap(self) -> bool:
        return self.magic in ("P1", "P4")

    def bits(self) -> bytes:
        """The image as bits (nonzero = black); gray is binarized with Otsu's threshold."""
        if self.is_bitmap:
            return self.pixels
        from halvern._image import binarize

        return binarize(self.pixels, self.width, self.height)


def _follows_magic(data: bytes) -> bool:
    return len(data) == 2 or data[2:3] in (b"#", *(bytes([c]) for c in WHITESPACE))


def is_pnm(data: bytes) -> bool:
    """Whether ``data`` starts like a PBM or PGM file that this module reads."""
    return data[:2] in MAGICS and _follows_magic(data)


def _comment_end(data: bytes, pos: int) -> int:
    """The position of the line end that closes the comment starting at ``pos``."""
    match = _COMMENT.match(data, pos)
    assert match is not None
    return match.end()


def _skip_space(data: bytes, pos: int) -> int:
    """The position after any whitespace and comments from ``pos``."""
    while pos < len(data):
        c = data[pos]
        if c in WHITESPACE:
            pos += 1
        elif c == 0x23:  # '#'
            pos = _comment_end(data, pos)
        else:
            break
    return pos


def _header_number(data: bytes, pos: int, name: str) -> tuple[int, int]:
    """The decimal header field ``name`` that starts after whitespace at ``pos``, and the
    position just after it."""
    pos = _skip_space(data, pos)
    end = pos
    while end < len(data) and data[end] not in WHITESPACE and data[end] != 0x23:
        end += 1
    token = data[pos:end]
    if not token:
        raise PNMError(f"truncated header: no {name}")
    if not token.isdigit():
        raise PNMError(f"header {name} is not a number: {token[:20]!r}")
    if len(token) > MAX_TOKEN_DIGITS:
        raise PNMError(f"header {name} is too large: {token[:20].decode()}...")
    return int(token), end


def _check_dimensions(width: int, height: int) -> None:
    if width == 0 or height == 0:
        raise PNMError(f"image has no pixels ({width}x{height})")
    if width * height > MAX_PIXELS:
        raise PNMError(f"image too large: {width}x{height} pixels (at most {MAX_PIXELS})")


def _check_room(needed: int, available: int, width: int, height: int) -> None:
    if needed > available:
        raise PNMError(
            f"truncated pixel data: a {width}x{height} image needs at least {needed} bytes, "
            f"the file has {max(available, 0)}"
        )


def _scale_table(maxval: int) -> bytes:
    """Samples 0..maxval (maxval < 256) to 0..255, rounding to nearest, ties up."""
    return bytes(min((2 * v * 255 + maxval) // (2 * maxval), 255) for v in range(256))


def _scaled_wide(samples: Iterable[int], maxval: int) -> bytes:
    return bytes((2 * v * 255 + maxval) // (2 * maxval) for v in samples)


def _unpack_bitmap(raster: bytes, width: int, height: int) -> bytes:
    expanded = b"".join(map(_BIT_EXPANSION.__getitem__, raster))
    if width % 8 == 0:
        return expanded
    stride = -(-width // 8) * 8
    return b"".join(expanded[r * stride : r * stride + width] for r in range(height))


def _plain_raster(data: bytes, pos: int) -> bytes:
    """The raster of a plain format, comments removed."""
    return _COMMENT.sub(b" ", data[pos:])


def _parse_p1(data: bytes, pos: int, width: int, height: int) -> bytes:
    count = width * height
    # One character per pixel at the least: digits need no separators in P1.
    _check_room(count, len(data) - pos, width, height)
    digits = _plain_raster(data, pos).translate(None, WHITESPACE)[:count]
    if len(digits) < count:
        raise PNMError(f"truncated pixel data: {len(digits)} of {count} pixels")
    stray = digits.translate(None, b"01")
    if stray:
        raise PNMError(f"P1 pixels must be 0 or 1, found {stray[:1]!r}")
    return digits.translate(bytes.maketrans(b"01", b"\x00\x01"))


def _parse_p2(data: bytes, pos: int, width: int, height: int, maxval: int) -> bytes:
    count = width * height
    # A digit and a separator per sample at the least (none after the last).
    _check_room(2 * count - 1, len(data) - pos, width, height)
    tokens = _plain_raster(data, pos).split()[:count]
    if len(tokens) < count:
        raise PNMError(f"truncated pixel data: {len(tokens)} of {count} samples")
    samples = []
    for token in tokens:
        if not token.isdigit():
            raise PNMError(f"P2 sample is not a number: {token[:20]!r}")
        # A long run of digits exceeds any maxval; int() need not see it.
        value = int(token) if len(token) <= 5 else MAX_MAXVAL + 1
        if value > maxval:
            raise PNMError(f"P2 sample {token[:20].decode()} exceeds maxval {maxval}")
        samples.append(value)
    if maxval < 256:
        return bytes(samples).translate(_scale_table(maxval))
    return _scaled_wide(samples, maxval)


def _parse_p4(data: bytes, pos: int, width: int, height: int) -> bytes:
    needed = -(-width // 8) * height
    _check_room(needed, len(data) - pos, width, height)
    return _unpack_bitmap(data[pos : pos + needed], width, height)


def _parse_p5(data: bytes, pos: int, width: int, height: int, maxval: int) -> bytes:
    depth = 1 if maxval < 256 else 2
    needed = width * height * depth
    _check_room(needed, len(data) - pos, width, height)
    raster = data[pos : pos + needed]
    if depth == 1:
        top = max(raster)
        if top > maxval:
            raise PNMError(f"P5 sample {top} exceeds maxval {maxval}")
        return raster if maxval == 255 else raster.translate(_scale_table(maxval))
    samples = array("H", raster)
    if sys.byteorder == "little":
        samples.byteswap()  # 16-bit samples are stored most significant byte first
    top = max(samples)
    if top > maxval:
        raise PNMError(f"P5 sample {top} exceeds maxval {maxval}")
    return _scaled_wide(samples, maxval)


def parse_pnm(data: bytes) -> PNMImage:
    """The first image of a PBM or PGM file held in ``data``; data after it is ignored.

    Raises ``PNMError`` for anything that is not a well-formed P1, P2, P4 or P5 image.
    """
    if not data:
        raise PNMError("empty file")
    magic = data[:2]
    if magic in OTHER_NETPBM and _follows_magic(data):
        raise PNMError(f"{OTHER_NETPBM[magic]} ({magic.decode()}) images are not read here")
    if not is_pnm(data):
        raise PNMError("not a PBM or PGM image")
    width, pos = _header_number(data, 2, "width")
    height, pos = _header_number(data, pos, "height")
    maxval = 1
    if magic in (b"P2", b"P5"):
        maxval, pos = _header_number(data, pos, "maxval")
        if not 1 <= maxval <= MAX_MAXVAL:
            raise PNMError(f"maxval must be in 1..{MAX_MAXVAL}, not {maxval}")
    _check_dimensions(width, height)
    # A single whitespace byte ends the header (a comment may come before it, and then
    # the newline closing the comment is that byte); in binary formats the raster
    # follows it at once, and its first byte may well look like whitespace.
    if data[pos : pos + 1] == b"#":
        pos = _comment_end(data, pos)
    if pos >= len(data) or data[pos] not in WHITESPACE:
        raise PNMError("truncated header: no pixel data")
    pos += 1
    if magic == b"P1":
        pixels = _parse_p1(data, pos, width, height)
    elif magic == b"P2":
        pixels = _parse_p2(data, pos, width, height, maxval)
    elif magic == b"P4":
        pixels = _parse_p4(data, pos, width, height)
    else:
        pixels = _parse_p5(data, pos, width, height, maxval)
    return PNMImage(magic.decode(), width, height, maxval, pixels)


def read_bytes(path: str | os.PathLike[str]) -> bytes:
    """The content of the file at ``path``; a missing file, a directory and other
    unreadable paths raise ``PNMError`` with the reason."""
    try:
        with open(path, "rb") as file:
            data = file.read(MAX_FILE_BYTES + 1)
    except FileNotFoundError:
        raise PNMError("no such file") from None
    except IsADirectoryError:
        raise PNMError("is a directory") from None
    except PermissionError:
        raise PNMError("permission denied") from None
    except OSError as exc:
        raise PNMError(exc.strerror or str(exc)) from None
    if len(data) > MAX_FILE_BYTES:
        raise PNMError(f"file too large (more than {MAX_FILE_BYTES} bytes)")
    return data


def read_pnm(path: str | os.PathLike[str]) -> PNMImage:
    """The PBM or PGM image in the file at ``path``."""
    return parse_pnm(read_bytes(path))
