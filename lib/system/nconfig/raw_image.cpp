// Reading raw registry images (see raw_image.h).
#include "raw_image.h"

#include <algorithm>
#include <cstring>

#include "format.h"

namespace nc {

RawImage RawImage::of(const void *bytes, size_t size) {
  nc_sb_s sb;
  if (size < sizeof sb) return RawImage(bytes, size, false);
  memcpy(&sb, bytes, sizeof sb);
  return RawImage(bytes, size, foreignByteOrder(&sb, size));
}

bool RawImage::word(uint64_t off, uint32_t *out) const {
  if (!spans(off, 4)) return false;
  uint32_t w;
  memcpy(&w, b_ + off, 4);
  *out = swapped_ ? byteSwap(w) : w;
  return true;
}

bool RawImage::superblock(nc_sb_s *out) const {
  if (n_ < sizeof(nc_sb_s)) return false;
  memcpy(&out->magic, b_ + kSbMagic, 4);  // bytes, the same in either order
  out->size = word(kSbSize);
  out->ent_inc = word(kSbEntInc);
  out->chunk_inc = word(kSbChunkInc);
  out->size_inc = word(kSbSizeInc);
  out->chunk_ttl = word(kSbChunkTtl);
  out->chunk = word(kSbChunk);
  out->root = word(kSbRoot);
  out->modtime = word(kSbModtime);
  return true;
}

bool RawImage::entry(uint64_t off, nc_de_s *out) const {
  if (!spans(off, sizeof(nc_de_s))) return false;
  out->name = word(off + kDeName);
  out->type = word(off + kDeType);
  out->parent = word(off + kDeParent);
  out->offset = word(off + kDeOffset);
  out->pages = word(off + kDePages);
  out->crc = word(off + kDeCrc);
  return true;
}

bool RawImage::record(uint64_t table, uint32_t i, nc_chunk_s *out) const {
  const uint64_t at = table + uint64_t(i) * sizeof(nc_chunk_s);
  if (!spans(at, sizeof(nc_chunk_s))) return false;
  out->offset = word(at + kRecOffset);
  out->size = word(at + kRecSize);
  return true;
}

bool RawImage::stringLength(uint64_t off, size_t max, size_t *len) const {
  if (off >= n_) return false;
  const void *nul = memchr(b_ + off, 0, std::min<uint64_t>(max, n_ - off));
  if (!nul) return false;
  *len = size_t(static_cast<const unsigned char *>(nul) - (b_ + off));
  return true;
}

bool RawImage::value(uint64_t off, uint32_t len, bool number, void *out) const {
  if (!inside(off, len)) return false;
  unsigned char *to = static_cast<unsigned char *>(out);
  memcpy(to, b_ + off, len);
  if (swapped_ && number) std::reverse(to, to + len);
  return true;
}

}  // namespace nc
