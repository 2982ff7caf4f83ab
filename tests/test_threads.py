"""Native calls on many threads at once.

The functions keep no state between calls, and the affine sampler works without the
interpreter lock, so calls from several threads interleave (and samplings overlap for
real). Every thread must get exactly what a serial run gives, for shared inputs and for
inputs of its own (a result leaking from one call into another would show as a thread
seeing another thread's answer), and a bytearray under an affine sampling stays exported,
so it cannot be resized while the lock is given up. That other threads run during the
sampling is checked in test_sampling.py.
"""

from __future__ import annotations

import random
import sys
import threading
import time

import pytest

from halvern import _zeltra
from tests._images import lattice_scene, stripes_scene, tiles_scene

THREADS = 6
ROUNDS = 12


def draw_finder(img: bytearray, width: int, x: int, y: int, module: int) -> None:
    for my in range(7):
        for mx in range(7):
            dark = min(my, 6 - my) != 1 and min(mx, 6 - mx) != 1
            for py in range(y + my * module, y + (my + 1) * module):
                start = py * width + x + mx * module
                img[start : start + module] = bytes([dark]) * module


def code_image(seed: int):
    """A code-like image: three finder patterns of a drawn size over sparse noise."""
    rng = random.Random(seed)
    module = rng.choice((2, 3, 4))
    side = 29 * module + 2 * rng.randrange(4, 12)
    width, height = side + rng.randrange(0, 9), side
    img = bytearray(
        b if rng.random() < 0.08 else 0 for b in rng.choices((1, 255), k=width * height)
    )
    origin = rng.randrange(2, 6)
    far = origin + 22 * module
    for x, y in ((origin, origin), (far, origin), (origin, far)):
        draw_finder(img, width, x, y, module)
    return bytes(img), width, height


def qr_matrix(text: str) -> bytes:
    import segno

    symbol = segno.make_qr(text, error="q", version=2)
    return bytes(b for row in symbol.matrix for b in row)


def calls_for(bits: bytes, width: int, height: int, matrix: bytes):
    """One call of every function on these inputs, refusals included, as (function, args)."""
    shared = bytearray(bits)  # the same bytearray read by every thread at once
    box = (2, 3, width - 1, height - 2)
    grid = (7.5, 8.0, width * 0.7, 3.0, -2.0, height * 0.7)
    return [
        (_zeltra.find_black_bbox_bits, (bits, width, height)),
        (_zeltra.find_black_bbox_bits, (shared, width, height)),
        (_zeltra.estimate_module_size, (bits, width, height, box)),
        (_zeltra.estimate_module_size, (memoryview(shared), width, height, (-5, -5, 10**4, 10**4))),
        (_zeltra.find_finder_centers, (bits, width, height, 0.5)),
        (_zeltra.find_finder_centers, (shared, width, height, 0.3)),
        (_zeltra.sample_matrix_3x3, (bits, width, height, box, 25)),
        (_zeltra.sample_matrix_affine, (bits, width, height, 25, *grid, 1)),
        (_zeltra.sample_matrix_affine, (shared, width, height, 33, *grid, 9)),
        (_zeltra.sample_matrix_affine, (bits, width, height, 57, *grid, 5)),
        (_zeltra.score_finder, (matrix, 25)),
        (_zeltra.strict_restore_qr_matrix, (matrix, 25)),
        # Refusals, whose messages must not mix up either.
        (_zeltra.find_black_bbox_bits, (bits, width, height + 1)),
        (_zeltra.find_finder_centers, (bits, width, height, 0.0)),
        (_zeltra.sample_matrix_affine, (bits, width, height, 25, *grid, 2)),
        (_zeltra.sample_matrix_3x3, (shared, width, height, box, -1)),
        (_zeltra.strict_restore_qr_matrix, (bytes(625), 25)),
    ]


def outcome(fn, args):
    try:
        return fn(*args)
    except (ValueError, OverflowError, TypeError) as exc:
        return (type(exc), str(exc))


@pytest.fixture
def fast_switching():
    # Switch threads as often as possible so that calls interleave finely.
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def test_concurrent_calls_match_a_serial_run(fast_switching):
    shared = calls_for(*code_image(0), qr_matrix("shared by all"))
    own = [calls_for(*code_image(1 + i), qr_matrix(f"thread {i}")) for i in range(THREADS)]
    expected_shared = [outcome(fn, args) for fn, args in shared]
    expected_own = [[outcome(fn, args) for fn, args in calls] for calls in own]
    # The inputs must be worth comparing: found finder centres, real matrices.
    assert type(expected_shared[4]) is tuple and type(expected_shared[7]) is bytes
    assert type(expected_shared[11]) is bytes  # the restore delegate reached the routine
    assert len({r[7] for r in expected_own}) == THREADS
    start = threading.Barrier(THREADS)
    failures: list[str] = []

    def worker(index: int) -> None:
        rng = random.Random(index)
        work = [(shared, expected_shared, k) for k in range(len(shared))]
        work += [(own[index], expected_own[index], k) for k in range(len(own[index]))]
        start.wait()
        for _ in range(ROUNDS):
            rng.shuffle(work)
            for calls, expected, k in work:
                fn, args = calls[k]
                got = outcome(fn, args)
                if got != expected[k]:
                    failures.append(
                        f"thread {index}, {fn.__name__} #{k}: {got!r} != {expected[k]!r}"
                    )

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures, failures[:5]


def test_overlapping_samplings_of_one_buffer_agree(fast_switching):
    # Several long samplings run at the same time without the lock, each on its own grid.
    width, height = 150, 140
    bits = bytes(random.Random(99).choices((0, 1, 255), weights=(5, 2, 2), k=width * height))
    view = memoryview(bytearray(bits))
    grids = [
        (width, height, 101, 4.0 + i, 5.0, width * 0.8, i * 1.5, -i * 1.5, height * 0.8, 2 * i + 7)
        for i in range(THREADS)
    ]
    expected = [_zeltra.sample_matrix_affine(bits, *g) for g in grids]
    assert len(set(expected)) == THREADS
    got: dict[int, list[bytes]] = {i: [] for i in range(THREADS)}

    def worker(i: int) -> None:
        for _ in range(4):
            got[i].append(_zeltra.sample_matrix_affine(view, *grids[i]))

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for i in range(THREADS):
        assert got[i] == [expected[i]] * 4, i


def test_bytearray_stays_exported_while_sampling_without_the_lock():
    width = height = 400
    shared = bytearray(random.Random(5).choices((0, 1), k=width * height))
    args = (width, height, 177, 4.0, 4.0, 380.0, 0.0, 0.0, 380.0)
    # Find a window for which one sampling lasts a good while.
    for window in (31, 61, 121, 241):
        begin = time.perf_counter()
        _zeltra.sample_matrix_affine(shared, *args, window)
        if time.perf_counter() - begin > 0.15:
            break
    else:
        pytest.skip("sampling is too quick to catch in the act")

    def sample(started, result, finished) -> None:
        started.set()
        try:
            result.append(_zeltra.sample_matrix_affine(shared, *args, window))
        except ValueError as exc:  # parsed after the resize below: try again
            result.append(exc)
        finished.append(time.perf_counter())

    for _attempt in range(3):
        started = threading.Event()
        result: list[object] = []
        finished: list[float] = []

        thread = threading.Thread(target=sample, args=(started, result, finished))
        thread.start()
        started.wait()
        time.sleep(0.03)  # the other thread has parsed and given up the lock by now
        tried = time.perf_counter()
        try:
            shared.append(0)
        except BufferError:
            resized = False
        else:
            resized = True
        thread.join()
        if resized:
            del shared[-1]  # only now, so that a later parse sees the wrong length
        # A sampling that returned after the attempt held the buffer through it.
        if isinstance(result[0], bytes) and finished[0] > tried:
            assert not resized, "a bytearray under sampling could be resized"
            break
    else:
        pytest.skip("could not catch the sampling in the act")
    shared.append(0)  # released once the call is over


def test_concurrent_finder_scans_of_hostile_images(fast_switching):
    # Each scan keeps its candidate records, their grid and its column verdicts to itself:
    # crowded images scanned on many threads at once give the serial answers.
    rng = random.Random(15)
    images = []
    for scene in (lattice_scene, tiles_scene, stripes_scene, lattice_scene, tiles_scene):
        width, height = rng.randint(120, 200), rng.randint(120, 200)
        images.append((bytes(scene(rng, width, height)), width, height))
    expected = [_zeltra.find_finder_centers(*image, 0.5) for image in images]
    assert sum(r is not None for r in expected) >= 3 and len(set(expected)) >= 3
    failures: list[str] = []
    start = threading.Barrier(THREADS)

    def worker(index: int) -> None:
        order = list(range(len(images))) * 3
        random.Random(index).shuffle(order)
        start.wait()
        for k in order:
            got = _zeltra.find_finder_centers(*images[k], 0.5)
            if got != expected[k]:
                failures.append(f"thread {index}, image {k}: {got!r} != {expected[k]!r}")

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures, failures[:5]
