// Reed-Solomon decoding over GF(256): syndromes, Berlekamp-Massey, Chien search and
// Forney. A block is data codewords followed by EC codewords, read as a polynomial
// whose first codeword is the highest coefficient; the generator's roots are
// alpha^0 .. alpha^(ec-1).

#include <array>
#include <cstdint>
#include <utility>

#include "decode_stages.hpp"
#include "tables.hpp"

namespace halvern::engine {

namespace {

// The most errors any limit lets through: ec / 2 with ec <= 30.
constexpr int kMaxErrors = kMaxEcPerBlock / 2;
// Locator coefficients kept during Berlekamp-Massey: degrees up to 2 * ec.
constexpr int kLocatorCapacity = 2 * kMaxEcPerBlock + 2;

// times_inverse[i][x] = x * alpha^-i for i <= kMaxErrors: one lookup per term and
// position in the Chien search.
using InverseProducts = std::array<std::array<std::uint8_t, 256>, kMaxErrors + 1>;

constexpr InverseProducts make_inverse_products() noexcept {
    InverseProducts t{};
    for (int x = 0; x < 256; ++x) t[0][x] = static_cast<std::uint8_t>(x);
    for (int i = 1; i <= kMaxErrors; ++i)
        for (int x = 0; x < 256; ++x) t[i][x] = over_alpha(t[i - 1][x]);
    return t;
}

constexpr InverseProducts kTimesInverse = make_inverse_products();

// ---------------------------------------------------------------------------------
// Parity by division: the EC codewords an encoder would append to the data, with the
// division register as four 64-bit words (byte i, the coefficient of x^(ec-1-i), in
// word i / 8, highest byte first). One lookup and a few word operations per data
// codeword instead of ec lookups per codeword for the syndromes: the clean blocks of
// a version 40-H symbol took 150 us by syndromes on a 2-CPU x86-64 machine.

using Register = std::array<std::uint64_t, 4>;

// rows[f] = f times the generator's coefficients below the leading one, as a Register.
struct ParityTable {
    std::array<Register, 256> rows{};
};

constexpr ParityTable make_parity_table(int ec) noexcept {
    // The generator prod (x - alpha^j), j < ec, highest coefficient first.
    std::array<std::uint8_t, kMaxEcPerBlock + 1> g{};
    g[0] = 1;
    for (int j = 0; j < ec; ++j) {
        for (int i = j + 1; i >= 1; --i) g[i] ^= gf_mul(g[i - 1], kField.exp[j]);
    }
    ParityTable t{};
    // The rows are linear in f: the eight single bits first, the rest by XOR.
    for (int bit = 0; bit < 8; ++bit) {
        Register r{};
        for (int i = 0; i < ec; ++i)
            r[i / 8] |= static_cast<std::uint64_t>(gf_mul(static_cast<std::uint8_t>(1 << bit), g[i + 1]))
                        << (56 - 8 * (i % 8));
        t.rows[1 << bit] = r;
    }
    for (int f = 1; f < 256; ++f) {
        const int low = f & -f;
        if (low == f) continue;
        for (int w = 0; w < 4; ++w) t.rows[f][w] = t.rows[f ^ low][w] ^ t.rows[low][w];
    }
    return t;
}

template <int Ec>
constexpr ParityTable kParity = make_parity_table(Ec);

// The tables of the EC counts QR blocks use, by EC count; null for the others.
template <int... Ec>
constexpr std::array<const ParityTable *, kMaxEcPerBlock + 1> parity_tables(
    std::integer_sequence<int, Ec...>) noexcept {
    std::array<const ParityTable *, kMaxEcPerBlock + 1> t{};
    ((t[Ec] = &kParity<Ec>), ...);
    return t;
}
constexpr auto kParityTables =
    parity_tables(std::integer_sequence<int, 7, 10, 13, 15, 16, 17, 18, 20, 22, 24, 26, 28, 30>{});

// The block's remainder modulo the generator (received EC codewords XOR the parity of
// the data), ec bytes highest degree first; returns true when it is zero.
bool remainder_by_table(const ParityTable &table, const std::uint8_t *block, int length, int ec,
                        std::uint8_t *remainder) noexcept {
    Register r{};
    for (int k = 0; k < length - ec; ++k) {
        const Register &row = table.rows[static_cast<std::uint8_t>(r[0] >> 56) ^ block[k]];
        r[0] = ((r[0] << 8) | (r[1] >> 56)) ^ row[0];
        r[1] = ((r[1] << 8) | (r[2] >> 56)) ^ row[1];
        r[2] = ((r[2] << 8) | (r[3] >> 56)) ^ row[2];
        r[3] = (r[3] << 8) ^ row[3];
    }
    std::uint8_t any = 0;
    for (int i = 0; i < ec; ++i) {
        remainder[i] = static_cast<std::uint8_t>(r[i / 8] >> (56 - 8 * (i % 8))) ^ block[length - ec + i];
        any |= remainder[i];
    }
    return any == 0;
}

std::uint8_t gf_div(std::uint8_t a, std::uint8_t b) noexcept {
    if (a == 0) return 0;
    return kField.exp[kField.log[a] + 255 - kField.log[b]];
}

// Writes the ec syndromes of block[0, length); returns true when all are zero. Four
// syndromes at a time by Horner's rule, each in a local: with the syndromes in memory
// every step reloaded them (a uint8_t store may alias), twice the instructions.
bool syndromes(const std::uint8_t *block, int length, int ec, std::uint8_t *s) noexcept {
    std::uint8_t any = 0;
    for (int j = 0; j < ec; j += 4) {
        const std::uint8_t *t0 = kTimesAlpha[j].data();
        const std::uint8_t *t1 = kTimesAlpha[j + 1 < ec ? j + 1 : j].data();
        const std::uint8_t *t2 = kTimesAlpha[j + 2 < ec ? j + 2 : j].data();
        const std::uint8_t *t3 = kTimesAlpha[j + 3 < ec ? j + 3 : j].data();
        std::uint8_t a0 = 0, a1 = 0, a2 = 0, a3 = 0;
        for (int k = 0; k < length; ++k) {
            const std::uint8_t c = block[k];
            a0 = t0[a0] ^ c;
            a1 = t1[a1] ^ c;
            a2 = t2[a2] ^ c;
            a3 = t3[a3] ^ c;
        }
        const std::uint8_t values[4] = {a0, a1, a2, a3};
        for (int i = 0; i < 4 && j + i < ec; ++i) {
            s[j + i] = values[i];
            any |= values[i];
        }
    }
    return any == 0;
}

// Berlekamp-Massey: the shortest recurrence generating the syndromes. Writes the
// locator (lowest coefficient first, locator[0] = 1) and returns its length L.
int error_locator(const std::uint8_t *s, int ec, std::uint8_t *locator) noexcept {
    std::uint8_t previous[kLocatorCapacity] = {1};
    int previous_degree = 0;  // no coefficient of previous above it is nonzero
    for (int i = 0; i < kLocatorCapacity; ++i) locator[i] = 0;
    locator[0] = 1;
    int degree = 0;  // likewise for locator
    int length = 0;
    int gap = 1;
    std::uint8_t last = 1;
    for (int k = 0; k < ec; ++k) {
        std::uint8_t d = s[k];
        for (int i = 1; i <= length; ++i) d ^= gf_mul(locator[i], s[k - i]);
        if (d == 0) {
            ++gap;
            continue;
        }
        const std::uint8_t scale = gf_div(d, last);
        const bool grows = 2 * length <= k;
        std::uint8_t saved[kLocatorCapacity];
        const int saved_degree = degree;
        if (grows)
            for (int i = 0; i <= degree; ++i) saved[i] = locator[i];
        // locator -= scale * x^gap * previous, within the capacity (terms beyond it
        // belong to locators far past any correction limit).
        const int top = previous_degree + gap < kLocatorCapacity ? previous_degree : kLocatorCapacity - 1 - gap;
        for (int i = 0; i <= top; ++i) locator[i + gap] ^= gf_mul(scale, previous[i]);
        if (top + gap > degree) degree = top + gap;
        if (grows) {
            length = k + 1 - length;
            for (int i = 0; i <= saved_degree; ++i) previous[i] = saved[i];
            for (int i = saved_degree + 1; i <= previous_degree; ++i) previous[i] = 0;
            previous_degree = saved_degree;
            last = d;
            gap = 1;
        } else {
            ++gap;
        }
    }
    return length;
}

// Chien search: the degrees p < length with locator(alpha^-p) = 0, at most `count`
// of them written to degrees; returns how many were found.
int error_degrees(const std::uint8_t *locator, int count, int length, int *degrees) noexcept {
    std::uint8_t term[kMaxErrors + 1];
    for (int i = 0; i <= count; ++i) term[i] = locator[i];
    int found = 0;
    for (int p = 0; p < length; ++p) {
        std::uint8_t sum = term[0];
        for (int i = 1; i <= count; ++i) sum ^= term[i];
        if (sum == 0) {
            degrees[found++] = p;
            // A polynomial of degree count has no more roots.
            if (found == count) return found;
        }
        for (int i = 1; i <= count; ++i) term[i] = kTimesInverse[i][term[i]];
    }
    return found;
}

// Evaluates sum poly[i] * x^i for i < n at x = alpha^x_log.
std::uint8_t evaluate(const std::uint8_t *poly, int n, int x_log) noexcept {
    std::uint8_t value = 0;
    for (int i = 0; i < n; ++i)
        if (poly[i]) value ^= kField.exp[(kField.log[poly[i]] + x_log * i) % 255];
    return value;
}

// True when block[0, length) is a codeword; s then holds its (zero) syndromes,
// otherwise its nonzero syndromes.
bool is_codeword(const std::uint8_t *block, int length, int ec, std::uint8_t *s) noexcept {
    const ParityTable *table = kParityTables[ec];
    if (table == nullptr) return syndromes(block, length, ec, s);
    std::uint8_t remainder[kMaxEcPerBlock];
    if (remainder_by_table(*table, block, length, ec, remainder)) return true;
    // The block and its remainder agree at every root of the generator.
    return syndromes(remainder, ec, ec, s);
}

// Writes the erasure locator prod (1 - X x) over the erased positions (X = alpha^p
// for the codeword of degree p), lowest coefficient first, and their degrees; false
// when a position lies outside the block or repeats.
bool erasure_locator(const int *erasures, int f, int length, std::uint8_t *gamma, int *degrees) noexcept {
    std::uint64_t seen[4] = {};
    for (int i = 0; i <= f; ++i) gamma[i] = i == 0 ? 1 : 0;
    for (int k = 0; k < f; ++k) {
        const int index = erasures[k];
        if (index < 0 || index >= length) return false;
        const std::uint64_t bit = std::uint64_t{1} << (index % 64);
        if (seen[index / 64] & bit) return false;
        seen[index / 64] |= bit;
        degrees[k] = length - 1 - index;
        const std::uint8_t x = kField.exp[degrees[k]];
        for (int j = k + 1; j >= 1; --j) gamma[j] ^= gf_mul(gamma[j - 1], x);
    }
    return true;
}

// The syndromes of the errors alone (Forney's): the coefficients f .. ec-1 of
// gamma * s, from which every erased position's contribution has cancelled.
void erasure_free_syndromes(const std::uint8_t *s, int ec, const std::uint8_t *gamma, int f,
                            std::uint8_t *out) noexcept {
    for (int j = 0; j < ec - f; ++j) {
        std::uint8_t v = 0;
        for (int m = 0; m <= f; ++m) v ^= gf_mul(gamma[m], s[j + f - m]);
        out[j] = v;
    }
}

// Forney over every errata degree (the first `errors` are errors, which must change
// their codeword; erased ones may be right as read): writes the values to XOR in.
// psi is the errata locator, degree `count`, lowest coefficient first.
bool errata_values(const std::uint8_t *s, const std::uint8_t *psi, int count, const int *degrees, int errors,
                   std::uint8_t *values) noexcept {
    // e = X * omega(1/X) / psi'(1/X) with omega = s * psi mod x^count (the higher
    // coefficients vanish for a locator that fits the syndromes).
    std::uint8_t omega[kMaxEcPerBlock] = {};
    for (int k = 0; k < count; ++k)
        for (int j = 0; j <= k; ++j) omega[k] ^= gf_mul(psi[j], s[k - j]);
    std::uint8_t derivative[kMaxEcPerBlock] = {};
    for (int i = 1; i <= count; i += 2) derivative[i - 1] = psi[i];
    for (int e = 0; e < count; ++e) {
        const int x_inverse_log = (255 - degrees[e]) % 255;
        const std::uint8_t numerator = evaluate(omega, count, x_inverse_log);
        const std::uint8_t denominator = evaluate(derivative, count, x_inverse_log);
        if (denominator == 0 || (numerator == 0 && e < errors)) return false;
        values[e] = gf_mul(kField.exp[degrees[e] % 255], gf_div(numerator, denominator));
    }
    return true;
}

}  // namespace

int rs_correct_erasures(std::uint8_t *block, int length, int ec, const int *erasures, int f,
                        int budget) noexcept {
    if (ec < 1 || ec > kMaxEcPerBlock || length <= ec || length > 255 || f < 0 || f > ec) return -1;
    std::uint8_t gamma[kMaxEcPerBlock + 1];
    int erased[kMaxEcPerBlock];
    if (!erasure_locator(erasures, f, length, gamma, erased)) return -1;
    std::uint8_t s[kMaxEcPerBlock];
    if (is_codeword(block, length, ec, s)) return 0;
    if (f > budget) return -1;
    std::uint8_t t[kMaxEcPerBlock];
    erasure_free_syndromes(s, ec, gamma, f, t);
    std::uint8_t locator[kLocatorCapacity];
    const int errors = error_locator(t, ec - f, locator);
    if (2 * errors + f > budget || 2 * errors > ec - f || errors > kMaxErrors) return -1;
    // A locator whose roots are not all inside the block points at no real error
    // pattern: more errors occurred than the code can place.
    int degrees[kMaxEcPerBlock];  // the errors', then the erased ones
    if (error_degrees(locator, errors, length, degrees) != errors) return -1;
    for (int k = 0; k < f; ++k) degrees[errors + k] = erased[k];
    // The errata locator psi = locator * gamma, degree errors + f.
    const int count = errors + f;
    std::uint8_t psi[kMaxEcPerBlock + 1] = {};
    for (int i = 0; i <= errors; ++i)
        for (int j = 0; j <= f; ++j) psi[i + j] ^= gf_mul(locator[i], gamma[j]);
    std::uint8_t values[kMaxEcPerBlock];
    if (!errata_values(s, psi, count, degrees, errors, values)) return -1;
    int changed = 0;
    for (int e = 0; e < count; ++e) {
        block[length - 1 - degrees[e]] ^= values[e];
        changed += values[e] != 0;
    }
    if (!is_codeword(block, length, ec, s)) {
        for (int e = 0; e < count; ++e) block[length - 1 - degrees[e]] ^= values[e];
        return -1;
    }
    return changed;
}

int rs_correct(std::uint8_t *block, int length, int ec, int limit) noexcept {
    const int budget = limit < 0 ? -1 : limit > ec / 2 ? 2 * (ec / 2) : 2 * limit;
    return rs_correct_erasures(block, length, ec, nullptr, 0, budget);
}

}  // namespace halvern::engine
