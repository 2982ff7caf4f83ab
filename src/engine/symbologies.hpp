// The QR code's relatives that the reader also reads: Micro QR (one finder, micro.cpp)
// and rMQR (a finder and a sub-finder, rmqr.cpp), both found from a finder of the
// finder scan that no QR symbol took, through the square of that lone finder
// (lone_finder.cpp).
#pragma once

#include <cstdint>

#include "decode.hpp"
#include "image.hpp"
#include "stages.hpp"

namespace halvern::engine {

// ---------------------------------------------------------------------------------
// lone_finder.cpp

// The outer square of a finder that has no partners: its four corners in the image, in
// the order of increasing angle around the centre (clockwise on screen). False when
// its edges do not close into a plausible quadrilateral.
bool finder_square(const ImageView &bits, const Finder &finder, Point corners[4]) noexcept;

// One of the eight ways to lay a finder's module square (0,0)-(7,7) on its corners:
// module corner (0,0) on corners[first], (7,0) on the next one in `turn` (1, or -1 for
// a mirrored symbol).
struct FinderFrame {
    Homography module_to_image;
    bool mirrored = false;
};
bool finder_frame(const Point corners[4], int first, int turn, FinderFrame &out) noexcept;

// The transform that best sends src[i] to dst[i] over `count` >= 4 pairs (least
// squares of the linearised equations), with `affine` the best affine one; false when
// the points do not fix one.
bool fit_homography(const Point *src, const Point *dst, int count, Homography &out, bool affine = false) noexcept;

// The grids through `count` point pairs worth sampling, best first: with and without
// perspective (points along a symbol's edges alone fit perspective to their noise: on
// a flat Micro QR symbol it bent the far corner by a module). Returns how many (0 to 2)
// were written to grids.
int fitted_grids(const Point *src, const Point *dst, int count, Homography grids[2]) noexcept;

// The finder's four outer corners in module space (src) and through h (dst), the first
// points of a fit; returns 4.
int finder_corner_points(const Homography &h, Point *src, Point *dst) noexcept;

// A measured point of a dark module at module point `centre` whose side towards
// `outward` (a unit axis of module space) borders light, as h predicts it: the middle
// of its dark run across that direction and its edge that way. module_point is the
// middle of that side in module space, image_point where it was found. False when the
// module is not dark there or its run does not end within a module.
bool edge_point(const ImageView &bits, const Homography &h, Point centre, Point outward, double module,
                Point &module_point, Point &image_point) noexcept;

// A frame and how well the fixed modules beside the finder hold in it (misses), with
// the format information read there (-1 when none is within reach) and its errors.
struct LoneFrame {
    FinderFrame frame;
    int misses = 0;
    int format = -1;
    int format_errors = 0;
};

// The frames of a finder's square that `check(frame)` (filling misses and format)
// lets through, at most `max_misses` misses and a format read, best first (fewest
// misses plus format errors). Returns the count.
template <typename Check>
int lone_frames(const Point corners[4], int max_misses, Check &&check, LoneFrame out[8]) noexcept {
    int count = 0;
    for (int first = 0; first < 4; ++first) {
        for (int turn = -1; turn <= 1; turn += 2) {
            LoneFrame f;
            if (!finder_frame(corners, first, turn, f.frame)) continue;
            check(f);
            if (f.misses <= max_misses && f.format >= 0) out[count++] = f;
        }
    }
    for (int i = 1; i < count; ++i) {
        for (int j = i; j > 0 && out[j - 1].misses + out[j - 1].format_errors > out[j].misses + out[j].format_errors;
             --j) {
            const LoneFrame t = out[j - 1];
            out[j - 1] = out[j];
            out[j] = t;
        }
    }
    return count;
}

// The first of `count` grids, best first, through which `decodes(h)` samples a symbol
// and decodes it, tried only where timing(h) (the share of its timing modules that
// alternate) reaches `min_timing`; its index, or -1.
template <typename Timing, typename Decodes>
int first_decoded(const Homography *grids, int count, double min_timing, Timing &&timing,
                  Decodes &&decodes) noexcept {
    for (int g = 0; g < count; ++g) {
        if (timing(grids[g]) >= min_timing && decodes(grids[g])) return g;
    }
    return -1;
}

// A symbol read from a lone finder: where it lies (module space as the symbol reads,
// `width` columns by `height` rows) and how.
struct LoneRead {
    Homography module_to_image;
    int width = 0;
    int height = 0;
    bool mirrored = false;
    Symbology symbology = Symbology::micro_qr;
};

// ---------------------------------------------------------------------------------
// micro.cpp

// Decodes a sampled Micro QR symbol (size 11, 13, 15 or 17; nonzero dark, as the
// symbol reads). Fills `out` and returns out.error.
DecodeError decode_micro(const std::uint8_t *modules, int size, DecodedSymbol &out) noexcept;

// The Micro QR symbol whose finder is `finder` (its square `corners`, from
// finder_square), if its timing patterns and format information hold and it decodes:
// true with `decoded`, `modules` (size * size) and `where` filled.
bool read_micro(const ImageView &bits, const Finder &finder, const Point corners[4], DecodedSymbol &decoded,
                std::uint8_t *modules, LoneRead &where) noexcept;

// ---------------------------------------------------------------------------------
// rmqr.cpp

// Decodes a sampled rMQR symbol of one of the 32 sizes (nonzero dark, rows * columns
// bytes as the symbol reads). Fills `out` and returns out.error.
DecodeError decode_rmqr(const std::uint8_t *modules, int rows, int columns, DecodedSymbol &out) noexcept;

// As read_micro, for the rMQR symbol whose finder is `finder`: `modules` gets rows *
// columns bytes.
bool read_rmqr(const ImageView &bits, const Finder &finder, const Point corners[4], DecodedSymbol &decoded,
               std::uint8_t *modules, LoneRead &where) noexcept;

}  // namespace halvern::engine
