// halvern._engine: the native reader and decoder of halvern, bound to CPython.
//
// This file only parses and validates arguments, owns the caller's buffers and the
// scratch memory, releases the interpreter lock around the kernels and builds the
// results. The kernels (the other files of this folder) never touch the interpreter
// and never throw.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "decode.hpp"
#include "image.hpp"

namespace {

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
// Decoder entry points
// ===================================================================================

// ===================================================================================
// Reader entry points
// ===================================================================================

// ===================================================================================
// Module
// ===================================================================================

PyMethodDef engine_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef engine_module = {
    PyModuleDef_HEAD_INIT,
    "_engine",
    "Native QR reader and decoder for halvern.",
    -1,
    engine_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__engine(void) { return PyModule_Create(&engine_module); }
