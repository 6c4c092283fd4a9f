// Registry files of the other byte order: the view in this machine's order,
// kept in step with the file, and commits converted back (foreign.h).
#include "foreign.h"

#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include "byteorder.h"
#include "cache.h"
#include "internal.h"
#include "txn.h"

using nc::sys;

namespace nc {

namespace {

// The superblock at the start of `raw` (a file of the other order), its
// words in this machine's order; the magic is bytes and stays.
nc_sb_s hostSuperblock(const char *raw) {
  nc_sb_s sb;
  memcpy(&sb, raw, sizeof sb);
  uint32_t *w = reinterpret_cast<uint32_t *>(&sb);
  for (size_t i = 1; i < sizeof sb / 4; i++) w[i] = byteSwap(w[i]);
  return sb;
}

}  // namespace

bool fileIsForeign(int fd) {
  nc_sb_s sb;
  off_t flen = 0;
  return sys().fstat_size(fd, &flen) == 0 &&
         sys().pread(fd, &sb, sizeof sb, 0) == ssize_t(sizeof sb) &&
         foreignByteOrder(&sb, uint64_t(flen));
}

int readWholeFile(int fd, std::vector<char> &out) {
  off_t flen = 0;
  if (sys().fstat_size(fd, &flen) != 0) return errno;
  if (uint64_t(flen) > 0xFFFFFFFFull) return EFBIG;
  try {
    out.resize(size_t(flen));
  } catch (const std::bad_alloc &) {
    return ENOMEM;
  }
  size_t got = 0;
  while (got < out.size()) {
    const ssize_t n = sys().pread(fd, out.data() + got, out.size() - got, off_t(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : EIO;
    got += size_t(n);
  }
  return 0;
}

int foreignView(std::vector<char> &raw, int prot, char **view, unsigned int *size) {
  if (raw.size() < sizeof(nc_sb_s)) return NC_ERR_CORRUPT;
  const nc_sb_s sb = hostSuperblock(raw.data());
  if (superblockProblem(&sb, raw.size())) return NC_ERR_CORRUPT;
  raw.resize(sb.size);  // a longer file was grown by a commit not finished
  void *m = sys().mmap(sb.size, PROT_READ | PROT_WRITE, -1);
  if (m == MAP_FAILED) return NC_ERR_NMEM;
  memcpy(m, raw.data(), sb.size);
  if (!swapOrder(static_cast<char *>(m), sb.size, !hostIsBig()).empty()) {
    sys().munmap(m, sb.size);
    return NC_ERR_CORRUPT;
  }
  if (prot != (PROT_READ | PROT_WRITE)) sys().mprotect(m, sb.size, prot);
  *view = static_cast<char *>(m);
  *size = sb.size;
  return NC_ERR_OK;
}

int foreignChanges(const char *view, uint32_t size, const std::vector<char> &base, int fd,
                   std::vector<Range> &ranges, std::vector<char> &out) {
  try {
    out.assign(view, view + size);
  } catch (const std::bad_alloc &) {
    return ENOMEM;
  }
  // Free areas keep the file's old bytes past their header word.
  const nc_sb_s *sb = reinterpret_cast<const nc_sb_s *>(view);
  const View v{const_cast<char *>(view), size};
  for (uint32_t i = 0; v.spans(sb->chunk, (uint64_t(sb->chunk_ttl)) * 8) && i < sb->chunk_ttl; i++) {
    const nc_chunk_s *c = reinterpret_cast<const nc_chunk_s *>(view + sb->chunk) + i;
    if (c->size <= 4 || !v.spans(c->offset, c->size)) continue;
    const uint64_t from = uint64_t(c->offset) + 4;
    const uint64_t to = std::min<uint64_t>(uint64_t(c->offset) + c->size, base.size());
    if (from < to) memcpy(out.data() + from, base.data() + from, size_t(to - from));
  }
  if (!swapOrder(out.data(), out.size(), hostIsBig()).empty()) return EIO;
  for (Range &r : ranges) r.bytes = out.data() + r.offset;
  // Past the bytes last seen, the file holds what its growth left there.
  return narrowRanges(ranges, [&base, fd](uint32_t off, uint32_t n, char *buf) -> long {
    const size_t have = off < base.size() ? std::min<size_t>(n, base.size() - off) : 0;
    memcpy(buf, base.data() + off, have);
    if (have == n) return long(n);
    const ssize_t more = sys().pread(fd, buf + have, n - have, off_t(off + have));
    return more < 0 ? long(more) : long(have + size_t(more));
  });
}

void keepCommitted(std::vector<char> &base, const std::vector<Range> &ranges, uint32_t size) {
  base.resize(size, 0);
  for (const Range &r : ranges)
    if (uint64_t(r.offset) + r.length <= size) memcpy(base.data() + r.offset, r.bytes, r.length);
}

}  // namespace nc

bool NConfig::fileForeign() const { return fd >= 0 && txn && txn->foreign; }

void NConfig::adoptView(char *view, unsigned int size) {
  dropCache();
  if (data && txn && txn->overlay)
    munmap(data, txn->overlay_bytes);
  else if (data)
    sys().munmap(data, txn && txn->foreign ? std::max<size_t>(lsize, txn->mapped) : lsize);
  if (txn) {
    txn->overlay = false;
    txn->stale = false;
    txn->pages.clear();
    txn->marked.clear();
    txn->untracked = txn->growth_refused = false;
  }
  data = view;
  lsize = size;
  if (txn) txn->mapped = size;
  sb = reinterpret_cast<nc_sb_s *>(data);
  rdir = nc::View{data, lsize}.entry(sb->root);
  chunks = nullptr;
  cdir = nullptr;
  update = ~sb->modtime;  // every pointer is derived again at the lock
}

void NConfig::followForeign() {
  if (!txn->foreign || txn->overlay) return;
  std::vector<char> raw;
  if (nc::readWholeFile(fd, raw) != 0) {
    txn->stale = true;
    return;
  }
  const std::vector<char> &base = txn->base;
  if (!txn->stale && raw.size() >= base.size() && !base.empty() &&
      memcmp(raw.data(), base.data(), base.size()) == 0)
    return;  // nothing changed: the recorded size is in base too
  const int prot = omode == NC_O_RW && (!careful || lock == NC_L_RW) ? PROT_READ | PROT_WRITE
                                                                      : PROT_READ;
  char *view;
  unsigned int size;
  if (nc::foreignView(raw, prot, &view, &size) != NC_ERR_OK) {
    txn->stale = true;
    return;
  }
  adoptView(view, size);
  txn->base.swap(raw);
}

bool NConfig::revertForeign() {
  // The view is never shorter than the bytes last seen (the file only grows),
  // so they are converted over it in place: no mapping can be refused.
  const std::vector<char> &base = txn->base;
  if (base.size() < sizeof(nc_sb_s) || base.size() > std::max<size_t>(lsize, txn->mapped)) {
    txn->stale = true;
    return false;
  }
  memcpy(data, base.data(), base.size());
  if (!nc::swapOrder(data, base.size(), !nc::hostIsBig()).empty()) {
    txn->stale = true;
    return false;
  }
  for (uint32_t p : txn->pages) txn->marked[p / 64] &= ~(uint64_t(1) << (p % 64));
  txn->pages.clear();
  txn->untracked = txn->growth_refused = false;
  lsize = uint32_t(base.size());
  sb = reinterpret_cast<nc_sb_s *>(data);
  return true;
}
