// Writes the seed corpora of the fuzz targets with the program's own code: a real packed
// file, the documents as the patch maker and the launcher write them, real command lines.
//   qz4_fuzz_seeds <directory>    (normally fuzz/corpus; one subdirectory per target)
#include "common/lzma2_codec.hpp"
#include "common/sha1.hpp"
#include "fuzz/fuzz_support.hpp"
#include "update/documents/file_cache.hpp"
#include "update/documents/json_document.hpp"
#include "update/documents/manifests.hpp"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

using namespace qz4;
namespace fs = std::filesystem;

namespace {

fs::path corpus;

void seed(const char* target, const char* name, std::string_view bytes) {
    fs::create_directories(corpus / target);
    fuzz::write_bytes(fuzz::wide_path(corpus / target / name), bytes);
}

std::string packed(std::string_view content) {
    const auto plain = fuzz::scratch_file("plain");
    const auto file = fuzz::scratch_file("plain.lzma2");
    fuzz::write_bytes(plain, content);
    if (lzma2_file_codec(false, plain, file) != lzma2_result::ok)
        throw std::runtime_error("packing failed");
    return fuzz::read_bytes(file);
}

file_record record(std::uint32_t update, const std::wstring& path, std::uint64_t size, bool pack) {
    file_record r;
    r.u = update;
    r.l = local_path_text(path);
    r.l_sha1 = "a9993e364706816aba3e25717850c26c9cd0d89d";
    r.l_sha256 = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    r.l_size = size;
    r.r = remote_path_text(update, path, pack);
    r.r_size = pack ? size / 3 : size;
    if (pack) {
        r.r_pack = pack_format_lzma2;
        r.r_sha1 = "da39a3ee5e6b4b0d3255bfef95601890afd80709";
        r.r_sha256 = "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1";
    }
    return r;
}

template <typename T> void put(std::string& out, T value) {
    char bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));
    out.append(bytes, sizeof(T));
}

// One call of the progress arithmetic as libcurl's integer counts.
void put_call(std::string& out, std::int64_t total, std::int64_t received, std::int64_t elapsed_ms) {
    put<std::uint8_t>(out, 2);
    put(out, total);
    put<std::uint8_t>(out, 2);
    put(out, received);
    put(out, elapsed_ms);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
        return 2;
    }
    corpus = argv[1];

    const std::string text =
        "[Graphics]\r\nWidth=1920\r\nHeight=1080\r\nFullscreen=1\r\n[Sound]\r\nVolume=80\r\n";
    const nlohmann::json config = publisher_config_template("8c5f2b8e-0d3a-4c8e-9a57-3f0e6b1d2c44");
    nlohmann::json files = nlohmann::json::array();
    files.push_back(file_record_json(record(3, L"client\\Client.exe", 81920, true)));
    files.push_back(file_record_json(record(2, L"config\\My Settings.ini", 70, false)));
    files.push_back(file_record_json(record(3, L"qz4launcher.exe", 40960, true)));
    const std::string index = json_text_compact(index_document(config["client"], files));

    seed("lzma2_unpack", "settings.ini.lzma2", packed(text));
    seed("lzma2_unpack", "empty.lzma2", packed(""));
    seed("lzma2_unpack", "index.json.lzma2", packed(index));
    std::string undeclared = packed(text);
    undeclared.replace(4, 8, 8, '\xFF');
    seed("lzma2_unpack", "undeclared-size.lzma2", undeclared);

    seed("lzma2_round_trip", "settings.ini", text);
    seed("lzma2_round_trip", "index.json", index);

    seed("version_json", "version.json", json_text_compact(version_document(12)));
    seed("version_json", "pretty.json", json_text_pretty(version_document(4294967295U)));
    seed("version_json", "signed.json", json_text_compact(version_document(12, 1752592000)));

    seed("index_json", "index.json", index);
    nlohmann::json hostile = nlohmann::json::array();
    for (const wchar_t* path : {L"..\\qz4launcher.exe", L"C:\\Windows\\system32\\evil.dll",
                                L"\\\\server\\share\\evil.dll", L"client/../../evil.dll", L"client\\nul.txt"})
        hostile.push_back(file_record_json(record(4, path, 10, false)));
    file_record odd_format = record(4, L"client\\data.pak", 100, true);
    odd_format.r_pack = "lzma2\\..\\..\\..\\evil";
    hostile.push_back(file_record_json(odd_format));
    seed("index_json", "hostile-paths.json", json_text_compact(index_document(config["client"], hostile)));
    seed("index_json", "no-files.json", json_text_compact(index_document(config["client"], nullptr)));
    // Sizes past 32 bits, up to the largest a record may carry.
    nlohmann::json large = nlohmann::json::array();
    large.push_back(file_record_json(record(5, L"client\\data\\world.pak", 5ULL << 30, false)));
    large.push_back(file_record_json(record(5, L"client\\data\\sky.pak", 0xFFFFFFFFULL + 1, true)));
    large.push_back(file_record_json(record(5, L"client\\data\\sea.pak", 0x7FFFFFFFFFFFFFFFULL, false)));
    seed("index_json", "large-files.json", json_text_compact(index_document(config["client"], large)));

    seed("publisher_config", "config.json", json_text_pretty(config));

    {
        const auto game = fuzz::scratch_file("Client.exe");
        fuzz::write_bytes(game, text);
        file_cache publisher;
        const nlohmann::json data = file_record_json(record(3, L"client\\Client.exe", 81920, true));
        (void)publisher.store(std::string_view("client\\client.exe"), game, &data);
        (void)publisher.store(std::string_view("config\\my settings.ini"), game, &data);
        seed("file_cache", "patch-maker.json", json_text_pretty(publisher.snapshot()));
        file_cache launcher;
        (void)launcher.store(std::string_view("client\\Client.exe"), game);
        seed("file_cache", "launcher.json", json_text_pretty(launcher.snapshot()));
    }

    seed("command_line", "plain", "\"C:\\Games\\Tarnwood\\qz4launcher.exe\" -noupdate");
    seed("command_line", "mixed",
         "qz4launcher.exe -NoSelfUpdate \"a b\" c\\\\d \\\"e -patchmaker -sleep x\\");
    seed("command_line", "values",
         "qz4launcher.exe -Repair -connections=8 -MAXRATE=512 -connections=99 -maxrate=0");

    const auto pattern_and_path = [](std::string_view pattern, std::string_view path) {
        return std::string(pattern) + '\0' + std::string(path);
    };
    seed("path_patterns", "exe", pattern_and_path("client\\*.exe", "client\\Game.exe"));
    seed("path_patterns", "slash", pattern_and_path("config/*.*", " CONFIG\\a. "));
    seed("path_patterns", "question", pattern_and_path("data\\??\\*a*b*", "data\\ab\\xaxbx"));

    {
        // Three parts: version.json, the index ("$HOST" and "$SHA1" stand for the server's base
        // URL and the digest of the third part), and the bytes served for the entries.
        const nlohmann::json run_config = {
            {"version", 3},
            {"guid", "7c1e0d52-93ab-4f6e-b2d4-5a8e61f03c97"},
            {"hosts", {"$HOST"}},
            {"check",
             {{"hard_check", {"*", "*\\*"}}, {"soft_check", {"*.cfg"}}, {"acceptable_checksums", {}}}}};
        const auto run_input = [&](const char* local, bool pack, std::string_view content) {
            const std::string served = pack ? packed(content) : std::string(content);
            file_record r;
            r.u = 1;
            r.l = local;
            r.l_size = content.size();
            r.l_sha1 = pack ? sha1_text(content) : "$SHA1";
            r.r = pack ? "1/a.lzma2" : "1/a";
            r.r_size = served.size();
            if (pack) {
                r.r_pack = pack_format_lzma2;
                r.r_sha1 = "$SHA1";
            }
            const nlohmann::json entries = nlohmann::json::array({file_record_json(r)});
            return json_text_compact(version_document(1)) + '\0' +
                   json_text_compact(index_document(run_config, entries)) + '\0' + served;
        };
        seed("update_run", "plain", run_input("data\\settings.ini", false, text));
        seed("update_run", "packed", run_input("client\\Client.exe", true, text));
        seed("update_run", "self-update", run_input("qz4launcher.exe", true, text));
    }
    seed("file_verification", "zeros", std::string(64, '\0'));
    seed("file_verification", "ones", std::string(64, '\xFF'));

    std::string transfer;
    put_call(transfer, 10240, 1024, 0);
    put_call(transfer, 10240, 5000, 250);
    put_call(transfer, 10240, 12000, 900);
    seed("transfer_progress", "transfer", transfer);
    return 0;
}
