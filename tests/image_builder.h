// Test helper: lays out registry images by hand, without the store.
//
// ImageBuilder starts from the exact image createNew(resize, dirent, mchunks)
// writes and adds directories and typed values the way the store lays them
// out: a name chunk per entry, slot arrays kept in descending name order with
// free entries after the used ones, entries allocated ent_inc at a time.
// Chunks are carved from the front of the largest free area (not best fit),
// and the free-chunk table stays in order. Offsets returned are entry offsets
// (for add*) or chunk data offsets (for alloc).
#ifndef TESTS_IMAGE_BUILDER_H
#define TESTS_IMAGE_BUILDER_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lib/system/nconfig.h"
#include "lib/system/nconfig_check.h"

namespace nctest {

using Image = std::vector<uint8_t>;

// Reads the whole file at `path`; empty when it cannot be read.
inline Image readImage(const std::string &path) {
  Image img;
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) return img;
  uint8_t buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) img.insert(img.end(), buf, buf + n);
  fclose(f);
  return img;
}

// Writes `img` as the whole file at `path`. False on failure.
inline bool writeImage(const std::string &path, const Image &img) {
  FILE *f = fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = fwrite(img.data(), 1, img.size(), f) == img.size();
  return fclose(f) == 0 && ok;
}

inline uint32_t getWord(const Image &img, uint32_t off) {
  uint32_t v;
  memcpy(&v, img.data() + off, 4);
  return v;
}

// Crafts damage (or anything else): the word at `off` becomes `v`.
inline void setWord(Image &img, uint32_t off, uint32_t v) { memcpy(img.data() + off, &v, 4); }

// Success when the checker finds no damage in the `length` bytes at `image`
// (and, unless leaks are allowed, no leaked byte); otherwise a failure
// carrying every finding. A test class derived from NConfig can check its
// open view after every operation: SoundBytes(data, sb->size).
inline ::testing::AssertionResult SoundBytes(const void *image, size_t length,
                                             bool allowLeaks = true) {
  nc_check_report r = nc_check_image(image, length);
  if (r.ok() && (allowLeaks || r.leaked_bytes == 0)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << r.describe();
}

// The same for an image in memory.
inline ::testing::AssertionResult SoundImage(const Image &img, bool allowLeaks = true) {
  return SoundBytes(img.data(), img.size(), allowLeaks);
}

// The same for the file at `path`.
inline ::testing::AssertionResult SoundFile(const std::string &path, bool allowLeaks = true) {
  nc_check_report r = nc_check_file(path.c_str());
  if (r.ok() && (allowLeaks || r.leaked_bytes == 0)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << r.describe();
}

class ImageBuilder {
 public:
  static constexpr uint32_t kRoot = 36;

  // The image of a freshly created file.
  explicit ImageBuilder(uint32_t resize = 1, uint32_t dirent = 8, uint32_t mchunks = 16)
      : img_(size_t(resize) * 4096) {
    const uint32_t table = 68, tableEnd = table + 8 * mchunks;
    require(mchunks >= 1 && img_.size() >= tableEnd, "image too small for its table");
    memcpy(img_.data(), NC_SB_MAGIC, 4);
    set(4, uint32_t(img_.size()));
    set(8, dirent);
    set(12, mchunks);
    set(16, resize);
    set(20, mchunks);
    set(24, table);
    set(28, kRoot);
    set(kRoot + 0, 60);
    set(kRoot + 4, NC_DIR);
    set(kRoot + 8, kRoot);
    img_[60] = '/';
    set(64, mchunks * 8 + 4);
    set(table, tableEnd);
    set(table + 4, uint32_t(img_.size()) - tableEnd);
  }

  const Image &image() const { return img_; }
  Image &image() { return img_; }
  uint32_t get(uint32_t off) const { return getWord(img_, off); }
  void set(uint32_t off, uint32_t v) { setWord(img_, off, v); }
  bool save(const std::string &path) const { return writeImage(path, img_); }

  // Carves a zero-filled chunk for `s` bytes from the front of the largest
  // free area, growing the file by whole units when that is too small (or
  // would leave exactly 4 bytes). Returns the chunk's data offset.
  uint32_t alloc(uint32_t s) {
    const uint32_t need = ((s + 3) & ~3u) + 4;
    while (recSize(0) < need || recSize(0) == need + 4) grow(need);
    const uint32_t start = recOffset(0);
    setRec(0, start + need, recSize(0) - need);
    for (uint32_t i = 0; i + 1 < ttl() && recSize(i) < recSize(i + 1); i++) swapRecs(i, i + 1);
    set(start, need);
    memset(img_.data() + start + 4, 0, need - 4);
    return start + 4;
  }

  // Gives the chunk at `data` back as a free area of its own (touching free
  // areas are not joined), keeping the table in order.
  void release(uint32_t data) {
    uint32_t i = 0;
    while (i < ttl() && recSize(i) != 0) i++;
    require(i < ttl(), "free-chunk table full");
    setRec(i, data - 4, get(data - 4));
    for (; i > 0 && recSize(i) > recSize(i - 1); i--) swapRecs(i, i - 1);
  }

  // Adds directory `name` to directory `parent`, with `slots` slots (none
  // until its first child when 0). Returns its entry.
  uint32_t addDir(uint32_t parent, const std::string &name, uint32_t slots = 0) {
    uint32_t e = insert(parent, name, NC_DIR);
    if (slots > get(e + 16)) resize(e, slots);
    return e;
  }

  // Adds key `name` of `type` to directory `parent` with the `len` bytes at
  // `value` (no value when null). Returns its entry.
  uint32_t addValue(uint32_t parent, const std::string &name, uint32_t type, const void *value,
                    uint32_t len) {
    uint32_t e = insert(parent, name, type);
    if (value) {
      uint32_t v = alloc(len);
      memcpy(img_.data() + v, value, len);
      set(e + 12, v);
      set(e + 16, len);
    }
    return e;
  }
  uint32_t addString(uint32_t parent, const std::string &name, const std::string &s) {
    return addValue(parent, name, NC_STRING, s.c_str(), uint32_t(s.size() + 1));
  }
  uint32_t addUint(uint32_t parent, const std::string &name, uint64_t v) {
    return addValue(parent, name, NC_UINT, &v, 8);
  }
  uint32_t addInt(uint32_t parent, const std::string &name, int64_t v) {
    return addValue(parent, name, NC_INT, &v, 8);
  }
  uint32_t addDouble(uint32_t parent, const std::string &name, double v) {
    return addValue(parent, name, NC_DOUBLE, &v, 8);
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

  static void require(bool cond, const char *what) {
    if (!cond) {
      fprintf(stderr, "ImageBuilder: %s\n", what);
      abort();
    }
  }

  uint32_t ttl() const { return get(20); }
  uint32_t recOffset(uint32_t i) const { return get(record(i)); }
  uint32_t recSize(uint32_t i) const { return get(record(i) + 4); }
  void setRec(uint32_t i, uint32_t off, uint32_t size) {
    set(record(i), off);
    set(record(i) + 4, size);
  }
  void swapRecs(uint32_t i, uint32_t j) {
    uint32_t o = recOffset(i), s = recSize(i);
    setRec(i, recOffset(j), recSize(j));
    setRec(j, o, s);
  }

  // Grows the file by the smallest number of whole units larger than `need`
  // and enters the new space into the table.
  void grow(uint32_t need) {
    const uint32_t unit = get(16) * 4096, add = (need / unit + 1) * unit;
    const uint32_t oldEnd = uint32_t(img_.size());
    img_.resize(size_t(oldEnd) + add);
    set(4, oldEnd + add);
    uint32_t i = 0;
    while (i < ttl() && recSize(i) != 0 && recOffset(i) + recSize(i) != oldEnd) i++;
    require(i < ttl(), "free-chunk table full");
    if (recSize(i) == 0)
      setRec(i, oldEnd, add);
    else
      setRec(i, recOffset(i), recSize(i) + add);
    for (; i > 0 && recSize(i) > recSize(i - 1); i--) swapRecs(i, i - 1);
  }

  // Gives directory `dir` a slot array of `want` slots, the new ones holding
  // fresh free entries.
  void resize(uint32_t dir, uint32_t want) {
    const uint32_t pages = get(dir + 16), old = get(dir + 12);
    const uint32_t array = alloc(want * 4);
    if (old) {
      memcpy(img_.data() + array, img_.data() + old, pages * 4);
      release(old);
    }
    set(dir + 12, array);
    for (uint32_t i = pages; i < want; i++) {
      uint32_t e = alloc(24);
      set(array + 4 * i, e);
      set(dir + 16, i + 1);
    }
  }

  // Creates a used entry named `name` of `type` in directory `dir`, keeping
  // the slots in order. Returns the entry.
  uint32_t insert(uint32_t dir, const std::string &name, uint32_t type) {
    require(!name.empty() && name.find('/') == std::string::npos, "bad name");
    const uint32_t n = alloc(uint32_t(name.size() + 1));
    memcpy(img_.data() + n, name.c_str(), name.size() + 1);
    uint32_t pages = get(dir + 16);
    if (get(dir + 12) == 0 || get(slotEntry(dir, pages - 1) + 4) != 0) {
      resize(dir, pages + get(8));
      pages = get(dir + 16);
    }
    uint32_t i = 0;
    for (; i < pages; i++) {
      uint32_t e = slotEntry(dir, i);
      if (get(e + 4) == 0) break;
      int c = strcmp(name.c_str(), this->name(e).c_str());
      require(c != 0, "name exists");
      if (c > 0) break;
    }
    const uint32_t to = slotEntry(dir, pages - 1);
    const uint32_t array = get(dir + 12);
    memmove(img_.data() + array + 4 * (i + 1), img_.data() + array + 4 * i, 4 * (pages - 1 - i));
    set(array + 4 * i, to);
    set(to + 0, n);
    set(to + 4, type);
    set(to + 8, dir);
    set(to + 12, 0);
    set(to + 16, 0);
    set(to + 20, 0);
    set(32, get(32) + 2);  // one insertion, one key created
    return to;
  }
};

}  // namespace nctest

#endif  // TESTS_IMAGE_BUILDER_H
