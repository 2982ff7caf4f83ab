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
        pending = -1.0;
        if (++changes == 3) {
            at = t - hold;
            return true;
        }
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
    if (!fit_line(chosen, count, out)) return false;
    int worst = -1;
    double worst_off = module / 3.0;
    for (int i = 0; i < count; ++i) {
        const double off = std::fabs(cross(out.direction, chosen[i] - out.origin));
        if (off > worst_off) {
            worst_off = off;
            worst = i;
        }
    }
    if (worst < 0) return true;
    chosen[worst] = chosen[--count];
    return fit_line(chosen, count, out);
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

bool finder_frame(const Point corners[4], int first, int turn, FinderFrame &out) noexcept {
    const Point src[4] = {{0, 0}, {7, 0}, {7, 7}, {0, 7}};
    Point dst[4];
    for (int k = 0; k < 4; ++k) dst[k] = corners[((first + turn * k) % 4 + 4) % 4];
    out.mirrored = turn < 0;
    return homography_from_points(src, dst, out.module_to_image);
}

}  // namespace halvern::engine
