// Swapping a registry image's byte order word by word, following its
// structure from the superblock.
#include "byteorder.h"


#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "lib/system/nconfig.h"

namespace nc {

namespace {

// First offset that a chunk (with its 4-byte header before it) can have;
// the root entry and its name lie in the header area without one.
constexpr uint32_t kFirstChunk = 68;

class Swapper {
 public:
  Swapper(char *image, size_t len, bool from_big)
      : b_(image), n_(len), foreign_(from_big != hostIsBig()), done_(len / 4, false) {}

  std::string run() {
    if (n_ < sizeof(nc_sb_s) || memcmp(b_, NC_SB_MAGIC, 4) != 0)
      return "not a registry file (empty, or wrong magic number)";
    const uint32_t size = read(4), chunk = read(24), ttl = read(20), root = read(28);
    if (size != n_) return "header says " + std::to_string(size) +
                                  " bytes, file has " + std::to_string(n_);
    for (uint32_t at = 4; at < 36; at += 4) swapWord(at);
    if (!table(chunk, ttl)) return why_;
    if (!tree(root)) return why_;
    return "";
  }

 private:
  // The word at `at` as the source's byte order means it (the source's bytes
  // are still in place until that word is swapped).
  uint32_t read(uint64_t at) const {
    uint32_t w = 0;
    if (at + 4 > n_) return 0;
    memcpy(&w, &b_[at], 4);
    if (at % 4 == 0 && done_[at / 4]) return foreign_ ? w : __builtin_bswap32(w);
    return foreign_ ? __builtin_bswap32(w) : w;
  }
  bool spans(uint64_t at, uint64_t n) const { return at != 0 && at + n <= n_; }
  bool fail(const std::string &why) {
    why_ = "damaged: " + why;
    return false;
  }
  void swapBytes(uint64_t at, size_t n) { std::reverse(&b_[at], &b_[at] + n); }
  // Swaps the aligned word at `at` once, however often it is reached.
  bool swapWord(uint64_t at) {
    if (at % 4 != 0 || !spans(at, 4)) return fail("a word at " + std::to_string(at) + " outside the file");
    if (done_[at / 4]) return true;
    done_[at / 4] = true;
    swapBytes(at, 4);
    return true;
  }
  bool header(uint32_t data) { return data < kFirstChunk || swapWord(data - 4); }

  bool table(uint32_t chunk, uint32_t ttl) {
    if (!spans(chunk, uint64_t(ttl) * 8) || !header(chunk)) return fail("the free-chunk table");
    for (uint32_t i = 0; i < ttl; ++i) {
      const uint32_t rec = chunk + 8 * i, at = read(rec), size = read(rec + 4);
      if (!swapWord(rec) || !swapWord(rec + 4)) return false;
      if (size != 0 && (!spans(at, size) || !swapWord(at)))
        return fail("free area at " + std::to_string(at));
    }
    return true;
  }

  bool value(uint32_t e, uint32_t type) {
    const uint32_t at = read(e + 12), len = read(e + 16);
    if (at == 0) return true;
    if (!spans(at, len) || !header(at)) return fail("the value of the entry at " + std::to_string(e));
    if (type == NC_STRING || type == NC_RAW) return true;
    if (len != 1 && len != 2 && len != 4 && len != 8)
      return fail("a number of " + std::to_string(len) + " bytes at " + std::to_string(at));
    swapBytes(at, len);
    return true;
  }

  bool tree(uint32_t root) {
    std::vector<uint32_t> todo{root};
    std::vector<bool> seen(n_ / 4, false);
    while (!todo.empty()) {
      const uint32_t e = todo.back();
      todo.pop_back();
      if (e % 4 != 0 || !spans(e, 24)) return fail("an entry at " + std::to_string(e));
      if (seen[e / 4]) return fail("the entry at " + std::to_string(e) + " is reached twice");
      seen[e / 4] = true;
      const uint32_t name = read(e), type = read(e + 4);
      if (!header(e)) return false;
      for (uint32_t w = 0; w < 24; w += 4)
        if (!swapWord(e + w)) return false;
      if (name == 0 && type == 0) continue;  // a free entry
      if (!spans(name, 1) || !header(name)) return fail("the name of the entry at " + std::to_string(e));
      if (type != NC_DIR) {
        if (!value(e, type)) return false;
        continue;
      }
      const uint32_t slots = read(e + 12), count = read(e + 16);
      if (slots == 0) continue;
      if (!spans(slots, uint64_t(count) * 4) || !header(slots))
        return fail("the slots of the directory at " + std::to_string(e));
      for (uint32_t i = 0; i < count; ++i) {
        todo.push_back(read(slots + 4 * i));
        if (!swapWord(slots + 4 * i)) return false;
      }
    }
    return true;
  }

  char *b_;
  size_t n_;
  bool foreign_;            // the source is not in host order
  std::vector<bool> done_;  // words swapped already
  std::string why_;
};

}  // namespace

bool hostIsBig() {
  const uint16_t one = 1;
  unsigned char first;
  memcpy(&first, &one, 1);
  return first == 0;
}

std::string swapOrder(char *image, size_t len, bool from_big) {
  return Swapper(image, len, from_big).run();
}

}  // namespace nc
