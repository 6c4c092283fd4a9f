// A walk over a registry image that trusts none of its words: what copies
// and salvage read a tree with.
#ifndef LIB_SYSTEM_NCONFIG_CAREFUL_WALK_H
#define LIB_SYSTEM_NCONFIG_CAREFUL_WALK_H

#include <cstdint>
#include <string>
#include <vector>

#include "raw_image.h"

namespace nc {

// Receives the entries a careful walk keeps.
class TreeSink {
 public:
  virtual ~TreeSink() = default;
  // The directory `path` ("/" for the root), with the number of entries kept
  // in it; called before anything below it. NC_ERR_OK, or a failure that
  // ends the walk.
  virtual int directory(const std::string &path, uint32_t children) = 0;
  // The key `path` of type `type` (NC_STRING .. NC_DOUBLE) with its `len`
  // value bytes in this machine's order, or a null value for a key without
  // one. The bytes are valid during the call only. NC_ERR_OK, or a failure
  // that ends the walk.
  virtual int key(const std::string &path, uint32_t type, const char *value, uint32_t len) = 0;
};

// What a careful walk kept and left out.
struct WalkReport {
  std::vector<std::string> lost;  // "PATH: reason", one per entry left out
  uint32_t directories = 0;       // kept, the root included
  uint32_t keys = 0;              // kept keys
};

// Directories deeper than this below the root are left out: a path that long
// is damage, and every store into it would walk it again.
constexpr uint32_t kMaxWalkDepth = 1000;

// Walks `image` from the directory entry at `root`, depth first, and hands
// `sink` every entry whose name (a plain name, NUL-terminated inside the
// image, not "." or ".."), type, parent link and whole value are sound:
// directories before their contents. A directory is visited once; its
// entries are read only from a slot array inside the image. Integers of 1,
// 2 or 4 bytes are widened to 8 (by sign for NC_INT); a string is kept to
// its first NUL. Everything else is listed in `report->lost` with the reason,
// by path or by the directory and slot it hangs from; the work done is
// bounded by the image's size. Answers NC_ERR_OK or the sink's failure;
// `report` counts what the sink took.
int walkCarefully(const RawImage &image, uint32_t root, TreeSink &sink, WalkReport *report);

}  // namespace nc

#endif  // LIB_SYSTEM_NCONFIG_CAREFUL_WALK_H
