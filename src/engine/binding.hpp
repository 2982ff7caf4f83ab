// What the two halves of halvern._engine's binding share: the public entry points
// (module.cpp) and the test entry points (hooks.cpp). The resource guards, and the
// argument parsers and result builders both halves use.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstdlib>

#include "decode.hpp"
#include "image.hpp"
#include "stages.hpp"

namespace halvern::binding {

namespace engine = halvern::engine;

// ===================================================================================
// Resource guards
// ===================================================================================

// Owns a buffer view and releases it exactly once. Declare it before any RawScratch:
// destruction runs in reverse order, so scratch memory goes before the buffer.
class BufferGuard {
public:
    BufferGuard() noexcept = default;
    ~BufferGuard() { release(); }
    BufferGuard(const BufferGuard &) = delete;
    BufferGuard &operator=(const BufferGuard &) = delete;

    Py_buffer *view() noexcept { return &view_; }
    // Call after the buffer protocol filled view(); from then on it is released here.
    void own() noexcept { owned_ = true; }
    void release() noexcept {
        if (owned_) {
            PyBuffer_Release(&view_);
            owned_ = false;
        }
    }

private:
    Py_buffer view_{};
    bool owned_ = false;
};

// Memory from the C allocator, freed when the scope ends. It may be used without the
// interpreter lock; PyMem_Raw* would do the same but is not in the 3.11 stable ABI
// (and its default is this allocator).
template <typename T>
class RawScratch {
public:
    RawScratch() noexcept = default;
    ~RawScratch() { std::free(ptr_); }
    RawScratch(const RawScratch &) = delete;
    RawScratch &operator=(const RawScratch &) = delete;

    // Allocates `count` zeroed elements; false (and no memory) when that fails.
    bool allocate(std::size_t count) noexcept {
        std::free(ptr_);
        ptr_ = static_cast<T *>(std::calloc(count == 0 ? 1 : count, sizeof(T)));
        return ptr_ != nullptr;
    }
    // Allocates `count` elements left uninitialized (the kernel writes before it reads):
    // zeroing a read's scratch cost more than the read of a small image.
    bool allocate_uninitialized(std::size_t count) noexcept {
        std::free(ptr_);
        ptr_ = count > SIZE_MAX / sizeof(T) ? nullptr : static_cast<T *>(std::malloc((count == 0 ? 1 : count) * sizeof(T)));
        return ptr_ != nullptr;
    }
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

// Uninitialized scratch of `count` elements, or MemoryError (also when the size does
// not fit memory).
template <typename T>
bool allocate_or_raise(RawScratch<T> &scratch, std::uint64_t count) {
    if (count > PY_SSIZE_T_MAX / sizeof(T) || !scratch.allocate_uninitialized(static_cast<std::size_t>(count))) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

// A tuple (list: a list) of n items, make(i) giving item i as a new reference (nullptr
// with the exception set); nullptr when an item or the sequence cannot be made.
template <typename Make>
PyObject *sequence_of(Py_ssize_t n, Make &&make, bool list = false) {
    PyObject *out = list ? PyList_New(n) : PyTuple_New(n);
    for (Py_ssize_t i = 0; out != nullptr && i < n; ++i) {
        PyObject *item = make(i);
        if (item == nullptr) {
            Py_CLEAR(out);
        } else if (list) {
            PyList_SetItem(out, i, item);
        } else {
            PyTuple_SetItem(out, i, item);
        }
    }
    return out;
}

inline const std::uint8_t *buffer_bytes(BufferGuard &buffer) {
    return static_cast<const std::uint8_t *>(buffer.view()->buf);
}

// ===================================================================================
// Arguments and results (module.cpp)
// ===================================================================================

// The Python value of a decoded symbol (see module.cpp).
PyObject *build_decoded(const engine::DecodedSymbol &symbol);

// halvern.Decoded of a decoded symbol where it can be built natively, else the tuple
// build_decoded gives (see module.cpp).
PyObject *decoded_object(const engine::DecodedSymbol &symbol);

// Sets the ValueError of a failed decode; returns nullptr.
PyObject *raise_decode_error(const engine::DecodedSymbol &symbol);

// The matrix argument (matrix, size): a buffer of at least (exact: exactly) size * size
// bytes, size the width of some QR symbol. Returns false with the exception set.
bool parse_matrix(PyObject *args, BufferGuard &buffer, int &size, bool exact);

// The image argument of the reader's entry points (see module.cpp). Returns false with
// the exception set.
bool parse_image(PyObject *image, Py_ssize_t width, Py_ssize_t height, Py_ssize_t stride, BufferGuard &buffer,
                 engine::ImageView &out);

// The bits binarize() makes of the image in `args` (image, width, height, stride,
// binarizer), and whether the image was bilevel; nullptr with the exception set.
PyObject *binarized(PyObject *args, bool &bilevel);

// ===================================================================================
// The test entry points (hooks.cpp)
// ===================================================================================

// Single stages for the tests, added to the module apart from its public entry points.
extern PyMethodDef hook_methods[];

}  // namespace halvern::binding
