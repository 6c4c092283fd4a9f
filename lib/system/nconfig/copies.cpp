// Byte-for-byte copies of a registry: nc_convert (in a byte order asked for)
// and nc_backup (as committed). See lib/system/nconfig_tool.h.
#include <sys/stat.h>

#include "byteorder.h"
#include "image_file.h"
#include "lib/system/nconfig_tool.h"
#include "raw_image.h"

namespace {

// NC_ERR_PERM when something exists at `dst`: answered before any work. The
// exclusive creation of dst stays what decides.
int vacant(const char *dst, std::string *why) {
  struct stat st;
  if (lstat(dst, &st) == 0) return *why = "exists already", NC_ERR_PERM;
  return NC_ERR_OK;
}

}  // namespace

int nc_convert(const char *src, const char *dst, int order, std::string *why) {
  std::string ignored;
  if (!why) why = &ignored;
  if (!src || !dst || (order != NC_ORDER_LITTLE && order != NC_ORDER_BIG))
    return *why = "invalid argument", NC_ERR_NVAL;
  if (int rc = vacant(dst, why)) return rc;
  std::vector<char> image;
  if (int rc = nc::readSound(src, &image, why)) return rc;
  const nc::RawImage raw = nc::RawImage::of(image.data(), image.size());
  nc_sb_s sb;
  raw.superblock(&sb);
  image.resize(sb.size);  // bytes past the recorded size do not belong to it
  const bool big = raw.swapped() != nc::hostIsBig();
  if (big != (order == NC_ORDER_BIG)) {
    const std::string problem = nc::swapOrder(image.data(), image.size(), big);
    if (!problem.empty()) return *why = problem, NC_ERR_CORRUPT;
  }
  return nc::writeNewFile(dst, image.data(), image.size(), why);
}

int nc_backup(const char *src, const char *dst, std::string *why) {
  std::string ignored;
  if (!why) why = &ignored;
  if (!src || !dst) return *why = "invalid argument", NC_ERR_NVAL;
  if (int rc = vacant(dst, why)) return rc;
  std::vector<char> image;
  if (int rc = nc::readSound(src, &image, why)) return rc;
  return nc::writeNewFile(dst, image.data(), image.size(), why);
}
