// The redo journal beside a registry ("<registry>-journal"). doc/journal.md
// gives the protocol: the byte layout, the ordering invariants, each crash
// point and what recovery does there.
//
// A commit is durable once its record (the changed byte ranges of the
// registry, the registry's new length, a checksum) is in the journal and
// synced; the ranges are then written in place without a sync. The in-place
// writes are synced only before the journal space that covers them is
// reused (a checkpoint), so a commit costs one sync, and that sync carries
// the record's own blocks alone: nothing else in the journal changes from one
// commit to the next.
//
// Layout: page 0 is the head, written only when a journal is made, at a
// checkpoint and at the first commit of a boot; records follow from
// kJournalRecords on, each one of the head's generation with consecutive
// sequence numbers. The first record that fails its checks ends the valid
// ones: a torn last record is discarded. A valid record of the generation
// beyond a failed one means the journal is damaged, and then none is
// replayed.
//
// Which records the registry already holds is not written anywhere: every
// record but the last was checked by the writer of the next one when it took
// the lock, and the last is compared with the registry. After a reboot (the
// head carries another boot id) every record is replayed, since the in-place
// writes may not have reached the disk.
//
// Byte order: every word of the journal (heads, range descriptors, checksums)
// is in the byte order of its registry, whichever machine wrote it; the range
// bytes are the registry's own. A journal left on a machine of either order
// is replayed on the other.
//
// Every change of the journal is made under the registry's exclusive lock;
// readers look at it under the shared lock.
#ifndef LIB_SYSTEM_NCONFIG_JOURNAL_H
#define LIB_SYSTEM_NCONFIG_JOURNAL_H

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace nc {

constexpr uint32_t kJournalMagic = 0x4e434a32;  // "NCJ2"
constexpr uint32_t kRecordMagic = 0x4e435231;   // "NCR1"
constexpr uint32_t kJournalRecords = 4096;      // first record's offset
constexpr uint32_t kBootIdBytes = 40;

// What identifies a registry file: its device and inode, and the time it was
// made (with the inode's generation where the file system keeps one), so that
// a file made again at the same path, even on the same inode number, is
// another file.
struct FileId {
  uint32_t dev[2];
  uint32_t ino[2];
  uint32_t made[2];
};
static_assert(sizeof(FileId) == 24, "file id layout");

// Page 0 of the journal; all zero in a journal whose making was cut short.
struct JournalHead {
  uint32_t magic;  // kJournalMagic
  uint32_t gen;    // generation of the records in force
  FileId registry; // the registry the records are for
  char boot[kBootIdBytes];  // boot id of the machine when the head was written
  uint32_t sum;    // CRC-32 of the bytes before it
};
static_assert(sizeof(JournalHead) == 76, "journal head layout");
static_assert(offsetof(JournalHead, registry) == 8 && offsetof(JournalHead, boot) == 32 &&
                  offsetof(JournalHead, sum) == 72,
              "journal head offsets");

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

// The identity of the file open on `fd`; false when it cannot be had.
bool fileId(int fd, FileId *id);

// The journal's usual size for a registry of `registry_bytes`: its head page
// and about as many bytes of records as the registry holds, between 8 KiB and
// 252 KiB. A larger record grows the file; a checkpoint shrinks it back.
uint32_t journalCapacity(uint64_t registry_bytes);

// Why a journal file described by `js` may not serve the registry described
// by `rs`, or null when it may: it must be a regular file with one link, its
// possible writers among the registry's (owned by root, by the registry's
// owner, or, for a group-writable registry, by a member of its group), its
// group the registry's (or no group bits), and no permission bit the registry
// lacks.
const char *journalProblem(const struct stat &js, const struct stat &rs);

// One handle's view of its registry's journal.
class Journal {
 public:
  ~Journal() { close(); }

  // What the registry's journal says, as look() finds it.
  enum Status {
    kNone,     // there is no journal
    kCurrent,  // the registry holds every committed record
    kBehind,   // records the registry may lack: replay them, or show them
    kDamaged,  // a damaged head or record: replay nothing (why() says what)
    kUnsafe,   // not safe to use, or unreadable: never read (why() says)
  };
  // Opens the journal if it is not open (`writable`: for commits too) and
  // finds out what it holds. Call under the registry's lock. An unsafe
  // journal is said once on standard error, naming the file and why.
  Status look(const char *registry, int reg, bool writable);
  const std::string &why() const { return why_; }

  // Makes the journal ready for a commit; call under the registry's
  // exclusive lock after look(). 0 when ready; kDirect when there is none and
  // the directory refuses one (commit in place; said once on standard error);
  // EPERM when an unsafe, damaged or unwritable journal is in the way (commit
  // nothing); else the errno value of a failure (a full disk) that a later
  // commit may not meet.
  int prepare(const char *registry, int reg);
  static constexpr int kDirect = -1;

  // Appends a record of `ranges` and the registry's new `length` and syncs
  // it, making a checkpoint first when the space is needed (which syncs
  // `reg`). 0 or an errno value.
  int append(int reg, const std::vector<Range> &ranges, uint32_t length);
  // Says whether the last record's in-place writes were made; when not, the
  // registry lacks it until recover().
  void applied(bool done) { behind_ = !done; }
  // Makes the registry hold every record and syncs it, then starts a new
  // generation, so that no record is replayed again. 0, kUnsound or an errno
  // value.
  int checkpoint(int reg);
  // Writes every record into the registry when the result is a sound
  // registry, syncs it and starts a new generation. 0; kUnsound when the
  // result would not be sound (nothing written); or an errno value.
  int recover(int reg);
  static constexpr int kUnsound = -2;
  // Applies every record to `image` (grown as a record's length asks), for a
  // handle that cannot write the registry; *records counts them. 0, kUnsound
  // or an errno value.
  int overlay(std::vector<char> &image, uint32_t *records);
  // Renames a damaged journal to "<registry>-journal.damaged", where it is
  // kept for inspection; the next commit makes a new one. Call under the
  // exclusive lock. 0 or an errno value.
  int setAside(const char *registry);

  // Sets the byte order of the journal's words: the registry's own, so that
  // a journal left on a machine of either order is read on the other. Call
  // before look(); `swapped` when the registry is not in this machine's order.
  void setSwapped(bool swapped) { swap_ = swapped; }

  void close();
  bool isOpen() const { return head_ != nullptr; }
  bool writable() const { return writable_; }

 private:
  // Opens the journal at `path` without following a link or blocking, and
  // checks it against the registry; false when absent (errno ENOENT),
  // unreadable or unsafe (why_ then says why).
  bool openFile(const std::string &path, int reg, bool writable);
  bool mapFile();
  // Creates the journal (never adopting a file someone else made): 0, kDirect,
  // EAGAIN when another file appeared in its place, or an errno value.
  int create(const std::string &path, int reg);
  int giveOwnership(int jfd, const struct stat &rs);
  // Removes a safe journal at `path` whose making was cut short; true when
  // it did.
  bool removeUnmade(const std::string &path, const struct stat &rs);
  int initialise(int jfd, uint64_t registry_bytes);
  // Writes the head of generation `gen` and syncs it. 0 or an errno value.
  int startGeneration(uint32_t gen);
  void resize(uint64_t registry_bytes);
  // True when the head says its records are for this registry: the same
  // inode, made at the same time, on the same device (device numbers are
  // compared within one boot only, since they may change at a reboot).
  bool forThisFile() const;
  // The head, its words in this machine's order.
  JournalHead head() const;
  // The record head at `p` (any alignment), its words in this machine's order.
  RecordHead recordHeadAt(const char *p) const;
  // The range descriptor at `p`, in this machine's order (bytes null).
  Range rangeAt(const char *p) const;
  // True when the head was written in this boot, as far as the system tells.
  bool sameBoot() const;
  // True when `path` no longer names the file open here.
  bool replaced(const std::string &path) const;
  // True when a record of the generation that this handle has not seen
  // begins at `off`.
  bool newRecordAt(uint64_t off);
  // Reads the records of the generation from known_end_ on; rescans from the
  // start when `fresh`. kDamaged, or kCurrent with the records listed.
  Status scan(bool fresh);
  // True, with its head in *out, when a whole record of sequence `seq` and of
  // the head's generation begins at `off`: checksum, sizes and ranges sound.
  bool recordAt(uint64_t off, uint32_t seq, RecordHead *out) const;
  // True when a whole record of sequence `seq` or later lies beyond `off`.
  bool validBeyond(uint64_t off, uint32_t seq) const;
  // True when the registry holds the bytes of the last record.
  bool lastApplied(int reg) const;
  // Calls apply(offset, length, bytes, registry_length) for each range of
  // each listed record from `first` on, then apply(0, 0, null, length) at
  // the record's end. 0 or the first non-zero result.
  template <typename Apply>
  int forEachRange(size_t first, Apply apply) const;
  // Applies every record to `image`; kUnsound when the result is no sound
  // registry (the journal then counts as damaged), ENOMEM, or 0.
  int applyTo(std::vector<char> &image);

  int fd_ = -1;
  char *map_ = nullptr;   // the whole journal, shared
  uint64_t map_len_ = 0;
  const JournalHead *head_ = nullptr;
  bool writable_ = false;
  bool unavailable_ = false;  // no journal, and its directory refuses one
  bool said_ = false;         // the unsafe or damaged journal was said
  FileId id_ = {};            // the registry's
  std::string why_;
  // What this handle knows of the generation: its records' offsets, where
  // the next goes, and whether the registry lacks the last one.
  uint32_t known_gen_ = 0;
  std::vector<uint64_t> records_;
  uint64_t known_end_ = kJournalRecords;
  RecordHead torn_ = {};      // the failed record seen at known_end_
  bool damaged_ = false;
  bool behind_ = false;
  bool same_boot_ = false;
  bool swap_ = false;      // the journal's words are of the other byte order
  std::vector<char> buf_;  // the record being written
};

}  // namespace nc

#endif  // LIB_SYSTEM_NCONFIG_JOURNAL_H
