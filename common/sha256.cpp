#include "common/sha256.hpp"

#include "common/format.hpp"

namespace qz4 {

std::string digest_text(const sha256_digest& digest) {
    return lower_hex_text(digest);
}

std::string sha256_text(std::string_view bytes) {
    if (bytes.empty())
        return {};
    sha256_context context;
    context.update(bytes.data(), bytes.size());
    sha256_digest digest{};
    context.finish(digest);
    return digest_text(digest);
}

} // namespace qz4
