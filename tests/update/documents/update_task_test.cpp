// Index entries as update tasks: the paths and digests a task carries, the entries that are
// skipped, and the paths a hostile index must not make the launcher write to.
#include "update/documents/update_task.hpp"

#include "update/documents/manifests.hpp"

#include <gtest/gtest.h>

namespace qz4 {
namespace {

using nlohmann::json;

const task_locations where = {
    L"C:\\Games\\Tarnwood",
    L"C:\\Games\\Tarnwood\\.temp\\{guid}\\downloading",
    L"C:\\Games\\Tarnwood\\qz4launcher.exe",
    L"C:\\Games\\Tarnwood\\new-qz4launcher.exe",
};

json entry_for(std::string_view l) {
    return {{"l", l}, {"l_sha1", "ABC"}, {"l_size", 10}, {"r", "1/x"}, {"r_size", 10}};
}

TEST(UpdateTask, PackedFile) {
    const json entry = json::parse(R"({"u":"ignored","l":"Client\\Data\\Лес.pak","l_sha1":"A9993E36",
        "l_size":5,"r":"3/client/data/Лес.pak.lzma2","r_size":1234,"r_pack":"LZMA2","r_sha1":"DA39A3EE"})");
    const auto task = make_update_task(entry, where);
    ASSERT_NE(task, nullptr);
    EXPECT_EQ(task->remote_path, "3/client/data/Лес.pak.lzma2");
    EXPECT_EQ(task->local_path, L"Client\\Data\\Лес.pak");
    EXPECT_EQ(task->target_path, L"C:\\Games\\Tarnwood\\Client\\Data\\Лес.pak");
    EXPECT_EQ(task->unpack_path, L"C:\\Games\\Tarnwood\\Client\\Data\\Лес.pak.unp");
    EXPECT_EQ(task->local_size, 5U);
    EXPECT_EQ(task->local_sha1, "a9993e36");
    EXPECT_EQ(task->download_path,
              L"C:\\Games\\Tarnwood\\.temp\\{guid}\\downloading\\Client\\Data\\Лес.pak.lzma2");
    EXPECT_EQ(task->remote_size, 1234U);
    EXPECT_EQ(task->pack_format, "lzma2");
    EXPECT_EQ(task->download_sha1, "da39a3ee");
    EXPECT_FALSE(task->is_self);
}

// Sizes as the index gives them, in full up to 2^63 - 1; past that, negative or fractional
// the entry is refused (and reported by the pass), never wrapped into a small size.
TEST(UpdateTask, SizesInFull) {
    struct row {
        const char* text;
        std::optional<std::uint64_t> size; // nullopt: the entry is refused
    };
    const row rows[] = {
        {"0", 0},
        {"4294967295", 0xFFFFFFFFULL},
        {"4294967296", 0x100000000ULL},
        {"4294967301", 0x100000005ULL},
        {"5368709120", 5ULL << 30},
        {"5368709120.0", 5ULL << 30},
        {"9223372036854775807", 0x7FFFFFFFFFFFFFFFULL},
        {"9223372036854775808", std::nullopt},
        {"18446744073709551615", std::nullopt},
        {"18446744073709551616", std::nullopt},
        {"9.2233720368547758e18", std::nullopt}, // 2^63 once read as a double
        {"1e300", std::nullopt},
        {"-1", std::nullopt},
        {"-9223372036854775808", std::nullopt},
        {"1.5", std::nullopt},
        {"4294967296.5", std::nullopt},
        {"\"5\"", std::nullopt},
    };
    for (const auto& r : rows) {
        for (const char* member : {"l_size", "r_size"}) {
            SCOPED_TRACE(std::string(member) + " " + r.text);
            json entry = entry_for("client\\world.pak");
            entry[member] = json::parse(r.text);
            const auto task = make_update_task(entry, where);
            ASSERT_EQ(task != nullptr, r.size.has_value());
            if (task) {
                EXPECT_EQ(std::string(member) == "l_size" ? task->local_size : task->remote_size, *r.size);
            }
        }
    }
    // Written as the whole number, and read back as it was written.
    file_record record;
    record.l_size = 5ULL << 30;
    record.r_size = 0x7FFFFFFFFFFFFFFFULL;
    const json written = file_record_json(record);
    EXPECT_NE(written.dump().find("\"l_size\":5368709120,"), std::string::npos) << written.dump();
    EXPECT_NE(written.dump().find("\"r_size\":9223372036854775807"), std::string::npos) << written.dump();
    const file_record read = read_file_record(written);
    EXPECT_EQ(read.l_size, record.l_size);
    EXPECT_EQ(read.r_size, record.r_size);
}

TEST(UpdateTask, PlainFileAndUnknownFormat) {
    struct row {
        const char* name;
        json pack;
        const char* format;
        const wchar_t* download_path;
        const char* download_sha1;
    };
    const std::wstring area = where.download_dir + L"\\a.txt";
    const row rows[] = {
        {"absent", nullptr, "none", L".temp", "abc"},
        {"empty object", json::object(), "none", L".temp", "abc"},
        {"written out", "None", "none", L".temp", "abc"},
        // Kept, so that the file fails at unpacking and the run reports it.
        {"unknown", "Zip-2_x", "zip-2_x", L".zip-2_x", "def"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        json entry = entry_for("a.txt");
        if (!r.pack.is_null())
            entry["r_pack"] = r.pack;
        entry["r_sha1"] = "DEF";
        const auto task = make_update_task(entry, where);
        ASSERT_NE(task, nullptr);
        EXPECT_EQ(task->pack_format, r.format);
        EXPECT_EQ(task->download_path, area + r.download_path);
        EXPECT_EQ(task->download_sha1, r.download_sha1);
    }
}

TEST(UpdateTask, SlashesBecomeBackslashes) {
    const auto task = make_update_task(entry_for("Client/Data\\a/b.pak"), where);
    ASSERT_NE(task, nullptr);
    EXPECT_EQ(task->local_path, L"Client\\Data\\a\\b.pak");
    EXPECT_EQ(task->download_path, where.download_dir + L"\\Client\\Data\\a\\b.pak.temp");
    EXPECT_EQ(task->unpack_path, where.game_dir + L"\\Client\\Data\\a\\b.pak.unp");
}

TEST(UpdateTask, TheLauncherItselfIsWrittenBesideItself) {
    const auto self = make_update_task(entry_for("QZ4Launcher.EXE"), where);
    ASSERT_NE(self, nullptr);
    EXPECT_TRUE(self->is_self) << "letter case does not hide the launcher";
    self->attempts = 2;
    prepare_for_download(*self, where);
    EXPECT_EQ(self->attempts, 0U);
    EXPECT_EQ(self->target_path, where.new_exe_path);
    EXPECT_EQ(self->unpack_path, L"C:\\Games\\Tarnwood\\QZ4Launcher.EXE.unp");

    const auto other = make_update_task(entry_for("client\\qz4launcher.exe"), where);
    ASSERT_NE(other, nullptr);
    EXPECT_FALSE(other->is_self);
    prepare_for_download(*other, where);
    EXPECT_EQ(other->target_path, L"C:\\Games\\Tarnwood\\client\\qz4launcher.exe");
}

TEST(UpdateTask, MalformedEntriesAreSkipped) {
    for (const char* entry : {
             R"({"l_sha1":"a","l_size":1,"r":"1/a","r_size":1})",
             R"({"l":"a","l_size":1,"r":"1/a","r_size":1})",
             R"({"l":"a","l_sha1":"a","r":"1/a","r_size":1})",
             R"({"l":"a","l_sha1":"a","l_size":1,"r_size":1})",
             R"({"l":"a","l_sha1":"a","l_size":1,"r":"1/a"})",
             R"({"l":5,"l_sha1":"a","l_size":1,"r":"1/a","r_size":1})",
             R"({"l":"a","l_sha1":"a","l_size":"1","r":"1/a","r_size":1})",
             R"({"l":"a","l_sha1":"a","l_size":1,"r":"1/a","r_size":1,"r_pack":"lzma2"})",
             R"({"l":"a","l_sha1":"a","l_size":1,"r":"1/a","r_size":1,"r_pack":true,"r_sha1":"b"})",
             R"({"l":"a","l_sha1":"a","l_size":1,"r":"1/a","r_size":1,"r_pack":"lzma2","r_sha1":null})",
             R"(["l","a"])",
             R"("a")",
             R"(null)",
         }) {
        SCOPED_TRACE(entry);
        EXPECT_EQ(make_update_task(json::parse(entry), where), nullptr);
    }
}

TEST(UpdateTask, OnlyPathsBelowTheGameDirectory) {
    struct row {
        const char* l;
        bool accepted;
    };
    const row rows[] = {
        {"client\\Client.exe", true},
        {"Data\\My File.txt", true},
        {"client/sub/a.dll", true},
        {".hidden\\...a", true},
        {"Данные\\файл.txt", true},
        {"console.txt\\COM10\\nullify", true},
        // Absolute, on a drive, on a server, or a device path.
        {"\\Windows\\evil.dll", false},
        {"/etc/evil", false},
        {"C:\\Windows\\evil.dll", false},
        {"C:evil.dll", false},
        {"\\\\server\\share\\evil.dll", false},
        {"\\\\?\\C:\\evil.dll", false},
        // Climbing out, however spelled: Windows drops trailing dots and blanks.
        {"..\\evil.dll", false},
        {"client\\..\\..\\evil.dll", false},
        {"client/../../evil.dll", false},
        {"client\\.. \\evil.dll", false},
        {"client\\. .\\evil.dll", false},
        {"client\\...\\evil.dll", false},
        {"..", false},
        // Names that are not what they seem, or no name at all.
        {"client\\Client.exe.", false},
        {"client\\Client.exe ", false},
        {"client\\.\\a.dll", false},
        {"client\\\\a.dll", false},
        {"client\\", false},
        {"", false},
        {"client\\a.dll:stream", false},
        {"client\\a\x01.dll", false},
        {"client\\a?.dll", false},
        {"client\\a*.dll", false},
        {"client\\<a>.dll", false},
        {"client\\a|b", false},
        {"client\\\"a\"", false},
        // Devices, which Windows opens in any directory.
        {"client\\NUL", false},
        {"client\\nul.txt", false},
        {"client\\Con .log", false},
        {"aux", false},
        {"client\\com1.dll", false},
        {"client\\LPT9", false},
        {"client\\COM\xc2\xb9", false},
        {"conout$", false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.l);
        EXPECT_EQ(make_update_task(entry_for(r.l), where) != nullptr, r.accepted);
    }
}

TEST(UpdateTask, APackFormatCannotSteerTheDownload) {
    for (const char* format : {"lzma2\\..\\..\\..\\evil", "lzma2/../x", "x:y", "a.b", "lzma2 ", "ä"}) {
        SCOPED_TRACE(format);
        json entry = entry_for("client\\data.pak");
        entry["r_pack"] = format;
        entry["r_sha1"] = "def";
        EXPECT_EQ(make_update_task(entry, where), nullptr);
    }
}

// With the publisher's keys an entry needs well-formed SHA-256 digests of what is checked:
// the file, and the packed copy when there is one. Without keys they are not looked at.
TEST(UpdateTask, WithKeysTheSha256DigestsAreNeeded) {
    const std::string upper(64, 'A');
    const std::string lower(64, 'a');
    const std::string copy(64, 'c');
    struct row {
        const char* name;
        json changes; // merged into a plain entry of 10 bytes
        bool usable_with_keys;
        std::string local_sha256;
        std::string download_sha256;
    };
    const json packed = {{"r_pack", "lzma2"}, {"r_sha1", "def"}};
    const auto with = [](json changes, const json& more) {
        changes.update(more);
        return changes;
    };
    const row rows[] = {
        {"plain, upper case", {{"l_sha256", upper}}, true, lower, lower},
        {"plain, no digest", json::object(), false, "", ""},
        {"plain, 63 digits", {{"l_sha256", upper.substr(1)}}, false, "", ""},
        {"plain, not hex", {{"l_sha256", std::string(63, 'a') + "g"}}, false, "", ""},
        {"plain, a number", {{"l_sha256", 5}}, false, "", ""},
        {"plain, null", {{"l_sha256", nullptr}}, false, "", ""},
        {"plain, empty text for 10 bytes", {{"l_sha256", ""}}, false, "", ""},
        {"empty file, empty text", {{"l_sha256", ""}, {"l_size", 0}, {"r_size", 0}}, true, "", ""},
        {"plain, only the copy's", {{"r_sha256", lower}}, false, "", ""},
        {"plain, a copy's of no use is ignored", {{"l_sha256", lower}, {"r_sha256", 5}}, true, lower, lower},
        {"packed, both", with(packed, {{"l_sha256", lower}, {"r_sha256", copy}}), true, lower, copy},
        {"packed, no copy digest", with(packed, {{"l_sha256", lower}}), false, "", ""},
        {"packed, copy digest malformed", with(packed, {{"l_sha256", lower}, {"r_sha256", "c"}}), false, "",
         ""},
        {"packed, no file digest", with(packed, {{"r_sha256", copy}}), false, "", ""},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        json entry = entry_for("a.txt");
        entry.update(r.changes);
        const auto keyed = make_update_task(entry, where, digest_kinds::sha1_and_sha256);
        EXPECT_EQ(keyed != nullptr, r.usable_with_keys);
        if (keyed) {
            EXPECT_EQ(keyed->digests, digest_kinds::sha1_and_sha256);
            EXPECT_EQ(keyed->local_sha256, r.local_sha256);
            EXPECT_EQ(keyed->download_sha256, r.download_sha256);
        }
        const auto plain = make_update_task(entry, where);
        ASSERT_NE(plain, nullptr) << "without keys the digests are not looked at";
        EXPECT_EQ(plain->digests, digest_kinds::sha1);
        EXPECT_EQ(plain->local_sha256, "");
        EXPECT_EQ(plain->download_sha256, "");
    }
}

// A file whose SHA-1 matches but whose SHA-256 does not is as wrong as any other.
TEST(UpdateTask, BothDigestsMustMatchWhereBothAreChecked) {
    const std::string file(64, 'a');
    const std::string copy(64, 'c');
    const std::string other(64, 'e');
    json entry = entry_for("a.txt");
    entry.update({{"r_pack", "lzma2"}, {"r_sha1", "def"}, {"l_sha256", file}, {"r_sha256", copy}});
    const auto keyed = make_update_task(entry, where, digest_kinds::sha1_and_sha256);
    const auto plain = make_update_task(entry, where);
    ASSERT_NE(keyed, nullptr);
    ASSERT_NE(plain, nullptr);
    using c = digest_check;
    struct row {
        const char* name;
        digest_texts found;
        c installed_with_keys;
        c download_with_keys;
        c installed_without;
    };
    const row rows[] = {
        {"the file, as index writes it", {"abc", file}, c::match, c::sha1_mismatch, c::match},
        {"the file, SHA-1 in upper case", {"ABC", file}, c::match, c::sha1_mismatch, c::match},
        {"the file's SHA-1 only", {"abc", other}, c::sha256_mismatch, c::sha1_mismatch, c::match},
        {"the file's SHA-1, SHA-256 not taken", {"abc", ""}, c::sha256_mismatch, c::sha1_mismatch, c::match},
        {"the copy", {"def", copy}, c::sha1_mismatch, c::match, c::sha1_mismatch},
        {"the copy's SHA-1 only", {"def", file}, c::sha1_mismatch, c::sha256_mismatch, c::sha1_mismatch},
        {"neither", {"abd", file}, c::sha1_mismatch, c::sha1_mismatch, c::sha1_mismatch},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(check_installed(*keyed, r.found), r.installed_with_keys);
        EXPECT_EQ(check_download(*keyed, r.found), r.download_with_keys);
        EXPECT_EQ(check_installed(*plain, r.found), r.installed_without);
    }
}

} // namespace
} // namespace qz4
