#include "floors.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace ncbench {

LockPair::LockPair(const Dataset &d) {
  const std::string path = d.file("lockpair");
  fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  if (fd_ < 0 || ftruncate(fd_, 4096) != 0) error_ = "lockpair: cannot create";
}

LockPair::~LockPair() {
  if (fd_ >= 0) close(fd_);
}

BinarySearch::BinarySearch(const Dataset &d) : d_(d) {
  // Layout: the records, then the values packed behind them.
  const uint32_t n = uint32_t(d.sorted.size());
  std::vector<Record> records(n);
  std::string pool;
  const size_t poolStart = size_t(n) * sizeof(Record);
  for (uint32_t r = 0; r < n; ++r) {
    uint32_t i = d.sorted[r];
    if (d.paths[i].size() >= sizeof records[r].key) {
      error_ = "bsearch: path too long for a record";
      return;
    }
    memset(records[r].key, 0, sizeof records[r].key);
    memcpy(records[r].key, d.paths[i].c_str(), d.paths[i].size());
    records[r].value = uint32_t(poolStart + pool.size());
    records[r].length = uint32_t(d.values[0][i].size());
    pool.append(d.values[0][i]);
    while (pool.size() % 8) pool.push_back('\0');
  }
  const std::string path = d.file("bsearch");
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  size_ = poolStart + pool.size();
  if (fd < 0 ||
      pwrite(fd, records.data(), poolStart, 0) != ssize_t(poolStart) ||
      pwrite(fd, pool.data(), pool.size(), off_t(poolStart)) != ssize_t(pool.size())) {
    error_ = "bsearch: cannot write";
    if (fd >= 0) close(fd);
    return;
  }
  void *p = mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
  close(fd);
  if (p == MAP_FAILED) {
    error_ = "bsearch: cannot map";
    return;
  }
  base_ = static_cast<char *>(p);
  records_ = reinterpret_cast<const Record *>(base_);
  count_ = n;
}

BinarySearch::~BinarySearch() {
  if (base_) munmap(base_, size_);
}

CopyWrite::CopyWrite(const std::string &path, size_t size, bool sync)
    : sync_(sync), size_(size) {
  fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  if (fd_ < 0 || ftruncate(fd_, off_t(size)) != 0) return;
  void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd_, 0);
  if (p == MAP_FAILED) return;
  view_ = static_cast<char *>(p);
  memset(view_, 0x5a, size);  // touch every page once, as a used view is
  buffer_ = static_cast<char *>(malloc(size));
  if (buffer_) memset(buffer_, 0, size);
}

CopyWrite::~CopyWrite() {
  free(buffer_);
  if (view_) munmap(view_, size_);
  if (fd_ >= 0) close(fd_);
}

}  // namespace ncbench
