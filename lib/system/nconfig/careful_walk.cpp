// The careful walk (see careful_walk.h): one directory at a time, its slots
// read into plain values first, so that the sink learns how many entries a
// directory keeps before it makes it.
#include "careful_walk.h"

#include <cstring>
#include <set>
#include <type_traits>

namespace nc {

namespace {

// An entry of the directory being read that is kept.
struct Kept {
  std::string name;
  uint32_t entry;
  uint32_t type;
  bool has_value;
  std::string bytes;  // the value in this machine's order
};

// A directory still to be read.
struct Pending {
  uint32_t entry;
  std::string path;
  uint32_t depth;
};

std::string joinPath(const std::string &dir, const std::string &name) {
  return dir == "/" ? dir + name : dir + "/" + name;
}

const char *const kOverAndOver = "the file's structures refer to the same bytes over and over";

bool plainName(const char *p, size_t len) {
  return len != 0 && memchr(p, '/', len) == nullptr && !(len == 1 && p[0] == '.') &&
         !(len == 2 && p[0] == '.' && p[1] == '.');
}

class Walker {
 public:
  Walker(const RawImage &image, TreeSink &sink, WalkReport *report)
      : img_(image), sink_(sink), report_(report), budget_(3 * uint64_t(image.size()) + 4096) {}

  int run(uint32_t root) {
    std::vector<Pending> todo{{root, "/", 0}};
    visited_.insert(root);
    while (!todo.empty()) {
      Pending p = std::move(todo.back());
      todo.pop_back();
      if (budget_ == 0) {
        lose(p.path, kOverAndOver + std::string("; left out"));
        continue;
      }
      if (int rc = directory(p, &todo)) return rc;
    }
    return NC_ERR_OK;
  }

 private:
  void lose(const std::string &where, const std::string &why) {
    report_->lost.push_back(where + ": " + why);
  }
  // Takes `n` from the bytes the walk may still look at; false once spent.
  bool charge(uint64_t n) {
    if (n > budget_) budget_ = 0;
    else budget_ -= n;
    return budget_ != 0;
  }

  // Reads directory `p`, hands it and its keys to the sink, queues its
  // directories.
  int directory(const Pending &p, std::vector<Pending> *todo) {
    nc_de_s d = {};
    img_.entry(p.entry, &d);
    std::vector<Kept> kept;
    if (d.offset != 0 && !img_.spans(d.offset, uint64_t(d.pages) * 4))
      lose(p.path, "its slot array lies outside the file; its entries are lost");
    else if (d.offset != 0)
      readSlots(p, d, &kept);
    if (int rc = sink_.directory(p.path, uint32_t(kept.size()))) return rc;
    report_->directories++;
    for (const Kept &k : kept) {
      if (k.type == NC_DIR) continue;
      const std::string path = joinPath(p.path, k.name);
      const int rc = sink_.key(path, k.type, k.has_value ? k.bytes.data() : nullptr,
                               uint32_t(k.bytes.size()));
      if (rc) return rc;
      report_->keys++;
    }
    for (auto k = kept.rbegin(); k != kept.rend(); ++k)  // read in slot order
      if (k->type == NC_DIR) todo->push_back({k->entry, joinPath(p.path, k->name), p.depth + 1});
    return NC_ERR_OK;
  }

  void readSlots(const Pending &p, const nc_de_s &d, std::vector<Kept> *kept) {
    std::set<std::string> names;
    for (uint32_t i = 0; i < d.pages; i++) {
      if (!charge(4)) {
        lose(p.path, kOverAndOver + std::string("; its entries from slot ") + std::to_string(i) +
                         " on are left out");
        return;
      }
      Kept k;
      if (!child(p, d.offset + 4 * i, i, &k)) continue;
      const std::string path = joinPath(p.path, k.name);
      if (!names.insert(k.name).second) {
        lose(path, "its name appears twice");
      } else if (k.type == NC_DIR && !visited_.insert(k.entry).second) {
        lose(path, "the directory is reached a second time; kept once");
      } else if (k.type == NC_DIR && p.depth + 1 >= kMaxWalkDepth) {
        lose(path, "nested too deep; what lies below is left out");
      } else {
        kept->push_back(std::move(k));
      }
    }
  }

  // Reads the entry in slot `i` (at `slot`) of directory `p` into *k; false
  // when it is free or lost.
  bool child(const Pending &p, uint32_t slot, uint32_t i, Kept *k) {
    const std::string where = p.path + " slot " + std::to_string(i);
    nc_de_s e = {};
    k->entry = img_.word(slot);
    if (k->entry == 0 || !img_.entry(k->entry, &e)) return lose(where, "points outside the file"), false;
    if (e.name == 0 && e.type == 0) return false;  // a free entry
    size_t len = 0;
    const uint64_t room = img_.size() > e.name ? img_.size() - e.name : 0;
    const bool ended = e.name != 0 && img_.stringLength(e.name, size_t(room), &len);
    charge(ended ? len + 1 : room);
    const char *name = reinterpret_cast<const char *>(img_.bytes()) + e.name;
    if (!ended || !plainName(name, len)) return lose(where, "the entry's name cannot be read"), false;
    k->name.assign(name, len);
    const std::string path = joinPath(p.path, k->name);
    k->type = e.type;
    if (e.type < NC_DIR || e.type > NC_DOUBLE)
      return lose(path, "an entry of unknown type " + std::to_string(e.type)), false;
    if (e.parent != p.entry) return lose(path, "its parent link is wrong"), false;
    k->has_value = e.type == NC_DIR || e.offset != 0;
    if (e.type == NC_DIR || e.offset == 0) return true;
    std::string why;
    if (!value(e, &k->bytes, &why)) return lose(path, why), false;
    return true;
  }

  // The value of key `e` in this machine's order; false with *why when it
  // cannot be kept.
  bool value(const nc_de_s &e, std::string *out, std::string *why) const {
    const uint32_t len = e.pages;
    if (!img_.inside(e.offset, len)) return *why = "its value lies outside the file", false;
    const char *p = reinterpret_cast<const char *>(img_.bytes()) + e.offset;
    if (e.type == NC_RAW) return out->assign(p, len), true;
    if (e.type == NC_STRING) {
      const void *nul = memchr(p, 0, len);
      if (!nul) return *why = "its string has no end", false;
      return out->assign(p, static_cast<const char *>(nul) + 1), true;
    }
    const bool integer = e.type == NC_INT || e.type == NC_UINT;
    if (len != 8 && !(integer && (len == 1 || len == 2 || len == 4)))
      return *why = "its value has an impossible width (" + std::to_string(len) + " bytes)", false;
    unsigned char raw[8] = {};
    img_.value(e.offset, len, true, raw);
    const uint64_t v = len == 8 ? load<uint64_t, uint64_t>(raw)
                       : e.type == NC_INT ? widen<int8_t, int16_t, int32_t>(raw, len)
                                          : widen<uint8_t, uint16_t, uint32_t>(raw, len);
    out->assign(reinterpret_cast<const char *>(&v), 8);
    return true;
  }

  // The number of type T at p, as 64 bits of type W (sign-extended when
  // signed).
  template <typename T, typename W>
  static uint64_t load(const unsigned char *p) {
    T v;
    memcpy(&v, p, sizeof v);
    return uint64_t(W(v));
  }
  // The integer of `len` (1, 2 or 4) bytes at p, widened to 64 bits by the
  // signedness of its types.
  template <typename B, typename H, typename W>
  static uint64_t widen(const unsigned char *p, uint32_t len) {
    using L = typename std::conditional<std::is_signed<B>::value, int64_t, uint64_t>::type;
    return len == 1 ? load<B, L>(p) : len == 2 ? load<H, L>(p) : load<W, L>(p);
  }

  const RawImage &img_;
  TreeSink &sink_;
  WalkReport *report_;
  uint64_t budget_;
  std::set<uint32_t> visited_;  // directory entries kept
};

}  // namespace

int walkCarefully(const RawImage &image, uint32_t root, TreeSink &sink, WalkReport *report) {
  return Walker(image, sink, report).run(root);
}

}  // namespace nc
