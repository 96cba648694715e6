#include "package/text.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace {

using kelto::package::Text;

class TextSizes : public testing::TestWithParam<std::size_t> {};

// Around the inline capacity: 30 bytes inline, 31 on the heap.
TEST_P(TextSizes, KeepsBytesThroughCopyMoveAndAssignment) {
    std::string bytes(GetParam(), 'x');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>('a' + i % 26);
    if (!bytes.empty()) bytes[bytes.size() / 2] = '\0';  // embedded NUL survives

    Text original{std::string_view{bytes}};
    EXPECT_EQ(original.view(), bytes);
    EXPECT_EQ(original.data()[original.size()], '\0');

    Text copy = original;
    Text moved = std::move(copy);
    EXPECT_EQ(moved.view(), bytes);
    EXPECT_TRUE(copy.empty());  // NOLINT(bugprone-use-after-move): moved-from is empty

    Text assigned{"short"};
    assigned = moved;
    EXPECT_EQ(assigned.view(), bytes);
    assigned = Text{"again"};
    EXPECT_EQ(assigned.view(), "again");
    Text& alias = moved;
    moved = std::move(alias);  // self-move keeps the value
    EXPECT_EQ(moved.view(), bytes);
}

INSTANTIATE_TEST_SUITE_P(AroundInlineCapacity, TextSizes,
                         testing::Values(0, 1, 15, 16, Text::kInlineCapacity, Text::kInlineCapacity + 1, 200));

}  // namespace
