// Failing system calls, injected through the store's system-call seam: a
// full disk while growing or committing, short and interrupted writes, a
// failing sync, a failed write in place, a refused mapping, interrupted lock
// requests. Each failure is a result; what was committed stays.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cerrno>
#include <string>

#include "lib/system/nconfig/internal.h"
#include "lib/system/nconfig_check.h"
#include "test_util.h"

namespace {

// The real calls, for faults that pass most calls through.
nc::SysCalls g_real;
int g_calls;  // calls the fault has seen

class Fault : public testing::Test {
 protected:
  void SetUp() override {
    nc::resetSysCalls();
    g_real = nc::sys();
    g_calls = 0;
    path_ = tmp_.file("r");
    TestNConfig h;
    ASSERT_EQ(makeRegistry(h, path_), NC_ERR_OK);
    ASSERT_EQ(h.setKey("/kept/string", "last written"), NC_ERR_OK);
    ASSERT_EQ(h.setKey("/kept/number", 42u), NC_ERR_OK);
  }
  void TearDown() override { nc::resetSysCalls(); }

  // Opens `h` read-write on the file and commits a change.
  void openChanged(NConfig &h) {
    ASSERT_EQ(h.setName(path_.c_str()), NC_ERR_OK);
    ASSERT_EQ(h.open(NC_O_RW), NC_ERR_OK);
    ASSERT_EQ(h.setKey("/kept/string", "lost"), NC_ERR_OK);
  }

  TempDir tmp_;
  std::string path_;
};

int openDescriptors() {
  int n = 0;
  DIR *d = opendir("/proc/self/fd");
  while (d && readdir64(d)) n++;
  if (d) closedir(d);
  return n;
}

// Reads `key` through a fresh handle: the file's committed state.
std::string committed(const std::string &path, const char *key) {
  nc::resetSysCalls();
  NConfig r(0);
  char *v = nullptr;
  std::string out = "(absent)";
  if (r.setName(path.c_str()) == NC_ERR_OK && r.open(NC_O_RO) == NC_ERR_OK &&
      r.getKey(key, v) == NC_ERR_OK)
    out = v;
  free(v);
  return out;
}

TEST_F(Fault, FullDiskFailsTheOperationAndKeepsWhatWasCommitted) {
  using Fallocate = int (*)(int, off_t, off_t);
  using PWrite = ssize_t (*)(int, const void *, size_t, off_t);
  struct Case {
    const char *what;
    Fallocate fallocate;  // growth, and the reservation before a commit
    PWrite pwrite;        // the journal record
    int (*fdatasync)(int);
    const char *message;  // on standard error, or "" for none
  } cases[] = {
      {"growth", [](int, off_t, off_t) { return ENOSPC; }, nullptr, nullptr, ""},
      {"journal write", nullptr,
       [](int fd, const void *b, size_t n, off_t o) -> ssize_t {
         return n > 4096 ? (errno = ENOSPC, -1) : g_real.pwrite(fd, b, n, o);
       },
       nullptr, "No space left on device"},
      {"journal sync", nullptr, nullptr, [](int) { return errno = EIO, -1; },
       "Input/output error"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    TestNConfig h;
    openChanged(h);  // "lost" is committed: it is the state to keep
    if (c.fallocate) nc::sys().fallocate = c.fallocate;
    if (c.pwrite) nc::sys().pwrite = c.pwrite;
    if (c.fdatasync) nc::sys().fdatasync = c.fdatasync;
    testing::internal::CaptureStderr();
    h.lockFile(NC_L_RW, 0);
    const int first = h.setKey("/kept/string", "discarded");
    const int second = h.setKey("/big", std::string(6000, 'x').c_str());
    h.unLockFile();
    const std::string err = testing::internal::GetCapturedStderr();
    if (c.fallocate) {
      EXPECT_EQ(first, NC_ERR_OK);
      EXPECT_EQ(second, NC_ERR_NMEM);  // the growth, with the bracket's changes
    } else {
      EXPECT_NE(err.find("commit to " + path_ + " failed: " + c.message), std::string::npos)
          << err;
    }
    // The handle goes on at the last commit, and can commit again.
    char *v = nullptr;
    ASSERT_EQ(h.getKey("/kept/string", v), NC_ERR_OK);
    EXPECT_STREQ(v, "lost");
    free(v);
    EXPECT_EQ(committed(path_, "/kept/string"), "lost");
    EXPECT_EQ(h.setKey("/kept/string", "again"), NC_ERR_OK);
    EXPECT_EQ(committed(path_, "/kept/string"), "again");
    h.close();
    EXPECT_TRUE(nc_check_file(path_.c_str()).ok());
    NConfig reset(0);
    reset.setName(path_.c_str());
    ASSERT_EQ(reset.open(NC_O_RW), NC_ERR_OK);
    ASSERT_EQ(reset.setKey("/kept/string", "lost"), NC_ERR_OK);
  }
}

TEST_F(Fault, ShortAndInterruptedWritesStillWriteEverything) {
  TestNConfig h;
  openChanged(h);
  nc::sys().pwrite = [](int fd, const void *buf, size_t n, off_t off) -> ssize_t {
    if (g_calls++ % 2 == 0) {
      errno = EINTR;
      return -1;
    }
    return g_real.pwrite(fd, buf, n < 1000 ? n : 1000, off);  // a short write
  };
  testing::internal::CaptureStderr();
  ASSERT_EQ(h.setKey("/kept/string", std::string(3000, 'y').c_str()), NC_ERR_OK);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_GT(g_calls, 8);
  EXPECT_EQ(readFile(path_), h.image());
}

TEST_F(Fault, AFailedWriteInPlaceIsReplayedFromTheJournal) {
  TestNConfig h;
  openChanged(h);
  // The record reaches the journal; writing the registry in place fails.
  static std::string registry;
  registry = path_;
  nc::sys().pwrite = [](int fd, const void *buf, size_t n, off_t off) -> ssize_t {
    char link[64], target[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t len = readlink(link, target, sizeof target - 1);
    if (len > 0 && std::string(target, size_t(len)) == registry) return errno = EIO, -1;
    return g_real.pwrite(fd, buf, n, off);
  };
  testing::internal::CaptureStderr();
  EXPECT_EQ(h.setKey("/kept/string", "journaled"), NC_ERR_OK);  // durable in the journal
  EXPECT_NE(testing::internal::GetCapturedStderr().find("the journal will be replayed"),
            std::string::npos);
  nc::resetSysCalls();
  EXPECT_EQ(committed(path_, "/kept/string"), "journaled");  // replayed by the next lock
  EXPECT_TRUE(nc_check_file(path_.c_str()).ok());
}

TEST_F(Fault, RefusedMapAtOpenClosesTheFile) {
  const int before = openDescriptors();
  TestNConfig h;
  ASSERT_EQ(h.setName(path_.c_str()), NC_ERR_OK);
  nc::sys().mmap = [](size_t, int, int) -> void * {
    errno = ENOMEM;
    return MAP_FAILED;
  };
  EXPECT_EQ(h.open(NC_O_RW), NC_ERR_NMEM);
  EXPECT_EQ(h.fd, -1);
  EXPECT_EQ(openDescriptors(), before);
  nc::resetSysCalls();
  EXPECT_EQ(h.open(NC_O_RW), NC_ERR_OK);  // the handle is usable again
}

TEST_F(Fault, InterruptedLockRequestsAreRetried) {
  NConfig h(0);
  ASSERT_EQ(h.setName(path_.c_str()), NC_ERR_OK);
  // Every waiting request is interrupted three times before it goes through.
  nc::sys().fcntl_lock = [](int fd, int cmd, short type) {
    if (cmd == F_SETLKW && g_calls++ % 4 != 3) {
      errno = EINTR;
      return -1;
    }
    return g_real.fcntl_lock(fd, cmd, type);
  };
  ASSERT_EQ(h.open(NC_O_RW), NC_ERR_OK);  // the forced shared lock
  EXPECT_EQ(h.setKey("/kept/number", 43u), NC_ERR_OK);
  unsigned n = 0;
  EXPECT_EQ(h.getKey("/kept/number", n), NC_ERR_OK);
  EXPECT_EQ(n, 43u);
  h.close();  // the write-back's exclusive lock
  EXPECT_EQ(g_calls, 4 * 4);
}

TEST_F(Fault, CreationOnAFullDiskLeavesNoFile) {
  const std::string fresh = tmp_.file("fresh");
  NConfig h(0);
  ASSERT_EQ(h.setName(fresh.c_str()), NC_ERR_OK);
  nc::sys().fallocate = [](int, off_t, off_t) { return ENOSPC; };  // reserving its size
  EXPECT_EQ(h.createNew(4, 8, 16), NC_ERR_NFILE);
  EXPECT_NE(access(fresh.c_str(), F_OK), 0);
}

}  // namespace
