// Test entry: serves the child modes of the multi-process tests before GoogleTest starts.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <map>

#include "platform/event.hpp"
#include "platform/paths.hpp"
#include "test_support.hpp"

namespace platform_test {

namespace {
std::map<std::string, ChildMain>& child_modes() {
    static std::map<std::string, ChildMain> modes;
    return modes;
}
}  // namespace

bool register_child_mode(const char* mode, ChildMain main) {
    return child_modes().emplace(mode, main).second;
}

int run_child_mode(const std::string& mode, const std::vector<std::string>& args) {
    const auto found = child_modes().find(mode);
    if (found == child_modes().end()) {
        std::fprintf(stderr, "unknown child mode %s\n", mode.c_str());
        return 100;
    }
    return found->second(args);
}

platform::Result<platform::ChildProcess> spawn_child(const std::string& mode,
                                                     std::vector<std::string> args) {
    args.insert(args.begin(), {kChildFlag, mode});
    return platform::ChildProcess::spawn(platform::current_executable_path(), args);
}

std::string unique_name(const std::string& what) {
    static std::atomic<int> counter{0};
    return "qz.platform/test " + std::to_string(platform::current_process_id()) + "-" +
           std::to_string(counter++) + "-" + what;
}

void block_until_killed() {
    platform::Event never;
    for (;;) {
        never.wait();
    }
}

}  // namespace platform_test

int main(int argc, char** argv) {
    if (argc >= 3 && std::string(argv[1]) == platform_test::kChildFlag) {
        return platform_test::run_child_mode(argv[2],
                                             std::vector<std::string>(argv + 3, argv + argc));
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
