// Small value types shared by the reader's stages: an image view, points, quads,
// boxes and the plane transforms between module space and image space.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace halvern::engine {

// Bytes of a word holding 0x01 each, and 0x80 each.
template <typename Word>
constexpr Word kEachByte = static_cast<Word>(~Word{0}) / 255;
template <typename Word>
constexpr Word kTopBits = kEachByte<Word> * 0x80;

// Each byte's top bit set when the byte of v is nonzero, the other bits clear: no
// carry crosses a byte, so the same in either byte order. Pixels eight (or four) at
// a time.
template <typename Word>
constexpr Word nonzero_bytes(Word v) noexcept {
    constexpr Word low7 = kEachByte<Word> * 0x7F;
    return (((v & low7) + low7) | v) & kTopBits<Word>;
}

// A read-only view of 8-bit pixels: row y starts at data + y * stride. The stride may
// exceed the width (a NumPy slice); it is never negative. The binding checks that
// (height - 1) * stride + width bytes lie inside the caller's buffer.
struct ImageView {
    const std::uint8_t *data = nullptr;
    int width = 0;
    int height = 0;
    std::ptrdiff_t stride = 0;

    const std::uint8_t *row(int y) const noexcept { return data + static_cast<std::ptrdiff_t>(y) * stride; }
    std::uint8_t at(int x, int y) const noexcept { return row(y)[x]; }
    bool contains(int x, int y) const noexcept { return x >= 0 && y >= 0 && x < width && y < height; }
};

struct Point {
    double x = 0.0;
    double y = 0.0;
};

inline Point operator+(Point a, Point b) noexcept { return {a.x + b.x, a.y + b.y}; }
inline Point operator-(Point a, Point b) noexcept { return {a.x - b.x, a.y - b.y}; }
inline Point operator*(Point a, double s) noexcept { return {a.x * s, a.y * s}; }
inline double dot(Point a, Point b) noexcept { return a.x * b.x + a.y * b.y; }
inline double cross(Point a, Point b) noexcept { return a.x * b.y - a.y * b.x; }

// Four corners of a symbol in image pixels: top-left, top-right, bottom-right,
// bottom-left, as the symbol reads (not as the image shows it).
struct Quad {
    Point corner[4];
};

// Pixel box, right and bottom exclusive.
struct Box {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
};

// Whether the bits pixel under p is dark (nonzero); outside the image (NaN included)
// is light.
inline bool dark_at(const ImageView &bits, Point p) noexcept {
    if (!(p.x >= 0 && p.y >= 0 && p.x < bits.width && p.y < bits.height)) return false;
    return bits.at(static_cast<int>(p.x), static_cast<int>(p.y)) != 0;
}

// A plane projective transform, row-major 3x3 acting on (x, y, 1). Named for its
// direction where it is held (module_to_image maps symbol coordinates, module (c, r)
// spanning c..c+1, r..r+1, to continuous pixel coordinates).
struct Homography {
    double m[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};

    // The image of p; a point on or behind the horizon (w <= 0) maps to NaN.
    Point apply(Point p) const noexcept {
        const double w = m[6] * p.x + m[7] * p.y + m[8];
        if (!(w > 1e-12)) return {NAN, NAN};
        return {(m[0] * p.x + m[1] * p.y + m[2]) / w, (m[3] * p.x + m[4] * p.y + m[5]) / w};
    }
};

}  // namespace halvern::engine
