"""Triples of finders against a plain reference: the same triples, costs and order on
random finder sets, with small capacities so that the kept list is replaced often."""

import math
import random

import pytest

from halvern import _engine

COSINE, LEGS, MODULES, CONSIDERED, EXAMINED = 0.3, 1.55, 2.0, 160, 400000


def _shape(f, ids):
    best, corner = 2.0, -1
    for k in range(3):
        o, p, q = (f[ids[(k + d) % 3]] for d in range(3))
        u = (p[0] - o[0], p[1] - o[1])
        v = (q[0] - o[0], q[1] - o[1])
        lu, lv = math.sqrt(u[0] * u[0] + u[1] * u[1]), math.sqrt(v[0] * v[0] + v[1] * v[1])
        if not (lu > 0 and lv > 0):
            return None
        c = abs(u[0] * v[0] + u[1] * v[1]) / (lu * lv)
        if c < best:
            best, corner = c, k
    if corner < 0 or best > COSINE:
        return None
    tl, p, q = ids[corner], ids[(corner + 1) % 3], ids[(corner + 2) % 3]
    u = (f[p][0] - f[tl][0], f[p][1] - f[tl][1])
    v = (f[q][0] - f[tl][0], f[q][1] - f[tl][1])
    lu, lv = math.sqrt(u[0] * u[0] + u[1] * u[1]), math.sqrt(v[0] * v[0] + v[1] * v[1])
    legs = lu / lv if lu > lv else lv / lu
    module = (f[ids[0]][2] + f[ids[1]][2] + f[ids[2]][2]) / 3.0
    span = (lu + lv) / 2.0 / module
    if legs > LEGS or span < 12.0 or span > 185.0:
        return None
    sizes = [f[i][2] for i in ids]
    regular = u[0] * v[1] - u[1] * v[0] > 0
    tr, bl = (p, q) if regular else (q, p)
    return (tl, tr, bl, best + math.log(legs) + math.log(max(sizes) / min(sizes)))


def _reference(f, capacity):
    order = sorted(range(len(f)), key=lambda i: (-f[i][3], i))[:CONSIDERED]
    match = lambda a, b: f[a][2] <= MODULES * f[b][2] and f[b][2] <= MODULES * f[a][2]  # noqa: E731
    kept, examined = [], 0
    for x, i in enumerate(order):
        for y in range(x + 1, len(order)):
            j = order[y]
            if examined >= EXAMINED or not match(i, j):
                continue
            for k in order[y + 1:]:
                if examined >= EXAMINED or not (match(i, k) and match(j, k)):
                    continue
                examined += 1
                t = _shape(f, (i, j, k))
                if t is None:
                    continue
                if len(kept) < capacity:
                    kept.append(t)
                    continue
                worst = max(range(len(kept)), key=lambda n: (kept[n][3], -n))
                if t[3] < kept[worst][3]:
                    kept[worst] = t
    return sorted(kept, key=lambda t: (t[3], t[0], t[1], t[2]))


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("capacity", [1, 3, 16])
def test_triples_match_the_reference(seed, capacity):
    rng = random.Random(seed)
    # A lattice of equal finders (many exact cost ties) or scattered ones.
    if seed % 2:
        f = tuple((40.0 + 60 * (i % 5), 40.0 + 60 * (i // 5), 4.0, rng.randint(1, 3)) for i in range(25))
    else:
        f = tuple((rng.uniform(0, 600), rng.uniform(0, 600), rng.uniform(2, 6), rng.randint(1, 9))
                  for _ in range(30))
    assert _engine._find_triples(f, capacity) == tuple(_reference(f, capacity))


@pytest.mark.parametrize("seed", range(4))
def test_triples_at_the_shape_limits_match_the_reference(seed):
    # Corners whose cosine is within a hair of the limit, either side, between legs whose
    # ratio is too: the sides' squares must turn away none that the full test keeps.
    rng = random.Random(seed)
    f = []
    for _ in range(40):
        cosine = rng.choice([-1, 1]) * (COSINE + rng.choice([-1e-9, -1e-13, 0.0, 1e-13, 1e-9, rng.uniform(-0.05, 0.05)]))
        ratio = LEGS + rng.choice([-1e-9, -1e-13, 0.0, 1e-13, 1e-9, rng.uniform(-0.3, 0.05)])
        leg, turn = rng.uniform(40, 400), rng.uniform(0, 2 * math.pi)
        ox, oy = rng.uniform(0, 4000), rng.uniform(0, 3000)
        angle = math.acos(cosine)
        f += [(ox, oy), (ox + leg * math.cos(turn), oy + leg * math.sin(turn)),
              (ox + ratio * leg * math.cos(turn + angle), oy + ratio * leg * math.sin(turn + angle))]
    finders = tuple((x, y, 3.0, 2) for x, y in f[:60])
    assert _engine._find_triples(finders, 256) == tuple(_reference(finders, 256))
