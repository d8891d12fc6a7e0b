// Windows: the system's GUID generator.
#include "patchmaker/guid.hpp"

#include <windows.h>
// objbase.h needs the types of windows.h.
#include <objbase.h>

#include <cstring>
#include <stdexcept>

namespace qz4 {

guid_value new_guid() {
    GUID system_guid{};
    if (FAILED(CoCreateGuid(&system_guid)))
        throw std::runtime_error("CoCreateGuid failed");
    guid_value guid;
    guid.data1 = system_guid.Data1;
    guid.data2 = system_guid.Data2;
    guid.data3 = system_guid.Data3;
    std::memcpy(guid.data4.data(), system_guid.Data4, 8);
    return guid;
}

} // namespace qz4
