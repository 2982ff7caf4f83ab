"""The command line: outputs and exit statuses, run in-process on images drawn here."""

from __future__ import annotations

import base64
import io
import json
import math
import os
import random
import re
import socket
import struct
import subprocess
import sys
import threading
import time
import zlib
from pathlib import Path

import pytest
import segno

import halvern
import halvern._files
from halvern.__main__ import main

DEMO_TEXT = "Hello from halvern!"
SCALE = 3
QUIET = 4


def symbol(text: str, version: int = 2, error: str = "m") -> segno.QRCode:
    return segno.make_qr(text, version=version, error=error, boost_error=False)


def pixel_rows(qr: segno.QRCode) -> list[list[int]]:
    """The symbol with a quiet zone, SCALE pixels per module, 1 = black."""
    size = len(qr.matrix)
    padded = [[0] * (size + 2 * QUIET) for _ in range(QUIET)]
    padded += [[0] * QUIET + list(row) + [0] * QUIET for row in qr.matrix]
    padded += [[0] * (size + 2 * QUIET) for _ in range(QUIET)]
    return [[v for v in row for _ in range(SCALE)] for row in padded for _ in range(SCALE)]


def pbm_p4(rows: list[list[int]]) -> bytes:
    raster = bytearray()
    for row in rows:
        padded = row + [0] * (-len(row) % 8)
        raster += bytes(sum(b << (7 - j) for j, b in enumerate(padded[i : i + 8]))
                        for i in range(0, len(padded), 8))
    return b"P4\n%d %d\n" % (len(rows[0]), len(rows)) + bytes(raster)


def pbm_p1(rows: list[list[int]]) -> bytes:
    body = b"\n".join(b"".join(b"%d" % v for v in row) for row in rows)
    return b"P1\n# plain\n%d %d\n" % (len(rows[0]), len(rows)) + body + b"\n"


def pgm_p5(rows: list[list[int]]) -> bytes:
    # Dark 40 and light 200 of 255: the reader has to find the threshold itself.
    gray = bytes(40 if v else 200 for row in rows for v in row)
    return b"P5\n%d %d\n255\n" % (len(rows[0]), len(rows)) + gray


def pgm_p2_16bit(rows: list[list[int]]) -> bytes:
    body = b"\n".join(b" ".join(b"9000" if v else b"60000" for v in row) for row in rows)
    return b"P2\n%d %d\n65535\n" % (len(rows[0]), len(rows)) + body + b"\n"


def write(tmp_path: Path, name: str, data: bytes) -> str:
    path = tmp_path / name
    path.write_bytes(data)
    return str(path)


def code_file(tmp_path: Path, name: str, text: str, writer=pbm_p4, **kw) -> str:
    return write(tmp_path, name, writer(pixel_rows(symbol(text, **kw))))


def blank_file(tmp_path: Path, name: str = "blank.pbm") -> str:
    return write(tmp_path, name, pbm_p4([[0] * 40 for _ in range(30)]))


def run(capsys: pytest.CaptureFixture[str], *argv: str) -> tuple[int, str, str]:
    status = main(list(argv))
    out, err = capsys.readouterr()
    assert "Traceback" not in err
    return status, out, err


@pytest.mark.parametrize("writer", [pbm_p4, pbm_p1, pgm_p5, pgm_p2_16bit],
                         ids=["P4", "P1", "P5", "P2-16bit"])
def test_decodes_each_netpbm_format(tmp_path, capsys, writer) -> None:
    path = code_file(tmp_path, "code.pnm", "netpbm works", writer)
    assert run(capsys, path) == (0, "netpbm works\n", "")


def test_several_files_are_prefixed_in_order(tmp_path, capsys) -> None:
    first = code_file(tmp_path, "a.pbm", "first")
    second = code_file(tmp_path, "b.pbm", "second", version=3, error="h")
    status, out, _ = run(capsys, second, first)
    assert status == 0
    assert out == f"{second}: second\n{first}: first\n"


def art_modules(lines: list[str]) -> list[list[int]]:
    cells = [[line[i : i + 2] for i in range(0, len(line), 2)] for line in lines]
    assert {c for row in cells for c in row} <= {"\u2588\u2588", "  "}
    return [[int(c != "  ") for c in row] for row in cells]


@pytest.mark.parametrize(("version", "error", "mask"), [(1, "l", 0), (4, "q", 6)])
def test_matrix_art_shows_the_symbol(tmp_path, capsys, version, error, mask) -> None:
    qr = segno.make_qr("art", version=version, error=error, mask=mask, boost_error=False)
    path = write(tmp_path, "art.pbm", pbm_p4(pixel_rows(qr)))
    status, out, _ = run(capsys, "--matrix", path)
    *art, info = out.splitlines()
    assert status == 0
    modules = art_modules(art)
    size = len(qr.matrix)
    assert len(modules) == size + 2 * QUIET
    assert all(len(row) == size + 2 * QUIET for row in modules)
    inner = [row[QUIET:-QUIET] for row in modules[QUIET:-QUIET]]
    assert inner == [list(row) for row in qr.matrix]
    assert sum(map(sum, modules)) == sum(map(sum, inner))  # the quiet zone is light
    assert info.startswith(f"QR version {version}, error correction {error.upper()}, mask {mask}, ")


def test_json_records(tmp_path, capsys) -> None:
    good = code_file(tmp_path, "good.pbm", "json me", version=3, error="q")
    blank = blank_file(tmp_path)
    status, out, _ = run(capsys, "--json", good, blank)
    found, missing = map(json.loads, out.splitlines())
    assert status == 1
    position = found.pop("position")
    corner, far = QUIET * SCALE, (QUIET + 29) * SCALE
    expected = [(corner, corner), (far, corner), (far, far), (corner, far)]
    assert all(math.dist(p, q) <= 1.5 for p, q in zip(position, expected, strict=True))
    assert found == {"file": good, "found": True, "symbology": "QR",
                     "symbology_identifier": "]Q1", "text": "json me",
                     "data": base64.b64encode(b"json me").decode(), "version": 3, "model": 2,
                     "error_correction": "Q", "mask": symbol("json me", 3, "q").mask,
                     "corrected": 0, "score": 1.0, "orientation": pytest.approx(0.0, abs=0.5),
                     "mirrored": False, "inverted": False, "error": None}
    assert missing["file"] == blank and missing["found"] is False
    assert missing["error"] == "no QR code found"
    assert all(missing[k] is None for k in ("text", "data", "version", "mask", "score",
                                            "position", "mirrored"))


def test_json_with_matrix_carries_the_modules(tmp_path, capsys) -> None:
    qr = symbol("modules", version=2, error="l")
    path = write(tmp_path, "m.pbm", pbm_p4(pixel_rows(qr)))
    status, out, _ = run(capsys, "--json", "--matrix", path)
    record = json.loads(out)
    assert status == 0
    assert record["size"] == 25 and record["text"] == "modules"
    assert record["modules"] == ["".join(map(str, row)) for row in qr.matrix]


def test_image_without_a_code(tmp_path, capsys) -> None:
    path = blank_file(tmp_path)
    status, out, err = run(capsys, path)
    assert (status, out) == (1, "")
    assert f"{path}: no QR code found" in err


def not_an_image(tmp_path: Path) -> str:
    return write(tmp_path, "notes.txt", b"Shopping list:\n- milk\n")


@pytest.mark.parametrize(
    ("make", "message"),
    [
        (lambda t: str(t / "missing.pbm"), "no such file"),
        (not_an_image, "not"),
        (lambda t: write(t, "empty.pbm", b""), "empty file"),
        (lambda t: write(t, "cut.pbm", pbm_p4(pixel_rows(symbol("x")))[:-50]), "truncated"),
        (lambda t: write(t, "huge.pgm", b"P5 90000 90000 255\n\x00"), "too large"),
    ],
    ids=["missing", "text", "empty", "truncated", "huge"],
)
def test_unreadable_files(tmp_path, capsys, make, message) -> None:
    path = make(tmp_path)
    status, out, err = run(capsys, path)
    assert (status, out) == (2, "")
    assert err.startswith(f"halvern: {path}: ")
    assert message in err


@pytest.mark.parametrize(
    ("kinds", "expected"),
    [(["good", "blank"], 1), (["good", "missing"], 2), (["missing", "blank", "good"], 2),
     (["blank", "text"], 2), (["good", "good"], 0)],
)
def test_mixed_files_exit_status(tmp_path, capsys, kinds, expected) -> None:
    makers = {"good": lambda: code_file(tmp_path, "good.pbm", "fine"),
              "blank": lambda: blank_file(tmp_path),
              "missing": lambda: str(tmp_path / "gone.pbm"),
              "text": lambda: not_an_image(tmp_path)}
    paths = [makers[k]() for k in kinds]
    status, out, err = run(capsys, *paths)
    assert status == expected
    # Every file is still tried: the good ones print, the others are named on stderr.
    assert out.count(": fine\n") == kinds.count("good")
    assert all(p in err for p, k in zip(paths, kinds, strict=True) if k != "good")


@pytest.mark.parametrize("argv", [[], ["--no-such-flag", "x.pbm"]])
def test_usage_errors(capsys, argv) -> None:
    status, out, err = run(capsys, *argv)
    assert (status, out) == (2, "")
    assert "usage: halvern" in err


def test_demo_in_process(capsys) -> None:
    assert run(capsys, "--demo") == (0, DEMO_TEXT + "\n", "")
    status, out, _ = run(capsys, "--demo", "--json")
    record = json.loads(out)
    assert (status, record["file"], record["text"]) == (0, "<demo>", DEMO_TEXT)
    assert record["version"] in (3, 4)


def test_demo_as_a_module() -> None:
    done = subprocess.run([sys.executable, "-m", "halvern", "--demo"], capture_output=True,
                          text=True, timeout=60, check=False)
    assert (done.returncode, done.stdout, done.stderr) == (0, DEMO_TEXT + "\n", "")


def test_standard_input(tmp_path, capsys, monkeypatch) -> None:
    data = pbm_p4(pixel_rows(symbol("piped")))
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(data)))
    assert run(capsys, "-") == (0, "piped\n", "")


def test_controls_are_escaped_on_a_terminal(tmp_path, capsys, monkeypatch) -> None:
    path = code_file(tmp_path, "esc.pbm", "red\x1b[31m!")
    monkeypatch.setattr(sys.stdout, "isatty", lambda: True)
    assert run(capsys, path) == (0, "red\\x1b[31m!\n", "")


def png_bytes(mode: str) -> bytes:
    from PIL import Image

    rows = pixel_rows(symbol("via pillow"))
    if mode == "RGBA":
        # Black modules on a transparent (0, 0, 0, 0) background.
        pixels = [(0, 0, 0, 255) if v else (0, 0, 0, 0) for row in rows for v in row]
    elif mode == "I;16":
        pixels = [1000 if v else 50000 for row in rows for v in row]
    else:
        pixels = [(20, 20, 90) if v else (250, 240, 230) for row in rows for v in row]
    image = Image.new(mode, (len(rows[0]), len(rows)))
    image.putdata(pixels)
    buffer = io.BytesIO()
    image.save(buffer, format="PNG")
    return buffer.getvalue()


@pytest.mark.parametrize("mode", ["RGB", "RGBA", "I;16"])
def test_png_through_pillow(tmp_path, capsys, mode) -> None:
    pytest.importorskip("PIL")
    path = write(tmp_path, "code.png", png_bytes(mode))
    assert run(capsys, path) == (0, "via pillow\n", "")


def test_damaged_png(tmp_path, capsys) -> None:
    pytest.importorskip("PIL")
    path = write(tmp_path, "cut.png", png_bytes("RGB")[:120])
    status, _, err = run(capsys, path)
    assert status == 2 and err.startswith(f"halvern: {path}: ")


@pytest.mark.parametrize(("data", "message"),
                         [(b"\x89PNG\r\n\x1a\n" + b"\x00" * 20, "needs Pillow"),
                          (b"Shopping list\n", "not a PBM or PGM image")])
def test_without_pillow(tmp_path, capsys, monkeypatch, data, message) -> None:
    monkeypatch.setitem(sys.modules, "PIL", None)  # makes `import PIL` fail
    path = write(tmp_path, "file.png", data)
    status, out, err = run(capsys, path)
    assert (status, out) == (2, "")
    assert path in err and message in err and 'pip install "halvern[image]"' in err


# ---------------------------------------------------------------------------------------------
# Hostile files: each gets a message naming it and exit 2, at once and without a warning.


def refused(capsys: pytest.CaptureFixture[str], label: str, *argv: str) -> str:
    """The message for a refused input, after checking the status and the file's name."""
    status, out, err = run(capsys, *argv)
    assert (status, out) == (2, "")
    assert err.startswith(f"halvern: {label}: ") and err.count("\n") == 1
    return err


def png_claiming(width: int, height: int) -> bytes:
    """A valid 1 x 1 PNG whose header claims width x height: a bomb that is caught only
    if the size is checked before the pixels are decoded."""
    data = bytearray(tiny_png())
    ihdr = 8 + 8  # signature, then the chunk's length and type
    data[ihdr : ihdr + 8] = struct.pack(">II", width, height)
    data[ihdr + 13 : ihdr + 17] = struct.pack(">I", zlib.crc32(bytes(data[12 : ihdr + 13])))
    return bytes(data)


def tiny_png() -> bytes:
    from PIL import Image

    buffer = io.BytesIO()
    Image.new("L", (1, 1), 255).save(buffer, format="PNG")
    return buffer.getvalue()


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="no FIFOs here")
def test_fifo_is_refused_without_waiting(tmp_path) -> None:
    # Run apart: a regression would wait for a writer forever.
    fifo = tmp_path / "pipe.pbm"
    os.mkfifo(fifo)
    done = subprocess.run([sys.executable, "-m", "halvern", str(fifo)], capture_output=True,
                          text=True, timeout=60, check=False)
    assert (done.returncode, done.stdout) == (2, "")
    assert done.stderr == f"halvern: {fifo}: is a FIFO, not a regular file\n"


@pytest.mark.parametrize(
    ("make", "message"),
    [
        (lambda t: "/dev/zero", "is a device, not a regular file"),
        (lambda t: "/dev/null", "is a device, not a regular file"),
        (lambda t: bound_socket(t), "is a socket, not a regular file"),
    ],
    ids=["zero", "null", "socket"],
)
def test_special_files_are_refused(tmp_path, capsys, make, message) -> None:
    path = make(tmp_path)
    if not os.path.exists(path):
        pytest.skip(f"{path} does not exist here")
    assert message in refused(capsys, path, path)


def bound_socket(tmp_path: Path) -> str:
    if not hasattr(socket, "AF_UNIX"):
        pytest.skip("no Unix sockets here")
    path = str(tmp_path / "sock")
    server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    server.bind(path)
    server.close()  # the file stays
    return path


class Endless(io.RawIOBase):
    """A stream of one byte value that never ends; it counts what was read."""

    def __init__(self, value: int = 0) -> None:
        self.value = value
        self.given = 0

    def readable(self) -> bool:
        return True

    def readinto(self, buffer) -> int:  # type: ignore[no-untyped-def]
        view = memoryview(buffer).cast("B")
        view[:] = bytes([self.value]) * len(view)
        self.given += len(view)
        return len(view)


@pytest.mark.parametrize("value", [0, ord("x")])
def test_endless_standard_input_is_given_up_early(capsys, monkeypatch, value) -> None:
    stream = Endless(value)
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BufferedReader(stream)))
    assert refused(capsys, "<stdin>", "-").endswith(": not an image\n")
    assert stream.given <= 4 << 20


@pytest.mark.parametrize("source", ["file", "stdin"])
def test_input_over_the_size_limit(tmp_path, capsys, monkeypatch, source) -> None:
    # An image header and more bytes than the limit allows.
    monkeypatch.setattr(halvern._files, "MIN_FILE_BYTES", 100_000)
    data = b"P5 100 100 255\n" + bytes(200_000)
    argv = ["--max-pixels", "10000"]
    if source == "stdin":
        monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(data)))
        err = refused(capsys, "<stdin>", *argv, "-")
    else:
        path = write(tmp_path, "long.pgm", data)
        err = refused(capsys, path, *argv, path)
    assert "too large" in err and "100000" in err


@pytest.mark.parametrize(
    ("name", "data", "limit"),
    [
        ("huge.pgm", b"P5 90000 90000 255\n\x00", None),
        ("wide.pbm", b"P4 200000000 1\n" + bytes(100), None),
        ("plain.pgm", b"P2\n# comment\n%d %d\n255\n" % (12000, 12000), None),
        ("over.pbm", None, "1199"),
    ],
    ids=["huge-p5", "wide-p4", "huge-p2", "over-raised-limit"],
)
def test_pixel_limit(tmp_path, capsys, name, data, limit) -> None:
    path = write(tmp_path, name, data) if data else blank_file(tmp_path, name)
    argv = ["--max-pixels", limit, path] if limit else [path]
    err = refused(capsys, path, *argv)
    assert "image too large" in err and "--max-pixels raises the limit" in err


def test_raised_limit_reads_the_file(tmp_path, capsys) -> None:
    path = code_file(tmp_path, "code.pbm", "limit")
    rows = len(pixel_rows(symbol("limit")))
    assert run(capsys, "--max-pixels", str(rows * rows), path) == (0, "limit\n", "")
    assert run(capsys, "--max-pixels", str(rows * rows - 1), path)[0] == 2


@pytest.mark.parametrize("option", ["--max-pixels", "--jobs"])
@pytest.mark.parametrize("value", ["0", "-5", "many", "1e9"])
def test_counts_must_be_positive_whole_numbers(capsys, option, value) -> None:
    status, out, err = run(capsys, option, value, "--demo")
    assert (status, out) == (2, "")
    assert option in err


def test_jobs_are_bounded(capsys) -> None:
    assert run(capsys, "--jobs", "256", "--demo")[0] == 0
    status, _, err = run(capsys, "--jobs", "257", "--demo")
    assert status == 2 and "at most 256" in err


@pytest.mark.parametrize(("size", "raised"), [((13000, 13000), False), ((10000, 10000), True),
                                              ((1 << 20, 1 << 20), False)])
def test_png_bomb_is_refused_before_decoding(tmp_path, capsys, size, raised) -> None:
    pytest.importorskip("PIL")
    from PIL import Image

    path = write(tmp_path, "bomb.png", png_claiming(*size))
    saved = Image.MAX_IMAGE_PIXELS
    if raised:
        # Past Pillow's own warning threshold: the size passes our limit, and the missing
        # pixels make the decoding fail, still without a warning of Pillow's.
        err = refused(capsys, path, "--max-pixels", str(1 << 28), path)
        assert "cannot read image" in err
    else:
        err = refused(capsys, path, path)
        assert f"image too large: {size[0]}x{size[1]} pixels" in err
    assert Image.MAX_IMAGE_PIXELS == saved


def test_load_image_gives_what_read_takes(tmp_path) -> None:
    from halvern._files import load_image

    path = code_file(tmp_path, "api.pbm", "loaded")
    loaded = load_image(path)
    assert loaded.width == loaded.height
    code = halvern.read(loaded)
    assert code is not None and code.text == "loaded"
    assert load_image(Path(path)) == loaded


@pytest.mark.parametrize("limit", [0, -1, True, 2.5, "10"])
def test_load_image_checks_its_limit(tmp_path, limit) -> None:
    from halvern._files import load_image

    with pytest.raises(ValueError, match="max_pixels"):
        load_image(blank_file(tmp_path), max_pixels=limit)


@pytest.mark.parametrize("name", ["missing.pbm", "."])
def test_load_image_errors_name_the_file(tmp_path, name) -> None:
    from halvern._files import ImageFileError, load_image

    path = str(tmp_path / name)
    with pytest.raises(ImageFileError, match=re.escape(path) + ": (no such file|is a directory)$"):
        load_image(path)


@pytest.mark.parametrize(("magic", "raster"), [(b"P5", 6 * 5), (b"P4", 1 * 5), (b"P2", None)])
def test_standard_input_stops_after_a_binary_image(capsys, monkeypatch, magic, raster) -> None:
    # A valid 6 x 5 image, then endless zeros: binary formats end where the raster does;
    # a plain one has no end to find and meets the size limit.
    monkeypatch.setattr(halvern._files, "MIN_FILE_BYTES", 1 << 22)
    header = magic + b" 6 5" + (b" 255" if magic != b"P4" else b"") + b"\n"
    stream = Endless(0 if raster else ord("0"))
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(
        io.BufferedReader(PrefixedStream(header, stream))))
    status, out, err = run(capsys, "--max-pixels", "30", "-")
    if raster is None:
        assert (status, out) == (2, "") and "input too large" in err
    else:
        assert (status, err) == (1, "halvern: <stdin>: no QR code found\n")
        assert stream.given <= 4 << 20  # the sniff and a chunk at most


class PrefixedStream(io.RawIOBase):
    """``prefix``, then whatever ``rest`` gives."""

    def __init__(self, prefix: bytes, rest: io.RawIOBase) -> None:
        self.prefix = prefix
        self.rest = rest

    def readable(self) -> bool:
        return True

    def readinto(self, buffer) -> int:  # type: ignore[no-untyped-def]
        if self.prefix:
            n = min(len(buffer), len(self.prefix))
            buffer[:n] = self.prefix[:n]
            self.prefix = self.prefix[n:]
            return n
        return self.rest.readinto(buffer)


def test_closed_standard_input(capsys, monkeypatch) -> None:
    monkeypatch.setattr(sys, "stdin", None)
    assert "standard input is closed" in refused(capsys, "<stdin>", "-")


def test_standard_input_in_a_format_known_by_pillow_alone(capsys, monkeypatch) -> None:
    # TGA starts with no signature: past the sniff, Pillow itself recognises the header.
    pytest.importorskip("PIL")
    from PIL import Image

    rows = pixel_rows(symbol("targa"))
    rows = [[v for v in row for _ in range(2)] for row in rows for _ in range(2)]
    image = Image.new("RGB", (len(rows[0]), len(rows)))
    image.putdata([(10, 10, 10) if v else (250, 250, 250) for row in rows for v in row])
    buffer = io.BytesIO()
    image.save(buffer, format="TGA")
    assert len(buffer.getvalue()) > halvern._files.SNIFF_BYTES
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(buffer.getvalue())))
    assert run(capsys, "-") == (0, "targa\n", "")


# ---------------------------------------------------------------------------------------------
# Several codes, symbols that do not decode, folders, threads, progress


def smudged(matrix: list[list[int]], seed: int = 5) -> list[list[int]]:
    """Half the modules of the middle band flipped: finders and format stay, the data is
    beyond repair."""
    rng = random.Random(seed)
    n = len(matrix)
    return [[v ^ (rng.random() < 0.5) if 9 <= r < n - 9 and c >= 9 else v
             for c, v in enumerate(row)] for r, row in enumerate(matrix)]


def picture(*matrices: list[list[int]]) -> list[list[int]]:
    """The symbols side by side, each in its quiet zone, SCALE pixels a module."""
    side = max(len(m) for m in matrices) + 2 * QUIET
    tiles = [[[0] * QUIET + list(m[r - QUIET]) + [0] * QUIET
              if QUIET <= r < QUIET + len(m) else [0] * (len(m) + 2 * QUIET)
              for r in range(side)] for m in matrices]
    rows = [sum((tile[r] for tile in tiles), []) for r in range(side)]
    return [[v for v in row for _ in range(SCALE)] for row in rows for _ in range(SCALE)]


def broken_file(tmp_path: Path, name: str = "broken.pbm") -> str:
    bad = smudged([list(r) for r in symbol("smudged beyond repair", 3, "l").matrix])
    return write(tmp_path, name, pbm_p4(picture(bad)))


BROKEN = "found a QR code but could not decode it: too many errors to correct"


def test_every_code_of_a_file_is_printed(tmp_path, capsys) -> None:
    first, second = symbol("left one", 2), symbol("right one", 3, "q")
    path = write(tmp_path, "two.pbm", pbm_p4(picture(first.matrix, second.matrix)))
    status, out, _ = run(capsys, path)
    assert (status, sorted(out.splitlines())) == (0, ["left one", "right one"])
    status, out, _ = run(capsys, "--json", path)
    records = [json.loads(line) for line in out.splitlines()]
    assert sorted(r["text"] for r in records) == ["left one", "right one"]
    # Each record's corners are those of its own symbol.
    for record in records:
        left = record["position"][0][0] < len(first.matrix) * SCALE
        assert left == (record["text"] == "left one")


@pytest.mark.parametrize("mode", [[], ["--matrix"], ["--json"], ["--json", "--matrix"]],
                         ids=["plain", "matrix", "json", "json-matrix"])
def test_undecodable_symbol_is_named_and_fails(tmp_path, capsys, mode) -> None:
    path = broken_file(tmp_path)
    status, out, err = run(capsys, *mode, path)
    assert status == 1
    assert err == f"halvern: {path}: {BROKEN}\n"
    if "--json" in mode:
        (record,) = map(json.loads, out.splitlines())
        assert (record["found"], record["text"], record["version"]) == (True, None, 3)
        assert record["error"] == BROKEN and len(record["position"]) == 4
        assert record["error_correction"] == "L"
        assert ("modules" in record) == ("--matrix" in mode)
    elif "--matrix" in mode:
        assert out.splitlines()[-1].startswith("QR version 3, error correction L, ")
    else:
        assert out == ""


@pytest.mark.parametrize("mode", [[], ["--matrix"], ["--json"]], ids=["plain", "matrix", "json"])
@pytest.mark.parametrize(
    ("kinds", "expected"),
    [(["good"], 0), (["good", "good"], 0), (["good", "blank"], 1), (["broken"], 1),
     (["good", "broken"], 1), (["good", "missing"], 2), (["broken", "missing", "blank"], 2)],
)
def test_exit_status_is_the_same_in_every_mode(tmp_path, capsys, mode, kinds, expected) -> None:
    makers = {"good": lambda i: code_file(tmp_path, f"good{i}.pbm", "fine"),
              "blank": lambda i: blank_file(tmp_path),
              "broken": lambda i: broken_file(tmp_path),
              "missing": lambda i: str(tmp_path / "gone.pbm")}
    paths = [makers[k](i) for i, k in enumerate(kinds)]
    status, out, err = run(capsys, *mode, *paths)
    assert status == expected
    assert all(p in err for p, k in zip(paths, kinds, strict=True) if k != "good")
    if "--json" in mode:
        records = [json.loads(line) for line in out.splitlines()]
        assert [r["file"] for r in records] == paths
        assert [r["error"] is None for r in records] == [k == "good" for k in kinds]


def unescaped(line: str) -> str:
    singles = {"\\": "\\", "n": "\n", "r": "\r"}
    return re.sub(r"\\(x[0-9a-f]{2}|u[0-9a-f]{4}|.)",
                  lambda m: singles.get(m[1]) or chr(int(m[1][1:], 16)), line)


@pytest.mark.parametrize("text", ["two\nlines", "back\\slash\\n and \\\\", "crlf\r\nend\n",
                                  "para\u2028graph\u2029", "gs1\x1d01\x1e", "plain"])
def test_multi_line_payloads_keep_one_line_per_code(tmp_path, capsys, text) -> None:
    path = code_file(tmp_path, "lines.pbm", text, version=4)
    other = code_file(tmp_path, "other.pbm", "other")
    status, out, _ = run(capsys, path, other)
    assert status == 0
    first, second = out.splitlines()
    assert first.startswith(f"{path}: ") and unescaped(first[len(path) + 2 :]) == text
    assert second == f"{other}: other"


def folder_tree(tmp_path: Path) -> tuple[Path, list[tuple[str, str]]]:
    """A folder of codes in subfolders, with files that are no images among them; the
    image files in the order the command reads them, with their texts."""
    root = tmp_path / "photos"
    (root / "b" / "deep").mkdir(parents=True)
    (root / "a").mkdir()
    files = [("z.pbm", "top"), ("a/one.PGM", "first"), ("a/two.pbm", ""),
             ("b/deep/x.pbm", "deep"), ("b/y.pbm", "why")]
    for name, text in files:
        writer = pgm_p5 if name.endswith("PGM") else pbm_p4
        rows = pixel_rows(symbol(text)) if text else [[0] * 40 for _ in range(30)]
        (root / name).write_bytes(writer(rows))
    (root / "notes.txt").write_text("not an image")
    (root / "a" / "README").write_bytes(b"\x00\x01")
    order = ["z.pbm", "a/one.PGM", "a/two.pbm", "b/y.pbm", "b/deep/x.pbm"]
    return root, [(str(root / n), dict(files)[n]) for n in order]


def test_folder_is_read_recursively_by_extension(tmp_path, capsys) -> None:
    root, files = folder_tree(tmp_path)
    status, out, err = run(capsys, str(root))
    assert status == 1  # a/two.pbm holds no code
    assert out.splitlines() == [f"{p}: {t}" for p, t in files if t]
    assert err == f"halvern: {files[2][0]}: no QR code found\n"
    status, out, _ = run(capsys, "--json", str(root))
    assert [json.loads(line)["file"] for line in out.splitlines()] == [p for p, _ in files]


def test_single_file_folder_names_its_file(tmp_path, capsys) -> None:
    folder = tmp_path / "one"
    folder.mkdir()
    path = code_file(folder, "only.pbm", "alone")
    assert run(capsys, str(folder)) == (0, f"{path}: alone\n", "")


def test_empty_folder_and_explicit_non_image(tmp_path, capsys) -> None:
    empty = tmp_path / "empty"
    empty.mkdir()
    (empty / "notes.txt").write_text("no images here")
    status, out, err = run(capsys, str(empty))
    assert (status, out) == (1, "")
    assert err == f"halvern: {empty}: no image files in the folder\n"
    # Named on the command line, a file that is no image is still an error.
    status, _, err = run(capsys, str(empty / "notes.txt"))
    assert status == 2 and "notes.txt" in err


@pytest.mark.parametrize("mode", [[], ["--json"], ["--matrix"]], ids=["plain", "json", "matrix"])
def test_jobs_give_the_serial_output(tmp_path, capsys, mode) -> None:
    root, _ = folder_tree(tmp_path)
    broken_file(root, "broken.pbm")
    for i in range(8):
        code_file(root, f"more{i}.pbm", f"code {i}", version=1 + i % 4)
    serial = run(capsys, *mode, str(root))
    assert serial[0] == 1 and serial[1].count("\n") >= 12
    assert run(capsys, *mode, "--jobs", "4", str(root)) == serial


class Terminal(io.StringIO):
    def isatty(self) -> bool:
        return True


@pytest.mark.parametrize("bar", ["built-in", "tqdm"])
@pytest.mark.parametrize("count", [3, 12])
def test_progress_bar_on_a_terminal_for_long_batches(tmp_path, monkeypatch, count, bar) -> None:
    if bar == "tqdm":
        pytest.importorskip("tqdm")
    else:
        monkeypatch.setitem(sys.modules, "tqdm", None)
    paths = [code_file(tmp_path, f"c{i}.pbm", f"n{i}") for i in range(count)]
    out, err = io.StringIO(), Terminal()
    monkeypatch.setattr(sys, "stdout", out)
    monkeypatch.setattr(sys, "stderr", err)
    assert main(paths) == 0
    assert out.getvalue().splitlines() == [f"{p}: n{i}" for i, p in enumerate(paths)]
    shown = err.getvalue()
    if count < 10:
        assert shown == ""
    else:
        assert f"{count - 1}/{count}" in shown
        # The bar is wiped at the end: what is left on the line is blank.
        assert shown.rsplit("\r", 2)[1].strip() == "" and shown.endswith("\r")
    quiet = Terminal()
    monkeypatch.setattr(sys, "stderr", quiet)
    assert main(["--no-progress", *paths]) == 0 and quiet.getvalue() == ""


def test_folder_that_cannot_be_listed(tmp_path, capsys, monkeypatch) -> None:
    root, files = folder_tree(tmp_path)
    locked = str(root / "b")
    scandir = os.scandir

    def refusing(path):  # type: ignore[no-untyped-def]
        if os.fspath(path) == locked:
            raise PermissionError(13, "Permission denied", locked)
        return scandir(path)

    monkeypatch.setattr(os, "scandir", refusing)
    status, out, err = run(capsys, str(root))
    assert status == 2
    assert f"halvern: {locked}: cannot list the folder: Permission denied\n" in err
    # The rest of the folder is still read.
    assert out.splitlines() == [f"{p}: {t}" for p, t in files if t and not p.startswith(locked)]


def test_threaded_results_come_back_in_input_order() -> None:
    from halvern._batch import in_order

    # The first items are the slowest: handed back as they finish, the order would break.
    delays = [0.06, 0.0, 0.04, 0.0, 0.02, 0.0, 0.0]
    threads: set[str] = set()

    def work(i: int) -> int:
        time.sleep(delays[i])
        threads.add(threading.current_thread().name)
        return i * i

    assert list(in_order(work, range(len(delays)), 3)) == [i * i for i in range(len(delays))]
    assert len(threads) > 1


class FailingOutput(io.StringIO):
    """A standard output that takes `room` characters, then fails with a new `error()`
    (a full disk, a device error, a reader that went away). A new one each time: an
    exception kept here would hold its traceback, and through it this stream, in a cycle
    left for the collector."""

    def __init__(self, room: int, error: type[Exception], *args: object) -> None:
        super().__init__()
        self.room, self.error, self.args = room, error, args

    def write(self, text: str) -> int:
        if self.tell() + len(text) > self.room:
            raise self.error(*self.args)
        return super().write(text)


@pytest.mark.parametrize("jobs", ["1", "3"])
@pytest.mark.parametrize("mode", [[], ["--json"]], ids=["plain", "json"])
@pytest.mark.parametrize(
    ("error", "message"),
    [((OSError, 28, "No space left on device"), "No space left on device"),
     ((OSError, 5, "Input/output error"), "Input/output error"),
     ((ValueError, "I/O operation on closed file."), "I/O operation on closed file."),
     ((BrokenPipeError, 32, "Broken pipe"), None)],
    ids=["full", "device", "closed", "pipe"])
def test_output_that_fails_mid_run(tmp_path, monkeypatch, jobs, mode, error, message) -> None:
    paths = [code_file(tmp_path, f"c{i}.pbm", f"code {i}") for i in range(6)]
    complete = io.StringIO()
    monkeypatch.setattr(sys, "stdout", complete)
    assert main([*mode, *paths]) == 0
    whole = complete.getvalue()
    out, err = FailingOutput(len(whole) // 2, *error), io.StringIO()
    monkeypatch.setattr(sys, "stdout", out)
    monkeypatch.setattr(sys, "stderr", err)
    assert main([*mode, "--jobs", jobs, *paths]) == 2
    # What got out is the start of the whole output; the run stopped there, saying why
    # in one line, or nothing at all when the reader went away.
    assert whole.startswith(out.getvalue()) and len(out.getvalue()) < len(whole)
    expected = f"halvern: cannot write to standard output: {message}\n" if message else ""
    assert err.getvalue() == expected


@pytest.mark.parametrize("mode", [[], ["--json"]], ids=["plain", "json"])
@pytest.mark.parametrize(("redirect", "message"),
                         [(">&-", "standard output is closed"),
                          ("> /dev/full", "cannot write to standard output: No space left on device")],
                         ids=["closed", "full"])
def test_unwritable_standard_output_as_a_command(mode, redirect, message) -> None:
    if not os.path.exists("/dev/full"):
        pytest.skip("needs /dev/full")
    script = f'exec "$0" -m halvern --demo "$@" {redirect}'
    done = subprocess.run(["sh", "-c", script, sys.executable, *mode], capture_output=True,
                          text=True, timeout=60, check=False)
    assert (done.returncode, done.stderr) == (2, f"halvern: {message}\n")


def test_jobs_give_the_serial_status_on_a_folder_without_codes(tmp_path, capsys) -> None:
    rng = random.Random(5)
    for i in range(24):
        noise = [[int(rng.random() < 0.1 * (i % 6)) for _ in range(48)] for _ in range(40)]
        write(tmp_path, f"n{i:02d}.pbm", pbm_p4(noise))
    serial = run(capsys, str(tmp_path))
    assert serial[0] == 1 and serial[2].count("no QR code found") == 24
    assert run(capsys, "--jobs", "4", str(tmp_path)) == serial
