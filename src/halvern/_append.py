"""Structured append: one message spread over up to 16 symbols, joined again.

Each symbol of a sequence states its index (from 0), the total and a parity byte, the
XOR of every byte of the whole message (``QRCode.structured_append``). The codes of
one or more reads are grouped by parity and total; a group becomes one message when
every index from 0 to total - 1 is there, the same symbol seen twice (two photos of
one label) counting once, and the XOR of the joined data equals the parity. A group
that is incomplete or inconsistent is not joined, and its ``reason`` says why.
"""

from __future__ import annotations

from collections.abc import Iterable
from dataclasses import dataclass
from functools import reduce

from halvern._content import Segment, segment_text
from halvern._reader import QRCode, Undecoded

__all__ = ["StructuredAppend", "merge_structured_append"]


@dataclass(frozen=True, repr=False)
class StructuredAppend:
    """One structured-append sequence found among the codes given.

    Attributes:
        text: the joined text, None when the sequence was not joined.
        data: the joined payload bytes, None when the sequence was not joined.
        segments: the joined segments (a segment cut between two symbols is one
            again); empty when the sequence was not joined.
        parity: the parity byte the symbols state, 0 to 255.
        total: the number of symbols the sequence has, 1 to 16.
        codes: the sequence's codes found, by index (the same symbol seen twice once).
        reason: None when the sequence was joined, else why not (symbols missing, two
            different symbols with one index, data that does not match the parity).
    """

    text: str | None
    data: bytes | None
    segments: tuple[Segment, ...]
    parity: int
    total: int
    codes: tuple[QRCode, ...]
    reason: str | None

    def __repr__(self) -> str:
        state = "joined" if self.reason is None else f"not joined: {self.reason}"
        return (f"StructuredAppend(parity={self.parity}, total={self.total}, "
                f"found={len(self.codes)}, {state})")


def _parts(codes: Iterable[QRCode | Undecoded]) -> dict[tuple[int, int], list[QRCode]]:
    """The codes of each (parity, total), in the order first met; codes outside a
    sequence and symbols that did not decode are left out."""
    groups: dict[tuple[int, int], list[QRCode]] = {}
    for code in codes:
        if isinstance(code, Undecoded):
            continue
        if not isinstance(code, QRCode):
            raise TypeError(f"merge_structured_append takes QRCode results, not {type(code).__name__}.")
        if code.structured_append is not None:
            _, total, parity = code.structured_append
            groups.setdefault((parity, total), []).append(code)
    return groups


def _by_index(codes: list[QRCode], total: int) -> tuple[dict[int, QRCode], str | None]:
    """The codes by index, and what keeps them from being joined (or None)."""
    found: dict[int, QRCode] = {}
    clashes: list[int] = []
    for code in codes:
        index = code.structured_append[0] if code.structured_append else 0
        seen = found.setdefault(index, code)
        if seen.data != code.data and index not in clashes:
            clashes.append(index)
    if clashes:
        listed = ", ".join(str(i) for i in sorted(clashes))
        return found, f"different symbols share index {listed}"
    missing = [i for i in range(total) if i not in found]
    if missing:
        listed = ", ".join(str(i) for i in missing)
        return found, f"{len(missing)} of {total} symbols missing (index {listed})"
    return found, None


def _joined_segments(codes: Iterable[QRCode]) -> tuple[Segment, ...]:
    """The segments of the codes in order, an ECI in force carried into the next symbol
    and neighbours of one mode and character set made one segment again."""
    runs: list[tuple[str, int | None, bytes]] = []
    eci: int | None = None
    for code in codes:
        for segment in code.segments:
            eci = segment.eci if segment.eci is not None else eci
            if runs and runs[-1][:2] == (segment.mode, eci):
                runs[-1] = (segment.mode, eci, runs[-1][2] + segment.data)
            else:
                runs.append((segment.mode, eci, segment.data))
    return tuple(Segment(mode, data, segment_text(mode, data, eci), eci) for mode, eci, data in runs)


def _sequence(parity: int, total: int, codes: list[QRCode]) -> StructuredAppend:
    found, reason = _by_index(codes, total)
    ordered = tuple(found[i] for i in sorted(found))
    if reason is None:
        data = b"".join(c.data for c in ordered)
        actual = reduce(lambda a, b: a ^ b, data, 0)
        if actual != parity:
            reason = f"the data's parity is {actual}, the symbols state {parity}"
        else:
            try:
                segments = _joined_segments(ordered)
            except ValueError as exc:
                reason = f"the joined text is not valid: {exc}"
            else:
                return StructuredAppend("".join(s.text for s in segments), data, segments,
                                        parity, total, ordered, None)
    return StructuredAppend(None, None, (), parity, total, ordered, reason)


def merge_structured_append(codes: Iterable[QRCode | Undecoded]) -> list[StructuredAppend]:
    """The structured-append sequences among ``codes`` (the results of one or more
    reads), one ``StructuredAppend`` each, in the order their first symbol was met.

    A complete sequence has ``text`` and ``data`` joined and ``reason`` None; one that
    is not (a symbol missing, two different symbols with one index, data that does not
    match the parity) has ``text`` and ``data`` None and says why in ``reason``. Codes
    that belong to no sequence and ``Undecoded`` results are left out; anything else is
    a TypeError.
    """
    return [_sequence(parity, total, group) for (parity, total), group in _parts(codes).items()]
