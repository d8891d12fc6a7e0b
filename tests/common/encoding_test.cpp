#include "common/encoding.hpp"

#include <gtest/gtest.h>

namespace qz4 {
namespace {

TEST(Encoding, RoundTripsUtf8) {
    const std::string utf8 =
        "Data\\My File.txt \xD0\x97\xD0\xB0\xD0\xBF\xD1\x83\xD1\x81\xD0\xBA \xE2\x82\xAC \xF0\x9F\x8E\xAE";
    const std::wstring wide = utf8_to_wide(utf8);
    EXPECT_EQ(wide_to_utf8(wide), utf8);
    EXPECT_EQ(wide.substr(0, 17), L"Data\\My File.txt ");
    EXPECT_EQ(wide_to_narrow(L"7c1e0d52", code_page_ansi), "7c1e0d52");
}

TEST(Encoding, InvalidBytesBecomeReplacementCharacters) {
    EXPECT_EQ(utf8_to_wide("a\xFF"
                           "b"),
              L"a\uFFFDb");
    // How many replacement characters an ill-formed sequence yields differs between system
    // converters; what matters is that nothing else appears and the valid text survives.
    const std::string ill_formed[] = {"\xC0\xAF", "\xED\xA0\x80", "\xE2\x82", "\xF4\x90\x80\x80", "\x80"};
    for (const auto& bytes : ill_formed) {
        SCOPED_TRACE(testing::Message() << "bytes " << testing::PrintToString(bytes));
        const std::wstring wide = utf8_to_wide("<" + bytes + ">");
        ASSERT_GE(wide.size(), 3u);
        EXPECT_EQ(wide.front(), L'<');
        EXPECT_EQ(wide.back(), L'>');
        for (std::size_t i = 1; i + 1 < wide.size(); ++i)
            EXPECT_EQ(wide[i], L'\uFFFD');
    }
}

TEST(Encoding, TextEndsAtFirstZeroAndLongTextsConvertWhole) {
    EXPECT_EQ(utf8_to_wide(std::string("ab\0cd", 5)), L"ab");
    const std::string long_text(20000, 'z');
    EXPECT_EQ(utf8_to_wide(long_text).size(), 20000u);
    EXPECT_EQ(wide_to_utf8(std::wstring(20000, L'\u0416')).size(), 40000u);
}

} // namespace
} // namespace qz4
