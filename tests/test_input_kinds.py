"""Every kind of input reaches the native reader as the same pixels: a code half in
shadow, which one global threshold cannot read, reads from each alike."""

from __future__ import annotations

import io
import sys
from pathlib import Path
from typing import Any

import numpy as np
import pytest
import segno
from PIL import Image

import halvern
from halvern.__main__ import main
from halvern._image import as_reader_input

TEXT = "half in shadow"
DARK, LIGHT = 40, 220
# The shadowed half's light falls below the lit half's dark (88 < 40 / 0.4 = 100), so
# Otsu's one threshold leaves one half all dark or all light.
SHADOW = 0.4


def shadowed(scale: int) -> np.ndarray:
    qr = segno.make(TEXT, error="m", micro=False)
    bits = np.array(list(qr.matrix_iter(scale=scale, border=4)), dtype=bool)
    gray = np.where(bits, DARK, LIGHT).astype(np.float64)
    gray[:, gray.shape[1] // 2 :] *= SHADOW
    return np.round(gray).astype(np.uint8)


def pgm(gray: np.ndarray) -> bytes:
    return b"P5\n%d %d\n255\n" % (gray.shape[1], gray.shape[0]) + gray.tobytes()


def png(gray: np.ndarray) -> bytes:
    buffer = io.BytesIO()
    Image.fromarray(gray).save(buffer, format="PNG")
    return buffer.getvalue()


def held(kind: str, gray: np.ndarray, tmp_path: Path) -> Any:
    if kind == "array":
        return gray
    if kind == "pillow":
        return Image.fromarray(gray)
    path = tmp_path / f"shadow.{kind}"
    path.write_bytes(pgm(gray) if kind == "pgm" else png(gray))
    return str(path)


@pytest.mark.parametrize("scale", [4, 6])
@pytest.mark.parametrize("binarizer", ["auto", "local"])
@pytest.mark.parametrize("kind", ["array", "pillow", "pgm", "png"])
def test_shadowed_code_reads_however_it_is_held(tmp_path, kind, binarizer, scale) -> None:
    gray = shadowed(scale)
    image = held(kind, gray, tmp_path)
    seen = as_reader_input(image)
    assert not seen.bits and bytes(seen.pixels) == gray.tobytes()
    code = halvern.read(image, binarizer=binarizer)
    assert code is not None and code.text == TEXT
    assert halvern.read(image, binarizer="global") is None


@pytest.mark.parametrize("scale", [4, 6])
@pytest.mark.parametrize("encode", [pgm, png])
def test_shadowed_code_reads_from_standard_input(capsys, monkeypatch, encode, scale) -> None:
    data = encode(shadowed(scale))
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(data)))
    assert main(["-"]) == 0
    assert capsys.readouterr().out == TEXT + "\n"


@pytest.mark.parametrize("binarizer", ["local", "global"])
def test_binarize_gives_the_bits_the_reader_reads(binarizer) -> None:
    gray = shadowed(4)
    bits = halvern.binarize(gray, binarizer=binarizer)
    from_bits = halvern.read(bits, gray.shape[1], gray.shape[0])
    from_gray = halvern.read(gray, binarizer=binarizer)
    assert (from_bits and from_bits.text) == (from_gray and from_gray.text)
    assert (from_bits is not None) == (binarizer == "local")
