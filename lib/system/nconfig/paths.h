// Lookup helpers shared by the store's source files.
#ifndef LIB_SYSTEM_NCONFIG_PATHS_H
#define LIB_SYSTEM_NCONFIG_PATHS_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "internal.h"

namespace nc {

// Compares the path component comp[0, len) with the name at `name_off`, byte
// by byte as unsigned values: negative when the component sorts below the
// name. Sets *bad when the name does not end inside the view. Inline: it runs
// at every probe of every lookup, where a call costs more than its checks.
inline int compareComponent(const View &v, const char *comp, size_t len, uint32_t name_off,
                            bool *bad) {
  if (name_off >= v.size) {
    *bad = true;
    return 0;
  }
  const unsigned char *n = reinterpret_cast<const unsigned char *>(v.data + name_off);
  const size_t avail = v.size - name_off;
  if (len < avail) {
    // The component holds no NUL, so a shorter name differs from it at its
    // terminator, which sorts lowest: memcmp then answers as strcmp would.
    const int c = memcmp(comp, n, len);
    if (c != 0) return c < 0 ? -1 : 1;
    return n[len] == 0 ? 0 : -1;
  }
  // The name may run to the end of the view: compare byte by byte.
  const unsigned char *c = reinterpret_cast<const unsigned char *>(comp);
  for (size_t i = 0; i < avail; i++) {
    if (n[i] != c[i]) return c[i] < n[i] ? -1 : 1;
  }
  *bad = true;
  return 0;
}

// The used child of directory `dir` named comp[0, len), by binary search over
// its slots; null when there is none or the directory is damaged. When there
// is none and `slot` is given, *slot is the index where an entry of that name
// would be inserted (-1 when the directory is damaged).
nc_de_s *findChild(const View &v, const nc_de_s *dir, const char *comp, size_t len,
                   int64_t *slot = nullptr);

// Follows the path `p` (no leading "/") from entry `e` as far as entries
// exist, ending at its first empty component. Returns the deepest entry
// reached and sets *rest to the first component that does not exist, or to
// "" when the whole path does. Sets *blocked when a key stands where a
// directory is needed (the key is returned). Null when a "." or ".." step
// leaves the view (a damaged parent link). With `slot`, the insertion index
// of *rest's first component in the returned directory, or -1 (findChild).
nc_de_s *walkPath(const View &v, nc_de_s *e, const char *p, const char **rest, bool *blocked,
                  int64_t *slot = nullptr);

// The parent entry of `e`, or null when its link leaves the view.
nc_de_s *parentOf(const View &v, const nc_de_s *e);

// Sets *out to a heap copy of the absolute path of entry `w`, found by
// following `parent` up to the entry at `root`. NC_ERR_CORRUPT when a link
// leaves the view, a name does not end inside it, or the chain never reaches
// the root; NC_ERR_NMEM when memory is refused.
int absoluteName(const View &v, uint32_t root, const nc_de_s *w, char **out);

// Sets *len to the length of the path component starting at p (up to the
// next "/" or the end) and returns p.
const char *nextComponent(const char *p, size_t *len);

}  // namespace nc

#endif  // LIB_SYSTEM_NCONFIG_PATHS_H
