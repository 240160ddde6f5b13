// Compiled into every GoogleTest program of the project: the test process
// owns what it starts, and whatever a test leaves running, however it
// ended, is killed and reaped before the next test begins.

#include "processes.hpp"

#include <cstdio>
#include <gtest/gtest.h>

namespace {

class end_processes : public testing::EmptyTestEventListener {
    void OnTestEnd(const testing::TestInfo &test) override {
        const auto left = sandbox::end_descendants();
        if (left.empty()) {
            return;
        }
        std::fprintf(stderr, "%s.%s left %zu processes running; ended:", test.test_suite_name(),
                     test.name(), left.size());
        for (const auto &p : left) {
            std::fprintf(stderr, " %s", p.c_str());
        }
        std::fprintf(stderr, "\n");
    }
    void OnTestProgramEnd(const testing::UnitTest &) override {
        sandbox::end_descendants();
    }
};

[[maybe_unused]] const bool installed = [] {
    sandbox::own_descendants();
    testing::UnitTest::GetInstance()->listeners().Append(new end_processes);
    return true;
}();

} // namespace
