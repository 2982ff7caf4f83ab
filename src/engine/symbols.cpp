// Triples of finders that may be the three corners of one symbol.
//
// A symbol's finders have matching module sizes and form a right-angled isosceles
// triangle, the top-left finder at the right angle. Perspective bends both, so the
// limits are loose and the cost ranks the candidates instead. Which of the other two
// is top-right follows from the turn (cross product) as the symbol reads unmirrored;
// a mirrored image swaps them, and the reader retries the transpose.
//
// Work is bounded on pages full of finder-like patterns: only the finders with the
// most row hits take part, and the number of triples examined is capped.

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <utility>

#include "stages.hpp"

namespace halvern::engine {

namespace {

// Finders that take part, the most often confirmed first.
constexpr int kConsidered = 160;
// Triples examined at most (160 finders give 680,000).
constexpr long kMaxExamined = 400000;
// Limits on the symbol's shape: the corner angle's cosine, the ratio of the legs and
// of the module sizes.
constexpr double kMaxCosine = 0.3;
constexpr double kMaxLegRatio = 1.55;
constexpr double kMaxModuleRatio = 2.0;  // a symbol tilted 40 degrees shows 1.65

bool modules_match(const Finder &a, const Finder &b) noexcept {
    if (a.skewed || b.skewed) return false;
    return a.module <= kMaxModuleRatio * b.module && b.module <= kMaxModuleRatio * a.module;
}

// The triple (a, b, c) with its corner at the right angle, or false.
bool shape_of(const Finder *f, int a, int b, int c, Triple &out) noexcept {
    const int ids[3] = {a, b, c};
    double best = 2.0;
    int corner = -1;
    for (int k = 0; k < 3; ++k) {
        const Point o = f[ids[k]].centre;
        const Point u = f[ids[(k + 1) % 3]].centre - o;
        const Point v = f[ids[(k + 2) % 3]].centre - o;
        const double lu = std::sqrt(dot(u, u)), lv = std::sqrt(dot(v, v));
        if (!(lu > 0) || !(lv > 0)) return false;
        const double c = std::fabs(dot(u, v)) / (lu * lv);
        if (c < best) {
            best = c;
            corner = k;
        }
    }
    if (corner < 0 || best > kMaxCosine) return false;
    const int tl = ids[corner], p = ids[(corner + 1) % 3], q = ids[(corner + 2) % 3];
    const Point u = f[p].centre - f[tl].centre, v = f[q].centre - f[tl].centre;
    const double lu = std::sqrt(dot(u, u)), lv = std::sqrt(dot(v, v));
    const double legs = lu > lv ? lu / lv : lv / lu;
    if (legs > kMaxLegRatio) return false;
    const double module = (f[a].module + f[b].module + f[c].module) / 3.0;
    // Finder centres of a version 1 symbol are 14 modules apart, of version 40, 170; a
    // module size read across a turned finder may be up to 8% large.
    const double span = (lu + lv) / 2.0 / module;
    if (span < 12.0 || span > 185.0) return false;
    double low = f[a].module, high = f[a].module;
    for (int i : {b, c}) {
        low = std::min(low, f[i].module);
        high = std::max(high, f[i].module);
    }
    out.tl = tl;
    // In image coordinates (y down) an unmirrored symbol turns clockwise from its
    // top-right to its bottom-left finder: cross(tr - tl, bl - tl) > 0.
    const bool regular = cross(u, v) > 0;
    out.tr = regular ? p : q;
    out.bl = regular ? q : p;
    out.cost = best + std::log(legs) + std::log(high / low);
    return true;
}

// Whether (a, b, c) may pass shape_of, from the squares of its sides alone (no root or
// division): a corner of cosine at most c between legs within kMaxLegRatio has the third
// side the longest (its square exceeds the longer leg's by at least (1 - 2 c kMaxLegRatio)
// times the shorter's, 0.07 of it), the legs the other two, and the third's square within
// (1 -+ c) (q1 + q2) (the legs' cross term 2 cos sqrt(q1 q2) is at most c (q1 + q2)). The
// slack is a millionth, far above the rounding of differences and roots (a passing
// triple's sides are 9 pixels or more) and far below what a random triple misses by: on a
// 12 MP page of 50% noise 80% of the 418,000 triples examined fail here, at a tenth of
// shape_of's cost.
bool may_be_shape(Point a, Point b, Point c) noexcept {
    double q1 = dot(b - a, b - a), q2 = dot(c - a, c - a), q3 = dot(c - b, c - b);
    if (q1 > q2) std::swap(q1, q2);
    if (q2 > q3) std::swap(q2, q3);
    if (q1 > q2) std::swap(q1, q2);
    constexpr double slack = 1.0 + 1e-6;
    const double legs = q1 + q2;
    return q2 <= kMaxLegRatio * kMaxLegRatio * slack * q1 && q3 <= (1.0 + kMaxCosine) * slack * legs &&
           q3 * slack >= (1.0 - kMaxCosine) * legs;
}

// The first of the costliest triples kept.
int costliest(const Triple *out, int count) noexcept {
    int worst = 0;
    for (int i = 1; i < count; ++i) {
        if (out[i].cost > out[worst].cost) worst = i;
    }
    return worst;
}

// Keeps the `capacity` cheapest triples seen. The costliest kept is found again only
// when it is replaced: a page of near-symbols passes thousands of triples through a
// full list, and scanning it for each one was 40% of the stage.
struct Cheapest {
    Triple *out;
    int capacity;
    int count = 0;
    int worst = 0;

    void keep(const Triple &t) noexcept {
        if (count < capacity) {
            out[count++] = t;
            if (count == capacity) worst = costliest(out, count);
            return;
        }
        if (t.cost < out[worst].cost) {
            out[worst] = t;
            worst = costliest(out, count);
        }
    }
};

// The finders' indices, the most row hits first (ties by index), the first `limit`
// of them; returns how many.
int most_hits(const Finder *finders, int count, int *order, int limit) noexcept {
    for (int i = 0; i < count; ++i) order[i] = i;
    std::sort(order, order + count, [finders](int a, int b) {
        return finders[a].hits != finders[b].hits ? finders[a].hits > finders[b].hits : a < b;
    });
    return count < limit ? count : limit;
}

// The cheapest first; ties in a fixed order.
void sort_triples(Triple *out, int count) noexcept {
    std::sort(out, out + count, [](const Triple &x, const Triple &y) {
        if (x.cost != y.cost) return x.cost < y.cost;
        if (x.tl != y.tl) return x.tl < y.tl;
        return x.tr != y.tr ? x.tr < y.tr : x.bl < y.bl;
    });
}

// Steep triples (see find_steep_triples): finders taking part, module sizes apart at
// most, and the limits on the sides' agreement (see steep_shape).
constexpr int kSteepConsidered = 24;
constexpr double kMaxSteepModuleRatio = 4.5;
constexpr double kSteepLegs = 1.3;
constexpr double kSteepSideLow = 0.85, kSteepSideHigh = 1.7;

// The side from finder a to b in modules: its length in pixels over the geometric mean
// of the module sizes read along it at its ends. Under a perspective map the scale
// along a line varies as 1 / w^2 and the length between two points is their distance
// in modules times the root of the two ends' scales: exact for any tilt. Along the
// diagonal, a finder's chord over 7 is a diagonal step, so the diagonal reads in steps:
// all three sides of a symbol's finder triangle come out its span. 0 when a chord fails.
double side_in_modules(const ImageView &bits, const Finder &a, const Finder &b) noexcept {
    const Point d = b.centre - a.centre;
    const double ma = module_along(bits, a, d, true), mb = module_along(bits, b, d, true);
    if (!(ma > 0) || !(mb > 0)) return 0.0;
    return std::sqrt(dot(d, d) / (ma * mb));
}

// How nearly the line from finder a towards b runs along one of a's sides rather than
// its diagonal: the chords parallel to it a module either side over the chord through
// the centre. A line parallel to a side meets the square's outline at the same length
// (1); one along the diagonal at (a sqrt(2) - 1) / (a sqrt(2)) of it for a square of
// half-side a (0.8 for a finder). Parallels and their proportions survive an affine
// map, and a finder is nearly one, though not under a closeup's perspective, whose
// sides converge within it. 0 when a chord fails.
double along_side(const ImageView &bits, const Finder &a, const Finder &b) noexcept {
    const Point d = b.centre - a.centre;
    const double length = std::sqrt(dot(d, d));
    const double middle = module_along(bits, a, d, true);
    if (!(length > 0) || !(middle > 0)) return 0.0;
    // A module across in the image is at most one in the finder: its module is its
    // shortest chord's.
    const Point off{-d.y * (a.module / length), d.x * (a.module / length)};
    Finder shifted = a;
    double sum = 0.0;
    for (const Point p : {a.centre + off, a.centre - off}) {
        shifted.centre = p;
        const double chord = module_along(bits, shifted, d, true);
        if (!(chord > 0)) return 0.0;
        sum += chord;
    }
    return sum / (2.0 * middle);
}

// Sides in modules between the steep pass's finders (by rank), and how nearly each
// runs along its ends' sides, each read once: a side costs four chord walks, and a
// page of two dozen finders shares each among 22 triples.
class Sides {
public:
    Sides(const ImageView &bits, const Finder *finders, const int *order) noexcept
        : bits_(bits), finders_(finders), order_(order) {
        for (auto &row : side_) {
            for (double &v : row) v = -1.0;
        }
        for (auto &row : straight_) {
            for (double &v : row) v = -1.0;
        }
    }

    double operator()(int i, int j) noexcept {
        double &v = side_[i < j ? i : j][i < j ? j : i];
        if (v < 0) v = side_in_modules(bits_, finders_[order_[i]], finders_[order_[j]]);
        return v;
    }

    // along_side from rank i towards rank j.
    double straight(int i, int j) noexcept {
        double &v = straight_[i][j];
        if (v < 0) v = along_side(bits_, finders_[order_[i]], finders_[order_[j]]);
        return v;
    }

private:
    const ImageView &bits_;
    const Finder *finders_;
    const int *order_;
    double side_[kSteepConsidered][kSteepConsidered];
    double straight_[kSteepConsidered][kSteepConsidered];
};

// The steep triple of finders ids (ranks) with its corner at ids[corner]: the legs
// within kSteepLegs of each other and the third side kSteepSideLow to kSteepSideHigh
// times their mean (a chord along the diagonal meets the finder's corners, where blur
// closes the thin light ring: the closeups read it up to 62% long), or false. Its cost
// adds how far the corner's lines to the others are from its sides (`askew`).
bool steep_corner(const double *sides, double askew, const Finder *f, const int *order, const int *ids, int corner,
                  Triple &out) noexcept {
    const double p_leg = sides[(corner + 2) % 3], q_leg = sides[(corner + 1) % 3];
    const double legs = p_leg > q_leg ? p_leg / q_leg : q_leg / p_leg;
    const double span = (p_leg + q_leg) / 2.0, third = sides[corner] / span;
    if (legs > kSteepLegs || third > kSteepSideHigh || third < kSteepSideLow) return false;
    if (span < 12.0 || span > 185.0) return false;
    const int tl = order[ids[corner]], p = order[ids[(corner + 1) % 3]], q = order[ids[(corner + 2) % 3]];
    const bool regular = cross(f[p].centre - f[tl].centre, f[q].centre - f[tl].centre) > 0;
    out.tl = tl;
    out.tr = regular ? p : q;
    out.bl = regular ? q : p;
    out.cost = std::log(legs) + std::fabs(std::log(third)) + askew;
    out.steep = true;
    return true;
}

// The steep triples of ranks (i, j, k) into `kept`, one for each corner that passes
// steep_corner. Its sides in modules do not tell the corner (a diagonal read in
// diagonal steps is as long as a leg), and the lines from the corner finder to the
// others run along its sides (see along_side), which under a closeup's perspective
// within a finder its chords tell only roughly: the likeliest corner comes first.
void steep_shapes(Sides &sides_of, const Finder *f, const int *order, int i, int j, int k, Cheapest &kept) noexcept {
    const int ids[3] = {i, j, k};
    double sides[3];  // sides[n]: opposite ids[n]
    for (int n = 0; n < 3; ++n) {
        sides[n] = sides_of(ids[(n + 1) % 3], ids[(n + 2) % 3]);
        if (!(sides[n] > 0)) return;
    }
    for (int n = 0; n < 3; ++n) {
        const double askew = std::fabs(sides_of.straight(ids[n], ids[(n + 1) % 3]) - 1.0) +
                             std::fabs(sides_of.straight(ids[n], ids[(n + 2) % 3]) - 1.0);
        Triple t;
        if (steep_corner(sides, askew, f, order, ids, n, t)) kept.keep(t);
    }
}

// Whether find_triples passes (a, b, c).
bool plain_triple(const Finder *f, int a, int b, int c) noexcept {
    Triple t;
    return modules_match(f[a], f[b]) && modules_match(f[a], f[c]) && modules_match(f[b], f[c]) &&
           shape_of(f, a, b, c, t);
}

bool steep_modules(const Finder &a, const Finder &b) noexcept {
    return a.module <= kMaxSteepModuleRatio * b.module && b.module <= kMaxSteepModuleRatio * a.module;
}

}  // namespace

int find_steep_triples(const ImageView &bits, const Finder *finders, int count, Triple *out,
                       int capacity) noexcept {
    if (capacity <= 0 || count < 3) return 0;
    if (count > kMaxFinders) count = kMaxFinders;
    int order[kMaxFinders];
    const int n = most_hits(finders, count, order, kSteepConsidered);
    Cheapest kept{out, capacity};
    Sides sides(bits, finders, order);
    for (int i = 0; i < n; ++i) {
        for (int j = i + 1; j < n; ++j) {
            if (!steep_modules(finders[order[i]], finders[order[j]])) continue;
            for (int k = j + 1; k < n; ++k) {
                const int a = order[i], b = order[j], c = order[k];
                if (!steep_modules(finders[a], finders[c]) || !steep_modules(finders[b], finders[c])) continue;
                if (!plain_triple(finders, a, b, c)) steep_shapes(sides, finders, order, i, j, k, kept);
            }
        }
    }
    sort_triples(out, kept.count);
    return kept.count;
}

int find_triples(const Finder *finders, int count, Triple *out, int capacity) noexcept {
    if (capacity <= 0 || count < 3) return 0;
    if (count > kMaxFinders) count = kMaxFinders;
    int order[kMaxFinders];
    const int n = most_hits(finders, count, order, kConsidered);
    Cheapest kept{out, capacity};
    long examined = 0;
    for (int i = 0; i < n && examined < kMaxExamined; ++i) {
        const Finder &a = finders[order[i]];
        for (int j = i + 1; j < n && examined < kMaxExamined; ++j) {
            const Finder &b = finders[order[j]];
            if (!modules_match(a, b)) continue;
            for (int k = j + 1; k < n && examined < kMaxExamined; ++k) {
                const Finder &c = finders[order[k]];
                if (!modules_match(a, c) || !modules_match(b, c)) continue;
                ++examined;
                Triple t;
                if (may_be_shape(a.centre, b.centre, c.centre) && shape_of(finders, order[i], order[j], order[k], t)) {
                    kept.keep(t);
                }
            }
        }
    }
    sort_triples(out, kept.count);
    return kept.count;
}

}  // namespace halvern::engine
