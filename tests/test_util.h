// Shared test support: a handle that exposes the store's internals, temporary
// registry files that clean up after themselves, and programs run as processes;
// the headers the tests share.
#ifndef TESTS_TEST_UTIL_H
#define TESTS_TEST_UTIL_H

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "lib/system/nconfig.h"
#include "lib/system/nconfig_check.h"
#include "lib/system/nconfig_tool.h"
#include "lib/system/nconfig/byteorder.h"
#include "lib/system/nconfig/ext.h"
#include "lib/system/nconfig/format.h"
#include "lib/system/nconfig/internal.h"
#include "lib/system/nconfig/journal.h"
#include "tree_walk.h"

namespace nc { extern bool verifyTouches; }
// Every commit in the tests checks that no store into the view went untracked.
inline const bool kTouchesVerified = (nc::verifyTouches = true);

// A handle whose internals tests may reach.
using TestNConfig = NConfigExt;

// Success when the checker finds the image sound (and, unless leaks are
// allowed, without a leaked byte); otherwise a failure carrying its findings.
inline ::testing::AssertionResult sound(const void *image, size_t length, bool allowLeaks = true) {
  const nc_check_report r = nc_check_image(image, length);
  if (r.ok() && (allowLeaks || r.leaked_bytes == 0)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << r.describe();
}

// A private temporary directory, removed with everything in it.
class TempDir {
 public:
  TempDir() : path_(mkdtemp(std::string("/tmp/nconfig-test-XXXXXX").data())) {}
  ~TempDir() { if (system(("rm -rf '" + path_ + "'").c_str()) != 0) perror("rm"); }
  std::string file(const std::string &name) const { return path_ + "/" + name; }
  const std::string &path() const { return path_; }

 private:
  std::string path_;
};

inline std::vector<unsigned char> readFile(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

inline void writeFile(const std::string &path, const std::vector<unsigned char> &bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()), bytes.size());
}

// True when the registry image is of the other byte order than this machine's.
inline bool otherOrder(const std::vector<unsigned char> &image) {
  return image.size() >= sizeof(nc_sb_s) &&
         nc::foreignByteOrder(reinterpret_cast<const nc_sb_s *>(image.data()), image.size());
}

// Rewrites the closed registry at `path` in place (same inode) in this
// machine's byte order (`foreign` false) or the other one, and removes its
// journal, whose words are in the registry's order.
inline void putInOrder(const std::string &path, bool foreign) {
  std::vector<unsigned char> image = readFile(path);
  if (otherOrder(image) != foreign) {
    ASSERT_EQ(nc::swapOrder(reinterpret_cast<char *>(image.data()), image.size(), nc::hostIsBig() == foreign), "");
    writeFile(path, image);
  }
  unlink((path + "-journal").c_str());
}

// The registry file at `path` in this machine's byte order (as it stands
// when it is of the other order and does not convert).
inline std::vector<unsigned char> inHostOrder(const std::string &path) {
  std::vector<unsigned char> image = readFile(path);
  uint32_t size = 0;
  if (otherOrder(image)) memcpy(&size, image.data() + 4, 4), size = nc::byteSwap(size);
  if (size && size <= image.size() && nc::swapOrder(reinterpret_cast<char *>(image.data()), size, !nc::hostIsBig()).empty())
    image.resize(size);
  return image;
}

// Creates a registry at `path` and opens `h` on it read-write.
inline int makeRegistry(TestNConfig &h, const std::string &path, unsigned resize = 1,
                        unsigned dirent = 8, unsigned mchunks = 16) {
  int rc = h.setName(path.c_str());
  if (rc == NC_ERR_OK) rc = h.createNew(resize, dirent, mchunks);
  return rc == NC_ERR_OK ? h.open(NC_O_RW) : rc;
}

// Creates a registry at `path`, left closed.
inline int makeRegistry(const std::string &path) { TestNConfig h; return makeRegistry(h, path); }

// Names `h` and opens it in `mode`; true when both succeed.
inline bool openAs(NConfig &h, const std::string &path, int mode) {
  return h.setName(path.c_str()) == NC_ERR_OK && h.open(mode) == NC_ERR_OK;
}

// The string at `key` as `h` sees it, "(no value)", or "(absent)".
inline std::string valueOf(NConfig &h, const char *key) {
  char *v = nullptr;
  const std::string out = h.getKey(key, v) != NC_ERR_OK ? "(absent)" : v ? v : "(no value)";
  free(v);
  return out;
}

// One entry as a reader of this machine sees it: "PATH TYPE VALUE", a double
// by its bits. Equal lines, equal entries.
inline std::string shown(NConfig &h, const std::string &path, uint32_t type) {
  const char *p = path.c_str();
  unsigned long long u = 0;
  long long i = 0;
  double d = 0;
  char *raw = nullptr, bits[20];
  unsigned len = 0;
  switch (type) {
    case NC_DIR: return path + " dir";
    case NC_STRING: return path + " string " + valueOf(h, p);
    case NC_UINT: return path + " uint " + (h.getKey(p, u) ? "none" : std::to_string(u));
    case NC_INT: return path + " int " + (h.getKey(p, i) ? "none" : std::to_string(i));
    case NC_DOUBLE:
      if (h.getKey(p, d)) return path + " double none";
      memcpy(&u, &d, 8), snprintf(bits, sizeof bits, "%016llx", u);
      return path + " double " + bits;
  }
  std::string out = path + " raw " + (h.getKey(p, raw, len) ? "none" : std::string(raw, len));
  free(raw);
  return out;
}

// What a registry file of either byte order holds, entry by entry, and, with
// `params`, its growth parameters (size_inc/ent_inc/chunk_inc) as a last line.
inline std::vector<std::string> contents(const std::string &path, bool params = true) {
  NConfigTool h;
  nc_params p;
  if (!openAs(h, path, NC_O_RO) || h.parameters(&p) != NC_ERR_OK) return {"cannot open"};
  std::vector<std::string> out;
  nctest::eachEntry(h, "/", [&](const std::string &e, uint32_t type) { out.push_back(shown(h, e, type)); });
  if (params) out.push_back(std::to_string(p.size_inc) + "/" + std::to_string(p.ent_inc) + "/" + std::to_string(p.chunk_inc));
  return out;
}

// Leaves at `path` a fresh registry and a journal of three records (each sets
// /k<i> to "v<i>") that the file lacks: the file is put back as it was before
// them, on the same inode, as a writer that died before its in-place writes
// would leave it.
inline void leaveRecords(const std::string &path) {
  unlink(path.c_str());
  TestNConfig h;
  ASSERT_EQ(makeRegistry(h, path), NC_ERR_OK);
  h.close();
  const auto before = readFile(path);
  ASSERT_EQ(h.open(NC_O_RW), NC_ERR_OK);
  for (int i = 0; i < 3; i++)
    ASSERT_EQ(h.setKey(("/k" + std::to_string(i)).c_str(), ("v" + std::to_string(i)).c_str()), NC_ERR_OK);
  const auto journal = readFile(path + "-journal");
  h.close();
  writeFile(path, before), writeFile(path + "-journal", journal);
}

// The values of /k0, /k1, /k2 as a fresh handle of `mode` sees them, joined.
inline std::string seen(const std::string &path, int mode) {
  NConfig h(0);
  return openAs(h, path, mode) ? valueOf(h, "/k0") + "," + valueOf(h, "/k1") + "," + valueOf(h, "/k2")
                               : "cannot open";
}
const std::string kNone = "(absent),(absent),(absent)", kAll = "v0,v1,v2";

// Names the cases of a suite run for a file of this machine's byte order
// (parameter false) and of the other.
inline std::string orderName(const ::testing::TestParamInfo<bool> &i) { return i.param ? "OtherOrder" : "ThisOrder"; }

// Runs `body` in a child process: exit status 0 when it returns true.
template <typename F>
pid_t spawn(F body) {
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) _exit(body() ? 0 : 1);
  return pid;
}
// The exit status of `pid`, or -1 when it did not exit.
inline int waitFor(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Waits until process `pid` is blocked on a record lock, as the kernel's lock
// table shows it ("->"); false when it ends first or is not blocked within a
// minute. Where the table cannot be read, a pause of a second has to do.
inline bool waitsForLock(pid_t pid) {
  const std::string waiter = " " + std::to_string(pid) + " ";
  for (int tries = 0; tries < 3000; tries++) {
    usleep(20 * 1000);
    siginfo_t ended = {};
    if (waitid(P_PID, pid, &ended, WEXITED | WNOHANG | WNOWAIT) == 0 && ended.si_pid == pid) return false;
    std::ifstream locks("/proc/locks");
    if (!locks) return sleep(1), true;
    for (std::string line; std::getline(locks, line);)
      if (line.find("->") != std::string::npos && line.find(waiter) != std::string::npos) return true;
  }
  return false;
}

// A program run as a process of its own (through the emulator in a cross
// build, unless `emulated` is false) in directory `cwd`, with `input` on its
// standard input.
class Program {
 public:
  struct Outcome { int status; std::string out, err; double cpu; };  // status -1: it did not exit
  Program(const char *binary, std::vector<std::string> args, const std::string &cwd = ".",
          const std::string &input = "", bool emulated = true) {
    std::istringstream launcher(emulated ? NC_EMULATOR : "");
    std::vector<std::string> argv{std::istream_iterator<std::string>(launcher), {}};
    argv.push_back(binary);
    argv.insert(argv.end(), args.begin(), args.end());
    writeFile(io_.file("in"), {input.begin(), input.end()});
    fflush(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      std::vector<char *> cargv;
      for (std::string &a : argv) cargv.push_back(a.data());
      cargv.push_back(nullptr);
      dup2(::open(io_.file("in").c_str(), O_RDONLY), 0);
      dup2(::open(io_.file("out").c_str(), O_WRONLY | O_CREAT, 0600), 1);
      dup2(::open(io_.file("err").c_str(), O_WRONLY | O_CREAT, 0600), 2);
      if (chdir(cwd.c_str()) == 0) execvp(cargv[0], cargv.data());
      _exit(127);
    }
  }
  pid_t pid() const { return pid_; }
  std::string output() const {  // its standard output so far
    const auto out = readFile(io_.file("out"));
    return {out.begin(), out.end()};
  }
  Outcome finish() {  // waits for the program to end; `cpu`: the seconds of processor time it used
    int status = 0;
    struct rusage use = {};
    wait4(pid_, &status, 0, &use);
    const auto err = readFile(io_.file("err"));
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output(), {err.begin(), err.end()},
            double(use.ru_utime.tv_sec + use.ru_stime.tv_sec) + (use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6};
  }

 private:
  TempDir io_;
  pid_t pid_;
};

#endif  // TESTS_TEST_UTIL_H
