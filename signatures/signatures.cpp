#include "signatures/signatures.hpp"

#include "common/ascii_text.hpp"

#include <sodium.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace qz4 {

namespace {

// The context texts name the format and its version; a new layout gets a new text, so
// that no signature made for one can be taken for the other.
constexpr std::string_view index_context = "qz4launcher update signature 1: index\n";
constexpr std::string_view version_context = "qz4launcher update signature 1: version\n";

constexpr std::size_t signature_size = crypto_sign_BYTES;
static_assert(signature_size + 4 == signature_file_size);
static_assert(crypto_sign_PUBLICKEYBYTES == std::tuple_size_v<public_key>);
static_assert(crypto_sign_SECRETKEYBYTES == 64);

void ensure_sodium() {
    // sodium_init is safe to call from several threads and more than once.
    if (sodium_init() < 0)
        throw std::runtime_error("libsodium could not be initialised");
}

void append_u32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<std::uint8_t>(value >> shift));
}

// Exactly `out.size()` bytes from hex digits and nothing else.
bool from_hex(std::string_view text, std::span<std::uint8_t> out) {
    if (text.size() != out.size() * 2)
        return false;
    std::size_t written = 0;
    const char* end = nullptr;
    return sodium_hex2bin(out.data(), out.size(), text.data(), text.size(), nullptr, &written, &end) == 0 &&
           written == out.size() && end == text.data() + text.size();
}

} // namespace

std::vector<std::uint8_t> signing_message(signed_document kind, std::string_view product_guid,
                                          std::uint32_t update_number,
                                          std::span<const std::uint8_t> document) {
    ensure_sodium();
    const std::string_view context = kind == signed_document::index ? index_context : version_context;
    std::vector<std::uint8_t> message(context.begin(), context.end());
    append_u32(message, static_cast<std::uint32_t>(product_guid.size()));
    for (const char c : product_guid)
        message.push_back(static_cast<std::uint8_t>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c));
    append_u32(message, update_number);
    std::array<std::uint8_t, crypto_hash_sha256_BYTES> digest{};
    crypto_hash_sha256(digest.data(), document.data(), document.size());
    message.insert(message.end(), digest.begin(), digest.end());
    return message;
}

signing_key signing_key::generate() {
    ensure_sodium();
    signing_key key;
    crypto_sign_keypair(key.public_.data(), key.secret_.data());
    return key;
}

std::optional<signing_key> signing_key::from_key_file(std::string_view text) {
    ensure_sodium();
    signing_key key;
    if (!from_hex(trimmed(text), key.secret_))
        return std::nullopt;
    // The public half is stored after the seed; both must come from the same seed.
    signing_key derived;
    crypto_sign_seed_keypair(derived.public_.data(), derived.secret_.data(), key.secret_.data());
    if (sodium_memcmp(derived.secret_.data(), key.secret_.data(), key.secret_.size()) != 0)
        return std::nullopt;
    key.public_ = derived.public_;
    return key;
}

signing_key::signing_key(const signing_key& other) : secret_(other.secret_), public_(other.public_) {}

signing_key& signing_key::operator=(const signing_key& other) {
    secret_ = other.secret_;
    public_ = other.public_;
    return *this;
}

signing_key::~signing_key() {
    sodium_memzero(secret_.data(), secret_.size());
}

std::string signing_key::key_file_text() const {
    std::string text(secret_.size() * 2 + 1, '\0');
    sodium_bin2hex(text.data(), text.size(), secret_.data(), secret_.size());
    text.back() = '\n';
    return text;
}

signature_file signing_key::sign(signed_document kind, std::string_view product_guid,
                                 std::uint32_t update_number, std::span<const std::uint8_t> document) const {
    const std::vector<std::uint8_t> message = signing_message(kind, product_guid, update_number, document);
    signature_file file{};
    crypto_sign_detached(file.data(), nullptr, message.data(), message.size(), secret_.data());
    for (std::size_t i = 0; i < 4; ++i)
        file[signature_size + i] = static_cast<std::uint8_t>(update_number >> (8 * i));
    return file;
}

std::optional<std::uint32_t> signed_update_number(std::span<const std::uint8_t> signature) {
    if (signature.size() != signature_file_size)
        return std::nullopt;
    std::uint32_t number = 0;
    for (std::size_t i = 0; i < 4; ++i)
        number |= std::uint32_t{signature[signature_size + i]} << (8 * i);
    return number;
}

bool verify_signature(const std::vector<public_key>& keys, std::span<const std::uint8_t> signature,
                      signed_document kind, std::string_view product_guid, std::uint32_t update_number,
                      std::span<const std::uint8_t> document) {
    if (signed_update_number(signature) != update_number)
        return false;
    const std::vector<std::uint8_t> message = signing_message(kind, product_guid, update_number, document);
    return std::any_of(keys.begin(), keys.end(), [&](const public_key& key) {
        return crypto_sign_verify_detached(signature.data(), message.data(), message.size(), key.data()) == 0;
    });
}

std::string public_key_text(const public_key& key) {
    std::string text(key.size() * 2 + 1, '\0');
    sodium_bin2hex(text.data(), text.size(), key.data(), key.size());
    text.pop_back();
    return text;
}

std::optional<public_key> parse_public_key(std::string_view text) {
    ensure_sodium();
    public_key key{};
    if (from_hex(text, key))
        return key;
    std::size_t written = 0;
    const char* end = nullptr;
    if (text.size() == sodium_base64_ENCODED_LEN(key.size(), sodium_base64_VARIANT_ORIGINAL) - 1 &&
        sodium_base642bin(key.data(), key.size(), text.data(), text.size(), nullptr, &written, &end,
                          sodium_base64_VARIANT_ORIGINAL) == 0 &&
        written == key.size() && end == text.data() + text.size())
        return key;
    return std::nullopt;
}

std::optional<std::vector<public_key>> parse_public_keys(std::string_view text) {
    std::vector<public_key> keys;
    if (trimmed(text).empty())
        return keys;
    for (;;) {
        const std::size_t separator = text.find_first_of(",;");
        const auto key = parse_public_key(trimmed(text.substr(0, separator)));
        if (!key)
            return std::nullopt;
        keys.push_back(*key);
        if (separator == std::string_view::npos)
            return keys;
        text.remove_prefix(separator + 1);
    }
}

} // namespace qz4
