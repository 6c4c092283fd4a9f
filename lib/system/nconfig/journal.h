// The redo journal beside a registry ("<registry>-journal").
//
// A commit is durable once its record (the changed byte ranges of the
// registry, the registry's new length, a checksum) is in the journal and
// synced; the ranges are then written in place without a sync. The in-place
// writes are synced only before the journal space that covers them is
// reused (a checkpoint), so a commit costs one sync.
//
// Layout: page 0 is the head; records follow from kJournalRecords on, each
// one of the head's generation with consecutive sequence numbers. A record
// whose checksum, generation or sequence does not match ends the valid
// records: a torn last record is discarded.
//
// The head also carries hints that are trusted only within one boot of the
// machine, because they live in the page cache that every process shares:
// `state` says a commit's in-place writes were started and not finished (the
// writer died), `tail` where the next record goes. A head written under
// another boot id means the machine went down since: every valid record is
// replayed, since the in-place writes may not have reached the disk.
//
// Every change of the head and every record is made under the registry's
// exclusive lock; readers look at the head under the shared lock.
#ifndef LIB_SYSTEM_NCONFIG_JOURNAL_H
#define LIB_SYSTEM_NCONFIG_JOURNAL_H

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace nc {

constexpr uint32_t kJournalMagic = 0x4e434a31;   // "NCJ1"
constexpr uint32_t kRecordMagic = 0x4e435231;    // "NCR1"
constexpr uint32_t kJournalRecords = 4096;       // first record's offset
constexpr uint32_t kJournalCapacity = 256 * 1024;  // default size of the file
constexpr uint32_t kBootIdBytes = 40;

// Page 0 of the journal, shared by every process that maps it.
struct JournalHead {
  uint32_t magic;    // kJournalMagic
  uint32_t gen;      // generation of the records in force
  uint32_t seq;      // hint: sequence number of the last record
  uint32_t tail;     // hint: offset after the last record
  uint32_t state;    // hint: kApplying while in-place writes are under way
  uint32_t ino;      // low 32 bits of the registry's inode number
  char boot[kBootIdBytes];  // boot id of the machine that wrote the hints
};
constexpr uint32_t kClean = 0;
constexpr uint32_t kApplying = 1;
static_assert(sizeof(JournalHead) == 64, "journal head layout");

// Head of one record; `count` ranges {offset, length} follow, then their bytes.
struct RecordHead {
  uint32_t magic;   // kRecordMagic
  uint32_t gen;     // the head's generation when written
  uint32_t seq;     // 1, 2, ... within a generation
  uint32_t count;   // number of ranges
  uint32_t length;  // registry length after the commit
  uint32_t bytes;   // size of the whole record
  uint32_t sum;     // CRC-32 of the record with this field zero
  uint32_t pad;
};
static_assert(sizeof(RecordHead) == 32, "journal record layout");

// A byte range of the registry as a commit writes it.
struct Range {
  uint32_t offset;
  uint32_t length;
  const char *bytes;
};

// CRC-32 (the common reflected polynomial 0xEDB88320) of p[0, n), continued
// from `crc` (0 to start).
uint32_t crc32(uint32_t crc, const void *p, size_t n);

// Writes all of buf[0, n) at `off`, retrying short and interrupted writes.
// 0, or the errno value of the failure.
int writeAll(int fd, const void *buf, size_t n, uint64_t off);

// Writes zeros over [off, off + len): blocks the file system has allocated
// but never written cost a metadata commit at the sync of their first write,
// which the journal, synced at every commit, should not pay. 0 or an errno
// value.
int zeroFill(int fd, uint64_t off, uint64_t len);

// This boot's id ("" when the system does not tell).
const char *bootId();

// One handle's view of its registry's journal.
class Journal {
 public:
  ~Journal() { close(); }

  // Opens an existing journal for `registry`. `reg` is the registry's
  // descriptor (for its owner and inode); `writable` asks for a descriptor a
  // commit can write through. False when there is none, it is not safe to
  // use (then refused() is true and a message was printed), or it cannot be
  // mapped. A journal too short to hold a head is treated as absent.
  bool openExisting(const char *registry, int reg, bool writable);
  // Opens or creates the journal for committing; call under the registry's
  // exclusive lock. 0 when it is ready; kDirect when the directory refused it
  // (commit in place; said once on standard error); EPERM when an unsafe
  // file is in the way (commit nothing); else the errno value of a failure
  // (a full disk) that a later commit may not meet.
  int openForCommit(const char *registry, int reg);
  static constexpr int kDirect = -1;
  void close();

  bool isOpen() const { return head_ != nullptr; }
  bool writable() const { return writable_; }
  bool unavailable() const { return unavailable_; }
  bool refused() const { return refused_; }

  // True when the registry may not hold every committed change: a writer
  // died during its in-place writes, or the machine went down since the
  // hints were written.
  bool needsRecovery() const;
  // Appends a record of `ranges` and the registry's new `length` and syncs
  // it, making a checkpoint first when the space is needed (which syncs
  // `reg`). Marks the head kApplying. 0 or an errno value.
  int append(int reg, const std::vector<Range> &ranges, uint32_t length);
  // Marks the in-place writes of the last record done.
  void markApplied();
  // Syncs the registry and starts a new generation, so that no record is
  // replayed again. 0 or an errno value.
  int checkpoint(int reg);
  // Writes every valid record into the registry, syncs it and checkpoints.
  // 0 or an errno value.
  int recover(int reg);
  // Applies every valid record to `image` (grown as a record's length asks),
  // for a handle that cannot write the registry; *records counts them.
  // 0 or an errno value.
  int overlay(std::vector<char> &image, uint32_t *records);

 private:
  bool mapHead(int jfd, bool writable, const char *registry, int reg);
  // What a failure `err` to open or create the journal at `path` means: a
  // refusal (EPERM, said on standard error), committing in place (kDirect,
  // said once per process), or an errno value a later commit may not meet.
  int cannotOpen(const std::string &path, int err);
  // Checks a journal just opened for creation (a regular file with one link)
  // and gives it the registry's owner and mode; 0, or as cannotOpen. Closes
  // `jfd` on failure.
  int adopt(int jfd, const std::string &path, const struct stat &rs);
  bool safeFile(int jfd, int reg, const char *registry);
  void resetHead(uint32_t gen);
  void shrink();
  // Calls `apply` for each range of each valid record, in order. 0 or errno.
  template <typename Apply>
  int forEachRecord(Apply apply);

  int fd_ = -1;
  JournalHead *head_ = nullptr;
  bool writable_ = false;
  bool unavailable_ = false;
  bool refused_ = false;
  uint32_t ino_ = 0;
  mutable bool same_boot_ = false;  // the head was seen with this boot's id
  std::vector<char> buf_;  // the record being written or read
};

}  // namespace nc

#endif  // LIB_SYSTEM_NCONFIG_JOURNAL_H
