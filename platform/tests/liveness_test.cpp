// Liveness marks: held while their holder lives, in this process or another, and no longer
// once the holder has let go or was killed; probes leave nothing behind.

#include <gtest/gtest.h>

#include "platform/liveness.hpp"
#include "test_support.hpp"

namespace platform_test {
namespace {

// args: mark flags. Holds the mark, sets word 0 of the flags block, and waits to be killed.
int hold_mark_child(const std::vector<std::string>& args) {
    auto mark = platform::LivenessMark::hold(args.at(0));
    auto flags = platform::SharedMemory::open(args.at(1), 64);
    if (!mark || !flags) {
        return 10;
    }
    word(*flags, 0).store(1);
    block_until_killed();
}

[[maybe_unused]] const bool registered = register_child_mode("mark-hold", hold_mark_child);

TEST(LivenessMark, IsHeldExactlyWhileItsHolderHoldsIt) {
    const std::string name = unique_name("mark");
    EXPECT_FALSE(platform::LivenessMark::held(name));
    EXPECT_FALSE(platform::LivenessMark::held(name)) << "a probe must not leave a mark behind";
    {
        auto mark = platform::LivenessMark::hold(name);
        ASSERT_TRUE(mark) << mark.error().what;
        EXPECT_TRUE(platform::LivenessMark::held(name));
        EXPECT_TRUE(platform::LivenessMark::held(name)) << "a probe must not take the mark away";
    }
    EXPECT_FALSE(platform::LivenessMark::held(name));

    const std::string flags_name = unique_name("mark flags");
    auto flags = platform::SharedMemory::open(flags_name, 64);
    ASSERT_TRUE(flags) << flags.error().what;
    auto child = spawn_child("mark-hold", {name, flags_name});
    ASSERT_TRUE(child) << child.error().what;
    ASSERT_TRUE(eventually([&] { return word(*flags, 0).load() == 1; }));
    EXPECT_TRUE(platform::LivenessMark::held(name));
    child->kill_hard();
    EXPECT_EQ(child->wait(), -1);
    EXPECT_FALSE(platform::LivenessMark::held(name));
}

}  // namespace
}  // namespace platform_test
