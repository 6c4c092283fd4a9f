// The real system calls behind the store's seam.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

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
  return ::mmap(nullptr, len, prot, MAP_PRIVATE, fd, 0);
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

const SysCalls kReal = {sysOpen,     sysClose, sysPwrite, sysFsync,
                        sysFstatSize, sysFallocate, sysMmap, sysMremap,
                        sysMunmap,   sysMprotect, sysFcntlLock};
SysCalls current = kReal;

}  // namespace

SysCalls &sys() { return current; }
void resetSysCalls() { current = kReal; }

}  // namespace nc
