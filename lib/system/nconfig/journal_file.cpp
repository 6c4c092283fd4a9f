// The journal as a file: who may own it, opening it without trusting what
// lies at its path, making it, and naming the registry it serves.
#include <fcntl.h>
#include <grp.h>
#include <libgen.h>
#include <linux/fs.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "internal.h"
#include "journal.h"

namespace nc {
namespace {

std::string journalPath(const char *registry) { return std::string(registry) + "-journal"; }

// Syncs the directory holding `path`, so that a file just created or renamed
// there survives a power cut.
void syncDirectory(const std::string &path) {
  std::string copy = path;
  const int d = sys().open(dirname(&copy[0]), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (d < 0) return;
  sys().fsync(d);
  sys().close(d);
}

}  // namespace

const char *bootId() { return sys().boot_id(); }

bool fileId(int fd, FileId *id) {
  struct stat st;
  if (sys().fstat(fd, &st) != 0) return false;
  *id = FileId{{uint32_t(uint64_t(st.st_dev) >> 32), uint32_t(st.st_dev)},
               {uint32_t(uint64_t(st.st_ino) >> 32), uint32_t(st.st_ino)},
               {0, 0}};
  // The time the file was made, where the file system keeps it; and the
  // inode's generation, which changes when an inode number is used again.
  struct statx sx;
  if (sys().fstatx(fd, STATX_BTIME, &sx) == 0 && (sx.stx_mask & STATX_BTIME))
    id->made[0] = uint32_t(sx.stx_btime.tv_sec) ^ (uint32_t(sx.stx_btime.tv_nsec) << 2);
  int generation = 0;
  if (sys().inode_generation(fd, &generation) == 0) id->made[1] = uint32_t(generation);
  return true;
}

uint32_t journalCapacity(uint64_t registry_bytes) {
  const uint64_t records = (registry_bytes + 4095) / 4096 * 4096;
  return kJournalRecords + uint32_t(std::clamp<uint64_t>(records, 8 * 1024, 252 * 1024));
}

const char *journalProblem(const struct stat &js, const struct stat &rs) {
  if (!S_ISREG(js.st_mode)) return "not a regular file";
  if (js.st_nlink != 1) return "it has another name (a hard link)";
  const bool group_writes = (rs.st_mode & S_IWGRP) != 0;
  if (js.st_uid != 0 && js.st_uid != rs.st_uid &&
      !(group_writes && sys().member_of(js.st_uid, rs.st_gid)))
    return "its owner may not write the registry";
  if (js.st_gid != rs.st_gid && (js.st_mode & 070) != 0) return "its group is not the registry's";
  if ((js.st_mode & 07777) & ~(rs.st_mode & 0666))
    return "it grants permissions the registry does not";
  return nullptr;
}

bool Journal::openFile(const std::string &path, int reg, bool writable) {
  // Never follow a link and never wait: a FIFO in its place would hold every
  // reader that opens it. What the descriptor names is checked before use.
  const int base = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  int jfd = sys().open(path.c_str(), (writable ? O_RDWR : O_RDONLY) | base, 0);
  if (jfd < 0 && writable && errno == EACCES) {
    jfd = sys().open(path.c_str(), O_RDONLY | base, 0);
    writable = false;
  }
  if (jfd < 0) {
    const int err = errno;
    if (err != ENOENT)
      why_ = err == ELOOP ? "a symbolic link" : std::string("cannot open it: ") + strerror(err);
    errno = err;
    return false;
  }
  struct stat js, rs;
  const char *problem = nullptr;
  if (sys().fstat(jfd, &js) != 0 || sys().fstat(reg, &rs) != 0)
    problem = "cannot examine it";
  else
    problem = journalProblem(js, rs);
  if (!problem && js.st_size < off_t(kJournalRecords)) {
    // Cut short while it was made: it holds nothing, and the next commit
    // makes it again.
    sys().close(jfd);
    errno = ENOENT;
    return false;
  }
  if (problem || !fileId(reg, &id_)) {
    why_ = problem ? problem : "cannot examine the registry";
    sys().close(jfd);
    errno = EPERM;
    return false;
  }
  fd_ = jfd;
  writable_ = writable;
  if (!mapFile()) {
    why_ = std::string("cannot map it: ") + strerror(errno);
    close();
    errno = EPERM;
    return false;
  }
  return true;
}

bool Journal::mapFile() {
  struct stat js;
  if (sys().fstat(fd_, &js) != 0 || js.st_size < off_t(kJournalRecords)) return false;
  if (map_ && uint64_t(js.st_size) == map_len_) return true;
  if (map_) sys().munmap(map_, map_len_);
  // Read-only even for a writer: the head and the records are written with
  // pwrite, so that a stray store can never reach the file.
  void *m = sys().mmap_shared(size_t(js.st_size), PROT_READ, fd_);
  map_ = m == MAP_FAILED ? nullptr : static_cast<char *>(m);
  map_len_ = map_ ? uint64_t(js.st_size) : 0;
  head_ = reinterpret_cast<const JournalHead *>(map_);
  return map_ != nullptr;
}

void Journal::close() {
  if (map_) sys().munmap(map_, map_len_);
  if (fd_ >= 0) sys().close(fd_);
  map_ = nullptr;
  map_len_ = 0;
  head_ = nullptr;
  fd_ = -1;
  writable_ = unavailable_ = said_ = false;  // the next open looks again
  known_gen_ = 0;
  records_.clear();
  known_end_ = kJournalRecords;
  torn_ = {};
  damaged_ = behind_ = same_boot_ = false;
}

int Journal::prepare(const char *registry, int reg) {
  if (head_ && replaced(journalPath(registry))) close();  // set aside meanwhile
  if (head_ && writable_ && !damaged_) {
    const bool ours = head().magic == kJournalMagic && forThisFile();
    if (ours && same_boot_) return 0;
    // Made but never finished, left by another registry, or last written in
    // an earlier boot: it starts afresh, after what the registry may lack.
    if (ours && !records_.empty()) return recover(reg) == 0 ? 0 : EIO;
    return startGeneration(head().gen + 1);
  }
  if (head_ || !why_.empty()) return EPERM;  // unwritable, unsafe or damaged
  if (unavailable_) return kDirect;
  const std::string path = journalPath(registry);
  for (int tries = 0; tries < 3; tries++) {
    const int rc = create(path, reg);
    if (rc != EAGAIN) return rc;
    // Another process made one meanwhile: use it if it is safe.
    if (look(registry, reg, true) == kUnsafe) return EPERM;
    if (head_) return prepare(registry, reg);
  }
  return EAGAIN;
}

int Journal::create(const std::string &path, int reg) {
  struct stat rs;
  if (sys().fstat(reg, &rs) != 0) return errno;
  // Made private and exclusively ours; the registry's ownership and mode are
  // given once it is known to be the file we made.
  const int jfd = sys().open(path.c_str(),
                             O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  if (jfd < 0) {
    const int err = errno;
    if (err == EEXIST) return removeUnmade(path, rs) ? create(path, reg) : EAGAIN;
    if (err != EACCES && err != EROFS && err != EPERM && err != ENOENT) return err;
    static bool said = false;  // once per process: every commit meets it
    if (!said)
      fprintf(stderr, "nconfig: cannot create journal %s: %s; committing directly\n", path.c_str(),
              strerror(err));
    said = true;
    unavailable_ = true;
    return kDirect;
  }
  int err = giveOwnership(jfd, rs);
  if (err == 0) err = initialise(jfd, uint64_t(rs.st_size));
  if (err == 0 && !fileId(reg, &id_)) err = EIO;
  if (err == 0) {
    fd_ = jfd;
    writable_ = true;
    if (!mapFile()) err = errno ? errno : EIO;
  }
  if (err == 0) err = startGeneration(1);
  if (err != 0) {
    struct stat js, now;
    // Take away only the file made here, never one put in its place since.
    if (sys().fstat(jfd, &js) == 0 && sys().lstat(path.c_str(), &now) == 0 && now.st_ino == js.st_ino &&
        now.st_dev == js.st_dev)
      sys().unlink(path.c_str());
    if (fd_ != jfd) sys().close(jfd);
    close();
    fprintf(stderr, "nconfig: cannot create journal %s: %s\n", path.c_str(), strerror(err));
    return err;  // a full disk: this commit fails, a later one tries again
  }
  syncDirectory(path);
  return 0;
}

bool Journal::removeUnmade(const std::string &path, const struct stat &rs) {
  // A journal whose making was cut short holds nothing; made by one of the
  // registry's writers, it is made again rather than finished as it is.
  struct stat js;
  if (sys().lstat(path.c_str(), &js) != 0 || js.st_size >= off_t(kJournalRecords) ||
      journalProblem(js, rs))
    return false;
  return sys().unlink(path.c_str()) == 0;
}

int Journal::giveOwnership(int jfd, const struct stat &rs) {
  // Everyone who may write the registry may use its journal, and no one
  // else: its owner (where this process may set it), group and mode.
  mode_t mode = rs.st_mode & 0666;
  if (sys().fchown(jfd, sys().geteuid() == 0 ? rs.st_uid : uid_t(-1), rs.st_gid) != 0) {
    struct stat js;
    if (sys().fstat(jfd, &js) != 0) return errno;
    if (js.st_gid != rs.st_gid) mode &= ~mode_t(070);  // a group of ours gets nothing
  }
  return sys().fchmod(jfd, mode) == 0 ? 0 : errno;
}

int Journal::initialise(int jfd, uint64_t registry_bytes) {
  const uint32_t size = journalCapacity(registry_bytes);
  int err = sys().fallocate(jfd, 0, size);
  if (err == 0) err = zeroFill(jfd, 0, size);
  if (err == 0 && sys().fsync(jfd) != 0) err = errno;
  return err;
}

void Journal::resize(uint64_t registry_bytes) {
  // A large commit grew the file, or the registry grew past what the journal
  // was made for: once no record is needed the size follows the registry.
  // Kept as it is when that fails: it is only space.
  struct stat js;
  const uint32_t want = journalCapacity(registry_bytes);
  if (sys().fstat(fd_, &js) != 0) return;
  if (uint64_t(js.st_size) > 2ull * want) {
    if (sys().ftruncate(fd_, want) != 0) return;
  } else if (js.st_size < off_t(want)) {
    if (sys().fallocate(fd_, 0, want) != 0 || zeroFill(fd_, js.st_size, want - js.st_size) != 0)
      return;
  }
  mapFile();
}

int Journal::setAside(const char *registry) {
  const std::string path = journalPath(registry), aside = path + ".damaged";
  if (sys().rename(path.c_str(), aside.c_str()) != 0) return errno;
  syncDirectory(path);
  close();
  why_.clear();
  return 0;
}

}  // namespace nc
