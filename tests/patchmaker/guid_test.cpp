#include "patchmaker/guid.hpp"

#include <gtest/gtest.h>

#include <regex>

namespace qz4 {
namespace {

TEST(Guid, TextGroupsTheFieldsInLowerCase) {
    guid_value guid;
    guid.data1 = 0x7C1E0D52;
    guid.data2 = 0x93AB;
    guid.data3 = 0x4F6E;
    guid.data4 = {0xB2, 0xD4, 0x5A, 0x8E, 0x61, 0xF0, 0x3C, 0x97};
    EXPECT_EQ(guid_text(guid), "7c1e0d52-93ab-4f6e-b2d4-5a8e61f03c97");
    EXPECT_EQ(guid_text(guid_value{}), "00000000-0000-0000-0000-000000000000");
}

TEST(Guid, FreshGuidsAreRandomVersionFour) {
    const std::string first = new_guid_text();
    const std::string second = new_guid_text();
    EXPECT_NE(first, second);
    for (const auto& text : {first, second})
        EXPECT_TRUE(std::regex_match(
            text, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")))
            << text;
}

} // namespace
} // namespace qz4
