"""Type stub of halvern._engine, the native reader: ``read`` finds and decodes every
symbol of an image in one call, ``binarize`` gives the bits its binarizer makes, and
``decode_matrix``, ``format_info``, ``version_info`` and ``restore`` work on one sampled
matrix. Names starting with ``_`` expose single stages to the tests. Images are buffers
of bytes with a row stride; matrices are buffers of size * size bytes, row-major,
nonzero meaning dark."""

import sys
from typing import overload

from types import NotImplementedType

from halvern._content import Decoded
from halvern._reader import QRCode

if sys.version_info >= (3, 12):
    from collections.abc import Buffer
else:
    from typing_extensions import Buffer

# (mode, eci or None, bytes): mode 1 numeric, 2 alphanumeric, 4 byte, 8 kanji, 13 Hanzi.
SegmentTuple = tuple[int, int | None, bytes]
# (version, level 0..3 for L, M, Q, H, mask, corrected, segments, fnc1 0/1/2,
#  FNC1 application indicator or None, (index, total, parity) or None,
#  symbology 0 QR / 1 Micro QR / 2 rMQR, model 1 or 2 for QR (else 0), rows, columns)
DecodedTuple = tuple[
    int, int, int, int, tuple[SegmentTuple, ...], int, int | None, tuple[int, int, int] | None,
    int, int, int, int
]

def decode_matrix(matrix: Buffer, size: int, /) -> DecodedTuple: ...
# As decode_matrix, but a halvern.Decoded built natively when every segment's text is
# UTF-8 or ASCII (and result_types has registered the classes).
def decode(matrix: Buffer, size: int, /) -> Decoded | DecodedTuple: ...
def result_types(decoded: type, segment: type, levels: tuple[str, ...], modes: dict[int, str],
                 fnc1: tuple[str | None, ...], symbologies: tuple[str, ...], /) -> None: ...
# (level 0..3 for L, M, Q, H, mask, bit errors) of the better format copy.
def format_info(matrix: Buffer, size: int, /) -> tuple[int, int, int]: ...
def version_info(matrix: Buffer, size: int, /) -> int: ...
def restore(matrix: Buffer, size: int, /) -> bytes: ...

# Single stages, for the tests.
def _rs_correct(block: Buffer, ec: int, limit: int, /) -> tuple[bytes, int] | None: ...
def _placement(version: int, /) -> list[int]: ...
def _codewords(matrix: Buffer, size: int, mask: int, /) -> bytes: ...
def _block_layout(version: int, level: int, /) -> tuple[int, tuple[int, ...], int]: ...
def _deinterleave(stream: Buffer, version: int, level: int, /) -> tuple[bytes, ...]: ...
def _format_words() -> tuple[int, ...]: ...
def _version_word(word: int, /) -> int: ...
@overload
def _parse_segments(data: Buffer, version: int, /) -> DecodedTuple: ...
@overload
def _parse_segments(data: Buffer, version: int, objects: bool, /) -> Decoded | DecodedTuple: ...

# The reader. binarizer: 0 auto, 1 local, 2 global, 3 none; symbologies a nonzero mask
# of 1 QR, 2 Micro QR, 4 rMQR; try_harder false: one pass, no fallbacks.
Point = tuple[float, float]

class Record(tuple[object, ...]):
    """One symbol a read located, decoded or not (a named tuple of these fields, read-only)."""

    decoded: DecodedTuple | None
    # None when decoded, else bad_size, format, version, too_many_errors or data.
    reason: str | None
    size: int
    # rows * size bytes of 0/1 as sampled, in the symbol's frame.
    sampled: bytes
    # The corners: top-left, top-right, bottom-right, bottom-left as the symbol reads.
    position: tuple[Point, Point, Point, Point]
    # The finder centres: top-left, top-right, bottom-left.
    centres: tuple[Point, Point, Point]
    orientation: float
    mirrored: bool
    inverted: bool
    module_size: float
    # 0 QR, 1 Micro QR, 2 rMQR.
    symbology: int
    # The decoded version, else the one the size gives (0 when none does).
    version: int
    rows: int
    # Restored (QR) or sampled (Micro QR, rMQR) modules; None when there are none to
    # give: the format or version information of a QR symbol unreadable, another
    # family's symbol not decoded. level, mask and score are then None too (level and
    # mask are given for a decoded symbol).
    modules: bytes | None
    level: int | None
    mask: int | None
    score: float | None

def read(image: Buffer, width: int, height: int, stride: int, binarizer: int,
         try_invert: bool, keep_errors: bool, symbologies: int = 7, try_harder: bool = True,
         /) -> list[Record]: ...
def binarize(image: Buffer, width: int, height: int, stride: int, binarizer: int, /) -> bytes: ...
# halvern.read's code or None (all: read_all's codes) of a C-contiguous 2-D uint8 ndarray
# or bytes with int width and height; NotImplemented for any other input, the records
# as a tuple when a text needs the Python layer's text rule.
def read_codes(image: object, width: object, height: object, try_invert: object, try_harder: object,
               all: bool, /) -> QRCode | None | list[QRCode] | tuple[Record, ...] | NotImplementedType: ...
def code_type(code: type[QRCode], /) -> None: ...
def array_types(array: type, uint8: object, /) -> None: ...
# What a read saw (halvern.explain): the first pass's bits (width * height bytes, 1 dark);
# finder candidates (x, y, module, hits, pass); triples ((tl, tr, bl), cost, pass,
# outcome); the symbols located, at most 64 (module_to_image's 9 coefficients, size,
# size * size confidence bytes (how many of nine points over the module agree with its
# reading, 0 to 9), pass, outcome). outcome: "none" decoded, else a reason as a
# record's ("bad_size" of a triple: no grid held its timing pattern); pass: 0 first,
# 1 inverted, 2 denoised, 3 shrunk, 4 enlarged.
TraceTuple = tuple[
    bytes,
    list[tuple[float, float, float, int, int]],
    list[tuple[tuple[Point, Point, Point], float, int, str]],
    list[tuple[tuple[float, ...], int, bytes, int, str]],
]

def read_traced(image: Buffer, width: int, height: int, stride: int, binarizer: int,
                try_invert: bool, keep_errors: bool, symbologies: int = 7,
                /) -> tuple[list[Record], TraceTuple]: ...
def _binarize(image: Buffer, width: int, height: int, stride: int, binarizer: int, /) -> tuple[bytes, bool]: ...
def _find_finders(bits: Buffer, width: int, height: int, inverse: bool = False, carry: bool = True,
                  one_diagonal: bool = True, /) -> list[tuple[float, float, float, int]]: ...
def _denoise(bits: Buffer, width: int, height: int, in_place: bool = True, /) -> bytes: ...
def _homography(src: tuple[float, ...], dst: tuple[float, ...], /) -> tuple[float, ...] | None: ...
def _sample_grid(bits: Buffer, width: int, height: int, h: tuple[float, ...], size: int,
                 module: float, /) -> bytes: ...
def _fit_to_edges(bits: Buffer, width: int, height: int, h: tuple[float, ...], size: int,
                  module: float, /) -> tuple[float, ...] | None: ...
def _find_alignment(bits: Buffer, width: int, height: int, x: float, y: float, module: float,
                    radius: float, /) -> Point | None: ...
