// Windows: FlushFileBuffers on a volume handle writes every file of that volume. The volume
// is opened by its GUID name, which also serves a game on a mounted folder.
#include "common/durability.hpp"

#include "common/unique_handle_win32.hpp"

#include <windows.h>

namespace qz4 {

namespace {

// "\\?\Volume{...}" of the volume holding `path`, without the trailing backslash that would
// name its root directory instead of the volume; empty when it has none (a network share).
std::wstring volume_device_of(const std::wstring& path) {
    wchar_t mount_point[MAX_PATH + 1] = {};
    if (!::GetVolumePathNameW(path.c_str(), mount_point, MAX_PATH))
        return {};
    wchar_t volume[MAX_PATH + 1] = {};
    if (!::GetVolumeNameForVolumeMountPointW(mount_point, volume, MAX_PATH))
        return {};
    std::wstring device(volume);
    if (!device.empty() && device.back() == L'\\')
        device.pop_back();
    return device;
}

} // namespace

bool flush_volume_of(const std::wstring& path) {
    const std::wstring device = volume_device_of(path);
    if (device.empty())
        return false;
    const unique_handle volume(::CreateFileW(device.c_str(), GENERIC_READ | GENERIC_WRITE,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                             nullptr));
    return volume.valid() && ::FlushFileBuffers(volume.get()) != FALSE;
}

bool flush_file(const std::wstring& path) {
    // Flushing needs write access; sharing everything keeps a reader or scanner undisturbed.
    const unique_handle file(::CreateFileW(path.c_str(), GENERIC_WRITE,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return file.valid() && ::FlushFileBuffers(file.get()) != FALSE;
}

} // namespace qz4
