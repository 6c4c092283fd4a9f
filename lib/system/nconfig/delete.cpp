// Deletion, renaming and the allocator's statistics.
//
// A deleted entry is zeroed and stays allocated as a free entry; compaction
// moves its slot to the end of its parent's array so that used entries stay
// first, in descending name order. Renaming moves one slot to keep that order.
#include <cstdio>
#include <cstring>
#include <new>
#include <unordered_set>
#include <vector>

#include "internal.h"
#include "paths.h"

namespace {

// True when `dir_off` is the entry at `e_off` or one of its ancestors.
bool isAncestorOrSelf(const nc::View &v, uint32_t dir_off, uint32_t e_off, uint32_t root) {
  const size_t limit = v.size / sizeof(nc_de_s);
  for (size_t steps = 0; steps <= limit; steps++) {
    if (e_off == dir_off) return true;
    if (e_off == root) return false;
    const nc_de_s *e = v.entry(e_off);
    if (!e) return false;
    e_off = e->parent;
  }
  return false;
}

// Index of the slot of `dir` that holds `off`, or -1.
int64_t slotOf(const nc::View &v, const nc_de_s *dir, uint32_t off) {
  const uint32_t *slots = v.slots(dir);
  if (!slots) return -1;
  for (uint32_t i = 0; i < dir->pages; i++)
    if (slots[i] == off) return i;
  return -1;
}

}  // namespace

void NConfig::_delKey(const char *name, nc_de_s *p, int tosort) {
  if (fd < 0 || omode != NC_O_RW || !name) return;
  lockFile(NC_L_RW, 0);
  nc_de_s *target = getDirEnt(name, p);
  nc::View v{data, lsize};
  // The root, the current directory and the directories above it stay: the
  // handle must keep standing somewhere reachable.
  if (!target || v.offsetOf(target) == sb->root ||
      (cdir && isAncestorOrSelf(v, v.offsetOf(target), v.offsetOf(cdir), sb->root))) {
    finishWrite(NC_ERR_OK);
    return;
  }
  // Entries freed below may be reused by the next insertion under any name.
  dropCache();
  struct Frame {
    uint32_t entry;
    uint32_t next_slot;
  };
  try {
    // Depth first in slot order, each directory after its children. An
    // explicit stack keeps deep trees off the call stack; an entry already on
    // it is a cycle in a damaged file and is passed over.
    std::vector<Frame> stack{{v.offsetOf(target), 0}};
    std::unordered_set<uint32_t> on_stack{stack[0].entry};
    while (!stack.empty()) {
      v = nc::View{data, lsize};
      Frame &f = stack.back();
      nc_de_s *e = v.entry(f.entry);
      if (!e) break;
      if (e->type == NC_DIR && e->offset) {
        const uint32_t *slots = v.slots(e);
        uint32_t child = 0;
        while (slots && f.next_slot < e->pages && !child) {
          const uint32_t c = slots[f.next_slot++];
          const nc_de_s *ce = v.entry(c);
          if (!ce || ce->type == 0 || c == sb->root) continue;
          if (!on_stack.count(c)) child = c;
        }
        if (child) {
          stack.push_back({child, 0});
          on_stack.insert(child);
          continue;
        }
      }
      const uint32_t entry_off = f.entry;
      const bool compact = tosort && stack.size() == 1;
      stack.pop_back();
      on_stack.erase(entry_off);
      touch(0, sizeof(nc_sb_s));
      sb->modtime++;
      freeChunk(e->offset);
      e = reinterpret_cast<nc_de_s *>(data + entry_off);
      freeChunk(e->name);
      e = reinterpret_cast<nc_de_s *>(data + entry_off);
      const uint32_t parent_off = e->parent;
      touch(entry_off, sizeof(nc_de_s));
      memset(e, 0, sizeof(nc_de_s));
      if (compact) {
        v = nc::View{data, lsize};
        const nc_de_s *parent = v.entry(parent_off);
        const int64_t i = parent ? slotOf(v, parent, entry_off) : -1;
        if (i >= 0) {
          // In a damaged file the slots may overlap the parent's entry.
          const uint32_t pages = parent->pages;
          uint32_t *slots = v.slots(parent);
          touch(parent->offset, pages * 4);
          memmove(slots + i, slots + i + 1, size_t(pages - 1 - i) * 4);
          slots[pages - 1] = entry_off;
        }
      }
    }
  } catch (const std::bad_alloc &) {
    // Out of memory part way: what was deleted stays deleted, the rest stays.
  }
  finishWrite(NC_ERR_OK);
}

void NConfig::delKey(const char *name) { _delKey(name, nullptr, 1); }

int NConfig::renameKey(const char *oldname, const char *newname) {
  if (fd < 0) return NC_ERR_NFILE;
  if (omode != NC_O_RW) return NC_ERR_RDONLY;
  if (!oldname || !newname) return NC_ERR_NVAL;
  const size_t name_len = strlen(newname);
  // A name that is empty, holds "/" or is "." or ".." could never be found.
  if (name_len == 0 || strchr(newname, '/') || !strcmp(newname, ".") || !strcmp(newname, "..") ||
      name_len >= 0xFFFFF000u)
    return NC_ERR_NVAL;
  lockFile(NC_L_RW, 0);
  nc_de_s *nd = getDirEnt(oldname, nullptr);
  if (getDirEnt(newname, nullptr) || !nd) {
    return finishWrite(NC_ERR_OK);
  }
  nc::View v{data, lsize};
  const uint32_t nd_off = v.offsetOf(nd);
  if (nd_off == sb->root || (cdir && isAncestorOrSelf(v, nd_off, v.offsetOf(cdir), sb->root))) {
    return finishWrite(NC_ERR_PERM);
  }
  const nc_de_s *parent = v.entry(nd->parent);
  const uint32_t *head = v.word(nd->name - 4);
  // The name chunk is written in place when kept, so it must lie in the view.
  if (!parent || !head || *head < 4 || !v.spans(nd->name - 4, *head) ||
      slotOf(v, parent, nd_off) < 0) {
    return finishWrite(NC_ERR_CORRUPT);
  }
  // Its own directory must not already hold the new name either.
  if (nc::findChild(v, parent, newname, name_len)) {
    return finishWrite(NC_ERR_OK);
  }
  // Every path through the entry changes.
  dropCache();
  const uint32_t len = uint32_t(name_len + 1);
  const uint32_t parent_off = nd->parent;
  uint32_t name_off = nd->name;
  if (*head - 4 != alignSize(len)) {
    freeChunk(name_off);
    name_off = getChunk(len);
    nd = reinterpret_cast<nc_de_s *>(data + nd_off);
    if (!name_off) {
      // Only an unusable or damaged free-chunk table or a file at the 32-bit
      // offset limit refuses. The entry keeps its old name rather than an
      // empty one that would break its directory's order.
      return finishWrite(NC_ERR_CORRUPT);
    }
    touch(nd_off, sizeof(nc_de_s));
    nd->name = name_off;
  }
  touch(name_off, len);
  memcpy(data + name_off, newname, len);

  v = nc::View{data, lsize};
  parent = v.entry(parent_off);
  const int64_t at = parent ? slotOf(v, parent, nd_off) : -1;
  uint32_t *slots = parent ? v.slots(parent) : nullptr;
  if (at < 0) {  // the allocations above landed on a damaged directory
    return finishWrite(NC_ERR_CORRUPT);
  }
  auto nameAt = [&](int64_t slot) { return data + v.entry(slots[slot])->name; };
  auto usedAt = [&](int64_t slot) {
    const nc_de_s *e = v.entry(slots[slot]);
    return e && e->type != 0 && v.str(e->name);
  };
  touch(parent->offset, parent->pages * 4);
  touch(0, sizeof(nc_sb_s));
  int64_t j = at;
  if (at > 0 && usedAt(at - 1) && strcmp(newname, nameAt(at - 1)) > 0) {
    while (j > 0 && usedAt(j - 1) && strcmp(nameAt(j - 1), newname) < 0) {
      slots[j] = slots[j - 1];
      j--;
    }
  } else {
    const int64_t pages = parent->pages;  // the slots may overlap a damaged parent
    while (j + 1 < pages && usedAt(j + 1) && strcmp(nameAt(j + 1), newname) > 0) {
      slots[j] = slots[j + 1];
      j++;
    }
  }
  slots[j] = nd_off;
  sb->modtime++;
  return finishWrite(NC_ERR_OK);
}

void NConfig::status() {
  if (fd < 0) return;
  lockFile(NC_L_RO, 0);
  const nc::View v{data, lsize};
  const uint32_t size = sb->size;
  uint32_t hi = 0, low = 0, ttl = 0, cnt = 0;
  if (v.spans(sb->chunk, uint64_t(sb->chunk_ttl) * sizeof(nc_chunk_s)) && sb->chunk_ttl) {
    const nc_chunk_s *table = reinterpret_cast<const nc_chunk_s *>(data + sb->chunk);
    hi = table[0].size;
    for (uint32_t i = 0; i < sb->chunk_ttl; i++) {
      const uint32_t s = table[i].size;
      if (s == 0) continue;
      cnt++;
      ttl += s;
      if (low == 0 || low > s) low = s;
    }
  }
  unLockFile();
  fprintf(stderr, "Size:\t%u\n", size);
  fprintf(stderr, "Free:\t%u in %u chunk%s\n", ttl, cnt, cnt > 1 ? "s" : "");
  if (cnt != 0) fprintf(stderr, "Min:\t%u\nAvg:\t%u\nMax:\t%u\n", low, ttl / cnt, hi);
}
