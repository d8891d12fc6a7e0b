#include "tests/patchmaker/patch_maker_support.hpp"

#include "common/encoding.hpp"
#include "common/lzma2_codec.hpp"
#include "patchmaker/patch_maker.hpp"
#include "signatures/signatures.hpp"
#include "tests/support/system_probe.hpp"
#include "update/documents/json_document.hpp"
#include "update/documents/manifests.hpp"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <sstream>
#include <stdexcept>

namespace qz4::test {

void publisher_dir::configure(std::uint32_t gameupdate, bool optimize, std::uint32_t minsize, int threshold) {
    nlohmann::json configuration = publisher_config_template("7c1e0d52-93ab-4f6e-b2d4-5a8e61f03c97");
    configuration["maker"]["gameupdate"] = gameupdate;
    configuration["maker"]["packer"]["optimize"] = optimize;
    configuration["maker"]["packer"]["minsize"] = minsize;
    configuration["maker"]["packer"]["optimize_threshold"] = threshold;
    configure(configuration);
}

void publisher_dir::configure(const nlohmann::json& configuration) {
    write_file(dir_.native("config.json"), json_text_pretty(configuration));
}

void publisher_dir::add_input(const std::string& relative, const std::string& content) {
    write_file(dir_.native("input/" + relative), content);
}

publisher_dir::result publisher_dir::run(unsigned workers) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> console(std::tmpfile(), &std::fclose);
    if (!console)
        throw std::runtime_error("no temporary file for the console");
    patch_maker_setup setup;
    setup.directory = dir_.wide();
    setup.output = console.get();
    setup.workers = workers;
    setup.launcher_keys = launcher_keys;
    setup.clock = clock;
    std::atomic<bool> terminate{false};
    result outcome;
    outcome.completed = run_patch_maker(setup, terminate);
    std::rewind(console.get());
    char chunk[4096];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, console.get())) > 0)
        outcome.console.append(chunk, got);
    return outcome;
}

std::string key_created_lines(const publisher_dir& publisher) {
    const auto key = signing_key::from_key_file(read_file(publisher.dir().native("signing.key")));
    if (!key)
        throw std::runtime_error("no valid signing.key");
    return "Signing key created: " + shown(wide_to_utf8(publisher.dir().wide("signing.key"))) +
           "\nBuild the launcher with -DQZ4_UPDATE_PUBLIC_KEY=" + public_key_text(key->public_half()) + "\n";
}

nlohmann::json publisher_dir::read_json(const std::string& relative) const {
    return nlohmann::json::parse(read_file(dir_.native(relative)));
}

std::vector<std::string> publisher_dir::console_lines(const std::string& console) const {
    std::vector<std::string> lines;
    std::istringstream in(console);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

wall_clock clock_at(std::uint64_t seconds) {
    return [seconds] {
        return std::chrono::system_clock::time_point(
            std::chrono::seconds(static_cast<std::int64_t>(seconds)));
    };
}

std::string text_of(std::size_t size) {
    std::string text;
    for (std::size_t i = 0; text.size() < size; ++i)
        text += "line " + std::to_string(i % 97) + " of the game's configuration\n";
    text.resize(size);
    return text;
}

std::string shown(std::string path) {
    if (posix_only_skip_reason().empty())
        std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}

std::string unpack_to_string(const temp_dir& dir, const std::string& relative) {
    const std::wstring target = dir.wide("unpacked.tmp");
    if (lzma2_file_codec(true, dir.wide(relative), target) != lzma2_result::ok)
        throw std::runtime_error("cannot unpack " + relative);
    std::string content = read_file(dir.native("unpacked.tmp"));
    std::filesystem::remove(dir.native("unpacked.tmp"));
    return content;
}

} // namespace qz4::test
