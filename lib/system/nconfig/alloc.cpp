// The file's own chunk allocator.
//
// Invariants of the free-chunk table (chunk_ttl records at sb->chunk):
//  - records in use (size != 0) fill the first slots without a gap, in
//    non-increasing order of size; empty records follow them;
//  - carving never leaves a free remainder of exactly 4 bytes;
//  - free areas are never joined with each other, only a freed chunk with at
//    most one neighbour, so two records may describe touching areas.
// Only the record that changed moves, by swaps with its neighbours.
#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "internal.h"
#include "txn.h"

using nc::sys;

namespace {

// Enters the area of `size` bytes at `start` into the table: into the record
// of a free neighbour directly after or before it (whichever comes first in
// the table), else into the first empty record. False when the table is full
// and no neighbour takes it.
bool enterFreeArea(nc_chunk_s *table, uint32_t ttl, uint32_t start, uint32_t size) {
  const uint32_t end = start + size;
  uint32_t i = 0;
  for (; i < ttl; i++) {
    nc_chunk_s &r = table[i];
    if (r.size == 0) {
      r.offset = start;
      r.size = size;
      break;
    }
    if (r.offset == end) {
      r.offset = start;
      r.size += size;
      break;
    }
    if (r.offset + r.size == start) {
      r.size += size;
      break;
    }
  }
  if (i == ttl) return false;
  for (; i > 0 && table[i].size > table[i - 1].size; i--) std::swap(table[i], table[i - 1]);
  return true;
}

}  // namespace

unsigned int NConfig::alignSize(unsigned int s) { return (s & 3) ? s - (s & 3) + 4 : s; }

// Binary search for the smallest free area of the table that holds `need`
// bytes; -1 when none does. An area exactly 4 bytes larger is never taken
// (it would leave 4 bytes that can hold no chunk) and turns the search
// towards larger areas; an exact fit ends it.
static int64_t bestFit(const nc_chunk_s *table, uint32_t ttl, uint32_t need) {
  int64_t left = 0, right = int64_t(ttl) - 1, chosen = -1;
  while (left <= right) {
    const int64_t mid = (left + right) / 2;
    const int32_t diff = int32_t(table[mid].size - need);
    if (diff < 0 || diff == 4) {
      right = mid - 1;
    } else {
      chosen = mid;
      left = mid + 1;
      if (diff == 0) break;
    }
  }
  return chosen;
}

unsigned int NConfig::getChunk(unsigned int s) {
  if (!data || s > 0xFFFFFF00u) return 0;
  const uint32_t need = alignSize(s) + 4;
  // On a table in order two growths always suffice (the second joins the
  // first); more means a damaged table that would grow the file forever.
  for (int growths = 0;; growths++) {
    if (!nc::tableUsable(data, lsize, sb)) return 0;
    chunks = reinterpret_cast<nc_chunk_s *>(data + sb->chunk);
    const int64_t chosen = bestFit(chunks, sb->chunk_ttl, need);
    if (chosen >= 0) return carve(uint32_t(chosen), need);
    if (growths == 2) return 0;
    uint32_t taken = 0;
    if (!growFor(need, &taken)) return 0;
    if (taken) return taken;
  }
}

bool NConfig::growFor(uint32_t need, uint32_t *taken) {
  // Grow by the smallest multiple of the growth unit strictly larger than
  // the chunk; the new space becomes one free chunk at the old end.
  const uint64_t unit = uint64_t(sb->size_inc) * nc::kPageSize;
  const uint64_t growth = (need / unit + 1) * unit;
  const uint32_t old_end = sb->size;
  if (old_end + growth > nc::kMaxFileBytes) return false;  // 32-bit offsets
  if (!expand(uint32_t(growth))) return false;
  touch(old_end, 4);
  touch(sb->chunk, sb->chunk_ttl * sizeof(nc_chunk_s));
  *reinterpret_cast<uint32_t *>(data + old_end) = uint32_t(growth);
  if (enterFreeArea(chunks, sb->chunk_ttl, old_end, uint32_t(growth))) return true;
  // Only a table step of 1 can leave the table full here: take the chunk
  // straight from the new space; the rest stays unrecorded. Bytes a longer
  // file held past its recorded size may show there.
  touch(old_end, need);
  memset(data + old_end + 4, 0, need - 4);
  *reinterpret_cast<uint32_t *>(data + old_end) = need;
  *taken = old_end + 4;
  return true;
}

unsigned int NConfig::carve(uint32_t chosen, uint32_t need) {
  nc_chunk_s &r = chunks[chosen];
  // A damaged record: outside the view, or over the header area or the
  // table itself, which carving would overwrite.
  const uint64_t table_end = uint64_t(sb->chunk) + uint64_t(sb->chunk_ttl) * sizeof(nc_chunk_s);
  if (!nc::View{data, lsize}.spans(r.offset, need) || r.offset < nc::kTableHeaderOffset ||
      (r.offset < table_end && uint64_t(r.offset) + need > sb->chunk - 4))
    return 0;
  const uint32_t result = r.offset + 4;
  touch(result - 4, need);
  touch(sb->chunk, sb->chunk_ttl * sizeof(nc_chunk_s));
  memset(data + result, 0, need - 4);
  r.size -= need;
  r.offset += need;
  *reinterpret_cast<uint32_t *>(data + result - 4) = need;
  // Only the record that changed moves, by swaps with its neighbours.
  for (uint32_t i = chosen; i + 1 < sb->chunk_ttl && chunks[i].size < chunks[i + 1].size; i++)
    std::swap(chunks[i], chunks[i + 1]);
  return result;
}

void NConfig::freeChunk(unsigned int where) {
  if (where == 0 || !data) return;
  {
    nc::View v{data, lsize};
    const uint32_t *head = v.word(where - 4);
    // The header area is never freed; a header that does not describe a
    // chunk inside the file is damage, and the chunk is left alone.
    if (where < nc::kTableOffset || !head || *head < 4 || !v.spans(where - 4, *head) ||
        !nc::tableUsable(data, lsize, sb))
      return;
    chunks = reinterpret_cast<nc_chunk_s *>(data + sb->chunk);
  }
  if (chunks[sb->chunk_ttl - 2].size != 0) {
    // Move the table before it can run full. The move copies all records
    // but the last, which is empty unless a growth took it.
    const uint32_t ttl = sb->chunk_ttl, inc = sb->chunk_inc;
    if (uint64_t(ttl) + inc > 0x1FFFFFFFu) return;
    const uint32_t moved = getChunk((ttl + inc) * 8);
    if (moved == 0) return;
    const uint32_t old_table = sb->chunk;
    touch(0, sizeof(nc_sb_s));
    touch(moved, (ttl + inc) * 8);
    memmove(data + moved, data + old_table, (ttl - 1) * sizeof(nc_chunk_s));
    sb->chunk = moved;
    chunks = reinterpret_cast<nc_chunk_s *>(data + moved);
    sb->chunk_ttl = ttl + inc;
    fast_free(old_table);
  }
  fast_free(where);
}

void NConfig::fast_free(unsigned int offset) {
  const uint32_t start = offset - 4;
  const uint32_t *head = nc::View{data, lsize}.word(start);
  touch(sb->chunk, sb->chunk_ttl * sizeof(nc_chunk_s));
  if (head) enterFreeArea(chunks, sb->chunk_ttl, start, *head);
}

bool NConfig::expand(unsigned int toadd) {
  const uint32_t nsize = sb->size + toadd;
  // Reserve the space for real, so that no commit can fail for lack of it.
  // A view longer than the file must never be used.
  int err;
  do {
    err = sys().fallocate(fd, sb->size, toadd);
  } while (err == EINTR);
  if (err != 0) {
    // The operation fails and everything since the last commit is dropped;
    // the process goes on.
    if (txn) txn->growth_refused = true;
    return false;
  }
  if (txn && txn->reserved == sb->size) txn->reserved = nsize;
  if (_remap(lsize, nsize) != NC_ERR_OK) {
    // No room for the longer view: refused as the space would be. The file
    // stays longer than its recorded size, which every reader allows.
    if (txn) txn->growth_refused = true;
    return false;
  }
  touch(0, sizeof(nc_sb_s));
  sb->size = nsize;
  lsize = nsize;
  nc_de_s *cur = getDirEnt(cname, nullptr);
  cdir = cur ? cur : rdir;
  chunks = reinterpret_cast<nc_chunk_s *>(data + sb->chunk);
  return true;
}
