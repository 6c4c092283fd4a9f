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
  nc::LockScope lock(*this, NC_L_RW);
  if (showsCopy() || viewStale()) return;
  nc_de_s *target = getDirEnt(name, p);
  const nc::View v{data, lsize};
  // The root, the current directory and the directories above it stay: the
  // handle must keep standing somewhere reachable.
  if (target && v.offsetOf(target) != sb->root &&
      !(cdir && isAncestorOrSelf(v, v.offsetOf(target), v.offsetOf(cdir), sb->root))) {
    try {
      deleteTree(v.offsetOf(target), tosort);
    } catch (const std::bad_alloc &) {
      // Out of memory part way: what was deleted stays deleted, the rest stays.
    }
  }
  lock.finish(NC_ERR_OK);
}

// The next used child of directory `e` from slot *next on that is not on the
// stack (a cycle in a damaged file), or 0; advances *next past it.
static uint32_t nextChild(const nc::View &v, const nc_de_s *e, uint32_t *next,
                          const std::unordered_set<uint32_t> &on_stack, uint32_t root) {
  if (e->type != NC_DIR || !e->offset) return 0;
  const uint32_t *slots = v.slots(e);
  while (slots && *next < e->pages) {
    const uint32_t c = slots[(*next)++];
    const nc_de_s *ce = v.entry(c);
    if (!ce || ce->type == 0 || c == root) continue;
    if (!on_stack.count(c)) return c;
  }
  return 0;
}

void NConfig::deleteTree(uint32_t top, int tosort) {
  // Entries freed below may be reused by the next insertion under any name.
  dropCache();
  struct Frame {
    uint32_t entry;
    uint32_t next_slot;
  };
  // Depth first in slot order, each directory after its children. An
  // explicit stack keeps deep trees off the call stack.
  std::vector<Frame> stack{{top, 0}};
  std::unordered_set<uint32_t> on_stack{top};
  while (!stack.empty()) {
    const nc::View v{data, lsize};
    Frame &f = stack.back();
    const nc_de_s *e = v.entry(f.entry);
    if (!e) break;
    if (const uint32_t child = nextChild(v, e, &f.next_slot, on_stack, sb->root)) {
      stack.push_back({child, 0});
      on_stack.insert(child);
      continue;
    }
    const uint32_t entry_off = f.entry;
    const bool compact = tosort && stack.size() == 1;
    stack.pop_back();
    on_stack.erase(entry_off);
    eraseEntry(entry_off, compact);
  }
}

void NConfig::eraseEntry(uint32_t entry_off, bool compact) {
  touch(0, sizeof(nc_sb_s));
  sb->modtime++;
  freeChunk(reinterpret_cast<nc_de_s *>(data + entry_off)->offset);
  freeChunk(reinterpret_cast<nc_de_s *>(data + entry_off)->name);
  nc_de_s *e = reinterpret_cast<nc_de_s *>(data + entry_off);
  const uint32_t parent_off = e->parent;
  touch(entry_off, sizeof(nc_de_s));
  memset(e, 0, sizeof(nc_de_s));
  if (!compact) return;
  const nc::View v{data, lsize};
  const nc_de_s *parent = v.entry(parent_off);
  const int64_t i = parent ? slotOf(v, parent, entry_off) : -1;
  if (i < 0) return;
  // In a damaged file the slots may overlap the parent's entry.
  const uint32_t pages = parent->pages;
  uint32_t *slots = v.slots(parent);
  touch(parent->offset, pages * 4);
  memmove(slots + i, slots + i + 1, size_t(pages - 1 - i) * 4);
  slots[pages - 1] = entry_off;
}

void NConfig::delKey(const char *name) { _delKey(name, nullptr, 1); }

int NConfig::renameKey(const char *oldname, const char *newname) {
  if (fd < 0) return NC_ERR_NFILE;
  if (omode != NC_O_RW) return NC_ERR_RDONLY;
  if (!oldname || !newname) return NC_ERR_NVAL;
  const size_t name_len = strlen(newname);
  // A name that is empty, holds "/" or is "." or ".." could never be found.
  if (name_len == 0 || strchr(newname, '/') || !strcmp(newname, ".") || !strcmp(newname, "..") ||
      name_len >= nc::kMaxFileBytes)
    return NC_ERR_NVAL;
  nc::LockScope lock(*this, NC_L_RW);
  if (showsCopy() || viewStale()) return lock.finish(NC_ERR_NMEM);
  nc_de_s *nd = getDirEnt(oldname, nullptr);
  if (getDirEnt(newname, nullptr) || !nd) return lock.finish(NC_ERR_OK);
  const nc::View v{data, lsize};
  const uint32_t nd_off = v.offsetOf(nd);
  if (nd_off == sb->root || (cdir && isAncestorOrSelf(v, nd_off, v.offsetOf(cdir), sb->root)))
    return lock.finish(NC_ERR_PERM);
  const nc_de_s *parent = v.entry(nd->parent);
  const uint32_t *head = v.word(nd->name - 4);
  // The name chunk is written in place when kept, so it must lie in the view.
  if (!parent || !head || *head < 4 || !v.spans(nd->name - 4, *head) ||
      slotOf(v, parent, nd_off) < 0)
    return lock.finish(NC_ERR_CORRUPT);
  // Its own directory must not already hold the new name either.
  if (nc::findChild(v, parent, newname, name_len)) return lock.finish(NC_ERR_OK);
  // Every path through the entry changes.
  dropCache();
  const uint32_t parent_off = nd->parent;
  int rc = storeName(nd_off, newname, uint32_t(name_len + 1));
  if (rc == NC_ERR_OK) rc = moveSlot(parent_off, nd_off, newname);
  return lock.finish(rc);
}

int NConfig::storeName(uint32_t nd_off, const char *name, uint32_t len) {
  uint32_t name_off = reinterpret_cast<nc_de_s *>(data + nd_off)->name;
  const uint32_t held = *reinterpret_cast<uint32_t *>(data + name_off - 4) - 4;
  if (held != alignSize(len)) {
    freeChunk(name_off);
    name_off = getChunk(len);
    // Only an unusable or damaged free-chunk table or a file at the 32-bit
    // offset limit refuses. The entry keeps its old name rather than an
    // empty one that would break its directory's order.
    if (!name_off) return NC_ERR_CORRUPT;
    touch(nd_off, sizeof(nc_de_s));
    reinterpret_cast<nc_de_s *>(data + nd_off)->name = name_off;
  }
  touch(name_off, len);
  memcpy(data + name_off, name, len);
  return NC_ERR_OK;
}

int NConfig::moveSlot(uint32_t parent_off, uint32_t nd_off, const char *name) {
  const nc::View v{data, lsize};
  const nc_de_s *parent = v.entry(parent_off);
  const int64_t at = parent ? slotOf(v, parent, nd_off) : -1;
  if (at < 0) return NC_ERR_CORRUPT;  // the allocations landed on a damaged directory
  uint32_t *slots = v.slots(parent);
  auto nameAt = [&](int64_t slot) { return data + v.entry(slots[slot])->name; };
  auto usedAt = [&](int64_t slot) {
    const nc_de_s *e = v.entry(slots[slot]);
    return e && e->type != 0 && v.str(e->name);
  };
  touch(parent->offset, parent->pages * 4);
  touch(0, sizeof(nc_sb_s));
  int64_t j = at;
  if (at > 0 && usedAt(at - 1) && strcmp(name, nameAt(at - 1)) > 0) {
    while (j > 0 && usedAt(j - 1) && strcmp(nameAt(j - 1), name) < 0) {
      slots[j] = slots[j - 1];
      j--;
    }
  } else {
    const int64_t pages = parent->pages;  // the slots may overlap a damaged parent
    while (j + 1 < pages && usedAt(j + 1) && strcmp(nameAt(j + 1), name) > 0) {
      slots[j] = slots[j + 1];
      j++;
    }
  }
  slots[j] = nd_off;
  sb->modtime++;
  return NC_ERR_OK;
}

void NConfig::status() {
  if (fd < 0) return;
  uint32_t size;
  nc::FreeSpace f;
  {
    nc::LockScope lock(*this, NC_L_RO);
    size = sb->size;
    f = nc::freeSpace(data, lsize, *sb);
  }
  fprintf(stderr, "Size:\t%u\n", size);
  fprintf(stderr, "Free:\t%u in %u chunk%s\n", f.bytes, f.chunks, f.chunks > 1 ? "s" : "");
  if (f.chunks != 0) fprintf(stderr, "Min:\t%u\nAvg:\t%u\nMax:\t%u\n", f.min, f.avg(), f.max);
}
