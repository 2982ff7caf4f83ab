"""The ``halvern`` command: reads the QR code in each image file given.

    halvern FILE...            the decoded text of each file
    halvern --matrix FILE...   the restored symbol as text art, with its format
    halvern --json FILE...     one JSON object per file and line
    halvern --demo             the sample image shipped with the package

PBM and PGM are read with no dependency; other formats go through Pillow. Only regular
files and ``-`` are read, images up to --max-pixels pixels. Exit status: 0 when every
file gave a code, 1 when some gave none, 2 for usage errors and unreadable files (2 wins
over 1).
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
from halvern._files import (
    DEFAULT_MAX_PIXELS,
    STDIN_LABEL,
    STDIN_PATH,
    ImageFileError,
    LoadedImage,
    image_from_bytes,
    load_image,
)

__all__ = ["main"]

EXIT_FOUND = 0
EXIT_NOT_FOUND = 1
EXIT_ERROR = 2
EXIT_INTERRUPTED = 130

DEMO_RESOURCE = ("data", "demo.pbm")
DEMO_LABEL = "<demo>"
QUIET_ZONE = 4
DARK, LIGHT = "\u2588\u2588", "  "
ASCII_DARK = "##"
# C0 and C1 controls except tab and newline: a decoded text could carry terminal
# escape sequences, which are shown escaped rather than acted on.
_CONTROLS = {c: f"\\x{c:02x}" for c in [*range(0x20), 0x7F, *range(0x80, 0xA0)]
             if c not in (0x09, 0x0A)}


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
    max_pixels: int = DEFAULT_MAX_PIXELS


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


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
    parser.add_argument("--max-pixels", type=_positive_int, default=DEFAULT_MAX_PIXELS,
                        metavar="N",
                        help=f"refuse images of more than N pixels (default {DEFAULT_MAX_PIXELS})")
    parser.add_argument("--version", action="version", version=f"halvern {halvern.__version__}")
    return parser


def _demo_bytes() -> bytes:
    return resources.files("halvern").joinpath(*DEMO_RESOURCE).read_bytes()


def load_source(source: Source, max_pixels: int) -> LoadedImage:
    """The image in ``source``; ImageFileError naming it when there is none."""
    if source.kind == "demo":
        return image_from_bytes(_demo_bytes(), source.label, max_pixels)
    return load_image(STDIN_PATH if source.kind == "stdin" else source.path or "", max_pixels)


def _refusal(exc: ImageFileError) -> str:
    message = str(exc)
    if "image too large" in message:
        message += "; --max-pixels raises the limit"
    return message


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
        image, width, height = load_source(source, options.max_pixels)
    except ImageFileError as exc:
        message = _refusal(exc)
        print(_shown(f"halvern: {message}", err), file=err)
        if options.json:
            print(json.dumps(_json_record(source.label, None, None, options.matrix, message)),
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
    sources = [Source(STDIN_LABEL, "stdin") if f == STDIN_PATH else Source(f, "file", f)
               for f in files]
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
    options = Options(matrix=args.matrix, json=args.json, several=len(sources) > 1,
                      max_pixels=args.max_pixels)
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
