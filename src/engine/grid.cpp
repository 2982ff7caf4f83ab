// The symbol's grid: the perspective transform from module space to the image, the
// alignment pattern that anchors its fourth corner, and the sampling of the modules.

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "stages.hpp"

namespace halvern::engine {

namespace {

// The transform of the unit square onto the quad q (corners in the order (0,0),
// (1,0), (1,1), (0,1)); false when the quad is degenerate.
bool square_to_quad(const Point q[4], double m[9]) noexcept {
    const double dx1 = q[1].x - q[2].x, dx2 = q[3].x - q[2].x, dx3 = q[0].x - q[1].x + q[2].x - q[3].x;
    const double dy1 = q[1].y - q[2].y, dy2 = q[3].y - q[2].y, dy3 = q[0].y - q[1].y + q[2].y - q[3].y;
    const double den = dx1 * dy2 - dx2 * dy1;
    if (!(std::fabs(den) > 1e-12)) return false;
    const double g = (dx3 * dy2 - dx2 * dy3) / den;
    const double h = (dx1 * dy3 - dx3 * dy1) / den;
    m[0] = q[1].x - q[0].x + g * q[1].x;
    m[1] = q[3].x - q[0].x + h * q[3].x;
    m[2] = q[0].x;
    m[3] = q[1].y - q[0].y + g * q[1].y;
    m[4] = q[3].y - q[0].y + h * q[3].y;
    m[5] = q[0].y;
    m[6] = g;
    m[7] = h;
    m[8] = 1.0;
    return true;
}

// Pixels from (x, y) along the axis step (dx, dy), (x, y) included, before the walk
// leaves the image; (x, y) inside it.
long long room_along(const ImageView &bits, int x, int y, int dx, int dy) noexcept {
    long long room = static_cast<long long>(bits.width) + bits.height;
    if (dx != 0) room = std::min(room, dx > 0 ? static_cast<long long>(bits.width) - x : x + 1LL);
    if (dy != 0) room = std::min(room, dy > 0 ? static_cast<long long>(bits.height) - y : y + 1LL);
    return room;
}

// From (x, y) along the axis step (dx, dy): the dark core's pixels (the start included)
// and the light run after it; true when a dark pixel follows within `limit` steps, the
// core at most `most_core` pixels and the gap at most `most_gap`. The walk reads at most
// limit + 1 pixels and stops at the image's edge, so it steps an offset over them rather
// than testing each pixel against the image: this walk was the alignment search's
// largest cost (150M of 1021M instructions over 41 camera scenes). It stops as soon as a
// run grows past its bound, which no ring could pass: most of the walks are through a
// stretch of light or dark far longer than a module.
bool core_and_gap(const ImageView &bits, int x, int y, int dx, int dy, int limit, int most_core, int most_gap,
                  int &core, int &gap) noexcept {
    core = gap = 0;
    const long long count = std::min(room_along(bits, x, y, dx, dy), limit + 1LL);
    const std::ptrdiff_t delta = dy * bits.stride + dx;
    std::ptrdiff_t at = y * bits.stride + x;  // an offset, not a pointer: it may pass the image after the last
    for (long long steps = 0; steps < count; ++steps, at += delta) {
        const bool dark = bits.data[at] != 0;
        if (gap == 0 && dark) {
            if (++core > most_core) return false;
        } else if (!dark) {
            if (++gap > most_gap) return false;
        } else {
            return true;
        }
    }
    return false;
}

// The first x in [from, end) whose pixel is dark (`dark`) or light (not `dark`), end
// when none: eight pixels a step on a little-endian machine. A word's first nonzero
// byte is its lowest set bit's; its first zero byte the lowest bit of
// (w - 0x01..01) & ~w & 0x80..80, whose borrows only mark bytes above a zero byte. Any
// nonzero byte is dark, as everywhere in the search.
int next_of(const std::uint8_t *row, int from, int end, bool dark) noexcept {
    int x = from;
    if constexpr (std::endian::native == std::endian::little) {
        constexpr std::uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
        for (; x + 8 <= end; x += 8) {
            std::uint64_t word;
            std::memcpy(&word, row + x, 8);
            const std::uint64_t hits = dark ? word : (word - ones) & ~word & highs;
            if (hits != 0) return x + std::countr_zero(hits) / 8;
        }
    }
    while (x < end && (row[x] != 0) != dark) ++x;
    return x;
}

bool within(double run, double module) noexcept { return run >= 0.4 * module && run <= 1.8 * module; }

// The centre offset (in steps) of an alignment core through (x, y) along +-(dx, dy),
// when core and the light ring on both sides measure about a module. A run passes
// within() only up to floor(1.8 module) pixels, so each walk stops past that (the
// ahead core past what the back core leaves of it), the back walk's gap is judged
// before the walk ahead, and a light start (a core of -1 pixels) fails at once.
bool ring_check(const ImageView &bits, int x, int y, int dx, int dy, double module,
                double &offset) noexcept {
    if (!bits.contains(x, y) || bits.row(y)[x] == 0) return false;
    const int limit = static_cast<int>(4 * module) + 2;
    const int most = static_cast<int>(std::fmin(std::floor(1.8 * module), limit + 1.0));
    int back_core, back_gap, ahead_core, ahead_gap;
    if (!core_and_gap(bits, x, y, -dx, -dy, limit, most, most, back_core, back_gap)) return false;
    if (!within(back_gap, module)) return false;
    if (!core_and_gap(bits, x, y, dx, dy, limit, most + 1 - back_core, most, ahead_core, ahead_gap)) return false;
    if (!within(back_core + ahead_core - 1, module) || !within(ahead_gap, module)) return false;
    offset = (ahead_core - back_core) / 2.0;
    return true;
}

// The finder's outer edge on a walk from `start` (on a line through the finder) along
// the unit vector `step`: the last dark-to-light change, at least 2 modules out, that
// 1.5 modules of light follow (the separator and quiet zone; the light ring inside is
// one module). Samples are half a pixel apart; the edge is the middle of the change.
// False when no such edge comes within 9 modules: `module` is the finder's narrowest
// reading, and a tilted finder may be 1.6 times as long the other way.
bool edge_along(const ImageView &bits, Point start, Point step, double module, Point &edge) noexcept {
    const double reach = 9.0 * module, settle = 1.5 * module;
    double change = -1.0;
    bool was_dark = dark_at(bits, start);
    for (double d = 0.5; d <= reach; d += 0.5) {
        const bool dark = dark_at(bits, start + step * d);
        if (was_dark && !dark && d >= 2.0 * module) change = d - 0.25;
        if (dark) change = -1.0;  // light did not last: still inside the finder
        if (change >= 0 && d - change >= settle) {
            edge = start + step * change;
            return true;
        }
        was_dark = dark;
    }
    return false;
}

// The outer edge of a finder on the side that `outward` points to, as a line through
// the edge points of walks from seven points of the line through its centre along
// `along` (both unit vectors), a module apart. The point farthest from the first fit
// is dropped when it lies more than a third of a module off (a speck that ended a walk
// early turned the edge of a finder at 3 px a module by 15 degrees), and the rest fit
// again. `module` is the finder's module along `along`, `reach` along `outward`: they
// differ for a finder foreshortened one way.
bool finder_edge(const ImageView &bits, Point centre, double module, double reach, Point outward, Point along,
                 Line &out) noexcept {
    Point points[7];
    int count = 0;
    for (int t = -3; t <= 3; ++t) {
        Point edge;
        if (edge_along(bits, centre + along * (t * module), outward, reach, edge)) points[count++] = edge;
    }
    return fit_line_without_worst(points, count, module / 3.0, out);
}

// A finder's module along `direction` and the other way, for finder_edge: its
// narrowest reading both, or for a steep triple (whose finders are foreshortened) each
// read along its walk, the narrowest where a reading fails. Read with one module for
// both, the light ring of a finder seen at 50 degrees, 1.7 times as wide across as
// along, passed for the quiet zone.
struct EdgeModules {
    double along, across;
};

EdgeModules edge_modules(const ImageView &bits, const Finder &f, Point outward, Point along, bool steep) noexcept {
    if (!steep) return {f.module, f.module};
    const double a = module_along(bits, f, along, true), c = module_along(bits, f, outward, true);
    return {a > 0 ? a : f.module, c > 0 ? c : f.module};
}

}  // namespace

void adjugate(const double m[9], double out[9]) noexcept {
    out[0] = m[4] * m[8] - m[5] * m[7];
    out[1] = m[2] * m[7] - m[1] * m[8];
    out[2] = m[1] * m[5] - m[2] * m[4];
    out[3] = m[5] * m[6] - m[3] * m[8];
    out[4] = m[0] * m[8] - m[2] * m[6];
    out[5] = m[2] * m[3] - m[0] * m[5];
    out[6] = m[3] * m[7] - m[4] * m[6];
    out[7] = m[1] * m[6] - m[0] * m[7];
    out[8] = m[0] * m[4] - m[1] * m[3];
}

void multiply(const double a[9], const double b[9], double out[9]) noexcept {
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            out[r * 3 + c] = a[r * 3] * b[c] + a[r * 3 + 1] * b[3 + c] + a[r * 3 + 2] * b[6 + c];
        }
    }
}

bool fit_line(const Point *points, int count, Line &out) noexcept {
    if (count < 3) return false;
    Point mean{0, 0};
    for (int i = 0; i < count; ++i) mean = mean + points[i];
    mean = mean * (1.0 / count);
    double sxx = 0, sxy = 0, syy = 0;
    for (int i = 0; i < count; ++i) {
        const Point d = points[i] - mean;
        sxx += d.x * d.x;
        sxy += d.x * d.y;
        syy += d.y * d.y;
    }
    const double angle = 0.5 * std::atan2(2 * sxy, sxx - syy);
    out = {mean, {std::cos(angle), std::sin(angle)}};
    return std::isfinite(angle);
}

bool fit_line_without_worst(Point *points, int count, double limit, Line &out) noexcept {
    if (!fit_line(points, count, out)) return false;
    int worst = -1;
    double worst_off = limit;
    for (int i = 0; i < count; ++i) {
        const double off = std::fabs(cross(out.direction, points[i] - out.origin));
        if (off > worst_off) {
            worst_off = off;
            worst = i;
        }
    }
    if (worst < 0) return true;
    points[worst] = points[--count];
    return fit_line(points, count, out);
}

bool homography_from_points(const Point src[4], const Point dst[4], Homography &out) noexcept {
    double to_src[9], to_dst[9], from_src[9];
    if (!square_to_quad(src, to_src) || !square_to_quad(dst, to_dst)) return false;
    adjugate(to_src, from_src);
    double m[9];
    multiply(to_dst, from_src, m);
    if (!(std::fabs(m[8]) > 1e-300)) return false;
    for (int i = 0; i < 9; ++i) {
        out.m[i] = m[i] / m[8];
        if (!std::isfinite(out.m[i])) return false;
    }
    return true;
}

namespace {

// The alignment pattern nearest `predicted` among those of the rows scanned so far, in
// columns [x0, x1); ties to the first in raster order.
struct NearestAlignment {
    const ImageView &bits;
    Point predicted;
    double module;
    int x0, x1;
    double best;  // squared distance of `found`, or the window's radius squared
    bool any = false;
    int best_y = 0, best_start = 0;
    Point found{};

    // The centre of a pattern whose core is the dark run [start, end) of row y, when
    // its rings hold on both axes. `known` when the light runs beside it in the row
    // are known whole and pass (scan_row): then the row check through its centre walks
    // just those runs and passes, and its offset is the run's own.
    bool centre_of(int start, int end, int y, bool known, Point &p) const noexcept {
        if (!within(end - start, module)) return false;
        const int cx = (start + end) / 2;
        double dy_off = 0, dx_off = ((end - cx) - (cx - start + 1)) / 2.0;
        if (!known && !ring_check(bits, cx, y, 1, 0, module, dx_off)) return false;
        if (!ring_check(bits, cx, y, 0, 1, module, dy_off)) return false;
        const double cy = y + 0.5 + dy_off;
        const int yc = static_cast<int>(cy);
        // On the row itself the first check stands (the same walks).
        if (yc != y && !ring_check(bits, cx, yc, 1, 0, module, dx_off)) return false;
        p = {cx + 0.5 + dx_off, cy};
        return true;
    }

    // Whether a light run of `gap` pixels (or, when not `known`, of at least that many:
    // it meets the window's edge) may be a ring's side as ring_check measures it.
    bool ring_side(int gap, bool known) const noexcept { return known ? within(gap, module) : gap <= 1.8 * module; }

    void scan_row(int y) noexcept {
        const std::uint8_t *row = bits.row(y);
        int x = next_of(row, x0, x1, true);
        // The light run before the dark run at x, exact once a dark run came before it.
        int before = x - x0;
        bool before_known = false;
        while (x < x1) {
            // A dark run with light on both sides, about a module each. The light runs
            // beside it are those the row check through its centre walks (the run ends
            // inside the window where light follows it), so a run whose neighbours fail
            // that check is passed over here, and where both are known whole the check
            // itself is not walked: over 41 camera scenes, 198,528 runs whose checks took
            // 93M instructions were 132,151 taking 68M; the checks not walked, 48M.
            const int end = next_of(row, x, x1, false), next = next_of(row, end, x1, true);
            const int start = x, after = next - end;
            const bool sides = ring_side(before, before_known) && ring_side(after, next < x1);
            const bool known = before_known && next < x1;
            x = next;
            before = after;
            before_known = true;
            Point p;
            if (!sides || !centre_of(start, end, y, known, p)) continue;
            const double d = dot(p - predicted, p - predicted);
            if (d < best || (any && d == best && (y < best_y || (y == best_y && start < best_start)))) {
                best = d;
                found = p;
                any = true;
                best_y = y;
                best_start = start;
            }
        }
    }
};

}  // namespace

bool find_alignment(const ImageView &bits, Point predicted, double module, double radius,
                    Point &found) noexcept {
    if (!(module > 0) || !(radius > 0) || !std::isfinite(predicted.x) || !std::isfinite(predicted.y)) {
        return false;
    }
    const double left = std::fmax(predicted.x - radius, 0.0), right = std::fmin(predicted.x + radius, bits.width);
    const double top = std::fmax(predicted.y - radius, 0.0), bottom = std::fmin(predicted.y + radius, bits.height);
    if (!(left < right) || !(top < bottom)) return false;
    const int x0 = static_cast<int>(left), x1 = static_cast<int>(right);
    const int y0 = static_cast<int>(top), y1 = static_cast<int>(bottom);
    // The nearest pattern to the prediction, ties to the first in raster order. Rows go
    // outward from the prediction's, and a side stops once its rows cannot hold a
    // pattern as near as the best: a row's patterns have their centres within 0.9
    // module of it (a core of at most 1.8 modules). The whole window cost a small code
    // a tenth of its read; the pattern is usually within a module of the prediction.
    const double margin = 0.9 * module + 1.0;
    NearestAlignment search{bits, predicted, module, x0, x1, radius * radius};
    // Whether row y may still hold a pattern at least as near as the best.
    const auto may_hold = [&](int y) noexcept {
        const double gap = std::fabs(y + 0.5 - predicted.y) - margin;
        return !(gap > 0 && gap * gap > search.best);
    };
    if (x0 >= x1 || y0 >= y1) return false;  // a window narrower than a pixel
    // Clamped as a double first: the prediction may lie far outside int's range.
    const int middle = static_cast<int>(std::clamp(predicted.y, static_cast<double>(y0), static_cast<double>(y1 - 1)));
    bool down = true, up = true;
    for (int k = 0; down || up; ++k) {
        const int below = middle + k, above = middle - 1 - k;
        down = down && below < y1 && may_hold(below);
        if (down) search.scan_row(below);
        up = up && above >= y0 && may_hold(above);
        if (up) search.scan_row(above);
    }
    if (search.any) found = search.found;
    return search.any;
}

double module_along(const ImageView &bits, const Finder &finder, Point direction, bool specks) noexcept {
    const double length = std::sqrt(dot(direction, direction));
    if (!(length > 0) || !(finder.module > 0)) return 0.0;
    const Point step = direction * (0.5 / length);  // half a pixel
    // Half steps to 12 modules from the centre, a skewed finder's module its shortest
    // chord's: its longest reaches kMaxChordRatio times as far.
    const double reach = finder.skewed ? 12.0 * kMaxChordRatio / 2 : 12.0;
    const int limit = static_cast<int>(std::fmin(reach * finder.module, 1e6)) * 2;
    // A pixel of the other colour inside a ring of 4 pixels a module or more is a speck:
    // a thresholded closeup at 12 pixels a module had one in its dark ring on both sides.
    const bool skip = specks && finder.module >= 4.0;
    double chord = 0.0;
    for (int sign = -1; sign <= 1; sign += 2) {
        // From the centre: dark core, light ring, dark ring; the third change ends it.
        int changes = 0, k = 0, run = 0;
        bool dark = dark_at(bits, finder.centre);
        if (!dark) return 0.0;
        const auto at = [&](int i) noexcept { return dark_at(bits, finder.centre + step * (sign * i)); };
        for (k = 1; k <= limit && changes < 3; ++k) {
            const bool now = at(k);
            if (now != dark && skip && run >= 2 && at(k + 2) == dark && at(k + 3) == dark) {
                k += 1;
                run += 2;
                continue;
            }
            run = now != dark ? 1 : run + 1;
            if (now != dark) ++changes;
            dark = now;
        }
        if (changes < 3) return 0.0;
        chord += (k - 1.5) * 0.5;  // the change lies between the last two samples
    }
    return chord / 7.0;
}

bool estimate_corner(const ImageView &bits, const Finder &tl, const Finder &tr, const Finder &bl,
                     Point &corner, bool steep) noexcept {
    const Point across = tr.centre - tl.centre, down = bl.centre - tl.centre;
    const double la = std::sqrt(dot(across, across)), ld = std::sqrt(dot(down, down));
    if (!(la > 0) || !(ld > 0)) return false;
    const Point u = across * (1.0 / la), v = down * (1.0 / ld);
    Line right, bottom;
    const EdgeModules mr = edge_modules(bits, tr, u, v, steep), mb = edge_modules(bits, bl, v, u, steep);
    if (!finder_edge(bits, tr.centre, mr.along, mr.across, u, v, right)) return false;
    if (!finder_edge(bits, bl.centre, mb.along, mb.across, v, u, bottom)) return false;
    const double turn = cross(right.direction, bottom.direction);
    if (!(std::fabs(turn) > 0.2)) return false;  // the edges must cross at a clear angle
    const double a = cross(bottom.origin - right.origin, bottom.direction) / turn;
    corner = right.origin + right.direction * a;
    if (steep) return std::isfinite(corner.x) && std::isfinite(corner.y);
    // The symbol's corner lies beyond the parallelogram's fourth finder centre; far
    // from it the edges were misread.
    const Point guess = tr.centre + down + (u + v) * (3.5 * (tr.module + bl.module) / 2);
    return std::isfinite(corner.x) && std::isfinite(corner.y) &&
           std::sqrt(dot(corner - guess, corner - guess)) < 0.25 * (la + ld);
}

namespace {

// vote_module through h.
std::uint8_t sample_module(const ImageView &bits, const Homography &h, int c, int r, bool vote) noexcept {
    return vote_module([&](double x, double y) noexcept { return dark_at(bits, h.apply({x, y})); }, c, r, vote);
}

// The affine map through three module points and their images, applied to `at`;
// false when the three are collinear.
bool affine_through(const Point from[3], const Point to[3], Point at, Point &out) noexcept {
    const Point a = from[1] - from[0], b = from[2] - from[0], d = at - from[0];
    const double den = cross(a, b);
    if (!(std::fabs(den) > 1e-9)) return false;
    const double s = cross(d, b) / den, t = cross(a, d) / den;
    out = to[0] + (to[1] - to[0]) * s + (to[2] - to[0]) * t;
    return std::isfinite(out.x) && std::isfinite(out.y);
}

}  // namespace

namespace {

// The products of a transform's entries with one module coordinate's three sample
// offsets (the centre, a quarter module before and after it): h.apply sums
// (m0 x + m1 y) + m2 of these same products, so a point read through them is bit
// for bit the point h.apply gives, with no multiplication left per point.
struct Products {
    double a[3], b[3], w[3];  // (m0 | m1) v, (m3 | m4) v, (m6 | m7) v at v + 0.5, + 0.25, + 0.75
};

Products products(const double *m, int stride, double v) noexcept {
    const double at[3] = {v + 0.5, v + 0.25, v + 0.75};
    Products p;
    for (int k = 0; k < 3; ++k) {
        p.a[k] = m[0] * at[k];
        p.b[k] = m[stride] * at[k];
        p.w[k] = m[2 * stride] * at[k];
    }
    return p;
}

}  // namespace

void sample_grid(const ImageView &bits, const Homography &module_to_image, int size,
                 double module, std::uint8_t *modules, int rows) noexcept {
    const bool vote = module >= 3.0;
    const int row_count = rows > 0 ? rows : size;
    const double *m = module_to_image.m;
    if (size > kMaxSize) {  // beyond any symbol: the plain walk, no table
        for (int r = 0; r < row_count; ++r) {
            for (int c = 0; c < size; ++c) {
                modules[static_cast<std::size_t>(r) * size + c] = sample_module(bits, module_to_image, c, r, vote);
            }
        }
        return;
    }
    // Per column and per row the products of the three sample offsets: 6 multiplications
    // a point saved, 18.9M to 10.2M instructions of sample_grid over the 60 small codes'
    // fast reads (callgrind), with the early vote in vote_module.
    Products columns[kMaxSize];
    for (int c = 0; c < size; ++c) columns[c] = products(m, 3, c);
    // Held in locals: each module's store through `modules` (a byte pointer, which may
    // alias anything) made the loop load them again for every point.
    const ImageView view = bits;
    const double m2 = m[2], m5 = m[5], m8 = m[8];
    const double width = view.width, height = view.height;  // dark_at's bounds, converted once
    // dark_at of a point: inside the image (NaN fails), then its pixel.
    const auto dark_inside = [&](double x, double y) noexcept {
        if (!(x >= 0 && y >= 0 && x < width && y < height)) return false;
        return view.at(static_cast<int>(x), static_cast<int>(y)) != 0;
    };
    for (int r = 0; r < row_count; ++r) {
        const Products row = products(m + 1, 3, r);
        // Offsets index into the tables: 0 the centre, 1 a quarter before, 2 after.
        const auto dark = [&](const Products &col, int i, int j) noexcept {
            const double w = col.w[i] + row.w[j] + m8;
            if (!(w > 1e-12)) return false;  // on or behind the horizon, as h.apply's NaN
            return dark_inside((col.a[i] + row.a[j] + m2) / w, (col.b[i] + row.b[j] + m5) / w);
        };
        std::uint8_t *out = modules + static_cast<std::size_t>(r) * size;
        for (int c = 0; c < size; ++c) {
            const Products &col = columns[c];
            const bool centre = dark(col, 0, 0);
            out[c] = !vote ? static_cast<std::uint8_t>(centre)
                           : corner_vote(centre, [&](int k) noexcept { return dark(col, 1 + (k & 1), 1 + (k >> 1)); });
        }
    }
}

namespace {

// Index of the first of the three anchor lines nearest module coordinate x, and
// their quadratic (Lagrange) weights at x.
int quadratic_weights(const LocalGrid &grid, double x, double w[3]) noexcept {
    int first = 0;
    while (first + 3 < grid.lines && x > grid.coordinate[first + 2]) ++first;
    if (first + 3 < grid.lines && x - grid.coordinate[first + 1] > grid.coordinate[first + 3] - x) ++first;
    const double *c = grid.coordinate + first;
    w[0] = (x - c[1]) * (x - c[2]) / ((c[0] - c[1]) * (c[0] - c[2]));
    w[1] = (x - c[0]) * (x - c[2]) / ((c[1] - c[0]) * (c[1] - c[2]));
    w[2] = (x - c[0]) * (x - c[1]) / ((c[2] - c[0]) * (c[2] - c[1]));
    return first;
}

// The image of module point p: the anchors' quadratic interpolation over the 3 x 3
// anchors nearest it.
Point local_apply(const LocalGrid &grid, Point p) noexcept {
    double wu[3], wv[3];
    const int i0 = quadratic_weights(grid, p.x, wu), j0 = quadratic_weights(grid, p.y, wv);
    Point out{0, 0};
    for (int j = 0; j < 3; ++j) {
        for (int i = 0; i < 3; ++i) out = out + grid.anchor[(j0 + j) * grid.lines + i0 + i] * (wu[i] * wv[j]);
    }
    return out;
}

// Module coordinate x moved by the timing correction of its module along that axis.
double corrected(const double *shift, int size, double x) noexcept {
    const int c = static_cast<int>(std::floor(x));
    return c >= 0 && c < size ? x + shift[c] : x;
}

bool dark_local(const ImageView &bits, const LocalGrid &grid, double x, double y) noexcept {
    return dark_at(bits, local_point(grid, {x, y}));
}

// Where the timing pattern's colour changes near module boundary `expected` (within
// 0.6 of a module, in tenths) as the anchors map it; false when there is none or more
// than one (noise).
bool timing_change(const ImageView &bits, const LocalGrid &grid, bool across, double expected,
                   double &at) noexcept {
    bool was = false, any = false;
    for (int k = -6; k <= 6; ++k) {
        const double x = expected + 0.1 * k;
        const bool dark = dark_at(bits, local_apply(grid, across ? Point{x, 6.5} : Point{6.5, x}));
        if (k > -6 && dark != was) {
            if (any) return false;
            any = true;
            at = x - 0.05;
        }
        was = dark;
    }
    return any;
}

// The shift of each module along one axis (`across` true: along row 6.5, the columns)
// that centres it between the colour changes of the timing pattern as the anchors map
// it. The changes are followed outward from the middle, each looked for where the one
// before it drifted to (a cylinder's bend drifts by half a module and more towards the
// edges, beyond what a fixed window tells apart). Modules without both changes take
// the nearest measured shift; beyond the timing pattern the drift goes on at its rate
// over the last four modules, at most a module.
void timing_shifts(const ImageView &bits, const LocalGrid &grid, int size, bool across, double *shift) noexcept {
    double boundary[kMaxSize + 1];
    bool seen[kMaxSize + 1];
    for (int b = 0; b <= size; ++b) seen[b] = false;
    const int low = 9, high = size - 8, middle = size / 2;
    for (int direction = -1; direction <= 1; direction += 2) {
        double drift = 0;
        for (int b = direction < 0 ? middle : middle + 1; b >= low && b <= high; b += direction) {
            double at;
            if (timing_change(bits, grid, across, b + drift, at)) {
                boundary[b] = at;
                seen[b] = true;
                drift = at - b;
            }
        }
    }
    for (int c = 0; c < size; ++c) shift[c] = NAN;
    int first = -1, last = -1;
    for (int c = 0; c < size; ++c) {
        if (seen[c] && seen[c + 1]) {
            shift[c] = (boundary[c] + boundary[c + 1]) / 2.0 - (c + 0.5);
            if (first < 0) first = c;
            last = c;
        }
    }
    if (first < 0) {
        for (int c = 0; c < size; ++c) shift[c] = 0.0;
        return;
    }
    for (int c = first + 1; c < last; ++c) {
        if (std::isnan(shift[c])) shift[c] = shift[c - 1];
    }
    const int span = 4;
    const double rate_low = last - first >= span && !std::isnan(shift[first + span]) ? (shift[first + span] - shift[first]) / span : 0.0;
    const double rate_high = last - first >= span && !std::isnan(shift[last - span]) ? (shift[last] - shift[last - span]) / span : 0.0;
    for (int c = first - 1; c >= 0; --c) shift[c] = std::fmax(-1.0, std::fmin(1.0, shift[first] + rate_low * (c - first)));
    for (int c = last + 1; c < size; ++c) shift[c] = std::fmax(-1.0, std::fmin(1.0, shift[last] + rate_high * (c - last)));
}
}  // namespace

int local_grid(const ImageView &bits, const Homography &global, const Point finders[3], int version,
               double module, int needed, LocalGrid &out) noexcept {
    if (version < 2 || version > kMaxVersion || !(module > 0)) return 0;
    const int n = alignment_count(version);
    const int size = size_for_version(version);
    if (n < 3 || n > kMaxAnchorLines) return 0;
    out.lines = n;
    for (int i = 0; i < n; ++i) out.coordinate[i] = kAlignment[version - 1][i] + 0.5;
    // Anchors row by row. At the three finder corners the anchor is the finder centre
    // moved by the global grid's step from it; every other is searched near a
    // prediction from its located neighbours (the affine map of the three before it,
    // or the neighbour before it plus the global grid's step along the edges), so a
    // bend is followed from anchor to anchor. An anchor not found keeps its prediction.
    // Stray triples stop once too few searches are left: a 1 MP 50% noise page's
    // denoised pass built 24 local grids (versions 13 to 35), 22 of them short of
    // half, whose 471 searches are now 331.
    int found = 0, searches_left = n * n - 3;
    const double far = size - 3.5;
    for (int j = 0; j < n; ++j) {
        for (int i = 0; i < n; ++i) {
            const int k = j * n + i;
            const Point at{out.coordinate[i], out.coordinate[j]};
            Point &to = out.anchor[k];
            const bool left = i == 0, right = i == n - 1, top = j == 0, bottom = j == n - 1;
            if ((left || right) && (top || bottom) && !(right && bottom)) {
                const int f = left && top ? 0 : right ? 1 : 2;
                const Point centre{left ? 3.5 : far, top ? 3.5 : far};
                to = finders[f] + (global.apply(at) - global.apply(centre));
                if (!std::isfinite(to.x) || !std::isfinite(to.y)) return 0;
                continue;
            }
            Point predicted = global.apply(at);
            if (i > 0 && j > 0) {
                const Point f3[3] = {{out.coordinate[i - 1], at.y}, {at.x, out.coordinate[j - 1]},
                                     {out.coordinate[i - 1], out.coordinate[j - 1]}};
                const Point t3[3] = {out.anchor[k - 1], out.anchor[k - n], out.anchor[k - n - 1]};
                Point p;
                if (affine_through(f3, t3, at, p)) predicted = p;
            } else {
                const int before = i > 0 ? k - 1 : k - n;
                const Point was = i > 0 ? Point{out.coordinate[i - 1], at.y} : Point{at.x, out.coordinate[j - 1]};
                predicted = out.anchor[before] + (global.apply(at) - global.apply(was));
            }
            Point p;
            if (find_alignment(bits, predicted, module, 2.5 * module, p)) {
                to = p;
                ++found;
            } else {
                to = predicted;
            }
            if (!std::isfinite(to.x) || !std::isfinite(to.y)) return 0;
            if (found + --searches_left < needed) return found;
        }
    }
    return found;
}

Point local_point(const LocalGrid &grid, Point p) noexcept {
    return local_apply(grid, {corrected(grid.shift_u, grid.size, p.x), corrected(grid.shift_v, grid.size, p.y)});
}

bool shift_local(const ImageView &bits, LocalGrid &grid, int size) noexcept {
    grid.size = 0;
    if (size > kMaxSize) return false;
    timing_shifts(bits, grid, size, true, grid.shift_u);
    timing_shifts(bits, grid, size, false, grid.shift_v);
    grid.size = size;
    return true;
}

std::uint8_t local_module(const ImageView &bits, const LocalGrid &grid, int c, int r, double module) noexcept {
    return vote_module([&](double x, double y) noexcept { return dark_local(bits, grid, x, y); }, c, r,
                       module >= 3.0);
}

void sample_shifted(const ImageView &bits, const LocalGrid &grid, double module, std::uint8_t *modules) noexcept {
    const int size = grid.size;
    for (int r = 0; r < size && r < kMaxSize; ++r) {
        for (int c = 0; c < size && c < kMaxSize; ++c) {
            modules[static_cast<std::size_t>(r) * size + c] = local_module(bits, grid, c, r, module);
        }
    }
}

void sample_local(const ImageView &bits, LocalGrid &grid, int size, double module,
                  std::uint8_t *modules) noexcept {
    if (shift_local(bits, grid, size)) sample_shifted(bits, grid, module, modules);
}

// ===================================================================================
// Doubts: how far each module's reading is from certain
// ===================================================================================


// As doubts_by through h.apply, with each column's and row's products of the transform
// and its three spread coordinates taken once: h.apply sums (m0 x + m1 y) + m2 of the
// same products, so every point is the same bit for bit. Over 41 camera scenes
// grid_doubts took 53.7M instructions before.
void grid_doubts(const ImageView &bits, const Homography &module_to_image, int size, const std::uint8_t *modules,
                 std::uint8_t *doubts) noexcept {
    if (size > kMaxSize) {  // beyond any symbol: the plain walk, no table
        doubts_by([&](double x, double y) { return dark_at(bits, module_to_image.apply({x, y})); }, size, modules,
                  doubts);
        return;
    }
    constexpr double kSpread[3] = {-1.0 / 3.0, 0.0, 1.0 / 3.0};  // as doubts_by's
    struct Spread {
        double a[3], b[3], w[3];
    };
    const double *m = module_to_image.m;
    const auto spread = [&](int stride, int v) noexcept {
        Spread out;
        for (int k = 0; k < 3; ++k) {
            const double at = v + 0.5 + kSpread[k];
            out.a[k] = m[0 + stride] * at;
            out.b[k] = m[3 + stride] * at;
            out.w[k] = m[6 + stride] * at;
        }
        return out;
    };
    Spread columns[kMaxSize];
    for (int c = 0; c < size; ++c) columns[c] = spread(0, c);
    for (int r = 0; r < size; ++r) {
        const Spread row = spread(1, r);
        for (int c = 0; c < size; ++c) {
            const Spread &col = columns[c];
            int dark_points = 0;
            for (int l = 0; l < 3; ++l) {
                for (int k = 0; k < 3; ++k) {
                    const double w = col.w[k] + row.w[l] + m[8];
                    if (!(w > 1e-12)) continue;  // on or behind the horizon, as h.apply's NaN
                    dark_points += dark_at(bits, {(col.a[k] + row.a[l] + m[2]) / w, (col.b[k] + row.b[l] + m[5]) / w});
                }
            }
            const std::size_t i = static_cast<std::size_t>(r) * size + c;
            doubts[i] = static_cast<std::uint8_t>(modules[i] ? 9 - dark_points : dark_points);
        }
    }
}

void local_doubts(const ImageView &bits, const LocalGrid &grid, int size, const std::uint8_t *modules,
                  std::uint8_t *doubts) noexcept {
    if (size > kMaxSize) return;
    doubts_by([&](double x, double y) { return dark_local(bits, grid, x, y); }, size, modules, doubts);
}

}  // namespace halvern::engine
