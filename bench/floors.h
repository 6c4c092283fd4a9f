// The floors every result is measured against, in the same run: a bare
// fcntl lock/unlock pair, a bare binary search over a mapped sorted array of
// the same keys, and copying a file's bytes out of memory and writing them.
#ifndef BENCH_FLOORS_H
#define BENCH_FLOORS_H

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "dataset.h"

namespace ncbench {

// A whole-file record lock taken and released on a scratch file.
class LockPair {
 public:
  static constexpr const char *kName = "lockpair";
  explicit LockPair(const Dataset &d);
  ~LockPair();
  bool ok() const { return fd_ >= 0; }
  const std::string &error() const { return error_; }

  bool getEach(uint32_t, uint64_t &sink) { return pair(F_RDLCK, sink); }
  bool putEach(uint32_t, int) {
    uint64_t sink = 0;
    return pair(F_WRLCK, sink);
  }

 private:
  bool pair(short type, uint64_t &sink) {
    struct flock fl;
    memset(&fl, 0, sizeof fl);
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    if (fcntl(fd_, F_SETLKW, &fl) != 0) return false;
    fl.l_type = F_UNLCK;
    sink += fcntl(fd_, F_SETLK, &fl) == 0;
    return true;
  }

  int fd_ = -1;
  std::string error_;
};

// All keys' full paths and values in one file: fixed records sorted by path,
// each with its path inline, mapped privately and searched with strcmp. One
// memory access per step: the least any search of these keys can cost.
class BinarySearch {
 public:
  static constexpr const char *kName = "bsearch";
  explicit BinarySearch(const Dataset &d);
  ~BinarySearch();
  bool ok() const { return base_ != nullptr; }
  const std::string &error() const { return error_; }

  void beginRead() {}
  void endRead() {}
  bool getHeld(uint32_t i, uint64_t &sink) {
    const char *key = d_.paths[i].c_str();
    uint32_t left = 0, right = count_;
    while (left < right) {
      uint32_t mid = (left + right) / 2;
      const Record &r = records_[mid];
      int c = strcmp(key, r.key);
      if (c == 0) {
        char out[32];
        memcpy(out, base_ + r.value, r.length < sizeof out ? r.length : sizeof out);
        sink += uint8_t(out[0]) + r.length;
        return true;
      }
      if (c < 0)
        right = mid;
      else
        left = mid + 1;
    }
    return false;
  }

 private:
  struct Record {
    char key[24];     // the path, NUL-padded
    uint32_t value;   // offset of the value from the start of the file
    uint32_t length;  // of the value
  };
  const Dataset &d_;
  std::string error_;
  char *base_ = nullptr;
  size_t size_ = 0;
  const Record *records_ = nullptr;
  uint32_t count_ = 0;
};

// Copies `size` bytes out of a mapped file into a buffer and writes the
// buffer over the file from offset 0: the least a write-back on close costs.
// With `sync` the write is also flushed to the disk.
class CopyWrite {
 public:
  CopyWrite(const std::string &path, size_t size, bool sync);
  ~CopyWrite();
  bool ok() const { return fd_ >= 0 && view_ != nullptr && buffer_ != nullptr; }
  bool run() {
    memcpy(buffer_, view_, size_);
    return pwrite(fd_, buffer_, size_, 0) == ssize_t(size_) && (!sync_ || fsync(fd_) == 0);
  }

 private:
  bool sync_;
  int fd_ = -1;
  size_t size_;
  char *view_ = nullptr;
  char *buffer_ = nullptr;
};

}  // namespace ncbench

#endif  // BENCH_FLOORS_H
