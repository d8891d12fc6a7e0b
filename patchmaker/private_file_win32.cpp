// Windows: a protected DACL with one entry, full access for the file's owner, set by the
// creating call itself; any entry found that lets someone else read is too much.
#include "patchmaker/private_file.hpp"

#include "common/encoding.hpp"
#include "common/unique_handle_win32.hpp"

#include <windows.h>
// aclapi.h and sddl.h need the types of windows.h.
#include <aclapi.h>
#include <sddl.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace qz4 {

namespace {

struct local_free {
    void operator()(void* memory) const { ::LocalFree(memory); }
};

// The user this process runs as; empty when the token cannot be read.
std::vector<std::uint8_t> process_user() {
    HANDLE raw = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw))
        return {};
    const unique_handle token(raw);
    DWORD size = 0;
    ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::vector<std::uint8_t> buffer(size);
    if (size == 0 || !::GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size))
        return {};
    return buffer;
}

// Those whom the key's owner trusts anyway: an administrator or the system can read any file.
bool is_trusted(PSID sid, PSID owner, PSID user) {
    return (owner != nullptr && ::EqualSid(sid, owner)) || (user != nullptr && ::EqualSid(sid, user)) ||
           ::IsWellKnownSid(sid, WinLocalSystemSid) || ::IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
           ::IsWellKnownSid(sid, WinCreatorOwnerRightsSid);
}

// Whether an entry that applies to the file itself lets someone untrusted read it. Deny
// entries are not weighed: a warning too many costs less than a key read unnoticed.
bool grants_read_to_others(PACL dacl, PSID owner, PSID user) {
    if (dacl == nullptr)
        return true; // no access list at all: everyone may do anything
    constexpr ACCESS_MASK read_rights = FILE_READ_DATA | GENERIC_READ | GENERIC_ALL | MAXIMUM_ALLOWED;
    for (DWORD index = 0; index < dacl->AceCount; ++index) {
        void* ace = nullptr;
        if (!::GetAce(dacl, index, &ace))
            continue;
        const auto* header = static_cast<const ACE_HEADER*>(ace);
        if ((header->AceFlags & INHERIT_ONLY_ACE) != 0 ||
            (header->AceType != ACCESS_ALLOWED_ACE_TYPE &&
             header->AceType != ACCESS_ALLOWED_CALLBACK_ACE_TYPE))
            continue;
        // Both kinds lay out mask and SID alike.
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        if ((allowed->Mask & read_rights) != 0 && !is_trusted(&allowed->SidStart, owner, user))
            return true;
    }
    return false;
}

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
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR raw = nullptr;
    if (::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT,
                                OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                                &dacl, nullptr, &raw) != ERROR_SUCCESS)
        return false;
    const std::unique_ptr<void, local_free> descriptor(raw);
    std::vector<std::uint8_t> user = process_user();
    PSID user_sid = user.empty() ? nullptr : reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;
    return grants_read_to_others(dacl, owner, user_sid);
}

std::string owner_only_command(const std::wstring& path) {
    return "icacls \"" + wide_to_utf8(path) + "\" /inheritance:r /grant:r \"%USERNAME%\":F";
}

} // namespace qz4
