// Key creation and update: inserting entries into directories, creating
// missing directories on a path, sizing slot arrays and storing values.
//
// Every allocation may move the view, so links kept across getChunk and
// freeChunk are offsets; pointers are re-derived from `data` afterwards. The
// order of allocations (name chunk, the parent's new array, its new entries,
// then the value chunk) decides where everything lands in the file.
#include <cstring>

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

nc_de_s *NConfig::insert(unsigned int where, nc_de_s *what) {
  nc::View v{data, lsize};
  nc_de_s *w = v.entry(where);
  if (!w || w->type != NC_DIR) return nullptr;
  const uint32_t *old_slots = w->offset ? v.slots(w) : nullptr;
  if (w->offset && (!old_slots || w->pages == 0)) return nullptr;
  const nc_de_s *last = old_slots ? v.entry(old_slots[w->pages - 1]) : nullptr;
  if (old_slots && !last) return nullptr;

  if (!w->offset || last->type != 0) {
    // Full: grow by ent_inc pre-allocated free entries. The slot count and
    // array are kept here, not re-read from the entry: in a damaged file an
    // allocation may land on the entry itself.
    const uint32_t inc = sb->ent_inc;
    const uint32_t old = w->offset;
    uint32_t pages = old ? w->pages : 0;
    const uint64_t bytes = (uint64_t(pages) + inc) * 4 + 4 + uint64_t(inc) * (sizeof(nc_de_s) + 4);
    if (inc == 0 || inc > nc::kMaxEntInc || lsize + bytes > 0xFFFFF000ull) return nullptr;
    const uint32_t grown = getChunk((pages + inc) * 4);
    if (!grown) return nullptr;
    if (old) {
      memmove(data + grown, data + old, size_t(pages) * 4);  // may overlap if damaged
      freeChunk(old);
    }
    touch(where, sizeof(nc_de_s));
    w = reinterpret_cast<nc_de_s *>(data + where);
    w->offset = grown;
    w->pages = pages;
    for (uint32_t k = 0; k < inc; k++) {
      const uint32_t e = getChunk(sizeof(nc_de_s));
      if (!e) return nullptr;
      touch(where, sizeof(nc_de_s));
      reinterpret_cast<uint32_t *>(data + grown)[pages++] = e;
      w = reinterpret_cast<nc_de_s *>(data + where);
      w->offset = grown;
      w->pages = pages;
    }
    v = nc::View{data, lsize};
  }

  // First slot whose entry is free or has a smaller name.
  uint32_t *slots = reinterpret_cast<uint32_t *>(data + w->offset);
  const char *name = v.str(what->name);
  if (!name) return nullptr;
  const size_t name_len = strlen(name);
  int64_t left = 0, right = int64_t(w->pages) - 1, i = 0;
  while (left <= right) {
    const int64_t c = (left + right) / 2;
    const nc_de_s *ce = v.entry(slots[c]);
    if (!ce) return nullptr;
    bool bad = false;
    if (ce->type == 0 || nc::compareComponent(v, name, name_len, ce->name, &bad) > 0) {
      if (bad) return nullptr;
      i = c;
      right = c - 1;
    } else {
      if (bad) return nullptr;
      left = c + 1;
    }
  }

  what->parent = where;
  touch(w->offset, w->pages * 4);
  touch(0, sizeof(nc_sb_s));
  const uint32_t to = slots[w->pages - 1];
  memmove(slots + i + 1, slots + i, size_t(w->pages - 1 - i) * 4);
  slots[i] = to;
  nc_de_s *dest = v.entry(to);
  if (!dest) return nullptr;
  touch(to, sizeof(nc_de_s));
  memcpy(dest, what, sizeof(nc_de_s));
  sb->modtime++;
  return dest;
}

int NConfig::_setKey(const char *name, const unsigned int t, const char *value,
                     const unsigned int len) {
  if (fd < 0) return NC_ERR_NFILE;
  if (omode != NC_O_RW) return NC_ERR_RDONLY;
  if (!name) return NC_ERR_NVAL;
  lockFile(NC_L_RW, 0);
  int rc = NC_ERR_OK;
  {
    nc::View v{data, lsize};
    if (uint64_t(lsize) + worstCaseBytes(t, len) + 2ull * sb->size_inc * nc::kPageSize >
        0xFFFFF000ull) {
      return finishWrite(NC_ERR_NVAL);
    }
    if (sb->size != lsize || sb->chunk_ttl < 2 || sb->chunk_inc == 0 || sb->size_inc == 0 ||
        !v.spans(sb->chunk, uint64_t(sb->chunk_ttl) * sizeof(nc_chunk_s))) {
      return finishWrite(NC_ERR_CORRUPT);
    }
  }
  nc_de_s *nd = getDirEnt(name, nullptr);
  uint32_t nd_off;
  if (nd) {
    if (nd->type != t) {
      return finishWrite(NC_ERR_TYPE);
    }
    nd_off = uint32_t(reinterpret_cast<char *>(nd) - data);
  } else {
    // Walk the existing part of the path as lookups do.
    nc::View v{data, lsize};
    nc_de_s *sd = *name == '/' ? rdir : cdir;
    if (!sd) {  // a damaged root the last refresh could not find
      return finishWrite(NC_ERR_CORRUPT);
    }
    const char *p = *name == '/' ? name + 1 : name;
    size_t plen = 0;
    for (;;) {
      nc::nextComponent(p, &plen);
      if (plen == 0) break;  // cannot happen: the full lookup failed
      nc_de_s *e;
      if (plen == 2 && p[0] == '.' && p[1] == '.')
        e = nc::parentOf(v, sd);
      else if (plen == 1 && p[0] == '.')
        e = sd;
      else
        e = nc::findChild(v, sd, p, plen);
      if (!e) break;
      if (e->type != NC_DIR) {
        return finishWrite(NC_ERR_PERM);
      }
      sd = e;
      p += plen;
      if (*p == '/') p++;
    }
    // Components from p on are created. An entry named "." or ".." could
    // never be read back by its path, so such a path is refused.
    unsigned int remaining = 0;
    for (const char *q = p;;) {
      size_t qlen;
      nc::nextComponent(q, &qlen);
      if (qlen == 0) break;
      if (isDotName(q, qlen)) {
        return finishWrite(NC_ERR_NVAL);
      }
      remaining++;
      q += qlen;
      if (*q == '/') q++;
    }
    if (!sd || plen == 0 || sd->type != NC_DIR) {
      return finishWrite(NC_ERR_CORRUPT);
    }
    if (sb->ent_inc == 0 || sb->ent_inc > nc::kMaxEntInc) {
      // Without a usable growth step a full directory can take no entry:
      // refuse before anything is changed.
      const uint32_t *slots = v.slots(sd);
      const nc_de_s *last = slots && sd->pages ? v.entry(slots[sd->pages - 1]) : nullptr;
      if (remaining > 1 || !last || last->type != 0) {
        return finishWrite(NC_ERR_CORRUPT);
      }
    }
    uint32_t sd_off = v.offsetOf(sd);
    for (;;) {
      nc::nextComponent(p, &plen);
      const char *after = p + plen;
      if (*after == '/') after++;
      size_t next_len;
      nc::nextComponent(after, &next_len);
      const bool last = next_len == 0;
      const uint32_t name_off = getChunk(uint32_t(plen + 1));
      if (!name_off) {
        rc = NC_ERR_CORRUPT;
        break;
      }
      memcpy(data + name_off, p, plen);
      data[name_off + plen] = '\0';
      nc_de_s rec = {name_off, last ? t : NC_DIR, 0, 0, 0, 0};
      nc_de_s *e = insert(sd_off, &rec);
      if (!e) {
        rc = NC_ERR_CORRUPT;
        break;
      }
      sd_off = uint32_t(reinterpret_cast<char *>(e) - data);
      if (last) break;
      p = after;
    }
    if (rc != NC_ERR_OK) return finishWrite(rc);
    touch(0, sizeof(nc_sb_s));
    sb->modtime++;
    nd_off = sd_off;
  }

  nd = reinterpret_cast<nc_de_s *>(data + nd_off);
  if (t == NC_DIR) {
    // The slot count and array are kept here across the allocations, which in
    // a damaged file may land on the entry itself.
    uint32_t pages = nd->pages;
    const uint32_t old = nd->offset;
    if (len > pages) {
      const uint32_t arr = getChunk(len * 4);
      if (!arr) {
        rc = NC_ERR_CORRUPT;
      } else {
        nc::View v{data, lsize};
        if (old) {
          if (v.spans(old, uint64_t(pages) * 4)) memmove(data + arr, data + old, pages * 4);
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
          if (!e) {
            rc = NC_ERR_CORRUPT;
            break;
          }
          reinterpret_cast<uint32_t *>(data + arr)[pages++] = e;
          nd = reinterpret_cast<nc_de_s *>(data + nd_off);
          nd->offset = arr;
          nd->pages = pages;
        }
      }
    }
  } else if (value) {
    nc::View v{data, lsize};
    uint32_t o = nd->offset;
    if (o) {
      const uint32_t *head = v.word(o - 4);
      if (!head || *head < 4 || !v.spans(o - 4, *head)) {
        return finishWrite(NC_ERR_CORRUPT);
      }
      const uint32_t h = *head, capacity = h - 4;
      if (capacity < len) {
        freeChunk(o);
        touch(nd_off, sizeof(nc_de_s));
        nd = reinterpret_cast<nc_de_s *>(data + nd_off);
        nd->offset = o = 0;
      } else {
        // Give back a tail of 8 bytes or more; a 4-byte surplus stays.
        const uint32_t a = alignSize(len);
        if (capacity > a + 4) {
          const uint32_t tail = h - a - 4;
          touch(o - 4, h);
          *reinterpret_cast<uint32_t *>(data + o + a) = tail;
          *reinterpret_cast<uint32_t *>(data + o - 4) = a + 4;
          freeChunk(o + a + 4);
          nd = reinterpret_cast<nc_de_s *>(data + nd_off);
        }
      }
    }
    if (!o) {
      o = getChunk(len);
      if (!o) return finishWrite(NC_ERR_CORRUPT);
      nd = reinterpret_cast<nc_de_s *>(data + nd_off);
      nd->offset = o;
    }
    touch(nd_off, sizeof(nc_de_s));
    touch(o, len);
    memcpy(data + o, value, len);
    nd->pages = len;
  } else if (nd->offset) {
    const uint32_t o = nd->offset;
    freeChunk(o);
    touch(nd_off, sizeof(nc_de_s));
    nd = reinterpret_cast<nc_de_s *>(data + nd_off);
    nd->offset = 0;
  }
  return finishWrite(rc);
}

int NConfig::createDir(const char *name, unsigned int entries) {
  return _setKey(name, NC_DIR, nullptr, entries);
}
