#pragma once
// A minimal test harness for the C++ unit tests: TEST(name) { CHECK(...); }
#include <cstdio>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace check {

struct Case {
    const char* name;
    void (*run)();
};

inline std::vector<Case>& cases() {
    static std::vector<Case> all;
    return all;
}
inline int& failures() {
    static int count = 0;
    return count;
}

struct Register {
    Register(const char* name, void (*run)()) { cases().push_back({name, run}); }
};

template <class A, class B>
void equal(const A& a, const B& b, const char* expr_a, const char* expr_b, const char* file, int line) {
    if (a == b) return;
    std::ostringstream message;
    message << file << ":" << line << ": CHECK_EQ(" << expr_a << ", " << expr_b << ") failed: [" << a << "] != [" << b
            << "]";
    std::fprintf(stderr, "%s\n", message.str().c_str());
    ++failures();
}

}  // namespace check

#define TEST(name)                                           \
    static void name();                                      \
    static ::check::Register name##_registered(#name, name); \
    static void name()

#define CHECK(cond)                                                                       \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: CHECK(%s) failed\n", __FILE__, __LINE__, #cond); \
            ++::check::failures();                                                        \
        }                                                                                 \
    } while (0)

#define CHECK_EQ(a, b) ::check::equal((a), (b), #a, #b, __FILE__, __LINE__)

int main() {
    int failed_cases = 0;
    for (const auto& test : ::check::cases()) {
        int before = ::check::failures();
        test.run();
        if (::check::failures() != before) {
            ++failed_cases;
            std::fprintf(stderr, "FAILED %s\n", test.name);
        }
    }
    std::printf("%d passed, %d failed\n", static_cast<int>(::check::cases().size()) - failed_cases, failed_cases);
    return failed_cases == 0 ? 0 : 1;
}
