// Windows: a protected DACL with one entry, full access for the file's owner, set by the
// creating call itself.
#include "patchmaker/private_file.hpp"

#include "common/unique_handle_win32.hpp"

#include <windows.h>
// sddl.h needs the types of windows.h.
#include <sddl.h>

#include <memory>

namespace qz4 {

namespace {

struct local_free {
    void operator()(void* memory) const { ::LocalFree(memory); }
};

} // namespace

bool create_private_file(const std::wstring& path, std::string_view text) {
    PSECURITY_DESCRIPTOR raw = nullptr;
    // "OW": the owner rights principal; "P": inherited entries do not apply.
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FA;;;OW)", SDDL_REVISION_1, &raw,
                                                                nullptr))
        return false;
    const std::unique_ptr<void, local_free> descriptor(raw);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
    const HANDLE handle = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, &attributes, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    bool written = true;
    {
        const unique_handle file(handle);
        DWORD count = 0;
        written = ::WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &count, nullptr) &&
                  count == text.size() && ::FlushFileBuffers(handle);
    }
    if (!written)
        ::DeleteFileW(path.c_str());
    return written;
}

} // namespace qz4
