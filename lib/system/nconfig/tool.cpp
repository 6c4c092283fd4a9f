// NConfigTool's writers and figures: untyped stores, rollback, the
// superblock's figures, the stamp of what was committed, and the files a
// watcher follows.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <string>
#include <vector>

#include "internal.h"
#include "lib/system/nconfig_tool.h"

using nc::sys;

namespace {

// True when a value of type `t` may be `len` bytes long (0 only for a key
// without a value, which the caller has sorted out).
bool lengthFits(uint32_t t, const char *value, uint32_t len) {
  switch (t) {
    case NC_STRING: return len >= 1 && value[len - 1] == '\0';
    case NC_INT:
    case NC_UINT: return len == 4 || len == 8;
    case NC_DOUBLE: return len == 8 || len == 16;
    case NC_RAW: return true;
  }
  return false;
}

uint64_t nanoseconds(const struct timespec &t) {
  return uint64_t(t.tv_sec) * 1000000000u + uint64_t(t.tv_nsec);
}

// Writes the identity, size and change times of `st` into words[0, 4).
void stampWords(const struct stat &st, uint64_t *words) {
  words[0] = uint64_t(st.st_ino);
  words[1] = uint64_t(st.st_size);
  words[2] = nanoseconds(st.st_mtim);
  words[3] = nanoseconds(st.st_ctim);
}

}  // namespace

int NConfigTool::setUntyped(const char *path, uint32_t t, const char *value, uint32_t len) {
  if (fd < 0) return NC_ERR_NFILE;
  if (!path || t < NC_STRING || t > NC_DOUBLE) return NC_ERR_NVAL;
  if (!value && len != 0) return NC_ERR_NVAL;
  if (t == NC_RAW && len == 0) value = nullptr;  // an empty raw value is none
  if (value && !lengthFits(t, value, len)) return NC_ERR_NVAL;
  return _setKey(path, t, value, len);
}

int NConfigTool::rollback() {
  if (fd < 0) return NC_ERR_NFILE;
  if (lock != NC_L_RW) return NC_ERR_PERM;
  if (showsCopy()) return NC_ERR_OK;  // a copy refuses every write: nothing to undo
  discardPending();
  // A growth left the file longer than the size it records. Under the
  // exclusive lock no other process looks past that size, and this view no
  // longer reaches there once it was shortened.
  off_t flen = 0;
  if (data && !viewStale() && lsize == sb->size && sys().fstat_size(fd, &flen) == 0 && uint64_t(flen) > lsize) {
    int rc;
    do {
      rc = nc::sys().ftruncate(fd, off_t(lsize));
    } while (rc != 0 && errno == EINTR);
  }
  return NC_ERR_OK;
}

int NConfigTool::parameters(nc_params *out) {
  if (fd < 0) return NC_ERR_NFILE;
  if (!out) return NC_ERR_NVAL;
  nc::LockScope lock(*this, NC_L_RO);
  if (viewStale() || !data) return NC_ERR_NMEM;
  *out = nc_params{sb->size_inc, sb->ent_inc, sb->chunk_inc};
  return NC_ERR_OK;
}

int NConfigTool::space(nc_space *out) {
  if (fd < 0) return NC_ERR_NFILE;
  if (!out) return NC_ERR_NVAL;
  nc::LockScope lock(*this, NC_L_RO);
  if (viewStale() || !data) return NC_ERR_NMEM;
  const nc::FreeSpace f = nc::freeSpace(data, lsize, *sb);
  *out = nc_space{sb->size, sb->chunk_ttl, sb->chunk, sb->modtime, f.known,
                  f.bytes,  f.chunks,     f.min,     f.max};
  return NC_ERR_OK;
}

int NConfigTool::byteOrder() const {
  if (fd < 0) return 0;
  const int host = nc_host_order();
  if (!fileForeign()) return host;
  return host == NC_ORDER_BIG ? NC_ORDER_LITTLE : NC_ORDER_BIG;
}

int NConfigTool::stamp(nc_stamp *out) {
  if (fd < 0) return NC_ERR_NFILE;
  if (!out) return NC_ERR_NVAL;
  nc::LockScope lock(*this, NC_L_RO);
  nc_stamp s = {};
  struct stat st;
  if (sys().fstat(fd, &st) != 0) return NC_ERR_NMEM;
  stampWords(st, s.words);
  // No journal (yet, or any more) leaves its four words 0.
  try {
    if (stat((std::string(fname) + "-journal").c_str(), &st) == 0) stampWords(st, s.words + 4);
  } catch (const std::bad_alloc &) {
    return NC_ERR_NMEM;
  }
  *out = s;
  return NC_ERR_OK;
}

std::vector<std::string> NConfigTool::watchedFiles() const {
  if (!fname) return {};
  try {
    return {fname, std::string(fname) + "-journal"};
  } catch (const std::bad_alloc &) {
    return {};
  }
}
