// The decoder on matrices of every symbology the engine decodes.
//
// Input: the symbology (one byte), its size index (one byte), then the modules one
// bit each, row by row, most significant first (modules past the input are light).
// A decode must be well formed, the same when repeated, and for a symbology whose
// function modules can be redrawn, the same from the matrix with them redrawn ideal:
// only the format and the data modules carry the content.

#include "../fuzz.hpp"

namespace {

using namespace fuzz;

struct Shape {
    int width = 0, height = 0;
};

// One decodable symbology: its name, the matrix shape of a size index, its decoder
// (returning the version it must report, or 0 when the shape is none of its sizes),
// and the function-module redraw, where it has one.
struct Family {
    const char *name;
    Shape (*shape)(std::uint8_t index);
    int (*decode)(const std::uint8_t *modules, Shape shape, DecodedSymbol &out);
    void (*redraw)(const std::uint8_t *modules, Shape shape, std::uint8_t *out);
};

Shape qr_shape(std::uint8_t index) noexcept {
    const int side = 21 + 4 * (index % 40);
    return {side, side};
}

int qr_decode(const std::uint8_t *modules, Shape shape, DecodedSymbol &out) noexcept {
    decode_symbol(modules, shape.width, out);
    return version_for_size(shape.width);
}

void qr_redraw(const std::uint8_t *modules, Shape shape, std::uint8_t *out) noexcept {
    const FormatReading format = read_format(modules, shape.width);
    restore_matrix(modules, shape.width, format.data, out);
}

Shape micro_shape(std::uint8_t index) noexcept {
    const int side = 11 + 2 * (index % 4);
    return {side, side};
}

int micro_decode(const std::uint8_t *modules, Shape shape, DecodedSymbol &out) noexcept {
    decode_micro(modules, shape.width, out);
    return (shape.width - 9) / 2;
}

Shape rmqr_shape(std::uint8_t index) noexcept {
    const RmqrVersion &v = kRmqr[index % kRmqrVersions];
    return {v.columns, v.rows};
}

int rmqr_decode(const std::uint8_t *modules, Shape shape, DecodedSymbol &out) noexcept {
    decode_rmqr(modules, shape.height, shape.width, out);
    return 0;
}

// Adding a symbology is one line here.
constexpr Family kFamilies[] = {
    {"QR", qr_shape, qr_decode, qr_redraw},
    {"Micro QR", micro_shape, micro_decode, nullptr},
    {"rMQR", rmqr_shape, rmqr_decode, nullptr},
};
constexpr int kFamilyCount = sizeof(kFamilies) / sizeof(kFamilies[0]);

DecodedSymbol first, again;
std::uint8_t modules[kMaxModules], redrawn[kMaxModules];

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    Input in(data, size);
    const Family &family = kFamilies[in.byte() % kFamilyCount];
    const Shape shape = family.shape(in.byte());
    const std::size_t count = static_cast<std::size_t>(shape.width) * shape.height;
    FUZZ_CHECK(count <= sizeof(modules));
    const std::uint8_t *bits = in.rest();
    for (std::size_t i = 0; i < count; ++i) {
        modules[i] = i / 8 < in.left() ? (bits[i / 8] >> (7 - i % 8)) & 1 : 0;
    }
    const int version = family.decode(modules, shape, first);
    check_decoded(first, version);
    family.decode(modules, shape, again);
    FUZZ_CHECK(same_content(first, again));
    if (first.error == DecodeError::none && family.redraw != nullptr) {
        family.redraw(modules, shape, redrawn);
        family.decode(redrawn, shape, again);
        FUZZ_CHECK(same_content(first, again));
    }
    return 0;
}
