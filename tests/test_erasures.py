"""Reed–Solomon decoding with erasures, checked against a plain Peterson decoder.

A block with f erased codewords and e errors beside them decodes when 2e + f is within
the budget; the plain reference finds the errors by solving the syndrome equations
directly (no Berlekamp–Massey), so the two agree only when both are right.
"""

from __future__ import annotations

import random

import numpy as np
import pytest

import halvern
from halvern import _engine
from halvern._content import decode_matrix
from tests.test_decode import (
    EC_COUNTS,
    block_layout,
    inject_errors,
    slow_eval,
    slow_gf_inverse,
    slow_gf_mul,
    slow_gf_pow,
    slow_parity,
    symbol,
)


def gf_solve(rows: list[list[int]], rhs: list[int]) -> list[int] | None:
    """x with rows * x = rhs over GF(256) by Gauss–Jordan elimination; None when singular."""
    n = len(rows)
    work = [row[:] + [value] for row, value in zip(rows, rhs)]
    for col in range(n):
        pivot = next((r for r in range(col, n) if work[r][col]), None)
        if pivot is None:
            return None
        work[col], work[pivot] = work[pivot], work[col]
        scale = slow_gf_inverse(work[col][col])
        work[col] = [slow_gf_mul(scale, v) for v in work[col]]
        for r in range(n):
            if r != col and work[r][col]:
                factor = work[r][col]
                work[r] = [v ^ slow_gf_mul(factor, p) for v, p in zip(work[r], work[col])]
    return [work[r][n] for r in range(n)]


def plain_rs_erasures(block: bytes, ec: int, erased: list[int], budget: int) -> tuple[bytes, int] | None:
    n = len(block)
    degree = [n - 1 - i for i in erased]
    syndromes = [0] * ec
    for i, c in enumerate(block):
        for j in range(ec):
            syndromes[j] ^= slow_gf_mul(c, slow_gf_pow(2, (n - 1 - i) * j))
    if len(set(erased)) != len(erased):
        return None
    if not any(syndromes):
        return bytes(block), 0
    if len(erased) > budget:
        return None
    # The erased positions' terms eliminated: t_j = sum_m gamma_m s_(j+f-m).
    gamma = [1]
    for d in degree:
        x = slow_gf_pow(2, d)
        gamma = [a ^ slow_gf_mul(x, b) for a, b in zip(gamma + [0], [0] + gamma)]
    f = len(erased)
    t = [0] * (ec - f)
    for j in range(ec - f):
        for m in range(f + 1):
            t[j] ^= slow_gf_mul(gamma[m], syndromes[j + f - m])
    errors: list[int] = []
    for nu in range((ec - f) // 2, 0, -1):
        hankel = [[t[i + k] for k in range(nu)] for i in range(nu)]
        solved = gf_solve(hankel, [t[nu + i] for i in range(nu)])
        if solved is None:
            continue
        locator = [1] + solved[::-1]  # Lambda_1 .. Lambda_nu
        errors = [p for p in range(n) if slow_eval(locator, slow_gf_pow(2, 255 - p)) == 0]
        if len(errors) != nu:
            return None
        break
    if 2 * len(errors) + f > budget or set(errors) & set(degree):
        return None
    places = errors + degree
    rows = [[slow_gf_pow(2, p * j) for p in places] for j in range(len(places))]
    values = gf_solve(rows, syndromes[: len(places)])
    if values is None or any(v == 0 for v in values[: len(errors)]):
        return None
    fixed = bytearray(block)
    for p, v in zip(places, values):
        fixed[n - 1 - p] ^= v
    if slow_parity(bytes(fixed[: n - ec]), ec) != fixed[n - ec :]:
        return None
    return bytes(fixed), sum(v != 0 for v in values)


def correct(block: bytes, ec: int, erased: list[int], budget: int) -> tuple[bytes, int] | None:
    result: tuple[bytes, int] | None = _engine._rs_correct_erasures(block, ec, bytes(erased), budget)
    return result


def damaged(rng: random.Random, ec: int, errors: int, erasures: int) -> tuple[bytes, bytes, list[int], int]:
    """A codeword, its copy with `errors` changed and `erasures` set to random values, those positions, and
    how many codewords differ."""
    length = rng.choice([3, 20, 120, 255 - 2 * ec])
    data = bytes(rng.randrange(256) for _ in range(length))
    block = data + slow_parity(data, ec)
    places = rng.sample(range(len(block)), errors + erasures)
    copy = bytearray(block)
    for i in places[:errors]:
        copy[i] ^= rng.randrange(1, 256)
    for i in places[errors:]:
        copy[i] = rng.randrange(256)
    return block, bytes(copy), places[errors:], sum(a != b for a, b in zip(block, copy))


@pytest.mark.parametrize("ec", EC_COUNTS)
@pytest.mark.parametrize("reserve", [0, 1, 3])
def test_decodes_at_the_budget_and_refuses_one_erasure_more(ec: int, reserve: int) -> None:
    rng = random.Random(ec * 10 + reserve)
    budget = ec - reserve
    for errors in range(budget // 2 + 1):
        block, copy, erased, changed = damaged(rng, ec, errors, budget - 2 * errors)
        assert correct(copy, ec, erased, budget) == (block, changed)
        # One more erased codeword, itself intact: no codeword lies within the
        # budget any more, so this can only be refused.
        spare = next(i for i in rng.sample(range(len(copy)), len(copy)) if i not in erased and copy[i] == block[i])
        if budget - 2 * errors < ec:
            assert correct(copy, ec, erased + [spare], budget) is None
    assert correct(block, ec, [0, 0], budget) is None


@pytest.mark.parametrize("ec", EC_COUNTS + [1, 2, 5])
def test_agrees_with_the_plain_decoder_on_any_damage(ec: int) -> None:
    # Beyond the budget too: refusals and miscorrections are compared as well.
    rng = random.Random(2000 + ec)
    for _ in range(12):
        erasures = rng.randrange(ec + 1)
        errors = rng.randrange((ec - erasures) // 2 + 3)
        block, copy, erased, _ = damaged(rng, ec, errors, erasures)
        budget = rng.randrange(erasures, ec + 1)
        assert correct(copy, ec, erased, budget) == plain_rs_erasures(copy, ec, erased, budget)


# ---------------------------------------------------------------------------
# The reader: blots that the sampler reads wrong, but not surely.


def blotted(version: int, level: str, per_block: int, seed: int) -> tuple[np.ndarray, int]:
    """A symbol drawn at 9 px/module with per_block codewords of every block damaged, each
    wrong module drawn as a blot over its middle (pixels 2..6) in its true colour's rim;
    and how many codewords are damaged."""
    modules, size, _ = symbol("ERASED BLOTS", version=version, error=level, mask=seed % 8)
    blocks = len(block_layout(version, level)[1])
    damaged = inject_errors(modules, version, level, [per_block] * blocks, seed=seed)
    truth = np.frombuffer(modules, np.uint8).reshape(size, size)
    image = np.kron(np.pad(truth, 4), np.ones((9, 9), np.uint8))
    for r, c in zip(*np.nonzero(np.frombuffer(damaged, np.uint8).reshape(size, size) != truth)):
        image[9 * (r + 4) + 2 : 9 * (r + 4) + 7, 9 * (c + 4) + 2 : 9 * (c + 4) + 7] ^= 1
    with pytest.raises(ValueError, match=r"^Too many errors to correct\.$"):
        decode_matrix(damaged, size)
    return image, per_block * blocks


@pytest.mark.parametrize(("version", "level", "per_block"), [(1, "M", 6), (3, "Q", 10), (5, "Q", 14), (8, "H", 20)])
@pytest.mark.parametrize("seed", range(2))
def test_blotted_codewords_beyond_errors_only_are_read_through_erasures(
    version: int, level: str, per_block: int, seed: int
) -> None:
    image, damaged = blotted(version, level, per_block, seed)
    (code,) = halvern.read_all(image)
    assert (code.text, code.corrected) == ("ERASED BLOTS", damaged)


@pytest.mark.parametrize(("version", "level", "per_block"), [(1, "L", 4), (1, "M", 7), (3, "Q", 18), (5, "L", 27)])
@pytest.mark.parametrize("seed", range(3))
def test_blots_past_the_erasure_budget_never_read_as_another_text(
    version: int, level: str, per_block: int, seed: int
) -> None:
    # The sampler may read a blot right; what it reads wrong is beyond any budget.
    image, _ = blotted(version, level, per_block, seed)
    assert [code.text for code in halvern.read_all(image)] in ([], ["ERASED BLOTS"])
