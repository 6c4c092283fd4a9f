// A commit cut short once its journal record is durable, and its replay by
// another process, which may run on a machine of the other byte order: the
// test program and the journal_cross helper (built for each machine) share
// these steps.
#ifndef TESTS_CROSS_REPLAY_H
#define TESTS_CROSS_REPLAY_H

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "lib/system/nconfig.h"
#include "lib/system/nconfig/byteorder.h"
#include "lib/system/nconfig/ext.h"
#include "lib/system/nconfig/format.h"
#include "lib/system/nconfig/internal.h"
#include "lib/system/nconfig/journal.h"
#include "lib/system/nconfig_check.h"

namespace cross {

inline std::vector<char> bytesOf(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), {}};
}

// True when the registry image is big-endian.
inline bool isBig(const std::vector<char> &image) {
  return image.size() >= sizeof(nc_sb_s) &&
         nc::foreignByteOrder(reinterpret_cast<const nc_sb_s *>(image.data()), image.size()) != nc::hostIsBig();
}

inline int g_registry = -1;
inline nc::SysCalls g_real;
inline bool g_record_written = false;  // the last write to the journal was a record

// Makes `path` (big-endian or not) with a first commit, then commits a change
// and ends the process with status 0 as soon as its journal record is
// synced, before the registry is written. Any other exit is a failure.
[[noreturn]] inline void crashMidCommit(const std::string &path, bool big) {
  { NConfig h(0); if (h.setName(path.c_str()) || h.createNew(1, 8, 16)) _exit(2); }
  std::vector<char> image = bytesOf(path);
  if (big != nc::hostIsBig()) {
    if (!nc::swapOrder(image.data(), image.size(), nc::hostIsBig()).empty()) _exit(3);
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(image.data(), image.size());
  }
  NConfigExt h(0);
  if (h.setName(path.c_str()) || h.open(NC_O_RW) || h.setKey("/cross/first", "first")) _exit(4);
  g_registry = h.fd;
  g_real = nc::sys();
  nc::sys().fdatasync = [](int fd) {
    const int rc = g_real.fdatasync(fd);
    if (rc == 0 && g_record_written) _exit(0);  // the record is durable
    return rc;
  };
  nc::sys().pwrite = [](int fd, const void *b, size_t n, off_t off) -> ssize_t {
    if (fd == g_registry) _exit(5);  // the record was never synced
    uint32_t magic = 0;
    if (n >= 32) memcpy(&magic, b, 4);
    g_record_written = magic == nc::kRecordMagic || magic == nc::byteSwap(nc::kRecordMagic);
    return g_real.pwrite(fd, b, n, off);
  };
  h.lockFile(NC_L_RW, 0);
  h.setKey("/cross/value", (std::string("made on a ") + (nc::hostIsBig() ? "big" : "little") + "-endian").c_str());
  h.setKey("/cross/big", std::string(6000, 'b').c_str());  // grows the file
  h.unLockFile();
  _exit(6);
}

// "" when `path` shows the commit that crashMidCommit cut short, to a reader
// and after a writer's replay, and keeps its byte order; else what is wrong.
inline std::string replayed(const std::string &path, bool big) {
  for (int mode : {NC_O_RO, NC_O_RW}) {
    NConfig h(0);
    char *v = nullptr;
    if (h.setName(path.c_str()) || h.open(mode)) return "cannot open " + path;
    if (h.getKey("/cross/value", v) != NC_ERR_OK) return "the commit is missing";
    const std::string got = v;
    free(v);
    if (got.rfind("made on a ", 0) != 0) return "the value is " + got;
    if (h.getKey("/cross/big", v) != NC_ERR_OK || strlen(v) != 6000) return "the grown value is missing";
    free(v);
  }
  std::vector<char> image = bytesOf(path);
  if (isBig(image) != big) return "the file changed its byte order";
  if (big != nc::hostIsBig() && !nc::swapOrder(image.data(), image.size(), big).empty())
    return "the file does not convert";
  const nc_check_report r = nc_check_image(image.data(), image.size());
  return r.ok() ? "" : "the file is damaged: " + r.describe();
}

}  // namespace cross

#endif  // TESTS_CROSS_REPLAY_H
