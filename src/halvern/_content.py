"""What a QR symbol carries: its segments as bytes and as text.

The native decoder (``halvern._engine``) reads the format information, removes the
data mask, gathers and de-interleaves the codewords, corrects the Reed–Solomon
blocks and parses the bit stream; this module turns its result into ``Decoded``.

Text rule: an ECI designator selects the character set of the byte segments that
follow it. Without one, a byte segment is UTF-8 when it is valid UTF-8, else Shift
JIS (code page 932, which covers the vendor characters) when it is valid Shift JIS,
else ISO-8859-1. Kanji segments are Shift JIS (code page 932), Hanzi segments
GB 2312, numeric and alphanumeric segments ASCII. Under FNC1 an alphanumeric "%"
stands for the group separator (GS, 0x1D) and "%%" for "%".
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

from halvern import _engine
from halvern._frozen import maker
from halvern._symbology import (
    LEVELS,
    SYMBOLOGIES,
    identifier,
    matrix_buffer,
    version_name,
)

__all__ = ["Decoded", "Segment", "decode_matrix"]

# ---------------------------------------------------------------------------
# Character sets.

MODE_NAMES = {1: "numeric", 2: "alphanumeric", 4: "byte", 8: "kanji", 13: "hanzi"}

# Python codecs of the ECI assignments the decoder accepts; the native decoder
# refuses every other designator with "Unsupported ECI n.".
ECI_CODECS = {
    0: "cp437",
    1: "latin-1",
    2: "cp437",
    3: "latin-1",
    4: "iso8859-2",
    5: "iso8859-3",
    6: "iso8859-4",
    7: "iso8859-5",
    8: "iso8859-6",
    9: "iso8859-7",
    10: "iso8859-8",
    11: "iso8859-9",
    12: "iso8859-10",
    13: "iso8859-11",
    15: "iso8859-13",
    16: "iso8859-14",
    17: "iso8859-15",
    18: "iso8859-16",
    20: "cp932",
    21: "cp1250",
    22: "cp1251",
    23: "cp1252",
    24: "cp1256",
    25: "utf-16-be",
    26: "utf-8",
    27: "ascii",
    28: "big5",
    29: "gb18030",
    30: "euc_kr",
    170: "ascii",
}

# Shift JIS as one codec for kanji segments and unannounced byte segments alike.
SHIFT_JIS = "cp932"
HANZI = "gb2312"


def _byte_text(data: bytes, eci: int | None) -> str:
    if eci is not None:
        codec = ECI_CODECS[eci]
        try:
            return data.decode(codec)
        except UnicodeDecodeError:
            raise ValueError(f"Byte segment is not valid {codec} text.") from None
    # Encoders routinely put UTF-8 in byte segments unannounced, and Japanese ones
    # Shift JIS; valid UTF-8 is rarely anything else by accident.
    for codec in ("utf-8", SHIFT_JIS):
        try:
            return data.decode(codec)
        except UnicodeDecodeError:
            pass
    return data.decode("latin-1")


def _double_byte_text(data: bytes, codec: str, what: str) -> str:
    # Two bytes per character. Every pair a segment's 13-bit values make opens with a
    # lead byte of its codec (Shift JIS 0x81-0x9F and 0xE0-0xEB, GB 2312 0xA1-0xFA), so
    # the decoder takes each pair as one character or fails on it: the whole decodes as
    # the pairs one by one would (checked on all 8192 values, and 200,000 random runs).
    try:
        return data.decode(codec)
    except UnicodeDecodeError:
        raise ValueError(f"Invalid {what} characters.") from None


def segment_text(mode: str, data: bytes, eci: int | None) -> str:
    """The text of one segment's bytes (see the module's text rule)."""
    if mode == "byte":
        return _byte_text(data, eci)
    if mode == "kanji":
        return _double_byte_text(data, SHIFT_JIS, "kanji")
    if mode == "hanzi":
        return _double_byte_text(data, HANZI, "Hanzi")
    return data.decode("ascii")


# ---------------------------------------------------------------------------
# Results.

# A repr shows this many characters of a text: a version 40 symbol holds 7089, and a
# result printed in a session or a log should fit on a line or two.
REPR_TEXT = 40


def short_text(text: str, limit: int = REPR_TEXT) -> str:
    """``repr(text)``, cut to its first ``limit`` characters with "..." when longer."""
    if len(text) <= limit:
        return repr(text)
    return repr(text[:limit]) + "..."


def summary(name: str, **shown: object) -> str:
    """A short repr: ``name(key=value, ...)``, each value as given (already a repr or a
    formatted number)."""
    return f"{name}({', '.join(f'{key}={value}' for key, value in shown.items())})"


@dataclass(frozen=True, slots=True, repr=False)
class Segment:
    """One run of data in a single mode.

    Attributes:
        mode: "numeric", "alphanumeric", "byte", "kanji" or "hanzi".
        data: the segment's bytes: ASCII for numeric and alphanumeric, the bytes
            themselves for byte, Shift JIS for kanji, GB 2312 for Hanzi.
        text: the bytes as text (see the module's text rule).
        eci: the ECI designator in effect, None when none was announced.
    """

    mode: str
    data: bytes
    text: str
    eci: int | None

    def __repr__(self) -> str:
        return summary("Segment", mode=repr(self.mode), text=short_text(self.text), eci=repr(self.eci))


@dataclass(frozen=True, slots=True, repr=False)
class Decoded:
    """What a QR symbol carries, and how it was stored.

    Attributes:
        text: the text of all segments, concatenated.
        data: the payload bytes of all segments, concatenated.
        segments: the data segments in order (``Segment``).
        version: 1 to 40 for QR, "M1" to "M4" for Micro QR, "R7x43" to "R17x139"
            (rows by columns) for rMQR.
        error_correction: the level, "L", "M", "Q" or "H".
        mask: the data mask pattern, 0 to 7.
        corrected: codewords fixed by error correction.
        structured_append: ``(index from 0, total, parity)`` of a symbol in a
            structured-append sequence, None otherwise.
        fnc1: "first" (GS1), "second" (an industry application) or None.
        application_indicator: the application indicator of FNC1 in second position
            (two digits or a letter), None otherwise.
        symbology: "QR", "Micro QR" or "rMQR".
        model: a QR symbol's model, 1 or 2; None for the other symbologies.
    """

    text: str
    data: bytes
    segments: tuple[Segment, ...]
    version: int | str
    error_correction: str
    mask: int
    corrected: int
    structured_append: tuple[int, int, int] | None
    fnc1: str | None = None
    application_indicator: str | None = None
    symbology: str = "QR"
    model: int | None = 2

    @property
    def symbology_identifier(self) -> str:
        """The symbology identifier, ``]Q0`` (Model 1) to ``]Q6``, from the model and the
        data's ECI and FNC1 use."""
        eci = any(s.eci is not None for s in self.segments)
        return identifier(self.model, eci, self.fnc1)

    def __repr__(self) -> str:
        return summary("Decoded", text=short_text(self.text), version=self.version,
                       error_correction=repr(self.error_correction), mask=self.mask,
                       corrected=self.corrected)


_segment = maker(Segment)
_decoded = maker(Decoded)
FNC1 = (None, "first", "second")


def application_indicator(value: int | None) -> str | None:
    """The application indicator of FNC1 in second position as its text: two digits, or
    a letter (the native value is the letter's code + 100)."""
    if value is None:
        return None
    return f"{value:02d}" if value < 100 else chr(value - 100)


def segment_texts(raw_segments: tuple[tuple[int, int | None, bytes], ...]) -> list[str]:
    """The text of each of the native decoder's segments; ValueError when one's bytes are
    not text of its character set."""
    texts: list[str] = []
    for mode, eci, data in raw_segments:
        if mode == 4 and eci is None:
            # The common segment inline: a function call a segment was a tenth of the
            # Python layer of a small read.
            try:
                texts.append(data.decode("utf-8"))
                continue
            except UnicodeDecodeError:
                pass
        texts.append(segment_text(MODE_NAMES[mode], data, eci))
    return texts


def segments_of(raw_segments: tuple[tuple[int, int | None, bytes], ...],
                texts: list[str]) -> tuple[Segment, ...]:
    """``Segment`` values of the native decoder's segments and their texts."""
    if len(raw_segments) == 1:
        (mode, eci, data), = raw_segments
        return (_segment(MODE_NAMES[mode], data, texts[0], eci),)
    return tuple([_segment(MODE_NAMES[mode], data, text, eci)
                  for (mode, eci, data), text in zip(raw_segments, texts, strict=True)])


def payload(raw_segments: tuple[tuple[int, int | None, bytes], ...]) -> bytes:
    """The bytes of all segments, concatenated."""
    if len(raw_segments) == 1:
        return raw_segments[0][2]
    return b"".join([data for _, _, data in raw_segments])


def decoded_from_native(result: tuple[Any, ...]) -> Decoded:
    """``Decoded`` from the native decoder's tuple; ValueError when a segment's bytes are
    not text of its character set."""
    (version, level, mask, corrected, raw_segments, fnc1, application, append, symbology, model,
     rows, columns) = result
    texts = segment_texts(raw_segments)
    # A QR version and no application indicator inline: the common case, where the
    # calls cost a tenth of this function.
    return _decoded(
        "".join(texts), payload(raw_segments), segments_of(raw_segments, texts),
        version if symbology == 0 else version_name(symbology, version, rows, columns),
        LEVELS[level], mask, corrected, append, FNC1[fnc1],
        None if application is None else application_indicator(application),
        SYMBOLOGIES[symbology], model or None)


def decode_matrix(modules: object, size: int) -> Decoded:
    """Decodes a matrix of ``size`` x ``size`` modules (row-major, nonzero is dark).

    The matrix need not be restored: the format information is read with up to 3 bit
    errors per copy, version information (from version 7) must match the size.

    Raises ValueError: "Not a QR symbol size.", "Matrix length does not match the
    size.", "Format information is unreadable.", "Version information does not match
    the size.", "Too many errors to correct." (more damaged codewords in a block than
    error correction may repair, which for versions 1 to 3 keeps some codewords back
    against misdecodes) or a message naming the fault of a malformed bit stream.
    Raises TypeError when ``modules`` is not a buffer of one-byte items.
    """
    if type(modules) is not bytes:
        # The native call checks the size and a bytes matrix itself; any other matrix is
        # made a contiguous buffer of one-byte items here first.
        modules = matrix_buffer(modules)
    decoded = _engine.decode(modules, size)
    return decoded_from_native(decoded) if isinstance(decoded, tuple) else decoded


# The native decode builds Decoded and its Segments itself where every segment's text
# is UTF-8 (announced or not), ASCII, kanji or Hanzi (the tuple otherwise, for decoded_from_native's text rule): these
# are the classes and names it builds them with.
_engine.result_types(Decoded, Segment, LEVELS, MODE_NAMES, FNC1, SYMBOLOGIES)
