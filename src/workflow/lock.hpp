#pragma once
// The interpreter lock released around a kernel, for the workflow extension's functions.
#include "python/numpy_api.hpp"

namespace trakora::workflow {

// Releases the interpreter lock for its lifetime; taken back before any exception leaves.
class WithoutInterpreterLock {
public:
    WithoutInterpreterLock() : state_(PyEval_SaveThread()) {}
    WithoutInterpreterLock(const WithoutInterpreterLock&) = delete;
    WithoutInterpreterLock& operator=(const WithoutInterpreterLock&) = delete;
    ~WithoutInterpreterLock() { PyEval_RestoreThread(state_); }

private:
    PyThreadState* state_;
};

template <class F>
auto without_lock(F&& f) {
    WithoutInterpreterLock released;
    return f();
}

}  // namespace trakora::workflow
