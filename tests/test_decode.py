"""Decoding of QR matrices, checked against symbols drawn by segno and plain references."""

from __future__ import annotations

import random
from functools import lru_cache, reduce
from operator import xor

import pytest
import segno

from halvern._decode import (
    GF_EXP,
    GF_LOG,
    LEVELS,
    _later_discrepancies_vanish,
    block_layout,
    decode_matrix,
    deinterleave,
    gf_mul,
    parse_segments,
    placement_order,
    raw_codewords,
    read_codewords,
    rs_correct,
    rs_remainder,
)
from halvern._layout import function_mask, size_for_version

# ---------------------------------------------------------------------------
# Plain references.


@lru_cache(maxsize=None)
def slow_gf_mul(a: int, b: int) -> int:
    # Shift-and-add multiplication reduced by x^8 + x^4 + x^3 + x^2 + 1.
    product = 0
    while b:
        if b & 1:
            product ^= a
        b >>= 1
        a <<= 1
        if a & 0x100:
            a ^= 0x11D
    return product


def slow_parity(data: bytes, ec: int) -> bytes:
    """EC codewords by long division of data * x^ec by prod (x - alpha^j)."""
    generator = [1]
    root = 1
    for _ in range(ec):
        shifted = generator + [0]
        scaled = [0] + [slow_gf_mul(c, root) for c in generator]
        generator = [a ^ b for a, b in zip(shifted, scaled)]
        root = slow_gf_mul(root, 2)
    work = list(data) + [0] * ec
    for i in range(len(data)):
        factor = work[i]
        for k in range(1, ec + 1):
            work[i + k] ^= slow_gf_mul(factor, generator[k])
    return bytes(work[len(data) :])


@lru_cache(maxsize=None)
def slow_gf_pow(a: int, n: int) -> int:
    return 1 if n % 255 == 0 else slow_gf_mul(slow_gf_pow(a, n % 255 - 1), a)


@lru_cache(maxsize=None)
def slow_gf_inverse(a: int) -> int:
    return next(b for b in range(1, 256) if slow_gf_mul(a, b) == 1)


def slow_eval(poly_low_first: list[int], x: int) -> int:
    value = 0
    for coefficient in reversed(poly_low_first):
        value = slow_gf_mul(value, x) ^ coefficient
    return value


def plain_rs_correct(block: bytes, ec: int) -> tuple[bytes, int] | None:
    """Syndromes, Berlekamp–Massey, Chien and Forney written out plainly; None when refused."""
    n = len(block)
    received = list(reversed(block))  # coefficient of x^p at index p
    syndromes = [slow_eval(received, slow_gf_pow(2, j)) for j in range(ec)]
    if not any(syndromes):
        return bytes(block), 0
    locator, previous, length, gap, last = [1], [1], 0, 1, 1
    for k in range(ec):
        d = syndromes[k]
        for i in range(1, length + 1):
            d ^= slow_gf_mul(locator[i] if i < len(locator) else 0, syndromes[k - i])
        if d == 0:
            gap += 1
            continue
        scale = slow_gf_mul(d, slow_gf_inverse(last))
        update = [0] * gap + [slow_gf_mul(scale, c) for c in previous]
        width = max(len(locator), len(update))
        new = [a ^ b for a, b in zip(locator + [0] * width, update + [0] * width)][:width]
        if 2 * length <= k:
            length, previous, last, gap = k + 1 - length, locator, d, 1
        else:
            gap += 1
        locator = new
    locator = (locator + [0] * (length + 1))[: length + 1]
    if length > ec // 2:
        return None
    inverses = [slow_gf_pow(2, 255 - p) for p in range(n)]
    degrees = [p for p in range(n) if slow_eval(locator, inverses[p]) == 0]
    if len(degrees) != length:
        return None
    evaluator = [0] * ec
    for i, s in enumerate(syndromes):
        for j, c in enumerate(locator[: ec - i]):
            evaluator[i + j] ^= slow_gf_mul(s, c)
    derivative = [c if i % 2 else 0 for i, c in enumerate(locator)][1:]
    fixed = bytearray(block)
    for p in degrees:
        denominator = slow_eval(derivative, inverses[p])
        if denominator == 0:
            return None
        quotient = slow_gf_mul(slow_eval(evaluator, inverses[p]), slow_gf_inverse(denominator))
        value = slow_gf_mul(slow_gf_pow(2, p), quotient)
        if value == 0:
            return None
        fixed[n - 1 - p] ^= value
    if slow_parity(bytes(fixed[: n - ec]), ec) != fixed[n - ec :]:
        return None
    return bytes(fixed), length


def reference_placement(size: int) -> list[int]:
    """Walks the two-column strips one module at a time."""
    functional = function_mask(size)
    rights = list(range(size - 1, 6, -2)) + [5, 3, 1]
    order = []
    for k, right in enumerate(rights):
        rows = range(size - 1, -1, -1) if k % 2 == 0 else range(size)
        for r in rows:
            for c in (right, right - 1):
                if not functional[r * size + c]:
                    order.append(r * size + c)
    return order


def interleaved_slots(version: int, level: str) -> list[tuple[int, int]]:
    """(block, index in block) of each codeword of the stream, round-robin."""
    layout = block_layout(version, level)
    lengths = layout.data_lengths
    slots = []
    for i in range(max(lengths)):
        slots += [(b, i) for b, n in enumerate(lengths) if i < n]
    for i in range(layout.ec_per_block):
        slots += [(b, n + i) for b, n in enumerate(lengths)]
    return slots


# ---------------------------------------------------------------------------
# Symbols and error injection.


@lru_cache(maxsize=None)
def symbol(content: object, **options: object) -> tuple[bytes, int, segno.QRCode]:
    qr = segno.make_qr(content, boost_error=False, **options)
    rows = qr.matrix
    return bytes(v for row in rows for v in row), len(rows), qr


def flip_codeword(modules: bytearray, version: int, stream_index: int, value: int) -> None:
    order = placement_order(version)
    for bit in range(8):
        if value >> (7 - bit) & 1:
            modules[order[8 * stream_index + bit]] ^= 1


def inject_errors(
    modules: bytes, version: int, level: str, per_block: list[int], seed: int
) -> bytes:
    """Corrupts per_block[b] distinct codewords of each block b with random values."""
    rng = random.Random(seed)
    slots = interleaved_slots(version, level)
    by_block: dict[int, list[int]] = {}
    for stream_index, (b, _) in enumerate(slots):
        by_block.setdefault(b, []).append(stream_index)
    out = bytearray(modules)
    for b, count in enumerate(per_block):
        for stream_index in rng.sample(by_block[b], count):
            flip_codeword(out, version, stream_index, rng.randrange(1, 256))
    return bytes(out)


def capacity(version: int, level: str) -> list[int]:
    """The most codeword errors each block can take."""
    layout = block_layout(version, level)
    return [layout.ec_per_block // 2] * len(layout.data_lengths)


def ascii_payload(length: int, seed: int) -> bytes:
    rng = random.Random(seed)
    return bytes(rng.randrange(0x20, 0x7F) for _ in range(length))


# ---------------------------------------------------------------------------
# GF(256) and Reed–Solomon.


def test_field_tables_are_inverse_and_multiply_like_the_reference() -> None:
    assert sorted(GF_EXP[:255]) == list(range(1, 256))
    assert all(GF_LOG[GF_EXP[i]] == i for i in range(255))
    for a in range(256):
        for b in range(a, 256, 7):
            assert gf_mul(a, b) == slow_gf_mul(a, b)


EC_COUNTS = sorted({block_layout(v, level).ec_per_block for v in range(1, 41) for level in LEVELS})


@pytest.mark.parametrize("ec", EC_COUNTS)
def test_rs_corrects_up_to_half_the_ec_codewords(ec: int) -> None:
    rng = random.Random(ec)
    data = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 120)))
    block = data + slow_parity(data, ec)
    assert rs_remainder(block, ec) == 0
    for errors in range(ec // 2 + 1):
        damaged = bytearray(block)
        for i in rng.sample(range(len(block)), errors):
            damaged[i] ^= rng.randrange(1, 256)
        assert rs_correct(bytes(damaged), ec) == (block, errors)


@pytest.mark.parametrize("ec", [ec for ec in EC_COUNTS if ec % 2])
def test_rs_rejects_one_error_too_many(ec: int) -> None:
    # With an odd number of EC codewords the distance between codewords is
    # even, so t + 1 errors can never land within reach of another codeword:
    # the failure must be detected, not miscorrected.
    rng = random.Random(ec)
    data = bytes(rng.randrange(256) for _ in range(40))
    block = bytearray(data + slow_parity(data, ec))
    for i in rng.sample(range(len(block)), ec // 2 + 1):
        block[i] ^= rng.randrange(1, 256)
    with pytest.raises(ValueError, match=r"^Too many errors to correct\.$"):
        rs_correct(bytes(block), ec)


@pytest.mark.parametrize("ec", EC_COUNTS)
def test_rs_correct_agrees_with_the_plain_decoder_on_any_damage(ec: int) -> None:
    # Up to twice the capacity, so refusals and miscorrections are compared
    # too; block lengths reach past the precomputed tables (123 data
    # codewords, 153 in all) into the loop fallbacks.
    rng = random.Random(1000 + ec)
    for trial in range(24):
        length = rng.choice([1, 9, 40, 150 - ec, 200 - ec, 255 - ec])
        data = bytes(rng.randrange(256) for _ in range(length))
        block = bytearray(data + slow_parity(data, ec))
        errors = trial % (ec + 1)
        for i in rng.sample(range(len(block)), min(errors, len(block))):
            block[i] ^= rng.randrange(1, 256)
        try:
            outcome: tuple[bytes, int] | None = rs_correct(bytes(block), ec)
        except ValueError as error:
            assert str(error) == "Too many errors to correct."
            outcome = None
        assert outcome == plain_rs_correct(bytes(block), ec)
        is_codeword = slow_parity(block[:-ec], ec) == block[-ec:]
        assert (rs_remainder(bytes(block), ec) == 0) == is_codeword


@pytest.mark.parametrize("length", [1, 2, 5, 15])
def test_later_discrepancies_are_judged_like_one_step_at_a_time(length: int) -> None:
    # The shortcut that ends Berlekamp–Massey early: sequences the locator
    # generates must pass, and one disturbed syndrome anywhere after the
    # start, with any locator coefficient involved, must not.
    rng = random.Random(length)
    for _ in range(40):
        locator = [1] + [rng.randrange(256) for _ in range(length)]
        syndromes = [rng.randrange(256) for _ in range(length)]
        while len(syndromes) < 30:
            k = len(syndromes)
            value = 0
            for i in range(1, length + 1):
                value ^= slow_gf_mul(locator[i], syndromes[k - i])
            syndromes.append(value)
        start = rng.randrange(length, 30)
        assert _later_discrepancies_vanish(bytes(syndromes), locator, length, start)
        disturbed = list(syndromes)
        disturbed[rng.randrange(start, 30)] ^= rng.randrange(1, 256)
        terms = range(1, length + 1)
        expected = all(
            disturbed[k] == reduce(xor, [slow_gf_mul(locator[i], disturbed[k - i]) for i in terms])
            for k in range(start, 30)
        )
        assert _later_discrepancies_vanish(bytes(disturbed), locator, length, start) == expected


# ---------------------------------------------------------------------------
# Layout of codewords: capacity, placement, interleaving.


@pytest.mark.parametrize("version", range(1, 41))
def test_placement_covers_each_data_module_once_in_strip_order(version: int) -> None:
    size = size_for_version(version)
    order = placement_order(version)
    assert list(order) == reference_placement(size)
    data_modules = function_mask(size).count(0)
    assert len(set(order)) == data_modules
    assert raw_codewords(version) == data_modules // 8


@pytest.mark.parametrize("version", [2, 7])
def test_each_codeword_bit_lives_in_exactly_one_module(version: int) -> None:
    # Independent of the order itself: flipping a data module changes one
    # bit of one codeword, each codeword owns 8 modules, and the modules
    # beyond the last codeword belong to none.
    modules, size, qr = symbol("placement", version=version, error="M", mask=0)
    baseline = read_codewords(modules, size, qr.mask)
    hits: dict[int, set[int]] = {}
    untouched = 0
    for index in placement_order(version):
        flipped = bytearray(modules)
        flipped[index] ^= 1
        changed = read_codewords(bytes(flipped), size, qr.mask)
        diffs = [(i, a ^ b) for i, (a, b) in enumerate(zip(baseline, changed)) if a != b]
        if not diffs:
            untouched += 1
            continue
        [(i, bit)] = diffs
        assert bit & (bit - 1) == 0
        hits.setdefault(i, set()).add(bit)
    assert untouched == function_mask(size).count(0) % 8
    assert len(hits) == raw_codewords(version)
    assert all(bits == {1 << k for k in range(8)} for bits in hits.values())


MASK_FORMULAS = (
    lambda r, c: (r + c) % 2 == 0,
    lambda r, c: r % 2 == 0,
    lambda r, c: c % 3 == 0,
    lambda r, c: (r + c) % 3 == 0,
    lambda r, c: (r // 2 + c // 3) % 2 == 0,
    lambda r, c: (r * c) % 2 + (r * c) % 3 == 0,
    lambda r, c: ((r * c) % 2 + (r * c) % 3) % 2 == 0,
    lambda r, c: ((r + c) % 2 + (r * c) % 3) % 2 == 0,
)


@pytest.mark.parametrize("version", [1, 2, 6, 7, 13, 24, 32, 40])
def test_codewords_are_read_module_by_module(version: int) -> None:
    # Dark modules of any nonzero value, every mask, against a reading of
    # one module at a time along the reference walk.
    size = size_for_version(version)
    rng = random.Random(version)
    modules = bytes(rng.choice((0, 0, 1, 7, 128, 255)) for _ in range(size * size))
    order = reference_placement(size)[: 8 * raw_codewords(version)]
    for mask, inverts in enumerate(MASK_FORMULAS):
        bits = [(modules[i] != 0) ^ inverts(i // size, i % size) for i in order]
        expected = bytes(
            sum(bit << (7 - k) for k, bit in enumerate(bits[i : i + 8]))
            for i in range(0, len(bits), 8)
        )
        assert read_codewords(modules, size, mask) == expected


@pytest.mark.parametrize(
    ("version", "level"), [(1, "H"), (5, "Q"), (13, "M"), (21, "H"), (40, "L")]
)
def test_deinterleave_matches_round_robin(version: int, level: str) -> None:
    stream = bytes(range(256)) * (raw_codewords(version) // 256 + 1)
    stream = stream[: raw_codewords(version)]
    blocks = deinterleave(stream, block_layout(version, level))
    for stream_index, (b, i) in enumerate(interleaved_slots(version, level)):
        assert blocks[b][i] == stream[stream_index]


@pytest.mark.parametrize("version", range(1, 41))
def test_full_symbols_of_every_version_and_level(version: int) -> None:
    # The largest byte payload each level takes, which pins the data
    # codewords to segno's, decoded back; masks rotate through all eight.
    for k, level in enumerate(LEVELS):
        data_codewords = block_layout(version, level).data_codewords
        byte_capacity = data_codewords - (2 if version < 10 else 3)
        mask = (version + k) % 8
        payload = ascii_payload(byte_capacity, seed=version * 4 + k)
        with pytest.raises(segno.DataOverflowError):
            segno.make_qr(payload + b"x", version=version, error=level, mode="byte")
        modules, size, _ = symbol(payload, version=version, error=level, mask=mask, mode="byte")
        decoded = decode_matrix(modules, size)
        assert (decoded.version, decoded.error_correction, decoded.mask) == (version, level, mask)
        assert decoded.data == payload
        assert decoded.text == payload.decode("ascii")
        assert decoded.corrected == 0


# ---------------------------------------------------------------------------
# Modes and segments from segno.


@pytest.mark.parametrize(
    ("content", "options", "modes", "eci"),
    [
        ("0123456789" * 3 + "7", {}, ["numeric"], None),
        ("HELLO WORLD $%*+-./:", {}, ["alphanumeric"], None),
        ("Grüße aus Köln", {"encoding": "latin-1"}, ["byte"], None),
        ("Grüße €", {"encoding": "utf-8"}, ["byte"], None),
        # Both Shift JIS ranges, up to their edges.
        ("点茗漢字檗滌漾熙", {"mode": "kanji"}, ["kanji"], None),
        ("Grüße €", {"eci": True, "encoding": "utf-8"}, ["byte"], 26),
        ("Grüße", {"eci": True, "encoding": "latin-1"}, ["byte"], 3),
        ("点茗漢字", {"eci": True, "encoding": "shift_jis", "mode": "byte"}, ["byte"], 20),
        ("Привет", {"eci": True, "encoding": "iso-8859-5"}, ["byte"], 7),
    ],
)
def test_each_mode_round_trips(
    content: str, options: dict[str, object], modes: list[str], eci: int | None
) -> None:
    modules, size, qr = symbol(content, error="Q", **options)
    decoded = decode_matrix(modules, size)
    assert decoded.text == content
    assert [s.mode for s in decoded.segments] == modes
    assert [s.eci for s in decoded.segments] == [eci]
    codec = "shift_jis" if "kanji" in modes else options.get("encoding", "ascii")
    assert decoded.data == content.encode(str(codec))
    assert (decoded.corrected, decoded.structured_append) == (0, None)
    # These symbols have 13 or at least 18 EC codewords per block, so one
    # error too many is reliably detected (see test_rs_rejects_one_error_too_many).
    per_block = capacity(qr.version, "Q")
    damaged = decode_matrix(inject_errors(modules, qr.version, "Q", per_block, seed=size), size)
    assert (damaged.text, damaged.corrected) == (content, sum(per_block))
    per_block[0] += 1
    with pytest.raises(ValueError, match=r"^Too many errors to correct\.$"):
        decode_matrix(inject_errors(modules, qr.version, "Q", per_block, seed=size), size)


@pytest.mark.parametrize("version", [5, 10, 27])
def test_mixed_segments_keep_their_order_and_modes(version: int) -> None:
    # The three version bands use different character-count lengths.
    parts = ("HELLO WORLD", "31415926535", "grüße", "点茗")
    modules, size, _ = symbol(parts, version=version, error="M")
    decoded = decode_matrix(modules, size)
    assert [s.mode for s in decoded.segments] == ["alphanumeric", "numeric", "byte", "kanji"]
    assert [s.text for s in decoded.segments] == list(parts)
    assert decoded.text == "".join(parts)
    assert decoded.data == (
        b"HELLO WORLD31415926535" + "grüße".encode("latin-1") + "点茗".encode("shift_jis")
    )


def test_structured_append_headers_are_reported() -> None:
    content = "Structured append splits this text over four symbols 0123456789."
    parity = 0
    for byte in content.encode("ascii"):
        parity ^= byte
    parts = []
    for index, qr in enumerate(segno.make_sequence(content, symbol_count=4, error="L")):
        rows = qr.matrix
        decoded = decode_matrix(bytes(v for row in rows for v in row), len(rows))
        assert decoded.structured_append == (index, 4, parity)
        parts.append(decoded.text)
    assert "".join(parts) == content


# ---------------------------------------------------------------------------
# Injected codeword errors.

ERROR_SYMBOLS = [
    (1, "L", 3), (1, "H", 6), (3, "Q", 1), (6, "M", 4), (9, "H", 7),
    (14, "Q", 2), (22, "L", 5), (33, "M", 0), (40, "H", 3),
]  # fmt: skip


@pytest.mark.parametrize(("version", "level", "mask"), ERROR_SYMBOLS)
def test_errors_up_to_capacity_in_every_block_are_corrected(
    version: int, level: str, mask: int
) -> None:
    payload = ascii_payload(block_layout(version, level).data_codewords // 2, seed=version)
    modules, size, _ = symbol(payload, version=version, error=level, mask=mask, mode="byte")
    full = capacity(version, level)
    rng = random.Random(version)
    partial = [rng.randrange(t + 1) for t in full]
    for per_block in (full, partial):
        decoded = decode_matrix(inject_errors(modules, version, level, per_block, seed=mask), size)
        assert decoded.data == payload
        assert decoded.corrected == sum(per_block)


@pytest.mark.parametrize(
    ("version", "level", "mask"),
    # Odd EC counts make t + 1 errors always detectable (see the RS test);
    # with 20 or more EC codewords a miscorrection is astronomically unlikely.
    [
        (1, "L", 0), (1, "Q", 5), (1, "H", 2), (3, "L", 6),
        (5, "L", 1), (12, "Q", 7), (27, "H", 4), (40, "M", 3),
    ],  # fmt: skip
)
def test_one_error_too_many_in_a_block_is_refused(version: int, level: str, mask: int) -> None:
    modules, size, _ = symbol("TOO MANY", version=version, error=level, mask=mask)
    per_block = capacity(version, level)
    per_block[-1] += 1
    damaged = inject_errors(modules, version, level, per_block, seed=version)
    with pytest.raises(ValueError, match=r"^Too many errors to correct\.$"):
        decode_matrix(damaged, size)


# ---------------------------------------------------------------------------
# Hand-made bit streams.


def stream(*fields: str, codewords: int | None = None) -> bytes:
    bits = "".join(fields)
    bits += "0" * (-len(bits) % 8)
    data = int(bits, 2).to_bytes(len(bits) // 8) if bits else b""
    return data if codewords is None else data.ljust(codewords, b"\xec")


# "é" in UTF-8.
E_ACUTE = "1100001110101001"


def texts(data: bytes, version: int = 1) -> list[tuple[str, str, int | None]]:
    segments, _ = parse_segments(data, version)
    return [(s.mode, s.text, s.eci) for s in segments]


# Mode indicator, payload bits, character count and text of one small segment.
SMALL_SEGMENTS = {
    "numeric": ("0001", "0001111011", 3, "123"),
    "alphanumeric": ("0010", "00111001101", 2, "AB"),
    "byte": ("0100", "01000001", 1, "A"),
    "kanji": ("1000", "0110110011111", 1, "点"),
}


@pytest.mark.parametrize(
    ("mode", "version", "count_bits"),
    [
        ("numeric", 9, 10), ("numeric", 10, 12), ("numeric", 26, 12), ("numeric", 27, 14),
        ("alphanumeric", 1, 9), ("alphanumeric", 10, 11), ("alphanumeric", 40, 13),
        ("byte", 9, 8), ("byte", 10, 16), ("byte", 27, 16),
        ("kanji", 9, 8), ("kanji", 26, 10), ("kanji", 27, 12),
    ],
)  # fmt: skip
def test_character_count_length_follows_the_version(
    mode: str, version: int, count_bits: int
) -> None:
    indicator, payload, count, text = SMALL_SEGMENTS[mode]
    data = stream(indicator, f"{count:0{count_bits}b}", payload, "0000")
    assert texts(data, version) == [(mode, text, None)]


def test_terminator_ends_the_data_and_short_tails_are_ignored() -> None:
    after_terminator = stream(
        "0001", "0000000001", "0101", "0000", "0001", "0000000011", codewords=8
    )
    assert texts(after_terminator) == [("numeric", "5", None)]
    # Three bits left over: no room for a mode indicator, so no terminator needed.
    no_terminator = stream("0001", "0000000010", "0001100", "01")
    assert texts(no_terminator) == [("numeric", "12", None)]


@pytest.mark.parametrize(
    ("fields", "expected"),
    [
        (("0111", "00000001", "0100", "00000001", "11111111"), [("byte", "ÿ", 1)]),
        # UTF-8 announced in the two- and three-byte designator forms.
        (("0111", "10000000", "00011010", "0100", "00000010", E_ACUTE), [("byte", "é", 26)]),
        (("0111", "110", f"{26:021b}", "0100", "00000010", E_ACUTE), [("byte", "é", 26)]),
        (("0100", "00000010", E_ACUTE), [("byte", "é", None)]),
        (("0100", "00000010", "1110100111000011"), [("byte", "éÃ", None)]),
        (("0101", "0010", "000000011", "00111001101", "000001"), [("alphanumeric", "AB1", None)]),
        (("1001", "00000111", "0001", "0000000001", "0111"), [("numeric", "7", None)]),
    ],
)
def test_eci_and_fnc1_streams(
    fields: tuple[str, ...], expected: list[tuple[str, str, int | None]]
) -> None:
    assert texts(stream(*fields, "0000")) == expected


@pytest.mark.parametrize(
    ("fields", "message"),
    [
        (("1110",), "Unknown segment mode 0b1110."),
        (("0110",), "Unknown segment mode 0b0110."),
        (("0001", "0000000101", "0001111011"), "Segment runs past the end of the data."),
        (("0100", "00000011", "01000001"), "Segment runs past the end of the data."),
        (("0011", "0001"), "Segment runs past the end of the data."),
        (("0001", "0000000011", "1111101000"), "Invalid numeric digits."),
        (("0001", "0000000010", "1100100"), "Invalid numeric digits."),
        (("0001", "0000000001", "1010"), "Invalid numeric digits."),
        (("0010", "000000010", f"{2025:011b}"), "Invalid alphanumeric characters."),
        (("0010", "000000001", f"{45:06b}"), "Invalid alphanumeric characters."),
        (("1000", "00000001", f"{0x1FFF:013b}"), "Invalid kanji characters."),
        (("0111", "11100000"), "Invalid ECI designator."),
        (("0111", "10", f"{999:014b}"), "Unsupported ECI 999."),
        (
            ("0111", "00011010", "0100", "00000001", "11111111"),
            "Byte segment is not valid utf-8 text.",
        ),
    ],
)
def test_malformed_streams_say_what_is_wrong(fields: tuple[str, ...], message: str) -> None:
    with pytest.raises(ValueError) as caught:
        parse_segments(stream(*fields), 1)
    assert str(caught.value) == message


@pytest.mark.parametrize("size", [0, 20, 22, 178, 181])
def test_bad_sizes_are_refused(size: int) -> None:
    with pytest.raises(ValueError, match=r"^Not a QR symbol size\.$"):
        decode_matrix(bytes(size * size), size)


def test_matrix_length_must_match_the_size() -> None:
    modules, size, _ = symbol("length")
    with pytest.raises(ValueError, match=r"^Matrix length does not match the size\.$"):
        decode_matrix(modules[:-1], size)
