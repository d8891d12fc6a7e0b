#include "app/launcher_main.hpp"
#include "common/format.hpp"
#include "tests/support/system_probe.hpp"
#include "texts/language.hpp"
#include "texts/player_texts.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace qz4 {
namespace {

bool is_cyrillic(wchar_t c) {
    return c >= 0x0400 && c <= 0x04FF;
}

TEST(Texts, EveryTextExistsInBothLanguages) {
    for (const text_id id : all_text_ids()) {
        SCOPED_TRACE(testing::Message() << "text " << static_cast<int>(id));
        const std::wstring english = text_for(id, false);
        const std::wstring russian = text_for(id, true);
        ASSERT_FALSE(english.empty());
        ASSERT_FALSE(russian.empty());
        EXPECT_TRUE(std::none_of(english.begin(), english.end(), is_cyrillic));
        EXPECT_TRUE(std::any_of(russian.begin(), russian.end(), is_cyrillic));
    }
}

TEST(Texts, OnlyTheConnectionAndCheckTextsEndInASpaceAndOnlyInEnglish) {
    for (const text_id id : all_text_ids()) {
        SCOPED_TRACE(testing::Message() << "text " << static_cast<int>(id));
        const bool spaced = id == text_id::connecting || id == text_id::connection_attempt ||
                            id == text_id::checking_game_files;
        EXPECT_EQ(std::wstring(text_for(id, false)).ends_with(L' '), spaced);
        EXPECT_FALSE(std::wstring(text_for(id, true)).ends_with(L' '));
    }
}

TEST(Texts, FormatsTakeTheirArguments) {
    EXPECT_EQ(format_wide(text_for(text_id::downloading_updates, false), 42), L"Downloading updates (42%)");
    EXPECT_EQ(format_wide(text_for(text_id::downloading_updates, true), 7),
              L"\u0417\u0430\u0433\u0440\u0443\u0437\u043A\u0430 "
              L"\u043E\u0431\u043D\u043E\u0432\u043B\u0435\u043D\u0438\u0439 (7%)");
    EXPECT_EQ(format_wide(text_for(text_id::connection_attempt, false), 2u), L"Connection attempt #2... ");
    EXPECT_EQ(format_wide(text_for(text_id::download_failed_status, false), 3u),
              L"Download failed for 3 files");
    EXPECT_EQ(format_wide(failure_text::download_entry, L"Data\\a.txt", "CURL error: 22"),
              L"Data\\a.txt (CURL error: 22)");
    EXPECT_EQ(format_wide(text_for(text_id::not_enough_space, false), L"1.2 GiB", L"300.5 MiB"),
              L"Not enough disk space: 1.2 GiB needed, 300.5 MiB free");
    EXPECT_EQ(format_wide(failure_text::not_enough_space, L"1.2 GiB", L"300.5 MiB", L"C:\\Games\\X"),
              L"Not enough disk space: the update needs 1.2 GiB, 300.5 MiB is free on C:\\Games\\X.");
}

TEST(Texts, FailureBoxesAppendTheEnglishDetail) {
    const std::wstring english = text_for(text_id::update_check_failed, false);
    EXPECT_EQ(update_failure_message(L"", false), english);
    EXPECT_EQ(update_failure_message(failure_text::cancelled, false),
              english + L"\n\nError: Cancelled by user");
    EXPECT_EQ(update_failure_message(failure_text::cancelled, true),
              std::wstring(text_for(text_id::update_check_failed, true)) +
                  L"\n\n\u041E\u0448\u0438\u0431\u043A\u0430: Cancelled by user");
    EXPECT_EQ(game_start_failure_message(2, false), L"An error occurred while starting the gamet.\nError: "
                                                    L"0x00000002.\n\nPlease full check your game client.");
    EXPECT_NE(game_start_failure_message(0xC0000135u, true).find(L"0xC0000135"), std::wstring::npos);
}

TEST(Language, RussianForRussianUkrainianAndBelarusianOnly) {
    EXPECT_TRUE(is_russian_language(0x0419));
    EXPECT_TRUE(is_russian_language(0x0422));
    EXPECT_TRUE(is_russian_language(0x0423));
    EXPECT_FALSE(is_russian_language(0x0819)); // Russian (Moldova): the whole identifier counts
    EXPECT_FALSE(is_russian_language(0x0409));
    EXPECT_FALSE(is_russian_language(0));
}

TEST(Language, LocaleNamesMapToLanguageIdentifiers) {
    struct row {
        const char* locale;
        std::uint16_t id;
    };
    const row rows[] = {{"ru_RU.UTF-8", 0x0419}, {"ru", 0x0419},
                        {"uk_UA", 0x0422},       {"be_BY@latin", 0x0423},
                        {"RU_ru", 0x0419},       {"en_US.UTF-8", 0x0409},
                        {"C", 0x0409},           {"POSIX", 0x0409},
                        {"rus", 0x0409},         {"", 0x0409}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.locale);
        EXPECT_EQ(language_id_from_locale_name(r.locale), r.id);
    }
}

TEST(Language, TheSystemLanguageIsReadOncePosix) {
    // Only here can a test change what the system answers: the locale environment.
    if (const auto reason = test::posix_only_skip_reason(); !reason.empty())
        GTEST_SKIP() << reason;
    const std::uint16_t first = system_lang_id();
    const char* other = is_russian_language(first) ? "en_US.UTF-8" : "ru_RU.UTF-8";
    const char* previous = std::getenv("LC_ALL");
    const std::string saved = previous != nullptr ? previous : "";
    test::set_environment("LC_ALL", other);
    const std::uint16_t asked_again = query_system_language();
    const std::uint16_t cached = system_lang_id();
    const bool russian = use_russian();
    test::set_environment("LC_ALL", saved.c_str());
    EXPECT_NE(asked_again, first) << "the system's answer did change";
    EXPECT_EQ(cached, first);
    EXPECT_EQ(russian, is_russian_language(first));
}

} // namespace
} // namespace qz4
