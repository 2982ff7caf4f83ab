"""The calling contract every native function shares."""

import sys

import pytest

import halvern._zeltra as z

EXPECTED_TABLE = [
    ("strict_restore_qr_matrix", "Strictly restore QR matrix."),
    ("find_black_bbox_bits", "Find black bbox in bits."),
    ("sample_matrix_3x3", "Sample QR matrix with 3x3 voting."),
    ("estimate_module_size", "Estimate module size."),
    ("find_finder_centers", "Find finder centers via run-length scan."),
    ("sample_matrix_affine", "Sample QR matrix using affine coordinates."),
    ("score_finder", "Calculate finder score for a matrix."),
]

IMG = bytes(8 * 8)

# One well-formed call per function that takes a bits image or matrix; each test below
# breaks it in one way.
VALID_CALLS = {
    "find_black_bbox_bits": (IMG, 8, 8),
    "sample_matrix_3x3": (IMG, 8, 8, (0, 0, 8, 8), 4),
    "estimate_module_size": (IMG, 8, 8, (0, 0, 8, 8)),
    "find_finder_centers": (IMG, 8, 8, 0.5),
    "sample_matrix_affine": (IMG, 8, 8, 21, 1.0, 1.0, 4.0, 0.0, 0.0, 4.0, 1),
    "score_finder": (bytes(441), 21),
}
IMAGE_FUNCTIONS = [n for n in VALID_CALLS if n != "score_finder"]


def call(name, *args):
    return getattr(z, name)(*args)


def test_module_exposes_exactly_the_seven_functions():
    public = sorted(n for n in dir(z) if not n.startswith("_"))
    assert public == sorted(n for n, _ in EXPECTED_TABLE)
    assert z.__doc__ == "C QR restore entrypoint for halvern."
    for name, doc in EXPECTED_TABLE:
        assert getattr(z, name).__doc__ == doc


def test_second_import_returns_cached_module():
    import importlib

    assert importlib.import_module("halvern._zeltra") is z


@pytest.mark.parametrize("name", list(VALID_CALLS))
def test_valid_calls_succeed(name):
    call(name, *VALID_CALLS[name])


@pytest.mark.parametrize("name", list(VALID_CALLS))
def test_str_is_not_bytes(name):
    args = VALID_CALLS[name]
    with pytest.raises(TypeError):
        call(name, "x" * len(args[0]), *args[1:])


@pytest.mark.parametrize("name", list(VALID_CALLS))
def test_float_is_not_int(name):
    args = list(VALID_CALLS[name])
    args[1] = float(args[1])
    with pytest.raises(TypeError):
        call(name, *args)


@pytest.mark.parametrize("name", list(VALID_CALLS))
def test_missing_argument(name):
    with pytest.raises(TypeError):
        call(name, *VALID_CALLS[name][:-1])


@pytest.mark.parametrize("name", list(VALID_CALLS))
def test_keyword_arguments_are_refused(name):
    with pytest.raises(TypeError):
        getattr(z, name)(*VALID_CALLS[name], extra=1)


@pytest.mark.parametrize("name", ["sample_matrix_3x3", "estimate_module_size"])
@pytest.mark.parametrize("box", [(0, 0, 8), (0, 0, 8, 8, 8), 5, (0, 0, 8.0, 8)])
def test_box_must_be_four_ints(name, box):
    args = list(VALID_CALLS[name])
    args[3] = box
    with pytest.raises(TypeError):
        call(name, *args)


@pytest.mark.parametrize("name", list(VALID_CALLS))
def test_int_out_of_range_is_the_parsers_overflow(name):
    args = list(VALID_CALLS[name])
    args[1] = 2**31
    with pytest.raises(OverflowError):
        call(name, *args)


@pytest.mark.parametrize("name", list(VALID_CALLS))
@pytest.mark.parametrize("kind", [bytearray, lambda b: memoryview(bytearray(b))])
def test_bytearray_and_memoryview_equal_bytes(name, kind):
    args = VALID_CALLS[name]
    assert call(name, kind(args[0]), *args[1:]) == call(name, *args)


def test_non_contiguous_memoryview_is_refused():
    view = memoryview(bytes(128))[::2]
    with pytest.raises((TypeError, BufferError)):
        z.find_black_bbox_bits(view, 8, 8)


@pytest.mark.parametrize("name", IMAGE_FUNCTIONS)
@pytest.mark.parametrize("delta", [-1, 1])
def test_length_off_by_one(name, delta):
    args = VALID_CALLS[name]
    bits = bytes(len(args[0]) + delta)
    with pytest.raises(ValueError, match=r"^Bits length mismatch\.$"):
        call(name, bits, *args[1:])


@pytest.mark.parametrize("name", IMAGE_FUNCTIONS)
@pytest.mark.parametrize(
    "width,height,length",
    [
        (65536, 65536, 0),  # 2**32 wraps to 0 in 32 bits
        (65537, 65537, 131073),  # 2**32 + 131073 wraps to 131073
        (-65536, 65536, 0),
        (2**31 - 1, 2, 4),
    ],
)
def test_products_past_32_bits_are_a_mismatch(name, width, height, length):
    args = list(VALID_CALLS[name])
    args[0:3] = [bytes(length), width, height]
    with pytest.raises(ValueError, match=r"^Bits length mismatch\.$"):
        call(name, *args)


def early_exits(name):
    """Calls of one function that leave early after the buffer was acquired."""
    args = list(VALID_CALLS[name])
    yield [bytearray(len(args[0]) - 1)] + args[1:]
    if name == "find_finder_centers":
        yield [bytearray(args[0]), 8, 8, 0.0]
    if name == "sample_matrix_affine":
        for index, value in ((3, 7), (-1, 2)):
            variant = [bytearray(args[0])] + args[1:]
            variant[index] = value
            yield variant


@pytest.mark.parametrize("name", list(VALID_CALLS))
def test_buffer_released_on_every_path(name):
    for args in early_exits(name):
        try:
            call(name, *args)
        except ValueError:
            pass
        args[0].extend(b"\0")  # BufferError if the export were still held
    ok = [bytearray(VALID_CALLS[name][0])] + list(VALID_CALLS[name][1:])
    call(name, *ok)
    ok[0].extend(b"\0")


@pytest.mark.parametrize("name", list(VALID_CALLS))
def test_reference_counts_stable(name):
    args = list(VALID_CALLS[name])
    args[0] = bytearray(args[0])
    bad = [bytearray(len(args[0]) + 1)] + args[1:]
    # Small ints are shared with the rest of the interpreter; watch the objects
    # that only this test holds.
    watched = [a for a in args + bad if not isinstance(a, int)]
    before = [sys.getrefcount(a) for a in watched]
    for _ in range(2000):
        call(name, *args)
        try:
            call(name, *bad)
        except ValueError:
            pass
    after = [sys.getrefcount(a) for a in watched]
    assert before == after
