// The real system calls behind the store's seam.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "internal.h"

namespace nc {
namespace {

int sysOpen(const char *path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int sysClose(int fd) { return ::close(fd); }
ssize_t sysPwrite(int fd, const void *buf, size_t n, off_t off) {
  return ::pwrite(fd, buf, n, off);
}
int sysFsync(int fd) { return ::fsync(fd); }
int sysFstatSize(int fd, off_t *size) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return -1;
  *size = st.st_size;
  return 0;
}
int sysFallocate(int fd, off_t off, off_t len) { return ::posix_fallocate(fd, off, len); }
void *sysMmap(size_t len, int prot, int fd) {
  return ::mmap(nullptr, len, prot, fd < 0 ? MAP_PRIVATE | MAP_ANONYMOUS : MAP_PRIVATE, fd, 0);
}
void *sysMremap(void *old, size_t osize, size_t nsize) {
  return ::mremap(old, osize, nsize, MREMAP_MAYMOVE);
}
int sysMunmap(void *addr, size_t len) { return ::munmap(addr, len); }
int sysMprotect(void *addr, size_t len, int prot) { return ::mprotect(addr, len, prot); }
int sysFcntlLock(int fd, int cmd, short type) {
  struct flock fl = {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = 0;
  fl.l_len = 0;
  return ::fcntl(fd, cmd, &fl);
}

ssize_t sysPread(int fd, void *buf, size_t n, off_t off) { return ::pread(fd, buf, n, off); }
int sysFdatasync(int fd) { return ::fdatasync(fd); }
int sysFstat(int fd, struct stat *st) { return ::fstat(fd, st); }
void *sysMmapFixed(void *addr, size_t len, int prot, int fd, off_t off) {
  return ::mmap(addr, len, prot, MAP_PRIVATE | MAP_FIXED, fd, off);
}
const char *sysBootId() {
  static char id[64];
  static bool read = false;
  if (!read) {
    read = true;
    const int f = ::open("/proc/sys/kernel/random/boot_id", O_RDONLY | O_CLOEXEC);
    if (f >= 0) {
      const ssize_t n = ::read(f, id, sizeof id - 1);
      id[n > 0 ? n : 0] = '\0';
      if (char *nl = strchr(id, '\n')) *nl = '\0';
      ::close(f);
    }
  }
  return id;
}

const SysCalls kReal = {sysOpen,     sysClose, sysPwrite, sysFsync,
                        sysFstatSize, sysFallocate, sysMmap, sysMremap,
                        sysMunmap,   sysMprotect, sysFcntlLock, sysPread,
                        sysFdatasync, sysFstat, sysMmapFixed, sysBootId};
SysCalls current = kReal;

}  // namespace

SysCalls &sys() { return current; }
void resetSysCalls() { current = kReal; }

}  // namespace nc
