"""The Python layer's shortcuts give what the plain way gives: frozen dataclasses built
by ``maker`` equal their constructor's, a read's code (its matrix restored on first
access) equals one built field by field, and bytes with an int size, which skip the
Python checks, fail and succeed as a bytearray does."""

from __future__ import annotations

import copy
import dataclasses
import pickle
from typing import Any

import numpy as np
import pytest
import segno

import halvern
from halvern._frozen import maker

SEGMENT = halvern.Segment("byte", b"caf\xc3\xa9", "café", 26)
MATRIX = halvern.QRMatrix(bytes(441), 21, 1, "M", 3, 0.5, ((1.0, 2.0), (3.0, 4.0), (5.0, 6.0)), 2.5, "QR")
VALUES: list[tuple[type[Any], tuple[Any, ...]]] = [
    (halvern.Segment, ("byte", b"caf\xc3\xa9", "café", 26)),
    (halvern.Decoded, ("café", b"caf\xc3\xa9", (SEGMENT,), 1, "M", 3, 2, None, None, None, "QR", 2)),
    (halvern.QRMatrix, tuple(getattr(MATRIX, f.name) for f in dataclasses.fields(halvern.QRMatrix))),
    (halvern.Undecoded, ("too many errors to correct", "QR", 1, ((0.0, 0.0),) * 4, 90.0, True, False,
                         2.5, MATRIX)),
]


@pytest.mark.parametrize(("cls", "values"), VALUES, ids=[c.__name__ for c, _ in VALUES])
def test_maker_builds_what_the_constructor_builds(cls: type[Any], values: tuple[Any, ...]) -> None:
    made, built = maker(cls)(*values), cls(*values)
    assert type(made) is cls and made == built and hash(made) == hash(built) and repr(made) == repr(built)
    with pytest.raises(dataclasses.FrozenInstanceError):
        setattr(made, dataclasses.fields(cls)[0].name, "other")
    with pytest.raises(ValueError):
        maker(cls)(*values[:-1])


def test_maker_refuses_an_init_that_does_more() -> None:
    @dataclasses.dataclass(frozen=True)
    class Checked:
        value: int

        def __post_init__(self) -> None:
            raise AssertionError

    with pytest.raises(TypeError, match="does more than store its fields"):
        maker(Checked)


def read_code() -> halvern.QRCode:
    modules = np.array(segno.make_qr("lazy", version=2, error="q", mask=5, boost_error=False).matrix, np.uint8)
    code = halvern.read(np.kron(np.pad(modules, 4), np.ones((4, 4), np.uint8)))
    assert code is not None
    return code


@pytest.mark.parametrize("how", ["fields", "copy", "pickle", "replace"])
def test_a_read_code_equals_one_built_from_its_fields(how: str) -> None:
    code = read_code()
    if how == "fields":
        other = halvern.QRCode(**{f.name: getattr(read_code(), f.name) for f in dataclasses.fields(code)})
    elif how == "copy":
        other = copy.deepcopy(code)
    elif how == "pickle":
        other = pickle.loads(pickle.dumps(code))
    else:
        other = dataclasses.replace(code, text=code.text)
    assert other == code and hash(other) == hash(code)
    assert other.matrix == code.matrix and code.matrix is code.matrix
    assert (code.matrix.error_correction, code.matrix.mask, code.matrix.version) == ("Q", 5, 2)


@pytest.mark.parametrize("size", [-21, 0, 20, 21, 22, 25, 177, 181, 2**70])
@pytest.mark.parametrize("length", [0, 441, 625])
@pytest.mark.parametrize("step", ["restore", "decode"])
def test_bytes_and_an_int_size_fare_as_any_buffer(size: int, length: int, step: str) -> None:
    modules = np.array(segno.make_qr("bytes", version=2, error="m").matrix, np.uint8).tobytes()
    matrix = (modules * 2)[:length]

    def outcome(buffer: Any) -> Any:
        fn = halvern.strict_restore_qr_matrix if step == "restore" else halvern.decode_matrix
        try:
            return fn(buffer, size)
        except ValueError as error:
            return str(error)

    assert outcome(matrix) == outcome(bytearray(matrix))


@pytest.mark.parametrize("change", ["decoded class", "segment class", "levels"])
def test_result_types_refuses_what_it_cannot_build_and_keeps_what_it_had(change: str) -> None:
    from halvern import _engine
    from halvern._content import FNC1, MODE_NAMES
    from halvern._symbology import LEVELS, SYMBOLOGIES

    @dataclasses.dataclass(frozen=True, slots=True)
    class Other:
        text: str

    arguments: list[Any] = [halvern.Decoded, halvern.Segment, LEVELS, MODE_NAMES, FNC1, SYMBOLOGIES]
    arguments[{"decoded class": 0, "segment class": 1, "levels": 2}[change]] = (
        LEVELS[:3] if change == "levels" else Other)
    with pytest.raises(TypeError):
        _engine.result_types(*arguments)
    modules = np.array(segno.make_qr("kept", version=1, error="m", boost_error=False).matrix, np.uint8).tobytes()
    decoded = _engine.decode(modules, 21)
    assert type(decoded) is halvern.Decoded and decoded.error_correction == "M" and decoded.segments[0].mode == "byte"


@pytest.mark.parametrize("held", ["gray array", "bits bytes"])
def test_the_common_inputs_read_as_through_the_full_checks(held: str) -> None:
    # A C-contiguous uint8 array and bytes with their size go to the native read
    # unchecked; a Fortran-ordered array and a bytearray take the full checks.
    modules = np.kron(np.array(segno.make_qr("plain", version=2, error="m").matrix, np.uint8), np.ones((3, 3), np.uint8))
    bits = np.zeros((120, 200), np.uint8)
    bits[30 : 30 + modules.shape[0], 110 : 110 + modules.shape[1]] = modules
    fast: Any
    full: Any
    if held == "gray array":
        fast = np.where(bits == 1, 20, 230).astype(np.uint8)
        full, size = np.asfortranarray(fast), ()
    else:
        fast, size = (bits * 255).tobytes(), (200, 120)  # any nonzero byte is dark
        full = bytearray(fast)
    codes = [(c.text, c.position, c.inverted) for c in halvern.read_all(fast, *size)]
    assert codes == [(c.text, c.position, c.inverted) for c in halvern.read_all(full, *size)]
    assert [(text, inverted) for text, _, inverted in codes] == [("plain", False)]


def _page(*symbols: segno.QRCode, damaged: int = 0) -> np.ndarray:
    """The symbols side by side at 3 px/module on one bits page; the first with
    `damaged` codewords' worth of modules flipped in its bottom-right data area."""
    drawn = [np.kron(np.pad(np.array(s.matrix, np.uint8), 4), np.ones((3, 3), np.uint8)) for s in symbols]
    page = np.zeros((max(d.shape[0] for d in drawn), sum(d.shape[1] for d in drawn)), np.uint8)
    left = 0
    for d in drawn:
        page[: d.shape[0], left : left + d.shape[1]] = d
        left += d.shape[1]
    for k in range(damaged):
        row, col = 4 + 20 - 2 * k, 4 + 20  # modules of different codewords up the right column
        page[3 * row : 3 * row + 3, 3 * col : 3 * col + 3] ^= 1
    return page


def _fields(code: Any) -> tuple[Any, ...]:
    return (type(code), *(getattr(code, f.name) for f in dataclasses.fields(code)), code.decoded,
            code.symbology_identifier)


PAGES = {
    "two codes, the first corrected": lambda: _page(segno.make_qr("first", version=1, error="h"),
                                                    segno.make_qr("second", version=1, error="h"), damaged=3),
    "numeric and byte segments": lambda: _page(segno.make_qr([("0123456789", segno.consts.MODE_NUMERIC),
                                                              ("bytes", segno.consts.MODE_BYTE)],
                                                             version=2, error="m")),
    "Shift JIS bytes": lambda: _page(segno.make_qr("\u3042\u3044".encode("cp932"), mode="byte", version=1, error="m")),
    "kanji": lambda: _page(segno.make_qr("\u6f22\u5b57", mode="kanji", version=1, error="m")),
    "kanji and byte segments": lambda: _page(segno.make_qr([("\u6f22\u5b57", segno.consts.MODE_KANJI),
                                                            ("abc", segno.consts.MODE_BYTE)], version=2, error="m")),
    "hanzi": lambda: _page(segno.make_qr("\u6c49\u5b57", mode="hanzi", version=1, error="m")),
    "UTF-8 under its ECI": lambda: _page(segno.make_qr("h\u00e9llo \u20ac", mode="byte", eci=True, encoding="utf-8",
                                                       version=2, error="m")),
    "light on dark": lambda: 1 - _page(segno.make_qr("light", version=1, error="m")),
}


@pytest.mark.parametrize("name", list(PAGES))
def test_the_native_codes_are_the_codes_the_python_layer_builds(name: str) -> None:
    # The plain array with every family is read and its codes built in one native call;
    # naming the families as a list takes the Python layer's own path to the same read.
    page = PAGES[name]()
    everything = ["QR", "Micro QR", "rMQR"]
    native, python = halvern.read_all(page), halvern.read_all(page, symbologies=everything)
    assert [_fields(c) for c in native] == [_fields(c) for c in python] and native
    assert _fields(halvern.read(page)) == _fields(halvern.read(page, symbologies=everything))
    bits = page.tobytes()
    assert _fields(halvern.read(bits, page.shape[1], page.shape[0])) == _fields(halvern.read(page))
