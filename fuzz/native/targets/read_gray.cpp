// The whole read on a gray image of drawn size, scale, stride and binarizer.
//
// Input: flags (invert pass, failures kept, binarizer), the scale (1-4 pixels a cell),
// the canvas width in cells (two bytes), the row padding, the filler byte past each
// row, then one gray level a cell. Besides the records' own checks, the read must not
// depend on the row padding or what lies in it.

#include "../fuzz.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    using namespace fuzz;
    Input in(data, size);
    const ReadOptions options = read_options(in.byte(), true);
    const int scale = 1 + in.byte() % 4;
    const int cw = 1 + in.u16() % kMaxSide;
    const int pad = in.byte();
    const std::uint8_t filler = in.byte();
    const std::uint8_t *cells = in.rest();
    const std::size_t n = in.left();
    const Picture strided = canvas_picture(cw, static_cast<std::int64_t>(n), scale, pad, filler,
                                           [&](std::int64_t i) -> std::uint8_t {
                                               return static_cast<std::size_t>(i) < n ? cells[i] : 0;
                                           });
    const Read first = read_checked(strided, options);
    if (pad > 0) check_same_reads(first, read_checked(packed(strided), options));
    return 0;
}
