// The publisher's signatures: the key beside config.json and never in output, signature
// files that are the only difference from an unsigned tree, and a damaged key that stops
// the run.
#include "common/encoding.hpp"
#include "signatures/signatures.hpp"
#include "tests/patchmaker/patch_maker_support.hpp"

#include <gtest/gtest.h>

#include <map>

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

TEST(Signing, TheSignatureFilesAreTheOnlyDifferenceFromAnUnsignedTree) {
    publisher_dir signed_dir;
    publisher_dir plain_dir;
    signed_dir.configure();
    plain_dir.configure();
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
    EXPECT_EQ(files, output_files(plain_dir));

    const std::vector<public_key> keys{key->public_half()};
    EXPECT_TRUE(verify_signature(keys, bytes(index_signature), signed_document::index, guid, 1,
                                 bytes(files["1/index.json"])));
    EXPECT_TRUE(verify_signature(keys, bytes(version_signature), signed_document::version, guid, 1,
                                 bytes(files["version.json"])));
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

} // namespace
} // namespace qz4
