// NConfigExt: the store's extension for its tests and fuzz targets. It
// reaches what the public interface keeps inside: the view and the handle's
// state for inspection, untyped stores, entry descriptions, and a lock
// release that reports its commit. Tools use NConfigTool (nconfig_tool.h)
// instead; nothing else derives from NConfig.
#ifndef LIB_SYSTEM_NCONFIG_EXT_H
#define LIB_SYSTEM_NCONFIG_EXT_H

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "lib/system/nconfig.h"

// What a lookup found at a path.
struct nc_entry_info {
  bool found = false;
  uint32_t type = 0;       // NC_DIR .. NC_LINK
  bool has_value = false;  // a value chunk exists (always true for NC_DIR)
  uint32_t length = 0;     // value length in bytes, or slot count
  uint32_t where = 0;      // offset of the entry in the file
  bool is_root = false;
};

class NConfigExt : public NConfig {
 public:
  explicit NConfigExt(int protect = 0) : NConfig(protect) {}

  // The handle's state and view, for inspection. Pointers into the view are
  // valid until the next call that may allocate or re-map.
  using NConfig::fd, NConfig::lock, NConfig::olck, NConfig::update, NConfig::cname;
  using NConfig::data, NConfig::lsize, NConfig::sb, NConfig::rdir, NConfig::cdir;
  using NConfig::chunks, NConfig::careful;
  using NConfig::_setKey, NConfig::canonize, NConfig::getDirEnt, NConfig::getName;
  using NConfig::alignSize, NConfig::getChunk, NConfig::freeChunk;

  // Stores a key of type `t` without going through the typed setters (for
  // keys that exist without a value, and for values copied byte for byte).
  // Results as setKey.
  int setUntyped(const char *path, uint32_t t, const char *value, uint32_t len) {
    return _setKey(path, t, value, len);
  }
  // Describes the entry `path` names, under a shared lock; found is false
  // when nothing is named so or the handle is not open.
  nc_entry_info describe(const char *path) {
    nc_entry_info e;
    if (fd < 0 || !path) return e;
    lockFile(NC_L_RO, 0);
    if (const nc_de_s *d = getDirEnt(path, nullptr)) {
      e.found = true;
      e.type = d->type;
      e.has_value = d->type == NC_DIR || d->offset != 0;
      e.length = d->pages;
      e.where = offsetOf(d);
      e.is_root = e.where == sb->root;
    }
    unLockFile();
    return e;
  }
  // A copy of the superblock (zeroes when the handle is not open).
  nc_sb_s superblock() {
    nc_sb_s copy = {};
    if (fd < 0) return copy;
    lockFile(NC_L_RO, 0);
    copy = *sb;
    unLockFile();
    return copy;
  }
  // Releases one lock level as unLockFile does, and answers the commit's
  // result when that was the outermost exclusive level: NC_ERR_OK, or
  // NC_ERR_NMEM / NC_ERR_PERM with the changes discarded.
  int release() { return _unlock(); }

  // The view, word by word.
  uint32_t offsetOf(const void *p) const { return uint32_t(static_cast<const char *>(p) - data); }
  uint32_t word(uint32_t off) const {
    uint32_t w;
    memcpy(&w, data + off, 4);
    return w;
  }
  nc_de_s *entryAt(uint32_t off) const { return reinterpret_cast<nc_de_s *>(data + off); }
  // The entry `path` names, or null; takes no lock.
  nc_de_s *find(const char *path) { return getDirEnt(path, nullptr); }
  // The entry `path` names, marked as about to change so that the next
  // commit writes whatever is stored into it (tests damage files this way);
  // null when nothing is named so. Takes no lock.
  nc_de_s *edit(const char *path) {
    nc_de_s *e = find(path);
    if (e) touch(offsetOf(e), sizeof(nc_de_s));
    return e;
  }
  // Names of the entries in the slots of directory `path`, "" for free ones.
  std::vector<std::string> slotNames(const char *path) {
    std::vector<std::string> names;
    const nc_de_s *d = find(path);
    for (uint32_t i = 0; d && d->offset && i < d->pages; i++)
      names.push_back(data + entryAt(word(d->offset + 4 * i))->name);
    return names;
  }
  // A copy of the whole view.
  std::vector<unsigned char> image() const { return {data, data + lsize}; }
};

#endif  // LIB_SYSTEM_NCONFIG_EXT_H
