#include "package/outline/option_map.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

using kelto::package::OptionMap;

// Below and above the size where the map starts hashing, a later entry of
// the same name replaces the earlier one and keeps its place.
class OptionMapSizes : public testing::TestWithParam<int> {};

TEST_P(OptionMapSizes, LaterEntriesReplaceEarlierOnes) {
    OptionMap<int> map;
    const int count = GetParam();
    for (int i = 0; i < count; ++i) map.insert_or_assign("option" + std::to_string(i), i);
    for (int i = 0; i < count; i += 3) map.insert_or_assign("option" + std::to_string(i), -i);
    ASSERT_EQ(map.size(), static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        const int* value = map.get("option" + std::to_string(i));
        ASSERT_NE(value, nullptr) << i;
        EXPECT_EQ(*value, i % 3 == 0 ? -i : i);
    }
    EXPECT_EQ(map.get("absent"), nullptr);
    int position = 0;
    for (const auto& [name, value] : map) EXPECT_EQ(name, "option" + std::to_string(position++));
}

INSTANTIATE_TEST_SUITE_P(AroundTheHashingThreshold, OptionMapSizes, testing::Values(0, 1, 16, 17, 100, 100'000));

}  // namespace
