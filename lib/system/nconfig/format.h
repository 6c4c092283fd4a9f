// The rules of the registry file format, written once: layout constants,
// creation limits, the checks that decide whether a superblock and the
// free-chunk table can be used, and the free space the table records. Open,
// the allocator, the writers, the checker, the inspector and the fuzz targets
// all ask here.
#ifndef LIB_SYSTEM_NCONFIG_FORMAT_H
#define LIB_SYSTEM_NCONFIG_FORMAT_H

#include <cstdint>
#include <cstring>

#include "lib/system/nconfig.h"

namespace nc {

// Fixed layout of a fresh file: superblock, root entry, its name "/", the
// free-chunk table's chunk header, the table.
constexpr uint32_t kRootOffset = 36;
constexpr uint32_t kRootNameOffset = 60;
constexpr uint32_t kTableHeaderOffset = 64;
constexpr uint32_t kTableOffset = 68;
constexpr uint32_t kPageSize = 4096;  // the unit of size_inc
// Largest batch of entries a directory grows by. A file asking for more is
// damaged: a single insertion would allocate millions of entries.
constexpr uint32_t kMaxEntInc = 65536;
// Largest growth unit createNew accepts, in pages.
constexpr uint32_t kMaxResize = 0xFFFFF;
// Fewest free-chunk records a table may have: the allocator moves the table
// when its second-to-last record is in use.
constexpr uint32_t kMinChunks = 2;
// Offsets stay below this, so that a chunk's end never wraps.
constexpr uint64_t kMaxFileBytes = 0xFFFFF000ull;

// Bytes of the fixed header area plus a table of `mchunks` records.
inline uint64_t headerBytes(uint32_t mchunks) { return kTableOffset + 8ull * mchunks; }

// Why createNew(resize, dirent, mchunks) cannot make a working file, or null.
const char *creationProblem(uint32_t resize, uint32_t dirent, uint32_t mchunks);

inline uint32_t byteSwap(uint32_t v) {
  return (v >> 24) | ((v >> 8) & 0xff00u) | ((v << 8) & 0xff0000u) | (v << 24);
}

// True when a superblock was written on a machine of the other byte order:
// its root offset (always kRootOffset) reads right only byte-swapped, or its
// size matches the file's length `flen` only byte-swapped (0: length unknown).
inline bool foreignByteOrder(const nc_sb_s *sb, uint64_t flen = 0) {
  if (memcmp(sb, NC_SB_MAGIC, 4) != 0) return false;
  if (sb->root != kRootOffset && byteSwap(sb->root) == kRootOffset) return true;
  return flen != 0 && sb->size != flen && byteSwap(sb->size) == flen;
}

// Why a superblock read from a file `flen` bytes long cannot be used (wrong
// magic, the other byte order, shorter than its recorded size, a bad size,
// root or free-chunk table outside), or null when it can.
const char *superblockProblem(const nc_sb_s *sb, uint64_t flen);

// True when the free-chunk table of `sb` lies inside the view `size` bytes
// at `data` and the superblock lets the allocator work (two records at
// least, a growth unit, a table step, the recorded size mapped).
bool tableUsable(const char *data, uint32_t size, const nc_sb_s *sb);

// The free space the allocator sees, as its free-chunk table records it.
struct FreeSpace {
  bool known = false;   // the table lies inside the buffer it was read from
  uint32_t bytes = 0;   // total of the records' sizes, summed in 32 bits
  uint32_t chunks = 0;  // records in use (size != 0)
  uint32_t min = 0;     // smallest record in use; 0 when none is
  uint32_t max = 0;     // the first record's size: the allocator keeps the
                        // table in non-increasing order of size
  uint32_t avg() const { return chunks != 0 ? bytes / chunks : 0; }
};

// The figures of the free-chunk table that `sb` describes, read from the
// `size` bytes at `data` (a mapped view, or a file image in host byte order;
// any alignment). Reads only inside [data, data + size), and trusts no
// record: answers known == false, with every figure 0, when the table's
// offset is not word aligned or its chunk_ttl records do not lie wholly
// inside. A table of no records is known and empty.
FreeSpace freeSpace(const char *data, uint64_t size, const nc_sb_s &sb);

}  // namespace nc

#endif  // LIB_SYSTEM_NCONFIG_FORMAT_H
