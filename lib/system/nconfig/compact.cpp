// nc_compact: the tree of a registry written afresh into a new file, with
// every directory's slot array holding exactly its entries. See
// lib/system/nconfig_tool.h.
#include <sys/stat.h>

#include "byteorder.h"
#include "careful_walk.h"
#include "image_file.h"
#include "lib/system/nconfig_tool.h"
#include "new_registry.h"

int nc_compact(const char *src, const char *dst, const nc_params *p, std::string *why) {
  std::string ignored;
  if (!why) why = &ignored;
  if (!src || !dst) return *why = "invalid argument", NC_ERR_NVAL;
  struct stat st;
  if (lstat(dst, &st) == 0) return *why = "exists already", NC_ERR_PERM;
  std::vector<char> image;
  if (int rc = nc::readSound(src, &image, why)) return rc;
  const nc::RawImage whole = nc::RawImage::of(image.data(), image.size());
  nc_sb_s sb;
  whole.superblock(&sb);
  const nc_params own = {sb.size_inc, sb.ent_inc, sb.chunk_inc};
  nc::NewRegistry copy;
  if (int rc = copy.create(dst, p ? *p : own, why)) return rc;
  nc::WalkReport report;
  if (int rc = nc::walkCarefully(whole.prefix(sb.size), sb.root, copy, &report))
    return *why = copy.refusal(), rc;
  // The checker passed it: whatever the walk leaves out is what no path can
  // name (an entry called "." or "..", a tree too deep).
  if (!report.lost.empty()) return *why = report.lost.front(), NC_ERR_CORRUPT;
  const bool big = whole.swapped() != nc::hostIsBig();
  return copy.finish(big ? NC_ORDER_BIG : NC_ORDER_LITTLE, why);
}
