// Document layouts byte for byte, safe writing, number reading and the file records.
#include "common/ascii_text.hpp"
#include "update/documents/json_document.hpp"
#include "update/documents/manifests.hpp"

#include "tests/support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace qz4 {
namespace {

using nlohmann::json;

std::string crlf_lines(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines)
        text += line + "\r\n";
    return text;
}

TEST(DocumentLayout, PublisherTemplatePrettyWithSortedKeys) {
    const std::string expected = crlf_lines({
        R"({)",
        R"(    "client": {)",
        R"(        "check": {)",
        R"(            "acceptable_checksums": [],)",
        R"(            "cache": true,)",
        R"(            "hard_check": [)",
        R"(                "client\\*.exe",)",
        R"(                "client\\*.dll")",
        R"(            ],)",
        R"(            "soft_check": [)",
        R"(                "config\\*.*")",
        R"(            ])",
        R"(        },)",
        R"(        "guid": "0f8fad5b-d9cb-469f-a165-70867728950e",)",
        R"(        "hosts": [)",
        R"(            "http://updates.example.com/launcher/")",
        R"(        ],)",
        R"(        "version": 3)",
        R"(    },)",
        R"(    "maker": {)",
        R"(        "gameupdate": 0,)",
        R"(        "packer": {)",
        R"(            "minsize": 16384,)",
        R"(            "optimize": true,)",
        R"(            "optimize_threshold": 85)",
        R"(        },)",
        R"(        "validity_days": 30)",
        R"(    })",
        R"(})",
    });
    EXPECT_EQ(json_text_pretty(publisher_config_template("0f8fad5b-d9cb-469f-a165-70867728950e")), expected);
}

TEST(DocumentLayout, CompactDocuments) {
    file_record packed;
    packed.u = 7;
    packed.l = local_path_text(L"Data\\My File.txt");
    packed.l_sha1 = "a9993e364706816aba3e25717850c26c9cd0d89d";
    packed.l_size = 123456;
    packed.r = remote_path_text(7, L"Data\\My File.txt", true);
    packed.r_size = 4567;
    packed.r_pack = pack_format_lzma2;
    packed.r_sha1 = "da39a3ee5e6b4b0d3255bfef95601890afd80709";
    file_record plain = packed;
    plain.r = remote_path_text(7, L"Data\\My File.txt", false);
    plain.r_size = plain.l_size;
    plain.r_pack = pack_format_none;
    plain.r_sha1.clear();

    struct row {
        const char* name;
        json document;
        std::string text;
    };
    const row rows[] = {
        {"packed record", file_record_json(packed),
         R"({"l":"Data\\My File.txt","l_sha1":"a9993e364706816aba3e25717850c26c9cd0d89d","l_size":123456,)"
         R"("r":"7/data/my%20file.txt.lzma2","r_pack":"lzma2","r_sha1":"da39a3ee5e6b4b0d3255bfef95601890afd80709",)"
         R"("r_size":4567,"u":7})"
         "\r\n"},
        {"unpacked record", file_record_json(plain),
         R"({"l":"Data\\My File.txt","l_sha1":"a9993e364706816aba3e25717850c26c9cd0d89d","l_size":123456,)"
         R"("r":"7/data/my%20file.txt","r_size":123456,"u":7})"
         "\r\n"},
        {"version", version_document(41), "{\"gameupdate\":41}\r\n"},
        {"signed version", version_document(41, 1752592000),
         "{\"expires\":1752592000,\"gameupdate\":41}\r\n"},
        {"index without files", index_document(json{{"version", 3}}, nullptr),
         "{\"config\":{\"version\":3},\"files\":null}\r\n"},
        {"raw UTF-8", json{{"l", "Данные\\файл.txt"}}, "{\"l\":\"Данные\\\\файл.txt\"}\r\n"},
        {"invalid UTF-8 is replaced, not thrown",
         json{{"l", std::string("a\xff"
                                "b")}},
         "{\"l\":\"a\xef\xbf\xbd"
         "b\"}\r\n"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(json_text_compact(r.document), r.text);
    }
}

TEST(DocumentLayout, PrettyEmptyContainersAndNestedArrays) {
    const json value = {{"b", json::array()}, {"a", json::object()}, {"c", {1, {2, 3}}}};
    EXPECT_EQ(json_text_pretty(value), crlf_lines({
                                           R"({)",
                                           R"(    "a": {},)",
                                           R"(    "b": [],)",
                                           R"(    "c": [)",
                                           R"(        1,)",
                                           R"(        [)",
                                           R"(            2,)",
                                           R"(            3)",
                                           R"(        ])",
                                           R"(    ])",
                                           R"(})",
                                       }));
}

TEST(DocumentWriting, ReplacesWholeAndLeavesNothingBehind) {
    test::temp_dir dir;
    ASSERT_TRUE(write_json_pretty(dir.wide("config.json"), json{{"long", std::string(500, 'x')}}));
    ASSERT_TRUE(write_json_compact(dir.wide("config.json"), json{{"a", 1}}));
    EXPECT_EQ(test::read_file(dir.native("config.json")), "{\"a\":1}\r\n");
    EXPECT_EQ(parse_json_file(dir.wide("config.json")), (json{{"a", 1}}));

    // A document that cannot be put in place is reported and leaves no temporary file; a
    // directory in the way stays as it was.
    std::filesystem::create_directory(dir.native("taken"));
    EXPECT_FALSE(write_json_pretty(dir.wide("taken"), json{{"a", 1}}));
    EXPECT_TRUE(std::filesystem::is_directory(dir.native("taken")));
    EXPECT_FALSE(write_json_pretty(dir.wide("missing\\config.json"), json{{"a", 1}}));
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"config.json", "taken"}));
}

TEST(DocumentReading, UnreadableOrMalformedFilesRaiseParseErrors) {
    test::temp_dir dir;
    test::write_file(dir.native("bad.json"), "{\"a\":");
    test::write_file(dir.native("empty.json"), "");
    test::write_file(dir.native("junk.json"), std::string("{\"gameupdate\":2}\r\n\0junk", 23));
    for (const char* name : {"bad.json", "empty.json", "missing.json", "junk.json"}) {
        SCOPED_TRACE(name);
        EXPECT_THROW((void)parse_json_file(dir.wide(name)), json::parse_error);
    }
}

std::string nested_arrays(std::size_t depth) {
    return std::string(depth, '[') + std::string(depth, ']');
}

TEST(DocumentReading, NestingIsBoundedBeforeAnythingRecurses) {
    // At the limit a document is read, copied, compared and written like any other.
    const json deepest = parse_json_text(nested_arrays(json_depth_limit));
    const json copy = deepest;
    EXPECT_EQ(copy, deepest);
    EXPECT_EQ(parse_json_text(json_text_pretty(deepest)), deepest);

    // Beyond it the document is refused as malformed. Without the bound, a million levels
    // from a server overflowed the stack when the value was copied or written.
    struct row {
        const char* name;
        std::string text;
        std::size_t offset; // of the bracket one level too deep
    };
    const row rows[] = {
        {"one level too deep", nested_arrays(json_depth_limit + 1), json_depth_limit + 1},
        {"a million levels", nested_arrays(1000000), json_depth_limit + 1},
        {"objects and arrays", "{\"a\":" + std::string(json_depth_limit, '['), json_depth_limit + 5},
        {"unclosed", std::string(1000000, '{'), json_depth_limit + 1},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        try {
            (void)parse_json_text(r.text);
            ADD_FAILURE() << "no error";
        } catch (const json::parse_error& error) {
            EXPECT_EQ(error.byte, r.offset);
            EXPECT_NE(std::string(error.what()).find("nested deeper than 100 levels"), std::string::npos)
                << error.what();
        }
    }

    // Brackets inside strings are text, also after escaped quotes and backslashes.
    const std::string brackets = "[\"\\\\\\\"" + std::string(500, '[') + "\"]";
    EXPECT_EQ(parse_json_text(brackets)[0].get<std::string>().size(), 502U);

    test::temp_dir dir;
    test::write_file(dir.native("deep.json"), nested_arrays(1000000));
    EXPECT_THROW((void)parse_json_file(dir.wide("deep.json")), json::parse_error);
}

TEST(DocumentReading, ExtremeNumbers) {
    EXPECT_TRUE(parse_json_text("18446744073709551616").is_number_float()) << "beyond 64 bits";
    EXPECT_TRUE(parse_json_text("-9223372036854775809").is_number_float());
    EXPECT_EQ(json_number_u64(parse_json_text("1e308")), 0U) << "a multiple of 2^64";
    EXPECT_EQ(json_number_u32(parse_json_text("4294967296.5")), 0U);
    EXPECT_EQ(json_number_u32(parse_json_text("-0")), 0U);
    EXPECT_EQ(json_number_u32(parse_json_text("5e-324")), 0U);
    // Beyond a double the library refuses the document with its out-of-range error, which
    // every reader catches with the parse errors (both are its exceptions).
    EXPECT_THROW((void)parse_json_text("1e999"), json::out_of_range);
    EXPECT_THROW((void)parse_json_text("{\"gameupdate\":-1e999}"), json::exception);
}

TEST(DocumentReading, Numbers) {
    struct row {
        const char* text;
        std::uint32_t value;
        std::uint64_t value64;
        bool fits; // what a server's count or size may be
    };
    const row rows[] = {
        {"41", 41, 41, true},
        {"4294967295", 0xFFFFFFFFU, 0xFFFFFFFFU, true},
        {"4294967296", 0, 4294967296ULL, false},
        {"4294967297", 1, 4294967297ULL, false},
        {"18446744073709551615", 0xFFFFFFFFU, 0xFFFFFFFFFFFFFFFFULL, false},
        {"-1", 0xFFFFFFFFU, 0xFFFFFFFFFFFFFFFFULL, false},
        {"7.0", 7, 7, true},
        {"3.9", 3, 3, false},
        {"-1.5", 0xFFFFFFFFU, 0xFFFFFFFFFFFFFFFFULL, false},
        {"4294967296.0", 0, 4294967296ULL, false},
        {"1e20", 1661992960U, 7766279631452241920ULL, false},
        {"-1e20", 2632974336U, 10680464442257309696ULL, false},
        {"true", 1, 1, true},
        {"false", 0, 0, true},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.text);
        EXPECT_EQ(json_number_u32(json::parse(r.text)), r.value);
        EXPECT_EQ(json_number_u64(json::parse(r.text)), r.value64);
        if (r.fits)
            EXPECT_EQ(json_number_exact_u32(json::parse(r.text)), r.value);
        else
            EXPECT_THROW((void)json_number_exact_u32(json::parse(r.text)), json::out_of_range);
    }
    for (const char* text : {"\"41\"", "null", "[1]", "{}"}) {
        SCOPED_TRACE(text);
        try {
            (void)json_number_u32(json::parse(text));
            ADD_FAILURE() << "no error";
        } catch (const json::type_error& error) {
            EXPECT_NE(std::string(error.what()).find("type must be number, but is "), std::string::npos)
                << error.what();
        }
    }
}

TEST(DocumentReading, Members) {
    const json document = json::parse(R"({"gameupdate": 12, "s": "text"})");
    EXPECT_EQ(read_update_number(document), 12U);
    EXPECT_TRUE(json_member(document, "absent").is_null());
    EXPECT_TRUE(json_member(json(), "any").is_null());
    EXPECT_THROW((void)read_update_number(json::parse(R"({"gameupdate": "12"})")), json::type_error);
    EXPECT_THROW((void)read_update_number(json::parse("{}")), json::type_error);
    try {
        (void)json_member(document["s"], "x");
        ADD_FAILURE() << "no error";
    } catch (const json::type_error& error) {
        EXPECT_NE(std::string(error.what()).find("cannot use operator[] with a string argument with string"),
                  std::string::npos)
            << error.what();
    }
}

TEST(DocumentReading, AnExpiryIsAWholeNumberFromZeroUp) {
    struct row {
        const char* document;
        std::optional<std::uint64_t> expires;
    };
    const row rows[] = {
        {R"({"gameupdate":1,"expires":1752592000})", 1752592000},
        {R"({"expires":0})", 0},
        {R"({"expires":18446744073709551615})", 18446744073709551615ULL},
        {R"({"gameupdate":1})", std::nullopt},
        {R"({"expires":null})", std::nullopt},
        {R"({"expires":-1})", std::nullopt},
        {R"({"expires":1752592000.5})", std::nullopt},
        {R"({"expires":true})", std::nullopt},
        {R"({"expires":"1752592000"})", std::nullopt},
        {R"([1752592000])", std::nullopt},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.document);
        EXPECT_EQ(read_expiry(json::parse(r.document)), r.expires);
    }
    EXPECT_EQ(read_expiry(json{{"expires", 5}}), 5U) << "a signed integer built in code";
}

TEST(FileRecord, ReadsWhatTheLauncherNeeds) {
    struct row {
        const char* name;
        const char* entry;
        const char* pack;
        const char* r_sha1;
    };
    const row rows[] = {
        {"packed, upper-case digests",
         R"({"l":"a","l_sha1":"ABC","l_size":1,"r":"1/a","r_size":1,"r_pack":"LZMA2","r_sha1":"DEF"})",
         "lzma2", "def"},
        {"no r_pack", R"({"l":"a","l_sha1":"ABC","l_size":1,"r":"1/a","r_size":1})", "none", ""},
        {"null r_pack", R"({"l":"a","l_sha1":"ABC","l_size":1,"r":"1/a","r_size":1,"r_pack":null})", "none",
         ""},
        {"empty array r_pack", R"({"l":"a","l_sha1":"ABC","l_size":1,"r":"1/a","r_size":1,"r_pack":[]})",
         "none", ""},
        {"unknown format kept",
         R"({"l":"a","l_sha1":"ABC","l_size":1,"r":"1/a","r_size":1,"r_pack":"Zip","r_sha1":"x"})", "zip",
         "x"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        const file_record record = read_file_record(json::parse(r.entry));
        EXPECT_EQ(record.l_sha1, "abc");
        EXPECT_EQ(record.r_pack, r.pack);
        EXPECT_EQ(record.r_sha1, r.r_sha1);
    }
    for (const char* entry : {
             R"({"l_sha1":"a","l_size":1,"r":"1/a","r_size":1})",
             R"({"l":"a","l_sha1":"a","l_size":"1","r":"1/a","r_size":1})",
             R"({"l":"a","l_sha1":"a","l_size":1,"r":"1/a","r_size":1,"r_pack":"lzma2"})",
             R"({"l":"a","l_sha1":"a","l_size":1,"r":"1/a","r_size":1,"r_pack":5})",
             R"("not an object")",
         }) {
        SCOPED_TRACE(entry);
        EXPECT_THROW((void)read_file_record(json::parse(entry)), json::exception);
    }
}

// The SHA-256 members: written where the record has them (the copy's only for a packed
// copy), read back by the patch maker and by a launcher that asks for them, and otherwise
// not looked at, whatever they hold.
TEST(FileRecord, Sha256MembersWhereTheRecordHasThem) {
    file_record record;
    record.l = "a";
    record.l_sha1 = "abc";
    record.l_sha256 = std::string(64, 'a');
    record.r_sha256 = std::string(64, 'c');
    EXPECT_EQ(file_record_json(record), json({{"u", 0},
                                              {"l", "a"},
                                              {"l_sha1", "abc"},
                                              {"l_sha256", std::string(64, 'a')},
                                              {"l_size", 0},
                                              {"r", ""},
                                              {"r_size", 0}}))
        << "a plain copy has no digests of its own";
    record.r_pack = pack_format_lzma2;
    record.r_sha1 = "def";
    const json packed = file_record_json(record);
    EXPECT_EQ(packed.at("r_sha256"), std::string(64, 'c'));
    EXPECT_EQ(read_file_record(packed).l_sha256, record.l_sha256);
    EXPECT_EQ(read_file_record(packed).r_sha256, record.r_sha256);
    EXPECT_EQ(read_download_record(packed).l_sha256, std::nullopt);
    EXPECT_EQ(read_download_record(packed, digest_kinds::sha1_and_sha256).r_sha256, record.r_sha256);

    record.l_sha256.reset();
    record.r_sha256.reset();
    EXPECT_FALSE(file_record_json(record).contains("l_sha256")) << "a record made before SHA-256";
    EXPECT_FALSE(file_record_json(record).contains("r_sha256"));

    const json odd = json::parse(R"({"l":"a","l_sha1":"A","l_size":1,"r":"1/a","r_size":1,"l_sha256":[1]})");
    EXPECT_EQ(read_download_record(odd).l, "a");
    EXPECT_EQ(read_download_record(odd, digest_kinds::sha1_and_sha256).l_sha256, std::nullopt);

    struct row {
        std::string text;
        std::uint32_t size;
        bool digest;
    };
    const row rows[] = {
        {std::string(64, 'f'), 1, true},
        {"0123456789abcdef" + std::string(48, '0'), 2, true},
        {std::string(64, 'F'), 1, false},
        {std::string(63, 'f'), 1, false},
        {std::string(65, 'f'), 1, false},
        {std::string(63, 'f') + " ", 1, false},
        {"", 0, true},
        {"", 1, false},
        {std::string(64, 'f'), 0, false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.text + " for " + std::to_string(r.size) + " bytes");
        EXPECT_EQ(is_sha256_text(r.text, r.size), r.digest);
    }
}

TEST(FileRecord, TheLauncherDoesNotReadTheUpdateNumber) {
    const json entry = json::parse(R"({"u":"seven","l":"a","l_sha1":"A","l_size":1,"r":"1/a","r_size":1})");
    EXPECT_EQ(read_download_record(entry).l, "a") << "a bad `u` does not make the file unreadable";
    EXPECT_THROW((void)read_file_record(entry), json::type_error);
    EXPECT_EQ(
        read_file_record(json::parse(R"({"u":7,"l":"a","l_sha1":"A","l_size":1,"r":"1/a","r_size":1})")).u,
        7U);
}

TEST(PublisherSettings, ReadLikeThePatchMakerNeedsThem) {
    const publisher_settings fresh = read_publisher_settings(publisher_config_template("guid"));
    EXPECT_TRUE(fresh.optimize);
    EXPECT_EQ(fresh.minsize, 16384U);
    EXPECT_EQ(fresh.optimize_threshold, 85);
    EXPECT_EQ(fresh.gameupdate, 0U);

    const publisher_settings edited = read_publisher_settings(json::parse(
        R"({"maker":{"gameupdate":41.7,"packer":{"minsize":true,"optimize":false,"optimize_threshold":"x"}}})"));
    EXPECT_FALSE(edited.optimize);
    EXPECT_EQ(edited.minsize, 1U);
    EXPECT_EQ(edited.optimize_threshold, 85) << "not read without optimize";
    EXPECT_EQ(edited.gameupdate, 41U);
    EXPECT_EQ(edited.validity_days, 30U) << "absent: the default";
    EXPECT_EQ(
        read_publisher_settings(
            json::parse(
                R"({"maker":{"gameupdate":1,"packer":{"minsize":1,"optimize":true,"optimize_threshold":-5}}})"))
            .optimize_threshold,
        -5);
    EXPECT_EQ(
        read_publisher_settings(
            json::parse(R"({"maker":{"gameupdate":1,"packer":{"minsize":8589934592,"optimize":false}}})"))
            .minsize,
        8589934592U)
        << "a minimum past 32 bits in full, not its low bits (0: pack everything)";

    struct row {
        const char* config;
        const char* message;
    };
    const row rows[] = {
        {R"({"maker":{"gameupdate":1,"packer":{"minsize":1,"optimize":1,"optimize_threshold":85}}})",
         "type must be boolean, but is number"},
        {R"({"maker":{"gameupdate":1,"packer":{"minsize":1}}})", "type must be boolean, but is null"},
        {R"({"maker":{"packer":{"minsize":1,"optimize":false}}})", "type must be number, but is null"},
        {R"({"maker":{"gameupdate":1,"packer":{"optimize":true,"optimize_threshold":[]}}})",
         "type must be number, but is null"},
        {R"({"maker":[]})", "cannot use operator[] with a string argument with array"},
        {R"([])", "cannot use operator[] with a string argument with array"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.config);
        try {
            (void)read_publisher_settings(json::parse(r.config));
            ADD_FAILURE() << "no error";
        } catch (const json::type_error& error) {
            EXPECT_NE(std::string(error.what()).find(r.message), std::string::npos) << error.what();
        }
    }
}

// `r` escapes every byte a URL path does not carry as it is, and reading it back gives the
// copy's path below the output tree whatever escapes it holds.
TEST(FileRecord, RemotePathsRoundTrip) {
    struct row {
        std::uint32_t update;
        std::wstring relative;
        bool packed;
        std::string remote;
    };
    const row rows[] = {
        {12, L"Client\\Sub Dir\\A B.DLL", false, "12/client/sub%20dir/a%20b.dll"},
        {7, L"Data\\My File.txt", true, "7/data/my%20file.txt.lzma2"},
        {7, L"Data/My File.txt", true, "7/data/my%20file.txt.lzma2"},
        {1, L"#1 100%.txt", false, "1/%231%20100%25.txt"},
        {1, L"a-b_c.d~e+f&g=h;i,j'k(l)m!n@o$p", false,
         "1/a-b_c.d~e%2Bf%26g%3Dh%3Bi%2Cj%27k%28l%29m%21n%40o%24p"},
        // Only A to Z are lower-cased; the rest goes as its UTF-8 bytes.
        {3, L"\u0414\u0430\\\u00DC.txt", true, "3/%D0%94%D0%B0/%C3%9C.txt.lzma2"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.remote);
        EXPECT_EQ(remote_path_text(r.update, r.relative, r.packed), r.remote);
        const std::wstring expected = std::to_wstring(r.update) + L"\\" +
                                      replace_all(to_lower(r.relative), L"/", L"\\") +
                                      (r.packed ? L".lzma2" : L"");
        EXPECT_EQ(server_copy_path(r.remote), expected);
    }
    // Names Windows cannot hold are escaped all the same, though none is read back.
    EXPECT_EQ(remote_path_text(1, L"a?b:c", false), "1/a%3Fb%3Ac");
    EXPECT_EQ(local_path_text(L"Data\\My File.txt"), "Data\\My File.txt");
}

// What cache.json may hold: records written before every byte was escaped are found as they
// were; a text that leads out of the output tree, or to no file a launcher could fetch, names
// nothing.
TEST(FileRecord, ServerCopyPathsOfOlderAndHostileRecords) {
    struct row {
        std::string remote;
        std::optional<std::wstring> path;
    };
    const row rows[] = {
        {"1/data/my%20file.txt", L"1\\data\\my file.txt"},
        {"1/%d0%94.txt", L"1\\\u0414.txt"},
        {"1/\xD0\x94.txt", L"1\\\u0414.txt"}, // raw UTF-8, as older records hold it
        {"1/a%5Cb", std::nullopt},            // an escaped backslash is still a separator
        {"1/a#b.txt", std::nullopt},          // requests stopped at '#'
        {"1/a?b.txt", std::nullopt},
        {"1/100%.txt", std::nullopt},
        {"1/a%2", std::nullopt},
        {"1/a%zz", std::nullopt},
        {"1/a%00b", std::nullopt},
        {"1/%FF.txt", std::nullopt},
        {"../signing.key", std::nullopt},
        {"1/../../signing.key", std::nullopt},
        {"1/%2E%2E/%2e%2e/signing.key", std::nullopt},
        {"1/..%2F..%2Fsigning.key", std::nullopt},
        {"/etc/passwd", std::nullopt},
        {"%2Fetc/passwd", std::nullopt},
        {"C:/Windows/win.ini", std::nullopt},
        {"1//a", std::nullopt},
        {"1/./a", std::nullopt},
        {"1/nul.txt", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.remote);
        EXPECT_EQ(server_copy_path(r.remote), r.path);
    }
}

} // namespace
} // namespace qz4
