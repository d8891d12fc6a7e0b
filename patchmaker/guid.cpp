#include "patchmaker/guid.hpp"

#include "common/format.hpp"

namespace qz4 {

std::string guid_text(const guid_value& guid) {
    const auto& b = guid.data4;
    return format_narrow("%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                         static_cast<unsigned>(guid.data1), static_cast<unsigned>(guid.data2),
                         static_cast<unsigned>(guid.data3), b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7]);
}

} // namespace qz4
