// The registry handle: naming, creating, opening, mapping, locking, closing.
//
// Invariants while open: `data` maps `lsize` bytes of the file privately;
// sb == data; rdir, cdir and chunks point into the view. Every pointer into
// the view is re-derived after any re-map.
#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "byteorder.h"
#include "cache.h"
#include "foreign.h"
#include "internal.h"
#include "lib/system/nconfig_check.h"
#include "txn.h"

using nc::sys;

namespace {

// Takes the whole-file record lock of `type` (F_RDLCK/F_WRLCK), waiting as
// long as it takes: the caller cannot go on unprotected. A refused request
// (an interrupt, a deadlock the kernel reports, no lock records left) is
// asked again without limit, after yielding the processor; a refusal other
// than an interrupt also sleeps a millisecond, so that the retries do not
// spin while whatever refused clears.
void takeRecordLock(int fd, short type) {
  while (sys().fcntl_lock(fd, F_SETLKW, type) != 0) {
    const bool interrupted = errno == EINTR;
    sched_yield();
    if (!interrupted) usleep(1000);
  }
}

}  // namespace


NConfig::NConfig(int protect)
    : fd(-1),
      omode(0),
      lock(NC_L_NONE),
      careful(protect),
      fname(nullptr),
      data(nullptr),
      cname(nullptr),
      lsize(0),
      update(0),
      revision(0),
      olck(0),
      sb(nullptr),
      rdir(nullptr),
      cdir(nullptr),
      chunks(nullptr),
      txn(nullptr),
      pcache(nullptr) {}

NConfig::~NConfig() {
  close();
  delete txn;
  delete pcache;
  free(fname);
}

int NConfig::setName(const char *name) {
  if (!name) return NC_ERR_NVAL;
  if (fd >= 0) return NC_ERR_PERM;
  char *copy = strdup(name);
  if (!copy) return NC_ERR_NMEM;
  free(fname);
  fname = copy;
  return NC_ERR_OK;
}

int NConfig::createNew(unsigned int resize, unsigned int dirent, unsigned int mchunks) {
  if (fd >= 0) return NC_ERR_NVAL;
  if (!fname) return NC_ERR_NFILE;
  // A file the allocator could not work in is never made: the table needs two
  // records, directories must grow, and the table must fit with room to spare.
  if (nc::creationProblem(resize, dirent, mchunks)) return NC_ERR_NVAL;
  if (access(fname, F_OK) == 0) return NC_ERR_PERM;
  int f = sys().open(fname, O_WRONLY | O_CREAT | O_EXCL, 0600);
  if (f < 0) return errno == EEXIST ? NC_ERR_PERM : NC_ERR_NFILE;
  // A journal left by an earlier file at this path holds nothing for this
  // one: it is retired before the file can be opened.
  unlink((std::string(fname) + "-journal").c_str());

  const uint32_t size = resize * nc::kPageSize;
  const uint32_t table_end = uint32_t(nc::headerBytes(mchunks));
  uint32_t image[19] = {};
  nc_sb_s *s = reinterpret_cast<nc_sb_s *>(image);
  memcpy(&s->magic, NC_SB_MAGIC, 4);
  s->size = size;
  s->ent_inc = dirent;
  s->chunk_inc = mchunks;
  s->size_inc = resize;
  s->chunk_ttl = mchunks;
  s->chunk = nc::kTableOffset;
  s->root = nc::kRootOffset;
  nc_de_s *root = reinterpret_cast<nc_de_s *>(image + 9);
  root->name = nc::kRootNameOffset;
  root->type = NC_DIR;
  root->parent = nc::kRootOffset;
  memcpy(image + 15, "/", 2);
  image[16] = mchunks * 8 + 4;
  image[17] = table_end;
  image[18] = size - table_end;

  // The whole initial size is reserved, so that no commit ever needs new
  // blocks inside it.
  bool ok = sys().fallocate(f, 0, size) == 0 &&
            sys().pwrite(f, image, sizeof(image), 0) == ssize_t(sizeof(image)) &&
            sys().fsync(f) == 0;
  ok = sys().close(f) == 0 && ok;
  if (!ok) {
    unlink(fname);  // never leave a half-made registry behind
    return NC_ERR_NFILE;
  }
  return NC_ERR_OK;
}

int NConfig::mapFile(char **view, unsigned int *size) {
  off_t flen = 0;
  if (sys().fstat_size(fd, &flen) != 0 || flen < off_t(sizeof(nc_sb_s)) ||
      uint64_t(flen) > 0xFFFFFFFFull)
    return NC_ERR_CORRUPT;
  const int prot = omode == NC_O_RW && !careful ? PROT_READ | PROT_WRITE : PROT_READ;
  if (txn && txn->foreign) {
    std::vector<char> raw;
    if (int err = nc::readWholeFile(fd, raw)) return err == ENOMEM ? NC_ERR_NMEM : NC_ERR_CORRUPT;
    const int rc = nc::foreignView(raw, prot, view, size);
    if (rc == NC_ERR_OK) txn->base.swap(raw);
    return rc;
  }
  void *m = sys().mmap(size_t(flen), prot, fd);
  if (m == MAP_FAILED) return NC_ERR_NMEM;
  const nc_sb_s *head = static_cast<const nc_sb_s *>(m);
  if (nc::superblockProblem(head, uint64_t(flen))) {
    sys().munmap(m, size_t(flen));
    return NC_ERR_CORRUPT;
  }
  // Trim the view to the recorded size; a longer file was grown by a commit
  // that another process may not have finished.
  const size_t page = nc::viewPage();
  const size_t keep = (size_t(head->size) + page - 1) / page * page;
  if (size_t(flen) > keep) sys().munmap(static_cast<char *>(m) + keep, size_t(flen) - keep);
  *view = static_cast<char *>(m);
  *size = head->size;
  return NC_ERR_OK;
}

int NConfig::open(int how) {
  if (!fname) return NC_ERR_NFILE;
  if (how != NC_O_RO && how != NC_O_RW) return NC_ERR_TYPE;
  if (fd >= 0) close();
  if (!txn && !(txn = new (std::nothrow) nc_txn_s)) return NC_ERR_NMEM;
  // Without memory for a cache every lookup walks.
  if (!pcache) pcache = new (std::nothrow) nc::PathCache;

  int f = sys().open(fname, (how == NC_O_RW ? O_RDWR : O_RDONLY) | O_CLOEXEC, 0);
  if (f < 0) return NC_ERR_PERM;
  fd = f;
  omode = how;
  cname = strdup("/");
  if (!cname) {
    close();
    return NC_ERR_NMEM;
  }
  // Nothing is read before the shared lock is held: a writer in another
  // process finishes its commit first, and a damaged-looking file is never
  // one that is being written.
  takeRecordLock(fd, F_RDLCK);
  lock = NC_L_RO;
  olck = 0;
  // The file's byte order decides how its view is made and in which order
  // the journal's words are.
  txn->foreign = nc::fileIsForeign(fd);
  txn->journal.setSwapped(txn->foreign);
  txn->base.clear();
  settleJournal();
  int rc = txn->refusal == NC_ERR_CORRUPT ? NC_ERR_CORRUPT : NC_ERR_OK;
  if (!data && rc == NC_ERR_OK) rc = mapFile(&data, &lsize);
  if (rc == NC_ERR_OK && txn->foreign && !txn->overlay) txn->mapped = lsize;
  if (rc != NC_ERR_OK) {
    close();
    return rc;
  }
  sb = reinterpret_cast<nc_sb_s *>(data);
  refreshPointers();
  txn->reserved = 0;  // the first commit reserves the whole file once
  unLockFile();
  return NC_ERR_OK;
}

void NConfig::close() {
  free(cname);
  cname = nullptr;
  if (fd >= 0 && data && omode == NC_O_RW && txn &&
      (!txn->pages.empty() || (txn->committed && txn->journal.isOpen()))) {
    // What is pending is committed, and a journal this handle wrote is
    // emptied, so that it outlives no handle that needs it. Both need the
    // exclusive lock; a shared one is let go first.
    if (lock == NC_L_RO) sys().fcntl_lock(fd, F_SETLK, F_UNLCK);
    if (lock != NC_L_RW) takeRecordLock(fd, F_WRLCK);
    lock = NC_L_RW;
    commitPending();
    // Another process may have committed since this handle last looked:
    // what the journal holds is in the file before it is emptied.
    nc::Journal &j = txn->journal;
    if (txn->committed && j.writable() && j.look(fname, fd, true) != nc::Journal::kDamaged) {
      if (int err = j.checkpoint(fd))
        fprintf(stderr, "nconfig: syncing %s failed: %s\n", fname,
                err == nc::Journal::kUnsound ? "the journal does not give a sound file"
                                             : strerror(err));
    }
  }
  unmapView();
  if (txn) {
    txn->journal.close();
    txn->committed = txn->damage_said = false;
    txn->refusal = txn->damage_verdict = 0;
  }
  if (fd >= 0) sys().close(fd);  // drops every record lock of this process on the file
  fd = -1;
  lock = NC_L_NONE;
  olck = 0;
}

void NConfig::unmapView() {
  dropCache();
  if (data && txn && txn->overlay)
    munmap(data, txn->overlay_bytes);
  else if (data && txn && txn->foreign)
    sys().munmap(data, std::max<size_t>(lsize, txn->mapped));
  else if (data)
    sys().munmap(data, lsize);
  if (txn) {
    txn->overlay = false;
    txn->pages.clear();
    txn->marked.clear();
    txn->untracked = txn->growth_refused = txn->stale = false;
  }
  data = nullptr;
  lsize = 0;
  sb = nullptr;
  rdir = cdir = nullptr;
  chunks = nullptr;
}

void NConfig::flush() {
  const int held = lock;
  const unsigned int depth = olck;
  close();
  if (open(omode) == NC_ERR_OK && held != NC_L_NONE) {
    // The caller's lock bracket stays balanced and keeps protecting it.
    lockFile(held, 0);
    olck = depth;
  }
}

int NConfig::_remap(unsigned int osize, unsigned int nsize) {
  // mremap moves the view while it is one kernel mapping. Often it is not:
  // followFile maps pages back one by one and careful mode changes the
  // protection of parts, and mremap refuses a range that spans several
  // mappings. The view is then replaced by a fresh private mapping of the
  // file; the old one stays until the changed pages are carried over, so a
  // refusal leaves the handle on it, whole. A stale view is never moved: its
  // pages that stopped following the file would go with it.
  const bool stale = txn && txn->stale;
  const bool foreign = txn && txn->foreign;
  const size_t had = foreign ? std::max<size_t>(osize, txn->mapped) : osize;  // bytes mapped now
  void *view = data && osize && !stale ? sys().mremap(data, had, nsize) : MAP_FAILED;
  if (view == MAP_FAILED && foreign) {
    // An anonymous view of a file of the other order moves by copying.
    view = sys().mmap(nsize, PROT_READ | PROT_WRITE, -1);
    if (view == MAP_FAILED) return NC_ERR_NMEM;
    if (data) memcpy(view, data, std::min(osize, nsize));
    if (data && had) sys().munmap(data, had);
  } else if (view == MAP_FAILED) {
    const int rw = PROT_READ | PROT_WRITE;
    const int prot = omode == NC_O_RW && (!careful || lock == NC_L_RW) ? rw : PROT_READ;
    const uint32_t keep = std::min(osize, nsize);  // bytes that come from the old view
    const bool carry = data && keep && txn && (txn->untracked || !txn->pages.empty());
    view = sys().mmap(nsize, carry ? rw : prot, fd);
    if (view == MAP_FAILED) return NC_ERR_NMEM;
    char *fresh = static_cast<char *>(view);
    // Pages not listed hold what the file holds (txn.h), so only the listed
    // ones, or all when the list is incomplete, differ from the new mapping.
    const uint32_t page = nc::viewPage();
    if (carry && txn->untracked) {
      memcpy(fresh, data, keep);
    } else if (carry) {
      for (uint32_t p : txn->pages) {
        const uint64_t at = uint64_t(p) * page;
        if (at < keep) memcpy(fresh + at, data + at, size_t(std::min<uint64_t>(page, keep - at)));
      }
    }
    if (carry && prot != rw) sys().mprotect(fresh, nsize, prot);
    if (data && osize) sys().munmap(data, osize);
    if (stale) txn->stale = false;  // every page not listed follows the file again
  }
  data = static_cast<char *>(view);
  if (foreign) txn->mapped = nsize;
  sb = reinterpret_cast<nc_sb_s *>(data);
  dropCache();
  // Null when the superblock no longer names a root inside the view.
  rdir = nc::View{data, nsize}.entry(sb->root);
  return NC_ERR_OK;
}

void NConfig::lockFile(int type, int force) {
  // A read-only handle can only read: an exclusive lock would protect no
  // write, and a descriptor opened read-only cannot take it.
  if (type == NC_L_RW && omode != NC_O_RW) type = NC_L_RO;
  if (lock == NC_L_RO && type == NC_L_RW) {
    fputs("Lock promotion is not possible.\n", stderr);
    abort();
  }
  if (lock != NC_L_NONE) {
    olck++;
    return;
  }
  if (fd < 0 || !data) return;
  takeRecordLock(fd, type == NC_L_RW ? F_WRLCK : F_RDLCK);
  lock = type;
  olck = 0;
  const char *const seen = data;
  // A stale view is mapped afresh before anything is read from it.
  if (txn->stale && !txn->overlay && !txn->foreign) _remap(lsize, lsize);
  settleJournal();
  followForeign();
  if (careful && type == NC_L_RW && lsize && !txn->overlay)
    sys().mprotect(data, lsize, PROT_READ | PROT_WRITE);
  if (!txn->stale && !txn->overlay && !txn->foreign && lsize != sb->size) {
    // Another process grew the file. Never map past its end: a recorded size
    // the file does not have keeps the old view, and every bounds check works
    // on lsize.
    off_t flen = 0;
    if (sys().fstat_size(fd, &flen) == 0 && uint64_t(flen) >= sb->size &&
        sb->size >= nc::kTableOffset) {
      if (_remap(lsize, sb->size) == NC_ERR_OK)
        lsize = sb->size;
      else
        txn->stale = true;
    }
  }
  if (txn->stale) {
    // The view does not show the file: operations answer NC_ERR_NMEM, and
    // nothing is derived from it. The lock that maps it moves it, and so
    // derives every pointer again.
    rdir = cdir = nullptr;
    chunks = nullptr;
    return;
  }
  // Cached paths hold only for the state they were found in.
  if (pcache) pcache->validate(sb->modtime, lsize);
  if (sb->modtime != update || force || data != seen) refreshPointers();
}

void NConfig::refreshPointers() {
  rdir = nc::View{data, lsize}.entry(sb->root);
  chunks = reinterpret_cast<nc_chunk_s *>(data + sb->chunk);
  cdir = getDirEnt(cname, nullptr);
  if (!cdir) {
    // Another process removed our current directory: fall back to the root.
    char *root = strdup("/");
    if (root) {
      free(cname);
      cname = root;
    }
    cdir = rdir;
  }
  update = sb->modtime;
}

void NConfig::showFileAgain() {
  // The checks of settleJournal decide anew whether a copy is needed.
  char *view;
  unsigned int size;
  if (!txn->overlay || mapFile(&view, &size) != NC_ERR_OK) return;
  unmapView();
  data = view;
  lsize = size;
  if (txn->foreign) txn->mapped = size;
  sb = reinterpret_cast<nc_sb_s *>(data);
  update = ~sb->modtime;  // every pointer is derived again
}

void NConfig::settleJournal() {
  showFileAgain();
  nc::Journal &j = txn->journal;
  txn->refusal = NC_ERR_OK;
  const bool writer = omode == NC_O_RW;
  const nc::Journal::Status status = j.look(fname, fd, writer);
  if (status != nc::Journal::kDamaged) txn->damage_verdict = 0;
  if (writer && j.writable() &&
      (status == nc::Journal::kBehind || status == nc::Journal::kDamaged)) {
    catchUp();
    return;
  }
  if (status == nc::Journal::kDamaged) return judgeDamage(false);
  if (status == nc::Journal::kBehind) showJournal();
  // A journal this process cannot write may hold records: never commit
  // around it.
  if (writer && status != nc::Journal::kNone && !j.writable()) txn->refusal = NC_ERR_PERM;
}

void NConfig::catchUp() {
  nc::Journal &j = txn->journal;
  const bool shared = lock != NC_L_RW;
  if (shared) {
    sys().fcntl_lock(fd, F_SETLK, F_UNLCK);
    takeRecordLock(fd, F_WRLCK);
  }
  // Another process may have settled it meanwhile: look again.
  nc::Journal::Status status = j.look(fname, fd, true);
  int err = 0;
  if (status == nc::Journal::kBehind && (err = j.recover(fd)) == nc::Journal::kUnsound)
    status = nc::Journal::kDamaged;
  if (status == nc::Journal::kDamaged) judgeDamage(true);
  if (shared) takeRecordLock(fd, F_RDLCK);  // turns the write lock into a read lock
  if (status == nc::Journal::kDamaged) return;
  if (data) update = ~sb->modtime;
  dropCache();  // the file took commits this view may not show yet
  if (err == 0) return;
  fprintf(stderr, "nconfig: replaying the journal of %s failed: %s\n", fname, strerror(err));
  txn->refusal = NC_ERR_NMEM;
  showJournal();
}

void NConfig::judgeDamage(bool set_aside) {
  nc::Journal &j = txn->journal;
  const std::string journal = std::string(fname) + "-journal", why = j.why();
  if (txn->damage_verdict == 0) txn->damage_verdict = fileSound() ? 1 : 2;
  std::string outcome;
  if (txn->damage_verdict == 2) {
    outcome = std::string("; ") + fname + " is not sound either: both are left as they are";
    txn->refusal = NC_ERR_CORRUPT;
  } else if (set_aside) {
    const int err = j.setAside(fname);
    outcome = err ? std::string("; cannot set it aside: ") + strerror(err)
                  : "; set aside as " + journal + ".damaged";
    if (err) txn->refusal = NC_ERR_PERM;
  } else {
    txn->refusal = omode == NC_O_RW ? NC_ERR_PERM : NC_ERR_OK;
  }
  if (!txn->damage_said)
    fprintf(stderr, "nconfig: %s: damaged (%s); replayed nothing%s\n", journal.c_str(),
            why.c_str(), outcome.c_str());
  txn->damage_said = !set_aside || txn->refusal != NC_ERR_OK;
}

bool NConfig::fileSound() {
  if (txn->foreign) {
    std::vector<char> raw;
    if (nc::readWholeFile(fd, raw) != 0 || raw.size() < sizeof(nc_sb_s)) return false;
    const uint32_t size = nc::byteSwap(reinterpret_cast<const nc_sb_s *>(raw.data())->size);
    return size >= sizeof(nc_sb_s) && size <= raw.size() &&
           nc::swapOrder(raw.data(), size, !nc::hostIsBig()).empty() &&
           nc_check_image(raw.data(), size).ok();
  }
  char *view;
  unsigned int size;
  if (mapFile(&view, &size) != NC_ERR_OK) return false;
  const bool ok = nc_check_image(view, size).ok();
  sys().munmap(view, size);
  return ok;
}

int NConfig::writeRefusal() const {
  if (viewStale()) return NC_ERR_NMEM;
  return txn ? txn->refusal : NC_ERR_OK;
}

bool NConfig::showsCopy() const { return txn && txn->overlay; }

void NConfig::showJournal() {
  // The view becomes a copy of the file with the journal's records applied:
  // the committed state, which the file itself may not hold yet.
  off_t flen = 0;
  std::vector<char> image;
  uint32_t records = 0;
  try {
    if (sys().fstat_size(fd, &flen) != 0 || flen < off_t(sizeof(nc_sb_s)) ||
        uint64_t(flen) > 0xFFFFFFFFull)
      return;
    image.resize(size_t(flen));
    if (sys().pread(fd, image.data(), image.size(), 0) != ssize_t(image.size())) return;
    const int rc = txn->journal.overlay(image, &records);
    if (rc == nc::Journal::kUnsound) return judgeDamage(false);
    if (rc != 0 || records == 0) return;
    if (txn->foreign) {
      const uint32_t size = nc::byteSwap(reinterpret_cast<const nc_sb_s *>(image.data())->size);
      if (size > image.size() || !nc::swapOrder(image.data(), size, !nc::hostIsBig()).empty())
        return;
      image.resize(size);
    }
  } catch (const std::bad_alloc &) {
    return;
  }
  const nc_sb_s *head = reinterpret_cast<const nc_sb_s *>(image.data());
  void *m = mmap(nullptr, image.size(), PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (m == MAP_FAILED) return;
  memcpy(m, image.data(), image.size());
  mprotect(m, image.size(), PROT_READ);
  unmapView();
  data = static_cast<char *>(m);
  lsize = head->size;
  sb = reinterpret_cast<nc_sb_s *>(data);
  txn->overlay = true;
  txn->overlay_bytes = image.size();
  update = ~sb->modtime;
}

char *NConfig::version() { return strdup("Quorvane registry"); }
