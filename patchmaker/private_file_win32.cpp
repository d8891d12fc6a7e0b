// Windows: a protected DACL with one entry, full access for the file's owner, set by the
// creating call itself.
#include "patchmaker/private_file.hpp"

#include "common/unique_handle_win32.hpp"

#include <windows.h>
// sddl.h needs the types of windows.h.
#include <aclapi.h>
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

bool readable_by_others(const std::wstring& path) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR raw = nullptr;
    if (::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                &dacl, nullptr, &raw) != ERROR_SUCCESS)
        return false;
    const std::unique_ptr<void, local_free> descriptor(raw);
    if (dacl == nullptr)
        return true; // no DACL: everyone has access
    PSID owner_rights = nullptr;
    if (!::ConvertStringSidToSidW(L"S-1-3-4", &owner_rights))
        return false;
    const std::unique_ptr<void, local_free> owner_sid(owner_rights);
    // Ours has the single owner entry; any other allowing entry lets someone else in.
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        if (!::GetAce(dacl, i, &entry))
            return false;
        if (static_cast<const ACE_HEADER*>(entry)->AceType != ACCESS_ALLOWED_ACE_TYPE)
            continue;
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        if (!::EqualSid(&allowed->SidStart, owner_rights))
            return true;
    }
    return false;
}

} // namespace qz4
