// Swapping a registry image's byte order word by word, following its
// structure from the superblock. The structure is read first, in the source's
// order, through the raw-image reader, and only a walk that succeeded is
// applied: a damaged image is left as it was.
#include "byteorder.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "format.h"
#include "lib/system/nconfig.h"
#include "lib/system/nconfig_tool.h"
#include "raw_image.h"

namespace nc {

namespace {

// First offset that a chunk (with its 4-byte header before it) can have;
// the root entry and its name lie in the header area without one.
constexpr uint32_t kFirstChunk = kTableOffset;

// What must be swapped: structural words, and numbers by their width.
class SwapPlan {
 public:
  SwapPlan(const char *image, size_t len, bool from_big)
      : img_(image, len, from_big != hostIsBig()), words_(len / 4, false) {}

  // Walks the image; "" when the plan is whole, else why not.
  std::string make() {
    nc_sb_s sb;
    if (!img_.superblock(&sb) || memcmp(&sb.magic, NC_SB_MAGIC, 4) != 0)
      return "not a registry file (empty, or wrong magic number)";
    if (sb.size != img_.size())
      return "header says " + std::to_string(sb.size) + " bytes, file has " +
             std::to_string(img_.size());
    for (uint32_t at = kSbSize; at < sizeof(nc_sb_s); at += 4) word(at);
    if (!table(sb.chunk, sb.chunk_ttl) || !tree(sb.root)) return why_;
    return "";
  }

  // Rewrites the image as planned.
  void apply(char *image) const {
    for (size_t i = 0; i < words_.size(); i++)
      if (words_[i]) std::reverse(image + 4 * i, image + 4 * i + 4);
    for (const auto &n : numbers_) std::reverse(image + n.first, image + n.first + n.second);
  }

 private:
  // Same test as the walk has always made: inside, not at offset 0.
  bool spans(uint64_t at, uint64_t n) const { return at != 0 && img_.inside(at, n); }
  bool fail(const std::string &why) {
    why_ = "damaged: " + why;
    return false;
  }
  // Marks the aligned word at `at` for swapping, however often it is reached.
  bool word(uint64_t at) {
    if (!spans(at, 4) || !img_.spans(at, 4))
      return fail("a word at " + std::to_string(at) + " outside the file");
    words_[at / 4] = true;
    return true;
  }
  bool header(uint32_t data) { return data < kFirstChunk || word(data - kChunkHeader); }

  bool table(uint32_t chunk, uint32_t ttl) {
    if (!spans(chunk, uint64_t(ttl) * sizeof(nc_chunk_s)) || !header(chunk))
      return fail("the free-chunk table");
    for (uint32_t i = 0; i < ttl; ++i) {
      nc_chunk_s r = {};
      const uint64_t rec = chunk + uint64_t(i) * sizeof r;
      if (!img_.record(chunk, i, &r) || !word(rec + kRecOffset) || !word(rec + kRecSize))
        return fail("a word at " + std::to_string(rec) + " outside the file");
      if (r.size != 0 && (!spans(r.offset, r.size) || !word(r.offset)))
        return fail("free area at " + std::to_string(r.offset));
    }
    return true;
  }

  bool value(uint32_t e, const nc_de_s &d) {
    if (d.offset == 0) return true;
    if (!spans(d.offset, d.pages) || !header(d.offset))
      return fail("the value of the entry at " + std::to_string(e));
    if (d.type == NC_STRING || d.type == NC_RAW) return true;
    if (d.pages != 1 && d.pages != 2 && d.pages != 4 && d.pages != 8)
      return fail("a number of " + std::to_string(d.pages) + " bytes at " +
                  std::to_string(d.offset));
    numbers_.emplace_back(d.offset, d.pages);
    return true;
  }

  bool directory(const nc_de_s &d, uint32_t e, std::vector<uint32_t> *todo) {
    if (d.offset == 0) return true;
    if (!spans(d.offset, uint64_t(d.pages) * 4) || !header(d.offset))
      return fail("the slots of the directory at " + std::to_string(e));
    for (uint32_t i = 0; i < d.pages; ++i) {
      const uint64_t slot = d.offset + 4ull * i;
      uint32_t child = 0;
      if (!img_.word(slot, &child)) return fail("a word at " + std::to_string(slot) + " outside the file");
      todo->push_back(child);
      word(slot);
    }
    return true;
  }

  bool tree(uint32_t root) {
    std::vector<uint32_t> todo{root};
    std::vector<bool> seen(img_.size() / 4, false);
    while (!todo.empty()) {
      const uint32_t e = todo.back();
      todo.pop_back();
      nc_de_s d;
      if (!spans(e, sizeof d) || !img_.entry(e, &d)) return fail("an entry at " + std::to_string(e));
      if (seen[e / 4]) return fail("the entry at " + std::to_string(e) + " is reached twice");
      seen[e / 4] = true;
      if (!header(e)) return false;
      for (uint32_t w = 0; w < sizeof d; w += 4) word(e + w);
      if (d.name == 0 && d.type == 0) continue;  // a free entry
      if (!spans(d.name, 1) || !header(d.name))
        return fail("the name of the entry at " + std::to_string(e));
      if (!(d.type == NC_DIR ? directory(d, e, &todo) : value(e, d))) return false;
    }
    return true;
  }

  RawImage img_;
  std::vector<bool> words_;                          // words to swap, by offset / 4
  std::vector<std::pair<uint64_t, uint32_t>> numbers_;  // values to reverse: offset, width
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
  SwapPlan plan(image, len, from_big);
  std::string why = plan.make();
  if (why.empty()) plan.apply(image);
  return why;
}

}  // namespace nc

int nc_host_order() { return nc::hostIsBig() ? NC_ORDER_BIG : NC_ORDER_LITTLE; }
