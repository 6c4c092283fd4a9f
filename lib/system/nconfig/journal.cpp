// The journal's records: finding the valid ones, appending, replaying.
#include "journal.h"

#include <fcntl.h>
#include <libgen.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "internal.h"

namespace nc {
namespace {

// Tables for CRC-32 eight bytes at a time: table[0] is the classic one,
// table[k] advances a byte's contribution by k further bytes.
struct CrcTables {
  uint32_t t[8][256];
  CrcTables() {
    for (uint32_t i = 0; i < 256; i++) {
      uint32_t c = i;
      for (int k = 0; k < 8; k++) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; i++)
      for (int k = 1; k < 8; k++) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xff];
  }
};

// The bytes b[0..3] as a little-endian word, whatever the machine's order.
inline uint32_t le32(const unsigned char *b) {
  return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

}  // namespace

uint32_t crc32(uint32_t crc, const void *p, size_t n) {
  static const CrcTables tables;
  const auto &t = tables.t;
  const unsigned char *b = static_cast<const unsigned char *>(p);
  crc = ~crc;
  for (; n >= 8; n -= 8, b += 8) {
    const uint32_t one = crc ^ le32(b), two = le32(b + 4);
    crc = t[7][one & 0xff] ^ t[6][(one >> 8) & 0xff] ^ t[5][(one >> 16) & 0xff] ^ t[4][one >> 24] ^
          t[3][two & 0xff] ^ t[2][(two >> 8) & 0xff] ^ t[1][(two >> 16) & 0xff] ^ t[0][two >> 24];
  }
  for (; n > 0; n--, b++) crc = t[0][(crc ^ *b) & 0xff] ^ (crc >> 8);
  return ~crc;
}

int writeAll(int fd, const void *buf, size_t n, uint64_t off) {
  const char *p = static_cast<const char *>(buf);
  while (n > 0) {
    const ssize_t w = sys().pwrite(fd, p, n, off_t(off));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return w < 0 ? errno : EIO;
    p += w;
    off += uint64_t(w);
    n -= size_t(w);
  }
  return 0;
}

int zeroFill(int fd, uint64_t off, uint64_t len) {
  static const char zeros[65536] = {};
  while (len > 0) {
    const size_t n = size_t(std::min<uint64_t>(len, sizeof zeros));
    if (int err = writeAll(fd, zeros, n, off)) return err;
    off += n;
    len -= n;
  }
  return 0;
}


namespace {

std::string journalPath(const char *registry) { return std::string(registry) + "-journal"; }

void setBoot(JournalHead *h) {
  const char *id = bootId();
  memset(h->boot, 0, kBootIdBytes);
  memcpy(h->boot, id, std::min(strlen(id), size_t(kBootIdBytes - 1)));
}

// The words [p, p + n) (n a multiple of 4, any alignment) swapped in place.
void swapWords(void *p, size_t n) {
  char *b = static_cast<char *>(p);
  for (size_t i = 0; i + 4 <= n; i += 4) {
    uint32_t w;
    memcpy(&w, b + i, 4);
    w = byteSwap(w);
    memcpy(b + i, &w, 4);
  }
}

}  // namespace

Journal::Status Journal::look(const char *registry, int reg, bool writable) {
  const std::string path = journalPath(registry);
  if (damaged_ && replaced(path)) close();  // set aside by another process
  if (damaged_) return kDamaged;
  if (!head_) {
    why_.clear();
    if (!openFile(path, reg, writable)) {
      if (errno == ENOENT) return kNone;
      if (!said_)
        fprintf(stderr, "nconfig: %s: not using journal: %s%s\n", path.c_str(), why_.c_str(),
                writable ? "; nothing is committed" : "");
      said_ = true;
      return kUnsafe;
    }
    if (writable && !writable_ && !said_)
      fprintf(stderr, "nconfig: %s: cannot write the journal: %s; nothing is committed\n",
              path.c_str(), strerror(EACCES));
    said_ = said_ || (writable && !writable_);
  }
  static const JournalHead unmade = {};
  const bool made = memcmp(head_, &unmade, sizeof unmade) != 0;
  const JournalHead h = head();
  if (made && h.gen != known_gen_ &&  // a head once read whole stays so for its generation
      (h.magic != kJournalMagic || h.sum != crc32(0, head_, offsetof(JournalHead, sum)))) {
    damaged_ = true;
    why_ = "its head is damaged";
    return kDamaged;
  }
  if (!made || !forThisFile()) {
    // Made but never finished, or left by another registry: nothing in it
    // is this registry's. The next commit starts it afresh.
    known_gen_ = h.gen;
    records_.clear();
    behind_ = false;
    return kCurrent;
  }
  const bool fresh = h.gen != known_gen_;
  if (fresh || newRecordAt(known_end_)) {
    const size_t had = fresh ? 0 : records_.size();
    if (scan(fresh) == kDamaged) return kDamaged;
    if (records_.size() > had && !behind_) behind_ = !lastApplied(reg);
  }
  if (!same_boot_) same_boot_ = sameBoot();
  return behind_ || (!records_.empty() && !same_boot_) ? kBehind : kCurrent;
}

bool Journal::sameBoot() const {
  // Without a boot id every head may be from an earlier boot.
  const char *now = bootId();
  return *now && strncmp(head_->boot, now, kBootIdBytes) == 0;
}

JournalHead Journal::head() const {
  JournalHead h;
  memcpy(&h, head_, sizeof h);
  if (swap_) {
    swapWords(&h, offsetof(JournalHead, boot));
    h.sum = byteSwap(h.sum);
  }
  return h;
}

RecordHead Journal::recordHeadAt(const char *p) const {
  RecordHead rh;
  memcpy(&rh, p, sizeof rh);
  if (swap_) swapWords(&rh, sizeof rh);
  return rh;
}

Range Journal::rangeAt(const char *p) const {
  uint32_t range[2];
  memcpy(range, p, sizeof range);
  if (swap_) swapWords(range, sizeof range);
  return Range{range[0], range[1], nullptr};
}

bool Journal::forThisFile() const {
  const JournalHead h = head();
  const FileId &was = h.registry;
  return memcmp(was.ino, id_.ino, sizeof id_.ino) == 0 &&
         memcmp(was.made, id_.made, sizeof id_.made) == 0 &&
         (memcmp(was.dev, id_.dev, sizeof id_.dev) == 0 || !sameBoot());
}

bool Journal::replaced(const std::string &path) const {
  struct stat now, open;
  return lstat(path.c_str(), &now) != 0 || sys().fstat(fd_, &open) != 0 ||
         now.st_ino != open.st_ino || now.st_dev != open.st_dev;
}

bool Journal::newRecordAt(uint64_t off) {
  if (off + sizeof(RecordHead) > map_len_ && !mapFile()) return false;
  if (off + sizeof(RecordHead) > map_len_) return false;
  const RecordHead rh = recordHeadAt(map_ + off);
  const uint32_t seq = uint32_t(records_.size() + 1);
  if (rh.magic != kRecordMagic || rh.gen != head().gen || rh.seq != seq) return false;
  // The failed record seen here before was searched past already; it counts
  // only once it is whole (written again, to the same bytes).
  RecordHead whole;
  return memcmp(&rh, &torn_, sizeof rh) != 0 || recordAt(off, seq, &whole);
}

Journal::Status Journal::scan(bool fresh) {
  if (fresh) {
    known_gen_ = head().gen;
    records_.clear();
    known_end_ = kJournalRecords;
    behind_ = same_boot_ = false;
  }
  mapFile();  // another process may have grown or shrunk it
  uint64_t off = known_end_;
  RecordHead rh;
  while (recordAt(off, uint32_t(records_.size() + 1), &rh)) {
    records_.push_back(off);
    off += rh.bytes;
  }
  known_end_ = off;
  torn_ = off + sizeof rh <= map_len_ ? recordHeadAt(map_ + off) : RecordHead{};
  if (validBeyond(off, uint32_t(records_.size() + 1))) {
    damaged_ = true;
    why_ = "record " + std::to_string(records_.size() + 1) + " is damaged and a later one is whole";
    return kDamaged;
  }
  return kCurrent;
}

bool Journal::recordAt(uint64_t off, uint32_t seq, RecordHead *out) const {
  if (off < kJournalRecords || off + sizeof(RecordHead) > map_len_) return false;
  const RecordHead rh = recordHeadAt(map_ + off);
  if (rh.magic != kRecordMagic || rh.gen != head().gen || rh.seq != seq ||
      rh.bytes < sizeof rh || off + rh.bytes > map_len_ || (rh.bytes - sizeof rh) / 8 < rh.count)
    return false;
  // The checksum covers the record as stored, its own field zero.
  RecordHead stored;
  memcpy(&stored, map_ + off, sizeof stored);
  stored.sum = 0;
  const char *body = map_ + off + sizeof rh;
  if (crc32(crc32(0, &stored, sizeof stored), body, rh.bytes - sizeof rh) != rh.sum) return false;
  uint64_t at = sizeof rh + 8ull * rh.count;
  for (uint32_t i = 0; i < rh.count; i++) {
    const Range range = rangeAt(body + 8ull * i);
    if (at + range.length > rh.bytes || uint64_t(range.offset) + range.length > rh.length)
      return false;
    at += range.length;
  }
  *out = rh;
  return true;
}

bool Journal::validBeyond(uint64_t off, uint32_t seq) const {
  // A torn last record leaves nothing whole after it; a damaged one does.
  RecordHead rh;
  const uint32_t magic = swap_ ? byteSwap(kRecordMagic) : kRecordMagic;
  const uint32_t gen = head().gen;
  const char *end = map_ + map_len_;
  for (const char *p = map_ + off + 1; p + sizeof rh <= end; p++) {
    p = static_cast<const char *>(memmem(p, size_t(end - p), &magic, sizeof magic));
    if (!p) return false;
    const RecordHead at = recordHeadAt(p);
    if (at.gen == gen && at.seq >= seq && recordAt(uint64_t(p - map_), at.seq, &rh))
      return true;
  }
  return false;
}

bool Journal::lastApplied(int reg) const {
  if (records_.empty()) return true;
  bool same = true;
  std::vector<char> file;
  forEachRange(records_.size() - 1, [&](uint32_t o, uint32_t n, const char *p, uint32_t length) {
    if (!p) {
      off_t size = 0;
      same = same && sys().fstat_size(reg, &size) == 0 && size >= off_t(length);
      return 0;
    }
    file.resize(n);
    same = same && sys().pread(reg, file.data(), n, o) == ssize_t(n) && !memcmp(file.data(), p, n);
    return 0;
  });
  return same;
}

template <typename Apply>
int Journal::forEachRange(size_t first, Apply apply) const {
  for (size_t r = first; r < records_.size(); r++) {
    const RecordHead rh = recordHeadAt(map_ + records_[r]);
    const char *body = map_ + records_[r] + sizeof rh;
    const char *bytes = body + 8ull * rh.count;
    for (uint32_t i = 0; i < rh.count; i++) {
      const Range range = rangeAt(body + 8ull * i);
      if (int err = apply(range.offset, range.length, bytes, rh.length)) return err;
      bytes += range.length;
    }
    if (int err = apply(0, 0, nullptr, rh.length)) return err;
  }
  return 0;
}

int Journal::startGeneration(uint32_t gen) {
  JournalHead h = {};
  h.magic = kJournalMagic;
  h.gen = gen;
  h.registry = id_;
  if (swap_) swapWords(&h, offsetof(JournalHead, boot));
  setBoot(&h);
  h.sum = crc32(0, &h, offsetof(JournalHead, sum));
  if (swap_) h.sum = byteSwap(h.sum);
  if (int err = writeAll(fd_, &h, sizeof h, 0)) return err;
  if (sys().fdatasync(fd_) != 0) return errno;
  known_gen_ = gen;
  records_.clear();
  known_end_ = kJournalRecords;
  torn_ = {};
  damaged_ = behind_ = false;
  same_boot_ = true;
  return 0;
}

int Journal::append(int reg, const std::vector<Range> &ranges, uint32_t length) {
  uint64_t bytes = sizeof(RecordHead) + 8ull * ranges.size();
  for (const Range &r : ranges) bytes += r.length;
  if (bytes > 0x7FFFFFFFull - kJournalRecords) return EFBIG;
  uint64_t tail = known_end_;
  if (tail + bytes > map_len_ && tail != kJournalRecords) {
    if (int err = checkpoint(reg)) return err == kUnsound ? EIO : err;
    tail = kJournalRecords;
  }
  if (tail + bytes > map_len_) {
    if (int err = sys().fallocate(fd_, 0, off_t(tail + bytes))) return err;
    if (!mapFile()) return errno ? errno : ENOMEM;
  }
  try {
    buf_.resize(size_t(bytes));
  } catch (const std::bad_alloc &) {
    return ENOMEM;
  }
  RecordHead *rh = reinterpret_cast<RecordHead *>(buf_.data());
  *rh = RecordHead{kRecordMagic, known_gen_, uint32_t(records_.size() + 1),
                   uint32_t(ranges.size()), length, uint32_t(bytes), 0, 0};
  uint32_t *list = reinterpret_cast<uint32_t *>(rh + 1);
  char *out = reinterpret_cast<char *>(list + 2 * ranges.size());
  for (const Range &r : ranges) {
    *list++ = r.offset;
    *list++ = r.length;
    memcpy(out, r.bytes, r.length);
    out += r.length;
  }
  if (swap_) swapWords(buf_.data(), sizeof(RecordHead) + 8 * ranges.size());
  const uint32_t sum = crc32(0, buf_.data(), buf_.size());
  rh->sum = swap_ ? byteSwap(sum) : sum;
  int err = writeAll(fd_, buf_.data(), buf_.size(), tail);
  if (err == 0 && sys().fdatasync(fd_) != 0) err = errno;
  if (err != 0) {
    // The commit fails: a record that may stand whole in the page cache is
    // struck out, so that no process takes it for a commit.
    static const RecordHead struck = {};
    if (writeAll(fd_, &struck, sizeof struck, tail) == 0) sys().fdatasync(fd_);
    return err;
  }
  records_.push_back(tail);
  known_end_ = tail + bytes;
  torn_ = {};
  behind_ = true;  // until the in-place writes are made
  return 0;
}

int Journal::checkpoint(int reg) {
  if (!head_ || !writable_ || damaged_ || head().magic != kJournalMagic) return 0;
  if (behind_ || (!records_.empty() && !same_boot_)) return recover(reg);
  if (records_.empty()) return 0;
  if (sys().fdatasync(reg) != 0) return errno;
  const int err = startGeneration(head().gen + 1);
  off_t size = 0;
  if (err == 0 && sys().fstat_size(reg, &size) == 0) resize(uint64_t(size));
  return err;
}

int Journal::applyTo(std::vector<char> &image) {
  const int err = forEachRange(0, [&](uint32_t o, uint32_t n, const char *p, uint32_t length) {
    try {
      if (!p && image.size() < length) image.resize(length, 0);
      if (p && image.size() < uint64_t(o) + n) image.resize(uint64_t(o) + n, 0);
    } catch (const std::bad_alloc &) {
      return ENOMEM;
    }
    if (p) memcpy(image.data() + o, p, n);
    return 0;
  });
  if (err != 0) return err;
  // A record that passes its checksum may still say what no registry says:
  // then the journal counts as damaged.
  nc_sb_s sb = {};
  if (image.size() >= sizeof sb) memcpy(&sb, image.data(), sizeof sb);
  if (swap_) swapWords(reinterpret_cast<char *>(&sb) + 4, sizeof sb - 4);  // the magic is bytes
  if (image.size() < sizeof(nc_sb_s) || superblockProblem(&sb, image.size())) {
    damaged_ = true;
    why_ = "its records do not give a sound registry";
    return kUnsound;
  }
  return 0;
}

int Journal::recover(int reg) {
  if (!head_ || !writable_) return EROFS;
  if (damaged_) return kUnsound;
  if (!records_.empty()) {
    std::vector<char> image;
    off_t size = 0;
    try {
      if (sys().fstat_size(reg, &size) != 0) return errno;
      image.resize(size_t(size));
    } catch (const std::bad_alloc &) {
      return ENOMEM;
    }
    if (sys().pread(reg, image.data(), image.size(), 0) != ssize_t(image.size())) return EIO;
    if (int err = applyTo(image)) return err;
    int err = forEachRange(0, [reg](uint32_t o, uint32_t n, const char *p, uint32_t length) {
      if (p) return writeAll(reg, p, n, o);
      off_t now = 0;
      if (sys().fstat_size(reg, &now) != 0) return errno;
      return now < off_t(length) ? sys().fallocate(reg, 0, length) : 0;
    });
    if (err != 0) return err;
    if (sys().fdatasync(reg) != 0) return errno;
  }
  const int err = startGeneration(head().gen + 1);
  off_t size = 0;
  if (err == 0 && sys().fstat_size(reg, &size) == 0) resize(uint64_t(size));
  return err;
}

int Journal::overlay(std::vector<char> &image, uint32_t *records) {
  *records = uint32_t(records_.size());
  return records_.empty() ? 0 : applyTo(image);
}

}  // namespace nc
