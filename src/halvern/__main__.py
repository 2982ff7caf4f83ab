"""The ``halvern`` command: reads the QR code in each image file given.

    halvern FILE...            the decoded text of each file
    halvern --matrix FILE...   the restored symbol as text art, with its format
    halvern --json FILE...     one JSON object per file and line
    halvern --demo             the sample image shipped with the package

PBM and PGM are read here with no dependency; other formats go through Pillow. Exit
status: 0 when every file gave a code, 1 when some gave none, 2 for usage errors and
unreadable files (2 wins over 1).
"""

from __future__ import annotations

import argparse
import io
import json
import os
import sys
from collections.abc import Sequence
from dataclasses import dataclass
from importlib import resources
from typing import Any, TextIO

import halvern
from halvern._content import decode_matrix
from halvern._pnm import PNMError, is_pnm, parse_pnm, read_bytes

__all__ = ["main"]

EXIT_FOUND = 0
EXIT_NOT_FOUND = 1
EXIT_ERROR = 2
EXIT_INTERRUPTED = 130

DEMO_RESOURCE = ("data", "demo.pbm")
DEMO_LABEL = "<demo>"
STDIN_LABEL = "<stdin>"
PILLOW_HINT = 'pip install "halvern[image]"'
QUIET_ZONE = 4
DARK, LIGHT = "\u2588\u2588", "  "
ASCII_DARK = "##"
# Leading bytes of the formats Pillow reads that people are likely to pass; they let a
# missing Pillow be told apart from a file that is no image at all.
IMAGE_SIGNATURES = (
    b"\x89PNG\r\n\x1a\n",
    b"\xff\xd8\xff",
    b"GIF87a",
    b"GIF89a",
    b"BM",
    b"II*\x00",
    b"MM\x00*",
    b"P3",
    b"P6",
    b"P7",
    b"qoif",
)
# C0 and C1 controls except tab and newline: a decoded text could carry terminal
# escape sequences, which are shown escaped rather than acted on.
_CONTROLS = {c: f"\\x{c:02x}" for c in [*range(0x20), 0x7F, *range(0x80, 0xA0)]
             if c not in (0x09, 0x0A)}


class UnreadableError(Exception):
    """A file that gives no image; the message is printed as it is."""


@dataclass(frozen=True)
class Source:
    """What to read and how to name it in messages."""

    label: str
    kind: str  # "file", "stdin" or "demo"
    path: str | None = None


@dataclass(frozen=True)
class Options:
    matrix: bool
    json: bool
    several: bool


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="halvern",
        description="Read the QR code in each image file: PBM and PGM directly, "
        "PNG, JPEG and others with Pillow.",
        epilog="Exit status: 0 every file gave a code, 1 some gave none, "
        "2 usage error or unreadable file.",
    )
    parser.add_argument("files", nargs="*", metavar="FILE", help="image file; - reads standard input")
    parser.add_argument("--matrix", action="store_true",
                        help="print the restored symbol as text art with its format")
    parser.add_argument("--json", action="store_true", help="print one JSON object per file and line")
    parser.add_argument("--demo", action="store_true", help="read the sample image shipped with halvern")
    parser.add_argument("--version", action="version", version=f"halvern {halvern.__version__}")
    return parser


def _demo_bytes() -> bytes:
    return resources.files("halvern").joinpath(*DEMO_RESOURCE).read_bytes()


def _source_bytes(source: Source) -> bytes:
    if source.kind == "demo":
        return _demo_bytes()
    if source.kind == "stdin":
        return sys.stdin.buffer.read()
    assert source.path is not None
    return read_bytes(source.path)


def _pillow_gray(image: Any) -> Any:
    """A Pillow image as one the reader binarizes well: transparency laid on white (a
    code drawn on a transparent background is otherwise black on black), and wide
    integer or float samples stretched to 8 bit rather than clipped."""
    from PIL import Image

    if "A" in image.getbands() or "transparency" in image.info:
        rgba = image.convert("RGBA")
        white = Image.new("RGBA", rgba.size, (255, 255, 255, 255))
        return Image.alpha_composite(white, rgba).convert("L")
    if image.mode in ("I", "F") or image.mode.startswith("I;16"):
        top = image.convert("F").getextrema()[1]
        if top > 255:
            return image.convert("F").point(lambda v: v * (255.0 / top)).convert("L")
        return image.convert("F").convert("L")
    return image


def _pillow_image(data: bytes, label: str) -> Any:
    try:
        from PIL import Image, UnidentifiedImageError
    except ImportError:
        if data.startswith(IMAGE_SIGNATURES) or data[8:12] == b"WEBP":
            raise UnreadableError(f"reading {label} needs Pillow: {PILLOW_HINT}") from None
        raise UnreadableError(
            f"{label}: not a PBM or PGM image (other formats need Pillow: {PILLOW_HINT})"
        ) from None
    try:
        image = Image.open(io.BytesIO(data))
        image.load()
        return _pillow_gray(image)
    except UnidentifiedImageError:
        raise UnreadableError(f"{label}: not an image") from None
    except Exception as exc:  # noqa: BLE001 - Pillow plugins raise all sorts for damaged files
        raise UnreadableError(f"{label}: cannot read image: {exc}") from None


def load_image(source: Source) -> tuple[Any, int | None, int | None]:
    """The image in ``source`` as arguments for ``halvern.read``: bits with their width
    and height for PBM and PGM, a Pillow image (and no size) otherwise."""
    try:
        data = _source_bytes(source)
        if not data or is_pnm(data):
            pnm = parse_pnm(data)
            return pnm.bits(), pnm.width, pnm.height
    except PNMError as exc:
        raise UnreadableError(f"{source.label}: {exc}") from None
    except OSError as exc:  # standard input or the installed demo
        raise UnreadableError(f"{source.label}: {exc.strerror or exc}") from None
    return _pillow_image(data, source.label), None, None


def _supports(stream: TextIO, text: str) -> bool:
    try:
        text.encode(stream.encoding or "utf-8")
    except (UnicodeEncodeError, LookupError):
        return False
    return True


def matrix_art(matrix: halvern.QRMatrix, dark: str = DARK, light: str = LIGHT) -> list[str]:
    """The symbol as lines of text, two characters per module, inside a quiet zone."""
    width = matrix.size + 2 * QUIET_ZONE
    blank = [light * width] * QUIET_ZONE
    body = [
        light * QUIET_ZONE + "".join(dark if m else light for m in row) + light * QUIET_ZONE
        for row in matrix.rows()
    ]
    return [*blank, *body, *blank]


def format_line(matrix: halvern.QRMatrix) -> str:
    return (f"version {matrix.version}, error correction {matrix.error_correction}, "
            f"mask {matrix.mask}, score {matrix.score:.3f}")


def _shown(text: str, stream: TextIO) -> str:
    """``text`` made safe for ``stream``: controls escaped on a terminal, characters the
    stream cannot encode backslash-escaped."""
    if stream.isatty():
        text = text.translate(_CONTROLS)
    encoding = stream.encoding or "utf-8"
    try:
        text.encode(encoding)
    except (UnicodeEncodeError, LookupError):
        text = text.encode(encoding, "backslashreplace").decode(encoding)
    return text


def _json_record(label: str, matrix: halvern.QRMatrix | None,
                 code: halvern.QRCode | halvern.Decoded | None,
                 with_matrix: bool, error: str | None = None) -> dict[str, Any]:
    record: dict[str, Any] = {"file": label, "found": matrix is not None}
    record["text"] = code.text if code else None
    record["version"] = matrix.version if matrix else None
    record["error_correction"] = matrix.error_correction if matrix else None
    record["mask"] = matrix.mask if matrix else None
    record["corrected"] = code.corrected if code else None
    record["score"] = matrix.score if matrix else None
    if with_matrix:
        record["size"] = matrix.size if matrix else None
        record["modules"] = ([bytes(b + 48 for b in row).decode() for row in matrix.rows()]
                             if matrix else None)
    if error is not None:
        record["error"] = error
    return record


def _decoded(matrix: halvern.QRMatrix) -> halvern.Decoded | None:
    """The content of a restored matrix, for the JSON record; None when it does not decode."""
    try:
        return decode_matrix(matrix.modules, matrix.size)
    except ValueError:
        return None


def _print_plain(source: Source, options: Options, matrix: halvern.QRMatrix,
                 code: halvern.QRCode | halvern.Decoded | None, out: TextIO) -> None:
    prefix = f"{source.label}: " if options.several else ""
    if options.matrix:
        if options.several:
            print(_shown(f"{source.label}:", out), file=out)
        dark = DARK if _supports(out, DARK) else ASCII_DARK
        for line in matrix_art(matrix, dark):
            print(line, file=out)
        print(format_line(matrix), file=out)
    else:
        assert code is not None
        print(_shown(prefix + code.text, out), file=out)


def read_source(source: Source, options: Options, out: TextIO, err: TextIO) -> int:
    """Reads one source and prints what it gives; the exit status it stands for."""
    try:
        image, width, height = load_image(source)
    except UnreadableError as exc:
        print(_shown(f"halvern: {exc}", err), file=err)
        if options.json:
            print(json.dumps(_json_record(source.label, None, None, options.matrix, str(exc))),
                  file=out)
        return EXIT_ERROR
    if options.matrix:
        matrix = halvern.read_matrix(image, width, height)
        code: halvern.QRCode | halvern.Decoded | None = (
            _decoded(matrix) if matrix is not None and options.json else None)
    else:
        code = halvern.read(image, width, height)
        matrix = code.matrix if code is not None else None
    if options.json:
        print(json.dumps(_json_record(source.label, matrix, code, options.matrix)), file=out)
    elif matrix is not None:
        _print_plain(source, options, matrix, code, out)
    out.flush()
    if matrix is None:
        print(_shown(f"halvern: {source.label}: no QR code found", err), file=err)
        return EXIT_NOT_FOUND
    return EXIT_FOUND


def _sources(files: Sequence[str], demo: bool) -> list[Source]:
    sources = [Source(STDIN_LABEL, "stdin") if f == "-" else Source(f, "file", f) for f in files]
    if demo:
        sources.append(Source(DEMO_LABEL, "demo"))
    return sources


def _run(argv: Sequence[str] | None, out: TextIO, err: TextIO) -> int:
    parser = _parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:  # --help, --version and usage errors
        return exc.code if isinstance(exc.code, int) else EXIT_ERROR
    if not args.files and not args.demo:
        parser.print_usage(err)
        print("halvern: error: give at least one FILE, or --demo", file=err)
        return EXIT_ERROR
    sources = _sources(args.files, args.demo)
    options = Options(matrix=args.matrix, json=args.json, several=len(sources) > 1)
    status = EXIT_FOUND
    for source in sources:
        status = max(status, read_source(source, options, out, err))
    return status


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command with ``argv`` (default: the process arguments); the exit status."""
    try:
        return _run(argv, sys.stdout, sys.stderr)
    except KeyboardInterrupt:
        print("halvern: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader of our output went away (``halvern *.png | head``); point stdout at
        # the null device so that the interpreter's final flush does not fail again.
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
        except (OSError, ValueError, io.UnsupportedOperation):
            pass
        return EXIT_ERROR


if __name__ == "__main__":
    sys.exit(main())
