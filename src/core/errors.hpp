#pragma once
// Failures that kernels report without knowing Python. The boundary maps them:
//   ValueError    -> Python ValueError with the same message
//   InternalError -> pyo3_runtime.PanicException (a broken internal precondition)
//   std::bad_alloc, std::length_error -> MemoryError
#include <stdexcept>
#include <string>

namespace trakora {

// The message is kept whole: what() ends at the first NUL character, message() does not.
class ValueError : public std::runtime_error {
public:
    explicit ValueError(const std::string& message) : std::runtime_error(message), message_(message) {}
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
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
