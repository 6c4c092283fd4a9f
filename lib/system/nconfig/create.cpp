// Key creation and update: inserting entries into directories, creating
// missing directories on a path, sizing slot arrays and storing values.
//
// Every allocation may move the view, so links kept across getChunk and
// freeChunk are offsets; pointers are re-derived from `data` afterwards. The
// order of allocations (name chunk, the parent's new array, its new entries,
// then the value chunk) decides where everything lands in the file.
#include <cstring>

#include "cache.h"
#include "internal.h"
#include "paths.h"

namespace {

bool isDotName(const char *p, size_t len) {
  return (len == 1 && p[0] == '.') || (len == 2 && p[0] == '.' && p[1] == '.');
}

// Bytes a request may need at most, with room for the slot array and entry
// chunks of a directory; used to refuse sizes a 32-bit file cannot hold.
uint64_t worstCaseBytes(unsigned int t, unsigned int len) {
  return t == NC_DIR ? uint64_t(len) * (4 + 28) + 8 : uint64_t(len) + 8;
}

}  // namespace

bool NConfig::growDirectory(uint32_t where) {
  // Grow by ent_inc pre-allocated free entries. The slot count and array are
  // kept here, not re-read from the entry: in a damaged file an allocation
  // may land on the entry itself.
  const nc_de_s *w = reinterpret_cast<const nc_de_s *>(data + where);
  const uint32_t inc = sb->ent_inc;
  const uint32_t old = w->offset;
  uint32_t pages = old ? w->pages : 0;
  const uint64_t bytes = (uint64_t(pages) + inc) * 4 + 4 + uint64_t(inc) * (sizeof(nc_de_s) + 4);
  if (inc == 0 || inc > nc::kMaxEntInc || lsize + bytes > nc::kMaxFileBytes) return false;
  const uint32_t grown = getChunk((pages + inc) * 4);
  if (!grown) return false;
  if (old) {
    memmove(data + grown, data + old, size_t(pages) * 4);  // may overlap if damaged
    freeChunk(old);
  }
  for (uint32_t k = 0;; k++) {
    touch(where, sizeof(nc_de_s));
    nc_de_s *d = reinterpret_cast<nc_de_s *>(data + where);
    d->offset = grown;
    d->pages = pages;
    if (k == inc) return true;
    const uint32_t e = getChunk(sizeof(nc_de_s));
    if (!e) return false;
    reinterpret_cast<uint32_t *>(data + grown)[pages++] = e;
  }
}

// Index of the first slot of `dir` whose entry is free or has a smaller
// name than `name`; -1 when the directory is damaged on the way.
static int64_t insertionSlot(const nc::View &v, const nc_de_s *dir, const char *name) {
  const uint32_t *slots = reinterpret_cast<const uint32_t *>(v.data + dir->offset);
  const size_t name_len = strlen(name);
  int64_t left = 0, right = int64_t(dir->pages) - 1, i = 0;
  while (left <= right) {
    const int64_t c = (left + right) / 2;
    const nc_de_s *ce = v.entry(slots[c]);
    if (!ce) return -1;
    bool bad = false;
    const bool before = ce->type == 0 || nc::compareComponent(v, name, name_len, ce->name, &bad) > 0;
    if (bad) return -1;
    if (before) {
      i = c;
      right = c - 1;
    } else {
      left = c + 1;
    }
  }
  return i;
}

// True when slot i of `dir` is where `name` goes: the first slot whose entry
// is free or has a smaller name.
static bool slotFits(const nc::View &v, const nc_de_s *dir, const char *name, int64_t i) {
  if (i < 0 || i >= int64_t(dir->pages)) return false;
  const uint32_t *slots = reinterpret_cast<const uint32_t *>(v.data + dir->offset);
  const size_t name_len = strlen(name);
  const nc_de_s *at = v.entry(slots[i]);
  bool bad = false;
  if (!at || !(at->type == 0 || nc::compareComponent(v, name, name_len, at->name, &bad) > 0) || bad)
    return false;
  if (i == 0) return true;
  const nc_de_s *before = v.entry(slots[i - 1]);
  return before && before->type != 0 &&
         nc::compareComponent(v, name, name_len, before->name, &bad) < 0 && !bad;
}

nc_de_s *NConfig::insert(unsigned int where, nc_de_s *what, int64_t hint) {
  nc::View v{data, lsize};
  nc_de_s *w = v.entry(where);
  if (!w || w->type != NC_DIR) return nullptr;
  const uint32_t *old_slots = w->offset ? v.slots(w) : nullptr;
  if (w->offset && (!old_slots || w->pages == 0)) return nullptr;
  const nc_de_s *last = old_slots ? v.entry(old_slots[w->pages - 1]) : nullptr;
  if (old_slots && !last) return nullptr;
  if (!w->offset || last->type != 0) {  // full
    if (!growDirectory(where)) return nullptr;
    v = nc::View{data, lsize};
    w = reinterpret_cast<nc_de_s *>(data + where);
  }
  const char *name = v.str(what->name);
  const int64_t i = !name ? -1 : slotFits(v, w, name, hint) ? hint : insertionSlot(v, w, name);
  if (i < 0) return nullptr;

  what->parent = where;
  touch(w->offset, w->pages * 4);
  touch(0, sizeof(nc_sb_s));
  uint32_t *slots = reinterpret_cast<uint32_t *>(data + w->offset);
  const uint32_t to = slots[w->pages - 1];
  memmove(slots + i + 1, slots + i, size_t(w->pages - 1 - i) * 4);
  slots[i] = to;
  nc_de_s *dest = v.entry(to);
  if (!dest) return nullptr;
  touch(to, sizeof(nc_de_s));
  memcpy(dest, what, sizeof(nc_de_s));
  sb->modtime++;
  // Every other entry keeps its offset, name and parent: cached paths stay
  // true. (Only a damaged file whose slots overlap an entry breaks this.)
  if (pcache) pcache->follow(sb->modtime - 1, sb->modtime, lsize);
  return dest;
}

int NConfig::_setKey(const char *name, const unsigned int t, const char *value,
                     const unsigned int len) {
  if (fd < 0) return NC_ERR_NFILE;
  if (omode != NC_O_RW) return NC_ERR_RDONLY;
  if (!name) return NC_ERR_NVAL;
  nc::LockScope lock(*this, NC_L_RW);
  int rc = writableFor(t, len);
  uint32_t nd_off = 0;
  if (rc == NC_ERR_OK) rc = findOrCreate(name, t, &nd_off);
  if (rc != NC_ERR_OK) return lock.finish(rc);
  if (t == NC_DIR)
    rc = growSlots(nd_off, len);
  else if (value)
    rc = storeValue(nd_off, value, len);
  else
    dropValue(nd_off);
  return lock.finish(rc);
}

int NConfig::writableFor(unsigned int t, unsigned int len) {
  if (showsCopy() || viewStale()) return NC_ERR_NMEM;
  if (uint64_t(lsize) + worstCaseBytes(t, len) + 2ull * sb->size_inc * nc::kPageSize > nc::kMaxFileBytes)
    return NC_ERR_NVAL;
  if (!nc::tableUsable(data, lsize, sb)) return NC_ERR_CORRUPT;
  return NC_ERR_OK;
}

int NConfig::findOrCreate(const char *name, unsigned int t, uint32_t *nd_off) {
  nc::View v{data, lsize};
  nc_de_s *start = *name == '/' ? rdir : cdir;
  if (!start) return NC_ERR_CORRUPT;  // a damaged root the last refresh could not find
  char buf[nc::PathCache::kMaxKey + 1];
  size_t key_len = 0;
  const char *key = rdir ? cacheKey(name, buf, &key_len) : nullptr;
  const char *rest;
  bool blocked;
  int64_t slot = -1;  // where rest's first component would go in `deepest`
  nc_de_s *deepest =
      key ? walkCached(key, key_len, &rest, &blocked, &slot)
          : nc::walkPath(v, start, *name == '/' ? name + 1 : name, &rest, &blocked, &slot);
  if (blocked) return NC_ERR_PERM;  // a key stands where a directory is needed
  if (!deepest) return NC_ERR_CORRUPT;
  if (*rest == '\0') {
    if (deepest->type != t) return NC_ERR_TYPE;
    *nd_off = v.offsetOf(deepest);
    return NC_ERR_OK;
  }
  if (deepest->type != NC_DIR) return NC_ERR_CORRUPT;
  // The new entry is not cached: a first lookup caches it, and creating many
  // keys would otherwise pay for filling the cache with paths never read.
  return createPath(v.offsetOf(deepest), rest, t, nd_off, slot);
}

int NConfig::createPath(uint32_t dir_off, const char *rest, unsigned int t, uint32_t *made,
                        int64_t hint) {
  // An entry named "." or ".." could never be read back by its path.
  unsigned int remaining = 0;
  for (const char *q = rest;;) {
    size_t qlen;
    nc::nextComponent(q, &qlen);
    if (qlen == 0) break;
    if (isDotName(q, qlen)) return NC_ERR_NVAL;
    remaining++;
    q += qlen;
    if (*q == '/') q++;
  }
  if (sb->ent_inc == 0 || sb->ent_inc > nc::kMaxEntInc) {
    // Without a usable growth step a full directory can take no entry:
    // refuse before anything is changed.
    const nc::View v{data, lsize};
    const nc_de_s *dir = v.entry(dir_off);
    const uint32_t *slots = v.slots(dir);
    const nc_de_s *last = slots && dir->pages ? v.entry(slots[dir->pages - 1]) : nullptr;
    if (remaining > 1 || !last || last->type != 0) return NC_ERR_CORRUPT;
  }
  for (const char *p = rest;;) {
    size_t plen, next_len;
    nc::nextComponent(p, &plen);
    const char *after = p + plen;
    if (*after == '/') after++;
    nc::nextComponent(after, &next_len);
    const bool last = next_len == 0;
    const uint32_t name_off = getChunk(uint32_t(plen + 1));
    if (!name_off) return NC_ERR_CORRUPT;
    memcpy(data + name_off, p, plen);
    data[name_off + plen] = '\0';
    nc_de_s rec = {name_off, last ? t : NC_DIR, 0, 0, 0, 0};
    nc_de_s *e = insert(dir_off, &rec, hint);
    if (!e) return NC_ERR_CORRUPT;
    hint = -1;  // the directories below are new
    dir_off = uint32_t(reinterpret_cast<char *>(e) - data);
    if (last) break;
    p = after;
  }
  touch(0, sizeof(nc_sb_s));
  sb->modtime++;  // creating a key counts once more than its insertions
  if (pcache) pcache->follow(sb->modtime - 1, sb->modtime, lsize);
  *made = dir_off;
  return NC_ERR_OK;
}

int NConfig::growSlots(uint32_t nd_off, uint32_t len) {
  // The slot count and array are kept here across the allocations, which in
  // a damaged file may land on the entry itself.
  nc_de_s *nd = reinterpret_cast<nc_de_s *>(data + nd_off);
  uint32_t pages = nd->pages;
  const uint32_t old = nd->offset;
  if (len <= pages) return NC_ERR_OK;
  const uint32_t arr = getChunk(len * 4);
  if (!arr) return NC_ERR_CORRUPT;
  if (old) {
    if (nc::View{data, lsize}.spans(old, uint64_t(pages) * 4))
      memmove(data + arr, data + old, pages * 4);
    freeChunk(old);
  } else {
    pages = 0;
  }
  touch(nd_off, sizeof(nc_de_s));
  nd = reinterpret_cast<nc_de_s *>(data + nd_off);
  nd->offset = arr;
  nd->pages = pages;
  while (pages < len) {
    const uint32_t e = getChunk(sizeof(nc_de_s));
    if (!e) return NC_ERR_CORRUPT;
    reinterpret_cast<uint32_t *>(data + arr)[pages++] = e;
    nd = reinterpret_cast<nc_de_s *>(data + nd_off);
    nd->offset = arr;
    nd->pages = pages;
  }
  return NC_ERR_OK;
}

int NConfig::storeValue(uint32_t nd_off, const char *value, uint32_t len) {
  nc_de_s *nd = reinterpret_cast<nc_de_s *>(data + nd_off);
  uint32_t o = nd->offset;
  if (o) {
    const nc::View v{data, lsize};
    const uint32_t *head = v.word(o - 4);
    if (!head || *head < 4 || !v.spans(o - 4, *head)) return NC_ERR_CORRUPT;
    const uint32_t h = *head, capacity = h - 4, a = alignSize(len);
    if (capacity < len) {
      freeChunk(o);
      o = 0;
    } else if (capacity > a + 4) {
      // Give back a tail of 8 bytes or more; a 4-byte surplus stays.
      touch(o - 4, h);
      *reinterpret_cast<uint32_t *>(data + o + a) = h - a - 4;
      *reinterpret_cast<uint32_t *>(data + o - 4) = a + 4;
      freeChunk(o + a + 4);
    }
  }
  if (!o && !(o = getChunk(len))) {
    touch(nd_off, sizeof(nc_de_s));
    reinterpret_cast<nc_de_s *>(data + nd_off)->offset = 0;  // the old chunk is gone
    return NC_ERR_CORRUPT;
  }
  nd = reinterpret_cast<nc_de_s *>(data + nd_off);
  if (nd->offset != o || nd->pages != len) {  // an unchanged entry stays clean
    touch(nd_off, sizeof(nc_de_s));
    nd->offset = o;
    nd->pages = len;
  }
  if (memcmp(data + o, value, len) != 0) {
    touch(o, len);
    memcpy(data + o, value, len);
  }
  return NC_ERR_OK;
}

void NConfig::dropValue(uint32_t nd_off) {
  const uint32_t o = reinterpret_cast<nc_de_s *>(data + nd_off)->offset;
  if (!o) return;
  freeChunk(o);
  touch(nd_off, sizeof(nc_de_s));
  reinterpret_cast<nc_de_s *>(data + nd_off)->offset = 0;
}

int NConfig::createDir(const char *name, unsigned int entries) {
  return _setKey(name, NC_DIR, nullptr, entries);
}
