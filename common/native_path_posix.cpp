#include "common/native_path_posix.hpp"

#include "common/encoding.hpp"

#include <algorithm>

namespace qz4 {

std::string to_native_path(std::wstring_view path) {
    std::string native = wide_to_utf8(path);
    std::replace(native.begin(), native.end(), '\\', '/');
    return native;
}

std::wstring from_native_path(std::string_view path) {
    std::wstring wide = utf8_to_wide(path);
    std::replace(wide.begin(), wide.end(), L'/', L'\\');
    return wide;
}

} // namespace qz4
