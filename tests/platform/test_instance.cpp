// The instance string from the command line.
#include <gtest/gtest.h>

#include "platform/Instance.h"

TEST(Instance, OnlyExactDigitsOneToFour) {
    auto of = [](const char* a) {
        char prog[] = "zentrova";
        std::string s = a;
        char* argv[] = {prog, s.data(), nullptr};
        return instanceFromArgs(2, argv);
    };
    EXPECT_EQ(of("1"), "1");
    EXPECT_EQ(of("4"), "4");
    EXPECT_EQ(of("5"), "");
    EXPECT_EQ(of("01"), "");
    EXPECT_EQ(of("2 "), "");
    char prog[] = "zentrova";
    char* argv[] = {prog, nullptr};
    EXPECT_EQ(instanceFromArgs(1, argv), "");
    // Only the first argument counts.
    EXPECT_EQ(instanceFromArgs(std::vector<std::string>{"3", "extra"}), "3");
    EXPECT_EQ(instanceFromArgs(std::vector<std::string>{"7", "2"}), "");
    EXPECT_EQ(instanceFromArgs(std::vector<std::string>{}), "");
    EXPECT_EQ(instanceFromArgs(std::vector<std::string>{""}), "");
    setInstance("4");
    EXPECT_EQ(Instance(), "4");
    setInstance("");
    EXPECT_EQ(Instance(), "");
}
