// Path resolution and navigation: lookups, absolute names, the current
// directory and directory listings.
//
// Lookups never allocate inside the file and never re-map it. They rely on
// every directory's slots holding used entries first, in descending name
// order, then free entries (whose empty name sorts below every other name).
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "cache.h"
#include "internal.h"
#include "paths.h"

namespace nc {

nc_de_s *findChild(const View &v, const nc_de_s *dir, const char *comp, size_t len,
                   int64_t *slot) {
  if (slot) *slot = -1;
  if (dir->type != NC_DIR || dir->pages == 0) return nullptr;
  const uint32_t *slots = v.slots(dir);
  if (!slots) return nullptr;
  int64_t left = 0, right = int64_t(dir->pages) - 1;
  while (left <= right) {
    const int64_t mid = (left + right) / 2;
    nc_de_s *e = v.entry(slots[mid]);
    if (!e) return nullptr;
    bool bad = false;
    const int c = compareComponent(v, comp, len, e->name, &bad);
    if (bad) return nullptr;
    if (c < 0)
      left = mid + 1;
    else if (c > 0)
      right = mid - 1;
    else
      return e;
  }
  if (slot) *slot = left;  // the first slot whose name sorts below comp
  return nullptr;
}

nc_de_s *parentOf(const View &v, const nc_de_s *e) { return v.entry(e->parent); }

const char *nextComponent(const char *p, size_t *len) {
  const char *end = strchr(p, '/');
  *len = end ? size_t(end - p) : strlen(p);
  return p;
}

nc_de_s *walkPath(const View &v, nc_de_s *e, const char *p, const char **rest, bool *blocked,
                  int64_t *slot) {
  *blocked = false;
  // The walk ends at the first empty component, as in the canonical form.
  for (;;) {
    size_t len;
    nextComponent(p, &len);
    *rest = len == 0 ? "" : p;
    if (len == 0) return e;
    if (e->type != NC_DIR) {
      *blocked = true;  // a key cannot hold what follows
      return e;
    }
    const bool up = len == 2 && p[0] == '.' && p[1] == '.', here = len == 1 && p[0] == '.';
    nc_de_s *next = up ? parentOf(v, e) : here ? e : findChild(v, e, p, len, slot);
    if (!next) return up ? nullptr : e;
    e = next;
    p += len;
    if (*p == '/') p++;
  }
}

}  // namespace nc

char *NConfig::canonize(const char *name) {
  if (!name) return nullptr;
  if (*name == '/') name++;
  const size_t len = strlen(name);
  char *buf = static_cast<char *>(calloc(len + 3, 1));
  if (!buf) return nullptr;
  for (size_t i = 0; i < len; i++) buf[i] = name[i] == '/' ? '\0' : name[i];
  return buf;
}

nc_de_s *NConfig::getDirEnt(const char *name, nc_de_s *cc) {
  if (!name || !data) return nullptr;
  nc_de_s *e = cc ? cc : (*name == '/' ? rdir : cdir);
  if (!e) return nullptr;
  char buf[nc::PathCache::kMaxKey + 1];
  size_t len = 0;
  const char *key = cc || !rdir ? nullptr : cacheKey(name, buf, &len);
  const char *rest;
  bool blocked;
  if (key)
    e = walkCached(key, len, &rest, &blocked);
  else
    e = nc::walkPath(nc::View{data, lsize}, e, *name == '/' ? name + 1 : name, &rest, &blocked);
  return e && *rest == '\0' && !blocked ? e : nullptr;
}

namespace {

// True when p[0, len) is a component the cache may key: not empty, "." or "..".
inline bool plainComponent(const char *p, size_t len) {
  return len > 2 || (len == 1 && p[0] != '.') || (len == 2 && (p[0] != '.' || p[1] != '.'));
}

}  // namespace

const char *NConfig::cacheKey(const char *name, char *buf, size_t *len) const {
  if (!pcache) return nullptr;
  const char *key = name;
  size_t n;
  if (*name == '/') {
    n = strlen(name);
  } else {
    // The current directory's path is cname; the root's is "/" alone.
    if (!cname || !*name) return nullptr;
    const size_t c = strlen(cname), r = strlen(name), sep = c > 1 ? 1 : 0;
    if (c + sep + r > nc::PathCache::kMaxKey) return nullptr;
    memcpy(buf, cname, c);
    buf[c] = '/';
    memcpy(buf + c + sep, name, r + 1);
    n = c + sep + r;
    key = buf;
  }
  if (n < 2 || n > nc::PathCache::kMaxKey) return nullptr;
  for (size_t start = 1, i = 1; i <= n; i++) {
    if (i < n && key[i] != '/') continue;
    if (!plainComponent(key + start, i - start)) return nullptr;
    start = i + 1;
  }
  *len = n;
  return key;
}

nc_de_s *NConfig::cachedEntry(const char *key, size_t len) {
  const uint32_t off = pcache->find(key, len, sb->modtime, lsize);
  if (!off) return nullptr;
  nc_de_s *e = nc::View{data, lsize}.entry(off);
  return e && e->type != 0 ? e : nullptr;
}

void NConfig::remember(const char *key, size_t len, uint32_t off) {
  // A free entry is never cached: an insertion may reuse it.
  const nc::View v{data, lsize};
  const nc_de_s *e = v.entry(off);
  if (pcache && e && e->type != 0) pcache->put(key, len, off, sb->modtime, lsize);
}

void NConfig::dropCache() {
  if (pcache) pcache->drop();
}

nc_de_s *NConfig::walkCached(const char *key, size_t len, const char **rest, bool *blocked,
                             int64_t *slot) {
  *rest = "";
  *blocked = false;
  if (nc_de_s *hit = cachedEntry(key, len)) return hit;
  const nc::View v{data, lsize};
  // Start at the key's directory when it is cached, else at the root.
  size_t cut = len;
  while (key[cut - 1] != '/') cut--;
  nc_de_s *dir = cut > 1 ? cachedEntry(key, cut - 1) : nullptr;
  const bool dir_cached = dir != nullptr;
  nc_de_s *e = dir_cached ? dir : rdir;
  const char *p = dir_cached ? key + cut : key + 1;
  const char *const end = key + len;
  nc_de_s *parent = nullptr;
  for (;;) {
    const char *slash = static_cast<const char *>(memchr(p, '/', size_t(end - p)));
    const char *q = slash ? slash : end;
    if (e->type != NC_DIR) {
      *rest = p;
      *blocked = true;  // a key cannot hold what follows
      return e;
    }
    nc_de_s *next = nc::findChild(v, e, p, size_t(q - p), slot);
    if (!next) {
      *rest = p;
      return e;
    }
    parent = e;
    e = next;
    if (!slash) break;
    p = slash + 1;
  }
  if (!dir_cached && cut > 1) remember(key, cut - 1, v.offsetOf(parent));
  remember(key, len, v.offsetOf(e));
  return e;
}

namespace nc {

int absoluteName(const View &v, uint32_t root, const nc_de_s *w, char **out) {
  *out = nullptr;
  // A chain longer than the file could hold is a cycle in a damaged file.
  const size_t limit = v.size / sizeof(nc_de_s);
  try {
    std::vector<uint32_t> names;
    for (const nc_de_s *e = w; v.offsetOf(e) != root; e = parentOf(v, e)) {
      if (!e || names.size() > limit) return NC_ERR_CORRUPT;
      names.push_back(e->name);
    }
    std::string path = "/";
    for (size_t i = names.size(); i-- > 0;) {
      const char *s = v.str(names[i]);
      if (!s) return NC_ERR_CORRUPT;
      if (path.size() != 1) path += '/';
      path += s;
    }
    *out = strdup(path.c_str());
    return *out ? NC_ERR_OK : NC_ERR_NMEM;
  } catch (const std::bad_alloc &) {
    return NC_ERR_NMEM;
  }
}

}  // namespace nc

char *NConfig::getName(const nc_de_s *w) {
  if (!w || !data) return nullptr;
  char *path;
  nc::absoluteName(nc::View{data, lsize}, sb->root, w, &path);
  return path;
}

int NConfig::chDir(const char *name) {
  if (fd < 0) return NC_ERR_NFILE;
  if (!name) return NC_ERR_NVAL;
  nc::LockScope lock(*this, NC_L_RO);
  if (viewStale()) return NC_ERR_NMEM;
  int rc = NC_ERR_OK;
  nc_de_s *e = getDirEnt(name, nullptr);
  if (!e) {
    rc = NC_ERR_NEXIST;
  } else if (e->type != NC_DIR) {
    rc = NC_ERR_NDIR;
  } else {
    char *path;
    rc = nc::absoluteName(nc::View{data, lsize}, sb->root, e, &path);
    if (rc == NC_ERR_OK) {
      free(cname);
      cname = path;
      cdir = e;
    }
  }
  return rc;
}

char *NConfig::pwDir() {
  if (fd < 0) return nullptr;
  nc::LockScope lock(*this, NC_L_RO);
  return cname ? strdup(cname) : nullptr;
}

nc_ls_s *NConfig::ls(const char *name) {
  if (fd < 0) return nullptr;
  nc::LockScope lock(*this, NC_L_RO);
  if (viewStale()) return nullptr;
  nc_ls_s *list = nullptr;
  const nc::View v{data, lsize};
  nc_de_s *d = name ? getDirEnt(name, nullptr) : cdir;
  const uint32_t *slots = d && d->type == NC_DIR && d->pages ? v.slots(d) : nullptr;
  if (slots) {
    size_t used = 0;
    for (uint32_t i = 0; i < d->pages; i++) {
      const nc_de_s *e = v.entry(slots[i]);
      if (e && e->type != 0 && e->name != 0 && v.str(e->name)) used++;
    }
    if (used) list = static_cast<nc_ls_s *>(calloc(used + 1, sizeof(nc_ls_s)));
    size_t n = 0;
    for (uint32_t i = 0; list && i < d->pages && n < used; i++) {
      const nc_de_s *e = v.entry(slots[i]);
      if (!e || e->type == 0 || e->name == 0 || !v.str(e->name)) continue;
      list[n].name = strdup(data + e->name);
      list[n].type = e->type;
      if (!list[n].name) {
        for (size_t k = 0; k < n; k++) free(list[k].name);
        free(list);
        list = nullptr;
      }
      n++;
    }
  }
  return list;
}
