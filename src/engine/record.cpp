// What a record reports beyond its decode: the restored modules, the level and mask,
// the finder score. The read fills them after it has settled on its records, so that
// the caller builds its results from the record alone and never calls back into the
// decoder's stages (a read of a small code used to restore, read the format again and
// score the finders through three more calls from Python).

#include <cstring>

#include "decode_stages.hpp"
#include "stages.hpp"

namespace halvern::engine {

namespace {

// Modules of the three 7 x 7 finder windows where `sampled` (nonzero dark) agrees with
// `restored`, whose finders are ideal: 147 on a perfect sampling.
int finder_matches(const std::uint8_t *sampled, const std::uint8_t *restored, int size) noexcept {
    const int origins[3][2] = {{0, 0}, {size - 7, 0}, {0, size - 7}};
    int matches = 0;
    for (const auto &origin : origins) {
        for (int r = 0; r < 7; ++r) {
            const int start = (origin[1] + r) * size + origin[0];
            for (int c = 0; c < 7; ++c) matches += (sampled[start + c] != 0) == (restored[start + c] != 0);
        }
    }
    return matches;
}

constexpr double kFinderModules = 3 * 7 * 7;

// A QR record: restorable when its format information reads and its version
// information matches, as the restore entry point demands.
void complete_qr(SymbolRecord &rec) noexcept {
    const int size = rec.size;
    if (version_for_size(size) == 0) return;
    const FormatReading format = read_format(rec.modules, size);
    if (format.data < 0 || version_errors(rec.modules, size) < 0) return;
    restore_matrix(rec.modules, size, format.data, rec.restored);
    rec.restorable = true;
    rec.finder_score = finder_matches(rec.modules, rec.restored, size) / kFinderModules;
    if (rec.decoded.error == DecodeError::none) return;
    rec.level = format_level(format.data);
    rec.mask = format_mask(format.data);
}

}  // namespace

void complete_record(SymbolRecord &rec) noexcept {
    const bool decoded = rec.decoded.error == DecodeError::none;
    rec.restorable = false;
    rec.level = decoded ? rec.decoded.level : 0;
    rec.mask = decoded ? rec.decoded.mask : 0;
    rec.finder_score = 0;
    if (rec.decoded.symbology == Symbology::qr) {
        complete_qr(rec);
    } else if (decoded) {
        // Micro QR and rMQR: the modules as sampled, given only when decoded.
        std::memcpy(rec.restored, rec.modules, static_cast<std::size_t>(rec.decoded.rows) * rec.decoded.columns);
        rec.restorable = true;
        rec.finder_score = 1.0;
    }
}

}  // namespace halvern::engine
