// A handle's path cache: absolute path -> offset of the entry it names.
//
// The cache lives only in the handle's memory and never in the file. It is
// valid for one state of the file, named by the superblock's structural
// change counter (`modtime`) and the view's length: every lookup and every
// fill states the state it runs under, and a cache filled under another one
// is dropped first. Nothing but a structural change (insert, create, delete,
// rename, by any process) changes which entry a path names, and each moves
// the counter; so an entry found here is the one a walk would find. Callers
// still check a hit cheaply (offset inside the view, entry in use): bytes
// changed behind the store's back without moving the counter (damage) are
// caught where the cached entry itself was freed, not above it.
//
// Bound: at most kMaxEntries paths (kMaxSlots slots of 16 bytes, at most
// three quarters of them used) and kMaxKeyBytes bytes of path text, so at
// most kMaxSlots * 16 + kMaxKeyBytes = 8 MiB (while the table doubles the old
// one is held too). Both grow by doubling from small, so a small registry
// costs little. A fill that would pass either bound first drops every path
// (replacement by clearing: the working set refills it).
//
// Structure: one flat open-addressing table with linear probing, keyed by a
// 32-bit hash of the path bytes; the path text is kept in one arena and
// compared on a hash match, so a hit is never a collision. Dropping is O(1):
// a slot is in use only when it carries the current epoch.
#ifndef LIB_SYSTEM_NCONFIG_CACHE_H
#define LIB_SYSTEM_NCONFIG_CACHE_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace nc {

class PathCache {
 public:
  static constexpr uint32_t kMaxSlots = 1u << 18;
  static constexpr uint32_t kMaxEntries = kMaxSlots / 4 * 3;
  static constexpr uint32_t kMaxKeyBytes = 4u << 20;
  // Longest path the cache keeps, in bytes; longer ones are always walked.
  static constexpr uint32_t kMaxKey = 255;

  // The entry offset cached for path[0, len) under state (modtime, size), or
  // 0 when there is none (or the cache is off, or holds another state).
  // Never allocates.
  uint32_t find(const char *path, size_t len, uint32_t modtime, uint32_t size) const {
    if (!valid_ || modtime != modtime_ || size != size_ || count_ == 0 || len > kMaxKey)
      return 0;
    return lookup(path, len, hash(path, len));
  }
  // Records that path[0, len) names the entry at `entry` (non-zero) under
  // state (modtime, size). Drops a cache of another state first. A path too
  // long, or memory refused, leaves the path uncached; never throws.
  void put(const char *path, size_t len, uint32_t entry, uint32_t modtime, uint32_t size);
  // Forgets every path. O(1).
  void drop();
  // The handle itself moved the counter from `from` to `to` by a change that
  // left every cached path naming the same entry (an insertion). A cache of
  // state (from, size) follows to (to, size); any other is dropped.
  void follow(uint32_t from, uint32_t to, uint32_t size);
  // Drops the cache unless it was filled under (modtime, size).
  void validate(uint32_t modtime, uint32_t size) {
    if (valid_ && (modtime != modtime_ || size != size_)) drop();
  }
  // With `on` false the cache answers nothing and keeps nothing (tests
  // compare against uncached walks this way).
  void enable(bool on) {
    enabled_ = on;
    drop();
  }

  uint32_t entries() const { return count_; }
  // Bytes of memory held now (table and arena).
  size_t bytes() const { return slots_.capacity() * sizeof(Slot) + arena_.capacity(); }

  // 32-bit hash of p[0, len) (murmur3 style, 4 bytes a step in host order:
  // a value is only ever compared within this process).
  static uint32_t hash(const char *p, size_t len);

 private:
  // A table slot: in use when epoch == epoch_. 16 bytes.
  struct Slot {
    uint32_t hash;
    uint32_t entry;  // entry offset in the view
    uint32_t key;    // offset of the path text in arena_
    uint16_t len;    // its length
    uint16_t epoch;
  };
  uint32_t lookup(const char *path, size_t len, uint32_t h) const;
  // Index of the slot holding path[0, len), or of the empty slot where it
  // would go.
  uint32_t probe(const char *path, size_t len, uint32_t h) const;
  // Makes room for one more path of `len` bytes; false when memory is refused.
  bool reserve(size_t len);
  bool grow(uint32_t nslots);

  // Invariants: slots_.size() is 0 or a power of two; count_ <= size * 3 / 4,
  // so every probe ends at an empty slot; every slot in use has key + len <=
  // arena_.size(). valid_ is false when nothing has been put since the last
  // drop, and then no slot is in use.
  std::vector<Slot> slots_;
  std::vector<char> arena_;
  uint32_t count_ = 0;
  uint32_t modtime_ = 0, size_ = 0;
  uint16_t epoch_ = 1;
  bool valid_ = false;
  bool enabled_ = true;
};

}  // namespace nc

#endif  // LIB_SYSTEM_NCONFIG_CACHE_H
