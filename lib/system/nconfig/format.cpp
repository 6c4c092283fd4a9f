// The format's rules (see format.h).
#include "format.h"

#include "raw_image.h"

namespace nc {

const char *creationProblem(uint32_t resize, uint32_t dirent, uint32_t mchunks) {
  if (resize == 0 || resize > kMaxResize) return "growth unit out of range";
  if (dirent == 0 || dirent > kMaxEntInc) return "directory step out of range";
  if (mchunks < kMinChunks) return "free-chunk table too small";
  if (uint64_t(resize) * kPageSize <= headerBytes(mchunks)) return "table does not fit";
  return nullptr;
}

const char *superblockProblem(const nc_sb_s *sb, uint64_t flen) {
  if (memcmp(sb, NC_SB_MAGIC, 4) != 0) return "wrong magic";
  if (foreignByteOrder(sb, flen)) return "foreign byte order";
  if (sb->size > flen) return "shorter than its recorded size";
  if (sb->size < kTableOffset || (sb->size & 3) != 0) return "bad size";
  if (sb->root == 0 || !spans(sb->size, sb->root, sizeof(nc_de_s))) return "root outside the file";
  if (sb->chunk == 0 || !spans(sb->size, sb->chunk, uint64_t(sb->chunk_ttl) * sizeof(nc_chunk_s)))
    return "free-chunk table outside the file";
  return nullptr;
}

bool tableUsable(const char *, uint32_t size, const nc_sb_s *sb) {
  return sb->chunk_ttl >= kMinChunks && sb->chunk_inc >= 1 && sb->size_inc >= 1 &&
         sb->size == size && sb->chunk != 0 &&
         spans(size, sb->chunk, uint64_t(sb->chunk_ttl) * sizeof(nc_chunk_s));
}

FreeSpace freeSpace(const char *data, uint64_t size, const nc_sb_s &sb) {
  FreeSpace f;
  if (!spans(size, sb.chunk, uint64_t(sb.chunk_ttl) * sizeof(nc_chunk_s))) return f;
  f.known = true;
  const RawImage image(data, size_t(size), false);
  for (uint32_t i = 0; i < sb.chunk_ttl; i++) {
    nc_chunk_s rec = {};
    image.record(sb.chunk, i, &rec);
    if (i == 0) f.max = rec.size;
    if (rec.size == 0) continue;
    f.chunks++;
    f.bytes += rec.size;
    if (f.min == 0 || f.min > rec.size) f.min = rec.size;
  }
  return f;
}

}  // namespace nc
