#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <numeric>
#include <random>
#include <stdexcept>

#include "check.hpp"
#include "core/pool.hpp"

using namespace trakora;

TEST_CASE("parallel_map gathers results in index order") {
    const auto out = parallel_map<std::size_t>(10007, 13, [](std::size_t i) { return i * i; });
    REQUIRE(out.size() == 10007);
    for (std::size_t i = 0; i < out.size(); ++i) CHECK_EQ(out[i], i * i);
}

TEST_CASE("parallel_for covers every index exactly once") {
    std::vector<std::atomic<int>> hits(5000);
    parallel_for(hits.size(), 7, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) hits[i]++;
    });
    for (auto& h : hits) CHECK_EQ(h.load(), 1);
    parallel_for(0, 1, [&](std::size_t, std::size_t) { CHECK(false); });
}

TEST_CASE("the exception of the lowest failing task is rethrown") {
    std::string message;
    try {
        run_tasks(64, [](std::size_t i) {
            if (i % 10 == 3) throw std::runtime_error("task " + std::to_string(i));
        });
    } catch (const std::runtime_error& e) {
        message = e.what();
    }
    CHECK_EQ(message, std::string("task 3"));
    // The pool is still usable afterwards.
    const auto out = parallel_map<int>(100, 1, [](std::size_t i) { return int(i); });
    CHECK_EQ(out[99], 99);
}

TEST_CASE("nested parallel calls run inline") {
    const auto out = parallel_map<std::size_t>(8, 1, [](std::size_t i) {
        const auto inner = parallel_map<std::size_t>(100, 1, [i](std::size_t j) { return i + j; });
        return std::accumulate(inner.begin(), inner.end(), std::size_t(0));
    });
    for (std::size_t i = 0; i < 8; ++i) CHECK_EQ(out[i], 100 * i + 4950);
}

TEST_CASE("parallel unstable sort sorts large inputs") {
    std::mt19937 rng(7);
    std::vector<std::pair<int, int>> v(100000);
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = {int(rng() % 1000), int(i)};
    auto reference = v;
    auto by_key_desc = [](const auto& a, const auto& b) { return b.first < a.first; };
    parallel_sort_unstable(v, by_key_desc);
    CHECK(std::is_sorted(v.begin(), v.end(), by_key_desc));
    std::sort(reference.begin(), reference.end());
    auto sorted_copy = v;
    std::sort(sorted_copy.begin(), sorted_copy.end());
    CHECK(sorted_copy == reference);  // a permutation of the input
}

TEST_CASE("a forked child can use the pool after the parent did") {
    (void)parallel_map<int>(1000, 1, [](std::size_t i) { return int(i); });
    const pid_t child = fork();
    REQUIRE(child >= 0);
    if (child == 0) {
        alarm(20);  // a deadlock ends the child with SIGALRM instead of hanging the test
        const auto out = parallel_map<int>(1000, 1, [](std::size_t i) { return int(i) * 2; });
        _exit(out[999] == 1998 ? 0 : 1);
    }
    int status = 0;
    REQUIRE(waitpid(child, &status, 0) == child);
    CHECK(WIFEXITED(status));
    CHECK_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0);
}
