#include "core/pool.hpp"

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>

namespace trakora {
namespace {

// True on any thread while it executes a task; a nested parallel call then runs inline.
thread_local bool inside_task = false;

std::size_t configured_threads() {
    if (const char* env = std::getenv("TRAKORA_NUM_THREADS")) {
        char* end = nullptr;
        const unsigned long long n = std::strtoull(env, &end, 10);
        if (end != env && *end == '\0' && n >= 1 && n <= 1024) return static_cast<std::size_t>(n);
    }
    const unsigned hw = std::thread::hardware_concurrency();
    return hw == 0 ? 1 : hw;
}

class Pool {
public:
    explicit Pool(std::size_t threads) : size_(threads) {
        workers_.reserve(threads - 1);
        for (std::size_t i = 1; i < threads; ++i) workers_.emplace_back([this] { worker_loop(); });
    }
    // The pool lives until the process ends; its threads are never joined.
    ~Pool() = delete;

    std::size_t size() const { return size_; }

    void run(std::size_t n, const std::function<void(std::size_t)>& task) {
        std::lock_guard<std::mutex> submit(submit_mu_);
        {
            std::lock_guard<std::mutex> lk(mu_);
            task_ = &task;
            n_ = n;
            next_.store(0);
            completed_ = 0;
            error_ = nullptr;
            error_index_ = std::numeric_limits<std::size_t>::max();
            ++generation_;
        }
        cv_work_.notify_all();
        work();
        std::unique_lock<std::mutex> lk(mu_);
        cv_done_.wait(lk, [&] { return completed_ == n_ && busy_ == 0; });
        task_ = nullptr;
        if (error_) {
            std::exception_ptr e = error_;
            error_ = nullptr;
            std::rethrow_exception(e);
        }
    }

private:
    void worker_loop() {
        std::uint64_t seen = 0;
        std::unique_lock<std::mutex> lk(mu_);
        for (;;) {
            cv_work_.wait(lk, [&] { return generation_ != seen; });
            seen = generation_;
            if (task_ == nullptr) continue;
            ++busy_;
            lk.unlock();
            work();
            lk.lock();
            if (--busy_ == 0 && completed_ == n_) cv_done_.notify_all();
        }
    }

    // Takes task indices until none are left.
    void work() {
        inside_task = true;
        for (;;) {
            const std::size_t i = next_.fetch_add(1);
            if (i >= n_) break;
            std::exception_ptr failure;
            try {
                (*task_)(i);
            } catch (...) {
                failure = std::current_exception();
            }
            std::lock_guard<std::mutex> lk(mu_);
            if (failure && i < error_index_) {
                error_ = failure;
                error_index_ = i;
            }
            if (++completed_ == n_) cv_done_.notify_all();
        }
        inside_task = false;
    }

    const std::size_t size_;
    std::vector<std::thread> workers_;
    std::mutex submit_mu_;
    std::mutex mu_;
    std::condition_variable cv_work_;
    std::condition_variable cv_done_;
    const std::function<void(std::size_t)>* task_ = nullptr;
    std::size_t n_ = 0;
    std::atomic<std::size_t> next_{0};
    std::size_t completed_ = 0;
    std::size_t busy_ = 0;
    std::uint64_t generation_ = 0;
    std::exception_ptr error_;
    std::size_t error_index_ = 0;
};

std::atomic<Pool*> the_pool{nullptr};
alignas(std::mutex) unsigned char create_mu_storage[sizeof(std::mutex)];
std::mutex* create_mu = nullptr;

// In a forked child only the forking thread exists: abandon the parent's pool (its threads
// and possibly-held mutexes are gone) and let the next call build a fresh one.
void after_fork_in_child() {
    the_pool.store(nullptr);
    create_mu = new (create_mu_storage) std::mutex();
}

std::once_flag atfork_once;

Pool& instance() {
    Pool* p = the_pool.load(std::memory_order_acquire);
    if (p) return *p;
    std::call_once(atfork_once, [] {
        create_mu = new (create_mu_storage) std::mutex();
        pthread_atfork(nullptr, nullptr, after_fork_in_child);
    });
    std::lock_guard<std::mutex> lk(*create_mu);
    p = the_pool.load(std::memory_order_acquire);
    if (!p) {
        p = new Pool(configured_threads());
        the_pool.store(p, std::memory_order_release);
    }
    return *p;
}

}  // namespace

std::size_t pool_threads() { return instance().size(); }

void run_tasks(std::size_t n, const std::function<void(std::size_t)>& task) {
    if (n == 0) return;
    if (n == 1 || inside_task || instance().size() == 1) {
        for (std::size_t i = 0; i < n; ++i) task(i);
        return;
    }
    instance().run(n, task);
}

}  // namespace trakora
