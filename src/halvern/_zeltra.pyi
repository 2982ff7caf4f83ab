"""Type stub of halvern._zeltra, halvern's public step API: the steps of reading a QR
code as separate calls (black box, module size, finder centres, two samplers, finder
score, strict restoration). Its seven functions keep their contract; the reader,
halvern._engine, does not use them. Images are buffers of width * height bytes,
row-major, nonzero meaning black; matrices are buffers of size * size bytes."""

import sys
from typing import Any

if sys.version_info >= (3, 12):
    from collections.abc import Buffer
else:
    from typing_extensions import Buffer

# Boxes are (left, top, right, bottom), right and bottom exclusive.

def strict_restore_qr_matrix(matrix: Buffer, size: int, /) -> Any: ...
def find_black_bbox_bits(
    bits: Buffer, width: int, height: int, /
) -> tuple[int, int, int, int] | None: ...
def sample_matrix_3x3(
    bits: Buffer, width: int, height: int, box: tuple[int, int, int, int], size: int, /
) -> bytes: ...
def estimate_module_size(
    bits: Buffer, width: int, height: int, box: tuple[int, int, int, int], /
) -> float | None: ...
def find_finder_centers(
    bits: Buffer, width: int, height: int, variance: float, /
) -> tuple[float, float, float, float, float, float] | None: ...
def sample_matrix_affine(
    bits: Buffer,
    width: int,
    height: int,
    size: int,
    tl_x: float,
    tl_y: float,
    h_x: float,
    h_y: float,
    v_x: float,
    v_y: float,
    window: int,
    /,
) -> bytes: ...
def score_finder(matrix: Buffer, size: int, /) -> float: ...
