// Commits: tracking the changed pages of the view, writing them through the
// journal at the outermost exclusive unlock, and making the view follow the
// file again afterwards.
// doc/journal.md gives the protocol: what is synced before what, and what
// recovery does at each crash point.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "cache.h"
#include "foreign.h"
#include "internal.h"
#include "txn.h"

using nc::sys;

namespace nc {

bool verifyTouches = false;

uint32_t viewPage() {
  static const uint32_t page = uint32_t(sysconf(_SC_PAGESIZE));
  return page;
}

// A commit that changes eight bytes journals and writes a few dozen, not a
// page: runs of differing bytes closer than kJoin stay one range.
int narrowRanges(std::vector<Range> &ranges,
                 const std::function<long(uint32_t, uint32_t, char *)> &old) {
  constexpr uint32_t kJoin = 64;  // identical bytes that still do not split a run
  std::vector<Range> narrow;
  std::vector<char> file;
  for (const Range &r : ranges) {
    file.assign(r.length, 0);
    const long got = old(r.offset, r.length, file.data());
    if (got < 0) return errno;
    const uint32_t have = uint32_t(got);  // bytes past the old end differ
    uint32_t i = 0;
    while (i < r.length) {
      while (i < have && file[i] == r.bytes[i]) i++;
      if (i == r.length) break;
      uint32_t end = i + 1, same = 0;
      for (uint32_t k = end; k < r.length && same < kJoin; k++) {
        if (k < have && file[k] == r.bytes[k]) {
          same++;
        } else {
          end = k + 1;
          same = 0;
        }
      }
      narrow.push_back({r.offset + i, end - i, r.bytes + i});
      i = end;
    }
  }
  ranges.swap(narrow);
  return 0;
}

}  // namespace nc

namespace {

// The changed pages as sorted, joined byte ranges of a view `size` bytes long.
std::vector<nc::Range> changedRanges(std::vector<uint32_t> &pages, const char *data,
                                     uint32_t size) {
  const uint32_t page = nc::viewPage();
  std::sort(pages.begin(), pages.end());
  std::vector<nc::Range> ranges;
  for (uint32_t p : pages) {
    const uint64_t start = uint64_t(p) * page;
    if (start >= size) break;
    const uint32_t len = uint32_t(std::min<uint64_t>(page, size - start));
    if (!ranges.empty() && ranges.back().offset + ranges.back().length == start)
      ranges.back().length += len;
    else
      ranges.push_back({uint32_t(start), len, data + start});
  }
  return ranges;
}

// Reserves the file's blocks under the ranges, so that writing them in place
// cannot run out of space after the journal holds them. The first commit of a
// handle reserves the whole file at once (cheap where it has its blocks);
// later ones only what grew since. 0 or errno.
int reserveBlocks(int fd, const std::vector<nc::Range> &ranges, uint32_t size,
                  uint32_t *reserved) {
  if (*reserved >= size) return 0;
  for (const nc::Range &r : ranges)
    if (uint64_t(r.offset) + r.length > *reserved) {
      int err;
      do {
        err = sys().fallocate(fd, 0, size);
      } while (err == EINTR);
      if (err != 0) return err;
      *reserved = size;
      break;
    }
  return 0;
}

}  // namespace

void NConfig::touch(unsigned int off, unsigned int len) {
  if (!txn || len == 0) return;
  const uint32_t page = nc::viewPage();
  const uint32_t last = uint32_t((uint64_t(off) + len - 1) / page);
  try {
    for (uint32_t p = off / page; p <= last; p++) {
      const size_t word = p / 64;
      if (word >= txn->marked.size()) txn->marked.resize(word + 1 + word / 2, 0);
      const uint64_t bit = uint64_t(1) << (p % 64);
      if (txn->marked[word] & bit) continue;
      txn->pages.push_back(p);
      txn->marked[word] |= bit;
    }
  } catch (const std::bad_alloc &) {
    txn->untracked = true;
  }
}

bool NConfig::growthRefused() const { return txn && txn->growth_refused; }

bool NConfig::viewStale() const { return txn && txn->stale; }

// Maps the listed pages of the file over the view again, so that they show
// what the file holds, and forgets them.
static void followFile(NConfig *, char *data, uint32_t size, int fd, int prot, nc_txn_s *txn) {
  const uint32_t page = nc::viewPage();
  for (uint32_t p : txn->pages) {
    const uint64_t at = uint64_t(p) * page;
    if (at >= size) continue;
    if (sys().mmap_fixed(data + at, page, prot, fd, off_t(at)) != MAP_FAILED) continue;
    // Refused (the process may be at its limit of mappings): the file's bytes
    // are read over the page instead, so that it holds what the file holds
    // under this lock. Such a page no longer follows the file's later
    // changes, so the view is stale until the next lock maps it afresh,
    // whatever the read did.
    const size_t n = size_t(std::min<uint64_t>(page, size - at));
    sys().mprotect(data + at, n, PROT_READ | PROT_WRITE);
    (void)sys().pread(fd, data + at, n, off_t(at));
    if (prot != (PROT_READ | PROT_WRITE)) sys().mprotect(data + at, n, prot);
    txn->stale = true;
  }
  for (uint32_t p : txn->pages) txn->marked[p / 64] &= ~(uint64_t(1) << (p % 64));
  txn->pages.clear();
  txn->untracked = false;
  txn->growth_refused = false;
}

void NConfig::discardPending() {
  if (!txn || !data || txn->overlay) return;
  dropCache();  // paths found or made since the last commit may be gone
  if (txn->foreign) {
    if (revertForeign()) refreshPointers();
    return;
  }
  const int prot = omode == NC_O_RW && (!careful || lock == NC_L_RW) ? PROT_READ | PROT_WRITE
                                                                      : PROT_READ;
  followFile(this, data, lsize, fd, prot, txn);
  // An undone growth leaves the view longer than the file's recorded size.
  // A refused re-map keeps the longer view, which the file still backs (its
  // space is reserved before the view grows); the next lock shortens it.
  if (sb->size < lsize && sb->size >= nc::kTableOffset && _remap(lsize, sb->size) == NC_ERR_OK)
    lsize = sb->size;
  refreshPointers();
}

// Ends the process when a page the commit does not write differs from the
// file: some store into the view was not touched.
static void verifyUntouched(const char *data, uint32_t size, int fd, const nc_txn_s *txn) {
  const uint32_t page = nc::viewPage();
  std::vector<char> file(page);
  for (uint64_t at = 0; at < size; at += page) {
    const uint32_t p = uint32_t(at / page);
    if (p / 64 < txn->marked.size() && (txn->marked[p / 64] >> (p % 64) & 1)) continue;
    const size_t n = size_t(std::min<uint64_t>(page, size - at));
    if (pread(fd, file.data(), n, off_t(at)) == ssize_t(n) && memcmp(file.data(), data + at, n)) {
      fprintf(stderr, "nconfig: page %u changed without being touched\n", p);
      abort();
    }
  }
}

// After a commit (or none, when nothing differed): the view shows the file
// again and forgets the pages it listed.
static void followCommitted(char *data, uint32_t size, int fd, bool careful, nc_txn_s *txn,
                            const std::vector<nc::Range> &ranges) {
  if (!txn->foreign) {
    followFile(nullptr, data, size, fd, careful ? PROT_READ : PROT_READ | PROT_WRITE, txn);
    return;
  }
  // The view holds the committed state already; base takes what was written.
  nc::keepCommitted(txn->base, ranges, size);
  for (uint32_t p : txn->pages) txn->marked[p / 64] &= ~(uint64_t(1) << (p % 64));
  txn->pages.clear();
  txn->untracked = txn->growth_refused = false;
}

int NConfig::commitPending() {
  if (!txn || txn->pages.empty() || !data) return NC_ERR_OK;
  if (nc::verifyTouches && !txn->foreign) verifyUntouched(data, lsize, fd, txn);
  int err = txn->untracked ? ENOMEM : 0;
  std::vector<nc::Range> ranges;
  std::vector<char> converted;  // a file of the other order: the bytes to write
  try {
    ranges = changedRanges(txn->pages, data, lsize);
    if (err == 0 && txn->foreign)
      err = nc::foreignChanges(data, lsize, txn->base, fd, ranges, converted);
    else if (err == 0)
      err = nc::narrowRanges(ranges, [this](uint32_t off, uint32_t n, char *buf) -> long {
        return long(sys().pread(fd, buf, n, off_t(off)));
      });
  } catch (const std::bad_alloc &) {
    err = ENOMEM;
  }
  if (err == 0 && ranges.empty()) {  // every touched byte was stored back unchanged
    followCommitted(data, lsize, fd, careful, txn, ranges);
    return NC_ERR_OK;
  }
  if (err == 0) err = reserveBlocks(fd, ranges, lsize, &txn->reserved);
  nc::Journal &j = txn->journal;
  int mode = err == 0 ? j.prepare(fname, fd) : 0;
  if (err == 0 && mode == 0) err = j.append(fd, ranges, lsize);
  if (err == 0 && mode > 0) err = mode;
  if (err != 0) {
    fprintf(stderr, "nconfig: commit to %s failed: %s; the changes made under this lock were "
                    "discarded\n", fname, strerror(err));
    discardPending();
    return err == EPERM ? NC_ERR_PERM : NC_ERR_NMEM;
  }
  int werr = 0;
  for (const nc::Range &r : ranges)
    if (!werr) werr = nc::writeAll(fd, r.bytes, r.length, r.offset);
  if (mode == nc::Journal::kDirect && !werr && sys().fdatasync(fd) != 0) werr = errno;
  if (werr && mode == nc::Journal::kDirect) {
    fprintf(stderr, "nconfig: commit to %s failed: %s\n", fname, strerror(werr));
    discardPending();
    return NC_ERR_NMEM;
  }
  if (werr) {
    // The journal holds the commit: the next lock replays it, and so does
    // any checkpoint before then.
    fprintf(stderr, "nconfig: writing %s in place failed: %s; the journal will be replayed\n",
            fname, strerror(werr));
  }
  if (mode == 0) j.applied(werr == 0);
  txn->committed = true;
  followCommitted(data, lsize, fd, careful, txn, ranges);
  return NC_ERR_OK;
}


int NConfig::_unlock() {
  if (olck > 0) {
    olck--;
    return NC_ERR_OK;
  }
  if (lock == NC_L_NONE) return NC_ERR_OK;
  const int rc = lock == NC_L_RW ? commitPending() : NC_ERR_OK;
  if (data) update = sb->modtime;
  // Under a shared lock a careful handle's view is read-only already.
  if (careful && lock == NC_L_RW && lsize && !showsCopy()) sys().mprotect(data, lsize, PROT_READ);
  sys().fcntl_lock(fd, F_SETLK, F_UNLCK);
  olck = 0;
  lock = NC_L_NONE;
  return rc;
}

int NConfig::unLockFile() { return _unlock(); }

int NConfig::finishWrite(int rc) {
  if (growthRefused()) {
    discardPending();
    rc = NC_ERR_NMEM;
  }
  const int committed = _unlock();
  return rc != NC_ERR_OK ? rc : committed;
}
