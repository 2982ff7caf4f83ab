// The whole read on a bits image (0 light, 1 dark) of drawn size, scale and stride.
//
// Input: flags (invert pass, failures kept), the scale (1-4 pixels a cell), the
// canvas width in cells (two bytes), the row padding, then the cells one bit each,
// most significant first. Besides the records' own checks, the read must not depend
// on the row padding or the filler past each row, and the same picture drawn in two
// gray levels must read the same.

#include "../fuzz.hpp"

namespace {

using namespace fuzz;

bool bit(const std::uint8_t *cells, std::size_t n, std::int64_t i) noexcept {
    return static_cast<std::size_t>(i / 8) < n && ((cells[i / 8] >> (7 - i % 8)) & 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    Input in(data, size);
    const ReadOptions options = read_options(in.byte(), false);
    const int scale = 1 + in.byte() % 4;
    const int cw = 1 + in.u16() % kMaxSide;
    const int pad = in.byte();
    const std::uint8_t *cells = in.rest();
    const std::size_t n = in.left();
    const std::int64_t count = static_cast<std::int64_t>(n) * 8;
    const Picture strided = canvas_picture(cw, count, scale, pad, 0xA5, [&](std::int64_t i) -> std::uint8_t {
        return bit(cells, n, i);
    });
    const Read first = read_checked(strided, options);
    if (pad > 0) check_same_reads(first, read_checked(packed(strided), options));
    // The gray twin: dark 30, light 220, read by the automatic binarizer as the bilevel
    // image it is. A one-level picture is ambiguous (all dark or all light) and skipped.
    Picture twin = packed(strided);
    bool levels[2] = {false, false};
    for (std::uint8_t &v : twin.pixels) {
        levels[v] = true;
        v = v ? 30 : 220;
    }
    if (levels[0] && levels[1]) check_same_reads(first, read_checked(twin, options));
    return 0;
}
