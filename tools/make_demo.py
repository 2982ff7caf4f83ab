"""Generates src/halvern/data/demo.pbm, the sample that ``halvern --demo`` reads.

A photographed code is never upright, clean nor aligned to the pixel grid, so the sample
is not either: a segno symbol drawn at 6 px per module, turned by 12 degrees with
nearest-neighbour inverse mapping, and sprinkled with 0.5% salt-and-pepper noise. The
random generator is seeded, so running this again gives the same file.

    python tools/make_demo.py [OUTPUT]

Needs segno and numpy (``pip install "halvern[test]"``).
"""

from __future__ import annotations

import math
import sys
from pathlib import Path

import numpy as np
import segno

TEXT = "Hello from halvern!"
VERSION = 3
ERROR = "m"
PIXELS_PER_MODULE = 6
QUIET_ZONE = 4
ANGLE_DEGREES = 12.0
NOISE_SHARE = 0.005
SEED = 18004
DEFAULT_OUTPUT = Path(__file__).resolve().parent.parent / "src" / "halvern" / "data" / "demo.pbm"


def upright_image() -> np.ndarray:
    """The symbol with its quiet zone, 1 = black, as pixels."""
    qr = segno.make_qr(TEXT, version=VERSION, error=ERROR, boost_error=False)
    modules = np.pad(np.array(qr.matrix, dtype=np.uint8), QUIET_ZONE)
    block = np.ones((PIXELS_PER_MODULE, PIXELS_PER_MODULE), dtype=np.uint8)
    return np.kron(modules, block)


def rotated(image: np.ndarray, degrees: float) -> np.ndarray:
    """``image`` turned about its centre on a canvas that holds all of it; each output
    pixel takes the source pixel its centre maps back to, white outside the source."""
    h, w = image.shape
    a = math.radians(degrees)
    cos, sin = math.cos(a), math.sin(a)
    out_w = math.ceil(w * abs(cos) + h * abs(sin))
    out_h = math.ceil(w * abs(sin) + h * abs(cos))
    ys, xs = np.mgrid[0:out_h, 0:out_w].astype(np.float64)
    dx, dy = xs + 0.5 - out_w / 2, ys + 0.5 - out_h / 2
    sx = np.floor(cos * dx + sin * dy + w / 2).astype(np.int64)
    sy = np.floor(-sin * dx + cos * dy + h / 2).astype(np.int64)
    inside = (sx >= 0) & (sx < w) & (sy >= 0) & (sy < h)
    out = np.zeros((out_h, out_w), dtype=np.uint8)
    out[inside] = image[sy[inside], sx[inside]]
    return out


def with_salt_and_pepper(image: np.ndarray, share: float, rng: np.random.Generator) -> np.ndarray:
    """``image`` with a ``share`` of its pixels, picked at random, set to black or white."""
    out = image.copy()
    hit = rng.random(image.shape) < share
    out[hit] = rng.integers(0, 2, size=int(hit.sum()), dtype=np.uint8)
    return out


def pbm_p4(image: np.ndarray) -> bytes:
    """A binary PBM of a 0/1 image (1 = black)."""
    h, w = image.shape
    return f"P4\n# {TEXT}\n{w} {h}\n".encode() + np.packbits(image, axis=1).tobytes()


def main(argv: list[str]) -> int:
    output = Path(argv[1]) if len(argv) > 1 else DEFAULT_OUTPUT
    rng = np.random.default_rng(SEED)
    image = with_salt_and_pepper(rotated(upright_image(), ANGLE_DEGREES), NOISE_SHARE, rng)
    output.parent.mkdir(parents=True, exist_ok=True)
    output.write_bytes(pbm_p4(image))
    print(f"wrote {output}: {image.shape[1]}x{image.shape[0]} pixels")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
