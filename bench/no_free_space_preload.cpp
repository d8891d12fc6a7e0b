// Preloaded into the launcher by the install benchmark: the volume's free space cannot be
// had, so the disk-space check skips its size pre-scan, and the same rerun measured with and
// without it shows what the pre-scan costs.
#include <cerrno>
#include <sys/statvfs.h>

extern "C" int statvfs(const char*, struct statvfs*) {
    errno = ENOSYS;
    return -1;
}
extern "C" int statvfs64(const char*, struct statvfs64*) {
    errno = ENOSYS;
    return -1;
}
