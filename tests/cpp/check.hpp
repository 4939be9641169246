#pragma once
// A minimal test harness: TEST_CASE registers a function, CHECK records failures and
// keeps going, REQUIRE stops the case. main() runs every case (or those whose name
// contains argv[1]) and exits non-zero on any failure.
#include <cmath>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace check {

struct Case {
    const char* name;
    std::function<void()> body;
};
std::vector<Case>& registry();
void fail(const char* file, int line, const std::string& what);
struct Stop {};

struct Register {
    Register(const char* name, std::function<void()> body) { registry().push_back({name, std::move(body)}); }
};

template <class A, class B>
std::string describe(const A& a, const B& b) {
    std::ostringstream os;
    os.precision(9);
    os << a << " vs " << b;
    return os.str();
}

}  // namespace check

#define CHECK_CONCAT2(a, b) a##b
#define CHECK_CONCAT(a, b) CHECK_CONCAT2(a, b)
#define TEST_CASE(name)                                                                      \
    static void CHECK_CONCAT(check_case_, __LINE__)();                                       \
    static check::Register CHECK_CONCAT(check_reg_, __LINE__)(name, &CHECK_CONCAT(check_case_, __LINE__)); \
    static void CHECK_CONCAT(check_case_, __LINE__)()

#define CHECK(cond) \
    do { if (!(cond)) check::fail(__FILE__, __LINE__, #cond); } while (0)
#define CHECK_EQ(a, b) \
    do { const auto _a = (a); const auto _b = (b); \
         if (!(_a == _b)) check::fail(__FILE__, __LINE__, std::string(#a " == " #b ": ") + check::describe(_a, _b)); } while (0)
#define CHECK_NEAR(a, b, tol) \
    do { const double _a = (a), _b = (b); \
         if (!(std::fabs(_a - _b) <= (tol))) check::fail(__FILE__, __LINE__, std::string(#a " ~= " #b ": ") + check::describe(_a, _b)); } while (0)
#define REQUIRE(cond) \
    do { if (!(cond)) { check::fail(__FILE__, __LINE__, #cond); throw check::Stop{}; } } while (0)
