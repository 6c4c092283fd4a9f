// A careful walk over a damaged image.
#include "salvage.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "lib/system/nconfig.h"
#include "pathname.h"
#include "text.h"

namespace nctool {

namespace {

class Walker {
 public:
  // Bytes past the superblock's size are no part of the registry.
  explicit Walker(const Image &image)
      : bytes_(image.bytes.data()), size_(image.bytes.size()) {
    uint32_t recorded = 0;
    if (word(4, recorded) && recorded >= 36 && recorded < size_) size_ = recorded;
  }

  Salvage run() {
    Salvage s;
    s.tree.type = NC_DIR;
    uint32_t root = 0;
    if (!word(28, root) || !isEntry(root) || type(root) != NC_DIR) {
      s.lost.push_back("/: the root entry cannot be read; nothing can be salvaged");
      return s;
    }
    lost_ = &s.lost;
    walk(s.tree, root);
    return s;
  }

 private:
  // A directory still to be read.
  struct Pending {
    Node *node;
    uint32_t entry;
    std::string path;
    int level;
  };

  bool word(uint64_t at, uint32_t &out) const {
    if (at % 4 != 0 || at + 4 > size_) return false;
    memcpy(&out, bytes_ + at, 4);
    return true;
  }
  bool spans(uint64_t at, uint64_t n) const { return at != 0 && at + n <= size_; }
  bool isEntry(uint32_t e) const { return e % 4 == 0 && spans(e, 24); }
  uint32_t field(uint32_t e, int i) const {
    uint32_t w = 0;
    word(uint64_t(e) + 4 * i, w);
    return w;
  }
  uint32_t type(uint32_t e) const { return field(e, 1); }

  void lose(const std::string &where, const std::string &why) {
    lost_->push_back(where + ": " + why);
  }

  // The name of entry `e`, or "" when it is not a usable name in the image.
  std::string name(uint32_t e) const {
    uint32_t at = field(e, 0);
    if (!spans(at, 1)) return "";
    const void *end = memchr(bytes_ + at, 0, size_ - at);
    if (end == nullptr) return "";
    std::string n(bytes_ + at, static_cast<const char *>(end));
    return isPlainName(n) ? n : "";
  }

  // Reads the value of key entry `e` into `n`; false with `why` when unsafe.
  bool value(uint32_t e, Node &n, std::string &why) const {
    const uint32_t at = field(e, 3), len = field(e, 4);
    n.has_value = at != 0;
    if (at == 0) return true;
    if (!spans(at, len)) return why = "its value lies outside the file", false;
    const char *p = bytes_ + at;
    if (n.type == NC_RAW) return n.bytes.assign(p, len), true;
    if (n.type == NC_STRING) {
      const void *nul = memchr(p, 0, len);
      if (nul == nullptr) return why = "its string has no end", false;
      return n.bytes.assign(p, static_cast<const char *>(nul)), true;
    }
    if (n.type == NC_DOUBLE && len == 8) return memcpy(&n.bits, p, 8), true;
    if ((n.type == NC_INT || n.type == NC_UINT) &&
        (len == 8 || len == 4 || len == 2 || len == 1)) {
      int64_t s = 0;
      uint64_t u = 0;
      if (len == 8) memcpy(&u, p, 8), s = int64_t(u);
      if (len == 4) { int32_t v; memcpy(&v, p, 4); s = v; u = uint32_t(v); }
      if (len == 2) { int16_t v; memcpy(&v, p, 2); s = v; u = uint16_t(v); }
      if (len == 1) { s = int8_t(*p); u = uint8_t(*p); }
      n.bits = n.type == NC_INT ? uint64_t(s) : u;
      return true;
    }
    return why = "its value has an impossible width (" + std::to_string(len) + " bytes)",
           false;
  }

  // Adds the sound child at `slot` of directory `p`; queues a directory.
  void child(const Pending &p, uint32_t slot) {
    const std::string where = p.path + " slot " + std::to_string(slot);
    uint32_t e = 0;
    if (!word(uint64_t(field(p.entry, 3)) + 4 * slot, e) || !isEntry(e))
      return lose(where, "points outside the file");
    if (field(e, 0) == 0 && type(e) == 0) return;  // a free entry
    const std::string n = name(e);
    if (n.empty()) return lose(where, "the entry's name cannot be read");
    const std::string path = joinPath(p.path, n);
    Node c;
    c.name = n;
    c.type = type(e);
    if (c.type < NC_DIR || c.type > NC_DOUBLE)
      return lose(path, "an entry of unknown " + typeName(c.type));
    if (field(e, 2) != p.entry) return lose(path, "its parent link is wrong");
    if (!names_.insert({p.entry, n}).second) return lose(path, "its name appears twice");
    std::string why;
    if (c.type != NC_DIR && !value(e, c, why)) return lose(path, why);
    if (c.type == NC_DIR) entries_.push_back(e);
    p.node->children.push_back(std::move(c));
  }

  void walk(Node &root, uint32_t rootEntry) {
    std::set<uint32_t> visited;
    std::vector<Pending> todo{{&root, rootEntry, "/", 0}};
    while (!todo.empty()) {
      Pending p = todo.back();
      todo.pop_back();
      if (!visited.insert(p.entry).second) {
        lose(p.path, "the directory appears twice (a cycle); kept once");
        continue;
      }
      if (p.level >= kMaxDepth) {
        lose(p.path, "nested too deep; what lies below is left out");
        continue;
      }
      readDirectory(p, todo);
    }
  }

  void readDirectory(const Pending &p, std::vector<Pending> &todo) {
    const uint32_t slots = field(p.entry, 4), array = field(p.entry, 3);
    if (array == 0 && slots == 0) return;
    if (!spans(array, uint64_t(slots) * 4) || array % 4 != 0)
      return lose(p.path, "its slot array lies outside the file; its entries are lost");
    entries_.clear();
    for (uint32_t i = 0; i < slots; ++i) child(p, i);
    // Children are in place: pointers to them stay valid from here on.
    std::sort(p.node->children.begin(), p.node->children.end(),
              [](const Node &a, const Node &b) { return a.name < b.name; });
    for (Node &c : p.node->children) {
      if (c.type != NC_DIR) continue;
      std::string path = joinPath(p.path, c.name);
      todo.push_back({&c, childEntry(p.entry, c.name), path, p.level + 1});
    }
  }

  // The entry of the child `n` of directory `dir` (found again by name).
  uint32_t childEntry(uint32_t dir, const std::string &n) const {
    for (uint32_t e : entries_)
      if (field(e, 2) == dir && name(e) == n) return e;
    return 0;
  }

  const char *bytes_;
  size_t size_;
  std::vector<std::string> *lost_ = nullptr;
  std::set<std::pair<uint32_t, std::string>> names_;
  std::vector<uint32_t> entries_;  // directory entries of the directory being read
};

}  // namespace

Salvage salvageImage(const Image &image) { return Walker(image).run(); }

}  // namespace nctool
