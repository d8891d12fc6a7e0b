// index.json as the launcher handles it, from the document up to the point where a file
// would be queued for download: the remote configuration's checks and the host list it
// brings (which never throw, whatever the types), the configuration saved and turned into
// check rules, then
// every `files` entry made into an update task, checked against the rules and readied for
// the queue. A task must never read or write outside the game directory and the download
// area, whatever the server sent.
#include "common/ascii_text.hpp"
#include "fuzz/json_checks.hpp"
#include "update/documents/check_rules.hpp"
#include "update/documents/manifests.hpp"
#include "update/documents/update_task.hpp"
#include "update/engine/host_list.hpp"
#include "update/engine/remote_config.hpp"

#include <cstdint>

using namespace qz4;

namespace {

const task_locations where = {
    L"C:\\Games\\Tarnwood",
    L"C:\\Games\\Tarnwood\\.temp\\{8c5f2b8e-0d3a-4c8e-9a57-3f0e6b1d2c44}\\downloading",
    L"C:\\Games\\Tarnwood\\qz4launcher.exe",
    L"C:\\Games\\Tarnwood\\new-qz4launcher.exe",
};

// Whether Windows, given `path`, would land strictly below `base`. Written independently of
// the product's check and more suspicious than Windows: a drive or stream colon leaves, and
// every name made only of dots and blanks (or empty) is taken to climb one level.
bool lands_below(std::wstring_view path, std::wstring_view base) {
    if (path.size() <= base.size() + 1 || !equals_ci(path.substr(0, base.size()), base) ||
        path[base.size()] != L'\\')
        return false;
    const std::wstring rest = std::wstring(path.substr(base.size() + 1)) + L'\\';
    if (rest.find(L':') != std::wstring::npos)
        return false;
    long depth = 0;
    std::wstring name;
    for (const wchar_t c : rest) {
        if (c != L'\\' && c != L'/') {
            name.push_back(c);
            continue;
        }
        while (!name.empty() && (name.back() == L'.' || name.back() == L' '))
            name.pop_back();
        depth += name.empty() ? -1 : 1;
        if (depth < 0)
            return false;
        name.clear();
    }
    return depth >= 1;
}

// A task that checks SHA-256 (a launcher with keys) is the task without it plus well-formed
// digests: the keys only ever take entries away.
void check_keyed_task(const nlohmann::json& entry, const update_task* plain) {
    const auto keyed = make_update_task(entry, where, digest_kinds::sha1_and_sha256);
    if (!keyed)
        return;
    FUZZ_CHECK(plain != nullptr && keyed->target_path == plain->target_path &&
               keyed->download_path == plain->download_path && keyed->local_sha1 == plain->local_sha1);
    FUZZ_CHECK(keyed->digests == digest_kinds::sha1_and_sha256);
    FUZZ_CHECK(is_sha256_text(keyed->local_sha256, keyed->local_size));
    FUZZ_CHECK(is_sha256_text(keyed->download_sha256,
                              keyed->pack_format == "none" ? keyed->local_size : keyed->remote_size));
    FUZZ_CHECK(keyed->pack_format != "none" || keyed->download_sha256 == keyed->local_sha256);
}

void check_task(update_task& task) {
    FUZZ_CHECK(lands_below(task.target_path, where.game_dir));
    FUZZ_CHECK(task.unpack_path == task.target_path + L".unp");
    FUZZ_CHECK(lands_below(task.download_path, where.download_dir));
    FUZZ_CHECK(task.pack_format != "none" || task.download_sha1 == task.local_sha1);
    FUZZ_CHECK(task.is_self == equals_ci(task.target_path, where.exe_path));
    FUZZ_CHECK(to_lower(task.local_sha1) == task.local_sha1);
    FUZZ_CHECK(to_lower(task.download_sha1) == task.download_sha1);
    // Sizes are added up for the disk's room and the progress: none may come near wrapping.
    FUZZ_CHECK(task.local_size <= largest_json_size && task.remote_size <= largest_json_size);

    const std::wstring target = task.target_path;
    prepare_for_download(task, where);
    FUZZ_CHECK(task.attempts == 0);
    FUZZ_CHECK(task.target_path == (task.is_self ? where.new_exe_path : target));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto index = fuzz::parse_document(fuzz::as_text(data, size));
    if (!index)
        return 0;

    const checked_config checked = check_remote_config(*index, L"7c1e0d52-93ab-4f6e-b2d4-5a8e61f03c97");
    if (checked.status == config_status::ok) {
        std::vector<std::string> hosts = {"http://a/qz4/", "http://b/qz4/"};
        (void)take_configured_hosts(checked.version, checked.config, hosts);
        FUZZ_CHECK(!hosts.empty());
        for (const auto& host : hosts)
            FUZZ_CHECK(!host.empty() && host.back() == '/');
        FUZZ_CHECK(download_host_index(7, hosts.size()) < hosts.size());
    }

    // The remote configuration: kept as config.json and turned into this pass's check rules.
    nlohmann::json config;
    const nlohmann::json* files = nullptr;
    try {
        config = json_member(*index, "config");
        files = &json_member(*index, "files");
    } catch (const nlohmann::json::exception&) {
        return 0; // an index that is not an object is unusable
    }
    fuzz::check_round_trip(config);
    std::uint32_t version = 0;
    try {
        version = json_number_u32(json_member(config, "version"));
    } catch (const nlohmann::json::exception&) {
    }
    check_rules rules;
    (void)build_check_rules(config, version, where.game_dir, rules);

    for (const auto& entry : *files) {
        const auto task = make_update_task(entry, where);
        check_keyed_task(entry, task.get());
        if (!task)
            continue;
        FUZZ_CHECK(task->digests == digest_kinds::sha1 && task->local_sha256.empty());
        (void)rules.hard_patterns.matches(task->local_path);
        (void)rules.soft_patterns.matches(task->local_path);
        (void)digest_accepted(rules.accepted, task->target_path, task->local_sha1);
        check_task(*task);
    }
    return 0;
}
