// Failing system calls, injected through the store's system-call seam: a
// full disk while growing or writing back, short and interrupted writes, a
// failing fsync, a refused mapping, interrupted lock requests. Each failure is
// reported clearly, and the file on disk stays a valid registry holding its
// last written state.
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
    h.close();
    written_ = readFile(path_);
    ASSERT_EQ(written_.size(), 4096u);
  }
  void TearDown() override { nc::resetSysCalls(); }

  // The file holds exactly what was last written, a sound registry.
  void expectLastWritten() {
    nc::resetSysCalls();
    EXPECT_EQ(readFile(path_), written_);
    const nc_check_report report = nc_check_file(path_.c_str());
    EXPECT_TRUE(report.ok()) << report.describe();
  }
  // Opens `h` read-write on the file and changes a value in the view.
  void openChanged(NConfig &h) {
    ASSERT_EQ(h.setName(path_.c_str()), NC_ERR_OK);
    ASSERT_EQ(h.open(NC_O_RW), NC_ERR_OK);
    ASSERT_EQ(h.setKey("/kept/string", "lost"), NC_ERR_OK);
  }

  TempDir tmp_;
  std::string path_;
  std::vector<unsigned char> written_;
};

int openDescriptors() {
  int n = 0;
  DIR *d = opendir("/proc/self/fd");
  while (d && readdir64(d)) n++;
  if (d) closedir(d);
  return n;
}

using FaultDeathTest = Fault;

TEST_F(FaultDeathTest, FullDiskWhileGrowingEndsTheProcessBeforeTheViewOutgrowsTheFile) {
  EXPECT_DEATH(
      {
        NConfig h(0);
        openChanged(h);  // changed in the view only
        nc::sys().fallocate = [](int, off_t, off_t) { return ENOSPC; };
        h.setKey("/big", std::string(6000, 'x').c_str());
      },
      "cannot grow .* to 12288 bytes: No space left on device");
  expectLastWritten();
}

TEST_F(Fault, ShortAndInterruptedWritesStillWriteEverything) {
  TestNConfig h;
  openChanged(h);
  const std::vector<unsigned char> view = h.image();
  nc::sys().pwrite = [](int fd, const void *buf, size_t n, off_t off) -> ssize_t {
    if (g_calls++ % 2 == 0) {
      errno = EINTR;
      return -1;
    }
    return g_real.pwrite(fd, buf, n < 1000 ? n : 1000, off);  // a short write
  };
  nc::sys().fsync = [](int fd) {
    g_calls += 1000;
    return g_real.fsync(fd);
  };
  testing::internal::CaptureStderr();
  h.close();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(g_calls, 2 * 5 + 1000);  // five short writes, each after an EINTR; one fsync
  EXPECT_EQ(readFile(path_), view);
}

TEST_F(Fault, FailedWriteBackIsReportedAndLeavesTheLastWrittenFile) {
  using PWrite = ssize_t (*)(int, const void *, size_t, off_t);
  struct Case {
    PWrite pwrite;
    int (*fsync)(int);
    const char *message;
  } cases[] = {
      {[](int, const void *, size_t, off_t) -> ssize_t { return errno = ENOSPC, -1; }, nullptr,
       "No space left on device"},
      {[](int, const void *, size_t, off_t) -> ssize_t { return 0; }, nullptr, "Input/output error"},
      {nullptr, [](int) { return errno = EIO, -1; }, "Input/output error"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.message);
    {
      NConfig h(0);
      openChanged(h);
      if (c.pwrite) nc::sys().pwrite = c.pwrite;
      if (c.fsync) nc::sys().fsync = c.fsync;
      testing::internal::CaptureStderr();
      h.close();
      const std::string err = testing::internal::GetCapturedStderr();
      EXPECT_NE(err.find("write-back of " + path_ + " failed: " + c.message), std::string::npos) << err;
    }
    if (!c.fsync) expectLastWritten();  // a failed fsync comes after the write
    nc::resetSysCalls();
  }
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
  nc::sys().pwrite = [](int fd, const void *buf, size_t n, off_t off) -> ssize_t {
    if (off > 0) {  // the header goes in, the extension to full length fails
      errno = ENOSPC;
      return -1;
    }
    return g_real.pwrite(fd, buf, n, off);
  };
  EXPECT_EQ(h.createNew(4, 8, 16), NC_ERR_NFILE);
  EXPECT_NE(access(fresh.c_str(), F_OK), 0);
}

}  // namespace
