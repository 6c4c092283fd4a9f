// The one reader of raw registry images: the bytes of a file, of either byte
// order, at any alignment, trusted in nothing. Every field of the format's
// records is named here once, from the records' own layout; every read is
// bounds-checked by spans(); words read from an image of the other byte
// order come back in this machine's order. The checker, the byte-order
// rewriter, the free-space figures and salvage all read images through it.
#ifndef LIB_SYSTEM_NCONFIG_RAW_IMAGE_H
#define LIB_SYSTEM_NCONFIG_RAW_IMAGE_H

#include <cstddef>
#include <cstdint>

#include "lib/system/nconfig.h"

namespace nc {

// Where each field lies within its record, for findings that name a field
// and for walkers that must say which word they follow.
constexpr uint32_t kSbMagic = offsetof(nc_sb_s, magic);
constexpr uint32_t kSbSize = offsetof(nc_sb_s, size);
constexpr uint32_t kSbEntInc = offsetof(nc_sb_s, ent_inc);
constexpr uint32_t kSbChunkInc = offsetof(nc_sb_s, chunk_inc);
constexpr uint32_t kSbSizeInc = offsetof(nc_sb_s, size_inc);
constexpr uint32_t kSbChunkTtl = offsetof(nc_sb_s, chunk_ttl);
constexpr uint32_t kSbChunk = offsetof(nc_sb_s, chunk);
constexpr uint32_t kSbRoot = offsetof(nc_sb_s, root);
constexpr uint32_t kSbModtime = offsetof(nc_sb_s, modtime);
constexpr uint32_t kDeName = offsetof(nc_de_s, name);
constexpr uint32_t kDeType = offsetof(nc_de_s, type);
constexpr uint32_t kDeParent = offsetof(nc_de_s, parent);
constexpr uint32_t kDeOffset = offsetof(nc_de_s, offset);
constexpr uint32_t kDePages = offsetof(nc_de_s, pages);
constexpr uint32_t kDeCrc = offsetof(nc_de_s, crc);
constexpr uint32_t kRecOffset = offsetof(nc_chunk_s, offset);
constexpr uint32_t kRecSize = offsetof(nc_chunk_s, size);
// A chunk's header is the word just before its data: the chunk's whole size.
constexpr uint32_t kChunkHeader = 4;

// True when [off, off + len) lies inside `size` bytes and `off` is word
// aligned. Never overflows, whatever the operands.
inline bool spans(uint64_t size, uint64_t off, uint64_t len) {
  return (off & 3) == 0 && off <= size && len <= size - off;
}

// A registry image as bytes: [bytes, bytes + size). Does not own the bytes;
// they must outlive the reader and not change while it reads.
class RawImage {
 public:
  // `swapped`: the image's words are in the other byte order than this
  // machine's.
  RawImage(const void *bytes, size_t size, bool swapped)
      : b_(static_cast<const unsigned char *>(bytes)), n_(size), swapped_(swapped) {}

  // Guesses nothing: the image's order as its superblock tells it (see
  // foreignByteOrder in format.h), the file being `size` bytes long. An
  // image without a superblock or with the wrong magic reads unswapped.
  static RawImage of(const void *bytes, size_t size);

  size_t size() const { return n_; }
  bool swapped() const { return swapped_; }
  const unsigned char *bytes() const { return b_; }
  // The same bytes cut to their first `size` (no longer than now).
  RawImage prefix(size_t size) const {
    return RawImage(b_, size < n_ ? size : n_, swapped_);
  }

  // True when [off, off + len) lies inside and `off` is word aligned.
  bool spans(uint64_t off, uint64_t len) const { return nc::spans(n_, off, len); }
  // True when [off, off + len) lies inside, at any alignment.
  bool inside(uint64_t off, uint64_t len) const { return off <= n_ && len <= n_ - off; }
  // The word at `off` in this machine's order; false (and *out untouched)
  // when it does not lie inside or is not aligned.
  bool word(uint64_t off, uint32_t *out) const;
  // The word at `off`, or 0 when it does not lie inside.
  uint32_t word(uint64_t off) const {
    uint32_t w = 0;
    word(off, &w);
    return w;
  }
  // The byte at `off`, or 0 when it does not lie inside.
  unsigned char byte(uint64_t off) const { return off < n_ ? b_[off] : 0; }

  // The superblock in this machine's order; false when the image is shorter.
  bool superblock(nc_sb_s *out) const;
  // The entry at `off`; false when it does not lie inside or is unaligned.
  bool entry(uint64_t off, nc_de_s *out) const;
  // Record `i` of the free-chunk table at `table`; false when outside.
  bool record(uint64_t table, uint32_t i, nc_chunk_s *out) const;
  // The header of the chunk whose data starts at `data`; false when the
  // header word does not lie inside.
  bool chunkHeader(uint64_t data, uint32_t *out) const {
    return data >= kChunkHeader && word(data - kChunkHeader, out);
  }

  // Length of the NUL-terminated string at `off`, looking at no more than
  // `max` bytes and none outside; false when no NUL ends it there.
  bool stringLength(uint64_t off, size_t max, size_t *len) const;
  // Copies the `len` value bytes at `off` to `out` as this machine reads
  // them: a `number` (an int, uint or double of its stored width) reversed
  // when the image is swapped, other bytes as they are. False, copying
  // nothing, when they do not lie inside.
  bool value(uint64_t off, uint32_t len, bool number, void *out) const;

 private:
  const unsigned char *b_;
  size_t n_;
  bool swapped_;
};

}  // namespace nc

#endif  // LIB_SYSTEM_NCONFIG_RAW_IMAGE_H
