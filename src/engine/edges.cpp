// The edge fit: a symbol's one transform fitted to every module edge it shows. At a
// pixel or so a module (a scaled screenshot at 1.25 px a module) a module centre lies
// an eighth of a pixel from the pixel its neighbour mostly covers, so a grid drawn
// through the finder centres, each off by the half pixel the binarizer rounds it to,
// reads one module in twenty wrong. Each colour change between two modules of the
// current reading, looked for within half a module of where the grid puts it, is
// where that module line must pass; thousands of them, each a pixel's rounding off,
// fix the transform to a small part of a pixel by linear least squares.

#include <algorithm>
#include <cmath>
#include <utility>

#include "stages.hpp"

namespace halvern::engine {

namespace {

// Samples a module along a line: an edge is placed to a tenth of a module.
constexpr int kEdgeSteps = 10;
// Refits at most, each from the reading of the fit before, the move of the corners
// (in modules) below which the fit has settled, and the share of its move by which a
// fit that has not settled is carried on (see overstep).
constexpr int kEdgeRounds = 6;
constexpr double kSettled = 0.02;
constexpr double kOverstep = 0.5;
// A fit moves no corner farther than this from the starting grid (modules).
constexpr double kMaxCornerMove = 1.5;

// The normal equations of the fit in normalised coordinates: module line k (u = k or
// v = k, both scaled to about -1..1) passes through image point (x, y) gives the row
// (x, y, 1, 0, 0, 0, -k x, -k y) = k for u, (0, 0, 0, x, y, 1, -k x, -k y) = k for v
// of the image-to-module transform with its last coefficient 1.
struct Normal {
    double a[8][8] = {};
    double b[8] = {};
    int count[2] = {0, 0};

    void add(bool along_v, double k, double x, double y) noexcept {
        double row[8] = {0, 0, 0, 0, 0, 0, -k * x, -k * y};
        const int at = along_v ? 3 : 0;
        row[at] = x;
        row[at + 1] = y;
        row[at + 2] = 1.0;
        for (int i = 0; i < 8; ++i) {
            if (row[i] == 0.0) continue;
            for (int j = 0; j < 8; ++j) a[i][j] += row[i] * row[j];
            b[i] += row[i] * k;
        }
        ++count[along_v ? 1 : 0];
    }

    // The solution by Gaussian elimination with partial pivoting; false when singular.
    bool solve(double out[8]) noexcept {
        for (int c = 0; c < 8; ++c) {
            int pivot = c;
            for (int r = c + 1; r < 8; ++r) {
                if (std::fabs(a[r][c]) > std::fabs(a[pivot][c])) pivot = r;
            }
            if (!(std::fabs(a[pivot][c]) > 1e-9)) return false;
            for (int j = 0; j < 8; ++j) std::swap(a[c][j], a[pivot][j]);
            std::swap(b[c], b[pivot]);
            for (int r = c + 1; r < 8; ++r) {
                const double f = a[r][c] / a[c][c];
                for (int j = c; j < 8; ++j) a[r][j] -= f * a[c][j];
                b[r] -= f * b[c];
            }
        }
        for (int c = 7; c >= 0; --c) {
            double s = b[c];
            for (int j = c + 1; j < 8; ++j) s -= a[c][j] * out[j];
            out[c] = s / a[c][c];
            if (!std::isfinite(out[c])) return false;
        }
        return true;
    }
};

// Image and module coordinates scaled about the symbol's centre, for a well
// conditioned fit.
struct Frame {
    Point centre;
    double pixels = 1;  // image pixels to one normalised unit
    double half = 1;    // modules to one normalised unit
};

// One module line of the reading (`along_v` false: row r, the edges between columns)
// walked from module 0's centre to the last one's, kEdgeSteps samples a module; each
// boundary whose two modules read differently and whose half-module window either
// side holds exactly that one change adds where it lies. Only the windows of such
// boundaries are sampled (a window's last sample is the next one's first): about half
// a line's, whose samples were most of the fit (124.7M instructions over 41 camera
// scenes).
void line_edges(const ImageView &bits, const Homography &h, int size, const std::uint8_t *modules, bool along_v,
                int r, const Frame &frame, Normal &normal) noexcept {
    std::uint8_t seen[kEdgeSteps * (kMaxSize - 1) + 1];
    const double line = r + 0.5;
    const auto sample = [&](int i) noexcept {
        const double s = 0.5 + static_cast<double>(i) / kEdgeSteps;
        return dark_at(bits, h.apply(along_v ? Point{line, s} : Point{s, line})) ? 1 : 0;
    };
    const auto reading = [&](int k) noexcept {
        return modules[along_v ? static_cast<std::size_t>(k) * size + r : static_cast<std::size_t>(r) * size + k];
    };
    int sampled = 0;  // seen[] holds samples [.., sampled) of the windows so far
    for (int k = 1; k < size; ++k) {
        const std::uint8_t before = reading(k - 1), after = reading(k);
        const int first = (k - 1) * kEdgeSteps;
        // The window's ends are the two module centres, which read as the modules do.
        if (before == after) continue;
        for (int i = std::max(first, sampled); i <= first + kEdgeSteps; ++i) seen[i] = sample(i);
        sampled = first + kEdgeSteps + 1;
        int change = -1, changes = 0;
        for (int i = first; i < first + kEdgeSteps; ++i) {
            if (seen[i] != seen[i + 1]) {
                change = i;
                ++changes;
            }
        }
        if (changes != 1) continue;
        const double s = 0.5 + (change + 0.5) / kEdgeSteps;
        const Point p = h.apply(along_v ? Point{line, s} : Point{s, line});
        if (!std::isfinite(p.x) || !std::isfinite(p.y)) continue;
        normal.add(along_v, (k - frame.half) / frame.half, (p.x - frame.centre.x) / frame.pixels,
                   (p.y - frame.centre.y) / frame.pixels);
    }
}

// The transform fitted to the edges of the reading `modules` through h; false when too
// few edges were found or the equations are singular.
bool fit_once(const ImageView &bits, const Homography &h, int size, const std::uint8_t *modules,
              const Frame &f, Homography &out) noexcept {
    Normal normal;
    for (int r = 0; r < size; ++r) {
        line_edges(bits, h, size, modules, false, r, f, normal);
        line_edges(bits, h, size, modules, true, r, f, normal);
    }
    double g[8];
    if (normal.count[0] < size || normal.count[1] < size || !normal.solve(g)) return false;
    // Normalised image to normalised module, then unscaled: module = M^-1 G N image.
    const double n[9] = {1 / f.pixels, 0, -f.centre.x / f.pixels, 0, 1 / f.pixels, -f.centre.y / f.pixels, 0, 0, 1};
    const double m_inverse[9] = {f.half, 0, f.half, 0, f.half, f.half, 0, 0, 1};
    const double fit[9] = {g[0], g[1], g[2], g[3], g[4], g[5], g[6], g[7], 1.0};
    double scaled[9], image_to_module[9], inverse[9];
    multiply(fit, n, scaled);
    multiply(m_inverse, scaled, image_to_module);
    adjugate(image_to_module, inverse);
    if (!(std::fabs(inverse[8]) > 1e-300)) return false;
    for (int i = 0; i < 9; ++i) {
        out.m[i] = inverse[i] / inverse[8];
        if (!std::isfinite(out.m[i])) return false;
    }
    return true;
}

// How far (pixels) the symbol's corners lie apart through a and b; infinite when one
// leaves the plane.
double corner_move(const Homography &a, const Homography &b, int size) noexcept {
    double most = 0;
    const double s = size;
    for (const Point c : {Point{0, 0}, Point{s, 0}, Point{s, s}, Point{0, s}}) {
        const Point d = a.apply(c) - b.apply(c);
        const double move = std::sqrt(dot(d, d));
        if (!(move <= most)) most = std::isfinite(move) ? move : INFINITY;
    }
    return most;
}

// next moved on past itself by kOverstep of its corners' move from h: edges rounded
// to the pixel are lost beyond the half module either side of where h puts them, so
// a fit stops short of where they lie, by some half of the way at a pixel a module.
void overstep(const Homography &h, int size, Homography &next) noexcept {
    const double s = size;
    const Point at[4] = {{0, 0}, {s, 0}, {s, s}, {0, s}};
    Point to[4];
    for (int i = 0; i < 4; ++i) to[i] = next.apply(at[i]) + (next.apply(at[i]) - h.apply(at[i])) * kOverstep;
    Homography moved;
    if (homography_from_points(at, to, moved)) next = moved;
}

}  // namespace

bool fit_to_edges(const ImageView &bits, const Homography &start, int size, double module, std::uint8_t *modules,
                  Homography &out) noexcept {
    if (size < kMinSize || size > kMaxSize || !(module > 0) || !std::isfinite(module)) return false;
    Frame frame;
    frame.centre = start.apply({size / 2.0, size / 2.0});
    frame.pixels = module * size / 2.0;
    frame.half = size / 2.0;
    if (!std::isfinite(frame.centre.x) || !std::isfinite(frame.centre.y) || !std::isfinite(frame.pixels)) return false;
    Homography h = start;
    bool fitted = false;
    for (int round = 0; round < kEdgeRounds; ++round) {
        sample_grid(bits, h, size, 0.0, modules);
        Homography next;
        if (!fit_once(bits, h, size, modules, frame, next) ||
            !(corner_move(next, start, size) <= kMaxCornerMove * module)) {
            break;
        }
        fitted = true;
        if (corner_move(next, h, size) < kSettled * module) {
            h = next;
            break;
        }
        if (round + 1 < kEdgeRounds) overstep(h, size, next);
        h = next;
    }
    out = h;
    return fitted;
}

}  // namespace halvern::engine
