// Publisher signatures: what a signature binds, the flips and substitutions it must refuse,
// rotation over a key list, and the key texts of the build option and the key file.
#include "signatures/signatures.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace qz4 {
namespace {

using bytes = std::vector<std::uint8_t>;

constexpr char guid[] = "7c1e0d52-93ab-4f6e-b2d4-5a8e61f03c97";

bytes bytes_of(std::string_view text) {
    return {text.begin(), text.end()};
}

class Signatures : public testing::Test {
protected:
    signing_key key = signing_key::generate();
    bytes index = bytes_of(R"({"config":{"guid":"7c1e0d52-93ab-4f6e-b2d4-5a8e61f03c97"},"files":null})");
    signature_file signature = key.sign(signed_document::index, guid, 7, index);

    bool accepted(const bytes& document, std::span<const std::uint8_t> sig,
                  signed_document kind = signed_document::index, std::string_view product = guid,
                  std::uint32_t number = 7) const {
        return verify_signature({key.public_half()}, sig, kind, product, number, document);
    }
};

TEST_F(Signatures, EachSampledByteFlipOfTheDocumentOrTheSignatureIsRefused) {
    ASSERT_TRUE(accepted(index, signature));
    std::mt19937 random(14);
    int refused_document = 0;
    int refused_signature = 0;
    for (int i = 0; i < 1000; ++i) {
        const auto mask = static_cast<std::uint8_t>(std::uniform_int_distribution<int>(1, 255)(random));
        bytes document = index;
        document[std::uniform_int_distribution<std::size_t>(0, document.size() - 1)(random)] ^= mask;
        refused_document += accepted(document, signature) ? 0 : 1;
        signature_file sig = signature;
        sig[std::uniform_int_distribution<std::size_t>(0, sig.size() - 1)(random)] ^= mask;
        refused_signature += accepted(index, sig) ? 0 : 1;
    }
    EXPECT_EQ(refused_document, 1000);
    EXPECT_EQ(refused_signature, 1000);
}

TEST_F(Signatures, ASignatureHoldsForItsOwnKindProductNumberAndLengthOnly) {
    const signing_key other = signing_key::generate();
    bytes longer = index;
    longer.push_back(' ');
    const signature_file for_version = key.sign(signed_document::version, guid, 7, index);
    EXPECT_TRUE(accepted(index, signature, signed_document::index, "7C1E0D52-93AB-4F6E-B2D4-5A8E61F03C97"));
    EXPECT_FALSE(accepted(index, for_version));
    EXPECT_FALSE(accepted(index, signature, signed_document::version));
    EXPECT_FALSE(accepted(index, signature, signed_document::index, "8c1e0d52-93ab-4f6e-b2d4-5a8e61f03c97"));
    EXPECT_FALSE(accepted(index, signature, signed_document::index, guid, 8));
    EXPECT_FALSE(accepted(longer, signature));
    EXPECT_FALSE(accepted(index, std::span(signature).first(64)));
    EXPECT_FALSE(accepted(index, other.sign(signed_document::index, guid, 7, index)));
    // The number the file claims is checked against the one expected, not taken from it.
    signature_file renumbered = signature;
    renumbered[64] = 8;
    EXPECT_EQ(signed_update_number(renumbered), 8u);
    EXPECT_FALSE(accepted(index, renumbered, signed_document::index, guid, 8));
}

TEST_F(Signatures, AnyKeyOfTheListIsAcceptedAndNoOther) {
    const signing_key next = signing_key::generate();
    const signature_file by_next = next.sign(signed_document::index, guid, 7, index);
    const std::vector<public_key> both{key.public_half(), next.public_half()};
    EXPECT_TRUE(verify_signature(both, signature, signed_document::index, guid, 7, index));
    EXPECT_TRUE(verify_signature(both, by_next, signed_document::index, guid, 7, index));
    EXPECT_FALSE(verify_signature({next.public_half()}, signature, signed_document::index, guid, 7, index));
    EXPECT_FALSE(verify_signature({}, signature, signed_document::index, guid, 7, index));
}

TEST_F(Signatures, KeyTexts) {
    const std::string hex = public_key_text(key.public_half());
    ASSERT_EQ(hex.size(), 64u);
    std::string upper = hex;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    // The RFC 8032 test key 1, in hex and in base64.
    const std::string rfc_hex = "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a";
    const std::string rfc_base64 = "11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo=";
    EXPECT_EQ(parse_public_key(hex), key.public_half());
    EXPECT_EQ(parse_public_key(upper), key.public_half());
    ASSERT_TRUE(parse_public_key(rfc_base64));
    EXPECT_EQ(public_key_text(*parse_public_key(rfc_base64)), rfc_hex);
    for (const std::string& bad :
         {hex.substr(1), hex + "0", "g" + hex.substr(1), rfc_base64.substr(1), std::string()})
        EXPECT_FALSE(parse_public_key(bad)) << bad;

    EXPECT_EQ(parse_public_keys(" "), std::vector<public_key>{});
    const auto list = parse_public_keys(" " + hex + " ; " + rfc_base64 + "," + rfc_hex);
    ASSERT_TRUE(list);
    EXPECT_EQ(list->size(), 3u);
    EXPECT_FALSE(parse_public_keys(hex + ","));
    EXPECT_FALSE(parse_public_keys(hex + ";x"));
}

TEST_F(Signatures, TheKeyFileGivesBackTheSameKeyAndADamagedOneNone) {
    const std::string text = key.key_file_text();
    const auto loaded = signing_key::from_key_file(text);
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->public_half(), key.public_half());
    EXPECT_EQ(loaded->sign(signed_document::index, guid, 7, index), signature); // Ed25519 is deterministic
    std::string damaged = text;
    damaged[100] = damaged[100] == '0' ? '1' : '0'; // in the stored public half
    EXPECT_FALSE(signing_key::from_key_file(damaged));
    EXPECT_FALSE(signing_key::from_key_file(text.substr(2)));
    EXPECT_FALSE(signing_key::from_key_file(public_key_text(key.public_half())));
}

} // namespace
} // namespace qz4
