// The update engine's pure decisions, as tables: host rotation, the remote configuration's
// checks and host lists, the download percentage, the failure report, the verification of
// one file and the launcher's layout.
#include "common/encoding.hpp"
#include "update/engine/download_progress.hpp"
#include "update/engine/file_verification.hpp"
#include "update/engine/host_list.hpp"
#include "update/engine/launcher_layout.hpp"
#include "update/engine/remote_config.hpp"
#include "update/engine/run_report.hpp"

#include <gtest/gtest.h>

namespace qz4 {
namespace {

using nlohmann::json;
constexpr wchar_t guid[] = L"7c1e0d52-93ab-4f6e-b2d4-5a8e61f03c97";

TEST(HostRotation, AttemptsAndDownloadsPickTheirHost) {
    struct row {
        std::uint32_t attempt, in_use;
        std::size_t count;
        std::uint32_t expected;
    };
    const row rows[] = {
        {0, 0, 2, 0}, {1, 0, 2, 1}, {2, 0, 2, 0}, // three failing attempts: 0, 1, 0
        {0, 1, 2, 1}, {1, 1, 2, 1}, {2, 1, 2, 0}, // a later pass entering at 1: 1, 1, 0
        {0, 4, 3, 1},                             // a host index beyond a shortened list
        {0, 1, 1, 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message()
                     << "attempt " << r.attempt << " in use " << r.in_use << " of " << r.count);
        EXPECT_EQ(attempt_host_index(r.attempt, r.in_use, r.count), r.expected);
    }
    EXPECT_EQ(download_host_index(4, 3), 1u);
}

TEST(HostRotation, APassTakesAHostThatHasNotServedOneOnDownTheList) {
    const std::vector<std::string> two = {"http://a/", "http://b/"};
    pass_hosts served;
    EXPECT_EQ(served.host_for_pass(two, 0), 0u);
    EXPECT_EQ(served.host_for_pass(two, 3), 1u) << "modulo the list";
    served.note_served("HTTP://A/");
    EXPECT_EQ(served.host_for_pass(two, 0), 1u) << "letter case does not make another host";
    EXPECT_EQ(served.host_for_pass({"http://b/", "http://a/"}, 1), std::nullopt) << "never back up the list";
    served.note_served("http://b/");
    EXPECT_EQ(served.host_for_pass(two, 0), std::nullopt);
    EXPECT_EQ(served.host_for_pass({}, 0), std::nullopt);

    pass_hosts many;
    std::vector<std::string> hosts;
    for (std::size_t i = 0; i <= pass_hosts::pass_limit; ++i)
        hosts.push_back("http://m" + std::to_string(i) + "/");
    for (std::size_t i = 0; i < pass_hosts::pass_limit; ++i) {
        ASSERT_EQ(many.host_for_pass(hosts, static_cast<std::uint32_t>(i)), i);
        many.note_served(hosts[i]);
    }
    EXPECT_EQ(many.host_for_pass(hosts, static_cast<std::uint32_t>(pass_hosts::pass_limit)), std::nullopt)
        << "no run takes more passes than the limit";
}

TEST(RemoteConfig, EveryCheckInOrderWithItsText) {
    const json good = {
        {"version", 2}, {"guid", "7C1E0D52-93AB-4F6E-B2D4-5A8E61F03C97"}, {"hosts", {"http://h/"}}};
    auto with = [&](const char* key, json value) {
        json config = good;
        config[key] = std::move(value);
        return json{{"config", config}};
    };
    auto without = [&](const char* key) {
        json config = good;
        config.erase(key);
        return json{{"config", config}};
    };
    struct row {
        const char* what;
        json index;
        config_status expected;
    };
    const row rows[] = {
        {"good, guid in other letter case", json{{"config", good}}, config_status::ok},
        {"null index", json(), config_status::empty},
        {"no config", json::object(), config_status::empty},
        {"config {}", json{{"config", json::object()}}, config_status::empty},
        {"config []", json{{"config", json::array()}}, config_status::empty},
        {"index an array", json::array({1}), config_status::invalid},
        {"config a string", json{{"config", "x"}}, config_status::invalid},
        {"config an array", json{{"config", {1, 2}}}, config_status::invalid},
        {"version 0", with("version", 0), config_status::invalid_version},
        {"version -1", with("version", -1), config_status::invalid_version},
        {"version false", with("version", false), config_status::invalid_version},
        {"version a string", with("version", "2"), config_status::invalid},
        {"version missing", without("version"), config_status::invalid},
        {"version huge float", with("version", 1e30), config_status::invalid},
        {"hosts []", with("hosts", json::array()), config_status::invalid},
        {"hosts a string", with("hosts", "http://h/"), config_status::invalid},
        {"hosts with a number", with("hosts", {"http://h/", 5}), config_status::invalid},
        {"hosts of both schemes, any letter case", with("hosts", {"HTTPS://h/", "Http://g/"}),
         config_status::ok},
        {"hosts with ftp://", with("hosts", {"http://h/", "ftp://h/"}), config_status::invalid},
        {"hosts with FILE://", with("hosts", {"FILE:///c:/qz4/"}), config_status::invalid},
        {"hosts with a scheme alone", with("hosts", {"https://"}), config_status::invalid},
        {"hosts without a scheme", with("hosts", {"h/qz4/"}), config_status::invalid},
        {"guid missing", without("guid"), config_status::invalid},
        {"guid {}", with("guid", json::object()), config_status::invalid},
        {"guid a number", with("guid", 5), config_status::invalid},
        {"guid another product", with("guid", "00000000-0000-0000-0000-000000000000"),
         config_status::guid_mismatch},
        {"guid empty string", with("guid", ""), config_status::guid_mismatch},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(check_remote_config(r.index, guid).status, r.expected);
    }

    const json v1 = {{"version", 1}, {"guid", good["guid"]}, {"host", "http://one/"}};
    EXPECT_EQ(check_remote_config(json{{"config", v1}}, guid).status, config_status::ok);
    json v1_bad = v1;
    v1_bad["host"] = 7;
    EXPECT_EQ(check_remote_config(json{{"config", v1_bad}}, guid).status, config_status::invalid);
    v1_bad["host"] = "ftp://one/";
    EXPECT_EQ(check_remote_config(json{{"config", v1_bad}}, guid).status, config_status::invalid);
    v1_bad.erase("host");
    EXPECT_EQ(check_remote_config(json{{"config", v1_bad}}, guid).status, config_status::invalid);
    json truncated = v1;
    truncated["version"] = 1.9;
    EXPECT_EQ(check_remote_config(json{{"config", truncated}}, guid).version, 1);

    EXPECT_STREQ(config_failure_text(config_status::empty), L"Remote update config is empty");
    EXPECT_STREQ(config_failure_text(config_status::invalid_version), L"Invalid version number");
    EXPECT_STREQ(config_failure_text(config_status::invalid), L"Remote config is invalid");
    EXPECT_STREQ(config_failure_text(config_status::guid_mismatch), L"GUID mismatch");
    EXPECT_FALSE(validate_config(4, json("not an object")));
    EXPECT_FALSE(validate_config(0, good));
}

TEST(RemoteConfig, HostListsFromTheConfiguration) {
    std::vector<std::string> hosts = {"http://a/", "http://b/"};
    EXPECT_FALSE(take_configured_hosts(2, {{"hosts", {"http://x", "http://y/"}}}, hosts));
    EXPECT_EQ(hosts, (std::vector<std::string>{"http://x/", "http://y/"}));

    EXPECT_FALSE(take_configured_hosts(1, {{"host", "HTTP://X/"}}, hosts)) << "already in the list";
    // Written without its final slash, a host is still the one the list holds.
    EXPECT_FALSE(take_configured_hosts(1, {{"host", "http://y"}}, hosts));
    EXPECT_EQ(hosts.size(), 2u);

    EXPECT_TRUE(take_configured_hosts(1, {{"host", "http://new/"}}, hosts)) << "retrieve again through it";
    EXPECT_EQ(hosts, std::vector<std::string>{"http://new/"});
    EXPECT_FALSE(take_configured_hosts(1, {{"host", "http://new"}}, hosts)) << "and only once";
}

TEST(DownloadProgress, ThePassShareOnTheBarAndInPercent) {
    struct row {
        std::uint64_t done;
        double received;
        std::uint64_t total;
        std::uint32_t bar;
        int percent;
    };
    const row rows[] = {
        {0, 0, 1000, 0, 0},        {0, 500, 1000, 275, 50},     {500, 250, 1000, 412, 75},
        {1000, 0, 1000, 550, 100}, {900, 5000, 1000, 550, 100}, // more than announced: full, not beyond
        {0, -3, 1000, 0, 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << r.done << " + " << r.received << " of " << r.total);
        const auto progress = pass_download_progress(r.done, r.received, r.total);
        ASSERT_TRUE(progress.has_value());
        EXPECT_EQ(progress->bar, r.bar);
        EXPECT_EQ(progress->percent, r.percent);
    }
    EXPECT_FALSE(pass_download_progress(0, 100, 0).has_value()) << "nothing queued has a size";
}

TEST(FailureReport, DownloadsFirstThenUnpacks) {
    const std::vector<std::wstring> downloads = {L"a.dat (CURL error: 22)", L"b.dat (CURL error: 28)"};
    const std::vector<std::wstring> unpacks = {L"c.dat"};
    auto report = make_failure_report(5, 1, downloads, unpacks, false);
    EXPECT_EQ(report.status_text, L"Download failed for 5 files");
    EXPECT_EQ(report.error_text,
              L"Failed to download 5 files\nFile: a.dat (CURL error: 22)\nFile: b.dat (CURL error: 28)");
    report = make_failure_report(0, 1, {}, unpacks, false);
    EXPECT_EQ(report.status_text, L"Unpack failed for 1 files");
    EXPECT_EQ(report.error_text, L"Failed to unpack 1 files\nFile: c.dat");
    report = make_failure_report(3, 0, {}, {}, true);
    EXPECT_EQ(report.status_text, L"Ошибка загрузки 3 файлов");
    EXPECT_EQ(report.error_text, L"Failed to download 3 files") << "the detail stays English";
}

// A file as the decision sees it, counting what it was asked.
class fake_file final : public installed_file {
public:
    bool present = true;
    std::uint64_t length = 4;
    bool stamp_matches = false;
    std::string content_digest = "abcd";
    std::string content_sha256;
    int hashed = 0;

    bool exists() override { return present; }
    std::uint64_t size() override { return length; }
    bool cached_as(const std::string& digest) override { return stamp_matches && digest == "abcd"; }
    digest_texts digests() override {
        ++hashed;
        return {content_digest, content_sha256};
    }
};

TEST(FileVerification, PatternsSizesStampsDigestsAndAcceptedEdits) {
    check_rules rules;
    rules.hard_patterns.add_pattern("client\\*.exe");
    rules.soft_patterns.add_pattern("config\\*.*");
    rules.accepted[normalize_path(L"c:\\game\\config\\user.cfg")] = {"eeee"};

    struct row {
        const char* what;
        std::wstring local_path;
        std::int32_t version;
        bool version_changed;
        fake_file file;
        verification_outcome expected;
        int hashes;
        bool repair = false;
    };
    auto file = [](bool present, std::uint64_t length, bool stamp, std::string digest) {
        fake_file f;
        f.present = present;
        f.length = length;
        f.stamp_matches = stamp;
        f.content_digest = std::move(digest);
        return f;
    };
    using v = verification_outcome;
    row rows[] = {
        {"no pattern: not hashed", L"data\\x.bin", 3, true, file(true, 9, false, "ffff"), v::up_to_date, 0},
        {"no pattern, missing", L"data\\x.bin", 3, false, file(false, 0, false, ""), v::needs_update, 0},
        {"hard, right digest", L"client\\game.exe", 3, false, file(true, 4, true, "abcd"), v::up_to_date, 1},
        {"hard, upper-case index digest", L"client\\game.exe", 3, false, file(true, 4, false, "ABCD"),
         v::up_to_date, 1},
        {"hard, wrong size: hashed for the accepted digests", L"client\\game.exe", 3, false,
         file(true, 5, false, "abcd"), v::needs_update, 1},
        {"hard, wrong size, version 2: not hashed", L"client\\game.exe", 2, false,
         file(true, 5, false, "abcd"), v::needs_update, 0},
        {"soft, stamp, same update", L"config\\a.cfg", 3, false, file(true, 4, true, "zzzz"), v::up_to_date,
         0},
        {"soft, stamp, new update", L"config\\a.cfg", 3, true, file(true, 4, true, "abcd"), v::up_to_date, 1},
        {"soft, no stamp", L"config\\a.cfg", 3, false, file(true, 4, false, "ffff"), v::needs_update, 1},
        {"accepted edit, version 3", L"config\\user.cfg", 3, false, file(true, 4, false, "eeee"), v::accepted,
         1},
        {"accepted edit of another size", L"config\\user.cfg", 3, false, file(true, 7, false, "eeee"),
         v::accepted, 1},
        {"version 2 ignores accepted digests", L"config\\user.cfg", 2, false, file(true, 4, false, "eeee"),
         v::needs_update, 1},
        {"an edit not accepted", L"config\\user.cfg", 3, false, file(true, 4, false, "dddd"), v::needs_update,
         1},
        // A repair hashes what a stamp would have vouched for, and nothing else.
        {"repair: soft, stamp, same update, damaged", L"config\\a.cfg", 3, false, file(true, 4, true, "zzzz"),
         v::needs_update, 1, true},
        {"repair: soft, stamp, same update, right", L"config\\a.cfg", 3, false, file(true, 4, true, "abcd"),
         v::up_to_date, 1, true},
        {"repair: no pattern", L"data\\x.bin", 3, false, file(true, 9, false, "ffff"), v::up_to_date, 0,
         true},
        {"repair: accepted edit", L"config\\user.cfg", 3, false, file(true, 4, true, "eeee"), v::accepted, 1,
         true},
    };
    for (auto& r : rows) {
        SCOPED_TRACE(r.what);
        update_task task;
        task.local_path = r.local_path;
        task.target_path = L"C:\\Game\\" + r.local_path;
        task.local_size = 4;
        task.local_sha1 = "abcd";
        const verification_rules with{rules, r.version, r.version_changed, r.repair};
        EXPECT_EQ(verify_file(task, with, r.file), r.expected);
        EXPECT_EQ(r.file.hashed, r.hashes);
    }

    // An empty file whose index digest is the empty text is up to date.
    update_task empty;
    empty.local_path = L"client\\empty.exe";
    empty.local_size = 0;
    fake_file nothing = file(true, 0, false, "");
    EXPECT_EQ(verify_file(empty, verification_rules{rules, 3, false}, nothing), v::up_to_date);
}

// Sizes past 4 GiB are compared in full: a file whose size agrees only in the low 32 bits is
// another file, found so by its size alone, without reading gigabytes to hash them.
TEST(FileVerification, SizesBeyond4GiB) {
    check_rules rules;
    rules.hard_patterns.add_pattern("client\\*");
    rules.soft_patterns.add_pattern("config\\*");
    constexpr std::uint64_t beyond = (std::uint64_t{1} << 32) + 4; // low 32 bits: 4
    struct row {
        const char* what;
        std::wstring local_path;
        std::uint64_t index_size;
        std::uint64_t file_size;
        bool stamp;
        verification_outcome expected;
        int hashes;
    };
    using v = verification_outcome;
    const row rows[] = {
        {"hard, same size", L"client\\world.pak", beyond, beyond, false, v::up_to_date, 1},
        {"hard, index past 4 GiB, file its low bits", L"client\\world.pak", beyond, 4, false, v::needs_update,
         0},
        {"hard, file past 4 GiB, index its low bits", L"client\\world.pak", 4, beyond, false, v::needs_update,
         0},
        {"soft, stamp, same size", L"config\\world.pak", 5ULL << 30, 5ULL << 30, true, v::up_to_date, 0},
        {"soft, stamp, low bits only", L"config\\world.pak", beyond, 4, true, v::needs_update, 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        update_task task;
        task.local_path = r.local_path;
        task.target_path = L"C:\\Game\\" + r.local_path;
        task.local_size = r.index_size;
        task.local_sha1 = "abcd";
        fake_file found;
        found.length = r.file_size;
        found.stamp_matches = r.stamp;
        const verification_rules with{rules, 3, false};
        EXPECT_EQ(verify_file(task, with, found), r.expected);
        EXPECT_EQ(found.hashed, r.hashes);
        EXPECT_EQ(size_shows_update(task, with, r.file_size), r.expected == v::needs_update);
    }
}

TEST(LauncherLayout, PathsBesideTheExecutable) {
    const auto exe = layout_for_executable(L"C:\\Games\\X\\launcher.exe");
    EXPECT_EQ(exe.game_dir, L"C:\\Games\\X");
    EXPECT_EQ(exe.temp_root, L"C:\\Games\\X\\.temp");
    EXPECT_EQ(exe.old_exe_path, L"C:\\Games\\X\\old-launcher.exe");
    EXPECT_EQ(exe.new_exe_path, L"C:\\Games\\X\\new-launcher.exe");
    // A prefix is dropped once, and only from a longer name.
    EXPECT_EQ(layout_for_executable(L"C:\\X\\new-old-l.exe").exe_path, L"C:\\X\\old-l.exe");
    EXPECT_EQ(layout_for_executable(L"C:\\X\\old-").exe_path, L"C:\\X\\old-");
    const auto area = layout_for_product(exe.temp_root, guid);
    EXPECT_EQ(area.temp_dir, L"C:\\Games\\X\\.temp\\7c1e0d52-93ab-4f6e-b2d4-5a8e61f03c97");
    EXPECT_EQ(area.download_dir, area.temp_dir + L"\\downloading");
    EXPECT_EQ(area.index_lzma2_path, area.temp_dir + L"\\index.json.lzma2");
    EXPECT_EQ(area.config_json_path, area.temp_dir + L"\\config.json");
}

} // namespace
} // namespace qz4
