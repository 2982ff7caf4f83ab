// The symbol's grid: the perspective transform from module space to the image, the
// alignment pattern that anchors its fourth corner, and the sampling of the modules.

#include <cmath>

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

// The adjugate of m: its inverse up to a scale, which a homography ignores.
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

// Dark at p (continuous pixel coordinates); outside the image (or NaN) is light.
bool dark_at(const ImageView &bits, Point p) noexcept {
    if (!(p.x >= 0 && p.y >= 0 && p.x < bits.width && p.y < bits.height)) return false;
    return bits.at(static_cast<int>(p.x), static_cast<int>(p.y)) != 0;
}

// From (x, y) along (dx, dy): the dark core's pixels (the start included) and the light
// run after it; true when a dark pixel follows within `limit` steps.
bool core_and_gap(const ImageView &bits, int x, int y, int dx, int dy, int limit, int &core,
                  int &gap) noexcept {
    core = gap = 0;
    for (int steps = 0; steps <= limit; ++steps, x += dx, y += dy) {
        if (!bits.contains(x, y)) return false;
        const bool dark = bits.at(x, y) != 0;
        if (gap == 0 && dark) {
            ++core;
        } else if (!dark) {
            ++gap;
        } else {
            return true;
        }
    }
    return false;
}

bool within(double run, double module) noexcept { return run >= 0.4 * module && run <= 1.8 * module; }

// The centre offset (in steps) of an alignment core through (x, y) along +-(dx, dy),
// when core and the light ring on both sides measure about a module.
bool ring_check(const ImageView &bits, int x, int y, int dx, int dy, double module,
                double &offset) noexcept {
    const int limit = static_cast<int>(4 * module) + 2;
    int back_core, back_gap, ahead_core, ahead_gap;
    if (!core_and_gap(bits, x, y, -dx, -dy, limit, back_core, back_gap)) return false;
    if (!core_and_gap(bits, x, y, dx, dy, limit, ahead_core, ahead_gap)) return false;
    if (!within(back_core + ahead_core - 1, module) || !within(back_gap, module) ||
        !within(ahead_gap, module)) {
        return false;
    }
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

struct Line {
    Point origin;
    Point direction;  // unit
};

// The least-squares line through points (total least squares: the principal axis).
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

// The outer edge of a finder on the side that `outward` points to, as a line through
// the edge points of walks from seven points of the line through its centre along
// `along` (both unit vectors), a module apart. The point farthest from the first fit
// is dropped when it lies more than a third of a module off (a speck that ended a walk
// early turned the edge of a finder at 3 px a module by 15 degrees), and the rest fit
// again.
bool finder_edge(const ImageView &bits, Point centre, double module, Point outward, Point along,
                 Line &out) noexcept {
    Point points[7];
    int count = 0;
    for (int t = -3; t <= 3; ++t) {
        Point edge;
        if (edge_along(bits, centre + along * (t * module), outward, module, edge)) points[count++] = edge;
    }
    if (!fit_line(points, count, out)) return false;
    int worst = -1;
    double worst_off = module / 3.0;
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

}  // namespace

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
    double best = radius * radius;
    bool any = false;
    for (int y = y0; y < y1; ++y) {
        const std::uint8_t *row = bits.row(y);
        int x = x0;
        while (x < x1) {
            // A dark run with light on both sides, about a module each.
            if (row[x] == 0) {
                ++x;
                continue;
            }
            int end = x;
            while (end < x1 && row[end] != 0) ++end;
            const int start = x;
            x = end;
            if (!within(end - start, module)) continue;
            const int cx = (start + end) / 2;
            double dy_off = 0, dx_off = 0;
            if (!ring_check(bits, cx, y, 1, 0, module, dx_off)) continue;
            if (!ring_check(bits, cx, y, 0, 1, module, dy_off)) continue;
            const double cy = y + 0.5 + dy_off;
            const int yc = static_cast<int>(cy);
            if (!ring_check(bits, cx, yc, 1, 0, module, dx_off)) continue;
            const Point p{cx + 0.5 + dx_off, cy};
            const double d = dot(p - predicted, p - predicted);
            if (d < best) {
                best = d;
                found = p;
                any = true;
            }
        }
    }
    return any;
}

double module_along(const ImageView &bits, const Finder &finder, Point direction) noexcept {
    const double length = std::sqrt(dot(direction, direction));
    if (!(length > 0) || !(finder.module > 0)) return 0.0;
    const Point step = direction * (0.5 / length);  // half a pixel
    const int limit = static_cast<int>(std::fmin(12.0 * finder.module, 1e6)) * 2;
    double chord = 0.0;
    for (int sign = -1; sign <= 1; sign += 2) {
        // From the centre: dark core, light ring, dark ring; the third change ends it.
        int changes = 0, k = 0;
        bool dark = dark_at(bits, finder.centre);
        if (!dark) return 0.0;
        for (k = 1; k <= limit && changes < 3; ++k) {
            const bool now = dark_at(bits, finder.centre + step * (sign * k));
            if (now != dark) ++changes;
            dark = now;
        }
        if (changes < 3) return 0.0;
        chord += (k - 1.5) * 0.5;  // the change lies between the last two samples
    }
    return chord / 7.0;
}

bool estimate_corner(const ImageView &bits, const Finder &tl, const Finder &tr, const Finder &bl,
                     Point &corner) noexcept {
    const Point across = tr.centre - tl.centre, down = bl.centre - tl.centre;
    const double la = std::sqrt(dot(across, across)), ld = std::sqrt(dot(down, down));
    if (!(la > 0) || !(ld > 0)) return false;
    const Point u = across * (1.0 / la), v = down * (1.0 / ld);
    Line right, bottom;
    if (!finder_edge(bits, tr.centre, tr.module, u, v, right)) return false;
    if (!finder_edge(bits, bl.centre, bl.module, v, u, bottom)) return false;
    const double turn = cross(right.direction, bottom.direction);
    if (!(std::fabs(turn) > 0.2)) return false;  // the edges must cross at a clear angle
    const double a = cross(bottom.origin - right.origin, bottom.direction) / turn;
    corner = right.origin + right.direction * a;
    // The symbol's corner lies beyond the parallelogram's fourth finder centre; far
    // from it the edges were misread.
    const Point guess = tr.centre + down + (u + v) * (3.5 * (tr.module + bl.module) / 2);
    return std::isfinite(corner.x) && std::isfinite(corner.y) &&
           std::sqrt(dot(corner - guess, corner - guess)) < 0.25 * (la + ld);
}

void sample_grid(const ImageView &bits, const Homography &module_to_image, int size,
                 double module, std::uint8_t *modules) noexcept {
    const bool vote = module >= 3.0;
    for (int r = 0; r < size; ++r) {
        for (int c = 0; c < size; ++c) {
            const double x = c + 0.5, y = r + 0.5;
            int dark = dark_at(bits, module_to_image.apply({x, y})) ? 1 : 0;
            if (vote) {
                dark = 2 * dark;  // the centre counts twice: a tie keeps it
                dark += dark_at(bits, module_to_image.apply({x - 0.25, y - 0.25})) ? 1 : 0;
                dark += dark_at(bits, module_to_image.apply({x + 0.25, y - 0.25})) ? 1 : 0;
                dark += dark_at(bits, module_to_image.apply({x - 0.25, y + 0.25})) ? 1 : 0;
                dark += dark_at(bits, module_to_image.apply({x + 0.25, y + 0.25})) ? 1 : 0;
                dark = dark >= 3 ? 1 : 0;
            }
            modules[static_cast<std::size_t>(r) * size + c] = static_cast<std::uint8_t>(dark);
        }
    }
}

}  // namespace halvern::engine
