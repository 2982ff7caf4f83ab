"""Structured-append sequences joined from the codes of one or more reads, and --join."""

from __future__ import annotations

import dataclasses
import json
import random
from functools import reduce

import numpy as np
import pytest
import segno

import halvern
from halvern.__main__ import main

LONG = "Structured append spreads one message over several symbols; the reader joins them. "
MIXED = "Grüße aus Köln, 日本語のテキスト 12345 ABCDE and more text to spread " * 2


def image(qr: segno.QRCode, scale: int = 3) -> np.ndarray:
    return np.kron(np.pad(np.array(qr.matrix, dtype=np.uint8), 4), np.ones((scale, scale), np.uint8))


def parts(text: str, count: int) -> list[halvern.QRCode]:
    codes = [halvern.read(image(q)) for q in segno.make_sequence(text, symbol_count=count, error="m")]
    assert all(c is not None and c.structured_append is not None for c in codes)
    return [c for c in codes if c is not None]


def xor(data: bytes) -> int:
    return reduce(lambda a, b: a ^ b, data, 0)


@pytest.mark.parametrize(("text", "count"), [(LONG, 2), (LONG + LONG[::-1], 5), (MIXED, 4)])
def test_a_complete_sequence_is_joined_in_any_order(text, count) -> None:
    codes = parts(text, count)
    shuffled = codes + [codes[1]]  # one symbol seen twice counts once
    random.Random(count).shuffle(shuffled)
    (joined,) = halvern.merge_structured_append(shuffled)
    assert joined.reason is None
    assert (joined.text, joined.total, len(joined.codes)) == (text, count, count)
    assert joined.data == b"".join(c.data for c in codes)
    assert joined.parity == xor(joined.data) == codes[0].structured_append[2]
    assert [c.structured_append[0] for c in joined.codes] == list(range(count))


def test_sequences_of_several_reads_are_kept_apart() -> None:
    first, second = parts(LONG, 3), parts(MIXED, 2)
    single = halvern.read(image(segno.make_qr("on its own")))
    results = halvern.merge_structured_append([second[1], *first, single, second[0]])
    assert [(r.text, r.reason) for r in results] == [(MIXED, None), (LONG, None)]


def forged(codes: list[halvern.QRCode], index: int, **changes: object) -> list[halvern.QRCode]:
    return [dataclasses.replace(c, **changes) if i == index else c for i, c in enumerate(codes)]


def reparity(codes: list[halvern.QRCode], parity: int) -> list[halvern.QRCode]:
    return [dataclasses.replace(c, structured_append=(*c.structured_append[:2], parity)) for c in codes]


@pytest.mark.parametrize(
    ("broken", "reason"),
    [(lambda c: c[:1] + c[2:], "1 of 3 symbols missing (index 1)"),
     (lambda c: c[1:2], "2 of 3 symbols missing (index 0, 2)"),
     (lambda c: c + forged(c, 2, data=b"other")[2:], "different symbols share index 2"),
     (lambda c: reparity(c, c[0].structured_append[2] ^ 0x55), "parity is"),
     (lambda c: forged(c, 0, data=b"\xff", segments=(halvern.Segment("byte", b"\xff", "", 26),)),
      "joined text is not valid")],
    ids=["one missing", "two missing", "clash", "parity", "bad text"],
)
def test_a_sequence_that_does_not_join_says_why(broken, reason) -> None:
    codes = parts(LONG, 3)
    if reason == "joined text is not valid":
        codes = reparity(codes, xor(b"\xff" + codes[1].data + codes[2].data))
    (result,) = halvern.merge_structured_append(broken(codes))
    assert (result.text, result.data, result.segments) == (None, None, ())
    assert result.reason is not None and reason in result.reason


def test_only_results_are_taken() -> None:
    with pytest.raises(TypeError, match="QRCode"):
        halvern.merge_structured_append(["text"])  # type: ignore[list-item]


@pytest.mark.parametrize(("files", "status"), [([0, 1, 2, "x"], 0), ([2, 0], 1)])
@pytest.mark.parametrize("mode", [[], ["--json"]], ids=["plain", "json"])
def test_command_line_joins_across_files(tmp_path, capsys, files, status, mode) -> None:
    sequence = segno.make_sequence(LONG, symbol_count=3, error="m")
    paths = []
    for name in files:
        qr = sequence[name] if isinstance(name, int) else segno.make_qr("plain code")
        paths.append(str(tmp_path / f"{name}.png"))
        qr.save(paths[-1], scale=3)
    assert main(["--join", *mode, *paths]) == status
    captured = capsys.readouterr()
    lines = captured.out.splitlines()
    missing = "1 of 3 symbols missing (index 1)"
    if mode:
        records = [json.loads(line) for line in lines]
        joined = [r for r in records if "joined" in r]
        assert [(r["joined"], r["text"], r["error"]) for r in joined] == (
            [(True, LONG, None)] if status == 0 else [(False, None, missing)])
        assert len(records) == len(files) - (3 if status == 0 else 0) + 1
    elif status == 0:
        assert lines == [f"{paths[3]}: plain code", f"{' + '.join(paths[:3])}: {LONG}"]
    else:
        assert [line.split(": ")[0] for line in lines] == paths
    assert (captured.err == "") == (status == 0)
    assert (f"not joined: {missing}" in captured.err) == (status == 1)
