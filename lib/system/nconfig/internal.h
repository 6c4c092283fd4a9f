// Internal helpers of the registry store: bounds-checked access to records in
// the mapped view, and the seam through which the store makes system calls.
#ifndef LIB_SYSTEM_NCONFIG_INTERNAL_H
#define LIB_SYSTEM_NCONFIG_INTERNAL_H

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <cstring>

#include "lib/system/nconfig.h"
#include "format.h"
#include "raw_image.h"

namespace nc {

// The view as the store may touch it: `size` bytes from `data`. Every offset
// read from the file is checked against it before use, so a damaged file can
// make an operation fail but never reach outside the view.
struct View {
  char *data;
  uint32_t size;

  // True when [off, off + len) lies inside the view and off is word aligned.
  bool spans(uint32_t off, uint64_t len) const { return nc::spans(size, off, len); }
  // The entry at `off`, or null when it would not lie inside the view.
  nc_de_s *entry(uint32_t off) const {
    return off != 0 && spans(off, sizeof(nc_de_s))
               ? reinterpret_cast<nc_de_s *>(data + off)
               : nullptr;
  }
  // The NUL-terminated string at `off`, or null when it does not end inside
  // the view. Offset 0 is the empty name (byte 0 of the file is always 0).
  const char *str(uint32_t off) const {
    if (off >= size) return nullptr;
    return memchr(data + off, 0, size - off) ? data + off : nullptr;
  }
  // The slot array of directory `d`, or null when it has none or it would
  // not lie inside the view.
  uint32_t *slots(const nc_de_s *d) const {
    return d->offset != 0 && spans(d->offset, uint64_t(d->pages) * 4)
               ? reinterpret_cast<uint32_t *>(data + d->offset)
               : nullptr;
  }
  // The 32-bit word at `off` (a chunk header, a slot), or null.
  uint32_t *word(uint32_t off) const {
    return spans(off, 4) ? reinterpret_cast<uint32_t *>(data + off) : nullptr;
  }
  uint32_t offsetOf(const void *p) const {
    return uint32_t(static_cast<const char *>(p) - data);
  }
};

// Holds one level of a handle's lock for a scope. A writer ends it with
// finish(rc): growth refused since the last commit turns rc into NC_ERR_NMEM
// and drops the pending changes; the outermost release commits. A scope left
// without finish() only releases its level.
class LockScope {
 public:
  LockScope(NConfig &h, int type) : h_(h) { h_.lockFile(type, 0); }
  ~LockScope() {
    if (held_) h_.unLockFile();
  }
  int finish(int rc) {
    held_ = false;
    return h_.finishWrite(rc);
  }
  LockScope(const LockScope &) = delete;
  LockScope &operator=(const LockScope &) = delete;

 private:
  NConfig &h_;
  bool held_ = true;
};

// The system calls the store makes. Tests replace entries to inject faults;
// production code never changes them.
struct SysCalls {
  int (*open)(const char *path, int flags, mode_t mode);
  int (*close)(int fd);
  ssize_t (*pwrite)(int fd, const void *buf, size_t n, off_t off);
  int (*fsync)(int fd);
  int (*fstat_size)(int fd, off_t *size);
  int (*fallocate)(int fd, off_t off, off_t len);  // returns an errno value
  // Maps the file on `fd` privately; fd -1: anonymous memory, zeroed.
  void *(*mmap)(size_t len, int prot, int fd);
  void *(*mremap)(void *old, size_t osize, size_t nsize);
  int (*munmap)(void *addr, size_t len);
  int (*mprotect)(void *addr, size_t len, int prot);
  int (*fcntl_lock)(int fd, int cmd, short type);
  ssize_t (*pread)(int fd, void *buf, size_t n, off_t off);
  int (*fdatasync)(int fd);
  int (*fstat)(int fd, struct stat *st);
  // Maps file bytes [off, off + len) privately over the view at `addr`.
  void *(*mmap_fixed)(void *addr, size_t len, int prot, int fd, off_t off);
  // This boot's id, as the kernel tells it ("" when it does not).
  const char *(*boot_id)();
};

// The table in force. Defaults to the real system calls.
SysCalls &sys();
// Restores the real system calls.
void resetSysCalls();

}  // namespace nc

#endif  // LIB_SYSTEM_NCONFIG_INTERNAL_H
