// Indexes written to harm: paths that Windows or Linux would read as somewhere outside the
// game directory, server paths that point at another host, packed files longer than they
// say, and numbers that would wrap. Canary files beside the game and in the system's
// temporary folder must stay as they are, and nothing may appear outside the game.
#include "common/encoding.hpp"
#include "common/sha1.hpp"
#include "update/documents/json_document.hpp"
#include "update/documents/manifests.hpp"

#include "tests/support/http_test_server.hpp"
#include "tests/update/engine/engine_harness.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <set>

namespace qz4 {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

// Every entry below a directory, with its size (0 for directories).
std::map<std::string, std::uintmax_t> snapshot(const fs::path& dir, const fs::path& skip) {
    std::map<std::string, std::uintmax_t> entries;
    for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator(); ++it) {
        if (it->path() == skip) {
            it.disable_recursion_pending();
            continue;
        }
        entries[it->path().string()] = it->is_regular_file() ? it->file_size() : 0;
    }
    return entries;
}

// Names at the top of a directory that carry the marker; a directory that cannot be listed
// has none.
std::set<std::string> marked_names(const fs::path& dir, const std::string& marker) {
    std::set<std::string> names;
    std::error_code error;
    for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error))
        if (it->path().filename().string().find(marker) != std::string::npos)
            names.insert(it->path().filename().string());
    return names;
}

std::string with_slashes(std::string text) {
    std::replace(text.begin(), text.end(), '\\', '/');
    return text;
}

// `l` values that must never be written where they point. `beside` is the canary beside the
// game directory in the program's form, `temp` the one in the temporary folder, `mark` a
// name of ours that no other program uses.
std::vector<std::string> hostile_local_paths(const std::string& beside, const std::string& temp,
                                             const std::string& mark) {
    const std::string canary = "canary.txt";
    std::vector<std::string> paths = {
        // ".." however Windows reads it: with dots and blanks trimmed, with either separator.
        "..\\" + canary,
        "../" + canary,
        "client\\..\\..\\" + canary,
        "client/../../" + canary,
        "client\\..\\../" + canary,
        "..\\..\\..\\..\\..\\..\\..\\..\\tmp\\" + mark,
        ".. \\" + canary,
        "..  \\" + canary,
        "...\\" + canary,
        "....\\" + canary,
        ". .\\" + canary,
        "..\t\\" + canary,
        ".\\..\\" + canary,
        "client\\.\\..\\..\\" + canary,
        "..",
        ".",
        "client\\..",
        "client\\.\\x",
        // Rooted, absolute, drive-relative.
        "\\" + mark,
        "/" + mark,
        beside,
        with_slashes(beside),
        temp,
        with_slashes(temp),
        "C:" + mark,
        "C:..\\" + canary,
        "c:\\" + mark,
        "Z:" + mark,
        "C:/" + mark,
        // UNC and the device namespaces.
        "\\\\localhost\\c$\\" + mark,
        "//localhost/c$/" + mark,
        "\\\\127.0.0.1\\share\\" + mark,
        "\\\\?\\" + beside,
        "\\\\?\\C:\\" + mark,
        "\\\\?\\UNC\\localhost\\c$\\" + mark,
        "\\\\.\\C:\\" + mark,
        "\\\\.\\pipe\\" + mark,
        "\\\\.\\PhysicalDrive0",
        "//?/C:/" + mark,
        "\\??\\C:\\" + mark,
        // Names Windows changes: trailing dots and blanks.
        "client.",
        "client\\x.txt.",
        "client\\x.txt ",
        "client \\x.txt",
        "x.txt...",
        "x.txt . .",
        // Devices, with extensions and blanks too.
        "CON",
        "con.txt",
        "NUL",
        "nul.tar.gz",
        "client\\aux.dll",
        "PRN.log",
        "COM1",
        "com9.txt",
        "LPT1.x",
        "lpt\xc2\xb9.txt",
        "COM\xc2\xb2",
        "CONIN$",
        "conout$.txt",
        "NUL .txt",
        "client\\CON\\x.txt",
        // Alternate data streams.
        "x.txt:stream",
        "x.txt::$DATA",
        "client:stream\\x",
        "launcher.exe:evil",
        "file.txt:Zone.Identifier:$DATA",
        // Control and forbidden characters.
        std::string("a\x01") + "b",
        "x\ny",
        "x\rz",
        "tab\there",
        "a<b",
        "a>b",
        "a|b",
        "a\"b",
        "a?b",
        "a*b",
        std::string("nul\0byte", 8),
        // Empty names and mixed separators.
        "",
        "client\\\\x",
        "client\\",
        "client/",
        "\\",
        "/",
        "client/\\x",
        "\\/" + mark,
        // Overlong.
        std::string(256, 'n'),
        "client\\" + std::string(300, 'n') + ".txt",
        std::string(5000, 'd') + "\\x",
        "a\\" +
            [] {
                std::string deep;
                for (int i = 0; i < 2100; ++i)
                    deep += "d\\";
                return deep;
            }() +
            "x",
        // The launcher's own work area.
        ".temp\\x",
        ".TEMP\\7c1e0d52-93ab-4f6e-b2d4-5a8e61f03c97\\cache.json",
        ".temp/y",
        ".temp",
        // Bytes that are no UTF-8: an overlong encoding of '.' must not become a dot.
        "\xc0\xae\xc0\xae\\" + canary,
        "\xe0\x80\xae\xe0\x80\xae/" + canary,
        "\xff\xfe\\" + mark,
    };
    return paths;
}

TEST(HostileIndex, NothingIsWrittenOutsideTheGameDirectory) {
    test::game_install game("game");
    const fs::path outer = game.dir().path();
    const fs::path temp = fs::temp_directory_path();
    const std::string mark =
        "qz4-hostile-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    // Canaries where the hostile names point.
    const std::vector<fs::path> canaries = {outer / "canary.txt", outer / "client" / "canary.txt",
                                            temp / (mark + "-canary.txt")};
    // The one outside our scratch directory goes with the test, however it ends.
    const std::unique_ptr<const fs::path, void (*)(const fs::path*)> remove_temp_canary(
        &canaries[2], [](const fs::path* path) {
            std::error_code ignored;
            fs::remove(*path, ignored);
        });
    for (const auto& canary : canaries)
        test::write_file(canary, "canary " + canary.string());
    std::vector<fs::file_time_type> canary_times;
    for (const auto& canary : canaries)
        canary_times.push_back(fs::last_write_time(canary));
    const auto outer_before = snapshot(outer, game.root());
    const fs::path cwd = fs::current_path();
    const std::vector<fs::path> watched = {temp, cwd, cwd.root_path(), outer.root_path()};
    std::vector<std::set<std::string>> marked_before;
    for (const auto& dir : watched)
        marked_before.push_back(marked_names(dir, mark));

    test::served_tree tree;
    test::served_tree other("b");
    const std::string payload = "what the index wants written elsewhere";
    const json plain = tree.add_file(1, "payload.bin", payload);
    const json packed = tree.add_file(1, "payload2.bin", std::string(20000, 'p') + payload, true);
    (void)other.add_file(1, "payload.bin", payload);

    json entries = json::array();
    std::map<std::string, std::string> valid;
    int valid_count = 0;
    const auto add_valid = [&] {
        const std::string name = "valid\\v" + std::to_string(valid_count) + ".txt";
        const std::string content = "valid " + std::to_string(valid_count++);
        entries.push_back(tree.add_file(1, name, content, valid_count % 2 == 0));
        valid[with_slashes(name)] = content;
    };
    add_valid();

    const std::vector<std::string> locals = hostile_local_paths(
        wide_to_utf8(test::wide_path(canaries[0])), wide_to_utf8(test::wide_path(canaries[2])), mark);
    for (std::size_t i = 0; i < locals.size(); ++i) {
        json entry = i % 3 == 0 ? packed : plain;
        entry["l"] = locals[i];
        entries.push_back(entry);
        if (i % 8 == 0)
            add_valid();
    }

    // Server paths that lead elsewhere, each with a plain `l`. The ones another host would
    // answer must never reach it. Those our host refuses are answered late, so that the check
    // has queued every file before the first of them fails, and each is followed by a good
    // file: their failures then cannot stop the stage before every one was tried. The last
    // never leaves the launcher (no URL holds a line break) and fails at once.
    const std::string other_host = other.base_url().substr(other.base_url().find("//"));
    struct remote_path {
        std::string r;
        bool answered; // our host serves it: a query or fragment does not change where it goes
    };
    const std::vector<remote_path> remotes = {
        {"1/payload.bin?x=../../canary.txt", true},
        {"1/payload.bin#../../canary.txt", true},
        {other.base_url() + "1/payload.bin?delay=300", false},
        {other_host + "1/payload.bin?delay=300", false},
        {"@" + other_host.substr(2) + "1/payload.bin?delay=300", false},
        {"../../../../../../../../etc/passwd?delay=300", false},
        {"1/../../../../b/1/payload.bin?delay=300", false},
        {"file:///etc/passwd?delay=300", false},
        {"1/payload.bin\r\nHost: elsewhere", false},
    };
    for (std::size_t i = 0; i < remotes.size(); ++i) {
        json entry = plain;
        entry["r"] = remotes[i].r;
        entry["l"] = "remote\\r" + std::to_string(i) + ".txt";
        entries.push_back(entry);
        if (!remotes[i].answered && i + 1 < remotes.size())
            add_valid();
    }
    tree.publish(1, test::test_config({tree.base_url()}), entries);

    test::recording_splash splash;
    bool restart = false;
    auto launcher = game.launcher({tree.base_url()});
    EXPECT_TRUE(launcher->run(splash, restart));

    for (std::size_t i = 0; i < canaries.size(); ++i) {
        EXPECT_EQ(test::read_file(canaries[i]), "canary " + canaries[i].string());
        EXPECT_EQ(fs::last_write_time(canaries[i]), canary_times[i]) << canaries[i];
    }
    EXPECT_EQ(snapshot(outer, game.root()), outer_before) << "nothing appears beside the game";
    for (std::size_t i = 0; i < watched.size(); ++i)
        EXPECT_EQ(marked_names(watched[i], mark), marked_before[i]) << watched[i];
    EXPECT_TRUE(other.requests().empty()) << "no other host is asked";

    const auto installed = game.client_files();
    for (const auto& [name, content] : valid) {
        const auto found = installed.find(name);
        EXPECT_TRUE(found != installed.end() && found->second == content) << name;
    }
    // What the query or fragment of a server path carries does not change where it is put.
    for (std::size_t i = 0; i < remotes.size(); ++i)
        EXPECT_EQ(game.exists("remote/r" + std::to_string(i) + ".txt"), remotes[i].answered) << remotes[i].r;
    // Bytes that are no UTF-8 become U+FFFD, a name like any other: such a file stays inside.
    for (const auto& [name, content] : installed)
        EXPECT_TRUE(name == "launcher.exe" || name.starts_with("valid/") || name.starts_with("remote/") ||
                    name.starts_with("\xef\xbf\xbd"))
            << "a hostile name was installed inside the game as " << name;
    std::cout << "hostile l values: " << locals.size() << ", hostile r values: " << remotes.size()
              << ", canaries: " << canaries.size() << ", watched folders: " << watched.size() + 1
              << ", valid entries installed: " << valid.size() << "\n";
    EXPECT_GE(locals.size(), 60U);
}

// A packed file that decodes to more than its index size, and numbers that would wrap into
// another update or a smaller size: each refused, the rest of the index installed.
TEST(HostileIndex, LongPackedFilesAndOverflowingNumbersAreRefused) {
    struct row {
        const char* name;
        const char* document; // "version", "config" or "entry"
        json value;
        const wchar_t* error_text;
    };
    const std::wstring unpack_failed = L"Failed to unpack 1 files\nFile: target.bin";
    // A size out of range makes the entry unusable: its file is named, never passed over.
    const std::wstring unusable =
        L"Failed to download 1 files\nFile: target.bin (Unusable entry in the index)";
    const row rows[] = {
        {"gameupdate 2^32 + 1 (would name update 1)", "version", 4294967297ULL,
         L"Could not download update index."},
        {"gameupdate -1", "version", -1, L"Could not download update index."},
        {"gameupdate 1.5", "version", 1.5, L"Could not download update index."},
        {"gameupdate 1e10", "version", 1e10, L"Could not download update index."},
        {"config version 2^32 + 3", "config", 4294967299ULL, L"Remote config is invalid"},
        {"config version -2^32 + 3", "config", -4294967293LL, L"Remote config is invalid"},
        {"l_size 2^63", "l_size", 9223372036854775808ULL, unusable.c_str()},
        {"l_size 2^64 - 1", "l_size", 18446744073709551615ULL, unusable.c_str()},
        {"l_size -1", "l_size", -1, unusable.c_str()},
        {"l_size fractional", "l_size", 30000.5, unusable.c_str()},
        // Taken, but the packed copy declares another size: nothing of it is decoded.
        {"l_size 2^32 + size", "l_size", 4294967296ULL + 30000, unpack_failed.c_str()},
        {"r_size 2^63", "r_size", 9223372036854775808ULL, unusable.c_str()},
        {"r_size -1", "r_size", -1, unusable.c_str()},
        {"r_size 1e19", "r_size", 1e19, unusable.c_str()},
        {"r_pack that is no plain name", "r_pack", "../lzma2", unusable.c_str()},
        {"header declares the index size, the stream is longer", "header", 29999, unpack_failed.c_str()},
        {"header declares no size", "header", json(), unpack_failed.c_str()},
    };
    const std::string content(30000, 't');
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        test::served_tree tree(std::string("h") + std::to_string(&r - rows));
        test::game_install game;
        json config = test::test_config({tree.base_url()});
        json target = tree.add_file(1, "target.bin", content, true);
        const std::string doc = r.document;
        if (doc == "config")
            config["version"] = r.value;
        if (doc == "l_size" || doc == "r_size" || doc == "r_pack")
            target[doc] = r.value;
        if (doc == "header") {
            std::string packed = test::read_file(tree.path("1/target.bin.lzma2"));
            const std::uint64_t declared = r.value.is_null() ? UINT64_MAX : r.value.get<std::uint64_t>();
            for (int i = 0; i < 8; ++i)
                packed[4 + i] = static_cast<char>(declared >> (8 * i));
            test::write_file(tree.path("1/target.bin.lzma2"), packed);
            target["r_sha1"] = sha1_text(packed);
            target["l_size"] = 29999;
        }
        tree.publish(1, config, json::array({target, tree.add_file(1, "other.bin", "other")}));
        if (doc == "version")
            test::write_file(tree.path("version.json"), json{{"gameupdate", r.value}}.dump());

        test::recording_splash splash;
        bool restart = false;
        auto launcher = game.launcher({tree.base_url()});
        EXPECT_TRUE(launcher->run(splash, restart));
        EXPECT_EQ(launcher->error_text, r.error_text);
        EXPECT_FALSE(game.exists("target.bin"));
        EXPECT_FALSE(game.exists("target.bin.unp"));
        EXPECT_EQ(game.exists("other.bin"), doc != "version" && doc != "config");
    }
}

} // namespace
} // namespace qz4
