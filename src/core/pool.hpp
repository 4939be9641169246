#pragma once
// The process-wide worker pool (in the core namespace: parallel_for, parallel_map,
// parallel_sort_unstable, run_tasks). Created on first use with TRAKORA_NUM_THREADS threads
// (default: the hardware threads), never torn down; reset in a child after fork() so the
// child never waits on threads it does not have. Work is split into tasks whose results
// are gathered by index, so results never depend on the number of threads.
#include <algorithm>
#include <cstddef>
#include <functional>
#include <iterator>
#include <utility>
#include <vector>

namespace trakora {

// Number of threads that take part in a parallel call (workers plus the caller).
std::size_t pool_threads();

// Runs task(i) for i in [0, n) on the pool and the calling thread, and returns when all
// have finished. If tasks throw, the exception of the lowest failing index is rethrown.
// Runs inline when n <= 1, when the pool has one thread, or when called from inside a task.
void run_tasks(std::size_t n, const std::function<void(std::size_t)>& task);

// Calls body(begin, end) over consecutive chunks of at most `grain` indices of [0, n).
template <class Body>
void parallel_for(std::size_t n, std::size_t grain, Body&& body) {
    if (n == 0) return;
    grain = std::max<std::size_t>(grain, 1);
    const std::size_t chunks = (n + grain - 1) / grain;
    run_tasks(chunks, [&](std::size_t c) {
        const std::size_t begin = c * grain;
        body(begin, std::min(n, begin + grain));
    });
}

// Returns {f(0), f(1), ..., f(n-1)}, computed in parallel, in index order.
template <class T, class F>
std::vector<T> parallel_map(std::size_t n, std::size_t grain, F&& f) {
    std::vector<T> out(n);
    parallel_for(n, grain, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) out[i] = f(i);
    });
    return out;
}

// Unstable sort on the pool. Chunks of a fixed size are sorted and then merged pairwise in
// a fixed tree, so the order of equal elements depends on the input only, never on the
// number of threads.
template <class T, class Cmp>
void parallel_sort_unstable(std::vector<T>& v, Cmp cmp) {
    constexpr std::size_t chunk = std::size_t(1) << 14;
    const std::size_t n = v.size();
    if (n <= chunk) {
        std::sort(v.begin(), v.end(), cmp);
        return;
    }
    parallel_for(n, chunk, [&](std::size_t b, std::size_t e) { std::sort(v.begin() + b, v.begin() + e, cmp); });
    std::vector<T> buf(n);
    std::vector<T>* src = &v;
    std::vector<T>* dst = &buf;
    for (std::size_t width = chunk; width < n; width *= 2) {
        const std::size_t pairs = (n + 2 * width - 1) / (2 * width);
        run_tasks(pairs, [&](std::size_t p) {
            const std::size_t b = p * 2 * width;
            const std::size_t m = std::min(n, b + width);
            const std::size_t e = std::min(n, b + 2 * width);
            std::merge(std::make_move_iterator(src->begin() + b), std::make_move_iterator(src->begin() + m),
                       std::make_move_iterator(src->begin() + m), std::make_move_iterator(src->begin() + e),
                       dst->begin() + b, cmp);
        });
        std::swap(src, dst);
    }
    if (src != &v) v = std::move(*src);
}

}  // namespace trakora
