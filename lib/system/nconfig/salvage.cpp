// nc_salvage: what a damaged registry still holds, copied into a new one.
// The tree is found from what is left of the fixed layout when the
// superblock cannot be trusted: the root entry at offset 36 naming "/" at 60
// and the free-chunk table's header. See lib/system/nconfig_tool.h.
#include <sys/stat.h>

#include "byteorder.h"
#include "careful_walk.h"
#include "format.h"
#include "image_file.h"
#include "lib/system/nconfig_tool.h"
#include "new_registry.h"

namespace {

// Parameters of a salvaged file whose own cannot make a registry.
constexpr nc_params kDefaultParams = {1, 8, 16};

// How many signs of a registry read right in the image read as `r`: the root
// entry's type, parent and name, the superblock's root and size, and a
// free-chunk table with a header that fits it (at 68, or where the
// superblock says).
int signs(const nc::RawImage &r) {
  int n = 0;
  nc_de_s root = {};
  if (r.entry(nc::kRootOffset, &root))
    n += (root.type == NC_DIR) + (root.parent == nc::kRootOffset) + (root.name == nc::kRootNameOffset);
  nc_sb_s sb = {};
  if (!r.superblock(&sb)) return n;
  n += (sb.root == nc::kRootOffset) + (sb.size == r.size());
  for (uint64_t table : {uint64_t(nc::kTableOffset), uint64_t(sb.chunk)}) {
    uint32_t h = 0;
    if (r.chunkHeader(table, &h) && h % 8 == 4 && h >= 4 + 8 * nc::kMinChunks &&
        r.inside(table, h - 4)) {
      n++;
      break;
    }
  }
  return n;
}

// Where the tree of a damaged image lies, and how to copy it.
struct Found {
  bool swapped = false;  // of the other byte order than this machine's
  size_t limit = 0;      // bytes that belong to the registry
  nc_params params = kDefaultParams;
};

// Finds the tree of `image`; false when no root directory can be made out.
bool findTree(const std::vector<char> &image, Found *out) {
  const nc::RawImage host(image.data(), image.size(), false);
  const nc::RawImage other(image.data(), image.size(), true);
  const int h = signs(host), o = signs(other);
  if (h == 0 && o == 0) return false;
  out->swapped = h != o ? o > h : nc::RawImage::of(image.data(), image.size()).swapped();
  const nc::RawImage &r = out->swapped ? other : host;
  nc_de_s root = {};
  if (!r.entry(nc::kRootOffset, &root)) return false;
  const bool slots = root.offset != 0 && r.spans(root.offset, uint64_t(root.pages) * 4);
  if (root.type != NC_DIR && !slots) return false;
  nc_sb_s sb = {};
  out->limit = image.size();
  if (!r.superblock(&sb) || sb.root != nc::kRootOffset) return true;
  if (sb.size >= nc::kTableOffset && sb.size <= image.size() && sb.size % 4 == 0)
    out->limit = sb.size;
  if (!nc::creationProblem(sb.size_inc, sb.ent_inc, sb.chunk_inc))
    out->params = {sb.size_inc, sb.ent_inc, sb.chunk_inc};
  return true;
}

}  // namespace

int nc_salvage(const char *damaged, const char *dst, nc_salvage_report *report,
               std::string *why) {
  std::string ignored;
  if (!why) why = &ignored;
  if (!damaged || !dst) return *why = "invalid argument", NC_ERR_NVAL;
  struct stat st;
  if (lstat(dst, &st) == 0) return *why = "exists already", NC_ERR_PERM;
  std::vector<char> image;
  if (int rc = nc::readCommitted(damaged, &image, why)) return rc;
  Found found;
  if (!findTree(image, &found))
    return *why = "no root directory at offset 36: nothing of a registry was found", NC_ERR_CORRUPT;
  nc::NewRegistry copy;
  if (int rc = copy.create(dst, found.params, why)) return rc;
  const nc::RawImage r(image.data(), found.limit, found.swapped);
  nc::WalkReport walked;
  if (int rc = nc::walkCarefully(r, nc::kRootOffset, copy, &walked)) return *why = copy.refusal(), rc;
  const bool big = found.swapped != nc::hostIsBig();
  if (int rc = copy.finish(big ? NC_ORDER_BIG : NC_ORDER_LITTLE, why)) return rc;
  if (report) {
    report->lost = std::move(walked.lost);
    report->directories = walked.directories;
    report->keys = walked.keys;
  }
  return NC_ERR_OK;
}
