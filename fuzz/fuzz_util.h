// Support shared by the fuzz targets: an in-memory registry file that the
// store can open by name, a view fenced by inaccessible pages so that any
// access just outside it faults, and a way to keep the store's statistics
// off standard error without losing the sanitizers' reports.
#ifndef FUZZ_FUZZ_UTIL_H
#define FUZZ_FUZZ_UTIL_H

#include <fcntl.h>
#include <sanitizer/common_interface_defs.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "lib/system/nconfig.h"
#include "lib/system/nconfig/internal.h"

namespace fuzz {

// Bytes of inaccessible address space on each side of every view.
constexpr size_t kGuard = 64 * 1024;

// One fenced view: the reservation that holds it and where the view starts.
struct Fence {
  char *base = nullptr;  // start of the reservation
  size_t total = 0;      // length of the reservation
  char *view = nullptr;  // base + kGuard
};

// Views live one at a time per handle; a handful of slots is plenty.
inline Fence g_fences[8];

// The fence of `view`; of null, a free one.
inline Fence *fenceOf(void *view) {
  for (Fence &f : g_fences)
    if (f.view == view) return &f;
  return nullptr;
}

inline size_t pageRound(size_t n) {
  const size_t page = size_t(sysconf(_SC_PAGESIZE));
  return (n + page - 1) / page * page;
}

// Reserves len bytes of address space with a guard on each side.
inline char *reserve(size_t len, size_t *total) {
  *total = pageRound(len) + 2 * kGuard;
  void *p = ::mmap(nullptr, *total, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  return p == MAP_FAILED ? nullptr : static_cast<char *>(p);
}

// Records view `v`, placed in the reservation `base`, in fence `f`; gives
// the reservation back when the view could not be placed.
inline void *fence(Fence *f, char *base, size_t total, void *v) {
  const int err = errno;
  if (v == MAP_FAILED) return ::munmap(base, total), errno = err, MAP_FAILED;
  *f = Fence{base, total, static_cast<char *>(v)};
  return v;
}

inline void *fencedMmap(size_t len, int prot, int fd) {
  Fence *f = fenceOf(nullptr);
  size_t total;
  char *base = f ? reserve(len, &total) : nullptr;
  if (!base) return ::mmap(nullptr, len, prot, MAP_PRIVATE, fd, 0);
  return fence(f, base, total, ::mmap(base + kGuard, len, prot, MAP_PRIVATE | MAP_FIXED, fd, 0));
}

inline void *fencedMremap(void *old, size_t osize, size_t nsize) {
  Fence *f = fenceOf(old);
  size_t total;
  char *base = f ? reserve(nsize, &total) : nullptr;
  if (!base) return ::mremap(old, osize, nsize, MREMAP_MAYMOVE);
  void *v = ::mremap(old, osize, nsize, MREMAP_MAYMOVE | MREMAP_FIXED, base + kGuard);
  if (v != MAP_FAILED) ::munmap(f->base, f->total);  // the old guards (the view itself moved away)
  return fence(f, base, total, v);
}

inline int fencedMunmap(void *addr, size_t len) {
  if (Fence *f = fenceOf(addr)) {
    const int rc = ::munmap(f->base, f->total);
    *f = Fence{};
    return rc;
  }
  for (Fence &f : g_fences) {
    char *a = static_cast<char *>(addr);
    if (f.view && a > f.view && a < f.base + f.total) {
      // Trimming the tail of a view: the trimmed pages become guard.
      void *p = ::mmap(a, pageRound(len), PROT_NONE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED, -1, 0);
      return p == MAP_FAILED ? -1 : 0;
    }
  }
  return ::munmap(addr, len);
}

// Routes the store's mappings through fenced reservations.
inline void installFences() {
  nc::sys().mmap = fencedMmap;
  nc::sys().mremap = fencedMremap;
  nc::sys().munmap = fencedMunmap;
}

// An anonymous in-memory file, reachable by path for NConfig::setName.
class MemFile {
 public:
  MemFile() {
    if ((fd_ = memfd_create("registry", 0)) < 0) perror("memfd_create"), abort();
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  // Replaces the file's contents by data[0, n).
  void assign(const uint8_t *data, size_t n) {
    if (ftruncate(fd_, 0) != 0 || (n && pwrite(fd_, data, n, 0) != ssize_t(n))) perror("memfd"), abort();
  }
  const char *path() const { return path_.c_str(); }

 private:
  int fd_;
  std::string path_;
};

// Sanitizer reports go to a copy of standard error, so that standard error
// itself can be silenced around the store's statistics.
inline int g_quiet_fd = -1;
inline int g_saved_stderr = -1;

inline void initQuiet() {
  g_saved_stderr = dup(2);
  g_quiet_fd = ::open("/dev/null", O_WRONLY);
  __sanitizer_set_report_fd(reinterpret_cast<void *>(intptr_t(g_saved_stderr)));
}

// Runs fn with standard error sent to /dev/null.
template <typename Fn>
void quietly(Fn fn) {
  fflush(stderr);
  dup2(g_quiet_fd, 2);
  fn();
  fflush(stderr);
  dup2(g_saved_stderr, 2);
}

}  // namespace fuzz

#endif  // FUZZ_FUZZ_UTIL_H
