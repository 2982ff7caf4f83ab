r"""The ``halvern`` command: reads the QR codes in each image file given.

    halvern FILE|FOLDER...     the text of every code, one line each
    halvern --matrix FILE...   each restored symbol as text art, with its format
    halvern --json FILE...     JSON Lines: one object per code and per file without one
    halvern --demo             the sample image shipped with the package
    halvern --annotate DIR FILE...   also a PNG per file in DIR, its codes drawn on it
    halvern --explain DIR FILE...    a PNG per file without a code: what the reader saw

PBM and PGM are read with no dependency; other formats go through Pillow. Only regular
files and ``-`` are read, images up to --max-pixels pixels. A folder is read
recursively, its image files chosen by extension (the rest skipped); a file named on
the command line is read whatever its name. ``--jobs N`` reads N files at a time; the
output keeps the order of the files.

Plain output is one code per line, ``FILE: TEXT`` when several files are read; a Micro
QR or rMQR code's text follows its symbology, ``Micro QR: TEXT``. ``--symbology NAME``
(repeatable) looks for those symbologies alone. ``--join`` holds back the parts of
structured-append sequences and prints each complete sequence once, joined, after the
files (``FILE + FILE: TEXT``); the parts of one that is not complete are printed as
they are, with the reason on standard error (status 1). In the
text (and the file name) a backslash is written ``\\``, a newline ``\n``, a carriage
return ``\r`` and the other line separators as ``\xNN`` or ``\uNNNN``, so that a line
always holds one whole code.

Exit status, the same in every mode: 0 when every file gave a code, 1 when some gave
none or held a symbol that could not be decoded, 2 for usage errors, unreadable
files and a standard output that takes no more (closed, full, failing: named on
standard error; a reader that went away, as with ``| head``, ends the run quietly); 2
wins over 1.
"""

from __future__ import annotations

import argparse
import base64
import io
import json
import os
import sys
from collections.abc import Callable, Sequence
from dataclasses import dataclass, replace
from functools import partial
from importlib import resources
from typing import Any, TextIO

import halvern
from halvern._batch import folder_images, in_order, progress_bar
from halvern._files import (
    DEFAULT_MAX_PIXELS,
    STDIN_LABEL,
    STDIN_PATH,
    ImageFileError,
    LoadedImage,
    image_from_bytes,
    load_image,
)
from halvern._symbology import SYMBOLOGIES
from halvern._pictures import Pictures, check_pictures, picture_names, write_pictures

__all__ = ["main"]

EXIT_FOUND = 0
EXIT_NOT_FOUND = 1
EXIT_ERROR = 2
EXIT_INTERRUPTED = 130
# Each thread holds one decoded image while it reads: the bound keeps a mistyped
# --jobs from holding thousands of them.
MAX_JOBS = 256

DEMO_RESOURCE = ("data", "demo.pbm")
DEMO_LABEL = "<demo>"
QUIET_ZONE = 4
DARK, LIGHT = "\u2588\u2588", "  "
ASCII_DARK = "##"
NOT_FOUND = "no QR code found"
UNDECODED = "found a QR code but could not decode it"
# C0 and C1 controls except tab and newline: a decoded text could carry terminal
# escape sequences, which are shown escaped rather than acted on.
_CONTROLS = {c: f"\\x{c:02x}" for c in [*range(0x20), 0x7F, *range(0x80, 0xA0)]
             if c not in (0x09, 0x0A)}
# Everything str.splitlines() breaks at, and the backslash that introduces the escapes:
# escaped, a text with newlines stays on its one line of plain output.
_LINE_BREAKS = "\n\r\x0b\x0c\x1c\x1d\x1e\x85\u2028\u2029"
_ONE_LINE = {ord("\\"): "\\\\", ord("\n"): "\\n", ord("\r"): "\\r"} | {
    ord(c): (f"\\x{ord(c):02x}" if ord(c) < 0x100 else f"\\u{ord(c):04x}")
    for c in _LINE_BREAKS[2:]
}

Result = halvern.QRCode | halvern.Undecoded

# ---------------------------------------------------------------------------
# Sources and options


@dataclass(frozen=True)
class Source:
    """What to read and how to name it in messages."""

    label: str
    kind: str  # "file", "stdin" or "demo"
    path: str | None = None


@dataclass(frozen=True)
class Options:
    """How the results are printed."""

    matrix: bool
    json: bool
    several: bool  # files are named on each line
    max_pixels: int = DEFAULT_MAX_PIXELS
    symbologies: tuple[str, ...] = SYMBOLOGIES
    join: bool = False  # structured-append parts held back and printed joined
    try_harder: bool = True  # False (--fast): one pass, no fallbacks


@dataclass(frozen=True)
class Sources:
    """What the arguments name, with a message and status for each that names nothing
    readable (a folder that cannot be listed, one without images)."""

    sources: list[Source]
    problems: list[tuple[str, int]]
    folders: bool


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def _jobs(text: str) -> int:
    value = _positive_int(text)
    if value > MAX_JOBS:
        raise argparse.ArgumentTypeError(f"must be at most {MAX_JOBS}, not {value}")
    return value


def _symbology(text: str) -> str:
    """A symbology's name as typed, case and a hyphen or underscore for the space
    forgiven ("micro-qr")."""
    wanted = text.lower().replace("-", " ").replace("_", " ")
    for name in SYMBOLOGIES:
        if name.lower() == wanted:
            return name
    raise argparse.ArgumentTypeError(
        f"unknown symbology {text!r}; choose from {', '.join(map(repr, SYMBOLOGIES))}")


# The options that take no value, and those that name a folder to write pictures into.
_SWITCHES = (
    ("--matrix", "print each restored symbol as text art with its format"),
    ("--json", "print JSON Lines: one object per code, and one per file without a code or "
     "with an error"),
    ("--join", "join the structured-append sequences found across the files: each complete "
     "one is printed once, its text joined, after the files"),
    ("--fast", "one pass without fallbacks or retries (try_harder=False): faster, reads "
     "fewer hard images"),
    ("--demo", "read the sample image shipped with halvern"),
    ("--no-progress", "no progress bar (shown on a terminal for long batches)"),
)
_FOLDERS = (
    ("--annotate", "write a PNG of each file into DIR with its codes drawn on it (needs Pillow)"),
    ("--explain", "write a PNG of each file without a code into DIR: what the reader saw "
     "(needs Pillow)"),
)


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="halvern",
        description="Read the QR codes in each image file: PBM and PGM directly, "
        "PNG, JPEG and others with Pillow. A FOLDER is read recursively, its image "
        "files chosen by extension. Plain output is one code per line, 'FILE: TEXT' "
        "when several files are read; a backslash in the text is written \\\\, a "
        "newline \\n, a carriage return \\r and other line separators \\xNN or "
        "\\uNNNN, so that each line holds one whole code.",
        epilog="Exit status, the same in every mode: 0 every file gave a code, 1 some "
        "gave none or held a QR code that could not be decoded, 2 usage error, "
        "unreadable file or standard output that takes no more.",
    )
    parser.add_argument("files", nargs="*", metavar="FILE",
                        help="image file or folder; - reads standard input")
    for flag, text in _SWITCHES:
        parser.add_argument(flag, action="store_true", help=text)
    parser.add_argument("--symbology", action="append", type=_symbology, metavar="NAME",
                        help="look for this symbology alone: QR, 'Micro QR' or rMQR "
                        "(repeat for several; default all)")
    for flag, text in _FOLDERS:
        parser.add_argument(flag, metavar="DIR", help=text)
    parser.add_argument("--jobs", "-j", type=_jobs, default=1, metavar="N",
                        help="read N files at a time on N threads (default 1); the "
                        "output keeps the order of the files")
    parser.add_argument("--max-pixels", type=_positive_int, default=DEFAULT_MAX_PIXELS,
                        metavar="N",
                        help=f"refuse images of more than N pixels (default {DEFAULT_MAX_PIXELS})")
    parser.add_argument("--version", action="version", version=f"halvern {halvern.__version__}")
    return parser


def _folder_sources(folder: str) -> tuple[list[Source], list[tuple[str, int]]]:
    paths, problems = folder_images(folder)
    found = [(p, EXIT_ERROR) for p in problems]
    if not paths and not problems:
        found.append((f"{folder}: no image files in the folder", EXIT_NOT_FOUND))
    return [Source(p, "file", p) for p in paths], found


def collect_sources(files: Sequence[str], demo: bool) -> Sources:
    """The sources the arguments name, in order, folders expanded."""
    sources: list[Source] = []
    problems: list[tuple[str, int]] = []
    folders = False
    for name in files:
        if name == STDIN_PATH:
            sources.append(Source(STDIN_LABEL, "stdin"))
        elif os.path.isdir(name):
            folders = True
            inside, trouble = _folder_sources(name)
            sources += inside
            problems += trouble
        else:
            sources.append(Source(name, "file", name))
    if demo:
        sources.append(Source(DEMO_LABEL, "demo"))
    return Sources(sources, problems, folders)


# ---------------------------------------------------------------------------
# Reading


@dataclass(frozen=True)
class FileResult:
    """What one source gave: its codes and failures, or why it gave no image."""

    source: Source
    results: tuple[Result, ...] = ()
    refusal: str | None = None
    picture_problems: tuple[str, ...] = ()


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


def read_source(source: Source, max_pixels: int,
                symbologies: tuple[str, ...] = SYMBOLOGIES, pictures: Pictures = Pictures(),
                picture: str = "", try_harder: bool = True) -> FileResult:
    """Every code and located symbol of one source, and its pictures written (named
    ``picture``); runs on any thread, prints nothing."""
    try:
        image = load_source(source, max_pixels)
    except ImageFileError as exc:
        return FileResult(source, refusal=_refusal(exc))
    results = tuple(halvern.read_all(image, return_errors=True, symbologies=symbologies,
                                     try_harder=try_harder))
    problems = (write_pictures(pictures, picture, image, results, symbologies)
                if pictures.wanted else [])
    return FileResult(source, results, picture_problems=tuple(problems))


def status_of(result: FileResult) -> int:
    """The exit status one source stands for."""
    if result.refusal is not None or result.picture_problems:
        return EXIT_ERROR
    if not result.results or any(isinstance(r, halvern.Undecoded) for r in result.results):
        return EXIT_NOT_FOUND
    return EXIT_FOUND


# ---------------------------------------------------------------------------
# Text output


def one_line(text: str) -> str:
    """``text`` with backslashes and line breaks escaped: one line, read back unambiguously."""
    return text.translate(_ONE_LINE)


def _supports(stream: TextIO, text: str) -> bool:
    try:
        text.encode(stream.encoding or "utf-8")
    except (UnicodeEncodeError, LookupError):
        return False
    return True


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
    """The symbol's symbology, version, level, mask and finder score, as --matrix prints
    them."""
    return (f"{matrix.symbology} version {matrix.version}, "
            f"error correction {matrix.error_correction}, "
            f"mask {matrix.mask}, score {matrix.score:.3f}")


def _print_matrix(label: str, matrix: halvern.QRMatrix, options: Options, out: TextIO) -> None:
    if options.several:
        print(_shown(one_line(label) + ":", out), file=out)
    dark = DARK if _supports(out, DARK) else ASCII_DARK
    for line in matrix_art(matrix, dark):
        print(line, file=out)
    print(format_line(matrix), file=out)


def _print_results(result: FileResult, options: Options, out: TextIO) -> None:
    """Each code's text, or with --matrix each restored symbol (those that did not
    decode too, when their format is readable)."""
    label = result.source.label
    prefix = one_line(label) + ": " if options.several else ""
    for item in result.results:
        if options.matrix:
            if item.matrix is not None:
                _print_matrix(label, item.matrix, options, out)
        elif isinstance(item, halvern.QRCode):
            named = "" if item.symbology == "QR" else item.symbology + ": "
            print(_shown(prefix + named + one_line(item.text), out), file=out)


def messages(result: FileResult) -> list[str]:
    """What standard error says about one source: why it gave no image, that it holds
    no code, or why each symbol found in it did not decode."""
    if result.refusal is not None:
        return [result.refusal]
    label = one_line(result.source.label)
    pictures = [one_line(p) for p in result.picture_problems]
    if not result.results:
        return [f"{label}: {NOT_FOUND}", *pictures]
    return [f"{label}: {UNDECODED}: {item.reason}" for item in result.results
            if isinstance(item, halvern.Undecoded)] + pictures


# ---------------------------------------------------------------------------
# JSON Lines


def _point(point: tuple[float, float]) -> list[float]:
    return [round(point[0], 3), round(point[1], 3)]


def json_record(label: str, item: Result | None, with_matrix: bool,
                error: str | None) -> dict[str, Any]:
    """One JSON object: a code, a symbol that did not decode (``error`` says why), or a
    file without either (``item`` None)."""
    code = item if isinstance(item, halvern.QRCode) else None
    matrix = item.matrix if item is not None else None
    record: dict[str, Any] = {
        "file": label,
        "found": item is not None,
        "symbology": item.symbology if item is not None else None,
        "symbology_identifier": code.symbology_identifier if code else None,
        "text": code.text if code else None,
        "data": base64.b64encode(code.data).decode("ascii") if code else None,
        "version": item.version if item is not None else None,
        "model": code.model if code else None,
        "error_correction": matrix.error_correction if matrix else None,
        "mask": matrix.mask if matrix else None,
        "corrected": code.corrected if code else None,
        "score": matrix.score if matrix else None,
        "position": [_point(p) for p in item.position] if item is not None else None,
        "orientation": round(item.orientation, 3) if item is not None else None,
        "mirrored": item.mirrored if item is not None else None,
        "inverted": item.inverted if item is not None else None,
        "error": error,
    }
    if with_matrix:
        record["size"] = matrix.size if matrix else None
        record["modules"] = ([bytes(b + 48 for b in row).decode() for row in matrix.rows()]
                             if matrix else None)
    return record


def json_records(result: FileResult, with_matrix: bool) -> list[dict[str, Any]]:
    """The JSON objects of one source: one per code or failure, or one saying why there
    is none."""
    label = result.source.label
    if result.refusal is not None:
        return [json_record(label, None, with_matrix, result.refusal)]
    if not result.results:
        return [json_record(label, None, with_matrix, NOT_FOUND)]
    return [json_record(label, item, with_matrix,
                        f"{UNDECODED}: {item.reason}" if isinstance(item, halvern.Undecoded)
                        else None)
            for item in result.results]


# ---------------------------------------------------------------------------
# One source's output


class OutputFailed(Exception):
    """Standard output took no more of the results (closed, full, or failing); the
    message names the problem. A reader that went away is a BrokenPipeError instead,
    which ends the run quietly."""


def _is_part(item: Result) -> bool:
    return isinstance(item, halvern.QRCode) and item.structured_append is not None


def _write_results(result: FileResult, options: Options, out: TextIO) -> None:
    if options.join and not options.matrix:
        kept = tuple(r for r in result.results if not _is_part(r))
        if result.results and not kept:
            return
        result = replace(result, results=kept)
    _guarded(out, partial(_write_unguarded, result, options, out))


def _write_unguarded(result: FileResult, options: Options, out: TextIO) -> None:
    if options.json:
        for record in json_records(result, options.matrix):
            print(json.dumps(record), file=out)
    else:
        _print_results(result, options, out)


def _guarded(out: TextIO, write: Callable[[], None]) -> None:
    """Runs ``write`` and flushes ``out``; a failing standard output is OutputFailed."""
    try:
        write()
        out.flush()
    except BrokenPipeError:
        raise
    except (OSError, ValueError) as exc:  # ValueError: the stream itself was closed
        reason = exc.strerror if isinstance(exc, OSError) and exc.strerror else str(exc)
        raise OutputFailed(f"cannot write to standard output: {reason}") from None


def report(result: FileResult, options: Options, out: TextIO, err: TextIO) -> int:
    """Prints what one source gave; the exit status it stands for."""
    _write_results(result, options, out)
    for message in messages(result):
        print(_shown(f"halvern: {message}", err), file=err)
    return status_of(result)


# ---------------------------------------------------------------------------
# Structured-append sequences joined (--join)


def _joined_record(sequence: halvern.StructuredAppend, files: list[str]) -> dict[str, Any]:
    data = None if sequence.data is None else base64.b64encode(sequence.data).decode("ascii")
    return {"files": files, "found": True, "joined": sequence.reason is None,
            "symbology": sequence.codes[0].symbology, "text": sequence.text, "data": data,
            "parity": sequence.parity, "total": sequence.total, "error": sequence.reason}


def _write_joined(sequence: halvern.StructuredAppend, files: list[str], options: Options,
                  out: TextIO) -> None:
    """A sequence's line: its joined text, or with --json its object (that of one not
    joined says why in "error")."""
    if options.json:
        print(json.dumps(_joined_record(sequence, files)), file=out)
    elif sequence.reason is None:
        prefix = one_line(" + ".join(files)) + ": " if options.several else ""
        print(_shown(prefix + one_line(sequence.text or ""), out), file=out)


def report_sequences(parts: list[tuple[Source, halvern.QRCode]], options: Options, out: TextIO,
                     err: TextIO) -> int:
    """Prints each complete sequence among the held-back parts joined, and the parts of
    each other one as they are, with why it was not joined; the exit status."""
    status = EXIT_FOUND
    sources = {id(code): source for source, code in parts}
    for sequence in halvern.merge_structured_append(code for _, code in parts):
        files = list(dict.fromkeys(sources[id(c)].label for c in sequence.codes))
        _guarded(out, partial(_write_joined, sequence, files, options, out))
        if sequence.reason is None:
            continue
        status = EXIT_NOT_FOUND
        print(_shown(f"halvern: structured append (parity {sequence.parity}, {sequence.total} "
                     f"symbols) not joined: {sequence.reason}", err), file=err)
        group = [(s, c) for s, c in parts if c.structured_append is not None
                 and c.structured_append[1:] == (sequence.total, sequence.parity)]
        for source, code in group:
            _write_results(FileResult(source, (code,)), replace(options, join=False), out)
    return status


def _stem(source: Source) -> str:
    """What a source's pictures are named after."""
    if source.kind != "file" or source.path is None:
        return source.kind
    return os.path.splitext(os.path.basename(source.path))[0] or "image"


def _pictures(args: argparse.Namespace, sources: Sequence[Source]) -> Pictures:
    inputs = frozenset(os.path.realpath(s.path) for s in sources if s.path is not None)
    return Pictures(args.annotate, args.explain, inputs)


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
    trouble = check_pictures(args.annotate, args.explain)
    if trouble is not None:
        print(_shown(f"halvern: error: {one_line(trouble)}", err), file=err)
        return EXIT_ERROR
    named = collect_sources(args.files, args.demo)
    pictures = _pictures(args, named.sources)
    status = EXIT_FOUND
    for message, problem in named.problems:
        print(_shown(f"halvern: {one_line(message)}", err), file=err)
        status = max(status, problem)
    options = Options(matrix=args.matrix, json=args.json,
                      several=len(named.sources) > 1 or named.folders,
                      max_pixels=args.max_pixels,
                      symbologies=tuple(args.symbology or SYMBOLOGIES), join=args.join,
                      try_harder=not args.fast)
    parts: list[tuple[Source, halvern.QRCode]] = []
    progress = progress_bar(len(named.sources), err, not args.no_progress)
    try:
        names = picture_names([_stem(s) for s in named.sources])
        for result in in_order(lambda job: read_source(job[0], options.max_pixels,
                                                       options.symbologies, pictures, job[1],
                                                       options.try_harder),
                               zip(named.sources, names), args.jobs):
            with progress.paused():
                status = max(status, report(result, options, out, err))
            progress.advance()
            parts += [(result.source, r) for r in result.results
                      if isinstance(r, halvern.QRCode) and _is_part(r)]
    finally:
        progress.close()
    if options.join:
        status = max(status, report_sequences(parts, options, out, err))
    return status


def _discard_standard_output() -> None:
    """Points standard output at the null device, so that the interpreter's final
    flush of what is still buffered does not fail (and print) again."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError, io.UnsupportedOperation):
        pass


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command with ``argv`` (default: the process arguments); the exit status."""
    if sys.stdout is None:  # started with its standard output closed (``>&-``)
        print("halvern: standard output is closed", file=sys.stderr)
        return EXIT_ERROR
    try:
        return _run(argv, sys.stdout, sys.stderr)
    except KeyboardInterrupt:
        print("halvern: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader of our output went away (``halvern *.png | head``).
        _discard_standard_output()
        return EXIT_ERROR
    except OutputFailed as exc:
        _discard_standard_output()
        print(f"halvern: {exc}", file=sys.stderr)
        return EXIT_ERROR


if __name__ == "__main__":
    sys.exit(main())
