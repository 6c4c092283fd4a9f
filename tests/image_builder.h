// Test helper: lays out registry images by hand, without the store, starting
// from the exact image createNew(resize, dirent, mchunks) writes and adding
// entries the way the store does (see insert). Chunks are carved from the front
// of the largest free area, not best fit. add* return entry offsets, alloc a
// chunk's data offset.
#ifndef TESTS_IMAGE_BUILDER_H
#define TESTS_IMAGE_BUILDER_H

#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lib/system/nconfig.h"
#include "lib/system/nconfig/byteorder.h"
#include "lib/system/nconfig/format.h"

namespace nctest {

using Image = std::vector<uint8_t>;

// The word at `off`; setWord crafts damage (or anything else).
inline uint32_t getWord(const Image &b, uint32_t off) { uint32_t v; memcpy(&v, b.data() + off, 4); return v; }
inline void setWord(Image &b, uint32_t off, uint32_t v) { memcpy(b.data() + off, &v, 4); }

class ImageBuilder {
 public:
  static constexpr uint32_t kRoot = 36;

  // The image createNew(resize, dirent, mchunks) writes.
  explicit ImageBuilder(uint32_t resize = 1, uint32_t dirent = 8, uint32_t mchunks = 16)
      : img_(size_t(resize) * 4096) {
    const uint32_t size = uint32_t(img_.size()), tableEnd = 68 + 8 * mchunks;
    const uint32_t words[] = {size, dirent, mchunks, resize, mchunks, 68, kRoot, 0,  // superblock
                              60, NC_DIR, kRoot, 0, 0, 0,                            // root entry
                              0, 8 * mchunks + 4, tableEnd, size - tableEnd};        // name, table
    memcpy(img_.data(), NC_SB_MAGIC, 4);
    for (uint32_t i = 0; i < sizeof words / 4; i++) set(4 + 4 * i, words[i]);
    img_[60] = '/';
  }

  const Image &image() const { return img_; }
  Image &image() { return img_; }
  uint32_t get(uint32_t off) const { return getWord(img_, off); }
  void set(uint32_t off, uint32_t v) { setWord(img_, off, v); }

  // Carves a zero-filled chunk for `s` bytes from the front of the largest
  // free area (the builder never grows the file). Returns its data offset.
  uint32_t alloc(uint32_t s) {
    const uint32_t need = ((s + 3) & ~3u) + 4, start = get(record(0)), room = get(record(0) + 4);
    if (room < need + 8) abort();
    setRecord(0, start + need, room - need);
    set(start, need);
    memset(img_.data() + start + 4, 0, need - 4);
    return start + 4;
  }

  // Gives the chunk at `data` back as a free area of its own (touching free
  // areas are not joined) in the first empty record.
  void release(uint32_t data) {
    uint32_t i = 0;
    while (get(record(i) + 4) != 0) i++;
    if (i >= get(20)) abort();  // the builder never moves the table
    setRecord(i, data - 4, get(data - 4));
  }

  // Adds directory `name`, without slots until its first child, to
  // directory `parent`. Returns its entry.
  uint32_t addDir(uint32_t parent, const std::string &name) { return insert(parent, name, NC_DIR); }

  // Adds key `name` of `type` to directory `parent` with the `len` bytes at
  // `value` (no value when null). Returns its entry.
  uint32_t addValue(uint32_t parent, const std::string &name, uint32_t type, const void *value,
                    uint32_t len) {
    const uint32_t e = insert(parent, name, type);
    if (value) {
      const uint32_t v = alloc(len);
      memcpy(img_.data() + v, value, len);
      set(e + 12, v), set(e + 16, len);
    }
    return e;
  }

  // Offset of the word holding slot `i` of directory `dir`.
  uint32_t slot(uint32_t dir, uint32_t i) const { return get(dir + 12) + 4 * i; }
  // The entry in slot `i` of directory `dir`.
  uint32_t slotEntry(uint32_t dir, uint32_t i) const { return get(slot(dir, i)); }
  // Name of entry `e` ("" for a free entry).
  std::string name(uint32_t e) const { return reinterpret_cast<const char *>(&img_[get(e)]); }
  // Offset of the free-chunk record `i`.
  uint32_t record(uint32_t i) const { return get(24) + 8 * i; }

 private:
  Image img_;

  // Sets record `i` and restores the table's descending order.
  void setRecord(uint32_t i, uint32_t off, uint32_t size) {
    set(record(i), off), set(record(i) + 4, size);
    std::vector<std::pair<uint32_t, uint32_t>> recs;  // (size, offset)
    for (uint32_t k = 0; k < get(20); k++) recs.emplace_back(get(record(k) + 4), get(record(k)));
    std::stable_sort(recs.begin(), recs.end(), [](auto a, auto b) { return a.first > b.first; });
    for (uint32_t k = 0; k < get(20); k++) set(record(k), recs[k].second), set(record(k) + 4, recs[k].first);
  }

  // Gives directory `dir` a slot array of `want` slots, the new ones holding
  // fresh free entries.
  void resize(uint32_t dir, uint32_t want) {
    const uint32_t pages = get(dir + 16), old = get(dir + 12), array = alloc(want * 4);
    if (old) memcpy(img_.data() + array, img_.data() + old, pages * 4), release(old);
    set(dir + 12, array);
    for (uint32_t i = pages; i < want; i++) set(array + 4 * i, alloc(24));
    set(dir + 16, want);
  }

  // Creates a used entry named `name` of `type` in directory `dir`: a name
  // chunk, then the first free entry, its slot moved so that the slots stay in
  // descending name order with free entries last; ent_inc more when none is
  // free. Returns the entry.
  uint32_t insert(uint32_t dir, const std::string &name, uint32_t type) {
    const uint32_t n = alloc(uint32_t(name.size() + 1));
    memcpy(img_.data() + n, name.c_str(), name.size() + 1);
    if (get(dir + 12) == 0 || get(slotEntry(dir, get(dir + 16) - 1) + 4) != 0)
      resize(dir, get(dir + 16) + get(8));
    const uint32_t pages = get(dir + 16), array = get(dir + 12), to = slotEntry(dir, pages - 1);
    uint32_t i = 0;
    while (i < pages && get(slotEntry(dir, i) + 4) != 0 && name < this->name(slotEntry(dir, i))) i++;
    memmove(img_.data() + array + 4 * (i + 1), img_.data() + array + 4 * i, 4 * (pages - 1 - i));
    const uint32_t entry[] = {n, type, dir, 0, 0, 0};
    for (uint32_t k = 0; k < 6; k++) set(to + 4 * k, entry[k]);
    set(array + 4 * i, to);
    set(32, get(32) + 2);  // modtime: one insertion, one key created
    return to;
  }
};

// The small tree the damage tests start from, laid out without the store:
//   /z = 2.5 (double), /b = "xyz", /e (a directory without slots),
//   /a/u = 42 (uint), /a/sub/r = raw "r1", /a/s = "hello", and, `with_n`, /n = -7
// plus one released chunk, so the free-chunk table has two records in use.
// `foreign`: swapped to the other byte order, which get and set speak.
struct SampleTree {
  ImageBuilder b;
  bool foreign;
  uint32_t a, u, sub, r, s, bk, z, e, n = 0;
  explicit SampleTree(ImageBuilder from = ImageBuilder(), bool with_n = false, bool other = false)
      : b(from), foreign(other) {
    const uint64_t u42 = 42;
    const int64_t n7 = -7;
    const double z25 = 2.5;
    const uint32_t root = ImageBuilder::kRoot;
    a = b.addDir(root, "a");
    u = b.addValue(a, "u", NC_UINT, &u42, 8);
    sub = b.addDir(a, "sub");
    r = b.addValue(sub, "r", NC_RAW, "r1", 2);
    s = b.addValue(a, "s", NC_STRING, "hello", 6);
    bk = b.addValue(root, "b", NC_STRING, "xyz", 4);
    z = b.addValue(root, "z", NC_DOUBLE, &z25, 8);
    e = b.addDir(root, "e");
    if (with_n) n = b.addValue(root, "n", NC_INT, &n7, 8);
    b.release(b.alloc(40));
    if (foreign && !nc::swapOrder(reinterpret_cast<char *>(b.image().data()), b.image().size(), nc::hostIsBig()).empty())
      abort();
  }
  uint32_t get(uint32_t off) const { return foreign ? nc::byteSwap(b.get(off)) : b.get(off); }
  uint32_t set(uint32_t off, uint32_t v) {  // returns `off`, often where the damage lies
    b.set(off, foreign ? nc::byteSwap(v) : v);
    return off;
  }
  uint8_t &byte(uint32_t off) { return b.image()[off]; }
  uint32_t rec(uint32_t i) const { return get(24) + 8 * i; }
  uint32_t recSize(uint32_t i) const { return get(rec(i) + 4); }
  uint32_t value(uint32_t entry) const { return get(entry + 12); }
  uint32_t slot(uint32_t dir, uint32_t i) const { return get(dir + 12) + 4 * i; }
  uint32_t slotEntry(uint32_t dir, uint32_t i) const { return get(slot(dir, i)); }
  // Swaps slots i and j of `dir`; returns where slot j lies.
  uint32_t swap(uint32_t dir, uint32_t i, uint32_t j) {
    const uint32_t x = get(slot(dir, i));
    set(slot(dir, i), get(slot(dir, j)));
    return set(slot(dir, j), x);
  }
  // Makes the last `n` bytes non-zero, so that a string put there never ends; returns where it starts.
  uint32_t tail(uint32_t n) {
    const uint32_t end = uint32_t(b.image().size());
    memset(&byte(end - n), 'n', n);
    return end - n;
  }
};

}  // namespace nctest

#endif  // TESTS_IMAGE_BUILDER_H
