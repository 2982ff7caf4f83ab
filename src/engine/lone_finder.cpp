// The square of a finder that has no partner finders (Micro QR, rMQR): edge points
// on rays from its centre, the square's turn from their edge directions, a line
// through each side's points, the corners where the lines cross.

#include <cmath>

#include "symbologies.hpp"

namespace halvern::engine {

namespace {

constexpr int kRays = 48;
constexpr double kPi = 3.14159265358979323846;
// Rays this close (in degrees) to a corner's direction are left out of a side: they
// may end on the neighbouring side.
constexpr double kCornerMargin = 10.0;

// The outer edge of the finder on a ray from its centre: the third lasting change of
// colour (core to light ring, ring, ring to outside), a change lasting when a third of
// a module of the new colour follows. False when the ray leaves 9 modules out first.
bool ray_edge(const ImageView &bits, Point centre, Point direction, double module, double &at) noexcept {
    const double step = module > 4.0 ? module / 8.0 : 0.5, hold = 0.35 * module, reach = 9.0 * module;
    bool colour = true;
    int changes = 0;
    double pending = -1.0;
    for (double t = step; t <= reach; t += step) {
        const bool dark = dark_at(bits, centre + direction * t);
        if (dark == colour) {
            pending = -1.0;
            continue;
        }
        if (pending < 0) pending = t - step / 2;
        if (t - pending < hold) continue;
        colour = dark;
        if (++changes == 3) {
            at = pending;
            return true;
        }
        pending = -1.0;
    }
    return false;
}

double wrap_degrees(double a) noexcept {
    a = std::fmod(a, 360.0);
    if (a < -180.0) a += 360.0;
    if (a >= 180.0) a -= 360.0;
    return a;
}

// The side's line through the edge points whose ray lies strictly between directions
// `from` and `to` (degrees, to > from), the corner margin inside; the point farthest
// off the first fit dropped when it lies more than a third of a module off.
bool side_line(const Point *points, const bool *valid, const double *angle, double from, double to,
               double module, Line &out) noexcept {
    Point chosen[kRays];
    int count = 0;
    for (int i = 0; i < kRays; ++i) {
        if (!valid[i]) continue;
        const double offset = wrap_degrees(angle[i] - from);
        const double span = to - from;
        const double rel = offset < 0 ? offset + 360.0 : offset;
        if (rel > kCornerMargin && rel < span - kCornerMargin) chosen[count++] = points[i];
    }
    return fit_line_without_worst(chosen, count, module / 3.0, out);
}

// Solves the 8 x 8 system a[.][0..7] x = a[.][8] by elimination with partial
// pivoting; false when it is singular.
bool solve8(double a[8][9], double x[8]) noexcept {
    for (int col = 0; col < 8; ++col) {
        int pivot = col;
        for (int r = col + 1; r < 8; ++r) pivot = std::fabs(a[r][col]) > std::fabs(a[pivot][col]) ? r : pivot;
        if (!(std::fabs(a[pivot][col]) > 1e-12)) return false;
        for (int c = 0; c < 9; ++c) {
            const double t = a[col][c];
            a[col][c] = a[pivot][c];
            a[pivot][c] = t;
        }
        for (int r = col + 1; r < 8; ++r) {
            const double f = a[r][col] / a[col][col];
            for (int c = col; c < 9; ++c) a[r][c] -= f * a[col][c];
        }
    }
    for (int r = 7; r >= 0; --r) {
        double v = a[r][8];
        for (int c = r + 1; c < 8; ++c) v -= a[r][c] * x[c];
        x[r] = v / a[r][r];
    }
    return true;
}

bool intersect(const Line &a, const Line &b, Point &out) noexcept {
    const double den = cross(a.direction, b.direction);
    if (!(std::fabs(den) > 0.2)) return false;  // sides closer than 12 degrees to parallel
    const double t = cross(b.origin - a.origin, b.direction) / den;
    out = a.origin + a.direction * t;
    return std::isfinite(out.x) && std::isfinite(out.y);
}

// The four corners from side lines fitted between the corner directions `corner`
// (degrees, increasing, the first repeated 360 on).
bool corners_between(const Point *points, const bool *valid, const double *angle, const double corner[4],
                     double module, Point out[4]) noexcept {
    Line sides[4];
    for (int k = 0; k < 4; ++k) {
        double to = corner[(k + 1) % 4];
        if (to <= corner[k]) to += 360.0;
        if (!side_line(points, valid, angle, corner[k], to, module, sides[k])) return false;
    }
    for (int k = 0; k < 4; ++k) {
        if (!intersect(sides[(k + 3) % 4], sides[k], out[k])) return false;
    }
    return true;
}

// Whether the corners make a convex quadrilateral, in increasing angle, whose sides
// measure 5 to 12 modules of the finder's narrowest reading.
bool plausible(const Point c[4], double module) noexcept {
    for (int k = 0; k < 4; ++k) {
        const Point a = c[(k + 1) % 4] - c[k], b = c[(k + 2) % 4] - c[(k + 1) % 4];
        if (!(cross(a, b) > 0)) return false;
        const double side = std::sqrt(dot(a, a));
        if (!(side >= 5.0 * module && side <= 12.0 * module)) return false;
    }
    return true;
}

}  // namespace

bool finder_square(const ImageView &bits, const Finder &finder, Point corners[4]) noexcept {
    const double module = finder.module;
    if (!(module >= 0.5 && module < 1e4)) return false;
    Point points[kRays];
    bool valid[kRays];
    double angle[kRays];
    for (int i = 0; i < kRays; ++i) {
        angle[i] = i * (360.0 / kRays) - 180.0;
        const double a = angle[i] * (kPi / 180.0);
        const Point direction{std::cos(a), std::sin(a)};
        double at = 0;
        valid[i] = ray_edge(bits, finder.centre, direction, module, at);
        points[i] = finder.centre + direction * at;
    }
    // The square's turn: edge directions between neighbouring edge points, four times
    // their angle summed, so that the four sides agree and the corners are outvoted.
    double sx = 0, sy = 0;
    for (int i = 0; i < kRays; ++i) {
        const int j = (i + 1) % kRays;
        if (!valid[i] || !valid[j]) continue;
        const Point e = points[j] - points[i];
        const double a = 4.0 * std::atan2(e.y, e.x);
        const double w = std::sqrt(dot(e, e));
        sx += w * std::cos(a);
        sy += w * std::sin(a);
    }
    if (!(sx * sx + sy * sy > 0)) return false;
    const double turn = std::atan2(sy, sx) / 4.0 * (180.0 / kPi);
    // Corners first where a square of that turn has them, then where the first
    // fit's corners lie (perspective moves them off the diagonals).
    double corner[4];
    for (int k = 0; k < 4; ++k) corner[k] = wrap_degrees(turn + 45.0 + 90.0 * k);
    for (int pass = 0; pass < 2; ++pass) {
        int lowest = 0;
        for (int k = 1; k < 4; ++k) lowest = corner[k] < corner[lowest] ? k : lowest;
        double sorted[4];
        for (int k = 0; k < 4; ++k) sorted[k] = corner[(lowest + k) % 4];
        if (!corners_between(points, valid, angle, sorted, module, corners)) return false;
        for (int k = 0; k < 4; ++k) {
            const Point d = corners[k] - finder.centre;
            corner[k] = std::atan2(d.y, d.x) * (180.0 / kPi);
        }
    }
    return plausible(corners, module);
}

bool fit_homography(const Point *src, const Point *dst, int count, Homography &out, bool affine) noexcept {
    if (count < 4) return false;
    // Image points centred and scaled to about unit spread, which keeps the normal
    // equations well conditioned.
    Point mean{0, 0};
    for (int i = 0; i < count; ++i) mean = mean + dst[i];
    mean = mean * (1.0 / count);
    double spread = 0;
    for (int i = 0; i < count; ++i) spread += std::sqrt(dot(dst[i] - mean, dst[i] - mean));
    spread /= count;
    if (!(spread > 1e-9)) return false;
    const double scale = 1.0 / spread;
    double a[8][9] = {};
    for (int i = 0; i < count; ++i) {
        const double u = src[i].x, v = src[i].y;
        const double x = (dst[i].x - mean.x) * scale, y = (dst[i].y - mean.y) * scale;
        const double rx[9] = {u, v, 1, 0, 0, 0, -u * x, -v * x, x};
        const double ry[9] = {0, 0, 0, u, v, 1, -u * y, -v * y, y};
        for (int r = 0; r < 8; ++r) {
            for (int c = 0; c < 9; ++c) a[r][c] += rx[r] * rx[c] + ry[r] * ry[c];
        }
    }
    if (affine) {
        // The perspective terms held at zero: their equations replaced by h6 = h7 = 0.
        for (int r = 6; r < 8; ++r) {
            for (int c = 0; c < 9; ++c) a[r][c] = 0.0;
            a[r][r] = 1.0;
        }
        for (int r = 0; r < 6; ++r) a[r][6] = a[r][7] = 0.0;
    }
    double h[8];
    if (!solve8(a, h)) return false;
    // Undo the normalisation: x = mean + spread * x'.
    out.m[0] = h[0] * spread + h[6] * mean.x;
    out.m[1] = h[1] * spread + h[7] * mean.x;
    out.m[2] = h[2] * spread + mean.x;
    out.m[3] = h[3] * spread + h[6] * mean.y;
    out.m[4] = h[4] * spread + h[7] * mean.y;
    out.m[5] = h[5] * spread + mean.y;
    out.m[6] = h[6];
    out.m[7] = h[7];
    out.m[8] = 1.0;
    for (double m : out.m) {
        if (!std::isfinite(m)) return false;
    }
    return true;
}

int fitted_grids(const Point *src, const Point *dst, int count, Homography grids[2]) noexcept {
    int n = 0;
    if (count >= 8) {
        n += fit_homography(src, dst, count, grids[n]) ? 1 : 0;
        n += fit_homography(src, dst, count, grids[n], true) ? 1 : 0;
    }
    return n;
}

int finder_corner_points(const Homography &h, Point *src, Point *dst) noexcept {
    const Point corners[4] = {{0, 0}, {7, 0}, {7, 7}, {0, 7}};
    for (int i = 0; i < 4; ++i) {
        src[i] = corners[i];
        dst[i] = h.apply(corners[i]);
    }
    return 4;
}

bool edge_point(const ImageView &bits, const Homography &h, Point centre, Point outward, double module,
                Point &module_point, Point &image_point) noexcept {
    Point p = h.apply(centre);
    const Point across{outward.y, -outward.x};
    Point a = h.apply(centre + across * 0.5) - h.apply(centre - across * 0.5);
    Point o = h.apply(centre + outward * 0.5) - p;
    const double la = std::sqrt(dot(a, a)), lo = std::sqrt(dot(o, o));
    if (!(la > 0.5 && lo > 0.25 && la < 4 * module + 4 && lo < 2 * module + 2)) return false;
    a = a * (1.0 / la);
    o = o * (1.0 / lo);
    const double step = 0.25;
    // A prediction on the light beside the module: the nearest dark within half a
    // module across.
    for (double t = step; !dark_at(bits, p) && t <= la / 2; t += step) {
        if (dark_at(bits, p + a * t)) p = p + a * t;
        else if (dark_at(bits, p - a * t)) p = p - a * t;
    }
    if (!dark_at(bits, p)) return false;
    double ends[2] = {0, 0};
    for (int side = 0; side < 2; ++side) {
        const Point d = side == 0 ? a : a * -1.0;
        double t = step;
        while (t <= la && dark_at(bits, p + d * t)) t += step;
        if (t > la) return false;  // no light within a module: not a lone dark module
        ends[side] = t - step / 2;
    }
    const Point q = p + a * ((ends[0] - ends[1]) / 2);
    double t = step;
    while (t <= 3 * lo && dark_at(bits, q + o * t)) t += step;
    if (t > 3 * lo) return false;
    module_point = centre + outward * 0.5;
    image_point = q + o * (t - step / 2);
    return true;
}

bool finder_frame(const Point corners[4], int first, int turn, FinderFrame &out) noexcept {
    const Point src[4] = {{0, 0}, {7, 0}, {7, 7}, {0, 7}};
    Point dst[4];
    for (int k = 0; k < 4; ++k) dst[k] = corners[((first + turn * k) % 4 + 4) % 4];
    out.mirrored = turn < 0;
    return homography_from_points(src, dst, out.module_to_image);
}

}  // namespace halvern::engine
