#include <cstring>
#include <exception>

#include "check.hpp"

namespace check {

namespace {
int failures = 0;
}

std::vector<Case>& registry() {
    static std::vector<Case> cases;
    return cases;
}

void fail(const char* file, int line, const std::string& what) {
    ++failures;
    std::cerr << file << ":" << line << ": check failed: " << what << "\n";
}

}  // namespace check

int main(int argc, char** argv) {
    int run = 0;
    for (const auto& c : check::registry()) {
        if (argc > 1 && std::strstr(c.name, argv[1]) == nullptr) continue;
        ++run;
        const int before = check::failures;
        try {
            c.body();
        } catch (const check::Stop&) {
        } catch (const std::exception& e) {
            check::fail(c.name, 0, std::string("unexpected exception: ") + e.what());
        }
        std::cout << (check::failures == before ? "ok    " : "FAIL  ") << c.name << "\n";
    }
    std::cout << run << " cases, " << check::failures << " failed checks\n";
    return (check::failures == 0 && run > 0) ? 0 : 1;
}
