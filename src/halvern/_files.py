"""Opening image files for reading: the command line's way in, and ``halvern.read``'s
when it is given a path.

Only regular files and ``-`` (standard input) are read: a FIFO would wait forever for a
writer, a device like /dev/zero never ends. A file is checked for its size before it is
read; standard input is read up to the same size, given up early when its first bytes
are no image, and left unread past the end of a binary PNM image. Every format has one
pixel limit, checked on the header before any pixel buffer is made; Pillow's own
decompression-bomb check is replaced by it, so that its warnings never reach the
caller. Every refusal is an ``ImageFileError`` (a ValueError) whose message names the
file.

A file gives its pixels as they are: a ``PNMImage`` (PBM bits, PGM gray) or a Pillow
image in the file's own mode. ``halvern._image`` turns either into the reader's input,
as it turns arrays and Pillow images that callers hold.
"""

from __future__ import annotations

import contextlib
import io
import os
import stat
import sys
import threading
import warnings
from collections.abc import Iterator
from typing import Any, BinaryIO, TypeAlias

from halvern._pnm import DEFAULT_MAX_PIXELS, PNMError, PNMImage, binary_extent, is_pnm, parse_pnm

__all__ = [
    "DEFAULT_MAX_PIXELS",
    "ImageFileError",
    "LoadedImage",
    "image_from_bytes",
    "load_image",
]

STDIN_PATH = "-"
STDIN_LABEL = "<stdin>"
PILLOW_HINT = 'pip install "halvern[image]"'
# Files are read whole. The bound is far above what a binary image at the pixel limit
# takes, and grows with the limit so that a plain PGM (up to 6 bytes a pixel) at a
# raised limit still fits.
MIN_FILE_BYTES = 1 << 30
BYTES_PER_PIXEL = 8
# Standard input is sniffed after this many bytes: 2 GB of zeros used to be held in
# memory before "not an image".
SNIFF_BYTES = 1 << 16
READ_CHUNK = 1 << 20
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
# Pillow's bomb limit is a module global: it is lifted only while a header is read,
# one thread at a time.
_PILLOW_LOCK = threading.Lock()


class ImageFileError(ValueError):
    """A file that gives no image; the message names the file and says why."""


# An image file's pixels as ``halvern.read`` takes them: a PNMImage, or a loaded Pillow
# image (Any: Pillow is optional).
LoadedImage: TypeAlias = PNMImage | Any


# ---------------------------------------------------------------- limits


def file_limit(max_pixels: int) -> int:
    """The largest file, in bytes, read for an image of at most ``max_pixels`` pixels."""
    return max(MIN_FILE_BYTES, BYTES_PER_PIXEL * max_pixels)


def _too_large(label: str, width: int, height: int, max_pixels: int) -> ImageFileError:
    return ImageFileError(
        f"{label}: image too large: {width}x{height} pixels (at most {max_pixels})"
    )


# ---------------------------------------------------------------- reading bytes


def _kind_of(mode: int) -> str | None:
    """What a file that is not regular is, for the message; None for a regular file."""
    if stat.S_ISREG(mode):
        return None
    if stat.S_ISDIR(mode):
        return "is a directory"
    if stat.S_ISFIFO(mode):
        return "is a FIFO, not a regular file"
    if stat.S_ISSOCK(mode):
        return "is a socket, not a regular file"
    if stat.S_ISCHR(mode) or stat.S_ISBLK(mode):
        return "is a device, not a regular file"
    return "is not a regular file"


def _kind_by_path(path: str) -> str | None:
    try:
        return _kind_of(os.stat(path).st_mode)
    except OSError:
        return None


def _open_regular(path: str, label: str) -> BinaryIO:
    """The file at ``path`` opened for reading, refused unless it is a regular file.

    Opened without blocking, then checked on the open descriptor: opening a FIFO
    normally waits for a writer, and a check by path before opening could be raced.
    """
    flags = os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_BINARY", 0)
    try:
        fd = os.open(path, flags)
    except FileNotFoundError:
        raise ImageFileError(f"{label}: no such file") from None
    except IsADirectoryError:
        raise ImageFileError(f"{label}: is a directory") from None
    except PermissionError:
        raise ImageFileError(f"{label}: permission denied") from None
    except OSError as exc:
        # Opening a socket fails (ENXIO); say what the path is rather than why.
        raise ImageFileError(f"{label}: {_kind_by_path(path) or exc.strerror or exc}") from None
    try:
        kind = _kind_of(os.fstat(fd).st_mode)
        if kind is not None:
            raise ImageFileError(f"{label}: {kind}")
        if hasattr(os, "set_blocking"):
            os.set_blocking(fd, True)
        return os.fdopen(fd, "rb")
    except BaseException:
        os.close(fd)
        raise


def _read_file(path: str, label: str, max_pixels: int) -> bytes:
    limit = file_limit(max_pixels)
    with _open_regular(path, label) as file:
        size = os.fstat(file.fileno()).st_size
        if size > limit:
            raise ImageFileError(f"{label}: file too large ({size} bytes, at most {limit})")
        try:
            # Sized by the file, not the limit: read(n) allocates n bytes up front.
            data = file.read(size + 1)
            if len(data) > size:  # the file grew after fstat
                data += file.read(limit + 1 - len(data))
        except OSError as exc:
            raise ImageFileError(f"{label}: {exc.strerror or exc}") from None
    if len(data) > limit:
        raise ImageFileError(f"{label}: file too large (more than {limit} bytes)")
    return data


def _looks_like_image(head: bytes) -> bool:
    """Whether the first bytes of a stream may start an image this module reads."""
    if is_pnm(head) or head.startswith(IMAGE_SIGNATURES) or head[8:12] == b"WEBP":
        return True
    try:
        from PIL import Image, UnidentifiedImageError
    except ImportError:
        return False
    try:
        with _pillow_header_scope(Image), Image.open(io.BytesIO(head)):
            pass
    except UnidentifiedImageError:
        return False
    except Exception:  # noqa: BLE001 - a format Pillow knows, cut short by the sniff
        return True
    return True


def _read_stream(stream: BinaryIO, label: str, max_pixels: int) -> bytes:
    """Standard input up to the file limit; given up once its first bytes are no image,
    and left unread past the end of a binary PNM image (whatever follows is ignored)."""
    limit = file_limit(max_pixels)
    want = limit + 1
    data = bytearray()
    sniffed = False
    try:
        while len(data) < want:
            chunk = stream.read(min(READ_CHUNK, want - len(data)))
            if not chunk:
                break
            data += chunk
            if not sniffed and len(data) >= SNIFF_BYTES:
                sniffed = True
                head = bytes(data[:SNIFF_BYTES])
                if not _looks_like_image(head):
                    raise ImageFileError(f"{label}: not an image")
                want = min(want, binary_extent(head, max_pixels) or want)
    except OSError as exc:
        raise ImageFileError(f"{label}: {exc.strerror or exc}") from None
    if len(data) > limit:
        raise ImageFileError(f"{label}: input too large (more than {limit} bytes)")
    return bytes(data)


# ---------------------------------------------------------------- decoding


@contextlib.contextmanager
def _pillow_header_scope(image_module: Any) -> Iterator[None]:
    """Pillow's bomb check off (the caller checks the size itself) and its warnings
    silenced, for one thread at a time."""
    with _PILLOW_LOCK, warnings.catch_warnings():
        warnings.simplefilter("ignore")
        saved = image_module.MAX_IMAGE_PIXELS
        image_module.MAX_IMAGE_PIXELS = None
        try:
            yield
        finally:
            image_module.MAX_IMAGE_PIXELS = saved


def _pillow_image(data: bytes, label: str, max_pixels: int) -> Any:
    try:
        from PIL import Image, UnidentifiedImageError
    except ImportError:
        if data.startswith(IMAGE_SIGNATURES) or data[8:12] == b"WEBP":
            raise ImageFileError(f"reading {label} needs Pillow: {PILLOW_HINT}") from None
        raise ImageFileError(
            f"{label}: not a PBM or PGM image (other formats need Pillow: {PILLOW_HINT})"
        ) from None
    try:
        with _pillow_header_scope(Image):
            image = Image.open(io.BytesIO(data))
        width, height = image.size
        if width * height > max_pixels:
            raise _too_large(label, width, height, max_pixels)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            image.load()
            return image
    except UnidentifiedImageError:
        raise ImageFileError(f"{label}: not an image") from None
    except ImageFileError:
        raise
    except Exception as exc:  # noqa: BLE001 - Pillow plugins raise all sorts for damaged files
        raise ImageFileError(f"{label}: cannot read image: {exc}") from None


def image_from_bytes(data: bytes, label: str,
                     max_pixels: int = DEFAULT_MAX_PIXELS) -> LoadedImage:
    """The image held in ``data`` (PBM and PGM here, other formats through Pillow);
    ``label`` names it in messages."""
    if not data or is_pnm(data):
        try:
            return parse_pnm(data, max_pixels)
        except PNMError as exc:
            raise ImageFileError(f"{label}: {exc}") from None
    return _pillow_image(data, label, max_pixels)


# ---------------------------------------------------------------- entry point


def load_image(path: str | os.PathLike[str],
               max_pixels: int = DEFAULT_MAX_PIXELS) -> LoadedImage:
    """The image in the file at ``path`` (``-`` for standard input), ready for
    ``halvern.read(load_image(path))``.

    Raises ``ImageFileError`` naming the file when it is missing, not a regular file,
    larger than the file limit, more than ``max_pixels`` pixels, or no readable image.
    """
    if isinstance(max_pixels, bool) or not isinstance(max_pixels, int) or max_pixels < 1:
        raise ValueError(f"max_pixels must be a positive int, not {max_pixels!r}")
    name = os.fspath(path)
    if isinstance(name, bytes):
        name = os.fsdecode(name)
    if name == STDIN_PATH:
        if sys.stdin is None:  # started with standard input closed
            raise ImageFileError(f"{STDIN_LABEL}: standard input is closed")
        data = _read_stream(sys.stdin.buffer, STDIN_LABEL, max_pixels)
        return image_from_bytes(data, STDIN_LABEL, max_pixels)
    return image_from_bytes(_read_file(name, name, max_pixels), name, max_pixels)
