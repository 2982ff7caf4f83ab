"""halvern: a fast reader of QR codes in photos, scans and generated images.

    >>> import halvern
    >>> code = halvern.read(image)          # NumPy array, Pillow image, or bits + size
    >>> code.text if code else None

``read_all`` gives every code of the image (and, with ``return_errors=True``, an
``Undecoded`` with the reason for each symbol located but not decoded); ``read_matrix``
stops before decoding and gives the restored module matrix;
``binarize`` turns grayscale into bits as the native reader's binarizer does;
``annotate`` draws the codes found on the image and ``explain`` what the reader saw
where it found none (both with Pillow).
"""

from halvern._annotate import annotate, explain
from halvern._append import StructuredAppend, merge_structured_append
from halvern._content import Decoded, Segment, decode_matrix
from halvern._image import binarize
from halvern._reader import QRCode, QRMatrix, Undecoded, read, read_all, read_matrix
from halvern._restore import FormatInfo, format_info, strict_restore_qr_matrix

__version__ = "0.1.0"

__all__ = [
    "Decoded",
    "FormatInfo",
    "QRCode",
    "QRMatrix",
    "Segment",
    "StructuredAppend",
    "Undecoded",
    "__version__",
    "annotate",
    "binarize",
    "decode_matrix",
    "explain",
    "format_info",
    "merge_structured_append",
    "read",
    "read_all",
    "read_matrix",
    "strict_restore_qr_matrix",
]
