"""The native reader on many threads at once.

A read keeps no result between calls (only each thread's scratch block, reused by its
next read) and runs without the interpreter lock, so reads from several threads overlap
for real. Every thread must get exactly the records a serial run
gives, for images shared by all threads and for images of its own: a result leaking from
one read into another (shared scratch, a static buffer) shows as a thread seeing another
thread's symbol. A long read must let other threads run, and a bytearray under a read
stays exported until the read is over.
"""

from __future__ import annotations

import os
import random
import sys
import threading
import time

import numpy as np
import pytest
import segno

import halvern
from halvern import _engine

THREADS = 6
ROUNDS = 4


def symbol_bits(text: str, module: int, border: int, turns: int, mirror: bool) -> np.ndarray:
    """A 0/1 picture of a segno symbol, transposed when mirrored, turned clockwise."""
    modules = np.array(segno.make_qr(text, error="m", boost_error=False).matrix, np.uint8)
    if mirror:
        modules = modules.T
    modules = np.rot90(modules, -turns)
    picture = np.kron(modules, np.ones((module, module), np.uint8))
    return np.pad(picture, border * module)


def damaged(bits: np.ndarray, rng: random.Random, share: float) -> np.ndarray:
    flips = np.array([rng.random() < share for _ in range(bits.size)]).reshape(bits.shape)
    return bits ^ flips.astype(np.uint8)


def noise(rng: random.Random, width: int, height: int) -> np.ndarray:
    return np.frombuffer(rng.randbytes(width * height), np.uint8).reshape(height, width).copy()


def reads_for(index: int) -> list[tuple[str, tuple]]:
    """Native read calls on images of one thread: symbols as bits, as gray, strided,
    damaged (kept as failures), inverted, in noise; and a refusal."""
    rng = random.Random(index)
    bits = symbol_bits(f"thread {index}", 2 + index % 3, 4, index % 4, index % 2 == 1)
    height, width = bits.shape
    gray = np.where(bits != 0, 20, 230).astype(np.uint8)
    wide = np.full((height, width + 7), 99, np.uint8)
    wide[:, :width] = gray
    hurt = damaged(bits, rng, 0.04)
    page = noise(rng, 90, 70)
    page[10:60, 10:60] = 0
    return [
        ("bits", (bits.tobytes(), width, height, width, 3, True, False)),
        ("gray", (gray, width, height, width, 0, True, False)),
        ("local", (gray.tobytes(), width, height, width, 1, False, True)),
        (
            "strided",
            (
                wide.reshape(-1)[: (height - 1) * (width + 7) + width],
                width,
                height,
                width + 7,
                2,
                True,
                True,
            ),
        ),
        ("damaged", (bytearray(hurt.tobytes()), width, height, width, 3, True, True)),
        ("inverted", ((255 - gray).tobytes(), width, height, width, 0, True, False)),
        ("noise", (page, 90, 70, 90, 0, True, True)),
        ("short", (bytes(10), width, height, width, 0, True, True)),
    ]


def outcome(args: tuple) -> object:
    try:
        return _engine.read(*args)
    except ValueError as exc:
        return (type(exc), str(exc))


@pytest.fixture
def fast_switching():
    # Switch threads as often as possible so that reads interleave finely.
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def run_threads(worker) -> None:
    threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


def decoded_texts(records: object) -> list[bytes]:
    assert isinstance(records, list)
    return [b"".join(s[2] for s in r[0][4]) for r in records if r[0] is not None]


def test_concurrent_native_reads_match_a_serial_run(fast_switching):
    shared = reads_for(100)
    own = [reads_for(i) for i in range(THREADS)]
    expected_shared = [outcome(args) for _, args in shared]
    expected_own = [[outcome(args) for _, args in calls] for calls in own]
    # Worth comparing: each thread's symbol is read, as itself, from bits and gray alike.
    for i, expected in enumerate(expected_own):
        assert decoded_texts(expected[0]) == [f"thread {i}".encode()], expected[0]
        assert decoded_texts(expected[1]) == decoded_texts(expected[0])
    start = threading.Barrier(THREADS)
    failures: list[str] = []

    def worker(index: int) -> None:
        work = [(shared, expected_shared, k) for k in range(len(shared))]
        work += [(own[index], expected_own[index], k) for k in range(len(own[index]))]
        rng = random.Random(index)
        start.wait()
        for _ in range(ROUNDS):
            rng.shuffle(work)
            for calls, expected, k in work:
                name, args = calls[k]
                got = outcome(args)
                if got != expected[k]:
                    failures.append(f"thread {index}, {name}: {got!r:.200} != {expected[k]!r:.200}")

    run_threads(worker)
    assert not failures, failures[:5]


def test_concurrent_python_reads_match_a_serial_run(fast_switching):
    # The Python entry points on arrays that go through conversion (float with NaN,
    # colour, a crop) and in place (uint8), all at once.
    rng = random.Random(7)
    images = []
    for i in range(THREADS):
        bits = symbol_bits(f"array {i}", 3, 4, i % 4, False)
        kind = i % 3
        if kind == 0:
            image = np.where(bits != 0, 0.0, 1.0)
            image[0, : 1 + i] = np.nan
        elif kind == 1:
            image = np.repeat(np.where(bits != 0, 10, 240).astype(np.uint8)[:, :, None], 3, axis=2)
        else:
            big = np.full((bits.shape[0] + 4, bits.shape[1] + 9), 255, np.uint8)
            big[2:-2, 3:-6] = np.where(bits != 0, 0, 255)
            image = big[2:-2, 3:-6]
        images.append(image)
    images.append(noise(rng, 120, 80))
    expected = [halvern.read_all(image) for image in images]
    assert [[c.text for c in codes] for codes in expected[:THREADS]] == [
        [f"array {i}"] for i in range(THREADS)
    ]
    failures: list[str] = []
    start = threading.Barrier(THREADS)

    def worker(index: int) -> None:
        order = list(range(len(images))) * 2
        random.Random(index).shuffle(order)
        start.wait()
        for k in order:
            got = halvern.read_all(images[k])
            if got != expected[k]:
                failures.append(f"thread {index}, image {k}: {got!r:.200}")

    run_threads(worker)
    assert not failures, failures[:5]


def in_new_thread(fn):
    out = []
    thread = threading.Thread(target=lambda: out.append(fn()))
    thread.start()
    thread.join()
    return out[0]


def busy_page(side: int) -> np.ndarray:
    """Bits with 5% dark specks: its read copies, denoises and shrinks them, writing most
    of its scratch."""
    rng = np.random.default_rng(side)
    return (rng.integers(0, 20, (side, side), dtype=np.uint8) == 0).astype(np.uint8)


def resident() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.parametrize("name", ["bits", "gray", "damaged", "inverted", "noise"])
def test_read_after_a_larger_read_matches_a_fresh_thread(name):
    # The thread's block still holds the bits and finder index of the page read before;
    # a read that took any of it for its own would differ from one on a new block.
    args = dict(reads_for(7))[name]
    fresh = in_new_thread(lambda: outcome(args))
    after = in_new_thread(lambda: (_engine.read(busy_page(700), 700, 700, 700, 3, True, True), outcome(args))[1])
    assert after == fresh
    assert fresh != [] or name == "noise"


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="the sanitizer quarantines freed memory")
def test_a_thread_gives_its_scratch_block_back_when_it_ends():
    page = busy_page(1000)

    def read() -> None:
        _engine.read(page, 1000, 1000, 1000, 3, True, True)

    in_new_thread(read)
    before = resident()
    for _ in range(30):
        in_new_thread(read)
    # Each read writes more than a megabyte of its block: kept past the threads' ends,
    # thirty of them would add over 30 MB.
    assert resident() - before < 12 * 1024 * 1024


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="the sanitizer quarantines freed memory")
@pytest.mark.parametrize("side, kept", [(3000, True), (10000, False)])
def test_a_living_thread_keeps_only_a_moderate_block(side, kept):
    # A 9 MP page's block stays for the thread's next read; a 100 MP page's (over 128 MB)
    # is freed when its read ends.
    page = busy_page(side)

    def growth_of_a_read() -> int:
        before = resident()
        _engine.read(page, side, side, side, 3, True, True)
        return resident() - before

    assert (in_new_thread(growth_of_a_read) > side * side // 2) == kept


def long_read() -> tuple:
    """Arguments of a read that lasts a good while: noise, grown until it does."""
    rng = random.Random(3)
    for side in (600, 1000, 1600, 2400, 3200, 4800):
        args = (rng.randbytes(side * side), side, side, side, 0, True, True)
        begin = time.perf_counter()
        _engine.read(*args)
        if time.perf_counter() - begin > 0.15:
            return args
    pytest.skip("a read is too quick to watch another thread during it")


def test_read_releases_the_lock():
    args = long_read()
    count = 0
    stop = threading.Event()

    def counter() -> None:
        nonlocal count
        while not stop.is_set():
            count += 1

    thread = threading.Thread(target=counter)
    thread.start()
    try:
        time.sleep(0.05)
        before = count
        begin = time.perf_counter()
        _engine.read(*args)
        elapsed = time.perf_counter() - begin
        during = count - before
        time.sleep(0.1)
        after_rate = (count - before - during) / 0.1
    finally:
        stop.set()
        thread.join()
    # Holding the lock would leave the counter about one switch interval (5 ms) of progress.
    assert during > 0.1 * after_rate * elapsed, (during, after_rate, elapsed)


def test_bytearray_stays_exported_while_read_without_the_lock():
    args = long_read()
    shared = bytearray(args[0])
    started = threading.Event()
    finished: list[float] = []

    def read() -> None:
        started.set()
        _engine.read(shared, *args[1:])
        finished.append(time.perf_counter())

    thread = threading.Thread(target=read)
    thread.start()
    started.wait()
    time.sleep(0.03)  # the reader has parsed and given up the lock by now
    tried = time.perf_counter()
    try:
        shared.append(0)
    except BufferError:
        resized = False
    else:
        resized = True
    thread.join()
    if finished[0] < tried:
        pytest.skip("the read ended before the resize was tried")
    assert not resized, "a bytearray under a read could be resized"
    shared.append(0)  # released once the read is over
