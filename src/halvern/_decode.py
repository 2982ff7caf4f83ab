"""Decoding of restored QR model 2 matrices into the bytes and text they carry.

The path from matrix to text: read the format information, remove the data
mask, collect the codewords in placement order, split them into the
interleaved Reed–Solomon blocks of the version and level, correct each block,
and parse the segments of the data bit stream.

A matrix is row-major ``bytes`` (or any buffer of one byte per module) of
``size * size`` modules, nonzero meaning dark. Every malformed input raises
ValueError with a message that names the problem.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from functools import lru_cache, reduce
from operator import getitem, xor

from halvern._layout import (
    MAX_VERSION,
    function_mask,
    size_for_version,
    version_for_size,
)
from halvern._restore import format_info

__all__ = [
    "BlockLayout",
    "Decoded",
    "Segment",
    "block_layout",
    "decode_matrix",
    "parse_segments",
    "placement_order",
    "raw_codewords",
    "read_codewords",
    "rs_correct",
]

LEVELS = ("L", "M", "Q", "H")

# ---------------------------------------------------------------------------
# Arithmetic in GF(256) with the reducing polynomial x^8 + x^4 + x^3 + x^2 + 1.


def _gf_tables() -> tuple[bytes, tuple[int, ...]]:
    exp = bytearray(512)
    log = [0] * 256
    x = 1
    for i in range(255):
        exp[i] = x
        log[x] = i
        x <<= 1
        if x & 0x100:
            x ^= 0x11D
    # A doubled table lets a product index with log a + log b (< 510)
    # without reducing modulo 255.
    exp[255:510] = exp[0:255]
    return bytes(exp), tuple(log)


GF_EXP, GF_LOG = _gf_tables()


def gf_mul(a: int, b: int) -> int:
    """Product of two field elements."""
    if a == 0 or b == 0:
        return 0
    return GF_EXP[GF_LOG[a] + GF_LOG[b]]


def gf_div(a: int, b: int) -> int:
    """Quotient a / b of two field elements, b nonzero."""
    if a == 0:
        return 0
    return GF_EXP[GF_LOG[a] + 255 - GF_LOG[b]]


# ---------------------------------------------------------------------------
# Reed–Solomon blocks. A block is data codewords followed by EC codewords,
# read as a polynomial whose first codeword is the highest coefficient; the
# generator's roots are alpha^0 .. alpha^(ec-1).


@lru_cache(maxsize=None)
def rs_generator(ec: int) -> tuple[int, ...]:
    """Coefficients, highest first, of prod (x - alpha^j) for j < ec."""
    g = [1]
    for j in range(ec):
        root = GF_EXP[j]
        g = [a ^ gf_mul(b, root) for a, b in zip(g + [0], [0] + g)]
    return tuple(g)


@lru_cache(maxsize=None)
def _feedback_table(ec: int) -> tuple[int, ...]:
    # The division register as one integer of ec bytes: a feedback byte f
    # XORs in f times the generator's lower coefficients, precomputed for
    # every f so that each data codeword costs a shift, a lookup and an XOR.
    lower = rs_generator(ec)[1:]
    return tuple(
        int.from_bytes(bytes(gf_mul(f, g) for g in lower)) for f in range(256)
    )


@lru_cache(maxsize=None)
def _remainder_weights(ec: int) -> tuple[tuple[int, ...], ...]:
    # The remainder is linear in the data codewords: entry k of the result
    # maps a codeword c to c * x^(ec + k) mod g, so a block's remainder is an
    # XOR of one lookup per data codeword, with no loop-carried register.
    feedback = _feedback_table(ec)
    shift = 8 * (ec - 1)
    full = (1 << (8 * ec)) - 1
    weights = [feedback]
    for _ in range(_LONGEST_DATA.get(ec, 0) - 1):
        # Times x: shift up one codeword and fold the overflow back in.
        weights.append(tuple(((v << 8) & full) ^ feedback[v >> shift] for v in weights[-1]))
    return tuple(weights)


@lru_cache(maxsize=None)
def _data_weights(ec: int, length: int) -> tuple[tuple[int, ...], ...] | None:
    # The weights in block order: the first data codeword has the highest degree.
    weights = _remainder_weights(ec)
    if length > len(weights):
        return None
    return weights[:length][::-1]


def rs_remainder(block: bytes | bytearray, ec: int) -> int:
    """The block modulo the generator, as an integer of ``ec`` bytes.

    Zero exactly when the block is a codeword. The highest byte holds the
    coefficient of x^(ec-1).
    """
    data_end = len(block) - ec
    data = block[:data_end]
    weights = _data_weights(ec, len(data))
    # data * x^ec mod g is the parity an encoder would append; the received
    # EC codewords differ from it by exactly the remainder of the block.
    parity = int.from_bytes(block[data_end:])
    if weights is not None:
        return reduce(xor, map(getitem, weights, data), parity)
    table = _feedback_table(ec)
    shift = 8 * (ec - 1)
    full = (1 << (8 * ec)) - 1
    reg = 0
    for byte in data:
        reg = ((reg << 8) & full) ^ table[(reg >> shift) ^ byte]
    return reg ^ parity


def _packed_powers(coefficient: int, step_log: int, count: int) -> bytes:
    # coefficient * alpha^(step_log * k) for k < count.
    if coefficient == 0:
        return bytes(count)
    log = GF_LOG[coefficient]
    return bytes(GF_EXP[(log + step_log * k) % 255] for k in range(count))


def _linear_table(bases: list[int]) -> tuple[int, ...]:
    # Every map here is linear over GF(2) in the byte it looks up, so the
    # 256 entries are XORs of the images of the eight single bits.
    table = [0] * 256
    for value in range(1, 256):
        low = value & -value
        table[value] = table[value ^ low] ^ bases[low.bit_length() - 1]
    return tuple(table)


@lru_cache(maxsize=None)
def _syndrome_weights(ec: int) -> tuple[tuple[int, ...], ...]:
    # Entry i maps the remainder's byte i (the coefficient of x^(ec-1-i)) to
    # its share of all ec syndromes at once, S_0 in the highest byte.
    out = []
    for i in range(ec):
        degree = ec - 1 - i
        bases = [int.from_bytes(_packed_powers(1 << bit, degree, ec)) for bit in range(8)]
        out.append(_linear_table(bases))
    return tuple(out)


def _syndromes(remainder: bytes) -> list[int]:
    # The block and its remainder agree at every root of the generator.
    ec = len(remainder)
    packed = reduce(xor, map(getitem, _syndrome_weights(ec), remainder), 0)
    return list(packed.to_bytes(ec))


# Logarithms with a stand-in for log 0 that is large enough for any sum
# involving it to land in the zero tail of _EXP_OR_ZERO, so that products
# need no test for zero factors.
_LOG_ZERO = 1024
_LOG_OR_BIG = (_LOG_ZERO,) + GF_LOG[1:]
_EXP_OR_ZERO = tuple(GF_EXP[i % 255] for i in range(_LOG_ZERO)) + (0,) * (_LOG_ZERO + 512)


@lru_cache(maxsize=None)
def _multiplication_table(factor: int) -> bytes:
    # bytes.translate with this table multiplies every byte by ``factor``.
    return bytes(gf_mul(factor, b) for b in range(256))


def _later_discrepancies_vanish(
    syndromes: bytes, locator: list[int], length: int, start: int
) -> bool:
    # The discrepancies of steps start.. for an unchanged locator, all at
    # once: each locator coefficient scales a shifted run of syndromes.
    end = len(syndromes)
    total = int.from_bytes(syndromes[start:end])
    for i in range(1, length + 1):
        if locator[i]:
            run = syndromes[start - i : end - i].translate(_multiplication_table(locator[i]))
            total ^= int.from_bytes(run)
    return total == 0


def _error_locator(syndromes: list[int]) -> list[int]:
    """Berlekamp–Massey: the shortest locator, lowest coefficient first."""
    exp, log = _EXP_OR_ZERO, _LOG_OR_BIG
    n = len(syndromes)
    packed = bytes(syndromes)
    settled = False
    syndrome_logs = [log[s] for s in syndromes]
    locator = [1] + [0] * n
    locator_logs = [0] + [_LOG_ZERO] * n
    # The previous locator as logarithms, only up to its last nonzero
    # coefficient: zero coefficients add nothing to an update.
    previous = [0]
    length, gap, last_log = 0, 1, 0
    for k in range(n):
        d = syndromes[k]
        for i in range(1, length + 1):
            d ^= exp[locator_logs[i] + syndrome_logs[k - i]]
        if d == 0:
            gap += 1
            # The locator of e <= ec/2 errors is complete after 2e steps, and
            # the steps after it only confirm it: when the first zero
            # discrepancy after a change says so for all of them at once,
            # they are skipped. The result is the same either way.
            if not settled:
                if _later_discrepancies_vanish(packed, locator, length, k + 1):
                    break
                settled = True
            continue
        settled = False
        d_log = log[d]
        scale_log = d_log - last_log + 255
        saved: list[int] | None = None
        if 2 * length <= k:
            saved = trimmed = locator_logs[: length + 1]
            while trimmed[-1] == _LOG_ZERO:
                trimmed.pop()
        for i in range(min(len(previous), n + 1 - gap)):
            j = i + gap
            value = locator[j] ^ exp[previous[i] + scale_log]
            locator[j] = value
            locator_logs[j] = log[value]
        if saved is not None:
            length, previous, last_log, gap = k + 1 - length, saved, d_log, 1
        else:
            gap += 1
    return locator[: length + 1]


# Blocks up to this many codewords are searched with packed evaluations.
_PACKED_LENGTH = 153
_PACKED_DEGREES = 16  # a locator of more than 15 errors is refused earlier


@lru_cache(maxsize=None)
def _evaluation_weights() -> tuple[tuple[int, ...], ...]:
    # Entry i maps a coefficient c of x^i to c * alpha^(-i p) for every
    # degree p < _PACKED_LENGTH, byte p of a little-endian integer: a
    # polynomial's values at all inverse positions come from one XOR per
    # coefficient.
    out = []
    for i in range(_PACKED_DEGREES):
        step = (255 - i) % 255
        bases = [
            int.from_bytes(_packed_powers(1 << bit, step, _PACKED_LENGTH), "little")
            for bit in range(8)
        ]
        out.append(_linear_table(bases))
    return tuple(out)


def _values_at_inverse_positions(poly: list[int], n: int) -> bytes:
    # Byte p is poly(alpha^-p), for p < n.
    packed = reduce(xor, map(getitem, _evaluation_weights(), poly), 0)
    return (packed & ((1 << (8 * n)) - 1)).to_bytes(n, "little")


def _poly_eval_low_first(poly: list[int], x_log: int) -> int:
    # Evaluates sum poly[i] * x^i at x = alpha^x_log.
    value = 0
    for i, coefficient in enumerate(poly):
        if coefficient:
            value ^= GF_EXP[(GF_LOG[coefficient] + x_log * i) % 255]
    return value


def _error_degrees(locator: list[int], n: int) -> list[int]:
    """Chien search: degrees p < n with locator(alpha^-p) == 0."""
    if n <= _PACKED_LENGTH and len(locator) <= _PACKED_DEGREES:
        values = _values_at_inverse_positions(locator, n)
        degrees = []
        p = values.find(0)
        while p >= 0:
            degrees.append(p)
            p = values.find(0, p + 1)
        return degrees
    return [p for p in range(n) if _poly_eval_low_first(locator, (255 - p) % 255) == 0]


def _error_values(
    syndromes: list[int], locator: list[int], degrees: list[int], n: int
) -> list[int]:
    """Forney: the error value at each degree (first generator root alpha^0)."""
    exp, log = _EXP_OR_ZERO, _LOG_OR_BIG
    # The evaluator is syndromes * locator mod x^ec. Berlekamp–Massey leaves
    # a locator that generates every syndrome from the ones before, so all
    # coefficients from the locator's length up vanish and only the lower
    # ones are worth computing.
    length = len(locator) - 1
    locator_logs = [log[c] for c in locator]
    syndrome_logs = [log[s] for s in syndromes[:length]]
    evaluator = [0] * max(length, 1)
    for k in range(length):
        v = 0
        for j in range(k + 1):
            v ^= exp[locator_logs[j] + syndrome_logs[k - j]]
        evaluator[k] = v
    # Formal derivative in characteristic 2: only odd powers survive.
    derivative = [locator[i] if i % 2 else 0 for i in range(1, len(locator))]
    if n <= _PACKED_LENGTH and len(locator) <= _PACKED_DEGREES:
        numerators = _values_at_inverse_positions(evaluator, n)
        denominators = _values_at_inverse_positions(derivative, n)
        pairs = [(numerators[p], denominators[p]) for p in degrees]
    else:
        pairs = [
            (
                _poly_eval_low_first(evaluator, (255 - p) % 255),
                _poly_eval_low_first(derivative, (255 - p) % 255),
            )
            for p in degrees
        ]
    values = []
    for p, (numerator, denominator) in zip(degrees, pairs):
        if denominator == 0:
            raise ValueError("Too many errors to correct.")
        # numerator may be 0: its stand-in logarithm keeps the sum in the zero tail.
        values.append(exp[p % 255 + log[numerator] - log[denominator] + 255])
    return values


def rs_correct(block: bytes, ec: int) -> tuple[bytes, int]:
    """Corrects up to ec // 2 codeword errors; returns (block, errors fixed).

    Raises ValueError("Too many errors to correct.") when the block is
    farther than that from every codeword.
    """
    remainder = rs_remainder(block, ec)
    if remainder == 0:
        return bytes(block), 0
    return _correct_damaged(block, ec, remainder)


def _correct_damaged(block: bytes, ec: int, remainder: int) -> tuple[bytes, int]:
    # rs_correct for a block whose nonzero remainder is already known.
    syndromes = _syndromes(remainder.to_bytes(ec))
    locator = _error_locator(syndromes)
    count = len(locator) - 1
    n = len(block)
    if count > ec // 2:
        raise ValueError("Too many errors to correct.")
    degrees = _error_degrees(locator, n)
    # A locator whose roots are not all inside the block points at no real
    # error pattern: more errors occurred than the code can place.
    if len(degrees) != count:
        raise ValueError("Too many errors to correct.")
    fixed = bytearray(block)
    for p, value in zip(degrees, _error_values(syndromes, locator, degrees, n)):
        if value == 0:
            raise ValueError("Too many errors to correct.")
        fixed[n - 1 - p] ^= value
    if rs_remainder(fixed, ec):
        raise ValueError("Too many errors to correct.")
    return bytes(fixed), count


# ---------------------------------------------------------------------------
# Block structure per version and level.

# (EC codewords per block, number of blocks) for levels L, M, Q, H, indexed by
# version - 1. All blocks of a symbol carry the same number of EC codewords;
# when the data codewords do not divide evenly, the last blocks hold one more.
EC_BLOCKS: tuple[tuple[tuple[int, int], ...], ...] = (
    ((7, 1), (10, 1), (13, 1), (17, 1)),  # 1
    ((10, 1), (16, 1), (22, 1), (28, 1)),  # 2
    ((15, 1), (26, 1), (18, 2), (22, 2)),  # 3
    ((20, 1), (18, 2), (26, 2), (16, 4)),  # 4
    ((26, 1), (24, 2), (18, 4), (22, 4)),  # 5
    ((18, 2), (16, 4), (24, 4), (28, 4)),  # 6
    ((20, 2), (18, 4), (18, 6), (26, 5)),  # 7
    ((24, 2), (22, 4), (22, 6), (26, 6)),  # 8
    ((30, 2), (22, 5), (20, 8), (24, 8)),  # 9
    ((18, 4), (26, 5), (24, 8), (28, 8)),  # 10
    ((20, 4), (30, 5), (28, 8), (24, 11)),  # 11
    ((24, 4), (22, 8), (26, 10), (28, 11)),  # 12
    ((26, 4), (22, 9), (24, 12), (22, 16)),  # 13
    ((30, 4), (24, 9), (20, 16), (24, 16)),  # 14
    ((22, 6), (24, 10), (30, 12), (24, 18)),  # 15
    ((24, 6), (28, 10), (24, 17), (30, 16)),  # 16
    ((28, 6), (28, 11), (28, 16), (28, 19)),  # 17
    ((30, 6), (26, 13), (28, 18), (28, 21)),  # 18
    ((28, 7), (26, 14), (26, 21), (26, 25)),  # 19
    ((28, 8), (26, 16), (30, 20), (28, 25)),  # 20
    ((28, 8), (26, 17), (28, 23), (30, 25)),  # 21
    ((28, 9), (28, 17), (30, 23), (24, 34)),  # 22
    ((30, 9), (28, 18), (30, 25), (30, 30)),  # 23
    ((30, 10), (28, 20), (30, 27), (30, 32)),  # 24
    ((26, 12), (28, 21), (30, 29), (30, 35)),  # 25
    ((28, 12), (28, 23), (28, 34), (30, 37)),  # 26
    ((30, 12), (28, 25), (30, 34), (30, 40)),  # 27
    ((30, 13), (28, 26), (30, 35), (30, 42)),  # 28
    ((30, 14), (28, 28), (30, 38), (30, 45)),  # 29
    ((30, 15), (28, 29), (30, 40), (30, 48)),  # 30
    ((30, 16), (28, 31), (30, 43), (30, 51)),  # 31
    ((30, 17), (28, 33), (30, 45), (30, 54)),  # 32
    ((30, 18), (28, 35), (30, 48), (30, 57)),  # 33
    ((30, 19), (28, 37), (30, 51), (30, 60)),  # 34
    ((30, 19), (28, 38), (30, 53), (30, 63)),  # 35
    ((30, 20), (28, 40), (30, 56), (30, 66)),  # 36
    ((30, 21), (28, 43), (30, 59), (30, 70)),  # 37
    ((30, 22), (28, 45), (30, 62), (30, 74)),  # 38
    ((30, 24), (28, 47), (30, 65), (30, 77)),  # 39
    ((30, 25), (28, 49), (30, 68), (30, 81)),  # 40
)


def raw_codewords(version: int) -> int:
    """Codewords (data plus EC) a symbol of ``version`` holds.

    Counts the data modules from the sizes of the function patterns, then
    drops the 0, 3, 4 or 7 remainder bits that do not fill a codeword.
    """
    size_for_version(version)
    modules = (16 * version + 128) * version + 64
    if version >= 2:
        per_side = version // 7 + 2
        modules -= (25 * per_side - 10) * per_side - 55
        if version >= 7:
            modules -= 36
    return modules // 8


@dataclass(frozen=True)
class BlockLayout:
    """How the codewords of one version and level are split into blocks."""

    ec_per_block: int
    data_lengths: tuple[int, ...]  # data codewords per block, in block order

    @property
    def data_codewords(self) -> int:
        return sum(self.data_lengths)


@lru_cache(maxsize=None)
def block_layout(version: int, level: str) -> BlockLayout:
    """Block structure of ``version`` (1..40) at level "L", "M", "Q" or "H"."""
    if level not in LEVELS:
        raise ValueError("Not an error correction level.")
    ec, count = EC_BLOCKS[version - 1][LEVELS.index(level)]
    data_total = raw_codewords(version) - ec * count
    short, longer = divmod(data_total, count)
    return BlockLayout(ec, (short,) * (count - longer) + (short + 1,) * longer)


def _longest_data_parts() -> dict[int, int]:
    longest: dict[int, int] = {}
    for version in range(1, MAX_VERSION + 1):
        for level in LEVELS:
            layout = block_layout(version, level)
            ec = layout.ec_per_block
            longest[ec] = max(longest.get(ec, 0), max(layout.data_lengths))
    return longest


# The longest data part of any block, per EC codeword count: the reach of
# the remainder weights. Longer blocks fall back to the register loop.
_LONGEST_DATA = _longest_data_parts()


def _block_parts(codewords: bytes, layout: BlockLayout) -> list[tuple[bytes, bytes]]:
    # (data, EC codewords) of every block, in block order.
    lengths = layout.data_lengths
    count = len(lengths)
    short = lengths[0]
    data_total = layout.data_codewords
    # Data codewords go round-robin over the blocks; the longer blocks'
    # last codewords follow after every block has had ``short`` of them.
    columns_end = short * count
    first_long = lengths.index(short + 1) if short + 1 in lengths else count
    parts = []
    for b, length in enumerate(lengths):
        data = codewords[b:columns_end:count]
        if length > short:
            tail = columns_end + b - first_long
            data += codewords[tail : tail + 1]
        parts.append((data, codewords[data_total + b :: count]))
    return parts


def deinterleave(codewords: bytes, layout: BlockLayout) -> list[bytes]:
    """Splits the interleaved codeword stream into its blocks (data + EC)."""
    return [data + ec for data, ec in _block_parts(codewords, layout)]


def correct_blocks(codewords: bytes, layout: BlockLayout) -> tuple[bytes, int]:
    """Corrects every block; returns (data codewords in order, codewords fixed)."""
    ec = layout.ec_per_block
    weights_for = {n: _data_weights(ec, n) for n in set(layout.data_lengths)}
    out = []
    corrected = 0
    for data, parity in _block_parts(codewords, layout):
        # Most blocks of a readable symbol are intact: their remainder is
        # one lookup per data codeword, without assembling the block.
        weights = weights_for[len(data)]
        if weights is None:
            remainder = rs_remainder(data + parity, ec)
        else:
            remainder = reduce(xor, map(getitem, weights, data), int.from_bytes(parity))
        if remainder:
            block, fixed = _correct_damaged(data + parity, ec, remainder)
            corrected += fixed
            data = block[: len(data)]
        out.append(data)
    return b"".join(out), corrected


# ---------------------------------------------------------------------------
# Placement of codeword bits and the data masks.


@lru_cache(maxsize=None)
def placement_order(version: int) -> tuple[int, ...]:
    """Matrix indices of all data modules in the order bits are placed.

    Two-column strips from the right edge, alternately upward and downward,
    right module before left; the vertical timing column is skipped. The
    last 0, 3, 4 or 7 entries are remainder bits outside every codeword.
    """
    size = size_for_version(version)
    functional = function_mask(size)
    total = size * size
    order: list[int] = []
    strip = [0] * (2 * size)
    upward = True
    col = size - 1
    while col > 0:
        if col == 6:
            col = 5
        # Filled top to bottom, right module first; an upward strip is the
        # same walk reversed, so it starts with the left column.
        first, second = (col - 1, col) if upward else (col, col - 1)
        strip[0::2] = range(first, total, size)
        strip[1::2] = range(second, total, size)
        order.extend(reversed(strip) if upward else strip)
        upward = not upward
        col -= 2
    return tuple(i for i in order if not functional[i])


# Which modules each mask inverts, from row r and column c.
MASK_CONDITIONS: tuple[Callable[[int, int], bool], ...] = (
    lambda r, c: (r + c) % 2 == 0,
    lambda r, c: r % 2 == 0,
    lambda r, c: c % 3 == 0,
    lambda r, c: (r + c) % 3 == 0,
    lambda r, c: (r // 2 + c // 3) % 2 == 0,
    lambda r, c: (r * c) % 2 + (r * c) % 3 == 0,
    lambda r, c: ((r * c) % 2 + (r * c) % 3) % 2 == 0,
    lambda r, c: ((r + c) % 2 + (r * c) % 3) % 2 == 0,
)
# Every mask row repeats with period 6 along the columns, so a row is a
# 6-module pattern tiled across the symbol.
_MASK_PERIOD = 6


@lru_cache(maxsize=None)
def _strip_slices(size: int) -> tuple[tuple[slice, ...], tuple[slice, ...]]:
    """Slices of a matrix that read the right and the left column of every
    two-column strip in placement direction (bottom to top when upward)."""
    last_row = (size - 1) * size
    rights: list[slice] = []
    lefts: list[slice] = []
    upward = True
    col = size - 1
    while col > 0:
        if col == 6:
            col = 5
        if upward:
            rights.append(slice(last_row + col, None, -size))
            lefts.append(slice(last_row + col - 1, None, -size))
        else:
            rights.append(slice(col, None, size))
            lefts.append(slice(col - 1, None, size))
        upward = not upward
        col -= 2
    return tuple(rights), tuple(lefts)


def _strip_order(modules: bytes, size: int) -> bytearray:
    # All modules outside the vertical timing column in placement order,
    # function modules included: every strip alternates its right and left
    # column, so all right columns fill the even places and all left
    # columns the odd ones.
    rights, lefts = _strip_slices(size)
    out = bytearray(size * (size - 1))
    out[0::2] = b"".join(map(modules.__getitem__, rights))
    out[1::2] = b"".join(map(modules.__getitem__, lefts))
    return out


@lru_cache(maxsize=None)
def _strip_marks(size: int, mask: int) -> int:
    # In strip order, one byte per module: 1 where the mask inverts a data
    # module and 2 or 3 on function modules, which are then dropped by value.
    condition = MASK_CONDITIONS[mask]
    repeats = size // _MASK_PERIOD + 1
    inverted = b"".join(
        (bytes(condition(r, c) for c in range(_MASK_PERIOD)) * repeats)[:size]
        for r in range(size)
    )
    functional = function_mask(size)
    marks = bytes(i | f << 1 for i, f in zip(inverted, functional))
    return int.from_bytes(_strip_order(marks, size))


def _module_bytes(modules: object, size: int) -> bytes:
    try:
        view = memoryview(modules)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError("Matrix must support the buffer protocol.") from None
    if view.itemsize != 1:
        raise TypeError("Matrix must hold one byte per module.")
    raw = view.tobytes()
    if len(raw) != size * size:
        raise ValueError("Matrix length does not match the size.")
    return raw


# Any nonzero (dark) module becomes 1.
_TO_BIT = b"\x00" + b"\x01" * 255
# Data bits become ASCII "0"/"1", ready for int(bits, 2); the marked
# function modules (2, 3) are deleted.
_TO_DIGIT = b"01" + bytes(254)
_FUNCTION_MARKS = b"\x02\x03"


def read_codewords(modules: bytes, size: int, mask: int) -> bytes:
    """The unmasked codewords of a matrix of ``size``, in placement order."""
    version = version_for_size(size)
    if not 0 <= mask < len(MASK_CONDITIONS):
        raise ValueError("Not a mask pattern.")
    bits = _module_bytes(modules, size).translate(_TO_BIT)
    ordered = int.from_bytes(_strip_order(bits, size)) ^ _strip_marks(size, mask)
    digits = ordered.to_bytes(size * (size - 1)).translate(_TO_DIGIT, _FUNCTION_MARKS)
    total = raw_codewords(version)
    # The 0, 3, 4 or 7 remainder bits at the end belong to no codeword.
    return int(digits[: 8 * total], 2).to_bytes(total)


# ---------------------------------------------------------------------------
# Segments of the data bit stream.

MODE_TERMINATOR = 0b0000
MODE_NUMERIC = 0b0001
MODE_ALPHANUMERIC = 0b0010
MODE_STRUCTURED_APPEND = 0b0011
MODE_BYTE = 0b0100
MODE_FNC1_FIRST = 0b0101
MODE_ECI = 0b0111
MODE_KANJI = 0b1000
MODE_FNC1_SECOND = 0b1001

MODE_NAMES = {
    MODE_NUMERIC: "numeric",
    MODE_ALPHANUMERIC: "alphanumeric",
    MODE_BYTE: "byte",
    MODE_KANJI: "kanji",
}

# Bits of the character count, for versions 1-9, 10-26 and 27-40.
COUNT_BITS = {
    MODE_NUMERIC: (10, 12, 14),
    MODE_ALPHANUMERIC: (9, 11, 13),
    MODE_BYTE: (8, 16, 16),
    MODE_KANJI: (8, 10, 12),
}

ALPHANUMERIC = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ $%*+-./:"

# Python codecs for the ECI assignments this reader understands.
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
    20: "shift_jis",
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


@dataclass(frozen=True)
class Segment:
    """One run of data in a single mode."""

    mode: str  # "numeric", "alphanumeric", "byte" or "kanji"
    data: bytes  # the payload bytes (ASCII for numeric/alphanumeric, Shift JIS for kanji)
    text: str
    eci: int | None  # the ECI in effect, None when none was announced


def _take(bits: str, pos: int, n: int) -> int:
    if pos + n > len(bits):
        raise ValueError("Segment runs past the end of the data.")
    return int(bits[pos : pos + n], 2)


def _need(bits: str, pos: int, n: int) -> None:
    if pos + n > len(bits):
        raise ValueError("Segment runs past the end of the data.")


def _read_numeric(bits: str, pos: int, count: int) -> tuple[str, int]:
    triples, rest = divmod(count, 3)
    rest_bits = (0, 4, 7)[rest]
    _need(bits, pos, 10 * triples + rest_bits)
    parts = []
    for start in range(pos, pos + 10 * triples, 10):
        value = int(bits[start : start + 10], 2)
        if value > 999:
            raise ValueError("Invalid numeric digits.")
        parts.append(f"{value:03d}")
    pos += 10 * triples
    if rest:
        value = int(bits[pos : pos + rest_bits], 2)
        if value >= 10**rest:
            raise ValueError("Invalid numeric digits.")
        parts.append(f"{value:0{rest}d}")
        pos += rest_bits
    return "".join(parts), pos


def _read_alphanumeric(bits: str, pos: int, count: int) -> tuple[str, int]:
    pairs, odd = divmod(count, 2)
    _need(bits, pos, 11 * pairs + 6 * odd)
    chars = []
    for start in range(pos, pos + 11 * pairs, 11):
        value = int(bits[start : start + 11], 2)
        if value >= 45 * 45:
            raise ValueError("Invalid alphanumeric characters.")
        chars.append(ALPHANUMERIC[value // 45] + ALPHANUMERIC[value % 45])
    pos += 11 * pairs
    if odd:
        value = int(bits[pos : pos + 6], 2)
        if value >= 45:
            raise ValueError("Invalid alphanumeric characters.")
        chars.append(ALPHANUMERIC[value])
        pos += 6
    return "".join(chars), pos


def _read_bytes(bits: str, pos: int, count: int) -> tuple[bytes, int]:
    _need(bits, pos, 8 * count)
    if count == 0:
        return b"", pos
    return int(bits[pos : pos + 8 * count], 2).to_bytes(count), pos + 8 * count


def _read_kanji(bits: str, pos: int, count: int) -> tuple[bytes, int]:
    _need(bits, pos, 13 * count)
    out = bytearray()
    for start in range(pos, pos + 13 * count, 13):
        value = int(bits[start : start + 13], 2)
        packed = (value // 0xC0) << 8 | value % 0xC0
        # The two Shift JIS ranges 0x8140-0x9FFC and 0xE040-0xEBBF were
        # shifted down to meet below and above 0x1F00.
        code = packed + (0x8140 if packed < 0x1F00 else 0xC140)
        out += code.to_bytes(2)
    return bytes(out), pos + 13 * count


def _byte_text(data: bytes, eci: int | None) -> str:
    if eci is None:
        # Without an ECI the default is Latin-1, but encoders routinely put
        # UTF-8 in byte segments unannounced; valid UTF-8 is rarely Latin-1
        # text by accident.
        try:
            return data.decode("utf-8")
        except UnicodeDecodeError:
            return data.decode("latin-1")
    codec = ECI_CODECS[eci]
    try:
        return data.decode(codec)
    except UnicodeDecodeError:
        raise ValueError(f"Byte segment is not valid {codec} text.") from None


def _kanji_text(data: bytes) -> str:
    try:
        return data.decode("shift_jis")
    except UnicodeDecodeError:
        pass
    try:
        # Vendor characters of the Windows code page sit in the same ranges.
        return data.decode("cp932")
    except UnicodeDecodeError:
        raise ValueError("Invalid kanji characters.") from None


def _read_eci(bits: str, pos: int) -> tuple[int, int]:
    first = _take(bits, pos, 8)
    if first & 0x80 == 0:
        value, used = first, 8
    elif first & 0xC0 == 0x80:
        value, used = (first & 0x3F) << 8 | _take(bits, pos + 8, 8), 16
    elif first & 0xE0 == 0xC0:
        value, used = (first & 0x1F) << 16 | _take(bits, pos + 8, 16), 24
    else:
        raise ValueError("Invalid ECI designator.")
    if value not in ECI_CODECS:
        raise ValueError(f"Unsupported ECI {value}.")
    return value, pos + used


def _read_segment(
    bits: str, pos: int, mode: int, version: int, eci: int | None
) -> tuple[Segment, int]:
    band = 0 if version <= 9 else 1 if version <= 26 else 2
    count_bits = COUNT_BITS[mode][band]
    count = _take(bits, pos, count_bits)
    pos += count_bits
    if mode == MODE_NUMERIC or mode == MODE_ALPHANUMERIC:
        reader = _read_numeric if mode == MODE_NUMERIC else _read_alphanumeric
        text, pos = reader(bits, pos, count)
        data = text.encode("ascii")
    elif mode == MODE_BYTE:
        data, pos = _read_bytes(bits, pos, count)
        text = _byte_text(data, eci)
    else:
        data, pos = _read_kanji(bits, pos, count)
        text = _kanji_text(data)
    return Segment(MODE_NAMES[mode], data, text, eci), pos


def parse_segments(
    data: bytes, version: int
) -> tuple[tuple[Segment, ...], tuple[int, int, int] | None]:
    """Segments of a data bit stream, and its structured-append header.

    The header is (index, total, parity), index counting from 0. FNC1
    indicators are skipped. The stream ends at a terminator or when fewer
    than four bits remain.
    """
    if not 1 <= version <= MAX_VERSION:
        raise ValueError("Not a QR version.")
    bits = format(int.from_bytes(data), "b").zfill(8 * len(data)) if data else ""
    pos = 0
    eci: int | None = None
    header: tuple[int, int, int] | None = None
    segments = []
    while len(bits) - pos >= 4:
        mode = int(bits[pos : pos + 4], 2)
        pos += 4
        if mode == MODE_TERMINATOR:
            break
        if mode in MODE_NAMES:
            segment, pos = _read_segment(bits, pos, mode, version, eci)
            segments.append(segment)
        elif mode == MODE_ECI:
            eci, pos = _read_eci(bits, pos)
        elif mode == MODE_STRUCTURED_APPEND:
            value = _take(bits, pos, 16)
            header = (value >> 12, (value >> 8 & 0xF) + 1, value & 0xFF)
            pos += 16
        elif mode == MODE_FNC1_SECOND:
            _take(bits, pos, 8)  # application indicator
            pos += 8
        elif mode != MODE_FNC1_FIRST:
            raise ValueError(f"Unknown segment mode 0b{mode:04b}.")
    return tuple(segments), header


# ---------------------------------------------------------------------------
# The whole symbol.


@dataclass(frozen=True)
class Decoded:
    """What a QR symbol carries, and how it was stored."""

    text: str
    data: bytes  # payload bytes of all segments, concatenated
    segments: tuple[Segment, ...]
    version: int
    error_correction: str  # "L", "M", "Q" or "H"
    mask: int
    corrected: int  # codewords fixed by error correction
    structured_append: tuple[int, int, int] | None  # (index, total, parity)


def decode_matrix(modules: bytes, size: int) -> Decoded:
    """Decodes a restored matrix of ``size`` x ``size`` modules.

    Raises ValueError("Not a QR symbol size.") for a bad size, ValueError
    ("Too many errors to correct.") when a block is beyond repair, and a
    ValueError naming the fault for a malformed bit stream.
    """
    version = version_for_size(size)
    raw = _module_bytes(modules, size)
    fmt = format_info(raw, size)
    layout = block_layout(version, fmt.error_correction)
    data, corrected = correct_blocks(read_codewords(raw, size, fmt.mask), layout)
    segments, header = parse_segments(data, version)
    return Decoded(
        text="".join(s.text for s in segments),
        data=b"".join(s.data for s in segments),
        segments=segments,
        version=version,
        error_correction=fmt.error_correction,
        mask=fmt.mask,
        corrected=corrected,
        structured_append=header,
    )
