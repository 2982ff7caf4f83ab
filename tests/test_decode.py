"""Decoding of QR matrices, checked against symbols drawn by segno and plain references.

The native decoder's stages are reached through the test entry points of
``halvern._engine`` (one Reed–Solomon block, the placement order, the codewords, the
blocks, the segment parser) and compared with the plain references below.
"""

from __future__ import annotations

import dataclasses
import random
from functools import lru_cache
from typing import Any

import pytest
import segno

from halvern import _engine
from halvern._content import LEVELS, Decoded, decode_matrix, decoded_from_native
from tests._layout import function_mask, size_for_version

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


def raw_codewords(version: int) -> int:
    """Codewords a symbol holds: its data modules, 8 to a codeword."""
    return function_mask(size_for_version(version)).count(0) // 8


# Codewords kept back from correction against misdecodes, by (version, level).
MISDECODE_PROTECTION = {(1, "L"): 3, (1, "M"): 2, (1, "Q"): 1, (1, "H"): 1, (2, "L"): 2, (3, "L"): 1}


@lru_cache(maxsize=None)
def block_layout(version: int, level: str) -> tuple[int, tuple[int, ...], int]:
    """(EC codewords per block, data codewords of each block, correctable per block)."""
    ec, lengths, correctable = _engine._block_layout(version, LEVELS.index(level))
    return ec, lengths, correctable


def capacity(version: int, level: str) -> list[int]:
    """The most codeword errors each block may have corrected."""
    ec, lengths, _ = block_layout(version, level)
    return [(ec - MISDECODE_PROTECTION.get((version, level), 0)) // 2] * len(lengths)


def interleaved_slots(version: int, level: str) -> list[tuple[int, int]]:
    """(block, index in block) of each codeword of the stream, round-robin."""
    ec, lengths, _ = block_layout(version, level)
    slots = []
    for i in range(max(lengths)):
        slots += [(b, i) for b, n in enumerate(lengths) if i < n]
    for i in range(ec):
        slots += [(b, n + i) for b, n in enumerate(lengths)]
    return slots


ALPHANUMERIC = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ $%*+-./:"
SUPPORTED_ECI = {*range(14), *range(15, 19), *range(20, 31), 170}


def plain_parse(data: bytes, version: int) -> tuple[Any, ...]:
    """The segment parser written out over a string of bits: the native tuple shape
    (level, mask and corrected 0), or ValueError naming the fault."""
    bits = "".join(f"{b:08b}" for b in data)
    pos = 0
    band = 0 if version <= 9 else 1 if version <= 26 else 2

    def take(n: int) -> int:
        nonlocal pos
        if pos + n > len(bits):
            raise ValueError("Segment runs past the end of the data.")
        pos += n
        return int(bits[pos - n : pos], 2)

    def need(n: int) -> None:
        if pos + n > len(bits):
            raise ValueError("Segment runs past the end of the data.")

    eci: int | None = None
    fnc1, application, append = 0, None, None
    segments = []
    while len(bits) - pos >= 4:
        mode = take(4)
        if mode == 0:
            break
        if mode in (1, 2, 4, 8, 13):
            if mode == 13:
                subset = take(4)
                if subset != 1:
                    raise ValueError(f"Unknown Hanzi subset 0b{subset:04b}.")
            widths = {1: (10, 12, 14), 2: (9, 11, 13), 4: (8, 16, 16)}.get(mode, (8, 10, 12))
            count = take(widths[band])
            out = bytearray()
            if mode == 1:
                groups, rest = divmod(count, 3)
                need(10 * groups + (0, 4, 7)[rest])
                for width, digits in [(10, 3)] * groups + ([((0, 4, 7)[rest], rest)] if rest else []):
                    value = take(width)
                    if value >= 10**digits:
                        raise ValueError("Invalid numeric digits.")
                    out += f"{value:0{digits}d}".encode()
            elif mode == 2:
                pairs, odd = divmod(count, 2)
                need(11 * pairs + 6 * odd)
                text = ""
                for width, chars in [(11, 2)] * pairs + [(6, 1)] * odd:
                    value = take(width)
                    if value >= 45**chars:
                        raise ValueError("Invalid alphanumeric characters.")
                    text += (ALPHANUMERIC[value // 45] if chars == 2 else "") + ALPHANUMERIC[value % 45]
                if fnc1:
                    text = "%".join(part.replace("%", "\x1d") for part in text.split("%%"))
                out += text.encode()
            elif mode == 4:
                need(8 * count)
                out += bytes(take(8) for _ in range(count))
            else:
                need(13 * count)
                for _ in range(count):
                    value = take(13)
                    if mode == 8:
                        packed = (value // 0xC0) << 8 | value % 0xC0
                        out += (packed + (0x8140 if packed < 0x1F00 else 0xC140)).to_bytes(2)
                    else:
                        high, low = divmod(value, 0x60)
                        if low > 0x5D or high > 0x54:
                            raise ValueError("Invalid Hanzi characters.")
                        out += bytes([high + (0xA1 if high < 0x0A else 0xA6), low + 0xA1])
            segments.append((mode, eci, bytes(out)))
        elif mode == 7:
            first = take(8)
            if first < 0x80:
                value = first
            elif first < 0xC0:
                value = (first & 0x3F) << 8 | take(8)
            elif first < 0xE0:
                value = (first & 0x1F) << 16 | take(16)
            else:
                raise ValueError("Invalid ECI designator.")
            if value not in SUPPORTED_ECI:
                raise ValueError(f"Unsupported ECI {value}.")
            eci = value
        elif mode == 3:
            value = take(16)
            if append is not None:
                raise ValueError("Structured append header appears twice.")
            if value >> 12 > (value >> 8 & 0xF):
                raise ValueError("Structured append index is not below the total.")
            append = (value >> 12, (value >> 8 & 0xF) + 1, value & 0xFF)
        elif mode in (5, 9):
            if mode == 9:
                application = take(8)
                if not (application < 100 or 165 <= application <= 190 or 197 <= application <= 222):
                    raise ValueError(f"Invalid FNC1 application indicator {application}.")
            if fnc1:
                raise ValueError("FNC1 indicator appears twice.")
            fnc1 = 1 if mode == 5 else 2
        else:
            raise ValueError(f"Unknown segment mode 0b{mode:04b}.")
    size = 17 + 4 * version  # a QR Model 2 symbol (0, 2) of that size
    return (version, 0, 0, 0, tuple(segments), fnc1, application, append, 0, 2, size, size)


def outcome(call: Any, *args: Any) -> Any:
    try:
        return call(*args)
    except ValueError as error:
        return str(error)


# ---------------------------------------------------------------------------
# Symbols and error injection.


@lru_cache(maxsize=None)
def symbol(content: object, **options: object) -> tuple[bytes, int, segno.QRCode]:
    qr = segno.make_qr(content, boost_error=False, **options)
    rows = qr.matrix
    return bytes(v for row in rows for v in row), len(rows), qr


@lru_cache(maxsize=None)
def placement_order(version: int) -> tuple[int, ...]:
    return tuple(_engine._placement(version))


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


def ascii_payload(length: int, seed: int) -> bytes:
    rng = random.Random(seed)
    return bytes(rng.randrange(0x20, 0x7F) for _ in range(length))


def rs_correct(block: bytes, ec: int, limit: int | None = None) -> tuple[bytes, int] | None:
    result: tuple[bytes, int] | None = _engine._rs_correct(block, ec, ec // 2 if limit is None else limit)
    return result


# ---------------------------------------------------------------------------
# Reed–Solomon.


EC_COUNTS = sorted({block_layout(v, level)[0] for v in range(1, 41) for level in LEVELS})


@pytest.mark.parametrize("ec", EC_COUNTS)
def test_rs_corrects_up_to_half_the_ec_codewords(ec: int) -> None:
    rng = random.Random(ec)
    data = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 120)))
    block = data + slow_parity(data, ec)
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
    assert rs_correct(bytes(block), ec) is None


@pytest.mark.parametrize("ec", EC_COUNTS + [1, 2, 5, 9])
def test_rs_correct_agrees_with_the_plain_decoder_on_any_damage(ec: int) -> None:
    # Up to twice the capacity, so refusals and miscorrections are compared
    # too, under every limit up to ec / 2; block lengths up to 255. EC counts
    # that no QR block has take the decoder's path without parity tables.
    rng = random.Random(1000 + ec)
    for trial in range(24):
        length = rng.choice([1, 9, 40, 150 - ec, 200 - ec, 255 - ec])
        data = bytes(rng.randrange(256) for _ in range(length))
        block = bytearray(data + slow_parity(data, ec))
        errors = trial % (ec + 1)
        for i in rng.sample(range(len(block)), min(errors, len(block))):
            block[i] ^= rng.randrange(1, 256)
        expected = plain_rs_correct(bytes(block), ec)
        limit = rng.randrange(ec // 2 + 1)
        assert rs_correct(bytes(block), ec) == expected
        within = expected is not None and expected[1] <= limit
        assert rs_correct(bytes(block), ec, limit) == (expected if within else None)


def test_rs_refuses_blocks_it_cannot_hold() -> None:
    for block, ec in [(bytes(10), 0), (bytes(10), 31), (bytes(10), 10), (bytes(256), 30)]:
        with pytest.raises(ValueError, match=r"^Not a Reed-Solomon block\.$"):
            rs_correct(block, ec)


# ---------------------------------------------------------------------------
# Layout of codewords: capacity, placement, interleaving.


@pytest.mark.parametrize("version", range(1, 41))
def test_placement_covers_each_data_module_once_in_strip_order(version: int) -> None:
    size = size_for_version(version)
    assert list(placement_order(version)) == reference_placement(size)


@pytest.mark.parametrize("version", [2, 7])
def test_each_codeword_bit_lives_in_exactly_one_module(version: int) -> None:
    # Independent of the order itself: flipping a data module changes one
    # bit of one codeword, each codeword owns 8 modules, and the modules
    # beyond the last codeword belong to none.
    modules, size, qr = symbol("placement", version=version, error="M", mask=0)
    baseline = _engine._codewords(modules, size, qr.mask)
    hits: dict[int, set[int]] = {}
    untouched = 0
    for index in placement_order(version):
        flipped = bytearray(modules)
        flipped[index] ^= 1
        changed = _engine._codewords(bytes(flipped), size, qr.mask)
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
        assert _engine._codewords(modules, size, mask) == expected


@pytest.mark.parametrize("mask", range(8))
@pytest.mark.parametrize("version", [1, 2, 7])
def test_data_modules_that_are_the_mask_pattern_hold_no_symbol(version: int, mask: int) -> None:
    # A grid over a checkerboard or stripes samples the mask pattern itself: all-zero
    # codewords, a valid block of an empty message that no encoder writes.
    _, size, qr = symbol("x", version=version, error="m", mask=mask)
    function = function_mask(size)
    modules = bytes(v if function[r * size + c] else int(MASK_FORMULAS[mask](r, c))
                    for r, row in enumerate(qr.matrix) for c, v in enumerate(row))
    with pytest.raises(ValueError, match=r"^The data modules are the mask pattern alone\.$"):
        decode_matrix(modules, size)
    # The empty message as an encoder writes it (terminator, then pad codewords) reads.
    empty, size, _ = symbol("", version=version, error="m", mask=mask)
    assert decode_matrix(empty, size).data == b""


@pytest.mark.parametrize(
    ("version", "level"), [(1, "H"), (5, "Q"), (13, "M"), (21, "H"), (40, "L")]
)
def test_deinterleave_matches_round_robin(version: int, level: str) -> None:
    stream = bytes(random.Random(version).randrange(256) for _ in range(raw_codewords(version)))
    blocks = _engine._deinterleave(stream, version, LEVELS.index(level))
    for stream_index, (b, i) in enumerate(interleaved_slots(version, level)):
        assert blocks[b][i] == stream[stream_index]


@pytest.mark.parametrize("version", range(1, 41))
def test_block_layouts_and_correction_limits(version: int) -> None:
    for level in LEVELS:
        ec, lengths, correctable = block_layout(version, level)
        assert ec * len(lengths) + sum(lengths) == raw_codewords(version)
        assert max(lengths) - min(lengths) <= 1 and list(lengths) == sorted(lengths)
        assert correctable == capacity(version, level)[0]


@pytest.mark.parametrize("version", range(1, 41))
def test_every_version_and_level_at_its_correction_limit(version: int) -> None:
    # The largest byte payload each level takes, which pins the data codewords
    # to segno's, decoded back clean and with exactly the correctable number of
    # damaged codewords in every block; masks rotate through all eight. One
    # more is refused wherever that is certain to be detected: when the
    # misdecode protection or an odd EC count leaves a margin.
    for k, level in enumerate(LEVELS):
        ec, lengths, _ = block_layout(version, level)
        byte_capacity = sum(lengths) - (2 if version < 10 else 3)
        mask = (version + k) % 8
        payload = ascii_payload(byte_capacity, seed=version * 4 + k)
        with pytest.raises(segno.DataOverflowError):
            segno.make_qr(payload + b"x", version=version, error=level, mode="byte")
        modules, size, _ = symbol(payload, version=version, error=level, mask=mask, mode="byte")
        decoded = decode_matrix(modules, size)
        assert (decoded.version, decoded.error_correction, decoded.mask) == (version, level, mask)
        assert (decoded.data, decoded.text, decoded.corrected) == (payload, payload.decode(), 0)
        per_block = capacity(version, level)
        damaged = decode_matrix(inject_errors(modules, version, level, per_block, seed=k), size)
        assert (damaged.data, damaged.corrected) == (payload, sum(per_block))
        if ec % 2 or (version, level) in MISDECODE_PROTECTION:
            per_block[-1] += 1
            too_many = inject_errors(modules, version, level, per_block, seed=k)
            with pytest.raises(ValueError, match=r"^Too many errors to correct\.$"):
                decode_matrix(too_many, size)


@pytest.mark.parametrize("seed", range(8))
def test_version_1_l_keeps_three_codewords_back(seed: int) -> None:
    # Three damaged codewords are within ec / 2 of version 1-L's seven EC
    # codewords, but past what it may correct: noise must not become text.
    modules, size, _ = symbol("PROTECTED", version=1, error="L", mask=seed)
    damaged = inject_errors(modules, 1, "L", [3], seed=seed)
    with pytest.raises(ValueError, match=r"^Too many errors to correct\.$"):
        decode_matrix(damaged, size)
    assert decode_matrix(inject_errors(modules, 1, "L", [2], seed=seed), size).text == "PROTECTED"


# ---------------------------------------------------------------------------
# Modes and segments from segno.


@pytest.mark.parametrize(
    ("content", "options", "modes", "eci", "codec"),
    [
        ("0123456789" * 3 + "7", {}, ["numeric"], None, "ascii"),
        ("HELLO WORLD $%*+-./:", {}, ["alphanumeric"], None, "ascii"),
        ("Grüße aus Köln", {"encoding": "latin-1"}, ["byte"], None, "latin-1"),
        ("Grüße €", {"encoding": "utf-8"}, ["byte"], None, "utf-8"),
        # Both Shift JIS ranges, up to their edges.
        ("点茗漢字檗滌漾熙", {"mode": "kanji"}, ["kanji"], None, "shift_jis"),
        ("中文编码，汉字模式", {"mode": "hanzi"}, ["hanzi"], None, "gb2312"),
        ("Grüße €", {"eci": True, "encoding": "utf-8"}, ["byte"], 26, "utf-8"),
        ("Grüße", {"eci": True, "encoding": "latin-1"}, ["byte"], 3, "latin-1"),
        ("点茗漢字", {"eci": True, "encoding": "shift_jis", "mode": "byte"}, ["byte"], 20, "shift_jis"),
        ("Привет", {"eci": True, "encoding": "iso-8859-5"}, ["byte"], 7, "iso-8859-5"),
    ],
)
def test_each_mode_round_trips(
    content: str, options: dict[str, object], modes: list[str], eci: int | None, codec: str
) -> None:
    modules, size, qr = symbol(content, error="Q", **options)
    decoded = decode_matrix(modules, size)
    assert decoded.text == content
    assert [s.mode for s in decoded.segments] == modes
    assert [s.eci for s in decoded.segments] == [eci]
    assert decoded.data == content.encode(codec)
    assert (decoded.corrected, decoded.structured_append, decoded.fnc1) == (0, None, None)


@pytest.mark.parametrize("text", ["Google モバイル", "ｶﾀｶﾅ ①②", "表示"])
def test_shift_jis_in_a_byte_segment_without_eci(text: str) -> None:
    # Japanese codes often carry Shift JIS unannounced: not UTF-8, so not Latin-1 either.
    data = text.encode("cp932")
    modules, size, _ = symbol(data, error="M", mode="byte")
    decoded = decode_matrix(modules, size)
    assert [(s.mode, s.eci) for s in decoded.segments] == [("byte", None)]
    assert (decoded.text, decoded.data) == (text, data)


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


@pytest.mark.parametrize(("version", "level", "mask"), [(1, "H", 6), (9, "H", 7), (40, "H", 3)])
def test_errors_up_to_capacity_in_some_blocks_are_corrected(
    version: int, level: str, mask: int
) -> None:
    payload = ascii_payload(sum(block_layout(version, level)[1]) // 2, seed=version)
    modules, size, _ = symbol(payload, version=version, error=level, mask=mask, mode="byte")
    rng = random.Random(version)
    per_block = [rng.randrange(t + 1) for t in capacity(version, level)]
    decoded = decode_matrix(inject_errors(modules, version, level, per_block, seed=mask), size)
    assert (decoded.data, decoded.corrected) == (payload, sum(per_block))


# ---------------------------------------------------------------------------
# Hand-made bit streams.


def stream(*fields: str, codewords: int | None = None) -> bytes:
    bits = "".join(fields)
    bits += "0" * (-len(bits) % 8)
    data = int(bits, 2).to_bytes(len(bits) // 8) if bits else b""
    return data if codewords is None else data.ljust(codewords, b"\xec")


def parse(data: bytes, version: int = 1) -> Decoded:
    return decoded_from_native(_engine._parse_segments(data, version))


def texts(data: bytes, version: int = 1) -> list[tuple[str, str, int | None]]:
    return [(s.mode, s.text, s.eci) for s in parse(data, version).segments]


# "é" in UTF-8.
E_ACUTE = "1100001110101001"

# Mode indicator, payload bits, character count and text of one small segment.
SMALL_SEGMENTS = {
    "numeric": ("0001", "0001111011", 3, "123"),
    "alphanumeric": ("0010", "00111001101", 2, "AB"),
    "byte": ("0100", "01000001", 1, "A"),
    "kanji": ("1000", "0110110011111", 1, "点"),
    "hanzi": ("11010001", f"{(0xD6 - 0xA6) * 0x60 + 0xD0 - 0xA1:013b}", 1, "中"),
}


@pytest.mark.parametrize(
    ("mode", "version", "count_bits"),
    [
        ("numeric", 9, 10), ("numeric", 10, 12), ("numeric", 26, 12), ("numeric", 27, 14),
        ("alphanumeric", 1, 9), ("alphanumeric", 10, 11), ("alphanumeric", 40, 13),
        ("byte", 9, 8), ("byte", 10, 16), ("byte", 27, 16),
        ("kanji", 9, 8), ("kanji", 26, 10), ("kanji", 27, 12),
        ("hanzi", 9, 8), ("hanzi", 10, 10), ("hanzi", 40, 12),
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
        # Unannounced: UTF-8, else Shift JIS (E9 C3 is one kanji), else Latin-1.
        (("0100", "00000010", E_ACUTE), [("byte", "é", None)]),
        (("0100", "00000010", "1110100111000011"), [("byte", b"\xe9\xc3".decode("cp932"), None)]),
        (("0100", "00000010", "1111111111101001"), [("byte", "ÿé", None)]),
        # A kanji segment mixing a vendor character (circled 1) with a standard one.
        (("1000", "00000010", f"{0x06 * 0xC0 + 0x00:013b}", "0110110011111"), [("kanji", "①点", None)]),
    ],
)
def test_character_sets(fields: tuple[str, ...], expected: list[tuple[str, str, int | None]]) -> None:
    assert texts(stream(*fields, "0000")) == expected


@pytest.mark.parametrize(
    ("fields", "text", "fnc1", "application"),
    [
        # GS1: "%" is the group separator, "%%" a percent sign.
        (("0101", "0010", "000000110", f"{1 * 45 + 38:011b}", f"{2 * 45 + 38:011b}", f"{38 * 45 + 3:011b}"),
         "1\x1d2%3", "first", None),
        (("1001", "00100101", "0001", "0000000001", "0111"), "7", "second", "37"),
        (("1001", f"{165:08b}", "0010", "000000001", f"{38:06b}"), "\x1d", "second", "A"),
        (("1001", f"{222:08b}", "0100", "00000001", "00100101"), "%", "second", "z"),
    ],
)  # fmt: skip
def test_fnc1_is_reported(
    fields: tuple[str, ...], text: str, fnc1: str, application: str | None
) -> None:
    decoded = parse(stream(*fields, "0000"))
    assert (decoded.text, decoded.fnc1, decoded.application_indicator) == (text, fnc1, application)


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
        (("1101", "0001", "00000001", f"{0x5E:013b}"), "Invalid Hanzi characters."),
        (("1101", "0001", "00000001", f"{0x1FFF - 0x20:013b}"), "Invalid Hanzi characters."),
        (("1101", "0001", "00000001", f"{0x55 * 0x60:013b}"), "Invalid Hanzi characters."),
        (("1101", "0010", "00000001"), "Unknown Hanzi subset 0b0010."),
        (("0111", "11100000"), "Invalid ECI designator."),
        (("0111", "10", f"{999:014b}", "0100", "00000000"), "Unsupported ECI 999."),
        (
            ("0111", "00011010", "0100", "00000001", "11111111"),
            "Byte segment is not valid utf-8 text.",
        ),
        (("0011", "0100", "0011", "00000000"), "Structured append index is not below the total."),
        (("0011", "0000", "0001", "00000000", "0011", "0001", "0001", "00000000"),
         "Structured append header appears twice."),
        (("0101", "0101"), "FNC1 indicator appears twice."),
        (("0101", "1001", "00000001"), "FNC1 indicator appears twice."),
        (("1001", f"{100:08b}"), "Invalid FNC1 application indicator 100."),
        (("1001", f"{191:08b}"), "Invalid FNC1 application indicator 191."),
    ],
)  # fmt: skip
def test_malformed_streams_say_what_is_wrong(fields: tuple[str, ...], message: str) -> None:
    with pytest.raises(ValueError) as caught:
        parse(stream(*fields), 1)
    assert str(caught.value) == message


def random_stream(rng: random.Random, version: int) -> bytes:
    """A stream of headers with plausible counts and random payload bits, sometimes
    truncated or with one bit flipped."""
    band = 0 if version <= 9 else 1 if version <= 26 else 2
    fields = []
    for _ in range(rng.randrange(1, 6)):
        mode = rng.choice([1, 2, 4, 8, 13, 7, 3, 5, 9, rng.randrange(16)])
        fields.append(f"{mode:04b}")
        if mode == 13:
            fields.append(rng.choice(["0001", "0001", f"{rng.randrange(16):04b}"]))
        widths = {1: (10, 12, 14), 2: (9, 11, 13), 4: (8, 16, 16), 8: (8, 10, 12), 13: (8, 10, 12)}
        if mode in widths:
            count = rng.randrange(12)
            fields.append(f"{count:0{widths[mode][band]}b}")
            per = {1: 4, 2: 6, 4: 8, 8: 13, 13: 13}[mode]
            fields.append("".join(rng.choice("01") for _ in range(per * count)))
        elif mode == 7 and rng.random() < 0.7:
            fields.append(f"{rng.choice(sorted(SUPPORTED_ECI)):08b}")
        elif mode == 7:
            fields.append(rng.choice(["0", "10", "110", "111"]) + f"{rng.randrange(1 << 21):021b}")
        elif mode == 3 and rng.random() < 0.7:
            total = rng.randrange(1, 17)
            fields.append(f"{rng.randrange(total):04b}{total - 1:04b}{rng.randrange(256):08b}")
        else:
            fields.append(f"{rng.randrange(1 << 16):016b}")
    bits = "".join(fields)
    if rng.random() < 0.3:
        position = rng.randrange(len(bits))
        bits = bits[:position] + "10"[int(bits[position])] + bits[position + 1 :]
    data = stream(bits)
    if rng.random() < 0.3:
        data = data[: rng.randrange(len(data) + 1)]
    return data


@pytest.mark.parametrize("version", [1, 9, 10, 26, 27, 40])
def test_parser_agrees_with_the_plain_parser_on_random_streams(version: int) -> None:
    rng = random.Random(version)
    for _ in range(600):
        data = random_stream(rng, version)
        assert outcome(_engine._parse_segments, data, version) == outcome(plain_parse, data, version)


def typed(value: Any) -> Any:
    """A value with the type of each of its parts (equality alone takes True for 1)."""
    if dataclasses.is_dataclass(value):
        return type(value), [typed(getattr(value, f.name)) for f in dataclasses.fields(value)]
    if isinstance(value, tuple):
        return tuple, [typed(v) for v in value]
    return type(value), value


@pytest.mark.parametrize("version", [1, 10, 27])
def test_decoded_built_natively_is_what_the_tuple_makes(version: int) -> None:
    # The native decode builds Decoded itself where every text is UTF-8 or ASCII, and
    # gives the tuple for the Python layer's text rule otherwise.
    rng = random.Random(100 + version)
    built = 0
    for _ in range(1000):
        data = random_stream(rng, version)
        native = outcome(_engine._parse_segments, data, version, True)
        if type(native) is Decoded:
            built += 1
            with pytest.raises(dataclasses.FrozenInstanceError):
                native.text = ""  # type: ignore[misc]
        elif type(native) is tuple:
            native = outcome(decoded_from_native, native)
        assert typed(native) == typed(outcome(parse, data, version))
    assert built >= 60


def test_truncated_streams_are_refused_or_a_prefix() -> None:
    # Cut at every byte: a segment cut short is refused; a cut at a boundary that
    # leaves fewer than four bits is a shorter valid stream.
    full = stream("0001", "0000000011", "0001111011", "0100", "00000010", "0100000101000010",
                  "0010", "000000010", "00111001101", "0000")  # fmt: skip
    whole = parse(full).segments
    assert [s.text for s in whole] == ["123", "AB", "AB"]
    for cut in range(len(full)):
        try:
            segments = parse(full[:cut]).segments
        except ValueError as error:
            assert str(error) == "Segment runs past the end of the data."
        else:
            assert segments == whole[: len(segments)]


def test_overlong_streams() -> None:
    # A stream filling the largest symbol without terminator parses; longer is refused.
    digits = "".join(f"{n:03d}" for n in range(1000)) * 7
    payload = digits[:7089]
    bits = "0001" + f"{len(payload):014b}" + "".join(
        f"{int(payload[i : i + 3]):0{(10, 4, 7)[len(payload[i : i + 3]) % 3]}b}"
        for i in range(0, len(payload), 3)
    )
    data = stream(bits)
    assert len(data) == 2956
    assert parse(data, 40).text == payload
    with pytest.raises(ValueError, match=r"^Bit stream is longer than any symbol holds\.$"):
        _engine._parse_segments(data + b"\x00", 40)
    # A count beyond the symbol's data.
    with pytest.raises(ValueError, match=r"^Segment runs past the end of the data\.$"):
        parse(stream("0100", f"{65535:016b}", "01000001" * 100), 40)


# ---------------------------------------------------------------------------
# Whole matrices: bad input is refused cleanly.


@pytest.mark.parametrize("size", [0, 20, 22, 178, 181])
def test_bad_sizes_are_refused(size: int) -> None:
    with pytest.raises(ValueError, match=r"^Not a QR symbol size\.$"):
        decode_matrix(bytes(size * size), size)


def test_matrix_length_must_match_the_size() -> None:
    modules, size, _ = symbol("length")
    with pytest.raises(ValueError, match=r"^Matrix length does not match the size\.$"):
        decode_matrix(modules[:-1], size)
    with pytest.raises(TypeError, match=r"^Matrix must support the buffer protocol\.$"):
        decode_matrix([0] * size * size, size)


def test_version_information_must_match_the_size() -> None:
    modules, size, _ = symbol("version", version=7)
    damaged = bytearray(modules)
    for bit in range(4):
        for r, c in ((bit // 3, size - 11 + bit % 3), (size - 11 + bit % 3, bit // 3)):
            damaged[r * size + c] ^= 1
    with pytest.raises(ValueError, match=r"^Version information does not match the size\.$"):
        decode_matrix(bytes(damaged), size)


KNOWN_REFUSALS = {
    "Format information is unreadable.",
    "Version information does not match the size.",
    "Too many errors to correct.",
}


@pytest.mark.parametrize("version", [1, 3, 7, 20, 40])
def test_random_matrices_are_refused_cleanly(version: int) -> None:
    # With real format and version information but random data, the decoder gets
    # to error correction and refuses; the message is one of the known ones.
    rng = random.Random(version)
    clean, size, _ = symbol("random", version=version, error="L")
    function = function_mask(size)
    for trial in range(20):
        noise = bytes(rng.randrange(256) * rng.randrange(2) for _ in range(size * size))
        keep_structure = trial % 2 == 0
        matrix = bytes(c if f and keep_structure else n for c, n, f in zip(clean, noise, function))
        with pytest.raises(ValueError) as caught:
            decode_matrix(matrix, size)
        if keep_structure:
            assert str(caught.value) == "Too many errors to correct."
        else:
            assert str(caught.value) in KNOWN_REFUSALS
