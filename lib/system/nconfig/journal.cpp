// The redo journal: opening it safely, appending records, replaying them.
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

std::string journalPath(const char *registry) { return std::string(registry) + "-journal"; }

// Syncs the directory holding `path`, so that a file just created there
// survives a power cut.
void syncDirectory(const std::string &path) {
  std::string copy = path;
  const char *dir = dirname(&copy[0]);
  const int d = sys().open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (d < 0) return;
  sys().fsync(d);
  sys().close(d);
}

void setBoot(JournalHead *h) {
  const char *id = bootId();
  memset(h->boot, 0, kBootIdBytes);
  memcpy(h->boot, id, std::min(strlen(id), size_t(kBootIdBytes - 1)));
}

bool sameBoot(const JournalHead *h) { return strncmp(h->boot, bootId(), kBootIdBytes) == 0; }

}  // namespace

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

const char *bootId() { return sys().boot_id(); }

bool Journal::safeFile(int jfd, int reg, const char *registry) {
  struct stat js, rs;
  if (sys().fstat(jfd, &js) != 0 || sys().fstat(reg, &rs) != 0) return false;
  // A root process writes this file: a link or a file of another owner in a
  // shared directory could turn a commit into a write somewhere else.
  if (S_ISREG(js.st_mode) && js.st_nlink == 1 && js.st_uid == rs.st_uid) return true;
  fprintf(stderr,
          "nconfig: %s: not using journal: not a regular file owned by the registry's "
          "owner; nothing is committed\n",
          journalPath(registry).c_str());
  refused_ = true;
  return false;
}

bool Journal::mapHead(int jfd, bool writable, const char *registry, int reg) {
  struct stat js, rs;
  if (!safeFile(jfd, reg, registry) || sys().fstat(jfd, &js) != 0 || sys().fstat(reg, &rs) != 0 ||
      js.st_size < off_t(kJournalRecords)) {
    sys().close(jfd);
    return false;
  }
  const int prot = writable ? PROT_READ | PROT_WRITE : PROT_READ;
  void *m = mmap(nullptr, kJournalRecords, prot, MAP_SHARED, jfd, 0);
  if (m == MAP_FAILED) {
    sys().close(jfd);
    return false;
  }
  fd_ = jfd;
  head_ = static_cast<JournalHead *>(m);
  writable_ = writable;
  ino_ = uint32_t(rs.st_ino);
  return true;
}

bool Journal::openExisting(const char *registry, int reg, bool writable) {
  if (head_) return true;
  if (refused_ || unavailable_) return false;  // decided for this open
  const int flags = (writable ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_CLOEXEC;
  const int jfd = sys().open(journalPath(registry).c_str(), flags, 0);
  if (jfd < 0) return false;
  return mapHead(jfd, writable, registry, reg);
}

int Journal::openForCommit(const char *registry, int reg) {
  if (head_ && writable_) return 0;
  if (refused_) return EPERM;
  if (unavailable_) return kDirect;
  close();
  if (openExisting(registry, reg, true)) {
    if (head_->magic != kJournalMagic || head_->ino != ino_) resetHead(head_->gen + 1);
    return 0;
  }
  if (refused_) return EPERM;
  // Create it with the registry's owner and mode, or take one that another
  // process is creating (it holds no record yet: we hold the lock).
  const std::string path = journalPath(registry);
  struct stat rs;
  if (sys().fstat(reg, &rs) != 0) return errno;
  const int jfd =
      sys().open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, rs.st_mode & 0666);
  if (jfd < 0) return cannotOpen(path, errno);
  if (int rc = adopt(jfd, path, rs)) return rc;
  int err = sys().fallocate(jfd, 0, kJournalCapacity);
  if (err == 0) err = zeroFill(jfd, 0, kJournalCapacity);
  if (err == 0) {
    JournalHead fresh = {};
    err = writeAll(jfd, &fresh, sizeof fresh, 0);
  }
  if (err == 0 && sys().fsync(jfd) != 0) err = errno;
  if (err != 0) {
    sys().close(jfd);
    fprintf(stderr, "nconfig: cannot create journal %s: %s\n", path.c_str(), strerror(err));
    return err;  // a full disk: this commit fails, a later one tries again
  }
  syncDirectory(path);
  if (!mapHead(jfd, true, registry, reg)) return refused_ ? EPERM : EIO;
  resetHead(1);
  return 0;
}

int Journal::cannotOpen(const std::string &path, int err) {
  if (err == ELOOP || err == EISDIR) {  // a link or a directory in its place
    fprintf(stderr, "nconfig: %s: not using journal: not a regular file; nothing is committed\n",
            path.c_str());
    refused_ = true;
    return EPERM;
  }
  if (err != EACCES && err != EROFS && err != EPERM && err != ENOENT)
    return err;  // a full disk: this commit fails, a later one tries again
  static bool said = false;  // once per process: every commit meets it
  if (!said)
    fprintf(stderr, "nconfig: cannot create journal %s: %s; committing directly\n", path.c_str(),
            strerror(err));
  said = true;
  unavailable_ = true;
  return kDirect;
}

int Journal::adopt(int jfd, const std::string &path, const struct stat &rs) {
  struct stat js;
  if (sys().fstat(jfd, &js) != 0 || !S_ISREG(js.st_mode) || js.st_nlink != 1) {
    sys().close(jfd);
    return cannotOpen(path, ELOOP);
  }
  if (js.st_uid != rs.st_uid && fchown(jfd, rs.st_uid, rs.st_gid) != 0) {
    // Nobody else could use a journal of another owner: commit directly.
    if (js.st_uid == geteuid() && js.st_size == 0) unlink(path.c_str());
    sys().close(jfd);
    fprintf(stderr, "nconfig: cannot give journal %s the registry's owner; committing directly\n",
            path.c_str());
    unavailable_ = true;
    return kDirect;
  }
  fchmod(jfd, rs.st_mode & 0666);
  return 0;
}

void Journal::close() {
  if (head_) munmap(head_, kJournalRecords);
  if (fd_ >= 0) sys().close(fd_);
  head_ = nullptr;
  fd_ = -1;
  writable_ = false;
  unavailable_ = refused_ = same_boot_ = false;  // the next open looks again
}

void Journal::resetHead(uint32_t gen) {
  head_->magic = kJournalMagic;
  head_->gen = gen;
  head_->seq = 0;
  head_->tail = kJournalRecords;
  head_->state = kClean;
  head_->ino = ino_;
  setBoot(head_);
}

bool Journal::needsRecovery() const {
  if (!head_ || head_->magic != kJournalMagic) return false;
  if (head_->state != kClean || head_->ino != ino_) return true;
  // Once the head carries this boot's id it keeps it: every writer of this
  // boot writes the same one. So the comparison is made until it succeeds.
  if (!same_boot_) same_boot_ = sameBoot(head_);
  return !same_boot_;
}

int Journal::checkpoint(int reg) {
  if (!head_ || !writable_) return 0;
  if (head_->seq == 0 && head_->tail == kJournalRecords && sameBoot(head_)) return 0;
  if (sys().fdatasync(reg) != 0) return errno;
  resetHead(head_->gen + 1);
  shrink();
  return 0;
}

void Journal::shrink() {
  // A large commit grew the file; once its records are no longer needed the
  // space goes back, down to the usual size.
  struct stat js;
  if (sys().fstat(fd_, &js) == 0 && js.st_size > off_t(2 * kJournalCapacity))
    if (ftruncate(fd_, kJournalCapacity) != 0) return;  // kept: it is only space
}

int Journal::append(int reg, const std::vector<Range> &ranges, uint32_t length) {
  uint64_t bytes = sizeof(RecordHead) + 8ull * ranges.size();
  for (const Range &r : ranges) bytes += r.length;
  if (bytes > 0x7FFFFFFFull - kJournalRecords) return EFBIG;
  struct stat js;
  if (sys().fstat(fd_, &js) != 0) return errno;
  uint32_t tail = head_->tail;
  if (tail < kJournalRecords || head_->seq == 0) tail = kJournalRecords;
  if (tail + bytes > uint64_t(js.st_size) && tail != kJournalRecords) {
    if (int err = checkpoint(reg)) return err;
    if (sys().fstat(fd_, &js) != 0) return errno;  // the checkpoint may have shrunk the file
    tail = kJournalRecords;
  }
  if (tail + bytes > uint64_t(js.st_size)) {
    if (int err = sys().fallocate(fd_, 0, off_t(tail + bytes))) return err;
  }
  try {
    buf_.resize(size_t(bytes));
  } catch (const std::bad_alloc &) {
    return ENOMEM;
  }
  RecordHead *rh = reinterpret_cast<RecordHead *>(buf_.data());
  *rh = RecordHead{kRecordMagic, head_->gen, head_->seq + 1, uint32_t(ranges.size()), length,
                   uint32_t(bytes), 0, 0};
  uint32_t *list = reinterpret_cast<uint32_t *>(rh + 1);
  char *out = reinterpret_cast<char *>(list + 2 * ranges.size());
  for (const Range &r : ranges) {
    *list++ = r.offset;
    *list++ = r.length;
    memcpy(out, r.bytes, r.length);
    out += r.length;
  }
  rh->sum = crc32(0, buf_.data(), buf_.size());
  if (int err = writeAll(fd_, buf_.data(), buf_.size(), tail)) return err;
  // The head's generation reaches the disk with the record, in this sync.
  if (sys().fdatasync(fd_) != 0) return errno;
  head_->seq = rh->seq;
  head_->tail = uint32_t(tail + bytes);
  if (!sameBoot(head_)) setBoot(head_);
  head_->state = kApplying;
  return 0;
}

void Journal::markApplied() {
  if (head_ && writable_) head_->state = kClean;
}

template <typename Apply>
int Journal::forEachRecord(Apply apply) {
  struct stat js;
  if (sys().fstat(fd_, &js) != 0) return errno;
  const uint64_t end = uint64_t(js.st_size);
  const uint32_t gen = head_->gen;
  uint64_t off = kJournalRecords;
  for (uint32_t seq = 1;; seq++) {
    RecordHead rh;
    if (off + sizeof rh > end || sys().pread(fd_, &rh, sizeof rh, off_t(off)) != ssize_t(sizeof rh))
      return 0;
    if (rh.magic != kRecordMagic || rh.gen != gen || rh.seq != seq || rh.bytes < sizeof rh ||
        off + rh.bytes > end || (rh.bytes - sizeof rh) / 8 < rh.count)
      return 0;
    try {
      buf_.resize(rh.bytes);
    } catch (const std::bad_alloc &) {
      return ENOMEM;
    }
    if (sys().pread(fd_, buf_.data(), rh.bytes, off_t(off)) != ssize_t(rh.bytes)) return 0;
    RecordHead *stored = reinterpret_cast<RecordHead *>(buf_.data());
    stored->sum = 0;
    if (crc32(0, buf_.data(), buf_.size()) != rh.sum) return 0;  // torn: the end
    const uint32_t *list = reinterpret_cast<const uint32_t *>(stored + 1);
    uint64_t at = sizeof rh + 8ull * rh.count;
    for (uint32_t i = 0; i < rh.count; i++) {
      const uint32_t o = list[2 * i], n = list[2 * i + 1];
      if (at + n > rh.bytes || uint64_t(o) + n > rh.length) return 0;
      if (int err = apply(o, n, buf_.data() + at, rh.length)) return err;
      at += n;
    }
    if (int err = apply(0, 0, nullptr, rh.length)) return err;
    off += rh.bytes;
  }
}

int Journal::recover(int reg) {
  if (!head_ || !writable_) return EROFS;
  if (head_->magic == kJournalMagic && head_->ino == ino_) {
    int err = forEachRecord([reg](uint32_t o, uint32_t n, const char *p, uint32_t length) {
      if (!p) {
        struct stat rs;
        if (sys().fstat(reg, &rs) != 0) return errno;
        return rs.st_size < off_t(length) ? sys().fallocate(reg, 0, length) : 0;
      }
      return writeAll(reg, p, n, o);
    });
    if (err != 0) return err;
    if (sys().fdatasync(reg) != 0) return errno;
  }
  resetHead(head_->gen + 1);
  return 0;
}

int Journal::overlay(std::vector<char> &image, uint32_t *records) {
  *records = 0;
  if (!head_ || head_->magic != kJournalMagic || head_->ino != ino_) return 0;
  return forEachRecord([&](uint32_t o, uint32_t n, const char *p, uint32_t length) {
    if (!p) ++*records;
    try {
      if (!p && image.size() < length) image.resize(length, 0);
      if (p && image.size() < uint64_t(o) + n) image.resize(uint64_t(o) + n, 0);
    } catch (const std::bad_alloc &) {
      return ENOMEM;
    }
    if (p) memcpy(image.data() + o, p, n);
    return 0;
  });
}

}  // namespace nc
