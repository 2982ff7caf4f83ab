"""Speed figures of the reader note (benchmarks/reader-note.md): median times of
halvern.read against zxing-cpp's fastest settings per class of image.

    python benchmarks/reader_speed.py
"""
import math, statistics, time
import numpy as np, segno, zxingcpp
import halvern

QR = zxingcpp.BarcodeFormat.QRCode
def fast(img):
    return zxingcpp.read_barcodes(img, formats=QR, binarizer=zxingcpp.Binarizer.BoolCast,
                                  try_rotate=False, try_invert=False, try_downscale=False)
def dflt(img):
    return zxingcpp.read_barcodes(img, formats=QR)
def med(f, n):
    ts = []
    for _ in range(n):
        t = time.perf_counter(); f(); ts.append(time.perf_counter() - t)
    return statistics.median(ts)

def turned(bits, deg):
    h, w = bits.shape; side = int(math.hypot(w, h)) + 2
    c, s = math.cos(math.radians(deg)), math.sin(math.radians(deg))
    ys, xs = np.mgrid[0:side, 0:side].astype(float)
    dx, dy = xs + .5 - side / 2, ys + .5 - side / 2
    sx = np.floor(c * dx + s * dy + w / 2).astype(int); sy = np.floor(-s * dx + c * dy + h / 2).astype(int)
    ok = (sx >= 0) & (sx < w) & (sy >= 0) & (sy < h)
    out = np.zeros((side, side), np.uint8); out[ok] = bits[sy[ok], sx[ok]]; return out

rng = np.random.default_rng(0)
images = []
for i in range(30):
    v = int(rng.integers(1, 11)); s = int(rng.integers(2, 10))
    m = np.pad(np.array(segno.make_qr("c%d" % i, version=v, error="m").matrix, np.uint8), 4)
    b = np.kron(m, np.ones((s, s), np.uint8))
    kind = i % 3
    if kind == 1: b = turned(b, 10)
    if kind == 2: b = b ^ (rng.random(b.shape) < 0.01).astype(np.uint8)
    if b.shape[0] > 600 or b.shape[0] < 100: continue
    images.append(np.where(b != 0, 0, 255).astype(np.uint8))
th = [med(lambda: halvern.read(im), 15) for im in images]
tz = [med(lambda: fast(im), 15) for im in images]
okh = sum(halvern.read(im) is not None for im in images); okz = sum(len(fast(im)) > 0 for im in images)
print(f"small bilevel codes ({len(images)}): halvern {statistics.median(th)*1e6:.0f} us ({okh} read), zxing fastest {statistics.median(tz)*1e6:.0f} us ({okz} read), ratio {statistics.median(th)/statistics.median(tz):.2f}")
for name, img in [("white 1MP", np.full((1000, 1000), 255, np.uint8)),
                  ("noise 5% 1MP", np.where(rng.random((1000, 1000)) < 0.05, 0, 255).astype(np.uint8)),
                  ("noise 50% 1MP", np.where(rng.random((1000, 1000)) < 0.5, 0, 255).astype(np.uint8))]:
    a, b, c = med(lambda: halvern.read(img), 7), med(lambda: fast(img), 7), med(lambda: np.count_nonzero(img), 7)
    print(f"{name}: halvern {a*1e3:.2f} ms, zxing fastest {b*1e3:.2f} ms, count_nonzero {c*1e3:.2f} ms")
m = np.pad(np.array(segno.make_qr("page", version=5).matrix, np.uint8), 4)
page = np.full((3000, 4000), 255, np.uint8)
code = np.where(np.kron(m, np.ones((20, 20), np.uint8)) != 0, 0, 255).astype(np.uint8)
page[1000:1000 + code.shape[0], 1500:1500 + code.shape[1]] = code
a, c = med(lambda: halvern.read(page), 5), med(lambda: np.count_nonzero(page), 5)
print(f"12 MP bilevel page, one code: halvern {a*1e3:.1f} ms ({halvern.read(page).text}), count_nonzero {c*1e3:.2f} ms, ratio {a/c:.1f}")
tiny = np.zeros((4, 4), np.uint8)
print(f"tiny image: halvern.read {med(lambda: halvern.read(tiny), 3000)*1e6:.1f} us")
