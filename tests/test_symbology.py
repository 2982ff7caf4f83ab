"""Which symbology a code is, as the results, the identifier, the symbologies= filter
and the command line show it."""

from __future__ import annotations

import json

import numpy as np
import pytest
import segno
from PIL import Image

import halvern
from halvern import _engine
from halvern.__main__ import main
from halvern._content import decoded_from_native

SCALE = 4


def qr_image(text: str = "which family") -> np.ndarray:
    matrix = np.array(segno.make_qr(text, error="m").matrix, dtype=np.uint8)
    return np.kron(np.pad(matrix, 4), np.ones((SCALE, SCALE), dtype=np.uint8))


def stream(*fields: str) -> bytes:
    bits = "".join(fields) + "0000"
    bits += "0" * (-len(bits) % 8)
    return int(bits, 2).to_bytes(len(bits) // 8)


BYTE_A = "0100" + "00000001" + "01000001"  # one byte segment holding "A"
ECI_UTF8 = "0111" + "00011010"
FNC1_FIRST = "0101"
FNC1_SECOND = "1001" + "00100101"  # application indicator 37


@pytest.mark.parametrize(
    ("header", "expected"),
    [((), "]Q1"), ((ECI_UTF8,), "]Q2"), ((FNC1_FIRST,), "]Q3"), ((ECI_UTF8, FNC1_FIRST), "]Q4"),
     ((FNC1_SECOND,), "]Q5"), ((FNC1_SECOND, ECI_UTF8), "]Q6")],
)
def test_identifier_modifier_follows_eci_and_fnc1(header, expected) -> None:
    decoded = decoded_from_native(_engine._parse_segments(stream(*header, BYTE_A), 2))
    assert (decoded.text, decoded.symbology, decoded.model) == ("A", "QR", 2)
    assert decoded.symbology_identifier == expected


def test_a_read_qr_code_names_its_family() -> None:
    code = halvern.read(qr_image())
    assert code is not None
    assert (code.symbology, code.model, code.version, code.symbology_identifier) == ("QR", 2, 1, "]Q1")
    assert code.matrix.symbology == "QR"
    assert code.decoded.symbology_identifier == code.symbology_identifier


@pytest.mark.parametrize(
    ("names", "found"),
    [(["QR"], True), ({"QR", "rMQR"}, True), (("Micro QR",), False), (["rMQR", "Micro QR"], False)],
)
def test_symbologies_restrict_the_read(names, found) -> None:
    image = qr_image()
    assert (halvern.read(image, symbologies=names) is not None) == found
    assert len(halvern.read_all(image, symbologies=names)) == int(found)


@pytest.mark.parametrize(
    ("names", "error", "message"),
    [(["QR", "Aztec", "qr"], ValueError, "'Aztec', 'qr'"), ([], ValueError, "none"),
     ([7], ValueError, "7"), ("QR", TypeError, "collection"), (3, TypeError, "collection")],
)
def test_bad_symbologies_are_named(names, error, message) -> None:
    with pytest.raises(error, match=message):
        halvern.read_all(qr_image(), symbologies=names)


@pytest.mark.parametrize("mask", [0, 8, -1])
def test_native_read_refuses_a_bad_mask(mask) -> None:
    with pytest.raises(ValueError, match="Symbology mask"):
        _engine.read(b"\0" * 64, 8, 8, 8, 0, True, False, mask)


@pytest.mark.parametrize(
    ("options", "status", "shown"),
    [(["--symbology", "qr"], 0, "which family\n"), (["--symbology", "rMQR", "--symbology", "micro-qr"], 1, ""),
     (["--symbology", "QR", "--json"], 0, "QR")],
)
def test_command_line_symbology(tmp_path, capsys, options, status, shown) -> None:
    path = tmp_path / "code.png"
    Image.fromarray((1 - qr_image()) * 255).save(path)
    assert main([*options, str(path)]) == status
    out = capsys.readouterr().out
    if "--json" in options:
        record = json.loads(out)
        assert (record["symbology"], record["symbology_identifier"], record["model"]) == (shown, "]Q1", 2)
    else:
        assert out == shown


def test_command_line_refuses_an_unknown_symbology(capsys) -> None:
    assert main(["--symbology", "aztec", "--demo"]) == 2
    assert "unknown symbology 'aztec'" in capsys.readouterr().err
