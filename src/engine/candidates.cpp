// The candidate grids of a triple of finders: the versions its legs suggest (or the
// one its version information states), and per version the grids anchored on the
// alignment pattern, the symbol's corner and the parallelogram of the centres; then
// the retries of a grid that came close: its fourth point nudged, a local grid
// through all the alignment patterns. Each grid is decoded through Pass::try_grid.

#include <cmath>
#include <cstdlib>

#include "passes.hpp"

namespace halvern::engine {

namespace {

double distance(Point a, Point b) noexcept { return std::sqrt(dot(a - b, a - b)); }

// Share of the timing modules of a symbol `size` modules wide that alternate, dark(c, r)
// reading module (c, r).
template <typename Dark>
double timing_share(int size, Dark &&dark) noexcept {
    int good = 0, total = 0;
    for (int i = 8; i < size - 8; ++i) {
        const bool expected = i % 2 == 0;
        good += dark(i, 6) == expected ? 1 : 0;
        good += dark(6, i) == expected ? 1 : 0;
        total += 2;
    }
    return total > 0 ? static_cast<double>(good) / total : 0.0;
}

// Share of timing modules that alternate, sampled straight from the image.
double timing_through(const ImageView &bits, const Homography &h, int size) noexcept {
    return timing_share(size, [&](int c, int r) noexcept { return dark_at(bits, h.apply({c + 0.5, r + 0.5})); });
}

// Share of the sampled grid's timing modules that alternate.
double timing_of(const std::uint8_t *modules, int size) noexcept {
    return timing_share(size, [&](int c, int r) noexcept {
        return modules[static_cast<std::size_t>(r) * size + c] == 1;
    });
}

// The version in the symbol's version blocks (either copy), or 0.
int version_from_info(const ImageView &bits, const Homography &h, int size) noexcept {
    std::uint32_t copies[2] = {0, 0};
    for (int copy = 0; copy < 2; ++copy) {
        for (int bit = 0; bit < 18; ++bit) {
            const Cell m = version_cell(size, copy, bit);
            copies[copy] |= static_cast<std::uint32_t>(dark_at(bits, h.apply({m.col + 0.5, m.row + 0.5}))) << bit;
        }
    }
    const int version = decode_version_word(copies[0]);
    return version != 0 ? version : decode_version_word(copies[1]);
}

// The transform of a symbol of `size` modules whose finder centres are tl, tr, bl and
// whose fourth point `anchor` shows module point `at`.
bool grid_transform(Point tl, Point tr, Point bl, Point anchor, Point at, int size,
                    Homography &out) noexcept {
    const double near = 3.5, far = size - 3.5;
    const Point src[4] = {{near, near}, {far, near}, at, {near, far}};
    const Point dst[4] = {tl, tr, anchor, bl};
    return homography_from_points(src, dst, out);
}

// Versions between the two legs' estimates (a module either side), the nearest to
// their mean first. Perspective makes the legs disagree: a finder's module size is
// read across its narrowest chord. Returns the count.
int candidate_versions(double across, double down, int out[kMaxVersions]) noexcept {
    const double mid = (across + down) / 2.0;
    const double low = std::fmin(across, down) - 1.0, high = std::fmax(across, down) + 1.0;
    int count = 0;
    int centre = static_cast<int>(std::lround(mid));
    for (int step = 0; step <= 2 * kMaxVersions && count < kMaxVersions; ++step) {
        const int v = centre + (step % 2 == 0 ? step / 2 : -(step + 1) / 2);
        if (v < kMinVersion || v > kMaxVersion) continue;
        if (step > 2 && (v < low - 0.5 || v > high + 0.5)) continue;
        out[count++] = v;
    }
    return count;
}

}  // namespace

void Pass::try_triple(const Triple &t) noexcept {
    if (taken(t)) return;
    local_tries_ = 0;
    const Finder &ftl = finders_[t.tl], &ftr = finders_[t.tr], &fbl = finders_[t.bl];
    // Each leg in modules measured along it at its two ends: under perspective the
    // finders are foreshortened one way, and their narrowest reading misjudged a
    // leg by a third (a symbol tilted 40 degrees read as version 28 instead of 22).
    const Point u = ftr.centre - ftl.centre, v = fbl.centre - ftl.centre;
    const double across = distance(ftl.centre, ftr.centre) / leg_module(ftl, ftr, u, t.steep);
    const double down = distance(ftl.centre, fbl.centre) / leg_module(ftl, fbl, v, t.steep);
    const double span = (distance(ftl.centre, ftr.centre) + distance(ftl.centre, fbl.centre)) / 2.0;
    const double estimate = version_estimate((across + down) / 2.0 + 7.0);
    if (!(estimate > kMinVersion - 2.0 && estimate < kMaxVersion + 2.0)) return;
    Anchors anchors;
    // A steep triple's corner lies far from the parallelogram's by its nature.
    anchors.has_corner = estimate_corner(bits_, ftl, ftr, fbl, anchors.corner, t.steep);
    anchors.parallelogram = ftr.centre + fbl.centre - ftl.centre;
    int versions[kMaxVersions];
    int count = candidate_versions(version_estimate(across + 7.0), version_estimate(down + 7.0), versions);
    if (const int stated = stated_version(t, anchors, versions, count); stated != 0) {
        versions[0] = stated;
        count = 1;
    }
    Failure failure;
    failure.error = DecodeError::bad_size;
    fit_start_ = FitStart{};
    s_.local->size = 0;
    for (int i = 0; i < count; ++i) {
        if (versions[i] < kMinVersion || versions[i] > kMaxVersion) continue;
        if (try_version(t, anchors, versions[i], span, failure)) return;
    }
    // Jittered module widths and a page that folds or bends leave every grid so far
    // half a module off in places: a grid fitted to the symbol follows them. Only
    // once every version failed (a wrong version's grid reads the format beside the
    // finders as well as the right one's), from a grid that read its format or came
    // near its timing, a few times a pass.
    if (retry_ && fit_start_.size > 0 && *s_.fits < kMaxFits && affords_fit(fit_start_.size) &&
        (fit_start_.timing >= kMinFitTiming || progress(failure.error) >= progress(DecodeError::version))) {
        const LocalGrid *local = s_.local->size == fit_start_.size ? s_.local : nullptr;
        if (try_fitted(t, fit_start_.grid, local, fit_start_.size, fit_start_.module, failure)) return;
    }
    if (failure.error != DecodeError::bad_size && failures_ < kMaxTriples) {
        failure.finders[0] = t.tl;
        failure.finders[1] = t.tr;
        failure.finders[2] = t.bl;
        failure.inverted = inverted_;
        s_.failures[failures_++] = failure;
    }
}

// From version 7 the symbol states its version; the first candidate grid that
// reads its own version there settles the question. A grid of the wrong size reads
// noise, and noise is within 3 bits of some version word 13% of the time. The
// version blocks sit 5 to 8 modules from the top-right finder, so a grid a few
// versions off still reads them (a version 35 under strong perspective measured as
// 33): a stated version near the candidate is tried too, and settles when its own
// grid reads it back. 0 when nothing settles.
int Pass::stated_version(const Triple &t, const Anchors &anchors, const int *versions, int count) const noexcept {
    for (int i = 0; i < count; ++i) {
        Homography h;
        const int size = size_for_version(versions[i]);
        if (versions[i] < kFirstVersionWithInfo || !first_grid(t, anchors, size, h)) continue;
        const int stated = version_from_info(bits_, h, size);
        if (stated == versions[i]) return stated;
        if (stated < kFirstVersionWithInfo || std::abs(stated - versions[i]) > kMaxStatedShift) continue;
        const int stated_size = size_for_version(stated);
        if (first_grid(t, anchors, stated_size, h) && version_from_info(bits_, h, stated_size) == stated) {
            return stated;
        }
    }
    return 0;
}

// A finder's module size along `direction`, its narrowest reading when that fails.
double Pass::along(const Finder &f, Point direction) const noexcept {
    const double m = module_along(bits_, f, direction);
    return m > 0 ? m : f.module;
}

// Share of the separators (the light modules between each finder and the rest of the
// symbol, 15 beside each) that read light, each finder's read in its own frame: the
// legs' directions at its module size along each.
double Pass::separator_share(const Triple &t) const noexcept {
    // Module offsets from each finder's centre: a row of eight, then a column of seven,
    // as (first x, first y, step along x, step along y).
    static constexpr int kRuns[3][2][4] = {{{-3, 4, 1, 0}, {4, -3, 0, 1}},     // top-left
                                           {{-4, -3, 0, 1}, {-3, 4, 1, 0}},    // top-right
                                           {{4, -4, 0, 1}, {-3, -4, 1, 0}}};   // bottom-left
    const int ids[3] = {t.tl, t.tr, t.bl};
    const Point tl = finders_[t.tl].centre, u = finders_[t.tr].centre - tl, v = finders_[t.bl].centre - tl;
    const double lu = distance(finders_[t.tr].centre, tl), lv = distance(finders_[t.bl].centre, tl);
    if (!(lu > 0 && lv > 0)) return 0.0;
    int light = 0;
    for (int k = 0; k < 3; ++k) {
        const Finder &f = finders_[ids[k]];
        const Point a = u * (along(f, u) / lu), b = v * (along(f, v) / lv);
        for (int run = 0; run < 2; ++run) {
            const int *r = kRuns[k][run];
            for (int i = 0; i < 8 - run; ++i) {
                const Point p = f.centre + a * (r[0] + i * r[2]) + b * (r[1] + i * r[3]);
                light += dark_at(bits_, p) ? 0 : 1;
            }
        }
    }
    return light / 45.0;
}

// The module size along leg `direction` of finders a and b: their mean, or for a steep
// triple the root of their product, which is exact under perspective (see
// find_steep_triples) where the mean read a version 1 seen at 50 degrees as 12 modules
// between finders rather than 14.
double Pass::leg_module(const Finder &a, const Finder &b, Point direction, bool steep) const noexcept {
    const double ma = along(a, direction), mb = along(b, direction);
    return steep ? std::sqrt(ma * mb) : (ma + mb) / 2.0;
}

// The grid from the symbol's corner where it was found, else from the parallelogram.
bool Pass::first_grid(const Triple &t, const Anchors &a, int size, Homography &h) const noexcept {
    const Point tl = finders_[t.tl].centre, tr = finders_[t.tr].centre, bl = finders_[t.bl].centre;
    if (a.has_corner && grid_transform(tl, tr, bl, a.corner, {1.0 * size, 1.0 * size}, size, h)) return true;
    return grid_transform(tl, tr, bl, a.parallelogram, {size - 3.5, size - 3.5}, size, h);
}

// Grids of one version, the likeliest first: anchored on the alignment pattern (found
// near where the first grid puts it), on the symbol's corner, on the parallelogram.
void Pass::version_grids(const Triple &t, const Anchors &a, int version, double module, VersionGrids &g) noexcept {
    const int size = size_for_version(version);
    const Point tl = finders_[t.tl].centre, tr = finders_[t.tr].centre, bl = finders_[t.bl].centre;
    Homography first;
    if (version >= 2 && first_grid(t, a, size, first)) {
        const Point predicted = first.apply({size - 6.5, size - 6.5});
        const double radius = module * (size < 100 ? 4.0 + size / 20.0 : 9.0);
        Point found;
        if (afford_search(radius) && find_alignment(bits_, predicted, module, radius, found)) {
            g.anchor[g.count] = found;
            g.at[g.count] = {size - 6.5, size - 6.5};
            g.aligned = grid_transform(tl, tr, bl, g.anchor[g.count], g.at[g.count], size, g.grid[g.count]);
            g.count += g.aligned ? 1 : 0;
        }
    }
    if (a.has_corner) {
        g.anchor[g.count] = a.corner;
        g.at[g.count] = {1.0 * size, 1.0 * size};
        if (grid_transform(tl, tr, bl, g.anchor[g.count], g.at[g.count], size, g.grid[g.count])) ++g.count;
    }
    g.anchor[g.count] = a.parallelogram;
    g.at[g.count] = {size - 3.5, size - 3.5};
    if (grid_transform(tl, tr, bl, g.anchor[g.count], g.at[g.count], size, g.grid[g.count])) ++g.count;
}

// The grids of one version decoded where their timing holds, then the retries from
// the grid whose timing came closest.
bool Pass::try_version(const Triple &t, const Anchors &a, int version, double span, Failure &failure) noexcept {
    const int size = size_for_version(version);
    const double module = span / (size - 7);
    VersionGrids grids;
    version_grids(t, a, version, module, grids);
    int best = -1;
    double best_timing = kMinLocalTiming;
    for (int g = 0; g < grids.count; ++g) {
        const double timing = timing_through(bits_, grids.grid[g], size);
        if (timing > best_timing) {
            best = g;
            best_timing = timing;
        }
        if (timing < kMinTiming) continue;
        sample_grid(bits_, grids.grid[g], size, module, s_.modules);
        if (try_grid(t, grids.grid[g], size, module, failure)) return true;
    }
    // Without an alignment pattern the fourth point is an estimate, and under
    // perspective it can sit half a module or more off (a version 1 tilted 10
    // degrees: its corner 0.6 module out, five modules wrong near it, too many for
    // its three correctable codewords). A grid that read its format is close: its
    // anchor moved half a module each way, a few times a pass.
    if (retry_ && !grids.aligned && best >= 0 && best_timing >= kMinTiming && jitters_ < kMaxJitter &&
        progress(failure.error) >= progress(DecodeError::too_many_errors)) {
        ++jitters_;
        if (try_nudged(t, grids.anchor[best], grids.at[best], grids.grid[best], size, module, failure)) return true;
    }
    // A symbol at a pixel or so a module has no room for the half pixel by which the
    // finders' centres and the alignment pattern are placed (a version 12 at 1.25
    // pixels a module: 232 modules wrong through its best grid, none through its
    // edges). A grid that read its format is fitted to every module edge, a few
    // times a pass.
    if (retry_ && best >= 0 && best_timing >= kMinTiming && edge_fits_ < kMaxEdgeFits &&
        progress(failure.error) >= progress(DecodeError::too_many_errors)) {
        ++edge_fits_;
        if (try_edge_fitted(t, grids.grid[best], size, module, failure)) return true;
    }
    // A bent or large symbol drifts off any single transform between its alignment
    // patterns (a version 36 wrapped round a cylinder: timing 0.5 on every global
    // grid); through all of them it is followed. From the grid whose timing came
    // closest, at most kMaxLocal times a triple.
    if (best >= 0 && best_timing > fit_start_.timing) fit_start_ = {grids.grid[best], size, module, best_timing};
    if (retry_ && best >= 0 && alignment_count(version) > 2 && local_tries_ < kMaxLocal &&
        local_grids_ < kMaxLocalPerPass) {
        s_.local->size = 0;  // a local grid of another version no longer stands
        return try_local(t, grids.grid[best], version, module, failure);
    }
    return false;
}

// The symbol read through the transform fitted to its module edges from h, which also
// starts the fitted grid when its timing comes closest (printed 20% scan 62.5 to
// 75%: the start the best rough grid gave left the fit in the wrong module). Its
// retries with erasures are its own, bounded by kMaxEdgeFits: counted with the
// pass's, they left none to the fitted grid that follows (a version 2 round a
// cylinder read so).
bool Pass::try_edge_fitted(const Triple &t, const Homography &h, int size, double module,
                           Failure &failure) noexcept {
    Homography fitted;
    if (!fit_to_edges(bits_, h, size, module, s_.modules, fitted)) return false;
    sample_grid(bits_, fitted, size, module, s_.modules);
    const double timing = timing_of(s_.modules, size);
    if (timing > fit_start_.timing) fit_start_ = {fitted, size, module, timing};
    if (timing < kMinTiming) return false;
    const int soft_tries = soft_tries_;
    soft_tries_ = 0;
    const bool read = try_grid(t, fitted, size, module, failure);
    soft_tries_ = soft_tries;
    return read;
}

// The symbol read through a grid fitted to it, from the grid that came closest (the
// local grid when it sampled the symbol).
bool Pass::try_fitted(const Triple &t, const Homography &h, const LocalGrid *local, int size, double module,
                      Failure &failure) noexcept {
    ++*s_.fits;
    if (!fit_grid(bits_, h, local, size, *s_.fitted)) return false;
    sample_fitted(bits_, *s_.fitted, module, s_.modules);
    return timing_of(s_.modules, size) >= kMinTiming && try_grid(t, h, size, module, failure, nullptr, s_.fitted);
}

// The symbol sampled through its located alignment patterns, from the global grid
// whose timing came closest; decoded only when the timing patterns hold on it.
bool Pass::try_local(const Triple &t, const Homography &global, int version, double module,
                     Failure &failure) noexcept {
    // A stray triple on a busy page can find half its alignment patterns: the searches
    // and timing of such triples were 7% of a 24 MP text page's read (its light
    // triples), 13% of a 1 MP 50% noise page's and 5% of the camera scenes'. Their
    // separators read light as chance has them (0.1 to 0.2 on the text, 0.3 to 0.6 on
    // the noise), a symbol's all of them, bent round a cylinder too; the accuracy
    // tables of both modes stay as they were. Not charged to the budgets.
    if (separator_share(t) < kMinSeparator) return false;
    ++local_tries_;
    ++local_grids_;
    const int size = size_for_version(version);
    const Point finders[3] = {finders_[t.tl].centre, finders_[t.tr].centre, finders_[t.bl].centre};
    // Half the alignment patterns or more must be there: a triple of stray
    // finder-like patterns has none, and skips the sampling.
    const int lines = alignment_count(version);
    const int needed = (lines * lines - 2) / 2;
    if (local_grid(bits_, global, finders, version, module, needed, *s_.local) < needed) return false;
    // The timing modules first, read as the whole sampling reads them: stray triples on
    // a busy page pass the anchors' test and fail the timing (a 24 MP text page had
    // three, whose full sampling was a fifth of its read).
    if (!shift_local(bits_, *s_.local, size)) return false;
    const LocalGrid &local = *s_.local;
    if (timing_share(size, [&](int c, int r) noexcept { return local_module(bits_, local, c, r, module) == 1; }) <
        kMinTiming) {
        return false;
    }
    sample_shifted(bits_, local, module, s_.modules);
    return try_grid(t, global, size, module, failure, s_.local);
}

// The grid with its fourth point `anchor` (module point `at`) moved half a module
// to each of its eight neighbours, decoded where the timing holds.
bool Pass::try_nudged(const Triple &t, Point anchor, Point at, const Homography &h, int size, double module,
                      Failure &failure) noexcept {
    const Point base = h.apply(at);
    const Point ex = h.apply({at.x + 0.5, at.y}) - base, ey = h.apply({at.x, at.y + 0.5}) - base;
    const Point tl = finders_[t.tl].centre, tr = finders_[t.tr].centre, bl = finders_[t.bl].centre;
    for (int dy = -1; dy <= 1; ++dy) {
        for (int dx = -1; dx <= 1; ++dx) {
            if (dx == 0 && dy == 0) continue;
            Homography nudged;
            if (!grid_transform(tl, tr, bl, anchor + ex * dx + ey * dy, at, size, nudged)) continue;
            if (timing_through(bits_, nudged, size) < kMinTiming) continue;
            sample_grid(bits_, nudged, size, module, s_.modules);
            if (try_grid(t, nudged, size, module, failure)) return true;
        }
    }
    return false;
}

// Whether the pass can still afford an alignment search of `radius`, charged to its
// budget when it can. A search's window grows with the module, and a page of large
// finder-like patterns offered hundreds of triples of 60-pixel modules: their
// searches, a megapixel each, were four fifths of a 9 MP read (1 s). The budget is a
// few passes over the image; a real page spends a small part of it.
bool Pass::afford_search(double radius) noexcept {
    const double side = 2.0 * radius;
    const double area = side * side;
    if (!(area <= static_cast<double>(search_budget_))) return false;
    search_budget_ -= static_cast<std::int64_t>(area);
    return true;
}

// Whether a fitted grid of a symbol `size` modules wide is within the pass's cost for
// its image (kMaxFitSamplesPerPixel).
bool Pass::affords_fit(int size) const noexcept {
    const double samples = kFitSamplesPerModule * size * size;
    return samples <= kMaxFitSamplesPerPixel * static_cast<double>(bits_.width) * bits_.height;
}

}  // namespace halvern::engine
