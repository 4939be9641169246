#pragma once
// Failures that kernels report without knowing Python. The boundary maps them:
//   ValueError    -> Python ValueError with the same message
//   InternalError -> pyo3_runtime.PanicException (a broken internal precondition)
//   std::bad_alloc, std::length_error -> MemoryError
#include <stdexcept>
#include <string>

namespace trakora {

struct ValueError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct InternalError : std::logic_error {
    using std::logic_error::logic_error;
};

// Index check with a readable message; `where` names the source module.
[[noreturn]] void throw_index_out_of_bounds(const char* where, std::size_t index, std::size_t len);

inline void check_index(const char* where, std::size_t index, std::size_t len) {
    if (index >= len) throw_index_out_of_bounds(where, index, len);
}

}  // namespace trakora
