// Structural checker of registry images. See lib/system/nconfig_check.h.
//
// The checker collects every region of the file that something accounts for
// (the fixed header area, the free-chunk table, free areas, and each chunk
// reachable from the root) while it validates them, then sorts the regions:
// regions that overlap are damage, gaps between them are leaked runs.
#include "lib/system/nconfig_check.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "image_file.h"
#include "internal.h"
#include "raw_image.h"

namespace {

// Kinds of region, for messages.
enum Region { kHeaderArea, kTable, kFreeArea, kName, kValue, kSlots, kEntry };

const char *regionName(Region r) {
  switch (r) {
    case kHeaderArea: return "header area";
    case kTable: return "free-chunk table";
    case kFreeArea: return "free area";
    case kName: return "name chunk";
    case kValue: return "value chunk";
    case kSlots: return "slot array";
    case kEntry: return "entry chunk";
  }
  return "region";
}

struct Interval {
  uint64_t start, end;  // [start, end), end > start
  Region kind;
};

// Findings beyond this many per list are counted, not kept.
constexpr size_t kMaxFindings = 500;

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *fmt, ...) {
  char buf[256];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return buf;
}

// A name as it may appear in a message: at most 40 bytes, unprintable bytes
// shown as '?'.
std::string shown(const char *s, size_t len) {
  std::string out;
  for (size_t i = 0; i < len && i < 40; i++) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    out += (c >= 0x20 && c < 0x7f) ? char(c) : '?';
  }
  if (len > 40) out += "...";
  return out;
}

class Checker {
 public:
  Checker(const uint8_t *image, size_t length, nc_check_report *report)
      : img_(nc::RawImage::of(image, length)), length_(length), report_(report) {}

  // Fills the report. Guarantees no read outside [image, image + length).
  void run() {
    if (!checkSuperblock()) return;
    claim(0, nc::kTableHeaderOffset, kHeaderArea);
    checkTable();
    walkTree();
    sweep();
    flushOmitted();
  }

 private:
  nc::RawImage img_;  // cut to limit_ once the superblock is read
  size_t length_;
  nc_check_report *report_;
  uint32_t limit_ = 0;  // bytes of the image that belong to the registry
  nc_sb_s sb_{};
  std::vector<Interval> regions_;
  std::vector<bool> visited_;  // entries reached, by offset / 4
  uint64_t budget_ = 0;        // bytes the tree walk may still look at
  size_t omittedDamage_ = 0, omittedLeaks_ = 0;

  // The word at `off` (0 outside the image; callers check the bounds first).
  uint32_t word(uint64_t off) const { return img_.word(off); }
  // The entry at `off`, which the caller has found inside the image.
  nc_de_s entryAt(uint32_t off) const {
    nc_de_s e = {};
    img_.entry(off, &e);
    return e;
  }

  void damage(uint32_t off, std::string what) {
    if (report_->damage.size() < kMaxFindings)
      report_->damage.push_back({off, std::move(what)});
    else
      omittedDamage_++;
  }

  void leak(uint64_t start, uint64_t end) {
    report_->leaked_bytes += end - start;
    if (report_->leaks.size() < kMaxFindings)
      report_->leaks.push_back(
          {uint32_t(start), format("%llu bytes at %llu not accounted for",
                                   (unsigned long long)(end - start),
                                   (unsigned long long)start)});
    else
      omittedLeaks_++;
  }

  void flushOmitted() {
    if (omittedDamage_)
      report_->damage.push_back({0, format("%zu more damage findings not listed", omittedDamage_)});
    if (omittedLeaks_)
      report_->leaks.push_back({0, format("%zu more leaked runs not listed", omittedLeaks_)});
  }

  void claim(uint64_t start, uint64_t end, Region kind) {
    regions_.push_back({start, end, kind});
  }

  // Takes `n` bytes from the walk's budget. False (with a finding at `where`)
  // once the budget is spent: a sound file never looks at a byte more than a
  // few times, so only overlapping structures can exhaust it.
  bool charge(uint64_t n, uint32_t where) {
    if (n <= budget_) {
      budget_ -= n;
      return true;
    }
    budget_ = 0;
    damage(where, "structures refer to the same bytes over and over; walk abandoned");
    return false;
  }

  // Validates the superblock and sets limit_. False when nothing else can be
  // examined.
  bool checkSuperblock() {
    if (length_ < sizeof(nc_sb_s)) {
      damage(0, format("file of %zu bytes is shorter than the superblock", length_));
      return false;
    }
    if (memcmp(img_.bytes() + nc::kSbMagic, NC_SB_MAGIC, 4) != 0) {
      damage(nc::kSbMagic, "bad magic");
      return false;
    }
    img_.superblock(&sb_);
    uint64_t limit = sb_.size;
    if (sb_.size > length_) {
      damage(nc::kSbSize, format("size %u exceeds the file's %zu bytes", sb_.size, length_));
      limit = length_;
    }
    if (sb_.size % 4) damage(nc::kSbSize, format("size %u is not a multiple of 4", sb_.size));
    limit_ = uint32_t(limit & ~uint64_t(3));
    img_ = img_.prefix(limit_);
    if (limit_ < nc::kTableHeaderOffset) {
      damage(nc::kSbSize, format("size %u cannot hold the header area", sb_.size));
      return false;
    }
    if (sb_.ent_inc < 1) damage(nc::kSbEntInc, "ent_inc is 0");
    if (sb_.chunk_inc < 1) damage(nc::kSbChunkInc, "chunk_inc is 0");
    if (sb_.size_inc < 1) damage(nc::kSbSizeInc, "size_inc is 0");
    if (sb_.chunk_ttl < nc::kMinChunks)
      damage(nc::kSbChunkTtl, format("chunk_ttl %u is below %u", sb_.chunk_ttl, nc::kMinChunks));
    if (sb_.root != nc::kRootOffset)
      damage(nc::kSbRoot, format("root entry at %u, not %u", sb_.root, nc::kRootOffset));
    budget_ = 3 * uint64_t(limit_) + 4096;
    visited_.assign(limit_ / 4 + 1, false);
    return true;
  }

  // Validates the chunk whose data starts at `data`, named by the word at
  // `ref`, which must hold `need` bytes (and have exactly the header `exact`
  // when that is not 0), and claims it. Its header, or 0 when it is unusable.
  uint32_t claimChunk(uint32_t ref, uint32_t data, uint64_t need, Region kind,
                      uint64_t exact = 0) {
    const char *what = regionName(kind);
    if (data == 0) {
      damage(ref, format("no %s (offset 0)", what));
      return 0;
    }
    if (data % 4) {
      damage(ref, format("%s at %u is not word aligned", what, data));
      return 0;
    }
    if (data < 4 || data > limit_) {
      damage(ref, format("%s at %u lies outside the file", what, data));
      return 0;
    }
    uint32_t hdr = data - nc::kChunkHeader;
    uint32_t h = word(hdr);
    if (exact && h != exact) {
      damage(hdr, format("%s header %u, expected %llu", what, h, (unsigned long long)exact));
      return 0;
    }
    if (h < 4 || h % 4) {
      damage(hdr, format("%s header %u is not a chunk size", what, h));
      return 0;
    }
    if (uint64_t(hdr) + h > limit_) {
      damage(hdr, format("%s [%u,%llu) runs past the end of the file", what, hdr,
                         (unsigned long long)(uint64_t(hdr) + h)));
      return 0;
    }
    if (h - 4 < need) {
      damage(hdr, format("%s header %u cannot hold %llu bytes", what, h,
                         (unsigned long long)need));
      return 0;
    }
    claim(hdr, uint64_t(hdr) + h, kind);
    return h;
  }

  // Validates the free-chunk table and claims it and every free area.
  void checkTable() {
    uint64_t bytes = uint64_t(sb_.chunk_ttl) * sizeof(nc_chunk_s);
    if (bytes + nc::kChunkHeader > limit_) {
      damage(nc::kSbChunkTtl,
             format("free-chunk table of %u records cannot fit in the file", sb_.chunk_ttl));
      return;
    }
    if (!claimChunk(nc::kSbChunk, sb_.chunk, bytes, kTable, bytes + nc::kChunkHeader)) return;
    bool seenEmpty = false;
    uint32_t previous = 0;
    for (uint32_t i = 0; i < sb_.chunk_ttl; i++) {
      uint32_t rec = sb_.chunk + uint32_t(sizeof(nc_chunk_s)) * i;
      nc_chunk_s r = {};
      img_.record(sb_.chunk, i, &r);
      uint32_t off = r.offset, size = r.size;
      if (size == 0) {
        seenEmpty = true;
        continue;
      }
      if (seenEmpty)
        damage(rec, format("record %u in use after an empty record", i));
      else if (i > 0 && size > previous)
        damage(rec, format("record %u of size %u follows a smaller one of %u", i, size, previous));
      previous = size;
      if (off % 4 || size % 4) {
        damage(rec, format("free area %u+%u is not word aligned", off, size));
      } else if (uint64_t(off) + size > limit_) {
        damage(rec, format("free area %u+%u lies outside the file", off, size));
      } else {
        claim(off, uint64_t(off) + size, kFreeArea);
      }
    }
  }

  // Validates the root entry and walks every directory below it.
  void walkTree() {
    if (sb_.root != nc::kRootOffset) return;
    const uint32_t root = nc::kRootOffset;
    visited_[root / 4] = true;
    const nc_de_s r = entryAt(root);
    if (r.name != nc::kRootNameOffset)
      damage(root + nc::kDeName, format("root name at %u, not %u", r.name, nc::kRootNameOffset));
    if (img_.byte(nc::kRootNameOffset) != '/' || img_.byte(nc::kRootNameOffset + 1) != 0)
      damage(nc::kRootNameOffset, "root name is not \"/\"");
    if (r.parent != root)
      damage(root + nc::kDeParent, format("root's parent is %u, not itself", r.parent));
    if (r.type != NC_DIR) {
      damage(root + nc::kDeType, format("root has type %u, not a directory", r.type));
      return;
    }
    report_->directories++;
    std::vector<uint32_t> stack{root};
    while (!stack.empty() && budget_ > 0) {
      uint32_t dir = stack.back();
      stack.pop_back();
      checkDirectory(dir, &stack);
    }
  }

  // Validates the slot array of directory `dir` and each entry it holds;
  // pushes child directories onto `stack`.
  void checkDirectory(uint32_t dir, std::vector<uint32_t> *stack) {
    const nc_de_s d = entryAt(dir);
    const uint32_t array = d.offset, pages = d.pages;
    if (array == 0) {
      if (pages != 0)
        damage(dir + nc::kDePages, format("directory without slot array has %u slots", pages));
      return;
    }
    if (pages == 0) {
      damage(dir + nc::kDePages, "directory has a slot array of 0 slots");
      claimChunk(dir + nc::kDeOffset, array, 0, kSlots);
      return;
    }
    if (!claimChunk(dir + nc::kDeOffset, array, uint64_t(pages) * 4, kSlots)) return;
    if (!charge(uint64_t(pages) * 4, dir)) return;
    const char *previous = nullptr;  // name of the last used entry
    bool seenFree = false;
    for (uint32_t i = 0; i < pages && budget_ > 0; i++) {
      uint32_t slot = array + 4 * i;
      checkChild(dir, slot, &previous, &seenFree, stack);
    }
  }

  // Validates the entry named by `slot` of directory `dir`.
  void checkChild(uint32_t dir, uint32_t slot, const char **previous, bool *seenFree,
                  std::vector<uint32_t> *stack) {
    uint32_t e = word(slot);
    if (e == 0 || e < nc::kChunkHeader || !img_.spans(e, sizeof(nc_de_s))) {
      damage(slot, format("slot holds %u, not an entry inside the file", e));
      return;
    }
    if (visited_[e / 4]) {
      damage(slot, format("entry %u is reached a second time", e));
      return;
    }
    visited_[e / 4] = true;
    claimChunk(slot, e, sizeof(nc_de_s), kEntry, sizeof(nc_de_s) + nc::kChunkHeader);

    const nc_de_s entry = entryAt(e);
    const uint32_t type = entry.type;
    if (type == 0) {
      *seenFree = true;
      static const uint8_t zero[sizeof(nc_de_s)] = {};
      if (memcmp(img_.bytes() + e, zero, sizeof zero) != 0) damage(e, "free entry is not all zero");
      return;
    }
    if (*seenFree) damage(slot, "used entry after a free entry");
    if (entry.parent != dir)
      damage(e + nc::kDeParent, format("parent is %u, not the directory %u", entry.parent, dir));

    const char *name = checkName(e, entry.name);
    if (name && *previous) {
      if (!charge(strlen(name) + 1, slot)) return;
      if (strcmp(*previous, name) <= 0)
        damage(slot, format("\"%s\" does not sort below \"%s\"",
                            shown(name, strlen(name)).c_str(),
                            shown(*previous, strlen(*previous)).c_str()));
    }
    if (name) *previous = name;

    switch (type) {
      case NC_DIR:
        report_->directories++;
        stack->push_back(e);
        break;
      case NC_STRING:
      case NC_INT:
      case NC_UINT:
      case NC_RAW:
      case NC_DOUBLE:
        report_->keys++;
        checkValue(e, entry);
        break;
      case NC_LINK:
        damage(e + nc::kDeType, "entry of type NC_LINK, which nothing creates");
        break;
      default:
        damage(e + nc::kDeType, format("unknown entry type %u", type));
        break;
    }
  }

  // Validates and claims the name chunk at `data` of used entry `e`. The
  // name, or null when it cannot be compared.
  const char *checkName(uint32_t e, uint32_t data) {
    uint32_t h = claimChunk(e + nc::kDeName, data, 1, kName);
    if (!h) return nullptr;
    const char *p = reinterpret_cast<const char *>(img_.bytes() + data);
    const void *nul = memchr(p, 0, h - 4);
    size_t len = nul ? static_cast<const char *>(nul) - p : h - 4;
    if (!charge(len + 1, data)) return nullptr;
    if (!nul) {
      damage(data, "name is not NUL-terminated inside its chunk");
      return nullptr;
    }
    if (len == 0) {
      damage(data, "empty name");
      return nullptr;
    }
    if (memchr(p, '/', len)) damage(data, format("name \"%s\" contains '/'", shown(p, len).c_str()));
    return p;
  }

  // Validates and claims the value chunk of key `e`, read as `entry`.
  void checkValue(uint32_t e, const nc_de_s &entry) {
    const uint32_t data = entry.offset, len = entry.pages, type = entry.type;
    if (data == 0) return;  // no value; pages keeps an old length
    if ((type == NC_INT || type == NC_UINT || type == NC_DOUBLE) && len != 8)
      damage(e + nc::kDePages, format("value of type %u has %u bytes, not 8", type, len));
    if (!claimChunk(e + nc::kDeOffset, data, len, kValue)) return;
    if (type == NC_STRING) {
      if (len == 0)
        damage(e + nc::kDePages, "string value of length 0");
      else if (img_.byte(uint64_t(data) + len - 1) != 0)
        damage(data, "string value is not NUL-terminated");
    }
  }

  // Sorts the claimed regions; reports overlaps as damage and gaps as leaks.
  void sweep() {
    std::sort(regions_.begin(), regions_.end(), [](const Interval &a, const Interval &b) {
      return a.start != b.start ? a.start < b.start : a.end < b.end;
    });
    uint64_t end = 0;  // end of the covered prefix
    const Interval *reach = nullptr;  // the region that reaches furthest
    for (const Interval &r : regions_) {
      if (r.start > end) leak(end, r.start);
      if (reach && r.start < end)
        damage(uint32_t(r.start),
               format("%s [%llu,%llu) overlaps %s [%llu,%llu)", regionName(r.kind),
                      (unsigned long long)r.start, (unsigned long long)r.end,
                      regionName(reach->kind), (unsigned long long)reach->start,
                      (unsigned long long)reach->end));
      if (r.end > end) {
        end = r.end;
        reach = &r;
      }
    }
    if (end < limit_) leak(end, limit_);
  }
};

}  // namespace

std::string nc_check_report::describe() const {
  std::string out;
  for (const nc_finding &f : damage) out += format("damage at %u: ", f.offset) + f.what + "\n";
  for (const nc_finding &f : leaks) out += format("leak at %u: ", f.offset) + f.what + "\n";
  out += format("%zu damage, %llu bytes leaked, %u directories, %u keys\n", damage.size(),
                (unsigned long long)leaked_bytes, directories, keys);
  return out;
}

nc_check_report nc_check_image(const void *image, size_t length) {
  nc_check_report report;
  try {
    Checker(static_cast<const uint8_t *>(image), length, &report).run();
  } catch (const std::bad_alloc &) {
    report.damage.push_back({0, "out of memory while checking"});
  }
  return report;
}

nc_check_report nc_check_file(const char *path) {
  // The committed state: a crash may leave the file torn under a journal
  // record that the next writer replays.
  nc_check_report report;
  std::vector<char> image;
  std::string why;
  if (nc::readCommitted(path, &image, &why) == NC_ERR_OK) return nc_check_image(image.data(), image.size());
  report.damage.push_back({0, format("cannot read %s: %s", path, why.c_str())});
  return report;
}
