// The publisher's signatures: the key beside config.json and never in output, signature
// files and version.json's expiry that are the only difference from an unsigned tree, the
// expiry renewed once half of the validity is used up, and a damaged key that stops the run.
#include "common/encoding.hpp"
#include "common/utc_time.hpp"
#include "signatures/signatures.hpp"
#include "tests/patchmaker/patch_maker_support.hpp"
#include "update/documents/manifests.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <optional>

namespace qz4 {
namespace {

namespace fs = std::filesystem;
using test::publisher_dir;

constexpr char guid[] = "7c1e0d52-93ab-4f6e-b2d4-5a8e61f03c97";

std::map<std::string, std::string> output_files(const publisher_dir& publisher) {
    std::map<std::string, std::string> files;
    const fs::path root = publisher.dir().native("output");
    for (const auto& entry : fs::recursive_directory_iterator(root))
        if (entry.is_regular_file())
            files[fs::relative(entry.path(), root).generic_string()] = test::read_file(entry.path());
    return files;
}

std::span<const std::uint8_t> bytes(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

void publish(publisher_dir& publisher, bool sign, const std::string& content) {
    nlohmann::json configuration =
        nlohmann::json::parse(test::read_file(publisher.dir().native("config.json")));
    configuration["maker"]["sign"] = sign;
    publisher.configure(configuration);
    publisher.add_input("a.txt", content);
    publisher.add_input("Data/big.txt", test::text_of(50000));
    const auto run = publisher.run();
    ASSERT_TRUE(run.completed) << run.console;
}

TEST(Signing, TheSignatureFilesAndTheExpiryAreTheOnlyDifferenceFromAnUnsignedTree) {
    publisher_dir signed_dir;
    publisher_dir plain_dir;
    signed_dir.configure();
    plain_dir.configure();
    signed_dir.clock = test::clock_at(1'750'000'000);
    publish(signed_dir, true, "alpha");
    publish(plain_dir, false, "alpha");
    EXPECT_FALSE(fs::exists(plain_dir.dir().native("signing.key")));

    const std::string key_text = test::read_file(signed_dir.dir().native("signing.key"));
    const auto key = signing_key::from_key_file(key_text);
    ASSERT_TRUE(key);

    std::map<std::string, std::string> files = output_files(signed_dir);
    const std::string index_signature = files["1/index.json.sig"];
    const std::string version_signature = files["version.json.sig"];
    for (const auto& [name, content] : files)
        EXPECT_EQ(content.find(key_text.substr(0, 64)), std::string::npos) << "key material in " << name;
    files.erase("1/index.json.sig");
    files.erase("version.json.sig");
    std::map<std::string, std::string> plain_files = output_files(plain_dir);
    EXPECT_EQ(files["version.json"], "{\"expires\":1752592000,\"gameupdate\":1}\r\n") << "30 days";
    EXPECT_EQ(plain_files["version.json"], "{\"gameupdate\":1}\r\n");
    files.erase("version.json");
    plain_files.erase("version.json");
    EXPECT_EQ(files, plain_files);

    const std::vector<public_key> keys{key->public_half()};
    EXPECT_TRUE(verify_signature(keys, bytes(index_signature), signed_document::index, guid, 1,
                                 bytes(files["1/index.json"])));
    EXPECT_TRUE(verify_signature(keys, bytes(version_signature), signed_document::version, guid, 1,
                                 bytes(output_files(signed_dir)["version.json"])));
}

// The key made by the first run signs every later one; a publisher who stops signing gets a
// tree without signatures, not one with signatures of other documents.
TEST(Signing, LaterRunsSignWithTheSameKeyOrRemoveTheSignatures) {
    publisher_dir publisher;
    publisher.configure();
    publish(publisher, true, "alpha");
    const auto key = signing_key::from_key_file(test::read_file(publisher.dir().native("signing.key")));
    ASSERT_TRUE(key);

    publish(publisher, true, "beta");
    std::map<std::string, std::string> files = output_files(publisher);
    EXPECT_TRUE(verify_signature({key->public_half()}, bytes(files["2/index.json.sig"]),
                                 signed_document::index, guid, 2, bytes(files["2/index.json"])));
    EXPECT_TRUE(verify_signature({key->public_half()}, bytes(files["version.json.sig"]),
                                 signed_document::version, guid, 2, bytes(files["version.json"])));

    publish(publisher, false, "gamma");
    files = output_files(publisher);
    EXPECT_FALSE(files.contains("version.json.sig"));
    EXPECT_FALSE(files.contains("3/index.json.sig"));
    EXPECT_TRUE(files.contains("3/index.json"));
}

TEST(Signing, AKeyTheRunningLauncherIsNotBuiltWithIsReported) {
    publisher_dir publisher;
    publisher.configure();
    const signing_key own = signing_key::generate();
    const signing_key other = signing_key::generate();
    test::write_file(publisher.dir().native("signing.key"), own.key_file_text());
    const std::string warning =
        "Warning: this launcher is not built with the key of " +
        test::shown(wide_to_utf8(publisher.dir().wide("signing.key"))) +
        "; only launchers built with -DQZ4_UPDATE_PUBLIC_KEY=" + public_key_text(own.public_half()) +
        " take the update\n";
    publisher.launcher_keys = {other.public_half()};
    auto run = publisher.run();
    EXPECT_TRUE(run.completed);
    EXPECT_NE(run.console.find(warning), std::string::npos) << run.console;
    publisher.launcher_keys = {other.public_half(), own.public_half()};
    run = publisher.run();
    EXPECT_EQ(run.console.find("Warning: this launcher"), std::string::npos) << run.console;
}

TEST(Signing, ADamagedKeyPublishesNothing) {
    publisher_dir publisher;
    publisher.configure();
    test::write_file(publisher.dir().native("signing.key"), "not a key\n");
    publisher.add_input("a.txt", "alpha");
    const auto run = publisher.run();
    EXPECT_FALSE(run.completed);
    EXPECT_EQ(run.console, "!!! Signing key is damaged: " +
                               test::shown(wide_to_utf8(publisher.dir().wide("signing.key"))) + "\n");
    EXPECT_TRUE(output_files(publisher).empty());
}

// Runs one after another on an unchanged tree, each at its own time: version.json stays as it
// is while at least half of its validity is left, and is signed again with a new expiry
// otherwise, or when the validity no longer fits it, or when it is not one this key signed
// for this update.
TEST(Signing, AnUnchangedTreeIsSignedAgainOnlyPastHalfOfTheValidity) {
    constexpr std::uint64_t start = 1'750'000'000;
    constexpr std::uint64_t day = 86400;
    publisher_dir publisher;
    nlohmann::json configuration = publisher_config_template(guid);
    configuration["maker"].erase("validity_days"); // as configurations made before it
    publisher.configure(configuration);
    publisher.add_input("a.txt", "alpha");
    struct row {
        const char* name;
        std::uint64_t time;
        std::function<void()> before;
        std::optional<std::uint64_t> signed_until; // nullopt: kept as it was
    };
    const auto set_validity = [&](std::uint32_t days) {
        configuration = publisher.read_json("config.json");
        configuration["maker"]["validity_days"] = days;
        publisher.configure(configuration);
    };
    const std::vector<row> rows{
        {"the first run, the default validity", start, [] {}, start + 30 * day},
        {"at once again", start, [] {}, std::nullopt},
        {"with half of the validity left", start + 15 * day, [] {}, std::nullopt},
        {"a second later", start + 15 * day + 1, [] {}, start + 45 * day + 1},
        {"validity shortened below what is left", start + 16 * day, [&] { set_validity(10); },
         start + 26 * day},
        {"validity raised: what is left is now less than half", start + 16 * day, [&] { set_validity(60); },
         start + 76 * day},
        {"signature damaged", start + 17 * day,
         [&] { test::write_file(publisher.dir().native("output/version.json.sig"), std::string(68, 'x')); },
         start + 77 * day},
        {"signature by another key", start + 17 * day,
         [&] {
             const signing_key other = signing_key::generate();
             const std::string version = test::read_file(publisher.dir().native("output/version.json"));
             const signature_file signature = other.sign(signed_document::version, guid, 1, bytes(version));
             test::write_file(publisher.dir().native("output/version.json.sig"),
                              std::string(signature.begin(), signature.end()));
         },
         start + 77 * day},
        {"expired, the clock put forward", start + 200 * day, [] {}, start + 260 * day},
    };
    std::optional<signing_key> key;
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        r.before();
        const fs::path version_path = publisher.dir().native("output/version.json");
        const std::string before = fs::exists(version_path) ? test::read_file(version_path) : std::string();
        publisher.clock = test::clock_at(r.time);
        const auto run = publisher.run();
        ASSERT_TRUE(run.completed) << run.console;
        if (!key)
            key = signing_key::from_key_file(test::read_file(publisher.dir().native("signing.key")));
        ASSERT_TRUE(key);
        const std::string version = test::read_file(publisher.dir().native("output/version.json"));
        const std::string signature = test::read_file(publisher.dir().native("output/version.json.sig"));
        EXPECT_TRUE(verify_signature({key->public_half()}, bytes(signature), signed_document::version, guid,
                                     1, bytes(version)));
        const std::uint64_t expires = nlohmann::json::parse(version).at("expires");
        if (r.signed_until) {
            EXPECT_EQ(expires, *r.signed_until);
            EXPECT_TRUE(
                run.console.ends_with("version.json signed, valid until " + utc_time_text(expires) + "\n"))
                << run.console;
        } else {
            EXPECT_EQ(version, before);
            EXPECT_TRUE(
                run.console.ends_with("version.json kept, valid until " + utc_time_text(expires) + "\n"))
                << run.console;
        }
    }
}

} // namespace
} // namespace qz4
