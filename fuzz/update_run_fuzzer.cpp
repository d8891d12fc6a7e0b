// A whole update run against a server whose version document, index and one file's bytes
// come from the input (three parts split at zero bytes; in the index "$HOST", "$SHA1" and
// "$SIZE" stand for the server's base URL and the file's digest and size, so that inputs
// get past the checks). The server is a directory served over http by a proxy in this process,
// for one made-up host; it refuses any other URL at once, so no input reaches the network.
// Whatever the input: no exception leaves the run, a failed run says why, nothing is
// written outside the game directory, and every file the run leaves in the game directory
// is the launcher or carries a digest that the index names.
#include "common/ascii_text.hpp"
#include "common/encoding.hpp"
#include "common/sha1.hpp"
#include "fuzz/fuzz_support.hpp"
#include "fuzz/proxy_file_server.hpp"
#include "splash/splash_view.hpp"
#include "update/documents/json_document.hpp"
#include "update/documents/manifests.hpp"
#include "update/engine/game_launcher.hpp"

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include <sys/resource.h>

using namespace qz4;
namespace fs = std::filesystem;

namespace {

constexpr char product_guid[] = "7c1e0d52-93ab-4f6e-b2d4-5a8e61f03c97";
constexpr char launcher_content[] = "the running launcher";
// Never resolved: every request goes to the proxy, which serves this host alone.
constexpr char served_host[] = "qz4-fuzz.invalid";

bool take_as_proxy(const fuzz::proxy_file_server& host) {
    for (const char* name : {"http_proxy", "HTTPS_PROXY", "https_proxy", "ALL_PROXY"})
        ::setenv(name, host.proxy_url().c_str(), 1);
    ::unsetenv("no_proxy");
    ::unsetenv("NO_PROXY");
    return true;
}

class silent_splash final : public splash_view {
public:
    void set_status_text(const std::wstring&) override {}
    void set_progress(std::uint32_t, std::uint32_t) override {}
    void set_progress_value(std::uint32_t) override {}
    [[nodiscard]] bool is_closed() const override { return false; }
};

// The process's own directory with the server and the game side by side; removed at exit.
struct run_root {
    run_root() {
        std::string pattern = (fs::temp_directory_path() / "qz4-fuzz-run.XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            std::abort();
        path = pattern;
        // No run may write more than this; a write beyond it fails as a full disk would.
        const rlimit file_size{64 << 20, 64 << 20};
        ::setrlimit(RLIMIT_FSIZE, &file_size);
        ::signal(SIGXFSZ, SIG_IGN);
    }
    ~run_root() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    run_root(const run_root&) = delete;
    run_root& operator=(const run_root&) = delete;
    fs::path path;
};

void write_file(const fs::path& path, std::string_view bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string replaced(std::string text, std::string_view token, const std::string& value) {
    for (std::size_t at = text.find(token); at != std::string::npos; at = text.find(token, at + value.size()))
        text.replace(at, token.size(), value);
    return text;
}

// The l_sha1 texts of the index's entries, lower case; empty when it does not parse.
std::set<std::string> named_digests(std::string_view index_text) {
    std::set<std::string> named;
    try {
        const nlohmann::json index = parse_json_text(index_text);
        for (const auto& entry : index.at("files"))
            if (entry.contains("l_sha1") && entry["l_sha1"].is_string())
                named.insert(to_lower(entry["l_sha1"].get<std::string>()));
    } catch (const std::exception&) {
    }
    return named;
}

std::vector<std::string_view> split_parts(std::string_view input) {
    std::vector<std::string_view> parts;
    for (int i = 0; i < 2; ++i) {
        const std::size_t zero = input.find('\0');
        parts.push_back(input.substr(0, zero));
        input = zero == std::string_view::npos ? std::string_view{} : input.substr(zero + 1);
    }
    parts.push_back(input);
    return parts;
}

// The server's tree: version.json, and under the update it names (1 when it names none) the
// index and the file, plain as "a" and as the packed "a.lzma2".
void publish(const fs::path& server, const std::vector<std::string_view>& parts, const std::string& index) {
    fs::remove_all(server);
    write_file(server / "version.json", parts[0]);
    std::uint32_t update = 1;
    try {
        update = read_update_number(parse_json_text(parts[0]));
    } catch (const std::exception&) {
    }
    const fs::path dir = server / std::to_string(update);
    write_file(dir / "index.json", index);
    write_file(dir / "a", parts[2]);
    write_file(dir / "a.lzma2", parts[2]);
}

void check_game_tree(const fs::path& game, const std::set<std::string>& named) {
    for (auto it = fs::recursive_directory_iterator(game); it != fs::recursive_directory_iterator(); ++it) {
        if (it->path().filename() == ".temp") {
            it.disable_recursion_pending();
            continue;
        }
        if (!it->is_regular_file())
            continue;
        std::ifstream in(it->path(), std::ios::binary);
        const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        FUZZ_CHECK(content == launcher_content || named.count(sha1_text(content)) == 1);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const run_root root;
    const fs::path server = root.path / "server";
    const fs::path game = root.path / "game";
    static const fuzz::proxy_file_server host(server, served_host);
    static const bool proxied = take_as_proxy(host);
    (void)proxied;
    const std::string base = std::string("http://") + served_host + "/";

    const std::vector<std::string_view> parts = split_parts(fuzz::as_text(data, size));
    const std::string index =
        replaced(replaced(replaced(std::string(parts[1]), "$HOST", base), "$SHA1", sha1_text(parts[2])),
                 "$SIZE", std::to_string(parts[2].size()));
    publish(server, parts, index);
    fs::remove_all(game);
    write_file(game / "qz4launcher.exe", launcher_content);

    launcher_settings settings;
    settings.exe_path = fuzz::wide_path(game / "qz4launcher.exe");
    settings.product_guid = utf8_to_wide(product_guid);
    settings.built_in_hosts = {base};
    settings.pause = [](std::chrono::milliseconds) {};
    try {
        game_launcher launcher(std::move(settings));
        launcher.transfer_timeout = 2;
        if (launcher.init()) {
            silent_splash splash;
            bool restart = false;
            const bool ok = launcher.run(splash, restart);
            FUZZ_CHECK(ok || !launcher.error_text.empty());
        }
    } catch (...) {
        FUZZ_CHECK(!"an exception left the update run");
    }

    for (const auto& entry : fs::directory_iterator(root.path))
        FUZZ_CHECK(entry.path() == server || entry.path() == game);
    check_game_tree(game, named_digests(index));
    return 0;
}
