#include "patchmaker/publisher_key.hpp"

#include "common/byte_buffer.hpp"
#include "common/file_system.hpp"
#include "patchmaker/private_file.hpp"

#include <string_view>

namespace qz4 {

publisher_key load_or_create_key(const std::wstring& path) {
    publisher_key result;
    if (read_file_attributes(path)) {
        byte_buffer content;
        if (read_file_bytes(path, content))
            result.key = signing_key::from_key_file(
                std::string_view(reinterpret_cast<const char*>(content.data()), content.length));
        result.status = result.key ? key_status::loaded : key_status::damaged;
        return result;
    }
    signing_key fresh = signing_key::generate();
    if (!create_private_file(path, fresh.key_file_text()))
        return result;
    result.status = key_status::created;
    result.key = fresh;
    return result;
}

} // namespace qz4
