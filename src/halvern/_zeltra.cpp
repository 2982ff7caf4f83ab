// halvern._zeltra: halvern's public step API, the steps of reading a QR code as separate
// calls: the black bounding box of a bits image, the module size, the three finder
// centres, two samplers (3 x 3 vote in a box, window majority on an affine grid), the
// share of finder modules sampled right, and strict restoration (forwarded to
// halvern._restore). Its seven functions keep their contract: arguments, results,
// messages and floating-point results stay as they are.
//
// The reader does not use it. halvern.read is one call into halvern._engine
// (src/engine/), which has its own stages and gives every result, QRMatrix.score
// included; nothing else in halvern calls this module.
//
// Every function works on a "bits image": width x height bytes, row-major, row 0 at
// the top, pixel (x, y) at byte y * width + x, any nonzero byte black. Coordinates are
// pixels, x to the right and y downwards; sub-pixel positions are doubles. A QR matrix
// is size x size bytes, row-major, 1 for a dark module and 0 for a light one.
//
// The exported functions validate their arguments (the image length first, always as
// an exact 64-bit product) and own every resource through the guards below; the
// kernels they call trust their arguments, never touch the interpreter and never
// throw. The module keeps no state between calls.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <limits>

namespace {

// ===================================================================================
// Resource guards
// ===================================================================================

// Owns a buffer view filled by the "y*" converter and releases it exactly once.
// Declare it before any Scratch: destruction runs in reverse order, so scratch
// memory is freed before the caller's buffer is given back.
class BufferGuard {
public:
    explicit BufferGuard(Py_buffer *view) noexcept : view_(view) {}
    ~BufferGuard() { release(); }
    BufferGuard(const BufferGuard &) = delete;
    BufferGuard &operator=(const BufferGuard &) = delete;

    void release() noexcept {
        if (view_ != nullptr) {
            PyBuffer_Release(view_);
            view_ = nullptr;
        }
    }

private:
    Py_buffer *view_;
};

// A scratch array from the interpreter's allocator, freed with PyMem_Free when the
// scope ends. The growth helpers take the address of the pointer (slot()) so that a
// failed reallocation leaves the old array owned here.
template <typename T>
class Scratch {
public:
    Scratch() noexcept = default;
    ~Scratch() { PyMem_Free(ptr_); }
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;

    void adopt(T *ptr) noexcept { ptr_ = ptr; }
    T **slot() noexcept { return &ptr_; }
    T *get() const noexcept { return ptr_; }

private:
    T *ptr_ = nullptr;
};

// Gives the interpreter lock up for the lifetime of the object.
class UnlockedScope {
public:
    UnlockedScope() noexcept : state_(PyEval_SaveThread()) {}
    ~UnlockedScope() { PyEval_RestoreThread(state_); }
    UnlockedScope(const UnlockedScope &) = delete;
    UnlockedScope &operator=(const UnlockedScope &) = delete;

private:
    PyThreadState *state_;
};

// ===================================================================================
// Argument checks and small value types
// ===================================================================================

constexpr const char kLengthMismatch[] = "Bits length mismatch.";
// The largest side whose square still fits a signed 32-bit length.
constexpr int kMaxQrSize = 46340;

struct Box {
    int left, top, right, bottom;
};

// Two 32-bit factors cannot wrap in 64 bits, so the comparison is exact; a negative
// product never equals a length.
bool bits_length_matches(Py_ssize_t length, int width, int height) noexcept {
    return static_cast<int64_t>(width) * static_cast<int64_t>(height) ==
           static_cast<int64_t>(length);
}

bool positive_image_matches(Py_ssize_t length, int width, int height) noexcept {
    return width > 0 && height > 0 && bits_length_matches(length, width, height);
}

PyObject *raise_value_error(const char *message) noexcept {
    PyErr_SetString(PyExc_ValueError, message);
    return nullptr;
}

const uint8_t *pixels_of(const Py_buffer &view) noexcept {
    return static_cast<const uint8_t *>(view.buf);
}

constexpr int64_t kInt64Max = std::numeric_limits<int64_t>::max();
constexpr int64_t kInt64Min = std::numeric_limits<int64_t>::min();

// Converts a truncated double to int64, saturating instead of invoking undefined
// behaviour: NaN becomes 0, values beyond the range become its ends.
int64_t saturating_trunc64(double v) noexcept {
    if (std::isnan(v)) {
        return 0;
    }
    if (v >= 9223372036854775808.0) {
        return kInt64Max;
    }
    if (v < -9223372036854775808.0) {
        return kInt64Min;
    }
    return static_cast<int64_t>(v);
}

// a + b, saturated to the 64-bit range instead of wrapping.
int64_t saturating_add64(int64_t a, int64_t b) noexcept {
    if (b > 0 && a > kInt64Max - b) return kInt64Max;
    if (b < 0 && a < kInt64Min - b) return kInt64Min;
    return a + b;
}

// a * b, saturated to the 64-bit range instead of wrapping.
int64_t saturating_mul64(int64_t a, int64_t b) noexcept {
    if (a == 0 || b == 0) return 0;
    const bool negative = (a < 0) != (b < 0);
    const int64_t limit = negative ? kInt64Min : kInt64Max;
    if (a > 0 ? (b > 0 ? a > kInt64Max / b : b < kInt64Min / a)
              : (b > 0 ? a < kInt64Min / b : b < kInt64Max / a)) {
        return limit;
    }
    return a * b;
}

int32_t saturate32(int64_t v) noexcept {
    if (v > std::numeric_limits<int32_t>::max()) {
        return std::numeric_limits<int32_t>::max();
    }
    if (v < std::numeric_limits<int32_t>::min()) {
        return std::numeric_limits<int32_t>::min();
    }
    return static_cast<int32_t>(v);
}

// ===================================================================================
// Black bounding box
// ===================================================================================

// OR of the 32 bytes at p, read as four words; nonzero when any byte is nonzero.
uint64_t any32(const uint8_t *p) noexcept {
    uint64_t w[4];
    std::memcpy(w, p, sizeof w);
    return (w[0] | w[1]) | (w[2] | w[3]);
}

uint64_t word_at(const uint8_t *p) noexcept {
    uint64_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

// Index of the first nonzero byte of row[0, n), or n when there is none. Reads 32 and
// then 8 bytes at a time, so a white row costs about one pass over memory.
int64_t first_black(const uint8_t *row, int64_t n) noexcept {
    int64_t i = 0;
    while (i + 32 <= n && any32(row + i) == 0) {
        i += 32;
    }
    while (i + 8 <= n && word_at(row + i) == 0) {
        i += 8;
    }
    for (; i < n; ++i) {
        if (row[i] != 0) {
            return i;
        }
    }
    return n;
}

// Index of the last nonzero byte of row[0, n), or -1 when there is none.
int64_t last_black(const uint8_t *row, int64_t n) noexcept {
    int64_t i = n;
    while (i >= 32 && any32(row + i - 32) == 0) {
        i -= 32;
    }
    while (i >= 8 && word_at(row + i - 8) == 0) {
        i -= 8;
    }
    for (; i > 0; --i) {
        if (row[i - 1] != 0) {
            return i - 1;
        }
    }
    return -1;
}

// Index of the first zero byte of row[from, n), or n when there is none.
int64_t first_white(const uint8_t *row, int64_t from, int64_t n) noexcept {
    while (from < n && row[from] != 0) {
        ++from;
    }
    return from;
}

// Fills box with the black pixels' bounds (right and bottom exclusive); returns false
// when the image holds no black pixel. Each row is searched from both ends only up to
// the columns already known to be inside the box, and its interior only until the
// first black byte proves the row non-empty.
bool black_bbox_kernel(const uint8_t *bits, int width, int height, Box *box) noexcept {
    int64_t left = width, right = -1, top = -1, bottom = -1;
    for (int64_t y = 0; y < height; ++y) {
        const uint8_t *row = bits + y * width;
        bool row_black = false;
        const int64_t first = first_black(row, left);
        if (first < left) {
            left = first;
            row_black = true;
        }
        const int64_t tail_start = right + 1 > left ? right + 1 : left;
        const int64_t last = last_black(row + tail_start, width - tail_start);
        if (last >= 0) {
            right = tail_start + last;
            row_black = true;
        }
        if (!row_black && left <= right) {
            row_black = first_black(row + left, right - left + 1) <= right - left;
        }
        if (row_black) {
            if (top < 0) {
                top = y;
            }
            bottom = y;
        }
    }
    if (right < 0) {
        return false;
    }
    *box = Box{static_cast<int>(left), static_cast<int>(top), static_cast<int>(right + 1),
               static_cast<int>(bottom + 1)};
    return true;
}

// ===================================================================================
// Run list and module size
// ===================================================================================

constexpr int kInitialRuns = 256;

// qsort comparator for ascending ints; the difference of two comparisons cannot
// overflow the way lhs - rhs can.
int compare_ints(const void *a, const void *b) {
    const int lhs = *static_cast<const int *>(a);
    const int rhs = *static_cast<const int *>(b);
    return (lhs > rhs) - (lhs < rhs);
}

// Appends run, doubling the array when it is full. Returns 1, or 0 with
// OverflowError / MemoryError set; on 0 the array, count and capacity are unchanged
// and the old array is still the caller's to free.
int append_run_length(int **runs_ptr, int *run_count_ptr, int *run_cap_ptr, int run) {
    if (*run_count_ptr >= *run_cap_ptr) {
        const int run_cap = *run_cap_ptr;
        const int new_cap = run_cap < 0x3fffffff ? run_cap * 2 : 0x7fffffff;
        if (new_cap <= run_cap) {
            PyErr_SetString(PyExc_OverflowError, "Too many run lengths.");
            return 0;
        }
        const size_t bytes = static_cast<size_t>(new_cap) * sizeof(int);
        int *grown = static_cast<int *>(PyMem_Realloc(*runs_ptr, bytes));
        if (grown == nullptr) {
            PyErr_NoMemory();
            return 0;
        }
        *runs_ptr = grown;
        *run_cap_ptr = new_cap;
    }
    (*runs_ptr)[*run_count_ptr] = run;
    *run_count_ptr += 1;
    return 1;
}

// Appends the run lengths of n pixels read with the given stride (1 for a row, the
// image width for a column). Raw byte values are compared, so 1 and 255 split a run.
int append_line_runs(const uint8_t *start, int64_t n, int64_t stride, int **runs, int *count,
                     int *cap) {
    uint8_t prev = start[0];
    int run = 1;
    for (int64_t i = 1; i < n; ++i) {
        const uint8_t cur = start[i * stride];
        if (cur == prev) {
            ++run;
        } else {
            if (!append_run_length(runs, count, cap, run)) {
                return 0;
            }
            run = 1;
            prev = cur;
        }
    }
    return append_run_length(runs, count, cap, run);
}

// Five evenly spread positions from lo to hi - 1; in boxes under five pixels across
// positions repeat, and a repeated line counts once for each occurrence.
void spread_five(int64_t lo, int64_t hi, int64_t out[5]) noexcept {
    for (int64_t k = 0; k < 5; ++k) {
        out[k] = lo + ((hi - lo - 1) * k) / 4;
    }
}

// The median of the smaller half of the runs greater than 1 (of all runs when none is
// greater than 1). Sorts runs[0, count) in place, which holds at least one run.
double low_median_run(int *runs, int count) noexcept {
    int kept = 0;
    for (int i = 0; i < count; ++i) {
        if (runs[i] > 1) {
            runs[kept++] = runs[i];
        }
    }
    if (kept == 0) {
        for (int i = 0; i < count; ++i) {
            if (runs[i] > 0) {
                runs[kept++] = runs[i];
            }
        }
    }
    std::qsort(runs, static_cast<size_t>(kept), sizeof(int), compare_ints);
    int median_count = kept / 2;
    if (median_count == 0) {
        median_count = 1;
    }
    if (median_count % 2 == 1) {
        return runs[median_count / 2];
    }
    const int64_t pair = static_cast<int64_t>(runs[median_count / 2 - 1]) + runs[median_count / 2];
    return static_cast<double>(pair) * 0.5;
}

// ===================================================================================
// Finder run-ratio test and cross runs
// ===================================================================================

// Nonzero for a black pixel inside the image; outside the image reads white.
uint8_t bit_at(const uint8_t *bits, int width, int height, int x, int y) noexcept {
    if (x < 0 || y < 0 || x >= width || y >= height) {
        return 0;
    }
    return bits[static_cast<int64_t>(y) * width + x];
}

// Length of the stretch of one colour that ends at row[from] going left (starts at
// row[from] going right), counted up to limit + 1 at most; the row's ends stop it.
// White stretches are searched a word at a time: beside a code in a wide white image
// they run to the limit, a third of the width.
int64_t black_run_left(const uint8_t *row, int64_t from, int64_t limit) noexcept {
    int64_t count = 0;
    while (from - count >= 0 && row[from - count] != 0 && count <= limit) ++count;
    return count;
}

int64_t black_run_right(const uint8_t *row, int64_t from, int64_t n, int64_t limit) noexcept {
    int64_t count = 0;
    while (from + count < n && row[from + count] != 0 && count <= limit) ++count;
    return count;
}

int64_t white_run_left(const uint8_t *row, int64_t from, int64_t limit) noexcept {
    if (from < 0) return 0;
    const int64_t lo = from - limit > 0 ? from - limit : 0;
    const int64_t black = last_black(row + lo, from + 1 - lo);
    return black < 0 ? from + 1 - lo : from - (lo + black);
}

int64_t white_run_right(const uint8_t *row, int64_t from, int64_t n, int64_t limit) noexcept {
    if (from >= n) return 0;
    const int64_t hi = from + limit + 1 < n ? from + limit + 1 : n;
    return first_black(row + from, hi - from);
}

// The row walk, measured with run searches instead of pixel steps; it gives exactly the
// counts and the refusals of collect_cross_runs on the same row.
int collect_cross_runs_horizontal(const uint8_t *bits, int width, int height, int cx, int cy,
                                  int runs[5]) noexcept {
    (void)height;
    const uint8_t *row = bits + static_cast<int64_t>(cy) * width;
    const int64_t max_run = width / 3;
    const int64_t centre_left = black_run_left(row, cx, max_run);
    if (centre_left > max_run) return 0;
    const int64_t centre_right = black_run_right(row, cx + 1, width, max_run - centre_left);
    const int64_t c2 = centre_left + centre_right;
    if (c2 > max_run) return 0;
    const int64_t c1 = white_run_left(row, cx - centre_left, max_run);
    if (c1 > max_run) return 0;
    const int64_t c0 = black_run_left(row, cx - centre_left - c1, max_run);
    if (c0 > max_run) return 0;
    const int64_t c3 = white_run_right(row, cx + 1 + centre_right, width, max_run);
    if (c3 > max_run) return 0;
    const int64_t c4 = black_run_right(row, cx + 1 + centre_right + c3, width, max_run);
    if (c4 > max_run) return 0;
    const int counts[5] = {static_cast<int>(c0), static_cast<int>(c1), static_cast<int>(c2),
                           static_cast<int>(c3), static_cast<int>(c4)};
    std::memcpy(runs, counts, sizeof counts);
    return 1;
}

// The column walk at (cx, cy), pixel by pixel: the five runs (outer, white, centre,
// white, outer; above before below) crossing the black pixel. Returns 1 with runs
// written, 0 as soon as a run exceeds height / 3 (runs untouched). Either way
// [*top, *bottom) are the rows of the centre run that the walk saw: every pixel there
// gets the same outcome. White runs stop at the image's ends. Rows before
// first_black_row and after last_black_row are known to be white, so a white run that
// reaches them is measured to the edge at once (a code in a large white image would
// otherwise cost a third of the height per walk).
int collect_column_runs(const uint8_t *bits, int width, int height, int cx, int cy, int runs[5],
                        int *top, int *bottom, int first_black_row, int last_black_row) noexcept {
    const int max_run = height / 3;
    auto at = [=](int y) { return bit_at(bits, width, height, cx, y) != 0; };
    int c0 = 0, c1 = 0, up = 0, down = 0, c3 = 0, c4 = 0;
    int y = cy;
    *bottom = cy + 1;
    for (; at(y); --y) {
        *top = y;
        if (++up > max_run) return 0;
    }
    for (; y >= 0 && !at(y); --y) {
        if (y < first_black_row) {
            // Every row above is white: the run reaches the top edge.
            c1 += y + 1;
            y = -1;
            if (c1 > max_run) return 0;
            break;
        }
        if (++c1 > max_run) return 0;
    }
    for (; at(y); --y) {
        if (++c0 > max_run) return 0;
    }
    for (y = cy + 1; at(y); ++y) {
        *bottom = y + 1;
        if (up + ++down > max_run) return 0;
    }
    for (; y < height && !at(y); ++y) {
        if (y > last_black_row) {
            c3 += height - y;
            y = height;
            if (c3 > max_run) return 0;
            break;
        }
        if (++c3 > max_run) return 0;
    }
    for (; at(y); ++y) {
        if (++c4 > max_run) return 0;
    }
    const int counts[5] = {c0, c1, up + down, c3, c4};
    std::memcpy(runs, counts, sizeof counts);
    return 1;
}

int collect_cross_runs_vertical(const uint8_t *bits, int width, int height, int cx, int cy,
                                int runs[5]) noexcept {
    int top, bottom;
    return collect_column_runs(bits, width, height, cx, cy, runs, &top, &bottom, 0, height - 1);
}

// 1 when the runs stand as 1:1:3:1:1 within variance * module each (three times that
// for the centre), 0 otherwise. A NaN variance makes every deviation test false.
int ratio_match_11311(const int runs[5], double variance) noexcept {
    double total = 0.0;
    for (int i = 0; i < 5; ++i) {
        if (runs[i] <= 0) {
            return 0;
        }
        total += runs[i];
    }
    if (total < 7.0) {
        return 0;
    }
    const double module = total / 7.0;
    const double tol = variance * module;
    for (int i : {0, 1, 3, 4}) {
        if (std::fabs(runs[i] - module) > tol) {
            return 0;
        }
    }
    return std::fabs(runs[2] - module * 3.0) > tol * 3.0 ? 0 : 1;
}

// ===================================================================================
// Finder candidate array
// ===================================================================================

struct FinderCenter {
    double x;
    double y;
    double module;
    int count;
    int score;
};

constexpr int kInitialCenters = 256;

// 1 when there is room for one more record (growing a full array by doubling), 0 with
// OverflowError / MemoryError set; the pointer and capacity are then unchanged.
int ensure_center_capacity(FinderCenter **centers, int *center_cap, int center_count) {
    if (center_count < *center_cap) {
        return 1;
    }
    if (*center_cap > 1073741823) {
        PyErr_SetString(PyExc_OverflowError, "Too many finder candidates.");
        return 0;
    }
    const int new_cap = *center_cap * 2;
    auto *grown = static_cast<FinderCenter *>(
        PyMem_Realloc(*centers, static_cast<size_t>(new_cap) * sizeof(FinderCenter)));
    if (grown == nullptr) {
        PyErr_NoMemory();
        return 0;
    }
    std::memset(grown + *center_cap, 0,
                static_cast<size_t>(new_cap - *center_cap) * sizeof(FinderCenter));
    *centers = grown;
    *center_cap = new_cap;
    return 1;
}

// Whether record c lies within radius_sq of (x, y): the merge test, inclusive.
bool within_radius(const FinderCenter &c, double x, double y, double radius_sq) noexcept {
    const double dx = c.x - x;
    const double dy = c.y - y;
    return dx * dx + dy * dy <= radius_sq;
}

// The first record in array order within radius_sq of (x, y), or -1: the plain walk.
int first_within_walk(const FinderCenter *centers, int count, double x, double y,
                      double radius_sq) noexcept {
    for (int i = 0; i < count; ++i) {
        if (within_radius(centers[i], x, y, radius_sq)) return i;
    }
    return -1;
}

// A uniform grid of cells over the image that lists the records whose (x, y) lies in
// each cell, so that the merge test visits only the records near a hit rather than all
// of them. Finder-like crosses packed 6 pixels apart make 94,000 records at 1500 x 1500;
// walking them all for every hit took 3.2 s there and 55 s at 3000 x 3000 (22 ms and
// 165 ms with the grid).
//
// Records are linked into their cell's list through next/prev arrays indexed like the
// records; a merge that moves a record into another cell relinks it. The grid answers
// exactly what the walk in array order answers: the lowest-numbered record within the
// radius. Every allocation failure just turns the grid off (the walk takes over), so
// the index never changes a result and never raises.
class CenterIndex {
public:
    CenterIndex(int width, int height) noexcept
        : cols_(cells_along(width)), rows_(cells_along(height)) {}
    ~CenterIndex() { drop(); }
    CenterIndex(const CenterIndex &) = delete;
    CenterIndex &operator=(const CenterIndex &) = delete;

    // Whether lookups go through the grid: it is made with the first record.
    bool active() const noexcept { return head_ != nullptr; }

    // The lowest index i < count whose record lies within radius_sq of (x, y), tested
    // exactly as the walk tests it, or -1. Falls back to the walk itself when the
    // cells to visit outnumber the records (a hit with a huge module).
    int first_within(const FinderCenter *centers, int count, double x, double y,
                     double radius_sq) const noexcept;

    // Record i was appended at (x, y) or moved there; false when the grid had to be
    // turned off (it is then inactive for the rest of the scan).
    bool placed(int i, double x, double y) noexcept;

private:
    static constexpr int kShift = 3;  // cells of 8 x 8 pixels

    static int cells_along(int extent) noexcept { return (extent >> kShift) + 1; }
    // Cell of a coordinate, clamped into the grid (a NaN cannot occur: positions are
    // means of pixel indices, but the clamp keeps any double defined).
    static int64_t cell_of(double v, int cells) noexcept {
        if (!(v >= 0.0)) return 0;
        const double c = std::floor(v / (1 << kShift));
        return c >= cells - 1 ? cells - 1 : static_cast<int64_t>(c);
    }
    int64_t cell_index(double x, double y) const noexcept {
        return cell_of(y, rows_) * cols_ + cell_of(x, cols_);
    }
    bool make_cells() noexcept;
    bool reserve(int i) noexcept;
    void unlink(int i) noexcept;
    void drop() noexcept {
        PyMem_Free(head_);
        PyMem_Free(next_);
        PyMem_Free(prev_);
        PyMem_Free(cell_);
        head_ = next_ = prev_ = nullptr;
        cell_ = nullptr;
        cap_ = 0;
        failed_ = true;
    }

    int cols_, rows_;
    int *head_ = nullptr;  // first record of each cell, -1 for none
    int *next_ = nullptr;  // per record: the next record of its cell, -1 at the end
    int *prev_ = nullptr;  // per record: the previous record, -1 at the head
    int64_t *cell_ = nullptr;  // per record: its cell, -1 before it is placed
    int cap_ = 0;
    bool failed_ = false;
};

// The cell heads, all empty; false when they cannot be allocated.
bool CenterIndex::make_cells() noexcept {
    const size_t cells = static_cast<size_t>(cols_) * static_cast<size_t>(rows_);
    head_ = static_cast<int *>(PyMem_Malloc(cells * sizeof(int)));
    if (head_ == nullptr) return false;
    for (size_t i = 0; i < cells; ++i) head_[i] = -1;
    return true;
}

int CenterIndex::first_within(const FinderCenter *centers, int count, double x, double y,
                              double radius_sq) const noexcept {
    // A record passes only if dx * dx <= radius_sq and dy * dy <= radius_sq as computed,
    // so |dx| and |dy| are within sqrt(radius_sq) up to rounding; one pixel of margin
    // covers the rounding many times over.
    const double reach = std::sqrt(radius_sq) + 1.0;
    const int64_t cx0 = cell_of(x - reach, cols_), cx1 = cell_of(x + reach, cols_);
    const int64_t cy0 = cell_of(y - reach, rows_), cy1 = cell_of(y + reach, rows_);
    if ((cx1 - cx0 + 1) * (cy1 - cy0 + 1) > count) {
        return first_within_walk(centers, count, x, y, radius_sq);
    }
    int best = -1;
    for (int64_t cy = cy0; cy <= cy1; ++cy) {
        for (int64_t cx = cx0; cx <= cx1; ++cx) {
            for (int i = head_[cy * cols_ + cx]; i >= 0; i = next_[i]) {
                if ((best < 0 || i < best) && within_radius(centers[i], x, y, radius_sq)) {
                    best = i;
                }
            }
        }
    }
    return best;
}

// Room for record i in the per-record arrays, grown by doubling; false when an
// allocation fails (the arrays already grown stay owned and are freed by drop()).
bool CenterIndex::reserve(int i) noexcept {
    if (i < cap_) return true;
    const int64_t want = cap_ == 0 ? kInitialCenters : static_cast<int64_t>(cap_) * 2;
    if (want > std::numeric_limits<int>::max()) return false;
    const size_t n = static_cast<size_t>(want);
    auto *next = static_cast<int *>(PyMem_Realloc(next_, n * sizeof(int)));
    if (next == nullptr) return false;
    next_ = next;
    auto *prev = static_cast<int *>(PyMem_Realloc(prev_, n * sizeof(int)));
    if (prev == nullptr) return false;
    prev_ = prev;
    auto *cell = static_cast<int64_t *>(PyMem_Realloc(cell_, n * sizeof(int64_t)));
    if (cell == nullptr) return false;
    cell_ = cell;
    for (int64_t k = cap_; k < want; ++k) cell_[k] = -1;
    cap_ = static_cast<int>(want);
    return true;
}

void CenterIndex::unlink(int i) noexcept {
    if (prev_[i] >= 0) {
        next_[prev_[i]] = next_[i];
    } else {
        head_[cell_[i]] = next_[i];
    }
    if (next_[i] >= 0) prev_[next_[i]] = prev_[i];
}

bool CenterIndex::placed(int i, double x, double y) noexcept {
    if (failed_) return false;
    if ((head_ == nullptr && !make_cells()) || !reserve(i)) {
        drop();
        return false;
    }
    const int64_t cell = cell_index(x, y);
    if (cell_[i] == cell) return true;
    if (cell_[i] >= 0) unlink(i);
    cell_[i] = cell;
    prev_[i] = -1;
    next_[i] = head_[cell];
    if (next_[i] >= 0) prev_[next_[i]] = i;
    head_[cell] = i;
    return true;
}

// Merges the hit into the first record (in array order) within 1.6 of the hit's own
// module estimate (inclusive), or appends it. Returns 1, or 0 (no exception) when it
// must append to a full array. With an active index the record is found through it.
int append_or_merge_center(FinderCenter *centers, int *center_count, int center_cap, double x,
                           double y, double module, CenterIndex &index) noexcept {
    const double merge_radius_sq = module * module * 2.56;
    const int i = index.active()
                      ? index.first_within(centers, *center_count, x, y, merge_radius_sq)
                      : first_within_walk(centers, *center_count, x, y, merge_radius_sq);
    if (i >= 0) {
        FinderCenter &c = centers[i];
        const int n = c.count;
        const double old_n = n;
        const double new_n = n + 1;
        c.x = (c.x * old_n + x) / new_n;
        c.y = (c.y * old_n + y) / new_n;
        c.module = (c.module * old_n + module) / new_n;
        c.count = n + 1;
        c.score += 1;
        index.placed(i, c.x, c.y);
        return 1;
    }
    if (*center_count >= center_cap) {
        return 0;
    }
    centers[*center_count] = FinderCenter{x, y, module, 1, 1};
    index.placed(*center_count, x, y);
    *center_count += 1;
    return 1;
}

// ===================================================================================
// Finder scan and corner selection
// ===================================================================================

int run_total(const int runs[5]) noexcept {
    return runs[0] + runs[1] + runs[2] + runs[3] + runs[4];
}

// The scan's checks on five measured runs, row or column: a total of at least 7, a
// centre of at least 3, and the 1:1:3:1:1 ratio.
int cross_runs_pass(const int runs[5], double variance) noexcept {
    return run_total(runs) >= 7 && runs[2] >= 3 && ratio_match_11311(runs, variance);
}

// The horizontal half of a hit: 1 with hruns filled when the row's five runs through
// (x, y) pass the checks. Depends only on the run that holds x.
int row_runs_pass(const uint8_t *bits, int width, int height, int x, int y, double variance,
                  int hruns[5]) noexcept {
    return collect_cross_runs_horizontal(bits, width, height, x, y, hruns) &&
           cross_runs_pass(hruns, variance);
}

// What the column checks gave along one vertical black run: every scan point in rows
// [top, bottom) of column x shares it. total is the column runs' sum when they passed
// the checks and the ratio test, 0 when they failed. Zeroed entries hold no rows.
struct ColumnVerdict {
    int top;
    int bottom;
    int total;
};

// Rows [first, last] hold every black pixel of the image; found on first use, since a
// scan that never reaches a column walk (a white page, say) need not pay the pass.
class BlackRows {
public:
    BlackRows(const uint8_t *bits, int width, int height) noexcept
        : bits_(bits), width_(width), height_(height) {}

    int first() noexcept { return find(), first_; }
    int last() noexcept { return find(), last_; }

private:
    bool row_is_white(int y) const noexcept {
        return first_black(bits_ + static_cast<int64_t>(y) * width_, width_) == width_;
    }
    void find() noexcept {
        if (known_) return;
        known_ = true;
        first_ = 0;
        while (first_ < height_ && row_is_white(first_)) ++first_;
        last_ = height_ - 1;
        while (last_ > first_ && row_is_white(last_)) --last_;
    }

    const uint8_t *bits_;
    int width_, height_;
    bool known_ = false;
    int first_ = 0, last_ = 0;
};

ColumnVerdict column_verdict(const uint8_t *bits, int width, int height, int x, int y,
                             double variance, BlackRows &rows) noexcept {
    int vruns[5];
    ColumnVerdict v{y, y + 1, 0};
    if (collect_column_runs(bits, width, height, x, y, vruns, &v.top, &v.bottom, rows.first(),
                            rows.last()) &&
        cross_runs_pass(vruns, variance)) {
        v.total = run_total(vruns);
    }
    return v;
}

// Whether the verdict v on column x also holds at row y below it: true when the pixels
// from v.bottom down to y are all black, so that y lies in the same vertical run; the
// verdict then covers y. A walk refused early (a centre run taller than a third of the
// image) saw only part of its run; without this, tall stripes were walked again on
// every scanned row, width x height^2 (2.2 s at 3000 x 3000, 0.15 s with it).
bool extend_verdict(const uint8_t *bits, int width, int x, int y, ColumnVerdict *v) noexcept {
    if (v->bottom <= v->top || y < v->bottom) return false;
    for (int64_t r = v->bottom; r <= y; ++r) {
        if (bits[r * width + x] == 0) return false;
    }
    v->bottom = y + 1;
    return true;
}

// The module estimate of a hit at (x, y) whose row runs total htotal, or 0.0 when the
// column checks fail. With a cache (one entry per column) a column is walked once per
// vertical run rather than once per scanned row.
double column_hit_module(const uint8_t *bits, int width, int height, int x, int y,
                         double variance, int htotal, BlackRows &rows,
                         ColumnVerdict *cache) noexcept {
    ColumnVerdict fresh;
    ColumnVerdict *v = &fresh;
    if (cache != nullptr) {
        v = &cache[x];
        if ((y < v->top || y >= v->bottom) && !extend_verdict(bits, width, x, y, v)) {
            *v = column_verdict(bits, width, height, x, y, variance, rows);
        }
    } else {
        int vruns[5];
        fresh.total = collect_cross_runs_vertical(bits, width, height, x, y, vruns) &&
                              cross_runs_pass(vruns, variance)
                          ? run_total(vruns)
                          : 0;
    }
    if (v->total == 0) return 0.0;
    const double hmodule = htotal / 7.0;
    const double vmodule = v->total / 7.0;
    return (hmodule + vmodule) * 0.5;
}

enum class ScanStatus { kDone, kFailed };

// Scans every second row for hits and records them; on kFailed an exception is set.
//
// Equivalent to testing every scan point in turn. The outcome of a row walk is the same
// for every pixel of one black run, and that of a column walk for every pixel of one
// vertical black run, so white stretches are skipped a word at a time, the row walk is
// made once per run (a failing run is skipped whole), and, with a column cache, the
// column walk once per vertical run (a verdict refused early is carried down its run);
// column walks jump over the white rows above and below all black pixels, and hits find
// the record they merge into through a grid of cells. On a 4000 x 3000 image with a
// 20-pixel-module code: 73 ms pixel by pixel, 7.6 ms with row reuse, 4.7 ms with the
// column cache, 3.8 ms with the white-row jumps (numpy.count_nonzero over the same
// image: 0.5 ms). benchmarks/worst_case.py keeps hostile images linear.
ScanStatus scan_finder_rows(const uint8_t *bits, int width, int height, double variance,
                            ColumnVerdict *cache, FinderCenter **centers, int *center_cap,
                            int *center_count) {
    const int64_t x_end = static_cast<int64_t>(width) - 1;
    BlackRows rows(bits, width, height);
    CenterIndex index(width, height);
    for (int y = 1; y < height - 1; y += 2) {
        const uint8_t *row = bits + static_cast<int64_t>(y) * width;
        int64_t x = 1;
        while (x < x_end) {
            x += first_black(row + x, x_end - x);
            if (x >= x_end) break;
            const int64_t run_end = first_white(row, x, width);
            int hruns[5];
            if (!row_runs_pass(bits, width, height, static_cast<int>(x), y, variance, hruns)) {
                x = run_end;
                continue;
            }
            const int htotal = run_total(hruns);
            while (x < run_end && x < x_end) {
                const double module = column_hit_module(bits, width, height, static_cast<int>(x),
                                                        y, variance, htotal, rows, cache);
                if (module == 0.0) {
                    ++x;
                    continue;
                }
                if (!ensure_center_capacity(centers, center_cap, *center_count)) {
                    return ScanStatus::kFailed;
                }
                if (!append_or_merge_center(*centers, center_count, *center_cap,
                                            static_cast<double>(x), static_cast<double>(y),
                                            module, index)) {
                    PyErr_SetString(PyExc_RuntimeError, "Failed to record finder candidate.");
                    return ScanStatus::kFailed;
                }
                // module is at most (width + height) / 7, so 2 * module converts exactly.
                x += static_cast<int64_t>(2.0 * module) + 1;
            }
        }
    }
    return ScanStatus::kDone;
}

struct CornerPick {
    int tl, tr, bl;
};

// Smallest x + y, largest x - y, largest y - x; strict comparisons keep the earliest
// record on a tie. Returns false when one record takes two roles.
bool pick_corners(const FinderCenter *centers, int count, CornerPick *pick) noexcept {
    int tl = 0, tr = 0, bl = 0;
    for (int i = 1; i < count; ++i) {
        const FinderCenter &c = centers[i];
        if (c.x + c.y < centers[tl].x + centers[tl].y) tl = i;
        if (c.x - c.y > centers[tr].x - centers[tr].y) tr = i;
        if (c.y - c.x > centers[bl].y - centers[bl].x) bl = i;
    }
    if (tl == tr || bl == tl || bl == tr) {
        return false;
    }
    *pick = CornerPick{tl, tr, bl};
    return true;
}

// ===================================================================================
// Matrix sampling
// ===================================================================================

// Truncates a sample position to a pixel index and clamps it to [0, extent - 1]:
// negative (and NaN) positions read 0, positions at or past the edge read the last
// pixel. Equivalent to truncating first, without converting an out-of-range double.
int64_t clamp_sample(double pos, int extent) noexcept {
    if (!(pos >= 0.0)) {
        return 0;
    }
    if (pos >= static_cast<double>(extent)) {
        return extent - 1;
    }
    return static_cast<int64_t>(pos);
}

constexpr double kSampleOffsets[3] = {1.0 / 6.0, 0.5, 5.0 / 6.0};

// The three sample positions of cell index i of n cells spanning span pixels from
// origin, clamped to the image.
void cell_samples(int64_t i, int64_t n, double span, int64_t origin, int extent,
                  int64_t out[3]) noexcept {
    const double d = static_cast<double>(n);
    const double o = static_cast<double>(origin);
    const double lo = (static_cast<double>(i) * span) / d + o;
    const double hi = (static_cast<double>(i + 1) * span) / d + o;
    for (int k = 0; k < 3; ++k) {
        out[k] = clamp_sample((hi - lo) * kSampleOffsets[k] + lo, extent);
    }
}

double box_span(int lo, int hi) noexcept {
    const int64_t diff = static_cast<int64_t>(hi) - lo;
    return diff > 0 ? static_cast<double>(diff) : 1.0;
}

// Fills out with the box grid's modules: dark when five of the nine samples are black.
// The sample columns of every module column are computed once, in blocks that fit on
// the stack.
void sample_box_kernel(const uint8_t *bits, int width, int height, Box box, int size,
                       uint8_t *out) noexcept {
    const double bw = box_span(box.left, box.right);
    const double bh = box_span(box.top, box.bottom);
    constexpr int kBlock = 256;
    int64_t cols[kBlock][3];
    for (int mx0 = 0; mx0 < size; mx0 += kBlock) {
        const int block = size - mx0 < kBlock ? size - mx0 : kBlock;
        for (int j = 0; j < block; ++j) {
            cell_samples(mx0 + j, size, bw, box.left, width, cols[j]);
        }
        for (int my = 0; my < size; ++my) {
            int64_t rows[3];
            cell_samples(my, size, bh, box.top, height, rows);
            const uint8_t *r0 = bits + rows[0] * width;
            const uint8_t *r1 = bits + rows[1] * width;
            const uint8_t *r2 = bits + rows[2] * width;
            uint8_t *dst = out + static_cast<int64_t>(my) * size + mx0;
            for (int j = 0; j < block; ++j) {
                int votes = 0;
                for (int k = 0; k < 3; ++k) {
                    const int64_t px = cols[j][k];
                    votes += (r0[px] != 0) + (r1[px] != 0) + (r2[px] != 0);
                }
                dst[j] = votes > 4 ? 1 : 0;
            }
        }
    }
}

// The pixels a window [lo, hi] (64-bit, any width) touches along an axis of extent
// pixels once each position is clamped: the range [first, last] with every pixel
// counted once, except that the first and last pixel also count the positions that
// were clamped onto them.
struct AxisSpan {
    int64_t first, last;
    int64_t first_mult, last_mult;
};

AxisSpan clamp_window(int64_t lo, int64_t hi, int extent) noexcept {
    const int64_t edge = extent - 1;
    const int64_t first = lo < 0 ? 0 : (lo > edge ? edge : lo);
    const int64_t last = hi < 0 ? 0 : (hi > edge ? edge : hi);
    if (first == last) {
        const int64_t all = hi - lo + 1;
        return AxisSpan{first, last, all, all};
    }
    return AxisSpan{first, last, first - lo + 1, hi - last + 1};
}

// Weighted count of black pixels of one image row over a clamped window span.
int64_t weighted_row_black(const uint8_t *row, const AxisSpan &xs) noexcept {
    if (xs.first == xs.last) {
        return row[xs.first] != 0 ? xs.first_mult : 0;
    }
    int64_t black = (row[xs.first] != 0 ? xs.first_mult : 0) +
                    (row[xs.last] != 0 ? xs.last_mult : 0);
    for (int64_t x = xs.first + 1; x < xs.last; ++x) {
        black += row[x] != 0;
    }
    return black;
}

// Black pixels of the window of the given radius around (cx, cy), each clamped
// position counted at its edge pixel, against the window's window * window positions.
bool window_majority(const uint8_t *bits, int width, int height, int64_t cx, int64_t cy,
                     int64_t radius) noexcept {
    if (radius == 0) {
        const int64_t sx = cx < 0 ? 0 : (cx >= width ? width - 1 : cx);
        const int64_t sy = cy < 0 ? 0 : (cy >= height ? height - 1 : cy);
        return bits[sy * width + sx] != 0;
    }
    const int64_t side = 2 * radius + 1;
    if (cx - radius >= 0 && cx + radius < width && cy - radius >= 0 && cy + radius < height) {
        // Wholly inside the image, the usual case: no position needs clamping.
        int64_t black = 0;
        const uint8_t *row = bits + (cy - radius) * width + (cx - radius);
        for (int64_t r = 0; r < side; ++r, row += width) {
            for (int64_t k = 0; k < side; ++k) {
                black += row[k] != 0;
            }
        }
        return 2 * black >= side * side;
    }
    const AxisSpan xs = clamp_window(cx - radius, cx + radius, width);
    const AxisSpan ys = clamp_window(cy - radius, cy + radius, height);
    int64_t black = 0;
    for (int64_t y = ys.first; y <= ys.last; ++y) {
        int64_t mult = 1;
        if (y == ys.first) {
            mult = ys.first_mult;
        } else if (y == ys.last) {
            mult = ys.last_mult;
        }
        black += mult * weighted_row_black(bits + y * width, xs);
    }
    return 2 * black >= side * side;
}

// The affine grid in 16.16 fixed point: origin, the two spanning vectors and the
// fraction of a vector that one module pitch takes.
struct AffineGrid {
    int64_t tlx, tly, hx, hy, vx, vy, step;
};

AffineGrid affine_grid(int size, double tlx_d, double tly_d, double hx_d, double hy_d,
                       double vx_d, double vy_d) noexcept {
    const double d = static_cast<double>(size) - 7.0;
    const double k = 3.5 / d;
    AffineGrid g;
    g.step = saturating_trunc64((1.0 / d) * 65536.0);
    g.tlx = saturating_trunc64((tlx_d - hx_d * k - vx_d * k) * 65536.0);
    g.tly = saturating_trunc64((tly_d - hy_d * k - vy_d * k) * 65536.0);
    g.hx = saturating_trunc64(hx_d * 65536.0);
    g.hy = saturating_trunc64(hy_d * 65536.0);
    g.vx = saturating_trunc64(vx_d * 65536.0);
    g.vy = saturating_trunc64(vy_d * 65536.0);
    return g;
}

// (i * component * step) >> 16, the product formed whole (saturating at the 64-bit
// range instead of wrapping) and shifted once; >> floors. i >= 0 and step >= 1, so a
// partial product that saturates leaves the whole product saturated the same way.
int64_t scaled_offset(int64_t i, int64_t component, int64_t step) noexcept {
    return saturating_mul64(saturating_mul64(i, component), step) >> 16;
}

// Rounds a 16.16 coordinate to the nearest pixel, halves toward +infinity, saturated to
// the 32-bit range.
int64_t round_fixed(int64_t v) noexcept {
    return saturate32(saturating_add64(v, 32768) >> 16);
}

// True when no product or sum of the grid can leave the 64-bit range, so that the
// sampler may step with plain running sums (step >= 1 since size <= 46340).
bool affine_grid_is_small(const AffineGrid &g, int size) noexcept {
    const int64_t vector_limit = (int64_t{1} << 62) / (static_cast<int64_t>(size) * g.step);
    const int64_t origin_limit = int64_t{1} << 61;
    auto small = [=](int64_t v) { return v > -vector_limit && v < vector_limit; };
    auto near = [=](int64_t v) { return v > -origin_limit && v < origin_limit; };
    return small(g.hx) && small(g.hy) && small(g.vx) && small(g.vy) && near(g.tlx) &&
           near(g.tly);
}

// The general sampler: every product formed whole, saturating where it would overflow.
void sample_affine_saturating(const uint8_t *bits, int width, int height, int size,
                              const AffineGrid &g, int radius, uint8_t *out) noexcept {
    for (int64_t y = 0; y < size; ++y) {
        const int64_t line_x = saturating_add64(g.tlx, scaled_offset(y, g.vx, g.step));
        const int64_t line_y = saturating_add64(g.tly, scaled_offset(y, g.vy, g.step));
        uint8_t *dst = out + y * size;
        for (int64_t x = 0; x < size; ++x) {
            const int64_t cur_fx = saturating_add64(line_x, scaled_offset(x, g.hx, g.step));
            const int64_t cur_fy = saturating_add64(line_y, scaled_offset(x, g.hy, g.step));
            dst[x] = window_majority(bits, width, height, round_fixed(cur_fx), round_fixed(cur_fy),
                                     radius)
                         ? 1
                         : 0;
        }
    }
}

// The same grid for ordinary inputs: the products y * v * step and x * h * step are
// running sums (exactly equal, since nothing overflows), each shifted once.
void sample_affine_running(const uint8_t *bits, int width, int height, int size,
                           const AffineGrid &g, int radius, uint8_t *out) noexcept {
    const int64_t dhx = g.hx * g.step, dhy = g.hy * g.step;
    const int64_t dvx = g.vx * g.step, dvy = g.vy * g.step;
    int64_t pvx = 0, pvy = 0;
    for (int64_t y = 0; y < size; ++y, pvx += dvx, pvy += dvy) {
        const int64_t line_x = g.tlx + (pvx >> 16);
        const int64_t line_y = g.tly + (pvy >> 16);
        uint8_t *dst = out + y * size;
        int64_t phx = 0, phy = 0;
        for (int64_t x = 0; x < size; ++x, phx += dhx, phy += dhy) {
            const int64_t cx = saturate32((line_x + (phx >> 16) + 32768) >> 16);
            const int64_t cy = saturate32((line_y + (phy >> 16) + 32768) >> 16);
            dst[x] = window_majority(bits, width, height, cx, cy, radius) ? 1 : 0;
        }
    }
}

void sample_affine_kernel(const uint8_t *bits, int width, int height, int size,
                          const AffineGrid &g, int radius, uint8_t *out) noexcept {
    if (affine_grid_is_small(g, size)) {
        sample_affine_running(bits, width, height, size, g, radius, out);
    } else {
        sample_affine_saturating(bits, width, height, size, g, radius, out);
    }
}

// ===================================================================================
// Finder score
// ===================================================================================

// 1 on the outer ring and the 3 x 3 core, 0 on the light ring between them.
constexpr bool finder_expected(int x, int y) noexcept {
    if (x == 0 || x == 6 || y == 0 || y == 6) return true;
    if (x == 1 || x == 5 || y == 1 || y == 5) return false;
    return true;
}

// Modules of the top-left, top-right and bottom-left 7 x 7 windows that agree with the
// finder pattern (any nonzero byte is dark); size is at least 21.
int finder_matches(const uint8_t *matrix, int64_t size) noexcept {
    const int64_t origins[3][2] = {{0, 0}, {size - 7, 0}, {0, size - 7}};
    int matches = 0;
    for (const auto &origin : origins) {
        for (int y = 0; y < 7; ++y) {
            const uint8_t *row = matrix + (origin[1] + y) * size + origin[0];
            for (int x = 0; x < 7; ++x) {
                matches += (row[x] != 0) == finder_expected(x, y);
            }
        }
    }
    return matches;
}

// ===================================================================================
// Strict restoration delegate
// ===================================================================================

// Calls halvern._restore.<name>(*args), looked up on every call so that a routine
// replaced at run time is picked up; the result or exception passes through unchanged.
PyObject *call_restore_impl(const char *name, PyObject *args) {
    PyObject *module = PyImport_ImportModule("halvern._restore");
    if (module == nullptr) {
        return nullptr;
    }
    PyObject *routine = PyObject_GetAttrString(module, name);
    Py_DECREF(module);
    if (routine == nullptr) {
        return nullptr;
    }
    PyObject *result = PyObject_CallObject(routine, args);
    Py_DECREF(routine);
    return result;
}

// ===================================================================================
// Exported functions
// ===================================================================================

PyObject *zeltra_strict_restore_qr_matrix(PyObject *, PyObject *args) {
    return call_restore_impl("strict_restore_qr_matrix", args);
}

PyObject *zeltra_find_black_bbox_bits(PyObject *, PyObject *args) {
    Py_buffer view;
    int width, height;
    if (!PyArg_ParseTuple(args, "y*ii", &view, &width, &height)) {
        return nullptr;
    }
    BufferGuard guard(&view);
    if (!bits_length_matches(view.len, width, height)) {
        return raise_value_error(kLengthMismatch);
    }
    Box box;
    if (height <= 0 || width <= 0 || !black_bbox_kernel(pixels_of(view), width, height, &box)) {
        Py_RETURN_NONE;
    }
    guard.release();
    return Py_BuildValue("(iiii)", box.left, box.top, box.right, box.bottom);
}

PyObject *zeltra_sample_matrix_3x3(PyObject *, PyObject *args) {
    Py_buffer view;
    int width, height, size;
    Box box;
    if (!PyArg_ParseTuple(args, "y*ii(iiii)i", &view, &width, &height, &box.left, &box.top,
                          &box.right, &box.bottom, &size)) {
        return nullptr;
    }
    BufferGuard guard(&view);
    // The clamps need at least one pixel each way, and every byte of the result must
    // be written, so these are refused before the result exists.
    if (!positive_image_matches(view.len, width, height)) {
        return raise_value_error(kLengthMismatch);
    }
    if (size < 0) {
        return raise_value_error("QR size must not be negative.");
    }
    if (size > kMaxQrSize) {
        return raise_value_error("QR size is too large.");
    }
    PyObject *result =
        PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size) * size);
    if (result == nullptr) {
        return nullptr;
    }
    auto *out = reinterpret_cast<uint8_t *>(PyBytes_AsString(result));
    sample_box_kernel(pixels_of(view), width, height, box, size, out);
    return result;
}

PyObject *zeltra_estimate_module_size(PyObject *, PyObject *args) {
    Py_buffer view;
    int width, height;
    Box box;
    if (!PyArg_ParseTuple(args, "y*ii(iiii)", &view, &width, &height, &box.left, &box.top,
                          &box.right, &box.bottom)) {
        return nullptr;
    }
    BufferGuard guard(&view);
    if (!bits_length_matches(view.len, width, height)) {
        return raise_value_error(kLengthMismatch);
    }
    // A box reaching outside the image is cut to it, so that no read leaves the buffer.
    const int64_t left = box.left > 0 ? box.left : 0;
    const int64_t top = box.top > 0 ? box.top : 0;
    const int64_t right = box.right < width ? box.right : width;
    const int64_t bottom = box.bottom < height ? box.bottom : height;
    if (left >= right || top >= bottom) {
        Py_RETURN_NONE;
    }
    Scratch<int> runs;
    runs.adopt(static_cast<int *>(PyMem_Malloc(kInitialRuns * sizeof(int))));
    if (runs.get() == nullptr) {
        return PyErr_NoMemory();
    }
    int run_count = 0;
    int run_cap = kInitialRuns;
    int64_t rows[5], cols[5];
    spread_five(top, bottom, rows);
    spread_five(left, right, cols);
    const uint8_t *bits = pixels_of(view);
    for (int64_t y : rows) {
        if (!append_line_runs(bits + y * width + left, right - left, 1, runs.slot(), &run_count,
                              &run_cap)) {
            return nullptr;
        }
    }
    for (int64_t x : cols) {
        if (!append_line_runs(bits + top * width + x, bottom - top, width, runs.slot(),
                              &run_count, &run_cap)) {
            return nullptr;
        }
    }
    const double module_size = low_median_run(runs.get(), run_count);
    if (module_size < 1.0) {
        Py_RETURN_NONE;
    }
    return PyFloat_FromDouble(module_size);
}

PyObject *zeltra_find_finder_centers(PyObject *, PyObject *args) {
    Py_buffer view;
    int width, height;
    double variance;
    if (!PyArg_ParseTuple(args, "y*iid", &view, &width, &height, &variance)) {
        return nullptr;
    }
    BufferGuard guard(&view);
    if (!positive_image_matches(view.len, width, height)) {
        return raise_value_error(kLengthMismatch);
    }
    // Exactly this comparison: a NaN variance passes and then accepts every ratio.
    if (variance <= 0.0) {
        return raise_value_error("variance must be > 0.");
    }
    Scratch<FinderCenter> centers;
    centers.adopt(
        static_cast<FinderCenter *>(PyMem_Calloc(kInitialCenters, sizeof(FinderCenter))));
    if (centers.get() == nullptr) {
        return PyErr_NoMemory();
    }
    int center_cap = kInitialCenters;
    int center_count = 0;
    // The column cache only saves time: without it (allocation refused) the scan walks
    // every column afresh and gives the same result.
    Scratch<ColumnVerdict> cache;
    cache.adopt(static_cast<ColumnVerdict *>(PyMem_Calloc(static_cast<size_t>(width),
                                                          sizeof(ColumnVerdict))));
    if (scan_finder_rows(pixels_of(view), width, height, variance, cache.get(), centers.slot(),
                         &center_cap, &center_count) == ScanStatus::kFailed) {
        return nullptr;
    }
    CornerPick pick;
    if (center_count < 3 || !pick_corners(centers.get(), center_count, &pick)) {
        Py_RETURN_NONE;
    }
    const FinderCenter tl = centers.get()[pick.tl];
    const FinderCenter tr = centers.get()[pick.tr];
    const FinderCenter bl = centers.get()[pick.bl];
    return Py_BuildValue("(dddddd)", tl.x, tl.y, tr.x, tr.y, bl.x, bl.y);
}

PyObject *zeltra_sample_matrix_affine(PyObject *, PyObject *args) {
    Py_buffer view;
    int width, height, size, window;
    double tlx_d, tly_d, hx_d, hy_d, vx_d, vy_d;
    if (!PyArg_ParseTuple(args, "y*iiiddddddi", &view, &width, &height, &size, &tlx_d, &tly_d,
                          &hx_d, &hy_d, &vx_d, &vy_d, &window)) {
        return nullptr;
    }
    BufferGuard guard(&view);
    if (size <= 0 || !positive_image_matches(view.len, width, height)) {
        return raise_value_error(kLengthMismatch);
    }
    if (size <= 7) {
        return raise_value_error("QR size must be > 7.");
    }
    if (window <= 0 || window % 2 == 0) {
        return raise_value_error("window must be a positive odd integer.");
    }
    if (size > kMaxQrSize) {
        return raise_value_error("QR size is too large.");
    }
    const int radius = window >> 1;
    PyObject *result =
        PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size) * size);
    if (result == nullptr) {
        return nullptr;
    }
    auto *out = reinterpret_cast<uint8_t *>(PyBytes_AsString(result));
    const AffineGrid grid = affine_grid(size, tlx_d, tly_d, hx_d, hy_d, vx_d, vy_d);
    {
        UnlockedScope unlocked;
        sample_affine_kernel(pixels_of(view), width, height, size, grid, radius, out);
    }
    return result;
}

PyObject *zeltra_score_finder(PyObject *, PyObject *args) {
    Py_buffer view;
    int size;
    if (!PyArg_ParseTuple(args, "y*i", &view, &size)) {
        return nullptr;
    }
    BufferGuard guard(&view);
    if (size <= 20) {
        return PyFloat_FromDouble(0.0);
    }
    if (view.len < static_cast<int64_t>(size) * size) {
        return PyFloat_FromDouble(0.0);
    }
    const int matches = finder_matches(pixels_of(view), size);
    guard.release();
    return PyFloat_FromDouble(matches / 147.0);
}

// ===================================================================================
// Method table and module record
// ===================================================================================

PyMethodDef zeltra_methods[] = {
    {"strict_restore_qr_matrix", zeltra_strict_restore_qr_matrix, METH_VARARGS,
     "Strictly restore QR matrix."},
    {"find_black_bbox_bits", zeltra_find_black_bbox_bits, METH_VARARGS, "Find black bbox in bits."},
    {"sample_matrix_3x3", zeltra_sample_matrix_3x3, METH_VARARGS,
     "Sample QR matrix with 3x3 voting."},
    {"estimate_module_size", zeltra_estimate_module_size, METH_VARARGS, "Estimate module size."},
    {"find_finder_centers", zeltra_find_finder_centers, METH_VARARGS,
     "Find finder centers via run-length scan."},
    {"sample_matrix_affine", zeltra_sample_matrix_affine, METH_VARARGS,
     "Sample QR matrix using affine coordinates."},
    {"score_finder", zeltra_score_finder, METH_VARARGS, "Calculate finder score for a matrix."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef zeltra_module = {
    PyModuleDef_HEAD_INIT,
    "_zeltra",
    "C QR restore entrypoint for halvern.",
    -1,
    zeltra_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__zeltra(void) {
    return PyModule_Create2(&zeltra_module, PYTHON_API_VERSION);
}
