// The fitted grid: a symbol's grid fitted to what the symbol shows rather than assumed
// from its finders. A printer that jitters module widths by a fifth and lets them
// drift, or fabric and a bent page that move modules by one or two, leave any single
// transform (and the quadratic between alignment patterns) half a module off in
// places, which is beyond the error correction. The fit starts from such a grid, moves
// the knots of a coarse lattice by small steps wherever the function patterns and the
// purity of the modules around the knot agree better, then shifts each column and row.

#include <algorithm>
#include <cmath>
#include <cstring>

#include "decode_stages.hpp"
#include "stages.hpp"

namespace halvern::engine {

namespace {

// A function module that reads wrong costs this many times a data module's doubt: the
// function patterns are where the grid is known, the data only clean or not.
constexpr int kFunctionWeight = 2;
// The knots' moves, in modules, coarse to fine, and the sweeps over every knot at each.
constexpr double kKnotMoves[3] = {0.5, 0.25, 0.125};
constexpr int kSweeps = 2;
// Shifts a column or row tries on each side of its current one, a tenth of a module
// apart, in each of kShiftRounds rounds; a shift stays within half a module.
constexpr int kShiftSteps = 3;
constexpr int kShiftRounds = 2;
constexpr double kMaxShift = 0.5;
// Bit errors the format read through the starting grid may have at most: the better
// copy, and the other copy against the same codeword.
constexpr int kMaxStartFormatErrors = 1;
constexpr int kMaxStartOtherCopyErrors = 3;
// Offsets of a module's four outer cost points from its centre.
constexpr double kReach = 1.0 / 3.0;

// The knot cell holding coordinate g (in knot steps) and g's offset in it; a point
// beyond the lattice extrapolates the edge cell.
int cell_of(double g, int knots, double &fraction) noexcept {
    const double cell = std::clamp(std::floor(g), 0.0, static_cast<double>(knots - 2));
    fraction = g - cell;
    return static_cast<int>(cell);
}

// Module coordinate x moved by its module's shift.
double shifted(const double *shift, int size, double x) noexcept {
    if (!(x >= 0 && x < size)) return x;
    return x + shift[static_cast<int>(x)];
}

bool dark_fitted(const ImageView &bits, const FittedGrid &grid, double x, double y) noexcept {
    return dark_at(bits, fitted_point(grid, {x, y}));
}

// The image point of lattice point (i + fx, j + fy) in knot steps: bilinear between the
// four knots of cell (i, j).
Point lattice_point(const FittedGrid &grid, int i, double fx, int j, double fy) noexcept {
    const Point *row = grid.knot + static_cast<std::size_t>(j) * grid.knots + i;
    const Point *next = row + grid.knots;
    const Point top = row[0] + (row[1] - row[0]) * fx, bottom = next[0] + (next[1] - next[0]) * fx;
    return top + (bottom - top) * fy;
}

// Module m's three cost points along the axis `shift` moves: the coordinates and the
// arithmetic fitted_point takes them through, so a point reads the same either way.
AxisPoints axis_points(const FittedGrid &grid, const double *shift, int m) noexcept {
    AxisPoints a;
    const double centre = m + 0.5;
    const double at[3] = {centre - kReach, centre, centre + kReach};
    for (int k = 0; k < 3; ++k) {
        const double g = shifted(shift, grid.size, at[k]) / grid.step;
        a.finite[k] = std::isfinite(g);
        if (a.finite[k]) a.cell[k] = cell_of(g, grid.knots, a.fraction[k]);
    }
    return a;
}

// Every column's and row's cost points through the shifts as they stand.
void place_axis_points(FittedGrid &grid) noexcept {
    for (int m = -1; m <= grid.size; ++m) {
        grid.column_points[m + 1] = axis_points(grid, grid.shift_u, m);
        grid.row_points[m + 1] = axis_points(grid, grid.shift_v, m);
    }
}

// Whether cost point (u[k], v[l]) reads dark (light off the lattice, as fitted_point's
// NaN does).
bool dark_point(const ImageView &bits, const FittedGrid &grid, const AxisPoints &u, int k, const AxisPoints &v,
                int l) noexcept {
    if (!u.finite[k] || !v.finite[l]) return false;
    return dark_at(bits, lattice_point(grid, u.cell[k], u.fraction[k], v.cell[l], v.fraction[l]));
}

// What module (c, r) costs through the grid with `dark` of its five cost points (its
// centre and four a third of a module off along the axes) dark: a function module the
// points that read against its colour, weighted; a data module its minority of the
// five; a module of the quiet zone its dark points (a bent symbol's outer columns keep
// to its edge so).
int cost_of(const FittedGrid &grid, int c, int r, int dark) noexcept {
    if (c < 0 || r < 0 || c >= grid.size || r >= grid.size) return dark;  // the quiet zone's first ring
    const std::uint8_t want = grid.expected[static_cast<std::size_t>(r) * grid.size + c];
    if (want == 2) return std::min(dark, 5 - dark);
    return kFunctionWeight * (want != 0 ? 5 - dark : dark);
}

// What module (c, r) costs through the grid.
int module_cost(const ImageView &bits, const FittedGrid &grid, int c, int r) noexcept {
    const AxisPoints &u = grid.column_points[c + 1], &v = grid.row_points[r + 1];
    const int dark = (dark_point(bits, grid, u, 1, v, 1) ? 1 : 0) + (dark_point(bits, grid, u, 0, v, 1) ? 1 : 0) +
                     (dark_point(bits, grid, u, 2, v, 1) ? 1 : 0) + (dark_point(bits, grid, u, 1, v, 0) ? 1 : 0) +
                     (dark_point(bits, grid, u, 1, v, 2) ? 1 : 0);
    return cost_of(grid, c, r, dark);
}

// The cost of the modules in columns [c0, c1) and rows [r0, r1), clipped to the symbol
// and the ring of quiet zone round it.
int region_cost(const ImageView &bits, const FittedGrid &grid, int c0, int c1, int r0, int r1) noexcept {
    c0 = std::max(c0, -1), r0 = std::max(r0, -1);
    c1 = std::min(c1, grid.size + 1), r1 = std::min(r1, grid.size + 1);
    int cost = 0;
    for (int r = r0; r < r1; ++r)
        for (int c = c0; c < c1; ++c) cost += module_cost(bits, grid, c, r);
    return cost;
}

// expected: what each function pattern fixes as the grid now reads the symbol, the
// format modules from the format it reads (data modules when it reads none); returns
// that reading.
FormatReading expect_functions(const ImageView &bits, FittedGrid &grid, int *other_copy_errors = nullptr) noexcept {
    const int size = grid.size;
    const std::size_t n = static_cast<std::size_t>(size) * size;
    sample_fitted(bits, grid, 0.0, grid.sampled);
    const FormatReading format = read_format(grid.sampled, size);
    if (other_copy_errors != nullptr && format.data >= 0)
        *other_copy_errors = worse_format_errors(grid.sampled, size, format.data);
    restore_matrix(grid.sampled, size, format.data < 0 ? 0 : format.data, grid.expected);
    if (format.data < 0) {
        // A format module is one that some other format word draws differently.
        for (int f = 1; f < 32; ++f) {
            restore_matrix(grid.sampled, size, f, grid.sampled);
            for (std::size_t i = 0; i < n; ++i) {
                if (grid.sampled[i] != grid.expected[i]) grid.expected[i] = 2;
            }
        }
    }
    std::memset(grid.sampled, 0, n);
    mark_function_modules(size, grid.sampled, 1);
    for (std::size_t i = 0; i < n; ++i) {
        if (grid.sampled[i] == 0) grid.expected[i] = 2;
    }
    return format;
}

}  // namespace

Point fitted_point(const FittedGrid &grid, Point p) noexcept {
    const double x = shifted(grid.shift_u, grid.size, p.x), y = shifted(grid.shift_v, grid.size, p.y);
    const double gx = x / grid.step, gy = y / grid.step;
    if (!std::isfinite(gx) || !std::isfinite(gy)) return {NAN, NAN};
    double fx, fy;
    const int i = cell_of(gx, grid.knots, fx), j = cell_of(gy, grid.knots, fy);
    return lattice_point(grid, i, fx, j, fy);
}

namespace {

// The lattice's knots where `map` puts their module points; false when one leaves the
// plane.
template <typename Map>
bool place_knots(FittedGrid &grid, Map &&map) noexcept {
    for (int j = 0; j < grid.knots; ++j) {
        for (int i = 0; i < grid.knots; ++i) {
            const Point p = map(Point{i * grid.step, j * grid.step});
            if (!std::isfinite(p.x) || !std::isfinite(p.y)) return false;
            grid.knot[j * grid.knots + i] = p;
        }
    }
    return true;
}

// The image step of one module along each axis at knot (i, j), from its neighbours.
void knot_axes(const FittedGrid &grid, int i, int j, Point &ex, Point &ey) noexcept {
    const int n = grid.knots;
    const int i0 = std::max(i - 1, 0), i1 = std::min(i + 1, n - 1), j0 = std::max(j - 1, 0), j1 = std::min(j + 1, n - 1);
    ex = (grid.knot[j * n + i1] - grid.knot[j * n + i0]) * (1.0 / ((i1 - i0) * grid.step));
    ey = (grid.knot[j1 * n + i] - grid.knot[j0 * n + i]) * (1.0 / ((j1 - j0) * grid.step));
}

// Whether knot k bears on any of a module's cost points along one axis: one lies in
// knot cell k - 1 or k.
bool near_knot(const AxisPoints &a, int k) noexcept {
    for (int n = 0; n < 3; ++n) {
        if (a.finite[n] && (a.cell[n] == k - 1 || a.cell[n] == k)) return true;
    }
    return false;
}

// Of modules [m0, m1) along one axis, clipped to the symbol and the ring of quiet zone
// round it, those whose cost points knot k bears on, into `out`; returns how many.
int near_modules(const AxisPoints *points, int size, int m0, int m1, int k, int *out) noexcept {
    m0 = std::max(m0, -1), m1 = std::min(m1, size + 1);
    int n = 0;
    for (int m = m0; m < m1; ++m) {
        if (near_knot(points[m + 1], k)) out[n++] = m;
    }
    return n;
}

// The knot rows [j0, j1] that the cost points of the listed rows lie between.
void knot_rows(const FittedGrid &grid, const int *rows, int row_count, int &j0, int &j1) noexcept {
    j0 = grid.knots - 1, j1 = 0;
    for (int b = 0; b < row_count; ++b) {
        const AxisPoints &v = grid.row_points[rows[b] + 1];
        for (int l = 0; l < 3; ++l) {
            if (!v.finite[l]) continue;
            j0 = std::min(j0, v.cell[l]);
            j1 = std::max(j1, v.cell[l] + 1);
        }
    }
}

// A column's three cost points interpolated along knot rows [j0, j1] (at [k][j]): the
// first step of fitted_point, the same for every module of the column.
void column_lerps(const FittedGrid &grid, const AxisPoints &u, int j0, int j1, Point (*lerps)[kMaxKnots]) noexcept {
    for (int k = 0; k < 3; ++k) {
        if (!u.finite[k]) continue;
        for (int j = j0; j <= j1; ++j) {
            const Point *row = grid.knot + static_cast<std::size_t>(j) * grid.knots + u.cell[k];
            lerps[k][j] = row[0] + (row[1] - row[0]) * u.fraction[k];
        }
    }
}

// Whether cost point (u[k], v[l]) reads dark, from its column's lerps: the second step
// of fitted_point.
bool dark_lerped(const ImageView &bits, const Point (*lerps)[kMaxKnots], const AxisPoints &u, int k,
                 const AxisPoints &v, int l) noexcept {
    if (!u.finite[k] || !v.finite[l]) return false;
    const Point top = lerps[k][v.cell[l]], bottom = lerps[k][v.cell[l] + 1];
    return dark_at(bits, top + (bottom - top) * v.fraction[l]);
}

// The cost of the modules at the listed columns and rows, whose cost points lie
// between knot rows j0 and j1.
int listed_cost(const ImageView &bits, const FittedGrid &grid, const int *columns, int column_count, const int *rows,
                int row_count, int j0, int j1) noexcept {
    int cost = 0;
    Point lerps[3][kMaxKnots];
    for (int a = 0; a < column_count; ++a) {
        const int c = columns[a];
        const AxisPoints &u = grid.column_points[c + 1];
        column_lerps(grid, u, j0, j1, lerps);
        for (int b = 0; b < row_count; ++b) {
            const AxisPoints &v = grid.row_points[rows[b] + 1];
            const int dark = (dark_lerped(bits, lerps, u, 1, v, 1) ? 1 : 0) + (dark_lerped(bits, lerps, u, 0, v, 1) ? 1 : 0) +
                             (dark_lerped(bits, lerps, u, 2, v, 1) ? 1 : 0) + (dark_lerped(bits, lerps, u, 1, v, 0) ? 1 : 0) +
                             (dark_lerped(bits, lerps, u, 1, v, 2) ? 1 : 0);
            cost += cost_of(grid, c, rows[b], dark);
        }
    }
    return cost;
}

// Knot (i, j) moved by `move` modules along either axis where the modules it bears on
// cost less, the best of the four moves; true when it moved.
bool move_knot(const ImageView &bits, FittedGrid &grid, int i, int j, double move) noexcept {
    Point &knot = grid.knot[j * grid.knots + i];
    // The modules whose centres lie in the four cells round the knot, and one more each
    // side, which the shifts may have moved there. Of those, a module none of whose
    // cost points lies in the four cells costs the same at every move: left out of
    // every sum, it leaves the least of them the same.
    const int c0 = static_cast<int>(std::floor((i - 1) * grid.step)) - 1, c1 = static_cast<int>(std::ceil((i + 1) * grid.step)) + 1;
    const int r0 = static_cast<int>(std::floor((j - 1) * grid.step)) - 1, r1 = static_cast<int>(std::ceil((j + 1) * grid.step)) + 1;
    int columns[kMaxSize + 2], rows[kMaxSize + 2];
    const int column_count = near_modules(grid.column_points, grid.size, c0, c1, i, columns);
    const int row_count = near_modules(grid.row_points, grid.size, r0, r1, j, rows);
    int j0, j1;
    knot_rows(grid, rows, row_count, j0, j1);
    Point ex, ey;
    knot_axes(grid, i, j, ex, ey);
    const Point start = knot;
    const Point moves[4] = {ex * move, ex * -move, ey * move, ey * -move};
    int best = listed_cost(bits, grid, columns, column_count, rows, row_count, j0, j1);
    Point best_at = start;
    for (const Point &m : moves) {
        knot = start + m;
        const int cost = listed_cost(bits, grid, columns, column_count, rows, row_count, j0, j1);
        if (cost < best) {
            best = cost;
            best_at = knot;
        }
    }
    knot = best_at;
    return best_at.x != start.x || best_at.y != start.y;
}

// The cost of column (`across`) or row k, every module along it.
int line_cost(const ImageView &bits, const FittedGrid &grid, bool across, int k) noexcept {
    return across ? region_cost(bits, grid, k, k + 1, 0, grid.size) : region_cost(bits, grid, 0, grid.size, k, k + 1);
}

// Each column's (`across`) or row's shift moved by tenths of a module where its modules
// cost less, within kMaxShift.
void fit_shifts(const ImageView &bits, FittedGrid &grid, bool across) noexcept {
    double *shift = across ? grid.shift_u : grid.shift_v;
    AxisPoints *points = across ? grid.column_points : grid.row_points;
    for (int k = 0; k < grid.size; ++k) {
        const double start = shift[k];
        int best = line_cost(bits, grid, across, k);
        double best_at = start;
        for (int step = -kShiftSteps; step <= kShiftSteps; ++step) {
            const double s = start + 0.1 * step;
            if (step == 0 || std::fabs(s) > kMaxShift) continue;
            shift[k] = s;
            points[k + 1] = axis_points(grid, shift, k);
            const int cost = line_cost(bits, grid, across, k);
            if (cost < best) {
                best = cost;
                best_at = s;
            }
        }
        shift[k] = best_at;
        points[k + 1] = axis_points(grid, shift, k);
    }
}

}  // namespace

bool fit_grid(const ImageView &bits, const Homography &global, const LocalGrid *local, int size,
              FittedGrid &out) noexcept {
    if (version_for_size(size) == 0) return false;
    out.size = size;
    out.knots = std::clamp(2 + size / 6, 3, kMaxKnots);
    out.step = static_cast<double>(size) / (out.knots - 1);
    for (int k = 0; k < size; ++k) out.shift_u[k] = out.shift_v[k] = 0.0;
    const bool placed = local != nullptr ? place_knots(out, [&](Point p) { return local_point(*local, p); })
                                         : place_knots(out, [&](Point p) { return global.apply(p); });
    if (!placed) return false;
    // A page of noise offers triples whose grid reads a format within three bit errors
    // half the time, within one 3% of the time, and both copies the same codeword
    // (the other within three bits) about once in 2,000; a located symbol reads both
    // copies near its finders, where the grid it failed through is good. With one
    // copy only, a 12 MP page of 50% noise spent half its read in two fits.
    int other_copy_errors = 16;
    const FormatReading format = expect_functions(bits, out, &other_copy_errors);
    if (format.data < 0 || format.errors > kMaxStartFormatErrors || other_copy_errors > kMaxStartOtherCopyErrors)
        return false;
    fit_knots(bits, out);
    // The format may read now where it did not through the grid the fit began with.
    expect_functions(bits, out);
    fit_line_shifts(bits, out);
    return true;
}

void fit_knots(const ImageView &bits, FittedGrid &grid) noexcept {
    place_axis_points(grid);
    for (const double move : kKnotMoves) {
        for (int sweep = 0; sweep < kSweeps; ++sweep) {
            bool moved = false;
            for (int j = 0; j < grid.knots; ++j)
                for (int i = 0; i < grid.knots; ++i) moved = move_knot(bits, grid, i, j, move) || moved;
            if (!moved) break;
        }
    }
}

void fit_line_shifts(const ImageView &bits, FittedGrid &grid) noexcept {
    place_axis_points(grid);
    for (int round = 0; round < kShiftRounds; ++round) {
        fit_shifts(bits, grid, true);
        fit_shifts(bits, grid, false);
    }
}

void sample_fitted(const ImageView &bits, const FittedGrid &grid, double module, std::uint8_t *modules) noexcept {
    const bool vote = module >= 3.0;
    const auto dark = [&](double x, double y) { return dark_fitted(bits, grid, x, y); };
    for (int r = 0; r < grid.size; ++r) {
        for (int c = 0; c < grid.size; ++c)
            modules[static_cast<std::size_t>(r) * grid.size + c] = vote_module(dark, c, r, vote);
    }
}

void fitted_doubts(const ImageView &bits, const FittedGrid &grid, const std::uint8_t *modules,
                   std::uint8_t *doubts) noexcept {
    doubts_by([&](double x, double y) { return dark_fitted(bits, grid, x, y); }, grid.size, modules, doubts);
}

}  // namespace halvern::engine
