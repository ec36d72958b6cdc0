// The test binaries' entry point: the runner mode of tool_runner.hpp, else GoogleTest.

#include <gtest/gtest.h>

#include "tool_runner.hpp"

int main(int argc, char** argv) {
    if (const auto status = tools_test::serve_runner(argc, argv)) {
        return *status;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
