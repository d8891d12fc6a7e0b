// Faults of the disk at every place the engine writes: a refused rename (a file held open by
// a scanner or the game), a full disk, a short write, data lost at the close, a file or a
// folder that cannot be created. Whatever fails, every client file is its old or its new
// version, nothing half-made is left, and the error text names the path that failed.
#include "common/encoding.hpp"
#include "update/documents/json_document.hpp"
#include "update/documents/manifests.hpp"

#include "tests/support/http_test_server.hpp"
#include "tests/update/engine/engine_harness.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>

namespace qz4 {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

enum class fault { refused_rename, disk_full, short_write, lost_at_close, refused_create, refused_folder };

struct fault_row {
    const char* name;
    fault kind;
    // The end of the path that fails: the source of a rename, the file written, the folder.
    const wchar_t* site;
    // Which of plain.bin, packed.bin, launcher.exe and newdir/fresh.bin end up new: p, k, l, f.
    const char* installed;
    const wchar_t* head; // how error_text begins: the run's own text
    const wchar_t* line; // the line of error_text that names the site begins so
    // The work-area document that must be left as it was ("" for none).
    const char* document = "";
    // The new launcher stays complete at its "new-" name for the next start.
    bool launcher_waits = false;
    // No work area yet (a first start).
    bool first_start = false;
};

constexpr wchar_t unpack_plain[] = L"Failed to unpack 1 files\nFile: plain.bin";
constexpr wchar_t unpack_packed[] = L"Failed to unpack 1 files\nFile: packed.bin";
constexpr wchar_t download_failed[] = L"Failed to download ";
constexpr wchar_t no_index[] = L"Could not download update index.";
constexpr wchar_t rename_failed[] = L"Rename failed: ";
constexpr wchar_t write_failed[] = L"Write failed: ";
constexpr wchar_t cannot_create[] = L"Cannot create file: ";
constexpr wchar_t cannot_create_folder[] = L"Cannot create folder: ";

const fault_row fault_rows[] = {
    {"rename of a plain download", fault::refused_rename, L"downloading\\plain.bin.temp", "klf", unpack_plain,
     rename_failed},
    {"rename of an unpacked file", fault::refused_rename, L"\\packed.bin.unp", "plf", unpack_packed,
     rename_failed},
    {"rename of the new launcher to its new- name", fault::refused_rename, L"downloading\\launcher.exe.temp",
     "pkf", L"Failed to unpack 1 files\nFile: launcher.exe", rename_failed},
    {"self-update: the running launcher to old-", fault::refused_rename, L"\\launcher.exe", "pkf", L"",
     rename_failed, "", true},
    {"self-update: new- to the launcher", fault::refused_rename, L"\\new-launcher.exe", "pkf", L"",
     rename_failed, "", true},
    {"rename of version.json into place", fault::refused_rename, L"\\version.json.tmp", "", no_index,
     rename_failed, "version.json"},
    {"rename of cache.json into place", fault::refused_rename, L"\\cache.json.tmp", "pklf", L"",
     rename_failed, "cache.json"},
    {"disk full: plain download", fault::disk_full, L"downloading\\plain.bin.temp", "klf", download_failed,
     write_failed},
    {"disk full: packed download", fault::disk_full, L"downloading\\packed.bin.lzma2", "plf", download_failed,
     write_failed},
    {"disk full: unpacked file", fault::disk_full, L"\\packed.bin.unp", "plf", unpack_packed, write_failed},
    {"disk full: new launcher", fault::disk_full, L"downloading\\launcher.exe.temp", "pkf", download_failed,
     write_failed},
    {"disk full: cache.json", fault::disk_full, L"\\cache.json.tmp", "pklf", L"", write_failed, "cache.json"},
    {"disk full: config.json", fault::disk_full, L"\\config.json.tmp", "pklf", L"", write_failed,
     "config.json"},
    {"disk full: version.json", fault::disk_full, L"\\version.json.tmp", "", no_index, write_failed,
     "version.json"},
    {"disk full: index.json.lzma2 (the plain index follows)", fault::disk_full, L"\\index.json.lzma2", "pklf",
     L"", write_failed},
    {"disk full: index.json", fault::disk_full, L"\\index.json.tmp", "", no_index, write_failed,
     "index.json"},
    {"short write: plain download", fault::short_write, L"downloading\\plain.bin.temp", "klf",
     download_failed, write_failed},
    {"short write: unpacked file", fault::short_write, L"\\packed.bin.unp", "plf", unpack_packed,
     write_failed},
    {"short write: cache.json", fault::short_write, L"\\cache.json.tmp", "pklf", L"", write_failed,
     "cache.json"},
    {"short write: index.json", fault::short_write, L"\\index.json.tmp", "", no_index, write_failed,
     "index.json"},
    {"lost at close: packed download", fault::lost_at_close, L"downloading\\packed.bin.lzma2", "plf",
     download_failed, write_failed},
    {"lost at close: unpacked file", fault::lost_at_close, L"\\packed.bin.unp", "plf", unpack_packed,
     write_failed},
    {"lost at close: config.json", fault::lost_at_close, L"\\config.json.tmp", "pklf", L"", write_failed,
     "config.json"},
    {"lost at close: version.json", fault::lost_at_close, L"\\version.json.tmp", "", no_index, write_failed,
     "version.json"},
    {"refused create: plain download", fault::refused_create, L"downloading\\plain.bin.temp", "klf",
     download_failed, cannot_create},
    {"refused create: unpacked file", fault::refused_create, L"\\packed.bin.unp", "plf", unpack_packed,
     cannot_create},
    {"refused create: cache.json", fault::refused_create, L"\\cache.json.tmp", "pklf", L"", cannot_create,
     "cache.json"},
    {"refused create: index.json", fault::refused_create, L"\\index.json.tmp", "", no_index, cannot_create,
     "index.json"},
    {"refused folder: a new folder of the game", fault::refused_folder, L"\\game\\newdir", "pkl",
     L"Failed to unpack 1 files\nFile: newdir\\fresh.bin", cannot_create_folder},
    {"refused folder: in the download area", fault::refused_folder, L"\\downloading\\newdir", "pkl",
     download_failed, cannot_create_folder},
    {"refused folder: the download area", fault::refused_folder, L"\\downloading", "", download_failed,
     cannot_create_folder},
    {"refused folder: the work area", fault::refused_folder, L"\\.temp\\7c1e0d52-93ab-4f6e-b2d4-5a8e61f03c97",
     "", L"Can not create temp directory.", cannot_create_folder, "", false, true},
};

const std::string guid = test::test_product_guid;
const std::string work = ".temp/" + guid + "/";

struct client_file {
    const char* path;   // as the index names it
    const char* letter; // in fault_row::installed
    std::string old_content;
    std::string new_content;
    bool packed;
};

// What one row found, for the table of the closing note.
std::string outcome_of(const fault_row& row, bool result, const std::wstring& error_text) {
    std::string text = std::string(row.name) + " | run " + (result ? "true" : "false") +
                       " | new: " + (*row.installed ? row.installed : "none") + " | ";
    const std::size_t end = error_text.find(L"\n" + std::wstring(row.line));
    const std::wstring head = end == std::wstring::npos ? L"" : error_text.substr(0, end);
    std::string flat = wide_to_utf8(head);
    std::replace(flat.begin(), flat.end(), '\n', ' ');
    return text + (flat.empty() ? "(went through)" : flat);
}

TEST(Faults, EverySiteFailsCleanly) {
    const std::vector<client_file> client = {
        {"plain.bin", "p", "old plain", test::random_bytes(5000, 1), false},
        {"packed.bin", "k", "old packed", std::string(60000, 'k') + test::random_bytes(3000, 2), true},
        {"launcher.exe", "l", "the running launcher", "the new launcher", false},
        {"newdir\\fresh.bin", "f", "", "fresh", false},
    };
    std::string table;
    for (const fault_row& row : fault_rows) {
        SCOPED_TRACE(row.name);
        test::served_tree tree(std::string("t") + std::to_string(&row - fault_rows));
        test::game_install game("game");
        json entries = json::array();
        for (const client_file& file : client) {
            entries.push_back(tree.add_file(1, file.path, file.new_content, file.packed));
            if (!file.old_content.empty())
                game.write(file.path, file.old_content);
        }
        tree.publish(1, test::test_config({tree.base_url()}), entries);
        // What an earlier run left in the work area.
        const std::map<std::string, std::string> documents = {
            {"version.json", json_text_compact(version_document(0))},
            {"index.json", "the earlier index"},
            // Another update's: this run has its own to write.
            {"config.json", json_text_pretty(test::test_config({"http://earlier.invalid/"}))},
            {"cache.json", json_text_pretty(json{{"earlier.bin", {{"cache", 1}}}})},
        };
        if (!row.first_start)
            for (const auto& [name, content] : documents)
                game.write(work + name, content);

        test::faulty_files files;
        const std::wstring site = row.site;
        const auto at_site = [site](const std::wstring& path) { return test::ends_with_path(path, site); };
        switch (row.kind) {
        case fault::refused_rename:
            files.refuse_move = [at_site](const std::wstring& from, const std::wstring&) {
                return at_site(from);
            };
            break;
        case fault::disk_full:
        case fault::short_write: {
            const std::uint64_t room = row.kind == fault::disk_full ? 0 : 100;
            files.disk_full_after = [at_site,
                                     room](const std::wstring& path) -> std::optional<std::uint64_t> {
                return at_site(path) ? std::optional(room) : std::nullopt;
            };
            break;
        }
        case fault::lost_at_close:
            files.fail_finish = at_site;
            break;
        case fault::refused_create:
            files.refuse_create = [at_site](const std::wstring& path) -> std::optional<std::uint32_t> {
                return at_site(path) ? std::optional<std::uint32_t>(5) : std::nullopt;
            };
            break;
        case fault::refused_folder:
            files.refuse_directory = at_site;
            break;
        }

        test::recording_splash splash;
        bool restart = false;
        auto launcher = game.launcher({tree.base_url()}, &files);
        const bool result = launcher->run(splash, restart);
        const std::wstring& text = launcher->error_text;
        table += outcome_of(row, result, text) + "\n";

        // The pass fails or goes through as the engine's rules say; either way the game starts.
        EXPECT_TRUE(result);
        EXPECT_EQ(text.rfind(row.head, 0), 0U) << wide_to_utf8(text);
        const std::wstring line = std::wstring(*row.head ? L"\n" : L"") + row.line;
        const std::size_t at = text.find(line);
        ASSERT_NE(at, std::wstring::npos) << wide_to_utf8(text);
        EXPECT_NE(text.find(site, at), std::wstring::npos)
            << "the line names the path: " << wide_to_utf8(text);
        // Every file is its old or its new version, as the row says. A download that fails
        // at once may use up its retries before the check has queued the files after it, so
        // with a failed download the files the row names new may also still be old.
        const auto found = game.client_files();
        const bool either = std::wstring_view(row.head) == download_failed;
        std::map<std::string, std::string> expected;
        for (const client_file& file : client) {
            std::string path = file.path;
            std::replace(path.begin(), path.end(), '\\', '/');
            const auto now = found.find(path);
            bool is_new = std::string(row.installed).find(file.letter) != std::string::npos;
            if (is_new && either && (now == found.end() || now->second != file.new_content))
                is_new = false;
            if (is_new)
                expected[path] = file.new_content;
            else if (!file.old_content.empty())
                expected[path] = file.old_content;
            if (is_new && path == "launcher.exe")
                expected["old-launcher.exe"] = file.old_content;
        }
        EXPECT_EQ(restart, expected.contains("old-launcher.exe"));
        if (row.launcher_waits)
            expected["new-launcher.exe"] = "the new launcher";
        EXPECT_TRUE(test::same_files(found, expected)) << "no half files, no .unp, no stray new-";

        // Nothing half-made in the work area either.
        if (fs::exists(game.root() / ".temp")) {
            for (const auto& entry : fs::recursive_directory_iterator(game.root() / ".temp")) {
                const std::string name = entry.path().filename().string();
                EXPECT_FALSE(entry.is_regular_file() &&
                             (name.ends_with(".tmp") || name.ends_with(".lzma2") ||
                              entry.path().string().find("downloading") != std::string::npos))
                    << entry.path();
            }
        }
        if (*row.document) {
            EXPECT_EQ(game.read(work + row.document), documents.at(row.document)) << "the earlier copy stays";
        }
    }
    std::cout << "fault x site | outcome | files new | error text\n" << table;
}

} // namespace
} // namespace qz4
