"""A reader of PBM (P1, P4) and PGM (P2, P5) images, with no dependency.

Files come from anywhere, so every malformation is a ``PNMError`` with a message that
says what is wrong, and a header is checked against the size of the file before any
pixel buffer is made: a few bytes that claim a gigapixel image cost nothing. Plain
rasters are parsed a slice at a time, so that the memory a parse takes stays
proportional to the pixels (a 27 MB P2 file split whole into tokens took 638 MB).
Opening files is the job of ``halvern._files``, turning the pixels into the reader's
input that of ``halvern._image``: a gray image is never thresholded here, so that the
reader's own binarizer sees its levels.
"""

from __future__ import annotations

import re
import sys
from array import array
from collections.abc import Iterable, Iterator
from dataclasses import dataclass

__all__ = ["DEFAULT_MAX_PIXELS", "PNMError", "PNMImage", "binary_extent", "is_pnm", "parse_pnm"]

WHITESPACE = b" \t\n\v\f\r"
MAGICS = (b"P1", b"P2", b"P4", b"P5")
OTHER_NETPBM = {b"P3": "PPM", b"P6": "PPM", b"P7": "PAM"}
# The pixel limit of every image file, PNM here and the Pillow formats in halvern._files,
# unless the caller raises it (the command line's --max-pixels). 2**27 pixels (134 MP, an
# 11600 x 11600 square) is past any camera's picture of a code; a 13000 x 13000 white PNG
# (169 MP) held 1.7 GB before it answered.
DEFAULT_MAX_PIXELS = 1 << 27
MAX_MAXVAL = 65535
# Ten digits cover every width that could pass the pixel limit; longer tokens are refused
# before int() sees them.
MAX_TOKEN_DIGITS = 10
# Bytes of a plain raster handled at once: a slice split into tokens takes about 10 to 20
# times its size.
PLAIN_SLICE = 1 << 16
_COMMENT = re.compile(rb"#[^\r\n]*")
_SPACE = re.compile(rb"(?:[ \t\n\v\f\r]+|#[^\r\n]*)*")
# A header token: at most one digit more than any accepted number, so that a file of
# digits is not scanned whole.
_TOKEN = re.compile(rb"[^ \t\n\v\f\r#]{1,%d}" % (MAX_TOKEN_DIGITS + 1))
# Each PBM byte holds eight pixels, most significant bit first, 1 meaning black.
_BIT_EXPANSION = tuple(bytes((byte >> (7 - i)) & 1 for i in range(8)) for byte in range(256))


class PNMError(ValueError):
    """A file that is not a readable PBM or PGM image; the message says why."""


@dataclass(frozen=True)
class PNMImage:
    """A decoded PBM or PGM image.

    ``pixels`` has one byte per pixel, row-major: for PBM 1 is black and 0 white (a bits
    image); for PGM it is gray scaled to 0 (black) .. 255 (white).
    """

    magic: str
    width: int
    height: int
    maxval: int  # 1 for PBM
    pixels: bytes

    @property
    def is_bitmap(self) -> bool:
        return self.magic in ("P1", "P4")


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
    match = _SPACE.match(data, pos)
    assert match is not None  # the pattern matches the empty string
    return match.end()


def _header_number(data: bytes, pos: int, name: str) -> tuple[int, int]:
    """The decimal header field ``name`` that starts after whitespace at ``pos``, and the
    position just after it."""
    pos = _skip_space(data, pos)
    match = _TOKEN.match(data, pos)
    if match is None:
        raise PNMError(f"truncated header: no {name}")
    token, end = match.group(), match.end()
    if not token.isdigit():
        raise PNMError(f"header {name} is not a number: {token[:20]!r}")
    if len(token) > MAX_TOKEN_DIGITS:
        raise PNMError(f"header {name} is too large: {token[:20].decode()}...")
    return int(token), end


def _check_dimensions(width: int, height: int, max_pixels: int) -> None:
    if width == 0 or height == 0:
        raise PNMError(f"image has no pixels ({width}x{height})")
    if width * height > max_pixels:
        raise PNMError(f"image too large: {width}x{height} pixels (at most {max_pixels})")


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
    if height <= width:
        return b"".join(expanded[r * stride : r * stride + width] for r in range(height))
    # Tall and narrow: a column at a time, so that the Python steps stay min(width,
    # height) (row by row, 2 x 16400 cost 240 ms/MP).
    pixels = bytearray(width * height)
    for x in range(width):
        pixels[x::width] = expanded[x::stride]
    return bytes(pixels)


def _slice_end(data: bytes, pos: int) -> int:
    """Where the plain-raster slice that starts at ``pos`` ends: no token and no comment
    runs across the end, which lies at most PLAIN_SLICE bytes on."""
    end = pos + PLAIN_SLICE
    if end >= len(data):
        return len(data)
    hash_at = data.rfind(b"#", pos, end)
    if hash_at > max(data.rfind(b"\n", pos, end), data.rfind(b"\r", pos, end)):
        return hash_at  # the comment goes on past the slice: it starts the next one
    space_at = max(data.rfind(bytes([c]), pos, end) for c in WHITESPACE)
    # A slice without whitespace holds part of one overlong token, refused either way
    # (P1 digits need no separators, so there any cut is right).
    return space_at + 1 if space_at >= pos else end


def _plain_slices(data: bytes, pos: int) -> Iterator[bytes]:
    """The raster of a plain format from ``pos`` in slices, comments blanked out."""
    while pos < len(data):
        if data[pos] == 0x23:  # '#'
            pos = _comment_end(data, pos)
            continue
        end = _slice_end(data, pos)
        yield _COMMENT.sub(b" ", data[pos:end])
        pos = end


def _parse_p1(data: bytes, pos: int, width: int, height: int) -> bytes:
    count = width * height
    # One character per pixel at the least: digits need no separators in P1.
    _check_room(count, len(data) - pos, width, height)
    digits = bytearray()
    for piece in _plain_slices(data, pos):
        digits += piece.translate(None, WHITESPACE)
        if len(digits) >= count:
            break
    if len(digits) < count:
        raise PNMError(f"truncated pixel data: {len(digits)} of {count} pixels")
    del digits[count:]
    stray = digits.translate(None, b"01")
    if stray:
        raise PNMError(f"P1 pixels must be 0 or 1, found {bytes(stray[:1])!r}")
    return bytes(digits.translate(bytes.maketrans(b"01", b"\x00\x01")))


def _p2_samples(tokens: list[bytes], maxval: int) -> list[int]:
    """The values of P2 sample tokens; PNMError naming the first bad one."""
    if tokens and max(map(len, tokens)) <= 5 and b"".join(tokens).isdigit():
        # The common case, checked a slice at once (three times the token-by-token pace).
        samples = list(map(int, tokens))
        if max(samples) <= maxval:
            return samples
    samples = []
    for token in tokens:
        if not token.isdigit():
            raise PNMError(f"P2 sample is not a number: {token[:20]!r}")
        # A long run of digits exceeds any maxval; int() need not see it.
        value = int(token) if len(token) <= 5 else MAX_MAXVAL + 1
        if value > maxval:
            raise PNMError(f"P2 sample {token[:20].decode()} exceeds maxval {maxval}")
        samples.append(value)
    return samples


def _parse_p2(data: bytes, pos: int, width: int, height: int, maxval: int) -> bytes:
    count = width * height
    # A digit and a separator per sample at the least (none after the last).
    _check_room(2 * count - 1, len(data) - pos, width, height)
    # Samples up to 255 fit a byte each, wider ones two: the result's own size.
    samples = bytearray() if maxval < 256 else array("H")
    for piece in _plain_slices(data, pos):
        tokens = piece.split()[: count - len(samples)]
        samples.extend(_p2_samples(tokens, maxval))
        if len(samples) >= count:
            break
    if len(samples) < count:
        raise PNMError(f"truncated pixel data: {len(samples)} of {count} samples")
    if isinstance(samples, bytearray):
        return bytes(samples.translate(_scale_table(maxval)))
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


@dataclass(frozen=True)
class _Header:
    magic: bytes
    width: int
    height: int
    maxval: int
    raster: int  # position of the first raster byte


def _parse_header(data: bytes, max_pixels: int) -> _Header:
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
    _check_dimensions(width, height, max_pixels)
    # A single whitespace byte ends the header (a comment may come before it, and then
    # the newline closing the comment is that byte); in binary formats the raster
    # follows it at once, and its first byte may well look like whitespace.
    if data[pos : pos + 1] == b"#":
        pos = _comment_end(data, pos)
    if pos >= len(data) or data[pos] not in WHITESPACE:
        raise PNMError("truncated header: no pixel data")
    return _Header(magic, width, height, maxval, pos + 1)


def _binary_raster_bytes(header: _Header) -> int:
    if header.magic == b"P4":
        return -(-header.width // 8) * header.height
    return header.width * header.height * (1 if header.maxval < 256 else 2)


def binary_extent(head: bytes, max_pixels: int = DEFAULT_MAX_PIXELS) -> int | None:
    """How many bytes the binary (P4 or P5) image that ``head`` starts with takes,
    header included; None for plain formats, a header not all in ``head``, or one that
    parse_pnm will refuse. Lets a stream stop once the image is in."""
    if head[:2] not in (b"P4", b"P5"):
        return None
    try:
        header = _parse_header(head, max_pixels)
    except PNMError:
        return None
    return header.raster + _binary_raster_bytes(header)


def parse_pnm(data: bytes, max_pixels: int = DEFAULT_MAX_PIXELS) -> PNMImage:
    """The first image of a PBM or PGM file held in ``data``; data after it is ignored.

    Raises ``PNMError`` for anything that is not a well-formed P1, P2, P4 or P5 image,
    and for an image of more than ``max_pixels`` pixels.
    """
    header = _parse_header(data, max_pixels)
    magic, width, height, maxval, pos = (header.magic, header.width, header.height,
                                         header.maxval, header.raster)
    if magic == b"P1":
        pixels = _parse_p1(data, pos, width, height)
    elif magic == b"P2":
        pixels = _parse_p2(data, pos, width, height, maxval)
    elif magic == b"P4":
        pixels = _parse_p4(data, pos, width, height)
    else:
        pixels = _parse_p5(data, pos, width, height, maxval)
    return PNMImage(magic.decode(), width, height, maxval, pixels)
