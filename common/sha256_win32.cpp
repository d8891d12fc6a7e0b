// SHA-256 on Windows: CNG (bcrypt.dll), the system's own implementation.
#include "common/sha256.hpp"

#include <windows.h>

#include <bcrypt.h>

#include <algorithm>
#include <stdexcept>

namespace qz4 {

namespace {

[[noreturn]] void unavailable() {
    throw std::runtime_error("SHA-256 is not available");
}

// The algorithm provider is opened once for the process; hash objects are made from it.
class sha256_provider {
public:
    sha256_provider() {
        if (!BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(&handle_, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
            handle_ = nullptr;
    }
    ~sha256_provider() {
        if (handle_ != nullptr)
            ::BCryptCloseAlgorithmProvider(handle_, 0);
    }
    sha256_provider(const sha256_provider&) = delete;
    sha256_provider& operator=(const sha256_provider&) = delete;

    [[nodiscard]] BCRYPT_ALG_HANDLE get() const {
        if (handle_ == nullptr)
            unavailable();
        return handle_;
    }

private:
    BCRYPT_ALG_HANDLE handle_ = nullptr;
};

BCRYPT_ALG_HANDLE provider() {
    static const sha256_provider opened;
    return opened.get();
}

} // namespace

// A hash object is finished once; the next message gets a new one (reusable objects need
// Windows 8).
struct sha256_context::state {
    BCRYPT_HASH_HANDLE hash = nullptr;

    state() { start(); }
    ~state() { close(); }
    state(const state&) = delete;
    state& operator=(const state&) = delete;

    void start() {
        close();
        if (!BCRYPT_SUCCESS(::BCryptCreateHash(provider(), &hash, nullptr, 0, nullptr, 0, 0))) {
            hash = nullptr;
            unavailable();
        }
    }
    void close() {
        if (hash != nullptr)
            ::BCryptDestroyHash(hash);
        hash = nullptr;
    }
};

sha256_context::sha256_context() : state_(std::make_unique<state>()) {}

sha256_context::~sha256_context() = default;

void sha256_context::update(const void* data, std::size_t count) {
    // CNG counts in 32 bits.
    auto* bytes = static_cast<UCHAR*>(const_cast<void*>(data));
    while (count != 0) {
        const ULONG step = static_cast<ULONG>(std::min<std::size_t>(count, ULONG{1} << 30));
        if (!BCRYPT_SUCCESS(::BCryptHashData(state_->hash, bytes, step, 0)))
            unavailable();
        bytes += step;
        count -= step;
    }
}

void sha256_context::finish(sha256_digest& digest) {
    if (!BCRYPT_SUCCESS(
            ::BCryptFinishHash(state_->hash, digest.data(), static_cast<ULONG>(digest.size()), 0)))
        unavailable();
    state_->start();
}

void sha256_context::reset() {
    state_->start();
}

} // namespace qz4
