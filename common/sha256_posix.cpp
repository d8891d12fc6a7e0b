// SHA-256 on POSIX systems: OpenSSL's libcrypto, whose SHA-256 runs on the SHA extensions
// (or AVX2) of the processor it finds itself on.
#include "common/sha256.hpp"

#include <openssl/evp.h>

#include <stdexcept>

namespace qz4 {

namespace {

[[noreturn]] void unavailable() {
    throw std::runtime_error("SHA-256 is not available");
}

// Fetched once for the process: an implicit fetch at every initialisation would look the
// algorithm up again for each file.
const EVP_MD* sha256_method() {
    static const std::unique_ptr<EVP_MD, decltype(&EVP_MD_free)> method(
        EVP_MD_fetch(nullptr, "SHA2-256", nullptr), &EVP_MD_free);
    if (!method)
        unavailable();
    return method.get();
}

} // namespace

struct sha256_context::state {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context{EVP_MD_CTX_new(), &EVP_MD_CTX_free};

    void start() {
        if (!context || EVP_DigestInit_ex(context.get(), sha256_method(), nullptr) != 1)
            unavailable();
    }
};

sha256_context::sha256_context() : state_(std::make_unique<state>()) {
    state_->start();
}

sha256_context::~sha256_context() = default;

void sha256_context::update(const void* data, std::size_t count) {
    if (count != 0 && EVP_DigestUpdate(state_->context.get(), data, count) != 1)
        unavailable();
}

void sha256_context::finish(sha256_digest& digest) {
    unsigned length = 0;
    if (EVP_DigestFinal_ex(state_->context.get(), digest.data(), &length) != 1 || length != digest.size())
        unavailable();
    state_->start();
}

void sha256_context::reset() {
    state_->start();
}

} // namespace qz4
