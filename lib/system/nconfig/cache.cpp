// The path cache: hashing, probing, filling, growing and dropping.
#include "cache.h"

#include <cstring>
#include <new>

namespace nc {

namespace {

constexpr uint32_t kFirstSlots = 1024;
constexpr size_t kFirstArena = 16 * 1024;

inline uint32_t rotl(uint32_t x, int r) { return (x << r) | (x >> (32 - r)); }

inline uint32_t mixWord(uint32_t k) {
  k *= 0xcc9e2d51u;
  k = rotl(k, 15);
  return k * 0x1b873593u;
}

}  // namespace

uint32_t PathCache::hash(const char *p, size_t len) {
  uint32_t h = uint32_t(len) * 0x9e3779b9u;
  size_t i = 0;
  for (; i + 4 <= len; i += 4) {
    uint32_t w;
    memcpy(&w, p + i, 4);
    h ^= mixWord(w);
    h = rotl(h, 13) * 5 + 0xe6546b64u;
  }
  uint32_t tail = 0;
  for (size_t s = 0; i < len; i++, s += 8) tail |= uint32_t(uint8_t(p[i])) << s;
  h ^= mixWord(tail);
  h ^= h >> 16;
  h *= 0x85ebca6bu;
  h ^= h >> 13;
  h *= 0xc2b2ae35u;
  return h ^ (h >> 16);
}

uint32_t PathCache::probe(const char *path, size_t len, uint32_t h) const {
  const uint32_t mask = uint32_t(slots_.size()) - 1;
  for (uint32_t i = h & mask;; i = (i + 1) & mask) {
    const Slot &s = slots_[i];
    if (s.epoch != epoch_) return i;
    if (s.hash == h && s.len == len && memcmp(arena_.data() + s.key, path, len) == 0) return i;
  }
}

uint32_t PathCache::lookup(const char *path, size_t len, uint32_t h) const {
  const Slot &s = slots_[probe(path, len, h)];
  return s.epoch == epoch_ ? s.entry : 0;
}

void PathCache::drop() {
  valid_ = false;
  arena_.clear();
  if (count_ == 0) return;  // no slot carries the epoch: nothing to retire
  count_ = 0;
  if (++epoch_ == 0) {
    // The epoch wrapped: slots of an old epoch could look in use again.
    memset(static_cast<void *>(slots_.data()), 0, slots_.size() * sizeof(Slot));
    epoch_ = 1;
  }
}

void PathCache::follow(uint32_t from, uint32_t to, uint32_t size) {
  if (valid_ && modtime_ == from && size_ == size)
    modtime_ = to;
  else
    drop();
}

bool PathCache::grow(uint32_t nslots) {
  std::vector<Slot> old;
  try {
    old.assign(nslots, Slot{0, 0, 0, 0, 0});
  } catch (const std::bad_alloc &) {
    return false;
  }
  old.swap(slots_);
  const uint32_t mask = nslots - 1;
  for (const Slot &s : old) {
    if (s.epoch != epoch_) continue;
    uint32_t i = s.hash & mask;
    while (slots_[i].epoch == epoch_) i = (i + 1) & mask;
    slots_[i] = s;
  }
  return true;
}

bool PathCache::reserve(size_t len) {
  if (count_ + 1 > kMaxEntries || arena_.size() + len > kMaxKeyBytes) drop();
  if (slots_.empty() && !grow(kFirstSlots)) return false;
  if ((count_ + 1) * 4 > slots_.size() * 3 && !grow(uint32_t(slots_.size()) * 2)) return false;
  if (arena_.size() + len > arena_.capacity()) {
    size_t cap = arena_.capacity() ? arena_.capacity() : kFirstArena;
    while (cap < arena_.size() + len) cap *= 2;
    try {
      arena_.reserve(cap < kMaxKeyBytes ? cap : kMaxKeyBytes);
    } catch (const std::bad_alloc &) {
      return false;
    }
  }
  return true;
}

void PathCache::put(const char *path, size_t len, uint32_t entry, uint32_t modtime,
                    uint32_t size) {
  if (!enabled_ || len > kMaxKey || entry == 0) return;
  if (valid_ && (modtime != modtime_ || size != size_)) drop();
  const uint32_t h = hash(path, len);
  if (valid_ && count_) {
    Slot &s = slots_[probe(path, len, h)];
    if (s.epoch == epoch_) {
      s.entry = entry;
      return;
    }
  }
  if (!reserve(len)) return;
  Slot &s = slots_[probe(path, len, h)];
  s = Slot{h, entry, uint32_t(arena_.size()), uint16_t(len), epoch_};
  arena_.insert(arena_.end(), path, path + len);
  count_++;
  valid_ = true;
  modtime_ = modtime;
  size_ = size;
}

}  // namespace nc
